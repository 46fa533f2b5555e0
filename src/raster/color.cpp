// Turning an interpreter colour into the red, green and blue the rasteriser
// paints with. CMYK is converted naively: each ink and black multiply.
#include "raster/raster.h"

// Clamps to [0, 1]; an undefined component counts as 0.
static double clamp01(double v) {
  return !(v > 0) ? 0 : (v > 1 ? 1 : v);
}

void color_get(const color* c, double* r, double* g, double* b) {
  double rr = 0, gg = 0, bb = 0;
  if (c->kind == 0) {
    rr = gg = bb = c->comp[0];
  } else if (c->kind == 1) {
    rr = c->comp[0];
    gg = c->comp[1];
    bb = c->comp[2];
  } else if (c->kind == 2) {
    double k = 1 - c->comp[3];
    rr = (1 - c->comp[0]) * k;
    gg = (1 - c->comp[1]) * k;
    bb = (1 - c->comp[2]) * k;
  }
  *r = clamp01(rr);
  *g = clamp01(gg);
  *b = clamp01(bb);
}
