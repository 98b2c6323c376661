// TREE_CONNECT/DISCONNECT and CREATE/CLOSE through the dispatcher: id
// assignment, the read-only refusals, name rules, the handle limit, QFid and
// a related CREATE + READ + CLOSE compound.
#include <gtest/gtest.h>

#include <string>

#include "platform/tempdir.h"
#include "smb/files_sim.h"

namespace {

using namespace files_sim;

constexpr uint32_t kFileOpenIf = 3;
constexpr uint32_t kOptDirectory = 0x1;
constexpr uint32_t kOptNonDirectory = 0x40;

class Files : public ::testing::Test {
 protected:
  void SetUp() override {
    tw3_config_reset_for_tests();
    ASSERT_TRUE(t.ok());
    ASSERT_TRUE(t.dir("films"));
    ASSERT_TRUE(t.dir("films/dir"));
    ASSERT_TRUE(t.file("films/ten.txt", "0123456789"));
    ASSERT_TRUE(t.file("films/dir/b.txt", "b"));
    ASSERT_TRUE(t.dir("gone"));
    ASSERT_TRUE(t.file("single.bin", "single"));
    ASSERT_EQ(tw3_add_share("films", t.sub("films").c_str()), 0) << tw3_error();
    ASSERT_EQ(tw3_add_share("gone", t.sub("gone").c_str()), 0) << tw3_error();
    ASSERT_EQ(tw3_add_share("one", t.sub("single.bin").c_str()), 0) << tw3_error();
  }
  void TearDown() override { tw3_config_reset_for_tests(); }

  temp_dir t;
  conn c;
};

TEST_F(Files, TreeAndFileIdsShareOneCounter) {
  EXPECT_EQ(c.connect("films"), 1u);
  EXPECT_EQ(c.connect("films"), 2u);
  EXPECT_EQ(c.open(1, "ten.txt"), 0x31u);  // the counter stood at 2
  EXPECT_EQ(c.connect("FILMS"), 4u);
  EXPECT_EQ(c.open(1, "ten.txt"), 0x51u);
}

TEST_F(Files, FirstOpensOfAFreshConnection) {
  ASSERT_EQ(c.connect("films"), 1u);
  EXPECT_EQ(c.open(1, "ten.txt"), 0x21u);
  EXPECT_EQ(c.open(1, "ten.txt"), 0x31u);
  ASSERT_EQ(c.connect("films"), 4u);
  EXPECT_EQ(c.open(1, ""), 0x51u);

  conn d;
  ASSERT_EQ(d.connect("films"), 1u);
  EXPECT_EQ(d.open(1, "ten.txt"), 0x21u);
  EXPECT_EQ(d.connect("films"), 3u);
  EXPECT_EQ(d.open(1, "ten.txt"), 0x41u);
}

TEST_F(Files, TreeConnectPaths) {
  struct Case {
    const char* path;
    uint32_t status;
    int refused;  // tree_refused delta
  };
  const Case cases[] = {
      {"\\\\host\\Films", STATUS_SUCCESS, 0},
      {"\\\\host\\FILMS", STATUS_SUCCESS, 0},
      {"films", STATUS_SUCCESS, 0},
      {"\\\\host/films", STATUS_SUCCESS, 0},
      {"\\\\host\\ipc$", STATUS_SUCCESS, 0},
      {"\\\\host\\", STATUS_OBJECT_NAME_INVALID, 0},
      {"\\\\host\\nosuch", STATUS_BAD_NETWORK_NAME, 1},
  };
  for (const Case& k : cases) {
    int64_t before = tw3_stat_get(ST_TREE_REFUSED);
    response r = c.one({SMB2_TREE_CONNECT, 0, 0, kSessionId, tree_connect_body(k.path)});
    EXPECT_EQ(r.status(), k.status) << k.path;
    EXPECT_EQ(tw3_stat_get(ST_TREE_REFUSED) - before, k.refused) << k.path;
    if (k.status == STATUS_SUCCESS) {
      ASSERT_EQ(r.body_size(), 16u) << k.path;
      EXPECT_EQ(r.b16(0), 16);
      EXPECT_EQ(r.body_bytes(2, 1)[0], 1) << "disk type, IPC$ included";
      EXPECT_EQ(r.b32(12), 0xFFu);
    }
  }
  // The tree keeps the name as the client wrote it.
  ASSERT_NE(c.get()->cl->tree_list, nullptr);
  EXPECT_STREQ(c.get()->cl->tree_list->share_name, "IPC$");
  EXPECT_STREQ(c.get()->cl->tree_list->next->share_name, "films");
  EXPECT_STREQ(c.get()->cl->tree_list->next->next->next->share_name, "FILMS");
}

TEST_F(Files, TreeConnectMalformedAndWithoutSession) {
  bytes short_body = {9, 0, 0, 0};
  bytes bad_size = tree_connect_body("films");
  bad_size[0] = 10;
  bytes past_end = tree_connect_body("films");
  put_le16(past_end.data() + 6, 200);
  bytes below_header = tree_connect_body("films");
  put_le16(below_header.data() + 4, 10);
  bytes too_long = tree_connect_body(std::string(520, 'x'));  // 1040 bytes of text
  for (const bytes& b : {short_body, bad_size, past_end, below_header, too_long}) {
    EXPECT_EQ(c.one({SMB2_TREE_CONNECT, 0, 0, kSessionId, b}).status(), STATUS_INVALID_PARAMETER);
  }
  c.session()->authenticated = 0;
  int64_t before = tw3_stat_get(ST_TREE_REFUSED);
  EXPECT_EQ(c.one({SMB2_TREE_CONNECT, 0, 0, kSessionId, tree_connect_body("films")}).status(),
            STATUS_USER_SESSION_DELETED);
  EXPECT_EQ(tw3_stat_get(ST_TREE_REFUSED) - before, 1);
  EXPECT_EQ(c.get()->cl->tree_list, nullptr);
}

TEST_F(Files, TreeDisconnect) {
  uint32_t tree = c.connect("films");
  uint64_t fid = c.open(tree, "ten.txt");
  int64_t trees = tw3_stat_get(ST_TREES);
  bytes body = {4, 0, 0, 0};
  // A tree that is not there, or no longer, is refused before the handler.
  EXPECT_EQ(c.one({SMB2_TREE_DISCONNECT, 77, 0, kSessionId, body}).status(), STATUS_NETWORK_NAME_DELETED);
  EXPECT_EQ(tw3_stat_get(ST_TREES), trees);
  response r = c.one({SMB2_TREE_DISCONNECT, tree, 0, kSessionId, body});
  EXPECT_EQ(r.status(), STATUS_SUCCESS);
  EXPECT_EQ(r.body_bytes(0, 4), (bytes{4, 0, 0, 0}));
  EXPECT_EQ(c.one({SMB2_TREE_DISCONNECT, tree, 0, kSessionId, body}).status(), STATUS_NETWORK_NAME_DELETED);
  EXPECT_EQ(tw3_stat_get(ST_TREES), trees - 1);
  EXPECT_EQ(c.create(tree, create_body("ten.txt")).status(), STATUS_NETWORK_NAME_DELETED);
  // A request naming the retired tree is refused before its handler, open
  // or not; the retired id is never reused.
  EXPECT_EQ(c.read(fid, 0, 4).status(), STATUS_NETWORK_NAME_DELETED);
  const uint32_t again = c.connect("films");
  EXPECT_NE(again, tree);
  // The open went with its tree: it cannot be reached through another one.
  EXPECT_EQ(c.one({SMB2_READ, again, 0, kSessionId, read_body(fid, 0, 4)}).status(), STATUS_FILE_CLOSED);
}

// Opens of a disconnected tree are closed with it, so a client that
// disconnects trees does not run into its handle limit.
TEST_F(Files, TreeDisconnectClosesItsOpensOnly) {
  c.get()->opts.max_handles = 2;
  const uint32_t kept = c.connect("films");
  const uint64_t kept_fid = c.open(kept, "ten.txt");
  const bytes body = {4, 0, 0, 0};
  for (int round = 0; round < 3; ++round) {
    const uint32_t tree = c.connect("films");
    ASSERT_NE(c.open(tree, "ten.txt"), 0u) << round;
    ASSERT_EQ(c.one({SMB2_TREE_DISCONNECT, tree, 0, kSessionId, body}).status(), STATUS_SUCCESS);
  }
  EXPECT_EQ(c.get()->cl->opens.count, 1);
  EXPECT_EQ(c.read(kept_fid, 0, 4).status(), STATUS_SUCCESS);
}

TEST_F(Files, CreateRefusals) {
  uint32_t tree = c.connect("films");
  struct Case {
    const char* what;
    bytes body;
    uint32_t status;
  };
  bytes short_body = create_body("ten.txt");
  short_body.resize(50);
  bytes name_past_end = create_body("ten.txt");
  put_le16(name_past_end.data() + 46, 400);
  bytes name_below_header = create_body("ten.txt");
  put_le16(name_below_header.data() + 44, 8);
  bytes impersonation = create_body("ten.txt");
  put_le32(impersonation.data() + 4, 5);
  bytes bad_utf16 = create_body("ab");
  bad_utf16[56] = 0x00;
  bad_utf16[57] = 0xD8;  // a lone high surrogate
  const Case cases[] = {
      {"GENERIC_WRITE", create_body("ten.txt", 0x40000000), STATUS_ACCESS_DENIED},
      {"GENERIC_READ|WRITE", create_body("ten.txt", 0xC0000000), STATUS_ACCESS_DENIED},
      {"FILE_WRITE_DATA", create_body("ten.txt", 0x2), STATUS_ACCESS_DENIED},
      {"DELETE", create_body("ten.txt", 0x00010000), STATUS_ACCESS_DENIED},
      {"WRITE_DAC", create_body("ten.txt", 0x00040000), STATUS_ACCESS_DENIED},
      {"MAXIMUM_ALLOWED with a write right", create_body("ten.txt", 0x02000002), STATUS_ACCESS_DENIED},
      {"FILE_OPEN_IF on a missing file", create_body("new.txt", kReadAccess, kFileOpenIf), STATUS_ACCESS_DENIED},
      {"FILE_OPEN_IF asking to write", create_body("ten.txt", 0x2, kFileOpenIf), STATUS_ACCESS_DENIED},
      {"FILE_CREATE", create_body("new.txt", kReadAccess, 2), STATUS_ACCESS_DENIED},
      {"write-through", create_body("ten.txt", kReadAccess, 1, 0x2), STATUS_ACCESS_DENIED},
      {"delete-on-close", create_body("ten.txt", kReadAccess, 1, 0x1000), STATUS_ACCESS_DENIED},
      {"open by file id", create_body("ten.txt", kReadAccess, 1, 0x20000), STATUS_NOT_SUPPORTED},
      {"reserve opfilter", create_body("ten.txt", kReadAccess, 1, 0x100000), STATUS_NOT_SUPPORTED},
      {"impersonation 5", impersonation, STATUS_INVALID_PARAMETER},
      {"short body", short_body, STATUS_INVALID_PARAMETER},
      {"name past the message", name_past_end, STATUS_INVALID_PARAMETER},
      {"name offset inside the header", name_below_header, STATUS_INVALID_PARAMETER},
      {"name of 2056 bytes", create_body(std::string(1028, 'n')), STATUS_INVALID_PARAMETER},
      {"bad UTF-16", bad_utf16, STATUS_OBJECT_NAME_INVALID},
      {"dot-dot", create_body("a\\..\\b"), STATUS_OBJECT_NAME_INVALID},
      {"missing file in a folder", create_body("dir\\x.txt"), STATUS_OBJECT_NAME_NOT_FOUND},
      {"missing file at the root", create_body("x.txt"), STATUS_OBJECT_NAME_NOT_FOUND},
      {"missing folder on the way", create_body("nodir\\x.txt"), STATUS_OBJECT_PATH_NOT_FOUND},
      {"a file on the way", create_body("ten.txt\\x"), STATUS_OBJECT_PATH_NOT_FOUND},
      {"leading backslash", create_body("\\ten.txt"), STATUS_INVALID_PARAMETER},
      {"a stream of a file", create_body("ten.txt::$DATA"), STATUS_OBJECT_NAME_INVALID},
      {"a named stream", create_body("ten.txt:extra"), STATUS_OBJECT_NAME_INVALID},
      {"directory flag on a file", create_body("ten.txt", kReadAccess, 1, kOptDirectory), STATUS_NOT_A_DIRECTORY},
      {"non-directory flag on a directory", create_body("dir", kReadAccess, 1, kOptNonDirectory),
       STATUS_FILE_IS_A_DIRECTORY},
      {"disposition 6", create_body("ten.txt", kReadAccess, 6), STATUS_INVALID_PARAMETER},
      // Several faults: the request's fields, then the name, then what it
      // leads to, and the refusal to write last.
      {"FILE_CREATE, disposition before name", create_body("\\new.txt", kReadAccess, 7), STATUS_INVALID_PARAMETER},
      {"writing, leading backslash", create_body("\\ten.txt", 0x2), STATUS_INVALID_PARAMETER},
      {"FILE_CREATE of a bad name", create_body("a\\..\\b", kReadAccess, 2), STATUS_OBJECT_NAME_INVALID},
      {"writing a missing file", create_body("x.txt", 0x2), STATUS_OBJECT_NAME_NOT_FOUND},
      {"delete-on-close of a missing folder's file", create_body("nodir\\x", kReadAccess, 1, 0x1000),
       STATUS_OBJECT_PATH_NOT_FOUND},
  };
  for (const Case& k : cases) {
    int64_t refused = tw3_stat_get(ST_OPEN_REFUSED);
    int64_t next_id = int64_t(c.get()->cl->next_id);
    response r = c.create(tree, k.body);
    EXPECT_EQ(r.status(), k.status) << k.what;
    EXPECT_EQ(tw3_stat_get(ST_OPEN_REFUSED) - refused, 1) << k.what;
    EXPECT_EQ(int64_t(c.get()->cl->next_id), next_id) << k.what << ": a failure consumes no id";
    ASSERT_EQ(r.body_size(), 9u) << k.what << ": the error body every refusal carries";
    EXPECT_EQ(r.b16(0), 9);
  }
  EXPECT_EQ(c.get()->cl->opens.count, 0);
}

TEST_F(Files, CreateCountsPathRefusals) {
  uint32_t tree = c.connect("films");
  int64_t before = tw3_stat_get(ST_PATH_REFUSED);
  EXPECT_EQ(c.create(tree, create_body("a\\..\\b")).status(), STATUS_OBJECT_NAME_INVALID);
  EXPECT_EQ(tw3_stat_get(ST_PATH_REFUSED) - before, 1);
}

TEST_F(Files, CreateOnRootsAndPipe) {
  uint32_t films = c.connect("films");
  uint32_t one = c.connect("one");
  uint32_t gone = c.connect("gone");
  uint32_t ipc = c.connect("IPC$");
  ASSERT_TRUE(std::filesystem::remove(t.sub("gone")));

  response root = c.create(films, create_body(""));
  ASSERT_EQ(root.status(), STATUS_SUCCESS);
  EXPECT_EQ(root.b32(56), 0x11u);
  response single = c.create(one, create_body(""));
  ASSERT_EQ(single.status(), STATUS_SUCCESS);
  EXPECT_EQ(single.b32(56), 0x21u);
  EXPECT_EQ(single.b64(48), 6u);
  EXPECT_EQ(single.b64(40), 65536u);
  EXPECT_EQ(c.create(one, create_body("x")).status(), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(c.create(gone, create_body("")).status(), STATUS_OBJECT_NAME_NOT_FOUND);

  // The pipe may be opened for writing; nothing else may.
  response pipe = c.create(ipc, create_body("SRVSVC", 0xC0000000));
  ASSERT_EQ(pipe.status(), STATUS_SUCCESS);
  EXPECT_EQ(pipe.b64(40), 7168u);
  EXPECT_EQ(pipe.b64(48), 7168u);
  EXPECT_EQ(pipe.b32(56), 0x21u);
  EXPECT_EQ(pipe.b64(8), 116444736000000000ull);
  EXPECT_EQ(c.create(ipc, create_body("lsarpc")).status(), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(c.create(ipc, create_body("")).status(), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(c.create(ipc, create_body("srvsvc", kReadAccess, kFileOpenIf)).status(), STATUS_ACCESS_DENIED);
}

// What a read-only server can grant, it grants: MAXIMUM_ALLOWED opens for
// reading, and OPEN_IF of a file that exists creates nothing.
TEST_F(Files, MaximumAllowedAndOpenIfOpenForReading) {
  const uint32_t tree = c.connect("films");
  const struct {
    const char* what;
    bytes body;
    uint32_t granted;
  } cases[] = {
      {"MAXIMUM_ALLOWED", create_body("ten.txt", 0x02000000), 0x001200A9},
      {"FILE_OPEN_IF", create_body("ten.txt", kReadAccess, kFileOpenIf), kReadAccess},
      {"both, on a folder", create_body("dir", 0x02000000, kFileOpenIf), 0x001200A9},
  };
  for (const auto& k : cases) {
    response r = c.create(tree, k.body);
    ASSERT_EQ(r.status(), STATUS_SUCCESS) << k.what;
    EXPECT_EQ(r.b32(4), 1u) << k.what << ": FILE_OPENED";
    const uint64_t fid = r.b64(64);
    EXPECT_EQ(c.qi(fid, 1, 8, 0).b32(8), k.granted) << k.what << ": read rights granted";
    EXPECT_EQ(c.close(fid).status(), STATUS_SUCCESS);
  }
}

TEST_F(Files, CreateWithoutSessionOrTree) {
  uint32_t tree = c.connect("films");
  EXPECT_EQ(c.create(99, create_body("ten.txt")).status(), STATUS_NETWORK_NAME_DELETED);
  EXPECT_EQ(c.create(99, create_body("\\x", 0x2, 6)).status(), STATUS_NETWORK_NAME_DELETED) << "before all else";
  c.session()->authenticated = 0;
  EXPECT_EQ(c.create(tree, create_body("ten.txt")).status(), STATUS_USER_SESSION_DELETED);
  EXPECT_EQ(c.create(tree, create_body("\\x", 0x2, 6)).status(), STATUS_USER_SESSION_DELETED);
}

TEST_F(Files, HandleLimit) {
  c.get()->opts.max_handles = 2;
  uint32_t tree = c.connect("films");
  uint64_t first = c.open(tree, "ten.txt");
  c.open(tree, "dir");
  EXPECT_EQ(c.create(tree, create_body("ten.txt")).status(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(c.close(first).status(), STATUS_SUCCESS);
  EXPECT_EQ(c.get()->cl->opens.count, 1);
  EXPECT_NE(c.open(tree, "ten.txt"), 0u);
}

// Every command that acts on an open gets it from the dispatcher: a FileId
// that is unknown, closed, or of another tree or session is FILE_CLOSED
// whatever the command, and the connection goes on.
TEST_F(Files, FileIdsOfNoLiveOpenOfTheRequestAreClosed) {
  const uint32_t tree = c.connect("films");
  const uint32_t other_tree = c.connect("films");
  const uint64_t live = c.open(tree, "ten.txt");
  const uint64_t closed = c.open(tree, "ten.txt");
  ASSERT_EQ(c.close(closed).status(), STATUS_SUCCESS);
  const uint64_t foreign = c.open(tree, "dir");
  tw3_open_find(c.get(), foreign)->session_id = kSessionId + 2;  // as if another session made it
  constexpr uint32_t kTransceive = 0x0011C017;
  auto notify = [](uint64_t fid) {
    bytes b(32, 0);
    put_le16(b.data(), 32);
    put_le64(b.data() + 8, fid);
    put_le32(b.data() + 24, 0x1);
    return b;
  };
  struct Kind {
    const char* what;
    uint64_t fid;
    uint32_t tree;
  } kinds[] = {{"unknown", 0x999, tree}, {"closed", closed, tree},
               {"of another tree", live, other_tree}, {"of another session", foreign, tree}};
  for (const Kind& k : kinds) {
    const std::pair<uint8_t, bytes> requests[] = {
        {SMB2_READ, read_body(k.fid, 0, 4)},
        {SMB2_QUERY_INFO, qi_body(k.fid, 1, 4, 40)},
        {SMB2_QUERY_DIRECTORY, qd_body(k.fid, 37, 0, "*")},
        {SMB2_IOCTL, ioctl_body(k.fid, kTransceive, {})},
        {SMB2_CHANGE_NOTIFY, notify(k.fid)},
        {SMB2_CLOSE, close_body(k.fid)},
    };
    for (const auto& [command, body] : requests) {
      EXPECT_EQ(c.one({command, k.tree, 0, kSessionId, body}).status(), STATUS_FILE_CLOSED)
          << k.what << " FileId, command " << int(command);
      EXPECT_EQ(c.get()->closing, 0);
    }
  }
  EXPECT_EQ(c.get()->cl->opens.count, 2);
  EXPECT_EQ(c.read(live, 0, 4).status(), STATUS_SUCCESS);
}

TEST_F(Files, CloseAnswersTheOpenAndRetiresIt) {
  uint32_t tree = c.connect("films");
  uint64_t fid = c.open(tree, "ten.txt");
  response r = c.close(fid);
  ASSERT_EQ(r.status(), STATUS_SUCCESS);
  ASSERT_EQ(r.body_size(), 60u);
  EXPECT_EQ(r.b16(0), 60);
  EXPECT_EQ(r.b64(48), 10u);     // EndOfFile
  EXPECT_EQ(r.b64(40), 65536u);  // AllocationSize
  EXPECT_EQ(r.b32(56), 0x21u);
  EXPECT_EQ(c.get()->cl->opens.count, 0);
  EXPECT_EQ(c.close(fid).status(), STATUS_FILE_CLOSED);
  EXPECT_EQ(c.close(0x999).status(), STATUS_FILE_CLOSED);
  EXPECT_EQ(c.get()->cl->opens.count, 0);
  bytes bad = close_body(fid);
  bad[0] = 25;
  EXPECT_EQ(c.one(c.on(SMB2_CLOSE, bad)).status(), STATUS_INVALID_PARAMETER);
  // Refused on a tree that is not there: the open stays.
  uint64_t kept = c.open(tree, "ten.txt");
  EXPECT_EQ(c.one({SMB2_CLOSE, 0, 0, kSessionId, close_body(kept)}).status(), STATUS_NETWORK_NAME_DELETED);
  EXPECT_EQ(c.get()->cl->opens.count, 1);
  EXPECT_EQ(c.close(kept).status(), STATUS_SUCCESS);
}

TEST_F(Files, QfidContext) {
  uint32_t tree = c.connect("films");
  tw3_stat st{};
  ASSERT_EQ(tw3_fs_stat(t.sub("films/ten.txt").c_str(), &st), 0);
  const bytes lease = create_context("RqLs", 24);
  bytes chain = lease;
  chain.resize(24, 0);
  bytes qfid = create_context("QFid");
  chain.insert(chain.end(), qfid.begin(), qfid.end());

  for (const bytes& ctx : {qfid, chain}) {
    response r = c.create(tree, create_body("ten.txt", kReadAccess, 1, 0, ctx));
    ASSERT_EQ(r.status(), STATUS_SUCCESS);
    uint32_t off = r.b32(80);
    EXPECT_EQ(r.b32(84), 56u);
    EXPECT_EQ(off, 64u + 96u) << "89-byte body padded to 8";
    ASSERT_EQ(r.raw.size(), off + 56u);
    EXPECT_EQ(r.at(off + 4, 2), 16u);
    EXPECT_EQ(r.at(off + 6, 2), 4u);
    EXPECT_EQ(r.at(off + 10, 2), 24u);
    EXPECT_EQ(r.at(off + 12, 4), 32u);
    EXPECT_EQ(bytes(r.raw.begin() + off + 16, r.raw.begin() + off + 20), (bytes{'Q', 'F', 'i', 'd'}));
    EXPECT_EQ(r.at(off + 24, 8), st.file_index);
  }
  // A lease context without lease data (and no lease asked) is ignored.
  response plain = c.create(tree, create_body("ten.txt", kReadAccess, 1, 0, create_context("RqLs")));
  ASSERT_EQ(plain.status(), STATUS_SUCCESS);
  EXPECT_EQ(plain.b32(80), 0u);
  EXPECT_EQ(plain.b32(84), 0u);
  EXPECT_EQ(plain.body_size(), 89u);

  // A chain whose Next runs off the area is malformed.
  bytes runaway = create_context("RqLs", 0xFFFFFFF0);
  EXPECT_EQ(c.create(tree, create_body("ten.txt", kReadAccess, 1, 0, runaway)).status(), STATUS_INVALID_PARAMETER);
}

TEST_F(Files, RelatedCreateReadClose) {
  uint32_t tree = c.connect("films");
  std::vector<request> reqs = {
      {SMB2_CREATE, tree, 0, kSessionId, create_body("ten.txt")},
      {SMB2_READ, SMB2_RELATED_TREE_ID, SMB2_FLAGS_RELATED_OPERATIONS, kAllOnes, read_body(kAllOnes, 2, 5)},
      {SMB2_CLOSE, SMB2_RELATED_TREE_ID, SMB2_FLAGS_RELATED_OPERATIONS, kAllOnes, close_body(kAllOnes)},
  };
  auto rs = c.exchange(reqs);
  ASSERT_EQ(rs.size(), 3u);
  for (const response& r : rs) EXPECT_EQ(r.status(), STATUS_SUCCESS);
  EXPECT_EQ(rs[1].hdr_flags(), 5u);
  EXPECT_EQ(rs[2].hdr_flags(), 5u);
  EXPECT_EQ(rs[1].u32(36), tree);
  EXPECT_EQ(rs[1].body_bytes(16, 5), (bytes{'2', '3', '4', '5', '6'}));
  EXPECT_EQ(rs[0].raw.size() % 8, 0u);
  EXPECT_EQ(c.get()->cl->opens.count, 0);
}

// The related requests after a failed CREATE have no open to act on: each
// gets the CREATE's status, whatever its command; an unrelated request after
// them is served on its own.
TEST_F(Files, CompoundAfterFailedCreateGetsItsStatus) {
  uint32_t tree = c.connect("films");
  uint64_t kept = c.open(tree, "ten.txt");
  std::vector<request> reqs = {
      {SMB2_CREATE, tree, 0, kSessionId, create_body("nosuch.txt")},
      {SMB2_READ, SMB2_RELATED_TREE_ID, SMB2_FLAGS_RELATED_OPERATIONS, kAllOnes, read_body(kAllOnes, 0, 5)},
      {SMB2_CLOSE, SMB2_RELATED_TREE_ID, SMB2_FLAGS_RELATED_OPERATIONS, kAllOnes, close_body(kAllOnes)},
      {SMB2_READ, tree, 0, kSessionId, read_body(kept, 0, 3)},
  };
  auto rs = c.exchange(reqs);
  ASSERT_EQ(rs.size(), 4u);
  ASSERT_NE(rs[0].status(), STATUS_SUCCESS);
  EXPECT_EQ(rs[1].status(), rs[0].status());
  EXPECT_EQ(rs[2].status(), rs[0].status());
  EXPECT_EQ(rs[3].status(), STATUS_SUCCESS);
  EXPECT_EQ(c.get()->cl->opens.count, 1);
}

}  // namespace

namespace {

using namespace files_sim;

// Every prefix of every request body of these commands is answered, never
// read past: a body cut inside its fixed part is refused, and the server
// keeps answering afterwards.
TEST_F(Files, TruncatedBodiesAreRefused) {
  uint32_t tree = c.connect("films");
  uint64_t dir = c.open(tree, "");
  uint64_t file = c.open(tree, "ten.txt");
  uint64_t pipe = c.open(c.connect("IPC$"), "srvsvc");
  struct Case {
    uint8_t cmd;
    bytes body;
    size_t fixed;  // bytes every valid request has
  };
  const Case cases[] = {
      {SMB2_TREE_CONNECT, tree_connect_body("films"), 8},
      {SMB2_CREATE, create_body("dir\\b.txt", kReadAccess, 1, 0, create_context("QFid")), 56},
      {SMB2_READ, read_body(file, 0, 10), 48},
      {SMB2_QUERY_DIRECTORY, qd_body(dir, FILE_ID_BOTH_DIRECTORY_INFORMATION, 1, "*.txt"), 32},
      {SMB2_QUERY_INFO, qi_body(file, 1, 18, 0), 40},
      {SMB2_IOCTL, ioctl_body(pipe, 0x0011C017, bytes(24, 1)), 56},
      {SMB2_CLOSE, close_body(0x12345), 16},
  };
  for (const Case& k : cases) {
    for (size_t n = 0; n < k.fixed; ++n) {
      bytes cut(k.body.begin(), k.body.begin() + long(n));
      response r = c.one({k.cmd, tree, 0, kSessionId, cut});
      EXPECT_NE(r.status(), STATUS_SUCCESS) << int(k.cmd) << " cut at " << n;
    }
    for (size_t n = k.fixed; n <= k.body.size(); ++n) {
      bytes cut(k.body.begin(), k.body.begin() + long(n));
      c.one({k.cmd, tree, 0, kSessionId, cut});  // any answer, no over-read
    }
  }
  EXPECT_EQ(c.read(file, 0, 3).status(), STATUS_SUCCESS);
}

}  // namespace
