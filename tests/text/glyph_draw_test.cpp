// Glyphs land where the text matrix and the CTM put them: built-in and
// embedded TrueType outlines filled in the fill colour, Type3 procedures run
// in child contexts, with the clip, line width and nesting rules in force.
#include <cmath>
#include <string>

#include <gtest/gtest.h>

#include "interface/interface.h"
#include "text_test_util.h"

using namespace text_test;

namespace {

const char kHelv[] = "<< /Font << /F 10 0 R >> >>";

// The outline bounds of glyph gid of the built-in sans face, in font units.
struct bounds {
  double x0 = 1e9, y0 = 1e9, x1 = -1e9, y1 = -1e9;
};
bounds sans_bounds(int32_t gid) {
  tf_point* pts;
  uint16_t* ends;
  int32_t np, nc, comp;
  bounds b;
  if (!tf_glyph_outline(g_font_files[FACE_SANS], g_font_lens[FACE_SANS], gid, &pts, &np, &ends, &nc,
                        &comp))
    return b;
  for (int32_t i = 0; i < np; i++) {
    b.x0 = std::min<double>(b.x0, pts[i].x);
    b.x1 = std::max<double>(b.x1, pts[i].x);
    b.y0 = std::min<double>(b.y0, pts[i].y);
    b.y1 = std::max<double>(b.y1, pts[i].y);
  }
  free(pts);
  free(ends);
  return b;
}

// Pixels of content drawn on a fresh page with the Helvetica font /F (with
// the given extra font entries).
std::string helv_pixels(const std::string& content, const std::string& entries = "") {
  text_page t(simple_font(10, "Helvetica", entries), kHelv);
  t.run(content);
  return t.pixels();
}

// A Type3 font (object 10) with the glyph procedure proc for 'a' (and the
// given extra font entries), and a page resource /T naming it.
text_page type3_page(const std::string& proc, const std::string& entries,
                     const std::string& more = "", int32_t size = 100) {
  return text_page(obj(10,
                       "<< /Type /Font /Subtype /Type3 /CharProcs << /a 20 0 R >> "
                       "/FirstChar 97 /Widths [1000] " +
                           entries + " >>") +
                       stream(20, "", proc) + more,
                   "<< /Font << /T 10 0 R >> >>", size, size);
}

}  // namespace

TEST(GlyphPlacement, BuiltinGlyphFollowsTextMatrixAndCtm) {
  init_faces();
  bounds h = sans_bounds(43);  // 'H'
  ASSERT_LT(h.x0, h.x1);
  for (double scale : {1.0, 2.0}) {
    text_page t(simple_font(10, "Helvetica"), kHelv, 200, 200, scale);
    t.run("0 0 1 rg BT /F 24 Tf 20 30 Td (H) Tj ET");
    ink k = ink_box(t.p.cv);
    double s = 24 / 2048.0 * scale;
    // The outline's box in device pixels (y down), give or take the pixel a
    // sample line may miss at each edge.
    EXPECT_NEAR(k.x0, 20 * scale + h.x0 * s, 1.0) << scale;
    EXPECT_NEAR(k.x1 + 1, 20 * scale + h.x1 * s, 1.0) << scale;
    EXPECT_NEAR(k.y0, 200 - 30 * scale - h.y1 * s, 1.0) << scale;
    EXPECT_NEAR(k.y1 + 1, 200 - 30 * scale - h.y0 * s, 1.0) << scale;
    const std::array<uint8_t, 3> px = t.p.px((k.x0 + k.x1) / 2, (k.y0 + k.y1) / 2);  // the bar
    EXPECT_EQ(px[0], 0);
    EXPECT_EQ(px[2], 255);
  }
  // A rotated text matrix turns the glyph: H, taller than wide, lies on its side.
  text_page r(simple_font(10, "Helvetica"), kHelv);
  r.run("BT /F 40 Tf 0 1 -1 0 60 20 Tm (H) Tj ET");
  ink k = ink_box(r.p.cv);
  EXPECT_GT(k.count, 0);
  EXPECT_LT(k.x1, 61);
  EXPECT_GT(k.x1 - k.x0, k.y1 - k.y0);
}

TEST(GlyphPlacement, StringsContinueWhereTheLastEnded) {
  const double adv_a = 1366 / 2048.0 * 16;  // 'A' at size 16
  std::string one = helv_pixels("BT /F 16 Tf 5 40 Td (AB) Tj ET");
  EXPECT_TRUE(same_pixels(helv_pixels("BT /F 16 Tf 5 40 Td (A) Tj (B) Tj ET"), one));
  char moved[128];
  snprintf(moved, sizeof moved, "BT /F 16 Tf 5 40 Td (A) Tj ET BT /F 16 Tf %.17g 40 Td (B) Tj ET",
           5 + adv_a);
  EXPECT_TRUE(same_pixels(helv_pixels(moved), one));
  EXPECT_TRUE(same_pixels(helv_pixels("BT /F 16 Tf 5 40 Td [(A) (B)] TJ ET"), one));
  // A TJ number moves the next string back by thousandths of the size.
  snprintf(moved, sizeof moved, "BT /F 16 Tf 5 40 Td (A) Tj ET BT /F 16 Tf %.17g 40 Td (B) Tj ET",
           5 + adv_a - 16);
  EXPECT_TRUE(
      same_pixels(helv_pixels("BT /F 16 Tf 5 40 Td [(A) 1000 (B)] TJ ET"), helv_pixels(moved)));
  // Tz folds into the size, in both directions.
  EXPECT_TRUE(same_pixels(helv_pixels("BT /F 32 Tf 50 Tz 5 40 Td (AB) Tj ET"), one));
  // T* and ' go down by the leading from the line start; TD sets it.
  std::string two_lines = helv_pixels("BT /F 16 Tf 5 40 Td (A) Tj 0 -20 Td (B) Tj ET");
  EXPECT_TRUE(same_pixels(helv_pixels("BT /F 16 Tf 20 TL 5 40 Td (A) Tj T* (B) Tj ET"), two_lines));
  EXPECT_TRUE(same_pixels(helv_pixels("BT /F 16 Tf 20 TL 5 40 Td (A) Tj (B) ' ET"), two_lines));
  EXPECT_TRUE(
      same_pixels(helv_pixels("BT /F 16 Tf 20 TL 5 40 Td (A) Tj 1 2 (B) \" ET"), two_lines));
  EXPECT_TRUE(same_pixels(helv_pixels("BT /F 16 Tf 5 60 Td 0 -20 TD (A) Tj T* (B) Tj ET"),
                          helv_pixels("BT /F 16 Tf 5 40 Td (A) Tj 0 -20 Td (B) Tj ET")));
}

TEST(GlyphPlacement, CodesWithoutGlyphsAdvanceAndClipStopsPainting) {
  // \201 has no glyph, space has no outline: both advance, neither paints.
  const std::string widths = "/FirstChar 129 /Widths [250]";
  std::string gap = helv_pixels("BT /F 16 Tf 5 40 Td (A\\201\\201 B) Tj ET", widths);
  double adv = (1366 + 569) / 2048.0 * 16 + 2 * 0.25 * 16;  // A, space, two 0x81
  char moved[160];
  snprintf(moved, sizeof moved, "BT /F 16 Tf 5 40 Td (A) Tj ET BT /F 16 Tf %.17g 40 Td (B) Tj ET",
           5 + adv);
  EXPECT_TRUE(same_pixels(gap, helv_pixels(moved, widths)));
  EXPECT_NE(gap.find('\0'), std::string::npos);  // A and B are drawn

  text_page t(simple_font(10, "Helvetica"), kHelv);
  t.p.cv.clip_empty = 1;
  t.run("BT /F 16 Tf 5 40 Td (AB) Tj ET");
  EXPECT_EQ(ink_box(t.p.cv).count, 0);
  EXPECT_DOUBLE_EQ(t.ctx().tm.e, 5 + (1366 + 1366) / 2048.0 * 16);
}

TEST(GlyphPlacement, CachedOutlinesDrawTheSamePixels) {
  std::string cold = helv_pixels("BT /F 30 Tf 10 40 Td (Qg) Tj ET");
  text_page t(simple_font(10, "Helvetica"), kHelv);
  t.run("BT /F 30 Tf 50 10 Td (gQ) Tj ET");  // converts and keeps both outlines
  t.clear();
  t.run("BT /F 30 Tf 10 40 Td (Qg) Tj ET");
  EXPECT_TRUE(same_pixels(t.pixels(), cold));
}

TEST(GlyphPlacement, EmbeddedTrueTypeDrawsLikeTheBuiltinFace) {
  init_faces();
  test_util::loaded_doc d(test_util::read_file(test_util::data_path("pdf/text_truetype.pdf")));
  ASSERT_EQ(d.ok, 1) << d.error;
  ASSERT_EQ(d.doc.pages.count, 3);
  test_util::loaded_doc ref(test_util::simple_pdf(
      "3 0 R", obj(3,
                   "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 100] /Resources << "
                   "/Font << /F 10 0 R >> >> /Contents 4 0 R >>") +
                   stream(4, "", "BT /F 48 Tf 10 30 Td (AB) Tj ET") +
                   simple_font(10, "Helvetica")));
  ASSERT_EQ(ref.ok, 1);
  int32_t w, h;
  uint8_t* expect = render_page(&ref.doc, 0, 72, &w, &h);
  ASSERT_NE(expect, nullptr);
  std::string want(reinterpret_cast<char*>(expect), (size_t)w * h * 4);
  free(expect);
  EXPECT_NE(want.find('\0'), std::string::npos);  // something black was drawn
  for (int32_t page = 0; page < 3; page++) {
    int32_t pw, ph;
    uint8_t* got = render_page(&d.doc, page, 72, &pw, &ph);
    ASSERT_NE(got, nullptr);
    EXPECT_TRUE(same_pixels(std::string(reinterpret_cast<char*>(got), (size_t)pw * ph * 4), want))
        << page;
    free(got);
  }
}

TEST(Type3Glyphs, UnitSquareBecomesAFontSizeSquare) {
  // Without a FontMatrix, with an identity one, and with the usual
  // thousandths and a 1000-unit square: the same 10 x 10 square.
  const std::string show = "0 0 1 rg BT /T 10 Tf 20 30 Td (a) Tj ET";
  for (auto [proc, entries] :
       {std::pair<std::string, std::string>{"0 0 1 1 re f", ""},
        {"0 0 1 1 re f", "/FontMatrix [1 0 0 1 0 0]"},
        {"1000 0 0 0 1000 1000 d1 0 0 1000 1000 re f", "/FontMatrix [0.001 0 0 0.001 0 0]"}}) {
    text_page t = type3_page(proc, entries);
    t.run(show);
    ink k = ink_box(t.p.cv);
    EXPECT_EQ(k.count, 100) << entries;
    EXPECT_EQ(k.x0, 20);
    EXPECT_EQ(k.x1, 29);
    EXPECT_EQ(k.y0, 100 - 40);
    EXPECT_EQ(k.y1, 100 - 31);
    EXPECT_EQ(t.p.px(25, 65)[2], 255);  // the text's fill colour
    EXPECT_EQ(t.p.px(25, 65)[0], 0);
  }
  // The advance: widths in glyph space through the matrix.
  text_page t = type3_page("0 0 1000 1000 re f", "/FontMatrix [0.001 0 0 0.001 0 0]");
  t.run("BT /T 10 Tf 0 0 Td (aa) Tj ET");
  EXPECT_DOUBLE_EQ(t.ctx().tm.e, 20);
  EXPECT_EQ(ink_box(t.p.cv).count, 200);
}

TEST(Type3Glyphs, LineWidthOpacityAndResources) {
  text_page t = type3_page("0 0 1 1 re f", "");
  t.p.cv.fill_alpha = 1.0;
  t.p.cv.stroke_alpha = 0.5;
  t.run("5 w BT /T 10 Tf (a) Tj ET");
  EXPECT_EQ(t.p.cv.line_width, 1.0);
  EXPECT_EQ(t.p.cv.stroke_alpha, 1.0);
  text_page s = type3_page("3 w 0 0 1 1 re f", "");
  s.run("5 w BT /T 10 Tf (a) Tj ET");
  EXPECT_EQ(s.p.cv.line_width, 3.0);
  // The procedure names fonts in the Type3 font's own resources, which the
  // page's resources do not hold.
  text_page r = type3_page("BT /H 1 Tf (H) Tj ET", "/Resources << /Font << /H 11 0 R >> >>",
                           simple_font(11, "Helvetica"));
  r.run("BT /T 40 Tf 20 30 Td (a) Tj ET");
  EXPECT_GT(ink_box(r.p.cv).count, 50);
}

TEST(Type3Glyphs, SelfShowingGlyphsRunOnceAndFanOutIsBounded) {
  struct counter {
    int fills = 0;
    static void hook(void* u, const char* kw, int32_t len, const operand*, int32_t) {
      if (len == 1 && kw[0] == 'f') static_cast<counter*>(u)->fills++;
    }
  };
  const std::string self = "/Resources << /Font << /T 10 0 R >> >>";
  // A procedure that shows its own glyph, once or four times: the glyph is
  // already running, so the inner shows are skipped and each outer glyph
  // fills once (with only a depth bound, 4^16 runs).
  for (const char* inner : {"(a)", "(aaaa)"}) {
    text_page t =
        type3_page(std::string("0 0 1 1 re f BT /T 0.5 Tf 1 0 Td ") + inner + " Tj ET", self);
    counter c;
    interp_set_operator_hook(&counter::hook, &c);
    t.run("BT /T 20 Tf 10 10 Td (aa) Tj ET");
    interp_set_operator_hook(nullptr, nullptr);
    EXPECT_EQ(c.fills, 2) << inner;
    EXPECT_GT(ink_box(t.p.cv).count, 0);
  }
  // Five distinct fonts, each glyph showing the next font's glyph four
  // times: no cycle, 4 + 16 + ... + 1024 nested runs. Each outermost glyph
  // allows kMaxType3NestedRuns of them.
  std::string objects;
  for (int k = 0; k < 5; k++) {
    std::string next = "/Resources << /Font << /N " + std::to_string(11 + k) + " 0 R >> >>";
    objects +=
        obj(10 + k, "<< /Type /Font /Subtype /Type3 /CharProcs << /a " + std::to_string(20 + k) +
                        " 0 R >> /FirstChar 97 /Widths [1000] " + (k < 4 ? next : "") + " >>") +
        stream(20 + k, "", k < 4 ? "0 0 1 1 re f BT /N 1 Tf (aaaa) Tj ET" : "0 0 1 1 re f");
  }
  text_page w(objects, "<< /Font << /T 10 0 R >> >>");
  counter c2;
  interp_set_operator_hook(&counter::hook, &c2);
  w.run("BT /T 20 Tf (aa) Tj ET");
  interp_set_operator_hook(nullptr, nullptr);
  EXPECT_EQ(c2.fills, 2 * (1 + kMaxType3NestedRuns));
}
