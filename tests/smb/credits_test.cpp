// Credits and MessageIds: the window a fresh connection starts with, grants
// bounded by max_credits, ids used once, multi-credit charges, CANCEL, and
// a replayed message through the connection loop.
#include <gtest/gtest.h>

#include "engine_fixture.h"

using tw3test::bytes;
using tw3test::req;

namespace {

class Credits : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    keep_window_ = true;  // the connection's own window, from {0}
  }
  static req echo(uint64_t mid, uint16_t ask = 1, uint16_t charge = 1) {
    req q;
    q.message_id = mid;
    q.credit_request = ask;
    q.credit_charge = charge;
    return q;
  }
  // Sends one message; the credits of each response, or nothing when the
  // connection was ended instead.
  std::vector<int> send(const std::vector<req>& reqs) {
    run(tw3test::compound(reqs));
    std::vector<int> out;
    for (const auto& r : responses()) out.push_back(r.credits);
    return out;
  }
  bool ended_with_protocol_error(const std::vector<req>& reqs) {
    const int64_t errors = stat(ST_PROTOCOL_ERRORS);
    c_.closing = 0;
    const bool silent = send(reqs).empty();
    return silent && c_.closing == 1 && stat(ST_PROTOCOL_ERRORS) - errors == 1;
  }
};

TEST_F(Credits, AFreshConnectionHoldsIdZeroOnly) {
  EXPECT_TRUE(ended_with_protocol_error({echo(1)}));  // uses nothing
  EXPECT_EQ(send({echo(0, 3)}), std::vector<int>{3});
  EXPECT_EQ(tw3_credits_held(&c_), 3u);  // ids 1, 2, 3
  // Out of order is fine; twice, or beyond what was granted, is not.
  EXPECT_EQ(send({echo(2, 0)}), std::vector<int>{1});  // asking 0 still gets one
  EXPECT_TRUE(ended_with_protocol_error({echo(2)}));
  EXPECT_TRUE(ended_with_protocol_error({echo(5)}));
  EXPECT_EQ(send({echo(1)}), std::vector<int>{1});
  EXPECT_EQ(c_.seq_low, 3u);  // 0, 1 and 2 used
  EXPECT_EQ(send({echo(3), echo(4), echo(5)}), (std::vector<int>{1, 1, 1}));
}

TEST_F(Credits, GrantsStayWithinMaxCredits) {
  ASSERT_EQ(tw3_set_option("max_credits", "8"), 0);
  tw3_opts_get(&c_.opts);
  EXPECT_EQ(send({echo(0, 100)}), std::vector<int>{8});
  EXPECT_EQ(send({echo(1, 100)}), std::vector<int>{1});  // 7 still held
  EXPECT_EQ(send({echo(2, 100), echo(3, 100)}), (std::vector<int>{1, 1}));
  EXPECT_EQ(tw3_credits_held(&c_), 8u);
  // Lowered below what is held (ids 4..11): nothing comes back until the
  // client has spent down to it, and then the one credit each answer uses.
  ASSERT_EQ(tw3_set_option("max_credits", "1"), 0);
  tw3_opts_get(&c_.opts);
  for (uint64_t mid = 4; mid < 11; ++mid) EXPECT_EQ(send({echo(mid, 5)}), std::vector<int>{0}) << mid;
  for (uint64_t mid = 11; mid < 15; ++mid) EXPECT_EQ(send({echo(mid, 5)}), std::vector<int>{1}) << mid;
  EXPECT_EQ(tw3_credits_held(&c_), 1u);
}

TEST_F(Credits, MultiCreditRequestsUseTheirWholeRangeAndPayForTheirPayload) {
  send({echo(0, 64)});  // ids 1..64
  c_.negotiated = 1;
  give_session_and_tree();
  // CreditCharge 4 at id 1 uses 1..4.
  EXPECT_EQ(send({echo(1, 4, 4)}), std::vector<int>{4});
  EXPECT_TRUE(ended_with_protocol_error({echo(3)}));
  // A range that leaves the window.
  EXPECT_TRUE(ended_with_protocol_error({echo(60, 1, 16)}));

  // READ of Length L costs ceil(L / 64 KiB); charge 0 pays for 64 KiB.
  struct row {
    uint32_t length;
    uint16_t charge;
    bool refused;
  } rows[] = {{65536, 1, false}, {65537, 1, true}, {65537, 2, false}, {1048576, 16, false},
              {1048576, 15, true}, {65536, 0, false}, {65537, 0, true}};
  uint64_t mid = 5;
  for (const row& r : rows) {
    req read;
    read.command = SMB2_READ;
    read.message_id = mid;
    read.credit_charge = r.charge;
    read.credit_request = r.charge == 0 ? 1 : r.charge;
    read.session_id = kSession;
    read.tree_id = kTree;
    read.body = bytes(49, 0);
    read.body[0] = 49;
    put_le32(read.body.data() + 4, r.length);
    mid += r.charge == 0 ? 1 : r.charge;
    const int64_t errors = stat(ST_PROTOCOL_ERRORS);
    run(tw3test::smb2_request(read));
    const auto rs = responses();
    ASSERT_EQ(rs.size(), 1u) << r.length << "/" << r.charge;
    // A charge too small is refused before the FileId is looked up.
    EXPECT_EQ(rs[0].status, r.refused ? STATUS_INVALID_PARAMETER : STATUS_FILE_CLOSED);
    EXPECT_EQ(stat(ST_PROTOCOL_ERRORS) - errors, r.refused ? 1 : 0) << r.length << "/" << r.charge;
  }
  // Other commands carry a charge of 1 whatever they ask to receive.
  req qi;
  qi.command = SMB2_QUERY_INFO;
  qi.message_id = mid;
  qi.session_id = kSession;
  qi.tree_id = kTree;
  qi.body = bytes(41, 0);
  qi.body[0] = 41;
  put_le32(qi.body.data() + 4, 1048576);
  const int64_t errors = stat(ST_PROTOCOL_ERRORS);
  run(tw3test::smb2_request(qi));
  EXPECT_EQ(stat(ST_PROTOCOL_ERRORS), errors);
}

TEST_F(Credits, CancelUsesNoIdAndEarnsNoCredit) {
  req cancel = echo(0, 5);
  cancel.command = SMB2_CANCEL;
  EXPECT_TRUE(send({cancel}).empty()) << "a CANCEL is never answered";
  EXPECT_TRUE(send({cancel}).empty());
  EXPECT_EQ(send({echo(0)}), std::vector<int>{1});
}

TEST_F(Credits, EveryRequestOfACompoundIsChecked) {
  EXPECT_EQ(send({echo(0, 3), echo(1), echo(2)}), (std::vector<int>{3, 1, 1}));
  // A repeated id anywhere drops the whole message.
  EXPECT_TRUE(ended_with_protocol_error({echo(3), echo(4), echo(4)}));
}

TEST_F(Credits, AnSmb1NegotiateStandsForIdZero) {
  bytes smb1 = {0xFF, 'S', 'M', 'B', 0x72};
  smb1.resize(40, 0);
  const std::string dialect = "\x02SMB 2.???";
  smb1.insert(smb1.end(), dialect.begin(), dialect.end() + 1);
  run(smb1);
  EXPECT_EQ(c_.seq_low, 1u);
  EXPECT_EQ(tw3_credits_held(&c_), 1u);  // the SMB2 NEGOTIATE's id 1
  c_.closing = 0;
  run(smb1);
  EXPECT_EQ(c_.closing, 1);
}

// A message replayed on the wire is answered once; its copy ends the connection.
TEST(CreditsLoop, AReplayedMessageEndsTheConnection) {
  tw3_config_reset_for_tests();
  tw3test::script_io sio;
  req q;
  q.message_id = 0;
  const bytes frame = tw3test::nb_frame(tw3test::smb2_request(q));
  sio.add(frame);
  sio.add(frame);
  req after;
  after.message_id = 1;
  sio.add(tw3test::nb_frame(tw3test::smb2_request(after)));
  const tw3_io io = sio.io();
  tw3_ip peer{};
  ASSERT_EQ(tw3_ip_parse("127.0.0.1", &peer), 0);
  const int64_t errors = tw3_stat_get(ST_PROTOCOL_ERRORS);
  tw3_sess_run(&io, &peer, nullptr, 0);
  EXPECT_EQ(sio.sent_messages().size(), 1u);
  EXPECT_EQ(tw3_stat_get(ST_PROTOCOL_ERRORS) - errors, 1);
  EXPECT_EQ(sio.steps.size(), 1u);  // nothing was read after the replay
}

}  // namespace
