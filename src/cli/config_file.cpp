// The configuration file of `serve --config FILE`: the command line's
// settings, one per line, so that passwords stay out of the process list.
//
//   # comment
//   share public=/srv/public      user alice:secret     allow 10.0.0.0/8
//   opt guest=on                  guest = on            bind 0.0.0.0
//   port 445                      log -                 metrics 127.0.0.1:9445
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "cli/cli.h"
#include "platform/platform.h"
#include "util/util.h"

namespace tw3cli {
namespace {

constexpr uint64_t kMaxFileBytes = 1 << 20;
constexpr uint32_t kOthersMayRead = 0044;  // group or others may read
constexpr std::string_view kBom = "\xEF\xBB\xBF";
constexpr std::string_view kBlanks = " \t";

struct line_ref {
  int number;
  std::string word;   // the setting, '_' written as '-'
  std::string value;
  bool plain_option;  // "KEY = VALUE" with a KEY that is not a setting word
};

std::string_view trim(std::string_view s) {
  size_t b = s.find_first_not_of(kBlanks);
  if (b == std::string_view::npos) return {};
  size_t e = s.find_last_not_of(kBlanks);
  return s.substr(b, e - b + 1);
}

// Well-formed UTF-8 sequences (lead byte, length, continuation bytes).
bool valid_utf8(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    auto b = static_cast<unsigned char>(s[i]);
    size_t more = b < 0x80 ? 0 : (b >= 0xC2 && b <= 0xDF) ? 1 : (b & 0xF0) == 0xE0 ? 2 : (b >= 0xF0 && b <= 0xF4) ? 3 : 9;
    if (more == 9 || s.size() - i <= more) return false;
    for (size_t k = 1; k <= more; k++) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    }
    i += more + 1;
  }
  return true;
}

bool is_table_word(std::string_view w) { return w == "share" || w == "user" || w == "allow" || w == "opt"; }

// Splits one non-blank, non-comment line. False with *msg on a syntax fault.
bool split_line(std::string_view text, line_ref* out, std::string* msg) {
  size_t n = text.find_first_of(" \t=");
  std::string word(text.substr(0, n));
  for (char& ch : word) ch = ch == '_' ? '-' : ch;
  std::string_view rest = n == std::string_view::npos ? std::string_view{} : trim(text.substr(n));
  bool eq = !rest.empty() && rest.front() == '=';
  if (eq) rest = trim(rest.substr(1));
  bool known = is_table_word(word) || is_serve_word(word);
  out->plain_option = eq && !known;
  out->word = out->plain_option ? std::string(text.substr(0, n)) : word;
  out->value = std::string(rest);
  if (!known && !eq) {
    *msg = "unknown setting " + word;
    return false;
  }
  if (known && rest.empty()) {
    *msg = word + " needs a value";
    return false;
  }
  return true;
}

int fail_at(const char* path, int line, const std::string& msg) {
  std::fprintf(stderr, "%s:%d: %s\n", path, line, msg.c_str());
  return kExitFailed;
}

// Reads and splits the whole file. kExitOk, or kExitFailed (printed).
int load(const char* path, std::vector<line_ref>* lines, uint32_t* mode) {
  std::vector<char> raw(kMaxFileBytes);
  size_t got = 0;
  int err = 0;
  int rc = tw3_file_read_small(path, raw.data(), raw.size(), &got, mode, &err);
  std::string text(raw.data(), rc == 0 ? got : 0);
  if (rc == -2) return fail_at(path, 0, "not a regular file of at most 1 MiB");
  if (rc != 0) {
    char why[128] = {};
    tw3_os_error_text(err, why, sizeof why);
    std::fprintf(stderr, "%s: cannot read: %s\n", path, why);
    return kExitFailed;
  }
  std::string_view all(text);
  if (all.substr(0, kBom.size()) == kBom) all.remove_prefix(kBom.size());
  int number = 0;
  while (!all.empty()) {
    size_t nl = all.find('\n');
    std::string_view line = all.substr(0, nl);
    all = nl == std::string_view::npos ? std::string_view{} : all.substr(nl + 1);
    number++;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!valid_utf8(line) || line.find('\0') != std::string_view::npos)
      return fail_at(path, number, "not valid UTF-8 text");
    line = trim(line);
    if (line.empty() || line.front() == '#') continue;
    line_ref ref{number, "", "", false};
    std::string msg;
    if (!split_line(line, &ref, &msg)) return fail_at(path, number, msg);
    lines->push_back(std::move(ref));
  }
  return kExitOk;
}

}  // namespace

int read_config_file(const char* path, bool insecure, serve_values* out) {
  std::vector<line_ref> lines;
  uint32_t mode = 0;
  if (int rc = load(path, &lines, &mode); rc != kExitOk) return rc;
  bool has_password = false;
  for (const line_ref& l : lines) has_password = has_password || (!l.plain_option && l.word == "user");
  if (has_password && (mode & kOthersMayRead) && !insecure) {
    std::fprintf(stderr,
                 "%s: holds passwords but others may read it (mode %04o); "
                 "run chmod 600 %s, or pass --insecure-config\n",
                 path, mode, path);
    return kExitFailed;
  }
  for (const line_ref& l : lines) {
    std::string msg;
    int rc = kExitOk;
    if (l.plain_option) {
      std::string kv = l.word + "=" + l.value;
      rc = apply_setting("opt", kv.c_str(), "", false, &msg);
    } else if (is_table_word(l.word)) {
      rc = apply_setting(l.word, l.value.c_str(), "", false, &msg);
    } else {
      out->given[l.word] = l.value;
    }
    if (rc != kExitOk) return fail_at(path, l.number, msg);
  }
  return kExitOk;
}

}  // namespace tw3cli
