// Both encoders refuse images they cannot encode without creating a file, and
// their file writers report success only when every byte reached the file.
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "codec_test_util.h"

using namespace codec_test;

namespace {

using encode_fn = uint8_t* (*)(int32_t, int32_t, const uint8_t*, uint64_t*);
using write_fn = int (*)(const char*, int32_t, int32_t, const uint8_t*);

struct codec {
  const char* name;
  encode_fn encode;
  write_fn write;
};
const codec kCodecs[] = {{"PNG", qx_png_encode, qx_png_write},
                         {"JPEG", qx_jpeg_encode, qx_jpeg_write}};

bool exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

}  // namespace

TEST(CodecArguments, ImagesThatCannotBeEncodedGiveNoFile) {
  image im = gradient(4, 4);
  const uint8_t* px = im.rgba.data();
  struct bad {
    int32_t w, h;
    const uint8_t* px;
  };
  for (const codec& c : kCodecs) {
    SCOPED_TRACE(c.name);
    for (bad b : {bad{0, 4, px},
                  {4, 0, px},
                  {-1, 4, px},
                  {4, -5, px},
                  {INT32_MIN, INT32_MIN, px},
                  {4, 4, nullptr}}) {
      SCOPED_TRACE(std::to_string(b.w) + "x" + std::to_string(b.h));
      uint64_t size = 77;
      EXPECT_EQ(c.encode(b.w, b.h, b.px, &size), nullptr);
      EXPECT_EQ(size, 0u);
      std::string path = external_tool::scratch(std::string(c.name) + "_bad");
      remove(path.c_str());
      EXPECT_EQ(c.write(path.c_str(), b.w, b.h, b.px), 0);
      EXPECT_FALSE(exists(path));
    }
    EXPECT_EQ(c.encode(4, 4, px, nullptr), nullptr);
    EXPECT_EQ(c.write(nullptr, 4, 4, px), 0);
  }
  // SOF0 holds each side in 16 bits: a wider or taller JPEG is refused (the
  // pixel pointer is never read for it).
  uint64_t size = 77;
  EXPECT_EQ(qx_jpeg_encode(65536, 1, px, &size), nullptr);
  EXPECT_EQ(qx_jpeg_encode(1, 65536, px, &size), nullptr);
  EXPECT_EQ(size, 0u);
}

TEST(CodecWriteFile, FileHoldsTheEncodedBytesOrTheCallFails) {
  image im = gradient(50, 40);
  for (const codec& c : kCodecs) {
    SCOPED_TRACE(c.name);
    uint64_t size = 0;
    uint8_t* mem = c.encode(im.width, im.height, im.rgba.data(), &size);
    ASSERT_NE(mem, nullptr);
    bytes want(mem, mem + size);
    free(mem);
    std::string path = external_tool::scratch(c.name);
    ASSERT_EQ(c.write(path.c_str(), im.width, im.height, im.rgba.data()), 1);
    EXPECT_EQ(external_tool::read_bytes(path), want);

    // A folder that does not exist: nothing is created.
    std::string missing = external_tool::scratch("no_such_dir") + "/x";
    EXPECT_EQ(c.write(missing.c_str(), im.width, im.height, im.rgba.data()), 0);
    EXPECT_FALSE(exists(missing));
    // A full device takes the write into the stdio buffer and fails it at the
    // flush on close; that must count as a failure.
    if (exists("/dev/full")) {
      EXPECT_EQ(c.write("/dev/full", im.width, im.height, im.rgba.data()), 0);
    }
  }
}
