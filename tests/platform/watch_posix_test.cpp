// Folder change notifications of the host: names relative to the root, one
// event per kind of change, folders below added one by one, and links never
// followed. inotify queues an event before the call that caused it returns,
// so a read right after the change finds it.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/tempdir.h"

namespace {

struct seen {
  uint32_t action;
  std::string name;
  bool operator==(const seen&) const = default;
};

std::vector<seen> drain(tw3_watch* w) {
  std::vector<seen> out;
  tw3_watch_event ev[16];
  for (int guard = 0; guard < 100; ++guard) {
    const int n = tw3_watch_read(w, ev, 16, 0);
    EXPECT_GE(n, 0);
    if (n <= 0) break;
    for (int i = 0; i < n; ++i) out.push_back({ev[i].action, ev[i].name});
  }
  return out;
}

TEST(Watch, ReportsChangesByNameRelativeToTheRoot) {
  temp_dir t;
  ASSERT_TRUE(t.ok());
  ASSERT_TRUE(t.dir("root"));
  ASSERT_TRUE(t.dir("root/sub"));
  ASSERT_TRUE(t.dir("outside"));
  ASSERT_TRUE(t.link(t.sub("outside"), "root/link"));
  tw3_watch* w = tw3_watch_open();
  ASSERT_NE(w, nullptr);
  const std::string root = t.sub("root");
  ASSERT_EQ(tw3_watch_add(w, root.c_str(), ""), 0);
  ASSERT_EQ(tw3_watch_add(w, root.c_str(), "sub"), 0);
  EXPECT_EQ(tw3_watch_add(w, root.c_str(), "link"), -1);  // a link leads out: refused
  EXPECT_EQ(tw3_watch_add(w, root.c_str(), "missing"), -1);
  EXPECT_EQ(tw3_watch_count(w), 2);

  ASSERT_TRUE(t.file("root/a.txt"));
  ASSERT_TRUE(t.file("root/sub/b.txt"));
  ASSERT_TRUE(t.file("outside/c.txt"));  // through the link: not watched
  ASSERT_EQ(std::rename(t.sub("root/a.txt").c_str(), t.sub("root/sub/a2.txt").c_str()), 0);
  ASSERT_EQ(std::remove(t.sub("root/sub/b.txt").c_str()), 0);
  // Moved out of and into the watched folders: gone and new.
  ASSERT_TRUE(t.file("root/leaving"));
  ASSERT_EQ(std::rename(t.sub("root/leaving").c_str(), t.sub("outside/left").c_str()), 0);
  ASSERT_EQ(std::rename(t.sub("outside/c.txt").c_str(), t.sub("root/came").c_str()), 0);
  const std::vector<seen> got = drain(w);
  const std::vector<seen> want = {
      {TW3_WATCH_ADDED, "a.txt"},          {TW3_WATCH_MODIFIED, "a.txt"},
      {TW3_WATCH_ADDED, "sub/b.txt"},      {TW3_WATCH_MODIFIED, "sub/b.txt"},
      {TW3_WATCH_RENAMED_OLD, "a.txt"},    {TW3_WATCH_RENAMED_NEW, "sub/a2.txt"},
      {TW3_WATCH_REMOVED, "sub/b.txt"},
      {TW3_WATCH_ADDED, "leaving"},        {TW3_WATCH_MODIFIED, "leaving"},
      {TW3_WATCH_REMOVED, "leaving"},      {TW3_WATCH_ADDED, "came"},
  };
  EXPECT_EQ(got, want);
  // A folder that goes away drops out of the count.
  ASSERT_EQ(std::remove(t.sub("root/sub/a2.txt").c_str()), 0);
  ASSERT_EQ(std::remove(t.sub("root/sub").c_str()), 0);
  (void)drain(w);
  EXPECT_EQ(tw3_watch_count(w), 1);
  tw3_watch_close(w);
  tw3_watch_close(nullptr);
}

}  // namespace
