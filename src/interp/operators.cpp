// The operators of the transformation stack, path construction, painting,
// clipping, line width and device colours. Each takes its operands from the
// top of the stack in push order and does nothing when it has too few.
// Paths hold user-space points; the CTM in force at painting time applies.
#include <cmath>
#include <cstring>

#include "interp/interp_internal.h"

namespace {

// The top n operands, or an empty view when there are fewer.
operands top(const operand* stack, int32_t count, int32_t n) {
  if (count < n) return {nullptr, 0};
  return {stack + count - n, n};
}

const matrix& current_ctm(const interp* ctx) {
  return ctx->ctm[ctx->depth - 1];
}

void clear_path(interp* ctx) {
  ctx->path.count = 0;
  ctx->path.has_current = 0;
}

void move_to(interp* ctx, double x, double y) {
  path& p = ctx->path;
  p.cur_x = p.start_x = x;
  p.cur_y = p.start_y = y;
  p.has_current = 1;
}

// h: back to the subpath start unless already there (NaN counts as apart).
void close_subpath(interp* ctx) {
  path& p = ctx->path;
  if (p.has_current && !(p.cur_x == p.start_x && p.cur_y == p.start_y))
    path_line(&p, p.start_x, p.start_y);
  p.cur_x = p.start_x;
  p.cur_y = p.start_y;
}

void fill_path(interp* ctx, int nonzero) {
  double r, g, b;
  color_get(&ctx->fill, &r, &g, &b);
  raster_fill(ctx->canvas, &ctx->path, &current_ctm(ctx), nonzero, r, g, b,
              ctx->canvas->fill_alpha);
}

void stroke_path(interp* ctx) {
  double r, g, b;
  color_get(&ctx->stroke, &r, &g, &b);
  raster_stroke(ctx->canvas, &ctx->path, &current_ctm(ctx), r, g, b, ctx->canvas->stroke_alpha);
}

void set_color(color* c, int32_t kind, const operands& o) {
  c->kind = kind;
  for (int32_t i = 0; i < 4; i++) c->comp[i] = i < o.n ? o.num(i) : 0;
}

bool is(const char* kw, int32_t len, const char* name) {
  return (int32_t)strlen(name) == len && memcmp(kw, name, (size_t)len) == 0;
}

}  // namespace

void run_operator(interp* ctx, const char* kw, int32_t len, const operand* stack, int32_t count) {
  if (len < 1 || len > 3) return;  // no operator handled here is longer
  if (run_text_operator(ctx, kw, len, stack, count)) return;
  if (is(kw, len, "Do")) {
    op_do(ctx, stack, count);
    return;
  }
  auto need = [&](int32_t n) { return top(stack, count, n); };
  char c0 = kw[0];
  operands o;

  // Transformation stack.
  if (is(kw, len, "q")) {
    if (ctx->depth < kCtmStackDepth) {
      ctx->ctm[ctx->depth] = ctx->ctm[ctx->depth - 1];
      ctx->depth++;
    }
  } else if (is(kw, len, "Q")) {
    if (ctx->depth > 1) ctx->depth--;
    clip_pop(ctx->canvas);  // the clip stack is not tied to q
  } else if (is(kw, len, "cm")) {
    if ((o = need(6)).n) {
      matrix m = {o.num(0), o.num(1), o.num(2), o.num(3), o.num(4), o.num(5)};
      matrix* ctm = &ctx->ctm[ctx->depth - 1];
      mat_mult(ctm, ctm, &m);
    }
  }
  // Path construction.
  else if (is(kw, len, "m")) {
    if ((o = need(2)).n) move_to(ctx, o.num(0), o.num(1));
  } else if (is(kw, len, "l")) {
    if ((o = need(2)).n) path_line(&ctx->path, o.num(0), o.num(1));
  } else if (is(kw, len, "c")) {
    if ((o = need(6)).n)
      path_cubic(&ctx->path, o.num(0), o.num(1), o.num(2), o.num(3), o.num(4), o.num(5));
  } else if (is(kw, len, "v")) {
    if ((o = need(4)).n)
      path_cubic(&ctx->path, ctx->path.cur_x, ctx->path.cur_y, o.num(0), o.num(1), o.num(2),
                 o.num(3));
  } else if (is(kw, len, "y")) {
    if ((o = need(4)).n)
      path_cubic(&ctx->path, o.num(0), o.num(1), o.num(2), o.num(3), o.num(2), o.num(3));
  } else if (is(kw, len, "h")) {
    close_subpath(ctx);
  } else if (is(kw, len, "re")) {
    if ((o = need(4)).n) {
      double x = o.num(0), y = o.num(1), w = o.num(2), h = o.num(3);
      move_to(ctx, x, y);
      path_line(&ctx->path, x + w, y);
      path_line(&ctx->path, x + w, y + h);
      path_line(&ctx->path, x, y + h);
      path_line(&ctx->path, x, y);
    }
  }
  // Painting and clipping; each clears the path.
  else if (is(kw, len, "S")) {
    stroke_path(ctx);
    clear_path(ctx);
  } else if (is(kw, len, "f") || is(kw, len, "F")) {
    fill_path(ctx, 1);
    clear_path(ctx);
  } else if (is(kw, len, "f*")) {
    fill_path(ctx, 0);
    clear_path(ctx);
  } else if (is(kw, len, "B") || is(kw, len, "b") || is(kw, len, "B*") || is(kw, len, "b*")) {
    if (c0 == 'b') close_subpath(ctx);
    fill_path(ctx, len == 1 ? 1 : 0);
    stroke_path(ctx);
    clear_path(ctx);
  } else if (is(kw, len, "W") || is(kw, len, "W*")) {
    clip_push(ctx->canvas, &ctx->path, &current_ctm(ctx));
    clear_path(ctx);
  } else if (is(kw, len, "n")) {
    clear_path(ctx);
  }
  // Line width: at least a quarter unit.
  else if (is(kw, len, "w")) {
    if ((o = need(1)).n) ctx->canvas->line_width = o.num(0);
    if (ctx->canvas->line_width < 0.25) ctx->canvas->line_width = 0.25;
  }
  // Device colours.
  else if (is(kw, len, "g") || is(kw, len, "G")) {
    if ((o = need(1)).n) set_color(c0 == 'g' ? &ctx->fill : &ctx->stroke, 0, o);
  } else if (is(kw, len, "rg") || is(kw, len, "r") || is(kw, len, "RG") || is(kw, len, "R")) {
    if ((o = need(3)).n) set_color(c0 == 'r' ? &ctx->fill : &ctx->stroke, 1, o);
  } else if (is(kw, len, "k") || is(kw, len, "K")) {
    if ((o = need(4)).n) set_color(c0 == 'k' ? &ctx->fill : &ctx->stroke, 2, o);
  } else if (is(kw, len, "scn")) {
    // Gray from the topmost operand; a pattern name there gives black.
    if ((o = need(1)).n) set_color(&ctx->fill, 0, o);
  }
}
