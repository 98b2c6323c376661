// The host's network interfaces and cores on POSIX hosts.
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "platform/sockaddr.h"

namespace {

constexpr uint64_t kBitsPerMbit = 1000000;
// The speed file holds a decimal number of Mbit/s and a line feed; more
// than this is not a speed.
constexpr size_t kSpeedTextMax = 24;
constexpr uint64_t kSpeedMbitMax = 10000000;  // 10 Tbit/s: anything above is a misreport
constexpr size_t kSysPathMax = 64;            // "/sys/class/net/" + IFNAMSIZ + "/speed"

// The link speed the kernel reports for the interface, in bits per second,
// or TW3_LINK_SPEED_DEFAULT when it reports none (it answers EINVAL for a
// link that is down, -1 for one of unknown speed, and virtual links have no
// file at all).
uint64_t link_speed(const char* name) {
  char path[kSysPathMax];
  if (std::strchr(name, '/') != nullptr) return TW3_LINK_SPEED_DEFAULT;
  const int n = std::snprintf(path, sizeof path, "/sys/class/net/%s/speed", name);
  if (n < 0 || static_cast<size_t>(n) >= sizeof path) return TW3_LINK_SPEED_DEFAULT;
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return TW3_LINK_SPEED_DEFAULT;
  char text[kSpeedTextMax];
  ssize_t got = -1;
  do {
    got = read(fd, text, sizeof text);
  } while (got < 0 && errno == EINTR);
  close(fd);
  uint64_t mbit = 0;
  ssize_t i = 0;
  for (; i < got && text[i] >= '0' && text[i] <= '9'; i++) {
    mbit = mbit * 10 + uint64_t(text[i] - '0');
    if (mbit > kSpeedMbitMax) return TW3_LINK_SPEED_DEFAULT;
  }
  if (i == 0 || mbit == 0) return TW3_LINK_SPEED_DEFAULT;
  return mbit * kBitsPerMbit;
}

// The address of one getifaddrs entry as tw3_ip, or false for an entry that
// is not advertised (down, loopback, or an address interface_ip leaves out).
bool advertised_ip(const ifaddrs& ifa, tw3_ip* out) {
  if (ifa.ifa_name == nullptr) return false;
  if ((ifa.ifa_flags & IFF_UP) == 0 || (ifa.ifa_flags & IFF_LOOPBACK) != 0) return false;
  return interface_ip(ifa.ifa_addr, out);
}

}  // namespace

int tw3_host_cores() {
  const long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 1 ? static_cast<int>(std::min(n, 1L << 20)) : 1;
}

int tw3_net_interfaces(tw3_iface_addr* out, int max) {
  if (out == nullptr || max <= 0) return 0;
  max = std::min(max, TW3_IFACE_ADDRS_MAX);
  ifaddrs* all = nullptr;
  if (getifaddrs(&all) != 0) return 0;
  const int32_t rss = tw3_host_cores() > 1 ? 1 : 0;
  int n = 0;
  for (const ifaddrs* ifa = all; ifa != nullptr && n < max; ifa = ifa->ifa_next) {
    tw3_ip ip;
    if (!advertised_ip(*ifa, &ip)) continue;
    const unsigned index = if_nametoindex(ifa->ifa_name);
    if (index == 0) continue;
    out[n++] = tw3_iface_addr{index, link_speed(ifa->ifa_name), rss, ip};
  }
  freeifaddrs(all);
  // getifaddrs gives every IPv4 address before any IPv6 one; clients read
  // one interface's addresses together.
  std::stable_sort(out, out + n,
                   [](const tw3_iface_addr& a, const tw3_iface_addr& b) { return a.if_index < b.if_index; });
  return n;
}
