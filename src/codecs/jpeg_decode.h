// Baseline JPEG decoding (ITU-T T.81 sequential DCT, Huffman coding, 8-bit
// samples) of a stream held in memory into RGBA pixels: the DCTDecode path of
// image decoding. Calls may run on any number of threads: the cosine table is
// built once and the message buffer is per thread.
#pragma once

#include <cstdint>

// Largest frame accepted, in pixels (width x height, each at most 65535 from
// the 16-bit header fields). A frame above it is refused before any plane is
// allocated; the planes and the output of the largest accepted frame take
// about 1.7 GB together.
inline constexpr uint64_t kJpegDecodeMaxPixels = 200000000;

// Decodes the first scan of the JPEG in data[0..len) (data[0..1] are taken to
// be the FF D8 the caller has tested). Sets *width and *height to 0 first. On
// success returns a malloc'd block of width x height x 4 bytes (red, green,
// blue, alpha = 255; top row first), stores the frame's width and height and
// points *message at "". On failure returns null and points *message at a
// per-thread buffer holding one "jpeg: ..." text, valid until the thread's
// next call.
// A scan whose data stop early still yields the part decoded so far when the
// stream ends there with FF D9; blocks that were never decoded read as
// mid-grey samples (128). Never throws.
uint8_t* qx_jpeg_decode_impl(const uint8_t* data, uint64_t len, int32_t* width, int32_t* height,
                             const char** message);
