// The srvsvc named pipe: DCE/RPC connection-oriented PDUs (C706, MS-RPCE
// 2.2.2) carried one per IOCTL, and the NetrShareEnum answer (MS-SRVS
// 3.1.4.8) in NDR. The protocol keeps no state: every PDU is answered alone,
// whether it came by IOCTL or by WRITE (whose answer then waits for READ).
#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

#include "config/config.h"
#include "smb/files.h"

namespace {

// PDU types (C706 12.6.4).
constexpr uint8_t kPtypeRequest = 0;
constexpr uint8_t kPtypeResponse = 2;
constexpr uint8_t kPtypeFault = 3;
constexpr uint8_t kPtypeBind = 11;
constexpr uint8_t kPtypeBindAck = 12;

constexpr size_t kPduHeaderSize = 16;
constexpr size_t kFragLengthAt = 8;
constexpr size_t kCallIdAt = 12;
// alloc_hint (4), p_cont_id (2), opnum (2), then the first stub word.
constexpr size_t kRequestMinSize = kPduHeaderSize + 12;
constexpr size_t kOpnumAt = kPduHeaderSize + 6;
constexpr uint8_t kPfcFirstLast = 0x03;
constexpr std::array<uint8_t, 4> kDrepLittleAscii = {0x10, 0x00, 0x00, 0x00};

constexpr uint16_t kOpNetrShareEnum = 15;
constexpr uint32_t kFaultOpRangeError = 0x1C010003;  // nca_s_op_rng_error

constexpr uint16_t kMaxFrag = 4280;
constexpr uint32_t kAssocGroup = 0x00006F79;
constexpr char kSecondaryAddr[] = "\\pipe\\srvsvc";  // 12 chars + NUL = 13
constexpr std::array<uint8_t, 16> kNdrSyntax = {0x04, 0x5d, 0x88, 0x8a, 0xeb, 0x1c, 0xc9, 0x11,
                                                0x9f, 0xe8, 0x08, 0x00, 0x2b, 0x10, 0x48, 0x60};
constexpr uint32_t kNdrVersion = 2;
constexpr size_t kContextCountAt = kPduHeaderSize + 8;  // after max_xmit, max_recv, assoc_group
constexpr uint16_t kResultAccept = 0;
constexpr uint16_t kResultNegotiateAck = 3;
constexpr uint16_t kBindTimeFeatures = 3;  // security context multiplexing | keep on orphan

// NDR referent identifiers of the share enumeration; any non-zero value
// serves, distinct ones keep the stub readable in a capture.
constexpr uint32_t kRefContainer = 0x00010000;
constexpr uint32_t kRefBuffer = 0x00020000;
constexpr uint32_t kRefNetnameBase = 0x00022000;
constexpr uint32_t kRefRemarkBase = 0x00024000;
constexpr uint32_t kShareInfoLevel = 1;
constexpr uint32_t kStypeDisktree = 0;
constexpr uint32_t kStypeIpc = 3;
constexpr int kMaxNameUnits = 128;  // UTF-16 units of one share name or remark

uint32_t le32_at(std::span<const uint8_t> p, size_t at) {
  return uint32_t(p[at]) | uint32_t(p[at + 1]) << 8 | uint32_t(p[at + 2]) << 16 |
         uint32_t(p[at + 3]) << 24;
}

// Starts a PDU at the end of `out`; its frag_length is patched by pdu_end.
size_t pdu_begin(tw3_buf* out, uint8_t ptype, uint32_t call_id) {
  size_t start = out->len;
  tw3_buf_byte(out, 5);  // rpc_vers
  tw3_buf_byte(out, 0);  // rpc_vers_minor
  tw3_buf_byte(out, ptype);
  tw3_buf_byte(out, kPfcFirstLast);
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
}

// One result per offered presentation context, as a client matches them up:
// a client that offered one context rejects a bind_ack carrying two.
void put_bind_ack(tw3_buf* out, uint32_t call_id, uint8_t results) {
  size_t start = pdu_begin(out, kPtypeBindAck, call_id);
  w16(out, kMaxFrag);
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
void put_call_prefix(tw3_buf* out) {
  w32(out, 0);
  w16(out, 0);
  tw3_buf_byte(out, 0);
  tw3_buf_byte(out, 0);
}

void put_response(tw3_buf* out, uint32_t call_id) {
  size_t start = pdu_begin(out, kPtypeResponse, call_id);
  put_call_prefix(out);
  srvsvc_share_enum(out);
  pdu_end(out, start);
}

void put_fault(tw3_buf* out, uint32_t call_id) {
  size_t start = pdu_begin(out, kPtypeFault, call_id);
  put_call_prefix(out);
  w32(out, kFaultOpRangeError);
  w32(out, 0);
  pdu_end(out, start);
}

// NDR conformant varying string of UTF-16 units with a terminating zero unit,
// padded to 4 bytes. A name that is not valid UTF-8 is sent byte by byte.
void put_ndr_string(tw3_buf* out, const char* text) {
  std::array<uint8_t, 2 * kMaxNameUnits> units{};
  int32_t n16 = 0;
  if (tw3_utf8_to_utf16le(text, units.data(), int32_t(units.size()), &n16) != 0) {
    n16 = 0;
    for (const char* p = text; *p != 0 && n16 + 2 <= int32_t(units.size()); ++p) {
      units[size_t(n16)] = uint8_t(*p);
      n16 += 2;
    }
  }
  uint32_t count = uint32_t(n16 / 2) + 1;
  w32(out, count);  // maximum count
  w32(out, 0);      // offset
  w32(out, count);  // actual count
  tw3_buf_put(out, units.data(), uint64_t(n16));
  w16(out, 0);
  if ((count * 2) % 4 != 0) w16(out, 0);
}

bool is_ipc(const tw3_share& s) {
  return std::string_view(s.name) == "IPC$";
}

}  // namespace

void srvsvc_share_enum(tw3_buf* out) {
  tw3_share* raw = nullptr;
  int n = 0;
  if (tw3_share_list(&raw, &n) != 0) {
    raw = nullptr;
    n = 0;
  }
  std::unique_ptr<tw3_share[]> shares(raw);
  w32(out, kShareInfoLevel);
  w32(out, kShareInfoLevel);  // union discriminant
  w32(out, kRefContainer);
  w32(out, uint32_t(n));  // EntriesRead
  w32(out, kRefBuffer);
  w32(out, uint32_t(n));  // conformant array maximum count
  for (int i = 0; i < n; ++i) {
    w32(out, kRefNetnameBase + 4 * uint32_t(i));
    w32(out, is_ipc(shares[size_t(i)]) ? kStypeIpc : kStypeDisktree);
    w32(out, kRefRemarkBase + 4 * uint32_t(i));
  }
  for (int i = 0; i < n; ++i) {
    put_ndr_string(out, shares[size_t(i)].name);
    put_ndr_string(out, is_ipc(shares[size_t(i)]) ? "IPC share" : "read-only share");
  }
  w32(out, uint32_t(n));  // TotalEntries
  w32(out, 0);            // ResumeHandle: null pointer
  w32(out, 0);            // return value: success
  tw3_stat_add(ST_SRVSVC_QUERIES, 1);
}

void srvsvc_transceive(std::span<const uint8_t> pdu, tw3_buf* out) {
  if (pdu.size() < kPduHeaderSize) return;
  uint8_t ptype = pdu[2];
  uint32_t call_id = le32_at(pdu, kCallIdAt);
  if (ptype == kPtypeBind) {
    bool one = pdu.size() > kContextCountAt && pdu[kContextCountAt] == 1;
    put_bind_ack(out, call_id, one ? 1 : 2);
    return;
  }
  if (ptype != kPtypeRequest || pdu.size() < kRequestMinSize) return;
  uint16_t opnum = uint16_t(pdu[kOpnumAt] | pdu[kOpnumAt + 1] << 8);
  if (opnum == kOpNetrShareEnum) {
    put_response(out, call_id);
  } else {
    put_fault(out, call_id);
  }
}

// Answers wait in pipe_out as messages, each a 32-bit length and its bytes,
// so READ never runs one answer into the next (the pipe is in message mode).
// pipe_out_pos is the next byte to hand out; pipe_msg_left counts the bytes
// of the message being read that remain (0: the next length comes first).
constexpr uint64_t kMsgLengthSize = 4;

int srvsvc_pipe_write(tw3_open* o, std::span<const uint8_t> pdu) {
  tw3_buf answer{};
  srvsvc_transceive(pdu, &answer);
  const uint64_t waiting = o->pipe_out.len - o->pipe_out_pos;
  int rc = 0;
  if (answer.failed || answer.len + kMsgLengthSize > TW3_PIPE_PENDING_MAX - waiting) {
    rc = -1;
  } else if (answer.len != 0) {
    tw3_buf* p = &o->pipe_out;
    // Bytes already read go first, so the buffer never exceeds the bound.
    if (waiting != 0 && o->pipe_out_pos != 0) std::memmove(p->data, p->data + o->pipe_out_pos, waiting);
    p->len = waiting;
    o->pipe_out_pos = 0;
    w32(p, uint32_t(answer.len));
    tw3_buf_put(p, answer.data, answer.len);
    if (p->failed) {
      tw3_buf_free(p);
      o->pipe_out_pos = 0;
      o->pipe_msg_left = 0;
      rc = -1;
    }
  }
  tw3_buf_free(&answer);
  return rc;
}

uint64_t srvsvc_pipe_waiting(const tw3_open& o) {
  if (o.pipe_msg_left != 0) return o.pipe_msg_left;
  if (o.pipe_out.len - o.pipe_out_pos < kMsgLengthSize) return 0;
  return le32(o.pipe_out.data + o.pipe_out_pos);
}

uint64_t srvsvc_pipe_take(tw3_open* o, uint64_t n, tw3_buf* out) {
  const uint64_t left = srvsvc_pipe_waiting(*o);
  if (left == 0) return 0;
  if (o->pipe_msg_left == 0) o->pipe_out_pos += kMsgLengthSize;  // a new message begins
  const uint64_t k = std::min(n, left);
  tw3_buf_put(out, o->pipe_out.data + o->pipe_out_pos, k);
  o->pipe_out_pos += k;
  o->pipe_msg_left = left - k;
  return k;
}
