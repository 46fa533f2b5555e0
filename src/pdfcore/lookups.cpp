// Three lookups in dictionary text that the interpreter, the fonts and the
// images share: the value of a resource entry (res_value), the dictionary
// that is an object's value (obj_dict_text), and the family of a colour space
// (resolve_colorspace). They are document questions, so they live beside the
// other dictionary readers rather than in the interpreter, which keeps the
// images from depending on it.
//
// Nothing here reports an error: absence is -1 or null. A colour space given
// by reference is followed at most kMaxColorSpaceRefHops times.
#include "pdfcore/pdfcore_internal.h"

#include <cstdlib>
#include <cstring>

#include "pdfcore/limits.h"

int32_t obj_region_end(const obj_entry* o, int32_t len) {
  if (o->stream_off > 0) return o->stream_off < len ? o->stream_off : len;
  if (o->endobj_off > 0) return o->endobj_off < len ? o->endobj_off : len;
  return len;
}

char* entry_dict_text(const uint8_t* data, int32_t len, const obj_entry* e) {
  if (e->in_objstm) {
    if (!e->payload || e->payload_len <= 0) return nullptr;
    const void* lt = memchr(e->payload, '<', (size_t)e->payload_len);
    if (!lt) return nullptr;
    return dict_text_at(e->payload, e->payload_len, (int32_t)((const uint8_t*)lt - e->payload));
  }
  if (e->dict_off < 0) return nullptr;
  return dict_text_at(data, obj_region_end(e, len), e->dict_off);
}

char* obj_dict_text(const pdfcore_doc* doc, int32_t num) {
  if (!doc) return nullptr;
  const obj_entry* e = obj_find(&doc->objects, num);
  return e ? entry_dict_text(doc->data, doc->len, e) : nullptr;
}

// ---------------------------------------------------------------------------
// res_value.

int32_t res_value(const char* text, int32_t length, const char* key, int* kind) {
  if (!text || !key || length <= 0) return -1;
  const uint8_t* t = (const uint8_t*)text;
  int32_t p = find_name(t, length, 0, length, key);
  if (p < 0) return -1;
  int32_t v = skip_ws(t, p + 1 + (int32_t)strlen(key), length);
  if (v >= length) return -1;
  int found;
  if (t[v] == '<') {
    if (v + 1 >= length || t[v + 1] != '<') return -1;
    found = 1;
  } else if (t[v] == '[') {
    found = 2;
  } else if (pdf_is_digit(t[v])) {
    // "N G R" with G a single digit.
    int32_t q = v;
    if (parse_int_at(t, length, &q) <= 0) return -1;
    q = skip_ws(t, q, length);
    if (q >= length) return -1;
    if (pdf_is_digit(t[q])) {
      q = skip_ws(t, q + 1, length);
      if (q >= length) return -1;
    }
    if (t[q] != 'R') return -1;
    found = 0;
  } else {
    return -1;
  }
  if (kind) *kind = found;
  return v;
}

// ---------------------------------------------------------------------------
// resolve_colorspace.

static const char kGray[] = "DeviceGray";
static const char kRGB[] = "DeviceRGB";
static const char kCMYK[] = "DeviceCMYK";
static const char kIndexed[] = "Indexed";

// 1 when the rest bytes at s begin with word.
static bool begins(const uint8_t* s, int32_t rest, const char* word) {
  int32_t k = (int32_t)strlen(word);
  return rest >= k && memcmp(s, word, (size_t)k) == 0;
}

// A name at the slash at pos, compared by prefix: "/DeviceGrayish" is gray.
static const char* name_family(const uint8_t* t, int32_t pos, int32_t length) {
  const uint8_t* s = t + pos + 1;
  int32_t rest = length - pos - 1;
  if (begins(s, rest, "DeviceGray") || begins(s, rest, "CalGray")) return kGray;
  if (begins(s, rest, "DeviceCMYK")) return kCMYK;
  if (begins(s, rest, "Indexed")) return kIndexed;
  return kRGB;
}

// [/ICCBased N G R]: the family follows the profile dictionary's /N; the
// slash of ICCBased is at pos.
static const char* icc_family(const pdfcore_doc* doc, const uint8_t* t, int32_t pos,
                              int32_t length) {
  int32_t q = skip_ws(t, pos + 9, length);
  if (q >= length || !pdf_is_digit(t[q])) return kRGB;
  char* d = obj_dict_text(doc, parse_int_at(t, length, &q));
  if (!d) return kRGB;
  const uint8_t* dt = (const uint8_t*)d;
  int32_t dl = (int32_t)strlen(d);
  const char* family = kRGB;
  int32_t p = find_name(dt, dl, 0, dl, "N");
  if (p >= 0) {
    int32_t r = skip_ws(dt, p + 2, dl);
    int32_t n = parse_int_at(dt, dl, &r);
    if (n == 1) family = kGray;
    if (n == 4) family = kCMYK;
  }
  free(d);
  return family;
}

// An array at the '[' at pos: classified by its first element, a name.
static const char* array_family(const pdfcore_doc* doc, const uint8_t* t, int32_t pos,
                                int32_t length) {
  int32_t q = skip_ws(t, pos + 1, length);
  if (q >= length || t[q] != '/') return kRGB;
  const uint8_t* s = t + q + 1;
  int32_t rest = length - q - 1;
  if (rest <= 6) return kRGB;
  if (begins(s, rest, "Indexed")) return kIndexed;
  if (begins(s, rest, "ICCBased")) return icc_family(doc, t, q, length);
  if (begins(s, rest, "CalGray")) return kGray;
  return kRGB;  // CalRGB, Separation, DeviceN, Lab, Pattern, device names
}

// A reference at pos: classifies the value of the object it names.
static const char* reference_family(const pdfcore_doc* doc, const uint8_t* t, int32_t pos,
                                    int32_t length, int depth) {
  if (!doc) return nullptr;
  int32_t q = pos;
  const obj_entry* o = obj_find(&doc->objects, parse_int_at(t, length, &q));
  if (!o || depth >= pdfcore_limits::kMaxColorSpaceRefHops) return nullptr;
  const uint8_t* text;
  int32_t from, end;
  if (o->in_objstm) {
    if (!o->payload || o->payload_len <= 0) return nullptr;
    text = o->payload;
    from = 0;
    end = o->payload_len;
  } else {
    text = doc->data;
    end = obj_region_end(o, doc->len);
    if (o->dict_off >= 0) {
      from = o->dict_off;
    } else {
      // Not a dictionary: the value follows the "obj" keyword.
      if (o->head_off < 0 || o->head_off >= end) return nullptr;
      const void* kw = memchr(text + o->head_off, 'o', (size_t)(end - o->head_off));
      if (!kw) return nullptr;
      from = (int32_t)((const uint8_t*)kw - text) + 3;
    }
  }
  return resolve_colorspace(doc, (const char*)text, end, skip_ws(text, from, end), depth + 1);
}

const char* resolve_colorspace(const pdfcore_doc* doc, const char* text, int32_t length,
                               int32_t position, int depth) {
  if (!text || position < 0 || position >= length) return nullptr;
  if (depth < 0) depth = 0;
  const uint8_t* t = (const uint8_t*)text;
  uint8_t c = t[position];
  if (c == '/') return name_family(t, position, length);
  if (c == '[') return array_family(doc, t, position, length);
  if (pdf_is_digit(c)) return reference_family(doc, t, position, length, depth);
  return nullptr;
}
