// Format numbers of TrueType font files (Apple TrueType Reference Manual and
// the OpenType 'cmap', 'glyf', 'head', 'hhea', 'hmtx', 'loca' and 'maxp'
// chapters): file signatures, table tags, the field offsets the reader uses,
// and the flag bits of glyph records. All numbers in a font are big-endian.
#pragma once

#include <cstdint>

// First four bytes of a font file.
inline constexpr uint8_t kTtSigTrueType[4] = {0x00, 0x01, 0x00, 0x00};  // version 1.0
inline constexpr uint8_t kTtSigApple[4] = {'t', 'r', 'u', 'e'};         // Apple TrueType
inline constexpr uint8_t kTtSigCollection[4] = {'t', 't', 'c', 'f'};    // TrueType collection

// Table directory: numTables at 4, entries of 16 bytes from 12
// (tag, checksum, offset, length).
inline constexpr uint32_t kTtDirNumTables = 4;
inline constexpr uint32_t kTtDirHeaderSize = 12;
inline constexpr uint32_t kTtDirEntrySize = 16;
inline constexpr uint32_t kTtDirEntryOffset = 8;
inline constexpr uint32_t kTtDirEntryLength = 12;

// Table tags, compared as the raw bytes stored in the directory.
inline constexpr char kTtTagCmap[] = "cmap";
inline constexpr char kTtTagGlyf[] = "glyf";
inline constexpr char kTtTagHead[] = "head";
inline constexpr char kTtTagHhea[] = "hhea";
inline constexpr char kTtTagHmtx[] = "hmtx";
inline constexpr char kTtTagLoca[] = "loca";
inline constexpr char kTtTagMaxp[] = "maxp";

// Field offsets inside tables.
inline constexpr uint32_t kTtHeadUnitsPerEm = 18;           // uint16
inline constexpr uint32_t kTtHeadIndexToLocFormatLow = 51;  // low byte of int16 at 50
inline constexpr uint32_t kTtMaxpNumGlyphs = 4;             // uint16
inline constexpr uint32_t kTtHheaNumLongMetrics = 34;       // uint16 numberOfHMetrics
inline constexpr uint32_t kTtHmtxLongMetricSize = 4;        // advanceWidth, lsb

// 'cmap': header (version, numTables) then encoding records of 8 bytes
// (platformID, encodingID, subtable offset from the table start).
inline constexpr uint32_t kTtCmapNumRecords = 2;
inline constexpr uint32_t kTtCmapRecordsStart = 4;
inline constexpr uint32_t kTtCmapRecordSize = 8;

// 'cmap' platform and encoding ids the reader ranks.
inline constexpr uint16_t kTtPlatformUnicode = 0;
inline constexpr uint16_t kTtPlatformWindows = 3;
inline constexpr uint16_t kTtEncUnicodeBmp = 3;    // platform 0: Unicode 2.0 BMP
inline constexpr uint16_t kTtEncUnicodeFull = 4;   // platform 0: Unicode 2.0 full
inline constexpr uint16_t kTtEncWindowsBmp = 1;    // platform 3: Unicode BMP
inline constexpr uint16_t kTtEncWindowsFull = 10;  // platform 3: Unicode full

// Subtable layouts (offsets from the subtable start).
//   Format 0:  format, length, language, glyphIdArray[256] (bytes) at 6.
//   Format 4:  format, length, language, segCountX2 at 6, searchRange,
//              entrySelector, rangeShift, endCode[] at 14, reservedPad,
//              startCode[], idDelta[], idRangeOffset[], glyphIdArray[].
//   Format 6:  format, length, language, firstCode at 6, entryCount at 8,
//              glyphIdArray[] (uint16) at 10.
//   Format 12: format, reserved, length (32), language (32), numGroups (32)
//              at 12, groups of (startChar, endChar, startGlyph) at 16.
inline constexpr uint16_t kTtCmapFormat0 = 0;
inline constexpr uint16_t kTtCmapFormat4 = 4;
inline constexpr uint16_t kTtCmapFormat6 = 6;
inline constexpr uint16_t kTtCmapFormat12 = 12;
inline constexpr uint32_t kTtCmap0Glyphs = 6;
inline constexpr uint32_t kTtCmap4SegCountX2 = 6;
inline constexpr uint32_t kTtCmap4EndCodes = 14;
inline constexpr uint32_t kTtCmap6FirstCode = 6;
inline constexpr uint32_t kTtCmap6EntryCount = 8;
inline constexpr uint32_t kTtCmap6Glyphs = 10;
inline constexpr uint32_t kTtCmap12NumGroups = 12;
inline constexpr uint32_t kTtCmap12Groups = 16;
inline constexpr uint32_t kTtCmap12GroupSize = 12;

// 'glyf' record header: numberOfContours (int16), xMin, yMin, xMax, yMax.
// A simple glyph follows with endPtsOfContours[n], instructionLength,
// instructions, flags, x coordinates, y coordinates; a composite glyph
// (numberOfContours < 0) with its component records.
inline constexpr uint32_t kTtGlyphHeaderSize = 10;

// Simple glyph point flags.
inline constexpr uint8_t kTtOnCurve = 0x01;
inline constexpr uint8_t kTtXShort = 0x02;      // x delta is one unsigned byte
inline constexpr uint8_t kTtYShort = 0x04;      // y delta is one unsigned byte
inline constexpr uint8_t kTtRepeat = 0x08;      // next byte repeats this flag
inline constexpr uint8_t kTtXSameOrPos = 0x10;  // short: positive; long: delta 0
inline constexpr uint8_t kTtYSameOrPos = 0x20;

// Composite component flags.
inline constexpr uint16_t kTtArgsAreWords = 0x0001;
inline constexpr uint16_t kTtHaveScale = 0x0008;
inline constexpr uint16_t kTtMoreComponents = 0x0020;
inline constexpr uint16_t kTtHaveXYScale = 0x0040;
inline constexpr uint16_t kTtHaveTwoByTwo = 0x0080;
