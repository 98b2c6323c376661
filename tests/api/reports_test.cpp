// The statistics report's exact shape, the session count, the self-test
// report and the last-error text, through the exported functions.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "config/config.h"
#include "twsmb3s.h"
#include "util/util.h"

namespace {

// The report names in report order, written out independently of the code.
constexpr const char* kNames[] = {
    "connections", "refused_allow", "refused_full",     "negotiate",     "sessions",
    "guest_sessions", "logon_failed", "trees",          "tree_refused",  "opens",
    "open_refused",  "reads",         "bytes_sent",     "listings_sent", "mutating_refused",
    "ioctl_refused", "bad_signature", "protocol_errors", "timeouts",      "sign_required_sessions",
    "srvsvc_queries", "path_refused", "encrypted_sessions", "decrypt_failed",
    "live_sessions", "channels"};
static_assert(std::size(kNames) == ST_COUNT);

void set_counter(int i, int64_t v) { tw3_stat_add(i, v - tw3_stat_get(i)); }

void zero_counters() {
  for (int i = 0; i < ST_COUNT; i++) set_counter(i, 0);
}

std::string counters_json(const int64_t (&values)[ST_COUNT]) {
  std::string s;
  for (int i = 0; i < ST_COUNT; i++) s += ",\"" + std::string(kNames[i]) + "\":" + std::to_string(values[i]);
  return s;
}

class Reports : public ::testing::Test {
 protected:
  void SetUp() override {
    twsmb3s_stop();
    tw3_config_reset_for_tests();
    zero_counters();
  }
  void TearDown() override {
    twsmb3s_stop();
    g_buf_fail_alloc = 0;
    zero_counters();
  }
};

TEST_F(Reports, StoppedServerWithZeroCounters) {
  const std::string expected =
      "{\"running\":false,\"port\":0,\"clients\":0,\"connections\":0,\"refused_allow\":0,\"refused_full\":0,"
      "\"negotiate\":0,\"sessions\":0,\"guest_sessions\":0,\"logon_failed\":0,\"trees\":0,\"tree_refused\":0,"
      "\"opens\":0,\"open_refused\":0,\"reads\":0,\"bytes_sent\":0,\"listings_sent\":0,\"mutating_refused\":0,"
      "\"ioctl_refused\":0,\"bad_signature\":0,\"protocol_errors\":0,\"timeouts\":0,"
      "\"sign_required_sessions\":0,\"srvsvc_queries\":0,\"path_refused\":0,"
      "\"encrypted_sessions\":0,\"decrypt_failed\":0,\"live_sessions\":0,\"channels\":0}";
  EXPECT_EQ(std::string(twsmb3s_stats_json()), expected);
  // Nothing happened in between: the second report is the same text.
  EXPECT_EQ(std::string(twsmb3s_stats_json()), expected);
}

TEST_F(Reports, EveryCounterInItsPlaceWithSignedValues) {
  int64_t values[ST_COUNT];
  for (int i = 0; i < ST_COUNT; i++) values[i] = (i + 1) * 1000 + i;
  values[ST_BYTES_SENT] = INT64_MAX;
  values[ST_TIMEOUTS] = -5;
  for (int i = 0; i < ST_COUNT; i++) set_counter(i, values[i]);
  ASSERT_EQ(twsmb3s_start("127.0.0.1", 0, nullptr), 0) << twsmb3s_last_error();
  std::string port = std::to_string(twsmb3s_port());
  std::string got = twsmb3s_stats_json();
  EXPECT_EQ(got, "{\"running\":true,\"port\":" + port + ",\"clients\":0" + counters_json(values) + "}");
  EXPECT_EQ(got.find_first_of(" \n"), std::string::npos);
}

TEST_F(Reports, SessionCountIsSessionsMinusFailuresNeverNegative) {
  struct row {
    int64_t sessions, failed;
    int expected;
  } rows[] = {{6, 1, 5}, {1, 3, 0}, {0, 0, 0}, {4, 4, 0}, {INT64_MAX, 0, INT32_MAX}};
  for (const row& r : rows) {
    set_counter(ST_SESSIONS, r.sessions);
    set_counter(ST_LOGON_FAILED, r.failed);
    EXPECT_EQ(twsmb3s_session_count(), r.expected) << r.sessions << " - " << r.failed;
  }
}

TEST_F(Reports, SelftestVersionAndLastError) {
  EXPECT_STREQ(twsmb3s_selftest(), "selftest ok\n");
  EXPECT_STREQ(twsmb3s_version(), "1.0.1");
  ASSERT_NE(twsmb3s_add_user("", "pw"), 0);
  std::string message = twsmb3s_last_error();
  EXPECT_FALSE(message.empty());
  ASSERT_EQ(twsmb3s_add_user("alice", "pw"), 0);
  ASSERT_EQ(twsmb3s_set_option("guest", "on"), 0);
  EXPECT_EQ(std::string(twsmb3s_last_error()), message);  // successes do not clear it
}

TEST_F(Reports, FixedTextsWhenMemoryRunsOut) {
  g_buf_fail_alloc = 1;
  EXPECT_STREQ(twsmb3s_stats_json(), "{}");
  EXPECT_STREQ(twsmb3s_selftest(), "selftest FAILED (oom)\n");
  g_buf_fail_alloc = 0;
  EXPECT_EQ(std::string(twsmb3s_stats_json()).rfind("{\"running\":false,", 0), 0u);
}

}  // namespace
