// The fill paints exactly the pixels its sampling and span rules select, the
// compositing arithmetic truncates, and clipping narrows to a rectangle.
#include <cmath>

#include <gtest/gtest.h>

#include "raster/raster.h"
#include "raster_test_util.h"
#include "support/canvas_pixels.h"

using namespace raster_test;

static void fill(test_canvas& c, const path& p, int nonzero = 1, double alpha = 1,
                 double gray = 0) {
  raster_fill(&c.cv, &p, &kIdentity, nonzero, gray, gray, gray, alpha);
}

TEST(FillSpans, RectangleColumnsAndRows) {
  test_canvas c(40, 40);
  test_path sq({{10, 10}, {20, 10}, {20, 20}, {10, 20}});
  fill(c, sq.p);
  for (int32_t y = 0; y < 40; y++) {
    if (y >= 10 && y < 20)
      EXPECT_EQ(c.runs(y), (runs_t{{10, 19}})) << y;
    else
      EXPECT_TRUE(c.runs(y).empty()) << y;
  }
  EXPECT_EQ(c.px(10, 10)[0], 0);
  EXPECT_EQ(c.cv.alpha[10 * 40 + 10], 255);
  // A span covers every column it touches: 10.2 rounds down, 20.7 up.
  test_canvas d(40, 40);
  test_path wide({{10.2, 10}, {20.7, 10}, {20.7, 20}, {10.2, 20}});
  fill(d, wide.p);
  EXPECT_EQ(d.runs(15), (runs_t{{10, 20}}));
}

TEST(FillSpans, EdgeEndingOnASampleLineCountsOnce) {
  // A diamond whose side vertices lie exactly on row 10's sample line: each
  // vertex is crossed by the edge starting there, not by the one ending there.
  const double sy = (10 + 0.5) + 0.001;
  test_canvas c(30, 30);
  test_path diamond({{10, 5}, {15, sy}, {10, 16}, {5, sy}});
  fill(c, diamond.p, 0);
  EXPECT_EQ(c.runs(10), (runs_t{{5, 14}}));
}

// Adds a closed square as a new subpath, lifting the pen the way the
// interpreter's move does (the segments already there stay).
static void square(path* p, double a, double b, bool clockwise) {
  p->cur_x = p->start_x = a;
  p->cur_y = p->start_y = a;
  p->has_current = 1;
  if (clockwise) {
    double pts[][2] = {{b, a}, {b, b}, {a, b}, {a, a}};
    for (auto& q : pts) path_line(p, q[0], q[1]);
  } else {
    double pts[][2] = {{a, b}, {b, b}, {b, a}, {a, a}};
    for (auto& q : pts) path_line(p, q[0], q[1]);
  }
}

TEST(FillRules, NestedSquares) {
  test_path same, opposite;
  square(&same.p, 5, 25, true);
  square(&same.p, 10, 20, true);
  square(&opposite.p, 5, 25, true);
  square(&opposite.p, 10, 20, false);
  test_canvas eo(30, 30), nz_same(30, 30), nz_opp(30, 30);
  fill(eo, same.p, 0);
  fill(nz_same, same.p, 1);
  fill(nz_opp, opposite.p, 1);
  EXPECT_EQ(eo.runs(15), (runs_t{{5, 9}, {20, 24}}));
  EXPECT_EQ(nz_same.runs(15), (runs_t{{5, 24}}));
  EXPECT_EQ(nz_opp.runs(15), (runs_t{{5, 9}, {20, 24}}));
}

TEST(FillRules, UnclosedEdgeRunsToTheBoxEdge) {
  // Two segments: along the top, then down the left side, never closed.
  test_path open({{20, 5}, {10, 5}, {10, 15}}, false);
  test_canvas nz(30, 30), eo(30, 30);
  fill(nz, open.p, 1);
  fill(eo, open.p, 0);
  for (int32_t y = 5; y < 15; y++) EXPECT_EQ(nz.runs(y), (runs_t{{10, 20}})) << y;
  EXPECT_TRUE(nz.runs(15).empty());
  EXPECT_EQ(eo.picture(), test_canvas(30, 30).picture());
}

TEST(FillRules, CubicsAreCutIntoChords) {
  // A circle-like closed curve: the fill stays inside its control box and
  // is symmetric left to right.
  test_canvas c(40, 40);
  test_path curve;
  path_cubic(&curve.p, 20, 5, 40, 5, 40, 35);
  curve.p.count = 0;
  curve.p.cur_x = 20;
  curve.p.cur_y = 5;
  path_cubic(&curve.p, 32, 5, 32, 35, 20, 35);
  path_cubic(&curve.p, 8, 35, 8, 5, 20, 5);
  fill(c, curve.p);
  auto mid = c.runs(20);
  ASSERT_EQ(mid.size(), 1u);
  EXPECT_EQ(mid[0].first + mid[0].second, 39);  // symmetric about x = 20
  EXPECT_GT(mid[0].second, 25);
  EXPECT_TRUE(c.runs(4).empty());
}

TEST(Compositing, TruncatingArithmetic) {
  test_canvas c(4, 1);
  blend_px(&c.cv, 0, 0, 0.5, 0.5, 0.5, 1.0);
  EXPECT_EQ(c.px(0, 0)[0], 127);  // not 128
  blend_px(&c.cv, 1, 0, 0, 0, 0, 0.5);
  EXPECT_EQ(c.px(1, 0)[0], 127);
  blend_px(&c.cv, 1, 0, 0, 0, 0, 0.5);
  EXPECT_EQ(c.px(1, 0)[0], 63);
  EXPECT_EQ(c.cv.alpha[1], 255);
  blend_px(&c.cv, 2, 0, 0, 0, 0, 0.0);
  blend_px(&c.cv, 2, 0, 0, 0, 0, -1.0);
  EXPECT_EQ(c.px(2, 0)[0], 255);
  blend_px(&c.cv, 2, 0, 0.2, 0.2, 0.2, 7.0);  // above 1 acts as 1
  EXPECT_EQ(c.px(2, 0)[0], 51);
  blend_px(&c.cv, -1, 0, 0, 0, 0, 1);  // outside: ignored
  blend_px(&c.cv, 4, 0, 0, 0, 0, 1);
  // Over a transparent pixel the colour is taken whole and the opacity is a.
  c.cv.alpha[3] = 0;
  blend_px(&c.cv, 3, 0, 0.4, 0.4, 0.4, 0.5);
  EXPECT_EQ(c.px(3, 0)[0], 102);
  EXPECT_EQ(c.cv.alpha[3], 127);
  c.cv.alpha[3] = 0;
  blend_px(&c.cv, 3, 0, 1, 0, 0, 1e-7);  // almost nothing over nothing
  EXPECT_EQ(c.px(3, 0)[0], 255);
  EXPECT_EQ(c.px(3, 0)[1], 0);
  EXPECT_EQ(c.cv.alpha[3], 0);
  // A translucent fill goes through the same arithmetic as blend_px.
  test_canvas f(30, 30);
  test_path sq({{10, 10}, {20, 10}, {20, 20}, {10, 20}});
  raster_fill(&f.cv, &sq.p, &kIdentity, 1, 0, 0, 1, 0.5);
  EXPECT_EQ(f.px(15, 15)[0], 127);
  EXPECT_EQ(f.px(15, 15)[2], 255);
}

TEST(Clipping, RectangleOfThePathsBox) {
  test_canvas c(40, 40);
  test_path tri({{10, 10}, {30, 10}, {10, 30}});
  clip_push(&c.cv, &tri.p, &kIdentity);
  EXPECT_EQ(c.cv.clip_depth, 1);
  EXPECT_EQ(c.cv.clip_x0, 10);
  EXPECT_EQ(c.cv.clip_x1, 31);
  test_path big({{0, 0}, {40, 0}, {40, 40}, {0, 40}});
  fill(c, big.p);
  EXPECT_EQ(c.runs(29), (runs_t{{10, 30}}));  // the triangle's whole box
  EXPECT_EQ(c.runs(30), (runs_t{{10, 30}}));
  EXPECT_TRUE(c.runs(31).empty());
  EXPECT_TRUE(c.runs(9).empty());
  clip_pop(&c.cv);
  EXPECT_EQ(c.cv.clip_x0, 0);
  EXPECT_EQ(c.cv.clip_x1, 40);
}

TEST(Clipping, EmptyClipStopsPaintingUntilRestored) {
  test_canvas c(40, 40);
  test_path away({{50, 50}, {60, 50}, {60, 60}});
  clip_push(&c.cv, &away.p, &kIdentity);
  EXPECT_EQ(c.cv.clip_empty, 1);
  test_path big({{0, 0}, {40, 0}, {40, 40}, {0, 40}});
  fill(c, big.p);
  raster_stroke(&c.cv, &big.p, &kIdentity, 0, 0, 0, 1);
  EXPECT_FALSE(c.painted(20, 20));
  EXPECT_FALSE(c.painted(0, 0));
  clip_pop(&c.cv);
  EXPECT_EQ(c.cv.clip_empty, 0);
  fill(c, big.p);
  EXPECT_TRUE(c.painted(20, 20));
}

TEST(Clipping, StackHoldsSixtyFour) {
  test_canvas c(200, 200);
  for (int i = 0; i < 70; i++) {
    test_path sq({{(double)i, (double)i}, {199, (double)i}, {199, 199}, {(double)i, 199}});
    clip_push(&c.cv, &sq.p, &kIdentity);
  }
  EXPECT_EQ(c.cv.clip_depth, 64);
  EXPECT_EQ(c.cv.clip_x0, 69);  // still narrowed past the 64th
  for (int i = 0; i < 64; i++) clip_pop(&c.cv);
  EXPECT_EQ(c.cv.clip_x0, 0);
  clip_pop(&c.cv);  // nothing left: unchanged
  EXPECT_EQ(c.cv.clip_depth, 0);
  EXPECT_EQ(c.cv.clip_x0, 0);
  // An empty path saves the rectangle without narrowing it.
  path none = {};
  clip_push(&c.cv, &none, &kIdentity);
  EXPECT_EQ(c.cv.clip_depth, 1);
  EXPECT_EQ(c.cv.clip_x1, 200);
}

TEST(FillSpans, HostileCoordinatesStayBounded) {
  test_canvas c(50, 50);
  test_path huge({{-1e300, -1e300}, {1e300, 10}, {1e308, 1e308}, {-1e308, 40}});
  fill(c, huge.p, 1);
  fill(c, huge.p, 0);
  test_path nan({{0, 0}, {NAN, 10}, {20, NAN}, {30, 30}});
  fill(c, nan.p, 1);
  matrix scale = {1e300, 0, 0, 1e300, 0, 0};
  test_path sq({{10, 10}, {20, 10}, {20, 20}, {10, 20}});
  raster_fill(&c.cv, &sq.p, &scale, 1, 0, 0, 0, 1);
  raster_stroke(&c.cv, &sq.p, &scale, 0, 0, 0, 1);
  SUCCEED();  // no crash, no sanitizer report
}

// A canvas takes the room asked for only when it is at most twice its own
// pixels; its planes then hold that many, the alpha plane too.
TEST(Canvas, RoomForALargerPage) {
  struct {
    uint64_t room, block;
  } cases[] = {{0, 5000},      {4000, 5000},  {5000, 5000},      {8000, 8000},
               {10000, 10000}, {10001, 5000}, {UINT64_MAX, 5000}};
  for (const auto& c : cases) {
    canvas cv;
    ASSERT_EQ(canvas_init_opaque(&cv, 100, 50, c.room), 1);
    EXPECT_EQ(cv.block_pixels, c.block) << c.room;
    test_path band({{0, 40}, {100, 40}, {100, 50}, {0, 50}});
    raster_fill(&cv, &band.p, &kIdentity, 1, 0, 0, 0, 0.5);
    canvas_set_alpha(&cv, 4999, 9);
    ASSERT_NE(cv.alpha, nullptr);
    EXPECT_EQ(cv.alpha[0], 255);
    cv.alpha[c.block - 1] = 7;  // the whole block is the plane's (checked under ASan)
    uint8_t px[3];
    canvas_colour(&cv, 49 * 100 + 99, px);
    EXPECT_EQ(px[0], 127) << c.room;
    canvas_free(&cv);
  }
}

// A page-sized opaque canvas starts white with no row drawn, and fills
// across it land where they should, also across the 2 MiB boundaries
// inside the block, marking exactly the rows they make other than white.
TEST(Canvas, LargeOpaqueCanvasStartsWhiteAndTakesFills) {
  canvas cv;
  ASSERT_EQ(canvas_init_opaque(&cv, 1700, 2200), 1);
  size_t not_white = 0;
  for (const char c : test_util::canvas_pixels(cv)) not_white += (uint8_t)c != 255;
  EXPECT_EQ(not_white, 0u);
  for (int32_t y = 0; y < 2200; y++) ASSERT_EQ(cv.drawn[y], 0) << y;
  EXPECT_EQ(cv.alpha, nullptr);
  // White on rows never drawn leaves them so (a page's white background
  // takes no memory); gray then white makes rows drawn.
  test_path white({{0, 100}, {1700, 100}, {1700, 200}, {0, 200}});
  raster_fill(&cv, &white.p, &kIdentity, 1, 1, 1, 1, 1);
  test_path gray({{0, 2100}, {1700, 2100}, {1700, 2150}, {0, 2150}});
  raster_fill(&cv, &gray.p, &kIdentity, 1, 0.5, 0.5, 0.5, 1);
  raster_fill(&cv, &gray.p, &kIdentity, 1, 1, 1, 1, 1);
  test_path band({{0, 1000}, {1700, 1000}, {1700, 1300}, {0, 1300}});
  raster_fill(&cv, &band.p, &kIdentity, 1, 0, 0, 0, 1);
  size_t black = 0;
  for (const char c : test_util::canvas_pixels(cv)) black += c == 0;
  EXPECT_EQ(black, size_t(1700) * 300 * 3);
  uint8_t c[3];
  canvas_colour(&cv, size_t(999) * 1700, c);
  EXPECT_EQ(c[0], 255);
  canvas_colour(&cv, size_t(1000) * 1700, c);
  EXPECT_EQ(c[0], 0);
  for (int32_t y = 0; y < 2200; y++)
    ASSERT_EQ(cv.drawn[y], (y >= 1000 && y < 1300) || (y >= 2100 && y < 2150)) << y;
  canvas_free(&cv);
}
