// The request dispatcher: walks the requests of one message (a compound),
// fills in related requests, refuses every modifying command in one place
// (the one write gate),
// writes each response header, calls the handlers and runs the signing step.
#include <algorithm>
#include <array>

#include "smb/events.h"
#include "smb/files.h"

namespace {

// What the dispatcher knows of a command and checks once, before the
// handler runs. In this order: the body bytes the handler reads (fewer:
// INVALID_PARAMETER) and, for commands on an open, the StructureSize (any
// other: INVALID_PARAMETER), an authenticated session under the request's SessionId
// (else USER_SESSION_DELETED), a live tree of that session under its TreeId
// (else NETWORK_NAME_DELETED), and the open its FileId names, of that session
// and tree (else FILE_CLOSED; IOCTL leaves a missing open to its handler,
// since some controls name no file). CREATE, TREE_CONNECT and OPLOCK_BREAK check
// their session themselves, after checks of their own; LOGOFF also ends a
// logon still in progress, so it is not checked here.
struct command_entry {
  tw3_handler handler = nullptr;  // null for refused commands
  bool modifies = false;          // refused by the gate before any handler: the server is read-only
  uint32_t fid_at = 0;            // body offset of the FileId (persistent, then volatile); 0: none
  bool fid_optional = false;      // the handler decides what a request without an open gets
  uint16_t size = 0;              // the StructureSize a request must carry; 0: not checked here
  // Commands whose CreditCharge pays for their payload (MS-SMB2 3.2.4.1.5),
  // with the body offset of the response size they ask for (0: none).
  bool multi_credit = false;
  uint32_t out_len_at = 0;
  uint32_t min_body = 0;
  bool needs_session = false;
  bool needs_tree = false;
};

// The one list of handlers. A modifying command never reaches a handler.
constexpr std::array<command_entry, SMB2_COMMAND_COUNT> kCommands{{
    {.handler = cmd_negotiate},
    {.handler = cmd_session_setup},
    {.handler = cmd_logoff},
    {.handler = cmd_tree_connect},
    {.handler = cmd_tree_disconnect, .needs_session = true, .needs_tree = true},
    {.handler = cmd_create},
    {.handler = cmd_close, .fid_at = 8, .size = SMB2_CLOSE_REQUEST_SIZE, .min_body = 24,
     .needs_session = true, .needs_tree = true},
    {.modifies = true},  // FLUSH
    {.handler = cmd_read, .fid_at = 16, .size = SMB2_READ_REQUEST_SIZE, .multi_credit = true,
     .out_len_at = 4, .min_body = 48, .needs_session = true, .needs_tree = true},
    // The gate admits pipe writes only.
    {.handler = cmd_write, .modifies = true, .fid_at = TW3_WRITE_FID_AT, .size = SMB2_WRITE_REQUEST_SIZE,
     .multi_credit = true, .min_body = 48, .needs_session = true, .needs_tree = true},
    {.modifies = true},  // LOCK
    {.handler = cmd_ioctl, .fid_at = 8, .fid_optional = true, .size = SMB2_IOCTL_REQUEST_SIZE,
     .multi_credit = true, .out_len_at = 44, .min_body = 52, .needs_session = true, .needs_tree = true},
    {.handler = cmd_cancel},
    {.handler = cmd_echo},
    {.handler = cmd_query_directory, .fid_at = 8, .size = SMB2_QUERY_DIRECTORY_REQUEST_SIZE,
     .multi_credit = true, .out_len_at = 28, .min_body = 32, .needs_session = true, .needs_tree = true},
    {.handler = cmd_change_notify, .fid_at = 8, .size = SMB2_CHANGE_NOTIFY_REQUEST_SIZE, .min_body = 32,
     .needs_session = true, .needs_tree = true},
    {.handler = cmd_query_info, .fid_at = 24, .size = SMB2_QUERY_INFO_REQUEST_SIZE, .min_body = 40,
     .needs_session = true, .needs_tree = true},
    {.modifies = true},  // SET_INFO
    {.handler = cmd_oplock_break},
}};

constexpr uint32_t kFileIdBytes = 16;

// A FileId the dispatcher resolves and a StructureSize it checks lie wholly
// inside the body it checked first.
constexpr bool fids_inside_min_body() {
  for (const command_entry& e : kCommands) {
    if (e.fid_at != 0 && e.min_body < e.fid_at + kFileIdBytes) return false;
    if (e.size != 0 && e.min_body < 2) return false;
  }
  return true;
}
static_assert(fids_inside_min_body());

constexpr command_entry kUnknownCommand{.handler = cmd_unknown};

const command_entry& entry_for(uint8_t command) {
  return command < kCommands.size() ? kCommands[command] : kUnknownCommand;
}

// Error sites reported by the traces of refusals made here.
enum dispatch_site : int {
  kSiteBadLaterHeader = 9001,
  kSiteCreditCharge,
  kSiteShortBody,
  kSiteNoSession,
  kSiteNoTree,
  kSiteNoOpen,
  kSiteAfterFailedCreate,
  kSiteStructureSize,
};

// Working state of one frame_in call.
struct walk {
  tw3_conn* c;
  const tw3_msg* m;
  uint8_t* msg;   // m's bytes
  uint64_t len;
  tw3_reply* r;
  uint64_t off = 0;
  int index = 0;
  uint64_t prev_session_id = 0;
  uint32_t prev_tree_id = 0;
  uint32_t cur_tree_id = 0;  // TreeId of the request handled last, as it was filled in
  uint64_t last_message_id = 0;  // of the request handled last
  // The open a CREATE of the current related chain made (its FileId), or
  // the status that CREATE failed with: the related requests after it have
  // no open to act on and get that status.
  uint64_t chain_fid = 0;
  uint32_t chain_status = STATUS_SUCCESS;
  bool sign_pending = false;  // the response at last_hdr is signed once its bytes are final
};

uint32_t next_command(const walk& w) {
  return le32(w.msg + w.off + HDR_NEXT_COMMAND);  // the header was parsed: 64 bytes present
}

// The request's own bytes: up to NextCommand when that lies inside the
// message, else to the message's end.
uint64_t request_extent(const walk& w) {
  const uint32_t next = next_command(w);
  const uint64_t rest = w.len - w.off;
  return next != 0 && next <= rest ? next : rest;
}

void sign_if_pending(walk& w) {
  if (!w.sign_pending) return;
  w.sign_pending = false;
  tw3_reply* r = w.r;
  if (r->b.failed || r->last_hdr > r->b.len) return;
  tw3_trace(w.c, "[signcall] soff=%zu outn=%zu\n", static_cast<size_t>(r->last_hdr),
            static_cast<size_t>(r->b.len));
  sign_frame(w.c, r->b.data + r->last_hdr, r->b.len - r->last_hdr);
}

// Starts the response of the current request: the reply's first header, or
// chained after the previous response once that one is final and signed.
void add_header(walk& w, uint8_t command, uint32_t status, uint64_t message_id,
                uint64_t session_id, uint32_t tree_id, uint16_t credit_charge, uint16_t credits) {
  if (w.r->b.len == 0) {
    rep_begin(w.r, command, status, message_id, session_id, tree_id, credit_charge, credits);
    return;
  }
  rep_link(w.r);
  sign_if_pending(w);
  rep_chain(w.r, command, status, message_id, session_id, tree_id, credit_charge, credits);
}

// Makes the response being built for rq an error response with `status`.
void refuse_request(walk& w, const tw3_req& rq, uint32_t status, int site) {
  tw3_trace(w.c, "[twsmb3s %d] ERR_REPLY cmd=%u status=%08x line=%d mid=%llu%s\n", w.c->conn_id,
            rq.hdr.command, status, site, static_cast<unsigned long long>(rq.hdr.message_id),
            rq.in_compound ? " (chained)" : "");
  rep_error(w.r, status);
}

// A refusal made here: the response header and the 9-byte error body.
void add_error(walk& w, uint8_t command, uint32_t status, uint64_t message_id,
               uint64_t session_id, uint32_t tree_id, uint16_t credit_charge, uint16_t credits) {
  add_header(w, command, status, message_id, session_id, tree_id, credit_charge, credits);
  rep_error(w.r, status);
  tw3_conn_event(w.c, tw3_ev::request_refused, session_id, nullptr, nullptr, status, command);
}

// A request refused here. Its answer repeats its CreditCharge like any other:
// clients (impacket) count the ids a request used from the answer's charge.
void refuse(walk& w, const tw3_hdr& h, uint32_t status, uint16_t credits) {
  add_error(w, h.command, status, h.message_id, h.session_id, h.tree_id, h.credit_charge, credits);
}

// A later header that cannot be parsed: answered INVALID_PARAMETER, walk ends.
void refuse_bad_header(walk& w) {
  const uint64_t rest = w.len - w.off;
  const uint8_t command = rest > HDR_COMMAND ? w.msg[w.off + HDR_COMMAND] : 0;
  tw3_req rq{};
  rq.hdr.command = command;
  rq.hdr.message_id = w.last_message_id;  // its own could not be read
  rq.in_compound = 1;
  // No MessageId of it was used, so no credit comes back for it.
  add_header(w, command, STATUS_SUCCESS, rq.hdr.message_id, w.prev_session_id, w.prev_tree_id, 0, 0);
  refuse_request(w, rq, STATUS_INVALID_PARAMETER, kSiteBadLaterHeader);
}

// The 65th request of a message is never handled.
void refuse_too_many(walk& w) {
  tw3_conn* c = w.c;
  tw3_hdr h{};
  if (parse_header(w.msg + w.off, w.len - w.off, &h, nullptr) == 0) {
    // Its ids are spent like any other request's, so the window stays whole.
    const bool spent = tw3_seq_consume(c, h.message_id, h.credit_charge) == 0;
    add_error(w, h.command, STATUS_INVALID_PARAMETER, h.message_id, h.session_id,
              h.tree_id != 0 ? h.tree_id : w.cur_tree_id, h.credit_charge,
              spent ? tw3_credit_grant(c, h.credit_request) : 0);
  } else {
    add_error(w, SMB2_ECHO, STATUS_INVALID_PARAMETER, 0, 0, 0, 0, 0);
  }
  tw3_stat_add(ST_PROTOCOL_ERRORS, 1);
}

// Moves to the next request. False when the walk ends.
bool advance(walk& w, bool count_overrun) {
  const uint32_t next = next_command(w);
  if (next == 0) return false;
  if (next > w.len - w.off) {
    if (count_overrun) tw3_stat_add(ST_PROTOCOL_ERRORS, 1);
    return false;
  }
  w.off += next;
  ++w.index;
  return true;
}

// A modifying command continues the walk only on a well-formed NextCommand.
bool advance_strict(walk& w) {
  const uint32_t next = next_command(w);
  if (next < SMB2_HDR_SIZE || next % SMB2_COMPOUND_ALIGN != 0 || next > w.len - w.off)
    return false;
  w.off += next;
  ++w.index;
  return true;
}

// A SESSION_SETUP whose Flags ask to bind the connection to a session.
bool asks_binding(const walk& w, const tw3_hdr& h) {
  constexpr uint64_t kFlagsAt = SMB2_HDR_SIZE + 2;  // after StructureSize
  return h.command == SMB2_SESSION_SETUP && request_extent(w) > kFlagsAt &&
         (w.msg[w.off + kFlagsAt] & SMB2_SESSION_FLAG_BINDING) != 0;
}

// Signed requests are verified before anything else happens to them.
// -1 when the request was refused (walk ends), 1 when verified, 0 when a
// guest's request goes on unverified.
int check_signature(walk& w, const tw3_hdr& h, uint16_t credits) {
  tw3_conn* c = w.c;
  tw3_session* s = tw3_session_find(c, h.session_id);
  // A signature names its session's key: with no such session there is
  // nothing to check it against (SessionId 0 included).
  if (s == nullptr || s->ended) {
    refuse(w, h, STATUS_USER_SESSION_DELETED, credits);
    return -1;
  }
  const bool good = s->keys_ready && sign_verify_request(c, s, w.msg + w.off, request_extent(w));
  // A guest's keys come from a key anyone can derive, so its signature
  // proves nothing either way: where neither side requires signing, a
  // client that signs with keys of its own making (impacket's guest) is
  // served as if it had not signed. Where one does, the guest's session
  // cannot be signed and is refused, as ever.
  if (!good && s->guest && s->authenticated && !c->sign_required && !c->client_sign_required) return 0;
  if (!good) {
    tw3_stat_add(ST_BAD_SIGNATURE, 1);
    refuse(w, h, STATUS_ACCESS_DENIED, credits);
    return -1;
  }
  return 1;
}

// Ends the connection with nothing sent: the responses already built for
// the message are dropped.
void end_unanswered(walk& w) {
  tw3_stat_add(ST_PROTOCOL_ERRORS, 1);
  w.c->closing = 1;
  w.r->b.len = 0;
  w.r->last_hdr = 0;
  w.sign_pending = false;
}

// Uses the request's MessageIds. A MessageId outside the window or used
// before ends the connection without an answer (MS-SMB2 3.3.5.2.3): the
// responses already built for the message are dropped with it. CANCEL names
// the id of the request it cancels and uses none.
bool spend_ids(walk& w, const tw3_hdr& h) {
  tw3_conn* c = w.c;
  if (h.command == SMB2_CANCEL) return true;
  // Before NEGOTIATE has settled multi-credit requests, every request is one id.
  const uint16_t charge = c->negotiated ? h.credit_charge : 1;
  if (tw3_seq_consume(c, h.message_id, charge) == 0) return true;
  tw3_trace(c, "[twsmb3s %d] BAD_MESSAGE_ID mid=%llu charge=%u low=%llu top=%llu\n", c->conn_id,
            static_cast<unsigned long long>(h.message_id), charge,
            static_cast<unsigned long long>(c->seq_low), static_cast<unsigned long long>(c->seq_top));
  end_unanswered(w);
  return false;
}

// A second NEGOTIATE once a dialect is settled ends the connection without
// an answer (MS-SMB2 3.3.5.3.1): the signing algorithm and the
// pre-authentication hash may not change under live sessions. The SMB1
// upgrade leaves the connection unsettled, so the SMB2 NEGOTIATE after it
// is the first.
bool renegotiation(walk& w, const tw3_hdr& h) {
  if (h.command != SMB2_NEGOTIATE || !w.c->negotiated) return false;
  end_unanswered(w);
  return true;
}

// The most one reply message may hold: a few of the largest READs the
// client was allowed, and room for the small responses around them.
uint64_t reply_cap(const tw3_conn* c) {
  return TW3_REPLY_READS_MAX * c->max_read + TW3_REPLY_HEADROOM;
}

// A request whose answer could carry more than the reply has room left
// for is answered INSUFFICIENT_RESOURCES; the rest of the compound goes on.
// The first response always gets its handler, which bounds a single answer.
bool reply_would_overflow(const walk& w, const tw3_hdr& h) {
  const uint32_t out_at = entry_for(h.command).out_len_at;
  if (out_at == 0 || w.r->b.len == 0) return false;
  const uint64_t n = request_extent(w) - SMB2_HDR_SIZE;
  if (out_at > n || 4 > n - out_at) return false;  // the handler refuses the short body
  const uint64_t want = le32(w.msg + w.off + SMB2_HDR_SIZE + out_at);
  return w.r->b.len + SMB2_HDR_SIZE + want > reply_cap(w.c);
}

// Bytes a multi-credit request moves either way: the variable part of its
// body, or the most its answer may carry.
uint64_t payload_of(const walk& w, const tw3_hdr& h) {
  const uint64_t n = request_extent(w) - SMB2_HDR_SIZE;
  const uint8_t* body = w.msg + w.off + SMB2_HDR_SIZE;
  if (n < 2) return 0;
  const uint64_t fixed = le16(body) & ~1u;  // an odd StructureSize counts one variable byte
  uint64_t payload = n > fixed ? n - fixed : 0;
  const uint32_t out_at = entry_for(h.command).out_len_at;
  if (out_at != 0 && out_at <= n && 4 <= n - out_at) payload = std::max<uint64_t>(payload, le32(body + out_at));
  return payload;
}

// The CreditCharge must pay for the payload (MS-SMB2 3.3.5.2.5); a charge of
// 0 pays for 64 KiB.
bool charge_covers(const walk& w, const tw3_hdr& h) {
  if (!w.c->negotiated || !entry_for(h.command).multi_credit) return true;
  const uint64_t payload = payload_of(w, h);
  if (h.credit_charge == 0) return payload <= SMB2_CREDIT_PAYLOAD;
  return tw3_credit_charge_needed(payload) <= h.credit_charge;
}

// The one exception to the write gate: a WRITE that is alone in its message
// and names a live pipe open of this connection carries a DCE/RPC PDU and
// changes nothing on disk. Everything else that writes stays refused.
bool admit_pipe_write(walk& w, const tw3_hdr& h) {
  if (h.command != SMB2_WRITE || w.index != 0 || next_command(w) != 0) return false;
  const uint64_t pos = w.off + SMB2_HDR_SIZE + TW3_WRITE_FID_AT;
  if (pos > w.len || 8 > w.len - pos) return false;
  const tw3_open* o = tw3_open_of(w.c, h, le64(w.msg + pos));
  return o != nullptr && o->is_pipe;
}

bool is_related(const walk& w, const tw3_hdr& h) {
  return (h.flags & SMB2_FLAGS_RELATED_OPERATIONS) != 0 && w.index > 0;
}

// Fills in the ids of a related request from the previous response; an
// unrelated request starts a chain of its own.
void apply_related(walk& w, tw3_hdr& h) {
  if (is_related(w, h)) {
    if (h.session_id == SMB2_RELATED_SESSION_ID) h.session_id = w.prev_session_id;
    if (h.tree_id == SMB2_RELATED_TREE_ID) h.tree_id = w.prev_tree_id;
    w.cur_tree_id = h.tree_id;
  } else {
    w.chain_fid = 0;
    w.chain_status = STATUS_SUCCESS;
  }
}

// The open the request's FileId names, looked up once for every command
// that has one. A related request's FileId of all ones is the open its
// chain's CREATE made. 0 with rq->open set, or FILE_CLOSED for an id that
// is unknown, closed, or of another session or tree (MS-SMB2 3.3.5.x).
uint32_t resolve_open(const walk& w, tw3_req* rq, const tw3_rd& body) {
  const command_entry& e = entry_for(rq->hdr.command);
  if (e.fid_at == 0) return STATUS_SUCCESS;
  uint64_t fid = le64(body.data + e.fid_at);  // inside min_body: checked before
  if (fid == SMB2_RELATED_FILE_ID && is_related(w, rq->hdr) && w.chain_fid != 0) fid = w.chain_fid;
  rq->open = tw3_open_of(w.c, rq->hdr, fid);
  return rq->open != nullptr || e.fid_optional ? STATUS_SUCCESS : STATUS_FILE_CLOSED;
}

// The checks every request of its command gets before the handler runs,
// which resolve its tree and open. 0, or the refusal.
tw3_done entry_refusal(const walk& w, tw3_req* rq, const tw3_rd& body) {
  const tw3_conn* c = w.c;
  const command_entry& e = entry_for(rq->hdr.command);
  if (body.len < e.min_body) return tw3_refuse(STATUS_INVALID_PARAMETER, kSiteShortBody);
  if (e.size != 0 && le16(body.data) != e.size) return tw3_refuse(STATUS_INVALID_PARAMETER, kSiteStructureSize);
  if (e.needs_session && !tw3_session_live(c, rq->hdr.session_id))
    return tw3_refuse(STATUS_USER_SESSION_DELETED, kSiteNoSession);
  rq->tree = tw3_tree_find(c, rq->hdr.session_id, rq->hdr.tree_id);
  if (e.needs_tree && rq->tree == nullptr) return tw3_refuse(STATUS_NETWORK_NAME_DELETED, kSiteNoTree);
  if (resolve_open(w, rq, body) != STATUS_SUCCESS) return tw3_refuse(STATUS_FILE_CLOSED, kSiteNoOpen);
  return tw3_answer();
}

// A CREATE starts what the related requests after it act on.
void note_create(walk& w, const tw3_req& rq, const tw3_done& done) {
  const bool made = done.body && done.status == STATUS_SUCCESS && rq.open != nullptr;
  w.chain_fid = made ? rq.open->file_id : 0;
  w.chain_status = made ? STATUS_SUCCESS : done.status;
}

void run_handler(walk& w, tw3_req& rq, uint16_t credits, tw3_rd* body) {
  tw3_conn* c = w.c;
  const tw3_hdr& h = rq.hdr;
  add_header(w, h.command, STATUS_SUCCESS, h.message_id, h.session_id, h.tree_id,
             h.credit_charge, credits);
  tw3_trace(c, "[loop] dispatch cmd=%u rqoff=%zu rqn=%zu bad=%d\n", h.command,
            static_cast<size_t>(w.off + SMB2_HDR_SIZE + body->pos),
            static_cast<size_t>(body->len), body->bad);
  tw3_done done = entry_refusal(w, &rq, *body);
  if (done.body) done = entry_for(h.command).handler(c, &rq, body, w.r);
  if (done.body)
    rep_set_status(w.r, done.status);
  else
    refuse_request(w, rq, done.status, done.site);
  tw3_conn_reply_event(c, rep_cur_hdr(w.r), h.command);
  if (h.command == SMB2_CREATE) note_create(w, rq, done);
}

enum class step { next, end };

step handle_one(walk& w) {
  tw3_conn* c = w.c;
  tw3_req rq{};
  tw3_hdr& h = rq.hdr;
  if (parse_header(w.msg + w.off, w.len - w.off, &h, nullptr) != 0) {
    if (w.index == 0) {
      tw3_stat_add(ST_PROTOCOL_ERRORS, 1);
      c->closing = 1;
      return step::end;
    }
    refuse_bad_header(w);
    return step::end;
  }
  tw3_trace(c, "[loop] count=%u off=%zu cmd=%u n=%zu\n", static_cast<unsigned>(w.index),
            static_cast<size_t>(w.off), h.command, static_cast<size_t>(w.len));
  w.cur_tree_id = h.tree_id;
  if (!spend_ids(w, h) || renegotiation(w, h)) return step::end;
  // A CANCEL used no id, so it is owed no credit.
  const uint16_t credits = h.command == SMB2_CANCEL ? 0 : tw3_credit_grant(c, h.credit_request);
  // A SESSION_SETUP is hashed by its handler, into the session it is for.
  if (h.command == SMB2_NEGOTIATE) preauth_update(c, w.msg + w.off, request_extent(w));
  // A binding names a session of another connection, whose key its
  // signature is checked with.
  if (asks_binding(w, h)) tw3_bind_prepare(c, h.session_id);
  int verified = 0;
  if (h.is_signed) {
    verified = check_signature(w, h, credits);
    if (verified < 0) return step::end;
  } else if (!sign_unsigned_allowed(c, h.command, *w.m, h.session_id)) {
    tw3_stat_add(ST_BAD_SIGNATURE, 1);
    refuse(w, h, STATUS_ACCESS_DENIED, credits);
    return step::end;
  }
  w.last_message_id = h.message_id;
  rq.msg = w.m;
  rq.off = w.off;
  rq.len = request_extent(w);
  rq.in_compound = w.index > 0 ? 1 : 0;
  // The handler reads the request's own bytes, never the next request's.
  const uint64_t body_len = rq.len > SMB2_HDR_SIZE ? rq.len - SMB2_HDR_SIZE : 0;
  tw3_rd body{w.msg + w.off + SMB2_HDR_SIZE, body_len, 0, 0};
  // A first request cannot be related to anything before it (MS-SMB2 3.3.5.2.7.2).
  // A CREATE refused so has failed like any other: the related requests
  // after it have no open and get its status.
  if (w.index == 0 && (h.flags & SMB2_FLAGS_RELATED_OPERATIONS) != 0) {
    refuse(w, h, STATUS_INVALID_PARAMETER, credits);
    if (h.command == SMB2_CREATE) w.chain_status = STATUS_INVALID_PARAMETER;
    return advance(w, true) ? step::next : step::end;
  }
  apply_related(w, h);
  w.prev_session_id = h.session_id;
  w.prev_tree_id = h.tree_id;
  if (is_related(w, h) && w.chain_status != STATUS_SUCCESS) {
    add_error(w, h.command, w.chain_status, h.message_id, h.session_id, h.tree_id,
              h.credit_charge, credits);
    tw3_trace(c, "[twsmb3s %d] ERR_REPLY cmd=%u status=%08x line=%d\n", c->conn_id, h.command,
              w.chain_status, kSiteAfterFailedCreate);
    return advance(w, false) ? step::next : step::end;
  }
  // A CANCEL is never answered itself (MS-SMB2 3.3.5.16): one that names a
  // waiting request becomes that request's final answer, any other goes unanswered.
  if (h.command == SMB2_CANCEL && !tw3_notify_is_waiting(c, h)) return advance(w, true) ? step::next : step::end;
  if (entry_for(h.command).modifies && !admit_pipe_write(w, h)) {
    tw3_stat_add(ST_MUTATING_REFUSED, 1);
    refuse(w, h, STATUS_ACCESS_DENIED, credits);
    // Signed like any other answer: the Linux client checks the refusal of
    // the SET_INFO inside its CREATE/SET_INFO/CLOSE compounds (touch, rename).
    w.sign_pending = sign_decide(c, w.r, h.command, verified, *w.m, h.session_id) != 0;
    return advance_strict(w) ? step::next : step::end;
  }
  if (!charge_covers(w, h)) {
    tw3_stat_add(ST_PROTOCOL_ERRORS, 1);
    add_header(w, h.command, STATUS_SUCCESS, h.message_id, h.session_id, h.tree_id,
               h.credit_charge, credits);
    refuse_request(w, rq, STATUS_INVALID_PARAMETER, kSiteCreditCharge);
  } else if (reply_would_overflow(w, h)) {
    refuse(w, h, STATUS_INSUFFICIENT_RESOURCES, credits);  // later requests are still served
  } else {
    run_handler(w, rq, credits, &body);
  }
  w.sign_pending = sign_decide(c, w.r, h.command, verified, *w.m, h.session_id) != 0;
  tw3_trace(c, "[loop] done cmd=%u outn=%zu\n", h.command, static_cast<size_t>(w.r->b.len));
  return advance(w, true) ? step::next : step::end;
}

}  // namespace

void frame_in(tw3_conn* c, const tw3_msg& m, tw3_reply* r, int* have_reply) {
  uint8_t* msg = m.bytes;
  const uint64_t len = m.len;
  *have_reply = 0;
  if (len >= 4 && le32(msg) == SMB1_PROTOCOL_ID) {
    // An SMB1 NEGOTIATE stands for MessageId 0 (MS-SMB2 3.3.5.2.3); its
    // answer grants the one credit of the SMB2 NEGOTIATE that follows.
    if (tw3_seq_consume(c, 0, 1) != 0) {
      tw3_stat_add(ST_PROTOCOL_ERRORS, 1);
      c->closing = 1;
      return;
    }
    smb1_negotiate(c, msg, len, r, have_reply);
    tw3_credit_grant(c, 1);
    return;
  }
  walk w{c, &m, msg, len, r};
  for (;;) {
    const step s = handle_one(w);
    if (s != step::next) break;
    if (w.index >= TW3_MAX_COMPOUND) {
      refuse_too_many(w);
      break;
    }
  }
  // The last response is final now; earlier ones were signed when chained.
  // (A session this message ended keeps its keys until the reply is sent.)
  sign_if_pending(w);
  *have_reply = r->b.len > 0 ? 1 : 0;
}
