#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "util/util.h"

namespace {

constexpr int kBig = 2048;

struct VpathCase {
  std::string in;
  int rc;
  std::string out_or_msg;  // the virtual path, or the error text
};

TEST(Vpath, NormalisesOrRefuses) {
  const std::string c255(255, 'c');
  const VpathCase cases[] = {
      {"\\\\dir//sub\\file.txt\\", 0, "dir/sub/file.txt"},
      {"/", 0, ""},
      {"\\", 0, ""},
      {"", 0, ""},
      {".hidden/a..b", 0, ".hidden/a..b"},
      {"file.txt:stream", 0, "file.txt:stream"},
      {"x*?\"<>|/\xC3\xA9", 0, "x*?\"<>|/\xC3\xA9"},
      {"Mixed/CASE", 0, "Mixed/CASE"},
      {c255, 0, c255},
      {"a/./b", -7, "\".\" is not a valid name component"},
      {"a/../b", -7, "\"..\" is not a valid name component"},
      {"..", -7, "\"..\" is not a valid name component"},
      {"a/.../b", -7, "name component ends in a dot or a space"},
      {"a./b", -7, "name component ends in a dot or a space"},
      {"a/ ", -7, "name component ends in a dot or a space"},
      {"a/" + c255 + "c", -7, "name component longer than 255 bytes"},
      {"a/b\tc", -7, "control byte in a name component"},
      {"a/b\x7F", -7, "control byte in a name component"},
      {"a/\x1F.", -7, "control byte in a name component"},  // control checked before the dot
  };
  for (const VpathCase& c : cases) {
    SCOPED_TRACE(c.in);
    char out[kBig];
    std::memset(out, 'z', sizeof out);
    tw3_set_error("untouched");
    const int rc = tw3_vpath(c.in.c_str(), out, sizeof out);
    ASSERT_EQ(rc, c.rc);
    if (rc == 0) {
      EXPECT_EQ(std::string(out), c.out_or_msg);
      EXPECT_STREQ(tw3_error(), "untouched");
    } else {
      EXPECT_EQ(std::string(tw3_error()), c.out_or_msg);
      EXPECT_EQ(out[0], 'z');
    }
  }
  char out[4];
  EXPECT_EQ(tw3_vpath(nullptr, out, sizeof out), 0);
  EXPECT_STREQ(out, "");
}

TEST(Vpath, DepthAndLengthLimits) {
  char out[kBig];
  std::string deep;
  for (int i = 0; i < 64; i++) deep += "x/";
  ASSERT_EQ(tw3_vpath(deep.c_str(), out, sizeof out), 0);
  EXPECT_EQ(std::string(out).size(), 127u);
  EXPECT_EQ(tw3_vpath((deep + "y").c_str(), out, sizeof out), -7);
  EXPECT_STREQ(tw3_error(), "deeper than 64 components");

  // Components of 255, 255, 255, 254 and 1 bytes join to exactly 1024 bytes.
  const std::string c(255, 'c');
  const std::string exact = c + "/" + c + "/" + c + "/" + std::string(254, 'd') + "/e";
  ASSERT_EQ(exact.size(), 1024u);
  std::vector<char> fit(1025);
  ASSERT_EQ(tw3_vpath(exact.c_str(), fit.data(), 1025), 0);
  EXPECT_EQ(std::string(fit.data()), exact);
  std::vector<char> small(1024, 'z');
  EXPECT_EQ(tw3_vpath(exact.c_str(), small.data(), 1024), -8);
  EXPECT_STREQ(tw3_error(), "the name needs 1025 bytes");
  EXPECT_EQ(small[0], 'z');
  EXPECT_EQ(tw3_vpath(exact.c_str(), nullptr, 0), -8);
  EXPECT_EQ(tw3_vpath("a", out, 0), -8);
  EXPECT_EQ(tw3_vpath("a", out, -5), -8);
  EXPECT_EQ(tw3_vpath((exact + "d").c_str(), out, sizeof out), -7);
  EXPECT_STREQ(tw3_error(), "path longer than 1024 bytes");
}

TEST(Vpath, InputLengthIsCheckedBeforeSeparatorsShrinkIt) {
  char out[kBig];
  EXPECT_EQ(tw3_vpath(std::string(2048, '/').c_str(), out, sizeof out), 0);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(tw3_vpath((std::string(2047, '/') + "a").c_str(), out, sizeof out), 0);
  EXPECT_STREQ(out, "a");
  EXPECT_EQ(tw3_vpath(std::string(2049, '/').c_str(), out, sizeof out), -7);
  EXPECT_STREQ(tw3_error(), "name longer than 2048 bytes");
}

TEST(Pattern, Check) {
  const std::pair<std::string, const char*> cases[] = {
      {"", nullptr},
      {"*", nullptr},
      {"<*>", nullptr},
      {"\"x\"", nullptr},
      {std::string(512, '?'), nullptr},
      {std::string(513, '?'), "pattern longer than 512 bytes"},
      {"dir\\*", "the pattern is a leaf name only"},
      {"dir/*", "the pattern is a leaf name only"},
      {"a\tb", "control byte in the pattern"},
      {"a\x7F/", "control byte in the pattern"},  // the first offending byte decides
  };
  for (const auto& [pat, msg] : cases) {
    SCOPED_TRACE(pat);
    const int rc = tw3_pat_check(pat.c_str());
    if (!msg) {
      EXPECT_EQ(rc, 0);
    } else {
      EXPECT_EQ(rc, -1);
      EXPECT_STREQ(tw3_error(), msg);
    }
  }
  EXPECT_EQ(tw3_pat_check(nullptr), -1);
  EXPECT_STREQ(tw3_error(), "NULL pattern");
}

TEST(Glob, Match) {
  struct Case {
    const char* pat;
    const char* name;
    int want;
  } cases[] = {
      {"*.TXT", "readme.txt", 1},
      {"a?c", "ac", 0},
      {"a?c", "abc", 1},
      {"*", "", 1},
      {"*", "anything", 1},
      {"", "", 1},
      {"", "a", 0},
      {"a", "", 0},
      {"a*b*c", "aXbYbZc", 1},
      {"a*b*c", "aXbYbZ", 0},
      {"*.*", "noext", 0},
      {"*.*", "a.b", 1},
      {"**a", "xxa", 1},
      {"*a*", "bbb", 0},
      {"<*>", "<x>", 1},
      {"\xC3\x84", "\xC3\xA4", 0},  // non-ASCII bytes are not folded
      {"*ab", "aab", 1},
      {"a*", "A", 1},
  };
  for (const Case& c : cases) EXPECT_EQ(tw3_glob_match(c.pat, c.name), c.want) << c.pat << " " << c.name;
}

TEST(CaseCmp, FoldsAsciiOnly) {
  EXPECT_EQ(tw3_casecmp("IPC$", "ipc$"), 0);
  EXPECT_NE(tw3_casecmp("\xC3\x84", "\xC3\xA4"), 0);
  EXPECT_LT(tw3_casecmp("a", "B"), 0);
  EXPECT_GT(tw3_casecmp("b", "A"), 0);
  EXPECT_LT(tw3_casecmp("ab", "abc"), 0);
  EXPECT_GT(tw3_casecmp("\xC3", "a"), 0);  // bytes compare unsigned
  EXPECT_EQ(tw3_casecmp("[", "{"), '[' - '{');
  EXPECT_EQ(tw3_ncasecmp("abcX", "ABCy", 3), 0);
  EXPECT_NE(tw3_ncasecmp("abcX", "ABCy", 4), 0);
  EXPECT_EQ(tw3_ncasecmp("x", "y", 0), 0);
  EXPECT_EQ(tw3_ncasecmp("ab", "AB", 100), 0);
}

}  // namespace
