// The rendrix command-line tool: a thin front end over the library's
// exported functions. For now it counts pages.
#include <cstdio>
#include <cstring>

#include "rendrix.h"

static void usage(FILE* out) {
  fputs(
      "Usage: rendrix COMMAND [ARGS]\n"
      "Render pages of PDF files into PNG or JPEG images.\n"
      "\n"
      "Commands:\n"
      "  pages FILE.pdf   print the number of pages of FILE.pdf\n"
      "  --help           show this text\n"
      "\n"
      "On failure the library's message goes to standard error and the exit\n"
      "status is 1; a usage error exits with status 2.\n",
      out);
}

int main(int argc, char** argv) {
  if (argc >= 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    usage(stdout);
    return 0;
  }
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
  usage(stderr);
  return 2;
}
