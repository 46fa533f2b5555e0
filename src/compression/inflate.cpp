// Inflate: decodes a zlib stream (RFC 1950 header around RFC 1951 DEFLATE data)
// into one caller buffer, with no heap allocation. Canonical Huffman codes are
// decoded bit by bit from per-length code counts, so no lookup tables are built.
// Every step returns a status instead of jumping out: corrupt data ends decoding
// and keeps the output, while missing input or a full buffer fails the call.
#include "compression/compression.h"

#include <cstring>

static const int kMaxBits = 15;         // longest Huffman code
static const int kMaxLitCodes = 286;    // literal/length symbols a dynamic block may declare
static const int kMaxDistCodes = 30;    // distance symbols a dynamic block may declare
static const int kFixedLitCodes = 288;  // the fixed code also covers the invalid 286, 287
static const uint64_t kMaxOutput = uint64_t{1} << 30;

// Base values and extra-bit counts of length symbols 257..285 and distance
// symbols 0..29 (RFC 1951, section 3.2.5).
static const uint16_t kLenBase[29] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                      15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                      67, 83, 99, 115, 131, 163, 195, 227, 258};
static const uint8_t kLenExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
static const uint16_t kDistBase[30] = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
static const uint8_t kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                       6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
// Order in which a dynamic block sends the code-length code's lengths.
static const uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                             11, 4,  12, 3, 13, 2, 14, 1, 15};

namespace {

// A canonical Huffman code: count[len] = number of symbols with a code of that
// length (count[0] = unused symbols); symbol[] = used symbols sorted by code
// length, then by value. Codes of one length are consecutive, so that order is
// enough to decode.
struct huffman {
  int16_t count[kMaxBits + 1];
  int16_t symbol[kFixedLitCodes];
};

struct fixed_tables {
  huffman lit;
  huffman dist;
};

// How a decoding step ended. Only step_ok lets decoding go on.
enum step : int {
  step_ok = 0,
  step_data_error,   // corrupt data: stop, keep the output so far
  step_truncated,    // a bit or byte was needed beyond the input
  step_output_full,  // the output would exceed its capacity
};

// Decoder state of one call. Bit reader invariants: bit_buf holds bit_cnt
// unread bits, the next one at bit 0, and is zero above them; in_pos is the
// first byte not yet loaded into bit_buf. Bytes are loaded whole, so the
// unread bits are the last bit_cnt % 8 bits of a partly read byte followed by
// the last bit_cnt / 8 bytes loaded; a stored block hands those bytes back.
struct state {
  const uint8_t* in;
  uint64_t in_len;
  uint64_t in_pos;
  uint64_t bit_buf;
  int bit_cnt;
  uint8_t* out;
  uint64_t out_cap;
  uint64_t out_cnt;
};

}  // namespace

// Loads whole bytes while they fit in the 64-bit buffer and input remains.
// Afterwards bit_cnt >= 57, or every input byte has been loaded.
static inline void refill(state* s) {
  while (s->bit_cnt <= 56 && s->in_pos < s->in_len) {
    s->bit_buf |= uint64_t{s->in[s->in_pos++]} << s->bit_cnt;
    s->bit_cnt += 8;
  }
}

// Takes n (0..16) bits, least significant first, into *v.
static inline step get_bits(state* s, int n, uint32_t* v) {
  if (s->bit_cnt < n) {
    refill(s);
    if (s->bit_cnt < n) return step_truncated;
  }
  *v = uint32_t(s->bit_buf) & ((uint32_t{1} << n) - 1);
  s->bit_buf >>= n;
  s->bit_cnt -= n;
  return step_ok;
}

// Decodes one symbol of h. Huffman codes are sent most significant bit first,
// so the code grows one bit per length; at each length, the codes of that
// length are first .. first + count - 1 and map to symbol[index ...].
// No match within kMaxBits bits is a data error.
static step decode(state* s, const huffman* h, int* sym) {
  if (s->bit_cnt < kMaxBits) refill(s);  // after this, too few bits means end of input
  uint64_t buf = s->bit_buf;
  int code = 0, first = 0, index = 0;
  for (int len = 1; len <= kMaxBits; len++) {
    if (len > s->bit_cnt) return step_truncated;
    code |= int(buf & 1);
    buf >>= 1;
    int count = h->count[len];
    if (code - first < count) {
      s->bit_buf = buf;
      s->bit_cnt -= len;
      *sym = h->symbol[index + (code - first)];
      return step_ok;
    }
    index += count;
    first = (first + count) << 1;
    code <<= 1;
  }
  return step_data_error;
}

// Builds h from the code lengths of n symbols. Returns 0 for a complete code
// (or one with no codes at all, which fails on first use), a negative number
// for an over-subscribed code, and for an incomplete code the number of codes
// left unused at the longest length.
static int construct(huffman* h, const int16_t* lengths, int n) {
  for (int len = 0; len <= kMaxBits; len++) h->count[len] = 0;
  for (int sym = 0; sym < n; sym++) h->count[lengths[sym]]++;
  if (h->count[0] == n) return 0;

  int left = 1;  // codes still available at the current length
  for (int len = 1; len <= kMaxBits; len++) {
    left = (left << 1) - h->count[len];
    if (left < 0) return left;
  }

  int16_t offset[kMaxBits + 1];  // where each length's symbols start in symbol[]
  offset[1] = 0;
  for (int len = 1; len < kMaxBits; len++) offset[len + 1] = int16_t(offset[len] + h->count[len]);
  for (int sym = 0; sym < n; sym++)
    if (lengths[sym] != 0) h->symbol[offset[lengths[sym]]++] = int16_t(sym);
  return left;
}

// A built literal/length or distance code may be used if it is complete, or if
// it is a single code of length 1 (the bit pattern 1 then matches nothing).
static bool usable(const huffman* h, int built, int n) {
  if (built == 0) return true;
  return built > 0 && h->count[1] == 1 && h->count[0] == n - 1;
}

// Decodes literals and length/distance pairs up to the end-of-block symbol.
static step codes(state* s, const huffman* lit, const huffman* dist) {
  for (;;) {
    int sym;
    step r = decode(s, lit, &sym);
    if (r != step_ok) return r;
    if (sym < 256) {
      if (s->out_cnt == s->out_cap) return step_output_full;
      s->out[s->out_cnt++] = uint8_t(sym);
      continue;
    }
    if (sym == 256) return step_ok;
    sym -= 257;
    if (sym >= 29) return step_data_error;  // 286 and 287 exist only in the fixed code

    uint32_t extra;
    if ((r = get_bits(s, kLenExtra[sym], &extra)) != step_ok) return r;
    uint64_t len = kLenBase[sym] + extra;
    if ((r = decode(s, dist, &sym)) != step_ok) return r;
    if ((r = get_bits(s, kDistExtra[sym], &extra)) != step_ok) return r;
    uint64_t back = kDistBase[sym] + extra;
    if (back > s->out_cnt) return step_data_error;
    if (s->out_cap - s->out_cnt < len) return step_output_full;

    // Byte by byte when source and destination overlap, so a short distance
    // repeats the last bytes as a pattern.
    uint8_t* to = s->out + s->out_cnt;
    const uint8_t* from = to - back;
    if (back >= len) {
      memcpy(to, from, len);
    } else {
      for (uint64_t i = 0; i < len; i++) to[i] = from[i];
    }
    s->out_cnt += len;
  }
}

// Stored block, after the 3 header bits:
//   [rest of the current byte, ignored] LEN(2, LSB first) NLEN(2) = ~LEN, LEN bytes
static step stored(state* s) {
  // Drop the partial byte and give back the whole bytes already loaded.
  s->in_pos -= uint64_t(s->bit_cnt / 8);
  s->bit_buf = 0;
  s->bit_cnt = 0;

  if (s->in_len - s->in_pos < 4) return step_truncated;
  const uint8_t* p = s->in + s->in_pos;
  uint32_t len = p[0] | uint32_t(p[1]) << 8;
  uint32_t nlen = p[2] | uint32_t(p[3]) << 8;
  s->in_pos += 4;
  if (len != (~nlen & 0xffff)) return step_data_error;
  if (s->in_len - s->in_pos < len) return step_truncated;
  if (s->out_cap - s->out_cnt < len) return step_output_full;
  if (len != 0) memcpy(s->out + s->out_cnt, s->in + s->in_pos, len);
  s->in_pos += len;
  s->out_cnt += len;
  return step_ok;
}

static fixed_tables build_fixed_tables() {
  fixed_tables t;
  int16_t lengths[kFixedLitCodes];
  int sym = 0;
  for (; sym < 144; sym++) lengths[sym] = 8;
  for (; sym < 256; sym++) lengths[sym] = 9;
  for (; sym < 280; sym++) lengths[sym] = 7;
  for (; sym < kFixedLitCodes; sym++) lengths[sym] = 8;
  construct(&t.lit, lengths, kFixedLitCodes);
  for (sym = 0; sym < kMaxDistCodes; sym++) lengths[sym] = 5;
  construct(&t.dist, lengths, kMaxDistCodes);  // incomplete: codes 30, 31 match nothing
  return t;
}

// The fixed codes are built on the first fixed block of the process and then
// only read. A function-local static makes the one-time build thread-safe.
static const fixed_tables& fixed_codes() {
  static const fixed_tables tables = build_fixed_tables();
  return tables;
}

// Dynamic block, after the 3 header bits:
//   HLIT(5) HDIST(5) HCLEN(4), (HCLEN + 4) x 3-bit code-length code lengths,
//   then HLIT + 257 literal/length and HDIST + 1 distance code lengths sent as
//   one sequence in the code-length code (16: repeat previous 3-6 times,
//   17: 3-10 zeros, 18: 11-138 zeros), then the block's data.
static step dynamic(state* s) {
  uint32_t nlen, ndist, ncode;
  step r;
  if ((r = get_bits(s, 5, &nlen)) != step_ok) return r;
  if ((r = get_bits(s, 5, &ndist)) != step_ok) return r;
  if ((r = get_bits(s, 4, &ncode)) != step_ok) return r;
  nlen += 257;
  ndist += 1;
  ncode += 4;
  if (nlen > uint32_t(kMaxLitCodes) || ndist > uint32_t(kMaxDistCodes)) return step_data_error;

  int16_t lengths[kMaxLitCodes + kMaxDistCodes];
  for (uint32_t i = 0; i < 19; i++) {
    uint32_t v = 0;
    if (i < ncode && (r = get_bits(s, 3, &v)) != step_ok) return r;
    lengths[kCodeLengthOrder[i]] = int16_t(v);
  }
  huffman lit, dist;  // lit holds the code-length code first
  if (construct(&lit, lengths, 19) != 0) return step_data_error;

  uint32_t total = nlen + ndist;
  for (uint32_t index = 0; index < total;) {
    int sym;
    if ((r = decode(s, &lit, &sym)) != step_ok) return r;
    if (sym < 16) {
      lengths[index++] = int16_t(sym);
      continue;
    }
    int16_t len = 0;
    uint32_t rep;
    if (sym == 16) {
      if (index == 0) return step_data_error;  // nothing to repeat
      len = lengths[index - 1];
      if ((r = get_bits(s, 2, &rep)) != step_ok) return r;
      rep += 3;
    } else if (sym == 17) {
      if ((r = get_bits(s, 3, &rep)) != step_ok) return r;
      rep += 3;
    } else {
      if ((r = get_bits(s, 7, &rep)) != step_ok) return r;
      rep += 11;
    }
    if (rep > total - index) return step_data_error;
    while (rep-- > 0) lengths[index++] = len;
  }

  if (lengths[256] == 0) return step_data_error;  // the block could never end
  if (!usable(&lit, construct(&lit, lengths, int(nlen)), int(nlen))) return step_data_error;
  if (!usable(&dist, construct(&dist, lengths + nlen, int(ndist)), int(ndist)))
    return step_data_error;
  return codes(s, &lit, &dist);
}

// Checks the header, then decodes blocks until the final one or a stop.
static inflate_status run(const uint8_t* src, uint64_t srclen, uint8_t* dst, uint64_t dstcap,
                          uint64_t* produced) {
  *produced = 0;
  if (srclen < 2 || dstcap > kMaxOutput || !src || (!dst && dstcap != 0)) return INFLATE_BAD_HEADER;
  // CMF low nibble = method (8 = deflate); FLG bit 5 = preset dictionary. The
  // window size and the header check value are not examined.
  if ((src[0] & 0x0f) != 8 || (src[1] & 0x20) != 0) return INFLATE_BAD_HEADER;

  state s = {src + 2, srclen - 2, 0, 0, 0, dst, dstcap, 0};
  uint32_t last = 0;
  step r = step_ok;
  while (r == step_ok && !last) {
    uint32_t type;
    if ((r = get_bits(&s, 1, &last)) != step_ok) break;
    if ((r = get_bits(&s, 2, &type)) != step_ok) break;
    if (type == 0) {
      r = stored(&s);
    } else if (type == 1) {
      const fixed_tables& fixed = fixed_codes();
      r = codes(&s, &fixed.lit, &fixed.dist);
    } else if (type == 2) {
      r = dynamic(&s);
    } else {
      r = step_data_error;
    }
  }
  if (r == step_truncated) return INFLATE_TRUNCATED;
  if (r == step_output_full) return INFLATE_OUTPUT_FULL;
  *produced = s.out_cnt;  // final block done, or stopped at corrupt data
  return INFLATE_OK;
}

int inflate_decompress_status(const uint8_t* src, uint64_t srclen, uint8_t* dst, uint64_t dstcap,
                              uint64_t* outlen, inflate_status* why) {
  if (outlen) *outlen = 0;
  uint64_t produced;
  inflate_status status = run(src, srclen, dst, dstcap, &produced);
  if (why) *why = status;
  if (status != INFLATE_OK) return -1;
  if (outlen) *outlen = produced;
  return 0;
}

int inflate_decompress(const uint8_t* src, uint64_t srclen, uint8_t* dst, uint64_t dstcap,
                       uint64_t* outlen) {
  return inflate_decompress_status(src, srclen, dst, dstcap, outlen, nullptr);
}
