// Replays every fuzz target's seeds and every input it has crashed on through
// its entry point, so that the ordinary builds (any compiler, with or without
// sanitizers) keep those inputs passing. A fault fails the process.
//
// Arguments: TARGET=DIR pairs, any number per target. Fails when a target
// named there gets no input at all, or a name is unknown, so a wrong path
// cannot pass silently.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#define TW3_FUZZ_TARGET(name) extern "C" int tw3_fuzz_##name(const uint8_t* data, size_t size);
#include "fuzz/targets.inc"
#undef TW3_FUZZ_TARGET

namespace {

namespace fs = std::filesystem;
using entry_fn = int (*)(const uint8_t*, size_t);

const std::map<std::string, entry_fn>& targets() {
  static const std::map<std::string, entry_fn> all = {
#define TW3_FUZZ_TARGET(name) {#name, tw3_fuzz_##name},
#include "fuzz/targets.inc"
#undef TW3_FUZZ_TARGET
  };
  return all;
}

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

int main(int argc, char** argv) {
  std::map<std::string, size_t> ran;
  for (int i = 1; i < argc; ++i) {
    const char* eq = std::strchr(argv[i], '=');
    const std::string name = eq != nullptr ? std::string(argv[i], static_cast<size_t>(eq - argv[i])) : std::string();
    const auto t = targets().find(name);
    if (eq == nullptr || t == targets().end()) {
      std::fprintf(stderr, "usage: %s TARGET=DIR...; unknown: %s\n", argv[0], argv[i]);
      return 2;
    }
    size_t& count = ran[name];
    for (const fs::path& p : inputs_in(eq + 1)) {
      std::ifstream f(p, std::ios::binary);
      const std::vector<uint8_t> data((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
      std::printf("replay %s %s (%zu bytes)\n", name.c_str(), p.filename().c_str(), data.size());
      std::fflush(stdout);
      // As under libFuzzer, an empty input still comes with a valid pointer.
      static const uint8_t kNothing = 0;
      t->second(data.empty() ? &kNothing : data.data(), data.size());
      ++count;
    }
  }
  int rc = ran.empty() ? 1 : 0;
  for (const auto& [name, n] : ran) {
    std::printf("%s: %zu inputs replayed\n", name.c_str(), n);
    if (n == 0) rc = 1;
  }
  return rc;
}
