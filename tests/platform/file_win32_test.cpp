// The Windows file layer (run under wine in the cross build): kinds,
// canonical paths in their usual form, enumeration, reads that leave the
// file's owner free to rename or delete it, long paths and invalid text.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>

#include "platform/platform.h"
#include "platform/tempdir.h"

namespace {

class WinFileLayer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(t.ok());
    ASSERT_TRUE(t.file("file.txt", "hello world"));
    ASSERT_TRUE(t.dir("dir"));
    ASSERT_TRUE(t.file("dir/inner.txt", "x"));
  }
  temp_dir t;
};

std::set<std::string> names_of(tw3_dir* d) {
  std::set<std::string> names;
  for (int guard = 0; guard < 100000 && d != nullptr; ++guard) {
    const char* n = tw3_fs_readdir(d);
    if (n == nullptr) break;
    names.insert(n);
  }
  tw3_fs_closedir(d);
  return names;
}

TEST_F(WinFileLayer, KindsSizesAndIdentity) {
  EXPECT_EQ(tw3_fs_sep(), '\\');
  EXPECT_EQ(tw3_fs_windows_names(), 1);
  tw3_stat st{}, again{};
  ASSERT_EQ(tw3_fs_stat(t.sub("file.txt").c_str(), &st), 0);
  EXPECT_EQ(st.kind, TW3_KIND_FILE);
  EXPECT_EQ(st.size, 11u);
  EXPECT_GT(st.mtime, 1600000000);
  ASSERT_EQ(tw3_fs_lstat(t.sub("file.txt").c_str(), &again), 0);
  EXPECT_EQ(again.file_index, st.file_index);
  EXPECT_EQ(again.volume_serial, st.volume_serial);
  ASSERT_EQ(tw3_fs_stat(t.sub("dir").c_str(), &st), 0);
  EXPECT_EQ(st.kind, TW3_KIND_DIR);
  EXPECT_NE(st.file_index, again.file_index);
  EXPECT_EQ(tw3_fs_stat(t.sub("missing").c_str(), &st), -1);
  // '/' is a separator too on the way in.
  ASSERT_EQ(tw3_fs_stat((t.path() + "/dir/inner.txt").c_str(), &st), 0);
  EXPECT_EQ(st.size, 1u);
}

TEST_F(WinFileLayer, CanonicalPathsHaveTheirUsualForm) {
  char out[4096];
  ASSERT_EQ(tw3_fs_realpath((t.path() + "\\dir\\..\\.\\dir\\").c_str(), out, sizeof out), 0);
  EXPECT_EQ(std::string(out), t.sub("dir"));
  EXPECT_NE(std::string(out).rfind("\\\\?\\", 0), 0u);  // no namespace prefix
  ASSERT_EQ(tw3_fs_realpath("C:\\", out, sizeof out), 0);
  EXPECT_STREQ(out, "C:\\");
  const std::string want = t.sub("dir");
  const auto n = static_cast<int32_t>(want.size());
  std::memset(out, 'X', sizeof out);
  EXPECT_EQ(tw3_fs_realpath(want.c_str(), out, n), -1);
  EXPECT_EQ(out[0], 'X');
  ASSERT_EQ(tw3_fs_realpath(want.c_str(), out, n + 1), 0);
  EXPECT_EQ(std::string(out), want);
}

TEST_F(WinFileLayer, EnumerationWithAndWithoutFollowing) {
  ASSERT_TRUE(t.dir("empty"));
  EXPECT_TRUE(names_of(tw3_fs_opendir(t.sub("empty").c_str())).empty());
  EXPECT_TRUE(names_of(tw3_fs_opendir_nofollow(t.sub("empty").c_str())).empty());
  ASSERT_TRUE(t.dir("mix"));
  const std::set<std::string> want = {"a", "caf\xC3\xA9", "sub", "\xE6\x97\xA5\xE6\x9C\xAC"};
  for (const std::string& n : want) ASSERT_TRUE(n == "sub" ? t.dir("mix/" + n) : t.file("mix/" + n)) << n;
  EXPECT_EQ(names_of(tw3_fs_opendir(t.sub("mix").c_str())), want);
  EXPECT_EQ(names_of(tw3_fs_opendir_nofollow(t.sub("mix").c_str())), want);
  EXPECT_EQ(tw3_fs_opendir_nofollow(t.sub("file.txt").c_str()), nullptr);
  // Many entries take several refills of the by-handle buffer.
  ASSERT_TRUE(t.dir("many"));
  for (int i = 0; i < 1500; ++i) ASSERT_TRUE(t.file("many/entry_with_a_longish_name_" + std::to_string(i)));
  EXPECT_EQ(names_of(tw3_fs_opendir_nofollow(t.sub("many").c_str())).size(), 1500u);
}

TEST_F(WinFileLayer, ReadsLeaveTheOwnerFreeToRenameAndDelete) {
  tw3_stat st{};
  tw3_file* f = tw3_fs_open_ro(t.sub("file.txt").c_str(), &st);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(st.size, 11u);
  char buf[32] = {};
  EXPECT_EQ(tw3_fs_pread(f, 6, buf, sizeof buf), 5);
  EXPECT_STREQ(buf, "world");
  EXPECT_EQ(tw3_fs_pread(f, 11, buf, 4), 0);   // at the end
  EXPECT_EQ(tw3_fs_pread(f, 1000, buf, 4), 0);  // beyond it
  std::error_code ec;
  std::filesystem::rename(temp_dir::fs_path(t.sub("file.txt")), temp_dir::fs_path(t.sub("moved.txt")), ec);
  EXPECT_FALSE(ec) << ec.message();
  EXPECT_TRUE(std::filesystem::remove(temp_dir::fs_path(t.sub("moved.txt")), ec)) << ec.message();
  tw3_fs_close(f);
  EXPECT_EQ(tw3_fs_open_ro(t.sub("dir").c_str(), nullptr), nullptr);  // a folder is no file
  EXPECT_EQ(tw3_fs_open_ro("\\\\.\\NUL", nullptr), nullptr);           // nor is a device
}

TEST_F(WinFileLayer, PathsBeyondMaxPath) {
  std::string rel;
  for (int i = 0; i < 6; ++i) {
    rel += (i ? "/" : "") + std::string(60, static_cast<char>('a' + i));
    ASSERT_TRUE(t.dir(rel)) << rel.size();
  }
  ASSERT_TRUE(t.file(rel + "/deep.txt", "deep"));
  const std::string deep = t.sub(rel + "/deep.txt");
  ASSERT_GT(deep.size(), 260u);
  tw3_stat st{};
  ASSERT_EQ(tw3_fs_stat(deep.c_str(), &st), 0);
  EXPECT_EQ(st.size, 4u);
  // Canonical paths come from GetFinalPathNameByHandleW, which wine answers
  // only up to MAX_PATH (Windows itself goes to 32,767 units).
  if (std::getenv("WINEPREFIX") != nullptr) GTEST_SKIP() << "wine's final path names stop at MAX_PATH";
  char out[4096];
  ASSERT_EQ(tw3_fs_realpath(deep.c_str(), out, sizeof out), 0);
  EXPECT_EQ(std::string(out), deep);
  tw3_file* f = tw3_fs_open_ro(deep.c_str(), nullptr);
  ASSERT_NE(f, nullptr);
  tw3_fs_close(f);
  tw3_space sp{};
  ASSERT_EQ(tw3_fs_space(deep.c_str(), &sp), 0);
  EXPECT_GT(sp.total, 0u);
  EXPECT_NE(sp.unit, 0u);
}

TEST_F(WinFileLayer, InvalidTextFailsEverywhere) {
  const std::string p = t.sub("bad\xff");
  tw3_stat st{};
  char out[64];
  EXPECT_EQ(tw3_fs_stat(p.c_str(), &st), -1);
  EXPECT_EQ(tw3_fs_lstat(p.c_str(), &st), -1);
  EXPECT_EQ(tw3_fs_realpath(p.c_str(), out, sizeof out), -1);
  EXPECT_EQ(tw3_fs_opendir(p.c_str()), nullptr);
  EXPECT_EQ(tw3_fs_open_ro(p.c_str(), nullptr), nullptr);
  tw3_space sp{};
  EXPECT_EQ(tw3_fs_space(p.c_str(), &sp), -1);
  EXPECT_EQ(tw3_fs_stat(nullptr, &st), -1);
  EXPECT_EQ(tw3_fs_stat("", &st), -1);
}

}  // namespace
