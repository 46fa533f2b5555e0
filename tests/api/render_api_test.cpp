// The rendering exports check their arguments in a fixed order with fixed
// messages, size pages from box, rotation and resolution, gather /Contents,
// and write single files and numbered page files.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "interface/interface.h"
#include "rendrix.h"
#include "support/test_util.h"

namespace fs = std::filesystem;
using test_util::loaded_doc;

namespace {

// A one-page document with the given page dictionary entries and content
// streams (objects 4, 5, ...).
std::string page_pdf(const std::string& page_entries, const std::vector<std::string>& streams) {
  std::string s =
      "%PDF-1.4\n1 0 obj << /Type /Catalog /Pages 2 0 R >> endobj\n"
      "2 0 obj << /Type /Pages /Kids [3 0 R] >> endobj\n"
      "3 0 obj << /Type /Page " +
      page_entries + " >> endobj\n";
  for (size_t i = 0; i < streams.size(); i++)
    s += std::to_string(4 + i) + " 0 obj << /Length " + std::to_string(streams[i].size()) +
         " >> stream\n" + streams[i] + "\nendstream endobj\n";
  return s;
}

// The PNG's width and height from its IHDR.
std::pair<uint32_t, uint32_t> png_size(const unsigned char* p) {
  auto be32 = [](const unsigned char* q) {
    return (uint32_t)q[0] << 24 | (uint32_t)q[1] << 16 | (uint32_t)q[2] << 8 | q[3];
  };
  return {be32(p + 16), be32(p + 20)};
}

struct rendered {
  uint8_t* rgba = nullptr;
  int32_t w = 0, h = 0;
  explicit rendered(const std::string& pdf, int32_t dpi = 72, int32_t index = 0) {
    loaded_doc d(pdf);
    EXPECT_TRUE(d.ok) << d.error;
    if (d.ok) rgba = render_page(&d.doc, index, dpi, &w, &h);
  }
  ~rendered() { free(rgba); }
  const uint8_t* px(int32_t x, int32_t y) const { return rgba + ((size_t)y * w + x) * 4; }
};

std::string temp_pdf(const std::string& name, const std::string& pdf) {
  return test_util::write_temp(name, pdf);
}

}  // namespace

TEST(RenderArguments, OrderAndMessages) {
  uint64_t size = 99;
  EXPECT_EQ(rendrix_page_memory(nullptr, 0, 72, 7, &size), nullptr);
  EXPECT_STREQ(rendrix_last_error(), "NULL input_path");
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(rendrix_page_memory("/x.pdf", 0, 72, 7, nullptr), nullptr);
  EXPECT_STREQ(rendrix_last_error(), "page must be >= 1 (got 0)");
  for (int f : {-1, 2}) {
    EXPECT_EQ(rendrix_page_memory("/nonexistent.pdf", 1, 72, f, nullptr), nullptr);
    EXPECT_EQ(std::string(rendrix_last_error()),
              "format must be 0 (PNG) or 1 (JPG), got " + std::to_string(f));
  }
  EXPECT_EQ(rendrix_page_memory("/nonexistent.pdf", 1, 72, 0, nullptr), nullptr);
  EXPECT_STREQ(rendrix_last_error(), "cannot open /nonexistent.pdf");
  std::string one = temp_pdf("one.pdf", page_pdf("/MediaBox [0 0 10 10]", {}));
  EXPECT_EQ(rendrix_page_memory(one.c_str(), 2, 72, 0, nullptr), nullptr);
  EXPECT_STREQ(rendrix_last_error(), "page 2 out of range (1..1)");
  // rendrix_page checks its output name before anything else.
  EXPECT_EQ(rendrix_page(nullptr, 0, nullptr, 72, 9), 0);
  EXPECT_STREQ(rendrix_last_error(), "NULL output_path");
  EXPECT_EQ(rendrix_all(nullptr, nullptr, 72, 9), 0);
  EXPECT_STREQ(rendrix_last_error(), "NULL input_path");
  EXPECT_EQ(rendrix_all(one.c_str(), nullptr, 72, 9), 0);
  EXPECT_STREQ(rendrix_last_error(), "NULL output_dir");
  EXPECT_EQ(rendrix_all(one.c_str(), "/tmp", 72, 9), 0);
  EXPECT_STREQ(rendrix_last_error(), "format must be 0 (PNG) or 1 (JPG), got 9");
}

TEST(RenderMemory, PngAndJpegAndTheMessageIsEmptied) {
  std::string one = temp_pdf("box.pdf", page_pdf("/MediaBox [0 0 20 10]", {}));
  rendrix_page_count(nullptr);  // leave a message behind
  uint64_t size = 0;
  unsigned char* png = rendrix_page_memory(one.c_str(), 1, 72, 0, &size);
  ASSERT_NE(png, nullptr);
  EXPECT_STREQ(rendrix_last_error(), "");
  ASSERT_GT(size, 33u);
  EXPECT_EQ(memcmp(png, "\x89PNG\r\n\x1a\n", 8), 0);
  EXPECT_EQ(png_size(png), (std::pair<uint32_t, uint32_t>{20, 10}));
  rendrix_free_buffer(png);
  unsigned char* jpg = rendrix_page_memory(one.c_str(), 1, 72, 1, &size);
  ASSERT_NE(jpg, nullptr);
  EXPECT_EQ(jpg[0], 0xFF);
  EXPECT_EQ(jpg[1], 0xD8);
  EXPECT_EQ(jpg[size - 2], 0xFF);
  EXPECT_EQ(jpg[size - 1], 0xD9);
  rendrix_free_buffer(jpg);
  unsigned char* nosize = rendrix_page_memory(one.c_str(), 1, 72, 0, nullptr);
  EXPECT_NE(nosize, nullptr);
  rendrix_free_buffer(nosize);
  rendrix_free_buffer(nullptr);
  // The resolution is clamped, never refused.
  for (auto [dpi, side] : {std::pair{0, 1u}, {-5, 1u}, {100000, 333u}}) {
    std::string tiny = temp_pdf("tiny.pdf", page_pdf("/MediaBox [0 0 10 10]", {}));
    unsigned char* p = rendrix_page_memory(tiny.c_str(), 1, dpi, 0, &size);
    ASSERT_NE(p, nullptr) << dpi;
    EXPECT_EQ(png_size(p).first, side) << dpi;
    rendrix_free_buffer(p);
  }
}

TEST(RenderSizing, BoxesRotationAndLimits) {
  struct {
    std::string entries;
    int32_t dpi, w, h;
  } cases[] = {
      {"/MediaBox [0 0 612 792]", 72, 612, 792},
      {"/MediaBox [0 0 612 792]", 150, 1275, 1650},
      {"/MediaBox [0 0 612 792] /Rotate 90", 72, 792, 612},
      {"/MediaBox [0 0 612 792] /Rotate 450", 72, 792, 612},
      {"/MediaBox [0 0 612 792] /Rotate 45", 72, 612, 792},
      {"/MediaBox [100 100 712 892]", 72, 712, 892},
      {"/MediaBox [0 0 0.2 0.3]", 72, 1, 1},
      {"/MediaBox [0 0 983.04 1]", 2400, 32768, 33},
  };
  for (const auto& c : cases) {
    rendered r(page_pdf(c.entries, {}), c.dpi);
    ASSERT_NE(r.rgba, nullptr) << c.entries;
    EXPECT_EQ(r.w, c.w) << c.entries;
    EXPECT_EQ(r.h, c.h) << c.entries;
    EXPECT_EQ(r.px(0, 0)[3], 255);  // untouched pages are opaque white
    EXPECT_EQ(r.px(r.w - 1, r.h - 1)[0], 255);
  }
  loaded_doc big(page_pdf("/MediaBox [0 0 983.07 1]", {}));
  int32_t w = 0, h = 0;
  EXPECT_EQ(render_page(&big.doc, 0, 2400, &w, &h), nullptr);
  EXPECT_STREQ(pdfcore_last_error(), "page too large at 2400 dpi (32769x33 px)");
}

// The room every page's raster is allocated with covers the largest page at
// any resolution, rotated or not, and is left out when it would pass the
// largest canvas.
TEST(RenderSizing, LargestPagePixelsCoversEveryPage) {
  const std::string mixed =
      "1 0 obj << /Type /Catalog /Pages 2 0 R >> endobj\n"
      "2 0 obj << /Type /Pages /Kids [3 0 R 4 0 R 5 0 R 6 0 R 7 0 R] >> endobj\n"
      "3 0 obj << /Type /Page /MediaBox [0 0 612 492] >> endobj\n"
      "4 0 obj << /Type /Page /MediaBox [0 482 361 792] >> endobj\n"
      "5 0 obj << /Type /Page /MediaBox [357 490 612.4 631.6] /Rotate 90 >> endobj\n"
      "6 0 obj << /Type /Page /MediaBox [0 0 -50 0.2] >> endobj\n"
      "7 0 obj << /Type /Page /MediaBox [0 0 0.4 700.5] >> endobj\n";
  loaded_doc d(mixed);
  ASSERT_TRUE(d.ok) << d.error;
  ASSERT_EQ(d.doc.pages.count, 5);
  for (int32_t dpi : {1, 7, 72, 96, 150, 300, 600, 1200}) {
    uint64_t room = largest_page_pixels(&d.doc, dpi), largest = 0;
    for (int32_t i = 0; i < d.doc.pages.count; i++) {
      int32_t w = 0, h = 0;
      ASSERT_EQ(page_pixel_size(&d.doc.pages.items[i], dpi, &w, &h), 1);
      largest = std::max(largest, (uint64_t)w * (uint64_t)h);
    }
    EXPECT_GE(room, largest) << dpi;
    // Rounding aside, no more than one extra row and column of the largest box.
    EXPECT_LE(room, largest + 2 * (612.4 + 631.6) * dpi / 72 + 2) << dpi;
  }
  // A page too large to draw at 2400 dpi leaves the room out there.
  loaded_doc poster(page_pdf("/MediaBox [0 0 14000 14000]", {}));
  EXPECT_EQ(largest_page_pixels(&poster.doc, 2400), 0u);
  EXPECT_GT(largest_page_pixels(&poster.doc, 72), 0u);
}

TEST(RenderSizing, PageTransformPlacesTheBox) {
  // The box's lower-left corner is 100 px from the left and the bottom.
  rendered r(
      page_pdf("/MediaBox [100 100 712 892] /Contents 4 0 R", {"0 0 1 rg 100 100 10 10 re f"}));
  ASSERT_NE(r.rgba, nullptr);
  EXPECT_EQ(r.px(100, 891 - 100)[2], 255);
  EXPECT_EQ(r.px(100, 891 - 100)[0], 0);
  EXPECT_EQ(r.px(99, 891 - 100)[0], 255);
  // Rotated 90: the page's lower-left corner lands at the top left.
  rendered rot(page_pdf("/MediaBox [0 0 60 30] /Rotate 90 /Contents 4 0 R", {"0 g 0 0 5 5 re f"}));
  ASSERT_NE(rot.rgba, nullptr);
  EXPECT_EQ(rot.w, 30);
  EXPECT_EQ(rot.px(1, 1)[0], 0);
  EXPECT_EQ(rot.px(28, 58)[0], 255);
}

TEST(RenderContents, ReferencesArraysAndJoining) {
  // Two streams joined without a separator: "... 0 0 1" + "0 10 re f" makes
  // the rectangle 0 0 10 10.
  rendered joined(
      page_pdf("/MediaBox [0 0 20 20] /Contents [4 0 R 9 0 R 5 0 R]", {"0 g 0 0 1", "0 10 re f"}));
  ASSERT_NE(joined.rgba, nullptr);
  EXPECT_EQ(joined.px(5, 15)[0], 0);
  EXPECT_EQ(joined.px(15, 5)[0], 255);
  rendered ref(page_pdf("/MediaBox [0 0 20 20] /Contents 4 0 R", {"0 g 0 0 20 20 re f"}));
  EXPECT_EQ(ref.px(10, 10)[0], 0);
  rendered missing(page_pdf("/MediaBox [0 0 20 20] /Contents 7 0 R", {}));
  EXPECT_EQ(missing.px(10, 10)[0], 255);
  rendered none(page_pdf("/MediaBox [0 0 20 20]", {"0 g 0 0 20 20 re f"}));
  EXPECT_EQ(none.px(10, 10)[0], 255);
  rendered inline_dict(page_pdf("/MediaBox [0 0 20 20] /Contents << >>", {}));
  EXPECT_EQ(inline_dict.px(10, 10)[0], 255);
}

TEST(RenderFiles, SingleFileAndWriteFailures) {
  std::string pdf = temp_pdf("file.pdf", page_pdf("/MediaBox [0 0 8 8]", {}));
  std::string out = testing::TempDir() + "single.png";
  fs::remove(out);
  EXPECT_EQ(rendrix_page(pdf.c_str(), 1, out.c_str(), 72, 0), 1);
  EXPECT_STREQ(rendrix_last_error(), "");
  EXPECT_GT(fs::file_size(out), 33u);
  std::string dir = testing::TempDir();
  EXPECT_EQ(rendrix_page(pdf.c_str(), 1, dir.c_str(), 72, 0), 0);
  EXPECT_EQ(std::string(rendrix_last_error()), "cannot write " + dir);
  if (fs::exists("/dev/full")) {
    EXPECT_EQ(rendrix_page(pdf.c_str(), 1, "/dev/full", 72, 0), 0);
    EXPECT_STREQ(rendrix_last_error(), "short write to /dev/full");
  }
}

TEST(RenderFiles, AllPagesIntoDirectories) {
  std::string pdf =
      "%PDF-1.4\n1 0 obj << /Type /Catalog /Pages 2 0 R >> endobj\n"
      "2 0 obj << /Type /Pages /Kids [3 0 R 4 0 R 5 0 R 6 0 R] >> endobj\n"
      "3 0 obj << /Type /Page /MediaBox [0 0 8 8] >> endobj\n"
      "4 0 obj << /Type /Page /MediaBox [0 0 9 8] >> endobj\n"
      "5 0 obj << /Type /Page /MediaBox [0 0 100000 8] >> endobj\n"
      "6 0 obj << /Type /Page /MediaBox [0 0 8 8] >> endobj\n";
  std::string bad = temp_pdf("four.pdf", pdf);
  std::string root = testing::TempDir() + "all_pages";
  fs::remove_all(root);
  std::string dir = root + "/a/b";
  EXPECT_EQ(rendrix_all(bad.c_str(), dir.c_str(), 72, 0), 0);
  EXPECT_STREQ(rendrix_last_error(), "page 3/4: page too large at 72 dpi (100000x8 px)");
  EXPECT_TRUE(fs::exists(dir + "/page_001.png"));
  EXPECT_TRUE(fs::exists(dir + "/page_002.png"));
  EXPECT_FALSE(fs::exists(dir + "/page_003.png"));
  EXPECT_FALSE(fs::exists(dir + "/page_004.png"));
  // A good document into an existing directory: every page, as JPEG.
  std::string good = temp_pdf("two.pdf", page_pdf("/MediaBox [0 0 8 8]", {}));
  EXPECT_EQ(rendrix_all(good.c_str(), dir.c_str(), 72, 1), 1);
  EXPECT_STREQ(rendrix_last_error(), "");
  EXPECT_TRUE(fs::exists(dir + "/page_001.jpg"));
  // A file standing where the directory should be. Windows reports the name
  // with every '/' after the first character turned into '\\', and a
  // directory under a file as a missing path.
#if defined(_WIN32)
  auto shown = [](std::string name) {
    for (size_t i = 1; i < name.size(); i++)
      if (name[i] == '/') name[i] = '\\';
    return name;
  };
  const char* under_file = "No such file or directory";
#else
  auto shown = [](const std::string& name) { return name; };
  const char* under_file = "Not a directory";
#endif
  std::string file = root + "/plain";
  test_util::write_temp("all_pages/plain", "x");
  EXPECT_EQ(rendrix_all(good.c_str(), file.c_str(), 72, 0), 0);
  EXPECT_EQ(std::string(rendrix_last_error()), shown(file) + " is not a directory");
  EXPECT_EQ(rendrix_all(good.c_str(), (file + "/sub").c_str(), 72, 0), 0);
  EXPECT_EQ(std::string(rendrix_last_error()),
            "cannot create directory " + shown(file + "/sub") + ": " + under_file);
  EXPECT_EQ(rendrix_all(test_util::write_temp("np.pdf", test_util::simple_pdf("", "")).c_str(),
                        dir.c_str(), 72, 0),
            0);
  EXPECT_STREQ(rendrix_last_error(), "document has no pages");
  fs::remove_all(root);
}

#if defined(_WIN32)
// Windows names: after a drive letter and its separators every '\' or '/'
// is a cut, each missing parent is made outermost first, each separator
// passed is written back as '/', and the whole name is created and checked
// with '\' everywhere after its first character.
TEST(RenderFiles, WindowsDirectoryNames) {
  std::string good = temp_pdf("win_dirs.pdf", page_pdf("/MediaBox [0 0 8 8]", {}));
  std::string temp = testing::TempDir();  // e.g. C:\users\me\Temp\ .
  ASSERT_GE(temp.size(), 3u);
  ASSERT_EQ(temp[1], ':');
  std::string root = temp + "win_dirs";
  fs::remove_all(root);

  // Mixed separators, doubled ones, and a missing parent at every level.
  std::string mixed = root + "\\a/b\\\\c/d";
  EXPECT_EQ(rendrix_all(good.c_str(), mixed.c_str(), 72, 0), 1) << rendrix_last_error();
  EXPECT_TRUE(fs::is_regular_file(root + "\\a\\b\\c\\d\\page_001.png"));
  // Again, into the directories now there.
  EXPECT_EQ(rendrix_all(good.c_str(), mixed.c_str(), 72, 1), 1) << rendrix_last_error();
  EXPECT_TRUE(fs::is_regular_file(root + "\\a\\b\\c\\d\\page_001.jpg"));

  // A file in the way: the prefix in the message shows '/' at every cut
  // made before it, the separators after the drive letter and the rest of
  // the name as given.
  test_util::write_temp("win_dirs\\f", "x");
  std::string under = root + "\\f\\g/h";
  EXPECT_EQ(rendrix_all(good.c_str(), under.c_str(), 72, 0), 0);
  std::string prefix = temp.substr(0, 3);
  for (size_t i = 3; i < root.size(); i++) prefix += root[i] == '\\' ? '/' : root[i];
  EXPECT_EQ(std::string(rendrix_last_error()),
            "cannot create directory " + prefix + "/f/g: No such file or directory");
  // The file itself as the directory: the whole name with '\' separators.
  std::string file = root + "/f";
  EXPECT_EQ(rendrix_all(good.c_str(), file.c_str(), 72, 0), 0);
  EXPECT_EQ(std::string(rendrix_last_error()), root + "\\f is not a directory");
  fs::remove_all(root);
}
#endif
