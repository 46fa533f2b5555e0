// Fuzz target: load, render the first pages at a low resolution, and encode
// each page as PNG and as JPEG. The resolution is chosen so that no side
// exceeds 200 pixels: the raster's own size is not what is being tested.
#include <algorithm>
#include <cstdlib>

#include "codecs/codecs.h"
#include "fuzz_common.h"
#include "interface/interface.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::init_fonts();
  pdfcore_doc doc = {};
  if (pdfcore_load_memory(data, size, "fuzz.pdf", &doc)) {
    int32_t n = std::min<int32_t>(doc.pages.count, 2);
    for (int32_t i = 0; i < n; i++) {
      const pageinfo* pg = &doc.pages.items[i];
      double side = std::max(std::abs(pg->x1), std::abs(pg->y1));
      int32_t dpi = 18;
      if (side * dpi / 72.0 > 200) dpi = std::max(1, (int32_t)(200 * 72.0 / side));
      int32_t w = 0, h = 0;
      uint8_t* rgba = render_page(&doc, i, dpi, &w, &h);
      if (!rgba) continue;
      uint64_t bytes = 0;
      free(qx_png_encode(w, h, rgba, &bytes));
      free(qx_jpeg_encode(w, h, rgba, &bytes));
      free(rgba);
    }
  }
  pdfcore_doc_free(&doc);
  return 0;
}
