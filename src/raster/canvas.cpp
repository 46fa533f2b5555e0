// The page canvas: an RGB plane and an opacity plane, both starting white and
// opaque, with the clip rectangle and the painting state every drawing shares.
// The RGB plane holds each byte inverted (255 minus the value). A row is
// cleared to zeros (white) when it is first drawn on, and rows never drawn
// are neither written nor read: a page that leaves large parts blank never
// holds their memory, and the block itself may be one the allocator hands
// out again from an earlier page, without a page fault per 4 KiB.
#include "raster/raster.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

// A plane of the canvas: bytes_per_pixel for the canvas's block_pixels, or
// for only its own pixels when that much cannot be had. Null when even the
// byte count of its own pixels does not fit a size_t.
static uint8_t* plane_alloc(canvas* cv, size_t pixels, size_t bytes_per_pixel) {
  const uint64_t most = SIZE_MAX / bytes_per_pixel;
  uint8_t* p = nullptr;
  if (cv->block_pixels <= most) p = (uint8_t*)malloc((size_t)cv->block_pixels * bytes_per_pixel);
  if (!p && cv->block_pixels > pixels && pixels <= most)
    p = (uint8_t*)malloc(pixels * bytes_per_pixel);
  return p;
}

static int canvas_setup(canvas* cv, int32_t width, int32_t height, bool opaque, uint64_t room) {
  memset(cv, 0, sizeof *cv);
  if (width < 1 || height < 1 || width > kMaxCanvasSide || height > kMaxCanvasSide) return 0;
  uint64_t pixels = (uint64_t)width * (uint64_t)height;
  cv->block_pixels = room > pixels && room <= 2 * pixels ? room : pixels;
  cv->rgb = plane_alloc(cv, (size_t)pixels, 3);
  cv->drawn = (uint8_t*)calloc((size_t)height, 1);
  cv->alpha = opaque ? nullptr : plane_alloc(cv, (size_t)pixels, 1);
  if (!cv->rgb || !cv->drawn || (!opaque && !cv->alpha)) {
    free(cv->rgb);
    free(cv->drawn);
    free(cv->alpha);
    cv->rgb = cv->alpha = cv->drawn = nullptr;
    return 0;
  }
  platform_advise_large_pages(cv->rgb, (size_t)pixels * 3);
  if (cv->alpha) memset(cv->alpha, 255, (size_t)pixels);
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

int canvas_init(canvas* cv, int32_t width, int32_t height) {
  return canvas_setup(cv, width, height, false, 0);
}

int canvas_init_opaque(canvas* cv, int32_t width, int32_t height, uint64_t room) {
  return canvas_setup(cv, width, height, true, room);
}

void canvas_set_alpha(canvas* cv, size_t p, uint8_t a) {
  if (!cv->alpha) {
    if (a == 255 || cv->alpha_lost) return;
    size_t pixels = (size_t)cv->width * (size_t)cv->height;
    cv->alpha = plane_alloc(cv, pixels, 1);
    if (!cv->alpha) {
      cv->alpha_lost = 1;
      return;
    }
    memset(cv->alpha, 255, pixels);
  }
  cv->alpha[p] = a;
}

uint8_t* canvas_take_rgba(canvas* cv) {
  size_t pixels = (size_t)cv->width * (size_t)cv->height;
  uint8_t* px = (uint8_t*)malloc(pixels * 4);
  if (!px) return nullptr;
  const uint8_t* rgb = cv->rgb;
  const uint8_t* alpha = cv->alpha;
  const size_t width = (size_t)cv->width;
  for (size_t y = 0, i = 0; y < (size_t)cv->height; y++) {
    const bool drawn = cv->drawn[y];  // a row never drawn is white and is not read
    for (size_t x = 0; x < width; x++, i++) {
      px[i * 4] = drawn ? (uint8_t)~rgb[i * 3] : 255;
      px[i * 4 + 1] = drawn ? (uint8_t)~rgb[i * 3 + 1] : 255;
      px[i * 4 + 2] = drawn ? (uint8_t)~rgb[i * 3 + 2] : 255;
      px[i * 4 + 3] = alpha ? alpha[i] : 255;
    }
  }
  canvas_free(cv);
  return px;
}

void canvas_free(canvas* cv) {
  free(cv->rgb);
  free(cv->drawn);
  free(cv->alpha);
  cv->rgb = cv->alpha = cv->drawn = nullptr;
}
