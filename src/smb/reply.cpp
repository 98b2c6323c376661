// Response building: little-endian writers, response headers (first and
// chained), the status patch, error replies and the framed send.
#include <cinttypes>
#include <cstdlib>

#include "platform/platform.h"
#include "smb/smb.h"

namespace {

// Pre-authentication selection read from TWSMB3S_PREAUTH_MODE on every send.
constexpr long kPreauthBoth = 1;      // NEGOTIATE and MORE_PROCESSING responses
constexpr long kPreauthNegotiate = 2; // NEGOTIATE responses only
constexpr long kPreauthSetup = 3;     // MORE_PROCESSING responses only

void put_header(tw3_buf* b, uint8_t command, uint32_t status, uint64_t message_id,
                uint64_t session_id, uint32_t tree_id, uint16_t credit_charge,
                uint16_t credits, uint32_t flags) {
  w32(b, SMB2_PROTOCOL_ID);
  w16(b, SMB2_HDR_SIZE);
  w16(b, credit_charge);
  w32(b, status);
  tw3_buf_byte(b, command);
  tw3_buf_byte(b, 0);
  w16(b, credits);  // CreditResponse: all 16 bits, a grant above 255 included
  w32(b, flags);
  w32(b, 0);  // NextCommand, set when a further response is chained
  w64(b, message_id);
  w32(b, 0);  // Reserved (ProcessId)
  w32(b, tree_id);
  w64(b, session_id);
  static constexpr uint8_t kNoSignature[SIGNATURE_SIZE] = {};
  tw3_buf_put(b, kNoSignature, sizeof kNoSignature);
}

long preauth_mode() {
  const char* v = tw3_getenv(TW3_ENV_PREAUTH_MODE);
  if (v == nullptr) return kPreauthBoth;
  return std::strtol(v, nullptr, 10);  // text that is not a number gives 0
}

// Whether a sent message enters the pre-authentication hash.
bool preauth_eligible(const tw3_conn* c, const uint8_t* bytes, uint64_t len) {
  if (len < SMB2_HDR_SIZE || c->dialect <= SMB2_DIALECT_310) return false;
  if (le32(bytes) != SMB2_PROTOCOL_ID) return false;  // a transform is never hashed
  const long mode = preauth_mode();
  const uint16_t command = le16(bytes + HDR_COMMAND);
  if (command == SMB2_NEGOTIATE)
    return c->cl->session_count == 0 && (mode == kPreauthBoth || mode == kPreauthNegotiate);
  if (command == SMB2_SESSION_SETUP)
    return le32(bytes + HDR_STATUS) == STATUS_MORE_PROCESSING_REQUIRED &&
           (mode == kPreauthBoth || mode == kPreauthSetup);
  return false;
}

// A NEGOTIATE answer extends the connection's hash, a SESSION_SETUP one its
// session's (named in its header).
void preauth_sent(tw3_conn* c, const uint8_t* bytes, uint64_t len) {
  if (!preauth_eligible(c, bytes, len)) return;
  if (le16(bytes + HDR_COMMAND) == SMB2_NEGOTIATE) {
    preauth_update(c, bytes, len);
  } else if (tw3_session* s = tw3_session_find(c, le64(bytes + HDR_SESSION_ID))) {
    preauth_session_update(c, s, bytes, len);
  }
}

void trace_send(const tw3_conn* c, const uint8_t* bytes, uint64_t len) {
  if (!c->trace) return;
  uint8_t st[4] = {};
  for (uint64_t i = 0; i < 4 && HDR_STATUS + i < len; ++i) st[i] = bytes[HDR_STATUS + i];
  tw3_trace(c, "[twsmb3s %d] SEND %u bytes status=%02x%02x%02x%02x\n", c->conn_id,
            static_cast<unsigned>(len), st[3], st[2], st[1], st[0]);
  if (!c->trace_hex) return;
  tw3_buf line{};
  tw3_buf_printf(&line, "[twsmb3s %d] SEND hex:", c->conn_id);
  for (uint64_t i = 0; i < len && i < TW3_TRACE_SEND_BYTES; ++i)
    tw3_buf_printf(&line, " %02x", bytes[i]);
  tw3_buf_str(&line, "\n");
  if (!line.failed) tw3_trace(c, "%s", reinterpret_cast<const char*>(line.data));
  tw3_buf_free(&line);
}

}  // namespace

void rep_begin(tw3_reply* r, uint8_t command, uint32_t status, uint64_t message_id,
               uint64_t session_id, uint32_t tree_id, uint16_t credit_charge, uint16_t credits) {
  r->b.len = 0;
  r->last_hdr = 0;
  put_header(&r->b, command, status, message_id, session_id, tree_id, credit_charge, credits,
             SMB2_FLAGS_SERVER_TO_REDIR);
}

void rep_link(tw3_reply* r) {
  while (r->b.len % SMB2_COMPOUND_ALIGN != 0 && !r->b.failed) tw3_buf_byte(&r->b, 0);
  if (r->b.failed) return;
  if (r->b.len >= r->last_hdr + HDR_NEXT_COMMAND + 4)
    put_le32(r->b.data + r->last_hdr + HDR_NEXT_COMMAND,
             static_cast<uint32_t>(r->b.len - r->last_hdr));
}

void rep_chain(tw3_reply* r, uint8_t command, uint32_t status, uint64_t message_id,
               uint64_t session_id, uint32_t tree_id, uint16_t credit_charge, uint16_t credits) {
  rep_link(r);
  r->last_hdr = r->b.len;
  put_header(&r->b, command, status, message_id, session_id, tree_id, credit_charge, credits,
             SMB2_FLAGS_SERVER_TO_REDIR | SMB2_FLAGS_RELATED_OPERATIONS);
}

uint8_t* rep_cur_hdr(tw3_reply* r) {
  if (r->b.failed || r->b.len < SMB2_HDR_SIZE || r->last_hdr > r->b.len - SMB2_HDR_SIZE)
    return nullptr;
  return r->b.data + r->last_hdr;
}

void rep_set_status(tw3_reply* r, uint32_t status) {
  uint8_t* h = rep_cur_hdr(r);
  if (h != nullptr) put_le32(h + HDR_STATUS, status);
}

void rep_error(tw3_reply* r, uint32_t status) {
  if (rep_cur_hdr(r) == nullptr) return;
  // Whatever a handler had begun to append is not part of an error answer.
  r->b.len = r->last_hdr + SMB2_HDR_SIZE;
  rep_set_status(r, status);
  static constexpr uint8_t kErrorBody[SMB2_ERROR_BODY_SIZE] = {SMB2_ERROR_STRUCTURE_SIZE};
  tw3_buf_put(&r->b, kErrorBody, sizeof kErrorBody);
}

void rep_error_data(tw3_reply* r, std::span<const uint8_t> data, bool as_context) {
  if (rep_cur_hdr(r) == nullptr) return;
  r->b.len = r->last_hdr + SMB2_HDR_SIZE;
  const uint32_t context_bytes = as_context ? SMB2_ERROR_CONTEXT_HEADER_SIZE : 0;
  w16(&r->b, SMB2_ERROR_STRUCTURE_SIZE);
  tw3_buf_byte(&r->b, as_context ? 1 : 0);  // ErrorContextCount
  tw3_buf_byte(&r->b, 0);
  w32(&r->b, uint32_t(context_bytes + data.size()));  // ByteCount
  if (as_context) {
    w32(&r->b, uint32_t(data.size()));  // ErrorDataLength
    w32(&r->b, 0);                      // ErrorId: the default context
  }
  tw3_buf_put(&r->b, data.data(), data.size());
}

namespace {

// The observers (trace, log) see a message whole; a sealed reply is joined
// for them only when one is watching.
struct whole_message {
  tw3_buf joined{};
  const uint8_t* data;
  uint64_t len;
  whole_message(const tw3_conn* c, const uint8_t* head, uint64_t head_len, const uint8_t* bytes,
                uint64_t n)
      : data(bytes), len(n) {
    if (head_len == 0 || (!c->trace && c->io->log == nullptr)) return;
    tw3_buf_put(&joined, head, head_len);
    tw3_buf_put(&joined, bytes, n);
    if (!joined.failed) data = joined.data, len = joined.len;
  }
  ~whole_message() { tw3_buf_free(&joined); }
};

// The parts leave in one write, so with no delay on the socket a small
// reply is one segment, not one per header.
int write_parts(const tw3_conn* c, const tw3_iovec* parts, int count) {
  if (c->io->writev != nullptr) return c->io->writev(c->io_ctx, parts, count);
  tw3_buf joined{};
  for (int i = 0; i < count; i++) tw3_buf_put(&joined, parts[i].data, parts[i].len);
  const int rc =
      joined.failed ? -1 : c->io->write(c->io_ctx, joined.data, static_cast<uint32_t>(joined.len));
  tw3_buf_free(&joined);
  return rc;
}

void send_parts(tw3_conn* c, const uint8_t* head, uint64_t head_len, const uint8_t* bytes,
                uint64_t len) {
  if (bytes == nullptr) len = 0;
  const uint64_t total = head_len + len;
  if (total > NB_LENGTH_MAX) {
    // Cannot be framed; never cut a message short on the wire.
    c->closing = 1;
    return;
  }
  const uint8_t nb[NB_HDR_SIZE] = {NB_SESSION_MESSAGE, static_cast<uint8_t>(total >> 16),
                                   static_cast<uint8_t>(total >> 8), static_cast<uint8_t>(total)};
  tw3_iovec parts[3] = {{nb, NB_HDR_SIZE}};
  int count = 1;
  if (head_len != 0) parts[count++] = {head, head_len};
  if (len != 0) parts[count++] = {bytes, len};
  const whole_message whole(c, head, head_len, bytes, len);
  // Header and message leave back to back: a notification sent meanwhile
  // waits for the whole frame.
  tw3_lock_guard hold(c->send_lock);
  trace_send(c, whole.data, whole.len);
  if (head_len == 0) preauth_sent(c, bytes, len);
  if (write_parts(c, parts, count) != 0) c->closing = 1;
  if (c->io->log != nullptr) c->io->log(c->io_ctx, "<<", whole.data, static_cast<int64_t>(whole.len));
  tw3_stat_add(ST_BYTES_SENT, static_cast<int64_t>(total));
  c->act.bytes_sent += total;
}

}  // namespace

void send_frame(tw3_conn* c, const uint8_t* bytes, uint64_t len) {
  send_parts(c, nullptr, 0, bytes, len);
}

void send_reply(tw3_conn* c, const tw3_reply* r) {
  if (r->sealed)
    send_parts(c, r->tf_hdr, sizeof r->tf_hdr, r->b.data, r->b.len);
  else
    send_frame(c, r->b.data, r->b.len);
}
