// AES-128 (FIPS 197), AES-CMAC (RFC 4493), GCM/GMAC (the GCM paper and
// SP 800-38D vectors) and the CCM-style mode, on both kernel paths.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "crypto/crypto.h"
#include "crypto/hex.h"
#include "crypto/internal.h"

using tw3t::hex;
using tw3t::unhex;

namespace {

// Runs the body once on the default (possibly accelerated) path and once
// forced portable; restores the default afterwards.
template <typename F>
void on_both_paths(F&& body) {
  for (int portable : {0, 1}) {
    tw3_crypto_force_portable(portable);
    SCOPED_TRACE(portable ? "portable" : "default");
    body();
  }
  tw3_crypto_force_portable(0);
}

TEST(Aes128, SboxesAndFips197Example) {
  on_both_paths([] {
    tw3_aes128 ks;
    const auto key = unhex("000102030405060708090a0b0c0d0e0f");
    k_aes128_setkey(&ks, key.data());
    EXPECT_EQ(tw3c::k_ae_sbox[0x00], 0x63);
    EXPECT_EQ(tw3c::k_ae_sbox[0x01], 0x7c);
    EXPECT_EQ(tw3c::k_ae_sbox[0x53], 0xed);
    EXPECT_EQ(tw3c::k_ae_sbox[0xff], 0x16);
    EXPECT_EQ(tw3c::k_ae_sbox_inv[0x63], 0x00);
    EXPECT_EQ(tw3c::k_ae_sbox_inv[0x00], 0x52);
    for (int i = 0; i < 256; i++) EXPECT_EQ(tw3c::k_ae_sbox_inv[tw3c::k_ae_sbox[i]], i);
    EXPECT_EQ(ks.rounds, 10);
    EXPECT_EQ(ks.rk[40], 0x13111d7fu);  // last round key of FIPS 197 C.1
    EXPECT_EQ(ks.rk[43], 0x4d2b30c5u);
    const auto pt = unhex("00112233445566778899aabbccddeeff");
    uint8_t ct[16], back[16];
    k_aes128_encrypt(&ks, pt.data(), ct);
    EXPECT_EQ(hex(ct, 16), "69c4e0d86a7b0430d8cdb78070b4c55a");
    k_aes128_decrypt(&ks, ct, back);
    EXPECT_EQ(hex(back, 16), hex(pt));
    k_aes128_encrypt(&ks, back, back);  // in place
    EXPECT_EQ(hex(back, 16), "69c4e0d86a7b0430d8cdb78070b4c55a");
  });
}

TEST(Aes128, Fips197KeyExpansionAppendixA1) {
  on_both_paths([] {
    tw3_aes128 ks;
    const auto key = unhex("2b7e151628aed2a6abf7158809cf4f3c");
    k_aes128_setkey(&ks, key.data());
    EXPECT_EQ(ks.rk[0], 0x2b7e1516u);
    EXPECT_EQ(ks.rk[4], 0xa0fafe17u);
    EXPECT_EQ(ks.rk[43], 0xb6630ca6u);
  });
}

const char kCmacKey[] = "2b7e151628aed2a6abf7158809cf4f3c";
const char kCmacMsg[] =
    "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710";

TEST(Cmac, Rfc4493) {
  struct cmac_case {
    size_t len;
    const char* tag;
  };
  const cmac_case cases[] = {{0, "bb1d6929e95937287fa37d129b756746"},
                             {16, "070a16b46b4d4144f79bdd9dd04a287c"},
                             {40, "dfa66747de9ae63030ca32611497c827"},
                             {64, "51f0bebf7e3b9d92fc49741779363cfe"}};
  const auto key = unhex(kCmacKey);
  const auto msg = unhex(kCmacMsg);
  on_both_paths([&] {
    tw3_cmac_ctx ctx;
    k_cmac_init(&ctx, key.data());
    EXPECT_EQ(hex(ctx.k1, 16), "fbeed618357133667c85e08f7236a8de");
    EXPECT_EQ(hex(ctx.k2, 16), "f7ddac306ae266ccf90bc11ee46d513b");
    for (const auto& c : cases) {
      uint8_t tag[16];
      k_cmac(key.data(), msg.data(), c.len, tag);
      EXPECT_EQ(hex(tag, 16), c.tag) << c.len;
    }
  });
}

// Piece boundaries around the held-back last block: a full block arriving
// exactly at the end must be finished with K1, not absorbed by update.
TEST(Cmac, PiecesEqualOneShot) {
  const auto key = unhex(kCmacKey);
  const auto msg = tw3t::noise(200, 21);
  const std::vector<std::vector<size_t>> splits = {
      {1, 15, 24}, {16, 16}, {16, 0, 16, 0}, {15, 1, 16, 1}, {40}, {3, 3, 3, 3, 3, 1},
      {17, 47, 0, 100}, {200}, {64, 64, 72}};
  on_both_paths([&] {
    for (const auto& s : splits) {
      size_t total = 0;
      tw3_cmac_ctx ctx;
      k_cmac_init(&ctx, key.data());
      for (size_t n : s) {
        k_cmac_update(&ctx, msg.data() + total, n);
        total += n;
      }
      uint8_t a[16], b[16];
      k_cmac_final(&ctx, a);
      k_cmac(key.data(), msg.data(), total, b);
      EXPECT_EQ(hex(a, 16), hex(b, 16)) << "total " << total;
    }
  });
}

struct gcm_case {
  const char* key;
  const char* iv;
  const char* aad;
  const char* pt;
  const char* ct;
  const char* tag;
};

const char kK3[] = "feffe9928665731c6d6a8f9467308308";
const char kIv3[] = "cafebabefacedbaddecaf888";
const char kP3[] =
    "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a72"
    "1c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b391aafd255";
const char kC3[] =
    "42831ec2217774244b7221b784d0d49ce3aa212f2c02a4e035c17e2329aca12e"
    "21d514b25466931c7d8f6a5aac84aa051ba30b396a0aac973d58e091473f5985";
const char kA4[] = "feedfacedeadbeeffeedfacedeadbeefabaddad2";

const gcm_case kGcmCases[] = {
    // The GCM paper, test cases 1 to 4.
    {"00000000000000000000000000000000", "000000000000000000000000", "", "", "",
     "58e2fccefa7e3061367f1d57a4e7455a"},
    {"00000000000000000000000000000000", "000000000000000000000000", "",
     "00000000000000000000000000000000", "0388dace60b6a392f328c2b971b2fe78",
     "ab6e47d42cec13bdf53a67b21257bddf"},
    {kK3, kIv3, "", kP3, kC3, "4d5c2af327cd64a62cf35abd2ba6fab4"},
    {kK3, kIv3, kA4, std::string_view(kP3).substr(0, 120).data(), nullptr,
     "5bc94fbc3221a5db94fae95ae7121a47"},
    // Tag only (GMAC): SP 800-38D validation vector and the paper's key and AAD.
    {"77be63708971c4e240d1cb79e8d77feb", "e0e00f19fed7ba0136a797f3",
     "7a43ec1d9c0a5a78a0b16533a6213cab", "", "", "209fcc8d3675ed938e9c7166709dd946"},
    {kK3, kIv3, kA4, "", "", "346434fd51d5cd0c5887ec63e39b907a"},
    // 17 bytes: counters 2 and 3, one byte of the second keystream block.
    {kK3, kIv3, kA4, "d9313225f88406e5a55909c5aff5269a86", "42831ec2217774244b7221b784d0d49ce3",
     "b605d0f1deea4c237fab4f166521a235"},
};

TEST(Gcm, PublishedVectors) {
  on_both_paths([] {
    for (const auto& c : kGcmCases) {
      const auto key = unhex(c.key), iv = unhex(c.iv), aad = unhex(c.aad);
      // Case 4 uses the first 60 bytes of case 3's text and ciphertext.
      const bool case4 = c.ct == nullptr;
      const auto pt = case4 ? unhex(std::string_view(kP3).substr(0, 120)) : unhex(c.pt);
      const auto ct = case4 ? unhex(std::string_view(kC3).substr(0, 120)) : unhex(c.ct);
      tw3_gcm_ctx g;
      k_gcm_init(&g, key.data());
      // Guard bytes after the text must stay untouched.
      std::vector<uint8_t> buf = pt;
      buf.insert(buf.end(), 16, 0xee);
      uint8_t tag[16];
      k_gcm_seal(&g, iv.data(), aad.data(), aad.size(), buf.data(), pt.size(), tag);
      EXPECT_EQ(hex(buf.data(), ct.size()), hex(ct)) << c.tag;
      EXPECT_EQ(hex(buf.data() + pt.size(), 16), std::string(32, 'e')) << c.tag;
      EXPECT_EQ(hex(tag, 16), c.tag);
      uint8_t tag2[16];
      k_gcm_tag(&g, iv.data(), aad.data(), aad.size(), ct.data(), ct.size(), tag2);
      EXPECT_EQ(hex(tag2, 16), c.tag);
      if (pt.empty()) {
        k_gcm_tag_only(&g, iv.data(), aad.data(), aad.size(), tag2);
        EXPECT_EQ(hex(tag2, 16), c.tag);
      }
      EXPECT_EQ(k_gcm_open(&g, iv.data(), aad.data(), aad.size(), buf.data(), pt.size(), tag), 0);
      EXPECT_EQ(hex(buf.data(), pt.size()), hex(pt));
    }
  });
}

TEST(Gcm, GmacOfEmptyAadIsCipherOfJ0) {
  const auto key = unhex(kK3), iv = unhex(kIv3);
  on_both_paths([&] {
    tw3_gcm_ctx g;
    k_gcm_init(&g, key.data());
    uint8_t tag[16], j0[16], want[16];
    k_gcm_tag_only(&g, iv.data(), nullptr, 0, tag);
    std::memcpy(j0, iv.data(), 12);
    j0[12] = j0[13] = j0[14] = 0;
    j0[15] = 1;
    k_aes128_encrypt(&g.ks, j0, want);
    EXPECT_EQ(hex(tag, 16), hex(want, 16));
  });
}

TEST(Gcm, OpenRejectsEveryOneBitTagChangeAndLeavesBufferAlone) {
  const auto key = unhex(kK3), iv = unhex(kIv3), aad = unhex(kA4), ct = unhex(kC3);
  on_both_paths([&] {
    tw3_gcm_ctx g;
    k_gcm_init(&g, key.data());
    uint8_t tag[16];
    k_gcm_tag(&g, iv.data(), aad.data(), aad.size(), ct.data(), ct.size(), tag);
    for (int bit = 0; bit < 128; bit++) {
      uint8_t bad[16];
      std::memcpy(bad, tag, 16);
      bad[bit / 8] ^= uint8_t(1 << (bit % 8));
      auto buf = ct;
      EXPECT_EQ(k_gcm_open(&g, iv.data(), aad.data(), aad.size(), buf.data(), buf.size(), bad),
                -1);
      EXPECT_EQ(buf, ct) << bit;
    }
  });
}

TEST(Ccm, SealOpenRoundTripAndTamperWipes) {
  const auto key = unhex(kCmacKey);
  uint8_t b[16];
  std::memcpy(b, unhex("59000102030405060708090a0b0c0d00").data(), 16);
  on_both_paths([&] {
    tw3_aes128 ks;
    k_ccm_init(&ks, key.data());
    for (size_t len : {0, 1, 16, 17, 40}) {
      const auto pt = tw3t::noise(len, 30 + len);
      auto buf = pt;
      uint8_t tag[16];
      k_ccm_seal(&ks, b, buf.data(), buf.size(), tag);
      if (len > 0) {
        EXPECT_NE(buf, pt);
      }
      auto ct = buf;
      EXPECT_EQ(k_ccm_open(&ks, b, buf.data(), buf.size(), tag), 0);
      EXPECT_EQ(buf, pt);
      tag[0] ^= 1;
      buf = ct;
      EXPECT_EQ(k_ccm_open(&ks, b, buf.data(), buf.size(), tag), -1);
      EXPECT_EQ(buf, std::vector<uint8_t>(len, 0));
    }
    // The MAC chain starts from B itself and the tag uses counter blocks + 1.
    uint8_t one[16] = {};
    one[0] = 0xaa;
    uint8_t mac[16], s[16], cb[16], tag[16];
    uint8_t buf[16];
    std::memcpy(buf, one, 16);
    for (int i = 0; i < 16; i++) mac[i] = uint8_t(b[i] ^ one[i]);
    k_aes128_encrypt(&ks, mac, mac);
    std::memcpy(cb, b, 16);
    cb[15] = 2;
    k_aes128_encrypt(&ks, cb, s);
    k_ccm_seal(&ks, b, buf, 16, tag);
    for (int i = 0; i < 16; i++) EXPECT_EQ(tag[i], uint8_t(mac[i] ^ s[i]));
  });
}

// Real CCM: RFC 3610 packet vector 1 (13-byte nonce, 8-byte tag) and the
// SMB 3 shape (11-byte nonce, 32 bytes of AAD, 16-byte tag) as produced by an
// independent implementation; every tampered byte is refused and wiped.
TEST(CcmAead, KnownAnswersAndTamper) {
  struct vec {
    const char *key, *nonce, *aad, *pt, *out;
    size_t tag_len;
  };
  const vec kVecs[] = {
      {"c0c1c2c3c4c5c6c7c8c9cacbcccdcecf", "00000003020100a0a1a2a3a4a5", "0001020304050607",
       "08090a0b0c0d0e0f101112131415161718191a1b1c1d1e",
       "588c979a61c663d2f066d0c2c0f989806d5f6b61dac38417e8d12cfdf926e0", 8},
      {"000102030405060708090a0b0c0d0e0f", "101112131415161718191a",
       "202122232425262728292a2b2c2d2e2f303132333435363738393a3b3c3d3e3f",
       "404142434445464748494a4b4c4d4e4f505152535455565758595a5b5c5d5e5f6061626364",
       "0c2e3f9884f817ecc645a3286e2ed0e171398a0a1b882cb8b219dc58c1a58cb569ab16d92760b32d89075b9"
       "51d3fa6f343c4776310",
       16},
  };
  on_both_paths([&] {
    for (const vec& v : kVecs) {
      const auto key = unhex(v.key), nonce = unhex(v.nonce), aad = unhex(v.aad);
      const auto pt = unhex(v.pt), out = unhex(v.out);
      tw3_aes128 ks;
      k_aes128_setkey(&ks, key.data());
      auto buf = pt;
      uint8_t tag[16];
      k_ccm_aead_seal(&ks, nonce.data(), nonce.size(), aad.data(), aad.size(), buf.data(),
                      buf.size(), tag, v.tag_len);
      EXPECT_EQ(hex(buf.data(), buf.size()) + hex(tag, v.tag_len), v.out);
      auto open = buf;
      EXPECT_EQ(k_ccm_aead_open(&ks, nonce.data(), nonce.size(), aad.data(), aad.size(),
                                open.data(), open.size(), tag, v.tag_len),
                0);
      EXPECT_EQ(open, pt);
      // One flipped bit anywhere: nonce, aad, ciphertext or tag.
      for (int where = 0; where < 4; where++) {
        auto n2 = nonce, a2 = aad, c2 = buf;
        uint8_t t2[16];
        std::memcpy(t2, tag, sizeof t2);
        (where == 0 ? n2[3] : where == 1 ? a2[5] : where == 2 ? c2[7] : t2[v.tag_len - 1]) ^= 1;
        EXPECT_EQ(k_ccm_aead_open(&ks, n2.data(), n2.size(), a2.data(), a2.size(), c2.data(),
                                  c2.size(), t2, v.tag_len),
                  -1);
        EXPECT_EQ(c2, std::vector<uint8_t>(c2.size(), 0));
      }
    }
  });
}

// AES-256: FIPS 197 C.3, GCM test cases 14 and 16 (256-bit key), and CCM
// in the SMB 3 shape (a vector from an independent implementation).
TEST(Aes256, Fips197GcmAndCcm) {
  on_both_paths([] {
    tw3_aes128 ks;
    const auto key = unhex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
    k_aes256_setkey(&ks, key.data());
    EXPECT_EQ(ks.rounds, 14);
    uint8_t out[16];
    k_aes128_encrypt(&ks, unhex("00112233445566778899aabbccddeeff").data(), out);
    EXPECT_EQ(hex(out, 16), "8ea2b7ca516745bfeafc49904b496089");
    k_aes128_decrypt(&ks, out, out);
    EXPECT_EQ(hex(out, 16), "00112233445566778899aabbccddeeff");

    struct gcm_case {
      const char *key, *iv, *aad, *pt, *out;
    };
    const gcm_case kGcm[] = {
        {"0000000000000000000000000000000000000000000000000000000000000000",
         "000000000000000000000000", "", "00000000000000000000000000000000",
         "cea7403d4d606b6e074ec5d3baf39d18d0d1c8a799996bf0265b98b5d48ab919"},
        {"feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308",
         "cafebabefacedbaddecaf888", "feedfacedeadbeeffeedfacedeadbeefabaddad2",
         "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e24"
         "49a6b525b16aedf5aa0de657ba637b39",
         "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3da7b08b10"
         "56828838c5f61e6393ba7a0abcc9f66276fc6ece0f4e1768cddf8853bb2d551b"},
    };
    for (const gcm_case& c : kGcm) {
      const auto k = unhex(c.key), iv = unhex(c.iv), aad = unhex(c.aad), pt = unhex(c.pt);
      tw3_gcm_ctx g;
      k_gcm_init256(&g, k.data());
      auto buf = pt;
      uint8_t tag[16];
      k_gcm_seal(&g, iv.data(), aad.data(), aad.size(), buf.data(), buf.size(), tag);
      EXPECT_EQ(hex(buf.data(), buf.size()) + hex(tag, 16), c.out);
      EXPECT_EQ(k_gcm_open(&g, iv.data(), aad.data(), aad.size(), buf.data(), buf.size(), tag), 0);
      EXPECT_EQ(buf, pt);
    }

    const auto nonce = unhex("101112131415161718191a");
    const auto aad = unhex("202122232425262728292a2b2c2d2e2f303132333435363738393a3b3c3d3e3f");
    auto buf = unhex("404142434445464748494a4b4c4d4e4f505152535455565758595a5b5c5d5e5f6061626364");
    uint8_t tag[16];
    k_ccm_aead_seal(&ks, nonce.data(), nonce.size(), aad.data(), aad.size(), buf.data(),
                    buf.size(), tag, 16);
    EXPECT_EQ(hex(buf.data(), buf.size()) + hex(tag, 16),
              "671faddb0b835b4d273038eeae339bd373829d2228c2fb74f90bd64a079fcdebc776ff4bee1175f7e2"
              "0ab70d8fc7a1ef3febed9a0a");
  });
}

// Several threads reaching their first key setup together must all see
// complete S-boxes. Meaningful as the first AES use of the process (ctest
// runs each test alone); under ThreadSanitizer or ASan it also checks races.
TEST(Aes128, ConcurrentFirstKeySetup) {
  constexpr int kThreads = 8;
  const auto key = unhex("000102030405060708090a0b0c0d0e0f");
  std::vector<std::thread> threads;
  std::vector<std::string> results(kThreads);
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([&, t] {
      tw3_aes128 ks;
      k_aes128_setkey(&ks, key.data());
      EXPECT_EQ(tw3c::k_ae_is_ready(), 1);
      const auto pt = unhex("00112233445566778899aabbccddeeff");
      uint8_t ct[16];
      k_aes128_encrypt(&ks, pt.data(), ct);
      uint8_t back[16];
      k_aes128_decrypt(&ks, ct, back);
      results[t] = hex(ct, 16) + hex(back, 16);
    });
  }
  for (auto& th : threads) th.join();
  for (const auto& r : results) {
    EXPECT_EQ(r, "69c4e0d86a7b0430d8cdb78070b4c55a00112233445566778899aabbccddeeff");
  }
}

}  // namespace
