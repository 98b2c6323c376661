// SESSION_SETUP (MS-SMB2 2.2.5, 2.2.6, 3.3.5.5): the security buffer goes to
// the logon exchange (src/auth/logon.cpp), whose verdict makes the
// connection's one session id, the session and its keys (MS-SMB2 3.2.5.3.1).
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

enum site : int { kSiteSize = 3501, kSiteFields, kSiteReauth, kSiteBuffer, kSiteNoCipher, kSiteLogon, kSiteSession };

int64_t now_or_clock(const tw3_conn* c) {
  return c->opts.clock != 0 ? c->opts.clock : tw3_unix_now();
}

// The id of the session being set up, made when it begins: derived from the
// peer, the connection number, the clock and how many sessions the
// connection began before; never 0, always odd. Every answer carries it,
// whatever the request named.
void ensure_session_id(tw3_conn* c, tw3_reply* r) {
  if (c->session_id == 0) {
    const uint64_t seed = tw3_fnv1a64(c->peer_text, std::strlen(c->peer_text), TW3_FNV_BASIS) ^
                          static_cast<uint64_t>(static_cast<int64_t>(c->conn_id));
    uint8_t t[16];
    put_le64(t, static_cast<uint64_t>(now_or_clock(c)));
    put_le64(t + 8, c->sessions_begun++);
    c->session_id = tw3_fnv1a64(t, sizeof t, seed) | 1;
  }
  if (uint8_t* h = rep_cur_hdr(r)) put_le64(h + HDR_SESSION_ID, c->session_id);
}

// A SESSION_SETUP with SessionId 0 begins a new session (MS-SMB2 3.3.5.5.1):
// a logon still in progress is abandoned with its id. Any other id must be
// the session being set up. 0, or the refusal's status.
uint32_t pick_session(tw3_conn* c, uint64_t session_id) {
  if (session_id == 0) {
    if (!c->authenticated) {
      c->session_id = 0;
      c->setup_pending = 0;
    }
    return STATUS_SUCCESS;
  }
  return session_id == c->session_id ? STATUS_SUCCESS : STATUS_USER_SESSION_DELETED;
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
void derive_keys(tw3_conn* c, const uint8_t k[kKeySize]) {
  if (c->dialect > SMB2_DIALECT_310) {
    const uint8_t* ctx = c->preauth_hash;
    tw3_kdf_ctr_hmacsha256(k, kKeySize, "SMBSigningKey", ctx, 64, c->signing_key, kKeySize);
    // The AES-256 ciphers take 32-byte keys, derived with L = 256.
    const bool wide = c->cipher_id == SMB2_CIPHER_AES256_CCM || c->cipher_id == SMB2_CIPHER_AES256_GCM;
    const tw3_kdf_fn cipher_kdf = wide ? tw3_kdf_ctr_hmacsha256_l256 : tw3_kdf_ctr_hmacsha256;
    const uint64_t cipher_len = wide ? sizeof c->encryption_key : kKeySize;
    cipher_kdf(k, kKeySize, "SMBS2CCipherKey", ctx, 64, c->encryption_key, cipher_len);
    cipher_kdf(k, kKeySize, "SMBC2SCipherKey", ctx, 64, c->decryption_key, cipher_len);
    tw3_kdf_ctr_hmacsha256(k, kKeySize, "SMB2APPKEY", ctx, 64, c->application_key, kKeySize);
  } else {
    static constexpr char kSignCtx[] = "SmbSign";             // with its zero byte
    static constexpr char kOutCtx[] = "ServerOut";            // with its zero byte
    static constexpr char kInCtx[] = "ServerIn ";             // with its zero byte
    tw3_kdf_ctr_hmacsha256(k, kKeySize, "SMB2AESCMAC", kSignCtx, sizeof kSignCtx, c->signing_key,
                           kKeySize);
    tw3_kdf_ctr_hmacsha256(k, kKeySize, "SMB2AESCCM", kOutCtx, sizeof kOutCtx,
                           c->encryption_key, kKeySize);
    tw3_kdf_ctr_hmacsha256(k, kKeySize, "SMB2AESCCM", kInCtx, sizeof kInCtx, c->decryption_key,
                           kKeySize);
    std::memset(c->application_key, 0, kKeySize);
  }
  k_gcm_init(&c->gmac, c->signing_algorithm == SMB2_SIGNING_AES_GMAC ? c->signing_key : c->encryption_key);
  if (c->trace) {
    tw3_buf line{};
    tw3_buf_str(&line, "[sess] sign_key=");
    tw3_trace_secret(c->signing_key, kKeySize, &line);
    tw3_buf_str(&line, " cipher_key=");
    tw3_trace_secret(c->encryption_key, kKeySize, &line);
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

// A failed logon: counted, and the connection ends after too many.
tw3_done logon_failed(tw3_conn* c, uint32_t status) {
  tw3_stat_add(ST_LOGON_FAILED, 1);
  tw3_conn_event(c, tw3_ev::logon_failed, nullptr, nullptr, status);
  c->logon_failures++;
  if (c->logon_failures >= c->opts.max_login_failures) c->closing = 1;
  return tw3_refuse(status, kSiteLogon);
}

// secbuf: the security buffer the logon exchange answered with; challenge
// set when it carries a CHALLENGE made at time t.
tw3_done session_setup_ok_body(tw3_conn* c, tw3_reply* r, int guest, int challenge, int64_t t,
                               const tw3_buf& secbuf) {
  tw3_stat_add(guest ? ST_GUEST_SESSIONS : ST_SESSIONS, 1);
  if (c->sign_required) tw3_stat_add(ST_SIGN_REQUIRED_SESSIONS, 1);
  if (challenge) {
    ensure_session_id(c, r);
    tw3_keep_challenge(c, t);
    c->setup_pending = 1;
  } else {
    c->session_guest = guest;
    c->authenticated = 1;
    static constexpr uint8_t kGuestKey[kKeySize] = {};
    derive_keys(c, guest ? kGuestKey : c->session_base_key);
    c->keys_ready = 1;
    tw3_conn_event(c, tw3_ev::logon_ok);
    ensure_session_id(c, r);
    tf_session_keys(c);
    // Named users of a server that requires encryption must encrypt from here on.
    c->encrypt_data = !guest && c->opts.encrypt == TW3_ENCRYPT_REQUIRED ? 1 : 0;
    c->setup_pending = 0;
  }
  const uint16_t flags = guest ? SESSION_FLAG_IS_GUEST
                        : c->encrypt_data ? SMB2_SESSION_FLAG_ENCRYPT_DATA : 0;
  put_body(r, flags, secbuf);
  return tw3_answer(challenge ? STATUS_MORE_PROCESSING_REQUIRED : STATUS_SUCCESS);
}

// Guests get in only under the guest policy, and never where both sides
// insist on signing or the server on encryption: a guest session can do neither.
bool guest_admissible(const tw3_conn* c) {
  return tw3_guest_allowed() && !(c->opts.signing == 1 && c->client_sign_required) &&
         c->opts.encrypt != TW3_ENCRYPT_REQUIRED;
}

// Turns the logon exchange's verdict into the answer.
tw3_done answer_logon(tw3_conn* c, tw3_reply* r, int64_t t, const tw3_logon_result& res) {
  if (res.authenticate) tw3_conn_note_logon_names(c, res.authenticate, res.authenticate_len);
  switch (res.verdict) {
    case tw3_logon_verdict::challenge:
      return session_setup_ok_body(c, r, 0, 1, t, res.token);
    case tw3_logon_verdict::user:
      trace_key_line(c, "[sess] key=", res.key, kKeySize, "\n");
      [[fallthrough]];
    case tw3_logon_verdict::guest: {
      std::memcpy(c->session_base_key, res.key, kKeySize);
      const int guest = res.verdict == tw3_logon_verdict::guest ? 1 : 0;
      return session_setup_ok_body(c, r, guest, 0, t, res.token);
    }
    case tw3_logon_verdict::malformed:
      return logon_failed(c, STATUS_INVALID_PARAMETER);
    case tw3_logon_verdict::refused:
      break;
  }
  return logon_failed(c, STATUS_LOGON_FAILURE);
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
  rd_skip(body, 1 + 1 + 4 + 4);  // Flags, SecurityMode, Capabilities, Channel
  const uint16_t boff = rd_u16(body);
  const uint16_t blen = rd_u16(body);
  rd_u64(body);  // PreviousSessionId
  if (body->bad)
    return tw3_refuse(STATUS_INVALID_PARAMETER, kSiteFields);
  if (c->authenticated)  // re-authentication and further sessions are not supported
    return tw3_refuse(STATUS_REQUEST_NOT_ACCEPTED, kSiteReauth);
  if (const uint32_t st = pick_session(c, rq->hdr.session_id); st != STATUS_SUCCESS)
    return tw3_refuse(st, kSiteSession);
  // A server that requires encryption takes no client that cannot encrypt.
  if (c->opts.encrypt == TW3_ENCRYPT_REQUIRED && c->cipher_id == SMB2_CIPHER_NONE)
    return tw3_refuse(STATUS_ACCESS_DENIED, kSiteNoCipher);
  if (boff < SMB2_HDR_SIZE || !rd_has(body, boff - SMB2_HDR_SIZE, blen))
    return tw3_refuse(STATUS_INVALID_PARAMETER, kSiteBuffer);
  const uint8_t* blob = body->data + (boff - SMB2_HDR_SIZE);
  trace_request(c, ssz, boff, blen, blob);

  const int64_t t = now_or_clock(c);
  const tw3_logon_ctx ctx{c->server_challenge, c->opts.server_name, t, c->challenge_name,
                          c->challenge_time, c->opts.ntlm_timecheck, guest_admissible(c)};
  tw3_logon_result res{};
  tw3_logon_step(&c->logon, ctx, blob, blen, &res);
  const tw3_done done = answer_logon(c, r, t, res);
  tw3_wipe(res.key, sizeof res.key);
  tw3_buf_free(&res.token);
  return done;
}
