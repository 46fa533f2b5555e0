// Fuzz target: image decoding. The input's first line is the body of an
// image dictionary (keys such as /Width, /ColorSpace, /Filter, /Decode);
// the rest is the stream data. The target wraps both into an object and
// decodes it, then draws it on a small page.
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_common.h"
#include "images/images.h"
#include "interface/interface.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::init_fonts();
  const uint8_t* nl = (const uint8_t*)memchr(data, '\n', size);
  if (!nl) return 0;
  std::string dict((const char*)data, nl - data);
  std::string samples((const char*)nl + 1, size - (nl + 1 - data));
  std::string pdf =
      "%PDF-1.7\n"
      "1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n"
      "2 0 obj\n<< /Type /Pages /Kids [3 0 R] /Count 1 >>\nendobj\n"
      "3 0 obj\n<< /Type /Page /Parent 2 0 R /MediaBox [0 0 72 72] /Contents 4 0 R\n"
      "/Resources << /XObject << /Im 7 0 R >> >> >>\nendobj\n"
      "4 0 obj\n<< /Length 22 >>\nstream\nq 60 0 0 60 6 6 cm /Im Do Q\nendstream\nendobj\n"
      "7 0 obj\n<< /Type /XObject /Subtype /Image " +
      dict + " /Length " + std::to_string(samples.size()) + " >>\nstream\n" + samples +
      "\nendstream\nendobj\ntrailer\n<< /Root 1 0 R >>\n%%EOF\n";
  pdfcore_doc doc = {};
  if (pdfcore_load_memory((const uint8_t*)pdf.data(), pdf.size(), "fuzz.pdf", &doc)) {
    const obj_entry* e = obj_find(&doc.objects, 7);
    if (e) {
      int32_t w = 0, h = 0;
      uint8_t* mask = nullptr;
      free(decode_image(&doc, e, &w, &h, &mask));
      free(mask);
    }
    int32_t w = 0, h = 0;
    free(render_page(&doc, 0, 36, &w, &h));
  }
  pdfcore_doc_free(&doc);
  return 0;
}
