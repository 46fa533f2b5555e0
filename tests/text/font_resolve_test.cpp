// Font resources resolve into records with the right face, glyph map, widths
// and Type3 procedures, cached once per context and name.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "text_test_util.h"

using namespace text_test;

namespace {

// The glyph the built-in sans face maps the character u to.
int32_t sans_glyph(int32_t u) {
  init_faces();
  static std::vector<uint16_t> map;
  if (map.empty()) {
    map.resize(65536);
    int ok = 0;
    tf_build_cmap(g_font_files[FACE_SANS], g_font_lens[FACE_SANS], map.data(), &ok);
  }
  return map[(size_t)u];
}

double sans_advance(int32_t glyph) {
  int32_t adv = 0;
  tf_hmtx(g_font_files[FACE_SANS], g_font_lens[FACE_SANS], glyph, &adv);
  return adv / 2048.0;
}

// A Type0 font (object 10) whose descendant (11) carries the given entries.
std::string composite(const std::string& descendant_entries, const std::string& more = "") {
  return obj(10,
             "<< /Type /Font /Subtype /Type0 /Encoding /Identity-H /DescendantFonts [11 0 R] >>") +
         obj(11, "<< /Type /Font /Subtype /CIDFontType2 " + descendant_entries + " >>") + more;
}

const char kF10[] = "<< /Font << /F 10 0 R >> >>";

}  // namespace

TEST(FontFaces, BaseFontNameChoosesTheBuiltinFace) {
  struct {
    const char* base;
    int face;
  } cases[] = {{"Helvetica", FACE_SANS},
               {"Courier-Bold", FACE_MONO},
               {"Times-Roman", FACE_SERIF},
               {"Palatino-Italic", FACE_SERIF},
               {"ABCDEF+Garamond", FACE_SERIF},
               {"DejaVuSansMono", FACE_MONO},
               {"Symbol", -1},
               {"ZapfDingbats", -1},
               {"Arial,Bold", FACE_SANS}};
  for (const auto& c : cases) {
    text_page t(simple_font(10, c.base), kF10);
    font* f = t.get("F");
    ASSERT_NE(f, nullptr) << c.base;
    EXPECT_EQ(f->kind, 1);
    EXPECT_EQ(f->face, c.face) << c.base;
    EXPECT_EQ(f->obj_num, 10u);
    if (c.face < 0) {
      EXPECT_EQ(f->glyph_map, nullptr) << c.base;  // advances, draws nothing
    } else {
      ASSERT_NE(f->glyph_map, nullptr);
      EXPECT_EQ(f->shared_map, 1);
      EXPECT_EQ(f->units_per_em, 2048);
    }
  }
  // No BaseFont at all: the sans face.
  text_page t(obj(10, "<< /Type /Font /Subtype /TrueType >>"), kF10);
  ASSERT_NE(t.get("F"), nullptr);
  EXPECT_EQ(t.get("F")->face, FACE_SANS);
}

TEST(SimpleWidths, FirstCharWidthsAndProgramAdvances) {
  // The document's widths apply where the face has no glyph (Symbol: none).
  text_page s(simple_font(10, "Symbol", "/FirstChar 32 /Widths [250 333]"), kF10);
  font* f = s.get("F");
  ASSERT_NE(f, nullptr);
  EXPECT_DOUBLE_EQ(glyph_advance(f, 32), 0.25);
  EXPECT_DOUBLE_EQ(glyph_advance(f, 33), 0.333);
  EXPECT_DOUBLE_EQ(glyph_advance(f, 34), 0.5);  // past the array
  EXPECT_EQ(glyph_advance(f, 31), 0);           // below FirstChar
  EXPECT_EQ(glyph_advance(f, 256), 0);
  // Real widths are single numbers: 277.83 is not 277 followed by 83.
  text_page r(simple_font(10, "Symbol", "/FirstChar 65 /Widths [277.83 -.5 600]"), kF10);
  f = r.get("F");
  EXPECT_DOUBLE_EQ(glyph_advance(f, 65), 0.27783);
  EXPECT_DOUBLE_EQ(glyph_advance(f, 66), -0.0005);
  EXPECT_DOUBLE_EQ(glyph_advance(f, 67), 0.6);
  // Widths given by reference to an array object.
  text_page ref(simple_font(10, "Symbol", "/FirstChar 65 /Widths 12 0 R") + obj(12, "[ 400 500 ]"),
                kF10);
  EXPECT_DOUBLE_EQ(glyph_advance(ref.get("F"), 66), 0.5);
  // With a face, its advances win wherever the code has a glyph.
  text_page h(simple_font(10, "Helvetica", "/FirstChar 65 /Widths [100 100]"), kF10);
  f = h.get("F");
  EXPECT_EQ(f->glyph_map['A'].gid, 36);
  EXPECT_DOUBLE_EQ(glyph_advance(f, 'A'), 1366 / 2048.0);
  EXPECT_DOUBLE_EQ(glyph_advance(f, 0x81), 0.5);  // no glyph, past the widths
  EXPECT_EQ(glyph_advance(nullptr, 65), 0.5);
}

TEST(SimpleCodes, HighCodesAreWindows1252Characters) {
  text_page t(simple_font(10, "Helvetica"), kF10);
  font* f = t.get("F");
  ASSERT_NE(f, nullptr);
  ASSERT_NE(sans_glyph(0x20AC), 0);
  EXPECT_EQ(f->glyph_map[0x80].gid, sans_glyph(0x20AC));  // the euro sign
  EXPECT_EQ(f->glyph_map[0x81].gid, 0);                   // undefined in the code page
  EXPECT_EQ(f->glyph_map[0x92].gid, sans_glyph(0x2019));  // right single quote
  EXPECT_EQ(f->glyph_map[0xE9].gid, 169);                 // e acute, same number
  EXPECT_DOUBLE_EQ(glyph_advance(f, 0x80), sans_advance(sans_glyph(0x20AC)));
}

TEST(CompositeWidths, WRangesRealNumbersAndDefaultWidth) {
  text_page t(composite("/DW 250 /W [1 [500 600] 10 20 700 30 [277.83 250.5] 40 [] 40 40 900]"),
              kF10);
  font* f = t.get("F");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->kind, 2);
  EXPECT_DOUBLE_EQ(glyph_advance(f, 1), 0.5);
  EXPECT_DOUBLE_EQ(glyph_advance(f, 2), 0.6);
  EXPECT_DOUBLE_EQ(glyph_advance(f, 3), 0.25);  // no range, no program: DW
  for (int c = 10; c <= 20; c++) EXPECT_DOUBLE_EQ(glyph_advance(f, c), 0.7) << c;
  EXPECT_DOUBLE_EQ(glyph_advance(f, 30), 0.27783);
  EXPECT_DOUBLE_EQ(glyph_advance(f, 31), 0.2505);
  EXPECT_DOUBLE_EQ(glyph_advance(f, 32), 0.25);
  // An empty widths array ends the search for its code: the later 40 40 900
  // range is never reached.
  EXPECT_DOUBLE_EQ(glyph_advance(f, 40), 0.25);
  EXPECT_EQ(f->w_count, 5);

  // DW alone, W by reference, and no DW (1.0).
  text_page dw(composite("/DW 1000"), kF10);
  for (int c : {0, 1, 500, 65535}) EXPECT_DOUBLE_EQ(glyph_advance(dw.get("F"), c), 1.0);
  text_page ref(composite("/W 12 0 R", obj(12, "[5 [450]]")), kF10);
  EXPECT_DOUBLE_EQ(glyph_advance(ref.get("F"), 5), 0.45);
  EXPECT_DOUBLE_EQ(glyph_advance(ref.get("F"), 6), 1.0);
}

TEST(CompositeWidths, ParseClampsAndStops) {
  font f = {};
  const std::string w = "-5 3 100 70000 [1 2] 65530 [1 2 3 4 5 6 7 8] 7 8 ] 9 9 9";
  EXPECT_EQ(cid_parse_w(&f, w.c_str(), (int32_t)w.size(), 0), 3);
  ASSERT_EQ(f.w_count, 3);
  EXPECT_EQ(f.w_ranges[0].first, 0);  // -5 .. 3 clamps to 0 .. 3
  EXPECT_EQ(f.w_ranges[0].last, 3);
  EXPECT_EQ(f.w_ranges[1].first, 65535);  // a first code beyond 65535 is clamped
  EXPECT_EQ(f.w_ranges[1].nwidths, 1);    // and holds one width, not two
  EXPECT_EQ(f.w_ranges[2].first, 65530);
  EXPECT_EQ(f.w_ranges[2].last, 65535);  // six codes fit; the rest are dropped
  EXPECT_EQ(f.w_ranges[2].nwidths, 6);
  EXPECT_EQ(f.w_ranges[2].widths[5], 0.006);
  // "7 8 ]": the width is missing, so the parse stops there.
  w_range* r = cid_new_range(&f, 10, 5);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->last, 10);  // never below first
  for (int32_t i = 0; i < f.w_count; i++) free(f.w_ranges[i].widths);
  free(f.w_ranges);
}

TEST(CompositeCidMap, IdentityAndStreamMaps) {
  init_faces();
  test_util::loaded_doc d(test_util::read_file(test_util::data_path("pdf/text_truetype.pdf")));
  ASSERT_EQ(d.ok, 1) << d.error;
  std::string res = "<< /Font << /S 10 0 R /I 11 0 R /M 13 0 R >> >>";
  interp_test::page_ctx p;
  p.ctx.doc = &d.doc;
  p.ctx.resources = res.c_str();
  p.ctx.resources_len = (int32_t)res.size();
  font* s = font_get(&p.ctx, "S");
  font* id = font_get(&p.ctx, "I");
  font* m = font_get(&p.ctx, "M");
  ASSERT_TRUE(s && id && m);
  EXPECT_EQ(s->file_len, g_font_lens[FACE_SANS]);  // the embedded program, inflated
  EXPECT_EQ(s->units_per_em, 2048);
  EXPECT_EQ(s->shared_map, 0);
  EXPECT_EQ(s->glyph_map['B'].gid, 37);
  EXPECT_EQ(id->kind, 2);
  EXPECT_EQ(id->cid_to_gid, nullptr);  // /Identity: codes are glyph ids
  EXPECT_DOUBLE_EQ(glyph_advance(id, 36), 1366 / 2048.0);
  ASSERT_EQ(m->cid_to_gid_len, 6);
  EXPECT_DOUBLE_EQ(glyph_advance(m, 1), 1366 / 2048.0);    // 1 -> glyph 36 (A)
  EXPECT_DOUBLE_EQ(glyph_advance(m, 3), sans_advance(3));  // beyond the map: glyph 3
}

TEST(Type3Fonts, ProcsWidthsMatrixAndResources) {
  const std::string procs = stream(20, "", "0 0 1 1 re f") + stream(21, "", "0 0 m 1 0 l 0 1 l f");
  // Codes from /Encoding /Differences; a glyph named twice is stored twice.
  text_page d(obj(10,
                  "<< /Type /Font /Subtype /Type3 /FontMatrix [0.001 0 0 0.001 0 0] "
                  "/CharProcs << /square 20 0 R /tri 21 0 R >> /FirstChar 65 "
                  "/Widths [500 250.5] /Encoding 12 0 R /Resources << /Font << >> >> >>") +
                  obj(12, "<< /Type /Encoding /Differences [65 /square /tri 97 /square] >>") +
                  procs,
              kF10);
  font* f = d.get("F");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->kind, 3);
  EXPECT_EQ(f->t3_lens['A'], 12);
  EXPECT_EQ(f->t3_lens['B'], 19);
  EXPECT_EQ(f->t3_lens['a'], 12);
  EXPECT_EQ(f->t3_procs['e'], nullptr);
  EXPECT_DOUBLE_EQ(glyph_advance(f, 'A'), 0.5);
  EXPECT_DOUBLE_EQ(glyph_advance(f, 'B'), 0.2505);
  EXPECT_DOUBLE_EQ(glyph_advance(f, 'C'), 1.0);  // past the widths
  EXPECT_EQ(glyph_advance(f, 300), 0);
  EXPECT_EQ(f->t3_matrix.a, 0.001);
  EXPECT_STREQ(f->t3_resources, "<< /Font << >> >>");

  // No encoding: the last character of each name; the widths scale with a
  // FontMatrix of whole units.
  text_page n(obj(10,
                  "<< /Type /Font /Subtype /Type3 /FontMatrix [1 0 0 1 0 0] /FirstChar 97 "
                  "/Widths [2] /CharProcs << /a 20 0 R /square 21 0 R >> >>") +
                  procs,
              kF10);
  f = n.get("F");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->t3_lens['a'], 12);
  EXPECT_EQ(f->t3_lens['e'], 19);
  EXPECT_DOUBLE_EQ(glyph_advance(f, 'a'), 2.0);
  EXPECT_EQ(f->t3_resources, nullptr);
}

TEST(FontCache, ResolvesOncePerNameAndHoldsNinetySix) {
  std::string names;
  for (int i = 0; i < 100; i++) names += "/N" + std::to_string(i) + " 10 0 R ";
  std::string long_name(70, 'L');
  std::string res = "<< /Font << " + names + "/F1.0 11 0 R /F1 10 0 R /" + long_name +
                    " 10 0 R /Bad 99 0 R /Inline << >> >> >>";
  text_page t(simple_font(10, "Helvetica") + simple_font(11, "Courier"), res);
  font* a = t.get("F1");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->face, FACE_SANS);  // /F1.0 is a different name
  EXPECT_EQ(t.get("F1"), a);
  EXPECT_EQ(t.ctx().font_cache_count, 1);
  EXPECT_EQ(t.get("F1.0")->face, FACE_MONO);
  // Unresolvable names are not cached.
  EXPECT_EQ(t.get("Bad"), nullptr);
  EXPECT_EQ(t.get("Missing"), nullptr);
  EXPECT_EQ(t.get("Inline"), nullptr);
  EXPECT_EQ(t.ctx().font_cache_count, 2);
  // A name over 63 characters is kept cut: each use resolves anew.
  font* l1 = t.get(long_name.c_str());
  font* l2 = t.get(long_name.c_str());
  ASSERT_TRUE(l1 && l2);
  EXPECT_NE(l1, l2);
  EXPECT_EQ(std::string(t.ctx().font_cache_keys[2]), long_name.substr(0, 63));
  EXPECT_EQ(t.ctx().font_cache_count, 4);
  for (int i = 0; i < 92; i++) ASSERT_NE(t.get(("N" + std::to_string(i)).c_str()), nullptr) << i;
  EXPECT_EQ(t.ctx().font_cache_count, 96);
  EXPECT_EQ(t.get("N92"), nullptr);  // the 97th font
  EXPECT_EQ(t.get("F1"), a);         // cached ones still resolve
  // Tf with the 97th name leaves no font; the context releases all of them.
  t.run("/N93 10 Tf");
  EXPECT_EQ(t.ctx().font, nullptr);
}

TEST(FontResolve, DamagedFontsResolveCleanly) {
  // A FontFile2 that is not a font: the font resolves, advances by its
  // widths and has no glyphs.
  text_page g(simple_font(10, "Helvetica", "/FirstChar 65 /Widths [300] /FontDescriptor 12 0 R") +
                  obj(12, "<< /FontFile2 13 0 R >>") + stream(13, "", "not a TrueType program"),
              kF10);
  font* f = g.get("F");
  ASSERT_NE(f, nullptr);
  ASSERT_NE(f->file, nullptr);
  EXPECT_EQ(f->units_per_em, 1000);
  EXPECT_EQ(f->glyph_map['A'].gid, 0);
  EXPECT_DOUBLE_EQ(glyph_advance(f, 'A'), 0.3);
  g.run("BT /F 10 Tf (A) Tj ET");
  EXPECT_EQ(ink_box(g.p.cv).count, 0);

  // Every byte of a document with one font of each kind flipped, zeroed and
  // set to 0xFF, and every truncation: resolving and showing never fails badly.
  const std::string fonts =
      simple_font(10, "Helvetica", "/FirstChar 65 /Widths [500 600]") +
      obj(11, "<< /Subtype /Type0 /DescendantFonts [12 0 R] >>") +
      obj(12, "<< /DW 500 /W [1 [250.5 300] 5 9 700] /CIDToGIDMap 13 0 R >>") +
      stream(13, "", std::string("\0\44\0\45", 4)) +
      obj(14,
          "<< /Subtype /Type3 /FontMatrix [.5 0 0 .5 0 0] /CharProcs << /a 15 0 R >> "
          "/Encoding << /Differences [65 /a] >> /Widths [1000] /FirstChar 65 >>") +
      stream(15, "", "0 0 1 1 re f");
  const std::string content = "BT /A 10 Tf (AB) Tj /B 10 Tf <00010002> Tj /C 10 Tf [(A) 5] TJ ET";
  const std::string res = "<< /Font << /A 10 0 R /B 11 0 R /C 14 0 R >> >>";
  const std::string head =
      "%PDF-1.4\n1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n"
      "2 0 obj\n<< /Type /Pages /Kids [3 0 R] >>\nendobj\n" +
      obj(3, "<< /Type /Page /Parent 2 0 R >>");
  init_faces();
  test_util::mutation_sweep(fonts, [&](const std::string& m) {
    test_util::loaded_doc d(head + m);
    if (!d.ok) return;
    interp_test::page_ctx p(20, 20);
    p.ctx.doc = &d.doc;
    p.ctx.resources = res.c_str();
    p.ctx.resources_len = (int32_t)res.size();
    p.run(content);
  });
}
