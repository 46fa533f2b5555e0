// The page tree: classifies objects as /Page or /Pages, reads /Kids, the
// catalog's /Pages, /Rotate and the page box, and walks the tree from its
// root into the page list. Rotation is inherited from /Pages ancestors;
// boxes are read from the page object only.
//
// The walk is depth-limited, expands each /Pages node once, reads the
// attributes of a page object once however often it is listed, and caps the
// page list, so a hostile tree costs time and memory in proportion to its text.
#include "pdfcore/pdfcore_internal.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include "pdfcore/limits.h"

void pagevec_push(pagevec* pages, const pageinfo* p) {
  if (pages->count == pages->cap) {
    if (pages->cap > INT32_MAX / 2) return;
    int32_t cap = pages->cap ? pages->cap * 2 : 64;
    void* grown = realloc(pages->items, sizeof(pageinfo) * (size_t)cap);
    if (!grown) return;
    pages->items = (pageinfo*)grown;
    pages->cap = cap;
  }
  pages->items[pages->count++] = *p;
  double w = std::isfinite(p->x1) && p->x1 > 0 ? p->x1 : 0;
  double h = std::isfinite(p->y1) && p->y1 > 0 ? p->y1 : 0;
  pages->max_area = std::max(pages->max_area, w * h);
  pages->max_span = std::max(pages->max_span, w + h);
}

void pagevec_free(pagevec* pages) {
  free(pages->items);
  pages->items = nullptr;
  pages->count = 0;
  pages->cap = 0;
  pages->max_area = 0;
  pages->max_span = 0;
}

int obj_type(const uint8_t* data, int32_t len, const obj_entry* o) {
  const uint8_t* t;
  int32_t start, end;
  if (!obj_region(data, len, o, &t, &start, &end)) return 0;
  for (int32_t p = find_name_top(t, end, start, end); p >= 0;
       p = find_name_top(t, end, p + 1, end)) {
    int32_t q = skip_ws(t, p + 5, end);
    if (q + 5 > end || t[q] != '/' || memcmp(t + q + 1, "Page", 4) != 0) continue;
    if (q + 5 == end || !pdf_is_alnum(t[q + 5])) return 1;
    if (t[q + 5] == 's' && (q + 6 == end || !pdf_is_alnum(t[q + 6]))) return 2;
    return 0;
  }
  return 0;
}

int32_t parse_pages_ref(const uint8_t* data, int32_t len, const obj_entry* o) {
  const uint8_t* t;
  int32_t start, end;
  if (o->in_objstm) {
    if (!o->payload) return -1;
    t = o->payload;
    start = 0;
    end = o->payload_len;
  } else {
    if (o->dict_off < 0) return -1;
    t = data;
    start = o->dict_off;
    end = o->endobj_off > 0 ? o->endobj_off : len;
  }
  for (int32_t p = find_name(t, end, start, end, "Pages"); p >= 0;
       p = find_name(t, end, p + 1, end, "Pages")) {
    int32_t q = skip_ws(t, p + 6, end);
    int32_t v = parse_int_at(t, end, &q);
    if (v > 0) return v;
  }
  return -1;
}

// Skips whitespace, an optional generation number, whitespace, an 'R' and
// whitespace after an object number.
static int32_t skip_ref_tail(const uint8_t* t, int32_t q, int32_t end) {
  q = skip_ws(t, q, end);
  if (q < end && pdf_is_digit(t[q])) parse_int_at(t, end, &q);
  q = skip_ws(t, q, end);
  if (q < end && t[q] == 'R') q++;
  return skip_ws(t, q, end);
}

int32_t parse_kids(const uint8_t* data, int32_t len, const obj_entry* o, int32_t* values,
                   int32_t capacity) {
  const uint8_t* t;
  int32_t start, end;
  if (!obj_region(data, len, o, &t, &start, &end)) return -1;
  int32_t q = -1;
  for (int32_t p = find_name(t, end, start, end, "Kids"); p >= 0;
       p = find_name(t, end, p + 1, end, "Kids")) {
    int32_t r = skip_ws(t, p + 5, end);
    if (r < end && t[r] == '[') {
      q = r;
      break;
    }
  }
  if (q < 0) return -1;
  q = skip_ws(t, q + 1, end);
  int32_t stored = 0;
  while (q < end && t[q] != ']') {
    uint8_t c = t[q];
    if (c == '<') {
      if (q + 1 < end && t[q + 1] == '<') return -2;
      q++;
    } else if (pdf_is_digit(c)) {
      int32_t v = parse_int_at(t, end, &q);
      if (v > 0 && stored < capacity) values[stored++] = v;
      q = skip_ref_tail(t, q, end);
    } else {
      q++;
    }
  }
  return stored;
}

int32_t obj_rotate_own(const uint8_t* data, int32_t len, const obj_entry* o) {
  const uint8_t* t;
  int32_t start, end;
  if (!obj_region(data, len, o, &t, &start, &end)) return -1;
  int32_t p = find_name(t, end, start, end, "Rotate");
  if (p < 0) return -1;
  int32_t q = skip_ws(t, p + 7, end);
  int32_t v = parse_int_at(t, end, &q);
  return v < 0 ? -1 : v;
}

// Reads one number of a box array at *i: optional sign, digits, optional
// fraction. A lone sign is 0.
static double box_number(const uint8_t* text, int32_t end, int32_t* i) {
  double sign = 1.0;
  if (text[*i] == '+' || text[*i] == '-') {
    if (text[*i] == '-') sign = -1.0;
    (*i)++;
  }
  double v = 0.0;
  while (*i < end && pdf_is_digit(text[*i])) v = v * 10.0 + (text[(*i)++] - '0');
  if (*i < end && text[*i] == '.') {
    (*i)++;
    double w = 0.1;
    while (*i < end && pdf_is_digit(text[*i])) {
      v += (text[(*i)++] - '0') * w;
      w *= 0.1;
    }
  }
  return sign * v;
}

int parse_box_array(const uint8_t* text, int32_t end, int32_t pos, double* x0, double* y0,
                    double* x1, double* y1) {
  int32_t i = skip_ws(text, pos + 1, end);
  if (i >= end) return 0;
  double v[4];
  int n = 0;
  while (n < 4 && i < end) {
    uint8_t c = text[i];
    if (c == ']') return 0;
    if (c == '+' || c == '-' || pdf_is_digit(c))
      v[n++] = box_number(text, end, &i);
    else
      i++;
    i = skip_ws(text, i, end);
  }
  if (n < 4 || !(v[2] > 0) || !(v[3] > 0)) return 0;
  *x0 = v[0];
  *y0 = v[1];
  *x1 = v[2];
  *y1 = v[3];
  return 1;
}

int obj_box(const uint8_t* data, int32_t len, const obj_entry* o, double* x0, double* y0,
            double* x1, double* y1) {
  const uint8_t* t;
  int32_t start, end;
  if (!obj_region(data, len, o, &t, &start, &end)) return 0;
  for (const char* name : {"CropBox", "MediaBox"}) {
    int32_t k = (int32_t)strlen(name) + 1;
    for (int32_t p = find_name(t, end, start, end, name); p >= 0;
         p = find_name(t, end, p + 1, end, name)) {
      int32_t q = skip_ws(t, p + k, end);
      if (q < end && t[q] == '[' && parse_box_array(t, end, q, x0, y0, x1, y1)) return 1;
    }
  }
  return 0;
}

static int32_t reduce_degrees(int32_t r) {
  return (r % 360 + 360) % 360;
}

void fill_pageinfo(const uint8_t* data, int32_t len, const obj_entry* o, pageinfo* info) {
  if (!obj_box(data, len, o, &info->x0, &info->y0, &info->x1, &info->y1)) {
    info->x0 = 0;
    info->y0 = 0;
    info->x1 = 595;
    info->y1 = 842;
  }
  int32_t r = obj_rotate_own(data, len, o);
  info->rotate = r >= 0 ? r % 360 : reduce_degrees(info->inherited_rotate);
}

// ---------------------------------------------------------------------------
// The walk.

namespace {

// What is read from an object once, however often the tree lists it.
struct object_facts {
  int type;
  bool have_page;
  pageinfo page;  // box and own rotation, filled for inherited_rotate 0
  int32_t own_rotate;
};

struct tree_walk {
  const uint8_t* data;
  int32_t len;
  const objvec* objects;
  int32_t max_num;
  pagevec* pages;
  uint8_t* visited;
  std::unordered_map<int32_t, object_facts> facts;
};

}  // namespace

static object_facts& facts_of(tree_walk* w, const obj_entry* o) {
  auto it = w->facts.find(o->num);
  if (it != w->facts.end()) return it->second;
  object_facts f = {};
  f.type = obj_type(w->data, w->len, o);
  return w->facts.emplace(o->num, f).first->second;
}

// Appends the page o with the rotation its ancestors hand down.
// Returns 0, or -1 when the page list is full.
static int append_page(tree_walk* w, const obj_entry* o, int32_t rotation) {
  if (w->pages->count >= pdfcore_limits::kMaxPages) return -1;
  object_facts& f = facts_of(w, o);
  if (!f.have_page) {
    f.page.num = o->num;
    f.page.inherited_rotate = 0;
    fill_pageinfo(w->data, w->len, o, &f.page);
    f.own_rotate = obj_rotate_own(w->data, w->len, o);
    f.have_page = true;
  }
  pageinfo p = f.page;
  p.inherited_rotate = reduce_degrees(rotation);
  if (f.own_rotate < 0) p.rotate = p.inherited_rotate;
  pagevec_push(w->pages, &p);
  return 0;
}

static int32_t walk(tree_walk* w, int32_t num, int32_t rotation, int depth) {
  const obj_entry* o = obj_find(w->objects, num);
  if (!o) return -1;
  int type = facts_of(w, o).type;
  if (type == 1) return append_page(w, o, rotation) < 0 ? -1 : 1;
  if (type != 2) return -1;
  if (depth > pdfcore_limits::kMaxPageTreeDepth) return -1;
  if (num <= w->max_num) {
    if (w->visited[num]) return -1;
    w->visited[num] = 1;
  }

  int32_t capacity = 4096;
  if (o->in_objstm)
    capacity = o->payload_len / 4 + 4096;
  else if (o->endobj_off > o->head_off)
    capacity = (o->endobj_off - o->head_off) / 4 + 4096;
  int32_t* kids = (int32_t*)malloc(sizeof(int32_t) * (size_t)capacity);
  if (!kids) return -1;
  int32_t n = parse_kids(w->data, w->len, o, kids, capacity);
  if (n == -2 || n <= 0) {
    free(kids);
    return n == -2 ? -2 : 0;
  }
  int32_t r = obj_rotate_own(w->data, w->len, o);
  if (r == -1) r = rotation;
  r = reduce_degrees(r);

  int32_t result = 0;
  for (int32_t i = 0; i < n && result == 0; i++) {
    const obj_entry* kid = obj_find(w->objects, kids[i]);
    if (!kid) {
      result = -1;
      break;
    }
    int kind = facts_of(w, kid).type;
    if (kind == 1)
      result = append_page(w, kid, r);
    else if (kind == 2)
      result = walk(w, kids[i], r, depth + 1) < 0 ? -1 : 0;
    else
      result = -1;
  }
  free(kids);
  return result < 0 ? -1 : w->pages->count;
}

int32_t resolve_pages(const uint8_t* data, int32_t len, const objvec* objects, int32_t num,
                      int32_t max_num, pagevec* pages, uint8_t* visited, int32_t rotation) {
  tree_walk w{data, len, objects, max_num, pages, visited, {}};
  return walk(&w, num, rotation, 0);
}
