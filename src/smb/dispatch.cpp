// The request dispatcher: walks the requests of one message (a compound),
// fills in related requests, refuses every modifying command in one place
// (the one write gate),
// writes each response header, calls the handlers and runs the signing step.
#include <algorithm>
#include <array>

#include "smb/events.h"
#include "smb/files.h"

namespace {

struct command_entry {
  tw3_handler handler;  // null for refused commands
  bool modifies;        // refused by the gate before any handler: the server is read-only
  uint32_t fid_at;      // body offset of FileId.Persistent, 0 when none
  // Commands whose CreditCharge pays for their payload (MS-SMB2 3.2.4.1.5),
  // with the body offset of the response size they ask for (0: none).
  bool multi_credit;
  uint32_t out_len_at;
  // Checked here, in this order, before the handler runs: the body bytes the
  // handler reads (fewer: INVALID_PARAMETER), an authenticated session under
  // the request's SessionId (else USER_SESSION_DELETED) and a live tree under
  // its TreeId (else NETWORK_NAME_DELETED). CREATE, TREE_CONNECT and
  // OPLOCK_BREAK check their session themselves, after checks of their own;
  // LOGOFF also ends a logon still in progress, so it is not checked here.
  uint32_t min_body;
  bool needs_session;
  bool needs_tree;
};

// The one list of handlers. A modifying command never reaches a handler.
constexpr std::array<command_entry, SMB2_COMMAND_COUNT> kCommands{{
    {cmd_negotiate, false, 0, false, 0, 0, false, false},          // 0 NEGOTIATE
    {cmd_session_setup, false, 0, false, 0, 0, false, false},      // 1 SESSION_SETUP
    {cmd_logoff, false, 0, false, 0, 0, false, false},             // 2 LOGOFF
    {cmd_tree_connect, false, 0, false, 0, 0, false, false},       // 3 TREE_CONNECT
    {cmd_tree_disconnect, false, 0, false, 0, 0, true, true},      // 4 TREE_DISCONNECT
    {cmd_create, false, 0, false, 0, 0, false, false},             // 5 CREATE
    {cmd_close, false, 8, false, 0, 0, true, true},                // 6 CLOSE
    {nullptr, true, 0, false, 0, 0, false, false},                 // 7 FLUSH
    {cmd_read, false, 16, true, 4, 48, true, true},                 // 8 READ: Length
    {cmd_write, true, 0, true, 0, 0, false, false},                // 9 WRITE: the gate admits pipe writes only
    {nullptr, true, 0, false, 0, 0, false, false},                 // 10 LOCK
    {cmd_ioctl, false, 8, true, 44, 52, true, true},                // 11 IOCTL: MaxOutputResponse
    {cmd_cancel, false, 0, false, 0, 0, false, false},             // 12 CANCEL
    {cmd_echo, false, 0, false, 0, 0, false, false},               // 13 ECHO
    {cmd_query_directory, false, 8, true, 28, 32, true, true},      // 14 QUERY_DIRECTORY: OutputBufferLength
    {cmd_change_notify, false, 0, false, 0, 0, true, true},        // 15 CHANGE_NOTIFY
    {cmd_query_info, false, 24, false, 0, 40, true, true},          // 16 QUERY_INFO
    {nullptr, true, 0, false, 0, 0, false, false},                 // 17 SET_INFO
    {cmd_oplock_break, false, 0, false, 0, 0, false, false},       // 18 OPLOCK_BREAK
}};

constexpr command_entry kUnknownCommand{cmd_unknown, false, 0, false, 0, 0, false, false};

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
};

// Working state of one frame_in call.
struct walk {
  tw3_conn* c;
  uint8_t* msg;
  uint64_t len;
  tw3_reply* r;
  uint64_t off = 0;
  int index = 0;
  uint64_t prev_session_id = 0;
  uint32_t prev_tree_id = 0;
  uint32_t cur_tree_id = 0;  // TreeId of the request handled last, as it was filled in
  uint64_t saved_fid = 0;
  bool saved_fid_valid = false;
  bool chain_failed = false;  // a request after the first was refused: the rest echo its status
  bool sign_pending = false;  // the response at last_hdr is signed once its bytes are final
};

uint32_t next_command(const walk& w) {
  return le32(w.msg + w.off + HDR_NEXT_COMMAND);  // the header was parsed: 64 bytes present
}

// The request's own bytes: up to NextCommand when that lies inside the message.
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

// A refusal made here: the response header and the 9-byte error body.
void add_error(walk& w, uint8_t command, uint32_t status, uint64_t message_id,
               uint64_t session_id, uint32_t tree_id, uint16_t credit_charge, uint16_t credits) {
  add_header(w, command, status, message_id, session_id, tree_id, credit_charge, credits);
  rep_error(w.r, status);
  tw3_conn_event(w.c, tw3_ev::request_refused, nullptr, nullptr, status, command);
}

// A request refused here. Its answer repeats its CreditCharge like any other:
// clients (impacket) count the ids a request used from the answer's charge.
void refuse(walk& w, const tw3_hdr& h, uint32_t status, uint16_t credits) {
  add_error(w, h.command, status, h.message_id, h.session_id, h.tree_id, h.credit_charge, credits);
}

// A later header that cannot be parsed: answered INVALID_PARAMETER, walk ends.
void refuse_bad_header(walk& w) {
  tw3_conn* c = w.c;
  const uint64_t rest = w.len - w.off;
  const uint8_t command = rest > HDR_COMMAND ? w.msg[w.off + HDR_COMMAND] : 0;
  tw3_req rq{};
  rq.hdr.command = command;
  rq.hdr.message_id = c->cur_msg_id != 0 ? c->cur_msg_id : c->last_msg_id + 1;
  rq.in_compound = 1;
  // No MessageId of it was used, so no credit comes back for it.
  add_header(w, command, STATUS_SUCCESS, rq.hdr.message_id, w.prev_session_id, w.prev_tree_id, 0, 0);
  err_reply_l(c, &rq, w.r, STATUS_INVALID_PARAMETER, kSiteBadLaterHeader);
}

// The 65th request of a message is never handled.
void refuse_too_many(walk& w) {
  tw3_conn* c = w.c;
  tw3_hdr h{};
  if (parse_header(w.msg + w.off, w.len - w.off, &h, nullptr) == 0) {
    // Its ids are spent like any other request's, so the window stays whole.
    const bool spent = tw3_seq_consume(c, h.message_id, h.credit_charge) == 0;
    add_error(w, h.command, STATUS_INVALID_PARAMETER, h.message_id,
              h.session_id != 0 ? h.session_id : c->session_id,
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

// Signed requests are verified before anything else happens to them.
// Returns -1 when the request was refused (walk ends), else 1 when verified.
int check_signature(walk& w, const tw3_hdr& h, uint16_t credits) {
  tw3_conn* c = w.c;
  if ((!c->authenticated && !c->keys_ready) ||
      !sign_verify_request(c, w.msg + w.off, request_extent(w))) {
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

constexpr uint64_t kWriteFidAt = 16;  // FileId.Persistent in a WRITE request body

// The one exception to the write gate: a WRITE that is alone in its message
// and names a live pipe open of this connection carries a DCE/RPC PDU and
// changes nothing on disk. Everything else that writes stays refused.
bool admit_pipe_write(walk& w, const tw3_hdr& h) {
  if (h.command != SMB2_WRITE || w.index != 0 || next_command(w) != 0) return false;
  const uint64_t pos = w.off + SMB2_HDR_SIZE + kWriteFidAt;
  if (pos > w.len || 8 > w.len - pos) return false;
  const tw3_open* o = tw3_open_find(w.c, le64(w.msg + pos));
  return o != nullptr && o->is_pipe;
}

// Fills in the ids of a related request from the previous response.
void apply_related(walk& w, tw3_hdr& h) {
  tw3_conn* c = w.c;
  if ((h.flags & SMB2_FLAGS_RELATED_OPERATIONS) != 0 && w.index > 0) {
    if (h.session_id == SMB2_RELATED_SESSION_ID) h.session_id = w.prev_session_id;
    if (h.tree_id == SMB2_RELATED_TREE_ID) h.tree_id = w.prev_tree_id;
    w.cur_tree_id = h.tree_id;
    const uint32_t fid_at = entry_for(h.command).fid_at;
    if (w.saved_fid_valid && fid_at != 0) {
      const uint64_t pos = w.off + SMB2_HDR_SIZE + fid_at;
      if (pos <= w.len && 8 <= w.len - pos && le64(w.msg + pos) == SMB2_RELATED_FILE_ID)
        put_le64(w.msg + pos, w.saved_fid);
    }
  }
  tw3_trace(c, "[loop] postfid cmd=%u bstart=%zu\n", h.command,
            static_cast<size_t>(w.off + SMB2_HDR_SIZE));
}

// The checks every request of its command gets before the handler runs. 0,
// or the refusal's status with *site set.
uint32_t entry_refusal(const tw3_conn* c, const tw3_req& rq, const tw3_rd& body, int* site) {
  const command_entry& e = entry_for(rq.hdr.command);
  if (body.len < e.min_body) return *site = kSiteShortBody, STATUS_INVALID_PARAMETER;
  if (e.needs_session && (!c->authenticated || rq.hdr.session_id != c->session_id))
    return *site = kSiteNoSession, STATUS_USER_SESSION_DELETED;
  if (e.needs_tree && rq.tree == nullptr) return *site = kSiteNoTree, STATUS_NETWORK_NAME_DELETED;
  return STATUS_SUCCESS;
}

void run_handler(walk& w, tw3_req& rq, uint16_t credits, tw3_rd* body) {
  tw3_conn* c = w.c;
  const tw3_hdr& h = rq.hdr;
  add_header(w, h.command, STATUS_SUCCESS, h.message_id, h.session_id, h.tree_id,
             h.credit_charge, credits);
  tw3_trace(c, "[loop] dispatch cmd=%u rqoff=%zu rqn=%zu bad=%d\n", h.command,
            static_cast<size_t>(w.off + SMB2_HDR_SIZE + body->pos),
            static_cast<size_t>(body->len), body->bad);
  rq.tree = tw3_tree_find(c, h.tree_id);
  int site = 0;
  const uint32_t refusal = entry_refusal(c, rq, *body, &site);
  const tw3_done done = refusal != STATUS_SUCCESS ? tw3_refuse(refusal, site)
                                                  : entry_for(h.command).handler(c, &rq, body, w.r);
  if (done.body)
    rep_set_status(w.r, done.status);
  else
    err_reply_l(c, &rq, w.r, done.status, done.site);
  tw3_conn_reply_event(c, rep_cur_hdr(w.r), h.command);
  if (h.command == SMB2_CREATE) {
    const uint8_t* rh = rep_cur_hdr(w.r);
    if (rh != nullptr && le32(rh + HDR_STATUS) == STATUS_SUCCESS && rq.created_fid != 0) {
      w.saved_fid = rq.created_fid;
      w.saved_fid_valid = true;
    }
  }
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
  if (h.command == SMB2_NEGOTIATE || h.command == SMB2_SESSION_SETUP)
    preauth_update(c, w.msg + w.off, request_extent(w));
  if (w.chain_failed) {
    refuse(w, h, w.r->last_status, credits);
    return advance(w, false) ? step::next : step::end;
  }
  int verified = 0;
  if (h.is_signed) {
    if (check_signature(w, h, credits) < 0) return step::end;
    verified = 1;
  } else if (!sign_unsigned_allowed(c, h.command)) {
    tw3_stat_add(ST_BAD_SIGNATURE, 1);
    refuse(w, h, STATUS_ACCESS_DENIED, credits);
    return step::end;
  }
  c->cur_msg_id = h.message_id;
  tw3_trace(c, "[loop] body_off=%zu off=%zu\n", static_cast<size_t>(SMB2_HDR_SIZE),
            static_cast<size_t>(w.off));
  tw3_rd body{w.msg + w.off + SMB2_HDR_SIZE, w.len - w.off - SMB2_HDR_SIZE, 0, 0};
  apply_related(w, h);
  rq.off = w.off;
  rq.len = request_extent(w);
  rq.in_compound = w.index > 0 ? 1 : 0;
  w.prev_session_id = h.session_id;
  w.prev_tree_id = h.tree_id;
  if (entry_for(h.command).modifies && !admit_pipe_write(w, h)) {
    tw3_stat_add(ST_MUTATING_REFUSED, 1);
    refuse(w, h, STATUS_ACCESS_DENIED, credits);
    // Signed like any other answer: the Linux client checks the refusal of
    // the SET_INFO inside its CREATE/SET_INFO/CLOSE compounds (touch, rename).
    w.sign_pending = sign_decide(c, w.r, h.command, verified) != 0;
    return advance_strict(w) ? step::next : step::end;
  }
  if (!charge_covers(w, h)) {
    tw3_stat_add(ST_PROTOCOL_ERRORS, 1);
    add_header(w, h.command, STATUS_SUCCESS, h.message_id, h.session_id, h.tree_id,
               h.credit_charge, credits);
    err_reply_l(c, &rq, w.r, STATUS_INVALID_PARAMETER, kSiteCreditCharge);
  } else if (reply_would_overflow(w, h)) {
    refuse(w, h, STATUS_INSUFFICIENT_RESOURCES, credits);  // later requests are still served
  } else {
    run_handler(w, rq, credits, &body);
  }
  w.sign_pending = sign_decide(c, w.r, h.command, verified) != 0;
  tw3_trace(c, "[loop] done cmd=%u outn=%zu\n", h.command, static_cast<size_t>(w.r->b.len));
  if (rq.failed) w.chain_failed = true;
  return advance(w, true) ? step::next : step::end;
}

}  // namespace

void frame_in(tw3_conn* c, uint8_t* msg, uint64_t len, tw3_reply* r, int* have_reply) {
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
  walk w{c, msg, len, r};
  for (;;) {
    const step s = handle_one(w);
    if (s != step::next) break;
    if (w.index >= TW3_MAX_COMPOUND) {
      refuse_too_many(w);
      break;
    }
  }
  // The last response is final now; earlier ones were signed when chained.
  sign_if_pending(w);
  *have_reply = r->b.len > 0 ? 1 : 0;
}
