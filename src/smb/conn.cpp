// The connection loop: NetBIOS session framing over the caller's transport,
// session requests, the message-size limit, the idle timeout, and the hand-off
// of each complete message to the dispatcher and of its reply to send_frame.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "platform/platform.h"
#include "smb/events.h"
#include "smb/files.h"

namespace {

constexpr uint8_t kSessionOk[NB_HDR_SIZE] = {NB_POSITIVE_RESPONSE, 0, 0, 0};

// How a zero-byte read is taken while gathering bytes.
enum class zero_read { strike, ends };

uint64_t conn_now(const tw3_conn* c) {
  return c->io->now_ms != nullptr ? c->io->now_ms(c->io_ctx) : tw3_now_ms();
}

// The deadlines that hold whether or not bytes keep coming: the message
// being received must be complete within its allowance (a trickle does not
// extend it), its bytes may not stop for io_timeout_ms (a silent sender
// holds its slot no longer than a stalled send would), and a connection must
// log on soon after it opens. False when one has passed.
bool within_deadlines(tw3_conn* c, uint64_t now) {
  const bool msg_late = c->msg_under_way && (now - c->msg_started_ms > c->msg_allow_ms ||
                                             now - c->msg_bytes_ms > static_cast<uint64_t>(c->opts.io_timeout_ms));
  const bool logon_late = !c->logged_on && now - c->started_ms > TW3_LOGON_DEADLINE_MS;
  if (!msg_late && !logon_late) return true;
  tw3_stat_add(ST_TIMEOUTS, 1);
  return false;
}

// Waiting after a timeout (or an early zero read): false when the wait must
// end the connection (server stopping, idle time or a deadline exceeded).
bool may_wait(tw3_conn* c) {
  if (c->io->stopping != nullptr && c->io->stopping(c->io_ctx)) return false;
  const uint64_t now = conn_now(c);
  if (!within_deadlines(c, now)) return false;
  if (now - c->last_active_ms > static_cast<uint64_t>(c->opts.idle_timeout_ms)) {
    tw3_stat_add(ST_TIMEOUTS, 1);
    return false;
  }
  // A quiet client may be reading from its cache: tell it when the host
  // changed what it holds.
  {
    tw3_lock_guard hold(c->cl->lock);
    tw3_caching_poll(c);
    tw3_notify_poll(c);
  }
  return !c->closing;
}

// A message's first byte starts its clock, with io_timeout_ms until its
// length is known; every byte restarts only the stall clock.
void note_bytes(tw3_conn* c, uint64_t now) {
  c->msg_bytes_ms = now;
  if (c->msg_under_way) return;
  c->msg_under_way = 1;
  c->msg_started_ms = now;
  c->msg_allow_ms = static_cast<uint64_t>(c->opts.io_timeout_ms);
}

// Reads exactly n bytes into dst, in pieces of at most `piece` bytes. False
// when the connection ends instead.
bool read_exact(tw3_conn* c, uint8_t* dst, uint64_t n, uint64_t piece, zero_read zero) {
  uint64_t got = 0;
  int strikes = 0;
  while (got < n) {
    const uint32_t want = static_cast<uint32_t>(std::min(n - got, piece));
    const int k = c->io->read(c->io_ctx, dst + got, want, TW3_IO_WAIT_MS);
    if (k > 0) {
      if (static_cast<uint32_t>(k) > want) return false;  // a transport that overran its buffer
      got += static_cast<uint32_t>(k);
      const uint64_t now = conn_now(c);
      note_bytes(c, now);
      if (!within_deadlines(c, now)) return false;
      continue;
    }
    if (k == 0) {
      if (zero == zero_read::ends || ++strikes >= TW3_ZERO_READ_STRIKES) return false;
    } else if (k != TW3_IO_TIMEOUT) {
      return false;
    }
    if (!may_wait(c)) return false;
  }
  return true;
}

// Reads and discards a session request's names, then answers it.
bool answer_session_request(tw3_conn* c, uint32_t len) {
  uint8_t scratch[TW3_NB_DISCARD_CHUNK];
  while (len > 0) {
    const uint32_t part = std::min(len, TW3_NB_DISCARD_CHUNK);
    if (!read_exact(c, scratch, part, part, zero_read::ends)) return false;
    len -= part;
  }
  {
    tw3_lock_guard hold(c->send_lock);
    if (c->io->write(c->io_ctx, kSessionOk, sizeof kSessionOk) != 0) return false;
  }
  c->last_active_ms = conn_now(c);
  c->msg_under_way = 0;
  return true;
}

// Replaces the receive buffer with one of `cap` bytes holding its first
// `keep` bytes.
bool resize_rx(tw3_conn* c, std::unique_ptr<uint8_t[]>& rx, uint64_t cap, uint64_t keep) {
  std::unique_ptr<uint8_t[]> fresh(new (std::nothrow) uint8_t[cap]);
  if (!fresh) return false;
  if (keep > 0) std::memcpy(fresh.get(), rx.get(), keep);
  rx = std::move(fresh);
  c->rx_buf = rx.get();
  c->rx_cap = cap;
  return true;
}

// Reads a body of len bytes, growing the buffer geometrically as the bytes
// land rather than trusting the announced length up front.
bool read_body(tw3_conn* c, std::unique_ptr<uint8_t[]>& rx, uint64_t len) {
  const uint64_t need = len + TW3_RX_SLACK;
  uint64_t got = 0;
  while (got < len) {
    if (got >= c->rx_cap - TW3_RX_SLACK) {
      if (!resize_rx(c, rx, std::min(c->rx_cap * 2, need), got)) return false;
    }
    const uint64_t part = std::min(len, c->rx_cap - TW3_RX_SLACK) - got;
    if (!read_exact(c, c->rx_buf + got, part, part, zero_read::strike)) return false;
    got += part;
  }
  return true;
}

// After a large message the buffer goes back to its idle size.
void shrink_rx(tw3_conn* c, std::unique_ptr<uint8_t[]>& rx) {
  if (c->rx_cap > TW3_RX_KEEP_MAX) resize_rx(c, rx, TW3_RX_INITIAL, 0);
}

void trace_incoming(const tw3_conn* c, const uint8_t* msg, uint64_t len) {
  if (!c->trace) return;
  tw3_buf t{};
  tw3_buf_str(&t, ">> ");
  tw3_buf_str(&t, tw3_frame_name(msg, len));
  tw3_buf_str(&t, " hex:");
  for (uint64_t i = 0; i < len && i < TW3_TRACE_IN_BYTES; ++i) tw3_buf_printf(&t, " %02x", msg[i]);
  tw3_buf_str(&t, "\n");
  if (!t.failed)
    tw3_trace(c, "[twsmb3s %d] %.*s", c->conn_id, static_cast<int>(t.len),
              reinterpret_cast<const char*>(t.data));
  tw3_buf_free(&t);
}

void trace_reply_hex(const tw3_conn* c, const tw3_buf& b) {
  if (!c->trace || b.len == 0) return;
  tw3_buf t{};
  for (uint64_t i = 0; i < b.len && i < TW3_TRACE_REPLY_BYTES; ++i)
    tw3_buf_printf(&t, " %02x", b.data[i]);
  tw3_buf_str(&t, "\n");
  if (!t.failed) tw3_trace(c, "%s", reinterpret_cast<const char*>(t.data));
  tw3_buf_free(&t);
}

void handle_locked(tw3_conn* c, uint64_t len) {
  tw3_msg m{c->rx_buf, len, 0, 0};
  c->last_active_ms = conn_now(c);
  c->act.requests++;
  tw3_reply rep{};
  int have_reply = 0;
  if (c->io->log != nullptr) c->io->log(c->io_ctx, ">>", m.bytes, static_cast<int64_t>(m.len));
  if (tf_receive(c, &m) != 0) {  // a bad transform: nothing of it is handled
    c->closing = 1;
    return;
  }
  trace_incoming(c, m.bytes, m.len);
  if (tf_refuse_plain(c, m, &rep))
    have_reply = 1;
  else
    frame_in(c, m, &rep, &have_reply);
  trace_reply_hex(c, rep.b);
  const uint32_t status = rep.b.len >= HDR_STATUS + 4 ? le32(rep.b.data + HDR_STATUS) : 0;
  const uint64_t plain_len = rep.b.len;
  if (tw3_reply_sendable(&rep, have_reply)) {
    if (tf_wrap_reply(c, m, &rep) == 0)
      send_reply(c, &rep);
    else
      c->closing = 1;
  }
  if (plain_len > 0 && have_reply)
    tw3_trace(c, "[twsmb3s %d] << %u bytes %s\n", c->conn_id, static_cast<unsigned>(plain_len),
              tw3_status_name(status));
  tw3_buf_free(&rep.b);
  // A session ended by this message signed and sealed its answer last.
  tw3_sessions_reap(c);
  tw3_opts_get(&c->opts);
  // A busy connection is checked too, at most once a second.
  tw3_caching_poll(c);
  tw3_notify_poll(c);
}

// The message's work touches the client state the connection may share
// with other channels of its sessions: all of it runs under that state's lock.
void handle_message(tw3_conn* c, uint64_t len) {
  tw3_client_state* held = c->cl;
  held->lock.lock();
  handle_locked(c, len);
  tw3_conn_settle_client(c, held);
}

// The largest message accepted now: unauthenticated peers get only what a
// logon needs.
uint64_t message_limit(const tw3_conn* c) {
  const uint64_t limit = std::min<uint64_t>(c->opts.max_message, TW3_MESSAGE_HARD_MAX);
  return c->logged_on ? limit : std::min(limit, TW3_PRELOGON_MESSAGE_MAX);
}

// One NetBIOS message. False when the connection ends.
bool serve_one(tw3_conn* c, std::unique_ptr<uint8_t[]>& rx) {
  uint8_t nb[NB_HDR_SIZE];
  if (!read_exact(c, nb, NB_HDR_SIZE, NB_HDR_SIZE, zero_read::strike)) return false;
  const uint32_t len = (static_cast<uint32_t>(nb[1]) << 16) | (static_cast<uint32_t>(nb[2]) << 8) | nb[3];
  if (nb[0] == NB_SESSION_REQUEST) return answer_session_request(c, len);
  if (nb[0] != NB_SESSION_MESSAGE) {
    tw3_stat_add(ST_PROTOCOL_ERRORS, 1);
    return false;
  }
  if (len == 0) {
    c->last_active_ms = conn_now(c);
    c->msg_under_way = 0;
    return true;
  }
  if (len > message_limit(c)) {
    tw3_stat_add(ST_PROTOCOL_ERRORS, 1);
    return false;
  }
  c->msg_allow_ms = static_cast<uint64_t>(c->opts.io_timeout_ms) + len * 1000 / TW3_RECV_MIN_RATE;
  if (!read_body(c, rx, len)) return false;
  c->msg_under_way = 0;
  handle_message(c, len);
  // The client is idle only from the moment it has its answer: a request
  // that kept the server busy does not count against it.
  c->last_active_ms = conn_now(c);
  shrink_rx(c, rx);
  return !c->closing && within_deadlines(c, conn_now(c));
}

void end_connection(tw3_conn* c) {
  tw3_stat_add(ST_CONNECTIONS, -1);
  tw3_conn_event(c, tw3_ev::conn_closed);
  tw3_conn_leave(c);
  // The record held session secrets.
  tw3_wipe(c, sizeof *c);
}

}  // namespace

int tw3_reply_sendable(const tw3_reply* r, int have_reply) {
  // Eleven bytes or fewer cannot even hold a status.
  if (!have_reply || r->b.len <= HDR_STATUS + 3) return 0;
  const bool bare_success = r->b.len == SMB2_HDR_SIZE && le32(r->b.data + HDR_STATUS) == STATUS_SUCCESS;
  return bare_success ? 0 : 1;
}

void tw3_sess_run(const tw3_io* io, const tw3_ip* peer, const char* local_text, int32_t conn_id) {
  if (io == nullptr || peer == nullptr) return;
  char peer_text[TW3_ADDR_TEXT_MAX];
  tw3_ip_format(peer, peer_text, sizeof peer_text);
  if (!tw3_client_allowed(peer)) {
    tw3_stat_add(ST_REFUSED_ALLOW, 1);
    tw3_client_refused(peer_text, "allow");
    return;
  }
  std::unique_ptr<tw3_conn> c(new (std::nothrow) tw3_conn{});
  if (!c) return;
  c->io = io;
  c->io_ctx = io->ctx;
  c->peer = *peer;
  std::memcpy(c->peer_text, peer_text, sizeof peer_text);
  std::snprintf(c->local_text, sizeof c->local_text, "%s", local_text != nullptr ? local_text : "");
  c->conn_id = conn_id;
  c->trace = tw3_env_flag(TW3_ENV_TRACE);
  c->trace_hex = tw3_env_flag(TW3_ENV_TRACE_HEX);
  std::unique_ptr<uint8_t[]> rx(new (std::nothrow) uint8_t[TW3_RX_INITIAL]);
  if (!rx || !tw3_conn_join_client(c.get())) return;
  c->rx_buf = rx.get();
  c->rx_cap = TW3_RX_INITIAL;
  tw3_opts_get(&c->opts);
  c->started_ms = conn_now(c.get());
  c->last_active_ms = c->started_ms;
  tw3_stat_add(ST_CONNECTIONS, 1);
  tw3_conn_started(c.get());
  while (serve_one(c.get(), rx)) {
  }
  end_connection(c.get());
}
