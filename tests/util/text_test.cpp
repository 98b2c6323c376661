#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "util/util.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(Hex, Decode) {
  struct Case {
    std::string text;
    bool ok;
    Bytes want;
  } cases[] = {
      {"4a 4B\n", true, {0x4A, 0x4B}},
      {"4 a", true, {0x4A}},
      {"\t0\r\n0ff \t", true, {0x00, 0xFF}},
      {"", true, {}},
      {" \n\t\r", true, {}},
      {"4a4", false, {}},
      {"4a4 ", false, {}},
      {"0x4a", false, {}},
      {"4a:4b", false, {}},
      {"4a,", false, {}},
      {"4\v", false, {}},
      {std::string("4a\0" "4b", 5), false, {}},  // a zero byte inside the text
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    uint8_t out[8] = {};
    size_t n = 99;
    const int rc = tw3_hex_decode(c.text.data(), c.text.size(), out, sizeof out, &n);
    if (!c.ok) {
      EXPECT_EQ(rc, -1);
      EXPECT_EQ(n, 0u);
      continue;
    }
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(Bytes(out, out + n), c.want);
  }
}

TEST(Hex, DecodeRespectsCapacityAndCountsWithoutOutput) {
  const std::string text = "010203";
  uint8_t out[2] = {};
  size_t n = 99;
  EXPECT_EQ(tw3_hex_decode(text.data(), text.size(), out, sizeof out, &n), -1);
  EXPECT_EQ(out[0], 1);
  EXPECT_EQ(out[1], 2);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(tw3_hex_decode(text.data(), text.size(), nullptr, 0, &n), 0);
  EXPECT_EQ(n, 3u);
  // Only n bytes are read: the text need not be terminated.
  const char unterminated[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(tw3_hex_decode(unterminated, 2, out, sizeof out, &n), 0);
  EXPECT_EQ(n, 1u);
  EXPECT_EQ(out[0], 0xAB);
}

TEST(Hex, Encode) {
  tw3_buf b{};
  const uint8_t data[] = {0x00, 0xAB, 0xFF};
  tw3_hex_encode(data, sizeof data, &b);
  tw3_hex_encode(data, 0, &b);
  ASSERT_NE(b.data, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(b.data), b.len), "00abff");
  tw3_buf_free(&b);
}

TEST(Utf16, ToUtf8) {
  struct Case {
    Bytes in;
    int cap;
    int want_len;  // -1: refused
    std::string want;
  } cases[] = {
      {{0x41, 0x00}, 2, 1, "A"},
      {{0x41, 0x00}, 1, -1, ""},  // no room for the terminator
      {{}, 1, 0, ""},
      {{}, 0, -1, ""},
      {{0x41, 0x00, 0x42}, 16, -1, ""},  // odd length
      {{0x00, 0x00}, 16, -1, ""},        // a zero unit
      {{0x00, 0xDC}, 16, -1, ""},        // a lone low surrogate
      {{0x3D, 0xD8}, 16, -1, ""},        // a high surrogate at the end
      {{0x3D, 0xD8, 0x41, 0x00}, 16, -1, ""},  // high surrogate, then no low one
      {{0x3D, 0xD8, 0x00, 0xDE}, 16, 4, "\xF0\x9F\x98\x80"},
      {{0x3D, 0xD8, 0x00, 0xDE}, 4, -1, ""},
      {{0xE9, 0x00}, 3, 2, "\xC3\xA9"},
      {{0xE9, 0x00}, 2, -1, ""},
      {{0xAC, 0x20}, 4, 3, "\xE2\x82\xAC"},
      {{0x7F, 0x00, 0x80, 0x00, 0xFF, 0x07, 0x00, 0x08, 0xFF, 0xFF},
       32, 11, "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.in.size() << " bytes, cap " << c.cap);
    char out[33];
    std::memset(out, 'z', sizeof out);
    const int rc = tw3_utf16_to_utf8(c.in.data(), c.in.size(), out, c.cap);
    ASSERT_EQ(rc, c.want_len);
    if (rc >= 0) {
      EXPECT_EQ(std::string(out), c.want);
    }
    EXPECT_EQ(out[c.cap], 'z');  // nothing written beyond cap
  }
}

TEST(Utf8, ToUtf16le) {
  struct Case {
    std::string in;
    int cap;
    bool ok;
    Bytes want;
  } cases[] = {
      {"AB", 4, true, {0x41, 0, 0x42, 0}},
      {"AB", 3, false, {}},
      {"", 0, true, {}},
      {"\xC3\xA9", 2, true, {0xE9, 0x00}},
      {"\xE2\x82\xAC", 2, true, {0xAC, 0x20}},
      {"\xF0\x9F\x98\x80", 4, true, {0x3D, 0xD8, 0x00, 0xDE}},
      {"\xF0\x9F\x98\x80", 3, false, {}},
      {"\xED\xA0\x80", 16, false, {}},  // an encoded surrogate
      {"\x80", 16, false, {}},
      {"\xF8\x88\x80\x80\x80", 16, false, {}},
      {"\xC3", 16, false, {}},     // terminator before the continuation
      {"\xE2\x82", 16, false, {}},
      {"\xC3\x41", 16, false, {}},  // not a continuation byte
      {"\xC0\x81", 16, true, {0x01, 0x00}},  // overlong forms pass through
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    uint8_t out[16];
    std::memset(out, 0xEE, sizeof out);
    int32_t n = -5;
    const int rc = tw3_utf8_to_utf16le(c.in.c_str(), out, c.cap, &n);
    if (!c.ok) {
      EXPECT_EQ(rc, -1);
      continue;
    }
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(Bytes(out, out + n), c.want);
    if (c.cap < 16) {
      EXPECT_EQ(out[c.cap], 0xEE);
    }
  }
}

TEST(Utf8, RoundTripsThroughUtf16) {
  const std::string names[] = {"plain.txt", "caf\xC3\xA9", "\xE6\x97\xA5\xE6\x9C\xAC",
                               "\xF0\x9F\x98\x80 smile"};
  for (const std::string& s : names) {
    uint8_t u16[64];
    int32_t n = 0;
    ASSERT_EQ(tw3_utf8_to_utf16le(s.c_str(), u16, sizeof u16, &n), 0);
    char back[64];
    ASSERT_EQ(tw3_utf16_to_utf8(u16, static_cast<size_t>(n), back, sizeof back), static_cast<int>(s.size()));
    EXPECT_EQ(std::string(back), s);
  }
}

}  // namespace
