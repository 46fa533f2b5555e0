// Every single-byte change (flipped, zeroed, set to 0xFF) and every
// truncation of small valid streams decodes cleanly: pixels of the frame's
// size with opaque alpha, or null with one of the decoder's texts and zero
// sizes. Run under AddressSanitizer, this also checks every read and write.
#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "jpeg_fixtures.h"
#include "jpeg_test_util.h"
#include "support/sha256.h"

using namespace jpeg_test;

namespace {

// Checks one decode; true when it returned pixels. Appends the digest of
// the outcome (the pixels and size, or the message) to *digests.
bool check(const bytes& b, std::string* digests) {
  int32_t w = -1, h = -1;
  const char* msg = nullptr;
  uint8_t* px = qx_jpeg_decode_impl(b.data(), b.size(), &w, &h, &msg);
  EXPECT_NE(msg, nullptr);
  if (!msg) return false;
  if (px) {
    std::string out = std::to_string(w) + "x" + std::to_string(h) + ":";
    out.append(reinterpret_cast<const char*>(px), static_cast<size_t>(w) * h * 4);
    *digests += test_util::sha256_hex(reinterpret_cast<const uint8_t*>(out.data()), out.size());
  } else {
    *digests += msg;
  }
  if (px) {
    EXPECT_STREQ(msg, "");
    EXPECT_GT(w, 0);
    EXPECT_GT(h, 0);
    // Every alpha byte of the block is read, so a short block shows under ASan.
    size_t n = static_cast<size_t>(std::max(w, 0)) * std::max(h, 0) * 4;
    size_t opaque = 0;
    for (size_t i = 3; i < n; i += 4) opaque += px[i] == 255;
    EXPECT_EQ(opaque, n / 4);
    std::free(px);
    return true;
  }
  EXPECT_EQ(w, 0);
  EXPECT_EQ(h, 0);
  const auto& all = all_messages();
  EXPECT_NE(std::find(all.begin(), all.end(), msg), all.end()) << msg;
  return false;
}

// Mutates and truncates the stream and counts the outcomes. Returns one
// digest of every outcome, in order.
std::string sweep(const bytes& s) {
  int ok = 0, failed = 0;
  std::string digests;
  auto one = [&](const bytes& m) { (check(m, &digests) ? ok : failed)++; };
  for (size_t i = 0; i < s.size(); i++)
    for (uint8_t kind = 0; kind < 3; kind++) {
      bytes m = s;
      m[i] = kind == 0 ? static_cast<uint8_t>(~m[i]) : kind == 1 ? 0 : 0xff;
      one(m);
      if (testing::Test::HasFailure()) return "";
    }
  for (size_t n = 0; n < s.size(); n++) one(bytes(s.begin(), s.begin() + static_cast<long>(n)));
  // Both outcomes occur: the sweep reaches the decoding paths, not only the
  // header checks.
  EXPECT_GT(ok, 0);
  EXPECT_GT(failed, 0);
  return test_util::sha256_hex(reinterpret_cast<const uint8_t*>(digests.data()), digests.size());
}

}  // namespace

// The digests pin every outcome, pixels and messages, to what the decoder
// gave when it read every code bit by bit and ran the full inverse DCT on
// every block: its faster paths must not change a single result, also where
// data stop early, markers interrupt a code or codes match nothing.
TEST(JpegDecodeMutation, EmbeddedFilesSurviveEveryByteChange) {
  const std::string colour =
      sweep(bytes(std::begin(jpeg_fixtures::kColourJpeg), std::end(jpeg_fixtures::kColourJpeg)));
  const std::string gray =
      sweep(bytes(std::begin(jpeg_fixtures::kGrayJpeg), std::end(jpeg_fixtures::kGrayJpeg)));
  EXPECT_EQ(colour, "90d8a3ff554fb2347de0883396ee7cca28af8f47974cfbf4b77ee593963f5be0");
  EXPECT_EQ(gray, "e48f147021a63e0ef60073c425f06915bc7dd2db5fc140d69dc16bcd06c1974d");
}

TEST(JpegDecodeMutation, HandMadeStreamsSurviveEveryByteChange) {
  // Four components with unusual sampling, an Adobe segment, restarts after
  // every MCU and coefficients throughout the blocks.
  std::vector<block> blocks;
  for (int i = 0; i < 8; i++)
    blocks.push_back({(i % 3 - 1) * 50, {{1, 30 - i}, {9 + i, 7}, {40, -3}}});
  entropy_writer w;
  for (int mcu = 0; mcu < 2; mcu++) {
    for (const block& b : blocks) w.put(b);
    if (mcu == 0) w.marker(0xd0);
  }
  bytes adobe = {'A', 'd', 'o', 'b', 'e', 0, 0, 0, 0, 0, 0, 0, 2, 0};
  bytes s = cat({header(30, 9, {{1, 2, 2}, {2, 1, 2}, {3, 1, 1}, {4, 1, 1}}, {.restart = 1}),
                 w.finish(),
                 {0xff, 0xd9}});
  s = with_segment(s, segment(0xee, adobe));
  ASSERT_EQ(outcome(s), "ok");
  EXPECT_EQ(sweep(s), "e30de1c02b7c1bc51da20ac7a5a1720d7812c4cc83c4efa621d021ce855c6759");
}
