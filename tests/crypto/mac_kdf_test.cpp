// HMACs (RFC 4231, RFC 2202), RC4 (RFC 6229), the SP 800-108 key derivation,
// secret handling and the self-test.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "crypto/crypto.h"
#include "crypto/hex.h"

using tw3t::bytes;
using tw3t::hex;
using tw3t::unhex;

namespace {

struct mac_case {
  std::vector<uint8_t> key;
  std::vector<uint8_t> data;
  const char* mac;
};

const std::string kLargeKeyText = "Test Using Larger Than Block-Size Key - Hash Key First";

TEST(HmacSha256, Rfc4231) {
  const mac_case cases[] = {
      {std::vector<uint8_t>(20, 0x0b), bytes("Hi There"),
       "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {bytes("Jefe"), bytes("what do ya want for nothing?"),
       "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {std::vector<uint8_t>(20, 0xaa), std::vector<uint8_t>(50, 0xdd),
       "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
      {unhex("0102030405060708090a0b0c0d0e0f10111213141516171819"),
       std::vector<uint8_t>(50, 0xcd),
       "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
      {std::vector<uint8_t>(131, 0xaa), bytes(kLargeKeyText),
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      {std::vector<uint8_t>(131, 0xaa),
       bytes("This is a test using a larger than block-size key and a larger than block-size "
             "data. The key needs to be hashed before being used by the HMAC algorithm."),
       "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
  };
  for (const auto& c : cases) {
    uint8_t one[32], streamed[32];
    tw3_hmac256(c.key.data(), c.key.size(), c.data.data(), c.data.size(), one);
    tw3_hmac256_ctx ctx;
    tw3_hmac256_init(&ctx, c.key.data(), c.key.size());
    size_t half = c.data.size() / 2;
    tw3_hmac256_update(&ctx, c.data.data(), half);
    tw3_hmac256_update(&ctx, c.data.data() + half, c.data.size() - half);
    tw3_hmac256_final(&ctx, streamed);
    EXPECT_EQ(hex(one, 32), c.mac);
    EXPECT_EQ(hex(streamed, 32), c.mac);
  }
}

TEST(HmacSha512, Rfc4231) {
  const mac_case cases[] = {
      {std::vector<uint8_t>(20, 0x0b), bytes("Hi There"),
       "87aa7cdea5ef619d4ff0b4241a1d6cb02379f4e2ce4ec2787ad0b30545e17cdedaa833b7d6b8a702038b274ea"
       "ea3f4e4be9d914eeb61f1702e696c203a126854"},
      {bytes("Jefe"), bytes("what do ya want for nothing?"),
       "164b7a7bfcf819e2e395fbe73b56e0a387bd64222e831fd610270cd7ea2505549758bf75c05a994a6d034f65f"
       "8f0e6fdcaeab1a34d4a6b4b636e070a38bce737"},
      {std::vector<uint8_t>(131, 0xaa), bytes(kLargeKeyText),
       "80b24263c7c1a3ebb71493c1dd7be8b49b46d1f41b4aeec1121b013783f8f3526b56d037e05f2598bd0fd2215"
       "d6a1e5295e64f73f63f0aec8b915a985d786598"},
  };
  for (const auto& c : cases) {
    uint8_t out[64];
    tw3_hmac512(c.key.data(), c.key.size(), c.data.data(), c.data.size(), out);
    EXPECT_EQ(hex(out, 64), c.mac);
  }
}

TEST(HmacMd5, Rfc2202) {
  const mac_case cases[] = {
      {std::vector<uint8_t>(16, 0x0b), bytes("Hi There"), "9294727a3638bb1c13f48ef8158bfc9d"},
      {bytes("Jefe"), bytes("what do ya want for nothing?"), "750c783e6ab0b503eaa86e310a5db738"},
      {std::vector<uint8_t>(16, 0xaa), std::vector<uint8_t>(50, 0xdd),
       "56be34521d144c88dbb8c733f0e8b3f6"},
      {std::vector<uint8_t>(80, 0xaa), bytes(kLargeKeyText), "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"},
      {std::vector<uint8_t>(80, 0xaa),
       bytes("Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data"),
       "6f630fad67cda0ee1fb1f562db3aa53e"},
  };
  for (const auto& c : cases) {
    uint8_t out[16];
    tw3_hmacmd5(c.key.data(), c.key.size(), c.data.data(), c.data.size(), out);
    EXPECT_EQ(hex(out, 16), c.mac);
  }
}

// The inner padding and bit count must be right whatever the piece sizes:
// pieces crossing the 55/56-byte boundary of the buffered final block.
TEST(HmacMd5, StreamingPiecesEqualOneShot) {
  const auto key = tw3t::noise(16, 1);
  const auto data = tw3t::noise(300, 2);
  for (size_t len : {0, 1, 55, 56, 63, 64, 65, 119, 120, 300}) {
    uint8_t ref[16];
    tw3_hmacmd5(key.data(), key.size(), data.data(), len, ref);
    tw3_hmacmd5_ctx ctx;
    tw3_hmacmd5_init(&ctx, key.data(), key.size());
    for (size_t i = 0; i < len; i += 7) {
      tw3_hmacmd5_update(&ctx, data.data() + i, len - i < 7 ? len - i : 7);
    }
    uint8_t out[16];
    tw3_hmacmd5_final(&ctx, out);
    EXPECT_EQ(hex(out, 16), hex(ref, 16)) << len;
  }
}

// A key longer than the block is replaced by its digest; a block-sized key is used as is.
TEST(Hmac, KeyLengthRules) {
  const auto data = bytes("payload");
  const auto key65 = tw3t::noise(65, 3);
  uint8_t digest[32], a[32], b[32];
  tw3_sha256(key65.data(), key65.size(), digest);
  tw3_hmac256(key65.data(), key65.size(), data.data(), data.size(), a);
  tw3_hmac256(digest, sizeof digest, data.data(), data.size(), b);
  EXPECT_EQ(hex(a, 32), hex(b, 32));

  const auto key64 = tw3t::noise(64, 4);
  uint8_t key64_digest[32];
  tw3_sha256(key64.data(), key64.size(), key64_digest);
  tw3_hmac256(key64.data(), key64.size(), data.data(), data.size(), a);
  tw3_hmac256(key64_digest, sizeof key64_digest, data.data(), data.size(), b);
  EXPECT_NE(hex(a, 32), hex(b, 32));

  // Zero extension: a key and the same key with trailing zeros up to the block agree.
  auto padded = key65;
  padded.resize(20);
  auto shorter = padded;
  padded.resize(64, 0);
  tw3_hmac256(shorter.data(), shorter.size(), data.data(), data.size(), a);
  tw3_hmac256(padded.data(), padded.size(), data.data(), data.size(), b);
  EXPECT_EQ(hex(a, 32), hex(b, 32));
}

TEST(Rc4, Rfc6229) {
  struct rc4_case {
    const char* key;
    size_t offset;
    const char* stream;
  };
  const rc4_case cases[] = {
      {"0102030405", 0, "b2396305f03dc027ccc3524a0a1118a8"},
      {"0102030405", 16, "6982944f18fc82d589c403a47a0d0919"},
      {"0102030405", 240, "28cb1132c96ce286421dcaadb8b69eae"},
      {"0102030405", 256, "1cfcf62b03eddb641d77dfcf7f8d8c93"},
      {"0102030405060708090a0b0c0d0e0f10", 0, "9ac7cc9a609d1ef7b2932899cde41b97"},
      {"0102030405060708090a0b0c0d0e0f10", 256, "d39d566bc6bce3010768151549f3873f"},
  };
  for (const auto& c : cases) {
    const auto key = unhex(c.key);
    tw3_rc4_state st;
    tw3_rc4_init(&st, key.data(), key.size());
    std::vector<uint8_t> skip(c.offset);
    tw3_rc4(&st, skip.data(), skip.size());
    uint8_t buf[16] = {};
    tw3_rc4(&st, buf, sizeof buf);
    EXPECT_EQ(hex(buf, 16), c.stream) << c.key << "@" << c.offset;
  }
}

TEST(Rc4, SameKeyTwiceRestoresAndEmptyKeyIsSafe) {
  const auto key = bytes("session-key-16by");
  auto buf = tw3t::noise(100, 5);
  const auto orig = buf;
  tw3_rc4_state a, b;
  tw3_rc4_init(&a, key.data(), key.size());
  tw3_rc4(&a, buf.data(), buf.size());
  EXPECT_NE(buf, orig);
  tw3_rc4_init(&b, key.data(), key.size());
  tw3_rc4(&b, buf.data(), buf.size());
  EXPECT_EQ(buf, orig);

  // A zero-length key behaves as the one-byte key 0x00 instead of dividing by zero.
  const uint8_t zero = 0;
  uint8_t x[8] = {}, y[8] = {};
  tw3_rc4_init(&a, nullptr, 0);
  tw3_rc4(&a, x, sizeof x);
  tw3_rc4_init(&b, &zero, 1);
  tw3_rc4(&b, y, sizeof y);
  EXPECT_EQ(hex(x, 8), hex(y, 8));
}

// The PRF input built by hand: i | label\0 | [0x00] | context | 00000080.
std::vector<uint8_t> prf_input(uint32_t i, const char* label, bool sep,
                               const std::vector<uint8_t>& ctx) {
  std::vector<uint8_t> in = {uint8_t(i >> 24), uint8_t(i >> 16), uint8_t(i >> 8), uint8_t(i)};
  if (label) {
    for (const char* c = label; *c; c++) in.push_back(uint8_t(*c));
    in.push_back(0);
  }
  if (sep) in.push_back(0);
  in.insert(in.end(), ctx.begin(), ctx.end());
  for (uint8_t b : {0, 0, 0, 0x80}) in.push_back(b);
  return in;
}

TEST(Kdf, Smb30SigningKeyAndSeparatorForm) {
  const uint8_t key[16] = {};
  const char ctx[] = "SmbSign";
  uint8_t k30[16], ksep[16];
  tw3_kdf3_0_ctr_hmacsha256(key, 16, "SMB2AESCMAC", ctx, sizeof ctx, k30, 16);
  tw3_kdf_ctr_hmacsha256(key, 16, "SMB2AESCMAC", ctx, sizeof ctx, ksep, 16);
  EXPECT_EQ(hex(k30, 16), "0d7203b6f675f05ec74d9706141e0cac");
  EXPECT_EQ(hex(ksep, 16), "9951088b83220f39d99420419d16d393");
}

TEST(Kdf, MatchesHandBuiltPrfInputs) {
  const auto key = tw3t::noise(16, 9);
  const auto ctx = tw3t::noise(64, 10);
  struct form {
    tw3_kdf_fn kdf;
    bool sep;
    const char* label;
  };
  const form forms[] = {
      {tw3_kdf_ctr_hmacsha256, true, "SMBSigningKey"}, {tw3_kdf3_0_ctr_hmacsha256, false, "SMB2AESCMAC"},
      {tw3_kdf_ctr_hmacsha256, true, nullptr},         {tw3_kdf_ctr_hmacsha256, true, ""},
      {tw3_kdf3_0_ctr_hmacsha256, false, nullptr},
  };
  for (const auto& f : forms) {
    uint8_t got[16], want[32];
    f.kdf(key.data(), key.size(), f.label, ctx.data(), ctx.size(), got, sizeof got);
    const auto in = prf_input(1, f.label, f.sep, ctx);
    tw3_hmac256(key.data(), key.size(), in.data(), in.size(), want);
    EXPECT_EQ(hex(got, 16), hex(want, 16)) << (f.label ? f.label : "(null)");
  }
  // Longer outputs take counters 1, 2, ...; L stays 128.
  uint8_t got[40], b1[32], b2[32];
  tw3_kdf_ctr_hmacsha256(key.data(), key.size(), "L", ctx.data(), ctx.size(), got, sizeof got);
  auto in1 = prf_input(1, "L", true, ctx), in2 = prf_input(2, "L", true, ctx);
  tw3_hmac256(key.data(), key.size(), in1.data(), in1.size(), b1);
  tw3_hmac256(key.data(), key.size(), in2.data(), in2.size(), b2);
  EXPECT_EQ(hex(got, 40), hex(b1, 32) + hex(b2, 8));

  uint8_t g512[16], w512[64];
  tw3_kdf_ctr_hmacsha512(key.data(), key.size(), "L", ctx.data(), ctx.size(), g512, 16);
  tw3_hmac512(key.data(), key.size(), in1.data(), in1.size(), w512);
  EXPECT_EQ(hex(g512, 16), hex(w512, 16));

  // The AES-256 form: L = 256, one PRF block gives the whole 32-byte key.
  uint8_t k256[32];
  const uint8_t k16[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
  uint8_t c64[64];
  for (int i = 0; i < 64; i++) c64[i] = uint8_t(i);
  tw3_kdf_ctr_hmacsha256_l256(k16, 16, "SMBS2CCipherKey", c64, sizeof c64, k256, sizeof k256);
  EXPECT_EQ(hex(k256, 32), "7a55e2deed408102591fdea4192f54895bd7e4c879d11927493898b42c8a9ccd");

  uint8_t untouched[4] = {1, 2, 3, 4};
  tw3_kdf_ctr_hmacsha256(key.data(), key.size(), "L", ctx.data(), ctx.size(), untouched, 0);
  EXPECT_EQ(hex(untouched, 4), "01020304");
}

TEST(Secrets, WipeAndConstantTimeCompare) {
  uint8_t buf[33];
  std::memset(buf, 0xa5, sizeof buf);
  tw3_wipe(buf, 32);
  EXPECT_EQ(hex(buf, 33), std::string(64, '0') + "a5");

  const auto a = tw3t::noise(32, 12);
  auto b = a;
  EXPECT_EQ(tw3_ct_equal(a.data(), b.data(), 0), 1);
  EXPECT_EQ(tw3_ct_equal(a.data(), b.data(), 32), 1);
  for (size_t at : {0, 15, 31}) {
    b = a;
    b[at] ^= 0x01;
    EXPECT_EQ(tw3_ct_equal(a.data(), b.data(), 32), 0) << at;
  }
}

TEST(SelfTest, PassesAndPinsTheSmb30Derivation) {
  EXPECT_EQ(tw3_selftest(), 0);
  EXPECT_EQ(tw3_selftest_with(tw3_kdf3_0_ctr_hmacsha256), 0);
  EXPECT_EQ(tw3_selftest_with(tw3_kdf_ctr_hmacsha256), -1);
  EXPECT_EQ(tw3_selftest_with(tw3_kdf_ctr_hmacsha512), -1);
}

}  // namespace
