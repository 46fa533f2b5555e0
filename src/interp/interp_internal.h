// Helpers shared by the interpreter's files; nothing outside interp/ includes this.
#pragma once

#include "interp/interp.h"

// Operand kinds.
enum operand_kind : int32_t {
  OP_NUMBER = 0,
  OP_NAME = 1,
  OP_STRING = 2,
  OP_KEYWORD = 3,      // only the token being dispatched
  OP_ARRAY_START = 4,  // the '[' marker
  OP_DICT = 6,         // a whole << ... >> group, skipped
};

inline constexpr int kOperandStackSize = 256;
// Names, keywords and strings up to this many bytes live in the operand;
// longer ones get a heap block.
inline constexpr int kInlineText = 40;

struct operand {
  int32_t kind;
  double number;   // 0 for every kind but a number
  char* text;      // name (without '/') or string bytes, NUL-terminated
  int32_t length;  // bytes of text
  char* heap;      // the block text points into when it is not inline
  char inline_text[kInlineText];
};

// The operands of one operator: the top n of the stack in push order.
struct operands {
  const operand* v;
  int32_t n;
  // The i-th operand as a number; a non-number counts as 0.
  double num(int32_t i) const { return v[i].kind == OP_NUMBER ? v[i].number : 0.0; }
};

// Runs the operator named by the keyword (length bytes) with the whole stack;
// returns nothing, the caller clears the stack.
void run_operator(interp* ctx, const char* kw, int32_t length, const operand* stack, int32_t count);

// The text operators (text_ops.cpp). Returns true when the keyword is one of
// them (whether or not it had the operands it needs).
bool run_text_operator(interp* ctx, const char* kw, int32_t length, const operand* stack,
                       int32_t count);

// Tests observe the lexer through this hook: when set, it sees every keyword
// with the whole operand stack just before the operator runs.
using operator_hook = void (*)(void* user, const char* kw, int32_t length, const operand* stack,
                               int32_t count);
void interp_set_operator_hook(operator_hook hook, void* user);

// XObjects and inline images (xobject.cpp).

// Do: paints the image or runs the form named by the top operand.
void op_do(interp* ctx, const operand* stack, int32_t count);
// BI: reads the inline image that starts at bytes[pos] (just after BI) up to
// EI and paints it. Returns the position after EI, or length when the image
// has no ID (the rest of the stream is skipped) or no EI.
int32_t interp_inline_image(interp* ctx, const uint8_t* bytes, int32_t length, int32_t pos);
