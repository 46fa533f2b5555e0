// Trailer reading: only two facts are taken from the cross-reference
// sections, the catalog's object number (/Root) and whether /Encrypt appears.
// Objects are located by scanning, so section offsets are never read.
#include "pdfcore/pdfcore_internal.h"

#include "pdfcore/limits.h"

#include <algorithm>
#include <cstring>
#include <vector>

// Reads the integer after the name that starts at name_pos (name_len bytes,
// slash included), starting one byte past the name's end as trailers do.
static int32_t int_after_name(const uint8_t* data, int32_t end, int32_t name_pos,
                              int32_t name_len) {
  int32_t q = name_pos + name_len + 1;
  if (q >= end) return -1;
  q = skip_ws(data, q, end);
  return parse_int_at(data, end, &q);
}

// The range of the trailer whose keyword is at pos: from the '<' after the
// keyword to the next "startxref". Returns false when there is nothing to read.
// startxref, when given, lists every "startxref" keyword of the file in order.
static bool trailer_range(const uint8_t* data, int32_t len, int32_t pos,
                          const std::vector<int32_t>* startxref, int32_t* start, int32_t* end) {
  *start = skip_ws(data, pos + 7, len);
  if (startxref) {
    auto it = std::lower_bound(startxref->begin(), startxref->end(), *start);
    *end = it == startxref->end() ? -1 : *it;
  } else {
    *end = find_kw(data, len, *start, "startxref");
  }
  if (*end <= 0) *end = len;
  return *start < *end && data[*start] == '<';
}

// First /Root in [start, stop) of a range ending at end whose value is a
// non-negative integer, or -1. Only names starting before stop are looked at.
static int32_t root_in_range(const uint8_t* data, int32_t len, int32_t start, int32_t stop,
                             int32_t end) {
  int32_t window = stop < end - 6 ? stop + 6 : end;
  for (int32_t p = find_name(data, len, start, window, "Root"); p >= 0 && p < stop;
       p = find_name(data, len, p + 1, window, "Root")) {
    int32_t v = int_after_name(data, end, p, 5);
    if (v >= 0) return v;
  }
  return -1;
}

static bool encrypt_in_range(const uint8_t* data, int32_t len, int32_t start, int32_t stop,
                             int32_t end) {
  int32_t window = stop < end - 9 ? stop + 9 : end;
  int32_t p = find_name(data, len, start, window, "Encrypt");
  return p >= 0 && p < stop;
}

void parse_trailer_dict(const uint8_t* data, int32_t len, int32_t pos, xref* x) {
  int32_t start, end;
  if (!trailer_range(data, len, pos, nullptr, &start, &end)) return;
  int32_t v = root_in_range(data, len, start, end, end);
  if (v >= 0) x->root = v;
  if (encrypt_in_range(data, len, start, end, end)) x->encrypted = 1;
}

// Reads every trailer from from_pos to the end of the file as if each were
// read in turn by parse_trailer_dict: the last one holding a /Root decides.
// They are visited newest first, and the ranges of trailers that share an end
// are nested, so each byte is searched once even when a hostile file holds
// thousands of trailers before one "startxref".
static void read_trailers_from(const uint8_t* data, int32_t len, int32_t from_pos,
                               const std::vector<int32_t>& startxref, xref* x) {
  std::vector<int32_t> at;
  for (int32_t t = find_kw(data, len, from_pos, "trailer"); t >= 0;
       t = find_kw(data, len, t + 7, "trailer"))
    at.push_back(t);
  bool need_root = true, need_encrypt = true;
  int32_t group_end = -1, covered = -1;
  for (size_t k = at.size(); k-- > 0 && (need_root || need_encrypt);) {
    int32_t start, end;
    if (!trailer_range(data, len, at[k], &startxref, &start, &end)) continue;
    if (end != group_end) group_end = covered = end;
    if (start >= covered) continue;
    if (need_root) {
      int32_t v = root_in_range(data, len, start, covered, end);
      if (v >= 0) {
        x->root = v;
        need_root = false;
      }
    }
    if (need_encrypt && encrypt_in_range(data, len, start, covered, end)) {
      x->encrypted = 1;
      need_encrypt = false;
    }
    covered = start;
  }
}

// Reads one cross-reference stream section at pos (an object header).
// Returns the /Prev offset to follow, or -1 to end the chain; *counted says
// whether the section was a real "N G obj" header.
static int32_t read_xref_stream_section(const uint8_t* data, int32_t len, int32_t pos, xref* x,
                                        bool* counted) {
  *counted = false;
  int32_t q = pos;
  while (q < len && pdf_is_digit(data[q])) q++;
  q = skip_ws(data, q, len);
  if (q < len && pdf_is_digit(data[q])) parse_int_at(data, len, &q);
  q = skip_ws(data, q, len);
  if (!kw_at(data, q, len, "obj")) return -1;
  *counted = true;
  int32_t start = skip_ws(data, q + 3, len);
  int32_t end = len;
  if (start < len && data[start] == '<') {
    int32_t s = dict_stream_kw(data, len, start);
    if (s >= 0) end = s;
  }
  int32_t next = -1;
  int32_t p = find_name(data, len, start, end, "Prev");
  if (p >= 0) {
    int32_t r = skip_ws(data, p + 5, end);
    int32_t v = parse_int_at(data, end, &r);
    if (v >= 0 && v < len) next = v;
  }
  if (x->root == -1) {
    p = find_name(data, len, start, end, "Root");
    if (p >= 0) {
      int32_t v = int_after_name(data, end, p, 5);
      if (v >= 0) x->root = v;
    }
  }
  if (find_name(data, len, start, end, "Encrypt") >= 0) x->encrypted = 1;
  return next;
}

// Position of the last boundary-respecting occurrence of kw, or -1. The
// newest "startxref" sits at the end of the file, so the search runs backwards.
static int32_t find_last_kw(const uint8_t* data, int32_t len, const char* kw) {
  int32_t k = (int32_t)strlen(kw);
  for (int32_t p = len - k; p >= 0; p--)
    if (data[p] == (uint8_t)kw[0] && kw_at(data, p, len, kw)) return p;
  return -1;
}

void parse_xref(const uint8_t* data, int32_t len, xref* x) {
  x->root = -1;
  x->encrypted = 0;
  int32_t last = find_last_kw(data, len, "startxref");
  if (last < 0) return;
  int32_t q = last + 9;
  int32_t off = parse_int_at(data, len, &q);
  if (off < 0 || off >= len) return;

  int sections = 0;
  while (sections < pdfcore_limits::kMaxXrefStreamSections) {
    int32_t at = skip_ws(data, off, len);
    if (at >= len) return;
    if (kw_at(data, at, len, "xref")) {
      // A classic section: every later trailer is read in file order, so the
      // last /Root written (an incremental update) decides.
      std::vector<int32_t> startxref;
      for (int32_t p = find_kw(data, len, at + 4, "startxref"); p >= 0;
           p = find_kw(data, len, p + 9, "startxref"))
        startxref.push_back(p);
      read_trailers_from(data, len, at + 4, startxref, x);
      return;
    }
    if (!pdf_is_digit(data[at])) return;
    bool counted = false;
    int32_t next = read_xref_stream_section(data, len, at, x, &counted);
    if (!counted) return;
    sections++;
    if (next < 0) return;
    off = next;
  }
}
