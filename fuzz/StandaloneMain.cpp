// Runs a fuzz target without libFuzzer, so the targets build with any compiler
// and the test suite replays their corpora under its sanitizers. Each file
// given (or each file of a folder given) runs as it is, cut short at up to 256
// points, and with 64 fixed pseudo-random mutations.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

namespace fs = std::filesystem;

constexpr size_t kMaxCuts = 256;
constexpr int kMutations = 64;

void runOne(const std::vector<uint8_t>& input) {
  // A copy of exactly the input's size, so ASan sees any read past its end.
  std::unique_ptr<uint8_t[]> copy(new uint8_t[input.size()]);
  std::copy(input.begin(), input.end(), copy.get());
  LLVMFuzzerTestOneInput(copy.get(), input.size());
}

size_t runVariants(const std::vector<uint8_t>& input, uint32_t seed) {
  size_t runs = 0;
  runOne(input);
  ++runs;
  const size_t step = std::max<size_t>(1, input.size() / kMaxCuts);
  for (size_t cut = 0; cut < input.size(); cut += step, ++runs) {
    runOne(std::vector<uint8_t>(input.begin(), input.begin() + cut));
  }
  uint32_t state = seed | 1;
  auto next = [&state] {  // xorshift32: the same mutations on every run
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  };
  for (int i = 0; i < kMutations && !input.empty(); ++i, ++runs) {
    std::vector<uint8_t> m = input;
    int edits = 1 + next() % 4;
    while (edits--) {
      size_t at = next() % m.size();
      switch (next() % 3) {
        case 0: m[at] ^= static_cast<uint8_t>(1u << (next() % 8)); break;
        case 1: m[at] = static_cast<uint8_t>(next()); break;
        default: m[at] = (next() & 1) ? 0xFF : 0x00; break;
      }
    }
    runOne(m);
  }
  return runs;
}

std::vector<fs::path> inputsOf(const char* arg) {
  std::vector<fs::path> files;
  std::error_code ec;
  if (fs::is_directory(arg, ec)) {
    for (const auto& entry : fs::recursive_directory_iterator(arg, ec)) {
      if (entry.is_regular_file()) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
  } else if (fs::is_regular_file(arg, ec)) {
    files.push_back(arg);
  }
  return files;
}

}  // namespace

int main(int argc, char** argv) {
  setenv("KESTREL_LOOPBACK_ONLY", "1", 0);
  std::string root;
  if (!std::getenv("TARNFIELD_HOME")) {
    char pattern[] = "/tmp/kestrel-fuzzcheck-XXXXXX";
    if (char* dir = mkdtemp(pattern)) {
      root = dir;
      setenv("TARNFIELD_HOME", dir, 1);
    }
  }
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);

  size_t files = 0, runs = 0;
  for (int i = 1; i < argc; ++i) {
    for (const auto& path : inputsOf(argv[i])) {
      std::ifstream in(path, std::ios::binary);
      std::vector<uint8_t> input((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      runs += runVariants(input, static_cast<uint32_t>(std::hash<std::string>{}(path.filename().string())));
      ++files;
    }
  }
  if (!root.empty()) {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
  if (files == 0) {
    std::fprintf(stderr, "%s: no corpus files found\n", argv[0]);
    return 1;
  }
  std::printf("%zu inputs from %zu corpus files\n", runs, files);
  return 0;
}
