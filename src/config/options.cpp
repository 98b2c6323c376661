// Server options and statistics counters, both guarded by g_lock.
#include <algorithm>
#include <cstring>
#include <string_view>

#include "config/config.h"

tw3_mutex g_lock;

namespace {

constexpr tw3_opts kDefaultOpts = {
    -1,          // guest: automatic
    0,           // signing: enabled
    1,           // ntlm_timecheck: on
    16,          // max_clients
    300000,      // idle_timeout_ms
    30000,       // io_timeout_ms
    3,           // max_login_failures
    256,         // max_credits
    1024,        // max_handles
    4096,        // max_watches
    512,         // max_watches_per_conn
    4194304,     // max_message
    0,           // clock: the system clock
    "TARNWICKFIELD",
    TW3_ENCRYPT_AUTO,  // encrypt
    0,                 // case_sensitive: off
    0,                 // ninterfaces: the host's own
    {},                // interfaces
    1,                 // map_to_guest: bad_user
    0,                 // listen_one: every address
    {},                // listen_ip
};

tw3_opts g_opts = kDefaultOpts;
int64_t g_stats[ST_COUNT];

constexpr int kNumberDigitsMax = 12;
constexpr int64_t kClockMax = 253402300799;  // the last second of the year 9999
constexpr unsigned char kPrintableFirst = 0x20, kPrintableLast = 0x7E;
// Longest address text of the `interfaces` list: an IPv6 address with an
// IPv4 tail is 45 characters, in brackets and with a zone (both ignored) a
// few more.
constexpr size_t kAddressTextMax = 63;
constexpr const char* kInterfacesMessage = "interfaces: auto or a comma-separated list of 1..16 IP addresses";

struct word_value {
  const char* word;
  int32_t value;
};

constexpr word_value kGuestWords[] = {{"auto", -1}, {"on", 1}, {"1", 1}, {"off", 0}, {"0", 0}};
constexpr word_value kSigningWords[] = {{"enabled", 0}, {"required", 1}, {"1", 1}};
constexpr word_value kEncryptWords[] = {
    {"auto", TW3_ENCRYPT_AUTO}, {"required", TW3_ENCRYPT_REQUIRED}, {"off", TW3_ENCRYPT_OFF}};
constexpr word_value kOnOffWords[] = {{"on", 1}, {"1", 1}, {"off", 0}, {"0", 0}};
constexpr word_value kMapToGuestWords[] = {{"bad_user", 1}, {"never", 0}};

enum class opt_kind { words, number, name, addresses, ignored };

// One option: how its value text is checked and where the value goes. The
// value is checked completely before g_lock is taken for the store.
struct opt_def {
  const char* key;
  opt_kind kind;
  const word_value* words;
  size_t nwords;
  int64_t min, max;
  void (*store)(tw3_opts&, int64_t);
  const char* message;  // the whole message of a refused value
};

template <size_t N>
constexpr opt_def words_opt(const char* key, const word_value (&w)[N], void (*store)(tw3_opts&, int64_t),
                            const char* msg) {
  return {key, opt_kind::words, w, N, 0, 0, store, msg};
}
constexpr opt_def number_opt(const char* key, int64_t min, int64_t max, void (*store)(tw3_opts&, int64_t),
                             const char* msg) {
  return {key, opt_kind::number, nullptr, 0, min, max, store, msg};
}

// Keys are looked up in this order; the numbers in the messages are the bounds.
constexpr opt_def kOptDefs[] = {
    words_opt("guest", kGuestWords, [](tw3_opts& o, int64_t v) { o.guest = static_cast<int32_t>(v); },
              "guest: auto, on or off"),
    words_opt("map_to_guest", kMapToGuestWords,
              [](tw3_opts& o, int64_t v) { o.map_to_guest = static_cast<int32_t>(v); },
              "map_to_guest: bad_user or never"),
    words_opt("signing", kSigningWords, [](tw3_opts& o, int64_t v) { o.signing = static_cast<int32_t>(v); },
              "signing: enabled or required"),
    words_opt("encrypt", kEncryptWords, [](tw3_opts& o, int64_t v) { o.encrypt = static_cast<int32_t>(v); },
              "encrypt: auto, required or off"),
    words_opt("ntlm_timecheck", kOnOffWords,
              [](tw3_opts& o, int64_t v) { o.ntlm_timecheck = static_cast<int32_t>(v); },
              "ntlm_timecheck: on or off"),
    words_opt("case_sensitive", kOnOffWords,
              [](tw3_opts& o, int64_t v) { o.case_sensitive = static_cast<int32_t>(v); },
              "case_sensitive: on or off"),
    number_opt("max_clients", 1, 1024, [](tw3_opts& o, int64_t v) { o.max_clients = static_cast<int32_t>(v); },
               "max_clients: 1..1024"),
    number_opt("idle_timeout_ms", 100, 86400000,
               [](tw3_opts& o, int64_t v) { o.idle_timeout_ms = static_cast<int32_t>(v); },
               "idle_timeout_ms: 100..86400000"),
    number_opt("io_timeout_ms", 100, 3600000,
               [](tw3_opts& o, int64_t v) { o.io_timeout_ms = static_cast<int32_t>(v); },
               "io_timeout_ms: 100..3600000"),
    number_opt("max_login_failures", 0, 100000,
               [](tw3_opts& o, int64_t v) { o.max_login_failures = static_cast<int32_t>(v); },
               "max_login_failures: 0..100000"),
    number_opt("max_credits", 1, 8192, [](tw3_opts& o, int64_t v) { o.max_credits = static_cast<int32_t>(v); },
               "max_credits: 1..8192"),
    number_opt("max_handles", 1, 1024, [](tw3_opts& o, int64_t v) { o.max_handles = static_cast<int32_t>(v); },
               "max_handles: 1..1024"),
    number_opt("max_watches", 1, 65536, [](tw3_opts& o, int64_t v) { o.max_watches = static_cast<int32_t>(v); },
               "max_watches: 1..65536"),
    number_opt("max_watches_per_conn", 1, 65536,
               [](tw3_opts& o, int64_t v) { o.max_watches_per_conn = static_cast<int32_t>(v); },
               "max_watches_per_conn: 1..65536"),
    number_opt("max_message", 65536, 16777216,
               [](tw3_opts& o, int64_t v) { o.max_message = static_cast<uint64_t>(v); },
               "max_message: 65536..16777216"),
    number_opt("clock", 0, kClockMax, [](tw3_opts& o, int64_t v) { o.clock = v; },
               "clock: unix seconds, 0 = system"),
    {"server_name", opt_kind::name, nullptr, 0, 0, 0, nullptr, nullptr},
    {"interfaces", opt_kind::addresses, nullptr, 0, 0, 0, nullptr, nullptr},
    {"banner", opt_kind::ignored, nullptr, 0, 0, 0, nullptr, nullptr},
};

const opt_def* find_opt(const char* key) {
  for (const opt_def& d : kOptDefs)
    if (std::strcmp(d.key, key) == 0) return &d;
  return nullptr;
}

int set_server_name(const char* value) {
  const size_t n = strnlen(value, TW3_SERVER_NAME_MAX + 1);
  if (n == 0 || n > TW3_SERVER_NAME_MAX)
    return tw3_fail(TW3_EINVAL, "server_name: 1..%d bytes", TW3_SERVER_NAME_MAX);
  for (size_t i = 0; i < n; i++) {
    const auto c = static_cast<unsigned char>(value[i]);
    if (c < kPrintableFirst || c > kPrintableLast) return tw3_fail(TW3_EINVAL, "server_name: printable ASCII only");
  }
  tw3_lock_guard lock(g_lock);
  std::memcpy(g_opts.server_name, value, n + 1);
  return 0;
}

bool is_unspecified(const tw3_ip& ip) {
  for (uint8_t byte : ip.addr)
    if (byte != 0) return false;
  return true;
}

// One address of the list: its text (not terminated) into *out. 0 or -1.
int parse_address(std::string_view text, tw3_ip* out) {
  if (text.empty() || text.size() > kAddressTextMax) return -1;
  char buf[kAddressTextMax + 1];
  std::memcpy(buf, text.data(), text.size());
  buf[text.size()] = '\0';
  if (tw3_ip_parse(buf, out) != 0 || is_unspecified(*out)) return -1;
  return 0;
}

bool listed(const tw3_ip* list, int32_t n, const tw3_ip& ip) {
  for (int32_t i = 0; i < n; i++)
    if (tw3_ip_equal(&list[i], &ip)) return true;
  return false;
}

// `auto`, or addresses separated by commas without blanks, each once at
// most (a client would take a repeated one for a second path); an
// unspecified address (0.0.0.0, ::) tells a client nothing.
int set_interfaces(const char* value) {
  tw3_ip list[TW3_ADVERTISED_MAX] = {};
  int32_t n = 0;
  if (std::strcmp(value, "auto") != 0) {
    std::string_view rest(value);
    for (bool more = true; more;) {
      const size_t comma = rest.find(',');
      more = comma != std::string_view::npos;
      if (n == TW3_ADVERTISED_MAX || parse_address(rest.substr(0, comma), &list[n]) != 0 ||
          listed(list, n, list[n])) {
        return tw3_fail(TW3_EINVAL, "%s", kInterfacesMessage);
      }
      n++;
      if (more) rest.remove_prefix(comma + 1);
    }
  }
  tw3_lock_guard lock(g_lock);
  g_opts.ninterfaces = n;
  std::copy(list, list + TW3_ADVERTISED_MAX, g_opts.interfaces);
  return 0;
}

// 0 and the value of the option's text in *out, or -1.
int parse_value(const opt_def& d, const char* value, int64_t* out) {
  if (d.kind == opt_kind::number) return parse_int(value, d.min, d.max, out);
  for (size_t i = 0; i < d.nwords; i++) {
    if (std::strcmp(d.words[i].word, value) == 0) {
      *out = d.words[i].value;
      return 0;
    }
  }
  return -1;
}

}  // namespace

const char* const tw3_stat_names[ST_COUNT] = {
    "connections",   "refused_allow",   "refused_full",     "negotiate",       "sessions",
    "guest_sessions", "logon_failed",   "trees",            "tree_refused",    "opens",
    "open_refused",  "reads",           "bytes_sent",       "listings_sent",   "mutating_refused",
    "ioctl_refused", "bad_signature",   "protocol_errors",  "timeouts",        "sign_required_sessions",
    "srvsvc_queries", "path_refused",   "encrypted_sessions", "decrypt_failed",
    "live_sessions", "channels",
};

int parse_int(const char* text, int64_t min, int64_t max, int64_t* out) {
  if (!text || !out) return -1;
  int64_t v = 0;
  int digits = 0;
  for (const char* p = text; *p; p++) {
    if (*p < '0' || *p > '9' || ++digits > kNumberDigitsMax) return -1;
    v = v * 10 + (*p - '0');
  }
  if (digits == 0 || v < min || v > max) return -1;
  *out = v;
  return 0;
}

int tw3_set_option(const char* key, const char* value) {
  if (!key || !value) return tw3_fail(TW3_EINVAL, "set_option: NULL key or value");
  const opt_def* d = find_opt(key);
  if (!d) return tw3_fail(TW3_EINVAL, "unknown option %.64s", key);
  switch (d->kind) {
    case opt_kind::ignored:
      return 0;
    case opt_kind::name:
      return set_server_name(value);
    case opt_kind::addresses:
      return set_interfaces(value);
    case opt_kind::words:
    case opt_kind::number:
      break;
  }
  int64_t v = 0;
  if (parse_value(*d, value, &v) != 0) return tw3_fail(TW3_EINVAL, "%s", d->message);
  tw3_lock_guard lock(g_lock);
  d->store(g_opts, v);
  return 0;
}

void tw3_set_listen_address(const tw3_ip& ip) {
  tw3_lock_guard lock(g_lock);
  g_opts.listen_one = is_unspecified(ip) ? 0 : 1;
  g_opts.listen_ip = ip;
}

void tw3_opts_get(tw3_opts* out) {
  if (!out) return;
  tw3_lock_guard lock(g_lock);
  *out = g_opts;
}

void tw3_opts_reset_for_tests() {
  tw3_lock_guard lock(g_lock);
  g_opts = kDefaultOpts;
}

void tw3_stat_add(int index, int64_t delta) {
  tw3_lock_guard lock(g_lock);
  g_stats[index] += delta;
}

int64_t tw3_stat_get(int index) {
  tw3_lock_guard lock(g_lock);
  return g_stats[index];
}
