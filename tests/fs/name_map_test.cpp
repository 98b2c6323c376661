// Names between host and client: the private-use mapping of the characters
// SMB cannot carry, names hidden because they would read back as another
// name or stay invalid, and the identity under Windows rules.
#include <gtest/gtest.h>

#include <string>

#include "fs/fs.h"
#include "util/util.h"

namespace {

const tw3_name_rules kPosix{'/', false};
const tw3_name_rules kWindows{'\\', true};

// U+F0xx in UTF-8.
std::string pu(unsigned low) {
  return std::string{char(0xEF), char(0x80), char(0x80 + (low & 0x3F))};
}

TEST(NameMap, HostNamesAsClientsSeeThem) {
  struct Case {
    std::string host;
    std::string client;
  };
  const Case cases[] = {
      {"plain.txt", "plain.txt"},
      {"Mixed Case.TXT", "Mixed Case.TXT"},
      {"back\\slash.txt", "back" + pu(0x26) + "slash.txt"},
      {"a:b.txt", "a" + pu(0x22) + "b.txt"},
      {"q?x.txt", "q" + pu(0x25) + "x.txt"},
      {"star*.txt", "star" + pu(0x21) + ".txt"},
      {"lt<gt>.txt", "lt" + pu(0x23) + "gt" + pu(0x24) + ".txt"},
      {"pipe|x.txt", "pipe" + pu(0x27) + "x.txt"},
      {"quote\".txt", "quote" + pu(0x20) + ".txt"},
      {"trail.", "trail" + pu(0x29)},
      {"trail ", "trail" + pu(0x28)},
      {"a. ", "a." + pu(0x28)},          // only the final character
      {"...", ".." + pu(0x29)},
      {" ", pu(0x28)},
      {"a b.c", "a b.c"},                 // inside a name they stand for themselves
      {"line\nfeed", "line" + pu(0x0A) + "feed"},
      {std::string("\x01\x1F", 2), pu(0x01) + pu(0x1F)},
      {"caf\xC3\xA9", "caf\xC3\xA9"},
      {pu(0x00) + pu(0x2A), pu(0x00) + pu(0x2A)},  // neighbours of the range are ordinary
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    std::string client, back;
    ASSERT_TRUE(tw3_name_to_client(c.host, kPosix, &client));
    EXPECT_EQ(client, c.client);
    ASSERT_TRUE(tw3_name_to_host(client, kPosix, &back));
    EXPECT_EQ(back, c.host);  // the round trip gives the host name again
    // Windows names need nothing: a valid one passes unchanged.
    if (tw3_component_ok(c.host) && tw3_win_component_ok(c.host) && c.host.find('\\') == std::string::npos) {
      ASSERT_TRUE(tw3_name_to_client(c.host, kWindows, &client));
      EXPECT_EQ(client, c.host);
    }
  }
}

TEST(NameMap, HiddenNamesAreNeitherShownNorReached) {
  const std::string hidden[] = {
      "pu" + pu(0x22) + "x",       // would read back as "pu:x"
      pu(0x01),                     // the first of the range
      "end" + pu(0x29),             // the last
      "del\x7F",                    // still a control byte after mapping
      std::string(256, 'a'),        // too long
      std::string(100, ':'),        // 300 bytes once mapped
      "",
  };
  std::string out;
  for (const std::string& h : hidden) {
    SCOPED_TRACE(h);
    EXPECT_FALSE(tw3_name_to_client(h, kPosix, &out));
  }
  // The raw spelling of a hidden name does not reach it either.
  EXPECT_FALSE(tw3_name_to_host(std::string(100, ':'), kPosix, &out));
  EXPECT_FALSE(tw3_name_to_host("del\x7F", kPosix, &out));
  // A final-only character in the middle names nothing.
  EXPECT_FALSE(tw3_name_to_host("a" + pu(0x29) + "b", kPosix, &out));
  // The reserved characters sent as they are reach the host name directly.
  ASSERT_TRUE(tw3_name_to_host("a:b.txt", kPosix, &out));
  EXPECT_EQ(out, "a:b.txt");
  // Under Windows rules the private-use characters are ordinary.
  ASSERT_TRUE(tw3_name_to_client("pu" + pu(0x22) + "x", kWindows, &out));
  EXPECT_EQ(out, "pu" + pu(0x22) + "x");
  ASSERT_TRUE(tw3_name_to_host("a" + pu(0x29), kWindows, &out));
  EXPECT_EQ(out, "a" + pu(0x29));
  EXPECT_FALSE(tw3_name_to_client("trail.", kWindows, &out));
  EXPECT_FALSE(tw3_name_to_client("nul.txt", kWindows, &out));
}

TEST(NameMap, PathsComponentByComponent) {
  std::string out;
  ASSERT_TRUE(tw3_path_to_host("d" + pu(0x22) + "/f" + pu(0x29), kPosix, &out));
  EXPECT_EQ(out, "d:/f.");
  ASSERT_TRUE(tw3_path_to_host("", kPosix, &out));
  EXPECT_EQ(out, "");
  EXPECT_FALSE(tw3_path_to_host("ok/" + pu(0x29) + "x", kPosix, &out));
  ASSERT_TRUE(tw3_path_to_client("d:/f.", '/', kPosix, &out));
  EXPECT_EQ(out, "d" + pu(0x22) + "\\f" + pu(0x29));
  ASSERT_TRUE(tw3_path_to_client("dir\\a.txt", '\\', kWindows, &out));
  EXPECT_EQ(out, "dir\\a.txt");
  EXPECT_FALSE(tw3_path_to_client("ok/pu" + pu(0x01), '/', kPosix, &out));
}

}  // namespace
