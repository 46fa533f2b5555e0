// Fuzz target: the baseline JPEG decoder on a whole stream.
#include <cstdlib>

#include "codecs/jpeg_decode.h"
#include "images/images.h"

// A frame's cost grows with its size, up to the decoder's 200 million
// pixels (planes and output near 1.7 GB). Past this size a fuzzed header
// with a few bytes of data only fills memory, for seconds under the
// sanitizers, and the campaign learns nothing from it; the library's image
// decoding checks a frame's size against the page's memory before decoding.
constexpr uint64_t kFuzzMaxFramePixels = uint64_t{64} << 20;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || data[0] != 0xFF || data[1] != 0xD8) return 0;
  if (jpeg_frame_pixels(data, size) > kFuzzMaxFramePixels) return 0;
  int32_t w = 0, h = 0;
  const char* message = nullptr;
  uint8_t* rgba = qx_jpeg_decode_impl(data, size, &w, &h, &message);
  if (rgba) {
    // Touch every output byte so that uninitialised or short blocks show.
    uint32_t sum = 0;
    for (uint64_t i = 0; i < (uint64_t)w * h * 4; i++) sum += rgba[i];
    if (sum == 0xFFFFFFFFu) abort();
  } else if (!message || !*message) {
    abort();  // a failure always comes with its message
  }
  free(rgba);
  return 0;
}
