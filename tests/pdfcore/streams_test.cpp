// Stream data, page contents and resource dictionaries come back as written
// or inflated, failures leave the caller's buffer as it was, Flate retries
// stop at the ceiling, and hostile lists cost bounded time and memory.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "pdfcore/limits.h"
#include "pdfcore/pdfcore_internal.h"
#include "support/alloc_peak.h"
#include "support/test_util.h"

using test_util::loaded_doc;
using test_util::simple_pdf;

// The texts behind tools/make_test_pdf.py's stream_filters.pdf.
static const std::string kContentA = "0 0 1 rg 10 10 100 100 re f\n";
static const std::string kContentB = "1 0 0 RG 5 w 0 0 m 50 50 l S\n";
static const std::string kFakeJpeg = "\xff\xd8\xff\xe0 still DCT-encoded";
static const std::string kRepeated = "0 0 m 100 100 l S\n";

// A hand-made zlib stream: a stored block holding "hello " that is not the
// last, then a block of the reserved type 11 (a data error).
static const std::string kHelloThenError("\x78\x01\x00\x06\x00\xf9\xffhello \x07", 14);

static std::string fixture(const std::string& name) {
  return test_util::read_file(test_util::data_path("pdf/" + name));
}

static std::string text(const uint8_t* p, int64_t n) {
  return p ? std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(n)) : "<null>";
}

static std::string stream(int num, const std::string& dict, const std::string& data) {
  return std::to_string(num) + " 0 obj << " + dict + " /Length " + std::to_string(data.size()) +
         " >> stream\n" + data + "\nendstream endobj\n";
}

// decoded_stream on object num of d into b; "<null>" when it gives nothing.
static std::string decode(const loaded_doc& d, int32_t num, buf* b) {
  const obj_entry* e = d.find(num);
  if (!e) return "<missing>";
  int32_t n = -7;
  const uint8_t* p = decoded_stream(e, d.doc.data, d.doc.len, b, &n);
  if (!p) {
    EXPECT_EQ(n, -7);  // the length is not touched on failure
    return "<null>";
  }
  return text(p, n);
}

static std::string page_content(const loaded_doc& d, int32_t num, int* rc = nullptr) {
  uint8_t* bytes = reinterpret_cast<uint8_t*>(1);
  int32_t length = -1;
  int r = get_page_content(d.doc.data, d.doc.len, &d.doc.objects, d.find(num), &bytes, &length);
  if (rc) *rc = r;
  if (!r) {
    EXPECT_EQ(bytes, nullptr);
    EXPECT_EQ(length, 0);
    return "<none>";
  }
  EXPECT_EQ(bytes[length], 0);  // NUL-terminated
  std::string s = text(bytes, length);
  free(bytes);
  return s;
}

static std::string owned(char* s) {
  std::string r = s ? s : "<null>";
  free(s);
  return r;
}

// ---------------------------------------------------------------------------
// decoded_stream

TEST(DecodedStream, FlateIsAppendedToTheBuffer) {
  loaded_doc d(fixture("stream_filters.pdf"));
  ASSERT_TRUE(d.ok) << d.error;
  buf b = {};
  buf_str(&b, "prefix");
  int32_t n = 0;
  const uint8_t* p = decoded_stream(d.find(10), d.doc.data, d.doc.len, &b, &n);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p, b.data + 6);
  EXPECT_EQ(text(p, n), kContentA);
  EXPECT_EQ(text(b.data, (int64_t)b.len), "prefix" + kContentA);
  EXPECT_EQ(b.data[b.len], 0);
  // Flate in an array next to a filter that is not undone.
  EXPECT_EQ(decode(d, 12, &b), kFakeJpeg);
  buf_free(&b);
}

TEST(DecodedStream, WithoutFlateTheRawBytesAreTheDocuments) {
  loaded_doc d(fixture("stream_filters.pdf"));
  ASSERT_TRUE(d.ok) << d.error;
  buf b = {};
  const obj_entry* e = d.find(11);
  int32_t n = 0;
  const uint8_t* p = decoded_stream(e, d.doc.data, d.doc.len, &b, &n);
  EXPECT_EQ(p, d.doc.data + e->data_off);
  EXPECT_EQ(text(p, n), kContentB);
  EXPECT_EQ(decode(d, 15, &b), d.stream_data(15));  // LZW
  // The filter array by reference: its FlateDecode is not in the dictionary.
  EXPECT_EQ(decode(d, 16, &b), d.stream_data(16));
  EXPECT_EQ(b.data, nullptr);             // never touched
  EXPECT_EQ(decode(d, 3, &b), "<null>");  // not a stream
  EXPECT_EQ(decoded_stream(e, d.doc.data, d.doc.len, nullptr, &n), p);

  loaded_doc empty(simple_pdf(
      "3 0 R", "3 0 obj << /Type /Page >> endobj\n" + stream(4, "/Filter /FlateDecode", "")));
  ASSERT_TRUE(empty.ok) << empty.error;
  EXPECT_EQ(decode(empty, 4, &b), "<null>");
}

TEST(DecodedStream, FailureLeavesTheBufferAsItWas) {
  loaded_doc d(fixture("stream_filters.pdf"));
  ASSERT_TRUE(d.ok) << d.error;
  buf b = {};
  buf_str(&b, "prefix");
  uint64_t cap = b.cap;
  test_util::alloc_peak::start();
  EXPECT_EQ(decode(d, 18, &b), "<null>");
  test_util::alloc_peak::stop();
  // Truncated data are not retried with more room: one attempt of 20 n + 4096.
  EXPECT_LE(test_util::alloc_peak::largest(), (int64_t)(20 * d.stream_data(18).size() + 4096 + 7));
  EXPECT_EQ(text(b.data, (int64_t)b.len), "prefix");
  EXPECT_EQ(b.data[b.len], 0);
  EXPECT_EQ(b.cap, cap);
  buf_free(&b);
  EXPECT_EQ(decode(d, 18, &b), "<null>");
  EXPECT_EQ(b.data, nullptr);  // a failed decode keeps no block

  // A data error keeps what came before it; data that end before the last
  // block give nothing, also when bytes were decoded over the terminator.
  loaded_doc e(
      simple_pdf("3 0 R", "3 0 obj << /Type /Page >> endobj\n" +
                              stream(4, "/Filter /FlateDecode", kHelloThenError) +
                              stream(5, "/Filter /FlateDecode", kHelloThenError.substr(0, 13))));
  ASSERT_TRUE(e.ok) << e.error;
  EXPECT_EQ(decode(e, 4, &b), "hello ");
  buf_free(&b);
  buf_str(&b, "prefix");
  EXPECT_EQ(decode(e, 5, &b), "<null>");
  EXPECT_EQ(b.len, 6u);
  EXPECT_EQ(b.data[6], 0);
  buf_free(&b);
}

// ---------------------------------------------------------------------------
// Retries and the ceiling, for both Flate paths.

static std::string stream_decode(const loaded_doc& d, int32_t num) {
  int32_t n = -7;
  uint8_t* p = page_stream_decode(&d.doc, d.find(num), &n);
  if (!p) {
    EXPECT_EQ(n, -7);
    return "<null>";
  }
  std::string s = text(p, n);
  free(p);
  return s;
}

TEST(FlateRetry, GrowsPastTheFirstBuffer) {
  // About 4 KB inflating to 4 MiB: beyond 20 n + 4096 and 200 n + 1 MiB.
  loaded_doc d(fixture("stream_filters.pdf"));
  ASSERT_TRUE(d.ok) << d.error;
  std::string expect;
  while (expect.size() + kRepeated.size() <= 4 * 1048576) expect += kRepeated;
  ASSERT_LT(d.stream_data(17).size() * 200 + 1048576, expect.size());
  buf b = {};
  EXPECT_TRUE(decode(d, 17, &b) == expect);
  buf_free(&b);
  EXPECT_TRUE(stream_decode(d, 17) == expect);
}

static bool all_zero(const uint8_t* p, int64_t n) {
  static const uint8_t zeros[65536] = {};
  for (int64_t at = 0; at < n; at += 65536)
    if (memcmp(p + at, zeros, (size_t)std::min<int64_t>(65536, n - at)) != 0) return false;
  return true;
}

TEST(FlateRetry, CeilingIsExactAndBoundsMemory) {
  // Object 5 inflates to exactly the ceiling, object 6 to one byte more.
  const int64_t ceiling = pdfcore_limits::kMaxStreamDecodeBytes;
  const int64_t slack = 4 * 1048576;
  loaded_doc d(fixture("flate_ceiling.pdf"));
  ASSERT_TRUE(d.ok) << d.error;
  using test_util::alloc_peak;

  buf b = {};
  buf_str(&b, "x");
  int32_t n = 0;
  alloc_peak::start();
  const uint8_t* p = decoded_stream(d.find(5), d.doc.data, d.doc.len, &b, &n);
  int64_t peak = alloc_peak::stop();
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(n, ceiling);
  EXPECT_EQ(b.len, (uint64_t)ceiling + 1);
  EXPECT_TRUE(all_zero(p, n));
  EXPECT_LT(peak, ceiling + slack);
  buf_free(&b);

  buf_str(&b, "x");
  alloc_peak::start();
  p = decoded_stream(d.find(6), d.doc.data, d.doc.len, &b, &n);
  peak = alloc_peak::stop();
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(b.len, 1u);
  EXPECT_EQ(b.data[0], 'x');
  EXPECT_EQ(b.data[1], 0);
  // Failed attempts are released before the next; none is above the ceiling.
  EXPECT_LT(peak, ceiling + slack);
  buf_free(&b);

  alloc_peak::start();
  uint8_t* q = page_stream_decode(&d.doc, d.find(5), &n);
  peak = alloc_peak::stop();
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(n, ceiling);
  EXPECT_TRUE(all_zero(q, n));
  free(q);
  EXPECT_LT(peak, ceiling + slack);

  alloc_peak::start();
  q = page_stream_decode(&d.doc, d.find(6), &n);
  peak = alloc_peak::stop();
  EXPECT_EQ(q, nullptr);
  free(q);
  EXPECT_LT(peak, ceiling + slack);
}

// ---------------------------------------------------------------------------
// get_page_content

TEST(PageContent, ReferencesAreDecodedAndJoined) {
  loaded_doc f(fixture("flate_content.pdf"));
  ASSERT_TRUE(f.ok) << f.error;
  std::string fifty;
  for (int i = 0; i < 50; i++) fifty += kContentA;
  EXPECT_EQ(page_content(f, 3), fifty);

  // /Contents [10 11 99 12]: 99 is missing, 12 is Flate then DCT.
  loaded_doc d(fixture("stream_filters.pdf"));
  ASSERT_TRUE(d.ok) << d.error;
  EXPECT_EQ(page_content(d, 3), kContentA + kContentB + kFakeJpeg);

  // Repeats, missing members, a non-stream member and odd reference forms.
  std::string more =
      "3 0 obj << /Type /Page /Contents [4 0 R 9 0 R 5 0 R 4 0 R 3 0 R 5 R 0 0 R] >>"
      " endobj\n" +
      stream(4, "/Filter /FlateDecode", kHelloThenError) + stream(5, "", "world");
  loaded_doc r(simple_pdf("3 0 R", more));
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(page_content(r, 3), "hello worldhello world");
  EXPECT_EQ(page_content(r, 4), "<none>");  // no /Contents
}

TEST(PageContent, SingleUnfilteredStreamIsACopy) {
  std::string more = "3 0 obj << /Type /Page /Contents 4 0 R >> endobj\n" + stream(4, "", "q Q");
  loaded_doc d(simple_pdf("3 0 R", more));
  ASSERT_TRUE(d.ok) << d.error;
  uint8_t* bytes = nullptr;
  int32_t length = 0;
  ASSERT_EQ(get_page_content(d.doc.data, d.doc.len, &d.doc.objects, d.find(3), &bytes, &length), 1);
  EXPECT_EQ(text(bytes, length), "q Q");
  EXPECT_TRUE(bytes < d.doc.data || bytes >= d.doc.data + d.doc.len);
  free(bytes);  // the caller may always release it
}

TEST(PageContent, NothingUsable) {
  std::string more =
      "3 0 obj << /Type /Page /Contents [9 0 R 3 0 R] >> endobj\n"
      "4 0 obj << /Contents /Name >> endobj\n"
      "5 0 obj << /Contents 9 0 R >> endobj\n"
      "6 0 obj << /Contents [] >> endobj\n"
      "7 0 obj << /Contents < > >> endobj\n";
  loaded_doc d(simple_pdf("3 0 R", more));
  ASSERT_TRUE(d.ok) << d.error;
  for (int32_t num : {3, 4, 5, 6, 7}) {
    int rc = -1;
    EXPECT_EQ(page_content(d, num, &rc), "<none>") << num;
    EXPECT_EQ(rc, 0) << num;
  }
}

TEST(PageContent, InlineStreams) {
  std::string more =
      "3 0 obj << /Type /Page /Contents << /Length 5 >> stream\nq 1 Q\nendstream >> endobj\n"
      "4 0 obj << /Contents << /Length 8 0 R >> stream\r\nabcdef endstream >> endobj\n"
      "5 0 obj << /Contents << /Length 9 0 R >> stream\nabc endstream >> endobj\n"
      "6 0 obj << /Contents << /Length 10 0 R >> stream\nabc endstream >> endobj\n"
      "7 0 obj << /Contents << /Length 500 >> stream\nabc endstream >> endobj\n"
      "8 0 obj 4 endobj\n" +
      stream(10, "", "xy") +
      "11 0 obj << /Contents << /Length 1 >> >> endobj\n"
      "12 0 obj << /Contents << /Length 0 >> stream\nendstream >> endobj\n";
  loaded_doc d(simple_pdf("3 0 R", more));
  ASSERT_TRUE(d.ok) << d.error;
  EXPECT_EQ(page_content(d, 3), "q 1 Q");
  EXPECT_EQ(page_content(d, 4), "abcd");     // indirect length; CR LF after the keyword
  EXPECT_EQ(page_content(d, 5), "<none>");   // the length's object is missing
  EXPECT_EQ(page_content(d, 6), "<none>");   // ... or a stream
  EXPECT_EQ(page_content(d, 7), "<none>");   // data past the object
  EXPECT_EQ(page_content(d, 11), "<none>");  // no "stream" keyword
  int rc = 0;
  EXPECT_EQ(page_content(d, 12, &rc), "");
  EXPECT_EQ(rc, 1);
}

// ---------------------------------------------------------------------------
// Resources

static std::string page_res(const loaded_doc& d, int32_t index) {
  return owned(pdfcore_page_resources(&d.doc, index));
}
static std::string obj_res(const loaded_doc& d, int32_t num) {
  return owned(pdfcore_obj_resources(&d.doc, num));
}

TEST(Resources, InlineIndirectAndInherited) {
  loaded_doc d(
      "1 0 obj << /Type /Catalog /Pages 2 0 R >> endobj\n"
      "2 0 obj << /Type /Pages /Kids [3 0 R 4 0 R 5 0 R] /Resources << /Font << /F1 9 0 R >> >> "
      ">> endobj\n"
      "3 0 obj << /Type /Page /Parent 2 0 R >> endobj\n"
      "4 0 obj << /Type /Page /Parent 2 0 R /Resources 6 0 R >> endobj\n"
      "5 0 obj << /Type /Page /Parent 2 0 R /Resources << /A (x>>y) /B 1 >> >> endobj\n"
      "6 0 obj <</XObject<</Im1 7 0 R>>>> endobj\n");
  ASSERT_TRUE(d.ok) << d.error;
  const std::string parent = "<< /Font << /F1 9 0 R >> >>";
  EXPECT_EQ(page_res(d, 0), parent);
  EXPECT_EQ(obj_res(d, 3), "<null>");  // no inheritance
  EXPECT_EQ(obj_res(d, 2), parent);
  EXPECT_EQ(page_res(d, 1), "<</XObject<</Im1 7 0 R>>>>");
  EXPECT_EQ(page_res(d, 2), "<< /A (x>>y) /B 1 >>");  // not cut inside the string
  EXPECT_EQ(page_res(d, -1), "<null>");
  EXPECT_EQ(page_res(d, 3), "<null>");
}

TEST(Resources, FromAnObjectStream) {
  std::string members = "junk << /Font << /F1 8 0 R >> >>";
  std::string header = "20 0 ";
  std::string data = header + members;
  loaded_doc d(simple_pdf("3 0 R",
                          "3 0 obj << /Type /Page /Resources 20 0 R >> endobj\n"
                          "10 0 obj << /Type /ObjStm /N 1 /First 5 /Length " +
                              std::to_string(data.size()) + " >> stream\n" + data +
                              "\nendstream endobj\n"));
  ASSERT_TRUE(d.ok) << d.error;
  ASSERT_NE(d.find(20), nullptr);
  EXPECT_EQ(page_res(d, 0), "<< /Font << /F1 8 0 R >> >>");
  EXPECT_EQ(owned(obj_dict_text(&d.doc, 20)), "<< /Font << /F1 8 0 R >> >>");
}

TEST(Resources, ValuesThatGiveNothing) {
  std::string more =
      "3 0 obj << /Type /Page /Resources < /A 1 > >> endobj\n"
      "4 0 obj << /Resources /Name >> endobj\n"
      "5 0 obj << /Resources 99 0 R >> endobj\n"
      "6 0 obj << /Resources 7 0 R >> endobj\n"
      "7 0 obj [1 2] endobj\n"
      "8 0 obj << /Resources 0 0 R >> endobj\n";
  loaded_doc d(simple_pdf("3 0 R", more));
  ASSERT_TRUE(d.ok) << d.error;
  for (int32_t num : {3, 4, 5, 6, 8}) EXPECT_EQ(obj_res(d, num), "<null>") << num;
  EXPECT_EQ(obj_res(d, 99), "<null>");
}

TEST(Resources, WindowStartsAfterThePreviousObject) {
  // Object 4's /Resources lies before object 5's window.
  std::string more =
      "3 0 obj << /Type /Page >> endobj\n"
      "4 0 obj << /Resources << /A 1 >> >> endobj 5 0 obj << /B 2 >> endobj\n";
  loaded_doc d(simple_pdf("3 0 R", more));
  ASSERT_TRUE(d.ok) << d.error;
  EXPECT_EQ(obj_res(d, 4), "<< /A 1 >>");
  EXPECT_EQ(obj_res(d, 5), "<null>");
}

// A page whose /Parent chain climbs through `steps` nodes, only the last of
// which has /Resources.
static std::string parent_chain(int steps) {
  std::string s =
      "1 0 obj << /Type /Catalog /Pages 2 0 R >> endobj\n"
      "2 0 obj << /Type /Pages /Kids [3 0 R] >> endobj\n"
      "3 0 obj << /Type /Page /Parent 100 0 R >> endobj\n";
  for (int i = 0; i < steps; i++) {
    std::string tail =
        i + 1 < steps ? "/Parent " + std::to_string(101 + i) + " 0 R" : "/Resources << /Top 1 >>";
    s += std::to_string(100 + i) + " 0 obj << /Type /Pages " + tail + " >> endobj\n";
  }
  return s;
}

TEST(Resources, ParentStepsAreBounded) {
  const int limit = pdfcore_limits::kMaxResourceParentSteps;
  loaded_doc reach(parent_chain(limit));
  ASSERT_TRUE(reach.ok) << reach.error;
  EXPECT_EQ(page_res(reach, 0), "<< /Top 1 >>");
  loaded_doc beyond(parent_chain(limit + 1));
  ASSERT_TRUE(beyond.ok) << beyond.error;
  EXPECT_EQ(page_res(beyond, 0), "<null>");
  // A page that is its own parent.
  loaded_doc loop(simple_pdf("3 0 R", "3 0 obj << /Type /Page /Parent 3 0 R >> endobj\n"));
  ASSERT_TRUE(loop.ok) << loop.error;
  EXPECT_EQ(page_res(loop, 0), "<null>");
}

// ---------------------------------------------------------------------------
// Hostile input

TEST(HostileContent, RepeatedListingsDecodeOnce) {
  // Object 6 inflates past the ceiling and is listed a thousand times: one
  // failed decode, not a thousand, then the small stream after it.
  loaded_doc d(fixture("flate_ceiling.pdf"));
  ASSERT_TRUE(d.ok) << d.error;
  EXPECT_EQ(page_content(d, 3), kContentA);

  // Many listings of one small stream and of missing objects.
  std::string list;
  for (int i = 0; i < 200000; i++) list += i % 2 ? "4 0 R " : "9 0 R ";
  loaded_doc m(simple_pdf("3 0 R", "3 0 obj << /Type /Page /Contents [" + list + "] >> endobj\n" +
                                       stream(4, "", "ab")));
  ASSERT_TRUE(m.ok) << m.error;
  std::string joined = page_content(m, 3);
  EXPECT_EQ(joined.size(), 200000u);
  EXPECT_EQ(joined.substr(0, 6), "ababab");
}

TEST(HostileContent, MutationSweepNeverCrashes) {
  std::string pdf = simple_pdf(
      "3 0 R",
      "3 0 obj << /Type /Page /Parent 2 0 R /Resources << /A (>>) >> /Contents [4 0 R 5 0 R] >> "
      "endobj\n" +
          stream(4, "/Filter /FlateDecode", kHelloThenError) +
          stream(5, "/Filter [/ASCII85Decode]", "9jqo^z9jn~>") +
          "6 0 obj << /Contents << /Length 2 >> stream\nab endstream >> endobj\n");
  test_util::mutation_sweep(pdf, [](const std::string& m) {
    loaded_doc d(m);
    if (!d.ok) return;
    free(pdfcore_page_resources(&d.doc, 0));
    for (int32_t i = 0; i < d.doc.objects.count; i++) {
      const obj_entry* e = &d.doc.objects.items[i];
      free(pdfcore_obj_resources(&d.doc, e->num));
      uint8_t* bytes = nullptr;
      int32_t n = 0;
      if (get_page_content(d.doc.data, d.doc.len, &d.doc.objects, e, &bytes, &n)) free(bytes);
      free(page_stream_decode(&d.doc, e, &n));
      buf b = {};
      decoded_stream(e, d.doc.data, d.doc.len, &b, &n);
      buf_free(&b);
    }
  });
}
