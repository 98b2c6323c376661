// Wire time: Unix seconds to FILETIME, and to a calendar date.
#include "util/util.h"

uint64_t tw3_filetime(int64_t unix_seconds) {
  // Unsigned arithmetic: times before 1601 wrap rather than overflow (UB).
  return (static_cast<uint64_t>(unix_seconds) + static_cast<uint64_t>(TW3_FILETIME_UNIX_OFFSET)) *
         static_cast<uint64_t>(TW3_FILETIME_PER_SECOND);
}

namespace {

constexpr int64_t kSecondsPerDay = 86400;
constexpr int kThursday = 4;  // 1970-01-01

}  // namespace

tw3_civil tw3_civil_time(int64_t t) {
  const int64_t days = (t >= 0 ? t : t - (kSecondsPerDay - 1)) / kSecondsPerDay;
  const int64_t secs = t - days * kSecondsPerDay;
  // Days to a date: eras of 400 years (146097 days) from 0000-03-01.
  const int64_t z = days + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  tw3_civil c{};
  c.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  c.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  c.year = yoe + era * 400 + (c.month <= 2 ? 1 : 0);
  c.hour = static_cast<int>(secs / 3600);
  c.minute = static_cast<int>(secs / 60 % 60);
  c.second = static_cast<int>(secs % 60);
  c.weekday = static_cast<int>(((days + kThursday) % 7 + 7) % 7);
  return c;
}
