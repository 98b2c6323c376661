// Growable byte buffers and the FNV-1a 64 hash.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "util/util.h"

int g_buf_fail_alloc = 0;

namespace {

constexpr uint64_t kFirstCap = 256;
// Capacities are 256 * 2^k and never exceed 2^32 bytes, so a length always
// fits comfortably in 64-bit arithmetic and a runaway reply cannot exhaust
// memory.
constexpr uint64_t kMaxCap = uint64_t{1} << 32;
constexpr size_t kPrintfLocal = 512;  // short texts are formatted only once
constexpr uint64_t kFnvPrime = 0x100000001b3ULL;

int mark_failed(tw3_buf* b) {
  b->failed = 1;
  return -1;
}

void terminate(tw3_buf* b) { b->data[b->len] = 0; }

}  // namespace

int buf_reserve(tw3_buf* b, uint64_t n) {
  if (b->failed) return -1;
  // len < 2^32 always holds, so with n capped the sum cannot wrap.
  if (n >= kMaxCap) return mark_failed(b);
  const uint64_t need = b->len + n + 1;
  if (b->cap >= need) return 0;
  uint64_t cap = b->cap ? b->cap : kFirstCap;
  while (cap < need) {
    if (cap >= kMaxCap) return mark_failed(b);
    cap *= 2;
  }
  if (g_buf_fail_alloc) return mark_failed(b);
  void* p = std::realloc(b->data, cap);
  if (!p) return mark_failed(b);  // the old content stays as it was
  b->data = static_cast<uint8_t*>(p);
  b->cap = cap;
  return 0;
}

void tw3_buf_put(tw3_buf* b, const void* src, uint64_t n) {
  if (n && !src) return;
  if (buf_reserve(b, n) != 0) return;
  if (n) std::memcpy(b->data + b->len, src, n);
  b->len += n;
  terminate(b);
}

void tw3_buf_str(tw3_buf* b, const char* text) {
  if (!text) return;
  tw3_buf_put(b, text, std::strlen(text));
}

void tw3_buf_byte(tw3_buf* b, int value) {
  if (buf_reserve(b, 1) != 0) return;
  b->data[b->len++] = static_cast<uint8_t>(value & 0xFF);
  terminate(b);
}

void tw3_buf_printf(tw3_buf* b, const char* fmt, ...) {
  if (!fmt) return;
  char local[kPrintfLocal];
  va_list ap;
  va_start(ap, fmt);
  va_list again;
  va_copy(again, ap);
  const int n = std::vsnprintf(local, sizeof local, fmt, ap);
  va_end(ap);
  if (n >= 0 && static_cast<size_t>(n) < sizeof local) {
    tw3_buf_put(b, local, static_cast<uint64_t>(n));
  } else if (n >= 0 && buf_reserve(b, static_cast<uint64_t>(n)) == 0) {
    std::vsnprintf(reinterpret_cast<char*>(b->data + b->len), static_cast<size_t>(n) + 1, fmt,
                   again);
    b->len += static_cast<uint64_t>(n);
  }
  va_end(again);
}

void tw3_buf_free(tw3_buf* b) {
  std::free(b->data);
  *b = tw3_buf{};
}

uint64_t tw3_fnv1a64(const void* data, uint64_t n, uint64_t h) {
  const auto* p = static_cast<const uint8_t*>(data);
  for (uint64_t i = 0; i < n; i++) {
    h ^= p[i];
    h *= kFnvPrime;
  }
  return h;
}
