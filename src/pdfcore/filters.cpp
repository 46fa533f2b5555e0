// The renderer's stream-filter chain: page_stream_decode undoes ASCII85Decode
// and FlateDecode, alone or in a filter array (ASCII85 always first), and
// hands back the raw bytes for any other filter. No /DecodeParms and no
// predictor are applied. Also home of the Flate retry loop that
// decoded_stream shares.
//
// A Flate decode that fills its buffer is retried with four times the room,
// up to kMaxStreamDecodeBytes of output; each failed attempt's room is given
// back before the next, and only a full buffer is retried, since more room
// cannot mend truncated or unusable data.
#include "pdfcore/pdfcore_internal.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "compression/compression.h"
#include "pdfcore/limits.h"

// ---------------------------------------------------------------------------
// Flate with retries.

// Gives back the room of a failed attempt: a block the call created is
// freed, a caller's block returns to its old size (a shrink that fails keeps
// the larger block). The terminator at b->len is written again, since the
// attempt may have decoded over it.
static void give_back(buf* b, bool had_block, uint64_t old_cap) {
  if (!had_block) {
    free(b->data);
    b->data = nullptr;
    b->len = 0;
    b->cap = 0;
    return;
  }
  if (b->cap != old_cap) {
    uint8_t* shrunk = (uint8_t*)realloc(b->data, (size_t)old_cap);
    if (shrunk) {
      b->data = shrunk;
      b->cap = old_cap;
    }
  }
  b->data[b->len] = 0;
}

// The most one attempt may take: while a page renders, no more than the page
// has left.
static uint64_t flate_ceiling(void) {
  uint64_t ceiling = (uint64_t)pdfcore_limits::kMaxStreamDecodeBytes;
  const int64_t left = std::min(page_memory_left(), page_decode_left());
  if ((uint64_t)left < ceiling) ceiling = (uint64_t)left;
  return ceiling;
}

uint64_t flate_first_room(uint64_t first_cap) {
  return std::min(first_cap, flate_ceiling());
}

int inflate_into_buf(buf* b, const uint8_t* src, uint64_t n, uint64_t first_cap, uint64_t* outlen) {
  const uint64_t ceiling = flate_ceiling();
  first_cap = flate_first_room(first_cap);
  if (ceiling == 0) return 0;
  const bool had_block = b->data != nullptr;
  const uint64_t used = had_block ? b->len : 0;
  const uint64_t old_cap = had_block ? b->cap : 0;
  uint64_t room = first_cap;
  for (;;) {
    // inflate_decompress refuses larger buffers without writing anything.
    if (room > (uint64_t)pdfcore_limits::kMaxInflateBufferBytes) return 0;
    uint64_t total;  // used + room + the terminator
    if (__builtin_add_overflow(used, room, &total) || __builtin_add_overflow(total, 1, &total) ||
        total > SIZE_MAX)
      return 0;
    bool grown = false;
    if (!had_block || b->cap < total) {
      // Exactly the room asked for: buf_reserve's doubling could claim
      // twice the ceiling for one stream.
      uint8_t* block = (uint8_t*)realloc(had_block ? b->data : nullptr, (size_t)total);
      if (!block) return 0;  // a failed realloc leaves the caller's block as it was
      b->data = block;
      b->cap = total;
      if (!had_block) b->len = 0;
      grown = true;
    }
    uint64_t out = 0;
    inflate_status why = INFLATE_OK;
    const int rc = inflate_decompress_status(src, n, b->data + used, room, &out, &why);
    // Every attempt's output counts against the page, failed ones too (a
    // full buffer was written to its end).
    const bool charged =
        page_decode_charge(rc != 0 && why == INFLATE_OUTPUT_FULL ? (int64_t)room : (int64_t)out);
    if (rc == 0 && charged) {
      b->len = used + out;
      b->data[b->len] = 0;
      if (grown && b->cap > b->len + 1) {
        // The spare room of a generous attempt goes back at once.
        uint8_t* fitted = (uint8_t*)realloc(b->data, (size_t)(b->len + 1));
        if (fitted) {
          b->data = fitted;
          b->cap = b->len + 1;
        }
      }
      *outlen = out;
      return 1;
    }
    give_back(b, had_block, old_cap);
    if (!charged || why != INFLATE_OUTPUT_FULL || room >= ceiling) return 0;
    room = room < ceiling / 4 ? room * 4 : ceiling;
  }
}

// What inflate_into_buf charges for a stream, from one streamed decode of it:
// status and total are how that decode ended with the ceiling as its limit.
// An attempt with room r fails as full exactly when the stream decodes to
// more than r bytes (the decode is otherwise the same whatever the room), so
// the attempts, their charges and the result follow from total alone. True
// when inflate_into_buf would have succeeded.
static bool charge_as_attempts(uint64_t first_cap, uint64_t ceiling, inflate_status status,
                               uint64_t total) {
  uint64_t room = std::min(first_cap, ceiling);
  for (;;) {
    if (room > (uint64_t)pdfcore_limits::kMaxInflateBufferBytes) return false;
    if (status != INFLATE_OUTPUT_FULL && total <= room)
      return page_decode_charge(status == INFLATE_OK ? (int64_t)total : 0) && status == INFLATE_OK;
    if (!page_decode_charge((int64_t)room) || room >= ceiling) return false;
    room = room < ceiling / 4 ? room * 4 : ceiling;
  }
}

// ---------------------------------------------------------------------------
// ASCII85.

// Makes room for k more bytes in a block of *cap bytes holding len, doubling
// the block. False when memory runs out or the output would pass INT32_MAX
// bytes (the length handed out is 32-bit); the block is then freed.
static bool a85_room(uint8_t** out, uint64_t* cap, uint64_t len, uint64_t k) {
  if (len + k <= *cap) return true;
  if (len + k > (uint64_t)INT32_MAX) {
    free(*out);
    *out = nullptr;
    return false;
  }
  uint64_t grown = *cap;
  while (grown < len + k) grown *= 2;
  uint8_t* block = (uint8_t*)realloc(*out, (size_t)grown);
  if (!block) {
    free(*out);
    *out = nullptr;
    return false;
  }
  *out = block;
  *cap = grown;
  return true;
}

static void put_be32(uint8_t* p, uint32_t v) {
  p[0] = (uint8_t)(v >> 24);
  p[1] = (uint8_t)(v >> 16);
  p[2] = (uint8_t)(v >> 8);
  p[3] = (uint8_t)v;
}

// Digits '!'..'u' (0..84) gather in groups of five into four bytes; 'z'
// between groups is four zeros; '~' ends the data whether or not '>' follows;
// every other byte is ignored. A final group of k = 2..4 digits is padded
// with 'u' and gives k - 1 bytes; a single left-over digit gives nothing.
uint8_t* ascii85_decode_alloc(const uint8_t* src, int32_t n, uint64_t* outlen) {
  if (n < 0) return nullptr;
  uint64_t cap = ((uint64_t)n / 5 + 5) * 4;
  uint8_t* out = (uint8_t*)malloc((size_t)cap);
  if (!out) return nullptr;
  uint64_t len = 0;
  uint32_t group = 0;  // wraps on groups above 2^32 - 1, as "uuuuu" would
  int digits = 0;
  for (int32_t i = 0; i < n; i++) {
    uint8_t c = src[i];
    if (c == '~') break;
    if (c >= '!' && c <= 'u') {
      group = group * 85u + (uint32_t)(c - '!');
      if (++digits < 5) continue;
      if (!a85_room(&out, &cap, len, 4)) return nullptr;
      put_be32(out + len, group);
      len += 4;
      group = 0;
      digits = 0;
    } else if (c == 'z' && digits == 0) {
      if (!a85_room(&out, &cap, len, 4)) return nullptr;
      memset(out + len, 0, 4);
      len += 4;
    }
  }
  if (digits >= 2) {
    for (int k = digits; k < 5; k++) group = group * 85u + 84u;
    uint8_t last[4];
    put_be32(last, group);
    if (!a85_room(&out, &cap, len, (uint64_t)digits - 1)) return nullptr;
    memcpy(out + len, last, (size_t)digits - 1);
    len += (uint64_t)digits - 1;
  }
  *outlen = len;
  return out;
}

// ---------------------------------------------------------------------------
// The first Flate buffer.

static bool is_name_char(uint8_t c) {
  return pdf_is_alnum(c) || c == '+' || c == '-' || c == '_';
}

// 1 when the whole name /name (not a longer one) is written at pos.
static bool name_at(const uint8_t* text, int32_t pos, int32_t end, const char* name) {
  int32_t k = (int32_t)strlen(name);
  if (pos < 0 || pos >= end || text[pos] != '/' || k > end - pos - 1) return false;
  if (memcmp(text + pos + 1, name, (size_t)k) != 0) return false;
  return pos + 1 + k == end || !is_name_char(text[pos + 1 + k]);
}

// The integer after the first /name in [start, end), or -1.
static int32_t int_after(const uint8_t* text, int32_t start, int32_t end, const char* name) {
  int32_t p = find_name(text, end, start, end, name);
  if (p < 0) return -1;
  int32_t q = skip_ws(text, p + 1 + (int32_t)strlen(name), end);
  return parse_int_at(text, end, &q);
}

// Colour components per sample as far as sizing goes: an unknown or
// indirect colour space counts as RGB.
static int estimate_components(const uint8_t* text, int32_t start, int32_t end) {
  int32_t p = find_name(text, end, start, end, "ColorSpace");
  if (p < 0) return 3;
  int32_t q = skip_ws(text, p + 11, end);
  if (q >= end) return 3;
  if (text[q] == '/') {
    if (name_at(text, q, end, "DeviceGray") || name_at(text, q, end, "Indexed")) return 1;
    if (name_at(text, q, end, "DeviceCMYK")) return 4;
    return 3;
  }
  if (text[q] == '[') return name_at(text, skip_ws(text, q + 1, end), end, "ICCBased") ? 3 : 1;
  return 3;
}

uint64_t page_stream_first_cap(const uint8_t* text, int32_t start, int32_t end, uint64_t n) {
  // Content streams: ratios up to 200 plus 1 MiB in one pass.
  uint64_t room = 200 * n + 1048576;
  int32_t w = int_after(text, start, end, "Width");
  int32_t h = int_after(text, start, end, "Height");
  if (w >= 1 && w <= 20000 && h >= 1 && h <= 20000) {
    // Images: their decoded size plus 64 KiB, so that they too decode in
    // one pass. At most 4 x 20000 x 20000 x 16 / 8 bytes: no overflow.
    int32_t bpc = int_after(text, start, end, "BitsPerComponent");
    if (bpc < 1 || bpc > 16) bpc = 8;
    double estimate = (double)estimate_components(text, start, end) * w * h * bpc / 8.0 + 65536.0;
    if (estimate > (double)room) room = (uint64_t)estimate;
  }
  const uint64_t most = (uint64_t)pdfcore_limits::kMaxPageStreamFirstBytes;
  return room < most ? room : most;
}

// ---------------------------------------------------------------------------
// The chain.

enum : unsigned { kAscii85 = 1, kFlate = 2 };

// Which of the two filters the name at text[pos] (its slash) starts with.
static unsigned filter_named(const uint8_t* text, int32_t pos, int32_t end) {
  int32_t rest = end - pos - 1;
  if (rest >= 13 && memcmp(text + pos + 1, "ASCII85Decode", 13) == 0) return kAscii85;
  if (rest >= 11 && memcmp(text + pos + 1, "FlateDecode", 11) == 0) return kFlate;
  return 0;
}

// The filters named by /Filter in [start, end): one name, or the names of
// an array up to ']' (others ignored). A reference is not followed.
static unsigned stream_filters(const uint8_t* text, int32_t start, int32_t end) {
  int32_t p = find_name(text, end, start, end, "Filter");
  if (p < 0) return 0;
  int32_t q = skip_ws(text, p + 7, end);
  if (q >= end) return 0;
  if (text[q] == '/') return filter_named(text, q, end);
  if (text[q] != '[') return 0;
  unsigned found = 0;
  int32_t i = q + 1;
  while (i < end && text[i] != ']') {
    if (text[i] != '/') {
      i++;
      continue;
    }
    found |= filter_named(text, i, end);
    i++;
    while (i < end && (pdf_is_alnum(text[i]) || text[i] == '_')) i++;
  }
  return found;
}

static uint8_t* copy_alloc(const uint8_t* src, int32_t n) {
  uint8_t* copy = (uint8_t*)malloc((size_t)n);
  if (copy) memcpy(copy, src, (size_t)n);
  return copy;
}

// share: a Flate-only stream may come from, and goes into, the document's
// memo of decoded streams.
static uint8_t* stream_decode(const pdfcore_doc* doc, const obj_entry* o, int32_t* outlen,
                              bool share) {
  if (!doc || !o || !o->is_stream) return nullptr;
  if (o->data_off < 0 || o->data_end > doc->len || o->data_end <= o->data_off) return nullptr;
  const uint8_t* text;
  int32_t start, end;
  if (!obj_region(doc->data, doc->len, o, &text, &start, &end)) return nullptr;
  if (start < 0 || start > end || (text == doc->data && end > doc->len)) return nullptr;
  const uint8_t* src = doc->data + o->data_off;
  int32_t n = o->data_end - o->data_off;
  unsigned filters = stream_filters(text, start, end);
  // A raw copy takes n bytes and ASCII85 output at most 4 n ('z' stands for
  // four zeros); a page with less left copies neither.
  const int64_t left = page_memory_left();
  if ((int64_t)n > left || ((filters & kAscii85) && (int64_t)n > left / 4)) return nullptr;
  // A copy or an ASCII85 pass reads every byte; Flate charges its output.
  if ((!filters || (filters & kAscii85)) && !page_decode_charge(n)) return nullptr;
  if (!filters) {
    uint8_t* raw = copy_alloc(src, n);
    if (raw) *outlen = n;
    return raw;
  }

  uint8_t* a85 = nullptr;
  uint64_t cur_len = (uint64_t)n;
  if (filters & kAscii85) {
    a85 = ascii85_decode_alloc(src, n, &cur_len);
    if (!a85) return nullptr;
    if (!(filters & kFlate)) {
      *outlen = (int32_t)cur_len;
      return a85;
    }
    src = a85;
  }
  const uint64_t first_cap = page_stream_first_cap(text, start, end, cur_len);
  // The memo holds streams whose first attempt succeeded with room to
  // spare; with the same room now, decoding would do and charge the same.
  share = share && filters == kFlate && doc->memo;
  const uint64_t room = share ? flate_first_room(first_cap) : 0;
  if (share) {
    uint8_t* kept = nullptr;
    int32_t kept_len = 0;
    const memo_result found = stream_memo_take(doc->memo, o, room, &kept, &kept_len);
    if (found == MEMO_FAILED) return nullptr;
    if (found == MEMO_FOUND) {
      *outlen = kept_len;
      return kept;
    }
  }
  buf out = {};
  uint64_t decoded = 0;
  int ok = inflate_into_buf(&out, src, cur_len, first_cap, &decoded);
  free(a85);
  if (!ok) return nullptr;
  *outlen = (int32_t)decoded;  // at most 1 GiB - 4096, or the ceiling after retries
  // Output short of the first room means the first attempt succeeded.
  if (share && decoded < room) stream_memo_keep(doc->memo, o, room, out.data, *outlen);
  return out.data;
}

// The stream data and dictionary of o when it is a stream filtered by Flate
// alone: 1 with src, n, text, start and end set; 0 when it is not a usable
// stream (page_stream_decode fails on it); -1 for other filters.
static int flate_only_stream(const pdfcore_doc* doc, const obj_entry* o, const uint8_t** src,
                             int32_t* n, const uint8_t** text, int32_t* start, int32_t* end) {
  if (!doc || !o || !o->is_stream) return 0;
  if (o->data_off < 0 || o->data_end > doc->len || o->data_end <= o->data_off) return 0;
  if (!obj_region(doc->data, doc->len, o, text, start, end)) return 0;
  if (*start < 0 || *start > *end || (*text == doc->data && *end > doc->len)) return 0;
  if (stream_filters(*text, *start, *end) != kFlate) return -1;
  *src = doc->data + o->data_off;
  *n = o->data_end - o->data_off;
  return 1;
}

int page_stream_decode_to(const pdfcore_doc* doc, const obj_entry* o, stream_sink sink, void* user,
                          int32_t* outlen) {
  const uint8_t *src, *text;
  int32_t n, start, end;
  const int kind = flate_only_stream(doc, o, &src, &n, &text, &start, &end);
  if (kind <= 0) return kind;
  // The checks and the room of page_stream_decode, in the same order.
  if ((int64_t)n > page_memory_left()) return 0;
  const uint64_t first_cap = page_stream_first_cap(text, start, end, (uint64_t)n);
  const uint64_t ceiling = flate_ceiling();
  if (ceiling == 0) return 0;
  uint64_t total = 0;
  const inflate_status status = inflate_stream(src, (uint64_t)n, ceiling, sink, user, &total);
  if (status == INFLATE_STOPPED) return -1;  // nothing charged
  if (!charge_as_attempts(first_cap, ceiling, status, total)) return 0;
  *outlen = (int32_t)total;  // at most the ceiling, 256 MiB
  return 1;
}

uint8_t* page_stream_decode_again(const pdfcore_doc* doc, const obj_entry* o, int32_t len) {
  const uint8_t *src, *text;
  int32_t n, start, end;
  if (len < 0 || flate_only_stream(doc, o, &src, &n, &text, &start, &end) != 1) return nullptr;
  uint8_t* block = (uint8_t*)malloc((size_t)len + 1);
  if (!block) return nullptr;
  uint64_t out = 0;
  if (inflate_decompress(src, (uint64_t)n, block, (uint64_t)len, &out) != 0 ||
      out != (uint64_t)len) {
    free(block);
    return nullptr;
  }
  block[len] = 0;
  return block;
}

uint8_t* page_stream_decode(const pdfcore_doc* doc, const obj_entry* o, int32_t* outlen) {
  return stream_decode(doc, o, outlen, false);
}

uint8_t* page_stream_decode_shared(const pdfcore_doc* doc, const obj_entry* o, int32_t* outlen) {
  return stream_decode(doc, o, outlen, true);
}
