// SESSION_SETUP (MS-SMB2 2.2.5, 2.2.6, 3.3.5.5): the two NTLM legs inside
// SPNEGO (or bare NTLM), the account and guest decision, new sessions beside
// the connection's others, re-authentication of a live one, and the session
// keys (MS-SMB2 3.2.5.3.1).
#include <cstdio>
#include <cstring>

#include "auth/auth.h"
#include "platform/platform.h"
#include "smb/events.h"
#include "smb/smb.h"

namespace {

constexpr uint16_t kStructureSize = 25;
constexpr uint16_t kStructureSizeAlt = 26;  // some clients count the buffer byte
constexpr uint16_t kResponseStructureSize = 9;
constexpr uint16_t kResponseBufferOffset = SMB2_HDR_SIZE + 8;  // 72
constexpr uint16_t SESSION_FLAG_IS_GUEST = 0x0001;
constexpr uint64_t kTraceBlobHead = 24;
constexpr uint64_t kKeySize = 16;

enum site : int {
  kSiteSize = 3501, kSiteFields, kSiteBinding, kSiteBuffer, kSiteNoCipher, kSiteLogon, kSiteSession, kSiteBind
};

int64_t now_or_clock(const tw3_conn* c) {
  return c->opts.clock != 0 ? c->opts.clock : tw3_unix_now();
}

// A fresh challenge for the session's next CHALLENGE, with what it carries.
void new_challenge(const tw3_conn* c, tw3_session* s) {
  s->challenge_time = now_or_clock(c);
  tw3_ntlm_challenge(c->opts.server_name, s->challenge_time, c->opts.clock != 0, s->server_challenge);
  std::snprintf(s->challenge_name, sizeof s->challenge_name, "%s", c->opts.server_name);
}

// A SESSION_SETUP with SessionId 0 begins a new session (MS-SMB2 3.3.5.5.1)
// beside those the connection holds; any other id must name one of them: a
// logon in progress goes on, a live session re-authenticates. The session's
// record, or null with the refusal's status in *status.
tw3_session* pick_session(tw3_conn* c, uint64_t session_id, uint32_t* status) {
  if (session_id != 0) {
    tw3_session* s = tw3_session_find(c, session_id);
    if (s == nullptr || s->ended) *status = STATUS_USER_SESSION_DELETED;
    if (s != nullptr && s->authenticated && !s->setup_pending) s->reauth = 1;
    return *status == STATUS_SUCCESS ? s : nullptr;
  }
  // A server that requires encryption takes no client that cannot encrypt.
  if (c->opts.encrypt == TW3_ENCRYPT_REQUIRED && c->cipher_id == SMB2_CIPHER_NONE) {
    *status = STATUS_ACCESS_DENIED;
    return nullptr;
  }
  tw3_session* s = tw3_session_begin(c);
  if (s == nullptr) {
    *status = STATUS_INSUFFICIENT_RESOURCES;
    return nullptr;
  }
  std::memcpy(s->preauth_hash, c->preauth_hash, sizeof s->preauth_hash);
  // The connection's first session takes the challenge its NEGOTIATE made
  // (raw NTLM clients answer that one at once); later ones get their own.
  if (c->sessions_begun == 1) {
    std::memcpy(s->server_challenge, c->server_challenge, sizeof s->server_challenge);
    std::memcpy(s->challenge_name, c->challenge_name, sizeof s->challenge_name);
    s->challenge_time = c->challenge_time;
  } else {
    new_challenge(c, s);
  }
  return s;
}

// A SESSION_SETUP that binds the connection to a session of its client
// (MS-SMB2 3.3.5.5): the binding record made for it, or null with the
// refusal's status in *status.
tw3_session* pick_binding(const tw3_conn* c, const tw3_hdr& h, uint32_t* status) {
  tw3_session* s = tw3_session_find(c, h.session_id);
  if (c->dialect < SMB2_DIALECT_300 || (s != nullptr && !s->binding && !s->ended))
    *status = STATUS_REQUEST_NOT_ACCEPTED;  // no multichannel, or already served here
  else if (s == nullptr || s->ended)
    *status = STATUS_USER_SESSION_DELETED;
  else if (s->dialect != c->dialect || s->cipher_id != c->cipher_id ||
           s->signing_algorithm != c->signing_algorithm || !h.is_signed ||
           std::memcmp(s->client_guid, c->client_guid, sizeof s->client_guid) != 0)
    *status = STATUS_INVALID_PARAMETER;  // its keys and algorithms are the session's
  else if (s->guest)
    *status = STATUS_NOT_SUPPORTED;  // a guest's keys prove nothing
  return *status == STATUS_SUCCESS ? s : nullptr;
}

// Every answer carries the session's id, whatever the request named.
void put_session_id(const tw3_session& s, tw3_reply* r) {
  if (uint8_t* h = rep_cur_hdr(r)) put_le64(h + HDR_SESSION_ID, s.id);
}

void trace_key_line(const tw3_conn* c, const char* prefix, const uint8_t* p, uint64_t n,
                    const char* suffix) {
  if (!c->trace) return;
  tw3_buf line{};
  tw3_buf_str(&line, prefix);
  tw3_trace_secret(p, n, &line);
  tw3_buf_str(&line, suffix);
  if (!line.failed) tw3_trace(c, "%s", reinterpret_cast<const char*>(line.data));
  tw3_buf_free(&line);
}

// MS-SMB2 3.2.5.3.1. All four keys use the counter-mode KDF with its
// separator byte, the form every client uses for 3.0 and 3.0.2 as well.
// The server encrypts with the server-to-client key and decrypts with the
// client-to-server one.
void derive_keys(const tw3_conn* c, tw3_session* s, const uint8_t k[kKeySize]) {
  if (c->dialect > SMB2_DIALECT_310) {
    const uint8_t* ctx = s->preauth_hash;
    tw3_kdf_ctr_hmacsha256(k, kKeySize, "SMBSigningKey", ctx, 64, s->signing_key, kKeySize);
    // The AES-256 ciphers take 32-byte keys, derived with L = 256.
    const bool wide = c->cipher_id == SMB2_CIPHER_AES256_CCM || c->cipher_id == SMB2_CIPHER_AES256_GCM;
    const tw3_kdf_fn cipher_kdf = wide ? tw3_kdf_ctr_hmacsha256_l256 : tw3_kdf_ctr_hmacsha256;
    const uint64_t cipher_len = wide ? sizeof s->encryption_key : kKeySize;
    cipher_kdf(k, kKeySize, "SMBS2CCipherKey", ctx, 64, s->encryption_key, cipher_len);
    cipher_kdf(k, kKeySize, "SMBC2SCipherKey", ctx, 64, s->decryption_key, cipher_len);
    tw3_kdf_ctr_hmacsha256(k, kKeySize, "SMB2APPKEY", ctx, 64, s->application_key, kKeySize);
  } else {
    static constexpr char kSignCtx[] = "SmbSign";             // with its zero byte
    static constexpr char kOutCtx[] = "ServerOut";            // with its zero byte
    static constexpr char kInCtx[] = "ServerIn ";             // with its zero byte
    tw3_kdf_ctr_hmacsha256(k, kKeySize, "SMB2AESCMAC", kSignCtx, sizeof kSignCtx, s->signing_key,
                           kKeySize);
    tw3_kdf_ctr_hmacsha256(k, kKeySize, "SMB2AESCCM", kOutCtx, sizeof kOutCtx,
                           s->encryption_key, kKeySize);
    tw3_kdf_ctr_hmacsha256(k, kKeySize, "SMB2AESCCM", kInCtx, sizeof kInCtx, s->decryption_key,
                           kKeySize);
    std::memset(s->application_key, 0, kKeySize);
  }
  k_gcm_init(&s->gmac, c->signing_algorithm == SMB2_SIGNING_AES_GMAC ? s->signing_key : s->encryption_key);
  if (c->trace) {
    tw3_buf line{};
    tw3_buf_str(&line, "[sess] sign_key=");
    tw3_trace_secret(s->signing_key, kKeySize, &line);
    tw3_buf_str(&line, " cipher_key=");
    tw3_trace_secret(s->encryption_key, kKeySize, &line);
    tw3_buf_str(&line, "\n");
    if (!line.failed) tw3_trace(c, "%s", reinterpret_cast<const char*>(line.data));
    tw3_buf_free(&line);
  }
}

void put_body(tw3_reply* r, uint16_t session_flags, const tw3_buf& secbuf) {
  w16(&r->b, kResponseStructureSize);
  w16(&r->b, session_flags);
  w16(&r->b, kResponseBufferOffset);
  w16(&r->b, static_cast<uint16_t>(secbuf.len));
  if (secbuf.len) tw3_buf_put(&r->b, secbuf.data, secbuf.len);
}

// A failed logon: counted, and the connection ends after too many. The
// session it was for ends with it, a re-authenticated one too (MS-SMB2
// 3.3.5.5.3); the connection's other sessions go on.
tw3_done logon_failed(tw3_conn* c, tw3_session* s, uint32_t status) {
  tw3_stat_add(ST_LOGON_FAILED, 1);
  tw3_conn_event(c, tw3_ev::logon_failed, 0, nullptr, nullptr, status);
  c->logon_failures++;
  if (c->opts.max_login_failures > 0 && c->logon_failures >= c->opts.max_login_failures) c->closing = 1;
  tw3_session_end(c, s);
  return tw3_refuse(status, kSiteLogon);
}

// The CHALLENGE leg, with the token the logon exchange made at time t.
tw3_done send_challenge(tw3_conn* c, tw3_session* s, tw3_reply* r, int64_t t, const tw3_buf& token) {
  tw3_stat_add(ST_SESSIONS, 1);
  if (c->sign_required) tw3_stat_add(ST_SIGN_REQUIRED_SESSIONS, 1);
  std::snprintf(s->challenge_name, sizeof s->challenge_name, "%s", c->opts.server_name);
  s->challenge_time = t;
  put_session_id(*s, r);
  s->setup_pending = 1;
  put_body(r, 0, token);
  return tw3_answer(STATUS_MORE_PROCESSING_REQUIRED);
}

// The names an accepted AUTHENTICATE carried.
struct logon_names {
  char user[TW3_USER_NAME_MAX + 1];
  char domain[TW3_USER_NAME_MAX + 1];
};
logon_names names_of(const tw3_logon_result& res) {
  logon_names n{};
  if (res.authenticate != nullptr)
    tw3_ntlm_names(res.authenticate, res.authenticate_len, n.user, sizeof n.user, n.domain, sizeof n.domain);
  return n;
}

// The session becomes (or stays) authenticated. A first logon derives its
// keys; a re-authentication keeps those of the first (MS-SMB2 3.3.5.5.3).
void complete_logon(tw3_conn* c, tw3_session* s, int guest, const tw3_logon_result& res) {
  s->setup_pending = 0;
  const logon_names who = names_of(res);
  std::memcpy(s->user, who.user, sizeof s->user);
  std::memcpy(s->domain, who.domain, sizeof s->domain);
  if (s->reauth) {
    s->reauth = 0;
    return;
  }
  s->guest = guest;
  s->authenticated = 1;
  tw3_stat_add(ST_SESSIONS_OPEN, 1);
  static constexpr uint8_t kGuestKey[kKeySize] = {};
  std::memcpy(s->session_base_key, guest ? kGuestKey : res.key, kKeySize);
  derive_keys(c, s, s->session_base_key);
  s->keys_ready = 1;
  tf_session_keys(c, s);
  tw3_channel_add(s, c, s->signing_key);  // without memory it is served here all the same
  c->logged_on = 1;
  // Named users of a server that requires encryption must encrypt from here on.
  s->encrypt_data = !guest && c->opts.encrypt == TW3_ENCRYPT_REQUIRED ? 1 : 0;
}

tw3_done send_success(tw3_conn* c, tw3_session* s, tw3_reply* r, int guest, const tw3_buf& token) {
  tw3_stat_add(guest ? ST_GUEST_SESSIONS : ST_SESSIONS, 1);
  if (c->sign_required) tw3_stat_add(ST_SIGN_REQUIRED_SESSIONS, 1);
  tw3_conn_event(c, tw3_ev::logon_ok, s->id);
  put_session_id(*s, r);
  const uint16_t flags = s->guest ? SESSION_FLAG_IS_GUEST : s->encrypt_data ? SMB2_SESSION_FLAG_ENCRYPT_DATA : 0;
  put_body(r, flags, token);
  return tw3_answer();
}

// Guests get in only under the guest policy, and never where both sides
// insist on signing or the server on encryption: a guest session can do neither.
bool guest_admissible(const tw3_conn* c) {
  return tw3_guest_allowed() && !(c->opts.signing == 1 && c->client_sign_required) &&
         c->opts.encrypt != TW3_ENCRYPT_REQUIRED;
}

// The key a bound channel signs with: on 3.1.1 made from the key of the
// binding's own logon and its pre-authentication hash, before that the session's.
void channel_key(const tw3_conn* c, const tw3_session& b, const uint8_t logon_key[kKeySize],
                 uint8_t out[kKeySize]) {
  if (c->dialect > SMB2_DIALECT_310)
    tw3_kdf_ctr_hmacsha256(logon_key, kKeySize, "SMBSigningKey", b.preauth_hash, 64, out, kKeySize);
  else
    std::memcpy(out, b.signing_key, kKeySize);
}

// A binding exchange authenticated someone: only the session's own user may
// add a channel to it.
tw3_done bind_accept(tw3_conn* c, tw3_session* b, tw3_reply* r, const tw3_logon_result& res) {
  const logon_names who = names_of(res);
  const bool same_user = res.verdict == tw3_logon_verdict::user && tw3_casecmp(b->user, who.user) == 0 &&
                         tw3_casecmp(b->domain, who.domain) == 0;
  if (!same_user) return logon_failed(c, b, STATUS_ACCESS_DENIED);
  uint8_t key[kKeySize];
  channel_key(c, *b, res.key, key);
  const uint32_t status = tw3_bind_join(c, b, key);
  tw3_wipe(key, sizeof key);
  if (status != STATUS_SUCCESS) return tw3_refuse(status, kSiteBind);
  tw3_conn_event(c, tw3_ev::logon_ok, b->id);
  put_session_id(*b, r);
  put_body(r, 0, res.token);
  return tw3_answer();
}

// Completes a session from an accepted AUTHENTICATE; a re-authentication
// cannot turn a user into a guest or back.
tw3_done accept(tw3_conn* c, tw3_session* s, tw3_reply* r, const tw3_logon_result& res) {
  if (s->binding) return bind_accept(c, s, r, res);
  const int guest = res.verdict == tw3_logon_verdict::guest ? 1 : 0;
  if (s->reauth && guest != s->guest) return logon_failed(c, s, STATUS_LOGON_FAILURE);
  if (!guest) trace_key_line(c, "[sess] key=", res.key, kKeySize, "\n");
  complete_logon(c, s, guest, res);
  return send_success(c, s, r, guest, res.token);
}

// Turns the logon exchange's verdict into the answer.
tw3_done answer_logon(tw3_conn* c, tw3_session* s, tw3_reply* r, int64_t t, const tw3_logon_result& res) {
  if (res.authenticate) tw3_conn_note_logon_names(c, res.authenticate, res.authenticate_len);
  switch (res.verdict) {
    case tw3_logon_verdict::challenge:
      return send_challenge(c, s, r, t, res.token);
    case tw3_logon_verdict::user:
    case tw3_logon_verdict::guest:
      return accept(c, s, r, res);
    case tw3_logon_verdict::malformed:
      return logon_failed(c, s, STATUS_INVALID_PARAMETER);
    case tw3_logon_verdict::refused:
      break;
  }
  return logon_failed(c, s, STATUS_LOGON_FAILURE);
}

// One security buffer through the session's logon exchange.
tw3_done run_token(tw3_conn* c, tw3_session* s, tw3_reply* r, const uint8_t* blob, uint16_t blen) {
  // A re-authentication and a binding answer a challenge of their own.
  if ((s->reauth || s->binding) && !s->setup_pending) new_challenge(c, s);
  const int64_t t = now_or_clock(c);
  const tw3_logon_ctx ctx{s->server_challenge, c->opts.server_name, t, s->challenge_name,
                          s->challenge_time, c->opts.ntlm_timecheck, guest_admissible(c),
                          c->opts.map_to_guest != 0};
  tw3_logon_result res{};
  tw3_logon_step(&s->logon, ctx, blob, blen, &res);
  const tw3_done done = answer_logon(c, s, r, t, res);
  tw3_wipe(res.key, sizeof res.key);
  tw3_buf_free(&res.token);
  return done;
}

void trace_request(const tw3_conn* c, uint16_t ssz, uint16_t boff, uint16_t blen,
                   const uint8_t* blob) {
  if (!c->trace) return;
  const bool raw = blen > 8 && std::memcmp(blob, TW3_NTLMSSP_SIGNATURE, sizeof TW3_NTLMSSP_SIGNATURE) == 0;
  tw3_buf line{};
  tw3_buf_printf(&line, "[sess] ssz=%u boff=%u blen=%u in_blob=%s head=", ssz, boff, blen,
                 raw ? "RAW-NTLM" : "spnego/other");
  tw3_hex_encode(blob, blen < kTraceBlobHead ? blen : kTraceBlobHead, &line);
  tw3_buf_str(&line, "\n");
  if (!line.failed) tw3_trace(c, "%s", reinterpret_cast<const char*>(line.data));
  tw3_buf_free(&line);
}

}  // namespace

void tw3_keep_challenge(tw3_conn* c, int64_t t) {
  std::snprintf(c->challenge_name, sizeof c->challenge_name, "%s", c->opts.server_name);
  c->challenge_time = t;
}

tw3_done cmd_session_setup(tw3_conn* c, tw3_req* rq, tw3_rd* body, tw3_reply* r) {
  const uint16_t ssz = rd_u16(body);
  if (ssz != kStructureSize && ssz != kStructureSizeAlt)
    return tw3_refuse(STATUS_INVALID_PARAMETER, kSiteSize);
  const uint8_t flags = rd_u8(body);
  rd_skip(body, 1 + 4 + 4);  // SecurityMode, Capabilities, Channel
  const uint16_t boff = rd_u16(body);
  const uint16_t blen = rd_u16(body);
  rd_u64(body);  // PreviousSessionId
  if (body->bad)
    return tw3_refuse(STATUS_INVALID_PARAMETER, kSiteFields);
  if (boff < SMB2_HDR_SIZE || !rd_has(body, boff - SMB2_HDR_SIZE, blen))
    return tw3_refuse(STATUS_INVALID_PARAMETER, kSiteBuffer);
  uint32_t status = STATUS_SUCCESS;
  const bool binding = (flags & SMB2_SESSION_FLAG_BINDING) != 0;
  tw3_session* s = binding ? pick_binding(c, rq->hdr, &status) : pick_session(c, rq->hdr.session_id, &status);
  if (s == nullptr)
    return tw3_refuse(status, binding ? kSiteBinding : status == STATUS_ACCESS_DENIED ? kSiteNoCipher : kSiteSession);
  // A first logon's messages make its keys; a re-authentication keeps them.
  if (!s->authenticated) preauth_session_update(c, s, rq->msg->bytes + rq->off, rq->len);
  const uint8_t* blob = body->data + (boff - SMB2_HDR_SIZE);
  trace_request(c, ssz, boff, blen, blob);
  return run_token(c, s, r, blob, blen);
}
