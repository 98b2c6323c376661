// NEGOTIATE (MS-SMB2 2.2.3, 2.2.4, 3.3.5.3, 3.3.5.4): the SMB2 request and the
// SMB1 multi-protocol upgrade. Fixes the dialect, the signing and cipher
// algorithms, the I/O limits, the server GUID, the NTLM server challenge and
// the pre-authentication salt once per connection.
#include <cstring>
#include <iterator>

#include "auth/auth.h"
#include "platform/platform.h"
#include "smb/smb.h"

namespace {

constexpr uint16_t kRequestStructureSize = 36;
constexpr uint16_t kResponseStructureSize = 65;
constexpr uint16_t kMaxDialects = 32;
constexpr uint64_t kCapsMinBody = 32;    // a body holding Capabilities..NegotiateContextOffset
constexpr uint64_t kCtxCountMinBody = 34;
constexpr uint64_t kCapsOff = 8;
constexpr uint64_t kClientGuidOff = 12;
constexpr uint64_t kCtxOffsetOff = 28;
constexpr uint64_t kCtxCountOff = 32;
constexpr uint64_t kDialectCandidates[] = {36, 34, 32, 28};
constexpr uint16_t kDialectMin = 0x0200;
constexpr uint16_t kDialectMax = 0x03FF;
constexpr uint16_t kDialect3xMin = 0x0300;
constexpr uint16_t kDialect2xMax = 0x02FF;

constexpr uint32_t CAP_LEASING = 0x00000002;  // read caching is granted (leases.cpp)
constexpr uint32_t CAP_LARGE_MTU = 0x00000004;
constexpr uint32_t kSmallIo = 65536;
constexpr uint32_t kLargeIo = 1048576;
constexpr uint16_t kSecurityBufferOffset = SMB2_HDR_SIZE + 64;  // 128
constexpr uint64_t kGuidMix = 0x54574D4232ULL;  // "TWMB2" read big-endian

constexpr uint16_t CTX_PREAUTH_INTEGRITY = 1;
constexpr uint16_t CTX_ENCRYPTION = 2;
constexpr uint16_t CTX_SIGNING = 8;
constexpr uint16_t HASH_SHA512 = 1;
constexpr uint64_t kCtxHeader = 8;
constexpr uint64_t kCtxAlign = 8;
constexpr uint32_t kCtxMinOffset = 100;  // offsets of 99 or less count as absent
constexpr uint16_t kMaxHashes = 4;
constexpr uint16_t kMaxAlgorithms = 8;
constexpr uint16_t kAlgDataMin = 2;
constexpr uint16_t kAlgDataMax = 16;
constexpr uint64_t kSaltSize = 32;
constexpr uint16_t kPreauthCtxDataLen = 38;

constexpr uint64_t kSmb1MinLen = 40;
constexpr char kSmb2Wildcard[] = "SMB 2.???";
constexpr uint64_t kDialectStringLen = 9;

enum site : int { kSiteHeader = 3401, kSiteDialect, kSiteNoArray, kSiteContexts, kSiteChallenge, kSiteSmb1 };

uint64_t align_up(uint64_t n, uint64_t a) { return (n + a - 1) / a * a; }

// The values every negotiation derives from the server name and the clock.
struct derived {
  uint64_t h;   // FNV-1a of the server name: the GUID seed
  int64_t t;    // the clock option, else now
};

derived derive(const tw3_opts& o) {
  return {tw3_fnv1a64(o.server_name, std::strlen(o.server_name), TW3_FNV_BASIS),
          o.clock != 0 ? o.clock : tw3_unix_now()};
}

void generated_salt(uint64_t h, uint8_t out[kSaltSize]) {
  uint64_t acc = h;
  for (uint32_t i = 0; i < kSaltSize; i++) {
    uint8_t le[4];
    put_le32(le, i);
    acc = tw3_fnv1a64(le, sizeof le, acc);
    out[i] = static_cast<uint8_t>(acc >> (8 * (i % 8)));
  }
}

// What the client's negotiate contexts asked for.
struct client_contexts {
  bool sha512 = false;
  bool encryption = false;  // an encryption context came
  uint32_t ciphers = 0;    // bit n: cipher id n offered
  bool gmac = false;
  uint8_t salt[kSaltSize] = {};
};

bool lists_value(const uint8_t* p, uint16_t count, uint16_t want) {
  for (uint16_t i = 0; i < count; i++)
    if (le16(p + 2 * i) == want) return true;
  return false;
}

// PREAUTH_INTEGRITY_CAPABILITIES. false when the walk stops here.
bool read_preauth(const uint8_t* d, uint16_t dlen, client_contexts* out) {
  if (dlen < 4) return false;
  const uint16_t hashes = le16(d), salt_len = le16(d + 2);
  if (hashes < 1 || hashes > kMaxHashes || salt_len > kSaltSize ||
      dlen < 4u + 2u * hashes + salt_len)
    return false;
  if (lists_value(d + 4, hashes, HASH_SHA512)) out->sha512 = true;
  std::memset(out->salt, 0, kSaltSize);
  std::memcpy(out->salt, d + 4 + 2 * hashes, salt_len);
  return true;
}

// The ciphers the server takes, best first.
constexpr uint16_t kCipherPreference[] = {SMB2_CIPHER_AES128_GCM, SMB2_CIPHER_AES128_CCM,
                                           SMB2_CIPHER_AES256_GCM, SMB2_CIPHER_AES256_CCM};
constexpr uint16_t kCipherIdMax = 31;  // ids recorded in an id mask

// ENCRYPTION_ or SIGNING_CAPABILITIES: every listed id; false stops the walk.
bool read_ids(const uint8_t* d, uint16_t dlen, uint32_t* mask) {
  if (dlen < kAlgDataMin || dlen > kAlgDataMax) return false;
  const uint16_t count = le16(d);
  if (count < 1 || count > kMaxAlgorithms || dlen < 2u + 2u * count) return false;
  for (uint16_t i = 0; i < count; i++) {
    const uint16_t id = le16(d + 2 + 2 * i);
    if (id <= kCipherIdMax) *mask |= 1u << id;
  }
  return true;
}

// The server's first preference the client offered; 0 when none is shared
// or encryption is off.
int32_t pick_cipher(const tw3_conn* c, uint32_t offered) {
  if (c->opts.encrypt == TW3_ENCRYPT_OFF) return SMB2_CIPHER_NONE;
  for (uint16_t id : kCipherPreference)
    if (offered & (1u << id)) return id;
  return SMB2_CIPHER_NONE;
}

// SIGNING_CAPABILITIES: whether `want` is listed; false stops the walk.
bool read_algorithms(const uint8_t* d, uint16_t dlen, uint16_t want, bool* found) {
  uint32_t mask = 0;
  if (!read_ids(d, dlen, &mask)) return false;
  if (want <= kCipherIdMax && (mask & (1u << want)) != 0) *found = true;
  return true;
}

// Walks the request's negotiate contexts. 0, or -1 (INVALID_PARAMETER).
int parse_contexts(tw3_conn* c, const tw3_rd* body, uint32_t ctx_offset, uint16_t count,
                   client_contexts* out) {
  const uint64_t off = ctx_offset < kCtxMinOffset ? 0 : ctx_offset;
  const uint64_t base = off >= SMB2_HDR_SIZE ? off - SMB2_HDR_SIZE : 0;
  const uint64_t rem = base < body->len ? body->len - base : 0;
  tw3_trace(c, "[nego] ctx parse: ctx_abs=%zu base=%zu rem=%zu count=%u\n",
            static_cast<size_t>(ctx_offset), static_cast<size_t>(base), static_cast<size_t>(rem),
            count);
  if (off == 0 || base >= body->len || rem < kCtxHeader || count == 0) return -1;
  const uint8_t* area = body->data + base;
  uint64_t pos = 0;
  for (uint16_t i = 0; i < count; i++) {
    if (pos > rem || rem - pos < kCtxHeader) break;
    const uint16_t type = le16(area + pos), dlen = le16(area + pos + 2);
    if (dlen > rem - pos - kCtxHeader) break;
    tw3_trace(c, "[nego] ctx type=%u len=%u (off=%zu)\n", type, dlen, static_cast<size_t>(pos));
    const uint8_t* d = area + pos + kCtxHeader;
    bool go_on = true;
    if (type == CTX_PREAUTH_INTEGRITY) {
      go_on = read_preauth(d, dlen, out);
      if (go_on && !out->sha512) return -1;
    } else if (type == CTX_ENCRYPTION) {
      out->encryption = true;
      go_on = read_ids(d, dlen, &out->ciphers);
    } else if (type == CTX_SIGNING) {
      go_on = read_algorithms(d, dlen, SMB2_SIGNING_AES_GMAC, &out->gmac);
    }
    if (!go_on) break;
    pos = align_up(pos + kCtxHeader + dlen, kCtxAlign);
  }
  return out->sha512 ? 0 : -1;
}

// Finds the dialect array. The selected dialect, or 0 with *saw_3x set when
// a 3.x value turned up in a rejected candidate.
uint16_t select_dialect(const tw3_conn* c, const tw3_rd* body, uint16_t count, bool* saw_3x) {
  uint64_t cands[1 + std::size(kDialectCandidates)];
  size_t n = 0;
  const uint64_t array_len = 2ull * count;
  if (body->len >= array_len) cands[n++] = body->len - array_len;
  for (uint64_t cand : kDialectCandidates) cands[n++] = cand;
  tw3_trace(c, "[nego] ncand=%zu\n", n);
  uint16_t got = 0;
  for (size_t k = 0; k < n; k++) {
    const uint64_t off = cands[k];
    bool plausible = off <= body->len && array_len <= body->len - off;
    uint16_t best = 0;
    for (uint16_t i = 0; plausible && i < count; i++) {
      const uint16_t v = le16(body->data + off + 2 * i);
      if (v > got) got = v;
      if (v >= kDialect3xMin && v <= kDialectMax) *saw_3x = true;
      if (v < kDialectMin || v > kDialectMax) plausible = false;
      if (v > best) best = v;
    }
    tw3_trace(c, "[nego] cand@%zu plausible=%d got=%x\n", static_cast<size_t>(off),
              plausible ? 1 : 0, got);
    if (plausible) return best;
  }
  return 0;
}

// A NEGOTIATE that cannot be answered ends the connection after its answer.
tw3_done refuse_ending(tw3_conn* c, uint32_t status, int site) {
  tw3_stat_add(ST_PROTOCOL_ERRORS, 1);
  c->closing = 1;
  return tw3_refuse(status, site);
}

void commit_identity(tw3_conn* c, const derived& d) {
  put_le64(c->server_guid, d.h);
  put_le64(c->server_guid + 8, d.h ^ kGuidMix);
  tw3_ntlm_challenge(c->opts.server_name, d.t, c->opts.clock != 0, c->server_challenge);
  tw3_keep_challenge(c, d.t);
}

// The NEGOTIATE response body (MS-SMB2 2.2.4) after the header at last_hdr.
void put_response(tw3_conn* c, tw3_reply* r, uint16_t security_mode, uint16_t ctx_count,
                  const derived& d, const tw3_buf& secbuf) {
  tw3_buf* b = &r->b;
  const bool large = c->client_large_mtu != 0;
  w16(b, kResponseStructureSize);
  w16(b, security_mode);
  w16(b, static_cast<uint16_t>(c->dialect));
  w16(b, ctx_count);
  tw3_buf_put(b, c->server_guid, sizeof c->server_guid);
  w32(b, tw3_server_capabilities(c));
  w32(b, large ? kLargeIo : kSmallIo);
  w32(b, static_cast<uint32_t>(c->max_read));
  w32(b, static_cast<uint32_t>(c->max_write));
  w64(b, tw3_filetime(d.t));
  w64(b, 0);  // ServerStartTime
  w16(b, kSecurityBufferOffset);
  w16(b, static_cast<uint16_t>(secbuf.len));
  const uint64_t ctx_at = align_up(kSecurityBufferOffset + secbuf.len, kCtxAlign);
  w32(b, c->dialect >= SMB2_DIALECT_310 ? static_cast<uint16_t>(ctx_at) : 0);
  if (secbuf.len) tw3_buf_put(b, secbuf.data, secbuf.len);
}

void pad_to_8(tw3_reply* r) {
  while ((r->b.len - r->last_hdr) % kCtxAlign != 0 && !r->b.failed) tw3_buf_byte(&r->b, 0);
}

// The contexts of a 3.1.1 response, each 8-aligned from the first: the
// cipher only to a client that offered some (MS-SMB2 3.3.5.4), 0 when none
// of them is served.
void put_contexts(tw3_conn* c, tw3_reply* r, bool encryption) {
  tw3_buf* b = &r->b;
  pad_to_8(r);
  w16(b, CTX_PREAUTH_INTEGRITY);
  w16(b, kPreauthCtxDataLen);
  w32(b, 0);
  w16(b, 1);  // HashAlgorithmCount
  w16(b, kSaltSize);
  w16(b, HASH_SHA512);
  tw3_buf_put(b, c->preauth_salt, kSaltSize);
  pad_to_8(r);
  if (encryption) {
    w16(b, CTX_ENCRYPTION);
    w16(b, 4);
    w32(b, 0);
    w16(b, 1);
    w16(b, static_cast<uint16_t>(c->cipher_id));
    pad_to_8(r);
  }
  w16(b, CTX_SIGNING);
  w16(b, 4);
  w32(b, 0);
  w16(b, 1);
  w16(b, static_cast<uint16_t>(c->signing_algorithm));
}

// The SPNEGO initial token, or the bare CHALLENGE for clients tested raw.
int security_buffer(const tw3_conn* c, const derived& d, tw3_buf* out) {
  tw3_buf challenge{};
  const int rc = tw3_ntlm_type2(c->opts.server_name, c->server_challenge, d.t, &challenge);
  if (rc == 0) {
    if (tw3_getenv("TWSMB3S_RAW_NTLM_NEGO") != nullptr)
      tw3_buf_put(out, challenge.data, challenge.len);
    else
      tw3_spnego_init_tok_nomect(challenge.data, challenge.len, out);
  }
  tw3_buf_free(&challenge);
  return rc;
}

struct request {
  uint16_t structure_size, dialect_count, security_mode;
  uint32_t capabilities = 0, ctx_offset = 0;
  uint8_t client_guid[SMB2_GUID_SIZE] = {};
  uint16_t ctx_count = 0;
  bool has_contexts = false;
};

// The fixed part of the request. false on a short or impossible header.
bool read_request(tw3_rd* body, request* q) {
  q->structure_size = rd_u16(body);
  q->dialect_count = rd_u16(body);
  q->security_mode = rd_u16(body);
  rd_u16(body);  // Reserved
  if (body->bad || q->dialect_count == 0 || q->dialect_count > kMaxDialects ||
      q->structure_size != kRequestStructureSize)
    return false;
  if (body->len >= kCapsMinBody) {
    q->capabilities = le32(body->data + kCapsOff);
    std::memcpy(q->client_guid, body->data + kClientGuidOff, sizeof q->client_guid);
    q->ctx_offset = le32(body->data + kCtxOffsetOff);
    if (body->len >= kCtxCountMinBody) q->ctx_count = le16(body->data + kCtxCountOff);
    q->has_contexts = q->ctx_offset != 0 && q->ctx_count != 0;
  }
  return true;
}

void commit_smb2(tw3_conn* c, const request& q, uint16_t dialect, const client_contexts& cc,
                 const derived& d) {
  c->dialect = dialect;
  c->negotiated = 1;
  c->client_sign_required = (q.security_mode & SMB2_NEGOTIATE_SIGNING_REQUIRED) ? 1 : 0;
  c->client_sign_enabled =
      (q.security_mode & (SMB2_NEGOTIATE_SIGNING_ENABLED | SMB2_NEGOTIATE_SIGNING_REQUIRED)) ? 1 : 0;
  c->client_large_mtu = (q.capabilities & CAP_LARGE_MTU) ? 1 : 0;
  c->max_read = c->max_write = c->client_large_mtu ? kLargeIo : kSmallIo;
  if (c->preauth_started && c->smb2_negotiated) c->preauth_started = 0;
  c->smb2_negotiated = 1;
  c->signing_algorithm = cc.gmac ? SMB2_SIGNING_AES_GMAC : SMB2_SIGNING_AES_CMAC;
  c->client_encrypt_cap = (q.capabilities & SMB2_GLOBAL_CAP_ENCRYPTION) ? 1 : 0;
  std::memcpy(c->client_guid, q.client_guid, sizeof c->client_guid);
  if (dialect > SMB2_DIALECT_310)
    c->cipher_id = pick_cipher(c, cc.ciphers);
  else  // 3.0 and 3.0.2 know AES-128-CCM only
    c->cipher_id = pick_cipher(c, c->client_encrypt_cap ? 1u << SMB2_CIPHER_AES128_CCM : 0);
  c->sign_required = c->opts.signing == 1 ? 1 : 0;
  commit_identity(c, d);
  tw3_stat_add(ST_NEGOTIATE, 1);
  if (dialect > SMB2_DIALECT_310) {
    if (cc.salt[0] != 0 || cc.salt[1] != 0)
      std::memcpy(c->preauth_salt, cc.salt, kSaltSize);
    else
      generated_salt(d.h, c->preauth_salt);
  }
}

bool contains(const uint8_t* msg, uint64_t len, const char* text) {
  for (uint64_t i = 0; i + kDialectStringLen <= len; i++)
    if (std::memcmp(msg + i, text, kDialectStringLen) == 0) return true;
  return false;
}

}  // namespace

tw3_done cmd_negotiate(tw3_conn* c, tw3_req* /*rq*/, tw3_rd* body, tw3_reply* r) {
  request q{};
  const bool ok = read_request(body, &q);
  tw3_trace(c, "[nego] ssz=%u scount=%u rq.n=%zu\n", kRequestStructureSize, q.dialect_count,
            static_cast<size_t>(body->len));
  tw3_trace(c, "[nego] secmode=%04x caps=%08x\n", q.security_mode, 0u);
  if (!ok) return refuse_ending(c, STATUS_INVALID_PARAMETER, kSiteHeader);
  bool saw_3x = false;
  const uint16_t dialect = select_dialect(c, body, q.dialect_count, &saw_3x);
  if (dialect >= kDialectMin && dialect <= kDialect2xMax)
    return refuse_ending(c, STATUS_NOT_SUPPORTED, kSiteDialect);
  if (dialect == 0) {
    const bool invalid = !q.has_contexts && (body->len >= kCtxCountMinBody || saw_3x);
    return refuse_ending(c, invalid ? STATUS_INVALID_PARAMETER : STATUS_NOT_SUPPORTED, kSiteNoArray);
  }
  client_contexts cc;
  if (dialect > SMB2_DIALECT_310 && q.has_contexts &&
      parse_contexts(c, body, q.ctx_offset, q.ctx_count, &cc) != 0)
    return refuse_ending(c, STATUS_INVALID_PARAMETER, kSiteContexts);
  const derived d = derive(c->opts);
  commit_smb2(c, q, dialect, cc, d);
  tw3_buf secbuf{};
  if (security_buffer(c, d, &secbuf) != 0) {
    tw3_buf_free(&secbuf);
    return tw3_refuse(STATUS_NOT_SUPPORTED, kSiteChallenge);
  }
  const uint16_t ctx_count = dialect > SMB2_DIALECT_310 ? (cc.encryption ? 3 : 2)
                             : dialect == SMB2_DIALECT_310 ? 1 : 0;
  put_response(c, r, tw3_server_security_mode(c), ctx_count, d, secbuf);
  tw3_buf_free(&secbuf);
  if (dialect >= SMB2_DIALECT_310) pad_to_8(r);
  if (dialect > SMB2_DIALECT_310) put_contexts(c, r, cc.encryption);
  return tw3_answer();
}

// Signing is always enabled; REQUIRED comes with it, never alone (MS-SMB2 2.2.4).
uint16_t tw3_server_security_mode(const tw3_conn* c) {
  return SMB2_NEGOTIATE_SIGNING_ENABLED | (c->sign_required ? SMB2_NEGOTIATE_SIGNING_REQUIRED : 0);
}

uint32_t tw3_server_capabilities(const tw3_conn* c) {
  uint32_t caps = c->dialect >= SMB2_DIALECT_300 ? CAP_LEASING : 0;
  // Multi-credit requests are served on every 3.x dialect, whatever the
  // client announced; a client without them just sends none.
  if (c->dialect >= SMB2_DIALECT_300) caps |= CAP_LARGE_MTU | SMB2_GLOBAL_CAP_MULTI_CHANNEL;
  // 3.1.1 announces its cipher in a negotiate context instead.
  if (c->dialect <= SMB2_DIALECT_302 && c->cipher_id != SMB2_CIPHER_NONE)
    caps |= SMB2_GLOBAL_CAP_ENCRYPTION;
  return caps;
}

// An SMB1 NEGOTIATE that offers "SMB 2.???" is answered with the wildcard
// dialect and the ordinary initial token (MS-SMB2 3.3.5.3.1): nothing is
// settled yet, the client follows with an SMB2 NEGOTIATE that picks the
// dialect and starts the pre-authentication hash. A client that offers only
// "SMB 2.002" cannot speak 3.x and is refused like one without SMB2.
void smb1_negotiate(tw3_conn* c, const uint8_t* msg, uint64_t len, tw3_reply* r,
                    int* have_reply) {
  const bool wildcard = len >= kSmb1MinLen && msg[SMB1_COMMAND_OFF] == SMB1_COM_NEGOTIATE &&
                        contains(msg, len, kSmb2Wildcard);
  if (!wildcard || c->negotiated) {
    tw3_stat_add(ST_PROTOCOL_ERRORS, 1);
    // After a settled SMB2 negotiation an SMB1 NEGOTIATE ends the connection.
    if (c->negotiated) c->closing = 1;
    // An SMB1 message carries no SMB2 MessageId; it stands for id 0.
    rep_begin(r, SMB2_NEGOTIATE, STATUS_SUCCESS, 0, 0, 0, 0, 1);
    rep_error(r, STATUS_NOT_SUPPORTED);
    tw3_trace(c, "[twsmb3s %d] ERR_REPLY cmd=%u status=%08x line=%d\n", c->conn_id, SMB2_NEGOTIATE,
              STATUS_NOT_SUPPORTED, kSiteSmb1);
    *have_reply = 1;
    return;
  }
  rep_begin(r, SMB2_NEGOTIATE, STATUS_SUCCESS, 0, 0, 0, 0, 1);
  const derived d = derive(c->opts);
  c->dialect = SMB2_DIALECT_2FF;
  c->client_sign_required = c->client_sign_enabled = c->client_large_mtu = 0;
  c->max_read = c->max_write = kSmallIo;
  c->sign_required = c->opts.signing == 1 ? 1 : 0;
  commit_identity(c, d);
  tw3_buf secbuf{};
  if (security_buffer(c, d, &secbuf) != 0) rep_set_status(r, STATUS_NOT_SUPPORTED);
  put_response(c, r, tw3_server_security_mode(c), 0, d,
               secbuf);
  tw3_buf_free(&secbuf);
  *have_reply = 1;
}
