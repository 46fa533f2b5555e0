// The rendrix command-line tool: a thin front end over the library's
// exported functions. It renders pages to PNG or JPEG and counts pages.
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "rendrix.h"

static void usage(FILE* out) {
  fputs(
      "Usage: rendrix render FILE.pdf -o OUT [-p N] [-r DPI] [-F png|jpeg]\n"
      "       rendrix render FILE.pdf --all -o DIR [-r DPI] [-F png|jpeg] [-j N]\n"
      "       rendrix pages FILE.pdf\n"
      "Render pages of PDF files into PNG or JPEG images.\n"
      "\n"
      "Commands:\n"
      "  render         render page N (default 1) into the file OUT, or with --all\n"
      "                 every page into DIR/page_001.png, page_002.png, ...\n"
      "  pages          print the number of pages of FILE.pdf\n"
      "\n"
      "Options:\n"
      "  -o, --output OUT     output file (a directory with --all)\n"
      "  -p, --page N         page to render, from 1 (default 1)\n"
      "  -r, --dpi DPI        resolution in dots per inch, 1..2400 (default 150)\n"
      "  -F, --format FMT     png or jpeg (default: from OUT's extension, else png)\n"
      "  -a, --all            render every page\n"
      "  -j, --threads N      with --all, render on N threads (default: one per\n"
      "                       processor, or the RENDRIX_THREADS variable)\n"
      "  -h, --help           show this text\n"
      "\n"
      "On failure the library's message goes to standard error and the exit\n"
      "status is 1; a usage error exits with status 2.\n",
      out);
}

// Sets an environment variable of this process.
static void set_env(const char* name, const char* value) {
#if defined(_WIN32)
  _putenv_s(name, value);
#else
  setenv(name, value, 1);
#endif
}

static int usage_error(const char* msg) {
  fprintf(stderr, "rendrix: %s\n", msg);
  usage(stderr);
  return 2;
}

static bool ends_with(const std::string& s, const char* suffix) {
  size_t n = strlen(suffix);
  if (s.size() < n) return false;
  for (size_t i = 0; i < n; i++)
    if (tolower((unsigned char)s[s.size() - n + i]) != suffix[i]) return false;
  return true;
}

// Parses a whole decimal int; false on anything else.
static bool parse_int(const char* s, int* out) {
  char* end = nullptr;
  errno = 0;
  long v = strtol(s, &end, 10);
  if (!*s || *end || errno || v < INT32_MIN || v > INT32_MAX) return false;
  *out = (int)v;
  return true;
}

static int cmd_render(int argc, char** argv) {
  const char* input = nullptr;
  const char* output = nullptr;
  const char* format_name = nullptr;
  int page = 1, dpi = 150;
  bool all = false;
  const char* threads = nullptr;
  for (int i = 2; i < argc; i++) {
    std::string a = argv[i];
    auto value = [&](const char** out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    const char* v = nullptr;
    if (a == "-o" || a == "--output") {
      if (!value(&output)) return usage_error("-o needs a file name");
    } else if (a == "-p" || a == "--page") {
      if (!value(&v) || !parse_int(v, &page)) return usage_error("-p needs a page number");
    } else if (a == "-r" || a == "--dpi") {
      if (!value(&v) || !parse_int(v, &dpi)) return usage_error("-r needs a resolution");
    } else if (a == "-F" || a == "--format") {
      if (!value(&format_name)) return usage_error("-F needs png or jpeg");
    } else if (a == "-j" || a == "--threads") {
      int n = 0;
      if (!value(&v) || !parse_int(v, &n) || n < 1 || n > 256)
        return usage_error("-j needs a number of threads, 1..256");
      threads = v;
    } else if (a == "-a" || a == "--all") {
      all = true;
    } else if (!a.empty() && a[0] == '-' && a != "-") {
      return usage_error(("unknown option " + a).c_str());
    } else if (!input) {
      input = argv[i];
    } else {
      return usage_error("more than one input file");
    }
  }
  if (!input) return usage_error("no input file");
  if (!output) return usage_error("no output given (-o)");
  int format = 0;
  if (format_name) {
    std::string f = format_name;
    if (f == "png")
      format = 0;
    else if (f == "jpeg" || f == "jpg")
      format = 1;
    else
      return usage_error("format must be png or jpeg");
  } else if (!all && (ends_with(output, ".jpg") || ends_with(output, ".jpeg"))) {
    format = 1;
  }
  // The library reads its thread count from the environment.
  if (threads) set_env("RENDRIX_THREADS", threads);
  rendrix_init();
  int ok = all ? rendrix_all(input, output, dpi, format)
               : rendrix_page(input, page, output, dpi, format);
  if (!ok) {
    fprintf(stderr, "rendrix: %s\n", rendrix_last_error());
    return 1;
  }
  return 0;
}

int main(int argc, char** argv) {
  if (argc >= 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    usage(stdout);
    return 0;
  }
  if (argc >= 2 && strcmp(argv[1], "render") == 0) return cmd_render(argc, argv);
  if (argc == 3 && strcmp(argv[1], "pages") == 0) {
    rendrix_init();
    int n = rendrix_page_count(argv[2]);
    if (n <= 0) {
      fprintf(stderr, "rendrix: %s\n", rendrix_last_error());
      return 1;
    }
    printf("%d\n", n);
    return 0;
  }
  return usage_error(argc < 2 ? "no command" : "unknown command");
}
