// Running the independent decoders some tests check output with (python3's
// zlib, djpeg): availability, a quoted command line, and scratch files.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <sys/wait.h>
#endif

namespace external_tool {

// Wraps s in single quotes for /bin/sh.
inline std::string quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// Runs a shell command; its exit status, or -1 when it could not run. The
// commands are /bin/sh command lines (quoting, /dev/null) for tools of a
// Linux host, so on Windows none runs and the tests needing them skip.
inline int run(const std::string& command) {
#if defined(_WIN32)
  (void)command;
  return -1;
#else
  int rc = std::system(command.c_str());
  if (rc == -1) return -1;
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
#endif
}

// True when `command` runs and exits 0 (its output discarded).
inline bool available(const std::string& command) {
  return run(command + " >/dev/null 2>&1") == 0;
}

inline bool have_python() {
  static const bool ok = available("python3 -c 'import zlib'");
  return ok;
}

// A fresh scratch path for this test: TempDir + test name + suffix.
inline std::string scratch(const std::string& suffix) {
  const testing::TestInfo* t = testing::UnitTest::GetInstance()->current_test_info();
  std::string name = t ? std::string(t->test_suite_name()) + "_" + t->name() : "scratch";
  return testing::TempDir() + "rendrix_" + name + "_" + suffix;
}

inline void write_bytes(const std::string& path, const uint8_t* data, size_t n) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(n));
}
inline void write_bytes(const std::string& path, const std::vector<uint8_t>& data) {
  write_bytes(path, data.data(), data.size());
}
inline std::vector<uint8_t> read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// Writes script to a scratch file and runs python3 on it with the arguments;
// returns the exit status. Output goes to the test log.
inline int run_python(const std::string& script, const std::string& args) {
  std::string path = scratch("script.py");
  std::ofstream(path) << script;
  return run("python3 " + quote(path) + " " + args);
}

}  // namespace external_tool
