// Matrices, path building and boxes, the canvas, strokes (quadrilateral plus
// round discs) and colour conversion behave exactly as the painters rely on.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <gtest/gtest.h>

#include "raster/raster.h"
#include "raster/raster_internal.h"
#include "raster_test_util.h"
#include "support/canvas_pixels.h"

using namespace raster_test;

TEST(Matrices, MultiplyAppliesTheSecondFirst) {
  matrix scale = {2, 0, 0, 3, 0, 0}, move = {1, 0, 0, 1, 5, 7}, out;
  mat_mult(&out, &scale, &move);  // move, then scale
  EXPECT_EQ(out.e, 10);
  EXPECT_EQ(out.f, 21);
  matrix m = {1, 2, 3, 4, 5, 6}, n = {0.5, -1, 2, 0.25, -3, 9}, sep;
  mat_mult(&sep, &m, &n);
  matrix a = m, b = n;
  mat_mult(&a, &a, &n);  // out aliases m1
  mat_mult(&b, &m, &b);  // out aliases m2
  for (const matrix* r : {&a, &b}) {
    EXPECT_EQ(r->a, sep.a);
    EXPECT_EQ(r->b, sep.b);
    EXPECT_EQ(r->c, sep.c);
    EXPECT_EQ(r->d, sep.d);
    EXPECT_EQ(r->e, sep.e);
    EXPECT_EQ(r->f, sep.f);
  }
}

TEST(Paths, BuildingRules) {
  test_path t;
  path_line(&t.p, 1, 2);  // a move: no segment
  EXPECT_EQ(t.p.count, 0);
  EXPECT_EQ(t.p.has_current, 1);
  path_line(&t.p, 1, 2);  // zero length, still stored
  EXPECT_EQ(t.p.count, 1);
  EXPECT_EQ(t.p.cap, 64);
  for (int i = 0; i < 64; i++) path_line(&t.p, i, i);
  EXPECT_EQ(t.p.count, 65);
  EXPECT_EQ(t.p.cap, 128);
  test_path c;
  path_cubic(&c.p, 3, 4, 5, 6, 7, 8);  // fresh: starts at its first control point
  ASSERT_EQ(c.p.count, 1);
  EXPECT_EQ(c.p.segs[0].x0, 3);
  EXPECT_EQ(c.p.segs[0].y0, 4);
  EXPECT_EQ(c.p.segs[0].x1, 3);
  EXPECT_EQ(c.p.segs[0].kind, 1);
  EXPECT_EQ(c.p.cur_x, 7);
  EXPECT_EQ(c.p.start_x, 3);
}

TEST(Paths, DeviceBox) {
  test_canvas c(100, 100);
  test_path h({{10.2, 5.0}, {20.7, 5.0}}, false);
  dev_box b;
  path_bbox_dev(&c.cv, &h.p, &kIdentity, &b);
  EXPECT_EQ(b.x0, 10);
  EXPECT_EQ(b.y0, 5);
  EXPECT_EQ(b.x1, 22);
  EXPECT_EQ(b.y1, 6);
  test_path left({{-30, 10}, {-5, 20}}, false);
  path_bbox_dev(&c.cv, &left.p, &kIdentity, &b);
  EXPECT_EQ(b.x0, b.x1);
  EXPECT_EQ(b.y0, b.y1);
  test_path past({{90, 90}, {300, 120}}, false);
  path_bbox_dev(&c.cv, &past.p, &kIdentity, &b);
  EXPECT_EQ(b.x1, 100);
  EXPECT_EQ(b.y1, 100);
  // Control points count, so the box may exceed the curve itself.
  test_path cur;
  path_cubic(&cur.p, 10, 10, 50, 80, 60, 10);
  path_bbox_dev(&c.cv, &cur.p, &kIdentity, &b);
  EXPECT_EQ(b.y1, 81);
}

TEST(Canvas, CreationAndFailure) {
  test_canvas c(3, 2);
  for (int i = 0; i < 6; i++)
    EXPECT_TRUE(c.px(i % 3, i / 3) == (std::array<uint8_t, 3>{255, 255, 255}));
  for (int i = 0; i < 6; i++) EXPECT_EQ(c.cv.alpha[i], 255);
  EXPECT_EQ(c.cv.drawn[0] | c.cv.drawn[1], 0);
  EXPECT_EQ(c.cv.clip_x1, 3);
  EXPECT_EQ(c.cv.clip_y1, 2);
  EXPECT_EQ(c.cv.clip_empty, 0);
  EXPECT_EQ(c.cv.line_width, 1.0);
  canvas big;
  // Sides outside 1..32768 are refused with nothing held.
  for (auto [w, h] : {std::pair{32769, 1}, {1, 32769}, {0, 5}, {INT32_MAX, INT32_MAX}}) {
    EXPECT_EQ(canvas_init(&big, w, h), 0);
    EXPECT_EQ(big.rgb, nullptr);
    EXPECT_EQ(big.alpha, nullptr);
    EXPECT_EQ(big.drawn, nullptr);
  }
}

TEST(Stroke, OnePixelLineLandsOnRowNine) {
  test_canvas c(30, 30);
  test_path line({{10, 10}, {20, 10}}, false);
  raster_stroke(&c.cv, &line.p, &kIdentity, 0, 0, 0, 1);
  for (int32_t y = 0; y < 30; y++) {
    if (y == 9)
      EXPECT_EQ(c.runs(y), (runs_t{{10, 19}}));
    else
      EXPECT_TRUE(c.runs(y).empty()) << y << "\n" << c.picture();
  }
}

TEST(Stroke, DotsWidthsAndScaling) {
  // A zero-length segment is a round dot of the half-width.
  test_canvas dot(30, 30);
  dot.cv.line_width = 6;
  test_path z({{15, 15}, {15, 15}}, false);
  raster_stroke(&dot.cv, &z.p, &kIdentity, 0, 0, 0, 1);
  EXPECT_EQ(dot.runs(15), (runs_t{{12, 17}}));  // centres within 3 of (15, 15)
  EXPECT_EQ(dot.runs(12), (runs_t{{13, 16}}));
  EXPECT_TRUE(dot.runs(11).empty());
  // Below half a pixel the half-width is raised to 0.5: a dot at a pixel
  // centre paints just that pixel.
  test_canvas thin(30, 30);
  thin.cv.line_width = 0.25;
  test_path d({{5.5, 5.5}, {5.5, 5.5}}, false);
  raster_stroke(&thin.cv, &d.p, &kIdentity, 0, 0, 0, 1);
  EXPECT_EQ(thin.runs(5), (runs_t{{5, 5}}));
  EXPECT_TRUE(thin.runs(4).empty());
  EXPECT_TRUE(thin.runs(6).empty());
  // x scaled by 4 and y by 1: the half-width is w * 0.5 * 2.5 everywhere.
  test_canvas sc(60, 60);
  sc.cv.line_width = 2;  // half-width 2.5 device pixels
  matrix m = {4, 0, 0, 1, 0, 0};
  test_path v({{5, 10}, {5, 40}}, false);  // vertical at device x = 20
  raster_stroke(&sc.cv, &v.p, &m, 0, 0, 0, 1);
  EXPECT_EQ(sc.runs(25), (runs_t{{17, 22}}));  // 17.5 .. 22.5
}

TEST(Stroke, RoundJoinsAndDarkerOverlaps) {
  test_canvas c(40, 40);
  c.cv.line_width = 4;
  test_path corner({{5, 30}, {20, 10}, {35, 30}}, false);
  raster_stroke(&c.cv, &corner.p, &kIdentity, 0, 0, 0, 0.5);
  // The joint is covered by two quads and two discs: darker than the middle
  // of a segment, which one quad covers.
  uint8_t joint = c.px(20, 10)[0], middle = c.px(12, 20)[0];
  EXPECT_LT(joint, middle);
  EXPECT_EQ(middle, 127);
  // Above the corner point the join is round: the disc reaches 2 up.
  EXPECT_TRUE(c.painted(20, 8));
  EXPECT_FALSE(c.painted(20, 7));
}

TEST(Colours, DeviceColoursToRgb) {
  struct {
    color c;
    double r, g, b;
  } cases[] = {
      {{2, {0, 0, 0, 1}}, 0, 0, 0},
      {{2, {0, 1, 1, 0}}, 1, 0, 0},
      {{2, {0.2, 0.3, 0.4, 0.1}}, 0.72, 0.63, 0.54},
      {{0, {1.5, 0, 0, 0}}, 1, 1, 1},
      {{1, {-1, 0, 2, 0}}, 0, 0, 1},
      {{7, {1, 1, 1, 1}}, 0, 0, 0},
      {{1, {NAN, 0.5, 0.5, 0}}, 0, 0.5, 0.5},
  };
  for (const auto& t : cases) {
    double r, g, b;
    color_get(&t.c, &r, &g, &b);
    EXPECT_NEAR(r, t.r, 1e-12);
    EXPECT_NEAR(g, t.g, 1e-12);
    EXPECT_NEAR(b, t.b, 1e-12);
  }
}

// The planes interleave into RGBA, every pixel in its place, the colours
// turned back from their stored form; a row never drawn is white whatever
// its bytes hold (they are not read).
TEST(CanvasRgba, InterleavesTheColoursOfTheDrawnRows) {
  canvas cv;
  ASSERT_EQ(canvas_init(&cv, 3, 3), 1);
  canvas_mark_row(&cv, 0);
  canvas_mark_row(&cv, 2);
  for (int i = 0; i < 9; i++) {
    cv.rgb[i * 3] = uint8_t(~(10 * i));
    cv.rgb[i * 3 + 1] = uint8_t(~(10 * i + 1));
    cv.rgb[i * 3 + 2] = uint8_t(~(10 * i + 2));
    cv.alpha[i] = uint8_t(200 + i);
  }
  uint8_t* rgba = canvas_take_rgba(&cv);
  ASSERT_NE(rgba, nullptr);
  EXPECT_EQ(cv.rgb, nullptr);
  for (int i = 0; i < 9; i++) {
    const bool drawn = i / 3 != 1;
    EXPECT_EQ(rgba[i * 4], drawn ? 10 * i : 255);
    EXPECT_EQ(rgba[i * 4 + 1], drawn ? 10 * i + 1 : 255);
    EXPECT_EQ(rgba[i * 4 + 2], drawn ? 10 * i + 2 : 255);
    EXPECT_EQ(rgba[i * 4 + 3], 200 + i);
  }
  free(rgba);
  canvas_free(&cv);  // harmless on the emptied canvas
}

// A canvas that starts without an alpha plane paints exactly as one that
// has it: the plane appears with the first pixel below opaque, and until
// then every pixel reads as opaque.
TEST(CanvasRgba, AlphaPlaneAppearsWithTheFirstTranslucentPixel) {
  canvas lazy, eager;
  ASSERT_EQ(canvas_init_opaque(&lazy, 4, 3), 1);
  ASSERT_EQ(canvas_init(&eager, 4, 3), 1);
  EXPECT_EQ(lazy.alpha, nullptr);
  for (canvas* cv : {&lazy, &eager}) {
    paint_span(cv, 0, 0, 4, 1, 0, 0, 1.0);  // opaque: no plane needed
    blend_px(cv, 1, 1, 0, 1, 0, 0.5);       // over an opaque pixel: stays opaque
  }
  EXPECT_EQ(lazy.alpha, nullptr);
  EXPECT_EQ(test_util::canvas_pixels(lazy), test_util::canvas_pixels(eager));
  eager.alpha[2 * 4 + 2] = 0;  // a transparent pixel, set the way the lazy one must
  canvas_set_alpha(&lazy, 2 * 4 + 2, 0);
  ASSERT_NE(lazy.alpha, nullptr);
  for (canvas* cv : {&lazy, &eager}) blend_px(cv, 2, 2, 0, 0, 1, 0.25);
  EXPECT_EQ(test_util::canvas_pixels(lazy), test_util::canvas_pixels(eager));
  EXPECT_EQ(memcmp(lazy.alpha, eager.alpha, 4 * 3), 0);
  uint8_t* a = canvas_take_rgba(&lazy);
  uint8_t* b = canvas_take_rgba(&eager);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(memcmp(a, b, 4 * 3 * 4), 0);
  free(a);
  free(b);
}
