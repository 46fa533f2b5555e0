// Object streams: each stream whose dictionary names /ObjStm is decoded once,
// split into its members, and one table entry per member is appended with
// its text pointing into the decoded block, which the document's arena owns.
//
// A decode that runs out of output room is retried with four times the room,
// up to a ceiling; a failed attempt's block is released at once, and an
// attempt that fails for any other reason is not retried.
#include "pdfcore/pdfcore_internal.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "compression/compression.h"
#include "pdfcore/limits.h"

int arena_adopt(arena* a, uint8_t* block) {
  if (a->count == a->cap) {
    if (a->cap > INT32_MAX / 2) {
      free(block);
      return 0;
    }
    int32_t cap = a->cap ? a->cap * 2 : 4;
    void* grown = realloc(a->blocks, sizeof(uint8_t*) * (size_t)cap);
    if (!grown) {
      free(block);
      return 0;
    }
    a->blocks = (uint8_t**)grown;
    a->cap = cap;
  }
  a->blocks[a->count++] = block;
  return 1;
}

uint8_t* arena_alloc(arena* a, size_t size) {
  uint8_t* block = (uint8_t*)malloc(size ? size : 1);
  if (!block) return nullptr;
  return arena_adopt(a, block) ? block : nullptr;
}

void arena_free(arena* a) {
  for (int32_t i = 0; i < a->count; i++) free(a->blocks[i]);
  free(a->blocks);
  a->blocks = nullptr;
  a->count = 0;
  a->cap = 0;
  a->kept = 0;
}

// Bytes of decoded data the arena may still take.
static uint64_t arena_room(const arena* a) {
  uint64_t limit = a->limit ? a->limit : pdfcore_limits::kMaxObjStmTotalBytes;
  return a->kept < limit ? limit - a->kept : 0;
}

// Inflates n bytes at src into a new arena block. Returns the block and its
// decoded length D, or null.
static uint8_t* inflate_into_arena(const uint8_t* src, int64_t n, arena* a, int64_t* decoded) {
  // No attempt is larger than the ceiling: 8 n + 64 first, four times the
  // room after a full buffer, clamped to kMaxObjStmDecodeCap + 1 bytes and
  // to what the document may still keep (a stream needing more fails).
  const uint64_t room = arena_room(a);
  if (room == 0) return nullptr;
  const uint64_t most = std::min<uint64_t>((uint64_t)pdfcore_limits::kMaxObjStmDecodeCap + 1, room);
  uint64_t cap = std::min<uint64_t>(8 * (uint64_t)n + 64, most);
  for (;;) {
    uint8_t* block = (uint8_t*)malloc((size_t)cap);
    if (!block) return nullptr;
    uint64_t out = 0;
    inflate_status why = INFLATE_OK;
    if (inflate_decompress_status(src, (uint64_t)n, block, cap, &out, &why) == 0) {
      // Keep only what was decoded; the attempt's spare room goes back.
      uint8_t* fitted = (uint8_t*)realloc(block, out ? (size_t)out : 1);
      if (fitted) block = fitted;
      if (!arena_adopt(a, block)) return nullptr;
      a->kept += out;
      *decoded = (int64_t)out;
      return block;
    }
    free(block);
    // Only a full output buffer can be helped by a larger one.
    if (why != INFLATE_OUTPUT_FULL) return nullptr;
    if (cap >= most) return nullptr;
    cap = std::min<uint64_t>(cap * 4, most);
  }
}

// The first value read after an occurrence of /name that passes accept().
template <typename Accept>
static int32_t dict_int(const uint8_t* data, int32_t len, int32_t start, int32_t end,
                        const char* name, Accept accept) {
  int32_t k = (int32_t)strlen(name) + 1;
  for (int32_t p = find_name(data, len, start, end, name); p >= 0;
       p = find_name(data, len, p + 1, end, name)) {
    int32_t q = skip_ws(data, p + k, end);
    int32_t v = parse_int_at(data, end, &q);
    if (accept(v)) return v;
  }
  return -1;
}

int extract_objstm(const uint8_t* data, int32_t len, int32_t index, objvec* objects, arena* a) {
  const obj_entry o = objects->items[index];  // a copy: pushes below may move the table
  int64_t n = (int64_t)o.data_end - o.data_off;
  if (o.data_off < 0 || n < 0 || n > pdfcore_limits::kMaxObjStmBytes) return 0;
  int32_t dstart = o.dict_off;
  int32_t dend = o.stream_off > 0 ? o.stream_off : len;

  uint8_t* block;
  int64_t D;
  if (find_name(data, len, dstart, dend, "FlateDecode") >= 0) {
    block = inflate_into_arena(data + o.data_off, n, a, &D);
    if (!block) return 0;
  } else {
    // Other filters are not undone: the members are read from the raw bytes.
    if ((uint64_t)n > arena_room(a)) return 0;
    block = arena_alloc(a, (size_t)n);
    if (!block) return 0;
    a->kept += (uint64_t)n;
    if (n) memcpy(block, data + o.data_off, (size_t)n);
    D = n;
  }

  int32_t count = dict_int(data, len, dstart, dend, "N", [](int32_t v) { return v > 0; });
  int32_t first = dict_int(data, len, dstart, dend, "First", [](int32_t v) { return v >= 0; });
  if (first < 0) return 0;
  if (count < 1 || count > pdfcore_limits::kMaxObjStmMembers || first > D) return 0;

  // The header: count pairs of object number and offset from the member start.
  std::vector<int32_t> nums((size_t)count), offs((size_t)count);
  int32_t dl = (int32_t)D;
  int32_t pos = 0;
  for (int32_t i = 0; i < count; i++) {
    nums[i] = read_int_adv(block, dl, &pos);
    offs[i] = read_int_adv(block, dl, &pos);
    if (nums[i] < 0 || offs[i] < 0) return 0;
  }

  int appended = 0;
  for (int32_t i = 0; i < count; i++) {
    int64_t at = (int64_t)first + offs[i];
    int64_t length = i + 1 < count ? (int64_t)offs[i + 1] - offs[i] : D - at;
    if (nums[i] <= 0 || length < 1 || length > pdfcore_limits::kMaxObjStmMemberBytes) continue;
    if (at + length > D) continue;  // a member's text must lie inside the decoded data
    obj_entry m = {nums[i], -1, -1, -1, -1, -1, -1, 0, 1, block + at, (int32_t)length};
    int32_t before = objects->count;
    objvec_push(objects, &m);
    if (objects->count > before) appended = 1;
  }
  return appended;
}

void extract_all_objstm(const uint8_t* data, int32_t len, objvec* objects, arena* a) {
  for (int32_t i = 0; i < objects->count; i++)
    if (is_objstm(data, len, &objects->items[i])) extract_objstm(data, len, i, objects, a);
}
