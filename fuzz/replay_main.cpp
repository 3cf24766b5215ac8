// Replays fuzz inputs through one target's LLVMFuzzerTestOneInput, without libFuzzer, so that
// the committed corpus and every input that ever failed run as ordinary tests.
//
//   fuzz_replay_TARGET PATH...
//
// Each PATH is an input file or a folder of them (read in name order). A missing folder is
// skipped, as a target may have no regression inputs yet; finding no input at all is an error.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    const fs::path path = argv[i];
    if (fs::is_directory(path)) {
      for (const fs::directory_entry& entry : fs::directory_iterator(path)) {
        if (entry.is_regular_file()) inputs.push_back(entry.path());
      }
    } else if (fs::is_regular_file(path)) {
      inputs.push_back(path);
    }
  }
  if (inputs.empty()) {
    std::fprintf(stderr, "replay: no inputs found\n");
    return 1;
  }
  std::sort(inputs.begin(), inputs.end());

  for (const fs::path& path : inputs) {
    std::ifstream file(path, std::ios::binary);
    const std::vector<char> text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    if (!file.eof() && file.fail()) {
      std::fprintf(stderr, "replay: cannot read %s\n", path.c_str());
      return 1;
    }
    std::printf("replay: %s (%zu bytes)\n", path.c_str(), text.size());
    std::fflush(stdout);  // the name shows even if the input crashes
    // A buffer of exactly the input's size, so an over-read lands in a red zone.
    std::vector<std::uint8_t> bytes(text.begin(), text.end());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  }
  std::printf("replay: %zu inputs passed\n", inputs.size());
  return 0;
}
