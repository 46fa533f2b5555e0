// Character maps and advance widths from crafted fonts: which subtable is
// chosen, how each format maps codes, and which metric gives an advance.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fonts/fonts.h"
#include "support/test_util.h"
#include "tt_builder.h"

using test_util::bytes;
using test_util::len;

namespace {

const std::string kGlyph = tt::simple_glyph({{{0, 0}, {10, 0}, {0, 10}}});

std::string font_with_cmap(const std::string& cmap) {
  return tt::build({.glyphs = {kGlyph}, .cmap = cmap});
}

// The map of a font, filled with junk first so that clearing shows.
std::vector<uint16_t> map_of(const std::string& font, int* ok) {
  std::vector<uint16_t> map(65536, 0x5A5A);
  *ok = -1;
  tf_build_cmap(bytes(font), len(font), map.data(), ok);
  return map;
}

int mapped_count(const std::vector<uint16_t>& map) {
  int n = 0;
  for (uint16_t g : map) n += g != 0;
  return n;
}

// A format 4 subtable mapping 'A' to glyph g.
std::string maps_a_to(uint16_t g) {
  return tt::cmap_format4({{0x41, 0x41, static_cast<int16_t>(g - 0x41)}, {0xFFFF, 0xFFFF, 1}});
}

}  // namespace

TEST(TrueTypeCmap, ChoosesTheBestUnicodeSubtable) {
  struct choice {
    std::vector<tt::encoding> encodings;
    uint16_t want;
  };
  std::vector<choice> cases = {
      {{{0, 3, maps_a_to(1)}, {3, 1, maps_a_to(2)}}, 2},
      {{{3, 1, maps_a_to(2)}, {0, 3, maps_a_to(1)}}, 2},
      {{{3, 10, maps_a_to(1)}, {0, 4, maps_a_to(2)}}, 2},
      {{{0, 3, maps_a_to(1)}, {3, 10, maps_a_to(2)}}, 1},  // equal ranks: first
      {{{7, 7, maps_a_to(3)}}, 3},                         // unranked still usable
      // Format 2 is not read; the next eligible record is.
      {{{3, 1, tt::be().u16(2).u16(0).u16(0).s}, {0, 3, maps_a_to(5)}}, 5},
  };
  for (size_t i = 0; i < cases.size(); i++) {
    int ok;
    std::vector<uint16_t> map = map_of(font_with_cmap(tt::cmap(cases[i].encodings)), &ok);
    EXPECT_EQ(ok, 1) << i;
    EXPECT_EQ(map[0x41], cases[i].want) << i;
    EXPECT_EQ(mapped_count(map), 1) << i;
  }

  // A record whose subtable offset lies outside the cmap table is not
  // eligible; with nothing eligible the map stays empty.
  std::string outside =
      tt::be().u16(0).u16(2).u16(3).u16(1).u32(0x7000).u16(1).u16(0).u32(20).s + maps_a_to(6);
  int ok;
  std::vector<uint16_t> map = map_of(font_with_cmap(outside), &ok);
  EXPECT_EQ(ok, 1);
  EXPECT_EQ(map[0x41], 6);
  map = map_of(font_with_cmap(tt::cmap({{3, 1, tt::be().u16(2).u16(0).u16(0).s}})), &ok);
  EXPECT_EQ(ok, 0);
  EXPECT_EQ(mapped_count(map), 0);
  map = map_of(font_with_cmap(tt::be().u16(0).u16(0).s), &ok);  // no records
  EXPECT_EQ(ok, 0);
  EXPECT_EQ(mapped_count(map), 0);
  map = map_of(tt::build({.glyphs = {kGlyph}}), &ok);  // no cmap
  EXPECT_EQ(ok, 0);
  EXPECT_EQ(mapped_count(map), 0);
}

TEST(TrueTypeCmap, Format4Segments) {
  std::string sub = tt::cmap_format4({
      {0x20, 0x22, 10},                           // delta: 0x2A..0x2C
      {0x30, 0x32, 0x100, {7, 0, 0xFFFF}},        // array + delta, zero stays unmapped
      {0x50, 0x40, 1},                            // start after end: skipped
      {0x1000, 0x2001, 1},                        // 4097 codes: skipped
      {0x60, 0x60, static_cast<int16_t>(-0x60)},  // maps to glyph 0: nothing stored
      {0xFFF0, 0xFFFF, 16},                       // wraps: 0xFFF0 -> 0, 0xFFF1 -> 1
      {0x70, 0x70, 1},                            // after the 0xFFFF segment: never read
  });
  int ok;
  std::vector<uint16_t> map = map_of(font_with_cmap(tt::cmap({{3, 1, sub}})), &ok);
  ASSERT_EQ(ok, 1);
  EXPECT_EQ(map[0x20], 0x2A);
  EXPECT_EQ(map[0x22], 0x2C);
  EXPECT_EQ(map[0x30], 0x107);
  EXPECT_EQ(map[0x31], 0);
  EXPECT_EQ(map[0x32], 0xFF);
  EXPECT_EQ(map[0x45], 0);
  EXPECT_EQ(map[0x1000], 0);
  EXPECT_EQ(map[0x60], 0);
  EXPECT_EQ(map[0xFFF0], 0);
  EXPECT_EQ(map[0xFFF1], 1);
  EXPECT_EQ(map[0xFFFF], 15);
  EXPECT_EQ(map[0x70], 0);
  EXPECT_EQ(mapped_count(map), 3 + 2 + 15);

  // Glyph indexes that lie past the table leave only their codes unmapped.
  std::string cut = tt::cmap({{3, 1, tt::cmap_format4({{0x41, 0x43, 0, {5, 6, 7}}})}});
  cut.resize(cut.size() - 2);
  map = map_of(font_with_cmap(cut), &ok);
  EXPECT_EQ(ok, 1);
  EXPECT_EQ(map[0x41], 5);
  EXPECT_EQ(map[0x42], 6);
  EXPECT_EQ(map[0x43], 0);
}

TEST(TrueTypeCmap, OtherFormats) {
  int ok;
  // Format 6 (old Mac Roman subtables) is decoded.
  std::vector<uint16_t> map =
      map_of(font_with_cmap(tt::cmap({{1, 0, tt::cmap_format6(0x41, {3, 0, 9})}})), &ok);
  EXPECT_EQ(ok, 1);
  EXPECT_EQ(map[0x41], 3);
  EXPECT_EQ(map[0x43], 9);
  EXPECT_EQ(mapped_count(map), 2);
  // A range running past 0xFFFF keeps the codes that fit.
  map = map_of(font_with_cmap(tt::cmap({{1, 0, tt::cmap_format6(0xFFFE, {1, 2, 3})}})), &ok);
  EXPECT_EQ(ok, 1);
  EXPECT_EQ(map[0xFFFE], 1);
  EXPECT_EQ(map[0xFFFF], 2);
  EXPECT_EQ(mapped_count(map), 2);

  map = map_of(font_with_cmap(tt::cmap({{1, 0, tt::cmap_format0({{0x41, 4}, {255, 200}})}})), &ok);
  EXPECT_EQ(ok, 1);
  EXPECT_EQ(map[0x41], 4);
  EXPECT_EQ(map[255], 200);
  EXPECT_EQ(mapped_count(map), 2);

  std::string groups = tt::cmap_format12({
      {0x41, 0x43, 0xFFFF},     // 0xFFFF, then wraps to 0 and 1
      {0x100, 0x100, 7},        //
      {0x101, 0x101, 0x10008},  // glyph ids are taken modulo 65536
      {0x200, 0x1201, 1},       // 4098 codes: skipped
      {0x300, 0x2FF, 1},        // start after end: skipped
      {0xFFFF, 0x10002, 30},    // only 0xFFFF fits the map
      {0x100, 0x100, 0},        // later groups overwrite, zero included
  });
  map = map_of(font_with_cmap(tt::cmap({{0, 4, groups}})), &ok);
  EXPECT_EQ(ok, 1);
  EXPECT_EQ(map[0x41], 0xFFFF);
  EXPECT_EQ(map[0x42], 0);
  EXPECT_EQ(map[0x43], 1);
  EXPECT_EQ(map[0x100], 0);
  EXPECT_EQ(map[0x101], 8);
  EXPECT_EQ(map[0x200], 0);
  EXPECT_EQ(map[0xFFFF], 30);
  EXPECT_EQ(mapped_count(map), 4);
}

TEST(TrueTypeAdvance, LongMetricsAndTheirTail) {
  const std::vector<std::string> glyphs(5, kGlyph);
  auto adv = [](const std::string& font, int32_t glyph) {
    int32_t a = -1;
    int r = tf_hmtx(bytes(font), len(font), glyph, &a);
    return r ? a : -1 - a;  // -1 when the call fails and clears the advance
  };
  // Two long metrics, then bare side bearings: glyphs 2..4 take 600.
  std::string font = tt::build({.glyphs = glyphs, .advances = {500, 600}, .bare_lsbs = 3});
  EXPECT_EQ(adv(font, 0), 500);
  EXPECT_EQ(adv(font, 1), 600);
  EXPECT_EQ(adv(font, 4), 600);
  EXPECT_EQ(adv(font, 5), -1);   // not below numGlyphs
  EXPECT_EQ(adv(font, -1), -1);  // 0xFFFF as a glyph id

  // Without hhea each glyph's own position is read.
  std::string no_hhea = tt::sfnt({{"glyf", kGlyph},
                                  {"head", tt::head(false)},
                                  {"hmtx", tt::hmtx({500, 600}, 3)},
                                  {"loca", tt::be().u16(0).u16(8).s},
                                  {"maxp", tt::maxp(5)}});
  EXPECT_EQ(adv(no_hhea, 1), 600);
  EXPECT_EQ(adv(no_hhea, 2), 0x7777);
  // hmtx + 4 * glyph + 4 must lie inside the data: the last table is hmtx,
  // 10 bytes long, so glyph 2's entry at 8..12 runs out.
  std::string at_end = tt::sfnt({{"glyf", kGlyph},
                                 {"head", tt::head(false)},
                                 {"loca", tt::be().u16(0).u16(8).s},
                                 {"maxp", tt::maxp(5)},
                                 {"hmtx", tt::hmtx({500, 600}, 1)}});
  at_end.resize(at_end.size() - 2);  // the alignment padding
  EXPECT_EQ(adv(at_end, 1), 600);
  EXPECT_EQ(adv(at_end, 2), -1);

  // head, hmtx, loca and maxp must all be listed.
  std::string no_loca = tt::sfnt({{"head", tt::head(false)},
                                  {"hhea", tt::hhea(2)},
                                  {"hmtx", tt::hmtx({500, 600}, 3)},
                                  {"maxp", tt::maxp(5)}});
  EXPECT_EQ(adv(no_loca, 0), -1);
}
