// Name rules: canonical virtual paths, search patterns, wildcard matching and
// ASCII case-insensitive comparison. They work on UTF-8 bytes only, so the
// rules are the same whatever host file system sits below.
#include <cstring>
#include <string_view>

#include "util/util.h"

namespace {

constexpr size_t kVpathArea = 1048;  // holds TW3_VPATH_MAX bytes and a terminator

bool is_sep(char c) { return c == '/' || c == '\\'; }
bool is_control(unsigned char c) { return c < 0x20 || c == 0x7F; }
unsigned char fold(unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + 32) : c; }

// The first rule a single component breaks, whatever its place in a path.
enum class fault { none, dot, dotdot, too_long, control, trailing };

fault component_fault(std::string_view comp) {
  if (comp == ".") return fault::dot;
  if (comp == "..") return fault::dotdot;
  if (comp.size() > TW3_COMPONENT_MAX) return fault::too_long;
  for (char c : comp)
    if (is_control(static_cast<unsigned char>(c))) return fault::control;
  if (comp.back() == '.' || comp.back() == ' ') return fault::trailing;
  return fault::none;
}

// 0, or -7 with the message of the first rule the component breaks.
int check_component(std::string_view comp, int depth, size_t out_len) {
  switch (component_fault(comp)) {
    case fault::dot: return tw3_fail(TW3_ENAME, "\".\" is not a valid name component");
    case fault::dotdot: return tw3_fail(TW3_ENAME, "\"..\" is not a valid name component");
    case fault::too_long: return tw3_fail(TW3_ENAME, "name component longer than %d bytes", TW3_COMPONENT_MAX);
    case fault::control: return tw3_fail(TW3_ENAME, "control byte in a name component");
    case fault::trailing: return tw3_fail(TW3_ENAME, "name component ends in a dot or a space");
    case fault::none: break;
  }
  if (depth >= TW3_DEPTH_MAX) return tw3_fail(TW3_ENAME, "deeper than %d components", TW3_DEPTH_MAX);
  if (out_len + 1 + comp.size() > TW3_VPATH_MAX)
    return tw3_fail(TW3_ENAME, "path longer than %d bytes", TW3_VPATH_MAX);
  return 0;
}

}  // namespace

bool tw3_component_ok(std::string_view comp) {
  return !comp.empty() && comp.find_first_of("/\\") == std::string_view::npos &&
         component_fault(comp) == fault::none;
}

int tw3_vpath(const char* in, char* out, int32_t out_size) {
  char area[kVpathArea];
  size_t len = 0;
  if (in) {
    const size_t in_len = strnlen(in, TW3_VPATH_INPUT_MAX + 1);
    if (in_len > TW3_VPATH_INPUT_MAX)
      return tw3_fail(TW3_ENAME, "name longer than %d bytes", TW3_VPATH_INPUT_MAX);
    const std::string_view s(in, in_len);
    int depth = 0;
    size_t i = 0;
    while (true) {
      while (i < s.size() && is_sep(s[i])) i++;
      if (i >= s.size()) break;
      size_t end = i;
      while (end < s.size() && !is_sep(s[end])) end++;
      const std::string_view comp = s.substr(i, end - i);
      if (int rc = check_component(comp, depth, len); rc != 0) return rc;
      if (depth > 0) area[len++] = '/';
      std::memcpy(area + len, comp.data(), comp.size());
      len += comp.size();
      depth++;
      i = end;
    }
  }
  if (!out || out_size <= 0 || static_cast<size_t>(out_size) <= len)
    return tw3_fail(TW3_ESPACE, "the name needs %d bytes", static_cast<int>(len + 1));
  std::memcpy(out, area, len);
  out[len] = '\0';
  return 0;
}

int tw3_pat_check(const char* pattern) {
  if (!pattern) return tw3_fail(TW3_EINVAL, "NULL pattern");
  const size_t n = strnlen(pattern, TW3_PATTERN_MAX + 1);
  if (n > TW3_PATTERN_MAX) return tw3_fail(TW3_EINVAL, "pattern longer than %d bytes", TW3_PATTERN_MAX);
  for (size_t i = 0; i < n; i++) {
    const auto c = static_cast<unsigned char>(pattern[i]);
    if (is_sep(static_cast<char>(c))) return tw3_fail(TW3_EINVAL, "the pattern is a leaf name only");
    if (is_control(c)) return tw3_fail(TW3_EINVAL, "control byte in the pattern");
  }
  return 0;
}

int tw3_glob_match(const char* pattern, const char* name) {
  if (!pattern || !name) return 0;
  const auto* p = reinterpret_cast<const unsigned char*>(pattern);
  const auto* s = reinterpret_cast<const unsigned char*>(name);
  const unsigned char* star = nullptr;  // the last '*' seen
  const unsigned char* star_s = nullptr;  // the name position it was taken at
  while (*s) {
    if (*p == '*') {
      star = p++;
      star_s = s;
    } else if (*p && (*p == '?' || fold(*p) == fold(*s))) {
      p++;
      s++;
    } else if (star) {
      p = star + 1;
      s = ++star_s;
    } else {
      return 0;
    }
  }
  while (*p == '*') p++;
  return *p == '\0' ? 1 : 0;
}

int tw3_casecmp(const char* a, const char* b) {
  return tw3_ncasecmp(a, b, static_cast<size_t>(-1));
}

int tw3_ncasecmp(const char* a, const char* b, size_t n) {
  const auto* x = reinterpret_cast<const unsigned char*>(a ? a : "");
  const auto* y = reinterpret_cast<const unsigned char*>(b ? b : "");
  for (size_t i = 0; i < n; i++) {
    const int d = fold(x[i]) - fold(y[i]);
    if (d != 0 || x[i] == 0) return d;
  }
  return 0;
}
