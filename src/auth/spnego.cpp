// SPNEGO (RFC 4178 in the RFC 2743 framing): finding the NTLM message in a
// client token, and building the server's three tokens. NTLM is the only
// mechanism; Kerberos is never offered.
#include <cstring>

#include "auth/auth.h"

namespace {

constexpr uint8_t kTagOid = 0x06;
constexpr uint8_t kTagOctetString = 0x04;
constexpr uint8_t kTagSequence = 0x30;
constexpr uint8_t kTagGssApp = 0x60;        // [APPLICATION 0] initial context token
constexpr uint8_t kTagNegTokenResp = 0xA1;  // NegotiationToken choice [1]
constexpr uint8_t kCtx0 = 0xA0;
constexpr uint8_t kCtx1 = 0xA1;
constexpr uint8_t kCtx2 = 0xA2;
constexpr uint8_t kCtx3 = 0xA3;

constexpr uint8_t kSpnegoOid[] = {0x06, 0x06, 0x2B, 0x06, 0x01, 0x05, 0x05, 0x02};
// 1.3.6.1.4.1.311.2.2.10; the content is the last 10 bytes.
constexpr uint8_t kNtlmOid[] = {0x06, 0x0A, 0x2B, 0x06, 0x01, 0x04, 0x01,
                                0x82, 0x37, 0x02, 0x02, 0x0A};
constexpr uint64_t kNtlmOidContentLen = 10;
constexpr const uint8_t* kNtlmOidContent = kNtlmOid + 2;
constexpr char kHintName[] = "not_defined_in_RFC4178@please_ignore";
constexpr uint64_t kHintNameLen = sizeof(kHintName) - 1;  // 36, no terminator
constexpr uint8_t kAcceptIncomplete[] = {0x0A, 0x01, 0x01};
constexpr uint8_t kAcceptCompleted0[] = {0x0A, 0x01, 0x00};  // negState accept-completed
constexpr uint8_t kAcceptCompleted[] = {0xA1, 0x07, 0x30, 0x05, 0xA0, 0x03, 0x0A, 0x01, 0x00};

constexpr bool constructed(uint8_t tag) { return (tag & TW3_DER_CONSTRUCTED) != 0; }

// A cursor over the content of the element whose content starts at c->pos.
tw3_der inside(const tw3_der& c, uint64_t len) { return tw3_der{c.base + c.pos, len, 0}; }

bool is_ntlm_oid(const tw3_der& c, uint8_t tag, uint64_t len) {
  return tag == kTagOid && len == kNtlmOidContentLen &&
         std::memcmp(c.base + c.pos, kNtlmOidContent, kNtlmOidContentLen) == 0;
}

// Whether a mechTypes SEQUENCE OF OID lists NTLM.
bool offers_ntlm(tw3_der list) {
  uint8_t tag;
  uint64_t len;
  while (der_tag(&list, &tag, &len) == 0) {
    if (is_ntlm_oid(list, tag, len)) return true;
    list.pos += len;
  }
  return false;
}

// The NegTokenInit SEQUENCE: mechTypes must offer NTLM; [1] carries the token.
int parse_neg_token_init(tw3_der seq, const uint8_t** token_out, uint64_t* token_len_out) {
  uint8_t tag;
  uint64_t len;
  while (der_tag(&seq, &tag, &len) == 0) {
    if (tag == kCtx0) {
      tw3_der mech = inside(seq, len);
      uint8_t inner_tag;
      uint64_t inner_len;
      if (der_tag(&mech, &inner_tag, &inner_len) != 0 || !constructed(inner_tag)) return -2;
      if (!offers_ntlm(inside(mech, inner_len))) return -2;
    } else if (tag == kCtx1) {
      tw3_der tok = inside(seq, len);
      uint8_t inner_tag;
      uint64_t inner_len;
      if (der_tag(&tok, &inner_tag, &inner_len) != 0 || !constructed(inner_tag)) return -1;
      *token_out = tok.base + tok.pos;
      *token_len_out = inner_len;
      return 0;
    }
    seq.pos += len;
  }
  return 0;  // no further element: a first leg without an NTLM message
}

// The NegTokenInit SEQUENCE inside a GSS-API initial context token: 0 (seq_out
// set), 1 (an NTLM GSS token: ntlm_out holds what follows its OID, no
// SEQUENCE), -1 (malformed).
int gss_init_seq(const uint8_t* blob, uint64_t blob_len, tw3_der* seq_out, tw3_der* ntlm_out) {
  tw3_der c{blob, blob_len, 0};
  uint8_t tag;
  uint64_t len;
  if (der_tag(&c, &tag, &len) != 0 || !constructed(tag)) return -1;
  c.end = c.pos + len;
  for (;;) {
    if (der_tag(&c, &tag, &len) != 0) return -1;
    if (is_ntlm_oid(c, tag, len)) {
      // RFC 2743 3.1: the mechanism's own token, not DER, fills the rest.
      c.pos += len;
      *ntlm_out = inside(c, c.end - c.pos);
      return 1;
    }
    if (tag == kCtx0) break;
    c.pos += len;
  }
  tw3_der wrapper = inside(c, len);
  if (der_tag(&wrapper, &tag, &len) != 0 || !constructed(tag)) return -1;
  *seq_out = inside(wrapper, len);
  return 0;
}

int parse_gss_init(const uint8_t* blob, uint64_t blob_len, const uint8_t** token_out,
                   uint64_t* token_len_out, int* raw_out) {
  tw3_der seq{}, ntlm{};
  const int rc = gss_init_seq(blob, blob_len, &seq, &ntlm);
  if (rc < 0) return -1;
  if (rc == 1) {
    *raw_out = 1;
    if (ntlm.end != 0) {
      *token_out = ntlm.base;
      *token_len_out = ntlm.end;
    }
    return 0;
  }
  return parse_neg_token_init(seq, token_out, token_len_out);
}

// The element with context tag `want` in a negTokenResp: 0 (c_out on its
// content, len_out its length) or -1.
int neg_token_resp_field(const uint8_t* blob, uint64_t blob_len, uint8_t want, tw3_der* c_out,
                         uint64_t* len_out) {
  tw3_der c{blob, blob_len, 0};
  uint8_t tag;
  uint64_t len;
  if (der_tag(&c, &tag, &len) != 0 || !constructed(tag)) return -1;
  c.end = c.pos + len;
  tw3_der first = c;
  if (der_tag(&first, &tag, &len) != 0) return -1;
  if (tag == kTagSequence) {
    c = inside(first, len);
  } else {
    c.pos = first.pos + len;  // not a SEQUENCE: passed over
  }
  for (;;) {
    if (der_tag(&c, &tag, &len) != 0) return -1;
    if (tag == want) break;
    c.pos += len;
  }
  *c_out = c;
  *len_out = len;
  return 0;
}

// The OCTET STRING inside the negTokenResp element `want`. 0 or -1.
int neg_token_resp_octets(const uint8_t* blob, uint64_t blob_len, uint8_t want,
                          const uint8_t** out, uint64_t* out_len) {
  tw3_der c{};
  uint64_t len = 0;
  if (neg_token_resp_field(blob, blob_len, want, &c, &len) != 0) return -1;
  tw3_der field = inside(c, len);
  uint8_t tag;
  if (der_tag(&field, &tag, &len) != 0 || tag != kTagOctetString) return -1;
  *out = field.base + field.pos;
  *out_len = len;
  return 0;
}

int parse_neg_token_resp(const uint8_t* blob, uint64_t blob_len, const uint8_t** token_out,
                         uint64_t* token_len_out) {
  return neg_token_resp_octets(blob, blob_len, kCtx2, token_out, token_len_out);
}

uint64_t wrapped_size(uint64_t content) { return 1 + der_len_size(content) + content; }

void put_header(tw3_buf* buf, uint8_t tag, uint64_t content) {
  tw3_buf_byte(buf, tag);
  der_len(buf, content);
}

}  // namespace

int tw3_spnego_init(const uint8_t* blob, uint64_t blob_len, const uint8_t** token_out,
                    uint64_t* token_len_out, int* raw_out) {
  *token_out = nullptr;
  *token_len_out = 0;
  *raw_out = 0;
  if (blob == nullptr || blob_len < 2) return -1;
  if (blob[0] == kTagGssApp) return parse_gss_init(blob, blob_len, token_out, token_len_out, raw_out);
  if (blob[0] == kTagNegTokenResp) return parse_neg_token_resp(blob, blob_len, token_out, token_len_out);
  if (blob_len > sizeof(TW3_NTLMSSP_SIGNATURE) - 1 &&
      std::memcmp(blob, TW3_NTLMSSP_SIGNATURE, sizeof(TW3_NTLMSSP_SIGNATURE)) == 0) {
    *token_out = blob;
    *token_len_out = blob_len;
    *raw_out = 1;
    return 0;
  }
  return -1;
}

namespace {

// The element of the client's negTokenInit with context tag `want`: 0 (c_out
// on its content, len_out its length), 1 (an NTLM GSS token instead, in
// c_out), -1.
int neg_token_init_field(const uint8_t* blob, uint64_t blob_len, uint8_t want, tw3_der* c_out,
                         uint64_t* len_out) {
  tw3_der seq{}, ntlm{};
  if (blob == nullptr || blob_len < 2 || blob[0] != kTagGssApp) return -1;
  const int rc = gss_init_seq(blob, blob_len, &seq, &ntlm);
  if (rc != 0) {
    *c_out = ntlm;
    return rc;
  }
  uint8_t tag;
  uint64_t len;
  while (der_tag(&seq, &tag, &len) == 0) {
    if (tag == want) {
      *c_out = inside(seq, len);
      *len_out = len;
      return 0;
    }
    seq.pos += len;
  }
  return -1;
}

}  // namespace

int tw3_spnego_mech_token(const uint8_t* blob, uint64_t blob_len, const uint8_t** token_out,
                          uint64_t* token_len_out) {
  *token_out = nullptr;
  *token_len_out = 0;
  tw3_der tok{};
  uint64_t len = 0;
  const int rc = neg_token_init_field(blob, blob_len, kCtx2, &tok, &len);
  if (rc == 1 && tok.end != 0) {
    *token_out = tok.base;
    *token_len_out = tok.end;
    return 0;
  }
  uint8_t tag;
  if (rc != 0 || der_tag(&tok, &tag, &len) != 0 || tag != kTagOctetString) return -1;
  *token_out = tok.base + tok.pos;
  *token_len_out = len;
  return 0;
}

int tw3_spnego_mech_types(const uint8_t* blob, uint64_t blob_len, const uint8_t** out,
                          uint64_t* out_len) {
  *out = nullptr;
  *out_len = 0;
  tw3_der types{};
  uint64_t len = 0;
  if (neg_token_init_field(blob, blob_len, kCtx0, &types, &len) != 0) return -1;
  uint8_t tag;
  uint64_t inner = 0;
  if (der_tag(&types, &tag, &inner) != 0 || tag != kTagSequence) return -1;
  *out = types.base;  // the SEQUENCE with its own tag and length
  *out_len = types.pos + inner;
  return 0;
}

int tw3_spnego_resp_mic(const uint8_t* blob, uint64_t blob_len, const uint8_t** out,
                        uint64_t* out_len) {
  *out = nullptr;
  *out_len = 0;
  if (blob == nullptr || blob_len < 2 || blob[0] != kTagNegTokenResp) return -1;
  return neg_token_resp_octets(blob, blob_len, kCtx3, out, out_len);
}

int tw3_spnego_resp(const uint8_t* token, uint64_t token_len, tw3_buf* buf) {
  const uint64_t l3 = wrapped_size(token_len);  // OCTET STRING
  const uint64_t neg_state = 2 + sizeof(kAcceptIncomplete);
  const uint64_t mech = 2 + sizeof(kNtlmOid);
  const uint64_t l2 = neg_state + mech + wrapped_size(l3);  // 19 + [2]
  put_header(buf, kTagNegTokenResp, wrapped_size(l2));
  put_header(buf, kTagSequence, l2);
  put_header(buf, kCtx0, sizeof(kAcceptIncomplete));
  tw3_buf_put(buf, kAcceptIncomplete, sizeof(kAcceptIncomplete));
  put_header(buf, kCtx1, sizeof(kNtlmOid));
  tw3_buf_put(buf, kNtlmOid, sizeof(kNtlmOid));
  put_header(buf, kCtx2, l3);
  put_header(buf, kTagOctetString, token_len);
  if (token_len) tw3_buf_put(buf, token, token_len);
  return 0;
}

int tw3_spnego_done(tw3_buf* buf) {
  tw3_buf_put(buf, kAcceptCompleted, sizeof(kAcceptCompleted));
  return 0;
}

int tw3_spnego_done_mic(const uint8_t mic[16], tw3_buf* buf) {
  const uint64_t neg_state = 2 + sizeof(kAcceptCompleted0);
  const uint64_t mic_field = wrapped_size(wrapped_size(TW3_NTLM_SIGNATURE_SIZE));
  const uint64_t seq = neg_state + mic_field;
  put_header(buf, kTagNegTokenResp, wrapped_size(seq));
  put_header(buf, kTagSequence, seq);
  put_header(buf, kCtx0, sizeof(kAcceptCompleted0));
  tw3_buf_put(buf, kAcceptCompleted0, sizeof(kAcceptCompleted0));
  put_header(buf, kCtx3, wrapped_size(TW3_NTLM_SIGNATURE_SIZE));
  put_header(buf, kTagOctetString, TW3_NTLM_SIGNATURE_SIZE);
  tw3_buf_put(buf, mic, TW3_NTLM_SIGNATURE_SIZE);
  return 0;
}

// The opening both server negTokenInit forms share: the GSS-API wrapper with
// the SPNEGO OID, [0] NegTokenInit, its SEQUENCE of `seq` bytes, and
// mechTypes offering NTLM alone. The caller appends the rest of the SEQUENCE.
static void put_init_head(tw3_buf* buf, uint64_t seq) {
  const uint64_t inner = sizeof(kSpnegoOid) + wrapped_size(wrapped_size(seq));
  put_header(buf, kTagGssApp, inner);
  tw3_buf_put(buf, kSpnegoOid, sizeof(kSpnegoOid));
  put_header(buf, kCtx0, wrapped_size(seq));
  put_header(buf, kTagSequence, seq);
  put_header(buf, kCtx0, wrapped_size(sizeof(kNtlmOid)));
  put_header(buf, kTagSequence, sizeof(kNtlmOid));
  tw3_buf_put(buf, kNtlmOid, sizeof(kNtlmOid));
}

int tw3_spnego_init_tok_nomect(const uint8_t*, uint64_t, tw3_buf* buf) {
  const uint64_t hint = wrapped_size(wrapped_size(wrapped_size(kHintNameLen)));  // A0 { 1B }
  const uint64_t hints = wrapped_size(hint);  // A3 { 30 { A0 { 1B } } }
  const uint64_t mech_types = wrapped_size(wrapped_size(sizeof(kNtlmOid)));
  put_init_head(buf, mech_types + hints);
  put_header(buf, kCtx3, hint);
  put_header(buf, kTagSequence, wrapped_size(wrapped_size(kHintNameLen)));
  put_header(buf, kCtx0, wrapped_size(kHintNameLen));
  put_header(buf, 0x1B, kHintNameLen);  // GeneralString
  tw3_buf_put(buf, kHintName, kHintNameLen);
  return 0;
}

int tw3_spnego_init_tok(const uint8_t* token, uint64_t token_len, tw3_buf* buf) {
  const uint64_t mech_types = wrapped_size(wrapped_size(sizeof(kNtlmOid)));
  const uint64_t mech_token = wrapped_size(wrapped_size(token_len));
  put_init_head(buf, mech_types + mech_token);
  put_header(buf, kCtx2, wrapped_size(token_len));
  put_header(buf, kTagOctetString, token_len);
  if (token_len) tw3_buf_put(buf, token, token_len);
  return 0;
}
