// AES-GCM and GMAC (SP 800-38D) with 12-byte nonces and 16-byte tags. GMAC
// signs SMB 3.1.1 messages when negotiated; the rest is carried for encryption.
#include "crypto/internal.h"

using namespace tw3c;

namespace {

constexpr uint64_t kBlock = 16;
constexpr uint64_t kReduceTop = 0xe100000000000000ULL;  // R = 11100001 || 0^120
constexpr uint32_t kTagCounter = 1;                     // J0
constexpr uint32_t kFirstTextCounter = 2;
constexpr uint8_t kZeroBlock[kBlock] = {};

// SP 800-38D bit-serial multiplication acc = acc * H, without data-dependent
// branches: the conditional XORs use all-ones or all-zero masks.
void k_gf_mul(ghash_acc* acc, uint64_t h_hi, uint64_t h_lo) {
  uint64_t z_hi = 0, z_lo = 0, v_hi = h_hi, v_lo = h_lo;
  for (int i = 0; i < 128; i++) {
    uint64_t word = i < 64 ? acc->hi : acc->lo;
    uint64_t bit = (word >> (63 - (i & 63))) & 1;
    uint64_t take = 0 - bit;
    z_hi ^= v_hi & take;
    z_lo ^= v_lo & take;
    uint64_t out = 0 - (v_lo & 1);
    v_lo = (v_lo >> 1) | (v_hi << 63);
    v_hi = (v_hi >> 1) ^ (kReduceTop & out);
  }
  acc->hi = z_hi;
  acc->lo = z_lo;
}

void counter_block(uint8_t out[16], const uint8_t nonce[12], uint32_t ctr) {
  std::memcpy(out, nonce, 12);
  store_be32(out + 12, ctr);
}

void gctr(const tw3_gcm_ctx* ctx, const uint8_t nonce[12], uint32_t ctr, uint8_t* buf,
          uint64_t len) {
  if (use_x86()) {
    x86_gctr(&ctx->ks, nonce, ctr, buf, len);
    return;
  }
  uint8_t cb[kBlock], ks[kBlock];
  for (uint64_t off = 0; off < len; off += kBlock, ctr++) {
    counter_block(cb, nonce, ctr);
    aes128_encrypt_portable(&ctx->ks, cb, ks);
    uint64_t n = len - off < kBlock ? len - off : kBlock;
    for (uint64_t i = 0; i < n; i++) buf[off + i] ^= ks[i];
  }
  wipe_rule(ks, sizeof ks);
}

}  // namespace

namespace tw3c {

void k_ghash_blocks(const tw3_gcm_ctx* ctx, ghash_acc* acc, const uint8_t* data, uint64_t len) {
  if (use_x86()) {
    x86_ghash(ctx->h_hi, ctx->h_lo, acc, data, len);
    return;
  }
  for (uint64_t off = 0; off < len; off += kBlock) {
    uint8_t block[kBlock] = {};
    std::memcpy(block, data + off, len - off < kBlock ? len - off : kBlock);
    acc->hi ^= load_be64(block);
    acc->lo ^= load_be64(block + 8);
    k_gf_mul(acc, ctx->h_hi, ctx->h_lo);
  }
}

}  // namespace tw3c

namespace {

// H = AES-K(0^128) for a keyed schedule.
void hash_subkey(tw3_gcm_ctx* ctx) {
  uint8_t h[kBlock];
  k_aes128_encrypt(&ctx->ks, kZeroBlock, h);
  ctx->h_hi = load_be64(h);
  ctx->h_lo = load_be64(h + 8);
  wipe_rule(h, sizeof h);
}

}  // namespace

void k_gcm_init(tw3_gcm_ctx* ctx, const uint8_t key[16]) {
  k_aes128_setkey(&ctx->ks, key);
  hash_subkey(ctx);
}

void k_gcm_init256(tw3_gcm_ctx* ctx, const uint8_t key[32]) {
  k_aes256_setkey(&ctx->ks, key);
  hash_subkey(ctx);
}

namespace {

// The tag from the hash of AAD and text: the lengths block, then E(K, J0) ^ S.
void finish_tag(const tw3_gcm_ctx* ctx, const uint8_t nonce[12], ghash_acc acc, uint64_t aad_len,
                uint64_t text_len, uint8_t tag[16]) {
  uint8_t lengths[kBlock];
  store_be64(lengths, aad_len * 8);
  store_be64(lengths + 8, text_len * 8);
  k_ghash_blocks(ctx, &acc, lengths, sizeof lengths);
  uint8_t j0[kBlock];
  counter_block(j0, nonce, kTagCounter);
  k_aes128_encrypt(&ctx->ks, j0, tag);
  uint8_t s[kBlock];
  store_be64(s, acc.hi);
  store_be64(s + 8, acc.lo);
  xor16(tag, tag, s);
}

// Whole eight-block groups go through the stitched kernel; the rest (under
// 128 bytes) through GCTR and GHASH apart. Returns the hash of AAD and text.
ghash_acc crypt_and_hash_x86(const tw3_gcm_ctx* ctx, const uint8_t nonce[12], const void* aad,
                             uint64_t aad_len, uint8_t* buf, uint64_t len, bool decrypt) {
  ghash_acc acc{0, 0};
  k_ghash_blocks(ctx, &acc, static_cast<const uint8_t*>(aad), aad_len);
  uint64_t done = 0;
  if (use_vaes512()) {
    const uint64_t strides = len / kGcmWideBytes;
    x86_gcm_wide(&ctx->ks, ctx->h_hi, ctx->h_lo, nonce, kFirstTextCounter, &acc, buf, strides,
                 decrypt);
    done = strides * kGcmWideBytes;
  }
  const uint64_t groups = (len - done) / kGcmGroupBytes;
  x86_gcm_groups(&ctx->ks, ctx->h_hi, ctx->h_lo, nonce,
                 kFirstTextCounter + uint32_t(done / kBlock), &acc, buf + done, groups, decrypt);
  done += groups * kGcmGroupBytes;
  const uint32_t tail_ctr = kFirstTextCounter + uint32_t(done / kBlock);
  if (decrypt) k_ghash_blocks(ctx, &acc, buf + done, len - done);
  gctr(ctx, nonce, tail_ctr, buf + done, len - done);
  if (!decrypt) k_ghash_blocks(ctx, &acc, buf + done, len - done);
  return acc;
}

}  // namespace

void k_gcm_tag(const tw3_gcm_ctx* ctx, const uint8_t nonce[12], const void* aad,
               uint64_t aad_len, const void* text, uint64_t text_len, uint8_t tag[16]) {
  ghash_acc acc{0, 0};
  k_ghash_blocks(ctx, &acc, static_cast<const uint8_t*>(aad), aad_len);
  k_ghash_blocks(ctx, &acc, static_cast<const uint8_t*>(text), text_len);
  finish_tag(ctx, nonce, acc, aad_len, text_len, tag);
}

void k_gcm_tag_only(const tw3_gcm_ctx* ctx, const uint8_t nonce[12], const void* aad,
                    uint64_t aad_len, uint8_t tag[16]) {
  k_gcm_tag(ctx, nonce, aad, aad_len, nullptr, 0, tag);
}

void k_gcm_crypt(const tw3_gcm_ctx* ctx, const uint8_t nonce[12], uint8_t* buf, uint64_t len) {
  gctr(ctx, nonce, kFirstTextCounter, buf, len);
}

void k_gcm_seal(const tw3_gcm_ctx* ctx, const uint8_t nonce[12], const void* aad,
                uint64_t aad_len, uint8_t* buf, uint64_t len, uint8_t tag[16]) {
  if (use_x86()) {
    ghash_acc acc = crypt_and_hash_x86(ctx, nonce, aad, aad_len, buf, len, false);
    finish_tag(ctx, nonce, acc, aad_len, len, tag);
    return;
  }
  k_gcm_crypt(ctx, nonce, buf, len);
  k_gcm_tag(ctx, nonce, aad, aad_len, buf, len, tag);
}

// The x86 path decrypts while it hashes, so a failed tag costs a second CTR
// pass that restores the ciphertext: unauthenticated plaintext never stays
// behind in the caller's buffer.
int k_gcm_open(const tw3_gcm_ctx* ctx, const uint8_t nonce[12], const void* aad,
               uint64_t aad_len, uint8_t* buf, uint64_t len, const uint8_t tag[16]) {
  uint8_t expect[kBlock];
  if (use_x86()) {
    ghash_acc acc = crypt_and_hash_x86(ctx, nonce, aad, aad_len, buf, len, true);
    finish_tag(ctx, nonce, acc, aad_len, len, expect);
    if (diff_bytes(expect, tag, kBlock) == 0) return 0;
    k_gcm_crypt(ctx, nonce, buf, len);
    return -1;
  }
  k_gcm_tag(ctx, nonce, aad, aad_len, buf, len, expect);
  if (diff_bytes(expect, tag, kBlock) != 0) return -1;
  k_gcm_crypt(ctx, nonce, buf, len);
  return 0;
}
