// The metrics endpoint on loopback: the two documents, the refusals of other
// paths, methods and over-long requests, and the bound on clients held at
// once. (The exposition text itself is checked against a parser by the
// operating test of the real program.)
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "config/config.h"
#include "net/metrics.h"
#include "net/net_client.h"

namespace {

using net_test::client;

std::vector<uint8_t> text(const std::string& s) { return {s.begin(), s.end()}; }

// Sends `request` and reads until the endpoint closes (bounded by the read
// limit of recv_exact).
std::string exchange(int port, const std::string& request) {
  client c("127.0.0.1", port);
  EXPECT_TRUE(c.ok());
  if (!c.ok()) return "";
  c.send(text(request));
  std::vector<uint8_t> got = c.recv_exact(1 << 20);
  return {got.begin(), got.end()};
}

class Metrics : public ::testing::Test {
 protected:
  void SetUp() override {
    tw3_config_reset_for_tests();
    ASSERT_EQ(tw3_metrics_start("127.0.0.1", 0), 0) << tw3_error();
    port_ = tw3_metrics_port();
    ASSERT_GT(port_, 0);
  }
  void TearDown() override {
    tw3_metrics_stop();
    EXPECT_EQ(tw3_metrics_port(), 0);
  }
  int port_ = 0;
};

TEST_F(Metrics, AnswersTheTwoDocumentsAndRefusesTheRest) {
  tw3_stat_add(ST_READS, 3);
  std::string m = exchange(port_, "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(m.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << m;
  EXPECT_NE(m.find("Content-Type: text/plain; version=0.0.4"), std::string::npos);
  EXPECT_NE(m.find("\n# TYPE twsmb3s_reads_total counter\ntwsmb3s_reads_total 3\n"), std::string::npos);
  EXPECT_NE(m.find("\ntwsmb3s_up 0\n"), std::string::npos);  // no SMB server runs here
  std::string s = exchange(port_, "GET /stats?x=1 HTTP/1.0\n\n");
  EXPECT_EQ(s.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << s;
  EXPECT_NE(s.find("\r\n\r\n{\"running\":false,"), std::string::npos);
  EXPECT_NE(s.find(",\"reads\":3,"), std::string::npos);
  struct refusal {
    std::string request, status;
  } cases[] = {
      {"GET / HTTP/1.1\r\n\r\n", "404 Not Found"},
      {"GET /metricsx HTTP/1.1\r\n\r\n", "404 Not Found"},
      {"POST /metrics HTTP/1.1\r\n\r\n", "405 Method Not Allowed"},
      {"\r\n\r\n", "405 Method Not Allowed"},
      {"GET /metrics HTTP/1.1\r\nX: " + std::string(TW3_METRICS_MAX_REQUEST, 'a'), "431 Request Header"},
  };
  for (const refusal& r : cases) {
    std::string got = exchange(port_, r.request);
    EXPECT_EQ(got.rfind("HTTP/1.1 " + r.status, 0), 0u) << r.request.substr(0, 40) << " -> " << got;
  }
}

TEST_F(Metrics, HoldsOnlyAFewClientsAndDropsTheSlowOnes) {
  std::vector<std::unique_ptr<client>> idle;
  for (int i = 0; i < TW3_METRICS_MAX_CONNS; i++) {
    idle.push_back(std::make_unique<client>("127.0.0.1", port_));
    ASSERT_TRUE(idle.back()->ok());
    idle.back()->send(text("GET /met"));  // and never more
  }
  tw3_sleep_ms(200);  // let the endpoint take them all
  client extra("127.0.0.1", port_);
  ASSERT_TRUE(extra.ok());
  EXPECT_TRUE(extra.sees_close());  // every slot busy: closed at once
  for (auto& c : idle) EXPECT_TRUE(c->sees_close());  // after the per-request deadline
  std::string m = exchange(port_, "GET /stats HTTP/1.1\r\n\r\n");
  EXPECT_EQ(m.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << m;
}

TEST(MetricsStart, RefusesBadArgumentsAndASecondStart) {
  EXPECT_EQ(tw3_metrics_start("localhost", 0), TW3_EINVAL);
  EXPECT_STREQ(tw3_error(), "metrics: localhost is not an IP address");
  EXPECT_EQ(tw3_metrics_start("127.0.0.1", 65536), TW3_EINVAL);
  ASSERT_EQ(tw3_metrics_start("127.0.0.1", 0), 0) << tw3_error();
  EXPECT_EQ(tw3_metrics_start("127.0.0.1", 0), TW3_ERUNNING);
  tw3_metrics_stop();
}

}  // namespace
