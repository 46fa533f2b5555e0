// The fonts subsystem: the built-in faces, and the TrueType reader (truetype.cpp), which reads
// a font held in memory (table directory, character map, advance widths,
// glyph outlines) and turns outlines into rasteriser segments with every
// quadratic arc written as a cubic. It keeps no state, never copies or frees
// the font bytes, never reads outside them and reports failure only by result.
#pragma once

#include <cstdint>

#include "raster/raster.h"

// ---------------------------------------------------------------------------
// TrueType reader limits.

// Directory entries read; further entries are ignored.
inline constexpr int kTfMaxTables = 64;
// Segments one glyph may produce; callers pass an array of this many.
inline constexpr int kTfMaxSegments = 512;
// Composite nesting below the glyph asked for. Deeper nesting (in practice a
// glyph that refers to itself, directly or through others) fails the glyph.
inline constexpr int kTfMaxCompositeDepth = 8;
// Points of one outline: contour end indexes are 16-bit.
inline constexpr int32_t kTfMaxOutlinePoints = 65536;
// Components visited, at every level, while reading one glyph.
inline constexpr int32_t kTfMaxOutlineComponents = 4096;
// Points plus contours decoded from simple glyphs while reading one glyph,
// so that wide composites of large glyphs cannot multiply the work. An
// outline holds at most kTfMaxOutlinePoints points and as many contours, so
// no outline that can be kept needs more.
inline constexpr int64_t kTfMaxOutlineWork = 2 * int64_t{kTfMaxOutlinePoints};

// ---------------------------------------------------------------------------
// TrueType reader (truetype.cpp). Font data is a byte array with a 32-bit
// length; numbers are big-endian; glyph ids are taken as unsigned 16-bit.

// One table directory entry: the tag bytes as stored, and the table's
// position from the start of the font data.
struct tf_table {
  uint8_t tag[4];
  uint32_t offset;
  uint32_t length;
};

// The table directory: at most kTfMaxTables entries.
struct tf_font {
  uint16_t num_tables;
  tf_table tables[kTfMaxTables];
};

// One outline point in font units, y up; on_curve is 1 on the curve and 0
// for a quadratic control point.
struct tf_point {
  int16_t x, y;
  uint8_t on_curve;
};

// Reads the table directory. Returns 1 when data[0..len) starts with
// 00 01 00 00, "true" or "ttcf" and holds all min(numTables, 64) entries
// (zero tables is an empty but open directory); otherwise 0 with an empty
// directory. A collection opens but its header lists no tables, so every
// lookup in it fails.
int tf_font_open(tf_font* dir, const uint8_t* data, int32_t len);

// The first directory entry with the four-byte tag, or null.
const tf_table* tf_find_table(const tf_font* dir, const char* tag);

// Fills map[0..65535] (character code -> glyph id, 0 = none) from the best
// Unicode subtable of 'cmap' (formats 0, 4, 6 and 12). *ok is 1 when a
// subtable was chosen and decoded, else 0 with the map all zero.
void tf_build_cmap(const uint8_t* data, int32_t len, uint16_t* map, int* ok);

// Advance width of glyph in font units. Returns 1 with *adv set, or 0 with
// *adv = 0 (no font, glyph id not below numGlyphs, metric outside the data).
int tf_hmtx(const uint8_t* data, int32_t len, int32_t glyph, int32_t* adv);

// Reads the outline of glyph, simple or composite. Returns 1 with malloc'd
// *points (*npoints) and *ends (*ncontours, index of each contour's last
// point), which the caller releases with free(); *composite is 1 for a
// composite glyph. Returns 0 (a glyph without outline such as the space, a
// missing glyph, a damaged record) with the arrays null and the counts 0.
// The work of the last tf_glyph_outline call on this thread: points and
// contours decoded plus components visited, for callers that budget the
// work of a whole page.
int64_t tf_last_outline_work(void);
int tf_glyph_outline(const uint8_t* data, int32_t len, int32_t glyph, tf_point** points,
                     int32_t* npoints, uint16_t** ends, int32_t* ncontours, int32_t* composite);

// Converts an outline into at most kTfMaxSegments closed-contour segments in
// font units (kind 0 straight, 1 cubic) in segs. Returns the count written.
int tf_outline_segs(const tf_point* points, int32_t npoints, const uint16_t* ends,
                    int32_t ncontours, path_seg* segs);

// ---------------------------------------------------------------------------
// Built-in faces (builtin.cpp): Liberation Sans, Serif and Mono Regular
// 1.07.4, compiled into the library and replaced by the same files found on
// disk at initialisation.

inline constexpr int kBuiltinFaces = 3;
enum builtin_face : int { FACE_SANS = 0, FACE_SERIF = 1, FACE_MONO = 2 };

// The data in use for each face; null (length 0) until load_font_files runs.
extern const uint8_t* g_font_files[kBuiltinFaces];
extern int32_t g_font_lens[kBuiltinFaces];

// Points every face at its built-in data, then at a copy of the same file
// found on disk, and builds the glyph tables of the faces (once per process).
// Called by rendrix_init, before anything is rendered.
void load_font_files(void);

// Builds the glyph table of each face whose data is present and whose table
// is not built yet. Rendering only reads these tables.
void build_base_tables(void);

// ---------------------------------------------------------------------------
// PDF fonts (font_resolve.cpp) and glyph drawing (glyph_draw.cpp).
//
// Fonts are resolved from the resources of an interpreter context and
// cached in it; glyphs are drawn on the context's canvas. The context is a
// plain struct declared in interp/interp.h, which font_resolve.cpp and
// glyph_draw.cpp include: a Type3 glyph runs the interpreter on its
// procedure, so that front header (and its one call,
// interp_run_glyph_procedure) is the single place where fonts lean back on
// the interpreter.

struct interp;

// Codes of a simple or Type3 font.
inline constexpr int kFontCodes = 256;
// A cache key holds at most this many bytes with its terminator; a longer
// name is stored cut, so it never matches again and resolves anew each time.
inline constexpr int kFontCacheKeyBytes = 64;
// Ranges kept from one W array; more are ignored.
inline constexpr int32_t kMaxWidthRanges = 65536;
// Type3 glyph procedures run while another glyph procedure is running (a
// Type3 glyph that shows Type3 text), counted from the outermost glyph. With
// the interpreter's nesting bound this keeps a procedure that shows itself
// several times from multiplying into an exponential number of runs.
inline constexpr int32_t kMaxType3NestedRuns = 256;

// Glyph id (0 = no glyph) and advance, in text space units per unit of font
// size, of one single-byte code.
struct glyph_entry {
  int32_t gid;
  double width;
};

// One range of a composite font's W array: codes first..last (inclusive).
// widths holds nwidths values (W value / 1000); with uniform set, widths[0]
// applies to every code of the range (the "first last w" form), so a wide
// range costs one number. widths is null for a range without widths.
struct w_range {
  int32_t first, last;
  double* widths;
  int32_t nwidths;
  int32_t uniform;
};

// Outlines a font has already converted into segments (glyph_draw.cpp).
struct glyph_outline_cache;

// One resolved font, a zero-initialised heap record owned by a context's
// font cache. kind: 1 simple (anything neither Type3 nor Type0), 2
// composite (Type0), 3 Type3.
struct font {
  uint32_t obj_num;
  int32_t kind;
  uint8_t* file;  // owned copy of the embedded TrueType program, or null
  int32_t file_len;
  double units_per_em;     // from the program's head table, else 1000
  glyph_entry* glyph_map;  // kFontCodes entries; owned unless shared_map
  int32_t face;            // built-in face standing in, -1 for none
  int32_t shared_map;      // 1 when glyph_map is a built-in face's table
  // Simple fonts.
  double* widths;  // kFontCodes document widths (Widths / 1000)
  int32_t first_char;
  // Type3 fonts.
  uint8_t** t3_procs;  // kFontCodes owned glyph procedures (decoded), by code
  int32_t* t3_lens;
  int32_t* t3_nums;    // kFontCodes object numbers of the procedures (0 for none)
  double* t3_widths;   // kFontCodes advances
  matrix t3_matrix;    // glyph space to text space (FontMatrix), else identity
  char* t3_resources;  // owned copy of the font's /Resources, or null
  int32_t t3_resources_len;
  // Composite fonts.
  uint8_t* cid_to_gid;  // owned CIDToGIDMap stream, or null (codes are glyph ids)
  int32_t cid_to_gid_len;
  double dw;  // DW / 1000, 1.0 when absent
  w_range* w_ranges;
  int32_t w_count;
  int32_t w_cap;
  // Outlines already converted, by code (simple) or glyph id (composite).
  glyph_outline_cache* outlines;
  // Bytes taken from the page's memory account for the font's program,
  // procedures, maps and outline cache; given back by font_free.
  int64_t held;
};

// Takes n bytes of the page's memory account for f; false when the page has
// too little left (the data is then not kept).
bool font_take(font* f, int64_t n);

// The font resource called name (without the slash) in the context's
// resources, resolved once per context and cached there; null when it
// cannot be resolved or the cache already holds kFontCacheSize fonts.
font* font_get(interp* ctx, const char* name);

// The advance of one code in text space units per unit of font size. A null
// font gives 0.5.
double glyph_advance(const font* f, int32_t code);

// The advance of a string (its codes as text_show_at reads them) times the
// font size: the distance text_show_at moves from its first glyph.
double text_advance(const font* f, const uint8_t* bytes, int32_t len, double font_size);

// Parses a W array whose elements start at pos (just after its '[') in
// text[0..len), appending ranges to f. Returns the number of ranges added.
int cid_parse_w(font* f, const char* text, int32_t len, int32_t pos);

// Appends the range first..last, clamped to 0..65535 with last >= first, and
// without widths. Null when the range array cannot grow.
w_range* cid_new_range(font* f, int32_t first, int32_t last);

// Releases a font and everything it owns (not a shared glyph map).
void font_free(font* f);

// Releases the font's converted outlines (glyph_draw.cpp).
void glyph_outline_cache_free(font* f);

// Releases the context's cached fonts and keys and empties the cache.
void font_cache_release(interp* ctx);

// Draws the codes of a string with the current font, the first glyph at
// offset x (text space units, along the text line), each next one further
// by its advance times the font size. The text matrix is not changed.
void text_show_at(interp* ctx, const uint8_t* bytes, int32_t len, double x);

// Draws one code of the current font at offset x along the text line, filled
// with the fill colour: a TrueType outline, or a Type3 glyph procedure run in
// a child context.
void draw_glyph(interp* ctx, int32_t code, double x);
