// The graphics-state, path, painting, clipping, line-width and colour
// operators change the context and the canvas as the content asks.
#include <string>

#include <gtest/gtest.h>

#include "interp_test_util.h"
#include "support/canvas_pixels.h"

using namespace interp_test;

TEST(TransformStack, DepthLimitsAndCm) {
  page_ctx p;
  p.run("1 0 0 1 50 50 cm");
  EXPECT_EQ(p.ctm().e, 50);
  p.run("1 0 0 1 50 cm");  // five operands: nothing
  EXPECT_EQ(p.ctm().e, 50);
  p.run("2 0 0 2 0 0 cm 1 0 0 1 5 0 cm");  // the operand matrix applies first
  EXPECT_EQ(p.ctm().e, 60);
  std::string forty_q, forty_Q;
  for (int i = 0; i < 40; i++) forty_q += "q 1 0 0 1 1 1 cm ";
  for (int i = 0; i < 40; i++) forty_Q += "Q ";
  p.run(forty_q);
  EXPECT_EQ(p.ctx.depth, 32);
  p.run(forty_Q);
  EXPECT_EQ(p.ctx.depth, 1);
  EXPECT_EQ(p.ctm().e, 60);
  EXPECT_EQ(p.ctm().a, 2);
}

TEST(TransformStack, ClipStackIsIndependentOfQ) {
  page_ctx p;
  p.run("q 0 0 10 10 re W n Q");
  EXPECT_EQ(p.cv.clip_x1, 40);
  p.run("0 0 10 10 re W n");
  EXPECT_EQ(p.cv.clip_x1, 11);
  EXPECT_EQ(p.ctx.path.count, 0);  // W n: the clip takes effect, the path is cleared
  p.run("q Q");                    // pops the rectangle saved by that W
  EXPECT_EQ(p.cv.clip_x1, 40);
  p.run("Q Q");  // nothing saved: unchanged
  EXPECT_EQ(p.cv.clip_x1, 40);
  EXPECT_EQ(p.cv.clip_empty, 0);
}

TEST(PathOperators, RectanglesSubpathsAndClosing) {
  page_ctx p;
  p.run("0 0 5 5 re 10 0 5 5 re");
  ASSERT_EQ(p.ctx.path.count, 8);
  EXPECT_EQ(p.ctx.path.segs[4].x0, 10);  // the second square starts at (10, 0)
  EXPECT_EQ(p.ctx.path.cur_x, 10);
  p.run("n 10 10 m 20 20 l 30 10 m 40 20 l");
  ASSERT_EQ(p.ctx.path.count, 2);
  EXPECT_EQ(p.ctx.path.segs[1].x0, 30);  // no segment joins (20,20) to (30,10)
  p.run("n 0 0 m 10 0 l 10 10 l h");
  EXPECT_EQ(p.ctx.path.count, 3);
  p.run("h");  // already at the start: nothing added
  EXPECT_EQ(p.ctx.path.count, 3);
  p.run("n 0 0 m 0 100 100 100 v");
  const path_seg& v = p.ctx.path.segs[0];
  EXPECT_EQ(v.x1, 0);
  EXPECT_EQ(v.y1, 0);
  EXPECT_EQ(v.y2, 100);
  EXPECT_EQ(v.x3, 100);
  p.run("n 0 0 m 0 100 100 100 y");
  const path_seg& y = p.ctx.path.segs[0];
  EXPECT_EQ(y.y1, 100);
  EXPECT_EQ(y.x2, 100);
  EXPECT_EQ(y.y2, 100);
}

TEST(Painting, FillsStrokesAndColours) {
  page_ctx a, b;
  a.run("0.5 g 10 10 10 10 re F");
  b.run("0.5 g 10 10 10 10 re f");
  EXPECT_EQ(a.px(15, 15)[0], 127);
  EXPECT_EQ(test_util::canvas_pixels(a.cv), test_util::canvas_pixels(b.cv));
  EXPECT_EQ(a.ctx.path.count, 0);  // painting clears the path
  // b closes and strokes the closing edge; B leaves it unstroked.
  page_ctx cb, cB;
  cb.run("1 g 0 G 2 2 m 30 2 l 30 30 l b");
  cB.run("1 g 0 G 2 2 m 30 2 l 30 30 l B");
  EXPECT_TRUE(cb.painted(16, 15));  // on the diagonal back to (2, 2)
  EXPECT_FALSE(cB.painted(16, 15) && cB.px(16, 15)[0] == 0);
  // A triangle closed by h fills; without h only the open edge list is
  // filled: one crossing per row, which runs to the right edge of the box.
  page_ctx t1, t2;
  t1.run("0 0 m 30 0 l 30 30 l h f");
  t2.run("0 0 m 30 0 l 30 30 l f");
  EXPECT_TRUE(t1.painted(25, 10));
  EXPECT_FALSE(t2.painted(25, 10));
  EXPECT_TRUE(t2.painted(30, 10));
  // Colours: CMYK, clamping, the r synonym, scn.
  page_ctx c;
  c.run(
      "0 1 1 0 k 0 0 5 5 re f 1.5 g 5 0 5 5 re f -1 0 2 rg 10 0 5 5 re f "
      "0.5 0.5 0.5 r 15 0 5 5 re f /P0 scn 20 0 5 5 re f 0.2 0.4 0.6 scn 25 0 5 5 re f");
  auto rgb = [&](int x) {
    const std::array<uint8_t, 3> q = c.px(x, 2);
    return std::to_string(q[0]) + "," + std::to_string(q[1]) + "," + std::to_string(q[2]);
  };
  EXPECT_EQ(rgb(2), "255,0,0");
  EXPECT_EQ(rgb(7), "255,255,255");
  EXPECT_EQ(rgb(12), "0,0,255");
  EXPECT_EQ(rgb(17), "127,127,127");
  EXPECT_EQ(rgb(22), "0,0,0");
  EXPECT_EQ(rgb(27), "153,153,153");
  // Unsupported colour operators leave the colour alone.
  c.run("1 0 0 rg /CS0 cs 0 1 0 sc 30 0 5 5 re f");
  EXPECT_EQ(rgb(32), "255,0,0");
}

TEST(Painting, LineWidthFloor) {
  page_ctx p;
  p.run("0 w");
  EXPECT_EQ(p.cv.line_width, 0.25);
  p.run("-3 w");
  EXPECT_EQ(p.cv.line_width, 0.25);
  p.run("4 w q 1 w Q");  // not saved by q
  EXPECT_EQ(p.cv.line_width, 1);
  p.run("w");
  EXPECT_EQ(p.cv.line_width, 1);
}

TEST(Nesting, DeepContextsRunNothing) {
  page_ctx p;
  p.ctx.nesting = kMaxInterpNesting + 1;
  p.run("0 0 10 10 re f");
  EXPECT_FALSE(p.painted(5, 5));
  p.ctx.nesting = kMaxInterpNesting;
  p.run("0 0 10 10 re f");
  EXPECT_TRUE(p.painted(5, 5));
}
