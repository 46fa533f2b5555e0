// Fuzz target: the content interpreter, running fuzzed content on a small
// blank page that has a font, a form, an image and a Type3 font to name.
#include <cstdlib>
#include <string>

#include "fuzz_common.h"
#include "interface/interface.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::init_fonts();
  std::string pdf = fuzz::page_pdf(std::string((const char*)data, size));
  pdfcore_doc doc = {};
  if (pdfcore_load_memory((const uint8_t*)pdf.data(), pdf.size(), "fuzz.pdf", &doc)) {
    int32_t w = 0, h = 0;
    free(render_page(&doc, 0, 72, &w, &h));
  }
  pdfcore_doc_free(&doc);
  return 0;
}
