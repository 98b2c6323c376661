// One logon's NTLM exchange as SESSION_SETUP carries it: the security buffer
// unwrapped in the client's framing (SPNEGO, an RFC 2743 NTLM token or bare
// NTLMSSP), the CHALLENGE answering the client's NEGOTIATE, the AUTHENTICATE
// checked against each account or taken as a guest, and the integrity of the
// exchange: the AUTHENTICATE's MIC covers the NEGOTIATE and CHALLENGE, the
// SPNEGO mechListMIC the client's list of mechanisms, so a named logon whose
// messages were altered on the way fails.
#include <cstring>

#include "auth/auth.h"
#include "config/config.h"
#include "util/le.h"

namespace {

constexpr uint64_t kTypeOffset = 8;
constexpr uint64_t kMinMessage = 12;  // signature and MessageType
constexpr uint32_t kTypeNegotiate = 1;
constexpr uint32_t kTypeAuthenticate = 3;
constexpr int kNameBuf = TW3_USER_NAME_MAX + 1;
constexpr int kPasswordBuf = TW3_PASSWORD_MAX + 1;

struct account {
  char name[kNameBuf];
  char password[kPasswordBuf];
  bool load(int index) {
    return tw3_user_at(index, name, kNameBuf, password, kPasswordBuf) == 0 && name[0] != 0;
  }
  ~account() { tw3_wipe(password, sizeof password); }
};

// Copies n bytes into a kept part; one too long to keep is left empty.
void keep(uint8_t* dst, uint16_t* dst_len, uint64_t cap, const uint8_t* src, uint64_t n) {
  *dst_len = 0;
  if (src == nullptr || n == 0 || n > cap) return;
  std::memcpy(dst, src, n);
  *dst_len = static_cast<uint16_t>(n);
}

// The CHALLENGE answering the client's NEGOTIATE (when it sent one), kept
// with it and the client's mechTypes for the second leg's checks.
void first_leg(tw3_logon* st, const tw3_logon_ctx& ctx, const uint8_t* blob, uint64_t len,
               const uint8_t* negotiate, uint64_t negotiate_len, bool raw, tw3_logon_result* out) {
  keep(st->negotiate, &st->negotiate_len, sizeof st->negotiate, negotiate, negotiate_len);
  const uint8_t* types = nullptr;
  uint64_t types_len = 0;
  if (!raw) tw3_spnego_mech_types(blob, len, &types, &types_len);
  keep(st->mech_types, &st->mech_types_len, sizeof st->mech_types, types, types_len);
  tw3_buf msg{};
  const uint32_t flags = tw3_ntlm_answer_flags(negotiate, negotiate_len);
  if (tw3_ntlm_type2(ctx.server_name, ctx.server_challenge, ctx.now, &msg, flags) != 0 ||
      msg.failed) {
    tw3_buf_free(&msg);
    out->verdict = tw3_logon_verdict::refused;
    return;
  }
  keep(st->challenge, &st->challenge_len, sizeof st->challenge, msg.data, msg.len);
  if (raw)
    tw3_buf_put(&out->token, msg.data, msg.len);
  else
    tw3_spnego_resp(msg.data, msg.len, &out->token);
  tw3_buf_free(&msg);
  out->verdict = tw3_logon_verdict::challenge;
}

// Whether the AUTHENTICATE's user name is one of the accounts', whatever
// domain came with it.
bool names_an_account(const uint8_t* msg, uint64_t len) {
  char user[kNameBuf];
  tw3_ntlm_names(msg, len, user, sizeof user, nullptr, 0);
  account acct;
  for (int i = 0; i < TW3_MAX_USERS && acct.load(i); i++)
    if (tw3_casecmp(acct.name, user) == 0) return true;
  return false;
}

// A guest session, where both the guest policy and the connection admit one.
void guest(const tw3_logon_ctx& ctx, bool raw, tw3_logon_result* out) {
  if (!ctx.guest_admissible || !tw3_guest_allowed()) {
    out->verdict = tw3_logon_verdict::refused;
    return;
  }
  out->verdict = tw3_logon_verdict::guest;
  if (!raw) tw3_spnego_done(&out->token);
}

// A named logon whose proof matched: its MIC and the client's mechListMIC
// must verify with its key, and the answer carries the server's mechListMIC
// where the client sent one or asked to sign (MS-SPNG 3.2.5.1).
void named(const tw3_logon& st, const uint8_t* blob, uint64_t len, bool raw,
           tw3_logon_result* out) {
  const uint8_t* msg = out->authenticate;
  const uint64_t msg_len = out->authenticate_len;
  out->verdict = tw3_logon_verdict::refused;
  if (tw3_ntlm_mic_check(msg, msg_len, out->key, st.negotiate, st.negotiate_len, st.challenge,
                         st.challenge_len) != 0)
    return;
  if (raw) {
    out->verdict = tw3_logon_verdict::user;
    return;
  }
  const uint32_t flags = tw3_ntlm_auth_flags(msg, msg_len);
  const uint8_t* client_mic = nullptr;
  uint64_t client_mic_len = 0;
  const bool has_mic = tw3_spnego_resp_mic(blob, len, &client_mic, &client_mic_len) == 0;
  uint8_t mic[TW3_NTLM_SIGNATURE_SIZE];
  if (has_mic) {
    const bool ok = client_mic_len == sizeof mic &&
                    tw3_ntlm_mech_list_mic(out->key, flags, true, st.mech_types, st.mech_types_len,
                                           mic) == 0 &&
                    tw3_ct_equal(mic, client_mic, sizeof mic);
    if (!ok) {
      tw3_auth_trace("[t3] mechListMIC mismatch (%zu bytes, mechTypes %u kept)\n",
                     static_cast<size_t>(client_mic_len), st.mech_types_len);
      return;
    }
  }
  if ((has_mic || (flags & TW3_NTLM_SIGN)) &&
      tw3_ntlm_mech_list_mic(out->key, flags, false, st.mech_types, st.mech_types_len, mic) == 0)
    tw3_spnego_done_mic(mic, &out->token);
  else
    tw3_spnego_done(&out->token);
  out->verdict = tw3_logon_verdict::user;
}

// The AUTHENTICATE leg: each account in turn; a guest when no account can
// exist for it (none configured, anonymous, or a name that is no account)
// and the policy admits one.
void second_leg(const tw3_logon& st, const tw3_logon_ctx& ctx, const uint8_t* blob, uint64_t len,
                bool raw, tw3_logon_result* out) {
  const uint8_t* msg = out->authenticate;
  const uint64_t msg_len = out->authenticate_len;
  account acct;
  const bool has_users = acct.load(0);
  tw3_auth_trace("[t3] has_users=%d\n", has_users ? 1 : 0);
  int is_guest = 0;
  if (!has_users && ctx.guest_admissible && tw3_guest_allowed()) {
    // No account to prove: whatever the response proves, a guest.
    const int rc = tw3_ntlm_type3(msg, msg_len, ctx.server_challenge, ctx.challenge_name,
                                  ctx.challenge_time, ctx.timecheck, "", "", &is_guest, out->key);
    if (rc < 0) {
      out->verdict = tw3_logon_verdict::malformed;
      return;
    }
    guest(ctx, raw, out);
    return;
  }
  for (int i = 0; has_users && i < TW3_MAX_USERS; i++) {
    if (i > 0 && !acct.load(i)) break;
    const int rc = tw3_ntlm_type3(msg, msg_len, ctx.server_challenge, ctx.challenge_name,
                                  ctx.challenge_time, ctx.timecheck, acct.name, acct.password,
                                  &is_guest, out->key);
    tw3_wipe(acct.password, sizeof acct.password);
    if (rc < 0) {
      out->verdict = tw3_logon_verdict::malformed;
      return;
    }
    if (rc == 0) {
      if (is_guest)
        guest(ctx, raw, out);
      else
        named(st, blob, len, raw, out);
      return;
    }
  }
  // A known account's wrong password stays a failure: only a name that is
  // no account becomes a guest.
  std::memset(out->key, 0, sizeof out->key);
  if (names_an_account(msg, msg_len)) {
    out->verdict = tw3_logon_verdict::refused;
    return;
  }
  if (!ctx.bad_user_guest) {
    out->verdict = tw3_logon_verdict::refused;
    return;
  }
  tw3_auth_trace("[t3] no such account -> guest\n");
  guest(ctx, raw, out);
}

}  // namespace

void tw3_logon_step(tw3_logon* st, const tw3_logon_ctx& ctx, const uint8_t* blob, uint64_t len,
                    tw3_logon_result* out) {
  out->verdict = tw3_logon_verdict::refused;
  const uint8_t* tok = nullptr;
  uint64_t tok_len = 0;
  int raw = 0;
  if (tw3_spnego_init(blob, len, &tok, &tok_len, &raw) != 0) return;
  if (tok == nullptr || tok_len == 0) {
    // A negTokenInit: its NEGOTIATE, if any, rides as the mechToken.
    const uint8_t* mech = nullptr;
    uint64_t mech_len = 0;
    tw3_spnego_mech_token(blob, len, &mech, &mech_len);
    first_leg(st, ctx, blob, len, mech, mech_len, raw != 0, out);
    return;
  }
  if (tok_len < kMinMessage ||
      std::memcmp(tok, TW3_NTLMSSP_SIGNATURE, sizeof TW3_NTLMSSP_SIGNATURE) != 0)
    return;
  const uint32_t type = le32(tok + kTypeOffset);
  if (type == kTypeNegotiate) {
    first_leg(st, ctx, blob, len, tok, tok_len, raw != 0, out);
  } else if (type == kTypeAuthenticate) {
    out->authenticate = tok;
    out->authenticate_len = tok_len;
    second_leg(*st, ctx, blob, len, raw != 0, out);
  } else {
    out->verdict = tw3_logon_verdict::malformed;
  }
}
