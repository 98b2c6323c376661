// The command line: serve, sim, selftest and version, all through the
// exported API, exactly as a host program would use it.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "twsmb3s.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr unsigned kDefaultPort = 4450;
constexpr const char* kDefaultBindText = "127.0.0.1";
constexpr const char* kDefaultSimIp = "127.0.0.1";
constexpr size_t kScriptStartBytes = 1 << 20;
constexpr uint32_t kServeSleepMs = 100;

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

// What the command itself needs from the arguments (first pass).
struct cmd_values {
  const char* bind = nullptr;       // null: the server's default
  unsigned port = kDefaultPort;
  const char* port_file = nullptr;
  const char* sim_ip = kDefaultSimIp;
};

// A decimal prefix: leading blanks, an optional sign, then digits up to the
// first other character; text without a number gives 0. Values that cannot
// be a port come back above 65535 so that the server refuses them, instead
// of wrapping round to a valid port.
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

cmd_values first_pass(args_t args, bool serve) {
  cmd_values v;
  size_t n = args.size();
  for (size_t i = 0; i < n;) {
    std::string_view a = args[i];
    bool has_value = i + 1 < n;
    if (serve && (a == "--bind" || a == "--port" || a == "--port-file")) {
      if (!has_value) {
        if (a == "--port-file") break;
        i++;
        continue;
      }
      if (a == "--bind") v.bind = args[i + 1];
      if (a == "--port") v.port = parse_port(args[i + 1]);
      if (a == "--port-file") v.port_file = args[i + 1];
      i += 2;
    } else if (!serve && a == "--ip") {
      if (!has_value) break;
      v.sim_ip = args[i + 1];
      i += 2;
    } else {
      i++;
    }
  }
  return v;
}

// Splits "left<sep>right" at the first separator; false when there is none.
bool split_at(const char* value, char sep, std::string* left, const char** right) {
  const char* cut = std::strchr(value, sep);
  if (!cut) return false;
  left->assign(value, static_cast<size_t>(cut - value));
  *right = cut + 1;
  return true;
}

int malformed(const char* message) {
  std::fputs(message, stderr);
  return kExitUsage;
}

// One configuration option with its value. kExitOk to go on, otherwise the
// exit code (the message is printed).
int configure_one(std::string_view opt, const char* value) {
  std::string left;
  const char* right = nullptr;
  int rc = 0;
  const char* op = nullptr;
  if (opt == "--share") {
    if (!split_at(value, '=', &left, &right)) return malformed("--share needs NAME=PATH\n");
    rc = twsmb3s_add_share(left.c_str(), right);
    op = "add_share";
  } else if (opt == "--user") {
    if (!split_at(value, ':', &left, &right)) return malformed("--user needs USER:PASS\n");
    rc = twsmb3s_add_user(left.c_str(), right);
    op = "add_user";
  } else if (opt == "--opt") {
    if (!split_at(value, '=', &left, &right)) return malformed("--opt needs KEY=VALUE\n");
    rc = twsmb3s_set_option(left.c_str(), right);
    op = "set_option";
  } else {  // --allow
    rc = twsmb3s_allow_cidr(value);
    op = "allow_cidr";
  }
  if (rc != 0) {
    std::fprintf(stderr, "%s: %s\n", op, twsmb3s_last_error());
    return kExitFailed;
  }
  return kExitOk;
}

// Second pass: every option in order, with its value.
int configure(args_t args) {
  size_t n = args.size();
  for (size_t i = 0; i < n; i += 2) {
    std::string_view a = args[i];
    bool known_config = a == "--share" || a == "--user" || a == "--allow" || a == "--opt";
    bool known_value = a == "--bind" || a == "--port" || a == "--port-file" || a == "--ip";
    if (i + 1 >= n || (!known_config && !known_value)) {
      std::fprintf(stderr, "unknown argument %s\n", args[i]);
      return usage();
    }
    if (known_config) {
      if (int rc = configure_one(a, args[i + 1]); rc != kExitOk) return rc;
    }
  }
  return kExitOk;
}

void write_port_file(const char* path, int port) {
  std::FILE* f = std::fopen(path, "w");
  if (!f) return;  // the server keeps running without it
  std::fprintf(f, "%d\n", port);
  std::fclose(f);
}

int cmd_serve(args_t args) {
  cmd_values v = first_pass(args, true);
  if (int rc = configure(args); rc != kExitOk) return rc;
  tw3_console_catch_stop();
  if (twsmb3s_start(v.bind, v.port, nullptr) != 0) {
    std::fprintf(stderr, "start: %s\n", twsmb3s_last_error());
    return kExitFailed;
  }
  int port = twsmb3s_port();
  std::printf("twsmb3s serving on %s port %d\n", v.bind ? v.bind : kDefaultBindText, port);
  std::fflush(stdout);  // a supervisor waits for this line
  if (v.port_file) write_port_file(v.port_file, port);
  // Serves until asked to end (Ctrl+C, SIGTERM, the console closing), then
  // stops cleanly: every connection ended and every thread joined.
  while (tw3_console_stop_requested() == 0) tw3_sleep_ms(kServeSleepMs);
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
  if (int rc = configure(args); rc != kExitOk) return rc;
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
  if (cmd == "version") {
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
