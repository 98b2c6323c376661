// The access log of `serve --log`: one line per event in a stable
// `time=... event=... key=value ...` form. Connection threads only format a
// line and queue it; one writer thread writes, so a slow, full or broken log
// never holds a client up (lines beyond the queue's bound are dropped and
// the count of dropped lines is logged once writing catches up).
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>

#include "cli/cli.h"
#include "platform/platform.h"
#include "util/event.h"
#include "util/util.h"

namespace tw3cli {
namespace {

constexpr size_t kQueueMaxBytes = 1 << 20;
constexpr size_t kValueMax = 512;  // longer client texts are cut
constexpr size_t kWriterStack = 256 * 1024;
constexpr int kWriterWakeMs = 500;

struct log_state {
  std::mutex lock;
  std::condition_variable wake;
  std::deque<std::string> queue;
  size_t queued_bytes = 0;
  uint64_t dropped = 0;
  std::FILE* out = nullptr;
  bool debug = false;
};

log_state* g_log = nullptr;  // lives as long as the serving process

std::string utc_now() {
  const tw3_civil c = tw3_civil_time(tw3_unix_now());
  char buf[96];
  std::snprintf(buf, sizeof buf, "%04lld-%02d-%02dT%02d:%02d:%02dZ", static_cast<long long>(c.year), c.month, c.day,
                c.hour, c.minute, c.second);
  return buf;
}

// Appends " key=value"; the value is quoted when it is empty or holds a
// blank, '=', '"' or '\', and control bytes are written as \xHH, so a name
// sent by a client can never start a line of its own or forge a field.
void field(std::string* line, const char* key, const char* value) {
  std::string v = value ? value : "";
  if (v.size() > kValueMax) v.resize(kValueMax);
  bool quote = v.empty() || v.find_first_of(" =\"\\") != std::string::npos;
  std::string out;
  for (unsigned char ch : v) {
    if (ch < 0x20 || ch == 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", ch);
      out += hex;
      quote = true;
    } else if (ch == '"' || ch == '\\') {
      out += '\\';
      out += static_cast<char>(ch);
    } else {
      out += static_cast<char>(ch);
    }
  }
  *line += ' ';
  *line += key;
  *line += '=';
  *line += quote ? "\"" + out + "\"" : out;
}

void number(std::string* line, const char* key, uint64_t value) {
  *line += ' ';
  *line += key;
  *line += '=';
  *line += std::to_string(value);
}

const char* dialect_text(int32_t d) {
  switch (d) {
    case 0x0300: return "3.0";
    case 0x0302: return "3.0.2";
    case 0x0311: return "3.1.1";
    default: return d == 0 ? "none" : "smb2";
  }
}

const char* event_name(tw3_ev kind) {
  switch (kind) {
    case tw3_ev::conn_accepted: return "connect";
    case tw3_ev::conn_refused: return "refused";
    case tw3_ev::logon_ok: return "logon";
    case tw3_ev::logon_failed: return "logon_failed";
    case tw3_ev::tree_connect: return "tree";
    case tw3_ev::file_open: return "open";
    case tw3_ev::conn_closed: return "close";
    case tw3_ev::request_refused: return "request_refused";
  }
  return "?";
}

std::string format(const tw3_event& e) {
  std::string line = "time=" + utc_now() + " event=" + event_name(e.kind);
  field(&line, "client", e.client);
  switch (e.kind) {
    case tw3_ev::conn_accepted: break;
    case tw3_ev::conn_refused: field(&line, "reason", e.reason); break;
    case tw3_ev::logon_ok:
      field(&line, "user", e.user);
      field(&line, "domain", e.domain);
      field(&line, "guest", e.guest ? "yes" : "no");
      field(&line, "dialect", dialect_text(e.dialect));
      field(&line, "signing", e.signing ? "on" : "off");
      field(&line, "encryption", e.encryption ? "on" : "off");
      break;
    case tw3_ev::logon_failed:
      field(&line, "user", e.user);
      field(&line, "domain", e.domain);
      field(&line, "dialect", dialect_text(e.dialect));
      field(&line, "status", e.status_name);
      break;
    case tw3_ev::tree_connect: field(&line, "user", e.user); field(&line, "share", e.share); break;
    case tw3_ev::file_open:
      field(&line, "user", e.user);
      field(&line, "share", e.share);
      field(&line, "path", e.path);
      break;
    case tw3_ev::conn_closed:
      field(&line, "user", e.user);
      number(&line, "duration_ms", e.duration_ms);
      number(&line, "bytes_sent", e.bytes_sent);
      number(&line, "requests", e.requests);
      break;
    case tw3_ev::request_refused:
      field(&line, "user", e.user);
      field(&line, "command", e.command);
      field(&line, "status", e.status_name);
      break;
  }
  line += '\n';
  return line;
}

void enqueue(std::string line) {
  std::lock_guard<std::mutex> lk(g_log->lock);
  if (g_log->queued_bytes + line.size() > kQueueMaxBytes) {
    g_log->dropped++;
    return;
  }
  g_log->queued_bytes += line.size();
  g_log->queue.push_back(std::move(line));
  g_log->wake.notify_one();
}

void sink(const tw3_event* e) {
  if (e->kind == tw3_ev::request_refused && !g_log->debug) return;
  try {
    enqueue(format(*e));
  } catch (...) {
    // Out of memory: the line is lost, the client is served all the same.
  }
}

void writer_main(void*) {
  for (;;) {
    std::deque<std::string> batch;
    uint64_t dropped = 0;
    {
      std::unique_lock<std::mutex> lk(g_log->lock);
      g_log->wake.wait_for(lk, std::chrono::milliseconds(kWriterWakeMs),
                           [] { return !g_log->queue.empty() || g_log->dropped != 0; });
      batch.swap(g_log->queue);
      g_log->queued_bytes = 0;
      dropped = g_log->dropped;
      g_log->dropped = 0;
    }
    for (const std::string& line : batch) std::fputs(line.c_str(), g_log->out);
    if (dropped)
      std::fprintf(g_log->out, "time=%s event=log_dropped lines=%llu\n", utc_now().c_str(),
                   static_cast<unsigned long long>(dropped));
    // A failed write (disk full, reader gone) loses these lines only.
    if (std::fflush(g_log->out) != 0) std::clearerr(g_log->out);
  }
}

}  // namespace

int access_log_open(const std::string& target, bool level_debug) {
  std::FILE* out = target == "-" ? stderr : std::fopen(target.c_str(), "a");
  if (out == nullptr) {
    char why[128] = {};
    tw3_os_error_text(errno, why, sizeof why);
    std::fprintf(stderr, "log: cannot open %s: %s\n", target.c_str(), why);
    return kExitFailed;
  }
  g_log = new log_state;
  g_log->out = out;
  g_log->debug = level_debug;
  if (tw3_thread_start(writer_main, nullptr, kWriterStack) == nullptr) {
    std::fputs("log: cannot start its writer thread\n", stderr);
    return kExitFailed;
  }
  tw3_event_set_sink(sink);
  return kExitOk;
}

}  // namespace tw3cli
