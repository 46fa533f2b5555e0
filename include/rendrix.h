/* rendrix: render pages of PDF files into PNG or JPEG images.
 *
 * Every call reports failure through a 0 or NULL result and one message that
 * rendrix_last_error() returns on the same thread.
 *
 * Threads: every call except rendrix_init and rendrix_cleanup may run on any
 * number of threads at once, also on one open document. Each thread has its
 * own message. rendrix_init and rendrix_cleanup must not overlap any other
 * call: make them before the first and after the last rendering. */
#ifndef RENDRIX_H
#define RENDRIX_H

#include <stdint.h>

/* The library's version; the same numbers name the shared library file. */
#define RENDRIX_VERSION_MAJOR 0
#define RENDRIX_VERSION_MINOR 1
#define RENDRIX_VERSION_PATCH 0
#define RENDRIX_VERSION_STRING "0.1.0"

/* On Windows the functions are exported while the library itself is built
 * (RENDRIX_BUILDING), plain declarations for a program linking the static
 * library (RENDRIX_STATIC), and imported from rendrix.dll otherwise. */
#if defined(_WIN32)
#if defined(RENDRIX_BUILDING)
#define RENDRIX_API __declspec(dllexport)
#elif defined(RENDRIX_STATIC)
#define RENDRIX_API
#else
#define RENDRIX_API __declspec(dllimport)
#endif
#else
#define RENDRIX_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Fills the built-in font table and empties the message. Always returns 1. */
RENDRIX_API int rendrix_init(void);

/* Empties the message. */
RENDRIX_API void rendrix_cleanup(void);

/* The message left by the last failing call ("" when none). Never NULL. */
RENDRIX_API const char* rendrix_last_error(void);

/* Number of pages of the PDF file at path, or 0 on failure. */
RENDRIX_API int rendrix_page_count(const char* path);

/* Renders page (1-based) at dpi (clamped to 1..2400) as PNG (format 0) or
 * JPEG (format 1) into a malloc'd block; its size goes to *out_size when
 * out_size is not NULL. Release the block with rendrix_free_buffer. */
RENDRIX_API unsigned char* rendrix_page_memory(const char* input_path, int page, int dpi,
                                               int format, uint64_t* out_size);

/* Releases a block returned by rendrix_page_memory (NULL is allowed). */
RENDRIX_API void rendrix_free_buffer(unsigned char* buffer);

/* Renders one page into the image file output_path. 1 on success, 0 on failure. */
RENDRIX_API int rendrix_page(const char* input_path, int page, const char* output_path, int dpi,
                             int format);

/* Renders every page into output_dir/page_NNN.png (or .jpg), creating the
 * directory and its missing parents. 1 on success, 0 on failure. The file is
 * loaded once and pages render on one thread per processor (or on
 * RENDRIX_THREADS threads when that environment variable holds 1..256); files
 * are written in page order, and a failing page stops the run with no file
 * written for any page after it. */
RENDRIX_API int rendrix_all(const char* input_path, const char* output_dir, int dpi, int format);

/* An open document: the file read and parsed once, for many pages. */
typedef struct rendrix_doc rendrix_doc;

/* Opens the PDF file at path; NULL on failure. Close it with
 * rendrix_doc_close. */
RENDRIX_API rendrix_doc* rendrix_doc_open(const char* path);

/* Number of pages of an open document, or 0 on failure. */
RENDRIX_API int rendrix_doc_page_count(const rendrix_doc* doc);

/* As rendrix_page_memory, for a page of an open document: the same images
 * and the same messages, without reading the file again. */
RENDRIX_API unsigned char* rendrix_doc_page_memory(const rendrix_doc* doc, int page, int dpi,
                                                   int format, uint64_t* out_size);

/* What a page is, before rendering it. */
typedef struct rendrix_page_info {
  double box[4]; /* the page box as the file gives it: x0 y0 x1 y1, in points */
  int rotation;  /* /Rotate in 0..359 degrees; 90, 180 and 270 turn the image */
  int width;     /* the image's size in pixels at the dpi asked (clamped to */
  int height;    /* 1..2400), the sides swapped for 90 and 270 */
} rendrix_page_info;

/* Fills *info for page (1-based) of an open document at dpi. 1 on success,
 * 0 with a message on failure. A page too large to render still gets its
 * size (the render then fails with "page too large ..."). */
RENDRIX_API int rendrix_doc_page_info(const rendrix_doc* doc, int page, int dpi,
                                      rendrix_page_info* info);

/* Releases an open document (NULL is allowed). Its pages must not be
 * rendering on another thread. */
RENDRIX_API void rendrix_doc_close(rendrix_doc* doc);

#ifdef __cplusplus
}
#endif

#endif /* RENDRIX_H */
