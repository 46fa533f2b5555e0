// The document's memo of decoded streams. Pages of one document use the same
// font programs; without the memo every page inflates them again, which on
// a long document with one large embedded font is a fifth of the work.
//
// A decode charges the page's budget and sizes its buffer by what the page
// has left, so a stream's result depends on the page as well as on its
// bytes. An entry therefore records the room of the first attempt that
// decoded it (which had room to spare), and serves only a decode that would
// start with the same room: that one would write and charge the same bytes.
//
// A stream's bytes are kept only when it is decoded a second time, so a
// one-page document that decodes each font once never holds a font twice.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

#include "pdfcore/limits.h"
#include "pdfcore/pdfcore_internal.h"

struct stream_memo {
  struct entry {
    uint64_t room;
    bool kept;  // bytes hold the stream; false after its first decode
    std::vector<uint8_t> bytes;
  };
  std::mutex lock;
  std::unordered_map<const obj_entry*, entry> entries;
  uint64_t held = 0;  // bytes of all entries
};

stream_memo* stream_memo_new(void) {
  return new (std::nothrow) stream_memo();
}

void stream_memo_free(stream_memo* memo) {
  delete memo;
}

memo_result stream_memo_take(stream_memo* memo, const obj_entry* o, uint64_t room, uint8_t** bytes,
                             int32_t* length) {
  std::lock_guard<std::mutex> hold(memo->lock);
  auto it = memo->entries.find(o);
  if (it == memo->entries.end() || !it->second.kept || it->second.room != room) return MEMO_MISSING;
  const std::vector<uint8_t>& kept = it->second.bytes;
  // The decode would have failed to get its buffer before charging anything.
  uint8_t* copy = static_cast<uint8_t*>(malloc(kept.size() + 1));
  if (!copy) return MEMO_FAILED;
  if (!page_decode_charge(static_cast<int64_t>(kept.size()))) {
    free(copy);
    return MEMO_FAILED;
  }
  if (!kept.empty()) memcpy(copy, kept.data(), kept.size());
  copy[kept.size()] = 0;
  *bytes = copy;
  *length = static_cast<int32_t>(kept.size());  // it came from an int32_t length
  return MEMO_FOUND;
}

void stream_memo_keep(stream_memo* memo, const obj_entry* o, uint64_t room, const uint8_t* bytes,
                      int32_t length) {
  if (length < 0 || !bytes) return;
  std::lock_guard<std::mutex> hold(memo->lock);
  const uint64_t n = static_cast<uint64_t>(length);
  try {
    auto it = memo->entries.find(o);
    if (it == memo->entries.end()) {
      // The first decode: only noted, while the memo notes any more.
      if (memo->entries.size() < pdfcore_limits::kMaxSharedStreams)
        memo->entries.emplace(o, stream_memo::entry{room, false, {}});
      return;
    }
    stream_memo::entry& e = it->second;
    if (e.kept || n > pdfcore_limits::kMaxSharedStreamBytes - memo->held) return;
    e.bytes.assign(bytes, bytes + n);
    e.room = room;
    e.kept = true;
  } catch (const std::bad_alloc&) {
    return;  // the stream is decoded again where it is used
  }
  memo->held += n;
}
