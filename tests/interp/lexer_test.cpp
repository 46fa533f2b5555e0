// The content lexer turns bytes into the operands each operator sees: numbers,
// names, literal and hex strings, skipped dictionaries, comments, and the
// 256-entry stack that starts again from the bottom.
#include <string>

#include <gtest/gtest.h>

#include "interp_test_util.h"

using namespace interp_test;

TEST(LexerTokens, NamesAndStrings) {
  page_ctx p;
  EXPECT_EQ(p.trace("/Name(str)Do"), (calls_t{"Do: /Name (str)"}));
  // Number signs are not decoded: # is stepped over, 20 and B follow.
  EXPECT_EQ(p.trace("/A#20B"), (calls_t{"B: /A 20"}));
  EXPECT_EQ(p.trace("/ x"), (calls_t{"x: /"}));  // an empty name
  EXPECT_EQ(p.trace("(a\\(b\\)c) x (a(b)c) y"), (calls_t{"x: (a(b)c)", "y: (a(b)c)"}));
  // An escaped parenthesis does not count: the first ')' closes the string.
  EXPECT_EQ(p.trace("(a\\(b)c)"), (calls_t{"c: (a(b)"}));
  EXPECT_EQ(p.trace("(\\101\\12) x"), (calls_t{"x: (A\n)"}));
  EXPECT_EQ(p.trace("(\\777\\q\\n\\t) x"), (calls_t{"x: (\xffq\n\t)"}));
  EXPECT_EQ(p.trace("(one\\\r\ntwo\\\nthree) x"), (calls_t{"x: (onetwothree)"}));
  EXPECT_EQ(p.trace("<48 65 6C6C6F> x <901FA> y <4 1> z"),
            (calls_t{"x: (Hello)", "y: (\x90\x1f\xa0)", "z: (\x40\x10)"}));
  EXPECT_EQ(p.trace("<4g1> x"), (calls_t{"x: (@) 1"}));  // g ends the string, consumed
  std::string long_name = "/" + std::string(300, 'n') + " x";
  EXPECT_EQ(p.trace(long_name), (calls_t{"x: /" + std::string(300, 'n')}));
  std::string long_str = "(" + std::string(5000, 's') + ") x";
  EXPECT_EQ(p.trace(long_str), (calls_t{"x: (" + std::string(5000, 's') + ")"}));
  // Unterminated at the end of the data: the operand is pushed, then dropped.
  EXPECT_TRUE(p.trace("(abc").empty());
  EXPECT_EQ(p.trace("(abc\\"), calls_t{});
}

TEST(LexerTokens, Numbers) {
  page_ctx p;
  EXPECT_EQ(p.trace("-.5 3. 1e3 2E-2 +7 x"), (calls_t{"x: -0.5 3 1000 0.02 7"}));
  // A number starting with '.' takes no exponent: "e3" becomes a keyword.
  EXPECT_EQ(p.trace(".5e3"), (calls_t{"e: 0.5"}));
  EXPECT_EQ(p.trace("1e x"), (calls_t{"e: 1", "x:"}));
  EXPECT_EQ(p.trace("- + --5 . x"), (calls_t{"x: -5"}));
  // d0 and d1 are the keyword d and a number left for the next operator.
  EXPECT_EQ(p.trace("0 0 d0 x"), (calls_t{"d: 0 0", "x: 0"}));
  EXPECT_EQ(p.trace("1e999999 x"), (calls_t{"x: inf"}));
}

TEST(LexerTokens, DelimitersDictionariesAndComments) {
  page_ctx p;
  EXPECT_EQ(p.trace("[1 (a)] x"), (calls_t{"x: [ 1 (a)"}));
  EXPECT_EQ(p.trace("<< /A << /B 1 >> >> Do"), (calls_t{"Do: <<>>"}));
  // A ">>" inside a string inside the dictionary ends the group early.
  EXPECT_EQ(p.trace("<< /A (>>) >> x"), (calls_t{"x: <<>>"}));
  EXPECT_EQ(p.trace("1 2 % 3 4 m\n5 x"), (calls_t{"x: 1 2 5"}));
  EXPECT_EQ(p.trace("1%c\r2 x"), (calls_t{"x: 1 2"}));
  EXPECT_EQ(p.trace("} ) > 1 x"), (calls_t{"x: 1"}));
  EXPECT_EQ(p.trace("f* T* ' \" x"), (calls_t{"f*:", "T*:", "':", "\":", "x:"}));
  EXPECT_EQ(p.trace("ab*c"), (calls_t{"ab*:", "c:"}));
}

TEST(LexerStack, RestartsAtTheBottomWhenFull) {
  page_ctx p;
  std::string s;
  for (int i = 1; i <= 300; i++) s += std::to_string(i) + " ";
  auto calls = p.trace(s + "m");
  ASSERT_EQ(calls.size(), 1u);
  std::string expect = "m:";
  for (int i = 257; i <= 300; i++) expect += " " + std::to_string(i);
  EXPECT_EQ(calls[0], expect);
  EXPECT_EQ(p.ctx.path.cur_x, 299);
  EXPECT_EQ(p.ctx.path.cur_y, 300);
  // Every operator clears the stack, known or not.
  EXPECT_EQ(p.trace("1 2 zz 3 x"), (calls_t{"zz: 1 2", "x: 3"}));
}

TEST(LexerStack, MutatedContentNeverCrashes) {
  const std::string content =
      "q 1 0 0 1 10 10 cm 0.5 g 0 0 10 10 re f /N (s\\)t) <41 42> [1 2] << /a 1 >> "
      "0 0 m 5 5 l 1 2 3 4 v 1 2 3 4 y h b* 2 w S Q 1e5 .5 -3 BT /F 12 Tf ET";
  for (size_t i = 0; i < content.size(); i++) {
    for (char c : {'\0', '(', '<', '\\', '%', '[', '/', '9'}) {
      std::string m = content;
      m[i] = c;
      page_ctx p;
      p.run(m);
      p.run(m.substr(0, i));
    }
  }
}
