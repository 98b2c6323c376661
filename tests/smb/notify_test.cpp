// CHANGE_NOTIFY on folder handles, driven through the dispatcher with a
// scripted host-notification source: the interim answer, completion by the
// poll, changes kept between requests, the filter, ENUM_DIR on overflow,
// cancel by AsyncId and by MessageId, close, tree disconnect, logoff, and
// the watch bounds.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "platform/tempdir.h"
#include "smb/files_sim.h"

namespace {

using namespace files_sim;

// ---- The scripted host: events queued by the test, handed out on read ----
struct scripted {
  std::vector<std::string> folders;
  std::deque<tw3_watch_event> queue;
  int opened = 0;
  int closed = 0;
  bool refuse_add = false;
};
scripted g_host;

tw3_watch* s_open() {
  ++g_host.opened;
  return reinterpret_cast<tw3_watch*>(&g_host);
}
int s_add(tw3_watch*, const char*, const char* rel) {
  if (g_host.refuse_add) return -1;
  g_host.folders.push_back(rel);
  return 0;
}
int32_t s_count(const tw3_watch*) { return int32_t(g_host.folders.size()); }
int s_read(tw3_watch*, tw3_watch_event* out, int max, int) {
  int n = 0;
  while (n < max && !g_host.queue.empty()) {
    out[n++] = g_host.queue.front();
    g_host.queue.pop_front();
  }
  return n;
}
void s_close(tw3_watch*) { ++g_host.closed; }
constexpr tw3_watch_source kScripted{s_open, s_add, s_count, s_read, s_close};

void host_event(uint32_t action, const std::string& name, int is_dir = 0, uint32_t touched = 0) {
  tw3_watch_event e{};
  e.action = action;
  e.touched = touched;
  e.is_dir = is_dir;
  std::snprintf(e.name, sizeof e.name, "%s", name.c_str());
  g_host.queue.push_back(e);
}

constexpr uint32_t kAllChanges = 0x17F;
constexpr uint32_t kNameChanges = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME;

bytes notify_body(uint64_t fid, uint32_t filter, uint16_t flags = 0, uint32_t out_len = 4096) {
  bytes b;
  put16(b, 32);
  put16(b, flags);
  put32(b, out_len);
  put64(b, fid);
  put64(b, 0);
  put32(b, filter);
  put32(b, 0);
  return b;
}

struct record {
  uint32_t action;
  std::string name;
};

// Decodes FILE_NOTIFY_INFORMATION records, checking offsets and alignment.
std::vector<record> records_of(const bytes& m) {
  std::vector<record> out;
  if (m.size() < 72) return out;
  const uint16_t off = le16(m.data() + 66);
  const uint32_t len = le32(m.data() + 68);
  if (len == 0) return out;
  EXPECT_EQ(off, 72);
  EXPECT_EQ(m.size(), size_t(off) + len);
  size_t at = off;
  for (int guard = 0; guard < 1000 && at + 12 <= m.size(); ++guard) {
    const uint32_t next = le32(m.data() + at);
    const uint32_t n = le32(m.data() + at + 8);
    if (at + 12 + n > m.size()) {
      ADD_FAILURE() << "name beyond the message";
      break;
    }
    char name[2100];
    EXPECT_GE(tw3_utf16_to_utf8(m.data() + at + 12, n, name, sizeof name), 0);
    out.push_back({le32(m.data() + at + 4), name});
    if (next == 0) break;
    EXPECT_EQ(next % 4, 0u);
    at += next;
  }
  return out;
}

class Notify : public ::testing::Test {
 protected:
  void SetUp() override {
    tw3_config_reset_for_tests();
    g_host = scripted{};
    g_watch_source = &kScripted;
    ASSERT_TRUE(t.ok());
    ASSERT_TRUE(t.dir("pub"));
    ASSERT_TRUE(t.dir("pub/sub"));
    ASSERT_TRUE(t.dir("pub/sub/deeper"));
    ASSERT_EQ(tw3_add_share("pub", t.sub("pub").c_str()), 0) << tw3_error();
    tree = c.connect("pub");
    dir = c.open(tree, "", 1);  // FILE_DIRECTORY_FILE
    c.sio.written.clear();
  }
  void TearDown() override {
    tw3_client_free_opens(c.get()->cl);
    EXPECT_EQ(tw3_notify_server_watches(), 0);
    g_watch_source = saved;
    tw3_config_reset_for_tests();
  }
  response notify(uint32_t filter, uint16_t flags = 0, uint32_t out_len = 4096, uint64_t fid = 0) {
    return c.one({SMB2_CHANGE_NOTIFY, tree, 0, kSessionId, notify_body(fid ? fid : dir, filter, flags, out_len)});
  }
  // Messages the server sent on its own (completions).
  std::vector<bytes> sent() {
    auto m = c.sio.sent_messages();
    c.sio.written.clear();
    return m;
  }
  // A CANCEL naming an async id (async) or a MessageId.
  response cancel(uint64_t id, bool async) {
    bytes h;
    put32(h, 0x424D53FE);
    put16(h, 64);
    put16(h, 0);
    put32(h, 0);
    put16(h, SMB2_CANCEL);
    put16(h, 0);
    put32(h, async ? SMB2_FLAGS_ASYNC_COMMAND : 0);
    put32(h, 0);
    put64(h, async ? 0 : id);
    put64(h, async ? id : 0);
    put64(h, kSessionId);
    h.resize(64, 0);
    put16(h, 4);
    put16(h, 0);
    auto rs = conn::split(c.send_raw(h));
    return rs.empty() ? response{} : rs[0];
  }

  const tw3_watch_source* saved = g_watch_source;
  temp_dir t;
  conn c;
  uint32_t tree = 0;
  uint64_t dir = 0;
};

uint64_t async_id_of(const bytes& m) { return le64(m.data() + HDR_ASYNC_ID); }

TEST_F(Notify, InterimAnswerThenCompletionWithTheChange) {
  response r = notify(kAllChanges);
  ASSERT_EQ(r.status(), STATUS_PENDING);
  EXPECT_NE(r.hdr_flags() & SMB2_FLAGS_ASYNC_COMMAND, 0u);
  const uint64_t async = le64(r.raw.data() + HDR_ASYNC_ID);
  EXPECT_NE(async, 0u);
  EXPECT_GE(le16(r.raw.data() + HDR_CREDITS), 1u);  // the interim answer grants the credit
  EXPECT_EQ(r.body_size(), 9u);
  tw3_notify_poll(c.get());  // nothing changed: nothing sent
  EXPECT_TRUE(sent().empty());

  host_event(TW3_WATCH_ADDED, "new file.txt");
  host_event(TW3_WATCH_ADDED, "ünï.txt");
  tw3_notify_poll(c.get());
  auto m = sent();
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(le32(m[0].data() + HDR_STATUS), STATUS_SUCCESS);
  EXPECT_EQ(le16(m[0].data() + HDR_COMMAND), SMB2_CHANGE_NOTIFY);
  EXPECT_EQ(le64(m[0].data() + HDR_MESSAGE_ID), le64(r.raw.data() + HDR_MESSAGE_ID));
  EXPECT_EQ(async_id_of(m[0]), async);
  EXPECT_NE(le32(m[0].data() + HDR_FLAGS) & SMB2_FLAGS_ASYNC_COMMAND, 0u);
  EXPECT_EQ(le16(m[0].data() + HDR_CREDITS), 0u);  // granted with the interim answer already
  auto recs = records_of(m[0]);
  ASSERT_EQ(recs.size(), 2u);
  EXPECT_EQ(recs[0].action, 1u);
  EXPECT_EQ(recs[0].name, "new file.txt");
  EXPECT_EQ(recs[1].name, "ünï.txt");
}

TEST_F(Notify, ChangesBetweenRequestsAreKeptAndFiltered) {
  ASSERT_EQ(notify(kAllChanges, SMB2_WATCH_TREE).status(), STATUS_PENDING);
  // The tree watch took the folder and every folder below it.
  EXPECT_EQ(g_host.folders, (std::vector<std::string>{"", "sub", "sub/deeper"}));
  host_event(TW3_WATCH_ADDED, "a");
  tw3_notify_poll(c.get());
  ASSERT_EQ(sent().size(), 1u);
  // Between requests: a content change, a rename below, an attribute change.
  host_event(TW3_WATCH_MODIFIED, "a", 0, TW3_WATCH_DATA);
  host_event(TW3_WATCH_RENAMED_OLD, "sub/deeper/x");
  host_event(TW3_WATCH_RENAMED_NEW, "sub/deeper/y");
  host_event(TW3_WATCH_MODIFIED, "a", 0, TW3_WATCH_META);
  tw3_notify_poll(c.get());
  EXPECT_TRUE(sent().empty());  // no request waits
  // The next request finds them at once; names only, as asked.
  response r = notify(kNameChanges);
  ASSERT_EQ(r.status(), STATUS_SUCCESS);
  auto recs = records_of(r.raw);
  ASSERT_EQ(recs.size(), 2u);
  EXPECT_EQ(recs[0].action, 4u);
  EXPECT_EQ(recs[0].name, "sub\\deeper\\x");
  EXPECT_EQ(recs[1].action, 5u);
  EXPECT_EQ(recs[1].name, "sub\\deeper\\y");
  // A size-only request does not wake for a new name.
  ASSERT_EQ(notify(FILE_NOTIFY_CHANGE_SIZE).status(), STATUS_PENDING);
  host_event(TW3_WATCH_ADDED, "b");
  tw3_notify_poll(c.get());
  EXPECT_TRUE(sent().empty());
  host_event(TW3_WATCH_MODIFIED, "b", 0, TW3_WATCH_DATA);
  tw3_notify_poll(c.get());
  auto m = sent();
  ASSERT_EQ(m.size(), 1u);
  recs = records_of(m[0]);
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(recs[0].action, 3u);
  // A folder made below a tree watch is watched too.
  host_event(TW3_WATCH_ADDED, "sub/made", 1);
  ASSERT_EQ(notify(kAllChanges).status(), STATUS_SUCCESS);
  EXPECT_EQ(g_host.folders.back(), "sub/made");
}

TEST_F(Notify, EnumDirWhenRecordsDoNotFitOrPileUp) {
  struct row {
    const char* why;
    int events;
    uint32_t out_len;
    bool host_overflow;
  } rows[] = {
      {"buffer too small", 2, 20, false},
      {"buffer of zero", 1, 0, false},
      {"too many kept", int(TW3_NOTIFY_KEEP) + 1, 65536, false},
      {"host lost events", 1, 65536, true},
  };
  for (const row& w : rows) {
    for (int i = 0; i < w.events; ++i) host_event(TW3_WATCH_ADDED, "file" + std::to_string(i));
    if (w.host_overflow) host_event(TW3_WATCH_OVERFLOW, "");
    response r = notify(kAllChanges, 0, w.out_len);
    EXPECT_EQ(r.status(), STATUS_NOTIFY_ENUM_DIR) << w.why;
    // Nothing is left over for the next request.
    EXPECT_EQ(notify(kAllChanges).status(), STATUS_PENDING) << w.why;
    EXPECT_EQ(c.close(dir).status(), STATUS_SUCCESS);
    sent();
    dir = c.open(tree, "", 1);
  }
}

TEST_F(Notify, CancelCloseDisconnectAndLogoffCompleteTheWaitingRequest) {
  // By AsyncId: the CANCEL's response slot is the request's final answer.
  response r = notify(kAllChanges);
  const uint64_t mid = le64(r.raw.data() + HDR_MESSAGE_ID);
  response x = cancel(le64(r.raw.data() + HDR_ASYNC_ID), true);
  EXPECT_EQ(x.status(), STATUS_CANCELLED);
  EXPECT_EQ(le16(x.raw.data() + HDR_COMMAND), SMB2_CHANGE_NOTIFY);
  EXPECT_EQ(le64(x.raw.data() + HDR_MESSAGE_ID), mid);
  EXPECT_EQ(le64(x.raw.data() + HDR_ASYNC_ID), le64(r.raw.data() + HDR_ASYNC_ID));
  // By MessageId.
  r = notify(kAllChanges);
  x = cancel(le64(r.raw.data() + HDR_MESSAGE_ID), false);
  EXPECT_EQ(x.status(), STATUS_CANCELLED);
  EXPECT_EQ(le16(x.raw.data() + HDR_COMMAND), SMB2_CHANGE_NOTIFY);
  // A change after the cancel waits for the next request.
  host_event(TW3_WATCH_ADDED, "late");
  tw3_notify_poll(c.get());
  EXPECT_TRUE(sent().empty());
  // CLOSE: NOTIFY_CLEANUP first, then the CLOSE's own answer; the watch ends.
  ASSERT_EQ(notify(FILE_NOTIFY_CHANGE_SIZE).status(), STATUS_PENDING);
  EXPECT_EQ(c.close(dir).status(), STATUS_SUCCESS);
  auto m = sent();
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(le32(m[0].data() + HDR_STATUS), STATUS_NOTIFY_CLEANUP);
  EXPECT_EQ(g_host.closed, 1);
  EXPECT_EQ(tw3_notify_server_watches(), 0);
  EXPECT_EQ(notify(kAllChanges).status(), STATUS_FILE_CLOSED);
  // TREE_DISCONNECT and LOGOFF.
  for (uint8_t cmd : {uint8_t(SMB2_TREE_DISCONNECT), uint8_t(SMB2_LOGOFF)}) {
    tree = c.connect("pub");
    dir = c.open(tree, "", 1);
    ASSERT_EQ(notify(kAllChanges).status(), STATUS_PENDING);
    bytes b;
    put16(b, 4);
    put16(b, 0);
    EXPECT_EQ(c.one({cmd, tree, 0, kSessionId, b}).status(), STATUS_SUCCESS);
    m = sent();
    ASSERT_EQ(m.size(), 1u) << int(cmd);
    EXPECT_EQ(le32(m[0].data() + HDR_STATUS), STATUS_NOTIFY_CLEANUP);
  }
}

TEST_F(Notify, RefusalsAndBounds) {
  const uint64_t file_fid = [&] {
    EXPECT_TRUE(t.file("pub/f.txt", "x"));
    return c.open(tree, "f.txt");
  }();
  EXPECT_EQ(notify(kAllChanges, 0, 4096, file_fid).status(), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(notify(kAllChanges, 0, 4096, 0x777777).status(), STATUS_FILE_CLOSED);
  bytes shortb = notify_body(dir, kAllChanges);
  shortb.resize(20);
  EXPECT_EQ(c.one({SMB2_CHANGE_NOTIFY, tree, 0, kSessionId, shortb}).status(), STATUS_INVALID_PARAMETER);
  // Another session's or tree's request never waits on the handle.
  const bytes body = notify_body(dir, kAllChanges);
  EXPECT_EQ(c.one({SMB2_CHANGE_NOTIFY, tree, 0, kSessionId + 2, body}).status(), STATUS_USER_SESSION_DELETED);
  EXPECT_EQ(c.one({SMB2_CHANGE_NOTIFY, tree + 1, 0, kSessionId, body}).status(), STATUS_NETWORK_NAME_DELETED);
  // One waiting request per handle.
  ASSERT_EQ(notify(kAllChanges).status(), STATUS_PENDING);
  EXPECT_EQ(notify(kAllChanges).status(), STATUS_INSUFFICIENT_RESOURCES);
  // The connection's bound: a tree watch needs three folders, two are left.
  ASSERT_EQ(tw3_set_option("max_watches_per_conn", "3"), 0);
  tw3_opts_get(&c.get()->opts);
  const uint64_t second = c.open(tree, "", 1);
  EXPECT_EQ(notify(kAllChanges, SMB2_WATCH_TREE, 4096, second).status(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(tw3_notify_server_watches(), 1);  // the refused watch gave its folders back
  EXPECT_EQ(notify(kAllChanges, 0, 4096, second).status(), STATUS_PENDING);
  // The server's bound.
  ASSERT_EQ(tw3_set_option("max_watches_per_conn", "100"), 0);
  ASSERT_EQ(tw3_set_option("max_watches", "2"), 0);
  tw3_opts_get(&c.get()->opts);
  EXPECT_EQ(notify(kAllChanges, 0, 4096, c.open(tree, "sub", 1)).status(), STATUS_INSUFFICIENT_RESOURCES);
  // A folder the host will not watch.
  ASSERT_EQ(tw3_set_option("max_watches", "100"), 0);
  tw3_opts_get(&c.get()->opts);
  g_host.refuse_add = true;
  EXPECT_EQ(notify(kAllChanges, 0, 4096, c.open(tree, "sub", 1)).status(), STATUS_INSUFFICIENT_RESOURCES);
}

// Names travel as clients see them: the characters SMB cannot carry as
// private-use characters, and a change to a hidden name is not reported.
TEST_F(Notify, NamesAsClientsSeeThem) {
  if (tw3_host_name_rules().windows) GTEST_SKIP() << "Windows names need no mapping";
  ASSERT_EQ(notify(kAllChanges).status(), STATUS_PENDING);
  host_event(TW3_WATCH_ADDED, "pu\xEF\x80\xA2x");  // holds U+F022 itself: hidden
  host_event(TW3_WATCH_ADDED, "sub/a:b.");
  tw3_notify_poll(c.get());
  auto m = sent();
  ASSERT_EQ(m.size(), 1u);
  auto recs = records_of(m[0]);
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(recs[0].name, "sub\\a\xEF\x80\xA2" "b\xEF\x80\xA9");
}

}  // namespace
