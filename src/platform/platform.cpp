// Operating-system calls: Linux by default, with a Windows branch.
#include "platform/platform.h"

#include <cstdlib>

#include <cerrno>
#include <cstring>

#include <sys/stat.h>

#if defined(_WIN32)
#include <direct.h>
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>
#endif

// Below this size the allocator's own memory is as good.
static const size_t kMapThreshold = 1 << 20;

uint8_t* platform_file_buffer_alloc(size_t size) {
  if (size < kMapThreshold) return (uint8_t*)malloc(size ? size : 1);
#if defined(_WIN32)
  return (uint8_t*)VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
#else
  int flags = MAP_PRIVATE | MAP_ANONYMOUS;
#ifdef MAP_POPULATE
  flags |= MAP_POPULATE;
#endif
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, flags, -1, 0);
  return p == MAP_FAILED ? nullptr : (uint8_t*)p;
#endif
}

int platform_cpu_has_avx(void) {
#if defined(RENDRIX_AVX_PATHS)
  static const int avx = __builtin_cpu_supports("avx") ? 1 : 0;
  return avx;
#else
  return 0;
#endif
}

void platform_advise_large_pages(void* p, size_t size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  const uintptr_t kLarge = uintptr_t{2} << 20;
  uintptr_t from = ((uintptr_t)p + kLarge - 1) & ~(kLarge - 1);
  uintptr_t to = ((uintptr_t)p + size) & ~(kLarge - 1);
  if (to > from) madvise((void*)from, to - from, MADV_HUGEPAGE);
#else
  (void)p;
  (void)size;
#endif
}

void platform_file_buffer_free(uint8_t* block, size_t size) {
  if (!block) return;
  if (size < kMapThreshold) {
    free(block);
    return;
  }
#if defined(_WIN32)
  VirtualFree(block, 0, MEM_RELEASE);
#else
  munmap(block, size);
#endif
}

int64_t platform_file_size(FILE* f) {
#if defined(_WIN32)
  if (_fseeki64(f, 0, SEEK_END) != 0) return -1;
  return _ftelli64(f);
#else
  if (fseek(f, 0, SEEK_END) != 0) return -1;
  return ftell(f);
#endif
}

int platform_mkdir(const char* path) {
#if defined(_WIN32)
  if (_mkdir(path) == 0) return 0;
#else
  if (mkdir(path, 0777) == 0) return 0;
#endif
  return errno ? errno : EIO;
}

int platform_is_directory(const char* path) {
  struct stat st;
  if (stat(path, &st) != 0) return 0;
  return (st.st_mode & S_IFMT) == S_IFDIR;
}

int platform_is_separator(char c) {
#if defined(_WIN32)
  return c == '/' || c == '\\';
#else
  return c == '/';
#endif
}

size_t platform_exe_dir(char* out, size_t cap) {
  if (cap == 0) return 0;
  out[0] = 0;
  char path[4096];
#if defined(_WIN32)
  DWORD n = GetModuleFileNameA(nullptr, path, (DWORD)sizeof path);
  if (n == 0 || n >= sizeof path) return 0;
  const char* cut = strrchr(path, '\\');
  size_t len = cut ? (size_t)(cut - path) : (size_t)n;
#else
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return 0;
  path[n] = 0;
  const char* cut = strrchr(path, '/');
  size_t len = cut ? (size_t)(cut - path) : (size_t)n;
#endif
  if (len + 1 > cap) return 0;
  memcpy(out, path, len);
  out[len] = 0;
  return len;
}
