// IP addresses (IPv4 and IPv6, IPv4-mapped held as IPv4) and CIDR ranges.
#include <cstdio>
#include <cstring>
#include <string_view>

#include "util/util.h"

namespace {

constexpr size_t kIpTextMax = 45;     // longest IPv6 text with a dotted quad
constexpr size_t kCidrAddrMax = 63;   // address part of a range
constexpr int kV4Bits = 32;
constexpr int kV6Bits = 128;
constexpr int kMappedBits = 96;       // prefix bits of ::ffff:0:0/96
constexpr int kGroups = 8;
constexpr size_t kFormatArea = 64;

int hex_val(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Parses one run of IPv6 groups separated by single colons ("1:2:abcd"),
// none empty. A dotted quad may stand last when `quad_ok`; it fills two
// groups. Appends to groups[]/count; 0 or -1.
int parse_groups(std::string_view s, bool quad_ok, uint16_t groups[kGroups], int* count) {
  if (s.empty()) return 0;
  size_t pos = 0;
  while (true) {
    const size_t colon = s.find(':', pos);
    const std::string_view g = s.substr(pos, colon == std::string_view::npos ? s.size() - pos
                                                                             : colon - pos);
    const bool last = colon == std::string_view::npos;
    if (g.empty()) return -1;
    if (g.find('.') != std::string_view::npos) {
      uint8_t q[4];
      if (!last || !quad_ok || *count > kGroups - 2) return -1;
      if (parse_v4(g.data(), g.size(), q) != 0) return -1;
      groups[(*count)++] = static_cast<uint16_t>(q[0] << 8 | q[1]);
      groups[(*count)++] = static_cast<uint16_t>(q[2] << 8 | q[3]);
      return 0;
    }
    if (g.size() > 4 || *count >= kGroups) return -1;
    unsigned v = 0;
    for (char c : g) {
      const int d = hex_val(c);
      if (d < 0) return -1;
      v = v << 4 | static_cast<unsigned>(d);
    }
    groups[(*count)++] = static_cast<uint16_t>(v);
    if (last) return 0;
    pos = colon + 1;
  }
}

int parse_v6(std::string_view s, uint8_t addr[16]) {
  uint16_t head[kGroups] = {}, tail[kGroups] = {};
  int nhead = 0, ntail = 0;
  const size_t dc = s.find("::");
  if (dc == std::string_view::npos) {
    if (parse_groups(s, true, head, &nhead) != 0 || nhead != kGroups) return -1;
  } else {
    const std::string_view after = s.substr(dc + 2);
    if (after.find("::") != std::string_view::npos) return -1;
    if (parse_groups(s.substr(0, dc), false, head, &nhead) != 0) return -1;
    if (parse_groups(after, true, tail, &ntail) != 0) return -1;
    if (nhead + ntail > kGroups - 1) return -1;  // "::" stands for at least one group
  }
  uint16_t all[kGroups] = {};
  for (int i = 0; i < nhead; i++) all[i] = head[i];
  for (int i = 0; i < ntail; i++) all[kGroups - ntail + i] = tail[i];
  for (int i = 0; i < kGroups; i++) {
    addr[2 * i] = static_cast<uint8_t>(all[i] >> 8);
    addr[2 * i + 1] = static_cast<uint8_t>(all[i] & 0xFF);
  }
  return 0;
}

bool is_v4_mapped(const uint8_t a[16]) {
  for (int i = 0; i < 10; i++)
    if (a[i]) return false;
  return a[10] == 0xFF && a[11] == 0xFF;
}

int family_bits(int family) { return family == 4 ? kV4Bits : kV6Bits; }

void mask_after_prefix(uint8_t addr[16], int prefix) {
  for (int bit = prefix; bit < kV6Bits; bit++) addr[bit / 8] &= static_cast<uint8_t>(~(0x80u >> (bit % 8)));
}

}  // namespace

int parse_v4(const char* text, size_t n, uint8_t out4[4]) {
  if (!text || !out4) return -1;
  size_t i = 0;
  for (int part = 0; part < 4; part++) {
    if (part > 0) {
      if (i >= n || text[i] != '.') return -1;
      i++;
    }
    unsigned v = 0;
    size_t digits = 0;
    while (i < n && text[i] >= '0' && text[i] <= '9') {
      if (++digits > 3) return -1;
      v = v * 10 + static_cast<unsigned>(text[i] - '0');
      i++;
    }
    if (digits == 0 || v > 255) return -1;
    out4[part] = static_cast<uint8_t>(v);
  }
  return i == n ? 0 : -1;
}

int tw3_ip_parse(const char* text, tw3_ip* out) {
  if (!text || !out) return -1;
  *out = tw3_ip{};
  std::string_view s(text);
  if (s.size() >= 2 && s.front() == '[' && s.back() == ']') s = s.substr(1, s.size() - 2);
  if (const size_t zone = s.find('%'); zone != std::string_view::npos) s = s.substr(0, zone);
  if (s.empty() || s.size() > kIpTextMax) return -1;
  tw3_ip ip{};
  if (s.find(':') == std::string_view::npos) {
    if (parse_v4(s.data(), s.size(), ip.addr) != 0) return -1;
    ip.family = 4;
  } else {
    if (parse_v6(s, ip.addr) != 0) return -1;
    ip.family = 6;
    if (is_v4_mapped(ip.addr)) {
      uint8_t v4[4];
      std::memcpy(v4, ip.addr + 12, 4);
      std::memset(ip.addr, 0, sizeof ip.addr);
      std::memcpy(ip.addr, v4, 4);
      ip.family = 4;
    }
  }
  *out = ip;
  return 0;
}

void tw3_ip_format(const tw3_ip* ip, char* buf, size_t size) {
  if (!buf || size == 0) return;
  buf[0] = '\0';
  if (!ip) return;
  char area[kFormatArea];
  const uint8_t* a = ip->addr;
  if (ip->family == 4) {
    std::snprintf(area, sizeof area, "%u.%u.%u.%u", a[0], a[1], a[2], a[3]);
  } else {
    unsigned g[kGroups];
    for (int i = 0; i < kGroups; i++) g[i] = static_cast<unsigned>(a[2 * i] << 8 | a[2 * i + 1]);
    int best = -1, best_len = 1;  // only runs of two or more zero groups collapse
    for (int i = 0; i < kGroups;) {
      int j = i;
      while (j < kGroups && g[j] == 0) j++;
      if (j - i > best_len) {
        best = i;
        best_len = j - i;
      }
      i = j > i ? j : i + 1;
    }
    size_t len = 0;
    for (int i = 0; i < kGroups; i++) {
      if (i == best) {
        len += static_cast<size_t>(std::snprintf(area + len, sizeof area - len, "::"));
        i += best_len - 1;
        continue;
      }
      const bool sep = i > 0 && i != best + best_len;
      len += static_cast<size_t>(std::snprintf(area + len, sizeof area - len, "%s%x", sep ? ":" : "", g[i]));
    }
  }
  std::snprintf(buf, size, "%s", area);
}

int tw3_ip_equal(const tw3_ip* a, const tw3_ip* b) {
  if (!a || !b || a->family != b->family) return 0;
  return std::memcmp(a->addr, b->addr, a->family == 4 ? 4 : 16) == 0 ? 1 : 0;
}

int tw3_ip_is_loopback(const tw3_ip* ip) {
  if (!ip) return 0;
  if (ip->family == 4) return ip->addr[0] == 127 ? 1 : 0;
  if (ip->family != 6) return 0;
  static constexpr uint8_t kLoop6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  return std::memcmp(ip->addr, kLoop6, 16) == 0 ? 1 : 0;
}

int tw3_cidr_parse(const char* text, tw3_cidr* out) {
  if (!text || !out) return -1;
  *out = tw3_cidr{};
  const std::string_view s(text);
  const size_t slash = s.find('/');
  const std::string_view addr_text = s.substr(0, slash);
  if (addr_text.empty() || addr_text.size() > kCidrAddrMax) return -1;
  char addr_z[kCidrAddrMax + 1];
  std::memcpy(addr_z, addr_text.data(), addr_text.size());
  addr_z[addr_text.size()] = '\0';
  tw3_cidr r{};
  if (tw3_ip_parse(addr_z, &r.ip) != 0) return -1;
  const int bits = family_bits(r.ip.family);
  int prefix = bits;
  if (slash != std::string_view::npos) {
    const std::string_view digits = s.substr(slash + 1);
    if (digits.empty() || digits.size() > 3) return -1;
    prefix = 0;
    for (char c : digits) {
      if (c < '0' || c > '9') return -1;
      prefix = prefix * 10 + (c - '0');
    }
    const bool v6_text = addr_text.find(':') != std::string_view::npos;
    if (v6_text && r.ip.family == 4) {
      if (prefix < kMappedBits) return -1;
      prefix -= kMappedBits;
    }
    if (prefix > bits) return -1;
  }
  mask_after_prefix(r.ip.addr, prefix);
  r.prefix = prefix;
  *out = r;
  return 0;
}

int tw3_cidr_match(const tw3_cidr* range, const tw3_ip* ip) {
  if (!range || !ip || range->ip.family != ip->family) return 0;
  const int prefix = range->prefix;
  if (prefix < 0 || prefix > family_bits(ip->family)) return 0;
  const int whole = prefix / 8;
  if (std::memcmp(range->ip.addr, ip->addr, static_cast<size_t>(whole)) != 0) return 0;
  const int rest = prefix % 8;
  if (rest == 0) return 1;
  const auto mask = static_cast<uint8_t>(0xFF00u >> rest);
  return (ip->addr[whole] & mask) == (range->ip.addr[whole] & mask) ? 1 : 0;
}
