// A CCM-style mode over a caller-built 16-byte block B whose last byte is the
// block counter: CBC-MAC from B itself, CTR with B's counter byte set to n.
#include "crypto/internal.h"

using namespace tw3c;

namespace {

constexpr uint64_t kBlock = 16;

// MAC over the plaintext in buf: a CBC chain starting from B, last block zero-filled.
void ccm_mac(const tw3_aes128* ks, const uint8_t b[16], const uint8_t* buf, uint64_t len,
             uint8_t mac[16]) {
  std::memcpy(mac, b, kBlock);
  for (uint64_t off = 0; off < len; off += kBlock) {
    uint64_t n = len - off < kBlock ? len - off : kBlock;
    for (uint64_t i = 0; i < n; i++) mac[i] ^= buf[off + i];
    k_aes128_encrypt(ks, mac, mac);
  }
}

// Data block n (from 1) uses AES-K(B with last byte n); the counter byte wraps.
void ccm_ctr(const tw3_aes128* ks, const uint8_t b[16], uint8_t* buf, uint64_t len) {
  uint8_t cb[kBlock], stream[kBlock];
  std::memcpy(cb, b, kBlock);
  uint64_t n = 1;
  for (uint64_t off = 0; off < len; off += kBlock, n++) {
    cb[kBlock - 1] = uint8_t(n);
    k_aes128_encrypt(ks, cb, stream);
    uint64_t m = len - off < kBlock ? len - off : kBlock;
    for (uint64_t i = 0; i < m; i++) buf[off + i] ^= stream[i];
  }
  wipe_rule(stream, sizeof stream);
}

void ccm_tag(const tw3_aes128* ks, const uint8_t b[16], const uint8_t mac[16], uint64_t len,
             uint8_t tag[16]) {
  uint8_t cb[kBlock];
  std::memcpy(cb, b, kBlock);
  cb[kBlock - 1] = uint8_t((len + kBlock - 1) / kBlock + 1);
  k_aes128_encrypt(ks, cb, tag);
  xor16(tag, tag, mac);
}

}  // namespace

void k_ccm_init(tw3_aes128* ks, const uint8_t key[16]) { k_aes128_setkey(ks, key); }

void k_ccm_seal(const tw3_aes128* ks, const uint8_t b[16], uint8_t* buf, uint64_t len,
                uint8_t tag[16]) {
  uint8_t mac[kBlock];
  ccm_mac(ks, b, buf, len, mac);
  ccm_ctr(ks, b, buf, len);
  ccm_tag(ks, b, mac, len, tag);
}

int k_ccm_open(const tw3_aes128* ks, const uint8_t b[16], uint8_t* buf, uint64_t len,
               const uint8_t tag[16]) {
  ccm_ctr(ks, b, buf, len);
  uint8_t mac[kBlock], expect[kBlock];
  ccm_mac(ks, b, buf, len, mac);
  ccm_tag(ks, b, mac, len, expect);
  if (diff_bytes(expect, tag, kBlock) != 0) {
    wipe_rule(buf, len);
    return -1;
  }
  return 0;
}
