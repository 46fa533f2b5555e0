// The memory account of the page being rendered on this thread. Everything
// large that rendering holds beyond the raster (joined content, form content,
// decoded images, embedded fonts) is taken from it while held, and every
// decode buffer is sized within what is left, so a hostile page cannot claim
// more than its budget however it combines large streams.
#include <cstdint>

#include "pdfcore/pdfcore.h"

namespace {

struct account {
  bool active;
  int64_t left;
  int64_t decode_left;
};

thread_local account t_account = {false, 0, 0};

}  // namespace

void page_memory_begin(int64_t limit, int64_t decode_limit) {
  t_account.active = true;
  t_account.left = limit > 0 ? limit : 0;
  t_account.decode_left = decode_limit > 0 ? decode_limit : 0;
}

void page_memory_end(void) {
  t_account = {false, 0, 0};
}

int64_t page_decode_left(void) {
  return t_account.active ? t_account.decode_left : INT64_MAX;
}

bool page_decode_charge(int64_t n) {
  if (!t_account.active || n <= 0) return true;
  if (n > t_account.decode_left) {
    t_account.decode_left = 0;
    return false;
  }
  t_account.decode_left -= n;
  return true;
}

int64_t page_memory_left(void) {
  return t_account.active ? t_account.left : INT64_MAX;
}

bool page_memory_take(int64_t n) {
  if (!t_account.active || n <= 0) return true;
  if (n > t_account.left) return false;
  t_account.left -= n;
  return true;
}

void page_memory_give(int64_t n) {
  if (t_account.active && n > 0) t_account.left += n;
}
