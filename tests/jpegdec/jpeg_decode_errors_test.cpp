// Every refusal is reached by a crafted stream and reports its own text, and
// the oddities the segment walk tolerates still decode.
#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <sys/resource.h>
#include <unistd.h>
#endif

#include "jpeg_test_util.h"

using namespace jpeg_test;

namespace {

const bytes kSoi = {0xff, 0xd8};
const bytes kEoi = {0xff, 0xd9};

// Quantisation table 0 and the test Huffman tables DC 0 and AC 0.
bytes tables() {
  return cat({dqt_flat(0, 1), dht(0, 0, test_dc_table()), dht(1, 0, test_ac_table())});
}

// An 8 x 8 gray stream around the given pieces.
bytes gray(const bytes& before_frame, const bytes& frame, const bytes& scan) {
  return cat({kSoi, before_frame, frame, scan, entropy({{0}}), kEoi});
}
bytes gray_frame() {
  return sof(8, 8, {{1, 1, 1}});
}
bytes gray_scan() {
  return sos({{1, 0x00}});
}
bytes good() {
  return gray(tables(), gray_frame(), gray_scan());
}

}  // namespace

TEST(JpegDecodeErrors, SegmentWalk) {
  ASSERT_EQ(outcome(good()), "ok");

  // Fewer than 6 bytes, or the data end before a scan header.
  EXPECT_EQ(outcome({0xff, 0xd8, 0xff, 0xd9, 0x00}), "jpeg: no scan data");
  EXPECT_EQ(outcome({}), "jpeg: no scan data");
  EXPECT_EQ(outcome(cat({kSoi, segment(0xe0, {1, 2})})), "jpeg: no scan data");
  EXPECT_EQ(outcome(cat({kSoi, segment(0xfe, {}), kEoi})), "jpeg: no scan data");
  EXPECT_EQ(outcome({0xff, 0xd8, 0xff, 0xd9, 0xff, 0xe0, 0x00}), "jpeg: no scan data");
  EXPECT_EQ(outcome({0xff, 0xd8, 0xff, 0xd9, 0xff, 0xff, 0xff}), "jpeg: no scan data");
  EXPECT_EQ(outcome(cat({kSoi, tables(), gray_frame(), {0xff, 0xd9, 0xff, 0xd9}})),
            "jpeg: no scan data");

  // No 0xFF where a marker starts; FF 00 is no marker either.
  EXPECT_EQ(outcome(cat({kSoi, {0x00}, tables(), gray_frame(), gray_scan()})),
            "jpeg: corrupt stream");
  EXPECT_EQ(outcome(cat({kSoi, {0xff, 0x00}, tables(), gray_frame(), gray_scan()})),
            "jpeg: corrupt stream");
  // A segment whose length stops short leaves the walk inside its payload.
  EXPECT_EQ(outcome(cat({kSoi, {0xff, 0xfe, 0x00, 0x03, 'a', 'b'}, good()})),
            "jpeg: corrupt stream");

  for (uint8_t l : {0, 1})
    EXPECT_EQ(outcome(cat({kSoi, {0xff, 0xfe, 0x00, l}, good()})), "jpeg: bad segment length");
  EXPECT_EQ(outcome(cat({kSoi, {0xff, 0xfe, 0x00, 0x10, 1, 2, 3, 4}})), "jpeg: truncated segment");

  // Tolerated: fill bytes before a marker; stand-alone TEM, RSTn, SOI and
  // EOI before the scan; APPn, COM, empty DQT and DHT, a DRI too short to
  // hold an interval.
  bytes lenient = cat({kSoi,
                       {0xff, 0x01, 0xff, 0xd3, 0xff, 0xd8, 0xff, 0xd9, 0xff, 0xff, 0xff},
                       segment(0xe1, {'x'}),
                       segment(0xfe, {'c', 'o', 'm'}),
                       segment(0xdb, {}),
                       segment(0xc4, {}),
                       segment(0xdd, {0x00}),
                       tables(),
                       gray_frame(),
                       gray_scan(),
                       entropy({{dc_for(60)}}),
                       kEoi});
  decoded d = decode(lenient);
  ASSERT_TRUE(d.ok) << d.msg;
  EXPECT_EQ(d.gray(7, 7), 60);
}

TEST(JpegDecodeErrors, FrameHeader) {
  auto with_frame = [](const bytes& payload, uint8_t marker = 0xc0) {
    return outcome(gray(tables(), segment(marker, payload), gray_scan()));
  };
  EXPECT_EQ(with_frame({8, 0, 8, 0, 8, 1}), "jpeg: bad SOF");
  EXPECT_EQ(with_frame({12, 0, 8, 0, 8, 1, 1, 0x11, 0}), "jpeg: only 8-bit samples supported");
  EXPECT_EQ(with_frame({16, 0, 8, 0, 8, 1, 1, 0x11, 0}), "jpeg: only 8-bit samples supported");
  EXPECT_EQ(with_frame({8, 0, 8, 0, 8, 0, 1, 0x11, 0}), "jpeg: unsupported SOF");
  EXPECT_EQ(
      with_frame({8, 0, 8, 0, 8, 5, 1, 0x11, 0, 2, 0x11, 0, 3, 0x11, 0, 4, 0x11, 0, 5, 0x11, 0}),
      "jpeg: unsupported SOF");
  EXPECT_EQ(with_frame({8, 0, 0, 0, 8, 1, 1, 0x11, 0}), "jpeg: unsupported SOF");
  EXPECT_EQ(with_frame({8, 0, 8, 0, 0, 1, 1, 0x11, 0}), "jpeg: unsupported SOF");

  // The area limit: at most kJpegDecodeMaxPixels. A frame at the limit is
  // read and the walk then runs out of data.
  static_assert(kJpegDecodeMaxPixels == 200000000);
  auto just_frame = [](int w, int h) { return outcome(cat({kSoi, sof(w, h, {{1, 1, 1}})})); };
  EXPECT_EQ(just_frame(20000, 10000), "jpeg: no scan data");
  EXPECT_EQ(just_frame(20001, 10000), "jpeg: unsupported SOF");
  EXPECT_EQ(just_frame(65535, 3051), "jpeg: no scan data");
  EXPECT_EQ(just_frame(65535, 3052), "jpeg: unsupported SOF");
  EXPECT_EQ(just_frame(65535, 65535), "jpeg: unsupported SOF");

  // Two components: the colour conversion has nothing to read for a third.
  EXPECT_EQ(with_frame({8, 0, 8, 0, 8, 2, 1, 0x11, 0, 2, 0x11, 0}),
            "jpeg: two-component frames not supported");
  // A component list cut short by the segment's end.
  EXPECT_EQ(with_frame({8, 0, 8, 0, 8, 1, 1}), "jpeg: truncated SOF");
  EXPECT_EQ(with_frame({8, 0, 8, 0, 8, 3, 1, 0x11, 0, 2, 0x11, 0}), "jpeg: truncated SOF");

  EXPECT_EQ(with_frame({8, 0, 8, 0, 8, 1, 1, 0x01, 0}), "jpeg: bad component spec");
  EXPECT_EQ(with_frame({8, 0, 8, 0, 8, 1, 1, 0x10, 0}), "jpeg: bad component spec");
  EXPECT_EQ(with_frame({8, 0, 8, 0, 8, 1, 1, 0x11, 4}), "jpeg: bad component spec");
  EXPECT_EQ(with_frame({8, 0, 8, 0, 8, 1, 1, 0x11, 3}), "jpeg: missing quant table");
  EXPECT_EQ(outcome(cat({kSoi, sof(8, 8, {{1, 15, 15}})})), "jpeg: no scan data");

  // SOF1 is skipped like any other segment, leaving no frame for the scan;
  // SOF2 is read like SOF0 and its first scan decoded as a baseline one.
  EXPECT_EQ(with_frame({8, 0, 8, 0, 8, 1, 1, 0x11, 0}, 0xc1), "jpeg: unknown SOS component");
  EXPECT_EQ(with_frame({8, 0, 8, 0, 8, 1, 1, 0x11, 0}, 0xc2), "ok");
  // A progressive stream's first scan (DC only) names an AC table that
  // only later scans bring.
  EXPECT_EQ(outcome(cat({kSoi,
                         dqt_flat(0, 1),
                         dht(0, 0, test_dc_table()),
                         sof(8, 8, {{1, 1, 1}}, 0xc2),
                         gray_scan(),
                         {0x00, 0xff, 0xd9}})),
            "jpeg: missing Huffman table");
}

TEST(JpegDecodeErrors, QuantisationTables) {
  auto with_dqt = [](const bytes& payload) {
    return outcome(gray(cat({segment(0xdb, payload), tables()}), gray_frame(), gray_scan()));
  };
  auto table = [](uint8_t pq_tq, size_t n, uint8_t fill = 1) {
    bytes p = {pq_tq};
    p.resize(1 + n, fill);
    return p;
  };
  for (uint8_t id : {0x04, 0x08, 0x0c, 0x0f, 0x14})
    EXPECT_EQ(with_dqt(table(id, 128)), "jpeg: bad quant table id") << int(id);
  EXPECT_EQ(with_dqt(table(0x00, 63)), "jpeg: truncated DQT");
  EXPECT_EQ(with_dqt(table(0x10, 127)), "jpeg: truncated DQT");
  EXPECT_EQ(with_dqt(cat({table(0x00, 64), table(0x01, 10)})), "jpeg: truncated DQT");
  bytes zero = table(0x00, 64);
  zero[40] = 0;
  EXPECT_EQ(with_dqt(zero), "jpeg: bad quant value");
  bytes wide = table(0x10, 128, 0);
  for (size_t i = 2; i < wide.size(); i += 2) wide[i] = 1;
  ASSERT_EQ(with_dqt(wide), "ok");
  wide[9] = 1;  // a 16-bit value 0x0101
  EXPECT_EQ(with_dqt(wide), "jpeg: bad quant value");
  // Several tables in one segment, any precision nibble above 0 meaning 16 bits.
  bytes two = cat({table(0x00, 64), table(0x23, 128, 0)});
  for (size_t i = 67; i < two.size(); i += 2) two[i] = 255;
  EXPECT_EQ(with_dqt(two), "ok");
}

TEST(JpegDecodeErrors, HuffmanTables) {
  auto with_dht = [](const bytes& payload) {
    return outcome(gray(cat({segment(0xc4, payload), tables()}), gray_frame(), gray_scan()));
  };
  auto table = [](uint8_t tc_th, std::initializer_list<std::pair<int, int>> counts) {
    bytes p = {tc_th};
    p.resize(17, 0);
    int total = 0;
    for (auto [len, n] : counts) {
      p[len] = static_cast<uint8_t>(n);
      total += n;
    }
    for (int i = 0; i < total; i++) p.push_back(static_cast<uint8_t>(i));
    return p;
  };
  for (uint8_t id : {0x20, 0x04, 0x14, 0xf0})
    EXPECT_EQ(with_dht(table(id, {{1, 1}})), "jpeg: bad DHT") << int(id);
  bytes counts_cut = {0x00, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(with_dht(counts_cut), "jpeg: truncated DHT");
  bytes symbols_cut = table(0x00, {{4, 12}});
  symbols_cut.pop_back();
  EXPECT_EQ(with_dht(symbols_cut), "jpeg: truncated DHT");
  EXPECT_EQ(with_dht(cat({table(0x00, {{2, 3}}), {0x11, 0, 0}})), "jpeg: truncated DHT");

  // Codes of length k are the values below 2^k: three 1-bit codes, or one
  // 1-bit code and three 2-bit ones, do not fit.
  EXPECT_EQ(with_dht(table(0x01, {{1, 3}})), "jpeg: over-full DHT");
  EXPECT_EQ(with_dht(table(0x11, {{1, 1}, {2, 3}})), "jpeg: over-full DHT");
  EXPECT_EQ(with_dht(table(0x11, {{1, 2}})), "ok");
  // Lengths 1..15 with one code each and two of 16 bits fill the space
  // exactly, the last code being sixteen 1-bits; a third 16-bit code does not fit.
  std::initializer_list<std::pair<int, int>> full = {
      {1, 1}, {2, 1},  {3, 1},  {4, 1},  {5, 1},  {6, 1},  {7, 1},  {8, 1},
      {9, 1}, {10, 1}, {11, 1}, {12, 1}, {13, 1}, {14, 1}, {15, 1}, {16, 2}};
  EXPECT_EQ(with_dht(table(0x03, full)), "ok");
  bytes over = table(0x03, full);
  over[16] = 3;
  over.push_back(99);
  EXPECT_EQ(with_dht(over), "jpeg: over-full DHT");

  // Such a table decodes its longest codes: DC size 0 is 16 bits of 1s here.
  huffman dc;
  for (int len = 1; len <= 15; len++) dc.counts[len - 1] = 1;
  dc.counts[15] = 2;
  dc.symbols = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 0};
  entropy_writer w(dc);
  w.put({0});
  decoded d = decode(cat({kSoi, dqt_flat(0, 1), dht(0, 0, dc), dht(1, 0, test_ac_table()),
                          gray_frame(), gray_scan(), w.finish(), kEoi}));
  ASSERT_TRUE(d.ok) << d.msg;
  EXPECT_EQ(d.gray(3, 3), 128);
}

TEST(JpegDecodeErrors, ScanHeader) {
  auto with_scan = [](const bytes& payload) {
    return outcome(gray(tables(), gray_frame(), segment(0xda, payload)));
  };
  EXPECT_EQ(with_scan({}), "jpeg: bad SOS");
  EXPECT_EQ(with_scan({2, 1, 0x00}), "jpeg: bad SOS");
  EXPECT_EQ(with_scan({5, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 0, 63, 0}), "jpeg: bad SOS count");
  EXPECT_EQ(with_scan({0, 0, 63, 0}), "jpeg: bad SOS count");
  EXPECT_EQ(with_scan({1, 9, 0x00, 0, 63, 0}), "jpeg: unknown SOS component");
  EXPECT_EQ(outcome(cat({kSoi, tables(), gray_scan(), gray_frame(), entropy({{0}}), kEoi})),
            "jpeg: unknown SOS component");
  EXPECT_EQ(with_scan({1, 1, 0x40, 0, 63, 0}), "jpeg: bad SOS table selector");
  EXPECT_EQ(with_scan({1, 1, 0x04, 0, 63, 0}), "jpeg: bad SOS table selector");
  EXPECT_EQ(with_scan({1, 1, 0x10, 0, 63, 0}), "jpeg: missing Huffman table");
  EXPECT_EQ(with_scan({1, 1, 0x01, 0, 63, 0}), "jpeg: missing Huffman table");
  EXPECT_EQ(outcome(gray(tables(), sof(8, 8, {{1, 1, 1, 1}}), gray_scan())),
            "jpeg: missing quant table");
  // The tables a scan uses are those defined before it.
  EXPECT_EQ(outcome(cat({kSoi, gray_frame(), gray_scan(), tables(), entropy({{0}}), kEoi})),
            "jpeg: missing quant table");
}

TEST(JpegDecodeErrors, ScanDataAndOutputs) {
  bytes s = good();
  s.erase(s.end() - 3, s.end());  // the last data byte and FF D9
  int32_t w = 7, h = 7;
  const char* msg = nullptr;
  uint8_t* px = qx_jpeg_decode_impl(s.data(), s.size(), &w, &h, &msg);
  EXPECT_EQ(px, nullptr);
  EXPECT_EQ(w, 0);
  EXPECT_EQ(h, 0);
  ASSERT_NE(msg, nullptr);
  EXPECT_STREQ(msg, "jpeg: decode error in scan data");
  // No data at all after the scan header.
  EXPECT_EQ(outcome(cat({kSoi, tables(), gray_frame(), gray_scan()})),
            "jpeg: decode error in scan data");

  bytes ok = good();
  px = qx_jpeg_decode_impl(ok.data(), ok.size(), &w, &h, &msg);
  ASSERT_NE(px, nullptr);
  EXPECT_EQ(w, 8);
  EXPECT_EQ(h, 8);
  EXPECT_STREQ(msg, "");
  std::free(px);
}

TEST(JpegDecodeErrors, OutOfMemory) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer reserves address space and aborts on failed allocations";
#elif defined(_WIN32)
  GTEST_SKIP() << "capping the address space needs setrlimit, which Windows lacks";
#else
  // In a child process with the address space capped a little above what it
  // uses: a 6000 x 6000 gray frame needs a 36 MB plane and a 144 MB output
  // block. The scan stops at its first restart point, where FF D9 sits, so
  // only one block is decoded before the output is allocated.
  bytes data = cat({header(6000, 6000, {{1, 1, 1}}, {.restart = 1}), entropy({{0}}), kEoi});
  auto limited = [&](long extra_mb) {
    long pages = 0;
    FILE* f = std::fopen("/proc/self/statm", "r");
    if (!f || std::fscanf(f, "%ld", &pages) != 1) std::_Exit(2);
    std::fclose(f);
    rlim_t cap = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) +
                 static_cast<rlim_t>(extra_mb) * 1048576;
    struct rlimit rl = {cap, cap};
    if (setrlimit(RLIMIT_AS, &rl) != 0) std::_Exit(3);
    std::fprintf(stderr, "%s\n", outcome(data).c_str());
    std::_Exit(0);
  };
  // Room for the tables but not the plane; for the plane but not the output;
  // for everything.
  EXPECT_EXIT(limited(20), testing::ExitedWithCode(0), "jpeg: out of memory");
  EXPECT_EXIT(limited(90), testing::ExitedWithCode(0), "jpeg: out of memory");
  EXPECT_EXIT(limited(400), testing::ExitedWithCode(0), "(^|\n)ok");
#endif
}
