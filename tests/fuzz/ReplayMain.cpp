// The entry point of a harness when libFuzzer is not in the build: runs every file named on the
// command line, or found in a folder named there, through LLVMFuzzerTestOneInput once, in name
// order. A broken invariant or a sanitizer finding ends the program abnormally, so the ctest
// test that replays the seed corpus fails.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

int Replay(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", file.c_str());
    return 1;
  }
  const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                        std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::filesystem::path> files;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path arg(argv[i]);
    if (std::filesystem::is_directory(arg)) {
      for (const auto& entry : std::filesystem::directory_iterator(arg)) {
        if (entry.is_regular_file())
          files.push_back(entry.path());
      }
    } else {
      files.push_back(arg);
    }
  }
  std::sort(files.begin(), files.end());
  if (files.empty()) {
    std::fprintf(stderr, "usage: %s FILE|FOLDER...: no input found\n", argv[0]);
    return 2;
  }
  int failures = 0;
  for (const auto& file : files)
    failures += Replay(file);
  std::printf("%zu inputs replayed\n", files.size() - static_cast<std::size_t>(failures));
  return failures == 0 ? 0 : 1;
}
