// The srvsvc pipe spoken through WRITE and READ (as impacket's listShares
// does): the write gate's one exception, the answers waiting on the open as
// messages, their bound, and every WRITE that must stay refused.
#include <gtest/gtest.h>

#include <string>

#include "common/smb_frames.h"
#include "platform/tempdir.h"
#include "smb/files_sim.h"

namespace {

using namespace files_sim;

constexpr uint32_t kTransceive = 0x0011C017;

class Pipe : public ::testing::Test {
 protected:
  void SetUp() override {
    tw3_config_reset_for_tests();
    ASSERT_TRUE(t.ok());
    ASSERT_TRUE(t.dir("b"));
    ASSERT_TRUE(t.file("b/f", "f"));
    ASSERT_EQ(tw3_add_share("b", t.sub("b").c_str()), 0) << tw3_error();
    ipc = c.connect("IPC$");
    pipe = c.open(ipc, "srvsvc");
  }
  void TearDown() override { tw3_config_reset_for_tests(); }

  // What the same PDU yields through IOCTL transceive: the reference answer.
  bytes transceived(const bytes& pdu) {
    response r = c.ioctl(pipe, kTransceive, pdu);
    EXPECT_EQ(r.status(), STATUS_SUCCESS);
    return r.body_bytes(48, r.b32(36));
  }
  // A successful WRITE of the whole PDU.
  void write_ok(const bytes& pdu) {
    response w = c.write(pipe, pdu);
    ASSERT_EQ(w.status(), STATUS_SUCCESS);
    ASSERT_EQ(w.body_size(), 16u);
    EXPECT_EQ(w.b16(0), 17);
    EXPECT_EQ(w.b32(4), pdu.size()) << "Count";
  }
  // The data of a READ on the pipe that answered `status`.
  bytes read_data(uint32_t length, uint32_t status) {
    response r = c.read(pipe, 0, length);
    EXPECT_EQ(r.status(), status);
    if (r.status() != status || r.body_size() < 16) return {};
    EXPECT_EQ(r.b16(0), 17);
    EXPECT_EQ(r.body_bytes(2, 1)[0], 80);
    return r.body_bytes(16, r.b32(4));
  }
  // The fragments of one answer, read one READ each up to the last fragment.
  std::vector<bytes> read_fragments() {
    std::vector<bytes> out;
    for (int i = 0; i < 100; ++i) {
      bytes f = read_data(65536, STATUS_SUCCESS);
      if (f.size() < 24) break;
      out.push_back(f);
      if (f[3] & 0x02) return out;  // PFC_LAST_FRAG
    }
    ADD_FAILURE() << "no last fragment after " << out.size();
    return out;
  }
  void expect_nothing_waiting() {
    response r = c.read(pipe, 0, 4096);
    EXPECT_EQ(r.status(), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(r.body_bytes(0, r.body_size()), tw3test::kErrorBody);
  }

  temp_dir t;
  conn c;
  uint32_t ipc = 0;
  uint64_t pipe = 0;
};

TEST_F(Pipe, BindAndShareEnumerationThroughWriteAndRead) {
  const int64_t refused = tw3_stat_get(ST_MUTATING_REFUSED);
  expect_nothing_waiting();

  write_ok(bind_pdu(3, 1));
  const bytes bind_ack = read_data(65536, STATUS_SUCCESS);
  ASSERT_EQ(bind_ack.size(), 68u);
  EXPECT_EQ(bind_ack[2], 12) << "bind_ack";
  EXPECT_EQ(le32(bind_ack.data() + 12), 3u) << "call_id";
  EXPECT_EQ(bind_ack, transceived(bind_pdu(3, 1)));
  expect_nothing_waiting();

  const int64_t queries = tw3_stat_get(ST_SRVSVC_QUERIES);
  write_ok(request_pdu(4, 15));
  const bytes answer = read_data(65536, STATUS_SUCCESS);
  EXPECT_EQ(tw3_stat_get(ST_SRVSVC_QUERIES) - queries, 1);
  ASSERT_GE(answer.size(), 24u);
  EXPECT_EQ(answer[2], 2) << "response";
  EXPECT_EQ(size_t(answer[8] | answer[9] << 8), answer.size()) << "frag_length";
  EXPECT_EQ(answer, transceived(request_pdu(4, 15)));
  EXPECT_EQ(le32(answer.data() + 24 + 12), 2u) << "EntriesRead: IPC$ and b";

  write_ok(request_pdu(5, 99));
  const bytes fault = read_data(65536, STATUS_SUCCESS);
  ASSERT_EQ(fault.size(), 32u);
  EXPECT_EQ(fault[2], 3);
  EXPECT_EQ(le32(fault.data() + 24), 0x1C010002u) << "nca_op_rng_error";

  EXPECT_EQ(tw3_stat_get(ST_MUTATING_REFUSED), refused) << "a pipe write is not a refused write";
}

TEST_F(Pipe, AShortReadTakesTheAnswerInPartsAndReadsNeverRunIntoTheNextAnswer) {
  const bytes whole = transceived(request_pdu(7, 15));
  const bytes bind_ack = transceived(bind_pdu(8, 1));
  write_ok(request_pdu(7, 15));
  write_ok(bind_pdu(8, 1));
  bytes got = read_data(10, STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(got.size(), 10u);
  const bytes rest = read_data(65536, STATUS_SUCCESS);
  got.insert(got.end(), rest.begin(), rest.end());
  EXPECT_EQ(got, whole) << "the rest of the first answer only";
  EXPECT_EQ(read_data(0, STATUS_BUFFER_OVERFLOW).size(), 0u) << "a zero-length read takes nothing";
  EXPECT_EQ(read_data(65536, STATUS_SUCCESS), bind_ack);
  expect_nothing_waiting();
}

TEST_F(Pipe, UnusablePdusAreAcceptedAndLeaveNothingToRead) {
  bytes shortened = request_pdu(9, 15);
  shortened.resize(27);
  bytes other_type = bind_pdu(1, 1);
  other_type[2] = 14;  // alter_context
  for (const bytes& pdu : {bytes(15, 5), shortened, other_type, bytes{}}) {
    write_ok(pdu);
    expect_nothing_waiting();
  }
}

TEST_F(Pipe, WaitingAnswersAreBounded) {
  // Many shares with long names make the largest enumeration the server sends.
  ASSERT_TRUE(t.dir("s"));
  for (int i = 0; i < TW3_MAX_SHARES - 1; ++i) {
    std::string name = std::to_string(1000 + i) + std::string(TW3_SHARE_NAME_MAX - 4, 'n');
    ASSERT_EQ(tw3_add_share(name.c_str(), t.sub("s").c_str()), 0) << tw3_error();
  }
  // Level 502 carries the most per share.
  write_ok(request_pdu(1, 15, 502));
  const std::vector<bytes> one = read_fragments();
  ASSERT_GT(one.size(), 10u);
  uint64_t queued = 0;  // each fragment waits as its bytes and a 32-bit length
  for (const bytes& f : one) queued += f.size() + 4;
  ASSERT_GT(queued, 50000u);
  int accepted = 0;
  uint32_t status = STATUS_SUCCESS;
  for (int i = 0; i < 16 && status == STATUS_SUCCESS; ++i) {
    status = c.write(pipe, request_pdu(uint32_t(i), 15, 502)).status();
    if (status == STATUS_SUCCESS) ++accepted;
  }
  EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(uint64_t(accepted), TW3_PIPE_PENDING_MAX / queued) << "as many as fit";
  EXPECT_GE(accepted, 2) << "room for two of the largest answers";
  for (int i = 0; i < accepted; ++i) {
    const std::vector<bytes> a = read_fragments();
    ASSERT_EQ(a.size(), one.size()) << i;
    for (const bytes& f : a) EXPECT_EQ(le32(f.data() + 12), uint32_t(i)) << "answers leave in order";
  }
  expect_nothing_waiting();
  write_ok(request_pdu(99, 15, 502));  // room again once read
  EXPECT_EQ(read_fragments().size(), one.size());
}

TEST_F(Pipe, WritesTheGateStillRefuses) {
  const uint32_t tree = c.connect("b");
  const uint64_t file = c.open(tree, "f");
  const uint64_t dir = c.open(tree, "");
  const uint64_t closed = c.open(ipc, "srvsvc");
  ASSERT_EQ(c.close(closed).status(), STATUS_SUCCESS);
  bytes short_body = write_body(pipe, {});
  short_body.resize(20);  // ends inside FileId.Persistent
  struct Case {
    const char* what;
    std::vector<request> reqs;
    size_t refused_at;  // index of the WRITE's response
  };
  const bytes pdu = bind_pdu(1, 1);
  const request to_pipe{SMB2_WRITE, 0, 0, kSessionId, write_body(pipe, pdu)};
  const request echo{SMB2_ECHO, 0, 0, kSessionId, {4, 0, 0, 0}};
  request related_pipe{SMB2_WRITE, 0, SMB2_FLAGS_RELATED_OPERATIONS, kSessionId, write_body(kAllOnes, pdu)};
  const Case cases[] = {
      {"a file", {{SMB2_WRITE, 0, 0, kSessionId, write_body(file, pdu)}}, 0},
      {"a directory", {{SMB2_WRITE, 0, 0, kSessionId, write_body(dir, pdu)}}, 0},
      {"an unknown FileId", {{SMB2_WRITE, 0, 0, kSessionId, write_body(0x777, pdu)}}, 0},
      {"a closed pipe", {{SMB2_WRITE, 0, 0, kSessionId, write_body(closed, pdu)}}, 0},
      {"a body without FileId", {{SMB2_WRITE, 0, 0, kSessionId, short_body}}, 0},
      {"the pipe, first of a compound", {to_pipe, echo}, 0},
      {"the pipe, later in a compound", {echo, to_pipe}, 1},
      {"a pipe created in the same compound",
       {{SMB2_CREATE, ipc, 0, kSessionId, create_body("srvsvc")}, related_pipe}, 1},
  };
  for (const Case& k : cases) {
    const int64_t refused = tw3_stat_get(ST_MUTATING_REFUSED);
    auto rs = c.exchange(k.reqs);
    ASSERT_GT(rs.size(), k.refused_at) << k.what;
    const response& w = rs[k.refused_at];
    EXPECT_EQ(w.status(), STATUS_ACCESS_DENIED) << k.what;
    EXPECT_EQ(w.body_bytes(0, tw3test::kErrorBody.size()), tw3test::kErrorBody) << k.what;
    EXPECT_EQ(tw3_stat_get(ST_MUTATING_REFUSED) - refused, 1) << k.what;
    expect_nothing_waiting();
  }
  EXPECT_EQ(c.read(file, 0, 10).body_bytes(16, 1), bytes{'f'}) << "the file is untouched";
}

TEST_F(Pipe, MalformedPipeWritesAreRefusedByTheHandler) {
  const bytes pdu = bind_pdu(1, 1);
  bytes bad_size = write_body(pipe, pdu);
  bad_size[0] = 48;
  bytes channel = write_body(pipe, pdu);
  put_le32(channel.data() + 32, 1);
  bytes past_end = write_body(pipe, pdu);
  put_le32(past_end.data() + 4, uint32_t(pdu.size() + 1));
  bytes huge_length = write_body(pipe, pdu);
  put_le32(huge_length.data() + 4, 0xFFFFFFFF);
  bytes short_fixed = write_body(pipe, {});
  short_fixed.resize(40);  // FileId present, the rest of the fixed part missing
  struct Case {
    const char* what;
    bytes body;
    uint32_t status;
  };
  const Case cases[] = {
      {"StructureSize 48", bad_size, STATUS_INVALID_PARAMETER},
      {"short fixed part", short_fixed, STATUS_INVALID_PARAMETER},
      {"RDMA channel", channel, STATUS_NOT_SUPPORTED},
      {"DataOffset inside the header", write_body(pipe, pdu, 32), STATUS_INVALID_PARAMETER},
      {"DataOffset inside the fixed part", write_body(pipe, pdu, 64 + 40), STATUS_INVALID_PARAMETER},
      {"DataOffset past the message", write_body(pipe, pdu, 0xFFFF), STATUS_INVALID_PARAMETER},
      {"data past the message", past_end, STATUS_INVALID_PARAMETER},
      {"Length 0xFFFFFFFF", huge_length, STATUS_INVALID_PARAMETER},
      {"a PDU of 16,385 bytes", write_body(pipe, bytes(16385, 0)), STATUS_INVALID_PARAMETER},
  };
  for (const Case& k : cases) {
    const int64_t refused = tw3_stat_get(ST_MUTATING_REFUSED);
    response r = c.one(c.on(SMB2_WRITE, k.body));
    EXPECT_EQ(r.status(), k.status) << k.what;
    EXPECT_EQ(r.body_bytes(0, r.body_size()), tw3test::kErrorBody) << k.what;
    EXPECT_EQ(tw3_stat_get(ST_MUTATING_REFUSED), refused) << k.what;
    expect_nothing_waiting();
  }
}

TEST_F(Pipe, CloseAndTheConnectionEndDropWaitingAnswers) {
  write_ok(bind_pdu(1, 1));
  ASSERT_EQ(c.close(pipe).status(), STATUS_SUCCESS);
  EXPECT_EQ(c.read(pipe, 0, 100).status(), STATUS_FILE_CLOSED);
  pipe = c.open(ipc, "srvsvc");
  write_ok(request_pdu(2, 15));
  // Freed with the opens at the end of the connection; the sanitizers see leaks.
}

}  // namespace
