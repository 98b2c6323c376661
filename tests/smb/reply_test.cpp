// Header parsing, the bounded reader, response building and the name tables.
#include <gtest/gtest.h>

#include <cstring>

#include "engine_fixture.h"

using tw3test::bytes;

namespace {

bytes echo_request() { return tw3test::smb2_request({}); }

TEST(ParseHeader, RejectsMalformedHeaders) {
  struct row {
    const char* why;
    size_t cut;       // bytes kept (0: all)
    size_t at;        // byte to change
    uint8_t value;
  } rows[] = {
      {"63 bytes", 63, 0, 0xFE},
      {"ProtocolId FE 'SMC'", 0, 3, 'C'},
      {"SMB1 ProtocolId", 0, 0, 0xFF},
      {"StructureSize 65", 0, 4, 65},
      {"StructureSize high byte", 0, 5, 1},
  };
  for (const row& r : rows) {
    bytes b = echo_request();
    b[r.at] = r.value;
    if (r.cut) b.resize(r.cut);
    auto copy = tw3test::exact_copy(b);
    tw3_hdr h{};
    EXPECT_EQ(parse_header(copy.get(), b.size(), &h, nullptr), -1) << r.why;
  }
}

TEST(ParseHeader, ReadsFieldsAndKeepsOnlyTheLowCommandByte) {
  tw3test::req q;
  q.command = 0x0105;
  q.credit_charge = 3;
  q.credit_request = 300;
  q.flags = SMB2_FLAGS_SIGNED | SMB2_FLAGS_RELATED_OPERATIONS;
  q.message_id = 0x1122334455667788ULL;
  q.tree_id = 0xAABBCCDD;
  q.session_id = 0x0102030405060708ULL;
  bytes b = tw3test::smb2_request(q);
  tw3_hdr h{};
  uint64_t body = 0;
  ASSERT_EQ(parse_header(b.data(), b.size(), &h, &body), 0);
  EXPECT_EQ(body, 64u);
  EXPECT_EQ(h.command, 5);
  EXPECT_EQ(h.credit_charge, 3);
  EXPECT_EQ(h.credit_request, 300);
  EXPECT_EQ(h.message_id, q.message_id);
  EXPECT_EQ(h.tree_id, q.tree_id);
  EXPECT_EQ(h.session_id, q.session_id);
  EXPECT_EQ(h.signature, 48u);
  EXPECT_EQ(h.is_signed, 1);
}

TEST(Reader, ShortReadsKeepWhatIsThereAndStayBad) {
  const uint8_t data[] = {0x11, 0x22, 0x33};
  tw3_rd r{data, sizeof data, 0, 0};
  EXPECT_EQ(rd_u32(&r), 0x332211u);
  EXPECT_EQ(r.bad, 1);
  EXPECT_EQ(r.pos, 3u);
  EXPECT_EQ(rd_u16(&r), 0u);
  EXPECT_EQ(r.bad, 1);

  tw3_rd ok{data, sizeof data, 0, 0};
  EXPECT_EQ(rd_u16(&ok), 0x2211u);
  EXPECT_EQ(rd_u8(&ok), 0x33u);
  EXPECT_EQ(ok.bad, 0);
  rd_skip(&ok, 1);
  EXPECT_EQ(ok.bad, 1);
}

TEST(Reader, RangeChecksDoNotWrap) {
  const uint8_t data[8] = {};
  tw3_rd r{data, sizeof data, 0, 0};
  EXPECT_TRUE(rd_has(&r, 0, 8));
  EXPECT_TRUE(rd_has(&r, 8, 0));
  EXPECT_FALSE(rd_has(&r, 9, 0));
  EXPECT_FALSE(rd_has(&r, 4, UINT64_MAX - 2));
  EXPECT_FALSE(rd_has(&r, UINT64_MAX, 2));
  EXPECT_EQ(rd_at(&r, 4, 4), data + 4);
  EXPECT_EQ(r.bad, 0);
  EXPECT_EQ(rd_at(&r, 5, 4), nullptr);
  EXPECT_EQ(r.bad, 1);
  tw3_rd s{data, sizeof data, 6, 0};
  rd_skip(&s, UINT64_MAX);
  EXPECT_EQ(s.bad, 1);
  EXPECT_EQ(s.pos, 8u);
}

TEST(Reply, ChainingPadsToEightAndLinks) {
  tw3_reply r{};
  rep_begin(&r, SMB2_READ, 0, 7, 9, 11, 1, 1);
  tw3_buf_put(&r.b, "123456", 6);  // a 70-byte response
  rep_chain(&r, SMB2_CLOSE, STATUS_ACCESS_DENIED, 8, 9, 11, 0, 2);
  ASSERT_EQ(r.b.len, 72u + 64u);
  EXPECT_EQ(r.last_hdr, 72u);
  EXPECT_EQ(r.b.data[70], 0);
  EXPECT_EQ(r.b.data[71], 0);
  EXPECT_EQ(le32(r.b.data + HDR_NEXT_COMMAND), 72u);
  EXPECT_EQ(le32(r.b.data + HDR_FLAGS), SMB2_FLAGS_SERVER_TO_REDIR);
  const uint8_t* h2 = r.b.data + 72;
  EXPECT_EQ(le32(h2 + HDR_FLAGS), SMB2_FLAGS_SERVER_TO_REDIR | SMB2_FLAGS_RELATED_OPERATIONS);
  EXPECT_EQ(le32(h2 + HDR_STATUS), STATUS_ACCESS_DENIED);
  EXPECT_EQ(le32(h2 + HDR_NEXT_COMMAND), 0u);
  EXPECT_EQ(h2[HDR_CREDITS], 2);
  rep_set_status(&r, STATUS_CANCELLED);
  EXPECT_EQ(le32(h2 + HDR_STATUS), STATUS_CANCELLED);
  EXPECT_EQ(le32(r.b.data + HDR_STATUS), 0u);  // the earlier response keeps its own
  tw3_buf_free(&r.b);
}

TEST(Reply, SendRuleWithholdsOnlyTheBareSuccessHeader) {
  tw3_reply r{};
  EXPECT_EQ(tw3_reply_sendable(&r, 1), 0);
  rep_begin(&r, SMB2_ECHO, 0, 1, 0, 0, 0, 1);
  EXPECT_EQ(tw3_reply_sendable(&r, 1), 0);
  rep_set_status(&r, STATUS_ACCESS_DENIED);
  EXPECT_EQ(tw3_reply_sendable(&r, 1), 1);
  EXPECT_EQ(tw3_reply_sendable(&r, 0), 0);
  rep_set_status(&r, 0);
  w32(&r.b, 0);
  EXPECT_EQ(tw3_reply_sendable(&r, 1), 1);
  tw3_buf_free(&r.b);
}

class ErrReply : public EngineTest {};

TEST_F(ErrReply, MakesTheResponseAnErrorAndSendsNothing) {
  rep_begin(&r_, SMB2_ECHO, 0, 1, 0, 0, 0, 1);
  w32(&r_.b, 0);
  rep_chain(&r_, SMB2_TREE_CONNECT, 0, 2, 0x77, 3, 0, 1);
  w32(&r_.b, 0xAAAAAAAA);  // a body begun before the refusal is dropped
  rep_error(&r_, STATUS_USER_SESSION_DELETED);
  const auto rs = responses();
  ASSERT_EQ(rs.size(), 2u);
  EXPECT_EQ(rs[0].status, 0u);
  EXPECT_EQ(rs[1].status, STATUS_USER_SESSION_DELETED);
  EXPECT_EQ(rs[1].session_id, 0x77u);
  EXPECT_EQ(rs[1].tree_id, 3u);
  EXPECT_EQ(rs[1].len, tw3test::kErrorResponseSize);
  EXPECT_EQ(bytes(r_.b.data + rs[1].off + 64, r_.b.data + r_.b.len), tw3test::kErrorBody);
  EXPECT_TRUE(sio_.written.empty());
}

TEST_F(ErrReply, SendFrameFramesCountsAndSurvivesAFailedWrite) {
  const int64_t before = stat(ST_BYTES_SENT);
  const bytes msg = echo_request();
  sio_.fail_writes_from = 0;
  send_frame(&c_, msg.data(), msg.size());
  EXPECT_EQ(c_.closing, 1);
  EXPECT_EQ(sio_.writes, 1);  // the header and the message leave together
  ASSERT_EQ(sio_.logged.size(), 1u);
  EXPECT_EQ(sio_.logged[0].second, msg);
  EXPECT_EQ(stat(ST_BYTES_SENT) - before, static_cast<int64_t>(msg.size()));

  tw3test::script_io ok;
  tw3_io io = ok.io();
  c_.io = &io;
  c_.io_ctx = io.ctx;
  send_frame(&c_, msg.data(), msg.size());
  const bytes want = tw3test::nb_frame(msg);
  EXPECT_EQ(ok.written, want);
}

TEST(Names, FramesCommandsAndStatuses) {
  struct row {
    bytes msg;
    const char* name;
  } rows[] = {
      {{0xFF, 'S', 'M'}, "?"},
      {{0xFF, 'S', 'M', 'B'}, "SMB1"},
      {{0xFF, 'S', 'M', 'B', 0x72}, "SMB1_NEGOTIATE"},
      {{0xFF, 'S', 'M', 'B', 0x73}, "SMB1"},
      {{0xFE, 'S', 'M', 'B', 0x40}, "?"},
      {tw3test::smb2_request({.command = SMB2_READ}), "READ"},
      {tw3test::smb2_request({.command = SMB2_OPLOCK_BREAK}), "OPLOCK_BREAK"},
      {tw3test::smb2_request({.command = 19}), "?"},
  };
  for (const row& r : rows) {
    auto copy = tw3test::exact_copy(r.msg);
    EXPECT_STREQ(tw3_frame_name(copy.get(), r.msg.size()), r.name);
  }
  EXPECT_STREQ(tw3_status_name(0x80000005), "END_OF_FILE");
  EXPECT_STREQ(tw3_status_name(0xC0000034), "OBJECT_NOT_FOUND");
  EXPECT_STREQ(tw3_status_name(0xC000006D), "LOGON_FAILURE");
  EXPECT_STREQ(tw3_status_name(0xC0000120), "CANCELLED");
  EXPECT_STREQ(tw3_status_name(0xC0000064), "STATUS?") << "no logon answers NO_SUCH_USER";
  EXPECT_STREQ(tw3_cmd_name(17), "SET_INFO");
  EXPECT_STREQ(tw3_cmd_name(255), "?");
}

}  // namespace
