#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "config/config.h"

namespace {

class Options : public ::testing::Test {
 protected:
  void SetUp() override { tw3_config_reset_for_tests(); }
  void TearDown() override { tw3_config_reset_for_tests(); }
};

tw3_opts snapshot() {
  tw3_opts o;
  tw3_opts_get(&o);
  return o;
}

bool same(const tw3_opts& a, const tw3_opts& b) {
  return a.guest == b.guest && a.signing == b.signing && a.ntlm_timecheck == b.ntlm_timecheck &&
         a.max_clients == b.max_clients && a.idle_timeout_ms == b.idle_timeout_ms &&
         a.io_timeout_ms == b.io_timeout_ms && a.max_login_failures == b.max_login_failures &&
         a.max_credits == b.max_credits && a.max_handles == b.max_handles && a.max_message == b.max_message &&
         a.clock == b.clock && std::strcmp(a.server_name, b.server_name) == 0 &&
         a.encrypt == b.encrypt && a.case_sensitive == b.case_sensitive;
}

TEST_F(Options, Defaults) {
  const tw3_opts o = snapshot();
  EXPECT_EQ(o.guest, -1);
  EXPECT_EQ(o.signing, 0);
  EXPECT_EQ(o.ntlm_timecheck, 1);
  EXPECT_EQ(o.max_clients, 16);
  EXPECT_EQ(o.idle_timeout_ms, 300000);
  EXPECT_EQ(o.io_timeout_ms, 30000);
  EXPECT_EQ(o.max_login_failures, 3);
  EXPECT_EQ(o.max_credits, 256);
  EXPECT_EQ(o.max_handles, 1024);
  EXPECT_EQ(o.max_message, 4194304u);
  EXPECT_EQ(o.clock, 0);
  EXPECT_STREQ(o.server_name, "TARNWICKFIELD");
  EXPECT_EQ(o.encrypt, TW3_ENCRYPT_AUTO);
  EXPECT_EQ(o.case_sensitive, 0);
}

// Accepted values: key, value, and the field read back as a 64-bit number.
struct Accepted {
  const char* key;
  const char* value;
  int64_t (*field)(const tw3_opts&);
  int64_t want;
};

int64_t f_guest(const tw3_opts& o) { return o.guest; }
int64_t f_signing(const tw3_opts& o) { return o.signing; }
int64_t f_timecheck(const tw3_opts& o) { return o.ntlm_timecheck; }
int64_t f_clients(const tw3_opts& o) { return o.max_clients; }
int64_t f_idle(const tw3_opts& o) { return o.idle_timeout_ms; }
int64_t f_io(const tw3_opts& o) { return o.io_timeout_ms; }
int64_t f_login(const tw3_opts& o) { return o.max_login_failures; }
int64_t f_credits(const tw3_opts& o) { return o.max_credits; }
int64_t f_handles(const tw3_opts& o) { return o.max_handles; }
int64_t f_message(const tw3_opts& o) { return static_cast<int64_t>(o.max_message); }
int64_t f_clock(const tw3_opts& o) { return o.clock; }
int64_t f_encrypt(const tw3_opts& o) { return o.encrypt; }
int64_t f_case(const tw3_opts& o) { return o.case_sensitive; }

TEST_F(Options, AcceptedValuesAreStored) {
  const Accepted cases[] = {
      {"guest", "on", f_guest, 1},           {"guest", "1", f_guest, 1},
      {"guest", "off", f_guest, 0},          {"guest", "0", f_guest, 0},
      {"guest", "auto", f_guest, -1},        {"signing", "required", f_signing, 1},
      {"signing", "1", f_signing, 1},        {"signing", "enabled", f_signing, 0},
      {"ntlm_timecheck", "off", f_timecheck, 0}, {"ntlm_timecheck", "0", f_timecheck, 0},
      {"ntlm_timecheck", "on", f_timecheck, 1},  {"ntlm_timecheck", "1", f_timecheck, 1},
      {"max_clients", "0016", f_clients, 16}, {"max_clients", "1024", f_clients, 1024},
      {"max_clients", "1", f_clients, 1},
      {"idle_timeout_ms", "86400000", f_idle, 86400000}, {"idle_timeout_ms", "100", f_idle, 100},
      {"io_timeout_ms", "3600000", f_io, 3600000},
      {"max_login_failures", "100", f_login, 100},
      {"max_credits", "256", f_credits, 256}, {"max_handles", "1", f_handles, 1},
      {"max_message", "65536", f_message, 65536}, {"max_message", "16777216", f_message, 16777216},
      {"clock", "253402300799", f_clock, 253402300799}, {"clock", "000000000001", f_clock, 1},
      {"clock", "0", f_clock, 0},
      {"encrypt", "required", f_encrypt, TW3_ENCRYPT_REQUIRED}, {"encrypt", "off", f_encrypt, TW3_ENCRYPT_OFF},
      {"encrypt", "auto", f_encrypt, TW3_ENCRYPT_AUTO},
      {"case_sensitive", "on", f_case, 1},  {"case_sensitive", "0", f_case, 0},
      {"case_sensitive", "1", f_case, 1},   {"case_sensitive", "off", f_case, 0},
  };
  for (const Accepted& c : cases) {
    SCOPED_TRACE(std::string(c.key) + "=" + c.value);
    tw3_set_error("untouched");
    ASSERT_EQ(tw3_set_option(c.key, c.value), 0);
    EXPECT_EQ(c.field(snapshot()), c.want);
    EXPECT_STREQ(tw3_error(), "untouched");
  }
}

TEST_F(Options, RefusedValuesKeepEveryOptionAndSayWhy) {
  ASSERT_EQ(tw3_set_option("max_clients", "7"), 0);
  ASSERT_EQ(tw3_set_option("server_name", "BEFORE"), 0);
  const tw3_opts before = snapshot();
  const std::string key100(100, 'k');
  const std::pair<std::pair<const char*, const char*>, std::string> cases[] = {
      {{"guest", "ON"}, "guest: auto, on or off"},
      {{"guest", "yes"}, "guest: auto, on or off"},
      {{"guest", ""}, "guest: auto, on or off"},
      {{"signing", "0"}, "signing: enabled or required"},
      {{"signing", "off"}, "signing: enabled or required"},
      {{"encrypt", "on"}, "encrypt: auto, required or off"},
      {{"encrypt", "Required"}, "encrypt: auto, required or off"},
      {{"ntlm_timecheck", "On"}, "ntlm_timecheck: on or off"},
      {{"case_sensitive", "yes"}, "case_sensitive: on or off"},
      {{"max_clients", "+16"}, "max_clients: 1..1024"},
      {{"max_clients", " 16"}, "max_clients: 1..1024"},
      {{"max_clients", "16 "}, "max_clients: 1..1024"},
      {{"max_clients", "0x10"}, "max_clients: 1..1024"},
      {{"max_clients", ""}, "max_clients: 1..1024"},
      {{"max_clients", "0"}, "max_clients: 1..1024"},
      {{"max_clients", "1025"}, "max_clients: 1..1024"},
      {{"idle_timeout_ms", "86400001"}, "idle_timeout_ms: 100..86400000"},
      {{"idle_timeout_ms", "99"}, "idle_timeout_ms: 100..86400000"},
      {{"io_timeout_ms", "3600001"}, "io_timeout_ms: 100..3600000"},
      {{"max_login_failures", "100001"}, "max_login_failures: 0..100000"},
      {{"max_credits", "8193"}, "max_credits: 1..8192"},
      {{"max_handles", "1025"}, "max_handles: 1..1024"},
      {{"max_message", "65535"}, "max_message: 65536..16777216"},
      {{"clock", "253402300800"}, "clock: unix seconds, 0 = system"},
      {{"clock", "0253402300799"}, "clock: unix seconds, 0 = system"},
      {{"clock", "-1"}, "clock: unix seconds, 0 = system"},
      {{"clock", "99999999999999999999999"}, "clock: unix seconds, 0 = system"},
      {{"server_name", ""}, "server_name: 1..63 bytes"},
      {{"server_name", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"}, "server_name: 1..63 bytes"},
      {{"server_name", "TAB\tNAME"}, "server_name: printable ASCII only"},
      {{"server_name", "HIGH\x80"}, "server_name: printable ASCII only"},
      {{"server_name", "DEL\x7F"}, "server_name: printable ASCII only"},
      {{"Guest", "on"}, "unknown option Guest"},
      {{"max_clients ", "1"}, "unknown option max_clients "},
      {{"", "1"}, "unknown option "},
      {{key100.c_str(), "1"}, "unknown option " + key100.substr(0, 64)},
      {{nullptr, "1"}, "set_option: NULL key or value"},
      {{"guest", nullptr}, "set_option: NULL key or value"},
      {{"banner", nullptr}, "set_option: NULL key or value"},
  };
  for (const auto& [kv, msg] : cases) {
    SCOPED_TRACE(msg);
    EXPECT_EQ(tw3_set_option(kv.first, kv.second), -1);
    EXPECT_EQ(std::string(tw3_error()), msg);
    EXPECT_TRUE(same(snapshot(), before));
  }
}

TEST_F(Options, ServerNameBoundsAndBanner) {
  const std::string name63(63, 'N');
  ASSERT_EQ(tw3_set_option("server_name", name63.c_str()), 0);
  EXPECT_EQ(std::string(snapshot().server_name), name63);
  ASSERT_EQ(tw3_set_option("server_name", "with blanks ~"), 0);
  EXPECT_STREQ(snapshot().server_name, "with blanks ~");

  const tw3_opts before = snapshot();
  for (const char* v : {"", "anything at all", "\x01\x80"}) {
    EXPECT_EQ(tw3_set_option("banner", v), 0);
    EXPECT_TRUE(same(snapshot(), before));
  }
}

// The addresses advertised in place of the host's: a list of distinct,
// specified addresses, IPv4 and IPv6, at most 16; `auto` clears it. A
// refused list leaves the one before.
TEST_F(Options, InterfacesList) {
  std::string sixteen = "192.0.2.1";
  for (int i = 2; i <= 16; ++i) sixteen += ",192.0.2." + std::to_string(i);
  const std::string seventeen = sixteen + ",192.0.2.17";
  const struct {
    const char* value;
    int32_t count;  // -1: refused
  } cases[] = {
      {"192.0.2.7", 1},
      {"192.0.2.7,2001:db8::7,[2001:db8::8],::ffff:10.0.0.1", 4},
      {sixteen.c_str(), 16},
      {"auto", 0},
      {seventeen.c_str(), -1},
      {"", -1},
      {",", -1},
      {"192.0.2.7,", -1},
      {",192.0.2.7", -1},
      {"192.0.2.7, 192.0.2.8", -1},
      {"192.0.2.7,192.0.2.7", -1},
      {"192.0.2.7,::ffff:192.0.2.7", -1},
      {"0.0.0.0", -1},
      {"::", -1},
      {"192.0.2.256", -1},
      {"host.example", -1},
      {"Auto", -1},
  };
  ASSERT_EQ(tw3_set_option("interfaces", "198.51.100.1"), 0);
  for (const auto& k : cases) {
    SCOPED_TRACE(k.value);
    const tw3_opts before = snapshot();
    if (k.count < 0) {
      EXPECT_EQ(tw3_set_option("interfaces", k.value), -1);
      EXPECT_STREQ(tw3_error(), "interfaces: auto or a comma-separated list of 1..16 IP addresses");
      EXPECT_EQ(snapshot().ninterfaces, before.ninterfaces);
      EXPECT_EQ(std::memcmp(snapshot().interfaces, before.interfaces, sizeof before.interfaces), 0);
    } else {
      EXPECT_EQ(tw3_set_option("interfaces", k.value), 0);
      EXPECT_EQ(snapshot().ninterfaces, k.count);
    }
  }
  ASSERT_EQ(tw3_set_option("interfaces", "2001:db8::7,10.0.0.1"), 0);
  const tw3_opts o = snapshot();
  tw3_ip v6{}, v4{};
  ASSERT_EQ(tw3_ip_parse("2001:db8::7", &v6), 0);
  ASSERT_EQ(tw3_ip_parse("10.0.0.1", &v4), 0);
  EXPECT_TRUE(tw3_ip_equal(&o.interfaces[0], &v6));
  EXPECT_TRUE(tw3_ip_equal(&o.interfaces[1], &v4));
}

TEST(ParseInt, Syntax) {
  struct Case {
    const char* text;
    int64_t min, max;
    int rc;
    int64_t want;
  } cases[] = {
      {"0", 0, 10, 0, 0},
      {"999999999999", 0, 999999999999, 0, 999999999999},
      {"000000000010", 0, 10, 0, 10},
      {"0000000000010", 0, 10, -1, 0},  // thirteen digits
      {"11", 0, 10, -1, 0},
      {"5", 6, 10, -1, 0},
      {"", 0, 10, -1, 0},
      {"1a", 0, 10, -1, 0},
      {"-1", -5, 10, -1, 0},
  };
  for (const Case& c : cases) {
    int64_t out = -42;
    EXPECT_EQ(parse_int(c.text, c.min, c.max, &out), c.rc) << c.text;
    EXPECT_EQ(out, c.rc == 0 ? c.want : -42) << c.text;
  }
}

TEST(Stats, NamesAndConcurrentUpdates) {
  EXPECT_STREQ(tw3_stat_names[ST_CONNECTIONS], "connections");
  EXPECT_STREQ(tw3_stat_names[ST_BYTES_SENT], "bytes_sent");
  EXPECT_STREQ(tw3_stat_names[ST_SIGN_REQUIRED_SESSIONS], "sign_required_sessions");
  EXPECT_STREQ(tw3_stat_names[ST_PATH_REFUSED], "path_refused");
  const int64_t start = tw3_stat_get(ST_READS);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++)
    threads.emplace_back([] {
      for (int i = 0; i < 10000; i++) tw3_stat_add(ST_READS, 1);
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(tw3_stat_get(ST_READS), start + 40000);
  tw3_stat_add(ST_READS, -40000);
  EXPECT_EQ(tw3_stat_get(ST_READS), start);
}

TEST_F(Options, SnapshotsAreNeverTorn) {
  // Writers alternate two whole states; every snapshot must be one of them.
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 0; i < 20000 && !stop; i++) {
      tw3_set_option("server_name", i % 2 ? "ODD-NAME-LONGER" : "EVEN");
    }
  });
  bool torn = false;
  for (int i = 0; i < 20000 && !torn; i++) {
    const tw3_opts o = snapshot();
    torn = std::strcmp(o.server_name, "ODD-NAME-LONGER") != 0 && std::strcmp(o.server_name, "EVEN") != 0 &&
           std::strcmp(o.server_name, "TARNWICKFIELD") != 0;
  }
  stop = true;
  writer.join();
  EXPECT_FALSE(torn);
}

}  // namespace
