// SHA-256 (FIPS 180-4).
#include "crypto/internal.h"

using namespace tw3c;

namespace {

constexpr uint32_t K256[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
    0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
    0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
    0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
    0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
    0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
    0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
    0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
    0xc67178f2};

constexpr uint32_t kInit256[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                  0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
constexpr uint64_t kBlock = 64;

void compress(uint32_t st[8], const uint8_t* p) {
  uint32_t w[64];
  for (int t = 0; t < 16; t++) w[t] = load_be32(p + 4 * t);
  for (int t = 16; t < 64; t++) {
    uint32_t s0 = rotr32(w[t - 15], 7) ^ rotr32(w[t - 15], 18) ^ (w[t - 15] >> 3);
    uint32_t s1 = rotr32(w[t - 2], 17) ^ rotr32(w[t - 2], 19) ^ (w[t - 2] >> 10);
    w[t] = w[t - 16] + s0 + w[t - 7] + s1;
  }
  uint32_t a = st[0], b = st[1], c = st[2], d = st[3];
  uint32_t e = st[4], f = st[5], g = st[6], h = st[7];
  for (int t = 0; t < 64; t++) {
    uint32_t t1 = h + (rotr32(e, 6) ^ rotr32(e, 11) ^ rotr32(e, 25)) + ((e & f) ^ (~e & g)) +
                  K256[t] + w[t];
    uint32_t t2 = (rotr32(a, 2) ^ rotr32(a, 13) ^ rotr32(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  st[0] += a;
  st[1] += b;
  st[2] += c;
  st[3] += d;
  st[4] += e;
  st[5] += f;
  st[6] += g;
  st[7] += h;
}

}  // namespace

namespace tw3c {
void sha256_blocks(uint32_t state[8], const uint8_t* data, uint64_t nblocks) {
  for (uint64_t i = 0; i < nblocks; i++) compress(state, data + i * kBlock);
}
}  // namespace tw3c

void tw3_sha256_init(tw3_sha256_ctx* ctx) {
  hash_init(ctx, kInit256);
}

void tw3_sha256_update(tw3_sha256_ctx* ctx, const void* data, uint64_t len) {
  absorb<kBlock>(ctx, static_cast<const uint8_t*>(data), len, sha256_blocks);
}

void tw3_sha256_final(tw3_sha256_ctx* ctx, uint8_t out[32]) {
  pad_be<kBlock, 8>(ctx, tw3_sha256_update);
  for (int i = 0; i < 8; i++) store_be32(out + 4 * i, ctx->state[i]);
}

void tw3_sha256(const void* data, uint64_t len, uint8_t out[32]) {
  tw3_sha256_ctx ctx;
  tw3_sha256_init(&ctx);
  tw3_sha256_update(&ctx, data, len);
  tw3_sha256_final(&ctx, out);
}
