// Shared listings against a real folder: one copy while the folder is
// unchanged, a new one once it changed, the budgets, byte-wise order, the
// status taken when read and refreshed once it has aged, and many threads
// on one listing at once.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "config/config.h"
#include "fs/fs.h"
#include "fs/listing.h"
#include "platform/platform.h"
#include "platform/tempdir.h"
#include "util/util.h"

namespace {

class Listings : public ::testing::Test {
 protected:
  void SetUp() override {
    tw3_config_reset_for_tests();
    ASSERT_TRUE(t.ok());
    ASSERT_TRUE(t.dir("share"));
    ASSERT_TRUE(t.dir("share/other"));
    for (const char* f : {"b", "B", "a", "abcdefgh10", "abcdefgh2", "abcdefgh", "ab", "\xc3\xa4", "other/x"}) {
      ASSERT_TRUE(t.file(std::string("share/") + f)) << f;
    }
    ASSERT_EQ(tw3_add_share("s", t.sub("share").c_str()), 0) << tw3_error();
    // Shared at once: these folders were all made this very second.
    tw3_listing_limits_set({TW3_LISTING_CONN_BUDGET, TW3_LISTING_SERVER_BUDGET, 0});
    ASSERT_EQ(tw3_listing_server_count(), 0);
  }
  void TearDown() override {
    EXPECT_EQ(tw3_listing_server_count(), 0) << "every listing freed with its last reference";
    EXPECT_EQ(tw3_listing_server_bytes(), 0u);
    tw3_listing_limits_set({TW3_LISTING_CONN_BUDGET, TW3_LISTING_SERVER_BUDGET, TW3_LISTING_SETTLE_S});
    tw3_config_reset_for_tests();
  }

  tw3_vres folder(const char* vpath) {
    tw3_vres r{};
    EXPECT_EQ(tw3_vfs_resolve("s", vpath, &r), 0);
    return r;
  }

  temp_dir t;
};

std::vector<std::string> names_of(tw3_listing* l, uint64_t now_ms) {
  std::vector<tw3_vent> e(size_t(tw3_listing_count(l)));
  const int32_t got = tw3_listing_read(l, 0, e.data(), int32_t(e.size()), now_ms);
  std::vector<std::string> out;
  for (int32_t i = 0; i < got; ++i) out.push_back(e[size_t(i)].name != nullptr ? e[size_t(i)].name : "(gone)");
  return out;
}

TEST_F(Listings, OneCopyWhileTheFolderIsUnchangedThenANewOne) {
  const tw3_vres r = folder("");
  tw3_listing *a = nullptr, *b = nullptr;
  ASSERT_EQ(tw3_listing_acquire(&r, UINT64_MAX, &a), TW3_LISTING_OK);
  ASSERT_EQ(tw3_listing_acquire(&r, UINT64_MAX, &b), TW3_LISTING_OK);
  EXPECT_EQ(a, b);
  EXPECT_EQ(tw3_listing_server_count(), 1);
  EXPECT_EQ(tw3_listing_server_bytes(), tw3_listing_bytes(a)) << "a shared listing counts once";
  const std::vector<std::string> want = {"B", "a", "ab", "abcdefgh", "abcdefgh10", "abcdefgh2", "b", "other",
                                         "\xc3\xa4"};
  EXPECT_EQ(names_of(a, tw3_now_ms()), want) << "byte-wise order";
  tw3_listing_release(a);
  EXPECT_EQ(tw3_listing_server_count(), 1) << "still held by b";

  // A name added: new opens get a new listing, b keeps its own.
  std::this_thread::sleep_for(std::chrono::milliseconds(30));  // past the host's timestamp tick
  ASSERT_TRUE(t.file("share/c"));
  tw3_listing* c = nullptr;
  ASSERT_EQ(tw3_listing_acquire(&r, UINT64_MAX, &c), TW3_LISTING_OK);
  EXPECT_NE(c, b);
  EXPECT_EQ(tw3_listing_count(c), tw3_listing_count(b) + 1);
  EXPECT_EQ(tw3_listing_server_count(), 2);
  EXPECT_EQ(names_of(b, tw3_now_ms()), want);
  tw3_listing_release(b);
  tw3_listing_release(c);

  // A folder changed too recently to trust its change time is not shared.
  tw3_listing_limits_set({TW3_LISTING_CONN_BUDGET, TW3_LISTING_SERVER_BUDGET, 3600});
  ASSERT_EQ(tw3_listing_acquire(&r, UINT64_MAX, &a), TW3_LISTING_OK);
  ASSERT_EQ(tw3_listing_acquire(&r, UINT64_MAX, &b), TW3_LISTING_OK);
  EXPECT_NE(a, b);
  tw3_listing_release(a);
  tw3_listing_release(b);
}

TEST_F(Listings, BudgetsRefuseOnlyTheListingThatWouldPassThem) {
  const tw3_vres root = folder("");
  const tw3_vres other = folder("other");
  tw3_listing* held = nullptr;
  ASSERT_EQ(tw3_listing_acquire(&root, UINT64_MAX, &held), TW3_LISTING_OK);
  const uint64_t bytes = tw3_listing_bytes(held);

  tw3_listing* l = nullptr;
  EXPECT_EQ(tw3_listing_acquire(&other, 64, &l), TW3_LISTING_NO_ROOM) << "past the caller's room";
  EXPECT_EQ(l, nullptr);
  EXPECT_EQ(tw3_listing_server_bytes(), bytes) << "a refused build gives back what it held";

  tw3_listing_limits_set({TW3_LISTING_CONN_BUDGET, bytes + 64, 0});
  EXPECT_EQ(tw3_listing_acquire(&other, UINT64_MAX, &l), TW3_LISTING_NO_ROOM) << "past the server budget";
  ASSERT_EQ(tw3_listing_acquire(&root, 0, &l), TW3_LISTING_OK) << "joining costs the server nothing";
  EXPECT_EQ(l, held);
  tw3_listing_release(l);
  EXPECT_EQ(names_of(held, tw3_now_ms()).size(), 9u) << "the held listing goes on";
  tw3_listing_release(held);
}

TEST_F(Listings, StatusIsTakenWhenReadAndRenewedOnceOld) {
  // More entries than a build examines at once, so the last are examined
  // only when read.
  constexpr int kFiles = 1300;
  ASSERT_TRUE(t.dir("share/many"));
  char name[32];
  for (int i = 0; i < kFiles; ++i) {
    std::snprintf(name, sizeof name, "share/many/f%04d", i);
    ASSERT_TRUE(t.file(name)) << name;
  }
  const tw3_vres r = folder("many");
  tw3_listing* l = nullptr;
  ASSERT_EQ(tw3_listing_acquire(&r, UINT64_MAX, &l), TW3_LISTING_OK);
  ASSERT_EQ(tw3_listing_count(l), kFiles);
  ASSERT_TRUE(t.file("share/many/f0000", "12345"));
  ASSERT_TRUE(t.file("share/many/f1299", "12345"));
  const uint64_t now = tw3_now_ms();
  auto entry = [&](int32_t i, uint64_t at) {
    tw3_vent e{};
    EXPECT_EQ(tw3_listing_read(l, i, &e, 1, at), 1);
    return e;
  };
  EXPECT_EQ(entry(0, now).size, 0u) << "examined when the listing was built";
  EXPECT_EQ(entry(kFiles - 1, now).size, 5u) << "examined when first read";
  ASSERT_TRUE(t.file("share/many/f1299", "1234567890"));
  ASSERT_EQ(::unlink(t.sub("share/many/f1298").c_str()), 0);
  EXPECT_EQ(entry(kFiles - 1, now + 10).size, 5u) << "fresh enough";
  const uint64_t later = now + TW3_LISTING_FRESH_MS;
  EXPECT_EQ(entry(0, later).size, 5u);
  EXPECT_EQ(entry(kFiles - 1, later).size, 10u);
  EXPECT_EQ(entry(kFiles - 2, later).name, nullptr) << "gone since";
  EXPECT_STREQ(entry(kFiles - 3, later).name, "f1297");
  tw3_vent past[2];
  EXPECT_EQ(tw3_listing_read(l, kFiles - 1, past, 2, later), 1) << "never past the end";
  EXPECT_EQ(tw3_listing_read(l, kFiles, past, 2, later), 0);
  tw3_listing_release(l);
}

TEST_F(Listings, ManyThreadsShareReadAndFreeOneListing) {
  const tw3_vres r = folder("");
  tw3_listing* first = nullptr;
  ASSERT_EQ(tw3_listing_acquire(&r, UINT64_MAX, &first), TW3_LISTING_OK);
  const std::vector<std::string> want = names_of(first, tw3_now_ms());
  tw3_listing_release(first);
  constexpr int kThreads = 8;
  constexpr int kRounds = 200;
  std::vector<int> wrong(kThreads, 0);
  std::vector<std::thread> threads;
  for (int k = 0; k < kThreads; ++k) {
    threads.emplace_back([&, k] {
      for (int i = 0; i < kRounds; ++i) {
        tw3_listing* l = nullptr;
        if (tw3_listing_acquire(&r, UINT64_MAX, &l) != TW3_LISTING_OK) {
          ++wrong[size_t(k)];
          continue;
        }
        // Every other round reads as if the status had aged.
        wrong[size_t(k)] += names_of(l, tw3_now_ms() + uint64_t(i % 2) * TW3_LISTING_FRESH_MS) != want;
        tw3_listing_release(l);
      }
    });
  }
  for (std::thread& th : threads) th.join();
  for (int k = 0; k < kThreads; ++k) EXPECT_EQ(wrong[size_t(k)], 0) << "thread " << k;
}

}  // namespace
