// The few operating-system calls the library makes, behind one small layer:
// a Linux implementation and a Windows branch in platform.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// 256-bit AVX paths (the JPEG DCT, the chord points of curves) are built on
// x86-64 with g++ or clang, but not on Windows: there g++ cannot align the
// stack to 32 bytes for 256-bit values, and an aligned spill faults. Where
// built, they run only when platform_cpu_has_avx says so.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(_WIN32)
#define RENDRIX_AVX_PATHS 1
#endif

// 1 when this processor runs AVX instructions; found once.
int platform_cpu_has_avx(void);

// A block to hold a whole file's bytes, with its pages committed up front:
// reading a large file into fresh memory otherwise takes one page fault per
// page, which costs more than the read itself. Release it with
// platform_file_buffer_free and the same size. Null when memory is short.
uint8_t* platform_file_buffer_alloc(size_t size);
void platform_file_buffer_free(uint8_t* block, size_t size);

// Asks for large pages under the block at p (size bytes, from malloc), for
// the whole aligned large pages inside it: most of a page raster is
// written, and taking it a small page at a time costs a fault per 4 KiB. A
// hint only: nothing changes where it is not supported.
void platform_advise_large_pages(void* p, size_t size);

// The size in bytes of the open file f, found by seeking to its end (the
// position stays there); -1 when it cannot be found. 64-bit on every
// platform: a long, and so ftell, holds only 32 bits on Windows.
int64_t platform_file_size(FILE* f);

// Creates one directory. Returns 0, or the errno-style code of the failure
// (EEXIST when something of that name exists already).
int platform_mkdir(const char* path);
// 1 when path names an existing directory.
int platform_is_directory(const char* path);
// 1 when c separates path components: '/' everywhere, '\\' also on Windows.
int platform_is_separator(char c);

// The directory of the running program's executable (not of this library),
// without a trailing separator, into out (cap bytes). Returns its length, or
// 0 with out empty when it cannot be found or does not fit.
size_t platform_exe_dir(char* out, size_t cap);
