// A test-side NTLM client: builds NEGOTIATE and AUTHENTICATE messages with
// NTLMv2 responses (MS-NLMP 3.3.2) and the SPNEGO wrappers a client sends,
// independently of the server's own builders. Header-only so that test
// binaries which do not link the crypto objects stay unaffected.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "crypto/crypto.h"

namespace ntlmc {

using Bytes = std::vector<uint8_t>;
using Key16 = std::array<uint8_t, 16>;

// KEY_EXCH | 128 | TARGET_INFO | EXTENDED_SESSIONSECURITY | ALWAYS_SIGN |
// NTLM | SIGN | REQUEST_TARGET | UNICODE: what common clients send.
constexpr uint32_t kClientFlags = 0x60888215;
constexpr uint32_t kKeyExch = 0x40000000;
constexpr uint64_t kFiletimeOffset = 11644473600ULL;

inline uint64_t filetime(int64_t unix_seconds) {
  return (static_cast<uint64_t>(unix_seconds) + kFiletimeOffset) * 10000000ULL;
}

inline void put16(Bytes& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
inline void put32(Bytes& b, uint32_t v) {
  put16(b, v & 0xFFFF);
  put16(b, v >> 16);
}
inline void put64(Bytes& b, uint64_t v) {
  put32(b, static_cast<uint32_t>(v));
  put32(b, static_cast<uint32_t>(v >> 32));
}
inline void set16(Bytes& b, size_t at, uint32_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
inline void set32(Bytes& b, size_t at, uint32_t v) {
  set16(b, at, v & 0xFFFF);
  set16(b, at + 2, v >> 16);
}
inline uint32_t get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// ASCII-only UTF-16LE, enough for test names.
inline Bytes utf16(const std::string& s, bool upper = false) {
  Bytes out;
  for (char c : s) {
    if (upper && c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    put16(out, static_cast<uint8_t>(c));
  }
  return out;
}

inline Key16 nt_hash(const std::string& password) {
  Key16 h{};
  Bytes pw = utf16(password);
  tw3_md4(pw.data(), pw.size(), h.data());
  return h;
}

inline Key16 ntowfv2(const std::string& password, const std::string& user,
                     const std::string& domain) {
  Key16 nt = nt_hash(password), out{};
  Bytes id = utf16(user, true), dom = utf16(domain);
  id.insert(id.end(), dom.begin(), dom.end());
  tw3_hmacmd5(nt.data(), 16, id.data(), id.size(), out.data());
  return out;
}

// KEY_EXCH | 128 | VERSION | EXTENDED_SESSIONSECURITY | ALWAYS_SIGN | NTLM |
// LM_KEY | SIGN | REQUEST_TARGET | OEM | UNICODE, as Samba's client asks.
constexpr uint32_t kNegotiateFlags = 0x62088297;

inline Bytes negotiate(uint32_t flags = kNegotiateFlags) {
  Bytes m = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0};
  put32(m, 1);
  put32(m, flags);
  put64(m, 0);  // domain
  put64(m, 0);  // workstation
  return m;
}

struct AuthSpec {
  std::string user = "alice";
  std::string wire_user;  // empty: same as user
  std::string domain = "WORKGROUP";
  std::string password = "secret";
  std::array<uint8_t, 8> server_challenge{};
  std::string nb_domain = "TARNWICKFIELD";
  std::string nb_computer = "TARNWICKFIELD";
  bool with_timestamp = true;
  uint64_t timestamp_ft = 0;  // FILETIME echoed in MsvAvTimestamp
  uint32_t flags = kClientFlags;
  Key16 exported_key = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,
                        0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xf0, 0x01};
  size_t pad_av = 0;              // value bytes of an extra unknown AV pair (0: none)
  std::optional<Bytes> nt_raw;    // replaces the computed NT response
  bool zero_nt_offset = false;
  uint8_t resp_type = 1;
  bool mic = false;  // MsvAvFlags claims a MIC (the caller fills it in with set_mic)
  bool mic_corrupt = false;  // the MIC filled in is then damaged
};

struct Auth {
  Bytes msg;
  Key16 session_key{};  // what the server must derive (exported key under KEY_EXCH)
  Key16 base_key{};
};

inline void av(Bytes& b, uint16_t id, const Bytes& value) {
  put16(b, id);
  put16(b, static_cast<uint32_t>(value.size()));
  b.insert(b.end(), value.begin(), value.end());
}

inline Bytes ntlmv2_blob(const AuthSpec& s) {
  Bytes blob = {s.resp_type, 1, 0, 0, 0, 0, 0, 0};
  put64(blob, s.timestamp_ft);
  for (int i = 0; i < 8; i++) blob.push_back(static_cast<uint8_t>(0xC0 + i));  // client challenge
  put32(blob, 0);
  if (!s.nb_domain.empty()) av(blob, 2, utf16(s.nb_domain));
  if (!s.nb_computer.empty()) av(blob, 1, utf16(s.nb_computer));
  if (s.with_timestamp) {
    Bytes ts;
    put64(ts, s.timestamp_ft);
    av(blob, 7, ts);
  }
  if (s.mic) av(blob, 6, {2, 0, 0, 0});  // MsvAvFlags: MIC present
  if (s.pad_av) av(blob, 0x00FE, Bytes(s.pad_av, 0x5A));
  av(blob, 0, {});
  put32(blob, 0);
  return blob;
}

// AUTHENTICATE with an NTLMv2 response (or s.nt_raw), Version and a zero MIC.
inline Auth authenticate(const AuthSpec& s) {
  Auth out;
  Bytes nt;
  if (s.nt_raw) {
    nt = *s.nt_raw;
  } else {
    Key16 owf = ntowfv2(s.password, s.user, s.domain);
    Bytes blob = ntlmv2_blob(s);
    Bytes input(s.server_challenge.begin(), s.server_challenge.end());
    input.insert(input.end(), blob.begin(), blob.end());
    uint8_t proof[16];
    tw3_hmacmd5(owf.data(), 16, input.data(), input.size(), proof);
    tw3_hmacmd5(owf.data(), 16, proof, 16, out.base_key.data());
    nt.assign(proof, proof + 16);
    nt.insert(nt.end(), blob.begin(), blob.end());
  }
  Bytes ersk;
  out.session_key = out.base_key;
  if (s.flags & kKeyExch) {
    ersk.assign(s.exported_key.begin(), s.exported_key.end());
    tw3_rc4_state st;
    tw3_rc4_init(&st, out.base_key.data(), 16);
    tw3_rc4(&st, ersk.data(), ersk.size());
    out.session_key = s.exported_key;
  }
  const std::string wire_user = s.wire_user.empty() ? s.user : s.wire_user;
  const Bytes fields[6] = {Bytes(24, 0), nt, utf16(s.domain), utf16(wire_user),
                           utf16("TESTHOST"), ersk};
  Bytes& m = out.msg;
  m = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0};
  put32(m, 3);
  m.resize(88, 0);  // six descriptors, flags, Version, MIC
  set32(m, 60, s.flags);
  uint32_t off = 88;
  for (int i = 0; i < 6; i++) {
    set16(m, 12 + 8 * i, static_cast<uint32_t>(fields[i].size()));
    set16(m, 14 + 8 * i, static_cast<uint32_t>(fields[i].size()));
    set32(m, 16 + 8 * i, off);
    m.insert(m.end(), fields[i].begin(), fields[i].end());
    off += static_cast<uint32_t>(fields[i].size());
  }
  if (s.zero_nt_offset) set32(m, 24, 0);
  return out;
}

// ---- Integrity of the exchange (MS-NLMP 3.2.5.1.2, 3.4.4.2; MS-SPNG 3.1.5.1) ----
constexpr size_t kMicOffset = 72;

// Writes the AUTHENTICATE's MIC: HMAC-MD5 under the exported key over the
// three messages, the MIC field zeroed.
inline void set_mic(Bytes& auth, const Key16& exported, const Bytes& negotiate, const Bytes& challenge) {
  std::fill(auth.begin() + kMicOffset, auth.begin() + kMicOffset + 16, 0);
  Bytes all = negotiate;
  all.insert(all.end(), challenge.begin(), challenge.end());
  all.insert(all.end(), auth.begin(), auth.end());
  tw3_hmacmd5(exported.data(), 16, all.data(), all.size(), auth.data() + kMicOffset);
}

// MD5(key + magic and its zero byte), the SIGNKEY and SEALKEY of 128-bit
// extended session security.
inline Key16 key_magic(const Key16& key, const std::string& magic) {
  Bytes in(key.begin(), key.end());
  in.insert(in.end(), magic.begin(), magic.end());
  in.push_back(0);
  Key16 out;
  tw3_md5(in.data(), in.size(), out.data());
  return out;
}

// The mechListMIC one side makes over mech_types: sequence number 0, the
// checksum RC4-sealed under key exchange.
inline Bytes mech_list_mic(const Key16& exported, const Bytes& mech_types, bool from_client,
                           bool key_exch = true) {
  const std::string dir = from_client ? "client-to-server" : "server-to-client";
  const Key16 sign = key_magic(exported, "session key to " + dir + " signing key magic constant");
  const Key16 seal = key_magic(exported, "session key to " + dir + " sealing key magic constant");
  Bytes in = {0, 0, 0, 0};
  in.insert(in.end(), mech_types.begin(), mech_types.end());
  uint8_t digest[16];
  tw3_hmacmd5(sign.data(), 16, in.data(), in.size(), digest);
  if (key_exch) {
    tw3_rc4_state st;
    tw3_rc4_init(&st, seal.data(), 16);
    tw3_rc4(&st, digest, 8);
  }
  Bytes out(16, 0);  // Version 1, the checksum, SeqNum 0
  out[0] = 1;
  std::copy(digest, digest + 8, out.begin() + 4);
  return out;
}

// ---- SPNEGO wrappers (RFC 4178) ----
inline Bytes der(uint8_t tag, const Bytes& content) {
  Bytes b = {tag};
  const size_t n = content.size();
  if (n < 0x80) {
    b.push_back(static_cast<uint8_t>(n));
  } else if (n <= 0xFF) {
    b.push_back(0x81);
    b.push_back(static_cast<uint8_t>(n));
  } else {
    b.push_back(0x82);
    b.push_back(static_cast<uint8_t>(n >> 8));
    b.push_back(static_cast<uint8_t>(n));
  }
  b.insert(b.end(), content.begin(), content.end());
  return b;
}
inline Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
inline const Bytes kSpnegoOid = {0x06, 0x06, 0x2B, 0x06, 0x01, 0x05, 0x05, 0x02};
inline const Bytes kNtlmOid = {0x06, 0x0A, 0x2B, 0x06, 0x01, 0x04, 0x01,
                               0x82, 0x37, 0x02, 0x02, 0x0A};
inline const Bytes kKrbOid = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x12, 0x01, 0x02, 0x02};

// GSS initial token: negTokenInit { mechTypes, mechToken [2] }.
inline Bytes spnego_init(const Bytes& mech_list, const Bytes& ntlm_msg) {
  Bytes seq = der(0xA0, der(0x30, mech_list));
  if (!ntlm_msg.empty()) seq = cat({seq, der(0xA2, der(0x04, ntlm_msg))});
  return der(0x60, cat({kSpnegoOid, der(0xA0, der(0x30, seq))}));
}
// negTokenResp { responseToken [2] OCTET STRING, mechListMIC [3] when given }.
inline Bytes spnego_resp(const Bytes& ntlm_msg, const Bytes& mech_list_mic = {}) {
  Bytes seq = der(0xA2, der(0x04, ntlm_msg));
  if (!mech_list_mic.empty()) seq = cat({seq, der(0xA3, der(0x04, mech_list_mic))});
  return der(0xA1, der(0x30, seq));
}
// GSS-API initial token of NTLM itself (RFC 2743 3.1): no SPNEGO, the NTLM
// message right after the mechanism OID.
inline Bytes gss_ntlm(const Bytes& ntlm_msg) { return der(0x60, cat({kNtlmOid, ntlm_msg})); }

// Server CHALLENGE: the challenge and the timestamp of its target info.
inline bool parse_challenge(const uint8_t* p, size_t n, std::array<uint8_t, 8>* chal) {
  if (n < 48 || std::memcmp(p, "NTLMSSP", 8) != 0 || get32(p + 8) != 2) return false;
  std::memcpy(chal->data(), p + 24, 8);
  return true;
}
// Finds the NTLMSSP message inside a server token (the signature search a
// client's SPNEGO layer amounts to for these fixed tokens).
inline const uint8_t* find_ntlmssp(const uint8_t* p, size_t n, size_t* len_out) {
  for (size_t i = 0; i + 8 <= n; i++)
    if (std::memcmp(p + i, "NTLMSSP", 8) == 0) {
      *len_out = n - i;
      return p + i;
    }
  return nullptr;
}

}  // namespace ntlmc
