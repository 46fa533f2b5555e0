// Alpha planes from /SMask streams: 16-bit high bytes, 8-bit bytes, one bit
// per pixel for narrow images and for pixels past short mask data, and masks
// that are absent or unreadable.
#include <string>

#include <gtest/gtest.h>

#include "images/image_test_util.h"

using image_test::decode;
using image_test::decoded;
using image_test::image_doc;
using image_test::raw;
using image_test::stream_obj;

namespace {

// Decodes an image with the dictionary entries and data whose /SMask is
// object 11 holding mask_data.
decoded with_mask(const std::string& dict, const std::string& data, const std::string& mask_data) {
  return decode(image_doc(dict + " /SMask 11 0 R", data,
                          stream_obj(11, "/Type /XObject /Subtype /Image", mask_data)));
}

std::string plane(const decoded& d) {
  std::string s;
  for (size_t i = 0; i < d.mask.size(); i++) s += (i ? " " : "") + std::to_string(d.mask[i]);
  return s;
}

}  // namespace

TEST(SoftMask, BytesAndBitsByImageDepth) {
  // 8 bits: one byte per pixel.
  decoded d =
      with_mask("/Width 2 /Height 1 /ColorSpace /DeviceGray", raw({1, 2}), raw({0x40, 0xFF}));
  ASSERT_TRUE(d.ok && d.has_mask);
  EXPECT_EQ(plane(d), "64 255");
  EXPECT_EQ(d.all(), "1,1,1 2,2,2");  // colour untouched, alpha bytes 255

  // 16 bits: the high byte of each sample; a sample cut short is opaque.
  d = with_mask("/Width 2 /Height 1 /BitsPerComponent 16 /ColorSpace /DeviceGray",
                raw({0, 0, 0, 0}), raw({0x12, 0x34, 0x56}));
  ASSERT_TRUE(d.has_mask);
  EXPECT_EQ(plane(d), "18 255");

  // 1 bit (any depth below 8): one bit per pixel, rows padded to bytes.
  d = with_mask("/Width 10 /Height 2 /BitsPerComponent 1 /ColorSpace /DeviceGray",
                std::string(4, '\0'), raw({0xA0, 0x40, 0x80, 0x00}));
  ASSERT_TRUE(d.has_mask);
  EXPECT_EQ(plane(d), "255 0 255 0 0 0 0 0 0 255 255 0 0 0 0 0 0 0 0 0");
  d = with_mask("/Width 4 /Height 1 /BitsPerComponent 4 /ColorSpace /DeviceGray", raw({0, 0}),
                raw({0x50}));
  EXPECT_EQ(plane(d), "0 255 0 255");

  // 8 bits with short mask data: pixel i reads byte i while the data hold at
  // least i bytes (byte i itself may be past them: zero), beyond that bit i.
  d = with_mask("/Width 4 /Height 1 /ColorSpace /DeviceGray", raw({0, 0, 0, 0}), raw({0x90, 0x7F}));
  EXPECT_EQ(plane(d), "144 127 0 255");
}

TEST(SoftMask, AbsentOrUnreadableLeavesNoPlane) {
  const std::string dict = "/Width 1 /Height 1 /ColorSpace /DeviceGray";
  for (const char* smask : {"", "/SMask /None", "/SMask 99 0 R", "/SMask 12 0 R"}) {
    SCOPED_TRACE(smask);
    decoded d = decode(image_doc(dict + " " + smask, raw({9}), "12 0 obj\n<< >>\nendobj\n"));
    ASSERT_TRUE(d.ok);
    EXPECT_FALSE(d.has_mask);
    EXPECT_EQ(d.all(), "9,9,9");
  }
  // Empty mask data: no plane either.
  decoded d = with_mask(dict, raw({9}), "");
  ASSERT_TRUE(d.ok);
  EXPECT_FALSE(d.has_mask);
}
