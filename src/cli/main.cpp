// The command line: serve, sim, selftest, version and help. Configuration
// and serving go through the exported API, as a host program would use them;
// the serving extras (configuration file, access log, statistics, metrics)
// live beside this file.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cli/cli.h"
#include "net/metrics.h"
#include "platform/platform.h"
#include "twsmb3s.h"

namespace tw3cli {

// The decimal-prefix rule of --port: leading blanks, an optional sign, then
// digits up to the first other character; text without a number gives 0.
// Values that cannot be a port come back above 65535 so that the server
// refuses them, instead of wrapping round to a valid port.
unsigned parse_port(const char* text) {
  constexpr uint64_t kTooBig = 0xFFFFFFFFu;
  const char* p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) p++;
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') p++;
  uint64_t v = 0;
  for (; *p >= '0' && *p <= '9'; p++) {
    v = v * 10 + static_cast<uint64_t>(*p - '0');
    if (v > kTooBig) v = kTooBig;
  }
  if (negative && v != 0) return static_cast<unsigned>(kTooBig);
  return static_cast<unsigned>(v);
}

}  // namespace tw3cli

namespace {

using namespace tw3cli;

constexpr const char* kDefaultBindText = "127.0.0.1";
constexpr const char* kDefaultSimIp = "127.0.0.1";
constexpr size_t kScriptStartBytes = 1 << 20;

constexpr const char* kUsage =
    "usage: twsmb3s serve  [--share NAME=PATH]... [--user USER:PASS]... [--allow CIDR]...\n"
    "                      [--opt KEY=VALUE]... [--bind IP] [--port N] [--port-file FILE]\n"
    "       twsmb3s sim    [--share NAME=PATH]... [--user USER:PASS]... [--opt KEY=VALUE]... "
    "[--ip IP] < SCRIPT\n"
    "       twsmb3s selftest\n"
    "       twsmb3s version\n";

using args_t = std::span<char* const>;

int usage() {
  std::fputs(kUsage, stderr);
  return kExitUsage;
}

int malformed(const char* message) {
  std::fputs(message, stderr);
  return kExitUsage;
}

// What the command itself needs from the arguments (first pass).
struct cmd_values {
  serve_values serve;               // bind, port, port file, log, ...
  const char* sim_ip = kDefaultSimIp;
  const char* config = nullptr;
  bool insecure_config = false;
};

// Options of serve that only the command reads; stepped over when configuring.
bool serve_value_option(std::string_view a) {
  return a == "--config" || (a.substr(0, 2) == "--" && is_serve_word(a.substr(2)));
}

cmd_values first_pass(args_t args, bool serve) {
  cmd_values v;
  size_t n = args.size();
  for (size_t i = 0; i < n;) {
    std::string_view a = args[i];
    bool has_value = i + 1 < n;
    if (serve && serve_value_option(a)) {
      if (!has_value) {
        if (a == "--port-file") break;
        i++;
        continue;
      }
      if (a == "--config")
        v.config = args[i + 1];
      else
        v.serve.given[std::string(a.substr(2))] = args[i + 1];
      i += 2;
    } else if (!serve && a == "--ip") {
      if (!has_value) break;
      v.sim_ip = args[i + 1];
      i += 2;
    } else {
      v.insecure_config = v.insecure_config || (serve && a == "--insecure-config");
      i++;
    }
  }
  return v;
}

// Second pass: every option in order, with its value.
int configure(args_t args, bool serve) {
  size_t n = args.size();
  for (size_t i = 0; i < n;) {
    std::string_view a = args[i];
    if (serve && a == "--insecure-config") {  // a switch without a value
      i++;
      continue;
    }
    bool known_config = a == "--share" || a == "--user" || a == "--allow" || a == "--opt";
    bool known_value = a == "--bind" || a == "--port" || a == "--port-file" || a == "--ip" ||
                       (serve && serve_value_option(a));
    if (i + 1 >= n || (!known_config && !known_value)) {
      std::fprintf(stderr, "unknown argument %s\n", args[i]);
      return usage();
    }
    if (known_config) {
      std::string msg;
      int rc = apply_setting(std::string(a.substr(2)), args[i + 1], "--", serve, &msg);
      if (rc != kExitOk) {
        std::fprintf(stderr, "%s\n", msg.c_str());
        return rc;
      }
    }
    i += 2;
  }
  return kExitOk;
}

void write_port_file(const char* path, int port) {
  // Binary: the file holds the port and a line feed on every host.
  std::FILE* f = std::fopen(path, "wb");
  if (!f) return;  // the server keeps running without it
  std::fprintf(f, "%d\n", port);
  std::fclose(f);
}

struct serve_extras {
  bool log_debug = false;
  uint32_t stats_interval_s = 0;
  std::string metrics_ip;  // empty: no metrics endpoint
  unsigned metrics_port = 0;
};

constexpr uint32_t kMaxStatsInterval = 86400;

// "[IP:]PORT", with an IPv6 address in brackets ("[::1]:9445").
bool split_metrics(const std::string& text, serve_extras* x) {
  std::string ip = "127.0.0.1";
  std::string port = text;
  size_t colon = text.rfind(':');
  if (colon != std::string::npos) {
    ip = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (ip.size() >= 2 && ip.front() == '[' && ip.back() == ']') ip = ip.substr(1, ip.size() - 2);
  }
  if (ip.empty() || port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
    return false;
  x->metrics_ip = ip;
  x->metrics_port = static_cast<unsigned>(std::stoul(port));
  return true;
}

// The serving extras' values; kExitUsage (printed) when one is malformed.
int check_extras(const serve_values& v, serve_extras* x) {
  const std::string* level = v.find("log-level");
  if (level && *level != "info" && *level != "debug") return malformed("--log-level needs info or debug\n");
  x->log_debug = level && *level == "debug";
  if (const std::string* s = v.find("stats-interval")) {
    bool digits = !s->empty() && s->size() <= 5 && s->find_first_not_of("0123456789") == std::string::npos;
    unsigned long secs = digits ? std::stoul(*s) : 0;
    if (secs < 1 || secs > kMaxStatsInterval) return malformed("--stats-interval needs SECONDS (1..86400)\n");
    x->stats_interval_s = static_cast<uint32_t>(secs);
  }
  const std::string* metrics = v.find("metrics");
  if (metrics && !split_metrics(*metrics, x)) return malformed("--metrics needs [IP:]PORT\n");
  return kExitOk;
}

// Everything serve reads before it starts: the configuration file, then the
// arguments in order. kExitOk with the values, or the exit code (printed).
int prepare_serve(args_t args, serve_values* v, serve_extras* x) {
  cmd_values cv = first_pass(args, true);
  if (cv.config) {
    if (int rc = read_config_file(cv.config, cv.insecure_config, v); rc != kExitOk) return rc;
  }
  for (const auto& [word, value] : cv.serve.given) v->given[word] = value;  // the arguments win
  if (int rc = configure(args, true); rc != kExitOk) return rc;
  return check_extras(*v, x);
}

int cmd_serve(args_t args) {
  serve_values v;
  serve_extras x;
  if (int rc = prepare_serve(args, &v, &x); rc != kExitOk) return rc;
  if (const std::string* log = v.find("log")) {
    if (int rc = access_log_open(*log, x.log_debug); rc != kExitOk) return rc;
  }
  tw3_signals_init();
  tw3_console_catch_stop();
  // The metrics endpoint opens first, so that a port it cannot have stops
  // the program before it announces that it serves.
  if (!x.metrics_ip.empty() && tw3_metrics_start(x.metrics_ip.c_str(), x.metrics_port) != 0) {
    std::fprintf(stderr, "%s\n", twsmb3s_last_error());
    return kExitFailed;
  }
  const std::string* bind_text = v.find("bind");
  const std::string* port_text = v.find("port");
  const char* bind = bind_text ? bind_text->c_str() : nullptr;
  if (twsmb3s_start(bind, port_text ? parse_port(port_text->c_str()) : kDefaultPort, nullptr) != 0) {
    std::fprintf(stderr, "start: %s\n", twsmb3s_last_error());
    return kExitFailed;
  }
  int port = twsmb3s_port();
  std::printf("twsmb3s serving on %s port %d\n", bind ? bind : kDefaultBindText, port);
  if (!x.metrics_ip.empty())
    std::printf("twsmb3s metrics on %s port %d\n", x.metrics_ip.c_str(), tw3_metrics_port());
  std::fflush(stdout);  // a supervisor waits for these lines
  if (const std::string* port_file = v.find("port-file")) write_port_file(port_file->c_str(), port);
  // Serves until asked to end (Ctrl+C, SIGTERM, the console closing), then
  // stops cleanly: every connection ended and every thread joined.
  serve_forever(x.stats_interval_s);
  twsmb3s_stop();
  tw3_console_stopped();
  return kExitOk;
}

// The whole of standard input as one zero-terminated text; false when memory
// runs out.
bool read_script(std::vector<char>* out) {
  try {
    std::vector<char>& s = *out;
    s.resize(kScriptStartBytes);
    size_t used = 0;
    for (;;) {
      if (s.size() - used < 2) s.resize(s.size() * 2);
      size_t got = std::fread(s.data() + used, 1, s.size() - used - 1, stdin);
      if (got == 0) break;
      used += got;
    }
    s[used] = '\0';
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  } catch (const std::length_error&) {
    return false;
  }
}

int cmd_sim(args_t args) {
  cmd_values v = first_pass(args, false);
  if (int rc = configure(args, false); rc != kExitOk) return rc;
  std::vector<char> script;
  if (!read_script(&script)) {
    std::fputs("out of memory\n", stderr);
    return kExitUsage;
  }
  const char* transcript = twsmb3s_simulate(script.data(), v.sim_ip);
  if (!transcript) {
    std::fprintf(stderr, "simulate: %s\n", twsmb3s_last_error());
    return kExitFailed;
  }
  std::fputs(transcript, stdout);
  return kExitOk;
}

int cmd_selftest() {
  const char* report = twsmb3s_selftest();
  std::fputs(report, stdout);
  return std::strstr(report, "FAILED") ? kExitFailed : kExitOk;
}

int run(int argc, char** argv) {
  if (argc < 2) return usage();
  std::string_view cmd = argv[1];
  args_t rest(argv + 2, static_cast<size_t>(argc - 2));
  if (cmd == "serve") return cmd_serve(rest);
  if (cmd == "sim") return cmd_sim(rest);
  if (cmd == "selftest") return cmd_selftest();
  if (cmd == "help" || cmd == "--help" || cmd == "-h") {
    print_help();
    return kExitOk;
  }
  if (cmd == "version" || cmd == "--version") {
    std::printf("twsmb3s %s\n", twsmb3s_version());
    return kExitOk;
  }
  return usage();
}

}  // namespace

int main(int argc, char** argv) {
  try {
    // UTF-8 arguments on every host (Windows hands argv over in its ANSI
    // code page).
    std::vector<std::string> args;
    if (tw3_console_args(argc, argv, &args) != 0) {
      std::fputs("arguments are not valid text\n", stderr);
      return kExitUsage;
    }
    std::vector<char*> ptrs;
    for (std::string& a : args) ptrs.push_back(a.data());
    ptrs.push_back(nullptr);
    return run(static_cast<int>(args.size()), ptrs.data());
  } catch (...) {
    std::fputs("out of memory\n", stderr);
    return kExitUsage;
  }
}
