// HMAC (RFC 2104) over SHA-256, MD5 and SHA-512.
#include "crypto/internal.h"

using namespace tw3c;

namespace {

constexpr uint8_t kIpad = 0x36;
constexpr uint8_t kOpad = 0x5c;

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

void xor_pad(uint8_t* out, const uint8_t* key, uint64_t n, uint8_t pad) {
  for (uint64_t i = 0; i < n; i++) out[i] = uint8_t(key[i] ^ pad);
}

// The streaming SHA functions an HMAC over it needs.
struct Sha256 {
  using Ctx = tw3_sha256_ctx;
  static constexpr uint64_t kBlock = 64;
  static constexpr uint64_t kDigest = 32;
  static constexpr auto digest = tw3_sha256;
  static constexpr auto init = tw3_sha256_init;
  static constexpr auto update = tw3_sha256_update;
  static constexpr auto final = tw3_sha256_final;
};
struct Sha512 {
  using Ctx = tw3_sha512_ctx;
  static constexpr uint64_t kBlock = 128;
  static constexpr uint64_t kDigest = 64;
  static constexpr auto digest = tw3_sha512;
  static constexpr auto init = tw3_sha512_init;
  static constexpr auto update = tw3_sha512_update;
  static constexpr auto final = tw3_sha512_final;
};

// Derives both pads from the key into ipad and opad and starts `inner` with
// the ipad block. The block-sized key is wiped; ipad is the caller's to keep
// or wipe.
template <class H>
void start(typename H::Ctx* inner, uint8_t ipad[H::kBlock], uint8_t opad[H::kBlock],
           const void* key, uint64_t key_len) {
  uint8_t k[H::kBlock];
  block_key<H::kBlock>(key, key_len, k, H::digest);
  xor_pad(ipad, k, sizeof k, kIpad);
  xor_pad(opad, k, sizeof k, kOpad);
  H::init(inner);
  H::update(inner, ipad, H::kBlock);
  wipe_rule(k, sizeof k);
}

// Ends the inner hash and runs the outer one (opad block, inner digest) in
// `outer`, which may be `inner` itself.
template <class H>
void finish(typename H::Ctx* inner, typename H::Ctx* outer, const uint8_t opad[H::kBlock],
            uint8_t* out) {
  uint8_t digest[H::kDigest];
  H::final(inner, digest);
  H::init(outer);
  H::update(outer, opad, H::kBlock);
  H::update(outer, digest, sizeof digest);
  H::final(outer, out);
}

// One-shot MAC through a context that is wiped afterwards.
template <class Ctx>
void one_shot(void (*init)(Ctx*, const void*, uint64_t),
              void (*update)(Ctx*, const void*, uint64_t), void (*final)(Ctx*, uint8_t*),
              const void* key, uint64_t key_len, const void* data, uint64_t data_len,
              uint8_t* out) {
  Ctx ctx;
  init(&ctx, key, key_len);
  update(&ctx, data, data_len);
  final(&ctx, out);
  wipe_rule(&ctx, sizeof ctx);
}

}  // namespace

// ---- HMAC-SHA-256 ----

void tw3_hmac256_init(tw3_hmac256_ctx* ctx, const void* key, uint64_t key_len) {
  uint8_t ipad[Sha256::kBlock];
  start<Sha256>(&ctx->inner, ipad, ctx->opad, key, key_len);
  std::memset(&ctx->outer, 0, sizeof ctx->outer);
  wipe_rule(ipad, sizeof ipad);
}

void tw3_hmac256_update(tw3_hmac256_ctx* ctx, const void* data, uint64_t len) {
  tw3_sha256_update(&ctx->inner, data, len);
}

void tw3_hmac256_final(tw3_hmac256_ctx* ctx, uint8_t out[32]) {
  finish<Sha256>(&ctx->inner, &ctx->outer, ctx->opad, out);
}

void tw3_hmac256(const void* key, uint64_t key_len, const void* data, uint64_t data_len,
                 uint8_t out[32]) {
  one_shot(tw3_hmac256_init, tw3_hmac256_update, tw3_hmac256_final, key, key_len, data,
           data_len, out);
}

// ---- HMAC-MD5: carries its own MD5 buffering around md5_block ----

void tw3_hmacmd5_init(tw3_hmacmd5_ctx* ctx, const void* key, uint64_t key_len) {
  uint8_t k[64];
  uint8_t ipad[64];
  block_key<64>(key, key_len, k, tw3_md5);
  xor_pad(ipad, k, sizeof k, kIpad);
  xor_pad(ctx->opad, k, sizeof k, kOpad);
  std::memcpy(ctx->state, kMdInit, sizeof ctx->state);
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
  md_finish(ctx->state, ctx->buf, ctx->buf_len, (ctx->count + kMdBlock) * 8, md5_block);
  // Outer pass: opad block, then a block holding the inner digest (640 bits).
  std::memcpy(ctx->o_state, kMdInit, sizeof ctx->o_state);
  md5_block(ctx->o_state, ctx->opad);
  std::memset(ctx->o_buf, 0, sizeof ctx->o_buf);
  for (int i = 0; i < 4; i++) put_le32(ctx->o_buf + 4 * i, ctx->state[i]);
  ctx->o_buf[16] = 0x80;
  ctx->o_count = kMdBlock + 16;
  put_le64(ctx->o_buf + kMdLengthAt, ctx->o_count * 8);
  md5_block(ctx->o_state, ctx->o_buf);
  for (int i = 0; i < 4; i++) put_le32(out + 4 * i, ctx->o_state[i]);
}

void tw3_hmacmd5(const void* key, uint64_t key_len, const void* data, uint64_t data_len,
                 uint8_t out[16]) {
  one_shot(tw3_hmacmd5_init, tw3_hmacmd5_update, tw3_hmacmd5_final, key, key_len, data,
           data_len, out);
}

// ---- HMAC-SHA-512 ----

void tw3_hmac512_init(tw3_hmac512_ctx* ctx, const void* key, uint64_t key_len) {
  start<Sha512>(&ctx->inner, ctx->ipad, ctx->opad, key, key_len);
}

void tw3_hmac512_update(tw3_hmac512_ctx* ctx, const void* data, uint64_t len) {
  tw3_sha512_update(&ctx->inner, data, len);
}

void tw3_hmac512_final(tw3_hmac512_ctx* ctx, uint8_t out[64]) {
  finish<Sha512>(&ctx->inner, &ctx->inner, ctx->opad, out);
}

void tw3_hmac512(const void* key, uint64_t key_len, const void* data, uint64_t data_len,
                 uint8_t out[64]) {
  one_shot(tw3_hmac512_init, tw3_hmac512_update, tw3_hmac512_final, key, key_len, data,
           data_len, out);
}
