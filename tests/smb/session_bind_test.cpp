// Session binding (multichannel): a second connection of the same client
// joins a live session as a further channel, signs with a key of its own,
// reaches the session's trees, and keeps the session alive when the first
// connection ends. Bindings that must be refused are refused, with the
// status clients and smbtorture expect.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "common/ntlm_client_conn.h"

namespace {

using ntlmc::Bytes;
using ntlmc::Conn;
using ntlmc::get32;
using ntlmc::get64;
using ntlmc::Key16;
using ntlmc::status_of;

constexpr int64_t kClock = 1700000000;
constexpr uint32_t kMoreProcessing = 0xC0000016;
constexpr uint32_t kInvalid = 0xC000000D;
constexpr uint32_t kDenied = 0xC0000022;
constexpr uint32_t kSessionDeleted = 0xC0000203;
constexpr uint32_t kNameDeleted = 0xC00000C9;
constexpr size_t kClientGuidAt = 64 + 12;

class SessionBind : public ::testing::Test {
 protected:
  void SetUp() override {
    tw3_config_reset_for_tests();
    ASSERT_EQ(tw3_set_option("clock", std::to_string(kClock).c_str()), 0);
    ASSERT_EQ(tw3_add_user("alice", "secret"), 0);
    ASSERT_EQ(tw3_add_user("bob", "hunter2"), 0);
  }
  void TearDown() override { tw3_config_reset_for_tests(); }
};

ntlmc::Negotiate negotiate_311() {
  ntlmc::Negotiate n;
  n.dialects = {0x0311};
  n.signing = {1};  // AES-CMAC
  return n;
}

// Alice's session on a first connection: its id and signing key.
struct Session {
  uint64_t id = 0;
  Key16 key{};
};
Session log_on(Conn& a) {
  const ntlmc::Logon l = ntlmc::logon(a, negotiate_311(), ntlmc::AuthSpec{});
  EXPECT_EQ(status_of(l.ss2_resp), 0u);
  Session s;
  s.id = l.session_id;
  std::memcpy(s.key.data(), tw3_session_live(&a.c, s.id)->signing_key, 16);
  return s;
}

// How a binding attempt differs from a sound one.
struct BindSpec {
  ntlmc::AuthSpec auth{};
  uint16_t dialect = 0x0311;
  std::vector<uint16_t> ciphers = {1, 2};
  bool sign = true;
  bool other_client = false;  // another ClientGuid in its NEGOTIATE
  bool own_session = false;   // the connection logs on a session of its own first
  Key16 key{};                // signs both legs
};

struct Binding {
  Bytes nego_req, nego_resp, ss1_req, ss1_resp, ss2_req, ss2_resp;
  ntlmc::Auth auth;
};

// Both legs of a logon on b from MessageId mid on: a binding of session
// sid, signed as BindSpec says, or (sid 0) a session of b's own.
void legs(Conn& b, uint64_t mid, uint64_t sid, BindSpec spec, Binding* r) {
  const auto request = [&](const Bytes& token, uint64_t id, uint64_t session) {
    Bytes m = ntlmc::session_setup_request(token, id, session);
    if (sid == 0) return m;
    m[64 + 2] = SMB2_SESSION_FLAG_BINDING;
    if (spec.sign) ntlmc::sign_request(m, 0, m.size(), spec.key, false);
    return m;
  };
  r->ss1_req = request(ntlmc::spnego_init(ntlmc::kNtlmOid, ntlmc::negotiate()), mid, sid);
  r->ss1_resp = b.send(r->ss1_req);
  const Bytes buf = ntlmc::ss_buffer(r->ss1_resp);
  size_t tlen = 0;
  const uint8_t* t = ntlmc::find_ntlmssp(buf.data(), buf.size(), &tlen);
  if (status_of(r->ss1_resp) != kMoreProcessing || t == nullptr ||
      !ntlmc::parse_challenge(t, tlen, &spec.auth.server_challenge))
    return;
  spec.auth.timestamp_ft = ntlmc::filetime(kClock);
  r->auth = ntlmc::authenticate(spec.auth);
  r->ss2_req = request(ntlmc::spnego_resp(r->auth.msg), mid + 1, sid == 0 ? get64(&r->ss1_resp[40]) : sid);
  r->ss2_resp = b.send(r->ss2_req);
}

// NEGOTIATE on connection b, then the two binding legs for session sid.
Binding bind(Conn& b, uint64_t sid, const BindSpec& spec) {
  Binding r;
  ntlmc::Negotiate n = negotiate_311();
  n.dialects = {spec.dialect};
  n.ciphers = spec.ciphers;
  r.nego_req = ntlmc::negotiate_request(n, 0);
  if (spec.other_client) r.nego_req[kClientGuidAt] ^= 0xFF;
  r.nego_resp = b.send(r.nego_req);
  uint64_t mid = 1;
  if (spec.own_session) {
    Binding own;
    legs(b, mid, 0, BindSpec{}, &own);
    EXPECT_EQ(status_of(own.ss2_resp), 0u);
    mid += 2;
  }
  legs(b, mid, sid, spec, &r);
  return r;
}

Bytes signed_echo(uint64_t mid, uint64_t sid, const Key16& key) {
  Bytes e = ntlmc::echo(mid, sid);
  ntlmc::sign_request(e, 0, e.size(), key, false);
  return e;
}

TEST_F(SessionBind, ASecondConnectionServesTheSessionAndOutlivesTheFirst) {
  const int64_t channels = tw3_stat_get(ST_CHANNELS);
  auto a = std::make_unique<Conn>("127.0.0.1", 1);
  const Session s = log_on(*a);
  const Bytes tcon = a->send(ntlmc::tree_connect(3, s.id));
  ASSERT_EQ(status_of(tcon), 0u);
  EXPECT_EQ(tw3_stat_get(ST_CHANNELS), channels + 1);

  Conn b("127.0.0.1", 2);
  const Binding r = bind(b, s.id, {.key = s.key});
  ASSERT_EQ(status_of(r.ss1_resp), kMoreProcessing);
  EXPECT_TRUE(ntlmc::response_signature_ok(r.ss1_resp, 0, r.ss1_resp.size(), s.key, false))
      << "the exchange is signed with the session's key";
  ASSERT_EQ(status_of(r.ss2_resp), 0u);
  EXPECT_EQ(get64(&r.ss2_resp[40]), s.id);
  // The channel's key: the binding logon's key over the binding's own
  // pre-authentication hash; the answer that completes it is signed so.
  const Key16 channel = ntlmc::signing_key_311(
      r.auth.session_key, ntlmc::preauth_chain({&r.nego_req, &r.nego_resp, &r.ss1_req, &r.ss1_resp, &r.ss2_req}));
  ASSERT_NE(channel, s.key);
  EXPECT_TRUE(ntlmc::response_signature_ok(r.ss2_resp, 0, r.ss2_resp.size(), channel, false));
  EXPECT_EQ(tw3_stat_get(ST_CHANNELS), channels + 2);
  EXPECT_EQ(tw3_stat_get(ST_SESSIONS_OPEN), 1);

  // Each connection signs with its own key.
  const Bytes echo_b = b.send(signed_echo(10, s.id, channel));
  EXPECT_EQ(status_of(echo_b), 0u);
  EXPECT_TRUE(ntlmc::response_signature_ok(echo_b, 0, echo_b.size(), channel, false));
  EXPECT_EQ(status_of(b.send(signed_echo(11, s.id, s.key))), kDenied);
  EXPECT_EQ(status_of(a->send(signed_echo(12, s.id, s.key))), 0u);

  // The first connection goes: the session, its tree and the second channel stay.
  a.reset();
  EXPECT_EQ(tw3_stat_get(ST_CHANNELS), channels + 1);
  EXPECT_EQ(tw3_stat_get(ST_SESSIONS_OPEN), 1);
  const auto disconnect = [&](uint64_t mid) {
    Bytes m = tw3test::smb2_request({.command = SMB2_TREE_DISCONNECT, .body = {4, 0, 0, 0}, .message_id = mid,
                                     .tree_id = get32(&tcon[36]), .session_id = s.id});
    ntlmc::sign_request(m, 0, m.size(), channel, false);
    return status_of(b.send(m));
  };
  EXPECT_EQ(disconnect(13), 0u) << "the tree made on the first connection";
  EXPECT_EQ(disconnect(14), kNameDeleted);
  Bytes off = tw3test::smb2_request({.command = SMB2_LOGOFF, .body = {4, 0, 0, 0}, .message_id = 15, .session_id = s.id});
  ntlmc::sign_request(off, 0, off.size(), channel, false);
  const Bytes off_resp = b.send(off);
  EXPECT_EQ(status_of(off_resp), 0u);
  EXPECT_TRUE(ntlmc::response_signature_ok(off_resp, 0, off_resp.size(), channel, false));
  EXPECT_EQ(tw3_stat_get(ST_CHANNELS), channels);
  EXPECT_EQ(tw3_stat_get(ST_SESSIONS_OPEN), 0);
}

TEST_F(SessionBind, RefusedBindings) {
  ntlmc::AuthSpec bob;
  bob.user = "bob";
  bob.password = "hunter2";
  Key16 other_key{};
  other_key[0] = 1;
  const struct {
    const char* what;
    BindSpec spec;
    uint64_t id_xor;
    uint32_t first, second;
  } cases[] = {
      {"unsigned", {.sign = false}, 0, kInvalid, 0},
      {"another dialect", {.dialect = 0x0302}, 0, kInvalid, 0},
      {"another client", {.other_client = true}, 0, kInvalid, 0},
      {"another cipher", {.ciphers = {1}}, 0, kInvalid, 0},
      {"from a connection with a session of its own", {.own_session = true}, 0, kSessionDeleted, 0},
      {"no such session", {}, 2, kSessionDeleted, 0},
      {"signed with another key", {.key = other_key}, 0, kDenied, 0},
      {"another user", {.auth = bob}, 0, kMoreProcessing, kDenied},
  };
  for (const auto& k : cases) {
    Conn a("127.0.0.1", 1);
    const Session s = log_on(a);
    Conn b("127.0.0.1", 2);
    BindSpec spec = k.spec;
    if (spec.key == Key16{}) spec.key = s.key;
    const Binding r = bind(b, s.id ^ k.id_xor, spec);
    EXPECT_EQ(status_of(r.ss1_resp), k.first) << k.what;
    if (k.second != 0) {
      EXPECT_EQ(status_of(r.ss2_resp), k.second) << k.what;
    }
    EXPECT_EQ(tw3_session_live(&b.c, s.id), nullptr) << k.what;
    EXPECT_EQ(status_of(a.send(signed_echo(10, s.id, s.key))), 0u) << k.what << ": the session goes on";
  }
}

}  // namespace
