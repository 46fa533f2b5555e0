// Input that ends before the final block, or output that does not fit, fails
// the whole call: result -1, outlen 0, and a status that says which.
#include "inflate_fixtures.h"
#include "inflate_test_util.h"

// Every zlib fixture ends with a 4-byte Adler-32 trailer; everything before it
// is needed, so each shorter cut must fail and each longer one must not.
TEST(InflateTruncated, EveryCutOfEveryFixture) {
  for (const inflate_fixture& f : k_inflate_fixtures) {
    SCOPED_TRACE(f.name);
    const size_t deflate_end = f.size - 4;
    for (size_t cut = 0; cut <= f.size; cut++) {
      bytes s(f.data, f.data + cut);  // exact-size copy: ASan catches reads past the cut
      decoded d = inflate_into(s, f.plain_size);
      if (cut < 2) {
        EXPECT_EQ(d.why, INFLATE_BAD_HEADER) << cut;
      } else if (cut < deflate_end) {
        ASSERT_EQ(d.why, INFLATE_TRUNCATED) << cut;
        ASSERT_EQ(d.outlen, 0u) << cut;
      } else {
        ASSERT_EQ(d.why, INFLATE_OK) << cut;
        ASSERT_EQ(crc32_of(d.out), f.plain_crc32) << cut;
      }
    }
  }
}

TEST(InflateTruncated, StoredBlockBeyondInputDiscardsEarlierBlocks) {
  bit_writer w;
  w.stored_block(false, "good");
  w.bits(1, 1);
  w.bits(0, 2);
  w.raw({10, 0, 0xf5, 0xff, 'a', 'b', 'c', 'd', 'e'});  // LEN 10, only 5 bytes follow
  decoded d = inflate_into(w.finish(), 100);
  EXPECT_EQ(d.result, -1);
  EXPECT_EQ(d.why, INFLATE_TRUNCATED);
  EXPECT_EQ(d.outlen, 0u);

  bit_writer h;
  h.stored_block(false, "good");
  h.bits(1, 1);
  h.bits(0, 2);
  h.raw({10, 0, 0xf5});  // NLEN cut in half
  d = inflate_into(h.finish(), 100);
  EXPECT_EQ(d.why, INFLATE_TRUNCATED);
  EXPECT_EQ(d.outlen, 0u);
}

TEST(InflateOutputFull, ExactCapacitySucceedsOneByteLessFails) {
  for (const inflate_fixture& f : k_inflate_fixtures) {
    SCOPED_TRACE(f.name);
    decoded d = inflate_into(f.data, f.size, f.plain_size);
    EXPECT_EQ(d.result, 0);
    EXPECT_EQ(d.outlen, f.plain_size);
    if (f.plain_size == 0) continue;
    d = inflate_into(f.data, f.size, f.plain_size - 1);
    EXPECT_EQ(d.result, -1);
    EXPECT_EQ(d.why, INFLATE_OUTPUT_FULL);
    EXPECT_EQ(d.outlen, 0u);
  }
}

// Every capacity short of the full output fails, whether the byte that does
// not fit comes from a literal, a match or a stored block; the buffer is
// exactly the capacity, so ASan reports any write past it.
TEST(InflateOutputFull, EveryShortCapacityFails) {
  for (const char* name : {"mixed", "runs", "text_level0"}) {
    SCOPED_TRACE(name);
    for (const inflate_fixture& f : k_inflate_fixtures) {
      if (std::string(f.name) != name) continue;
      for (uint64_t cap = 0; cap < f.plain_size; cap++) {
        decoded d = inflate_into(f.data, f.size, cap);
        ASSERT_EQ(d.why, INFLATE_OUTPUT_FULL) << cap;
        ASSERT_EQ(d.outlen, 0u) << cap;
      }
    }
  }
}
