// Host-independent text rules of the file layer (see paths.h).
#include "platform/paths.h"

namespace {

constexpr std::string_view kUncPrefix = "\\\\?\\UNC\\";
constexpr std::string_view kLongPrefix = "\\\\?\\";

char fold(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c; }

}  // namespace

bool tw3_utf8_valid(const char* s, size_t n) {
  size_t i = 0;
  while (i < n) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t extra;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      extra = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (extra > n - i - 1) return false;
    for (size_t k = 1; k <= extra; ++k) {
      const auto b = static_cast<unsigned char>(s[i + k]);
      const unsigned char min = k == 1 ? lo : 0x80;
      const unsigned char max = k == 1 ? hi : 0xBF;
      if (b < min || b > max) return false;
    }
    i += extra + 1;
  }
  return true;
}

std::string tw3_win_strip_final_prefix(std::string_view path) {
  if (path.substr(0, kUncPrefix.size()) == kUncPrefix) {
    return "\\\\" + std::string(path.substr(kUncPrefix.size()));
  }
  if (path.substr(0, kLongPrefix.size()) == kLongPrefix) return std::string(path.substr(kLongPrefix.size()));
  return std::string(path);
}

bool tw3_win_same_path(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

std::string tw3_win_parent(std::string_view path) {
  const size_t cut = path.rfind('\\');
  if (cut == std::string_view::npos) return std::string(path);
  // "C:\a" -> "C:\": a drive root keeps its separator.
  if (cut == 2 && path.size() > 1 && path[1] == ':') return std::string(path.substr(0, 3));
  return std::string(path.substr(0, cut));
}
