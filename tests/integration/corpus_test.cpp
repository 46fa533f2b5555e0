// Every real-world file of the shared corpus loads to the page count an
// independent library reports, is refused as encrypted, or differs for a
// reason written down here.
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "rendrix.h"

namespace {

struct corpus_file {
  std::string path, name, pages;
  bool encrypted;
};

std::vector<corpus_file> read_manifest(const std::string& dir) {
  std::vector<corpus_file> files;
  std::ifstream in(dir + "/manifest.tsv");
  std::string line;
  std::getline(in, line);  // header: file source license sha256 bytes pages encrypted ...
  while (std::getline(in, line)) {
    std::vector<std::string> cols;
    std::stringstream ss(line);
    for (std::string c; std::getline(ss, c, '\t');) cols.push_back(c);
    if (cols.size() < 7) continue;
    files.push_back({dir + "/" + cols[0], cols[0], cols[5], cols[6] == "yes"});
  }
  return files;
}

// Files whose count differs from the manifest's, with the count this loader
// gives (0: refused) and why.
const std::map<std::string, std::pair<int, const char*>> kExplained = {
    {"pdfjs_1c780335b4.pdf",
     {1, "fuzzed file the reference library cannot read; the header scan recovers its page"}},
    {"pdfjs_38caddee94.pdf",
     {1,
      "malformed cross-reference data the reference library rejects; objects are found by "
      "scanning, so its one page loads"}},
    {"pdfjs_77c8817ea0.pdf",
     {0,
      "its page tree has a cycle (3 -> 4 -> 5 -> 3); reaching a /Pages node twice fails the "
      "whole tree by design"}},
    {"pdfjs_88d7f8b3f6.pdf",
     {0, "fuzzed: the catalog's /Pages 30 is not a readable /Pages object"}},
    {"pdfjs_c59544af2b.pdf",
     {0,
      "every object header is followed by a comment before its dictionary; a dictionary "
      "counts only when '<' follows \"obj\" after whitespace, so the catalog has none"}},
    {"pdfjs_e651252b0d.pdf",
     {0,
      "the root's /Kids has no opening bracket (\"/Kids  8 0 R ]\"), so the tree holds no "
      "page"}},
    {"pdfjs_f468fc2f92.pdf",
     {0, "a fragment without its catalog (object 8); object 1, taken instead, is absent"}},
    {"qpdf_11353d015b.pdf",
     {0,
      "damaged: no startxref and no object names /Catalog; object 1, taken instead, has no "
      "/Pages"}},
};

void check_folder(const std::string& dir) {
  if (!std::filesystem::exists(dir + "/manifest.tsv")) GTEST_SKIP() << "no corpus at " << dir;
  auto files = read_manifest(dir);
  ASSERT_FALSE(files.empty());
  for (const auto& f : files) {
    SCOPED_TRACE(f.name);
    int n = rendrix_page_count(f.path.c_str());
    std::string msg = rendrix_last_error();
    auto why = kExplained.find(f.name);
    if (why != kExplained.end()) {
      EXPECT_EQ(n, why->second.first) << why->second.second << " / " << msg;
    } else if (f.encrypted) {
      EXPECT_EQ(n, 0);
      EXPECT_EQ(msg, "encrypted PDFs are not supported: " + f.path);
    } else {
      EXPECT_EQ(std::to_string(n), f.pages) << msg;
    }
    rendrix_cleanup();
  }
}

}  // namespace

TEST(CorpusPageCount, MainFolder) {
  check_folder(RENDRIX_CORPUS_DIR);
}

TEST(CorpusPageCount, StressFolder) {
  check_folder(std::string(RENDRIX_CORPUS_DIR) + "/stress");
}
