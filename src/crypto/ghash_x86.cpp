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
#include "crypto/x86_inline.h"

#define TW3_CLMUL512 \
  __attribute__((target("avx512f,avx512bw,avx512vl,avx512dq,vpclmulqdq,pclmul,sse4.1,ssse3")))

namespace tw3c {
using namespace x86;
namespace {

constexpr uint64_t kWideStride = 16 * kBlock;  // bytes per reduction on the wide path

// ---- Sixteen blocks per reduction with 512-bit VPCLMULQDQ ----

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
  const __m128i h1 = _mm_set_epi64x(int64_t(h_hi), int64_t(h_lo));
  __m128i y = _mm_set_epi64x(int64_t(acc->hi), int64_t(acc->lo));
  uint64_t off = 0;
  if (use_clmul512() && len >= kWideStride) {
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
