// The scanning primitives honour their boundary rules and never read past the
// length they are given; the byte buffer grows and fails as documented.
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "pdfcore/pdfcore.h"
#include "support/test_util.h"

using test_util::bytes;
using test_util::len;

// Copies s into an exact-size heap block so that ASan catches any read past it.
struct exact {
  explicit exact(const std::string& s) : p((uint8_t*)malloc(s.size() ? s.size() : 1)), n(len(s)) {
    if (!s.empty()) memcpy(p, s.data(), s.size());
  }
  ~exact() { free(p); }
  uint8_t* p;
  int32_t n;
};

TEST(ScanWhitespace, SixBytesOnly) {
  std::string s("\0\t\n\f\r x", 7);
  EXPECT_EQ(skip_ws(bytes(s), 0, len(s)), 6);
  std::string vt = "\x0bx";  // vertical tab is not PDF whitespace
  EXPECT_EQ(skip_ws(bytes(vt), 0, len(vt)), 0);
  EXPECT_EQ(skip_ws(bytes(s), 7, 7), 7);
  EXPECT_EQ(skip_ws(bytes(s), 9, 7), 9);  // pos itself when at or past the end
  std::string all = "   ";
  EXPECT_EQ(skip_ws(bytes(all), 0, 3), 3);
}

TEST(ScanKeyword, Boundaries) {
  std::string s = "1 0 obj endobj xobject obj";
  EXPECT_EQ(kw_at(bytes(s), 4, len(s), "obj"), 1);
  EXPECT_EQ(kw_at(bytes(s), 11, len(s), "obj"), 0);  // inside "endobj"
  EXPECT_EQ(kw_at(bytes(s), 23, len(s), "obj"), 1);  // ends exactly at len
  EXPECT_EQ(kw_at(bytes(s), 24, len(s), "obj"), 0);  // would run past len
  EXPECT_EQ(kw_at(bytes(s), -1, len(s), "obj"), 0);
  EXPECT_EQ(find_kw(bytes(s), len(s), 5, "obj"), 23);  // skips endobj and xobject
  EXPECT_EQ(find_kw(bytes(s), len(s), -4, "obj"), 4);
  EXPECT_EQ(find_kw(bytes(s), 22, 5, "obj"), -1);
  // The byte before start is still examined.
  EXPECT_EQ(find_kw(bytes(s), len(s), 11, "obj"), 23);
}

TEST(ScanIntegers, ParseIntAt) {
  int32_t pos = 0;
  std::string s = "  -0 x";
  EXPECT_EQ(parse_int_at(bytes(s), len(s), &pos), 0);
  EXPECT_EQ(pos, 4);
  std::string plus = "+5";
  pos = 0;
  EXPECT_EQ(parse_int_at(bytes(plus), len(plus), &pos), -1);
  EXPECT_EQ(pos, 0);
  std::string dash = "12 -";
  pos = 2;
  EXPECT_EQ(parse_int_at(bytes(dash), len(dash), &pos), -1);
  EXPECT_EQ(pos, 2);
  std::string big = "4294967297";  // wraps to 1
  pos = 0;
  EXPECT_EQ(parse_int_at(bytes(big), len(big), &pos), 1);
  std::string dot = "3.5";
  pos = 0;
  EXPECT_EQ(parse_int_at(bytes(dot), len(dot), &pos), 3);
  EXPECT_EQ(pos, 1);
  exact e("  77");  // digits running to the very end
  pos = 0;
  EXPECT_EQ(parse_int_at(e.p, e.n, &pos), 77);
  EXPECT_EQ(pos, 4);
}

TEST(ScanIntegers, AdvancingReaders) {
  std::string s = "R x 12";
  int32_t pos = 0;
  EXPECT_EQ(read_int_adv(bytes(s), len(s), &pos), -1);
  EXPECT_EQ(pos, 0);  // stays on R
  pos = 1;
  EXPECT_EQ(read_int_adv(bytes(s), len(s), &pos), -1);
  EXPECT_EQ(pos, 3);  // one past the x
  EXPECT_EQ(read_int_adv(bytes(s), len(s), &pos), 12);
  EXPECT_EQ(pos, 6);
  pos = 0;
  EXPECT_EQ(read_num_adv(bytes(s), len(s), &pos), -1);
  EXPECT_EQ(pos, 1);  // moves past R too
  std::string sign = " +";
  pos = 0;
  EXPECT_EQ(read_int_adv(bytes(sign), len(sign), &pos), -1);
  EXPECT_EQ(pos, 2);
  pos = 0;
  EXPECT_EQ(read_num_adv(bytes(sign), len(sign), &pos), -1);
  EXPECT_EQ(pos, 3);
  std::string neg = "+7 -8";
  pos = 0;
  EXPECT_EQ(read_int_adv(bytes(neg), len(neg), &pos), 7);
  EXPECT_EQ(read_num_adv(bytes(neg), len(neg), &pos), -8);
  std::string ws = "   ";
  pos = 0;
  EXPECT_EQ(read_int_adv(bytes(ws), len(ws), &pos), -1);
  EXPECT_EQ(pos, 3);
}

TEST(ScanNames, Boundaries) {
  std::string s = "/Pages /Page-x /Page_y /Page+z /Page.x /Page/Type /Page";
  int32_t end = len(s);
  EXPECT_EQ(find_name(bytes(s), end, 0, end, "Page"), 31);
  EXPECT_EQ(find_name(bytes(s), end, 32, end, "Page"), 39);
  EXPECT_EQ(find_name(bytes(s), end, 40, end, "Page"), 50);  // ends at the search end
  // A name ending at a smaller search end matches whatever follows.
  EXPECT_EQ(find_name(bytes(s), end, 0, 5, "Page"), 0);
  EXPECT_EQ(find_name(bytes(s), end, 0, 4, "Page"), -1);
  EXPECT_EQ(find_name(bytes(s), 3, 0, end, "Page"), -1);  // end lowered to len
}

TEST(ScanNames, TypeAtTopLevelOnly) {
  std::string s =
      "<< /Resources << /Type /Nested >> (/Type in a string) % /Type comment\n"
      " <ab/Type> /Type /Page >>";
  int32_t p = find_name_top(bytes(s), len(s), 0, len(s));
  ASSERT_GE(p, 0);
  EXPECT_EQ(s.substr(p, 11), "/Type /Page");
  // Before any "<<" the depth is 0, which also counts.
  std::string bare = "/Type /Pages";
  EXPECT_EQ(find_name_top(bytes(bare), len(bare), 0, len(bare)), 0);
  // Unterminated constructs end the search.
  for (std::string bad : {"<< (open /Type", "<< % /Type", "<< <ab /Type", "<< /Typ"})
    EXPECT_EQ(find_name_top(bytes(bad), len(bad), 0, len(bad)), -1) << bad;
  // A stray ">>" never takes the depth below zero.
  std::string stray = ">> >> << /Type /X >>";
  EXPECT_EQ(find_name_top(bytes(stray), len(stray), 0, len(stray)), 9);
}

TEST(ScanDictionaries, CloseAndCopy) {
  std::string s = "<< /A (x>>) /B << /C 1 >> /D (a\\)b)>> tail";
  int32_t c = find_dict_close(bytes(s), 0, len(s));
  EXPECT_EQ(s.substr(c, 7), ">> tail");
  char* copy = dict_text_at(bytes(s), len(s), 0);
  ASSERT_NE(copy, nullptr);
  EXPECT_STREQ(copy, "<< /A (x>>) /B << /C 1 >> /D (a\\)b)>>");
  free(copy);
  EXPECT_EQ(dict_text_at(bytes(s), len(s), 1), nullptr);  // not at "<<"
  for (std::string bad : {"<< /A 1 >", "<< /A (>>", "<< /A <<>>", "<", "<< (\\"}) {
    exact e(bad);
    EXPECT_EQ(find_dict_close(e.p, 0, e.n), -1) << bad;
    EXPECT_EQ(dict_text_at(e.p, e.n, 0), nullptr) << bad;
  }
  std::string st = "<< /Length 3 >>\r\n stream\nabc";
  EXPECT_EQ(dict_stream_kw(bytes(st), len(st), 0), 18);
  std::string nost = "<< /Length 3 >> x stream";
  EXPECT_EQ(dict_stream_kw(bytes(nost), len(nost), 0), -1);
}

TEST(ScanLength, DirectIndirectAndArrays) {
  struct {
    std::string text;
    int32_t direct, ref;
  } cases[] = {
      {"<< /Length 12 >>", 12, -1},
      {"<< /Length 7 0 R >>", -1, 7},
      {"<< /Length 7 0 >>", 7, -1},           // two integers without R
      {"<< /Length 7 0 Rx >>", 7, -1},        // R followed by a letter
      {"<< /Length /X /Length 5 >>", 5, -1},  // a name value: the next one counts
      {"<< /Length [1 2 3] >>", 3, -1},       // the last integer of an array
      {"<< /Length [/a] /Length 4 >>", 4, -1},
      {"<< /Length -3 /Length 9 >>", 9, -1},
      {"<< /LengthX 1 >>", -1, -1},
      {"<< /Length", -1, -1},
  };
  for (const auto& c : cases) {
    int32_t d = 0, r = 0;
    parse_length(bytes(c.text), len(c.text), 0, len(c.text), &d, &r);
    EXPECT_EQ(d, c.direct) << c.text;
    EXPECT_EQ(r, c.ref) << c.text;
  }
  // The byte right after /Length is skipped unread: here the '[' is passed
  // over and 7 read as a plain number, not as an array whose last value is 5.
  std::string glued = "/Length[7 5]";
  int32_t d, r;
  parse_length(bytes(glued), len(glued), 0, len(glued), &d, &r);
  EXPECT_EQ(d, 7);
}

TEST(ScanLength, RepeatedEmptyArraysStayLinear) {
  // Thousands of "/Length [" without an integer: each array walk would reach
  // the end; a quadratic reader would not finish this in reasonable time.
  std::string s;
  for (int i = 0; i < 200000; i++) s += "/Length [ ";
  s += "/Length 42";
  int32_t d, r;
  parse_length(bytes(s), len(s), 0, len(s), &d, &r);
  EXPECT_EQ(d, 42);
}

TEST(ScanBuffer, GrowthAndEmptyAppend) {
  buf b = {};
  buf_bytes(&b, "", 0);
  ASSERT_NE(b.data, nullptr);
  EXPECT_EQ(b.len, 0u);
  EXPECT_EQ(b.cap, 1048576u);
  EXPECT_EQ(b.data[0], 0);
  std::string big(1048576, 'x');
  buf_bytes(&b, big.data(), big.size());
  EXPECT_EQ(b.cap, 2097152u);  // doubled to fit len + 1
  buf_str(&b, "yz");
  EXPECT_EQ(b.len, 1048578u);
  EXPECT_EQ(b.data[b.len - 1], 'z');
  EXPECT_EQ(b.data[b.len], 0);
  buf_free(&b);
  EXPECT_EQ(b.data, nullptr);
  EXPECT_EQ(b.cap, 0u);
}
