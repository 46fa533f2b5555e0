// The image codecs: encoding of rendered pages, width x height RGBA pixels
// (red, green, blue, alpha; top row first; rows packed without gaps), as PNG
// or baseline JPEG. The encoders have no settings and their output bytes are
// fully determined by the pixels. They report failure by a null or 0 result
// and never write the library's error message. Any number of calls may run
// at once.
#pragma once

#include <cstdint>

// Encodes the pixels as a PNG (8-bit RGBA, no interlacing, filter None on
// every row, the compressed image in IDAT chunks of at most 2^31 - 1 bytes, no
// ancillary chunks) in a malloc'd block; returns it with its length in *size,
// or null (with *size = 0) when width or height is below 1, rgba or size is
// null, or memory runs out.
uint8_t* qx_png_encode(int32_t width, int32_t height, const uint8_t* rgba, uint64_t* size);

// Encodes the pixels as a baseline JFIF JPEG (three components, no chroma
// subsampling, the example quantisation and Huffman tables of T.81 Annex K;
// alpha ignored) in a malloc'd block; returns it with its length in *size, or
// null (with *size = 0) when width or height is below 1 or above 65535, rgba
// or size is null, or memory runs out. If the environment variable JENC_DBG is
// set, prints one line per component of the top-left block to stderr.
uint8_t* qx_jpeg_encode(int32_t width, int32_t height, const uint8_t* rgba, uint64_t* size);

// The same two encoders over pixels held as planes, as the page canvas holds
// them: rgb with 3 bytes per pixel, and alpha with 1 (null: every pixel
// opaque). The bytes are those of the interleaved pixels.
uint8_t* qx_png_encode_planes(int32_t width, int32_t height, const uint8_t* rgb,
                              const uint8_t* alpha, uint64_t* size);
uint8_t* qx_jpeg_encode_planes(int32_t width, int32_t height, const uint8_t* rgb, uint64_t* size);
// The same over an RGB plane stored inverted (each byte 255 minus the
// value), as the page canvas keeps it: the bytes of the plane's true
// colours. drawn (null: every row) flags the rows that hold pixels; the
// others are white and are not read.
uint8_t* qx_png_encode_inverted_planes(int32_t width, int32_t height, const uint8_t* rgb,
                                       const uint8_t* alpha, const uint8_t* drawn, uint64_t* size);
uint8_t* qx_jpeg_encode_inverted_planes(int32_t width, int32_t height, const uint8_t* rgb,
                                        const uint8_t* drawn, uint64_t* size);

// Write the bytes of qx_png_encode / qx_jpeg_encode to the file at path
// (opened with fopen "wb"). Return 1 when the whole image was written and the
// file closed cleanly, otherwise 0: nothing is created when encoding fails or
// the file cannot be opened; a short write or failed close leaves the partial
// file behind.
int qx_png_write(const char* path, int32_t width, int32_t height, const uint8_t* rgba);
int qx_jpeg_write(const char* path, int32_t width, int32_t height, const uint8_t* rgba);
