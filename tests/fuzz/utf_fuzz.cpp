// libFuzzer target for the UTF-16LE <-> UTF-8 conversions, each checked
// against a reference decoder/encoder written here from the rules: both
// must refuse the same inputs and produce the same bytes, every output
// buffer size is honoured exactly, and text survives the round trip. The
// input is read both as UTF-16LE and (up to its first zero byte) as UTF-8.
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/fuzz_target.h"
#include "util/util.h"

namespace {

using bytes = std::vector<uint8_t>;

void put_utf8(uint32_t cp, std::string* out) {
  if (cp < 0x80) {
    *out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    *out += static_cast<char>(0xC0 | cp >> 6);
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *out += static_cast<char>(0xE0 | cp >> 12);
    *out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | cp >> 18);
    *out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
    *out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// UTF-16LE to UTF-8: odd lengths, zero units and unpaired surrogates refused.
std::optional<std::string> ref_16_to_8(const uint8_t* p, size_t n) {
  if (n % 2 != 0) return std::nullopt;
  std::vector<uint32_t> units;
  for (size_t i = 0; i < n; i += 2) units.push_back(p[i] | p[i + 1] << 8);
  std::string out;
  for (size_t k = 0; k < units.size(); ++k) {
    const uint32_t u = units[k];
    if (u == 0 || (u >= 0xDC00 && u <= 0xDFFF)) return std::nullopt;
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (k + 1 == units.size() || units[k + 1] < 0xDC00 || units[k + 1] > 0xDFFF) return std::nullopt;
      put_utf8(0x10000 + ((u - 0xD800) << 10) + (units[++k] - 0xDC00), &out);
    } else {
      put_utf8(u, &out);
    }
  }
  return out;
}

// UTF-8 to UTF-16LE as the server's own names need it: lead and continuation
// bytes checked, encoded surrogates refused; overlong forms and values above
// U+10FFFF are converted, not refused. `strict` tells whether the text is
// also strict UTF-8 (shortest forms, at most U+10FFFF), which round-trips.
std::optional<bytes> ref_8_to_16(const std::string& s, bool* strict) {
  bytes out;
  *strict = true;
  auto unit = [&](uint32_t u) {
    out.push_back(static_cast<uint8_t>(u & 0xFF));
    out.push_back(static_cast<uint8_t>(u >> 8 & 0xFF));
  };
  for (size_t i = 0; i < s.size();) {
    const auto b = static_cast<uint8_t>(s[i++]);
    int more;
    uint32_t cp, min;
    if (b < 0x80) {
      more = 0, cp = b, min = 0;
    } else if (b >= 0xC0 && b < 0xE0) {
      more = 1, cp = b & 0x1F, min = 0x80;
    } else if (b >= 0xE0 && b < 0xF0) {
      more = 2, cp = b & 0x0F, min = 0x800;
    } else if (b >= 0xF0 && b < 0xF8) {
      more = 3, cp = b & 0x07, min = 0x10000;
    } else {
      return std::nullopt;
    }
    for (int k = 0; k < more; ++k) {
      if (i == s.size() || (static_cast<uint8_t>(s[i]) & 0xC0) != 0x80) return std::nullopt;
      cp = cp << 6 | (static_cast<uint8_t>(s[i++]) & 0x3F);
    }
    if (cp >= 0xD800 && cp <= 0xDFFF) return std::nullopt;
    if (cp < min || cp > 0x10FFFF) *strict = false;
    if (cp < 0x10000) {
      unit(cp);
    } else {
      unit(0xD800 | (cp - 0x10000) >> 10);
      unit(0xDC00 | ((cp - 0x10000) & 0x3FF));
    }
  }
  return out;
}

void check_16_to_8(const uint8_t* data, size_t size) {
  const std::optional<std::string> want = ref_16_to_8(data, size);
  std::string out(size * 2 + 2, 'X');  // 3 bytes per unit at most, 4 per pair
  const int got = tw3_utf16_to_utf8(data, size, out.data(), static_cast<int32_t>(out.size()));
  if (!want) {
    TW3_FUZZ_CHECK(got == -1);
    return;
  }
  TW3_FUZZ_CHECK(got == static_cast<int>(want->size()));
  TW3_FUZZ_CHECK(std::memcmp(out.data(), want->c_str(), want->size() + 1) == 0);
  // The text and its terminator fit exactly; one byte less fails.
  TW3_FUZZ_CHECK(tw3_utf16_to_utf8(data, size, out.data(), got + 1) == got);
  TW3_FUZZ_CHECK(tw3_utf16_to_utf8(data, size, out.data(), got) == -1);
  // Back to UTF-16: the same bytes.
  bytes back(size + 4);
  int32_t n = -1;
  TW3_FUZZ_CHECK(tw3_utf8_to_utf16le(want->c_str(), back.data(), static_cast<int32_t>(back.size()), &n) == 0);
  TW3_FUZZ_CHECK(n == static_cast<int32_t>(size) && (size == 0 || std::memcmp(back.data(), data, size) == 0));
}

void check_8_to_16(const uint8_t* data, size_t size) {
  const auto* chars = reinterpret_cast<const char*>(data);
  const std::string text(chars, size != 0 ? strnlen(chars, size) : 0);
  bool strict = false;
  const std::optional<bytes> want = ref_8_to_16(text, &strict);
  bytes out(text.size() * 2 + 4);
  int32_t n = -1;
  const int rc = tw3_utf8_to_utf16le(text.c_str(), out.data(), static_cast<int32_t>(out.size()), &n);
  if (!want) {
    TW3_FUZZ_CHECK(rc == -1);
    return;
  }
  TW3_FUZZ_CHECK(rc == 0 && n == static_cast<int32_t>(want->size()));
  TW3_FUZZ_CHECK(want->empty() || std::memcmp(out.data(), want->data(), want->size()) == 0);
  TW3_FUZZ_CHECK(tw3_utf8_to_utf16le(text.c_str(), out.data(), n, &n) == 0);
  if (n > 0) TW3_FUZZ_CHECK(tw3_utf8_to_utf16le(text.c_str(), out.data(), n - 1, &n) == -1);
  if (!strict) return;
  std::string back(text.size() + 2, 'X');
  TW3_FUZZ_CHECK(tw3_utf16_to_utf8(want->data(), want->size(), back.data(), static_cast<int32_t>(back.size())) ==
                 static_cast<int>(text.size()));
  TW3_FUZZ_CHECK(std::strcmp(back.c_str(), text.c_str()) == 0);
}

}  // namespace

TW3_FUZZ_ENTRY(utf) {
  check_16_to_8(data, size);
  check_8_to_16(data, size);
  return 0;
}
