// Every single-byte mutation and truncation of an image document, and of a
// page with forms and an inline image, decodes or renders or is skipped
// without a fault (run under the sanitizers).
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "images/image_test_util.h"

using image_test::image_obj;
using image_test::page_doc;
using image_test::raw;
using image_test::stream_obj;

TEST(ImageMutation, DecodeImageSurvivesEveryMutation) {
  std::string pdf = page_doc(
      "", "",
      image_obj(10,
                "/Width 3 /Height 2 /BitsPerComponent 8 /ColorSpace [/Indexed /DeviceRGB 2 "
                "<FF0000 00FF00 0000FF>] /SMask 11 0 R /Decode [1.0 0.0]",
                raw({0, 1, 2, 2, 1, 0})) +
          stream_obj(11, "/Width 3 /Height 2", raw({0, 64, 128, 192, 255, 7})));
  size_t decoded = 0;
  test_util::mutation_sweep(pdf, [&](const std::string& m) {
    test_util::loaded_doc doc(m);
    if (!doc.ok) return;
    for (int32_t num : {10, 11}) {
      const obj_entry* e = doc.find(num);
      if (e && image_test::decode(&doc.doc, e).ok) decoded++;
    }
  });
  EXPECT_GT(decoded, 0u);
}

TEST(ImageMutation, PagesWithXObjectsSurviveEveryMutation) {
  std::string pdf =
      page_doc("q 20 0 0 20 10 10 cm BI /W 2 /H 1 /BPC 8 ID\n" + raw({1, 2, 3, 4, 5, 6}) +
                   " EI Q /F1 Do q 30 0 0 30 50 50 cm /Im1 Do Q",
               "/XObject << /Im1 10 0 R /F1 11 0 R >>",
               image_obj(10, "/Width 1 /Height 1 /ColorSpace /DeviceGray /Matrix [1 0 0 1 0 0]",
                         raw({128})) +
                   stream_obj(11, "/Type /XObject /Subtype /Form /Matrix [0.5 0 0 -0.5 0 90]",
                              "/F1 Do 0 0 10 10 re f"));
  test_util::mutation_sweep(pdf, [&](const std::string& m) {
    test_util::loaded_doc doc(m);
    if (!doc.ok || doc.doc.pages.count < 1) return;
    int32_t w = 0, h = 0;
    free(render_page(&doc.doc, 0, 18, &w, &h));
  });
}
