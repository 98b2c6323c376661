// x86 AES-GCM bulk kernel: counter-mode encryption and GHASH in one pass.
// Run separately, GCTR leaves the carry-less multiplier idle and GHASH leaves
// the AES unit idle; interleaving eight AESENC streams with eight PCLMULQDQ
// products keeps both busy, and the data is read from memory once.
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

#define TW3_VAES512 \
  __attribute__((target("avx512f,avx512bw,avx512vl,avx512dq,vaes,vpclmulqdq,aes,pclmul,sse4.1,ssse3")))

namespace tw3c {
using namespace x86;
namespace {

constexpr int kLanes = 8;  // blocks per group: one AES round per hashed block
constexpr uint64_t kGroupBytes = kGcmGroupBytes;
static_assert(kLanes * kBlock == kGroupBytes);

struct group {
  __m128i b[kLanes];
};

TW3_X86 inline void counters(group* g, __m128i base, uint32_t ctr, __m128i k0) {
  for (int i = 0; i < kLanes; i++)
    g->b[i] = _mm_xor_si128(_mm_insert_epi32(base, int(__builtin_bswap32(ctr + uint32_t(i))), 3), k0);
}

TW3_X86 inline void round_all(group* g, __m128i k) {
  for (int i = 0; i < kLanes; i++) g->b[i] = _mm_aesenc_si128(g->b[i], k);
}

// Y' = (Y ^ X0) H^8 ^ X1 H^7 ^ ... ^ X7 H: the eight products are summed
// unreduced and reduced once (reduction is linear), which removes seven of the
// eight reductions from the chain that links one group's hash to the next.
// hp[i] holds H^(8 - i). With `g` non-null, AES round i + 1 of the group rides
// beside product i; the remaining rounds follow.
TW3_X86 inline __m128i hash_group(const round_keys& rk, group* g, const __m128i hp[kLanes],
                                  __m128i y, const __m128i x[kLanes]) {
  wide w = wide_zero();
  for (int i = 0; i < kLanes; i++) {
    if (g != nullptr) round_all(g, rk.k[i + 1]);
    clmul_acc(&w, i == 0 ? _mm_xor_si128(y, x[0]) : x[i], hp[i]);
  }
  return reduce(w);
}

// Rounds kLanes + 1 .. n - 1 and the last round, then XOR into the text.
TW3_X86 inline void finish_group(const round_keys& rk, group* g, uint8_t* p) {
  for (int r = kLanes + 1; r < rk.n; r++) round_all(g, rk.k[r]);
  for (int i = 0; i < kLanes; i++) {
    __m128i* q = reinterpret_cast<__m128i*>(p + uint64_t(i) * kBlock);
    _mm_storeu_si128(q, _mm_xor_si128(_mm_loadu_si128(q), _mm_aesenclast_si128(g->b[i], rk.k[rk.n])));
  }
}

TW3_X86 inline void load_group(const uint8_t* p, __m128i x[kLanes]) {
  for (int i = 0; i < kLanes; i++) x[i] = load_swapped(p + uint64_t(i) * kBlock);
}

}  // namespace

// Sealing hashes the ciphertext of the previous group while the current one
// goes through its rounds (its own ciphertext does not exist yet); opening
// hashes each group's ciphertext while decrypting it.
TW3_X86 void x86_gcm_groups(const tw3_aes128* ks, uint64_t h_hi, uint64_t h_lo,
                            const uint8_t nonce[12], uint32_t ctr, ghash_acc* acc, uint8_t* buf,
                            uint64_t ngroups, bool decrypt) {
  if (ngroups == 0) return;
  round_keys rk;
  load_keys(ks, &rk);
  uint8_t base_bytes[kBlock] = {};
  std::memcpy(base_bytes, nonce, 12);
  const __m128i base = _mm_loadu_si128(reinterpret_cast<const __m128i*>(base_bytes));
  __m128i hp[kLanes];
  hp[kLanes - 1] = _mm_set_epi64x(int64_t(h_hi), int64_t(h_lo));
  for (int i = kLanes - 2; i >= 0; i--) hp[i] = gf_mul(hp[i + 1], hp[kLanes - 1]);
  __m128i y = _mm_set_epi64x(int64_t(acc->hi), int64_t(acc->lo));
  __m128i x[kLanes];
  group g;
  uint64_t first = 0;
  if (!decrypt) {  // the first group has no predecessor to hash beside it
    counters(&g, base, ctr, rk.k[0]);
    for (int r = 1; r <= kLanes; r++) round_all(&g, rk.k[r]);
    finish_group(rk, &g, buf);
    load_group(buf, x);
    first = 1;
  }
  for (uint64_t n = first; n < ngroups; n++) {
    uint8_t* p = buf + n * kGroupBytes;
    if (decrypt) load_group(p, x);
    counters(&g, base, ctr + uint32_t(n * kLanes), rk.k[0]);
    y = hash_group(rk, &g, hp, y, x);
    finish_group(rk, &g, p);
    if (!decrypt) load_group(p, x);
  }
  if (!decrypt) y = hash_group(rk, nullptr, hp, y, x);
  acc->hi = uint64_t(_mm_extract_epi64(y, 1));
  acc->lo = uint64_t(_mm_extract_epi64(y, 0));
}

namespace {

constexpr int kWideRegs = 4;                         // zmm registers of four blocks each
constexpr uint64_t kWideBytes = kWideRegs * 4 * kBlock;  // 16 blocks per stride
static_assert(kWideBytes == kGcmWideBytes);

TW3_VAES512 inline __m512i swap_lanes() {  // byte reversal within each 128-bit lane
  return _mm512_broadcast_i32x4(_mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));
}

struct wide_state {
  __m512i rk[kRoundsMax + 1];
  __m512i hp[kWideRegs];  // lane k of hp[r] = H^(16 - 4r - k)
  __m512i ctr[kWideRegs];  // counter blocks byte-reversed: the counter is each lane's low dword
  __m512i x[kWideRegs];    // byte-reversed ciphertext waiting to be hashed
  int n;
};

TW3_VAES512 inline void wide_aes(const wide_state& st, __m512i b[kWideRegs], int from, int to) {
  for (int r = from; r < to; r++)
    for (int j = 0; j < kWideRegs; j++) b[j] = _mm512_aesenc_epi128(b[j], st.rk[r]);
}

// Sixteen counter blocks through round `kWideRegs`, the counters advanced.
TW3_VAES512 inline void wide_start(wide_state* st, __m512i b[kWideRegs]) {
  const __m512i swap = swap_lanes();
  const __m512i step = _mm512_broadcast_i32x4(_mm_set_epi32(0, 0, 0, int(kWideBytes / kBlock)));
  for (int j = 0; j < kWideRegs; j++) {
    b[j] = _mm512_xor_si512(_mm512_shuffle_epi8(st->ctr[j], swap), st->rk[0]);
    st->ctr[j] = _mm512_add_epi32(st->ctr[j], step);
  }
}

// Y' = (Y ^ X0) H^16 ^ ... ^ X15 H with one reduction, AES rounds 1..4 of
// the next sixteen blocks interleaved with the four product groups.
TW3_VAES512 inline __m128i wide_hash(const wide_state& st, __m512i* b, __m128i y) {
  __m512i lo = _mm512_setzero_si512(), mid = lo, hi = lo;
  for (int g = 0; g < kWideRegs; g++) {
    if (b != nullptr) wide_aes(st, b, g + 1, g + 2);
    __m512i x = g == 0 ? _mm512_xor_si512(st.x[0], _mm512_zextsi128_si512(y)) : st.x[g];
    lo = _mm512_xor_si512(lo, _mm512_clmulepi64_epi128(x, st.hp[g], 0x00));
    hi = _mm512_xor_si512(hi, _mm512_clmulepi64_epi128(x, st.hp[g], 0x11));
    mid = _mm512_ternarylogic_epi64(mid, _mm512_clmulepi64_epi128(x, st.hp[g], 0x01),
                                    _mm512_clmulepi64_epi128(x, st.hp[g], 0x10), 0x96);
  }
  return reduce(wide{fold_lanes(lo), fold_lanes(mid), fold_lanes(hi)});
}

TW3_VAES512 inline void wide_finish(const wide_state& st, __m512i b[kWideRegs], uint8_t* p) {
  wide_aes(st, b, kWideRegs + 1, st.n);
  for (int j = 0; j < kWideRegs; j++) {
    __m512i in = _mm512_loadu_si512(p + 64 * j);
    _mm512_storeu_si512(p + 64 * j, _mm512_xor_si512(in, _mm512_aesenclast_epi128(b[j], st.rk[st.n])));
  }
}

TW3_VAES512 inline void wide_load(wide_state* st, const uint8_t* p) {
  for (int j = 0; j < kWideRegs; j++)
    st->x[j] = _mm512_shuffle_epi8(_mm512_loadu_si512(p + 64 * j), swap_lanes());
}

TW3_VAES512 void wide_setup(wide_state* st, const tw3_aes128* ks, __m128i h1, const uint8_t nonce[12],
                            uint32_t ctr) {
  round_keys rk;
  load_keys(ks, &rk);
  st->n = rk.n;
  for (int r = 0; r <= rk.n; r++) st->rk[r] = _mm512_broadcast_i32x4(rk.k[r]);
  alignas(64) __m128i pow[16];  // pow[i] = H^(16 - i)
  pow[15] = h1;
  for (int i = 14; i >= 0; i--) pow[i] = gf_mul(pow[i + 1], h1);
  alignas(64) __m128i cb[16];
  uint8_t base[kBlock] = {};
  std::memcpy(base, nonce, 12);
  for (int i = 0; i < 16; i++) {
    store_be32(base + 12, ctr + uint32_t(i));
    cb[i] = load_swapped(base);
  }
  for (int j = 0; j < kWideRegs; j++) {
    st->hp[j] = _mm512_load_si512(pow + 4 * j);
    st->ctr[j] = _mm512_load_si512(cb + 4 * j);
  }
}

}  // namespace

// The same stitching as x86_gcm_groups, sixteen blocks at a time in four
// 512-bit registers of four blocks (VAES runs four AES lanes per instruction).
TW3_VAES512 void x86_gcm_wide(const tw3_aes128* ks, uint64_t h_hi, uint64_t h_lo,
                              const uint8_t nonce[12], uint32_t ctr, ghash_acc* acc, uint8_t* buf,
                              uint64_t nstrides, bool decrypt) {
  if (nstrides == 0) return;
  wide_state st;
  wide_setup(&st, ks, _mm_set_epi64x(int64_t(h_hi), int64_t(h_lo)), nonce, ctr);
  __m128i y = _mm_set_epi64x(int64_t(acc->hi), int64_t(acc->lo));
  __m512i b[kWideRegs];
  uint64_t first = 0;
  if (!decrypt) {
    wide_start(&st, b);
    wide_aes(st, b, 1, kWideRegs + 1);
    wide_finish(st, b, buf);
    wide_load(&st, buf);
    first = 1;
  }
  for (uint64_t n = first; n < nstrides; n++) {
    uint8_t* p = buf + n * kWideBytes;
    if (decrypt) wide_load(&st, p);
    wide_start(&st, b);
    y = wide_hash(st, b, y);
    wide_finish(st, b, p);
    if (!decrypt) wide_load(&st, p);
  }
  if (!decrypt) y = wide_hash(st, nullptr, y);
  acc->hi = uint64_t(_mm_extract_epi64(y, 1));
  acc->lo = uint64_t(_mm_extract_epi64(y, 0));
}

}  // namespace tw3c

#else  // no x86: never called, since use_x86() is false

namespace tw3c {
void x86_gcm_groups(const tw3_aes128*, uint64_t, uint64_t, const uint8_t*, uint32_t, ghash_acc*,
                    uint8_t*, uint64_t, bool) {}
void x86_gcm_wide(const tw3_aes128*, uint64_t, uint64_t, const uint8_t*, uint32_t, ghash_acc*,
                  uint8_t*, uint64_t, bool) {}
}  // namespace tw3c

#endif
