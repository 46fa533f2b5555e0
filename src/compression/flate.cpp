// Deflate: compresses bytes into a zlib stream for the PNG writer. The input is
// cut into independent blocks of 64 KiB; each block is matched greedily (no
// lazy evaluation) through hash chains that never reach outside it, and coded
// with dynamic Huffman codes of its own, never stored or fixed. Every choice
// (hash, chain order, candidate limit, tree tie-breaks, run coding of the code
// lengths) is fixed, so the output bytes are a function of the input alone.
#include "compression/compression.h"

#include <bit>
#include <cstdlib>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "compression/deflate_constants.h"

namespace {

const uint64_t kBlockSize = 65536;
const uint64_t kInitialOutput = uint64_t{1} << 20;
const int kHashSize = 32768;
const uint32_t kHashMask = kHashSize - 1;
const int kMaxCandidates = 128;  // chain entries examined per position

// Upper bound on the bytes one block of n input bytes can take: a header of at
// most 74 + 316 * 14 bits, then at most 16 bits per input byte (a literal code
// has at most 15 bits; a match of >= 3 bytes at most 15 + 5 + 15 + 13) and the
// end code. Reserving this up front lets the bit writer skip capacity checks.
uint64_t block_bound(uint64_t n) {
  return 2 * n + 1024;
}

// Tree node. Leaves are the symbols 0..n-1, internal nodes are numbered from n
// up. code holds the canonical code bit-reversed over len bits, so it can be
// written least significant bit first like every other field.
struct d_node {
  uint32_t freq;
  int16_t len;
  uint16_t code;
  int16_t parent;
};

const int kLitNodes = 2 * kDeflateNumLitLen;      // 572
const int kDistNodes = 2 * kDeflateNumDist + 1;   // 61
const int kBlNodes = 2 * kDeflateNumCodeLen + 1;  // 39
const int kHeapSlots = 575;                       // > 2 * 286 - 1 nodes of the largest tree

// Work area of one Huffman build. heap[1..heap_len] is a binary heap of node
// indices; nodes that leave it are stored downward from heap[kHeapSlots - 1],
// heap[heap_max] being the last stored (after the build, the root).
struct d_work {
  int heap[kHeapSlots];
  int16_t depth[kHeapSlots + 1];
  int heap_len;
  int heap_max;
  int max_symbol;
};

// Bit writer. acc holds `pending` bits not yet in out, the oldest at bit 0 and
// zeros above them; pending < 32 between calls. Capacity is reserved per block
// (block_bound), so writes never check it.
struct d_bits {
  uint64_t acc;
  int pending;
  uint8_t* out;
  uint64_t len;
  uint64_t cap;
};

// Everything one call needs besides the hash chains; one heap block.
struct d_state {
  d_node lit[kLitNodes];
  d_node dist[kDistNodes];
  d_node bl[kBlNodes];
  d_work work;
  uint32_t* symbols;  // per symbol: length << 16 | distance, or byte value for a literal
  // Most recent block position with a given hash, and the previous position
  // of the same hash by position mod 32768; 0 means none (position 0 is
  // never a match source). Cleared per block.
  int32_t head[kHashSize];
  int32_t prev[kHashSize];
  uint16_t hash[kBlockSize];  // hash3 of every block position with 3 bytes left
};

// Length symbol index (0..28, symbol 257 + index) of match lengths 3..258.
struct len_code_table {
  uint8_t code[kDeflateMaxMatch + 1];
};
constexpr len_code_table make_len_codes() {
  len_code_table t{};
  for (int len = kDeflateMinMatch; len <= kDeflateMaxMatch; len++) {
    int i = 0;
    while (i + 1 < 29 && deflate_len_base[i + 1] <= len) i++;
    t.code[len] = uint8_t(i);
  }
  return t;
}
constexpr len_code_table s_len_code = make_len_codes();

// Distance symbol of distances 1..32768: entry d - 1 for d <= 256, entry
// 256 + ((d - 1) >> 7) above, since every base above 256 is 1 more than a
// multiple of 128.
struct dist_code_table {
  uint8_t code[512];
};
constexpr dist_code_table make_dist_codes() {
  dist_code_table t{};
  for (int idx = 0; idx < 512; idx++) {
    int d = idx < 256 ? idx + 1 : ((idx - 256) << 7) + 1;
    int j = 0;
    while (j + 1 < 30 && deflate_dist_base[j + 1] <= d) j++;
    t.code[idx] = uint8_t(j);
  }
  return t;
}
constexpr dist_code_table s_dist_code = make_dist_codes();

inline int dist_code(uint32_t d) {
  return d <= 256 ? s_dist_code.code[d - 1] : s_dist_code.code[256 + ((d - 1) >> 7)];
}

// Appends count bits of value (which must fit), least significant first.
inline void ds_put(d_bits* w, uint32_t value, int count) {
  w->acc |= uint64_t(value) << w->pending;
  w->pending += count;
  if (w->pending >= 32) {
    uint8_t* o = w->out + w->len;
    o[0] = uint8_t(w->acc);
    o[1] = uint8_t(w->acc >> 8);
    o[2] = uint8_t(w->acc >> 16);
    o[3] = uint8_t(w->acc >> 24);
    w->len += 4;
    w->acc >>= 32;
    w->pending -= 32;
  }
}

// Writes out the whole bytes among the pending bits.
void ds_flush_bytes(d_bits* w) {
  while (w->pending >= 8) {
    w->out[w->len++] = uint8_t(w->acc);
    w->acc >>= 8;
    w->pending -= 8;
  }
}

// Makes room for `more` bytes, doubling the capacity. 0 on success.
int ds_reserve(d_bits* w, uint64_t more) {
  if (more > UINT64_MAX - w->len) return -1;
  return block_reserve(&w->out, &w->cap, w->len + more);
}

inline uint32_t reverse_bits(uint32_t code, int len) {
  uint32_t r = 0;
  for (int i = 0; i < len; i++, code >>= 1) r = (r << 1) | (code & 1);
  return r;
}

// Heap order: a before b when a is lighter, or as heavy and no deeper.
inline bool d_smaller(const d_node* tree, const int16_t* depth, int a, int b) {
  return tree[a].freq < tree[b].freq || (tree[a].freq == tree[b].freq && depth[a] <= depth[b]);
}

// Sinks heap position k. The right child is preferred only when strictly
// lighter, or as heavy and strictly shallower.
void d_pqdown(d_work* w, const d_node* tree, int k) {
  int v = w->heap[k];
  int j = k << 1;
  while (j <= w->heap_len) {
    if (j < w->heap_len) {
      int l = w->heap[j], r = w->heap[j + 1];
      if (tree[r].freq < tree[l].freq ||
          (tree[r].freq == tree[l].freq && w->depth[r] < w->depth[l]))
        j++;
    }
    if (d_smaller(tree, w->depth, v, w->heap[j])) break;
    w->heap[k] = w->heap[j];
    k = j;
    j <<= 1;
  }
  w->heap[k] = v;
}

// Gives every used symbol of tree[0..n) a code of at most max_bits bits,
// unused ones length 0. Returns the largest symbol with a code; at least two
// symbols always get one (missing ones are added with frequency 1).
int d_build(d_work* w, d_node* tree, int n, int max_bits) {
  memset(w, 0, sizeof(*w));
  w->heap_max = kHeapSlots;
  int m = -1;
  for (int s = 0; s < n; s++) {
    if (tree[s].freq != 0) {
      w->heap[++w->heap_len] = s;
      w->depth[s] = 0;
      m = s;
    } else {
      tree[s].len = 0;
    }
  }
  while (w->heap_len < 2) {
    int node = m < 2 ? ++m : 0;
    w->heap[++w->heap_len] = node;
    tree[node].freq = 1;
    w->depth[node] = 0;
  }
  w->max_symbol = m;
  for (int k = w->heap_len / 2; k >= 1; k--) d_pqdown(w, tree, k);

  // Merge the two lightest nodes until one is left; stored nodes go downward,
  // so every parent is stored below (before, walking upward) its children.
  int node = n;
  do {
    int a = w->heap[1];
    w->heap[1] = w->heap[w->heap_len--];
    d_pqdown(w, tree, 1);
    int b = w->heap[1];
    w->heap[--w->heap_max] = a;
    w->heap[--w->heap_max] = b;
    tree[node].freq = tree[a].freq + tree[b].freq;
    int16_t da = w->depth[a], db = w->depth[b];
    w->depth[node] = int16_t((da >= db ? da : db) + 1);
    tree[a].parent = tree[b].parent = int16_t(node);
    w->heap[1] = node++;
    d_pqdown(w, tree, 1);
  } while (w->heap_len >= 2);
  w->heap[--w->heap_max] = w->heap[1];

  // Lengths from the root down, cut at max_bits; count leaves per length.
  int count[kDeflateMaxCodeBits + 2] = {};
  int overflow = 0;
  tree[w->heap[w->heap_max]].len = 0;
  for (int h = w->heap_max + 1; h < kHeapSlots; h++) {
    int nd = w->heap[h];
    int bits = tree[tree[nd].parent].len + 1;
    if (bits > max_bits) {
      bits = max_bits;
      overflow++;
    }
    tree[nd].len = int16_t(bits);
    if (nd <= m) count[bits]++;
  }

  if (overflow > 0) {
    // Move leaves down from the deepest length that has one until the counts
    // satisfy the Kraft inequality again: each step takes a leaf of length b
    // to b + 1 with a new sibling from max_bits.
    do {
      int b = max_bits - 1;
      while (b >= 1 && count[b] == 0) b--;
      if (b < 1) break;
      count[b]--;
      count[b + 1] += 2;
      count[max_bits]--;
      overflow -= 2;
    } while (overflow > 0);
    // Hand the lengths out again, longest to the lightest leaves.
    int h = kHeapSlots;
    for (int b = max_bits; b >= 1; b--) {
      int k = count[b];
      while (k > 0 && h > w->heap_max) {
        int nd = w->heap[--h];
        if (nd > m) continue;
        tree[nd].len = int16_t(b);
        k--;
      }
    }
  }

  // Canonical codes (RFC 1951 section 3.2.2).
  int per_len[kDeflateMaxCodeBits + 1] = {};
  for (int s = 0; s <= m; s++) per_len[tree[s].len]++;
  per_len[0] = 0;
  uint32_t next[kDeflateMaxCodeBits + 1] = {};
  uint32_t code = 0;
  for (int b = 1; b <= kDeflateMaxCodeBits; b++) {
    code = (code + uint32_t(per_len[b - 1])) << 1;
    next[b] = code;
  }
  for (int s = 0; s <= m; s++) {
    int len = tree[s].len;
    tree[s].code = len == 0 ? 0 : uint16_t(reverse_bits(next[len]++, len));
  }
  return m;
}

// Run segmentation of the code lengths tree[0..m], shared by counting and
// sending. tree[m + 1].len must hold the sentinel -1. emit(symbol, extra) is
// called per code-length symbol in stream order (extra only for 16..18).
template <typename Emit>
void d_walk_tree(const d_node* tree, int m, Emit emit) {
  int prev = -1;
  int next = tree[0].len;
  int run = 0;
  int longest = next == 0 ? 138 : 7;
  int shortest = next == 0 ? 3 : 4;
  for (int i = 0; i <= m; i++) {
    int cur = next;
    next = tree[i + 1].len;
    if (++run < longest && cur == next) continue;
    if (run < shortest) {
      for (int k = 0; k < run; k++) emit(cur, 0);
    } else if (cur != 0) {
      if (cur != prev) {
        emit(cur, 0);
        run--;
      }
      emit(kDeflateRepeatPrev, run - 3);
    } else if (run <= 10) {
      emit(kDeflateRepeatZero3, run - 3);
    } else {
      emit(kDeflateRepeatZero11, run - 11);
    }
    run = 0;
    prev = cur;
    if (next == 0) {
      longest = 138;
      shortest = 3;
    } else if (cur == next) {
      longest = 6;
      shortest = 3;
    } else {
      longest = 7;
      shortest = 4;
    }
  }
}

// Counts the code-length symbols d_send_tree will write for tree[0..m].
void d_scan_tree(const d_node* tree, int m, d_node* bl) {
  d_walk_tree(tree, m, [bl](int sym, int) { bl[sym].freq++; });
}

// Writes the run-length coded code lengths of tree[0..m].
void d_send_tree(d_bits* w, const d_node* tree, int m, const d_node* bl) {
  d_walk_tree(tree, m, [w, bl](int sym, int extra) {
    ds_put(w, bl[sym].code, bl[sym].len);
    if (sym == kDeflateRepeatPrev) ds_put(w, uint32_t(extra), 2);
    if (sym == kDeflateRepeatZero3) ds_put(w, uint32_t(extra), 3);
    if (sym == kDeflateRepeatZero11) ds_put(w, uint32_t(extra), 7);
  });
}

// Index of the first differing byte of two 8-byte words loaded from memory,
// given their (nonzero) xor.
inline int mismatch_byte(uint64_t diff) {
  if constexpr (std::endian::native == std::endian::little)
    return std::countr_zero(diff) >> 3;
  else
    return std::countl_zero(diff) >> 3;
}

// Number of equal bytes at a and b, at least `from` (already known equal) and
// at most max.
inline int match_length(const uint8_t* a, const uint8_t* b, int from, int max) {
  int len = from;
  while (len + 8 <= max) {
    uint64_t x, y;
    memcpy(&x, a + len, 8);
    memcpy(&y, b + len, 8);
    if (x != y) return len + mismatch_byte(x ^ y);
    len += 8;
  }
  while (len < max && a[len] == b[len]) len++;
  return len;
}

// Adds position q to the chains; q must have 3 bytes left.
inline void insert(d_state* st, uint32_t q) {
  uint32_t h = st->hash[q];
  st->prev[q & kHashMask] = st->head[h];
  st->head[h] = int32_t(q);
}

// Adds positions [from, to) to the chains, in order. Where eight positions
// share the hash of the position before them (runs of one byte or of one
// pixel), each one's predecessor is simply the position before it and the
// eight are stored at once; the chains come out exactly as one by one.
inline void insert_range(d_state* st, uint32_t from, uint32_t to) {
  uint32_t q = from;
#if defined(__SSE2__)
  if (q > 0) {
    const __m128i step = _mm_setr_epi32(0, 1, 2, 3);
    while (q + 8 <= to) {
      uint16_t hp = st->hash[q - 1];
      __m128i same =
          _mm_cmpeq_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(st->hash + q)),
                          _mm_set1_epi16(int16_t(hp)));
      uint32_t slot = q & kHashMask;
      if (_mm_movemask_epi8(same) != 0xffff || slot + 8 > uint32_t(kHashSize)) {
        for (uint32_t end = q + 8; q < end; q++) insert(st, q);
        continue;
      }
      // Position q - 1 went in just before q, so it heads hp's chain.
      __m128i prev = _mm_add_epi32(_mm_set1_epi32(int32_t(q - 1)), step);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(st->prev + slot), prev);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(st->prev + slot + 4),
                       _mm_add_epi32(prev, _mm_set1_epi32(4)));
      st->head[hp] = int32_t(q + 7);
      q += 8;
    }
  }
#endif
  for (; q < to; q++) insert(st, q);
}

// hash3 of every position of b[0..n) with 3 bytes left. The hash keeps 15
// bits, so 16-bit lanes that wrap give the same value; SSE2 does eight
// positions at a time.
void hash_block(d_state* st, const uint8_t* b, uint32_t n) {
  uint16_t* h = st->hash;
  uint32_t q = 0;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  const __m128i m961 = _mm_set1_epi16(961), m31 = _mm_set1_epi16(31);
  const __m128i mask = _mm_set1_epi16(int16_t(kHashMask));
  for (; q + 10 <= n; q += 8) {  // reads b[q .. q + 9]
    __m128i b0 = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(b + q)), zero);
    __m128i b1 =
        _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(b + q + 1)), zero);
    __m128i b2 =
        _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(b + q + 2)), zero);
    __m128i v =
        _mm_add_epi16(_mm_add_epi16(_mm_mullo_epi16(b0, m961), _mm_mullo_epi16(b1, m31)), b2);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(h + q), _mm_and_si128(v, mask));
  }
#endif
  for (; q + kDeflateMinMatch <= n; q++)
    h[q] = uint16_t((961u * b[q] + 31u * b[q + 1] + b[q + 2]) & kHashMask);
}

// Finds the symbols of block b[0..n) greedily into st->symbols and counts
// their frequencies. Returns the number of symbols.
uint32_t d_match_block(d_state* st, const uint8_t* b, uint32_t n) {
  uint32_t nsym = 0;
  uint32_t p = 0;
  while (p < n) {
    int best = 0;
    uint32_t best_dist = 0;
    if (p + kDeflateMinMatch <= n) {
      int32_t lowest = p >= kDeflateWindowSize ? int32_t(p - kDeflateWindowSize) : 0;
      int max = n - p < uint32_t(kDeflateMaxMatch) ? int(n - p) : kDeflateMaxMatch;
      int32_t c = st->head[st->hash[p]];
      const uint8_t* cur = b + p;
      for (int tries = 0; c > lowest && tries < kMaxCandidates; tries++) {
        const uint8_t* cand = b + c;
        // A candidate can only beat the best by also matching up to the
        // best's end, so the eight bytes ending there (the last byte, for a
        // shorter best) are checked before it is compared from the start.
        bool could;
        if (best >= 8) {
          uint64_t x, y;
          memcpy(&x, cand + best - 7, 8);
          memcpy(&y, cur + best - 7, 8);
          could = x == y;
        } else {
          could = best < kDeflateMinMatch || cand[best] == cur[best];
        }
        if (could) {
          int len = match_length(cand, cur, 0, max);
          if (len >= kDeflateMinMatch && len > best) {
            best = len;
            best_dist = p - uint32_t(c);
            if (len >= max) break;  // 258, or the rest of the block: nothing can beat it
          }
        }
        c = st->prev[uint32_t(c) & kHashMask];
      }
    }
    if (best >= kDeflateMinMatch) {
      st->symbols[nsym++] = uint32_t(best) << 16 | best_dist;
      st->lit[257 + s_len_code.code[best]].freq++;
      st->dist[dist_code(best_dist)].freq++;
      uint32_t end = p + uint32_t(best);
      uint32_t stop = n - kDeflateMinMatch + 1;  // positions below have 3 bytes left
      if (stop > end) stop = end;
      insert_range(st, p, stop);
      p = end;
    } else {
      st->symbols[nsym++] = b[p];
      st->lit[b[p]].freq++;
      if (p + kDeflateMinMatch <= n) insert(st, p);
      p++;
    }
  }
  return nsym;
}

// Writes one complete dynamic-Huffman block holding b[0..n), n <= 65536.
void d_emit_block(d_bits* w, d_state* st, const uint8_t* b, uint32_t n, int final) {
  memset(st->lit, 0, sizeof(st->lit));
  memset(st->dist, 0, sizeof(st->dist));
  memset(st->bl, 0, sizeof(st->bl));
  // prev needs no clearing: it is only read at positions this block has
  // inserted, which wrote those entries first.
  memset(st->head, 0, sizeof(st->head));
  st->lit[kDeflateEndOfBlock].freq = 1;
  hash_block(st, b, n);
  uint32_t nsym = d_match_block(st, b, n);

  int hl = d_build(&st->work, st->lit, kDeflateNumLitLen, kDeflateMaxCodeBits);
  int hd = d_build(&st->work, st->dist, kDeflateNumDist, kDeflateMaxCodeBits);
  st->lit[hl + 1].len = -1;  // sentinel: closes the last run of lengths
  st->dist[hd + 1].len = -1;
  d_scan_tree(st->lit, hl, st->bl);
  d_scan_tree(st->dist, hd, st->bl);
  d_build(&st->work, st->bl, kDeflateNumCodeLen, kDeflateMaxCodeLenBits);
  int k = 3;
  for (int i = kDeflateNumCodeLen - 1; i >= 4; i--) {
    if (st->bl[deflate_code_length_order[i]].len != 0) {
      k = i;
      break;
    }
  }

  ds_put(w, uint32_t(final), 1);
  ds_put(w, kDeflateBlockDynamic, 2);
  ds_put(w, uint32_t(hl - 256), 5);
  ds_put(w, uint32_t(hd), 5);
  ds_put(w, uint32_t(k - 3), 4);
  for (int i = 0; i <= k; i++) ds_put(w, uint32_t(st->bl[deflate_code_length_order[i]].len), 3);
  d_send_tree(w, st->lit, hl, st->bl);
  d_send_tree(w, st->dist, hd, st->bl);

  const d_node* lit = st->lit;
  const d_node* dist = st->dist;
  for (uint32_t i = 0; i < nsym; i++) {
    uint32_t s = st->symbols[i];
    uint32_t len = s >> 16;
    if (len == 0) {
      ds_put(w, lit[s].code, lit[s].len);
      continue;
    }
    uint32_t d = s & 0xffff;
    int lc = s_len_code.code[len];
    ds_put(w, lit[257 + lc].code, lit[257 + lc].len);
    if (deflate_len_extra[lc]) ds_put(w, len - deflate_len_base[lc], deflate_len_extra[lc]);
    int dc = dist_code(d);
    ds_put(w, dist[dc].code, dist[dc].len);
    if (deflate_dist_extra[dc]) ds_put(w, d - deflate_dist_base[dc], deflate_dist_extra[dc]);
  }
  ds_put(w, lit[kDeflateEndOfBlock].code, lit[kDeflateEndOfBlock].len);
}

// Adler-32, folded in runs short enough that no sum can overflow. Over a run
// of k bytes, s1 gains the byte sum and s2 gains k * s1 plus each byte
// weighted by how many sums it enters (k - i). With SSE2, 16-byte pieces
// are summed at once: byte t of piece j of J enters
// (k - 16 J) + 16 (J - j - 1) + (16 - t) sums.
uint32_t adler32_update(uint32_t adler, const uint8_t* in, uint64_t n) {
  uint32_t s1 = adler & 0xffff, s2 = adler >> 16;
  while (n > 0) {
    uint32_t run = n < kAdlerMaxRun ? uint32_t(n) : kAdlerMaxRun;
    n -= run;
    uint64_t t1 = s1, t2 = s2 + uint64_t(run) * s1;
    uint32_t i = 0;
#if defined(__SSE2__)
    uint32_t pieces = run / 16;
    if (pieces > 0) {
      const __m128i zero = _mm_setzero_si128();
      const __m128i w_hi = _mm_setr_epi16(16, 15, 14, 13, 12, 11, 10, 9);
      const __m128i w_lo = _mm_setr_epi16(8, 7, 6, 5, 4, 3, 2, 1);
      __m128i sums = zero;      // two 64-bit lanes: bytes so far
      __m128i before = zero;    // sum over pieces of the bytes before them
      __m128i weighted = zero;  // four 32-bit lanes
      for (uint32_t j = 0; j < pieces; j++) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 16 * j));
        before = _mm_add_epi64(before, sums);
        sums = _mm_add_epi64(sums, _mm_sad_epu8(v, zero));
        weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpacklo_epi8(v, zero), w_hi));
        weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpackhi_epi8(v, zero), w_lo));
      }
      uint64_t lanes[2], prior[2];
      uint32_t w[4];
      _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), sums);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(prior), before);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(w), weighted);
      uint64_t total = lanes[0] + lanes[1];
      // Pieces are followed by run - 16 * pieces single bytes, which every
      // piece's bytes also enter.
      uint64_t tail = run - 16 * pieces;
      t2 += 16 * (prior[0] + prior[1]) + uint64_t(w[0]) + w[1] + w[2] + w[3] + tail * total;
      t1 += total;
      i = 16 * pieces;
    }
#endif
    for (; i < run; i++) {
      t1 += in[i];
      t2 += uint64_t(run - i) * in[i];
    }
    in += run;
    s2 = uint32_t(t2 % kAdlerModulus);
    s1 = uint32_t(t1 % kAdlerModulus);
  }
  return s2 << 16 | s1;
}

}  // namespace

int qx_deflate_from(uint64_t n, deflate_source source, void* user, uint8_t** out,
                    uint64_t* outlen) {
  if (!out || !outlen || !source) return -1;
  d_bits w = {};
  w.out = static_cast<uint8_t*>(malloc(kInitialOutput));
  if (!w.out) return -1;
  w.cap = kInitialOutput;
  uint64_t first = n < kBlockSize ? n : kBlockSize;
  d_state* st = static_cast<d_state*>(malloc(sizeof(d_state)));
  uint32_t* symbols = static_cast<uint32_t*>(malloc(sizeof(uint32_t) * (first ? first : 1)));
  if (!st || !symbols) {
    free(symbols);
    free(st);
    free(w.out);
    return -1;
  }
  st->symbols = symbols;

  // 0x78 0x01: method 8, 32 KiB window, no dictionary, level field 0.
  w.out[w.len++] = 0x78;
  w.out[w.len++] = 0x01;
  uint64_t pos = 0;
  uint32_t adler = 1;
  int failed = 0;
  do {
    uint32_t size = uint32_t(n - pos < kBlockSize ? n - pos : kBlockSize);
    const uint8_t* block = size ? source(user, pos, size) : nullptr;
    if ((size && !block) || ds_reserve(&w, block_bound(size)) != 0) {
      failed = 1;
      break;
    }
    d_emit_block(&w, st, block, size, pos + size == n);
    if (size) adler = adler32_update(adler, block, size);
    pos += size;
  } while (pos < n);
  free(symbols);
  free(st);
  if (failed || ds_reserve(&w, 16) != 0) {
    free(w.out);
    return -1;
  }
  ds_flush_bytes(&w);
  if (w.pending > 0) ds_put(&w, 0, 8);  // fill the last byte up with zero bits
  ds_flush_bytes(&w);
  w.acc = 0;
  w.pending = 0;

  w.out[w.len++] = uint8_t(adler >> 24);
  w.out[w.len++] = uint8_t(adler >> 16);
  w.out[w.len++] = uint8_t(adler >> 8);
  w.out[w.len++] = uint8_t(adler);
  *out = w.out;
  *outlen = w.len;
  return 0;
}

int block_reserve(uint8_t** data, uint64_t* cap, uint64_t need) {
  if (need <= *cap) return 0;
  uint64_t grown_cap = *cap ? *cap : 1;
  while (grown_cap < need) {
    if (grown_cap > UINT64_MAX / 2) return -1;
    grown_cap *= 2;
  }
  if (grown_cap > SIZE_MAX) return -1;
  uint8_t* grown = static_cast<uint8_t*>(realloc(*data, size_t(grown_cap)));
  if (!grown) return -1;
  *data = grown;
  *cap = grown_cap;
  return 0;
}

int qx_deflate(const uint8_t* in, uint64_t n, uint8_t** out, uint64_t* outlen) {
  if (!in && n > 0) return -1;
  auto whole = [](void* user, uint64_t pos, uint32_t) -> const uint8_t* {
    return static_cast<const uint8_t*>(user) + pos;
  };
  return qx_deflate_from(n, whole, const_cast<uint8_t*>(in), out, outlen);
}
