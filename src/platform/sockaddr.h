// Socket addresses <-> tw3_ip, shared by both socket layers and both
// interface lists. Included by net_*.cpp and ifaces_*.cpp after the host's
// socket headers; the types and byte-order calls are the same on both hosts.
// Inline, so a file that uses some of them is not warned about the others.
#pragma once

#include <cstring>

#include "util/util.h"

namespace {

constexpr uint8_t kV4MappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

// The socket-address-to-tw3_ip rule: IPv4-mapped IPv6 addresses come back as
// IPv4 so that one listener serves both families with one allow-list.
inline int sa_to_ip(const sockaddr_storage& sa, tw3_ip* out, int* out_port) {
  *out = tw3_ip{};
  if (sa.ss_family == AF_INET) {
    const auto& in4 = reinterpret_cast<const sockaddr_in&>(sa);
    out->family = 4;
    std::memcpy(out->addr, &in4.sin_addr, 4);
    if (out_port) *out_port = ntohs(in4.sin_port);
    return 0;
  }
  if (sa.ss_family == AF_INET6) {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(sa);
    const uint8_t* b = in6.sin6_addr.s6_addr;
    if (std::memcmp(b, kV4MappedPrefix, sizeof kV4MappedPrefix) == 0) {
      out->family = 4;
      std::memcpy(out->addr, b + 12, 4);
    } else {
      out->family = 6;
      std::memcpy(out->addr, b, 16);
    }
    if (out_port) *out_port = ntohs(in6.sin6_port);
    return 0;
  }
  return -1;
}

// Builds the socket address for ip:port; on an IPv6 socket an IPv4 address
// becomes ::ffff:a.b.c.d. The address length, or 0 when ip cannot be used.
inline socklen_t fill_sockaddr(const tw3_ip* ip, int as_v6, uint16_t port, sockaddr_storage* ss) {
  *ss = sockaddr_storage{};
  if (as_v6) {
    auto& in6 = reinterpret_cast<sockaddr_in6&>(*ss);
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(port);
    if (ip->family == 4) {
      std::memcpy(in6.sin6_addr.s6_addr, kV4MappedPrefix, sizeof kV4MappedPrefix);
      std::memcpy(in6.sin6_addr.s6_addr + 12, ip->addr, 4);
    } else {
      std::memcpy(in6.sin6_addr.s6_addr, ip->addr, 16);
    }
    return sizeof in6;
  }
  if (ip->family != 4) return 0;
  auto& in4 = reinterpret_cast<sockaddr_in&>(*ss);
  in4.sin_family = AF_INET;
  in4.sin_port = htons(port);
  std::memcpy(&in4.sin_addr, ip->addr, 4);
  return sizeof in4;
}

// The address of one of the host's interfaces as tw3_ip, or false for one
// that is not advertised to clients: no address, another family, or IPv6
// link-local (meaningless off its own link).
inline bool interface_ip(const sockaddr* sa, tw3_ip* out) {
  if (sa == nullptr) return false;
  *out = tw3_ip{};
  if (sa->sa_family == AF_INET) {
    const auto* in4 = reinterpret_cast<const sockaddr_in*>(sa);
    out->family = 4;
    std::memcpy(out->addr, &in4->sin_addr, 4);
    return true;
  }
  if (sa->sa_family != AF_INET6) return false;
  const uint8_t* a = reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr.s6_addr;
  if (a[0] == 0xFE && (a[1] & 0xC0) == 0x80) return false;  // fe80::/10
  out->family = 6;
  std::memcpy(out->addr, a, 16);
  return true;
}

}  // namespace
