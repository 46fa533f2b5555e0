// Object streams are unpacked into table entries whose text lies inside the
// decoded data; failed decodes cost no memory and bad headers add nothing.
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "compression/compression.h"
#include "pdfcore/pdfcore_internal.h"
#include "support/test_util.h"

using test_util::loaded_doc;
using test_util::read_file;

static std::string fixture(const std::string& name) {
  return read_file(test_util::data_path("pdf/" + name));
}

static std::string payload(const obj_entry* e) {
  return e ? std::string((const char*)e->payload, (size_t)e->payload_len) : "<none>";
}

TEST(ObjStmFlate, MembersBecomeObjects) {
  loaded_doc d(fixture("objstm_basic.pdf"));
  ASSERT_TRUE(d.ok) << d.error;
  ASSERT_EQ(d.doc.pages.count, 2);
  EXPECT_EQ(d.doc.pages.items[1].x1, 300);
  EXPECT_EQ(d.doc.pages.items[1].y1, 400);
  const obj_entry* e = d.find(3);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->in_objstm, 1);
  EXPECT_EQ(e->head_off, -1);
  EXPECT_EQ(d.find(10), nullptr);  // the object stream itself leaves the table
  EXPECT_EQ(d.doc.arena.count, 1);
}

TEST(ObjStmFlate, HighRatioRetriesWithLargerBlocks) {
  // More than 200:1: the first block of 8n + 64 bytes is too small.
  std::string pdf = fixture("objstm_ratio.pdf");
  loaded_doc d(pdf);
  ASSERT_TRUE(d.ok) << d.error;
  EXPECT_EQ(d.doc.pages.count, 1);
  // Only the successful attempt's block is kept.
  EXPECT_EQ(d.doc.arena.count, 1);
}

TEST(ObjStmFlate, TruncatedStreamContributesNothing) {
  loaded_doc d(fixture("objstm_truncated.pdf"));
  ASSERT_TRUE(d.ok) << d.error;
  ASSERT_EQ(d.doc.pages.count, 1);
  EXPECT_EQ(d.doc.pages.items[0].num, 5);
  EXPECT_EQ(d.doc.arena.count, 0);  // no block of a failed attempt stays
}

TEST(ObjStmFlate, DirectDefinitionWinsWherever) {
  loaded_doc d(fixture("objstm_direct_wins.pdf"));
  ASSERT_TRUE(d.ok) << d.error;
  ASSERT_EQ(d.doc.pages.count, 2);
  EXPECT_EQ(d.doc.pages.items[1].x1, 200);
  EXPECT_EQ(d.find(4)->in_objstm, 0);
}

// An unfiltered object stream (its members are read from the raw bytes)
// holding the given header and member text.
static std::string raw_objstm(const std::string& header, const std::string& members, int n,
                              int first = -1) {
  std::string data = header + members;
  if (first < 0) first = (int)header.size();
  return "10 0 obj << /Type /ObjStm /N " + std::to_string(n) + " /First " + std::to_string(first) +
         " /Length " + std::to_string(data.size()) + " >> stream\n" + data + "\nendstream endobj\n";
}

static const std::string kTree =
    test_util::simple_pdf("3 0 R", "3 0 obj << /Type /Page >> endobj\n");

TEST(ObjStmHeader, OffsetsAndNumbersDecideWhatIsAdded) {
  // Offsets 0, 9, 4: the member before the decrease has a negative length.
  loaded_doc dec(kTree + raw_objstm("20 0 21 9 22 4 ", "(twenty)(twentytwo)", 3));
  ASSERT_TRUE(dec.ok) << dec.error;
  EXPECT_EQ(payload(dec.find(20)), "(twenty)(");
  EXPECT_EQ(dec.find(21), nullptr);
  EXPECT_EQ(payload(dec.find(22)), "nty)(twentytwo)");
  // Member numbered 0 is skipped; the rest are kept.
  loaded_doc zero(kTree + raw_objstm("0 0 23 3 ", "(a)(b)", 2));
  ASSERT_TRUE(zero.ok) << zero.error;
  EXPECT_EQ(payload(zero.find(23)), "(b)");
  // /N larger than the header: reading runs into the text and stops there.
  loaded_doc many(kTree + raw_objstm("24 0 25 3 ", "(a)(b)", 3));
  ASSERT_TRUE(many.ok) << many.error;
  EXPECT_EQ(many.find(24), nullptr);
  EXPECT_EQ(many.find(25), nullptr);
  // An offset beyond the decoded data never yields text outside it.
  loaded_doc past(kTree + raw_objstm("26 0 27 500 28 4 ", "(a)(b)", 3));
  ASSERT_TRUE(past.ok) << past.error;
  EXPECT_EQ(past.find(26), nullptr);
  EXPECT_EQ(past.find(27), nullptr);
  EXPECT_EQ(payload(past.find(28)), "b)");
  for (int32_t i = 0; i < past.doc.objects.count; i++) {
    const obj_entry& e = past.doc.objects.items[i];
    if (!e.in_objstm) continue;
    const uint8_t* block = past.doc.arena.blocks[0];
    EXPECT_GE(e.payload, block);
    EXPECT_LE(e.payload + e.payload_len, block + 17 + 6);
  }
  // A bad /First or /N makes the stream contribute nothing.
  loaded_doc first(kTree + raw_objstm("29 0 ", "(a)", 1, 400));
  ASSERT_TRUE(first.ok);
  EXPECT_EQ(first.find(29), nullptr);
  loaded_doc none(kTree + raw_objstm("29 0 ", "(a)", 0));
  ASSERT_TRUE(none.ok);
  EXPECT_EQ(none.find(29), nullptr);
}

TEST(ObjStmHeader, OversizedMemberSkipped) {
  std::string big(1048577, ' ');
  loaded_doc d(kTree + raw_objstm("30 0 31 1048577 ", big + "(small)", 2));
  ASSERT_TRUE(d.ok) << d.error;
  EXPECT_EQ(d.find(30), nullptr);
  EXPECT_EQ(payload(d.find(31)), "(small)");
}

// Decoded object-stream data stay while the document is open, so a document
// keeps at most its total of them: five streams inflating to 300,000 bytes
// each under a 1,000,000-byte total keep the first three, and the members of
// the others are not found.
TEST(ObjStmFlate, DocumentKeepsAtMostItsTotalOfDecodedData) {
  std::string pdf =
      "%PDF-1.5\n1 0 obj << /Type /Catalog /Pages 2 0 R >> endobj\n"
      "2 0 obj << /Type /Pages /Kids [3 0 R] /Count 1 >> endobj\n"
      "3 0 obj << /Type /Page /Parent 2 0 R /MediaBox [0 0 10 10] >> endobj\n";
  for (int k = 0; k < 5; k++) {
    std::string header = std::to_string(100 + k) + " 0 ";
    std::string decoded = header + "<< /K " + std::to_string(k) + " >>";
    decoded.resize(300000, ' ');
    uint8_t* z = nullptr;
    uint64_t zlen = 0;
    ASSERT_EQ(
        qx_deflate(reinterpret_cast<const uint8_t*>(decoded.data()), decoded.size(), &z, &zlen), 0);
    pdf += std::to_string(10 + k) + " 0 obj << /Type /ObjStm /N 1 /First " +
           std::to_string(header.size()) + " /Length " + std::to_string(zlen) +
           " /Filter /FlateDecode >> stream\n" + std::string(reinterpret_cast<char*>(z), zlen) +
           "\nendstream endobj\n";
    free(z);
  }
  pdfcore_doc doc = {};
  doc.xref.root = -1;
  doc.catalog = -1;
  doc.arena.limit = 1000000;
  doc.data = static_cast<uint8_t*>(malloc(pdf.size()));
  ASSERT_NE(doc.data, nullptr);
  memcpy(doc.data, pdf.data(), pdf.size());
  doc.len = static_cast<int32_t>(pdf.size());
  ASSERT_EQ(doc_parse(&doc, "budget.pdf"), 0) << pdfcore_last_error();
  EXPECT_EQ(doc.pages.count, 1);
  EXPECT_EQ(doc.arena.count, 3);
  EXPECT_EQ(doc.arena.kept, 900000u);
  for (int k = 0; k < 5; k++)
    EXPECT_EQ(obj_find(&doc.objects, 100 + k) != nullptr, k < 3) << "member " << 100 + k;
  pdfcore_doc_free(&doc);
}
