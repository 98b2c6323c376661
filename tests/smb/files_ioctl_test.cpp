// IOCTL through the dispatcher: FSCTL_VALIDATE_NEGOTIATE_INFO, the list of
// network interfaces, the refused controls, and the DCE/RPC exchange on the
// srvsvc pipe (bind_ack, the NetrShareEnum stub decoded field by field, the
// fault of other opnums).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/tempdir.h"
#include "smb/files_sim.h"

namespace {

using namespace files_sim;

constexpr uint32_t kValidate = 0x00140204;
constexpr uint32_t kTransceive = 0x0011C017;
constexpr uint32_t kQueryNetworkInterfaces = 0x001401FC;
constexpr uint32_t kDfsReferrals = 0x00060194;
constexpr uint32_t kPipeWait = 0x00110018;
constexpr uint32_t kCreateOrGetObjectId = 0x000900C0;

class Ioctl : public ::testing::Test {
 protected:
  void SetUp() override {
    tw3_config_reset_for_tests();
    ASSERT_TRUE(t.ok());
    ASSERT_TRUE(t.dir("b"));
    ASSERT_TRUE(t.dir("A"));
    ASSERT_TRUE(t.file("b/f", "f"));
    ASSERT_EQ(tw3_add_share("b", t.sub("b").c_str()), 0) << tw3_error();
    ASSERT_EQ(tw3_add_share("A", t.sub("A").c_str()), 0) << tw3_error();
    ipc = c.connect("IPC$");
    pipe = c.open(ipc, "srvsvc");
  }
  void TearDown() override { tw3_config_reset_for_tests(); }

  // The output of a successful pipe transceive.
  bytes transceive(const bytes& pdu) {
    response r = c.ioctl(pipe, kTransceive, pdu, 0x55);
    EXPECT_EQ(r.status(), STATUS_SUCCESS);
    EXPECT_EQ(r.b32(4), kTransceive);
    EXPECT_EQ(r.b64(8), pipe);
    EXPECT_EQ(r.b64(16), 0x55u);
    EXPECT_EQ(r.b32(32), 112u);
    return r.body_bytes(48, r.b32(36));
  }

  temp_dir t;
  conn c;
  uint32_t ipc = 0;
  uint64_t pipe = 0;
};

TEST_F(Ioctl, ValidateNegotiateAnswersAnyFileAndInput) {
  tw3_conn* k = c.get();
  k->dialect = SMB2_DIALECT_302;
  put_le64(k->server_guid, 0x1122334455667788ULL);  // as NEGOTIATE sent it, echoed
  put_le64(k->server_guid + 8, 0x99AABBCCDDEEFF00ULL);
  for (int variant = 0; variant < 2; ++variant) {
    k->client_large_mtu = variant;
    k->sign_required = variant;
    c.session()->guest = variant;  // unsigned requests stay acceptable
    response r = c.ioctl(variant ? kAllOnes : 0x12345, kValidate, variant ? bytes(24, 7) : bytes{});
    ASSERT_EQ(r.status(), STATUS_SUCCESS);
    EXPECT_EQ(r.b64(16), kAllOnes);
    ASSERT_EQ(r.b32(36), 24u);
    EXPECT_EQ(r.b32(48), 14u);  // LEASING, LARGE_MTU and MULTI_CHANNEL, as NEGOTIATE announced them
    EXPECT_EQ(r.b64(52), 0x1122334455667788ULL);
    EXPECT_EQ(r.b64(60), 0x99AABBCCDDEEFF00ULL);
    EXPECT_EQ(r.b16(68), variant ? 3 : 1);
    EXPECT_EQ(r.b16(70), SMB2_DIALECT_302);
  }
}

TEST_F(Ioctl, RefusedControls) {
  uint64_t file = c.open(c.connect("b"), "f");
  bytes offset_in_header = ioctl_body(pipe, kTransceive, bind_pdu(1, 1));
  put_le32(offset_in_header.data() + 24, 32);
  bytes past_end = ioctl_body(pipe, kTransceive, bind_pdu(1, 1));
  put_le32(past_end.data() + 28, 200);
  bytes wrapping = ioctl_body(pipe, kTransceive, bind_pdu(1, 1));
  put_le32(wrapping.data() + 24, 0xFFFFFFF0);
  bytes short_body = ioctl_body(pipe, kTransceive, {});
  short_body.resize(50);
  bytes interfaces_as_device_control = ioctl_body(kAllOnes, kQueryNetworkInterfaces, {}, kAllOnes);
  put_le32(interfaces_as_device_control.data() + 48, 0);  // Flags without SMB2_0_IOCTL_IS_FSCTL
  struct Case {
    const char* what;
    bytes body;
    uint32_t status;
    int counted;
  };
  const Case cases[] = {
      {"network interfaces of a file", ioctl_body(pipe, kQueryNetworkInterfaces, {}), STATUS_INVALID_PARAMETER, 0},
      {"network interfaces as a device control", interfaces_as_device_control, STATUS_NOT_SUPPORTED, 1},
      {"DFS referrals to no file", ioctl_body(kAllOnes, kDfsReferrals, {}, kAllOnes), STATUS_NOT_SUPPORTED, 1},
      {"pipe wait to no file", ioctl_body(kAllOnes, kPipeWait, {}, kAllOnes), STATUS_NOT_SUPPORTED, 1},
      // A file-system control names an open: FileId all ones names none.
      {"object id of no file", ioctl_body(kAllOnes, kCreateOrGetObjectId, {}, kAllOnes), STATUS_FILE_CLOSED, 0},
      {"transceive on a file", ioctl_body(file, kTransceive, bind_pdu(1, 1)), STATUS_NOT_SUPPORTED, 1},
      {"other control on the pipe", ioctl_body(pipe, 0x00090000, {}), STATUS_NOT_SUPPORTED, 1},
      {"unknown handle", ioctl_body(0x999, kTransceive, {}), STATUS_FILE_CLOSED, 0},
      {"input of 16,385 bytes", ioctl_body(pipe, kTransceive, bytes(16385, 0)), STATUS_INVALID_PARAMETER, 0},
      {"input offset inside the header", offset_in_header, STATUS_INVALID_PARAMETER, 0},
      {"input past the message", past_end, STATUS_INVALID_PARAMETER, 0},
      {"input offset wrapping", wrapping, STATUS_INVALID_PARAMETER, 0},
      {"short body", short_body, STATUS_INVALID_PARAMETER, 0},
  };
  for (const Case& k : cases) {
    int64_t refused = tw3_stat_get(ST_IOCTL_REFUSED);
    EXPECT_EQ(c.one(c.on(SMB2_IOCTL, k.body)).status(), k.status) << k.what;
    EXPECT_EQ(tw3_stat_get(ST_IOCTL_REFUSED) - refused, k.counted) << k.what;
  }
}

// One NETWORK_INTERFACE_INFO entry as a client reads it.
struct iface_entry {
  uint32_t next, if_index, capability, reserved;
  uint64_t link_speed;
  uint16_t family, port;
  bytes addr;  // 4 or 16 bytes
  bool rest_zero;  // FlowInfo, ScopeId and the storage's unused bytes
};

// Walks the entries by their Next offsets (at most one per 152 bytes, so
// the walk ends), failing on one that does not lie inside the output.
std::vector<iface_entry> decode_interfaces(const bytes& out) {
  std::vector<iface_entry> list;
  constexpr size_t kEntry = 152;
  for (size_t off = 0; off + kEntry <= out.size() && list.size() <= out.size() / kEntry;) {
    const uint8_t* e = out.data() + off;
    iface_entry x{le32(e), le32(e + 4), le32(e + 8), le32(e + 12), le64(e + 16), le16(e + 24), le16(e + 26), {}, true};
    const bool v4 = x.family == 2;
    const size_t addr_at = v4 ? 28 : 32;
    x.addr.assign(e + addr_at, e + addr_at + (v4 ? 4 : 16));
    for (size_t i = 24 + 4; i < kEntry; ++i) {
      const bool in_addr = i >= addr_at && i < addr_at + x.addr.size();
      if (!in_addr && e[i] != 0) x.rest_zero = false;
    }
    list.push_back(x);
    if (x.next == 0) return list;
    EXPECT_EQ(x.next, kEntry);
    off += x.next;
  }
  ADD_FAILURE() << "entries do not end inside the " << out.size() << " bytes of output";
  return list;
}

TEST_F(Ioctl, NetworkInterfacesFromTheOption) {
  ASSERT_EQ(tw3_set_option("interfaces", "192.0.2.7,2001:db8::7,10.0.2.2"), 0);
  tw3_opts_get(&c.get()->opts);  // as the loop refreshes it after a message
  const int64_t refused = tw3_stat_get(ST_IOCTL_REFUSED);
  response r = c.ioctl(kAllOnes, kQueryNetworkInterfaces, {}, kAllOnes, 3 * 152);
  ASSERT_EQ(r.status(), STATUS_SUCCESS);
  EXPECT_EQ(r.b32(4), kQueryNetworkInterfaces);
  EXPECT_EQ(r.b64(8), kAllOnes);
  EXPECT_EQ(r.b64(16), kAllOnes);
  EXPECT_EQ(r.b32(32), 112u);
  ASSERT_EQ(r.b32(36), 3 * 152u);
  const std::vector<iface_entry> list = decode_interfaces(r.body_bytes(48, r.b32(36)));
  const bytes v6 = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7};
  const struct {
    uint16_t family;
    bytes addr;
  } want[] = {{2, {192, 0, 2, 7}}, {0x17, v6}, {2, {10, 0, 2, 2}}};
  ASSERT_EQ(list.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(list[i].next, i == 2 ? 0u : 152u);
    EXPECT_EQ(list[i].if_index, i + 1);
    EXPECT_EQ(list[i].capability, tw3_host_cores() > 1 ? 1u : 0u) << "RSS where there is more than one core";
    EXPECT_EQ(list[i].reserved, 0u);
    EXPECT_EQ(list[i].link_speed, 1000000000u);
    EXPECT_EQ(list[i].family, want[i].family);
    EXPECT_EQ(list[i].port, 0);
    EXPECT_EQ(list[i].addr, want[i].addr);
    EXPECT_TRUE(list[i].rest_zero);
  }
  EXPECT_EQ(tw3_stat_get(ST_IOCTL_REFUSED), refused);
}

// A buffer one byte short of the whole list gets only the size it needs,
// in an error context on 3.1.1 and bare before.
TEST_F(Ioctl, NetworkInterfacesTooSmall) {
  ASSERT_EQ(tw3_set_option("interfaces", "192.0.2.7,192.0.2.8"), 0);
  tw3_opts_get(&c.get()->opts);
  const bytes ctx = {9, 0, 1, 0, 12, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 48, 1, 0, 0};
  const bytes bare = {9, 0, 0, 0, 4, 0, 0, 0, 48, 1, 0, 0};
  const struct {
    uint16_t dialect;
    uint32_t max_out;
    bytes body;
  } cases[] = {{SMB2_DIALECT_311, 303, ctx}, {SMB2_DIALECT_311, 0, ctx}, {SMB2_DIALECT_302, 303, bare}};
  for (const auto& k : cases) {
    c.get()->dialect = k.dialect;
    response r = c.ioctl(kAllOnes, kQueryNetworkInterfaces, {}, kAllOnes, k.max_out);
    EXPECT_EQ(r.status(), STATUS_BUFFER_TOO_SMALL) << k.max_out;
    EXPECT_EQ(r.body_bytes(0, r.body_size()), k.body) << k.max_out;
  }
}

// Without the option the host's own interfaces are listed, as the platform
// reports them; `auto` returns to them after a list.
TEST_F(Ioctl, NetworkInterfacesOfTheHost) {
  ASSERT_EQ(tw3_set_option("interfaces", "192.0.2.7"), 0);
  ASSERT_EQ(tw3_set_option("interfaces", "auto"), 0);
  tw3_opts_get(&c.get()->opts);
  std::vector<tw3_iface_addr> host(TW3_IFACE_ADDRS_MAX);
  const int n = tw3_net_interfaces(host.data(), TW3_IFACE_ADDRS_MAX);
  response r = c.ioctl(kAllOnes, kQueryNetworkInterfaces, {}, kAllOnes);
  ASSERT_EQ(r.status(), STATUS_SUCCESS);
  ASSERT_EQ(r.b32(36), uint32_t(n) * 152);
  if (n == 0) GTEST_SKIP() << "this host has no interface to list but loopback";
  const std::vector<iface_entry> list = decode_interfaces(r.body_bytes(48, r.b32(36)));
  ASSERT_EQ(list.size(), size_t(n));
  for (int i = 0; i < n; ++i) {
    EXPECT_EQ(list[size_t(i)].if_index, host[size_t(i)].if_index);
    EXPECT_EQ(list[size_t(i)].link_speed, host[size_t(i)].link_speed);
    EXPECT_EQ(list[size_t(i)].family, host[size_t(i)].ip.family == 4 ? 2 : 0x17);
    EXPECT_EQ(list[size_t(i)].addr, bytes(host[size_t(i)].ip.addr, host[size_t(i)].ip.addr + list[size_t(i)].addr.size()));
  }
}

// A listener bound to one address advertises that address alone, whatever
// the host's interfaces: a client could reach the server nowhere else.
TEST_F(Ioctl, NetworkInterfacesOfAListenerBoundToOneAddress) {
  const struct {
    const char* bound;
    size_t listed;  // 0: the host's own list
  } cases[] = {{"127.0.0.1", 1}, {"::1", 1}, {"0.0.0.0", 0}};
  for (const auto& k : cases) {
    tw3_ip ip{};
    ASSERT_EQ(tw3_ip_parse(k.bound, &ip), 0);
    tw3_set_listen_address(ip);
    tw3_opts_get(&c.get()->opts);
    response r = c.ioctl(kAllOnes, kQueryNetworkInterfaces, {}, kAllOnes);
    ASSERT_EQ(r.status(), STATUS_SUCCESS) << k.bound;
    std::vector<tw3_iface_addr> host(TW3_IFACE_ADDRS_MAX);
    const size_t want = k.listed != 0 ? k.listed : size_t(tw3_net_interfaces(host.data(), TW3_IFACE_ADDRS_MAX));
    ASSERT_EQ(r.b32(36), want * 152) << k.bound;
    if (k.listed == 0) continue;
    const std::vector<iface_entry> list = decode_interfaces(r.body_bytes(48, r.b32(36)));
    ASSERT_EQ(list.size(), k.listed) << k.bound;
    EXPECT_EQ(list[0].addr, bytes(ip.addr, ip.addr + list[0].addr.size())) << k.bound;
  }
}

TEST_F(Ioctl, BindAck) {
  for (int contexts : {2, 3}) {
    bytes out = transceive(bind_pdu(0xABCD0000u + uint32_t(contexts), contexts));
    ASSERT_EQ(out.size(), 92u);
    EXPECT_EQ(bytes(out.begin(), out.begin() + 8), (bytes{5, 0, 12, 3, 0x10, 0, 0, 0}));
    EXPECT_EQ(out[8] | out[9] << 8, 92);
    EXPECT_EQ(le32(out.data() + 12), 0xABCD0000u + uint32_t(contexts));
    EXPECT_EQ(le16(out.data() + 16), 4280);
    EXPECT_EQ(le32(out.data() + 20), 0x6F79u);
    EXPECT_EQ(le16(out.data() + 24), 13);
    EXPECT_EQ(std::string(out.begin() + 26, out.begin() + 39), std::string("\\pipe\\srvsvc\0", 13));
    EXPECT_EQ(out[40], 2) << "two results, whatever was offered";
    EXPECT_EQ(le16(out.data() + 44), 0);
    EXPECT_EQ(bytes(out.begin() + 48, out.begin() + 64),
              (bytes{0x04, 0x5d, 0x88, 0x8a, 0xeb, 0x1c, 0xc9, 0x11, 0x9f, 0xe8, 0x08, 0x00, 0x2b, 0x10, 0x48, 0x60}));
    EXPECT_EQ(le32(out.data() + 64), 2u);
    EXPECT_EQ(le16(out.data() + 68), 3);
    EXPECT_EQ(le16(out.data() + 70), 3);
    EXPECT_EQ(bytes(out.begin() + 72, out.end()), bytes(20, 0));
  }
  // A client that offered one context gets one result, and short binds the full answer.
  bytes one = transceive(bind_pdu(5, 1));
  ASSERT_EQ(one.size(), 68u);
  EXPECT_EQ(one[8], 68);
  EXPECT_EQ(one[40], 1);
  EXPECT_EQ(le32(one.data() + 64), 2u);
  bytes short_bind = bind_pdu(6, 1);
  short_bind.resize(20);
  EXPECT_EQ(transceive(short_bind).size(), 92u);
}

TEST_F(Ioctl, ShareEnumerationListsIpcThenSharesByName) {
  int64_t queries = tw3_stat_get(ST_SRVSVC_QUERIES);
  bytes out = transceive(request_pdu(7, 15));
  EXPECT_EQ(tw3_stat_get(ST_SRVSVC_QUERIES) - queries, 1);
  ASSERT_GE(out.size(), 24u);
  EXPECT_EQ(out[2], 2);
  EXPECT_EQ(size_t(out[8] | out[9] << 8), out.size());
  EXPECT_EQ(le32(out.data() + 12), 7u);
  bytes stub(out.begin() + 24, out.end());
  ndr n{stub};
  EXPECT_EQ(n.u32(), 1u);  // level
  EXPECT_EQ(n.u32(), 1u);  // discriminant
  EXPECT_NE(n.u32(), 0u);  // container referent
  EXPECT_EQ(n.u32(), 3u);  // EntriesRead
  EXPECT_EQ(n.u32(), 0x00020000u);
  EXPECT_EQ(n.u32(), 3u);
  const uint32_t types[] = {3, 0, 0};
  for (uint32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(n.u32(), 0x00022000u + 4 * i);
    EXPECT_EQ(n.u32(), types[i]);
    EXPECT_EQ(n.u32(), 0x00024000u + 4 * i);
  }
  const char* names[] = {"IPC$", "A", "b"};
  for (const char* name : names) {
    EXPECT_EQ(n.str(), name);
    EXPECT_EQ(n.str(), std::string(name) == "IPC$" ? "IPC share" : "read-only share");
  }
  EXPECT_EQ(n.u32(), 3u);  // TotalEntries
  EXPECT_EQ(n.u32(), 0u);  // ResumeHandle
  EXPECT_EQ(n.u32(), 0u);  // WERR_OK
  EXPECT_EQ(n.pos, stub.size());
}

TEST_F(Ioctl, OtherOpnumsAndUnusablePdus) {
  bytes fault = transceive(request_pdu(9, 99));
  ASSERT_EQ(fault.size(), 32u);
  EXPECT_EQ(fault[2], 3);
  EXPECT_EQ(fault[8], 32);
  EXPECT_EQ(le32(fault.data() + 12), 9u);
  EXPECT_EQ(le32(fault.data() + 24), 0x1C010002u) << "nca_op_rng_error";

  bytes shortened = request_pdu(9, 15);
  shortened.resize(27);  // ends before the first stub word
  bytes other_type = bind_pdu(1, 1);
  other_type[2] = 14;  // alter_context
  for (const bytes& pdu : {bytes(15, 5), shortened, other_type, bytes{}}) {
    EXPECT_EQ(transceive(pdu).size(), 0u) << pdu.size();
  }
}

}  // namespace
