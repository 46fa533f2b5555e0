// Writing an encoded image to its file: the codecs encode into memory and hand
// the whole image to one fwrite, so a file exists only once encoding worked.
#include "codecs/codecs_internal.h"

#include <cstdio>

int codec_write_file(const char* path, const uint8_t* data, uint64_t size) {
  if (!path || (!data && size > 0) || size > SIZE_MAX) return 0;
  FILE* f = fopen(path, "wb");
  if (!f) return 0;
  size_t written = size > 0 ? fwrite(data, 1, size_t(size), f) : 0;
  // fclose flushes the stdio buffer, so a full disk may only show here.
  int closed = fclose(f);
  return written == size && closed == 0 ? 1 : 0;
}
