// The content-stream lexer and operand stack: one pass over the bytes, each
// operand pushed on a 256-entry stack, each operator keyword run at once and
// the stack cleared after it. A full stack starts again from the bottom.
//
// Short names and strings are kept inside the operand; only long ones take a
// heap block, so ordinary content allocates nothing per token.
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "fonts/fonts.h"
#include "interp/interp_internal.h"

namespace {

bool is_ws(uint8_t c) {
  return c == 0 || c == 9 || c == 10 || c == 12 || c == 13 || c == 32;
}
bool is_digit(uint8_t c) {
  return c >= '0' && c <= '9';
}
bool is_alpha(uint8_t c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool is_name_char(uint8_t c) {
  return is_alpha(c) || is_digit(c) || c == '*' || c == '+' || c == '-' || c == '.' || c == '_';
}
int hex_value(uint8_t c) {
  if (is_digit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 87;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A growable byte block for strings: starts inline, moves to the heap.
struct text_builder {
  char small[kInlineText];
  char* heap = nullptr;
  int32_t len = 0, cap = kInlineText - 1;  // one byte kept for the terminator
  bool failed = false;
  char* data() { return heap ? heap : small; }
  void add(uint8_t c) {
    if (failed) return;
    if (len == cap) {
      if (cap > INT32_MAX / 2 - 1) {
        failed = true;
        return;
      }
      int32_t ncap = cap * 2 + 1;
      char* grown = (char*)realloc(heap, (size_t)ncap + 1);
      if (!grown) {
        failed = true;  // the string ends with what was collected
        return;
      }
      if (!heap) memcpy(grown, small, (size_t)len);
      heap = grown;
      cap = ncap;
    }
    data()[len++] = (char)c;
  }
};

struct operand_stack {
  operand v[kOperandStackSize];
  int32_t count = 0;

  void drop_all() {
    for (int32_t i = 0; i < count; i++) free(v[i].heap);
    count = 0;
  }
  // The next free slot; a full stack is emptied first.
  operand* slot() {
    if (count == kOperandStackSize) drop_all();
    operand* o = &v[count++];
    o->kind = OP_NUMBER;
    o->number = 0;
    o->text = nullptr;
    o->length = 0;
    o->heap = nullptr;
    return o;
  }
  void push_number(double value) { slot()->number = value; }
  void push_marker(int32_t kind) { slot()->kind = kind; }
  // Takes the bytes of a name or a string (the builder's heap block, if any).
  void push_text(int32_t kind, text_builder* t) {
    operand* o = slot();
    o->kind = kind;
    o->length = t->len;
    if (t->heap) {
      o->heap = t->heap;
      o->text = t->heap;
      t->heap = nullptr;
    } else {
      memcpy(o->inline_text, t->small, (size_t)t->len);
      o->text = o->inline_text;
    }
    o->text[o->length] = 0;
  }
};

struct lexer {
  const uint8_t* s;
  int32_t n;
  int32_t p;
};

// A number whose first byte (digit or '.') is at lx->p; neg applies the sign.
double lex_number(lexer* lx, bool neg) {
  const uint8_t* s = lx->s;
  int32_t p = lx->p, n = lx->n;
  bool began_with_digit = is_digit(s[p]);
  double v = 0;
  while (p < n && is_digit(s[p])) v = v * 10 + (s[p++] - '0');
  if (p < n && s[p] == '.') {
    p++;
    double f = 0.1;
    while (p < n && is_digit(s[p])) {
      v += (s[p++] - '0') * f;
      f *= 0.1;
    }
  }
  if (began_with_digit && p < n && (s[p] == 'e' || s[p] == 'E')) {
    int32_t q = p + 1;
    bool eneg = false;
    if (q < n && (s[q] == '+' || s[q] == '-')) eneg = s[q++] == '-';
    if (q < n && is_digit(s[q])) {
      int32_t e = 0;
      while (q < n && is_digit(s[q])) {
        if (e < 100000) e = e * 10 + (s[q] - '0');  // beyond this pow is 0 or inf anyway
        q++;
      }
      v *= pow(10.0, eneg ? -e : e);
      p = q;
    }
  }
  lx->p = p;
  return neg ? -v : v;
}

void lex_literal_string(lexer* lx, text_builder* t) {
  const uint8_t* s = lx->s;
  int32_t p = lx->p + 1, n = lx->n, depth = 1;
  while (p < n && !t->failed) {
    uint8_t c = s[p++];
    if (c == '(') {
      depth++;
    } else if (c == ')') {
      if (--depth == 0) break;
    } else if (c == '\\') {
      if (p >= n) break;
      uint8_t e = s[p++];
      switch (e) {
        case 'n':
          c = 10;
          break;
        case 'r':
          c = 13;
          break;
        case 't':
          c = 9;
          break;
        case 'b':
          c = 8;
          break;
        case 'f':
          c = 12;
          break;
        case '\r':
          if (p < n && s[p] == '\n') p++;
          continue;  // a line continuation
        case '\n':
          continue;
        default:
          if (e >= '0' && e <= '7') {
            unsigned v = e - '0';
            for (int k = 0; k < 2 && p < n && s[p] >= '0' && s[p] <= '7'; k++)
              v = v * 8 + (s[p++] - '0');
            c = (uint8_t)(v & 0xFF);
          } else {
            c = e;  // '(', ')', '\\' and any other byte stand for themselves
          }
      }
    }
    t->add(c);
  }
  lx->p = p;
}

void lex_hex_string(lexer* lx, text_builder* t) {
  const uint8_t* s = lx->s;
  int32_t p = lx->p + 1, n = lx->n;
  while (p < n && !t->failed) {
    uint8_t c = s[p];
    if (c == '>') {
      p++;
      break;
    }
    if (isspace(c)) {
      p++;
      continue;
    }
    int hi = hex_value(c);
    p++;
    if (hi < 0) break;  // any other byte ends the string and is consumed
    int lo = 0;
    if (p < n && hex_value(s[p]) >= 0) lo = hex_value(s[p++]);
    t->add((uint8_t)(hi * 16 + lo));
  }
  lx->p = p;
}

// Skips a << ... >> group by counting brackets only.
void skip_dictionary(lexer* lx) {
  const uint8_t* s = lx->s;
  int32_t p = lx->p, n = lx->n, depth = 0;
  while (n - p >= 2) {
    if (s[p] == '<' && s[p + 1] == '<') {
      depth++;
      p += 2;
    } else if (s[p] == '>' && s[p + 1] == '>') {
      p += 2;
      if (--depth == 0) break;
    } else {
      p++;
    }
  }
  lx->p = p;
}

operator_hook s_hook = nullptr;
void* s_hook_user = nullptr;

}  // namespace

void interp_set_operator_hook(operator_hook hook, void* user) {
  s_hook = hook;
  s_hook_user = user;
}

// Keeps the path's segment array in the page's memory account as it grows:
// a path the account cannot hold is dropped and the page ends, so a content
// stream of millions of tiny segments cannot claim gigabytes.
static void account_path(interp* ctx, page_work* work) {
  int64_t now = (int64_t)ctx->path.cap * (int64_t)sizeof(path_seg);
  if (now == ctx->path_held) return;
  if (now < ctx->path_held) {
    page_memory_give(ctx->path_held - now);
  } else if (!page_memory_take(now - ctx->path_held)) {
    path_free(&ctx->path);
    page_memory_give(ctx->path_held);
    ctx->path_held = 0;
    work->exhausted = true;
    return;
  }
  ctx->path_held = now;
}

void interp_release(interp* ctx) {
  path_free(&ctx->path);
  page_memory_give(ctx->path_held);
  ctx->path_held = 0;
  font_cache_release(ctx);
}

// Skips whole eight-byte words of NUL bytes or of spaces from p: inflated
// padding can run to hundreds of megabytes, and a word at a time passes it
// far faster than the byte loop (which does the rest).
static int32_t skip_blank_words(const uint8_t* s, int32_t p, int32_t length) {
  const uint64_t spaces = 0x2020202020202020ull;
  while (length - p >= 8) {
    uint64_t w;
    memcpy(&w, s + p, 8);
    if (w != 0 && w != spaces) break;
    p += 8;
  }
  return p;
}

void interp_execute(interp* ctx, const uint8_t* bytes, int32_t length) {
  if (length < 1 || !bytes || ctx->nesting > kMaxInterpNesting) return;
  // A context run on its own (not by the page driver) gets fresh budgets.
  page_work own;
  page_work* work = ctx->work;
  if (!work) {
    page_work_init(&own);
    work = ctx->work = &own;
  }
  if (work->exhausted) {
    if (work == &own) ctx->work = nullptr;
    return;
  }
  // The stack is large; keep it off the call stack of nested runs.
  operand_stack* st = (operand_stack*)malloc(sizeof(operand_stack));
  if (!st) {
    if (work == &own) ctx->work = nullptr;
    return;
  }
  st->count = 0;
  lexer lx = {bytes, length, 0};
  const uint8_t* s = bytes;
  while (lx.p < length && !work->exhausted) {
    if ((ctx->canvas && ctx->canvas->fill_work_left < 0) || page_decode_left() <= 0) {
      work->exhausted = true;  // a fill passed the page's fill work, or decoding its budget
      break;
    }
    if (s[lx.p] == '%') {
      while (lx.p < length && s[lx.p] != '\r' && s[lx.p] != '\n') lx.p++;
      if (lx.p >= length) break;
    }
    int32_t before = lx.p;
    lx.p = skip_blank_words(s, lx.p, length);
    while (lx.p < length && is_ws(s[lx.p])) lx.p++;
    if (lx.p >= length) break;
    if (lx.p != before) continue;

    uint8_t c = s[lx.p];
    if (c == ')' || c == '>' || c == ']' || c == '}') {
      lx.p++;
    } else if (c == '/') {
      text_builder t;
      int32_t first = lx.p++;
      while (lx.p < length && is_name_char(s[lx.p])) t.add(s[lx.p++]);
      if (t.failed)
        lx.p = first + 1;  // no room for the name: drop it, go on after the slash
      else
        st->push_text(OP_NAME, &t);
      free(t.heap);
    } else if (c == '[') {
      st->push_marker(OP_ARRAY_START);
      lx.p++;
    } else if (c == '<' && lx.p + 1 < length && s[lx.p + 1] == '<') {
      skip_dictionary(&lx);
      st->push_marker(OP_DICT);
    } else if (c == '<' || c == '(') {
      text_builder t;
      if (c == '<')
        lex_hex_string(&lx, &t);
      else
        lex_literal_string(&lx, &t);
      st->push_text(OP_STRING, &t);
      free(t.heap);
    } else if (c == '+' || c == '-') {
      int32_t q = lx.p + 1;
      if (q < length && (is_digit(s[q]) || (s[q] == '.' && q + 1 < length && is_digit(s[q + 1])))) {
        lx.p = q;
        st->push_number(lex_number(&lx, c == '-'));
      } else {
        lx.p++;  // a lone sign produces nothing
      }
    } else if (is_digit(c) || c == '.') {
      if (c == '.' && !(lx.p + 1 < length && is_digit(s[lx.p + 1])))
        lx.p++;
      else
        st->push_number(lex_number(&lx, false));
    } else if (is_alpha(c) || c == '\'' || c == '"') {
      int32_t k = lx.p;
      if (is_alpha(c)) {
        while (lx.p < length && is_alpha(s[lx.p])) lx.p++;
        if (lx.p < length && s[lx.p] == '*') lx.p++;
      } else {
        lx.p++;
      }
      if (--work->operators_left < 0) {
        work->exhausted = true;  // the rest of the page is skipped
        break;
      }
      if (s_hook) s_hook(s_hook_user, (const char*)s + k, lx.p - k, st->v, st->count);
      if (lx.p - k == 2 && s[k] == 'B' && s[k + 1] == 'I')
        lx.p = interp_inline_image(ctx, s, length, lx.p);  // consumes the image through EI
      else
        run_operator(ctx, (const char*)s + k, lx.p - k, st->v, st->count);
      if (ctx->path.cap * (int64_t)sizeof(path_seg) != ctx->path_held) account_path(ctx, work);
      st->drop_all();
    } else {
      lx.p++;
    }
  }
  st->drop_all();
  free(st);
  if (work == &own) {
    page_work_release(&own);
    ctx->work = nullptr;
  }
}
