// The table settings that the arguments and the configuration file share,
// and the password prompt of `--user USER`.
#include <cstring>
#include <string>

#include "cli/cli.h"
#include "config/config.h"
#include "crypto/crypto.h"
#include "platform/platform.h"
#include "twsmb3s.h"

namespace tw3cli {
namespace {

// Splits "left<sep>right" at the first separator; false when there is none.
bool split_at(const char* value, char sep, std::string* left, const char** right) {
  const char* cut = std::strchr(value, sep);
  if (!cut) return false;
  left->assign(value, static_cast<size_t>(cut - value));
  *right = cut + 1;
  return true;
}

int call_failed(const char* op, std::string* msg) {
  *msg = std::string(op) + ": " + twsmb3s_last_error();
  return kExitFailed;
}

// `--user USER`: the password from standard input, one line (prompted for
// without echo on a terminal). kExitUsage when none comes.
int add_user_asking(const char* name, const char* prefix, std::string* msg) {
  char password[TW3_PASSWORD_MAX + 2] = {};
  std::string prompt = std::string("Password for ") + name + ": ";
  int n = tw3_read_secret_line(prompt.c_str(), password, sizeof password);
  if (n < 0) {
    *msg = std::string(prefix) + "user needs USER:PASS";
    return kExitUsage;
  }
  int rc = twsmb3s_add_user(name, password);
  tw3_wipe(password, sizeof password);
  return rc == 0 ? kExitOk : call_failed("add_user", msg);
}

}  // namespace

bool is_serve_word(std::string_view w) {
  return w == "bind" || w == "port" || w == "port-file" || w == "log" || w == "log-level" ||
         w == "stats-interval" || w == "metrics";
}

int apply_setting(const std::string& kind, const char* value, const char* prefix, bool ask_password,
                  std::string* msg) {
  std::string left;
  const char* right = nullptr;
  auto malformed = [&](const char* form) {
    *msg = std::string(prefix) + kind + " needs " + form;
    return kExitUsage;
  };
  if (kind == "share") {
    if (!split_at(value, '=', &left, &right)) return malformed("NAME=PATH");
    return twsmb3s_add_share(left.c_str(), right) == 0 ? kExitOk : call_failed("add_share", msg);
  }
  if (kind == "user") {
    if (!split_at(value, ':', &left, &right))
      return ask_password ? add_user_asking(value, prefix, msg) : malformed("USER:PASS");
    return twsmb3s_add_user(left.c_str(), right) == 0 ? kExitOk : call_failed("add_user", msg);
  }
  if (kind == "opt") {
    if (!split_at(value, '=', &left, &right)) return malformed("KEY=VALUE");
    return twsmb3s_set_option(left.c_str(), right) == 0 ? kExitOk : call_failed("set_option", msg);
  }
  return twsmb3s_allow_cidr(value) == 0 ? kExitOk : call_failed("allow_cidr", msg);
}

}  // namespace tw3cli
