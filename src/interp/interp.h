// The content interpreter: tokenises a content stream and runs its operators
// against a context. What PDF calls the graphics state is split between the
// context (transformation stack, colours, text state, path) and the page's
// canvas (clip rectangle and its stack, line width, opacities).
#pragma once

#include <cstdint>

#include "pdfcore/pdfcore.h"
#include "raster/raster.h"

struct font;  // a resolved font, owned by a context's font cache

inline constexpr int kCtmStackDepth = 32;
inline constexpr int kFontCacheSize = 96;

// Nested runs of the interpreter (Form XObjects, Type3 glyph procedures)
// stop at this depth, so content that invokes itself cannot exhaust the stack.
inline constexpr int kMaxInterpNesting = 16;
// Form XObjects run while another form runs, counted from the outermost one:
// with the nesting bound alone, a form that invokes itself k times at every
// level would run k^16 times.
inline constexpr int32_t kMaxNestedFormRuns = 4096;

// One interpreter context. Zeroed, then filled by its creator: the page
// driver, a Form XObject or a Type3 glyph.
struct interp {
  const pdfcore_doc* doc;
  struct canvas* canvas;
  const pageinfo* page;
  const char* page_resources;  // the page's resource dictionary text (not owned)
  const char* resources;       // the dictionary in force for name lookups
  int32_t resources_len;
  matrix ctm[kCtmStackDepth];  // the CTM is ctm[depth - 1]
  int32_t depth;
  color fill;
  color stroke;
  matrix tm;
  matrix tlm;
  double font_size;
  struct font* font;
  double leading;
  struct path path;
  char* font_cache_keys[kFontCacheSize];
  struct font* font_cache[kFontCacheSize];
  int32_t font_cache_count;
  int32_t nesting;  // 0 for the page; one more for each nested run
};

// Releases what a context owns: its path's segments and its cached fonts.
void interp_release(interp* ctx);

// Runs the content bytes against the context. Malformed content never stops
// it: unknown bytes are stepped over and operators short of operands do nothing.
void interp_execute(interp* ctx, const uint8_t* bytes, int32_t length);

// Runs a Type3 glyph procedure in a child context of parent that paints on
// the same canvas: the glyph matrix is the child's only CTM, the colours and
// font size are the parent's, resources (resources_len bytes) are those in
// force for names, and the child is one nesting level deeper, so a glyph
// that shows itself stops at kMaxInterpNesting. This is the glyph painter's
// one way back into the interpreter (fonts sit below interp).
void interp_run_glyph_procedure(const interp* parent, const matrix* glyph_matrix,
                                const char* resources, int32_t resources_len, const uint8_t* proc,
                                int32_t length);
