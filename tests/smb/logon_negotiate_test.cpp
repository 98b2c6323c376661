// NEGOTIATE: dialect selection, contexts, limits, identity values and the
// SMB1 upgrade, driven through the dispatcher with a fixed clock.
#include <gtest/gtest.h>

#include <cstring>

#include "common/ntlm_client_conn.h"

namespace {

using ntlmc::Bytes;
using ntlmc::Conn;
using ntlmc::get16;
using ntlmc::get32;
using ntlmc::get64;

constexpr int64_t kClock = 1700000000;
constexpr size_t kBody = 64;  // response body offset

class LogonNegotiate : public ::testing::Test {
 protected:
  void SetUp() override {
    tw3_config_reset_for_tests();
    ASSERT_EQ(tw3_set_option("clock", std::to_string(kClock).c_str()), 0);
  }
  void TearDown() override { tw3_config_reset_for_tests(); }
};

struct Ctx {
  uint16_t type;
  Bytes data;
};

// The contexts of a NEGOTIATE response, checking their 8-byte alignment.
std::vector<Ctx> response_contexts(const Bytes& m) {
  std::vector<Ctx> out;
  const uint16_t count = get16(&m[kBody + 6]);
  size_t off = get32(&m[kBody + 60]);
  EXPECT_EQ(off % 8, 0u);
  for (uint16_t i = 0; i < count && off + 8 <= m.size(); i++) {
    const uint16_t len = get16(&m[off + 2]);
    if (off + 8 + len > m.size()) break;
    out.push_back({get16(&m[off]), Bytes(m.begin() + off + 8, m.begin() + off + 8 + len)});
    off = (off + 8 + len + 7) / 8 * 8;
  }
  return out;
}

TEST_F(LogonNegotiate, FullOfferSelects311WithGmacAndGcm) {
  Conn conn;
  ntlmc::Negotiate n;
  n.dialects = {0x0202, 0x0210, 0x0300, 0x0302, 0x0311};
  const int64_t before = tw3_stat_get(ST_NEGOTIATE);
  const Bytes m = conn.send(ntlmc::negotiate_request(n));
  ASSERT_GE(m.size(), kBody + 64);
  EXPECT_EQ(ntlmc::status_of(m), 0u);
  EXPECT_EQ(get16(&m[kBody]), 65);
  EXPECT_EQ(get16(&m[kBody + 2]), 1);  // signing enabled
  EXPECT_EQ(get16(&m[kBody + 4]), 0x0311);
  EXPECT_EQ(get16(&m[kBody + 6]), 3);
  EXPECT_EQ(get64(&m[kBody + 40]), ntlmc::filetime(kClock));
  EXPECT_EQ(get16(&m[kBody + 56]), 128);
  EXPECT_EQ(get16(&m[kBody + 58]), 74);  // the negTokenInit
  EXPECT_EQ(m[128], 0x60);
  const auto ctxs = response_contexts(m);
  ASSERT_EQ(ctxs.size(), 3u);
  EXPECT_EQ(ctxs[0].type, 1);
  ASSERT_EQ(ctxs[0].data.size(), 38u);
  EXPECT_EQ(Bytes(ctxs[0].data.begin() + 6, ctxs[0].data.end()), n.salt);  // salt echoed
  EXPECT_EQ(ctxs[1].type, 2);
  EXPECT_EQ(ctxs[1].data, Bytes({1, 0, 2, 0}));  // GCM
  EXPECT_EQ(ctxs[2].type, 8);
  EXPECT_EQ(ctxs[2].data, Bytes({1, 0, 2, 0}));  // GMAC
  EXPECT_EQ(conn.c.signing_algorithm, 2);
  EXPECT_EQ(conn.c.cipher_id, 2);
  EXPECT_EQ(tw3_stat_get(ST_NEGOTIATE), before + 1);
  EXPECT_FALSE(conn.c.closing);

  // A client that offers no cipher gets no encryption context back
  // (MS-SMB2 3.3.5.4), and no cipher.
  ntlmc::Negotiate plain;
  plain.encryption_context = false;
  Conn c2;
  const auto without = response_contexts(c2.send(ntlmc::negotiate_request(plain)));
  ASSERT_EQ(without.size(), 2u);
  EXPECT_EQ(without[0].type, 1);
  EXPECT_EQ(without[1].type, 8);
  EXPECT_EQ(c2.c.cipher_id, 0);

  // The GUID and challenge come from the server name and the clock only.
  const uint64_t h = tw3_fnv1a64("TARNWICKFIELD", 13, TW3_FNV_BASIS);
  EXPECT_EQ(get64(&m[kBody + 8]), h);
  EXPECT_EQ(get64(&m[kBody + 16]), h ^ 0x54574D4232ULL);
  Conn other;
  const Bytes m2 = other.send(ntlmc::negotiate_request(n));
  EXPECT_EQ(Bytes(m2.begin() + kBody + 8, m2.begin() + kBody + 24),
            Bytes(m.begin() + kBody + 8, m.begin() + kBody + 24));
  EXPECT_EQ(std::memcmp(conn.c.server_challenge, other.c.server_challenge, 8), 0);
}

TEST_F(LogonNegotiate, RefusalsCloseTheConnection) {
  ntlmc::Negotiate only2x;
  only2x.dialects = {0x0202, 0x0210};
  only2x.contexts = false;
  ntlmc::Negotiate hash2;
  hash2.dialects = {0x0311};
  hash2.hashes = {2};
  ntlmc::Negotiate none;
  none.dialects = {0x0311};
  Bytes bad_size = ntlmc::negotiate_request(none);
  bad_size[kBody] = 35;
  Bytes zero_count = ntlmc::negotiate_request(none);
  zero_count[kBody + 2] = 0;
  Bytes count33 = ntlmc::negotiate_request(none);
  count33[kBody + 2] = 33;
  Bytes ctx_beyond = ntlmc::negotiate_request(none);
  ntlmc::set32(ctx_beyond, kBody + 28, static_cast<uint32_t>(ctx_beyond.size()));
  Bytes ctx_low = ntlmc::negotiate_request(none);
  ntlmc::set32(ctx_low, kBody + 28, 99);
  Bytes short_body = ntlmc::negotiate_request(none);
  short_body.resize(kBody + 4);
  Bytes no_array = ntlmc::negotiate_request(none);
  no_array.resize(kBody + 36);  // DialectCount 1, no dialect bytes, contexts gone
  ntlmc::set32(no_array, kBody + 28, 0);
  const struct {
    const char* why;
    Bytes msg;
    uint32_t status;
  } cases[] = {
      {"only 2.x dialects", ntlmc::negotiate_request(only2x), 0xC00000BB},
      {"only hash 2", ntlmc::negotiate_request(hash2), 0xC000000D},
      {"StructureSize 35", bad_size, 0xC000000D},
      {"DialectCount 0", zero_count, 0xC000000D},
      {"DialectCount 33", count33, 0xC000000D},
      {"context offset at the end", ctx_beyond, 0xC000000D},
      {"context offset 99", ctx_low, 0xC000000D},
      {"no dialect array", no_array, 0xC000000D},
      {"4-byte body", short_body, 0xC000000D},
  };
  for (const auto& c : cases) {
    Conn conn;
    const int64_t errors = tw3_stat_get(ST_PROTOCOL_ERRORS);
    const Bytes m = conn.send(c.msg);
    ASSERT_EQ(m.size(), 73u) << c.why;
    EXPECT_EQ(ntlmc::status_of(m), c.status) << c.why;
    EXPECT_TRUE(conn.c.closing) << c.why;
    EXPECT_EQ(tw3_stat_get(ST_PROTOCOL_ERRORS), errors + 1) << c.why;
  }
}

TEST_F(LogonNegotiate, SaltLimitsAndSecurityMode) {
  // A zero-led salt is replaced by the generated one.
  ntlmc::Negotiate n;
  n.salt = Bytes(32, 0x77);
  n.salt[0] = n.salt[1] = 0;
  Conn conn;
  const Bytes m = conn.send(ntlmc::negotiate_request(n));
  const auto ctxs = response_contexts(m);
  ASSERT_EQ(ctxs.size(), 3u);
  uint64_t acc = tw3_fnv1a64("TARNWICKFIELD", 13, TW3_FNV_BASIS);
  Bytes want;
  for (uint32_t i = 0; i < 32; i++) {
    const uint8_t le[4] = {static_cast<uint8_t>(i), 0, 0, 0};
    acc = tw3_fnv1a64(le, 4, acc);
    want.push_back(static_cast<uint8_t>(acc >> (8 * (i % 8))));
  }
  EXPECT_EQ(Bytes(ctxs[0].data.begin() + 6, ctxs[0].data.end()), want);

  const struct {
    uint32_t caps;
    uint32_t io;
    uint32_t caps_out;
  } mtu[] = {{0, 65536, 14}, {4, 1048576, 14}};  // LEASING (2), LARGE_MTU (4), MULTI_CHANNEL (8) always on 3.x
  for (const auto& t : mtu) {
    ntlmc::Negotiate q;
    q.capabilities = t.caps;
    Conn c2;
    const Bytes r = c2.send(ntlmc::negotiate_request(q));
    EXPECT_EQ(get32(&r[kBody + 24]), t.caps_out);
    for (size_t at : {28, 32, 36}) EXPECT_EQ(get32(&r[kBody + at]), t.io) << at;
  }

  ASSERT_EQ(tw3_set_option("signing", "required"), 0);
  Conn c3;
  const Bytes r = c3.send(ntlmc::negotiate_request(ntlmc::Negotiate{}));
  EXPECT_EQ(get16(&r[kBody + 2]), 3) << "REQUIRED never without ENABLED";
  EXPECT_TRUE(c3.c.sign_required);
}

TEST_F(LogonNegotiate, DialectArrayAtOffset34) {
  Bytes msg = ntlmc::negotiate_request(ntlmc::Negotiate{.dialects = {0x0300, 0x0302}, .contexts = false});
  // Body: the fixed 34 bytes, the two dialects at 34, two trailing bytes that
  // spoil the candidates at the end of the body and at 36.
  msg.resize(kBody + 34);
  for (uint16_t d : {0x0300, 0x0302, 0xFFFF}) ntlmc::put16(msg, d);
  Conn conn;
  const Bytes m = conn.send(msg);
  EXPECT_EQ(ntlmc::status_of(m), 0u);
  EXPECT_EQ(get16(&m[kBody + 4]), 0x0302);
  EXPECT_EQ(get16(&m[kBody + 6]), 0);  // no contexts below 3.1.0
  EXPECT_EQ(get32(&m[kBody + 60]), 0u);
  EXPECT_EQ(conn.c.signing_algorithm, 1);
}

Bytes smb1_negotiate(const std::vector<std::string>& dialects) {
  Bytes m = {0xFF, 'S', 'M', 'B', 0x72};
  m.resize(32, 0);
  m.push_back(0);  // WordCount
  Bytes names;
  for (const auto& d : dialects) {
    names.push_back(0x02);
    names.insert(names.end(), d.begin(), d.end());
    names.push_back(0);
  }
  ntlmc::put16(m, static_cast<uint32_t>(names.size()));
  m.insert(m.end(), names.begin(), names.end());
  return m;
}

TEST_F(LogonNegotiate, Smb1UpgradeAnswersTheWildcardOrRefuses) {
  const struct {
    const char* why;
    std::vector<std::string> dialects;
    uint32_t status;
  } cases[] = {
      {"both SMB2 strings", {"NT LM 0.12", "SMB 2.002", "SMB 2.???"}, 0},
      {"only the wildcard", {"SMB 2.???"}, 0},
      {"only SMB 2.002: no 3.x possible", {"NT LM 0.12", "SMB 2.002"}, 0xC00000BB},
      {"only SMB1 names", {"PC NETWORK PROGRAM 1.0", "NT LM 0.12"}, 0xC00000BB},
  };
  for (const char* signing : {"enabled", "required"}) {
    ASSERT_EQ(tw3_set_option("signing", signing), 0);
    for (const auto& c : cases) {
      Conn conn;
      const int64_t errors = tw3_stat_get(ST_PROTOCOL_ERRORS);
      const Bytes m = conn.send(smb1_negotiate(c.dialects));
      ASSERT_GE(m.size(), 64u) << c.why;
      EXPECT_EQ(ntlmc::status_of(m), c.status) << c.why;
      EXPECT_FALSE(conn.c.closing) << c.why;
      EXPECT_EQ(conn.c.negotiated, 0) << c.why << ": nothing is settled yet";
      EXPECT_EQ(tw3_stat_get(ST_PROTOCOL_ERRORS) - errors, c.status != 0 ? 1 : 0) << c.why;
      if (c.status != 0) {
        EXPECT_EQ(m.size(), 73u) << c.why;
        continue;
      }
      EXPECT_EQ(get16(&m[kBody + 2]), std::string(signing) == "required" ? 3 : 1) << c.why;
      EXPECT_EQ(get16(&m[kBody + 4]), 0x02FF) << c.why;
      EXPECT_EQ(get32(&m[kBody + 24]), 0u) << c.why;
      // The ordinary initial token, as an SMB2 NEGOTIATE gets it.
      EXPECT_EQ(get16(&m[kBody + 56]), 128) << c.why;
      EXPECT_EQ(get16(&m[kBody + 58]), 74) << c.why;
      EXPECT_EQ(m.size(), 128u + 74u) << c.why;
      EXPECT_EQ(m[128], 0x60) << c.why;
    }
  }
}

// The SMB2 NEGOTIATE after the wildcard answer settles 3.1.1 exactly as on a
// connection that opened with it: no repeated-negotiate error, and the
// pre-authentication hash starts with that request (the SMB1 exchange is not
// in it).
TEST_F(LogonNegotiate, Smb2NegotiateAfterTheWildcardStartsThePreauthHash) {
  Conn upgraded, direct;
  const int64_t errors = tw3_stat_get(ST_PROTOCOL_ERRORS);
  const int64_t negotiations = tw3_stat_get(ST_NEGOTIATE);
  upgraded.send(smb1_negotiate({"NT LM 0.12", "SMB 2.002", "SMB 2.???"}));
  const Bytes req = ntlmc::negotiate_request(ntlmc::Negotiate{}, 1);
  const Bytes resp = upgraded.send(req);
  ASSERT_EQ(ntlmc::status_of(resp), 0u);
  EXPECT_EQ(get16(&resp[kBody + 4]), 0x0311);
  EXPECT_EQ(upgraded.c.negotiated, 1);
  EXPECT_EQ(tw3_stat_get(ST_PROTOCOL_ERRORS), errors);
  EXPECT_EQ(tw3_stat_get(ST_NEGOTIATE) - negotiations, 1) << "one negotiation, counted once";
  const auto want = ntlmc::preauth_chain({&req, &resp});
  EXPECT_EQ(std::memcmp(upgraded.c.preauth_hash, want.data(), want.size()), 0);
  EXPECT_EQ(direct.send(req), resp) << "the same answer as without the SMB1 opening";

  // Once a dialect is settled, an SMB1 NEGOTIATE is refused and ends the connection.
  const Bytes again = upgraded.send(smb1_negotiate({"SMB 2.???"}));
  EXPECT_EQ(ntlmc::status_of(again), 0xC00000BBu);
  EXPECT_TRUE(upgraded.c.closing);
  EXPECT_EQ(upgraded.c.dialect, 0x0311);
}

// A NEGOTIATE on a connection whose dialect is settled ends it unanswered:
// the signing algorithm and the pre-authentication hash stay as they were.
TEST_F(LogonNegotiate, SecondNegotiateEndsTheConnection) {
  Conn conn;
  ASSERT_EQ(ntlmc::status_of(conn.send(ntlmc::negotiate_request(ntlmc::Negotiate{}))), 0u);
  const int32_t algorithm = conn.c.signing_algorithm;
  uint8_t hash[64];
  std::memcpy(hash, conn.c.preauth_hash, sizeof hash);
  const int64_t errors = tw3_stat_get(ST_PROTOCOL_ERRORS);
  ntlmc::Negotiate cmac_only;
  cmac_only.signing = {1};
  cmac_only.dialects = {0x0311};
  EXPECT_TRUE(conn.send(ntlmc::negotiate_request(cmac_only, 1)).empty());
  EXPECT_TRUE(conn.c.closing);
  EXPECT_EQ(tw3_stat_get(ST_PROTOCOL_ERRORS) - errors, 1);
  EXPECT_EQ(conn.c.signing_algorithm, algorithm);
  EXPECT_EQ(std::memcmp(conn.c.preauth_hash, hash, sizeof hash), 0);
}

// The challenge a connection's first leg carries.
std::array<uint8_t, 8> first_leg_challenge(Conn& conn) {
  conn.send(ntlmc::negotiate_request(ntlmc::Negotiate{}));
  const Bytes r = conn.send(ntlmc::session_setup_request(ntlmc::negotiate(), 1, 0));
  std::array<uint8_t, 8> chal{};
  const Bytes buf = ntlmc::ss_buffer(r);
  EXPECT_TRUE(ntlmc::parse_challenge(buf.data(), buf.size(), &chal));
  return chal;
}

TEST_F(LogonNegotiate, ChallengesRepeatOnlyWithAFixedClock) {
  Conn a, b;
  EXPECT_EQ(first_leg_challenge(a), first_leg_challenge(b));
  ASSERT_EQ(tw3_set_option("clock", "0"), 0);
  Conn x, y;  // almost surely within the same second
  EXPECT_NE(first_leg_challenge(x), first_leg_challenge(y));
}

}  // namespace
