// Renders every page of each file given, loading each file once, and
// encodes each page as PNG and as JPEG in memory. A driver for memory
// checkers and profilers: rendrix_all loads the file again for each page,
// which under valgrind would cost far more than the pages themselves.
//
// usage: render_pages DPI FILE.pdf...
#include <cstdio>
#include <cstdlib>

#include "codecs/codecs.h"
#include "fonts/fonts.h"
#include "interface/interface.h"
#include "pdfcore/pdfcore.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    fputs("usage: render_pages DPI FILE.pdf...\n", stderr);
    return 2;
  }
  int dpi = atoi(argv[1]);
  if (dpi < 1 || dpi > 2400) {
    fputs("render_pages: DPI must be 1..2400\n", stderr);
    return 2;
  }
  load_font_files();
  long pages = 0, failed = 0;
  for (int i = 2; i < argc; i++) {
    pdfcore_doc doc = {};
    if (!pdfcore_load(argv[i], &doc)) {
      printf("%s: %s\n", argv[i], pdfcore_last_error());
      pdfcore_doc_free(&doc);
      continue;
    }
    int32_t failed_here = 0;
    for (int32_t p = 0; p < doc.pages.count; p++) {
      int32_t w = 0, h = 0;
      uint8_t* rgba = render_page(&doc, p, dpi, &w, &h);
      if (!rgba) {
        failed_here++;
        continue;
      }
      uint64_t size = 0;
      free(qx_png_encode(w, h, rgba, &size));
      free(qx_jpeg_encode(w, h, rgba, &size));
      free(rgba);
    }
    printf("%s: %d pages, %d failed\n", argv[i], doc.pages.count, failed_here);
    pages += doc.pages.count;
    failed += failed_here;
    pdfcore_doc_free(&doc);
  }
  printf("%ld pages, %ld failed\n", pages, failed);
  return 0;
}
