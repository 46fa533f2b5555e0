// Sample conversion of decoded images: every depth and colour space, the
// 1-bit Decode array, row padding, Indexed palettes and the size limits.
#include <string>

#include <gtest/gtest.h>

#include "images/image_test_util.h"

using image_test::decode;
using image_test::decoded;
using image_test::image_doc;
using image_test::raw;

namespace {

struct conversion_case {
  const char* what;
  std::string dict;
  std::string data;
  std::string expect;  // every pixel, "r,g,b" separated by spaces
};

void check_cases(const std::vector<conversion_case>& cases) {
  for (const conversion_case& c : cases) {
    SCOPED_TRACE(c.what);
    decoded d = decode(image_doc(c.dict, c.data));
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.all(), c.expect);
    EXPECT_FALSE(d.has_mask);
  }
}

}  // namespace

TEST(ImageDecode, SixteenBitSamples) {
  const std::string two = "/Width 2 /Height 1 /BitsPerComponent 16 ";
  check_cases({
      {"RGB: 0x8000 gives 127", two + "/ColorSpace /DeviceRGB",
       raw({0, 0, 0x80, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 1}), "0,127,255 255,0,0"},
      {"RGB pixel whose last byte is missing: white", two + "/ColorSpace /DeviceRGB",
       raw({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), "0,0,0 255,255,255"},
      {"gray", two + "/ColorSpace /DeviceGray", raw({0x80, 0x00, 0x00, 0xFF}), "127,127,127 0,0,0"},
      {"gray, short", two + "/ColorSpace /DeviceGray", raw({0x40, 0x00, 0x00}),
       "63,63,63 255,255,255"},
      {"CMYK is white", two + "/ColorSpace /DeviceCMYK", std::string(16, '\0'),
       "255,255,255 255,255,255"},
      {"Indexed is white", two + "/ColorSpace [/Indexed /DeviceRGB 0 <000000>]",
       std::string(4, '\0'), "255,255,255 255,255,255"},
      {"no colour space is white", two, std::string(4, '\0'), "255,255,255 255,255,255"},
  });
}

TEST(ImageDecode, EightBitSamples) {
  const std::string two = "/Width 2 /Height 1 /BitsPerComponent 8 ";
  check_cases({
      {"RGB", two + "/ColorSpace /DeviceRGB", raw({1, 2, 3, 250, 128, 0}), "1,2,3 250,128,0"},
      {"RGB past the data reads zero", two + "/ColorSpace /DeviceRGB", raw({9, 8, 7, 6}),
       "9,8,7 6,0,0"},
      {"CMYK", two + "/ColorSpace /DeviceCMYK", raw({255, 0, 0, 0, 0, 0, 0, 128}),
       "0,255,255 127,127,127"},
      {"gray", two + "/ColorSpace /DeviceGray", raw({0, 200}), "0,0,0 200,200,200"},
      {"no BitsPerComponent means 8", "/Width 2 /Height 1 /ColorSpace /DeviceGray", raw({7, 77}),
       "7,7,7 77,77,77"},
      {"no colour space, 3 x W x H bytes: RGB", two, raw({1, 2, 3, 4, 5, 6}), "1,2,3 4,5,6"},
      {"no colour space, W x H bytes: gray", two, raw({10, 20}), "10,10,10 20,20,20"},
      {"no colour space, other length: white", two, raw({10, 20, 30}), "255,255,255 255,255,255"},
      {"CalRGB counts as RGB", two + "/ColorSpace [/CalRGB << >>]", raw({5, 6, 7, 8, 9, 10}),
       "5,6,7 8,9,10"},
  });
}

TEST(ImageDecode, NarrowSamples) {
  check_cases({
      {"1-bit gray", "/Width 3 /Height 1 /BitsPerComponent 1 /ColorSpace /DeviceGray", raw({0xA0}),
       "255,255,255 0,0,0 255,255,255"},
      {"1-bit CMYK is black", "/Width 2 /Height 1 /BitsPerComponent 1 /ColorSpace /DeviceCMYK",
       raw({0xC0}), "0,0,0 0,0,0"},
      {"1-bit RGB reads the bit as gray",
       "/Width 2 /Height 1 /BitsPerComponent 1 /ColorSpace /DeviceRGB", raw({0x40}),
       "0,0,0 255,255,255"},
      {"2-bit", "/Width 4 /Height 1 /BitsPerComponent 2 /ColorSpace /DeviceRGB", raw({0x1B}),
       "0,0,0 85,85,85 170,170,170 255,255,255"},
      {"4-bit Indexed shows its indices as gray",
       "/Width 3 /Height 1 /BitsPerComponent 4 /ColorSpace [/Indexed /DeviceRGB 15 <FF0000>]",
       raw({0x0F, 0x10}), "0,0,0 255,255,255 17,17,17"},
  });

  // Width 10 at 1 bit: each row takes two bytes and the last six bits of
  // the second are never read.
  decoded d = decode(image_doc("/Width 10 /Height 2 /BitsPerComponent 1 /ColorSpace /DeviceGray",
                               raw({0xFF, 0xFF, 0x80, 0x3F})));
  ASSERT_TRUE(d.ok);
  for (int x = 0; x < 10; x++) {
    EXPECT_EQ(d.rgb(x), "255,255,255") << x;
    EXPECT_EQ(d.rgb(10 + x), x == 0 ? "255,255,255" : "0,0,0") << x;
  }
}

TEST(ImageDecode, DecodeArrayInvertsOneBitSamples) {
  const std::string one = "/Width 2 /Height 1 /BitsPerComponent 1 /ColorSpace /DeviceGray ";
  const std::string plain = "255,255,255 0,0,0", inverted = "0,0,0 255,255,255";
  check_cases({
      {"no Decode", one, raw({0x80}), plain},
      {"[0 1]", one + "/Decode [0 1]", raw({0x80}), plain},
      {"[1 0]", one + "/Decode [1 0]", raw({0x80}), inverted},
      {"[1.0 0.0] is read as real numbers", one + "/Decode [1.0 0.0]", raw({0x80}), inverted},
      {"[ 1. .0 ]", one + "/Decode[ 1. .0 ]", raw({0x80}), inverted},
      {"[-1 0]", one + "/Decode [-1 0]", raw({0x80}), plain},
      {"[1 0.5]", one + "/Decode [1 0.5]", raw({0x80}), plain},
      {"8-bit samples ignore Decode",
       "/Width 2 /Height 1 /BitsPerComponent 8 /ColorSpace /DeviceGray /Decode [1 0]",
       raw({0, 255}), "0,0,0 255,255,255"},
  });
}

TEST(ImageDecode, IndexedPalettes) {
  const std::string three = "/Width 3 /Height 1 /BitsPerComponent 8 ";
  const std::string rgb = "255,0,0 0,255,0 0,255,0";
  check_cases({
      {"an index past hival is lowered to the last entry",
       three + "/ColorSpace [/Indexed /DeviceRGB 1 <FF0000 00FF00>]", raw({0, 1, 2}), rgb},
      {"base given as an array", three + "/ColorSpace [/Indexed [/CalRGB << >>] 1 <FF000000FF00>]",
       raw({0, 1, 2}), rgb},
      {"a lone digit is its high nibble", three + "/ColorSpace [/Indexed /DeviceRGB 2 <7 8 9a>]",
       raw({0, 0, 0}), "112,128,154 112,128,154 112,128,154"},
      {"an odd last digit", three + "/ColorSpace [/Indexed /DeviceRGB 0 <10203>]", raw({0, 1, 5}),
       "16,32,48 16,32,48 16,32,48"},
      {"entries past a short lookup read black",
       three + "/ColorSpace [/Indexed /DeviceRGB 2 <0A0B0C 0D>]", raw({0, 1, 2}),
       "10,11,12 0,0,0 0,0,0"},
      {"no entries: white", three + "/ColorSpace [/Indexed /DeviceRGB -1 <FF0000>]", raw({0, 1, 2}),
       "255,255,255 255,255,255 255,255,255"},
  });
  // Only the stream case reads object 11.
  decoded d = decode(image_doc(three + "/ColorSpace [/Indexed /DeviceRGB 1 11 0 R]", raw({0, 1, 2}),
                               image_test::stream_obj(11, "", raw({255, 0, 0, 0, 255, 0}))));
  EXPECT_EQ(d.all(), rgb);

  for (const char* cs : {"[/Indexed /DeviceRGB 1 << >>]", "[/Indexed /DeviceRGB 1 (abcdef)]",
                         "[/Indexed /DeviceRGB 1 99 0 R]", "[/Indexed /DeviceRGB 1]", "12 0 R"}) {
    SCOPED_TRACE(cs);
    EXPECT_FALSE(decode(image_doc(three + "/ColorSpace " + std::string(cs), raw({0, 1, 2}),
                                  "12 0 obj\n[/Indexed /DeviceRGB 0 <FF0000>]\nendobj\n"))
                     .ok);
  }
}

TEST(ImageDecode, SizeAndDepthLimits) {
  auto ok = [](const std::string& dict) {
    return decode(image_doc(dict + " /ColorSpace /DeviceGray", std::string(8, '\0'))).ok;
  };
  EXPECT_TRUE(ok("/Width 20000 /Height 1 /BitsPerComponent 1"));
  EXPECT_TRUE(ok("/Width 1 /Height 20000 /BitsPerComponent 1"));
  EXPECT_FALSE(ok("/Width 20001 /Height 1 /BitsPerComponent 1"));
  EXPECT_FALSE(ok("/Width 1 /Height 20001 /BitsPerComponent 1"));
  EXPECT_FALSE(ok("/Width 0 /Height 1 /BitsPerComponent 1"));
  EXPECT_FALSE(ok("/Width -4 /Height 1 /BitsPerComponent 1"));
  EXPECT_FALSE(ok("/Width 1 /BitsPerComponent 1"));
  EXPECT_FALSE(ok("/Width /Two /Height 1"));
  // Depths without a packing rule are refused.
  for (int b : {1, 2, 4, 8, 16})
    EXPECT_TRUE(ok("/Width 2 /Height 1 /BitsPerComponent " + std::to_string(b))) << b;
  for (int b : {0, 3, 5, 7, 12, 32, -8})
    EXPECT_FALSE(ok("/Width 2 /Height 1 /BitsPerComponent " + std::to_string(b))) << b;
  EXPECT_FALSE(ok("/Width 2 /Height 1 /BitsPerComponent /Eight"));

  // No dictionary, no stream data.
  EXPECT_FALSE(decode(image_doc("", "") + "11 0 obj\n42\nendobj\n", 11).ok);
  EXPECT_FALSE(decode(image_test::page_doc("", "",
                                           "11 0 obj\n<< /Subtype /Image /Width 1 "
                                           "/Height 1 >>\nendobj\n"),
                      11)
                   .ok);
}
