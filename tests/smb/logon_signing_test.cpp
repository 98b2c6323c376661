// Message signing after logon: signed compounds, bad signatures, unsigned
// requests where signing is required, and unsigned guest sessions.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "common/ntlm_client_conn.h"
#include "common/test_env.h"

namespace {

using ntlmc::Bytes;
using ntlmc::Conn;
using ntlmc::get16;
using ntlmc::get32;
using ntlmc::Key16;
using ntlmc::echo;
using ntlmc::tree_connect;

constexpr int64_t kClock = 1700000000;
constexpr uint32_t kDenied = 0xC0000022;

class LogonSigning : public ::testing::Test {
 protected:
  void SetUp() override {
    tw3_config_reset_for_tests();
    ASSERT_EQ(tw3_set_option("clock", std::to_string(kClock).c_str()), 0);
  }
  void TearDown() override { tw3_config_reset_for_tests(); }

  // A named-user logon on 3.1.1 with the given signing algorithm.
  ntlmc::Logon named(Conn& conn, bool gmac) {
    EXPECT_EQ(tw3_add_user("alice", "secret"), 0);
    ntlmc::Negotiate n;
    n.dialects = {0x0311};
    n.signing = {static_cast<uint16_t>(gmac ? 2 : 1)};
    ntlmc::Logon l = ntlmc::logon(conn, n, ntlmc::AuthSpec{});
    EXPECT_EQ(ntlmc::status_of(l.ss2_resp), 0u);
    std::memcpy(key_.data(), conn.session()->signing_key, 16);
    return l;
  }
  Key16 key_{};
};

using ntlmc::echo;
using ntlmc::tree_connect;

// Three signed requests in one message, ECHOs around `middle`; the offsets of
// each request.
Bytes signed_compound(uint64_t sid, const Key16& key, bool gmac, std::vector<size_t>* offs,
                      int corrupt_index = -1, uint16_t middle = SMB2_ECHO) {
  std::vector<tw3test::req> reqs;
  for (uint64_t mid = 5; mid < 8; mid++)
    reqs.push_back({.command = mid == 6 ? middle : static_cast<uint16_t>(SMB2_ECHO),
                    .body = {4, 0, 0, 0}, .message_id = mid, .session_id = sid});
  Bytes msg = tw3test::compound(reqs);
  size_t off = 0;
  for (int i = 0; i < 3; i++) {
    offs->push_back(off);
    const uint32_t next = get32(&msg[off + 20]);
    const size_t len = next ? next : msg.size() - off;
    ntlmc::sign_request(msg, off, len, key, gmac);
    if (i == corrupt_index) msg[off + 63] ^= 1;  // last byte of the signature
    off += next;
  }
  return msg;
}

// A SET_INFO in the middle is refused by the write gate, and that refusal is
// signed too: the Linux client sends touch and rename as such compounds.
TEST_F(LogonSigning, SignedCompoundResponsesVerifyOverTheSentBytes) {
  for (const auto& [gmac, middle] : {std::pair{false, SMB2_ECHO}, std::pair{true, SMB2_ECHO},
                                     std::pair{false, SMB2_SET_INFO}}) {
    Conn conn;
    const ntlmc::Logon l = named(conn, gmac);
    std::vector<size_t> offs;
    const Bytes reply = conn.send(signed_compound(l.session_id, key_, gmac, &offs, -1, middle));
    const auto rs = tw3test::split_responses(reply);
    ASSERT_EQ(rs.size(), 3u);
    for (size_t i = 0; i < rs.size(); i++) {
      EXPECT_EQ(rs[i].status, i == 1 && middle == SMB2_SET_INFO ? kDenied : 0u);
      // Each signature covers the response's final bytes: its NextCommand
      // and the padding up to the next header.
      const size_t len = rs[i].next ? rs[i].next : reply.size() - rs[i].off;
      EXPECT_TRUE(ntlmc::response_signature_ok(reply, rs[i].off, len, key_, gmac))
          << "gmac=" << gmac << " response " << i;
    }
    tw3_config_reset_for_tests();
    ASSERT_EQ(tw3_set_option("clock", std::to_string(kClock).c_str()), 0);
  }
}

TEST_F(LogonSigning, BadSignatureInTheSecondRequestStopsTheMessage) {
  Conn conn;
  const ntlmc::Logon l = named(conn, false);
  std::vector<size_t> offs;
  const int64_t bad = tw3_stat_get(ST_BAD_SIGNATURE);
  const Bytes reply = conn.send(signed_compound(l.session_id, key_, false, &offs, 1));
  const auto rs = tw3test::split_responses(reply);
  ASSERT_EQ(rs.size(), 2u);
  EXPECT_EQ(rs[0].status, 0u);
  EXPECT_EQ(rs[0].message_id, 5u);
  EXPECT_EQ(rs[1].status, kDenied);
  EXPECT_EQ(rs[1].message_id, 6u);
  EXPECT_EQ(rs[1].credits, 1);
  EXPECT_TRUE(ntlmc::response_signature_ok(reply, rs[0].off, rs[0].next, key_, false));
  EXPECT_EQ(tw3_stat_get(ST_BAD_SIGNATURE), bad + 1);
  EXPECT_FALSE(conn.c.closing);
}

TEST_F(LogonSigning, RequiredSigningRefusesUnsignedRequestsOfNamedUsers) {
  ASSERT_EQ(tw3_set_option("signing", "required"), 0);
  Conn conn;
  const ntlmc::Logon l = named(conn, false);
  const int64_t bad = tw3_stat_get(ST_BAD_SIGNATURE);
  const Bytes refused = conn.send(tree_connect(3, l.session_id));
  EXPECT_EQ(ntlmc::status_of(refused), kDenied);
  EXPECT_EQ(refused.size(), 73u);
  EXPECT_EQ(tw3_stat_get(ST_BAD_SIGNATURE), bad + 1);
  // Commands without session data pass unsigned.
  EXPECT_EQ(ntlmc::status_of(conn.send(echo(4, l.session_id))), 0u);
  // The same request signed is served, and its response signed.
  Bytes req = tree_connect(5, l.session_id);
  ntlmc::sign_request(req, 0, req.size(), key_, false);
  const Bytes served = conn.send(req);
  EXPECT_EQ(ntlmc::status_of(served), 0u);
  EXPECT_TRUE(ntlmc::response_signature_ok(served, 0, served.size(), key_, false));
  EXPECT_EQ(tw3_stat_get(ST_BAD_SIGNATURE), bad + 1);
}

TEST_F(LogonSigning, WithSigningEnabledUnsignedRequestsAreServed) {
  Conn conn;
  const ntlmc::Logon l = named(conn, false);
  const Bytes r = conn.send(tree_connect(3, l.session_id));
  EXPECT_EQ(ntlmc::status_of(r), 0u);
  // The client announced signing: the response is signed all the same.
  EXPECT_TRUE(ntlmc::response_signature_ok(r, 0, r.size(), key_, false));
}

// Which answers are signed: a signed request's, any in a session that
// requires signing, TREE_CONNECT on 3.1.1; never one to a request that
// names no session. After LOGOFF no key is left to sign with.
TEST_F(LogonSigning, TheSigningDecision) {
  const struct {
    const char* why;
    bool client_requires;
    bool request_signed;
    bool no_session;
    bool signed_answer;
    uint32_t status = 0;
  } cases[] = {
      {"unsigned, signing enabled", false, false, false, false},
      {"unsigned, client requires signing", true, false, false, true},
      {"signed request", false, true, false, true},
      {"unsigned, SessionId 0", true, false, true, false},
      {"signed, SessionId 0: no key to check it with", false, true, true, false, STATUS_USER_SESSION_DELETED},
  };
  for (const auto& k : cases) {
    Conn conn;
    EXPECT_EQ(tw3_add_user("alice", "secret"), 0);
    ntlmc::Negotiate n;
    n.dialects = {0x0311};
    n.signing = {1};  // AES-CMAC
    n.security_mode = k.client_requires ? 2 : 1;
    const ntlmc::Logon l = ntlmc::logon(conn, n, ntlmc::AuthSpec{});
    ASSERT_EQ(ntlmc::status_of(l.ss2_resp), 0u) << k.why;
    std::memcpy(key_.data(), conn.session()->signing_key, 16);
    EXPECT_TRUE(ntlmc::response_signature_ok(l.ss2_resp, 0, l.ss2_resp.size(), key_, false)) << k.why;
    Bytes e = echo(3, k.no_session ? 0 : l.session_id);
    if (k.request_signed) ntlmc::sign_request(e, 0, e.size(), key_, false);
    const Bytes r = conn.send(e);
    ASSERT_EQ(ntlmc::status_of(r), k.status) << k.why;
    EXPECT_EQ((ntlmc::flags_of(r) & SMB2_FLAGS_SIGNED) != 0, k.signed_answer) << k.why;
    if (k.signed_answer) {
      EXPECT_TRUE(ntlmc::response_signature_ok(r, 0, r.size(), key_, false)) << k.why;
    }
    tw3_config_reset_for_tests();
    ASSERT_EQ(tw3_set_option("clock", std::to_string(kClock).c_str()), 0);
  }
  // LOGOFF: its answer is signed, nothing after it can be.
  Conn conn;
  const ntlmc::Logon l = named(conn, false);
  Bytes off = tw3test::smb2_request(
      {.command = SMB2_LOGOFF, .body = {4, 0, 0, 0}, .message_id = 3, .session_id = l.session_id});
  ntlmc::sign_request(off, 0, off.size(), key_, false);
  const Bytes r = conn.send(off);
  EXPECT_TRUE(ntlmc::response_signature_ok(r, 0, r.size(), key_, false));
  EXPECT_EQ(conn.session(), nullptr) << "the session and its keys are gone";
  const Bytes after = conn.send(echo(4, l.session_id));
  EXPECT_EQ(ntlmc::flags_of(after) & SMB2_FLAGS_SIGNED, 0u);
}

TEST_F(LogonSigning, GuestSessionsAreNotSigned) {
  ASSERT_EQ(tw3_set_option("signing", "required"), 0);
  Conn conn;
  ntlmc::AuthSpec s;
  s.password = "anything";
  const ntlmc::Logon l = ntlmc::logon(conn, {}, s);
  ASSERT_EQ(ntlmc::status_of(l.ss2_resp), 0u);
  EXPECT_EQ(get16(&l.ss2_resp[66]), 1);
  EXPECT_EQ(ntlmc::flags_of(l.ss2_resp) & SMB2_FLAGS_SIGNED, 0u);
  const Bytes r = conn.send(tree_connect(3, l.session_id));
  EXPECT_EQ(ntlmc::status_of(r), 0u);
  EXPECT_EQ(ntlmc::flags_of(r) & SMB2_FLAGS_SIGNED, 0u);
  // A request signed with the guest keys is verified and answered signed.
  Key16 k;
  std::memcpy(k.data(), conn.session()->signing_key, 16);
  const bool gmac = conn.c.signing_algorithm == 2;
  Bytes e = echo(4, l.session_id);
  ntlmc::sign_request(e, 0, e.size(), k, gmac);
  const Bytes er = conn.send(e);
  EXPECT_EQ(ntlmc::status_of(er), 0u);
  EXPECT_TRUE(ntlmc::response_signature_ok(er, 0, er.size(), k, gmac));
  // One signed with keys of the client's own making (impacket's guest, from
  // its password) proves nothing either way: refused where signing is
  // required, served unsigned where neither side requires it.
  Key16 own;
  own.fill(0x42);
  Bytes t = tree_connect(5, l.session_id);
  ntlmc::sign_request(t, 0, t.size(), own, gmac);
  EXPECT_EQ(ntlmc::status_of(conn.send(t)), 0xC0000022u);
  ASSERT_EQ(tw3_set_option("signing", "enabled"), 0);
  Conn relaxed;
  const ntlmc::Logon g = ntlmc::logon(relaxed, {}, s);
  ASSERT_EQ(get16(&g.ss2_resp[66]), 1);
  Bytes t2 = tree_connect(3, g.session_id);
  ntlmc::sign_request(t2, 0, t2.size(), own, relaxed.c.signing_algorithm == 2);
  const Bytes tr = relaxed.send(t2);
  EXPECT_EQ(ntlmc::status_of(tr), 0u);
  EXPECT_EQ(ntlmc::flags_of(tr) & SMB2_FLAGS_SIGNED, 0u);
}

// The trace keeps every line, but keys appear in it only when asked for with
// TWSMB3S_TRACE_SECRETS=1; otherwise the word "hidden" stands in their place.
std::string hex(const uint8_t* p, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) s += {digits[p[i] >> 4], digits[p[i] & 15]};
  return s;
}

struct TraceRun {
  std::string text;
  std::string keys[4];  // session, signing, cipher and the anonymous session key, as hex
};

// A named logon with a signed ECHO after it, then an anonymous one, traced.
TraceRun traced_logons(const char* secrets) {
  tw3_test_setenv("TWSMB3S_TRACE", "1");
  if (secrets != nullptr) tw3_test_setenv("TWSMB3S_TRACE_SECRETS", secrets);
  TraceRun run;
  ::testing::internal::CaptureStderr();
  {
    EXPECT_EQ(tw3_add_user("alice", "secret"), 0);
    Conn conn;
    conn.c.trace_hex = 1;  // the per-frame signing line
    ntlmc::Negotiate n;
    n.dialects = {0x0311};
    n.signing = {1};  // AES-CMAC
    const ntlmc::Logon l = ntlmc::logon(conn, n, ntlmc::AuthSpec{});
    EXPECT_EQ(ntlmc::status_of(l.ss2_resp), 0u);
    Key16 k;
    std::memcpy(k.data(), conn.session()->signing_key, 16);
    Bytes e = echo(4, l.session_id);
    ntlmc::sign_request(e, 0, e.size(), k, false);
    EXPECT_EQ(ntlmc::status_of(conn.send(e)), 0u);
    run.keys[0] = hex(l.auth.session_key.data(), 16);
    run.keys[1] = hex(conn.session()->signing_key, 16);
    run.keys[2] = hex(conn.session()->encryption_key, 16);
  }
  {
    EXPECT_EQ(tw3_remove_user("alice"), 0);
    EXPECT_EQ(tw3_set_option("guest", "on"), 0);
    Conn conn;
    ntlmc::AuthSpec anon;
    anon.nt_raw = Bytes{};
    const ntlmc::Logon l = ntlmc::logon(conn, {}, anon);
    EXPECT_EQ(ntlmc::status_of(l.ss2_resp), 0u);
    run.keys[3] = hex(l.auth.session_key.data(), 16);
  }
  run.text = ::testing::internal::GetCapturedStderr();
  tw3_test_unsetenv("TWSMB3S_TRACE");
  tw3_test_unsetenv("TWSMB3S_TRACE_SECRETS");
  return run;
}

TEST_F(LogonSigning, TraceShowsKeysOnlyWhenAskedTo) {
  const char* const fields[] = {"[sess] key=", "[sess] sign_key=", " cipher_key=",
                                "keyexch=1 sklen=16 session_key=", "[sig] key=",
                                "[t3] anonymous ERsk -> session_key="};
  const struct {
    const char* value;  // of TWSMB3S_TRACE_SECRETS; null: unset
    bool shown;
  } cases[] = {{nullptr, false}, {"0", false}, {"yes", false}, {"1", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value ? c.value : "(unset)");
    const TraceRun run = traced_logons(c.value);
    for (const char* f : fields) {
      SCOPED_TRACE(f);
      const size_t at = run.text.find(f);
      ASSERT_NE(at, std::string::npos);
      const std::string value = run.text.substr(at + std::strlen(f), 32);
      if (c.shown) {
        EXPECT_NE(value.find_first_not_of("0123456789abcdef"), 0u);
      } else {
        EXPECT_EQ(value.substr(0, 6), "hidden");
      }
    }
    for (const std::string& k : run.keys) {
      EXPECT_EQ(run.text.find(k) != std::string::npos, c.shown) << k;
    }
  }
}

}  // namespace
