// Foreign and damaged fonts fail cleanly and are never read outside their
// bytes: rejected signatures, directories and tables past the end, counts
// larger than their data, self-referring and exploding composites, and
// every single-byte mutation and truncation of a small font.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fonts/fonts.h"
#include "support/test_util.h"
#include "tt_builder.h"

using test_util::bytes;
using test_util::len;

namespace {

const std::string kSquare = tt::simple_glyph({{{0, 0}, {100, 0}, {100, 100}, {0, 100}}});

// A small font using every part of the reader: a format 4 map with both
// mapping paths, a format 6 record, metrics with a bare tail, simple glyphs
// with compressed flags and off-curve points, composites with offsets, a
// 2×2 transform and nesting.
std::string sample_font(bool long_loca) {
  tt::be compressed;  // 5 points: byte, word, same and repeated deltas
  compressed.u16(2).u16(0).u16(0).u16(0).u16(0).u16(1).u16(4).u16(1).u8(0);
  compressed.u8(0x13).u8(0x22).u8(0x3D).u8(2).u8(10).u8(5).u16(0xFED4).u8(7).u8(1).u8(255);
  std::string cmap = tt::cmap({
      {1, 0, tt::cmap_format6(0x20, {1, 2, 3})},
      {3, 1, tt::cmap_format4({{0x41, 0x42, -0x40}, {0x61, 0x62, 0, {3, 4}}, {0xFFFF, 0xFFFF, 1}})},
  });
  return tt::build({
      .glyphs = {"", kSquare,
                 tt::simple_glyph({{{0, 0, false}, {50, 50, false}, {100, 0, false}}, {{7, 7}}}),
                 compressed.s,
                 tt::composite_glyph(
                     {{1, 10, -10}, {2, -5, 5, false, 0x0080, {0, 16384, -16384, 0}}}),
                 tt::composite_glyph({{4, 300, 0}, {3, 1, 1, true, 0x0008, {8192}}})},
      .long_loca = long_loca,
      .cmap = cmap,
      .advances = {0, 500, 600},
      .bare_lsbs = 3,
  });
}

// Sets the offset and length of the directory entry with the tag.
void set_entry(std::string& font, const char* tag, uint32_t off, uint32_t length) {
  for (size_t at = 12; at + 16 <= font.size(); at += 16) {
    if (font.compare(at, 4, tag) != 0) continue;
    std::string b = tt::be().u32(off).u32(length).s;
    font.replace(at + 8, 8, b);
    return;
  }
  FAIL() << "no table " << tag;
}

struct results {
  int open = 0;
  int cmap_ok = 0;
  int mapped = 0;
  int advances = 0;
  int outlines = 0;
  int segments = 0;
};

bool all_fail(const results& r) {
  return r.cmap_ok == 0 && r.advances == 0 && r.outlines == 0;
}

// Runs everything the reader offers on data and checks that each call
// either succeeds with consistent results or fails with cleared outputs.
results exercise(const std::string& data) {
  results r;
  tf_font dir;
  r.open = tf_font_open(&dir, bytes(data), len(data));
  if (!r.open) {
    EXPECT_EQ(dir.num_tables, 0);
  }

  std::vector<uint16_t> map(65536, 0x5A5A);
  int ok = -1;
  tf_build_cmap(bytes(data), len(data), map.data(), &ok);
  EXPECT_TRUE(ok == 0 || ok == 1);
  r.cmap_ok = ok;
  for (uint16_t g : map) r.mapped += g != 0;
  if (!ok) {
    EXPECT_EQ(r.mapped, 0);
  }

  for (int32_t g = 0; g < 8; g++) {
    int32_t adv = -1;
    int got = tf_hmtx(bytes(data), len(data), g, &adv);
    if (got) {
      r.advances++;
    } else {
      EXPECT_EQ(adv, 0);
    }

    tf_point* pts = reinterpret_cast<tf_point*>(1);
    uint16_t* ends = reinterpret_cast<uint16_t*>(1);
    int32_t npts = -1, nends = -1, composite = -1;
    if (tf_glyph_outline(bytes(data), len(data), g, &pts, &npts, &ends, &nends, &composite)) {
      r.outlines++;
      EXPECT_TRUE(pts && ends);
      EXPECT_TRUE(npts >= 1 && npts <= kTfMaxOutlinePoints);
      EXPECT_GE(nends, 1);
      EXPECT_TRUE(composite == 0 || composite == 1);
      path_seg segs[kTfMaxSegments];
      int n = tf_outline_segs(pts, npts, ends, nends, segs);
      EXPECT_TRUE(n >= 0 && n <= kTfMaxSegments);
      for (int i = 0; i < n; i++) EXPECT_TRUE(segs[i].kind == 0 || segs[i].kind == 1);
      r.segments += n;
    } else {
      EXPECT_EQ(pts, nullptr);
      EXPECT_EQ(ends, nullptr);
      EXPECT_EQ(npts, 0);
      EXPECT_EQ(nends, 0);
      EXPECT_EQ(composite, 0);
    }
    free(pts);
    free(ends);
  }
  if (!r.open) {
    EXPECT_TRUE(all_fail(r));
  }
  return r;
}

}  // namespace

TEST(TrueTypeDamaged, SampleFontIsWhole) {
  for (bool long_loca : {false, true}) {
    results r = exercise(sample_font(long_loca));
    EXPECT_EQ(r.open, 1);
    EXPECT_EQ(r.cmap_ok, 1);
    EXPECT_EQ(r.mapped, 4);
    EXPECT_EQ(r.advances, 6);
    EXPECT_EQ(r.outlines, 5);
  }
}

TEST(TrueTypeDamaged, OnlyTrueTypeSignaturesOpen) {
  const std::string font = sample_font(false);
  for (const char* sig : {"true", "\0\1\0\0"}) {
    std::string f = font;
    f.replace(0, 4, sig, 4);
    results r = exercise(f);
    EXPECT_EQ(r.open, 1);
    EXPECT_EQ(r.outlines, 5);
  }
  for (const char* sig : {"OTTO", "\0\1\0\1", "wOFF", "\0\0\0\0", "\1\0\0\0", "ttc "}) {
    std::string f = font;
    f.replace(0, 4, sig, 4);
    results r = exercise(f);
    EXPECT_EQ(r.open, 0) << sig;
    EXPECT_TRUE(all_fail(r)) << sig;
  }
  // A collection opens, but its header read as a directory lists one table
  // whose tag is the first font's offset: nothing is found.
  std::string ttc = tt::be().raw("ttcf").u32(0x00010000).u32(1).u32(16).s + font;
  results r = exercise(ttc);
  EXPECT_EQ(r.open, 1);
  EXPECT_TRUE(all_fail(r));
}

TEST(TrueTypeDamaged, DirectoryPastTheEnd) {
  const std::string font = sample_font(false);
  // Shorter than the header, null, negative lengths.
  EXPECT_TRUE(all_fail(exercise(font.substr(0, 11))));
  tf_font dir;
  EXPECT_EQ(tf_font_open(&dir, nullptr, 100), 0);
  EXPECT_EQ(tf_font_open(&dir, bytes(font), -1), 0);
  int32_t adv = 5;
  EXPECT_EQ(tf_hmtx(bytes(font), -1, 1, &adv), 0);
  EXPECT_EQ(adv, 0);
  // The file ends inside the directory.
  results r = exercise(font.substr(0, 12 + 16 * 3));
  EXPECT_EQ(r.open, 0);
  EXPECT_TRUE(all_fail(r));
  // A count of 65535 tables: more than the data holds.
  std::string many = font;
  many[4] = many[5] = '\xff';
  EXPECT_EQ(exercise(many).open, 0);
  // Zero tables: the directory opens, every lookup fails.
  std::string none = font.substr(0, 12);
  none[4] = none[5] = 0;
  r = exercise(none);
  EXPECT_EQ(r.open, 1);
  EXPECT_TRUE(all_fail(r));
}

TEST(TrueTypeDamaged, TablesPastTheEnd) {
  const std::string font = sample_font(false);
  const uint32_t n = static_cast<uint32_t>(font.size());
  struct move {
    const char* tag;
    uint32_t off, length;
    bool cmap, hmtx, outline;  // what still works
  };
  uint32_t cmap_off = tt::table_offset(font, "cmap");
  std::vector<move> moves = {
      {"cmap", n, 10, false, true, true},
      {"cmap", cmap_off, n, false, true, true},  // length past the end
      {"cmap", 0xFFFFFFF0u, 0x20, false, true, true},
      {"hmtx", n - 2, 12, true, false, true},
      {"glyf", 0xFFFFFFFEu, 100, true, true, false},
      {"loca", n - 1, 14, true, true, false},
      {"head", n, 54, true, true, false},
      {"maxp", n - 4, 6, true, false, false},
  };
  for (const move& m : moves) {
    std::string f = font;
    set_entry(f, m.tag, m.off, m.length);
    results r = exercise(f);
    SCOPED_TRACE(std::string(m.tag) + " at " + std::to_string(m.off));
    EXPECT_EQ(r.cmap_ok, m.cmap ? 1 : 0);
    EXPECT_EQ(r.advances > 0, m.hmtx);
    EXPECT_EQ(r.outlines > 0, m.outline);
  }
}

TEST(TrueTypeDamaged, CountsLargerThanTheData) {
  auto outline_ok = [](const std::vector<std::string>& glyphs, int32_t g, bool long_loca = false) {
    return tt::outline(tt::build({.glyphs = glyphs, .long_loca = long_loca}), g).ok;
  };
  auto with = [](std::string rec, size_t at, uint16_t v) {
    rec[at] = static_cast<char>(v >> 8);
    rec[at + 1] = static_cast<char>(v);
    return rec;
  };
  EXPECT_EQ(outline_ok({kSquare}, 0), 1);
  EXPECT_EQ(outline_ok({with(kSquare, 0, 30000)}, 0), 0);                // contours
  EXPECT_EQ(outline_ok({with(kSquare, 10, 65535)}, 0), 0);               // points
  EXPECT_EQ(outline_ok({with(kSquare, 12, 200)}, 0), 0);                 // instructions
  EXPECT_EQ(outline_ok({with(kSquare, 12, 0x8000)}, 0), 0);              // negative instructions
  EXPECT_EQ(outline_ok({with(kSquare, 0, 0)}, 0), 0);                    // no contours
  EXPECT_EQ(outline_ok({kSquare.substr(0, 14)}, 0), 0);                  // record under 16 bytes
  EXPECT_EQ(outline_ok({kSquare.substr(0, kSquare.size() - 2)}, 0), 0);  // coordinates cut

  // numGlyphs beyond what loca holds.
  std::string font = tt::build({.glyphs = {kSquare}, .num_glyphs = 60000});
  EXPECT_EQ(tt::outline(font, 0).ok, 1);
  EXPECT_EQ(tt::outline(font, 59999).ok, 0);

  // loca entries out of order (glyph 1 ends before it starts).
  for (bool long_loca : {false, true}) {
    std::string f = tt::build({.glyphs = {kSquare, kSquare, kSquare}, .long_loca = long_loca});
    uint32_t loca = tt::table_offset(f, "loca");
    size_t w = long_loca ? 4 : 2;
    std::string second = f.substr(loca + w, w), third = f.substr(loca + 2 * w, w);
    f.replace(loca + w, w, third);
    f.replace(loca + 2 * w, w, second);
    EXPECT_EQ(tt::outline(f, 1).ok, 0);
    EXPECT_EQ(tt::outline(f, 2).ok, 1);
  }

  // Character map counts far beyond the table: the subtable is still the
  // one chosen, and what lies inside the table is decoded.
  std::string seg = tt::cmap_format4({{0x41, 0x41, 1}});
  seg[6] = seg[7] = '\xfe';
  std::string groups = tt::cmap_format12({{0x41, 0x41, 5}});
  groups.replace(12, 4, "\xff\xff\xff\xff");
  for (const std::string& sub : {seg, groups}) {
    std::string f = tt::build({.glyphs = {kSquare}, .cmap = tt::cmap({{3, 1, sub}})});
    std::vector<uint16_t> map(65536);
    int ok = -1;
    tf_build_cmap(bytes(f), len(f), map.data(), &ok);
    EXPECT_EQ(ok, 1);
    EXPECT_EQ(map[0x41], sub == groups ? 5 : 0);
  }
}

TEST(TrueTypeDamaged, ExplodingCompositesFailQuickly) {
  // A glyph of 40000 points, all at the origin: flags 0x39 repeated.
  tt::be big;
  big.u16(1).u16(0).u16(0).u16(0).u16(0).u16(39999).u16(0);
  for (int left = 40000; left > 0; left -= 256) big.u8(0x39).u8(std::min(left, 256) - 1);
  // The same with its last flag run one point short: it fails, late.
  std::string broken = big.s;
  broken.back() = static_cast<char>(broken.back() - 1);
  std::vector<tt::component> square_then_broken(30, tt::component{6});
  square_then_broken.insert(square_then_broken.begin(), tt::component{0});
  std::vector<tt::component> hundred_squares(100, tt::component{0});
  std::vector<tt::component> hundred_wide(100, tt::component{1});
  std::string font = tt::build(
      {.glyphs = {kSquare, tt::composite_glyph(hundred_squares), tt::composite_glyph(hundred_wide),
                  big.s, tt::composite_glyph({{3}}), tt::composite_glyph({{3}, {3}}), broken,
                  tt::composite_glyph(square_then_broken)}});
  auto t0 = std::chrono::steady_clock::now();
  tt::outline wide(font, 1);
  EXPECT_EQ(wide.ok, 1);
  EXPECT_EQ(wide.npts, 400);
  EXPECT_EQ(wide.nends, 100);
  // 100 × 100 components exceed the per-glyph component budget.
  EXPECT_EQ(tt::outline(font, 2).ok, 0);
  EXPECT_EQ(tt::outline(font, 4).npts, 40000);
  // 80000 points do not fit 16-bit contour ends.
  EXPECT_EQ(tt::outline(font, 5).ok, 0);
  // Thirty large components that each fail after all their flags spend the
  // decoding budget: the glyph fails as a whole.
  EXPECT_EQ(tt::outline(font, 6).ok, 0);
  EXPECT_EQ(tt::outline(font, 7).ok, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
}

TEST(TrueTypeDamaged, MutationSweep) {
  for (bool long_loca : {false, true}) {
    const std::string font = sample_font(long_loca);
    int changed = 0;
    results whole = exercise(font);
    test_util::mutation_sweep(font, [&](const std::string& m) {
      results r = exercise(m);
      changed +=
          r.outlines != whole.outlines || r.mapped != whole.mapped || r.advances != whole.advances;
    });
    // The sweep reaches the parts that matter.
    EXPECT_GT(changed, int(font.size()));
  }
}

TEST(TrueTypeDamaged, RandomMultiByteDamage) {
  const std::string font = sample_font(false);
  uint32_t seed = 12345;
  auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return seed >> 8;
  };
  for (int i = 0; i < 3000; i++) {
    std::string m = font;
    int edits = 1 + static_cast<int>(next() % 8);
    for (int e = 0; e < edits; e++) m[next() % m.size()] = static_cast<char>(next());
    exercise(m);
  }
}
