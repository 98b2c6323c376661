// QUERY_DIRECTORY through the dispatcher: patterns, the six classes, single
// entries, buffer caps, short names, restarts, INDEX_SPECIFIED, links, that
// every listing ends in STATUS_NO_MORE_FILES, and listings shared between
// handles and connections within their budgets.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>
#include <thread>

#include "fs/listing.h"
#include "platform/tempdir.h"
#include "common/smb_frames.h"
#include "smb/files_sim.h"

namespace {

using namespace files_sim;

constexpr uint8_t kRestart = 0x01;
constexpr uint8_t kSingle = 0x02;
constexpr uint8_t kIndex = 0x04;
constexpr uint8_t kReopen = 0x10;
constexpr uint8_t kIdBoth = FILE_ID_BOTH_DIRECTORY_INFORMATION;

std::vector<std::string> names_of(const std::vector<dir_entry>& es) {
  std::vector<std::string> out;
  for (const dir_entry& e : es) out.push_back(e.name);
  return out;
}

class Listing : public ::testing::Test {
 protected:
  void SetUp() override {
    tw3_config_reset_for_tests();
    ASSERT_TRUE(t.ok());
    for (const char* d : {"m", "m/sub", "m/many", "m/texts", "outside"}) ASSERT_TRUE(t.dir(d)) << d;
    for (const char* f : {"m/a.txt", "m/B.Txt", "m/c.text", "m/readme.md", "m/archive.tar.gz",
                          "m/longername.txt", "m/a.b.c", "m/ten_chars1", "m/ten_chars2", "outside/x",
                          "m/texts/a.txt", "m/texts/b.txt", "m/texts/c.mp3", "m/texts/d.mp3"}) {
      ASSERT_TRUE(t.file(f)) << f;
    }
    ASSERT_TRUE(t.file("m/sub/inner", std::string(300, 'i')));
    ASSERT_TRUE(t.link("sub", "m/zlink_in"));
    ASSERT_TRUE(t.link("../outside", "m/zlink_out"));
    ASSERT_EQ(tw3_add_share("m", t.sub("m").c_str()), 0) << tw3_error();
    tree = c.connect("m");
  }
  void TearDown() override { tw3_config_reset_for_tests(); }

  std::vector<std::string> all_root_names() const {
    return {".", "..", "B.Txt", "a.b.c", "a.txt", "archive.tar.gz", "c.text", "longername.txt", "many",
            "readme.md", "sub", "ten_chars1", "ten_chars2", "texts", "zlink_in"};
  }

  temp_dir t;
  conn c;
  uint32_t tree = 0;
};

TEST_F(Listing, WholeListingThenNoMoreFilesThenRestart) {
  uint64_t dir = c.open(tree, "");
  int64_t sent = tw3_stat_get(ST_LISTINGS_SENT);
  response first = c.qd(dir, kIdBoth, 0, "*");
  ASSERT_EQ(first.status(), STATUS_SUCCESS);
  std::vector<dir_entry> es = decode_entries(first, kIdBoth);
  EXPECT_EQ(names_of(es), all_root_names()) << "the dots, then sorted byte-wise, no link leaving the share";
  for (size_t i = 0; i < es.size(); ++i) EXPECT_EQ(es[i].file_index, i + 1);

  response end = c.qd(dir, kIdBoth, 0, "*");
  EXPECT_EQ(end.status(), STATUS_NO_MORE_FILES);
  EXPECT_EQ(end.body_bytes(0, end.body_size()), tw3test::kErrorBody) << "a standard error body";
  EXPECT_EQ(tw3_stat_get(ST_LISTINGS_SENT) - sent, 2);

  // A restart sees files created since the snapshot.
  ASSERT_TRUE(t.file("m/new.txt"));
  EXPECT_EQ(c.qd(dir, kIdBoth, 0, "*").status(), STATUS_NO_MORE_FILES) << "still exhausted";
  for (uint8_t flag : {kRestart, kReopen}) {
    EXPECT_EQ(decode_entries(c.qd(dir, kIdBoth, flag, "*"), kIdBoth).size(), es.size() + 1);
  }
}

TEST_F(Listing, EveryClassLaysOutItsEntries) {
  struct stat st {};
  ASSERT_EQ(::lstat(t.sub("m/zlink_in").c_str(), &st), 0);
  struct Case {
    uint8_t cls;
    uint32_t fixed;
    int file_id_at;  // -1: none
  };
  const Case cases[] = {{1, 64, -1}, {2, 68, -1}, {3, 94, -1}, {12, 12, -1}, {37, 104, 96}, {38, 80, 72}};
  for (const Case& k : cases) {
    ASSERT_EQ(dirinfo_fixed_size(k.cls), k.fixed) << int(k.cls);
    uint64_t dir = c.open(tree, "");
    response r = c.qd(dir, k.cls, 0, "zlink_in");
    ASSERT_EQ(r.status(), STATUS_SUCCESS) << int(k.cls);
    std::vector<dir_entry> es = decode_entries(r, k.cls);
    ASSERT_EQ(names_of(es), std::vector<std::string>{"zlink_in"}) << int(k.cls);
    EXPECT_EQ(r.b32(4), (k.fixed + 16 + 7) & ~7u);
    if (k.cls != FILE_NAMES_INFORMATION) {
      EXPECT_EQ(es[0].attributes, 0x11u) << "a link to a folder lists as a folder";
      EXPECT_EQ(r.b64(8 + 8), r.b64(8 + 24)) << "CreationTime is the write time";
    }
    if (k.file_id_at >= 0) {
      EXPECT_EQ(r.b64(8 + size_t(k.file_id_at)), uint64_t(st.st_ino));
    }
    c.close(dir);
  }
}

TEST_F(Listing, PatternsAndShortNames) {
  uint64_t dir = c.open(tree, "");
  EXPECT_EQ(names_of(decode_entries(c.qd(dir, kIdBoth, 0, "*.TXT"), kIdBoth)),
            (std::vector<std::string>{"B.Txt", "a.txt", "longername.txt"}));
  std::vector<dir_entry> es = decode_entries(c.qd(dir, kIdBoth, kRestart, "*"), kIdBoth);
  std::set<std::pair<std::string, std::string>> shorts;
  for (const dir_entry& e : es) shorts.insert({e.name, e.short_name});
  for (auto want : std::vector<std::pair<std::string, std::string>>{
           {"readme.md", "README.MD"}, {"archive.tar.gz", ""}, {"longername.txt", ""},
           {"a.b.c", "A.B.C"}, {"zlink_in", "ZLINK_IN"}, {"ten_chars1", ""}}) {
    EXPECT_TRUE(shorts.count(want)) << want.first << " -> " << want.second;
  }
}

TEST_F(Listing, ShortNameShapes) {
  const std::pair<const char*, const char*> cases[] = {
      {"readme.md", "README.MD"}, {"a.b.c", "A.B.C"}, {"12345678.abc", "12345678.ABC"},
      {"12345678.", ""}, {"abc.", "ABC"}, {"123456789", ""}, {".hidden", ""}, {"x.abcd", ""},
      {"\xc3\xa4.txt", "\xc3\xa4.TXT"}, {"", ""},
  };
  for (auto [name, want] : cases) {
    uint8_t out[24];
    int n = dirinfo_short_name(name, out);
    char text[64] = "";
    ASSERT_GE(tw3_utf16_to_utf8(out, size_t(n), text, sizeof text), 0);
    EXPECT_STREQ(text, want) << name;
  }
}

TEST_F(Listing, SingleEntriesAndBufferCaps) {
  uint64_t dir = c.open(tree, "");
  for (uint32_t i = 1; i <= 3; ++i) {
    std::vector<dir_entry> es = decode_entries(c.qd(dir, kIdBoth, kSingle, "*"), kIdBoth);
    ASSERT_EQ(es.size(), 1u);
    EXPECT_EQ(es[0].file_index, i);
  }
  // 104 + 20 bytes of name = 128 per entry: one fits in 200, the next waits.
  uint64_t capped = c.open(tree, "");
  response r = c.qd(capped, kIdBoth, 0, "ten_chars?", 200);
  EXPECT_EQ(names_of(decode_entries(r, kIdBoth)), std::vector<std::string>{"ten_chars1"});
  EXPECT_EQ(r.b32(4), 128u);
  r = c.qd(capped, kIdBoth, 0, "ten_chars?", 200);
  EXPECT_EQ(names_of(decode_entries(r, kIdBoth)), std::vector<std::string>{"ten_chars2"});
  EXPECT_EQ(c.qd(capped, kIdBoth, 0, "ten_chars?", 200).status(), STATUS_NO_MORE_FILES);
  // A buffer too small for the next entry is refused (an empty success would
  // have the client ask again for ever); the entry waits for a larger one.
  const int64_t sent = tw3_stat_get(ST_LISTINGS_SENT);
  for (uint32_t cap : {100u, 127u}) {
    r = c.qd(capped, kIdBoth, kRestart, "ten_chars?", cap);
    EXPECT_EQ(r.status(), STATUS_INFO_LENGTH_MISMATCH) << cap;
    EXPECT_EQ(r.body_bytes(0, r.body_size()), tw3test::kErrorBody) << cap;
  }
  EXPECT_EQ(tw3_stat_get(ST_LISTINGS_SENT), sent) << "no listing was sent";
  r = c.qd(capped, kIdBoth, 0, "ten_chars?", 128);
  EXPECT_EQ(names_of(decode_entries(r, kIdBoth)), std::vector<std::string>{"ten_chars1"}) << "exactly fits";
}

TEST_F(Listing, PatternMatchingOnlyTheFirstEntriesEnds) {
  uint64_t dir = c.open(tree, "texts");
  EXPECT_EQ(names_of(decode_entries(c.qd(dir, kIdBoth, kSingle, "*.txt"), kIdBoth)),
            std::vector<std::string>{"a.txt"});
  EXPECT_EQ(names_of(decode_entries(c.qd(dir, kIdBoth, kSingle, "*.txt"), kIdBoth)),
            std::vector<std::string>{"b.txt"});
  EXPECT_EQ(c.qd(dir, kIdBoth, kSingle, "*.txt").status(), STATUS_NO_MORE_FILES);

  uint64_t whole = c.open(tree, "texts");
  EXPECT_EQ(decode_entries(c.qd(whole, kIdBoth, 0, "*.txt"), kIdBoth).size(), 2u);
  EXPECT_EQ(c.qd(whole, kIdBoth, 0, "*.txt").status(), STATUS_NO_MORE_FILES);
  uint64_t none = c.open(tree, "texts");
  EXPECT_EQ(c.qd(none, kIdBoth, 0, "*.doc").status(), STATUS_NO_SUCH_FILE) << "a first query finding nothing";
  EXPECT_EQ(c.qd(none, kIdBoth, 0, "*.doc").status(), STATUS_NO_MORE_FILES);
  EXPECT_EQ(c.qd(none, kIdBoth, kRestart, "*.doc").status(), STATUS_NO_SUCH_FILE) << "a restart begins anew";
}

// "." is the folder, ".." its parent (the root's own at the share root),
// both folders with their own times and ids, matched like any name.
TEST_F(Listing, DotsDescribeTheFolderAndItsParent) {
  struct stat root {}, texts {};
  ASSERT_EQ(::stat(t.sub("m").c_str(), &root), 0);
  ASSERT_EQ(::stat(t.sub("m/texts").c_str(), &texts), 0);
  struct Case {
    const char* folder;
    const char* pattern;
    std::vector<std::string> names;
    ino_t dot, dotdot;
  };
  const Case cases[] = {
      {"", "*", {".", ".."}, root.st_ino, root.st_ino},
      {"texts", "*", {".", ".."}, texts.st_ino, root.st_ino},
      {"texts", ".", {"."}, texts.st_ino, 0},
      {"texts", "..", {".."}, 0, root.st_ino},
      {"texts", "*.txt", {}, 0, 0},
  };
  for (const Case& k : cases) {
    uint64_t dir = c.open(tree, k.folder);
    std::vector<dir_entry> es = decode_entries(c.qd(dir, kIdBoth, 0, k.pattern), kIdBoth);
    std::vector<std::string> dots;
    for (const dir_entry& e : es) {
      if (e.name != "." && e.name != "..") continue;
      dots.push_back(e.name);
      EXPECT_EQ(e.attributes, 0x11u) << k.folder << " " << e.name << ": a read-only folder";
      EXPECT_EQ(e.file_id, uint64_t(e.name == "." ? k.dot : k.dotdot)) << k.folder << " " << e.name;
    }
    EXPECT_EQ(dots, k.names) << k.folder << " " << k.pattern;
    c.close(dir);
  }
}

TEST_F(Listing, PatternOrClassChangeWithoutRestart) {
  uint64_t dir = c.open(tree, "");
  EXPECT_EQ(decode_entries(c.qd(dir, kIdBoth, kSingle, "*"), kIdBoth).size(), 1u);
  EXPECT_EQ(c.qd(dir, kIdBoth, 0, "*.md").status(), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(c.get()->cl->opens.newest->listing_valid, 0);
  EXPECT_EQ(names_of(decode_entries(c.qd(dir, kIdBoth, 0, "*.md"), kIdBoth)),
            std::vector<std::string>{"readme.md"});
  EXPECT_EQ(c.qd(dir, 1, 0, "*.md").status(), STATUS_INVALID_PARAMETER);
}

TEST_F(Listing, IndexSpecified) {
  uint64_t dir = c.open(tree, "");
  ASSERT_EQ(decode_entries(c.qd(dir, kIdBoth, kSingle, "*"), kIdBoth).size(), 1u);
  std::vector<dir_entry> es = decode_entries(c.qd(dir, kIdBoth, kIndex | kSingle, "*", 65536, 2), kIdBoth);
  ASSERT_EQ(es.size(), 1u);
  EXPECT_EQ(es[0].file_index, 3u);
  for (uint32_t index : {15u, 16u, 0x80000000u, 0xFFFFFFFFu}) {
    EXPECT_EQ(c.qd(dir, kIdBoth, kIndex, "*", 65536, index).status(), STATUS_NO_MORE_FILES) << index;
  }
  es = decode_entries(c.qd(dir, kIdBoth, kIndex, "*", 65536, 0), kIdBoth);
  EXPECT_EQ(es.size(), all_root_names().size());
}

TEST_F(Listing, ManyEntriesAcrossRequests) {
  constexpr int kCount = 2100;
  for (int i = 0; i < kCount; ++i) ASSERT_TRUE(t.file("m/many/file number " + std::to_string(i)));
  uint64_t dir = c.open(tree, "many");
  std::set<std::string> seen;
  int requests = 0;
  for (; requests < 100; ++requests) {
    response r = c.qd(dir, kIdBoth, 0, "*", 65536);
    if (r.status() == STATUS_NO_MORE_FILES) break;
    ASSERT_EQ(r.status(), STATUS_SUCCESS);
    ASSERT_LE(r.b32(4), 65536u);
    for (const dir_entry& e : decode_entries(r, kIdBoth)) EXPECT_TRUE(seen.insert(e.name).second) << e.name;
  }
  EXPECT_EQ(seen.size(), size_t(kCount) + 2) << "the names and the dots";
  EXPECT_GT(requests, 1);
}

TEST_F(Listing, Refusals) {
  uint64_t dir = c.open(tree, "");
  uint64_t file = c.open(tree, "a.txt");
  uint64_t pipe = c.open(c.connect("IPC$"), "srvsvc");
  bytes past_end = qd_body(dir, kIdBoth, 0, "*");
  put_le16(past_end.data() + 26, 100);
  bytes short_body = qd_body(dir, kIdBoth, 0, "*");
  short_body.resize(28);
  struct Case {
    const char* what;
    bytes body;
    uint32_t status;
  };
  const Case cases[] = {
      {"class 4", qd_body(dir, 4, 0, "*"), STATUS_INVALID_INFO_CLASS},
      {"a file", qd_body(file, kIdBoth, 0, "*"), STATUS_NOT_A_DIRECTORY},
      {"the pipe", qd_body(pipe, kIdBoth, 0, "*"), STATUS_NOT_SUPPORTED},
      {"unknown handle", qd_body(0x999, kIdBoth, 0, "*"), STATUS_FILE_CLOSED},
      {"path in the pattern", qd_body(dir, kIdBoth, 0, "sub\\*"), STATUS_INVALID_PARAMETER},
      {"pattern past the message", past_end, STATUS_INVALID_PARAMETER},
      {"short body", short_body, STATUS_INVALID_PARAMETER},
  };
  for (const Case& k : cases) {
    EXPECT_EQ(c.one(c.on(SMB2_QUERY_DIRECTORY, k.body)).status(), k.status) << k.what;
  }
}

TEST_F(Listing, FolderReplacedAfterCreateIsNotListed) {
  uint64_t gone = c.open(tree, "sub");
  uint64_t swapped = c.open(tree, "texts");
  std::filesystem::remove_all(t.sub("m/sub"));
  std::filesystem::remove_all(t.sub("m/texts"));
  ASSERT_TRUE(t.link(t.sub("outside"), "m/texts"));
  EXPECT_EQ(c.qd(gone, kIdBoth, 0, "*").status(), STATUS_ACCESS_DENIED);
  EXPECT_EQ(c.qd(swapped, kIdBoth, 0, "*").status(), STATUS_ACCESS_DENIED);
}

class SharedListing : public Listing {
 protected:
  void SetUp() override {
    Listing::SetUp();
    // Shared at once: the folders were made this very second.
    tw3_listing_limits_set({TW3_LISTING_CONN_BUDGET, TW3_LISTING_SERVER_BUDGET, 0});
  }
  void TearDown() override {
    tw3_listing_limits_set({TW3_LISTING_CONN_BUDGET, TW3_LISTING_SERVER_BUDGET, TW3_LISTING_SETTLE_S});
    Listing::TearDown();
  }
};

TEST_F(SharedListing, HandlesOfTwoConnectionsShareOneCopy) {
  const int32_t before = tw3_listing_server_count();
  conn other;
  const uint32_t other_tree = other.connect("m");
  const uint64_t dirs[] = {c.open(tree, ""), c.open(tree, "")};
  const uint64_t far = other.open(other_tree, "");
  std::vector<dir_entry> first;
  for (uint64_t d : dirs) {
    first = decode_entries(c.qd(d, kIdBoth, kSingle, "*"), kIdBoth);
    ASSERT_EQ(first.size(), 1u);
  }
  ASSERT_EQ(decode_entries(other.qd(far, kIdBoth, kSingle, "*"), kIdBoth).size(), 1u);
  EXPECT_EQ(tw3_listing_server_count() - before, 1) << "one listing for three handles";
  EXPECT_EQ(c.get()->cl->opens.newest->listing, other.get()->cl->opens.newest->listing);

  // Each handle keeps its own place, FileIndex and restart.
  std::vector<dir_entry> es = decode_entries(c.qd(dirs[0], kIdBoth, kSingle, "*"), kIdBoth);
  ASSERT_EQ(es.size(), 1u);
  EXPECT_EQ(es[0].file_index, 2u);
  es = decode_entries(c.qd(dirs[1], kIdBoth, kRestart, "*"), kIdBoth);
  EXPECT_EQ(names_of(es), all_root_names());
  for (size_t i = 0; i < es.size(); ++i) EXPECT_EQ(es[i].file_index, i + 1);
  EXPECT_EQ(c.qd(dirs[1], kIdBoth, 0, "*").status(), STATUS_NO_MORE_FILES);

  // A changed folder: a restart takes a new listing, the others keep theirs.
  std::this_thread::sleep_for(std::chrono::milliseconds(30));  // past the host's timestamp tick
  ASSERT_TRUE(t.file("m/new.txt"));
  EXPECT_EQ(decode_entries(c.qd(dirs[1], kIdBoth, kRestart, "*"), kIdBoth).size(), es.size() + 1);
  EXPECT_EQ(tw3_listing_server_count() - before, 2);
  es = decode_entries(other.qd(far, kIdBoth, 0, "*"), kIdBoth);
  EXPECT_EQ(es.size(), all_root_names().size() - 1) << "the rest of its own listing";
  c.close(dirs[0]);
  other.close(far);
  EXPECT_EQ(tw3_listing_server_count() - before, 1) << "the old one freed with its last handle";
}

TEST_F(SharedListing, BudgetRefusesOneListingAndEverythingElseGoesOn) {
  const uint64_t root = c.open(tree, "");
  ASSERT_EQ(c.qd(root, kIdBoth, kSingle, "*").status(), STATUS_SUCCESS);
  for (int i = 0; i < 1000; ++i) ASSERT_TRUE(t.file("m/many/f" + std::to_string(i)));
  // Room for this listing and a small one, not for the large one beside it.
  tw3_listing_limits_set({tw3_listing_server_bytes() + 32768, TW3_LISTING_SERVER_BUDGET, 0});
  const uint64_t many = c.open(tree, "many");
  response r = c.qd(many, kIdBoth, 0, "*");
  EXPECT_EQ(r.status(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(r.body_bytes(0, r.body_size()), tw3test::kErrorBody);
  EXPECT_EQ(c.qd(many, kIdBoth, 0, "*").status(), STATUS_INSUFFICIENT_RESOURCES) << "asked again: still none";

  // The same folder again is the listing already held: it costs nothing.
  const uint64_t again = c.open(tree, "");
  EXPECT_EQ(decode_entries(c.qd(again, kIdBoth, 0, "*"), kIdBoth).size(), all_root_names().size());
  std::vector<dir_entry> es = decode_entries(c.qd(root, kIdBoth, kSingle, "*"), kIdBoth);
  ASSERT_EQ(es.size(), 1u) << "the held listing goes on";
  EXPECT_EQ(es[0].file_index, 2u);
  // Another connection has a budget of its own.
  conn other;
  const uint64_t far = other.open(other.connect("m"), "texts");
  EXPECT_EQ(decode_entries(other.qd(far, kIdBoth, 0, "*"), kIdBoth).size(), 6u);
  // And the whole server's budget binds every connection.
  tw3_listing_limits_set({TW3_LISTING_CONN_BUDGET, tw3_listing_server_bytes() + 64, 0});
  const uint64_t sub = other.open(other.connect("m"), "sub");
  EXPECT_EQ(other.qd(sub, kIdBoth, 0, "*").status(), STATUS_INSUFFICIENT_RESOURCES);

  // Once room is made the refused handle lists.
  tw3_listing_limits_set({TW3_LISTING_CONN_BUDGET, TW3_LISTING_SERVER_BUDGET, 0});
  r = c.qd(many, kIdBoth, 0, "*");
  EXPECT_EQ(r.status(), STATUS_SUCCESS);
  EXPECT_EQ(decode_entries(r, kIdBoth)[2].name, "f0");
}

}  // namespace
