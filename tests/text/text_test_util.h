// Documents with font objects and interpreter contexts over them, for the
// text tests: objects are written as text, the page context paints on a small
// canvas, and ink_box measures what was painted.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "fonts/fonts.h"
#include "interp/interp_test_util.h"
#include "support/canvas_pixels.h"
#include "support/test_util.h"

namespace text_test {

// The built-in faces, loaded once per test program.
inline void init_faces() {
  static bool done = (load_font_files(), true);
  (void)done;
}

inline std::string obj(int num, const std::string& body) {
  return std::to_string(num) + " 0 obj\n" + body + "\nendobj\n";
}

inline std::string stream(int num, const std::string& dict, const std::string& data) {
  return std::to_string(num) + " 0 obj\n<< " + dict + " /Length " + std::to_string(data.size()) +
         " >>\nstream\n" + data + "\nendstream\nendobj\n";
}

// A simple font object without a program: the built-in face for base.
inline std::string simple_font(int num, const std::string& base, const std::string& extra = "") {
  return obj(num, "<< /Type /Font /Subtype /Type1 /BaseFont /" + base + " " + extra + " >>");
}

// A document holding a page (object 3) and the given objects, and a page
// context over it whose resources are the given dictionary text. The CTM
// maps user space to the canvas with y up: (x, y) lands on pixel row h - y.
struct text_page {
  test_util::loaded_doc doc;
  std::string resources;
  interp_test::page_ctx p;

  text_page(const std::string& objects, const std::string& res, int32_t w = 100, int32_t h = 100,
            double scale = 1)
      : doc(test_util::simple_pdf(
            "3 0 R", obj(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 100 100] >>") + objects)),
        resources(res),
        p(w, h) {
    init_faces();
    EXPECT_EQ(doc.ok, 1) << doc.error;
    p.ctx.doc = &doc.doc;
    p.ctx.page_resources = resources.c_str();
    p.ctx.resources = resources.c_str();
    p.ctx.resources_len = (int32_t)resources.size();
    p.ctx.ctm[0] = {scale, 0, 0, -scale, 0, (double)h};
    p.ctx.tm = p.ctx.tlm = {1, 0, 0, 1, 0, 0};
  }
  void run(const std::string& content) { p.run(content); }
  interp& ctx() { return p.ctx; }
  font* get(const char* name) { return font_get(&p.ctx, name); }
  // The canvas's colours.
  std::string pixels() const { return test_util::canvas_pixels(p.cv); }
  // Makes every pixel white again: no row is drawn on.
  void clear() { memset(p.cv.drawn, 0, (size_t)p.cv.height); }
};

// The painted (non-white) pixels of a canvas: their count and bounding box.
struct ink {
  int64_t count = 0;
  int32_t x0 = 1 << 30, y0 = 1 << 30, x1 = -1, y1 = -1;  // inclusive
};

inline ink ink_box(const canvas& cv) {
  ink k;
  for (int32_t y = 0; y < cv.height; y++)
    for (int32_t x = 0; x < cv.width; x++) {
      uint8_t px[3];
      canvas_colour(&cv, (size_t)y * cv.width + x, px);
      if (px[0] == 255 && px[1] == 255 && px[2] == 255) continue;
      k.count++;
      k.x0 = std::min(k.x0, x);
      k.y0 = std::min(k.y0, y);
      k.x1 = std::max(k.x1, x);
      k.y1 = std::max(k.y1, y);
    }
  return k;
}

// Pixel buffers compared without printing them: the first difference and
// how many bytes differ.
inline ::testing::AssertionResult same_pixels(const std::string& a, const std::string& b) {
  if (a == b) return ::testing::AssertionSuccess();
  if (a.size() != b.size())
    return ::testing::AssertionFailure() << "sizes " << a.size() << " and " << b.size();
  size_t first = a.size(), n = 0;
  for (size_t i = 0; i < a.size(); i++)
    if (a[i] != b[i]) {
      if (first == a.size()) first = i;
      n++;
    }
  return ::testing::AssertionFailure() << n << " bytes differ, the first at " << first;
}

}  // namespace text_test
