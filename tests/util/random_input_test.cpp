// Deterministic random inputs for the parsers that see client bytes: each
// result must either be refused or satisfy the parser's own invariants.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "util/util.h"

namespace {

constexpr int kRounds = 20000;

TEST(RandomInput, Utf16NamesRoundTripOrAreRefused) {
  std::mt19937 rng(1234);
  const uint16_t interesting[] = {0x0000, 0x0041, 0x007F, 0x0080, 0x07FF, 0x0800, 0xD7FF,
                                  0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0xE000, 0xFFFF};
  for (int round = 0; round < kRounds; round++) {
    const size_t units = rng() % 8;
    std::vector<uint8_t> in;
    for (size_t i = 0; i < units; i++) {
      const uint16_t u = rng() % 2 ? interesting[rng() % std::size(interesting)] : static_cast<uint16_t>(rng());
      in.push_back(static_cast<uint8_t>(u & 0xFF));
      in.push_back(static_cast<uint8_t>(u >> 8));
    }
    if (rng() % 10 == 0) in.push_back(static_cast<uint8_t>(rng()));  // odd length
    const int32_t cap = static_cast<int32_t>(rng() % 40);
    std::vector<char> out(static_cast<size_t>(cap) + 1, 'z');
    const int n = tw3_utf16_to_utf8(in.data(), in.size(), out.data(), cap);
    ASSERT_EQ(out[static_cast<size_t>(cap)], 'z');
    if (n < 0) continue;
    ASSERT_LT(n, cap);
    ASSERT_EQ(std::strlen(out.data()), static_cast<size_t>(n));
    uint8_t back[64];
    int32_t blen = 0;
    ASSERT_EQ(tw3_utf8_to_utf16le(out.data(), back, sizeof back, &blen), 0);
    ASSERT_EQ(std::vector<uint8_t>(back, back + blen), in);
  }
}

TEST(RandomInput, VirtualPathsAreCanonicalAndStable) {
  std::mt19937 rng(99);
  const char alphabet[] = "ab./\\ \t.:*\x7F\xC3\xA9";
  char out[TW3_VPATH_MAX + 1], again[TW3_VPATH_MAX + 1];
  for (int round = 0; round < kRounds; round++) {
    std::string in;
    const size_t len = rng() % 24;
    for (size_t i = 0; i < len; i++) in += alphabet[rng() % (sizeof alphabet - 1)];
    if (tw3_vpath(in.c_str(), out, sizeof out) != 0) continue;
    const std::string v = out;
    ASSERT_TRUE(v.empty() || (v.front() != '/' && v.back() != '/')) << in;
    ASSERT_EQ(v.find("//"), std::string::npos) << in;
    ASSERT_EQ(v.find('\\'), std::string::npos) << in;
    ASSERT_EQ(tw3_vpath(out, again, sizeof again), 0) << in;
    ASSERT_STREQ(again, out) << in;
  }
}

TEST(RandomInput, AddressTextParsesToFormattableAddresses) {
  std::mt19937 rng(7);
  const char alphabet[] = "0123456789abcdefABCDEF:.:[]%/fx ";
  for (int round = 0; round < kRounds; round++) {
    std::string in;
    const size_t len = rng() % 48;
    for (size_t i = 0; i < len; i++) in += alphabet[rng() % (sizeof alphabet - 1)];
    tw3_ip ip;
    if (tw3_ip_parse(in.c_str(), &ip) == 0) {
      ASSERT_TRUE(ip.family == 4 || ip.family == 6) << in;
      char text[64];
      tw3_ip_format(&ip, text, sizeof text);
      tw3_ip back;
      ASSERT_EQ(tw3_ip_parse(text, &back), 0) << in << " -> " << text;
      ASSERT_EQ(tw3_ip_equal(&ip, &back), 1) << in;
    }
    tw3_cidr r;
    if (tw3_cidr_parse(in.c_str(), &r) == 0) {
      ASSERT_GE(r.prefix, 0);
      ASSERT_LE(r.prefix, r.ip.family == 4 ? 32 : 128) << in;
      ASSERT_EQ(tw3_cidr_match(&r, &r.ip), 1) << in;
    }
  }
}

}  // namespace
