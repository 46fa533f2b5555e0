// Replays the inputs that fuzzing found (tests/data/fuzz/<target>/) through
// one fuzz target's entry point in an ordinary build, so every submission
// checks them, under the sanitizers too. Given file arguments instead, it
// runs just those and prints how long each took.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

std::vector<uint8_t> read_all(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

double run_one(const std::filesystem::path& p) {
  std::vector<uint8_t> bytes = read_all(p);
  auto start = std::chrono::steady_clock::now();
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

TEST(FuzzReplay, RegressionInputsRunCleanly) {
  const std::filesystem::path dir = std::filesystem::path(RENDRIX_FUZZ_REGRESSION_DIR);
  if (!std::filesystem::is_directory(dir)) GTEST_SKIP() << "no regression inputs in " << dir;
  std::vector<std::filesystem::path> files;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    if (e.is_regular_file()) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  for (const auto& f : files) {
    SCOPED_TRACE(f.filename().string());
    // A crash or a sanitizer report ends the program; what is left to check
    // is that each input finishes.
    double s = run_one(f);
    printf("%-60s %.3f s\n", f.filename().string().c_str(), s);
  }
}

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (argc > 1) {
    for (int i = 1; i < argc; i++) printf("%s: %.3f s\n", argv[i], run_one(argv[i]));
    return 0;
  }
  return RUN_ALL_TESTS();
}
