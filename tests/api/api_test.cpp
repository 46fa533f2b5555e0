// The exported functions that do not render: their results and the single
// message each failure leaves, and which calls empty it.
#include <string>

#include <gtest/gtest.h>

#include "rendrix.h"
#include "support/test_util.h"

static std::string hello() {
  return std::string(RENDRIX_EXAMPLES_DIR) + "/hello.pdf";
}

TEST(ApiPageCount, CountsAndMessages) {
  EXPECT_EQ(rendrix_init(), 1);
  EXPECT_EQ(rendrix_page_count(hello().c_str()), 1);
  EXPECT_STREQ(rendrix_last_error(), "");

  EXPECT_EQ(rendrix_page_count(nullptr), 0);
  EXPECT_STREQ(rendrix_last_error(), "NULL path");
  EXPECT_EQ(rendrix_page_count("/nonexistent/file.pdf"), 0);
  EXPECT_STREQ(rendrix_last_error(), "cannot open /nonexistent/file.pdf");
  std::string text = test_util::write_temp("not_a_pdf.txt", "hello world\n");
  EXPECT_EQ(rendrix_page_count(text.c_str()), 0);
  EXPECT_EQ(std::string(rendrix_last_error()),
            "no PDF objects found \xE2\x80\x94 not a PDF: " + text);
  std::string nopages = test_util::write_temp("nopages.pdf", test_util::simple_pdf("", ""));
  EXPECT_EQ(rendrix_page_count(nopages.c_str()), 0);
  EXPECT_STREQ(rendrix_last_error(), "document has no pages");
}

TEST(ApiMessage, WhoEmptiesIt) {
  rendrix_page_count(nullptr);
  // A successful page count leaves the message as it found it.
  EXPECT_EQ(rendrix_page_count(hello().c_str()), 1);
  EXPECT_STREQ(rendrix_last_error(), "NULL path");
  rendrix_cleanup();
  EXPECT_STREQ(rendrix_last_error(), "");
  rendrix_page_count(nullptr);
  EXPECT_EQ(rendrix_init(), 1);
  EXPECT_EQ(rendrix_init(), 1);  // may be called again
  EXPECT_STREQ(rendrix_last_error(), "");
  EXPECT_NE(rendrix_last_error(), nullptr);
}

TEST(ApiMessage, LongMessagesAreCut) {
  std::string name = "/nonexistent/" + std::string(3000, 'n') + ".pdf";
  EXPECT_EQ(rendrix_page_count(name.c_str()), 0);
  std::string msg = rendrix_last_error();
  EXPECT_EQ(msg.size(), 1023u);
  EXPECT_EQ(msg.substr(0, 25), "cannot open /nonexistent/");
}
