// The rendrix command-line tool: a front end over the library's exported
// functions (and its platform layer, for the output directory). It renders
// chosen pages to PNG or JPEG files (or standard output), prints what a
// document's pages are, and counts them.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "rendrix.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

const int kUsageStatus = 2;

void usage(FILE* out) {
  fputs(
      "Usage: rendrix render FILE.pdf [-o OUT] [-p PAGES] [-r DPI] [-F png|jpeg] [-j N] [-q]\n"
      "       rendrix info FILE.pdf [-r DPI]\n"
      "       rendrix pages FILE.pdf\n"
      "       rendrix --help | --version\n"
      "Render pages of PDF files into PNG or JPEG images.\n"
      "\n"
      "Commands:\n"
      "  render   render the pages PAGES (default: all). One page goes to the file\n"
      "           OUT, or to standard output when OUT is -. Several pages go to\n"
      "           the directory OUT as page_001.png, page_002.png, ..., or to the\n"
      "           names a pattern such as out-%03d.png gives. Without -o the\n"
      "           pages go to the current directory as page_NNN files.\n"
      "  info     print the page count, then each page's box, rotation and size\n"
      "           in pixels at DPI\n"
      "  pages    print the number of pages\n"
      "\n"
      "Options:\n"
      "  -o, --output OUT     output file, directory, pattern or - (see above)\n"
      "  -p, --pages PAGES    pages to render, e.g. 1-3,7 or 5- (from 1)\n"
      "  -r, --dpi DPI        resolution in dots per inch, 1..2400 (default 150)\n"
      "  -F, --format FMT     png or jpeg (default: from OUT's extension, else png)\n"
      "  -j, --threads N      render on N threads (default: one per processor,\n"
      "                       or the RENDRIX_THREADS variable)\n"
      "  -q, --quiet          no progress line\n"
      "  -h, --help           show this text\n"
      "  -V, --version        show the version\n"
      "\n"
      "Exit status: 0 when every page rendered, 1 when any failed (each failed\n"
      "page is reported on standard error), 2 for a usage error.\n",
      out);
}

int usage_error(const std::string& msg) {
  fprintf(stderr, "rendrix: %s\n", msg.c_str());
  fputs("Try 'rendrix --help'.\n", stderr);
  return kUsageStatus;
}

// Creates the directory dir and every missing directory above it. Returns 0
// when dir then names a directory, else the errno-style code of the first
// step that failed (ENOTDIR when nothing failed but dir is no directory).
// A step may fail harmlessly, as a drive name such as "C:" does.
int make_directory_path(const std::string& dir) {
  int first_error = 0;
  for (size_t i = 1; i <= dir.size(); i++) {
    if (i < dir.size() && !platform_is_separator(dir[i])) continue;
    if (platform_is_separator(dir[i - 1])) continue;  // "a//b", or a separator at the end
    int err = platform_mkdir(dir.substr(0, i).c_str());
    if (err != 0 && err != EEXIST && first_error == 0) first_error = err;
  }
  if (platform_is_directory(dir.c_str())) return 0;
  return first_error ? first_error : ENOTDIR;
}

bool ends_with_nocase(const std::string& s, const char* suffix) {
  size_t n = strlen(suffix);
  if (s.size() < n) return false;
  for (size_t i = 0; i < n; i++)
    if (tolower((unsigned char)s[s.size() - n + i]) != suffix[i]) return false;
  return true;
}

// Parses a whole decimal int; false on anything else.
bool parse_int(const char* s, int* out) {
  if (!*s || isspace((unsigned char)*s)) return false;
  char* end = nullptr;
  errno = 0;
  long long v = strtoll(s, &end, 10);
  if (*end || errno || v < INT32_MIN || v > INT32_MAX) return false;
  *out = (int)v;
  return true;
}

// One item of a page list: first..last, where last 0 means "to the end".
struct page_range {
  int first;
  int last;
};

// Parses a page list such as "1-3,7", "5-" or "-4" (pages from 1). False
// with a reason on a malformed list.
bool parse_pages(const std::string& text, std::vector<page_range>* out, std::string* why) {
  size_t i = 0;
  if (text.empty()) {
    *why = "empty page list";
    return false;
  }
  while (i <= text.size()) {
    size_t comma = text.find(',', i);
    std::string item = text.substr(i, comma == std::string::npos ? std::string::npos : comma - i);
    size_t dash = item.find('-');
    std::string a = dash == std::string::npos ? item : item.substr(0, dash);
    std::string b = dash == std::string::npos ? item : item.substr(dash + 1);
    page_range r = {1, 0};
    bool ok = !item.empty();
    if (ok && !a.empty()) ok = parse_int(a.c_str(), &r.first) && r.first >= 1;
    if (ok && !b.empty()) ok = parse_int(b.c_str(), &r.last) && r.last >= 1;
    if (ok && dash != std::string::npos && a.empty() && b.empty()) ok = false;
    if (!ok || (r.last != 0 && r.last < r.first)) {
      *why = "bad page list item '" + item + "' (pages are numbered from 1, e.g. 1-3,7)";
      return false;
    }
    out->push_back(r);
    if (comma == std::string::npos) break;
    i = comma + 1;
  }
  return true;
}

// The pages a list selects in a document of count pages, in increasing
// order, each once. Ranges stop at the last page; a page named alone (or a
// range starting) past the end is kept, so that its failure is reported.
std::vector<int> select_pages(const std::vector<page_range>& ranges, int count) {
  std::vector<int> pages;
  for (const page_range& r : ranges) {
    if (r.first > count) {
      pages.push_back(r.first);
      continue;
    }
    int last = r.last == 0 || r.last > count ? count : r.last;
    for (int p = r.first; p <= last; p++) pages.push_back(p);
  }
  std::sort(pages.begin(), pages.end());
  pages.erase(std::unique(pages.begin(), pages.end()), pages.end());
  return pages;
}

// Checks a printf-style file name pattern: exactly one integer conversion
// (%d or %i, with an optional 0 flag and width) and %% for a percent sign.
bool valid_pattern(const std::string& p, std::string* why) {
  int conversions = 0;
  for (size_t i = 0; i < p.size(); i++) {
    if (p[i] != '%') continue;
    if (i + 1 < p.size() && p[i + 1] == '%') {
      i++;
      continue;
    }
    size_t j = i + 1;
    if (j < p.size() && p[j] == '0') j++;
    size_t digits = 0;
    while (j < p.size() && isdigit((unsigned char)p[j])) j++, digits++;
    if (digits > 2 || j >= p.size() || (p[j] != 'd' && p[j] != 'i')) {
      *why = "the output pattern may hold only %d (e.g. %03d) and %%";
      return false;
    }
    conversions++;
    i = j;
  }
  if (conversions != 1) {
    *why = "the output pattern needs exactly one %d";
    return false;
  }
  return true;
}

// The file name a checked pattern gives for page.
std::string pattern_name(const std::string& p, int page) {
  std::string out;
  for (size_t i = 0; i < p.size(); i++) {
    if (p[i] != '%') {
      out += p[i];
      continue;
    }
    if (p[i + 1] == '%') {
      out += '%';
      i++;
      continue;
    }
    size_t j = i + 1;
    std::string conversion = "%";
    while (p[j] != 'd' && p[j] != 'i') conversion += p[j++];
    conversion += 'd';
    char num[64];
    snprintf(num, sizeof num, conversion.c_str(), page);
    out += num;
    i = j;
  }
  return out;
}

bool stderr_is_terminal() {
#if defined(_WIN32)
  return _isatty(_fileno(stderr)) != 0;
#else
  return isatty(fileno(stderr)) != 0;
#endif
}

// Writes size bytes to path ("-": standard output). Empty on success, else
// the reason.
std::string write_file(const std::string& path, const unsigned char* data, uint64_t size) {
  if (path == "-") {
#if defined(_WIN32)
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    if (fwrite(data, 1, size, stdout) != size || fflush(stdout) != 0)
      return std::string("cannot write to standard output: ") + strerror(errno);
    return "";
  }
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return "cannot write " + path + ": " + strerror(errno);
  bool ok = fwrite(data, 1, size, f) == size;
  ok = fclose(f) == 0 && ok;
  if (!ok) return "short write to " + path;
  return "";
}

// Where each page's image goes.
struct output_plan {
  enum kind_t { single_file, directory, pattern } kind;
  std::string out;  // the file, directory or pattern
  const char* ext;  // "png" or "jpg"

  std::string name_for(int page) const {
    if (kind == single_file) return out;
    if (kind == pattern) return pattern_name(out, page);
    char name[32];
    snprintf(name, sizeof name, "page_%03d.%s", page, ext);
    std::string dir = out;
    if (!dir.empty() && dir.back() != '/' && dir.back() != '\\') dir += '/';
    return dir + name;
  }
};

// The number of threads: -j, else RENDRIX_THREADS, else one per processor.
int thread_count(int option) {
  if (option > 0) return option;
  int n = 0;
  const char* env = getenv("RENDRIX_THREADS");
  if (env && parse_int(env, &n) && n >= 1 && n <= 256) return n;
  unsigned hw = std::thread::hardware_concurrency();
  return hw == 0 ? 1 : (int)std::min(hw, 256u);
}

// One rendered page waiting to be written.
struct page_result {
  bool done = false;
  unsigned char* image = nullptr;
  uint64_t size = 0;
  std::string error;
};

// Renders pages on threads workers, handing the results to the main thread
// in page order; at most 2 x threads results wait at once. Returns the
// number of pages that failed.
int render_pages(const rendrix_doc* doc, const std::vector<int>& pages, int dpi, int format,
                 const output_plan& plan, int threads, bool progress) {
  const size_t n = pages.size();
  const size_t window = size_t(threads) * 2;
  std::vector<page_result> results(n);
  std::mutex mu;
  std::condition_variable ready, room;
  size_t next = 0;     // the next page a worker takes
  size_t written = 0;  // pages the main thread has finished with
  auto worker = [&]() {
    for (;;) {
      size_t k;
      {
        std::unique_lock<std::mutex> lock(mu);
        room.wait(lock, [&] { return next >= n || next < written + window; });
        if (next >= n) return;
        k = next++;
      }
      page_result r;
      r.image = rendrix_doc_page_memory(doc, pages[k], dpi, format, &r.size);
      if (!r.image) r.error = rendrix_last_error();
      r.done = true;
      std::lock_guard<std::mutex> lock(mu);
      results[k] = std::move(r);
      ready.notify_all();
    }
  };
  std::vector<std::thread> pool;
  int workers = (int)std::min<size_t>(size_t(threads), n);
  for (int t = 0; t < workers; t++) pool.emplace_back(worker);

  int failed = 0;
  for (size_t k = 0; k < n; k++) {
    page_result r;
    {
      std::unique_lock<std::mutex> lock(mu);
      ready.wait(lock, [&] { return results[k].done; });
      r = std::move(results[k]);
    }
    std::string error = r.error;
    if (r.image) {
      error = write_file(plan.name_for(pages[k]), r.image, r.size);
      rendrix_free_buffer(r.image);
    }
    if (progress) fputs("\r\033[K", stderr);
    if (!error.empty()) {
      fprintf(stderr, "rendrix: page %d: %s\n", pages[k], error.c_str());
      failed++;
    }
    if (progress && k + 1 < n)
      fprintf(stderr, "rendrix: %zu/%zu pages (page %d)", k + 1, n, pages[k]);
    {
      std::lock_guard<std::mutex> lock(mu);
      written = k + 1;
      room.notify_all();
    }
  }
  for (std::thread& t : pool) t.join();
  return failed;
}

struct render_options {
  const char* input = nullptr;
  const char* output = nullptr;
  const char* format_name = nullptr;
  const char* pages = nullptr;
  int dpi = 150;
  int threads = 0;
  bool quiet = false;
};

// Parses the options after the command word; returns 0, or the usage
// status after reporting the problem.
int parse_options(int argc, char** argv, bool render, render_options* o) {
  for (int i = 2; i < argc; i++) {
    std::string a = argv[i];
    auto value = [&](const char** out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    const char* v = nullptr;
    if (a == "-r" || a == "--dpi") {
      if (!value(&v) || !parse_int(v, &o->dpi)) return usage_error("-r needs a resolution");
    } else if (render && (a == "-o" || a == "--output")) {
      if (!value(&o->output)) return usage_error("-o needs a file name");
    } else if (render && (a == "-p" || a == "--pages" || a == "--page")) {
      if (!value(&o->pages)) return usage_error("-p needs a page list, e.g. 1-3,7");
    } else if (render && (a == "-F" || a == "--format")) {
      if (!value(&o->format_name)) return usage_error("-F needs png or jpeg");
    } else if (render && (a == "-j" || a == "--threads")) {
      if (!value(&v) || !parse_int(v, &o->threads) || o->threads < 1 || o->threads > 256)
        return usage_error("-j needs a number of threads, 1..256");
    } else if (render && (a == "-q" || a == "--quiet")) {
      o->quiet = true;
    } else if (render && (a == "-a" || a == "--all")) {
      o->pages = nullptr;  // every page, the default
    } else if (a.size() > 1 && a[0] == '-') {
      return usage_error("unknown option " + a);
    } else if (!o->input) {
      o->input = argv[i];
    } else {
      return usage_error("more than one input file");
    }
  }
  if (!o->input) return usage_error("no input file");
  return 0;
}

// Opens the document, or reports why not.
rendrix_doc* open_document(const char* path, int* count) {
  rendrix_init();
  rendrix_doc* doc = rendrix_doc_open(path);
  if (!doc) {
    fprintf(stderr, "rendrix: %s\n", rendrix_last_error());
    return nullptr;
  }
  *count = rendrix_doc_page_count(doc);
  if (*count <= 0) {
    fprintf(stderr, "rendrix: %s\n", rendrix_last_error());
    rendrix_doc_close(doc);
    return nullptr;
  }
  return doc;
}

int cmd_render(int argc, char** argv) {
  render_options o;
  if (int status = parse_options(argc, argv, true, &o)) return status;
  std::vector<page_range> ranges = {{1, 0}};
  if (o.pages) {
    ranges.clear();
    std::string why;
    if (!parse_pages(o.pages, &ranges, &why)) return usage_error(why);
  }
  std::string out = o.output ? o.output : ".";
  bool is_pattern = out.find('%') != std::string::npos;
  std::string why;
  if (is_pattern && !valid_pattern(out, &why)) return usage_error(why);

  int format = 0;
  if (o.format_name) {
    std::string f = o.format_name;
    for (char& c : f) c = (char)tolower((unsigned char)c);
    if (f == "png")
      format = 0;
    else if (f == "jpeg" || f == "jpg")
      format = 1;
    else
      return usage_error("format must be png or jpeg");
  } else if (ends_with_nocase(out, ".jpg") || ends_with_nocase(out, ".jpeg")) {
    format = 1;
  }

  int count = 0;
  rendrix_doc* doc = open_document(o.input, &count);
  if (!doc) return 1;
  std::vector<int> pages = select_pages(ranges, count);

  // A name with an image extension is one file: several pages need a
  // directory or a pattern instead.
  bool looks_like_file = ends_with_nocase(out, ".png") || ends_with_nocase(out, ".jpg") ||
                         ends_with_nocase(out, ".jpeg");
  if (!is_pattern && pages.size() > 1 && looks_like_file && !platform_is_directory(out.c_str())) {
    rendrix_doc_close(doc);
    return usage_error(out + " names one file but " + std::to_string(pages.size()) +
                       " pages are selected: choose one with -p, or give a directory or a "
                       "pattern such as out-%03d.png");
  }

  output_plan plan = {output_plan::single_file, out, format == 1 ? "jpg" : "png"};
  if (is_pattern) {
    plan.kind = output_plan::pattern;
  } else if (out == "-") {
    if (pages.size() != 1) {
      rendrix_doc_close(doc);
      return usage_error("standard output (-o -) takes one page; choose it with -p");
    }
  } else if (pages.size() > 1 || !o.output || platform_is_directory(out.c_str()) ||
             out.back() == '/' || out.back() == '\\') {
    plan.kind = output_plan::directory;
    if (int err = make_directory_path(out)) {
      fprintf(stderr, "rendrix: cannot create directory %s: %s\n", out.c_str(), strerror(err));
      rendrix_doc_close(doc);
      return 1;
    }
  }

  bool progress = !o.quiet && pages.size() > 1 && stderr_is_terminal();
  int failed = render_pages(doc, pages, o.dpi, format, plan, thread_count(o.threads), progress);
  rendrix_doc_close(doc);
  return failed ? 1 : 0;
}

int cmd_info(int argc, char** argv) {
  render_options o;
  if (int status = parse_options(argc, argv, false, &o)) return status;
  int count = 0;
  rendrix_doc* doc = open_document(o.input, &count);
  if (!doc) return 1;
  int dpi = o.dpi < 1 ? 1 : (o.dpi > 2400 ? 2400 : o.dpi);
  printf("pages: %d\n", count);
  int failed = 0;
  for (int page = 1; page <= count; page++) {
    rendrix_page_info info;
    if (!rendrix_doc_page_info(doc, page, dpi, &info)) {
      fprintf(stderr, "rendrix: page %d: %s\n", page, rendrix_last_error());
      failed++;
      continue;
    }
    printf("page %d: box %g %g %g %g, rotation %d, %dx%d pixels at %d dpi\n", page, info.box[0],
           info.box[1], info.box[2], info.box[3], info.rotation, info.width, info.height, dpi);
  }
  rendrix_doc_close(doc);
  return failed ? 1 : 0;
}

int cmd_pages(int argc, char** argv) {
  if (argc != 3) return usage_error("pages takes one file");
  rendrix_init();
  int n = rendrix_page_count(argv[2]);
  if (n <= 0) {
    fprintf(stderr, "rendrix: %s\n", rendrix_last_error());
    return 1;
  }
  printf("%d\n", n);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    std::string cmd = argc >= 2 ? argv[1] : "";
    if (cmd == "--help" || cmd == "-h" || cmd == "help") {
      usage(stdout);
      return 0;
    }
    if (cmd == "--version" || cmd == "-V") {
      printf("rendrix %s\n", RENDRIX_VERSION_STRING);
      return 0;
    }
    if (cmd == "render") return cmd_render(argc, argv);
    if (cmd == "info") return cmd_info(argc, argv);
    if (cmd == "pages") return cmd_pages(argc, argv);
    return usage_error(argc < 2 ? "no command" : "unknown command " + cmd);
  } catch (const std::exception& e) {
    fprintf(stderr, "rendrix: %s\n", e.what());
    return 1;
  }
}
