// Helpers shared by the files of the document core and by its tests; nothing
// outside the core includes this header.
#pragma once

#include "pdfcore/pdfcore.h"

// Trailer: the catalog's number and the /Encrypt flag (xref.cpp).
void parse_xref(const uint8_t* data, int32_t len, xref* x);
void parse_trailer_dict(const uint8_t* data, int32_t len, int32_t pos, xref* x);

// Object table (load.cpp).
void objvec_free(objvec* objects);
// Builds the by-number index; on allocation failure obj_find stays linear.
void objvec_index_build(objvec* objects);
void objvec_index_drop(objvec* objects);
// 1 when o is a stream whose dictionary names /ObjStm.
int is_objstm(const uint8_t* data, int32_t len, const obj_entry* o);
// Parses an already filled data/len into the record (everything after the
// file has been read). 0 on success, -1 with a message.
int doc_parse(pdfcore_doc* doc, const char* name);

// Object streams (objstm.cpp).
uint8_t* arena_alloc(arena* a, size_t size);
// Records a block obtained elsewhere; on failure frees it and returns 0.
int arena_adopt(arena* a, uint8_t* block);
void arena_free(arena* a);
void extract_all_objstm(const uint8_t* data, int32_t len, objvec* objects, arena* a);
int extract_objstm(const uint8_t* data, int32_t len, int32_t index, objvec* objects, arena* a);

// Page tree (pages.cpp). Each reader works on the object's region.
int obj_type(const uint8_t* data, int32_t len, const obj_entry* o);
int32_t parse_pages_ref(const uint8_t* data, int32_t len, const obj_entry* o);
int32_t parse_kids(const uint8_t* data, int32_t len, const obj_entry* o, int32_t* values,
                   int32_t capacity);
int32_t obj_rotate_own(const uint8_t* data, int32_t len, const obj_entry* o);
int obj_box(const uint8_t* data, int32_t len, const obj_entry* o, double* x0, double* y0,
            double* x1, double* y1);
int parse_box_array(const uint8_t* text, int32_t end, int32_t pos, double* x0, double* y0,
                    double* x1, double* y1);
void fill_pageinfo(const uint8_t* data, int32_t len, const obj_entry* o, pageinfo* info);
int32_t resolve_pages(const uint8_t* data, int32_t len, const objvec* objects, int32_t num,
                      int32_t max_num, pagevec* pages, uint8_t* visited, int32_t rotation);
void pagevec_push(pagevec* pages, const pageinfo* p);
void pagevec_free(pagevec* pages);

// Scan pass 2's reader of an indirect /Length (load.cpp): the integer after
// the header of the first entry numbered ref, which must be a direct
// non-stream object. -1 when there is none.
int32_t indirect_length(const uint8_t* data, int32_t len, const objvec* objects, int32_t ref);

// Flate with retries (filters.cpp). Inflates src[0..n) and appends the
// output to b (a zeroed buf is fine) with first_cap bytes of room; a full
// buffer is retried with four times the room up to kMaxStreamDecodeBytes.
// 1 with *outlen = bytes appended; 0 with b's length and contents as they
// were and the room of failed attempts released.
int inflate_into_buf(buf* b, const uint8_t* src, uint64_t n, uint64_t first_cap, uint64_t* outlen);
// The room of the first attempt of inflate_into_buf with first_cap asked
// for, as the page's account stands now.
uint64_t flate_first_room(uint64_t first_cap);
// ASCII85 decoding of src[0..n) into a new block (the caller frees it);
// null when memory runs out or the output would pass INT32_MAX bytes.
uint8_t* ascii85_decode_alloc(const uint8_t* src, int32_t n, uint64_t* outlen);
// The first Flate buffer of page_stream_decode for n compressed bytes whose
// dictionary lies in text[start, end): 200 n + 1 MiB, or an image's sample
// estimate when larger, at most kMaxPageStreamFirstBytes.
uint64_t page_stream_first_cap(const uint8_t* text, int32_t start, int32_t end, uint64_t n);

// The document's memo of decoded streams (stream_memo.cpp), which pages
// share so that a font program used on every page is inflated once. An
// entry is kept with the room of the attempt that decoded it, and taken only
// by a decode whose first attempt would get the same room: that decode would
// run and charge exactly as the first did.
stream_memo* stream_memo_new(void);
void stream_memo_free(stream_memo* memo);
enum memo_result { MEMO_MISSING, MEMO_FOUND, MEMO_FAILED };
// MEMO_FOUND with a new block (the decoded bytes and a 0 after them) and its
// length, the bytes charged to the page's decode budget; MEMO_FAILED when
// the block cannot be had or the budget is short (the budget is then spent,
// as the decode would have left it); MEMO_MISSING when no entry has the room.
memo_result stream_memo_take(stream_memo* memo, const obj_entry* o, uint64_t room, uint8_t** bytes,
                             int32_t* length);
// Notes that o decoded to length bytes in an attempt of room bytes; the
// second time, keeps a copy of them while the memo has space for them.
void stream_memo_keep(stream_memo* memo, const obj_entry* o, uint64_t room, const uint8_t* bytes,
                      int32_t length);

// Resource dictionaries (streams.cpp). text and end are an object's resource
// text: a member's payload, or the file up to its region end. The search
// window starts after the last "endobj" before end. A malloc'd copy or null.
char* page_resources_dict(const uint8_t* data, int32_t len, const objvec* objects,
                          const uint8_t* text, int32_t end);
// As page_resources_dict, following /Parent up to depth times when the text
// itself names no /Resources.
char* page_resources_dict_deep(const uint8_t* data, int32_t len, const objvec* objects,
                               const uint8_t* text, int32_t end, int depth);

// Dictionary readers (lookups.cpp). Where an entry's text ends in the file:
// its "stream" keyword, else its "endobj", else len.
int32_t obj_region_end(const obj_entry* o, int32_t len);
// A copy of the dictionary that is e's value: in a member, the one opened at
// the payload's first '<'; else the one at dict_off. Null when there is none.
char* entry_dict_text(const uint8_t* data, int32_t len, const obj_entry* e);
