// page_stream_decode undoes ASCII85 and Flate in either array order, hands
// back raw bytes for every other filter, and sizes its first Flate buffer
// from the stream or from the image it holds.
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "pdfcore/limits.h"
#include "pdfcore/pdfcore_internal.h"
#include "support/alloc_peak.h"
#include "support/test_util.h"

using test_util::bytes;
using test_util::len;
using test_util::loaded_doc;
using test_util::simple_pdf;

// The texts behind tools/make_test_pdf.py's stream_filters.pdf.
static const std::string kContentA = "0 0 1 rg 10 10 100 100 re f\n";
static const std::string kContentB = "1 0 0 RG 5 w 0 0 m 50 50 l S\n";
static const std::string kFakeJpeg = "\xff\xd8\xff\xe0 still DCT-encoded";

static std::string fixture(const std::string& name) {
  return test_util::read_file(test_util::data_path("pdf/" + name));
}

static std::string decode_entry(const pdfcore_doc* doc, const obj_entry* e) {
  int32_t n = -7;
  uint8_t* p = page_stream_decode(doc, e, &n);
  if (!p) {
    EXPECT_EQ(n, -7);  // untouched on failure
    return "<null>";
  }
  std::string s(reinterpret_cast<const char*>(p), static_cast<size_t>(n));
  free(p);
  return s;
}

static std::string decode(const loaded_doc& d, int32_t num) {
  const obj_entry* e = d.find(num);
  return e ? decode_entry(&d.doc, e) : "<missing>";
}

// A document whose object 4 is a stream with the given dictionary entries.
static std::string with_stream(const std::string& dict, const std::string& data) {
  return simple_pdf("3 0 R", "3 0 obj << /Type /Page >> endobj\n4 0 obj << " + dict + " /Length " +
                                 std::to_string(data.size()) + " >> stream\n" + data +
                                 "\nendstream endobj\n");
}

TEST(FilterChain, FlateAndFiltersLeftAlone) {
  loaded_doc d(fixture("stream_filters.pdf"));
  ASSERT_TRUE(d.ok) << d.error;
  EXPECT_EQ(decode(d, 10), kContentA);
  EXPECT_EQ(decode(d, 11), kContentB);          // no filter: a copy
  EXPECT_EQ(decode(d, 12), kFakeJpeg);          // DCT after Flate is left alone
  EXPECT_EQ(decode(d, 15), d.stream_data(15));  // LZW: raw
  EXPECT_EQ(decode(d, 16), d.stream_data(16));  // /Filter 30 0 R is not followed
  EXPECT_EQ(decode(d, 3), "<null>");            // not a stream
}

TEST(FilterChain, Ascii85IsUndoneBeforeFlateInEitherOrder) {
  loaded_doc d(fixture("stream_filters.pdf"));
  ASSERT_TRUE(d.ok) << d.error;
  EXPECT_EQ(decode(d, 13), kContentB);  // [/ASCII85Decode /FlateDecode]
  EXPECT_EQ(decode(d, 14), kContentB);  // [/FlateDecode /ASCII85Decode]
}

TEST(FilterChain, HowTheFilterIsWritten) {
  const std::string a85 = "9jqo^9jn~>";  // "Man Ma"
  struct {
    const char* dict;
    const char* expect;
  } cases[] = {
      {"/Filter /ASCII85Decode", "Man Ma"},
      {"/Filter/ASCII85Decode", "Man Ma"},
      {"/Filter [/Crypt/ASCII85Decode]", "Man Ma"},  // others in an array are ignored
      {"/Filter [ /ASCII85Decode", "Man Ma"},        // an array cut by the dictionary's end
      {"/Filter /A85", nullptr},                     // abbreviations are not known
      {"/Filter [/AHx]", nullptr},
      {"/Filter [ ]", nullptr},
      {"/Filter (ASCII85Decode)", nullptr},
      {"/DecodeParms << /Predictor 12 >> /Filter /ASCII85Decode", "Man Ma"},  // no predictor
  };
  for (const auto& c : cases) {
    loaded_doc d(with_stream(c.dict, a85));
    ASSERT_TRUE(d.ok) << d.error;
    EXPECT_EQ(decode(d, 4), c.expect ? c.expect : a85) << c.dict;
  }
}

TEST(FilterChain, FailuresAndDataErrors) {
  loaded_doc d(fixture("stream_filters.pdf"));
  ASSERT_TRUE(d.ok) << d.error;
  test_util::alloc_peak::start();
  EXPECT_EQ(decode(d, 18), "<null>");
  test_util::alloc_peak::stop();
  // Truncated data are not retried with more room.
  EXPECT_LE(test_util::alloc_peak::largest(), (int64_t)(200 * d.stream_data(18).size() + 1048577));
  EXPECT_EQ(decode(d, 19), "hello ");  // the bytes before a data error
  // Entries that do not describe a usable stream.
  obj_entry e = *d.find(10);
  e.dict_off = -1;
  EXPECT_EQ(decode_entry(&d.doc, &e), "<null>");
  e = *d.find(10);
  e.data_end = d.doc.len + 1;
  EXPECT_EQ(decode_entry(&d.doc, &e), "<null>");
  e = *d.find(10);
  e.data_end = e.data_off;
  EXPECT_EQ(decode_entry(&d.doc, &e), "<null>");
  e = *d.find(10);
  e.data_off = -1;
  EXPECT_EQ(decode_entry(&d.doc, &e), "<null>");
}

// ---------------------------------------------------------------------------
// ASCII85

static std::string a85(const std::string& in) {
  uint64_t n = 0;
  uint8_t* p = ascii85_decode_alloc(bytes(in), len(in), &n);
  if (!p) return "<null>";
  std::string s(reinterpret_cast<const char*>(p), static_cast<size_t>(n));
  free(p);
  return s;
}

TEST(Ascii85, GroupsAndTheirEnds) {
  EXPECT_EQ(a85("87cURD]j7BEbo7~>"), "Hello world");
  EXPECT_EQ(a85("9jqo^"), "Man ");
  // A final group of k digits gives k - 1 bytes; one digit gives none.
  EXPECT_EQ(a85("9jqo~>"), "Man");
  EXPECT_EQ(a85("9jn~>"), "Ma");
  EXPECT_EQ(a85("9`~>"), "M");
  EXPECT_EQ(a85("9~>"), "");
  EXPECT_EQ(a85("9jqo^9"), "Man ");
  // '~' ends the data with or without '>'; without it the data run out.
  EXPECT_EQ(a85("9jqo^~9jqo^"), "Man ");
  EXPECT_EQ(a85(""), "");
}

TEST(Ascii85, ZerosAndIgnoredBytes) {
  EXPECT_EQ(a85("z"), std::string(4, '\0'));
  EXPECT_EQ(a85("zz~>"), std::string(8, '\0'));
  // Whitespace, 'v'..'y', '{', '|', '}', high bytes and a 'z' inside a group
  // are skipped.
  EXPECT_EQ(a85(" 9\nj\tq\ro v^wxy{|}\x80~>"), "Man ");
  EXPECT_EQ(a85("!!z!!!~>"), std::string(4, '\0'));
  // Groups above 2^32 - 1 wrap rather than fail.
  EXPECT_EQ(a85("uuuuu"), std::string("\x08x\x0e\xc4", 4));
  // Output grows beyond the first (n / 5 + 5) * 4 bytes.
  EXPECT_EQ(a85(std::string(10000, 'z')), std::string(40000, '\0'));
}

// ---------------------------------------------------------------------------
// The first Flate buffer

static uint64_t first_cap(const std::string& dict, uint64_t n) {
  return page_stream_first_cap(bytes(dict), 0, len(dict), n);
}

TEST(FirstFlateBuffer, ContentRatioOrImageSize) {
  const uint64_t base = 200 * 10 + 1048576;  // for 10 compressed bytes
  EXPECT_EQ(first_cap("<< >>", 10), base);
  EXPECT_EQ(first_cap("<< >>", 100000), 200 * 100000 + 1048576u);
  // components x width x height x bits / 8 + 64 KiB, when larger.
  const std::string size = "/Width 1000 /Height 1000 ";
  EXPECT_EQ(first_cap(size + "/ColorSpace /DeviceRGB /BitsPerComponent 8", 10), 3065536u);
  EXPECT_EQ(first_cap(size, 10), 3065536u);  // no colour space, no depth: RGB, 8
  EXPECT_EQ(first_cap(size + "/ColorSpace /DeviceGray", 10), 1065536u);
  EXPECT_EQ(first_cap(size + "/ColorSpace /DeviceGray", 1000), 200 * 1000 + 1048576u);
  EXPECT_EQ(first_cap(size + "/ColorSpace /Indexed", 10), 1065536u);
  EXPECT_EQ(first_cap(size + "/ColorSpace /DeviceCMYK", 10), 4065536u);
  EXPECT_EQ(first_cap(size + "/ColorSpace /CalRGB", 10), 3065536u);
  EXPECT_EQ(first_cap(size + "/ColorSpace /DeviceGrayish", 10), 3065536u);  // whole names only
  EXPECT_EQ(first_cap(size + "/ColorSpace [/ICCBased 5 0 R]", 10), 3065536u);
  EXPECT_EQ(first_cap(size + "/ColorSpace [/Indexed /DeviceRGB 255 7 0 R]", 10), 1065536u);
  EXPECT_EQ(first_cap(size + "/ColorSpace 5 0 R", 10), 3065536u);
  EXPECT_EQ(first_cap(size + "/BitsPerComponent 16", 10), 6065536u);
  EXPECT_EQ(first_cap(size + "/BitsPerComponent 1 /ColorSpace /DeviceGray", 1), 200 + 1048576u);
  EXPECT_EQ(first_cap(size + "/BitsPerComponent 17", 10), 3065536u);  // out of range: 8
  EXPECT_EQ(first_cap(size + "/BitsPerComponent 0", 10), 3065536u);
  // Sizes outside 1..20000 make no estimate.
  EXPECT_EQ(first_cap("/Width 20001 /Height 1000", 10), base);
  EXPECT_EQ(first_cap("/Width 1000 /Height 0", 10), base);
  EXPECT_EQ(first_cap("/Width 1000", 10), base);
  // Never above 1 GiB - 4096, however large the image.
  const uint64_t most = pdfcore_limits::kMaxPageStreamFirstBytes;
  EXPECT_EQ(
      first_cap("/Width 20000 /Height 20000 /ColorSpace /DeviceCMYK /BitsPerComponent 16", 10),
      most);
  EXPECT_EQ(first_cap("<< >>", 100000000), most);
}

TEST(FirstFlateBuffer, ImageInflatesInOnePass) {
  // 3,000,000 bytes from a few KB: beyond 200 n + 1 MiB, within the estimate.
  loaded_doc d(fixture("stream_filters.pdf"));
  ASSERT_TRUE(d.ok) << d.error;
  ASSERT_LT(d.stream_data(20).size() * 200 + 1048576, 3000000u);
  int32_t n = 0;
  test_util::alloc_peak::start();
  uint8_t* p = page_stream_decode(&d.doc, d.find(20), &n);
  test_util::alloc_peak::stop();
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(n, 3000000);
  EXPECT_TRUE(std::string(reinterpret_cast<const char*>(p), 3000000) == std::string(3000000, '\0'));
  free(p);
  // One block of 3,065,536 bytes and its terminator; a retry would have
  // asked for four times 200 n + 1 MiB.
  EXPECT_LE(test_util::alloc_peak::largest(), 3065536 + 1);
}
