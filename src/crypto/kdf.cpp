// SP 800-108 counter-mode key derivation with an HMAC as PRF: the session's
// signing, cipher and application keys.
#include "crypto/internal.h"

using namespace tw3c;

namespace {

// L, the derived length in bits, as SMB fixes it: 128, or 256 for AES-256 keys.
constexpr uint32_t kDerivedBits = 128;
constexpr uint32_t kDerivedBits256 = 256;
constexpr uint8_t kSeparator = 0;

// Feeds i | label and its zero | [separator] | context | L into `inner`.
template <typename Update, typename Ctx>
void feed(Ctx* inner, Update update, uint32_t i, const char* label, bool separator,
          const void* context, uint64_t context_len, uint32_t bits = kDerivedBits) {
  uint8_t be[4];
  store_be32(be, i);
  update(inner, be, sizeof be);
  if (label != nullptr) update(inner, label, std::strlen(label) + 1);
  if (separator) update(inner, &kSeparator, 1);
  update(inner, context, context_len);
  store_be32(be, bits);
  update(inner, be, sizeof be);
}

void kdf256(const void* key, uint64_t key_len, const char* label, bool separator,
            const void* context, uint64_t context_len, uint8_t* out, uint64_t out_len,
            uint32_t bits = kDerivedBits) {
  uint8_t block[32];
  for (uint32_t i = 1; out_len > 0; i++) {
    tw3_hmac256_ctx ctx;
    tw3_hmac256_init(&ctx, key, key_len);
    // Message data goes straight into the inner SHA-256 context.
    feed(&ctx.inner, tw3_sha256_update, i, label, separator, context, context_len, bits);
    tw3_hmac256_final(&ctx, block);
    uint64_t n = out_len < sizeof block ? out_len : sizeof block;
    std::memcpy(out, block, n);
    out += n;
    out_len -= n;
    wipe_rule(&ctx, sizeof ctx);
  }
  wipe_rule(block, sizeof block);
}

}  // namespace

void tw3_kdf_ctr_hmacsha256(const void* key, uint64_t key_len, const char* label,
                            const void* context, uint64_t context_len, uint8_t* out,
                            uint64_t out_len) {
  kdf256(key, key_len, label, true, context, context_len, out, out_len);
}

void tw3_kdf_ctr_hmacsha256_l256(const void* key, uint64_t key_len, const char* label,
                                 const void* context, uint64_t context_len, uint8_t* out,
                                 uint64_t out_len) {
  kdf256(key, key_len, label, true, context, context_len, out, out_len, kDerivedBits256);
}

void tw3_kdf3_0_ctr_hmacsha256(const void* key, uint64_t key_len, const char* label,
                               const void* context, uint64_t context_len, uint8_t* out,
                               uint64_t out_len) {
  kdf256(key, key_len, label, false, context, context_len, out, out_len);
}

void tw3_kdf_ctr_hmacsha512(const void* key, uint64_t key_len, const char* label,
                            const void* context, uint64_t context_len, uint8_t* out,
                            uint64_t out_len) {
  uint8_t block[64];
  for (uint32_t i = 1; out_len > 0; i++) {
    tw3_hmac512_ctx ctx;
    tw3_hmac512_init(&ctx, key, key_len);
    feed(&ctx, tw3_hmac512_update, i, label, true, context, context_len);
    tw3_hmac512_final(&ctx, block);
    uint64_t n = out_len < sizeof block ? out_len : sizeof block;
    std::memcpy(out, block, n);
    out += n;
    out_len -= n;
    wipe_rule(&ctx, sizeof ctx);
  }
  wipe_rule(block, sizeof block);
}
