// Fuzz target: inflate of a zlib stream into a bounded buffer, and the
// same data deflated again and inflated back, which must give it unchanged.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "compression/compression.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::vector<uint8_t> out(1 << 20);
  uint64_t produced = 0;
  inflate_decompress_status(data, size, out.data(), out.size(), &produced, nullptr);

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
