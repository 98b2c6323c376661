// The connection loop over a scripted transport: NetBIOS framing, session
// requests, the size limits, zero reads, timeouts, the receive deadlines and
// transport failures.
#include <gtest/gtest.h>

#include "common/ntlm_client_conn.h"
#include "common/smb_frames.h"
#include "config/config.h"
#include "smb/smb.h"

using tw3test::bytes;
using tw3test::req;

namespace {

class Loop : public ::testing::Test {
 protected:
  void SetUp() override {
    tw3_config_reset_for_tests();
    connections_ = tw3_stat_get(ST_CONNECTIONS);
  }
  void TearDown() override {
    EXPECT_EQ(tw3_stat_get(ST_CONNECTIONS), connections_);  // whatever ended the connection
    tw3_config_reset_for_tests();
  }
  void run(const char* ip = "127.0.0.1") {
    tw3_ip peer{};
    ASSERT_EQ(tw3_ip_parse(ip, &peer), 0);
    const tw3_io io = sio_.io();
    tw3_sess_run(&io, &peer, nullptr, 0);
  }
  static bytes echo_frame(uint64_t mid) {
    req q;
    q.message_id = mid;
    return tw3test::nb_frame(tw3test::smb2_request(q));
  }
  // Scripts an anonymous (guest) logon: NEGOTIATE and both SESSION_SETUP
  // legs with MessageIds 0..2. An anonymous AUTHENTICATE does not depend on
  // the challenge, so the whole exchange can be scripted up front.
  void add_logon() {
    sio_.add(tw3test::nb_frame(ntlmc::negotiate_request({}, 0)));
    sio_.add(tw3test::nb_frame(
        ntlmc::session_setup_request(ntlmc::spnego_init(ntlmc::kNtlmOid, ntlmc::negotiate()), 1, 0)));
    ntlmc::AuthSpec anon;
    anon.nt_raw = bytes{};
    sio_.add(tw3test::nb_frame(
        ntlmc::session_setup_request(ntlmc::spnego_resp(ntlmc::authenticate(anon).msg), 2, 0)));
  }
  static constexpr uint64_t kAfterLogon = 3;  // first MessageId after add_logon
  // An ECHO of `len` bytes (header, then zeros) behind its NetBIOS header.
  static bytes big_echo(uint64_t mid, uint32_t len) {
    req q;
    q.message_id = mid;
    bytes m = tw3test::smb2_request(q);
    m.resize(len, 0);
    return tw3test::nb_frame(m);
  }
  // Message ids of the ECHO replies written, in order.
  std::vector<uint64_t> replied_ids() const {
    std::vector<uint64_t> ids;
    for (const bytes& m : sio_.sent_messages())
      for (const auto& r : tw3test::split_responses(m)) ids.push_back(r.message_id);
    return ids;
  }

  tw3test::script_io sio_;
  int64_t connections_ = 0;
};

TEST_F(Loop, SessionRequestIsAnsweredAndTheConnectionGoesOn) {
  for (uint32_t len : {0u, 68u, 0xFFFFFFu}) {
    sio_ = {};
    sio_.add({NB_SESSION_REQUEST, static_cast<uint8_t>(len >> 16), static_cast<uint8_t>(len >> 8),
              static_cast<uint8_t>(len)});
    if (len) sio_.steps.push_back(tw3test::step_fill(len));
    sio_.add(echo_frame(0));
    run();
    ASSERT_GE(sio_.written.size(), 4u) << len;
    EXPECT_EQ(bytes(sio_.written.begin(), sio_.written.begin() + 4), (bytes{0x82, 0, 0, 0})) << len;
    EXPECT_EQ(replied_ids(), std::vector<uint64_t>{0}) << len;
    // Only SMB messages are logged: the session request and its answer are not.
    ASSERT_EQ(sio_.logged.size(), 2u);
    EXPECT_EQ(sio_.logged[0].first, ">>");
    EXPECT_EQ(sio_.logged[1].first, "<<");
  }
}

TEST_F(Loop, FramingErrorsEndTheConnectionSilently) {
  struct row {
    const char* why;
    bytes first;
  } rows[] = {
      {"keep-alive", {NB_KEEPALIVE, 0, 0, 0}},
      {"positive response from a client", {NB_POSITIVE_RESPONSE, 0, 0, 0}},
      {"unknown type", {0x01, 0, 0, 4}},
  };
  for (const row& r : rows) {
    sio_ = {};
    sio_.add(r.first);
    sio_.add(echo_frame(1));
    const int64_t errors = tw3_stat_get(ST_PROTOCOL_ERRORS);
    run();
    EXPECT_TRUE(sio_.written.empty()) << r.why;
    EXPECT_EQ(tw3_stat_get(ST_PROTOCOL_ERRORS) - errors, 1) << r.why;
    EXPECT_EQ(sio_.steps.size(), 1u) << r.why;  // nothing more was read
  }
}

TEST_F(Loop, EmptySessionMessageIsSkipped) {
  sio_.add({0, 0, 0, 0});
  sio_.add(echo_frame(0));
  run();
  EXPECT_EQ(replied_ids(), std::vector<uint64_t>{0});
  EXPECT_EQ(sio_.logged.size(), 2u);
}

TEST_F(Loop, MessageSizeLimitIsTheSmallerOfTheOptionAndFourMiBAndSmallBeforeLogon) {
  struct row {
    const char* max_message;
    bool logon;
    uint32_t len;
    bool accepted;
  } rows[] = {
      {"65536", true, 65536, true},         {"65536", true, 65537, false},
      {"16777216", true, 4194304, true},    {"16777216", true, 4194305, false},
      {"4194304", true, 4194304, true},     {"4194304", false, 65536, true},
      {"4194304", false, 65537, false},
  };
  for (const row& r : rows) {
    ASSERT_EQ(tw3_set_option("max_message", r.max_message), 0);
    sio_ = {};
    if (r.logon) add_logon();
    const uint64_t mid = r.logon ? kAfterLogon : 0;
    sio_.add(big_echo(mid, r.len));
    const int64_t errors = tw3_stat_get(ST_PROTOCOL_ERRORS);
    run();
    const std::vector<uint64_t> ids = replied_ids();
    if (r.accepted) {
      ASSERT_FALSE(ids.empty()) << r.len;
      EXPECT_EQ(ids.back(), mid) << r.len;
      ASSERT_GE(sio_.logged.size(), 2u);
      EXPECT_EQ(sio_.logged[sio_.logged.size() - 2].second.size(), r.len);
    } else {
      EXPECT_EQ(ids.size(), r.logon ? 3u : 0u) << r.len;
      EXPECT_EQ(tw3_stat_get(ST_PROTOCOL_ERRORS) - errors, 1) << r.len;
    }
  }
}

TEST_F(Loop, MessagesSplitAcrossManyReadsAreReassembled) {
  req a;
  a.message_id = 0;
  req b;
  b.message_id = 1;
  const bytes msg = tw3test::compound({a, b});
  sio_.add_trickle(tw3test::concat({tw3test::nb_frame(msg), echo_frame(2)}));
  run();
  EXPECT_EQ(replied_ids(), (std::vector<uint64_t>{0, 1, 2}));
  ASSERT_FALSE(sio_.logged.empty());
  EXPECT_EQ(sio_.logged[0].second, msg);
}

TEST_F(Loop, ThirdZeroReadWithinOneHeaderOrBodyEndsTheConnection) {
  run();  // nothing at all
  EXPECT_EQ(sio_.reads, 3);

  // Two zero reads are taken like timeouts: the message still arrives.
  sio_ = {};
  const bytes f = echo_frame(0);
  sio_.add(bytes(f.begin(), f.begin() + 2));
  sio_.steps.push_back(tw3test::step_zero());
  sio_.steps.push_back(tw3test::step_zero());
  sio_.add(bytes(f.begin() + 2, f.begin() + 30));
  sio_.steps.push_back(tw3test::step_zero());
  sio_.steps.push_back(tw3test::step_zero());
  sio_.add(bytes(f.begin() + 30, f.end()));
  run();
  EXPECT_EQ(replied_ids(), std::vector<uint64_t>{0});

  // A third one inside the same body drops the message.
  sio_ = {};
  sio_.add(bytes(f.begin(), f.begin() + 30));
  for (int i = 0; i < 3; ++i) sio_.steps.push_back(tw3test::step_zero());
  sio_.add(bytes(f.begin() + 30, f.end()));
  run();
  EXPECT_TRUE(sio_.written.empty());
}

TEST_F(Loop, PeerThatStallsMidMessageTimesOut) {
  ASSERT_EQ(tw3_set_option("idle_timeout_ms", "100"), 0);
  const bytes f = echo_frame(1);
  sio_.add(bytes(f.begin(), f.begin() + 20));
  constexpr int kSteps = 200;  // 200 x 10 ms: far more than the timeout needs
  for (int i = 0; i < kSteps; ++i) sio_.steps.push_back(tw3test::step_timeout(10));
  const int64_t timeouts = tw3_stat_get(ST_TIMEOUTS);
  run();
  EXPECT_EQ(tw3_stat_get(ST_TIMEOUTS) - timeouts, 1);
  EXPECT_TRUE(sio_.written.empty());
  EXPECT_GT(sio_.steps.size(), 0u);  // ended by the timeout, not by running dry
}

// A message must be complete within io_timeout_ms plus its length at
// 64 KiB/s, however steadily its bytes trickle in, and its bytes may not stop
// for io_timeout_ms on the way (a silent sender does not hold its slot for
// the allowance of the length it announced). The clock is the transport's,
// so no real time passes.
TEST_F(Loop, SlowSendersAreClosedAtTheirMessageDeadline) {
  struct slow_case {
    const char* name;
    uint64_t length;  // of the SMB2 message announced
    bool trickle;     // a byte every 50 ms; else 100 bytes, then silence
    uint64_t closed_after_ms;
  };
  const slow_case cases[] = {
      {"trickle", 65536, true, 2000},     // its allowance: 1000 + 1000 ms
      {"silence", 4194304, false, 1000},  // long before its 65 s allowance
  };
  for (const slow_case& k : cases) {
    sio_ = {};
    ASSERT_EQ(tw3_set_option("io_timeout_ms", "1000"), 0);
    sio_.fake_clock = true;
    add_logon();
    const bytes frame = big_echo(kAfterLogon, k.length);
    if (k.trickle) {
      sio_.add(bytes(frame.begin(), frame.begin() + 4));
      sio_.add_paced(bytes(frame.begin() + 4, frame.end()), 1, 50);
    } else {
      sio_.add(bytes(frame.begin(), frame.begin() + 100));
      for (int i = 0; i < 100; ++i) sio_.steps.push_back(tw3test::step_timeout(100));
    }
    const uint64_t t0 = sio_.now_ms;
    const int64_t timeouts = tw3_stat_get(ST_TIMEOUTS);
    run();
    EXPECT_EQ(tw3_stat_get(ST_TIMEOUTS) - timeouts, 1) << k.name;
    EXPECT_EQ(replied_ids().size(), 3u) << k.name;  // the logon only
    EXPECT_GT(sio_.now_ms - t0, k.closed_after_ms) << k.name;
    EXPECT_LE(sio_.now_ms - t0, k.closed_after_ms + 100) << k.name;
    EXPECT_GT(sio_.steps.size(), 0u) << k.name;  // ended by the deadline, not by running dry
  }
}

// 4 MiB at 64 KiB/s (a slow link) is served, even with the shortest
// io_timeout_ms: its bytes never stop for that long.
TEST_F(Loop, SlowButSteadyLargeMessageIsServed) {
  ASSERT_EQ(tw3_set_option("io_timeout_ms", "100"), 0);
  sio_.fake_clock = true;
  add_logon();
  const bytes frame = big_echo(kAfterLogon, 4194304);
  sio_.add(bytes(frame.begin(), frame.begin() + 4));
  sio_.add_paced(bytes(frame.begin() + 4, frame.end()), 4096, 62);
  sio_.add(big_echo(kAfterLogon + 1, 100));  // a small one after it reuses the buffer
  run();
  EXPECT_EQ(replied_ids(), (std::vector<uint64_t>{0, 1, 2, kAfterLogon, kAfterLogon + 1}));
  ASSERT_EQ(sio_.logged.size(), 10u);
  EXPECT_EQ(sio_.logged[6].second, bytes(frame.begin() + 4, frame.end()));
  EXPECT_EQ(sio_.logged[8].second.size(), 100u);
}

// Without a completed logon a connection lives TW3_LOGON_DEADLINE_MS, whether
// it stays silent or keeps sending small requests.
TEST_F(Loop, ConnectionWithoutLogonIsClosedAtTheLogonDeadline) {
  for (bool chatty : {false, true}) {
    sio_ = {};
    sio_.fake_clock = true;
    const uint64_t t0 = sio_.now_ms;
    for (uint64_t i = 0; i < 3 * TW3_LOGON_DEADLINE_MS / 500; ++i) {
      if (chatty) {
        sio_.add(echo_frame(i));
        sio_.steps.back().sleep_ms = 500;
      } else {
        sio_.steps.push_back(tw3test::step_timeout(500));
      }
    }
    const int64_t timeouts = tw3_stat_get(ST_TIMEOUTS);
    run();
    EXPECT_EQ(tw3_stat_get(ST_TIMEOUTS) - timeouts, 1) << chatty;
    EXPECT_GT(sio_.now_ms - t0, TW3_LOGON_DEADLINE_MS) << chatty;
    EXPECT_LE(sio_.now_ms - t0, TW3_LOGON_DEADLINE_MS + 500) << chatty;
  }

  // A logon in time lifts it.
  sio_ = {};
  sio_.fake_clock = true;
  add_logon();
  sio_.add(echo_frame(kAfterLogon));
  sio_.steps.back().sleep_ms = 2 * TW3_LOGON_DEADLINE_MS;
  run();
  EXPECT_EQ(replied_ids(), (std::vector<uint64_t>{0, 1, 2, kAfterLogon}));
}

// Idle time is the client's: it starts when the answer has left, so an
// answer that took the server longer than idle_timeout_ms does not end the
// connection right after it.
TEST_F(Loop, IdleTimeStartsWhenTheAnswerHasLeft) {
  ASSERT_EQ(tw3_set_option("idle_timeout_ms", "1000"), 0);
  sio_.fake_clock = true;
  sio_.write_ms = 1500;  // every answer takes longer than the idle timeout
  add_logon();
  sio_.steps.push_back(tw3test::step_timeout(200));
  sio_.add(echo_frame(kAfterLogon));
  sio_.steps.push_back(tw3test::step_timeout(1100));  // now truly idle too long
  sio_.add(echo_frame(kAfterLogon + 1));
  const int64_t timeouts = tw3_stat_get(ST_TIMEOUTS);
  run();
  EXPECT_EQ(replied_ids(), (std::vector<uint64_t>{0, 1, 2, kAfterLogon}));
  EXPECT_EQ(tw3_stat_get(ST_TIMEOUTS) - timeouts, 1);
}

TEST_F(Loop, TransportFailuresEndTheConnection) {
  sio_.steps.push_back(tw3test::step_fail());
  sio_.add(echo_frame(1));
  run();
  EXPECT_TRUE(sio_.written.empty());
  EXPECT_EQ(sio_.reads, 1);

  // A failed write of the session answer ends it too.
  sio_ = {};
  sio_.fail_writes_from = 0;
  sio_.add({NB_SESSION_REQUEST, 0, 0, 0});
  sio_.add(echo_frame(2));
  run();
  EXPECT_TRUE(sio_.logged.empty());

  // A failed reply write ends it after the message in hand.
  sio_ = {};
  sio_.fail_writes_from = 0;
  sio_.add(echo_frame(0));
  sio_.add(echo_frame(1));
  run();
  ASSERT_EQ(sio_.logged.size(), 2u);
  EXPECT_EQ(sio_.steps.size(), 1u);
}

TEST_F(Loop, ProtocolErrorInAFirstHeaderClosesAfterTheMessage) {
  sio_.add(tw3test::nb_frame(bytes(64, 0x42)));
  sio_.add(echo_frame(1));
  run();
  EXPECT_TRUE(sio_.written.empty());
  EXPECT_EQ(sio_.steps.size(), 1u);
}

// A CANCEL is never answered itself (clients take a signed or any answer to
// it as an attack); one that names nothing waiting gets nothing, and the
// connection goes on.
TEST_F(Loop, CancelOfNothingWaitingIsNotAnswered) {
  req q;
  q.command = SMB2_CANCEL;
  q.message_id = 9;
  sio_.add(tw3test::nb_frame(tw3test::smb2_request(q)));
  sio_.add(echo_frame(0));
  run();
  const auto sent = sio_.sent_messages();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(le16(sent[0].data() + HDR_COMMAND), SMB2_ECHO);
}

TEST_F(Loop, RefusedClientIsNeitherReadNorCounted) {
  const int64_t refused = tw3_stat_get(ST_REFUSED_ALLOW);
  sio_.add(echo_frame(1));
  run("10.1.2.3");
  EXPECT_EQ(sio_.reads, 0);
  EXPECT_TRUE(sio_.written.empty());
  EXPECT_EQ(tw3_stat_get(ST_REFUSED_ALLOW) - refused, 1);

  ASSERT_EQ(tw3_allow_cidr("10.0.0.0/8"), 0);
  sio_ = {};
  sio_.add(echo_frame(0));
  run("10.1.2.3");
  EXPECT_EQ(replied_ids(), std::vector<uint64_t>{0});
}

}  // namespace
