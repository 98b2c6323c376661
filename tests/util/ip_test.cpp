#include <gtest/gtest.h>

#include <string>

#include "util/util.h"

namespace {

std::string fmt(const tw3_ip& ip) {
  char buf[64];
  tw3_ip_format(&ip, buf, sizeof buf);
  return buf;
}

// text, family (0 = refused), canonical formatted form
struct ParseCase {
  const char* text;
  int family;
  const char* formatted;
};

TEST(Ip, ParseAndFormat) {
  const ParseCase cases[] = {
      {"127.0.0.1", 4, "127.0.0.1"},
      {"0.0.0.0", 4, "0.0.0.0"},
      {"010.001.0.255", 4, "10.1.0.255"},  // leading zeros stay decimal
      {"[::1]", 6, "::1"},
      {"fe80::1%eth0", 6, "fe80::1"},
      {"[fe80::1%3]", 6, "fe80::1"},
      {"::", 6, "::"},
      {"1::", 6, "1::"},
      {"::ffff:192.168.1.2", 4, "192.168.1.2"},
      {"0:0:0:0:0:FFFF:c0a8:0102", 4, "192.168.1.2"},
      {"::1.2.3.4", 6, "::102:304"},  // IPv4-compatible is not mapped
      {"1:0:0:2:0:0:0:3", 6, "1:0:0:2::3"},
      {"1:0:0:2:0:0:3:4", 6, "1::2:0:0:3:4"},
      {"1:0:2:3:4:5:6:7", 6, "1:0:2:3:4:5:6:7"},
      {"2001:DB8::A", 6, "2001:db8::a"},
      {"1:2:3:4:5:6:1.2.3.4", 6, "1:2:3:4:5:6:102:304"},
      {"1:2:3:4:5:6:7::", 6, "1:2:3:4:5:6:7:0"},
      {"::2:3:4:5:6:7:8", 6, "0:2:3:4:5:6:7:8"},
      {"1.2.3", 0, ""},
      {"1.2.3.4.5", 0, ""},
      {"256.1.1.1", 0, ""},
      {"1234.1.1.1", 0, ""},
      {"1.2.3.4 ", 0, ""},
      {" 1.2.3.4", 0, ""},
      {"+1.2.3.4", 0, ""},
      {"1..2.3", 0, ""},
      {"", 0, ""},
      {"[]", 0, ""},
      {"%eth0", 0, ""},
      {":", 0, ""},
      {":::", 0, ""},
      {"1::2::3", 0, ""},
      {"12345::1", 0, ""},
      {":1::2", 0, ""},
      {"1::2:", 0, ""},
      {"1:2:3:4:5:6:7:8:9", 0, ""},
      {"1:2:3:4:5:6:7", 0, ""},
      {"1:2:3:4:5:6:7:8::", 0, ""},
      {"1:2:3:4::5:6:7:8", 0, ""},
      {"1:2:3:4:5:6:7:1.2.3.4", 0, ""},
      {"1:2:3:4:5:6::1.2.3.4", 0, ""},
      {"1.2.3.4::", 0, ""},
      {"::1.2.3.4:5", 0, ""},
      {"g::1", 0, ""},
      {"0x1::1", 0, ""},
      {"::ffff:1.2.3.256", 0, ""},
      {"1111:2222:3333:4444:5555:6666:123.123.123.1234", 0, ""},
  };
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(c.text);
    tw3_ip ip;
    ip.family = 99;
    const int rc = tw3_ip_parse(c.text, &ip);
    if (c.family == 0) {
      EXPECT_EQ(rc, -1);
      EXPECT_EQ(ip.family, 0);  // zeroed before parsing
      continue;
    }
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(ip.family, c.family);
    EXPECT_EQ(fmt(ip), c.formatted);
    // The formatted text parses back to the same address.
    tw3_ip again;
    ASSERT_EQ(tw3_ip_parse(fmt(ip).c_str(), &again), 0);
    EXPECT_EQ(tw3_ip_equal(&ip, &again), 1);
  }
}

TEST(Ip, LengthLimitAppliesBeforeParsing) {
  // 45 bytes is the longest accepted text, 46 is refused.
  const std::string ok = "0000:0000:0000:0000:0000:0000:000.000.000.001";
  ASSERT_EQ(ok.size(), 45u);
  tw3_ip ip;
  EXPECT_EQ(tw3_ip_parse(ok.c_str(), &ip), 0);
  EXPECT_EQ(tw3_ip_parse(("0" + ok).c_str(), &ip), -1);
  EXPECT_EQ(tw3_ip_parse(nullptr, &ip), -1);
  EXPECT_EQ(tw3_ip_parse("1.2.3.4", nullptr), -1);
}

TEST(Ip, MappedAndPlainFormsAreEqual) {
  tw3_ip a, b, c;
  ASSERT_EQ(tw3_ip_parse("::ffff:10.1.2.3", &a), 0);
  ASSERT_EQ(tw3_ip_parse("10.1.2.3", &b), 0);
  ASSERT_EQ(tw3_ip_parse("::a01:203", &c), 0);
  EXPECT_EQ(tw3_ip_equal(&a, &b), 1);
  EXPECT_EQ(tw3_ip_equal(&a, &c), 0);
  for (int i = 4; i < 16; i++) EXPECT_EQ(a.addr[i], 0);
}

TEST(Ip, FormatCutsToBufferSize) {
  tw3_ip ip;
  ASSERT_EQ(tw3_ip_parse("2001:db8::a", &ip), 0);
  char buf[6];
  tw3_ip_format(&ip, buf, sizeof buf);
  EXPECT_STREQ(buf, "2001:");
  char one[1] = {'x'};
  tw3_ip_format(&ip, one, 1);
  EXPECT_EQ(one[0], '\0');
}

TEST(Ip, Loopback) {
  const std::pair<const char*, int> cases[] = {
      {"127.200.0.9", 1}, {"127.0.0.1", 1}, {"::1", 1},  {"::ffff:127.0.0.1", 1},
      {"::2", 0},         {"0.0.0.0", 0},   {"128.0.0.1", 0}, {"::", 0},
  };
  for (auto [text, want] : cases) {
    tw3_ip ip;
    ASSERT_EQ(tw3_ip_parse(text, &ip), 0) << text;
    EXPECT_EQ(tw3_ip_is_loopback(&ip), want) << text;
  }
}

TEST(Cidr, ParseNormalisesOrRefuses) {
  // text, ok, stored address, prefix
  struct Case {
    const char* text;
    bool ok;
    const char* addr;
    int prefix;
  } cases[] = {
      {"10.1.2.3/8", true, "10.0.0.0", 8},
      {"10.1.2.3", true, "10.1.2.3", 32},
      {"10.255.255.255/12", true, "10.240.0.0", 12},
      {"0.0.0.0/0", true, "0.0.0.0", 0},
      {"1.2.3.4/32", true, "1.2.3.4", 32},
      {"2001:db8:ffff::1/32", true, "2001:db8::", 32},
      {"::1", true, "::1", 128},
      {"[::1]/128", true, "::1", 128},
      {"::ffff:10.0.0.0/104", true, "10.0.0.0", 8},
      {"::ffff:10.9.9.9", true, "10.9.9.9", 32},
      {"::ffff:10.0.0.0/128", true, "10.0.0.0", 32},
      {"::ffff:10.0.0.0/64", false, "", 0},
      {"::ffff:10.0.0.0/129", false, "", 0},
      {"10.0.0.0/33", false, "", 0},
      {"::/129", false, "", 0},
      {"10.0.0.0/", false, "", 0},
      {"10.0.0.0/x8", false, "", 0},
      {"10.0.0.0/0008", false, "", 0},
      {"10.0.0.0/8 ", false, "", 0},
      {"10.0.0.0/-1", false, "", 0},
      {"10.0.0.0/8/8", false, "", 0},
      {"/8", false, "", 0},
      {"", false, "", 0},
      {"host/8", false, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    tw3_cidr r;
    r.prefix = 77;
    const int rc = tw3_cidr_parse(c.text, &r);
    if (!c.ok) {
      EXPECT_EQ(rc, -1);
      EXPECT_EQ(r.prefix, 0);
      continue;
    }
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(fmt(r.ip), c.addr);
    EXPECT_EQ(r.prefix, c.prefix);
  }
  // An address part of 64 bytes is refused before parsing.
  EXPECT_EQ(tw3_cidr_parse((std::string(64, '1') + "/8").c_str(), nullptr), -1);
  tw3_cidr r;
  EXPECT_EQ(tw3_cidr_parse((std::string(64, '1') + "/8").c_str(), &r), -1);
}

TEST(Cidr, Match) {
  struct Case {
    const char* range;
    const char* ip;
    int want;
  } cases[] = {
      {"10.0.0.0/8", "10.255.0.1", 1},
      {"10.0.0.0/8", "11.0.0.1", 0},
      {"10.0.0.0/8", "::ffff:10.1.1.1", 1},
      {"::ffff:10.0.0.0/104", "10.200.1.1", 1},
      {"0.0.0.0/0", "203.0.113.9", 1},
      {"0.0.0.0/0", "::1", 0},
      {"::/0", "10.0.0.1", 0},
      {"::/0", "2001:db8::1", 1},
      {"2001:db8::/32", "2001:db8:1::5", 1},
      {"2001:db8::/32", "2001:db9::5", 0},
      {"192.168.0.0/23", "192.168.1.200", 1},
      {"192.168.0.0/23", "192.168.2.1", 0},
      {"192.168.1.7", "192.168.1.7", 1},
      {"192.168.1.7", "192.168.1.8", 0},
      {"fe80::/10", "febf::1", 1},
      {"fe80::/10", "fec0::1", 0},
  };
  for (const Case& c : cases) {
    tw3_cidr r;
    tw3_ip ip;
    ASSERT_EQ(tw3_cidr_parse(c.range, &r), 0) << c.range;
    ASSERT_EQ(tw3_ip_parse(c.ip, &ip), 0) << c.ip;
    EXPECT_EQ(tw3_cidr_match(&r, &ip), c.want) << c.range << " " << c.ip;
  }
  // A hand-made range with an impossible prefix never matches nor over-reads.
  tw3_cidr bogus{};
  bogus.ip.family = 4;
  bogus.prefix = 200;
  tw3_ip any{};
  any.family = 4;
  EXPECT_EQ(tw3_cidr_match(&bogus, &any), 0);
}

}  // namespace
