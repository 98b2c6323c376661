// SESSION_SETUP: the two NTLM legs, accounts and guests, failures and their
// counting, and the session keys checked against independent derivations.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "common/ntlm_client_conn.h"

namespace {

using ntlmc::Bytes;
using ntlmc::Conn;
using ntlmc::get16;
using ntlmc::get32;
using ntlmc::get64;
using ntlmc::Key16;

constexpr int64_t kClock = 1700000000;
constexpr uint32_t kLogonFailure = 0xC000006D;
constexpr uint32_t kInvalid = 0xC000000D;
const Bytes kDone = {0xA1, 0x07, 0x30, 0x05, 0xA0, 0x03, 0x0A, 0x01, 0x00};

class LogonSession : public ::testing::Test {
 protected:
  void SetUp() override {
    tw3_config_reset_for_tests();
    ASSERT_EQ(tw3_set_option("clock", std::to_string(kClock).c_str()), 0);
  }
  void TearDown() override { tw3_config_reset_for_tests(); }
  static void add_alice() { ASSERT_EQ(tw3_add_user("alice", "secret"), 0); }
};

Key16 key_of(const uint8_t* p) {
  Key16 k;
  std::memcpy(k.data(), p, 16);
  return k;
}

// The CHALLENGE grants SIGN, SEAL, KEY_EXCH, 128 and 56 only when the
// client's NEGOTIATE asks for them; its size stays the same.
TEST_F(LogonSession, FirstLegAnswersWithTheChallenge) {
  constexpr uint32_t kKernelSign = 0xE0080235;  // Linux cifs.ko with `sign`
  const struct {
    const char* why;
    Bytes token;
    size_t buffer_len;
    uint8_t first;
    uint32_t flags;
  } cases[] = {
      {"SPNEGO negTokenInit", ntlmc::spnego_init(ntlmc::kNtlmOid, ntlmc::negotiate()), 215, 0xA1,
       0x60888615},
      {"bare NTLMSSP", ntlmc::negotiate(), 184, 'N', 0x60888615},
      {"kernel client asking to sign", ntlmc::spnego_init(ntlmc::kNtlmOid, ntlmc::negotiate(kKernelSign)),
       215, 0xA1, 0xE0888635},
      {"asking for none of them", ntlmc::negotiate(0x00088201), 184, 'N', 0x00888605},
      {"negTokenInit without a token", ntlmc::spnego_init(ntlmc::kNtlmOid, {}), 215, 0xA1,
       0xE0888605},
  };
  const uint64_t seed = tw3_fnv1a64("127.0.0.1", 9, TW3_FNV_BASIS);
  uint8_t t[16] = {};  // the clock, then the connection's count of sessions begun (0)
  for (int i = 0; i < 8; i++) t[i] = static_cast<uint8_t>(static_cast<uint64_t>(kClock) >> (8 * i));
  const uint64_t want_sid = tw3_fnv1a64(t, sizeof t, seed) | 1;
  for (const auto& c : cases) {
    Conn conn;
    conn.send(ntlmc::negotiate_request({}));
    const Bytes r = conn.send(ntlmc::session_setup_request(c.token, 1, 0));
    EXPECT_EQ(ntlmc::status_of(r), 0xC0000016u) << c.why;
    EXPECT_EQ(get64(&r[40]), want_sid) << c.why;
    EXPECT_EQ(get16(&r[68]), 72) << c.why;
    const Bytes buf = ntlmc::ss_buffer(r);
    ASSERT_EQ(buf.size(), c.buffer_len) << c.why;
    EXPECT_EQ(buf[0], c.first) << c.why;
    size_t len = 0;
    const uint8_t* challenge = ntlmc::find_ntlmssp(buf.data(), buf.size(), &len);
    ASSERT_TRUE(challenge != nullptr && len >= 24) << c.why;
    EXPECT_EQ(get32(challenge + 20), c.flags) << c.why;
    EXPECT_TRUE(conn.session()->setup_pending) << c.why;
  }
}

struct KeyCase {
  uint16_t dialect;
  bool gmac;
};

TEST_F(LogonSession, NamedLogonDerivesTheKeysClientsDerive) {
  add_alice();
  const KeyCase cases[] = {{0x0300, false}, {0x0302, false}, {0x0311, false}, {0x0311, true}};
  for (const auto& k : cases) {
    Conn conn;
    ntlmc::Negotiate n;
    n.dialects = {k.dialect};
    n.signing = {static_cast<uint16_t>(k.gmac ? 2 : 1)};
    const int64_t sessions = tw3_stat_get(ST_SESSIONS);
    const ntlmc::Logon l = ntlmc::logon(conn, n, ntlmc::AuthSpec{});
    ASSERT_EQ(ntlmc::status_of(l.ss2_resp), 0u) << k.dialect;
    EXPECT_EQ(get16(&l.ss2_resp[66]), 0) << "not a guest";
    // The client asked to sign: the accept-completed token carries the
    // server's mechListMIC over the mechanism list the client sent.
    const Bytes mic = ntlmc::mech_list_mic(l.auth.session_key, ntlmc::der(0x30, ntlmc::kNtlmOid), false);
    EXPECT_EQ(ntlmc::ss_buffer(l.ss2_resp),
              ntlmc::cat({{0xA1, 0x1B, 0x30, 0x19, 0xA0, 0x03, 0x0A, 0x01, 0x00, 0xA3, 0x12, 0x04, 0x10}, mic}));
    EXPECT_EQ(tw3_stat_get(ST_SESSIONS), sessions + 2);
    EXPECT_EQ(key_of(conn.session()->session_base_key), l.auth.session_key);
    Key16 want;
    if (k.dialect == 0x0311) {
      want = ntlmc::signing_key_311(
          l.auth.session_key,
          ntlmc::preauth_chain({&l.nego_req, &l.nego_resp, &l.ss1_req, &l.ss1_resp, &l.ss2_req}));
    } else {
      want = ntlmc::signing_key_30(l.auth.session_key);
    }
    EXPECT_EQ(key_of(conn.session()->signing_key), want) << k.dialect;
    // The client announced signing: the final response is signed with that key.
    EXPECT_TRUE(ntlmc::response_signature_ok(l.ss2_resp, 0, l.ss2_resp.size(), want, k.gmac))
        << k.dialect;
    EXPECT_EQ(get64(&l.ss2_resp[40]), l.session_id);
  }
}

TEST_F(LogonSession, BareNtlmCompletesWithAnEmptyBuffer) {
  add_alice();
  Conn conn;
  const ntlmc::Logon l = ntlmc::logon(conn, {}, ntlmc::AuthSpec{}, false);
  ASSERT_EQ(ntlmc::status_of(l.ss2_resp), 0u);
  EXPECT_EQ(get16(&l.ss2_resp[68]), 72);
  EXPECT_EQ(get16(&l.ss2_resp[70]), 0);
}

// The AUTHENTICATE answers the CHALLENGE it was given: a server name changed
// in between (options may change at any time) does not fail the logon.
TEST_F(LogonSession, ServerNameChangedBetweenTheLegs) {
  add_alice();
  Conn conn;
  const int64_t failed = tw3_stat_get(ST_LOGON_FAILED);
  const ntlmc::Logon l = ntlmc::logon(conn, {}, ntlmc::AuthSpec{}, true, [&conn] {
    ASSERT_EQ(tw3_set_option("server_name", "ELSEWHERE"), 0);
    tw3_opts_get(&conn.c.opts);
  });
  EXPECT_EQ(ntlmc::status_of(l.ss2_resp), 0u);
  EXPECT_TRUE(conn.session()->authenticated);
  EXPECT_EQ(tw3_stat_get(ST_LOGON_FAILED), failed);

  // The next logon is challenged, and checked, with the new name.
  Conn next;
  ntlmc::AuthSpec stale;  // still answers with the old name
  const ntlmc::Logon m = ntlmc::logon(next, {}, stale);
  EXPECT_EQ(ntlmc::status_of(m.ss2_resp), kInvalid);
  ntlmc::AuthSpec fresh;
  fresh.nb_domain = fresh.nb_computer = "ELSEWHERE";
  Conn third;
  EXPECT_EQ(ntlmc::status_of(ntlmc::logon(third, {}, fresh).ss2_resp), 0u);
}

struct FailCase {
  const char* why;
  const char* guest_opt;
  bool accounts;
  std::function<void(ntlmc::AuthSpec&)> tweak;
  uint16_t security_mode;
  const char* signing_opt;
  uint32_t status;  // 0: a guest session
};

TEST_F(LogonSession, AccountsGuestsAndFailures) {
  auto none = [](ntlmc::AuthSpec&) {};
  auto wrong = [](ntlmc::AuthSpec& s) { s.password = "wrong"; };
  auto anonymous = [](ntlmc::AuthSpec& s) { s.nt_raw = Bytes{}; };
  auto short_blob = [](ntlmc::AuthSpec& s) { s.nt_raw = Bytes(24, 3); };
  auto malformed = [](ntlmc::AuthSpec& s) { s.resp_type = 9; };
  const FailCase cases[] = {
      {"wrong password", "auto", true, wrong, 1, "enabled", kLogonFailure},
      {"unknown user", "auto", true, [](ntlmc::AuthSpec& s) { s.user = "mallory"; }, 1, "enabled", kLogonFailure},
      {"malformed NTLMv2 blob", "auto", true, malformed, 1, "enabled", kInvalid},
      {"no accounts, auto: wrong password is a guest", "auto", false, wrong, 1, "enabled", 0},
      {"no accounts, auto: anonymous is a guest", "auto", false, anonymous, 1, "enabled", 0},
      {"no accounts, guest refused when both sides require signing", "auto", false, wrong, 2, "required", kLogonFailure},
      {"no accounts, server requires signing, client does not", "auto", false, wrong, 1, "required", 0},
      {"anonymous with accounts", "auto", true, anonymous, 1, "enabled", kLogonFailure},
      {"short blob with accounts", "auto", true, short_blob, 1, "enabled", kLogonFailure},
      {"anonymous, guest off", "off", false, anonymous, 1, "enabled", kLogonFailure},
      {"short blob, guest off", "off", false, short_blob, 1, "enabled", kLogonFailure},
      {"anonymous, guest on with accounts", "on", true, anonymous, 1, "enabled", 0},
      {"anonymous, guest on, both require signing", "on", true, anonymous, 2, "required", kLogonFailure},
      {"right password", "auto", true, none, 1, "enabled", 0},
      {"right password, MIC good", "auto", true, [](ntlmc::AuthSpec& s) { s.mic = true; }, 1, "enabled", 0},
      {"right password, MIC damaged", "auto", true,
       [](ntlmc::AuthSpec& s) { s.mic = s.mic_corrupt = true; }, 1, "enabled", kLogonFailure},
      {"unknown user, guest on: a guest", "on", true,
       [](ntlmc::AuthSpec& s) { s.user = "guest"; s.password = ""; }, 1, "enabled", 0},
      {"wrong password, guest on", "on", true, wrong, 1, "enabled", kLogonFailure},
  };
  for (const auto& c : cases) {
    tw3_config_reset_for_tests();
    ASSERT_EQ(tw3_set_option("clock", std::to_string(kClock).c_str()), 0);
    ASSERT_EQ(tw3_set_option("guest", c.guest_opt), 0);
    ASSERT_EQ(tw3_set_option("signing", c.signing_opt), 0);
    if (c.accounts) add_alice();
    Conn conn;
    ntlmc::Negotiate n;
    n.security_mode = c.security_mode;
    ntlmc::AuthSpec s;
    c.tweak(s);
    const int64_t failed = tw3_stat_get(ST_LOGON_FAILED);
    const int64_t guests = tw3_stat_get(ST_GUEST_SESSIONS);
    const ntlmc::Logon l = ntlmc::logon(conn, n, s);
    EXPECT_EQ(ntlmc::status_of(l.ss2_resp), c.status) << c.why;
    if (c.status != 0) {
      // A refused logon carries the standard 9-byte error body.
      EXPECT_EQ(l.ss2_resp.size(), 73u) << c.why;
      EXPECT_EQ(Bytes(l.ss2_resp.begin() + 64, l.ss2_resp.end()),
                Bytes({9, 0, 0, 0, 0, 0, 0, 0, 0}))
          << c.why;
      EXPECT_EQ(tw3_stat_get(ST_LOGON_FAILED), failed + 1) << c.why;
      EXPECT_EQ(tw3_session_live(&conn.c, l.session_id), nullptr) << c.why;
      continue;
    }
    const tw3_session* made = tw3_session_live(&conn.c, l.session_id);
    ASSERT_NE(made, nullptr) << c.why;
    const bool guest = made->guest != 0;
    EXPECT_EQ(get16(&l.ss2_resp[66]), guest ? 1 : 0) << c.why;
    EXPECT_EQ(tw3_stat_get(ST_GUEST_SESSIONS), guests + (guest ? 1 : 0)) << c.why;
    // No key of a guest's can sign a mechListMIC.
    if (guest) {
      EXPECT_EQ(ntlmc::ss_buffer(l.ss2_resp), kDone) << c.why;
    }
    // A guest logon's final response carries no signature.
    EXPECT_EQ((ntlmc::flags_of(l.ss2_resp) & SMB2_FLAGS_SIGNED) != 0, !guest) << c.why;
  }
}

TEST_F(LogonSession, RequestChecksDoNotCountAsLogonFailures) {
  add_alice();
  Conn conn;
  conn.send(ntlmc::negotiate_request({}));
  const Bytes tok = ntlmc::spnego_init(ntlmc::kNtlmOid, ntlmc::negotiate());
  const int64_t failed = tw3_stat_get(ST_LOGON_FAILED);
  for (uint16_t ssz : {24, 27}) {
    const Bytes r = conn.send(ntlmc::session_setup_request(tok, 1, 0, 1, ssz));
    EXPECT_EQ(ntlmc::status_of(r), kInvalid) << ssz;
    EXPECT_EQ(r.size(), 73u) << ssz;
  }
  Bytes past_end = ntlmc::session_setup_request(tok, 1, 0);
  ntlmc::set16(past_end, 64 + 14, static_cast<uint32_t>(tok.size() + 1));
  EXPECT_EQ(ntlmc::status_of(conn.send(past_end)), kInvalid);
  Bytes low_offset = ntlmc::session_setup_request(tok, 1, 0);
  ntlmc::set16(low_offset, 64 + 12, 63);
  EXPECT_EQ(ntlmc::status_of(conn.send(low_offset)), kInvalid);
  Bytes truncated = ntlmc::session_setup_request({}, 1, 0);
  truncated.resize(64 + 20);
  EXPECT_EQ(ntlmc::status_of(conn.send(truncated)), kInvalid);
  EXPECT_EQ(tw3_stat_get(ST_LOGON_FAILED), failed);
  const Bytes ok = conn.send(ntlmc::session_setup_request(tok, 1, 0, 1, 26));
  EXPECT_EQ(ntlmc::status_of(ok), 0xC0000016u);
}

// A failed logon ends its session (a retry under its id finds none), and
// enough of them end the connection.
TEST_F(LogonSession, FailuresEndTheirSessionAndThenTheConnection) {
  add_alice();
  ASSERT_EQ(tw3_set_option("max_login_failures", "3"), 0);
  Conn conn;
  ntlmc::AuthSpec wrong;
  wrong.password = "nope";
  const ntlmc::Logon first = ntlmc::logon(conn, {}, wrong);
  ASSERT_EQ(ntlmc::status_of(first.ss2_resp), kLogonFailure);
  const Bytes retry = conn.send(ntlmc::session_setup_request(
      ntlmc::spnego_resp(ntlmc::authenticate(wrong).msg), 10, first.session_id));
  EXPECT_EQ(ntlmc::status_of(retry), 0xC0000203u) << "the failed session is gone";
  for (int attempt = 2; attempt <= 3; attempt++) {
    EXPECT_FALSE(conn.c.closing) << attempt;
    const Bytes r = conn.send(ntlmc::session_setup_request(
        ntlmc::spnego_resp(ntlmc::authenticate(wrong).msg), 10 + attempt, 0));
    EXPECT_EQ(ntlmc::status_of(r), kLogonFailure) << attempt;  // still answered
  }
  EXPECT_TRUE(conn.c.closing);
  EXPECT_EQ(conn.c.logon_failures, 3);
  EXPECT_EQ(conn.c.cl->session_count, 0) << "no record of a failed logon is kept";
}

// The two legs of a logon on a negotiated connection, under SessionId 0 and
// then the id the first leg gave; mids from `mid`.
struct Legs {
  Bytes ss1_req, ss1_resp, ss2_req, ss2_resp;
  uint64_t session_id = 0;
  ntlmc::Auth auth;
};
Legs two_legs(Conn& conn, uint64_t mid, ntlmc::AuthSpec spec = {}, uint64_t session_id = 0) {
  Legs l;
  l.ss1_req =
      ntlmc::session_setup_request(ntlmc::spnego_init(ntlmc::kNtlmOid, ntlmc::negotiate()), mid, session_id);
  l.ss1_resp = conn.send(l.ss1_req);
  l.session_id = get64(&l.ss1_resp[40]);
  const Bytes buf = ntlmc::ss_buffer(l.ss1_resp);
  size_t tlen = 0;
  const uint8_t* t = ntlmc::find_ntlmssp(buf.data(), buf.size(), &tlen);
  if (t == nullptr || !ntlmc::parse_challenge(t, tlen, &spec.server_challenge)) {
    ADD_FAILURE() << "no CHALLENGE";
    return l;
  }
  spec.timestamp_ft = ntlmc::filetime(kClock);
  l.auth = ntlmc::authenticate(spec);
  l.ss2_req = ntlmc::session_setup_request(ntlmc::spnego_resp(l.auth.msg), mid + 1, l.session_id);
  l.ss2_resp = conn.send(l.ss2_req);
  return l;
}

// A client that abandons a logon after its first leg and starts again with
// SessionId 0 (libsmbclient's anonymous retry) begins a new session: a new
// id in every answer, keys from the new exchange alone, the old id gone.
TEST_F(LogonSession, ASecondLogonWithSessionIdZeroBeginsANewSession) {
  add_alice();
  Conn conn;
  ntlmc::Negotiate n;
  n.dialects = {0x0311};
  const Bytes nego_req = ntlmc::negotiate_request(n, 0);
  const Bytes nego_resp = conn.send(nego_req);
  const Bytes abandoned = conn.send(
      ntlmc::session_setup_request(ntlmc::spnego_init(ntlmc::kNtlmOid, ntlmc::negotiate()), 1, 0));
  ASSERT_EQ(ntlmc::status_of(abandoned), 0xC0000016u);
  const uint64_t first_id = get64(&abandoned[40]);
  const Legs l = two_legs(conn, 2);
  EXPECT_EQ(ntlmc::status_of(l.ss1_resp), 0xC0000016u);
  EXPECT_NE(l.session_id, 0u);
  EXPECT_NE(l.session_id, first_id);
  ASSERT_EQ(ntlmc::status_of(l.ss2_resp), 0u);
  EXPECT_EQ(get64(&l.ss2_resp[40]), l.session_id);
  const Key16 want = ntlmc::signing_key_311(
      l.auth.session_key, ntlmc::preauth_chain({&nego_req, &nego_resp, &l.ss1_req, &l.ss1_resp, &l.ss2_req}));
  EXPECT_EQ(key_of(conn.session()->signing_key), want);
  EXPECT_EQ(ntlmc::status_of(conn.send(ntlmc::tree_connect(4, first_id))), 0xC0000203u);
  EXPECT_EQ(ntlmc::status_of(conn.send(ntlmc::tree_connect(5, l.session_id))), 0u);
}

// After LOGOFF the next logon gets an id of its own, and nothing of the
// first session (its tree) answers under it.
TEST_F(LogonSession, ALogonAfterLogoffGetsANewIdAndNoneOfTheOldTrees) {
  add_alice();
  Conn conn;
  const ntlmc::Logon first = ntlmc::logon(conn, {}, ntlmc::AuthSpec{});
  ASSERT_EQ(ntlmc::status_of(first.ss2_resp), 0u);
  const Bytes tcon = conn.send(ntlmc::tree_connect(3, first.session_id));
  ASSERT_EQ(ntlmc::status_of(tcon), 0u);
  const uint32_t tree = get32(&tcon[36]);
  const Bytes logoff = conn.send(tw3test::smb2_request(
      {.command = SMB2_LOGOFF, .body = {4, 0, 0, 0}, .message_id = 4, .session_id = first.session_id}));
  ASSERT_EQ(ntlmc::status_of(logoff), 0u);
  const Legs second = two_legs(conn, 5);
  ASSERT_EQ(ntlmc::status_of(second.ss2_resp), 0u);
  EXPECT_NE(second.session_id, first.session_id);
  Bytes tdis = tw3test::smb2_request({.command = SMB2_TREE_DISCONNECT, .body = {4, 0, 0, 0},
                                      .message_id = 7, .session_id = second.session_id});
  ntlmc::set32(tdis, 36, tree);
  EXPECT_EQ(ntlmc::status_of(conn.send(tdis)), 0xC00000C9u);  // NETWORK_NAME_DELETED
  EXPECT_EQ(ntlmc::status_of(conn.send(ntlmc::tree_connect(8, first.session_id))), 0xC0000203u);
}

// Truncated and corrupted logon messages are answered or refused, never
// read past (the sanitizer build turns an over-read into a failure).
TEST_F(LogonSession, DamagedLogonMessagesStayInBounds) {
  add_alice();
  Conn ref;
  const ntlmc::Logon l = ntlmc::logon(ref, {}, ntlmc::AuthSpec{});
  ASSERT_EQ(ntlmc::status_of(l.ss2_resp), 0u);
  uint32_t seed = 12345;
  auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
  for (const Bytes* m : {&l.nego_req, &l.ss1_req, &l.ss2_req}) {
    for (size_t n = 64; n <= m->size(); n += 3) {
      Conn conn;
      if (m != &l.nego_req) conn.send(l.nego_req);
      conn.send(Bytes(m->begin(), m->begin() + static_cast<long>(n)));
    }
    for (int round = 0; round < 300; round++) {
      Bytes bad = *m;
      for (int k = 0; k < 4; k++) bad[64 + next() % (bad.size() - 64)] = static_cast<uint8_t>(next() >> 8);
      Conn conn;
      if (m != &l.nego_req) conn.send(l.nego_req);
      if (m == &l.ss2_req) conn.send(l.ss1_req);
      const Bytes r = conn.send(bad);
      EXPECT_GE(r.size(), 64u);
    }
  }
}

// Sessions on one connection: each user's with its own id and keys, each
// request under the session it names, a LOGOFF or a failed
// re-authentication ending only its own, and a re-authentication keeping
// the session's trees and keys.
TEST_F(LogonSession, SessionsOfTwoUsersShareAConnection) {
  add_alice();
  ASSERT_EQ(tw3_add_user("bob", "hunter2"), 0);
  Conn conn;
  ntlmc::Negotiate n;
  n.dialects = {0x0311};
  n.signing = {1};  // AES-CMAC
  conn.send(ntlmc::negotiate_request(n, 0));
  ntlmc::AuthSpec bob;
  bob.user = "bob";
  bob.password = "hunter2";
  const Legs a = two_legs(conn, 1);
  const Legs b = two_legs(conn, 3, bob);
  ASSERT_EQ(ntlmc::status_of(a.ss2_resp), 0u);
  ASSERT_EQ(ntlmc::status_of(b.ss2_resp), 0u);
  ASSERT_NE(a.session_id, b.session_id);
  EXPECT_EQ(conn.c.cl->session_count, 2);
  const Key16 ka = key_of(tw3_session_live(&conn.c, a.session_id)->signing_key);
  const Key16 kb = key_of(tw3_session_live(&conn.c, b.session_id)->signing_key);
  EXPECT_NE(ka, kb);
  // Each answers under its own key; a signature with the other's is refused.
  const struct {
    uint64_t sid;
    Key16 key;
    uint32_t status;
  } signed_echoes[] = {{a.session_id, ka, 0}, {b.session_id, kb, 0}, {b.session_id, ka, 0xC0000022u}};
  uint64_t mid = 10;
  for (const auto& k : signed_echoes) {
    Bytes e = ntlmc::echo(mid++, k.sid);
    ntlmc::sign_request(e, 0, e.size(), k.key, false);
    const Bytes r = conn.send(e);
    EXPECT_EQ(ntlmc::status_of(r), k.status);
    if (k.status == 0) {
      EXPECT_TRUE(ntlmc::response_signature_ok(r, 0, r.size(), k.key, false));
    }
  }
  const Bytes tree_a = conn.send(ntlmc::tree_connect(mid++, a.session_id));
  const Bytes tree_b = conn.send(ntlmc::tree_connect(mid++, b.session_id));
  ASSERT_EQ(ntlmc::status_of(tree_b), 0u);

  // Bob re-authenticates: same session, same keys, his tree still there.
  const Legs again = two_legs(conn, mid, bob, b.session_id);
  mid += 2;
  EXPECT_EQ(ntlmc::status_of(again.ss1_resp), 0xC0000016u);
  ASSERT_EQ(ntlmc::status_of(again.ss2_resp), 0u);
  EXPECT_EQ(get64(&again.ss2_resp[40]), b.session_id);
  EXPECT_EQ(key_of(tw3_session_live(&conn.c, b.session_id)->signing_key), kb);
  EXPECT_TRUE(ntlmc::response_signature_ok(again.ss2_resp, 0, again.ss2_resp.size(), kb, false));
  const auto disconnect = [&](uint64_t sid, const Bytes& tcon) {
    return ntlmc::status_of(conn.send(tw3test::smb2_request({.command = SMB2_TREE_DISCONNECT,
                                                             .body = {4, 0, 0, 0},
                                                             .message_id = mid++,
                                                             .tree_id = get32(&tcon[36]),
                                                             .session_id = sid})));
  };
  EXPECT_EQ(disconnect(b.session_id, tree_b), 0u) << "the tree outlived the re-authentication";

  // Alice logs off: Bob goes on.
  const Bytes off = conn.send(tw3test::smb2_request(
      {.command = SMB2_LOGOFF, .body = {4, 0, 0, 0}, .message_id = mid++, .session_id = a.session_id}));
  EXPECT_EQ(ntlmc::status_of(off), 0u);
  EXPECT_EQ(disconnect(a.session_id, tree_a), 0xC0000203u);
  EXPECT_EQ(ntlmc::status_of(conn.send(ntlmc::echo(mid++, b.session_id))), 0u);
  EXPECT_NE(tw3_session_live(&conn.c, b.session_id), nullptr);

  // A failed re-authentication ends Bob's session, and only it.
  const Legs c2 = two_legs(conn, 40);
  ASSERT_EQ(ntlmc::status_of(c2.ss2_resp), 0u);
  ntlmc::AuthSpec wrong = bob;
  wrong.password = "nope";
  const Legs failed = two_legs(conn, 42, wrong, b.session_id);
  EXPECT_EQ(ntlmc::status_of(failed.ss2_resp), kLogonFailure);
  EXPECT_EQ(tw3_session_live(&conn.c, b.session_id), nullptr);
  EXPECT_NE(tw3_session_live(&conn.c, c2.session_id), nullptr);
  EXPECT_EQ(tw3_stat_get(ST_SESSIONS_OPEN), 1) << "alice's second session only";
}

// A connection holds a bounded number of sessions; logons in progress count.
TEST_F(LogonSession, SessionsPerConnectionAreBounded) {
  Conn conn;
  conn.send(ntlmc::negotiate_request({}, 0));
  const auto begin = [&](uint64_t mid) {
    return conn.send(
        ntlmc::session_setup_request(ntlmc::spnego_init(ntlmc::kNtlmOid, ntlmc::negotiate()), mid, 0));
  };
  for (int i = 0; i < TW3_SESSIONS_PER_CONN; ++i) {
    ASSERT_EQ(ntlmc::status_of(begin(uint64_t(1 + i))), 0xC0000016u) << i;
  }
  EXPECT_EQ(ntlmc::status_of(begin(100)), 0xC000009Au) << "INSUFFICIENT_RESOURCES";
  EXPECT_EQ(conn.c.cl->session_count, TW3_SESSIONS_PER_CONN);
}

}  // namespace

