// Runs a fuzz target without libFuzzer over files and folders of inputs, so
// the ordinary test build (and the sanitizer build) replays the seeds and
// every kept crasher: replay_<target> PATH...
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  size_t inputs = 0;
  for (int a = 1; a < argc; ++a) {
    std::vector<fs::path> files;
    if (fs::is_directory(argv[a])) {
      for (const auto& entry : fs::directory_iterator(argv[a]))
        if (entry.is_regular_file()) files.push_back(entry.path());
    } else if (fs::exists(argv[a])) {
      files.emplace_back(argv[a]);
    }
    for (const fs::path& file : files) {
      std::ifstream in(file, std::ios::binary);
      const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      LLVMFuzzerTestOneInput(bytes.data(), bytes.size());  // a broken property aborts
      ++inputs;
    }
  }
  std::printf("%zu inputs replayed\n", inputs);
  return 0;
}
