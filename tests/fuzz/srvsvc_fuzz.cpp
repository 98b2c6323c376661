// libFuzzer target for the DCE/RPC PDUs of the srvsvc pipe: bind, requests
// (the operations served and any other operation number, whole or in
// fragments) and whatever else arrives, both alone (one PDU on a fresh pipe)
// and as WRITE and READ see the pipe (a call's fragments gathered across
// records, answers waiting as messages, read in pieces of any size).
// Input: records of [u8 read size / 16][u16 length][PDU]. Checks that every
// answer is a chain of whole DCE/RPC fragments, that the pipe never holds
// more than its bounds, and that a read never hands out more than asked for
// or than is waiting.
#include <cstring>
#include <span>

#include "config/config.h"
#include "fuzz/fuzz_target.h"
#include "smb/files.h"
#include "smb/smb.h"

namespace {

constexpr size_t kRecordHeader = 3;
constexpr int kMaxRecords = 64;
constexpr uint64_t kReadUnit = 16;
constexpr size_t kPduHeader = 16;
constexpr size_t kFragLengthAt = 8;
constexpr uint8_t kRpcVersion = 5;
constexpr uint64_t kMsgLengthSize = 4;

// One pipe message: whole DCE/RPC fragments and nothing else.
void check_fragments(const uint8_t* m, uint64_t len) {
  uint64_t at = 0;
  while (at < len) {
    TW3_FUZZ_CHECK(len - at >= kPduHeader && m[at] == kRpcVersion);
    const uint64_t frag = m[at + kFragLengthAt] | m[at + kFragLengthAt + 1] << 8;
    TW3_FUZZ_CHECK(frag >= kPduHeader && frag <= len - at);
    at += frag;
  }
}

// An answer is a list of messages, each a 32-bit length and its bytes.
void check_messages(const tw3_buf& b) {
  uint64_t at = 0;
  while (at < b.len) {
    TW3_FUZZ_CHECK(b.len - at >= kMsgLengthSize);
    const uint64_t n = uint64_t(b.data[at]) | uint64_t(b.data[at + 1]) << 8 |
                       uint64_t(b.data[at + 2]) << 16 | uint64_t(b.data[at + 3]) << 24;
    at += kMsgLengthSize;
    TW3_FUZZ_CHECK(n <= b.len - at);
    check_fragments(b.data + at, n);
    at += n;
  }
}

}  // namespace

TW3_FUZZ_ENTRY(srvsvc) {
  static const bool ready = [] {
    // Shares of several name lengths for the enumeration (any existing folders).
    return tw3_add_share("public", "/tmp") == 0 && tw3_add_share("a_longer_share_name", "/") == 0;
  }();
  (void)ready;  // another target in the same process may have reset the tables
  tw3_open pipe{};
  pipe.is_pipe = 1;
  size_t at = 0;
  for (int rec = 0; rec < kMaxRecords && size - at >= kRecordHeader; ++rec) {
    const uint64_t read_size = data[at] * kReadUnit;
    const size_t want = data[at + 1] | data[at + 2] << 8;
    at += kRecordHeader;
    const size_t n = want < size - at ? want : size - at;
    const std::span<const uint8_t> pdu(data + at, n);
    at += n;

    tw3_buf answer{};
    tw3_rpc_pipe alone{};
    srvsvc_transceive(pdu, &alone, &answer);
    if (!answer.failed) check_messages(answer);
    tw3_buf_free(&answer);
    srvsvc_release(&alone);

    const int rc = srvsvc_pipe_write(&pipe, pdu);
    TW3_FUZZ_CHECK(rc == 0 || rc == -1);
    TW3_FUZZ_CHECK(pipe.pipe_out.len - pipe.pipe_out_pos <= TW3_PIPE_PENDING_MAX);
    TW3_FUZZ_CHECK(pipe.pipe_rpc.stub.len <= TW3_RPC_STUB_MAX);
    const uint64_t waiting = srvsvc_pipe_waiting(pipe);
    tw3_buf got{};
    uint64_t k = 0;
    const uint32_t st = srvsvc_pipe_read(&pipe, read_size, &got, &k);
    TW3_FUZZ_CHECK(k <= read_size && k <= waiting && (got.failed || got.len == k));
    TW3_FUZZ_CHECK(st != STATUS_BUFFER_OVERFLOW || k == read_size);
    tw3_buf_free(&got);
  }
  tw3_open_release(&pipe);
  return 0;
}
