// Baseline JPEG encoder (T.81 sequential DCT, Huffman coding, JFIF layout).
// Three components Y, Cb, Cr at full resolution, one MCU of three 8 x 8
// blocks per 8 x 8 pixels, quantised with the unscaled example tables of Annex
// K (K.1, K.2) and coded with its example Huffman tables (K.3 to K.6). The DCT
// is the plain separable sum in double precision, in a fixed order of
// additions, so the output does not depend on the compiler's choices (built
// without floating-point contraction). Pixels are converted one MCU at a time
// straight from the image rows, so memory stays small for any page size, and
// an MCU of one colour (most of a page) is recognised on its pixels before
// anything is converted.
#include "codecs/codecs.h"

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "codecs/codecs_internal.h"
#include "codecs/jpeg_markers.h"
#include "compression/compression.h"
#include "platform/platform.h"
#if defined(RENDRIX_AVX_PATHS)
// The DCT also has an AVX version, chosen at run time on processors with it.
#include <immintrin.h>
#endif

namespace {

const int kMaxDimension = 65535;        // SOF0 stores each side in 16 bits
const uint64_t kInitialOutput = 65536;  // output capacity, doubled when full
const uint64_t kMcuReserve = 2048;      // > bytes one MCU can take, stuffing included
const uint8_t kAcEndOfBlock = 0x00;
const uint8_t kAcZeroRun16 = 0xf0;

// Quantisation tables in natural order: Annex K, Table K.1 (luminance) and
// Table K.2 (chrominance).
const uint8_t s_luma_q[64] = {16,  11,  10,  16,  24, 40, 51,  61,  12,  12,  14,  19,  26,
                              58,  60,  55,  14,  13, 16, 24,  40,  57,  69,  56,  14,  17,
                              22,  29,  51,  87,  80, 62, 18,  22,  37,  56,  68,  109, 103,
                              77,  24,  35,  55,  64, 81, 104, 113, 92,  49,  64,  78,  87,
                              103, 121, 120, 101, 72, 92, 95,  98,  112, 100, 103, 99};
const uint8_t s_chroma_q[64] = {17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99,
                                24, 26, 56, 99, 99, 99, 99, 99, 47, 66, 99, 99, 99, 99, 99, 99,
                                99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
                                99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};

// Huffman tables as a DHT segment sends them: the number of codes of each
// length 1..16, then the symbols in code order. Annex K, Tables K.3 to K.6.
const uint8_t s_luma_dc_counts[16] = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
const uint8_t s_luma_dc_syms[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
const uint8_t s_chroma_dc_counts[16] = {0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0};
const uint8_t s_chroma_dc_syms[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
const uint8_t s_luma_ac_counts[16] = {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d};
const uint8_t s_luma_ac_syms[162] = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61,
    0x07, 0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52,
    0xd1, 0xf0, 0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25,
    0x26, 0x27, 0x28, 0x29, 0x2a, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45,
    0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64,
    0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83,
    0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99,
    0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6,
    0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3,
    0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8,
    0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};
const uint8_t s_chroma_ac_counts[16] = {0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77};
const uint8_t s_chroma_ac_syms[162] = {
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61,
    0x71, 0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33,
    0x52, 0xf0, 0x15, 0x62, 0x72, 0xd1, 0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18,
    0x19, 0x1a, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44,
    0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63,
    0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a,
    0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97,
    0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4,
    0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca,
    0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7,
    0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};

struct huffdef {
  const uint8_t* counts;
  const uint8_t* syms;
  int nsyms;
};
// In DHT order: luma DC (class 0, id 0), luma AC (1, 0), chroma DC (0, 1),
// chroma AC (1, 1).
const huffdef huffdefs[4] = {{s_luma_dc_counts, s_luma_dc_syms, 12},
                             {s_luma_ac_counts, s_luma_ac_syms, 162},
                             {s_chroma_dc_counts, s_chroma_dc_syms, 12},
                             {s_chroma_ac_counts, s_chroma_ac_syms, 162}};
const uint8_t kDhtClassId[4] = {0x00, 0x10, 0x01, 0x11};

// Code and length of every symbol; length 0 for a symbol not in the table,
// which then writes nothing. packed holds both in one word (code << 8 |
// length), one load per symbol in the AC loop.
struct huff_codes {
  uint16_t code[256];
  uint8_t size[256];
  uint32_t packed[256];
};

// Canonical codes: 0 for the first symbol of the shortest length, +1 for each
// following symbol, doubled at each new length. A repeated symbol keeps its
// first code.
void build_codes(const huffdef& d, huff_codes* out) {
  memset(out, 0, sizeof(*out));
  uint32_t code = 0;
  int k = 0;
  for (int len = 1; len <= 16; len++) {
    for (int i = 0; i < d.counts[len - 1] && k < d.nsyms; i++, k++, code++) {
      uint8_t sym = d.syms[k];
      if (out->size[sym] != 0) continue;
      out->code[sym] = uint16_t(code);
      out->size[sym] = uint8_t(len);
    }
    code <<= 1;
  }
  for (int sym = 0; sym < 256; sym++)
    out->packed[sym] = uint32_t(out->code[sym]) << 8 | out->size[sym];
}

// costab[u][x] = C(u) / 2 * cos((2x + 1) u pi / 16), C(0) = sqrt(1/2), else 1.
// ct is the same table transposed, ct[x][u] = c[u][x], for the vector passes.
// row[s] is the first pass of a row of eight samples s (level-shifted), with
// the same products and sums in the same order: rows of one value, common
// on pages, take it from here.
struct dct_table {
  double c[8][8];
  double ct[8][8];
  alignas(32) double row[256][8];
};
dct_table make_costab() {
  dct_table t;
  for (int u = 0; u < 8; u++) {
    double cu = u == 0 ? 0.7071067811865476 : 1.0;
    for (int x = 0; x < 8; x++)
      t.c[u][x] = cu / 2 * std::cos((2 * x + 1) * u * 3.14159265358979323846 / 16);
  }
  for (int u = 0; u < 8; u++)
    for (int x = 0; x < 8; x++) t.ct[x][u] = t.c[u][x];
  for (int s = 0; s < 256; s++) {
    double f = double(s) - 128;
    for (int u = 0; u < 8; u++) {
      double acc = 0;
      for (int x = 0; x < 8; x++) acc += t.c[u][x] * f;
      t.row[s][u] = acc;
    }
  }
  return t;
}
const dct_table& costab() {
  static const dct_table table = make_costab();
  return table;
}

// Output image and bit writer. acc holds nbits (0..31) bits not yet written,
// the oldest highest. Room for one MCU is reserved before it is coded, so the
// writes themselves never check the capacity.
struct jpeg_out {
  uint8_t* data;
  uint64_t len;
  uint64_t cap;
  uint64_t acc;
  int nbits;
};

// Makes room for `more` bytes by doubling the capacity. 0 on success.
int out_reserve(jpeg_out* w, uint64_t more) {
  if (more > UINT64_MAX - w->len) return -1;
  return block_reserve(&w->data, &w->cap, w->len + more);
}

void out_bytes(jpeg_out* w, const uint8_t* p, size_t n) {
  memcpy(w->data + w->len, p, n);
  w->len += n;
}

void out_u16(jpeg_out* w, uint32_t v) {
  w->data[w->len++] = uint8_t(v >> 8);
  w->data[w->len++] = uint8_t(v);
}

// Writes out the 32 oldest of the nbits (32..63) bits in acc, each 0xFF
// byte followed by a stuffed 0x00. Bits of acc above the nbits pending ones
// are never read, so they are left as they are.
inline void bw_put_word(jpeg_out* w) {
  w->nbits -= 32;
  const uint32_t word = uint32_t(w->acc >> w->nbits);
  // A byte of word is 0xFF exactly when that byte of ~word is zero.
  const uint32_t inv = ~word;
  if (((inv - 0x01010101u) & ~inv & 0x80808080u) == 0) {
    const uint8_t bytes[4] = {uint8_t(word >> 24), uint8_t(word >> 16), uint8_t(word >> 8),
                              uint8_t(word)};
    memcpy(w->data + w->len, bytes, 4);
    w->len += 4;
    return;
  }
  for (int shift = 24; shift >= 0; shift -= 8) {
    const uint8_t byte = uint8_t(word >> shift);
    w->data[w->len++] = byte;
    if (byte == 0xff) w->data[w->len++] = 0;
  }
}

// Writes out every whole byte of the nbits pending bits, each 0xFF followed
// by a stuffed 0x00: the end of the scan.
inline void bw_flush(jpeg_out* w) {
  if (w->nbits >= 32) bw_put_word(w);
  while (w->nbits >= 8) {
    w->nbits -= 8;
    uint8_t byte = uint8_t(w->acc >> w->nbits);
    w->data[w->len++] = byte;
    if (byte == 0xff) w->data[w->len++] = 0;
  }
  w->acc &= (uint64_t{1} << w->nbits) - 1;
}

// Appends count (<= 31) bits of value; whole bytes are written out once 32
// bits are waiting, which gives the same bytes as writing them at once.
inline void bw_bits(jpeg_out* w, uint32_t value, int count) {
  if (count == 0) return;
  w->acc = (w->acc << count) | (value & ((1u << count) - 1));
  w->nbits += count;
  if (w->nbits >= 32) bw_put_word(w);
}

// A Huffman code (size 1..16) and s (0..16) value bits after it, as two
// bw_bits calls would append them.
inline void bw_code_bits(jpeg_out* w, uint32_t code, int size, uint32_t value, int s) {
  const uint64_t v = s ? value & ((1u << s) - 1) : 0;
  w->acc = (w->acc << (size + s)) | (uint64_t(code & ((1u << size) - 1)) << s) | v;
  w->nbits += size + s;
  if (w->nbits >= 32) bw_put_word(w);
}
inline int magnitude_size(int v) {
  unsigned a = v < 0 ? unsigned(-v) : unsigned(v);
  return int(std::bit_width(a));
}

// The s value bits of a coefficient: v itself, or v + 2^s - 1 when negative;
// either way below 2^s when s is the magnitude size of v.
inline uint32_t magnitude_bits(int v, int s) {
  // Without a branch on the sign, which varies from coefficient to
  // coefficient: v >> 31 is all ones for a negative v, else 0.
  return uint32_t(v) + (uint32_t(v >> 31) & ((1u << s) - 1));
}

#if defined(RENDRIX_AVX_PATHS)
// The DCT and quantisation of dct_quantise below with four lanes per
// instruction: every lane does the scalar code's multiplies, adds and
// divisions in its order, so the results are the same bits.
__attribute__((target("avx"))) void dct_quantise_avx(const uint8_t samples[64],
                                                     unsigned uniform_rows, const double* qdiv,
                                                     int qn[64]) {
  const dct_table& c = costab();
  alignas(32) double t[64];
  for (int y = 0; y < 8; y++) {
    if (uniform_rows >> y & 1) {
      const double* r = c.row[samples[y * 8]];
      _mm256_store_pd(t + y * 8, _mm256_load_pd(r));
      _mm256_store_pd(t + y * 8 + 4, _mm256_load_pd(r + 4));
      continue;
    }
    __m256d a0 = _mm256_setzero_pd(), a1 = _mm256_setzero_pd();
    for (int x = 0; x < 8; x++) {
      __m256d fx = _mm256_set1_pd(double(samples[y * 8 + x]) - 128);
      a0 = _mm256_add_pd(a0, _mm256_mul_pd(_mm256_loadu_pd(&c.ct[x][0]), fx));
      a1 = _mm256_add_pd(a1, _mm256_mul_pd(_mm256_loadu_pd(&c.ct[x][4]), fx));
    }
    _mm256_store_pd(t + y * 8, a0);
    _mm256_store_pd(t + y * 8 + 4, a1);
  }
  // The rounding term: 0.5 with the sign bit of the sum. A sum of -0.0 gets
  // -0.5 where the plain code adds 0.5, and both truncate to 0.
  const __m256d half = _mm256_set1_pd(0.5), sign = _mm256_set1_pd(-0.0);
  for (int v = 0; v < 8; v++) {
    __m256d a0 = _mm256_setzero_pd(), a1 = _mm256_setzero_pd();
    for (int y = 0; y < 8; y++) {
      __m256d cvy = _mm256_set1_pd(c.c[v][y]);
      a0 = _mm256_add_pd(a0, _mm256_mul_pd(cvy, _mm256_load_pd(t + y * 8)));
      a1 = _mm256_add_pd(a1, _mm256_mul_pd(cvy, _mm256_load_pd(t + y * 8 + 4)));
    }
    const __m256d sums[2] = {a0, a1};
    for (int h = 0; h < 2; h++) {
      int n = v * 8 + h * 4;
      __m256d d = _mm256_div_pd(sums[h], _mm256_loadu_pd(qdiv + n));
      __m256d r = _mm256_add_pd(d, _mm256_or_pd(half, _mm256_and_pd(sums[h], sign)));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(qn + n), _mm256_cvttpd_epi32(r));
    }
  }
}
#endif

// Forward DCT of one block of samples (level-shifted by -128 here), then
// quantisation by qdiv into natural order. Each sum adds its terms in index
// order, starting from 0. Bit y of uniform_rows says that row y holds one
// value, whose first pass comes from the table.
void dct_quantise_natural(const uint8_t samples[64], unsigned uniform_rows, const double* qdiv,
                          int qn[64]) {
#if defined(RENDRIX_AVX_PATHS)
  if (platform_cpu_has_avx()) {
    dct_quantise_avx(samples, uniform_rows, qdiv, qn);
    return;
  }
#endif
  const dct_table& c = costab();
  alignas(16) double t[64];
  alignas(16) double out[64];
  for (int y = 0; y < 8; y++) {
    if (uniform_rows >> y & 1) {
      memcpy(t + y * 8, c.row[samples[y * 8]], 8 * sizeof(double));
      continue;
    }
    double f[8];
    for (int x = 0; x < 8; x++) f[x] = double(samples[y * 8 + x]) - 128;
#if defined(__SSE2__)
    // The same products and sums as below, two values of u per instruction;
    // SSE2 rounds each multiply and add as the scalar code does.
    __m128d acc[4] = {_mm_setzero_pd(), _mm_setzero_pd(), _mm_setzero_pd(), _mm_setzero_pd()};
    for (int x = 0; x < 8; x++) {
      __m128d fx = _mm_set1_pd(f[x]);
      for (int k = 0; k < 4; k++)
        acc[k] = _mm_add_pd(acc[k], _mm_mul_pd(_mm_loadu_pd(&c.ct[x][2 * k]), fx));
    }
    for (int k = 0; k < 4; k++) _mm_store_pd(t + y * 8 + 2 * k, acc[k]);
#else
    // t[y][u] = sum over x of c[u][x] * f[y][x]
    double acc[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    for (int x = 0; x < 8; x++)
      for (int u = 0; u < 8; u++) acc[u] += c.c[u][x] * f[x];
    for (int u = 0; u < 8; u++) t[y * 8 + u] = acc[u];
#endif
  }
#if defined(__SSE2__)
  for (int v = 0; v < 8; v++) {
    __m128d acc[4] = {_mm_setzero_pd(), _mm_setzero_pd(), _mm_setzero_pd(), _mm_setzero_pd()};
    for (int y = 0; y < 8; y++) {
      __m128d cvy = _mm_set1_pd(c.c[v][y]);
      for (int k = 0; k < 4; k++)
        acc[k] = _mm_add_pd(acc[k], _mm_mul_pd(cvy, _mm_load_pd(t + y * 8 + 2 * k)));
    }
    for (int k = 0; k < 4; k++) _mm_store_pd(out + v * 8 + 2 * k, acc[k]);
  }
#else
  // F[v][u] = sum over y of c[v][y] * t[y][u]
  for (int v = 0; v < 8; v++) {
    double acc[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    for (int y = 0; y < 8; y++) {
      double cvy = c.c[v][y];
      for (int u = 0; u < 8; u++) acc[u] += cvy * t[y * 8 + u];
    }
    for (int u = 0; u < 8; u++) out[v * 8 + u] = acc[u];
  }
#endif
  for (int n = 0; n < 64; n++) {
    double v = out[n] / qdiv[n];
    qn[n] = out[n] >= 0 ? int(v + 0.5) : int(v - 0.5);
  }
}

// The AC part of a block's code: every code and value bit after the DC, in
// order, as whole 32-bit words (the oldest bit highest) and a shorter tail.
// At most 63 codes with their value bits (32 bits each), three runs of 16
// zeros and the end of block: under 66 words.
struct ac_bits {
  uint32_t words[66];
  int nwords;
  uint32_t tail;
  int tail_bits;  // 0..31
};

// A quantised block in zigzag order, with bit k of nonzero set when
// q[k] != 0 (k = 1..63), so that runs of zeros are skipped whole, and its AC
// code, which depends on the coefficients and the table alone.
struct coded_block {
  int q[64];
  uint64_t nonzero;
  ac_bits ac;
};

void mark_nonzero(coded_block* b) {
#if defined(__SSE2__)
  // Four coefficients compared at a time, without a branch per coefficient.
  uint64_t m = 0;
  const __m128i zero = _mm_setzero_si128();
  for (int k = 0; k < 64; k += 4) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b->q + k));
    unsigned is_zero = unsigned(_mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(v, zero))));
    m |= uint64_t(~is_zero & 0xfu) << k;
  }
  b->nonzero = m & ~uint64_t{1};
#else
  b->nonzero = 0;
  for (int k = 1; k < 64; k++)
    if (b->q[k] != 0) b->nonzero |= uint64_t{1} << k;
#endif
}

// Huffman-codes the AC coefficients of block b with table ac into b->ac:
// runs of zeros, each nonzero coefficient's symbol and value bits, and the
// end of block unless the last coefficient is nonzero.
void code_ac(coded_block* b, const huff_codes& ac) {
  // The writer's state stays in locals, which stores into words cannot
  // change. A word is stored after every symbol and kept only once 32 bits
  // are complete: testing for that would be a branch the processor often
  // guesses wrong. words[nwords] always has room (a block completes under 66
  // words), and acc's bits above the n pending ones are never read, so they
  // need not be cleared.
  uint32_t* words = b->ac.words;
  int nwords = 0;
  uint64_t acc = 0;
  int n = 0;  // bits pending in acc, 0..31 between symbols
  auto put = [&](uint32_t packed, uint32_t value_bits, int s) {
    const int len = int(packed & 0xff) + s;  // at most 16 + 11
    acc = acc << len | uint64_t(packed >> 8) << s | value_bits;
    n += len;
    const int full = n >> 5;  // 1 when 32 or more bits are pending
    n -= full << 5;
    words[nwords] = uint32_t(acc >> n);
    nwords += full;
  };
  const int* q = b->q;
  int last = 0;  // the previous nonzero coefficient (or the DC)
  for (uint64_t m = b->nonzero; m != 0; m &= m - 1) {
    const int k = std::countr_zero(m);
    int run = k - last - 1;
    while (run > 15) {
      put(ac.packed[kAcZeroRun16], 0, 0);
      run -= 16;
    }
    const int v = q[k];
    const int s = magnitude_size(v);
    const uint32_t bits = magnitude_bits(v, s);  // already below 2^s
    const int sym = run * 16 + s;
    // Quantised coefficients stay below 2048 in magnitude (s <= 11), so sym
    // is always in the table; past it, the value bits would go alone.
    put(sym < 256 ? ac.packed[sym] : 0, bits, s);
    last = k;
  }
  if (last < 63) put(ac.packed[kAcEndOfBlock], 0, 0);
  b->ac.nwords = nwords;
  b->ac.tail = uint32_t(acc) & uint32_t((uint64_t{1} << n) - 1);
  b->ac.tail_bits = n;
}

// Huffman-codes one quantised block; pred is the component's DC predictor.
// The AC bits were coded with the block.
void code_block(jpeg_out* w, const coded_block& b, int* pred, const huff_codes& dc) {
  int diff = b.q[0] - *pred;
  *pred = b.q[0];
  int s = magnitude_size(diff);
  bw_code_bits(w, dc.code[s], dc.size[s], magnitude_bits(diff, s), s);
  for (int i = 0; i < b.ac.nwords; i++) {
    // acc holds under 32 bits, so a whole word fits beside them.
    w->acc = (w->acc << 32) | b.ac.words[i];
    w->nbits += 32;
    bw_put_word(w);
  }
  bw_bits(w, b.ac.tail, b.ac.tail_bits);
}

inline uint8_t clamp_sample(double v) {
  int i = int(v);  // toward zero
  return uint8_t(i < 0 ? 0 : (i > 255 ? 255 : i));
}

// Y, Cb and Cr of colours met recently, by colour: a page has few colours
// (text, its background, a few fills), and a colour's samples depend on it
// alone, so a colour seen before takes its samples from here instead of the
// arithmetic. Direct-mapped; a slot holds the colour plus one, 0 when empty.
struct colour_cache {
  static const int kSlots = 64;
  uint32_t key[kSlots];
  uint8_t ycc[kSlots][3];
};

// The pixel's bytes are XORed with flip (0xFF for a plane stored inverted);
// the cache is kept by the bytes as stored, so one encoding uses one flip.
inline void colour_samples(colour_cache* cc, const uint8_t* px, uint8_t flip, uint8_t* y,
                           uint8_t* cb, uint8_t* cr) {
  const uint32_t key = (uint32_t(px[0]) | uint32_t(px[1]) << 8 | uint32_t(px[2]) << 16) + 1;
  const uint32_t slot = (key * 0x9E3779B1u) >> 26;
  if (cc->key[slot] != key) {
    double r = px[0] ^ flip, g = px[1] ^ flip, b = px[2] ^ flip;
    cc->key[slot] = key;
    cc->ycc[slot][0] = clamp_sample(r * 0.299 + g * 0.587 + b * 0.114 + 0.5);
    cc->ycc[slot][1] = clamp_sample(-0.168736 * r - 0.331264 * g + 0.5 * b + 128);
    cc->ycc[slot][2] = clamp_sample(0.5 * r - 0.418688 * g - 0.081312 * b + 128);
  }
  *y = cc->ycc[slot][0];
  *cb = cc->ycc[slot][1];
  *cr = cc->ycc[slot][2];
}

// The eight image rows of one block row: rows past the last repeat it.
struct mcu_rows {
  const uint8_t* row[8];
  int step;       // bytes per pixel: 3 (RGB) or 4 (RGBA)
  uint8_t flip;   // XORed into every colour byte: 0xFF for an inverted plane
  int32_t width;  // pixels per row; columns past the last repeat it
};

// The samples of rows of eight RGB pixels met recently, by the rows' 24
// bytes: text is drawn in few colours, so the same stretches of glyph
// strokes and background recur all over a page, and a row seen before costs
// a lookup instead of eight colour conversions. Direct-mapped, kept by the
// bytes as stored. Every slot starts as the row of eight pixels stored as
// zeros (black, or white in an inverted plane), with its samples, so no
// slot is ever empty.
struct row_cache {
  static const int kSlots = 1024;
  uint64_t key[kSlots][3];
  uint8_t samples[kSlots][24];  // Y, Cb, Cr: eight each
};

void row_cache_init(row_cache* rc, colour_cache* cc, uint8_t flip) {
  const uint8_t zeros[3] = {0, 0, 0};
  uint8_t y, cb, cr;
  colour_samples(cc, zeros, flip, &y, &cb, &cr);
  for (int i = 0; i < row_cache::kSlots; i++) {
    rc->key[i][0] = rc->key[i][1] = rc->key[i][2] = 0;
    memset(rc->samples[i], y, 8);
    memset(rc->samples[i] + 8, cb, 8);
    memset(rc->samples[i] + 16, cr, 8);
  }
}

// Converts the 8 x 8 pixels whose first column is x0 into the Y, Cb and Cr
// samples of three blocks (8 bytes per row).
void convert_mcu(const mcu_rows& m, int32_t x0, colour_cache* cc, row_cache* rc, uint8_t* sy,
                 uint8_t* scb, uint8_t* scr) {
  const int32_t cols = m.width - x0 < 8 ? m.width - x0 : 8;
  if (m.step == 3 && cols == 8) {
    for (int r = 0; r < 8; r++) {
      uint64_t w[3];
      memcpy(w, m.row[r] + size_t(x0) * 3, 24);
      const uint32_t slot =
          uint32_t(((w[0] + w[1] * 0x9E3779B97F4A7C15ull) ^ w[2]) * 0xD6E8FEB86659FD93ull >> 54);
      uint8_t* out = rc->samples[slot];
      if (rc->key[slot][0] != w[0] || rc->key[slot][1] != w[1] || rc->key[slot][2] != w[2]) {
        const uint8_t* row = m.row[r] + size_t(x0) * 3;
        for (int c = 0; c < 8; c++)
          colour_samples(cc, row + c * 3, m.flip, out + c, out + 8 + c, out + 16 + c);
        memcpy(rc->key[slot], w, 24);
      }
      memcpy(sy + r * 8, out, 8);
      memcpy(scb + r * 8, out + 8, 8);
      memcpy(scr + r * 8, out + 16, 8);
    }
    return;
  }
  for (int r = 0; r < 8; r++) {
    const uint8_t* row = m.row[r] + size_t(x0) * size_t(m.step);
    for (int c = 0; c < 8; c++) {
      const uint8_t* px = row + size_t(c < cols ? c : cols - 1) * size_t(m.step);
      colour_samples(cc, px, m.flip, sy + r * 8 + c, scb + r * 8 + c, scr + r * 8 + c);
    }
  }
}

// Whether the 8 x 8 RGB pixels whose first column is x0 (x0 + 8 <= width)
// are all of one colour: each row's 24 bytes against the first pixel's
// colour repeated, as three 8-byte words.
bool uniform_rgb_mcu(const mcu_rows& m, int32_t x0) {
  const uint8_t* first = m.row[0] + size_t(x0) * 3;
  uint64_t p[3];
  if constexpr (std::endian::native == std::endian::little) {
    // Bytes r g b r g b r g | b r g b r g b r | g b r g b r g b as
    // little-endian words.
    const uint64_t v = uint64_t(first[0]) | uint64_t(first[1]) << 8 | uint64_t(first[2]) << 16;
    p[0] = v | v << 24 | v << 48;
    p[1] = v >> 16 | v << 8 | v << 32 | v << 56;
    p[2] = v >> 8 | v << 16 | v << 40;
  } else {
    uint8_t pattern[24];
    for (int i = 0; i < 24; i += 3) memcpy(pattern + i, first, 3);
    memcpy(p, pattern, 24);
  }
  for (int r = 0; r < 8; r++) {
    uint64_t v[3];
    memcpy(v, m.row[r] + size_t(x0) * 3, 24);
    if ((v[0] ^ p[0]) | (v[1] ^ p[1]) | (v[2] ^ p[2])) return false;
  }
  return true;
}

// Quantised blocks already computed, by their 64 samples: a block equal to
// one in the cache takes its coefficients instead of running the DCT again
// (the coefficients depend on the samples and the table alone). One small
// direct-mapped cache per quantisation table.
struct block_cache {
  static const int kSlots = 256;
  struct slot {
    bool used;
    uint8_t samples[64];
    coded_block block;
  } slots[kSlots];
  // Blocks of one sample value (page backgrounds), by that value.
  bool uniform_ready[256];
  coded_block uniform[256];
  // The quantisation table as divisors, and the AC code table.
  double qdiv[64];
  const huff_codes* ac;
};

uint32_t block_hash(const uint8_t s[64]) {
  uint64_t h = 0;
  for (int i = 0; i < 8; i++) {
    uint64_t v;
    memcpy(&v, s + 8 * i, 8);
    h = (h ^ v) * 0x9E3779B97F4A7C15ull;
  }
  return uint32_t(h >> 56);
}

// Whether the 64 samples of a block are all one value.
inline bool uniform_block(const uint8_t samples[64]) {
  const uint64_t first = samples[0] * 0x0101010101010101ull;
  uint64_t differ = 0;
  for (int r = 0; r < 8; r++) {
    uint64_t word;
    memcpy(&word, samples + r * 8, 8);
    differ |= word ^ first;
  }
  return differ == 0;
}

// The quantised coefficients of a block's 64 samples (row after row).
const coded_block* block_coefficients(const uint8_t samples[64], block_cache* cache) {
  const bool uniform = uniform_block(samples);
  if (uniform && cache->uniform_ready[samples[0]]) return &cache->uniform[samples[0]];
  coded_block* out;
  if (uniform) {
    out = &cache->uniform[samples[0]];
    cache->uniform_ready[samples[0]] = true;
  } else {
    block_cache::slot& e = cache->slots[block_hash(samples) % block_cache::kSlots];
    if (e.used && memcmp(e.samples, samples, 64) == 0) return &e.block;
    e.used = true;
    memcpy(e.samples, samples, 64);
    out = &e.block;
  }
  // Rows of one value take their first DCT pass from a table.
  unsigned uniform_rows = 0;
  for (int r = 0; r < 8; r++) {
    uint64_t word;
    memcpy(&word, samples + r * 8, 8);
    if (word == samples[r * 8] * 0x0101010101010101ull) uniform_rows |= 1u << r;
  }
  int qn[64];
  dct_quantise_natural(samples, uniform_rows, cache->qdiv, qn);
  // Unrolled, every index is a constant: a load and a store per coefficient.
#pragma GCC unroll 64
  for (int k = 0; k < 64; k++) out->q[k] = qn[jpeg_zigzag[k]];
  mark_nonzero(out);
  code_ac(out, *cache->ac);
  return out;
}

// SOI, APP0 (JFIF 1.01, 48 x 48 dots per inch, no thumbnail), the two DQT,
// SOF0, the four DHT and SOS segments. Needs about 700 bytes of room.
void write_headers(jpeg_out* w, int32_t width, int32_t height) {
  static const uint8_t kSoiApp0[20] = {0xff, 0xd8, 0xff, 0xe0, 0x00, 0x10, 0x4a, 0x46, 0x49, 0x46,
                                       0x00, 0x01, 0x01, 0x01, 0x00, 0x30, 0x00, 0x30, 0x00, 0x00};
  out_bytes(w, kSoiApp0, sizeof(kSoiApp0));
  const uint8_t* qtables[2] = {s_luma_q, s_chroma_q};
  for (int t = 0; t < 2; t++) {
    const uint8_t head[5] = {kJpegMarkerPrefix, kJpegDQT, 0x00, 0x43, uint8_t(t)};
    out_bytes(w, head, sizeof(head));
    for (int k = 0; k < 64; k++) w->data[w->len++] = qtables[t][jpeg_zigzag[k]];
  }
  const uint8_t sof[5] = {kJpegMarkerPrefix, kJpegSOF0, 0x00, 0x11, 0x08};
  out_bytes(w, sof, sizeof(sof));
  out_u16(w, uint32_t(height));
  out_u16(w, uint32_t(width));
  // Three components: id, sampling factors 1 x 1, quantisation table.
  static const uint8_t kComponents[10] = {0x03, 0x01, 0x11, 0x00, 0x02,
                                          0x11, 0x01, 0x03, 0x11, 0x01};
  out_bytes(w, kComponents, sizeof(kComponents));
  for (int t = 0; t < 4; t++) {
    const uint8_t head[2] = {kJpegMarkerPrefix, kJpegDHT};
    out_bytes(w, head, sizeof(head));
    out_u16(w, uint32_t(19 + huffdefs[t].nsyms));
    w->data[w->len++] = kDhtClassId[t];
    out_bytes(w, huffdefs[t].counts, 16);
    out_bytes(w, huffdefs[t].syms, size_t(huffdefs[t].nsyms));
  }
  // Y with DC/AC tables 0, Cb and Cr with tables 1; spectral selection 0..63.
  static const uint8_t kSos[14] = {0xff, 0xda, 0x00, 0x0c, 0x03, 0x01, 0x00,
                                   0x02, 0x11, 0x03, 0x11, 0x00, 0x3f, 0x00};
  out_bytes(w, kSos, sizeof(kSos));
}

}  // namespace

namespace {

// Encodes pixels of `step` bytes (4: RGBA, 3: RGB), of which the first three
// are red, green and blue.
// Rows whose drawn flag is 0 (drawn null: none) are read from a row of zero
// bytes instead of the image.
uint8_t* jpeg_encode(int32_t width, int32_t height, const uint8_t* rgba, int step, uint8_t flip,
                     const uint8_t* drawn, uint64_t* size) {
  if (!size) return nullptr;
  *size = 0;
  if (height <= 0 || !rgba || width <= 0) return nullptr;
  if (width > kMaxDimension || height > kMaxDimension) return nullptr;

  jpeg_out w = {};
  w.data = static_cast<uint8_t*>(malloc(kInitialOutput));
  w.cap = kInitialOutput;
  if (!w.data) return nullptr;

  huff_codes* codes = static_cast<huff_codes*>(malloc(4 * sizeof(huff_codes)));
  block_cache* caches = static_cast<block_cache*>(calloc(2, sizeof(block_cache)));
  row_cache* rows = static_cast<row_cache*>(malloc(sizeof(row_cache)));
  uint8_t* blank = drawn ? static_cast<uint8_t*>(calloc(size_t(width), size_t(step))) : nullptr;
  if (!codes || !caches || !rows || (drawn && !blank)) {
    free(blank);
    free(rows);
    free(caches);
    free(codes);
    free(w.data);
    return nullptr;
  }
  for (int t = 0; t < 4; t++) build_codes(huffdefs[t], &codes[t]);
  for (int n = 0; n < 64; n++) {
    caches[0].qdiv[n] = s_luma_q[n];
    caches[1].qdiv[n] = s_chroma_q[n];
  }
  caches[0].ac = &codes[1];
  caches[1].ac = &codes[3];

  write_headers(&w, width, height);  // about 700 bytes: the first block has room
  colour_cache colours = {};
  row_cache_init(rows, &colours, flip);
  int pred[3] = {0, 0, 0};
  const huff_codes* dc[3] = {&codes[0], &codes[2], &codes[2]};
  // The code of an MCU whose three blocks are each of one value, the values
  // of the MCU before: three DC differences of 0, each followed by the end of
  // block. Page backgrounds are long runs of such MCUs.
  uint32_t same_bits = 0;
  int same_len = 0;
  for (int ci = 0; ci < 3; ci++) {
    const huff_codes& ac = *caches[ci == 0 ? 0 : 1].ac;
    same_bits = same_bits << dc[ci]->size[0] | dc[ci]->code[0];
    same_bits = same_bits << ac.size[kAcEndOfBlock] | ac.code[kAcEndOfBlock];
    same_len += dc[ci]->size[0] + ac.size[kAcEndOfBlock];
  }
  if (same_len > 31) same_len = 0;  // not with these tables; the plain path then
  const uint64_t row_bytes = uint64_t(width) * uint64_t(step);
  const int32_t block_rows = (height + 7) / 8;
  const int32_t block_cols = (width + 7) / 8;
  int failed = 0;
  for (int32_t br = 0; br < block_rows && !failed; br++) {
    mcu_rows m;
    m.step = step;
    m.flip = flip;
    m.width = width;
    for (int r = 0; r < 8; r++) {
      const int32_t y = br * 8 + r < height ? br * 8 + r : height - 1;
      m.row[r] = drawn && !drawn[y] ? blank : rgba + uint64_t(y) * row_bytes;
    }
    for (int32_t bc = 0; bc < block_cols; bc++) {
      if (out_reserve(&w, kMcuReserve) != 0) {
        failed = 1;
        break;
      }
      const int32_t x0 = bc * 8;
#if defined(__GNUC__)
      // The page was drawn long before and has left the cache: ask for the
      // pixels four MCUs ahead on each of the eight rows, every other MCU
      // (a cache line holds more than one MCU's row).
      if ((bc & 1) == 0 && x0 + 40 < width)
        for (int r = 0; r < 8; r++) __builtin_prefetch(m.row[r] + size_t(x0 + 32) * size_t(step));
#endif
      // The samples of the three blocks, 8 bytes per row.
      alignas(8) uint8_t samples[3][64];
      if (step == 3 && x0 + 8 <= width && uniform_rgb_mcu(m, x0)) {
        uint8_t v[3];
        colour_samples(&colours, m.row[0] + size_t(x0) * 3, flip, &v[0], &v[1], &v[2]);
        // Each block's code once known, with no AC coefficient left.
        auto same = [](const block_cache& c, uint8_t value, int p) {
          return c.uniform_ready[value] && c.uniform[value].q[0] == p &&
                 c.uniform[value].nonzero == 0;
        };
        if (same_len > 0 && (br | bc) != 0 && same(caches[0], v[0], pred[0]) &&
            same(caches[1], v[1], pred[1]) && same(caches[1], v[2], pred[2])) {
          bw_bits(&w, same_bits, same_len);
          continue;
        }
        for (int ci = 0; ci < 3; ci++) memset(samples[ci], v[ci], 64);
      } else {
        convert_mcu(m, x0, &colours, rows, samples[0], samples[1], samples[2]);
      }
      for (int ci = 0; ci < 3; ci++) {
        const coded_block& cb = *block_coefficients(samples[ci], &caches[ci == 0 ? 0 : 1]);
        const int* q = cb.q;
        if (br == 0 && bc == 0 && getenv("JENC_DBG")) {
          int nz = 0;
          for (int k = 0; k < 64; k++) nz += q[k] != 0;
          fprintf(stderr, "ENC ci=%d q[:8]=%d %d %d %d %d %d %d %d nz=%d\n", ci, q[0], q[1], q[2],
                  q[3], q[4], q[5], q[6], q[7], nz);
        }
        code_block(&w, cb, &pred[ci], *dc[ci]);
      }
    }
  }
  free(blank);
  free(rows);
  free(caches);
  free(codes);
  if (failed || out_reserve(&w, 16) != 0) {
    free(w.data);
    return nullptr;
  }
  // Close the scan: eleven 1-bits, zero bits to the byte boundary, then EOI.
  bw_bits(&w, 0x7ff, 11);
  bw_flush(&w);
  if (w.nbits > 0) bw_bits(&w, 0, 8 - w.nbits);
  bw_flush(&w);
  const uint8_t eoi[2] = {kJpegMarkerPrefix, kJpegEOI};
  out_bytes(&w, eoi, sizeof(eoi));

  uint8_t* shrunk = static_cast<uint8_t*>(realloc(w.data, size_t(w.len)));
  *size = w.len;
  return shrunk ? shrunk : w.data;
}

}  // namespace

uint8_t* qx_jpeg_encode(int32_t width, int32_t height, const uint8_t* rgba, uint64_t* size) {
  return jpeg_encode(width, height, rgba, 4, 0, nullptr, size);
}

uint8_t* qx_jpeg_encode_planes(int32_t width, int32_t height, const uint8_t* rgb, uint64_t* size) {
  return jpeg_encode(width, height, rgb, 3, 0, nullptr, size);
}

uint8_t* qx_jpeg_encode_inverted_planes(int32_t width, int32_t height, const uint8_t* rgb,
                                        const uint8_t* drawn, uint64_t* size) {
  return jpeg_encode(width, height, rgb, 3, 0xFF, drawn, size);
}

int qx_jpeg_write(const char* path, int32_t width, int32_t height, const uint8_t* rgba) {
  if (!path) return 0;
  uint64_t size = 0;
  uint8_t* file = qx_jpeg_encode(width, height, rgba, &size);
  if (!file) return 0;
  int ok = codec_write_file(path, file, size);
  free(file);
  return ok;
}
