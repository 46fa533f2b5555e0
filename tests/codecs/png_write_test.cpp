// PNG files hold the signature, IHDR, the rows (filter None) compressed in IDAT
// chunks of at most 2^31 - 1 bytes, and IEND, and decode with an independent
// reader to exactly the input pixels.
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "codec_test_util.h"
#include "codecs/codecs_internal.h"
#include "compression/compression.h"

using namespace codec_test;

namespace {

bytes deflate(const bytes& in) {
  uint8_t* out = nullptr;
  uint64_t n = 0;
  EXPECT_EQ(qx_deflate(in.data(), in.size(), &out, &n), 0);
  bytes z(out, out + n);
  free(out);
  return z;
}

// A chunk as the file should hold it: length, type, data, CRC of type + data.
bytes chunk(const char* type, const bytes& data) {
  bytes c = {uint8_t(data.size() >> 24), uint8_t(data.size() >> 16), uint8_t(data.size() >> 8),
             uint8_t(data.size())};
  c.insert(c.end(), type, type + 4);
  c.insert(c.end(), data.begin(), data.end());
  uint32_t crc = crc32_of(c.data() + 4, c.size() - 4);
  for (int s = 24; s >= 0; s -= 8) c.push_back(uint8_t(crc >> s));
  return c;
}

struct parsed_chunk {
  std::string type;
  bytes data;
};
std::vector<parsed_chunk> chunks_of(const bytes& png) {
  std::vector<parsed_chunk> v;
  size_t pos = 8;
  while (pos + 12 <= png.size()) {
    uint32_t n = be32(png, pos);
    if (pos + 12 + n > png.size()) break;
    v.push_back({std::string(png.begin() + long(pos) + 4, png.begin() + long(pos) + 8),
                 bytes(png.begin() + long(pos) + 8, png.begin() + long(pos) + 8 + n)});
    pos += 12 + n;
  }
  return v;
}

}  // namespace

TEST(PngLayout, OneByOneImageIsSignatureIhdrIdatIend) {
  image im = solid(1, 1, 0x12, 0x34, 0x56, 0x78);
  bytes png = encode_png(im);
  bytes want = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A,  // signature
                0x00, 0x00, 0x00, 0x0D, 0x49, 0x48, 0x44, 0x52, 0x00, 0x00, 0x00, 0x01, 0x00,
                0x00, 0x00, 0x01, 0x08, 0x06, 0x00, 0x00, 0x00, 0x1F, 0x15, 0xC4, 0x89};
  bytes idat = chunk("IDAT", deflate({0x00, 0x12, 0x34, 0x56, 0x78}));
  want.insert(want.end(), idat.begin(), idat.end());
  bytes iend = {0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};
  want.insert(want.end(), iend.begin(), iend.end());
  EXPECT_EQ(png, want);
}

TEST(PngLayout, RowsAreStoredUnchangedBehindFilterNone) {
  // Pixels with alpha 0 keep their colour bytes: nothing is premultiplied.
  image im = noise(7, 5, 1);
  for (int32_t x = 0; x < 7; x++) im.px(x, 2)[3] = 0;
  bytes png = encode_png(im);
  std::vector<parsed_chunk> c = chunks_of(png);
  ASSERT_EQ(c.size(), 3u);
  EXPECT_EQ(c[0].type, "IHDR");
  EXPECT_EQ(be32(c[0].data, 0), 7u);
  EXPECT_EQ(be32(c[0].data, 4), 5u);
  EXPECT_EQ(c[1].type, "IDAT");
  EXPECT_EQ(c[2].type, "IEND");
  bytes rows;
  for (int32_t y = 0; y < 5; y++) {
    rows.push_back(0);
    rows.insert(rows.end(), im.px(0, y), im.px(0, y) + 28);
  }
  EXPECT_EQ(c[1].data, deflate(rows));
}

TEST(PngDecode, IndependentReaderRestoresThePixels) {
  if (!external_tool::have_python()) GTEST_SKIP() << "python3 with zlib not available";
  std::vector<image> images = {solid(1, 1, 1, 2, 3, 4),
                               solid(1, 300, 255, 0, 0, 0),
                               solid(300, 1, 0, 0, 0, 255),
                               noise(9, 9, 2),
                               noise(257, 3, 3),
                               gradient(300, 200),
                               gradient(64, 1100)};
  image mixed = gradient(100, 100);  // transparent pixels with colour
  for (int32_t y = 10; y < 40; y++)
    for (int32_t x = 0; x < 100; x++) mixed.px(x, y)[3] = uint8_t(x % 3 == 0 ? 0 : x);
  images.push_back(mixed);
  std::vector<std::string> paths;
  std::vector<bytes> pixels;
  for (size_t i = 0; i < images.size(); i++) {
    SCOPED_TRACE(std::to_string(images[i].width) + "x" + std::to_string(images[i].height));
    std::string path = external_tool::scratch(std::to_string(i) + ".png");
    ASSERT_EQ(qx_png_write(path.c_str(), images[i].width, images[i].height, images[i].rgba.data()),
              1);
    EXPECT_EQ(external_tool::read_bytes(path), encode_png(images[i]));
    paths.push_back(path);
    pixels.push_back(images[i].rgba);
  }
  std::vector<bool> ok = python_png_matches(paths, pixels);
  for (size_t i = 0; i < ok.size(); i++) EXPECT_TRUE(ok[i]) << paths[i];
}

TEST(PngIdatSplit, LongStreamsAreCutIntoFullChunksAndARest) {
  image im = noise(40, 30, 4);
  bytes rows;
  for (int32_t y = 0; y < im.height; y++) {
    rows.push_back(0);
    rows.insert(rows.end(), im.px(0, y), im.px(0, y) + im.width * 4);
  }
  bytes z = deflate(rows);
  ASSERT_GT(z.size(), 3000u);
  std::vector<std::string> split_files;
  for (uint32_t max : {1u, 1000u, uint32_t(z.size() / 3), uint32_t(z.size() - 1),
                       uint32_t(z.size()), kPngMaxChunkData}) {
    SCOPED_TRACE(max);
    uint64_t size = 0;
    uint8_t* p = png_wrap(im.width, im.height, z.data(), z.size(), max, &size);
    ASSERT_NE(p, nullptr);
    bytes png(p, p + size);
    free(p);
    std::vector<parsed_chunk> c = chunks_of(png);
    size_t want = (z.size() + max - 1) / max;
    ASSERT_EQ(c.size(), want + 2);
    bytes joined;
    for (size_t i = 1; i <= want; i++) {
      EXPECT_EQ(c[i].type, "IDAT");
      EXPECT_EQ(c[i].data.size(), i < want ? max : z.size() - (want - 1) * size_t(max));
      joined.insert(joined.end(), c[i].data.begin(), c[i].data.end());
    }
    EXPECT_EQ(joined, z);
    EXPECT_EQ(size, 8 + 25 + 12 * want + z.size() + 12);
    if (max == 1000 || max == z.size() / 3) {
      split_files.push_back(external_tool::scratch(std::to_string(max) + ".png"));
      external_tool::write_bytes(split_files.back(), png);
    }
  }
  if (external_tool::have_python()) {
    std::vector<bool> ok = python_png_matches(split_files, {im.rgba, im.rgba});
    for (size_t i = 0; i < ok.size(); i++) EXPECT_TRUE(ok[i]) << split_files[i];
  }
  // A chunk cannot be longer than 2^31 - 1 bytes, nor empty of room.
  uint64_t size = 1;
  EXPECT_EQ(png_wrap(1, 1, z.data(), z.size(), kPngMaxChunkData + 1, &size), nullptr);
  EXPECT_EQ(png_wrap(1, 1, z.data(), z.size(), 0, &size), nullptr);
  EXPECT_EQ(size, 0u);
}

// Pins today's output, so work on speed cannot change a byte unnoticed.
TEST(PngRegression, FilesKeepTheirBytes) {
  bytes a = encode_png(gradient(300, 200));
  EXPECT_EQ(a.size(), 94429u);
  EXPECT_EQ(crc32_of(a.data(), a.size()), 0x697429c3u);
  bytes b = encode_png(noise(64, 48, 7));
  EXPECT_EQ(b.size(), 12435u);
  EXPECT_EQ(crc32_of(b.data(), b.size()), 0xfac8b78du);
}

// Pixels held as planes encode to exactly the bytes of the same pixels
// interleaved, for PNG with and without an alpha plane and for JPEG, and so
// do planes stored inverted with some rows not drawn; odd sizes make rows
// straddle the compressor's 64 KiB blocks.
TEST(EncodePlanes, SameBytesAsInterleavedPixels) {
  uint32_t seed = 7;
  auto next = [&] { return seed = seed * 1664525u + 1013904223u; };
  // Runs of one gray with some noise, as pages have; then squares of a few
  // colours, most of them filling whole 8 x 8 blocks, so that blocks of one
  // colour follow blocks of another; then colour noise, where hardly a row
  // of eight pixels repeats (the JPEG encoder keeps converted rows by their
  // pixels, and every kept row is replaced many times over).
  const uint8_t palette[4][3] = {{255, 255, 255}, {0, 0, 0}, {200, 30, 90}, {255, 255, 254}};
  enum { kGray, kSquares, kColourNoise };
  for (auto [w, h, kind] :
       {std::tuple{1, 1, kGray}, std::tuple{3, 5, kGray}, std::tuple{257, 131, kGray},
        std::tuple{1001, 70, kGray}, std::tuple{203, 61, kSquares}, std::tuple{64, 64, kSquares},
        std::tuple{517, 93, kColourNoise}}) {
    const bool squares = kind == kSquares;
    size_t n = size_t(w) * size_t(h);
    std::vector<uint8_t> rgb(n * 3), alpha(n), rgba(n * 4), opaque(n * 4);
    for (size_t i = 0; i < n; i++) {
      const size_t x = i % size_t(w), y = i / size_t(w);
      const uint8_t v = (i / 37) % 3 == 0 ? uint8_t(next() >> 24) : 255;
      const uint8_t* sq = palette[(x / 8 + y / 8 * 3 + (x / 24 == 2 && y % 16 == 5)) % 4];
      for (int c = 0; c < 3; c++)
        rgb[i * 3 + c] = rgba[i * 4 + c] = opaque[i * 4 + c] = kind == kColourNoise
                                                                   ? uint8_t(next() >> 24)
                                                               : squares ? sq[c]
                                                                         : v;
      alpha[i] = rgba[i * 4 + 3] = i % 11 == 0 ? uint8_t(next() >> 24) : 255;
      opaque[i * 4 + 3] = 255;
    }
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h) + " kind " + std::to_string(kind));
    auto same = [](uint8_t* a, uint64_t an, uint8_t* b, uint64_t bn) {
      bool eq = a && b && an == bn && memcmp(a, b, an) == 0;
      free(a);
      free(b);
      return eq;
    };
    uint64_t s1 = 0, s2 = 0;
    uint8_t* p1 = qx_png_encode(w, h, rgba.data(), &s1);
    uint8_t* p2 = qx_png_encode_planes(w, h, rgb.data(), alpha.data(), &s2);
    EXPECT_TRUE(same(p1, s1, p2, s2));
    p1 = qx_png_encode(w, h, opaque.data(), &s1);
    p2 = qx_png_encode_planes(w, h, rgb.data(), nullptr, &s2);
    EXPECT_TRUE(same(p1, s1, p2, s2));
    p1 = qx_jpeg_encode(w, h, rgba.data(), &s1);
    p2 = qx_jpeg_encode_planes(w, h, rgb.data(), &s2);
    EXPECT_TRUE(same(p1, s1, p2, s2));

    // The same colours stored inverted, as the page canvas holds them; rows
    // flagged as not drawn are white whatever they hold. Every fifth row is
    // made white and flagged so, its stored bytes left as noise.
    std::vector<uint8_t> inv(n * 3), drawn(size_t(h), 1), blanked(rgb), blanked_a(alpha);
    for (size_t i = 0; i < n * 3; i++) inv[i] = uint8_t(~rgb[i]);
    for (int32_t y = 0; y < h; y += 5) {
      drawn[size_t(y)] = 0;
      for (size_t i = size_t(y) * w * 3; i < size_t(y + 1) * w * 3; i++) {
        blanked[i] = 255;
        inv[i] = uint8_t(next() >> 24);
      }
      for (size_t i = size_t(y) * w; i < size_t(y + 1) * w; i++) blanked_a[i] = 255;
    }
    p1 = qx_png_encode_planes(w, h, blanked.data(), blanked_a.data(), &s1);
    p2 = qx_png_encode_inverted_planes(w, h, inv.data(), blanked_a.data(), drawn.data(), &s2);
    EXPECT_TRUE(same(p1, s1, p2, s2));
    p1 = qx_png_encode_planes(w, h, blanked.data(), nullptr, &s1);
    p2 = qx_png_encode_inverted_planes(w, h, inv.data(), nullptr, drawn.data(), &s2);
    EXPECT_TRUE(same(p1, s1, p2, s2));
    p1 = qx_jpeg_encode_planes(w, h, blanked.data(), &s1);
    p2 = qx_jpeg_encode_inverted_planes(w, h, inv.data(), drawn.data(), &s2);
    EXPECT_TRUE(same(p1, s1, p2, s2));
  }
  uint64_t size = 9;
  EXPECT_EQ(qx_png_encode_planes(2, 2, nullptr, nullptr, &size), nullptr);
  EXPECT_EQ(size, 0u);
}
