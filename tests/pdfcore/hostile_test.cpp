// Hostile documents load, or fail with a message, in time proportional to
// their size: none of these would finish in minutes with a quadratic scan.
#include <string>

#include <gtest/gtest.h>

#include "pdfcore/pdfcore_internal.h"
#include "support/test_util.h"

using test_util::loaded_doc;
using test_util::simple_pdf;

static const std::string kTree = simple_pdf("3 0 R", "3 0 obj << /Type /Page >> endobj\n");

static std::string repeat_numbered(int count, const std::string& tail) {
  std::string s;
  for (int n = 100; n < 100 + count; n++) s += std::to_string(n) + " 0 obj " + tail;
  return s;
}

TEST(HostileScan, UnclosedDictionariesAndStrings) {
  loaded_doc dicts(kTree + repeat_numbered(200000, "<< /A "));
  EXPECT_TRUE(dicts.ok) << dicts.error;
  // Every header after the first sits inside one unterminated string.
  loaded_doc strings(kTree + repeat_numbered(200000, "<< /A (") + "endobj");
  EXPECT_TRUE(strings.ok) << strings.error;
}

TEST(HostileScan, StreamsWithoutEnds) {
  loaded_doc d(kTree + repeat_numbered(150000, "<< /Length 99999 >> stream\nabc "));
  EXPECT_TRUE(d.ok) << d.error;
  loaded_doc ends(kTree + repeat_numbered(150000, "<< /Length 5 >> stream\nabc endstream "));
  EXPECT_TRUE(ends.ok) << ends.error;
}

TEST(HostileScan, ObjectsSharingOneEndobjWithoutTrailer) {
  // No trailer: the catalog is searched in every object's text, and all of
  // these texts run to the same final "endobj".
  std::string s = repeat_numbered(200000, "<< /A 1 ") + "endobj\n" +
                  "1 0 obj << /Type /Catalog /Pages 2 0 R >> endobj\n"
                  "2 0 obj << /Type /Pages /Kids [3 0 R] >> endobj\n"
                  "3 0 obj << /Type /Page >> endobj\n";
  loaded_doc d(s);
  ASSERT_TRUE(d.ok) << d.error;
  EXPECT_EQ(d.doc.catalog, 1);
}

TEST(HostileTree, PageListedManyTimesIsReadOnce) {
  std::string kids;
  for (int i = 0; i < 300000; i++) kids += "3 0 R ";
  std::string s = simple_pdf(kids, "3 0 obj << /Type /Page /Pad (" + std::string(2000000, 'p') +
                                       ") /MediaBox [0 0 10 20] >> endobj\n");
  loaded_doc d(s);
  ASSERT_TRUE(d.ok) << d.error;
  EXPECT_EQ(d.doc.pages.count, 300000);
  EXPECT_EQ(d.doc.pages.items[299999].y1, 20);
}

TEST(HostileTree, PageListIsCapped) {
  // Every one of 600 /Pages nodes lists the same 4,000 pages: 2.4 million
  // entries, more than any real document has.
  std::string kids, nodes, page_refs;
  for (int i = 0; i < 4000; i++) page_refs += "3 0 R ";
  for (int n = 10; n < 610; n++) {
    kids += std::to_string(n) + " 0 R ";
    nodes += std::to_string(n) + " 0 obj << /Type /Pages /Kids [" + page_refs + "] >> endobj\n";
  }
  loaded_doc d(simple_pdf(kids, "3 0 obj << /Type /Page >> endobj\n" + nodes));
  EXPECT_FALSE(d.ok);
}

TEST(HostileBytes, MutationSweepNeverCrashes) {
  for (const char* name : {"pdf/objstm_basic.pdf", "pdf/flate_content.pdf"}) {
    std::string pdf = test_util::read_file(test_util::data_path(name));
    ASSERT_FALSE(pdf.empty()) << name;
    test_util::mutation_sweep(pdf, [](const std::string& m) {
      loaded_doc d(m);
      if (d.ok)
        EXPECT_GT(d.doc.pages.count, 0);
      else
        EXPECT_FALSE(d.error.empty());
    });
  }
}
