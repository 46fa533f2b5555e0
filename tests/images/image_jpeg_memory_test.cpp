// JPEG image data (decoded, resampled to the dictionary's size, refused
// data read as raw samples, gray JPEGs with 2 x 2 sampling) and the memory
// one image may take: large images with little data are cheap or skipped.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "codecs/codecs.h"
#include "codecs/jpeg_decode.h"
#include "images/image_test_util.h"
#include "support/alloc_peak.h"
#include "support/external_tool.h"

using image_test::decode;
using image_test::decoded;
using image_test::image_doc;
using image_test::raw;

namespace {

// A baseline JPEG of a w x h pattern from the library's own encoder.
std::string make_jpeg(int32_t w, int32_t h) {
  std::vector<uint8_t> rgba((size_t)w * h * 4);
  for (int32_t y = 0; y < h; y++)
    for (int32_t x = 0; x < w; x++) {
      uint8_t* p = &rgba[((size_t)y * w + x) * 4];
      p[0] = (uint8_t)(x * 255 / (w > 1 ? w - 1 : 1));
      p[1] = (uint8_t)(y * 255 / (h > 1 ? h - 1 : 1));
      p[2] = (uint8_t)((x + y) % 2 ? 40 : 220);
      p[3] = 255;
    }
  uint64_t size = 0;
  uint8_t* jpg = qx_jpeg_encode(w, h, rgba.data(), &size);
  EXPECT_NE(jpg, nullptr);
  std::string s(reinterpret_cast<char*>(jpg), size);
  free(jpg);
  return s;
}

// The decoder's own pixels for the JPEG.
std::vector<uint8_t> jpeg_pixels(const std::string& jpg, int32_t* w, int32_t* h) {
  const char* msg = nullptr;
  uint8_t* px = qx_jpeg_decode_impl(test_util::bytes(jpg), jpg.size(), w, h, &msg);
  EXPECT_NE(px, nullptr) << msg;
  std::vector<uint8_t> v;
  if (px) v.assign(px, px + (size_t)*w * *h * 4);
  free(px);
  return v;
}

decoded decode_dct(const std::string& jpg, int32_t w, int32_t h) {
  return decode(image_doc("/Width " + std::to_string(w) + " /Height " + std::to_string(h) +
                              " /BitsPerComponent 8 /ColorSpace /DeviceRGB /Filter /DCTDecode",
                          jpg));
}

// Sets the frame size in the first SOF0 of a JPEG.
std::string with_frame_size(std::string jpg, int w, int h) {
  size_t sof = jpg.find("\xFF\xC0");
  EXPECT_NE(sof, std::string::npos);
  jpg[sof + 5] = (char)(h >> 8);
  jpg[sof + 6] = (char)h;
  jpg[sof + 7] = (char)(w >> 8);
  jpg[sof + 8] = (char)w;
  return jpg;
}

}  // namespace

TEST(ImageJpeg, FrameResampledToDictionarySize) {
  // Same size: the decoder's pixels as they are.
  std::string jpg = make_jpeg(16, 8);
  int32_t jw = 0, jh = 0;
  std::vector<uint8_t> full = jpeg_pixels(jpg, &jw, &jh);
  decoded d = decode_dct(jpg, 16, 8);
  ASSERT_TRUE(d.ok);
  EXPECT_EQ(d.rgba, full);

  // Other sizes: pixel (x, y) takes frame pixel (floor(x jw / W), floor(y jh / H)).
  struct size_case {
    int32_t jw, jh, w, h;
  };
  for (size_case c : std::vector<size_case>{{16, 16, 8, 8}, {8, 8, 16, 16}, {10, 6, 4, 4}}) {
    SCOPED_TRACE(std::to_string(c.jw) + "x" + std::to_string(c.jh) + " as " + std::to_string(c.w) +
                 "x" + std::to_string(c.h));
    jpg = make_jpeg(c.jw, c.jh);
    full = jpeg_pixels(jpg, &jw, &jh);
    d = decode_dct(jpg, c.w, c.h);
    ASSERT_TRUE(d.ok);
    ASSERT_EQ(d.w, c.w);
    ASSERT_EQ(d.h, c.h);
    for (int32_t y = 0; y < c.h; y++)
      for (int32_t x = 0; x < c.w; x++) {
        size_t u = (size_t)x * c.jw / c.w, v = (size_t)y * c.jh / c.h;
        ASSERT_EQ(memcmp(&d.rgba[((size_t)y * c.w + x) * 4], &full[(v * c.jw + u) * 4], 4), 0)
            << x << "," << y;
      }
  }

  // Data the decoder refuses are read as raw samples.
  d = decode(image_doc("/Width 2 /Height 2 /ColorSpace /DeviceGray /Filter /DCTDecode",
                       raw({0xFF, 0xD8, 16, 32})));
  ASSERT_TRUE(d.ok);
  EXPECT_EQ(d.all(), "255,255,255 216,216,216 16,16,16 32,32,32");
}

TEST(ImageJpeg, GrayWithTwoByTwoSampling) {
  if (!external_tool::available("cjpeg -version") || !external_tool::available("djpeg -version"))
    GTEST_SKIP() << "cjpeg/djpeg not installed";
  // 24 x 16 gray: with 2 x 2 sampling the single component is still coded
  // one block per MCU, three blocks across.
  const int w = 24, h = 16;
  std::string pgm = "P5 24 16 255\n";
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) pgm += (char)((x * 10 + y * 7) % 256);
  std::string in = external_tool::scratch("in.pgm"), out = external_tool::scratch("out.jpg");
  std::string ref = external_tool::scratch("ref.pgm");
  external_tool::write_bytes(in, test_util::bytes(pgm), pgm.size());
  ASSERT_EQ(external_tool::run("cjpeg -grayscale -sample 2x2 -quality 95 " +
                               external_tool::quote(in) + " > " + external_tool::quote(out)),
            0);
  ASSERT_EQ(external_tool::run("djpeg -dct float -pnm " + external_tool::quote(out) + " > " +
                               external_tool::quote(ref)),
            0);
  std::vector<uint8_t> jpg = external_tool::read_bytes(out),
                       expect = external_tool::read_bytes(ref);
  ASSERT_GE(expect.size(), (size_t)(w * h));
  const uint8_t* ref_px = expect.data() + expect.size() - w * h;  // after the PGM header

  decoded d = decode_dct(std::string(jpg.begin(), jpg.end()), w, h);
  ASSERT_TRUE(d.ok);
  int worst = 0;
  for (int i = 0; i < w * h; i++) worst = std::max(worst, std::abs(d.rgba[i * 4] - ref_px[i]));
  EXPECT_LE(worst, 2);
}

TEST(ImageMemory, LargeImagesWithLittleData) {
  // Within the bound: a 4096 x 4096 1-bit image of three bytes costs its
  // result, not a padded copy of its samples; pixels past the data read 0.
  test_util::alloc_peak::start();
  decoded d =
      decode(image_doc("/Width 4096 /Height 4096 /BitsPerComponent 1 /ColorSpace /DeviceGray",
                       raw({0xFF, 0x00, 0xFF})));
  int64_t peak = test_util::alloc_peak::stop();
  ASSERT_TRUE(d.ok);
  EXPECT_EQ(d.rgb(0), "255,255,255");
  EXPECT_EQ(d.rgb(8), "0,0,0");
  EXPECT_EQ(d.rgb(16), "255,255,255");
  EXPECT_EQ(d.rgb(24), "0,0,0");
  EXPECT_EQ(d.rgb(4096), "0,0,0");
  const int64_t result = 4096LL * 4096 * 4;
  if (test_util::alloc_peak::available()) {
    // The result, its copy in the test, and little else.
    EXPECT_LT(peak, 2 * result + (1 << 20));
  }
  d = {};

  // Beyond the bound: 20000 x 20000 with a few bytes, raw or Flate, is
  // skipped before anything large is allocated.
  for (const char* filter : {"", "/Filter /FlateDecode"}) {
    SCOPED_TRACE(filter);
    std::string pdf = image_doc(
        "/Width 20000 /Height 20000 /BitsPerComponent 8 /ColorSpace "
        "/DeviceRGB /SMask 11 0 R " +
            std::string(filter),
        raw({0x78, 0x9c, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01}),
        image_test::stream_obj(11, "", "abc"));
    test_util::loaded_doc doc(pdf);
    ASSERT_TRUE(doc.ok);
    test_util::alloc_peak::start();
    decoded big = decode(&doc.doc, doc.find(10));
    peak = test_util::alloc_peak::stop();
    EXPECT_FALSE(big.ok);
    if (test_util::alloc_peak::available()) {
      EXPECT_LT(peak, 1 << 20);
    }
  }

  // A JPEG frame beyond the bound is not decoded, whatever the dictionary
  // says: its planes and output alone would take gigabytes.
  std::string jpg = with_frame_size(make_jpeg(8, 8), 9000, 9000);
  test_util::loaded_doc doc(
      image_doc("/Width 1 /Height 1 /ColorSpace /DeviceRGB /Filter /DCTDecode", jpg));
  test_util::alloc_peak::start();
  EXPECT_FALSE(decode(&doc.doc, doc.find(10)).ok);
  peak = test_util::alloc_peak::stop();
  if (test_util::alloc_peak::available()) {
    EXPECT_LT(peak, 16 << 20);
  }
}

TEST(ImageSource, JpegKeptAsPlanesWithTheSameColours) {
  // A 1024 x 512 frame shown as 1024 x 512 and as 300 x 700: rows asked for
  // with scattered columns give what the whole-block decode gives, and
  // decoding never builds an RGBA copy of the frame.
  const int64_t frame = 1024 * 512;
  const std::string jpg = make_jpeg(1024, 512);
  for (auto [w, h] : std::vector<std::pair<int32_t, int32_t>>{{1024, 512}, {300, 700}}) {
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
    const std::string pdf =
        image_doc("/Width " + std::to_string(w) + " /Height " + std::to_string(h) +
                      " /ColorSpace /DeviceRGB /Filter /DCTDecode",
                  jpg);
    const decoded whole = decode(pdf);
    ASSERT_TRUE(whole.ok);
    test_util::loaded_doc doc(pdf);
    ASSERT_TRUE(doc.ok);
    image_source src;
    test_util::alloc_peak::start();
    ASSERT_TRUE(decode_image_source(&doc.doc, doc.find(10), &src));
    const int64_t peak = test_util::alloc_peak::stop();
    EXPECT_EQ(src.width, w);
    EXPECT_EQ(src.height, h);
    EXPECT_EQ(src.mask, nullptr);
    // Three planes of the frame, and little besides.
    EXPECT_GE(src.bytes, 3 * frame);
    EXPECT_LT(src.bytes, 4 * frame);
    if (test_util::alloc_peak::available()) {
      EXPECT_LT(peak, 4 * frame);
    }
    // The same from the planes and, once converted for repeated drawing,
    // from the RGBA block that replaces them.
    const std::vector<int32_t> xs = {w - 1, 0, 7, 7, w / 2, 1};
    std::vector<uint8_t> got(xs.size() * 4);
    for (int pass = 0; pass < 2; pass++) {
      for (int32_t y : {0, h / 3, h - 1}) {
        image_source_rgba(&src, y, xs.data(), (int32_t)xs.size(), got.data());
        for (size_t k = 0; k < xs.size(); k++)
          EXPECT_EQ(memcmp(&got[k * 4], &whole.rgba[((size_t)y * w + xs[k]) * 4], 4), 0)
              << pass << ": " << xs[k] << "," << y;
      }
      ASSERT_TRUE(image_source_keep_rgba(&src));
      EXPECT_EQ(src.bytes, (int64_t)w * h * 4);
    }
    image_source_free(&src);
    EXPECT_EQ(src.samples, nullptr);
  }
}

TEST(ImageSource, SamplesKeptAsDecodedAndEightBitMaskAdopted) {
  // 8-bit RGB samples are kept as they are (3 bytes a pixel, not 4), and an
  // 8-bit soft mask with data to spare becomes the alpha plane as it is.
  std::string samples, mask;
  for (int i = 0; i < 6; i++) samples += raw({i * 40, 255 - i * 40, 7});
  mask = raw({0, 50, 100, 150, 200, 250, 99, 99});
  const std::string pdf = image_doc(
      "/Width 3 /Height 2 /BitsPerComponent 8 /ColorSpace /DeviceRGB /SMask 11 0 R", samples,
      image_test::stream_obj(11, "/Width 3 /Height 2 /BitsPerComponent 8", mask));
  const decoded whole = decode(pdf);
  ASSERT_TRUE(whole.ok);
  test_util::loaded_doc doc(pdf);
  ASSERT_TRUE(doc.ok);
  image_source src;
  ASSERT_TRUE(decode_image_source(&doc.doc, doc.find(10), &src));
  EXPECT_EQ(src.bytes, 18 + 6);
  ASSERT_NE(src.mask, nullptr);
  EXPECT_EQ(std::vector<uint8_t>(src.mask, src.mask + 6), whole.mask);
  EXPECT_EQ(std::vector<uint8_t>(whole.mask.begin(), whole.mask.end()),
            std::vector<uint8_t>(mask.begin(), mask.begin() + 6));
  uint8_t row[12];
  image_source_rgba(&src, 1, nullptr, 3, row);
  EXPECT_EQ(memcmp(row, &whole.rgba[12], 12), 0);
  EXPECT_EQ(row[0], 120);
  EXPECT_EQ(row[1], 135);
  image_source_free(&src);
}

TEST(ImageSource, JpegDrawnSmallKeepsOnlyTheRowsItShows) {
  // A 1024 x 512 frame drawn 40 and 12 device rows high holds a few of its
  // rows, yet every drawing is the one its decoded pixels, given as plain
  // samples, make: alone, twice at other sizes (the second drawing, from the
  // page's image cache, shows rows the first did not keep), and under a
  // clip.
  const int32_t W = 1024, H = 512;
  const std::string jpg = make_jpeg(W, H);
  int32_t jw = 0, jh = 0;
  const std::vector<uint8_t> px = jpeg_pixels(jpg, &jw, &jh);
  ASSERT_EQ(jw, W);
  // The dictionary's size as the frame's, and another (the frame resampled
  // by nearest neighbour).
  for (auto [dw, dh] : {std::pair{W, H}, std::pair{300, 700}}) {
    std::string samples;
    for (int32_t y = 0; y < dh; y++)
      for (int32_t x = 0; x < dw; x++) {
        const int32_t u = std::min((int32_t)((double)x * W / dw), W - 1);
        const int32_t v = std::min((int32_t)((double)y * H / dh), H - 1);
        samples.append((const char*)&px[((size_t)v * W + u) * 4], 3);
      }
    const std::string dict = "/Width " + std::to_string(dw) + " /Height " + std::to_string(dh) +
                             " /BitsPerComponent 8 /ColorSpace /DeviceRGB";
    for (const char* content :
         {"q 100 0 0 40 0 10 cm /Im Do Q",
          "q 30 0 0 12 0 0 cm /Im Do Q q 100 0 0 60 0 30 cm /Im Do Q",
          "q 0 0 50 50 re W n 100 0 0 -90 0 95 cm /Im Do Q q 100 0 0 90 0 5 cm /Im Do Q"}) {
      SCOPED_TRACE(std::string(content) + " as " + std::to_string(dw) + "x" + std::to_string(dh));
      const std::string res = "/XObject << /Im 10 0 R >>";
      image_test::rendered dct(image_test::page_doc(
          content, res, image_test::image_obj(10, dict + " /Filter /DCTDecode", jpg)));
      image_test::rendered plain(
          image_test::page_doc(content, res, image_test::image_obj(10, dict, samples)));
      ASSERT_TRUE(dct.rgba && plain.rgba);
      ASSERT_EQ(dct.w * dct.h, plain.w * plain.h);
      EXPECT_EQ(memcmp(dct.rgba, plain.rgba, (size_t)dct.w * dct.h * 4), 0);
    }
  }
  const std::string dict = "/Width 1024 /Height 512 /BitsPerComponent 8 /ColorSpace /DeviceRGB";

  // Decoding for three rows: the account is charged the whole planes, the
  // decoder holds far less, and the rows shown are the frame's until the
  // source is made whole, when every row is.
  const std::string pdf = image_doc(dict + " /Filter /DCTDecode", jpg);
  test_util::loaded_doc doc(pdf);
  ASSERT_TRUE(doc.ok);
  struct three {
    static void rows(const void*, int32_t, int32_t height, uint8_t* shown) {
      shown[0] = shown[100] = shown[height - 1] = 1;
    }
  };
  const image_row_chooser chooser = {nullptr, three::rows};
  image_source src;
  test_util::alloc_peak::start();
  ASSERT_TRUE(decode_image_source_rows(&doc.doc, doc.find(10), &chooser, &src));
  const int64_t peak = test_util::alloc_peak::stop();
  EXPECT_GE(src.bytes, 3 * (int64_t)W * H);
  if (test_util::alloc_peak::available()) {
    EXPECT_LT(peak, (int64_t)W * H);
  }
  std::vector<uint8_t> row((size_t)W * 4);
  for (int pass = 0; pass < 2; pass++) {
    for (int32_t y = 0; y < H; y++) {
      if (pass == 0 && y != 0 && y != 100 && y != H - 1) continue;
      image_source_rgba(&src, y, nullptr, W, row.data());
      ASSERT_EQ(memcmp(row.data(), &px[(size_t)y * W * 4], row.size()), 0) << pass << ": " << y;
    }
    ASSERT_TRUE(image_source_make_whole(&src));
  }
  image_source_free(&src);
}
