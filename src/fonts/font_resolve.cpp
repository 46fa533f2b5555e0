// PDF font resolution: finds a font dictionary through the resources of an
// interpreter context, classifies it (simple, Type0, Type3), gathers what
// drawing and advancing need, and caches the record in the context.
//
// Only TrueType outlines are drawn: a simple font without an embedded
// TrueType program stands in with a built-in face chosen by its name, and
// single-byte codes are read as Windows-1252 characters. Widths are read as
// real numbers everywhere (/Widths, /W, /DW): reading them as integers would
// split 277.83 into two widths and shift every later one. Every read stays
// inside its text, every allocation is sized from capped counts, and a damaged
// font resolves with what could be read (the TrueType reader fails cleanly).
#include "fonts/fonts.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fonts/truetype_tags.h"
// The one include from fonts back into the interpreter: the context is a plain
// struct whose resources and cache the lookup reads (see fonts.h).
#include "interp/interp.h"
#include "pdfcore/pdfcore.h"

namespace {

// Windows-1252 characters of the codes 0x80..0x9F; 0 where that code page
// defines none (0x81, 0x8D, 0x8F, 0x90, 0x9D). Other codes are their own
// Unicode character.
constexpr int32_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

int32_t code_to_unicode(int32_t code) {
  return code >= 0x80 && code <= 0x9F ? kCp1252High[code - 0x80] : code;
}

// Process-wide glyph tables of the built-in faces, built by the first
// initialisation that finds the face data and never rebuilt. Rendering only
// reads them, so any number of threads may share them.
glyph_entry s_base_cmap[kBuiltinFaces][kFontCodes];
double s_base_w[kBuiltinFaces][kFontCodes];
bool s_base_ready[kBuiltinFaces];

const uint8_t* U(const char* s) {
  return reinterpret_cast<const uint8_t*>(s);
}

// ---------------------------------------------------------------------------
// Reading values out of dictionary text. Every reader takes the text and the
// end of the range it may read ([0, end)).

// A real number at pos (after white space): optional sign, digits, an
// optional fraction. Returns false with *pos unchanged when none is there.
// The digits form an integer mantissa that one division scales, so 277.83
// reads as the double nearest to it.
bool read_real(const uint8_t* t, int32_t end, int32_t* pos, double* out) {
  int32_t p = skip_ws(t, *pos, end);
  if (p >= end) return false;
  bool neg = false;
  if (t[p] == '+' || t[p] == '-') {
    neg = t[p] == '-';
    p++;
  }
  double mant = 0, scale = 1;
  int digits = 0, frac = 0;
  while (p < end && pdf_is_digit(t[p])) {
    mant = mant * 10 + (t[p++] - '0');
    digits++;
  }
  if (p < end && t[p] == '.') {
    p++;
    while (p < end && pdf_is_digit(t[p])) {
      if (frac < 18) {  // further digits cannot change a double
        mant = mant * 10 + (t[p] - '0');
        scale *= 10;
        frac++;
      }
      p++;
      digits++;
    }
  }
  if (digits == 0) return false;
  *pos = p;
  double v = mant / scale;
  *out = neg ? -v : v;
  return true;
}

// The position of the value of /key (the first byte after the name and its
// white space), or -1.
int32_t value_pos(const uint8_t* t, int32_t end, const char* key) {
  int32_t p = find_name(t, end, 0, end, key);
  if (p < 0) return -1;
  int32_t v = skip_ws(t, p + 1 + (int32_t)strlen(key), end);
  return v < end ? v : -1;
}

// The object number of a reference at pos ("N G R"), or -1 when no digit is there.
int32_t ref_at(const uint8_t* t, int32_t end, int32_t pos) {
  if (pos < 0 || pos >= end || !pdf_is_digit(t[pos])) return -1;
  return parse_int_at(t, end, &pos);
}

// A dictionary owned by the caller: written in place at pos, or the value of
// the object referenced there. Null for anything else.
char* dict_value(const pdfcore_doc* doc, const uint8_t* t, int32_t end, int32_t pos) {
  if (pos < 0 || pos >= end) return nullptr;
  if (t[pos] == '<') return dict_text_at(t, end, pos);
  int32_t num = ref_at(t, end, pos);
  return num > 0 ? obj_dict_text(doc, num) : nullptr;
}

// The text of object num's value, whatever it is (arrays included): a
// member's payload, or the file bytes after "obj" up to the stream or
// endobj keyword.
bool obj_value_text(const pdfcore_doc* doc, int32_t num, const uint8_t** text, int32_t* start,
                    int32_t* end) {
  if (!doc || num <= 0) return false;
  const obj_entry* o = obj_find(&doc->objects, num);
  if (!o) return false;
  if (o->in_objstm || o->dict_off >= 0)
    return obj_region(doc->data, doc->len, o, text, start, end) != 0;
  if (o->head_off < 0) return false;
  int32_t stop = o->stream_off > 0 ? o->stream_off : (o->endobj_off > 0 ? o->endobj_off : doc->len);
  if (stop > doc->len) stop = doc->len;
  int32_t k = find_kw(doc->data, stop, o->head_off, "obj");
  if (k < 0) return false;
  *text = doc->data;
  *start = k + 3;
  *end = stop;
  return true;
}

// Finds the elements of an array that is the value at pos: written in place
// ("[" at pos) or the value of the referenced object. On success *text and
// *end describe the range and *first is the position after the '['.
bool array_value(const pdfcore_doc* doc, const uint8_t* t, int32_t end, int32_t pos,
                 const uint8_t** text, int32_t* text_end, int32_t* first) {
  if (pos < 0 || pos >= end) return false;
  if (t[pos] == '[') {
    *text = t;
    *text_end = end;
    *first = pos + 1;
    return true;
  }
  int32_t num = ref_at(t, end, pos);
  const uint8_t* ot;
  int32_t s, e;
  if (num <= 0 || !obj_value_text(doc, num, &ot, &s, &e)) return false;
  s = skip_ws(ot, s, e);
  if (s >= e || ot[s] != '[') return false;
  *text = ot;
  *text_end = e;
  *first = s + 1;
  return true;
}

// An owned copy of the decoded stream of object num, when it holds more than
// min_len bytes and the page's memory account has room for it (taken for f).
// ASCII85 and Flate are undone; other filters leave raw bytes.
uint8_t* stream_copy(const pdfcore_doc* doc, font* f, int32_t num, int32_t min_len,
                     int32_t* out_len) {
  *out_len = 0;
  if (!doc || num <= 0) return nullptr;
  const obj_entry* o = obj_find(&doc->objects, num);
  if (!o) return nullptr;
  int32_t n = 0;
  uint8_t* bytes = page_stream_decode_shared(doc, o, &n);
  if (!bytes) return nullptr;
  if (n <= min_len || !font_take(f, n)) {
    free(bytes);
    return nullptr;
  }
  *out_len = n;
  return bytes;
}

// Units per em from a TrueType program's head table; 1000 when the program
// is unreadable or gives 0.
double program_units_per_em(const uint8_t* data, int32_t len) {
  if (!data || len < 12) return 1000;
  tf_font dir;
  if (!tf_font_open(&dir, data, len)) return 1000;
  const tf_table* head = tf_find_table(&dir, kTtTagHead);
  if (!head || head->offset > (uint32_t)len || (uint32_t)len - head->offset < kTtHeadUnitsPerEm + 2)
    return 1000;
  const uint8_t* u = data + head->offset + kTtHeadUnitsPerEm;
  int32_t v = u[0] << 8 | u[1];
  return v ? v : 1000;
}

// The glyph a single-byte code stands for in a program's code map: the
// Windows-1252 character's glyph (u = 0 marks the code page's undefined
// codes, which have none). When that character has no glyph, the code itself
// and the symbol area 0xF000 + code are tried, which is where the (3,0) and
// Macintosh subtables of symbolic subset fonts put their glyphs. The code map
// comes from tf_build_cmap, which decodes format 6 subtables too.
int32_t code_glyph(const uint16_t* map, int32_t code) {
  int32_t u = code_to_unicode(code);
  if (u > 0 && u <= 0xFFFF && map[u]) return map[u];
  if (map[code]) return map[code];
  return map[0xF000 + code];
}

// Fills a 256-code glyph table from a program: (glyph, advance / upem) for
// codes with a glyph, (0, missing[code] or missing_default) otherwise.
// Glyphs at or past hhea's count of long metrics get the last long metric's
// advance from tf_hmtx (the mono face lists only four long metrics).
// Returns false when the code map cannot be built.
bool build_glyph_table(const uint8_t* data, int32_t len, double upem, glyph_entry* table,
                       const double* missing, double missing_default) {
  uint16_t* map = (uint16_t*)malloc(65536 * sizeof(uint16_t));
  if (!map) return false;
  int ok = 0;
  tf_build_cmap(data, len, map, &ok);
  for (int32_t c = 0; c < kFontCodes; c++) {
    int32_t g = code_glyph(map, c);
    if (g) {
      int32_t adv = 0;
      tf_hmtx(data, len, g, &adv);
      table[c] = {g, adv / upem};
    } else {
      table[c] = {0, missing ? missing[c] : missing_default};
    }
  }
  free(map);
  return true;
}

void build_missing_base_tables() {
  for (int32_t face = 0; face < kBuiltinFaces; face++) {
    const uint8_t* data = g_font_files[face];
    int32_t len = g_font_lens[face];
    if (s_base_ready[face] || !data || len <= 0) continue;
    double upem = program_units_per_em(data, len);
    if (!build_glyph_table(data, len, upem, s_base_cmap[face], nullptr, 0.5)) continue;
    for (int c = 0; c < kFontCodes; c++) s_base_w[face][c] = s_base_cmap[face][c].width;
    s_base_ready[face] = true;
  }
}

bool base_table_ready(int32_t face) {
  return face >= 0 && face < kBuiltinFaces && s_base_ready[face];
}

// The built-in face standing in for a BaseFont name (the bytes after '/').
int32_t face_for_name(const uint8_t* fd, int32_t len) {
  int32_t v = value_pos(fd, len, "BaseFont");
  char name[128] = {0};
  if (v >= 0 && fd[v] == '/') {
    int32_t n = 0;
    for (int32_t p = v + 1; p < len && n < (int32_t)sizeof name - 1; p++) {
      uint8_t c = fd[p];
      if (!(pdf_is_alnum(c) || c == '+' || c == '-' || c == '.')) break;
      name[n++] = (char)c;
    }
  }
  auto has = [&](const char* s) { return strstr(name, s) != nullptr; };
  if (has("Courier") || has("Mono")) return FACE_MONO;
  if (has("Times") || has("Roman") || has("Garamond") || has("Bookman") || has("Palatino") ||
      has("Century"))
    return FACE_SERIF;
  if (has("Symbol") || has("Zapf")) return -1;
  return FACE_SANS;
}

// Reads widths for codes first..255 from the array value at pos: each value
// times scale, or missing once no number can be read (past the array's end).
void read_code_widths(const pdfcore_doc* doc, const uint8_t* t, int32_t end, int32_t pos,
                      int32_t first, double scale, double missing, double* out) {
  if (first < 0 || first >= kFontCodes) return;
  const uint8_t* at;
  int32_t at_end, p;
  bool have = array_value(doc, t, end, pos, &at, &at_end, &p);
  for (int32_t c = first; c < kFontCodes; c++) {
    double v;
    if (have && read_real(at, at_end, &p, &v)) {
      out[c] = v * scale;
    } else {
      have = false;
      out[c] = missing;
    }
  }
}

int32_t first_char_of(const uint8_t* fd, int32_t len) {
  int32_t p = value_pos(fd, len, "FirstChar");
  double v;
  if (p < 0 || !read_real(fd, len, &p, &v)) return 32;
  return v >= -1e9 && v <= 1e9 ? (int32_t)v : 32;
}

// The embedded TrueType program named by the descriptor's /FontFile2.
void read_font_file(const pdfcore_doc* doc, font* f, const uint8_t* fd, int32_t len) {
  int32_t num = ref_at(fd, len, value_pos(fd, len, "FontDescriptor"));
  char* desc = num > 0 ? obj_dict_text(doc, num) : nullptr;
  if (!desc) return;
  int32_t dl = (int32_t)strlen(desc);
  int32_t ff = ref_at(U(desc), dl, value_pos(U(desc), dl, "FontFile2"));
  free(desc);
  if (ff > 0) f->file = stream_copy(doc, f, ff, 4, &f->file_len);
}

// ---------------------------------------------------------------------------
// Simple fonts.

bool fill_simple(const pdfcore_doc* doc, font* f, const uint8_t* fd, int32_t len) {
  f->first_char = first_char_of(fd, len);
  f->widths = (double*)calloc(kFontCodes, sizeof(double));
  if (!f->widths) return false;
  int32_t wp = value_pos(fd, len, "Widths");
  if (wp >= 0) read_code_widths(doc, fd, len, wp, f->first_char, 0.001, 0.5, f->widths);
  read_font_file(doc, f, fd, len);
  if (f->file) {
    f->units_per_em = f->file_len >= 12 ? program_units_per_em(f->file, f->file_len) : 1000;
    glyph_entry* map = (glyph_entry*)calloc(kFontCodes, sizeof(glyph_entry));
    if (map && build_glyph_table(f->file, f->file_len, f->units_per_em, map, f->widths, 0)) {
      f->glyph_map = map;
    } else {
      free(map);  // the font still advances by its widths but draws nothing
    }
    return true;
  }
  f->units_per_em = 1000;
  f->face = face_for_name(fd, len);
  if (base_table_ready(f->face)) {
    f->glyph_map = s_base_cmap[f->face];
    f->shared_map = 1;
    f->units_per_em = program_units_per_em(g_font_files[f->face], g_font_lens[f->face]);
  }
  return true;
}

// ---------------------------------------------------------------------------
// Composite fonts.

// The descendant font's dictionary: /DescendantFonts [N 0 R], N 0 R naming
// an array object that holds the reference, or an array with the dictionary
// written in place.
char* descendant_dict(const pdfcore_doc* doc, const uint8_t* fd, int32_t len) {
  int32_t p = value_pos(fd, len, "DescendantFonts");
  if (p < 0) return nullptr;
  if (fd[p] == '[') p = skip_ws(fd, p + 1, len);
  if (p >= len) return nullptr;
  if (fd[p] == '<') return dict_text_at(fd, len, p);
  int32_t num = ref_at(fd, len, p);
  if (num <= 0) return nullptr;
  char* d = obj_dict_text(doc, num);
  if (d) return d;
  const uint8_t* t;
  int32_t s, e;
  if (!obj_value_text(doc, num, &t, &s, &e)) return nullptr;
  s = skip_ws(t, s, e);
  if (s < e && t[s] == '[') s = skip_ws(t, s + 1, e);
  num = ref_at(t, e, s);
  return num > 0 ? obj_dict_text(doc, num) : nullptr;
}

void fill_composite(const pdfcore_doc* doc, font* f, const uint8_t* fd, int32_t len) {
  f->dw = 1.0;
  f->units_per_em = 1000;
  char* desc = descendant_dict(doc, fd, len);
  if (!desc) return;
  const uint8_t* d = U(desc);
  int32_t dl = (int32_t)strlen(desc);
  int32_t p = value_pos(d, dl, "DW");
  double v;
  if (p >= 0 && read_real(d, dl, &p, &v) && v >= 0) f->dw = v / 1000;
  p = value_pos(d, dl, "W");
  const uint8_t* wt;
  int32_t wend, wfirst;
  if (p >= 0 && array_value(doc, d, dl, p, &wt, &wend, &wfirst))
    cid_parse_w(f, (const char*)wt, wend, wfirst);
  int32_t map = ref_at(d, dl, value_pos(d, dl, "CIDToGIDMap"));
  if (map > 0) f->cid_to_gid = stream_copy(doc, f, map, 1, &f->cid_to_gid_len);
  read_font_file(doc, f, d, dl);
  free(desc);
  if (f->file && f->file_len > 11) f->units_per_em = program_units_per_em(f->file, f->file_len);
}

// ---------------------------------------------------------------------------
// Type3 fonts.

// A name token's bytes: everything up to white space or a delimiter.
bool name_char(uint8_t c) {
  return !pdf_is_ws(c) && !strchr("()<>[]{}/%", c);
}

// The glyph names of an /Encoding /Differences array, by code (pointers into
// the array's text, not owned). Returns false when there is no such array.
struct differences {
  const uint8_t* name[kFontCodes];
  int32_t len[kFontCodes];
};

bool read_differences(const pdfcore_doc* doc, const uint8_t* fd, int32_t len, char** owned,
                      differences* diff) {
  memset(diff, 0, sizeof *diff);
  *owned = nullptr;
  int32_t p = value_pos(fd, len, "Encoding");
  if (p < 0) return false;
  char* enc = dict_value(doc, fd, len, p);
  if (!enc) return false;
  *owned = enc;
  const uint8_t* e = U(enc);
  int32_t el = (int32_t)strlen(enc);
  const uint8_t* t;
  int32_t end, q;
  int32_t dp = value_pos(e, el, "Differences");
  if (dp < 0 || !array_value(doc, e, el, dp, &t, &end, &q)) return false;
  int64_t code = 0;
  while (q < end) {
    q = skip_ws(t, q, end);
    if (q >= end || t[q] == ']') break;
    double v;
    if (t[q] == '/') {
      int32_t s = ++q;
      while (q < end && name_char(t[q])) q++;
      if (code < kFontCodes) {
        diff->name[code] = t + s;
        diff->len[code] = q - s;
      }
      if (code < kFontCodes) code++;
    } else if (read_real(t, end, &q, &v)) {
      code = v >= 0 && v < kFontCodes ? (int64_t)v : kFontCodes;  // names after it are dropped
    } else {
      break;
    }
  }
  return true;
}

// Stores a copy of proc (object num) at code, replacing an earlier one.
void store_proc(font* f, int32_t code, const uint8_t* proc, int32_t n, int32_t num) {
  if (!font_take(f, n)) return;
  uint8_t* copy = (uint8_t*)malloc((size_t)n);
  if (!copy) {
    page_memory_give(n);
    f->held -= n;
    return;
  }
  memcpy(copy, proc, (size_t)n);
  free(f->t3_procs[code]);
  f->t3_procs[code] = copy;
  f->t3_lens[code] = n;
  f->t3_nums[code] = num;
}

// Reads /CharProcs (written in place or by reference): each entry /name N G R
// names a glyph procedure stream. Its code comes from the /Differences array
// of the font's /Encoding (every code that names it); a font without one
// falls back to the byte value of the name's last character, so one-letter
// names land on their own character.
void read_char_procs(const pdfcore_doc* doc, font* f, const uint8_t* fd, int32_t len) {
  int32_t p = value_pos(fd, len, "CharProcs");
  char* procs = p >= 0 ? dict_value(doc, fd, len, p) : nullptr;
  if (!procs) return;
  char* enc_text;
  differences* diff = (differences*)malloc(sizeof(differences));
  bool have_diff = diff && read_differences(doc, fd, len, &enc_text, diff);
  if (!diff) enc_text = nullptr;
  const uint8_t* t = U(procs);
  int32_t end = (int32_t)strlen(procs);
  int32_t q = 2;  // after "<<"
  while (q < end) {
    q = skip_ws(t, q, end);
    if (q >= end || t[q] != '/') break;
    int32_t s = ++q;
    while (q < end && name_char(t[q])) q++;
    int32_t nlen = q - s;
    q = skip_ws(t, q, end);
    int32_t num = ref_at(t, end, q);
    if (num <= 0) break;  // not a reference: the entries cannot be followed further
    // Step over "N G R".
    parse_int_at(t, end, &q);
    q = skip_ws(t, q, end);
    if (q < end && pdf_is_digit(t[q])) parse_int_at(t, end, &q);
    q = skip_ws(t, q, end);
    if (q < end && t[q] == 'R') q++;
    if (nlen == 0) continue;
    int32_t n = 0;
    uint8_t* proc = stream_copy(doc, f, num, 0, &n);
    if (!proc) continue;
    if (have_diff) {
      for (int32_t c = 0; c < kFontCodes; c++)
        if (diff->len[c] == nlen && memcmp(diff->name[c], t + s, (size_t)nlen) == 0)
          store_proc(f, c, proc, n, num);
    } else {
      store_proc(f, t[s + nlen - 1], proc, n, num);
    }
    free(proc);
    page_memory_give(n);  // the decoded stream is gone; the stored copies stay taken
    f->held -= n;
  }
  free(enc_text);
  free(diff);
  free(procs);
}

bool fill_type3(const pdfcore_doc* doc, font* f, const uint8_t* fd, int32_t len) {
  f->t3_procs = (uint8_t**)calloc(kFontCodes, sizeof(uint8_t*));
  f->t3_lens = (int32_t*)calloc(kFontCodes, sizeof(int32_t));
  f->t3_widths = (double*)calloc(kFontCodes, sizeof(double));
  f->t3_nums = (int32_t*)calloc(kFontCodes, sizeof(int32_t));
  if (!f->t3_procs || !f->t3_lens || !f->t3_widths || !f->t3_nums) return false;
  f->units_per_em = 1000;
  // The FontMatrix maps glyph space to text space; the usual
  // [0.001 0 0 0.001 0 0] makes a 1000-unit glyph one font size tall. Without
  // one, glyph space is text space. Widths are in glyph space too, so they
  // are scaled by the matrix's x scale (thousandths without a matrix).
  f->t3_matrix = {1, 0, 0, 1, 0, 0};
  double width_scale = 0.001;
  int32_t p = value_pos(fd, len, "FontMatrix");
  if (p >= 0 && fd[p] == '[') {
    double m[6];
    int32_t q = p + 1, i = 0;
    while (i < 6 && read_real(fd, len, &q, &m[i])) i++;
    if (i == 6 && std::isfinite(m[0] + m[1] + m[2] + m[3] + m[4] + m[5])) {
      f->t3_matrix = {m[0], m[1], m[2], m[3], m[4], m[5]};
      width_scale = m[0];
    }
  }
  read_char_procs(doc, f, fd, len);
  p = value_pos(fd, len, "Widths");
  if (p >= 0)
    read_code_widths(doc, fd, len, p, first_char_of(fd, len), width_scale, 1.0, f->t3_widths);
  // The glyph procedures name resources in the font's own /Resources.
  p = value_pos(fd, len, "Resources");
  if (p >= 0) {
    f->t3_resources = dict_value(doc, fd, len, p);
    if (f->t3_resources) f->t3_resources_len = (int32_t)strlen(f->t3_resources);
  }
  return true;
}

// The object number of the font resource called name: /Font in the
// resources (in place or by reference), then /name N G R inside it. A name
// that occurs as a prefix of a longer one (/F1 in /F1.0) is passed over.
int32_t font_object(const interp* ctx, const char* name) {
  if (!ctx->resources || ctx->resources_len <= 0) return -1;
  int kind = -1;
  int32_t v = res_value(ctx->resources, ctx->resources_len, "Font", &kind);
  if (v < 0 || kind == 2) return -1;
  char* fonts = dict_value(ctx->doc, U(ctx->resources), ctx->resources_len, v);
  if (!fonts) return -1;
  const uint8_t* t = U(fonts);
  int32_t len = (int32_t)strlen(fonts);
  int32_t k = (int32_t)strlen(name);
  int32_t num = -1;
  for (int32_t p = find_name(t, len, 0, len, name); p >= 0;
       p = find_name(t, len, p + 1, len, name)) {
    int32_t q = p + 1 + k;
    if (q < len && name_char(t[q])) continue;
    q = skip_ws(t, q, len);
    num = ref_at(t, len, q);
    break;
  }
  free(fonts);
  return num;
}

}  // namespace

void build_base_tables(void) {
  build_missing_base_tables();
}

// ---------------------------------------------------------------------------
// Composite widths.

w_range* cid_new_range(font* f, int32_t first, int32_t last) {
  if (f->w_count >= kMaxWidthRanges) return nullptr;
  if (f->w_count == f->w_cap) {
    int32_t cap = f->w_cap ? f->w_cap * 2 : 16;
    w_range* grown = (w_range*)realloc(f->w_ranges, (size_t)cap * sizeof(w_range));
    if (!grown) return nullptr;
    f->w_ranges = grown;
    f->w_cap = cap;
  }
  int32_t a = first > 0 ? first : 0;
  int32_t b = last > a ? last : a;
  if (b > 65535) b = 65535;
  if (a > 65535) a = 65535;
  w_range* r = &f->w_ranges[f->w_count++];
  *r = {a, b, nullptr, 0, 0};
  return r;
}

int cid_parse_w(font* f, const char* text, int32_t len, int32_t pos) {
  const uint8_t* t = U(text);
  int added = 0;
  int32_t p = pos;
  while (p >= 0 && p < len) {
    double c;
    if (!read_real(t, len, &p, &c)) break;
    p = skip_ws(t, p, len);
    if (p >= len) break;
    int32_t first = c >= 0 && c <= 65535 ? (int32_t)c : (c < 0 ? 0 : 65535);
    if (t[p] == '[') {
      w_range* r = cid_new_range(f, first, first);
      if (!r) break;
      added++;
      p++;
      // At most one width per code up to 65535 is kept; further numbers are
      // read and dropped. A widths array that cannot grow keeps the widths it
      // holds, and the range is shortened to them.
      int32_t room = 65536 - r->first, cap = 0, n = 0;
      bool full = false;
      double v;
      while (p < len && read_real(t, len, &p, &v)) {
        if (full || n >= room) continue;
        if (n == cap) {
          int32_t ncap = cap ? cap * 2 : 16;
          double* grown = (double*)realloc(r->widths, (size_t)ncap * sizeof(double));
          if (!grown) {
            full = true;
            continue;
          }
          r->widths = grown;
          cap = ncap;
        }
        r->widths[n++] = v / 1000;
      }
      r->nwidths = n;
      r->last = r->first + (n > 0 ? n : 1) - 1;
      if (n == 0) {
        free(r->widths);
        r->widths = nullptr;
      }
      p = skip_ws(t, p, len);
      if (p < len && t[p] == ']') p++;
    } else if (pdf_is_digit(t[p]) || t[p] == '+' || t[p] == '-' || t[p] == '.') {
      double last, w;
      if (!read_real(t, len, &p, &last) || !read_real(t, len, &p, &w)) break;
      int32_t l = last >= 0 && last <= 65535 ? (int32_t)last : (last < 0 ? 0 : 65535);
      w_range* r = cid_new_range(f, first, l);
      if (!r) break;
      added++;
      r->widths = (double*)malloc(sizeof(double));
      if (r->widths) {
        r->widths[0] = w / 1000;
        r->nwidths = 1;
        r->uniform = 1;
      }
    } else {
      break;
    }
    p = skip_ws(t, p, len);
  }
  return added;
}

// ---------------------------------------------------------------------------
// Advances.

double glyph_advance(const font* f, int32_t code) {
  if (!f) return 0.5;
  if (f->kind == 3) {
    if (code < 0 || code >= kFontCodes) return 0;
    return f->t3_widths ? f->t3_widths[code] : 0.5;
  }
  if (f->kind == 2) {
    for (int32_t i = 0; i < f->w_count; i++) {
      const w_range& r = f->w_ranges[i];
      if (code < r.first || code > r.last) continue;
      if (!r.widths) break;  // a range without widths ends the search
      int32_t k = r.uniform ? 0 : code - r.first;
      if (k < r.nwidths) return r.widths[k];
      break;
    }
    if (f->file) {
      int32_t gid = code;
      if (f->cid_to_gid && code >= 0 && (int64_t)code * 2 + 2 <= f->cid_to_gid_len)
        gid = f->cid_to_gid[2 * code] << 8 | f->cid_to_gid[2 * code + 1];
      int32_t adv = 0;
      if (tf_hmtx(f->file, f->file_len, gid, &adv) && adv > 0)
        return adv / (f->units_per_em > 0 ? f->units_per_em : 1000);
    }
    return f->dw > 0 ? f->dw : 0.5;
  }
  if (code < 0 || code >= kFontCodes) return 0;
  if (f->glyph_map && f->glyph_map[code].gid) return f->glyph_map[code].width;
  return f->widths ? f->widths[code] : 0.5;
}

double text_advance(const font* f, const uint8_t* bytes, int32_t len, double font_size) {
  double x = 0;
  if (!f || !bytes || len <= 0) return 0;
  if (f->kind == 2) {
    for (int32_t i = 0; i + 1 < len; i += 2)
      x += glyph_advance(f, bytes[i] << 8 | bytes[i + 1]) * font_size;
  } else {
    for (int32_t i = 0; i < len; i++) x += glyph_advance(f, bytes[i]) * font_size;
  }
  return x;
}

// ---------------------------------------------------------------------------
// Lookup and the cache.

bool font_take(font* f, int64_t n) {
  if (!page_memory_take(n)) return false;
  if (n > 0) f->held += n;
  return true;
}

void font_free(font* f) {
  if (!f) return;
  free(f->file);
  if (!f->shared_map) free(f->glyph_map);
  if (f->t3_procs)
    for (int i = 0; i < kFontCodes; i++) free(f->t3_procs[i]);
  free(f->t3_procs);
  free(f->t3_lens);
  free(f->t3_nums);
  free(f->t3_widths);
  free(f->t3_resources);
  free(f->widths);
  free(f->cid_to_gid);
  for (int32_t i = 0; i < f->w_count; i++) free(f->w_ranges[i].widths);
  free(f->w_ranges);
  glyph_outline_cache_free(f);
  page_memory_give(f->held);
  free(f);
}

void font_cache_release(interp* ctx) {
  for (int32_t i = 0; i < ctx->font_cache_count && i < kFontCacheSize; i++) {
    if (ctx->font == ctx->font_cache[i]) ctx->font = nullptr;
    font_free(ctx->font_cache[i]);
    free(ctx->font_cache_keys[i]);
    ctx->font_cache[i] = nullptr;
    ctx->font_cache_keys[i] = nullptr;
  }
  ctx->font_cache_count = 0;
}

font* font_get(interp* ctx, const char* name) {
  if (!ctx || !name) return nullptr;
  for (int32_t i = 0; i < ctx->font_cache_count; i++)
    if (strcmp(ctx->font_cache_keys[i], name) == 0) return ctx->font_cache[i];
  // A full cache takes nothing more; nothing would keep a new record alive.
  if (ctx->font_cache_count >= kFontCacheSize) return nullptr;
  int32_t num = font_object(ctx, name);
  char* fd = num > 0 ? obj_dict_text(ctx->doc, num) : nullptr;
  if (!fd) return nullptr;
  const uint8_t* t = U(fd);
  int32_t len = (int32_t)strlen(fd);
  font* f = (font*)calloc(1, sizeof(font));
  bool ok = f != nullptr;
  if (ok) {
    f->obj_num = (uint32_t)num;
    f->face = -1;
    if (find_name(t, len, 0, len, "Type3") >= 0) {
      f->kind = 3;
      ok = fill_type3(ctx->doc, f, t, len);
    } else if (find_name(t, len, 0, len, "Type0") >= 0) {
      f->kind = 2;
      fill_composite(ctx->doc, f, t, len);
    } else {
      f->kind = 1;
      ok = fill_simple(ctx->doc, f, t, len);
    }
  }
  free(fd);
  char* key = ok ? (char*)malloc(kFontCacheKeyBytes) : nullptr;
  if (!key) {
    font_free(f);
    return nullptr;
  }
  // The key keeps at most 63 characters: a longer name is stored cut, so it
  // never matches again and each use resolves anew, taking another slot.
  snprintf(key, kFontCacheKeyBytes, "%s", name);
  ctx->font_cache_keys[ctx->font_cache_count] = key;
  ctx->font_cache[ctx->font_cache_count] = f;
  ctx->font_cache_count++;
  return f;
}
