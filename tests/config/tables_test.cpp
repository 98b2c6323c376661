#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/test_env.h"
#include "config/config.h"

namespace fs = std::filesystem;

namespace {

class Tables : public ::testing::Test {
 protected:
  void SetUp() override {
    tw3_config_reset_for_tests();
    root_ = fs::temp_directory_path() /
            ("tw3cfg-" + std::to_string(std::hash<std::string>{}(
                             ::testing::UnitTest::GetInstance()->current_test_info()->name())) +
             "-" + std::to_string(reinterpret_cast<uintptr_t>(this)));
    fs::remove_all(root_);
    fs::create_directories(root_ / "dir");
    std::ofstream(root_ / "file.txt") << "hello";
    dir_ = (root_ / "dir").string();
    file_ = (root_ / "file.txt").string();
  }
  void TearDown() override {
    tw3_config_reset_for_tests();
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  fs::path root_;
  std::string dir_, file_;
};

std::vector<std::string> listing() {
  tw3_share* arr = nullptr;
  int n = 0;
  EXPECT_EQ(tw3_share_list(&arr, &n), 0);
  std::vector<std::string> names;
  for (int i = 0; i < n; i++) names.emplace_back(arr[i].name);
  delete[] arr;
  return names;
}

struct Refusal {
  const char* name;
  std::string path;
  int code;
  std::string message;
};

TEST_F(Tables, AddShareRefusals) {
  const std::string n80(80, 's'), n81(81, 's');
  const std::string long_path = "/" + std::string(1024, 'p');
  const std::string missing = dir_ + "/missing";
  const Refusal cases[] = {
      {nullptr, dir_, -1, "add_share: NULL or empty argument"},
      {"a", "", -1, "add_share: NULL or empty argument"},
      {"", dir_, -1, "add_share: invalid share name"},
      {n81.c_str(), dir_, -1, "add_share: invalid share name"},
      {".", dir_, -1, "add_share: invalid share name"},
      {"..", dir_, -1, "add_share: invalid share name"},
      {"a:b", dir_, -1, "add_share: invalid share name"},
      {"a/b", dir_, -1, "add_share: invalid share name"},
      {"a\\b", dir_, -1, "add_share: invalid share name"},
      {"a\tb", dir_, -1, "add_share: invalid share name"},
      {"a\x7F", dir_, -1, "add_share: invalid share name"},
      {"x", long_path, -1, "add_share: path too long"},
      {"..", long_path, -1, "add_share: invalid share name"},  // the name is checked first
      {"IPC$", dir_, -3, "add_share: IPC$ is built in"},
      {"IPC$", long_path, -1, "add_share: path too long"},
      {"m", missing, -2, "add_share: " + missing + " does not exist"},
#if !defined(_WIN32)  // Windows has no canonical path for a device: "does not exist"
      {"dev", "/dev/null", -1, "add_share: /dev/null is neither a folder nor a regular file"},
#endif
  };
  for (const Refusal& c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_EQ(tw3_add_share(c.name, c.path.c_str()), c.code);
    EXPECT_EQ(std::string(tw3_error()), c.message);
  }
  EXPECT_EQ(tw3_add_share("a", nullptr), -1);
  EXPECT_STREQ(tw3_error(), "add_share: NULL or empty argument");
  EXPECT_EQ(listing(), std::vector<std::string>{"IPC$"});
  // A quoted path is cut to 200 bytes.
  const std::string deep = dir_ + "/" + std::string(250, 'q');
  EXPECT_EQ(tw3_add_share("deep", deep.c_str()), -2);
  EXPECT_EQ(std::string(tw3_error()), "add_share: " + deep.substr(0, 200) + " does not exist");
  // Accepted names at the edges.
  EXPECT_EQ(tw3_add_share(n80.c_str(), dir_.c_str()), 0);
  EXPECT_EQ(tw3_add_share("...", dir_.c_str()), 0);
  EXPECT_EQ(tw3_add_share("with blank \xC3\xA9", dir_.c_str()), 0);
}

TEST_F(Tables, SharesFindListRemove) {
  ASSERT_EQ(tw3_add_share("docs", dir_.c_str()), 0);
  EXPECT_EQ(tw3_add_share("DOCS", file_.c_str()), -3);
  EXPECT_STREQ(tw3_error(), "add_share: DOCS exists");

  tw3_share s;
  ASSERT_EQ(tw3_share_find("Docs", &s), 0);
  EXPECT_STREQ(s.name, "docs");
  EXPECT_EQ(std::string(s.root_path), fs::canonical(dir_).string());
  EXPECT_EQ(s.single_file, 0);
  EXPECT_EQ(tw3_share_find("nope", &s), -1);
  EXPECT_EQ(s.name[0], '\0');
  EXPECT_EQ(tw3_share_find("docs", nullptr), 0);
  EXPECT_EQ(tw3_share_find(nullptr, &s), -1);

  // A lower-case ipc$ passes the exact built-in check, but lookups find IPC$.
  ASSERT_EQ(tw3_add_share("ipc$", dir_.c_str()), 0);
  ASSERT_EQ(tw3_share_find("ipc$", &s), 0);
  EXPECT_STREQ(s.name, "IPC$");
  EXPECT_STREQ(s.root_path, "");
  ASSERT_EQ(tw3_remove_share("ipc$"), 0);

  ASSERT_EQ(tw3_remove_share("docs"), 0);
  ASSERT_EQ(tw3_add_share("b", dir_.c_str()), 0);
  ASSERT_EQ(tw3_add_share("A", file_.c_str()), 0);
  ASSERT_EQ(tw3_add_share("c", dir_.c_str()), 0);
  EXPECT_EQ(listing(), (std::vector<std::string>{"IPC$", "A", "b", "c"}));
  ASSERT_EQ(tw3_share_find("a", &s), 0);
  EXPECT_EQ(s.single_file, 1);

  ASSERT_EQ(tw3_remove_share("A"), 0);  // the middle one of three, in insertion order
  EXPECT_EQ(tw3_share_find("b", nullptr), 0);
  EXPECT_EQ(tw3_share_find("c", nullptr), 0);
  EXPECT_EQ(tw3_remove_share("a"), -2);
  EXPECT_STREQ(tw3_error(), "remove_share: no share a");
  EXPECT_EQ(tw3_remove_share("IPC$"), -1);
  EXPECT_STREQ(tw3_error(), "remove_share: IPC$ is built in");
  EXPECT_EQ(tw3_remove_share(nullptr), -1);
  EXPECT_STREQ(tw3_error(), "remove_share: NULL name");
  const std::string long_name(100, 'z');
  EXPECT_EQ(tw3_remove_share(long_name.c_str()), -2);
  EXPECT_EQ(std::string(tw3_error()), "remove_share: no share " + long_name.substr(0, 64));
  EXPECT_EQ(listing(), (std::vector<std::string>{"IPC$", "b", "c"}));
}

TEST_F(Tables, ShareTableFillsUp) {
  for (int i = 0; i < TW3_MAX_SHARES; i++)
    ASSERT_EQ(tw3_add_share(("s" + std::to_string(i)).c_str(), dir_.c_str()), 0) << i;
  EXPECT_EQ(tw3_add_share("one-more", dir_.c_str()), -6);
  EXPECT_STREQ(tw3_error(), "add_share: 256 shares");
  EXPECT_EQ(tw3_add_share("s7", dir_.c_str()), -3);  // a duplicate is reported as such even when full
  EXPECT_EQ(listing().size(), 257u);
}

TEST_F(Tables, AddShareTraces) {
  tw3_test_setenv("TWSMB3S_TRACE", "1");
  testing::internal::CaptureStderr();
  ASSERT_EQ(tw3_add_share("docs", dir_.c_str()), 0);
  EXPECT_EQ(tw3_add_share(nullptr, nullptr), -1);
  ASSERT_EQ(tw3_add_user("alice", "secret-pw"), 0);
  const std::string err = testing::internal::GetCapturedStderr();
  tw3_test_unsetenv("TWSMB3S_TRACE");
  const std::string real = fs::canonical(dir_).string();
  EXPECT_EQ(err, "[cfg] add_share('docs', '" + dir_ + "')\n[cfg] share 'docs' -> " + real +
                     " added (nshares=1)\n[cfg] add_share('(null)', '(null)')\n[cfg] add_user('alice') nusers=1\n");
}

TEST_F(Tables, AddUserRefusals) {
  const std::string n128(128, 'u'), n129(129, 'u'), p256(256, 'p'), p257(257, 'p');
  const Refusal cases[] = {
      {nullptr, "pw", -1, "add_user: NULL argument"},
      {"", "pw", -1, "add_user: user must be 1..128 printable bytes"},
      {n129.c_str(), "pw", -1, "add_user: user must be 1..128 printable bytes"},
      {"a\tb", "pw", -1, "add_user: user must be 1..128 printable bytes"},
      {"a\x7F", "pw", -1, "add_user: user must be 1..128 printable bytes"},
      {"DOMAIN\\alice", "pw", -1, "add_user: the user name carries no domain (the domain is ignored)"},
      {"alice/x", "pw", -1, "add_user: the user name carries no domain (the domain is ignored)"},
      {"alice", p257, -1, "add_user: password must be 0..256 printable bytes"},
      {"alice", "p\nw", -1, "add_user: password must be 0..256 printable bytes"},
      {"x\ty", p257, -1, "add_user: user must be 1..128 printable bytes"},  // the name is checked first
  };
  for (const Refusal& c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_EQ(tw3_add_user(c.name, c.path.c_str()), c.code);
    EXPECT_EQ(std::string(tw3_error()), c.message);
  }
  EXPECT_EQ(tw3_add_user("alice", nullptr), -1);
  EXPECT_STREQ(tw3_error(), "add_user: NULL argument");
  char name[200], pw[300];
  EXPECT_EQ(tw3_user_at(0, name, sizeof name, pw, sizeof pw), 1);
  EXPECT_EQ(tw3_add_user(n128.c_str(), p256.c_str()), 0);
  EXPECT_EQ(tw3_add_user("empty", ""), 0);
  EXPECT_EQ(tw3_add_user("caf\xC3\xA9", "p\xC3\xA9"), 0);  // bytes above 0x7F are allowed
  ASSERT_EQ(tw3_user_at(0, name, sizeof name, pw, sizeof pw), 0);
  EXPECT_EQ(std::string(name), n128);
  EXPECT_EQ(std::string(pw), p256);
}

TEST_F(Tables, UsersReplaceRemoveAndIndex) {
  ASSERT_EQ(tw3_add_user("alice", "one"), 0);
  ASSERT_EQ(tw3_add_user("Alice", "two"), 0);  // names are case-sensitive
  ASSERT_EQ(tw3_add_user("bob", "three"), 0);
  ASSERT_EQ(tw3_add_user("alice", "four"), 0);  // replaces, keeps the slot
  char name[129], pw[257];
  const std::pair<const char*, const char*> want[] = {{"alice", "four"}, {"Alice", "two"}, {"bob", "three"}};
  for (int i = 0; i < 3; i++) {
    ASSERT_EQ(tw3_user_at(i, name, sizeof name, pw, sizeof pw), 0);
    EXPECT_STREQ(name, want[i].first);
    EXPECT_STREQ(pw, want[i].second);
  }
  EXPECT_EQ(tw3_user_at(-1, name, sizeof name, pw, sizeof pw), 1);
  EXPECT_EQ(tw3_user_at(3, name, sizeof name, pw, sizeof pw), 1);
  EXPECT_EQ(tw3_user_at(0, nullptr, 10, pw, sizeof pw), 1);
  EXPECT_EQ(tw3_user_at(0, name, 0, pw, sizeof pw), 1);

  char small_name[3], small_pw[2];  // copies are cut to the buffers
  ASSERT_EQ(tw3_user_at(2, small_name, sizeof small_name, small_pw, sizeof small_pw), 0);
  EXPECT_STREQ(small_name, "bo");
  EXPECT_STREQ(small_pw, "t");

  ASSERT_EQ(tw3_remove_user("Alice"), 0);
  ASSERT_EQ(tw3_user_at(1, name, sizeof name, pw, sizeof pw), 0);
  EXPECT_STREQ(name, "bob");
  EXPECT_EQ(tw3_user_at(2, name, sizeof name, pw, sizeof pw), 1);
  EXPECT_EQ(tw3_remove_user("ALICE"), -2);
  EXPECT_STREQ(tw3_error(), "remove_user: no such user");
  EXPECT_EQ(tw3_remove_user(nullptr), -1);
  EXPECT_STREQ(tw3_error(), "remove_user: NULL user");
}

TEST_F(Tables, UserTableFillsUp) {
  for (int i = 0; i < TW3_MAX_USERS; i++) ASSERT_EQ(tw3_add_user(("u" + std::to_string(i)).c_str(), "pw"), 0);
  EXPECT_EQ(tw3_add_user("extra", "pw"), -6);
  EXPECT_STREQ(tw3_error(), "add_user: 256 users");
  EXPECT_EQ(tw3_add_user("u5", "new"), 0);  // replacing still works when full
}

TEST_F(Tables, GuestDecision) {
  EXPECT_EQ(tw3_guest_allowed(), 1);  // automatic, no accounts
  ASSERT_EQ(tw3_add_user("alice", "pw"), 0);
  EXPECT_EQ(tw3_guest_allowed(), 0);
  ASSERT_EQ(tw3_set_option("guest", "on"), 0);
  EXPECT_EQ(tw3_guest_allowed(), 1);
  ASSERT_EQ(tw3_set_option("guest", "auto"), 0);
  ASSERT_EQ(tw3_remove_user("alice"), 0);
  EXPECT_EQ(tw3_guest_allowed(), 1);
  ASSERT_EQ(tw3_set_option("guest", "off"), 0);
  EXPECT_EQ(tw3_guest_allowed(), 0);
}

TEST_F(Tables, AllowList) {
  struct Probe {
    const char* ip;
    int want;
  };
  const Probe before[] = {{"127.0.0.1", 1}, {"127.9.9.9", 1}, {"::1", 1}, {"::ffff:127.0.0.1", 1},
                          {"192.168.1.5", 0}, {"::ffff:192.168.1.5", 0}, {"2001:db8::1", 0}};
  for (const Probe& p : before) {
    tw3_ip ip;
    ASSERT_EQ(tw3_ip_parse(p.ip, &ip), 0);
    EXPECT_EQ(tw3_client_allowed(&ip), p.want) << p.ip;
  }
  ASSERT_EQ(tw3_allow_cidr("192.168.0.0/16"), 0);
  ASSERT_EQ(tw3_allow_cidr("2001:db8::/32"), 0);
  ASSERT_EQ(tw3_allow_cidr("::ffff:10.0.0.0/104"), 0);
  const Probe after[] = {{"192.168.1.5", 1}, {"::ffff:192.168.1.5", 1}, {"192.169.0.1", 0},
                         {"2001:db8:5::1", 1}, {"2001:db9::1", 0}, {"10.20.30.40", 1},
                         {"::ffff:10.1.1.1", 1}, {"11.0.0.1", 0}};
  for (const Probe& p : after) {
    tw3_ip ip;
    ASSERT_EQ(tw3_ip_parse(p.ip, &ip), 0);
    EXPECT_EQ(tw3_client_allowed(&ip), p.want) << p.ip;
  }
  EXPECT_EQ(tw3_client_allowed(nullptr), 0);
}

TEST_F(Tables, AllowCidrRefusalsAndDuplicates) {
  const std::pair<const char*, std::string> bad[] = {
      {nullptr, "allow_cidr: empty CIDR"},
      {"", "allow_cidr: empty CIDR"},
      {"10.0.0.0/33", "allow_cidr: 10.0.0.0/33 is not a CIDR"},
      {"banana", "allow_cidr: banana is not a CIDR"},
  };
  for (const auto& [text, msg] : bad) {
    EXPECT_EQ(tw3_allow_cidr(text), -1);
    EXPECT_EQ(std::string(tw3_error()), msg);
  }
  const std::string junk(100, 'j');
  EXPECT_EQ(tw3_allow_cidr(junk.c_str()), -1);
  EXPECT_EQ(std::string(tw3_error()), "allow_cidr: " + junk.substr(0, 64) + " is not a CIDR");

  // 10.0.0.1/8 and 10.9.9.9/8 mask to the same range: one entry. The 65th
  // distinct range is refused.
  ASSERT_EQ(tw3_allow_cidr("10.0.0.1/8"), 0);
  ASSERT_EQ(tw3_allow_cidr("10.9.9.9/8"), 0);
  ASSERT_EQ(tw3_allow_cidr("::ffff:10.0.0.0/104"), 0);
  for (int i = 0; i < TW3_MAX_CIDRS - 1; i++)
    ASSERT_EQ(tw3_allow_cidr(("172.16." + std::to_string(i) + ".0/24").c_str()), 0) << i;
  EXPECT_EQ(tw3_allow_cidr("10.1.1.1/8"), 0);  // already listed, even when full
  EXPECT_EQ(tw3_allow_cidr("172.17.0.0/24"), -6);
  EXPECT_STREQ(tw3_error(), "allow_cidr: 64 CIDRs");
}

}  // namespace
