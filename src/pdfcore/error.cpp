// The error buffer: the single message every failing call leaves for
// rendrix_last_error. There is one per thread, so a call on one thread never
// replaces the message another thread is about to read; a single-threaded
// host sees one message as before. Nothing is allocated for it; a longer
// message is cut at 1023 bytes.
#include "pdfcore/pdfcore.h"

#include <cstdio>

static thread_local char g_err[1024];

void pdfcore_vserror(const char* fmt, va_list ap) {
  g_err[0] = 0;
  if (!fmt) return;
  vsnprintf(g_err, sizeof g_err, fmt, ap);
}

void pdfcore_set_error(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  pdfcore_vserror(fmt, ap);
  va_end(ap);
}

void pdfcore_clear_error(void) {
  g_err[0] = 0;
}

const char* pdfcore_last_error(void) {
  return g_err;
}
