// Resolution of client names against a real folder: mapped names reach the
// host names they stand for, hidden names are reached by no spelling, and a
// name in another case finds the first entry equal without regard to case
// unless lookups are case-sensitive. The shared index follows the folder.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/config.h"
#include "fs/fs.h"
#include "fs/listing.h"
#include "platform/platform.h"
#include "platform/tempdir.h"
#include "util/util.h"

namespace {

std::string pu(unsigned low) { return std::string{char(0xEF), char(0x80), char(0x80 + (low & 0x3F))}; }

class NameLookup : public ::testing::Test {
 protected:
  void SetUp() override {
    tw3_config_reset_for_tests();
    tw3_name_index_reset();
    ASSERT_TRUE(t.ok());
    for (const char* d : {"share", "share/Sub Dir", "share/d:x"}) ASSERT_TRUE(t.dir(d)) << d;
    for (const char* f : {"share/A.txt", "share/a.txt", "share/Mixed Case.TXT", "share/a:b.txt", "share/trail.",
                          "share/Sub Dir/Inner.TXT", "share/d:x/f?.txt"}) {
      ASSERT_TRUE(t.file(f, f)) << f;
    }
    ASSERT_TRUE(t.file("share/pu" + pu(0x22) + "x", "hidden"));
    ASSERT_EQ(tw3_add_share("docs", t.sub("share").c_str()), 0) << tw3_error();
  }
  void TearDown() override {
    tw3_config_reset_for_tests();
    tw3_name_index_reset();
  }

  // The host path a client name resolves to, relative to the scratch
  // folder; "" when it does not resolve.
  std::string resolve(const std::string& vpath, bool case_sensitive) {
    tw3_vres r{};
    if (tw3_vfs_resolve("docs", vpath.c_str(), &r, case_sensitive) != 0) return "";
    const std::string local = r.local_path;
    return local.substr(t.path().size() + 1);
  }

  temp_dir t;
};

TEST_F(NameLookup, ExactThenAnyCase) {
  struct Case {
    std::string vpath;
    const char* insensitive;  // what it resolves to by default ("" none)
    const char* sensitive;    // with case_sensitive on
  };
  const Case cases[] = {
      {"A.txt", "share/A.txt", "share/A.txt"},
      {"a.txt", "share/a.txt", "share/a.txt"},
      {"A.TXT", "share/A.txt", ""},  // the first in listing order: "A" sorts before "a"
      {"mixed case.txt", "share/Mixed Case.TXT", ""},
      {"MIXED CASE.TXT", "share/Mixed Case.TXT", ""},
      {"sub dir/inner.txt", "share/Sub Dir/Inner.TXT", ""},
      {"SUB DIR", "share/Sub Dir", ""},
      {"a" + pu(0x22) + "B.TXT", "share/a:b.txt", ""},
      {"a" + pu(0x22) + "b.txt", "share/a:b.txt", "share/a:b.txt"},
      {"D" + pu(0x22) + "X/F" + pu(0x25) + ".TXT", "share/d:x/f?.txt", ""},
      {"TRAIL" + pu(0x29), "share/trail.", ""},
      {"trail" + pu(0x29), "share/trail.", "share/trail."},
      {"pu" + pu(0x22) + "x", "", ""},  // reads as "pu:x", which does not exist
      {"PU" + pu(0x22) + "X", "", ""},
      {"missing.txt", "", ""},
      {"Sub Dir/missing", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.vpath);
    EXPECT_EQ(resolve(c.vpath, false), c.insensitive);
    EXPECT_EQ(resolve(c.vpath, true), c.sensitive);
  }
}

TEST_F(NameLookup, ListingShowsMappedNamesAndHidesTheRest) {
  tw3_vres dir{};
  ASSERT_EQ(tw3_vfs_resolve("docs", "", &dir), 0);
  tw3_listing* l = nullptr;
  ASSERT_EQ(tw3_listing_acquire(&dir, TW3_LISTING_CONN_BUDGET, &l), TW3_LISTING_OK);
  std::vector<tw3_vent> e(static_cast<size_t>(tw3_listing_count(l)));
  const int32_t n = tw3_listing_read(l, 0, e.data(), static_cast<int32_t>(e.size()), tw3_now_ms());
  std::string names;
  for (int32_t i = 0; i < n; ++i) names += std::string(e[i].name) + "|";
  tw3_listing_release(l);
  EXPECT_EQ(names, "A.txt|Mixed Case.TXT|Sub Dir|a.txt|a" + pu(0x22) + "b.txt|d" + pu(0x22) + "x|trail" +
                       pu(0x29) + "|");
}

TEST_F(NameLookup, IndexFollowsTheFolderAndStaysBounded) {
  EXPECT_EQ(resolve("NEW.TXT", false), "");
  ASSERT_TRUE(t.file("share/New.txt", "n"));
  EXPECT_EQ(resolve("NEW.TXT", false), "share/New.txt");  // the folder changed: indexed again
  // Folders whose last change has settled are kept, each once.
  for (int i = 0; i < 80; ++i) ASSERT_TRUE(t.dir("share/d" + std::to_string(i)));
  tw3_name_index_reset();
  tw3_stat st{};
  ASSERT_EQ(tw3_fs_stat(t.sub("share").c_str(), &st), 0);
  st.change_ns = 1;  // long settled
  std::string found;
  const tw3_name_rules rules = tw3_host_name_rules();
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(tw3_name_index_find(t.sub("share").c_str(), st, "a.TXT", rules, &found));
    EXPECT_EQ(found, "A.txt");
    EXPECT_EQ(tw3_name_index_usage_get().folders, 1);
  }
  for (int i = 0; i < 80; ++i) {
    ASSERT_TRUE(tw3_name_index_find(t.sub("share/d" + std::to_string(i)).c_str(), st, "x", rules, &found) == false);
  }
  const tw3_name_index_usage u = tw3_name_index_usage_get();
  EXPECT_LE(u.folders, 64);
  EXPECT_GT(u.bytes, 0u);
}

}  // namespace
