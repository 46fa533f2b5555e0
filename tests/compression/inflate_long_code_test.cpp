// Codes the decoder cannot settle from its first bits alone: codes longer than
// the lookup table, and bit patterns that start no code at all. Both take the
// bit-by-bit path, which must decode long codes exactly and must tell corrupt
// data (15 bits seen, no match: result 0) from input that ends first (-1).
#include <string>
#include <vector>

#include "inflate_test_util.h"

// A complete literal/length code with one code of every length 1..15:
// 'a'..'n' get lengths 1..14, 'o' and end of block both 15.
static std::vector<int> lit_every_length() {
  std::vector<int> lit(257, 0);
  for (int i = 0; i < 14; i++) lit[size_t('a' + i)] = i + 1;
  lit['o'] = 15;
  lit[256] = 15;
  return lit;
}

TEST(InflateCodes, CodesOfEveryLengthUpTo15) {
  const std::vector<int> lit = lit_every_length();
  const std::vector<uint32_t> codes = canonical_codes(lit);
  const std::string text = "onmlkjihgfedcbaoabcn";
  bit_writer w;
  dynamic_header(w, true, 257, 1, plain_cl_lengths(), plain_items(lit, {1}));
  for (char c : text) w.code(codes[size_t(c)], lit[size_t(c)]);
  w.code(codes[256], 15);  // the input ends with the last bit of this code
  bytes s = w.finish();
  decoded d = inflate_into(s, 64);
  EXPECT_EQ(d.result, 0);
  EXPECT_EQ(as_text(d.out), text);
  s.pop_back();  // the end-of-block code cut short
  EXPECT_EQ(inflate_into(s, 64).why, INFLATE_TRUNCATED);
}

// A pattern that matches no code is corrupt data only once 15 bits show it;
// when the input ends sooner, the call fails as truncated.
TEST(InflateCodes, UnmatchedPatternNearTheEndOfInput) {
  struct unmatched {
    const char* what;
    void (*write)(bit_writer&);
    std::string kept;  // output when zero bytes follow
  } cases[] = {
      {"fixed distance code 30",
       [](bit_writer& w) {
         w.bits(1, 1), w.bits(1, 2);
         w.fixed_symbol('a'), w.fixed_symbol(257);
         w.code("11110");
       },
       "a"},
      {"unused pattern of a one-code literal code",
       [](bit_writer& w) {
         std::vector<int> lit(257, 0);
         lit[256] = 1;
         dynamic_header(w, true, 257, 1, plain_cl_lengths(), plain_items(lit, {1}));
         w.code("1");
       },
       ""},
      {"empty distance code",
       [](bit_writer& w) {
         std::vector<int> lit(258, 0);
         lit['a'] = 1, lit[256] = 2, lit[257] = 2;
         dynamic_header(w, true, 258, 1, plain_cl_lengths(), plain_items(lit, {0}));
         w.code("0"), w.code("11");
       },
       "a"},
  };
  for (const unmatched& c : cases) {
    SCOPED_TRACE(c.what);
    bit_writer cut;
    c.write(cut);
    decoded d = inflate_into(cut.finish(), 64);
    EXPECT_EQ(d.result, -1);
    EXPECT_EQ(d.why, INFLATE_TRUNCATED);
    EXPECT_EQ(d.outlen, 0u);

    bit_writer padded;
    c.write(padded);
    padded.raw({0, 0});
    d = inflate_into(padded.finish(), 64);
    EXPECT_EQ(d.result, 0);
    EXPECT_EQ(as_text(d.out), c.kept);
  }
}
