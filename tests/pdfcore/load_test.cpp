// Loading finds objects by their headers alone, fixes stream ends from
// /Length or "endstream", keeps one definition per number, and reports every
// failure with its own message.
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "pdfcore/pdfcore_internal.h"
#include "support/test_util.h"

using test_util::loaded_doc;
using test_util::simple_pdf;

static const std::string kPage3 = "3 0 obj\n<< /Type /Page >>\nendobj\n";

TEST(LoadHeaders, ScanAcceptsOnlyWellFormedHeaders) {
  std::string body = kPage3 +
                     "4 0 obj (four) endobj\n"
                     "x5 0 obj (alnum before the number) endobj\n"
                     "6 obj (no generation) endobj\n"
                     "0 0 obj (number zero) endobj\n"
                     "7\n\x0b 0\r\n obj (C whitespace, VT included) endobj\n"
                     "9 0 objx (not the keyword) endobj\n"
                     "10 0 obj 42 endobj\n"
                     "8 0 obj (never ended)\n";
  loaded_doc d(simple_pdf("3 0 R", body));
  ASSERT_TRUE(d.ok) << d.error;
  EXPECT_NE(d.find(4), nullptr);
  EXPECT_EQ(d.find(5), nullptr);
  EXPECT_EQ(d.find(6), nullptr);
  EXPECT_EQ(d.find(0), nullptr);
  EXPECT_NE(d.find(7), nullptr);
  EXPECT_EQ(d.find(8), nullptr);  // a non-stream object needs an endobj
  EXPECT_EQ(d.find(9), nullptr);
  const obj_entry* e = d.find(10);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->dict_off, -1);  // its value is not a dictionary
  EXPECT_EQ(d.doc.max_num, 10);
  // The header may start the file, and no "%PDF-" line is needed.
  loaded_doc first("1 0 obj << /Type /Pages /Kids [2 0 R] >> endobj 2 0 obj <</Type/Page>> endobj");
  ASSERT_TRUE(first.ok) << first.error;
  EXPECT_EQ(first.find(1)->head_off, 0);
  EXPECT_EQ(first.doc.pages.count, 1);
}

TEST(LoadStreams, DataStartAndEnd) {
  std::string body = kPage3 +
                     "4 0 obj << /Length 3 >> stream\r\nabc\r\nendstream endobj\n"
                     "5 0 obj << /Length 100 >> stream\nshort\r\nendstream endobj\n"
                     "6 0 obj << /Length 1 >> stream\nlonger than one\nendstream endobj\n"
                     "7 0 obj << /Length 12 0 R >> stream \t\nxyz\nendstream endobj\n"
                     "12 0 obj 3 endobj\n"
                     "8 0 obj << >> stream\nno length\nendstream endobj\n"
                     "9 0 obj << /Length 99 0 R >> stream\nmissing ref\nendstream endobj\n"
                     "10 0 obj << /Length 4 0 R >> stream\nref to a stream\nendstream endobj\n"
                     "11 0 obj << /Length 3 >> stream  XY\nendstream endobj\n";
  loaded_doc d(simple_pdf("3 0 R", body));
  ASSERT_TRUE(d.ok) << d.error;
  EXPECT_EQ(d.stream_data(4), "abc");
  EXPECT_EQ(d.stream_data(5), "short");            // too long: cut at endstream less CR LF
  EXPECT_EQ(d.stream_data(6), "longer than one");  // too short: the same
  EXPECT_EQ(d.stream_data(7), "xyz");              // indirect length; spaces before the LF
  EXPECT_EQ(d.find(8), nullptr);                   // no usable /Length: dropped
  EXPECT_EQ(d.find(9), nullptr);
  EXPECT_EQ(d.find(10), nullptr);
  EXPECT_EQ(d.stream_data(11), " XY");  // no end-of-line: one byte skipped
  const obj_entry* e = d.find(4);
  EXPECT_EQ(e->endobj_off, (int32_t)d.doc.len - (int32_t)body.size() +
                               (int32_t)body.find("endobj", body.find("4 0 obj")));
}

TEST(LoadStreams, HeadersInsideStreamDataAreNotObjects) {
  std::string body = kPage3 +
                     "4 0 obj << /Length 40 >> stream\n"
                     "5 0 obj (inside the data) endobj      \n"
                     "endstream endobj\n"
                     "6 0 obj << /Length 1000 >> stream\n"
                     "7 0 obj (inside, with a wrong length) endobj\n"
                     "endstream\nendobj\n";
  loaded_doc d(simple_pdf("3 0 R", body));
  ASSERT_TRUE(d.ok) << d.error;
  EXPECT_NE(d.find(4), nullptr);
  EXPECT_EQ(d.find(5), nullptr);
  EXPECT_NE(d.find(6), nullptr);
  EXPECT_EQ(d.find(7), nullptr);
}

TEST(LoadDuplicates, LaterDefinitionWinsAndLargeNumbersGo) {
  std::string body = kPage3 +
                     "4 0 obj (first) endobj\n"
                     "4 0 obj (second) endobj\n"
                     "8388607 0 obj (largest kept) endobj\n"
                     "8388608 0 obj (too large) endobj\n";
  loaded_doc d(simple_pdf("3 0 R", body));
  ASSERT_TRUE(d.ok) << d.error;
  const obj_entry* e = d.find(4);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(std::string((const char*)d.doc.data + e->head_off, 16), "4 0 obj (second)");
  EXPECT_NE(d.find(8388607), nullptr);
  EXPECT_EQ(d.find(8388608), nullptr);
  EXPECT_EQ(d.doc.max_num, 8388607);
  int fours = 0;
  for (int32_t i = 0; i < d.doc.objects.count; i++) fours += d.doc.objects.items[i].num == 4;
  EXPECT_EQ(fours, 1);
}

TEST(LoadCatalog, ChosenByTrailerThenByNameThenObjectOne) {
  // No trailer: the first object naming /Catalog is used.
  loaded_doc named(
      "5 0 obj << /Type /Catalog /Pages 6 0 R >> endobj\n"
      "6 0 obj << /Type /Pages /Kids [7 0 R 7 0 R] >> endobj\n"
      "7 0 obj << /Type /Page >> endobj");
  ASSERT_TRUE(named.ok) << named.error;
  EXPECT_EQ(named.doc.catalog, 5);
  EXPECT_EQ(named.doc.pages.count, 2);  // a page listed twice counts twice
  // Neither: object 1 is taken, and may itself be the /Pages node.
  loaded_doc one(
      "1 0 obj << /Type /Pages /Kids [2 0 R] >> endobj\n"
      "2 0 obj << /Type /Page >> endobj");
  ASSERT_TRUE(one.ok) << one.error;
  EXPECT_EQ(one.doc.catalog, 1);
  // A /Root naming a missing object falls back on the search.
  loaded_doc stale(test_util::with_trailer(simple_pdf("3 0 R", kPage3), "<< /Root 44 0 R >>"));
  EXPECT_TRUE(stale.ok) << stale.error;
}

TEST(LoadMessages, EveryFailureHasItsMessage) {
  pdfcore_doc doc;
  EXPECT_EQ(pdfcore_load(nullptr, &doc), 0);
  EXPECT_STREQ(pdfcore_last_error(), "NULL path argument");
  EXPECT_EQ(pdfcore_load("/nonexistent/x.pdf", &doc), 0);
  EXPECT_STREQ(pdfcore_last_error(), "cannot open /nonexistent/x.pdf");
  // A directory opens for reading on Linux; it must not pass for a huge file.
  std::string dir =
      std::filesystem::path(test_util::write_temp("dir_probe.pdf", "")).parent_path().string();
  EXPECT_EQ(pdfcore_load(dir.c_str(), &doc), 0);
  EXPECT_EQ(std::string(pdfcore_last_error()), "cannot open " + dir);
  std::string empty = test_util::write_temp("empty.pdf", "");
  EXPECT_EQ(pdfcore_load(empty.c_str(), &doc), 0);
  EXPECT_EQ(std::string(pdfcore_last_error()), "empty input file: " + empty);
  // Holes cost no disk space; the loader refuses before reading.
  std::string huge = test_util::write_temp("huge.pdf", "");
  std::filesystem::resize_file(huge, 2147483648ull);
  EXPECT_EQ(pdfcore_load(huge.c_str(), &doc), 0);
  EXPECT_EQ(std::string(pdfcore_last_error()), "file too large (2 GiB or more): " + huge);
  std::filesystem::remove(huge);

  struct {
    std::string text, message;
  } cases[] = {
      {"just some text, no objects", "no PDF objects found \xE2\x80\x94 not a PDF: t.pdf"},
      {test_util::with_trailer(simple_pdf("3 0 R", kPage3), "<< /Root 1 0 R /Encrypt 9 0 R >>"),
       "encrypted PDFs are not supported: t.pdf"},
      {"1 0 obj << /Type /Catalog >> endobj", "catalog (obj 1) has no /Pages reference"},
      {"4 0 obj (x) endobj", "catalog (obj 1) has no /Pages reference"},
      {simple_pdf("<< /Type /Page >>", ""),
       "page tree uses inline page dictionaries in /Kids \xE2\x80\x94 pages must be indirect "
       "objects"},
      {simple_pdf("3 0 R", ""),
       "could not resolve the page tree (obj 2 is not a /Pages or /Page object, or tree is "
       "broken)"},
      {simple_pdf("", ""), "document has no pages"},
  };
  for (const auto& c : cases) {
    loaded_doc d(c.text, "t.pdf");
    EXPECT_EQ(d.ok, 0);
    EXPECT_EQ(d.error, c.message);
    // A failed load leaves an empty record behind.
    EXPECT_EQ(d.doc.data, nullptr);
    EXPECT_EQ(d.doc.objects.items, nullptr);
    EXPECT_EQ(d.doc.pages.items, nullptr);
    EXPECT_EQ(d.doc.arena.blocks, nullptr);
  }
  pdfcore_doc zero = {};
  pdfcore_doc_free(&zero);  // harmless on a zeroed record
}

TEST(LoadIndex, LookupMatchesLinearSearch) {
  std::string body = kPage3;
  for (int n = 2000; n > 3; n -= 7) body += std::to_string(n) + " 0 obj (o) endobj\n";
  loaded_doc d(simple_pdf("3 0 R", body));
  ASSERT_TRUE(d.ok) << d.error;
  for (int32_t n = 0; n <= 2001; n++) {
    const obj_entry* linear = nullptr;
    for (int32_t i = 0; i < d.doc.objects.count && !linear; i++)
      if (d.doc.objects.items[i].num == n) linear = &d.doc.objects.items[i];
    EXPECT_EQ(d.find(n), linear) << n;
  }
}
