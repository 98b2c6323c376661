// SMB 3.x message signing (MS-SMB2 3.1.4.1): AES-128-CMAC, or AES-128-GMAC
// when negotiated for 3.1.1, keyed with the session's signing key.
// Verification of signed requests, the signing decision for responses, and
// the refusal of unsigned requests where signing is required.
#include <cstring>

#include "auth/auth.h"
#include "smb/smb.h"

namespace {

constexpr uint64_t kNonceSize = 12;
constexpr uint8_t kNonceResponseRole = 0x01;  // byte 8 of the nonce: the role bit
constexpr uint64_t kTraceFrameBytes = 512;

// The key a message of the session is signed with on connection c. Each
// channel signs with its own, but a SESSION_SETUP request, and an answer to
// one that does not complete it, use the session's: a binding's exchange
// runs before its channel has a key (MS-SMB2 3.3.4.1.1, 3.3.5.2.4).
const uint8_t* signing_key(const tw3_conn* c, const tw3_session* s, const uint8_t* m, bool response) {
  const bool setup = le16(m + HDR_COMMAND) == SMB2_SESSION_SETUP;
  const bool own = setup && (!response || le32(m + HDR_STATUS) != STATUS_SUCCESS);
  const tw3_channel* ch = own ? nullptr : tw3_channel_of(s, c);
  return ch != nullptr ? ch->signing_key : s->signing_key;
}

// The signature of m (len bytes, header first) with its signature field zeroed.
void compute(const tw3_conn* c, tw3_session* s, uint8_t* m, uint64_t len, bool response,
             uint8_t out[SIGNATURE_SIZE]) {
  const uint8_t* key = signing_key(c, s, m, response);
  std::memset(m + HDR_SIGNATURE, 0, SIGNATURE_SIZE);
  if (c->signing_algorithm == SMB2_SIGNING_AES_GMAC) {
    uint8_t nonce[kNonceSize] = {};
    std::memcpy(nonce, m + HDR_MESSAGE_ID, 8);
    if (response) nonce[8] = kNonceResponseRole;
    k_gcm_init(&s->gmac, key);
    k_gcm_tag_only(&s->gmac, nonce, m, len, out);
  } else {
    k_cmac(key, m, len, out);
  }
}

void trace_signature(const tw3_conn* c, const tw3_session& s, const uint8_t* msg, uint64_t len,
                     const uint8_t* sig) {
  if (!c->trace || !c->trace_hex) return;
  tw3_buf line{};
  tw3_buf_str(&line, "[sig] key=");
  tw3_trace_secret(signing_key(c, &s, msg, true), sizeof s.signing_key, &line);
  tw3_buf_printf(&line, " n=%zu frame=", static_cast<size_t>(len));
  tw3_hex_encode(msg, len < kTraceFrameBytes ? len : kTraceFrameBytes, &line);
  tw3_buf_str(&line, " sig=");
  tw3_hex_encode(sig, SIGNATURE_SIZE, &line);
  tw3_buf_str(&line, "\n");
  if (!line.failed) tw3_trace(c, "%s", reinterpret_cast<const char*>(line.data));
  tw3_buf_free(&line);
}

// Commands a client sends unsigned even on a signed session.
bool exempt_from_signing(uint8_t command) {
  return command == SMB2_NEGOTIATE || command == SMB2_SESSION_SETUP ||
         command == SMB2_ECHO || command == SMB2_CANCEL;
}

}  // namespace

int sign_verify_request(const tw3_conn* c, tw3_session* s, uint8_t* req, uint64_t len) {
  if (len < SMB2_HDR_SIZE) return 0;
  uint8_t received[SIGNATURE_SIZE], expect[SIGNATURE_SIZE];
  std::memcpy(received, req + HDR_SIGNATURE, SIGNATURE_SIZE);
  compute(c, s, req, len, false, expect);
  std::memcpy(req + HDR_SIGNATURE, received, SIGNATURE_SIZE);
  return tw3_ct_equal(expect, received, SIGNATURE_SIZE);
}

int sign_unsigned_allowed(const tw3_conn* c, uint8_t command, const tw3_msg& m, uint64_t session_id) {
  if (m.encrypted) return 1;  // encryption authenticates it
  // A named-user session on a server that requires signing accepts nothing
  // unsigned but the commands that carry no session data.
  const tw3_session* s = tw3_session_live(c, session_id);
  if (!c->sign_required || s == nullptr || s->guest) return 1;
  return exempt_from_signing(command) ? 1 : 0;
}

namespace {

// Where an unsigned request's answer is signed (MS-SMB2 3.3.4.1.1): a session
// that requires signing, the final SESSION_SETUP answer, and TREE_CONNECT on
// 3.1.1 (its answer protects the negotiation). Never for a request that names
// no session or another one, nor for a guest, whose keys come from a zero key
// anyone can derive.
bool unsigned_request_gets_signature(const tw3_conn* c, uint8_t command, const tw3_session* s) {
  // The answer that ends a session (LOGOFF) is still its own.
  if (s == nullptr || !(s->authenticated || s->ended) || s->guest) return false;
  if (c->sign_required || c->client_sign_required) return true;
  return command == SMB2_SESSION_SETUP || (command == SMB2_TREE_CONNECT && c->dialect == SMB2_DIALECT_311);
}

}  // namespace

int sign_decide(tw3_conn* c, const tw3_reply* r, uint8_t command, int verified, const tw3_msg& m,
                uint64_t session_id) {
  // An answer to a request of no session is never signed, even when the
  // request was: there is no session whose key it could carry.
  const tw3_session* s = tw3_session_find(c, session_id);  // none for SessionId 0
  const int sign_one = s != nullptr && (verified || unsigned_request_gets_signature(c, command, s)) ? 1 : 0;
  const int keys = s != nullptr && s->keys_ready ? 1 : 0;
  tw3_trace(c, "[gate] cmd=%u sign_one=%d csr=%d ssr=%d kr=%d hs=%d\n", command, sign_one,
            c->client_sign_required, c->sign_required, keys, s != nullptr && s->authenticated ? 1 : 0);
  // Inside a transform the encryption authenticates the response.
  if (!sign_one || m.encrypted || !keys) return 0;
  return r->b.len >= r->last_hdr && r->b.len - r->last_hdr >= SMB2_HDR_SIZE ? 1 : 0;
}

void sign_frame(tw3_conn* c, uint8_t* msg, uint64_t len) {
  if (len < SMB2_HDR_SIZE) return;
  tw3_session* s = tw3_session_find(c, le64(msg + HDR_SESSION_ID));
  if (s == nullptr || !s->keys_ready) return;
  put_le32(msg + HDR_FLAGS, le32(msg + HDR_FLAGS) | SMB2_FLAGS_SIGNED);
  uint8_t sig[SIGNATURE_SIZE];
  compute(c, s, msg, len, true, sig);
  std::memcpy(msg + HDR_SIGNATURE, sig, SIGNATURE_SIZE);
  trace_signature(c, *s, msg, len, sig);
}
