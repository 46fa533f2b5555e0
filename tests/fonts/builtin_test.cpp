// The built-in faces are compiled in, and at initialisation the first copy of
// a face file found on disk (more than 4096 bytes, read whole) replaces it.
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "fonts/fonts.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

extern const uint8_t g_fontdata_2[];

namespace {

const char* const kNames[] = {"LiberationSans-Regular.ttf", "LiberationSerif-Regular.ttf",
                              "LiberationMono-Regular.ttf"};
const int32_t kSizes[] = {139512, 152408, 108172};

// A system copy of the face, which is searched before anything of ours.
std::string system_copy(int face) {
  for (std::string d : {"/usr/share/fonts/truetype/liberation/", "/usr/share/fonts/truetype/"})
    if (fs::exists(d + kNames[face])) return d + kNames[face];
  return "";
}

std::string exe_dir() {
  char exe[512];
  return platform_exe_dir(exe, sizeof exe) ? std::string(exe) : "";
}

void write_bytes(const std::string& path, size_t n) {
  std::ofstream(path, std::ios::binary) << std::string(n, 'x');
}

}  // namespace

TEST(BuiltinFaces, EveryFaceIsAvailable) {
  load_font_files();
  for (int i = 0; i < kBuiltinFaces; i++) {
    ASSERT_NE(g_font_files[i], nullptr);
    std::string disk = system_copy(i);
    EXPECT_EQ(g_font_lens[i], disk.empty() ? kSizes[i] : (int32_t)fs::file_size(disk)) << i;
    tf_font dir;
    EXPECT_EQ(tf_font_open(&dir, g_font_files[i], g_font_lens[i]), 1) << i;
  }
  load_font_files();  // a second initialisation starts again
  EXPECT_NE(g_font_files[0], nullptr);
}

TEST(BuiltinFaces, DiskCopiesAboveFourKilobytesReplaceAFace) {
  if (!system_copy(FACE_MONO).empty()) GTEST_SKIP() << "a system copy of the mono face wins";
  std::string exe = exe_dir();
  ASSERT_FALSE(exe.empty());
  // The executable's fonts/ folder comes before the executable's own folder.
  std::string first = exe + "/fonts/" + kNames[FACE_MONO];
  std::string later = exe + "/" + kNames[FACE_MONO];
  fs::create_directories(exe + "/fonts");
  // Exactly 4096 bytes: ignored, and later folders are not searched.
  write_bytes(first, 4096);
  write_bytes(later, 5000);
  load_font_files();
  EXPECT_EQ(g_font_files[FACE_MONO], g_fontdata_2);
  EXPECT_EQ(g_font_lens[FACE_MONO], kSizes[FACE_MONO]);
  // One byte more replaces the face; the others stay as they were.
  write_bytes(first, 4097);
  load_font_files();
  EXPECT_EQ(g_font_lens[FACE_MONO], 4097);
  EXPECT_EQ(g_font_files[FACE_MONO][0], 'x');
  EXPECT_EQ(g_font_lens[FACE_SANS],
            system_copy(FACE_SANS).empty() ? kSizes[FACE_SANS] : g_font_lens[FACE_SANS]);
  fs::remove(first);
  fs::remove(later);
  load_font_files();  // back to the built-in data; the disk copy is released
  EXPECT_EQ(g_font_files[FACE_MONO], g_fontdata_2);
}
