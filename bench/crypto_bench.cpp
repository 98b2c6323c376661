// AES-CMAC, GMAC, the SMB 3 ciphers (AES-128/256-GCM, AES-128-CCM seal and
// open), SHA-512 and AES key setup: ours (accelerated and portable) beside
// OpenSSL libcrypto on the same bytes, then a table of ratios.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "crypto/crypto.h"

namespace {

constexpr int64_t kSizes[] = {64 << 10, 1 << 20};
constexpr uint8_t kKey[16] = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6,
                              0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f, 0x3c};
constexpr uint8_t kNonce[12] = {0xca, 0xfe, 0xba, 0xbe, 0xfa, 0xce, 0xdb, 0xad, 0xde, 0xca, 0xf8, 0x88};
constexpr uint8_t kKey256[32] = {0x60, 0x3d, 0xeb, 0x10, 0x15, 0xca, 0x71, 0xbe, 0x2b, 0x73, 0xae,
                                 0xf0, 0x85, 0x7d, 0x77, 0x81, 0x1f, 0x35, 0x2c, 0x07, 0x3b, 0x61,
                                 0x08, 0xd7, 0x2d, 0x98, 0x10, 0xa3, 0x09, 0x14, 0xdf, 0xf4};
constexpr uint64_t kCcmNonceLen = 11;  // as SMB 3 uses it
constexpr uint64_t kAadLen = 32;       // a transform header's authenticated part

const std::vector<uint8_t>& payload() {
  static const std::vector<uint8_t> data = [] {
    std::vector<uint8_t> d(1 << 20);
    uint32_t x = 12345;
    for (auto& b : d) b = uint8_t((x = x * 1103515245 + 12345) >> 16);
    return d;
  }();
  return data;
}

// Forces the portable kernels for the life of one benchmark run.
struct path_guard {
  explicit path_guard(bool portable) { tw3_crypto_force_portable(portable ? 1 : 0); }
  ~path_guard() { tw3_crypto_force_portable(0); }
};

void finish(benchmark::State& st) {
  st.SetBytesProcessed(int64_t(st.iterations()) * st.range(0));
}

// ---- AES-CMAC: key setup, subkeys and the whole message per signature ----
void cmac_ours(benchmark::State& st, bool portable) {
  path_guard g(portable);
  const auto& d = payload();
  uint8_t tag[16];
  for (auto _ : st) {
    k_cmac(kKey, d.data(), uint64_t(st.range(0)), tag);
    benchmark::DoNotOptimize(tag);
  }
  finish(st);
}

void cmac_openssl(benchmark::State& st) {
  EVP_MAC* mac = EVP_MAC_fetch(nullptr, "CMAC", nullptr);
  EVP_MAC_CTX* ctx = EVP_MAC_CTX_new(mac);
  char cipher[] = "AES-128-CBC";
  OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string("cipher", cipher, 0),
                         OSSL_PARAM_construct_end()};
  const auto& d = payload();
  uint8_t tag[16];
  size_t n = 0;
  for (auto _ : st) {
    EVP_MAC_init(ctx, kKey, sizeof kKey, params);
    EVP_MAC_update(ctx, d.data(), size_t(st.range(0)));
    EVP_MAC_final(ctx, tag, &n, sizeof tag);
    benchmark::DoNotOptimize(tag);
  }
  EVP_MAC_CTX_free(ctx);
  EVP_MAC_free(mac);
  finish(st);
}

// ---- GMAC: key setup, H and the tag over the message as AAD ----
void gmac_ours(benchmark::State& st, bool portable) {
  path_guard g(portable);
  const auto& d = payload();
  uint8_t tag[16];
  for (auto _ : st) {
    tw3_gcm_ctx ctx;
    k_gcm_init(&ctx, kKey);
    k_gcm_tag_only(&ctx, kNonce, d.data(), uint64_t(st.range(0)), tag);
    benchmark::DoNotOptimize(tag);
  }
  finish(st);
}

void gmac_openssl(benchmark::State& st) {
  EVP_CIPHER* gcm = EVP_CIPHER_fetch(nullptr, "AES-128-GCM", nullptr);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  const auto& d = payload();
  uint8_t tag[16];
  int outl = 0;
  for (auto _ : st) {
    EVP_EncryptInit_ex(ctx, gcm, nullptr, kKey, kNonce);
    EVP_EncryptUpdate(ctx, nullptr, &outl, d.data(), int(st.range(0)));
    EVP_EncryptFinal_ex(ctx, tag, &outl);
    EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, sizeof tag, tag);
    benchmark::DoNotOptimize(tag);
  }
  EVP_CIPHER_CTX_free(ctx);
  EVP_CIPHER_free(gcm);
  finish(st);
}

// ---- AEAD seal and open of one message, as a transform carries it ----
// Open is timed from ciphertext left intact: each run copies it into a work
// buffer and opens it there in place, as the server opens its receive buffer.
enum class aead { gcm128, gcm256, ccm128 };

struct sealed {
  std::vector<uint8_t> ct;
  uint8_t tag[16];
};

void seal_ours(aead a, const uint8_t* aad, uint8_t* buf, uint64_t n, uint8_t tag[16]) {
  tw3_gcm_ctx ctx;
  if (a == aead::gcm256) k_gcm_init256(&ctx, kKey256); else k_gcm_init(&ctx, kKey);
  if (a == aead::ccm128)
    k_ccm_aead_seal(&ctx.ks, kNonce, kCcmNonceLen, aad, kAadLen, buf, n, tag, 16);
  else
    k_gcm_seal(&ctx, kNonce, aad, kAadLen, buf, n, tag);
}

int open_ours(aead a, const uint8_t* aad, uint8_t* buf, uint64_t n, const uint8_t tag[16]) {
  tw3_gcm_ctx ctx;
  if (a == aead::gcm256) k_gcm_init256(&ctx, kKey256); else k_gcm_init(&ctx, kKey);
  if (a == aead::ccm128) return k_ccm_aead_open(&ctx.ks, kNonce, kCcmNonceLen, aad, kAadLen, buf, n, tag, 16);
  return k_gcm_open(&ctx, kNonce, aad, kAadLen, buf, n, tag);
}

// OpenSSL's run of the same operation; false when it failed.
bool aead_openssl(EVP_CIPHER_CTX* ctx, const EVP_CIPHER* cipher, aead a, bool enc,
                  const uint8_t* aad, const uint8_t* in, uint8_t* out, int n, uint8_t tag[16]) {
  const bool ccm = a == aead::ccm128;
  const uint8_t* key = a == aead::gcm256 ? kKey256 : kKey;
  int outl = 0;
  if (EVP_CipherInit_ex(ctx, cipher, nullptr, nullptr, nullptr, enc ? 1 : 0) != 1) return false;
  if (ccm) {
    EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_IVLEN, int(kCcmNonceLen), nullptr);
    EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_TAG, 16, enc ? nullptr : tag);
  }
  if (EVP_CipherInit_ex(ctx, nullptr, nullptr, key, kNonce, enc ? 1 : 0) != 1) return false;
  if (!enc && !ccm) EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_TAG, 16, tag);
  if (ccm && EVP_CipherUpdate(ctx, nullptr, &outl, nullptr, n) != 1) return false;
  if (EVP_CipherUpdate(ctx, nullptr, &outl, aad, int(kAadLen)) != 1) return false;
  if (EVP_CipherUpdate(ctx, out, &outl, in, n) != 1) return false;
  if (!ccm && EVP_CipherFinal_ex(ctx, out + outl, &outl) != 1) return false;
  if (enc) EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, 16, tag);
  return true;
}

const EVP_CIPHER* openssl_cipher(aead a) {
  static EVP_CIPHER* g128 = EVP_CIPHER_fetch(nullptr, "AES-128-GCM", nullptr);
  static EVP_CIPHER* g256 = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
  static EVP_CIPHER* c128 = EVP_CIPHER_fetch(nullptr, "AES-128-CCM", nullptr);
  return a == aead::gcm128 ? g128 : a == aead::gcm256 ? g256 : c128;
}

uint8_t g_aad[kAadLen] = {1, 2, 3};

sealed make_sealed(aead a, uint64_t n) {
  sealed s{std::vector<uint8_t>(payload().begin(), payload().begin() + long(n)), {}};
  seal_ours(a, g_aad, s.ct.data(), n, s.tag);
  return s;
}

void aead_seal_ours(benchmark::State& st, aead a) {
  std::vector<uint8_t> buf(payload().begin(), payload().begin() + st.range(0));
  uint8_t tag[16];
  for (auto _ : st) {
    seal_ours(a, g_aad, buf.data(), buf.size(), tag);  // in place, as the server seals its reply
    benchmark::DoNotOptimize(tag);
  }
  finish(st);
}

void aead_open_ours(benchmark::State& st, aead a) {
  const sealed s = make_sealed(a, uint64_t(st.range(0)));
  std::vector<uint8_t> work(s.ct.size());
  for (auto _ : st) {
    std::memcpy(work.data(), s.ct.data(), s.ct.size());
    if (open_ours(a, g_aad, work.data(), work.size(), s.tag) != 0) st.SkipWithError("tag mismatch");
    benchmark::DoNotOptimize(work.data());
  }
  finish(st);
}

void aead_seal_openssl(benchmark::State& st, aead a) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  std::vector<uint8_t> buf(payload().begin(), payload().begin() + st.range(0));
  uint8_t tag[16];
  for (auto _ : st) {
    if (!aead_openssl(ctx, openssl_cipher(a), a, true, g_aad, buf.data(), buf.data(), int(buf.size()), tag))
      st.SkipWithError("openssl seal failed");
    benchmark::DoNotOptimize(tag);
  }
  EVP_CIPHER_CTX_free(ctx);
  finish(st);
}

void aead_open_openssl(benchmark::State& st, aead a) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  sealed s = make_sealed(a, uint64_t(st.range(0)));
  std::vector<uint8_t> work(s.ct.size());
  for (auto _ : st) {
    std::memcpy(work.data(), s.ct.data(), s.ct.size());
    if (!aead_openssl(ctx, openssl_cipher(a), a, false, g_aad, work.data(), work.data(), int(work.size()), s.tag))
      st.SkipWithError("openssl open failed: the two disagree");
    benchmark::DoNotOptimize(work.data());
  }
  EVP_CIPHER_CTX_free(ctx);
  finish(st);
}

void register_aead(const char* name, void (*fn)(benchmark::State&, aead), aead a) {
  benchmark::RegisterBenchmark(name, fn, a)->Arg(1 << 20);
}

// ---- SHA-512 ----
void sha512_ours(benchmark::State& st, bool portable) {
  path_guard g(portable);
  const auto& d = payload();
  uint8_t out[64];
  for (auto _ : st) {
    tw3_sha512(d.data(), uint64_t(st.range(0)), out);
    benchmark::DoNotOptimize(out);
  }
  finish(st);
}

void sha512_openssl(benchmark::State& st) {
  EVP_MD* md = EVP_MD_fetch(nullptr, "SHA512", nullptr);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  const auto& d = payload();
  uint8_t out[64];
  unsigned n = 0;
  for (auto _ : st) {
    EVP_DigestInit_ex(ctx, md, nullptr);
    EVP_DigestUpdate(ctx, d.data(), size_t(st.range(0)));
    EVP_DigestFinal_ex(ctx, out, &n);
    benchmark::DoNotOptimize(out);
  }
  EVP_MD_CTX_free(ctx);
  EVP_MD_free(md);
  finish(st);
}

// ---- Key setup: one AES-128 key expansion, as every signature does ----
void setkey_ours(benchmark::State& st, bool portable) {
  path_guard g(portable);
  tw3_aes128 ks;
  for (auto _ : st) {
    k_aes128_setkey(&ks, kKey);
    benchmark::DoNotOptimize(ks);
  }
}

void setkey_openssl(benchmark::State& st) {
  EVP_CIPHER* ecb = EVP_CIPHER_fetch(nullptr, "AES-128-ECB", nullptr);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_EncryptInit_ex(ctx, ecb, nullptr, nullptr, nullptr);
  for (auto _ : st) {
    EVP_EncryptInit_ex(ctx, nullptr, nullptr, kKey, nullptr);
    benchmark::ClobberMemory();
  }
  EVP_CIPHER_CTX_free(ctx);
  EVP_CIPHER_free(ecb);
}

void register_sized(const char* name, void (*fn)(benchmark::State&, bool), bool portable) {
  auto* b = benchmark::RegisterBenchmark(name, fn, portable);
  for (int64_t s : kSizes) b->Arg(s);
}
void register_sized(const char* name, void (*fn)(benchmark::State&)) {
  auto* b = benchmark::RegisterBenchmark(name, fn);
  for (int64_t s : kSizes) b->Arg(s);
}

// Remembers each run's speed so the summary can set ours against OpenSSL.
class summary_reporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& r : runs) {
      auto it = r.counters.find("bytes_per_second");
      // Sized runs give bytes per second; key setup gives runs per second.
      double per_sec = it != r.counters.end() ? double(it->second) : 1e9 / r.GetAdjustedCPUTime();
      rate_[r.benchmark_name()] = per_sec;
    }
  }
  double rate(const std::string& name) const {
    auto it = rate_.find(name);
    return it == rate_.end() ? 0 : it->second;
  }

 private:
  std::map<std::string, double> rate_;
};

void print_summary(const summary_reporter& rep) {
  struct row {
    const char* what;
    const char* ours;
    const char* theirs;
    double target;
  };
  const row rows[] = {
      {"AES-CMAC", "cmac/ours", "cmac/openssl", 0.95},
      {"AES-CMAC portable", "cmac/portable", "cmac/openssl", 0},
      {"GMAC", "gmac/ours", "gmac/openssl", 1.0},
      {"GMAC portable", "gmac/portable", "gmac/openssl", 0},
      {"SHA-512", "sha512/ours", "sha512/openssl", 0.8},
      {"SHA-512 portable", "sha512/portable", "sha512/openssl", 0},
      {"AES-128-GCM seal", "gcm128-seal/ours", "gcm128-seal/openssl", 0.9},
      {"AES-128-GCM open", "gcm128-open/ours", "gcm128-open/openssl", 0.9},
      {"AES-256-GCM seal", "gcm256-seal/ours", "gcm256-seal/openssl", 0.9},
      {"AES-256-GCM open", "gcm256-open/ours", "gcm256-open/openssl", 0.9},
      {"AES-128-CCM seal", "ccm128-seal/ours", "ccm128-seal/openssl", 0.9},
      {"AES-128-CCM open", "ccm128-open/ours", "ccm128-open/openssl", 0.9},
  };
  std::printf("\n%-20s %8s %12s %12s %7s %7s\n", "primitive", "size", "ours MB/s", "openssl MB/s",
              "ratio", "target");
  for (const auto& r : rows) {
    for (int64_t s : kSizes) {
      if (std::strstr(r.ours, "-seal") != nullptr || std::strstr(r.ours, "-open") != nullptr) {
        if (s != (1 << 20)) continue;  // the ciphers run on 1 MiB, a large READ's answer
      }
      char ours[64], theirs[64];
      std::snprintf(ours, sizeof ours, "%s/%lld", r.ours, static_cast<long long>(s));
      std::snprintf(theirs, sizeof theirs, "%s/%lld", r.theirs, static_cast<long long>(s));
      double a = rep.rate(ours) / 1e6;
      double b = rep.rate(theirs) / 1e6;
      char target[16] = "-";
      if (r.target > 0) std::snprintf(target, sizeof target, "%.2fx", r.target);
      std::printf("%-20s %8s %12.0f %12.0f %6.2fx %7s\n", r.what,
                  s >= (1 << 20) ? "1 MiB" : "64 KiB", a, b, b > 0 ? a / b : 0, target);
    }
  }
  const double ko = rep.rate("setkey/ours"), kp = rep.rate("setkey/portable"),
               kt = rep.rate("setkey/openssl");
  std::printf("%-20s %8s %10.1f ns %10.1f ns %6.2fx %7s\n", "key setup", "-", 1e9 / ko, 1e9 / kt,
              kt > 0 ? ko / kt : 0, "-");
  std::printf("%-20s %8s %10.1f ns %12s %7s %7s\n", "key setup portable", "-", 1e9 / kp, "", "",
              "");
  std::printf("accelerated kernels in use: %s\n", tw3_crypto_accelerated() ? "yes" : "no");
}

}  // namespace

int main(int argc, char** argv) {
  register_sized("cmac/ours", cmac_ours, false);
  register_sized("cmac/portable", cmac_ours, true);
  register_sized("cmac/openssl", cmac_openssl);
  register_sized("gmac/ours", gmac_ours, false);
  register_sized("gmac/portable", gmac_ours, true);
  register_sized("gmac/openssl", gmac_openssl);
  register_sized("sha512/ours", sha512_ours, false);
  register_sized("sha512/portable", sha512_ours, true);
  register_sized("sha512/openssl", sha512_openssl);
  const struct {
    const char* name;
    aead a;
  } ciphers[] = {{"gcm128", aead::gcm128}, {"gcm256", aead::gcm256}, {"ccm128", aead::ccm128}};
  for (const auto& c : ciphers) {
    const std::string n = c.name;
    register_aead((n + "-seal/ours").c_str(), aead_seal_ours, c.a);
    register_aead((n + "-seal/openssl").c_str(), aead_seal_openssl, c.a);
    register_aead((n + "-open/ours").c_str(), aead_open_ours, c.a);
    register_aead((n + "-open/openssl").c_str(), aead_open_openssl, c.a);
  }
  benchmark::RegisterBenchmark("setkey/ours", setkey_ours, false);
  benchmark::RegisterBenchmark("setkey/portable", setkey_ours, true);
  benchmark::RegisterBenchmark("setkey/openssl", setkey_openssl);
  benchmark::Initialize(&argc, argv);
  summary_reporter rep;
  benchmark::RunSpecifiedBenchmarks(&rep);
  print_summary(rep);
  benchmark::Shutdown();
  return 0;
}
