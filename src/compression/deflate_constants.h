// Format numbers of DEFLATE (RFC 1951) and its zlib wrapper (RFC 1950): the
// symbol alphabets, the length and distance code tables of section 3.2.5 and
// the order of the code-length code lengths of section 3.2.7.
#pragma once

#include <cstdint>

// zlib wrapper: compression method 8 (deflate) in the low nibble of the first
// header byte, a 32 KiB window, and a trailer of Adler-32 over the data.
inline constexpr uint8_t kZlibMethodDeflate = 8;
inline constexpr uint32_t kAdlerModulus = 65521;
// Most bytes that can be summed before s2 must be reduced: the largest n with
// 255 n (n + 1) / 2 + (n + 1) (65521 - 1) below 2^32.
inline constexpr uint32_t kAdlerMaxRun = 5552;

// Block types (BTYPE) in a block header.
inline constexpr int kDeflateBlockStored = 0;
inline constexpr int kDeflateBlockFixed = 1;
inline constexpr int kDeflateBlockDynamic = 2;

inline constexpr uint32_t kDeflateWindowSize = 32768;  // farthest back a distance may reach
inline constexpr int kDeflateMinMatch = 3;
inline constexpr int kDeflateMaxMatch = 258;

inline constexpr int kDeflateEndOfBlock = 256;
inline constexpr int kDeflateNumLitLen = 286;  // 0..255 literals, 256 end, 257..285 lengths
inline constexpr int kDeflateNumDist = 30;
inline constexpr int kDeflateNumCodeLen = 19;     // 0..15 lengths, 16..18 repeats
inline constexpr int kDeflateMaxCodeBits = 15;    // longest literal/length or distance code
inline constexpr int kDeflateMaxCodeLenBits = 7;  // longest code of the code-length code

// Code-length symbols that repeat: 16 the previous length 3..6 times (2 extra
// bits), 17 a zero length 3..10 times (3 bits), 18 a zero 11..138 times (7 bits).
inline constexpr int kDeflateRepeatPrev = 16;
inline constexpr int kDeflateRepeatZero3 = 17;
inline constexpr int kDeflateRepeatZero11 = 18;

// Base match length and extra-bit count of length symbols 257..285.
inline constexpr uint16_t deflate_len_base[29] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                                  15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                                  67, 83, 99, 115, 131, 163, 195, 227, 258};
inline constexpr uint8_t deflate_len_extra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                  2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};

// Base distance and extra-bit count of distance symbols 0..29.
inline constexpr uint16_t deflate_dist_base[30] = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
inline constexpr uint8_t deflate_dist_extra[30] = {0, 0, 0,  0,  1,  1,  2,  2,  3,  3,
                                                   4, 4, 5,  5,  6,  6,  7,  7,  8,  8,
                                                   9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// Order in which a dynamic block header sends the code-length code's lengths.
inline constexpr uint8_t deflate_code_length_order[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                          11, 4,  12, 3, 13, 2, 14, 1, 15};
