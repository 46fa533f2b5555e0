// Glyph outlines from crafted fonts: simple-glyph decoding, composites and
// their placements and nesting limit, and the conversion of quadratic
// contours into straight and cubic segments.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fonts/fonts.h"
#include "support/test_util.h"
#include "tt_builder.h"

using test_util::bytes;
using test_util::len;
using tt::pt;

namespace {

const std::vector<pt> kSquare = {{0, 0}, {100, 0}, {100, 100}, {0, 100}};
const std::vector<pt> kTriangle = {{10, 10}, {30, 10}, {20, 40, false}};
const std::vector<pt> kDot = {{-101, 101}, {5, -7}, {101, 0}};

std::vector<pt> moved(std::vector<pt> v, int dx, int dy) {
  for (pt& p : v) p.x += dx, p.y += dy;
  return v;
}
std::vector<pt> cat(std::vector<pt> a, const std::vector<pt>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

void expect_seg(const path_seg& s, int kind, std::vector<double> xy) {
  EXPECT_EQ(s.kind, kind);
  std::vector<double> got = {s.x0, s.y0, s.x1, s.y1, s.x2, s.y2, s.x3, s.y3};
  ASSERT_EQ(xy.size(), 8u);
  for (size_t i = 0; i < 8; i++) EXPECT_DOUBLE_EQ(got[i], xy[i]) << "coordinate " << i;
}

// Segments of one contour given directly as points.
std::vector<path_seg> segs_of(const std::vector<pt>& pts, std::vector<uint16_t> ends) {
  std::vector<tf_point> p;
  for (const pt& q : pts) {
    p.push_back({static_cast<int16_t>(q.x), static_cast<int16_t>(q.y), uint8_t(q.on ? 1 : 0)});
  }
  std::vector<path_seg> s(kTfMaxSegments);
  s.resize(
      static_cast<size_t>(tf_outline_segs(p.data(), static_cast<int32_t>(p.size()), ends.data(),
                                          static_cast<int32_t>(ends.size()), s.data())));
  return s;
}

}  // namespace

TEST(TrueTypeSimpleGlyph, DecodesEveryDeltaEncoding) {
  // Two contours, ends 1 and 4; three instruction bytes to skip.
  // Flags: 13 = on, x byte positive, y word; 22 = off, x byte negative,
  // y same; 3D repeated twice more = on, x same, y byte positive.
  tt::be rec;
  rec.u16(2).u16(0).u16(0).u16(0).u16(0).u16(1).u16(4).u16(3).u8(0xB0).u8(1).u8(2);
  rec.u8(0x13).u8(0x22).u8(0x3D).u8(2);
  rec.u8(10).u8(5);                                   // x: +10, -5
  rec.u16(0xFED4).u8(7).u8(1).u8(255).u16(0).u16(0);  // y: -300, +7, +1, +255 (+ padding)
  for (bool long_loca : {false, true}) {
    std::string font = tt::build({.glyphs = {"", rec.s}, .long_loca = long_loca});
    tt::outline o(font, 1);
    ASSERT_EQ(o.ok, 1) << long_loca;
    EXPECT_EQ(o.composite, 0);
    EXPECT_EQ(o.end_list(), (std::vector<int>{1, 4}));
    EXPECT_EQ(o.points(),
              (std::vector<pt>{{10, -300}, {5, -300, false}, {5, -293}, {5, -292}, {5, -37}}));
  }

  // Running sums wrap to 16 bits: +30000 twice reaches -5536.
  std::string wrap = tt::build({.glyphs = {tt::simple_glyph({{{30000, 0}, {-5536, 0}, {0, 9}}})}});
  tt::outline w(wrap, 0);
  ASSERT_EQ(w.ok, 1);
  EXPECT_EQ(w.points(), (std::vector<pt>{{30000, 0}, {-5536, 0}, {0, 9}}));
}

TEST(TrueTypeComposite, ComponentsAreOffsetAndScaled) {
  std::string font =
      tt::build({.glyphs = {
                     "",                                   // 0: no outline
                     tt::simple_glyph({kSquare}),          // 1
                     tt::simple_glyph({kTriangle, kDot}),  // 2
                     tt::composite_glyph({{1, 100, -50},   // 3
                                          {2, -3, 5, false}}),
                     tt::composite_glyph({{2}}),           // 4
                     tt::composite_glyph({{3, 1000, 0}}),  // 5
                     tt::composite_glyph({{2, 0, 0, true, 0x0008, {8192}}}),
                     tt::composite_glyph({{2, 1, 2, true, 0x0040, {24576, -16384}}}),
                     // 8: a quarter turn, x' = -y, y' = x, then the offset.
                     tt::composite_glyph({{2, 7, 0, false, 0x0080, {0, 16384, -16384, 0}}}),
                     // 9: missing components contribute nothing.
                     tt::composite_glyph({{0}, {1, 0, 0}, {999}, {4}}),
                     tt::composite_glyph({{0}, {999}}),  // 10: nothing at all
                 }});
  const std::vector<pt> two = cat(kTriangle, kDot);

  tt::outline c3(font, 3);
  ASSERT_EQ(c3.ok, 1);
  EXPECT_EQ(c3.composite, 1);
  EXPECT_EQ(c3.points(), cat(moved(kSquare, 100, -50), moved(two, -3, 5)));
  EXPECT_EQ(c3.end_list(), (std::vector<int>{3, 6, 9}));

  // A single component (no "more components" flag) is that glyph's outline.
  tt::outline c4(font, 4);
  ASSERT_EQ(c4.ok, 1);
  EXPECT_EQ(c4.composite, 1);
  EXPECT_EQ(c4.points(), two);
  EXPECT_EQ(c4.end_list(), (std::vector<int>{2, 5}));

  // A composite of a composite adds both offsets.
  tt::outline c5(font, 5);
  ASSERT_EQ(c5.ok, 1);
  EXPECT_EQ(c5.points(), moved(c3.points(), 1000, 0));
  EXPECT_EQ(c5.end_list(), c3.end_list());

  // Uniform scale 0.5: halves round away from zero.
  tt::outline c6(font, 6);
  ASSERT_EQ(c6.ok, 1);
  EXPECT_EQ(c6.points(),
            (std::vector<pt>{{5, 5}, {15, 5}, {10, 20, false}, {-51, 51}, {3, -4}, {51, 0}}));
  // x scaled 1.5, y scaled -1, then offset (1, 2).
  tt::outline c7(font, 7);
  ASSERT_EQ(c7.ok, 1);
  EXPECT_EQ(c7.points(),
            (std::vector<pt>{{16, -8}, {46, -8}, {31, -38, false}, {-151, -99}, {9, 9}, {153, 2}}));
  tt::outline c8(font, 8);
  ASSERT_EQ(c8.ok, 1);
  EXPECT_EQ(
      c8.points(),
      (std::vector<pt>{{-3, 10}, {-3, 30}, {-33, 20, false}, {-94, -101}, {14, 5}, {7, 101}}));

  tt::outline c9(font, 9);
  ASSERT_EQ(c9.ok, 1);
  EXPECT_EQ(c9.points(), cat(kSquare, two));
  EXPECT_EQ(c9.end_list(), (std::vector<int>{3, 6, 9}));
  tt::outline c10(font, 10);
  EXPECT_EQ(c10.ok, 0);
  EXPECT_EQ(c10.pts, nullptr);
  EXPECT_EQ(c10.composite, 0);
}

TEST(TrueTypeComposite, NestingStopsAtTheDepthLimit) {
  // Glyph k > 0 is glyph k - 1 moved one unit right.
  std::vector<std::string> chain = {tt::simple_glyph({kSquare})};
  for (int k = 1; k <= kTfMaxCompositeDepth + 1; k++) {
    chain.push_back(tt::composite_glyph({{static_cast<uint16_t>(k - 1), 1, 0}}));
  }
  std::string font = tt::build({.glyphs = chain});
  tt::outline deepest(font, kTfMaxCompositeDepth);
  ASSERT_EQ(deepest.ok, 1);
  EXPECT_EQ(deepest.points(), moved(kSquare, kTfMaxCompositeDepth, 0));
  tt::outline too_deep(font, kTfMaxCompositeDepth + 1);
  EXPECT_EQ(too_deep.ok, 0);
  EXPECT_EQ(too_deep.pts, nullptr);
  EXPECT_EQ(too_deep.npts, 0);

  // A component that is a glyph already being read (the glyph itself, or
  // one that led to it) is skipped; the other components still count, and
  // a glyph made only of itself, twice, has no outline.
  std::string loops = tt::build(
      {.glyphs = {
           tt::simple_glyph({kSquare}), tt::composite_glyph({{0}, {1, 5, 5}}),        // 1: itself
           tt::composite_glyph({{3}}),                                                // 2 -> 3 -> 2
           tt::composite_glyph({{0}, {2}}), tt::composite_glyph({{0}, {0, 200, 0}}),  // 4: fine
           tt::composite_glyph({{5}, {5, 10, 10}}),  // 5: only itself
       }});
  for (int g : {1, 2, 3}) {
    tt::outline o(loops, g);
    ASSERT_EQ(o.ok, 1) << g;
    EXPECT_EQ(o.points(), kSquare) << g;
  }
  tt::outline only_itself(loops, 5);
  EXPECT_EQ(only_itself.ok, 0);
  EXPECT_EQ(only_itself.pts, nullptr);
  tt::outline fine(loops, 4);
  ASSERT_EQ(fine.ok, 1);
  EXPECT_EQ(fine.points(), cat(kSquare, moved(kSquare, 200, 0)));
}

TEST(TrueTypeSegments, AllOffCurveContourStartsAtTheMidpoint) {
  // A circle drawn only with control points: the on-curve points are implied
  // halfway between them.
  std::string font =
      tt::build({.glyphs = {tt::simple_glyph(
                     {{{100, 0, false}, {0, 100, false}, {-100, 0, false}, {0, -100, false}}})}});
  tt::outline o(font, 0);
  ASSERT_EQ(o.ok, 1);
  std::vector<path_seg> s = o.segs();
  ASSERT_EQ(s.size(), 4u);
  const double a = 250.0 / 3, b = 50.0 / 3;
  expect_seg(s[0], 1, {50, -50, a, -b, a, b, 50, 50});
  expect_seg(s[1], 1, {50, 50, b, a, -b, a, -50, 50});
  expect_seg(s[2], 1, {-50, 50, -a, b, -a, -b, -50, -50});
  expect_seg(s[3], 1, {-50, -50, -b, -a, b, -a, 50, -50});

  // Three controls: the start lies between the last and the first.
  s = segs_of({{0, 0, false}, {60, 0, false}, {30, 90, false}}, {2});
  ASSERT_EQ(s.size(), 3u);
  expect_seg(s[0], 1, {15, 45, 5, 15, 10, 0, 30, 0});
  expect_seg(s[1], 1, {30, 0, 50, 0, 55, 15, 45, 45});
  expect_seg(s[2], 1, {45, 45, 35, 75, 25, 75, 15, 45});
}

TEST(TrueTypeSegments, QuadraticsBecomeCubics) {
  // on, off, on: one cubic with controls two thirds of the way to the
  // control point, then the straight closing side.
  std::vector<path_seg> s = segs_of({{0, 0}, {90, 90, false}, {180, 0}}, {2});
  ASSERT_EQ(s.size(), 2u);
  expect_seg(s[0], 1, {0, 0, 60, 60, 120, 60, 180, 0});
  expect_seg(s[1], 0, {180, 0, 0, 0, 0, 0, 0, 0});

  // A contour opening with a control starts at its first on-curve point and
  // reaches the control last, on the way back.
  s = segs_of({{0, 90, false}, {0, 0}, {90, 0}}, {2});
  ASSERT_EQ(s.size(), 2u);
  expect_seg(s[0], 0, {0, 0, 0, 0, 0, 0, 90, 0});
  expect_seg(s[1], 1, {90, 0, 30, 60, 0, 60, 0, 0});

  // Zero-length pieces are dropped, even one bending through a control.
  s = segs_of({{0, 0}, {0, 0}, {30, 30, false}, {0, 0}, {90, 0}}, {4});
  ASSERT_EQ(s.size(), 2u);
  expect_seg(s[0], 0, {0, 0, 0, 0, 0, 0, 90, 0});
  expect_seg(s[1], 0, {90, 0, 0, 0, 0, 0, 0, 0});
}

TEST(TrueTypeSegments, ContourBoundaries) {
  // Ends 2, 1 (before its start: skipped, the start stays at 3), 9 (past
  // the last point: clamped to 4).
  std::vector<pt> pts = {{0, 0}, {10, 0}, {0, 10}, {50, 50}, {60, 50}};
  std::vector<path_seg> s = segs_of(pts, {2, 1, 9});
  ASSERT_EQ(s.size(), 5u);
  expect_seg(s[2], 0, {0, 10, 0, 0, 0, 0, 0, 0});
  expect_seg(s[3], 0, {50, 50, 0, 0, 0, 0, 60, 50});
  expect_seg(s[4], 0, {60, 50, 0, 0, 0, 0, 50, 50});
  // Contours after the one that reaches the last point are not walked.
  EXPECT_EQ(segs_of(pts, {4, 5, 6}).size(), 5u);
  // No points or no contours: nothing.
  std::vector<tf_point> none;
  uint16_t end = 0;
  path_seg out[kTfMaxSegments];
  EXPECT_EQ(tf_outline_segs(none.data(), 0, &end, 1, out), 0);
  tf_point one = {0, 0, 1};
  EXPECT_EQ(tf_outline_segs(&one, 1, &end, 0, out), 0);
  // A lone point closes on itself: nothing to draw.
  EXPECT_EQ(tf_outline_segs(&one, 1, &end, 1, out), 0);
}

TEST(TrueTypeSegments, OutlineIsCutAfter512Segments) {
  // Two 300-point polygons: the second is cut after 212 segments.
  auto polygon = [](int y) {
    std::vector<pt> v;
    for (int i = 0; i < 300; i++) v.push_back({i * 10, y + (i % 2)});
    return v;
  };
  std::string font = tt::build({.glyphs = {tt::simple_glyph({polygon(0), polygon(5000)})}});
  tt::outline o(font, 0);
  ASSERT_EQ(o.ok, 1);
  ASSERT_EQ(o.npts, 600);
  std::vector<path_seg> s = o.segs();
  ASSERT_EQ(s.size(), size_t(kTfMaxSegments));
  expect_seg(s[299], 0, {2990, 1, 0, 0, 0, 0, 0, 0});  // the first one's closing side
  expect_seg(s[300], 0, {0, 5000, 0, 0, 0, 0, 10, 5001});
  expect_seg(s[511], 0, {2110, 5001, 0, 0, 0, 0, 2120, 5000});
}
