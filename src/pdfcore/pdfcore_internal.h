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
