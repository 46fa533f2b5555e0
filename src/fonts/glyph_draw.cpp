// Glyph drawing: shows a string code by code with the context's current
// font. A TrueType glyph's outline becomes segments that are filled with the
// nonzero rule in the fill colour under the glyph matrix (font units to
// device pixels); a Type3 glyph runs its procedure in a child interpreter
// context that paints on the same canvas.
//
// Converted outlines are kept per font (by code for simple fonts, by glyph id
// for composite ones, within a per-font segment budget), so a repeated glyph
// is read and converted once; the segments are the same ones a fresh
// conversion gives, so the pixels are too.
#include "fonts/fonts.h"

#include <cstdlib>
#include <cstring>

// The one include from fonts back into the interpreter: the context is a plain
// struct, and a Type3 glyph runs through interp_run_glyph_procedure (see fonts.h).
#include "interp/interp.h"

namespace {

// Slots of a font's outline cache, direct-mapped by key (a simple font's code
// has its own slot; composite glyph ids share them and replace each other).
constexpr int32_t kOutlineSlots = 256;
// Segments one font may keep converted; glyphs beyond that are converted
// anew each time they are drawn.
constexpr int32_t kOutlineCacheSegs = 8192;

}  // namespace

struct glyph_outline_slot {
  int32_t used;
  int32_t key;
  int32_t count;
  path_seg* segs;  // count segments in font units; null when count is 0
};

struct glyph_outline_cache {
  glyph_outline_slot slot[kOutlineSlots];
  int32_t total;  // segments held by all slots
};

void glyph_outline_cache_free(font* f) {
  if (!f || !f->outlines) return;
  for (int32_t i = 0; i < kOutlineSlots; i++) free(f->outlines->slot[i].segs);
  free(f->outlines);
  f->outlines = nullptr;
}

namespace {

// Reads glyph gid of a TrueType program and converts its outline into segs
// (kTfMaxSegments of room). Returns the number of segments, 0 for a glyph
// without outline.
int32_t convert_outline(const uint8_t* data, int32_t len, int32_t gid, path_seg* segs,
                        page_work* work) {
  tf_point* points;
  uint16_t* ends;
  int32_t npoints, ncontours, composite;
  int ok = tf_glyph_outline(data, len, gid, &points, &npoints, &ends, &ncontours, &composite);
  // Every conversion counts against the page, so a font whose glyphs are
  // costly to read and too large to stay cached cannot stall the page.
  if (work) {
    work->outline_work_left -= tf_last_outline_work();
    if (work->outline_work_left < 0) work->exhausted = true;
  }
  if (!ok) return 0;
  int32_t n = tf_outline_segs(points, npoints, ends, ncontours, segs);
  free(points);
  free(ends);
  return n;
}

// The outline segments of a glyph: from the font's cache, or converted into
// local (kTfMaxSegments of room) and kept when the budget allows.
const path_seg* glyph_segments(font* f, int32_t key, const uint8_t* data, int32_t len, int32_t gid,
                               path_seg* local, int32_t* count, page_work* work) {
  if (!f->outlines && font_take(f, sizeof(glyph_outline_cache)))
    f->outlines = (glyph_outline_cache*)calloc(1, sizeof(glyph_outline_cache));
  glyph_outline_cache* cache = f->outlines;
  glyph_outline_slot* slot = cache ? &cache->slot[key & (kOutlineSlots - 1)] : nullptr;
  if (slot && slot->used && slot->key == key) {
    *count = slot->count;
    return slot->segs;
  }
  if (work && work->exhausted) return local;
  int32_t n = convert_outline(data, len, gid, local, work);
  *count = n;
  if (!slot || cache->total - slot->count + n > kOutlineCacheSegs) return local;
  path_seg* copy = nullptr;
  if (n > 0) {
    // The cache holds at most kOutlineCacheSegs segments: taken as they
    // come and kept until the font is released.
    if (n > slot->count && !font_take(f, (int64_t)(n - slot->count) * sizeof(path_seg)))
      return local;
    copy = (path_seg*)malloc((size_t)n * sizeof(path_seg));
    if (!copy) return local;
    memcpy(copy, local, (size_t)n * sizeof(path_seg));
  }
  cache->total -= slot->count;
  free(slot->segs);
  *slot = {1, key, n, copy};
  cache->total += n;
  return local;
}

// The glyph matrix: first (glyph space to text space at unit size), then the
// translation (x, 0) along the line, the text matrix and the CTM.
matrix glyph_matrix(const interp* ctx, const matrix& first, double x) {
  matrix m = first;
  matrix shift = {1, 0, 0, 1, x, 0};
  mat_mult(&m, &shift, &m);
  mat_mult(&m, &ctx->tm, &m);
  mat_mult(&m, &ctx->ctm[ctx->depth - 1], &m);
  return m;
}

void draw_type3(interp* ctx, font* f, int32_t code, double x) {
  if (code < 0 || code >= kFontCodes || !f->t3_procs || !f->t3_procs[code]) return;
  // The procedure's child context would be too deep to run anything.
  if (ctx->nesting + 1 > kMaxInterpNesting) return;
  page_work* work = ctx->work;
  if (!work || work->exhausted) return;
  // A procedure already running (on the chain of forms and glyph
  // procedures) is not entered again.
  const int32_t num = f->t3_nums ? f->t3_nums[code] : 0;
  if ((num > 0 && page_work_on_chain(work, num)) || work->chain_len > kMaxInterpNesting) return;
  // A glyph shown from inside another glyph procedure counts against the
  // outermost glyph's budget; the nesting bound alone would allow
  // procedures showing each other n times n^16 runs.
  if (work->glyph_procedures_running > 0 && ++work->nested_glyph_procedures > kMaxType3NestedRuns)
    return;
  if (work->glyph_procedures_running == 0) work->nested_glyph_procedures = 0;
  if (--work->glyph_procedures_left < 0) {
    work->exhausted = true;
    return;
  }
  double fs = ctx->font_size;
  matrix scale = {fs, 0, 0, fs, 0, 0};
  matrix first;
  mat_mult(&first, &scale, &f->t3_matrix);  // glyph space, FontMatrix, then the size
  matrix m = glyph_matrix(ctx, first, x);
  canvas* cv = ctx->canvas;
  // The procedure starts from line width 1.0 and paints with the text's
  // opacity; what it leaves is not restored.
  cv->line_width = 1.0;
  cv->stroke_alpha = cv->fill_alpha;
  const char* res = f->t3_resources ? f->t3_resources : ctx->resources;
  int32_t res_len = f->t3_resources ? f->t3_resources_len : ctx->resources_len;
  work->chain[work->chain_len++] = num;
  work->glyph_procedures_running++;
  interp_run_glyph_procedure(ctx, &m, res, res_len, f->t3_procs[code], f->t3_lens[code]);
  work->glyph_procedures_running--;
  work->chain_len--;
}

}  // namespace

void draw_glyph(interp* ctx, int32_t code, double x) {
  font* f = ctx ? ctx->font : nullptr;
  if (!f) return;
  if (f->kind == 3) {
    draw_type3(ctx, f, code, x);
    return;
  }
  const uint8_t* data;
  int32_t len, gid;
  double upem = f->units_per_em;
  if (f->kind == 2) {
    if (!f->file) return;
    data = f->file;
    len = f->file_len;
    gid = code;
    if (f->cid_to_gid && code >= 0 && (int64_t)code * 2 + 2 <= f->cid_to_gid_len)
      gid = f->cid_to_gid[2 * code] << 8 | f->cid_to_gid[2 * code + 1];
    if (upem <= 0) upem = 1000;
  } else {
    if (!f->glyph_map || code < 0 || code >= kFontCodes) return;
    if (f->shared_map) {
      if (f->face < 0 || f->face >= kBuiltinFaces || !g_font_files[f->face]) return;
      data = g_font_files[f->face];
      len = g_font_lens[f->face];
    } else {
      if (!f->file) return;
      data = f->file;
      len = f->file_len;
    }
    gid = f->glyph_map[code].gid;
  }
  // Nothing can be painted under an empty clip: the outline is not even read.
  if (gid == 0 || ctx->canvas->clip_empty) return;

  path_seg local[kTfMaxSegments];
  int32_t count = 0;
  const path_seg* segs =
      glyph_segments(f, f->kind == 2 ? gid : code, data, len, gid, local, &count, ctx->work);
  if (count <= 0) return;
  path p = {const_cast<path_seg*>(segs), count, kTfMaxSegments, 0, 0, 0, 0, 0};
  matrix scale = {ctx->font_size / upem, 0, 0, ctx->font_size / upem, 0, 0};
  matrix m = glyph_matrix(ctx, scale, x);
  double r, g, b;
  color_get(&ctx->fill, &r, &g, &b);
  raster_fill(ctx->canvas, &p, &m, 1, r, g, b, ctx->canvas->fill_alpha);
}

void text_show_at(interp* ctx, const uint8_t* bytes, int32_t len, double x) {
  const font* f = ctx ? ctx->font : nullptr;
  if (!f || !bytes || len <= 0) return;
  if (f->kind == 2) {
    for (int32_t i = 0; i + 1 < len; i += 2) {  // an odd last byte is ignored
      int32_t code = bytes[i] << 8 | bytes[i + 1];
      draw_glyph(ctx, code, x);
      x += glyph_advance(f, code) * ctx->font_size;
    }
    return;
  }
  for (int32_t i = 0; i < len; i++) {
    draw_glyph(ctx, bytes[i], x);
    x += glyph_advance(f, bytes[i]) * ctx->font_size;
  }
}
