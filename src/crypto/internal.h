// Helpers shared by the crypto sources only: byte-order access, the wipe
// rule, the AES tables and the dispatch to the accelerated kernels.
#pragma once

#include <cstdint>
#include <cstring>

#include "crypto/crypto.h"
#include "util/le.h"

namespace tw3c {

inline uint32_t load_be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}
inline uint64_t load_be64(const uint8_t* p) {
  return uint64_t(load_be32(p)) << 32 | load_be32(p + 4);
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

// ---- Block-hash plumbing shared by MD4, MD5, SHA-256 and SHA-512 ----

// A fresh streaming context: the initial state, nothing absorbed yet.
template <class Ctx, class Word, uint64_t N>
inline void hash_init(Ctx* ctx, const Word (&init)[N]) {
  static_assert(sizeof ctx->state == sizeof init);
  std::memcpy(ctx->state, init, sizeof init);
  ctx->total = 0;
  ctx->buf_len = 0;
  std::memset(ctx->buf, 0, sizeof ctx->buf);
}

// Streaming input for a context with state, total, buf and buf_len: fills the
// partial block first, then hands whole blocks straight from the input to
// blocks(state, data, nblocks) (the same result as buffering them), and keeps
// the tail for later.
template <uint64_t Block, class Ctx, class Blocks>
inline void absorb(Ctx* ctx, const uint8_t* p, uint64_t len, Blocks blocks) {
  ctx->total += len;
  if (ctx->buf_len > 0) {
    uint64_t take = Block - ctx->buf_len;
    if (take > len) take = len;
    std::memcpy(ctx->buf + ctx->buf_len, p, take);
    ctx->buf_len += take;
    p += take;
    len -= take;
    if (ctx->buf_len < Block) return;
    blocks(ctx->state, ctx->buf, 1);
    ctx->buf_len = 0;
  }
  blocks(ctx->state, p, len / Block);
  p += len - len % Block;
  len %= Block;
  if (len > 0) std::memcpy(ctx->buf, p, len);
  ctx->buf_len = len;
}

// SHA ending through update(ctx, data, len): the 0x80 marker, zeros up to the
// length field, then the message bit count big-endian in LengthBytes bytes.
template <uint64_t Block, uint64_t LengthBytes, class Ctx, class Update>
inline void pad_be(Ctx* ctx, Update update) {
  constexpr uint64_t kLengthAt = Block - LengthBytes;  // padding stops here
  uint8_t bits[LengthBytes] = {};
  store_be64(bits + LengthBytes - 8, ctx->total * 8);
  static constexpr uint8_t kPad[Block] = {0x80};
  uint64_t pad = ctx->buf_len < kLengthAt ? kLengthAt - ctx->buf_len
                                          : Block + kLengthAt - ctx->buf_len;
  update(ctx, kPad, pad);
  update(ctx, bits, sizeof bits);
}

// ---- MD4 / MD5 (64-byte blocks, little-endian words and bit count) ----
constexpr uint64_t kMdBlock = 64;
constexpr uint64_t kMdLengthAt = 56;  // padding stops here; the 8-byte bit count follows
constexpr uint32_t kMdInit[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};

// The MD ending: the last `rest` (< 64) bytes, the 0x80 marker, zeros and the
// bit count `bits`, compressed as one block or two. The padded copy is wiped:
// it may hold the end of a password or key.
template <class Compress>
inline void md_finish(uint32_t state[4], const uint8_t* last, uint64_t rest, uint64_t bits,
                      Compress compress) {
  uint8_t tail[2 * kMdBlock] = {};
  if (rest > 0) std::memcpy(tail, last, rest);
  tail[rest] = 0x80;
  uint64_t end = rest < kMdLengthAt ? kMdBlock : 2 * kMdBlock;
  put_le64(tail + end - 8, bits);
  for (uint64_t off = 0; off < end; off += kMdBlock) compress(state, tail + off);
  wipe_rule(tail, sizeof tail);
}

// One-shot MD4 or MD5 digest around its block function.
template <class Compress>
inline void md_digest(const void* data, uint64_t len, uint8_t out[16], Compress compress) {
  const auto* p = static_cast<const uint8_t*>(data);
  uint32_t st[4];
  std::memcpy(st, kMdInit, sizeof st);
  uint64_t whole = len - len % kMdBlock;
  for (uint64_t off = 0; off < whole; off += kMdBlock) compress(st, p + off);
  md_finish(st, p + whole, len - whole, len * 8, compress);
  for (int i = 0; i < 4; i++) put_le32(out + 4 * i, st[i]);
}

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
// CCM's two halves in one pass over nblocks whole blocks of buf: the CBC-MAC
// chain x absorbs the plaintext while CTR with a0's counter field set to 1, 2,
// ... encrypts (or decrypts, when `decrypt`) buf in place.
void x86_ccm_blocks(const tw3_aes128* ks, const uint8_t a0[16], uint8_t x[16], uint8_t* buf,
                    uint64_t nblocks, bool decrypt);
void x86_ghash(uint64_t h_hi, uint64_t h_lo, ghash_acc* acc, const uint8_t* data, uint64_t len);
// Keystream from counter `ctr` (big-endian after the 12-byte nonce) XORed into buf.
void x86_gctr(const tw3_aes128* ks, const uint8_t nonce[12], uint32_t ctr, uint8_t* buf,
              uint64_t len);
// GCM's bulk: ngroups groups of eight whole blocks of buf encrypted (or, when
// `decrypt`, decrypted) in place from counter `ctr`, the ciphertext absorbed
// into acc under H = (h_hi, h_lo) in the same pass.
void x86_gcm_groups(const tw3_aes128* ks, uint64_t h_hi, uint64_t h_lo, const uint8_t nonce[12],
                    uint32_t ctr, ghash_acc* acc, uint8_t* buf, uint64_t ngroups, bool decrypt);
constexpr uint64_t kGcmGroupBytes = 8 * 16;  // what one x86_gcm_groups group covers
// The same over nstrides strides of sixteen blocks with VAES and VPCLMULQDQ
// (call only when use_vaes512()).
void x86_gcm_wide(const tw3_aes128* ks, uint64_t h_hi, uint64_t h_lo, const uint8_t nonce[12],
                  uint32_t ctr, ghash_acc* acc, uint8_t* buf, uint64_t nstrides, bool decrypt);
constexpr uint64_t kGcmWideBytes = 16 * 16;  // what one x86_gcm_wide stride covers
bool use_clmul512();  // 512-bit VPCLMULQDQ, for the wide GHASH
bool use_vaes512();   // and VAES too, for the wide GCM kernel

}  // namespace tw3c
