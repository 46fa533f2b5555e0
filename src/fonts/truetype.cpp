// TrueType reader: table directory, character map, advance widths, glyph
// outlines, and the conversion of an outline into rasteriser segments.
// Every byte goes through a bounds-checked cursor (a read outside its view
// returns 0 and sets a sticky bad flag), every allocation is sized with
// overflow-checked arithmetic, and every loop runs over a count that is read
// once and capped, so a damaged font fails cleanly and is never read outside
// its bytes. Nothing here throws, prints or keeps state between calls.
#include "fonts/fonts.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "fonts/truetype_tags.h"

namespace {

// ---------------------------------------------------------------------------
// The cursor.

// A big-endian view of bytes [p, p + n) with a read position for sequential
// reads. Once a read falls outside, bad stays set and every later read
// returns 0, so a run of reads needs one check at its end.
struct rd {
  const uint8_t* p;
  uint64_t n;
  uint64_t pos;
  bool bad;
};

rd rd_make(const uint8_t* p, uint64_t n) {
  return rd{p, n, 0, false};
}

// True when k bytes at off lie inside the view (written so nothing overflows).
bool rd_has(const rd* r, uint64_t off, uint64_t k) {
  return off <= r->n && k <= r->n - off;
}

// The sub-view [off, off + k) of r, when it lies inside r.
bool rd_sub(const rd* r, uint64_t off, uint64_t k, rd* out) {
  if (r->bad || !rd_has(r, off, k)) return false;
  *out = rd_make(r->p + off, k);
  return true;
}

uint32_t rd_be_at(rd* r, uint64_t off, unsigned k) {
  if (r->bad || !rd_has(r, off, k)) {
    r->bad = true;
    return 0;
  }
  uint32_t v = 0;
  for (unsigned i = 0; i < k; i++) v = v << 8 | r->p[off + i];
  return v;
}

uint8_t rd_u8_at(rd* r, uint64_t off) {
  return static_cast<uint8_t>(rd_be_at(r, off, 1));
}
uint16_t rd_u16_at(rd* r, uint64_t off) {
  return static_cast<uint16_t>(rd_be_at(r, off, 2));
}
int16_t rd_s16_at(rd* r, uint64_t off) {
  return static_cast<int16_t>(rd_u16_at(r, off));
}
uint32_t rd_u32_at(rd* r, uint64_t off) {
  return rd_be_at(r, off, 4);
}

// Sequential reads from pos; a failed read leaves pos at the end.
uint32_t rd_next(rd* r, unsigned k) {
  uint32_t v = rd_be_at(r, r->pos, k);
  r->pos = r->bad ? r->n : r->pos + k;
  return v;
}
uint8_t rd_next_u8(rd* r) {
  return static_cast<uint8_t>(rd_next(r, 1));
}
int16_t rd_next_s16(rd* r) {
  return static_cast<int16_t>(rd_next(r, 2));
}

// malloc/realloc of count elements of size bytes, null when the byte count
// overflows. Zero elements still allocate one byte so success is non-null.
void* alloc_array(size_t count, size_t size) {
  size_t bytes;
  if (__builtin_mul_overflow(count, size, &bytes)) return nullptr;
  return malloc(bytes ? bytes : 1);
}
void* realloc_array(void* p, size_t count, size_t size) {
  size_t bytes;
  if (__builtin_mul_overflow(count, size, &bytes)) return nullptr;
  return realloc(p, bytes ? bytes : 1);
}

// ---------------------------------------------------------------------------
// The directory.

// Opens the directory the way every reader needs it: at least the header's
// 12 bytes, an accepted signature, and at least one table.
bool open_font(const uint8_t* data, int32_t len, tf_font* dir) {
  return data && len >= static_cast<int32_t>(kTtDirHeaderSize) && tf_font_open(dir, data, len) &&
         dir->num_tables >= 1;
}

// The offset of the first table with the tag, when the directory lists one.
bool table_offset(const tf_font* dir, const char* tag, uint64_t* off) {
  const tf_table* t = tf_find_table(dir, tag);
  if (!t) return false;
  *off = t->offset;
  return true;
}

// ---------------------------------------------------------------------------
// Character map.

// Preference among encoding records; higher wins, the first of equals wins.
int cmap_rank(uint16_t platform, uint16_t encoding) {
  if (platform == kTtPlatformWindows && encoding == kTtEncWindowsBmp) return 3;
  if (platform == kTtPlatformUnicode && encoding == kTtEncUnicodeFull) return 2;
  if (platform == kTtPlatformWindows && encoding == kTtEncWindowsFull) return 1;
  if (platform == kTtPlatformUnicode && encoding == kTtEncUnicodeBmp) return 1;
  return 0;
}

// Format 0: one glyph byte for each of the codes 0..255.
void cmap_format0(const rd* cm, uint64_t s, uint16_t* map) {
  rd r = *cm;
  for (uint32_t c = 0; c < 256; c++) {
    uint8_t g = rd_u8_at(&r, s + kTtCmap0Glyphs + c);
    if (r.bad) return;
    map[c] = g;
  }
}

// Format 4: segments of consecutive codes, mapped by adding idDelta or
// through glyphIdArray when idRangeOffset is non-zero. The idRangeOffset
// path addresses the array relative to the idRangeOffset entry itself.
void cmap_format4(const rd* cm, uint64_t s, uint16_t* map) {
  rd r = *cm;
  uint32_t seg_x2 = rd_u16_at(&r, s + kTtCmap4SegCountX2);
  if (r.bad) return;
  // At most 4096 segments are walked; the arrays stay where the stored count
  // puts them. Together with the 4096-code cap per segment this bounds the
  // work on a hostile table.
  uint32_t seg_count = seg_x2 / 2;
  if (seg_count > 4096) seg_count = 4096;
  const uint64_t end_at = s + kTtCmap4EndCodes;
  const uint64_t start_at = s + 16 + seg_x2;
  const uint64_t delta_at = s + 16 + 2 * uint64_t{seg_x2};
  const uint64_t range_at = s + 16 + 3 * uint64_t{seg_x2};
  for (uint32_t k = 0; k < seg_count; k++) {
    uint32_t end = rd_u16_at(&r, end_at + 2 * k);
    uint32_t start = rd_u16_at(&r, start_at + 2 * k);
    uint16_t delta = rd_u16_at(&r, delta_at + 2 * k);
    uint16_t range = rd_u16_at(&r, range_at + 2 * k);
    // The arrays ran out of the table; later segments lie further out.
    if (r.bad) return;
    if (start > end || end - start > 4096) continue;
    const uint64_t range_pos = range_at + 2 * k;
    for (uint32_t c = start; c <= end; c++) {
      uint16_t g;
      if (range == 0) {
        g = static_cast<uint16_t>(c + delta);
      } else {
        uint64_t at = range_pos + range + 2 * (c - start);
        // A glyph index outside the table leaves this code unmapped.
        if (!rd_has(&r, at, 2)) continue;
        uint16_t v = rd_u16_at(&r, at);
        if (v == 0) continue;
        g = static_cast<uint16_t>(v + delta);
      }
      if (g != 0) map[c] = g;
    }
    // The 0xFFFF segment ends the table; a skipped segment does not end it.
    if (end == 0xFFFF) return;
  }
}

// Format 6: one glyph id for each code of a single range. Decoded (rather
// than left empty) because old Mac-Roman-only fonts carry nothing else.
void cmap_format6(const rd* cm, uint64_t s, uint16_t* map) {
  rd r = *cm;
  uint32_t first = rd_u16_at(&r, s + kTtCmap6FirstCode);
  uint32_t count = rd_u16_at(&r, s + kTtCmap6EntryCount);
  if (r.bad) return;
  for (uint32_t i = 0; i < count; i++) {
    uint32_t c = first + i;
    if (c > 0xFFFF) return;
    uint16_t g = rd_u16_at(&r, s + kTtCmap6Glyphs + 2 * uint64_t{i});
    if (r.bad) return;
    map[c] = g;
  }
}

// Format 12: groups of consecutive codes with consecutive glyph ids. Only
// codes up to 0xFFFF fit the map; a group is stored even where its glyph id
// wraps to 0.
void cmap_format12(const rd* cm, uint64_t s, uint16_t* map) {
  rd r = *cm;
  uint32_t groups = rd_u32_at(&r, s + kTtCmap12NumGroups);
  if (r.bad) return;
  if (groups > 16384) groups = 16384;
  for (uint32_t g = 0; g < groups; g++) {
    uint64_t at = s + kTtCmap12Groups + uint64_t{kTtCmap12GroupSize} * g;
    uint32_t start = rd_u32_at(&r, at);
    uint32_t end = rd_u32_at(&r, at + 4);
    uint32_t glyph = rd_u32_at(&r, at + 8);
    if (r.bad) return;
    if (start > end || end - start > 4096) continue;
    for (uint32_t c = start; c <= end && c <= 0xFFFF; c++) {
      map[c] = static_cast<uint16_t>(glyph + (c - start));
    }
  }
}

// ---------------------------------------------------------------------------
// Glyph outlines.

// Points and contour ends being built; both arrays are malloc'd.
struct outline {
  tf_point* pts;
  int32_t npts;
  int32_t cap_pts;
  uint16_t* ends;
  int32_t nends;
  int32_t cap_ends;
};

void outline_free(outline* o) {
  free(o->pts);
  free(o->ends);
  *o = outline{};
}

// What one tf_glyph_outline call shares across its recursion: the font, the
// table positions, and the budgets. abort is set by failures that end the
// whole call (nesting too deep, a budget spent, memory exhausted), as opposed
// to a component that merely has no outline and contributes nothing.
struct glyph_job {
  rd font;
  uint64_t loca;
  uint64_t glyf;
  bool loca_long;
  uint16_t num_glyphs;
  int32_t components_left;
  int64_t work_left;
  bool abort;
  // The glyphs being read, outermost first: chain[d] at nesting depth d. A
  // component already on the chain is not read again.
  uint16_t chain[kTfMaxCompositeDepth + 1];
};

// The glyph's record through loca. False for an id not below numGlyphs, a
// glyph without outline (equal loca entries, as for the space), entries out
// of order, a record outside the data, or one under 16 bytes.
bool glyph_record(const glyph_job* job, uint16_t glyph, rd* rec) {
  if (glyph >= job->num_glyphs) return false;
  rd f = job->font;
  uint64_t start, end;
  if (!job->loca_long) {
    start = 2 * uint64_t{rd_u16_at(&f, job->loca + 2 * uint64_t{glyph})};
    end = 2 * uint64_t{rd_u16_at(&f, job->loca + 2 * uint64_t{glyph} + 2)};
  } else {
    start = rd_u32_at(&f, job->loca + 4 * uint64_t{glyph});
    end = rd_u32_at(&f, job->loca + 4 * uint64_t{glyph} + 4);
  }
  if (f.bad || start >= end) return false;
  if (!rd_sub(&f, job->glyf + start, end - start, rec)) return false;
  // The smallest useful record: a header and one 6-byte component.
  return rec->n >= 16;
}

// Simple glyph with n > 0 contours:
//   [10]          endPtsOfContours[n]   uint16, last point of each contour
//   [10 + 2n]     instructionLength     int16, must not be negative
//   [12 + 2n]     instructions
//   then          flags                 one per point, 0x08 = repeat count follows
//   then          x deltas, y deltas    byte (sign from 0x10/0x20), 0, or int16
bool read_simple(glyph_job* job, rd* rec, int32_t n, outline* out) {
  const uint64_t size = rec->n;
  const uint64_t ends_at = kTtGlyphHeaderSize;
  if (ends_at + 2 * uint64_t(n) > size || size < ends_at + 2 * uint64_t(n) + 2) return false;
  int16_t ilen = rd_s16_at(rec, ends_at + 2 * uint64_t(n));
  if (ilen < 0) return false;
  const uint64_t flags_at = ends_at + 2 * uint64_t(n) + 2 + uint64_t(ilen);
  if (flags_at > size) return false;
  const int32_t npts = int32_t{rd_u16_at(rec, ends_at + 2 * uint64_t(n - 1))} + 1;
  if (rec->bad) return false;

  job->work_left -= int64_t{npts} + n;
  if (job->work_left < 0) {
    job->abort = true;
    return false;
  }
  outline o{};
  o.pts = static_cast<tf_point*>(alloc_array(size_t(npts), sizeof(tf_point)));
  o.ends = static_cast<uint16_t*>(alloc_array(size_t(n), sizeof(uint16_t)));
  uint8_t* flags = static_cast<uint8_t*>(alloc_array(size_t(npts), 1));
  if (!o.pts || !o.ends || !flags) {
    outline_free(&o);
    free(flags);
    job->abort = true;
    return false;
  }
  o.npts = o.cap_pts = npts;
  o.nends = o.cap_ends = n;
  for (int32_t i = 0; i < n; i++) o.ends[i] = rd_u16_at(rec, ends_at + 2 * uint64_t(i));

  rec->pos = flags_at;
  for (int32_t i = 0; i < npts && !rec->bad;) {
    uint8_t f = rd_next_u8(rec);
    flags[i++] = f;
    if (f & kTtRepeat) {
      uint32_t repeat = rd_next_u8(rec);
      for (uint32_t j = 0; j < repeat && i < npts; j++) flags[i++] = f;
    }
  }
  if (rec->bad) {
    outline_free(&o);
    free(flags);
    return false;
  }
  // Deltas from the previous point (the first from the origin); the sums
  // wrap to 16 bits.
  uint16_t x = 0, y = 0;
  for (int32_t i = 0; i < npts; i++) {
    uint8_t f = flags[i];
    if (f & kTtXShort) {
      uint16_t d = rd_next_u8(rec);
      x = static_cast<uint16_t>((f & kTtXSameOrPos) ? x + d : x - d);
    } else if (!(f & kTtXSameOrPos)) {
      x = static_cast<uint16_t>(x + static_cast<uint16_t>(rd_next_s16(rec)));
    }
    o.pts[i].x = static_cast<int16_t>(x);
    o.pts[i].on_curve = (f & kTtOnCurve) ? 1 : 0;
  }
  for (int32_t i = 0; i < npts; i++) {
    uint8_t f = flags[i];
    if (f & kTtYShort) {
      uint16_t d = rd_next_u8(rec);
      y = static_cast<uint16_t>((f & kTtYSameOrPos) ? y + d : y - d);
    } else if (!(f & kTtYSameOrPos)) {
      y = static_cast<uint16_t>(y + static_cast<uint16_t>(rd_next_s16(rec)));
    }
    o.pts[i].y = static_cast<int16_t>(y);
  }
  free(flags);
  if (rec->bad) {
    outline_free(&o);
    return false;
  }
  *out = o;
  return true;
}

// A component's placement: x' = a·x + c·y + dx, y' = b·x + d·y + dy.
struct placement {
  double a, b, c, d;
  int32_t dx, dy;
};

double f2dot14(int16_t v) {
  return v / 16384.0;
}

// Grows an array to hold need elements: from first, doubling.
bool grow(void** p, int32_t* cap, int64_t need, int32_t first, size_t size) {
  if (need <= *cap) return true;
  int64_t c = *cap > 0 ? *cap : first;
  while (c < need) c *= 2;
  if (c > INT32_MAX) return false;
  void* q = realloc_array(*p, size_t(c), size);
  if (!q) return false;
  *p = q;
  *cap = static_cast<int32_t>(c);
  return true;
}

// Appends a component's outline under its placement. The offset is added
// after the 2×2 part (component offsets are not scaled); results are
// rounded to the nearest unit and wrap to 16 bits like simple-glyph sums.
bool append_component(glyph_job* job, outline* acc, const outline* part, const placement* m) {
  int64_t total = int64_t{acc->npts} + part->npts;
  int64_t total_ends = int64_t{acc->nends} + part->nends;
  if (total > kTfMaxOutlinePoints ||
      !grow(reinterpret_cast<void**>(&acc->pts), &acc->cap_pts, total, 8192, sizeof(tf_point)) ||
      !grow(reinterpret_cast<void**>(&acc->ends), &acc->cap_ends, total_ends, 16,
            sizeof(uint16_t))) {
    job->abort = true;
    return false;
  }
  for (int32_t i = 0; i < part->npts; i++) {
    const tf_point& p = part->pts[i];
    long x = std::lround(m->a * p.x + m->c * p.y) + m->dx;
    long y = std::lround(m->b * p.x + m->d * p.y) + m->dy;
    tf_point& q = acc->pts[acc->npts + i];
    q.x = static_cast<int16_t>(static_cast<uint16_t>(x));
    q.y = static_cast<int16_t>(static_cast<uint16_t>(y));
    q.on_curve = p.on_curve;
  }
  for (int32_t i = 0; i < part->nends; i++) {
    acc->ends[acc->nends + i] = static_cast<uint16_t>(part->ends[i] + acc->npts);
  }
  acc->npts = static_cast<int32_t>(total);
  acc->nends = static_cast<int32_t>(total_ends);
  return true;
}

bool read_glyph(glyph_job* job, uint16_t glyph, int depth, outline* out, int32_t* composite);

// Composite glyph: component records from offset 10 of the record,
//   [+0] flags  [+2] glyph id  [+4] dx, dy (int16 each when flags & 0x0001,
//   else int8 each)  then at most one of: scale (F2Dot14, flags & 0x0008),
//   x and y scales (0x0040), a 2×2 matrix a b c d (0x0080).
// The arguments are always offsets: point matching (flags without 0x0002)
// is not supported. A component that has no outline contributes nothing.
bool read_composite(glyph_job* job, rd* rec, int depth, outline* out) {
  outline acc{};
  uint64_t pos = kTtGlyphHeaderSize;
  // Each pass moves at least 6 bytes into the record and spends one
  // component of the call's budget.
  for (;;) {
    if (--job->components_left < 0) {
      job->abort = true;
      break;
    }
    rd c = *rec;
    uint16_t flags = rd_u16_at(&c, pos);
    uint16_t gid = rd_u16_at(&c, pos + 2);
    placement m{1, 0, 0, 1, 0, 0};
    uint64_t next;
    if (flags & kTtArgsAreWords) {
      m.dx = rd_s16_at(&c, pos + 4);
      m.dy = rd_s16_at(&c, pos + 6);
      next = pos + 8;
    } else {
      m.dx = static_cast<int8_t>(rd_u8_at(&c, pos + 4));
      m.dy = static_cast<int8_t>(rd_u8_at(&c, pos + 5));
      next = pos + 6;
    }
    // The scale forms are exclusive; the first flag present decides.
    if (flags & kTtHaveScale) {
      m.a = m.d = f2dot14(rd_s16_at(&c, next));
      next += 2;
    } else if (flags & kTtHaveXYScale) {
      m.a = f2dot14(rd_s16_at(&c, next));
      m.d = f2dot14(rd_s16_at(&c, next + 2));
      next += 4;
    } else if (flags & kTtHaveTwoByTwo) {
      m.a = f2dot14(rd_s16_at(&c, next));
      m.b = f2dot14(rd_s16_at(&c, next + 2));
      m.c = f2dot14(rd_s16_at(&c, next + 4));
      m.d = f2dot14(rd_s16_at(&c, next + 6));
      next += 8;
    }
    // The component record runs past the glyph record.
    if (c.bad) break;

    bool cycle = false;
    for (int d = 0; d <= depth && d <= kTfMaxCompositeDepth; d++) cycle |= job->chain[d] == gid;
    outline part;
    int32_t nested = 0;
    if (!cycle && read_glyph(job, gid, depth + 1, &part, &nested)) {
      append_component(job, &acc, &part, &m);
      outline_free(&part);
    }
    if (job->abort) break;
    pos = next;
    if (!(flags & kTtMoreComponents) || rec->n - pos < 4) break;
  }
  if (job->abort || acc.npts == 0 || acc.nends == 0) {
    outline_free(&acc);
    return false;
  }
  *out = acc;
  return true;
}

// Reads glyph at the given composite nesting depth (0 for the glyph asked
// for). Nesting beyond kTfMaxCompositeDepth, which in practice means a glyph
// that refers to itself, ends the whole call.
bool read_glyph(glyph_job* job, uint16_t glyph, int depth, outline* out, int32_t* composite) {
  *out = outline{};
  if (job->abort) return false;
  if (depth > kTfMaxCompositeDepth) {
    job->abort = true;
    return false;
  }
  job->chain[depth] = glyph;
  rd rec;
  if (!glyph_record(job, glyph, &rec)) return false;
  int16_t contours = rd_s16_at(&rec, 0);
  if (contours > 0) return read_simple(job, &rec, contours, out);
  if (contours == 0) return false;
  *composite = 1;
  return read_composite(job, &rec, depth, out);
}

// ---------------------------------------------------------------------------
// Outline to segments.

// The pen walking one contour: the current on-curve point P and at most one
// pending quadratic control Q.
struct seg_pen {
  path_seg* segs;
  int count;
  double px, py;
  bool has_q;
  double qx, qy;
};

void pen_emit(seg_pen* pen, int kind, double x1, double y1, double x2, double y2, double x3,
              double y3) {
  if (pen->count >= kTfMaxSegments) return;
  pen->segs[pen->count++] = path_seg{pen->px, pen->py, x1, y1, x2, y2, x3, y3, kind};
}

// The quadratic P, Q, E as the cubic with controls P + 2/3(Q − P) and
// E + 2/3(Q − E).
void pen_quad(seg_pen* pen, double ex, double ey) {
  constexpr double k = 2.0 / 3.0;
  pen_emit(pen, 1, pen->px + k * (pen->qx - pen->px), pen->py + k * (pen->qy - pen->py),
           ex + k * (pen->qx - ex), ey + k * (pen->qy - ey), ex, ey);
}

void pen_visit(seg_pen* pen, double vx, double vy, bool on_curve) {
  if (on_curve) {
    // A zero-length piece is dropped, even one with a pending control.
    if (vx != pen->px || vy != pen->py) {
      if (pen->has_q)
        pen_quad(pen, vx, vy);
      else
        pen_emit(pen, 0, 0, 0, 0, 0, vx, vy);
    }
    pen->px = vx;
    pen->py = vy;
    pen->has_q = false;
    return;
  }
  if (pen->has_q) {
    // Two controls in a row imply the on-curve point halfway between them.
    double mx = (pen->qx + vx) / 2, my = (pen->qy + vy) / 2;
    pen_quad(pen, mx, my);
    pen->px = mx;
    pen->py = my;
  }
  pen->qx = vx;
  pen->qy = vy;
  pen->has_q = true;
}

// One closed contour of m > 0 points. It starts at its first on-curve point
// or, when every point is a control, at the midpoint of its last and first
// points; it visits the rest in order, wrapping, and returns to the start.
void contour_segs(seg_pen* pen, const tf_point* c, int32_t m) {
  int32_t k = 0;
  while (k < m && !c[k].on_curve) k++;
  double sx, sy;
  int32_t first, count;
  if (k < m) {
    sx = c[k].x;
    sy = c[k].y;
    first = k + 1;
    count = m - 1;
  } else {
    sx = (static_cast<double>(c[0].x) + c[m - 1].x) / 2;
    sy = (static_cast<double>(c[0].y) + c[m - 1].y) / 2;
    first = 0;
    count = m;
  }
  pen->px = sx;
  pen->py = sy;
  pen->has_q = false;
  for (int32_t i = 0; i < count && pen->count < kTfMaxSegments; i++) {
    const tf_point& v = c[(first + i) % m];
    pen_visit(pen, v.x, v.y, v.on_curve != 0);
  }
  pen_visit(pen, sx, sy, true);
}

}  // namespace

// ---------------------------------------------------------------------------
// Entry points.

// Directory layout:
//   [0]  sfntVersion (00 01 00 00, "true" or "ttcf")   [4] numTables
//   [12 + 16i]  tag[4], checksum (ignored), offset, length
int tf_font_open(tf_font* dir, const uint8_t* data, int32_t len) {
  if (!dir) return 0;
  *dir = tf_font{};
  if (!data || len < static_cast<int32_t>(kTtDirHeaderSize)) return 0;
  if (memcmp(data, kTtSigTrueType, 4) != 0 && memcmp(data, kTtSigApple, 4) != 0 &&
      memcmp(data, kTtSigCollection, 4) != 0)
    return 0;
  rd r = rd_make(data, uint64_t(len));
  uint32_t n = rd_u16_at(&r, kTtDirNumTables);
  if (n > kTfMaxTables) n = kTfMaxTables;
  // A directory cut short by the end of the data is damaged: refuse it
  // rather than guess which entries to trust.
  if (!rd_has(&r, kTtDirHeaderSize, uint64_t{kTtDirEntrySize} * n)) return 0;
  for (uint32_t i = 0; i < n; i++) {
    uint64_t at = kTtDirHeaderSize + uint64_t{kTtDirEntrySize} * i;
    memcpy(dir->tables[i].tag, data + at, 4);
    dir->tables[i].offset = rd_u32_at(&r, at + kTtDirEntryOffset);
    dir->tables[i].length = rd_u32_at(&r, at + kTtDirEntryLength);
  }
  dir->num_tables = static_cast<uint16_t>(n);
  return 1;
}

const tf_table* tf_find_table(const tf_font* dir, const char* tag) {
  if (!dir || !tag) return nullptr;
  for (int i = 0; i < dir->num_tables && i < kTfMaxTables; i++) {
    if (memcmp(dir->tables[i].tag, tag, 4) == 0) return &dir->tables[i];
  }
  return nullptr;
}

// 'cmap': [0] version [2] numTables, then records [4 + 8i] platformID,
// encodingID, offset (from the table start). Every read stays inside the
// cmap table, which must itself lie inside the data.
void tf_build_cmap(const uint8_t* data, int32_t len, uint16_t* map, int* ok) {
  if (ok) *ok = 0;
  if (!map) return;
  memset(map, 0, 65536 * sizeof(uint16_t));
  tf_font dir;
  if (!open_font(data, len, &dir)) return;
  const tf_table* t = tf_find_table(&dir, kTtTagCmap);
  if (!t) return;
  rd font = rd_make(data, uint64_t(len));
  rd cm;
  if (!rd_sub(&font, t->offset, t->length, &cm)) return;
  uint32_t records = rd_u16_at(&cm, kTtCmapNumRecords);
  if (cm.bad || records == 0) return;
  if (records > 32) records = 32;

  int best_rank = -1;
  uint32_t best_off = 0;
  uint16_t best_format = 0;
  for (uint32_t i = 0; i < records; i++) {
    rd r = cm;
    uint64_t at = kTtCmapRecordsStart + uint64_t{kTtCmapRecordSize} * i;
    uint16_t platform = rd_u16_at(&r, at);
    uint16_t encoding = rd_u16_at(&r, at + 2);
    uint32_t off = rd_u32_at(&r, at + 4);
    if (r.bad) break;  // the records run out of the table
    if (off >= cm.n) continue;
    uint16_t format = rd_u16_at(&r, off);
    if (r.bad) continue;
    if (format != kTtCmapFormat0 && format != kTtCmapFormat4 && format != kTtCmapFormat6 &&
        format != kTtCmapFormat12)
      continue;
    int rank = cmap_rank(platform, encoding);
    if (rank > best_rank) {
      best_rank = rank;
      best_off = off;
      best_format = format;
    }
  }
  if (best_rank < 0) return;
  switch (best_format) {
    case kTtCmapFormat0:
      cmap_format0(&cm, best_off, map);
      break;
    case kTtCmapFormat4:
      cmap_format4(&cm, best_off, map);
      break;
    case kTtCmapFormat6:
      cmap_format6(&cm, best_off, map);
      break;
    default:
      cmap_format12(&cm, best_off, map);
      break;
  }
  if (ok) *ok = 1;
}

// hmtx holds numberOfHMetrics (from hhea) long metrics of 4 bytes, advance
// first, then bare left side bearings for the remaining glyphs.
int tf_hmtx(const uint8_t* data, int32_t len, int32_t glyph, int32_t* adv) {
  if (!adv) return 0;
  *adv = 0;
  tf_font dir;
  uint64_t head, hmtx, loca, maxp;
  if (!open_font(data, len, &dir) || !table_offset(&dir, kTtTagHead, &head) ||
      !table_offset(&dir, kTtTagHmtx, &hmtx) || !table_offset(&dir, kTtTagLoca, &loca) ||
      !table_offset(&dir, kTtTagMaxp, &maxp))
    return 0;
  rd f = rd_make(data, uint64_t(len));
  uint16_t num_glyphs = rd_u16_at(&f, maxp + kTtMaxpNumGlyphs);
  const uint16_t g = static_cast<uint16_t>(glyph);
  if (f.bad || g >= num_glyphs) return 0;
  // Glyphs at or past hhea's count of long metrics take the last long
  // metric's advance (their own entries hold only side bearings). Without
  // hhea or with a zero count the glyph's own position is read.
  uint32_t index = g;
  uint64_t hhea;
  if (table_offset(&dir, kTtTagHhea, &hhea)) {
    rd h = f;
    uint16_t nlong = rd_u16_at(&h, hhea + kTtHheaNumLongMetrics);
    if (!h.bad && nlong > 0 && g >= nlong) index = nlong - 1u;
  }
  uint64_t at = hmtx + uint64_t{kTtHmtxLongMetricSize} * index;
  if (!rd_has(&f, at, kTtHmtxLongMetricSize)) return 0;
  *adv = rd_u16_at(&f, at);
  return 1;
}

namespace {
thread_local int64_t t_last_outline_work = 0;

// Records the work a glyph_job spent when it goes out of scope.
struct work_report {
  const glyph_job* job;
  ~work_report() {
    t_last_outline_work =
        (kTfMaxOutlineWork - job->work_left) + (kTfMaxOutlineComponents - job->components_left);
  }
};
}  // namespace

int64_t tf_last_outline_work(void) {
  return t_last_outline_work;
}

int tf_glyph_outline(const uint8_t* data, int32_t len, int32_t glyph, tf_point** points,
                     int32_t* npoints, uint16_t** ends, int32_t* ncontours, int32_t* composite) {
  t_last_outline_work = 0;
  if (!points || !npoints || !ends || !ncontours) return 0;
  *points = nullptr;
  *npoints = 0;
  *ends = nullptr;
  *ncontours = 0;
  if (composite) *composite = 0;
  tf_font dir;
  uint64_t loca, glyf, head, maxp;
  if (!open_font(data, len, &dir) || !table_offset(&dir, kTtTagLoca, &loca) ||
      !table_offset(&dir, kTtTagGlyf, &glyf) || !table_offset(&dir, kTtTagHead, &head) ||
      !table_offset(&dir, kTtTagMaxp, &maxp))
    return 0;
  glyph_job job{};
  job.font = rd_make(data, uint64_t(len));
  rd f = job.font;
  job.num_glyphs = rd_u16_at(&f, maxp + kTtMaxpNumGlyphs);
  // indexToLocFormat: only its low byte is consulted, 0 = 16-bit entries
  // holding offset / 2, anything else = 32-bit offsets.
  job.loca_long = rd_u8_at(&f, head + kTtHeadIndexToLocFormatLow) != 0;
  if (f.bad || job.num_glyphs == 0) return 0;
  job.loca = loca;
  job.glyf = glyf;
  job.components_left = kTfMaxOutlineComponents;
  job.work_left = kTfMaxOutlineWork;
  work_report report{&job};

  outline o;
  int32_t is_composite = 0;
  if (!read_glyph(&job, static_cast<uint16_t>(glyph), 0, &o, &is_composite)) return 0;
  *points = o.pts;
  *npoints = o.npts;
  *ends = o.ends;
  *ncontours = o.nends;
  if (composite) *composite = is_composite;
  return 1;
}

// Contour i runs from the previous contour's end + 1 to its own end index
// (clamped to the last point); a contour ending before it starts is skipped
// and does not move the start. The points are read in place.
int tf_outline_segs(const tf_point* points, int32_t npoints, const uint16_t* ends,
                    int32_t ncontours, path_seg* segs) {
  if (!points || !ends || !segs || npoints <= 0 || ncontours <= 0) return 0;
  seg_pen pen{};
  pen.segs = segs;
  int32_t start = 0;
  for (int32_t i = 0; i < ncontours && pen.count < kTfMaxSegments && start < npoints; i++) {
    int32_t end = ends[i] < npoints - 1 ? int32_t{ends[i]} : npoints - 1;
    if (end < start) continue;
    contour_segs(&pen, points + start, end - start + 1);
    start = end + 1;
  }
  return pen.count;
}
