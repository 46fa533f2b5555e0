/* Renders one page of a PDF file into a PNG or JPEG file.
 *
 *   render_page IN.pdf PAGE OUT.png [DPI]
 *
 * Shows the one-call path: rendrix_page_memory hands back the encoded image,
 * which the program writes itself. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <rendrix.h>

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: %s IN.pdf PAGE OUT.png|OUT.jpg [DPI]\n", argv[0]);
    return 2;
  }
  const char* out = argv[3];
  size_t n = strlen(out);
  int format = n >= 4 && strcmp(out + n - 4, ".jpg") == 0 ? 1 : 0;
  int dpi = argc > 4 ? atoi(argv[4]) : 150;

  rendrix_init();
  printf("rendrix %s\n", RENDRIX_VERSION_STRING);
  int pages = rendrix_page_count(argv[1]);
  if (pages == 0) {
    fprintf(stderr, "%s\n", rendrix_last_error());
    return 1;
  }
  uint64_t size = 0;
  unsigned char* image = rendrix_page_memory(argv[1], atoi(argv[2]), dpi, format, &size);
  if (!image) {
    fprintf(stderr, "%s\n", rendrix_last_error());
    return 1;
  }
  FILE* f = fopen(out, "wb");
  int ok = f && fwrite(image, 1, (size_t)size, f) == size;
  if (f && fclose(f) != 0) ok = 0;
  rendrix_free_buffer(image);
  rendrix_cleanup();
  if (!ok) {
    fprintf(stderr, "cannot write %s\n", out);
    return 1;
  }
  printf("%s: %d pages; page %s written to %s (%llu bytes)\n", argv[1], pages, argv[2], out,
         (unsigned long long)size);
  return 0;
}
