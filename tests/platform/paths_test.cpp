// The text rules the Windows file layer decides with, on every host: final
// paths in their usual form, the same-object test that refuses a reparse
// point swapped in on the way, and the folder of a path.
#include <gtest/gtest.h>

#include <string>

#include "platform/paths.h"

namespace {

TEST(WindowsPaths, FinalPathsLoseTheirNamespacePrefix) {
  EXPECT_EQ(tw3_win_strip_final_prefix("\\\\?\\C:\\Data\\x"), "C:\\Data\\x");
  EXPECT_EQ(tw3_win_strip_final_prefix("\\\\?\\C:\\"), "C:\\");
  EXPECT_EQ(tw3_win_strip_final_prefix("\\\\?\\UNC\\srv\\share\\dir"), "\\\\srv\\share\\dir");
  EXPECT_EQ(tw3_win_strip_final_prefix("C:\\plain"), "C:\\plain");
  EXPECT_EQ(tw3_win_strip_final_prefix("\\\\?"), "\\\\?");
}

TEST(WindowsPaths, AFinalPathElsewhereIsAnotherObject) {
  // An open made without following links is kept only when the handle's
  // final path is the canonical path asked for.
  EXPECT_TRUE(tw3_win_same_path("C:\\Share\\a.txt", "C:\\Share\\a.txt"));
  EXPECT_TRUE(tw3_win_same_path("c:\\share\\A.TXT", "C:\\Share\\a.txt"));
  // A folder on the way replaced by a junction: the handle ends up outside.
  EXPECT_FALSE(tw3_win_same_path("C:\\Share\\sub\\a.txt", "C:\\Secret\\a.txt"));
  EXPECT_FALSE(tw3_win_same_path("C:\\Share\\a.txt", "C:\\Share\\a.txt2"));
  EXPECT_FALSE(tw3_win_same_path("C:\\\xC3\x84", "C:\\\xC3\xA4"));  // only ASCII case folds
}

TEST(WindowsPaths, ParentFolder) {
  EXPECT_EQ(tw3_win_parent("C:\\a\\b.txt"), "C:\\a");
  EXPECT_EQ(tw3_win_parent("C:\\b.txt"), "C:\\");
  EXPECT_EQ(tw3_win_parent("\\\\srv\\share\\b.txt"), "\\\\srv\\share");
  EXPECT_EQ(tw3_win_parent("name"), "name");
}

TEST(Utf8, StrictForms) {
  const std::string good[] = {"", "ascii", "caf\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"};
  for (const std::string& s : good) EXPECT_TRUE(tw3_utf8_valid(s.data(), s.size())) << s;
  const std::string bad[] = {"\xFF", "\xC0\xAF", "\xED\xA0\x80", "\xE2\x82", "\xF4\x90\x80\x80"};
  for (const std::string& s : bad) EXPECT_FALSE(tw3_utf8_valid(s.data(), s.size()));
}

}  // namespace
