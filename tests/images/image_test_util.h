// Documents with image and form objects written as text, decoding an image
// object of a loaded document, and rendering page 1 of a document.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "compression/compression.h"
#include "images/images.h"
#include "interface/interface.h"
#include "support/test_util.h"

namespace image_test {

// Bytes given as numbers, for binary sample data.
inline std::string raw(std::initializer_list<int> v) {
  std::string s;
  for (int b : v) s += static_cast<char>(b);
  return s;
}

// The zlib stream the library's deflater makes of plain.
inline std::string flate(const std::string& plain) {
  uint8_t* packed = nullptr;
  uint64_t len = 0;
  EXPECT_EQ(qx_deflate((const uint8_t*)plain.data(), plain.size(), &packed, &len), 0);
  std::string z((const char*)packed, (size_t)len);
  free(packed);
  return z;
}

inline std::string stream_obj(int num, const std::string& dict, const std::string& data) {
  return std::to_string(num) + " 0 obj\n<< " + dict + " /Length " + std::to_string(data.size()) +
         " >>\nstream\n" + data + "\nendstream\nendobj\n";
}

inline std::string image_obj(int num, const std::string& dict, const std::string& data) {
  return stream_obj(num, "/Type /XObject /Subtype /Image " + dict, data);
}

// One page (object 3, MediaBox 0 0 w h) with the given resource dictionary
// entries and content (object 4), followed by more objects.
inline std::string page_doc(const std::string& content, const std::string& resources,
                            const std::string& more, int w = 100, int h = 100) {
  return test_util::simple_pdf(
      "3 0 R", "3 0 obj\n<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + std::to_string(w) + " " +
                   std::to_string(h) + "] /Resources << " + resources +
                   " >> /Contents 4 0 R >>\nendobj\n" + stream_obj(4, "", content) + more);
}

// A document whose object 10 is an image with the given dictionary entries
// and data, followed by more objects.
inline std::string image_doc(const std::string& dict, const std::string& data,
                             const std::string& more = "") {
  return page_doc("", "", image_obj(10, dict, data) + more);
}

// The result of decode_image.
struct decoded {
  bool ok = false;
  int32_t w = 0, h = 0;
  std::vector<uint8_t> rgba;
  std::vector<uint8_t> mask;  // empty when there is none
  bool has_mask = false;

  // "r,g,b" of pixel i, checking that alpha is 255.
  std::string rgb(size_t i) const {
    if (i * 4 + 3 >= rgba.size()) return "<out of range>";
    const uint8_t* p = &rgba[i * 4];
    std::string s = std::to_string(p[0]) + "," + std::to_string(p[1]) + "," + std::to_string(p[2]);
    return p[3] == 255 ? s : s + " alpha " + std::to_string(p[3]);
  }
  // Every pixel as "r,g,b", separated by spaces.
  std::string all() const {
    std::string s;
    for (size_t i = 0; i < rgba.size() / 4; i++) s += (i ? " " : "") + rgb(i);
    return s;
  }
};

inline decoded decode(const pdfcore_doc* doc, const obj_entry* e) {
  decoded d;
  int32_t w = -7, h = -7;
  uint8_t* mask = reinterpret_cast<uint8_t*>(1);  // must be reset to null
  uint8_t* px = decode_image(doc, e, &w, &h, &mask);
  if (!px) {
    EXPECT_EQ(mask, nullptr);
    EXPECT_EQ(w, -7) << "size written on failure";
    return d;
  }
  d.ok = true;
  d.w = w;
  d.h = h;
  size_t n = static_cast<size_t>(w) * static_cast<size_t>(h);
  d.rgba.assign(px, px + n * 4);
  if (mask) {
    d.has_mask = true;
    d.mask.assign(mask, mask + n);
  }
  free(px);
  free(mask);
  return d;
}

// Decodes object num of the document text.
inline decoded decode(const std::string& pdf, int32_t num = 10) {
  test_util::loaded_doc doc(pdf);
  EXPECT_TRUE(doc.ok) << doc.error;
  const obj_entry* e = doc.ok ? doc.find(num) : nullptr;
  if (!e) return {};
  return decode(&doc.doc, e);
}

// Page 1 rendered at 72 dpi: with a 100 x 100 box, device pixel (x, y)
// covers user space [x, x+1) x [99 - y, 100 - y).
struct rendered {
  uint8_t* rgba = nullptr;
  int32_t w = 0, h = 0;
  explicit rendered(const std::string& pdf, int32_t dpi = 72) {
    test_util::loaded_doc d(pdf);
    EXPECT_TRUE(d.ok) << d.error;
    if (d.ok) rgba = render_page(&d.doc, 0, dpi, &w, &h);
    EXPECT_NE(rgba, nullptr);
  }
  ~rendered() { free(rgba); }
  rendered(const rendered&) = delete;
  rendered& operator=(const rendered&) = delete;
  const uint8_t* px(int32_t x, int32_t y) const { return rgba + ((size_t)y * w + x) * 4; }
  // "r,g,b" of a device pixel.
  std::string rgb(int32_t x, int32_t y) const {
    if (!rgba || x < 0 || y < 0 || x >= w || y >= h) return "<none>";
    const uint8_t* p = px(x, y);
    return std::to_string(p[0]) + "," + std::to_string(p[1]) + "," + std::to_string(p[2]);
  }
  // The device box [x0, x1) x [y0, y1) of pixels that are not white, as
  // "x0 y0 x1 y1", or "empty".
  std::string ink_box() const {
    int32_t x0 = w, y0 = h, x1 = 0, y1 = 0;
    for (int32_t y = 0; rgba && y < h; y++)
      for (int32_t x = 0; x < w; x++)
        if (rgb(x, y) != "255,255,255") {
          x0 = std::min(x0, x);
          y0 = std::min(y0, y);
          x1 = std::max(x1, x + 1);
          y1 = std::max(y1, y + 1);
        }
    if (x0 >= x1) return "empty";
    return std::to_string(x0) + " " + std::to_string(y0) + " " + std::to_string(x1) + " " +
           std::to_string(y1);
  }
};

}  // namespace image_test
