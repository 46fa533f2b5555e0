// Format numbers of baseline JPEG (ITU-T T.81) in the JFIF layout: the marker
// codes (Table B.1) and the zigzag order of the 64 coefficients of a block
// (Figure A.6).
#pragma once

#include <cstdint>

// Every marker is 0xFF followed by one of these codes.
inline constexpr uint8_t kJpegMarkerPrefix = 0xff;
inline constexpr uint8_t kJpegSOI = 0xd8;   // start of image
inline constexpr uint8_t kJpegEOI = 0xd9;   // end of image
inline constexpr uint8_t kJpegAPP0 = 0xe0;  // application segment 0 (JFIF)
inline constexpr uint8_t kJpegDQT = 0xdb;   // define quantisation table
inline constexpr uint8_t kJpegSOF0 = 0xc0;  // start of frame, baseline DCT
inline constexpr uint8_t kJpegDHT = 0xc4;   // define Huffman table
inline constexpr uint8_t kJpegSOS = 0xda;   // start of scan

// Natural (row-major) index of the coefficient at each zigzag position.
inline constexpr uint8_t jpeg_zigzag[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};
