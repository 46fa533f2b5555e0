// XObjects and inline images: `Do` paints an image XObject into the unit
// square of user space or runs a Form XObject's content in a child context
// on the same canvas; `BI` ... `ID` ... `EI` turns the inline image into a
// small image object of its own and paints it the same way.
//
// An inline image reaches the image decoder as a one-object document view:
// its bytes are a synthesized dictionary followed by the image data, so the
// decoder finds its keys and its (unfiltered) stream data as for any object.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "images/images.h"
#include "interp/interp_internal.h"

namespace {

const matrix kIdentity = {1, 0, 0, 1, 0, 0};

// The /Matrix of an XObject whose keys are in t[start, end): six real numbers
// with their signs. Fractions and negative entries count as written (an
// integer reader once read 0.5 as the entries 0, 0, 5 and clamped negative
// entries to 0, so scaled and mirrored forms and images came out wrong). A
// /Matrix that is not an array of six numbers is ignored. Returns 1 when m
// was set.
int xobject_matrix(const uint8_t* t, int32_t start, int32_t end, matrix* m) {
  int32_t p = find_name(t, end, start, end, "Matrix");
  if (p < 0) return 0;
  double v[6];
  if (read_number_array(t, end, p + 7, v, 6) != 6) return 0;
  *m = {v[0], v[1], v[2], v[3], v[4], v[5]};
  return 1;
}

void image_rows(const void* ctx, int32_t y, const int32_t* xs, int32_t n, uint8_t* out) {
  image_source_rgba((const image_source*)ctx, y, xs, n, out);
}

// Paints a decoded image into the unit square under the current CTM.
void draw_image(interp* ctx, const image_source* image) {
  const pixel_rows rows = {image, image_rows};
  draw_pixel_rows(ctx->canvas, &ctx->ctm[ctx->depth - 1], 1.0, 1.0, image->width, image->height,
                  &rows, image->mask, ctx->canvas->fill_alpha);
}

// The rows of an image that draw_image would show now.
void rows_drawn(const void* c, int32_t, int32_t height, uint8_t* shown) {
  const interp* ctx = (const interp*)c;
  image_rows_shown(ctx->canvas, &ctx->ctm[ctx->depth - 1], 1.0, 1.0, height, shown);
}

// Decodes an image object and paints it into the unit square under the
// current CTM. An image XObject (num > 0) is kept in the page's one-image
// cache while the memory account allows, so repeated uses decode once. A
// large JPEG keeps only the rows this drawing shows.
void paint_image(interp* ctx, const pdfcore_doc* doc, const obj_entry* entry, int32_t num) {
  page_work* work = ctx->work;
  image_cache* cache = work ? &work->image : nullptr;
  if (cache && num > 0 && cache->num == num) {
    // An image drawn again is converted once, if the account allows, so
    // that later draws copy pixels instead of converting them each time.
    // It may show other rows than the first drawing kept.
    image_source* image = &cache->image;
    if (!image_source_make_whole(image)) return;
    const int64_t before = image->bytes;
    const int64_t block = (int64_t)image->width * image->height * 4;
    if (page_memory_take(block)) {
      if (image_source_keep_rgba(image))
        page_memory_give(before + block - image->bytes);
      else
        page_memory_give(block);
    }
    draw_image(ctx, image);
    return;
  }
  // The cached image makes room for this one.
  if (cache && num > 0) page_work_release(work);
  image_source image;
  const image_row_chooser shown = {ctx, rows_drawn};
  if (!decode_image_source_rows(doc, entry, &shown, &image)) return;
  if (!page_memory_take(image.bytes)) {
    image_source_free(&image);
    return;
  }
  draw_image(ctx, &image);
  if (cache && num > 0) {
    *cache = image_cache{num, image};
    return;
  }
  page_memory_give(image.bytes);
  image_source_free(&image);
}

void do_image(interp* ctx, const obj_entry* entry, const uint8_t* t, int32_t start, int32_t end) {
  matrix* ctm = &ctx->ctm[ctx->depth - 1];
  const matrix saved = *ctm;
  matrix m;
  if (xobject_matrix(t, start, end, &m)) mat_mult(ctm, ctm, &m);
  paint_image(ctx, ctx->doc, entry, entry->num);
  *ctm = saved;
}

// Runs a Form XObject's content in a child context that inherits the CTM
// (with the form's matrix applied first), the colours and the text state.
// The child is one nesting level deeper, and a form already running (on the
// chain of forms and glyph procedures) is not entered again.
void do_form(interp* ctx, const obj_entry* entry, const uint8_t* t, int32_t start, int32_t end) {
  page_work* work = ctx->work;
  if (!work || work->exhausted || ctx->nesting + 1 > kMaxInterpNesting) return;
  if (page_work_on_chain(work, entry->num) || work->chain_len > kMaxInterpNesting) return;
  if (work->forms_running > 0 && work->nested_form_runs >= kMaxNestedFormRuns) return;
  if (--work->form_runs_left < 0) {
    work->exhausted = true;
    return;
  }
  if (work->forms_running == 0) work->nested_form_runs = 0;
  const pdfcore_doc* doc = ctx->doc;
  matrix m = kIdentity;
  xobject_matrix(t, start, end, &m);

  interp* child = (interp*)calloc(1, sizeof(interp));  // off the stack of nested runs
  if (!child) return;
  char* own = pdfcore_obj_resources(doc, entry->num);
  child->doc = doc;
  child->canvas = ctx->canvas;
  child->page = ctx->page;
  child->page_resources = ctx->page_resources;
  child->resources = own ? own : ctx->resources;
  child->resources_len = own ? (int32_t)strlen(own) : ctx->resources_len;
  child->depth = 1;
  mat_mult(&child->ctm[0], &ctx->ctm[ctx->depth - 1], &m);
  child->fill = ctx->fill;
  child->stroke = ctx->stroke;
  child->tm = ctx->tm;
  child->font = ctx->font;
  child->font_size = ctx->font_size;
  child->leading = ctx->leading;
  child->nesting = ctx->nesting + 1;
  child->work = work;

  buf b = {};
  int32_t n = 0;
  const uint8_t* content = decoded_stream(entry, doc->data, doc->len, &b, &n);
  page_memory_hold hold;
  // Running the content counts against the page's decode budget too, so a
  // large form drawn many times stops in bounded time.
  if (content && n > 0 && hold.take((int64_t)b.cap) && page_decode_charge(n)) {
    work->chain[work->chain_len++] = entry->num;
    work->forms_running++;
    work->nested_form_runs++;
    interp_execute(child, content, n);
    work->forms_running--;
    work->chain_len--;
  }
  buf_free(&b);
  free(own);
  interp_release(child);
  free(child);
}

// The object number that /name has in the XObject dictionary in force, or -1.
int32_t xobject_number(const interp* ctx, const char* name) {
  int kind = -1;
  int32_t v = res_value(ctx->resources, ctx->resources_len, "XObject", &kind);
  if (v < 0 || kind == 2) return -1;
  char* dict = nullptr;
  if (kind == 1) {
    dict = dict_text_at((const uint8_t*)ctx->resources, ctx->resources_len, v);
  } else {
    int32_t q = v;
    dict = obj_dict_text(ctx->doc,
                         parse_int_at((const uint8_t*)ctx->resources, ctx->resources_len, &q));
  }
  if (!dict) return -1;
  const uint8_t* d = (const uint8_t*)dict;
  int32_t len = (int32_t)strlen(dict);
  int32_t num = -1;
  int32_t p = find_name(d, len, 0, len, name);
  if (p >= 0) {
    p = skip_ws(d, p + 1 + (int32_t)strlen(name), len);
    if (p < len && pdf_is_digit(d[p])) num = parse_int_at(d, len, &p);
  }
  free(dict);
  return num;
}

// ---------------------------------------------------------------------------
// Inline images.

bool is_name_char(uint8_t c) {
  return pdf_is_alnum(c) || c == '*' || c == '+' || c == '-' || c == '.' || c == '_';
}

// A number token at s[*p] (optional sign, digits, '.', digits), as the
// content lexer reads it; moves *p past it. False (and *p unmoved) when no
// number starts there.
bool read_number_token(const uint8_t* s, int32_t end, int32_t* p, double* out) {
  int32_t q = *p;
  bool neg = false;
  if (q < end && (s[q] == '+' || s[q] == '-')) neg = s[q++] == '-';
  double v = 0;
  bool digits = false;
  while (q < end && pdf_is_digit(s[q])) {
    v = v * 10 + (s[q++] - '0');
    digits = true;
  }
  if (q < end && s[q] == '.') {
    q++;
    double f = 0.1;
    while (q < end && pdf_is_digit(s[q])) {
      v += (s[q++] - '0') * f;
      f *= 0.1;
      digits = true;
    }
  }
  if (!digits) return false;
  *p = q;
  *out = neg ? -v : v;
  return true;
}

// Toward zero, held inside int32.
int32_t truncate_int(double v) {
  if (v >= 2147483647.0) return INT32_MAX;
  if (v <= -2147483648.0) return INT32_MIN;
  return (int32_t)v;
}

// Reads /W, /H and /BPC from the inline image dictionary s[start, end): each
// counts where the name is followed directly by a number token. Other keys,
// the long names Width and Height among them, are stepped over.
void inline_image_size(const uint8_t* s, int32_t start, int32_t end, int32_t* w, int32_t* h,
                       int32_t* bpc) {
  int32_t* pending = nullptr;  // the value the next token gives, if a number
  int32_t p = start;
  while (p < end) {
    uint8_t c = s[p];
    if (pdf_is_ws(c)) {
      p++;
      continue;
    }
    int32_t* key = nullptr;
    double v;
    if (c == '/') {
      int32_t first = ++p;
      while (p < end && is_name_char(s[p])) p++;
      int32_t n = p - first;
      if (n == 1 && s[first] == 'W') key = w;
      if (n == 1 && s[first] == 'H') key = h;
      if (n == 3 && memcmp(s + first, "BPC", 3) == 0) key = bpc;
    } else if (read_number_token(s, end, &p, &v)) {
      if (pending) *pending = truncate_int(v);
    } else if (c == '(') {
      int32_t depth = 0;
      for (; p < end; p++) {
        if (s[p] == '\\') {
          p++;
        } else if (s[p] == '(') {
          depth++;
        } else if (s[p] == ')' && --depth == 0) {
          p++;
          break;
        }
      }
    } else if (c == '<' && p + 1 < end && s[p + 1] == '<') {
      p += 2;  // a nested dictionary's brackets; its keys are read like any other
    } else if (c == '<') {
      while (p < end && s[p] != '>') p++;
      p++;
    } else if (pdf_is_alnum(c)) {
      while (p < end && pdf_is_alnum(s[p])) p++;
    } else {
      p++;
    }
    pending = key;
  }
}

}  // namespace

void op_do(interp* ctx, const operand* stack, int32_t count) {
  if (count < 1 || stack[count - 1].kind != OP_NAME || !ctx->resources || !ctx->doc) return;
  const pdfcore_doc* doc = ctx->doc;
  int32_t num = xobject_number(ctx, stack[count - 1].text);
  if (num < 0) return;
  const obj_entry* entry = obj_find(&doc->objects, num);
  const uint8_t* t;
  int32_t start, end;
  if (!entry || !obj_region(doc->data, doc->len, entry, &t, &start, &end)) return;
  if (find_name(t, end, start, end, "Image") >= 0)
    do_image(ctx, entry, t, start, end);
  else if (find_name(t, end, start, end, "Form") >= 0)
    do_form(ctx, entry, t, start, end);
}

int32_t interp_inline_image(interp* ctx, const uint8_t* bytes, int32_t length, int32_t pos) {
  int32_t id = find_kw(bytes, length, pos, "ID");
  if (id < 0) return length;  // no data: the rest of the stream is skipped
  int32_t w = 0, h = 0, bpc = 8;
  inline_image_size(bytes, pos, id, &w, &h, &bpc);

  int32_t data = id + 2;
  if (data < length && (bytes[data] == '\n' || bytes[data] == '\r')) data++;
  int32_t ei = find_kw(bytes, length, data, "EI");
  int32_t data_end = ei >= 0 ? ei : length;
  int32_t next = ei >= 0 ? ei + 2 : length;
  if (w <= 0 || h <= 0 || data_end <= data) return next;

  // The image as an object of its own: the header is its dictionary and the
  // data follow it as unfiltered stream data, always read as RGB samples.
  char header[256];
  int hl = snprintf(header, sizeof header,
                    "<< /Width %ld /Height %ld /BitsPerComponent %ld /ColorSpace /DeviceRGB >>",
                    (long)w, (long)h, (long)bpc);
  int64_t n = (int64_t)data_end - data;
  if (hl <= 0 || hl >= (int)sizeof header || n > INT32_MAX - hl) return next;
  uint8_t* text = (uint8_t*)malloc((size_t)(hl + n));
  if (!text) return next;
  memcpy(text, header, (size_t)hl);
  memcpy(text + hl, bytes + data, (size_t)n);

  pdfcore_doc view = {};
  view.data = text;
  view.len = (int32_t)(hl + n);
  obj_entry e = {};
  e.num = -999;
  e.head_off = -1;
  e.dict_off = 0;
  e.stream_off = hl;
  e.data_off = hl;
  e.data_end = view.len;
  e.endobj_off = -1;
  e.is_stream = 1;
  e.payload = nullptr;
  paint_image(ctx, &view, &e, 0);
  free(text);
  return next;
}
