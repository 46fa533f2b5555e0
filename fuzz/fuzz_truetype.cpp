// Fuzz target: the TrueType reader: table directory, character map,
// advances and the outline of every glyph.
#include <cstdlib>
#include <vector>

#include "fonts/fonts.h"

static uint32_t be16(const uint8_t* p) {
  return (uint32_t)p[0] << 8 | p[1];
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (size_t)INT32_MAX) return 0;
  int32_t len = (int32_t)size;
  tf_font dir;
  tf_font_open(&dir, data, len);
  static std::vector<uint16_t> map(65536);
  int ok = 0;
  tf_build_cmap(data, len, map.data(), &ok);

  int32_t glyphs = 0;
  const tf_table* maxp = tf_find_table(&dir, "maxp");
  if (maxp && maxp->offset <= size && size - maxp->offset >= 6 && maxp->length >= 6)
    glyphs = (int32_t)be16(data + maxp->offset + 4);
  if (glyphs > 4096) glyphs = 4096;  // enough to reach every kind of record
  static std::vector<path_seg> segs(kTfMaxSegments);
  for (int32_t g = 0; g < glyphs + 2; g++) {
    int32_t adv = 0;
    tf_hmtx(data, len, g, &adv);
    tf_point* points = nullptr;
    uint16_t* ends = nullptr;
    int32_t npoints = 0, ncontours = 0, composite = 0;
    if (tf_glyph_outline(data, len, g, &points, &npoints, &ends, &ncontours, &composite))
      tf_outline_segs(points, npoints, ends, ncontours, segs.data());
    free(points);
    free(ends);
  }
  return 0;
}
