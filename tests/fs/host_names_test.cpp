// The host naming rules of the share layer, on both rule sets and on every
// host: containment by whole components (case-insensitive on Windows), and
// the Windows names that would reach a stream, a device or another file.
#include <gtest/gtest.h>

#include "fs/fs.h"

namespace {

constexpr tw3_name_rules kWin{'\\', true};
constexpr tw3_name_rules kPosix{'/', false};

TEST(HostNames, ContainmentByWholeComponents) {
  struct Case {
    const char* path;
    const char* root;
    bool single_file;
    bool win_inside;
    bool posix_inside;
  };
  const Case cases[] = {
      {"C:\\Share\\a", "C:\\Share", false, true, false},
      {"c:\\share\\a", "C:\\Share", false, true, false},  // drive letter and names ignore case
      {"C:\\SHARE", "C:\\Share", false, true, false},
      {"C:\\Share2\\a", "C:\\Share", false, false, false},
      {"C:\\Shar", "C:\\Share", false, false, false},
      {"C:\\Sharea", "c:\\share", false, false, false},
      {"D:\\anything\\below", "D:\\", false, true, false},  // a drive root holds its drive
      {"E:\\x", "D:\\", false, false, false},
      {"\\\\srv\\pub\\x", "\\\\srv\\pub", false, true, false},
      {"\\\\srv\\public\\x", "\\\\srv\\pub", false, false, false},
      {"C:\\f.txt", "C:\\f.txt", true, true, true},
      {"C:\\f.txt\\x", "C:\\f.txt", true, false, false},  // a file share holds only itself
      {"C:\\\xC3\x84rger\\x", "C:\\\xC3\xA4rger", false, false, false},  // non-ASCII case: refused
      {"anything", "", false, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.path) + " in " + c.root);
    EXPECT_EQ(tw3_path_inside(c.path, c.root, c.single_file, kWin), c.win_inside);
    EXPECT_EQ(tw3_path_inside(c.path, c.root, c.single_file, kPosix), c.posix_inside);
  }
  // The POSIX rules: byte-exact, '/' separated.
  EXPECT_TRUE(tw3_path_inside("/srv/media/x", "/srv/media", false, kPosix));
  EXPECT_FALSE(tw3_path_inside("/srv/Media/x", "/srv/media", false, kPosix));
  EXPECT_FALSE(tw3_path_inside("/srv/media2", "/srv/media", false, kPosix));
  EXPECT_TRUE(tw3_path_inside("/srv", "/", false, kPosix));
  EXPECT_FALSE(tw3_path_inside("C:\\Share\\a", "C:\\Share", false, kPosix));
}

TEST(HostNames, WindowsComponentsThatOpenSomethingElse) {
  const char* const refused[] = {
      "file.txt:stream", "a:", ":$DATA", "CON", "con", "Con.txt", "NUL", "nul.tar.gz", "NUL .txt",
      "PRN", "AUX", "COM1", "com9.log", "LPT1", "lpt3.txt", "COM0", "COM\xC2\xB9", "CONIN$", "conout$",
      "dot.", "space ", "...", "wild*", "q?", "a<b", "a>b", "a|b", "quote\"",
  };
  for (const char* name : refused) {
    EXPECT_FALSE(tw3_win_component_ok(name)) << name;
  }
  const char* const allowed[] = {
      "CONSOLE", "nul_", "COM10", "COM", "LPT", "xCON", "con-fig.txt", "AUXILIARY", ".hidden",
      "a..b", "caf\xC3\xA9", "Ann\xC3\xA9" "e 2026", "COM\xC2\xB9x",
  };
  for (const char* name : allowed) {
    EXPECT_TRUE(tw3_win_component_ok(name)) << name;
  }
}

TEST(HostNames, VirtualPathsUnderEachRuleSet) {
  struct Case {
    const char* vpath;
    bool win_ok;
  };
  const Case cases[] = {
      {"", true},
      {"docs/readme.txt", true},
      {"docs/readme.txt:secret", false},
      {"docs/aux/x", false},      // a device anywhere on the path
      {"docs/Nul.txt", false},
      {"COM1", false},
      {"docs/con-fig", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(tw3_vpath_host_ok(c.vpath, kWin), c.win_ok) << c.vpath;
    EXPECT_TRUE(tw3_vpath_host_ok(c.vpath, kPosix)) << c.vpath;  // Linux names may hold all of these
  }
}

}  // namespace
