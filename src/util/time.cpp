// Wire time: Unix seconds to FILETIME.
#include "util/util.h"

uint64_t tw3_filetime(int64_t unix_seconds) {
  // Unsigned arithmetic: times before 1601 wrap rather than overflow (UB).
  return (static_cast<uint64_t>(unix_seconds) + static_cast<uint64_t>(TW3_FILETIME_UNIX_OFFSET)) *
         static_cast<uint64_t>(TW3_FILETIME_PER_SECOND);
}
