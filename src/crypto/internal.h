// Helpers shared by the crypto sources only: byte-order access, the wipe
// rule, the AES tables and the dispatch to the accelerated kernels.
#pragma once

#include <cstdint>
#include <cstring>

#include "crypto/crypto.h"

namespace tw3c {

inline uint32_t load_be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}
inline uint64_t load_be64(const uint8_t* p) {
  return uint64_t(load_be32(p)) << 32 | load_be32(p + 4);
}
inline uint32_t load_le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline void store_be32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}
inline void store_be64(uint8_t* p, uint64_t v) {
  store_be32(p, uint32_t(v >> 32));
  store_be32(p + 4, uint32_t(v));
}
inline void store_le32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}
inline void store_le64(uint8_t* p, uint64_t v) {
  store_le32(p, uint32_t(v));
  store_le32(p + 4, uint32_t(v >> 32));
}
inline uint32_t rotl32(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }
inline uint32_t rotr32(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }
inline uint64_t rotr64(uint64_t x, int n) { return (x >> n) | (x << (64 - n)); }

inline void xor16(uint8_t* dst, const uint8_t* a, const uint8_t* b) {
  for (int i = 0; i < 16; i++) dst[i] = uint8_t(a[i] ^ b[i]);
}

// OR of the XOR of every byte pair: zero exactly when equal; never stops early.
inline uint8_t diff_bytes(const uint8_t* a, const uint8_t* b, uint64_t len) {
  uint8_t acc = 0;
  for (uint64_t i = 0; i < len; i++) acc = uint8_t(acc | (a[i] ^ b[i]));
  return acc;
}

// Erasure through the wipe hook when set, otherwise byte stores through a
// volatile pointer, so the stores survive even when the buffer dies next.
void wipe_rule(void* buf, uint64_t len);

// ---- MD5 compression (used by MD5 and HMAC-MD5) ----
void md5_block(uint32_t state[4], const uint8_t block[64]);

// ---- SHA compression, looping over nblocks whole blocks ----
void sha256_blocks(uint32_t state[8], const uint8_t* data, uint64_t nblocks);
void k_sha512_block(uint64_t state[8], const uint8_t block[128]);

// ---- AES tables, filled once by k_ae_init_tables ----
extern uint8_t k_ae_sbox[256];
extern uint8_t k_ae_sbox_inv[256];
void k_ae_init_tables();
int k_ae_is_ready();

// Portable AES kernels (always available; the reference for the others).
void aes128_setkey_portable(tw3_aes128* ks, const uint8_t key[16]);
void aes128_encrypt_portable(const tw3_aes128* ks, const uint8_t in[16], uint8_t out[16]);

// GHASH accumulator: two big-endian halves, like H.
struct ghash_acc {
  uint64_t hi;
  uint64_t lo;
};
// Absorbs data 16 bytes at a time (a short last piece zero-filled).
void k_ghash_blocks(const tw3_gcm_ctx* ctx, ghash_acc* acc, const uint8_t* data, uint64_t len);

// ---- Dispatch: 1 when the x86 AES-NI/PCLMULQDQ kernels are to be used ----
bool use_x86();
// 1 when the BMI2 build of the SHA-512 compression is to be used.
bool use_bmi2();

// x86 kernels (defined only in the accelerated source; call only when use_x86()).
void x86_aes128_setkey(tw3_aes128* ks, const uint8_t key[16]);
void x86_aes128_encrypt(const tw3_aes128* ks, const uint8_t in[16], uint8_t out[16]);
// CBC-MAC over nblocks whole blocks: x = AES(x ^ block) for each.
void x86_cmac_blocks(const tw3_aes128* ks, uint8_t x[16], const uint8_t* data, uint64_t nblocks);
void x86_ghash(uint64_t h_hi, uint64_t h_lo, ghash_acc* acc, const uint8_t* data, uint64_t len);
// Keystream from counter `ctr` (big-endian after the 12-byte nonce) XORed into buf.
void x86_gctr(const tw3_aes128* ks, const uint8_t nonce[12], uint32_t ctr, uint8_t* buf,
              uint64_t len);

}  // namespace tw3c
