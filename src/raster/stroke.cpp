// Stroking without outline geometry: every segment (cubics as 16 chords) is
// painted on its own as a filled quadrilateral of the line's width plus a
// disc at each end, so every cap and join comes out round. Overlapping
// pieces are blended once each.
#include <cmath>

#include "raster/raster_internal.h"

// A row or column bound from a double, clamped into [lo, hi] before the
// conversion so that far-away shapes cost nothing.
static int32_t bound(double v, int32_t lo, int32_t hi) {
  if (!(v > lo)) return lo;
  if (v > hi) return hi;
  return (int32_t)v;
}

// Paints every pixel of the clip rectangle whose centre lies within hw of
// (cx, cy). Candidates are the rows and columns from trunc(c - hw) to
// trunc(c + hw); in each row the pixels inside form one run.
static void paint_disc(canvas* cv, double cx, double cy, double hw, double r, double g, double b,
                       double alpha) {
  if (cv->clip_x0 >= cv->clip_x1 || cv->clip_y0 >= cv->clip_y1) return;
  int32_t y0 = bound(trunc(cy - hw), cv->clip_y0, cv->clip_y1 - 1);
  int32_t y1 = bound(trunc(cy + hw), cv->clip_y0 - 1, cv->clip_y1 - 1);
  int32_t x0 = bound(trunc(cx - hw), cv->clip_x0, cv->clip_x1 - 1);
  int32_t x1 = bound(trunc(cx + hw), cv->clip_x0 - 1, cv->clip_x1 - 1);
  double r2 = hw * hw;
  for (int32_t y = y0; y <= y1; y++) {
    double dy = y + 0.5 - cy;
    int32_t first = -1, last = -2;
    for (int32_t x = x0; x <= x1; x++) {
      double dx = x + 0.5 - cx;
      if (dx * dx + dy * dy <= r2) {
        if (first < 0) first = x;
        last = x;
      } else if (first >= 0) {
        break;
      }
    }
    if (first >= 0) paint_span(cv, y, first, last + 1, r, g, b, alpha);
  }
}

void stroke_segment(canvas* cv, const matrix* ctm, double x0, double y0, double x1, double y1,
                    double width, double r, double g, double b, double alpha) {
  double X0, Y0, X1, Y1;
  map_point(ctm, x0, y0, &X0, &Y0);
  map_point(ctm, x1, y1, &X1, &Y1);
  double dx = X1 - X0, dy = Y1 - Y0;
  double len = sqrt(dx * dx + dy * dy);
  // The mean scale of the transform's unit vectors sets the half-width in
  // every direction; at least half a pixel keeps hairlines visible.
  double kx = sqrt(ctm->a * ctm->a + ctm->b * ctm->b);
  double ky = sqrt(ctm->c * ctm->c + ctm->d * ctm->d);
  double hw = width * 0.5 * (kx + ky) * 0.5;
  if (!(hw >= 0.5)) hw = 0.5;
  if (len < 1e-6) {
    paint_disc(cv, X0, Y0, hw, r, g, b, alpha);
    return;
  }
  double nx = -dy / len * hw, ny = dx / len * hw;
  double qx[4] = {X0 + nx, X1 + nx, X1 - nx, X0 - nx};
  double qy[4] = {Y0 + ny, Y1 + ny, Y1 - ny, Y0 - ny};
  path_seg segs[4];
  for (int i = 0; i < 4; i++)
    segs[i] = {qx[i], qy[i], 0, 0, 0, 0, qx[(i + 1) % 4], qy[(i + 1) % 4], 0};
  path quad = {segs, 4, 4, qx[0], qy[0], qx[0], qy[0], 1};
  const matrix identity = {1, 0, 0, 1, 0, 0};
  raster_fill(cv, &quad, &identity, 1, r, g, b, alpha);
  paint_disc(cv, X0, Y0, hw, r, g, b, alpha);
  paint_disc(cv, X1, Y1, hw, r, g, b, alpha);
}

void raster_stroke(canvas* cv, const path* p, const matrix* ctm, double r, double g, double b,
                   double alpha) {
  if (cv->clip_empty || p->count <= 0) return;
  for (int32_t i = 0; i < p->count; i++) {
    const path_seg& s = p->segs[i];
    if (s.kind != 1) {
      stroke_segment(cv, ctm, s.x0, s.y0, s.x3, s.y3, cv->line_width, r, g, b, alpha);
      continue;
    }
    double px = s.x0, py = s.y0;
    for (int k = 1; k <= kCubicChords; k++) {
      double qx, qy;
      bezier_chord_point(s, k, &qx, &qy);
      stroke_segment(cv, ctm, px, py, qx, qy, cv->line_width, r, g, b, alpha);
      px = qx;
      py = qy;
    }
  }
}
