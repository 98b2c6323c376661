// A test-side SMB client for logon tests: one connection record driven like
// the connection loop drives it (frame_in, then send_frame), NEGOTIATE and
// SESSION_SETUP builders, a full two-leg logon, and independent computations
// of the pre-authentication hash, the session keys and the signatures.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "common/ntlm_client_msgs.h"
#include "common/smb_frames.h"
#include "config/config.h"
#include "smb/smb.h"

namespace ntlmc {

inline uint16_t get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint64_t get64(const uint8_t* p) {
  return get32(p) | (static_cast<uint64_t>(get32(p + 4)) << 32);
}

class Conn {
 public:
  explicit Conn(const char* peer = "127.0.0.1", int32_t conn_id = 0) {
    io_ = sio_.io();
    c.io = &io_;
    c.io_ctx = io_.ctx;
    std::snprintf(c.peer_text, sizeof c.peer_text, "%s", peer);
    c.conn_id = conn_id;
    c.trace = tw3_env_flag(TW3_ENV_TRACE);
    tw3_opts_get(&c.opts);
    tw3_conn_join_client(&c);
  }
  ~Conn() { tw3_conn_leave(&c); }
  Conn(const Conn&) = delete;
  Conn& operator=(const Conn&) = delete;

  // Handles one message as the connection loop does (transform layer
  // included); the message sent back
  // (empty when nothing was sent).
  Bytes send(const Bytes& msg) {
    const size_t before = sio_.written.size();
    // Logon tests pick their MessageIds freely: each message meets a window
    // granting ids 0..127 (the credit window has its own tests).
    c.seq_low = 0;
    c.seq_top = kTestIdsGranted - 1;
    for (uint64_t& w : c.seq_used) w = 0;
    tw3_reply r{};
    auto copy = tw3test::exact_copy(msg);
    int have = 0;
    tw3_msg m{copy.get(), msg.size(), 0, 0};
    tw3_client_state* held = c.cl;
    held->lock.lock();
    if (tf_receive(&c, &m) != 0) {  // a dropped transform ends the connection
      c.closing = 1;
      tw3_conn_settle_client(&c, held);
      return {};
    }
    if (tf_refuse_plain(&c, m, &r))
      have = 1;
    else
      frame_in(&c, m, &r, &have);
    if (tw3_reply_sendable(&r, have) && tf_wrap_reply(&c, m, &r) == 0)
      send_reply(&c, &r);
    tw3_buf_free(&r.b);
    tw3_sessions_reap(&c);
    tw3_opts_get(&c.opts);
    tw3_conn_settle_client(&c, held);
    if (sio_.written.size() < before + 4) return {};
    return Bytes(sio_.written.begin() + static_cast<long>(before) + 4, sio_.written.end());
  }

  // The scripted transport under the connection.
  const tw3test::script_io& transport() const { return sio_; }
  // From now on the transport offers the gather write as well.
  void offer_gather() {
    sio_.gather = true;
    io_ = sio_.io();
  }

  // The newest session record (the one a single logon made), or null.
  tw3_session* session() const { return c.cl->sessions; }

  tw3_conn c{};

 private:
  tw3test::script_io sio_;
  tw3_io io_{};
};

inline uint32_t status_of(const Bytes& m) { return m.size() >= 12 ? get32(&m[8]) : 0xFFFFFFFFu; }
inline uint32_t flags_of(const Bytes& m) { return m.size() >= 20 ? get32(&m[16]) : 0; }

struct Negotiate {
  std::vector<uint16_t> dialects = {0x0300, 0x0302, 0x0311};
  uint16_t security_mode = 1;
  uint32_t capabilities = 0;
  bool contexts = true;
  std::vector<uint16_t> hashes = {1};
  Bytes salt = Bytes(32, 0xA5);
  std::vector<uint16_t> ciphers = {1, 2};
  bool encryption_context = true;
  std::vector<uint16_t> signing = {1, 2};
};

inline void ctx(Bytes& b, uint16_t type, const Bytes& data) {
  while (b.size() % 8) b.push_back(0);
  put16(b, type);
  put16(b, static_cast<uint32_t>(data.size()));
  put32(b, 0);
  b.insert(b.end(), data.begin(), data.end());
}
inline Bytes list(const std::vector<uint16_t>& v) {
  Bytes d;
  put16(d, static_cast<uint32_t>(v.size()));
  for (uint16_t x : v) put16(d, x);
  return d;
}

// The message (header first) of an SMB2 NEGOTIATE request, MS-SMB2 2.2.3.
inline Bytes negotiate_request(const Negotiate& n, uint64_t mid = 0) {
  Bytes msg = tw3test::smb2_request({.command = SMB2_NEGOTIATE, .body = {}, .message_id = mid});
  put16(msg, 36);
  put16(msg, static_cast<uint32_t>(n.dialects.size()));
  put16(msg, n.security_mode);
  put16(msg, 0);
  put32(msg, n.capabilities);
  for (int i = 0; i < 16; i++) msg.push_back(static_cast<uint8_t>(0x10 + i));  // ClientGuid
  const size_t ctx_off_at = msg.size();
  put32(msg, 0);
  put16(msg, 0);
  put16(msg, 0);
  for (uint16_t d : n.dialects) put16(msg, d);
  if (!n.contexts) return msg;
  while (msg.size() % 8) msg.push_back(0);
  set32(msg, ctx_off_at, static_cast<uint32_t>(msg.size()));
  set16(msg, ctx_off_at + 4, n.encryption_context ? 3 : 2);
  Bytes pre;
  put16(pre, static_cast<uint32_t>(n.hashes.size()));
  put16(pre, static_cast<uint32_t>(n.salt.size()));
  for (uint16_t h : n.hashes) put16(pre, h);
  pre.insert(pre.end(), n.salt.begin(), n.salt.end());
  ctx(msg, 1, pre);
  if (n.encryption_context) ctx(msg, 2, list(n.ciphers));
  ctx(msg, 8, list(n.signing));
  return msg;
}

// SESSION_SETUP request (MS-SMB2 2.2.5) with the buffer right after the body.
inline Bytes session_setup_request(const Bytes& token, uint64_t mid, uint64_t sid,
                                   uint16_t security_mode = 1, uint16_t structure_size = 25) {
  Bytes msg = tw3test::smb2_request(
      {.command = SMB2_SESSION_SETUP, .body = {}, .message_id = mid, .session_id = sid});
  put16(msg, structure_size);
  msg.push_back(0);
  msg.push_back(static_cast<uint8_t>(security_mode));
  put32(msg, 0);
  put32(msg, 0);
  put16(msg, 88);
  put16(msg, static_cast<uint32_t>(token.size()));
  put64(msg, 0);
  msg.insert(msg.end(), token.begin(), token.end());
  return msg;
}

// The security buffer of a SESSION_SETUP response.
inline Bytes ss_buffer(const Bytes& resp) {
  if (resp.size() < 72) return {};
  const uint16_t off = get16(&resp[68]), len = get16(&resp[70]);
  if (off + static_cast<size_t>(len) > resp.size()) return {};
  return Bytes(resp.begin() + off, resp.begin() + off + len);
}

struct Logon {
  Bytes nego_req, nego_resp, ss1_req, ss1_resp, ss2_req, ss2_resp;
  uint64_t session_id = 0;
  std::array<uint8_t, 8> challenge{};
  Auth auth;
};

// NEGOTIATE, then both SESSION_SETUP legs with an AUTHENTICATE built from spec
// (its challenge and timestamp filled in from the server's CHALLENGE);
// `between` runs between the two legs.
inline Logon logon(Conn& conn, const Negotiate& n, AuthSpec spec, bool spnego = true,
                   const std::function<void()>& between = nullptr) {
  Logon l;
  l.nego_req = negotiate_request(n, 0);
  l.nego_resp = conn.send(l.nego_req);
  const Bytes first = spnego ? spnego_init(kNtlmOid, negotiate()) : negotiate();
  l.ss1_req = session_setup_request(first, 1, 0, n.security_mode);
  l.ss1_resp = conn.send(l.ss1_req);
  if (l.ss1_resp.size() >= 48) l.session_id = get64(&l.ss1_resp[40]);
  const Bytes buf = ss_buffer(l.ss1_resp);
  size_t tlen = 0;
  const uint8_t* t = find_ntlmssp(buf.data(), buf.size(), &tlen);
  if (t == nullptr || !parse_challenge(t, tlen, &l.challenge)) {
    ADD_FAILURE() << "no CHALLENGE in the first leg's answer";
    return l;
  }
  spec.server_challenge = l.challenge;
  if (spec.timestamp_ft == 0 && conn.c.opts.clock != 0) spec.timestamp_ft = filetime(conn.c.opts.clock);
  l.auth = authenticate(spec);
  if (spec.mic) {
    const Bytes challenge(t, t + tlen);  // the CHALLENGE ends the server's token
    set_mic(l.auth.msg, l.auth.session_key, negotiate(), challenge);
    if (spec.mic_corrupt) l.auth.msg[kMicOffset] ^= 1;
  }
  if (between) between();
  const Bytes second = spnego ? spnego_resp(l.auth.msg) : l.auth.msg;
  l.ss2_req = session_setup_request(second, 2, l.session_id, n.security_mode);
  l.ss2_resp = conn.send(l.ss2_req);
  return l;
}

// An ECHO, and a TREE_CONNECT to IPC$, in a session.
inline Bytes echo(uint64_t mid, uint64_t sid) {
  return tw3test::smb2_request({.command = SMB2_ECHO, .body = {4, 0, 0, 0}, .message_id = mid,
                                .session_id = sid});
}

inline Bytes tree_connect(uint64_t mid, uint64_t sid) {
  Bytes path = utf16("\\\\127.0.0.1\\IPC$");
  Bytes body = {9, 0, 0, 0};
  put16(body, 72);
  put16(body, static_cast<uint32_t>(path.size()));
  body.insert(body.end(), path.begin(), path.end());
  return tw3test::smb2_request({.command = SMB2_TREE_CONNECT, .body = body, .message_id = mid,
                                .session_id = sid});
}

// ---- Independent key and signature computations (MS-SMB2 3.1.4.2, 3.2.5.3.1) ----
inline std::array<uint8_t, 64> preauth_chain(const std::vector<const Bytes*>& msgs) {
  std::array<uint8_t, 64> h{};
  for (const Bytes* m : msgs) {
    Bytes in(h.begin(), h.end());
    in.insert(in.end(), m->begin(), m->end());
    tw3_sha512(in.data(), in.size(), h.data());
  }
  return h;
}

// HMAC-SHA-256(K, 00 00 00 01 | label 00 | 00 | context | 00 00 00 80), 16 bytes.
inline Key16 smb_kdf(const Key16& k, const std::string& label, const Bytes& context) {
  Bytes in = {0, 0, 0, 1};
  in.insert(in.end(), label.begin(), label.end());
  in.push_back(0);
  in.push_back(0);
  in.insert(in.end(), context.begin(), context.end());
  in.insert(in.end(), {0, 0, 0, 0x80});
  uint8_t mac[32];
  tw3_hmac256(k.data(), 16, in.data(), in.size(), mac);
  Key16 out;
  std::memcpy(out.data(), mac, 16);
  return out;
}

inline Key16 signing_key_30(const Key16& k) {
  return smb_kdf(k, "SMB2AESCMAC", Bytes({'S', 'm', 'b', 'S', 'i', 'g', 'n', 0}));
}
inline Key16 signing_key_311(const Key16& k, const std::array<uint8_t, 64>& preauth) {
  return smb_kdf(k, "SMBSigningKey", Bytes(preauth.begin(), preauth.end()));
}

// The signature of one message region (header first) with its field zeroed.
inline Key16 signature(const Key16& key, bool gmac, const uint8_t* m, size_t len, bool response) {
  Bytes copy(m, m + len);
  std::memset(copy.data() + 48, 0, 16);
  Key16 sig{};
  if (gmac) {
    uint8_t nonce[12] = {};
    std::memcpy(nonce, copy.data() + 24, 8);
    if (response) nonce[8] = 1;
    tw3_gcm_ctx g;
    k_gcm_init(&g, key.data());
    k_gcm_tag_only(&g, nonce, copy.data(), copy.size(), sig.data());
  } else {
    k_cmac(key.data(), copy.data(), copy.size(), sig.data());
  }
  return sig;
}

// Signs a request region in place (flag and signature).
inline void sign_request(Bytes& msg, size_t off, size_t len, const Key16& key, bool gmac) {
  set32(msg, off + 16, get32(&msg[off + 16]) | SMB2_FLAGS_SIGNED);
  const Key16 sig = signature(key, gmac, msg.data() + off, len, false);
  std::memcpy(msg.data() + off + 48, sig.data(), 16);
}

inline bool response_signature_ok(const Bytes& m, size_t off, size_t len, const Key16& key,
                                  bool gmac) {
  if (off + len > m.size() || len < 64) return false;
  const Key16 sig = signature(key, gmac, m.data() + off, len, true);
  return (get32(&m[off + 16]) & SMB2_FLAGS_SIGNED) && std::memcmp(sig.data(), &m[off + 48], 16) == 0;
}

}  // namespace ntlmc
