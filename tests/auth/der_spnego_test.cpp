// DER lengths and SPNEGO token parsing/building.
#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <vector>

#include "auth/auth.h"
#include "common/ntlm_client_msgs.h"

namespace {

using ntlmc::Bytes;
using ntlmc::cat;
using ntlmc::der;

struct DerCase {
  const char* why;
  Bytes in;
  int rc;
  uint8_t tag;
  uint64_t len;
  uint64_t pos;
};

TEST(Der, TagAndLengthForms) {
  const DerCase cases[] = {
      {"short form", {0x04, 0x02, 0xAA, 0xBB}, 0, 0x04, 2, 2},
      {"0x81 one length byte", cat({{0x04, 0x81, 0x03}, Bytes(3, 1)}), 0, 0x04, 3, 3},
      {"0x82 two length bytes", cat({{0x30, 0x82, 0x01, 0x00}, Bytes(256, 0)}), 0, 0x30, 256, 4},
      {"0x80 indefinite reads as empty", {0xA0, 0x80, 0x01}, 0, 0xA0, 0, 2},
      {"0x84 exceeding the region", {0x04, 0x84, 0x00, 0x01, 0x00, 0x00, 0x00}, -1, 0, 0, 0},
      {"0x84 within the region", {0x04, 0x84, 0x00, 0x00, 0x00, 0x01, 0xEE}, 0, 0x04, 1, 6},
      {"0x85 five length bytes", {0x04, 0x85, 0, 0, 0, 0, 1, 0xEE}, -1, 0, 0, 0},
      {"length bytes missing", {0x04, 0x82, 0x01}, -1, 0, 0, 0},
      {"content past the end", {0x04, 0x05, 0x01}, -1, 0, 0, 0},
      {"high tag number", {0x1F, 0x01, 0x00}, -1, 0, 0, 0},
      {"no length byte", {0x04}, -1, 0, 0, 0},
  };
  for (const auto& c : cases) {
    tw3_der cur{c.in.data(), c.in.size(), 0};
    uint8_t tag = 0;
    uint64_t len = 0;
    EXPECT_EQ(der_tag(&cur, &tag, &len), c.rc) << c.why;
    if (c.rc == 0) {
      EXPECT_EQ(tag, c.tag) << c.why;
      EXPECT_EQ(len, c.len) << c.why;
      EXPECT_EQ(cur.pos, c.pos) << c.why;
    }
  }
  tw3_der empty{nullptr, 0, 0};
  uint8_t tag;
  uint64_t len;
  EXPECT_EQ(der_tag(&empty, &tag, &len), -1);
}

TEST(Der, LengthWriter) {
  const struct {
    uint64_t n;
    Bytes out;
  } cases[] = {{0, {0x00}}, {0x7F, {0x7F}}, {0x80, {0x81, 0x80}}, {0xFF, {0x81, 0xFF}},
               {0x100, {0x82, 0x01, 0x00}}, {0xFFFF, {0x82, 0xFF, 0xFF}}};
  for (const auto& c : cases) {
    tw3_buf b{};
    der_len(&b, c.n);
    EXPECT_EQ(Bytes(b.data, b.data + b.len), c.out) << c.n;
    EXPECT_EQ(der_len_size(c.n), c.out.size()) << c.n;
    tw3_buf_free(&b);
  }
}

struct SpnegoCase {
  const char* why;
  Bytes blob;
  int rc;
  int raw;
  Bytes token;  // expected token bytes (empty: no token)
};

TEST(Spnego, ClientTokens) {
  const Bytes nego = ntlmc::negotiate();
  const Bytes ntlm_types = der(0x30, ntlmc::kNtlmOid);
  const Bytes no_mech_types =
      der(0x60, cat({ntlmc::kSpnegoOid, der(0xA0, der(0x30, der(0xA2, der(0x04, nego))))}));
  const Bytes no_neg_token_init =
      der(0x60, cat({ntlmc::kSpnegoOid, der(0xA1, der(0x30, der(0xA2, der(0x04, nego))))}));
  const Bytes bare_gss = der(0x60, cat({ntlmc::kNtlmOid, nego}));
  const Bytes resp_bitstring = der(0xA1, der(0x30, der(0xA2, der(0x03, nego))));
  const Bytes resp_no_seq =
      der(0xA1, cat({der(0x0A, {0x01}), der(0xA2, der(0x04, nego))}));
  const Bytes with_a1 = der(0x60, cat({ntlmc::kSpnegoOid,
                                       der(0xA0, der(0x30, cat({der(0xA0, ntlm_types),
                                                                der(0xA1, der(0x30, nego))})))}));
  const Bytes sig7 = {'N', 'T', 'L', 'M', 'S', 'S', 'P'};
  const SpnegoCase cases[] = {
      {"standard negTokenInit", ntlmc::spnego_init(ntlmc::kNtlmOid, nego), 0, 0, {}},
      {"Kerberos-only mechTypes", ntlmc::spnego_init(cat({ntlmc::kKrbOid, ntlmc::kKrbOid}), nego), -2, 0, {}},
      {"NTLM after Kerberos", ntlmc::spnego_init(cat({ntlmc::kKrbOid, ntlmc::kNtlmOid}), nego), 0, 0, {}},
      {"GSS token without the [0] negTokenInit", no_neg_token_init, -1, 0, {}},
      {"negTokenInit without mechTypes", no_mech_types, 0, 0, {}},
      // RFC 2743 3.1 framing around NTLM itself: the message follows the OID,
      // and answers go unwrapped.
      {"NTLM OID GSS token", bare_gss, 0, 1, nego},
      {"NTLM OID GSS token with nothing after the OID", der(0x60, ntlmc::kNtlmOid), 0, 1, {}},
      {"[1] carries the token", with_a1, 0, 0, nego},
      {"negTokenResp with OCTET STRING", ntlmc::spnego_resp(nego), 0, 0, nego},
      {"negTokenResp with BIT STRING", resp_bitstring, -1, 0, {}},
      {"negTokenResp without SEQUENCE", resp_no_seq, 0, 0, nego},
      {"bare NTLMSSP", nego, 0, 1, nego},
      {"7-byte NTLMSSP prefix", sig7, -1, 0, {}},
      {"1 byte", {0x60}, -1, 0, {}},
      {"unknown first byte", {0x30, 0x00}, -1, 0, {}},
      {"outer length past end", {0x60, 0x10, 0x06}, -1, 0, {}},
      {"outer primitive", {0x40, 0x00}, -1, 0, {}},
  };
  for (const auto& c : cases) {
    const uint8_t* tok = reinterpret_cast<const uint8_t*>(1);
    uint64_t tok_len = 99;
    int raw = 7;
    EXPECT_EQ(tw3_spnego_init(c.blob.data(), c.blob.size(), &tok, &tok_len, &raw), c.rc) << c.why;
    EXPECT_EQ(raw, c.raw) << c.why;
    if (c.token.empty()) {
      EXPECT_EQ(tok, nullptr) << c.why;
      EXPECT_EQ(tok_len, 0u) << c.why;
    } else {
      ASSERT_NE(tok, nullptr) << c.why;
      EXPECT_GE(tok, c.blob.data()) << c.why;
      EXPECT_LE(tok + tok_len, c.blob.data() + c.blob.size()) << c.why;
      EXPECT_EQ(Bytes(tok, tok + tok_len), c.token) << c.why;
    }
  }
}

// The optimistic mechToken: the NTLM NEGOTIATE whose flags the CHALLENGE
// answers and whose bytes the AUTHENTICATE's MIC covers.
TEST(Spnego, MechTokenOfANegTokenInit) {
  const Bytes nego = ntlmc::negotiate();
  const Bytes bitstring_token = der(
      0x60, cat({ntlmc::kSpnegoOid, der(0xA0, der(0x30, cat({der(0xA0, der(0x30, ntlmc::kNtlmOid)),
                                                             der(0xA2, der(0x03, nego))})))}));
  const struct {
    const char* why;
    Bytes blob;
    int rc;
  } cases[] = {
      {"standard negTokenInit", ntlmc::spnego_init(ntlmc::kNtlmOid, nego), 0},
      {"NTLM after Kerberos", ntlmc::spnego_init(cat({ntlmc::kKrbOid, ntlmc::kNtlmOid}), nego), 0},
      {"no mechToken", ntlmc::spnego_init(ntlmc::kNtlmOid, {}), -1},
      {"BIT STRING mechToken", bitstring_token, -1},
      {"negTokenResp", ntlmc::spnego_resp(nego), -1},
      {"bare NTLMSSP", nego, -1},
      {"NTLM OID GSS token", der(0x60, cat({ntlmc::kNtlmOid, nego})), 0},
      {"NTLM OID GSS token without a message", der(0x60, ntlmc::kNtlmOid), -1},
  };
  for (const auto& c : cases) {
    const uint8_t* tok = reinterpret_cast<const uint8_t*>(1);
    uint64_t len = 99;
    EXPECT_EQ(tw3_spnego_mech_token(c.blob.data(), c.blob.size(), &tok, &len), c.rc) << c.why;
    if (c.rc == 0) {
      EXPECT_EQ(Bytes(tok, tok + len), nego) << c.why;
    } else {
      EXPECT_EQ(tok, nullptr) << c.why;
    }
  }
}

// A table of tokens and the part an extractor must find in each (empty:
// none, and -1).
struct extract_case {
  const char* why;
  Bytes blob;
  Bytes part;
};
using extractor = int (*)(const uint8_t*, uint64_t, const uint8_t**, uint64_t*);
void check_extracts(extractor fn, std::initializer_list<extract_case> cases) {
  for (const auto& c : cases) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(1);
    uint64_t n = 99;
    EXPECT_EQ(fn(c.blob.data(), c.blob.size(), &p, &n), c.part.empty() ? -1 : 0) << c.why;
    EXPECT_EQ(p == nullptr ? Bytes{} : Bytes(p, p + n), c.part) << c.why;
  }
}

// What the two MICs of a logon cover and carry: the client's mechTypes list
// as sent (tag and length included) and the mechListMIC of its negTokenResp.
TEST(Spnego, MechTypesAndMechListMic) {
  const Bytes nego = ntlmc::negotiate();
  const Bytes two = cat({ntlmc::kKrbOid, ntlmc::kNtlmOid});
  const Bytes mic(16, 0x5C);
  check_extracts(tw3_spnego_mech_types, {
      {"NTLM alone", ntlmc::spnego_init(ntlmc::kNtlmOid, nego), der(0x30, ntlmc::kNtlmOid)},
      {"Kerberos first", ntlmc::spnego_init(two, nego), der(0x30, two)},
      {"GSS NTLM token", ntlmc::gss_ntlm(nego), {}},
      {"negTokenResp", ntlmc::spnego_resp(nego), {}},
      {"bare NTLMSSP", nego, {}},
      {"mechTypes not a SEQUENCE",
       der(0x60, cat({ntlmc::kSpnegoOid, der(0xA0, der(0x30, der(0xA0, der(0x31, ntlmc::kNtlmOid))))})), {}},
  });
  check_extracts(tw3_spnego_resp_mic, {
      {"with mechListMIC", ntlmc::spnego_resp(nego, mic), mic},
      {"without", ntlmc::spnego_resp(nego), {}},
      {"mechListMIC not an OCTET STRING",
       der(0xA1, der(0x30, cat({der(0xA2, der(0x04, nego)), der(0xA3, der(0x03, mic))}))), {}},
      {"negTokenInit", ntlmc::spnego_init(ntlmc::kNtlmOid, nego), {}},
      {"bare NTLMSSP", nego, {}},
  });
  // The server's accept-completed answer with its mechListMIC.
  tw3_buf b{};
  tw3_spnego_done_mic(mic.data(), &b);
  const Bytes want = cat({{0xA1, 0x1B, 0x30, 0x19, 0xA0, 0x03, 0x0A, 0x01, 0x00, 0xA3, 0x12, 0x04, 0x10}, mic});
  EXPECT_EQ(Bytes(b.data, b.data + b.len), want);
  tw3_buf_free(&b);
}

// Every prefix of a valid token is rejected or parsed without reading past it.
TEST(Spnego, TruncatedTokensStayInBounds) {
  const Bytes full = ntlmc::spnego_init(ntlmc::kNtlmOid, ntlmc::negotiate());
  const Bytes resp = ntlmc::spnego_resp(ntlmc::negotiate(), Bytes(16, 1));
  const Bytes gss = ntlmc::gss_ntlm(ntlmc::negotiate());
  for (const Bytes* b : {&full, &resp, &gss}) {
    for (size_t n = 0; n < b->size(); n++) {
      std::vector<uint8_t> cut(b->begin(), b->begin() + n);
      const uint8_t* tok;
      uint64_t len;
      int raw;
      const int rc = tw3_spnego_init(cut.data(), n, &tok, &len, &raw);
      if (rc == 0 && tok) {
        EXPECT_LE(tok + len, cut.data() + n);
      }
      if (tw3_spnego_mech_token(cut.data(), n, &tok, &len) == 0) {
        EXPECT_LE(tok + len, cut.data() + n);
      }
      if (tw3_spnego_mech_types(cut.data(), n, &tok, &len) == 0) {
        EXPECT_LE(tok + len, cut.data() + n);
      }
      if (tw3_spnego_resp_mic(cut.data(), n, &tok, &len) == 0) {
        EXPECT_LE(tok + len, cut.data() + n);
      }
    }
  }
}

// Parses a built negTokenResp back and checks every length is exact.
void expect_exact_resp(const Bytes& token) {
  tw3_buf b{};
  ASSERT_EQ(tw3_spnego_resp(token.data(), token.size(), &b), 0);
  tw3_der c{b.data, b.len, 0};
  uint8_t tag;
  uint64_t len;
  ASSERT_EQ(der_tag(&c, &tag, &len), 0);
  EXPECT_EQ(tag, 0xA1);
  EXPECT_EQ(c.pos + len, b.len);
  ASSERT_EQ(der_tag(&c, &tag, &len), 0);
  EXPECT_EQ(tag, 0x30);
  EXPECT_EQ(c.pos + len, b.len);
  const Bytes head = {0xA0, 0x03, 0x0A, 0x01, 0x01, 0xA1, 0x0C};
  EXPECT_EQ(Bytes(b.data + c.pos, b.data + c.pos + 7), head);
  const uint8_t* tok;
  uint64_t tok_len;
  int raw;
  ASSERT_EQ(tw3_spnego_init(b.data, b.len, &tok, &tok_len, &raw), 0);
  EXPECT_EQ(Bytes(tok, tok + tok_len), token);
  EXPECT_EQ(tok + tok_len, b.data + b.len);
  tw3_buf_free(&b);
}

TEST(Spnego, ServerTokens) {
  // The default CHALLENGE is 184 bytes; its wrapper 215 (A1 81 D4 30 81 D1 ...).
  tw3_buf b{};
  tw3_spnego_resp(Bytes(184, 0x42).data(), 184, &b);
  ASSERT_EQ(b.len, 215u);
  const Bytes head = {0xA1, 0x81, 0xD4, 0x30, 0x81, 0xD1};
  EXPECT_EQ(Bytes(b.data, b.data + 6), head);
  tw3_buf_free(&b);

  b = tw3_buf{};
  tw3_spnego_resp(Bytes(300, 0x42).data(), 300, &b);
  // 300-byte token: every level reaching 256 uses 82 xx xx.
  const Bytes head300 = {0xA1, 0x82, 0x01, 0x4B, 0x30, 0x82, 0x01, 0x47};
  EXPECT_EQ(Bytes(b.data, b.data + 8), head300);
  EXPECT_EQ(b.len, 4u + 0x14Bu);
  tw3_buf_free(&b);

  for (size_t n : {0, 1, 100, 184, 300, 1000}) expect_exact_resp(Bytes(n, 0x37));

  b = tw3_buf{};
  tw3_spnego_done(&b);
  EXPECT_EQ(Bytes(b.data, b.data + b.len),
            Bytes({0xA1, 0x07, 0x30, 0x05, 0xA0, 0x03, 0x0A, 0x01, 0x00}));
  tw3_buf_free(&b);

  b = tw3_buf{};
  tw3_spnego_init_tok_nomect(nullptr, 0, &b);
  ASSERT_EQ(b.len, 74u);
  const Bytes init_head = {0x60, 0x48, 0x06, 0x06, 0x2B, 0x06, 0x01, 0x05, 0x05, 0x02,
                           0xA0, 0x3E, 0x30, 0x3C, 0xA0, 0x0E, 0x30, 0x0C};
  EXPECT_EQ(Bytes(b.data, b.data + init_head.size()), init_head);
  const Bytes hint_head = {0xA3, 0x2A, 0x30, 0x28, 0xA0, 0x26, 0x1B, 0x24};
  EXPECT_EQ(Bytes(b.data + 30, b.data + 38), hint_head);
  EXPECT_EQ(std::memcmp(b.data + 38, "not_defined_in_RFC4178@please_ignore", 36), 0);
  // The server's own initial token offers NTLM to a parser like ours.
  const uint8_t* tok;
  uint64_t tok_len;
  int raw;
  EXPECT_EQ(tw3_spnego_init(b.data, b.len, &tok, &tok_len, &raw), 0);
  tw3_buf_free(&b);

  b = tw3_buf{};
  const Bytes nego = ntlmc::negotiate();
  tw3_spnego_init_tok(nego.data(), nego.size(), &b);
  EXPECT_EQ(Bytes(b.data, b.data + b.len), ntlmc::spnego_init(ntlmc::kNtlmOid, nego));
  tw3_buf_free(&b);
}

}  // namespace
