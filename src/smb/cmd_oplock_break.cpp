// OPLOCK_BREAK from a client: the acknowledgement of a break the server
// sent (MS-SMB2 2.2.24, 2.2.25, 3.3.5.22), answered with the state now held.
// Every break here is to none.
#include "smb/files.h"

namespace {

constexpr uint16_t kLeaseAckSize = 36;

enum : int {
  kSiteSize = 1,
  kSiteNoSession,
  kSiteOplockBody,
  kSiteNoOpen,
  kSiteOplockNotBreaking,
  kSiteLeaseLevel,
  kSiteOplockLevel,
  kSiteLeaseBody,
  kSiteNoLease,
  kSiteLeaseNotBreaking,
  kSiteLeaseState,
};

tw3_done oplock_ack(tw3_conn* c, const tw3_req& rq, tw3_rd* body, tw3_reply* r) {
  const uint8_t level = rd_u8(body);
  rd_skip(body, 1 + 4);  // Reserved, Reserved2
  const uint64_t fid = rd_u64(body);
  rd_skip(body, 8);  // FileId.Volatile
  if (body->bad) return tw3_refuse(STATUS_INVALID_PARAMETER, kSiteOplockBody);
  tw3_open* o = tw3_open_of(c, rq.hdr, fid);
  if (o == nullptr) return tw3_refuse(STATUS_FILE_CLOSED, kSiteNoOpen);
  if (!o->oplock_breaking) return tw3_refuse(STATUS_INVALID_DEVICE_STATE, kSiteOplockNotBreaking);
  if (level == SMB2_OPLOCK_LEVEL_LEASE) return tw3_refuse(STATUS_INVALID_PARAMETER, kSiteLeaseLevel);
  // A client keeping more than none has not let go.
  if (level != SMB2_OPLOCK_LEVEL_NONE) return tw3_refuse(STATUS_INVALID_OPLOCK_PROTOCOL, kSiteOplockLevel);
  o->oplock_breaking = 0;
  w16(&r->b, TW3_OPLOCK_BREAK_SIZE);
  tw3_buf_byte(&r->b, SMB2_OPLOCK_LEVEL_NONE);
  tw3_buf_byte(&r->b, 0);
  w32(&r->b, 0);
  w64(&r->b, o->file_id);
  w64(&r->b, 0);
  return tw3_answer();
}

tw3_done lease_ack(tw3_conn* c, tw3_rd* body, tw3_reply* r) {
  rd_skip(body, 2 + 4);  // Reserved, Flags
  const uint8_t* key = rd_at(body, body->pos, SMB2_LEASE_KEY_SIZE);
  rd_skip(body, SMB2_LEASE_KEY_SIZE);
  const uint32_t state = rd_u32(body);
  rd_skip(body, 8);  // LeaseDuration
  if (body->bad || key == nullptr) return tw3_refuse(STATUS_INVALID_PARAMETER, kSiteLeaseBody);
  tw3_lease* l = tw3_lease_find(c, key);
  if (l == nullptr) return tw3_refuse(STATUS_OBJECT_NAME_NOT_FOUND, kSiteNoLease);
  if (!l->breaking) return tw3_refuse(STATUS_UNSUCCESSFUL, kSiteLeaseNotBreaking);
  if (state != 0) return tw3_refuse(STATUS_REQUEST_NOT_ACCEPTED, kSiteLeaseState);  // broken to none
  l->breaking = 0;
  w16(&r->b, kLeaseAckSize);
  w16(&r->b, 0);
  w32(&r->b, 0);  // Flags
  tw3_buf_put(&r->b, l->key, SMB2_LEASE_KEY_SIZE);
  w32(&r->b, l->state);
  w64(&r->b, 0);  // LeaseDuration
  return tw3_answer();
}

}  // namespace

tw3_done cmd_oplock_break(tw3_conn* c, tw3_req* rq, tw3_rd* body, tw3_reply* r) {
  const uint16_t size = rd_u16(body);
  if (size != TW3_OPLOCK_BREAK_SIZE && size != kLeaseAckSize) return tw3_refuse(STATUS_INVALID_PARAMETER, kSiteSize);
  if (!tw3_session_live(c, rq->hdr.session_id)) return tw3_refuse(STATUS_USER_SESSION_DELETED, kSiteNoSession);
  if (size == TW3_OPLOCK_BREAK_SIZE) return oplock_ack(c, *rq, body, r);
  return lease_ack(c, body, r);
}
