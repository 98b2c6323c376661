// A CCM-style mode over a caller-built 16-byte block B whose last byte is the
// block counter: CBC-MAC from B itself, CTR with B's counter byte set to n.
#include "crypto/internal.h"

using namespace tw3c;

namespace {

constexpr uint64_t kBlock = 16;

// MAC over the plaintext in buf: a CBC chain starting from B, last block zero-filled.
void ccm_mac(const tw3_aes128* ks, const uint8_t b[16], const uint8_t* buf, uint64_t len,
             uint8_t mac[16]) {
  std::memcpy(mac, b, kBlock);
  for (uint64_t off = 0; off < len; off += kBlock) {
    uint64_t n = len - off < kBlock ? len - off : kBlock;
    for (uint64_t i = 0; i < n; i++) mac[i] ^= buf[off + i];
    k_aes128_encrypt(ks, mac, mac);
  }
}

// Data block n (from 1) uses AES-K(B with last byte n); the counter byte wraps.
void ccm_ctr(const tw3_aes128* ks, const uint8_t b[16], uint8_t* buf, uint64_t len) {
  uint8_t cb[kBlock], stream[kBlock];
  std::memcpy(cb, b, kBlock);
  uint64_t n = 1;
  for (uint64_t off = 0; off < len; off += kBlock, n++) {
    cb[kBlock - 1] = uint8_t(n);
    k_aes128_encrypt(ks, cb, stream);
    uint64_t m = len - off < kBlock ? len - off : kBlock;
    for (uint64_t i = 0; i < m; i++) buf[off + i] ^= stream[i];
  }
  wipe_rule(stream, sizeof stream);
}

void ccm_tag(const tw3_aes128* ks, const uint8_t b[16], const uint8_t mac[16], uint64_t len,
             uint8_t tag[16]) {
  uint8_t cb[kBlock];
  std::memcpy(cb, b, kBlock);
  cb[kBlock - 1] = uint8_t((len + kBlock - 1) / kBlock + 1);
  k_aes128_encrypt(ks, cb, tag);
  xor16(tag, tag, mac);
}

}  // namespace

void k_ccm_init(tw3_aes128* ks, const uint8_t key[16]) { k_aes128_setkey(ks, key); }

void k_ccm_seal(const tw3_aes128* ks, const uint8_t b[16], uint8_t* buf, uint64_t len,
                uint8_t tag[16]) {
  uint8_t mac[kBlock];
  ccm_mac(ks, b, buf, len, mac);
  ccm_ctr(ks, b, buf, len);
  ccm_tag(ks, b, mac, len, tag);
}

int k_ccm_open(const tw3_aes128* ks, const uint8_t b[16], uint8_t* buf, uint64_t len,
               const uint8_t tag[16]) {
  ccm_ctr(ks, b, buf, len);
  uint8_t mac[kBlock], expect[kBlock];
  ccm_mac(ks, b, buf, len, mac);
  ccm_tag(ks, b, mac, len, expect);
  if (diff_bytes(expect, tag, kBlock) != 0) {
    wipe_rule(buf, len);
    return -1;
  }
  return 0;
}

// ---- CCM (SP 800-38C, RFC 3610): nonces of 7..13 bytes, even tags of 4..16 ----

namespace {

constexpr uint64_t kAadShortMax = 0xFF00;  // below this, the AAD length takes two bytes
constexpr uint8_t kAadLongMark[2] = {0xFF, 0xFE};

// Formatting of the counter blocks A_i: flags q-1, the nonce, i in q bytes.
void ctr_block(uint8_t out[16], const uint8_t* nonce, uint64_t nonce_len, uint64_t i) {
  std::memset(out, 0, kBlock);
  const uint64_t q = kBlock - 1 - nonce_len;
  out[0] = uint8_t(q - 1);
  std::memcpy(out + 1, nonce, nonce_len);
  for (uint64_t k = 0; k < q && k < 8; k++) out[kBlock - 1 - k] = uint8_t(i >> (8 * k));
}

// Keystream from A_1 on XORed into buf. With an 11-byte nonce the counter
// field is four bytes, the layout of the GCM counter kernel.
void ccm_ctr_aead(const tw3_aes128* ks, const uint8_t* nonce, uint64_t nonce_len, uint8_t* buf,
                  uint64_t len) {
  uint8_t cb[kBlock], stream[kBlock];
  if (nonce_len == 11 && use_x86()) {
    ctr_block(cb, nonce, nonce_len, 0);
    x86_gctr(ks, cb, 1, buf, len);
    return;
  }
  uint64_t i = 1;
  for (uint64_t off = 0; off < len; off += kBlock, i++) {
    ctr_block(cb, nonce, nonce_len, i);
    k_aes128_encrypt(ks, cb, stream);
    const uint64_t m = len - off < kBlock ? len - off : kBlock;
    for (uint64_t k = 0; k < m; k++) buf[off + k] ^= stream[k];
  }
  wipe_rule(stream, sizeof stream);
}

// CBC-MAC state: x, plus a partial block waiting for more bytes.
struct cbc_mac {
  const tw3_aes128* ks;
  uint8_t x[kBlock];
  uint8_t part[kBlock];
  uint64_t part_len;
};

void mac_blocks(cbc_mac* m, const uint8_t* p, uint64_t nblocks) {
  if (use_x86()) return x86_cmac_blocks(m->ks, m->x, p, nblocks);
  for (uint64_t b = 0; b < nblocks; b++) {
    for (uint64_t k = 0; k < kBlock; k++) m->x[k] ^= p[b * kBlock + k];
    k_aes128_encrypt(m->ks, m->x, m->x);
  }
}

void mac_add(cbc_mac* m, const uint8_t* p, uint64_t len) {
  if (m->part_len > 0) {
    const uint64_t take = kBlock - m->part_len < len ? kBlock - m->part_len : len;
    std::memcpy(m->part + m->part_len, p, take);
    m->part_len += take;
    p += take;
    len -= take;
    if (m->part_len < kBlock) return;
    mac_blocks(m, m->part, 1);
    m->part_len = 0;
  }
  mac_blocks(m, p, len / kBlock);
  m->part_len = len % kBlock;
  if (m->part_len != 0) std::memcpy(m->part, p + len - m->part_len, m->part_len);
}

// Zero-fills the pending partial block and absorbs it.
void mac_pad(cbc_mac* m) {
  if (m->part_len == 0) return;
  std::memset(m->part + m->part_len, 0, kBlock - m->part_len);
  mac_blocks(m, m->part, 1);
  m->part_len = 0;
}

// B_0 and the encoded AAD into a fresh chain; the text follows from a block
// boundary.
void mac_start(cbc_mac* m, const uint8_t* nonce, uint64_t nonce_len, const uint8_t* aad,
               uint64_t aad_len, uint64_t len, uint64_t tag_len) {
  uint8_t b0[kBlock];
  ctr_block(b0, nonce, nonce_len, len);
  b0[0] = uint8_t((aad_len > 0 ? 0x40 : 0) | ((tag_len - 2) / 2) << 3 | b0[0]);
  mac_blocks(m, b0, 1);
  if (aad_len == 0) return;
  uint8_t enc[6];
  uint64_t n = 2;
  if (aad_len < kAadShortMax) {
    enc[0] = uint8_t(aad_len >> 8);
    enc[1] = uint8_t(aad_len);
  } else {
    std::memcpy(enc, kAadLongMark, 2);
    store_be32(enc + 2, uint32_t(aad_len));
    n = 6;
  }
  mac_add(m, enc, n);
  mac_add(m, aad, aad_len);
  mac_pad(m);
}

// The unencrypted tag T over B_0, the encoded AAD and the plaintext.
void ccm_mac_aead(const tw3_aes128* ks, const uint8_t* nonce, uint64_t nonce_len,
                  const uint8_t* aad, uint64_t aad_len, const uint8_t* text, uint64_t len,
                  uint64_t tag_len, uint8_t t[16]) {
  cbc_mac m{ks, {}, {}, 0};
  mac_start(&m, nonce, nonce_len, aad, aad_len, len, tag_len);
  mac_add(&m, text, len);
  mac_pad(&m);
  std::memcpy(t, m.x, kBlock);
  wipe_rule(&m, sizeof m);
}

// Both halves in one pass (the x86 kernel, 11-byte nonces as SMB 3 uses):
// T over the plaintext and buf encrypted or decrypted in place.
void ccm_stitched(const tw3_aes128* ks, const uint8_t* nonce, uint64_t nonce_len,
                  const uint8_t* aad, uint64_t aad_len, uint8_t* buf, uint64_t len,
                  uint64_t tag_len, bool decrypt, uint8_t t[16]) {
  cbc_mac m{ks, {}, {}, 0};
  mac_start(&m, nonce, nonce_len, aad, aad_len, len, tag_len);
  uint8_t a0[kBlock];
  ctr_block(a0, nonce, nonce_len, 0);
  const uint64_t nblocks = len / kBlock, done = nblocks * kBlock;
  x86_ccm_blocks(ks, a0, m.x, buf, nblocks, decrypt);
  if (decrypt) x86_gctr(ks, a0, uint32_t(nblocks + 1), buf + done, len - done);
  mac_add(&m, buf + done, len - done);
  mac_pad(&m);
  if (!decrypt) x86_gctr(ks, a0, uint32_t(nblocks + 1), buf + done, len - done);
  std::memcpy(t, m.x, kBlock);
  wipe_rule(&m, sizeof m);
}

bool stitched(uint64_t nonce_len) { return nonce_len == 11 && use_x86(); }

// tag = T XOR the first tag_len bytes of AES-K(A_0).
void ccm_final_tag(const tw3_aes128* ks, const uint8_t* nonce, uint64_t nonce_len,
                   const uint8_t t[16], uint8_t out[16]) {
  uint8_t a0[kBlock];
  ctr_block(a0, nonce, nonce_len, 0);
  k_aes128_encrypt(ks, a0, out);
  xor16(out, out, t);
}

}  // namespace

void k_ccm_aead_seal(const tw3_aes128* ks, const uint8_t* nonce, uint64_t nonce_len,
                     const void* aad, uint64_t aad_len, uint8_t* buf, uint64_t len,
                     uint8_t* tag, uint64_t tag_len) {
  uint8_t t[kBlock], full[kBlock];
  const auto* a = static_cast<const uint8_t*>(aad);
  if (stitched(nonce_len)) {
    ccm_stitched(ks, nonce, nonce_len, a, aad_len, buf, len, tag_len, false, t);
  } else {
    ccm_mac_aead(ks, nonce, nonce_len, a, aad_len, buf, len, tag_len, t);
    ccm_ctr_aead(ks, nonce, nonce_len, buf, len);
  }
  ccm_final_tag(ks, nonce, nonce_len, t, full);
  std::memcpy(tag, full, tag_len);
}

int k_ccm_aead_open(const tw3_aes128* ks, const uint8_t* nonce, uint64_t nonce_len,
                    const void* aad, uint64_t aad_len, uint8_t* buf, uint64_t len,
                    const uint8_t* tag, uint64_t tag_len) {
  uint8_t t[kBlock], full[kBlock];
  const auto* a = static_cast<const uint8_t*>(aad);
  if (stitched(nonce_len)) {
    ccm_stitched(ks, nonce, nonce_len, a, aad_len, buf, len, tag_len, true, t);
  } else {
    ccm_ctr_aead(ks, nonce, nonce_len, buf, len);
    ccm_mac_aead(ks, nonce, nonce_len, a, aad_len, buf, len, tag_len, t);
  }
  ccm_final_tag(ks, nonce, nonce_len, t, full);
  if (diff_bytes(full, tag, tag_len) != 0) {
    wipe_rule(buf, len);
    return -1;
  }
  return 0;
}
