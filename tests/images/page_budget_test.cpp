// What bounds the work and the memory of one page: forms that invoke
// themselves run once per chain, the operator and fill budgets skip the rest
// of a page once spent, and the page memory account refuses decodes that
// would pass it and balances back to its limit after a page.
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "compression/compression.h"
#include "fonts/fonts.h"
#include "images/image_test_util.h"
#include "interp/interp_internal.h"
#include "pdfcore/pdfcore.h"

using image_test::image_obj;
using image_test::page_doc;
using image_test::rendered;
using image_test::stream_obj;

namespace {

std::string form_obj(int num, const std::string& content) {
  return stream_obj(num, "/Type /XObject /Subtype /Form /BBox [0 0 100 100]", content);
}

const char* kForms = "/XObject << /F1 11 0 R /F2 12 0 R /Im 10 0 R >>";

struct fill_counter {
  int fills = 0;
  static void hook(void* u, const char* kw, int32_t len, const operand*, int32_t) {
    if (len == 1 && kw[0] == 'f') static_cast<fill_counter*>(u)->fills++;
  }
};

int fills_of(const std::string& pdf) {
  fill_counter c;
  interp_set_operator_hook(&fill_counter::hook, &c);
  { rendered r(pdf); }
  interp_set_operator_hook(nullptr, nullptr);
  return c.fills;
}

// A context over the document's first page, with its resources and the
// caller's budgets.
struct budget_page {
  test_util::loaded_doc d;
  canvas cv;
  interp ctx;
  page_work work;
  char* resources = nullptr;
  explicit budget_page(const std::string& pdf) : d(pdf) {
    EXPECT_TRUE(d.ok) << d.error;
    EXPECT_EQ(canvas_init(&cv, 100, 100), 1);
    memset(&ctx, 0, sizeof ctx);
    page_work_init(&work);
    resources = pdfcore_page_resources(&d.doc, 0);
    ctx.doc = &d.doc;
    ctx.canvas = &cv;
    ctx.page = &d.doc.pages.items[0];
    ctx.page_resources = ctx.resources = resources;
    ctx.resources_len = resources ? (int32_t)strlen(resources) : 0;
    ctx.ctm[0] = {1, 0, 0, 1, 0, 0};
    ctx.depth = 1;
    ctx.fill = {1, {0, 0, 0, 0}};
    ctx.stroke = {1, {0, 0, 0, 0}};
    ctx.work = &work;
  }
  ~budget_page() {
    interp_release(&ctx);
    page_work_release(&work);
    free(resources);
    canvas_free(&cv);
  }
  int run(const std::string& content) {
    fill_counter c;
    interp_set_operator_hook(&fill_counter::hook, &c);
    interp_execute(&ctx, (const uint8_t*)content.data(), (int32_t)content.size());
    interp_set_operator_hook(nullptr, nullptr);
    return c.fills;
  }
  bool painted(int x, int y) const {
    uint8_t c[3];
    canvas_colour(&cv, (size_t)y * 100 + x, c);
    return c[0] != 255;
  }
};

std::string repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; i++) out += s;
  return out;
}

}  // namespace

TEST(PageBudget, FormsOnTheRunningChainAreNotEnteredAgain) {
  const std::string sq = " 0 0 10 10 re f";
  // Itself twice: one run. Each other twice: F1, then F2 twice (each one
  // skipping F1, which is running).
  EXPECT_EQ(fills_of(page_doc("/F1 Do", kForms, form_obj(11, "/F1 Do /F1 Do" + sq))), 1);
  EXPECT_EQ(
      fills_of(page_doc("/F1 Do", kForms,
                        form_obj(11, "/F2 Do /F2 Do" + sq) + form_obj(12, "/F1 Do /F1 Do" + sq))),
      3);
  // A form that is not running may be drawn again: the same form twice in
  // a row draws twice.
  EXPECT_EQ(fills_of(page_doc("/F1 Do /F1 Do", kForms, form_obj(11, sq))), 2);
}

TEST(PageBudget, SpentBudgetsSkipTheRestOfThePage) {
  const std::string doc = page_doc("", kForms, form_obj(11, "0 0 1 1 re f"));
  const std::string tail = " 0 0 1 rg 90 90 5 5 re f";
  {
    // Each Do costs one operator and its form two: 50 operators allow 16
    // forms and the first operator of the 17th; nothing after runs.
    budget_page p(doc);
    p.work.operators_left = 50;
    EXPECT_EQ(p.run(repeat("/F1 Do ", 100) + tail), 16);
    EXPECT_TRUE(p.work.exhausted);
    EXPECT_FALSE(p.painted(92, 7));
  }
  {
    budget_page p(doc);
    p.work.form_runs_left = 3;
    EXPECT_EQ(p.run(repeat("/F1 Do ", 10) + tail), 3);
    EXPECT_FALSE(p.painted(92, 7));
  }
  {
    // A fill that would pass the fill work is not drawn, and ends the page.
    budget_page p(doc);
    p.cv.fill_work_left = 150;
    p.run("0 0 100 100 re f" + tail);
    EXPECT_EQ(p.cv.fill_work_left, -1);
    EXPECT_TRUE(p.work.exhausted);
    EXPECT_FALSE(p.painted(50, 50));
    EXPECT_FALSE(p.painted(92, 7));
  }
  {
    // TrueType outlines read for the page count against it too.
    load_font_files();
    budget_page p(page_doc("", std::string(kForms) + " /Font << /H 13 0 R >>",
                           "13 0 obj\n<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>\n"
                           "endobj\n"));
    p.work.outline_work_left = 10;
    p.run("BT /H 12 Tf 10 10 Td (HH) Tj ET" + tail);
    EXPECT_TRUE(p.work.exhausted);
    EXPECT_FALSE(p.painted(92, 7));
  }
  {
    // Within budget nothing changes.
    budget_page p(doc);
    p.run("0 0 100 100 re f" + tail);
    EXPECT_FALSE(p.work.exhausted);
    EXPECT_EQ(p.cv.fill_work_left, kMaxFillCrossingsPerRow * 100 - 210);  // 100 + 5 rows, 2 edges
    EXPECT_TRUE(p.painted(92, 7));
  }
}

TEST(PageMemory, DecodesPastTheAccountAreRefusedAndTheAccountBalances) {
  // A 1000 x 1000 RGB image (4 MB decoded) and a content stream of 8 MiB of
  // spaces in a few kilobytes of Flate data.
  std::string samples(3000000, '\x80');
  std::string pdf = page_doc("q 100 0 0 100 0 0 cm /Im Do Q", kForms,
                             image_obj(10,
                                       "/Width 1000 /Height 1000 /BitsPerComponent 8 "
                                       "/ColorSpace /DeviceRGB",
                                       samples) +
                                 form_obj(11, "0 0 1 1 re f"));
  test_util::loaded_doc d(pdf);
  ASSERT_TRUE(d.ok) << d.error;
  const obj_entry* im = d.find(10);
  ASSERT_NE(im, nullptr);

  page_memory_begin(1 << 20, INT64_MAX);
  int32_t w = 0, h = 0;
  uint8_t* mask = nullptr;
  EXPECT_EQ(decode_image(&d.doc, im, &w, &h, &mask), nullptr);  // 3 MB of samples alone
  int32_t n = 0;
  EXPECT_EQ(page_stream_decode(&d.doc, im, &n), nullptr);
  EXPECT_EQ(page_memory_left(), 1 << 20);
  page_memory_end();
  EXPECT_EQ(page_memory_left(), INT64_MAX);

  uint8_t* px = decode_image(&d.doc, im, &w, &h, &mask);
  ASSERT_NE(px, nullptr);
  free(px);
  free(mask);

  // Rendering within an account: everything taken (the cached image, the
  // form's content, fonts) is given back when the page's state is released.
  const int64_t limit = 64 << 20;
  page_memory_begin(limit, INT64_MAX);
  {
    // Drawn once, the image stays cached as its 3 MB of samples; drawn
    // again, it is converted once and kept as 4 MB of RGBA instead.
    budget_page p(pdf);
    p.run("q 100 0 0 100 0 0 cm /Im Do Q");
    EXPECT_TRUE(p.painted(50, 50));
    EXPECT_EQ(page_memory_left(), limit - 3000000);
    p.run("q 100 0 0 100 0 0 cm /Im Do Q /F1 Do BT /Helv 12 Tf (x) Tj ET");
    EXPECT_LE(page_memory_left(), limit - 4000000);
    EXPECT_GT(page_memory_left(), limit - 4100000);
  }
  EXPECT_EQ(page_memory_left(), limit);
  // An account too small for the RGBA keeps drawing from the samples.
  page_memory_begin(3500000, INT64_MAX);
  {
    budget_page p(pdf);
    p.run("q 100 0 0 100 0 0 cm /Im Do /Im Do Q");
    EXPECT_TRUE(p.painted(50, 50));
    EXPECT_EQ(page_memory_left(), 3500000 - 3000000);
  }
  EXPECT_EQ(page_memory_left(), 3500000);

  // A path the account cannot hold is dropped and ends the page: 100,000
  // segments need more than 4 MiB.
  page_memory_begin(4 << 20, INT64_MAX);
  {
    budget_page p(pdf);
    EXPECT_EQ(p.run("0 0 m " + repeat("1 1 l 0 0 l ", 50000) + "f 0 0 10 10 re f"), 0);
    EXPECT_TRUE(p.work.exhausted);
    EXPECT_FALSE(p.painted(5, 95));
  }
  EXPECT_EQ(page_memory_left(), 4 << 20);
  page_memory_end();
}

TEST(PageMemory, DecodeBudgetCountsEveryUseAndFailedAttempt) {
  // Object 10: 3,000 raw bytes. Object 11: 100 KiB of zeros in Flate data.
  std::string plain(102400, '\0');
  uint8_t* packed = nullptr;
  uint64_t packed_len = 0;
  ASSERT_EQ(qx_deflate((const uint8_t*)plain.data(), plain.size(), &packed, &packed_len), 0);
  std::string zeros((const char*)packed, (size_t)packed_len);
  free(packed);
  std::string pdf = page_doc(
      "", "",
      stream_obj(10, "", std::string(3000, 'x')) + stream_obj(11, "/Filter /FlateDecode", zeros));
  test_util::loaded_doc d(pdf);
  ASSERT_TRUE(d.ok) << d.error;
  int32_t n = 0;
  page_memory_begin(INT64_MAX, 10000);
  uint8_t* raw = page_stream_decode(&d.doc, d.find(10), &n);
  EXPECT_NE(raw, nullptr);  // a copy counts its length
  free(raw);
  EXPECT_EQ(page_decode_left(), 7000);
  raw = page_stream_decode(&d.doc, d.find(10), &n);
  free(raw);
  EXPECT_EQ(page_decode_left(), 4000);
  // The Flate stream needs more than is left: the attempt fails, what it
  // produced is charged, and nothing more is decoded on this page.
  EXPECT_EQ(page_stream_decode(&d.doc, d.find(11), &n), nullptr);
  EXPECT_EQ(page_decode_left(), 0);
  EXPECT_EQ(page_stream_decode(&d.doc, d.find(10), &n), nullptr);
  page_memory_end();
  uint8_t* all = page_stream_decode(&d.doc, d.find(11), &n);
  ASSERT_NE(all, nullptr);
  EXPECT_EQ(n, 102400);
  free(all);
}

TEST(PageMemory, SharedFontDecodeGivesAndChargesWhatADecodeWould) {
  // Object 11: 100 KiB of text in Flate data, as a font program would be.
  std::string plain;
  for (int i = 0; plain.size() < 102400; i++) plain += "glyph " + std::to_string(i * 7919) + "\n";
  plain.resize(102400);
  uint8_t* packed = nullptr;
  uint64_t packed_len = 0;
  ASSERT_EQ(qx_deflate((const uint8_t*)plain.data(), plain.size(), &packed, &packed_len), 0);
  std::string pdf = page_doc(
      "", "", stream_obj(11, "/Filter /FlateDecode", std::string((const char*)packed, packed_len)));
  free(packed);
  test_util::loaded_doc d(pdf);
  ASSERT_TRUE(d.ok) << d.error;
  const obj_entry* font = d.find(11);
  auto decode = [&](bool shared, int64_t memory, int64_t budget, int64_t* left) {
    int32_t n = -1;
    page_memory_begin(memory, budget);
    uint8_t* p =
        shared ? page_stream_decode_shared(&d.doc, font, &n) : page_stream_decode(&d.doc, font, &n);
    *left = page_decode_left();
    page_memory_end();
    std::string out = p ? std::string((const char*)p, (size_t)n) : "<null>";
    if (p) {
      EXPECT_EQ(p[n], 0);  // the terminator after the bytes, as a decode leaves it
    }
    free(p);
    return out;
  };
  // Pages with room, pages whose memory or budget sets a smaller first
  // attempt, and a budget too small for the stream: the shared decode gives
  // the plain decode's bytes and leaves the same budget, the first time
  // (when it fills the memo) and every time after.
  const int64_t cases[][2] = {{INT64_MAX, INT64_MAX}, {INT64_MAX, 1 << 30}, {200000, INT64_MAX},
                              {INT64_MAX, 150000},    {INT64_MAX, 50000},   {INT64_MAX, 1 << 30}};
  for (const auto& c : cases) {
    int64_t plain_left = 0, shared_left = 0, again_left = 0;
    const std::string want = decode(false, c[0], c[1], &plain_left);
    EXPECT_EQ(decode(true, c[0], c[1], &shared_left), want) << c[0] << " " << c[1];
    EXPECT_EQ(decode(true, c[0], c[1], &again_left), want) << c[0] << " " << c[1];
    EXPECT_EQ(shared_left, plain_left);
    EXPECT_EQ(again_left, plain_left);
    EXPECT_EQ(want == plain, c[1] != 50000);
  }
  // The memo is what serves a page with the first page's room: with the
  // stored stream damaged, the plain decode fails and the shared one still
  // gives the bytes. A page with less room decodes, and fails, itself.
  memset(d.doc.data + font->data_off, 0xff, 16);
  int64_t left = 0;
  EXPECT_EQ(decode(false, INT64_MAX, 1 << 30, &left), "<null>");
  EXPECT_EQ(decode(true, INT64_MAX, 1 << 30, &left), plain);
  EXPECT_EQ(left, (1 << 30) - 102400);
  EXPECT_EQ(decode(true, 200000, INT64_MAX, &left), "<null>");
  // A stream decoded once is only noted, not kept: a one-page document does
  // not hold its fonts twice.
  test_util::loaded_doc once(pdf);
  ASSERT_TRUE(once.ok) << once.error;
  int32_t len = 0;
  free(page_stream_decode_shared(&once.doc, once.find(11), &len));
  EXPECT_EQ(len, 102400);
  memset(once.doc.data + once.find(11)->data_off, 0xff, 16);
  EXPECT_EQ(page_stream_decode_shared(&once.doc, once.find(11), &len), nullptr);
  // A block handed out is the caller's own.
  int32_t n = 0;
  uint8_t* mine = page_stream_decode_shared(&d.doc, font, &n);
  ASSERT_NE(mine, nullptr);
  mine[0] ^= 1;
  free(mine);
  EXPECT_EQ(decode(true, INT64_MAX, INT64_MAX, &left), plain);
}

TEST(PageMemory, StreamedDecodeGivesAndChargesWhatADecodeWould) {
  // Object 11: 100 KiB of text. Object 12: 8 MiB of zeros, more than the
  // first attempt's room, so a decode retries. Object 13: object 12 cut in
  // half, so a decode meets its end after more than the first room. Object
  // 14: raw data; object 15: ASCII85 around Flate.
  std::string text;
  for (int i = 0; text.size() < 102400; i++) text += "line " + std::to_string(i * 7919) + "\n";
  text.resize(102400);
  const std::string zeros = image_test::flate(std::string(8 << 20, '\0'));
  const std::string pdf =
      page_doc("", "",
               stream_obj(11, "/Filter /FlateDecode", image_test::flate(text)) +
                   stream_obj(12, "/Filter /FlateDecode", zeros) +
                   stream_obj(13, "/Filter /FlateDecode", zeros.substr(0, zeros.size() / 2)) +
                   stream_obj(14, "", "raw bytes") +
                   stream_obj(15, "/Filter [/ASCII85Decode /FlateDecode]", "GhQ_~>"));
  test_util::loaded_doc d(pdf);
  ASSERT_TRUE(d.ok) << d.error;
  struct collected {
    std::string bytes;
    bool stop = false;
    static bool take(void* user, const uint8_t* p, uint64_t n) {
      collected* c = static_cast<collected*>(user);
      if (c->stop) return false;
      c->bytes.append((const char*)p, (size_t)n);
      return true;
    }
  };
  for (int num : {11, 12, 13}) {
    const int64_t cases[][2] = {{INT64_MAX, INT64_MAX},
                                {200000, INT64_MAX},
                                {INT64_MAX, 150000},
                                {INT64_MAX, 5000000},
                                {INT64_MAX, 20000000}};
    for (const auto& c : cases) {
      SCOPED_TRACE(std::to_string(num) + ": " + std::to_string(c[0]) + " " + std::to_string(c[1]));
      int32_t n = -1;
      page_memory_begin(c[0], c[1]);
      uint8_t* whole = page_stream_decode(&d.doc, d.find(num), &n);
      const int64_t whole_left = page_decode_left();
      page_memory_end();
      collected got;
      int32_t len = -1;
      page_memory_begin(c[0], c[1]);
      const int rc = page_stream_decode_to(&d.doc, d.find(num), &collected::take, &got, &len);
      EXPECT_EQ(page_decode_left(), whole_left);
      page_memory_end();
      EXPECT_EQ(rc, whole ? 1 : 0);
      if (whole) {
        EXPECT_EQ(len, n);
        EXPECT_TRUE(got.bytes == std::string((const char*)whole, (size_t)n));
        // Decoding again gives the same block and charges nothing.
        page_memory_begin(c[0], c[1]);
        uint8_t* again = page_stream_decode_again(&d.doc, d.find(num), len);
        EXPECT_EQ(page_decode_left(), c[1]);
        page_memory_end();
        ASSERT_NE(again, nullptr);
        EXPECT_EQ(memcmp(again, whole, (size_t)n), 0);
        EXPECT_EQ(again[n], 0);
        free(again);
        EXPECT_EQ(page_stream_decode_again(&d.doc, d.find(num), len + 1), nullptr);
      }
      free(whole);
    }
  }
  // Other filters, and a sink that stops, are left to page_stream_decode:
  // nothing is charged.
  for (int num : {14, 15, 11}) {
    collected got;
    got.stop = num == 11;
    int32_t len = -1;
    page_memory_begin(INT64_MAX, 1 << 20);
    EXPECT_EQ(page_stream_decode_to(&d.doc, d.find(num), &collected::take, &got, &len), -1) << num;
    EXPECT_EQ(page_decode_left(), 1 << 20);
    page_memory_end();
    EXPECT_EQ(len, -1);
  }
}
