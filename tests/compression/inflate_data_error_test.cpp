// Corrupt DEFLATE data ends decoding without failing the call: the result is 0
// and the output holds exactly the bytes produced before the corrupt part.
//
// Every stream starts with a good stored block "good"; streams whose codes
// must be accepted end with a stored block "!" that shows decoding went on.
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "inflate_test_util.h"

static bit_writer after_good_block() {
  bit_writer w;
  w.stored_block(false, "good");
  return w;
}

// Zero bytes after the corrupt part, so a decoder that reads up to 15 bits
// looking for a code reaches the error rather than the end of the input.
static bytes padded(bit_writer& w) {
  w.raw({0, 0, 0, 0});
  return w.finish();
}

// Result 0 with exactly the bytes in want.
static void expect_result_0(const bytes& stream, const std::string& want) {
  decoded d = inflate_into(stream, 4096);
  EXPECT_EQ(d.result, 0);
  EXPECT_EQ(d.why, INFLATE_OK);
  EXPECT_EQ(as_text(d.out), want);
}

static void fixed_header(bit_writer& w) {
  w.bits(1, 1);
  w.bits(1, 2);
}

// Code lengths of n symbols: the listed (symbol, length) pairs, others 0.
static std::vector<int> lengths_of(size_t n, std::initializer_list<std::pair<int, int>> set) {
  std::vector<int> lengths(n, 0);
  for (const auto& [sym, len] : set) lengths[size_t(sym)] = len;
  return lengths;
}

// Literal/length lengths for "a" (1 bit), end of block and length-3 symbol 257
// (2 bits each): codes 0, 10, 11.
static std::vector<int> lit_a_end_len3() {
  return lengths_of(258, {{'a', 1}, {256, 2}, {257, 2}});
}

TEST(InflateDataError, BadBlocks) {
  {
    SCOPED_TRACE("block type 3");
    bit_writer w = after_good_block();
    w.bits(1, 1);
    w.bits(3, 2);
    expect_result_0(padded(w), "good");
  }
  {
    SCOPED_TRACE("stored NLEN not the complement of LEN");
    bit_writer w = after_good_block();
    w.bits(1, 1);
    w.bits(0, 2);
    w.raw({3, 0, 0xfc, 0xfe, 'a', 'b', 'c'});
    expect_result_0(w.finish(), "good");
  }
  {
    SCOPED_TRACE("NLEN checked before LEN is compared with the input left");
    bit_writer w = after_good_block();
    w.bits(1, 1);
    w.bits(0, 2);
    w.raw({0xff, 0x7f, 0x00, 0x00});
    expect_result_0(w.finish(), "good");
  }
}

TEST(InflateDataError, BadSymbolsKeepTheBlocksOutputSoFar) {
  for (int sym : {286, 287}) {
    SCOPED_TRACE(sym);
    bit_writer w = after_good_block();
    fixed_header(w);
    w.fixed_symbol('x');
    w.fixed_symbol('y');
    w.fixed_symbol(sym);
    expect_result_0(padded(w), "goodxy");
  }
  {
    SCOPED_TRACE("distance one past the bytes produced");
    bit_writer w = after_good_block();
    fixed_header(w);
    w.fixed_symbol('x');
    w.fixed_symbol(257);  // length 3
    w.code(4, 5);         // distance 5 + 1 extra bit
    w.bits(1, 1);         // = 6, but only 5 bytes exist
    expect_result_0(padded(w), "goodx");
  }
  for (uint32_t dist_sym : {30u, 31u}) {
    SCOPED_TRACE("fixed distance symbol with no base");
    bit_writer w = after_good_block();
    fixed_header(w);
    w.fixed_symbol('x');
    w.fixed_symbol(257);
    w.code(dist_sym, 5);
    expect_result_0(padded(w), "goodx");
  }
}

TEST(InflateDataError, BadDynamicHeaders) {
  {
    SCOPED_TRACE("287 literal/length codes");
    bit_writer w = after_good_block();
    w.bits(1, 1);
    w.bits(2, 2);
    w.bits(30, 5);
    w.bits(0, 5);
    w.bits(15, 4);
    expect_result_0(padded(w), "good");
  }
  {
    SCOPED_TRACE("31 distance codes");
    bit_writer w = after_good_block();
    w.bits(1, 1);
    w.bits(2, 2);
    w.bits(0, 5);
    w.bits(30, 5);
    w.bits(15, 4);
    expect_result_0(padded(w), "good");
  }
  {
    // The one-code exception is for literal/length and distance codes only.
    SCOPED_TRACE("code-length code: one code of length 1");
    std::vector<int> one(19, 0);
    one[1] = 1;
    bit_writer w = after_good_block();
    dynamic_header(w, true, 257, 1, one, {});
    expect_result_0(padded(w), "good");
  }
  {
    SCOPED_TRACE("code-length code over-subscribed");
    std::vector<int> over(19, 0);
    over[0] = over[1] = over[2] = 1;
    bit_writer w = after_good_block();
    dynamic_header(w, true, 257, 1, over, {});
    expect_result_0(padded(w), "good");
  }
  std::vector<int> rep(19, 0);
  rep[1] = rep[16] = rep[18] = 2;
  rep[0] = 2;
  {
    SCOPED_TRACE("repeat with no previous length");
    bit_writer w = after_good_block();
    dynamic_header(w, true, 257, 1, rep, {{16, 0}});
    expect_result_0(padded(w), "good");
  }
  {
    SCOPED_TRACE("zeros past the declared number of lengths");
    bit_writer w = after_good_block();
    dynamic_header(w, true, 257, 1, rep, {{18, 127}, {18, 127}});  // 276 > 258
    expect_result_0(padded(w), "good");
  }
  {
    SCOPED_TRACE("repeat of a length past the declared number of lengths");
    bit_writer w = after_good_block();
    std::vector<cl_item> items = {{18, 127}, {18, 107}, {1, 0}, {16, 0}};  // 138 + 118 + 1 + 3
    dynamic_header(w, true, 257, 1, rep, items);
    expect_result_0(padded(w), "good");
  }
}

TEST(InflateDataError, BadLiteralAndDistanceCodes) {
  const std::vector<int> cl = plain_cl_lengths();
  struct bad_code {
    const char* what;
    std::vector<int> lit, dist;
  } cases[] = {
      {"no end-of-block code", lengths_of(257, {{'a', 1}, {'b', 1}}), {1}},
      {"literal code incomplete, two codes", lengths_of(257, {{'a', 1}, {256, 2}}), {1}},
      {"literal code over-subscribed", lengths_of(257, {{'a', 1}, {'b', 1}, {256, 1}}), {1}},
      {"distance code over-subscribed", lit_a_end_len3(), {1, 1, 1}},
      {"distance code: single code of length 2", lit_a_end_len3(), {2}},
      {"distance code incomplete, two codes", lit_a_end_len3(), {1, 2}},
  };
  for (const bad_code& c : cases) {
    SCOPED_TRACE(c.what);
    bit_writer w = after_good_block();
    dynamic_header(w, false, int(c.lit.size()), int(c.dist.size()), cl, plain_items(c.lit, c.dist));
    w.code("0000");  // whatever follows is never decoded
    w.stored_block(true, "!");
    expect_result_0(w.finish(), "good");
  }
}

// A distance code made of one code of length 1 is the one incomplete code that
// is accepted: it is what a compressor sends for a block using one distance.
TEST(InflateCodes, SingleCodeOfLengthOneAccepted) {
  const std::vector<int> cl = plain_cl_lengths();
  for (int dist_len : {1, 2}) {
    SCOPED_TRACE(dist_len);
    bit_writer w = after_good_block();
    dynamic_header(w, false, 258, 1, cl, plain_items(lit_a_end_len3(), {dist_len}));
    w.code("0");          // 'a'
    w.code("11");         // length 3
    w.code(0, dist_len);  // distance 1
    w.code("10");         // end of block
    w.stored_block(true, "!");
    expect_result_0(w.finish(), dist_len == 1 ? "goodaaaa!" : "good");
  }
  {
    SCOPED_TRACE("literal code holding only end of block");
    std::vector<int> lit = lengths_of(257, {{256, 1}});
    bit_writer w = after_good_block();
    dynamic_header(w, false, 257, 1, cl, plain_items(lit, {1}));
    w.code("0");
    w.stored_block(true, "!");
    expect_result_0(w.finish(), "good!");
  }
  {
    SCOPED_TRACE("the unused bit pattern of a one-code code matches no symbol");
    std::vector<int> lit = lengths_of(257, {{256, 1}});
    bit_writer w = after_good_block();
    dynamic_header(w, false, 257, 1, cl, plain_items(lit, {1}));
    w.code("1");
    w.stored_block(true, "!");
    expect_result_0(padded(w), "good");
  }
}

// A distance code with no codes at all suits a block of literals only; the
// first length symbol in such a block then ends decoding.
TEST(InflateCodes, EmptyDistanceCode) {
  const std::vector<int> cl = plain_cl_lengths();
  bit_writer w = after_good_block();
  std::vector<int> lit = lengths_of(257, {{'a', 1}, {256, 1}});
  dynamic_header(w, false, 257, 1, cl, plain_items(lit, {0}));
  w.code("0");
  w.code("0");
  w.code("1");
  w.stored_block(true, "!");
  expect_result_0(w.finish(), "goodaa!");

  bit_writer m = after_good_block();
  dynamic_header(m, true, 258, 1, cl, plain_items(lit_a_end_len3(), {0}));
  m.code("0");   // 'a'
  m.code("11");  // length 3, then a distance that cannot be decoded
  expect_result_0(padded(m), "gooda");
}

// Repeat codes 16, 17 and 18 with their extra bits, a repeat that ends exactly
// at the last declared length, and a distance equal to the bytes produced.
TEST(InflateCodes, RepeatCodesAndLongestDistance) {
  std::vector<int> cl(19, 0);
  cl[2] = cl[3] = cl[16] = 2;
  cl[17] = cl[18] = 3;
  // Literal/length lengths (259): a-d 3 bits, end of block 2, 257 and 258
  // 3 bits; then four distance codes of 2 bits.
  std::vector<cl_item> items = {
      {18, 86},   // 0..96: 97 zeros
      {3, 0},     // 'a'
      {16, 0},    // 'b' 'c' 'd': the previous length 3 times
      {18, 127},  // 101..238: 138 zeros
      {17, 7},    // 239..248: 10 zeros
      {17, 4},    // 249..255: 7 zeros
      {2, 0},     // 256
      {3, 0},     // 257 (length 3)
      {3, 0},     // 258 (length 4)
      {2, 0},     // distance code 0
      {16, 0},    // distance codes 1..3: the repeat ends the sequence
  };
  bit_writer w;
  dynamic_header(w, true, 259, 4, cl, items);
  // Codes: 256 = 00; a b c d 257 258 = 010 011 100 101 110 111; distances 00 01 10 11.
  w.code("010"), w.code("011"), w.code("100"), w.code("101");
  w.code("111"), w.code("11");  // length 4, distance 4 = all bytes so far
  w.code("110"), w.code("01");  // length 3, distance 2
  w.code("00");
  expect_result_0(w.finish(), "abcdabcdcdc");
}
