// The exported functions that do not render: initialisation, clean-up, the
// last message and the page count. Each is a thin driver over the document
// core; no exception may leave them, so allocation failures become messages.
#include "interface/interface.h"

#include <new>

#include "fonts/fonts.h"
#include "pdfcore/pdfcore.h"

extern "C" {

RENDRIX_API int rendrix_init(void) {
  try {
    load_font_files();
  } catch (...) {
    // Out of memory while listing directories: the faces stay built in.
  }
  pdfcore_clear_error();
  return 1;
}

RENDRIX_API void rendrix_cleanup(void) {
  pdfcore_clear_error();
}

RENDRIX_API const char* rendrix_last_error(void) {
  return pdfcore_last_error();
}

RENDRIX_API int rendrix_page_count(const char* path) {
  if (!path) {
    pdfcore_set_error("NULL path");
    return 0;
  }
  try {
    pdfcore_doc doc;
    if (!pdfcore_load(path, &doc)) {
      if (!pdfcore_last_error()[0]) pdfcore_set_error("cannot open %s", path);
      return 0;
    }
    int count = doc.pages.count;
    pdfcore_doc_free(&doc);
    if (count <= 0) {
      pdfcore_set_error("no pages found in %s", path);
      return 0;
    }
    return count;
  } catch (...) {
    pdfcore_set_error("out of memory");
    return 0;
  }
}

}  // extern "C"
