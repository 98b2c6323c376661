// SMB protocol engine: the connection loop, the dispatcher, names and
// traces, credits, pre-authentication, signing, server-initiated messages
// and encryption, over the records, requests, replies and handlers of the
// headers included here. Everything here runs on the thread of one
// connection and touches that connection's record, and the client state it
// shares with the other channels of its sessions under that state's lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "config/config.h"
#include "crypto/crypto.h"
#include "platform/platform.h"
#include "smb/handlers.h"
#include "smb/io.h"
#include "smb/records.h"
#include "smb/reply.h"
#include "smb/request.h"
#include "smb/wire.h"
#include "util/le.h"
#include "util/util.h"

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

// Handles one complete message. Sets *have_reply to 1 when the reply is to
// be considered for sending.
void frame_in(tw3_conn* c, const tw3_msg& m, tw3_reply* r, int* have_reply);

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
// Folds a NEGOTIATE message into the connection's hash (no-op on dialects
// up to 3.0.2).
void preauth_update(tw3_conn* c, const uint8_t* data, uint64_t len);
// Folds a SESSION_SETUP message into its session's hash; a session's first
// one hashes on from the connection's NEGOTIATE exchange.
void preauth_session_update(const tw3_conn* c, tw3_session* s, const uint8_t* data, uint64_t len);

// Verifies a signed request of len bytes at req (its own bytes, header
// first) in place with the key of session s, which has keys. 1 when the
// signature matches, 0 otherwise.
int sign_verify_request(const tw3_conn* c, tw3_session* s, uint8_t* req, uint64_t len);
// The signing decision for the response just built for a request of this
// command under session_id; `verified` is 1 when the request's signature
// was verified, and a request that came encrypted needs no signature on
// its answer. Prints the "[gate]" trace line. 1 when the response is to be signed.
int sign_decide(tw3_conn* c, const tw3_reply* r, uint8_t command, int verified, const tw3_msg& m,
                uint64_t session_id);
// Signs one response (len bytes at msg, header first) in place with the
// key of the session its header names; unsigned when that has no keys.
void sign_frame(tw3_conn* c, uint8_t* msg, uint64_t len);
// 1 when an unsigned request of this command under session_id may be
// handled: a named-user session on a server that requires signing refuses
// all but NEGOTIATE, SESSION_SETUP, ECHO and CANCEL.
int sign_unsigned_allowed(const tw3_conn* c, uint8_t command, const tw3_msg& m, uint64_t session_id);

// ======================= Server-initiated messages ========================
// Compares the files of held oplocks and leases with the host, at most once
// per TW3_CACHING_POLL_MS, breaking those that changed (leases.cpp). Called
// by the loop while it waits for the client.
void tw3_caching_poll(tw3_conn* c);

// ======================= Encryption (transform messages) ==================
// Keys the session's cipher contexts from encryption_key / decryption_key
// (after the session keys are derived); a guest session gets none.
void tf_session_keys(const tw3_conn* c, tw3_session* s);
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
// Seals an oplock or lease break when session_id (the open's) encrypts (it
// must, or its client does), as a transform of the session, which the
// break's header then names; otherwise leaves it plain. -1 when it cannot:
// the connection ends.
int tf_seal_break(tw3_conn* c, tw3_reply* r, uint64_t session_id);

