// The srvsvc operations besides the share list, through IOCTL transceive:
// NetrShareGetInfo and NetrServerGetInfo decoded field by field at every
// level served, NetrShareCheck, NetrRemoteTOD, the sticky share list, the
// refused administrative calls, the answers without information (an unknown
// share, a level not served), the fault for arguments that cannot be read,
// and the fault of every opnum not served.
#include <gtest/gtest.h>

#include <iterator>
#include <string>

#include "platform/tempdir.h"
#include "smb/files_sim.h"

namespace {

using namespace files_sim;

constexpr uint32_t kTransceive = 0x0011C017;
constexpr uint32_t kInvalidLevel = 124;
constexpr uint32_t kNetNameNotFound = 2310;
constexpr uint32_t kFaultNdr = 0x000006F7;
constexpr uint32_t kFaultOpRange = 0x1C010002;
constexpr uint32_t kAccessDenied = 5;
// A self-relative security descriptor (MS-DTYP 2.4.6): owner
// BUILTIN\Administrators, group BUILTIN\Users, and a DACL whose one inherited
// entry lets Everyone read and execute.
constexpr uint8_t kEveryoneReads[] = {
    1, 0, 0x04, 0x80, 20, 0, 0, 0, 36, 0, 0, 0, 0, 0, 0, 0, 52, 0, 0, 0,  // header
    1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0,                   // S-1-5-32-544
    1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x21, 2, 0, 0,                   // S-1-5-32-545
    2, 0, 28, 0, 1, 0, 0, 0,                                              // ACL, one ACE
    0, 3, 20, 0, 0xA9, 0, 0x12, 0, 1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0,    // allow S-1-1-0
};

class PipeOps : public ::testing::Test {
 protected:
  void SetUp() override {
    tw3_config_reset_for_tests();
    ASSERT_TRUE(t.ok());
    ASSERT_TRUE(t.dir("m"));
    ASSERT_EQ(tw3_add_share("media", t.sub("m").c_str()), 0) << tw3_error();
    ASSERT_EQ(tw3_add_share("Bücher", t.sub("m").c_str()), 0) << tw3_error();
    ipc = c.connect("IPC$");
    pipe = c.open(ipc, "srvsvc");
  }
  void TearDown() override { tw3_config_reset_for_tests(); }

  // The PDU answering `opnum` with `stub` as its arguments (one fragment).
  bytes call(uint16_t opnum, const bytes& stub) {
    response r = c.ioctl(pipe, kTransceive, rpc_request(++call_id, opnum, stub));
    EXPECT_EQ(r.status(), STATUS_SUCCESS);
    bytes pdu = r.body_bytes(48, r.b32(36));
    EXPECT_GE(pdu.size(), 24u);
    if (pdu.size() >= 24) {
      EXPECT_EQ(pdu[3], 3) << "one fragment";
      EXPECT_EQ(le32(pdu.data() + 12), call_id);
    }
    return pdu;
  }
  // The stub of a response.
  bytes answer(uint16_t opnum, const bytes& stub) {
    const bytes pdu = call(opnum, stub);
    EXPECT_EQ(pdu.size() >= 24 ? pdu[2] : 0, 2) << "response";
    return pdu.size() >= 24 ? bytes(pdu.begin() + 24, pdu.end()) : bytes{};
  }
  // The status of a fault.
  uint32_t fault(uint16_t opnum, const bytes& stub) {
    const bytes pdu = call(opnum, stub);
    if (pdu.size() != 32 || pdu[2] != 3) {
      ADD_FAILURE() << "no fault: " << pdu.size() << " bytes";
      return 0;
    }
    return le32(pdu.data() + 24);
  }

  temp_dir t;
  conn c;
  uint32_t ipc = 0;
  uint64_t pipe = 0;
  uint32_t call_id = 0;
};

TEST_F(PipeOps, ShareInfoOfTheNamedShareAtEachLevel) {
  const std::string too_long(TW3_SHARE_NAME_MAX + 1, 'm');
  const std::string very_long(5000, 'm');
  ASSERT_EQ(tw3_add_share(too_long.substr(1).c_str(), t.sub("m").c_str()), 0) << "the longest name";
  const struct {
    const char* asked;
    uint32_t level;
    const char* name;  // as configured; null: no information
    uint32_t type;
    const char* remark;
    uint32_t status;
  } cases[] = {
      {"media", 0, "media", 0, nullptr, 0},
      {"MEDIA", 1, "media", 0, "read-only share", 0},
      {"bÜcher", 1, nullptr, 0, nullptr, kNetNameNotFound},  // only ASCII letters fold
      {"BüCHER", 2, "Bücher", 0, "read-only share", 0},
      {"ipc$", 2, "IPC$", 3, "IPC share", 0},
      {"Media", 1005, "", 0, nullptr, 0},
      {"media", 501, "media", 0, "read-only share", 0},
      {"IPC$", 502, "IPC$", 3, "IPC share", 0},
      {"mEdia", 502, "media", 0, "read-only share", 0},
      {"nosuch", 1, nullptr, 0, nullptr, kNetNameNotFound},
      {"", 0, nullptr, 0, nullptr, kNetNameNotFound},
      {too_long.c_str() + 1, 0, too_long.c_str() + 1, 0, nullptr, 0},
      {too_long.c_str(), 0, nullptr, 0, nullptr, kNetNameNotFound},
      {very_long.c_str(), 1, nullptr, 0, nullptr, kNetNameNotFound},
      {"media", 3, nullptr, 0, nullptr, kInvalidLevel},
      {"media", 503, nullptr, 0, nullptr, kInvalidLevel},
      {"nosuch", 1006, nullptr, 0, nullptr, kInvalidLevel},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(std::string(k.asked).substr(0, 20) + " at " + std::to_string(k.level));
    const int64_t queries = tw3_stat_get(ST_SRVSVC_QUERIES);
    const bytes stub = answer(16, share_get_info_stub(k.asked, k.level));
    EXPECT_EQ(tw3_stat_get(ST_SRVSVC_QUERIES) - queries, 1);
    ndr n{stub};
    EXPECT_EQ(n.u32(), k.level) << "union discriminant";
    const uint32_t info = n.u32();
    if (k.name == nullptr) {
      EXPECT_EQ(info, 0u) << "no information";
    } else {
      EXPECT_NE(info, 0u);
      if (k.level == 1005) {
        EXPECT_EQ(n.u32(), 0u) << "shi1005_flags: manual caching, no DFS";
      } else {
        EXPECT_NE(n.u32(), 0u) << "netname";
        const bool paths = k.level == 2 || k.level == 502;
        if (k.level >= 1) {
          EXPECT_EQ(n.u32(), k.type);
          EXPECT_NE(n.u32(), 0u) << "remark";
        }
        if (k.level == 501) {
          EXPECT_EQ(n.u32(), 0u) << "shi501_flags";
        }
        if (paths) {
          EXPECT_EQ(n.u32(), 0u) << "permissions";
          EXPECT_EQ(n.u32(), 0xFFFFFFFFu) << "max_uses";
          EXPECT_EQ(n.u32(), 0u) << "current_uses";
          EXPECT_NE(n.u32(), 0u) << "path";
          EXPECT_EQ(n.u32(), 0u) << "no password";
        }
        uint32_t sd_size = 0;
        if (k.level == 502) {
          sd_size = n.u32();
          EXPECT_NE(n.u32(), 0u) << "security descriptor";
        }
        EXPECT_EQ(n.str(), k.name);
        if (k.level >= 1) {
          EXPECT_EQ(n.str(), k.remark);
        }
        if (paths) {
          EXPECT_EQ(n.str(), "") << "the host path is not shown";
        }
        if (k.level == 502) {
          ASSERT_EQ(n.u32(), sd_size) << "the descriptor's conformant size, as shi502_reserved says";
          ASSERT_GE(stub.size() - n.pos, size_t(sd_size));
          const bytes sd(stub.begin() + long(n.pos), stub.begin() + long(n.pos + sd_size));
          EXPECT_EQ(sd, (bytes(std::begin(kEveryoneReads), std::end(kEveryoneReads))));
          n.pos = (n.pos + sd_size + 3) & ~size_t(3);
        }
      }
    }
    EXPECT_EQ(n.u32(), k.status) << "return value";
    EXPECT_EQ(n.pos, stub.size());
  }
}

// NetrShareCheck agrees with the paths shares report: every share's is empty.
TEST_F(PipeOps, OnlyTheEmptyPathSharesReportIsShared) {
  const std::string host_path = t.sub("m");
  const bytes shared = {3, 0, 0, 0, 0, 0, 0, 0};       // STYPE_IPC, success
  const bytes not_shared = {0, 0, 0, 0, 7, 9, 0, 0};  // NERR_DeviceNotShared
  for (const std::string& device : {std::string(), std::string("m"), std::string("media"), host_path,
                                    std::string("C:\\")}) {
    bytes args;
    put_server_name(args);
    put_ndr_string(args, device);
    EXPECT_EQ(answer(20, args), device.empty() ? shared : not_shared) << device;
  }
  // As smbtorture sends it: the stub ends with the string, without padding.
  bytes unpadded;
  put_server_name(unpadded);
  put_ndr_string(unpadded, "");
  unpadded.resize(unpadded.size() - 2);
  EXPECT_EQ(answer(20, unpadded), shared);
  // A zero inside the string makes it another path.
  bytes zero_inside;
  put_server_name(zero_inside);
  for (uint32_t v : {2u, 0u, 2u}) put32(zero_inside, v);
  put32(zero_inside, 0);
  EXPECT_EQ(answer(20, zero_inside), not_shared);
}

TEST_F(PipeOps, ServerInfoAtEachLevel) {
  ASSERT_EQ(tw3_set_option("server_name", "FILER7"), 0);
  ASSERT_EQ(tw3_set_option("max_clients", "40"), 0);
  ASSERT_EQ(tw3_set_option("idle_timeout_ms", "90001"), 0);
  bytes null_server;
  put32(null_server, 0);  // ServerName: a null pointer
  put32(null_server, 101);
  const struct {
    const char* what;
    bytes args;
    uint32_t level;
  } cases[] = {
      {"level 100", server_get_info_stub(100), 100},
      {"level 101", server_get_info_stub(101), 101},
      {"level 102", server_get_info_stub(102), 102},
      {"no server name", null_server, 101},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    const bytes stub = answer(21, k.args);
    ndr n{stub};
    EXPECT_EQ(n.u32(), k.level) << "union discriminant";
    EXPECT_NE(n.u32(), 0u);
    EXPECT_EQ(n.u32(), 500u) << "PLATFORM_ID_NT";
    EXPECT_NE(n.u32(), 0u) << "name";
    if (k.level >= 101) {
      EXPECT_EQ(n.u32(), 10u) << "version_major";
      EXPECT_EQ(n.u32(), 0u) << "version_minor";
      EXPECT_EQ(n.u32(), 0x00009003u) << "workstation, server, NT, server NT";
      EXPECT_NE(n.u32(), 0u) << "comment";
    }
    if (k.level == 102) {
      EXPECT_EQ(n.u32(), 40u) << "users: max_clients";
      EXPECT_EQ(n.u32(), 2u) << "disc: the idle timeout in minutes, rounded up";
      for (const char* field : {"hidden", "announce", "anndelta", "licenses"}) EXPECT_EQ(n.u32(), 0u) << field;
      EXPECT_NE(n.u32(), 0u) << "userpath";
    }
    EXPECT_EQ(n.str(), "FILER7");
    if (k.level >= 101) {
      EXPECT_EQ(n.str(), "") << "comment";
    }
    if (k.level == 102) {
      EXPECT_EQ(n.str(), "") << "userpath";
    }
    EXPECT_EQ(n.u32(), 0u) << "success";
    EXPECT_EQ(n.pos, stub.size());
  }
  for (uint32_t level : {0u, 1u, 99u, 103u, 502u, 503u, 0xFFFFFFFFu}) {
    EXPECT_EQ(answer(21, server_get_info_stub(level)), (bytes{uint8_t(level), uint8_t(level >> 8), uint8_t(level >> 16),
                                                              uint8_t(level >> 24), 0, 0, 0, 0, 124, 0, 0, 0}))
        << "level " << level << ": no information, ERROR_INVALID_LEVEL";
  }
}

TEST_F(PipeOps, ArgumentsThatCannotBeReadAreFaulted) {
  const bytes share = share_get_info_stub("media", 1);
  const bytes server = server_get_info_stub(101);
  // Every stub cut short, down to nothing.
  bytes check;
  put_server_name(check);
  put_ndr_string(check, "C:\\");
  for (const auto& [opnum, stub] :
       {std::pair<uint16_t, bytes>{16, share}, {21, server}, {15, share_enum_stub(1)}, {20, check}}) {
    // NetrShareEnum reads no further than its level.
    const size_t needed = opnum == 15 ? 28 : stub.size();
    for (size_t n = 0; n < needed; ++n) {
      EXPECT_EQ(fault(opnum, bytes(stub.begin(), stub.begin() + long(n))), kFaultNdr) << opnum << " cut at " << n;
    }
  }
  // Strings NDR does not allow.
  const size_t name_at = 24;  // NetName after the 24 bytes of ServerName
  auto patched = [&](size_t at, uint32_t v) {
    bytes b = share;
    put_le32(b.data() + at, v);
    return b;
  };
  EXPECT_EQ(fault(16, patched(name_at + 4, 1)), kFaultNdr) << "a non-zero offset";
  EXPECT_EQ(fault(16, patched(name_at + 8, 7)), kFaultNdr) << "more units than the maximum";
  EXPECT_EQ(fault(21, bytes{1, 0, 0, 0, 100, 0, 0, 0, 0, 0, 0, 0, 100, 0, 0, 0, 'a', 0}), kFaultNdr)
      << "a server name longer than the stub";
}

// The arguments of an administrative enumeration: ServerName, `names`
// unique strings (the first present, the rest null), then InfoStruct's level
// and the rest a client sends (an empty container, PreferedMaximumLength,
// a null ResumeHandle).
bytes admin_enum_stub(int names, uint32_t level) {
  bytes b;
  put_server_name(b);
  for (int i = 0; i < names; ++i) {
    put32(b, i == 0 ? 0x00020004 : 0);
    if (i == 0) put_ndr_string(b, "ADMIN$");
  }
  for (uint32_t v : {level, level, 0x00020008u, 0u, 0u, 0xFFFFFFFFu, 0u}) put32(b, v);
  return b;
}

// No administrators here: each call is answered in its own shape with the
// level asked, nothing in it, and ERROR_ACCESS_DENIED.
TEST_F(PipeOps, AdministrativeEnumerationsAreRefused) {
  const struct {
    uint16_t opnum;
    int names;
  } calls[] = {{0, 0}, {3, 1}, {8, 1}, {9, 2}, {12, 2}, {26, 0}};
  for (const auto& k : calls) {
    for (uint32_t level : {0u, 502u}) {
      const bytes args = admin_enum_stub(k.names, level);
      bytes want;
      for (uint32_t v : {level, level, 0u, 0u, 0u, kAccessDenied}) put32(want, v);
      EXPECT_EQ(answer(k.opnum, args), want) << "opnum " << k.opnum << " level " << level;
      // Cut before the level: nothing to answer at.
      const size_t level_at = args.size() - 7 * 4;
      EXPECT_EQ(fault(k.opnum, bytes(args.begin(), args.begin() + long(level_at + 3))), kFaultNdr) << k.opnum;
    }
  }
  bytes disks;
  put_server_name(disks);
  for (uint32_t v : {0u, 0u, 0u, 0xFFFFFFFFu, 0x00020004u, 0u}) put32(disks, v);
  bytes no_disks;
  for (uint32_t v : {0u, 0u, 0u, 0u, kAccessDenied}) put32(no_disks, v);
  EXPECT_EQ(answer(23, disks), no_disks) << "NetrServerDiskEnum";
  EXPECT_EQ(fault(23, bytes(disks.begin(), disks.begin() + 24)), kFaultNdr);
}

TEST_F(PipeOps, RemoteTimeOfDayFollowsTheClock) {
  ASSERT_EQ(tw3_set_option("clock", "951868799"), 0);  // 2000-02-29 23:59:59, a Tuesday
  bytes args;
  put_server_name(args);
  const bytes stub = answer(28, args);
  ndr n{stub};
  EXPECT_NE(n.u32(), 0u) << "TIME_OF_DAY_INFO pointer";
  EXPECT_EQ(n.u32(), 951868799u) << "elapsedt";
  n.u32();  // msecs: a tick
  for (uint32_t want : {23u, 59u, 59u, 0u, 0u, 310u, 29u, 2u, 2000u, 2u}) EXPECT_EQ(n.u32(), want);
  EXPECT_EQ(n.u32(), 0u) << "success";
  EXPECT_EQ(n.pos, stub.size());
  EXPECT_EQ(fault(28, bytes(args.begin(), args.begin() + 10)), kFaultNdr);
}

// Every configured share is sticky: the same list as NetrShareEnum, without
// level 501.
TEST_F(PipeOps, StickyShareListIsTheShareList) {
  for (uint32_t level : {0u, 1u, 2u, 502u}) {
    EXPECT_EQ(answer(36, share_enum_stub(level)), answer(15, share_enum_stub(level))) << level;
  }
  bytes no_list;
  for (uint32_t v : {501u, 501u, 0u, 0u, 0u, kInvalidLevel}) put32(no_list, v);
  EXPECT_EQ(answer(36, share_enum_stub(501)), no_list);
}

TEST_F(PipeOps, OpnumsNotServedAreOutOfRange) {
  const int64_t queries = tw3_stat_get(ST_SRVSVC_QUERIES);
  for (uint16_t opnum : {1, 2, 14, 17, 19, 22, 30, 33, 37, 54, 0xFFFF}) {
    EXPECT_EQ(fault(opnum, server_get_info_stub(101)), kFaultOpRange) << "opnum " << opnum;
  }
  EXPECT_EQ(tw3_stat_get(ST_SRVSVC_QUERIES), queries) << "no query served";
}

}  // namespace
