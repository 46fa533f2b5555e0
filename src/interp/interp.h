// The content interpreter: tokenises a content stream and runs its operators
// against a context. What PDF calls the graphics state is split between the
// context (transformation stack, colours, text state, path) and the page's
// canvas (clip rectangle and its stack, line width, opacities).
#pragma once

#include <cstdint>

#include "images/images.h"
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

// The work one page may do, counted across every context that runs for it
// (the page, its forms and its Type3 glyph procedures). Once any of these is
// spent the rest of the page is skipped and what was drawn so far is kept.
inline constexpr int64_t kMaxPageOperators = 20000000;
inline constexpr int32_t kMaxPageFormRuns = 100000;
inline constexpr int32_t kMaxPageGlyphProcedures = 100000;
// Work of TrueType outline conversions (points, contours and components
// read; cached outlines cost nothing): about a million typical glyphs.
inline constexpr int64_t kMaxPageOutlineWork = int64_t{1} << 28;

// The last image XObject decoded on the page, kept so that a page drawing
// one image many times decodes it once. Its bytes are held in the page's
// memory account.
struct image_cache {
  int32_t num;  // object number, 0 when empty
  image_source image;
};

// State shared by every context of one page.
struct page_work {
  int64_t operators_left;
  int32_t form_runs_left;
  int32_t glyph_procedures_left;
  int64_t outline_work_left;
  bool exhausted;  // a budget ran out: nothing more is run
  // Forms and glyph procedures being run, by object number, outermost
  // first. One already on the chain is not entered again, so content that
  // invokes itself (however many times) runs once per level.
  int32_t chain[kMaxInterpNesting + 1];
  int32_t chain_len;
  // Form XObjects started while another form runs, counted from the
  // outermost running form: with the nesting bound alone, forms that invoke
  // each other k times at every level would run k^16 times.
  int32_t forms_running;
  int32_t nested_form_runs;
  // The same for Type3 glyph procedures (kMaxType3NestedRuns).
  int32_t glyph_procedures_running;
  int32_t nested_glyph_procedures;
  image_cache image;
};

// Sets every budget to its full value and empties the chain and the cache.
void page_work_init(page_work* w);
// Frees the cached image and gives its bytes back to the memory account.
void page_work_release(page_work* w);
// True when object num is on the chain of running forms and procedures.
bool page_work_on_chain(const page_work* w, int32_t num);

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
  int32_t nesting;    // 0 for the page; one more for each nested run
  page_work* work;    // the page's budgets; a context run without one gets its own
  int64_t path_held;  // bytes of the path's segments taken from the page's memory account
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
