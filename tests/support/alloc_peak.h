// Peak heap use of a stretch of code, for tests that bound what a decoder may
// allocate. It counts through AddressSanitizer's allocation hooks, so it only
// measures in sanitizer builds; elsewhere every peak reads 0 and available()
// says so.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {
// Provided by the AddressSanitizer runtime; null in other builds.
int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*, size_t),
                                              void (*free_hook)(const volatile void*))
    __attribute__((weak));
size_t __sanitizer_get_allocated_size(const volatile void* p) __attribute__((weak));
}

namespace test_util {

class alloc_peak {
 public:
  static bool available() { return install(); }
  // Starts counting from zero live bytes.
  static void start() {
    live() = 0;
    peak() = 0;
    biggest() = 0;
    counting() = install();
  }
  // Stops counting; returns the most bytes that were live at once (0 when
  // the hooks are missing).
  static int64_t stop() {
    counting() = false;
    return peak();
  }
  // The largest single block asked for while counting (0 without the hooks).
  static int64_t largest() { return biggest(); }

 private:
  static int64_t& live() {
    static int64_t v = 0;
    return v;
  }
  static int64_t& peak() {
    static int64_t v = 0;
    return v;
  }
  static int64_t& biggest() {
    static int64_t v = 0;
    return v;
  }
  static bool& counting() {
    static bool v = false;
    return v;
  }
  static void on_malloc(const volatile void*, size_t size) {
    if (!counting()) return;
    live() += (int64_t)size;
    if (live() > peak()) peak() = live();
    if ((int64_t)size > biggest()) biggest() = (int64_t)size;
  }
  static void on_free(const volatile void* p) {
    if (counting() && p) live() -= (int64_t)__sanitizer_get_allocated_size(p);
  }
  // The hooks are installed once per process.
  static bool install() {
    static const bool ok = __sanitizer_install_malloc_and_free_hooks &&
                           __sanitizer_get_allocated_size &&
                           __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free) != 0;
    return ok;
  }
};

}  // namespace test_util
