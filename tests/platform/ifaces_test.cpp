// The host's network interfaces as the server advertises them: only
// addresses a client elsewhere could use, each really the host's (a socket
// binds to it), grouped by interface, and never more than asked for.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <vector>

#include "platform/platform.h"
#include "util/util.h"

namespace {

bool is_loopback(const tw3_ip& ip) {
  static constexpr uint8_t kV6Loopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  if (ip.family == 4) return ip.addr[0] == 127;
  return std::equal(ip.addr, ip.addr + 16, kV6Loopback);
}

bool is_v6_link_local(const tw3_ip& ip) { return ip.family == 6 && ip.addr[0] == 0xFE && (ip.addr[1] & 0xC0) == 0x80; }

TEST(Interfaces, ListsUsableAddressesOfThisHost) {
  ASSERT_GE(tw3_host_cores(), 1);
  ASSERT_EQ(tw3_sock_init(), 0);
  std::vector<tw3_iface_addr> list(TW3_IFACE_ADDRS_MAX + 1);
  const int n = tw3_net_interfaces(list.data(), int(list.size()));
  ASSERT_GE(n, 0);
  ASSERT_LE(n, TW3_IFACE_ADDRS_MAX);
  std::set<uint32_t> done;  // interfaces whose addresses all came already
  for (int i = 0; i < n; ++i) {
    const tw3_iface_addr& a = list[size_t(i)];
    SCOPED_TRACE(i);
    EXPECT_NE(a.if_index, 0u);
    EXPECT_NE(a.link_speed, 0u);
    EXPECT_EQ(a.rss, tw3_host_cores() > 1 ? 1 : 0);
    ASSERT_TRUE(a.ip.family == 4 || a.ip.family == 6);
    EXPECT_FALSE(is_loopback(a.ip));
    EXPECT_FALSE(is_v6_link_local(a.ip));
    EXPECT_EQ(done.count(a.if_index), 0u) << "addresses of one interface come together";
    if (i + 1 < n && list[size_t(i) + 1].if_index != a.if_index) done.insert(a.if_index);
    // A new IPv6 address may still be tentative, which refuses a bind; an
    // IPv4 address binds at once.
    if (a.ip.family != 4) continue;
    tw3_socket s = tw3_sock_tcp(4);
    ASSERT_NE(s, TW3_NO_SOCKET);
    EXPECT_EQ(tw3_sock_bind(s, &a.ip, 0, 0), 0) << "the address is this host's own";
    tw3_sock_close(s);
  }
}

TEST(Interfaces, NeverMoreThanAskedFor) {
  tw3_iface_addr one[1];
  EXPECT_LE(tw3_net_interfaces(one, 1), 1);
  EXPECT_EQ(tw3_net_interfaces(one, 0), 0);
  EXPECT_EQ(tw3_net_interfaces(nullptr, 4), 0);
}

}  // namespace
