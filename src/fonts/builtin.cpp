// The built-in faces: Liberation Sans, Serif and Mono Regular 1.07.4 as
// constant data (compiled in from src/fonts/data/), each replaced at
// initialisation by the first copy of the same file found on disk.
//
// A file replaces its face when it opens and holds more than 4096 bytes that
// read completely; the first directory where the file opens ends the search
// for that face. The TrueType reader checks every read, so a damaged file
// cannot do harm beyond drawing nothing.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fonts/fonts.h"
#include "platform/platform.h"

extern const uint8_t g_fontdata_0[];
extern const uint8_t g_fontdata_1[];
extern const uint8_t g_fontdata_2[];
extern const int32_t g_fontdata_0_len;
extern const int32_t g_fontdata_1_len;
extern const int32_t g_fontdata_2_len;

const uint8_t* g_font_files[kBuiltinFaces];
int32_t g_font_lens[kBuiltinFaces];

static const char* const g_font_names[kBuiltinFaces] = {
    "LiberationSans-Regular.ttf", "LiberationSerif-Regular.ttf", "LiberationMono-Regular.ttf"};
static char g_exe_dir[512];
// Files read from disk by the last initialisation; a later one releases them.
static uint8_t* s_disk_copies[kBuiltinFaces];

// Reads the file at path when it opens. Returns 1 when it opened (whatever
// followed), with *data set to a malloc'd copy when it held more than 4096
// bytes and read completely.
static int read_face_file(const std::string& path, uint8_t** data, int32_t* len) {
  *data = nullptr;
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return 0;
  int64_t size = platform_file_size(f);
  if (size > 4096 && size <= INT32_MAX && fseek(f, 0, SEEK_SET) == 0) {
    uint8_t* buf = (uint8_t*)malloc((size_t)size);
    if (buf && fread(buf, 1, (size_t)size, f) == (size_t)size) {
      *data = buf;
      *len = (int32_t)size;
    } else {
      free(buf);
    }
  }
  fclose(f);
  return 1;
}

void load_font_files(void) {
  const uint8_t* builtin[kBuiltinFaces] = {g_fontdata_0, g_fontdata_1, g_fontdata_2};
  const int32_t lens[kBuiltinFaces] = {g_fontdata_0_len, g_fontdata_1_len, g_fontdata_2_len};
  for (int i = 0; i < kBuiltinFaces; i++) {
    free(s_disk_copies[i]);
    s_disk_copies[i] = nullptr;
    g_font_files[i] = builtin[i];
    g_font_lens[i] = lens[i];
  }
  g_exe_dir[0] = 0;
  platform_exe_dir(g_exe_dir, sizeof g_exe_dir);

  std::vector<std::string> dirs = {"/usr/share/fonts/truetype/liberation/",
                                   "/usr/share/fonts/truetype/"};
  if (g_exe_dir[0]) {
    dirs.push_back(std::string(g_exe_dir) + "/fonts/");
    dirs.push_back(std::string(g_exe_dir) + "/");
  }
  dirs.push_back("./");
  dirs.push_back("fonts/");
  for (int i = 0; i < kBuiltinFaces; i++) {
    for (const std::string& dir : dirs) {
      uint8_t* data = nullptr;
      int32_t len = 0;
      if (!read_face_file(dir + g_font_names[i], &data, &len)) continue;
      if (data) {
        s_disk_copies[i] = data;
        g_font_files[i] = data;
        g_font_lens[i] = len;
      }
      break;  // the first directory where the file opens decides
    }
  }
  build_base_tables();
}
