// SHA-512 (FIPS 180-4). It hashes every NEGOTIATE and SESSION_SETUP message
// (pre-authentication integrity), so the compression keeps a rolling 16-word
// schedule and is unrolled 16 rounds at a time with renamed variables instead
// of shuffling eight words per round. The same C++ is compiled a second time
// for CPUs with BMI2 (three-operand rotates), chosen once at run time. (A
// vector-built message schedule was tried and measured slower.)
#include "crypto/internal.h"

using namespace tw3c;

namespace {

constexpr uint64_t K512[80] = {
    0x428a2f98d728ae22, 0x7137449123ef65cd, 0xb5c0fbcfec4d3b2f, 0xe9b5dba58189dbbc,
    0x3956c25bf348b538, 0x59f111f1b605d019, 0x923f82a4af194f9b, 0xab1c5ed5da6d8118,
    0xd807aa98a3030242, 0x12835b0145706fbe, 0x243185be4ee4b28c, 0x550c7dc3d5ffb4e2,
    0x72be5d74f27b896f, 0x80deb1fe3b1696b1, 0x9bdc06a725c71235, 0xc19bf174cf692694,
    0xe49b69c19ef14ad2, 0xefbe4786384f25e3, 0x0fc19dc68b8cd5b5, 0x240ca1cc77ac9c65,
    0x2de92c6f592b0275, 0x4a7484aa6ea6e483, 0x5cb0a9dcbd41fbd4, 0x76f988da831153b5,
    0x983e5152ee66dfab, 0xa831c66d2db43210, 0xb00327c898fb213f, 0xbf597fc7beef0ee4,
    0xc6e00bf33da88fc2, 0xd5a79147930aa725, 0x06ca6351e003826f, 0x142929670a0e6e70,
    0x27b70a8546d22ffc, 0x2e1b21385c26c926, 0x4d2c6dfc5ac42aed, 0x53380d139d95b3df,
    0x650a73548baf63de, 0x766a0abb3c77b2a8, 0x81c2c92e47edaee6, 0x92722c851482353b,
    0xa2bfe8a14cf10364, 0xa81a664bbc423001, 0xc24b8b70d0f89791, 0xc76c51a30654be30,
    0xd192e819d6ef5218, 0xd69906245565a910, 0xf40e35855771202a, 0x106aa07032bbd1b8,
    0x19a4c116b8d2d0c8, 0x1e376c085141ab53, 0x2748774cdf8eeb99, 0x34b0bcb5e19b48a8,
    0x391c0cb3c5c95a63, 0x4ed8aa4ae3418acb, 0x5b9cca4f7763e373, 0x682e6ff3d6b2b8a3,
    0x748f82ee5defb2fc, 0x78a5636f43172f60, 0x84c87814a1f0ab72, 0x8cc702081a6439ec,
    0x90befffa23631e28, 0xa4506cebde82bde9, 0xbef9a3f7b2c67915, 0xc67178f2e372532b,
    0xca273eceea26619c, 0xd186b8c721c0c207, 0xeada7dd6cde0eb1e, 0xf57d4f7fee6ed178,
    0x06f067aa72176fba, 0x0a637dc5a2c898a6, 0x113f9804bef90dae, 0x1b710b35131c471b,
    0x28db77f523047d84, 0x32caab7b40c72493, 0x3c9ebe0a15c9bebc, 0x431d67c49c100d4c,
    0x4cc5d4becb3e42b6, 0x597f299cfc657e2a, 0x5fcb6fab3ad6faec, 0x6c44198c4a475817};

constexpr uint64_t kInit512[8] = {0x6a09e667f3bcc908, 0xbb67ae8584caa73b, 0x3c6ef372fe94f82b,
                                  0xa54ff53a5f1d36f1, 0x510e527fade682d1, 0x9b05688c2b3e6c1f,
                                  0x1f83d9abfb41bd6b, 0x5be0cd19137e2179};
constexpr uint64_t kBlock = 128;
// The body is inlined into each compiled variant of the block function.
#define TW3_INLINE __attribute__((always_inline)) inline
#define TW3_INLINE_LAMBDA __attribute__((always_inline))

TW3_INLINE uint64_t big_s0(uint64_t x) { return rotr64(x, 28) ^ rotr64(x, 34) ^ rotr64(x, 39); }
TW3_INLINE uint64_t big_s1(uint64_t x) { return rotr64(x, 14) ^ rotr64(x, 18) ^ rotr64(x, 41); }
TW3_INLINE uint64_t small_s0(uint64_t x) { return rotr64(x, 1) ^ rotr64(x, 8) ^ (x >> 7); }
TW3_INLINE uint64_t small_s1(uint64_t x) { return rotr64(x, 19) ^ rotr64(x, 61) ^ (x >> 6); }
TW3_INLINE uint64_t ch(uint64_t e, uint64_t f, uint64_t g) { return g ^ (e & (f ^ g)); }

// One round; `bc` carries b ^ c in and this round's a ^ b out.
TW3_INLINE void round(uint64_t a, uint64_t b, uint64_t& d, uint64_t e, uint64_t f, uint64_t g,
                      uint64_t& h, uint64_t kw, uint64_t& bc) {
  // Maj(a,b,c) = b ^ ((a ^ b) & (b ^ c)); this round's a ^ b is the next one's b ^ c.
  uint64_t ab = a ^ b;
  uint64_t t1 = h + kw + ch(e, f, g) + big_s1(e);
  d += t1;
  h = t1 + big_s0(a) + (b ^ (ab & bc));
  bc = ab;
}

// Schedule word t (t >= 16) computed into the 16-word ring.
TW3_INLINE uint64_t next_w(uint64_t w[16], int i) {
  w[i & 15] += small_s1(w[(i + 14) & 15]) + w[(i + 9) & 15] + small_s0(w[(i + 1) & 15]);
  return w[i & 15];
}

// Sixteen rounds; kw(i) gives K[t] + W[t] for the i-th of them.
template <typename KW>
TW3_INLINE void sixteen(uint64_t v[8], uint64_t& bc, KW kw) {
  uint64_t &a = v[0], &b = v[1], &c = v[2], &d = v[3], &e = v[4], &f = v[5], &g = v[6],
           &h = v[7];
#define TW3_R(A, B, C, D, E, F, G, H, i) round(A, B, D, E, F, G, H, kw(i), bc)
  TW3_R(a, b, c, d, e, f, g, h, 0);
  TW3_R(h, a, b, c, d, e, f, g, 1);
  TW3_R(g, h, a, b, c, d, e, f, 2);
  TW3_R(f, g, h, a, b, c, d, e, 3);
  TW3_R(e, f, g, h, a, b, c, d, 4);
  TW3_R(d, e, f, g, h, a, b, c, 5);
  TW3_R(c, d, e, f, g, h, a, b, 6);
  TW3_R(b, c, d, e, f, g, h, a, 7);
  TW3_R(a, b, c, d, e, f, g, h, 8);
  TW3_R(h, a, b, c, d, e, f, g, 9);
  TW3_R(g, h, a, b, c, d, e, f, 10);
  TW3_R(f, g, h, a, b, c, d, e, 11);
  TW3_R(e, f, g, h, a, b, c, d, 12);
  TW3_R(d, e, f, g, h, a, b, c, 13);
  TW3_R(c, d, e, f, g, h, a, b, 14);
  TW3_R(b, c, d, e, f, g, h, a, 15);
#undef TW3_R
}

// The compression, schedule words computed as the rounds need them.
TW3_INLINE void block_body(uint64_t state[8], const uint8_t block[128]) {
  uint64_t w[16];
  for (int t = 0; t < 16; t++) w[t] = load_be64(block + 8 * t);
  uint64_t v[8];
  for (int i = 0; i < 8; i++) v[i] = state[i];
  uint64_t bc = v[1] ^ v[2];
  sixteen(v, bc, [&](int i) TW3_INLINE_LAMBDA { return K512[i] + w[i]; });
#pragma GCC unroll 4
  for (int base = 16; base < 80; base += 16) {
    sixteen(v, bc, [&](int i) TW3_INLINE_LAMBDA { return K512[base + i] + next_w(w, i); });
  }
  for (int i = 0; i < 8; i++) state[i] += v[i];
}

void block_generic(uint64_t state[8], const uint8_t block[128]) { block_body(state, block); }

#if defined(__x86_64__)
// The same code with three-operand rotates (rorx) and andn.
__attribute__((target("bmi,bmi2"))) void block_bmi2(uint64_t state[8], const uint8_t block[128]) {
  block_body(state, block);
}
#else
void block_bmi2(uint64_t state[8], const uint8_t block[128]) { block_body(state, block); }
#endif

}  // namespace

namespace tw3c {

void k_sha512_block(uint64_t state[8], const uint8_t block[128]) {
  if (use_bmi2()) {
    block_bmi2(state, block);
  } else {
    block_generic(state, block);
  }
}
}  // namespace tw3c

void tw3_sha512_init(tw3_sha512_ctx* ctx) {
  hash_init(ctx, kInit512);
}

void tw3_sha512_update(tw3_sha512_ctx* ctx, const void* data, uint64_t len) {
  absorb<kBlock>(ctx, static_cast<const uint8_t*>(data), len,
                 [](uint64_t state[8], const uint8_t* p, uint64_t nblocks) {
                   for (; nblocks > 0; nblocks--, p += kBlock) k_sha512_block(state, p);
                 });
}

void tw3_sha512_final(tw3_sha512_ctx* ctx, uint8_t out[64]) {
  pad_be<kBlock, 16>(ctx, tw3_sha512_update);
  for (int i = 0; i < 8; i++) store_be64(out + 8 * i, ctx->state[i]);
}

void tw3_sha512(const void* data, uint64_t len, uint8_t out[64]) {
  tw3_sha512_ctx ctx;
  tw3_sha512_init(&ctx);
  tw3_sha512_update(&ctx, data, len);
  tw3_sha512_final(&ctx, out);
}
