// The compression subsystem: decoding of zlib-wrapped DEFLATE data (FlateDecode
// streams) and encoding of it (PNG output). Decoding writes into one caller
// buffer and never allocates, or streams its output to a consumer. Corrupt data ends decoding but
// keeps the bytes produced so far; only an unusable header, input that runs out, or a full buffer
// fail the whole call.
#pragma once
#include <cstdint>

// Why a decode attempt ended; inflate_decompress collapses these to 0 / -1.
enum inflate_status : int {
  // Result 0. The final block was decoded, or decoding stopped at corrupt data
  // (bad block type, code or distance); the output up to that point is kept.
  INFLATE_OK = 0,
  // Result -1, nothing decoded. srclen < 2, dstcap above 1 GiB, compression
  // method (low nibble of byte 0) not 8, preset-dictionary bit set, or a null
  // src / dst with a non-zero length. Retrying with more room cannot help.
  INFLATE_BAD_HEADER = 1,
  // Result -1. The input ended before the final block did, including a stored
  // block whose header or data lies beyond the input. Retrying cannot help.
  INFLATE_TRUNCATED = 2,
  // Result -1. The stream decodes to more than dstcap bytes (checked before
  // each literal, match and stored block is written); a larger buffer may
  // succeed.
  INFLATE_OUTPUT_FULL = 3,
  // inflate_stream only: the sink refused a piece of output, or the
  // decoder's buffer could not be allocated.
  INFLATE_STOPPED = 4,
};

// Decodes the zlib stream src[0..srclen) into dst[0..dstcap). Returns 0 with
// *outlen = bytes written, or -1 with *outlen = 0 (dst contents then
// undefined). The header check value, window size, Adler-32 trailer and any
// bytes after the final block are not examined. Nothing is written past
// dstcap and nothing is read past srclen.
int inflate_decompress(const uint8_t* src, uint64_t srclen, uint8_t* dst, uint64_t dstcap,
                       uint64_t* outlen);
// Same decode; *why (may be null) says how it ended.
int inflate_decompress_status(const uint8_t* src, uint64_t srclen, uint8_t* dst, uint64_t dstcap,
                              uint64_t* outlen, inflate_status* why);

// Takes the next n (> 0) bytes of a streamed decode; false stops decoding.
using inflate_sink = bool (*)(void* user, const uint8_t* p, uint64_t n);

// Decodes the zlib stream src[0..srclen) as inflate_decompress_status does
// into a buffer of limit bytes, but hands the output to sink in order, in
// pieces, and needs only a 256 KiB buffer of its own whatever the output's
// size (the one allocation it makes). It ends as the one-shot decode would:
// INFLATE_OUTPUT_FULL when the stream produces more than limit bytes, the
// same result and bytes otherwise. *produced is the number of bytes decoded
// before it ended: all of them handed out when INFLATE_OK; when
// INFLATE_TRUNCATED, the smallest limit that fails as truncated rather than
// full. Pieces may have been handed out before a failure.
inflate_status inflate_stream(const uint8_t* src, uint64_t srclen, uint64_t limit,
                              inflate_sink sink, void* user, uint64_t* produced);

// Compresses in[0..n) (in may be null when n is 0) into a complete zlib
// stream: header 78 01, dynamic-Huffman DEFLATE blocks of 64 KiB of input
// each, Adler-32 trailer. The bytes are fully determined by the input. Returns
// 0 and stores a malloc'd block with its length in *out and *outlen (the
// caller frees it); returns -1 and stores nothing when memory runs out or in
// is null with n > 0. Any number of calls may run at once.
int qx_deflate(const uint8_t* in, uint64_t n, uint8_t** out, uint64_t* outlen);

// Hands the deflater the len input bytes at position pos (blocks of 64 KiB,
// in order); the pointer must stay valid until the next call. Null fails
// the compression.
using deflate_source = const uint8_t* (*)(void* user, uint64_t pos, uint32_t len);

// The same stream as qx_deflate for n input bytes that the source supplies
// block by block, so the whole input never has to be in memory at once.
int qx_deflate_from(uint64_t n, deflate_source source, void* user, uint8_t** out, uint64_t* outlen);

// Makes a malloc'd block hold at least need bytes, doubling its capacity;
// *data and *cap change only on success. Returns 0, or -1 when the size
// cannot be had (the block is then left as it was). Shared by the encoders'
// output buffers.
int block_reserve(uint8_t** data, uint64_t* cap, uint64_t need);
