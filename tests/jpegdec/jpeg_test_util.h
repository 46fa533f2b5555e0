// Helpers of the JPEG decoder tests: a decode wrapper that owns its pixels, a
// small JPEG writer for hand-made streams (segments, Huffman-coded blocks,
// restart and stray markers), and access to cjpeg/djpeg with PNM images.
#pragma once

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <sys/wait.h>
#endif

#include "codecs/jpeg_decode.h"

namespace jpeg_test {

using bytes = std::vector<uint8_t>;

// ------------------------------------------------------------ decoding

// The outcome of one qx_jpeg_decode_impl call, copied out of the decoder's
// block (which is released at once).
struct decoded {
  bool ok = false;
  int32_t w = -1, h = -1;
  std::string msg;
  bytes rgba;
  const uint8_t* px(int x, int y) const { return &rgba[(static_cast<size_t>(y) * w + x) * 4]; }
  // Red, green and blue of a pixel as one number 0xRRGGBB.
  uint32_t rgb(int x, int y) const {
    const uint8_t* p = px(x, y);
    return uint32_t{p[0]} << 16 | uint32_t{p[1]} << 8 | p[2];
  }
  int gray(int x, int y) const { return px(x, y)[0]; }
};

inline decoded decode(const uint8_t* data, size_t n) {
  decoded d;
  const char* msg = nullptr;
  uint8_t* out = qx_jpeg_decode_impl(data, n, &d.w, &d.h, &msg);
  d.ok = out != nullptr;
  d.msg = msg ? msg : "<null message>";
  if (out) {
    d.rgba.assign(out, out + static_cast<size_t>(d.w) * d.h * 4);
    std::free(out);
  }
  return d;
}
inline decoded decode(const bytes& b) {
  return decode(b.data(), b.size());
}

// Every text the decoder can report.
inline const std::vector<std::string>& all_messages() {
  static const std::vector<std::string> m = {
      "jpeg: out of memory", "jpeg: no scan data", "jpeg: corrupt stream",
      "jpeg: bad segment length", "jpeg: truncated segment", "jpeg: bad SOF",
      "jpeg: only 8-bit samples supported", "jpeg: unsupported SOF", "jpeg: bad component spec",
      "jpeg: bad quant table id", "jpeg: truncated DQT", "jpeg: bad quant value", "jpeg: bad DHT",
      "jpeg: truncated DHT", "jpeg: bad SOS", "jpeg: bad SOS count", "jpeg: unknown SOS component",
      "jpeg: missing quant table", "jpeg: missing Huffman table", "jpeg: decode error in scan data",
      // Refusals of cases T.81 leaves open or this decoder does not handle.
      "jpeg: two-component frames not supported", "jpeg: truncated SOF", "jpeg: over-full DHT",
      "jpeg: bad SOS table selector"};
  return m;
}

// Message of a failed decode, or "ok" for one that succeeded.
inline std::string outcome(const bytes& b) {
  decoded d = decode(b);
  return d.ok ? "ok" : d.msg;
}

// ------------------------------------------------------------ writing JPEG

inline void append(bytes& out, const bytes& more) {
  out.insert(out.end(), more.begin(), more.end());
}
inline bytes cat(std::initializer_list<bytes> parts) {
  bytes out;
  for (const bytes& p : parts) append(out, p);
  return out;
}

// FF marker, the 16-bit length (payload + 2), the payload.
inline bytes segment(uint8_t marker, const bytes& payload) {
  size_t n = payload.size() + 2;
  bytes s = {0xff, marker, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
  append(s, payload);
  return s;
}

// A Huffman table as a DHT segment carries it.
struct huffman {
  uint8_t counts[16] = {};
  bytes symbols;
};

// The tables of the hand-made streams. DC: sizes 0..11 with 4-bit codes equal
// to the size. AC: 8-bit codes, code value = index in this list: end of block,
// ZRL (0xF0), a bare run of 3 (0x30, no coefficient), then every run 0..15
// with sizes 1..10.
inline huffman test_dc_table() {
  huffman t;
  t.counts[3] = 12;
  for (int s = 0; s < 12; s++) t.symbols.push_back(static_cast<uint8_t>(s));
  return t;
}
inline huffman test_ac_table() {
  huffman t;
  t.symbols = {0x00, 0xf0, 0x30};
  for (int run = 0; run < 16; run++)
    for (int size = 1; size <= 10; size++)
      t.symbols.push_back(static_cast<uint8_t>(run << 4 | size));
  t.counts[7] = static_cast<uint8_t>(t.symbols.size());
  return t;
}

// Symbol -> (code, length) of the canonical code the table defines.
inline std::map<int, std::pair<uint32_t, int>> canonical_codes(const huffman& t) {
  std::map<int, std::pair<uint32_t, int>> codes;
  uint32_t code = 0;
  size_t k = 0;
  for (int len = 1; len <= 16; len++) {
    for (int i = 0; i < t.counts[len - 1]; i++) codes[t.symbols[k++]] = {code++, len};
    code <<= 1;
  }
  return codes;
}

inline bytes dht(int cls, int id, const huffman& t) {
  bytes p = {static_cast<uint8_t>(cls << 4 | id)};
  p.insert(p.end(), t.counts, t.counts + 16);
  append(p, t.symbols);
  return segment(0xc4, p);
}

// An 8-bit quantisation table with every value q.
inline bytes dqt_flat(int id, uint8_t q) {
  bytes p = {static_cast<uint8_t>(id)};
  p.insert(p.end(), 64, q);
  return segment(0xdb, p);
}

struct comp {
  uint8_t id;
  int h, v;
  uint8_t tq = 0;
};

inline bytes sof(int width, int height, const std::vector<comp>& comps, uint8_t marker = 0xc0,
                 uint8_t precision = 8) {
  bytes p = {precision,
             static_cast<uint8_t>(height >> 8),
             static_cast<uint8_t>(height),
             static_cast<uint8_t>(width >> 8),
             static_cast<uint8_t>(width),
             static_cast<uint8_t>(comps.size())};
  for (const comp& c : comps) {
    p.push_back(c.id);
    p.push_back(static_cast<uint8_t>(c.h << 4 | c.v));
    p.push_back(c.tq);
  }
  return segment(marker, p);
}

// Scan header naming (identifier, DC << 4 | AC) pairs; Ss 0, Se 63, A 0.
inline bytes sos(const std::vector<std::pair<uint8_t, uint8_t>>& sel) {
  bytes p = {static_cast<uint8_t>(sel.size())};
  for (auto [id, tables] : sel) {
    p.push_back(id);
    p.push_back(tables);
  }
  p.insert(p.end(), {0x00, 0x3f, 0x00});
  return segment(0xda, p);
}

inline bytes dri(int interval) {
  return segment(0xdd, {static_cast<uint8_t>(interval >> 8), static_cast<uint8_t>(interval)});
}

// Choices of a hand-made stream's header.
struct options {
  int restart = 0;                 // DRI segment when above 0
  uint8_t q = 1;                   // every value of quantisation tables 0 and 1
  std::vector<uint8_t> scan = {};  // identifiers the scan lists; empty = every component
};

// SOI, flat quantisation tables 0 and 1, the frame, the test Huffman tables as
// DC 0 and AC 0, the restart interval, and a scan with tables 0: everything up
// to the entropy-coded data.
inline bytes header(int width, int height, const std::vector<comp>& comps, const options& o = {}) {
  bytes out = {0xff, 0xd8};
  append(out, dqt_flat(0, o.q));
  append(out, dqt_flat(1, o.q));
  append(out, sof(width, height, comps));
  append(out, dht(0, 0, test_dc_table()));
  append(out, dht(1, 0, test_ac_table()));
  if (o.restart > 0) append(out, dri(o.restart));
  std::vector<std::pair<uint8_t, uint8_t>> sel;
  if (o.scan.empty())
    for (const comp& c : comps) sel.push_back({c.id, 0x00});
  for (uint8_t id : o.scan) sel.push_back({id, 0x00});
  append(out, sos(sel));
  return out;
}

// One block to code: the DC difference, then (zigzag position, value) pairs
// in increasing position; an end-of-block code follows unless the last pair
// sits at position 63 or eob is false.
struct block {
  int dc = 0;
  std::vector<std::pair<int, int>> ac = {};
  bool eob = true;
};

// Writes entropy-coded data with byte stuffing (FF -> FF 00).
class entropy_writer {
 public:
  entropy_writer(const huffman& dc = test_dc_table(), const huffman& ac = test_ac_table())
      : dc_(canonical_codes(dc)), ac_(canonical_codes(ac)) {}

  // Appends the low count bits of value, most significant first.
  void bits(uint32_t value, int count) {
    for (int i = count - 1; i >= 0; i--) {
      acc_ = acc_ << 1 | ((value >> i) & 1);
      if (++n_ == 8) flush_byte();
    }
  }
  void dc_symbol(int s) { code(dc_, s); }
  void ac_symbol(int s) { code(ac_, s); }
  // A value's size category and its bits (T.81 F.1.2.1).
  static int size_of(int v) {
    int s = 0;
    for (int a = std::abs(v); a; a >>= 1) s++;
    return s;
  }
  void value(int v, int size) {
    bits(static_cast<uint32_t>(v >= 0 ? v : v + (1 << size) - 1), size);
  }

  void put(const block& b) {
    int s = size_of(b.dc);
    dc_symbol(s);
    value(b.dc, s);
    int last = 0;
    for (auto [k, v] : b.ac) {
      int run = k - last - 1;
      for (; run > 15; run -= 16) ac_symbol(0xf0);
      int size = size_of(v);
      ac_symbol(run << 4 | size);
      value(v, size);
      last = k;
    }
    if (last < 63 && b.eob) ac_symbol(0x00);
  }

  // Pads the current byte with 1-bits.
  void align() {
    while (n_ != 0) bits(1, 1);
  }
  // A marker between bytes: pads, then FF code.
  void marker(uint8_t code) {
    align();
    out_.push_back(0xff);
    out_.push_back(code);
  }
  // A marker met inside the data: FF here (the writer must sit on a byte
  // boundary), and the next eight bits written form the marker's second byte
  // unstuffed. The decoder reads on from that byte, so those bits are data too.
  void stray_marker() {
    EXPECT_EQ(n_, 0) << "stray marker off a byte boundary";
    out_.push_back(0xff);
    raw_next_ = true;
  }
  // Pads and returns the data written so far.
  bytes finish() {
    align();
    return out_;
  }
  int bit_offset() const { return n_; }

 private:
  void code(const std::map<int, std::pair<uint32_t, int>>& codes, int s) {
    auto it = codes.find(s);
    ASSERT_NE(it, codes.end()) << "symbol " << s << " not in the table";
    bits(it->second.first, it->second.second);
  }
  void flush_byte() {
    uint8_t b = static_cast<uint8_t>(acc_);
    out_.push_back(b);
    if (raw_next_)
      EXPECT_NE(b, 0) << "a stray marker's second byte cannot be 00";
    else if (b == 0xff)
      out_.push_back(0x00);
    raw_next_ = false;
    acc_ = 0;
    n_ = 0;
  }
  std::map<int, std::pair<uint32_t, int>> dc_, ac_;
  bytes out_;
  uint32_t acc_ = 0;
  int n_ = 0;
  bool raw_next_ = false;
};

// The blocks coded in order with the test tables, padded to a byte.
inline bytes entropy(const std::vector<block>& blocks) {
  entropy_writer w;
  for (const block& b : blocks) w.put(b);
  return w.finish();
}

// A whole stream: header, the blocks in order, padding, FF D9.
inline bytes image(int width, int height, const std::vector<comp>& comps,
                   const std::vector<block>& blocks, const options& o = {}) {
  return cat({header(width, height, comps, o), entropy(blocks), {0xff, 0xd9}});
}

// The stream with a segment inserted right after SOI.
inline bytes with_segment(bytes stream, const bytes& seg) {
  stream.insert(stream.begin() + 2, seg.begin(), seg.end());
  return stream;
}

// The DC value whose flat block decodes (with quantiser 1) to the sample s:
// the inverse DCT gives DC / 8 everywhere.
inline int dc_for(int s) {
  return (s - 128) * 8;
}

// A flat block's sample for a dequantised DC value d: p = d / 8, rounded to
// nearest (values with d % 8 == 4 sit on a tie and are avoided).
inline int flat_sample(int d) {
  int p = static_cast<int>(std::floor(d / 8.0 + 128.5));
  return p < 0 ? 0 : p > 255 ? 255 : p;
}

// The sample of a block at (x, y) from dequantised coefficients given by
// (row, column) of the natural order: the inverse DCT written out directly.
inline double idct_at(const std::vector<std::tuple<int, int, double>>& coefs, int x, int y) {
  const double pi = 3.14159265358979323846;
  double sum = 0;
  for (auto [v, u, f] : coefs) {
    double cu = u == 0 ? std::sqrt(0.5) : 1, cv = v == 0 ? std::sqrt(0.5) : 1;
    sum +=
        cu * cv / 4 * f * std::cos((2 * x + 1) * u * pi / 16) * std::cos((2 * y + 1) * v * pi / 16);
  }
  return sum + 128;
}

// ------------------------------------------------------------ tools, PNM

inline std::string quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}
// A /bin/sh command line's exit status, or -1 when it could not run (always
// on Windows, where the tests needing cjpeg and djpeg skip).
inline int run(const std::string& command) {
#if defined(_WIN32)
  (void)command;
  return -1;
#else
  int rc = std::system(command.c_str());
  return rc != -1 && WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
#endif
}
inline bool have_tools() {
  static const bool ok =
      run("cjpeg -version >/dev/null 2>&1 && djpeg -version >/dev/null 2>&1") == 0;
  return ok;
}
// A scratch path unique to the running test.
inline std::string scratch(const std::string& suffix) {
  const testing::TestInfo* t = testing::UnitTest::GetInstance()->current_test_info();
  return testing::TempDir() + "jpegdec_" + t->test_suite_name() + "_" + t->name() + "_" + suffix;
}
inline void write_file(const std::string& path, const bytes& data) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}
inline bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return bytes(std::istreambuf_iterator<char>(in), {});
}

// A PGM (channels 1) or PPM (3) image.
struct pnm {
  int w = 0, h = 0, channels = 0;
  bytes data;
  int at(int x, int y, int c) const {
    return data[(static_cast<size_t>(y) * w + x) * channels + c];
  }
};
inline bytes pnm_file(const pnm& im) {
  std::string head = std::string(im.channels == 1 ? "P5" : "P6") + "\n" + std::to_string(im.w) +
                     " " + std::to_string(im.h) + "\n255\n";
  bytes out(head.begin(), head.end());
  append(out, im.data);
  return out;
}
// Reads the binary PNM that djpeg writes (no comments); channels 0 on failure.
inline pnm parse_pnm(const bytes& f) {
  pnm im;
  std::string s(f.begin(), f.end());
  size_t pos = 0;
  auto field = [&]() {
    while (pos < s.size() && std::isspace(static_cast<unsigned char>(s[pos]))) pos++;
    size_t start = pos;
    while (pos < s.size() && !std::isspace(static_cast<unsigned char>(s[pos]))) pos++;
    return s.substr(start, pos - start);
  };
  std::string magic = field();
  int w = std::atoi(field().c_str()), h = std::atoi(field().c_str()),
      maxval = std::atoi(field().c_str());
  int ch = magic == "P5" ? 1 : magic == "P6" ? 3 : 0;
  size_t need = static_cast<size_t>(w) * h * ch;
  if (ch == 0 || maxval != 255 || pos + 1 + need > s.size()) return im;
  im.w = w;
  im.h = h;
  im.channels = ch;
  im.data.assign(f.begin() + static_cast<std::ptrdiff_t>(pos + 1),
                 f.begin() + static_cast<std::ptrdiff_t>(pos + 1 + need));
  return im;
}

// Largest and mean absolute difference between decoded RGB and a reference
// image (a PGM counts for all three channels).
struct diff_stats {
  int max = 0;
  double mean = 0;
};
inline diff_stats compare(const decoded& d, const pnm& ref) {
  diff_stats st;
  if (!d.ok || d.w != ref.w || d.h != ref.h) return {999, 999};
  double total = 0;
  for (int y = 0; y < d.h; y++)
    for (int x = 0; x < d.w; x++)
      for (int c = 0; c < 3; c++) {
        int e = std::abs(d.px(x, y)[c] - ref.at(x, y, ref.channels == 1 ? 0 : c));
        st.max = std::max(st.max, e);
        total += e;
      }
  st.mean = total / (3.0 * d.w * d.h);
  return st;
}

}  // namespace jpeg_test
