// The library interface: the exported functions (exports.cpp) and the page
// rendering driver (render_page.cpp).
#pragma once

#include <cstdint>

#include "pdfcore/pdfcore.h"
#include "rendrix.h"

// Renders page index (0-based) of a loaded document at dpi (already clamped
// to 1..2400) into a malloc'd block of width x height RGBA pixels, top row
// first. Null with a message on failure.
uint8_t* render_page(const pdfcore_doc* doc, int32_t index, int32_t dpi, int32_t* out_width,
                     int32_t* out_height);
