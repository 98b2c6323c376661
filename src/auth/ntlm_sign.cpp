// NTLM session security as far as a logon needs it (MS-NLMP 3.4): the
// signing and sealing keys of each direction and the signature of one
// message. SPNEGO signs the mechanism list with them (the mechListMIC), so
// that a man in the middle cannot strip a stronger mechanism from it.
// Only extended session security is done; its absence is refused elsewhere.
#include <cstring>

#include "auth/auth.h"
#include "crypto/crypto.h"
#include "util/le.h"

namespace {

// The magic constants each key's MD5 runs over, with their terminating zero
// (MS-NLMP 3.4.5.2, 3.4.5.3).
constexpr char kClientSign[] = "session key to client-to-server signing key magic constant";
constexpr char kServerSign[] = "session key to server-to-client signing key magic constant";
constexpr char kClientSeal[] = "session key to client-to-server sealing key magic constant";
constexpr char kServerSeal[] = "session key to server-to-client sealing key magic constant";
constexpr uint64_t kMagicSize = sizeof kClientSign;
static_assert(sizeof kServerSign == kMagicSize && sizeof kClientSeal == kMagicSize &&
              sizeof kServerSeal == kMagicSize);

constexpr uint64_t kKeyLen = 16;
constexpr uint64_t kSealKey56 = 7;  // NEGOTIATE_56 without NEGOTIATE_128
constexpr uint64_t kSealKey40 = 5;  // neither
constexpr uint32_t kSignatureVersion = 1;
constexpr uint64_t kChecksumLen = 8;

// MD5(key's first n bytes + magic with its zero).
void key_magic(const uint8_t key[kKeyLen], uint64_t n, const char* magic, uint8_t out[16]) {
  uint8_t in[kKeyLen + kMagicSize];
  std::memcpy(in, key, n);
  std::memcpy(in + n, magic, kMagicSize);
  tw3_md5(in, n + kMagicSize, out);
  tw3_wipe(in, sizeof in);
}

}  // namespace

void tw3_ntlm_sign_key(const uint8_t exported[16], bool client_to_server, uint8_t out[16]) {
  key_magic(exported, kKeyLen, client_to_server ? kClientSign : kServerSign, out);
}

void tw3_ntlm_seal_key(const uint8_t exported[16], uint32_t flags, bool client_to_server,
                       uint8_t out[16]) {
  const uint64_t n = (flags & TW3_NTLM_128) ? kKeyLen : (flags & TW3_NTLM_56) ? kSealKey56 : kSealKey40;
  key_magic(exported, n, client_to_server ? kClientSeal : kServerSeal, out);
}

void tw3_ntlm_mac(const uint8_t sign_key[16], tw3_rc4_state* seal, uint32_t seq,
                  const uint8_t* msg, uint64_t len, uint8_t out[TW3_NTLM_SIGNATURE_SIZE]) {
  uint8_t seq_le[4];
  put_le32(seq_le, seq);
  uint8_t digest[16];
  tw3_hmacmd5_ctx h;
  tw3_hmacmd5_init(&h, sign_key, kKeyLen);
  tw3_hmacmd5_update(&h, seq_le, sizeof seq_le);
  if (len) tw3_hmacmd5_update(&h, msg, len);
  tw3_hmacmd5_final(&h, digest);
  tw3_wipe(&h, sizeof h);
  if (seal != nullptr) tw3_rc4(seal, digest, kChecksumLen);
  put_le32(out, kSignatureVersion);
  std::memcpy(out + 4, digest, kChecksumLen);
  std::memcpy(out + 4 + kChecksumLen, seq_le, sizeof seq_le);
  tw3_wipe(digest, sizeof digest);
}

int tw3_ntlm_mech_list_mic(const uint8_t exported[16], uint32_t flags, bool client_to_server,
                           const uint8_t* mech_types, uint64_t len,
                           uint8_t out[TW3_NTLM_SIGNATURE_SIZE]) {
  if ((flags & TW3_NTLM_EXTENDED_SECURITY) == 0) return -1;
  uint8_t sign[16], seal_key[16];
  tw3_ntlm_sign_key(exported, client_to_server, sign);
  tw3_rc4_state seal;
  const bool kex = (flags & TW3_NTLM_KEY_EXCH) != 0;
  if (kex) {
    tw3_ntlm_seal_key(exported, flags, client_to_server, seal_key);
    tw3_rc4_init(&seal, seal_key, kKeyLen);
  }
  tw3_ntlm_mac(sign, kex ? &seal : nullptr, 0, mech_types, len, out);
  tw3_wipe(sign, sizeof sign);
  tw3_wipe(seal_key, sizeof seal_key);
  tw3_wipe(&seal, sizeof seal);
  return 0;
}
