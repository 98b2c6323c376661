// SMB 3 encryption (MS-SMB2 2.2.41, 3.1.4.3, 3.3.5.2.1, 3.3.4.1.4): the
// transform layer between the connection loop and the dispatcher. A message
// that arrives in a transform is authenticated and decrypted in place before
// anything reads it; the whole reply to it leaves in one transform. Nothing
// of a transform that fails any check is processed: the connection ends.
#include <cstring>

#include "platform/platform.h"
#include "smb/smb.h"

namespace {

constexpr uint64_t kNonceCounterBytes = 8;    // the per-session counter, little-endian
constexpr uint64_t kNoncePrefixAt = kNonceCounterBytes;
constexpr uint64_t kCcmPrefixBytes = TF_CCM_NONCE_SIZE - kNonceCounterBytes;  // 3
constexpr uint64_t kGcmPrefixBytes = TF_GCM_NONCE_SIZE - kNonceCounterBytes;  // 4
constexpr uint64_t kNoncesMax = ~uint64_t{0};  // the counter never wraps

bool is_ccm(const tw3_conn* c) {
  return c->cipher_id == SMB2_CIPHER_AES128_CCM || c->cipher_id == SMB2_CIPHER_AES256_CCM;
}

bool is_wide(const tw3_conn* c) {
  return c->cipher_id == SMB2_CIPHER_AES256_CCM || c->cipher_id == SMB2_CIPHER_AES256_GCM;
}

uint64_t nonce_size(const tw3_conn* c) {
  return is_ccm(c) ? TF_CCM_NONCE_SIZE : TF_GCM_NONCE_SIZE;
}

void seal(const tw3_conn* c, const tw3_session& s, uint8_t* tf, uint8_t* data, uint64_t n) {
  if (is_ccm(c))
    k_ccm_aead_seal(&s.enc.ks, tf + TF_NONCE, TF_CCM_NONCE_SIZE, tf + TF_AAD, TF_AAD_SIZE, data,
                    n, tf + TF_SIGNATURE, SIGNATURE_SIZE);
  else
    k_gcm_seal(&s.enc, tf + TF_NONCE, tf + TF_AAD, TF_AAD_SIZE, data, n, tf + TF_SIGNATURE);
}

int open_in_place(const tw3_conn* c, const tw3_session& s, uint8_t* tf, uint8_t* data, uint64_t n) {
  if (is_ccm(c))
    return k_ccm_aead_open(&s.dec.ks, tf + TF_NONCE, TF_CCM_NONCE_SIZE, tf + TF_AAD,
                           TF_AAD_SIZE, data, n, tf + TF_SIGNATURE, SIGNATURE_SIZE);
  return k_gcm_open(&s.dec, tf + TF_NONCE, tf + TF_AAD, TF_AAD_SIZE, data, n,
                    tf + TF_SIGNATURE);
}

// A nonce the client already used in this session is a replay.
// Only the slots filled so far count: an all-zero nonce is a valid one.
bool seen_nonce(const tw3_session& s, const uint8_t* nonce) {
  const uint64_t filled = s.rx_nonce_count < TW3_RX_NONCE_RING ? s.rx_nonce_count
                                                                : TW3_RX_NONCE_RING;
  for (uint64_t i = 0; i < filled; i++)
    if (std::memcmp(s.rx_nonces[i], nonce, TF_NONCE_SIZE) == 0) return true;
  return false;
}

void remember_nonce(tw3_session* s, const uint8_t* nonce) {
  std::memcpy(s->rx_nonces[s->rx_nonce_count % TW3_RX_NONCE_RING], nonce, TF_NONCE_SIZE);
  s->rx_nonce_count++;
}

// The session whose keys a transform names: one with cipher keys that has
// not ended.
tw3_session* keyed_session(const tw3_conn* c, uint64_t session_id) {
  tw3_session* s = tw3_session_find(c, session_id);
  return s != nullptr && s->cipher_ready && !s->ended ? s : nullptr;
}

// Why a transform is dropped, for the trace.
const char* check_transform(const tw3_conn* c, const tw3_session* s, const uint8_t* msg, uint64_t len) {
  if (c->opts.encrypt == TW3_ENCRYPT_OFF) return "encryption off";
  if (len < TF_HDR_SIZE) return "short";
  if (le16(msg + TF_FLAGS) != TF_FLAG_ENCRYPTED) return "flags";
  if (s == nullptr) return "no session keys";
  if (le32(msg + TF_ORIGINAL_SIZE) != len - TF_HDR_SIZE) return "size";
  // Bytes of the nonce beyond what the cipher uses must be zero.
  for (uint64_t i = nonce_size(c); i < TF_NONCE_SIZE; i++)
    if (msg[TF_NONCE + i] != 0) return "nonce padding";
  if (seen_nonce(*s, msg + TF_NONCE)) return "replayed nonce";
  return nullptr;
}

int drop(tw3_conn* c, const char* why) {
  tw3_trace(c, "[tf] transform dropped: %s\n", why);
  tw3_stat_add(ST_BAD_SIGNATURE, 1);
  tw3_stat_add(ST_DECRYPT_FAILED, 1);
  return -1;
}

// Commands a session that must encrypt may still send in the clear.
bool plain_allowed(uint8_t command) {
  return command == SMB2_NEGOTIATE || command == SMB2_SESSION_SETUP;
}

// The cipher state of the session, keys scheduled from it included.
void forget_cipher(tw3_session* s) {
  tw3_wipe(&s->enc, sizeof s->enc);
  tw3_wipe(&s->dec, sizeof s->dec);
  std::memset(s->rx_nonces, 0, sizeof s->rx_nonces);
  s->rx_nonce_count = 0;
  s->cipher_ready = 0;
  s->encrypted = 0;
}

}  // namespace

void tf_session_keys(const tw3_conn* c, tw3_session* s) {
  forget_cipher(s);
  if (s->guest || c->cipher_id == SMB2_CIPHER_NONE || c->opts.encrypt == TW3_ENCRYPT_OFF) return;
  if (is_wide(c)) {
    k_gcm_init256(&s->enc, s->encryption_key);
    k_gcm_init256(&s->dec, s->decryption_key);
  } else {
    k_gcm_init(&s->enc, s->encryption_key);
    k_gcm_init(&s->dec, s->decryption_key);
  }
  // Reproducible runs (a fixed clock) derive the prefix from the session so
  // that their transcripts repeat; otherwise it is fresh randomness.
  uint8_t sid[8];
  put_le64(sid, s->id);
  if (c->opts.clock != 0 || tw3_os_random(s->nonce_prefix, sizeof s->nonce_prefix) != 0)
    put_le32(s->nonce_prefix, static_cast<uint32_t>(tw3_fnv1a64(sid, sizeof sid, TW3_FNV_BASIS)));
  s->tx_nonce_count = 0;
  s->cipher_ready = 1;
}

int tf_receive(tw3_conn* c, tw3_msg* m) {
  m->encrypted = 0;
  if (m->len < 4 || le32(m->bytes) != SMB2_TRANSFORM_PROTOCOL_ID) return 0;
  uint8_t* tf = m->bytes;
  tw3_session* s = m->len >= TF_HDR_SIZE ? keyed_session(c, le64(tf + TF_SESSION_ID)) : nullptr;
  if (const char* why = check_transform(c, s, tf, m->len)) return drop(c, why);
  const uint64_t n = m->len - TF_HDR_SIZE;
  uint8_t* inner = tf + TF_HDR_SIZE;
  if (open_in_place(c, *s, tf, inner, n) != 0) return drop(c, "authentication");
  // Only a plain SMB2 message may be inside: no nested transform, no
  // compression, no SMB1.
  if (n < SMB2_HDR_SIZE || le32(inner) != SMB2_PROTOCOL_ID) return drop(c, "inner message");
  remember_nonce(s, tf + TF_NONCE);
  if (!s->encrypted) {
    s->encrypted = 1;
    tw3_stat_add(ST_ENCRYPTED_SESSIONS, 1);
  }
  m->encrypted = 1;
  m->session_id = s->id;
  m->bytes = inner;
  m->len = n;
  return 0;
}

int tf_refuse_plain(tw3_conn* c, const tw3_msg& m, tw3_reply* r) {
  if (m.encrypted) return 0;
  const uint8_t* msg = m.bytes;
  const uint64_t len = m.len;
  tw3_hdr first{};
  if (parse_header(msg, len, &first, nullptr) != 0) return 0;  // the dispatcher's case
  bool refuse = false;
  for (uint64_t off = 0; off < len && !refuse;) {
    tw3_hdr h{};
    if (parse_header(msg + off, len - off, &h, nullptr) != 0) break;
    // A session that must encrypt takes nothing of its own in the clear.
    const tw3_session* s = tw3_session_live(c, h.session_id);
    refuse = s != nullptr && s->encrypt_data && !plain_allowed(h.command);
    const uint32_t next = le32(msg + off + HDR_NEXT_COMMAND);
    if (next == 0 || next > len - off) break;
    off += next;
  }
  if (!refuse) return 0;
  tw3_trace(c, "[tf] unencrypted request refused\n");
  tw3_stat_add(ST_BAD_SIGNATURE, 1);
  rep_begin(r, first.command, STATUS_ACCESS_DENIED, first.message_id, first.session_id,
            first.tree_id, 0, 1);
  rep_error(r, STATUS_ACCESS_DENIED);
  return 1;
}

namespace {

// The whole reply becomes the ciphertext of one transform of session_id,
// sealed where it lies. The session's record outlives the message that
// ended it, so the answer to a LOGOFF is still sealed.
int wrap(tw3_conn* c, tw3_reply* r, uint64_t session_id) {
  tw3_session* s = tw3_session_find(c, session_id);
  if (s == nullptr || !s->cipher_ready || r->b.failed || s->tx_nonce_count == kNoncesMax) return -1;
  uint8_t* tf = r->tf_hdr;
  std::memset(tf, 0, TF_HDR_SIZE);
  put_le32(tf, SMB2_TRANSFORM_PROTOCOL_ID);
  put_le64(tf + TF_NONCE, s->tx_nonce_count++);
  std::memcpy(tf + TF_NONCE + kNoncePrefixAt, s->nonce_prefix,
              is_ccm(c) ? kCcmPrefixBytes : kGcmPrefixBytes);
  put_le32(tf + TF_ORIGINAL_SIZE, static_cast<uint32_t>(r->b.len));
  put_le16(tf + TF_FLAGS, TF_FLAG_ENCRYPTED);
  put_le64(tf + TF_SESSION_ID, session_id);
  seal(c, *s, tf, r->b.data, r->b.len);
  r->sealed = 1;
  return 0;
}

}  // namespace

int tf_wrap_reply(tw3_conn* c, const tw3_msg& m, tw3_reply* r) {
  return m.encrypted ? wrap(c, r, m.session_id) : 0;
}

int tf_seal_own(tw3_conn* c, tw3_reply* r, uint64_t session_id) {
  return wrap(c, r, session_id);
}

int tf_seal_break(tw3_conn* c, tw3_reply* r, uint64_t session_id) {
  // A session that must encrypt, or whose client encrypts, gets nothing plain.
  const tw3_session* s = tw3_session_live(c, session_id);
  if (s == nullptr || !s->cipher_ready || (!s->encrypt_data && !s->encrypted)) return 0;
  if (uint8_t* h = rep_cur_hdr(r)) put_le64(h + HDR_SESSION_ID, session_id);
  return wrap(c, r, session_id);
}
