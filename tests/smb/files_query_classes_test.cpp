// QUERY_INFO beyond the basic classes: each layout byte for byte, the fixed
// security descriptor with its length and access rules, and the volume's
// label, padding and size.
#if !defined(_WIN32)
#include <sys/statvfs.h>
#endif

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "common/smb_frames.h"
#include "platform/tempdir.h"
#include "smb/files_sim.h"

namespace {

using namespace files_sim;

constexpr const char* kWideShare = "Größere Sammlung – 日本";

bytes le(uint64_t v, int width) {
  bytes b;
  for (int i = 0; i < width; ++i) b.push_back(uint8_t(v >> (8 * i)));
  return b;
}
bytes cat(std::initializer_list<bytes> parts) {
  bytes out;
  for (const bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
bytes zeros(size_t n) { return bytes(n, 0); }
// FILE_NAME_INFORMATION of `name`, zero-padded to the 8 bytes clients read.
bytes name_info(const std::string& name) {
  bytes b = cat({le(utf16(name).size(), 4), utf16(name)});
  if (b.size() < 8) b.resize(8, 0);
  return b;
}

bytes secinfo_body(uint64_t fid, uint32_t info, uint32_t out_len) {
  bytes b = qi_body(fid, 3, 0, out_len);
  put_le32(b.data() + 16, info);
  return b;
}

class QueryClasses : public ::testing::Test {
 protected:
  void SetUp() override {
    tw3_config_reset_for_tests();
    ASSERT_TRUE(t.ok());
    ASSERT_TRUE(t.dir("media"));
    ASSERT_TRUE(t.dir("media/sub"));
    ASSERT_TRUE(t.file("media/ten.txt", "0123456789"));
    ASSERT_TRUE(t.file("media/sub/a long name.txt", std::string(70000, 'x')));
    // Names SMB cannot carry exist only on hosts that allow them.
    if (!tw3_host_name_rules().windows) {
      ASSERT_TRUE(t.dir("media/d:x"));
      ASSERT_TRUE(t.file("media/d:x/A?.txt", "q"));
    }
    for (const char* share : {"media", "m", kWideShare}) {
      ASSERT_EQ(tw3_add_share(share, t.sub("media").c_str()), 0) << tw3_error();
    }
    tree = c.connect("media");
  }
  void TearDown() override { tw3_config_reset_for_tests(); }

  // The host's number of the object (the inode; the file index on Windows).
  uint64_t ino(const std::string& rel) {
    tw3_stat st{};
    EXPECT_EQ(tw3_fs_stat(t.sub(rel).c_str(), &st), 0) << rel;
    return st.file_index;
  }
  bytes data_of(const response& r) {
    EXPECT_EQ(r.status(), STATUS_SUCCESS);
    if (r.body_size() < 8) return {};
    EXPECT_EQ(r.b16(0), 9);
    EXPECT_EQ(r.b16(2), 72);
    return r.body_bytes(8, r.b32(4));
  }

  temp_dir t;
  conn c;
  uint32_t tree = 0;
};

TEST_F(QueryClasses, FileLayoutsByteForByte) {
  const uint64_t file = c.open(tree, "ten.txt");
  const uint64_t dir = c.open(tree, "sub");
  const uint64_t deep = c.open(tree, "sub\\a long name.txt");
  const uint64_t root = c.open(tree, "");
  // "d:x/A?.txt" as a client spells it (U+F022, U+F025), in another case.
  const bool windows = tw3_host_name_rules().windows;
  const uint64_t mapped = windows ? 0 : c.open(tree, "D\xEF\x80\xA2X\\a\xEF\x80\xA5.TXT");
  const uint32_t serial = c.qi(file, 2, 1, 0).b32(8 + 8);
  const bytes stream_name = utf16("::$DATA");
  struct Case {
    const char* what;
    uint64_t fid;
    uint8_t cls;
    bytes want;
  };
  const Case cases[] = {
      {"EA", file, 7, zeros(4)},
      {"access granted at open", file, 8, le(kReadAccess, 4)},
      {"position", file, 14, zeros(8)},
      {"mode", file, 16, zeros(4)},
      {"alignment", dir, 17, zeros(4)},
      {"8.3 name of a file", file, 21, name_info("TEN.TXT")},
      {"8.3 name of a folder", dir, 21, name_info("SUB")},
      {"no 8.3 name", deep, 21, name_info("")},
      {"no name for the root", root, 21, name_info("")},
      {"one data stream", file, 22, cat({zeros(4), le(14, 4), le(10, 8), le(65536, 8), stream_name})},
      {"a folder has no stream", dir, 22, {}},
      {"compression", deep, 28, cat({le(131072, 8), zeros(8)})},
      {"compression of a folder", dir, 28, zeros(16)},
      {"normalized name", deep, 48, name_info("sub\\a long name.txt")},
      {"normalized name of the root", root, 48, name_info("")},
      {"normalized name as clients see it", mapped, 48, name_info("d\xEF\x80\xA2x\\A\xEF\x80\xA5.txt")},
      {"8.3 name as clients see it", mapped, 21, name_info("A\xEF\x80\xA5.TXT")},
      {"file id", file, 59, cat({le(serial, 8), le(ino("media/ten.txt"), 8), zeros(8)})},
      {"attribute tag of a file", file, 35, cat({le(0x21, 4), zeros(4)})},
      {"attribute tag of a folder", dir, 35, cat({le(0x11, 4), zeros(4)})},
  };
  for (const Case& k : cases) {
    if (windows && k.fid == mapped) continue;  // nothing to map there
    EXPECT_EQ(data_of(c.qi(k.fid, 1, k.cls, 0)), k.want) << k.what;
  }
}

TEST_F(QueryClasses, LengthRulesAndDialect) {
  const uint64_t file = c.open(tree, "sub\\a long name.txt");
  // Below the fixed part: mismatch; below the whole: the first bytes.
  EXPECT_EQ(c.qi(file, 1, 22, 23).status(), STATUS_INFO_LENGTH_MISMATCH);
  response cut = c.qi(file, 1, 22, 30);
  EXPECT_EQ(cut.status(), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(cut.b32(4), 30u);
  EXPECT_EQ(c.qi(file, 1, 48, 3).status(), STATUS_INFO_LENGTH_MISMATCH);
  EXPECT_EQ(c.qi(file, 1, 59, 23).status(), STATUS_INFO_LENGTH_MISMATCH);
  // Normalized names exist from 3.1.1 on.
  c.get()->dialect = SMB2_DIALECT_302;
  EXPECT_EQ(c.qi(file, 1, 48, 0).status(), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(c.qi(file, 1, 21, 0).status(), STATUS_SUCCESS);
}

TEST_F(QueryClasses, VolumeLabelIsUtf16AndNeverShorterThanItsStructure) {
  struct Case {
    const char* share;
    size_t size;  // bytes of the answer
  };
  const Case cases[] = {{"m", 24}, {"media", 28}, {kWideShare, 18 + utf16(kWideShare).size()}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.share);
    const uint64_t root = c.open(c.connect(k.share), "");
    const bytes vol = data_of(c.qi(root, 2, 1, 0));
    ASSERT_EQ(vol.size(), k.size);
    const bytes label = utf16(k.share);
    EXPECT_EQ(bytes(vol.begin() + 12, vol.begin() + 16), le(label.size(), 4));
    EXPECT_EQ(bytes(vol.begin() + 18, vol.begin() + 18 + long(label.size())), label);
    EXPECT_EQ(bytes(vol.begin() + 18 + long(label.size()), vol.end()), zeros(k.size - 18 - label.size()));
  }
}

TEST_F(QueryClasses, VolumeSizeIsThatOfTheHostFileSystem) {
  std::error_code ec;
  const std::filesystem::space_info host = std::filesystem::space(temp_dir::fs_path(t.sub("media")), ec);
  ASSERT_FALSE(ec) << ec.message();
  const uint64_t total = host.capacity;
  const uint64_t root = c.open(tree, "");
  const bytes size = data_of(c.qi(root, 2, 3, 0));
  const bytes full = data_of(c.qi(root, 2, 7, 0));
  ASSERT_EQ(size.size(), 24u);
  ASSERT_EQ(full.size(), 32u);
  const uint64_t unit = uint64_t(le32(size.data() + 16)) * le32(size.data() + 20);
#if !defined(_WIN32)
  struct statvfs sv {};
  ASSERT_EQ(::statvfs(t.sub("media").c_str(), &sv), 0);
  ASSERT_EQ(unit, sv.f_frsize);
#endif
  EXPECT_EQ(le64(size.data()) * unit, total);
  EXPECT_EQ(le64(full.data()) * unit, total);
  EXPECT_EQ(bytes(full.begin() + 24, full.end()), bytes(size.begin() + 16, size.end()));
  // Free space moves with whatever else runs; it only has to be plausible.
  const uint64_t avail = le64(size.data() + 8) * unit;
  const uint64_t host_avail = host.available;
  // Two reads apart: where the host keeps no reserve (wine) the space the
  // user may fill equals the free space and can cross it between them.
  EXPECT_LE(avail, le64(full.data() + 16) * unit + total / 100);
  EXPECT_LE(le64(full.data() + 16) * unit, total);
  EXPECT_LT(avail > host_avail ? avail - host_avail : host_avail - avail, total / 20 + 1);
}

TEST_F(QueryClasses, OtherVolumeLayouts) {
  const uint64_t root = c.open(tree, "");
  const bytes sector = cat({le(512, 4), le(512, 4), le(512, 4), le(512, 4), le(3, 4), zeros(8)});
  EXPECT_EQ(data_of(c.qi(root, 2, 11, 0)), sector);
  const bytes oid = data_of(c.qi(root, 2, 8, 0));
  ASSERT_EQ(oid.size(), 64u);
  EXPECT_NE(bytes(oid.begin(), oid.begin() + 16), zeros(16));
  EXPECT_EQ(bytes(oid.begin() + 16, oid.end()), zeros(48));
  EXPECT_EQ(data_of(c.qi(c.open(tree, "sub"), 2, 8, 0)), oid) << "one id for the whole share";
  EXPECT_EQ(c.qi(root, 2, 11, 27).status(), STATUS_INFO_LENGTH_MISMATCH);
}

// Owner BUILTIN\Administrators, group BUILTIN\Users, Everyone read+execute.
bytes descriptor(bool owner, bool group, bool dacl, uint8_t ace_flags) {
  const bytes admins = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};
  const bytes users = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x21, 2, 0, 0};
  const bytes acl = {2, 0, 28, 0, 1, 0, 0, 0,            // ACL header
                     0, ace_flags, 20, 0, 0xA9, 0, 0x12, 0,  // ACE header, mask
                     1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};    // S-1-1-0
  uint32_t at = 20;
  const uint32_t owner_at = owner ? at : 0;
  at += owner ? 16 : 0;
  const uint32_t group_at = group ? at : 0;
  at += group ? 16 : 0;
  const uint32_t dacl_at = dacl ? at : 0;
  return cat({{1, 0}, le(dacl ? 0x8004 : 0x8000, 2), le(owner_at, 4), le(group_at, 4), zeros(4),
              le(dacl_at, 4), owner ? admins : bytes{}, group ? users : bytes{}, dacl ? acl : bytes{}});
}

TEST_F(QueryClasses, SecurityDescriptorHonoursTheRequestedParts) {
  const uint64_t file = c.open(tree, "ten.txt");
  const uint64_t dir = c.open(tree, "sub");
  struct Case {
    uint64_t fid;
    uint32_t info;
    bytes want;
  };
  const Case cases[] = {
      {file, 7, descriptor(true, true, true, 0)},
      {dir, 7, descriptor(true, true, true, 3)},
      {file, 1, descriptor(true, false, false, 0)},
      {file, 6, descriptor(false, true, true, 0)},
      {file, 0x20, descriptor(false, false, false, 0)},  // unknown bits are ignored
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.info);
    response r = c.one(c.on(SMB2_QUERY_INFO, secinfo_body(k.fid, k.info, 4096)));
    EXPECT_EQ(data_of(r), k.want);
  }
  EXPECT_EQ(descriptor(true, true, true, 0).size(), 80u);
}

TEST_F(QueryClasses, SecurityRefusalsCarryWhatTheClientNeeds) {
  const uint64_t file = c.open(tree, "ten.txt");
  // Too small (0 included): the size needed, in an error context on 3.1.1,
  // bare before it.
  const bytes ctx80 = cat({le(9, 2), {1, 0}, le(12, 4), le(4, 4), zeros(4), le(80, 4)});
  const bytes bare36 = cat({le(9, 2), {0, 0}, le(4, 4), le(36, 4)});
  struct Case {
    uint16_t dialect;
    uint32_t info;
    uint32_t out_len;
    bytes want;
  };
  const Case cases[] = {
      {SMB2_DIALECT_311, 7, 79, ctx80},
      {SMB2_DIALECT_311, 7, 0, ctx80},
      {SMB2_DIALECT_300, 1, 35, bare36},
  };
  for (const Case& k : cases) {
    c.get()->dialect = k.dialect;
    response r = c.one(c.on(SMB2_QUERY_INFO, secinfo_body(file, k.info, k.out_len)));
    EXPECT_EQ(r.status(), STATUS_BUFFER_TOO_SMALL) << k.out_len;
    EXPECT_EQ(r.body_bytes(0, r.body_size()), k.want) << k.out_len;
  }
  // READ_CONTROL is needed for owner, group and DACL; nothing grants the SACL.
  response attrs_only = c.create(tree, create_body("ten.txt", 0x00000080));
  ASSERT_EQ(attrs_only.status(), STATUS_SUCCESS);
  const uint64_t weak = attrs_only.b64(64);
  for (auto [fid, info] : {std::pair{weak, 4u}, std::pair{file, 8u}}) {
    response r = c.one(c.on(SMB2_QUERY_INFO, secinfo_body(fid, info, 4096)));
    EXPECT_EQ(r.status(), STATUS_ACCESS_DENIED) << info;
    EXPECT_EQ(r.body_bytes(0, r.body_size()), tw3test::kErrorBody);
  }
  EXPECT_EQ(data_of(c.qi(weak, 1, 8, 0)), le(0x80, 4));
  EXPECT_EQ(c.one(c.on(SMB2_QUERY_INFO, secinfo_body(0x999, 7, 4096))).status(),
            STATUS_FILE_CLOSED);
}

}  // namespace
