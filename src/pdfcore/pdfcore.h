// The PDF document core: reads a whole file, finds its objects by scanning
// for object headers (the cross-reference offsets are never trusted), unpacks
// object streams, and resolves the page tree into a page list.
//
// PDF syntax is never parsed into a tree: every value is found by searching
// a byte range for a name and reading what follows. Offsets and lengths are
// signed 32-bit and -1 means absent. The process-wide error buffer lives here
// too, because the core is the lowest layer that reports messages.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------
// Error buffer: one message of at most 1023 bytes, "" when none is recorded.

// Empties the buffer, then formats the message into it ("" just clears it).
void pdfcore_set_error(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Empties the buffer (the same as pdfcore_set_error with "").
void pdfcore_clear_error(void);
// As pdfcore_set_error, with an argument list already started.
void pdfcore_vserror(const char* fmt, va_list ap);
// The buffer itself; never null.
const char* pdfcore_last_error(void);

// ---------------------------------------------------------------------------
// Scanning primitives. Text is a byte array with an explicit length; nothing
// reads at or beyond that length. A miss is -1.

// PDF whitespace: NUL, TAB, LF, FF, CR, SPACE. Other control bytes are not.
inline bool pdf_is_ws(uint8_t c) {
  return c == 0 || c == 9 || c == 10 || c == 12 || c == 13 || c == 32;
}
// ASCII letter or digit; bytes 0x80 and above are not alphanumeric.
inline bool pdf_is_alnum(uint8_t c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
inline bool pdf_is_digit(uint8_t c) {
  return c >= '0' && c <= '9';
}

// First position >= pos that is not PDF whitespace, or len.
int32_t skip_ws(const uint8_t* text, int32_t pos, int32_t len);
// 1 when kw occurs at pos with non-alphanumeric bytes on both sides.
int kw_at(const uint8_t* text, int32_t pos, int32_t len, const char* kw);
// First boundary-respecting occurrence of kw at or after start, or -1.
int32_t find_kw(const uint8_t* text, int32_t len, int32_t start, const char* kw);
// Decimal integer at pos (after whitespace, optional '-'); moves pos past it.
// On failure returns -1 and leaves pos unchanged. Overflow wraps.
int32_t parse_int_at(const uint8_t* text, int32_t len, int32_t* pos);
// Integer reader for object-stream headers: always moves pos (stays on 'R').
int32_t read_int_adv(const uint8_t* text, int32_t end, int32_t* pos);
// Integer reader for the renderer: always moves pos, also past 'R'.
int32_t read_num_adv(const uint8_t* text, int32_t len, int32_t* pos);
// Slash of the first /name in [start, end) followed by a name boundary, or -1.
int32_t find_name(const uint8_t* text, int32_t len, int32_t start, int32_t end, const char* name);
// Slash of the first /Type not inside a nested dictionary, string or comment.
int32_t find_name_top(const uint8_t* text, int32_t len, int32_t start, int32_t end);
// First '>' of the ">>" closing the dictionary opened at start, or -1.
int32_t find_dict_close(const uint8_t* text, int32_t start, int32_t end);
// Position of the "stream" keyword right after the dictionary at pos, or -1.
int32_t dict_stream_kw(const uint8_t* text, int32_t len, int32_t pos);
// malloc'd NUL-terminated copy of the dictionary opened at pos ("<<" .. ">>"),
// or null. The caller frees it.
char* dict_text_at(const uint8_t* text, int32_t len, int32_t pos);
// The /Length of a stream dictionary in [start, end): a direct value goes to
// *direct, an indirect one (an object number) to *ref; both -1 when absent.
void parse_length(const uint8_t* text, int32_t len, int32_t start, int32_t end, int32_t* direct,
                  int32_t* ref);

// ---------------------------------------------------------------------------
// Growable NUL-terminated byte buffer. A zero-filled buf is empty and valid;
// while data is non-null, len < cap and data[len] == 0. A failed growth
// leaves the buffer empty; callers look at data afterwards.
struct buf {
  uint8_t* data;
  uint64_t len;
  uint64_t cap;
};

void buf_init(buf* b);
void buf_reserve(buf* b, uint64_t n);
void buf_bytes(buf* b, const void* src, uint64_t n);
void buf_str(buf* b, const char* s);
void buf_free(buf* b);

// ---------------------------------------------------------------------------
// The loaded document.

// What the trailers contribute: the catalog's number and the /Encrypt flag.
struct xref {
  int32_t root;       // object number named by /Root, -1 when none
  int32_t encrypted;  // 1 when a trailer or xref stream names /Encrypt
};

// One indirect object. Offsets are into the document's data; -1 is absent.
struct obj_entry {
  int32_t num;             // object number, >= 1
  int32_t head_off;        // first digit of the object header; -1 in object streams
  int32_t dict_off;        // the '<' right after "obj" (and whitespace), else -1
  int32_t stream_off;      // the "stream" keyword, -1 if not a stream
  int32_t data_off;        // first byte of stream data, -1 if not a stream
  int32_t data_end;        // one past the stream data, -1 if not a stream
  int32_t endobj_off;      // the "endobj" keyword, -1 if none was found
  int32_t is_stream;       // 1 for a stream object
  int32_t in_objstm;       // 1 for a member of an object stream
  const uint8_t* payload;  // member text inside the document's arena, else null
  int32_t payload_len;
};

// The object table. index, when valid, lists entry positions ordered by
// (num, position) so that obj_find is a binary search; every change to the
// table drops it.
struct objvec {
  obj_entry* items;
  int32_t count;
  int32_t cap;
  int32_t* index;
  int32_t index_valid;
};

// Owner of decoded object-stream data; members' payloads point into it.
struct arena {
  uint8_t** blocks;
  int32_t count;
  int32_t cap;
  uint64_t kept;   // bytes of decoded object-stream data held
  uint64_t limit;  // most bytes it may hold; 0 means kMaxObjStmTotalBytes
};

// One page: its object, its box as written (CropBox, else MediaBox, else
// 0 0 595 842) and its rotation in degrees (0..359).
struct pageinfo {
  int32_t num;
  int32_t inherited_rotate;
  double x0, y0, x1, y1;
  int32_t rotate;
};

struct pagevec {
  pageinfo* items;
  int32_t count;
  int32_t cap;
  // The largest x1 * y1 and x1 + y1 of the pages' boxes (negative or
  // non-finite sides counting as 0): they bound the raster of every page at
  // any resolution without a pass over the pages.
  double max_area, max_span;
};

// A loaded document owns everything it points to until pdfcore_doc_free.
struct pdfcore_doc {
  uint8_t* data;  // the whole file, not NUL-terminated
  int32_t len;
  struct xref xref;
  objvec objects;
  struct arena arena;
  pagevec pages;
  int32_t catalog;  // object number of the catalog used
  int32_t max_num;  // largest object number in the final table
  // Decoded streams that the pages share (fonts); null for none. The only
  // part of a loaded document that changes, behind its own lock.
  struct stream_memo* memo;
};

// Loads the file at path. 1 on success; 0 with a message, the record then
// being empty as after pdfcore_doc_free.
int pdfcore_load(const char* path, pdfcore_doc* doc);
// Loads a document from bytes already in memory (copied). name stands for the
// file in messages. 1 on success, 0 with a message.
int pdfcore_load_memory(const uint8_t* bytes, size_t size, const char* name, pdfcore_doc* doc);
// Releases everything and zeroes the record; harmless on a zeroed record.
void pdfcore_doc_free(pdfcore_doc* doc);

// First entry with this number, or null.
const obj_entry* obj_find(const objvec* objects, int32_t num);
// Appends a copy of e; if the table cannot grow, e is not added.
void objvec_push(objvec* objects, const obj_entry* e);

// The text in which an object's keys are searched: a member's payload, or
// the file from dict_off to stream_off / endobj_off / the end of the file.
// Returns 0 when the object has no region.
int obj_region(const uint8_t* data, int32_t len, const obj_entry* o, const uint8_t** text,
               int32_t* start, int32_t* end);

// ---------------------------------------------------------------------------
// Stream data, page contents, resources and dictionary lookups: what the
// interpreter, the fonts and the images ask of a loaded document. The
// resource and colour-space lookups are document questions and live here,
// beside the other dictionary readers, so the images need not depend on the
// interpreter. Every block handed out is malloc'd and released by the caller
// with free; nothing here writes a message, and every failure is null or 0.

// The data of a stream object. When its dictionary names FlateDecode
// anywhere, the data are inflated and appended to b (20 n + 4096 bytes of
// room first, more on retry up to a ceiling), and the result points at them
// inside b; on failure b's length and contents stay as they were. Otherwise
// the result points into data at the raw bytes and b is not touched. No
// other filter is undone. *outlen gets the length; null when the object is
// not a stream, has no data, or inflating fails.
const uint8_t* decoded_stream(const obj_entry* o, const uint8_t* data, int32_t len, buf* b,
                              int32_t* outlen);
// The content named by o's /Contents: one stream reference, an array of them
// (decoded with decoded_stream and joined without separators; missing or
// undecodable members are skipped) or a stream written inline. 1 with a new
// NUL-terminated block in *bytes (always a copy, so the caller always frees
// it) and its length in *length; 0 with *bytes null and *length 0.
int get_page_content(const uint8_t* data, int32_t len, const objvec* objects, const obj_entry* o,
                     uint8_t** bytes, int32_t* length);
// The resource dictionary of the page at 0-based index as text ("<<" .. ">>"),
// inherited from the nearest of up to 32 /Parent ancestors when the page has
// none of its own; null when there is none.
char* pdfcore_page_resources(const pdfcore_doc* doc, int32_t index);
// The resource dictionary named by object num itself (no inheritance).
char* pdfcore_obj_resources(const pdfcore_doc* doc, int32_t num);
// The renderer's decoding of a stream object: ASCII85Decode and FlateDecode,
// alone or together in an array (ASCII85 is always undone first), raw bytes
// for any other filter. A new block with *outlen bytes, or null (*outlen
// untouched) when the object is not a stream with data and a dictionary, or
// decoding fails. A data error inside Flate data keeps the bytes before it.
uint8_t* page_stream_decode(const pdfcore_doc* doc, const obj_entry* o, int32_t* outlen);
// page_stream_decode for streams that many pages decode alike (font
// programs): the same result and the same charges to the page, but a
// Flate stream is inflated once per document and copied afterwards.
uint8_t* page_stream_decode_shared(const pdfcore_doc* doc, const obj_entry* o, int32_t* outlen);
// Takes the next n (> 0) decoded bytes of a stream; false stops decoding.
using stream_sink = bool (*)(void* user, const uint8_t* p, uint64_t n);
// page_stream_decode for a stream filtered by Flate alone, handing the
// decoded bytes to sink in order as they come instead of keeping them, so a
// consumer that needs only some of them never holds the whole. The same
// checks, charges to the page and result: 1 with the decoded length in
// *outlen, 0 where page_stream_decode fails (sink may have had bytes by
// then). -1, with nothing charged, for a stream with other filters or when
// sink stops: page_stream_decode is then the way to decode it.
int page_stream_decode_to(const pdfcore_doc* doc, const obj_entry* o, stream_sink sink, void* user,
                          int32_t* outlen);
// Decodes again, as one block of len bytes (plus a terminating 0), a stream
// that page_stream_decode_to decoded to len bytes. Nothing is charged: that
// decode was. Null when memory runs out or the stream does not give len
// bytes.
uint8_t* page_stream_decode_again(const pdfcore_doc* doc, const obj_entry* o, int32_t len);
// ---------------------------------------------------------------------------
// The page memory account (page_memory.cpp), one per thread. While a page is
// rendered, what it holds beyond its raster is taken from the account and
// given back when released; decode buffers are sized within what is left.
// Outside a page every take succeeds and page_memory_left is INT64_MAX.

// Starts the account of the page about to be rendered with limit bytes, and
// its decode budget with decode_limit bytes.
void page_memory_begin(int64_t limit, int64_t decode_limit);
// Ends it; the thread is outside a page again.
void page_memory_end(void);
// Bytes the page may still take.
int64_t page_memory_left(void);
// Takes n bytes; false (nothing taken) when fewer are left.
bool page_memory_take(int64_t n);
// Gives n bytes back.
void page_memory_give(int64_t n);
// The decode budget: bytes of stream data the page may still decode, copy
// or run, counting every use and every failed attempt, so a page naming
// large or undecodable streams many times stops in bounded time. Once it is
// spent nothing more is decoded. INT64_MAX outside a page.
int64_t page_decode_left(void);
// Charges n bytes; false (and the budget spent) when fewer are left.
bool page_decode_charge(int64_t n);

// Bytes taken in one scope and given back when it ends.
struct page_memory_hold {
  int64_t held = 0;
  page_memory_hold() = default;
  page_memory_hold(const page_memory_hold&) = delete;
  page_memory_hold& operator=(const page_memory_hold&) = delete;
  ~page_memory_hold() { page_memory_give(held); }
  bool take(int64_t n) {
    if (!page_memory_take(n)) return false;
    if (n > 0) held += n;
    return true;
  }
};

// Position of the value of /key in a dictionary text, with *kind 1 for a
// dictionary written in place, 2 for an array, 0 for a reference "N G R"
// (the position of N; G is a single digit). -1 for anything else.
int32_t res_value(const char* text, int32_t length, const char* key, int* kind);
// A copy of the dictionary that is the value of object num, or null.
char* obj_dict_text(const pdfcore_doc* doc, int32_t num);
// The family of the colour space written at text[position]: "DeviceGray",
// "DeviceRGB", "DeviceCMYK" or "Indexed" (constant strings), or null. A
// reference is followed to its object's value, at most three hops in all
// (start with depth 0).
const char* resolve_colorspace(const pdfcore_doc* doc, const char* text, int32_t length,
                               int32_t position, int depth);
