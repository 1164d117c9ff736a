// Runs a fuzz target over stored inputs, without the fuzzer: every file
// named on the command line, or every file of every folder named there.
// Exits non-zero when an input cannot be read; a fault in the target shows
// as a crash or a sanitizer report, as under the fuzzer.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace fs = std::filesystem;

namespace {
bool run_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  if (!in) return false;
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  return true;
}
}  // namespace

int main(int argc, char** argv) {
  int ran = 0;
  for (int i = 1; i < argc; ++i) {
    const fs::path p(argv[i]);
    std::error_code ec;
    if (fs::is_directory(p, ec)) {
      for (const auto& e : fs::directory_iterator(p))
        if (e.is_regular_file()) {
          if (!run_file(e.path())) return 1;
          ++ran;
        }
    } else if (fs::exists(p, ec)) {
      if (!run_file(p)) return 1;
      ++ran;
    }
  }
  std::printf("replayed %d inputs\n", ran);
  return 0;
}
