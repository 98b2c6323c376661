// NTLM: the CHALLENGE message, the server challenge and NTLMv2 verification,
// against messages built by the independent test client.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>

#include "auth/auth.h"
#include "common/ntlm_client_msgs.h"
#include "common/test_env.h"
#include "config/config.h"

namespace {

using ntlmc::Bytes;

constexpr int64_t kNow = 1700000000;
constexpr uint8_t kChal[8] = {1, 2, 3, 4, 5, 6, 7, 8};

uint32_t le32(const uint8_t* p) { return ntlmc::get32(p); }
uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

Bytes type2(const char* name, int64_t now = kNow) {
  tw3_buf b{};
  EXPECT_EQ(tw3_ntlm_type2(name, kChal, now, &b), 0);
  Bytes out(b.data, b.data + b.len);
  tw3_buf_free(&b);
  return out;
}

TEST(NtlmChallenge, DefaultNameLayout) {
  for (const char* name : {static_cast<const char*>(nullptr), "", "TARNWICKFIELD"}) {
    const Bytes m = type2(name);
    ASSERT_EQ(m.size(), 184u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(m.data()), 8), std::string("NTLMSSP\0", 8));
    EXPECT_EQ(le32(&m[8]), 2u);
    EXPECT_EQ(Bytes(m.begin() + 12, m.begin() + 20), Bytes(8, 0));
    // REQUEST_TARGET (0x04) and TARGET_INFO (0x00800000) both set: go-smb2
    // (rclone) refuses a CHALLENGE that lacks either, even with no TargetName.
    EXPECT_EQ(Bytes(m.begin() + 20, m.begin() + 24), Bytes({0x05, 0x86, 0x88, 0xE0}));
    EXPECT_EQ(Bytes(m.begin() + 24, m.begin() + 32), Bytes(kChal, kChal + 8));
    EXPECT_EQ(le16(&m[40]), 136);
    EXPECT_EQ(le16(&m[42]), 136);
    EXPECT_EQ(le32(&m[44]), 48u);
    const Bytes name16 = ntlmc::utf16("TARNWICKFIELD");
    size_t pos = 48;
    for (uint16_t id : {2, 1, 3, 4}) {
      EXPECT_EQ(le16(&m[pos]), id);
      EXPECT_EQ(le16(&m[pos + 2]), 26);
      EXPECT_EQ(Bytes(m.begin() + pos + 4, m.begin() + pos + 30), name16);
      pos += 30;
    }
    EXPECT_EQ(le16(&m[pos]), 7);
    EXPECT_EQ(le16(&m[pos + 2]), 8);
    uint64_t ft = le32(&m[pos + 4]) | (static_cast<uint64_t>(le32(&m[pos + 8])) << 32);
    EXPECT_EQ(ft, ntlmc::filetime(kNow));
    EXPECT_EQ(Bytes(m.begin() + pos + 12, m.end()), Bytes(4, 0));
  }
}

TEST(NtlmChallenge, FlagsAnswerTheClientsNegotiate) {
  const auto cut = [](Bytes m, size_t n) { return Bytes(m.begin(), m.begin() + n); };
  const struct {
    const char* why;
    Bytes msg;
    uint32_t flags;
  } cases[] = {
      {"Samba's flags", ntlmc::negotiate(), 0x60888615},
      {"all five asked", ntlmc::negotiate(0xFFFFFFFF), 0xE0888635},
      {"none asked", ntlmc::negotiate(0x00000001), 0x00888605},
      {"cut before the flags", cut(ntlmc::negotiate(), 15), TW3_NTLM_CHALLENGE_FLAGS},
      {"not a NEGOTIATE", ntlmc::authenticate({}).msg, TW3_NTLM_CHALLENGE_FLAGS},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(tw3_ntlm_answer_flags(c.msg.data(), c.msg.size()), c.flags) << c.why;
    tw3_buf b{};
    ASSERT_EQ(tw3_ntlm_type2(nullptr, kChal, kNow, &b, c.flags), 0);
    EXPECT_EQ(b.len, 184u) << c.why;
    EXPECT_EQ(le32(b.data + 20), c.flags) << c.why;
    tw3_buf_free(&b);
  }
}

TEST(NtlmChallenge, NameIsCutAtSixtyBytes) {
  const std::string n60(60, 'N');
  EXPECT_EQ(type2(n60.c_str()).size(), 560u);
  EXPECT_EQ(type2((n60 + "X").c_str()), type2(n60.c_str()));
  // A cut in the middle of a UTF-8 sequence cannot be converted.
  const std::string split = std::string(59, 'N') + "\xC3\xA4";
  tw3_buf b{};
  EXPECT_EQ(tw3_ntlm_type2(split.c_str(), kChal, kNow, &b), -1);
  EXPECT_EQ(b.len, 0u);
  tw3_buf_free(&b);
}

TEST(NtlmChallenge, FixedClockDerivationAndRealClockUniqueness) {
  const char* name = "TARNWICKFIELD";
  const uint64_t a = tw3_fnv1a64(name, 13, TW3_FNV_BASIS);
  uint8_t t_le[8];
  for (int i = 0; i < 8; i++) t_le[i] = static_cast<uint8_t>(static_cast<uint64_t>(kNow) >> (8 * i));
  const uint64_t want = a ^ tw3_fnv1a64(t_le, 8, a);
  uint8_t c1[8], c2[8];
  tw3_ntlm_challenge(name, kNow, 1, c1);
  tw3_ntlm_challenge(name, kNow, 1, c2);
  for (int i = 0; i < 8; i++) EXPECT_EQ(c1[i], static_cast<uint8_t>(want >> (8 * i)));
  EXPECT_EQ(Bytes(c1, c1 + 8), Bytes(c2, c2 + 8));
  // The real clock: the same name and second never give the same challenge.
  uint8_t r1[8], r2[8];
  tw3_ntlm_challenge(name, kNow, 0, r1);
  tw3_ntlm_challenge(name, kNow, 0, r2);
  EXPECT_NE(Bytes(r1, r1 + 8), Bytes(r2, r2 + 8));
  EXPECT_NE(Bytes(r1, r1 + 8), Bytes(c1, c1 + 8));
}

TEST(NtlmHashes, KnownAnswer) {
  // MS-NLMP 4.2.4.1.1: user "User", domain "Domain", password "Password".
  uint8_t nt[16], owf[16];
  tw3_ntlm_hashes_dom("User", "Domain", "Password", nt, owf);
  const Bytes want_nt = {0xa4, 0xf4, 0x9c, 0x40, 0x65, 0x10, 0xbd, 0xca,
                         0xb6, 0x82, 0x4e, 0xe7, 0xc3, 0x0f, 0xd8, 0x52};
  const Bytes want_owf = {0x0c, 0x86, 0x8a, 0x40, 0x3b, 0xfd, 0x7a, 0x93,
                          0xa3, 0x00, 0x1e, 0xf2, 0x2e, 0xf0, 0x2e, 0x3f};
  EXPECT_EQ(Bytes(nt, nt + 16), want_nt);
  EXPECT_EQ(Bytes(owf, owf + 16), want_owf);
}

class NtlmVerify : public ::testing::Test {
 protected:
  void SetUp() override {
    tw3_config_reset_for_tests();
    tw3_test_unsetenv("TWSMB3S_NO_KEX");
  }
  void TearDown() override {
    tw3_config_reset_for_tests();
    tw3_test_unsetenv("TWSMB3S_NO_KEX");
  }
  static ntlmc::AuthSpec spec() {
    ntlmc::AuthSpec s;
    std::copy(kChal, kChal + 8, s.server_challenge.begin());
    s.timestamp_ft = ntlmc::filetime(kNow);
    return s;
  }
  int run(const Bytes& msg, int timecheck, const char* user, const char* pw, int* guest,
          uint8_t key[16]) {
    return tw3_ntlm_type3(msg.data(), msg.size(), kChal, "TARNWICKFIELD", kNow, timecheck, user,
                          pw, guest, key);
  }
};

struct VerifyCase {
  const char* why;
  std::function<void(ntlmc::AuthSpec&)> tweak;
  int timecheck;
  const char* user;  // account checked against
  int rc;
  int guest;
};

TEST_F(NtlmVerify, Table) {
  const VerifyCase cases[] = {
      {"right password", [](ntlmc::AuthSpec&) {}, 1, "alice", 0, 0},
      {"wrong password", [](ntlmc::AuthSpec& s) { s.password = "wrong"; }, 1, "alice", 1, 0},
      {"other account", [](ntlmc::AuthSpec&) {}, 1, "bob", 1, 0},
      {"wire name differs in case", [](ntlmc::AuthSpec& s) { s.wire_user = "ALICE"; }, 1, "alice", 0, 0},
      {"timestamp 7200 s ahead", [](ntlmc::AuthSpec& s) { s.timestamp_ft = ntlmc::filetime(kNow + 7200); }, 1, "alice", 0, 0},
      {"timestamp 7200 s behind", [](ntlmc::AuthSpec& s) { s.timestamp_ft = ntlmc::filetime(kNow - 7200); }, 1, "alice", 0, 0},
      {"timestamp 7201 s ahead", [](ntlmc::AuthSpec& s) { s.timestamp_ft = ntlmc::filetime(kNow + 7201); }, 1, "alice", -1, 0},
      {"timestamp 7201 s behind", [](ntlmc::AuthSpec& s) { s.timestamp_ft = ntlmc::filetime(kNow - 7201); }, 1, "alice", -1, 0},
      {"timestamp 7201 s, check off", [](ntlmc::AuthSpec& s) { s.timestamp_ft = ntlmc::filetime(kNow + 7201); }, 0, "alice", 0, 0},
      {"zero timestamp", [](ntlmc::AuthSpec& s) { s.timestamp_ft = 0; }, 1, "alice", 0, 0},
      {"missing timestamp", [](ntlmc::AuthSpec& s) { s.with_timestamp = false; }, 1, "alice", -1, 0},
      {"missing timestamp, check off", [](ntlmc::AuthSpec& s) { s.with_timestamp = false; }, 0, "alice", 0, 0},
      {"NbDomainName in another case", [](ntlmc::AuthSpec& s) { s.nb_domain = "TarnwickField"; }, 1, "alice", 0, 0},
      {"NbDomainName differs after its first letter", [](ntlmc::AuthSpec& s) { s.nb_domain = "TXXXXXXXXXXXX"; }, 1, "alice", -1, 0},
      {"NbDomainName missing", [](ntlmc::AuthSpec& s) { s.nb_domain = ""; }, 1, "alice", -1, 0},
      {"NbComputerName wrong", [](ntlmc::AuthSpec& s) { s.nb_computer = "OTHER"; }, 1, "alice", -1, 0},
      {"blob version 2", [](ntlmc::AuthSpec& s) { s.resp_type = 2; }, 1, "alice", -1, 0},
      {"NTLMv1 without extended security",
       [](ntlmc::AuthSpec& s) { s.flags &= ~TW3_NTLM_EXTENDED_SECURITY; s.nt_raw = Bytes(24, 7); }, 1, "alice", -1, 0},
      {"zero NT offset", [](ntlmc::AuthSpec& s) { s.zero_nt_offset = true; }, 1, "alice", -1, 0},
      {"1040-byte response is verified",
       [](ntlmc::AuthSpec& s) { s.pad_av = 1040 - 16 - 28 - 30 - 30 - 12 - 4 - 4 - 4; }, 1, "alice", 0, 0},
  };
  tw3_add_user("alice", "secret");  // guests refused (auto with an account)
  for (const auto& c : cases) {
    ntlmc::AuthSpec s = spec();
    c.tweak(s);
    const ntlmc::Auth a = ntlmc::authenticate(s);
    int guest = 9;
    uint8_t key[16];
    EXPECT_EQ(run(a.msg, c.timecheck, c.user, "secret", &guest, key), c.rc) << c.why;
    EXPECT_EQ(guest, c.guest) << c.why;
    if (c.rc == 0 && c.guest == 0) {
      EXPECT_EQ(Bytes(key, key + 16), Bytes(a.session_key.begin(), a.session_key.end())) << c.why;
    } else {
      EXPECT_EQ(Bytes(key, key + 16), Bytes(16, 0)) << c.why;
    }
  }
}

TEST_F(NtlmVerify, KeyExchange) {
  ntlmc::AuthSpec s = spec();
  const ntlmc::Auth kex = ntlmc::authenticate(s);
  int guest;
  uint8_t key[16];
  ASSERT_EQ(run(kex.msg, 1, "alice", "secret", &guest, key), 0);
  EXPECT_EQ(Bytes(key, key + 16), Bytes(s.exported_key.begin(), s.exported_key.end()));
  tw3_test_setenv("TWSMB3S_NO_KEX", "1");
  ASSERT_EQ(run(kex.msg, 1, "alice", "secret", &guest, key), 0);
  EXPECT_EQ(Bytes(key, key + 16), Bytes(kex.base_key.begin(), kex.base_key.end()));
  tw3_test_unsetenv("TWSMB3S_NO_KEX");
  s.flags &= ~ntlmc::kKeyExch;
  const ntlmc::Auth plain = ntlmc::authenticate(s);
  ASSERT_EQ(run(plain.msg, 1, "alice", "secret", &guest, key), 0);
  EXPECT_EQ(Bytes(key, key + 16), Bytes(plain.base_key.begin(), plain.base_key.end()));
}

// Anonymous and odd-length responses become guests only while guests are allowed.
TEST_F(NtlmVerify, GuestWaysInFollowPolicy) {
  const struct {
    const char* why;
    std::function<void(ntlmc::AuthSpec&)> tweak;
  } ways[] = {
      {"anonymous", [](ntlmc::AuthSpec& s) { s.nt_raw = Bytes{}; }},
      {"24-byte v1 with extended security", [](ntlmc::AuthSpec& s) { s.nt_raw = Bytes(24, 7); }},
      {"47 bytes", [](ntlmc::AuthSpec& s) { s.nt_raw = Bytes(47, 1); }},
      {"1041 bytes", [](ntlmc::AuthSpec& s) { s.nt_raw = Bytes(1041, 1); }},
  };
  const struct {
    const char* why;
    const char* guest_opt;
    bool add_user;
    int rc;
    int guest;
  } policies[] = {
      {"no accounts, auto", "auto", false, 0, 1},
      {"accounts, auto", "auto", true, 1, 0},
      {"accounts, on", "on", true, 0, 1},
      {"no accounts, off", "off", false, 1, 0},
  };
  for (const auto& p : policies) {
    tw3_config_reset_for_tests();
    ASSERT_EQ(tw3_set_option("guest", p.guest_opt), 0);
    if (p.add_user) tw3_add_user("alice", "secret");
    for (const auto& w : ways) {
      ntlmc::AuthSpec s = spec();
      w.tweak(s);
      const Bytes msg = ntlmc::authenticate(s).msg;
      int guest = 9;
      uint8_t key[16];
      EXPECT_EQ(run(msg, 1, "alice", "secret", &guest, key), p.rc) << p.why << " / " << w.why;
      EXPECT_EQ(guest, p.guest) << p.why << " / " << w.why;
    }
  }
  // An anonymous key exchange: the client wrapped its key with RC4 under the
  // zero base key, so the server unwraps exactly the exported key.
  tw3_config_reset_for_tests();
  ntlmc::AuthSpec s = spec();
  s.nt_raw = Bytes{};
  const Bytes msg = ntlmc::authenticate(s).msg;
  int guest;
  uint8_t key[16];
  ASSERT_EQ(run(msg, 1, "", "", &guest, key), 0);
  EXPECT_EQ(Bytes(key, key + 16), Bytes(s.exported_key.begin(), s.exported_key.end()));
}

TEST_F(NtlmVerify, MalformedMessages) {
  const Bytes good = ntlmc::authenticate(spec()).msg;
  auto with = [&](std::function<void(Bytes&)> f) {
    Bytes m = good;
    f(m);
    return m;
  };
  const struct {
    const char* why;
    Bytes msg;
  } cases[] = {
      {"31 bytes", Bytes(good.begin(), good.begin() + 31)},
      {"63 bytes: no flags", Bytes(good.begin(), good.begin() + 63)},
      {"bad signature", with([](Bytes& m) { m[7] = 1; })},
      {"type 2", with([](Bytes& m) { m[8] = 2; })},
      {"NT offset wraps", with([](Bytes& m) { ntlmc::set32(m, 24, 0xFFFFFFF0u); })},
      {"NT length past end", with([](Bytes& m) { ntlmc::set16(m, 20, 0xFFFF); })},
      {"user length with a zero offset", with([](Bytes& m) { ntlmc::set32(m, 40, 0); })},
      {"odd UTF-16 user", with([](Bytes& m) { ntlmc::set16(m, 36, 3); })},
  };
  for (const auto& c : cases) {
    int guest = 9;
    uint8_t key[16];
    EXPECT_EQ(run(c.msg, 1, "alice", "secret", &guest, key), -1) << c.why;
    EXPECT_EQ(guest, 0) << c.why;
  }
  int guest;
  uint8_t key[16];
  EXPECT_EQ(tw3_ntlm_type3(nullptr, 0, kChal, nullptr, kNow, 1, "", "", &guest, key), -1);
  EXPECT_EQ(tw3_ntlm_type1(ntlmc::negotiate().data(), 16), 0);
  EXPECT_EQ(tw3_ntlm_type1(good.data(), good.size()), -1);
  EXPECT_EQ(tw3_ntlm_type1(ntlmc::negotiate().data(), 15), -1);
}

}  // namespace
