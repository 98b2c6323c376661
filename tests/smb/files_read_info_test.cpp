// READ and QUERY_INFO through the dispatcher: ranges, limits, host changes
// after CREATE, and the information classes with their length rules.
#include <algorithm>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/step_hook.h"
#include "platform/tempdir.h"
#include "common/smb_frames.h"
#include "smb/files_sim.h"

namespace {

using namespace files_sim;

constexpr uint32_t kOneMiB = 1048576;

std::string pattern_bytes(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = char((i * 131 + i / 977) & 0xFF);
  return s;
}

class ReadInfo : public ::testing::Test {
 protected:
  void SetUp() override {
    tw3_config_reset_for_tests();
    ASSERT_TRUE(t.ok());
    ASSERT_TRUE(t.dir("media"));
    ASSERT_TRUE(t.dir("media/sub"));
    ASSERT_TRUE(t.dir("outside"));
    ASSERT_TRUE(t.file("outside/secret", "secret"));
    ASSERT_TRUE(t.file("media/ten.txt", "0123456789"));
    ASSERT_TRUE(t.file("media/big.bin", big));
    ASSERT_TRUE(t.file("media/seventy.bin", std::string(70000, 'x')));
    ASSERT_EQ(tw3_add_share("media", t.sub("media").c_str()), 0) << tw3_error();
    tree = c.connect("media");
  }
  void TearDown() override { tw3_config_reset_for_tests(); }

  bytes data_of(const response& r) {
    if (r.body_size() < 16) return {};
    EXPECT_EQ(r.b16(0), 17);
    EXPECT_EQ(r.body_bytes(2, 1)[0], 0x50);
    return r.body_bytes(16, r.b32(4));
  }

  const std::string big = pattern_bytes(kOneMiB + 4096);
  temp_dir t;
  conn c;
  uint32_t tree = 0;
};

TEST_F(ReadInfo, ReadRanges) {
  uint64_t ten = c.open(tree, "ten.txt");
  struct Case {
    uint64_t offset;
    uint32_t length;
    std::string want;
    uint32_t status;
  };
  // Nothing left to read is the end of the file, which clients wait for;
  // a zero-length read asks for nothing and gets it.
  const Case cases[] = {
      {0, 100, "0123456789", STATUS_SUCCESS}, {3, 4, "3456", STATUS_SUCCESS},
      {9, 5, "9", STATUS_SUCCESS}, {0, 0, "", STATUS_SUCCESS}, {10, 0, "", STATUS_SUCCESS},
      {10, 5, "", STATUS_END_OF_FILE}, {11, 5, "", STATUS_END_OF_FILE},
      {UINT64_MAX - 2, 100, "", STATUS_END_OF_FILE}, {uint64_t(INT64_MAX), 100, "", STATUS_END_OF_FILE},
  };
  for (const Case& k : cases) {
    int64_t reads = tw3_stat_get(ST_READS);
    response r = c.read(ten, k.offset, k.length);
    EXPECT_EQ(r.status(), k.status) << k.offset << "+" << k.length;
    if (k.status == STATUS_SUCCESS) {
      bytes d = data_of(r);
      EXPECT_EQ(std::string(d.begin(), d.end()), k.want) << k.offset << "+" << k.length;
    } else {
      EXPECT_EQ(r.body_bytes(0, r.body_size()), tw3test::kErrorBody) << k.offset;
    }
    EXPECT_EQ(tw3_stat_get(ST_READS) - reads, 1);
  }
}

TEST_F(ReadInfo, ReadSizesAgainstTheNegotiatedLimit) {
  uint64_t fid = c.open(tree, "big.bin");
  EXPECT_EQ(c.read(fid, 0, 65537).status(), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(c.read(fid, 0, kOneMiB).status(), STATUS_INVALID_PARAMETER);
  bytes d = data_of(c.read(fid, 100, 65536));
  EXPECT_EQ(d, bytes(big.begin() + 100, big.begin() + 100 + 65536));

  c.get()->max_read = kOneMiB;  // the client announced large MTU
  for (uint32_t n : {65537u, kOneMiB}) {
    response r = c.read(fid, 4095, n);
    ASSERT_EQ(r.status(), STATUS_SUCCESS) << n;
    d = data_of(r);
    ASSERT_EQ(d.size(), n);
    EXPECT_TRUE(d == bytes(big.begin() + 4095, big.begin() + 4095 + n)) << n;
  }
  EXPECT_EQ(c.read(fid, 0, kOneMiB + 1).status(), STATUS_INVALID_PARAMETER);
  // A short read near the end succeeds whatever MinimumCount asked for.
  d = data_of(c.read(fid, big.size() - 7, kOneMiB));
  EXPECT_EQ(d.size(), 7u);
}

// One reply holds at most two MaxReadSize payloads: READs past that are
// answered INSUFFICIENT_RESOURCES, and the requests after them are served.
TEST_F(ReadInfo, CompoundOfLargeReadsIsCappedPerReply) {
  uint64_t fid = c.open(tree, "big.bin");
  c.get()->max_read = kOneMiB;
  std::vector<request> reqs;
  for (int i = 0; i < 5; ++i) reqs.push_back(c.on(SMB2_READ, read_body(fid, 0, kOneMiB)));
  reqs.push_back(c.on(SMB2_READ, read_body(fid, 3, 4)));
  const std::vector<response> rs = c.exchange(reqs);
  ASSERT_EQ(rs.size(), reqs.size());
  const uint32_t want[] = {STATUS_SUCCESS, STATUS_SUCCESS, STATUS_INSUFFICIENT_RESOURCES,
                           STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES,
                           STATUS_SUCCESS};
  size_t total = 0;
  for (size_t i = 0; i < rs.size(); ++i) {
    EXPECT_EQ(rs[i].status(), want[i]) << i;
    total += rs[i].raw.size();
  }
  EXPECT_LE(total, TW3_REPLY_READS_MAX * kOneMiB + TW3_REPLY_HEADROOM);
  EXPECT_EQ(data_of(rs[1]).size(), kOneMiB);
  EXPECT_EQ(data_of(rs[5]), bytes(big.begin() + 3, big.begin() + 7));
}

TEST_F(ReadInfo, ReadRefusals) {
  uint64_t file = c.open(tree, "ten.txt");
  uint64_t dir = c.open(tree, "sub");
  uint64_t pipe = c.open(c.connect("IPC$"), "srvsvc");
  uint64_t closed = c.open(tree, "ten.txt");
  c.close(closed);
  bytes channel = read_body(file, 0, 10);
  put_le32(channel.data() + 36, 1);
  bytes bad_size = read_body(file, 0, 10);
  bad_size[0] = 48;
  bytes short_body = read_body(file, 0, 10);
  short_body.resize(40);
  struct Case {
    const char* what;
    bytes body;
    uint32_t status;
  };
  const Case cases[] = {
      {"pipe", read_body(pipe, 0, 10), STATUS_NOT_SUPPORTED},
      {"directory", read_body(dir, 0, 10), STATUS_FILE_IS_A_DIRECTORY},
      {"closed handle", read_body(closed, 0, 10), STATUS_FILE_CLOSED},
      {"unknown handle", read_body(0x777, 0, 10), STATUS_FILE_CLOSED},
      {"RDMA channel", channel, STATUS_NOT_SUPPORTED},
      {"StructureSize 48", bad_size, STATUS_INVALID_PARAMETER},
      {"short body", short_body, STATUS_INVALID_PARAMETER},
  };
  for (const Case& k : cases) {
    response r = c.one(c.on(SMB2_READ, k.body));
    EXPECT_EQ(r.status(), k.status) << k.what;
    EXPECT_EQ(r.body_bytes(0, r.body_size()), tw3test::kErrorBody) << k.what;
  }
}

TEST_F(ReadInfo, ReadSeesTheHostAsItIsNow) {
  uint64_t fid = c.open(tree, "ten.txt");
  ASSERT_TRUE(t.file("media/ten.txt", "abc"));
  EXPECT_EQ(data_of(c.read(fid, 0, 100)), (bytes{'a', 'b', 'c'}));
  ASSERT_TRUE(std::filesystem::remove(t.sub("media/ten.txt")));
  EXPECT_EQ(c.read(fid, 0, 100).status(), STATUS_ACCESS_DENIED);
#if !defined(_WIN32)  // wine shows a file link as a plain file
  // A link put where the file was is never followed, even inside the share.
  ASSERT_TRUE(t.link(t.sub("outside/secret"), "media/ten.txt"));
  EXPECT_EQ(c.read(fid, 0, 100).status(), STATUS_ACCESS_DENIED);
  std::filesystem::remove(t.sub("media/ten.txt"));
#endif
  ASSERT_TRUE(t.dir("media/ten.txt"));
  EXPECT_EQ(c.read(fid, 0, 100).status(), STATUS_ACCESS_DENIED);
}

#if !defined(_WIN32)  // device nodes, sockets and inotify are POSIX fixtures
// CREATE checked a regular file; in one compound, before READ opens it, the
// name is swapped for an object whose open could have effects. READ opens
// nothing and answers as it does when the file has gone.
TEST_F(ReadInfo, ReadOpensNothingButTheFileCreateChecked) {
  const struct {
    const char* what;
    bool (temp_dir::*make)(const std::string&) const;
  } intruders[] = {
      {"gone", nullptr},
      {"fifo", &temp_dir::fifo},
      {"character device", &temp_dir::chardev},
      {"socket", &temp_dir::socket},
  };
  const std::string p = t.sub("media/ten.txt");
  for (const auto& in : intruders) {
    SCOPED_TRACE(in.what);
    std::unique_ptr<open_watch> watch;
    bool made = false;
    step_hook hook(TW3_FS_STEP_LOOKUP, p, [&] {
      made = t.swap("media/ten.txt", [&](const std::string& rel) { return in.make == nullptr || (t.*in.make)(rel); });
      if (made && in.make != nullptr) watch = std::make_unique<open_watch>(p);
    });
    const auto rs = c.exchange({
        {SMB2_CREATE, tree, 0, kSessionId, create_body("ten.txt")},
        {SMB2_READ, SMB2_RELATED_TREE_ID, SMB2_FLAGS_RELATED_OPERATIONS, kAllOnes, read_body(kAllOnes, 0, 10)},
    });
    ASSERT_EQ(rs.size(), 2u);
    ASSERT_TRUE(hook.fired());
    EXPECT_EQ(rs[0].status(), STATUS_SUCCESS);
    EXPECT_EQ(rs[1].status(), STATUS_ACCESS_DENIED);
    EXPECT_EQ(c.close(rs[0].b64(64)).status(), STATUS_SUCCESS);
    if (watch) {
      EXPECT_FALSE(watch->opened());
    } else if (in.make != nullptr) {
      EXPECT_STREQ(in.what, "character device");  // a host that refuses mknod
    }
    std::error_code ec;
    std::filesystem::remove(p, ec);
    std::filesystem::rename(p + ".old", p, ec);
  }
}
#endif

TEST_F(ReadInfo, FileClasses) {
  uint64_t file = c.open(tree, "seventy.bin");
  uint64_t dir = c.open(tree, "sub");
  tw3_stat st{};
  ASSERT_EQ(tw3_fs_stat(t.sub("media/seventy.bin").c_str(), &st), 0);

  response std_file = c.qi(file, 1, 5, 0);
  ASSERT_EQ(std_file.status(), STATUS_SUCCESS);
  ASSERT_EQ(std_file.b32(4), 24u);
  EXPECT_EQ(std_file.b16(2), 72);
  EXPECT_EQ(std_file.b64(8), 131072u);
  EXPECT_EQ(std_file.b64(16), 70000u);
  EXPECT_EQ(std_file.b32(24), 1u);
  EXPECT_EQ(std_file.body_bytes(28, 2), (bytes{0, 0}));
  response std_dir = c.qi(dir, 1, 5, 24);
  EXPECT_EQ(std_dir.b32(24), 0u);
  EXPECT_EQ(std_dir.body_bytes(28, 2), (bytes{0, 1}));

  response basic = c.qi(file, 1, 4, 40);
  ASSERT_EQ(basic.b32(4), 40u);
  EXPECT_EQ(basic.b64(8 + 16), (uint64_t(st.mtime) + 11644473600ull) * 10000000ull);
  EXPECT_EQ(basic.b32(8 + 32), 0x21u);
  EXPECT_EQ(c.qi(dir, 1, 4, 0).b32(8 + 32), 0x11u);
  EXPECT_EQ(c.qi(file, 1, 6, 0).b64(8), st.file_index);

  response net = c.qi(file, 1, 34, 56);
  ASSERT_EQ(net.status(), STATUS_SUCCESS);
  EXPECT_EQ(net.b32(4), 56u);
  EXPECT_EQ(net.b64(8 + 40), 70000u);
  EXPECT_EQ(c.qi(file, 1, 34, 40).status(), STATUS_INFO_LENGTH_MISMATCH);
}

TEST_F(ReadInfo, FileAllInformationCarriesThePathFromTheShareRoot) {
  const std::pair<const char*, const char*> cases[] = {{"ten.txt", "\\ten.txt"}, {"sub", "\\sub"}, {"", "\\"}};
  for (auto [open_name, shown] : cases) {
    const bytes name = utf16(shown);
    response all = c.qi(c.open(tree, open_name), 1, 18, 0);
    ASSERT_EQ(all.status(), STATUS_SUCCESS) << open_name;
    ASSERT_EQ(all.b32(4), std::max<size_t>(104, 100 + name.size())) << open_name << ": never below the structure";
    EXPECT_EQ(all.b32(8 + 96), name.size()) << open_name << ": FileNameLength";
    EXPECT_EQ(all.body_bytes(8 + 100, name.size()), name) << open_name;
  }
  uint64_t file = c.open(tree, "ten.txt");
  response all = c.qi(file, 1, 18, 0);
  bytes full = all.body_bytes(8, all.b32(4));
  EXPECT_EQ(all.b32(8 + 76), kReadAccess);  // AccessFlags: what the open was granted

  response cut = c.qi(file, 1, 18, 100);
  EXPECT_EQ(cut.status(), STATUS_BUFFER_OVERFLOW);
  ASSERT_EQ(cut.b32(4), 100u);
  EXPECT_EQ(cut.body_bytes(8, 100), bytes(full.begin(), full.begin() + 100));
  EXPECT_EQ(c.qi(file, 1, 18, 95).status(), STATUS_INFO_LENGTH_MISMATCH);
}

TEST_F(ReadInfo, VolumeClasses) {
  uint64_t root = c.open(tree, "");
  uint64_t sub = c.open(tree, "sub");
  response vol = c.qi(root, 2, 1, 0);
  ASSERT_EQ(vol.status(), STATUS_SUCCESS);
  ASSERT_EQ(vol.b32(4), 28u);
  EXPECT_EQ(vol.b64(8), 0x019DB1DED53E8000ull);
  EXPECT_EQ(vol.b32(8 + 12), 10u);
  EXPECT_EQ(vol.body_bytes(8 + 18, 10), (bytes{'m', 0, 'e', 0, 'd', 0, 'i', 0, 'a', 0}));
  EXPECT_NE(c.qi(sub, 2, 1, 0).b32(8 + 8), vol.b32(8 + 8)) << "serial follows the folder";
  // Below the structure as Windows sizes it (24 bytes) the buffer is refused.
  EXPECT_EQ(c.qi(root, 2, 1, 23).status(), STATUS_INFO_LENGTH_MISMATCH);
  EXPECT_EQ(c.qi(root, 2, 1, 24).status(), STATUS_BUFFER_OVERFLOW);

  response attr = c.qi(root, 2, 5, 0);
  ASSERT_EQ(attr.b32(4), 20u);
  EXPECT_EQ(attr.b32(8), 0x00000006u);  // case preserved, Unicode; lookups ignore case
  ASSERT_EQ(tw3_set_option("case_sensitive", "on"), 0);
  EXPECT_EQ(c.qi(root, 2, 5, 0).b32(8), 0x00000007u);  // and now case-sensitive search
  ASSERT_EQ(tw3_set_option("case_sensitive", "off"), 0);
  EXPECT_EQ(attr.b32(12), 255u);
  EXPECT_EQ(attr.body_bytes(8 + 12, 8), (bytes{'N', 0, 'T', 0, 'F', 0, 'S', 0}));
  response size = c.qi(root, 2, 3, 0);
  ASSERT_EQ(size.b32(4), 24u);
  EXPECT_EQ(size.b32(28), 512u);
  response full = c.qi(root, 2, 7, 32);
  ASSERT_EQ(full.b32(4), 32u);
  EXPECT_EQ(full.b32(8 + 28), 512u);
  response dev = c.qi(root, 2, 4, 0);
  EXPECT_EQ(dev.b32(8), 7u);
  EXPECT_EQ(dev.b32(12), 2u);
}

TEST_F(ReadInfo, QueryInfoRefusals) {
  uint64_t file = c.open(tree, "ten.txt");
  uint64_t pipe = c.open(c.connect("IPC$"), "srvsvc");
  bytes short_body = qi_body(file, 1, 4, 0);
  short_body.resize(30);
  struct Case {
    const char* what;
    bytes body;
    uint32_t status;
  };
  const Case cases[] = {
      {"quota", qi_body(file, 4, 0, 0), STATUS_NOT_SUPPORTED},
      {"type 0", qi_body(file, 0, 4, 0), STATUS_INVALID_INFO_CLASS},
      {"type 5", qi_body(file, 5, 4, 0), STATUS_INVALID_INFO_CLASS},
      {"class 36", qi_body(file, 1, 36, 0), STATUS_INVALID_INFO_CLASS},
      {"fs class 2", qi_body(file, 2, 2, 0), STATUS_INVALID_INFO_CLASS},
      {"fs on the pipe", qi_body(pipe, 2, 1, 0), STATUS_INVALID_INFO_CLASS},
      {"unknown handle", qi_body(0x999, 1, 4, 0), STATUS_FILE_CLOSED},
      {"no room at all", qi_body(file, 1, 4, 0), STATUS_INFO_LENGTH_MISMATCH},
      {"no room for a volume class", qi_body(file, 2, 1, 0), STATUS_INFO_LENGTH_MISMATCH},
      {"short body", short_body, STATUS_INVALID_PARAMETER},
  };
  for (const Case& k : cases) {
    EXPECT_EQ(c.one(c.on(SMB2_QUERY_INFO, k.body)).status(), k.status) << k.what;
  }
  // The pipe answers file classes from its zero status.
  response std_pipe = c.qi(pipe, 1, 5, 0);
  ASSERT_EQ(std_pipe.status(), STATUS_SUCCESS);
  EXPECT_EQ(std_pipe.b32(8 + 16), 1u);
  EXPECT_EQ(c.qi(pipe, 1, 4, 0).b64(8), 116444736000000000ull);
}

}  // namespace
