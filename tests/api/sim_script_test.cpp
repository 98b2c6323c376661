// The frame-script simulator: script syntax, failures, the refusal of a
// client address, transcript lines and the 2 MiB cap.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "api/api.h"
#include "common/smb_frames.h"
#include "config/config.h"
#include "util/util.h"

using tw3test::bytes;

namespace {

std::string hex(const bytes& b) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (uint8_t x : b) {
    s += d[x >> 4];
    s += d[x & 15];
  }
  return s;
}

std::string echo_line(uint64_t mid) {
  tw3test::req q;
  q.message_id = mid;
  return hex(tw3test::nb_frame(tw3test::smb2_request(q)));
}

// The engine's answer to echo_line(mid), without its NetBIOS header.
std::string echo_answer(uint64_t mid) {
  bytes h = {0xFE, 'S', 'M', 'B', 64, 0, 0, 0, 0, 0, 0, 0, 13, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0};
  for (int i = 0; i < 8; ++i) h.push_back(static_cast<uint8_t>(mid >> (8 * i)));
  h.resize(64, 0);
  h.insert(h.end(), {4, 0, 0, 0});
  return hex(h);
}

std::string result(int frames) { return "RESULT ok (" + std::to_string(frames) + " frames)\n"; }

class Sim : public ::testing::Test {
 protected:
  void SetUp() override { tw3_config_reset_for_tests(); }
  void TearDown() override { tw3_config_reset_for_tests(); }
};

TEST_F(Sim, ScriptsWithoutMessagesGiveOnlyTheResultLine) {
  const char* scripts[] = {
      "",
      "\n",
      "# a comment\n\n    \n#another",
      "00000000",
      "00000000\r\n",
      "0000 0000  \r \r\n",
      "!",
      "!000000",
      "!zz not hex",
      "!0",
      "# before\n00 00 00 00\n# after\n",
  };
  for (const char* s : scripts) {
    const char* out = tw3_simulate(s, nullptr);
    ASSERT_NE(out, nullptr) << s << ": " << tw3_error();
    EXPECT_EQ(std::string(out), result(0)) << s;
  }
}

TEST_F(Sim, BadScriptsFailAndLeaveThePreviousTranscript) {
  const std::string long_line(65536, '0');
  const std::string big_raw = "!" + std::string(2 * 16385, 'a');
  struct row {
    std::string script;
    const char* error;
  } rows[] = {
      {"000000", "simulate: bad frame hex on a script line"},
      {"00000000\n000000\n", "simulate: bad frame hex on a script line"},
      {" #indented", "simulate: bad frame hex on a script line"},
      {"0000000g", "simulate: bad frame hex on a script line"},
      {"000000000", "simulate: bad frame hex on a script line"},
      {long_line, "simulate: script line too long"},
      {big_raw, "simulate: bad !raw hex"},
  };
  const char* before = tw3_simulate("", nullptr);
  ASSERT_NE(before, nullptr);
  for (const row& r : rows) {
    EXPECT_EQ(tw3_simulate(r.script.c_str(), nullptr), nullptr) << r.script.substr(0, 20);
    EXPECT_STREQ(tw3_error(), r.error) << r.script.substr(0, 20);
    EXPECT_EQ(g_out, before);
  }
  EXPECT_EQ(tw3_simulate(nullptr, nullptr), nullptr);
  EXPECT_STREQ(tw3_error(), "simulate: NULL script");

  // Exactly at the limits is still fine.
  const std::string max_line = std::string(65535 - 8, ' ') + "00000000";
  EXPECT_NE(tw3_simulate(max_line.c_str(), nullptr), nullptr) << tw3_error();
  const std::string max_raw = "!" + std::string(2 * 16384, '0');
  EXPECT_NE(tw3_simulate(max_raw.c_str(), nullptr), nullptr) << tw3_error();
}

TEST_F(Sim, LeadingWhiteSpaceIsPartOfTheHexText) {
  // Leading blanks and tabs stay; the hex syntax allows white space anywhere.
  EXPECT_NE(tw3_simulate("   00000000", nullptr), nullptr);
  EXPECT_NE(tw3_simulate("\t00000000", nullptr), nullptr);
}

TEST_F(Sim, ClientAddresses) {
  EXPECT_EQ(tw3_simulate("", "not-an-ip"), nullptr);
  EXPECT_STREQ(tw3_error(), "simulate: not-an-ip is not an IP address");
  const std::string long_bad(100, 'x');
  EXPECT_EQ(tw3_simulate("", long_bad.c_str()), nullptr);
  EXPECT_EQ(std::string(tw3_error()), "simulate: " + std::string(64, 'x') + " is not an IP address");

  const int64_t refused = tw3_stat_get(ST_REFUSED_ALLOW);
  const char* out = tw3_simulate(echo_line(0).c_str(), "10.1.2.3");
  ASSERT_NE(out, nullptr);
  EXPECT_STREQ(out, "refused: client address not allowed\n");
  EXPECT_EQ(tw3_stat_get(ST_REFUSED_ALLOW) - refused, 1);

  for (const char* ip : {"127.0.0.1", "::1", "", "::ffff:127.0.0.1"}) {
    out = tw3_simulate(echo_line(0).c_str(), ip);
    ASSERT_NE(out, nullptr) << ip;
    EXPECT_EQ(std::string(out), ">> ECHO\n<< " + echo_answer(0) + "\n" + result(1)) << ip;
  }
  ASSERT_EQ(tw3_allow_cidr("10.0.0.0/8"), 0);
  out = tw3_simulate("", "10.1.2.3");
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(std::string(out), result(0));
}

TEST_F(Sim, LineBoundariesCarryNoMeaning) {
  const std::string one = echo_line(0);
  // One message over three lines, then two messages on one line.
  const std::string script = one.substr(0, 10) + "\n" + one.substr(10, 50) + "\r\n" + one.substr(60) +
                             "\n" + echo_line(1) + echo_line(2) + "\n";
  const char* out = tw3_simulate(script.c_str(), nullptr);
  ASSERT_NE(out, nullptr) << tw3_error();
  std::string want;
  for (uint64_t mid = 0; mid < 3; ++mid) want += ">> ECHO\n<< " + echo_answer(mid) + "\n";
  EXPECT_EQ(std::string(out), want + result(3));
}

TEST_F(Sim, SessionRequestsLeaveNoLineAndProtocolErrorsStopTheRun) {
  const std::string script = "81000004 01020304\n" + echo_line(0) + "\n85000000\n" + echo_line(1);
  const char* out = tw3_simulate(script.c_str(), nullptr);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(std::string(out), ">> ECHO\n<< " + echo_answer(0) + "\n" + result(1));
}

TEST_F(Sim, NegotiateIsNamedAndAnswered) {
  tw3test::req q;
  q.command = SMB2_NEGOTIATE;
  q.body = {36, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0};  // one dialect, signing enabled
  q.body.resize(q.body.size() + 16 + 8, 0x11);      // ClientGuid, no contexts
  std::fill(q.body.end() - 8, q.body.end(), 0);
  q.body.insert(q.body.end(), {0x00, 0x03});        // dialect 3.0
  const char* out = tw3_simulate(hex(tw3test::nb_frame(tw3test::smb2_request(q))).c_str(), nullptr);
  ASSERT_NE(out, nullptr);
  const std::string t(out);
  EXPECT_EQ(t.rfind(">> NEGOTIATE\n<< fe534d42", 0), 0u) << t;
  EXPECT_EQ(t.substr(t.size() - result(1).size()), result(1));
}

TEST_F(Sim, TranscriptIsCappedAtTwoMiB) {
  constexpr int kMessages = 15000;  // about 148 transcript bytes each: just over 2 MiB
  std::string script;
  script.reserve((echo_line(0).size() + 1) * kMessages);
  for (int i = 0; i < kMessages; ++i) script += echo_line(uint64_t(i)) + "\n";
  const char* out = tw3_simulate(script.c_str(), nullptr);
  ASSERT_NE(out, nullptr);
  const std::string t(out);
  const std::string tail = "[truncated]\n" + result(kMessages);
  ASSERT_GT(t.size(), tail.size());
  EXPECT_EQ(t.substr(t.size() - tail.size()), tail);
  EXPECT_LE(t.size() - tail.size(), 2097152u);
  EXPECT_EQ(t.find("[truncated]"), t.size() - tail.size());  // the marker appears once
}

}  // namespace
