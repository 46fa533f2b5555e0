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
// so that wide composites of large glyphs cannot multiply the work.
inline constexpr int64_t kTfMaxOutlineWork = int64_t{1} << 20;

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
// found on disk. Called by rendrix_init, before anything is rendered.
void load_font_files(void);
