// Small helpers for pixel-exact rasteriser tests: canvases that free
// themselves, paths from point lists, and pixel queries.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "raster/raster.h"

namespace raster_test {

inline const matrix kIdentity = {1, 0, 0, 1, 0, 0};

struct test_canvas {
  canvas cv;
  test_canvas(int32_t w, int32_t h) { EXPECT_EQ(canvas_init(&cv, w, h), 1); }
  ~test_canvas() { canvas_free(&cv); }
  test_canvas(const test_canvas&) = delete;
  test_canvas& operator=(const test_canvas&) = delete;
  // The colour of pixel (x, y).
  std::array<uint8_t, 3> px(int32_t x, int32_t y) const {
    std::array<uint8_t, 3> c;
    canvas_colour(&cv, (size_t)y * cv.width + x, c.data());
    return c;
  }
  bool painted(int32_t x, int32_t y) const {
    const std::array<uint8_t, 3> p = px(x, y);
    return p[0] != 255 || p[1] != 255 || p[2] != 255;
  }
  // The painted pixels as rows of '#' and '.', for readable failures.
  std::string picture() const {
    std::string s;
    for (int32_t y = 0; y < cv.height; y++) {
      for (int32_t x = 0; x < cv.width; x++) s += painted(x, y) ? '#' : '.';
      s += '\n';
    }
    return s;
  }
  // Columns painted in row y, as [first, last] runs.
  std::vector<std::pair<int32_t, int32_t>> runs(int32_t y) const {
    std::vector<std::pair<int32_t, int32_t>> r;
    for (int32_t x = 0; x < cv.width; x++) {
      if (!painted(x, y)) continue;
      if (!r.empty() && r.back().second == x - 1)
        r.back().second = x;
      else
        r.push_back({x, x});
    }
    return r;
  }
};

// A path through the points, closed back to the first when close is set.
struct test_path {
  path p = {};
  test_path() = default;
  test_path(std::initializer_list<std::pair<double, double>> pts, bool close = true) {
    for (auto [x, y] : pts) path_line(&p, x, y);
    if (close) path_line(&p, p.start_x, p.start_y);
  }
  ~test_path() { path_free(&p); }
  test_path(const test_path&) = delete;
  test_path& operator=(const test_path&) = delete;
};

using runs_t = std::vector<std::pair<int32_t, int32_t>>;

}  // namespace raster_test
