// The exported functions that render: one page into an encoded image in
// memory, one page into a file, every page into numbered files. Pages are
// encoded in memory (no temporary file), so rendering works in read-only
// directories and concurrent renderings cannot collide.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "codecs/codecs.h"
#include "interface/interface.h"
#include "pdfcore/pdfcore.h"
#include "platform/platform.h"

namespace {

int32_t clamp_dpi(int dpi) {
  return dpi > 2400 ? 2400 : (dpi < 1 ? 1 : dpi);
}

const char* extension(int format) {
  return format == 0 ? "png" : "jpg";
}

// Loads the document; on failure makes sure a message is left.
bool load(const char* path, pdfcore_doc* doc) {
  if (pdfcore_load(path, doc)) return true;
  if (!pdfcore_last_error()[0]) pdfcore_set_error("cannot open %s", path);
  return false;
}

// Writes size bytes to a new file at path. Returns 0, or the failure text
// ("cannot write", "short write to", "cannot close") through *what.
bool write_file(const char* path, const uint8_t* data, uint64_t size, const char** what) {
  FILE* f = fopen(path, "wb");
  if (!f) {
    *what = "cannot write";
    return false;
  }
  size_t written = size ? fwrite(data, 1, (size_t)size, f) : 0;
  bool closed = fclose(f) == 0;
  if (written != size) {
    *what = "short write to";
    return false;
  }
  if (!closed) {
    *what = "cannot close";
    return false;
  }
  return true;
}

// Creates dir and every missing parent, outermost first; an existing
// directory is accepted. Leaves a message and returns false on failure.
bool make_directories(const std::string& dir) {
  std::string name = dir;
  size_t start = 1;  // the first character is never a cut point
#if defined(_WIN32)
  // A drive letter: with a separator after it, components start after the
  // separators; a bare "C:" has no intermediate directories.
  if (name.size() >= 2 && name[1] == ':') {
    if (name.size() == 2) {
      start = name.size();
    } else if (platform_is_separator(name[2])) {
      start = 2;
      while (start < name.size() && platform_is_separator(name[start])) start++;
    } else {
      start = 2;
    }
  }
#endif
  for (size_t i = start; i < name.size(); i++) {
    if (!platform_is_separator(name[i])) continue;
    std::string prefix = name.substr(0, i);
    int err = platform_mkdir(prefix.c_str());
    if (err != 0 && err != EEXIST) {
      pdfcore_set_error("cannot create directory %s: %s", prefix.c_str(), strerror(err));
      return false;
    }
  }
#if defined(_WIN32)
  for (size_t i = 1; i < name.size(); i++)
    if (name[i] == '/') name[i] = '\\';
#endif
  int err = platform_mkdir(name.c_str());
  if (err != 0 && err != EEXIST) {
    pdfcore_set_error("cannot create directory %s: %s", name.c_str(), strerror(err));
    return false;
  }
  if (!platform_is_directory(name.c_str())) {
    pdfcore_set_error("%s is not a directory", name.c_str());
    return false;
  }
  return true;
}

unsigned char* page_memory(const char* input_path, int page, int dpi, int format,
                           uint64_t* out_size) {
  if (out_size) *out_size = 0;
  if (!input_path) {
    pdfcore_set_error("NULL input_path");
    return nullptr;
  }
  if (page <= 0) {
    pdfcore_set_error("page must be >= 1 (got %d)", page);
    return nullptr;
  }
  if ((unsigned)format > 1u) {
    pdfcore_set_error("format must be 0 (PNG) or 1 (JPG), got %d", format);
    return nullptr;
  }
  pdfcore_doc doc;
  if (!load(input_path, &doc)) return nullptr;
  int32_t w = 0, h = 0;
  uint8_t* rgba = render_page(&doc, page - 1, clamp_dpi(dpi), &w, &h);
  pdfcore_doc_free(&doc);
  if (!rgba) return nullptr;
  uint64_t size = 0;
  uint8_t* encoded =
      format == 0 ? qx_png_encode(w, h, rgba, &size) : qx_jpeg_encode(w, h, rgba, &size);
  free(rgba);
  if (!encoded) {
    pdfcore_set_error("failed to encode %s", format == 0 ? "PNG" : "JPG");
    return nullptr;
  }
  if (out_size) *out_size = size;
  pdfcore_clear_error();
  return encoded;
}

int page_to_file(const char* input_path, int page, const char* output_path, int dpi, int format) {
  if (!output_path) {
    pdfcore_set_error("NULL output_path");
    return 0;
  }
  uint64_t size = 0;
  unsigned char* image = page_memory(input_path, page, dpi, format, &size);
  if (!image) return 0;
  const char* what = nullptr;
  bool ok = write_file(output_path, image, size, &what);
  free(image);
  if (!ok) {
    // A failed close means the bytes may not all have reached the file.
    pdfcore_set_error("%s %s",
                      strcmp(what, "cannot write") == 0 ? "cannot write" : "short write to",
                      output_path);
    return 0;
  }
  pdfcore_clear_error();
  return 1;
}

int all_pages(const char* input_path, const char* output_dir, int dpi, int format) {
  if (!input_path) {
    pdfcore_set_error("NULL input_path");
    return 0;
  }
  if (!output_dir) {
    pdfcore_set_error("NULL output_dir");
    return 0;
  }
  if ((unsigned)format > 1u) {
    pdfcore_set_error("format must be 0 (PNG) or 1 (JPG), got %d", format);
    return 0;
  }
  pdfcore_doc doc;
  if (!load(input_path, &doc)) return 0;
  int count = doc.pages.count;
  int result = 0;
  if (count <= 0) {
    pdfcore_set_error("no pages in %s", input_path);
  } else if (make_directories(output_dir)) {
    int32_t clamped = clamp_dpi(dpi);
    result = 1;
    for (int page = 1; page <= count && result; page++) {
      char number[16];
      snprintf(number, sizeof number, "%03d", page);
      std::string file = std::string(output_dir) + "/page_" + number + "." + extension(format);
      uint64_t size = 0;
      unsigned char* image = page_memory(input_path, page, clamped, format, &size);
      if (!image) {
        std::string cause = pdfcore_last_error();  // copied: the next message replaces it
        pdfcore_set_error("page %d/%d: %s", page, count, cause.c_str());
        result = 0;
        break;
      }
      const char* what = nullptr;
      bool ok = write_file(file.c_str(), image, size, &what);
      free(image);
      if (!ok) {
        if (strcmp(what, "cannot write") == 0)
          pdfcore_set_error("page %d/%d: %s", page, count, "cannot write ");
        else
          pdfcore_set_error("page %d/%d: %s %s", page, count, what, file.c_str());
        result = 0;
      }
    }
  }
  pdfcore_doc_free(&doc);
  if (result) pdfcore_clear_error();
  return result;
}

}  // namespace

extern "C" {

RENDRIX_API unsigned char* rendrix_page_memory(const char* input_path, int page, int dpi,
                                               int format, uint64_t* out_size) {
  try {
    return page_memory(input_path, page, dpi, format, out_size);
  } catch (...) {
    pdfcore_set_error("out of memory");
    return nullptr;
  }
}

RENDRIX_API void rendrix_free_buffer(unsigned char* buffer) {
  free(buffer);
}

RENDRIX_API int rendrix_page(const char* input_path, int page, const char* output_path, int dpi,
                             int format) {
  try {
    return page_to_file(input_path, page, output_path, dpi, format);
  } catch (...) {
    pdfcore_set_error("out of memory");
    return 0;
  }
}

RENDRIX_API int rendrix_all(const char* input_path, const char* output_dir, int dpi, int format) {
  try {
    return all_pages(input_path, output_dir, dpi, format);
  } catch (...) {
    pdfcore_set_error("out of memory");
    return 0;
  }
}

}  // extern "C"
