// x86 AES-NI kernels: key expansion, single blocks, the CMAC chain and
// GCTR (GHASH is in ghash_x86.cpp). Each
// function carries its own target attribute so the rest of the build stays
// generic; dispatch.cpp calls here only when the CPU has the instructions.
// Results are bit-identical to the portable kernels (the tests compare them).
#include "crypto/internal.h"

#if defined(__x86_64__)

#include "crypto/x86_inline.h"

namespace tw3c {
using namespace x86;

// Key expansion with AESENCLAST instead of AESKEYGENASSIST (which has a long
// latency on many cores): with RotWord(w3) broadcast to all four columns,
// ShiftRows is a no-op and AESENCLAST yields SubWord(RotWord(w3)) ^ rcon.
TW3_X86 void x86_aes128_setkey(tw3_aes128* ks, const uint8_t key[16]) {
  const __m128i rot_broadcast = _mm_set1_epi32(0x0c0f0e0d);  // bytes 13,14,15,12
  __m128i rcon = _mm_set1_epi32(1);
  const __m128i m = lane_swap_mask();
  __m128i k = _mm_loadu_si128(reinterpret_cast<const __m128i*>(key));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(ks->rk), _mm_shuffle_epi8(k, m));
  for (int r = 1; r <= kRounds128; r++) {
    __m128i t = _mm_aesenclast_si128(_mm_shuffle_epi8(k, rot_broadcast), rcon);
    // After 0x80 the doubling must reduce: 0x1b, then 0x36.
    rcon = r == 8 ? _mm_set1_epi32(0x1b) : _mm_slli_epi32(rcon, 1);
    k = _mm_xor_si128(k, _mm_slli_si128(k, 4));
    k = _mm_xor_si128(k, _mm_slli_si128(k, 8));
    k = _mm_xor_si128(k, t);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(ks->rk + 4 * r), _mm_shuffle_epi8(k, m));
  }
  ks->rounds = kRounds128;
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
    for (int r = 1; r < rk.n; r++) v = _mm_aesenc_si128(v, rk.k[r]);
    v = _mm_aesenclast_si128(v, rk.k[rk.n]);
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(x), v);
}

// A counter block: `base` with its last four bytes the big-endian counter i.
TW3_X86 inline __m128i with_counter(__m128i base, uint64_t i) {
  return _mm_insert_epi32(base, int(__builtin_bswap32(uint32_t(i))), 3);
}

// The CBC-MAC chain is serial; each counter block rides along in the same
// rounds, filling the latency the chain leaves. Opening computes the next
// block's keystream beside the MAC of the current plaintext.
TW3_X86 void x86_ccm_blocks(const tw3_aes128* ks, const uint8_t a0[16], uint8_t x[16], uint8_t* buf,
                            uint64_t nblocks, bool decrypt) {
  round_keys rk;
  load_keys(ks, &rk);
  const __m128i base = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a0));
  __m128i mac = _mm_loadu_si128(reinterpret_cast<const __m128i*>(x));
  __m128i stream = decrypt ? encrypt_block(rk, with_counter(base, 1)) : _mm_setzero_si128();
  for (uint64_t i = 0; i < nblocks; i++) {
    __m128i* p = reinterpret_cast<__m128i*>(buf + i * kBlock);
    __m128i in = _mm_loadu_si128(p);
    __m128i plain = decrypt ? _mm_xor_si128(in, stream) : in;
    __m128i c = _mm_xor_si128(with_counter(base, decrypt ? i + 2 : i + 1), rk.k[0]);
    mac = _mm_xor_si128(mac, _mm_xor_si128(plain, rk.k[0]));
    for (int r = 1; r < rk.n; r++) {
      c = _mm_aesenc_si128(c, rk.k[r]);
      mac = _mm_aesenc_si128(mac, rk.k[r]);
    }
    c = _mm_aesenclast_si128(c, rk.k[rk.n]);
    mac = _mm_aesenclast_si128(mac, rk.k[rk.n]);
    if (decrypt) {
      _mm_storeu_si128(p, plain);
      stream = c;
    } else {
      _mm_storeu_si128(p, _mm_xor_si128(in, c));
    }
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(x), mac);
}

// Eight counter blocks go through the rounds side by side: their AESENCs are
// independent, so the unit's pipeline stays full instead of waiting out each
// block's latency.
TW3_X86 void x86_gctr(const tw3_aes128* ks, const uint8_t nonce[12], uint32_t ctr, uint8_t* buf,
                      uint64_t len) {
  constexpr int kWide = 8;
  round_keys rk;
  load_keys(ks, &rk);
  uint8_t base_bytes[kBlock] = {};
  std::memcpy(base_bytes, nonce, 12);
  const __m128i base = _mm_loadu_si128(reinterpret_cast<const __m128i*>(base_bytes));
  uint64_t off = 0;
  for (; len - off >= kWide * kBlock; off += kWide * kBlock, ctr += kWide) {
    __m128i b[kWide];
    for (int i = 0; i < kWide; i++)
      b[i] = _mm_xor_si128(_mm_insert_epi32(base, int(__builtin_bswap32(ctr + uint32_t(i))), 3), rk.k[0]);
    for (int r = 1; r < rk.n; r++)
      for (int i = 0; i < kWide; i++) b[i] = _mm_aesenc_si128(b[i], rk.k[r]);
    for (int i = 0; i < kWide; i++) {
      __m128i* p = reinterpret_cast<__m128i*>(buf + off + uint64_t(i) * kBlock);
      _mm_storeu_si128(p, _mm_xor_si128(_mm_loadu_si128(p), _mm_aesenclast_si128(b[i], rk.k[rk.n])));
    }
  }
  for (; off < len; off += kBlock, ctr++) {
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
void x86_ccm_blocks(const tw3_aes128*, const uint8_t*, uint8_t*, uint8_t*, uint64_t, bool) {}
void x86_gctr(const tw3_aes128*, const uint8_t*, uint32_t, uint8_t*, uint64_t) {}
}  // namespace tw3c

#endif
