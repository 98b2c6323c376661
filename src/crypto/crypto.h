// Cryptography: every hash, MAC, cipher and key-derivation primitive the
// server uses, written here without any cryptographic library.
//
// Conventions for everything in this header:
//  - Lengths are unsigned 64-bit byte counts; outputs are caller buffers of
//    the stated size. Nothing allocates, nothing fails, nothing reports errors.
//  - Contexts are plain fixed-size records owned by the caller (no pointers
//    inside); they may be copied, embedded by value and used from any thread.
//  - Pure functions of their arguments: any thread may call any of them at any
//    time. The AES S-boxes are built once, on the first key setup, under a
//    once-only initialisation.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- SHA-256 (FIPS 180-4) ----
struct tw3_sha256_ctx {
  uint32_t state[8];
  uint64_t total;     // message bytes absorbed so far
  uint8_t buf[64];
  uint64_t buf_len;   // 0..63
};
void tw3_sha256_init(tw3_sha256_ctx* ctx);
void tw3_sha256_update(tw3_sha256_ctx* ctx, const void* data, uint64_t len);
// Writes the 32-byte digest; ctx is spent afterwards.
void tw3_sha256_final(tw3_sha256_ctx* ctx, uint8_t out[32]);
void tw3_sha256(const void* data, uint64_t len, uint8_t out[32]);

// ---- HMAC-SHA-256 (RFC 2104) ----
// `inner` comes first so that feeding message data is exactly a SHA-256
// update of the inner context (the key derivation relies on this).
struct tw3_hmac256_ctx {
  tw3_sha256_ctx inner;
  tw3_sha256_ctx outer;    // working space for the final step
  uint8_t opad[64];        // block-sized key XOR 0x5c
};
void tw3_hmac256_init(tw3_hmac256_ctx* ctx, const void* key, uint64_t key_len);
void tw3_hmac256_update(tw3_hmac256_ctx* ctx, const void* data, uint64_t len);
void tw3_hmac256_final(tw3_hmac256_ctx* ctx, uint8_t out[32]);
void tw3_hmac256(const void* key, uint64_t key_len, const void* data, uint64_t data_len,
                 uint8_t out[32]);

// ---- MD5 (RFC 1321) and MD4 (RFC 1320), one-shot ----
void tw3_md5(const void* data, uint64_t len, uint8_t out[16]);
void tw3_md4(const void* data, uint64_t len, uint8_t out[16]);

// ---- HMAC-MD5 ----
struct tw3_hmacmd5_ctx {
  uint8_t opad[64];        // key XOR 0x5c
  uint32_t state[4];       // inner MD5, inner key block already absorbed
  uint64_t count;          // message bytes fed after the inner key block
  uint8_t buf[64];
  uint64_t buf_len;        // 0..63
  uint32_t o_state[4];     // working space for the outer pass
  uint64_t o_count;
  uint8_t o_buf[64];
};
void tw3_hmacmd5_init(tw3_hmacmd5_ctx* ctx, const void* key, uint64_t key_len);
void tw3_hmacmd5_update(tw3_hmacmd5_ctx* ctx, const void* data, uint64_t len);
void tw3_hmacmd5_final(tw3_hmacmd5_ctx* ctx, uint8_t out[16]);
void tw3_hmacmd5(const void* key, uint64_t key_len, const void* data, uint64_t data_len,
                 uint8_t out[16]);

// ---- RC4 ----
struct tw3_rc4_state {
  uint8_t s[256];
  uint8_t i;
  uint8_t j;
};
// Key schedule. A key_len of 0 is treated as the one-byte key 0x00.
void tw3_rc4_init(tw3_rc4_state* st, const void* key, uint64_t key_len);
// XORs the next len keystream bytes into buf in place.
void tw3_rc4(tw3_rc4_state* st, uint8_t* buf, uint64_t len);

// ---- SHA-512 (FIPS 180-4) ----
struct tw3_sha512_ctx {
  uint64_t state[8];
  uint64_t total;     // message bytes absorbed so far
  uint8_t buf[128];
  uint64_t buf_len;   // 0..127
};
void tw3_sha512_init(tw3_sha512_ctx* ctx);
void tw3_sha512_update(tw3_sha512_ctx* ctx, const void* data, uint64_t len);
void tw3_sha512_final(tw3_sha512_ctx* ctx, uint8_t out[64]);
void tw3_sha512(const void* data, uint64_t len, uint8_t out[64]);

// ---- HMAC-SHA-512 ----
struct tw3_hmac512_ctx {
  uint8_t ipad[128];       // key XOR 0x36
  uint8_t opad[128];       // key XOR 0x5c
  tw3_sha512_ctx inner;
};
void tw3_hmac512_init(tw3_hmac512_ctx* ctx, const void* key, uint64_t key_len);
void tw3_hmac512_update(tw3_hmac512_ctx* ctx, const void* data, uint64_t len);
void tw3_hmac512_final(tw3_hmac512_ctx* ctx, uint8_t out[64]);
void tw3_hmac512(const void* key, uint64_t key_len, const void* data, uint64_t data_len,
                 uint8_t out[64]);

// ---- SP 800-108 counter-mode key derivation ----
// PRF input per block i = 1, 2, ...: i (32-bit BE) | label and its zero byte
// (nothing for a null label) | 0x00 separator | context | L = 128 (32-bit BE).
// Each PRF block yields min(block size, bytes still wanted) bytes of out.
void tw3_kdf_ctr_hmacsha256(const void* key, uint64_t key_len, const char* label,
                            const void* context, uint64_t context_len, uint8_t* out,
                            uint64_t out_len);
// The same with L = 256, for the 32-byte keys of the AES-256 ciphers.
void tw3_kdf_ctr_hmacsha256_l256(const void* key, uint64_t key_len, const char* label,
                                 const void* context, uint64_t context_len, uint8_t* out,
                                 uint64_t out_len);
// The SMB 3.0 form: the same without the separator byte.
void tw3_kdf3_0_ctr_hmacsha256(const void* key, uint64_t key_len, const char* label,
                               const void* context, uint64_t context_len, uint8_t* out,
                               uint64_t out_len);
void tw3_kdf_ctr_hmacsha512(const void* key, uint64_t key_len, const char* label,
                            const void* context, uint64_t context_len, uint8_t* out,
                            uint64_t out_len);
// Signature shared by the three derivation functions.
using tw3_kdf_fn = void (*)(const void*, uint64_t, const char*, const void*, uint64_t,
                            uint8_t*, uint64_t);

// ---- Secrets ----
// Sets len bytes to zero in a way the compiler cannot remove.
void tw3_wipe(void* buf, uint64_t len);
// 1 when the len bytes are equal (and when len is 0), else 0; reads every byte.
int tw3_ct_equal(const void* a, const void* b, uint64_t len);

// ---- AES (FIPS 197): 128-bit keys, and 256-bit keys for the SMB 3.1.1 ciphers ----
// One schedule record serves both key sizes (the name is historical).
struct tw3_aes128 {
  uint32_t rk[60];    // round-key words, key-schedule bytes big-endian (AES-128 uses 44)
  int32_t rounds;     // 10 for AES-128, 14 for AES-256
};
void k_aes128_setkey(tw3_aes128* ks, const uint8_t key[16]);
void k_aes256_setkey(tw3_aes128* ks, const uint8_t key[32]);
// in and out may be the same block.
void k_aes128_encrypt(const tw3_aes128* ks, const uint8_t in[16], uint8_t out[16]);
void k_aes128_decrypt(const tw3_aes128* ks, const uint8_t in[16], uint8_t out[16]);

// ---- AES-CMAC (SP 800-38B, RFC 4493) ----
struct tw3_cmac_ctx {
  tw3_aes128 ks;
  uint8_t k1[16];
  uint8_t k2[16];
  uint8_t x[16];      // running CBC value
  uint8_t m[16];      // pending block; the last block waits for final
  uint64_t m_len;     // 0..16
};
void k_cmac_init(tw3_cmac_ctx* ctx, const uint8_t key[16]);
void k_cmac_update(tw3_cmac_ctx* ctx, const void* data, uint64_t len);
void k_cmac_final(tw3_cmac_ctx* ctx, uint8_t out[16]);
void k_cmac(const uint8_t key[16], const void* data, uint64_t len, uint8_t out[16]);

// ---- AES-GCM / GMAC (SP 800-38D) with 12-byte nonces and 16-byte tags ----
struct tw3_gcm_ctx {
  tw3_aes128 ks;
  uint64_t h_hi;      // H = AES-K(0^128), bytes 0..7 big-endian
  uint64_t h_lo;      // bytes 8..15 big-endian
};
void k_gcm_init(tw3_gcm_ctx* ctx, const uint8_t key[16]);
void k_gcm_init256(tw3_gcm_ctx* ctx, const uint8_t key[32]);
void k_gcm_tag(const tw3_gcm_ctx* ctx, const uint8_t nonce[12], const void* aad,
               uint64_t aad_len, const void* text, uint64_t text_len, uint8_t tag[16]);
// GMAC: the tag with no text.
void k_gcm_tag_only(const tw3_gcm_ctx* ctx, const uint8_t nonce[12], const void* aad,
                    uint64_t aad_len, uint8_t tag[16]);
// GCTR keystream (counters from 2) XORed into buf in place.
void k_gcm_crypt(const tw3_gcm_ctx* ctx, const uint8_t nonce[12], uint8_t* buf, uint64_t len);
void k_gcm_seal(const tw3_gcm_ctx* ctx, const uint8_t nonce[12], const void* aad,
                uint64_t aad_len, uint8_t* buf, uint64_t len, uint8_t tag[16]);
// 0 and buf decrypted when the tag matches; -1 and buf untouched otherwise.
int k_gcm_open(const tw3_gcm_ctx* ctx, const uint8_t nonce[12], const void* aad,
               uint64_t aad_len, uint8_t* buf, uint64_t len, const uint8_t tag[16]);

// ---- CCM-style mode over a caller-built 16-byte block B (last byte: counter) ----
void k_ccm_init(tw3_aes128* ks, const uint8_t key[16]);
void k_ccm_seal(const tw3_aes128* ks, const uint8_t b[16], uint8_t* buf, uint64_t len,
                uint8_t tag[16]);
// 0 on a matching tag; -1 with buf erased otherwise.
int k_ccm_open(const tw3_aes128* ks, const uint8_t b[16], uint8_t* buf, uint64_t len,
               const uint8_t tag[16]);

// ---- CCM (SP 800-38C, RFC 3610) with associated data ----
// nonce_len 7..13 (SMB 3 uses 11), tag_len even in 4..16 (SMB 3 uses 16);
// the caller keeps to those ranges and to messages below 2^(8*(15-nonce_len)).
void k_ccm_aead_seal(const tw3_aes128* ks, const uint8_t* nonce, uint64_t nonce_len,
                     const void* aad, uint64_t aad_len, uint8_t* buf, uint64_t len,
                     uint8_t* tag, uint64_t tag_len);
// 0 with buf decrypted when the tag matches; -1 with buf erased otherwise.
int k_ccm_aead_open(const tw3_aes128* ks, const uint8_t* nonce, uint64_t nonce_len,
                    const void* aad, uint64_t aad_len, uint8_t* buf, uint64_t len,
                    const uint8_t* tag, uint64_t tag_len);

// ---- Self-test ----
// 0 when all thirteen known-answer checks pass, -1 otherwise. Prints nothing.
int tw3_selftest();
// Test hook: the same run with check 11 computed by `kdf11`.
int tw3_selftest_with(tw3_kdf_fn kdf11);

// ---- Accelerated paths ----
// Test and benchmark hook: nonzero forces the portable code everywhere.
void tw3_crypto_force_portable(int on);
// 1 when AES-NI + PCLMULQDQ kernels are in use (CPU support, not forced off).
int tw3_crypto_accelerated();
