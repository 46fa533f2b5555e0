// The edge-bucketed fill paints exactly the pixels of the plain fill that
// rescans every segment on every row, on random polygons, curves, rules,
// transforms, clips and opacities, and on a row with too many crossings.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "raster/raster.h"
#include "raster_test_util.h"
#include "support/canvas_pixels.h"

using namespace raster_test;

namespace {

// The reference: for every row, every segment (cubics as 16 chords) is
// mapped and tested against the sample line; crossings keep path order for
// ties and the first 65536 of a row count.
void reference_fill(canvas* cv, const path* p, const matrix* m, int nonzero, double r, double g,
                    double b, double alpha) {
  if (cv->clip_empty || p->count <= 0) return;
  dev_box box;
  path_bbox_dev(cv, p, m, &box);
  if (box.x0 >= box.x1 || box.y0 >= box.y1) return;
  auto map = [m](double x, double y, double* dx, double* dy) {
    *dx = m->a * x + m->c * y + m->e;
    *dy = m->b * x + m->d * y + m->f;
  };
  auto paint = [&](int32_t y, double xa, double xb) {
    if (std::isnan(xa) || std::isnan(xb)) return;
    double c0 = std::max(floor(xa), (double)cv->clip_x0);
    double c1 = std::min(ceil(xb), (double)cv->clip_x1);
    if (y < cv->clip_y0 || y >= cv->clip_y1) return;
    for (int32_t x = (int32_t)c0; x < (int32_t)c1; x++) blend_px(cv, x, y, r, g, b, alpha);
  };
  std::vector<xsec> xs;
  for (int32_t y = box.y0; y < box.y1; y++) {
    double sy = (y + 0.5) + 0.001;
    xs.clear();
    int32_t seq = 0;
    auto consider = [&](double X0, double A, double X3, double B) {
      int32_t s = seq++;
      if (((A <= sy && sy < B) || (B <= sy && sy < A)) && xs.size() < 65536)
        xs.push_back({X0 + (sy - A) / (B - A) * (X3 - X0), B > A ? 1 : -1, s});
    };
    for (int32_t i = 0; i < p->count; i++) {
      const path_seg& s = p->segs[i];
      double xa, ya, xb, yb;
      map(s.x0, s.y0, &xa, &ya);
      if (s.kind != 1) {
        map(s.x3, s.y3, &xb, &yb);
        consider(xa, ya, xb, yb);
        continue;
      }
      for (int k = 1; k <= 16; k++) {
        double t = k / 16.0, mt = 1 - t;
        double px =
            mt * mt * mt * s.x0 + 3 * mt * mt * t * s.x1 + 3 * mt * t * t * s.x2 + t * t * t * s.x3;
        double py =
            mt * mt * mt * s.y0 + 3 * mt * mt * t * s.y1 + 3 * mt * t * t * s.y2 + t * t * t * s.y3;
        map(px, py, &xb, &yb);
        consider(xa, ya, xb, yb);
        xa = xb;
        ya = yb;
      }
    }
    if (xs.empty()) continue;
    std::stable_sort(xs.begin(), xs.end(), [](const xsec& u, const xsec& v) { return u.x < v.x; });
    if (!nonzero) {
      for (size_t i = 0; i + 1 < xs.size(); i += 2) paint(y, xs[i].x, xs[i + 1].x);
      continue;
    }
    int wind = 0;
    bool inside = false;
    double start = 0;
    for (const xsec& c : xs) {
      wind += c.dir;
      if (!inside && wind != 0) {
        inside = true;
        start = c.x;
      } else if (inside && wind == 0) {
        paint(y, start, c.x);
        inside = false;
      }
    }
    if (inside) paint(y, start, box.x1);
  }
}

bool same_pixels(const canvas& a, const canvas& b) {
  size_t n = (size_t)a.width * a.height;
  return test_util::canvas_pixels(a) == test_util::canvas_pixels(b) &&
         memcmp(a.alpha, b.alpha, n) == 0;
}

}  // namespace

TEST(FillEquivalence, RandomPathsMatchThePlainFill) {
  std::mt19937 rng(20261209);
  std::uniform_real_distribution<double> coord(-20, 120), unit(0, 1);
  for (int round = 0; round < 400; round++) {
    SCOPED_TRACE(round);
    test_path shape;
    int subpaths = 1 + (int)(rng() % 3);
    for (int sp = 0; sp < subpaths; sp++) {
      // Integer and sample-line coordinates make ties and boundary cases.
      auto pick = [&]() {
        double v = coord(rng);
        switch (rng() % 4) {
          case 0:
            return floor(v);
          case 1:
            return (floor(v) + 0.5) + 0.001;
          default:
            return v;
        }
      };
      double sx = pick(), sy = pick();
      shape.p.cur_x = shape.p.start_x = sx;
      shape.p.cur_y = shape.p.start_y = sy;
      shape.p.has_current = 1;
      int n = 2 + (int)(rng() % 30);
      for (int i = 0; i < n; i++) {
        if (rng() % 3 == 0)
          path_cubic(&shape.p, pick(), pick(), pick(), pick(), pick(), pick());
        else
          path_line(&shape.p, pick(), pick());
      }
      if (rng() % 4 != 0) path_line(&shape.p, sx, sy);  // mostly closed
    }
    matrix m = {1, 0, 0, 1, 0, 0};
    if (rng() % 2) {
      double ang = unit(rng) * 6.3, sc = 0.5 + unit(rng) * 1.5;
      m = {sc * cos(ang), sc * sin(ang),  -sc * sin(ang),
           sc * cos(ang), 50 * unit(rng), 50 * unit(rng)};
    }
    if (round % 4 == 3) {
      // Glyph-sized: most chords then lie between two sample lines.
      const double sc = 0.05 + unit(rng) * 0.15;
      m = {m.a * sc, m.b * sc, m.c * sc, m.d * sc, m.e + 20 * unit(rng), m.f + 20 * unit(rng)};
    }
    int nonzero = (int)(rng() % 2);
    double alphas[] = {1.0, 0.5, 0.3};
    double alpha = alphas[rng() % 3];
    test_canvas fast(100, 100), plain(100, 100);
    if (rng() % 3 == 0) {
      test_path clip({{coord(rng), coord(rng)}, {coord(rng), coord(rng)}});
      clip_push(&fast.cv, &clip.p, &kIdentity);
      clip_push(&plain.cv, &clip.p, &kIdentity);
    }
    // Paint twice, so translucent fills also blend over earlier paint.
    for (int pass = 0; pass < 2; pass++) {
      raster_fill(&fast.cv, &shape.p, &m, nonzero, 0.2, 0.6, 0.9, alpha);
      reference_fill(&plain.cv, &shape.p, &m, nonzero, 0.2, 0.6, 0.9, alpha);
    }
    ASSERT_TRUE(same_pixels(fast.cv, plain.cv)) << "fast:\n"
                                                << fast.picture() << "plain:\n"
                                                << plain.picture();
  }
}

TEST(FillEquivalence, CrowdedRowKeepsTheFirstCrossingsInPathOrder) {
  // A zigzag of 70,000 teeth: every row between its ends is crossed 140,000
  // times, more than a row keeps; the kept ones are the first in path order.
  test_path zig;
  path_line(&zig.p, 0, 2);
  for (int i = 0; i < 70000; i++) {
    double x = 1 + i * 0.0012;
    path_line(&zig.p, x, (i % 2) ? 2 : 18);
  }
  path_line(&zig.p, 99, 18);
  path_line(&zig.p, 99, 2);
  for (int nonzero = 0; nonzero < 2; nonzero++) {
    test_canvas fast(100, 20), plain(100, 20);
    raster_fill(&fast.cv, &zig.p, &kIdentity, nonzero, 0, 0, 0, 0.5);
    reference_fill(&plain.cv, &zig.p, &kIdentity, nonzero, 0, 0, 0, 0.5);
    EXPECT_TRUE(same_pixels(fast.cv, plain.cv)) << nonzero;
  }
}
