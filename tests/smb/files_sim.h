// Drives the dispatcher directly on a connection whose session is already
// established, for the tests of trees, opens, reads, listings, info queries
// and IOCTLs. Requests are built field by field; replies are read back by
// offset with bounds checks, so a short reply fails the test, never the run.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/smb_frames.h"
#include "config/config.h"
#include "smb/files.h"
#include "smb/session_sim.h"
#include "smb/smb.h"

namespace files_sim {

using bytes = std::vector<uint8_t>;

constexpr uint64_t kSessionId = 0x0000400000000001ULL;
constexpr uint32_t kReadAccess = 0x00120089;  // FILE_READ_DATA | READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE
constexpr uint64_t kAllOnes = 0xFFFFFFFFFFFFFFFFULL;

inline void put16(bytes& b, uint16_t v) {
  b.push_back(uint8_t(v));
  b.push_back(uint8_t(v >> 8));
}
inline void put32(bytes& b, uint32_t v) {
  put16(b, uint16_t(v));
  put16(b, uint16_t(v >> 16));
}
inline void put64(bytes& b, uint64_t v) {
  put32(b, uint32_t(v));
  put32(b, uint32_t(v >> 32));
}
inline bytes utf16(const std::string& s) {
  bytes out(s.size() * 4 + 4);
  int32_t n = 0;
  EXPECT_EQ(tw3_utf8_to_utf16le(s.c_str(), out.data(), int32_t(out.size()), &n), 0) << s;
  out.resize(size_t(n));
  return out;
}

// One request: header plus body. `var` is appended after the fixed body and
// is where offsets in the body point (header start + 64 + fixed size).
struct request {
  uint8_t cmd = 0;
  uint32_t tree_id = 0;
  uint32_t flags = 0;
  uint64_t session_id = kSessionId;
  bytes body;

  // The CreditCharge a careful client sends: what the payload either way
  // costs for the commands that pay for it (READ, QUERY_DIRECTORY, IOCTL).
  uint16_t charge() const {
    auto at = [&](size_t off) -> uint64_t {
      return off + 4 <= body.size() ? uint64_t(body[off]) | uint64_t(body[off + 1]) << 8 |
                                          uint64_t(body[off + 2]) << 16 | uint64_t(body[off + 3]) << 24
                                    : 0;
    };
    uint64_t payload = 0;
    if (cmd == SMB2_READ) payload = at(4);
    if (cmd == SMB2_QUERY_DIRECTORY) payload = at(28);
    if (cmd == SMB2_IOCTL) payload = std::max(at(44), body.size() > 56 ? body.size() - 56 : 0);
    return uint16_t(payload <= 65536 ? 1 : (payload - 1) / 65536 + 1);
  }

  // Asks for as many credits as it spends, so a run of requests never
  // starves the window.
  bytes encode(uint64_t message_id) const {
    bytes h;
    put32(h, 0x424D53FE);
    put16(h, 64);
    put16(h, charge());
    put32(h, 0);
    put16(h, cmd);
    put16(h, charge());  // CreditRequest
    put32(h, flags);
    put32(h, 0);  // NextCommand
    put64(h, message_id);
    put32(h, 0);
    put32(h, tree_id);
    put64(h, session_id);
    h.resize(64, 0);
    h.insert(h.end(), body.begin(), body.end());
    return h;
  }
};

// One response inside a reply.
struct response {
  bytes raw;  // header and body of this response only
  uint32_t status() const { return u32(8); }
  uint32_t tree_id() const { return u32(36); }
  uint32_t hdr_flags() const { return u32(16); }
  size_t body_size() const { return raw.size() < 64 ? 0 : raw.size() - 64; }
  // Body fields; out-of-range reads fail the test and return 0.
  uint64_t at(size_t off, int width) const {
    if (off + size_t(width) > raw.size()) {
      ADD_FAILURE() << "read of " << width << " bytes at " << off << " beyond " << raw.size();
      return 0;
    }
    uint64_t v = 0;
    for (int i = 0; i < width; ++i) v |= uint64_t(raw[off + size_t(i)]) << (8 * i);
    return v;
  }
  uint32_t u32(size_t off) const { return uint32_t(at(off, 4)); }
  uint16_t b16(size_t off) const { return uint16_t(at(64 + off, 2)); }
  uint32_t b32(size_t off) const { return uint32_t(at(64 + off, 4)); }
  uint64_t b64(size_t off) const { return at(64 + off, 8); }
  bytes body_bytes(size_t off, size_t n) const {
    if (64 + off + n > raw.size()) {
      ADD_FAILURE() << "body range " << off << "+" << n << " beyond " << raw.size();
      return {};
    }
    return bytes(raw.begin() + long(64 + off), raw.begin() + long(64 + off + n));
  }
};

// ---- Request bodies ----
inline bytes tree_connect_body(const std::string& path) {
  bytes b, p = utf16(path);
  put16(b, 9);
  put16(b, 0);
  put16(b, 64 + 8);
  put16(b, uint16_t(p.size()));
  b.insert(b.end(), p.begin(), p.end());
  return b;
}

// Contexts, when given, follow the name at the next 8-byte boundary.
inline bytes create_body(const std::string& name, uint32_t access = kReadAccess,
                         uint32_t disposition = 1, uint32_t options = 0,
                         const bytes& contexts = {}) {
  bytes b, n = utf16(name);
  put16(b, 57);
  b.push_back(0);
  b.push_back(0);
  put32(b, 2);  // ImpersonationLevel
  put64(b, 0);
  put64(b, 0);
  put32(b, access);
  put32(b, 0);
  put32(b, 7);  // ShareAccess
  put32(b, disposition);
  put32(b, options);
  put16(b, 64 + 56);
  put16(b, uint16_t(n.size()));
  size_t ctx_at = contexts.empty() ? 0 : ((56 + n.size() + 7) & ~size_t(7));
  put32(b, contexts.empty() ? 0 : uint32_t(64 + ctx_at));
  put32(b, uint32_t(contexts.size()));
  b.insert(b.end(), n.begin(), n.end());
  if (!contexts.empty()) {
    b.resize(ctx_at, 0);
    b.insert(b.end(), contexts.begin(), contexts.end());
  }
  if (b.size() < 57) b.resize(57, 0);
  return b;
}

// One create context with a 4-byte name and no data.
inline bytes create_context(const char name[4], uint32_t next = 0) {
  bytes c;
  put32(c, next);
  put16(c, 16);  // NameOffset
  put16(c, 4);
  put16(c, 0);
  put16(c, 0);  // DataOffset
  put32(c, 0);  // DataLength
  c.insert(c.end(), name, name + 4);
  put32(c, 0);
  return c;
}

inline bytes close_body(uint64_t fid) {
  bytes b;
  put16(b, 24);
  put16(b, 0);
  put32(b, 0);
  put64(b, fid);
  put64(b, 0);
  return b;
}

inline bytes read_body(uint64_t fid, uint64_t offset, uint32_t length) {
  bytes b;
  put16(b, 49);
  b.push_back(0);
  b.push_back(0);
  put32(b, length);
  put64(b, offset);
  put64(b, fid);
  put64(b, 0);
  put32(b, 0);  // MinimumCount
  put32(b, 0);  // Channel
  put32(b, 0);
  put16(b, 0);
  put16(b, 0);
  b.push_back(0);
  return b;
}

inline bytes qd_body(uint64_t fid, uint8_t cls, uint8_t flags, const std::string& pattern,
                     uint32_t out_cap = 65536, uint32_t file_index = 0) {
  bytes b, p = utf16(pattern);
  put16(b, 33);
  b.push_back(cls);
  b.push_back(flags);
  put32(b, file_index);
  put64(b, fid);
  put64(b, 0);
  put16(b, p.empty() ? 0 : 64 + 32);
  put16(b, uint16_t(p.size()));
  put32(b, out_cap);
  b.insert(b.end(), p.begin(), p.end());
  if (p.empty()) b.push_back(0);
  return b;
}

constexpr uint32_t kAnyAnswer = 65536;
inline bytes qi_body(uint64_t fid, uint8_t type, uint8_t cls, uint32_t out_len) {
  bytes b;
  put16(b, 41);
  b.push_back(type);
  b.push_back(cls);
  put32(b, out_len);
  put16(b, 0);
  put16(b, 0);
  put32(b, 0);
  put32(b, 0);
  put32(b, 0);
  put64(b, fid);
  put64(b, 0);
  b.push_back(0);
  return b;
}

inline bytes ioctl_body(uint64_t fid, uint32_t ctl, const bytes& input, uint64_t fid_volatile = 0,
                        uint32_t max_out = 65536) {
  bytes b;
  put16(b, 57);
  put16(b, 0);
  put32(b, ctl);
  put64(b, fid);
  put64(b, fid_volatile);
  put32(b, 64 + 56);
  put32(b, uint32_t(input.size()));
  put32(b, 0);
  put32(b, 0);
  put32(b, 0);
  put32(b, max_out);  // MaxOutputResponse
  put32(b, 1);  // SMB2_0_IOCTL_IS_FSCTL
  put32(b, 0);
  b.insert(b.end(), input.begin(), input.end());
  return b;
}

// ---- DCE/RPC PDUs for the srvsvc pipe ----
inline bytes rpc_header(uint8_t ptype, uint32_t call_id, size_t total) {
  bytes b = {5, 0, ptype, 3, 0x10, 0, 0, 0};
  put16(b, uint16_t(total));
  put16(b, 0);
  put32(b, call_id);
  return b;
}

inline bytes bind_pdu(uint32_t call_id, int contexts, uint16_t max_recv_frag = 4280) {
  bytes b = rpc_header(11, call_id, 28 + 44 * size_t(contexts));
  put16(b, 4280);
  put16(b, max_recv_frag);
  put32(b, 0);
  b.push_back(uint8_t(contexts));
  b.insert(b.end(), 3, 0);
  for (int i = 0; i < contexts; ++i) b.insert(b.end(), 44, uint8_t(i));
  return b;
}

// One request fragment carrying `stub`: a whole request unless flags say
// otherwise (PFC_FIRST_FRAG 1, PFC_LAST_FRAG 2).
inline bytes rpc_request(uint32_t call_id, uint16_t opnum, const bytes& stub, uint8_t flags = 3) {
  bytes b = rpc_header(0, call_id, 24 + stub.size());
  b[3] = flags;
  put32(b, uint32_t(stub.size()));  // alloc_hint
  put16(b, 0);                      // p_cont_id
  put16(b, opnum);
  b.insert(b.end(), stub.begin(), stub.end());
  return b;
}

// An NDR conformant varying string: UTF-16 with its terminating zero, padded to 4.
inline void put_ndr_string(bytes& b, const std::string& s) {
  bytes u = utf16(s);
  u.insert(u.end(), {0, 0});
  const uint32_t units = uint32_t(u.size() / 2);
  for (uint32_t v : {units, 0u, units}) put32(b, v);  // max, offset, actual count
  b.insert(b.end(), u.begin(), u.end());
  while (b.size() % 4 != 0) b.push_back(0);
}

// The ServerName argument every srvsvc operation begins with: "\\h".
inline void put_server_name(bytes& b) {
  put32(b, 0x00020000);  // unique pointer
  put_ndr_string(b, "\\h");
}

// NetrShareEnum's arguments as clients send them: ServerName, the level and
// an empty container of it.
inline bytes share_enum_stub(uint32_t level) {
  bytes b;
  put_server_name(b);
  put32(b, level);
  put32(b, level);       // union discriminant
  put32(b, 0x00020004);  // container
  put32(b, 0);           // EntriesRead
  put32(b, 0);           // Buffer: null
  put32(b, 0xFFFFFFFF);  // PreferedMaximumLength
  put32(b, 0);           // ResumeHandle: null
  return b;
}

// NetrShareGetInfo's (MS-SRVS 3.1.4.10): ServerName, NetName, Level.
inline bytes share_get_info_stub(const std::string& name, uint32_t level) {
  bytes b;
  put_server_name(b);
  put_ndr_string(b, name);
  put32(b, level);
  return b;
}

// NetrServerGetInfo's (MS-SRVS 3.1.4.17): ServerName, Level.
inline bytes server_get_info_stub(uint32_t level) {
  bytes b;
  put_server_name(b);
  put32(b, level);
  return b;
}

// A NetrShareEnum request (or another opnum with the same stub).
inline bytes request_pdu(uint32_t call_id, uint16_t opnum, uint32_t level = 1) {
  return rpc_request(call_id, opnum, share_enum_stub(level));
}

// Reads little-endian words and strings from an NDR stub, failing the test
// past its end.
struct ndr {
  const bytes& b;
  size_t pos = 0;
  uint32_t u32() {
    if (pos + 4 > b.size()) {
      ADD_FAILURE() << "stub ends at " << b.size();
      pos = b.size();
      return 0;
    }
    uint32_t v = uint32_t(b[pos]) | uint32_t(b[pos + 1]) << 8 | uint32_t(b[pos + 2]) << 16 |
                 uint32_t(b[pos + 3]) << 24;
    pos += 4;
    return v;
  }
  // A conformant varying string with its terminating zero, as UTF-8.
  std::string str() {
    uint32_t max = u32();
    EXPECT_EQ(u32(), 0u);
    uint32_t actual = u32();
    EXPECT_EQ(max, actual);
    if (actual == 0 || pos + 2 * size_t(actual) > b.size()) {
      ADD_FAILURE() << "string of " << actual << " units at " << pos << " beyond " << b.size();
      pos = b.size();
      return {};
    }
    const size_t units = 2 * size_t(actual - 1);
    EXPECT_EQ(b[pos + units] | b[pos + units + 1], 0) << "terminating zero";
    std::string s(4 * actual + 1, '\0');
    int n = tw3_utf16_to_utf8(b.data() + pos, units, s.data(), int32_t(s.size()));
    EXPECT_GE(n, 0);
    s.resize(size_t(std::max(n, 0)));
    pos = (pos + 2 * size_t(actual) + 3) & ~size_t(3);
    return s;
  }
};

// WRITE: the data follows the 48-byte fixed part (DataOffset 112) unless
// data_off says otherwise.
inline bytes write_body(uint64_t fid, const bytes& data, uint16_t data_off = 64 + 48) {
  bytes b;
  put16(b, 49);
  put16(b, data_off);
  put32(b, uint32_t(data.size()));
  put64(b, 0);  // Offset
  put64(b, fid);
  put64(b, 0);
  put32(b, 0);  // Channel
  put32(b, 0);  // RemainingBytes
  put16(b, 0);
  put16(b, 0);
  put32(b, 0);  // Flags
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

// A connection with an established session, driven through frame_in.
class conn {
 public:
  conn() : c_(std::make_unique<tw3_conn>()) {
    // Notifications the server sends on its own land in sio.
    io_ = sio.io();
    c_->io = &io_;
    c_->io_ctx = io_.ctx;
    tw3_opts_get(&c_->opts);
    tw3_conn_join_client(c_.get());
    c_->negotiated = 1;
    c_->dialect = SMB2_DIALECT_311;
    c_->max_read = 65536;
    c_->max_write = 65536;
    sim_session(c_.get(), kSessionId);
    // As if NEGOTIATE had used id 0 and the answers had granted ids up to 127.
    c_->seq_low = 1;
    c_->seq_top = kTestIdsGranted - 1;
  }
  ~conn() { tw3_conn_leave(c_.get()); }
  conn(const conn&) = delete;
  conn& operator=(const conn&) = delete;

  // The session the constructor set up.
  tw3_session* session() const { return tw3_session_find(c_.get(), kSessionId); }
  tw3_conn* get() { return c_.get(); }
  tw3test::script_io sio;
  // Sends one message of one or more requests; returns every response.
  std::vector<response> exchange(const std::vector<request>& reqs) {
    bytes msg;
    for (size_t i = 0; i < reqs.size(); ++i) {
      if (i > 0) {
        size_t prev = last_;
        while (msg.size() % 8 != 0) msg.push_back(0);
        put_le32(msg.data() + prev + HDR_NEXT_COMMAND, uint32_t(msg.size() - prev));
      }
      last_ = msg.size();
      bytes one = reqs[i].encode(next_mid_);
      next_mid_ += reqs[i].charge();
      msg.insert(msg.end(), one.begin(), one.end());
    }
    std::vector<response> rs = split(send_raw(msg));
    note_trees(reqs, rs);
    return rs;
  }
  // Sends raw message bytes; returns the whole reply.
  bytes send_raw(bytes msg) {
    tw3_reply r{};
    int have = 0;
    frame_in(c_.get(), tw3_msg{msg.data(), msg.size(), 0, 0}, &r, &have);
    bytes out;
    if (have && r.b.len > 0) out.assign(r.b.data, r.b.data + r.b.len);
    tw3_buf_free(&r.b);
    return out;
  }
  static std::vector<response> split(const bytes& reply) {
    std::vector<response> out;
    size_t off = 0;
    for (int guard = 0; guard < 64 && off + 64 <= reply.size(); ++guard) {
      uint32_t next = uint32_t(reply[off + 20]) | uint32_t(reply[off + 21]) << 8 |
                      uint32_t(reply[off + 22]) << 16 | uint32_t(reply[off + 23]) << 24;
      size_t end = next == 0 ? reply.size() : std::min(reply.size(), off + next);
      out.push_back({bytes(reply.begin() + long(off), reply.begin() + long(end))});
      if (next == 0) break;
      off += next;
    }
    return out;
  }
  response one(const request& q) {
    auto rs = exchange({q});
    if (rs.empty()) {
      ADD_FAILURE() << "no response";
      return {};
    }
    return rs[0];
  }

  // The tree a client sends with a request on this FileId: the one the open
  // was made on, else (a FileId no CREATE answered) the tree connected last.
  uint32_t tree_of(uint64_t fid) const {
    for (const auto& [f, t] : fid_trees_)
      if (f == fid) return t;
    return last_tree_;
  }

  // A request as a client sends it: on the tree of the FileId in its body
  // (CLOSE, QUERY_DIRECTORY, IOCTL: at 8; READ, WRITE: 16; QUERY_INFO: 24).
  request on(uint8_t cmd, const bytes& body) const {
    const size_t at = cmd == SMB2_READ || cmd == SMB2_WRITE ? 16 : cmd == SMB2_QUERY_INFO ? 24 : 8;
    const uint64_t fid = at + 8 <= body.size() ? le64(body.data() + at) : 0;
    return {cmd, tree_of(fid), 0, kSessionId, body};
  }

  // Convenience wrappers; they expect success unless said otherwise.
  uint32_t connect(const std::string& share) {
    response r = one({SMB2_TREE_CONNECT, 0, 0, kSessionId, tree_connect_body("\\\\host\\" + share)});
    EXPECT_EQ(r.status(), STATUS_SUCCESS) << share;
    if (r.status() == STATUS_SUCCESS) last_tree_ = r.tree_id();
    return r.tree_id();
  }
  uint64_t open(uint32_t tree, const std::string& name, uint32_t options = 0) {
    response r = create(tree, create_body(name, kReadAccess, 1, options));
    EXPECT_EQ(r.status(), STATUS_SUCCESS) << name;
    return r.status() == STATUS_SUCCESS ? r.b64(64) : 0;
  }
  response create(uint32_t tree, const bytes& body) { return one({SMB2_CREATE, tree, 0, kSessionId, body}); }
  response close(uint64_t fid) { return one({SMB2_CLOSE, tree_of(fid), 0, kSessionId, close_body(fid)}); }
  response read(uint64_t fid, uint64_t offset, uint32_t length) {
    return one({SMB2_READ, tree_of(fid), 0, kSessionId, read_body(fid, offset, length)});
  }
  response qd(uint64_t fid, uint8_t cls, uint8_t flags, const std::string& pattern,
              uint32_t out_cap = 65536, uint32_t file_index = 0) {
    return one({SMB2_QUERY_DIRECTORY, tree_of(fid), 0, kSessionId, qd_body(fid, cls, flags, pattern, out_cap, file_index)});
  }
  // out_len 0: room for any answer, as clients ask (a buffer of 0 bytes is
  // refused like any other too small for its class).
  response qi(uint64_t fid, uint8_t type, uint8_t cls, uint32_t out_len) {
    if (out_len == 0) out_len = kAnyAnswer;
    return one({SMB2_QUERY_INFO, tree_of(fid), 0, kSessionId, qi_body(fid, type, cls, out_len)});
  }
  response write(uint64_t fid, const bytes& data) {
    return one({SMB2_WRITE, tree_of(fid), 0, kSessionId, write_body(fid, data)});
  }
  response ioctl(uint64_t fid, uint32_t ctl, const bytes& input, uint64_t fid_volatile = 0,
                 uint32_t max_out = 65536) {
    return one({SMB2_IOCTL, tree_of(fid), 0, kSessionId, ioctl_body(fid, ctl, input, fid_volatile, max_out)});
  }

 private:
  // Remembers the tree of every FileId a CREATE of reqs was answered with.
  void note_trees(const std::vector<request>& reqs, const std::vector<response>& rs) {
    for (size_t i = 0; i < reqs.size() && i < rs.size(); ++i) {
      if (reqs[i].cmd != SMB2_CREATE || rs[i].status() != STATUS_SUCCESS || rs[i].body_size() < 72) continue;
      fid_trees_.emplace_back(rs[i].b64(64), rs[i].tree_id());
    }
  }

  std::unique_ptr<tw3_conn> c_;
  std::vector<std::pair<uint64_t, uint32_t>> fid_trees_;
  uint32_t last_tree_ = 0;
  tw3_io io_{};
  uint64_t next_mid_ = 1;
  size_t last_ = 0;
};

// One decoded directory entry.
struct dir_entry {
  uint32_t file_index;
  std::string name;
  uint32_t attributes;
  uint64_t size;
  std::string short_name;  // empty when none
  uint64_t file_id;        // FileId of the classes with one, else 0
};
// Decodes the entries of a successful QUERY_DIRECTORY response of class `cls`,
// checking NextEntryOffset alignment and bounds on the way.
inline std::vector<dir_entry> decode_entries(const response& r, uint8_t cls) {
  std::vector<dir_entry> out;
  if (r.body_size() < 8) return out;
  const size_t total = r.b32(4);
  EXPECT_EQ(r.b16(2), 72);
  const bytes area = r.body_bytes(8, total);
  const size_t fixed = dirinfo_fixed_size(cls);
  size_t off = 0;
  for (int guard = 0; guard < 200000 && off + fixed <= area.size(); ++guard) {
    auto rd = [&](size_t at, int w) {
      uint64_t v = 0;
      for (int i = 0; i < w; ++i) v |= uint64_t(area[off + at + size_t(i)]) << (8 * i);
      return v;
    };
    dir_entry e{};
    uint32_t next = uint32_t(rd(0, 4));
    e.file_index = uint32_t(rd(4, 4));
    size_t name_len = cls == FILE_NAMES_INFORMATION ? rd(8, 4) : rd(60, 4);
    if (cls != FILE_NAMES_INFORMATION) {
      e.size = rd(40, 8);
      e.attributes = uint32_t(rd(56, 4));
    }
    EXPECT_LE(off + fixed + name_len, area.size());
    if (off + fixed + name_len > area.size()) break;
    char name[1100];
    EXPECT_GE(tw3_utf16_to_utf8(area.data() + off + fixed, name_len, name, sizeof name), 0);
    e.name = name;
    if (cls == FILE_BOTH_DIRECTORY_INFORMATION || cls == FILE_ID_BOTH_DIRECTORY_INFORMATION) {
      size_t sn = area[off + 68];
      char sname[64];
      EXPECT_GE(tw3_utf16_to_utf8(area.data() + off + 70, sn, sname, sizeof sname), 0);
      e.short_name = sname;
    }
    if (cls == FILE_ID_BOTH_DIRECTORY_INFORMATION) e.file_id = rd(96, 8);
    out.push_back(e);
    if (next == 0) {
      EXPECT_LE(area.size() - off, (fixed + name_len + 7) & ~size_t(7));
      break;
    }
    EXPECT_EQ(next % 8, 0u);
    EXPECT_EQ(next, (fixed + name_len + 7) & ~size_t(7));
    off += next;
  }
  return out;
}

}  // namespace files_sim
