// Wire time: FILETIMEs and calendar dates from Unix seconds.
#include <gtest/gtest.h>

#include "util/util.h"

namespace {

TEST(Time, FiletimeCountsFrom1601) {
  EXPECT_EQ(tw3_filetime(0), 116444736000000000ULL);
  EXPECT_EQ(tw3_filetime(1), 116444736010000000ULL);
}

// Era, century and leap-day edges, and a time before 1970.
TEST(Time, CivilTime) {
  struct Case {
    int64_t t;
    int64_t year;
    int month, day, hour, minute, second, weekday;
  } cases[] = {
      {0, 1970, 1, 1, 0, 0, 0, 4},
      {951782400, 2000, 2, 29, 0, 0, 0, 2},
      {951868799, 2000, 2, 29, 23, 59, 59, 2},
      {4107542400, 2100, 3, 1, 0, 0, 0, 1},
      {1796978233, 2026, 12, 11, 8, 37, 13, 5},
      {-1, 1969, 12, 31, 23, 59, 59, 3},
      {-86400 * 365, 1969, 1, 1, 0, 0, 0, 3},
  };
  for (const Case& k : cases) {
    const tw3_civil c = tw3_civil_time(k.t);
    EXPECT_EQ(c.year, k.year) << k.t;
    EXPECT_EQ(c.month, k.month) << k.t;
    EXPECT_EQ(c.day, k.day) << k.t;
    EXPECT_EQ(c.hour, k.hour) << k.t;
    EXPECT_EQ(c.minute, k.minute) << k.t;
    EXPECT_EQ(c.second, k.second) << k.t;
    EXPECT_EQ(c.weekday, k.weekday) << k.t;
  }
}

}  // namespace
