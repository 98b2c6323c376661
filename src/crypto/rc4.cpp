// RC4: decrypts the client's exported session key under NTLM key exchange.
#include "crypto/internal.h"

void tw3_rc4_init(tw3_rc4_state* st, const void* key, uint64_t key_len) {
  // A zero-length key would divide by zero below; use the one-byte key 0x00.
  static constexpr uint8_t kZeroKey = 0;
  const auto* k = key_len > 0 ? static_cast<const uint8_t*>(key) : &kZeroKey;
  if (key_len == 0) key_len = 1;
  for (int i = 0; i < 256; i++) st->s[i] = uint8_t(i);
  uint8_t j = 0;
  for (int i = 0; i < 256; i++) {
    j = uint8_t(j + st->s[i] + k[uint64_t(i) % key_len]);
    uint8_t t = st->s[i];
    st->s[i] = st->s[j];
    st->s[j] = t;
  }
  st->i = 0;
  st->j = 0;
}

void tw3_rc4(tw3_rc4_state* st, uint8_t* buf, uint64_t len) {
  uint8_t i = st->i, j = st->j;
  for (uint64_t n = 0; n < len; n++) {
    i = uint8_t(i + 1);
    j = uint8_t(j + st->s[i]);
    uint8_t t = st->s[i];
    st->s[i] = st->s[j];
    st->s[j] = t;
    buf[n] ^= st->s[uint8_t(st->s[i] + st->s[j])];
  }
  st->i = i;
  st->j = j;
}
