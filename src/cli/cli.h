// What the command line's files share: exit codes, the setting calls that
// both the arguments and the configuration file make, and the serving extras
// (configuration file, access log, statistics output).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace tw3cli {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr unsigned kDefaultPort = 4450;

// The decimal-prefix port rule of --port (values that cannot be a port come
// back above 65535, so that the server refuses them).
unsigned parse_port(const char* text);

// One of the table settings: kind "share", "user", "allow" or "opt" with its
// value. kExitOk; kExitUsage with "<prefix><kind> needs NAME=PATH" (or the
// kind's form) in *msg; kExitFailed with "<call>: <last error>" in *msg.
// A "user" value without ":" is refused unless ask_password, in which case
// the password is read from standard input (prompting without echo on a
// terminal).
int apply_setting(const std::string& kind, const char* value, const char* prefix, bool ask_password,
                  std::string* msg);

// The serving values that the arguments (--bind ...) and the configuration
// file (bind ...) may give, by setting word: bind, port, port-file, log,
// log-level, stats-interval, metrics. A later value replaces an earlier one.
struct serve_values {
  std::map<std::string, std::string, std::less<>> given;
  // The value given for `word`, or null.
  const std::string* find(std::string_view word) const {
    auto it = given.find(word);
    return it == given.end() ? nullptr : &it->second;
  }
};
// 1 when `word` names one of the serving values above.
bool is_serve_word(std::string_view word);

// Reads the configuration file and applies its table settings in order; its
// serving values go to *out. kExitOk, or kExitFailed after printing
// "FILE:LINE: message" (or the permission refusal) on standard error.
int read_config_file(const char* path, bool insecure, serve_values* out);

// The full help text (standard output).
void print_help();

// The access log. level_debug adds refused requests. target "-" is standard
// error. kExitOk, or kExitFailed with the message printed.
int access_log_open(const std::string& target, bool level_debug);

// Serves until a request to end arrives (tw3_console_stop_requested): SIGUSR1 and every `interval_s`
// seconds (0: never) print the statistics line on standard error.
void serve_forever(uint32_t interval_s);

}  // namespace tw3cli
