// Image pages of the shared corpus (JPEG in RGB and CMYK, Flate with soft
// masks) render with their images drawn: ink on the page and the many
// distinct colours that only decoded pictures bring (text and vector art
// here use a handful).
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "interface/interface.h"
#include "support/test_util.h"

namespace {

struct corpus_page {
  const char* file;
  int32_t index;
  const char* what;
};

}  // namespace

TEST(CorpusImages, ImagePagesRenderWithTheirPictures) {
  const corpus_page pages[] = {
      {"pdfjs_659d6b1991.pdf", 0, "cmykjpeg: a CMYK JPEG"},
      {"pdfa20_fc517dd0d4.pdf", 0, "two RGB JPEGs"},
      {"pdfjs_a75f3220b3.pdf", 0, "DCT and Flate images with soft masks, forms"},
  };
  for (const corpus_page& p : pages) {
    SCOPED_TRACE(std::string(p.file) + ", " + p.what);
    std::string path = std::string(RENDRIX_CORPUS_DIR) + "/" + p.file;
    if (!std::filesystem::exists(path)) GTEST_SKIP() << "corpus not found: " << path;
    test_util::loaded_doc doc(test_util::read_file(path), p.file);
    ASSERT_TRUE(doc.ok) << doc.error;
    int32_t w = 0, h = 0;
    uint8_t* rgba = render_page(&doc.doc, p.index, 36, &w, &h);
    ASSERT_NE(rgba, nullptr);
    size_t n = (size_t)w * h, ink = 0;
    std::set<uint32_t> colours;
    for (size_t i = 0; i < n; i++) {
      uint32_t c = (uint32_t)rgba[i * 4] << 16 | (uint32_t)rgba[i * 4 + 1] << 8 | rgba[i * 4 + 2];
      if (c != 0xFFFFFF) ink++;
      colours.insert(c);
    }
    free(rgba);
    EXPECT_GE((double)ink / n, 0.02);
    EXPECT_GE(colours.size(), 100u);
  }
}
