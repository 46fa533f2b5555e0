// The streamed decode: output larger than its buffer comes out in pieces,
// with matches that reach back across a piece's end and stored blocks that
// need a flush first, and it ends exactly as the one-shot decode does at
// every limit, cut and damaged byte (inflate_into compares the two).
#include <cstdlib>

#include "inflate_test_util.h"

namespace {

// 1.5 MB of words with repeats from up to 30000 bytes back, so that matches
// cross the points where the streamed decode hands out a piece.
bytes repetitive_text() {
  bytes text;
  uint32_t seed = 12345;
  auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
  while (text.size() < 1500000) {
    if (text.size() > 30000 && next() % 3 == 0) {
      const size_t from = text.size() - 1000 - (next() >> 8) % 29000;
      const size_t len = 3 + (next() >> 8) % 300;
      for (size_t i = 0; i < len; i++) text.push_back(text[from + i]);
    } else {
      text.push_back(uint8_t('a' + (next() >> 12) % 26));
    }
  }
  return text;
}

bytes deflated(const bytes& in) {
  uint8_t* out = nullptr;
  uint64_t len = 0;
  EXPECT_EQ(qx_deflate(in.data(), in.size(), &out, &len), 0);
  bytes z(out, out + len);
  free(out);
  return z;
}

}  // namespace

TEST(InflateStream, LargeOutputComesInPiecesAsTheOneShotDecodeGivesIt) {
  const bytes text = repetitive_text();
  const bytes z = deflated(text);
  decoded whole = inflate_into(z, text.size());
  ASSERT_EQ(whole.why, INFLATE_OK);
  EXPECT_TRUE(whole.out == text);
  EXPECT_EQ(inflate_into(z, text.size() - 1).why, INFLATE_OUTPUT_FULL);
  EXPECT_EQ(inflate_into(z, 300000).why, INFLATE_OUTPUT_FULL);

  streamed st;
  uint64_t produced = 0;
  ASSERT_EQ(inflate_stream(z.data(), z.size(), UINT64_MAX, &streamed::take, &st, &produced),
            INFLATE_OK);
  EXPECT_EQ(produced, text.size());
  EXPECT_TRUE(st.out == text);
  EXPECT_GT(st.pieces, 5u);

  // A sink that refuses stops the decode at once.
  streamed refusing;
  refusing.refuse_at = 1;
  EXPECT_EQ(inflate_stream(z.data(), z.size(), UINT64_MAX, &streamed::take, &refusing, &produced),
            INFLATE_STOPPED);
  EXPECT_EQ(refusing.pieces, 2u);

  // Cuts and damage anywhere in the stream.
  for (size_t cut : {size_t{2}, z.size() / 3, z.size() / 2, z.size() - 5}) {
    bytes part(z.begin(), z.begin() + long(cut));
    EXPECT_EQ(inflate_into(part, text.size()).why, INFLATE_TRUNCATED) << cut;
  }
  uint32_t seed = 99;
  for (int k = 0; k < 40; k++) {
    bytes bad = z;
    seed = seed * 1103515245u + 12345u;
    bad[2 + (seed >> 4) % (bad.size() - 6)] ^= uint8_t(1 + (seed >> 24) % 255);
    inflate_into(bad, text.size() + 4096);
    if (HasFailure()) FAIL() << "damage " << k;
  }
}

TEST(InflateStream, StoredBlocksLargerThanTheRoomLeft) {
  // Five stored blocks of 65535 bytes: the later ones meet a buffer too full
  // for them and are copied after a piece is handed out.
  bit_writer w;
  std::string expect;
  for (int b = 0; b < 5; b++) {
    std::string block(65535, char('A' + b));
    block[b * 1000] = '!';
    w.stored_block(b == 4, block);
    expect += block;
  }
  const bytes z = w.finish();
  decoded d = inflate_into(z, expect.size());
  ASSERT_EQ(d.why, INFLATE_OK);
  EXPECT_EQ(as_text(d.out), expect);
  EXPECT_EQ(inflate_into(z, expect.size() - 1).why, INFLATE_OUTPUT_FULL);
  bytes cut(z.begin(), z.end() - 10);
  EXPECT_EQ(inflate_into(cut, expect.size()).why, INFLATE_TRUNCATED);
}
