// The POSIX file layer: kinds with and without following links, canonical
// paths and their buffer rule, enumeration, and link-refusing reads.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <set>
#include <string>

#include "platform/platform.h"
#include "platform/step_hook.h"
#include "platform/tempdir.h"

namespace {

class FileLayer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(t.ok());
    ASSERT_TRUE(t.file("file.txt", "hello world"));
    ASSERT_TRUE(t.dir("dir"));
    ASSERT_TRUE(t.file("dir/inner.txt", "x"));
    ASSERT_TRUE(t.link("file.txt", "link_file"));
    ASSERT_TRUE(t.link("dir", "link_dir"));
    ASSERT_TRUE(t.link("missing", "broken"));
    ASSERT_TRUE(t.fifo("fifo"));
  }
  void TearDown() override { g_fs_no_openat2 = 0; }
  temp_dir t;
};

TEST_F(FileLayer, StatFollowsLinksAndLstatReportsThem) {
  struct Case {
    const char* rel;  // null: /dev/null
    int stat_rc;
    int32_t stat_kind;
    int32_t lstat_kind;
  };
  const Case cases[] = {
      {"file.txt", 0, TW3_KIND_FILE, TW3_KIND_FILE},
      {"dir", 0, TW3_KIND_DIR, TW3_KIND_DIR},
      {"link_file", 0, TW3_KIND_FILE, TW3_KIND_LINK},
      {"link_dir", 0, TW3_KIND_DIR, TW3_KIND_LINK},
      {"broken", -1, 0, TW3_KIND_LINK},
      {"fifo", 0, TW3_KIND_OTHER, TW3_KIND_OTHER},
      {nullptr, 0, TW3_KIND_OTHER, TW3_KIND_OTHER},
  };
  for (const Case& c : cases) {
    const std::string p = c.rel ? t.sub(c.rel) : "/dev/null";
    SCOPED_TRACE(p);
    tw3_stat st{};
    ASSERT_EQ(tw3_fs_stat(p.c_str(), &st), c.stat_rc);
    if (c.stat_rc == 0) {
      EXPECT_EQ(st.kind, c.stat_kind);
    }
    ASSERT_EQ(tw3_fs_lstat(p.c_str(), &st), 0);
    EXPECT_EQ(st.kind, c.lstat_kind);
  }
}

TEST_F(FileLayer, StatusFieldsComeFromTheRightObject) {
  const timespec times[2] = {{1000000000, 0}, {1200000000, 0}};  // atime, mtime
  ASSERT_EQ(::utimensat(AT_FDCWD, t.sub("file.txt").c_str(), times, 0), 0);
  struct stat file_sb {}, link_sb {};
  ASSERT_EQ(::stat(t.sub("file.txt").c_str(), &file_sb), 0);
  ASSERT_EQ(::lstat(t.sub("link_file").c_str(), &link_sb), 0);

  tw3_stat st{};
  ASSERT_EQ(tw3_fs_stat(t.sub("link_file").c_str(), &st), 0);
  EXPECT_EQ(st.size, 11u);
  EXPECT_EQ(st.atime, 1000000000);
  EXPECT_EQ(st.mtime, 1200000000);
  EXPECT_EQ(st.volume_serial, file_sb.st_dev);
  EXPECT_EQ(st.file_index, file_sb.st_ino);
  // Either the recorded birth (now, after the mtime set above) or the
  // earlier of mtime and ctime: never zero, never before the mtime.
  EXPECT_GE(st.btime, st.mtime);

  ASSERT_EQ(tw3_fs_lstat(t.sub("link_file").c_str(), &st), 0);
  EXPECT_EQ(st.file_index, link_sb.st_ino);
  EXPECT_EQ(st.size, std::strlen("file.txt"));
}

TEST_F(FileLayer, InvalidUtf8FailsEverywhere) {
  // Each name exists on disk, so only the encoding check can refuse it.
  const char* const names[] = {"bad\xff", "over\xc0\xaf", "surr\xed\xa0\x80", "cut\xe2\x82"};
  for (const char* name : names) {
    ASSERT_TRUE(t.dir(name)) << name;
    const std::string p = t.sub(name);
    SCOPED_TRACE(p);
    tw3_stat st{};
    char out[4096];
    EXPECT_EQ(tw3_fs_stat(p.c_str(), &st), -1);
    EXPECT_EQ(tw3_fs_lstat(p.c_str(), &st), -1);
    EXPECT_EQ(tw3_fs_realpath(p.c_str(), out, sizeof out), -1);
    EXPECT_EQ(tw3_fs_opendir(p.c_str()), nullptr);
    EXPECT_EQ(tw3_fs_opendir_nofollow(p.c_str()), nullptr);
    ASSERT_TRUE(t.file(std::string(name) + "/f"));
    EXPECT_EQ(tw3_fs_open_ro((p + "/f").c_str(), nullptr), nullptr);
    tw3_space sp{};
    EXPECT_EQ(tw3_fs_space(p.c_str(), &sp), -1);
  }
  EXPECT_EQ(tw3_fs_stat(nullptr, nullptr), -1);
}

TEST_F(FileLayer, RealpathResolvesAndHonoursTheBufferSize) {
  EXPECT_EQ(tw3_fs_sep(), '/');
  const std::string want = t.sub("dir");
  char out[4096];
  ASSERT_EQ(tw3_fs_realpath(t.sub("dir/.././link_dir/").c_str(), out, sizeof out), 0);
  EXPECT_EQ(std::string(out), want);
  ASSERT_EQ(tw3_fs_realpath("/", out, sizeof out), 0);
  EXPECT_STREQ(out, "/");
  EXPECT_EQ(tw3_fs_realpath(t.sub("broken").c_str(), out, sizeof out), -1);

  const auto n = static_cast<int32_t>(want.size());
  std::memset(out, 'X', sizeof out);
  EXPECT_EQ(tw3_fs_realpath(want.c_str(), out, n), -1);
  EXPECT_EQ(out[0], 'X');  // untouched on failure
  EXPECT_EQ(tw3_fs_realpath(want.c_str(), out, 0), -1);
  ASSERT_EQ(tw3_fs_realpath(want.c_str(), out, n + 1), 0);
  EXPECT_EQ(std::string(out), want);
}

std::set<std::string> names_of(tw3_dir* d) {
  std::set<std::string> names;
  for (int guard = 0; guard < 1000; ++guard) {
    const char* n = tw3_fs_readdir(d);
    if (n == nullptr) break;
    names.insert(n);
  }
  tw3_fs_closedir(d);
  return names;
}

TEST_F(FileLayer, EnumerationSkipsDotsAndNamesNoClientCouldGet) {
  ASSERT_TRUE(t.dir("empty"));
  EXPECT_TRUE(names_of(tw3_fs_opendir(t.sub("empty").c_str())).empty());

  ASSERT_TRUE(t.dir("mix"));
  ASSERT_TRUE(t.file("mix/a"));
  ASSERT_TRUE(t.file("mix/line\nfeed"));
  ASSERT_TRUE(t.file("mix/bad\xff"));
  ASSERT_TRUE(t.file("mix/caf\xc3\xa9"));
  ASSERT_TRUE(t.dir("mix/sub"));
  const std::set<std::string> want = {"a", "line\nfeed", "caf\xc3\xa9", "sub"};
  EXPECT_EQ(names_of(tw3_fs_opendir(t.sub("mix").c_str())), want);
  EXPECT_EQ(names_of(tw3_fs_opendir_nofollow(t.sub("mix").c_str())), want);

  tw3_fs_closedir(nullptr);
  EXPECT_EQ(tw3_fs_readdir(nullptr), nullptr);
  EXPECT_EQ(tw3_fs_opendir(t.sub("file.txt").c_str()), nullptr);
  EXPECT_EQ(tw3_fs_opendir(t.sub("nothing").c_str()), nullptr);
}

// The link-refusing opens behave the same with openat2 and with the
// component-by-component walk used where the kernel lacks it.
class NoFollow : public FileLayer, public ::testing::WithParamInterface<int> {
 protected:
  void SetUp() override {
    FileLayer::SetUp();
    g_fs_no_openat2 = GetParam();
  }
};

TEST_P(NoFollow, OpenReadOnlyTakesOnlyRegularFilesReachedWithoutLinks) {
  struct Case {
    std::string path;
    bool opens;
  };
  const Case cases[] = {
      {t.sub("file.txt"), true},
      {t.sub("dir/inner.txt"), true},
      {t.sub("dir//inner.txt"), true},
      {t.sub("dir"), false},
      {t.sub("fifo"), false},  // would block without O_NONBLOCK
      {"/dev/null", false},
      {"/", false},
      {t.sub("link_file"), false},
      {t.sub("link_dir/inner.txt"), false},
      {t.sub("broken"), false},
      {t.sub("nothing"), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    tw3_stat st{};
    tw3_file* f = tw3_fs_open_ro(c.path.c_str(), &st);
    EXPECT_EQ(f != nullptr, c.opens);
    if (f != nullptr) {
      EXPECT_EQ(st.kind, TW3_KIND_FILE);
    }
    tw3_fs_close(f);
  }
  tw3_fs_close(nullptr);
}

TEST_P(NoFollow, DirectoryOpenRefusesLinksOnThePath) {
  const std::set<std::string> inner = {"inner.txt"};
  EXPECT_EQ(names_of(tw3_fs_opendir_nofollow(t.sub("dir").c_str())), inner);
  EXPECT_EQ(tw3_fs_opendir_nofollow(t.sub("link_dir").c_str()), nullptr);
  ASSERT_TRUE(t.dir("dir/deeper"));
  EXPECT_EQ(tw3_fs_opendir_nofollow(t.sub("link_dir/deeper").c_str()), nullptr);
  EXPECT_EQ(tw3_fs_opendir_nofollow(t.sub("file.txt").c_str()), nullptr);
  tw3_dir* root = tw3_fs_opendir_nofollow("/");
  EXPECT_NE(root, nullptr);
  tw3_fs_closedir(root);
  // The following variant still follows, which is what share registration wants.
  const std::set<std::string> both = {"deeper", "inner.txt"};
  EXPECT_EQ(names_of(tw3_fs_opendir(t.sub("link_dir").c_str())), both);
}

// What may be put where a checked file or folder was; opening any of them
// can have effects, so none may ever be opened.
struct Intruder {
  const char* what;
  bool (temp_dir::*make)(const std::string&) const;
};
const Intruder kIntruders[] = {
    {"fifo", &temp_dir::fifo},
    {"character device", &temp_dir::chardev},
    {"socket", &temp_dir::socket},
};

TEST_P(NoFollow, NameSwappedBeforeTheOpenOpensNothing) {
  for (const Intruder& in : kIntruders) {
    for (const bool folder : {false, true}) {
      SCOPED_TRACE(std::string(in.what) + (folder ? " for a folder" : " for a file"));
      ASSERT_TRUE(folder ? t.dir("victim") : t.file("victim", "data"));
      const std::string p = t.sub("victim");
      std::unique_ptr<open_watch> watch;
      bool made = false;
      {
        step_hook hook(TW3_FS_STEP_LOOKUP, p, [&] {
          made = t.swap("victim", [&](const std::string& rel) { return (t.*in.make)(rel); });
          if (made) watch = std::make_unique<open_watch>(p);
        });
        if (folder) {
          EXPECT_EQ(tw3_fs_opendir_nofollow(p.c_str()), nullptr);
        } else {
          EXPECT_EQ(tw3_fs_open_ro(p.c_str(), nullptr), nullptr);
        }
        EXPECT_TRUE(hook.fired());
      }
      if (made) {
        ASSERT_TRUE(watch->ok());
        EXPECT_FALSE(watch->opened());
        // The watch does see a real open where one is possible.
        const int fd = ::open(p.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
          EXPECT_TRUE(watch->opened());
          ::close(fd);
        }
      } else {
        EXPECT_STREQ(in.what, "character device");  // a host that refuses mknod
      }
      std::error_code ec;
      std::filesystem::remove_all(p, ec);
      std::filesystem::remove_all(p + ".old", ec);
    }
  }
}

TEST_P(NoFollow, NameSwappedAfterItIsPinnedOpensWhatWasChecked) {
  const std::string file = t.sub("file.txt"), dir = t.sub("dir");
  std::unique_ptr<open_watch> watch;
  const auto to_fifo = [&](const std::string& rel, const std::string& path) {
    return [&, rel, path] {
      ASSERT_TRUE(t.swap(rel, [&](const std::string& r) { return t.fifo(r); }));
      watch = std::make_unique<open_watch>(path);
    };
  };
  {
    step_hook hook(TW3_FS_STEP_PINNED, file, to_fifo("file.txt", file));
    tw3_stat st{};
    tw3_file* f = tw3_fs_open_ro(file.c_str(), &st);
    ASSERT_TRUE(hook.fired());
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(st.kind, TW3_KIND_FILE);
    EXPECT_EQ(st.size, 11u);
    char buf[16] = {};
    EXPECT_EQ(tw3_fs_pread(f, 0, buf, sizeof buf), 11);
    EXPECT_STREQ(buf, "hello world");
    tw3_fs_close(f);
    EXPECT_FALSE(watch->opened());
  }
  {
    step_hook hook(TW3_FS_STEP_PINNED, dir, to_fifo("dir", dir));
    const std::set<std::string> inner = {"inner.txt"};
    EXPECT_EQ(names_of(tw3_fs_opendir_nofollow(dir.c_str())), inner);
    ASSERT_TRUE(hook.fired());
    EXPECT_FALSE(watch->opened());
  }
}

TEST_P(NoFollow, SpaceIsThatOfTheHoldingFileSystemReachedWithoutLinks) {
  struct statvfs sv {};
  ASSERT_EQ(::statvfs(t.sub("dir").c_str(), &sv), 0);
  for (const char* rel : {"dir", "file.txt", "dir/inner.txt"}) {
    SCOPED_TRACE(rel);
    tw3_space sp{};
    ASSERT_EQ(tw3_fs_space(t.sub(rel).c_str(), &sp), 0);
    EXPECT_EQ(sp.unit, sv.f_frsize);
    EXPECT_EQ(sp.total, uint64_t(sv.f_blocks) * sv.f_frsize);
    EXPECT_LE(sp.avail, sp.free);
    EXPECT_LE(sp.free, sp.total);
  }
  tw3_space sp{};
  for (const char* rel : {"link_dir", "link_dir/inner.txt", "link_file", "broken", "nothing"}) {
    EXPECT_EQ(tw3_fs_space(t.sub(rel).c_str(), &sp), -1) << rel;
  }
  EXPECT_EQ(tw3_fs_space(t.sub("dir").c_str(), nullptr), -1);
}

INSTANTIATE_TEST_SUITE_P(Openat2AndWalk, NoFollow, ::testing::Values(0, 1));

TEST_F(FileLayer, EntryStatusIsTakenInTheEnumeratedFolder) {
  ASSERT_TRUE(t.link("inner.txt", "dir/link"));
  ASSERT_TRUE(t.dir("other"));
  ASSERT_TRUE(t.file("other/inner.txt", "a longer text"));
  tw3_dir* d = tw3_fs_opendir_nofollow(t.sub("dir").c_str());
  ASSERT_NE(d, nullptr);
  // The folder is moved away and a link to another takes its name: the
  // entries are still those of the folder being enumerated.
  ASSERT_TRUE(t.swap("dir", [&](const std::string& rel) { return t.link("other", rel); }));
  struct Case {
    const char* name;
    int rc;
    int32_t kind;
    uint64_t size;
  };
  const Case cases[] = {
      {"inner.txt", 0, TW3_KIND_FILE, 1},
      {"link", 0, TW3_KIND_LINK, std::strlen("inner.txt")},
      {"missing", -1, 0, 0},
      {"", -1, 0, 0},
      {".", -1, 0, 0},
      {"..", -1, 0, 0},
      {"../file.txt", -1, 0, 0},
      {"inner.txt/", -1, 0, 0},
      {"bad\xff", -1, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    tw3_stat st{};
    ASSERT_EQ(tw3_fs_entry_lstat(d, c.name, &st), c.rc);
    if (c.rc == 0) {
      EXPECT_EQ(st.kind, c.kind);
      EXPECT_EQ(st.size, c.size);
    }
  }
  tw3_stat st{};
  EXPECT_EQ(tw3_fs_entry_lstat(d, nullptr, &st), -1);
  EXPECT_EQ(tw3_fs_entry_lstat(nullptr, "inner.txt", &st), -1);
  tw3_fs_closedir(d);
}

TEST_F(FileLayer, PositionedReadsStopAtTheEnd) {
  tw3_file* f = tw3_fs_open_ro(t.sub("file.txt").c_str(), nullptr);
  ASSERT_NE(f, nullptr);
  struct Case {
    uint64_t offset;
    uint32_t count;
    const char* want;
  };
  const Case cases[] = {
      {0, 5, "hello"},   {6, 100, "world"}, {10, 1, "d"},         {11, 1, ""},
      {12, 1, ""},       {1u << 30, 4, ""}, {UINT64_MAX, 4, ""},   {0, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.offset);
    char buf[128] = {};
    const int64_t got = tw3_fs_pread(f, c.offset, buf, c.count);
    ASSERT_EQ(got, static_cast<int64_t>(std::strlen(c.want)));
    EXPECT_EQ(std::string(buf, static_cast<size_t>(got)), c.want);
  }
  tw3_fs_close(f);
  EXPECT_EQ(tw3_fs_pread(nullptr, 0, nullptr, 0), -1);
}

}  // namespace
