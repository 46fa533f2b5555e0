// Named limits of the document core: every cap that bounds work or memory
// on hostile files lives here, so that one file says what a load may cost.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pdfcore_limits {

// Largest file the loader accepts: offsets inside a document are signed 32-bit.
inline constexpr int64_t kMaxFileBytes = INT32_MAX;

// Object numbers above this are dropped when duplicates are resolved.
inline constexpr int32_t kMaxObjectNumber = 0x7FFFFF;

// Cross-reference stream sections followed from startxref.
inline constexpr int kMaxXrefStreamSections = 32;

// Object streams: largest compressed size unpacked, the ceiling of the
// decode buffer, member count and member size.
inline constexpr int64_t kMaxObjStmBytes = 268435456;
inline constexpr int64_t kMaxObjStmDecodeCap = 268435455;
inline constexpr int32_t kMaxObjStmMembers = 100000;
inline constexpr int32_t kMaxObjStmMemberBytes = 1048576;
// Decoded object-stream data one document keeps in all: the blocks stay
// while the document is open, so without this many small streams that
// inflate to the per-stream ceiling could hold any amount of memory.
inline constexpr uint64_t kMaxObjStmTotalBytes = 536870912;

// Nesting of /Pages nodes below the root. Real documents stay far below
// this; a deeper tree fails like a broken tree instead of exhausting the stack.
inline constexpr int kMaxPageTreeDepth = 256;

// Entries in a page list. A page may be listed many times; without a cap a
// small file of shared /Kids arrays could ask for billions of records.
inline constexpr int32_t kMaxPages = 1 << 20;

// /Parent steps followed when a page inherits its resources.
inline constexpr int kMaxResourceParentSteps = 32;

// Output of one Flate stream decoded for the renderer or the document core.
// A decode that fills its buffer is retried with four times the room up to
// this many bytes; a stream that inflates beyond it fails, so a few hundred
// kilobytes of compressed zeros cannot claim gigabytes.
inline constexpr int64_t kMaxStreamDecodeBytes = 268435456;

// Decoded font streams one document keeps for its pages to share. Past it
// further streams are decoded by every page that uses them, as without the
// memo; it bounds what a document with many large fonts holds.
inline constexpr uint64_t kMaxSharedStreamBytes = 16777216;
// Streams the memo notes (it keeps a stream's bytes at its second decode):
// beyond this many a document's further font streams are not noted, so a
// file of countless small fonts cannot grow the memo without bound.
inline constexpr size_t kMaxSharedStreams = 65536;

// The largest output buffer inflate_decompress accepts (1 GiB); a first
// attempt sized above it fails before anything is allocated.
inline constexpr int64_t kMaxInflateBufferBytes = 1073741824;

// The renderer's first Flate buffer never exceeds 1 GiB less 4 KiB, however
// large an image's dimensions promise its samples to be.
inline constexpr int64_t kMaxPageStreamFirstBytes = 1073737728;

// Indirect references followed when a colour space is written as a
// reference to another object (which may itself be a reference).
inline constexpr int kMaxColorSpaceRefHops = 3;

// Memory one page may hold beyond its raster while it is rendered: joined
// content, form content, decoded images and soft masks, embedded fonts and
// their outline caches, and every decode buffer in flight. What would pass
// it is not decoded, and that object is not drawn.
inline constexpr int64_t kMaxPageMemoryBytes = 536870912;

// Stream bytes one page may decode, copy or run in all, each use and each
// failed attempt counted (a repeated image is decoded once). Past it nothing
// more is decoded and the rest of the page is skipped.
inline constexpr int64_t kMaxPageDecodedBytes = int64_t{2} << 30;

}  // namespace pdfcore_limits
