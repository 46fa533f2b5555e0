// The page canvas: an RGB plane and an opacity plane, both starting white and
// opaque, with the clip rectangle and the painting state every drawing shares.
#include "raster/raster.h"

#include <cstdlib>
#include <cstring>

int canvas_init(canvas* cv, int32_t width, int32_t height) {
  memset(cv, 0, sizeof *cv);
  if (width < 1 || height < 1 || width > kMaxCanvasSide || height > kMaxCanvasSide) return 0;
  uint64_t pixels = (uint64_t)width * (uint64_t)height;
  cv->rgb = (uint8_t*)malloc((size_t)pixels * 3);
  cv->alpha = (uint8_t*)malloc((size_t)pixels);
  if (!cv->rgb || !cv->alpha) {
    free(cv->rgb);
    free(cv->alpha);
    cv->rgb = cv->alpha = nullptr;
    return 0;
  }
  memset(cv->rgb, 255, (size_t)pixels * 3);
  memset(cv->alpha, 255, (size_t)pixels);
  cv->width = width;
  cv->height = height;
  cv->clip_x1 = width;
  cv->clip_y1 = height;
  cv->line_width = 1.0;
  cv->fill_alpha = 1.0;
  cv->stroke_alpha = 1.0;
  cv->fill_work_left = kMaxFillCrossingsPerRow * height;
  return 1;
}

void canvas_free(canvas* cv) {
  free(cv->rgb);
  free(cv->alpha);
  cv->rgb = cv->alpha = nullptr;
}
