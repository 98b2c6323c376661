// The server side of NTLM (MS-NLMP): the CHALLENGE message, the server
// challenge, the check of an AUTHENTICATE message against one account and of
// its MIC. Only NTLMv2 responses are verified; no NTLM signing or sealing of
// traffic is done: the session key feeds SMB key derivation and the SPNEGO
// mechListMIC (ntlm_sign.cpp).
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "auth/auth.h"
#include "util/le.h"
#include "config/config.h"
#include "crypto/crypto.h"
#include "platform/platform.h"

namespace {

constexpr uint32_t kTypeNegotiate = 1;
constexpr uint32_t kTypeChallenge = 2;
constexpr uint32_t kTypeAuthenticate = 3;
constexpr uint64_t kAuthMinLen = 32;
constexpr uint64_t kFlagsOffset = 60;
constexpr uint64_t kNegotiateFlagsOffset = 12;
constexpr uint64_t kNegotiateMinLen = 16;  // signature, MessageType, NegotiateFlags
constexpr uint64_t kFirstFieldOffset = 12;
constexpr uint64_t kChallengeHeaderLen = 48;  // no Version field: payload at 48
constexpr int kServerNameCut = 60;            // bytes of the name that are used
constexpr int kNameUtf16Max = 160;
constexpr int kUtf8NameMax = 129;
constexpr int kPasswordUtf16Max = 514;
constexpr int kNameCut = 128;
constexpr int kNtowfAreaMax = 2 * 2 * kNameCut;  // upper-cased user and domain, UTF-16
constexpr uint64_t kNtProofLen = 16;
constexpr uint64_t kNtV2Min = 48;
constexpr uint64_t kNtV2Max = 1040;
constexpr uint64_t kBlobAvOffset = 28;  // RespType..ClientChallenge..Reserved
constexpr int64_t kMaxClockSkew = 7200;
constexpr uint64_t kTracedBlobBytes = 60;
// The MIC follows the fixed fields and the 8-byte Version (MS-NLMP 2.2.1.3).
constexpr uint64_t kMicOffset = 72;
constexpr uint64_t kMicLen = 16;
constexpr uint32_t kAvFlagMicPresent = 0x00000002;  // MsvAvFlags (MS-NLMP 2.2.2.1)

enum : uint16_t {
  MsvAvEOL = 0,
  MsvAvNbComputerName = 1,
  MsvAvNbDomainName = 2,
  MsvAvDnsComputerName = 3,
  MsvAvDnsDomainName = 4,
  MsvAvFlags = 6,
  MsvAvTimestamp = 7,
};

bool tracing() { return tw3_getenv("TWSMB3S_TRACE") != nullptr; }

TW3_PRINTF(1, 2) void trace(const char* fmt, ...) {
  if (!tracing()) return;
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(stderr, fmt, ap);
  va_end(ap);
}

// prefix, the key (or "hidden", see tw3_trace_secret) and a line feed.
void trace_key(const char* prefix, const uint8_t key[16]) {
  if (!tracing()) return;
  tw3_buf line{};
  tw3_buf_str(&line, prefix);
  tw3_trace_secret(key, 16, &line);
  tw3_buf_str(&line, "\n");
  if (!line.failed) std::fwrite(line.data, 1, line.len, stderr);
  tw3_buf_free(&line);
}


// Little-endian reads over the message that fail when it is too short.
struct Cursor {
  const uint8_t* data;
  uint64_t size;
  uint64_t pos;
  bool u16(uint16_t* v) {
    if (pos > size || size - pos < 2) return false;
    *v = le16(data + pos);
    pos += 2;
    return true;
  }
  bool u32(uint32_t* v) {
    if (pos > size || size - pos < 4) return false;
    *v = le32(data + pos);
    pos += 4;
    return true;
  }
};

struct SecBuf {
  const uint8_t* p = nullptr;
  uint32_t len = 0;
};

// One security buffer descriptor (Len, MaxLen, Offset), bounds-checked.
SecBuf field(Cursor* c) {
  SecBuf out;
  uint16_t len, max_len;
  uint32_t off;
  if (!c->u16(&len) || !c->u16(&max_len) || !c->u32(&off)) return out;
  if (static_cast<uint64_t>(off) + len <= c->size) {
    out.len = len;
    out.p = off ? c->data + off : nullptr;
  } else {
    trace("[t3field] off=%u ln=%u msglen=%zu hi=%u\n", off, len, static_cast<size_t>(c->size),
          max_len);
  }
  return out;
}

// Finds AV pair `id` in list (len bytes). true and its value, else false.
bool av_find(const uint8_t* list, uint64_t len, uint16_t id, const uint8_t** value_out,
             uint16_t* len_out) {
  if (len <= 3) return false;
  uint64_t pos = 0;
  for (;;) {
    if (len - pos < 4) return false;
    const uint16_t av_id = le16(list + pos);
    const uint16_t av_len = le16(list + pos + 2);
    if (av_len > len - pos - 4) return false;
    if (av_id == MsvAvEOL) return false;
    if (av_id == id) {
      *value_out = list + pos + 4;
      *len_out = av_len;
      return true;
    }
    pos += 4 + static_cast<uint64_t>(av_len);
  }
}

void trace_av_walk(const uint8_t* blob, uint64_t blen) {
  if (!tracing()) return;
  std::fprintf(stderr, "[t3] walk blen=%zu:", static_cast<size_t>(blen));
  uint64_t pos = kBlobAvOffset;
  while (pos <= blen && blen - pos >= 4) {
    const uint16_t id = le16(blob + pos), len = le16(blob + pos + 2);
    std::fprintf(stderr, " id=%u len=%u@%zu", id, len, static_cast<size_t>(pos));
    if (len > blen - pos - 4) {
      std::fputs(" OVER", stderr);
      break;
    }
    if (id == MsvAvEOL) break;
    pos += 4 + static_cast<uint64_t>(len);
  }
  std::fputs("\n", stderr);
}

// The name sent in the CHALLENGE and expected back, as UTF-16LE.
bool server_name_utf16(const char* server_name, uint8_t out[kNameUtf16Max], int32_t* len_out) {
  const char* name = (server_name && server_name[0]) ? server_name : TW3_DEFAULT_SERVER_NAME;
  char cut[kServerNameCut + 1];
  std::snprintf(cut, sizeof cut, "%.60s", name);
  return tw3_utf8_to_utf16le(cut, out, kNameUtf16Max, len_out) == 0;
}

uint8_t fold(uint8_t c) { return (c >= 'A' && c <= 'Z') ? static_cast<uint8_t>(c + 32) : c; }

// ASCII case-insensitive equality over n bytes; the zero high bytes of
// UTF-16 text do not end the comparison.
bool bytes_equal_nocase(const uint8_t* a, const uint8_t* b, uint64_t n) {
  for (uint64_t i = 0; i < n; i++)
    if (fold(a[i]) != fold(b[i])) return false;
  return true;
}

bool av_name_matches(const uint8_t* av_list, uint64_t av_len, uint16_t id, const uint8_t* name,
                     int32_t name_len) {
  const uint8_t* v;
  uint16_t vlen;
  return av_find(av_list, av_len, id, &v, &vlen) && vlen == name_len &&
         bytes_equal_nocase(v, name, vlen);
}

// The echoed MsvAvTimestamp must lie within two hours of now.
bool timestamp_ok(const uint8_t* blob, uint64_t blen, int64_t now) {
  trace_av_walk(blob, blen);
  const uint8_t* v;
  uint16_t vlen;
  if (!av_find(blob + kBlobAvOffset, blen - kBlobAvOffset, MsvAvTimestamp, &v, &vlen) ||
      vlen != 8) {
    if (tracing()) {
      std::fprintf(stderr, "[t3] ts av blen=%zu blob:", static_cast<size_t>(blen));
      for (uint64_t i = 0; i < blen && i < kTracedBlobBytes; i++)
        std::fprintf(stderr, " %02x", blob[i]);
      std::fputs("\n", stderr);
    }
    return false;
  }
  const uint64_t ft = le64(v);
  if (ft == 0) return true;
  const int64_t sec = static_cast<int64_t>(ft / TW3_FILETIME_PER_SECOND) - TW3_FILETIME_UNIX_OFFSET;
  const int64_t d = sec - now;
  trace("[t3] ts sec=%lld now=%lld d=%lld\n", static_cast<long long>(sec),
        static_cast<long long>(now), static_cast<long long>(d));
  return d <= kMaxClockSkew && d >= -kMaxClockSkew;
}

// key_out = RC4(rc4_key, encrypted 16 bytes).
void rc4_unwrap(const uint8_t rc4_key[16], const uint8_t* enc, uint8_t key_out[16]) {
  std::memcpy(key_out, enc, 16);
  tw3_rc4_state st;
  tw3_rc4_init(&st, rc4_key, 16);
  tw3_rc4(&st, key_out, 16);
  tw3_wipe(&st, sizeof st);
}

void ascii_upper(char* s) {
  for (; *s; s++)
    if (*s >= 'a' && *s <= 'z') *s = static_cast<char>(*s - 32);
}

// Appends text (cut to kNameCut bytes) as UTF-16LE to area when it fits.
void append_utf16(const char* text, bool upper, uint8_t* area, int32_t* used) {
  char cut[kNameCut + 1];
  std::snprintf(cut, sizeof cut, "%s", text ? text : "");
  if (upper) ascii_upper(cut);
  int32_t n = 0;
  if (tw3_utf8_to_utf16le(cut, area + *used, kNtowfAreaMax - *used, &n) == 0) *used += n;
}

struct Auth {
  SecBuf nt, domain, user, session_key;
  uint32_t flags = 0;
};

// Parses the fixed part and the descriptors. 0, or -1 (traced).
int parse_authenticate(const uint8_t* msg, uint64_t msg_len, Auth* a) {
  if (msg == nullptr || msg_len < kAuthMinLen) {
    trace("[t3] short %zu\n", static_cast<size_t>(msg_len));
    return -1;
  }
  if (std::memcmp(msg, TW3_NTLMSSP_SIGNATURE, sizeof TW3_NTLMSSP_SIGNATURE) != 0) {
    trace("[t3] sig\n");
    return -1;
  }
  if (le32(msg + 8) != kTypeAuthenticate) return -1;
  Cursor c{msg, msg_len, kFirstFieldOffset};
  field(&c);  // LmChallengeResponse: ignored
  a->nt = field(&c);
  a->domain = field(&c);
  a->user = field(&c);
  field(&c);  // Workstation: ignored
  a->session_key = field(&c);
  if (a->nt.p == nullptr) {
    trace("[t3] ntfield\n");
    return -1;
  }
  c.pos = kFlagsOffset;
  if (!c.u32(&a->flags)) {
    trace("[t3] flags read failed\n");
    return -1;
  }
  trace("[t3] fields ok flags=%08x sklen=%u ntlen=%u ulen=%u dlen=%u total=%zu\n", a->flags,
        a->session_key.len, a->nt.len, a->user.len, a->domain.len, static_cast<size_t>(msg_len));
  return 0;
}

// An empty NT response: an anonymous logon, a guest while guests are allowed.
int accept_anonymous(const Auth& a, int* guest_out, uint8_t key_out[16]) {
  trace("[t3] anonymous (empty NT response) flags=%08x sklen=%u\n", a.flags, a.session_key.len);
  if (!tw3_guest_allowed()) {
    trace("[t3] anonymous refused: guests not allowed\n");
    return 1;  // no account can be proven without a response
  }
  *guest_out = 1;
  if ((a.flags & TW3_NTLM_KEY_EXCH) && a.session_key.p && a.session_key.len == 16) {
    const uint8_t zero[16] = {};
    rc4_unwrap(zero, a.session_key.p, key_out);
    trace_key("[t3] anonymous ERsk -> session_key=", key_out);
  }
  return 0;
}

// The proof matched: the session key from the base key and key exchange.
void derive_session_key(const Auth& a, const uint8_t ntowfv2[16], const uint8_t* proof,
                        uint8_t key_out[16]) {
  uint8_t base[16];
  tw3_hmacmd5(ntowfv2, 16, proof, kNtProofLen, base);
  // The CHALLENGE always offers KEY_EXCH. A client that sends an encrypted
  // random session key uses that key even when its AUTHENTICATE flags omit
  // KEY_EXCH (impacket 0.10 unless the server requires signing); with SMB 3
  // encryption the keys must agree from the first request, signed or not.
  const bool ersk = a.session_key.p != nullptr && a.session_key.len == 16;
  const bool kex = (a.flags & TW3_NTLM_KEY_EXCH) != 0 || ersk;
  if (!kex || tw3_getenv("TWSMB3S_NO_KEX") != nullptr) {
    std::memcpy(key_out, base, 16);
  } else if (a.session_key.p == nullptr || a.session_key.len != 16) {
    trace("[t3] KEY_EXCH without ERsk (sklen=%u) -> base key\n", a.session_key.len);
    std::memcpy(key_out, base, 16);
  } else {
    rc4_unwrap(base, a.session_key.p, key_out);
  }
  if (tracing()) {
    char prefix[96];
    std::snprintf(prefix, sizeof prefix, "[t3] verdict ok flags=%08x keyexch=%d sklen=%u session_key=",
                  a.flags, kex ? 1 : 0, a.session_key.len);
    trace_key(prefix, key_out);
  }
  tw3_wipe(base, sizeof base);
}

// NTLMv2: user name, timestamp and target names, then the proof. 0, 1 or -1.
int verify_v2(const Auth& a, const uint8_t challenge[8], const char* server_name, int64_t now,
              int timecheck, const char* user, const char* password, uint8_t key_out[16]) {
  const uint8_t* proof = a.nt.p;
  const uint8_t* blob = a.nt.p + kNtProofLen;
  const uint64_t blen = a.nt.len - kNtProofLen;
  if (blob[0] != 1 || blob[1] != 1) {
    trace("[t3] blobver %02x%02x\n", blob[0], blob[1]);
    return -1;
  }
  char wire_user[kUtf8NameMax] = "";
  if (a.user.len != 0 &&
      (a.user.p == nullptr || tw3_utf16_to_utf8(a.user.p, a.user.len, wire_user, kUtf8NameMax) < 0))
    return -1;
  if (user[0] && tw3_casecmp(wire_user, user) != 0) {
    trace("[t3] user mismatch wire='%s' want='%s'\n", wire_user, user);
    return 1;
  }
  if (timecheck && !timestamp_ok(blob, blen, now)) return -1;
  uint8_t name16[kNameUtf16Max];
  int32_t name_len = 0;
  if (!server_name_utf16(server_name, name16, &name_len)) return -1;
  const uint8_t* av = blob + kBlobAvOffset;
  const uint64_t av_len = blen - kBlobAvOffset;
  if (!av_name_matches(av, av_len, MsvAvNbDomainName, name16, name_len)) {
    trace("[t3] nbdom av (dom=%s)\n", (server_name && server_name[0]) ? server_name : TW3_DEFAULT_SERVER_NAME);
    return -1;
  }
  if (!av_name_matches(av, av_len, MsvAvNbComputerName, name16, name_len)) {
    trace("[t3] nbcomp av\n");
    return -1;
  }
  char domain[kUtf8NameMax] = "";
  if (a.domain.p && a.domain.len > 0 &&
      tw3_utf16_to_utf8(a.domain.p, a.domain.len, domain, kUtf8NameMax) < 0)
    domain[0] = 0;

  uint8_t nt_hash[16], ntowfv2[16], expect[16];
  tw3_ntlm_hashes_dom(user, domain, password, nt_hash, ntowfv2);
  tw3_hmacmd5_ctx h;
  tw3_hmacmd5_init(&h, ntowfv2, 16);
  tw3_hmacmd5_update(&h, challenge, 8);
  tw3_hmacmd5_update(&h, blob, blen);
  tw3_hmacmd5_final(&h, expect);
  tw3_wipe(&h, sizeof h);
  int result = 1;
  if (!tw3_ct_equal(expect, proof, kNtProofLen)) {
    trace("[t3] proof MISMATCH user='%s'\n", wire_user);
  } else {
    derive_session_key(a, ntowfv2, proof, key_out);
    result = 0;
  }
  tw3_wipe(nt_hash, sizeof nt_hash);
  tw3_wipe(ntowfv2, sizeof ntowfv2);
  tw3_wipe(expect, sizeof expect);
  return result;
}

// Drawn once per process; mixed into challenges made with the real clock.
struct ChallengeSecret {
  uint8_t key[32];
  ChallengeSecret() {
    if (tw3_os_random(key, sizeof key) != 0) {
      // No random source: still differ between processes and over time.
      const uint64_t seed[2] = {tw3_now_ms(), static_cast<uint64_t>(tw3_unix_now())};
      tw3_sha256(seed, sizeof seed, key);
    }
  }
};

std::atomic<uint64_t> g_challenge_counter{0};

}  // namespace

void tw3_ntlm_challenge(const char* server_name, int64_t t, int fixed_clock,
                        uint8_t challenge_out[8]) {
  const char* name = server_name ? server_name : "";
  const uint64_t a = tw3_fnv1a64(name, std::strlen(name), TW3_FNV_BASIS);
  uint8_t t_le[8];
  put_le64(t_le, static_cast<uint64_t>(t));
  const uint64_t b = tw3_fnv1a64(t_le, 8, a);
  put_le64(challenge_out, a ^ b);
  if (fixed_clock) return;
  static const ChallengeSecret secret;
  uint8_t input[16], mac[32];
  std::memcpy(input, challenge_out, 8);
  put_le64(input + 8, g_challenge_counter.fetch_add(1, std::memory_order_relaxed));
  tw3_hmac256(secret.key, sizeof secret.key, input, sizeof input, mac);
  std::memcpy(challenge_out, mac, 8);
  tw3_wipe(mac, sizeof mac);
}

int tw3_ntlm_type2(const char* server_name, const uint8_t challenge[8], int64_t now,
                   tw3_buf* buf, uint32_t flags) {
  uint8_t name16[kNameUtf16Max];
  int32_t u = 0;
  if (!server_name_utf16(server_name, name16, &u)) return -1;
  const uint32_t info_len = 4 * static_cast<uint32_t>(u) + 32;
  tw3_buf_put(buf, TW3_NTLMSSP_SIGNATURE, sizeof TW3_NTLMSSP_SIGNATURE);
  w32(buf, kTypeChallenge);
  w64(buf, 0);  // TargetNameFields: no target name
  w32(buf, flags);
  tw3_buf_put(buf, challenge, 8);
  w64(buf, 0);  // Reserved
  w16(buf, info_len);
  w16(buf, info_len);
  w32(buf, static_cast<uint32_t>(kChallengeHeaderLen));
  for (uint16_t id : {MsvAvNbDomainName, MsvAvNbComputerName, MsvAvDnsComputerName,
                      MsvAvDnsDomainName}) {
    w16(buf, id);
    w16(buf, static_cast<uint32_t>(u));
    tw3_buf_put(buf, name16, static_cast<uint64_t>(u));
  }
  w16(buf, MsvAvTimestamp);
  w16(buf, 8);
  w64(buf, tw3_filetime(now));
  w16(buf, MsvAvEOL);
  w16(buf, 0);
  return 0;
}

int tw3_ntlm_type3(const uint8_t* msg, uint64_t msg_len, const uint8_t challenge[8],
                   const char* server_name, int64_t now, int timecheck, const char* user,
                   const char* password, int* guest_out, uint8_t key_out[16]) {
  *guest_out = 0;
  std::memset(key_out, 0, 16);
  Auth a;
  if (parse_authenticate(msg, msg_len, &a) != 0) return -1;
  if (a.nt.len == 0) return accept_anonymous(a, guest_out, key_out);
  if ((a.flags & (TW3_NTLM_EXTENDED_SECURITY | TW3_NTLM_NEGOTIATE_NTLM)) == TW3_NTLM_NEGOTIATE_NTLM) {
    trace("[t3] ntonly flags=%08x\n", a.flags);
    return -1;
  }
  if (a.nt.len < kNtV2Min || a.nt.len > kNtV2Max) {
    if (tw3_guest_allowed()) {
      trace("[t3] short blob -> guest\n");
      *guest_out = 1;
      return 0;
    }
    trace("[t3] ntlen %u\n", a.nt.len);
    return 1;  // no account can be proven by such a response
  }
  return verify_v2(a, challenge, server_name, now, timecheck, user ? user : "",
                   password ? password : "", key_out);
}

void tw3_ntlm_hashes_dom(const char* user, const char* domain, const char* password,
                         uint8_t nt_hash_out[16], uint8_t ntowfv2_out[16]) {
  uint8_t pw16[kPasswordUtf16Max];
  int32_t pw_len = 0;
  if (tw3_utf8_to_utf16le(password ? password : "", pw16, kPasswordUtf16Max, &pw_len) != 0) {
    std::memset(nt_hash_out, 0, 16);
    std::memset(ntowfv2_out, 0, 16);
    tw3_wipe(pw16, sizeof pw16);
    return;
  }
  tw3_md4(pw16, static_cast<uint64_t>(pw_len), nt_hash_out);
  tw3_wipe(pw16, sizeof pw16);
  uint8_t area[kNtowfAreaMax];
  int32_t used = 0;
  append_utf16(user, true, area, &used);
  append_utf16(domain, false, area, &used);
  tw3_hmacmd5(nt_hash_out, 16, area, static_cast<uint64_t>(used), ntowfv2_out);
}

void tw3_ntlm_hashes(const char* user, const char* password, uint8_t nt_hash_out[16],
                     uint8_t ntowfv2_out[16]) {
  tw3_ntlm_hashes_dom(user, "", password, nt_hash_out, ntowfv2_out);
}

int tw3_ntlm_type1(const uint8_t* msg, uint64_t len) {
  if (msg == nullptr || len < kNegotiateMinLen) return -1;
  if (std::memcmp(msg, TW3_NTLMSSP_SIGNATURE, sizeof TW3_NTLMSSP_SIGNATURE) != 0) return -1;
  return le32(msg + 8) == kTypeNegotiate ? 0 : -1;
}

uint32_t tw3_ntlm_answer_flags(const uint8_t* msg, uint64_t len) {
  if (tw3_ntlm_type1(msg, len) != 0) return TW3_NTLM_CHALLENGE_FLAGS;
  const uint32_t asked = le32(msg + kNegotiateFlagsOffset);
  return (TW3_NTLM_CHALLENGE_FLAGS & ~TW3_NTLM_ECHOED_FLAGS) | (asked & TW3_NTLM_ECHOED_FLAGS);
}

namespace {

void name_text(const SecBuf& f, char* out, size_t size) {
  if (size == 0) return;
  out[0] = 0;
  if (f.p == nullptr || f.len == 0) return;
  int cap = size > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int>(size);
  if (tw3_utf16_to_utf8(f.p, f.len, out, cap) < 0) out[0] = 0;
}

}  // namespace

int tw3_ntlm_names(const uint8_t* msg, uint64_t msg_len, char* user, size_t user_size, char* domain,
                   size_t domain_size) {
  Auth a;
  if (parse_authenticate(msg, msg_len, &a) != 0) a = Auth{};
  name_text(a.user, user, user_size);
  name_text(a.domain, domain, domain_size);
  return a.nt.p == nullptr ? -1 : 0;
}

uint32_t tw3_ntlm_auth_flags(const uint8_t* msg, uint64_t len) {
  Auth a;
  return parse_authenticate(msg, len, &a) == 0 ? a.flags : 0;
}

namespace {

// Whether the NTLMv2 response's MsvAvFlags claims a MIC. A response too short
// to be NTLMv2 carries no AV pairs and so claims none.
bool claims_mic(const Auth& a) {
  if (a.nt.p == nullptr || a.nt.len < kNtV2Min) return false;
  const uint8_t* blob = a.nt.p + kNtProofLen;
  const uint8_t* v;
  uint16_t vlen;
  return av_find(blob + kBlobAvOffset, a.nt.len - kNtProofLen - kBlobAvOffset, MsvAvFlags, &v,
                 &vlen) &&
         vlen == 4 && (le32(v) & kAvFlagMicPresent) != 0;
}

}  // namespace

int tw3_ntlm_mic_check(const uint8_t* msg, uint64_t len, const uint8_t key[16],
                       const uint8_t* negotiate, uint64_t negotiate_len, const uint8_t* challenge,
                       uint64_t challenge_len) {
  Auth a;
  if (parse_authenticate(msg, len, &a) != 0) return -1;
  if (!claims_mic(a)) return 0;
  if (len < kMicOffset + kMicLen) {
    trace("[t3] MIC claimed in a %zu-byte message\n", static_cast<size_t>(len));
    return -1;
  }
  static constexpr uint8_t kZeroMic[kMicLen] = {};
  uint8_t want[16];
  tw3_hmacmd5_ctx h;
  tw3_hmacmd5_init(&h, key, 16);
  if (negotiate_len) tw3_hmacmd5_update(&h, negotiate, negotiate_len);
  if (challenge_len) tw3_hmacmd5_update(&h, challenge, challenge_len);
  tw3_hmacmd5_update(&h, msg, kMicOffset);
  tw3_hmacmd5_update(&h, kZeroMic, kMicLen);
  tw3_hmacmd5_update(&h, msg + kMicOffset + kMicLen, len - kMicOffset - kMicLen);
  tw3_hmacmd5_final(&h, want);
  tw3_wipe(&h, sizeof h);
  const bool ok = tw3_ct_equal(want, msg + kMicOffset, kMicLen);
  tw3_wipe(want, sizeof want);
  if (!ok) trace("[t3] MIC mismatch (negotiate %zu, challenge %zu bytes kept)\n",
                 static_cast<size_t>(negotiate_len), static_cast<size_t>(challenge_len));
  return ok ? 0 : -1;
}
