// Hex helpers for the crypto tests' known-answer tables.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tw3t {

inline std::vector<uint8_t> unhex(std::string_view s) {
  auto nib = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return c - 'A' + 10;
  };
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < s.size(); i += 2) out.push_back(uint8_t(nib(s[i]) << 4 | nib(s[i + 1])));
  return out;
}

inline std::string hex(const uint8_t* p, size_t n) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; i++) {
    s += kDigits[p[i] >> 4];
    s += kDigits[p[i] & 15];
  }
  return s;
}

template <typename C>
std::string hex(const C& c) {
  return hex(reinterpret_cast<const uint8_t*>(c.data()), c.size());
}

inline std::vector<uint8_t> bytes(std::string_view s) { return {s.begin(), s.end()}; }

// Deterministic pseudo-random bytes (xorshift64*), for equivalence tests.
inline std::vector<uint8_t> noise(size_t n, uint64_t seed) {
  std::vector<uint8_t> out(n);
  uint64_t x = seed * 0x9e3779b97f4a7c15ULL + 1;
  for (auto& b : out) {
    x ^= x >> 12;
    x ^= x << 25;
    x ^= x >> 27;
    b = uint8_t((x * 0x2545f4914f6cdd1dULL) >> 56);
  }
  return out;
}

}  // namespace tw3t
