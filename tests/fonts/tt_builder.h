// Builds small TrueType fonts in memory for the reader's tests: tables from
// readable recipes (glyph points, components, cmap segments, metrics),
// laid out behind a correct table directory.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "fonts/fonts.h"
#include "support/test_util.h"

namespace tt {

// Big-endian byte writer.
struct be {
  std::string s;
  be& u8(uint32_t v) {
    s += static_cast<char>(v & 0xff);
    return *this;
  }
  be& u16(uint32_t v) { return u8(v >> 8).u8(v); }
  be& u32(uint32_t v) { return u16(v >> 16).u16(v); }
  be& raw(const std::string& b) {
    s += b;
    return *this;
  }
};

inline const char kSigTrueType[] = {0, 1, 0, 0};

// A font file: signature, directory (checksums 0) and the tables in order,
// each starting on a 4-byte boundary.
inline std::string sfnt(const std::vector<std::pair<std::string, std::string>>& tables,
                        const char* sig = kSigTrueType) {
  be d;
  d.raw(std::string(sig, 4)).u16(static_cast<uint32_t>(tables.size())).u16(0).u16(0).u16(0);
  uint32_t off = 12 + 16 * static_cast<uint32_t>(tables.size());
  std::string body;
  for (auto& [tag, data] : tables) {
    d.raw(tag)
        .u32(0)
        .u32(off + static_cast<uint32_t>(body.size()))
        .u32(static_cast<uint32_t>(data.size()));
    body += data;
    while (body.size() % 4) body += '\0';
  }
  return d.s + body;
}

inline std::string head(bool long_loca, uint16_t units_per_em = 1000) {
  be b;
  b.u32(0x00010000).u32(0).u32(0).u32(0x5F0F3CF5).u16(0).u16(units_per_em);
  while (b.s.size() < 50) b.u8(0);
  b.u16(long_loca ? 1 : 0).u16(0);
  return b.s;
}

inline std::string maxp(uint16_t num_glyphs) {
  return be().u32(0x00005000).u16(num_glyphs).s;
}

inline std::string hhea(uint16_t long_metrics) {
  be b;
  b.u32(0x00010000);
  while (b.s.size() < 34) b.u8(0);
  b.u16(long_metrics);
  return b.s;
}

// Long metrics (advance, lsb 0) followed by bare side bearings.
inline std::string hmtx(const std::vector<uint16_t>& advances, int bare_lsbs) {
  be b;
  for (uint16_t a : advances) b.u16(a).u16(0);
  for (int i = 0; i < bare_lsbs; i++) b.u16(0x7777);
  return b.s;
}

struct pt {
  int x, y;
  bool on = true;
};

// A simple glyph with one flag byte per point and 16-bit deltas; the header
// bounding box is left zero.
inline std::string simple_glyph(const std::vector<std::vector<pt>>& contours) {
  be b;
  b.u16(static_cast<uint32_t>(contours.size())).u16(0).u16(0).u16(0).u16(0);
  int last = -1;
  std::vector<pt> all;
  for (auto& c : contours) {
    last += static_cast<int>(c.size());
    b.u16(static_cast<uint32_t>(last));
    all.insert(all.end(), c.begin(), c.end());
  }
  b.u16(0);  // no instructions
  for (auto& p : all) b.u8(p.on ? 1 : 0);
  int x = 0, y = 0;
  for (auto& p : all) b.u16(static_cast<uint16_t>(p.x - x)), x = p.x;
  for (auto& p : all) b.u16(static_cast<uint16_t>(p.y - y)), y = p.y;
  return b.s;
}

struct component {
  uint16_t glyph;
  int dx = 0, dy = 0;
  bool words = true;            // 16-bit offsets (flag 0x0001), else 8-bit
  uint16_t scale_flag = 0;      // 0, 0x0008, 0x0040 or 0x0080
  std::vector<int> scale = {};  // F2Dot14 values that follow the offsets
};

// A composite glyph; every component but the last has flag 0x0020.
inline std::string composite_glyph(const std::vector<component>& parts) {
  be b;
  b.u16(0xFFFF).u16(0).u16(0).u16(0).u16(0);
  for (size_t i = 0; i < parts.size(); i++) {
    const component& c = parts[i];
    uint32_t flags = 0x0002 | c.scale_flag | (c.words ? 0x0001 : 0);
    if (i + 1 < parts.size()) flags |= 0x0020;
    b.u16(flags).u16(c.glyph);
    if (c.words)
      b.u16(static_cast<uint16_t>(c.dx)).u16(static_cast<uint16_t>(c.dy));
    else
      b.u8(static_cast<uint8_t>(c.dx)).u8(static_cast<uint8_t>(c.dy));
    for (int v : c.scale) b.u16(static_cast<uint16_t>(v));
  }
  return b.s;
}

// One cmap subtable to go behind an encoding record.
struct encoding {
  uint16_t platform, id;
  std::string subtable;
};

inline std::string cmap(const std::vector<encoding>& encs) {
  be b;
  b.u16(0).u16(static_cast<uint32_t>(encs.size()));
  uint32_t off = 4 + 8 * static_cast<uint32_t>(encs.size());
  std::string body;
  for (auto& e : encs) {
    b.u16(e.platform).u16(e.id).u32(off + static_cast<uint32_t>(body.size()));
    body += e.subtable;
  }
  return b.s + body;
}

// A format 4 segment: by delta when glyphs is empty, else through the
// glyph index array (with the delta added to non-zero entries).
struct segment {
  uint16_t start, end;
  int16_t delta = 0;
  std::vector<uint16_t> glyphs = {};
};

inline std::string cmap_format4(const std::vector<segment>& segs) {
  const uint32_t n = static_cast<uint32_t>(segs.size());
  be b;
  b.u16(4).u16(0).u16(0).u16(2 * n).u16(0).u16(0).u16(0);
  for (auto& s : segs) b.u16(s.end);
  b.u16(0);
  for (auto& s : segs) b.u16(s.start);
  for (auto& s : segs) b.u16(static_cast<uint16_t>(s.delta));
  uint32_t used = 0;
  for (uint32_t k = 0; k < n; k++) {
    b.u16(segs[k].glyphs.empty() ? 0 : 2 * (n - k) + 2 * used);
    used += static_cast<uint32_t>(segs[k].glyphs.size());
  }
  for (auto& s : segs)
    for (uint16_t g : s.glyphs) b.u16(g);
  return b.s;
}

inline std::string cmap_format6(uint16_t first, const std::vector<uint16_t>& glyphs) {
  be b;
  b.u16(6).u16(0).u16(0).u16(first).u16(static_cast<uint32_t>(glyphs.size()));
  for (uint16_t g : glyphs) b.u16(g);
  return b.s;
}

struct group {
  uint32_t start, end, glyph;
};

inline std::string cmap_format12(const std::vector<group>& groups) {
  be b;
  b.u16(12).u16(0).u32(0).u32(0).u32(static_cast<uint32_t>(groups.size()));
  for (auto& g : groups) b.u32(g.start).u32(g.end).u32(g.glyph);
  return b.s;
}

inline std::string cmap_format0(const std::vector<std::pair<int, uint8_t>>& entries) {
  std::string glyphs(256, '\0');
  for (auto& [c, g] : entries) glyphs[static_cast<size_t>(c)] = static_cast<char>(g);
  return be().u16(0).u16(262).u16(0).raw(glyphs).s;
}

// A whole font around glyph records (an empty record is a glyph without
// outline): head, maxp, loca, glyf, and optionally hhea, hmtx and cmap.
struct font_recipe {
  std::vector<std::string> glyphs = {};
  bool long_loca = false;
  std::string cmap = {};                // omitted when empty
  std::vector<uint16_t> advances = {};  // long metrics; hhea and hmtx when non-empty
  int bare_lsbs = 0;
  int num_glyphs = -1;  // maxp count; -1 = glyphs.size()
};

inline std::string build(const font_recipe& f) {
  be loca, glyf;
  auto entry = [&](size_t off) {
    if (f.long_loca)
      loca.u32(static_cast<uint32_t>(off));
    else
      loca.u16(static_cast<uint32_t>(off / 2));
  };
  for (auto& g : f.glyphs) {
    entry(glyf.s.size());
    glyf.raw(g);
    if (glyf.s.size() % 2) glyf.u8(0);
  }
  entry(glyf.s.size());
  uint16_t n = static_cast<uint16_t>(f.num_glyphs < 0 ? f.glyphs.size() : f.num_glyphs);
  std::vector<std::pair<std::string, std::string>> t;
  if (!f.cmap.empty()) t.push_back({"cmap", f.cmap});
  t.push_back({"glyf", glyf.s});
  t.push_back({"head", head(f.long_loca)});
  if (!f.advances.empty()) {
    t.push_back({"hhea", hhea(static_cast<uint16_t>(f.advances.size()))});
    t.push_back({"hmtx", hmtx(f.advances, f.bare_lsbs)});
  }
  t.push_back({"loca", loca.s});
  t.push_back({"maxp", maxp(n)});
  return sfnt(t);
}

// Offset of a table in a font made by sfnt().
inline uint32_t table_offset(const std::string& font, const char* tag) {
  tf_font dir;
  if (!tf_font_open(&dir, test_util::bytes(font), test_util::len(font))) return 0;
  const tf_table* t = tf_find_table(&dir, tag);
  return t ? t->offset : 0;
}

// A glyph outline read back; released when the holder goes.
struct outline {
  int ok = 0;
  tf_point* pts = nullptr;
  int32_t npts = 0;
  uint16_t* ends = nullptr;
  int32_t nends = 0;
  int32_t composite = 0;
  outline(const std::string& font, int32_t glyph) {
    ok = tf_glyph_outline(test_util::bytes(font), test_util::len(font), glyph, &pts, &npts, &ends,
                          &nends, &composite);
  }
  ~outline() {
    free(pts);
    free(ends);
  }
  outline(const outline&) = delete;
  outline& operator=(const outline&) = delete;
  std::vector<pt> points() const {
    std::vector<pt> v;
    for (int32_t i = 0; i < npts; i++) v.push_back({pts[i].x, pts[i].y, pts[i].on_curve != 0});
    return v;
  }
  std::vector<int> end_list() const { return std::vector<int>(ends, ends + nends); }
  std::vector<path_seg> segs() const {
    std::vector<path_seg> s(kTfMaxSegments);
    s.resize(static_cast<size_t>(tf_outline_segs(pts, npts, ends, nends, s.data())));
    return s;
  }
};

inline bool operator==(const pt& a, const pt& b) {
  return a.x == b.x && a.y == b.y && a.on == b.on;
}
inline std::ostream& operator<<(std::ostream& o, const pt& p) {
  return o << "(" << p.x << "," << p.y << (p.on ? "" : " off") << ")";
}

}  // namespace tt
