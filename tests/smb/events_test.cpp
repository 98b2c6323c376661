// The engine's access-log events: which requests report what, with the
// share-relative path of a file, and refusals from handlers and the gate.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/tempdir.h"
#include "smb/events.h"
#include "smb/files_sim.h"

namespace {

using namespace files_sim;

struct seen {
  tw3_ev kind;
  std::string share, path, command, status, user;
};

std::vector<seen> g_seen;

void record(const tw3_event* e) {
  g_seen.push_back({e->kind, e->share, e->path, e->command, e->status_name, e->user});
}

class Events : public ::testing::Test {
 protected:
  void SetUp() override {
    tw3_config_reset_for_tests();
    ASSERT_TRUE(t.ok());
    ASSERT_TRUE(t.dir("films"));
    ASSERT_TRUE(t.dir("films/dir"));
    ASSERT_TRUE(t.file("films/dir/b.txt", "b"));
    ASSERT_TRUE(t.file("single.bin", "single"));
    ASSERT_EQ(tw3_add_share("films", t.sub("films").c_str()), 0) << tw3_error();
    ASSERT_EQ(tw3_add_share("one", t.sub("single.bin").c_str()), 0) << tw3_error();
    g_seen.clear();
    tw3_event_set_sink(record);
  }
  void TearDown() override {
    tw3_event_set_sink(nullptr);
    tw3_config_reset_for_tests();
  }

  temp_dir t;
  conn c;
};

TEST_F(Events, TreesFileOpensAndRefusals) {
  uint32_t films = c.connect("FILMS");
  uint32_t one = c.connect("one");
  c.open(films, "dir");             // a directory: no event
  c.open(films, "dir\\b.txt");
  c.open(one, "");
  const uint32_t missing = c.create(films, create_body("nothing.txt")).status();
  EXPECT_NE(missing, STATUS_SUCCESS);
  EXPECT_EQ(c.write(0x21, {1, 2, 3}).status(), STATUS_ACCESS_DENIED);  // the write gate
  ASSERT_EQ(g_seen.size(), 6u);
  EXPECT_EQ(g_seen[0].kind, tw3_ev::tree_connect);
  EXPECT_EQ(g_seen[0].share, "films");
  EXPECT_EQ(g_seen[1].share, "one");
  EXPECT_EQ(g_seen[2].kind, tw3_ev::file_open);
  // The path inside the share, in the host's form.
  EXPECT_EQ(g_seen[2].share + ":" + g_seen[2].path, std::string("films:dir") + tw3_fs_sep() + "b.txt");
  EXPECT_EQ(g_seen[3].share + ":" + g_seen[3].path, "one:single.bin");
  EXPECT_EQ(g_seen[4].kind, tw3_ev::request_refused);
  EXPECT_EQ(g_seen[4].command + " " + g_seen[4].status, std::string("CREATE ") + tw3_status_name(missing));
  EXPECT_EQ(g_seen[5].command + " " + g_seen[5].status, "WRITE ACCESS_DENIED");
}

// READ, QUERY_DIRECTORY, QUERY_INFO and IOCTL are answered only for the
// session and a live tree of the connection: anything else is refused before
// the handler (the session first), reported like any other refusal, and the
// next request is served.
TEST_F(Events, SessionAndTreeAreCheckedBeforeTheHandler) {
  const uint32_t tree = c.connect("films");
  const uint32_t gone = c.connect("films");
  ASSERT_EQ(c.one({SMB2_TREE_DISCONNECT, gone, 0, kSessionId, {4, 0, 0, 0}}).status(), STATUS_SUCCESS);
  const uint64_t file = c.open(tree, "dir\\b.txt");
  const uint64_t dir = c.open(tree, "dir");
  struct command {
    request q;
    uint32_t served;  // the handler's own answer
  };
  const command commands[] = {
      {{SMB2_READ, tree, 0, kSessionId, read_body(file, 0, 1)}, STATUS_SUCCESS},
      {{SMB2_QUERY_DIRECTORY, tree, 0, kSessionId, qd_body(dir, FILE_ID_BOTH_DIRECTORY_INFORMATION, 1, "*")},
       STATUS_SUCCESS},
      {{SMB2_QUERY_INFO, tree, 0, kSessionId, qi_body(file, 1, 5, 4096)}, STATUS_SUCCESS},
      {{SMB2_IOCTL, tree, 0, kSessionId, ioctl_body(kAllOnes, 0x00060194, {}, kAllOnes)},
       STATUS_NOT_SUPPORTED},  // DFS referrals: the handler's refusal
  };
  struct fault {
    const char* what;
    bool logged_off;
    uint64_t session;
    uint32_t tree;
    uint32_t status;
    const char* name;
  };
  const fault faults[] = {
      {"no session", true, kSessionId, tree, STATUS_USER_SESSION_DELETED, "USER_SESSION_DELETED"},
      {"SessionId of no session", false, kSessionId + 2, tree, STATUS_USER_SESSION_DELETED,
       "USER_SESSION_DELETED"},
      {"both wrong: the session first", false, 0, 0, STATUS_USER_SESSION_DELETED, "USER_SESSION_DELETED"},
      {"TreeId 0", false, kSessionId, 0, STATUS_NETWORK_NAME_DELETED, "NETWORK_NAME_DELETED"},
      {"tree disconnected", false, kSessionId, gone, STATUS_NETWORK_NAME_DELETED, "NETWORK_NAME_DELETED"},
  };
  for (const command& k : commands) {
    for (const fault& f : faults) {
      SCOPED_TRACE(std::string(tw3_cmd_name(k.q.cmd)) + ", " + f.what);
      request bad = k.q;
      bad.session_id = f.session;
      bad.tree_id = f.tree;
      c.session()->authenticated = f.logged_off ? 0 : 1;
      g_seen.clear();
      const response r = c.one(bad);
      c.session()->authenticated = 1;
      EXPECT_EQ(r.status(), f.status);
      EXPECT_EQ(r.body_bytes(0, r.body_size()), tw3test::kErrorBody);
      ASSERT_EQ(g_seen.size(), 1u);
      EXPECT_EQ(g_seen[0].kind, tw3_ev::request_refused);
      EXPECT_EQ(g_seen[0].command + " " + g_seen[0].status,
                std::string(tw3_cmd_name(k.q.cmd)) + " " + f.name);
      EXPECT_EQ(c.one(k.q).status(), k.served);
      EXPECT_EQ(c.get()->closing, 0);
    }
  }
}

TEST_F(Events, NothingIsReportedWithoutASink) {
  tw3_event_set_sink(nullptr);
  c.open(c.connect("films"), "dir\\b.txt");
  EXPECT_NE(c.create(1, create_body("nothing.txt")).status(), STATUS_SUCCESS);
  EXPECT_TRUE(g_seen.empty());
}

}  // namespace
