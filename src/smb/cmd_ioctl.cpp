// IOCTL (MS-SMB2 2.2.31, 2.2.32). Three controls are served: the check of
// the negotiated parameters that SMB 3.0 clients make; the list of the
// server's network interfaces (MS-SMB2 3.3.5.15.11), from which a client
// learns the addresses it could open further channels to; and the
// transceive of one DCE/RPC PDU on the srvsvc pipe (MS-SMB2 3.3.5.15.3): the
// PDU is written to the pipe and its first answer message read back, cut to
// MaxOutputResponse with STATUS_BUFFER_OVERFLOW; what is left waits for
// READ. Everything else is refused.
#include <array>
#include <cstdint>
#include <span>

#include "smb/files.h"

namespace {

constexpr uint16_t kResponseSize = 49;
constexpr uint32_t kOutputOffset = SMB2_HDR_SIZE + 48;
constexpr uint32_t kOutputCountAt = 36;  // in the response body

constexpr uint32_t kFsctlValidateNegotiateInfo = 0x00140204;
constexpr uint32_t kFsctlPipeTransceive = 0x0011C017;
constexpr uint32_t kFsctlQueryNetworkInterfaceInfo = 0x001401FC;
constexpr uint32_t kDeviceTypeMask = 0x00FF0000;
constexpr uint32_t kDeviceNetworkFs = 0x00140000;
constexpr uint64_t kNoFile = 0xFFFFFFFFFFFFFFFFULL;
// The controls addressed to no file (MS-SMB2 3.3.5.15); every other one
// names an open, and an unknown FileId gets FILE_CLOSED.
constexpr uint32_t kFsctlDfsGetReferrals = 0x00060194;
constexpr uint32_t kFsctlDfsGetReferralsEx = 0x000601B0;
constexpr uint32_t kFsctlPipeWait = 0x00110018;

// NETWORK_INTERFACE_INFO (MS-SMB2 2.2.32.5): Next, IfIndex, Capability,
// Reserved, LinkSpeed, then a SOCKADDR_STORAGE (2.2.32.5.1). Every entry is
// the same size, a multiple of 8, so Next is that size but for the last.
constexpr uint32_t kSockAddrStorageSize = 128;
constexpr uint32_t kIfaceInfoSize = 24 + kSockAddrStorageSize;
static_assert(kIfaceInfoSize % 8 == 0, "entries are 8-byte aligned");
constexpr uint32_t kRssCapable = 0x00000001;
constexpr uint16_t kFamilyInet = 0x0002;
constexpr uint16_t kFamilyInet6 = 0x0017;
static_assert(TW3_ADVERTISED_MAX <= TW3_IFACE_ADDRS_MAX, "the operator's list fits where the host's does");

enum : int {
  kSiteStructure = 1,
  kSiteNetworkFs,
  kSiteNoFile,
  kSiteHandle,
  kSiteControl,
  kSiteInput,
  kSiteBusy,
  kSiteFull,
  kSiteInterfacesFile,
};

struct ioctl_req {
  uint16_t size;
  uint32_t ctl;
  uint64_t fid;
  uint64_t fid_volatile;
  uint32_t in_off;
  uint32_t in_count;
  uint32_t max_out;
  uint32_t flags;
};

ioctl_req read_request(tw3_rd* b) {
  ioctl_req q{};
  q.size = rd_u16(b);
  rd_skip(b, 2);
  q.ctl = rd_u32(b);
  q.fid = rd_u64(b);
  q.fid_volatile = rd_u64(b);
  q.in_off = rd_u32(b);
  q.in_count = rd_u32(b);
  rd_skip(b, 3 * 4);  // MaxInputResponse, OutputOffset, OutputCount
  q.max_out = rd_u32(b);
  q.flags = rd_u32(b);
  return q;
}

bool addressed_to_no_file(uint32_t ctl) {
  return ctl == kFsctlDfsGetReferrals || ctl == kFsctlDfsGetReferralsEx || ctl == kFsctlPipeWait;
}

// A control the server does not offer, as opposed to a malformed request.
tw3_done refuse_control(uint32_t status, int site) {
  tw3_stat_add(ST_IOCTL_REFUSED, 1);
  return tw3_refuse(status, site);
}

// The 48-byte response part; OutputCount is set by finish_response.
uint64_t begin_response(tw3_reply* r, uint32_t ctl, uint64_t fid, uint64_t fid_volatile) {
  tw3_buf* b = &r->b;
  const uint64_t part = b->len;
  w16(b, kResponseSize);
  w16(b, 0);
  w32(b, ctl);
  w64(b, fid);
  w64(b, fid_volatile);
  w32(b, 0);  // InputOffset
  w32(b, 0);  // InputCount
  w32(b, kOutputOffset);
  w32(b, 0);  // OutputCount
  w32(b, 0);  // Flags
  w32(b, 0);  // Reserved2
  return part;
}

void finish_response(tw3_buf* b, uint64_t part) {
  if (b->failed) return;
  put_le32(b->data + part + kOutputCountAt, uint32_t(b->len - part - 48));
}

tw3_done validate_negotiate(const tw3_conn* c, tw3_reply* r, uint64_t fid) {
  uint64_t part = begin_response(r, kFsctlValidateNegotiateInfo, fid, kNoFile);
  tw3_buf* b = &r->b;
  w32(b, tw3_server_capabilities(c));  // must match the NEGOTIATE answer
  tw3_buf_put(b, c->server_guid, sizeof c->server_guid);  // as NEGOTIATE sent it
  w16(b, tw3_server_security_mode(c));  // as NEGOTIATE sent it
  w16(b, uint16_t(c->dialect));
  finish_response(b, part);
  return tw3_answer();
}

// An address the operator names is RSS-capable where the host has more
// than one core: a client may open several channels to it.
tw3_iface_addr named_interface(uint32_t index, const tw3_ip& ip) {
  return tw3_iface_addr{index, TW3_LINK_SPEED_DEFAULT, tw3_host_cores() > 1 ? 1 : 0, ip};
}

// A listener bound to one address is reached there only: of the host's
// interfaces, the one carrying it (or the address alone, as for the
// option, where no listed interface does: loopback).
int listened_only(const tw3_ip& ip, int n, std::array<tw3_iface_addr, TW3_IFACE_ADDRS_MAX>* out) {
  for (int i = 0; i < n; i++) {
    if (!tw3_ip_equal(&(*out)[size_t(i)].ip, &ip)) continue;
    (*out)[0] = (*out)[size_t(i)];
    return 1;
  }
  (*out)[0] = named_interface(1, ip);
  return 1;
}

// The addresses to advertise: the operator's list (each address its own
// interface, of the usual speed), else the host's interfaces (only the
// listener's own address when it is bound to one).
int advertised(const tw3_opts& o, std::array<tw3_iface_addr, TW3_IFACE_ADDRS_MAX>* out) {
  if (o.ninterfaces == 0) {
    const int n = tw3_net_interfaces(out->data(), TW3_IFACE_ADDRS_MAX);
    return o.listen_one ? listened_only(o.listen_ip, n, out) : n;
  }
  for (int32_t i = 0; i < o.ninterfaces; i++) (*out)[size_t(i)] = named_interface(uint32_t(i) + 1, o.interfaces[i]);
  return o.ninterfaces;
}

// One NETWORK_INTERFACE_INFO. Port 0: the client reaches every address on
// the port it already uses. IPv6 FlowInfo and ScopeId are 0 (link-local
// addresses are never listed).
void put_interface(tw3_buf* b, const tw3_iface_addr& a, bool last) {
  static constexpr uint8_t kZeros[kSockAddrStorageSize] = {};
  const uint64_t start = b->len;
  w32(b, last ? 0 : kIfaceInfoSize);  // Next
  w32(b, a.if_index);
  w32(b, a.rss ? kRssCapable : 0);
  w32(b, 0);  // Reserved
  w64(b, a.link_speed);
  if (a.ip.family == 4) {
    w16(b, kFamilyInet);
    w16(b, 0);  // Port
    tw3_buf_put(b, a.ip.addr, 4);
  } else {
    w16(b, kFamilyInet6);
    w16(b, 0);  // Port
    w32(b, 0);  // FlowInfo
    tw3_buf_put(b, a.ip.addr, 16);
    w32(b, 0);  // ScopeId
  }
  if (!b->failed) tw3_buf_put(b, kZeros, start + kIfaceInfoSize - b->len);
}

// The list is a control addressed to no file. A buffer too small for the
// whole list gets nothing but the size it needs, as for a security
// descriptor: a client cannot resume a partial list.
tw3_done network_interfaces(const tw3_conn* c, const ioctl_req& q, tw3_reply* r) {
  if ((q.flags & SMB2_0_IOCTL_IS_FSCTL) == 0) return refuse_control(STATUS_NOT_SUPPORTED, kSiteNetworkFs);
  if (q.fid != kNoFile || q.fid_volatile != kNoFile) {
    return tw3_refuse(STATUS_INVALID_PARAMETER, kSiteInterfacesFile);
  }
  std::array<tw3_iface_addr, TW3_IFACE_ADDRS_MAX> list;
  const int n = advertised(c->opts, &list);
  const uint32_t need = uint32_t(n) * kIfaceInfoSize;
  if (q.max_out < need) {
    std::array<uint8_t, 4> size{};
    put_le32(size.data(), need);
    rep_error_data(r, size, c->dialect == SMB2_DIALECT_311);
    return tw3_answer(STATUS_BUFFER_TOO_SMALL);
  }
  const uint64_t part = begin_response(r, kFsctlQueryNetworkInterfaceInfo, kNoFile, kNoFile);
  for (int i = 0; i < n; i++) put_interface(&r->b, list[size_t(i)], i + 1 == n);
  finish_response(&r->b, part);
  return tw3_answer();
}

// A transceive needs an empty pipe: unread answers would be taken for the
// answer to this PDU (MS-FSCC 2.3.48, STATUS_PIPE_BUSY).
tw3_done transceive(tw3_open* o, std::span<const uint8_t> pdu, const ioctl_req& q, tw3_reply* r) {
  if (srvsvc_pipe_waiting(*o) != 0) return tw3_refuse(STATUS_PIPE_BUSY, kSiteBusy);
  if (srvsvc_pipe_write(o, pdu) != 0) return tw3_refuse(STATUS_INSUFFICIENT_RESOURCES, kSiteFull);
  const uint64_t part = begin_response(r, kFsctlPipeTransceive, q.fid, q.fid_volatile);
  uint64_t got = 0;
  const uint32_t status = srvsvc_pipe_read(o, q.max_out, &r->b, &got);
  if (status == STATUS_INSUFFICIENT_RESOURCES) return tw3_refuse(status, kSiteFull);
  finish_response(&r->b, part);
  return tw3_answer(status);
}

}  // namespace

tw3_done cmd_ioctl(tw3_conn* c, tw3_req* rq, tw3_rd* body, tw3_reply* r) {
  ioctl_req q = read_request(body);
  if (body->bad) return tw3_refuse(STATUS_INVALID_PARAMETER, kSiteStructure);
  if (q.ctl == kFsctlValidateNegotiateInfo) return validate_negotiate(c, r, q.fid);
  if (q.ctl == kFsctlQueryNetworkInterfaceInfo) return network_interfaces(c, q, r);
  if ((q.ctl & kDeviceTypeMask) == kDeviceNetworkFs) return refuse_control(STATUS_NOT_SUPPORTED, kSiteNetworkFs);
  if (addressed_to_no_file(q.ctl)) return refuse_control(STATUS_NOT_SUPPORTED, kSiteNoFile);
  tw3_open* o = rq->open;
  if (o == nullptr) return tw3_refuse(STATUS_FILE_CLOSED, kSiteHandle);
  if (q.ctl != kFsctlPipeTransceive || !o->is_pipe) return refuse_control(STATUS_NOT_SUPPORTED, kSiteControl);
  if (q.in_off < SMB2_HDR_SIZE || q.in_count > TW3_PIPE_INPUT_MAX ||
      !rd_has(body, uint64_t(q.in_off) - SMB2_HDR_SIZE, q.in_count)) {
    return tw3_refuse(STATUS_INVALID_PARAMETER, kSiteInput);
  }
  const uint8_t* in = body->data + (q.in_off - SMB2_HDR_SIZE);
  return transceive(o, std::span<const uint8_t>(in, q.in_count), q, r);
}
