// The commands that carry no file data: LOGOFF, CANCEL, ECHO and unknown
// commands (OPLOCK_BREAK acknowledgements: leases.cpp; CHANGE_NOTIFY:
// cmd_change_notify.cpp). None of them fails on a malformed body.
#include "smb/files.h"

namespace {

constexpr int kSiteNoSession = 1;

// StructureSize 4 and Reserved 0: the body of every success here.
void put_empty_body(tw3_reply* r) {
  w16(&r->b, TW3_EMPTY_BODY_SIZE);
  w16(&r->b, 0);
}

tw3_done answer_empty(tw3_reply* r) {
  put_empty_body(r);
  return tw3_answer();
}

}  // namespace

tw3_done cmd_logoff(tw3_conn* c, tw3_req* rq, tw3_rd* body, tw3_reply* r) {
  (void)rd_u16(body);  // StructureSize, not checked
  // Only the session the request names ends, a logon in progress too; its
  // keys stay until the LOGOFF's own answer is signed or sealed.
  tw3_session* s = tw3_session_find(c, rq->hdr.session_id);
  if (s == nullptr || s->ended) return tw3_refuse(STATUS_USER_SESSION_DELETED, kSiteNoSession);
  tw3_session_end(c, s);
  return answer_empty(r);
}

tw3_done cmd_cancel(tw3_conn* c, tw3_req* rq, tw3_rd* body, tw3_reply* r) {
  (void)rd_u16(body);
  (void)rd_u16(body);
  // Only CHANGE_NOTIFY ever waits, and the dispatcher lets through only a
  // CANCEL that names a waiting request: its slot becomes that answer.
  if (tw3_notify_cancel(c, *rq, r)) return tw3_answer(STATUS_CANCELLED);
  return tw3_refuse(STATUS_CANCELLED, 0);  // it stopped waiting meanwhile
}

tw3_done cmd_echo(tw3_conn* /*c*/, tw3_req* /*rq*/, tw3_rd* body, tw3_reply* r) {
  (void)rd_u16(body);
  (void)rd_u32(body);
  return answer_empty(r);
}

tw3_done cmd_unknown(tw3_conn* /*c*/, tw3_req* /*rq*/, tw3_rd* /*body*/, tw3_reply* /*r*/) {
  tw3_stat_add(ST_PROTOCOL_ERRORS, 1);
  return tw3_refuse(STATUS_NOT_SUPPORTED, 0);
}
