// AES-CMAC (SP 800-38B, RFC 4493): signs SMB 3.0 and 3.0.2 messages and
// SMB 3.1.1 messages when GMAC was not negotiated.
#include "crypto/internal.h"

using namespace tw3c;

namespace {

constexpr uint64_t kBlock = 16;
constexpr uint8_t kRb = 0x87;  // x^128 = x^7 + x^2 + x + 1
constexpr uint8_t kZeroBlock[kBlock] = {};

// Doubling in GF(2^128): shift left one bit, fold the carry back with Rb.
void k_cmac_dbl(const uint8_t in[16], uint8_t out[16]) {
  uint8_t carry = uint8_t(in[0] >> 7);
  for (int i = 0; i < 15; i++) out[i] = uint8_t((in[i] << 1) | (in[i + 1] >> 7));
  out[15] = uint8_t((in[15] << 1) ^ (uint8_t(-carry) & kRb));
}

// x = AES(x ^ block) for each whole block.
void cbc_blocks(const tw3_aes128* ks, uint8_t x[16], const uint8_t* data, uint64_t nblocks) {
  if (nblocks == 0) return;
  if (use_x86()) {
    x86_cmac_blocks(ks, x, data, nblocks);
    return;
  }
  for (uint64_t i = 0; i < nblocks; i++) {
    xor16(x, x, data + i * kBlock);
    aes128_encrypt_portable(ks, x, x);
  }
}

}  // namespace

void k_cmac_init(tw3_cmac_ctx* ctx, const uint8_t key[16]) {
  k_aes128_setkey(&ctx->ks, key);
  uint8_t l[kBlock];
  k_aes128_encrypt(&ctx->ks, kZeroBlock, l);
  k_cmac_dbl(l, ctx->k1);
  k_cmac_dbl(ctx->k1, ctx->k2);
  wipe_rule(l, sizeof l);
  std::memset(ctx->x, 0, sizeof ctx->x);
  std::memset(ctx->m, 0, sizeof ctx->m);
  ctx->m_len = 0;
}

void k_cmac_update(tw3_cmac_ctx* ctx, const void* data, uint64_t len) {
  const auto* p = static_cast<const uint8_t*>(data);
  if (len == 0) return;
  if (ctx->m_len < kBlock) {
    uint64_t take = kBlock - ctx->m_len;
    if (take > len) take = len;
    std::memcpy(ctx->m + ctx->m_len, p, take);
    ctx->m_len += take;
    p += take;
    len -= take;
    if (len == 0) return;
  }
  // M is full and more bytes follow, so M is not the last block.
  cbc_blocks(&ctx->ks, ctx->x, ctx->m, 1);
  // Whole blocks straight from the input, always keeping 1..16 bytes back.
  uint64_t n = (len - 1) / kBlock;
  cbc_blocks(&ctx->ks, ctx->x, p, n);
  p += n * kBlock;
  len -= n * kBlock;
  std::memset(ctx->m, 0, sizeof ctx->m);
  std::memcpy(ctx->m, p, len);
  ctx->m_len = len;
}

void k_cmac_final(tw3_cmac_ctx* ctx, uint8_t out[16]) {
  uint8_t last[kBlock] = {};
  if (ctx->m_len == kBlock) {
    xor16(last, ctx->m, ctx->k1);
  } else {
    std::memcpy(last, ctx->m, ctx->m_len);
    last[ctx->m_len] = 0x80;
    xor16(last, last, ctx->k2);
  }
  xor16(last, last, ctx->x);
  k_aes128_encrypt(&ctx->ks, last, out);
  wipe_rule(last, sizeof last);
}

void k_cmac(const uint8_t key[16], const void* data, uint64_t len, uint8_t out[16]) {
  tw3_cmac_ctx ctx;
  k_cmac_init(&ctx, key);
  k_cmac_update(&ctx, data, len);
  k_cmac_final(&ctx, out);
  wipe_rule(&ctx, sizeof ctx);
}
