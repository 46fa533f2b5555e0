// JPEG files carry fixed JFIF headers and the Annex K example tables, code
// every 8 x 8 block of Y, Cb and Cr so that a standard decoder reads back an
// image close to the input, and describe their top-left block on stderr when
// JENC_DBG is set.
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "codec_test_util.h"
#include "jpeg_scan.h"
#include "support/env.h"

using namespace codec_test;

namespace {

// Restores JENC_DBG as it was when the test ends.
class debug_env {
 public:
  debug_env() {
    const char* v = getenv("JENC_DBG");
    had_ = v != nullptr;
    if (v) old_ = v;
  }
  ~debug_env() {
    if (had_)
      test_env::set("JENC_DBG", old_.c_str());
    else
      test_env::unset("JENC_DBG");
  }

 private:
  bool had_ = false;
  std::string old_;
};

// A black and white checkerboard of single pixels: the highest frequency, so
// coefficient 63 of its luminance blocks is far from zero.
image checkerboard(int32_t w, int32_t h) {
  image im = blank(w, h);
  for (int32_t y = 0; y < h; y++)
    for (int32_t x = 0; x < w; x++) {
      uint8_t v = (x + y) % 2 ? 255 : 0;
      uint8_t* p = im.px(x, y);
      p[0] = p[1] = p[2] = v;
      p[3] = 255;
    }
  return im;
}

// The image grown to whole blocks by repeating its last column and row.
image padded(const image& im) {
  image out = blank((im.width + 7) / 8 * 8, (im.height + 7) / 8 * 8);
  for (int32_t y = 0; y < out.height; y++)
    for (int32_t x = 0; x < out.width; x++) {
      const uint8_t* src = &im.rgba[(size_t(std::min(y, im.height - 1)) * size_t(im.width) +
                                     size_t(std::min(x, im.width - 1))) *
                                    4];
      std::copy(src, src + 4, out.px(x, y));
    }
  return out;
}

jpeg_scan::parsed parse_ok(const bytes& f) {
  jpeg_scan::parsed p = jpeg_scan::parse(f);
  EXPECT_EQ(p.error, "");
  return p;
}

std::string encode_with_debug(const image& im) {
  test_env::set("JENC_DBG", "1");
  testing::internal::CaptureStderr();
  bytes f = encode_jpeg(im);
  std::string err = testing::internal::GetCapturedStderr();
  test_env::unset("JENC_DBG");
  return err;
}

}  // namespace

TEST(JpegLayout, FixedHeadersAndTrailer) {
  const bytes prefix = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 0x4A, 0x46, 0x49, 0x46, 0x00,
                        0x01, 0x01, 0x01, 0x00, 0x30, 0x00, 0x30, 0x00, 0x00, 0xFF, 0xDB,
                        0x00, 0x43, 0x00, 0x10, 0x0B, 0x0C, 0x0E, 0x0C, 0x0A, 0x10, 0x0E};
  for (const image& im : {solid(1, 1, 9, 9, 9), gradient(300, 200), noise(8, 1000, 5)}) {
    SCOPED_TRACE(std::to_string(im.width) + "x" + std::to_string(im.height));
    bytes f = encode_jpeg(im);
    ASSERT_GT(f.size(), 623u);  // headers, at least a byte of scan, EOI
    EXPECT_TRUE(std::equal(prefix.begin(), prefix.end(), f.begin()));
    EXPECT_EQ(f[f.size() - 2], 0xFF);
    EXPECT_EQ(f.back(), 0xD9);
    // Second DQT right after the first, then SOF0 with the size, big-endian.
    EXPECT_EQ(bytes(f.begin() + 89, f.begin() + 94), (bytes{0xFF, 0xDB, 0x00, 0x43, 0x01}));
    bytes sof = {0xFF,
                 0xC0,
                 0x00,
                 0x11,
                 0x08,
                 uint8_t(im.height >> 8),
                 uint8_t(im.height),
                 uint8_t(im.width >> 8),
                 uint8_t(im.width),
                 0x03,
                 0x01,
                 0x11,
                 0x00,
                 0x02,
                 0x11,
                 0x01,
                 0x03,
                 0x11,
                 0x01};
    EXPECT_EQ(bytes(f.begin() + 158, f.begin() + 177), sof);
    // Four DHT segments: luma DC, luma AC, chroma DC, chroma AC.
    size_t at = 177;
    for (auto [length, id] : {std::pair{0x1F, 0x00}, {0xB5, 0x10}, {0x1F, 0x01}, {0xB5, 0x11}}) {
      EXPECT_EQ(bytes(f.begin() + long(at), f.begin() + long(at) + 5),
                (bytes{0xFF, 0xC4, 0x00, uint8_t(length), uint8_t(id)}));
      at += 2 + size_t(length);
    }
    EXPECT_EQ(bytes(f.begin() + long(at), f.begin() + long(at) + 14),
              (bytes{0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x01, 0x00, 0x02, 0x11, 0x03, 0x11, 0x00, 0x3F,
                     0x00}));
  }
}

TEST(JpegLayout, HuffmanTablesAreTheCompleteAnnexKTables) {
  jpeg_scan::parsed p = parse_ok(encode_jpeg(solid(1, 1, 0, 0, 0)));
  ASSERT_EQ(p.tables.size(), 4u);
  std::set<int> dc_symbols, ac_symbols = {0x00, 0xF0};
  for (int s = 0; s < 12; s++) dc_symbols.insert(s);
  for (int run = 0; run < 16; run++)
    for (int size = 1; size <= 10; size++) ac_symbols.insert(run << 4 | size);
  for (const jpeg_scan::huffman_table& t : p.tables) {
    SCOPED_TRACE(t.cls * 16 + t.id);
    std::set<int> syms(t.symbols.begin(), t.symbols.end());
    EXPECT_EQ(syms.size(), t.symbols.size()) << "repeated symbol";
    EXPECT_EQ(syms, t.cls == 0 ? dc_symbols : ac_symbols);
    // A prefix code in which no code is all ones.
    double kraft = 0;
    for (const std::string& c : t.codes()) {
      kraft += 1.0 / double(1u << c.size());
      EXPECT_NE(c, std::string(c.size(), '1'));
    }
    EXPECT_LE(kraft, 1.0);
  }
  // Some code words as Tables K.3 to K.6 list them.
  EXPECT_EQ(p.tables[0].code_of(0), "00");
  EXPECT_EQ(p.tables[0].code_of(11), "111111110");
  EXPECT_EQ(p.tables[1].code_of(0x00), "1010");
  EXPECT_EQ(p.tables[1].code_of(0x01), "00");
  EXPECT_EQ(p.tables[1].code_of(0x11), "1100");
  EXPECT_EQ(p.tables[1].code_of(0xF0), "11111111001");
  EXPECT_EQ(p.tables[1].code_of(0xFA), "1111111111111110");
  EXPECT_EQ(p.tables[2].code_of(0), "00");
  EXPECT_EQ(p.tables[2].code_of(11), "11111111110");
  EXPECT_EQ(p.tables[3].code_of(0x00), "00");
  EXPECT_EQ(p.tables[3].code_of(0x01), "01");
  EXPECT_EQ(p.tables[3].code_of(0xF0), "1111111010");
  EXPECT_EQ(p.tables[3].code_of(0xFA), "1111111111111110");
}

TEST(JpegEntropy, ScanHoldsThreeBlocksPerMcuAndEndsWithItsPadding) {
  for (const image& im : {solid(1, 1, 200, 10, 30), noise(9, 9, 6), gradient(17, 13),
                          gradient(300, 200), noise(64, 48, 7), checkerboard(16, 16)}) {
    SCOPED_TRACE(std::to_string(im.width) + "x" + std::to_string(im.height));
    jpeg_scan::parsed p = parse_ok(encode_jpeg(im));
    size_t mcus = size_t((im.width + 7) / 8) * size_t((im.height + 7) / 8);
    EXPECT_EQ(p.blocks.size(), 3 * mcus);
    // Eleven 1-bits, then 0-bits to the byte boundary.
    ASSERT_GE(p.tail_bits.size(), 11u);
    EXPECT_LT(p.tail_bits.size(), 19u);
    EXPECT_EQ(p.tail_bits, std::string(11, '1') + std::string(p.tail_bits.size() - 11, '0'));
  }
  // A block whose last coefficient is non-zero has no end-of-block code after
  // it; the scan still decodes to whole blocks.
  EXPECT_TRUE(parse_ok(encode_jpeg(checkerboard(16, 16))).coefficient63);
}

TEST(JpegEdges, PartialBlocksRepeatTheLastColumnAndRow) {
  // A 9 x 9 image codes like the 16 x 16 image that repeats its ninth column
  // and row; a 1 x 1 image like 8 x 8 of its pixel. Only the size differs.
  for (const image& im : {noise(9, 9, 8), solid(1, 1, 250, 3, 90), gradient(13, 21)}) {
    SCOPED_TRACE(std::to_string(im.width) + "x" + std::to_string(im.height));
    bytes small = encode_jpeg(im);
    image big_image = padded(im);
    bytes big = encode_jpeg(big_image);
    ASSERT_EQ(small.size(), big.size());
    for (size_t at : {163, 164, 165, 166}) big[at] = small[at];
    EXPECT_EQ(small, big);
  }
}

TEST(JpegEdges, AlphaMakesNoDifference) {
  image a = gradient(30, 20);
  image b = a;
  for (size_t i = 3; i < b.rgba.size(); i += 4) b.rgba[i] = uint8_t(i * 7);
  EXPECT_EQ(encode_jpeg(a), encode_jpeg(b));
}

TEST(JpegDecode, DjpegReadsBackACloseImage) {
  if (!have_djpeg()) GTEST_SKIP() << "djpeg (libjpeg-turbo-progs) not installed";
  struct input {
    image im;
    double max_error;  // mean absolute error per channel allowed
  };
  std::vector<input> inputs = {
      {gradient(300, 200), 3.0},        {gradient(17, 13), 5.0},
      {solid(1, 1, 30, 160, 250), 2.0}, {solid(40, 24, 255, 255, 255), 1.0},
      {noise(33, 17, 9), 80.0},         {checkerboard(16, 16), 80.0}};
  for (size_t i = 0; i < inputs.size(); i++) {
    const image& im = inputs[i].im;
    SCOPED_TRACE(std::to_string(im.width) + "x" + std::to_string(im.height));
    std::string path = external_tool::scratch(std::to_string(i) + ".jpg");
    ASSERT_EQ(qx_jpeg_write(path.c_str(), im.width, im.height, im.rgba.data()), 1);
    EXPECT_EQ(external_tool::read_bytes(path), encode_jpeg(im));
    image back;
    std::string warnings;
    ASSERT_TRUE(djpeg_decode(path, &back, &warnings));
    // The scan ends with eleven 1-bits; when they spill into bytes the
    // decoder has not read ahead, djpeg reports those bytes. Nothing else.
    if (!warnings.empty()) {
      const std::string head = "Corrupt JPEG data: ",
                        tail = " extraneous bytes before marker 0xd9\n";
      EXPECT_TRUE(warnings.size() == head.size() + 1 + tail.size() && warnings.find(head) == 0 &&
                  warnings[head.size()] >= '1' && warnings[head.size()] <= '3' &&
                  warnings.substr(head.size() + 1) == tail)
          << warnings;
    }
    ASSERT_EQ(back.width, im.width);
    ASSERT_EQ(back.height, im.height);
    double error[3] = {};
    for (size_t p = 0; p < im.rgba.size(); p += 4)
      for (int c = 0; c < 3; c++)
        error[c] += std::abs(int(im.rgba[p + size_t(c)]) - int(back.rgba[p + size_t(c)]));
    for (int c = 0; c < 3; c++) {
      double mean = error[c] / double(im.width * im.height);
      EXPECT_LE(mean, inputs[i].max_error) << "channel " << c;
    }
  }
}

TEST(JpegDebugLine, ThreeLinesForTheTopLeftBlockOnlyWhenAsked) {
  debug_env restore;
  test_env::unset("JENC_DBG");
  testing::internal::CaptureStderr();
  encode_jpeg(gradient(20, 20));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

  // Pure red: Y = 76, Cb = 84, Cr = 255 in every sample, so only the DC
  // values 8 (s - 128) / Q are non-zero: -416/16, -352/17, 1016/17 rounded.
  EXPECT_EQ(encode_with_debug(solid(3, 2, 255, 0, 0)),
            "ENC ci=0 q[:8]=-26 0 0 0 0 0 0 0 nz=1\n"
            "ENC ci=1 q[:8]=-21 0 0 0 0 0 0 0 nz=1\n"
            "ENC ci=2 q[:8]=60 0 0 0 0 0 0 0 nz=1\n");

  // On a busy image of many blocks the three lines describe the first three
  // blocks of the scan.
  image im = noise(40, 30, 10);
  std::string lines = encode_with_debug(im);
  jpeg_scan::parsed p = parse_ok(encode_jpeg(im));
  ASSERT_GE(p.blocks.size(), 3u);
  std::string want;
  for (int c = 0; c < 3; c++) {
    const std::array<int, 64>& q = p.blocks[size_t(c)];
    int nz = 0;
    for (int v : q) nz += v != 0;
    std::ostringstream line;
    line << "ENC ci=" << c << " q[:8]=";
    for (int k = 0; k < 8; k++) line << q[size_t(k)] << (k < 7 ? " " : "");
    line << " nz=" << nz << "\n";
    want += line.str();
  }
  EXPECT_EQ(lines, want);
}

// Pins today's output: the colour conversion, the order of the DCT sums and
// the rounding all show in these bytes, so work on speed cannot change them
// unnoticed. (The cosines come from the C library's cos.)
TEST(JpegRegression, FilesKeepTheirBytes) {
  bytes a = encode_jpeg(gradient(300, 200));
  EXPECT_EQ(a.size(), 4444u);
  EXPECT_EQ(crc32_of(a.data(), a.size()), 0xccaad2cdu);
  bytes b = encode_jpeg(noise(64, 48, 7));
  EXPECT_EQ(b.size(), 3251u);
  EXPECT_EQ(crc32_of(b.data(), b.size()), 0xf285e13du);
  bytes c = encode_jpeg(gradient(16, 16));
  EXPECT_EQ(c.size(), 674u);
  EXPECT_EQ(crc32_of(c.data(), c.size()), 0xa6705b72u);
}
