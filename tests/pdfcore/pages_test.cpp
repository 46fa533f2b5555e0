// The page tree walk: rotation is inherited, boxes are the page's own, and a
// broken, cyclic or absurdly deep tree fails as a whole.
#include <string>

#include <gtest/gtest.h>

#include "pdfcore/pdfcore_internal.h"
#include "support/test_util.h"

using test_util::bytes;
using test_util::len;
using test_util::loaded_doc;
using test_util::simple_pdf;

static const char kBroken[] =
    "could not resolve the page tree (obj 2 is not a /Pages or /Page object, or tree is broken)";

TEST(PageTree, RotationIsInherited) {
  loaded_doc d(
      "1 0 obj << /Type /Catalog /Pages 2 0 R >> endobj\n"
      "2 0 obj << /Type /Pages /Rotate 90 /Kids [3 0 R 4 0 R 5 0 R 6 0 R] >> endobj\n"
      "3 0 obj << /Type /Page >> endobj\n"
      "4 0 obj << /Type /Page /Rotate 450 >> endobj\n"
      "5 0 obj << /Type /Page /Rotate -90 >> endobj\n"
      "6 0 obj << /Type /Pages /Rotate 180 /Kids [3 0 R] >> endobj\n");
  ASSERT_TRUE(d.ok) << d.error;
  ASSERT_EQ(d.doc.pages.count, 4);
  EXPECT_EQ(d.doc.pages.items[0].rotate, 90);
  EXPECT_EQ(d.doc.pages.items[1].rotate, 90);   // 450 reduced
  EXPECT_EQ(d.doc.pages.items[2].rotate, 90);   // negative counts as absent
  EXPECT_EQ(d.doc.pages.items[3].rotate, 180);  // the same page under another parent
  EXPECT_EQ(d.doc.pages.items[3].num, 3);
  EXPECT_EQ(d.doc.pages.items[3].inherited_rotate, 180);
}

TEST(PageTree, BoxesAreThePagesOwn) {
  loaded_doc d(
      "1 0 obj << /Type /Catalog /Pages 2 0 R >> endobj\n"
      "2 0 obj << /Type /Pages /MediaBox [0 0 10 10] /Kids [3 0 R 4 0 R 5 0 R 6 0 R] >> endobj\n"
      "3 0 obj << /Type /Page >> endobj\n"
      "4 0 obj << /Type /Page /MediaBox [0 0 612 792] /CropBox [10 20 300.5 400.25] >> endobj\n"
      "5 0 obj << /Type /Page /CropBox 9 0 R /MediaBox [1 2 0 5] /MediaBox [-1 -2 3 .5] >> endobj\n"
      "6 0 obj << /Type /Page /MediaBox [0 0 100] >> endobj\n");
  ASSERT_TRUE(d.ok) << d.error;
  ASSERT_EQ(d.doc.pages.count, 4);
  const pageinfo* p = d.doc.pages.items;
  EXPECT_EQ(p[0].x1, 595);  // default, not the parent's box
  EXPECT_EQ(p[0].y1, 842);
  EXPECT_DOUBLE_EQ(p[1].x0, 10);
  EXPECT_DOUBLE_EQ(p[1].x1, 300.5);
  EXPECT_DOUBLE_EQ(p[1].y1, 400.25);
  // CropBox by reference passed over, first MediaBox invalid (x1 = 0), and
  // ".5" read as 5.
  EXPECT_DOUBLE_EQ(p[2].x0, -1);
  EXPECT_DOUBLE_EQ(p[2].y0, -2);
  EXPECT_DOUBLE_EQ(p[2].y1, 5);
  EXPECT_EQ(p[3].x1, 595);  // three numbers: invalid
}

TEST(PageTree, BoxArrayNumbers) {
  double v[4];
  std::string s = "[ +1.5 -. 3 4 ]";
  ASSERT_EQ(parse_box_array(bytes(s), len(s), 0, &v[0], &v[1], &v[2], &v[3]), 1);
  EXPECT_DOUBLE_EQ(v[0], 1.5);
  EXPECT_DOUBLE_EQ(v[1], 0);  // a sign with nothing after it
  std::string junk = "[1 x 2 /y 3 4]";
  ASSERT_EQ(parse_box_array(bytes(junk), len(junk), 0, &v[0], &v[1], &v[2], &v[3]), 1);
  EXPECT_DOUBLE_EQ(v[3], 4);
  std::string cut = "[1 2 3";
  EXPECT_EQ(parse_box_array(bytes(cut), len(cut), 0, &v[0], &v[1], &v[2], &v[3]), 0);
}

TEST(PageTree, CatalogNamingAPageDirectly) {
  loaded_doc d(
      "1 0 obj << /Type /Catalog /Pages 3 0 R >> endobj\n"
      "3 0 obj << /Type /Page /MediaBox [0 0 50 60] >> endobj\n");
  ASSERT_TRUE(d.ok) << d.error;
  ASSERT_EQ(d.doc.pages.count, 1);
  EXPECT_EQ(d.doc.pages.items[0].y1, 60);
}

TEST(PageTree, FailuresDiscardTheWholeTree) {
  struct {
    std::string text, message;
  } cases[] = {
      // A kid missing from the table.
      {simple_pdf("3 0 R 9 0 R", "3 0 obj << /Type /Page >> endobj\n"), kBroken},
      // A kid that is neither /Page nor /Pages.
      {simple_pdf("3 0 R", "3 0 obj << /Type /Font >> endobj\n"), kBroken},
      // A /Pages node reached twice (a cycle).
      {simple_pdf("3 0 R", "3 0 obj << /Type /Pages /Kids [2 0 R] >> endobj\n"), kBroken},
      // An inline dictionary below the root is an ordinary failure.
      {simple_pdf("3 0 R", "3 0 obj << /Type /Pages /Kids [<< /Type /Page >>] >> endobj\n"),
       kBroken},
      // /Type /Pagex decides at once: not a page.
      {simple_pdf("3 0 R", "3 0 obj << /Type /Pagex /Type /Page >> endobj\n"), kBroken},
  };
  for (const auto& c : cases) {
    loaded_doc d(c.text);
    EXPECT_FALSE(d.ok);
    EXPECT_EQ(d.error, c.message) << c.text;
  }
}

TEST(PageTree, DeepTreeFailsWithoutExhaustingTheStack) {
  // A chain of 100,000 /Pages nodes, each the only kid of the one before.
  std::string s = "1 0 obj << /Type /Catalog /Pages 2 0 R >> endobj\n";
  const int depth = 100000;
  for (int n = 2; n < depth; n++)
    s += std::to_string(n) + " 0 obj << /Type /Pages /Kids [" + std::to_string(n + 1) +
         " 0 R] >> endobj\n";
  s += std::to_string(depth) + " 0 obj << /Type /Page >> endobj\n";
  loaded_doc d(s);
  EXPECT_FALSE(d.ok);
  EXPECT_EQ(d.error, kBroken);
  // A moderately deep tree still loads.
  std::string ok = "1 0 obj << /Type /Catalog /Pages 2 0 R >> endobj\n";
  for (int n = 2; n < 100; n++)
    ok += std::to_string(n) + " 0 obj << /Type /Pages /Kids [" + std::to_string(n + 1) +
          " 0 R] >> endobj\n";
  ok += "100 0 obj << /Type /Page >> endobj\n";
  loaded_doc fine(ok);
  ASSERT_TRUE(fine.ok) << fine.error;
  EXPECT_EQ(fine.doc.pages.count, 1);
}

TEST(PageTree, TypeReaders) {
  loaded_doc d(simple_pdf("3 0 R",
                          "3 0 obj << /Type /Page /Resources << /Type /Pages >> >> endobj\n"
                          "4 0 obj << /Kids 5 0 R /Kids [6 0 R 7 0 R 0 0 R <ab> 8] >> endobj\n"
                          "5 0 obj << /Rotate /X >> endobj\n"));
  ASSERT_TRUE(d.ok) << d.error;
  EXPECT_EQ(obj_type(d.doc.data, d.doc.len, d.find(3)), 1);
  EXPECT_EQ(obj_type(d.doc.data, d.doc.len, d.find(2)), 2);
  EXPECT_EQ(obj_type(d.doc.data, d.doc.len, d.find(1)), 0);
  int32_t kids[8];
  ASSERT_EQ(parse_kids(d.doc.data, d.doc.len, d.find(4), kids, 8), 3);
  EXPECT_EQ(kids[0], 6);
  EXPECT_EQ(kids[1], 7);
  EXPECT_EQ(kids[2], 8);
  EXPECT_EQ(parse_kids(d.doc.data, d.doc.len, d.find(4), kids, 1), 1);  // capacity holds
  EXPECT_EQ(parse_kids(d.doc.data, d.doc.len, d.find(5), kids, 8), -1);
  EXPECT_EQ(obj_rotate_own(d.doc.data, d.doc.len, d.find(5)), -1);
  EXPECT_EQ(parse_pages_ref(d.doc.data, d.doc.len, d.find(1)), 2);
}
