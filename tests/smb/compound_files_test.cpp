// Related requests in one message use the FileId of a CREATE made earlier in
// the same message.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "engine_fixture.h"

using tw3test::bytes;
using tw3test::req;

namespace {

void put(bytes& b, uint64_t v, int width) {
  for (int i = 0; i < width; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

constexpr uint32_t kReadAccess = 0x00120089;  // READ_DATA | READ_EA | READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE
constexpr uint32_t kFileOpen = 1;
constexpr uint32_t kShareAll = 7;

bytes create_body(const std::u16string& name) {
  bytes b;
  put(b, 57, 2);
  put(b, 0, 2);             // SecurityFlags, RequestedOplockLevel
  put(b, 2, 4);             // ImpersonationLevel
  put(b, 0, 8);             // SmbCreateFlags
  put(b, 0, 8);             // Reserved
  put(b, kReadAccess, 4);
  put(b, 0, 4);             // FileAttributes
  put(b, kShareAll, 4);
  put(b, kFileOpen, 4);
  put(b, 0, 4);             // CreateOptions
  put(b, 64 + 56, 2);       // NameOffset
  put(b, name.size() * 2, 2);
  put(b, 0, 4);             // CreateContextsOffset
  put(b, 0, 4);             // CreateContextsLength
  for (char16_t ch : name) put(b, ch, 2);
  return b;
}

bytes read_body(uint32_t length, uint64_t fid) {
  bytes b;
  put(b, 49, 2);
  put(b, 0, 2);       // Padding, Flags
  put(b, length, 4);
  put(b, 0, 8);       // Offset
  put(b, fid, 8);     // FileId.Persistent
  put(b, fid, 8);     // FileId.Volatile
  put(b, 1, 4);       // MinimumCount
  put(b, 0, 4);       // Channel
  put(b, 0, 4);       // RemainingBytes
  put(b, 0, 4);       // ReadChannelInfoOffset, Length
  b.push_back(0);     // Buffer
  return b;
}

bytes query_info_body(uint8_t info_class, uint64_t fid) {
  bytes b;
  put(b, 41, 2);
  b.push_back(1);  // InfoType: file
  b.push_back(info_class);
  put(b, 4096, 4);  // OutputBufferLength
  put(b, 0, 4);  // InputBufferOffset, Reserved
  put(b, 0, 4);  // InputBufferLength
  put(b, 0, 4);  // AdditionalInformation
  put(b, 0, 4);  // Flags
  put(b, fid, 8);
  put(b, fid, 8);
  return b;
}

bytes close_body(uint64_t fid) {
  bytes b;
  put(b, 24, 2);
  put(b, 0, 2);
  put(b, 0, 4);
  put(b, fid, 8);
  put(b, fid, 8);
  return b;
}

class CompoundFiles : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    dir_ = std::filesystem::temp_directory_path() /
           ("tw3_compound_" + std::to_string(reinterpret_cast<uintptr_t>(this)));
    std::filesystem::create_directories(dir_);
    std::ofstream(dir_ / "a.txt") << "hello, compound";
    ASSERT_EQ(tw3_add_share("data", dir_.string().c_str()), 0) << tw3_error();
    auto* t = new tw3_tree{};
    t->tree_id = 1;
    t->session_id = 0x99;
    std::snprintf(t->share_name, sizeof t->share_name, "data");
    ASSERT_EQ(tw3_share_find("data", &t->share), 0);
    c_.cl->tree_list = t;
    c_.cl->next_id = 1;
    sim_session(&c_, 0x99);
    c_.max_read = 65536;
    c_.negotiated = 1;
  }
  void TearDown() override {
    EngineTest::TearDown();
    tw3_config_reset_for_tests();
    std::filesystem::remove_all(dir_);
  }
  std::filesystem::path dir_;
};

TEST_F(CompoundFiles, CreateReadCloseShareTheCreatedHandle) {
  req create;
  create.command = SMB2_CREATE;
  create.message_id = 1;
  create.session_id = 0x99;
  create.tree_id = 1;
  create.body = create_body(u"a.txt");
  req read;
  read.command = SMB2_READ;
  read.message_id = 2;
  read.flags = SMB2_FLAGS_RELATED_OPERATIONS;
  read.session_id = SMB2_RELATED_SESSION_ID;
  read.tree_id = SMB2_RELATED_TREE_ID;
  read.body = read_body(100, SMB2_RELATED_FILE_ID);
  req close = read;
  close.command = SMB2_CLOSE;
  close.message_id = 3;
  close.body = close_body(SMB2_RELATED_FILE_ID);

  EXPECT_EQ(run(tw3test::compound({create, read, close})), 1);
  const auto rs = responses();
  ASSERT_EQ(rs.size(), 3u);
  for (const auto& r : rs) EXPECT_EQ(r.status, STATUS_SUCCESS) << tw3_cmd_name(r.command);
  EXPECT_EQ(rs[0].off % 8, 0u);
  EXPECT_EQ(rs[1].off % 8, 0u);
  EXPECT_EQ(rs[2].off % 8, 0u);
  EXPECT_EQ(rs[1].flags, 5u);
  EXPECT_EQ(rs[2].flags, 5u);
  EXPECT_EQ(rs[1].session_id, 0x99u);
  EXPECT_EQ(rs[2].tree_id, 1u);
  const std::string data(reinterpret_cast<const char*>(r_.b.data) + rs[1].off + 80, 15);
  EXPECT_EQ(data, "hello, compound");
  EXPECT_EQ(c_.cl->opens.count, 0);

  // Without a CREATE earlier in the message nothing is substituted.
  EXPECT_EQ(run(tw3test::compound({req{}, read})), 1);
  const auto alone = responses();
  ASSERT_EQ(alone.size(), 2u);
  EXPECT_NE(alone[1].status, STATUS_SUCCESS);
}

// A failed request in the middle of a compound answers for itself: the CLOSE
// after it still closes, so the compound leaves no handle behind however
// often it runs (smbprotocol's stat() sends exactly this).
TEST_F(CompoundFiles, CloseAfterAFailedQueryInfoStillCloses) {
  req create;
  create.command = SMB2_CREATE;
  create.session_id = 0x99;
  create.tree_id = 1;
  create.body = create_body(u"a.txt");
  req qi;
  qi.command = SMB2_QUERY_INFO;
  qi.flags = SMB2_FLAGS_RELATED_OPERATIONS;
  qi.session_id = SMB2_RELATED_SESSION_ID;
  qi.tree_id = SMB2_RELATED_TREE_ID;
  req close = qi;
  close.command = SMB2_CLOSE;
  close.body = close_body(SMB2_RELATED_FILE_ID);
  req good = qi;
  good.body = query_info_body(5, SMB2_RELATED_FILE_ID);  // FileStandardInformation
  qi.body = query_info_body(0xFF, SMB2_RELATED_FILE_ID);  // no such class
  uint64_t mid = 1;
  for (int round = 0; round < 3; ++round) {
    std::vector<req> chain = {create, good, qi, good, close};
    for (req& q : chain) q.message_id = mid++;
    run(tw3test::compound(chain));
    const auto rs = responses();
    ASSERT_EQ(rs.size(), 5u);
    EXPECT_EQ(rs[0].status, STATUS_SUCCESS);
    EXPECT_EQ(rs[1].status, STATUS_SUCCESS);
    EXPECT_EQ(rs[2].status, STATUS_INVALID_INFO_CLASS);
    EXPECT_EQ(rs[3].status, STATUS_SUCCESS) << "the open is still there";
    EXPECT_EQ(rs[4].status, STATUS_SUCCESS);
    EXPECT_EQ(c_.cl->opens.count, 0) << round;
  }
}

}  // namespace
