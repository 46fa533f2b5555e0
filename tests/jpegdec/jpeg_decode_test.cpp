// Coded blocks become the right samples in the right places: DC prediction,
// AC positions and runs, quantisation, sampling factors, partial scans and the
// colour conversions, and the embedded cjpeg files decode to djpeg's pixels.
#include <gtest/gtest.h>

#include "jpeg_fixtures.h"
#include "jpeg_test_util.h"

using namespace jpeg_test;

namespace {

const std::vector<comp> kGray = {{1, 1, 1}};

// Expects every pixel of the 8 x 8 block at block column bx, row by to be the
// gray level s.
void expect_flat(const decoded& d, int bx, int by, int s) {
  for (int y = 0; y < 8; y++)
    for (int x = 0; x < 8; x++) {
      int px = bx * 8 + x, py = by * 8 + y;
      if (px >= d.w || py >= d.h) continue;
      ASSERT_EQ(d.rgb(px, py), uint32_t(s) * 0x010101u) << "block " << bx << "," << by;
    }
}

// Expects the gray 8 x 8 image d to hold the inverse DCT of the dequantised
// coefficients, given as (row, column, value), within one level.
void expect_block(const decoded& d, const std::vector<std::tuple<int, int, double>>& coefs,
                  int bx = 0) {
  for (int y = 0; y < 8; y++)
    for (int x = 0; x < 8; x++) {
      double want = std::clamp(idct_at(coefs, x, y), 0.0, 255.0);
      ASSERT_NEAR(d.gray(bx * 8 + x, y), want, 1.0) << "x " << x << " y " << y;
    }
}

// The red, green, blue the YCbCr conversion gives, truncating toward zero.
uint32_t ycc(int y, int cb, int cr) {
  auto clamp = [](double v) { return uint32_t(std::clamp(static_cast<int>(v), 0, 255)); };
  double r = y + 1.402 * (cr - 128), g = y - 0.344136 * (cb - 128) - 0.714136 * (cr - 128),
         b = y + 1.772 * (cb - 128);
  return clamp(r) << 16 | clamp(g) << 8 | clamp(b);
}

}  // namespace

TEST(JpegDecodeFixtures, EmbeddedFilesMatchDjpeg) {
  decoded g = decode(jpeg_fixtures::kGrayJpeg, sizeof jpeg_fixtures::kGrayJpeg);
  ASSERT_TRUE(g.ok) << g.msg;
  EXPECT_EQ(g.msg, "");
  ASSERT_EQ(g.w, 12);
  ASSERT_EQ(g.h, 9);
  for (int i = 0; i < 12 * 9; i++) {
    const uint8_t* p = &g.rgba[i * 4];
    EXPECT_NEAR(p[0], jpeg_fixtures::kGrayDjpeg[i], 1) << i;
    EXPECT_EQ(p[0], p[1]);
    EXPECT_EQ(p[0], p[2]);
    EXPECT_EQ(p[3], 255);
  }

  // 4:2:0 with a restart marker after each MCU; djpeg rounds its colour
  // conversion where this decoder truncates.
  decoded c = decode(jpeg_fixtures::kColourJpeg, sizeof jpeg_fixtures::kColourJpeg);
  ASSERT_TRUE(c.ok) << c.msg;
  ASSERT_EQ(c.w, 20);
  ASSERT_EQ(c.h, 10);
  for (int i = 0; i < 20 * 10; i++) {
    for (int k = 0; k < 3; k++)
      EXPECT_NEAR(c.rgba[i * 4 + k], jpeg_fixtures::kColourDjpeg[i * 3 + k], 2) << i;
    EXPECT_EQ(c.rgba[i * 4 + 3], 255);
  }
}

TEST(JpegDecodeBlocks, DcDifferencesOfEverySizeAccumulate) {
  // Quantiser 8 makes each predictor value p come out as the sample 128 + p,
  // so sizes 1..8, positive and negative, show exactly.
  const int small[] = {1, -2, 5, -7, 12, -25, 50, -100, 127};
  std::vector<block> blocks;
  int prev = 0;
  for (int p : small) {
    blocks.push_back({p - prev});
    prev = p;
  }
  decoded d = decode(image(72, 8, kGray, blocks, {.q = 8}));
  ASSERT_TRUE(d.ok) << d.msg;
  for (int i = 0; i < 9; i++) expect_flat(d, i, 0, 128 + small[i]);

  // Sizes 9..11 with quantiser 1.
  const int large[] = {301, -501, 1000, -1000};
  blocks.clear();
  prev = 0;
  for (int p : large) {
    blocks.push_back({p - prev});
    prev = p;
  }
  d = decode(image(32, 8, kGray, blocks));
  ASSERT_TRUE(d.ok) << d.msg;
  for (int i = 0; i < 4; i++) expect_flat(d, i, 0, flat_sample(large[i]));
  EXPECT_EQ(d.gray(0, 0), 166);
  EXPECT_EQ(d.gray(31, 7), 3);
}

TEST(JpegDecodeBlocks, AcCoefficientsLandAtTheirZigzagPositions) {
  // Zigzag position -> row and column of the natural order (T.81 Figure A.5).
  struct {
    int k, row, col;
  } cases[] = {{1, 0, 1}, {2, 1, 0}, {5, 0, 2}, {17, 2, 3}, {35, 7, 0}, {63, 7, 7}};
  for (auto c : cases) {
    SCOPED_TRACE(c.k);
    decoded d = decode(image(8, 8, kGray, {{0, {{c.k, 120}}}}));
    ASSERT_TRUE(d.ok) << d.msg;
    expect_block(d, {{c.row, c.col, 120}});
  }

  // Several coefficients in one block, the last at position 63 with no end
  // of block after it; the next block must still be read in step.
  decoded d = decode(image(16, 8, kGray, {{-80, {{1, -90}, {3, 60}, {9, 35}, {63, -40}}}, {160}}));
  ASSERT_TRUE(d.ok) << d.msg;
  expect_block(d, {{0, 0, -80}, {0, 1, -90}, {2, 0, 60}, {3, 0, 35}, {7, 7, -40}});
  expect_flat(d, 1, 0, flat_sample(80));
}

TEST(JpegDecodeBlocks, RunsSkipPositions) {
  // ZRL (0xF0) skips sixteen positions: 1 -> 18.
  decoded d = decode(image(8, 8, kGray, {{0, {{1, 60}, {18, 70}}}}));
  ASSERT_TRUE(d.ok) << d.msg;
  expect_block(d, {{0, 1, 60}, {3, 2, 70}});

  // A run of 15 needs no ZRL: 0 -> 16.
  d = decode(image(8, 8, kGray, {{0, {{16, 90}}}}));
  ASSERT_TRUE(d.ok) << d.msg;
  expect_block(d, {{1, 4, 90}});

  // Another symbol of size 0 (0x30) advances by its run alone: the next
  // coefficient, with no run of its own, lands at 1 + 3 = 4.
  bytes s = header(8, 8, kGray);
  entropy_writer w;
  w.dc_symbol(0);
  w.ac_symbol(0x30);
  w.ac_symbol(0x07);
  w.value(100, 7);
  w.ac_symbol(0x00);
  append(s, w.finish());
  append(s, {0xff, 0xd9});
  d = decode(s);
  ASSERT_TRUE(d.ok) << d.msg;
  expect_block(d, {{1, 1, 100}});
}

TEST(JpegDecodeBlocks, QuantisationValuesArriveInZigzagOrder) {
  // Table 0: 2 at zigzag position 1 (row 0, column 1), 3 at position 2 (row
  // 1, column 0), 16-bit values; everything else 1.
  bytes dqt = {0x10};
  for (int k = 0; k < 64; k++) {
    dqt.push_back(0);
    dqt.push_back(k == 1 ? 2 : k == 2 ? 3 : 1);
  }
  bytes s = cat({{0xff, 0xd8},
                 segment(0xdb, dqt),
                 sof(8, 8, kGray),
                 dht(0, 0, test_dc_table()),
                 dht(1, 0, test_ac_table()),
                 sos({{1, 0x00}}),
                 entropy({{16, {{1, 30}, {2, 30}}}}),
                 {0xff, 0xd9}});
  decoded d = decode(s);
  ASSERT_TRUE(d.ok) << d.msg;
  expect_block(d, {{0, 0, 16}, {0, 1, 60}, {1, 0, 90}});
}

TEST(JpegDecodeSampling, ChromaSamplesCoverTheirShareOfPixels) {
  // A chroma block with detail, and the samples it decodes to on its own.
  const block pattern = {dc_for(150), {{1, 200}, {2, -150}, {4, 90}, {12, 60}}};
  decoded alone = decode(image(8, 8, kGray, {pattern}));
  ASSERT_TRUE(alone.ok) << alone.msg;
  auto cb_at = [&](int x, int y) { return alone.gray(x, y); };
  const block grey = {0};

  // 4:2:0, 13 x 11 (one MCU, cut by the image edge): each chroma sample
  // covers a 2 x 2 square.
  decoded d = decode(
      image(13, 11, {{1, 2, 2}, {2, 1, 1}, {3, 1, 1}}, {grey, grey, grey, grey, pattern, grey}));
  ASSERT_TRUE(d.ok) << d.msg;
  for (int y = 0; y < 11; y++)
    for (int x = 0; x < 13; x++)
      ASSERT_EQ(d.rgb(x, y), ycc(128, cb_at(x / 2, y / 2), 128)) << x << "," << y;

  // 4:2:2: 2 x 1.
  d = decode(image(16, 8, {{1, 2, 1}, {2, 1, 1}, {3, 1, 1}}, {grey, grey, pattern, grey}));
  ASSERT_TRUE(d.ok) << d.msg;
  for (int y = 0; y < 8; y++)
    for (int x = 0; x < 16; x++)
      ASSERT_EQ(d.rgb(x, y), ycc(128, cb_at(x / 2, y), 128)) << x << "," << y;

  // Luma 3 x 1: a third of a chroma sample per pixel.
  d = decode(image(24, 8, {{1, 3, 1}, {2, 1, 1}, {3, 1, 1}}, {grey, grey, grey, pattern, grey}));
  ASSERT_TRUE(d.ok) << d.msg;
  for (int y = 0; y < 8; y++)
    for (int x = 0; x < 24; x++)
      ASSERT_EQ(d.rgb(x, y), ycc(128, cb_at(x / 3, y), 128)) << x << "," << y;

  // Chroma sampled more finely than luma (Cb 2 x 2, the others 1 x 1): pixel
  // (x, y) takes Cb at (2x, 2y), the ratio of the plane sizes.
  // Cb blocks 40, 80, 120, 160 in raster order.
  d = decode(image(8, 8, {{1, 1, 1}, {2, 2, 2}, {3, 1, 1}},
                   {grey, {dc_for(40)}, {40 * 8}, {40 * 8}, {40 * 8}, grey}));
  ASSERT_TRUE(d.ok) << d.msg;
  for (int y = 0; y < 8; y++)
    for (int x = 0; x < 8; x++) {
      int block = (2 * y / 8) * 2 + 2 * x / 8;
      ASSERT_EQ(d.rgb(x, y), ycc(128, 40 + 40 * block, 128)) << x << "," << y;
    }
}

TEST(JpegDecodeColour, ConversionByComponentsAndAdobeFlag) {
  // Y 100, Cb 200, Cr 50, K 10, each a flat block.
  const std::vector<comp> ycc3 = {{1, 1, 1}, {2, 1, 1}, {3, 1, 1}};
  const std::vector<comp> four = {{1, 1, 1}, {2, 1, 1}, {3, 1, 1}, {4, 1, 1}};
  const std::vector<block> b3 = {{dc_for(100)}, {dc_for(200)}, {dc_for(50)}};
  std::vector<block> b4 = b3;
  b4.push_back({dc_for(10)});
  auto all_pixels = [](const decoded& d, uint32_t want) {
    ASSERT_TRUE(d.ok) << d.msg;
    for (int y = 0; y < d.h; y++)
      for (int x = 0; x < d.w; x++) {
        ASSERT_EQ(d.rgb(x, y), want) << x << "," << y;
        ASSERT_EQ(d.px(x, y)[3], 255);
      }
  };

  // YCbCr, each channel truncated toward zero and clamped: red -9.356 -> 0,
  // green 130.92 -> 130, blue 227.58 -> 227.
  const uint32_t kYcc = 0x0082e3;
  ASSERT_EQ(ycc(100, 200, 50), kYcc);
  all_pixels(decode(image(8, 8, ycc3, b3)), kYcc);

  // Four components without an Adobe segment: YCbCr of the first three.
  all_pixels(decode(image(8, 8, four, b4)), kYcc);

  // An Adobe segment with transform 2 at payload offset 12 and a payload
  // longer than 13 bytes selects 255 - c - k + c k / 255:
  // 255 - 100 - 10 + 3, 255 - 200 - 10 + 7, 255 - 50 - 10 + 1.
  auto adobe = [](size_t n, size_t at, uint8_t value) {
    bytes p = {'A', 'd', 'o', 'b', 'e'};
    p.resize(n, 0);
    p[at] = value;
    return segment(0xee, p);
  };
  all_pixels(decode(with_segment(image(8, 8, four, b4), adobe(14, 12, 2))), 0x9434c4);
  // Other transform values, a payload of 13 bytes, and the 12-byte segment
  // with the flag at offset 11 keep YCbCr.
  all_pixels(decode(with_segment(image(8, 8, four, b4), adobe(14, 12, 1))), kYcc);
  all_pixels(decode(with_segment(image(8, 8, four, b4), adobe(13, 12, 2))), kYcc);
  all_pixels(decode(with_segment(image(8, 8, four, b4), adobe(12, 11, 2))), kYcc);
  // Three components ignore the flag.
  all_pixels(decode(with_segment(image(8, 8, ycc3, b3), adobe(14, 12, 2))), kYcc);

  // One component: gray.
  all_pixels(decode(image(8, 8, kGray, {{dc_for(77)}})), 0x4d4d4d);
}

TEST(JpegDecodeScans, ComponentsAScanOmitsReadMidGrey) {
  // 32 x 16 with luma 2 x 2; the scan lists luma alone, so it is coded
  // non-interleaved: its 4 x 2 blocks in raster order, one per MCU. Chroma
  // reads 128, leaving gray pixels.
  const std::vector<comp> c420 = {{1, 2, 2}, {2, 1, 1}, {3, 1, 1}};
  std::vector<block> blocks;
  for (int i = 0; i < 8; i++) blocks.push_back({i == 0 ? dc_for(40) : 20 * 8});
  decoded d = decode(image(32, 16, c420, blocks, {.scan = {1}}));
  ASSERT_TRUE(d.ok) << d.msg;
  for (int y = 0; y < 16; y++)
    for (int x = 0; x < 32; x++) {
      int i = (y / 8) * 4 + x / 8;
      ASSERT_EQ(d.rgb(x, y), uint32_t(40 + 20 * i) * 0x010101u) << x << "," << y;
    }

  // A scan of the two chroma components: interleaved over them alone, luma
  // reading 128.
  d = decode(image(16, 16, c420, {{dc_for(200)}, {dc_for(50)}}, {.scan = {2, 3}}));
  ASSERT_TRUE(d.ok) << d.msg;
  EXPECT_EQ(d.rgb(0, 0), ycc(128, 200, 50));
  EXPECT_EQ(d.rgb(15, 15), ycc(128, 200, 50));
}

TEST(JpegDecodeScans, LoneComponentWithSamplingIsNonInterleaved) {
  // A gray frame whose one component is sampled 2 x 2 (as cjpeg -grayscale
  // -sample 2x2 writes): its scan is non-interleaved, one block per MCU in
  // raster order over ceil(24 / 8) x ceil(16 / 8) blocks. Read as 2 x 2
  // blocks per MCU, the blocks would land scrambled.
  std::vector<block> blocks;
  for (int i = 0; i < 6; i++) blocks.push_back({i == 0 ? dc_for(40) : 20 * 8});
  decoded d = decode(image(24, 16, {{1, 2, 2}}, blocks));
  ASSERT_TRUE(d.ok) << d.msg;
  for (int i = 0; i < 6; i++) expect_flat(d, i % 3, i / 3, 40 + 20 * i);
}
