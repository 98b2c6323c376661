// The reply to one received message: response headers (first and chained),
// statuses, error bodies, and the framed send (reply.cpp).
#pragma once

#include <cstdint>
#include <span>

#include "smb/wire.h"
#include "util/util.h"

struct tw3_conn;

// The reply built for one received message: every response of a compound
// goes into `b` and leaves as one NetBIOS message.
struct tw3_reply {
  tw3_buf b;
  uint64_t last_hdr;      // offset of the header of the response being built
  // Set by tf_wrap_reply: `b` holds the ciphertext, sealed where it was
  // built (a large READ's data is never copied for it), and this transform
  // header leaves ahead of it.
  int32_t sealed;
  uint8_t tf_hdr[TF_HDR_SIZE];
};

// Starts the reply with its first response header (the reply must be empty).
void rep_begin(tw3_reply* r, uint8_t command, uint32_t status, uint64_t message_id,
               uint64_t session_id, uint32_t tree_id, uint16_t credit_charge, uint16_t credits);
// Pads to 8 bytes, links the current response to the next and appends the
// next response header (Flags SERVER_TO_REDIR | RELATED_OPERATIONS).
void rep_chain(tw3_reply* r, uint8_t command, uint32_t status, uint64_t message_id,
               uint64_t session_id, uint32_t tree_id, uint16_t credit_charge, uint16_t credits);
// The first half of rep_chain: padding and NextCommand of the current
// response, after which its bytes are final (the signing step needs them so).
void rep_link(tw3_reply* r);
// Writes `status` into the header of the response being built (no-op when
// the reply holds no complete header there).
void rep_set_status(tw3_reply* r, uint32_t status);
// Pointer to the header of the response being built, or null.
uint8_t* rep_cur_hdr(tw3_reply* r);
// Makes the response being built an SMB2 ERROR response: sets `status` and
// replaces whatever body it had with the 9-byte error body.
void rep_error(tw3_reply* r, uint32_t status);
// Gives the ERROR response being built (its status already set) ErrorData:
// `data` as it is, or inside one error context with ErrorId 0 (MS-SMB2
// 2.2.2.1) when `as_context`, as dialect 3.1.1 wants.
void rep_error_data(tw3_reply* r, std::span<const uint8_t> data, bool as_context);

// Sends one whole SMB2 message as one NetBIOS message: traces, feeds the
// pre-authentication hash, writes, logs "<<", counts bytes_sent. A failed
// write sets c->closing.
void send_frame(tw3_conn* c, const uint8_t* bytes, uint64_t len);
// Sends the reply as one message: send_frame of its bytes, behind its
// transform header when it was sealed.
void send_reply(tw3_conn* c, const tw3_reply* r);

// The send rule of the loop: 1 when the reply leaves. A bare 64-byte success
// header carries nothing a client waits for and is withheld.
int tw3_reply_sendable(const tw3_reply* r, int have_reply);
