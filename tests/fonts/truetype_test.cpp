// The reader against the three Liberation faces: their character maps and
// advances, the accented composites, and every outline of every glyph
// agreeing with the bounding box its record declares.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fonts/fonts.h"
#include "support/test_util.h"
#include "tt_builder.h"

using test_util::bytes;
using test_util::len;

namespace {

struct face_file {
  const char* name;
  size_t size;
  int num_glyphs;
};
const face_file kSans = {"LiberationSans-Regular.ttf", 139512, 681};
const face_file kSerif = {"LiberationSerif-Regular.ttf", 152408, 673};
const face_file kMono = {"LiberationMono-Regular.ttf", 108172, 674};

// The face's bytes, or "" when it is not installed.
std::string load(const face_file& f) {
  return test_util::read_file(std::string(RENDRIX_FONT_DIR) + "/" + f.name);
}

#define LOAD_FACE(var, face)                                                         \
  const std::string var = load(face);                                                \
  if (var.empty()) GTEST_SKIP() << (face).name << " not found in " RENDRIX_FONT_DIR; \
  ASSERT_EQ(var.size(), (face).size) << (face).name << " is not version 1.07.4"

std::vector<uint16_t> code_map(const std::string& font, int* ok) {
  std::vector<uint16_t> map(65536, 0xAAAA);
  tf_build_cmap(bytes(font), len(font), map.data(), ok);
  return map;
}

int advance(const std::string& font, int32_t glyph) {
  int32_t adv = -1;
  if (!tf_hmtx(bytes(font), len(font), glyph, &adv)) return -1;
  return adv;
}

uint32_t be(const std::string& s, size_t at, int n) {
  uint32_t v = 0;
  for (int i = 0; i < n; i++) v = v << 8 | static_cast<uint8_t>(s[at + i]);
  return v;
}

// The record of a glyph located independently of the reader: its loca
// range and, when non-empty, the xMin, yMin, xMax, yMax it declares.
struct record {
  bool empty;
  int box[4];
};
record glyph_record(const std::string& font, int glyph) {
  uint32_t head = tt::table_offset(font, "head"), loca = tt::table_offset(font, "loca");
  uint32_t glyf = tt::table_offset(font, "glyf");
  bool long_loca = be(font, head + 50, 2) != 0;
  uint32_t a = long_loca ? be(font, loca + 4 * glyph, 4) : 2 * be(font, loca + 2 * glyph, 2);
  uint32_t b =
      long_loca ? be(font, loca + 4 * glyph + 4, 4) : 2 * be(font, loca + 2 * glyph + 2, 2);
  record r{a == b, {0, 0, 0, 0}};
  for (int i = 0; i < 4 && !r.empty; i++) {
    r.box[i] = static_cast<int16_t>(be(font, glyf + a + 2 + 2 * i, 2));
  }
  return r;
}

}  // namespace

TEST(TrueTypeFaces, CharacterMapsOfTheSansFace) {
  LOAD_FACE(sans, kSans);
  int ok = 0;
  std::vector<uint16_t> map = code_map(sans, &ok);
  EXPECT_EQ(ok, 1);
  // 'A' through idDelta; é and ü through idRangeOffset.
  EXPECT_EQ(map[0x41], 36);
  EXPECT_EQ(map[0xE9], 169);
  EXPECT_EQ(map[0xFC], 188);
  EXPECT_EQ(map[0x20], 3);
  // Unassigned and absent code points stay 0.
  EXPECT_EQ(map[0x0378], 0);
  EXPECT_EQ(map[0xFFFF], 0);
  EXPECT_EQ(map[0x1F], 0);
  // The full Latin-1 Supplement and Latin Extended-A ranges map.
  for (int c = 0xA0; c <= 0x17F; c++) EXPECT_NE(map[c], 0) << c;
  // Every map entry names an existing glyph.
  for (int c = 0; c < 65536; c++) ASSERT_LT(map[c], kSans.num_glyphs) << c;
}

TEST(TrueTypeFaces, AllFacesMapLatinText) {
  for (const face_file* f : {&kSans, &kSerif, &kMono}) {
    LOAD_FACE(font, *f);
    int ok = 0;
    std::vector<uint16_t> map = code_map(font, &ok);
    EXPECT_EQ(ok, 1) << f->name;
    for (int c = 0x21; c < 0x7F; c++) {
      EXPECT_GT(map[c], 0) << f->name << " " << c;
      EXPECT_LT(map[c], f->num_glyphs) << f->name << " " << c;
    }
  }
}

TEST(TrueTypeFaces, Advances) {
  LOAD_FACE(sans, kSans);
  EXPECT_EQ(advance(sans, 36), 1366);  // 'A' of 2048 units per em
  EXPECT_EQ(advance(sans, 3), 569);    // the space
  EXPECT_GT(advance(sans, kSans.num_glyphs - 1), 0);
  EXPECT_EQ(advance(sans, kSans.num_glyphs), -1);
  EXPECT_EQ(advance(sans, 0xFFFF), -1);
  // The id is taken as 16 bits: 65536 + 36 reads glyph 36.
  EXPECT_EQ(advance(sans, 65536 + 36), 1366);
  int32_t adv = 77;
  EXPECT_EQ(tf_hmtx(bytes(sans), len(sans), kSans.num_glyphs, &adv), 0);
  EXPECT_EQ(adv, 0);

  // Glyphs past hhea's count of long metrics take the last long metric's
  // advance. The mono face lists only 4, the serif face all but its last.
  LOAD_FACE(mono, kMono);
  EXPECT_EQ(advance(mono, 1), 0);  // .null
  EXPECT_EQ(advance(mono, 3), 1229);
  for (int g = 4; g < kMono.num_glyphs; g++) ASSERT_EQ(advance(mono, g), 1229) << g;
  LOAD_FACE(serif, kSerif);
  EXPECT_GT(advance(serif, 671), 0);
  EXPECT_EQ(advance(serif, 672), advance(serif, 671));
}

TEST(TrueTypeFaces, AccentedLetterIsTheLetterThenTheMovedAccent) {
  LOAD_FACE(sans, kSans);
  tt::outline e(sans, 72), acute(sans, 116), e_acute(sans, 169);
  ASSERT_TRUE(e.ok && acute.ok && e_acute.ok);
  EXPECT_EQ(e.composite, 0);
  EXPECT_EQ(e.end_list(), (std::vector<int>{28, 37}));
  EXPECT_EQ(e.npts, 38);
  EXPECT_EQ(e_acute.composite, 1);

  std::vector<tt::pt> want = e.points();
  for (tt::pt p : acute.points()) want.push_back({p.x + 368, p.y, p.on});
  std::vector<int> want_ends = e.end_list();
  for (int end : acute.end_list()) want_ends.push_back(end + 38);
  EXPECT_EQ(e_acute.points(), want);
  EXPECT_EQ(e_acute.end_list(), want_ends);

  // ü: the u and two dots, in the same way.
  tt::outline u_diaeresis(sans, 188);
  ASSERT_TRUE(u_diaeresis.ok);
  EXPECT_EQ(u_diaeresis.composite, 1);
}

TEST(TrueTypeFaces, SpaceHasNoOutline) {
  LOAD_FACE(sans, kSans);
  tt::outline space(sans, 3);
  EXPECT_EQ(space.ok, 0);
  EXPECT_EQ(space.pts, nullptr);
  EXPECT_EQ(space.ends, nullptr);
  EXPECT_EQ(space.npts, 0);
  EXPECT_EQ(space.nends, 0);
  tt::outline past_end(sans, kSans.num_glyphs);
  EXPECT_EQ(past_end.ok, 0);
}

// Every glyph with a record yields an outline whose points span exactly the
// box the record declares (composites included, so offsets apply), and whose
// segments form closed contours.
TEST(TrueTypeFaces, EveryOutlineMatchesItsRecord) {
  for (const face_file* f : {&kSans, &kSerif, &kMono}) {
    LOAD_FACE(font, *f);
    int outlines = 0, composites = 0;
    for (int g = 0; g < f->num_glyphs; g++) {
      SCOPED_TRACE(std::string(f->name) + " glyph " + std::to_string(g));
      record r = glyph_record(font, g);
      tt::outline o(font, g);
      ASSERT_EQ(o.ok, r.empty ? 0 : 1);
      if (!o.ok) continue;
      outlines++;
      composites += o.composite;
      int box[4] = {32767, 32767, -32768, -32768};
      for (int32_t i = 0; i < o.npts; i++) {
        box[0] = std::min<int>(box[0], o.pts[i].x);
        box[1] = std::min<int>(box[1], o.pts[i].y);
        box[2] = std::max<int>(box[2], o.pts[i].x);
        box[3] = std::max<int>(box[3], o.pts[i].y);
      }
      // One record declares a box a unit wider in x than its points.
      if (f == &kSerif && g == 663) r.box[0]++, r.box[2]--;
      EXPECT_EQ(std::vector<int>(box, box + 4), std::vector<int>(r.box, r.box + 4));
      ASSERT_EQ(o.ends[o.nends - 1], o.npts - 1);
      for (int32_t i = 1; i < o.nends; i++) ASSERT_LT(o.ends[i - 1], o.ends[i]);

      std::vector<path_seg> s = o.segs();
      ASSERT_FALSE(s.empty());
      ASSERT_LT(s.size(), size_t(kTfMaxSegments));
      int subpaths = 1;
      size_t first = 0;
      for (size_t i = 1; i <= s.size(); i++) {
        if (i < s.size() && s[i].x0 == s[i - 1].x3 && s[i].y0 == s[i - 1].y3) continue;
        // A subpath ends: it must be closed.
        EXPECT_EQ(s[i - 1].x3, s[first].x0);
        EXPECT_EQ(s[i - 1].y3, s[first].y0);
        if (i < s.size()) subpaths++;
        first = i;
      }
      EXPECT_LE(subpaths, o.nends);
    }
    EXPECT_GT(outlines, f->num_glyphs * 9 / 10) << f->name;
    EXPECT_GT(composites, 50) << f->name;
  }
}
