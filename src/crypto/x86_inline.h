// Inline helpers shared by the x86 kernels (AES-NI rounds, carry-less
// multiplication and its reduction). Include only from the x86 sources, inside
// their `#if defined(__x86_64__)`; every function carries its target attribute.
#pragma once

#include <immintrin.h>
#include <wmmintrin.h>

#include "crypto/internal.h"

#define TW3_X86 __attribute__((target("aes,pclmul,sse4.1,ssse3")))
#define TW3_CLMUL __attribute__((target("pclmul,sse4.1,ssse3")))
#define TW3_AVX512 __attribute__((target("avx512f")))

namespace tw3c {
namespace x86 {

constexpr int kRounds128 = 10;
constexpr int kRoundsMax = 14;  // AES-256
constexpr uint64_t kBlock = 16;

// Reverses the bytes of each 32-bit lane: round-key words are stored
// big-endian (word 0 = key bytes 0..3), AES-NI wants plain byte order.
TW3_X86 inline __m128i lane_swap_mask() {
  return _mm_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3);
}

struct round_keys {
  __m128i k[kRoundsMax + 1];
  int n;  // rounds
};

TW3_X86 inline void load_keys(const tw3_aes128* ks, round_keys* rk) {
  const __m128i m = lane_swap_mask();
  rk->n = ks->rounds == kRoundsMax ? kRoundsMax : kRounds128;
  for (int r = 0; r <= rk->n; r++) {
    __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(ks->rk + 4 * r));
    rk->k[r] = _mm_shuffle_epi8(w, m);
  }
}

TW3_X86 inline __m128i encrypt_block(const round_keys& rk, __m128i b) {
  b = _mm_xor_si128(b, rk.k[0]);
  for (int r = 1; r < rk.n; r++) b = _mm_aesenc_si128(b, rk.k[r]);
  return _mm_aesenclast_si128(b, rk.k[rk.n]);
}

TW3_CLMUL inline __m128i block_swap_mask() {
  return _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
}

TW3_CLMUL inline __m128i load_swapped(const uint8_t* p) {
  return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)),
                          block_swap_mask());
}

// An unreduced 256-bit carry-less product: lo + mid * 2^64 + hi * 2^128.
struct wide {
  __m128i lo, mid, hi;
};

TW3_CLMUL inline wide wide_zero() {
  return {_mm_setzero_si128(), _mm_setzero_si128(), _mm_setzero_si128()};
}

TW3_CLMUL inline void clmul_acc(wide* w, __m128i a, __m128i b) {
  w->lo = _mm_xor_si128(w->lo, _mm_clmulepi64_si128(a, b, 0x00));
  w->hi = _mm_xor_si128(w->hi, _mm_clmulepi64_si128(a, b, 0x11));
  w->mid = _mm_xor_si128(w->mid, _mm_clmulepi64_si128(a, b, 0x01));
  w->mid = _mm_xor_si128(w->mid, _mm_clmulepi64_si128(a, b, 0x10));
}

// Reduces modulo the GCM polynomial in its bit-reflected form: shift the
// 256-bit product left by one bit, then fold the low half into the high.
// Both steps are linear, so one reduction serves a sum of products.
TW3_CLMUL inline __m128i reduce(const wide& w) {
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

TW3_CLMUL inline __m128i gf_mul(__m128i a, __m128i b) {
  wide w = wide_zero();
  clmul_acc(&w, a, b);
  return reduce(w);
}

// XOR of the four 128-bit lanes (of a wide kernel's summed products).
TW3_AVX512 inline __m128i fold_lanes(__m512i z) {
  z = _mm512_xor_si512(z, _mm512_shuffle_i64x2(z, z, 0x4e));  // lanes 2,3,0,1
  z = _mm512_xor_si512(z, _mm512_shuffle_i64x2(z, z, 0xb1));  // lanes 1,0,3,2
  return _mm512_castsi512_si128(z);
}

}  // namespace x86
}  // namespace tw3c
