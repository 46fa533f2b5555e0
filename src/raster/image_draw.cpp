// Image drawing: decoded RGBA pixels mapped by nearest neighbour into the
// axis-aligned device box that two corners of a user-space rectangle span.
// Only axis-aligned placement exists: a rotated, skewed or mirroring CTM
// still gives an upright image in the box of the two mapped corners.
//
// The source column of each destination column is computed once per call,
// so the inner loop is a table look-up and one composite per pixel; the
// result is the same as computing both source coordinates at every pixel.
// Pixels come from the image a row at a time, each distinct visible pixel
// of a row once, so decoders convert only what is shown.
#include "raster/raster.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

// Device coordinates far beyond any canvas are held here before rounding, so
// llround stays within a long long and the box arithmetic within int64
// (lround would not do: a long has only 32 bits on Windows).
constexpr double kFarCoordinate = 1e15;

int64_t round_coord(double v) {
  return llround(std::clamp(v, -kFarCoordinate, kFarCoordinate));
}

// trunc(offset * n / span), lowered into 0 .. n - 1: the source index of a
// destination pixel offset cells from the box's first one.
int32_t source_index(int64_t offset, int32_t n, int64_t span) {
  double s = (double)offset * n / (double)span;
  if (!(s >= 0)) return 0;
  if (s >= n - 1) return n - 1;
  return (int32_t)s;
}

// The device box an image fills ([x0, x1) x [y0, y1)) and its visible part
// (inside the canvas and the clip rectangle). False when nothing is visible.
struct image_box {
  int64_t x0, x1, y0, y1;
  int64_t cx0, cx1, cy0, cy1;
};

bool visible_box(const canvas* cv, const matrix* ctm, double uw, double uh, image_box* b) {
  if (cv->clip_empty) return false;
  const double X0 = ctm->e, Y0 = ctm->f;
  const double X1 = ctm->a * uw + ctm->c * uh + ctm->e;
  const double Y1 = ctm->b * uw + ctm->d * uh + ctm->f;
  if (std::isnan(X0) || std::isnan(Y0) || std::isnan(X1) || std::isnan(Y1)) return false;
  b->x0 = round_coord(std::min(X0, X1));
  b->x1 = round_coord(std::max(X0, X1));
  b->y0 = round_coord(std::min(Y0, Y1));
  b->y1 = round_coord(std::max(Y0, Y1));
  if (b->x0 >= b->x1 || b->y0 >= b->y1) return false;
  b->cx0 = std::max({b->x0, (int64_t)0, (int64_t)cv->clip_x0});
  b->cx1 = std::min({b->x1, (int64_t)cv->width, (int64_t)cv->clip_x1});
  b->cy0 = std::max({b->y0, (int64_t)0, (int64_t)cv->clip_y0});
  b->cy1 = std::min({b->y1, (int64_t)cv->height, (int64_t)cv->clip_y1});
  return b->cx0 < b->cx1 && b->cy0 < b->cy1;
}

}  // namespace

void image_rows_shown(const canvas* cv, const matrix* ctm, double uw, double uh, int32_t h,
                      uint8_t* shown) {
  if (!cv || !ctm || !shown || h <= 0) return;
  image_box b;
  if (!visible_box(cv, ctm, uw, uh, &b)) return;
  for (int64_t i = b.cy0; i < b.cy1; i++) shown[source_index(i - b.y0, h, b.y1 - b.y0)] = 1;
}

int draw_pixel_rows(canvas* cv, const matrix* ctm, double uw, double uh, int32_t w, int32_t h,
                    const pixel_rows* src, const uint8_t* mask, double alpha) {
  if (!cv || !ctm || !src || w <= 0 || h <= 0) return 0;
  image_box b;
  if (!visible_box(cv, ctm, uw, uh, &b)) return 0;
  const int64_t x0 = b.x0, x1 = b.x1, y0 = b.y0, y1 = b.y1;
  const int64_t cx0 = b.cx0, cx1 = b.cx1, cy0 = b.cy0, cy1 = b.cy1;

  // Per visible column (at most kMaxCanvasSide of them): its source column
  // and the slot of that column among the distinct ones asked for; then the
  // distinct columns, and one row of their pixels.
  const size_t n = (size_t)(cx1 - cx0);
  int32_t* block = (int32_t*)malloc(n * (3 * sizeof(int32_t) + 4));
  if (!block) return 0;
  int32_t* cols = block;
  int32_t* slot = block + n;
  int32_t* distinct = block + 2 * n;
  uint8_t* row = (uint8_t*)(block + 3 * n);
  int32_t nd = 0;
  for (size_t j = 0; j < n; j++) {
    cols[j] = source_index((int64_t)j + cx0 - x0, w, x1 - x0);
    if (nd == 0 || distinct[nd - 1] != cols[j]) distinct[nd++] = cols[j];
    slot[j] = nd - 1;
  }

  int32_t shown = -1;  // the source row in row[]
  for (int64_t i = cy0; i < cy1; i++) {
    const int32_t v = source_index(i - y0, h, y1 - y0);
    if (v != shown) {
      src->row(src->ctx, v, distinct, nd, row);
      shown = v;
    }
    const uint8_t* mrow = mask ? mask + (size_t)v * (size_t)w : nullptr;
    const size_t line = (size_t)i * (size_t)cv->width;
    canvas_mark_row(cv, (int32_t)i);
    for (size_t j = 0; j < n; j++) {
      const uint8_t* px = row + (size_t)slot[j] * 4;
      double a = (px[3] / 255.0) * alpha;
      if (mrow) a *= mrow[cols[j]] / 255.0;
      if (!(a > 0)) continue;
      const int32_t x = (int32_t)((int64_t)j + cx0);
      if (a >= 1) {
        // Full coverage replaces the pixel: blend_px gives trunc(v / 255.0 *
        // 255), which is v for every byte v, and an opaque pixel. The plane
        // holds each byte inverted.
        uint8_t* out = cv->rgb + (line + (size_t)x) * 3;
        out[0] = (uint8_t)~px[0];
        out[1] = (uint8_t)~px[1];
        out[2] = (uint8_t)~px[2];
        if (cv->alpha) cv->alpha[line + (size_t)x] = 255;
        continue;
      }
      blend_px(cv, x, (int32_t)i, px[0] / 255.0, px[1] / 255.0, px[2] / 255.0, a);
    }
  }
  free(block);
  return 1;
}

namespace {

struct rgba_block {
  const uint8_t* pixels;
  int32_t w;
};

void rgba_block_row(const void* ctx, int32_t y, const int32_t* xs, int32_t n, uint8_t* out) {
  const rgba_block* b = (const rgba_block*)ctx;
  const uint8_t* line = b->pixels + (size_t)y * (size_t)b->w * 4;
  for (int32_t k = 0; k < n; k++) memcpy(out + (size_t)k * 4, line + (size_t)xs[k] * 4, 4);
}

}  // namespace

int draw_pixels(canvas* cv, const matrix* ctm, double uw, double uh, int32_t w, int32_t h,
                const uint8_t* pixels, const uint8_t* mask, double alpha) {
  if (!pixels) return 0;
  const rgba_block b = {pixels, w};
  const pixel_rows src = {&b, rgba_block_row};
  return draw_pixel_rows(cv, ctm, uw, uh, w, h, &src, mask, alpha);
}
