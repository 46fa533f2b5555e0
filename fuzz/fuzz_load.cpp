// Fuzz target: loading a document from bytes (object scan, cross-reference
// chains, object streams, page tree) and reading every page's resources.
#include <cstdlib>

#include "pdfcore/pdfcore.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  pdfcore_doc doc = {};
  if (pdfcore_load_memory(data, size, "fuzz.pdf", &doc)) {
    int32_t n = doc.pages.count < 8 ? doc.pages.count : 8;
    for (int32_t i = 0; i < n; i++) free(pdfcore_page_resources(&doc, i));
  }
  pdfcore_doc_free(&doc);
  return 0;
}
