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
constexpr uint64_t kNtlmTypeOff = 8;
constexpr uint64_t kNtlmMinToken = 12;  // signature and MessageType
constexpr uint32_t kNtlmNegotiate = 1;
constexpr uint32_t kNtlmAuthenticate = 3;
constexpr int kMaxAccounts = TW3_MAX_USERS;
constexpr int kNameBuf = TW3_USER_NAME_MAX + 1;
constexpr int kPasswordBuf = TW3_PASSWORD_MAX + 1;
constexpr uint64_t kKeySize = 16;

enum site : int { kSiteSize = 3501, kSiteFields, kSiteBinding, kSiteBuffer, kSiteNoCipher, kSiteLogon, kSiteSession };

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

// The CHALLENGE leg: challenge_flags are the NTLM CHALLENGE's flags.
tw3_done send_challenge(tw3_conn* c, tw3_session* s, tw3_reply* r, int raw, uint32_t challenge_flags) {
  tw3_stat_add(ST_SESSIONS, 1);
  if (c->sign_required) tw3_stat_add(ST_SIGN_REQUIRED_SESSIONS, 1);
  // A re-authentication answers a challenge of its own.
  if (s->reauth) new_challenge(c, s);
  put_session_id(*s, r);
  tw3_buf msg{}, secbuf{};
  tw3_ntlm_type2(s->challenge_name, s->server_challenge, s->challenge_time, &msg, challenge_flags);
  if (raw)
    tw3_buf_put(&secbuf, msg.data, msg.len);
  else
    tw3_spnego_resp(msg.data, msg.len, &secbuf);
  tw3_buf_free(&msg);
  s->setup_pending = 1;
  put_body(r, 0, secbuf);
  tw3_buf_free(&secbuf);
  return tw3_answer(STATUS_MORE_PROCESSING_REQUIRED);
}

// The session becomes (or stays) authenticated. A first logon derives its
// keys; a re-authentication keeps those of the first (MS-SMB2 3.3.5.5.3).
void complete_logon(tw3_conn* c, tw3_session* s, int guest, const uint8_t key[kKeySize]) {
  s->setup_pending = 0;
  std::snprintf(s->user, sizeof s->user, "%s", c->act.user);
  std::snprintf(s->domain, sizeof s->domain, "%s", c->act.domain);
  if (s->reauth) {
    s->reauth = 0;
    return;
  }
  s->guest = guest;
  s->authenticated = 1;
  tw3_stat_add(ST_SESSIONS_OPEN, 1);
  static constexpr uint8_t kGuestKey[kKeySize] = {};
  std::memcpy(s->session_base_key, guest ? kGuestKey : key, kKeySize);
  derive_keys(c, s, s->session_base_key);
  s->keys_ready = 1;
  tf_session_keys(c, s);
  // Named users of a server that requires encryption must encrypt from here on.
  s->encrypt_data = !guest && c->opts.encrypt == TW3_ENCRYPT_REQUIRED ? 1 : 0;
}

tw3_done send_success(tw3_conn* c, tw3_session* s, tw3_reply* r, int guest, int raw) {
  tw3_stat_add(guest ? ST_GUEST_SESSIONS : ST_SESSIONS, 1);
  if (c->sign_required) tw3_stat_add(ST_SIGN_REQUIRED_SESSIONS, 1);
  tw3_conn_event(c, tw3_ev::logon_ok, s->id);
  put_session_id(*s, r);
  tw3_buf secbuf{};
  if (!raw) tw3_spnego_done(&secbuf);
  const uint16_t flags = s->guest ? SESSION_FLAG_IS_GUEST : s->encrypt_data ? SMB2_SESSION_FLAG_ENCRYPT_DATA : 0;
  put_body(r, flags, secbuf);
  tw3_buf_free(&secbuf);
  return tw3_answer();
}

// Guests get in only under the guest policy, and never where both sides
// insist on signing or the server on encryption: a guest session can do neither.
bool guest_admissible(const tw3_conn* c) {
  return tw3_guest_allowed() && !(c->opts.signing == 1 && c->client_sign_required) &&
         c->opts.encrypt != TW3_ENCRYPT_REQUIRED;
}

struct account {
  char name[kNameBuf];
  char password[kPasswordBuf];
  bool load(int index) {
    return tw3_user_at(index, name, kNameBuf, password, kPasswordBuf) == 0 && name[0] != 0;
  }
  ~account() { tw3_wipe(password, sizeof password); }
};

// Completes a session from an accepted AUTHENTICATE, or refuses a guest
// acceptance the policy does not allow; a re-authentication cannot turn a
// user into a guest or back.
tw3_done accept(tw3_conn* c, tw3_session* s, tw3_reply* r, const uint8_t key[kKeySize], int guest, int raw) {
  if (guest && !guest_admissible(c)) return logon_failed(c, s, STATUS_LOGON_FAILURE);
  if (s->reauth && guest != s->guest) return logon_failed(c, s, STATUS_LOGON_FAILURE);
  complete_logon(c, s, guest, key);
  return send_success(c, s, r, guest, raw);
}

// The AUTHENTICATE leg: each account in turn, or the guest when none exists.
tw3_done second_leg(tw3_conn* c, tw3_session* s, tw3_reply* r, const uint8_t* tok, uint64_t len, int raw) {
  tw3_conn_note_logon_names(c, tok, len);
  account acct;
  const bool has_users = acct.load(0);
  tw3_trace(c, "[t3] has_users=%d\n", has_users ? 1 : 0);
  const int64_t t = s->challenge_time;
  const char* name = s->challenge_name;
  const int timecheck = c->opts.ntlm_timecheck;
  uint8_t key[kKeySize];
  int guest = 0;
  if (!has_users && guest_admissible(c)) {
    const int rc = tw3_ntlm_type3(tok, len, s->server_challenge, name, t,
                                  timecheck, "", "", &guest, key);
    if (rc < 0) return logon_failed(c, s, STATUS_INVALID_PARAMETER);
    const tw3_done done = accept(c, s, r, key, 1, raw);
    tw3_wipe(key, sizeof key);
    return done;
  }
  for (int i = 0; i < kMaxAccounts; i++) {
    if (i > 0 && !acct.load(i)) break;
    if (i == 0 && !has_users) break;
    const int rc = tw3_ntlm_type3(tok, len, s->server_challenge, name, t,
                                  timecheck, acct.name, acct.password, &guest, key);
    tw3_wipe(acct.password, sizeof acct.password);
    if (rc < 0) return logon_failed(c, s, STATUS_INVALID_PARAMETER);
    if (rc == 0) {
      trace_key_line(c, "[sess] key=", key, kKeySize, "\n");
      const tw3_done done = accept(c, s, r, key, guest, raw);
      tw3_wipe(key, sizeof key);
      return done;
    }
  }
  return logon_failed(c, s, STATUS_LOGON_FAILURE);
}

// A first leg whose NTLM NEGOTIATE, if any, rides as the negTokenInit's
// mechToken: the CHALLENGE answers the flags it asks for.
tw3_done first_leg(tw3_conn* c, tw3_session* s, tw3_reply* r, const uint8_t* blob, uint64_t blen, int raw) {
  const uint8_t* mech = nullptr;
  uint64_t mech_len = 0;
  tw3_spnego_mech_token(blob, blen, &mech, &mech_len);
  return send_challenge(c, s, r, raw, tw3_ntlm_answer_flags(mech, mech_len));
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

// The security token's legs, once the session is known.
tw3_done run_token(tw3_conn* c, tw3_session* s, tw3_reply* r, const uint8_t* blob, uint16_t blen) {
  const uint8_t* tok = nullptr;
  uint64_t tok_len = 0;
  int raw = 0;
  if (tw3_spnego_init(blob, blen, &tok, &tok_len, &raw) != 0) return logon_failed(c, s, STATUS_LOGON_FAILURE);
  if (tok == nullptr || tok_len == 0) return first_leg(c, s, r, blob, blen, raw);
  if (tok_len < kNtlmMinToken || std::memcmp(tok, TW3_NTLMSSP_SIGNATURE, sizeof TW3_NTLMSSP_SIGNATURE) != 0)
    return logon_failed(c, s, STATUS_LOGON_FAILURE);
  const uint32_t type = le32(tok + kNtlmTypeOff);
  if (type == kNtlmNegotiate) return send_challenge(c, s, r, raw, tw3_ntlm_answer_flags(tok, tok_len));
  if (type == kNtlmAuthenticate) return second_leg(c, s, r, tok, tok_len, raw);
  return logon_failed(c, s, STATUS_INVALID_PARAMETER);
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
  // Another channel of a session needs multichannel, which is not offered.
  if (flags & SMB2_SESSION_FLAG_BINDING) return tw3_refuse(STATUS_REQUEST_NOT_ACCEPTED, kSiteBinding);
  if (boff < SMB2_HDR_SIZE || !rd_has(body, boff - SMB2_HDR_SIZE, blen))
    return tw3_refuse(STATUS_INVALID_PARAMETER, kSiteBuffer);
  uint32_t status = STATUS_SUCCESS;
  tw3_session* s = pick_session(c, rq->hdr.session_id, &status);
  if (s == nullptr) return tw3_refuse(status, status == STATUS_ACCESS_DENIED ? kSiteNoCipher : kSiteSession);
  // A first logon's messages make its keys; a re-authentication keeps them.
  if (!s->authenticated) preauth_session_update(c, s, rq->msg->bytes + rq->off, rq->len);
  const uint8_t* blob = body->data + (boff - SMB2_HDR_SIZE);
  trace_request(c, ssz, boff, blen, blob);
  return run_token(c, s, r, blob, blen);
}
