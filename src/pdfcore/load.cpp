// Document loading: reads the whole file, finds every object by scanning for
// "N G obj" headers, fixes where stream data end, unpacks object streams,
// keeps one definition per object number and resolves the page tree.
//
// The scan trusts no offset from the file. Keyword searches whose results do
// not depend on where they start ("endobj", "endstream") are answered from
// sorted position lists, so a hostile file with many unterminated objects
// still loads in time proportional to its size.
#include "pdfcore/pdfcore_internal.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "pdfcore/limits.h"
#include "platform/platform.h"

// ---------------------------------------------------------------------------
// The object table.

void objvec_push(objvec* objects, const obj_entry* e) {
  if (objects->count == objects->cap) {
    if (objects->cap > INT32_MAX / 2) return;
    int32_t cap = objects->cap ? objects->cap * 2 : 128;
    void* grown = realloc(objects->items, sizeof(obj_entry) * (size_t)cap);
    if (!grown) return;
    objects->items = (obj_entry*)grown;
    objects->cap = cap;
  }
  objvec_index_drop(objects);
  objects->items[objects->count++] = *e;
}

void objvec_index_drop(objvec* objects) {
  free(objects->index);
  objects->index = nullptr;
  objects->index_valid = 0;
}

void objvec_index_build(objvec* objects) {
  objvec_index_drop(objects);
  if (objects->count == 0) return;
  int32_t* idx = (int32_t*)malloc(sizeof(int32_t) * (size_t)objects->count);
  if (!idx) return;
  for (int32_t i = 0; i < objects->count; i++) idx[i] = i;
  const obj_entry* items = objects->items;
  std::sort(idx, idx + objects->count, [items](int32_t a, int32_t b) {
    return items[a].num != items[b].num ? items[a].num < items[b].num : a < b;
  });
  objects->index = idx;
  objects->index_valid = 1;
}

void objvec_free(objvec* objects) {
  objvec_index_drop(objects);
  free(objects->items);
  objects->items = nullptr;
  objects->count = 0;
  objects->cap = 0;
}

const obj_entry* obj_find(const objvec* objects, int32_t num) {
  if (objects->index_valid) {
    const obj_entry* items = objects->items;
    const int32_t* first =
        std::lower_bound(objects->index, objects->index + objects->count, num,
                         [items](int32_t i, int32_t n) { return items[i].num < n; });
    if (first != objects->index + objects->count && items[*first].num == num) return &items[*first];
    return nullptr;
  }
  for (int32_t i = 0; i < objects->count; i++)
    if (objects->items[i].num == num) return &objects->items[i];
  return nullptr;
}

int obj_region(const uint8_t* data, int32_t len, const obj_entry* o, const uint8_t** text,
               int32_t* start, int32_t* end) {
  if (o->in_objstm) {
    if (!o->payload) return 0;
    *text = o->payload;
    *start = 0;
    *end = o->payload_len;
    return 1;
  }
  if (o->dict_off < 0) return 0;
  *text = data;
  *start = o->dict_off;
  *end = o->stream_off > 0 ? o->stream_off : (o->endobj_off > 0 ? o->endobj_off : len);
  return 1;
}

int is_objstm(const uint8_t* data, int32_t len, const obj_entry* o) {
  if (o->in_objstm || !o->is_stream || o->dict_off < 0) return 0;
  int32_t end = o->stream_off > 0 ? o->stream_off : len;
  return find_name(data, len, o->dict_off, end, "ObjStm") >= 0;
}

// ---------------------------------------------------------------------------
// Keyword position lists.

// Every boundary-respecting occurrence of kw, in file order.
static std::vector<int32_t> keyword_positions(const uint8_t* data, int32_t len, const char* kw) {
  std::vector<int32_t> at;
  int32_t k = (int32_t)strlen(kw);
  for (int32_t p = find_kw(data, len, 0, kw); p >= 0; p = find_kw(data, len, p + k, kw))
    at.push_back(p);
  return at;
}

// The same answer as find_kw(data, len, start, kw) for the list of kw.
static int32_t next_in(const std::vector<int32_t>& at, int32_t start) {
  if (start < 0) start = 0;
  auto it = std::lower_bound(at.begin(), at.end(), start);
  return it == at.end() ? -1 : *it;
}

// ---------------------------------------------------------------------------
// Scan pass 1: object headers.

// C whitespace: here NUL does not count, but VT does.
static bool c_space(uint8_t c) {
  return c == ' ' || (c >= 9 && c <= 13);
}

// Reads "num gen" backwards from the "obj" keyword at p. Returns 1 and the
// header's first digit and number when the header is well formed.
static int parse_obj_head(const uint8_t* data, int32_t p, int32_t* head, int32_t* num) {
  int32_t q = p - 1;
  while (q >= 0 && c_space(data[q])) q--;
  if (q <= 0 || !pdf_is_digit(data[q])) return 0;
  while (q >= 0 && pdf_is_digit(data[q])) q--;  // the generation
  if (q < 0 || !c_space(data[q])) return 0;
  while (q > 0 && c_space(data[q])) q--;
  if (!pdf_is_digit(data[q])) return 0;
  while (q > 0 && pdf_is_digit(data[q - 1])) q--;
  // A number glued to a letter, a sign or a point is not an object number
  // ("-3 0 obj" is not object 3).
  if (q > 0 &&
      (pdf_is_alnum(data[q - 1]) || data[q - 1] == '-' || data[q - 1] == '+' || data[q - 1] == '.'))
    return 0;
  // Numbers past INT32_MAX are refused rather than wrapped onto small ones.
  uint64_t v = 0;
  for (int32_t i = q; pdf_is_digit(data[i]) && v <= (uint64_t)INT32_MAX; i++)
    v = v * 10u + (uint64_t)(data[i] - '0');
  if (v < 1 || v > (uint64_t)INT32_MAX) return 0;
  *head = q;
  *num = (int32_t)v;
  return 1;
}

// First byte of stream data after the "stream" keyword at s: past one
// end-of-line (spaces and tabs before it allowed), else one byte further.
static int32_t stream_data_start(const uint8_t* data, int32_t len, int32_t s) {
  int32_t q = s + 6;
  if (q >= len) return q;
  int32_t r = q;
  while (r < len && (data[r] == ' ' || data[r] == '\t')) r++;
  if (r < len && data[r] == '\r') return (r + 1 < len && data[r + 1] == '\n') ? r + 2 : r + 1;
  if (r < len && data[r] == '\n') return r + 1;
  return q + 1;
}

struct scan_lists {
  std::vector<int32_t> obj;  // "obj" keywords with a byte after them
  std::vector<int32_t> endobj, endstream;
};

// One pass over the bytes "obj" finds both the "obj" and the "endobj"
// keywords (boundary rules as in kw_at).
static void find_obj_keywords(const uint8_t* data, int32_t len, scan_lists* kw) {
  for (int32_t p = 0; p + 3 <= len; p++) {
    const void* hit = memchr(data + p, 'o', (size_t)(len - 3 - p + 1));
    if (!hit) break;
    p = (int32_t)((const uint8_t*)hit - data);
    if (data[p + 1] != 'b' || data[p + 2] != 'j') continue;
    if (p + 3 < len && pdf_is_alnum(data[p + 3])) continue;
    if (p == 0 || !pdf_is_alnum(data[p - 1])) {
      if (p + 3 < len) kw->obj.push_back(p);
    } else if (p >= 3 && memcmp(data + p - 3, "end", 3) == 0 &&
               (p == 3 || !pdf_is_alnum(data[p - 4]))) {
      kw->endobj.push_back(p - 3);
    }
  }
}

static void scan_pass1(const uint8_t* data, int32_t len, const scan_lists& kw, objvec* objects) {
  struct header {
    int32_t kw, head, num;
  };
  std::vector<header> heads;
  for (int32_t p : kw.obj) {
    header h = {p, 0, 0};
    if (parse_obj_head(data, p, &h.head, &h.num)) heads.push_back(h);
  }
  for (size_t i = 0; i < heads.size(); i++) {
    obj_entry e = {heads[i].num, heads[i].head, -1, -1, -1, -1, -1, 0, 0, nullptr, 0};
    int32_t after = heads[i].kw + 3;
    int32_t q = skip_ws(data, after, len);
    if (q < len && data[q] == '<') {
      e.dict_off = q;
      // The dictionary must close before the next object header: a dictionary
      // left open runs into the next object instead of across the whole file.
      int32_t bound = i + 1 < heads.size() ? heads[i + 1].head : len;
      int32_t c = find_dict_close(data, q, bound);
      int32_t s = c >= 0 ? skip_ws(data, c + 2, len) : -1;
      if (s >= 0 && kw_at(data, s, len, "stream")) {
        e.stream_off = s;
        e.is_stream = 1;
        e.data_off = stream_data_start(data, len, s);
        objvec_push(objects, &e);
        continue;
      }
      e.endobj_off = next_in(kw.endobj, q);
    } else {
      e.endobj_off = next_in(kw.endobj, after);
    }
    if (e.endobj_off >= 0) objvec_push(objects, &e);
  }
}

// ---------------------------------------------------------------------------
// Scan pass 2: where stream data end.

int32_t indirect_length(const uint8_t* data, int32_t len, const objvec* objects, int32_t ref) {
  const obj_entry* t = obj_find(objects, ref);
  if (!t || t->is_stream || t->head_off < 0) return -1;
  int32_t q = t->head_off;
  parse_int_at(data, len, &q);
  q = skip_ws(data, q, len);
  if (q < len && pdf_is_digit(data[q])) parse_int_at(data, len, &q);
  q = skip_ws(data, q, len);
  if (kw_at(data, q, len, "obj")) q = skip_ws(data, q + 3, len);
  return parse_int_at(data, len, &q);
}

static void stream_end(const uint8_t* data, int32_t len, const objvec* objects,
                       const scan_lists& kw, obj_entry* e) {
  int32_t direct, ref;
  parse_length(data, len, e->dict_off, e->stream_off, &direct, &ref);
  int32_t L = direct;
  if (L < 0 && ref >= 0) L = indirect_length(data, len, objects, ref);
  if (L < 0) return;  // no usable /Length: the stream is dropped
  int64_t accepted = -1;
  int64_t cand = (int64_t)e->data_off + L;
  if (cand <= len) {
    int32_t s = (int32_t)cand;
    while (s < len && c_space(data[s])) s++;
    if (s + 8 < len && memcmp(data + s, "endstream", 9) == 0) accepted = cand;
  }
  if (accepted < 0) {
    int32_t m = next_in(kw.endstream, e->data_off + 1);
    if (m < 0) {
      m = len;
    } else if (data[m - 1] == '\n') {
      m--;
      if (m - 1 >= e->data_off && data[m - 1] == '\r') m--;
    } else if (data[m - 1] == '\r') {
      m--;
    }
    accepted = m;
  }
  e->data_end = (int32_t)std::max<int64_t>(accepted, e->data_off);
  e->endobj_off = next_in(kw.endobj, e->data_end + 1);
}

// Removes entry j by moving the last entry into its slot.
static void remove_at(objvec* objects, int32_t j) {
  objects->items[j] = objects->items[objects->count - 1];
  objects->count--;
}

static void scan_pass2(const uint8_t* data, int32_t len, const scan_lists& kw, objvec* objects) {
  objvec_index_build(objects);
  for (int32_t i = 0; i < objects->count; i++)
    if (objects->items[i].is_stream) stream_end(data, len, objects, kw, &objects->items[i]);
  objvec_index_drop(objects);

  // Headers inside stream data are text that only looked like objects.
  struct range {
    int32_t from, to;
  };
  std::vector<range> ranges;
  for (int32_t i = 0; i < objects->count; i++) {
    const obj_entry& e = objects->items[i];
    if (e.is_stream && e.data_off >= 0 && e.data_off < e.data_end)
      ranges.push_back({e.data_off, e.data_end});
  }
  std::sort(ranges.begin(), ranges.end(),
            [](const range& a, const range& b) { return a.from < b.from; });
  std::vector<int32_t> reach(ranges.size());  // running maximum of ends
  for (size_t r = 0; r < ranges.size(); r++)
    reach[r] = r ? std::max(reach[r - 1], ranges[r].to) : ranges[r].to;
  int32_t j = 0;
  while (j < objects->count) {
    const obj_entry& e = objects->items[j];
    bool drop = e.is_stream && e.endobj_off == -1;
    if (!drop && e.head_off >= 0 && !ranges.empty()) {
      auto it = std::upper_bound(ranges.begin(), ranges.end(), e.head_off,
                                 [](int32_t h, const range& r) { return h < r.from; });
      if (it != ranges.begin() && e.head_off < reach[(size_t)(it - ranges.begin()) - 1])
        drop = true;
    }
    if (drop)
      remove_at(objects, j);
    else
      j++;
  }
}

// ---------------------------------------------------------------------------
// Duplicates: the last direct definition wins, then the last member of an
// object stream; object streams themselves leave the table.

static int dedupe(const uint8_t* data, int32_t len, objvec* objects, int32_t* max_num) {
  const int32_t limit = pdfcore_limits::kMaxObjectNumber;
  int32_t n = objects->count;
  std::vector<uint8_t> container(n);
  int32_t max = 0;
  for (int32_t i = 0; i < n; i++) {
    const obj_entry& e = objects->items[i];
    container[i] = (uint8_t)is_objstm(data, len, &e);
    if (e.num <= limit && e.num > max) max = e.num;
  }
  // The winner of each number: the last direct definition that is not an
  // object stream container, else the last object-stream member. Entries are
  // grouped by number through a sort of their indices, so the cost follows
  // the number of objects, not the largest object number.
  std::vector<int32_t> order;
  std::vector<char> keep(n, 0);
  bool sorted = true;
  try {
    order.reserve((size_t)n);
  } catch (const std::bad_alloc&) {
    sorted = false;
  }
  if (sorted) {
    for (int32_t i = 0; i < n; i++)
      if (objects->items[i].num <= limit) order.push_back(i);
    std::stable_sort(order.begin(), order.end(), [objects](int32_t a, int32_t b) {
      return objects->items[a].num < objects->items[b].num;
    });
    for (size_t g = 0; g < order.size();) {
      size_t h = g;
      int32_t direct = -1, packed = -1;
      for (; h < order.size() && objects->items[order[h]].num == objects->items[order[g]].num;
           h++) {
        int32_t i = order[h];
        if (objects->items[i].in_objstm)
          packed = i;
        else if (!container[i])
          direct = i;
      }
      if (direct >= 0)
        keep[direct] = 1;
      else if (packed >= 0)
        keep[packed] = 1;
      g = h;
    }
  } else {
    // Without the index: every direct definition stays, and a member
    // stays when no direct definition has its number.
    for (int32_t i = 0; i < n; i++) {
      const obj_entry& e = objects->items[i];
      if (e.num > limit) continue;
      if (!e.in_objstm) {
        keep[i] = !container[i];
        continue;
      }
      bool has_direct = false;
      for (int32_t k = 0; k < n && !has_direct; k++)
        has_direct =
            !objects->items[k].in_objstm && !container[k] && objects->items[k].num == e.num;
      keep[i] = !has_direct;
    }
  }

  int32_t survivors = 0, top = 0;
  for (int32_t i = 0; i < n; i++) {
    if (!keep[i]) continue;
    survivors++;
    top = std::max(top, objects->items[i].num);
  }
  objvec kept = {};
  if (survivors > 0) {
    kept.items = (obj_entry*)malloc(sizeof(obj_entry) * (size_t)survivors);
    if (!kept.items) return -1;
    kept.cap = survivors;
    for (int32_t i = 0; i < n; i++)
      if (keep[i]) kept.items[kept.count++] = objects->items[i];
  }
  objvec_free(objects);
  *objects = kept;
  *max_num = top;
  objvec_index_build(objects);
  return 0;
}

// ---------------------------------------------------------------------------
// Catalog and page tree.

// First object in table order whose text names /Catalog, or 1.
static int32_t find_catalog_by_name(const uint8_t* data, int32_t len, const objvec* objects) {
  // Positions of "/Catalog" in the file: ok marks those followed by a name
  // boundary. A direct object's text is [dict_off, endobj_off or len), and
  // texts of objects sharing an "endobj" overlap, so the file is searched
  // once rather than once per object.
  const int32_t k = 8;
  std::vector<int32_t> raw, ok;
  for (int32_t p = find_name(data, len, 0, len, "Catalog"); p >= 0;
       p = find_name(data, len, p + 1, len, "Catalog"))
    ok.push_back(p);
  for (int32_t p = 0; p + k <= len; p++) {
    const void* slash = memchr(data + p, '/', (size_t)(len - k - p + 1));
    if (!slash) break;
    p = (int32_t)((const uint8_t*)slash - data);
    if (memcmp(data + p, "/Catalog", (size_t)k) == 0) raw.push_back(p);
  }
  for (int32_t i = 0; i < objects->count; i++) {
    const obj_entry& e = objects->items[i];
    if (e.in_objstm) {
      if (e.payload_len > 7 &&
          find_name(e.payload, e.payload_len, 0, e.payload_len, "Catalog") >= 0)
        return e.num;
      continue;
    }
    if (e.dict_off < 0) continue;
    int32_t a = e.dict_off, b = e.endobj_off > 0 ? e.endobj_off : len;
    int32_t p = next_in(ok, a);
    if (p >= 0 && p + k <= b) return e.num;
    // A name ending exactly at the end of the text needs no boundary.
    if (b - k >= a && std::binary_search(raw.begin(), raw.end(), b - k)) return e.num;
  }
  return 1;
}

static int choose_pages(pdfcore_doc* doc) {
  const objvec* objects = &doc->objects;
  if (doc->xref.root >= 0 && obj_find(objects, doc->xref.root))
    doc->catalog = doc->xref.root;
  else
    doc->catalog = find_catalog_by_name(doc->data, doc->len, objects);
  const obj_entry* cat = obj_find(objects, doc->catalog);
  if (!cat) {
    pdfcore_set_error("catalog (obj %ld) has no /Pages reference", (long)doc->catalog);
    return -1;
  }
  int32_t root = doc->catalog;
  int t = obj_type(doc->data, doc->len, cat);
  if (t != 1 && t != 2) {
    root = parse_pages_ref(doc->data, doc->len, cat);
    if (root < 0) {
      pdfcore_set_error("catalog (obj %ld) has no /Pages reference", (long)doc->catalog);
      return -1;
    }
  }
  uint8_t* visited = (uint8_t*)calloc((size_t)doc->max_num + 1, 1);
  if (!visited) {
    pdfcore_set_error("out of memory");
    return -1;
  }
  int32_t r =
      resolve_pages(doc->data, doc->len, objects, root, doc->max_num, &doc->pages, visited, 0);
  free(visited);
  if (r == -2) {
    pdfcore_set_error(
        "page tree uses inline page dictionaries in /Kids \xE2\x80\x94 pages must be indirect "
        "objects");
    return -1;
  }
  if (r < 0) {
    pdfcore_set_error(
        "could not resolve the page tree (obj %ld is not a /Pages or /Page object, or tree is "
        "broken)",
        (long)root);
    return -1;
  }
  if (r == 0) {
    pdfcore_set_error("document has no pages");
    return -1;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Loading.

int doc_parse(pdfcore_doc* doc, const char* name) {
  const uint8_t* data = doc->data;
  int32_t len = doc->len;
  parse_xref(data, len, &doc->xref);
  scan_lists kw;
  find_obj_keywords(data, len, &kw);
  kw.endstream = keyword_positions(data, len, "endstream");
  scan_pass1(data, len, kw, &doc->objects);
  scan_pass2(data, len, kw, &doc->objects);
  extract_all_objstm(data, len, &doc->objects, &doc->arena);
  if (dedupe(data, len, &doc->objects, &doc->max_num) < 0) {
    pdfcore_set_error("out of memory");
    return -1;
  }
  if (doc->objects.count == 0) {
    pdfcore_set_error("no PDF objects found \xE2\x80\x94 not a PDF: %s", name);
    return -1;
  }
  if (doc->xref.encrypted) {
    pdfcore_set_error("encrypted PDFs are not supported: %s", name);
    return -1;
  }
  return choose_pages(doc);
}

// Parses doc->data, converting an allocation failure inside the scan into the
// out-of-memory message, and empties the record on failure.
static int parse_or_free(pdfcore_doc* doc, const char* name) {
  int rc;
  try {
    rc = doc_parse(doc, name);
  } catch (const std::bad_alloc&) {
    pdfcore_set_error("out of memory");
    rc = -1;
  }
  if (rc != 0) pdfcore_doc_free(doc);
  // Without a memo every page decodes its streams itself.
  if (rc == 0) doc->memo = stream_memo_new();
  return rc;
}

static void doc_reset(pdfcore_doc* doc) {
  memset(doc, 0, sizeof *doc);
  doc->xref.root = -1;
  doc->catalog = -1;
}

static const char kTooLarge[] = "file too large (2 GiB or more): %s";

static int doc_load(const char* path, pdfcore_doc* doc) {
  doc_reset(doc);
  if (!path) {
    pdfcore_set_error("NULL path argument");
    return -1;
  }
  // A directory opens for reading on Linux, and its size would then read
  // as huge: it is a file that cannot be opened.
  FILE* f = platform_is_directory(path) ? nullptr : fopen(path, "rb");
  if (!f) {
    pdfcore_set_error("cannot open %s", path);
    return -1;
  }
  int64_t size = platform_file_size(f);
  if (size > pdfcore_limits::kMaxFileBytes) {
    fclose(f);
    pdfcore_set_error(kTooLarge, path);
    return -1;
  }
  if (size <= 0) {
    fclose(f);
    pdfcore_set_error("empty input file: %s", path);
    return -1;
  }
  doc->len = (int32_t)size;
  doc->data = platform_file_buffer_alloc((size_t)size);
  bool ok = doc->data && fseek(f, 0, SEEK_SET) == 0 &&
            fread(doc->data, 1, (size_t)size, f) == (size_t)size;
  fclose(f);
  if (!ok) {
    pdfcore_doc_free(doc);
    pdfcore_set_error("read error on %s", path);
    return -1;
  }
  return parse_or_free(doc, path);
}

int pdfcore_load(const char* path, pdfcore_doc* doc) {
  if (doc_load(path, doc) == 0) return 1;
  pdfcore_doc_free(doc);
  return 0;
}

// Copies the bytes into a fresh record; the checks mirror those of a file.
static int doc_load_memory(const uint8_t* bytes, size_t size, const char* name, pdfcore_doc* doc) {
  doc_reset(doc);
  if (size > (size_t)pdfcore_limits::kMaxFileBytes) {
    pdfcore_set_error(kTooLarge, name);
    return -1;
  }
  if (size == 0 || !bytes) {
    pdfcore_set_error("empty input file: %s", name);
    return -1;
  }
  doc->data = platform_file_buffer_alloc(size);
  if (!doc->data) {
    pdfcore_set_error("read error on %s", name);
    return -1;
  }
  memcpy(doc->data, bytes, size);
  doc->len = (int32_t)size;
  return parse_or_free(doc, name);
}

int pdfcore_load_memory(const uint8_t* bytes, size_t size, const char* name, pdfcore_doc* doc) {
  if (doc_load_memory(bytes, size, name ? name : "(memory)", doc) == 0) return 1;
  pdfcore_doc_free(doc);
  return 0;
}

void pdfcore_doc_free(pdfcore_doc* doc) {
  platform_file_buffer_free(doc->data, (size_t)doc->len);
  arena_free(&doc->arena);
  objvec_free(&doc->objects);
  pagevec_free(&doc->pages);
  stream_memo_free(doc->memo);
  memset(doc, 0, sizeof *doc);
}
