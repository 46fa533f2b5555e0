// Stream data, page contents and resource dictionaries: the document core's
// own accessors for what the renderer needs besides the page list.
//
// decoded_stream undoes FlateDecode only (the renderer's fuller chain is
// filters.cpp). Resource dictionaries are handed out as text copied from
// "<<" to the matching ">>"; a page without its own inherits the nearest
// ancestor's. Every walk is bounded: /Parent steps by a limit, and a
// /Contents array decodes each object it lists once, however often it is
// listed.
#include "pdfcore/pdfcore_internal.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "pdfcore/limits.h"

// ---------------------------------------------------------------------------
// Stream data.

const uint8_t* decoded_stream(const obj_entry* o, const uint8_t* data, int32_t len, buf* b,
                              int32_t* outlen) {
  if (!o || !o->is_stream) return nullptr;
  if (o->data_off < 0 || o->data_end > len || o->data_end <= o->data_off) return nullptr;
  int32_t n = o->data_end - o->data_off;
  const uint8_t* text;
  int32_t start, end;
  bool flate = false;
  if (o->dict_off >= 0 && obj_region(data, len, o, &text, &start, &end)) {
    if (end > len) end = len;
    flate = find_name(text, end, start, end, "FlateDecode") >= 0;
  }
  if (!flate) {
    *outlen = n;
    return data + o->data_off;
  }
  if (!b) return nullptr;
  uint64_t before = b->data ? b->len : 0;
  uint64_t decoded = 0;
  if (!inflate_into_buf(b, data + o->data_off, (uint64_t)n, 20 * (uint64_t)n + 4096, &decoded))
    return nullptr;
  *outlen = (int32_t)decoded;  // at most 1 GiB: larger first buffers are refused
  return b->data + before;
}

// ---------------------------------------------------------------------------
// Page contents.

// A new NUL-terminated copy of n bytes.
static uint8_t* copy_alloc(const uint8_t* src, int64_t n) {
  uint8_t* copy = (uint8_t*)malloc((size_t)n + 1);
  if (!copy) return nullptr;
  if (n) memcpy(copy, src, (size_t)n);
  copy[n] = 0;
  return copy;
}

// Hands the bytes decoded_stream gave (inside b, or in the document) to the
// caller as a block of its own.
static int hand_out(buf* b, const uint8_t* bytes, int32_t n, uint8_t** out, int32_t* length) {
  if (b->data && bytes == b->data) {
    *out = b->data;  // b holds exactly these bytes, NUL-terminated
    b->data = nullptr;
  } else {
    *out = copy_alloc(bytes, n);
  }
  buf_free(b);
  if (!*out) return 0;
  *length = n;
  return 1;
}

static int single_content(const uint8_t* data, int32_t len, const objvec* objects, int32_t num,
                          uint8_t** out, int32_t* length) {
  const obj_entry* e = num > 0 ? obj_find(objects, num) : nullptr;
  if (!e) return 0;
  buf b = {};
  int32_t n = 0;
  const uint8_t* bytes = decoded_stream(e, data, len, &b, &n);
  if (!bytes) {
    buf_free(&b);
    return 0;
  }
  return hand_out(&b, bytes, n, out, length);
}

// Skips what follows an object number in a reference: whitespace, a
// generation, whitespace, 'R', whitespace.
static int32_t skip_ref_tail(const uint8_t* t, int32_t q, int32_t end) {
  q = skip_ws(t, q, end);
  if (q < end && pdf_is_digit(t[q])) parse_int_at(t, end, &q);
  q = skip_ws(t, q, end);
  if (q < end && t[q] == 'R') q++;
  return skip_ws(t, q, end);
}

// One listed object: where its bytes went in the joined result the first
// time it was decoded, so that a repeat is a copy rather than a decode.
struct listed {
  int32_t num;
  int32_t first;  // index of the first listing of the same number
  int64_t off;    // its bytes in the result; len -1 when it gave nothing
  int64_t len;
};

// Reads the object numbers of the array whose '[' is at open, up to ']' or
// end, into refs (when not null). Returns how many there are.
static int32_t array_refs(const uint8_t* t, int32_t open, int32_t end, listed* refs) {
  int32_t count = 0;
  int32_t i = open + 1;
  while (i < end && t[i] != ']') {
    if (!pdf_is_digit(t[i])) {
      i++;
      continue;
    }
    int32_t r = parse_int_at(t, end, &i);  // always moves past the digits
    i = skip_ref_tail(t, i, end);
    if (refs) refs[count] = {r, count, 0, -1};
    count++;
  }
  return count;
}

// Appends the bytes of listing i to result; refs[i] records what it gave.
static void append_listed(const uint8_t* data, int32_t len, const objvec* objects, listed* refs,
                          int32_t i, buf* result) {
  listed* r = &refs[i];
  int64_t before = result->data ? (int64_t)result->len : 0;
  if (r->first != i) {
    // A repeat: copy what the first listing gave, from the result itself.
    const listed* f = &refs[r->first];
    if (f->len < 0 || f->off + f->len > before || before + f->len > INT32_MAX) return;
    buf_reserve(result, (uint64_t)f->len);
    if (!result->data) return;
    if (f->len) memcpy(result->data + before, result->data + f->off, (size_t)f->len);
    result->len += (uint64_t)f->len;
    result->data[result->len] = 0;
    r->off = before;
    r->len = f->len;
    return;
  }
  const obj_entry* e = r->num > 0 ? obj_find(objects, r->num) : nullptr;
  if (!e) return;
  int32_t n = 0;
  const uint8_t* bytes = decoded_stream(e, data, len, result, &n);
  if (!bytes) return;
  // decoded_stream appends Flate output to result itself and otherwise
  // points into the document; the length of result tells which happened.
  if (!result->data || (int64_t)result->len == before) {
    if (before + n > INT32_MAX) return;
    buf_bytes(result, bytes, (uint64_t)n);
    if (!result->data) return;
  } else if (result->len > (uint64_t)INT32_MAX) {
    result->len = (uint64_t)before;  // the joined length must fit 32 bits
    result->data[before] = 0;
    return;
  }
  r->off = before;
  r->len = n;
}

static int joined_contents(const uint8_t* data, int32_t len, const objvec* objects,
                           const uint8_t* t, int32_t open, int32_t end, uint8_t** out,
                           int32_t* length) {
  int32_t count = array_refs(t, open, end, nullptr);
  if (count == 0) return 0;
  listed* refs = (listed*)malloc(sizeof(listed) * (size_t)count);
  int32_t* order = (int32_t*)malloc(sizeof(int32_t) * (size_t)count);
  if (!refs || !order) {
    free(refs);
    free(order);
    return 0;
  }
  array_refs(t, open, end, refs);
  // Listings of the same number point at the first of them.
  for (int32_t i = 0; i < count; i++) order[i] = i;
  std::sort(order, order + count, [refs](int32_t a, int32_t b) {
    return refs[a].num != refs[b].num ? refs[a].num < refs[b].num : a < b;
  });
  for (int32_t k = 1; k < count; k++)
    if (refs[order[k]].num == refs[order[k - 1]].num)
      refs[order[k]].first = refs[order[k - 1]].first;
  free(order);

  buf result = {};
  bool any = false;
  for (int32_t i = 0; i < count; i++) {
    bool had = result.data != nullptr;
    append_listed(data, len, objects, refs, i, &result);
    // A failed growth empties the buffer and with it the offsets recorded
    // so far: the join is abandoned rather than continued from nothing.
    if (had && !result.data) break;
    if (refs[i].len >= 0) any = true;
  }
  free(refs);
  if (!any || !result.data) {
    buf_free(&result);
    return 0;
  }
  *out = result.data;
  *length = (int32_t)result.len;
  return 1;
}

// A stream written in place after /Contents: "<< ... >> stream" and data.
static int inline_content(const uint8_t* data, int32_t len, const objvec* objects, const uint8_t* t,
                          int32_t pos, int32_t end, uint8_t** out, int32_t* length) {
  int32_t s = dict_stream_kw(t, end, pos);
  if (s < 0) return 0;
  int32_t direct, ref;
  parse_length(t, end, pos, s, &direct, &ref);
  int32_t n = direct;
  if (n < 0 && ref > 0) n = indirect_length(data, len, objects, ref);
  if (n < 0) return 0;
  // The data start after one end-of-line byte, or after CR LF.
  int32_t at = s + 6;
  if (at < end) at += (t[at] == '\r' && at + 1 < end && t[at + 1] == '\n') ? 2 : 1;
  if ((int64_t)at + n > end) return 0;
  *out = copy_alloc(t + at, n);
  if (!*out) return 0;
  *length = n;
  return 1;
}

// The result is always a block of its own, also when a single unfiltered
// stream could have been handed out as a pointer into the document: callers
// then release every result the same way.
int get_page_content(const uint8_t* data, int32_t len, const objvec* objects, const obj_entry* o,
                     uint8_t** bytes, int32_t* length) {
  *bytes = nullptr;
  *length = 0;
  const uint8_t* t;
  int32_t start, end;
  if (!o || !obj_region(data, len, o, &t, &start, &end)) return 0;
  if (t == data && end > len) end = len;
  int32_t p = find_name(t, end, start, end, "Contents");
  if (p < 0) return 0;
  int32_t q = skip_ws(t, p + 9, end);
  if (q >= end) return 0;
  if (pdf_is_digit(t[q])) {
    int32_t num = parse_int_at(t, end, &q);
    return single_content(data, len, objects, num, bytes, length);
  }
  if (t[q] == '[') return joined_contents(data, len, objects, t, q, end, bytes, length);
  if (t[q] == '<' && q + 1 < end && t[q + 1] == '<')
    return inline_content(data, len, objects, t, q, end, bytes, length);
  return 0;
}

// ---------------------------------------------------------------------------
// Resources.

// The text in which an entry's /Resources and /Parent are searched: a
// member's payload, or the file up to the entry's region end.
static bool resource_text(const uint8_t* data, int32_t len, const obj_entry* o,
                          const uint8_t** text, int32_t* end) {
  if (o->in_objstm) {
    if (!o->payload || o->payload_len < 0) return false;
    *text = o->payload;
    *end = o->payload_len;
    return true;
  }
  if (o->dict_off < 0) return false;
  *text = data;
  *end = obj_region_end(o, len);
  return true;
}

// Just past the last "endobj" lying wholly before end, or 0: for a direct
// object, the end of the object before it, so that the window holds the
// object's own header and dictionary.
static int32_t window_start(const uint8_t* text, int32_t end) {
  for (int32_t i = end - 6; i >= 0; i--)
    if (text[i] == 'e' && memcmp(text + i, "endobj", 6) == 0) return i + 6;
  return 0;
}

// The value of the first /name in text[from, end), at its first non-blank
// byte; -1 when absent or nothing follows.
static int32_t value_of(const uint8_t* text, int32_t from, int32_t end, const char* name) {
  int32_t p = find_name(text, end, from, end, name);
  if (p < 0) return -1;
  int32_t q = skip_ws(text, p + 1 + (int32_t)strlen(name), end);
  return q < end ? q : -1;
}

static char* resources_in(const uint8_t* data, int32_t len, const objvec* objects,
                          const uint8_t* text, int32_t from, int32_t end) {
  int32_t q = value_of(text, from, end, "Resources");
  if (q < 0) return nullptr;
  if (text[q] == '<') return dict_text_at(text, end, q);  // a lone '<' gives null
  if (!pdf_is_digit(text[q])) return nullptr;
  int32_t num = parse_int_at(text, end, &q);
  const obj_entry* e = num > 0 ? obj_find(objects, num) : nullptr;
  return e ? entry_dict_text(data, len, e) : nullptr;
}

char* page_resources_dict(const uint8_t* data, int32_t len, const objvec* objects,
                          const uint8_t* text, int32_t end) {
  if (!text) return nullptr;
  return resources_in(data, len, objects, text, window_start(text, end), end);
}

char* page_resources_dict_deep(const uint8_t* data, int32_t len, const objvec* objects,
                               const uint8_t* text, int32_t end, int depth) {
  // One /Parent step per round; depth bounds the climb, cycles included.
  for (;; depth--) {
    if (!text) return nullptr;
    int32_t from = window_start(text, end);
    char* d = resources_in(data, len, objects, text, from, end);
    if (d || depth <= 0) return d;
    int32_t q = value_of(text, from, end, "Parent");
    if (q < 0) return nullptr;
    int32_t num = parse_int_at(text, end, &q);
    const obj_entry* e = num > 0 ? obj_find(objects, num) : nullptr;
    if (!e || !resource_text(data, len, e, &text, &end)) return nullptr;
  }
}

char* pdfcore_page_resources(const pdfcore_doc* doc, int32_t index) {
  if (!doc || index < 0 || index >= doc->pages.count) return nullptr;
  const obj_entry* o = obj_find(&doc->objects, doc->pages.items[index].num);
  const uint8_t* text;
  int32_t end;
  if (!o || !resource_text(doc->data, doc->len, o, &text, &end)) return nullptr;
  return page_resources_dict_deep(doc->data, doc->len, &doc->objects, text, end,
                                  pdfcore_limits::kMaxResourceParentSteps);
}

char* pdfcore_obj_resources(const pdfcore_doc* doc, int32_t num) {
  if (!doc) return nullptr;
  const obj_entry* o = obj_find(&doc->objects, num);
  const uint8_t* text;
  int32_t end;
  if (!o || !resource_text(doc->data, doc->len, o, &text, &end)) return nullptr;
  return page_resources_dict(doc->data, doc->len, &doc->objects, text, end);
}
