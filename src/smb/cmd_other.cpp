// The commands that carry no file data: LOGOFF, CANCEL, ECHO and unknown
// commands (OPLOCK_BREAK acknowledgements: leases.cpp; CHANGE_NOTIFY:
// cmd_change_notify.cpp). None of them fails on a malformed body.
#include "smb/files.h"

namespace {

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

tw3_done cmd_logoff(tw3_conn* c, tw3_req* /*rq*/, tw3_rd* body, tw3_reply* r) {
  (void)rd_u16(body);  // StructureSize, not checked
  tw3_notify_cleanup_tree(c, 0);
  tw3_conn_free_trees(c);
  tw3_conn_free_opens(c);
  // Keys and signing state stay: the LOGOFF response itself is still signed.
  c->authenticated = 0;
  c->session_id = 0;
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
