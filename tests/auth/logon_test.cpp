// The logon exchange: NTLM session security against MS-NLMP's examples, the
// MIC and mechListMIC of a named logon, the client's framings, and guests by
// name. Messages come from the independent test client.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "auth/auth.h"
#include "common/ntlm_client_msgs.h"
#include "config/config.h"

namespace {

using ntlmc::Bytes;
using ntlmc::Key16;
using V = tw3_logon_verdict;

constexpr int64_t kNow = 1700000000;
constexpr uint8_t kChal[8] = {1, 2, 3, 4, 5, 6, 7, 8};
constexpr uint32_t kSign = 0x10;
constexpr uint32_t kKeyExch = 0x40000000;
const Bytes kDone = {0xA1, 0x07, 0x30, 0x05, 0xA0, 0x03, 0x0A, 0x01, 0x00};

Bytes hex(const char* s) {
  Bytes out;
  for (; s[0] && s[1]; s += 2) out.push_back(static_cast<uint8_t>(std::stoi(std::string(s, 2), nullptr, 16)));
  return out;
}

// MS-NLMP 4.2.4.4: RandomSessionKey 55..55 with NEGOTIATE_128, the client's
// keys, and the signature of "Plaintext" after sealing it with the same handle.
TEST(NtlmSessionSecurity, KnownAnswers) {
  uint8_t exported[16];
  std::fill(exported, exported + 16, 0x55);
  constexpr uint32_t kExampleFlags = 0xE28A8233;
  uint8_t sign[16], seal[16];
  tw3_ntlm_sign_key(exported, true, sign);
  tw3_ntlm_seal_key(exported, kExampleFlags, true, seal);
  EXPECT_EQ(Bytes(sign, sign + 16), hex("4788dc861b4782f35d43fd98fe1a2d39"));
  EXPECT_EQ(Bytes(seal, seal + 16), hex("59f600973cc4960a25480a7c196e4c58"));

  Bytes text = ntlmc::utf16("Plaintext");
  tw3_rc4_state handle;
  tw3_rc4_init(&handle, seal, 16);
  tw3_rc4(&handle, text.data(), text.size());
  EXPECT_EQ(text, hex("54e50165bf1936dc996020c1811b0f06fb5f"));
  const Bytes plain = ntlmc::utf16("Plaintext");
  uint8_t sig[16];
  tw3_ntlm_mac(sign, &handle, 0, plain.data(), plain.size(), sig);
  EXPECT_EQ(Bytes(sig, sig + 16), hex("010000007fb38ec5c55d497600000000"));
  // Without key exchange the checksum goes unsealed.
  tw3_ntlm_mac(sign, nullptr, 0, plain.data(), plain.size(), sig);
  EXPECT_EQ(Bytes(sig, sig + 16), hex("0100000070352851f256430900000000"));

  // Keys cut by the negotiated strength differ; the two directions differ.
  uint8_t seal56[16], seal40[16], server_sign[16];
  tw3_ntlm_seal_key(exported, 0x80000000, true, seal56);
  tw3_ntlm_seal_key(exported, 0, true, seal40);
  tw3_ntlm_sign_key(exported, false, server_sign);
  EXPECT_NE(Bytes(seal56, seal56 + 16), Bytes(seal, seal + 16));
  EXPECT_NE(Bytes(seal40, seal40 + 16), Bytes(seal56, seal56 + 16));
  EXPECT_NE(Bytes(server_sign, server_sign + 16), Bytes(sign, sign + 16));
  // The mechListMIC agrees with the test client's own computation.
  const Bytes types = ntlmc::der(0x30, ntlmc::kNtlmOid);
  const Key16 k = {0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55,
                   0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55};
  for (bool client : {true, false}) {
    ASSERT_EQ(tw3_ntlm_mech_list_mic(exported, kExampleFlags, client, types.data(), types.size(), sig), 0);
    EXPECT_EQ(Bytes(sig, sig + 16), ntlmc::mech_list_mic(k, types, client)) << client;
  }
  EXPECT_EQ(tw3_ntlm_mech_list_mic(exported, kExampleFlags & ~TW3_NTLM_EXTENDED_SECURITY, true,
                                   types.data(), types.size(), sig),
            -1);
}

struct Outcome {
  V verdict = V::refused;
  Bytes token;
  Key16 key{};
};

class Logon : public ::testing::Test {
 protected:
  void SetUp() override { tw3_config_reset_for_tests(); }
  void TearDown() override { tw3_config_reset_for_tests(); }

  Outcome step(const Bytes& blob, bool admissible = true, bool bad_user_guest = true) {
    const tw3_logon_ctx ctx{kChal, "TARNWICKFIELD", kNow, "TARNWICKFIELD", kNow, 1, admissible, bad_user_guest};
    tw3_logon_result res{};
    tw3_logon_step(st_.get(), ctx, blob.data(), blob.size(), &res);
    Outcome o;
    o.verdict = res.verdict;
    o.token.assign(res.token.data, res.token.data + res.token.len);
    std::copy(res.key, res.key + 16, o.key.begin());
    tw3_buf_free(&res.token);
    return o;
  }
  // The first leg; the CHALLENGE it answered with.
  Bytes challenge(const Bytes& first) {
    const Outcome o = step(first);
    EXPECT_EQ(o.verdict, V::challenge);
    size_t n = 0;
    const uint8_t* p = ntlmc::find_ntlmssp(o.token.data(), o.token.size(), &n);
    return p ? Bytes(p, p + n) : Bytes{};
  }
  static ntlmc::AuthSpec spec() {
    ntlmc::AuthSpec s;
    std::copy(kChal, kChal + 8, s.server_challenge.begin());
    s.timestamp_ft = ntlmc::filetime(kNow);
    return s;
  }

  std::unique_ptr<tw3_logon> st_ = std::make_unique<tw3_logon>();
};

// How a client's second leg is made up; the defaults are Samba's.
struct Leg {
  bool mic = true;               // AUTHENTICATE carries a MIC
  bool mech_list_mic = true;     // negTokenResp carries a mechListMIC
  uint32_t flags = ntlmc::kClientFlags;
  std::function<void(Bytes& auth)> tamper_auth = nullptr;
  std::function<void(Bytes& mic)> tamper_mech_list_mic = nullptr;
  Bytes mic_negotiate;           // the NEGOTIATE the client's MIC covers (default: the one sent)
};

struct IntegrityCase {
  const char* why;
  std::function<void(Leg&)> tweak;
  V verdict;
  bool server_mic;  // the answer carries the server's mechListMIC
};

TEST_F(Logon, MicAndMechListMicOfANamedLogon) {
  const Bytes types = ntlmc::der(0x30, ntlmc::kNtlmOid);
  const auto flip = [](size_t at) { return [at](Bytes& b) { b[at] ^= 1; }; };
  const IntegrityCase cases[] = {
      {"both MICs good", [](Leg&) {}, V::user, true},
      {"no MIC, no mechListMIC, asked to sign", [](Leg& l) { l.mic = l.mech_list_mic = false; }, V::user, true},
      {"no MIC, no mechListMIC, no signing",
       [](Leg& l) {
         l.mic = l.mech_list_mic = false;
         l.flags &= ~kSign;
       },
       V::user, false},
      {"MIC only", [](Leg& l) { l.mech_list_mic = false; }, V::user, true},
      {"mechListMIC without key exchange", [](Leg& l) { l.flags &= ~kKeyExch; }, V::user, true},
      {"tampered MIC", [&](Leg& l) { l.tamper_auth = flip(ntlmc::kMicOffset + 3); }, V::refused, false},
      {"MIC claimed, left zero",
       [](Leg& l) {
         l.tamper_auth = [](Bytes& a) { std::fill(a.begin() + 72, a.begin() + 88, 0); };
       },
       V::refused, false},
      {"MIC over another NEGOTIATE", [](Leg& l) { l.mic_negotiate = ntlmc::negotiate(0x62088215); },
       V::refused, false},
      {"tampered mechListMIC", [&](Leg& l) { l.tamper_mech_list_mic = flip(5); }, V::refused, false},
      {"mechListMIC of 15 bytes",
       [](Leg& l) { l.tamper_mech_list_mic = [](Bytes& m) { m.pop_back(); }; }, V::refused, false},
  };
  ASSERT_EQ(tw3_add_user("alice", "secret"), 0);
  for (const auto& c : cases) {
    st_ = std::make_unique<tw3_logon>();
    const Bytes nego = ntlmc::negotiate();
    const Bytes chal = challenge(ntlmc::spnego_init(ntlmc::kNtlmOid, nego));
    Leg leg;
    c.tweak(leg);
    ntlmc::AuthSpec s = spec();
    s.mic = leg.mic;
    s.flags = leg.flags;
    ntlmc::Auth a = ntlmc::authenticate(s);
    if (leg.mic)
      ntlmc::set_mic(a.msg, a.session_key, leg.mic_negotiate.empty() ? nego : leg.mic_negotiate, chal);
    if (leg.tamper_auth) leg.tamper_auth(a.msg);
    Bytes mic;
    if (leg.mech_list_mic) mic = ntlmc::mech_list_mic(a.session_key, types, true, leg.flags & kKeyExch);
    if (leg.tamper_mech_list_mic) leg.tamper_mech_list_mic(mic);
    const Outcome o = step(ntlmc::spnego_resp(a.msg, mic));
    EXPECT_EQ(o.verdict, c.verdict) << c.why;
    if (c.verdict != V::user) continue;
    EXPECT_EQ(o.key, a.session_key) << c.why;
    const Bytes want = c.server_mic ? ntlmc::cat({{0xA1, 0x1B, 0x30, 0x19, 0xA0, 0x03, 0x0A, 0x01, 0x00,
                                                    0xA3, 0x12, 0x04, 0x10},
                                                   ntlmc::mech_list_mic(a.session_key, types, false,
                                                                        leg.flags & kKeyExch)})
                                    : kDone;
    EXPECT_EQ(o.token, want) << c.why;
  }
}

// Bare NTLMSSP and NTLM in an RFC 2743 token: the CHALLENGE answers the
// NEGOTIATE's flags, goes back unwrapped, and the MIC covers that NEGOTIATE.
TEST_F(Logon, ClientFramings) {
  constexpr uint32_t kNoSign = 0x00088201;  // UNICODE | NTLM | EXTENDED_SESSIONSECURITY
  const struct {
    const char* why;
    std::function<Bytes(const Bytes&)> wrap_first, wrap_second;
  } forms[] = {
      {"bare NTLMSSP", [](const Bytes& m) { return m; }, [](const Bytes& m) { return m; }},
      {"GSS-API NTLM token", ntlmc::gss_ntlm, [](const Bytes& m) { return m; }},
      {"GSS-API NTLM token both legs", ntlmc::gss_ntlm, ntlmc::gss_ntlm},
  };
  ASSERT_EQ(tw3_add_user("alice", "secret"), 0);
  for (const auto& f : forms) {
    for (uint32_t asked : {ntlmc::kNegotiateFlags, kNoSign}) {
      st_ = std::make_unique<tw3_logon>();
      const Bytes nego = ntlmc::negotiate(asked);
      const Outcome first = step(f.wrap_first(nego));
      ASSERT_EQ(first.verdict, V::challenge) << f.why;
      ASSERT_EQ(first.token.size(), 184u) << f.why;
      EXPECT_EQ(Bytes(first.token.begin(), first.token.begin() + 8), Bytes({'N', 'T', 'L', 'M', 'S', 'S', 'P', 0}));
      EXPECT_EQ(ntlmc::get32(&first.token[20]), tw3_ntlm_answer_flags(nego.data(), nego.size())) << f.why;
      EXPECT_EQ(ntlmc::get32(&first.token[20]) & kSign, asked & kSign) << f.why;
      ntlmc::AuthSpec s = spec();
      s.mic = true;
      ntlmc::Auth a = ntlmc::authenticate(s);
      ntlmc::set_mic(a.msg, a.session_key, nego, first.token);
      const Outcome second = step(f.wrap_second(a.msg));
      EXPECT_EQ(second.verdict, V::user) << f.why;
      EXPECT_TRUE(second.token.empty()) << f.why;
      a.msg[ntlmc::kMicOffset] ^= 1;
      EXPECT_EQ(step(f.wrap_second(a.msg)).verdict, V::refused) << f.why;
    }
  }
}

struct GuestCase {
  const char* why;
  const char* guest_opt;
  bool accounts;
  bool admissible;  // the connection's signing and encryption let a guest in
  std::function<void(ntlmc::AuthSpec&)> who;
  V verdict;
  bool bad_user_guest = true;  // map_to_guest=bad_user; false: never
};

// With guests on, a name that is no account (in any domain) logs on as a
// guest; a known account's wrong password never does.
TEST_F(Logon, GuestsByName) {
  const auto named = [](const char* user, const char* pw, const char* domain = "WORKGROUP") {
    return [=](ntlmc::AuthSpec& s) {
      s.user = user;
      s.password = pw;
      s.domain = domain;
    };
  };
  const auto anonymous = [](ntlmc::AuthSpec& s) { s.nt_raw = Bytes{}; };
  const GuestCase cases[] = {
      {"guest with an empty password, on", "on", true, true, named("guest", ""), V::guest},
      {"unknown name in another domain, on", "on", true, true, named("mallory", "x", "ELSEWHERE"), V::guest},
      {"known account, wrong password, on", "on", true, true, named("alice", "wrong"), V::refused},
      {"known account in another case and domain, on", "on", true, true, named("ALICE", "secret", "OTHER"), V::user},
      {"anonymous, on", "on", true, true, anonymous, V::guest},
      {"unknown name, on, but signing or encryption bars guests", "on", true, false, named("guest", ""), V::refused},
      {"unknown name, off", "off", true, true, named("guest", ""), V::refused},
      {"anonymous, off", "off", true, true, anonymous, V::refused},
      {"unknown name, auto with accounts", "auto", true, true, named("guest", ""), V::refused},
      {"any name, auto without accounts", "auto", false, true, named("alice", "secret"), V::guest},
      {"any name, off without accounts", "off", false, true, named("guest", ""), V::refused},
      {"unknown name, on, map_to_guest=never", "on", true, true, named("guest", ""), V::refused, false},
      {"anonymous, on, map_to_guest=never", "on", true, true, anonymous, V::guest, false},
  };
  for (const auto& c : cases) {
    tw3_config_reset_for_tests();
    ASSERT_EQ(tw3_set_option("guest", c.guest_opt), 0);
    if (c.accounts) {
      ASSERT_EQ(tw3_add_user("alice", "secret"), 0);
    }
    st_ = std::make_unique<tw3_logon>();
    challenge(ntlmc::spnego_init(ntlmc::kNtlmOid, ntlmc::negotiate()));
    ntlmc::AuthSpec s = spec();
    c.who(s);
    const Outcome o = step(ntlmc::spnego_resp(ntlmc::authenticate(s).msg), c.admissible, c.bad_user_guest);
    EXPECT_EQ(o.verdict, c.verdict) << c.why;
    // A guest's answer is the plain accept-completed: no key signs anything.
    if (o.verdict == V::guest) {
      EXPECT_EQ(o.token, kDone) << c.why;
    }
  }
}

}  // namespace
