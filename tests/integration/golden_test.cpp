// Pins the encoded bytes of a fixed set of corpus pages: every PNG and JPEG
// in tests/data/golden/outputs.tsv must hash to the SHA-256 recorded there.
// Speed work must leave every output byte as it was; this is the proof.
// With RENDRIX_GOLDEN_UPDATE=1 in the environment the table is rewritten
// from the current output instead (only after a deliberate change).
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "rendrix.h"
#include "support/sha256.h"
#include "support/test_util.h"

namespace {

struct golden_row {
  std::string file;
  int page = 0, dpi = 0, format = 0;
  std::string sha;
};

const char* kTable = "golden/outputs.tsv";

bool read_table(std::vector<std::string>* comments, std::vector<golden_row>* rows) {
  std::ifstream in(test_util::data_path(kTable));
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') {
      comments->push_back(line);
      continue;
    }
    std::istringstream fields(line);
    golden_row r;
    std::string format;
    fields >> r.file >> r.page >> r.dpi >> format >> r.sha;
    r.format = format == "jpeg" ? 1 : 0;
    rows->push_back(r);
  }
  return true;
}

std::string hash_of(const golden_row& r, std::string* error) {
  std::string path = std::string(RENDRIX_CORPUS_DIR) + "/" + r.file;
  uint64_t size = 0;
  unsigned char* out = rendrix_page_memory(path.c_str(), r.page, r.dpi, r.format, &size);
  if (!out) {
    *error = rendrix_last_error();
    return "";
  }
  std::string hex = test_util::sha256_hex(out, size);
  rendrix_free_buffer(out);
  return hex;
}

TEST(Golden, Sha256MatchesKnownDigests) {
  auto hex = [](const std::string& s) {
    return test_util::sha256_hex(test_util::bytes(s), s.size());
  };
  EXPECT_EQ(hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // 56 bytes: the length no longer fits the first padded chunk.
  EXPECT_EQ(hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(hex(std::string(1000, 'a')),
            "41edece42d63e8d9bf515a9ba6932e1c20cbc9f5a5d134645adb5db1b9737ea3");
}

TEST(Golden, CorpusPagesKeepTheirBytes) {
  if (!std::ifstream(std::string(RENDRIX_CORPUS_DIR) + "/manifest.tsv"))
    GTEST_SKIP() << "no corpus at " << RENDRIX_CORPUS_DIR;
  std::vector<std::string> comments;
  std::vector<golden_row> rows;
  ASSERT_TRUE(read_table(&comments, &rows));
  ASSERT_GE(rows.size(), 60u);
  rendrix_init();
  bool update = getenv("RENDRIX_GOLDEN_UPDATE") != nullptr;
  for (golden_row& r : rows) {
    std::string error;
    std::string got = hash_of(r, &error);
    EXPECT_EQ(error, "") << r.file << " page " << r.page;
    if (update) {
      r.sha = got;
      continue;
    }
    EXPECT_EQ(got, r.sha) << r.file << " page " << r.page << " at " << r.dpi << " dpi as "
                          << (r.format ? "JPEG" : "PNG");
  }
  if (update) {
    std::ofstream out(test_util::data_path(kTable));
    for (const std::string& c : comments) out << c << "\n";
    for (const golden_row& r : rows)
      out << r.file << "\t" << r.page << "\t" << r.dpi << "\t" << (r.format ? "jpeg" : "png")
          << "\t" << r.sha << "\n";
  }
}

}  // namespace
