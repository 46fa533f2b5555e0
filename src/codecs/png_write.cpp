// PNG writer: 8-bit RGBA, filter type None on every row, no interlacing and no
// ancillary chunks. The rows, each behind a filter byte 0, are compressed in
// one piece by qx_deflate; the stream goes into one IDAT chunk, or several of
// 2^31 - 1 bytes when it is longer than one chunk may be. The file image is
// sized exactly before any chunk is written.
#include "codecs/codecs.h"

#include <bit>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "codecs/codecs_internal.h"
#include "compression/compression.h"

namespace {

const uint8_t kSignature[8] = {0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a};
const uint32_t kChunkOverhead = 12;  // length, type, CRC
const uint32_t kIhdrLength = 13;
const uint8_t kBitDepth = 8;
const uint8_t kColorTypeRgba = 6;

// CRC-32 of PNG (reflected polynomial 0xEDB88320), one entry per byte value.
struct crc_table {
  uint32_t v[256];
};
constexpr crc_table make_crc_table() {
  crc_table t{};
  for (uint32_t n = 0; n < 256; n++) {
    uint32_t c = n;
    for (int k = 0; k < 8; k++) c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
    t.v[n] = c;
  }
  return t;
}
constexpr crc_table s_crc_table = make_crc_table();

uint32_t crc_update(uint32_t crc, const uint8_t* p, uint64_t n) {
  for (uint64_t i = 0; i < n; i++) crc = s_crc_table.v[(crc ^ p[i]) & 0xff] ^ (crc >> 8);
  return crc;
}

inline void put_be32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}

// Writes one chunk at out (which has room for len + 12 bytes): length, type,
// data, CRC-32 of type and data. Returns the bytes written.
uint64_t png_chunk(uint8_t* out, const char type[4], const uint8_t* data, uint32_t len) {
  put_be32(out, len);
  memcpy(out + 4, type, 4);
  if (len > 0) memcpy(out + 8, data, len);
  uint32_t crc = crc_update(0xffffffffu, out + 4, uint64_t(len) + 4);
  put_be32(out + 8 + len, ~crc);
  return uint64_t(len) + kChunkOverhead;
}

}  // namespace

uint8_t* png_wrap(int32_t width, int32_t height, const uint8_t* z, uint64_t zlen, uint32_t max_idat,
                  uint64_t* size) {
  *size = 0;
  if (max_idat == 0 || max_idat > kPngMaxChunkData || (!z && zlen > 0)) return nullptr;
  uint64_t chunks = zlen == 0 ? 1 : (zlen - 1) / max_idat + 1;
  uint64_t total = sizeof(kSignature) + (kIhdrLength + kChunkOverhead) + kChunkOverhead;
  uint64_t idat_overhead;
  if (__builtin_mul_overflow(chunks, uint64_t{kChunkOverhead}, &idat_overhead) ||
      __builtin_add_overflow(total, idat_overhead, &total) ||
      __builtin_add_overflow(total, zlen, &total) || total > SIZE_MAX)
    return nullptr;
  uint8_t* out = static_cast<uint8_t*>(malloc(size_t(total)));
  if (!out) return nullptr;

  memcpy(out, kSignature, sizeof(kSignature));
  uint64_t at = sizeof(kSignature);
  uint8_t ihdr[kIhdrLength];
  put_be32(ihdr, uint32_t(width));
  put_be32(ihdr + 4, uint32_t(height));
  ihdr[8] = kBitDepth;
  ihdr[9] = kColorTypeRgba;
  ihdr[10] = 0;  // compression method: deflate
  ihdr[11] = 0;  // filter method: adaptive, with the five basic types
  ihdr[12] = 0;  // no interlacing
  at += png_chunk(out + at, "IHDR", ihdr, kIhdrLength);
  uint64_t done = 0;
  do {
    uint32_t len = zlen - done < max_idat ? uint32_t(zlen - done) : max_idat;
    at += png_chunk(out + at, "IDAT", z ? z + done : nullptr, len);
    done += len;
  } while (done < zlen);
  at += png_chunk(out + at, "IEND", nullptr, 0);
  *size = at;
  return out;
}

namespace {

// The filtered image (each row: filter byte 0, then the row's RGBA bytes),
// produced block by block for the deflater so that it never exists whole.
// The pixels come interleaved (rgba) or as planes (rgb, and alpha or null
// for opaque); flip is XORed into every rgb byte (0xFF for a plane stored
// inverted). Rows whose drawn flag is 0 are read from blank, a row of zero
// bytes, instead of the plane.
struct filtered_rows {
  const uint8_t* rgba;
  const uint8_t* rgb;
  const uint8_t* alpha;
  uint8_t flip;
  const uint8_t* drawn;
  const uint8_t* blank;
  uint64_t row;     // RGBA bytes per row
  uint64_t stride;  // row + the filter byte
  uint8_t block[65536];
};

// Bytes [from, from + n) of row y's RGBA data from the planes.
void planes_bytes(const filtered_rows* f, uint64_t y, uint64_t from, uint64_t n, uint8_t* out) {
  uint64_t pixel = y * (f->row / 4) + from / 4;
  uint32_t ch = uint32_t(from % 4);
  const uint64_t width = f->row / 4;
  const uint8_t* line = f->drawn && !f->drawn[y] ? f->blank : f->rgb + y * width * 3;
  const uint8_t* rgb = line + from / 4 * 3;
  const uint8_t flip = f->flip;
  for (uint64_t i = 0; i < n; i++) {
    out[i] = ch < 3 ? uint8_t(rgb[ch] ^ flip) : (f->alpha ? f->alpha[pixel] : 255);
    if (++ch == 4) {
      ch = 0;
      pixel++;
      rgb += 3;
      // Whole pixels at once while at least one remains in the piece.
      if (f->alpha) {
        for (; i + 4 < n; i += 4, pixel++, rgb += 3) {
          out[i + 1] = rgb[0] ^ flip;
          out[i + 2] = rgb[1] ^ flip;
          out[i + 3] = rgb[2] ^ flip;
          out[i + 4] = f->alpha[pixel];
        }
      } else {
        if constexpr (std::endian::native == std::endian::little) {
          // Four opaque pixels from twelve bytes, as two 8-byte words.
          const uint64_t flip8 = flip * 0x0101010101010101ull;
          for (; i + 16 < n; i += 16, pixel += 4, rgb += 12) {
            uint64_t lo;
            uint32_t hi;
            memcpy(&lo, rgb, 8);
            memcpy(&hi, rgb + 8, 4);
            lo ^= flip8;
            hi ^= uint32_t(flip8);
            const uint64_t opaque = 0xff000000ff000000ull;
            uint64_t w0 = (lo & 0xffffff) | ((lo >> 24) & 0xffffff) << 32 | opaque;
            uint64_t w1 = (lo >> 48) | uint64_t(hi & 0xff) << 16 | uint64_t(hi >> 8) << 32 | opaque;
            memcpy(out + i + 1, &w0, 8);
            memcpy(out + i + 9, &w1, 8);
          }
        }
        for (; i + 4 < n; i += 4, pixel++, rgb += 3) {
          out[i + 1] = rgb[0] ^ flip;
          out[i + 2] = rgb[1] ^ flip;
          out[i + 3] = rgb[2] ^ flip;
          out[i + 4] = 255;
        }
      }
    }
  }
}

const uint8_t* filtered_block(void* user, uint64_t pos, uint32_t len) {
  filtered_rows* f = static_cast<filtered_rows*>(user);
  if (len > sizeof f->block) return nullptr;
  uint64_t y = pos / f->stride, x = pos % f->stride;  // x = 0 is the filter byte
  for (uint32_t done = 0; done < len;) {
    if (x == 0) {
      f->block[done++] = 0;  // filter type None
      x = 1;
      continue;
    }
    uint64_t take = f->stride - x;
    if (take > len - done) take = len - done;
    if (f->rgba)
      memcpy(f->block + done, f->rgba + y * f->row + (x - 1), size_t(take));
    else
      planes_bytes(f, y, x - 1, take, f->block + done);
    done += uint32_t(take);
    x += take;
    if (x == f->stride) {
      x = 0;
      y++;
    }
  }
  return f->block;
}

uint8_t* png_encode(int32_t width, int32_t height, const uint8_t* rgba, const uint8_t* rgb,
                    const uint8_t* alpha, uint8_t flip, const uint8_t* drawn, uint64_t* size) {
  if (!size) return nullptr;
  *size = 0;
  if (height <= 0 || (!rgba && !rgb) || width <= 0) return nullptr;
  // One filter byte and 4 bytes per pixel per row.
  uint64_t row = uint64_t(width) * 4;
  uint64_t stride = row + 1;
  uint64_t filtered_len;
  if (__builtin_mul_overflow(stride, uint64_t(height), &filtered_len) || filtered_len > SIZE_MAX)
    return nullptr;
  std::unique_ptr<filtered_rows> rows(new (std::nothrow) filtered_rows);
  if (!rows) return nullptr;
  rows->rgba = rgba;
  rows->rgb = rgb;
  rows->alpha = alpha;
  rows->flip = flip;
  rows->drawn = drawn;
  std::unique_ptr<uint8_t[]> blank;
  if (drawn) {
    blank.reset(new (std::nothrow) uint8_t[size_t(width) * 3]());
    if (!blank) return nullptr;
  }
  rows->blank = blank.get();
  rows->row = row;
  rows->stride = stride;
  uint8_t* z = nullptr;
  uint64_t zlen = 0;
  int rc = qx_deflate_from(filtered_len, filtered_block, rows.get(), &z, &zlen);
  rows.reset();
  if (rc != 0) return nullptr;
  uint8_t* file = png_wrap(width, height, z, zlen, kPngMaxChunkData, size);
  free(z);
  return file;
}

}  // namespace

uint8_t* qx_png_encode(int32_t width, int32_t height, const uint8_t* rgba, uint64_t* size) {
  return png_encode(width, height, rgba, nullptr, nullptr, 0, nullptr, size);
}

uint8_t* qx_png_encode_planes(int32_t width, int32_t height, const uint8_t* rgb,
                              const uint8_t* alpha, uint64_t* size) {
  return png_encode(width, height, nullptr, rgb, alpha, 0, nullptr, size);
}

uint8_t* qx_png_encode_inverted_planes(int32_t width, int32_t height, const uint8_t* rgb,
                                       const uint8_t* alpha, const uint8_t* drawn, uint64_t* size) {
  return png_encode(width, height, nullptr, rgb, alpha, 0xFF, drawn, size);
}

int qx_png_write(const char* path, int32_t width, int32_t height, const uint8_t* rgba) {
  if (!path) return 0;
  uint64_t size = 0;
  uint8_t* file = qx_png_encode(width, height, rgba, &size);
  if (!file) return 0;
  int ok = codec_write_file(path, file, size);
  free(file);
  return ok;
}
