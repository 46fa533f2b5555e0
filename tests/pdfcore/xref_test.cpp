// The trailer reader follows the startxref chain and takes /Root and
// /Encrypt from classic trailers and cross-reference stream dictionaries.
#include <string>

#include <gtest/gtest.h>

#include "pdfcore/pdfcore_internal.h"
#include "support/test_util.h"

using test_util::bytes;
using test_util::len;

static xref read_xref(const std::string& s) {
  xref x = {7, 7};
  parse_xref(bytes(s), len(s), &x);
  return x;
}

TEST(XrefClassic, LastTrailerWithRootWins) {
  std::string body = "1 0 obj << >> endobj\n";
  size_t at = body.size();
  std::string s = body + "xref\n0 1\n0000000000 65535 f \ntrailer\n<< /Root 1 0 R >>\n" +
                  "startxref\n" + std::to_string(at) + "\n%%EOF\n" +
                  // An incremental update written after the section.
                  "trailer\n<< /Root 5 0 R /Prev 0 >>\nstartxref\n" + std::to_string(at) +
                  "\n%%EOF\n" + "trailer\n<< /Size 3 >>\n";
  xref x = read_xref(s);
  EXPECT_EQ(x.root, 5);
  EXPECT_EQ(x.encrypted, 0);
}

TEST(XrefClassic, TrailerRangeRules) {
  // A negative /Root is passed over for the next one in the same range; the
  // range runs to the next startxref, past the dictionary's own ">>".
  std::string s = "xref\ntrailer\n<< /Root -3 0 R /Root 4 0 R >> /Encrypt 1 0 R\nstartxref\n0\n";
  xref x = read_xref(s);
  EXPECT_EQ(x.root, 4);
  EXPECT_EQ(x.encrypted, 1);
  // A trailer whose range does not open with '<' is not read.
  std::string t = "xref\ntrailer\n/Root 4 0 R\nstartxref\n0\n";
  EXPECT_EQ(read_xref(t).root, -1);
}

TEST(XrefChain, MissingOrBadStartxref) {
  EXPECT_EQ(read_xref("trailer << /Root 3 0 R >>").root, -1);
  EXPECT_EQ(read_xref("xref trailer << /Root 3 0 R >> startxref 9999").root, -1);
  EXPECT_EQ(read_xref("xref trailer << /Root 3 0 R >> startxref -1").root, -1);
  xref x = read_xref("");
  EXPECT_EQ(x.root, -1);
  EXPECT_EQ(x.encrypted, 0);
}

// A cross-reference stream object at the front of s whose dictionary holds
// entries; returns its text.
static std::string xref_stream(int num, const std::string& entries) {
  return std::to_string(num) + " 0 obj\n<< /Type /XRef " + entries +
         " /Length 1 >>\nstream\nx\nendstream\nendobj\n";
}

TEST(XrefStreams, NewestRootWinsAndOlderEncryptCounts) {
  std::string older = xref_stream(9, "/Root 2 0 R /Encrypt 8 0 R");
  std::string newer = xref_stream(10, "/Root 3 0 R /Prev 0");
  std::string s = older + newer;
  s += "startxref\n" + std::to_string(older.size()) + "\n%%EOF\n";
  xref x = read_xref(s);
  EXPECT_EQ(x.root, 3);
  EXPECT_EQ(x.encrypted, 1);
}

TEST(XrefStreams, SelfReferenceStopsAfterThirtyTwoSections) {
  std::string s = xref_stream(9, "/Prev 0 /Size 1");
  s += "startxref\n0\n";
  xref x = read_xref(s);  // must terminate
  EXPECT_EQ(x.root, -1);
}

TEST(XrefStreams, ChainIntoClassicSectionOverridesRoot) {
  std::string classic = "xref\n0 1\ntrailer\n<< /Root 6 0 R >>\n";
  std::string s = classic + "startxref\n0\n";
  size_t at = s.size();
  s += xref_stream(11, "/Root 3 0 R /Prev 0");
  s += "startxref\n" + std::to_string(at) + "\n";
  EXPECT_EQ(read_xref(s).root, 6);
}

TEST(XrefClassic, ManyTrailersBeforeOneStartxrefStayLinear) {
  // Each trailer's range runs to the single startxref at the end; a reader
  // that searched every range in full would be quadratic.
  std::string s = "xref\n";
  for (int i = 0; i < 100000; i++) s += "trailer << /Size 1 >> ";
  s += "trailer << /Root 12 0 R >> startxref\n0\n";
  EXPECT_EQ(read_xref(s).root, 12);
  std::string enc = "xref\ntrailer << /Encrypt 1 0 R >> ";
  for (int i = 0; i < 100000; i++) enc += "trailer << /Size 1 >> ";
  enc += "startxref\n0\n";
  EXPECT_EQ(read_xref(enc).encrypted, 1);
}
