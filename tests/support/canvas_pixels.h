// The true colours of a page canvas, for tests that compare canvases: the
// canvas stores its colours inverted and keeps only the rows drawn on.
#pragma once

#include <cstddef>
#include <string>

#include "raster/raster.h"

namespace test_util {

// Every pixel's red, green and blue, row by row.
inline std::string canvas_pixels(const canvas& cv) {
  const size_t n = (size_t)cv.width * (size_t)cv.height;
  std::string s(n * 3, '\0');
  for (size_t p = 0; p < n; p++) canvas_colour(&cv, p, reinterpret_cast<uint8_t*>(&s[p * 3]));
  return s;
}

}  // namespace test_util
