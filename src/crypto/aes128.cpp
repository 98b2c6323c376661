// AES-128 (FIPS 197): S-boxes built on first use, key expansion, the cipher
// and its inverse. Byte-oriented, with no tables besides the two S-boxes.
#include <atomic>

#include "crypto/internal.h"

namespace tw3c {

uint8_t k_ae_sbox[256];
uint8_t k_ae_sbox_inv[256];

namespace {

// Set only after both tables are whole, for the life of the process.
std::atomic<uint32_t> k_ae_ready{0};

constexpr uint8_t kReduce = 0x1b;  // x^8 = x^4 + x^3 + x + 1
constexpr uint8_t kAffine = 0x63;
constexpr int kRounds128 = 10;
constexpr int kRounds256 = 14;

inline uint8_t xtime(uint8_t x) { return uint8_t((x << 1) ^ ((x >> 7) * kReduce)); }
inline uint8_t rotl8(uint8_t x, int n) { return uint8_t((x << n) | (x >> (8 - n))); }

// p walks the multiplicative group by powers of 3 while q walks it by powers
// of 3^-1, so q is always p's inverse; the affine map of q is S(p).
void build_tables() {
  uint8_t p = 1, q = 1;
  do {
    p = uint8_t(p ^ (p << 1) ^ ((p & 0x80) ? kReduce : 0));
    q ^= uint8_t(q << 1);
    q ^= uint8_t(q << 2);
    q ^= uint8_t(q << 4);
    if (q & 0x80) q ^= 0x09;
    k_ae_sbox[p] = uint8_t(q ^ rotl8(q, 1) ^ rotl8(q, 2) ^ rotl8(q, 3) ^ rotl8(q, 4) ^ kAffine);
  } while (p != 1);
  k_ae_sbox[0] = kAffine;
  for (int i = 0; i < 256; i++) k_ae_sbox_inv[k_ae_sbox[i]] = uint8_t(i);
  k_ae_ready.store(1, std::memory_order_release);
}

inline uint8_t gmul(uint8_t a, uint8_t b) {
  uint8_t r = 0;
  for (int i = 0; i < 8; i++) {
    r ^= uint8_t(-(b & 1) & a);
    a = xtime(a);
    b >>= 1;
  }
  return r;
}

inline void add_round_key(uint8_t s[16], const uint32_t* w) {
  for (int c = 0; c < 4; c++) {
    s[4 * c] ^= uint8_t(w[c] >> 24);
    s[4 * c + 1] ^= uint8_t(w[c] >> 16);
    s[4 * c + 2] ^= uint8_t(w[c] >> 8);
    s[4 * c + 3] ^= uint8_t(w[c]);
  }
}

// SubBytes and ShiftRows together: new[k] = S(old[5k mod 16]).
inline void sub_shift(uint8_t s[16]) {
  uint8_t t[16];
  for (int k = 0; k < 16; k++) t[k] = k_ae_sbox[s[(5 * k) & 15]];
  std::memcpy(s, t, 16);
}

// Inverse: new[k] = S^-1(old[13k mod 16]), since 13 = 5^-1 mod 16.
inline void inv_sub_shift(uint8_t s[16]) {
  uint8_t t[16];
  for (int k = 0; k < 16; k++) t[k] = k_ae_sbox_inv[s[(13 * k) & 15]];
  std::memcpy(s, t, 16);
}

inline void mix_columns(uint8_t s[16]) {
  for (int c = 0; c < 4; c++) {
    uint8_t* a = s + 4 * c;
    uint8_t all = uint8_t(a[0] ^ a[1] ^ a[2] ^ a[3]);
    uint8_t a0 = a[0];
    a[0] ^= uint8_t(all ^ xtime(uint8_t(a[0] ^ a[1])));
    a[1] ^= uint8_t(all ^ xtime(uint8_t(a[1] ^ a[2])));
    a[2] ^= uint8_t(all ^ xtime(uint8_t(a[2] ^ a[3])));
    a[3] ^= uint8_t(all ^ xtime(uint8_t(a[3] ^ a0)));
  }
}

inline void inv_mix_columns(uint8_t s[16]) {
  for (int c = 0; c < 4; c++) {
    uint8_t* a = s + 4 * c;
    uint8_t b0 = a[0], b1 = a[1], b2 = a[2], b3 = a[3];
    a[0] = gmul(b0, 14) ^ gmul(b1, 11) ^ gmul(b2, 13) ^ gmul(b3, 9);
    a[1] = gmul(b0, 9) ^ gmul(b1, 14) ^ gmul(b2, 11) ^ gmul(b3, 13);
    a[2] = gmul(b0, 13) ^ gmul(b1, 9) ^ gmul(b2, 14) ^ gmul(b3, 11);
    a[3] = gmul(b0, 11) ^ gmul(b1, 13) ^ gmul(b2, 9) ^ gmul(b3, 14);
  }
}

inline uint32_t sub_word(uint32_t w) {
  return uint32_t(k_ae_sbox[w >> 24]) << 24 | uint32_t(k_ae_sbox[(w >> 16) & 0xff]) << 16 |
         uint32_t(k_ae_sbox[(w >> 8) & 0xff]) << 8 | k_ae_sbox[w & 0xff];
}

}  // namespace

void k_ae_init_tables() {
  // Thread-safe static initialisation: one builder, everyone else waits for it.
  [[maybe_unused]] static const bool built = (build_tables(), true);
}

int k_ae_is_ready() { return int(k_ae_ready.load(std::memory_order_acquire)); }

// FIPS 197 key expansion for a key of nk words: 4 (AES-128) or 8 (AES-256).
void aes_expand_portable(tw3_aes128* ks, const uint8_t* key, int nk, int rounds) {
  uint32_t* w = ks->rk;
  for (int i = 0; i < nk; i++) w[i] = load_be32(key + 4 * i);
  uint8_t rcon = 1;
  for (int i = nk; i < 4 * (rounds + 1); i++) {
    uint32_t temp = w[i - 1];
    if (i % nk == 0) {
      temp = sub_word(rotl32(temp, 8)) ^ (uint32_t(rcon) << 24);
      rcon = xtime(rcon);
    } else if (nk > 6 && i % nk == 4) {
      temp = sub_word(temp);
    }
    w[i] = w[i - nk] ^ temp;
  }
  ks->rounds = rounds;
}

void aes128_setkey_portable(tw3_aes128* ks, const uint8_t key[16]) {
  aes_expand_portable(ks, key, 4, kRounds128);
}

void aes128_encrypt_portable(const tw3_aes128* ks, const uint8_t in[16], uint8_t out[16]) {
  uint8_t s[16];
  std::memcpy(s, in, 16);
  add_round_key(s, ks->rk);
  for (int r = 1; r < ks->rounds; r++) {
    sub_shift(s);
    mix_columns(s);
    add_round_key(s, ks->rk + 4 * r);
  }
  sub_shift(s);
  add_round_key(s, ks->rk + 4 * ks->rounds);
  std::memcpy(out, s, 16);
}

}  // namespace tw3c

using namespace tw3c;

void k_aes128_setkey(tw3_aes128* ks, const uint8_t key[16]) {
  k_ae_init_tables();
  if (use_x86()) {
    x86_aes128_setkey(ks, key);
  } else {
    aes128_setkey_portable(ks, key);
  }
}

// The expansion is portable for both paths: it runs once per session key,
// and the accelerated kernels read the same schedule.
void k_aes256_setkey(tw3_aes128* ks, const uint8_t key[32]) {
  k_ae_init_tables();
  aes_expand_portable(ks, key, 8, kRounds256);
}

void k_aes128_encrypt(const tw3_aes128* ks, const uint8_t in[16], uint8_t out[16]) {
  if (use_x86()) {
    x86_aes128_encrypt(ks, in, out);
  } else {
    aes128_encrypt_portable(ks, in, out);
  }
}

void k_aes128_decrypt(const tw3_aes128* ks, const uint8_t in[16], uint8_t out[16]) {
  k_ae_init_tables();  // a schedule may have been copied in from elsewhere
  uint8_t s[16];
  std::memcpy(s, in, 16);
  add_round_key(s, ks->rk + 4 * ks->rounds);
  for (int r = ks->rounds - 1; r >= 1; r--) {
    inv_sub_shift(s);
    add_round_key(s, ks->rk + 4 * r);
    inv_mix_columns(s);
  }
  inv_sub_shift(s);
  add_round_key(s, ks->rk);
  std::memcpy(out, s, 16);
}
