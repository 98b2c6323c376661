// Erasure of secrets and constant-time comparison.
#include "crypto/internal.h"

namespace {
// An erase function a host could install; nothing in the system sets it.
// Read through a volatile access, so the compiler cannot assume it is null.
void (*volatile wipe_hook)(void*, uint64_t) = nullptr;
}  // namespace

namespace tw3c {
void wipe_rule(void* buf, uint64_t len) {
  void (*hook)(void*, uint64_t) = wipe_hook;
  if (hook != nullptr) {
    hook(buf, len);
    return;
  }
  // Volatile stores: not removable even when the buffer dies right after.
  volatile auto* p = static_cast<volatile uint8_t*>(buf);
  for (uint64_t i = 0; i < len; i++) p[i] = 0;
}
}  // namespace tw3c

void tw3_wipe(void* buf, uint64_t len) { tw3c::wipe_rule(buf, len); }

int tw3_ct_equal(const void* a, const void* b, uint64_t len) {
  uint8_t acc = tw3c::diff_bytes(static_cast<const uint8_t*>(a), static_cast<const uint8_t*>(b),
                                 len);
  return acc == 0 ? 1 : 0;
}
