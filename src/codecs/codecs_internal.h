// Helpers shared by the codec sources (and reached by their tests); nothing
// outside src/codecs includes this.
#pragma once

#include <cstdint>

// Largest data length of one PNG chunk (ISO/IEC 15948, 5.3).
inline constexpr uint32_t kPngMaxChunkData = 0x7fffffff;

// Builds a whole PNG file image around the zlib stream z[0..zlen): signature,
// IHDR (8-bit RGBA, width x height), the stream cut into IDAT chunks of
// max_idat bytes each (the last one holds the rest; one chunk when zlen <=
// max_idat, so an empty stream still gets one) and IEND. Returns a malloc'd
// block with its length in *size, or null when max_idat is 0 or above
// kPngMaxChunkData, or memory runs out.
uint8_t* png_wrap(int32_t width, int32_t height, const uint8_t* z, uint64_t zlen, uint32_t max_idat,
                  uint64_t* size);

// Writes data[0..size) to a new file at path with one fwrite. Returns 1 when
// every byte was written and the file closed without error, 0 otherwise (no
// file is created when fopen fails).
int codec_write_file(const char* path, const uint8_t* data, uint64_t size);
