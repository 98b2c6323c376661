#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "util/util.h"

namespace {

struct BufGuard {
  tw3_buf b{};
  ~BufGuard() {
    g_buf_fail_alloc = 0;
    tw3_buf_free(&b);
  }
};

std::string content(const tw3_buf& b) {
  return b.data ? std::string(reinterpret_cast<const char*>(b.data), b.len) : std::string();
}

TEST(Buf, FirstByteAllocatesSmallestCapacityAndTerminates) {
  BufGuard g;
  tw3_buf_byte(&g.b, 0x141);  // only the low 8 bits count
  ASSERT_EQ(g.b.len, 1u);
  EXPECT_EQ(g.b.cap, 256u);
  EXPECT_EQ(g.b.data[0], 0x41);
  EXPECT_EQ(g.b.data[1], 0);
  EXPECT_EQ(g.b.failed, 0);
}

TEST(Buf, CapacityDoublesToHoldContentAndTerminator) {
  struct Case {
    uint64_t first, second, want_cap;
  } cases[] = {
      {0, 0, 256},       // an empty append still allocates and terminates
      {255, 0, 256},     // 255 + terminator fit exactly
      {256, 0, 512},     // the terminator does not fit in 256
      {200, 100, 512},   // growth keeps earlier content
      {1000, 0, 1024},
      {1024, 0, 2048},
      {5000, 3000, 8192},
  };
  for (const Case& c : cases) {
    BufGuard g;
    std::string a(c.first, 'a'), b(c.second, 'b');
    tw3_buf_put(&g.b, a.data(), a.size());
    tw3_buf_put(&g.b, b.data(), b.size());
    SCOPED_TRACE(c.first);
    EXPECT_EQ(g.b.cap, c.want_cap);
    EXPECT_EQ(content(g.b), a + b);
    ASSERT_NE(g.b.data, nullptr);
    EXPECT_EQ(g.b.data[g.b.len], 0);
  }
}

TEST(Buf, FailedAllocationIsStickyUntilFree) {
  BufGuard g;
  tw3_buf_str(&g.b, "keep");
  g_buf_fail_alloc = 1;
  std::string big(300, 'x');
  tw3_buf_put(&g.b, big.data(), big.size());
  EXPECT_EQ(g.b.failed, 1);
  EXPECT_EQ(content(g.b), "keep");
  EXPECT_EQ(g.b.cap, 256u);
  g_buf_fail_alloc = 0;
  // Later appends are ignored, even ones that would fit.
  tw3_buf_byte(&g.b, 'y');
  tw3_buf_str(&g.b, "z");
  tw3_buf_printf(&g.b, "%d", 7);
  EXPECT_EQ(content(g.b), "keep");
  EXPECT_EQ(buf_reserve(&g.b, 0), -1);
  tw3_buf_free(&g.b);
  EXPECT_EQ(g.b.failed, 0);
  EXPECT_EQ(g.b.data, nullptr);
  EXPECT_EQ(g.b.len, 0u);
  EXPECT_EQ(g.b.cap, 0u);
  tw3_buf_str(&g.b, "again");
  EXPECT_EQ(content(g.b), "again");
}

TEST(Buf, ImpossibleSizesFailWithoutWrapping) {
  for (uint64_t n : {uint64_t{1} << 32, ~uint64_t{0}, ~uint64_t{0} - 1}) {
    BufGuard g;
    tw3_buf_str(&g.b, "x");
    EXPECT_EQ(buf_reserve(&g.b, n), -1) << n;
    EXPECT_EQ(g.b.failed, 1);
    EXPECT_EQ(content(g.b), "x");
  }
}

TEST(Buf, PrintfShortAndLongResults) {
  for (size_t n : {0, 1, 511, 512, 600, 5000}) {
    BufGuard g;
    tw3_buf_str(&g.b, "<");
    std::string s(n, 'q');
    tw3_buf_printf(&g.b, "%s>", s.c_str());
    EXPECT_EQ(content(g.b), "<" + s + ">") << n;
    EXPECT_EQ(g.b.data[g.b.len], 0);
  }
}

TEST(Fnv, MatchesStandardVectorsAndChains) {
  EXPECT_EQ(tw3_fnv1a64("", 0, TW3_FNV_BASIS), TW3_FNV_BASIS);
  EXPECT_EQ(tw3_fnv1a64(nullptr, 0, 1234), 1234u);
  EXPECT_EQ(tw3_fnv1a64("a", 1, TW3_FNV_BASIS), 0xaf63dc4c8601ec8cULL);
  EXPECT_EQ(tw3_fnv1a64("foobar", 6, TW3_FNV_BASIS), 0x85944171f73967e8ULL);
  EXPECT_EQ(tw3_fnv1a64("bar", 3, tw3_fnv1a64("foo", 3, TW3_FNV_BASIS)),
            tw3_fnv1a64("foobar", 6, TW3_FNV_BASIS));
}

TEST(LastError, FailReturnsCodeAndTruncatesTo511) {
  std::string long_text(600, 'm');
  EXPECT_EQ(tw3_fail(-1, "%s", long_text.c_str()), -1);
  EXPECT_EQ(std::string(tw3_error()), long_text.substr(0, 511));
  EXPECT_EQ(tw3_fail(-6, "add_user: %d users", 256), -6);
  EXPECT_STREQ(tw3_error(), "add_user: 256 users");
  tw3_set_error("start: port out of range");
  EXPECT_STREQ(tw3_error(), "start: port out of range");
}

TEST(LastError, OtherThreadsDoNotReplaceThisThreadsMessage) {
  tw3_set_error("mine");
  std::string theirs;
  std::thread t([&] {
    EXPECT_STREQ(tw3_error(), "");
    tw3_fail(-7, "control byte in a name component");
    theirs = tw3_error();
  });
  t.join();
  EXPECT_EQ(theirs, "control byte in a name component");
  EXPECT_STREQ(tw3_error(), "mine");
}

}  // namespace
