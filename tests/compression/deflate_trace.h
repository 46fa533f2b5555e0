// A DEFLATE reader for the compressor's tests, written from RFC 1950/1951: it
// decodes a zlib stream, accepts only dynamic-Huffman blocks, checks that every
// code is complete, and records each block's code lengths and each symbol with
// its position, so tests can see what the compressor chose and not only that
// the bytes round-trip.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct trace_symbol {
  uint64_t pos;  // offset of the symbol's first byte in the decoded data
  int len;       // match length, 0 for a literal
  int dist;      // match distance, or the literal's byte value
};

struct trace_block {
  bool final = false;
  uint64_t start = 0;  // offset of the block's first decoded byte
  uint64_t size = 0;   // decoded bytes
  std::vector<int> lit_lengths, dist_lengths, cl_lengths;  // cl_lengths by symbol 0..18
  int cl_sent = 0;                                         // code-length lengths sent (HCLEN + 4)
  std::vector<int> cl_counts;  // how often each code-length symbol 0..18 was read
  std::vector<trace_symbol> symbols;
};

struct deflate_trace {
  std::string error;  // empty when the stream is valid
  std::vector<trace_block> blocks;
  std::vector<uint8_t> out;
};

namespace trace_detail {

struct reader {
  const std::vector<uint8_t>& in;
  size_t pos = 0;
  int bit = 0;
  bool over = false;
  uint32_t bits(int n) {  // least significant bit first
    uint32_t v = 0;
    for (int i = 0; i < n; i++) {
      if (pos >= in.size()) {
        over = true;
        return 0;
      }
      v |= uint32_t((in[pos] >> bit) & 1) << i;
      if (++bit == 8) {
        bit = 0;
        pos++;
      }
    }
    return v;
  }
};

// A canonical code by its lengths: counts per length, symbols by code order.
struct code {
  int count[16] = {};
  std::vector<int> symbols;
};

// Builds the code; empty string, or why the lengths do not form a complete
// prefix code (every code this compressor writes is complete).
inline std::string build(const std::vector<int>& lengths, int max_len, code* c) {
  for (int len : lengths) {
    if (len < 0 || len > max_len) return "code length " + std::to_string(len) + " out of range";
    c->count[len]++;
  }
  int left = 1;
  for (int len = 1; len <= 15; len++) {
    left = left * 2 - c->count[len];
    if (left < 0) return "over-subscribed code";
  }
  if (left != 0) return "incomplete code";
  for (int len = 1; len <= 15; len++)
    for (size_t s = 0; s < lengths.size(); s++)
      if (lengths[s] == len) c->symbols.push_back(int(s));
  return "";
}

// Reads one symbol bit by bit (codes arrive most significant bit first).
inline int decode(reader& r, const code& c) {
  int value = 0, first = 0, index = 0;
  for (int len = 1; len <= 15; len++) {
    value |= int(r.bits(1));
    int n = c.count[len];
    if (value - first < n) return c.symbols[size_t(index + value - first)];
    index += n;
    first = (first + n) << 1;
    value <<= 1;
    if (r.over) return -1;
  }
  return -1;
}

const int kLenBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                          31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const int kLenExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                           2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const int kDistBase[30] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                           33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                           1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const int kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                            6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
const int kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

inline std::string block(reader& r, trace_block& b, std::vector<uint8_t>& out) {
  int hlit = int(r.bits(5)) + 257, hdist = int(r.bits(5)) + 1, hclen = int(r.bits(4)) + 4;
  if (hlit > 286 || hdist > 30) return "HLIT/HDIST out of range";
  b.cl_sent = hclen;
  b.cl_lengths.assign(19, 0);
  for (int i = 0; i < hclen; i++) b.cl_lengths[size_t(kOrder[i])] = int(r.bits(3));
  code cl;
  std::string err = build(b.cl_lengths, 7, &cl);
  if (!err.empty()) return "code-length code: " + err;
  std::vector<int> lengths;
  b.cl_counts.assign(19, 0);
  while (int(lengths.size()) < hlit + hdist) {
    int sym = decode(r, cl);
    if (sym < 0) return "bad code-length symbol";
    b.cl_counts[size_t(sym)]++;
    if (sym < 16) {
      lengths.push_back(sym);
      continue;
    }
    int repeat, value = 0;
    if (sym == 16) {
      if (lengths.empty()) return "repeat with no previous length";
      value = lengths.back();
      repeat = 3 + int(r.bits(2));
    } else if (sym == 17) {
      repeat = 3 + int(r.bits(3));
    } else {
      repeat = 11 + int(r.bits(7));
    }
    if (int(lengths.size()) + repeat > hlit + hdist) return "lengths overrun";
    lengths.insert(lengths.end(), size_t(repeat), value);
  }
  b.lit_lengths.assign(lengths.begin(), lengths.begin() + hlit);
  b.dist_lengths.assign(lengths.begin() + hlit, lengths.end());
  code lit, dist;
  err = build(b.lit_lengths, 15, &lit);
  if (!err.empty()) return "literal/length code: " + err;
  err = build(b.dist_lengths, 15, &dist);
  if (!err.empty()) return "distance code: " + err;
  for (;;) {
    int sym = decode(r, lit);
    if (sym < 0 || r.over) return "bad literal/length symbol";
    if (sym < 256) {
      b.symbols.push_back({out.size(), 0, sym});
      out.push_back(uint8_t(sym));
    } else if (sym == 256) {
      return "";
    } else {
      if (sym > 285) return "bad length symbol";
      int len = kLenBase[sym - 257] + int(r.bits(kLenExtra[sym - 257]));
      int dsym = decode(r, dist);
      if (dsym < 0 || dsym > 29) return "bad distance symbol";
      int d = kDistBase[dsym] + int(r.bits(kDistExtra[dsym]));
      if (size_t(d) > out.size()) return "distance before the start";
      b.symbols.push_back({out.size(), len, d});
      for (int i = 0; i < len; i++) out.push_back(out[out.size() - size_t(d)]);
    }
  }
}

}  // namespace trace_detail

// Decodes a whole zlib stream; after the final block the last byte must be
// padded with zero bits and followed by exactly the Adler-32 of the output.
inline deflate_trace trace_zlib(const std::vector<uint8_t>& stream) {
  deflate_trace t;
  if (stream.size() < 6) {
    t.error = "too short";
    return t;
  }
  if ((stream[0] & 0x0f) != 8 || ((stream[0] << 8) | stream[1]) % 31 != 0 || (stream[1] & 0x20)) {
    t.error = "bad zlib header";
    return t;
  }
  trace_detail::reader r{stream};
  r.pos = 2;
  for (;;) {
    trace_block b;
    b.start = t.out.size();
    b.final = r.bits(1) != 0;
    uint32_t type = r.bits(2);
    if (type != 2) {
      t.error = "block of type " + std::to_string(type);
      return t;
    }
    t.error = trace_detail::block(r, b, t.out);
    if (t.error.empty() && r.over) t.error = "stream ends inside a block";
    if (!t.error.empty()) return t;
    b.size = t.out.size() - b.start;
    t.blocks.push_back(std::move(b));
    if (t.blocks.back().final) break;
  }
  if (r.bit != 0) {
    if (r.bits(8 - r.bit) != 0) {
      t.error = "non-zero padding bits";
      return t;
    }
  }
  if (stream.size() - r.pos != 4) {
    t.error = "expected 4 trailer bytes, found " + std::to_string(stream.size() - r.pos);
    return t;
  }
  uint32_t s1 = 1, s2 = 0;
  for (uint8_t byte : t.out) {
    s1 = (s1 + byte) % 65521;
    s2 = (s2 + s1) % 65521;
  }
  uint32_t want = s2 << 16 | s1;
  uint32_t got = uint32_t(stream[r.pos]) << 24 | uint32_t(stream[r.pos + 1]) << 16 |
                 uint32_t(stream[r.pos + 2]) << 8 | stream[r.pos + 3];
  if (got != want) t.error = "Adler-32 mismatch";
  return t;
}
