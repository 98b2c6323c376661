// The srvsvc named pipe: DCE/RPC connection-oriented PDUs (C706, MS-RPCE
// 2.2.2) and the operations served on it. The state kept per pipe is the
// fragment size the client's bind asked for, which cuts a long answer into
// several response PDUs, each one message of the pipe (pipe.cpp), and a
// request arriving in several fragments, whose stub is gathered until its
// last fragment (C706 12.6). Calls are not multiplexed: their fragments
// come in order, one call after another.
#include <algorithm>
#include <array>
#include <iterator>

#include "smb/files.h"

namespace {

// PDU types (C706 12.6.4).
constexpr uint8_t kPtypeRequest = 0;
constexpr uint8_t kPtypeResponse = 2;
constexpr uint8_t kPtypeFault = 3;
constexpr uint8_t kPtypeBind = 11;
constexpr uint8_t kPtypeBindAck = 12;

constexpr size_t kPduHeaderSize = 16;
constexpr size_t kFlagsAt = 3;
constexpr size_t kFragLengthAt = 8;
constexpr size_t kCallIdAt = 12;
constexpr size_t kBindMaxRecvFragAt = kPduHeaderSize + 2;  // after max_xmit_frag
// Request and response headers: the common 16 bytes, alloc_hint, p_cont_id
// and opnum (request) or cancel_count and a reserved byte (response).
constexpr size_t kCallHeaderSize = kPduHeaderSize + 8;
// Every fragment's stub but the last is a multiple of 8 bytes, so the NDR
// alignment of the reassembled stub matches that of each piece.
constexpr size_t kStubAlign = 8;
constexpr size_t kOpnumAt = kPduHeaderSize + 6;
constexpr uint8_t kPfcFirstFrag = 0x01;
constexpr uint8_t kPfcLastFrag = 0x02;
constexpr std::array<uint8_t, 4> kDrepLittleAscii = {0x10, 0x00, 0x00, 0x00};

// The operations served, by opnum (MS-SRVS 3.1.4).
struct operation {
  uint16_t opnum;
  bool (*serve)(std::span<const uint8_t> args, tw3_buf* out);
};
constexpr operation kOperations[] = {
    {0, srvsvc_refuse_enum},             // NetrCharDevEnum
    {3, srvsvc_refuse_named_enum},       // NetrCharDevQEnum
    {8, srvsvc_refuse_named_enum},       // NetrConnectionEnum
    {9, srvsvc_refuse_user_enum},        // NetrFileEnum
    {12, srvsvc_refuse_user_enum},       // NetrSessionEnum
    {15, srvsvc_share_enum},             // NetrShareEnum
    {16, srvsvc_share_get_info},         // NetrShareGetInfo
    {20, srvsvc_share_check},            // NetrShareCheck
    {21, srvsvc_server_get_info},        // NetrServerGetInfo
    {23, srvsvc_refuse_disk_enum},       // NetrServerDiskEnum
    {26, srvsvc_refuse_enum},            // NetrServerTransportEnum
    {28, srvsvc_remote_tod},             // NetrRemoteTOD
    {36, srvsvc_share_enum_sticky},      // NetrShareEnumSticky
};
constexpr uint32_t kFaultOpRangeError = 0x1C010002;  // nca_op_rng_error: no such operation
constexpr uint32_t kFaultNdr = 0x000006F7;           // nca_s_fault_ndr: arguments unreadable
// nca_proto_error: a fragment out of sequence, or a request too long to gather.
constexpr uint32_t kFaultProtocolError = 0x1C01000B;

constexpr uint16_t kMaxFrag = 4280;
// The smallest fragment every receiver must accept (C706 12.6.3.1,
// MustRecvFragSize): a bind asking for less still gets fragments of this size.
constexpr uint16_t kMinFrag = 1432;
constexpr uint32_t kAssocGroup = 0x00006F79;
constexpr char kSecondaryAddr[] = "\\pipe\\srvsvc";  // 12 chars + NUL = 13
constexpr std::array<uint8_t, 16> kNdrSyntax = {0x04, 0x5d, 0x88, 0x8a, 0xeb, 0x1c, 0xc9, 0x11,
                                                0x9f, 0xe8, 0x08, 0x00, 0x2b, 0x10, 0x48, 0x60};
constexpr uint32_t kNdrVersion = 2;
constexpr size_t kContextCountAt = kPduHeaderSize + 8;  // after max_xmit, max_recv, assoc_group
constexpr uint16_t kResultAccept = 0;
constexpr uint16_t kResultNegotiateAck = 3;
constexpr uint16_t kBindTimeFeatures = 3;  // security context multiplexing | keep on orphan

// Starts a PDU, one message of `out`; its frag_length is patched by pdu_end.
size_t pdu_begin(tw3_buf* out, uint8_t ptype, uint32_t call_id,
                 uint8_t flags = kPfcFirstFrag | kPfcLastFrag) {
  pipe_msg_begin(out);
  size_t start = out->len;
  tw3_buf_byte(out, 5);  // rpc_vers
  tw3_buf_byte(out, 0);  // rpc_vers_minor
  tw3_buf_byte(out, ptype);
  tw3_buf_byte(out, flags);
  tw3_buf_put(out, kDrepLittleAscii.data(), kDrepLittleAscii.size());
  w16(out, 0);  // frag_length, patched
  w16(out, 0);  // auth_length
  w32(out, call_id);
  return start;
}

void pdu_end(tw3_buf* out, size_t start) {
  if (out->failed || out->len < start + kPduHeaderSize) return;
  uint64_t n = out->len - start;
  out->data[start + kFragLengthAt] = uint8_t(n);
  out->data[start + kFragLengthAt + 1] = uint8_t(n >> 8);
  pipe_msg_end(out, start);
}

// One result per offered presentation context, as a client matches them up:
// a client that offered one context rejects a bind_ack carrying two.
void put_bind_ack(tw3_buf* out, uint32_t call_id, uint8_t results, uint16_t xmit_frag) {
  size_t start = pdu_begin(out, kPtypeBindAck, call_id);
  w16(out, xmit_frag);
  w16(out, kMaxFrag);
  w32(out, kAssocGroup);
  w16(out, sizeof kSecondaryAddr);
  tw3_buf_put(out, kSecondaryAddr, sizeof kSecondaryAddr);
  tw3_buf_byte(out, 0);  // align to 4
  tw3_buf_byte(out, results);
  tw3_buf_put(out, "\0\0\0", 3);
  w16(out, kResultAccept);
  w16(out, 0);
  tw3_buf_put(out, kNdrSyntax.data(), kNdrSyntax.size());
  w32(out, kNdrVersion);
  if (results > 1) {
    w16(out, kResultNegotiateAck);
    w16(out, kBindTimeFeatures);
    std::array<uint8_t, 20> no_syntax{};
    tw3_buf_put(out, no_syntax.data(), no_syntax.size());
  }
  pdu_end(out, start);
}

// alloc_hint, p_cont_id, cancel_count, reserved: common to response and fault.
void put_call_prefix(tw3_buf* out, uint32_t alloc_hint) {
  w32(out, alloc_hint);
  w16(out, 0);
  tw3_buf_byte(out, 0);
  tw3_buf_byte(out, 0);
}

void put_fault(tw3_buf* out, uint32_t call_id, uint32_t status) {
  size_t start = pdu_begin(out, kPtypeFault, call_id);
  put_call_prefix(out, 0);
  w32(out, status);
  w32(out, 0);
  pdu_end(out, start);
}

// Answers a whole request: its operation's response fragments, or a fault.
void answer_call(uint32_t call_id, uint16_t opnum, std::span<const uint8_t> stub, uint16_t frag,
                 tw3_buf* out) {
  const operation* op = std::find_if(std::begin(kOperations), std::end(kOperations),
                                     [&](const operation& o) { return o.opnum == opnum; });
  if (op == std::end(kOperations)) return put_fault(out, call_id, kFaultOpRangeError);
  tw3_buf result{};
  if (!op->serve(stub, &result)) {
    put_fault(out, call_id, kFaultNdr);
  } else if (result.failed) {
    out->failed = 1;
  } else {
    tw3_stat_add(ST_SRVSVC_QUERIES, 1);
    srvsvc_put_responses(out, call_id, std::span<const uint8_t>(result.data, result.len), frag);
  }
  tw3_buf_free(&result);
}

// Ends the call being gathered, if any, and faults `call_id`; when more of
// its fragments are to come they are dropped as they arrive.
void refuse_call(tw3_rpc_pipe* st, uint32_t call_id, bool more, tw3_buf* out) {
  tw3_buf_free(&st->stub);
  st->phase = more ? TW3_RPC_DISCARDING : TW3_RPC_IDLE;
  st->call_id = call_id;
  put_fault(out, call_id, kFaultProtocolError);
}

// One request fragment: a whole request is answered at once, the pieces of
// a longer one are gathered, and its last fragment has the call answered.
void on_request(std::span<const uint8_t> pdu, tw3_rpc_pipe* st, tw3_buf* out) {
  if (pdu.size() < kCallHeaderSize) return;
  const size_t len = le16(pdu.data() + kFragLengthAt);
  if (len < kCallHeaderSize || len > pdu.size()) return;  // not one whole fragment
  const uint32_t call_id = le32(pdu.data() + kCallIdAt);
  const uint16_t opnum = le16(pdu.data() + kOpnumAt);
  const bool first = (pdu[kFlagsAt] & kPfcFirstFrag) != 0;
  const bool last = (pdu[kFlagsAt] & kPfcLastFrag) != 0;
  const std::span<const uint8_t> piece = pdu.subspan(kCallHeaderSize, len - kCallHeaderSize);

  if (st->phase == TW3_RPC_DISCARDING) {
    if (!first && call_id == st->call_id) {
      if (last) st->phase = TW3_RPC_IDLE;
      return;
    }
    st->phase = TW3_RPC_IDLE;  // another call begins: the refused one is over
  }
  const bool gathering = st->phase == TW3_RPC_GATHERING;
  if (first == gathering || (gathering && call_id != st->call_id)) return refuse_call(st, call_id, !last, out);
  if (first && last) return answer_call(call_id, opnum, piece, st->frag, out);
  if (piece.size() > TW3_RPC_STUB_MAX - st->stub.len) return refuse_call(st, call_id, !last, out);
  tw3_buf_put(&st->stub, piece.data(), piece.size());
  if (st->stub.failed) {
    tw3_buf_free(&st->stub);
    st->phase = last ? TW3_RPC_IDLE : TW3_RPC_DISCARDING;
    st->call_id = call_id;
    out->failed = 1;
    return;
  }
  if (first) {
    st->phase = TW3_RPC_GATHERING;
    st->call_id = call_id;
    st->opnum = opnum;
  }
  if (!last) return;
  tw3_buf stub = st->stub;
  st->stub = tw3_buf{};
  st->phase = TW3_RPC_IDLE;
  answer_call(call_id, st->opnum, std::span<const uint8_t>(stub.data, stub.len), st->frag, out);
  tw3_buf_free(&stub);
}

}  // namespace

uint16_t srvsvc_frag_size(uint16_t asked) {
  if (asked == 0) return kMaxFrag;  // no bind seen: what a bind_ack would offer
  return std::clamp(asked, kMinFrag, kMaxFrag);
}

void srvsvc_put_responses(tw3_buf* out, uint32_t call_id, std::span<const uint8_t> stub,
                          uint16_t frag) {
  const size_t room = (srvsvc_frag_size(frag) - kCallHeaderSize) / kStubAlign * kStubAlign;
  size_t off = 0;
  do {
    const size_t n = std::min(room, stub.size() - off);
    const uint8_t flags = uint8_t((off == 0 ? kPfcFirstFrag : 0) |
                                  (off + n == stub.size() ? kPfcLastFrag : 0));
    const size_t start = pdu_begin(out, kPtypeResponse, call_id, flags);
    put_call_prefix(out, uint32_t(stub.size() - off));  // the stub bytes still to come
    tw3_buf_put(out, stub.data() + off, n);
    pdu_end(out, start);
    off += n;
  } while (off < stub.size() && !out->failed);
}

void srvsvc_transceive(std::span<const uint8_t> pdu, tw3_rpc_pipe* st, tw3_buf* out) {
  if (pdu.size() < kPduHeaderSize) return;
  uint8_t ptype = pdu[2];
  if (ptype == kPtypeBind) {
    // The client's max_recv_frag bounds every fragment sent to it from now on.
    st->frag = srvsvc_frag_size(pdu.size() >= kBindMaxRecvFragAt + 2 ? le16(pdu.data() + kBindMaxRecvFragAt) : 0);
    bool one = pdu.size() > kContextCountAt && pdu[kContextCountAt] == 1;
    put_bind_ack(out, le32(pdu.data() + kCallIdAt), one ? 1 : 2, st->frag);
    return;
  }
  if (ptype == kPtypeRequest) on_request(pdu, st, out);
}

void srvsvc_release(tw3_rpc_pipe* st) {
  tw3_buf_free(&st->stub);
  st->phase = TW3_RPC_IDLE;
}
