// The open-once interface and rendering from many threads: an open document
// gives the same bytes and messages as the path-based calls, pages of the
// corpus rendered from 8 threads at once (also on one shared document) are
// byte-identical to single-threaded output, each thread keeps its own
// message, and rendrix_all writes the same files on any number of threads.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "rendrix.h"
#include "support/env.h"
#include "support/test_util.h"

namespace fs = std::filesystem;

namespace {

std::string corpus(const std::string& name) {
  return std::string(RENDRIX_CORPUS_DIR) + "/" + name;
}

bool have_corpus() {
  return fs::exists(corpus("manifest.tsv"));
}

std::string bytes_of(unsigned char* p, uint64_t size) {
  std::string s(reinterpret_cast<char*>(p), size);
  rendrix_free_buffer(p);
  return s;
}

// Renders through the path-based call; "" with the message in *error.
std::string render_path(const std::string& path, int page, int dpi, int format,
                        std::string* error) {
  uint64_t size = 0;
  unsigned char* p = rendrix_page_memory(path.c_str(), page, dpi, format, &size);
  *error = rendrix_last_error();
  return p ? bytes_of(p, size) : "";
}

std::string render_doc(const rendrix_doc* doc, int page, int dpi, int format, std::string* error) {
  uint64_t size = 0;
  unsigned char* p = rendrix_doc_page_memory(doc, page, dpi, format, &size);
  *error = rendrix_last_error();
  return p ? bytes_of(p, size) : "";
}

struct job {
  std::string file;
  int page, dpi, format;
};

// Pages with text, images, Type3 glyphs, vector art and many pages.
std::vector<job> corpus_jobs() {
  std::vector<job> jobs;
  const std::pair<const char*, int> pages[] = {
      {"pdfjs_178c620720.pdf", 1}, {"pdfjs_178c620720.pdf", 2}, {"pdfjs_233c39dc16.pdf", 1},
      {"pdfjs_233c39dc16.pdf", 5}, {"pdfjs_3662ff519e.pdf", 1}, {"pdfjs_3662ff519e.pdf", 3},
      {"pdfjs_a6db6d2f5e.pdf", 2}, {"pysf_0f2076573b.pdf", 1},  {"pysf_0f2076573b.pdf", 4},
      {"pdfjs_659d6b1991.pdf", 1}, {"pdfjs_08c31db1eb.pdf", 1}, {"qpdf_6cf3a42a79.pdf", 1},
      {"qpdf_6cf3a42a79.pdf", 2},  {"pdfjs_f7083a6dce.pdf", 1}};
  int k = 0;
  for (const auto& [file, page] : pages) {
    jobs.push_back({file, page, 50 + 10 * (k % 3), k % 2});
    k++;
  }
  return jobs;
}

void set_threads(const char* n) {
  if (n)
    test_env::set("RENDRIX_THREADS", n);
  else
    test_env::unset("RENDRIX_THREADS");
}

}  // namespace

TEST(OpenDocument, SameBytesAndMessagesAsThePathCalls) {
  rendrix_init();
  EXPECT_EQ(rendrix_doc_open(nullptr), nullptr);
  EXPECT_STREQ(rendrix_last_error(), "NULL path");
  EXPECT_EQ(rendrix_doc_open("/nonexistent/x.pdf"), nullptr);
  std::string open_error = rendrix_last_error();
  std::string error;
  render_path("/nonexistent/x.pdf", 1, 72, 0, &error);
  EXPECT_EQ(open_error, error);
  EXPECT_EQ(rendrix_doc_page_count(nullptr), 0);
  EXPECT_STREQ(rendrix_last_error(), "NULL document");
  uint64_t size = 7;
  EXPECT_EQ(rendrix_doc_page_memory(nullptr, 1, 72, 0, &size), nullptr);
  EXPECT_EQ(size, 0u);
  EXPECT_STREQ(rendrix_last_error(), "NULL document");
  rendrix_doc_close(nullptr);

  // A two-page document: each page and each bad argument, both ways.
  std::string pdf = test_util::write_temp(
      "open_two.pdf",
      "%PDF-1.4\n1 0 obj << /Type /Catalog /Pages 2 0 R >> endobj\n"
      "2 0 obj << /Type /Pages /Kids [3 0 R 4 0 R] >> endobj\n"
      "3 0 obj << /Type /Page /MediaBox [0 0 20 10] /Contents 5 0 R >> endobj\n"
      "4 0 obj << /Type /Page /MediaBox [0 0 100000 8] >> endobj\n"
      "5 0 obj << /Length 24 >> stream\n1 0 0 rg 2 2 10 5 re f\n\nendstream endobj\n");
  rendrix_doc* doc = rendrix_doc_open(pdf.c_str());
  ASSERT_NE(doc, nullptr);
  EXPECT_STREQ(rendrix_last_error(), "");
  EXPECT_EQ(rendrix_doc_page_count(doc), 2);
  EXPECT_EQ(rendrix_page_count(pdf.c_str()), 2);
  struct {
    int page, dpi, format;
  } cases[] = {{1, 72, 0}, {1, 150, 1}, {1, 0, 0},   {1, 9999, 1}, {2, 72, 0},
               {3, 72, 0}, {0, 72, 0},  {-5, 72, 1}, {1, 72, 2},   {1, 72, -1}};
  for (const auto& c : cases) {
    std::string by_path_error, by_doc_error;
    std::string by_path = render_path(pdf, c.page, c.dpi, c.format, &by_path_error);
    std::string by_doc = render_doc(doc, c.page, c.dpi, c.format, &by_doc_error);
    EXPECT_EQ(by_doc, by_path) << c.page << " " << c.dpi << " " << c.format;
    EXPECT_EQ(by_doc_error, by_path_error) << c.page << " " << c.dpi << " " << c.format;
  }
  rendrix_doc_close(doc);

  // A document without pages opens, and counting its pages fails as the
  // path-based count does.
  std::string none = test_util::write_temp("open_none.pdf", test_util::simple_pdf("", ""));
  doc = rendrix_doc_open(none.c_str());
  if (doc) {
    EXPECT_EQ(rendrix_doc_page_count(doc), 0);
    std::string doc_error = rendrix_last_error();
    EXPECT_EQ(rendrix_page_count(none.c_str()), 0);
    EXPECT_EQ(doc_error, rendrix_last_error());
    rendrix_doc_close(doc);
  } else {
    std::string doc_error = rendrix_last_error();
    EXPECT_EQ(rendrix_page_count(none.c_str()), 0);
    EXPECT_EQ(doc_error, rendrix_last_error());
  }
}

TEST(Threads, EightThreadsGiveTheSingleThreadedBytes) {
  if (!have_corpus()) GTEST_SKIP() << "no corpus at " << RENDRIX_CORPUS_DIR;
  rendrix_init();
  std::vector<job> jobs = corpus_jobs();
  std::vector<std::string> expected(jobs.size());
  for (size_t i = 0; i < jobs.size(); i++) {
    std::string error;
    expected[i] =
        render_path(corpus(jobs[i].file), jobs[i].page, jobs[i].dpi, jobs[i].format, &error);
    ASSERT_FALSE(expected[i].empty()) << jobs[i].file << ": " << error;
  }
  // One open document per file, shared by every thread.
  std::vector<rendrix_doc*> docs(jobs.size());
  for (size_t i = 0; i < jobs.size(); i++) {
    docs[i] = rendrix_doc_open(corpus(jobs[i].file).c_str());
    ASSERT_NE(docs[i], nullptr) << rendrix_last_error();
  }
  const int kThreads = 8;
  std::vector<std::vector<std::string>> got(kThreads, std::vector<std::string>(jobs.size()));
  std::vector<std::vector<std::string>> got_doc(kThreads, std::vector<std::string>(jobs.size()));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([&, t] {
      // Each thread walks the jobs from a different start.
      for (size_t k = 0; k < jobs.size(); k++) {
        size_t i = (k + (size_t)t * 3) % jobs.size();
        const job& j = jobs[i];
        std::string error;
        got[t][i] = render_path(corpus(j.file), j.page, j.dpi, j.format, &error);
        got_doc[t][i] = render_doc(docs[i], j.page, j.dpi, j.format, &error);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (int t = 0; t < kThreads; t++)
    for (size_t i = 0; i < jobs.size(); i++) {
      EXPECT_TRUE(got[t][i] == expected[i]) << "thread " << t << " " << jobs[i].file;
      EXPECT_TRUE(got_doc[t][i] == expected[i]) << "thread " << t << " " << jobs[i].file;
    }
  for (rendrix_doc* d : docs) rendrix_doc_close(d);
}

TEST(Threads, EachThreadKeepsItsOwnMessage) {
  rendrix_init();
  std::string good = test_util::write_temp(
      "own_message.pdf", test_util::simple_pdf("3 0 R",
                                               "3 0 obj << /Type /Page "
                                               "/MediaBox [0 0 8 8] >> endobj\n"));
  const int kThreads = 8, kRounds = 40;
  std::vector<int> wrong(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([&, t] {
      for (int r = 0; r < kRounds; r++) {
        uint64_t size = 0;
        if (t % 2) {
          // Fails with a message naming this thread's page.
          unsigned char* p = rendrix_page_memory(good.c_str(), -t, 72, 0, &size);
          std::string want = "page must be >= 1 (got " + std::to_string(-t) + ")";
          std::this_thread::yield();
          if (p || rendrix_last_error() != want) wrong[t]++;
        } else {
          unsigned char* p = rendrix_page_memory(good.c_str(), 1, 72, 0, &size);
          std::this_thread::yield();
          if (!p || rendrix_last_error()[0] != 0) wrong[t]++;
          rendrix_free_buffer(p);
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (int t = 0; t < kThreads; t++) EXPECT_EQ(wrong[t], 0) << "thread " << t;
}

TEST(Threads, AllPagesWriteTheSameFilesOnAnyNumberOfThreads) {
  rendrix_init();
  // Twelve pages; page 9 is too large to render.
  std::string kids, objs;
  for (int i = 0; i < 12; i++) {
    int num = 3 + 2 * i;
    kids += std::to_string(num) + " 0 R ";
    std::string box = i == 8 ? "[0 0 100000 8]" : "[0 0 " + std::to_string(20 + i) + " 16]";
    std::string content =
        std::to_string(i % 3) + " 0 1 rg 1 1 " + std::to_string(5 + i) + " 9 re f\n";
    objs += std::to_string(num) + " 0 obj << /Type /Page /MediaBox " + box + " /Contents " +
            std::to_string(num + 1) + " 0 R >> endobj\n" + std::to_string(num + 1) +
            " 0 obj << /Length " + std::to_string(content.size()) + " >> stream\n" + content +
            "endstream endobj\n";
  }
  std::string failing = test_util::write_temp("twelve_bad.pdf", test_util::simple_pdf(kids, objs));
  std::string root = testing::TempDir() + "threads_all";
  fs::remove_all(root);
  for (const char* n : {"1", "3", "8"}) {
    set_threads(n);
    std::string dir = root + "/bad" + n;
    EXPECT_EQ(rendrix_all(failing.c_str(), dir.c_str(), 72, 0), 0) << n;
    EXPECT_STREQ(rendrix_last_error(), "page 9/12: page too large at 72 dpi (100000x8 px)") << n;
    for (int page = 1; page <= 12; page++) {
      char name[32];
      snprintf(name, sizeof name, "/page_%03d.png", page);
      EXPECT_EQ(fs::exists(dir + name), page < 9) << n << " page " << page;
      if (page < 9) {
        EXPECT_EQ(test_util::read_file(dir + name), test_util::read_file(root + "/bad1" + name));
      }
    }
  }
  set_threads(nullptr);
  fs::remove_all(root);
}

// rendrix_doc_page_info: the argument checks with their messages, and the
// size it gives is the size of the image a render of the page makes, rotated
// pages included.
TEST(OpenDocument, PageInfoGivesTheRenderedSize) {
  rendrix_init();
  rendrix_page_info info;
  EXPECT_EQ(rendrix_doc_page_info(nullptr, 1, 72, &info), 0);
  EXPECT_STREQ(rendrix_last_error(), "NULL document");
  rendrix_doc* hello = rendrix_doc_open(RENDRIX_EXAMPLES_DIR "/hello.pdf");
  ASSERT_NE(hello, nullptr) << rendrix_last_error();
  EXPECT_EQ(rendrix_doc_page_info(hello, 1, 72, nullptr), 0);
  EXPECT_STREQ(rendrix_last_error(), "NULL info");
  EXPECT_EQ(rendrix_doc_page_info(hello, 0, 72, &info), 0);
  EXPECT_STREQ(rendrix_last_error(), "page must be >= 1 (got 0)");
  EXPECT_EQ(rendrix_doc_page_info(hello, 2, 72, &info), 0);
  EXPECT_STREQ(rendrix_last_error(), "page 2 out of range (1..1)");
  ASSERT_EQ(rendrix_doc_page_info(hello, 1, 100000, &info), 1);
  EXPECT_STREQ(rendrix_last_error(), "");
  EXPECT_EQ(info.box[2], 612);
  EXPECT_EQ(info.box[3], 792);
  EXPECT_EQ(info.rotation, 0);
  EXPECT_EQ(info.width, 612 * 2400 / 72);  // the resolution is clamped as for rendering
  EXPECT_EQ(info.height, 792 * 2400 / 72);
  rendrix_doc_close(hello);

  if (!have_corpus()) GTEST_SKIP() << "no corpus at " << RENDRIX_CORPUS_DIR;
  const char* files[] = {"pdfjs_08c31db1eb.pdf", "pdfjs_f7083a6dce.pdf", "plumber_3820767f7b.pdf",
                         "plumber_87c424c083.pdf", "pdfjs_178c620720.pdf"};
  int rotated = 0;
  for (const char* file : files) {
    rendrix_doc* doc = rendrix_doc_open(corpus(file).c_str());
    ASSERT_NE(doc, nullptr) << file << ": " << rendrix_last_error();
    for (int page = 1; page <= rendrix_doc_page_count(doc); page++) {
      ASSERT_EQ(rendrix_doc_page_info(doc, page, 37, &info), 1) << rendrix_last_error();
      std::string error;
      std::string png = render_doc(doc, page, 37, 0, &error);
      ASSERT_GE(png.size(), 24u) << file << " page " << page << ": " << error;
      auto be32 = [&](size_t at) {
        return int(uint8_t(png[at])) << 24 | int(uint8_t(png[at + 1])) << 16 |
               int(uint8_t(png[at + 2])) << 8 | int(uint8_t(png[at + 3]));
      };
      EXPECT_EQ(info.width, be32(16)) << file << " page " << page;
      EXPECT_EQ(info.height, be32(20)) << file << " page " << page;
      rotated += info.rotation == 90 || info.rotation == 270;
    }
    rendrix_doc_close(doc);
  }
  EXPECT_GT(rotated, 0) << "no quarter-turned page among the files";
}
