// Read caching: the oplock and lease grants of CREATE, the create-context
// walk, the breaks sent when a host file changes under a grant, their
// acknowledgements, and whole frames on the wire when sends race.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "platform/tempdir.h"
#include "smb/files_sim.h"

namespace {

using namespace files_sim;

constexpr uint32_t kRWH = 7;
constexpr uint32_t kRH = 3;
constexpr uint32_t kCreateOplockAt = 3;  // RequestedOplockLevel in the CREATE body

bytes key_of(uint8_t k) { return bytes(16, k); }

// An RqLs context: version 1 (32 bytes of data) or 2 (52 bytes).
bytes lease_context(int version, const bytes& key, uint32_t state, uint32_t flags = 0,
                    uint8_t parent = 0, uint16_t epoch = 0) {
  bytes d = key;
  put32(d, state);
  put32(d, flags);
  put64(d, 0);
  if (version == 2) {
    bytes pk(16, parent);
    d.insert(d.end(), pk.begin(), pk.end());
    put16(d, epoch);
    put16(d, 0);
  }
  bytes c;
  put32(c, 0);
  put16(c, 16);
  put16(c, 4);
  put16(c, 0);
  put16(c, 24);
  put32(c, uint32_t(d.size()));
  c.insert(c.end(), {'R', 'q', 'L', 's', 0, 0, 0, 0});
  c.insert(c.end(), d.begin(), d.end());
  return c;
}

bytes create_with(const std::string& name, uint8_t oplock, const bytes& contexts, uint32_t options = 0) {
  bytes b = create_body(name, kReadAccess, 1, options, contexts);
  b[kCreateOplockAt] = oplock;
  return b;
}

// The response contexts of a CREATE answer, by name: (offset of data, length).
struct ctx_seen {
  std::string name;
  size_t data_at;
  uint32_t data_len;
};
std::vector<ctx_seen> contexts_of(const response& r) {
  std::vector<ctx_seen> out;
  size_t at = r.b32(80);
  if (at == 0) return out;
  EXPECT_EQ(r.b32(84), r.raw.size() - at);
  for (int guard = 0; guard < 8; ++guard) {
    EXPECT_EQ(at % 8, 0u);
    const uint32_t next = r.u32(at);
    out.push_back({std::string(r.raw.begin() + long(at + 16), r.raw.begin() + long(at + 20)),
                   at + r.at(at + 10, 2), r.u32(at + 12)});
    if (next == 0) break;
    at += next;
  }
  return out;
}

// One notification the server sent on its own.
struct note {
  uint64_t message_id;
  uint64_t session_id;
  uint16_t command;
  bytes body;
};
std::vector<note> notifications_in(const std::vector<bytes>& messages) {
  std::vector<note> out;
  for (const bytes& m : messages) {
    if (m.size() < 64) continue;
    out.push_back({le64(m.data() + HDR_MESSAGE_ID), le64(m.data() + HDR_SESSION_ID), le16(m.data() + HDR_COMMAND),
                   bytes(m.begin() + 64, m.end())});
  }
  return out;
}
std::vector<note> notifications(const tw3test::script_io& sio) { return notifications_in(sio.sent_messages()); }

bytes lease_ack(const bytes& key, uint32_t state) {
  bytes b;
  put16(b, 36);
  put16(b, 0);
  put32(b, 0);
  b.insert(b.end(), key.begin(), key.end());
  put32(b, state);
  put64(b, 0);
  return b;
}

bytes oplock_ack(uint64_t fid, uint8_t level) {
  bytes b;
  put16(b, 24);
  b.push_back(level);
  b.push_back(0);
  put32(b, 0);
  put64(b, fid);
  put64(b, 0);
  return b;
}

class Caching : public ::testing::Test {
 protected:
  void SetUp() override {
    tw3_config_reset_for_tests();
    ASSERT_TRUE(t.ok());
    ASSERT_TRUE(t.dir("films"));
    ASSERT_TRUE(t.dir("films/dir"));
    ASSERT_TRUE(t.file("films/ten.txt", "0123456789"));
    ASSERT_TRUE(t.file("films/other.txt", "other"));
    ASSERT_EQ(tw3_add_share("films", t.sub("films").c_str()), 0) << tw3_error();
    tree = c.connect("films");
  }
  void TearDown() override { tw3_config_reset_for_tests(); }
  response ack(const bytes& body) { return c.one({SMB2_OPLOCK_BREAK, tree, 0, kSessionId, body}); }

  temp_dir t;
  conn c;
  uint32_t tree = 0;
};

TEST_F(Caching, GrantsReadCachingNeverWrite) {
  struct row {
    const char* why;
    const char* name;
    uint8_t oplock;
    int version;  // lease context sent: 0 none
    uint32_t asked;
    uint8_t level;        // OplockLevel answered
    uint32_t granted;     // lease state answered; ~0u: no lease context
  } rows[] = {
      {"no oplock", "ten.txt", 0x00, 0, 0, 0x00, ~0u},
      {"level II", "ten.txt", 0x01, 0, 0, 0x01, ~0u},
      {"exclusive", "ten.txt", 0x08, 0, 0, 0x01, ~0u},
      {"batch", "ten.txt", 0x09, 0, 0, 0x01, ~0u},
      {"lease level, no context", "ten.txt", 0xFF, 0, 0, 0x00, ~0u},
      {"lease v1 RWH", "ten.txt", 0xFF, 1, kRWH, 0xFF, kRH},
      {"lease v2 RWH", "ten.txt", 0xFF, 2, kRWH, 0xFF, kRH},
      {"lease v2 R", "ten.txt", 0xFF, 2, 1, 0xFF, 1},
      {"lease v2 H alone", "ten.txt", 0xFF, 2, 2, 0x00, ~0u},
      {"context without the lease level", "ten.txt", 0x01, 2, kRWH, 0x01, ~0u},
      {"directory lease", "dir", 0xFF, 2, kRWH, 0x00, ~0u},
      {"directory oplock", "dir", 0x09, 0, 0, 0x00, ~0u},
  };
  uint8_t k = 1;
  for (const row& r : rows) {
    const bytes key = key_of(k++);
    const bytes ctx = r.version ? lease_context(r.version, key, r.asked, 4, 0x5A, 5) : bytes{};
    response a = c.create(tree, create_with(r.name, r.oplock, ctx));
    ASSERT_EQ(a.status(), STATUS_SUCCESS) << r.why;
    EXPECT_EQ(a.at(64 + 2, 1), r.level) << r.why;
    const auto ctxs = contexts_of(a);
    if (r.granted == ~0u) {
      EXPECT_TRUE(ctxs.empty()) << r.why;
      continue;
    }
    ASSERT_EQ(ctxs.size(), 1u) << r.why;
    EXPECT_EQ(ctxs[0].name, "RqLs");
    const size_t d = ctxs[0].data_at;
    ASSERT_EQ(ctxs[0].data_len, r.version == 2 ? 52u : 32u) << r.why;
    EXPECT_EQ(bytes(a.raw.begin() + long(d), a.raw.begin() + long(d + 16)), key) << r.why;
    EXPECT_EQ(a.u32(d + 16), r.granted) << r.why;
    if (r.version == 2) {
      EXPECT_EQ(a.u32(d + 20), 4u) << r.why;  // the parent key flag, echoed
      EXPECT_EQ(a.at(d + 32, 1), 0x5Au) << r.why;
      EXPECT_EQ(a.at(d + 48, 2), 6u) << r.why;  // a new lease counts on from the client's epoch
    } else {
      EXPECT_EQ(a.u32(d + 20), 0u) << r.why;
    }
  }
  EXPECT_TRUE(c.sio.written.empty());  // nothing changed, nothing broken
}

TEST_F(Caching, OneKeyOneFileAndContextsChain) {
  const bytes key = key_of(9);
  bytes both = create_context("QFid", 24);
  both.resize(24, 0);
  const bytes lease = lease_context(2, key, kRWH);
  both.insert(both.end(), lease.begin(), lease.end());
  response a = c.create(tree, create_with("ten.txt", 0xFF, both));
  ASSERT_EQ(a.status(), STATUS_SUCCESS);
  const auto ctxs = contexts_of(a);
  ASSERT_EQ(ctxs.size(), 2u);
  EXPECT_EQ(ctxs[0].name, "QFid");
  EXPECT_EQ(ctxs[1].name, "RqLs");

  // The same key shares the lease (same epoch); on another file it is refused.
  response b = c.create(tree, create_with("ten.txt", 0xFF, lease));
  ASSERT_EQ(b.status(), STATUS_SUCCESS);
  EXPECT_EQ(b.at(contexts_of(b)[0].data_at + 48, 2), 1u);
  EXPECT_EQ(c.create(tree, create_with("other.txt", 0xFF, lease)).status(), STATUS_INVALID_PARAMETER);
  // Once every open of it is closed the key is free again.
  EXPECT_EQ(c.close(a.b64(64)).status(), STATUS_SUCCESS);
  EXPECT_EQ(c.close(b.b64(64)).status(), STATUS_SUCCESS);
  EXPECT_EQ(c.create(tree, create_with("other.txt", 0xFF, lease)).status(), STATUS_SUCCESS);
}

TEST_F(Caching, MalformedContextChainsAreRefused) {
  const bytes good = lease_context(2, key_of(3), kRWH);
  auto with = [&](size_t at, uint32_t v, int width) {
    bytes b = good;
    for (int i = 0; i < width; ++i) b[at + size_t(i)] = uint8_t(v >> (8 * i));
    return b;
  };
  struct row {
    const char* why;
    bytes ctx;
  } rows[] = {
      {"Next below a header", with(0, 8, 4)},
      {"Next past the area", with(0, 88, 4)},
      {"Next to the area's end", with(0, uint32_t(good.size()), 4)},
      {"name past the context", with(4, 80, 2)},
      {"empty name", with(6, 0, 2)},
      {"name inside the header", with(4, 2, 2)},
      {"data past the context", with(12, 60, 4)},
      {"data inside the header", with(10, 8, 2)},
      {"shorter than a header", bytes(good.begin(), good.begin() + 12)},
      {"data not 8-aligned", with(10, 20, 2)},
      {"Next not 8-aligned", [&] {
         bytes b = create_context("QFid", 28);
         b.resize(28, 0);
         b.insert(b.end(), good.begin(), good.end());
         return b;
       }()},
  };
  for (const row& r : rows) {
    response a = c.create(tree, create_with("ten.txt", 0xFF, r.ctx));
    EXPECT_EQ(a.status(), STATUS_INVALID_PARAMETER) << r.why;
  }
  // An area that leaves the message, or starts inside the header.
  bytes body = create_with("ten.txt", 0xFF, good);
  put_le32(body.data() + 52, uint32_t(good.size() + 1));
  EXPECT_EQ(c.create(tree, body).status(), STATUS_INVALID_PARAMETER);
  put_le32(body.data() + 48, 60);
  put_le32(body.data() + 52, 16);
  EXPECT_EQ(c.create(tree, body).status(), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(c.get()->cl->opens.count, 0);
}

TEST_F(Caching, AChangedFileBreaksTheLeaseBeforeTheReadAnswers) {
  const bytes key = key_of(5);
  response a = c.create(tree, create_with("ten.txt", 0xFF, lease_context(2, key, kRWH)));
  ASSERT_EQ(a.status(), STATUS_SUCCESS);
  const uint64_t fid = a.b64(64);
  EXPECT_EQ(c.read(fid, 0, 10).status(), STATUS_SUCCESS);
  EXPECT_TRUE(c.sio.written.empty());  // unchanged: no break

  ASSERT_TRUE(t.file("films/ten.txt", "changed on the host"));
  response r = c.read(fid, 0, 100);
  ASSERT_EQ(r.status(), STATUS_SUCCESS);
  EXPECT_EQ(r.b32(4), 19u);  // the read already sees the new bytes
  auto notes = notifications(c.sio);
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].command, SMB2_OPLOCK_BREAK);
  EXPECT_EQ(notes[0].message_id, kAllOnes);
  EXPECT_EQ(notes[0].session_id, 0u);
  const bytes& n = notes[0].body;
  ASSERT_EQ(n.size(), 44u);
  EXPECT_EQ(le16(n.data()), 44u);
  EXPECT_EQ(le16(n.data() + 2), 2u);  // NewEpoch
  EXPECT_EQ(le32(n.data() + 4), 1u);  // ACK_REQUIRED: Handle caching is given up
  EXPECT_EQ(bytes(n.begin() + 8, n.begin() + 24), key);
  EXPECT_EQ(le32(n.data() + 24), kRH);
  EXPECT_EQ(le32(n.data() + 28), 0u);

  // Broken once: reads go on without another break.
  EXPECT_EQ(c.read(fid, 0, 100).status(), STATUS_SUCCESS);
  EXPECT_EQ(notifications(c.sio).size(), 1u);
  // A CREATE while the break is unanswered gets the state with the flag.
  response during = c.create(tree, create_with("ten.txt", 0xFF, lease_context(2, key, kRWH)));
  const size_t d = contexts_of(during)[0].data_at;
  EXPECT_EQ(during.u32(d + 16), 0u);
  EXPECT_EQ(during.u32(d + 20) & SMB2_LEASE_FLAG_BREAK_IN_PROGRESS, SMB2_LEASE_FLAG_BREAK_IN_PROGRESS);

  // Acknowledgements (MS-SMB2 3.3.5.22.2).
  EXPECT_EQ(ack(lease_ack(key, 1)).status(), STATUS_REQUEST_NOT_ACCEPTED);
  EXPECT_EQ(ack(lease_ack(key_of(77), 0)).status(), STATUS_OBJECT_NAME_NOT_FOUND);
  response ok = ack(lease_ack(key, 0));
  ASSERT_EQ(ok.status(), STATUS_SUCCESS);
  ASSERT_EQ(ok.body_size(), 36u);
  EXPECT_EQ(ok.body_bytes(8, 16), key);
  EXPECT_EQ(ok.b32(24), 0u);
  EXPECT_EQ(ack(lease_ack(key, 0)).status(), STATUS_UNSUCCESSFUL);

  // The next CREATE caches again, from the file as it is now.
  response again = c.create(tree, create_with("ten.txt", 0xFF, lease_context(2, key, kRWH)));
  const size_t g = contexts_of(again)[0].data_at;
  EXPECT_EQ(again.u32(g + 16), kRH);
  EXPECT_EQ(again.at(g + 48, 2), 3u);
  EXPECT_EQ(c.read(fid, 0, 100).status(), STATUS_SUCCESS);
  EXPECT_EQ(notifications(c.sio).size(), 1u);
}

TEST_F(Caching, AChangedFileBreaksOplocksAndTheirAcksAreAnswered) {
  response a = c.create(tree, create_with("ten.txt", 0x09, {}));
  ASSERT_EQ(a.at(64 + 2, 1), 0x01u);
  const uint64_t fid = a.b64(64);
  EXPECT_EQ(ack(oplock_ack(fid, 0)).status(), STATUS_INVALID_DEVICE_STATE);  // nothing is breaking

  // A CREATE of the changed file breaks the earlier open's oplock first.
  ASSERT_TRUE(t.file("films/ten.txt", "0123456789+"));
  response b = c.create(tree, create_with("ten.txt", 0x01, {}));
  EXPECT_EQ(b.at(64 + 2, 1), 0x01u);
  auto notes = notifications(c.sio);
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].message_id, kAllOnes);
  EXPECT_EQ(notes[0].session_id, 0u);
  const bytes& n = notes[0].body;
  ASSERT_EQ(n.size(), 24u);
  EXPECT_EQ(le16(n.data()), 24u);
  EXPECT_EQ(n[2], 0u);  // to none
  EXPECT_EQ(le64(n.data() + 8), fid);

  EXPECT_EQ(ack(oplock_ack(fid, 1)).status(), STATUS_INVALID_OPLOCK_PROTOCOL);
  EXPECT_EQ(ack(oplock_ack(fid, 0xFF)).status(), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ack(oplock_ack(0x999, 0)).status(), STATUS_FILE_CLOSED);
  response ok = ack(oplock_ack(fid, 0));
  ASSERT_EQ(ok.status(), STATUS_SUCCESS);
  ASSERT_EQ(ok.body_size(), 24u);
  EXPECT_EQ(ok.b64(8), fid);
  EXPECT_EQ(ack(oplock_ack(fid, 0)).status(), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(ack(bytes(10, 0)).status(), STATUS_INVALID_PARAMETER);
}

TEST_F(Caching, TheIdlePollBreaksWhatChangedOncePerSecond) {
  const bytes key = key_of(6);
  ASSERT_EQ(c.create(tree, create_with("ten.txt", 0xFF, lease_context(1, key, 1))).status(), STATUS_SUCCESS);
  tw3_conn* cn = c.get();
  cn->lease_poll_ms = 0;
  tw3_caching_poll(cn);
  EXPECT_TRUE(c.sio.written.empty());
  ASSERT_TRUE(t.file("films/ten.txt", "x"));
  tw3_caching_poll(cn);  // within the second: not looked at
  EXPECT_TRUE(c.sio.written.empty());
  cn->lease_poll_ms = 0;
  tw3_caching_poll(cn);
  auto notes = notifications(c.sio);
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(le16(notes[0].body.data() + 2), 0u);  // version 1: no epoch
  EXPECT_EQ(le32(notes[0].body.data() + 4), 0u);  // Read alone: no acknowledgement wanted
  EXPECT_EQ(ack(lease_ack(key, 0)).status(), STATUS_UNSUCCESSFUL);
}

// Two threads sending at once through one connection: the bytes on the wire
// are whole frames, one after another.
// A break to a session that encrypts (it must, or its client does) leaves as
// a transform of that session, sealed with its key, and decrypts to the
// break; a session that never encrypted gets it plain, as ever.
TEST_F(Caching, BreaksToAnEncryptingSessionLeaveSealed) {
  tw3_conn* k = c.get();
  tw3_session* s = c.session();
  const bytes key(16, 0x5A);
  std::memcpy(s->encryption_key, key.data(), key.size());
  k->cipher_id = SMB2_CIPHER_AES128_GCM;
  tf_session_keys(k, s);
  ASSERT_EQ(s->cipher_ready, 1);
  tw3_gcm_ctx client{};
  k_gcm_init(&client, key.data());
  struct row {
    const char* what;
    int32_t must, client_encrypts;
  } rows[] = {{"plain session", 0, 0}, {"encrypt=required", 1, 0}, {"client encrypts", 0, 1}};
  uint8_t lease = 1;
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    s->encrypt_data = r.must;
    s->encrypted = r.client_encrypts;
    const bytes lease_key = key_of(lease++);
    ASSERT_TRUE(t.file("films/ten.txt", "0123456789"));
    response a = c.create(tree, create_with("ten.txt", 0xFF, lease_context(2, lease_key, kRWH)));
    ASSERT_EQ(a.status(), STATUS_SUCCESS);
    ASSERT_TRUE(t.file("films/ten.txt", std::string("changed ") + r.what));
    c.sio.written.clear();
    ASSERT_EQ(c.read(a.b64(64), 0, 4).status(), STATUS_SUCCESS);
    const auto sent = c.sio.sent_messages();
    ASSERT_EQ(sent.size(), 1u);
    bytes m = sent[0];
    if (r.must || r.client_encrypts) {
      ASSERT_GT(m.size(), TF_HDR_SIZE);
      ASSERT_EQ(le32(m.data()), SMB2_TRANSFORM_PROTOCOL_ID);
      EXPECT_EQ(le64(m.data() + TF_SESSION_ID), kSessionId);
      EXPECT_EQ(le32(m.data() + TF_ORIGINAL_SIZE), m.size() - TF_HDR_SIZE);
      ASSERT_EQ(k_gcm_open(&client, m.data() + TF_NONCE, m.data() + TF_AAD, TF_AAD_SIZE,
                           m.data() + TF_HDR_SIZE, m.size() - TF_HDR_SIZE, m.data() + 4),
                0);
      m.erase(m.begin(), m.begin() + TF_HDR_SIZE);
    }
    const auto notes = notifications_in({m});
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].command, SMB2_OPLOCK_BREAK);
    EXPECT_EQ(notes[0].message_id, kAllOnes);
    EXPECT_EQ(notes[0].session_id, r.must || r.client_encrypts ? kSessionId : 0u);
    ASSERT_EQ(notes[0].body.size(), 44u);
    EXPECT_EQ(bytes(notes[0].body.begin() + 8, notes[0].body.begin() + 24), lease_key);
    EXPECT_EQ(k->closing, 0);
  }
}

TEST(SendLock, FramesNeverInterleave) {
  struct wire {
    std::mutex m;
    bytes out;
  } w;
  tw3_io io{};
  io.ctx = &w;
  io.write = [](void* ctx, const uint8_t* data, uint32_t len) {
    auto* s = static_cast<wire*>(ctx);
    for (uint32_t i = 0; i < len; i += 7) {  // dribbles, yielding between pieces
      {
        std::lock_guard<std::mutex> g(s->m);
        s->out.insert(s->out.end(), data + i, data + std::min(len, i + 7));
      }
      std::this_thread::yield();
    }
    return 0;
  };
  auto c = std::make_unique<tw3_conn>();
  c->io = &io;
  c->io_ctx = io.ctx;
  constexpr int kFrames = 40;
  auto sender = [&](uint8_t tag, size_t size) {
    const bytes frame(size, tag);
    for (int i = 0; i < kFrames; ++i) send_frame(c.get(), frame.data(), frame.size());
  };
  std::thread a(sender, uint8_t(0xAA), size_t(100));
  std::thread b(sender, uint8_t(0xBB), size_t(61));
  a.join();
  b.join();
  size_t off = 0;
  int frames = 0;
  while (off + 4 <= w.out.size()) {
    const size_t n = (size_t(w.out[off + 1]) << 16) | (size_t(w.out[off + 2]) << 8) | w.out[off + 3];
    ASSERT_TRUE(n == 100 || n == 61) << "frame " << frames;
    ASSERT_LE(off + 4 + n, w.out.size());
    const uint8_t tag = n == 100 ? 0xAA : 0xBB;
    for (size_t i = 0; i < n; ++i) ASSERT_EQ(w.out[off + 4 + i], tag) << "frame " << frames;
    off += 4 + n;
    ++frames;
  }
  EXPECT_EQ(off, w.out.size());
  EXPECT_EQ(frames, 2 * kFrames);
}

}  // namespace
