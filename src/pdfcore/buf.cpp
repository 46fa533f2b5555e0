// The growable byte buffer used to assemble decoded content. Its first block
// is 1 MiB whatever is asked for and growth doubles, so joining the streams of
// a page costs few reallocations. A failed growth empties the buffer.
#include "pdfcore/pdfcore.h"

#include <cstdlib>
#include <cstring>

static const uint64_t kFirstBlock = 1048576;

void buf_init(buf* b) {
  b->len = 0;
  b->cap = kFirstBlock;
  b->data = (uint8_t*)malloc(kFirstBlock);
  if (b->data)
    b->data[0] = 0;
  else
    b->cap = 0;
}

void buf_reserve(buf* b, uint64_t n) {
  if (!b->data) {
    buf_init(b);
    if (!b->data) return;
  }
  // need = len + n + 1, refusing sizes that do not fit in memory at all.
  if (n > SIZE_MAX - 1 - b->len) {
    buf_free(b);
    return;
  }
  uint64_t need = b->len + n + 1;
  if (need <= b->cap) return;
  uint64_t cap = b->cap;
  while (cap < need) {
    if (cap > UINT64_MAX / 2) {
      cap = need;
      break;
    }
    cap *= 2;
  }
  uint8_t* grown = (uint8_t*)realloc(b->data, (size_t)cap);
  if (!grown) {
    buf_free(b);
    return;
  }
  b->data = grown;
  b->cap = cap;
}

void buf_bytes(buf* b, const void* src, uint64_t n) {
  buf_reserve(b, n);
  if (!b->data) return;
  if (n) memcpy(b->data + b->len, src, (size_t)n);
  b->len += n;
  b->data[b->len] = 0;
}

void buf_str(buf* b, const char* s) {
  buf_bytes(b, s, strlen(s));
}

void buf_free(buf* b) {
  free(b->data);
  b->data = nullptr;
  b->len = 0;
  b->cap = 0;
}
