// Every page of every readable file of the shared corpus renders at 72 dpi
// and encodes to a PNG whose image data inflate to the right size and to a
// JPEG with its start and end markers, without a crash or a sanitizer report.
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "codecs/codecs.h"
#include "compression/compression.h"
#include "interface/interface.h"
#include "pdfcore/pdfcore.h"

namespace {

uint32_t be32(const uint8_t* p) {
  return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

// Walks the chunks of a PNG, joins the IDAT data and inflates it: it must
// give one filter byte plus w * 4 bytes per row, nothing more or less.
void check_png(const uint8_t* png, uint64_t size, int32_t w, int32_t h) {
  ASSERT_GT(size, 8u);
  ASSERT_EQ(memcmp(png, "\x89PNG\r\n\x1a\n", 8), 0);
  std::vector<uint8_t> idat;
  uint64_t pos = 8;
  bool ended = false;
  while (pos + 12 <= size && !ended) {
    uint32_t len = be32(png + pos);
    ASSERT_LE(pos + 12 + len, size);
    const uint8_t* type = png + pos + 4;
    if (memcmp(type, "IHDR", 4) == 0) {
      EXPECT_EQ(be32(png + pos + 8), (uint32_t)w);
      EXPECT_EQ(be32(png + pos + 12), (uint32_t)h);
    } else if (memcmp(type, "IDAT", 4) == 0) {
      idat.insert(idat.end(), png + pos + 8, png + pos + 8 + len);
    } else if (memcmp(type, "IEND", 4) == 0) {
      ended = true;
    }
    pos += 12 + len;
  }
  EXPECT_TRUE(ended);
  EXPECT_EQ(pos, size);
  uint64_t expect = (uint64_t)h * (1 + (uint64_t)w * 4);
  std::vector<uint8_t> raw(expect + 1);
  uint64_t out = 0;
  ASSERT_EQ(inflate_decompress(idat.data(), idat.size(), raw.data(), raw.size(), &out), 0);
  EXPECT_EQ(out, expect);
}

void check_jpeg(const uint8_t* jpg, uint64_t size) {
  ASSERT_GT(size, 4u);
  EXPECT_EQ(jpg[0], 0xFF);
  EXPECT_EQ(jpg[1], 0xD8);
  EXPECT_EQ(jpg[size - 2], 0xFF);
  EXPECT_EQ(jpg[size - 1], 0xD9);
}

void render_folder(const std::string& dir) {
  if (!std::filesystem::exists(dir + "/manifest.tsv")) GTEST_SKIP() << "no corpus at " << dir;
  std::ifstream in(dir + "/manifest.tsv");
  std::string line;
  std::getline(in, line);
  int files = 0, pages = 0;
  while (std::getline(in, line)) {
    std::stringstream ss(line);
    std::string name;
    std::getline(ss, name, '\t');
    std::string path = dir + "/" + name;
    SCOPED_TRACE(name);
    pdfcore_doc doc;
    if (!pdfcore_load(path.c_str(), &doc)) continue;  // refused files have their own test
    files++;
    for (int32_t i = 0; i < doc.pages.count; i++) {
      SCOPED_TRACE(i + 1);
      int32_t w = 0, h = 0;
      uint8_t* rgba = render_page(&doc, i, 72, &w, &h);
      if (!rgba) {
        EXPECT_NE(pdfcore_last_error()[0], 0);  // a refusal comes with a message
        continue;
      }
      pages++;
      uint64_t size = 0;
      uint8_t* png = qx_png_encode(w, h, rgba, &size);
      ASSERT_NE(png, nullptr);
      check_png(png, size, w, h);
      free(png);
      uint8_t* jpg = qx_jpeg_encode(w, h, rgba, &size);
      ASSERT_NE(jpg, nullptr);
      check_jpeg(jpg, size);
      free(jpg);
      free(rgba);
    }
    pdfcore_doc_free(&doc);
  }
  EXPECT_GT(files, 0);
  testing::Test::RecordProperty("pages", pages);
}

}  // namespace

TEST(CorpusRender, EveryPageAt72Dpi) {
  render_folder(RENDRIX_CORPUS_DIR);
}
