// Inflate: decodes a zlib stream (RFC 1950 header around RFC 1951 DEFLATE data)
// into one caller buffer, with no heap allocation. Huffman symbols are read
// through a small lookup table per code (the next kTableBits bits give symbol
// and code length); longer codes, unused bit patterns and the last few bits of
// the input fall back to a bit-by-bit walk of the canonical code, which decides
// every case the table leaves open. Every step returns a status instead of
// jumping out: corrupt data ends decoding and keeps the output, while missing
// input or a full buffer fails the call.
//
// The streaming form decodes into a small buffer of its own and, whenever it
// is full, hands everything but the last 32 KiB (the most a match reaches
// back) to a sink and moves those 32 KiB to the front. The decoding steps are
// the same; only the full-buffer check calls make_room before giving up.
#include "compression/compression.h"

#include <cstring>
#include <memory>
#include <new>

#include "compression/deflate_constants.h"

static const int kMaxBits = 15;         // longest Huffman code
static const int kMaxLitCodes = 286;    // literal/length symbols a dynamic block may declare
static const int kMaxDistCodes = 30;    // distance symbols a dynamic block may declare
static const int kFixedLitCodes = 288;  // the fixed code also covers the invalid 286, 287
static const uint64_t kMaxOutput = uint64_t{1} << 30;

// Base values and extra-bit counts of the length and distance symbols.
static constexpr const uint16_t (&kLenBase)[29] = deflate_len_base;
static constexpr const uint8_t (&kLenExtra)[29] = deflate_len_extra;
static constexpr const uint16_t (&kDistBase)[30] = deflate_dist_base;
static constexpr const uint8_t (&kDistExtra)[30] = deflate_dist_extra;
// Order in which a dynamic block sends the code-length code's lengths.
static constexpr const uint8_t (&kCodeLengthOrder)[19] = deflate_code_length_order;

namespace {

// Symbols are looked up by the next kTableBits bits of input.
const int kTableBits = 10;
const uint32_t kTableSize = uint32_t{1} << kTableBits;

// A canonical Huffman code: count[len] = number of symbols with a code of that
// length (count[0] = unused symbols); symbol[] = used symbols sorted by code
// length, then by value. Codes of one length are consecutive, so that order is
// enough to decode bit by bit.
//
// table[] is the fast path. The stream sends a code's bits most significant
// first, so the first bit of a code arrives in bit 0 of the bit buffer; the
// entry for a code c of length len <= kTableBits therefore sits at index
// reverse(c, len), repeated at every index with those low len bits (whatever
// bits follow the code). An entry is symbol << 4 | len. Entry 0 (len 0) means
// the table cannot decide: the next bits start a longer code or no code at all,
// and the bit-by-bit walk decides. A code with no entries (all lengths 0) has
// an all-zero table.
struct huffman {
  int16_t count[kMaxBits + 1];
  int16_t symbol[kFixedLitCodes];
  uint16_t table[kTableSize];
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
  step_stopped,      // the sink refused the output
};

// Bytes the streaming form keeps for matches to reach back into, and the size
// of its buffer: the window plus room for the longest stored block (65535
// bytes) and more, so that a flush always frees enough room.
const uint64_t kWindowBytes = 32768;
const uint64_t kStreamBufferBytes = 256 * 1024;

// What streaming adds to the state: the sink, the bytes already handed to it
// and dropped from the front of out, the most the whole stream may produce,
// and out's own size. out_cap is then min(buffer, limit - flushed), so the
// full-buffer check also catches output past the limit.
struct stream_state {
  inflate_sink sink;
  void* user;
  uint64_t flushed;
  uint64_t limit;
  uint64_t buffer;
};

// Decoder state of one call. Bit reader invariants: bit_buf holds bit_cnt
// unread bits, the next one at bit 0; in_pos is the first byte not yet loaded
// into bit_buf. Bytes are loaded whole, so the unread bits are the last
// bit_cnt % 8 bits of a partly read byte followed by the last bit_cnt / 8
// bytes loaded; a stored block hands those bytes back. The bits of bit_buf
// above bit_cnt are zero or already hold the next input bits (a word load
// brings in a part of the byte at in_pos), so loading that byte again ORs
// identical bits; they are never read as input.
struct state {
  const uint8_t* in;
  uint64_t in_len;
  uint64_t in_pos;
  uint64_t bit_buf;
  int bit_cnt;
  uint8_t* out;
  uint64_t out_cap;
  uint64_t out_cnt;
  stream_state* stream;  // null for one-shot decoding
};

}  // namespace

static inline uint64_t load_le64(const uint8_t* p) {
  uint64_t v;
  memcpy(&v, p, sizeof v);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  v = __builtin_bswap64(v);
#endif
  return v;
}

// Loads whole bytes while they fit in the 64-bit buffer and input remains.
// Afterwards bit_cnt >= 56, or every input byte has been loaded. With 8 or
// more bytes left, one 64-bit load adds (63 - bit_cnt) / 8 bytes, which
// brings bit_cnt to bit_cnt | 56. Requires bit_cnt < 64.
static inline void refill(state& s) {
  if (s.in_len - s.in_pos >= 8) {
    s.bit_buf |= load_le64(s.in + s.in_pos) << s.bit_cnt;
    s.in_pos += uint64_t(63 - s.bit_cnt) >> 3;
    s.bit_cnt |= 56;
    return;
  }
  while (s.bit_cnt <= 56 && s.in_pos < s.in_len) {
    s.bit_buf |= uint64_t{s.in[s.in_pos++]} << s.bit_cnt;
    s.bit_cnt += 8;
  }
}

// Takes n (0..16) bits, least significant first, into *v.
static inline step get_bits(state& s, int n, uint32_t* v) {
  if (s.bit_cnt < n) {
    refill(s);
    if (s.bit_cnt < n) return step_truncated;
  }
  *v = uint32_t(s.bit_buf) & ((uint32_t{1} << n) - 1);
  s.bit_buf >>= n;
  s.bit_cnt -= n;
  return step_ok;
}

// The bit-by-bit decoder behind the table, over the bit_cnt unread bits in
// buf. Huffman codes are sent most significant bit first, so the code grows
// one bit per length; at each length, the codes of that length are
// first .. first + count - 1 and map to symbol[index ...]. Returns a table
// entry (symbol << 4 | len), -step_truncated when the bits run out before a
// code matches, or -step_data_error when nothing matches within kMaxBits bits.
static int walk(const huffman* h, uint64_t buf, int bit_cnt) {
  int code = 0, first = 0, index = 0;
  for (int len = 1; len <= kMaxBits; len++) {
    if (len > bit_cnt) return -step_truncated;
    code |= int(buf & 1);
    buf >>= 1;
    int count = h->count[len];
    if (code - first < count) return h->symbol[index + (code - first)] << 4 | len;
    index += count;
    first = (first + count) << 1;
    code <<= 1;
  }
  return -step_data_error;
}

// Decodes one symbol of h. After the refill, fewer than kMaxBits bits means
// the input is all loaded. A table entry is taken only when its whole code is
// among the unread bits; every other case goes to walk().
static inline step decode(state& s, const huffman* h, int* sym) {
  if (s.bit_cnt < kMaxBits) refill(s);
  int entry = h->table[s.bit_buf & (kTableSize - 1)];
  int len = entry & 15;
  if (len == 0 || len > s.bit_cnt) {
    entry = walk(h, s.bit_buf, s.bit_cnt);
    if (entry < 0) return step(-entry);
    len = entry & 15;
  }
  s.bit_buf >>= len;
  s.bit_cnt -= len;
  *sym = entry >> 4;
  return step_ok;
}

// The low len bits of c in reverse order: a code's first bit sent (its most
// significant) lands in bit 0, where the bit reader has it.
static inline uint32_t reverse_bits(uint32_t c, int len) {
  c = (c & 0x5555) << 1 | ((c >> 1) & 0x5555);
  c = (c & 0x3333) << 2 | ((c >> 2) & 0x3333);
  c = (c & 0x0f0f) << 4 | ((c >> 4) & 0x0f0f);
  c = (c & 0x00ff) << 8 | ((c >> 8) & 0x00ff);
  return c >> (16 - len);
}

// Builds h from the code lengths of n symbols. Returns 0 for a complete code
// (or one with no codes at all, which fails on first use), a negative number
// for an over-subscribed code, and for an incomplete code the number of codes
// left unused at the longest length. The table is filled unless the code is
// over-subscribed (such a code is never used).
static int construct(huffman* h, const int16_t* lengths, int n) {
  for (int len = 0; len <= kMaxBits; len++) h->count[len] = 0;
  for (int sym = 0; sym < n; sym++) h->count[lengths[sym]]++;
  if (h->count[0] == n) {
    memset(h->table, 0, sizeof h->table);
    return 0;
  }

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

  // Only the first 2^fill entries are built, fill = min(longest code,
  // kTableBits): an entry depends on its low fill bits alone (a code of length
  // len <= fill on its low len bits; with no code longer than fill, a pattern
  // that starts no code at fill bits starts none at more bits). Copies of that
  // block then make up the rest of the table.
  int longest = kMaxBits;
  while (h->count[longest] == 0) longest--;
  const int fill = longest < kTableBits ? longest : kTableBits;
  uint32_t size = uint32_t{1} << fill;
  memset(h->table, 0, size * sizeof h->table[0]);

  // Canonical codes: the first code of each length follows the codes of the
  // shorter lengths; within a length, codes go up with the symbol value.
  uint32_t next[kMaxBits + 1];
  uint32_t code = 0;
  next[1] = 0;
  for (int len = 2; len <= kMaxBits; len++)
    next[len] = code = (code + uint32_t(h->count[len - 1])) << 1;
  for (int sym = 0; sym < n; sym++) {
    int len = lengths[sym];
    if (len == 0) continue;
    uint32_t c = next[len]++;
    if (len > kTableBits) continue;
    uint16_t entry = uint16_t(sym << 4 | len);
    for (uint32_t i = reverse_bits(c, len); i < size; i += uint32_t{1} << len) h->table[i] = entry;
  }
  for (; size < kTableSize; size <<= 1)
    memcpy(h->table + size, h->table, size * sizeof h->table[0]);
  return left;
}

// A built literal/length or distance code may be used if it is complete, or if
// it is a single code of length 1 (the bit pattern 1 then matches nothing).
static bool usable(const huffman* h, int built, int n) {
  if (built == 0) return true;
  return built > 0 && h->count[1] == 1 && h->count[0] == n - 1;
}

// Copies len >= 8 bytes from `from` to `to` = from + d, d >= 8, front to back
// in 8-byte chunks. Each chunk reads bytes at least 8 before the ones it
// writes, which are final by then. The last chunk ends exactly at the end and
// rewrites some bytes with the values they already hold.
static inline void copy_chunks(uint8_t* to, const uint8_t* from, uint64_t len) {
  uint8_t* const end = to + len;
  const uint64_t d = uint64_t(to - from);
  do {
    memcpy(to, from, 8);
    to += 8;
    from += 8;
  } while (end - to >= 8);
  if (to != end) memcpy(end - 8, end - 8 - d, 8);
}

// Writes len bytes at to, each a copy of the byte back positions earlier, as a
// byte-by-byte forward copy would: with back < len the source overlaps the
// bytes being written and the last back bytes repeat as a pattern. Nothing is
// written outside to[0..len).
static inline void copy_match(uint8_t* to, uint64_t back, uint64_t len) {
  const uint8_t* from = to - back;
  if (back >= len) {
    memcpy(to, from, len);
  } else if (back >= 8) {
    copy_chunks(to, from, len);  // len > back >= 8
  } else if (back == 1) {
    memset(to, *from, len);
  } else {
    // A short pattern: the output repeats with period back, so also with
    // period d, the first multiple of back that is >= 8. The first d bytes go
    // one by one, the rest as chunks from d bytes back.
    uint64_t d = back;
    while (d < 8) d += back;
    uint64_t head = d < len ? d : len;
    for (uint64_t i = 0; i < head; i++) to[i] = from[i];
    if (len - head >= 8) {
      copy_chunks(to + head, to + head - d, len - head);
    } else {
      for (uint64_t i = head; i < len; i++) to[i] = from[i];
    }
  }
}

// Called when need more bytes do not fit in out. One-shot decoding has no
// more room; streaming hands all but the window to the sink and moves the
// window to the front, unless the stream would pass its limit.
// The fields are passed and returned by value, so that the caller's state
// need not live in memory.
struct room {
  step r;
  uint64_t out_cnt, out_cap;
};

static room make_room(stream_state* st, uint8_t* out, uint64_t cnt, uint64_t cap, uint64_t need) {
  if (!st || st->limit - st->flushed - cnt < need) return {step_output_full, cnt, cap};
  const uint64_t keep = cnt < kWindowBytes ? cnt : kWindowBytes;
  const uint64_t give = cnt - keep;
  if (give > 0) {
    if (!st->sink(st->user, out, give)) return {step_stopped, cnt, cap};
    memmove(out, out + give, keep);
    st->flushed += give;
    cnt = keep;
  }
  const uint64_t left = st->limit - st->flushed;
  cap = left < st->buffer ? left : st->buffer;
  // The buffer holds the window plus more than any one write.
  return {cap - cnt < need ? step_output_full : step_ok, cnt, cap};
}

// make_room for the state s.
static inline step make_room(state& s, uint64_t need) {
  const room m = make_room(s.stream, s.out, s.out_cnt, s.out_cap, need);
  s.out_cnt = m.out_cnt;
  s.out_cap = m.out_cap;
  return m.r;
}

// Decodes literals and length/distance pairs up to the end-of-block symbol.
// Works on a local copy of the state: the byte stores into the output could
// otherwise alias the state's fields and force a reload after every byte.
static step codes(state* s, const huffman* lit, const huffman* dist) {
  state t = *s;
  step r;
  for (;;) {
    int sym;
    if ((r = decode(t, lit, &sym)) != step_ok) break;
    if (sym < 256) {
      if (t.out_cnt == t.out_cap && (r = make_room(t, 1)) != step_ok) break;
      t.out[t.out_cnt++] = uint8_t(sym);
      continue;
    }
    if (sym == 256) break;  // r == step_ok
    sym -= 257;
    if (sym >= 29) {  // 286 and 287 exist only in the fixed code
      r = step_data_error;
      break;
    }

    uint32_t extra;
    if ((r = get_bits(t, kLenExtra[sym], &extra)) != step_ok) break;
    uint64_t len = kLenBase[sym] + extra;
    if ((r = decode(t, dist, &sym)) != step_ok) break;
    if ((r = get_bits(t, kDistExtra[sym], &extra)) != step_ok) break;
    uint64_t back = kDistBase[sym] + extra;
    if (back > t.out_cnt) {
      r = step_data_error;
      break;
    }
    if (t.out_cap - t.out_cnt < len && (r = make_room(t, len)) != step_ok) break;
    copy_match(t.out + t.out_cnt, back, len);
    t.out_cnt += len;
  }
  *s = t;
  return r;
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
  if (s->out_cap - s->out_cnt < len) {
    const step r = make_room(*s, len);
    if (r != step_ok) return r;
  }
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
  if ((r = get_bits(*s, 5, &nlen)) != step_ok) return r;
  if ((r = get_bits(*s, 5, &ndist)) != step_ok) return r;
  if ((r = get_bits(*s, 4, &ncode)) != step_ok) return r;
  nlen += 257;
  ndist += 1;
  ncode += 4;
  if (nlen > uint32_t(kMaxLitCodes) || ndist > uint32_t(kMaxDistCodes)) return step_data_error;

  int16_t lengths[kMaxLitCodes + kMaxDistCodes];
  for (uint32_t i = 0; i < 19; i++) {
    uint32_t v = 0;
    if (i < ncode && (r = get_bits(*s, 3, &v)) != step_ok) return r;
    lengths[kCodeLengthOrder[i]] = int16_t(v);
  }
  huffman lit, dist;  // lit holds the code-length code first
  if (construct(&lit, lengths, 19) != 0) return step_data_error;

  uint32_t total = nlen + ndist;
  for (uint32_t index = 0; index < total;) {
    int sym;
    if ((r = decode(*s, &lit, &sym)) != step_ok) return r;
    if (sym < 16) {
      lengths[index++] = int16_t(sym);
      continue;
    }
    int16_t len = 0;
    uint32_t rep;
    if (sym == 16) {
      if (index == 0) return step_data_error;  // nothing to repeat
      len = lengths[index - 1];
      if ((r = get_bits(*s, 2, &rep)) != step_ok) return r;
      rep += 3;
    } else if (sym == 17) {
      if ((r = get_bits(*s, 3, &rep)) != step_ok) return r;
      rep += 3;
    } else {
      if ((r = get_bits(*s, 7, &rep)) != step_ok) return r;
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

// The zlib header check: CMF low nibble = method (8 = deflate); FLG bit 5 =
// preset dictionary. The window size and the header check value are not
// examined.
static bool usable_header(const uint8_t* src, uint64_t srclen) {
  return srclen >= 2 && src && (src[0] & 0x0f) == 8 && (src[1] & 0x20) == 0;
}

// Decodes blocks until the final one or a stop (the final block done, or
// corrupt data, is INFLATE_OK); s starts at the first byte after the header
// and ends with the bytes kept in s.out counted in s.out_cnt.
static inflate_status run_blocks(state& s) {
  uint32_t last = 0;
  step r = step_ok;
  while (r == step_ok && !last) {
    uint32_t type;
    if ((r = get_bits(s, 1, &last)) != step_ok) break;
    if ((r = get_bits(s, 2, &type)) != step_ok) break;
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
  if (r == step_stopped) return INFLATE_STOPPED;
  return INFLATE_OK;
}

static inflate_status run(const uint8_t* src, uint64_t srclen, uint8_t* dst, uint64_t dstcap,
                          uint64_t* produced) {
  *produced = 0;
  if (dstcap > kMaxOutput || (!dst && dstcap != 0) || !usable_header(src, srclen))
    return INFLATE_BAD_HEADER;
  state s = {src + 2, srclen - 2, 0, 0, 0, dst, dstcap, 0, nullptr};
  const inflate_status status = run_blocks(s);
  if (status == INFLATE_OK) *produced = s.out_cnt;
  return status;
}

inflate_status inflate_stream(const uint8_t* src, uint64_t srclen, uint64_t limit,
                              inflate_sink sink, void* user, uint64_t* produced) {
  *produced = 0;
  if (!sink || !usable_header(src, srclen)) return INFLATE_BAD_HEADER;
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kStreamBufferBytes]);
  if (!buffer) return INFLATE_STOPPED;
  const uint64_t cap = limit < kStreamBufferBytes ? limit : kStreamBufferBytes;
  stream_state st = {sink, user, 0, limit, kStreamBufferBytes};
  state s = {src + 2, srclen - 2, 0, 0, 0, buffer.get(), cap, 0, &st};
  const inflate_status status = run_blocks(s);
  *produced = st.flushed + s.out_cnt;
  if (status != INFLATE_OK) return status;
  if (s.out_cnt > 0 && !sink(user, s.out, s.out_cnt)) return INFLATE_STOPPED;
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
