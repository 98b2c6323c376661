// libFuzzer entry for the protocol engine: the input is the byte stream of one
// client connection, replayed through tw3_sess_run over an in-memory
// transport whose writes are discarded. The first input byte picks a valid
// opening sequence to put before the fuzz bytes, so inputs start from deep
// states (negotiated, logged on as guest, tree connected, files open) rather
// than having to rediscover a logon.
//
// Selector byte:
//   bits 0-2  opening: see enum opening
//   bit 3     server option signing=required (else enabled); the openings
//             past the challenge then log on as the named user alice
//             (NTLMv2, keys known to the harness, encryption offered), and
//             their requests are signed
//   bit 4     framed: the rest is a list of [u16 length][message] records, each
//             sent as one NetBIOS session message of the right length
//   bit 5     framed records with SessionId 0 / TreeId 0 get the opening's
//             session and tree (so fuzzed messages need not learn them);
//             after a named-user opening the ids are always filled in and
//             the bit picks the dialect: set 3.0.2 (CMAC, AES-128-CCM),
//             clear 3.1.1 (pre-authentication hash, GMAC, AES-256-GCM)
//   bit 6     tight limits: two handles, one credit, the smallest message size,
//             one folder watch;
//             with bit 3 also encrypt=required (named users must seal)
//   bit 7     trace on, with hex dumps (the trace lines are fuzzed too); a
//             named user's keys printed as well (TWSMB3S_TRACE_SECRETS)
// Without bit 4 the rest is appended to the stream unchanged.
//
// Records after a named-user opening: the top two bits of the length say how
// the record is sent (the length is the low 14 bits): 0x8000 sealed in a
// transform (AES-128-CCM, a fresh nonce each), 0x4000 as it is, neither
// signed. The harness signs and seals after patching the ids, so mutated
// requests still reach the handlers of a signed or encrypted session. Both
// bits (0xC000) make a record of no bytes that changes the shared folder on
// the host once the engine has read everything before it (low bits: which
// change, see enum host_change), so change notifications, lease and oplock
// breaks are fuzzed too; the folder is put back before the next input.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "common/ntlm_client_msgs.h"
#include "config/config.h"
#include "crypto/crypto.h"
#include "fuzz/fuzz_target.h"
#include "smb/smb.h"
#include "util/event.h"

namespace {

using ntlmc::Bytes;

constexpr int64_t kClock = 1700000000;        // fixed clock: reproducible ids and challenges
constexpr int32_t kConnId = 7;
constexpr uint8_t kOpeningMask = 0x07;
constexpr uint8_t kSigningRequired = 0x08;
constexpr uint8_t kFramed = 0x10;
constexpr uint8_t kPatchIds = 0x20;
constexpr uint8_t kTightLimits = 0x40;
constexpr uint8_t kTrace = 0x80;
constexpr size_t kRecordLenSize = 2;
constexpr uint32_t kNbLenMax = 0xFFFFFF;
constexpr uint16_t kSealRecord = 0x8000;
constexpr uint16_t kPlainRecord = 0x4000;
constexpr uint16_t kUserRecordLenMask = 0x3FFF;
constexpr uint16_t kHostChangeRecord = kSealRecord | kPlainRecord;
constexpr int64_t kFileTime = kClock - 86400;  // the share's files' fixed modification time
constexpr uint32_t kReadAccess = 0x00120089;
constexpr uint32_t kDirOption = 0x00000001;

enum opening : uint8_t {
  kNone,
  kNegotiated,
  kChallenged,   // first SESSION_SETUP leg answered
  kGuest,
  kShareTree,
  kIpcTree,
  kFileShareTree,
  kShareOpens,   // share tree, a file and a folder open
  kOpeningCount
};

// ---- The fixed configuration, made once ----
void write_file(const std::string& path, size_t size, char fill) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) std::abort();
  const std::string data(size, fill);
  std::fwrite(data.data(), 1, data.size(), f);
  std::fclose(f);
}

char g_root[] = "/tmp/tw3fuzz.XXXXXX";

// Every run (fuzzer or replay test) would otherwise leave its folder behind.
void remove_root() {
  std::error_code ec;
  std::filesystem::remove_all(g_root, ec);
}

// ---- Changes on the host, between two requests ----
enum host_change : uint8_t { kAddFile, kTouchFile, kRenameFile, kAddFolder, kHostChangeCount };

struct host_action {
  size_t at;  // stream offset: done once the engine has read everything before it
  uint8_t what;
};

bool g_host_changed = false;

void set_mtime(const std::string& path, int64_t unix_seconds) {
  const struct timespec times[2] = {{unix_seconds, 0}, {unix_seconds, 0}};
  if (utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) std::abort();
}

void host_change_apply(uint8_t what, int serial) {
  const std::string share = std::string(g_root) + "/share";
  const std::string n = std::to_string(serial);
  g_host_changed = true;
  switch (what % kHostChangeCount) {
    case kAddFile: write_file(share + "/sub/new" + n + ".txt", size_t(serial) * 7, 'n'); break;
    case kTouchFile: set_mtime(share + "/a.txt", kFileTime + serial); break;
    case kRenameFile: std::rename((share + "/sub/c.txt").c_str(), (share + "/sub/d" + n + ".txt").c_str()); break;
    default: mkdir((share + "/sub/dir" + n).c_str(), 0755); break;
  }
}

// Puts the folder back as make_config left it.
void host_change_undo() {
  if (!g_host_changed) return;
  g_host_changed = false;
  const std::string share = std::string(g_root) + "/share";
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(share + "/sub", ec))
    if (e.path().filename() != "c.txt") std::filesystem::remove_all(e.path(), ec);
  write_file(share + "/sub/c.txt", 10, 'c');
  set_mtime(share + "/sub/c.txt", kFileTime);
  set_mtime(share + "/sub", kFileTime);
  set_mtime(share + "/a.txt", kFileTime);
}

void make_config() {
  if (mkdtemp(g_root) == nullptr) std::abort();
  std::atexit(remove_root);
  const std::string root = g_root;
  const std::string share = root + "/share";
  mkdir(share.c_str(), 0755);
  mkdir((share + "/sub").c_str(), 0755);
  mkdir((share + "/empty").c_str(), 0755);
  write_file(share + "/a.txt", 100, 'a');
  write_file(share + "/big.bin", 70000, 'b');
  write_file(share + "/sub/c.txt", 10, 'c');
  write_file(root + "/single.txt", 300, 's');
  g_host_changed = true;  // fixes the files' times
  host_change_undo();
  tw3_config_reset_for_tests();
  if (tw3_add_share("share", share.c_str()) != 0 || tw3_add_share("one", (root + "/single.txt").c_str()) != 0 ||
      tw3_add_user("alice", "secret") != 0 || tw3_set_option("guest", "on") != 0 ||
      tw3_set_option("clock", std::to_string(kClock).c_str()) != 0)
    std::abort();
}

// ---- Memory transport ----
struct mem_io {
  const uint8_t* data;
  size_t len;
  size_t pos;
  Bytes* capture;  // replies kept when set (opening discovery only)
  const std::vector<host_action>* actions = nullptr;
  size_t next_action = 0;
};

int mem_read(void* ctx, uint8_t* buf, uint32_t cap, uint32_t /*timeout_ms*/) {
  auto* m = static_cast<mem_io*>(ctx);
  size_t end = m->len;
  if (m->actions != nullptr) {
    // A change is made only when the engine asks for the bytes after it,
    // so every request before it has been answered.
    const auto& a = *m->actions;
    while (m->next_action < a.size() && a[m->next_action].at <= m->pos) {
      host_change_apply(a[m->next_action].what, static_cast<int>(m->next_action) + 1);
      ++m->next_action;
    }
    if (m->next_action < a.size()) end = a[m->next_action].at;
  }
  const size_t n = std::min<size_t>(end - m->pos, cap);
  if (n == 0) return 0;
  std::memcpy(buf, m->data + m->pos, n);
  m->pos += n;
  return static_cast<int>(n);
}

int mem_write(void* ctx, const uint8_t* data, uint32_t len) {
  auto* m = static_cast<mem_io*>(ctx);
  if (m->capture != nullptr) m->capture->insert(m->capture->end(), data, data + len);
  return 0;
}

void run_stream(const uint8_t* data, size_t len, Bytes* capture,
                const std::vector<host_action>* actions = nullptr) {
  mem_io m{data, len, 0, capture, actions};
  const tw3_io io{&m, mem_write, mem_read, nullptr, nullptr, nullptr, nullptr};
  tw3_ip peer{};
  tw3_ip_parse("127.0.0.1", &peer);
  tw3_sess_run(&io, &peer, "127.0.0.1", kConnId);
}

void nb_append(Bytes& out, const uint8_t* msg, size_t len) {
  const auto n = static_cast<uint32_t>(std::min<size_t>(len, kNbLenMax));
  out.insert(out.end(), {NB_SESSION_MESSAGE, uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)});
  out.insert(out.end(), msg, msg + n);
}

// ---- Request builders ----
Bytes header(uint16_t command, uint64_t mid, uint64_t sid, uint32_t tid) {
  Bytes h;
  ntlmc::put32(h, SMB2_PROTOCOL_ID);
  ntlmc::put16(h, SMB2_HDR_SIZE);
  ntlmc::put16(h, 1);  // CreditCharge
  ntlmc::put32(h, 0);
  ntlmc::put16(h, command);
  ntlmc::put16(h, 1);  // CreditRequest
  ntlmc::put32(h, 0);
  ntlmc::put32(h, 0);
  ntlmc::put64(h, mid);
  ntlmc::put32(h, 0);
  ntlmc::put32(h, tid);
  ntlmc::put64(h, sid);
  h.resize(SMB2_HDR_SIZE, 0);
  return h;
}

void put_context(Bytes& m, uint16_t type, std::initializer_list<uint16_t> words, size_t salt) {
  while (m.size() % 8 != 0) m.push_back(0);
  ntlmc::put16(m, type);
  ntlmc::put16(m, static_cast<uint32_t>(2 * words.size() + salt));
  ntlmc::put32(m, 0);
  for (uint16_t w : words) ntlmc::put16(m, w);
  m.insert(m.end(), salt, 0x5A);
}

// 3.1.1 with SHA-512 pre-authentication, AES-256-GCM and GMAC signing.
Bytes negotiate_req_311() {
  constexpr size_t kSaltSize = 32;
  Bytes m = header(SMB2_NEGOTIATE, 0, 0, 0);
  ntlmc::put16(m, 36);
  ntlmc::put16(m, 3);  // DialectCount
  ntlmc::put16(m, 1);  // signing enabled
  ntlmc::put16(m, 0);
  ntlmc::put32(m, SMB2_GLOBAL_CAP_ENCRYPTION);
  m.resize(m.size() + 16, 0x11);  // ClientGuid
  const size_t ctx_offset_at = m.size();
  ntlmc::put32(m, 0);
  ntlmc::put16(m, 3);  // NegotiateContextCount
  ntlmc::put16(m, 0);
  for (uint16_t d : {0x0300, 0x0302, 0x0311}) ntlmc::put16(m, d);
  while (m.size() % 8 != 0) m.push_back(0);
  ntlmc::set32(m, ctx_offset_at, static_cast<uint32_t>(m.size()));
  put_context(m, 1, {1, kSaltSize, 1}, kSaltSize);      // pre-authentication: SHA-512
  put_context(m, 2, {1, SMB2_CIPHER_AES256_GCM}, 0);   // encryption
  put_context(m, 8, {1, 2}, 0);                         // signing: AES-GMAC
  return m;
}

Bytes negotiate_req(uint32_t capabilities) {
  Bytes m = header(SMB2_NEGOTIATE, 0, 0, 0);
  const uint16_t dialects[] = {0x0202, 0x0210, 0x0300, 0x0302};
  ntlmc::put16(m, 36);
  ntlmc::put16(m, 4);
  ntlmc::put16(m, 1);  // signing enabled
  ntlmc::put16(m, 0);
  ntlmc::put32(m, capabilities);
  m.resize(m.size() + 16 + 8, 0x11);  // ClientGuid, then no contexts
  std::fill(m.end() - 8, m.end(), 0);
  for (uint16_t d : dialects) ntlmc::put16(m, d);
  return m;
}

Bytes session_setup_req(const Bytes& token, uint64_t mid, uint64_t sid) {
  Bytes m = header(SMB2_SESSION_SETUP, mid, sid, 0);
  ntlmc::put16(m, 25);
  m.push_back(0);
  m.push_back(1);
  ntlmc::put32(m, 0);
  ntlmc::put32(m, 0);
  ntlmc::put16(m, SMB2_HDR_SIZE + 24);
  ntlmc::put16(m, static_cast<uint32_t>(token.size()));
  ntlmc::put64(m, 0);
  m.insert(m.end(), token.begin(), token.end());
  return m;
}

Bytes tree_connect_req(const std::string& unc, uint64_t mid, uint64_t sid) {
  Bytes m = header(SMB2_TREE_CONNECT, mid, sid, 0);
  const Bytes p = ntlmc::utf16(unc);
  ntlmc::put16(m, 9);
  ntlmc::put16(m, 0);
  ntlmc::put16(m, SMB2_HDR_SIZE + 8);
  ntlmc::put16(m, static_cast<uint32_t>(p.size()));
  m.insert(m.end(), p.begin(), p.end());
  return m;
}

Bytes create_req(const std::string& name, uint32_t options, uint64_t mid, uint64_t sid, uint32_t tid) {
  Bytes m = header(SMB2_CREATE, mid, sid, tid);
  const Bytes n = ntlmc::utf16(name);
  ntlmc::put16(m, 57);
  ntlmc::put16(m, 0);
  ntlmc::put32(m, 2);  // ImpersonationLevel
  ntlmc::put64(m, 0);
  ntlmc::put64(m, 0);
  ntlmc::put32(m, kReadAccess);
  ntlmc::put32(m, 0);
  ntlmc::put32(m, 7);  // ShareAccess
  ntlmc::put32(m, 1);  // FILE_OPEN
  ntlmc::put32(m, options);
  ntlmc::put16(m, SMB2_HDR_SIZE + 56);
  ntlmc::put16(m, static_cast<uint32_t>(n.size()));
  ntlmc::put64(m, 0);
  m.insert(m.end(), n.begin(), n.end());
  return m;
}

uint64_t reply_u64(const Bytes& nb_stream, size_t field) {
  // The last reply in the stream: walk NetBIOS headers.
  size_t at = 0, last = 0;
  while (at + NB_HDR_SIZE <= nb_stream.size()) {
    const size_t n = (size_t(nb_stream[at + 1]) << 16) | (size_t(nb_stream[at + 2]) << 8) | nb_stream[at + 3];
    last = at + NB_HDR_SIZE;
    at = last + n;
  }
  if (last + field + 8 > nb_stream.size()) std::abort();
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | nb_stream[last + field + size_t(i)];
  return v;
}

// What a named-user session's requests need: the 3.0.2 signing key and the
// client-to-server cipher, derived from the session key as the server does.
struct user_keys {
  bool gcm = false;  // 3.1.1: GMAC signatures, AES-256-GCM transforms
  uint8_t signing[SIGNATURE_SIZE] = {};
  tw3_aes128 seal{};
  tw3_gcm_ctx gmac{};
  tw3_gcm_ctx gcm_seal{};
};

struct opening_set {
  Bytes stream[kOpeningCount];  // NetBIOS-framed
  uint64_t session_id = 0;
  uint32_t tree_id[kOpeningCount] = {};
};

struct openings {
  opening_set guest;
  opening_set user;  // from kGuest on: alice's signed logon instead (3.0.2)
  user_keys keys;
  opening_set user311;  // the same on 3.1.1
  user_keys keys311;
};

void add_msg(Bytes& s, const Bytes& m) { nb_append(s, m.data(), m.size()); }

// Signs every request of a compound in place (each region up to its
// NextCommand), as a client of a signing session does.
void sign_compound(Bytes& msg, const user_keys& k) {
  size_t off = 0;
  while (off + SMB2_HDR_SIZE <= msg.size()) {
    const uint32_t next = ntlmc::get32(&msg[off + HDR_NEXT_COMMAND]);
    const bool last = next == 0 || next > msg.size() - off;
    const size_t len = last ? msg.size() - off : next;
    msg[off + HDR_FLAGS] |= SMB2_FLAGS_SIGNED;
    std::fill_n(msg.begin() + static_cast<std::ptrdiff_t>(off + HDR_SIGNATURE), SIGNATURE_SIZE, 0);
    uint8_t sig[SIGNATURE_SIZE];
    if (k.gcm) {
      uint8_t nonce[TF_GCM_NONCE_SIZE] = {};  // the MessageId; the role bit says request
      std::memcpy(nonce, &msg[off + HDR_MESSAGE_ID], 8);
      k_gcm_tag_only(&k.gmac, nonce, &msg[off], len, sig);
    } else {
      k_cmac(k.signing, &msg[off], len, sig);
    }
    std::memcpy(&msg[off + HDR_SIGNATURE], sig, SIGNATURE_SIZE);
    if (last) break;
    off += next;
  }
}

// The message as the ciphertext of one transform; `counter` makes each nonce new.
Bytes seal_msg(const Bytes& msg, const user_keys& k, uint64_t sid, uint64_t counter) {
  Bytes tf(TF_HDR_SIZE, 0);
  ntlmc::set32(tf, 0, SMB2_TRANSFORM_PROTOCOL_ID);
  for (int i = 0; i < 8; ++i) tf[TF_NONCE + i] = uint8_t(counter >> (8 * i));
  ntlmc::set32(tf, TF_ORIGINAL_SIZE, static_cast<uint32_t>(msg.size()));
  ntlmc::set16(tf, TF_FLAGS, TF_FLAG_ENCRYPTED);
  for (int i = 0; i < 8; ++i) tf[TF_SESSION_ID + i] = uint8_t(sid >> (8 * i));
  tf.insert(tf.end(), msg.begin(), msg.end());
  if (k.gcm) {
    k_gcm_seal(&k.gcm_seal, &tf[TF_NONCE], &tf[TF_AAD], TF_AAD_SIZE, &tf[TF_HDR_SIZE], msg.size(), &tf[TF_SIGNATURE]);
    return tf;
  }
  k_ccm_aead_seal(&k.seal, &tf[TF_NONCE], TF_CCM_NONCE_SIZE, &tf[TF_AAD], TF_AAD_SIZE, &tf[TF_HDR_SIZE],
                  msg.size(), &tf[TF_SIGNATURE], SIGNATURE_SIZE);
  return tf;
}

// The last reply's security token: its NTLM CHALLENGE.
std::array<uint8_t, 8> reply_challenge(const Bytes& nb_stream) {
  size_t n = 0;
  const uint8_t* p = ntlmc::find_ntlmssp(nb_stream.data(), nb_stream.size(), &n);
  std::array<uint8_t, 8> chal{};
  if (p == nullptr || !ntlmc::parse_challenge(p, n, &chal)) std::abort();
  return chal;
}

// The SMB2 messages of a NetBIOS-framed stream.
std::vector<Bytes> split_frames(const Bytes& nb_stream) {
  std::vector<Bytes> out;
  size_t at = 0;
  while (at + NB_HDR_SIZE <= nb_stream.size()) {
    const size_t n = (size_t(nb_stream[at + 1]) << 16) | (size_t(nb_stream[at + 2]) << 8) | nb_stream[at + 3];
    at += NB_HDR_SIZE;
    if (n > nb_stream.size() - at) std::abort();
    out.emplace_back(nb_stream.begin() + static_cast<std::ptrdiff_t>(at),
                     nb_stream.begin() + static_cast<std::ptrdiff_t>(at + n));
    at += n;
  }
  return out;
}

// alice's AUTHENTICATE for this challenge.
ntlmc::Auth user_auth(const std::array<uint8_t, 8>& challenge) {
  ntlmc::AuthSpec spec;
  spec.server_challenge = challenge;
  spec.timestamp_ft = ntlmc::filetime(kClock);
  return ntlmc::authenticate(spec);
}

// The 3.1.1 keys: from the session key and the pre-authentication hash of
// the NEGOTIATE exchange and the logon's messages up to its last request.
void derive_311(const ntlmc::Auth& auth, const std::vector<const Bytes*>& transcript, user_keys* keys) {
  uint8_t hash[64] = {};
  for (const Bytes* m : transcript) {
    Bytes in(hash, hash + sizeof hash);
    in.insert(in.end(), m->begin(), m->end());
    tw3_sha512(in.data(), in.size(), hash);
  }
  uint8_t c2s[32];
  keys->gcm = true;
  tw3_kdf_ctr_hmacsha256(auth.session_key.data(), 16, "SMBSigningKey", hash, sizeof hash, keys->signing,
                         sizeof keys->signing);
  tw3_kdf_ctr_hmacsha256_l256(auth.session_key.data(), 16, "SMBC2SCipherKey", hash, sizeof hash, c2s, sizeof c2s);
  k_gcm_init(&keys->gmac, keys->signing);
  k_gcm_init256(&keys->gcm_seal, c2s);
}

// The 3.0.2 keys of alice's session.
void derive_302(const ntlmc::Auth& auth, user_keys* keys) {
  static constexpr char kSignCtx[] = "SmbSign";
  static constexpr char kInCtx[] = "ServerIn ";
  uint8_t seal_key[16];
  tw3_kdf_ctr_hmacsha256(auth.session_key.data(), 16, "SMB2AESCMAC", kSignCtx, sizeof kSignCtx,
                         keys->signing, sizeof keys->signing);
  tw3_kdf_ctr_hmacsha256(auth.session_key.data(), 16, "SMB2AESCCM", kInCtx, sizeof kInCtx, seal_key,
                         sizeof seal_key);
  k_ccm_init(&keys->seal, seal_key);
}

// Runs each growing opening once to learn the ids the engine hands out; with
// the clock fixed they are the same on every run. With `keys` the logon is
// alice's (3.1.1 when `v311`) and every later request is signed.
opening_set make_openings(user_keys* keys, bool v311) {
  opening_set o;
  Bytes s;
  const Bytes nego = v311 ? negotiate_req_311() : negotiate_req(keys != nullptr ? SMB2_GLOBAL_CAP_ENCRYPTION : 0);
  const Bytes setup1 = session_setup_req(ntlmc::spnego_init(ntlmc::kNtlmOid, ntlmc::negotiate()), 1, 0);
  add_msg(s, nego);
  o.stream[kNegotiated] = s;
  add_msg(s, setup1);
  o.stream[kChallenged] = s;
  Bytes got;
  run_stream(s.data(), s.size(), &got);
  o.session_id = reply_u64(got, HDR_SESSION_ID);
  Bytes setup2;
  if (keys != nullptr) {
    const ntlmc::Auth auth = user_auth(reply_challenge(got));
    setup2 = session_setup_req(ntlmc::spnego_resp(auth.msg), 2, o.session_id);
    const std::vector<Bytes> replies = split_frames(got);
    if (replies.size() != 2) std::abort();
    if (v311)
      derive_311(auth, {&nego, &replies[0], &setup1, &replies[1], &setup2}, keys);
    else
      derive_302(auth, keys);
  } else {
    ntlmc::AuthSpec anon;
    anon.nt_raw = Bytes{};
    setup2 = session_setup_req(ntlmc::spnego_resp(ntlmc::authenticate(anon).msg), 2, o.session_id);
  }
  add_msg(s, setup2);
  o.stream[kGuest] = s;
  auto signed_msg = [&](Bytes m) {
    if (keys != nullptr) sign_compound(m, *keys);
    return m;
  };
  const struct {
    opening which;
    const char* unc;
  } trees[] = {{kShareTree, "\\\\127.0.0.1\\share"},
               {kIpcTree, "\\\\127.0.0.1\\IPC$"},
               {kFileShareTree, "\\\\127.0.0.1\\one"},
               {kShareOpens, "\\\\127.0.0.1\\share"}};
  for (const auto& t : trees) {
    Bytes ts = s;
    add_msg(ts, signed_msg(tree_connect_req(t.unc, 3, o.session_id)));
    got.clear();
    run_stream(ts.data(), ts.size(), &got);
    o.tree_id[t.which] = static_cast<uint32_t>(reply_u64(got, HDR_TREE_ID - 4) >> 32);
    o.stream[t.which] = ts;
  }
  Bytes& so = o.stream[kShareOpens];
  add_msg(so, signed_msg(create_req("a.txt", 0, 4, o.session_id, o.tree_id[kShareOpens])));
  add_msg(so, signed_msg(create_req("sub", kDirOption, 5, o.session_id, o.tree_id[kShareOpens])));
  return o;
}

void set_option_or_die(const char* key, const char* value) {
  if (tw3_set_option(key, value) != 0) std::abort();
}

// The access log's events are built on every input, as under `serve
// --access-log`; the sink only checks what it is handed.
void event_sink(const tw3_event* ev) {
  TW3_FUZZ_CHECK(ev->client != nullptr && ev->user != nullptr && ev->share != nullptr && ev->path != nullptr);
}

const openings& fixture() {
  static const openings o = [] {
    make_config();
    tw3_event_set_sink(event_sink);
    openings made;
    made.guest = make_openings(nullptr, false);
    set_option_or_die("signing", "required");
    made.user = make_openings(&made.keys, false);
    made.user311 = make_openings(&made.keys311, true);
    return made;
  }();
  return o;
}

void patch_ids(uint8_t* msg, size_t len, uint64_t sid, uint32_t tid) {
  if (len < SMB2_HDR_SIZE) return;
  if (ntlmc::get32(msg + HDR_SESSION_ID) == 0 && ntlmc::get32(msg + HDR_SESSION_ID + 4) == 0)
    for (int i = 0; i < 8; ++i) msg[HDR_SESSION_ID + i] = uint8_t(sid >> (8 * i));
  if (ntlmc::get32(msg + HDR_TREE_ID) == 0)
    for (int i = 0; i < 4; ++i) msg[HDR_TREE_ID + i] = uint8_t(tid >> (8 * i));
}

// How framed records are sent: the session and tree for zero ids, and the
// keys of a named-user session (null for the guest ones).
struct record_sender {
  bool patch;
  uint64_t sid;
  uint32_t tid;
  const user_keys* keys;
  std::vector<host_action>* actions;
  uint64_t nonce_counter = 1;
};

// The fuzz bytes as framed records; a short last record takes what is left.
void append_framed(Bytes& s, const uint8_t* p, size_t n, record_sender& tx) {
  size_t at = 0;
  while (at + kRecordLenSize <= n) {
    const uint16_t word = static_cast<uint16_t>(p[at] | (p[at + 1] << 8));
    const size_t want = tx.keys != nullptr ? (word & kUserRecordLenMask) : word;
    at += kRecordLenSize;
    if (tx.keys != nullptr && (word & kHostChangeRecord) == kHostChangeRecord) {
      tx.actions->push_back({s.size(), static_cast<uint8_t>(want)});
      continue;
    }
    const size_t take = std::min(want, n - at);
    Bytes msg(p + at, p + at + take);
    at += take;
    if (tx.patch) patch_ids(msg.data(), msg.size(), tx.sid, tx.tid);
    if (tx.keys != nullptr && (word & kSealRecord) != 0)
      msg = seal_msg(msg, *tx.keys, tx.sid, tx.nonce_counter++);
    else if (tx.keys != nullptr && (word & kPlainRecord) == 0)
      sign_compound(msg, *tx.keys);
    add_msg(s, msg);
  }
}

// Tight or the defaults. The openings stay valid under both: they hold at
// most two handles.
void set_limits(uint8_t sel) {
  const bool tight = (sel & kTightLimits) != 0;
  set_option_or_die("signing", (sel & kSigningRequired) ? "required" : "enabled");
  set_option_or_die("max_handles", tight ? "2" : "1024");
  set_option_or_die("max_credits", tight ? "1" : "256");
  set_option_or_die("max_message", tight ? "65536" : "4194304");
  set_option_or_die("max_watches_per_conn", tight ? "1" : "512");
  set_option_or_die("encrypt", tight && (sel & kSigningRequired) ? "required" : "auto");
}

}  // namespace

TW3_FUZZ_ENTRY(engine) {
  const openings& o = fixture();
  if (size == 0) return 0;
  const uint8_t sel = data[0];
  const auto which = static_cast<opening>((sel & kOpeningMask) % kOpeningCount);
  set_limits(sel);
  const bool user = (sel & kSigningRequired) != 0 && which >= kGuest;
  const bool v311 = user && (sel & kPatchIds) == 0;
  const opening_set& set = !user ? o.guest : v311 ? o.user311 : o.user;
  const user_keys* keys = !user ? nullptr : v311 ? &o.keys311 : &o.keys;
  Bytes s = set.stream[which];
  std::vector<host_action> actions;
  if (sel & kFramed) {
    record_sender tx{user || (sel & kPatchIds) != 0, set.session_id, set.tree_id[which], keys, &actions};
    append_framed(s, data + 1, size - 1, tx);
  } else {
    s.insert(s.end(), data + 1, data + size);
  }
  const tw3_fuzz_trace trace((sel & kTrace) != 0);
  const bool secrets = (sel & kTrace) != 0 && user && std::getenv("TWSMB3S_TRACE_SECRETS") == nullptr;
  if (secrets) ::setenv("TWSMB3S_TRACE_SECRETS", "1", 1);
  run_stream(s.data(), s.size(), nullptr, &actions);
  if (secrets) ::unsetenv("TWSMB3S_TRACE_SECRETS");
  host_change_undo();
  return 0;
}
