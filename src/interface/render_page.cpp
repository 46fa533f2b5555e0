// The page rendering driver: sizes the raster from the page box, rotation and
// resolution, builds the page transform, joins and decodes the page's content
// streams, runs the interpreter over them and hands back RGBA pixels.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "interface/interface.h"
#include "interp/interp.h"
#include "pdfcore/limits.h"
#include "pdfcore/pdfcore.h"
#include "raster/raster.h"

// The room buf_reserve gives a non-empty b for n more bytes: its capacity
// doubled until they fit.
static uint64_t grown_cap(const buf* b, uint64_t n) {
  uint64_t cap = b->cap;
  while (cap < b->len + n + 1) cap *= 2;
  return cap;
}

// The joined content of a page and the last stream decoded for it: a stream
// listed again right after itself is appended from that copy, and one that
// failed is not tried again, so a /Contents array naming one stream a
// thousand times decodes it once.
struct content_join {
  buf joined = {};
  page_memory_hold hold;  // the joined content's room
  int32_t last_num = -1;
  uint8_t* last = nullptr;  // null when last_num failed to decode
  int32_t last_len = 0;
  ~content_join() { free(last); }
};

// Decodes one content stream object and appends it to the joined content,
// whose room is held in the page's memory account.
static void append_stream(const pdfcore_doc* doc, int32_t num, content_join* c) {
  if (num != c->last_num) {
    free(c->last);
    c->last = nullptr;
    c->last_len = 0;
    c->last_num = num;
    const obj_entry* o = obj_find(&doc->objects, num);
    // Once the decode budget is spent, no further stream is tried.
    if (!o || page_decode_left() <= 0) return;
    c->last = page_stream_decode(doc, o, &c->last_len);
  }
  int32_t n = c->last_len;
  if (!c->last || n <= 0) return;
  // The interpreter takes a 32-bit length: content beyond it is not joined.
  buf* joined = &c->joined;
  if (!joined->data) {
    // The first stream gets room for exactly itself: growing a small block
    // by doubling would copy large content again and again, and hold up to
    // twice its size.
    if (c->hold.take((int64_t)n + 1)) {
      joined->data = (uint8_t*)malloc((size_t)n + 1);
      if (joined->data) {
        memcpy(joined->data, c->last, (size_t)n);
        joined->data[n] = 0;
        joined->len = (uint64_t)n;
        joined->cap = (uint64_t)n + 1;
      }
    }
    return;
  }
  if (joined->len + (uint64_t)n <= (uint64_t)INT32_MAX) {
    uint64_t cap = grown_cap(joined, (uint64_t)n);
    if (c->hold.take((int64_t)(cap - joined->cap))) buf_bytes(joined, c->last, (uint64_t)n);
  }
}

// Joins the streams named by the page's /Contents (a reference or an array of
// references), directly, without separators.
static void gather_contents(const pdfcore_doc* doc, const pageinfo* page, content_join* c) {
  const obj_entry* po = obj_find(&doc->objects, page->num);
  const uint8_t* t;
  int32_t start, end;
  if (!po || !obj_region(doc->data, doc->len, po, &t, &start, &end)) return;
  int32_t p = find_name(t, end, start, end, "Contents");
  if (p < 0) return;
  int32_t q = skip_ws(t, p + 9, end);
  if (q >= end) return;
  if (pdf_is_digit(t[q])) {
    append_stream(doc, parse_int_at(t, end, &q), c);
  } else if (t[q] == '[') {
    q++;
    while (q < end && t[q] != ']') {
      if (!pdf_is_digit(t[q])) {
        q++;
        continue;
      }
      int32_t num = parse_int_at(t, end, &q);
      q = skip_ws(t, q, end);
      if (q < end && pdf_is_digit(t[q])) {
        parse_int_at(t, end, &q);
        q = skip_ws(t, q, end);
      }
      if (q < end && t[q] == 'R') q++;
      append_stream(doc, num, c);
    }
  }
  // The last copy goes before the content runs (a single stream's too).
  free(c->last);
  c->last = nullptr;
}

// The CTM the page content starts with: rotation about the box, then the
// resolution's scale, then the flip to rows counted from the top.
static matrix page_transform(const pageinfo* pg, int32_t r, double scale, int32_t height) {
  matrix rot = {1, 0, 0, 1, 0, 0};
  if (r == 90)
    rot = {0, -1, 1, 0, pg->x0, pg->y0 + pg->x1};
  else if (r == 180)
    rot = {-1, 0, 0, -1, pg->x0 + pg->x1, pg->y0 + pg->y1};
  else if (r == 270)
    rot = {0, 1, -1, 0, pg->x0 + pg->y1, pg->y0};
  matrix sc = {scale, 0, 0, scale, 0, 0};
  matrix flip = {1, 0, 0, -1, 0, (double)height};
  matrix t, out;
  mat_mult(&t, &sc, &rot);
  mat_mult(&out, &flip, &t);
  return out;
}

// A page side in pixels, rounded; far-out values saturate so that the size
// check below refuses them.
static int64_t side_pixels(double points, double scale) {
  double v = points * scale;
  if (!(v < 1e15)) return std::isnan(v) ? 0 : INT64_MAX / 2;
  if (v < -1e15) return -1;
  return llround(v);  // long long: a long has only 32 bits on Windows
}

int page_pixel_size(const pageinfo* pg, int32_t dpi, int32_t* width, int32_t* height) {
  double scale = dpi / 72.0;
  int64_t W = side_pixels(pg->x1, scale), H = side_pixels(pg->y1, scale);
  int32_t r = pg->rotate % 360;
  if (r == 90 || r == 270) std::swap(W, H);
  *width = W > 0 ? (int32_t)std::min<int64_t>(W, INT32_MAX) : 1;
  *height = H > 0 ? (int32_t)std::min<int64_t>(H, INT32_MAX) : 1;
  return W <= kMaxCanvasSide && H <= kMaxCanvasSide;
}

// A side of s points takes at most s * scale + 1 pixels (rounded, or 1 when
// empty), so (w * scale + 1) * (h * scale + 1) bounds every page.
uint64_t largest_page_pixels(const pdfcore_doc* doc, int32_t dpi) {
  double scale = dpi / 72.0;
  double bound = doc->pages.max_area * scale * scale + doc->pages.max_span * scale + 1;
  if (!(bound <= (double)kMaxCanvasSide * kMaxCanvasSide)) return 0;
  return (uint64_t)bound;
}

int render_page_canvas(const pdfcore_doc* doc, int32_t index, int32_t dpi, canvas* out) {
  memset(out, 0, sizeof *out);
  int32_t count = doc->pages.count;
  if (index < 0 || index >= count) {
    pdfcore_set_error("page %d out of range (1..%d)", index + 1, count);
    return 0;
  }
  const pageinfo* pg = &doc->pages.items[index];
  double scale = dpi / 72.0;
  int32_t r = pg->rotate % 360;
  int32_t width = 0, height = 0;
  if (!page_pixel_size(pg, dpi, &width, &height)) {
    pdfcore_set_error("page too large at %d dpi (%dx%d px)", dpi, width, height);
    return 0;
  }

  canvas& cv = *out;
  if (!canvas_init_opaque(&cv, width, height, largest_page_pixels(doc, dpi))) {
    pdfcore_set_error("out of memory rendering page %d", index + 1);
    return 0;
  }
  // What the page holds beyond its raster is bounded by its memory account,
  // and the work of all its contexts by one set of budgets.
  page_memory_begin(pdfcore_limits::kMaxPageMemoryBytes, pdfcore_limits::kMaxPageDecodedBytes);
  char* resources = pdfcore_page_resources(doc, index);
  interp* ctx = (interp*)calloc(1, sizeof(interp));
  page_work* work = (page_work*)malloc(sizeof(page_work));
  if (ctx && work) {
    page_work_init(work);
    ctx->work = work;
    ctx->doc = doc;
    ctx->canvas = &cv;
    ctx->page = pg;
    ctx->page_resources = resources;
    ctx->resources = resources;
    ctx->resources_len = resources ? (int32_t)strlen(resources) : 0;
    ctx->ctm[0] = page_transform(pg, r, scale, height);
    ctx->depth = 1;
    ctx->fill = {1, {0, 0, 0, 0}};
    ctx->stroke = {1, {0, 0, 0, 0}};
    ctx->tm = ctx->tlm = {1, 0, 0, 1, 0, 0};
    ctx->font_size = 12.0;
    {
      content_join c;
      gather_contents(doc, pg, &c);
      if (c.joined.data && c.joined.len > 0)
        interp_execute(ctx, c.joined.data, (int32_t)c.joined.len);
      buf_free(&c.joined);
    }
    interp_release(ctx);
    page_work_release(work);
  }
  free(ctx);
  free(work);
  page_memory_end();

  free(resources);
  if (cv.alpha_lost) {
    canvas_free(&cv);
    pdfcore_set_error("out of memory rendering page %d", index + 1);
    return 0;
  }
  return 1;
}

uint8_t* render_page(const pdfcore_doc* doc, int32_t index, int32_t dpi, int32_t* out_width,
                     int32_t* out_height) {
  canvas cv;
  if (!render_page_canvas(doc, index, dpi, &cv)) return nullptr;
  int32_t width = cv.width, height = cv.height;
  uint8_t* rgba = canvas_take_rgba(&cv);
  canvas_free(&cv);
  if (!rgba) {
    pdfcore_set_error("out of memory compositing page %d", index + 1);
    return nullptr;
  }
  *out_width = width;
  *out_height = height;
  return rgba;
}
