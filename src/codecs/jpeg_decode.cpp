// Baseline JPEG decoder: walks the segments up to the first scan header,
// decodes that one scan block by block with a double-precision inverse DCT,
// upsamples chroma by nearest neighbour and converts to RGB.
//
// - Huffman codes are defined by a walk one bit at a time; once the code so
//   far is no larger than the largest code of its length, its symbol sits at
//   a fixed offset from the first code of that length (T.81 F.2.2.3). This
//   gives exactly what a 65,536-entry table indexed by code value would, at
//   5 KB a table instead of 256 KB: one call's tables (a set of eight and
//   each component's own copies of two) take about 85 KB, not 4 MiB that
//   would have to be filled for every small inline image. Codes of up to
//   nine bits, nearly all of them, are found by one look-up in a 512-entry
//   table built from the same walk, when the data hold their bits before
//   any marker; the rest take the walk.
// - Planes hold each sample XOR 0x80, so the zero bytes of a fresh calloc read
//   back as mid-grey (128). Blocks a scan never reaches (components it does
//   not list, the rest of a scan that stops early) need no fill pass, and the
//   planes of a huge frame whose data end at once are never touched.
// - Every failure hands a message text back to one exit that frees every
//   block; nothing throws and nothing jumps.
#include "codecs/jpeg_decode.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <numbers>

#include "codecs/jpeg_markers.h"

namespace {

// Marker codes the decoder acts on besides those of jpeg_markers.h (T.81
// Table B.1; APP14 is Adobe's).
constexpr uint8_t kJpegTEM = 0x01;    // private use, stands alone
constexpr uint8_t kJpegSOF2 = 0xc2;   // progressive DCT frame, read like SOF0
constexpr uint8_t kJpegRST0 = 0xd0;   // restart markers RST0 ..
constexpr uint8_t kJpegRST7 = 0xd7;   // .. RST7
constexpr uint8_t kJpegDRI = 0xdd;    // define restart interval
constexpr uint8_t kJpegAPP14 = 0xee;  // Adobe segment (colour transform)

constexpr int kMaxComponents = kJpegMaxComponents;
constexpr int kTableSlots = 4;         // quantisation, DC and AC tables each
constexpr int kMaxSymbols = 16 * 255;  // 16 code counts of one byte each
constexpr int kMaxDcSize = 16;         // largest difference category of T.81 (Table H.2)

// The Adobe colour-transform value that selects the CMYK formula for
// four-component frames.
constexpr int kTransformCmyk = 2;

// Bit reader error states.
constexpr int kReadOk = 0;
constexpr int kReadEnd = 1;     // end of data, or no code matches
constexpr int kReadMarker = 2;  // a marker met inside the entropy-coded data

// A canonical Huffman table. For each code length k = 1..16: maxcode[k] is
// the largest code value of that length (-1 when the length has no codes),
// first[k] the smallest, and the symbol of code value c is
// symbols[index[k] + c - first[k]].
//
// fast[] answers for the first kFastBits bits of the data what that walk
// would: length << 8 | symbol of the code they start with, or 0 when the
// code is longer or the walk would stop without a symbol.
constexpr int kFastBits = 9;
struct huff_table {
  int32_t maxcode[17];
  int32_t first[17];
  int32_t index[17];
  uint8_t symbols[kMaxSymbols];
  uint16_t fast[1 << kFastBits];
};

// Tables as DQT and DHT segments define them; quantisation values in natural
// (row-major) order.
struct table_set {
  uint16_t quant[kTableSlots][64];
  huff_table dc[kTableSlots];
  huff_table ac[kTableSlots];
  bool quant_defined[kTableSlots];
  bool dc_defined[kTableSlots];
  bool ac_defined[kTableSlots];
};

// One frame component with its own copies of the tables the scan gives it.
struct component {
  uint8_t id;
  int h, v;  // sampling factors, 1..15
  int tq;    // quantisation table selector, 0..3
  bool in_scan;
  int32_t pred;  // DC predictor
  uint16_t quant[64];
  uint8_t* plane;  // rows row0 .. row0 + held - 1 of pw x ph samples XOR 0x80, + kPlaneSlack bytes
  uint32_t pw, ph;
  uint32_t row0, held;  // the plane rows that plane holds: all of them, or one MCU row's
  // When only some rows are kept: slot[r] is the row of kept holding plane
  // row r, 0 (a row of mid-grey) for a row not kept; kept has 1 + nkept rows.
  uint32_t* slot;
  uint8_t* kept;
  uint32_t nkept;
  huff_table dc, ac;
};
constexpr uint64_t kPlaneSlack = 16;

struct frame {
  bool seen;
  uint32_t width, height;
  int n;             // components, 1, 3 or 4
  uint32_t restart;  // MCUs per restart interval, 0 = none
  int transform;     // Adobe colour transform, 0 without a qualifying segment
};

// Reads the entropy-coded data. Invariant: pos <= size; bits (0..7) low bits
// of cur are still unread.
struct bit_reader {
  const uint8_t* data;
  uint64_t size;
  uint64_t pos;
  uint32_t cur;
  int bits;
  int err;
};

// Everything one call owns; release() frees it whatever state it is in.
struct decoder {
  frame f;
  table_set* tables;
  component* comps;               // kMaxComponents records
  uint32_t* cols;                 // plane column of each frame column, per component
  const jpeg_row_filter* filter;  // the frame rows to keep, or null for all
};

// How the MCUs of the scan are laid out: the components it decodes, with the
// blocks each contributes across (bh) and down (bv) one MCU.
struct scan_unit {
  component* c;
  int bh, bv;
};
struct scan_layout {
  scan_unit units[kMaxComponents];
  int n;
  uint64_t cols, rows;  // MCUs across and down
};

// Cosines of the inverse DCT: costab()[u * 8 + x] = C(u) / 2 * cos((2x + 1) u pi / 16).
// Built once, on the first decode of the process; a function-local static
// makes that build safe when decodes start on several threads at once.
struct cos_table {
  double v[64];
};
cos_table build_costab() {
  cos_table t{};
  for (int u = 0; u < 8; u++) {
    double cu = u == 0 ? 0.7071067811865476 : 1.0;
    for (int x = 0; x < 8; x++)
      t.v[u * 8 + x] = cu / 2 * std::cos((2 * x + 1) * u * std::numbers::pi / 16);
  }
  return t;
}
const double* costab() {
  static const cos_table table = build_costab();
  return table.v;
}

// The last failure's text, per thread.
thread_local char s_message[256];

// Every failure passes through here, so one breakpoint finds where any decode
// gave up.
const char* fail(const char* text) {
  return text;
}

uint32_t be16(const uint8_t* p) {
  return uint32_t{p[0]} << 8 | p[1];
}

bool checked_mul(uint64_t a, uint64_t b, uint64_t* out) {
  if (a != 0 && b > UINT64_MAX / a) return false;
  *out = a * b;
  return true;
}

// ---------------------------------------------------------------- segments

// Frame header payload (SOF0; SOF2 is read the same way):
//   [0]       sample precision, must be 8
//   [1..2]    height, big-endian
//   [3..4]    width
//   [5]       N, components
//   [6 + 3i]  component identifier
//   [7 + 3i]  sampling factors, h << 4 | v
//   [8 + 3i]  quantisation table selector
const char* read_sof(decoder* d, const uint8_t* p, uint32_t n) {
  if (n <= 6) return fail("jpeg: bad SOF");
  if (p[0] != 8) return fail("jpeg: only 8-bit samples supported");
  uint32_t height = be16(p + 1), width = be16(p + 3);
  int nc = p[5];
  if (nc < 1 || nc > kMaxComponents || width == 0 || height == 0 ||
      uint64_t{width} * height > kJpegDecodeMaxPixels)
    return fail("jpeg: unsupported SOF");
  // Two components have no colour model here: the conversion would read a
  // third plane that does not exist.
  if (nc == 2) return fail("jpeg: two-component frames not supported");
  // A header that stops inside its component list is refused rather than
  // read beyond its end.
  if (n < 6 + 3 * static_cast<uint32_t>(nc)) return fail("jpeg: truncated SOF");
  for (int i = 0; i < nc; i++) {
    const uint8_t* e = p + 6 + 3 * i;
    int h = e[1] >> 4, v = e[1] & 15, tq = e[2];
    if (h == 0 || v == 0 || tq >= kTableSlots) return fail("jpeg: bad component spec");
    component* c = &d->comps[i];
    c->id = e[0];
    c->h = h;
    c->v = v;
    c->tq = tq;
  }
  d->f.seen = true;
  d->f.width = width;
  d->f.height = height;
  d->f.n = nc;
  return nullptr;
}

// DQT payload, tables one after another:
//   [0]       precision << 4 | table number (0..3)
//   [1..]     64 values in zigzag order, one byte each for precision 0,
//             otherwise two bytes big-endian
const char* read_dqt(decoder* d, const uint8_t* p, uint32_t n) {
  uint32_t i = 0;
  while (i < n) {
    int precision = p[i] >> 4, t = p[i] & 15;
    if (t >= kTableSlots) return fail("jpeg: bad quant table id");
    uint32_t size = precision == 0 ? 64 : 128;
    if (n - i - 1 < size) return fail("jpeg: truncated DQT");
    const uint8_t* q = p + i + 1;
    for (int k = 0; k < 64; k++) {
      uint32_t value = precision == 0 ? q[k] : be16(q + 2 * k);
      if (value == 0 || value > 255) return fail("jpeg: bad quant value");
      d->tables->quant[t][jpeg_zigzag[k]] = static_cast<uint16_t>(value);
    }
    d->tables->quant_defined[t] = true;
    i += 1 + size;
  }
  return nullptr;
}

// Builds the canonical code of T.81 Annex C from 16 counts and their
// symbols (total of them). Codes of length k are the values below 2^k; counts
// that would need more (an over-full table) are refused: such a code is no
// prefix code, and its values could pass 16 bits.
bool build_huffman(huff_table* t, const uint8_t* counts, const uint8_t* symbols, uint32_t total) {
  std::memcpy(t->symbols, symbols, total);
  uint32_t code = 0, next = 0;
  for (int len = 1; len <= 16; len++) {
    uint32_t count = counts[len - 1];
    if (code + count > (uint32_t{1} << len)) return false;
    t->first[len] = static_cast<int32_t>(code);
    t->index[len] = static_cast<int32_t>(next);
    t->maxcode[len] = count ? static_cast<int32_t>(code + count) - 1 : -1;
    code = (code + count) << 1;
    next += count;
  }
  // The bit-by-bit walk of jb_huff over every kFastBits-bit prefix.
  for (uint32_t p = 0; p < (1u << kFastBits); p++) {
    t->fast[p] = 0;
    for (int k = 1; k <= kFastBits; k++) {
      int32_t c = static_cast<int32_t>(p >> (kFastBits - k));
      if (c <= t->maxcode[k]) {
        if (c >= t->first[k])
          t->fast[p] = static_cast<uint16_t>(k << 8 | t->symbols[t->index[k] + c - t->first[k]]);
        break;
      }
    }
  }
  return true;
}

// DHT payload, tables one after another:
//   [0]       class (0 DC, 1 AC) << 4 | table number (0..3)
//   [1..16]   number of codes of each length 1..16
//   [17..]    the symbols, in code order
const char* read_dht(decoder* d, const uint8_t* p, uint32_t n) {
  uint32_t i = 0;
  while (i < n) {
    int cls = p[i] >> 4, t = p[i] & 15;
    if (cls > 1 || t >= kTableSlots) return fail("jpeg: bad DHT");
    if (n - i - 1 < 16) return fail("jpeg: truncated DHT");
    const uint8_t* counts = p + i + 1;
    uint32_t total = 0;
    for (int k = 0; k < 16; k++) total += counts[k];
    if (n - i - 17 < total) return fail("jpeg: truncated DHT");
    huff_table* h = cls == 0 ? &d->tables->dc[t] : &d->tables->ac[t];
    bool* defined = cls == 0 ? &d->tables->dc_defined[t] : &d->tables->ac_defined[t];
    *defined = false;
    if (!build_huffman(h, counts, counts + 16, total)) return fail("jpeg: over-full DHT");
    *defined = true;
    i += 17 + total;
  }
  return nullptr;
}

// Scan header payload:
//   [0]       Ns, components in the scan
//   [1 + 2i]  component identifier
//   [2 + 2i]  DC table << 4 | AC table
//   then spectral selection and approximation, not read: the scan is decoded
//   as a baseline one.
const char* read_sos(decoder* d, const uint8_t* p, uint32_t n) {
  if (n == 0) return fail("jpeg: bad SOS");
  int ns = p[0];
  // T.81 allows 1..4; a scan of no components would decode nothing.
  if (ns > kMaxComponents || ns == 0) return fail("jpeg: bad SOS count");
  // Selector pairs beyond the end of the header are not read.
  if (n < 1 + 2 * static_cast<uint32_t>(ns)) return fail("jpeg: bad SOS");
  table_set* ts = d->tables;
  for (int i = 0; i < d->f.n; i++) d->comps[i].in_scan = false;
  for (int i = 0; i < ns; i++) {
    uint8_t id = p[1 + 2 * i], sel = p[2 + 2 * i];
    component* c = nullptr;
    for (int j = 0; d->f.seen && j < d->f.n && !c; j++)
      if (d->comps[j].id == id) c = &d->comps[j];
    if (!c) return fail("jpeg: unknown SOS component");
    int td = sel >> 4, ta = sel & 15;
    // Only four table slots of each class exist.
    if (td >= kTableSlots || ta >= kTableSlots) return fail("jpeg: bad SOS table selector");
    if (!ts->quant_defined[c->tq]) return fail("jpeg: missing quant table");
    std::memcpy(c->quant, ts->quant[c->tq], sizeof c->quant);
    if (!ts->dc_defined[td] || !ts->ac_defined[ta]) return fail("jpeg: missing Huffman table");
    std::memcpy(&c->dc, &ts->dc[td], sizeof c->dc);
    std::memcpy(&c->ac, &ts->ac[ta], sizeof c->ac);
    c->in_scan = true;
  }
  return nullptr;
}

// Walks the segments from offset 2 to the first scan header; on success
// *scan_start is the offset of the entropy-coded data. Each segment is
//   FF (FF fill bytes...) marker, length L (2 bytes, counting itself), L - 2 bytes
// except the stand-alone markers TEM and RST0..EOI, which have no length.
const char* read_headers(decoder* d, const uint8_t* data, uint64_t len, uint64_t* scan_start) {
  if (len < 6) return fail("jpeg: no scan data");
  uint64_t pos = 2;
  for (;;) {
    if (pos >= len) return fail("jpeg: no scan data");
    if (data[pos] != kJpegMarkerPrefix) return fail("jpeg: corrupt stream");
    while (len - pos >= 2 && data[pos + 1] == kJpegMarkerPrefix) pos++;
    if (len - pos < 2) return fail("jpeg: no scan data");
    // pos is now on the 0xFF just before the marker code.
    uint8_t m = data[pos + 1];
    if (m == kJpegTEM || (m >= kJpegRST0 && m <= kJpegEOI)) {
      pos += 2;
      continue;
    }
    // 0x00 cannot start a segment.
    if (m == 0x00) return fail("jpeg: corrupt stream");
    if (len - pos < 4) return fail("jpeg: no scan data");
    uint32_t seg = be16(data + pos + 2);
    if (seg < 2) return fail("jpeg: bad segment length");
    if (seg > len - pos - 2) return fail("jpeg: truncated segment");
    const uint8_t* p = data + pos + 4;
    uint32_t n = seg - 2;
    const char* err = nullptr;
    switch (m) {
      case kJpegSOF0:
      case kJpegSOF2:
        err = read_sof(d, p, n);
        break;
      case kJpegDQT:
        err = read_dqt(d, p, n);
        break;
      case kJpegDHT:
        err = read_dht(d, p, n);
        break;
      case kJpegDRI:
        // A payload too short to hold the interval leaves it unchanged.
        if (n >= 2) d->f.restart = be16(p);
        break;
      case kJpegAPP14:
        // The transform flag is taken from payload offset 12 of an "Adobe"
        // segment longer than 13 bytes.
        if (n > 13 && std::memcmp(p, "Adobe", 5) == 0) d->f.transform = p[12];
        break;
      case kJpegSOS:
        err = read_sos(d, p, n);
        if (!err) *scan_start = pos + 2 + seg;
        return err;
      default:
        break;  // APPn, COM, other frame types: skipped whole
    }
    if (err) return err;
    pos += 2 + seg;
    if (len - pos < 4) return fail("jpeg: no scan data");
  }
}

// ---------------------------------------------------------------- scan data

// The next bit of the entropy-coded data, most significant bit of each byte
// first. A fetch at the end of the data, or of a 0xFF that is the last byte,
// sets kReadEnd; FF 00 is one data byte 0xFF; FF followed by anything else is
// a marker: kReadMarker, with the position left on the marker's second byte.
// Returns 0 whenever it sets an error.
inline int jb_bit(bit_reader* r) {
  if (r->bits == 0) {
    if (r->pos >= r->size) {
      r->err = kReadEnd;
      return 0;
    }
    uint8_t b = r->data[r->pos];
    if (b == 0xff) {
      if (r->size - r->pos < 2) {
        r->err = kReadEnd;
        return 0;
      }
      if (r->data[r->pos + 1] != 0) {
        r->pos++;
        r->err = kReadMarker;
        return 0;
      }
      r->pos += 2;
    } else {
      r->pos++;
    }
    r->cur = b;
    r->bits = 8;
  }
  r->bits--;
  return (r->cur >> r->bits) & 1;
}

// The next bits of the data without moving the reader: the unread bits of
// the current byte, then whole data bytes (FF 00 read as FF) up to a marker,
// a lone FF at the end, or the end. Returns how many bits *look holds (the
// last read in its low bits); at least 17 unless the data stop sooner.
inline int peek_bits(const bit_reader* r, uint32_t* look) {
  int n = r->bits;
  uint32_t v = r->cur & ((1u << n) - 1);
  uint64_t pos = r->pos;
  while (n <= 16 && pos < r->size) {
    uint8_t b = r->data[pos];
    if (b == 0xff) {
      if (r->size - pos < 2 || r->data[pos + 1] != 0) break;
      pos += 2;
    } else {
      pos++;
    }
    v = v << 8 | b;
    n += 8;
  }
  *look = v;
  return n;
}

// Moves the reader past n bits that peek_bits showed, leaving it as n calls
// of jb_bit would.
inline void skip_bits(bit_reader* r, int n) {
  if (n <= r->bits) {
    r->bits -= n;
    return;
  }
  n -= r->bits;
  for (;;) {
    uint8_t b = r->data[r->pos];
    r->pos += b == 0xff ? 2 : 1;
    r->cur = b;
    if (n <= 8) {
      r->bits = 8 - n;
      return;
    }
    n -= 8;
  }
}

// Reads one Huffman code: by the fast table when it can, else bit by bit,
// which gives the same symbol. After the k-th bit the code so far is a
// complete code of length k exactly when it is no larger than maxcode[k].
// Returns the symbol, or -1 with the reader's error set (kReadEnd when no
// code matches).
//
// A code read this far is never below first[k]: every shorter prefix was
// above the largest code of its length, and doubling keeps it at or above
// the next length's first code. The test below is the guard a table with a
// -1 entry would give, should that reasoning ever break.
int jb_huff(bit_reader* r, const huff_table* t) {
  // Codes of up to kFastBits bits whose bits are all there: one look-up.
  uint32_t look;
  const int n = peek_bits(r, &look);
  if (n >= kFastBits) {
    const uint16_t e = t->fast[(look >> (n - kFastBits)) & ((1u << kFastBits) - 1)];
    if (e) {
      skip_bits(r, e >> 8);
      return e & 0xff;
    }
  }
  int32_t code = 0;
  for (int k = 1; k <= 16; k++) {
    code = code * 2 + jb_bit(r);
    if (r->err) return -1;
    if (code <= t->maxcode[k]) {
      if (code < t->first[k]) break;
      return t->symbols[t->index[k] + code - t->first[k]];
    }
  }
  r->err = kReadEnd;
  return -1;
}

// Reads s (1..16) bits and extends them to a signed value (T.81 F.2.2.1).
int32_t receive_extend(bit_reader* r, int s) {
  int32_t v = 0;
  uint32_t look;
  const int n = peek_bits(r, &look);
  if (n >= s) {
    v = static_cast<int32_t>((look >> (n - s)) & ((1u << s) - 1));
    skip_bits(r, s);
  } else {
    for (int i = 0; i < s; i++) v = v * 2 + jb_bit(r);
  }
  if (v < (int32_t{1} << (s - 1))) v += 1 - (int32_t{1} << s);
  return v;
}

enum class block_end {
  stored,       // decoded (perhaps cut short by a marker): store it and go on
  skip_row,     // a marker met in the DC code: skip the rest of the block row
  stop,         // decoding stops; nothing to store
  stored_stop,  // decoding stops after storing this block
};

// Decodes one block's coefficients (natural order, not yet dequantised).
block_end decode_block(bit_reader* r, component* c, int32_t coef[64]) {
  std::memset(coef, 0, 64 * sizeof coef[0]);
  int s = jb_huff(r, &c->dc);
  int32_t diff = 0;
  // A size above 16 would overflow the value bits: it stops decoding like a
  // code that matches nothing.
  if (s > kMaxDcSize) r->err = kReadEnd;
  if (!r->err && s > 0) diff = receive_extend(r, s);
  if (r->err == kReadMarker) {
    r->err = kReadOk;
    return block_end::skip_row;
  }
  if (r->err) return block_end::stop;
  // Wrapping addition: only a hostile stream drifts the predictor that far.
  c->pred = static_cast<int32_t>(static_cast<uint32_t>(c->pred) + static_cast<uint32_t>(diff));
  coef[0] = c->pred;

  for (int k = 1; k < 64;) {
    int rs = jb_huff(r, &c->ac);
    if (rs == 0) break;  // end of block
    if (rs > 0) {
      k += rs >> 4;
      if (k > 63) return block_end::stored_stop;
      int size = rs & 15;
      if (size > 0) {
        int32_t v = receive_extend(r, size);
        if (!r->err) coef[jpeg_zigzag[k++]] = v;
      } else if (rs == 0xf0) {
        k++;  // with the run of 15: sixteen zeros
      }
    }
    if (r->err == kReadMarker) {
      r->err = kReadOk;
      break;  // the block ends as at an end-of-block code
    }
    if (r->err) return block_end::stored_stop;
  }
  return block_end::stored;
}

// Row y of the component's plane where the decoder writes it, or null when
// the row lies outside the plane or outside the rows held now.
inline uint8_t* plane_line(const component* c, uint64_t y) {
  if (y >= c->ph || y < c->row0 || y - c->row0 >= c->held) return nullptr;
  return c->plane + (y - c->row0) * c->pw;
}

// Dequantises one block, runs the inverse DCT and stores the samples at
// (x0, y0) of the component's plane, dropping any outside it.
//   t[v][x] = sum over u of c[u][x] F[v][u];  p[y][x] = sum over v of c[v][y] t[v][x]
// with c = costab(), each sum taken in increasing u or v. Zero terms are left
// out: adding a zero product to a double sum that starts at +0 never changes
// it, so the result is bit-for-bit the full sum's.
void idct_store(const component* c, const int32_t coef[64], uint64_t x0, uint64_t y0) {
  const double* ctab = costab();
  alignas(16) double f[64], t[64];
  int rows[8], nrows = 0;
  bool dc_only = false;  // only the DC coefficient is nonzero
  for (int v = 0; v < 8; v++) {
    bool any = false;
    for (int u = 0; u < 8; u++) {
      f[v * 8 + u] = static_cast<double>(int64_t{coef[v * 8 + u]} * c->quant[v * 8 + u]);
      any = any || coef[v * 8 + u] != 0;
    }
    if (!any) continue;
    rows[nrows++] = v;
    dc_only = v == 0 && f[1] == 0 && f[2] == 0 && f[3] == 0 && f[4] == 0 && f[5] == 0 &&
              f[6] == 0 && f[7] == 0;
#if defined(__SSE2__)
    // Two values of x per instruction. The zero terms the scalar loop leaves
    // out are added here, which changes nothing (see above).
    __m128d acc[4] = {_mm_setzero_pd(), _mm_setzero_pd(), _mm_setzero_pd(), _mm_setzero_pd()};
    for (int u = 0; u < 8; u++) {
      __m128d fu = _mm_set1_pd(f[v * 8 + u]);
      for (int k = 0; k < 4; k++)
        acc[k] = _mm_add_pd(acc[k], _mm_mul_pd(_mm_loadu_pd(ctab + u * 8 + 2 * k), fu));
    }
    for (int k = 0; k < 4; k++) _mm_store_pd(t + v * 8 + 2 * k, acc[k]);
#else
    for (int x = 0; x < 8; x++) {
      double sum = 0;
      for (int u = 0; u < 8; u++)
        if (f[v * 8 + u] != 0) sum += ctab[u * 8 + x] * f[v * 8 + u];
      t[v * 8 + x] = sum;
    }
#endif
  }
  if (dc_only && nrows == 1) {
    // Every cosine of frequency 0 is the same number, so all 64 sums are
    // the one product c0 (c0 F[0][0]) the loops below would compute (their
    // other terms are zeros added to it): one sample fills the block.
    const double c0 = ctab[0];
    double q = c0 * (c0 * f[0]) + 128;
    int sample = q < 0 ? 0 : q > 255 ? 255 : static_cast<int>(std::floor(q + 0.5));
    const uint64_t cols = c->pw - x0 < 8 ? c->pw - x0 : 8;
    for (int y = 0; y < 8; y++)
      if (uint8_t* line = plane_line(c, y0 + y)) std::memset(line + x0, sample ^ 0x80, cols);
    return;
  }
  for (int y = 0; y < 8; y++) {
    uint8_t* line = plane_line(c, y0 + y);
    if (!line) continue;
    alignas(16) double sums[8];
#if defined(__SSE2__)
    __m128d acc[4] = {_mm_setzero_pd(), _mm_setzero_pd(), _mm_setzero_pd(), _mm_setzero_pd()};
    for (int i = 0; i < nrows; i++) {
      __m128d cvy = _mm_set1_pd(ctab[rows[i] * 8 + y]);
      for (int k = 0; k < 4; k++)
        acc[k] = _mm_add_pd(acc[k], _mm_mul_pd(cvy, _mm_load_pd(t + rows[i] * 8 + 2 * k)));
    }
    for (int k = 0; k < 4; k++) _mm_store_pd(sums + 2 * k, acc[k]);
#else
    for (int x = 0; x < 8; x++) {
      double sum = 0;
      for (int i = 0; i < nrows; i++) sum += ctab[rows[i] * 8 + y] * t[rows[i] * 8 + x];
      sums[x] = sum;
    }
#endif
    for (int x = 0; x < 8; x++) {
      if (x0 + x >= c->pw) break;
      double q = sums[x] + 128;
      int sample = q < 0 ? 0 : q > 255 ? 255 : static_cast<int>(std::floor(q + 0.5));
      line[x0 + x] = static_cast<uint8_t>(sample ^ 0x80);
    }
  }
}

// Decodes the MCU at (mx, my). False when decoding stops.
bool decode_mcu(bit_reader* r, const scan_layout* s, uint64_t mx, uint64_t my) {
  int32_t coef[64];
  for (int i = 0; i < s->n; i++) {
    const scan_unit* u = &s->units[i];
    for (int by = 0; by < u->bv; by++) {
      for (int bx = 0; bx < u->bh; bx++) {
        block_end e = decode_block(r, u->c, coef);
        if (e == block_end::skip_row) break;
        if (e != block_end::stop)
          idct_store(u->c, coef, (mx * u->bh + bx) * 8, (my * u->bv + by) * 8);
        if (e == block_end::stop || e == block_end::stored_stop) return false;
      }
    }
  }
  return true;
}

// Takes the restart marker expected at the reader's position: true when
// RST0..RST7 is there (any number), which is then skipped along with the
// unread bits of the current byte.
bool take_restart(bit_reader* r) {
  if (r->size - r->pos < 2 || r->data[r->pos] != kJpegMarkerPrefix ||
      r->data[r->pos + 1] < kJpegRST0 || r->data[r->pos + 1] > kJpegRST7)
    return false;
  r->pos += 2;
  r->bits = 0;
  return true;
}

// v lowered into 0 .. size - 1.
inline uint64_t lower(uint64_t v, uint32_t size) {
  return v < size ? v : size - 1;
}

// Chooses the rows each component keeps when the caller asks for some frame
// rows only: frame row y is component c's plane row y (lowered into component
// 0's plane) scaled by the planes' heights, as jpeg_planes_rgba reads it.
// Each component then gets a block of the kept rows (after one row of
// mid-grey) and a window of one MCU row for the decoder to write into; the
// window's kept rows are copied out when the MCU row is complete. False
// (with nothing allocated) when keeping rows would not save much, or memory
// runs out: the planes are then allocated whole.
bool prepare_kept_rows(decoder* d, const scan_layout* s) {
  const frame* f = &d->f;
  if (!d->filter || s->n != f->n) return false;  // a scan of every component only
  uint8_t* wanted = static_cast<uint8_t*>(std::calloc(f->height, 1));
  if (!wanted) return false;
  d->filter->rows(d->filter->ctx, static_cast<int32_t>(f->width), static_cast<int32_t>(f->height),
                  wanted);
  const component* c0 = &d->comps[0];
  uint64_t whole = 0, part = 0;
  bool ok = true;
  for (int i = 0; i < f->n && ok; i++) {
    component* c = &d->comps[i];
    c->slot = static_cast<uint32_t*>(std::calloc(c->ph, sizeof(uint32_t)));
    if (!c->slot) {
      ok = false;
      break;
    }
    for (uint32_t y = 0; y < f->height; y++) {
      if (!wanted[y]) continue;
      const uint64_t r = lower(lower(y, c0->ph) * c->ph / c0->ph, c->ph);
      c->slot[r] = 1;
    }
    uint32_t n = 0;
    for (uint32_t r = 0; r < c->ph; r++)
      if (c->slot[r]) c->slot[r] = ++n;
    c->nkept = n;
    whole += uint64_t{c->pw} * c->ph;
    part += uint64_t{c->pw} * (n + 1 + 8 * uint64_t(s->units[i].bv));
  }
  std::free(wanted);
  // Worth it when the kept rows and the windows take under three quarters.
  ok = ok && part < whole / 4 * 3;
  for (int i = 0; i < f->n && ok; i++) {
    component* c = &d->comps[i];
    c->kept = static_cast<uint8_t*>(std::calloc(uint64_t{c->pw} * (c->nkept + 1) + kPlaneSlack, 1));
    c->held = 8 * uint32_t(s->units[i].bv);
    c->plane = static_cast<uint8_t*>(std::calloc(uint64_t{c->pw} * c->held + kPlaneSlack, 1));
    c->row0 = 0;
    ok = c->kept && c->plane;
  }
  if (!ok) {
    for (int i = 0; i < f->n; i++) {
      component* c = &d->comps[i];
      std::free(c->slot);
      std::free(c->kept);
      std::free(c->plane);
      c->slot = nullptr;
      c->kept = nullptr;
      c->plane = nullptr;
      c->nkept = 0;
    }
  }
  return ok;
}

// Copies the kept rows of the window (MCU row my) into each component's kept
// block, then clears the window and moves it to the next MCU row.
void flush_kept_rows(const scan_layout* s, uint64_t my) {
  for (int i = 0; i < s->n; i++) {
    component* c = s->units[i].c;
    const uint64_t first = my * c->held;
    for (uint32_t k = 0; k < c->held && first + k < c->ph; k++) {
      const uint32_t slot = c->slot[first + k];
      if (slot)
        std::memcpy(c->kept + uint64_t{slot} * c->pw, c->plane + uint64_t{k} * c->pw, c->pw);
    }
    std::memset(c->plane, 0, uint64_t{c->pw} * c->held);
    c->row0 = static_cast<uint32_t>(first + c->held < c->ph ? first + c->held : c->ph);
  }
}

// Allocates the planes (every frame component gets one) and chooses the MCU
// layout. A scan decodes the components it lists, as T.81 lays scans out:
// several interleaved, h x v blocks of each per MCU; one component alone
// (also the only one of its frame) non-interleaved, one block per MCU across
// its own ceil(X h / Hmax) by ceil(Y v / Vmax) samples.
const char* prepare_scan(decoder* d, scan_layout* s, bool* kept_rows) {
  const frame* f = &d->f;
  int hmax = 1, vmax = 1, listed = 0;
  for (int i = 0; i < f->n; i++) {
    if (d->comps[i].h > hmax) hmax = d->comps[i].h;
    if (d->comps[i].v > vmax) vmax = d->comps[i].v;
    listed += d->comps[i].in_scan;
  }
  uint64_t mx = (f->width + 8 * hmax - 1) / (8 * hmax);
  uint64_t my = (f->height + 8 * vmax - 1) / (8 * vmax);
  for (int i = 0; i < f->n; i++) {
    component* c = &d->comps[i];
    uint64_t pw = c->h * mx * 8, ph = c->v * my * 8, size;
    if (!checked_mul(pw, ph, &size) || size > UINT64_MAX - kPlaneSlack)
      return fail("jpeg: out of memory");
    c->pw = static_cast<uint32_t>(pw);
    c->ph = static_cast<uint32_t>(ph);
  }
  s->n = 0;
  s->cols = mx;
  s->rows = my;
  for (int i = 0; i < f->n; i++) {
    component* c = &d->comps[i];
    if (listed < f->n && !c->in_scan) continue;
    s->units[s->n++] = {c, c->h, c->v};
  }
  // Every one-component scan is non-interleaved, also the only scan of a
  // one-component frame: a gray JPEG with 2 x 2 sampling codes one block per
  // MCU in raster order (it was once read as 2 x 2 blocks per MCU, scrambled).
  if (listed == 1) {
    const component* c = s->units[0].c;
    uint64_t xc = (uint64_t{f->width} * c->h + hmax - 1) / hmax;
    uint64_t yc = (uint64_t{f->height} * c->v + vmax - 1) / vmax;
    s->units[0].bh = s->units[0].bv = 1;
    s->cols = (xc + 7) / 8;
    s->rows = (yc + 7) / 8;
  }
  *kept_rows = prepare_kept_rows(d, s);
  if (*kept_rows) return nullptr;
  for (int i = 0; i < f->n; i++) {
    component* c = &d->comps[i];
    c->plane = static_cast<uint8_t*>(std::calloc(uint64_t{c->pw} * c->ph + kPlaneSlack, 1));
    if (!c->plane) return fail("jpeg: out of memory");
    c->row0 = 0;
    c->held = c->ph;
  }
  return nullptr;
}

// Decodes the scan whose entropy-coded data start at data[start].
const char* decode_scan(decoder* d, const uint8_t* data, uint64_t len, uint64_t start) {
  scan_layout s;
  bool kept_rows = false;
  if (const char* err = prepare_scan(d, &s, &kept_rows)) return err;
  bit_reader r = {data, len, start, 0, 0, kReadOk};
  uint64_t total = s.cols * s.rows;
  uint32_t interval = d->f.restart, left = interval;
  bool stopped = false;
  bool unflushed = false;  // the window holds MCUs of row m / s.cols not yet copied
  for (uint64_t m = 0; m < total; m++) {
    unflushed = kept_rows;
    if (!decode_mcu(&r, &s, m % s.cols, m / s.cols)) {
      stopped = true;
      // The MCU row that decoding stopped in keeps what it holds so far.
      if (unflushed) flush_kept_rows(&s, m / s.cols);
      break;
    }
    if (kept_rows && m % s.cols == s.cols - 1) {
      flush_kept_rows(&s, m / s.cols);
      unflushed = false;
    }
    // No restart follows the last MCU: nothing more is read.
    if (interval > 0 && m + 1 < total && --left == 0) {
      if (!take_restart(&r)) {
        stopped = true;
        if (unflushed) flush_kept_rows(&s, m / s.cols);
        break;
      }
      for (int i = 0; i < d->f.n; i++) d->comps[i].pred = 0;
      left = interval;
    }
  }
  // A scan that stops early keeps what it decoded when the stream ends there.
  if (stopped &&
      !(len - r.pos >= 2 && data[r.pos] == kJpegMarkerPrefix && data[r.pos + 1] == kJpegEOI))
    return fail("jpeg: decode error in scan data");
  return nullptr;
}

// ---------------------------------------------------------------- colour

inline uint8_t clamp_byte(int v) {
  return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
}

// Moves the planes into *jp and builds the column table: component 0 at
// (x, y) lowered to its plane, every other component c at the position
// scaled by its plane's size over component 0's (nearest neighbour).
const char* keep_planes(decoder* d, jpeg_planes* jp) {
  const frame* f = &d->f;
  d->cols = static_cast<uint32_t*>(std::malloc(sizeof(uint32_t) * kMaxComponents * f->width));
  if (!d->cols) return fail("jpeg: out of memory");
  const component* c0 = &d->comps[0];
  for (int c = 0; c < f->n; c++) {
    const component* cc = &d->comps[c];
    for (uint32_t x = 0; x < f->width; x++) {
      uint64_t x0 = lower(x, c0->pw);
      d->cols[c * f->width + x] = static_cast<uint32_t>(lower(x0 * cc->pw / c0->pw, cc->pw));
    }
  }
  *jp = jpeg_planes{};
  jp->width = static_cast<int32_t>(f->width);
  jp->height = static_cast<int32_t>(f->height);
  jp->n = f->n;
  jp->cmyk = f->n == 4 && f->transform == kTransformCmyk;
  jp->cols = d->cols;
  d->cols = nullptr;
  jp->bytes = sizeof(uint32_t) * kMaxComponents * uint64_t{f->width};
  for (int c = 0; c < f->n; c++) {
    component* cc = &d->comps[c];
    jp->pw[c] = cc->pw;
    jp->ph[c] = cc->ph;
    // The whole plane's size also when only some rows are kept: what the
    // frame costs does not depend on how it is drawn.
    jp->bytes += uint64_t{cc->pw} * cc->ph + kPlaneSlack;
    if (cc->slot) {
      jp->plane[c] = cc->kept;
      jp->slot[c] = cc->slot;
      cc->kept = nullptr;
      cc->slot = nullptr;
    } else {
      jp->plane[c] = cc->plane;
      cc->plane = nullptr;
    }
  }
  return nullptr;
}

void release(decoder* d) {
  if (d->comps)
    for (int i = 0; i < kMaxComponents; i++) {
      std::free(d->comps[i].plane);
      std::free(d->comps[i].kept);
      std::free(d->comps[i].slot);
    }
  std::free(d->comps);
  std::free(d->tables);
  std::free(d->cols);
  *d = decoder{};
}

const char* decode(decoder* d, const uint8_t* data, uint64_t len) {
  if (!data || len < 6) return fail("jpeg: no scan data");
  d->tables = static_cast<table_set*>(std::calloc(1, sizeof(table_set)));
  d->comps = static_cast<component*>(std::calloc(kMaxComponents, sizeof(component)));
  if (!d->tables || !d->comps) return fail("jpeg: out of memory");
  uint64_t start = 0;
  if (const char* err = read_headers(d, data, len, &start)) return err;
  return decode_scan(d, data, len, start);
}

}  // namespace

namespace {

// Copies a failure text into the per-thread buffer and points *message at it.
void report_failure(const char* err, const char** message) {
  std::snprintf(s_message, sizeof s_message, "%s", err);
  if (message) *message = s_message;
}

}  // namespace

bool jpeg_decode_planes(const uint8_t* data, uint64_t len, jpeg_planes* out, const char** message) {
  return jpeg_decode_planes_rows(data, len, nullptr, out, message);
}

bool jpeg_decode_planes_rows(const uint8_t* data, uint64_t len, const jpeg_row_filter* filter,
                             jpeg_planes* out, const char** message) {
  *out = jpeg_planes{};
  decoder d = {};
  d.filter = filter;
  const char* err = decode(&d, data, len);
  if (!err) err = keep_planes(&d, out);
  release(&d);
  if (err) {
    report_failure(err, message);
    return false;
  }
  if (message) *message = "";
  return true;
}

void jpeg_planes_rgba(const jpeg_planes* jp, int32_t y, const int32_t* xs, int32_t n,
                      uint8_t* out) {
  const uint8_t* line[kMaxComponents];
  const uint32_t* cols[kMaxComponents];
  uint64_t y0 = lower(static_cast<uint64_t>(y), jp->ph[0]);
  for (int c = 0; c < jp->n; c++) {
    uint64_t row = lower(y0 * jp->ph[c] / jp->ph[0], jp->ph[c]);
    if (jp->slot[c]) row = jp->slot[c][row];
    line[c] = jp->plane[c] + row * jp->pw[c];
    cols[c] = jp->cols + static_cast<size_t>(c) * static_cast<uint32_t>(jp->width);
  }
  for (int32_t k = 0; k < n; k++, out += 4) {
    const int32_t x = xs ? xs[k] : k;
    int s[kMaxComponents];
    for (int c = 0; c < jp->n; c++) s[c] = line[c][cols[c][x]] ^ 0x80;
    if (jp->n == 1) {
      out[0] = out[1] = out[2] = static_cast<uint8_t>(s[0]);
    } else if (jp->cmyk) {
      for (int c = 0; c < 3; c++)
        out[c] = clamp_byte(255 - s[c] - s[3] + static_cast<int>(unsigned(s[c] * s[3]) / 255));
    } else {
      int yy = s[0], cb = s[1] - 128, cr = s[2] - 128;
      double red = yy + 1.402 * cr;
      double green = yy - 0.344136 * cb - 0.714136 * cr;
      double blue = yy + 1.772 * cb;
      out[0] = clamp_byte(static_cast<int>(red));
      out[1] = clamp_byte(static_cast<int>(green));
      out[2] = clamp_byte(static_cast<int>(blue));
    }
    out[3] = 255;
  }
}

void jpeg_planes_free(jpeg_planes* jp) {
  for (int c = 0; c < kMaxComponents; c++) {
    std::free(jp->plane[c]);
    std::free(jp->slot[c]);
  }
  std::free(jp->cols);
  *jp = jpeg_planes{};
}

uint8_t* qx_jpeg_decode_impl(const uint8_t* data, uint64_t len, int32_t* width, int32_t* height,
                             const char** message) {
  if (width) *width = 0;
  if (height) *height = 0;
  jpeg_planes jp;
  if (!jpeg_decode_planes(data, len, &jp, message)) return nullptr;
  uint64_t bytes;
  uint8_t* out = nullptr;
  if (checked_mul(uint64_t{static_cast<uint32_t>(jp.width)} * static_cast<uint32_t>(jp.height), 4,
                  &bytes))
    out = static_cast<uint8_t*>(std::malloc(bytes));
  if (!out) {
    jpeg_planes_free(&jp);
    report_failure("jpeg: out of memory", message);
    return nullptr;
  }
  const size_t stride = static_cast<size_t>(jp.width) * 4;
  for (int32_t y = 0; y < jp.height; y++)
    jpeg_planes_rgba(&jp, y, nullptr, jp.width, out + static_cast<size_t>(y) * stride);
  if (width) *width = jp.width;
  if (height) *height = jp.height;
  jpeg_planes_free(&jp);
  return out;
}
