// What every fuzz target shares. A target defines its entry point with
// TW3_FUZZ_ENTRY(name): libFuzzer's LLVMFuzzerTestOneInput in a fuzzer build
// (one target per binary), or tw3_fuzz_<name> in the replayer, which holds
// every target and replays their seeds and crash inputs in the ordinary
// builds. A broken invariant aborts, so libFuzzer keeps the input and the
// replay test fails on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#ifdef TW3_FUZZ_REPLAY
#define TW3_FUZZ_ENTRY(name) extern "C" int tw3_fuzz_##name(const uint8_t* data, size_t size)
#else
#define TW3_FUZZ_ENTRY(name) extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
#endif

#define TW3_FUZZ_CHECK(cond)                                                              \
  do {                                                                                    \
    if (!(cond)) {                                                                        \
      std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
      std::abort();                                                                       \
    }                                                                                     \
  } while (0)

// Turns the trace on for one input when asked and it is not on already
// (TWSMB3S_TRACE, and TWSMB3S_TRACE_HEX for the hex dumps), so the trace
// lines' formatting is fuzzed too; restores the environment afterwards.
class tw3_fuzz_trace {
 public:
  explicit tw3_fuzz_trace(bool on) : set_(on && std::getenv("TWSMB3S_TRACE") == nullptr) {
    if (!set_) return;
    ::setenv("TWSMB3S_TRACE", "1", 1);
    ::setenv("TWSMB3S_TRACE_HEX", "1", 1);
  }
  tw3_fuzz_trace(const tw3_fuzz_trace&) = delete;
  tw3_fuzz_trace& operator=(const tw3_fuzz_trace&) = delete;
  ~tw3_fuzz_trace() {
    if (!set_) return;
    ::unsetenv("TWSMB3S_TRACE");
    ::unsetenv("TWSMB3S_TRACE_HEX");
  }

 private:
  bool set_;
};
