// Helpers shared by the rasteriser's files; nothing outside raster/ includes this.
#pragma once

#include "raster/raster.h"

// Number of chords a cubic segment is cut into when it is painted.
inline constexpr int kCubicChords = 16;

// The Bernstein weights (1-t)^3, 3(1-t)^2 t, 3(1-t) t^2, t^3 of a cubic at
// t = k / kCubicChords, k = 0..16, computed at compile time (exact IEEE
// products, in the order written), so a chord point costs only its
// weighted sums.
struct bezier_weights {
  double c[kCubicChords + 1][4];
};
constexpr bezier_weights make_bezier_weights() {
  bezier_weights w{};
  for (int k = 0; k <= kCubicChords; k++) {
    double t = (double)k / kCubicChords;
    double mt = 1 - t;
    w.c[k][0] = mt * mt * mt;
    w.c[k][1] = 3 * mt * mt * t;
    w.c[k][2] = 3 * mt * t * t;
    w.c[k][3] = t * t * t;
  }
  return w;
}
inline constexpr bezier_weights kBezierWeights = make_bezier_weights();

// The point of cubic segment s at t = k / kCubicChords, in the path's
// coordinates.
inline void bezier_chord_point(const path_seg& s, int k, double* x, double* y) {
  const double* c = kBezierWeights.c[k];
  *x = c[0] * s.x0 + c[1] * s.x1 + c[2] * s.x2 + c[3] * s.x3;
  *y = c[0] * s.y0 + c[1] * s.y1 + c[2] * s.y2 + c[3] * s.y3;
}

inline void map_point(const matrix* m, double x, double y, double* dx, double* dy) {
  *dx = m->a * x + m->c * y + m->e;
  *dy = m->b * x + m->d * y + m->f;
}

// The y of the sample line of device row y: a thousandth below its centre.
inline double sample_line(int32_t y) {
  return ((double)y + 0.5) + 0.001;
}

// Paints columns [x0, x1) of row y (already inside the clip rectangle).
void paint_span(canvas* cv, int32_t y, int32_t x0, int32_t x1, double r, double g, double b,
                double alpha);
