// HMAC (RFC 2104) over SHA-256, MD5 and SHA-512.
#include "crypto/internal.h"

using namespace tw3c;

namespace {

constexpr uint8_t kIpad = 0x36;
constexpr uint8_t kOpad = 0x5c;
constexpr uint64_t kMdBlock = 64;
constexpr uint64_t kMdLengthAt = 56;
constexpr uint32_t kInitMd[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};

// The key zero-extended to `block` bytes, or its digest when it is longer.
template <uint64_t block>
void block_key(const void* key, uint64_t key_len, uint8_t out[block],
               void (*digest)(const void*, uint64_t, uint8_t*)) {
  std::memset(out, 0, block);
  if (key_len > block) {
    digest(key, key_len, out);
  } else if (key_len > 0) {
    std::memcpy(out, key, key_len);
  }
}

void sha256_digest(const void* d, uint64_t n, uint8_t* out) { tw3_sha256(d, n, out); }
void md5_digest(const void* d, uint64_t n, uint8_t* out) { tw3_md5(d, n, out); }
void sha512_digest(const void* d, uint64_t n, uint8_t* out) { tw3_sha512(d, n, out); }

void xor_pad(uint8_t* out, const uint8_t* key, uint64_t n, uint8_t pad) {
  for (uint64_t i = 0; i < n; i++) out[i] = uint8_t(key[i] ^ pad);
}

}  // namespace

// ---- HMAC-SHA-256 ----

void tw3_hmac256_init(tw3_hmac256_ctx* ctx, const void* key, uint64_t key_len) {
  uint8_t k[64];
  uint8_t ipad[64];
  block_key<64>(key, key_len, k, sha256_digest);
  xor_pad(ipad, k, sizeof k, kIpad);
  xor_pad(ctx->opad, k, sizeof k, kOpad);
  tw3_sha256_init(&ctx->inner);
  tw3_sha256_update(&ctx->inner, ipad, sizeof ipad);
  std::memset(&ctx->outer, 0, sizeof ctx->outer);
  wipe_rule(k, sizeof k);
  wipe_rule(ipad, sizeof ipad);
}

void tw3_hmac256_update(tw3_hmac256_ctx* ctx, const void* data, uint64_t len) {
  tw3_sha256_update(&ctx->inner, data, len);
}

void tw3_hmac256_final(tw3_hmac256_ctx* ctx, uint8_t out[32]) {
  uint8_t inner[32];
  tw3_sha256_final(&ctx->inner, inner);
  tw3_sha256_init(&ctx->outer);
  tw3_sha256_update(&ctx->outer, ctx->opad, sizeof ctx->opad);
  tw3_sha256_update(&ctx->outer, inner, sizeof inner);
  tw3_sha256_final(&ctx->outer, out);
}

void tw3_hmac256(const void* key, uint64_t key_len, const void* data, uint64_t data_len,
                 uint8_t out[32]) {
  tw3_hmac256_ctx ctx;
  tw3_hmac256_init(&ctx, key, key_len);
  tw3_hmac256_update(&ctx, data, data_len);
  tw3_hmac256_final(&ctx, out);
  wipe_rule(&ctx, sizeof ctx);
}

// ---- HMAC-MD5: carries its own MD5 buffering around md5_block ----

void tw3_hmacmd5_init(tw3_hmacmd5_ctx* ctx, const void* key, uint64_t key_len) {
  uint8_t k[64];
  uint8_t ipad[64];
  block_key<64>(key, key_len, k, md5_digest);
  xor_pad(ipad, k, sizeof k, kIpad);
  xor_pad(ctx->opad, k, sizeof k, kOpad);
  std::memcpy(ctx->state, kInitMd, sizeof ctx->state);
  md5_block(ctx->state, ipad);
  ctx->count = 0;
  ctx->buf_len = 0;
  std::memset(ctx->buf, 0, sizeof ctx->buf);
  std::memset(ctx->o_state, 0, sizeof ctx->o_state);
  ctx->o_count = 0;
  std::memset(ctx->o_buf, 0, sizeof ctx->o_buf);
  wipe_rule(k, sizeof k);
  wipe_rule(ipad, sizeof ipad);
}

void tw3_hmacmd5_update(tw3_hmacmd5_ctx* ctx, const void* data, uint64_t len) {
  const auto* p = static_cast<const uint8_t*>(data);
  ctx->count += len;
  while (len > 0) {
    uint64_t take = kMdBlock - ctx->buf_len;
    if (take > len) take = len;
    std::memcpy(ctx->buf + ctx->buf_len, p, take);
    ctx->buf_len += take;
    p += take;
    len -= take;
    if (ctx->buf_len == kMdBlock) {
      md5_block(ctx->state, ctx->buf);
      ctx->buf_len = 0;
    }
  }
}

void tw3_hmacmd5_final(tw3_hmacmd5_ctx* ctx, uint8_t out[16]) {
  // Inner pass: the bit count includes the 64-byte inner key block.
  uint8_t pad[2 * kMdBlock] = {};
  std::memcpy(pad, ctx->buf, ctx->buf_len);
  pad[ctx->buf_len] = 0x80;
  uint64_t end = ctx->buf_len < kMdLengthAt ? kMdBlock : 2 * kMdBlock;
  store_le64(pad + end - 8, (ctx->count + kMdBlock) * 8);
  for (uint64_t off = 0; off < end; off += kMdBlock) md5_block(ctx->state, pad + off);
  // Outer pass: opad block, then a block holding the inner digest (640 bits).
  std::memcpy(ctx->o_state, kInitMd, sizeof ctx->o_state);
  md5_block(ctx->o_state, ctx->opad);
  std::memset(ctx->o_buf, 0, sizeof ctx->o_buf);
  for (int i = 0; i < 4; i++) store_le32(ctx->o_buf + 4 * i, ctx->state[i]);
  ctx->o_buf[16] = 0x80;
  ctx->o_count = kMdBlock + 16;
  store_le64(ctx->o_buf + kMdLengthAt, ctx->o_count * 8);
  md5_block(ctx->o_state, ctx->o_buf);
  for (int i = 0; i < 4; i++) store_le32(out + 4 * i, ctx->o_state[i]);
  wipe_rule(pad, sizeof pad);
}

void tw3_hmacmd5(const void* key, uint64_t key_len, const void* data, uint64_t data_len,
                 uint8_t out[16]) {
  tw3_hmacmd5_ctx ctx;
  tw3_hmacmd5_init(&ctx, key, key_len);
  tw3_hmacmd5_update(&ctx, data, data_len);
  tw3_hmacmd5_final(&ctx, out);
  wipe_rule(&ctx, sizeof ctx);
}

// ---- HMAC-SHA-512 ----

void tw3_hmac512_init(tw3_hmac512_ctx* ctx, const void* key, uint64_t key_len) {
  uint8_t k[128];
  block_key<128>(key, key_len, k, sha512_digest);
  xor_pad(ctx->ipad, k, sizeof k, kIpad);
  xor_pad(ctx->opad, k, sizeof k, kOpad);
  tw3_sha512_init(&ctx->inner);
  tw3_sha512_update(&ctx->inner, ctx->ipad, sizeof ctx->ipad);
  wipe_rule(k, sizeof k);
}

void tw3_hmac512_update(tw3_hmac512_ctx* ctx, const void* data, uint64_t len) {
  tw3_sha512_update(&ctx->inner, data, len);
}

void tw3_hmac512_final(tw3_hmac512_ctx* ctx, uint8_t out[64]) {
  uint8_t inner[64];
  tw3_sha512_final(&ctx->inner, inner);
  tw3_sha512_init(&ctx->inner);
  tw3_sha512_update(&ctx->inner, ctx->opad, sizeof ctx->opad);
  tw3_sha512_update(&ctx->inner, inner, sizeof inner);
  tw3_sha512_final(&ctx->inner, out);
}

void tw3_hmac512(const void* key, uint64_t key_len, const void* data, uint64_t data_len,
                 uint8_t out[64]) {
  tw3_hmac512_ctx ctx;
  tw3_hmac512_init(&ctx, key, key_len);
  tw3_hmac512_update(&ctx, data, data_len);
  tw3_hmac512_final(&ctx, out);
  wipe_rule(&ctx, sizeof ctx);
}
