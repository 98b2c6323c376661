// Hexadecimal text and UTF-16LE <-> UTF-8 conversion. The UTF-16 direction
// reads client-sent names and refuses every malformed input; the UTF-8
// direction reads the server's own names.
#include "util/util.h"

namespace {

constexpr char kHexDig[] = "0123456789abcdef";

constexpr uint32_t kHighSurFirst = 0xD800, kHighSurLast = 0xDBFF;
constexpr uint32_t kLowSurFirst = 0xDC00, kLowSurLast = 0xDFFF;
constexpr uint32_t kSupplementaryBase = 0x10000;

bool is_hex_space(char c) { return c == '\t' || c == '\n' || c == '\r' || c == ' '; }

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Skips white space; returns the next digit's value, -1 for a bad byte, or
// -2 at the end of the text.
int next_digit(const char* text, size_t n, size_t* i) {
  while (*i < n && is_hex_space(text[*i])) ++*i;
  if (*i >= n) return -2;
  return hex_digit(text[(*i)++]);
}

// Length of the UTF-8 form of a code point (surrogates already excluded).
int utf8_len(uint32_t cp) { return cp <= 0x7F ? 1 : cp <= 0x7FF ? 2 : cp <= 0xFFFF ? 3 : 4; }

void utf8_write(uint32_t cp, int len, char* p) {
  auto* u = reinterpret_cast<unsigned char*>(p);
  switch (len) {
    case 1:
      u[0] = static_cast<unsigned char>(cp);
      break;
    case 2:
      u[0] = static_cast<unsigned char>(0xC0 | cp >> 6);
      u[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
      break;
    case 3:
      u[0] = static_cast<unsigned char>(0xE0 | cp >> 12);
      u[1] = static_cast<unsigned char>(0x80 | (cp >> 6 & 0x3F));
      u[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
      break;
    default:
      u[0] = static_cast<unsigned char>(0xF0 | cp >> 18);
      u[1] = static_cast<unsigned char>(0x80 | (cp >> 12 & 0x3F));
      u[2] = static_cast<unsigned char>(0x80 | (cp >> 6 & 0x3F));
      u[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
      break;
  }
}

void put_unit(uint8_t* dst, int32_t at, uint32_t unit) {
  dst[at] = static_cast<uint8_t>(unit & 0xFF);
  dst[at + 1] = static_cast<uint8_t>(unit >> 8 & 0xFF);
}

// Decodes one UTF-8 sequence starting at *p; advances *p. -1 when malformed.
int64_t utf8_decode(const unsigned char** p) {
  const unsigned char lead = *(*p)++;
  if (lead < 0x80) return lead;
  int more;
  uint32_t cp;
  if ((lead & 0xE0) == 0xC0) {
    more = 1;
    cp = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    more = 2;
    cp = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    more = 3;
    cp = lead & 0x07;
  } else {
    return -1;
  }
  for (int k = 0; k < more; k++) {
    const unsigned char c = **p;
    if ((c & 0xC0) != 0x80) return -1;  // also stops at the terminator
    cp = cp << 6 | (c & 0x3F);
    ++*p;
  }
  return cp;
}

}  // namespace

int tw3_hex_decode(const char* text, size_t n, uint8_t* out, size_t cap, size_t* out_len) {
  if (out_len) *out_len = 0;
  if (n == 0) return 0;
  if (!text) return -1;
  size_t i = 0, count = 0;
  while (true) {
    const int hi = next_digit(text, n, &i);
    if (hi == -2) break;
    if (hi < 0) return -1;
    const int lo = next_digit(text, n, &i);
    if (lo < 0) return -1;  // a bad byte, or the text ends inside a pair
    if (out) {
      if (count >= cap) return -1;
      out[count] = static_cast<uint8_t>(hi << 4 | lo);
    }
    count++;
  }
  if (out_len) *out_len = count;
  return 0;
}

void tw3_hex_encode(const void* data, size_t n, tw3_buf* buf) {
  if (!buf || (n && !data)) return;
  const auto* p = static_cast<const uint8_t*>(data);
  if (buf_reserve(buf, static_cast<uint64_t>(n) * 2) != 0) return;
  for (size_t i = 0; i < n; i++) {
    tw3_buf_byte(buf, kHexDig[p[i] >> 4]);
    tw3_buf_byte(buf, kHexDig[p[i] & 0x0F]);
  }
}

int tw3_utf16_to_utf8(const uint8_t* src, size_t n, char* dst, int32_t cap) {
  if (n % 2 != 0 || !dst || cap <= 0 || (n && !src)) return -1;
  const size_t room = static_cast<size_t>(cap);
  size_t len = 0;
  for (size_t i = 0; i < n; i += 2) {
    uint32_t cp = static_cast<uint32_t>(src[i] | src[i + 1] << 8);
    if (cp >= kHighSurFirst && cp <= kHighSurLast) {
      if (n - i < 4) return -1;
      const uint32_t lo = static_cast<uint32_t>(src[i + 2] | src[i + 3] << 8);
      if (lo < kLowSurFirst || lo > kLowSurLast) return -1;
      cp = ((cp - kHighSurFirst) << 10) + (lo - kLowSurFirst) + kSupplementaryBase;
      i += 2;
    } else if ((cp >= kLowSurFirst && cp <= kLowSurLast) || cp == 0) {
      return -1;
    }
    const int w = utf8_len(cp);
    if (static_cast<size_t>(w) > room - len) return -1;
    utf8_write(cp, w, dst + len);
    len += static_cast<size_t>(w);
  }
  if (len >= room) return -1;  // the terminator must fit too
  dst[len] = '\0';
  return static_cast<int>(len);
}

int tw3_utf8_to_utf16le(const char* text, uint8_t* dst, int32_t cap, int32_t* out_len) {
  if (!text || cap < 0 || (cap > 0 && !dst)) return -1;
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  int32_t len = 0;
  while (*p) {
    const int64_t v = utf8_decode(&p);
    if (v < 0) return -1;
    const auto cp = static_cast<uint32_t>(v);
    if (cp >= kHighSurFirst && cp <= kLowSurLast) return -1;
    if (cp < kSupplementaryBase) {
      if (cap - len < 2) return -1;
      put_unit(dst, len, cp);
      len += 2;
    } else {
      if (cap - len < 4) return -1;
      put_unit(dst, len, kHighSurFirst | (cp - kSupplementaryBase) >> 10);
      put_unit(dst, len + 2, kLowSurFirst | ((cp - kSupplementaryBase) & 0x3FF));
      len += 4;
    }
  }
  if (out_len) *out_len = len;
  return 0;
}
