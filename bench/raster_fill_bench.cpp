// Google Benchmark figures for the scanline fill: one large polygon of
// 100,000 segments over about 1,900 rows, and many small glyph-sized curved paths.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "raster/raster.h"

static const matrix kIdentity = {1, 0, 0, 1, 0, 0};

// A wavy ring of n short edges: a radius of 900 with 60 waves of 40 pixels,
// so each row crosses a handful of edges while the path has n of them.
static void wavy_ring(path* p, int n, double cx, double cy) {
  for (int i = 0; i <= n; i++) {
    double a = 2 * M_PI * (i % n) / n, r = 900 + 40 * sin(60 * a);
    path_line(p, cx + r * cos(a), cy + r * sin(a));
  }
}

static void BM_FillLargePolygon(benchmark::State& state) {
  canvas cv;
  canvas_init(&cv, 2000, 2000);
  path p = {};
  wavy_ring(&p, 100000, 1000, 1000);
  for (auto _ : state) raster_fill(&cv, &p, &kIdentity, (int)state.range(0), 0.1, 0.2, 0.3, 1.0);
  state.counters["segments"] = p.count;
  path_free(&p);
  canvas_free(&cv);
}
BENCHMARK(BM_FillLargePolygon)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

// An 'o'-like glyph about 12 px tall: an outer ellipse and an inner one drawn
// the other way round, four cubics each.
static void glyph(path* p) {
  const double k = 0.5523;
  auto ellipse = [&](double rx, double ry, double dir) {
    double cx = 6, cy = 6;
    p->cur_x = p->start_x = cx + rx;
    p->cur_y = p->start_y = cy;
    p->has_current = 1;
    double sy = ry * dir;  // dir = -1 runs the quarters the other way
    path_cubic(p, cx + rx, cy + sy * k, cx + rx * k, cy + sy, cx, cy + sy);
    path_cubic(p, cx - rx * k, cy + sy, cx - rx, cy + sy * k, cx - rx, cy);
    path_cubic(p, cx - rx, cy - sy * k, cx - rx * k, cy - sy, cx, cy - sy);
    path_cubic(p, cx + rx * k, cy - sy, cx + rx, cy - sy * k, cx + rx, cy);
  };
  ellipse(5, 6, 1);
  ellipse(3, 4, -1);
}

static void BM_FillGlyphs(benchmark::State& state) {
  canvas cv;
  canvas_init(&cv, 1275, 1650);  // a letter page at 150 dpi
  path p = {};
  glyph(&p);
  for (auto _ : state) {
    for (int row = 0; row < 60; row++)
      for (int col = 0; col < 80; col++) {
        matrix m = {1, 0, 0, 1, 40.0 + col * 15, 40.0 + row * 25};
        raster_fill(&cv, &p, &m, 1, 0, 0, 0, 1.0);
      }
  }
  state.counters["glyphs_per_s"] =
      benchmark::Counter(4800.0 * state.iterations(), benchmark::Counter::kIsRate);
  path_free(&p);
  canvas_free(&cv);
}
BENCHMARK(BM_FillGlyphs)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
