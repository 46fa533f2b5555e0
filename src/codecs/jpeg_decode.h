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

inline constexpr int kJpegMaxComponents = 4;

// A decoded frame kept as its component planes. The colour of a pixel is
// computed only when it is asked for, so an image drawn smaller than its
// frame converts only the pixels drawn and no RGBA copy of the frame is ever
// made. qx_jpeg_decode_impl is this decode followed by a conversion of every
// pixel, so both give the same colours.
struct jpeg_planes {
  int32_t width, height;               // the frame's size
  int n;                               // components: 1, 3 or 4
  bool cmyk;                           // four components under the Adobe CMYK transform
  uint8_t* plane[kJpegMaxComponents];  // samples XOR 0x80, pw x ph each
  uint32_t pw[kJpegMaxComponents], ph[kJpegMaxComponents];
  // Null when plane holds every row. Otherwise only some rows were kept:
  // plane row r is row slot[r] of plane, and row 0 there is mid-grey (the
  // value of every row not kept).
  uint32_t* slot[kJpegMaxComponents];
  uint32_t* cols;  // n x width: the plane column of each frame column
  uint64_t bytes;  // memory the whole planes and the column table take
};

// The frame rows a caller will ask for, told once the frame's size is
// known: rows sets keep[y] to 1 for each such row y < height (keep starts
// all 0).
struct jpeg_row_filter {
  const void* ctx;
  void (*rows)(const void* ctx, int32_t width, int32_t height, uint8_t* keep);
};

// Decodes like qx_jpeg_decode_impl but keeps the planes in *out (zeroed
// first). True on success, with *message pointed at ""; false with every
// block freed and *message as qx_jpeg_decode_impl sets it.
bool jpeg_decode_planes(const uint8_t* data, uint64_t len, jpeg_planes* out, const char** message);

// jpeg_decode_planes keeping only the frame rows filter names, when that
// saves memory: a large photograph drawn small then holds a fraction of its
// planes. Rows kept give the colours jpeg_decode_planes would; other rows
// are not the image's (their samples read as mid-grey, except where a
// subsampled plane shares a row with a kept one). A null filter keeps every
// row.
bool jpeg_decode_planes_rows(const uint8_t* data, uint64_t len, const jpeg_row_filter* filter,
                             jpeg_planes* out, const char** message);

// The RGBA of frame pixels (xs[k], y), k < n, into out[4k .. 4k + 3], alpha
// 255. xs null means columns 0 .. n - 1. y and every column must lie inside
// the frame.
void jpeg_planes_rgba(const jpeg_planes* jp, int32_t y, const int32_t* xs, int32_t n, uint8_t* out);

void jpeg_planes_free(jpeg_planes* jp);
