// The accelerated kernels (AES-NI, PCLMULQDQ, VPCLMULQDQ, the BMI2 SHA-512)
// must give exactly the portable results.
#include <gtest/gtest.h>

#include <vector>

#include "crypto/crypto.h"
#include "crypto/hex.h"

using tw3t::hex;
using tw3t::unhex;

namespace {

struct outputs {
  std::string schedule, block, cmac, gmac, gcm_tag, gcm_text, ccm_tag, ccm_text, sha512;
};

outputs run_all(const std::vector<uint8_t>& key, const std::vector<uint8_t>& data, int portable) {
  tw3_crypto_force_portable(portable);
  outputs o;
  tw3_aes128 ks;
  k_aes128_setkey(&ks, key.data());
  o.schedule = hex(reinterpret_cast<const uint8_t*>(ks.rk), sizeof(uint32_t) * 4 * (ks.rounds + 1));
  uint8_t out[16];
  k_aes128_encrypt(&ks, data.size() >= 16 ? data.data() : key.data(), out);
  o.block = hex(out, 16);
  k_cmac(key.data(), data.data(), data.size(), out);
  o.cmac = hex(out, 16);
  tw3_gcm_ctx g;
  k_gcm_init(&g, key.data());
  const uint8_t* nonce = key.data() + 2;
  k_gcm_tag_only(&g, nonce, data.data(), data.size(), out);
  o.gmac = hex(out, 16);
  // Split the data into aad and text at an odd point.
  size_t cut = data.size() / 3;
  auto text = std::vector<uint8_t>(data.begin() + long(cut), data.end());
  k_gcm_seal(&g, nonce, data.data(), cut, text.data(), text.size(), out);
  o.gcm_tag = hex(out, 16);
  o.gcm_text = hex(text);
  // CCM as SMB 3 uses it (11-byte nonce, 16-byte tag): the stitched kernel
  // handles whole blocks, the portable path the tail; opening must restore.
  auto ccm = std::vector<uint8_t>(data.begin() + long(cut), data.end());
  k_ccm_aead_seal(&g.ks, nonce, 11, data.data(), cut, ccm.data(), ccm.size(), out, 16);
  o.ccm_tag = hex(out, 16);
  o.ccm_text = hex(ccm);
  if (k_ccm_aead_open(&g.ks, nonce, 11, data.data(), cut, ccm.data(), ccm.size(), out, 16) != 0 ||
      ccm != std::vector<uint8_t>(data.begin() + long(cut), data.end()))
    o.ccm_text = "open failed";
  uint8_t digest[64];
  tw3_sha512(data.data(), data.size(), digest);
  o.sha512 = hex(digest, 64);
  tw3_crypto_force_portable(0);
  return o;
}

void expect_same(const outputs& a, const outputs& b, size_t len) {
  EXPECT_EQ(a.schedule, b.schedule) << len;
  EXPECT_EQ(a.block, b.block) << len;
  EXPECT_EQ(a.cmac, b.cmac) << len;
  EXPECT_EQ(a.gmac, b.gmac) << len;
  EXPECT_EQ(a.gcm_tag, b.gcm_tag) << len;
  EXPECT_EQ(a.gcm_text, b.gcm_text) << len;
  EXPECT_EQ(a.ccm_tag, b.ccm_tag) << len;
  EXPECT_EQ(a.ccm_text, b.ccm_text) << len;
  EXPECT_EQ(a.sha512, b.sha512) << len;
}

TEST(Accelerated, EqualsPortableForEveryLengthUpTo1100) {
  if (!tw3_crypto_accelerated()) GTEST_SKIP() << "no AES-NI/PCLMULQDQ on this CPU";
  for (size_t len = 0; len <= 1100; len++) {
    const auto key = tw3t::noise(16, 1000 + len);
    const auto data = tw3t::noise(len, len);
    expect_same(run_all(key, data, 0), run_all(key, data, 1), len);
    if (HasFailure()) return;
  }
}

TEST(Accelerated, EqualsPortableOnOneMebibyte) {
  if (!tw3_crypto_accelerated()) GTEST_SKIP() << "no AES-NI/PCLMULQDQ on this CPU";
  const auto key = tw3t::noise(16, 77);
  const auto data = tw3t::noise(1 << 20, 78);
  expect_same(run_all(key, data, 0), run_all(key, data, 1), data.size());
}

struct sealed {
  std::vector<uint8_t> text;
  std::string tag;
};

sealed gcm_seal_on(const tw3_gcm_ctx& g, const uint8_t* nonce, const std::vector<uint8_t>& aad,
                   const std::vector<uint8_t>& plain, int portable) {
  tw3_crypto_force_portable(portable);
  sealed s{plain, {}};
  uint8_t tag[16];
  k_gcm_seal(&g, nonce, aad.data(), aad.size(), s.text.data(), s.text.size(), tag);
  s.tag = hex(tag, 16);
  tw3_crypto_force_portable(0);
  return s;
}

// The stitched GCM kernel (whole eight-block groups, then the tail apart)
// against the portable reference, for both key sizes, across group and block
// edges; opening restores the plaintext, and a flipped ciphertext byte fails
// on both paths and leaves the buffer as it was.
TEST(Accelerated, GcmSealOpenEqualPortableAcrossLengths) {
  if (!tw3_crypto_accelerated()) GTEST_SKIP() << "no AES-NI/PCLMULQDQ on this CPU";
  const size_t lengths[] = {0, 1, 15, 16, 17, 127, 128, 129, 255, 256, 511, 4096 + 3, 1 << 20};
  for (size_t key_len : {16, 32})
    for (size_t aad_len : {0, 32})
      for (size_t len : lengths) {
        SCOPED_TRACE(testing::Message() << "key " << key_len << " aad " << aad_len << " len " << len);
        const auto key = tw3t::noise(key_len, len + key_len);
        const auto nonce = tw3t::noise(12, len + 1);
        const auto aad = tw3t::noise(aad_len, len + 2);
        const auto plain = tw3t::noise(len, len + 3);
        tw3_gcm_ctx g;
        key_len == 16 ? k_gcm_init(&g, key.data()) : k_gcm_init256(&g, key.data());
        const sealed fast = gcm_seal_on(g, nonce.data(), aad, plain, 0);
        const sealed ref = gcm_seal_on(g, nonce.data(), aad, plain, 1);
        ASSERT_EQ(fast.text, ref.text);
        ASSERT_EQ(fast.tag, ref.tag);
        const auto tag = unhex(ref.tag);
        for (int portable : {0, 1}) {
          tw3_crypto_force_portable(portable);
          auto buf = ref.text;
          EXPECT_EQ(k_gcm_open(&g, nonce.data(), aad.data(), aad.size(), buf.data(), buf.size(),
                               tag.data()), 0);
          EXPECT_EQ(buf, plain) << "portable " << portable;
          if (len > 0) {
            auto bad = ref.text;
            bad[len / 2] ^= 0x01;
            const auto before = bad;
            EXPECT_EQ(k_gcm_open(&g, nonce.data(), aad.data(), aad.size(), bad.data(), bad.size(),
                                 tag.data()), -1);
            EXPECT_EQ(bad, before) << "portable " << portable;
          }
          tw3_crypto_force_portable(0);
        }
      }
}

TEST(Accelerated, ForcingPortableIsVisible) {
  tw3_crypto_force_portable(1);
  EXPECT_EQ(tw3_crypto_accelerated(), 0);
  tw3_crypto_force_portable(0);
}

}  // namespace
