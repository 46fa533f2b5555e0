// Damaged input never crashes, overruns or breaks the result convention: every
// byte of real streams flipped, zeroed or set to 0xFF, every single-bit flip,
// and random stream bodies give 0 or -1, with outlen 0 on -1 and within the
// capacity on 0. Run under ASan/UBSan: buffers are exactly their sizes.
#include "inflate_fixtures.h"
#include "inflate_test_util.h"

static const char* const kSwept[] = {"fixed_short", "runs", "mixed", "text_level9", "far_match"};

// Checks the convention for one input and returns the status.
static inflate_status check_one(const bytes& s, uint64_t cap) {
  decoded d = inflate_into(s, cap);
  EXPECT_TRUE(d.result == 0 || d.result == -1);
  if (d.result == -1) {
    EXPECT_EQ(d.outlen, 0u);
  } else {
    EXPECT_LE(d.outlen, cap);
  }
  return d.why;
}

TEST(InflateMutation, EveryByteOfRealStreams) {
  for (const inflate_fixture& f : k_inflate_fixtures) {
    bool swept = false;
    for (const char* name : kSwept) swept |= std::string(name) == f.name;
    if (!swept) continue;
    SCOPED_TRACE(f.name);
    const uint64_t cap = f.plain_size + 64;  // room for mutants that decode to more
    int counts[4] = {};
    bytes s(f.data, f.data + f.size);
    for (size_t i = 0; i < s.size(); i++) {
      const uint8_t orig = s[i];
      uint8_t values[11] = {uint8_t(~orig), 0x00, 0xff};
      for (int b = 0; b < 8; b++) values[3 + b] = uint8_t(orig ^ (1u << b));
      for (uint8_t v : values) {
        if (v == orig) continue;
        s[i] = v;
        counts[check_one(s, cap)]++;
        if (HasFailure()) FAIL() << "byte " << i << " set to " << int(v);
      }
      s[i] = orig;
    }
    // Damage that only touches the trailer leaves the output alone, so every
    // fixture must see successes; the others must see every kind of failure.
    EXPECT_GT(counts[INFLATE_OK], 0);
    EXPECT_GT(counts[INFLATE_BAD_HEADER], 0);
    EXPECT_GT(counts[INFLATE_TRUNCATED] + counts[INFLATE_OUTPUT_FULL], 0);
  }
}

// The Adler-32 trailer is not checked: damaging it changes nothing.
TEST(InflateMutation, TrailerDamageKeepsOutput) {
  for (const inflate_fixture& f : k_inflate_fixtures) {
    SCOPED_TRACE(f.name);
    for (size_t i = f.size - 4; i < f.size; i++) {
      bytes s(f.data, f.data + f.size);
      s[i] ^= 0xff;
      decoded d = inflate_into(s, f.plain_size);
      ASSERT_EQ(d.result, 0);
      EXPECT_EQ(crc32_of(d.out), f.plain_crc32);
    }
  }
}

// Random bytes after a valid header, half of them starting a dynamic block so
// that the code-table reader sees arbitrary counts, lengths and repeats.
TEST(InflateMutation, RandomBodies) {
  uint32_t x = 12345;
  auto next = [&x] {
    x = x * 1664525u + 1013904223u;
    return x >> 8;
  };
  int counts[4] = {};
  for (int round = 0; round < 20000; round++) {
    bytes s = {0x78, 0x9c};
    size_t n = next() % 600;
    for (size_t i = 0; i < n; i++) s.push_back(uint8_t(next()));
    if (n > 0 && round % 2 == 0) s[2] = uint8_t((s[2] & ~6u) | 4u);  // BTYPE = 2
    counts[check_one(s, next() % 2048)]++;
    if (HasFailure()) FAIL() << "round " << round;
  }
  EXPECT_GT(counts[INFLATE_OK], 0);
  EXPECT_GT(counts[INFLATE_TRUNCATED], 0);
}
