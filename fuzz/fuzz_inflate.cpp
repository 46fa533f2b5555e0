// Fuzz target: inflate of a zlib stream into a bounded buffer, which a
// streamed decode with the same limit must match (status and bytes), and
// the same data deflated again and inflated back, which must give it
// unchanged.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "compression/compression.h"

namespace {

// Compares the streamed pieces with the one-shot output as they come.
struct compare {
  const uint8_t* want;
  uint64_t want_len;
  uint64_t pos;
  static bool take(void* user, const uint8_t* p, uint64_t n) {
    compare* c = static_cast<compare*>(user);
    if (c->want && (n > c->want_len - c->pos || memcmp(p, c->want + c->pos, n) != 0)) abort();
    c->pos += n;
    return true;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::vector<uint8_t> out(1 << 20);
  uint64_t produced = 0;
  inflate_status why = INFLATE_OK;
  inflate_decompress_status(data, size, out.data(), out.size(), &produced, &why);

  compare c = {why == INFLATE_OK ? out.data() : nullptr, produced, 0};
  uint64_t streamed = 0;
  if (inflate_stream(data, size, out.size(), &compare::take, &c, &streamed) != why) abort();
  if (why == INFLATE_OK && (streamed != produced || c.pos != produced)) abort();

  uint8_t* packed = nullptr;
  uint64_t packed_len = 0;
  if (qx_deflate(data, size, &packed, &packed_len) == 0) {
    std::vector<uint8_t> back(size + 1);
    uint64_t got = 0;
    int rc = inflate_decompress(packed, packed_len, back.data(), back.size(), &got);
    if (rc != 0 || got != size || (size && memcmp(back.data(), data, size) != 0)) abort();
  }
  free(packed);
  return 0;
}
