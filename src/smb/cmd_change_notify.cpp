// CHANGE_NOTIFY (MS-SMB2 2.2.35, 2.2.36, 3.3.5.19) on folder handles, from
// the host's own change notifications (notify.cpp). A request with changes
// already seen is answered at once; otherwise it gets an interim
// STATUS_PENDING answer with an AsyncId and waits.
#include "smb/files.h"

namespace {

enum site : int { kSiteStructure = 15001, kSiteNotDir, kSiteBusy, kSiteWatches };

struct notify_req {
  uint16_t flags;
  uint32_t out_len;
  uint32_t filter;
};

bool parse(tw3_rd* body, notify_req* q) {
  rd_skip(body, 2);  // StructureSize, checked by the dispatcher
  q->flags = rd_u16(body);
  q->out_len = rd_u32(body);
  rd_skip(body, 16);  // FileId, resolved by the dispatcher
  q->filter = rd_u32(body);
  (void)rd_u32(body);  // Reserved
  return !body->bad;
}

}  // namespace

tw3_done cmd_change_notify(tw3_conn* c, tw3_req* rq, tw3_rd* body, tw3_reply* r) {
  notify_req q{};
  if (!parse(body, &q)) return tw3_refuse(STATUS_INVALID_PARAMETER, kSiteStructure);
  tw3_open* o = rq->open;
  if (!o->is_dir || o->is_pipe) return tw3_refuse(STATUS_INVALID_PARAMETER, kSiteNotDir);
  // One waiting request per handle: clients keep one outstanding per folder.
  if (tw3_notify_waiting(o)) return tw3_refuse(STATUS_INSUFFICIENT_RESOURCES, kSiteBusy);
  const uint32_t st = tw3_notify_start(c, o, (q.flags & SMB2_WATCH_TREE) != 0);
  if (st != STATUS_SUCCESS) return tw3_refuse(st, kSiteWatches);
  if (!tw3_notify_ready(c, o, q.filter)) return tw3_notify_wait(c, *rq, r, q.out_len, q.filter);
  return tw3_answer(tw3_notify_answer(o, q.out_len, r));
}
