// x86 kernels: AES-NI for key expansion, single blocks, the CMAC chain and
// GCTR; PCLMULQDQ for GHASH with four-block aggregated reduction. Each
// function carries its own target attribute so the rest of the build stays
// generic; dispatch.cpp calls here only when the CPU has the instructions.
// Results are bit-identical to the portable kernels (the tests compare them).
#include "crypto/internal.h"

#if defined(__x86_64__)

#include <immintrin.h>
#include <wmmintrin.h>

#define TW3_X86 __attribute__((target("aes,pclmul,sse4.1,ssse3")))

namespace tw3c {
namespace {

constexpr int kRounds = 10;
constexpr uint64_t kBlock = 16;

// Reverses the bytes of each 32-bit lane: round-key words are stored
// big-endian (word 0 = key bytes 0..3), AES-NI wants plain byte order.
TW3_X86 inline __m128i lane_swap_mask() {
  return _mm_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3);
}
// Reverses all 16 bytes: a block as a big-endian 128-bit number for GHASH.
TW3_X86 inline __m128i block_swap_mask() {
  return _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
}

struct round_keys {
  __m128i k[kRounds + 1];
};

TW3_X86 inline void load_keys(const tw3_aes128* ks, round_keys* rk) {
  const __m128i m = lane_swap_mask();
  for (int r = 0; r <= kRounds; r++) {
    __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(ks->rk + 4 * r));
    rk->k[r] = _mm_shuffle_epi8(w, m);
  }
}

TW3_X86 inline __m128i encrypt_block(const round_keys& rk, __m128i b) {
  b = _mm_xor_si128(b, rk.k[0]);
  for (int r = 1; r < kRounds; r++) b = _mm_aesenc_si128(b, rk.k[r]);
  return _mm_aesenclast_si128(b, rk.k[kRounds]);
}

TW3_X86 inline __m128i expand_step(__m128i key, __m128i assist) {
  assist = _mm_shuffle_epi32(assist, 0xff);
  key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
  key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
  key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
  return _mm_xor_si128(key, assist);
}

// ---- GHASH over blocks held as big-endian 128-bit numbers ----

struct wide {
  __m128i lo, mid, hi;
};

// Accumulates the unreduced 256-bit carry-less product a * b.
TW3_X86 inline void clmul_acc(wide* w, __m128i a, __m128i b) {
  w->lo = _mm_xor_si128(w->lo, _mm_clmulepi64_si128(a, b, 0x00));
  w->hi = _mm_xor_si128(w->hi, _mm_clmulepi64_si128(a, b, 0x11));
  w->mid = _mm_xor_si128(w->mid, _mm_clmulepi64_si128(a, b, 0x01));
  w->mid = _mm_xor_si128(w->mid, _mm_clmulepi64_si128(a, b, 0x10));
}

// Reduces a 256-bit product modulo the GCM polynomial in its bit-reflected
// form: shift the product left by one bit, then fold the low half back.
TW3_X86 inline __m128i reduce(const wide& w) {
  __m128i lo = _mm_xor_si128(w.lo, _mm_slli_si128(w.mid, 8));
  __m128i hi = _mm_xor_si128(w.hi, _mm_srli_si128(w.mid, 8));
  __m128i lo_carry = _mm_srli_epi32(lo, 31);
  __m128i hi_carry = _mm_srli_epi32(hi, 31);
  lo = _mm_slli_epi32(lo, 1);
  hi = _mm_slli_epi32(hi, 1);
  __m128i cross = _mm_srli_si128(lo_carry, 12);
  hi_carry = _mm_slli_si128(hi_carry, 4);
  lo_carry = _mm_slli_si128(lo_carry, 4);
  lo = _mm_or_si128(lo, lo_carry);
  hi = _mm_or_si128(_mm_or_si128(hi, hi_carry), cross);
  __m128i a = _mm_slli_epi32(lo, 31);
  __m128i b = _mm_slli_epi32(lo, 30);
  __m128i c = _mm_slli_epi32(lo, 25);
  a = _mm_xor_si128(_mm_xor_si128(a, b), c);
  __m128i a_hi = _mm_srli_si128(a, 4);
  a = _mm_slli_si128(a, 12);
  lo = _mm_xor_si128(lo, a);
  __m128i d = _mm_srli_epi32(lo, 1);
  __m128i e = _mm_srli_epi32(lo, 2);
  __m128i f = _mm_srli_epi32(lo, 7);
  d = _mm_xor_si128(_mm_xor_si128(d, e), _mm_xor_si128(f, a_hi));
  lo = _mm_xor_si128(lo, d);
  return _mm_xor_si128(hi, lo);
}

TW3_X86 inline __m128i gf_mul(__m128i a, __m128i b) {
  wide w{_mm_setzero_si128(), _mm_setzero_si128(), _mm_setzero_si128()};
  clmul_acc(&w, a, b);
  return reduce(w);
}

TW3_X86 inline __m128i load_swapped(const uint8_t* p) {
  return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)),
                          block_swap_mask());
}

}  // namespace

TW3_X86 void x86_aes128_setkey(tw3_aes128* ks, const uint8_t key[16]) {
  __m128i k[kRounds + 1];
  k[0] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(key));
#define TW3_STEP(i, rcon) k[i] = expand_step(k[i - 1], _mm_aeskeygenassist_si128(k[i - 1], rcon))
  TW3_STEP(1, 0x01);
  TW3_STEP(2, 0x02);
  TW3_STEP(3, 0x04);
  TW3_STEP(4, 0x08);
  TW3_STEP(5, 0x10);
  TW3_STEP(6, 0x20);
  TW3_STEP(7, 0x40);
  TW3_STEP(8, 0x80);
  TW3_STEP(9, 0x1b);
  TW3_STEP(10, 0x36);
#undef TW3_STEP
  const __m128i m = lane_swap_mask();
  for (int r = 0; r <= kRounds; r++) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(ks->rk + 4 * r), _mm_shuffle_epi8(k[r], m));
  }
  ks->rounds = kRounds;
}

TW3_X86 void x86_aes128_encrypt(const tw3_aes128* ks, const uint8_t in[16], uint8_t out[16]) {
  round_keys rk;
  load_keys(ks, &rk);
  __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), encrypt_block(rk, b));
}

TW3_X86 void x86_cmac_blocks(const tw3_aes128* ks, uint8_t x[16], const uint8_t* data,
                             uint64_t nblocks) {
  round_keys rk;
  load_keys(ks, &rk);
  __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(x));
  for (uint64_t i = 0; i < nblocks; i++) {
    // The message word and round key 0 combine off the chain's critical path.
    __m128i m = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i * kBlock));
    v = _mm_xor_si128(v, _mm_xor_si128(m, rk.k[0]));
    for (int r = 1; r < kRounds; r++) v = _mm_aesenc_si128(v, rk.k[r]);
    v = _mm_aesenclast_si128(v, rk.k[kRounds]);
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(x), v);
}

TW3_X86 void x86_ghash(uint64_t h_hi, uint64_t h_lo, ghash_acc* acc, const uint8_t* data,
                       uint64_t len) {
  const __m128i h1 = _mm_set_epi64x(int64_t(h_hi), int64_t(h_lo));
  __m128i y = _mm_set_epi64x(int64_t(acc->hi), int64_t(acc->lo));
  uint64_t off = 0;
  if (len >= 4 * kBlock) {
    const __m128i h2 = gf_mul(h1, h1);
    const __m128i h3 = gf_mul(h2, h1);
    const __m128i h4 = gf_mul(h3, h1);
    // Y' = (Y ^ X0) H^4 ^ X1 H^3 ^ X2 H^2 ^ X3 H, reduced once.
    for (; len - off >= 4 * kBlock; off += 4 * kBlock) {
      wide w{_mm_setzero_si128(), _mm_setzero_si128(), _mm_setzero_si128()};
      clmul_acc(&w, _mm_xor_si128(y, load_swapped(data + off)), h4);
      clmul_acc(&w, load_swapped(data + off + 16), h3);
      clmul_acc(&w, load_swapped(data + off + 32), h2);
      clmul_acc(&w, load_swapped(data + off + 48), h1);
      y = reduce(w);
    }
  }
  for (; off < len; off += kBlock) {
    uint8_t block[kBlock] = {};
    std::memcpy(block, data + off, len - off < kBlock ? len - off : kBlock);
    y = gf_mul(_mm_xor_si128(y, load_swapped(block)), h1);
  }
  acc->hi = uint64_t(_mm_extract_epi64(y, 1));
  acc->lo = uint64_t(_mm_extract_epi64(y, 0));
}

TW3_X86 void x86_gctr(const tw3_aes128* ks, const uint8_t nonce[12], uint32_t ctr, uint8_t* buf,
                      uint64_t len) {
  round_keys rk;
  load_keys(ks, &rk);
  uint8_t base_bytes[kBlock] = {};
  std::memcpy(base_bytes, nonce, 12);
  const __m128i base = _mm_loadu_si128(reinterpret_cast<const __m128i*>(base_bytes));
  for (uint64_t off = 0; off < len; off += kBlock, ctr++) {
    __m128i cb = _mm_insert_epi32(base, int(__builtin_bswap32(ctr)), 3);
    __m128i stream = encrypt_block(rk, cb);
    uint64_t n = len - off < kBlock ? len - off : kBlock;
    if (n == kBlock) {
      __m128i* p = reinterpret_cast<__m128i*>(buf + off);
      _mm_storeu_si128(p, _mm_xor_si128(_mm_loadu_si128(p), stream));
    } else {
      uint8_t s[kBlock];
      _mm_storeu_si128(reinterpret_cast<__m128i*>(s), stream);
      for (uint64_t i = 0; i < n; i++) buf[off + i] ^= s[i];
    }
  }
}

}  // namespace tw3c

#else  // no x86: never called, since use_x86() is false

namespace tw3c {
void x86_aes128_setkey(tw3_aes128*, const uint8_t*) {}
void x86_aes128_encrypt(const tw3_aes128*, const uint8_t*, uint8_t*) {}
void x86_cmac_blocks(const tw3_aes128*, uint8_t*, const uint8_t*, uint64_t) {}
void x86_ghash(uint64_t, uint64_t, ghash_acc*, const uint8_t*, uint64_t) {}
void x86_gctr(const tw3_aes128*, const uint8_t*, uint32_t, uint8_t*, uint64_t) {}
}  // namespace tw3c

#endif
