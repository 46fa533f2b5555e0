// Helpers shared by the inflate tests: a decode wrapper that checks both entry
// points agree, a CRC-32 to compare output with the fixtures, and a bit writer
// for hand-made DEFLATE streams.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "compression/compression.h"

using bytes = std::vector<uint8_t>;

struct decoded {
  int result;
  inflate_status why;
  uint64_t outlen;
  bytes out;  // the first outlen bytes of the buffer
};

// The pieces a streamed decode hands out, joined.
struct streamed {
  bytes out;
  size_t pieces = 0;
  size_t refuse_at = SIZE_MAX;  // the piece the sink refuses
  static bool take(void* user, const uint8_t* p, uint64_t n) {
    streamed* s = static_cast<streamed*>(user);
    EXPECT_GT(n, 0u);
    if (s->pieces++ == s->refuse_at) return false;
    s->out.insert(s->out.end(), p, p + n);
    return true;
  }
};

// Decodes src into a heap buffer of exactly cap bytes, so ASan sees any write
// past the capacity. Both entry points must give the same result and length,
// and a streamed decode limited to cap bytes the same status and bytes. A
// streamed decode that meets the end of the input says how much it decoded
// first: the least room that fails as truncated rather than full.
inline decoded inflate_into(const uint8_t* src, size_t n, uint64_t cap) {
  bytes buf(cap);
  decoded d{};
  d.outlen = 12345;  // must be overwritten
  d.result = inflate_decompress_status(src, n, buf.data(), cap, &d.outlen, &d.why);
  uint64_t plain_len = 12345;
  EXPECT_EQ(inflate_decompress(src, n, buf.data(), cap, &plain_len), d.result);
  EXPECT_EQ(plain_len, d.outlen);
  EXPECT_EQ(d.result == 0, d.why == INFLATE_OK);
  if (d.result == 0 && d.outlen <= cap) d.out.assign(buf.begin(), buf.begin() + long(d.outlen));
  if (cap > (uint64_t{1} << 30)) return d;  // refused by the one-shot form only

  streamed st;
  uint64_t produced = 12345;
  EXPECT_EQ(inflate_stream(src, n, cap, &streamed::take, &st, &produced), d.why);
  if (d.why == INFLATE_OK) {
    EXPECT_EQ(produced, d.outlen);
    EXPECT_TRUE(st.out == d.out);
  }
  if (d.why == INFLATE_TRUNCATED) {
    uint64_t len = 0;
    inflate_status why = INFLATE_OK;
    bytes room(produced);
    inflate_decompress_status(src, n, room.data(), produced, &len, &why);
    EXPECT_EQ(why, INFLATE_TRUNCATED);
    if (produced > 0) {
      inflate_decompress_status(src, n, room.data(), produced - 1, &len, &why);
      EXPECT_EQ(why, INFLATE_OUTPUT_FULL);
    }
  }
  return d;
}
inline decoded inflate_into(const bytes& src, uint64_t cap) {
  return inflate_into(src.data(), src.size(), cap);
}

inline std::string as_text(const bytes& b) {
  return std::string(b.begin(), b.end());
}

// CRC-32 (IEEE, reflected, bit by bit): the value Python's zlib.crc32 gives.
inline uint32_t crc32_of(const bytes& data) {
  uint32_t crc = 0xffffffffu;
  for (uint8_t byte : data) {
    crc ^= byte;
    for (int k = 0; k < 8; k++) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

// Builds a zlib stream: header 78 01, then DEFLATE bits. No Adler trailer,
// which the decoder ignores anyway.
struct bit_writer {
  bytes out;
  uint32_t acc = 0;
  int n = 0;

  bit_writer() {
    out.push_back(0x78);
    out.push_back(0x01);
  }

  // Header fields and extra bits: least significant bit first.
  void bits(uint32_t value, int count) {
    for (int i = 0; i < count; i++) put((value >> i) & 1);
  }
  // Huffman codes, written as a string of '0'/'1' in the order they are sent
  // (most significant bit first).
  void code(const char* pattern) {
    for (const char* c = pattern; *c; c++) put(*c == '1');
  }
  void code(uint32_t value, int len) {
    for (int i = len - 1; i >= 0; i--) put((value >> i) & 1);
  }
  void align() {
    while (n != 0) put(0);
  }
  void raw(std::initializer_list<uint8_t> b) {
    align();
    out.insert(out.end(), b);
  }
  bytes finish() {
    align();
    return out;
  }

  // Block helpers.
  void stored_block(bool final, const std::string& text) {
    bits(final, 1);
    bits(0, 2);
    align();
    uint32_t len = uint32_t(text.size());
    raw({uint8_t(len), uint8_t(len >> 8), uint8_t(~len), uint8_t(~len >> 8)});
    out.insert(out.end(), text.begin(), text.end());
  }
  // A symbol of the fixed literal/length code (RFC 1951, section 3.2.6).
  void fixed_symbol(int sym) {
    if (sym < 144)
      code(uint32_t(0x30 + sym), 8);
    else if (sym < 256)
      code(uint32_t(0x190 + sym - 144), 9);
    else if (sym < 280)
      code(uint32_t(sym - 256), 7);
    else
      code(uint32_t(0xc0 + sym - 280), 8);
  }

 private:
  void put(uint32_t bit) {
    acc |= bit << n;
    if (++n == 8) {
      out.push_back(uint8_t(acc));
      acc = 0;
      n = 0;
    }
  }
};

// Canonical Huffman codes for the given code lengths (RFC 1951, section
// 3.2.2), as the encoder side computes them: codes[sym] for each symbol.
inline std::vector<uint32_t> canonical_codes(const std::vector<int>& lengths) {
  int count[16] = {};
  for (int len : lengths) count[len]++;
  count[0] = 0;
  uint32_t next[16] = {};
  uint32_t code = 0;
  for (int len = 1; len < 16; len++) {
    code = (code + uint32_t(count[len - 1])) << 1;
    next[len] = code;
  }
  std::vector<uint32_t> codes(lengths.size());
  for (size_t sym = 0; sym < lengths.size(); sym++)
    if (lengths[sym] != 0) codes[sym] = next[lengths[sym]]++;
  return codes;
}

// One item of the code-length sequence: a symbol 0..18 and, for 16/17/18, the
// value of its extra bits.
struct cl_item {
  int sym;
  uint32_t extra;
};

// Writes a dynamic block header: BFINAL, BTYPE=2, HLIT/HDIST/HCLEN, the
// code-length code (cl_lengths by symbol 0..18), then the items in that code.
inline void dynamic_header(bit_writer& w, bool final, int nlen, int ndist,
                           const std::vector<int>& cl_lengths, const std::vector<cl_item>& items) {
  static const int order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
  int ncode = 4;
  for (int i = 0; i < 19; i++)
    if (cl_lengths[size_t(order[i])] != 0 && i + 1 > ncode) ncode = i + 1;
  w.bits(final, 1);
  w.bits(2, 2);
  w.bits(uint32_t(nlen - 257), 5);
  w.bits(uint32_t(ndist - 1), 5);
  w.bits(uint32_t(ncode - 4), 4);
  for (int i = 0; i < ncode; i++) w.bits(uint32_t(cl_lengths[size_t(order[i])]), 3);
  std::vector<uint32_t> codes = canonical_codes(cl_lengths);
  for (const cl_item& it : items) {
    w.code(codes[size_t(it.sym)], cl_lengths[size_t(it.sym)]);
    if (it.sym == 16) w.bits(it.extra, 2);
    if (it.sym == 17) w.bits(it.extra, 3);
    if (it.sym == 18) w.bits(it.extra, 7);
  }
}

// The code-length code used by most hand-made blocks: symbols 0..15 get 4-bit
// codes (complete, so code k is just k), repeat codes 16..18 are unused.
inline std::vector<int> plain_cl_lengths() {
  std::vector<int> cl(19, 4);
  cl[16] = cl[17] = cl[18] = 0;
  return cl;
}

// The lengths of a literal/length code followed by a distance code, each
// length sent as its own symbol in plain_cl_lengths().
inline std::vector<cl_item> plain_items(const std::vector<int>& lit, const std::vector<int>& dist) {
  std::vector<cl_item> items;
  for (int len : lit) items.push_back({len, 0});
  for (int len : dist) items.push_back({len, 0});
  return items;
}
