// The budgets and the running chain that every context of one page shares.
#include <cstdlib>

#include "interp/interp.h"

void page_work_init(page_work* w) {
  *w = page_work{};
  w->operators_left = kMaxPageOperators;
  w->form_runs_left = kMaxPageFormRuns;
  w->glyph_procedures_left = kMaxPageGlyphProcedures;
  w->outline_work_left = kMaxPageOutlineWork;
}

void page_work_release(page_work* w) {
  page_memory_give(w->image.image.bytes);
  image_source_free(&w->image.image);
  w->image = image_cache{};
}

bool page_work_on_chain(const page_work* w, int32_t num) {
  for (int32_t i = 0; i < w->chain_len; i++)
    if (w->chain[i] == num) return true;
  return false;
}
