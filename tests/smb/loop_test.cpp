// The connection loop over a scripted transport: NetBIOS framing, session
// requests, the size limit, zero reads, timeouts and transport failures.
#include <gtest/gtest.h>

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

TEST_F(Loop, MessageSizeLimitIsTheSmallerOfTheOptionAndFourMiB) {
  struct row {
    const char* max_message;
    uint32_t len;
    bool accepted;
  } rows[] = {
      {"65536", 65536, true},         {"65536", 65537, false},
      {"16777216", 4194304, true},    {"16777216", 4194305, false},
      {"4194304", 4194304, true},
  };
  for (const row& r : rows) {
    ASSERT_EQ(tw3_set_option("max_message", r.max_message), 0);
    sio_ = {};
    req q;
    q.message_id = 0;
    const bytes head = tw3test::smb2_request(q);
    sio_.add(tw3test::concat({{0, static_cast<uint8_t>(r.len >> 16), static_cast<uint8_t>(r.len >> 8),
                               static_cast<uint8_t>(r.len)},
                              head}));
    sio_.steps.push_back(tw3test::step_fill(r.len - head.size()));
    const int64_t errors = tw3_stat_get(ST_PROTOCOL_ERRORS);
    run();
    if (r.accepted) {
      EXPECT_EQ(replied_ids(), std::vector<uint64_t>{0}) << r.len;
      ASSERT_FALSE(sio_.logged.empty());
      EXPECT_EQ(sio_.logged[0].second.size(), r.len);
    } else {
      EXPECT_TRUE(sio_.written.empty()) << r.len;
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

TEST_F(Loop, CancelIsAnsweredWithAnErrorResponse) {
  req q;
  q.command = SMB2_CANCEL;
  q.message_id = 9;
  sio_.add(tw3test::nb_frame(tw3test::smb2_request(q)));
  run();
  const auto sent = sio_.sent_messages();
  ASSERT_EQ(sent.size(), 1u);
  ASSERT_EQ(sent[0].size(), tw3test::kErrorResponseSize);
  EXPECT_EQ(le32(sent[0].data() + HDR_STATUS), STATUS_CANCELLED);
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
