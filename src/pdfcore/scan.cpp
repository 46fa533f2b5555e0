// Scanning primitives: whitespace, keywords, integers, names, dictionary
// brackets and stream lengths, read straight from the bytes.
//
// Every function takes an explicit length and never reads at or beyond it.
// Searches are single forward passes; only dict_text_at allocates.
#include "pdfcore/pdfcore.h"

#include <cstdlib>
#include <cstring>

int32_t skip_ws(const uint8_t* text, int32_t pos, int32_t len) {
  if (pos < 0) pos = 0;
  while (pos < len && pdf_is_ws(text[pos])) pos++;
  return pos;
}

int kw_at(const uint8_t* text, int32_t pos, int32_t len, const char* kw) {
  int32_t k = (int32_t)strlen(kw);
  if (pos < 0 || pos > len - k) return 0;
  if (memcmp(text + pos, kw, (size_t)k) != 0) return 0;
  if (pos > 0 && pdf_is_alnum(text[pos - 1])) return 0;
  if (pos + k == len) return 1;
  return pdf_is_alnum(text[pos + k]) ? 0 : 1;
}

int32_t find_kw(const uint8_t* text, int32_t len, int32_t start, const char* kw) {
  int32_t k = (int32_t)strlen(kw);
  if (start < 0) start = 0;
  if (k == 0) return -1;
  int32_t i = start;
  while (i <= len - k) {
    // Jump to the next byte equal to the keyword's first one.
    const void* hit = memchr(text + i, (unsigned char)kw[0], (size_t)(len - k - i + 1));
    if (!hit) return -1;
    i = (int32_t)((const uint8_t*)hit - text);
    if (memcmp(text + i, kw, (size_t)k) == 0 && (i == 0 || !pdf_is_alnum(text[i - 1])) &&
        (i + k == len || !pdf_is_alnum(text[i + k])))
      return i;
    i++;
  }
  return -1;
}

// Accumulates decimal digits from *p (which must be a digit) in wrapping
// 32-bit arithmetic; leaves *p after the last digit before end.
static uint32_t read_digits(const uint8_t* text, int32_t end, int32_t* p) {
  uint32_t v = 0;
  while (*p < end && pdf_is_digit(text[*p])) {
    v = v * 10u + (uint32_t)(text[*p] - '0');
    (*p)++;
  }
  return v;
}

static int32_t apply_sign(uint32_t v, bool neg) {
  return (int32_t)(neg ? 0u - v : v);
}

int32_t parse_int_at(const uint8_t* text, int32_t len, int32_t* pos) {
  int32_t p = *pos;
  if (p < 0 || p >= len) return -1;
  p = skip_ws(text, p, len);
  if (p >= len) return -1;
  bool neg = false;
  if (text[p] == '-') {
    neg = true;
    p++;
    if (p >= len) return -1;
  }
  if (!pdf_is_digit(text[p])) return -1;
  uint32_t v = read_digits(text, len, &p);
  *pos = p;
  return apply_sign(v, neg);
}

// Shared body of the two advancing readers; they differ only in where pos
// lands after a dangling sign and after a non-digit.
static int32_t read_adv(const uint8_t* text, int32_t end, int32_t* pos, bool integer_reader) {
  int32_t p = *pos;
  if (p < 0) p = 0;
  if (p >= end) return -1;
  p = skip_ws(text, p, end);
  if (p >= end) {
    *pos = end;
    return -1;
  }
  bool neg = false;
  if (text[p] == '+' || text[p] == '-') {
    neg = text[p] == '-';
    p++;
    if (p >= end) {
      *pos = integer_reader ? end : end + 1;
      return -1;
    }
  }
  if (!pdf_is_digit(text[p])) {
    *pos = (integer_reader && text[p] == 'R') ? p : p + 1;
    return -1;
  }
  uint32_t v = read_digits(text, end, &p);
  *pos = p;
  return apply_sign(v, neg);
}

int32_t read_int_adv(const uint8_t* text, int32_t end, int32_t* pos) {
  return read_adv(text, end, pos, true);
}

int32_t read_num_adv(const uint8_t* text, int32_t len, int32_t* pos) {
  return read_adv(text, len, pos, false);
}

static bool name_boundary(uint8_t c) {
  return !(pdf_is_alnum(c) || c == '+' || c == '-' || c == '_');
}

int32_t find_name(const uint8_t* text, int32_t len, int32_t start, int32_t end, const char* name) {
  if (end > len) end = len;
  if (start < 0) start = 0;
  int32_t k = (int32_t)strlen(name);
  int32_t p = start;
  while (p <= end - k - 1) {
    const void* hit = memchr(text + p, '/', (size_t)(end - k - p));
    if (!hit) return -1;
    p = (int32_t)((const uint8_t*)hit - text);
    if (memcmp(text + p + 1, name, (size_t)k) == 0 &&
        (p + k + 1 >= end || name_boundary(text[p + k + 1])))
      return p;
    p++;
  }
  return -1;
}

// Skips a literal string whose '(' is at i. Returns the position after the
// closing ')', or -1 when end comes first.
static int32_t skip_literal_string(const uint8_t* text, int32_t i, int32_t end) {
  if (i + 1 >= end) return -1;
  int32_t nest = 1;
  int32_t j = i + 1;
  while (j < end) {
    uint8_t c = text[j];
    if (c == '\\') {
      if (j + 1 >= end) return -1;
      j += 2;
      continue;
    }
    if (c == '(') {
      nest++;
    } else if (c == ')') {
      if (--nest == 0) return j + 1;
    }
    j++;
  }
  return -1;
}

int32_t find_name_top(const uint8_t* text, int32_t len, int32_t start, int32_t end) {
  if (end > len) end = len;
  if (start < 0) start = 0;
  int32_t depth = 0;
  int32_t i = start;
  while (i < end) {
    uint8_t c = text[i];
    if (c == '%') {
      while (i < end && text[i] != '\r' && text[i] != '\n') i++;
      if (i >= end) return -1;
    } else if (c == '(') {
      i = skip_literal_string(text, i, end);
      if (i < 0) return -1;
    } else if (c == '<') {
      if (i + 1 >= end) return -1;
      if (text[i + 1] == '<') {
        depth++;
        i += 2;
      } else {
        const void* gt = memchr(text + i + 1, '>', (size_t)(end - i - 1));
        if (!gt) return -1;
        i = (int32_t)((const uint8_t*)gt - text) + 1;
      }
    } else if (c == '>') {
      if (i + 1 >= end) return -1;
      if (text[i + 1] == '>') {
        if (depth > 0) depth--;
        i += 2;
      } else {
        i++;
      }
    } else if (c == '/') {
      if (depth <= 1 && i + 5 <= end && memcmp(text + i + 1, "Type", 4) == 0 &&
          (i + 5 == end || name_boundary(text[i + 5])))
        return i;
      i++;
    } else {
      i++;
    }
  }
  return -1;
}

int32_t find_dict_close(const uint8_t* text, int32_t start, int32_t end) {
  if (start < 0) start = 0;
  int32_t depth = 0;
  int32_t i = start;
  while (i < end) {
    uint8_t c = text[i];
    if (c == '<') {
      if (i + 1 >= end) return -1;
      if (text[i + 1] == '<') {
        depth++;
        i += 2;
      } else {
        i++;
      }
    } else if (c == '>') {
      if (i + 1 >= end) return -1;
      if (text[i + 1] == '>') {
        if (--depth == 0) return i;
        i += 2;
      } else {
        i++;
      }
    } else if (c == '(') {
      i = skip_literal_string(text, i, end);
      if (i < 0) return -1;
    } else {
      i++;
    }
  }
  return -1;
}

int32_t dict_stream_kw(const uint8_t* text, int32_t len, int32_t pos) {
  int32_t c = find_dict_close(text, pos, len);
  if (c < 0) return -1;
  int32_t s = skip_ws(text, c + 2, len);
  return kw_at(text, s, len, "stream") ? s : -1;
}

char* dict_text_at(const uint8_t* text, int32_t len, int32_t pos) {
  if (pos < 0 || pos + 1 >= len || text[pos] != '<' || text[pos + 1] != '<') return nullptr;
  int32_t c = find_dict_close(text, pos, len);
  if (c < 0) return nullptr;
  size_t n = (size_t)(c + 2 - pos);
  char* copy = (char*)malloc(n + 1);
  if (!copy) return nullptr;
  memcpy(copy, text + pos, n);
  copy[n] = 0;
  return copy;
}

// Walks an array whose '[' is at open, up to ']' or end, remembering the last
// non-negative integer. Returns it, or -1; *stop gets where the walk ended.
static int32_t length_array_value(const uint8_t* text, int32_t open, int32_t end, int32_t* stop) {
  int32_t found = -1;
  int32_t q = open + 1;
  while (q < end && text[q] != ']') {
    int32_t r = q;
    int32_t v = parse_int_at(text, end, &r);
    if (v >= 0) {
      found = v;
      q = r;
    } else {
      q++;
    }
  }
  *stop = q;
  return found;
}

void parse_length(const uint8_t* text, int32_t len, int32_t start, int32_t end, int32_t* direct,
                  int32_t* ref) {
  *direct = -1;
  *ref = -1;
  if (end > len) end = len;
  // An array walk that found no integer covers a range without a digit, so a
  // later /Length whose array opens inside that range cannot succeed either;
  // remembering the range keeps hostile repetitions linear.
  int32_t dead_from = -1, dead_to = -1;
  int32_t from = start;
  for (;;) {
    int32_t p = find_name(text, len, from, end, "Length");
    if (p < 0) return;
    from = p + 1;
    int32_t q = p + 8;
    if (q >= end) return;
    q = skip_ws(text, q, end);
    if (q >= end) return;
    uint8_t c = text[q];
    if (c == '[') {
      if (q > dead_from && q < dead_to) continue;
      int32_t stop = 0;
      int32_t v = length_array_value(text, q, end, &stop);
      if (v >= 0) {
        *direct = v;
        return;
      }
      dead_from = q;
      dead_to = stop;
      continue;
    }
    if (pdf_is_digit(c) || c == '-') {
      int32_t v = parse_int_at(text, len, &q);
      if (v < 0) continue;
      q = skip_ws(text, q, end);
      if (q < end && pdf_is_digit(text[q])) {
        parse_int_at(text, end, &q);
        q = skip_ws(text, q, end);
      }
      if (q < end && text[q] == 'R' && (q + 1 >= end || !pdf_is_alnum(text[q + 1])))
        *ref = v;
      else
        *direct = v;
      return;
    }
  }
}
