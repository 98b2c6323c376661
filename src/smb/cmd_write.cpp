// WRITE (MS-SMB2 2.2.21, 2.2.22) on the srvsvc pipe: clients that speak
// DCE/RPC through WRITE and READ instead of IOCTL transceive. The dispatcher's
// gate admits WRITE only for a pipe open; nothing on disk is ever written.
#include <cstdint>
#include <span>

#include "smb/files.h"

namespace {

constexpr uint16_t kResponseSize = 17;
constexpr uint32_t kFixedBody = 48;  // the request body before its Buffer

enum : int {
  kSiteStructure = 1,
  kSiteChannel,
  kSiteHandle,
  kSiteData,
  kSiteFull,
};

struct write_req {
  uint16_t size;
  uint16_t data_off;
  uint32_t length;
  uint64_t fid;
  uint32_t channel;
};

write_req read_request(tw3_rd* b) {
  write_req q{};
  q.size = rd_u16(b);
  q.data_off = rd_u16(b);
  q.length = rd_u32(b);
  rd_skip(b, 8);  // Offset: a pipe has no position
  q.fid = rd_u64(b);
  rd_skip(b, 8);  // FileId.Volatile
  q.channel = rd_u32(b);
  rd_skip(b, 4 + 2 + 2 + 4);  // RemainingBytes, WriteChannelInfoOffset/Length, Flags
  return q;
}

void put_response(tw3_reply* r, uint32_t count) {
  w16(&r->b, kResponseSize);
  w16(&r->b, 0);  // Reserved
  w32(&r->b, count);
  w32(&r->b, 0);  // Remaining
  w16(&r->b, 0);  // WriteChannelInfoOffset
  w16(&r->b, 0);  // WriteChannelInfoLength
}

}  // namespace

tw3_done cmd_write(tw3_conn* /*c*/, tw3_req* rq, tw3_rd* body, tw3_reply* r) {
  write_req q = read_request(body);
  if (body->bad) return tw3_refuse(STATUS_INVALID_PARAMETER, kSiteStructure);
  if (q.channel != 0) return tw3_refuse(STATUS_NOT_SUPPORTED, kSiteChannel);
  tw3_open* o = rq->open;
  // The gate let only pipe opens through; anything else is still refused.
  if (o == nullptr || !o->is_pipe) return tw3_refuse(STATUS_ACCESS_DENIED, kSiteHandle);
  if (q.data_off < SMB2_HDR_SIZE + kFixedBody || q.length > TW3_PIPE_INPUT_MAX ||
      !rd_has(body, uint64_t(q.data_off) - SMB2_HDR_SIZE, q.length)) {
    return tw3_refuse(STATUS_INVALID_PARAMETER, kSiteData);
  }
  const uint8_t* pdu = body->data + (q.data_off - SMB2_HDR_SIZE);
  if (srvsvc_pipe_write(o, std::span<const uint8_t>(pdu, q.length)) != 0)
    return tw3_refuse(STATUS_INSUFFICIENT_RESOURCES, kSiteFull);
  put_response(r, q.length);
  return tw3_answer();
}
