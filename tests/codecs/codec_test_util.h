// Helpers shared by the codec tests: pixel images, encoding into a vector,
// and the independent decoders (a Python PNG reader, djpeg) they check with.
#pragma once

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "codecs/codecs.h"
#include "support/external_tool.h"

namespace codec_test {

using bytes = std::vector<uint8_t>;

struct image {
  int32_t width = 0, height = 0;
  bytes rgba;  // width * height * 4
  uint8_t* px(int32_t x, int32_t y) { return &rgba[(size_t(y) * size_t(width) + size_t(x)) * 4]; }
};

inline image blank(int32_t w, int32_t h) {
  image im;
  im.width = w;
  im.height = h;
  im.rgba.assign(size_t(w) * size_t(h) * 4, 0);
  return im;
}

inline image solid(int32_t w, int32_t h, uint8_t r, uint8_t g, uint8_t b, uint8_t a = 255) {
  image im = blank(w, h);
  for (size_t i = 0; i < im.rgba.size(); i += 4) {
    im.rgba[i] = r;
    im.rgba[i + 1] = g;
    im.rgba[i + 2] = b;
    im.rgba[i + 3] = a;
  }
  return im;
}

inline image noise(int32_t w, int32_t h, uint32_t seed) {
  image im = blank(w, h);
  std::mt19937 rng(seed);
  for (auto& c : im.rgba) c = uint8_t(rng());
  return im;
}

// Smooth colour ramps: what a rendered page mostly is, and what JPEG keeps well.
inline image gradient(int32_t w, int32_t h) {
  image im = blank(w, h);
  for (int32_t y = 0; y < h; y++) {
    for (int32_t x = 0; x < w; x++) {
      uint8_t* p = im.px(x, y);
      p[0] = uint8_t(x * 255 / (w > 1 ? w - 1 : 1));
      p[1] = uint8_t(y * 255 / (h > 1 ? h - 1 : 1));
      p[2] = uint8_t(128 + (x - y) / 4);
      p[3] = 255;
    }
  }
  return im;
}

inline bytes encode_png(const image& im) {
  uint64_t size = 123;
  uint8_t* p = qx_png_encode(im.width, im.height, im.rgba.data(), &size);
  if (!p) {
    ADD_FAILURE() << "qx_png_encode failed for " << im.width << "x" << im.height;
    return {};
  }
  bytes out(p, p + size);
  free(p);
  return out;
}

inline bytes encode_jpeg(const image& im) {
  uint64_t size = 123;
  uint8_t* p = qx_jpeg_encode(im.width, im.height, im.rgba.data(), &size);
  if (!p) {
    ADD_FAILURE() << "qx_jpeg_encode failed for " << im.width << "x" << im.height;
    return {};
  }
  bytes out(p, p + size);
  free(p);
  return out;
}

inline uint32_t be32(const bytes& b, size_t at) {
  return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}

// CRC-32 of ISO 3309, bit by bit.
inline uint32_t crc32_of(const uint8_t* p, size_t n) {
  uint32_t crc = 0xffffffffu;
  for (size_t i = 0; i < n; i++) {
    crc ^= p[i];
    for (int k = 0; k < 8; k++) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

// A PNG reader in Python (zlib plus its own unfiltering of all five filter
// types). For each pair of arguments (PNG file, output file) it checks the
// signature, chunk order and CRCs and writes the RGBA pixels to the output
// file; a file that fails gets no output. One run serves many files, since
// starting Python costs more than decoding.
inline const char* png_decoder_script() {
  return R"(
import sys, zlib, struct
def decode(data):
    assert data[:8] == b'\x89PNG\r\n\x1a\n', 'signature'
    pos, chunks = 8, []
    while pos < len(data):
        n, kind = struct.unpack('>I4s', data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + n]
        crc, = struct.unpack('>I', data[pos + 8 + n:pos + 12 + n])
        assert len(body) == n and crc == zlib.crc32(kind + body), 'chunk %r' % kind
        chunks.append((kind, body))
        pos += 12 + n
    kinds = [k for k, _ in chunks]
    assert kinds[0] == b'IHDR' and kinds[-1] == b'IEND', kinds
    idat = [i for i, k in enumerate(kinds) if k == b'IDAT']
    assert idat and idat == list(range(idat[0], idat[0] + len(idat))), 'IDAT run'
    assert set(kinds) == {b'IHDR', b'IDAT', b'IEND'}, kinds
    w, h, depth, ctype, comp, filt, lace = struct.unpack('>IIBBBBB', chunks[0][1])
    assert (depth, ctype, comp, filt, lace) == (8, 6, 0, 0, 0)
    raw = zlib.decompress(b''.join(chunks[i][1] for i in idat))
    stride = 4 * w
    assert len(raw) == h * (stride + 1), 'size'
    out, prev = bytearray(), bytearray(stride)
    for y in range(h):
        f = raw[y * (stride + 1)]
        assert f <= 4, 'filter %d' % f
        row = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride if f else 0):
            a = row[i - 4] if i >= 4 else 0
            b = prev[i]
            c = prev[i - 4] if i >= 4 else 0
            if f == 1: row[i] = (row[i] + a) & 255
            elif f == 2: row[i] = (row[i] + b) & 255
            elif f == 3: row[i] = (row[i] + (a + b) // 2) & 255
            else:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                pred = a if pa <= pb and pa <= pc else (b if pb <= pc else c)
                row[i] = (row[i] + pred) & 255
        out += row
        prev = row
    return out
for png, dest in zip(sys.argv[1::2], sys.argv[2::2]):
    try:
        open(dest, 'wb').write(decode(open(png, 'rb').read()))
    except Exception as e:
        print(png, 'failed:', repr(e))
)";
}

// Decodes PNG files with the Python reader; for each, true when it decoded to
// exactly the expected pixels.
inline std::vector<bool> python_png_matches(const std::vector<std::string>& png_paths,
                                            const std::vector<bytes>& rgba) {
  std::string args;
  for (const std::string& p : png_paths) {
    remove((p + ".rgba").c_str());
    args += external_tool::quote(p) + " " + external_tool::quote(p + ".rgba") + " ";
  }
  external_tool::run_python(png_decoder_script(), args);
  std::vector<bool> ok;
  for (size_t i = 0; i < png_paths.size(); i++)
    ok.push_back(external_tool::read_bytes(png_paths[i] + ".rgba") == rgba[i]);
  return ok;
}

inline bool have_djpeg() {
  static const bool ok = external_tool::available("djpeg -version");
  return ok;
}

// Decodes a JPEG file with djpeg into *out (alpha 255) and its warnings into
// *warnings; false when djpeg fails or its output is not a PPM image.
inline bool djpeg_decode(const std::string& jpeg_path, image* out, std::string* warnings) {
  std::string ppm = jpeg_path + ".ppm";
  std::string err = jpeg_path + ".err";
  int rc = external_tool::run("djpeg -pnm -outfile " + external_tool::quote(ppm) + " " +
                              external_tool::quote(jpeg_path) + " 2>" + external_tool::quote(err));
  bytes text = external_tool::read_bytes(err);
  warnings->assign(text.begin(), text.end());
  if (rc != 0 && rc != 2) return false;  // djpeg exits with 2 after warnings
  bytes p = external_tool::read_bytes(ppm);
  // P6 <w> <h> 255 then RGB bytes.
  size_t pos = 0;
  int fields = 0;
  int32_t w = 0, h = 0, maxval = 0;
  while (pos < p.size() && fields < 4) {
    while (pos < p.size() && isspace(p[pos])) pos++;
    std::string tok;
    while (pos < p.size() && !isspace(p[pos])) tok += char(p[pos++]);
    if (fields == 0 && tok != "P6") return false;
    if (fields == 1) w = std::atoi(tok.c_str());
    if (fields == 2) h = std::atoi(tok.c_str());
    if (fields == 3) maxval = std::atoi(tok.c_str());
    fields++;
  }
  pos++;  // the single whitespace after maxval
  if (maxval != 255 || w <= 0 || h <= 0 || p.size() - pos != size_t(w) * size_t(h) * 3)
    return false;
  *out = blank(w, h);
  for (size_t i = 0; i < size_t(w) * size_t(h); i++) {
    out->rgba[i * 4] = p[pos + i * 3];
    out->rgba[i * 4 + 1] = p[pos + i * 3 + 1];
    out->rgba[i * 4 + 2] = p[pos + i * 3 + 2];
    out->rgba[i * 4 + 3] = 255;
  }
  return true;
}

}  // namespace codec_test
