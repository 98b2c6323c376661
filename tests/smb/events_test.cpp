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

TEST_F(Events, NothingIsReportedWithoutASink) {
  tw3_event_set_sink(nullptr);
  c.open(c.connect("films"), "dir\\b.txt");
  EXPECT_NE(c.create(1, create_body("nothing.txt")).status(), STATUS_SUCCESS);
  EXPECT_TRUE(g_seen.empty());
}

}  // namespace
