// MD4 (RFC 1320): the NT one-way hash of a password.
#include "crypto/internal.h"

using namespace tw3c;

namespace {

constexpr uint32_t kRound2 = 0x5a827999;
constexpr uint32_t kRound3 = 0x6ed9eba1;
constexpr int kOrder2[16] = {0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15};
constexpr int kOrder3[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
constexpr int kShift[3][4] = {{3, 7, 11, 19}, {3, 5, 9, 13}, {3, 9, 11, 15}};

void md4_block(uint32_t state[4], const uint8_t block[64]) {
  uint32_t x[16];
  for (int i = 0; i < 16; i++) x[i] = le32(block + 4 * i);
  uint32_t v[4] = {state[0], state[1], state[2], state[3]};
  // Step i updates word (4 - i % 4) % 4 (a, d, c, b, a, ...) from the other three.
  for (int i = 0; i < 48; i++) {
    int r = i / 16;
    int k = i % 16;
    int ia = (4 - k % 4) % 4;
    uint32_t b = v[(ia + 1) % 4], c = v[(ia + 2) % 4], d = v[(ia + 3) % 4];
    uint32_t f;
    if (r == 0) {
      f = ((b & c) | (~b & d)) + x[k];
    } else if (r == 1) {
      f = ((b & c) | (b & d) | (c & d)) + x[kOrder2[k]] + kRound2;
    } else {
      f = (b ^ c ^ d) + x[kOrder3[k]] + kRound3;
    }
    v[ia] = rotl32(v[ia] + f, kShift[r][k % 4]);
  }
  for (int i = 0; i < 4; i++) state[i] += v[i];
}

}  // namespace

void tw3_md4(const void* data, uint64_t len, uint8_t out[16]) {
  md_digest(data, len, out, md4_block);
}
