// The image decoder: turns one PDF image (an image XObject, or an inline
// image the interpreter presents as an object) into 8-bit RGBA pixels of the
// image's own size, handed out row by row or as one block, plus an optional
// one-byte-per-pixel soft-mask plane. All colour handling of images happens
// here; the rasteriser only places pixels.
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
// 50-megapixel photograph. It bounds the memory one image takes: its alpha
// plane (64 MiB) and, when a whole RGBA block is asked for, that block
// (256 MiB). A JPEG frame is held to the same count before its decoder runs,
// which keeps the decoder's planes (at most 4 bytes per pixel) within
// 256 MiB. The sample data themselves are never widened to the image's size,
// so a large image with a few bytes of data costs next to nothing. An image
// beyond the bound is skipped like any undecodable image.
inline constexpr uint64_t kMaxImagePixels = uint64_t{1} << 26;

// Sample data or a soft mask of at least this many bytes, decoded for a
// drawing that shows fewer than three quarters of the image's rows, keeps
// only the rows shown.
inline constexpr uint64_t kMinRowKeepBytes = uint64_t{1} << 20;

// The first block of a hexadecimal palette string; it doubles when full. A
// string is never longer than the object region it sits in.
inline constexpr int32_t kPaletteFirstBytes = 1024;

}  // namespace image_limits

// ---------------------------------------------------------------------------
// Decoding.

// A decoded image ready for drawing: its size, its alpha plane, and what its
// colours are made from (the JPEG decoder's planes, or the decoded sample
// data with the rule that turns them into colour). Colours are computed only
// for the pixels asked for, so a large image drawn small converts few pixels
// and no RGBA copy of the image is ever made.
struct image_samples;  // the colour source; private to the image decoder
struct image_source {
  int32_t width, height;
  uint8_t* mask;  // width x height coverage bytes (255 opaque), or null
  int64_t bytes;  // memory the source holds, for the page's account
  image_samples* samples;
};

// Decodes the image object entry of doc into *out (zeroed first). False when
// the image cannot be decoded (nothing is reported); *out then holds
// nothing. Keys are read from the entry's object region and the samples from
// its stream data, so any object whose region holds the dictionary and whose
// stream data holds the samples can be decoded.
bool decode_image_source(const pdfcore_doc* doc, const obj_entry* entry, image_source* out);

// The image rows a drawing will show, told once the image's size is known:
// rows sets shown[y] to 1 for each row y < height it shows (shown starts
// all 0).
struct image_row_chooser {
  const void* ctx;
  void (*rows)(const void* ctx, int32_t width, int32_t height, uint8_t* shown);
};

// decode_image_source for one drawing: a large JPEG keeps only the rows the
// chooser names (when that saves memory), and reads as mid-grey elsewhere
// until image_source_make_whole. out->bytes is what the whole image takes.
bool decode_image_source_rows(const pdfcore_doc* doc, const obj_entry* entry,
                              const image_row_chooser* chooser, image_source* out);

// Decodes the rows that decode_image_source_rows left out, from the data it
// kept for that, so that every row can be drawn. True when the source holds
// every row (also when it always did); false, with the source unchanged,
// when memory runs out.
bool image_source_make_whole(image_source* src);

// The RGBA of pixels (xs[k], y), k < n, into out[4k .. 4k + 3] (alpha 255;
// the mask is separate). xs null means columns 0 .. n - 1. y and every
// column must lie inside the image.
void image_source_rgba(const image_source* src, int32_t y, const int32_t* xs, int32_t n,
                       uint8_t* out);

// Converts the whole image to RGBA once and keeps only that (plus the
// mask), for an image drawn again and again: later rows are copies. True
// when the source now holds RGBA (also when it already did); src->bytes is
// updated. False, with the source unchanged, when memory runs out.
bool image_source_keep_rgba(image_source* src);

void image_source_free(image_source* src);

// Decodes the image object entry of doc into one block. Sets *mask to null
// first. On success returns a malloc'd block of width x height x 4 bytes
// (red, green, blue, alpha = 255; first row of samples first), stores the
// size in *width and *height and, when the image has a usable soft mask, a
// malloc'd plane of width x height coverage bytes (255 opaque) in *mask; the
// caller frees both. Null when the image cannot be decoded.
uint8_t* decode_image(const pdfcore_doc* doc, const obj_entry* entry, int32_t* width,
                      int32_t* height, uint8_t** mask);

// The frame size in pixels of the JPEG in d[0..n), walking its segments as
// the decoder does up to the scan header (the largest SOF0 or SOF2 frame);
// 0 when there is none. Images check it against the page's memory before
// decoding.
uint64_t jpeg_frame_pixels(const uint8_t* d, uint64_t n);

// ---------------------------------------------------------------------------
// Number arrays (also read by the interpreter for /Matrix of XObjects).

// Reads the numbers of the array whose '[' is at text[pos] (after optional
// whitespace) into out, at most max of them, as real numbers with their signs
// ("-0.5", ".25", "3."). Stops at ']' or at the first element that is not a
// number. Returns how many were read; 0 when no array starts there.
int32_t read_number_array(const uint8_t* text, int32_t len, int32_t pos, double* out, int32_t max);
