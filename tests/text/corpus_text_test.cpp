// Text regions of real documents from the shared corpus are drawn, not left blank.
#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "interface/interface.h"
#include "text_test_util.h"

using namespace text_test;

namespace {

// Dark pixels (red below 128) of page 1 at 72 dpi inside the box
// [x0, x1) x [y0, y1); the whole page when x1 is 0.
struct dark_count {
  int64_t inside = 0;
  bool rendered = false;
};

dark_count count_dark(const std::string& file, int32_t x0, int32_t y0, int32_t x1, int32_t y1) {
  dark_count c;
  init_faces();
  pdfcore_doc doc = {};
  std::string path = std::string(RENDRIX_CORPUS_DIR) + "/" + file;
  if (!pdfcore_load(path.c_str(), &doc)) return c;
  int32_t w = 0, h = 0;
  uint8_t* px = render_page(&doc, 0, 72, &w, &h);
  pdfcore_doc_free(&doc);
  if (!px) return c;
  c.rendered = true;
  if (x1 == 0) {
    x1 = w;
    y1 = h;
  }
  for (int32_t y = std::max(0, y0); y < std::min(h, y1); y++)
    for (int32_t x = std::max(0, x0); x < std::min(w, x1); x++)
      if (px[((size_t)y * w + x) * 4] < 128) c.inside++;
  free(px);
  return c;
}

}  // namespace

TEST(CorpusText, TextPagesAreNotBlank) {
  struct {
    const char* file;
    const char* fonts;
    int32_t x0, y0, x1, y1;  // a region holding text (the page when x1 is 0)
    int64_t min_dark;
  } pages[] = {
      // tracemonkey: Type1 fonts drawn with the built-in faces; the title,
      // then the whole page of two text columns.
      {"pdfjs_3662ff519e.pdf", "Type1 stand-ins (title)", 70, 70, 545, 115, 2000},
      {"pdfjs_3662ff519e.pdf", "Type1 stand-ins (page)", 0, 0, 0, 0, 40000},
      {"pdfjs_08c31db1eb.pdf", "embedded TrueType, rotated", 0, 0, 0, 0, 300},
      {"pdfjs_52c96d3ac7.pdf", "Type0 / CIDFontType2 (CJK)", 0, 0, 0, 0, 800},
      {"pdfjs_a14f0c95f8.pdf", "Type3", 60, 100, 300, 130, 200},
  };
  for (const auto& p : pages) {
    if (!std::filesystem::exists(std::string(RENDRIX_CORPUS_DIR) + "/" + p.file))
      GTEST_SKIP() << "corpus not present: " << RENDRIX_CORPUS_DIR;
    dark_count c = count_dark(p.file, p.x0, p.y0, p.x1, p.y1);
    ASSERT_TRUE(c.rendered) << p.file;
    EXPECT_GE(c.inside, p.min_dark) << p.file << ": " << p.fonts;
  }
}
