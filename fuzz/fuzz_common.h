// Helpers shared by the fuzz targets: documents built around fuzzed bytes
// and a one-time set-up of the built-in faces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "fonts/fonts.h"
#include "pdfcore/pdfcore.h"

namespace fuzz {

// Loads the built-in faces once; text falls back to them.
inline void init_fonts() {
  static bool done = false;
  if (!done) {
    load_font_files();
    done = true;
  }
}

// A one-page document whose page (MediaBox 0 0 72 72) has a small set of
// resources: a standard font, a Type3 font, a form, an image and an ExtGState,
// so fuzzed content reaches every kind of resource lookup; content is the
// data of the page's content stream.
inline std::string page_pdf(const std::string& content) {
  std::string s =
      "%PDF-1.7\n"
      "1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n"
      "2 0 obj\n<< /Type /Pages /Kids [3 0 R] /Count 1 >>\nendobj\n"
      "3 0 obj\n<< /Type /Page /Parent 2 0 R /MediaBox [0 0 72 72] /Contents 4 0 R\n"
      "/Resources << /Font << /F1 5 0 R /F2 8 0 R >> /XObject << /Fm 6 0 R /Im 7 0 R >>\n"
      "/ExtGState << /G << /ca 0.5 /CA 0.5 >> >> >> >>\nendobj\n"
      "5 0 obj\n<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>\nendobj\n"
      "6 0 obj\n<< /Type /XObject /Subtype /Form /BBox [0 0 10 10] /Length 16 >>\nstream\n"
      "0 0 5 5 re f Q q\nendstream\nendobj\n"
      "7 0 obj\n<< /Type /XObject /Subtype /Image /Width 2 /Height 2 /BitsPerComponent 8 "
      "/ColorSpace /DeviceGray /Length 4 >>\nstream\n\x00\x40\x80\xff\nendstream\nendobj\n"
      "8 0 obj\n<< /Type /Font /Subtype /Type3 /FontMatrix [0.001 0 0 0.001 0 0] "
      "/FontBBox [0 0 1000 1000] /CharProcs << /a 9 0 R >> /Encoding << /Differences [97 /a] >> "
      "/FirstChar 97 /LastChar 97 /Widths [1000] >>\nendobj\n"
      "9 0 obj\n<< /Length 21 >>\nstream\n1000 0 d0 0 0 m 9 9 l f\nendstream\nendobj\n";
  s += "4 0 obj\n<< /Length " + std::to_string(content.size()) + " >>\nstream\n";
  s += content;
  s += "\nendstream\nendobj\ntrailer\n<< /Root 1 0 R >>\n%%EOF\n";
  return s;
}

}  // namespace fuzz
