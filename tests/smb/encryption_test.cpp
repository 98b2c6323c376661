// Encryption: cipher selection in NEGOTIATE, transform messages in and out
// with keys derived here independently, the refusal of every tampered or
// replayed transform, nonce uniqueness, reproducible ciphertext under a
// fixed clock, and the `encrypt` option.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "api/api.h"
#include "common/ntlm_client_conn.h"

namespace {

using ntlmc::Bytes;
using ntlmc::Conn;
using ntlmc::get16;
using ntlmc::get32;
using ntlmc::get64;
using ntlmc::Key16;
using ntlmc::echo;
using ntlmc::tree_connect;

constexpr int64_t kClock = 1700000000;
constexpr uint32_t kDenied = 0xC0000022;
constexpr uint32_t kLogonFailure = 0xC000006D;
constexpr uint16_t kCcm = 1, kGcm = 2, kCcm256 = 3, kGcm256 = 4;
constexpr size_t kTf = 52;

// The cipher a NEGOTIATE response names in its encryption context, or -1.
int negotiated_cipher(const Bytes& resp) {
  if (resp.size() < 128) return -1;
  size_t off = get32(&resp[64 + 60]);
  const uint16_t count = get16(&resp[64 + 6]);
  for (uint16_t i = 0; i < count && off + 8 <= resp.size(); i++) {
    const uint16_t type = get16(&resp[off]), len = get16(&resp[off + 2]);
    if (type == 2 && len >= 4 && off + 12 <= resp.size()) return get16(&resp[off + 10]);
    off = (off + 8 + len + 7) / 8 * 8;
  }
  return -1;
}

uint32_t negotiated_caps(const Bytes& resp) { return resp.size() >= 92 ? get32(&resp[88]) : 0; }

using Key32 = std::array<uint8_t, 32>;

struct Client {
  uint16_t cipher = 0;
  uint64_t sid = 0;
  Key32 c2s{}, s2c{};  // 16 bytes used by the AES-128 ciphers
  uint64_t nonce = 1;

  bool ccm() const { return cipher == kCcm || cipher == kCcm256; }
  void key(tw3_gcm_ctx* g, const Key32& k) const {
    if (cipher == kCcm256 || cipher == kGcm256)
      k_gcm_init256(g, k.data());
    else
      k_gcm_init(g, k.data());
  }

  // One transform around msg, encrypted with the client-to-server key.
  Bytes wrap(const Bytes& msg, uint64_t nonce_value) const {
    Bytes tf(kTf, 0);
    ntlmc::set32(tf, 0, 0x424D53FD);
    for (int i = 0; i < 8; i++) tf[20 + i] = static_cast<uint8_t>(nonce_value >> (8 * i));
    ntlmc::set32(tf, 36, static_cast<uint32_t>(msg.size()));
    ntlmc::set16(tf, 42, 1);
    for (int i = 0; i < 8; i++) tf[44 + i] = static_cast<uint8_t>(sid >> (8 * i));
    Bytes body = msg;
    tw3_gcm_ctx g;
    key(&g, c2s);
    if (ccm())
      k_ccm_aead_seal(&g.ks, &tf[20], 11, &tf[20], 32, body.data(), body.size(), &tf[4], 16);
    else
      k_gcm_seal(&g, &tf[20], &tf[20], 32, body.data(), body.size(), &tf[4]);
    tf.insert(tf.end(), body.begin(), body.end());
    return tf;
  }
  Bytes wrap(const Bytes& msg) { return wrap(msg, nonce++); }

  // The message inside a response transform, or empty when it does not open.
  Bytes unwrap(const Bytes& tf) const {
    if (tf.size() < kTf || get32(&tf[0]) != 0x424D53FD || get16(&tf[42]) != 1 ||
        get64(&tf[44]) != sid || get32(&tf[36]) != tf.size() - kTf)
      return {};
    Bytes body(tf.begin() + kTf, tf.end());
    tw3_gcm_ctx g;
    key(&g, s2c);
    const int rc = ccm()
        ? k_ccm_aead_open(&g.ks, &tf[20], 11, &tf[20], 32, body.data(), body.size(), &tf[4], 16)
        : k_gcm_open(&g, &tf[20], &tf[20], 32, body.data(), body.size(), &tf[4]);
    return rc == 0 ? body : Bytes{};
  }
};

void set16(Key32& dst, const Key16& k) { std::memcpy(dst.data(), k.data(), k.size()); }

class Encryption : public ::testing::Test {
 protected:
  void SetUp() override {
    tw3_config_reset_for_tests();
    ASSERT_EQ(tw3_set_option("clock", std::to_string(kClock).c_str()), 0);
    ASSERT_EQ(tw3_add_user("alice", "secret"), 0);
  }
  void TearDown() override { tw3_config_reset_for_tests(); }

  // A named-user logon: 3.1.1 offering `ciphers`, or 3.0 announcing
  // encryption. The client's keys come from the logon here, not the server.
  Client logon(Conn& conn, bool v311, std::vector<uint16_t> ciphers = {kGcm, kCcm}) {
    ntlmc::Negotiate n;
    n.dialects = {static_cast<uint16_t>(v311 ? 0x0311 : 0x0300)};
    n.ciphers = ciphers;
    n.capabilities = v311 ? 0 : SMB2_GLOBAL_CAP_ENCRYPTION;
    ntlmc::Logon l = ntlmc::logon(conn, n, ntlmc::AuthSpec{});
    last_ = l;
    Client cl;
    cl.sid = l.session_id;
    if (v311) {
      const auto pre =
          ntlmc::preauth_chain({&l.nego_req, &l.nego_resp, &l.ss1_req, &l.ss1_resp, &l.ss2_req});
      const Bytes ctx(pre.begin(), pre.end());
      cl.cipher = static_cast<uint16_t>(negotiated_cipher(l.nego_resp));
      if (cl.cipher == kCcm256 || cl.cipher == kGcm256) {  // L = 256 (checked in the crypto tests)
        tw3_kdf_ctr_hmacsha256_l256(l.auth.session_key.data(), 16, "SMBC2SCipherKey", ctx.data(),
                                    ctx.size(), cl.c2s.data(), 32);
        tw3_kdf_ctr_hmacsha256_l256(l.auth.session_key.data(), 16, "SMBS2CCipherKey", ctx.data(),
                                    ctx.size(), cl.s2c.data(), 32);
      } else {
        set16(cl.c2s, ntlmc::smb_kdf(l.auth.session_key, "SMBC2SCipherKey", ctx));
        set16(cl.s2c, ntlmc::smb_kdf(l.auth.session_key, "SMBS2CCipherKey", ctx));
      }
    } else {
      cl.cipher = (negotiated_caps(l.nego_resp) & SMB2_GLOBAL_CAP_ENCRYPTION) ? kCcm : 0;
      set16(cl.c2s, ntlmc::smb_kdf(l.auth.session_key, "SMB2AESCCM",
                                   Bytes({'S', 'e', 'r', 'v', 'e', 'r', 'I', 'n', ' ', 0})));
      set16(cl.s2c, ntlmc::smb_kdf(l.auth.session_key, "SMB2AESCCM",
                                   Bytes({'S', 'e', 'r', 'v', 'e', 'r', 'O', 'u', 't', 0})));
    }
    return cl;
  }
  ntlmc::Logon last_;
};

TEST_F(Encryption, CipherChoiceFollowsTheServerPreferenceAmongOffered) {
  struct row {
    std::vector<uint16_t> offered;
    int want;
  };
  const row kRows[] = {{{1}, 1},    {{2}, 2},    {{1, 2}, 2}, {{3, 4}, 4},
                       {{4, 1}, 1}, {{3, 2}, 2}, {{3}, 3},    {{7}, 0}};
  for (const row& r : kRows) {
    Conn conn;
    ntlmc::Negotiate n;
    n.dialects = {0x0311};
    n.ciphers = r.offered;
    EXPECT_EQ(negotiated_cipher(conn.send(ntlmc::negotiate_request(n))), r.want)
        << "offered " << r.offered.size() << " first " << r.offered[0];
  }
  // 3.0 announces encryption only to a client that announced it.
  for (uint32_t caps : {0u, SMB2_GLOBAL_CAP_ENCRYPTION}) {
    Conn conn;
    ntlmc::Negotiate n;
    n.dialects = {0x0300};
    n.capabilities = caps;
    EXPECT_EQ(negotiated_caps(conn.send(ntlmc::negotiate_request(n))) & SMB2_GLOBAL_CAP_ENCRYPTION,
              caps);
  }
}

TEST_F(Encryption, RequestsAndCompoundsTravelInOneTransformEachWay) {
  struct row {
    bool v311;
    std::vector<uint16_t> ciphers;
    uint16_t want;
  };
  const row kRows[] = {{false, {}, kCcm},
                       {true, {kGcm}, kGcm},
                       {true, {kCcm}, kCcm},
                       {true, {kGcm256}, kGcm256},
                       {true, {kCcm256}, kCcm256}};
  for (const row& r : kRows) {
    SCOPED_TRACE(r.want);
    const int64_t before = tw3_stat_get(ST_ENCRYPTED_SESSIONS);
    Conn conn;
    Client cl = logon(conn, r.v311, r.ciphers);
    ASSERT_EQ(ntlmc::status_of(last_.ss2_resp), 0u);
    ASSERT_EQ(cl.cipher, r.want);
    const Bytes out = cl.unwrap(conn.send(cl.wrap(tree_connect(3, cl.sid))));
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(ntlmc::status_of(out), 0u);
    EXPECT_EQ(ntlmc::flags_of(out) & SMB2_FLAGS_SIGNED, 0u);  // encryption authenticates it
    const Bytes both = tw3test::compound(
        {{.command = SMB2_ECHO, .body = {4, 0, 0, 0}, .message_id = 4, .session_id = cl.sid},
         {.command = SMB2_ECHO, .body = {4, 0, 0, 0}, .message_id = 5, .session_id = cl.sid}});
    const Bytes two = cl.unwrap(conn.send(cl.wrap(both)));
    ASSERT_GE(two.size(), 64u);
    const uint32_t next = get32(&two[20]);
    ASSERT_TRUE(next >= 64 && next < two.size());
    EXPECT_EQ(get64(&two[next + 24]), 5u);
    EXPECT_EQ(tw3_stat_get(ST_ENCRYPTED_SESSIONS), before + 1);
    EXPECT_FALSE(conn.c.closing);
  }
}

TEST_F(Encryption, ResponseNoncesNeverRepeat) {
  Conn conn;
  Client cl = logon(conn, true);
  std::set<Bytes> nonces;
  for (uint64_t mid = 3; mid < 40; mid++) {
    const Bytes tf = conn.send(cl.wrap(echo(mid, cl.sid)));
    ASSERT_FALSE(cl.unwrap(tf).empty());
    nonces.insert(Bytes(tf.begin() + 20, tf.begin() + 36));
    // GCM uses 12 of the 16 nonce bytes; the rest is zero.
    EXPECT_EQ(get32(&tf[32]), 0u);
  }
  EXPECT_EQ(nonces.size(), 37u);
}

TEST_F(Encryption, SameFixedClockSameCiphertext) {
  Bytes first;
  for (int run = 0; run < 2; run++) {
    tw3_config_reset_for_tests();
    ASSERT_EQ(tw3_set_option("clock", std::to_string(kClock).c_str()), 0);
    ASSERT_EQ(tw3_add_user("alice", "secret"), 0);
    Conn conn;
    Client cl = logon(conn, true);
    const Bytes tf = conn.send(cl.wrap(echo(3, cl.sid), 77));
    ASSERT_FALSE(cl.unwrap(tf).empty());
    if (run == 0)
      first = tf;
    else
      EXPECT_EQ(tf, first);
  }
}

// A plain, a signed and a sealed reply (and every logon reply on the way)
// each leave in one write: through the gather write when the transport has
// one (NetBIOS header, transform header, message as parts), else joined.
// Both ways put the same bytes on the wire.
TEST_F(Encryption, EveryReplyLeavesInOneWriteGatheredOrJoined) {
  std::vector<Bytes> wire[2];
  for (const bool gather : {false, true}) {
    SCOPED_TRACE(gather ? "gathered" : "joined");
    tw3_config_reset_for_tests();
    ASSERT_EQ(tw3_set_option("clock", std::to_string(kClock).c_str()), 0);
    ASSERT_EQ(tw3_add_user("alice", "secret"), 0);
    Conn plain, signs, seals;
    if (gather)
      for (Conn* c : {&plain, &signs, &seals}) c->offer_gather();
    EXPECT_EQ(ntlmc::status_of(plain.send(ntlmc::negotiate_request({}))), 0u);
    EXPECT_EQ(plain.transport().last_parts, gather ? 2 : 0);

    const Client s = logon(signs, true, {7});  // no cipher in common: signed only
    ASSERT_EQ(s.cipher, 0);
    const Bytes signed_reply = signs.send(tree_connect(3, s.sid));
    Key16 key{};
    std::memcpy(key.data(), signs.session()->signing_key, key.size());
    EXPECT_TRUE(ntlmc::response_signature_ok(signed_reply, 0, signed_reply.size(), key,
                                             signs.c.signing_algorithm == 2));
    EXPECT_EQ(signs.transport().last_parts, gather ? 2 : 0);

    Client e = logon(seals, true);
    ASSERT_NE(e.cipher, 0);
    const Bytes sealed_reply = seals.send(e.wrap(echo(3, e.sid), 77));
    EXPECT_EQ(ntlmc::status_of(e.unwrap(sealed_reply)), 0u);
    EXPECT_EQ(seals.transport().last_parts, gather ? 3 : 0);

    for (const Conn* c : {&plain, &signs, &seals}) {
      const auto& t = c->transport();
      EXPECT_EQ(static_cast<size_t>(t.writes), t.sent_messages().size());
      wire[gather].push_back(t.written);
    }
  }
  EXPECT_EQ(wire[0], wire[1]);
}

// The frame-script simulator carries transforms like any other frames: with
// a fixed clock the whole script, logon and encrypted requests, replays to
// the same transcript, ciphertext included.
TEST_F(Encryption, SimulatorScriptWithTransformsIsReproducible) {
  Conn conn;  // learns the client frames the fixed clock makes valid
  Client cl = logon(conn, true);
  const Bytes frames[] = {last_.nego_req, last_.ss1_req, last_.ss2_req,
                          cl.wrap(tree_connect(3, cl.sid), 1000), cl.wrap(echo(4, cl.sid), 1001)};
  std::string script;
  for (const Bytes& f : frames) {
    for (uint8_t b : tw3test::nb_frame(f)) {
      static const char* d = "0123456789abcdef";
      script += d[b >> 4];
      script += d[b & 15];
    }
    script += "\n";
  }
  const std::string first = tw3_simulate(script.c_str(), "127.0.0.1");
  const std::string second = tw3_simulate(script.c_str(), "127.0.0.1");
  EXPECT_EQ(first, second);
  EXPECT_NE(first.find("RESULT ok"), std::string::npos) << first;
  // The answers to both encrypted requests are transforms (FD 'S' 'M' 'B').
  size_t transforms = 0;
  for (size_t at = first.find("<< fd534d42"); at != std::string::npos;
       at = first.find("<< fd534d42", at + 1))
    transforms++;
  EXPECT_EQ(transforms, 2u) << first;
  EXPECT_NE(first.find(">> TRANSFORM"), std::string::npos) << first;
}

// Every transform that is not exactly right ends the connection unanswered.
TEST_F(Encryption, TamperedMalformedOrReplayedTransformsAreDropped) {
  struct row {
    const char* what;
    void (*spoil)(Bytes& tf);
  };
  const row kRows[] = {
      {"tag", [](Bytes& tf) { tf[4 + 15] ^= 1; }},
      {"nonce", [](Bytes& tf) { tf[20] ^= 1; }},
      {"aad reserved", [](Bytes& tf) { tf[40] ^= 1; }},
      {"ciphertext", [](Bytes& tf) { tf[kTf + 70] ^= 1; }},
      {"unused nonce byte", [](Bytes& tf) { tf[35] = 1; }},
      {"flags", [](Bytes& tf) { ntlmc::set16(tf, 42, 0); }},
      {"unknown session", [](Bytes& tf) { tf[44] ^= 2; }},
      {"size", [](Bytes& tf) { ntlmc::set32(tf, 36, get32(&tf[36]) - 1); }},
      {"short", [](Bytes& tf) { tf.resize(40); }},
  };
  for (const row& r : kRows) {
    SCOPED_TRACE(r.what);
    Conn conn;
    Client cl = logon(conn, true);
    const int64_t bad = tw3_stat_get(ST_BAD_SIGNATURE), failed = tw3_stat_get(ST_DECRYPT_FAILED);
    Bytes tf = cl.wrap(tree_connect(3, cl.sid));
    r.spoil(tf);
    EXPECT_TRUE(conn.send(tf).empty());
    EXPECT_TRUE(conn.c.closing);
    EXPECT_EQ(conn.c.cl->tree_list, nullptr);  // nothing of it was processed
    EXPECT_EQ(tw3_stat_get(ST_BAD_SIGNATURE), bad + 1);
    EXPECT_EQ(tw3_stat_get(ST_DECRYPT_FAILED), failed + 1);
  }
  {
    SCOPED_TRACE("replay");
    Conn conn;
    Client cl = logon(conn, true);
    const Bytes tf = cl.wrap(echo(3, cl.sid), 0);  // an all-zero nonce is valid once
    EXPECT_FALSE(cl.unwrap(conn.send(tf)).empty());
    EXPECT_TRUE(conn.send(tf).empty());
    EXPECT_TRUE(conn.c.closing);
  }
  for (uint32_t inner_id : {0x424D53FDu, 0x424D53FCu, 0x424D53FFu}) {
    SCOPED_TRACE(inner_id);
    Conn conn;
    Client cl = logon(conn, true);
    Bytes inner = echo(3, cl.sid);
    ntlmc::set32(inner, 0, inner_id);  // nested transform, compression, SMB1
    EXPECT_TRUE(conn.send(cl.wrap(inner)).empty());
    EXPECT_TRUE(conn.c.closing);
  }
}

TEST_F(Encryption, RequiredDemandsEncryptionOfNamedUsers) {
  ASSERT_EQ(tw3_set_option("encrypt", "required"), 0);
  {
    Conn conn;
    Client cl = logon(conn, true);
    ASSERT_EQ(ntlmc::status_of(last_.ss2_resp), 0u);
    EXPECT_EQ(get16(&last_.ss2_resp[66]) & SMB2_SESSION_FLAG_ENCRYPT_DATA,
              SMB2_SESSION_FLAG_ENCRYPT_DATA);
    const int64_t bad = tw3_stat_get(ST_BAD_SIGNATURE);
    EXPECT_EQ(ntlmc::status_of(conn.send(tree_connect(3, cl.sid))), kDenied);
    EXPECT_EQ(tw3_stat_get(ST_BAD_SIGNATURE), bad + 1);
    EXPECT_EQ(conn.c.cl->tree_list, nullptr);
    EXPECT_EQ(ntlmc::status_of(cl.unwrap(conn.send(cl.wrap(tree_connect(4, cl.sid))))), 0u);
  }
  {  // No shared cipher: refused at SESSION_SETUP.
    Conn conn;
    ntlmc::Negotiate n;
    n.dialects = {0x0311};
    n.ciphers = {7};
    EXPECT_EQ(negotiated_cipher(conn.send(ntlmc::negotiate_request(n))), 0);
    const Bytes first = ntlmc::spnego_init(ntlmc::kNtlmOid, ntlmc::negotiate());
    EXPECT_EQ(ntlmc::status_of(conn.send(ntlmc::session_setup_request(first, 1, 0))), kDenied);
  }
  {  // Guests cannot encrypt.
    tw3_remove_user("alice");
    ASSERT_EQ(tw3_set_option("guest", "on"), 0);
    Conn conn;
    ntlmc::AuthSpec guest;
    guest.user = "";
    guest.password = "";
    ntlmc::Negotiate n;
    n.dialects = {0x0311};
    const ntlmc::Logon l = ntlmc::logon(conn, n, guest);
    EXPECT_EQ(ntlmc::status_of(l.ss2_resp), kLogonFailure);
  }
}

TEST_F(Encryption, OffAnnouncesNothingAndRefusesTransforms) {
  ASSERT_EQ(tw3_set_option("encrypt", "off"), 0);
  Conn conn;
  Client cl = logon(conn, true);
  EXPECT_EQ(cl.cipher, 0);
  EXPECT_EQ(ntlmc::status_of(last_.ss2_resp), 0u);
  cl.cipher = kGcm;  // a client that encrypts all the same
  EXPECT_TRUE(conn.send(cl.wrap(echo(3, cl.sid))).empty());
  EXPECT_TRUE(conn.c.closing);
  Conn conn30;
  EXPECT_EQ(logon(conn30, false).cipher, 0);
}

}  // namespace
