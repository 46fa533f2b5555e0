// Image drawing: decoded RGBA pixels mapped by nearest neighbour into the
// axis-aligned device box that two corners of a user-space rectangle span.
// Only axis-aligned placement exists: a rotated, skewed or mirroring CTM
// still gives an upright image in the box of the two mapped corners.
//
// The source column of each destination column is computed once per call,
// so the inner loop is a table look-up and one composite per pixel; the
// result is the same as computing both source coordinates at every pixel.
#include "raster/raster.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

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

}  // namespace

int draw_pixels(canvas* cv, const matrix* ctm, double uw, double uh, int32_t w, int32_t h,
                const uint8_t* pixels, const uint8_t* mask, double alpha) {
  if (!cv || !ctm || !pixels || w <= 0 || h <= 0 || cv->clip_empty) return 0;
  const double X0 = ctm->e, Y0 = ctm->f;
  const double X1 = ctm->a * uw + ctm->c * uh + ctm->e;
  const double Y1 = ctm->b * uw + ctm->d * uh + ctm->f;
  if (std::isnan(X0) || std::isnan(Y0) || std::isnan(X1) || std::isnan(Y1)) return 0;
  const int64_t x0 = round_coord(std::min(X0, X1)), x1 = round_coord(std::max(X0, X1));
  const int64_t y0 = round_coord(std::min(Y0, Y1)), y1 = round_coord(std::max(Y0, Y1));
  if (x0 >= x1 || y0 >= y1) return 0;

  // The visible part: inside the canvas and the clip rectangle.
  const int64_t cx0 = std::max({x0, (int64_t)0, (int64_t)cv->clip_x0});
  const int64_t cx1 = std::min({x1, (int64_t)cv->width, (int64_t)cv->clip_x1});
  const int64_t cy0 = std::max({y0, (int64_t)0, (int64_t)cv->clip_y0});
  const int64_t cy1 = std::min({y1, (int64_t)cv->height, (int64_t)cv->clip_y1});
  if (cx0 >= cx1 || cy0 >= cy1) return 0;

  // At most kMaxCanvasSide entries.
  int32_t* cols = (int32_t*)malloc(sizeof(int32_t) * (size_t)(cx1 - cx0));
  if (!cols) return 0;
  for (int64_t j = cx0; j < cx1; j++) cols[j - cx0] = source_index(j - x0, w, x1 - x0);

  for (int64_t i = cy0; i < cy1; i++) {
    const size_t row = (size_t)source_index(i - y0, h, y1 - y0) * (size_t)w;
    for (int64_t j = cx0; j < cx1; j++) {
      const size_t p = row + (size_t)cols[j - cx0];
      const uint8_t* px = pixels + p * 4;
      double a = (px[3] / 255.0) * alpha;
      if (mask) a *= mask[p] / 255.0;
      if (!(a > 0)) continue;
      blend_px(cv, (int32_t)j, (int32_t)i, px[0] / 255.0, px[1] / 255.0, px[2] / 255.0, a);
    }
  }
  free(cols);
  return 1;
}
