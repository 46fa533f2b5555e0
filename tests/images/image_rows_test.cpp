// Flate images drawn small keep only the rows they show, of their samples
// and of their soft masks, and draw exactly as when decoded whole: every
// sample rule, masks whose bytes or bits are read, JPEG data inside Flate
// (decoded whole), a second drawing from the page's image cache (which
// needs every row) and clipped drawings.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "codecs/codecs.h"
#include "compression/compression.h"
#include "images/image_test_util.h"
#include "support/alloc_peak.h"

using image_test::flate;
using image_test::image_obj;
using image_test::page_doc;
using image_test::rendered;
using image_test::stream_obj;

namespace {

// ASCII85 text of data: a stream filtered [/ASCII85Decode /FlateDecode]
// gives the same bytes as Flate alone, but is always decoded whole.
std::string ascii85(const std::string& data) {
  std::string out;
  for (size_t i = 0; i < data.size(); i += 4) {
    const size_t k = data.size() - i < 4 ? data.size() - i : 4;
    uint32_t v = 0;
    for (size_t j = 0; j < 4; j++) v = v << 8 | (j < k ? (uint8_t)data[i + j] : 0);
    char group[5];
    for (int j = 4; j >= 0; j--, v /= 85) group[j] = (char)('!' + v % 85);
    out.append(group, k + 1);
  }
  return out + "~>";
}

// n bytes of a pattern with some noise: compressible, not trivially.
std::string samples(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++) {
    seed = seed * 1103515245u + 12345u;
    s[i] = (char)((i * 7 + (i >> 10) * 13) ^ ((seed >> 20) & 15));
  }
  return s;
}

std::string flate_samples(size_t n, uint32_t seed) {
  return flate(samples(n, seed));
}

struct image_case {
  const char* name;
  int w, h;
  std::string dict;  // beyond the size
  std::string data;
  std::string mask_dict;  // none when empty
  std::string mask_data;  // data and mask_data are given in Flate
  bool jpeg = false;      // data is a JPEG inside the Flate data
};

// The image (object 10) and its mask (object 11) in a page that draws
// content over a blue background, the streams Flate alone or behind ASCII85.
std::string page_of(const image_case& c, const char* content, bool whole) {
  const std::string size = "/Width " + std::to_string(c.w) + " /Height " + std::to_string(c.h);
  const std::string filter =
      whole ? "/Filter [/ASCII85Decode /FlateDecode" : "/Filter [/FlateDecode";
  auto data = [&](const std::string& z) { return whole ? ascii85(z) : z; };
  std::string more;
  std::string dict = size + " " + c.dict;
  if (!c.mask_dict.empty()) {
    dict += " /SMask 11 0 R";
    more = stream_obj(
        11, "/Type /XObject /Subtype /Image " + size + " " + c.mask_dict + " " + filter + "]",
        data(c.mask_data));
  }
  return page_doc(
      std::string("0 0 1 rg 0 0 100 100 re f ") + content, "/XObject << /Im 10 0 R >>",
      image_obj(10, dict + " " + filter + (c.jpeg ? " /DCTDecode]" : "]"), data(c.data)) + more);
}

std::vector<image_case> cases() {
  std::vector<image_case> v;
  const int p1 = 1024 * 1024;
  v.push_back({"rgb8, 8-bit mask with bytes to spare", 1024, 1024,
               "/BitsPerComponent 8 /ColorSpace /DeviceRGB", flate_samples(3 * (size_t)p1, 1),
               "/BitsPerComponent 8 /ColorSpace /DeviceGray", flate_samples((size_t)p1 + 10, 2)});
  v.push_back({"cmyk8, 8-bit mask short of the plane (its bits read past the end)", 1000, 1000,
               "/BitsPerComponent 8 /ColorSpace /DeviceCMYK", flate_samples(4 * (size_t)1000000, 3),
               "/BitsPerComponent 8 /ColorSpace /DeviceGray", flate_samples(600000, 4)});
  std::string palette = "<";
  for (int i = 0; i < 256; i++) palette += "0A" + std::string(i % 2 ? "FF" : "33") + "7C";
  v.push_back({"indexed8", 1100, 1000,
               "/BitsPerComponent 8 /ColorSpace [/Indexed /DeviceRGB 200 " + palette + ">]",
               flate_samples(1100 * 1000, 5), "", ""});
  v.push_back({"rgb16, 16-bit mask", 750, 750, "/BitsPerComponent 16 /ColorSpace /DeviceRGB",
               flate_samples(6 * 750 * 750 - 999, 6),
               "/BitsPerComponent 16 /ColorSpace /DeviceGray",
               flate_samples(2 * 750 * 750 - 5000, 7)});
  v.push_back({"1-bit gray, 1-bit mask", 4096, 2048, "/BitsPerComponent 1 /ColorSpace /DeviceGray",
               flate_samples(512 * 2048, 8), "/BitsPerComponent 1 /ColorSpace /DeviceGray",
               flate_samples(512 * 2048, 9)});
  v.push_back({"4-bit gray, short data", 1500, 1500, "/BitsPerComponent 4 /ColorSpace /DeviceGray",
               flate_samples(750 * 1200, 10), "", ""});
  std::vector<uint8_t> rgba((size_t)p1 * 4);
  for (size_t i = 0; i < rgba.size(); i++) rgba[i] = (uint8_t)(i % 4 == 3 ? 255 : i * 3 / 4096);
  uint64_t size = 0;
  uint8_t* jpg = qx_jpeg_encode(1024, 1024, rgba.data(), &size);
  EXPECT_NE(jpg, nullptr);
  v.push_back({"JPEG in Flate, 8-bit mask", 1024, 1024,
               "/BitsPerComponent 8 /ColorSpace /DeviceRGB",
               flate(std::string((const char*)jpg, (size_t)size)),
               "/BitsPerComponent 8 /ColorSpace /DeviceGray", flate_samples((size_t)p1, 11), true});
  free(jpg);
  return v;
}

}  // namespace

TEST(ImageRows, FlateDrawnSmallDrawsAsDecodedWhole) {
  for (const image_case& c : cases()) {
    for (const char* content :
         {"q 100 0 0 40 0 10 cm /Im Do Q",
          "q 30 0 0 12 0 0 cm /Im Do Q q 100 0 0 60 0 30 cm /Im Do Q",
          "q 0 0 50 50 re W n 100 0 0 -90 0 95 cm /Im Do Q q 100 0 0 90 0 5 cm /Im Do Q"}) {
      SCOPED_TRACE(std::string(c.name) + ": " + content);
      rendered rows(page_of(c, content, false));
      rendered whole(page_of(c, content, true));
      ASSERT_TRUE(rows.rgba && whole.rgba);
      ASSERT_EQ(rows.w * rows.h, whole.w * whole.h);
      EXPECT_EQ(memcmp(rows.rgba, whole.rgba, (size_t)rows.w * rows.h * 4), 0);
    }
  }
}

TEST(ImageRows, ThreeRowsHeldUntilEveryRowIsNeeded) {
  // Decoding for three rows holds those rows of the samples and of the
  // alpha plane (carried in the colours' alpha), while the account is
  // charged the whole image; made whole, the source has the whole image's
  // samples and mask plane.
  const int32_t W = 1024, H = 1024;
  const image_case c = {"",
                        W,
                        H,
                        "/BitsPerComponent 8 /ColorSpace /DeviceRGB",
                        flate_samples(3 * (size_t)W * H, 21),
                        "/BitsPerComponent 8 /ColorSpace /DeviceGray",
                        flate_samples((size_t)W * 700 + 3, 22)};
  const std::string pdf = page_of(c, "", false);
  const image_test::decoded whole = image_test::decode(pdf);
  ASSERT_TRUE(whole.ok && whole.has_mask);
  test_util::loaded_doc doc(pdf);
  ASSERT_TRUE(doc.ok);
  struct three {
    static void rows(const void*, int32_t, int32_t height, uint8_t* shown) {
      shown[0] = shown[700] = shown[height - 1] = 1;
    }
  };
  const image_row_chooser chooser = {nullptr, three::rows};
  image_source src;
  test_util::alloc_peak::start();
  ASSERT_TRUE(decode_image_source_rows(&doc.doc, doc.find(10), &chooser, &src));
  const int64_t peak = test_util::alloc_peak::stop();
  EXPECT_EQ(src.bytes, 4 * (int64_t)W * H);
  EXPECT_EQ(src.mask, nullptr);
  if (test_util::alloc_peak::available()) {
    EXPECT_LT(peak, (int64_t)W * H / 2);
  }
  std::vector<uint8_t> row((size_t)W * 4);
  for (int32_t y : {0, 700, H - 1}) {
    image_source_rgba(&src, y, nullptr, W, row.data());
    for (int32_t x = 0; x < W; x++) {
      const size_t i = (size_t)y * W + x;
      ASSERT_EQ(memcmp(&row[4 * (size_t)x], &whole.rgba[4 * i], 3), 0) << x << ", " << y;
      ASSERT_EQ(row[4 * (size_t)x + 3], whole.mask[i]) << x << ", " << y;
    }
  }
  ASSERT_TRUE(image_source_make_whole(&src));
  ASSERT_NE(src.mask, nullptr);
  EXPECT_EQ(memcmp(src.mask, whole.mask.data(), (size_t)W * H), 0);
  for (int32_t y = 0; y < H; y++) {
    image_source_rgba(&src, y, nullptr, W, row.data());
    ASSERT_EQ(memcmp(row.data(), &whole.rgba[(size_t)y * W * 4], row.size()), 0) << y;
  }
  EXPECT_EQ(src.bytes, 4 * (int64_t)W * H);
  image_source_free(&src);
}
