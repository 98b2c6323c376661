// A connection's records: the connection itself, the client state it
// shares with the other channels of its sessions (sessions, trees, opens),
// and the calls that make, find and free them (records.cpp, sessions.cpp,
// session_bind.cpp, cmd_tree.cpp). A connection's thread touches its client state only while
// it holds that state's lock.
#pragma once

#include <cstdint>

#include "auth/auth.h"
#include "config/config.h"
#include "crypto/crypto.h"
#include "fs/fs.h"
#include "fs/listing.h"
#include "platform/platform.h"
#include "smb/io.h"
#include "smb/request.h"
#include "smb/wire.h"
#include "util/util.h"

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

// The DCE/RPC conversation on one open of the srvsvc pipe (srvsvc.cpp): the
// fragment size the client's bind asked for, and a request arriving in
// several fragments, gathered until its last one.
struct tw3_rpc_pipe {
  uint16_t frag;          // max_recv_frag of the client's last bind; 0 before one
  int32_t phase;          // TW3_RPC_IDLE, _GATHERING or _DISCARDING
  uint32_t call_id;       // the call gathered or discarded
  uint16_t opnum;         // of the call gathered
  tw3_buf stub;           // its stub so far: at most TW3_RPC_STUB_MAX bytes
};
constexpr int32_t TW3_RPC_IDLE = 0;        // no call begun
constexpr int32_t TW3_RPC_GATHERING = 1;   // a first fragment came, the last has not
constexpr int32_t TW3_RPC_DISCARDING = 2;  // a refused call: its later fragments are dropped

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
  tw3_rpc_pipe pipe_rpc;
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
struct tw3_conn;

constexpr int TW3_ADDR_TEXT_MAX = 64;
constexpr int TW3_RX_NONCE_RING = 64;  // request nonces remembered against replay
// Sessions one connection may hold at once, logons in progress included:
// clients put every user's session on their one connection to a server.
constexpr int32_t TW3_SESSIONS_PER_CONN = 64;
// A logon in progress that has not completed within this long is dropped
// when another session begins.
constexpr uint64_t TW3_LOGON_PENDING_MS = 60000;

// Connections one session may be bound to at once (its first included).
constexpr int32_t TW3_CHANNELS_PER_SESSION = 32;

struct tw3_session;

// A connection a session serves requests on, with the key that signs there
// (on 3.1.1 each channel has its own, made from its binding's messages).
struct tw3_channel {
  const tw3_conn* conn;
  uint8_t signing_key[16];
  tw3_channel* next;
};

// One session (MS-SMB2 3.3.1.8): a logon in progress, or an authenticated
// user or guest with its keys. Trees and opens name their session by id.
struct tw3_session {
  uint64_t id;                // never 0, odd, never given twice on a connection
  int32_t authenticated;      // the logon completed; the session serves requests
  int32_t ended;              // LOGOFF or a failed re-authentication: freed once answered
  int32_t guest;
  int32_t reauth;             // a re-authentication of the live session is under way
  uint64_t begun_ms;          // when its current logon began
  uint8_t preauth_hash[64];   // 3.1.1: NEGOTIATE, then this session's SESSION_SETUPs
  uint8_t session_base_key[16];
  uint8_t server_challenge[8];
  // What the CHALLENGE carried beside the challenge itself: the AUTHENTICATE
  // answering it is checked against these, not the options of the moment.
  char challenge_name[TW3_SERVER_NAME_MAX + 1];
  int64_t challenge_time;
  int32_t setup_pending;      // a CHALLENGE was sent, its AUTHENTICATE not yet received
  tw3_logon logon;            // the NTLM messages the logon under way keeps for its MICs
  char user[TW3_USER_NAME_MAX + 1];    // as the accepted AUTHENTICATE named them
  char domain[TW3_USER_NAME_MAX + 1];

  int32_t keys_ready;
  uint8_t signing_key[16];
  uint8_t encryption_key[32];  // 16 bytes used by the AES-128 ciphers
  uint8_t decryption_key[32];
  uint8_t application_key[16];
  tw3_gcm_ctx gmac;

  // Encryption (transform.cpp)
  int32_t encrypt_data;         // the session must encrypt (option encrypt=required)
  int32_t cipher_ready;         // enc/dec are keyed for the connection's cipher
  int32_t encrypted;            // a transform of this session was accepted (counted once)
  tw3_gcm_ctx enc;              // server-to-client key (GCM or the CCM schedule)
  tw3_gcm_ctx dec;              // client-to-server key
  uint64_t tx_nonce_count;      // nonces used under `enc`; never repeats
  uint8_t nonce_prefix[4];      // per-session bytes ahead of the counter
  uint8_t rx_nonces[TW3_RX_NONCE_RING][TF_NONCE_SIZE];  // recent request nonces
  uint64_t rx_nonce_count;      // request nonces accepted so far

  // Channels (sessions.cpp, session_bind.cpp). A logon runs on the connection it began on;
  // once authenticated the session serves requests on each connection in
  // its channel list, the first one and any bound after it.
  const tw3_conn* conn;         // where its logon runs; null once that connection ended
  int32_t binding;              // a binding exchange on this connection for a session of that id
  int32_t dialect;              // of the connection it was made on, and its algorithms
  int32_t cipher_id;
  int32_t signing_algorithm;
  uint8_t client_guid[SMB2_GUID_SIZE];
  tw3_channel* channels;
  int32_t channel_count;        // at most TW3_CHANNELS_PER_SESSION

  tw3_session* next;            // next older session
};

// What one client holds on the server: its sessions with their trees and
// opens, and the leases on those opens. A connection starts with one of its
// own; binding a session of another connection (multichannel) makes it
// share that connection's. Everything here is touched under `lock`, which a
// connection's thread holds while it handles a message or looks at its
// watches and leases; the registry (sessions.cpp) finds sessions by id
// across clients for binding.
struct tw3_client_state {
  tw3_mutex lock;
  tw3_session* sessions;      // newest first; linked and unlinked under the registry's lock too
  int32_t session_count;      // at most TW3_SESSIONS_PER_CONN
  tw3_tree* tree_list;
  tw3_open_table opens;
  uint64_t next_id;           // source of tree ids, file ids and async ids
  // Leases granted on its opens (leases.cpp), newest first, at most one per open.
  tw3_lease* lease_list;
  int32_t refs;               // connections sharing it; under the registry's lock
  tw3_client_state* next_client;    // in the registry
};

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

  // The NEGOTIATE exchange's pre-authentication hash: every session's
  // logon hashes on from it.
  uint8_t preauth_hash[64];
  uint8_t preauth_salt[32];
  uint64_t max_read;
  uint64_t max_write;
  uint8_t server_guid[SMB2_GUID_SIZE];  // as the last NEGOTIATE response carried it

  // Credits (credits.cpp): the MessageIds the client may still use are
  // those from seq_low to seq_top that seq_used does not mark. A fresh
  // record allows only the NEGOTIATE's id 0.
  uint64_t seq_low;           // every id below it has been used
  uint64_t seq_top;           // highest id granted so far
  uint64_t seq_used[TW3_CREDIT_WINDOW / 64];  // bit i: id seq_low + i has been used

  // Sessions, trees and opens: in the client state, shared with the other
  // channels of its sessions.
  tw3_client_state* cl;
  uint64_t sessions_begun;    // over the connection's life: no id is given twice
  uint8_t client_guid[SMB2_GUID_SIZE];  // as its NEGOTIATE sent it
  int32_t sign_required;      // the server requires signing (as negotiated)
  // The challenge the NEGOTIATE made (its token carries it to raw NTLM
  // clients): the connection's first session takes it, later ones a fresh one.
  uint8_t server_challenge[8];
  char challenge_name[TW3_SERVER_NAME_MAX + 1];
  int64_t challenge_time;
  int32_t logon_failures;

  int32_t client_encrypt_cap;   // 3.0/3.0.2: the client set GLOBAL_CAP_ENCRYPTION

  int32_t trace;              // "TWSMB3S_TRACE" begins with 1
  int32_t trace_hex;          // "TWSMB3S_TRACE_HEX" begins with 1

  tw3_conn_activity act;
  uint64_t lease_poll_ms;     // when the grants it serves were last compared with the host

  // One frame at a time on the wire: the loop's replies and the
  // notifications the server sends on its own never interleave.
  tw3_mutex send_lock;
};

// Frees a singly linked list of records (linked through `next`) and
// leaves it empty.
template <typename T>
void tw3_free_list(T*& head) {
  T* r = head;
  head = nullptr;
  while (r != nullptr) {
    T* older = r->next;
    delete r;
    r = older;
  }
}

// Frees every tree record; the list becomes empty and the trees gauge drops by as many.
void tw3_client_free_trees(tw3_client_state* cl);
// Frees every open record (listings released first) and the lease records.
void tw3_client_free_opens(tw3_client_state* cl);
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
// ---- Sessions, channels and client states (sessions.cpp) ----
// The session record with this id that the connection may use, whatever
// its state: one whose logon runs here, or of which it is a channel; or null.
tw3_session* tw3_session_find(const tw3_conn* c, uint64_t session_id);
// The authenticated session with this id that serves requests, or null.
tw3_session* tw3_session_live(const tw3_conn* c, uint64_t session_id);
// A new session record of the connection's client state, registered as the
// newest (logons in progress older than TW3_LOGON_PENDING_MS are dropped
// first): with a fresh id, or for a binding exchange with the id of the
// session it binds to. Null when the state holds TW3_SESSIONS_PER_CONN or
// memory runs out.
tw3_session* tw3_session_begin(tw3_conn* c, uint64_t binding_id = 0);
// Ends a session on all its channels: its trees and their opens go now, its
// record (and keys, which may still sign or seal the answer at hand) once
// the message is answered.
void tw3_session_end(tw3_conn* c, tw3_session* s);
// Frees the records of ended sessions of the connection's state, their keys wiped.
void tw3_sessions_reap(tw3_conn* c);
// The session's channel on this connection, or null.
tw3_channel* tw3_channel_of(const tw3_session* s, const tw3_conn* c);
// Adds the connection to the session's channels, signing there with this
// key. False at TW3_CHANNELS_PER_SESSION or without memory.
bool tw3_channel_add(tw3_session* s, const tw3_conn* c, const uint8_t signing_key[16]);
// Gives a new connection a client state of its own. False without memory.
bool tw3_conn_join_client(tw3_conn* c);
// The connection ends: it leaves the channel lists of its state's sessions;
// those left with no channel end; the state goes with its last connection.
void tw3_conn_leave(tw3_conn* c);
// The client state holding the session (not a binding exchange) with this
// id, with a reference taken for the caller; null when there is none.
tw3_client_state* tw3_client_holding(uint64_t session_id);
// Drops a reference; the last one frees the state and all it holds.
void tw3_client_release(tw3_client_state* cl);
// After a message handled under the lock of `held` (the connection's state
// then): unlocks it, and after a binding that moved the connection into
// another state also that one, releasing the state it left.
void tw3_conn_settle_client(tw3_conn* c, tw3_client_state* held);
// Retires a tree: its waiting watches complete, its opens close, its record goes.
void tw3_tree_retire(tw3_conn* c, tw3_tree* t);
