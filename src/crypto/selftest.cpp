// Known-answer self-test of the hash, MAC, stream-cipher and key-derivation
// primitives. Every check runs; the result says only whether all passed.
#include <cstdio>

#include "crypto/internal.h"

namespace {

constexpr uint64_t kMaxDigest = 32;

// Formats the digest as lowercase hex and compares it with the answer text.
bool matches(const uint8_t* digest, uint64_t n, const char* answer) {
  char hex[2 * kMaxDigest + 1] = {};
  for (uint64_t i = 0; i < n && i < kMaxDigest; i++) {
    std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
  }
  return std::strcmp(hex, answer) == 0;
}

constexpr char kAbc[] = "abc";
constexpr char kMessageDigest[] = "message digest";
constexpr char kHiThere[] = "Hi There";
constexpr char kJefe[] = "Jefe";
constexpr char kWhatDoYaWant[] = "what do ya want for nothing?";
constexpr uint8_t kRc4Key40[5] = {0x01, 0x02, 0x03, 0x04, 0x05};
// Test data only: "password" in UTF-16LE and its NT hash.
constexpr uint8_t kSamplePassword[16] = {'p', 0, 'a', 0, 's', 0, 's', 0,
                                         'w', 0, 'o', 0, 'r', 0, 'd', 0};
constexpr char kSampleNtHash[] = "8846f7eaee8fb117ad06bdd830b7586c";
constexpr char kSignLabel[] = "SMB2AESCMAC";
constexpr char kSignContext[] = "SmbSign";  // sizeof includes its terminating zero

bool sha256_stream(const char* text, const char* answer) {
  tw3_sha256_ctx ctx;
  tw3_sha256_init(&ctx);
  tw3_sha256_update(&ctx, text, std::strlen(text));
  uint8_t out[32];
  tw3_sha256_final(&ctx, out);
  return matches(out, sizeof out, answer);
}

bool md5_text(const char* text, const char* answer) {
  uint8_t out[16];
  tw3_md5(text, std::strlen(text), out);
  return matches(out, sizeof out, answer);
}

bool md4_bytes(const void* data, uint64_t n, const char* answer) {
  uint8_t out[16];
  tw3_md4(data, n, out);
  return matches(out, sizeof out, answer);
}

bool hmac256_stream(const void* key, uint64_t key_len, const char* text, const char* answer) {
  tw3_hmac256_ctx ctx;
  tw3_hmac256_init(&ctx, key, key_len);
  tw3_hmac256_update(&ctx, text, std::strlen(text));
  uint8_t out[32];
  tw3_hmac256_final(&ctx, out);
  return matches(out, sizeof out, answer);
}

bool hmacmd5_stream(const void* key, uint64_t key_len, const char* text, const char* answer) {
  tw3_hmacmd5_ctx ctx;
  tw3_hmacmd5_init(&ctx, key, key_len);
  tw3_hmacmd5_update(&ctx, text, std::strlen(text));
  uint8_t out[16];
  tw3_hmacmd5_final(&ctx, out);
  return matches(out, sizeof out, answer);
}

bool rc4_keystream(const char* answer) {
  tw3_rc4_state st;
  tw3_rc4_init(&st, kRc4Key40, sizeof kRc4Key40);
  uint8_t buf[16] = {};
  tw3_rc4(&st, buf, sizeof buf);
  return matches(buf, sizeof buf, answer);
}

bool signing_key(tw3_kdf_fn kdf, const char* answer) {
  uint8_t key[16] = {};
  uint8_t out[16];
  kdf(key, sizeof key, kSignLabel, kSignContext, sizeof kSignContext, out, sizeof out);
  return matches(out, sizeof out, answer);
}

}  // namespace

int tw3_selftest_with(tw3_kdf_fn kdf11) {
  uint8_t key20[20];
  std::memset(key20, 0x0b, sizeof key20);  // RFC 4231 test case 1
  uint8_t key16[16];
  std::memset(key16, 0x0b, sizeof key16);  // RFC 2202 test case 1
  const bool results[] = {
      sha256_stream(kAbc, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"),
      sha256_stream("", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"),
      md5_text(kAbc, "900150983cd24fb0d6963f7d28e17f72"),
      md4_bytes(kAbc, 3, "a448017aaf21d8525fc10ae87aa6729d"),
      md4_bytes("", 0, "31d6cfe0d16ae931b73c59d7e0c089c0"),
      hmac256_stream(key20, sizeof key20, kHiThere,
                     "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"),
      hmacmd5_stream(key16, sizeof key16, kHiThere, "9294727a3638bb1c13f48ef8158bfc9d"),
      rc4_keystream("b2396305f03dc027ccc3524a0a1118a8"),
      md4_bytes(kMessageDigest, std::strlen(kMessageDigest), "d9130a8164549fe818874806e1c7014b"),
      md4_bytes(kSamplePassword, sizeof kSamplePassword, kSampleNtHash),
      signing_key(kdf11, "0d7203b6f675f05ec74d9706141e0cac"),
      hmac256_stream(kJefe, 4, kWhatDoYaWant,
                     "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"),
      hmacmd5_stream(kJefe, 4, kWhatDoYaWant, "750c783e6ab0b503eaa86e310a5db738"),
  };
  bool all = true;
  for (bool ok : results) all = all && ok;
  return all ? 0 : -1;
}

int tw3_selftest() { return tw3_selftest_with(tw3_kdf3_0_ctr_hmacsha256); }
