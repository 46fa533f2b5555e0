// Helpers shared by the test programs: byte views of strings, files in a
// scratch folder, loading documents from text, and a mutation sweep.
#pragma once

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace test_util {

inline const uint8_t* bytes(const std::string& s) {
  return reinterpret_cast<const uint8_t*>(s.data());
}
inline int32_t len(const std::string& s) {
  return static_cast<int32_t>(s.size());
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Writes data to a fresh file in the test scratch folder and returns its path.
inline std::string write_temp(const std::string& name, const std::string& data) {
  std::string path = testing::TempDir() + name;
  std::ofstream(path, std::ios::binary) << data;
  return path;
}

inline std::string data_path(const std::string& rel) {
  return std::string(RENDRIX_TEST_DATA_DIR) + "/" + rel;
}

// A minimal document around the given objects: catalog 1, pages 2, and the
// caller's text after them. No cross-reference data: objects are found by
// scanning.
inline std::string simple_pdf(const std::string& pages_kids, const std::string& more) {
  return "%PDF-1.4\n1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n"
         "2 0 obj\n<< /Type /Pages /Kids [" +
         pages_kids + "] >>\nendobj\n" + more;
}

// Appends a classic cross-reference section with the given trailer
// dictionary, and a startxref that points at the section.
inline std::string with_trailer(const std::string& body, const std::string& dict) {
  std::string s = body + "\n";
  size_t at = s.size();
  s += "xref\n0 1\n0000000000 65535 f \ntrailer\n" + dict + "\nstartxref\n" + std::to_string(at) +
       "\n%%EOF\n";
  return s;
}

// Calls check on every single-byte mutation of data (each byte flipped,
// zeroed and set to 0xFF) and on every truncation.
inline void mutation_sweep(const std::string& data,
                           const std::function<void(const std::string&)>& check) {
  for (size_t i = 0; i < data.size(); i++) {
    for (int kind = 0; kind < 3; kind++) {
      std::string m = data;
      m[i] = kind == 0 ? static_cast<char>(~m[i]) : (kind == 1 ? '\0' : '\xff');
      check(m);
    }
  }
  for (size_t n = 0; n < data.size(); n++) check(data.substr(0, n));
}

}  // namespace test_util

#include "pdfcore/pdfcore.h"

namespace test_util {

// A document loaded from text; released when the holder goes.
struct loaded_doc {
  pdfcore_doc doc = {};
  int ok = 0;
  std::string error;
  explicit loaded_doc(const std::string& text, const char* name = "test.pdf") {
    ok = pdfcore_load_memory(bytes(text), text.size(), name, &doc);
    error = pdfcore_last_error();
  }
  ~loaded_doc() { pdfcore_doc_free(&doc); }
  loaded_doc(const loaded_doc&) = delete;
  loaded_doc& operator=(const loaded_doc&) = delete;
  const obj_entry* find(int32_t num) const { return obj_find(&doc.objects, num); }
  // The bytes of an object's stream data.
  std::string stream_data(int32_t num) const {
    const obj_entry* e = find(num);
    if (!e || !e->is_stream) return "<none>";
    return std::string(reinterpret_cast<const char*>(doc.data) + e->data_off,
                       static_cast<size_t>(e->data_end - e->data_off));
  }
};

}  // namespace test_util
