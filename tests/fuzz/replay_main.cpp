// Replays the engine fuzzer's seeds and every input it has crashed on through
// LLVMFuzzerTestOneInput, so that the normal build (any compiler, with or
// without sanitizers) keeps those inputs passing. A fault fails the process.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> inputs_in(const fs::path& dir) {
  std::vector<fs::path> out;
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) return out;
  for (const auto& e : fs::directory_iterator(dir, ec))
    if (e.is_regular_file() && e.path().filename().string()[0] != '.') out.push_back(e.path());
  std::sort(out.begin(), out.end());  // a stable order makes a failure easy to reproduce
  return out;
}

}  // namespace

// Arguments: folders of inputs. Fails when none holds a single input, so a
// wrong path cannot pass silently.
int main(int argc, char** argv) {
  size_t ran = 0;
  for (int i = 1; i < argc; ++i) {
    for (const fs::path& p : inputs_in(argv[i])) {
      std::ifstream f(p, std::ios::binary);
      const std::vector<uint8_t> data((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
      std::printf("replay %s (%zu bytes)\n", p.filename().c_str(), data.size());
      std::fflush(stdout);
      LLVMFuzzerTestOneInput(data.data(), data.size());
      ++ran;
    }
  }
  std::printf("%zu inputs replayed\n", ran);
  return ran == 0 ? 1 : 0;
}
