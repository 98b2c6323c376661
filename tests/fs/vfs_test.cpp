// Share-rooted resolution and listing against a real folder tree: links
// inside and outside the share, special files, unusual names, ordering and
// the entry cap.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "config/config.h"
#include "fs/fs.h"
#include "fs/listing.h"
#include "platform/platform.h"
#include "platform/step_hook.h"
#include "platform/tempdir.h"
#include "util/util.h"

namespace {

constexpr const char* kNotFound = "The file cannot be found.";

// Layout: share/ is published as "docs", single.txt as "one"; outside/ and
// share2/ (a sibling whose name extends the root's) are not published.
class Vfs : public ::testing::Test {
 protected:
  void SetUp() override {
    tw3_config_reset_for_tests();
    ASSERT_TRUE(t.ok());
    for (const char* d : {"share", "share/sub", "outside", "share2"}) ASSERT_TRUE(t.dir(d)) << d;
    for (const char* f : {"share/b", "share/A", "share/a", "share/B", "outside/secret.txt",
                          "share2/x", "share/line\nfeed", "share/cr\rname", "share/bad\xff"}) {
      ASSERT_TRUE(t.file(f)) << f;
    }
    ASSERT_TRUE(t.file("share/sub/inner.txt", "xyz"));
    ASSERT_TRUE(t.file("single.txt", "single"));
    ASSERT_TRUE(t.link("sub", "share/link_in"));
    ASSERT_TRUE(t.link("sub/inner.txt", "share/link_file_in"));
    ASSERT_TRUE(t.link(t.sub("share/sub"), "share/link_abs_in"));
    ASSERT_TRUE(t.link("../outside", "share/link_out"));
    ASSERT_TRUE(t.link("../share2", "share/link_sib"));
    ASSERT_TRUE(t.link("missing", "share/broken"));
    ASSERT_TRUE(t.fifo("share/fifo"));
    ASSERT_EQ(tw3_add_share("docs", t.sub("share").c_str()), 0) << tw3_error();
    ASSERT_EQ(tw3_add_share("one", t.sub("single.txt").c_str()), 0) << tw3_error();
  }
  void TearDown() override { tw3_config_reset_for_tests(); }

  temp_dir t;
};

TEST_F(Vfs, ResolveStaysInsideTheShare) {
  const std::string long_path(2100, 'a');
  struct Case {
    const char* share;
    const char* vpath;
    int32_t kind;       // TW3_VRES_NONE: fails
    const char* local;  // relative to the scratch folder
    int refused;        // path_refused increments
  };
  const Case cases[] = {
      {"docs", "", TW3_VRES_DIR, "share", 0},
      {"docs", nullptr, TW3_VRES_DIR, "share", 0},
      {"DoCs", "sub/inner.txt", TW3_VRES_FILE, "share/sub/inner.txt", 0},
      {"docs", "link_in", TW3_VRES_DIR, "share/sub", 0},
      {"docs", "link_in/inner.txt", TW3_VRES_FILE, "share/sub/inner.txt", 0},
      {"docs", "link_abs_in", TW3_VRES_DIR, "share/sub", 0},
      {"docs", "link_out", TW3_VRES_NONE, nullptr, 1},
      {"docs", "link_out/secret.txt", TW3_VRES_NONE, nullptr, 1},
      {"docs", "link_sib", TW3_VRES_NONE, nullptr, 1},
      {"docs", "broken", TW3_VRES_NONE, nullptr, 0},
      {"docs", "missing", TW3_VRES_NONE, nullptr, 0},
      {"docs", "fifo", TW3_VRES_NONE, nullptr, 0},
      {"docs", long_path.c_str(), TW3_VRES_NONE, nullptr, 0},
      {"nosuch", "", TW3_VRES_NONE, nullptr, 0},
      {nullptr, "", TW3_VRES_NONE, nullptr, 0},
      {"one", "", TW3_VRES_FILE, "single.txt", 0},
      {"ONE", "x", TW3_VRES_NONE, nullptr, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.share ? c.share : "(null)") + ":" + (c.vpath ? c.vpath : "(null)"));
    const int64_t refused_before = tw3_stat_get(ST_PATH_REFUSED);
    tw3_vres r{};
    const int rc = tw3_vfs_resolve(c.share, c.vpath, &r);
    EXPECT_EQ(tw3_stat_get(ST_PATH_REFUSED) - refused_before, c.refused);
    EXPECT_EQ(r.kind, c.kind);
    if (c.kind == TW3_VRES_NONE) {
      EXPECT_EQ(rc, -1);
      EXPECT_STREQ(tw3_error(), kNotFound);
      continue;
    }
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(std::string(r.local_path), t.sub(c.local));
    tw3_stat st{};
    ASSERT_EQ(tw3_fs_stat(r.local_path, &st), 0);
    EXPECT_EQ(r.st.file_index, st.file_index);
  }
}

TEST_F(Vfs, IpcHasNoLocalObject) {
  tw3_vres r{};
  ASSERT_EQ(tw3_vfs_resolve("ipc$", "", &r), 0);
  EXPECT_EQ(r.kind, TW3_VRES_IPC);
  EXPECT_STREQ(r.local_path, "");
  EXPECT_EQ(tw3_vfs_resolve("docs", "", nullptr), -1);
}

TEST_F(Vfs, RootOfTheHostContainsEverythingBelowIt) {
  ASSERT_EQ(tw3_add_share("all", "/"), 0) << tw3_error();
  const std::string v = t.sub("share/link_out/secret.txt").substr(1);
  tw3_vres r{};
  ASSERT_EQ(tw3_vfs_resolve("all", v.c_str(), &r), 0);
  EXPECT_EQ(std::string(r.local_path), t.sub("outside/secret.txt"));
}

struct Listed {
  std::string name;
  int32_t kind;
  int32_t target_kind;
  bool operator==(const Listed&) const = default;
};

// A listing as handed out now: every entry still there, with its status.
struct Listing {
  int rc = TW3_LISTING_FAILED;
  std::vector<std::string> names;
  std::vector<tw3_vent> e;  // names point into `names`

  std::vector<Listed> listed() const {
    std::vector<Listed> out;
    for (const tw3_vent& v : e) out.push_back({v.name, v.kind, v.target_kind});
    return out;
  }
  const tw3_vent* find(const std::string& name) const {
    for (const tw3_vent& v : e) {
      if (name == v.name) return &v;
    }
    return nullptr;
  }
};

Listing list(const tw3_vres& r) {
  Listing out;
  tw3_listing* l = nullptr;
  out.rc = tw3_listing_acquire(&r, UINT64_MAX, &l);
  if (out.rc != TW3_LISTING_OK) return out;
  std::vector<tw3_vent> all(size_t(tw3_listing_count(l)));
  EXPECT_EQ(tw3_listing_read(l, 0, all.data(), int32_t(all.size()), tw3_now_ms()), int32_t(all.size()));
  for (const tw3_vent& v : all) {
    if (v.name != nullptr) out.names.emplace_back(v.name);
  }
  size_t k = 0;
  for (const tw3_vent& v : all) {
    if (v.name == nullptr) continue;
    out.e.push_back(v);
    out.e.back().name = out.names[k++].c_str();
  }
  tw3_listing_release(l);
  return out;
}

TEST_F(Vfs, ListingKeepsWhatAClientMayReachInByteOrder) {
  tw3_vres r{};
  ASSERT_EQ(tw3_vfs_resolve("docs", "", &r), 0);
  const Listing got = list(r);
  ASSERT_EQ(got.rc, TW3_LISTING_OK);
  // Left out: links leaving the share or broken, the FIFO, and names with
  // invalid UTF-8. CR and LF travel as U+F00D and U+F00A.
  const std::vector<Listed> want = {
      {"A", 0, 0},           {"B", 0, 0},       {"a", 0, 0},          {"b", 0, 0},
      {"cr\xEF\x80\x8Dname", 0, 0}, {"line\xEF\x80\x8A" "feed", 0, 0},
      {"link_abs_in", 2, 1}, {"link_file_in", 2, 0}, {"link_in", 2, 1}, {"sub", 1, 1},
  };
  EXPECT_EQ(got.listed(), want);

  // A link carries its target's size and times but its own identity.
  struct stat target {}, self {};
  ASSERT_EQ(::stat(t.sub("share/sub/inner.txt").c_str(), &target), 0);
  ASSERT_EQ(::lstat(t.sub("share/link_file_in").c_str(), &self), 0);
  const tw3_vent* link = got.find("link_file_in");
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(link->size, 3u);
  EXPECT_EQ(link->mtime, target.st_mtim.tv_sec);
  EXPECT_EQ(link->atime, target.st_atim.tv_sec);
  EXPECT_EQ(link->file_index, self.st_ino);
  EXPECT_EQ(link->volume_serial, self.st_dev);
}

TEST_F(Vfs, ListingRefusesWhatIsNotAFolderAnyMore) {
  tw3_listing* l = reinterpret_cast<tw3_listing*>(1);
  tw3_vres file{};
  ASSERT_EQ(tw3_vfs_resolve("one", "", &file), 0);
  EXPECT_EQ(tw3_listing_acquire(&file, UINT64_MAX, &l), TW3_LISTING_FAILED);
  EXPECT_STREQ(tw3_error(), "Not a directory.");
  EXPECT_EQ(l, nullptr);

  // The folder is swapped for a link to outside after it was resolved.
  tw3_vres dir{};
  ASSERT_EQ(tw3_vfs_resolve("docs", "sub", &dir), 0);
  ASSERT_EQ(std::rename(t.sub("share/sub").c_str(), t.sub("share/sub_old").c_str()), 0);
  ASSERT_TRUE(t.link(t.sub("outside"), "share/sub"));
  EXPECT_EQ(tw3_listing_acquire(&dir, UINT64_MAX, &l), TW3_LISTING_FAILED);
  EXPECT_STREQ(tw3_error(), kNotFound);
  EXPECT_EQ(l, nullptr);
  tw3_listing_release(nullptr);
}

TEST_F(Vfs, EntriesAreExaminedInTheFolderThatNamedThem) {
  // outside/ holds objects of the same names but other sizes; sub/ is
  // swapped for a link to it after the listing read its names and before
  // it examines the first of them.
  ASSERT_TRUE(t.link("inner.txt", "share/sub/lnk"));
  ASSERT_TRUE(t.file("outside/inner.txt", std::string(999, 'o')));
  ASSERT_TRUE(t.file("outside/lnk", std::string(999, 'o')));
  tw3_vres dir{};
  ASSERT_EQ(tw3_vfs_resolve("docs", "sub", &dir), 0);
  step_hook hook(TW3_FS_STEP_ENTRY, "", [&] {
    ASSERT_TRUE(t.swap("share/sub", [&](const std::string& rel) { return t.link(t.sub("outside"), rel); }));
  });
  const Listing got = list(dir);
  ASSERT_EQ(got.rc, TW3_LISTING_OK);
  ASSERT_TRUE(hook.fired());
  // The file is the folder's own; the link, followed by name, would now
  // lead outside the share and is left out.
  ASSERT_EQ(got.e.size(), 1u);
  EXPECT_STREQ(got.e[0].name, "inner.txt");
  EXPECT_EQ(got.e[0].size, 3u);
  struct stat own {};
  ASSERT_EQ(::stat(t.sub("share/sub.old/inner.txt").c_str(), &own), 0);
  EXPECT_EQ(got.e[0].file_index, own.st_ino);
}

TEST_F(Vfs, EmptyFolderListsNothing) {
  ASSERT_TRUE(t.dir("share/empty"));
  tw3_vres r{};
  ASSERT_EQ(tw3_vfs_resolve("docs", "empty", &r), 0);
  const Listing got = list(r);
  ASSERT_EQ(got.rc, TW3_LISTING_OK);
  EXPECT_TRUE(got.e.empty());
}

TEST_F(Vfs, ListingStopsAtTheEntryCapAndStaysSorted) {
  constexpr int kFiles = TW3_LIST_MAX + 10;
  ASSERT_TRUE(t.dir("big"));
  char name[32];
  for (int i = 0; i < kFiles; ++i) {
    std::snprintf(name, sizeof name, "big/%06d", i);
    const int fd = ::open(t.sub(name).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << name;
    ::close(fd);
  }
  ASSERT_EQ(tw3_add_share("big", t.sub("big").c_str()), 0) << tw3_error();
  tw3_vres r{};
  ASSERT_EQ(tw3_vfs_resolve("big", "", &r), 0);
  const Listing got = list(r);
  ASSERT_EQ(got.rc, TW3_LISTING_OK);
  ASSERT_EQ(got.e.size(), size_t(TW3_LIST_MAX));
  int unordered = 0;
  for (size_t i = 1; i < got.e.size(); ++i) unordered += std::string(got.e[i - 1].name) >= got.e[i].name;
  EXPECT_EQ(unordered, 0);
}

}  // namespace
