// A page-like interpreter context on a small canvas for operator tests, and a
// recorder of what each operator keyword sees on the operand stack.
#pragma once

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "interp/interp_internal.h"

namespace interp_test {

// One operand as text: "3.5", "/Name", "(bytes)", "[", "<<>>".
inline std::string show(const operand& o) {
  switch (o.kind) {
    case OP_NUMBER: {
      char b[64];
      snprintf(b, sizeof b, "%g", o.number);
      return b;
    }
    case OP_NAME:
      return "/" + std::string(o.text, (size_t)o.length);
    case OP_STRING:
      return "(" + std::string(o.text, (size_t)o.length) + ")";
    case OP_ARRAY_START:
      return "[";
    case OP_DICT:
      return "<<>>";
  }
  return "?";
}

// Every operator seen, as "kw: op op op".
struct recorder {
  std::vector<std::string> calls;
  static void hook(void* user, const char* kw, int32_t len, const operand* st, int32_t n) {
    std::string s(kw, (size_t)len);
    s += ":";
    for (int32_t i = 0; i < n; i++) s += " " + show(st[i]);
    static_cast<recorder*>(user)->calls.push_back(s);
  }
};

// A context like the page driver's, with an identity CTM (device space is
// user space) on a width x height canvas.
struct page_ctx {
  canvas cv;
  interp ctx;
  page_ctx(int32_t w = 40, int32_t h = 40) {
    EXPECT_EQ(canvas_init(&cv, w, h), 1);
    memset(&ctx, 0, sizeof ctx);
    ctx.canvas = &cv;
    ctx.ctm[0] = {1, 0, 0, 1, 0, 0};
    ctx.depth = 1;
    ctx.fill = {1, {0, 0, 0, 0}};
    ctx.stroke = {1, {0, 0, 0, 0}};
    ctx.font_size = 12;
  }
  ~page_ctx() {
    interp_release(&ctx);
    canvas_free(&cv);
  }
  void run(const std::string& content) {
    interp_execute(&ctx, reinterpret_cast<const uint8_t*>(content.data()), (int32_t)content.size());
  }
  // Runs content and returns the operators it dispatched.
  std::vector<std::string> trace(const std::string& content) {
    recorder r;
    interp_set_operator_hook(&recorder::hook, &r);
    run(content);
    interp_set_operator_hook(nullptr, nullptr);
    return r.calls;
  }
  // The colour of pixel (x, y).
  std::array<uint8_t, 3> px(int32_t x, int32_t y) const {
    std::array<uint8_t, 3> c;
    canvas_colour(&cv, (size_t)y * cv.width + x, c.data());
    return c;
  }
  bool painted(int32_t x, int32_t y) const { return px(x, y)[0] != 255 || px(x, y)[2] != 255; }
  const matrix& ctm() const { return ctx.ctm[ctx.depth - 1]; }
};

using calls_t = std::vector<std::string>;

}  // namespace interp_test
