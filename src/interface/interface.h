// The library interface: the exported functions (exports.cpp) and the page
// rendering driver (render_page.cpp).
#pragma once

#include <cstdint>

#include "pdfcore/pdfcore.h"
#include "raster/raster.h"
#include "rendrix.h"

// The pixel size of a page at dpi (already clamped): the box's upper
// corner scaled and rounded, sides swapped for a quarter-turn rotation, each
// at least 1. Returns 0 when a side exceeds the largest canvas (the size is
// then still given, saturated).
int page_pixel_size(const pageinfo* pg, int32_t dpi, int32_t* width, int32_t* height);

// A number of pixels at least that of every page's raster at dpi (found from
// the largest page box in constant time), or 0 when that bound passes the
// largest canvas. Each page's raster is allocated with this much room.
uint64_t largest_page_pixels(const pdfcore_doc* doc, int32_t dpi);

// Renders page index (0-based) of a loaded document at dpi (already clamped
// to 1..2400) into a malloc'd block of width x height RGBA pixels, top row
// first. Null with a message on failure.
uint8_t* render_page(const pdfcore_doc* doc, int32_t index, int32_t dpi, int32_t* out_width,
                     int32_t* out_height);

// Renders page index into *cv, a canvas it sets up (its alpha plane only
// when some pixel is not opaque); the caller releases it with canvas_free.
// 1, or 0 with a message and nothing to release.
int render_page_canvas(const pdfcore_doc* doc, int32_t index, int32_t dpi, canvas* cv);
