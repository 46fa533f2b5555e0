// draw_pixels places images axis-aligned by nearest neighbour: box corners
// rounded half away from zero, upright under flips and rotations, coverage
// from the alpha byte, the mask and the constant alpha, and the clip.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "raster/raster.h"
#include "support/canvas_pixels.h"

namespace {

struct page {
  canvas cv;
  explicit page(int32_t w = 130, int32_t h = 130) { EXPECT_EQ(canvas_init(&cv, w, h), 1); }
  ~page() { canvas_free(&cv); }
  page(const page&) = delete;
  page& operator=(const page&) = delete;
  std::string rgb(int32_t x, int32_t y) const {
    uint8_t p[3];
    canvas_colour(&cv, (size_t)y * cv.width + x, p);
    return std::to_string(p[0]) + "," + std::to_string(p[1]) + "," + std::to_string(p[2]);
  }
  bool same_as(const page& o) const {
    size_t n = (size_t)cv.width * cv.height;
    return test_util::canvas_pixels(cv) == test_util::canvas_pixels(o.cv) &&
           memcmp(cv.alpha, o.cv.alpha, n) == 0;
  }
  int draw(const matrix& m, int32_t w, int32_t h, const std::vector<uint8_t>& px,
           const uint8_t* mask = nullptr, double alpha = 1.0) {
    return draw_pixels(&cv, &m, 1.0, 1.0, w, h, px.data(), mask, alpha);
  }
};

// 2 x 2: red, green / blue, black.
const std::vector<uint8_t> kQuad = {255, 0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 255, 0, 0, 0, 255};

// Which quadrant colour fills the 100 x 100 box at (10, 20).
void expect_quad_box(const page& p) {
  EXPECT_EQ(p.rgb(10, 20), "255,0,0");
  EXPECT_EQ(p.rgb(59, 69), "255,0,0");
  EXPECT_EQ(p.rgb(60, 20), "0,255,0");
  EXPECT_EQ(p.rgb(109, 69), "0,255,0");
  EXPECT_EQ(p.rgb(10, 70), "0,0,255");
  EXPECT_EQ(p.rgb(109, 119), "0,0,0");
  for (int32_t i = 0; i < 130; i++) {
    EXPECT_EQ(p.rgb(9, i), "255,255,255");
    EXPECT_EQ(p.rgb(110, i), "255,255,255");
    EXPECT_EQ(p.rgb(i, 19), "255,255,255");
    EXPECT_EQ(p.rgb(i, 120), "255,255,255");
  }
}

}  // namespace

TEST(ImageDraw, BoxFromMappedCornersImageUpright) {
  page scaled;
  EXPECT_EQ(scaled.draw({100, 0, 0, 100, 10, 20}, 2, 2, kQuad), 1);
  expect_quad_box(scaled);

  // A y flip, an x mirror and both: the same box, the image still upright.
  for (matrix m : {matrix{100, 0, 0, -100, 10, 120}, matrix{-100, 0, 0, 100, 110, 20},
                   matrix{-100, 0, 0, -100, 110, 120}}) {
    page p;
    p.draw(m, 2, 2, kQuad);
    EXPECT_TRUE(p.same_as(scaled)) << m.a << " " << m.d;
  }

  // A quarter turn: (0, 0) -> (110, 20) and (1, 1) -> (10, 120); drawn
  // unrotated in that box.
  page turned;
  turned.draw({0, 100, -100, 0, 110, 20}, 2, 2, kQuad);
  EXPECT_TRUE(turned.same_as(scaled));

  // 8 x 8 under a scale of 16: each image pixel covers 2 x 2 device pixels.
  std::vector<uint8_t> grid(8 * 8 * 4);
  for (int i = 0; i < 64; i++) grid[i * 4] = (uint8_t)(i * 4), grid[i * 4 + 3] = 255;
  page small(20, 20);
  small.draw({16, 0, 0, 16, 0, 0}, 8, 8, grid);
  for (int y = 0; y < 16; y++)
    for (int x = 0; x < 16; x++)
      ASSERT_EQ(small.rgb(x, y), std::to_string((y / 2 * 8 + x / 2) * 4) + ",0,0") << x << "," << y;
  EXPECT_EQ(small.rgb(16, 0), "255,255,255");
  EXPECT_EQ(small.rgb(0, 16), "255,255,255");
}

TEST(ImageDraw, CornersRoundHalfAwayFromZero) {
  // (0.5, -0.5) .. (10.5, 9.5): columns 1 .. 10 and rows -1 .. 9. Over those
  // eleven rows the 1 x 3 image's rows change at device rows 3 and 7 (with
  // -0.5 rounded to 0 they would change at 4 and 7; with 10.5 rounded to
  // even, column 0 would be painted).
  page p(20, 20);
  std::vector<uint8_t> px = {10, 10, 10, 255, 100, 100, 100, 255, 200, 200, 200, 255};
  p.draw({10, 0, 0, 10, 0.5, -0.5}, 1, 3, px);
  EXPECT_EQ(p.rgb(0, 0), "255,255,255");
  EXPECT_EQ(p.rgb(1, 0), "10,10,10");
  EXPECT_EQ(p.rgb(10, 2), "10,10,10");
  EXPECT_EQ(p.rgb(10, 3), "100,100,100");
  EXPECT_EQ(p.rgb(10, 6), "100,100,100");
  EXPECT_EQ(p.rgb(10, 7), "200,200,200");
  EXPECT_EQ(p.rgb(10, 9), "200,200,200");
  EXPECT_EQ(p.rgb(11, 5), "255,255,255");
  EXPECT_EQ(p.rgb(5, 10), "255,255,255");

  // Empty boxes and empty images draw nothing.
  page q(20, 20);
  EXPECT_EQ(q.draw({0.4, 0, 0, 10, 5, 5}, 1, 2, px), 0);  // 5 .. 5.4 rounds to one column: 5 .. 5
  EXPECT_EQ(q.draw({10, 0, 0, 10, 5, 5}, 0, 2, px), 0);
  EXPECT_EQ(q.draw({NAN, 0, 0, 10, 5, 5}, 1, 2, px), 0);
  page blank(20, 20);
  EXPECT_TRUE(q.same_as(blank));
}

TEST(ImageDraw, CoverageFromAlphaMaskAndConstant) {
  // Opaque pixel, full mask, alpha 1: the colour bytes exactly.
  std::vector<uint8_t> px = {17, 200, 3, 255, 17, 200, 3, 0, 90, 60, 30, 255, 90, 60, 30, 128};
  const uint8_t mask[4] = {255, 255, 0, 128};
  page p(4, 1);
  p.draw({4, 0, 0, 1, 0, 0}, 4, 1, px, mask, 1.0);
  EXPECT_EQ(p.rgb(0, 0), "17,200,3");
  EXPECT_EQ(p.rgb(1, 0), "255,255,255");  // alpha byte 0
  EXPECT_EQ(p.rgb(2, 0), "255,255,255");  // mask byte 0

  // Partial coverage composites as blend_px does with the product.
  page ref(4, 1);
  blend_px(&ref.cv, 0, 0, 17 / 255.0, 200 / 255.0, 3 / 255.0, 1.0);
  blend_px(&ref.cv, 3, 0, 90 / 255.0, 60 / 255.0, 30 / 255.0, (128 / 255.0) * 1.0 * (128 / 255.0));
  EXPECT_TRUE(p.same_as(ref));
  EXPECT_NE(p.rgb(3, 0), "255,255,255");

  page half(4, 1), half_ref(4, 1);
  half.draw({4, 0, 0, 1, 0, 0}, 4, 1, px, nullptr, 0.5);
  blend_px(&half_ref.cv, 0, 0, 17 / 255.0, 200 / 255.0, 3 / 255.0, 0.5);
  blend_px(&half_ref.cv, 2, 0, 90 / 255.0, 60 / 255.0, 30 / 255.0, 0.5);
  blend_px(&half_ref.cv, 3, 0, 90 / 255.0, 60 / 255.0, 30 / 255.0, (128 / 255.0) * 0.5);
  EXPECT_TRUE(half.same_as(half_ref));
}

TEST(ImageDraw, ClipRectangleLimitsThePixels) {
  page p(40, 40);
  p.cv.clip_x0 = 10, p.cv.clip_y0 = 5, p.cv.clip_x1 = 20, p.cv.clip_y1 = 8;
  std::vector<uint8_t> black = {0, 0, 0, 255};
  p.draw({40, 0, 0, 40, 0, 0}, 1, 1, black);
  for (int y = 0; y < 40; y++)
    for (int x = 0; x < 40; x++)
      ASSERT_EQ(p.rgb(x, y), x >= 10 && x < 20 && y >= 5 && y < 8 ? "0,0,0" : "255,255,255");
  // A box wholly outside the clip draws nothing.
  page q(40, 40), blank(40, 40);
  q.cv.clip_x1 = 10;
  EXPECT_EQ(q.draw({10, 0, 0, 10, 20, 20}, 1, 1, black), 0);
  EXPECT_TRUE(q.same_as(blank));
}

// The column table must give what the per-pixel rule gives: for every visible
// device pixel, source (trunc((j - x0) w / (x1 - x0)), trunc((i - y0) h / (y1 - y0))).
TEST(ImageDraw, SameAsPerPixelRule) {
  // Opaque pixels, translucent ones, a mask and a constant alpha, over a
  // white page and over one with a translucent band (so the alpha plane
  // exists): every pixel as blend_px gives it.
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> coord(-30, 90), scale(-70, 70);
  for (int round = 0; round < 400; round++) {
    int32_t w = 1 + rng() % 13, h = 1 + rng() % 11;
    std::vector<uint8_t> px((size_t)w * h * 4), mask((size_t)w * h);
    for (size_t i = 0; i < px.size(); i++) px[i] = (uint8_t)rng();
    for (size_t i = 0; i < mask.size(); i++) mask[i] = rng() % 3 ? 255 : (uint8_t)rng();
    if (round % 4 != 3)
      for (size_t i = 3; i < px.size(); i += 4) px[i] = 255;
    const bool masked = round % 5 == 1;
    const double alpha = round % 7 == 2 ? 0.6 : round % 7 == 4 ? 1.5 : 1.0;
    matrix m = {scale(rng), 0, 0, scale(rng), coord(rng), coord(rng)};
    if (round % 3 == 0) m = {0, m.a, m.d, 0, m.e, m.f};
    page got(64, 48), want(64, 48);
    if (round % 2)
      for (page* p : {&got, &want})
        for (int32_t y = 10; y < 30; y++)
          for (int32_t x = 5; x < 60; x++) blend_px(&p->cv, x, y, 0.2, 0.4, 0.9, 0.5);
    got.draw(m, w, h, px, masked ? mask.data() : nullptr, alpha);

    double X0 = m.e, Y0 = m.f, X1 = m.a + m.c + m.e, Y1 = m.b + m.d + m.f;
    long x0 = lround(std::min(X0, X1)), x1 = lround(std::max(X0, X1));
    long y0 = lround(std::min(Y0, Y1)), y1 = lround(std::max(Y0, Y1));
    for (long i = y0; i < y1; i++)
      for (long j = x0; j < x1; j++) {
        if (i < 0 || j < 0 || i >= 48 || j >= 64) continue;
        long u = (long)((j - x0) * (double)w / (x1 - x0)),
             v = (long)((i - y0) * (double)h / (y1 - y0));
        u = std::min<long>(std::max<long>(u, 0), w - 1);
        v = std::min<long>(std::max<long>(v, 0), h - 1);
        const uint8_t* s = &px[(v * w + u) * 4];
        double a = (s[3] / 255.0) * alpha;
        if (masked) a *= mask[v * w + u] / 255.0;
        blend_px(&want.cv, (int32_t)j, (int32_t)i, s[0] / 255.0, s[1] / 255.0, s[2] / 255.0, a);
      }
    ASSERT_TRUE(got.same_as(want)) << "round " << round;
  }
}

namespace {

// A source that records what drawing asks of it; pixel (x, y) is (x, y, 0).
struct counting_source {
  int32_t rows = 0, pixels = 0, widest = 0;
  std::vector<int32_t> asked_rows;
  static void row(const void* ctx, int32_t y, const int32_t* xs, int32_t n, uint8_t* out) {
    counting_source* c = (counting_source*)const_cast<void*>(ctx);
    c->rows++;
    c->pixels += n;
    c->widest = std::max(c->widest, n);
    c->asked_rows.push_back(y);
    for (int32_t k = 0; k < n; k++) {
      out[4 * k] = (uint8_t)xs[k];
      out[4 * k + 1] = (uint8_t)y;
      out[4 * k + 2] = 0;
      out[4 * k + 3] = 255;
    }
  }
};

}  // namespace

TEST(ImageDraw, EachShownRowAskedOnceForItsVisibleColumns) {
  // 1000 x 1000 pixels into a 50 x 40 box: 40 rows of 50 columns at most.
  {
    page p;
    counting_source c;
    const pixel_rows src = {&c, counting_source::row};
    const matrix m = {50, 0, 0, 40, 10, 20};
    EXPECT_EQ(draw_pixel_rows(&p.cv, &m, 1, 1, 1000, 1000, &src, nullptr, 1.0), 1);
    EXPECT_EQ(c.rows, 40);
    EXPECT_EQ(c.widest, 50);
    EXPECT_TRUE(std::is_sorted(c.asked_rows.begin(), c.asked_rows.end()));
    EXPECT_EQ(p.rgb(10, 20), "0,0,0");
    EXPECT_EQ(p.rgb(11, 21), std::to_string(20) + "," + std::to_string(25) + ",0");
  }
  // 4 x 3 pixels into a 100 x 90 box, half of it clipped away: each source
  // row once, each of the visible source columns once.
  {
    page p;
    p.cv.clip_x1 = 60;
    counting_source c;
    const pixel_rows src = {&c, counting_source::row};
    const matrix m = {100, 0, 0, 90, 10, 20};
    draw_pixel_rows(&p.cv, &m, 1, 1, 4, 3, &src, nullptr, 1.0);
    EXPECT_EQ(c.asked_rows, (std::vector<int32_t>{0, 1, 2}));
    EXPECT_EQ(c.pixels, 3 * 2);  // columns 0 and 1 show left of x = 60
    EXPECT_EQ(p.rgb(59, 109), "1,2,0");
    EXPECT_EQ(p.rgb(60, 109), "255,255,255");
  }
}
