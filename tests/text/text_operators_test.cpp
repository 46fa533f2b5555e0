// The text operators keep the text and line matrices, font, size and
// leading, and move the text matrix by what the show operators cover.
#include <string>

#include <gtest/gtest.h>

#include "text_test_util.h"

using namespace text_test;

namespace {

// /W: no glyphs, 'A' advances 0.5 and 'B' 0.25 of the size. /C: a Type0 font
// whose codes all advance 0.5.
text_page widths_page() {
  return text_page(simple_font(10, "Symbol", "/FirstChar 65 /Widths [500 250]") +
                       obj(11, "<< /Subtype /Type0 /DescendantFonts [12 0 R] >>") +
                       obj(12, "<< /DW 500 >>"),
                   "<< /Font << /W 10 0 R /C 11 0 R >> >>");
}

void expect_matrix(const matrix& m, double a, double b, double c, double d, double e, double f) {
  EXPECT_DOUBLE_EQ(m.a, a);
  EXPECT_DOUBLE_EQ(m.b, b);
  EXPECT_DOUBLE_EQ(m.c, c);
  EXPECT_DOUBLE_EQ(m.d, d);
  EXPECT_DOUBLE_EQ(m.e, e);
  EXPECT_DOUBLE_EQ(m.f, f);
}

}  // namespace

TEST(TextState, FontSizeLeadingAndScaling) {
  text_page t = widths_page();
  interp& c = t.ctx();
  t.run("/W 0 Tf");
  EXPECT_EQ(c.font_size, 1.0);
  EXPECT_NE(c.font, nullptr);
  t.run("/W -5 Tf");
  EXPECT_EQ(c.font_size, 1.0);
  t.run("(W) 7 Tf");  // the lower operand must be a name
  EXPECT_EQ(c.font_size, 1.0);
  t.run("/W 12 Tf 50 Tz 50 Tz");
  EXPECT_EQ(c.font_size, 3.0);
  t.run("0 Tz -10 Tz 3 Tw 2 Tc");
  EXPECT_EQ(c.font_size, 3.0);
  t.run("/Nothing 9 Tf");
  EXPECT_EQ(c.font, nullptr);
  EXPECT_EQ(c.font_size, 9.0);
  t.run("14 TL");
  EXPECT_EQ(c.leading, 14);
  t.run("BT");  // font, size and leading survive BT
  EXPECT_EQ(c.leading, 14);
  EXPECT_EQ(c.font_size, 9.0);
}

TEST(TextState, LineMatricesAndLineMoves) {
  text_page t = widths_page();
  interp& c = t.ctx();
  t.run("2 0 0 2 10 20 Tm");
  expect_matrix(c.tm, 2, 0, 0, 2, 10, 20);
  expect_matrix(c.tlm, 2, 0, 0, 2, 10, 20);
  t.run("5 -3 Td");  // the translation is in the line matrix's own space
  expect_matrix(c.tlm, 2, 0, 0, 2, 20, 14);
  expect_matrix(c.tm, 2, 0, 0, 2, 20, 14);
  t.run("BT");
  expect_matrix(c.tm, 1, 0, 0, 1, 0, 0);
  expect_matrix(c.tlm, 1, 0, 0, 1, 0, 0);
  t.run("14 TL T*");
  expect_matrix(c.tm, 1, 0, 0, 1, 0, -14);
  t.run("10 20 TD");
  EXPECT_EQ(c.leading, -20);
  expect_matrix(c.tm, 1, 0, 0, 1, 10, 6);
  t.run("0 0 0 0 0 Tm 5 Td");  // too few operands: nothing
  expect_matrix(c.tm, 1, 0, 0, 1, 10, 6);
}

TEST(TextShow, ShowOperatorsAdvanceTheTextMatrix) {
  text_page t = widths_page();
  interp& c = t.ctx();
  t.run("BT /W 10 Tf (AB) Tj");
  EXPECT_DOUBLE_EQ(c.tm.e, 7.5);
  EXPECT_DOUBLE_EQ(c.tlm.e, 0);  // showing leaves the line start alone
  t.run("(A) Tj (B) Tj");
  EXPECT_DOUBLE_EQ(c.tm.e, 15);
  t.run("BT 2 0 0 2 0 0 Tm (A) Tj");  // measured along the text matrix's x axis
  EXPECT_DOUBLE_EQ(c.tm.e, 10);
  // TJ numbers are thousandths of the size, subtracted.
  t.run("BT [(A) 1000 (B)] TJ");
  EXPECT_DOUBLE_EQ(c.tm.e, 5 - 10 + 2.5);
  t.run("BT [(A) -500 /Name (B) 250] TJ");
  EXPECT_DOUBLE_EQ(c.tm.e, 5 + 5 + 2.5 - 2.5);
  t.run("BT [] TJ (A) TJ 5 TJ");  // empty, and no array marker: nothing
  EXPECT_DOUBLE_EQ(c.tm.e, 0);
  t.run("BT 5 Tj");  // not a string
  EXPECT_DOUBLE_EQ(c.tm.e, 0);
  // ' and ": the next line, then the string; " ignores its spacings.
  t.run("BT 12 TL (A) '");
  EXPECT_DOUBLE_EQ(c.tm.e, 5);
  EXPECT_DOUBLE_EQ(c.tm.f, -12);
  t.run("3 4 (AB) \"");
  EXPECT_DOUBLE_EQ(c.tm.e, 7.5);
  EXPECT_DOUBLE_EQ(c.tm.f, -24);
  EXPECT_DOUBLE_EQ(c.tlm.f, -24);
  // A Type0 font takes two bytes per code and drops an odd last byte.
  t.run("BT /C 10 Tf (abc) Tj");
  EXPECT_DOUBLE_EQ(c.tm.e, 5);
  t.run("BT [(a) (bcd)] TJ");
  EXPECT_DOUBLE_EQ(c.tm.e, 5);
  // Without a font nothing moves, but ' still starts the next line.
  t.run("BT /Nothing 10 Tf (AB) Tj [(A)] TJ");
  EXPECT_DOUBLE_EQ(c.tm.e, 0);
  t.run("(A) '");
  EXPECT_DOUBLE_EQ(c.tm.f, -12);
}
