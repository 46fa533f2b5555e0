// Files from an independent encoder (cjpeg) decode to an independent
// decoder's pixels (djpeg) within a few levels, a multi-scan file yields its
// first scan, a file cut at a restart marker keeps the rows before it, and
// progressive, 12-bit and arithmetic-coded files are refused with their texts.
// Skipped when cjpeg and djpeg are not installed.
#include <cmath>

#include <gtest/gtest.h>

#include "jpeg_test_util.h"

using namespace jpeg_test;

namespace {

#define REQUIRE_TOOLS() \
  if (!have_tools()) GTEST_SKIP() << "cjpeg/djpeg missing (Debian: libjpeg-turbo-progs)"

// Smooth gradients (red across, green down, blue along a diagonal wave) with
// detail that stresses the high frequencies: a one-pixel grid every 7 columns
// and 5 rows, and a block of 1-pixel checkers. Gray images mix the channels.
pnm synthetic(int w, int h, bool colour) {
  pnm im;
  im.w = w;
  im.h = h;
  im.channels = colour ? 3 : 1;
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) {
      int r = 255 * x / (w - 1), g = 255 * y / (h - 1);
      int b = static_cast<int>(128 + 100 * std::sin(x * 0.21 + y * 0.13));
      if (x % 7 == 3 || y % 5 == 2) r = g = b = (x + y) % 2 ? 20 : 235;
      if (x > w / 2 && x < w / 2 + 12 && y > h / 3 && y < h / 3 + 10 && (x + y) % 2) r = g = b = 0;
      if (colour)
        im.data.insert(im.data.end(), {uint8_t(r), uint8_t(g), uint8_t(b)});
      else
        im.data.push_back(uint8_t((3 * r + 5 * g + 2 * b) / 10));
    }
  return im;
}

// Runs cjpeg with the arguments on the image; empty on failure.
bytes cjpeg(const pnm& src, const std::string& args, const std::string& tag) {
  std::string in = scratch(tag + ".pnm"), out = scratch(tag + ".jpg");
  write_file(in, pnm_file(src));
  if (run("cjpeg " + args + " -outfile " + quote(out) + " " + quote(in)) != 0) return {};
  return read_file(out);
}

// Runs djpeg with the arguments (PNM output); channels 0 on failure.
pnm djpeg(const bytes& jpeg, const std::string& args, const std::string& tag) {
  std::string in = scratch(tag + ".jpg"), out = scratch(tag + ".pnm");
  write_file(in, jpeg);
  if (run("djpeg -pnm " + args + " -outfile " + quote(out) + " " + quote(in)) != 0) return {};
  return parse_pnm(read_file(out));
}

// Offsets of the restart markers in the entropy-coded data of a file.
std::vector<size_t> restart_markers(const bytes& f) {
  std::vector<size_t> at;
  size_t i = 2;
  while (i + 4 <= f.size() && f[i] == 0xff && f[i + 1] != 0xda) i += 2 + (f[i + 2] << 8 | f[i + 3]);
  if (i + 4 > f.size()) return at;
  for (i += 2 + (f[i + 2] << 8 | f[i + 3]); i + 1 < f.size(); i++)
    if (f[i] == 0xff && f[i + 1] >= 0xd0 && f[i + 1] <= 0xd7) at.push_back(i);
  return at;
}

}  // namespace

TEST(JpegDecodeReference, BaselineFilesMatchDjpeg) {
  REQUIRE_TOOLS();
  const pnm gray = synthetic(67, 45, false), rgb = synthetic(67, 45, true),
            big = synthetic(301, 203, true);
  // Gray differs only by the rounding of the inverse DCT; colour adds up to
  // 1.4 levels per chroma level of that, and djpeg rounds its conversion where
  // this decoder truncates.
  struct {
    const pnm* src;
    std::string args;
    int tolerance;
  } cases[] = {
      {&gray, "", 1},
      {&gray, "-restart 1", 1},
      {&rgb, "-grayscale", 1},
      {&rgb, "-sample 1x1", 3},
      {&rgb, "-sample 1x1 -restart 1", 3},
      {&rgb, "-sample 2x1", 3},
      {&rgb, "-sample 2x1 -restart 1", 3},
      {&rgb, "-sample 2x2", 3},
      {&rgb, "-sample 2x2 -restart 1", 3},
      {&big, "-sample 2x2 -optimize -quality 95 -restart 3B", 3},
      {&big, "-sample 1x1 -quality 30", 3},
      {&big, "-sample 2x1 -quality 100", 3},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE("cjpeg " + c.args);
    std::string tag = std::to_string(n++);
    bytes jpeg = cjpeg(*c.src, c.args, tag);
    ASSERT_FALSE(jpeg.empty());
    decoded d = decode(jpeg);
    ASSERT_TRUE(d.ok) << d.msg;
    ASSERT_EQ(d.w, c.src->w);
    ASSERT_EQ(d.h, c.src->h);
    // Box upsampling and the floating-point inverse DCT, as here.
    pnm ref = djpeg(jpeg, "-nosmooth -dct float", tag);
    ASSERT_GT(ref.channels, 0);
    diff_stats st = compare(d, ref);
    EXPECT_LE(st.max, c.tolerance);
    EXPECT_LT(st.mean, 0.75);
  }
}

TEST(JpegDecodeReference, FirstOfSeveralScansDecodesAlone) {
  REQUIRE_TOOLS();
  // Luma in a scan of its own, then the two chroma components: only the
  // first scan is decoded, chroma reads 128 and the pixels carry luma alone,
  // which djpeg -grayscale gives from the whole file.
  std::string script = scratch("scans.txt");
  write_file(script, {'0', ';', '\n', '1', ',', '2', ';', '\n'});
  const pnm rgb = synthetic(67, 45, true);
  int n = 0;
  for (std::string sampling : {"2x2", "1x1"}) {
    SCOPED_TRACE(sampling);
    std::string tag = "s" + std::to_string(n++);
    bytes jpeg = cjpeg(rgb, "-sample " + sampling + " -scans " + quote(script), tag);
    ASSERT_FALSE(jpeg.empty());
    decoded d = decode(jpeg);
    ASSERT_TRUE(d.ok) << d.msg;
    for (int i = 0; i < d.w * d.h; i++) {
      ASSERT_EQ(d.rgba[i * 4], d.rgba[i * 4 + 1]);
      ASSERT_EQ(d.rgba[i * 4], d.rgba[i * 4 + 2]);
    }
    diff_stats st = compare(d, djpeg(jpeg, "-grayscale -dct float", tag));
    EXPECT_LE(st.max, 1);
  }
}

TEST(JpegDecodeReference, CutAtRestartMarkerKeepsTheRowsBefore) {
  REQUIRE_TOOLS();
  // 4:2:0 with a marker after every MCU row (16 pixel rows); the file is cut
  // where the second marker starts and FF D9 written there.
  bytes jpeg = cjpeg(synthetic(67, 45, true), "-sample 2x2 -restart 1", "cut");
  std::vector<size_t> rst = restart_markers(jpeg);
  ASSERT_EQ(rst.size(), 2u);
  decoded full = decode(jpeg);
  ASSERT_TRUE(full.ok) << full.msg;
  bytes cut(jpeg.begin(), jpeg.begin() + static_cast<long>(rst[1]));
  append(cut, {0xff, 0xd9});
  decoded part = decode(cut);
  ASSERT_TRUE(part.ok) << part.msg;
  ASSERT_EQ(part.h, 45);
  for (int y = 0; y < 45; y++)
    for (int x = 0; x < 67; x++)
      ASSERT_EQ(part.rgb(x, y), y < 32 ? full.rgb(x, y) : 0x808080u) << x << "," << y;
  // Without FF D9 the cut file is an error.
  cut.resize(cut.size() - 2);
  EXPECT_EQ(outcome(cut), "jpeg: decode error in scan data");
}

TEST(JpegDecodeReference, OtherProcessesAreRefused) {
  REQUIRE_TOOLS();
  const pnm rgb = synthetic(67, 45, true);
  // A progressive file's first scan carries DC only, and the AC table it
  // names is defined only before later scans.
  bytes prog = cjpeg(rgb, "-progressive", "prog");
  ASSERT_FALSE(prog.empty());
  EXPECT_EQ(outcome(prog), "jpeg: missing Huffman table");

  // A baseline file whose frame header claims 12-bit samples.
  bytes twelve = cjpeg(rgb, "", "twelve");
  size_t sof = 2;
  while (sof + 4 < twelve.size() && twelve[sof + 1] != 0xc0)
    sof += 2 + (twelve[sof + 2] << 8 | twelve[sof + 3]);
  ASSERT_LT(sof + 4, twelve.size());
  ASSERT_EQ(twelve[sof + 4], 8);
  twelve[sof + 4] = 12;
  EXPECT_EQ(outcome(twelve), "jpeg: only 8-bit samples supported");

  // Arithmetic coding (SOF9) is skipped like any segment, leaving the scan
  // without a frame.
  bytes arith = cjpeg(rgb, "-arithmetic", "arith");
  if (!arith.empty()) {
    EXPECT_EQ(outcome(arith), "jpeg: unknown SOS component");
  }
}

TEST(JpegDecodeReference, KeptRowsGiveTheWholeDecodesColours) {
  REQUIRE_TOOLS();
  // Frames whose planes differ in height (4:2:0, also with a marker after
  // every MCU row), gray, and 4:4:4, each whole and cut inside its scan with
  // FF D9 after the cut: with only some rows kept, each kept row has the
  // colours of the whole-plane decode of the same bytes, and rows not kept
  // read mid-grey where all planes have the frame's rows.
  const pnm rgb = synthetic(301, 407, true), gray = synthetic(301, 407, false);
  int n = 0, cut_decoded = 0;
  for (auto [src, args] :
       {std::pair{&rgb, "-sample 2x2"}, std::pair{&rgb, "-sample 2x2 -restart 1"},
        std::pair{&gray, ""}, std::pair{&rgb, "-sample 1x1"}}) {
    const bytes jpeg = cjpeg(*src, args, "k" + std::to_string(n++));
    ASSERT_FALSE(jpeg.empty());
    // Cuts inside the data, and at restart markers where there are some.
    std::vector<size_t> cuts = {jpeg.size(), jpeg.size() * 6 / 10, jpeg.size() * 3 / 10};
    for (size_t at : restart_markers(jpeg))
      if (at % 5 == 0) cuts.push_back(at);
    for (size_t cut : cuts) {
      bytes data = jpeg;
      if (cut < jpeg.size()) {
        data.resize(cut);
        append(data, {0xff, 0xd9});
      }
      for (int every : {1, 7, 50, 1000}) {
        SCOPED_TRACE(std::string(args) + " cut at " + std::to_string(cut) + " every " +
                     std::to_string(every));
        struct pick {
          int every;
          static void rows(const void* ctx, int32_t, int32_t height, uint8_t* keep) {
            const int e = static_cast<const pick*>(ctx)->every;
            for (int32_t y = 3; y < height; y += e) keep[y] = 1;
          }
        } chosen{every};
        const jpeg_row_filter filter = {&chosen, pick::rows};
        jpeg_planes whole, kept;
        const char* msg = nullptr;
        // A cut may leave the decoder short of FF D9 (a failure, both ways).
        const bool ok = jpeg_decode_planes(data.data(), data.size(), &whole, &msg);
        ASSERT_EQ(jpeg_decode_planes_rows(data.data(), data.size(), &filter, &kept, &msg), ok);
        if (!ok) continue;
        cut_decoded += cut < jpeg.size();
        // Every row kept decodes whole; a few of them take less memory.
        EXPECT_EQ(kept.slot[0] != nullptr, every > 1);
        EXPECT_EQ(kept.bytes, whole.bytes);
        std::vector<uint8_t> a(301 * 4), b(301 * 4);
        for (int32_t y = 0; y < 407; y++) {
          jpeg_planes_rgba(&whole, y, nullptr, 301, a.data());
          jpeg_planes_rgba(&kept, y, nullptr, 301, b.data());
          if ((y - 3) % every == 0 && y >= 3) {
            ASSERT_EQ(a, b) << "row " << y;
          } else if (kept.slot[0] && kept.ph[kept.n - 1] == kept.ph[0]) {
            // (With 4:2:0 a row not kept may share the chroma of one kept.)
            for (int32_t x = 0; x < 301; x++) ASSERT_EQ(b[x * 4], 128) << x << "," << y;
          }
        }
        jpeg_planes_free(&whole);
        jpeg_planes_free(&kept);
      }
    }
  }
  EXPECT_GT(cut_decoded, 0);
}
