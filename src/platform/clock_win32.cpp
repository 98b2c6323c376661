// Clock, random source and environment on Windows.
#include <cstdlib>
#include <string>

#include "platform/platform.h"
#include "platform/win32.h"

#include <bcrypt.h>  // after windows.h, whose types it uses

namespace {

constexpr size_t kRandomChunk = 1u << 30;       // BCryptGenRandom takes a ULONG count

}  // namespace

uint64_t tw3_now_ms() { return GetTickCount64(); }

int64_t tw3_unix_now() {
  FILETIME ft{};
  GetSystemTimeAsFileTime(&ft);
  return tw3w::unix_of(ft);
}

int tw3_os_random(void* buf, size_t n) {
  auto* p = static_cast<unsigned char*>(buf);
  while (n > 0) {
    const size_t step = n < kRandomChunk ? n : kRandomChunk;
    if (BCryptGenRandom(nullptr, p, static_cast<ULONG>(step), BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0) return -1;
    p += step;
    n -= step;
  }
  return 0;
}

// getenv sees the ANSI code page; the wide environment holds every name.
const char* tw3_getenv(const char* name) {
  thread_local std::string value;
  std::wstring wname;
  if (name == nullptr || !tw3w::to_wide(name, &wname)) return nullptr;
  const wchar_t* w = _wgetenv(wname.c_str());
  if (w == nullptr || !tw3w::to_utf8(w, &value)) return nullptr;
  return value.c_str();
}
