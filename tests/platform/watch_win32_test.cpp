// Folder change notifications of the Windows host (ReadDirectoryChangesW,
// run under wine in the cross build): names relative to the root with '/',
// the root alone until a folder below is added, folders not added left
// out, renames and removals. The system reports changes a moment after they
// happen, so each check waits (bounded) for what it expects; modifications
// are left out of the comparisons, since how many a write makes differs
// between systems.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <ostream>
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

void PrintTo(const seen& s, std::ostream* os) { *os << "{" << s.action << ", " << s.name << "}"; }

// Reads until `want` events other than modifications came, or about 5 s
// passed; then a short look for anything more.
std::vector<seen> gather(tw3_watch* w, size_t want) {
  std::vector<seen> out;
  tw3_watch_event ev[16];
  for (int round = 0; round < 50; ++round) {
    const int n = tw3_watch_read(w, ev, 16, out.size() >= want ? 50 : 100);
    EXPECT_GE(n, 0);
    if (n < 0) break;
    for (int i = 0; i < n; ++i)
      if (ev[i].action != TW3_WATCH_MODIFIED) out.push_back({ev[i].action, ev[i].name});
    if (n == 0 && out.size() >= want) break;
  }
  return out;
}

void rename_ok(const temp_dir& t, const std::string& from, const std::string& to) {
  std::error_code ec;
  std::filesystem::rename(temp_dir::fs_path(t.sub(from)), temp_dir::fs_path(t.sub(to)), ec);
  ASSERT_FALSE(ec) << ec.message();
}

TEST(WatchWin32, ReportsChangesByNameRelativeToTheRoot) {
  temp_dir t;
  ASSERT_TRUE(t.ok());
  ASSERT_TRUE(t.dir("root"));
  ASSERT_TRUE(t.dir("root/sub"));
  ASSERT_TRUE(t.dir("root/other"));  // below the root but never added
  tw3_watch* w = tw3_watch_open();
  ASSERT_NE(w, nullptr);
  const std::string root = t.sub("root");
  ASSERT_EQ(tw3_watch_add(w, root.c_str(), ""), 0);
  EXPECT_EQ(tw3_watch_add(w, root.c_str(), "missing"), -1);
  EXPECT_EQ(tw3_watch_add(w, root.c_str(), "sub\\x"), -1);  // '/' between folders, nothing else

  // The root alone: a file below it is not reported.
  ASSERT_TRUE(t.file("root/sub/early.txt", "x"));
  ASSERT_TRUE(t.file("root/a.txt", "hello"));
  EXPECT_EQ(gather(w, 1), (std::vector<seen>{{TW3_WATCH_ADDED, "a.txt"}}));

  ASSERT_EQ(tw3_watch_add(w, root.c_str(), "sub"), 0);
  ASSERT_EQ(tw3_watch_add(w, root.c_str(), "sub"), 0);  // once is enough
  EXPECT_EQ(tw3_watch_count(w), 2);
  ASSERT_TRUE(t.file("root/sub/b.txt", "bb"));
  ASSERT_TRUE(t.file("root/other/c.txt", "c"));  // a folder not added: left out
  rename_ok(t, "root/a.txt", "root/a2.txt");
  ASSERT_EQ(std::remove(t.sub("root/sub/b.txt").c_str()), 0);
  rename_ok(t, "root/other/c.txt", "root/came.txt");  // into the watched folders: new
  const std::vector<seen> want = {
      {TW3_WATCH_ADDED, "sub/b.txt"},
      {TW3_WATCH_RENAMED_OLD, "a.txt"},
      {TW3_WATCH_RENAMED_NEW, "a2.txt"},
      {TW3_WATCH_REMOVED, "sub/b.txt"},
      {TW3_WATCH_ADDED, "came.txt"},
  };
  EXPECT_EQ(gather(w, want.size()), want);

  // A folder that goes away drops out of the count.
  std::error_code ec;
  ASSERT_EQ(std::filesystem::remove_all(temp_dir::fs_path(t.sub("root/sub")), ec), 1u + 1u) << ec.message();
  (void)gather(w, 2);
  EXPECT_EQ(tw3_watch_count(w), 1);
  tw3_watch_close(w);
  tw3_watch_close(nullptr);
}

// Each new name says whether it is a folder (which a client's filter and a
// tree watch go by); also in a burst of many, which is told apart from the
// names' attributes without opening each.
TEST(WatchWin32, TellsNewFoldersFromNewFiles) {
  temp_dir t;
  ASSERT_TRUE(t.ok());
  ASSERT_TRUE(t.dir("root"));
  tw3_watch* w = tw3_watch_open();
  ASSERT_NE(w, nullptr);
  ASSERT_EQ(tw3_watch_add(w, t.sub("root").c_str(), ""), 0);
  constexpr int kEach = 100;
  for (int i = 0; i < kEach; ++i) {
    ASSERT_TRUE(t.dir("root/d" + std::to_string(i)));
    ASSERT_TRUE(t.file("root/f" + std::to_string(i), "x"));
  }
  int folders = 0, files = 0, wrong = 0;
  tw3_watch_event ev[64];
  for (int round = 0; round < 100 && folders + files < 2 * kEach; ++round) {
    const int n = tw3_watch_read(w, ev, 64, 100);
    ASSERT_GE(n, 0);
    for (int i = 0; i < n; ++i) {
      ASSERT_NE(ev[i].action, TW3_WATCH_OVERFLOW);
      if (ev[i].action != TW3_WATCH_ADDED) continue;
      const bool folder = ev[i].name[0] == 'd';
      (folder ? folders : files) += 1;
      if ((ev[i].is_dir != 0) != folder) ++wrong;
    }
  }
  EXPECT_EQ(folders, kEach);
  EXPECT_EQ(files, kEach);
  EXPECT_EQ(wrong, 0);
  tw3_watch_close(w);
}

TEST(WatchWin32, ClosesWithAReadOutstanding) {
  temp_dir t;
  ASSERT_TRUE(t.ok());
  for (int i = 0; i < 8; ++i) {
    tw3_watch* w = tw3_watch_open();
    ASSERT_NE(w, nullptr);
    ASSERT_EQ(tw3_watch_add(w, t.path().c_str(), ""), 0);
    tw3_watch_event ev[4];
    EXPECT_EQ(tw3_watch_read(w, ev, 4, 0), 0);
    tw3_watch_close(w);
  }
}

}  // namespace
