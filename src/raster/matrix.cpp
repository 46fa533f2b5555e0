// Matrices and path construction. Paths keep their segments unflattened in
// the coordinates they were given; painting transforms them later.
#include "raster/raster.h"

#include <cmath>
#include <cstdlib>

void mat_mult(matrix* out, const matrix* m1, const matrix* m2) {
  // Read everything first: out may be m1 or m2.
  matrix r;
  r.a = m1->a * m2->a + m1->c * m2->b;
  r.b = m1->b * m2->a + m1->d * m2->b;
  r.c = m1->a * m2->c + m1->c * m2->d;
  r.d = m1->b * m2->c + m1->d * m2->d;
  r.e = m1->a * m2->e + m1->c * m2->f + m1->e;
  r.f = m1->b * m2->e + m1->d * m2->f + m1->f;
  *out = r;
}

// Starts a new path at (x, y): segments are dropped, the array kept.
static void path_move(path* p, double x, double y) {
  p->count = 0;
  p->cur_x = p->start_x = x;
  p->cur_y = p->start_y = y;
  p->has_current = 1;
}

// Appends s (whose start is the current point); if the array cannot grow the
// segment is dropped and the path stays as it was.
static void path_append(path* p, const path_seg& s) {
  if (p->count == p->cap) {
    if (p->cap > INT32_MAX / 2) return;
    int32_t cap = p->cap ? p->cap * 2 : 64;
    void* grown = realloc(p->segs, sizeof(path_seg) * (size_t)cap);
    if (!grown) return;
    p->segs = (path_seg*)grown;
    p->cap = cap;
  }
  p->segs[p->count++] = s;
  p->cur_x = s.x3;
  p->cur_y = s.y3;
}

void path_line(path* p, double x, double y) {
  if (!p->has_current) {
    path_move(p, x, y);
    return;
  }
  path_append(p, {p->cur_x, p->cur_y, 0, 0, 0, 0, x, y, 0});
}

void path_cubic(path* p, double x1, double y1, double x2, double y2, double x3, double y3) {
  if (!p->has_current) path_move(p, x1, y1);
  path_append(p, {p->cur_x, p->cur_y, x1, y1, x2, y2, x3, y3, 1});
}

void path_free(path* p) {
  free(p->segs);
  *p = path{};
}

// floor/ceil of v as an int, clamped to the 32-bit range first.
static int32_t clamp_to_int(double v) {
  if (!(v > -2147483648.0)) return INT32_MIN;  // NaN lands here too
  if (v > 2147483647.0) return INT32_MAX;
  return (int32_t)v;
}

void path_bbox_dev(const canvas* cv, const path* p, const matrix* m, dev_box* box) {
  double minx = 1e30, miny = 1e30, maxx = -1e30, maxy = -1e30;
  auto widen = [&](double x, double y) {
    double dx = m->a * x + m->c * y + m->e;
    double dy = m->b * x + m->d * y + m->f;
    // fmin/fmax without the library calls: an undefined coordinate leaves
    // the bound as it was (the bounds start finite, so never NaN), and the
    // sign of a zero bound cannot change the whole pixels below.
    if (dx < minx) minx = dx;
    if (dx > maxx) maxx = dx;
    if (dy < miny) miny = dy;
    if (dy > maxy) maxy = dy;
  };
  for (int32_t i = 0; i < p->count; i++) {
    const path_seg& s = p->segs[i];
    widen(s.x0, s.y0);
    widen(s.x3, s.y3);
    if (s.kind == 1) {
      widen(s.x1, s.y1);
      widen(s.x2, s.y2);
    }
  }
  int32_t fx0 = clamp_to_int(floor(minx)), fy0 = clamp_to_int(floor(miny));
  int32_t cx1 = clamp_to_int(ceil(maxx)), cy1 = clamp_to_int(ceil(maxy));
  box->x0 = fx0 > 0 ? fx0 : 0;
  box->y0 = fy0 > 0 ? fy0 : 0;
  // The +1 keeps the pixel holding the maximum edge; widen before adding.
  int64_t x1 = (int64_t)cx1 + 1, y1 = (int64_t)cy1 + 1;
  box->x1 = (int32_t)(x1 < cv->width ? x1 : cv->width);
  box->y1 = (int32_t)(y1 < cv->height ? y1 : cv->height);
  if (box->x1 <= box->x0 || box->y1 <= box->y0) {
    box->x0 = box->x1;
    box->y0 = box->y1;
  }
}
