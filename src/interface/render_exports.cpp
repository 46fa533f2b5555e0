// The exported functions that render: one page into an encoded image in
// memory, one page into a file, every page into numbered files. Pages are
// encoded in memory (no temporary file), so rendering works in read-only
// directories and concurrent renderings cannot collide.
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "codecs/codecs.h"
#include "interface/interface.h"
#include "pdfcore/pdfcore.h"
#include "platform/platform.h"

// An open document: loaded once, never changed after, so any number of
// threads may render its pages at once.
struct rendrix_doc {
  pdfcore_doc doc;
  std::string path;
};

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
// On Windows '\\' separates components too; each separator passed is
// written as '/' (so later prefixes and messages show '/' there), and the
// whole name is then created and checked with every '/' after the first
// character turned into '\\'.
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
    name[i] = '/';
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

// Renders page (1-based, already checked >= 1) of a loaded document and
// encodes it (format already checked). Null with a message on failure.
unsigned char* encode_page(const pdfcore_doc* doc, int page, int dpi, int format,
                           uint64_t* out_size) {
  canvas cv;
  if (!render_page_canvas(doc, page - 1, clamp_dpi(dpi), &cv)) return nullptr;
  uint64_t size = 0;
  uint8_t* encoded =
      format == 0
          ? qx_png_encode_inverted_planes(cv.width, cv.height, cv.rgb, cv.alpha, cv.drawn, &size)
          : qx_jpeg_encode_inverted_planes(cv.width, cv.height, cv.rgb, cv.drawn, &size);
  canvas_free(&cv);
  if (!encoded) {
    pdfcore_set_error("failed to encode %s", format == 0 ? "PNG" : "JPG");
    return nullptr;
  }
  if (out_size) *out_size = size;
  return encoded;
}

// The argument checks shared by the two page_memory calls.
bool page_args_ok(int page, int format) {
  if (page <= 0) {
    pdfcore_set_error("page must be >= 1 (got %d)", page);
    return false;
  }
  if ((unsigned)format > 1u) {
    pdfcore_set_error("format must be 0 (PNG) or 1 (JPG), got %d", format);
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
  if (!page_args_ok(page, format)) return nullptr;
  pdfcore_doc doc;
  if (!load(input_path, &doc)) return nullptr;
  unsigned char* encoded = encode_page(&doc, page, dpi, format, out_size);
  pdfcore_doc_free(&doc);
  if (encoded) pdfcore_clear_error();
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

// Threads for rendering every page: RENDRIX_THREADS when it holds a whole
// number from 1 to 256, else one per processor.
int render_threads() {
  const char* env = getenv("RENDRIX_THREADS");
  if (env && *env) {
    char* end = nullptr;
    long n = strtol(env, &end, 10);
    if (*end == 0 && n >= 1 && n <= 256) return (int)n;
  }
  unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : (int)std::min(n, 256u);
}

// One rendered page waiting to be written: the encoded bytes, or the
// message of its failure.
struct page_result {
  bool done = false;
  unsigned char* data = nullptr;
  uint64_t size = 0;
  std::string error;
};

// Pages are handed out in order to the workers; the calling thread writes
// them in page order as they complete. A worker takes page p only when
// p < written + window, so at most `window` encoded pages wait in memory and
// slot p % window is free when p is taken.
class page_pipeline {
 public:
  page_pipeline(const pdfcore_doc* doc, int count, int dpi, int format, int window)
      : doc_(doc), count_(count), dpi_(dpi), format_(format), slots_((size_t)window) {}
  ~page_pipeline() {
    for (page_result& r : slots_) free(r.data);
  }

  void work() {
    for (;;) {
      int page;
      {
        std::unique_lock<std::mutex> lock(mu_);
        taken_.wait(lock, [&] { return stop_ || next_ > count_ || next_ < written_ + window(); });
        if (stop_ || next_ > count_) return;
        page = next_++;
      }
      page_result r;
      try {
        r.data = encode_page(doc_, page, dpi_, format_, &r.size);
        if (!r.data) r.error = pdfcore_last_error();
      } catch (...) {
        r.data = nullptr;
        r.error = "out of memory";
      }
      r.done = true;
      std::lock_guard<std::mutex> lock(mu_);
      slots_[slot(page)] = std::move(r);
      ready_.notify_all();
    }
  }

  // Waits for page (the next one to write) and moves it out.
  page_result take(int page) {
    std::unique_lock<std::mutex> lock(mu_);
    ready_.wait(lock, [&] { return slots_[slot(page)].done; });
    page_result r = std::move(slots_[slot(page)]);
    slots_[slot(page)] = page_result();
    return r;
  }

  // The page has been written: its slot may take the page `window` later.
  void written(int page) {
    std::lock_guard<std::mutex> lock(mu_);
    written_ = page + 1;
    taken_.notify_all();
  }

  void stop() {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
    taken_.notify_all();
  }

 private:
  int window() const { return (int)slots_.size(); }
  size_t slot(int page) const { return (size_t)(page % window()); }

  const pdfcore_doc* doc_;
  int count_, dpi_, format_;
  std::vector<page_result> slots_;
  std::mutex mu_;
  std::condition_variable taken_, ready_;
  int next_ = 1, written_ = 1;
  bool stop_ = false;
};

// Writes one page's file; false with the page's message on failure.
bool write_page(const std::string& file, int page, int count, const page_result& r) {
  if (!r.data) {
    pdfcore_set_error("page %d/%d: %s", page, count, r.error.c_str());
    return false;
  }
  const char* what = nullptr;
  if (write_file(file.c_str(), r.data, r.size, &what)) return true;
  if (strcmp(what, "cannot write") == 0)
    pdfcore_set_error("page %d/%d: %s", page, count, "cannot write ");
  else
    pdfcore_set_error("page %d/%d: %s %s", page, count, what, file.c_str());
  return false;
}

std::string page_file(const char* output_dir, int page, int format) {
  char number[16];
  snprintf(number, sizeof number, "%03d", page);
  return std::string(output_dir) + "/page_" + number + "." + extension(format);
}

// Renders pages 1..count on `threads` threads, writing each file in page
// order; the first failure stops the run and no later page's file is
// written. Returns 1, or 0 with the message.
int render_pages_to_files(const pdfcore_doc* doc, int count, const char* output_dir, int dpi,
                          int format, int threads) {
  if (threads > count) threads = count;
  if (threads <= 1) {
    for (int page = 1; page <= count; page++) {
      page_result r;
      r.data = encode_page(doc, page, dpi, format, &r.size);
      if (!r.data) r.error = pdfcore_last_error();
      bool ok = write_page(page_file(output_dir, page, format), page, count, r);
      free(r.data);
      if (!ok) return 0;
    }
    return 1;
  }
  page_pipeline pipeline(doc, count, dpi, format, 2 * threads);
  std::vector<std::thread> workers;
  for (int i = 0; i < threads; i++) {
    try {
      workers.emplace_back([&pipeline] { pipeline.work(); });
    } catch (...) {
      break;  // fewer threads than asked for: the ones started do the work
    }
  }
  if (workers.empty()) pipeline.stop();
  int result = workers.empty() ? -1 : 1;
  for (int page = 1; page <= count && result == 1; page++) {
    page_result r = pipeline.take(page);
    bool ok = write_page(page_file(output_dir, page, format), page, count, r);
    free(r.data);
    if (!ok) result = 0;
    pipeline.written(page);
  }
  pipeline.stop();
  for (std::thread& t : workers) t.join();
  // Without a single thread the pages are rendered here, one by one.
  return result < 0 ? render_pages_to_files(doc, count, output_dir, dpi, format, 1) : result;
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
    result =
        render_pages_to_files(&doc, count, output_dir, clamp_dpi(dpi), format, render_threads());
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

RENDRIX_API rendrix_doc* rendrix_doc_open(const char* path) {
  if (!path) {
    pdfcore_set_error("NULL path");
    return nullptr;
  }
  try {
    std::unique_ptr<rendrix_doc> handle(new (std::nothrow) rendrix_doc());
    if (!handle) {
      pdfcore_set_error("out of memory");
      return nullptr;
    }
    handle->path = path;
    if (!load(path, &handle->doc)) return nullptr;
    pdfcore_clear_error();
    return handle.release();
  } catch (...) {
    pdfcore_set_error("out of memory");
    return nullptr;
  }
}

RENDRIX_API int rendrix_doc_page_count(const rendrix_doc* doc) {
  if (!doc) {
    pdfcore_set_error("NULL document");
    return 0;
  }
  int count = doc->doc.pages.count;
  if (count <= 0) {
    pdfcore_set_error("no pages found in %s", doc->path.c_str());
    return 0;
  }
  return count;
}

RENDRIX_API unsigned char* rendrix_doc_page_memory(const rendrix_doc* doc, int page, int dpi,
                                                   int format, uint64_t* out_size) {
  if (out_size) *out_size = 0;
  if (!doc) {
    pdfcore_set_error("NULL document");
    return nullptr;
  }
  try {
    if (!page_args_ok(page, format)) return nullptr;
    unsigned char* encoded = encode_page(&doc->doc, page, dpi, format, out_size);
    if (encoded) pdfcore_clear_error();
    return encoded;
  } catch (...) {
    pdfcore_set_error("out of memory");
    return nullptr;
  }
}

RENDRIX_API int rendrix_doc_page_info(const rendrix_doc* doc, int page, int dpi,
                                      rendrix_page_info* info) {
  if (!doc) {
    pdfcore_set_error("NULL document");
    return 0;
  }
  if (!info) {
    pdfcore_set_error("NULL info");
    return 0;
  }
  memset(info, 0, sizeof *info);
  if (page < 1) {
    pdfcore_set_error("page must be >= 1 (got %d)", page);
    return 0;
  }
  int32_t count = doc->doc.pages.count;
  if (page > count) {
    pdfcore_set_error("page %d out of range (1..%d)", page, count);
    return 0;
  }
  const pageinfo* pg = &doc->doc.pages.items[page - 1];
  info->box[0] = pg->x0;
  info->box[1] = pg->y0;
  info->box[2] = pg->x1;
  info->box[3] = pg->y1;
  info->rotation = pg->rotate % 360;
  page_pixel_size(pg, clamp_dpi(dpi), &info->width, &info->height);
  pdfcore_clear_error();
  return 1;
}

RENDRIX_API void rendrix_doc_close(rendrix_doc* doc) {
  if (!doc) return;
  pdfcore_doc_free(&doc->doc);
  delete doc;
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
