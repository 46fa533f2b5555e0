// The text operators: the text matrix and line matrix, font and size,
// leading, and the show operators, which hand strings to the glyph painter
// and then move the text matrix along its own x axis by the distance covered.
// Horizontal scaling is folded into the font size; word and character
// spacing are accepted and ignored, as are rise and rendering mode (not
// recognised at all). Also the child context in which a Type3 glyph
// procedure runs.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "fonts/fonts.h"
#include "interp/interp_internal.h"

namespace {

bool is(const char* kw, int32_t len, const char* name) {
  return (int32_t)strlen(name) == len && memcmp(kw, name, (size_t)len) == 0;
}

// Td: the translation applies first, then the line matrix.
void move_line(interp* ctx, double tx, double ty) {
  matrix t = {1, 0, 0, 1, tx, ty};
  mat_mult(&ctx->tlm, &ctx->tlm, &t);
  ctx->tm = ctx->tlm;
}

void advance_tm(interp* ctx, double d) {
  matrix t = {1, 0, 0, 1, d, 0};
  mat_mult(&ctx->tm, &ctx->tm, &t);
}

// Tj and the tail of ' and ": draws the string and advances by it.
void show_string(interp* ctx, const operand& s) {
  if (!ctx->font) return;
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(s.text);
  text_show_at(ctx, bytes, s.length, 0);
  advance_tm(ctx, text_advance(ctx->font, bytes, s.length, ctx->font_size));
}

// TJ: the elements are the operands above the topmost array-start marker.
void show_array(interp* ctx, const operand* stack, int32_t count) {
  int32_t mark = count - 1;
  while (mark >= 0 && stack[mark].kind != OP_ARRAY_START) mark--;
  if (mark < 0 || !ctx->font) return;
  double x = 0;
  for (int32_t i = mark + 1; i < count; i++) {
    const operand& e = stack[i];
    if (e.kind == OP_STRING) {
      const uint8_t* bytes = reinterpret_cast<const uint8_t*>(e.text);
      text_show_at(ctx, bytes, e.length, x);
      x += text_advance(ctx->font, bytes, e.length, ctx->font_size);
    } else if (e.kind == OP_NUMBER) {
      x -= e.number / 1000 * ctx->font_size;  // thousandths of the font size
    }
  }
  advance_tm(ctx, x);
}

}  // namespace

bool run_text_operator(interp* ctx, const char* kw, int32_t len, const operand* stack,
                       int32_t count) {
  if (len < 1 || len > 2) return false;
  if (kw[0] != 'T' && kw[0] != 'B' && kw[0] != '\'' && kw[0] != '"') return false;
  const operand* top = count > 0 ? &stack[count - 1] : nullptr;
  auto num = [&](int32_t from_top) {  // 0 is the top operand
    const operand& o = stack[count - 1 - from_top];
    return o.kind == OP_NUMBER ? o.number : 0.0;
  };

  if (is(kw, len, "BT")) {
    ctx->tm = ctx->tlm = {1, 0, 0, 1, 0, 0};
  } else if (is(kw, len, "Tf")) {
    if (count >= 2 && stack[count - 2].kind == OP_NAME) {
      double size = num(0);
      // A size that is not positive (or not finite) becomes 1.
      ctx->font_size = size > 0 && std::isfinite(size) ? size : 1.0;
      ctx->font = font_get(ctx, stack[count - 2].text);
    }
  } else if (is(kw, len, "Td") || is(kw, len, "TD")) {
    if (count >= 2) {
      double tx = num(1), ty = num(0);
      move_line(ctx, tx, ty);
      if (kw[1] == 'D') ctx->leading = -ty;
    }
  } else if (is(kw, len, "Tm")) {
    if (count >= 6) ctx->tm = ctx->tlm = {num(5), num(4), num(3), num(2), num(1), num(0)};
  } else if (is(kw, len, "T*")) {
    move_line(ctx, 0, -ctx->leading);
  } else if (is(kw, len, "TL")) {
    if (count >= 1) ctx->leading = num(0);
  } else if (is(kw, len, "Tz")) {
    // Horizontal scaling folds into the size: it scales glyphs both ways.
    if (count >= 1 && num(0) > 0) ctx->font_size = ctx->font_size * num(0) / 100;
  } else if (is(kw, len, "Tw") || is(kw, len, "Tc")) {
    // Word and character spacing do not change drawing.
  } else if (is(kw, len, "Tj")) {
    if (top && top->kind == OP_STRING) show_string(ctx, *top);
  } else if (is(kw, len, "'") || is(kw, len, "\"")) {
    if (top && top->kind == OP_STRING) {
      move_line(ctx, 0, -ctx->leading);
      show_string(ctx, *top);
    }
  } else if (is(kw, len, "TJ")) {
    show_array(ctx, stack, count);
  } else {
    return false;
  }
  return true;
}

void interp_run_glyph_procedure(const interp* parent, const matrix* glyph_matrix,
                                const char* resources, int32_t resources_len, const uint8_t* proc,
                                int32_t length) {
  // A child one level too deep would run nothing; do not build it.
  if (!parent || !proc || length <= 0 || parent->nesting + 1 > kMaxInterpNesting) return;
  interp* child = (interp*)calloc(1, sizeof(interp));  // off the stack of nested runs
  if (!child) return;
  child->doc = parent->doc;
  child->canvas = parent->canvas;
  child->page = parent->page;
  child->page_resources = parent->page_resources;
  child->resources = resources;
  child->resources_len = resources_len;
  child->ctm[0] = *glyph_matrix;
  child->depth = 1;
  child->fill = parent->fill;
  child->stroke = parent->stroke;
  child->font_size = parent->font_size;
  child->nesting = parent->nesting + 1;
  child->work = parent->work;
  interp_execute(child, proc, length);
  interp_release(child);
  free(child);
}
