// The host's network interfaces and cores on Windows (IP Helper).
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "platform/platform.h"
#include "platform/win32.h"

#include <iphlpapi.h>  // after win32.h: it needs winsock2.h first

#include "platform/sockaddr.h"

namespace {

constexpr ULONG kAdapterFlags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER |
                                GAA_FLAG_SKIP_FRIENDLY_NAME;
// Microsoft's advice is to start with 15 KB; the call says how much more
// it needs, and adapters may come between two calls, so it is asked a few
// times, never for more than a megabyte.
constexpr ULONG kFirstBufferSize = 15 * 1024;
constexpr ULONG kBufferSizeMax = 1024 * 1024;
constexpr int kAttempts = 4;
constexpr ULONG64 kSpeedUnknown = ~ULONG64{0};

// The adapter list, or null when the host refused it or it would not fit.
std::unique_ptr<uint8_t[]> adapters() {
  ULONG size = kFirstBufferSize;
  for (int attempt = 0; attempt < kAttempts && size <= kBufferSizeMax; ++attempt) {
    std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[size]);
    if (!buf) return nullptr;
    const ULONG rc = GetAdaptersAddresses(AF_UNSPEC, kAdapterFlags, nullptr,
                                          reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buf.get()), &size);
    if (rc == NO_ERROR) return buf;
    if (rc != ERROR_BUFFER_OVERFLOW) return nullptr;
  }
  return nullptr;
}

}  // namespace

int tw3_host_cores() {
  const DWORD n = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
  return n > 1 ? static_cast<int>(n) : 1;
}

int tw3_net_interfaces(tw3_iface_addr* out, int max) {
  if (out == nullptr || max <= 0) return 0;
  max = std::min(max, TW3_IFACE_ADDRS_MAX);
  std::unique_ptr<uint8_t[]> buf = adapters();
  if (!buf) return 0;
  const int32_t rss = tw3_host_cores() > 1 ? 1 : 0;
  int n = 0;
  for (auto* a = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(buf.get()); a != nullptr && n < max; a = a->Next) {
    if (a->OperStatus != IfOperStatusUp || a->IfType == IF_TYPE_SOFTWARE_LOOPBACK) continue;
    // One interface has one index for both families on current Windows; an
    // adapter without IPv4 has only its IPv6 index.
    const uint32_t index = a->IfIndex != 0 ? a->IfIndex : a->Ipv6IfIndex;
    if (index == 0) continue;
    const ULONG64 speed = a->ReceiveLinkSpeed;
    const uint64_t link_speed = speed == 0 || speed == kSpeedUnknown ? TW3_LINK_SPEED_DEFAULT : speed;
    for (const IP_ADAPTER_UNICAST_ADDRESS* u = a->FirstUnicastAddress; u != nullptr && n < max; u = u->Next) {
      tw3_ip ip;
      if (interface_ip(u->Address.lpSockaddr, &ip)) out[n++] = tw3_iface_addr{index, link_speed, rss, ip};
    }
  }
  std::stable_sort(out, out + n,
                   [](const tw3_iface_addr& a, const tw3_iface_addr& b) { return a.if_index < b.if_index; });
  return n;
}
