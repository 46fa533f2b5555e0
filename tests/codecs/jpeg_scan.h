// A reader for the JPEG encoder's tests, written from T.81: it walks the
// segments of a baseline file and Huffman-decodes the whole scan into the
// quantised coefficients of every block (no inverse DCT), so tests can check
// the entropy coding exactly rather than only through a lossy decoder.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace jpeg_scan {

using bytes = std::vector<uint8_t>;

struct huffman_table {
  int cls = 0, id = 0;  // class 0 = DC, 1 = AC
  uint8_t counts[16] = {};
  bytes symbols;
  // Code of each symbol as a '0'/'1' string, in canonical order (T.81 C.2).
  std::vector<std::string> codes() const {
    std::vector<std::string> out;
    uint32_t code = 0;
    for (int len = 1; len <= 16; len++) {
      for (int i = 0; i < counts[len - 1]; i++, code++) {
        std::string s;
        for (int b = len - 1; b >= 0; b--) s += ((code >> b) & 1) ? '1' : '0';
        out.push_back(s);
      }
      code <<= 1;
    }
    return out;
  }
  std::string code_of(uint8_t sym) const {
    std::vector<std::string> c = codes();
    for (size_t i = 0; i < symbols.size() && i < c.size(); i++)
      if (symbols[i] == sym) return c[i];
    return "";
  }
};

struct parsed {
  std::string error;
  int width = 0, height = 0;
  std::vector<huffman_table> tables;  // in file order
  // Coefficients of every block in scan order (Y, Cb, Cr per MCU), zigzag
  // order, DC as coded (the difference from the previous block of the same
  // component).
  std::vector<std::array<int, 64>> blocks;
  bool coefficient63 = false;  // some block ends with a non-zero coefficient 63
  std::string tail_bits;       // the bits after the last block, before EOI
};

namespace detail {

struct bit_reader {
  bytes data;  // entropy-coded bytes with the stuffed zeros removed
  size_t bit = 0;
  bool over = false;
  int get() {
    if (bit >= data.size() * 8) {
      over = true;
      return 0;
    }
    int b = (data[bit / 8] >> (7 - bit % 8)) & 1;
    bit++;
    return b;
  }
  int bits(int n) {
    int v = 0;
    for (int i = 0; i < n; i++) v = (v << 1) | get();
    return v;
  }
};

// Codes of one length are consecutive, starting where the shorter ones end.
inline int decode(bit_reader& r, const huffman_table& t) {
  int code = 0, first = 0, index = 0;
  for (int len = 1; len <= 16 && !r.over; len++) {
    code = (code << 1) | r.get();
    int count = t.counts[len - 1];
    if (code - first < count) return t.symbols[size_t(index + code - first)];
    index += count;
    first = (first + count) << 1;
  }
  return -1;
}

inline int extend(int v, int s) {
  return s == 0 ? 0 : (v < (1 << (s - 1)) ? v - (1 << s) + 1 : v);
}

}  // namespace detail

inline parsed parse(const bytes& f) {
  parsed p;
  if (f.size() < 4 || f[0] != 0xff || f[1] != 0xd8) {
    p.error = "no SOI";
    return p;
  }
  size_t pos = 2;
  int comp_dc[3] = {}, comp_ac[3] = {};
  for (;;) {
    if (pos + 4 > f.size() || f[pos] != 0xff) {
      p.error = "bad marker at " + std::to_string(pos);
      return p;
    }
    uint8_t marker = f[pos + 1];
    size_t len = size_t(f[pos + 2]) << 8 | f[pos + 3];
    if (pos + 2 + len > f.size()) {
      p.error = "segment overruns the file";
      return p;
    }
    const uint8_t* seg = &f[pos + 4];
    if (marker == 0xc0) {
      p.height = seg[1] << 8 | seg[2];
      p.width = seg[3] << 8 | seg[4];
    } else if (marker == 0xc4) {
      size_t at = 0;
      while (at < len - 2) {
        huffman_table t;
        t.cls = seg[at] >> 4;
        t.id = seg[at] & 15;
        int n = 0;
        for (int i = 0; i < 16; i++) n += t.counts[i] = seg[at + 1 + size_t(i)];
        t.symbols.assign(seg + at + 17, seg + at + 17 + n);
        p.tables.push_back(t);
        at += 17 + size_t(n);
      }
    } else if (marker == 0xda) {
      for (int c = 0; c < seg[0] && c < 3; c++) {
        comp_dc[c] = seg[2 + 2 * c] >> 4;
        comp_ac[c] = seg[2 + 2 * c] & 15;
      }
      pos += 2 + len;
      break;
    }
    pos += 2 + len;
  }
  detail::bit_reader r;
  while (pos + 1 < f.size() && !(f[pos] == 0xff && f[pos + 1] != 0x00)) {
    r.data.push_back(f[pos]);
    pos += f[pos] == 0xff ? 2 : 1;
  }
  if (pos + 2 != f.size() || f[pos] != 0xff || f[pos + 1] != 0xd9) {
    p.error = "scan not followed by EOI at the end of the file";
    return p;
  }
  auto table = [&](int cls, int id) -> const huffman_table* {
    for (const huffman_table& t : p.tables)
      if (t.cls == cls && t.id == id) return &t;
    return nullptr;
  };
  size_t mcus = size_t((p.width + 7) / 8) * size_t((p.height + 7) / 8);
  for (size_t m = 0; m < mcus; m++) {
    for (int c = 0; c < 3; c++) {
      const huffman_table* dc = table(0, comp_dc[c]);
      const huffman_table* ac = table(1, comp_ac[c]);
      if (!dc || !ac) {
        p.error = "missing table";
        return p;
      }
      std::array<int, 64> q{};
      int s = detail::decode(r, *dc);
      if (s < 0 || s > 11) {
        p.error = "bad DC symbol in block " + std::to_string(p.blocks.size());
        return p;
      }
      q[0] = detail::extend(r.bits(s), s);
      bool zero_run = false;
      for (int k = 1; k < 64;) {
        int rs = detail::decode(r, *ac);
        if (rs < 0) {
          p.error = "bad AC symbol in block " + std::to_string(p.blocks.size());
          return p;
        }
        int run = rs >> 4, size = rs & 15;
        if (size == 0 && run != 15) {  // end of block
          if (zero_run) {
            p.error = "sixteen zeros coded before the end of block";
            return p;
          }
          break;
        }
        k += run;
        zero_run = size == 0;
        if (size == 0) {  // sixteen zeros: only useful before a non-zero value
          k++;
          if (k >= 64) {
            p.error = "zero run past the block end";
            return p;
          }
          continue;
        }
        if (k > 63) {
          p.error = "coefficient past 63";
          return p;
        }
        q[size_t(k)] = detail::extend(r.bits(size), size);
        if (q[size_t(k)] == 0) {
          p.error = "coded zero";
          return p;
        }
        if (k == 63) p.coefficient63 = true;
        k++;
      }
      if (r.over) {
        p.error = "scan ends inside block " + std::to_string(p.blocks.size());
        return p;
      }
      p.blocks.push_back(q);
    }
  }
  while (r.bit < r.data.size() * 8) p.tail_bits += r.get() ? '1' : '0';
  return p;
}

}  // namespace jpeg_scan
