// res_value, obj_dict_text and resolve_colorspace read dictionary text as
// written, follow references a bounded number of times, and answer absence
// with -1 or null.
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "pdfcore/pdfcore_internal.h"
#include "support/test_util.h"

using test_util::loaded_doc;
using test_util::simple_pdf;

// ---------------------------------------------------------------------------
// res_value

// "<position>:<kind>" of the value of /key, or "-1".
static std::string value(const std::string& text, const char* key = "XObject") {
  int kind = -5;
  int32_t at = res_value(text.data(), (int32_t)text.size(), key, &kind);
  if (at < 0) {
    EXPECT_EQ(kind, -5);  // untouched
    return std::to_string(at);
  }
  return std::to_string(at) + ":" + std::to_string(kind);
}

TEST(ResValue, Kinds) {
  EXPECT_EQ(value("<< /XObject 12 0 R >>"), "12:0");  // the object number's position
  EXPECT_EQ(value("<< /XObject <</Im1 5 0 R>> >>"), "12:1");
  EXPECT_EQ(value("<< /XObject [1 2] >>"), "12:2");
  EXPECT_EQ(value("/XObject\n12\n0\nR"), "9:0");
  EXPECT_EQ(value("/XObject 12 R"), "9:0");  // no generation
  EXPECT_EQ(value("/XObject 12 0R"), "9:0");
  EXPECT_EQ(value("/Font 7 0 R /XObject 9 0 R", "Font"), "6:0");
  EXPECT_EQ(value("/Font 7 0 R /XObject 9 0 R"), "21:0");
  // A plain search: a nested entry written first is the one found.
  EXPECT_EQ(value("<< /A << /XObject 1 0 R >> /XObject 2 0 R >>"), "18:0");
}

TEST(ResValue, WhatIsNotAValue) {
  EXPECT_EQ(value("/XObject 12 10 R"), "-1");  // the generation is one digit
  EXPECT_EQ(value("/XObject 0 0 R"), "-1");
  EXPECT_EQ(value("/XObject 12 0 obj"), "-1");
  EXPECT_EQ(value("/XObject 12 0"), "-1");
  EXPECT_EQ(value("/XObject 12 0 "), "-1");
  EXPECT_EQ(value("/XObject 12"), "-1");
  EXPECT_EQ(value("/XObject < >"), "-1");
  EXPECT_EQ(value("/XObject <"), "-1");
  EXPECT_EQ(value("/XObject /Name"), "-1");
  EXPECT_EQ(value("/XObject (x)"), "-1");
  EXPECT_EQ(value("/XObject   "), "-1");
  EXPECT_EQ(value("/XObjects 5 0 R"), "-1");  // a longer name
  EXPECT_EQ(value("/Font 5 0 R"), "-1");
  int kind = 0;
  EXPECT_EQ(res_value(nullptr, 10, "XObject", &kind), -1);
}

// ---------------------------------------------------------------------------
// obj_dict_text

static std::string dict_of(const loaded_doc& d, int32_t num) {
  char* s = obj_dict_text(&d.doc, num);
  std::string r = s ? s : "<null>";
  free(s);
  return r;
}

// An unfiltered object stream numbered 50 holding the given members.
static std::string objstm(const std::string& header, const std::string& members, int n) {
  std::string data = header + members;
  return "50 0 obj << /Type /ObjStm /N " + std::to_string(n) + " /First " +
         std::to_string(header.size()) + " /Length " + std::to_string(data.size()) +
         " >> stream\n" + data + "\nendstream endobj\n";
}

TEST(ObjDictText, DirectMembersAndNonDictionaries) {
  std::string more =
      "3 0 obj << /Type /Page >> endobj\n"
      "4 0 obj << /S (a >> b) /D << /E 1 >> >> endobj\n"
      "5 0 obj << /Length 3 >> stream\n<< \nendstream endobj\n"
      "6 0 obj [<< /A 1 >>] endobj\n"
      "7 0 obj << /Open endobj\n" +
      objstm("40 0 41 18 ", "garbage << /M 1 >>  /Name  ", 2);
  loaded_doc d(simple_pdf("3 0 R", more));
  ASSERT_TRUE(d.ok) << d.error;
  EXPECT_EQ(dict_of(d, 4), "<< /S (a >> b) /D << /E 1 >> >>");
  EXPECT_EQ(dict_of(d, 5), "<< /Length 3 >>");  // the stream's dictionary only
  EXPECT_EQ(dict_of(d, 6), "<null>");           // the value is an array
  EXPECT_EQ(dict_of(d, 7), "<null>");           // never closed
  EXPECT_EQ(dict_of(d, 40), "<< /M 1 >>");      // from the member's first '<'
  EXPECT_EQ(dict_of(d, 41), "<null>");
  EXPECT_EQ(dict_of(d, 99), "<null>");
}

// ---------------------------------------------------------------------------
// resolve_colorspace

static std::string family(const pdfcore_doc* doc, const std::string& text, int32_t position = 0,
                          int depth = 0) {
  const char* f = resolve_colorspace(doc, text.data(), (int32_t)text.size(), position, depth);
  return f ? f : "<null>";
}

static const std::string kSpaces =
    "3 0 obj << /Type /Page >> endobj\n"
    "5 0 obj /DeviceGray endobj\n"
    "6 0 obj 5 0 R endobj\n"
    "7 0 obj << /Name /Profile /N 4 /Length 4 >> stream\nICC!\nendstream endobj\n"
    "8 0 obj << /N 1 >> endobj\n"
    "9 0 obj << /N 3 >> endobj\n"
    "10 0 obj << /Alternate /DeviceGray >> endobj\n"
    "11 0 obj [/ICCBased 8 0 R] endobj\n"
    "20 0 obj 21 0 R endobj\n"
    "21 0 obj 22 0 R endobj\n"
    "22 0 obj /DeviceCMYK endobj\n"
    "30 0 obj 31 0 R endobj\n"
    "31 0 obj 32 0 R endobj\n"
    "32 0 obj 33 0 R endobj\n"
    "33 0 obj /DeviceGray endobj\n" +
    objstm("40 0 41 12 ", "/DeviceCMYK [/ICCBased 8 0 R]", 2);

TEST(ColorSpace, Names) {
  const pdfcore_doc* none = nullptr;  // names need no document
  EXPECT_EQ(family(none, "/DeviceGray"), "DeviceGray");
  EXPECT_EQ(family(none, "/DeviceCMYK"), "DeviceCMYK");
  EXPECT_EQ(family(none, "/CalGray"), "DeviceGray");
  EXPECT_EQ(family(none, "/Indexed"), "Indexed");
  EXPECT_EQ(family(none, "/DeviceRGB"), "DeviceRGB");
  EXPECT_EQ(family(none, "/CalRGB"), "DeviceRGB");
  EXPECT_EQ(family(none, "/G"), "DeviceRGB");  // abbreviations are RGB
  EXPECT_EQ(family(none, "/Pattern"), "DeviceRGB");
  EXPECT_EQ(family(none, "/DeviceGrayish"), "DeviceGray");  // compared as prefixes
  EXPECT_EQ(family(none, "/DeviceGra"), "DeviceRGB");       // the text ends too soon
  EXPECT_EQ(family(none, "/ColorSpace /DeviceCMYK >>", 12), "DeviceCMYK");
}

TEST(ColorSpace, Arrays) {
  loaded_doc d(simple_pdf("3 0 R", kSpaces));
  ASSERT_TRUE(d.ok) << d.error;
  const pdfcore_doc* doc = &d.doc;
  // ICCBased follows the profile's /N.
  EXPECT_EQ(family(doc, "[/ICCBased 7 0 R]"), "DeviceCMYK");
  EXPECT_EQ(family(doc, "[ /ICCBased\n8 0 R ]"), "DeviceGray");
  EXPECT_EQ(family(doc, "[/ICCBased 9 0 R]"), "DeviceRGB");
  EXPECT_EQ(family(doc, "[/ICCBased 10 0 R]"), "DeviceRGB");  // no /N
  EXPECT_EQ(family(doc, "[/ICCBased 11 0 R]"), "DeviceRGB");  // not a dictionary
  EXPECT_EQ(family(doc, "[/ICCBased 99 0 R]"), "DeviceRGB");  // missing
  EXPECT_EQ(family(doc, "[/ICCBased /X]"), "DeviceRGB");
  EXPECT_EQ(family(doc, "[/ICCBased"), "DeviceRGB");
  EXPECT_EQ(family(doc, "[/CalGray << /WhitePoint [1 1 1] >>]"), "DeviceGray");
  EXPECT_EQ(family(doc, "[/Indexed /DeviceRGB 1 <FF0000 00FF00>]"), "Indexed");
  EXPECT_EQ(family(doc, "[/Separation /All /DeviceCMYK 5 0 R]"), "DeviceRGB");
  EXPECT_EQ(family(doc, "[/DeviceGray]"), "DeviceRGB");  // a device name in an array
  EXPECT_EQ(family(doc, "[/Lab << >>]"), "DeviceRGB");
  EXPECT_EQ(family(doc, "[/Index"), "DeviceRGB");  // six characters or fewer
  EXPECT_EQ(family(doc, "[ 1 2 ]"), "DeviceRGB");
  EXPECT_EQ(family(doc, "["), "DeviceRGB");
}

TEST(ColorSpace, ReferencesAndTheirLimit) {
  loaded_doc d(simple_pdf("3 0 R", kSpaces));
  ASSERT_TRUE(d.ok) << d.error;
  const pdfcore_doc* doc = &d.doc;
  EXPECT_EQ(family(doc, "5 0 R"), "DeviceGray");   // a name written after "obj"
  EXPECT_EQ(family(doc, "11 0 R"), "DeviceGray");  // an array object
  EXPECT_EQ(family(doc, "40 0 R"), "DeviceCMYK");  // members of an object stream
  EXPECT_EQ(family(doc, "41 0 R"), "DeviceGray");
  // Three references are followed, a fourth is not.
  EXPECT_EQ(family(doc, "6 0 R"), "DeviceGray");
  EXPECT_EQ(family(doc, "20 0 R"), "DeviceCMYK");
  EXPECT_EQ(family(doc, "30 0 R"), "<null>");
  EXPECT_EQ(family(doc, "31 0 R"), "DeviceGray");
  EXPECT_EQ(family(doc, "5 0 R", 0, 2), "DeviceGray");
  EXPECT_EQ(family(doc, "5 0 R", 0, 3), "<null>");
  EXPECT_EQ(family(doc, "8 0 R"), "<null>");  // a dictionary is no colour space
  EXPECT_EQ(family(doc, "99 0 R"), "<null>");
  EXPECT_EQ(family(nullptr, "5 0 R"), "<null>");
}

TEST(ColorSpace, OutsideTheText) {
  loaded_doc d(simple_pdf("3 0 R", kSpaces));
  ASSERT_TRUE(d.ok) << d.error;
  EXPECT_EQ(family(&d.doc, "(DeviceGray)"), "<null>");
  EXPECT_EQ(family(&d.doc, "<< >>"), "<null>");
  EXPECT_EQ(family(&d.doc, "/DeviceGray", -1), "<null>");
  EXPECT_EQ(family(&d.doc, "/DeviceGray", 11), "<null>");
  EXPECT_EQ(resolve_colorspace(&d.doc, nullptr, 5, 0, 0), nullptr);
}
