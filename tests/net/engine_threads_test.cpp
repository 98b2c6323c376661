// The real engine behind the listener with several clients at once: guest
// logons, opens with oplocks, reads and closes on one file from every
// connection while options change, the counters are read and the server
// stops under them. Mostly there for the ThreadSanitizer run (make test-tsan),
// which sees every access the connection threads share.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/ntlm_client_conn.h"
#include "config/config.h"
#include "net/net.h"
#include "net/net_client.h"
#include "smb/files_sim.h"
#include "twsmb3s.h"

namespace {

namespace fs = std::filesystem;
using net_test::client;
using bytes = std::vector<uint8_t>;

constexpr int kClients = 6;
constexpr int kRounds = 3;
constexpr uint32_t kReadLen = 4096;
constexpr uint8_t kOplockLevelII = 0x01;
constexpr size_t kRequestedOplockAt = 3;  // in the CREATE body

// One NetBIOS message out, one back (empty when the server closes).
bytes roundtrip(client& c, const bytes& msg) {
  if (!c.send(tw3test::nb_frame(msg))) return {};
  const bytes head = c.recv_exact(4);
  if (head.size() != 4) return {};
  return c.recv_exact((size_t{head[1]} << 16) | (size_t{head[2]} << 8) | head[3]);
}

bytes request(uint16_t command, const bytes& body, uint64_t mid, uint64_t sid, uint32_t tree) {
  return tw3test::smb2_request({.command = command, .body = body, .message_id = mid, .tree_id = tree,
                                .session_id = sid});
}

// A whole guest visit; false at the first answer that is not a success.
bool visit(int port) {
  client c("127.0.0.1", port);
  bytes r = roundtrip(c, ntlmc::negotiate_request(ntlmc::Negotiate{}));
  if (ntlmc::status_of(r) != 0) return false;
  r = roundtrip(c, ntlmc::session_setup_request(ntlmc::spnego_init(ntlmc::kNtlmOid, ntlmc::negotiate()), 1, 0));
  if (ntlmc::status_of(r) != STATUS_MORE_PROCESSING_REQUIRED || r.size() < 48) return false;
  const uint64_t sid = ntlmc::get64(&r[40]);
  ntlmc::AuthSpec anon;
  anon.nt_raw = bytes{};
  r = roundtrip(c, ntlmc::session_setup_request(ntlmc::spnego_resp(ntlmc::authenticate(anon).msg), 2, sid));
  if (ntlmc::status_of(r) != 0) return false;
  r = roundtrip(c, request(SMB2_TREE_CONNECT, files_sim::tree_connect_body("\\\\127.0.0.1\\data"), 3, sid, 0));
  if (ntlmc::status_of(r) != 0 || r.size() < 40) return false;
  const uint32_t tree = ntlmc::get32(&r[36]);
  bytes create = files_sim::create_body("a.bin");
  create[kRequestedOplockAt] = kOplockLevelII;
  r = roundtrip(c, request(SMB2_CREATE, create, 4, sid, tree));
  if (ntlmc::status_of(r) != 0 || r.size() < 64 + 80) return false;
  const uint64_t fid = ntlmc::get64(&r[64 + 64]);
  r = roundtrip(c, request(SMB2_READ, files_sim::read_body(fid, 0, kReadLen), 5, sid, tree));
  if (ntlmc::status_of(r) != 0) return false;
  r = roundtrip(c, request(SMB2_CLOSE, files_sim::close_body(fid), 6, sid, tree));
  return ntlmc::status_of(r) == 0;
}

// ---- Channels of one session ----
constexpr int kChannels = 3;

struct logon_out {
  uint64_t sid = 0;
  ntlmc::Key16 session_key{};  // what the AUTHENTICATE's logon makes
  uint32_t status = 0xFFFFFFFF;
};

// NEGOTIATE (3.0) and alice's two logon legs on c; with bind_to, both legs
// ask to bind c to that session and are signed with its key.
logon_out log_on(client& c, uint64_t bind_to = 0, const ntlmc::Key16& key = {}) {
  logon_out out;
  ntlmc::Negotiate n;
  n.dialects = {0x0300};
  if (ntlmc::status_of(roundtrip(c, ntlmc::negotiate_request(n))) != 0) return out;
  const auto leg = [&](const bytes& token, uint64_t mid, uint64_t sid) {
    bytes m = ntlmc::session_setup_request(token, mid, sid);
    if (bind_to != 0) {
      m[64 + 2] = SMB2_SESSION_FLAG_BINDING;
      ntlmc::sign_request(m, 0, m.size(), key, false);
    }
    return roundtrip(c, m);
  };
  const bytes r1 = leg(ntlmc::spnego_init(ntlmc::kNtlmOid, ntlmc::negotiate()), 1, bind_to);
  const bytes buf = ntlmc::ss_buffer(r1);
  size_t tlen = 0;
  const uint8_t* t = ntlmc::find_ntlmssp(buf.data(), buf.size(), &tlen);
  ntlmc::AuthSpec spec;
  if (r1.size() < 48 || t == nullptr || !ntlmc::parse_challenge(t, tlen, &spec.server_challenge)) return out;
  out.sid = ntlmc::get64(&r1[40]);
  spec.timestamp_ft = ntlmc::filetime(tw3_unix_now());
  const ntlmc::Auth auth = ntlmc::authenticate(spec);
  out.session_key = auth.session_key;
  out.status = ntlmc::status_of(leg(ntlmc::spnego_resp(auth.msg), 2, out.sid));
  return out;
}

class EngineThreads : public ::testing::Test {
 protected:
  void SetUp() override {
    tw3_config_reset_for_tests();
    dir_ = fs::temp_directory_path() / ("twsmb3s_threads_" + std::to_string(tw3_now_ms()));
    fs::create_directories(dir_ / "data");
    std::ofstream(dir_ / "data" / "a.bin", std::ios::binary) << std::string(2 * kReadLen, 'x');
    ASSERT_EQ(tw3_add_share("data", (dir_ / "data").string().c_str()), 0) << tw3_error();
    ASSERT_EQ(tw3_set_option("guest", "on"), 0);
    ASSERT_EQ(tw3_set_option("max_clients", "64"), 0);
  }
  void TearDown() override {
    tw3_net_stop();
    tw3_config_reset_for_tests();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  fs::path dir_;
};

TEST_F(EngineThreads, ClientsAtOnceWhileOptionsChangeAndTheServerStops) {
  ASSERT_EQ(tw3_net_start(nullptr, 0, nullptr), 0) << tw3_error();
  const int port = tw3_net_port();
  std::atomic<int> ok{0};
  std::atomic<int> running{kClients};
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; i++) {
    clients.emplace_back([&] {
      for (int round = 0; round < kRounds; round++) ok += visit(port) ? 1 : 0;
      running--;
    });
  }
  // The controlling thread meanwhile: options, counters and reports.
  for (int i = 0; running.load() > 0 && i < 5000; i++) {
    ASSERT_EQ(tw3_set_option("server_name", i % 2 ? "ONE" : "TWO"), 0);
    ASSERT_EQ(tw3_set_option("max_credits", i % 2 ? "128" : "256"), 0);
    EXPECT_GE(twsmb3s_client_count(), 0);
    EXPECT_NE(std::string(twsmb3s_stats_json()).find("\"reads\":"), std::string::npos);
    tw3_sleep_ms(2);
  }
  for (std::thread& t : clients) t.join();
  EXPECT_EQ(ok.load(), kClients * kRounds);

  // A stop while clients are in the middle of their visits ends them all.
  std::vector<std::thread> late;
  for (int i = 0; i < kClients; i++) late.emplace_back([port] { visit(port); });
  tw3_sleep_ms(20);
  tw3_net_stop();
  for (std::thread& t : late) t.join();
  EXPECT_EQ(tw3_net_client_count(), 0);
}

// A user's session on one connection, bound to further connections that
// all read one open at once; the first connection ends meanwhile and the
// session, its tree and its open go on serving the others.
TEST_F(EngineThreads, ChannelsOfOneSessionReadAtOnceAndOutliveTheFirst) {
  ASSERT_EQ(tw3_add_user("alice", "secret"), 0);
  ASSERT_EQ(tw3_net_start(nullptr, 0, nullptr), 0) << tw3_error();
  const int port = tw3_net_port();
  auto first = std::make_unique<client>("127.0.0.1", port);
  const logon_out s = log_on(*first);
  ASSERT_EQ(s.status, 0u);
  const ntlmc::Key16 key = ntlmc::signing_key_30(s.session_key);
  bytes r = roundtrip(*first, request(SMB2_TREE_CONNECT, files_sim::tree_connect_body("\\\\127.0.0.1\\data"), 3, s.sid, 0));
  ASSERT_EQ(ntlmc::status_of(r), 0u);
  const uint32_t tree = ntlmc::get32(&r[36]);
  r = roundtrip(*first, request(SMB2_CREATE, files_sim::create_body("a.bin"), 4, s.sid, tree));
  ASSERT_EQ(ntlmc::status_of(r), 0u);
  const uint64_t fid = ntlmc::get64(&r[64 + 64]);

  std::vector<std::unique_ptr<client>> channels;
  for (int i = 0; i < kChannels; i++) {
    channels.push_back(std::make_unique<client>("127.0.0.1", port));
    ASSERT_EQ(log_on(*channels.back(), s.sid, key).status, 0u) << "channel " << i;
  }
  EXPECT_EQ(tw3_stat_get(ST_CHANNELS), kChannels + 1);
  std::atomic<int> reads{0};
  std::vector<std::thread> readers;
  for (auto& ch : channels) {
    readers.emplace_back([&, c = ch.get()] {
      for (uint64_t mid = 3; mid < 3 + kRounds * 10; mid++)
        reads += ntlmc::status_of(roundtrip(*c, request(SMB2_READ, files_sim::read_body(fid, 0, kReadLen), mid, s.sid, tree))) == 0;
    });
  }
  first.reset();  // its channel goes while the others read
  for (std::thread& t : readers) t.join();
  EXPECT_EQ(reads.load(), kChannels * kRounds * 10);
  EXPECT_EQ(tw3_stat_get(ST_SESSIONS_OPEN), 1);
  channels.clear();
  // The last channel's end takes the session with it.
  for (int i = 0; i < 5000 && tw3_stat_get(ST_SESSIONS_OPEN) != 0; i++) tw3_sleep_ms(2);
  EXPECT_EQ(tw3_stat_get(ST_SESSIONS_OPEN), 0);
  EXPECT_EQ(tw3_stat_get(ST_CHANNELS), 0);
}

}  // namespace
