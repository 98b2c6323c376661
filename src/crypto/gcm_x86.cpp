// x86 AES-GCM bulk kernel: counter-mode encryption and GHASH in one pass.
// Run separately, GCTR leaves the carry-less multiplier idle and GHASH leaves
// the AES unit idle; interleaving eight AESENC streams with eight PCLMULQDQ
// products keeps both busy, and the data is read from memory once.
#include "crypto/internal.h"

#if defined(__x86_64__)

#include "crypto/x86_inline.h"

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

}  // namespace tw3c

#else  // no x86: never called, since use_x86() is false

namespace tw3c {
void x86_gcm_groups(const tw3_aes128*, uint64_t, uint64_t, const uint8_t*, uint32_t, ghash_acc*,
                    uint8_t*, uint64_t, bool) {}
}  // namespace tw3c

#endif
