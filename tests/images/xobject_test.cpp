// Do for image and Form XObjects and BI ... ID ... EI inline images, rendered
// on a 100 x 100 page: placement, /Matrix entries read as real numbers,
// resources and state a form inherits, self-invoking forms, and malformed use.
#include <string>

#include <gtest/gtest.h>

#include "images/image_test_util.h"

using image_test::image_obj;
using image_test::page_doc;
using image_test::raw;
using image_test::rendered;
using image_test::stream_obj;

namespace {

// Object 10: a 2 x 1 RGB image, red then blue.
std::string image_10(const std::string& extra = "") {
  return image_obj(10, "/Width 2 /Height 1 /BitsPerComponent 8 /ColorSpace /DeviceRGB " + extra,
                   raw({255, 0, 0, 0, 0, 255}));
}

std::string form_obj(int num, const std::string& extra, const std::string& content) {
  return stream_obj(num, "/Type /XObject /Subtype /Form /BBox [0 0 100 100] " + extra, content);
}

const char* kResources = "/XObject << /Im1 10 0 R /F1 11 0 R /F2 12 0 R >>";

}  // namespace

TEST(ImageXObject, UnitSquareUnderCtmAndMatrix) {
  // User box x 10 .. 50, y 30 .. 50: device x 10 .. 50, rows 50 .. 70.
  struct matrix_case {
    const char* matrix;
    const char* cm;
  } cases[] = {
      {"", "40 0 0 20 10 30"},
      {"/Matrix [2 0 0 2 0 0]", "20 0 0 10 10 30"},
      {"/Matrix [0.5 0 0 0.5 0 0]", "80 0 0 40 10 30"},
      {"/Matrix [.5 0 0 .5 0 0]", "80 0 0 40 10 30"},
      {"/Matrix [-1 0 0 1 1 0]", "40 0 0 20 10 30"},  // a mirror: still upright
      {"/Matrix [1 0 0 1 -0.25 0]", "40 0 0 20 20 30"},
      {"/Matrix [1 0 0 1]", "40 0 0 20 10 30"},  // not six numbers: ignored
  };
  for (const matrix_case& c : cases) {
    SCOPED_TRACE(c.matrix);
    rendered r(page_doc("q " + std::string(c.cm) + " cm /Im1 Do Q 0 0 1 rg 90 90 5 5 re f",
                        kResources, image_10(c.matrix)));
    EXPECT_EQ(r.ink_box(), "10 5 95 70");
    EXPECT_EQ(r.rgb(10, 50), "255,0,0");
    EXPECT_EQ(r.rgb(29, 69), "255,0,0");
    EXPECT_EQ(r.rgb(30, 50), "0,0,255");
    EXPECT_EQ(r.rgb(49, 69), "0,0,255");
    EXPECT_EQ(r.rgb(50, 60), "255,255,255");
    EXPECT_EQ(r.rgb(30, 49), "255,255,255");
  }
}

TEST(FormXObject, MatrixResourcesAndInheritedState) {
  struct form_case {
    const char* what;
    std::string page;
    std::string form;
    std::string box;
  } cases[] = {
      {"translation, also under a scaling CTM", "0.5 0 0 0.5 0 0 cm /F1 Do",
       form_obj(11, "/Matrix [1 0 0 1 100 0]", "0 0 20 20 re f"), "50 90 60 100"},
      {"no matrix", "0.5 0 0 0.5 0 0 cm /F1 Do", form_obj(11, "", "0 0 20 20 re f"), "0 90 10 100"},
      {"fractions", "/F1 Do", form_obj(11, "/Matrix [0.5 0 0 0.5 0 0]", "0 0 40 40 re f"),
       "0 80 20 100"},
      {"negative entries", "/F1 Do", form_obj(11, "/Matrix [-1 0 0 1 60 0]", "0 0 20 20 re f"),
       "40 80 60 100"},
      {"the caller's resources", "/F1 Do", form_obj(11, "", "q 20 0 0 20 0 0 cm /Im1 Do Q"),
       "0 80 20 100"},
      {"its own resources first", "/F1 Do",
       form_obj(11, "/Resources << /XObject << >> >>", "q 20 0 0 20 0 0 cm /Im1 Do Q"), "empty"},
      {"a form in a form", "/F1 Do",
       form_obj(11, "/Matrix [1 0 0 1 10 0]", "/F2 Do") +
           form_obj(12, "/Matrix [1 0 0 1 0 -10]", "0 0 10 20 re f"),
       "10 90 20 100"},
  };
  for (const form_case& c : cases) {
    SCOPED_TRACE(c.what);
    rendered r(page_doc(c.page, kResources, image_10() + c.form));
    EXPECT_EQ(r.ink_box(), c.box);
  }

  // The form starts with the caller's colours; what it changes (CTM, fill)
  // stays inside it.
  rendered r(page_doc("0 0 1 rg /F1 Do 30 30 10 10 re f", kResources,
                      form_obj(11, "", "50 0 10 10 re f 1 0 0 rg 2 0 0 2 0 0 cm 30 0 5 5 re f")));
  EXPECT_EQ(r.rgb(55, 95), "0,0,255");
  EXPECT_EQ(r.rgb(65, 95), "255,0,0");
  EXPECT_EQ(r.rgb(35, 65), "0,0,255");
  EXPECT_EQ(r.rgb(65, 35), "255,255,255");
}

TEST(FormXObject, SelfInvokingFormsTerminate) {
  // Each would recurse without end; the nesting bound stops them, and the
  // run count bound stops the fan-out of a form that calls itself four times
  // at every level (4^16 runs otherwise).
  const std::string square = " 0 0 10 10 re f";
  for (const std::string& more :
       {form_obj(11, "", "/F1 Do" + square),
        form_obj(11, "", "/F1 Do /F1 Do /F1 Do /F1 Do" + square),
        form_obj(11, "", "/F2 Do" + square) + form_obj(12, "", "/F1 Do /F2 Do")}) {
    rendered r(page_doc("/F1 Do", kResources, image_10() + more));
    EXPECT_EQ(r.ink_box(), "0 90 10 100");
  }
}

TEST(InlineImage, TwoByTwoRgbAndMalformedUse) {
  const std::string data = raw({255, 0, 0, 0, 255, 0, 0, 0, 255, 10, 20, 30});
  rendered r(page_doc(
      "q 20 0 0 20 10 10 cm BI /W 2 /H 2 /BPC 8 ID\n" + data + " EI Q 0 0 1 rg 50 50 10 10 re f",
      "", ""));
  // Device box x 10 .. 30, rows 70 .. 90; first image row on top.
  EXPECT_EQ(r.rgb(10, 70), "255,0,0");
  EXPECT_EQ(r.rgb(19, 79), "255,0,0");
  EXPECT_EQ(r.rgb(20, 70), "0,255,0");
  EXPECT_EQ(r.rgb(10, 80), "0,0,255");
  EXPECT_EQ(r.rgb(29, 89), "10,20,30");
  EXPECT_EQ(r.rgb(30, 80), "255,255,255");
  EXPECT_EQ(r.rgb(9, 80), "255,255,255");
  EXPECT_EQ(r.rgb(55, 45), "0,0,255");  // the content goes on after EI

  struct inline_case {
    const char* what;
    std::string content;
    std::string box;
  } cases[] = {
      {"without ID the rest of the stream is skipped",
       "0 0 10 10 re f BI /W 2 /H 2 /BPC 8 50 50 10 10 re f", "0 90 10 100"},
      {"the long names are not read",
       "q 20 0 0 20 10 10 cm BI /Width 2 /Height 2 ID\n" + data + " EI Q 0 0 10 10 re f",
       "0 90 10 100"},
      {"no data", "q 20 0 0 20 10 10 cm BI /W 1 /H 1 ID\nEI Q 0 0 10 10 re f", "0 90 10 100"},
      {"fractional sizes are truncated",
       "q 20 0 0 20 0 0 cm BI /W 1.9 /H 1.2 /BPC 8.5 ID\n" + raw({0, 0, 0}) + " EI Q",
       "0 80 20 100"},
      {"no EI: the data run to the end",
       "0 0 10 10 re f q 20 0 0 20 50 50 cm BI /W 1 /H 1 ID\n" + raw({0, 0, 0}), "0 30 70 100"},
  };
  for (const inline_case& c : cases) {
    SCOPED_TRACE(c.what);
    rendered q(page_doc(c.content, "", ""));
    EXPECT_EQ(q.ink_box(), c.box);
  }
}

TEST(DoOperator, NothingWithoutAUsableXObject) {
  const std::string drawn = " 0 0 10 10 re f";
  struct do_case {
    const char* what;
    std::string content;
    std::string resources;
    std::string objects;
  } cases[] = {
      {"XObject as an array", "q 50 0 0 50 0 0 cm /Im1 Do Q", "/XObject [10 0 R]", image_10()},
      {"a number operand", "q 50 0 0 50 0 0 cm 10 Do Q", kResources, image_10()},
      {"an unknown name", "q 50 0 0 50 0 0 cm /Im9 Do Q", kResources, image_10()},
      {"a missing object", "q 50 0 0 50 0 0 cm /F2 Do Q", kResources, image_10()},
      {"neither image nor form", "q 50 0 0 50 0 0 cm /F1 Do Q", kResources,
       stream_obj(11, "/Type /XObject /Subtype /PS", "0 0 1 1 re f")},
      {"no resources", "q 50 0 0 50 0 0 cm /Im1 Do Q", "", image_10()},
  };
  for (const do_case& c : cases) {
    SCOPED_TRACE(c.what);
    rendered r(page_doc(c.content + drawn, c.resources, c.objects));
    EXPECT_EQ(r.ink_box(), "0 90 10 100");
  }
  // XObject given by reference to its dictionary.
  rendered r(page_doc("q 50 0 0 50 0 0 cm /Im1 Do Q", "/XObject 13 0 R",
                      image_10() + "13 0 obj\n<< /Im1 10 0 R >>\nendobj\n"));
  EXPECT_EQ(r.ink_box(), "0 50 50 100");
}
