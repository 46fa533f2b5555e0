// Decoding of PDF images into RGBA pixels: the dictionary keys, the sample
// unpacking at 1, 2, 4, 8 and 16 bits, the device colour spaces, Indexed
// palettes, the Decode array of 1-bit images, soft masks and JPEG data.
//
// The sample data are read as they came out of the filter chain: a position
// past their end reads as zero, as if the data had been padded to the image's
// size, but no padded copy is ever made. Nor is an RGBA copy: a decoded image
// keeps its samples (or the JPEG decoder's planes) and converts the pixels
// asked for, each by the same per-pixel rule a whole-block decode uses.
// Memory per image is bounded by image_limits::kMaxImagePixels.
#include "images/images.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "codecs/jpeg_decode.h"

namespace {

using image_limits::kMaxImagePixels;
using image_limits::kMaxImageSide;
using image_limits::kMinImageSide;

// Bytes of decoded data, n of them; a position past the end reads as zero.
// d holds the bytes from position base on: all of them (base 0), or the one
// row of the data that the reads of one image row fall in.
struct byte_view {
  const uint8_t* d;
  uint64_t n;
  uint64_t base = 0;
  uint8_t at(uint64_t i) const { return i < n ? d[i - base] : 0; }
  // The big-endian 16-bit value at i.
  uint32_t be16(uint64_t i) const { return (uint32_t)at(i) << 8 | at(i + 1); }
};

// The text an object's keys are searched in: text[start, end).
struct region {
  const uint8_t* t;
  int32_t start, end;
};

// Position of the value of /key (after whitespace), or -1 when absent.
int32_t value_pos(const region& r, const char* key) {
  int32_t p = find_name(r.t, r.end, r.start, r.end, key);
  if (p < 0) return -1;
  return skip_ws(r.t, p + 1 + (int32_t)strlen(key), r.end);
}

// The integer value of /key: 1 with *out set, 0 when absent or unreadable.
int int_key(const region& r, const char* key, int32_t* out) {
  int32_t p = value_pos(r, key);
  if (p < 0 || p >= r.end || !(pdf_is_digit(r.t[p]) || r.t[p] == '-')) return 0;
  *out = parse_int_at(r.t, r.end, &p);
  return 1;
}

// The RGBA byte of a colour value in [0, 1]: truncated, so that an 8-bit
// sample v read as v / 255 comes back as exactly v.
inline uint8_t unit_byte(double v) {
  if (!(v >= 0)) return 0;
  if (v > 1) return 255;
  return (uint8_t)(v * 255);
}

inline void put_rgb(uint8_t* o, double r, double g, double b) {
  o[0] = unit_byte(r);
  o[1] = unit_byte(g);
  o[2] = unit_byte(b);
  o[3] = 255;
}

// ---------------------------------------------------------------------------
// Palettes.

bool is_palette_name_char(uint8_t c) {
  return pdf_is_alnum(c) || c == '_' || c == '+' || c == '-';
}

// Skips the name whose '/' is at p.
int32_t skip_name(const uint8_t* t, int32_t p, int32_t end) {
  p++;
  while (p < end && is_palette_name_char(t[p])) p++;
  return p;
}

// Skips the array whose '[' is at p, nested brackets balanced; end when it
// does not close.
int32_t skip_array(const uint8_t* t, int32_t p, int32_t end) {
  int32_t depth = 0;
  for (; p < end; p++) {
    if (t[p] == '[') depth++;
    if (t[p] == ']' && --depth == 0) return p + 1;
  }
  return end;
}

int hex_digit(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The bytes of the hexadecimal string whose '<' is at p. Pairs of digits make
// one byte; a digit followed by anything else makes digit x 16; whitespace
// between bytes is skipped and any other character ends the string.
uint8_t* read_hex_lookup(const uint8_t* t, int32_t p, int32_t end, int32_t* out_len) {
  int64_t cap = image_limits::kPaletteFirstBytes, n = 0;
  uint8_t* block = (uint8_t*)malloc((size_t)cap);
  if (!block) return nullptr;
  for (p++; p < end;) {
    if (pdf_is_ws(t[p])) {
      p++;
      continue;
    }
    int hi = hex_digit(t[p]);
    if (hi < 0) break;
    p++;
    int lo = 0;
    if (p < end && hex_digit(t[p]) >= 0) lo = hex_digit(t[p++]);
    if (n == cap) {
      // The string lies in the object region, so n stays below INT32_MAX.
      uint8_t* grown = (uint8_t*)realloc(block, (size_t)cap * 2);
      if (!grown) {
        free(block);
        return nullptr;
      }
      block = grown;
      cap *= 2;
    }
    block[n++] = (uint8_t)(hi * 16 + lo);
  }
  *out_len = (int32_t)n;
  return block;
}

// A malloc'd copy of the decoded data of stream object num, or null.
uint8_t* read_stream_lookup(const pdfcore_doc* doc, int32_t num, int32_t* out_len) {
  const obj_entry* o = obj_find(&doc->objects, num);
  if (!o) return nullptr;
  buf b = {};
  int32_t n = 0;
  const uint8_t* bytes = decoded_stream(o, doc->data, doc->len, &b, &n);
  uint8_t* copy = nullptr;
  if (bytes && n >= 0) {
    copy = (uint8_t*)malloc((size_t)n + 1);
    if (copy) {
      memcpy(copy, bytes, (size_t)n);
      *out_len = n;
    }
  }
  buf_free(&b);
  return copy;
}

// Reads the palette of an [/Indexed base hival lookup] colour space: returns
// the lookup bytes (malloc'd) with their length and the entry count n
// (hival + 1, 0 when hival is negative or unreadable), or null when the
// array or its lookup cannot be read. The base colour space is not used:
// entries are always RGB triples. A base given as a reference is not
// skipped, so its object number is read as hival.
uint8_t* read_palette(const pdfcore_doc* doc, const region& r, int32_t* out_len, int64_t* entries) {
  const uint8_t* t = r.t;
  int32_t end = r.end;
  int32_t p = value_pos(r, "ColorSpace");
  if (p < 0 || p >= end || t[p] != '[') return nullptr;
  p = skip_ws(t, p + 1, end);
  if (p < end && t[p] == '/') p = skip_name(t, p, end);
  p = skip_ws(t, p, end);
  if (p < end && t[p] == '/')
    p = skip_name(t, p, end);
  else if (p < end && t[p] == '[')
    p = skip_array(t, p, end);
  int32_t hival = parse_int_at(t, end, &p);
  *entries = hival >= 0 ? (int64_t)hival + 1 : 0;
  p = skip_ws(t, p, end);
  if (p >= end) return nullptr;
  if (t[p] == '<') {
    if (p + 1 < end && t[p + 1] == '<') return nullptr;
    return read_hex_lookup(t, p, end, out_len);
  }
  if (pdf_is_digit(t[p])) return read_stream_lookup(doc, parse_int_at(t, end, &p), out_len);
  return nullptr;
}

}  // namespace

// ---------------------------------------------------------------------------
// JPEG frame size.

// The frame size of the JPEG in d[0..n), walking its segments from offset 2
// as the decoder does up to the scan header: the largest SOF0 or SOF2 frame
// (the decoder reads no other). 0 when there is none.
uint64_t jpeg_frame_pixels(const uint8_t* d, uint64_t n) {
  uint64_t pos = 2, most = 0;
  while (pos < n && d[pos] == 0xFF) {
    while (pos < n && d[pos] == 0xFF) pos++;
    if (pos >= n) break;
    uint8_t m = d[pos++];
    if (m == 0x01 || (m >= 0xD0 && m <= 0xD9)) continue;  // no length
    if (m == 0x00 || n - pos < 2) break;
    uint64_t seg = (uint64_t)d[pos] << 8 | d[pos + 1];
    if (seg < 2 || seg > n - pos) break;
    if ((m == 0xC0 || m == 0xC2) && seg - 2 > 6) {
      uint64_t h = (uint64_t)d[pos + 3] << 8 | d[pos + 4];
      uint64_t w = (uint64_t)d[pos + 5] << 8 | d[pos + 6];
      if (w * h > most) most = w * h;
    }
    if (m == 0xDA) break;
    pos += seg;
  }
  return most;
}

namespace {

// ---------------------------------------------------------------------------
// Sample conversion.

enum class conv {
  white,     // every pixel white
  black,     // every pixel black
  rgb16,     // three big-endian 16-bit samples, white past the data
  gray16,    // one big-endian 16-bit sample, white past the data
  bits,      // a 1-, 2- or 4-bit sample as gray (1 bit: Decode may invert)
  indexed8,  // a palette index
  rgb8,
  cmyk8,
  gray8,
};

struct convert_args {
  conv kind;
  int32_t bpc;
  bool invert;            // 1-bit samples under /Decode [1 0]
  const uint8_t* lookup;  // Indexed: the palette bytes
  int64_t lookup_len;
  int64_t entries;  // Indexed: hival + 1
};

// How the samples of an image of this depth and colour space become RGB. An
// 8-bit image without a colour space is taken as RGB or gray when its data
// length L fits exactly, and is white otherwise.
conv conversion(int32_t b, const char* cs, uint64_t L, uint64_t pixels) {
  auto is = [&](const char* name) { return cs && strcmp(cs, name) == 0; };
  if (b == 16) return is("DeviceRGB") ? conv::rgb16 : is("DeviceGray") ? conv::gray16 : conv::white;
  if (b == 1) return is("DeviceCMYK") ? conv::black : conv::bits;
  if (b != 8) return conv::bits;
  if (is("Indexed")) return conv::indexed8;
  if (is("DeviceRGB")) return conv::rgb8;
  if (is("DeviceCMYK")) return conv::cmyk8;
  if (is("DeviceGray")) return conv::gray8;
  if (L == 3 * pixels) return conv::rgb8;
  if (L == pixels) return conv::gray8;
  return conv::white;
}

// The RGBA of pixel (x, y), i = y * W + x, of samples s under the rule a;
// row_bytes is the length of one row of packed samples.
inline void sample_rgba(const byte_view& s, uint64_t i, int32_t x, int32_t y, uint64_t row_bytes,
                        const convert_args& a, uint8_t* o) {
  const uint64_t b = (uint64_t)a.bpc;
  switch (a.kind) {
    case conv::white:
      put_rgb(o, 1, 1, 1);
      break;
    case conv::black:
      put_rgb(o, 0, 0, 0);
      break;
    case conv::rgb16:
      if (6 * i + 5 < s.n)
        put_rgb(o, s.be16(6 * i) / 65535.0, s.be16(6 * i + 2) / 65535.0,
                s.be16(6 * i + 4) / 65535.0);
      else
        put_rgb(o, 1, 1, 1);
      break;
    case conv::gray16:
      if (2 * i + 1 < s.n) {
        double v = s.be16(2 * i) / 65535.0;
        put_rgb(o, v, v, v);
      } else {
        put_rgb(o, 1, 1, 1);
      }
      break;
    case conv::bits: {
      const uint32_t max_sample = (1u << a.bpc) - 1;
      uint64_t bit = (uint64_t)x * b;
      uint32_t shift = (uint32_t)(8 - b - (bit & 7));
      uint32_t v = (s.at((uint64_t)y * row_bytes + (bit >> 3)) >> shift) & max_sample;
      if (a.invert) v ^= 1;
      double g = (double)v / max_sample;
      put_rgb(o, g, g, g);
      break;
    }
    case conv::indexed8: {
      if (a.entries <= 0) {
        put_rgb(o, 1, 1, 1);
        break;
      }
      int64_t k = s.at(i);
      if (k >= a.entries) k = a.entries - 1;
      // An entry past the end of a short lookup string reads as black.
      if (3 * k + 2 < a.lookup_len)
        put_rgb(o, a.lookup[3 * k] / 255.0, a.lookup[3 * k + 1] / 255.0,
                a.lookup[3 * k + 2] / 255.0);
      else
        put_rgb(o, 0, 0, 0);
      break;
    }
    case conv::rgb8:
      put_rgb(o, s.at(3 * i) / 255.0, s.at(3 * i + 1) / 255.0, s.at(3 * i + 2) / 255.0);
      break;
    case conv::cmyk8: {
      double c = s.at(4 * i) / 255.0, m = s.at(4 * i + 1) / 255.0;
      double yy = s.at(4 * i + 2) / 255.0, k = s.at(4 * i + 3) / 255.0;
      put_rgb(o, (1 - c) * (1 - k), (1 - m) * (1 - k), (1 - yy) * (1 - k));
      break;
    }
    case conv::gray8: {
      double v = s.at(i) / 255.0;
      put_rgb(o, v, v, v);
      break;
    }
  }
}

// Row y of the alpha plane from the soft mask's data, whose samples are
// taken to have the image's size and depth: 16-bit samples give their high
// byte (255 past the data), 8-bit samples their byte, and depths below 8 --
// or pixels beyond the data's length -- one bit per pixel, packed like image
// rows. bytes views the data where the row's 8- or 16-bit samples lie, bits
// where its one-bit samples do; n is the data's length.
void alpha_row(const byte_view& bytes, const byte_view& bits, uint64_t n, int32_t W, int32_t y,
               int32_t b, uint8_t* out) {
  const uint64_t row_bytes = ((uint64_t)W + 7) / 8;
  for (int32_t x = 0; x < W; x++) {
    const uint64_t i = (uint64_t)y * (uint64_t)W + (uint64_t)x;
    uint8_t v;
    if (b == 16)
      v = 2 * i + 1 < n ? bytes.at(2 * i) : 255;
    else if (b < 8 || n < i)
      v = (bits.at((uint64_t)y * row_bytes + (uint64_t)x / 8) >> (7 - x % 8)) & 1 ? 255 : 0;
    else
      v = bytes.at(i);
    out[x] = v;
  }
}

// The whole alpha plane from the mask's data m.
uint8_t* build_alpha(const byte_view& m, int32_t W, int32_t H, int32_t b) {
  uint8_t* plane = (uint8_t*)malloc((size_t)W * (size_t)H);
  if (!plane) return nullptr;
  for (int32_t y = 0; y < H; y++) alpha_row(m, m, m.n, W, y, b, plane + (size_t)y * (size_t)W);
  return plane;
}

// The alpha plane from the whole mask data (a block of len bytes, taken
// over), or null. An 8-bit mask at least as long as the plane is the plane.
uint8_t* alpha_plane(uint8_t* data, int32_t len, int32_t W, int32_t H, int32_t b) {
  const uint64_t pixels = (uint64_t)W * (uint64_t)H;
  if (b == 8 && (uint64_t)len >= pixels) {
    // The plane is the first W x H bytes of the data: keep them, no copy.
    if ((uint64_t)len > pixels)
      if (void* shrunk = realloc(data, (size_t)pixels)) data = (uint8_t*)shrunk;
    return data;
  }
  uint8_t* plane = build_alpha({data, (uint64_t)len}, W, H, b);
  free(data);
  return plane;
}

// The soft mask's object, or null when the image names none.
const obj_entry* soft_mask_entry(const pdfcore_doc* doc, const region& r) {
  int32_t p = value_pos(r, "SMask");
  if (p < 0 || p >= r.end || !pdf_is_digit(r.t[p])) return nullptr;
  return obj_find(&doc->objects, parse_int_at(r.t, r.end, &p));
}

// /Decode [1 0] inverts 1-bit samples. The entries are read as real numbers
// with their signs, so [1.0 0.0] inverts as well (an integer reader took the
// '.' of "1.0" for an entry of its own and never saw the 0).
bool decode_inverts(const region& r) {
  int32_t p = value_pos(r, "Decode");
  if (p < 0) return false;
  double d[2];
  return read_number_array(r.t, r.end, p, d, 2) == 2 && d[0] == 1 && d[1] == 0;
}

bool supported_depth(int32_t b) {
  return b == 1 || b == 2 || b == 4 || b == 8 || b == 16;
}

// The length of one row of samples under the rule kind (every pixel of row
// y reads only bytes y x stride .. (y + 1) x stride - 1), or 0 for the rules
// that read no data.
uint64_t sample_stride(conv kind, int32_t W, uint64_t row_bytes) {
  const uint64_t w = (uint64_t)W;
  switch (kind) {
    case conv::rgb16:
      return 6 * w;
    case conv::gray16:
      return 2 * w;
    case conv::bits:
      return row_bytes;
    case conv::indexed8:
    case conv::gray8:
      return w;
    case conv::rgb8:
      return 3 * w;
    case conv::cmyk8:
      return 4 * w;
    case conv::white:
    case conv::black:
      break;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Rows kept from streamed data.

// Some rows of decoded data, kept as the data stream past: row y is the
// bytes y x stride .. (y + 1) x stride - 1 of the data, kept at
// block[slot[y] x stride] when slot[y] >= 0. A kept row's bytes past the
// data's end stay 0.
struct row_store {
  uint64_t stride = 0;
  int32_t height = 0;
  std::unique_ptr<int32_t[]> slot;
  std::unique_ptr<uint8_t[]> block;
  uint64_t kept = 0;

  // Keeps the rows y < h with shown[y] set. False when memory runs out.
  bool init(const uint8_t* shown, int32_t h, uint64_t row_len) {
    stride = row_len;
    height = h;
    slot.reset(new (std::nothrow) int32_t[(size_t)h]);
    if (!slot) return false;
    kept = 0;
    for (int32_t y = 0; y < h; y++) slot[y] = shown[y] ? (int32_t)kept++ : -1;
    block.reset(new (std::nothrow) uint8_t[kept * stride]());  // at most 20000 x 120000
    return block != nullptr;
  }

  // Takes the n bytes at position pos of the data.
  void take(uint64_t pos, const uint8_t* p, uint64_t n) {
    const uint64_t end = pos + n;
    for (uint64_t y = pos / stride; y < (uint64_t)height && y * stride < end; y++) {
      if (slot[y] < 0) continue;
      const uint64_t row = y * stride;
      const uint64_t from = row > pos ? row : pos;
      const uint64_t to = row + stride < end ? row + stride : end;
      memcpy(block.get() + (uint64_t)slot[y] * stride + (from - row), p + (from - pos), to - from);
    }
  }

  uint8_t* row(int32_t y) const {
    return slot[y] >= 0 ? block.get() + (uint64_t)slot[y] * stride : nullptr;
  }

  // The data of n bytes as far as row y's reads go; a row not kept reads
  // as no data.
  byte_view view(int32_t y, uint64_t n) const {
    const uint8_t* r = row(y);
    if (!r) return {nullptr, 0, 0};
    return {r, n, (uint64_t)y * stride};
  }
};

// Streamed data go to up to two row stores. The first bytes of a JPEG stop
// the stream when the data are meant as samples: JPEG data are decoded whole.
struct row_sink {
  row_store* stores[2] = {nullptr, nullptr};
  bool refuse_jpeg = false;
  uint64_t pos = 0;
};

bool keep_rows(void* user, const uint8_t* p, uint64_t n) {
  row_sink* s = (row_sink*)user;
  if (s->pos == 0 && s->refuse_jpeg && n >= 2 && p[0] == 0xFF && p[1] == 0xD8) return false;
  for (row_store* store : s->stores)
    if (store) store->take(s->pos, p, n);
  s->pos += n;
  return true;
}

// Whether keeping only the shown rows of data whose rows take stride bytes
// saves enough to be worth it. The rows kept must fit in what the page has
// left (they are accounted at the data's whole length once it is known).
bool rows_pay(uint64_t stride, int32_t H, int64_t shown) {
  return stride * (uint64_t)H >= image_limits::kMinRowKeepBytes && shown * 4 < (int64_t)H * 3 &&
         stride * (uint64_t)shown <= (uint64_t)page_memory_left();
}

}  // namespace

// ---------------------------------------------------------------------------
// Number arrays.

// A real number at t[p] (sign, digits, '.', digits); moves p past it.
static bool read_real(const uint8_t* t, int32_t end, int32_t* pos, double* out) {
  int32_t p = *pos;
  bool neg = false;
  if (p < end && (t[p] == '+' || t[p] == '-')) neg = t[p++] == '-';
  double v = 0;
  bool digits = false;
  while (p < end && pdf_is_digit(t[p])) {
    v = v * 10 + (t[p++] - '0');
    digits = true;
  }
  if (p < end && t[p] == '.') {
    p++;
    double f = 0.1;
    while (p < end && pdf_is_digit(t[p])) {
      v += (t[p++] - '0') * f;
      f *= 0.1;
      digits = true;
    }
  }
  if (!digits) return false;
  *pos = p;
  *out = neg ? -v : v;
  return true;
}

int32_t read_number_array(const uint8_t* text, int32_t len, int32_t pos, double* out, int32_t max) {
  int32_t p = skip_ws(text, pos, len);
  if (p >= len || text[p] != '[') return 0;
  int32_t count = 0;
  p++;
  while (count < max) {
    p = skip_ws(text, p, len);
    if (p >= len || text[p] == ']' || !read_real(text, len, &p, &out[count])) break;
    count++;
  }
  return count;
}

// What an image's colours are made from: the JPEG decoder's planes (with
// the frame column of each image column when the frame's size differs from
// the dictionary's), or the decoded samples with their conversion rule.
struct image_samples {
  bool is_jpeg = false;
  jpeg_planes jpeg = {};
  int32_t* frame_cols = nullptr;  // W entries, or null when the sizes agree
  uint8_t* data = nullptr;
  uint64_t data_len = 0;
  uint8_t* lookup = nullptr;
  convert_args args = {};
  uint64_t row_bytes = 0;
  uint8_t* rgba = nullptr;  // the whole image, once image_source_keep_rgba made it
  // The JPEG planes hold only some rows; data and data_len are kept to
  // decode the rest when they are needed.
  bool partial = false;
  // Only the rows shown are kept of the samples (rows, with data null) or
  // of the alpha plane (mask_rows, with the source's mask null; the colours
  // then carry the mask in their alpha). The streams are decoded again
  // from the document when every row is needed.
  std::unique_ptr<row_store> rows;
  std::unique_ptr<row_store> mask_rows;
  const pdfcore_doc* doc = nullptr;
  const obj_entry* entry = nullptr;
  const obj_entry* mask_entry = nullptr;
  int32_t mask_len = 0;
  int32_t bpc = 8;

  image_samples() = default;
  image_samples(const image_samples&) = delete;
  image_samples& operator=(const image_samples&) = delete;
  // Frees the decoded samples and the palette, once the colours come from
  // elsewhere (JPEG planes, or a whole RGBA block).
  void drop_samples() {
    free(data);
    free(lookup);
    rows.reset();
    data = nullptr;
    data_len = 0;
    lookup = nullptr;
    args.lookup = nullptr;
    args.lookup_len = 0;
  }

  ~image_samples() {
    jpeg_planes_free(&jpeg);
    free(frame_cols);
    free(data);
    free(lookup);
    free(rgba);
  }
};

namespace {

// The JPEG frame rows that the image rows a chooser names are read from:
// row y of the image is frame row y, or y scaled to the frame's height when
// the frame's size differs (as image_source_rgba reads them).
struct frame_rows_of {
  const image_row_chooser* chooser;
  int32_t W, H;
};

void frame_rows(const void* ctx, int32_t jw, int32_t jh, uint8_t* keep) {
  const frame_rows_of* f = (const frame_rows_of*)ctx;
  std::unique_ptr<uint8_t[]> shown(new (std::nothrow) uint8_t[(size_t)f->H]());
  if (!shown) {
    memset(keep, 1, (size_t)jh);  // every row, as without a chooser
    return;
  }
  f->chooser->rows(f->chooser->ctx, f->W, f->H, shown.get());
  const bool same = jw == f->W && jh == f->H;
  for (int32_t y = 0; y < f->H; y++) {
    if (!shown[y]) continue;
    int32_t v = y;
    if (!same) {
      v = (int32_t)((double)y * jh / f->H);
      if (v > jh - 1) v = jh - 1;
    }
    keep[v] = 1;
  }
}

}  // namespace

bool decode_image_source(const pdfcore_doc* doc, const obj_entry* entry, image_source* out) {
  return decode_image_source_rows(doc, entry, nullptr, out);
}

bool decode_image_source_rows(const pdfcore_doc* doc, const obj_entry* entry,
                              const image_row_chooser* chooser, image_source* out) {
  *out = image_source{};
  if (!doc || !entry) return false;
  region r;
  if (!obj_region(doc->data, doc->len, entry, &r.t, &r.start, &r.end)) return false;

  int32_t W = 0, H = 0, b = 8;
  if (!int_key(r, "Width", &W) || W < kMinImageSide || W > kMaxImageSide) return false;
  if (!int_key(r, "Height", &H) || H < kMinImageSide || H > kMaxImageSide) return false;
  if (value_pos(r, "BitsPerComponent") >= 0 && !int_key(r, "BitsPerComponent", &b)) b = -1;
  // Depths other than 1, 2, 4, 8 and 16 have no packing rule: such images
  // are not drawn.
  if (!supported_depth(b)) return false;
  const uint64_t pixels = (uint64_t)W * (uint64_t)H;  // at most 4e8: no overflow
  if (pixels > kMaxImagePixels) return false;

  const char* cs = nullptr;
  int32_t csp = value_pos(r, "ColorSpace");
  if (csp >= 0) cs = resolve_colorspace(doc, (const char*)r.t, r.end, csp, 0);

  std::unique_ptr<image_samples> sm(new (std::nothrow) image_samples);
  if (!sm) return false;
  sm->doc = doc;
  sm->entry = entry;
  sm->bpc = b;
  // The rows the drawing shows, when the data may keep only those.
  std::unique_ptr<uint8_t[]> shown;
  int64_t shown_rows = 0;
  if (chooser) {
    shown.reset(new (std::nothrow) uint8_t[(size_t)H]());
    if (shown) {
      chooser->rows(chooser->ctx, W, H, shown.get());
      for (int32_t y = 0; y < H; y++) shown_rows += shown[y] != 0;
    }
  }
  // Everything decoded here is held in the page's memory account while this
  // call runs; the caller takes what it keeps of the result. Data decoded
  // in rows are accounted at their whole length, as if decoded whole.
  page_memory_hold hold;
  // The soft mask is read only once the image is known to be drawable. Its
  // 8- or 16-bit samples and its one-bit rows may both be needed: which
  // ones depends on the data's length, known only at the end.
  sm->mask_entry = soft_mask_entry(doc, r);
  int32_t mask_len = 0;
  std::unique_ptr<uint8_t, decltype(&free)> mask_data(nullptr, &free);
  std::unique_ptr<row_store> mask_bytes, mask_bits;
  bool have_mask = false;
  if (sm->mask_entry) {
    const uint64_t w = (uint64_t)W;
    const uint64_t byte_stride = b == 16 ? 2 * w : b == 8 ? w : 0;
    const uint64_t bit_stride = b <= 8 ? (w + 7) / 8 : 0;
    int rc = -1;
    if (shown && rows_pay(byte_stride + bit_stride, H, shown_rows)) {
      row_sink sink;
      if (byte_stride) {
        mask_bytes.reset(new (std::nothrow) row_store);
        if (!mask_bytes || !mask_bytes->init(shown.get(), H, byte_stride)) return false;
        sink.stores[0] = mask_bytes.get();
      }
      if (bit_stride) {
        mask_bits.reset(new (std::nothrow) row_store);
        if (!mask_bits || !mask_bits->init(shown.get(), H, bit_stride)) return false;
        sink.stores[1] = mask_bits.get();
      }
      rc = page_stream_decode_to(doc, sm->mask_entry, keep_rows, &sink, &mask_len);
    }
    if (rc < 0) {
      mask_bytes.reset();
      mask_bits.reset();
      mask_data.reset(page_stream_decode(doc, sm->mask_entry, &mask_len));
      rc = mask_data ? 1 : 0;
    }
    have_mask = rc == 1;
  }
  if (have_mask && !hold.take(mask_len)) return false;
  sm->mask_len = mask_len;

  // The samples keep only the rows shown when their conversion rule is
  // known before their length is.
  const uint64_t row_bytes = ((uint64_t)W * (uint64_t)b + 7) / 8;
  const uint64_t stride = sample_stride(conversion(b, cs, 0, pixels), W, row_bytes);
  int32_t data_len = 0;
  int rc = -1;
  if (shown && stride && rows_pay(stride, H, shown_rows)) {
    sm->rows.reset(new (std::nothrow) row_store);
    if (!sm->rows || !sm->rows->init(shown.get(), H, stride)) return false;
    row_sink sink;
    sink.stores[0] = sm->rows.get();
    sink.refuse_jpeg = true;
    rc = page_stream_decode_to(doc, entry, keep_rows, &sink, &data_len);
    if (rc == 0) return false;
  }
  if (rc < 0) {
    sm->rows.reset();
    sm->data = page_stream_decode(doc, entry, &data_len);
    if (!sm->data) return false;
  }
  if (!hold.take(data_len)) return false;
  sm->data_len = (uint64_t)data_len;

  if (cs && strcmp(cs, "Indexed") == 0) {
    int32_t lookup_len = 0;
    sm->lookup = read_palette(doc, r, &lookup_len, &sm->args.entries);
    if (!sm->lookup) return false;
    sm->args.lookup = sm->lookup;
    sm->args.lookup_len = lookup_len;
  }

  std::unique_ptr<uint8_t, decltype(&free)> alpha(nullptr, &free);
  if (have_mask && mask_len > 0 && hold.take((int64_t)pixels)) {
    if (mask_data) {
      alpha.reset(alpha_plane(mask_data.release(), mask_len, W, H, b));
    } else if (b == 8 && (uint64_t)mask_len >= pixels) {
      sm->mask_rows = std::move(mask_bytes);  // the rows are the alpha rows
    } else {
      sm->mask_rows.reset(new (std::nothrow) row_store);
      if (!sm->mask_rows || !sm->mask_rows->init(shown.get(), H, (uint64_t)W)) return false;
      const byte_view none = {nullptr, 0, 0};
      for (int32_t y = 0; y < H; y++) {
        uint8_t* out = sm->mask_rows->row(y);
        if (!out) continue;
        alpha_row(mask_bytes ? mask_bytes->view(y, (uint64_t)mask_len) : none,
                  mask_bits ? mask_bits->view(y, (uint64_t)mask_len) : none, (uint64_t)mask_len, W,
                  y, b, out);
      }
    }
  }
  mask_data.reset();
  mask_bytes.reset();
  mask_bits.reset();

  const uint8_t* data = sm->data;
  if (data && sm->data_len > 3 && data[0] == 0xFF && data[1] == 0xD8) {
    // A frame too large to decode skips the image; data the decoder refuses
    // are read as raw samples below.
    const uint64_t frame = jpeg_frame_pixels(data, sm->data_len);
    if (frame > kMaxImagePixels || !hold.take((int64_t)frame * 4)) return false;
    const char* message = nullptr;
    const frame_rows_of rows_of = {chooser, W, H};
    const jpeg_row_filter filter = {&rows_of, frame_rows};
    if (jpeg_decode_planes_rows(data, sm->data_len, chooser ? &filter : nullptr, &sm->jpeg,
                                &message)) {
      const int32_t jw = sm->jpeg.width, jh = sm->jpeg.height;
      if (jw != W || jh != H) {
        // A frame of another size is resampled to W x H by nearest neighbour.
        sm->frame_cols = (int32_t*)malloc(sizeof(int32_t) * (size_t)W);
        if (!sm->frame_cols) return false;
        for (int32_t x = 0; x < W; x++) {
          int32_t u = (int32_t)((double)x * jw / W);
          sm->frame_cols[x] = u < jw - 1 ? u : jw - 1;
        }
      }
      sm->is_jpeg = true;
      sm->partial = false;
      for (int c = 0; c < sm->jpeg.n; c++) sm->partial = sm->partial || sm->jpeg.slot[c];
      if (!sm->partial) sm->drop_samples();
    }
  }
  if (!sm->is_jpeg) {
    sm->args.kind = conversion(b, cs, sm->data_len, pixels);
    sm->args.bpc = b;
    sm->args.invert = b == 1 && decode_inverts(r);
    sm->row_bytes = row_bytes;
  }

  out->width = W;
  out->height = H;
  out->bytes = (int64_t)(sm->is_jpeg ? sm->jpeg.bytes + (sm->frame_cols ? sizeof(int32_t) * W : 0)
                                     : sm->data_len + (uint64_t)sm->args.lookup_len) +
               (alpha || sm->mask_rows ? (int64_t)pixels : 0);
  out->mask = alpha.release();
  out->samples = sm.release();
  return true;
}

// The colours of image_source_rgba, alpha 255.
static void source_colours(const image_source* src, int32_t y, const int32_t* xs, int32_t n,
                           uint8_t* out) {
  const image_samples* sm = src->samples;
  const int32_t W = src->width;
  if (sm->rgba) {
    const uint8_t* line = sm->rgba + (size_t)y * (size_t)W * 4;
    if (!xs) {
      memcpy(out, line, (size_t)n * 4);
      return;
    }
    for (int32_t k = 0; k < n; k++) memcpy(out + (size_t)k * 4, line + (size_t)xs[k] * 4, 4);
    return;
  }
  if (sm->is_jpeg) {
    const jpeg_planes* jp = &sm->jpeg;
    int32_t v = y;
    if (sm->frame_cols) {  // made whenever the frame's width or height differs
      v = (int32_t)((double)y * jp->height / src->height);
      if (v > jp->height - 1) v = jp->height - 1;
    }
    if (!sm->frame_cols) {
      jpeg_planes_rgba(jp, v, xs, n, out);
      return;
    }
    // Frame columns in pieces, so that no call allocates.
    int32_t cols[256];
    for (int32_t k0 = 0; k0 < n; k0 += 256) {
      const int32_t m = n - k0 < 256 ? n - k0 : 256;
      for (int32_t k = 0; k < m; k++) cols[k] = sm->frame_cols[xs ? xs[k0 + k] : k0 + k];
      jpeg_planes_rgba(jp, v, cols, m, out + (size_t)k0 * 4);
    }
    return;
  }
  const byte_view s =
      sm->rows ? sm->rows->view(y, sm->data_len) : byte_view{sm->data, sm->data_len};
  for (int32_t k = 0; k < n; k++, out += 4) {
    const int32_t x = xs ? xs[k] : k;
    const uint64_t i = (uint64_t)y * (uint64_t)W + (uint64_t)x;
    sample_rgba(s, i, x, y, sm->row_bytes, sm->args, out);
  }
}

void image_source_rgba(const image_source* src, int32_t y, const int32_t* xs, int32_t n,
                       uint8_t* out) {
  source_colours(src, y, xs, n, out);
  const row_store* mask = src->samples->mask_rows.get();
  if (!mask) return;
  // A row not kept is never drawn; it reads as transparent.
  const uint8_t* a = mask->row(y);
  for (int32_t k = 0; k < n; k++) out[4 * k + 3] = a ? a[xs ? xs[k] : k] : 0;
}

bool image_source_make_whole(image_source* src) {
  image_samples* sm = src->samples;
  if (!sm || (!sm->partial && !sm->rows && !sm->mask_rows)) return true;
  // Everything is decoded before anything changes, so that a failure
  // leaves the source as it was.
  std::unique_ptr<uint8_t, decltype(&free)> data(nullptr, &free), plane(nullptr, &free);
  if (sm->rows) {
    data.reset(page_stream_decode_again(sm->doc, sm->entry, (int32_t)sm->data_len));
    if (!data) return false;
  }
  if (sm->mask_rows) {
    uint8_t* mask = page_stream_decode_again(sm->doc, sm->mask_entry, sm->mask_len);
    if (!mask) return false;
    plane.reset(alpha_plane(mask, sm->mask_len, src->width, src->height, sm->bpc));
    if (!plane) return false;
  }
  if (sm->partial) {
    jpeg_planes whole;
    const char* message = nullptr;
    if (!jpeg_decode_planes(sm->data, sm->data_len, &whole, &message)) return false;
    jpeg_planes_free(&sm->jpeg);
    sm->jpeg = whole;
    sm->partial = false;
    sm->drop_samples();
  }
  if (sm->rows) {
    sm->rows.reset();
    sm->data = data.release();
  }
  if (sm->mask_rows) {
    sm->mask_rows.reset();
    src->mask = plane.release();
  }
  return true;
}

bool image_source_keep_rgba(image_source* src) {
  image_samples* sm = src->samples;
  if (!sm) return false;
  if (sm->rgba) return true;
  if (!image_source_make_whole(src)) return false;
  const size_t W = (size_t)src->width, H = (size_t)src->height;
  uint8_t* block = (uint8_t*)malloc(W * H * 4);
  if (!block) return false;
  for (size_t y = 0; y < H; y++)
    image_source_rgba(src, (int32_t)y, nullptr, (int32_t)W, block + y * W * 4);
  jpeg_planes_free(&sm->jpeg);
  free(sm->frame_cols);
  sm->frame_cols = nullptr;
  sm->drop_samples();
  sm->is_jpeg = false;
  sm->rgba = block;
  src->bytes = (int64_t)(W * H * 4) + (src->mask ? (int64_t)(W * H) : 0);
  return true;
}

void image_source_free(image_source* src) {
  delete src->samples;
  free(src->mask);
  *src = image_source{};
}

uint8_t* decode_image(const pdfcore_doc* doc, const obj_entry* entry, int32_t* width,
                      int32_t* height, uint8_t** mask) {
  *mask = nullptr;
  image_source src;
  if (!decode_image_source(doc, entry, &src)) return nullptr;
  const size_t W = (size_t)src.width, H = (size_t)src.height;
  page_memory_hold hold;
  uint8_t* out = hold.take(src.bytes) && hold.take((int64_t)(W * H * 4))
                     ? (uint8_t*)malloc(W * H * 4)
                     : nullptr;
  if (out) {
    for (size_t y = 0; y < H; y++)
      image_source_rgba(&src, (int32_t)y, nullptr, (int32_t)W, out + y * W * 4);
    *width = src.width;
    *height = src.height;
    *mask = src.mask;
    src.mask = nullptr;
  }
  image_source_free(&src);
  return out;
}
