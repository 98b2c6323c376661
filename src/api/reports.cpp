// The reports behind the exported observation functions: version, session
// count, the statistics report and the self-test report.
#include <cstdint>
#include <cstring>
#include <new>

#include "api/api.h"
#include "config/config.h"
#include "crypto/crypto.h"
#include "net/metrics.h"
#include "util/util.h"

namespace {

constexpr const char* kVersion = "1.0.1";
constexpr const char* kStatsOom = "{}";
constexpr const char* kSelftestOom = "selftest FAILED (oom)\n";

// Moves a finished buffer into g_out; `fallback` when the buffer failed or
// the copy cannot be made. The buffer is released either way.
const char* store_report(tw3_buf* b, const char* fallback) {
  char* text = b->failed ? nullptr : new (std::nothrow) char[b->len + 1];
  if (text) {
    if (b->len) std::memcpy(text, b->data, b->len);
    text[b->len] = '\0';
  }
  tw3_buf_free(b);
  return text ? tw3_out_store(text) : fallback;
}

}  // namespace

const char* tw3_version() { return kVersion; }

int tw3_session_count() {
  int64_t d = tw3_stat_get(ST_SESSIONS) - tw3_stat_get(ST_LOGON_FAILED);
  if (d <= 0) return 0;
  return d > INT32_MAX ? INT32_MAX : static_cast<int>(d);  // never wraps negative
}

const char* tw3_stats_json() {
  tw3_buf b{};
  tw3_stats_json_put(&b);
  return store_report(&b, kStatsOom);
}

const char* tw3_selftest_report() {
  tw3_buf b{};
  tw3_buf_printf(&b, "selftest %s\n", tw3_selftest() == 0 ? "ok" : "FAILED");
  return store_report(&b, kSelftestOom);
}
