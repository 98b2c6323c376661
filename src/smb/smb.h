// SMB protocol engine: the per-connection loop over a transport table, the
// request header parser, the bounded body reader, the reply builders, the
// dispatcher and the command handlers. Everything here runs on the thread of
// one connection and touches only that connection's record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "config/config.h"
#include "crypto/crypto.h"
#include "fs/fs.h"
#include "fs/listing.h"
#include "platform/platform.h"
#include "smb/wire.h"
#include "util/util.h"

// ======================= Transport operations =============================
// Supplied by the caller of tw3_sess_run, valid for the whole call.
struct tw3_io {
  void* ctx;  // handed back unchanged as the first argument
  // Writes all bytes. 0 on success, anything else on failure.
  int (*write)(void* ctx, const uint8_t* data, uint32_t len);
  // Waits at most timeout_ms for data. Bytes stored (1..cap), 0 when the
  // peer has nothing more, -2 on timeout, any other negative on failure.
  int (*read)(void* ctx, uint8_t* buf, uint32_t cap, uint32_t timeout_ms);
  // Optional observer of whole SMB messages: ">>" received, "<<" sent.
  void (*log)(void* ctx, const char* direction, const uint8_t* data, int64_t len);
  // Optional clock for the loop's deadlines (milliseconds, monotonic);
  // null means tw3_now_ms. Lets a scripted transport fake the passing time.
  uint64_t (*now_ms)(void* ctx);
  // Optional: writes the parts in order as one transfer, 0 on success. Every
  // reply leaves through it (one segment for its headers and body); without
  // it the parts are joined for one write.
  int (*writev)(void* ctx, const tw3_iovec* parts, int count);
};

constexpr int TW3_IO_TIMEOUT = -2;

// ======================= Per-connection records ===========================
struct tw3_tree {
  uint32_t tree_id;       // unique among the connection's live trees
  uint64_t session_id;    // the session that connected it
  char share_name[TW3_SHARE_NAME_MAX + 1];
  int32_t is_ipc;
  tw3_share share;        // copy taken at connect time; empty for IPC$
  tw3_tree* next;         // next older tree
};

struct tw3_lease;
struct tw3_notify;

// A search pattern: the bytes an open keeps and compares, and the room kept
// for them.
constexpr int TW3_PATTERN_KEPT = 511;
constexpr int TW3_PATTERN_KEEP = TW3_PATTERN_KEPT + 2;

// One live open: made by CREATE, freed by CLOSE or with its tree, session or
// connection.
struct tw3_open {
  uint64_t file_id;       // FileId.Persistent; FileId.Volatile is always 0
  int32_t is_dir;
  int32_t is_pipe;        // the srvsvc pipe on IPC$
  uint64_t session_id;    // the session that made it: used under that session only
  uint32_t tree_id;       // the tree it was opened through; closed with it
  uint32_t granted_access;  // the rights CREATE accepted, generic bits mapped
  char local_path[TW3_LOCAL_PATH_MAX];
  char share_name[TW3_SHARE_NAME_MAX + 1];
  tw3_share share;
  tw3_stat st;            // as resolved at open time; zero for the pipe
  int32_t listing_valid;
  tw3_listing* listing;   // a reference, dropped with tw3_open_drop_listing
  int32_t listing_count;
  int32_t cursor;
  char pattern[TW3_PATTERN_KEEP];
  int32_t listing_class;
  // Pipe opens: DCE/RPC answers to PDUs written to the pipe, waiting to be
  // read (pipe.cpp); at most TW3_PIPE_PENDING_MAX bytes.
  tw3_buf pipe_out;
  uint64_t pipe_out_pos;
  uint64_t pipe_msg_left;
  uint16_t pipe_frag;     // max_recv_frag of the client's last bind; 0 before one
  // Read caching granted with the open (leases.cpp): a level II oplock, or
  // a share in a lease of the connection.
  uint8_t oplock_level;     // SMB2_OPLOCK_LEVEL_NONE, _II or _LEASE
  int32_t oplock_breaking;  // a break to none was sent and not yet acknowledged
  tw3_lease* lease;         // with level _LEASE
  tw3_notify* notify;       // CHANGE_NOTIFY watch of a folder open (change_notify.cpp)
  tw3_open* next;         // next older open
  tw3_open* prev;         // next newer open
};

struct tw3_fid_index;

// The live opens of a connection (records.cpp): newest first, and indexed
// by FileId.Persistent.
struct tw3_open_table {
  tw3_open* newest;
  int32_t count;          // bounded by the option max_handles
  tw3_fid_index* index;
};

struct tw3_hdr;

constexpr int TW3_ADDR_TEXT_MAX = 64;
constexpr int TW3_RX_NONCE_RING = 64;  // request nonces remembered against replay

// What the access log reports about a connection (smb/events.cpp).
struct tw3_conn_activity {
  uint64_t started_ms;
  uint64_t bytes_sent;
  uint64_t requests;                    // SMB messages received
  char user[TW3_USER_NAME_MAX + 1];     // as sent in the last AUTHENTICATE
  char domain[TW3_USER_NAME_MAX + 1];
};

struct tw3_conn {
  const tw3_io* io;
  void* io_ctx;
  tw3_ip peer;
  char peer_text[TW3_ADDR_TEXT_MAX];
  char local_text[TW3_ADDR_TEXT_MAX];
  int32_t conn_id;
  tw3_opts opts;             // snapshot, refreshed after every message
  uint8_t* rx_buf;
  uint64_t rx_cap;
  uint64_t last_active_ms;
  uint64_t started_ms;       // when the loop began serving the connection
  int32_t msg_under_way;     // bytes of a message have arrived, not yet all of it
  uint64_t msg_started_ms;   // when its first byte arrived
  uint64_t msg_allow_ms;     // how long that message may take to arrive
  uint64_t msg_bytes_ms;     // when its latest bytes arrived
  int32_t logged_on;         // a logon has completed on this connection
  int32_t closing;           // end the loop after the current message

  // Negotiate
  int32_t negotiated;
  int32_t dialect;
  int32_t client_sign_required;
  int32_t client_sign_enabled;
  int32_t client_large_mtu;
  int32_t signing_algorithm;  // 0 none, 1 AES-CMAC, 2 AES-GMAC
  int32_t cipher_id;          // 0 none, 1 AES-128-CCM, 2 AES-128-GCM, 3/4 AES-256 CCM/GCM
  int32_t preauth_started;
  int32_t smb2_negotiated;

  // Session keys
  int32_t keys_ready;
  uint8_t preauth_hash[64];
  // The hash once the NEGOTIATE exchange was folded in: every new session's
  // logon starts from it, whatever an abandoned logon before it added.
  uint8_t negotiate_hash[64];
  uint8_t preauth_salt[32];
  uint8_t signing_key[16];
  uint8_t encryption_key[32];  // 16 bytes used by the AES-128 ciphers
  uint8_t decryption_key[32];
  uint8_t application_key[16];
  tw3_gcm_ctx gmac;
  uint64_t max_read;
  uint64_t max_write;
  uint8_t server_guid[SMB2_GUID_SIZE];  // as the last NEGOTIATE response carried it

  // Credits (credits.cpp): the MessageIds the client may still use are
  // those from seq_low to seq_top that seq_used does not mark. A fresh
  // record allows only the NEGOTIATE's id 0.
  uint64_t seq_low;           // every id below it has been used
  uint64_t seq_top;           // highest id granted so far
  uint64_t seq_used[TW3_CREDIT_WINDOW / 64];  // bit i: id seq_low + i has been used

  // Session
  int32_t authenticated;
  uint64_t session_id;        // 0 when no session is begun or pending
  uint64_t sessions_begun;    // over the connection's life: no id is given twice
  int32_t session_guest;
  int32_t sign_required;
  uint8_t session_base_key[16];
  uint8_t server_challenge[8];
  // What the last CHALLENGE carried beside the challenge itself: the
  // AUTHENTICATE answering it is checked against these, not against the
  // options of the moment.
  char challenge_name[TW3_SERVER_NAME_MAX + 1];
  int64_t challenge_time;
  int32_t setup_pending;
  int32_t logon_failures;

  // Trees and opens
  tw3_tree* tree_list;
  tw3_open_table opens;
  uint64_t next_id;           // source of tree ids and file ids

  // Encryption of the session (transform.cpp)
  int32_t client_encrypt_cap;   // 3.0/3.0.2: the client set GLOBAL_CAP_ENCRYPTION
  int32_t encrypt_data;         // the session must encrypt (option encrypt=required)
  int32_t cipher_ready;         // enc/dec are keyed for cipher_id
  int32_t session_encrypted;    // a transform of this session was accepted (counted once)
  tw3_gcm_ctx enc;              // server-to-client key (GCM or the CCM schedule)
  tw3_gcm_ctx dec;              // client-to-server key
  uint64_t tx_nonce_count;      // nonces used under `enc`; never repeats
  uint8_t nonce_prefix[4];      // per-session bytes ahead of the counter
  uint8_t rx_nonces[TW3_RX_NONCE_RING][TF_NONCE_SIZE];  // recent request nonces
  uint64_t rx_nonce_count;      // request nonces accepted so far

  int32_t trace;              // "TWSMB3S_TRACE" begins with 1
  int32_t trace_hex;          // "TWSMB3S_TRACE_HEX" begins with 1

  tw3_conn_activity act;
  // Leases granted on this connection (leases.cpp), newest first, at most
  // one per open; and when the held ones were last compared with the host.
  tw3_lease* lease_list;
  uint64_t lease_poll_ms;

  // One frame at a time on the wire: the loop's replies and the
  // notifications the server sends on its own never interleave.
  tw3_mutex send_lock;
};

// ======================= Header, reader, reply ============================
struct tw3_hdr {
  uint8_t command;          // byte 12 only; byte 13 is ignored
  uint16_t credit_charge;
  uint16_t credit_request;
  uint32_t flags;
  uint32_t tree_id;
  uint64_t message_id;
  uint64_t session_id;
  uint64_t async_id;        // bytes 32..39: AsyncId when Flags has ASYNC_COMMAND
  uint64_t signature;       // offset of the 16 signature bytes in the parsed range
  int32_t is_signed;
};

// One received message as it travels from the loop through the dispatcher
// and the handlers to the reply path: its bytes (the inner message once a
// transform is opened, modified in place only by signature checks) and how
// it came.
struct tw3_msg {
  uint8_t* bytes;
  uint64_t len;
  int32_t encrypted;      // arrived in a transform of the connection's session
  uint64_t session_id;    // that transform's session: the reply is sealed under
                          // it, even when the message was a LOGOFF
};

// One request of a message as the dispatcher resolved it: handed to the
// request's handler, read back by the dispatcher afterwards. It lives for that
// one request.
struct tw3_req {
  tw3_hdr hdr;            // as received, with the ids of a related request filled in
  const tw3_msg* msg;     // the message it came in
  uint64_t off;           // where the request begins in its message
  uint64_t len;           // its own bytes: up to NextCommand, else to the message's end
  int32_t in_compound;    // not the first request of its message
  tw3_tree* tree;         // the live tree of the session that hdr.tree_id names, or null
  // The open its FileId names, resolved by the dispatcher (null for commands
  // without one); for CREATE, the open it made.
  tw3_open* open;
};

// Parses the 64-byte SMB2 sync header at the start of bytes[0..len).
// 0 with *body_offset = 64, or -1 when the bytes are not an SMB2 header.
int parse_header(const uint8_t* bytes, uint64_t len, tw3_hdr* hdr, uint64_t* body_offset);

// Bounded little-endian reader with a sticky failure flag: it never reads
// at or beyond `len`. A handler's reader starts at the first body byte of its
// request (pos 0) and reaches to the end of that request (its NextCommand, or
// the message's end), so a field that the protocol counts from the header
// start is at body position off - 64.
struct tw3_rd {
  const uint8_t* data;
  uint64_t len;
  uint64_t pos;
  int32_t bad;
};

// A read that runs past the end sets `bad`, leaves pos at len and returns the
// bytes it did read as the low bytes of the value.
uint8_t rd_u8(tw3_rd* r);
uint16_t rd_u16(tw3_rd* r);
uint32_t rd_u32(tw3_rd* r);
uint64_t rd_u64(tw3_rd* r);
// Advances n bytes; past the end sets bad and stops at len.
void rd_skip(tw3_rd* r, uint64_t n);
// 1 when n bytes from `off` lie inside the reader's range (no wrapping).
int rd_has(const tw3_rd* r, uint64_t off, uint64_t n);
// Pointer to n bytes at absolute position `off`, or null (and bad set) when
// they do not lie wholly inside the range. Does not move pos.
const uint8_t* rd_at(tw3_rd* r, uint64_t off, uint64_t n);

// Little-endian byte helpers for fixed positions already bounds-checked.
inline uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t le64(const uint8_t* p) {
  return static_cast<uint64_t>(le32(p)) | (static_cast<uint64_t>(le32(p + 4)) << 32);
}
inline void put_le16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void put_le32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void put_le64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Appenders to a tw3_buf (single bytes and runs: tw3_buf_byte, tw3_buf_put).
void w16(tw3_buf* b, uint16_t v);
void w32(tw3_buf* b, uint32_t v);
void w64(tw3_buf* b, uint64_t v);

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

// ======================= Names and traces =================================
// Command name by command byte; "?" from 19 up.
const char* tw3_cmd_name(uint8_t command);
// Status name; "STATUS?" for codes without a name.
const char* tw3_status_name(uint32_t status);
// Name of a received message ("SMB1_NEGOTIATE", "READ", "?", ...).
const char* tw3_frame_name(const uint8_t* bytes, uint64_t len);

constexpr const char* TW3_ENV_TRACE = "TWSMB3S_TRACE";
constexpr const char* TW3_ENV_TRACE_HEX = "TWSMB3S_TRACE_HEX";
constexpr const char* TW3_ENV_PREAUTH_MODE = "TWSMB3S_PREAUTH_MODE";
// 1 when the environment variable exists and begins with the character 1.
int tw3_env_flag(const char* name);
// Prints to the standard error stream when c->trace is set (no prefix added).
void tw3_trace(const tw3_conn* c, const char* fmt, ...) TW3_PRINTF(2, 3);

// ======================= Connection loop and dispatcher ===================
// Serves one connection until it ends. `local_text` may be null. The caller
// closes its transport afterwards.
void tw3_sess_run(const tw3_io* io, const tw3_ip* peer, const char* local_text, int32_t conn_id);

// The send rule of the loop: 1 when the reply leaves. A bare 64-byte success
// header carries nothing a client waits for and is withheld.
int tw3_reply_sendable(const tw3_reply* r, int have_reply);

// Handles one complete message. Sets *have_reply to 1 when the reply is to
// be considered for sending.
void frame_in(tw3_conn* c, const tw3_msg& m, tw3_reply* r, int* have_reply);

// Frees every tree record; the list becomes empty. No counter changes.
void tw3_conn_free_trees(tw3_conn* c);
// Frees every open record (listings released first) and the lease records.
void tw3_conn_free_opens(tw3_conn* c);
// A new open record with a fresh FileId, registered as the newest; null
// without memory. Ids are never reused on the connection.
tw3_open* tw3_open_add(tw3_conn* c);
// Releases the directory listing an open holds, if any.
void tw3_open_drop_listing(tw3_open* o);
// Releases what an open holds: its listing and any pending pipe answer.
void tw3_open_release(tw3_open* o);
// CLOSE without its answer: caching, watch and resources released and the
// record freed (o is gone afterwards).
void tw3_open_close(tw3_conn* c, tw3_open* o);
// The live open with this FileId.Persistent, or null.
tw3_open* tw3_open_find(const tw3_conn* c, uint64_t file_id);
// The same, only when it belongs to the session and tree the request
// header names; null for any other.
tw3_open* tw3_open_of(const tw3_conn* c, const tw3_hdr& h, uint64_t file_id);
// 1 when session_id names the connection's authenticated session.
bool tw3_session_live(const tw3_conn* c, uint64_t session_id);

// ======================= Command handlers =================================
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

// The Capabilities the server announces for the negotiated dialect (NEGOTIATE
// and VALIDATE_NEGOTIATE_INFO must agree on them).
uint32_t tw3_server_capabilities(const tw3_conn* c);

// Records what a CHALLENGE sent at Unix time t carried (the server name),
// for the AUTHENTICATE that answers it.
void tw3_keep_challenge(tw3_conn* c, int64_t t);

// The SMB1 NEGOTIATE upgrade: called by frame_in for a message beginning
// with 0xFF 'S' 'M' 'B'; builds the whole reply itself.
void smb1_negotiate(tw3_conn* c, const uint8_t* msg, uint64_t len, tw3_reply* r, int* have_reply);

// ======================= Credits (credits.cpp) ============================
// Uses the MessageIds of a request: message_id and the CreditCharge - 1 ids
// after it (one id for a charge of 0). 0, or -1 when one of them was never
// granted or was used before; nothing is used then.
int tw3_seq_consume(tw3_conn* c, uint64_t message_id, uint16_t credit_charge);
// Credits for the response to a request that asked for `requested`: what it
// asked (1 for 0), within max_credits held at once, and at least 1 when the
// client would otherwise hold none. Grows the window by the grant.
uint16_t tw3_credit_grant(tw3_conn* c, uint16_t requested);
// MessageIds granted and not yet used.
uint64_t tw3_credits_held(const tw3_conn* c);
// The CreditCharge a request moving `payload` bytes either way must carry.
uint64_t tw3_credit_charge_needed(uint64_t payload);

// ======================= Pre-authentication and signing ===================
// Folds one message into preauth_hash (no-op on dialects up to 3.0.2); a
// NEGOTIATE message also extends the connection's part of it.
void preauth_update(tw3_conn* c, const uint8_t* data, uint64_t len);
// A SESSION_SETUP that begins a session (SessionId 0) hashes on from the
// connection's part, not from an earlier logon's messages.
void preauth_begin_session(tw3_conn* c);

// Verifies a signed request of len bytes at req (its own bytes, header
// first) in place. The caller has checked that the connection has keys or a
// session. 1 when the signature matches, 0 otherwise.
int sign_verify_request(tw3_conn* c, uint8_t* req, uint64_t len);
// The signing decision for the response just built for a request of this
// command; `verified` is 1 when the request's signature was verified, and
// a request that came encrypted needs no signature on its answer.
// Prints the "[gate]" trace line. 1 when the response is to be signed.
int sign_decide(tw3_conn* c, const tw3_reply* r, uint8_t command, int verified, const tw3_msg& m);
// Signs one response (len bytes at msg, header first) in place.
void sign_frame(tw3_conn* c, uint8_t* msg, uint64_t len);
// 1 when an unsigned request of this command may be handled: a named-user
// session on a server that requires signing refuses all but NEGOTIATE,
// SESSION_SETUP, ECHO and CANCEL.
int sign_unsigned_allowed(const tw3_conn* c, uint8_t command, const tw3_msg& m);

// ======================= Server-initiated messages ========================
// Compares the files of held oplocks and leases with the host, at most once
// per TW3_CACHING_POLL_MS, breaking those that changed (leases.cpp). Called
// by the loop while it waits for the client.
void tw3_caching_poll(tw3_conn* c);

// ======================= Encryption (transform messages) ==================
// Keys the session's cipher contexts from encryption_key / decryption_key
// (after the session keys are derived); a guest session gets none.
void tf_session_keys(tw3_conn* c);
// Forgets the session's cipher keys (logoff, end of the connection).
void tf_session_wipe(tw3_conn* c);
// A received message: a transform is authenticated and decrypted in place
// (m then names the inner message, with encrypted and session_id set). -1
// when the message must be dropped and the connection closed; 0 to go on.
int tf_receive(tw3_conn* c, tw3_msg* m);
// 1 when a plain message must be refused because the session demands
// encryption; the refusal is then already in *r.
int tf_refuse_plain(tw3_conn* c, const tw3_msg& m, tw3_reply* r);
// Wraps the whole reply in one transform when the request came encrypted:
// the bytes are sealed in place and r->sealed set.
// -1 when it cannot (no memory, nonces spent): the connection ends.
int tf_wrap_reply(tw3_conn* c, const tw3_msg& m, tw3_reply* r);
// Seals a message the server sends later on its own for a request that came
// encrypted (a CHANGE_NOTIFY completion): a client that encrypts drops
// anything plain of its session. -1 when it cannot: the connection ends.
int tf_seal_own(tw3_conn* c, tw3_reply* r, uint64_t session_id);
// Seals an oplock or lease break when the session encrypts (it must, or its
// client does), as a transform of the session, which the break's header then
// names; otherwise leaves it plain. -1 when it cannot: the connection ends.
int tf_seal_break(tw3_conn* c, tw3_reply* r);

// ======================= Server stop flag =================================
// 1 once the network server is stopping; defined by the network layer.
int tw3_server_stopping();
