// Inside the entropy-coded data: restart intervals reset the DC predictors,
// stray markers cut a block or skip a block row and decoding reads on, and a
// scan that stops early is kept only when FF D9 sits where it stopped.
#include <gtest/gtest.h>

#include "jpeg_test_util.h"

using namespace jpeg_test;

namespace {

const std::vector<comp> kGray = {{1, 1, 1}};
const bytes kEoi = {0xff, 0xd9};

// The gray level of every pixel of 8-pixel-wide block column bx (row 0..7).
void expect_column(const decoded& d, int bx, int s, int by = 0) {
  for (int y = by * 8; y < by * 8 + 8; y++)
    for (int x = bx * 8; x < bx * 8 + 8; x++)
      ASSERT_EQ(d.rgb(x, y), uint32_t(s) * 0x010101u) << "block " << bx << "," << by;
}

// SOI, quantisation table 0 of 1s, the given DC table and the test AC table.
bytes soi_tables(const huffman& dc) {
  return cat({{0xff, 0xd8}, dqt_flat(0, 1), dht(0, 0, dc), dht(1, 0, test_ac_table())});
}

}  // namespace

TEST(JpegDecodeRestart, MarkersResetPredictorsEveryInterval) {
  // 64 x 8 gray, eight MCUs, interval 4. Each half codes differences
  // 80, 8, 8, 8: without the reset the second half would continue from 104.
  auto half = [](entropy_writer& w) {
    for (int dc : {80, 8, 8, 8}) w.put({dc});
  };
  entropy_writer w;
  half(w);
  w.marker(0xd5);  // any of RST0..RST7 will do
  half(w);
  decoded d = decode(cat({header(64, 8, kGray, {.restart = 4}), w.finish(), kEoi}));
  ASSERT_TRUE(d.ok) << d.msg;
  for (int i = 0; i < 8; i++) expect_column(d, i, 138 + i % 4);

  // No marker is read after the last MCU, so a complete scan needs nothing
  // after it, not even FF D9; an interval as long as the scan (or longer)
  // needs no marker at all.
  entropy_writer x;
  half(x);
  x.marker(0xd0);
  half(x);
  d = decode(cat({header(64, 8, kGray, {.restart = 4}), x.finish(), {0x12, 0x34}}));
  ASSERT_TRUE(d.ok) << d.msg;
  expect_column(d, 7, 141);
  for (int interval : {8, 9, 65535}) {
    entropy_writer v;
    half(v);
    half(v);
    d = decode(cat({header(64, 8, kGray, {.restart = interval}), v.finish()}));
    ASSERT_TRUE(d.ok) << interval << ": " << d.msg;
    expect_column(d, 7, flat_sample(208));
  }

  // A missing marker stops decoding: an error unless FF D9 is there, in
  // which case the MCUs decoded so far are kept and the rest reads mid-grey.
  entropy_writer m;
  half(m);
  half(m);
  EXPECT_EQ(outcome(cat({header(64, 8, kGray, {.restart = 4}), m.finish(), kEoi})),
            "jpeg: decode error in scan data");
  entropy_writer e;
  half(e);
  d = decode(cat({header(64, 8, kGray, {.restart = 4}), e.finish(), kEoi}));
  ASSERT_TRUE(d.ok) << d.msg;
  for (int i = 0; i < 8; i++) expect_column(d, i, i < 4 ? 138 + i : 128);
}

TEST(JpegDecodeMarkers, MarkerInAcDataEndsTheBlockAndReadsOn) {
  // 24 x 8 gray. Block 0: DC (size 4, eight bits) and one coefficient of size
  // 8 (sixteen bits), so the next AC code starts on a byte boundary, where FF
  // is met: the block ends there as at an end of block. Decoding reads on
  // from the marker's second byte, which carries block 1's first bits.
  bytes s = header(24, 8, kGray);
  entropy_writer w;
  w.dc_symbol(4);
  w.value(8, 4);
  w.ac_symbol(0x08);
  w.value(200, 8);
  w.stray_marker();
  w.put({80});
  w.put({-40});
  append(s, w.finish());
  append(s, kEoi);
  decoded d = decode(s);
  ASSERT_TRUE(d.ok) << d.msg;
  for (int y = 0; y < 8; y++)
    for (int x = 0; x < 8; x++)
      ASSERT_NEAR(d.gray(x, y), idct_at({{0, 0, 8}, {0, 1, 200}}, x, y), 1.0) << x << "," << y;
  expect_column(d, 1, flat_sample(88));
  expect_column(d, 2, flat_sample(48));
}

TEST(JpegDecodeMarkers, MarkerInDcCodeSkipsTheRestOfTheBlockRow) {
  // Luma sampled 3 x 2 in an interleaved scan with two 1 x 1 chroma
  // components (a one-component scan is non-interleaved whatever its
  // sampling): a single 24 x 16 MCU of luma blocks A B C / D E F, then one
  // chroma block each, DC 0, so pixels are gray. A's DC and end of block fill
  // 16 bits; B's DC code meets the marker, so B and C are skipped (mid-grey)
  // and D goes on from the marker's second byte with A's predictor.
  bytes s = header(24, 16, {{1, 3, 2}, {2, 1, 1}, {3, 1, 1}});
  // A: DC of size 4 (4 + 4 bits) and end of block (8 bits), ending on a byte.
  entropy_writer v;
  v.dc_symbol(4);
  v.value(8, 4);
  v.ac_symbol(0x00);
  ASSERT_EQ(v.bit_offset(), 0);
  v.stray_marker();
  v.put({40});   // D
  v.put({-16});  // E
  v.put({8});    // F
  v.put({0});    // Cb
  v.put({0});    // Cr
  append(s, v.finish());
  append(s, kEoi);
  decoded d = decode(s);
  ASSERT_TRUE(d.ok) << d.msg;
  expect_column(d, 0, flat_sample(8));
  expect_column(d, 1, 128);
  expect_column(d, 2, 128);
  expect_column(d, 0, flat_sample(48), 1);
  expect_column(d, 1, flat_sample(32), 1);
  expect_column(d, 2, flat_sample(40), 1);
}

TEST(JpegDecodeTruncated, ScanStoppingJustBeforeEndMarkerKeepsItsBlocks) {
  // 24 x 8 gray; block 1 holds one coefficient at position 1, then ZRL codes:
  // three reach position 50 and the fourth would run to 65, past 63. Decoding
  // stops with the reader right before FF D9, so the image is returned, block
  // 1 stored with what it had and block 2 never decoded.
  entropy_writer w;
  w.put({80});
  w.dc_symbol(5);
  w.value(16, 5);
  w.ac_symbol(0x05);
  w.value(30, 5);
  for (int i = 0; i < 4; i++) w.ac_symbol(0xf0);
  bytes data = w.finish();
  decoded d = decode(cat({header(24, 8, kGray), data, kEoi}));
  ASSERT_TRUE(d.ok) << d.msg;
  EXPECT_EQ(d.w, 24);
  expect_column(d, 0, flat_sample(80));
  for (int y = 0; y < 8; y++)
    for (int x = 0; x < 8; x++)
      ASSERT_NEAR(d.gray(8 + x, y), idct_at({{0, 0, 96}, {0, 1, 30}}, x, y), 1.0);
  expect_column(d, 2, 128);

  // The same data without FF D9, or with anything else after it.
  EXPECT_EQ(outcome(cat({header(24, 8, kGray), data})), "jpeg: decode error in scan data");
  EXPECT_EQ(outcome(cat({header(24, 8, kGray), data, {0xff, 0xd0}})),
            "jpeg: decode error in scan data");

  // A DC code that matches nothing (sixteen 1-bits): block 1 is not stored.
  entropy_writer n;
  n.put({80});
  n.bits(0xffff, 16);
  d = decode(cat({header(24, 8, kGray), n.finish(), kEoi}));
  ASSERT_TRUE(d.ok) << d.msg;
  expect_column(d, 0, flat_sample(80));
  expect_column(d, 1, 128);
  expect_column(d, 2, 128);
}

TEST(JpegDecodeTruncated, DcSizeAboveSixteenStopsDecoding) {
  // DC sizes 0..17 with 5-bit codes. Sizes up to 16 (T.81's largest) decode,
  // the samples clamping; 17 stops decoding like a code that matches nothing.
  huffman dc;
  dc.counts[4] = 18;
  for (int i = 0; i < 18; i++) dc.symbols.push_back(static_cast<uint8_t>(i));
  entropy_writer w(dc);
  w.put({40960});
  w.put({dc_for(100) - 40960});
  w.dc_symbol(17);
  bytes s = cat({soi_tables(dc), sof(24, 8, kGray), sos({{1, 0x00}}), w.finish(), kEoi});
  decoded d = decode(s);
  ASSERT_TRUE(d.ok) << d.msg;
  expect_column(d, 0, 255);
  expect_column(d, 1, 100);
  expect_column(d, 2, 128);
}

TEST(JpegDecodeTruncated, EndMarkerMetInsideTheDataIsReadOn) {
  // Data cut on a byte boundary inside block 1 with FF D9 appended: the
  // reader meets FF D9 as a marker in an AC code, ends block 1 there and reads
  // on from D9 as data for block 2, then runs out: an error, since what
  // follows the stopping point is not FF D9.
  entropy_writer w;
  w.dc_symbol(4);
  w.value(8, 4);
  w.ac_symbol(0x00);
  w.dc_symbol(4);
  w.value(8, 4);
  ASSERT_EQ(w.bit_offset(), 0);
  bytes cut = cat({header(24, 8, kGray), w.finish(), kEoi});
  EXPECT_EQ(outcome(cut), "jpeg: decode error in scan data");

  // When block 1 is the last one, the scan is complete once it is stored.
  decoded d = decode(cat({header(16, 8, kGray), w.finish(), kEoi}));
  ASSERT_TRUE(d.ok) << d.msg;
  expect_column(d, 0, flat_sample(8));
  expect_column(d, 1, flat_sample(16));
}

TEST(JpegDecodeTruncated, KeptRowsHoldTheRowWhereDecodingStopped) {
  // 16 x 256 gray, two blocks per block row, each flat with its own value.
  // Decoding stops inside block row 10: in block 21 by a run past position
  // 63, or, with a marker after every block, at FF D9 where the restart
  // marker after block 20 belongs. With rows 43, 82 and 200 kept, each is
  // as the whole-plane decode gives it: row 82 has what block row 10 got,
  // row 200 is mid-grey.
  auto value = [](int i) { return 20 + (i * 37) % 200; };
  for (bool restarts : {false, true}) {
    SCOPED_TRACE(restarts ? "restart markers" : "run past 63");
    entropy_writer w;
    int pred = 0;
    for (int i = 0; i < (restarts ? 21 : 22); i++) {
      const int dc = dc_for(value(i));
      if (restarts && i > 0) {
        w.marker(static_cast<uint8_t>(0xd0 + (i - 1) % 8));
        pred = 0;
      }
      if (i == 21 && !restarts) {
        w.put({dc - pred, {{62, 1}, {78, 1}}, false});
      } else {
        w.put({dc - pred});
      }
      pred = dc;
    }
    options o;
    o.restart = restarts ? 1 : 0;
    const bytes data = cat({header(16, 256, kGray, o), w.finish(), kEoi});
    struct pick {
      static void rows(const void*, int32_t, int32_t, uint8_t* keep) {
        keep[43] = keep[82] = keep[200] = 1;
      }
    };
    const jpeg_row_filter filter = {nullptr, pick::rows};
    jpeg_planes whole, kept;
    const char* msg = nullptr;
    ASSERT_TRUE(jpeg_decode_planes(data.data(), data.size(), &whole, &msg)) << msg;
    ASSERT_TRUE(jpeg_decode_planes_rows(data.data(), data.size(), &filter, &kept, &msg)) << msg;
    ASSERT_NE(kept.slot[0], nullptr);
    for (int32_t y : {43, 82, 200}) {
      uint8_t a[16 * 4], b[16 * 4];
      jpeg_planes_rgba(&whole, y, nullptr, 16, a);
      jpeg_planes_rgba(&kept, y, nullptr, 16, b);
      EXPECT_EQ(memcmp(a, b, sizeof a), 0) << "row " << y;
      EXPECT_EQ(b[0], y == 200 ? 128 : value(y / 8 * 2));
    }
    jpeg_planes_free(&whole);
    jpeg_planes_free(&kept);
  }
}
