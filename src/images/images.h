// The image decoder: turns one PDF image (an image XObject, or an inline
// image the interpreter presents as an object) into 8-bit RGBA pixels of the
// image's own size plus an optional one-byte-per-pixel soft-mask plane. All
// colour handling of images happens here; the rasteriser only places pixels.
//
// Images sit between the interpreter and the document core: they read
// dictionaries and streams through pdfcore and JPEG data through the codecs,
// and know nothing of the interpreter.
#pragma once

#include <cstdint>

#include "pdfcore/pdfcore.h"

// ---------------------------------------------------------------------------
// Limits.

namespace image_limits {

// Width and height of an image, each, in pixels.
inline constexpr int32_t kMinImageSide = 1;
inline constexpr int32_t kMaxImageSide = 20000;

// Most pixels one image may have: 64 Mi, e.g. an 8192 x 8192 image or a
// 50-megapixel photograph. It bounds the memory one image takes: the RGBA
// result (256 MiB) and the alpha plane (64 MiB). A JPEG frame is held to the
// same count before its decoder runs, which keeps the decoder's planes and
// output (about components + 4 bytes per pixel) within 512 MiB. The sample
// data themselves are never widened to the image's size, so a large image
// with a few bytes of data costs only its result. An image beyond the bound
// is skipped like any undecodable image.
inline constexpr uint64_t kMaxImagePixels = uint64_t{1} << 26;

// The first block of a hexadecimal palette string; it doubles when full. A
// string is never longer than the object region it sits in.
inline constexpr int32_t kPaletteFirstBytes = 1024;

}  // namespace image_limits

// ---------------------------------------------------------------------------
// Decoding.

// Decodes the image object entry of doc. Sets *mask to null first. On success
// returns a malloc'd block of width x height x 4 bytes (red, green, blue,
// alpha = 255; first row of samples first), stores the size in *width and
// *height and, when the image has a usable soft mask, a malloc'd plane of
// width x height coverage bytes (255 opaque) in *mask; the caller frees both.
// Null when the image cannot be decoded (nothing is reported). Keys are read
// from the entry's object region and the samples from its stream data, so
// any object whose region holds the dictionary and whose stream data holds
// the samples can be decoded.
uint8_t* decode_image(const pdfcore_doc* doc, const obj_entry* entry, int32_t* width,
                      int32_t* height, uint8_t** mask);

// ---------------------------------------------------------------------------
// Number arrays (also read by the interpreter for /Matrix of XObjects).

// Reads the numbers of the array whose '[' is at text[pos] (after optional
// whitespace) into out, at most max of them, as real numbers with their signs
// ("-0.5", ".25", "3."). Stops at ']' or at the first element that is not a
// number. Returns how many were read; 0 when no array starts there.
int32_t read_number_array(const uint8_t* text, int32_t len, int32_t pos, double* out, int32_t max);
