// Valid zlib streams decode to exactly the bytes that were compressed, and the
// zlib header is accepted or rejected by method and dictionary bits alone.
#include <algorithm>
#include <cstring>
#include <string>

#include "inflate_fixtures.h"
#include "inflate_test_util.h"

static bytes fixture_bytes(const inflate_fixture& f) {
  return bytes(f.data, f.data + f.size);
}

static const inflate_fixture& fixture(const char* name) {
  for (const inflate_fixture& f : k_inflate_fixtures)
    if (strcmp(f.name, name) == 0) return f;
  ADD_FAILURE() << "no fixture " << name;
  return k_inflate_fixtures[0];
}

TEST(InflateRoundTrip, MatchesIndependentCompressor) {
  for (const inflate_fixture& f : k_inflate_fixtures) {
    SCOPED_TRACE(std::string(f.name) + ": " + f.contents);
    for (uint64_t cap : {f.plain_size, f.plain_size + 1000}) {
      decoded d = inflate_into(f.data, f.size, cap);
      ASSERT_EQ(d.result, 0);
      EXPECT_EQ(d.why, INFLATE_OK);
      ASSERT_EQ(d.outlen, f.plain_size);
      EXPECT_EQ(crc32_of(d.out), f.plain_crc32);
    }
  }
}

// The runs fixture is rebuilt here byte for byte, so a wrong overlapping copy
// shows where it went wrong rather than as a CRC mismatch.
TEST(InflateRoundTrip, OverlappingCopiesRepeatThePattern) {
  std::string want = std::string(1000, 'a');
  for (int i = 0; i < 700; i++) want += "xy";
  for (int i = 0; i < 500; i++) want += "abc";
  for (int i = 0; i < 256; i++) want += char(i);
  want += std::string(777, 'Q');
  const inflate_fixture& f = fixture("runs");
  decoded d = inflate_into(f.data, f.size, want.size());
  ASSERT_EQ(d.result, 0);
  EXPECT_EQ(as_text(d.out), want);

  const inflate_fixture& far = fixture("far_match");
  d = inflate_into(far.data, far.size, far.plain_size);
  ASSERT_EQ(d.result, 0);
  ASSERT_EQ(d.outlen, 32600u);
  EXPECT_TRUE(std::equal(d.out.begin(), d.out.begin() + 300, d.out.end() - 300));
  EXPECT_EQ(std::count(d.out.begin() + 300, d.out.end() - 300, 0), 32000);
}

// Length and distance extra bits are read least significant bit first, after
// their Huffman-coded symbol.
TEST(InflateRoundTrip, HandMadeFixedBlockWithExtraBits) {
  bit_writer w;
  w.bits(1, 1);  // final
  w.bits(1, 2);  // fixed codes
  for (char c : std::string("abcdef")) w.fixed_symbol(c);
  w.fixed_symbol(265);  // length 11 + 1 extra bit
  w.bits(1, 1);         // = 12
  w.code(4, 5);         // distance 5 + 1 extra bit
  w.bits(1, 1);         // = 6
  w.fixed_symbol(285);  // length 258, no extra bits
  w.code(0, 5);         // distance 1
  w.fixed_symbol(256);
  decoded d = inflate_into(w.finish(), 1000);
  ASSERT_EQ(d.result, 0);
  EXPECT_EQ(as_text(d.out), "abcdefabcdefabcdef" + std::string(258, 'f'));
}

TEST(InflateStored, EmptyFinalBlockGivesNothing) {
  const bytes stream = {0x78, 0x01, 0x01, 0x00, 0x00, 0xff, 0xff};
  decoded d = inflate_into(stream, 0);  // a zero-capacity buffer is null
  EXPECT_EQ(d.result, 0);
  EXPECT_EQ(d.outlen, 0u);
  d = inflate_into(stream, 16);
  EXPECT_EQ(d.result, 0);
  EXPECT_EQ(d.outlen, 0u);
}

TEST(InflateStored, BlocksAfterOtherBlocksStartOnAByte) {
  // A fixed block ends mid-byte; the stored block after it skips the rest of
  // that byte, even though the decoder has read ahead past it.
  bit_writer w;
  w.bits(0, 1);
  w.bits(1, 2);
  w.fixed_symbol('z');
  w.fixed_symbol(256);
  w.stored_block(false, "");
  w.stored_block(false, "stored");
  w.bits(1, 1);
  w.bits(1, 2);
  w.fixed_symbol('!');
  w.fixed_symbol(256);
  decoded d = inflate_into(w.finish(), 64);
  ASSERT_EQ(d.result, 0);
  EXPECT_EQ(as_text(d.out), "zstored!");
}

TEST(InflateHeader, RejectsRawDeflate) {
  decoded d = inflate_into(k_raw_deflate, sizeof k_raw_deflate, 1000);
  EXPECT_EQ(d.result, -1);
  EXPECT_EQ(d.why, INFLATE_BAD_HEADER);
  EXPECT_EQ(d.outlen, 0u);
}

// Only the method nibble and the preset-dictionary bit decide; the window size
// and the header check value are not examined.
TEST(InflateHeader, AcceptanceRule) {
  const inflate_fixture& f = fixture("fixed_short");
  const bytes good = fixture_bytes(f);
  struct variant {
    uint8_t cmf, flg;
    inflate_status want;
  } variants[] = {
      {0x78, uint8_t(good[1] ^ 0x01), INFLATE_OK},  // header check no longer a multiple of 31
      {0x08, 0x00, INFLATE_OK},                     // 256-byte window
      {0xf8, 0x00, INFLATE_OK},                     // window size 15: invalid, ignored
      {0x78, 0xc0, INFLATE_OK},                     // compression level bits
      {0x77, 0x01, INFLATE_BAD_HEADER},             // method 7
      {0x79, 0x01, INFLATE_BAD_HEADER},             // method 9
      {0x7f, 0x01, INFLATE_BAD_HEADER},             // method 15
      {0x78, 0x20, INFLATE_BAD_HEADER},             // preset dictionary
      {0x78, 0xbb, INFLATE_BAD_HEADER},             // valid check, but dictionary bit
  };
  for (const variant& v : variants) {
    SCOPED_TRACE(testing::Message() << std::hex << int(v.cmf) << " " << int(v.flg));
    bytes s = good;
    s[0] = v.cmf;
    s[1] = v.flg;
    decoded d = inflate_into(s, f.plain_size);
    EXPECT_EQ(d.why, v.want);
    if (v.want == INFLATE_OK) {
      EXPECT_EQ(crc32_of(d.out), f.plain_crc32);
    }
  }

  EXPECT_EQ(inflate_into(good.data(), 0, 64).why, INFLATE_BAD_HEADER);
  EXPECT_EQ(inflate_into(good.data(), 1, 64).why, INFLATE_BAD_HEADER);
  EXPECT_EQ(inflate_into(good.data(), 2, 64).why, INFLATE_TRUNCATED);  // header alone: no block
  uint64_t outlen = 7;
  uint8_t out[64];
  EXPECT_EQ(inflate_decompress(nullptr, 10, out, sizeof out, &outlen), -1);
  EXPECT_EQ(outlen, 0u);
  EXPECT_EQ(inflate_decompress(good.data(), good.size(), nullptr, 10, &outlen), -1);
}

TEST(InflateHeader, CapacityLimitIsOneGiB) {
  const inflate_fixture& f = fixture("fixed_short");
  // The decoder writes only what the stream produces, so a small buffer can
  // stand in for a large declared capacity here.
  uint8_t out[64];
  uint64_t outlen = 7;
  inflate_status why;
  EXPECT_EQ(inflate_decompress_status(f.data, f.size, out, uint64_t{1} << 30, &outlen, &why), 0);
  EXPECT_EQ(outlen, f.plain_size);
  EXPECT_EQ(inflate_decompress_status(f.data, f.size, out, (uint64_t{1} << 30) + 1, &outlen, &why),
            -1);
  EXPECT_EQ(why, INFLATE_BAD_HEADER);
  EXPECT_EQ(outlen, 0u);
  EXPECT_EQ(inflate_decompress(f.data, f.size, out, UINT64_MAX, &outlen), -1);
}

TEST(InflateTrailer, AnythingAfterTheFinalBlockIsIgnored) {
  const inflate_fixture& f = fixture("text_level9");
  bytes bad_adler = fixture_bytes(f);
  bad_adler.back() ^= 0x5a;
  bytes no_trailer(f.data, f.data + f.size - 4);
  bytes garbage = fixture_bytes(f);
  garbage.insert(garbage.end(), {0xff, 0x00, 0x13, 0x37, 0xff, 0xff});
  for (const bytes& s : {bad_adler, no_trailer, garbage}) {
    decoded d = inflate_into(s, f.plain_size);
    ASSERT_EQ(d.result, 0);
    EXPECT_EQ(d.outlen, f.plain_size);
    EXPECT_EQ(crc32_of(d.out), f.plain_crc32);
  }
}
