// x86 GHASH: PCLMULQDQ with four blocks per reduction, and, where the CPU has
// AVX-512 VPCLMULQDQ, sixteen blocks per reduction (four per instruction).
// Blocks are handled as big-endian 128-bit numbers (the whole block byte
// reversed), the representation of H and the accumulator halves.
// Results are bit-identical to the portable bit-serial GHASH.
#include "crypto/internal.h"

#if defined(__x86_64__)

// GCC 12's AVX-512 intrinsics pass an "undefined" vector as the unused merge
// source of their masked builtins, which trips false uninitialised-value
// warnings once inlined (GCC bug 105593). Nothing here reads such a value.
#pragma GCC diagnostic ignored "-Wuninitialized"
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#include <wmmintrin.h>

#define TW3_CLMUL __attribute__((target("pclmul,sse4.1,ssse3")))
#define TW3_CLMUL512 \
  __attribute__((target("avx512f,avx512bw,avx512vl,avx512dq,vpclmulqdq,pclmul,sse4.1,ssse3")))

namespace tw3c {
namespace {

constexpr uint64_t kBlock = 16;
constexpr uint64_t kWideStride = 16 * kBlock;  // bytes per reduction on the wide path

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

// ---- Sixteen blocks per reduction with 512-bit VPCLMULQDQ ----

bool cpu_has_wide_clmul() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq") &&
         __builtin_cpu_supports("vpclmulqdq");
}

// XOR of the four 128-bit lanes.
TW3_CLMUL512 inline __m128i fold_lanes(__m512i z) {
  z = _mm512_xor_si512(z, _mm512_shuffle_i64x2(z, z, 0x4e));  // lanes 2,3,0,1
  z = _mm512_xor_si512(z, _mm512_shuffle_i64x2(z, z, 0xb1));  // lanes 1,0,3,2
  return _mm512_castsi512_si128(z);
}

// Absorbs whole 256-byte strides: Y' = (Y ^ X0) H^16 ^ X1 H^15 ^ ... ^ X15 H.
// Lane k of register g holds block 4g + k and multiplies by H^(16 - 4g - k).
TW3_CLMUL512 __m128i ghash_wide(__m128i h1, __m128i y, const uint8_t* data, uint64_t strides) {
  alignas(64) __m128i pow[16];  // pow[i] = H^(16 - i)
  pow[15] = h1;
  for (int i = 14; i >= 0; i--) pow[i] = gf_mul(pow[i + 1], h1);
  __m512i hp[4];
  for (int g = 0; g < 4; g++) hp[g] = _mm512_load_si512(pow + 4 * g);
  alignas(64) static constexpr uint8_t kSwap4[64] = {
      15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0,   //
      15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0,   //
      15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0,   //
      15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0};  // per-lane byte reversal
  const __m512i swap = _mm512_load_si512(kSwap4);
  for (uint64_t s = 0; s < strides; s++, data += kWideStride) {
    __m512i lo = _mm512_setzero_si512(), mid = lo, hi = lo;
    for (int g = 0; g < 4; g++) {
      __m512i x = _mm512_shuffle_epi8(_mm512_loadu_si512(data + 64 * g), swap);
      if (g == 0) x = _mm512_xor_si512(x, _mm512_zextsi128_si512(y));
      lo = _mm512_xor_si512(lo, _mm512_clmulepi64_epi128(x, hp[g], 0x00));
      hi = _mm512_xor_si512(hi, _mm512_clmulepi64_epi128(x, hp[g], 0x11));
      mid = _mm512_ternarylogic_epi64(mid, _mm512_clmulepi64_epi128(x, hp[g], 0x01),
                                      _mm512_clmulepi64_epi128(x, hp[g], 0x10), 0x96);
    }
    y = reduce(wide{fold_lanes(lo), fold_lanes(mid), fold_lanes(hi)});
  }
  return y;
}

}  // namespace

TW3_CLMUL void x86_ghash(uint64_t h_hi, uint64_t h_lo, ghash_acc* acc, const uint8_t* data,
                         uint64_t len) {
  static const bool wide_clmul = cpu_has_wide_clmul();
  const __m128i h1 = _mm_set_epi64x(int64_t(h_hi), int64_t(h_lo));
  __m128i y = _mm_set_epi64x(int64_t(acc->hi), int64_t(acc->lo));
  uint64_t off = 0;
  if (wide_clmul && len >= kWideStride) {
    uint64_t strides = len / kWideStride;
    y = ghash_wide(h1, y, data, strides);
    off = strides * kWideStride;
  }
  if (len - off >= 4 * kBlock) {
    const __m128i h2 = gf_mul(h1, h1);
    const __m128i h3 = gf_mul(h2, h1);
    const __m128i h4 = gf_mul(h3, h1);
    // Y' = (Y ^ X0) H^4 ^ X1 H^3 ^ X2 H^2 ^ X3 H, reduced once.
    for (; len - off >= 4 * kBlock; off += 4 * kBlock) {
      wide w = wide_zero();
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

}  // namespace tw3c

#else  // no x86: never called, since use_x86() is false

namespace tw3c {
void x86_ghash(uint64_t, uint64_t, ghash_acc*, const uint8_t*, uint64_t) {}
}  // namespace tw3c

#endif
