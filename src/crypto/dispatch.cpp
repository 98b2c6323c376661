// Run-time choice between the portable kernels and the x86 ones, made once
// from the CPU's feature bits; tests and benchmarks may force the portable path.
#include <atomic>

#include "crypto/internal.h"

namespace tw3c {
namespace {

std::atomic<int> g_force_portable{0};

bool cpu_has_x86_kernels() {
#if defined(__x86_64__)
  __builtin_cpu_init();
  return __builtin_cpu_supports("aes") && __builtin_cpu_supports("pclmul") &&
         __builtin_cpu_supports("sse4.1") && __builtin_cpu_supports("ssse3");
#else
  return false;
#endif
}

bool cpu_has_bmi2() {
#if defined(__x86_64__)
  __builtin_cpu_init();
  return __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2");
#else
  return false;
#endif
}

// The 512-bit kernels: VPCLMULQDQ on zmm registers (wide GHASH), and with
// VAES as well, the wide GCM kernel.
bool cpu_has_clmul512() {
#if defined(__x86_64__)
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq") &&
         __builtin_cpu_supports("vpclmulqdq");
#else
  return false;
#endif
}

bool cpu_has_vaes() {
#if defined(__x86_64__)
  __builtin_cpu_init();
  return __builtin_cpu_supports("vaes");
#else
  return false;
#endif
}

}  // namespace

bool use_clmul512() {
  static const bool available = cpu_has_clmul512();
  return available && use_x86();
}

bool use_vaes512() {
  static const bool available = cpu_has_vaes();
  return available && use_clmul512();
}

bool use_bmi2() {
  static const bool available = cpu_has_bmi2();
  return available && g_force_portable.load(std::memory_order_relaxed) == 0;
}

bool use_x86() {
  static const bool available = cpu_has_x86_kernels();
  return available && g_force_portable.load(std::memory_order_relaxed) == 0;
}

void force_portable_flag(int on) { g_force_portable.store(on != 0 ? 1 : 0); }

}  // namespace tw3c

void tw3_crypto_force_portable(int on) { tw3c::force_portable_flag(on); }

int tw3_crypto_accelerated() { return tw3c::use_x86() ? 1 : 0; }
