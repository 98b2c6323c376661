// The command handlers the dispatch table calls, and what they hand back.
#pragma once

#include <cstdint>

#include "smb/records.h"
#include "smb/reply.h"
#include "smb/request.h"
#include "smb/wire.h"

// What a handler hands back to the dispatcher, which writes the status into
// the response header. With `body` the response the handler appended stands
// (a success, or a status that carries data: MORE_PROCESSING_REQUIRED,
// BUFFER_OVERFLOW, error data); without it the dispatcher makes the response
// an error response, whatever the handler had appended, and traces `site`.
struct tw3_done {
  uint32_t status;
  int32_t site;
  bool body;
};
constexpr tw3_done tw3_answer(uint32_t status = STATUS_SUCCESS) { return {status, 0, true}; }
constexpr tw3_done tw3_refuse(uint32_t status, int32_t site) { return {status, site, false}; }

// Every handler is called with the response header of its request already
// the last thing in the reply (at last_hdr) and the dispatch table's checks
// passed. It appends its body and returns its status.
using tw3_handler = tw3_done (*)(tw3_conn* c, tw3_req* rq, tw3_rd* body, tw3_reply* r);

tw3_done cmd_negotiate(tw3_conn* c, tw3_req* rq, tw3_rd* body, tw3_reply* r);
tw3_done cmd_session_setup(tw3_conn* c, tw3_req* rq, tw3_rd* body, tw3_reply* r);
tw3_done cmd_logoff(tw3_conn* c, tw3_req* rq, tw3_rd* body, tw3_reply* r);
tw3_done cmd_tree_connect(tw3_conn* c, tw3_req* rq, tw3_rd* body, tw3_reply* r);
tw3_done cmd_tree_disconnect(tw3_conn* c, tw3_req* rq, tw3_rd* body, tw3_reply* r);
tw3_done cmd_create(tw3_conn* c, tw3_req* rq, tw3_rd* body, tw3_reply* r);
tw3_done cmd_close(tw3_conn* c, tw3_req* rq, tw3_rd* body, tw3_reply* r);
tw3_done cmd_read(tw3_conn* c, tw3_req* rq, tw3_rd* body, tw3_reply* r);
// WRITE reaches a handler only for a pipe open (the dispatcher's gate).
tw3_done cmd_write(tw3_conn* c, tw3_req* rq, tw3_rd* body, tw3_reply* r);
tw3_done cmd_ioctl(tw3_conn* c, tw3_req* rq, tw3_rd* body, tw3_reply* r);
tw3_done cmd_cancel(tw3_conn* c, tw3_req* rq, tw3_rd* body, tw3_reply* r);
tw3_done cmd_echo(tw3_conn* c, tw3_req* rq, tw3_rd* body, tw3_reply* r);
tw3_done cmd_query_directory(tw3_conn* c, tw3_req* rq, tw3_rd* body, tw3_reply* r);
tw3_done cmd_change_notify(tw3_conn* c, tw3_req* rq, tw3_rd* body, tw3_reply* r);
tw3_done cmd_query_info(tw3_conn* c, tw3_req* rq, tw3_rd* body, tw3_reply* r);
tw3_done cmd_oplock_break(tw3_conn* c, tw3_req* rq, tw3_rd* body, tw3_reply* r);
// Command bytes 19 and above.
tw3_done cmd_unknown(tw3_conn* c, tw3_req* rq, tw3_rd* body, tw3_reply* r);

// The SecurityMode and the Capabilities the server announces for the
// negotiated dialect (NEGOTIATE and VALIDATE_NEGOTIATE_INFO must agree on them).
uint16_t tw3_server_security_mode(const tw3_conn* c);
uint32_t tw3_server_capabilities(const tw3_conn* c);

// Binding (session_bind.cpp). Before a SESSION_SETUP that asks to bind the
// connection to a session is checked, makes its binding record (ended when
// the session cannot be bound from here): its signature is checked with the
// session's key.
void tw3_bind_prepare(tw3_conn* c, uint64_t session_id);
// The binding exchange b authenticated the session's user: the connection
// becomes a channel of the session, signing with channel_key there. Its
// status: USER_SESSION_DELETED when the session is gone.
uint32_t tw3_bind_join(tw3_conn* c, tw3_session* b, const uint8_t channel_key[16]);

// Records what a CHALLENGE sent at Unix time t carried (the server name),
// for the AUTHENTICATE that answers it.
void tw3_keep_challenge(tw3_conn* c, int64_t t);

// The SMB1 NEGOTIATE upgrade: called by frame_in for a message beginning
// with 0xFF 'S' 'M' 'B'; builds the whole reply itself.
void smb1_negotiate(tw3_conn* c, const uint8_t* msg, uint64_t len, tw3_reply* r, int* have_reply);
