// Authentication: the minimal DER reader/writer, the SPNEGO tokens
// (RFC 4178 inside RFC 2743 framing) and the server side of NTLM with NTLMv2
// verification (MS-NLMP), and the logon exchange built on them. Nothing here
// keeps state apart from the process-wide challenge secret (an exchange's
// state is the caller's tw3_logon); nothing allocates except by appending to a
// caller's tw3_buf, and every pointer handed back lies inside the caller's
// input.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/crypto.h"
#include "util/util.h"

// ============================== DER (der.cpp) ==============================
// A cursor over one region: it never reads at or past `end`.
struct tw3_der {
  const uint8_t* base;
  uint64_t end;  // bytes in the region
  uint64_t pos;  // next byte to read
};

constexpr uint8_t TW3_DER_CONSTRUCTED = 0x20;

// Reads one tag byte and one definite length at pos; leaves pos at the first
// content byte. 0, or -1 (high tag numbers, more than 4 length bytes, or
// content that does not fit the region). The indefinite form reads as 0.
int der_tag(tw3_der* c, uint8_t* tag_out, uint64_t* len_out);
// Appends the DER length n (1, 2 or 3 bytes; n < 65536).
void der_len(tw3_buf* buf, uint64_t n);
// Size in bytes of what der_len(n) appends.
uint64_t der_len_size(uint64_t n);

// ============================ SPNEGO (spnego.cpp) ==========================
// Finds the NTLM message in a client security buffer. 0 (token_out points
// into blob, or is null when the token carries no NTLM message), -1
// (malformed or of another kind), -2 (mechTypes without NTLM). raw_out = 1
// when the client speaks bare NTLM, or NTLM in a GSS-API initial token
// (RFC 2743 3.1: 60 len, the NTLM OID, the NTLM message), and answers must
// not be wrapped.
int tw3_spnego_init(const uint8_t* blob, uint64_t blob_len, const uint8_t** token_out,
                    uint64_t* token_len_out, int* raw_out);
// The mechToken [2] of a client's negTokenInit (the optimistic token, NTLM's
// NEGOTIATE message from every NTLM client), or the NTLM message of a GSS-API
// NTLM initial token. 0 (token_out points into blob) or -1 (neither form, or
// no token carried).
int tw3_spnego_mech_token(const uint8_t* blob, uint64_t blob_len, const uint8_t** token_out,
                          uint64_t* token_len_out);
// The mechTypes list of a client's negTokenInit as it came, tag and length
// included: what its mechListMIC covers (RFC 4178 5). 0 (out points into
// blob) or -1.
int tw3_spnego_mech_types(const uint8_t* blob, uint64_t blob_len, const uint8_t** out,
                          uint64_t* out_len);
// The content of the mechListMIC [3] OCTET STRING of a client's negTokenResp.
// 0 (out points into blob), -1 (none, or not a negTokenResp).
int tw3_spnego_resp_mic(const uint8_t* blob, uint64_t blob_len, const uint8_t** out,
                        uint64_t* out_len);
// negTokenResp { accept-incomplete, NTLM, responseToken = token }. 0.
int tw3_spnego_resp(const uint8_t* token, uint64_t token_len, tw3_buf* buf);
// The 9-byte negTokenResp { accept-completed }. 0.
int tw3_spnego_done(tw3_buf* buf);
// The 29-byte negTokenResp { accept-completed, mechListMIC = the 16-byte
// NTLM signature mic }. 0.
int tw3_spnego_done_mic(const uint8_t mic[16], tw3_buf* buf);
// The server's 74-byte initial negTokenInit (NTLM only, hint name, no
// mechToken); the token arguments are ignored. 0.
int tw3_spnego_init_tok_nomect(const uint8_t* token, uint64_t token_len, tw3_buf* buf);
// The same negTokenInit without hints, carrying token as its mechToken. 0.
int tw3_spnego_init_tok(const uint8_t* token, uint64_t token_len, tw3_buf* buf);

// ======================== Keys in traces (trace_secrets.cpp) ================
// A trace line of the authentication steps on standard error, while the
// environment variable TWSMB3S_TRACE exists.
TW3_PRINTF(1, 2) void tw3_auth_trace(const char* fmt, ...);
// True when TWSMB3S_TRACE_SECRETS is "1": trace lines may then carry session,
// signing and cipher keys.
bool tw3_trace_secrets();
// Appends the key as hex when tw3_trace_secrets(), else the word "hidden".
void tw3_trace_secret(const uint8_t* key, size_t n, tw3_buf* out);

// ============================== NTLM (ntlm.cpp) ============================
// NEGOTIATE_56 | KEY_EXCH | NEGOTIATE_128 | TARGET_INFO | EXTENDED_SESSIONSECURITY
// | ALWAYS_SIGN | 0x400 | NEGOTIATE_NTLM | REQUEST_TARGET | UNICODE: the flags of a
// CHALLENGE that answers no NEGOTIATE message. REQUEST_TARGET (MS-NLMP 2.2.2.5)
// is set although the TargetName is empty: some clients (go-smb2, so rclone)
// refuse a CHALLENGE without it, and none reads the empty name.
constexpr uint32_t TW3_NTLM_CHALLENGE_FLAGS = 0xE0888605;
// The Signature every NTLM message begins with (MS-NLMP 2.2.1).
inline constexpr uint8_t TW3_NTLMSSP_SIGNATURE[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0};
constexpr uint32_t TW3_NTLM_SIGN = 0x00000010;
constexpr uint32_t TW3_NTLM_SEAL = 0x00000020;
constexpr uint32_t TW3_NTLM_128 = 0x20000000;
constexpr uint32_t TW3_NTLM_KEY_EXCH = 0x40000000;
constexpr uint32_t TW3_NTLM_56 = 0x80000000;
// What a CHALLENGE grants only when the client's NEGOTIATE asks for it
// (MS-NLMP 3.2.5.1.1): a client that wants signing (the Linux kernel's with
// `sign`, or against a server that requires it) refuses a CHALLENGE without SIGN.
constexpr uint32_t TW3_NTLM_ECHOED_FLAGS =
    TW3_NTLM_SIGN | TW3_NTLM_SEAL | TW3_NTLM_128 | TW3_NTLM_KEY_EXCH | TW3_NTLM_56;
constexpr uint32_t TW3_NTLM_EXTENDED_SECURITY = 0x00080000;
constexpr uint32_t TW3_NTLM_NEGOTIATE_NTLM = 0x00000200;
constexpr const char* TW3_DEFAULT_SERVER_NAME = "TARNWICKFIELD";

// (u + 11644473600) * 10^7.

// The 8-byte server challenge for `server_name` and Unix time t. With
// fixed_clock set the value is exactly the FNV-1a derivation, so replays are
// reproducible; otherwise a per-process secret from the OS random source and a
// per-process counter are mixed in, so no two challenges repeat.
void tw3_ntlm_challenge(const char* server_name, int64_t t, int fixed_clock,
                        uint8_t challenge_out[8]);
// Appends the CHALLENGE message with NegotiateFlags `flags`. 0, or -1 (nothing
// appended) when the name cannot be converted to UTF-16LE.
int tw3_ntlm_type2(const char* server_name, const uint8_t challenge[8], int64_t now,
                   tw3_buf* buf, uint32_t flags = TW3_NTLM_CHALLENGE_FLAGS);
// The CHALLENGE flags answering the client's NEGOTIATE message (len bytes): the
// fixed ones, and of TW3_NTLM_ECHOED_FLAGS those the client asked for.
// TW3_NTLM_CHALLENGE_FLAGS when msg is no NEGOTIATE message with flags.
uint32_t tw3_ntlm_answer_flags(const uint8_t* msg, uint64_t len);
// Checks one AUTHENTICATE message against one account (user may be empty).
// 0 accepted (key_out = session key; *guest_out = 1 for an anonymous or guest
// acceptance, which happens only while guests are allowed), 1 well formed but
// not this account, -1 malformed or refused.
int tw3_ntlm_type3(const uint8_t* msg, uint64_t msg_len, const uint8_t challenge[8],
                   const char* server_name, int64_t now, int timecheck, const char* user,
                   const char* password, int* guest_out, uint8_t key_out[16]);
// NT hash (MD4 of the UTF-16LE password) and NTOWFv2 for user and domain.
void tw3_ntlm_hashes_dom(const char* user, const char* domain, const char* password,
                         uint8_t nt_hash_out[16], uint8_t ntowfv2_out[16]);
void tw3_ntlm_hashes(const char* user, const char* password, uint8_t nt_hash_out[16],
                     uint8_t ntowfv2_out[16]);
// The user and domain names an AUTHENTICATE message carries, as UTF-8 (empty
// when absent, unreadable or too long). 0, or -1 (both empty) when the message
// is malformed. For reports only: nothing here is verified.
int tw3_ntlm_names(const uint8_t* msg, uint64_t msg_len, char* user, size_t user_size, char* domain,
                   size_t domain_size);
// 0 for a NEGOTIATE message (>= 16 bytes, signature, type 1), else -1.
int tw3_ntlm_type1(const uint8_t* msg, uint64_t len);
// The NegotiateFlags of an AUTHENTICATE message, 0 when it has none.
uint32_t tw3_ntlm_auth_flags(const uint8_t* msg, uint64_t len);
// MS-NLMP 3.2.5.1.2: when the NTLMv2 response's MsvAvFlags says a MIC is
// present, it must be HMAC-MD5(key, negotiate + challenge + the AUTHENTICATE
// with its MIC zeroed), key being the exported session key. 0 (no MIC is
// claimed, or it matches) or -1.
int tw3_ntlm_mic_check(const uint8_t* msg, uint64_t len, const uint8_t key[16],
                       const uint8_t* negotiate, uint64_t negotiate_len, const uint8_t* challenge,
                       uint64_t challenge_len);

// ======================= NTLM session security (ntlm_sign.cpp) ==============
constexpr uint64_t TW3_NTLM_SIGNATURE_SIZE = 16;
// SIGNKEY and SEALKEY (MS-NLMP 3.4.5.2, 3.4.5.3) of one direction with
// extended session security, from the exported session key and the
// negotiated flags (the sealing key is cut as NEGOTIATE_128 / _56 say).
void tw3_ntlm_sign_key(const uint8_t exported[16], bool client_to_server, uint8_t out[16]);
void tw3_ntlm_seal_key(const uint8_t exported[16], uint32_t flags, bool client_to_server,
                       uint8_t out[16]);
// MAC (MS-NLMP 3.4.4.2): Version 1, the first 8 bytes of HMAC-MD5(sign_key,
// seq + msg), RC4-encrypted through seal when key exchange was negotiated
// (null otherwise), and seq.
void tw3_ntlm_mac(const uint8_t sign_key[16], tw3_rc4_state* seal, uint32_t seq,
                  const uint8_t* msg, uint64_t len, uint8_t out[TW3_NTLM_SIGNATURE_SIZE]);
// The mechListMIC one side sends over mech_types (MS-SPNG 3.1.5.1): the MAC
// with that side's keys, sequence number 0 and a fresh sealing handle. 0, or
// -1 without extended session security, whose signatures are not made here.
int tw3_ntlm_mech_list_mic(const uint8_t exported[16], uint32_t flags, bool client_to_server,
                           const uint8_t* mech_types, uint64_t len,
                           uint8_t out[TW3_NTLM_SIGNATURE_SIZE]);

// ========================= One logon exchange (logon.cpp) ===================
constexpr uint64_t TW3_LOGON_NEGOTIATE_MAX = 512;  // Windows and Samba send 40 bytes
constexpr uint64_t TW3_LOGON_CHALLENGE_MAX = 560;  // a 60-character server name
constexpr uint64_t TW3_LOGON_MECH_TYPES_MAX = 256;  // Windows lists four mechanisms in 50

// What one logon keeps from its first leg for its second: the NEGOTIATE and
// CHALLENGE messages the AUTHENTICATE's MIC covers and the client's mechTypes
// its mechListMIC covers. A part too long to keep stays empty, so that a MIC
// over it fails rather than the logon of a client that sends none.
struct tw3_logon {
  uint8_t negotiate[TW3_LOGON_NEGOTIATE_MAX];
  uint8_t challenge[TW3_LOGON_CHALLENGE_MAX];
  uint8_t mech_types[TW3_LOGON_MECH_TYPES_MAX];
  uint16_t negotiate_len;
  uint16_t challenge_len;
  uint16_t mech_types_len;
};

// What the connection tells a logon step.
struct tw3_logon_ctx {
  const uint8_t* server_challenge;  // 8 bytes
  const char* server_name;          // what a CHALLENGE made now carries,
  int64_t now;                      // with this time
  const char* challenge_name;       // what the last CHALLENGE carried, which
  int64_t challenge_time;           // an AUTHENTICATE is checked against
  int timecheck;
  bool guest_admissible;  // the connection's signing and encryption let a guest in
                          // (the guest policy itself is read here)
  bool bad_user_guest;    // a user name that is no account may become a guest
};

enum class tw3_logon_verdict : uint8_t {
  challenge,  // answer MORE_PROCESSING_REQUIRED with token
  user,       // a named account logged on; key is its session key
  guest,      // a guest session
  malformed,  // an NTLM message that cannot be read (INVALID_PARAMETER)
  refused,    // the logon fails (LOGON_FAILURE)
};

struct tw3_logon_result {
  tw3_logon_verdict verdict;
  uint8_t key[16];                 // user: the exported session key
  const uint8_t* authenticate;     // the AUTHENTICATE inside the buffer, if it carried one
  uint64_t authenticate_len;
  tw3_buf token;                   // the answer's security buffer; the caller frees it
};

// One SESSION_SETUP security buffer: unwraps it in whichever framing the
// client used, advances the exchange in *st and says how to answer, in the
// same framing. Accounts and the guest policy are read from the
// configuration; a user name that is no account becomes a guest where
// ctx.guest_admissible, and a MIC or mechListMIC that does not verify refuses
// a named logon. *out must start zeroed.
void tw3_logon_step(tw3_logon* st, const tw3_logon_ctx& ctx, const uint8_t* blob, uint64_t len,
                    tw3_logon_result* out);
