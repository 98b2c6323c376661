// libFuzzer target for the path and pattern rules: tw3_vpath, tw3_pat_check,
// tw3_glob_match and the case-insensitive comparisons, each checked against a
// naive reference written here from the rules (not from the code), which
// must agree on every input. Input: text A, a zero byte, text B (each up to
// its zero byte); A is the path and the pattern, B the name.
#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_target.h"
#include "util/util.h"

namespace {

constexpr size_t kGlobSide = 300;  // the reference matcher is quadratic

bool is_sep(char c) { return c == '/' || c == '\\'; }
bool is_control(unsigned char c) { return c < 0x20 || c == 0x7F; }
unsigned char fold(unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; }

// The virtual path rules, step by step: 0 and the path, or -7.
int ref_vpath(std::string_view in, std::string* out) {
  out->clear();
  if (in.size() > static_cast<size_t>(TW3_VPATH_INPUT_MAX)) return -7;
  size_t i = 0;
  int depth = 0;
  for (;;) {
    while (i < in.size() && is_sep(in[i])) ++i;
    if (i == in.size()) return 0;
    size_t j = i;
    while (j < in.size() && !is_sep(in[j])) ++j;
    const std::string_view comp = in.substr(i, j - i);
    i = j;
    if (comp == "." || comp == "..") return -7;
    if (comp.size() > static_cast<size_t>(TW3_COMPONENT_MAX)) return -7;
    for (char c : comp)
      if (is_control(static_cast<unsigned char>(c))) return -7;
    if (comp.back() == '.' || comp.back() == ' ') return -7;
    if (++depth > TW3_DEPTH_MAX) return -7;
    if (out->size() + 1 + comp.size() > static_cast<size_t>(TW3_VPATH_MAX)) return -7;
    if (!out->empty()) *out += '/';
    *out += comp;
  }
}

int ref_pat_check(std::string_view p) {
  if (p.size() > static_cast<size_t>(TW3_PATTERN_MAX)) return -1;
  for (char c : p)
    if (is_sep(c) || is_control(static_cast<unsigned char>(c))) return -1;
  return 0;
}

// Whole-name match by dynamic programming over (pattern, name) suffixes.
int ref_glob(std::string_view p, std::string_view n) {
  const size_t P = p.size(), N = n.size();
  std::vector<char> m((P + 1) * (N + 1), 0);
  auto at = [&](size_t i, size_t j) -> char& { return m[i * (N + 1) + j]; };
  at(P, N) = 1;
  for (size_t i = P; i-- > 0;) {
    for (size_t j = N + 1; j-- > 0;) {
      const auto pc = static_cast<unsigned char>(p[i]);
      if (pc == '*') {
        at(i, j) = at(i + 1, j) || (j < N && at(i, j + 1));
      } else if (j < N && (pc == '?' || fold(pc) == fold(static_cast<unsigned char>(n[j])))) {
        at(i, j) = at(i + 1, j + 1);
      }
    }
  }
  return at(0, 0);
}

int ref_ncasecmp(std::string_view a, std::string_view b, size_t n) {
  for (size_t k = 0; k < n; ++k) {
    const int x = k < a.size() ? fold(static_cast<unsigned char>(a[k])) : 0;
    const int y = k < b.size() ? fold(static_cast<unsigned char>(b[k])) : 0;
    if (x != y || x == 0) return x - y;
  }
  return 0;
}

void check_vpath(const std::string& a) {
  std::string want;
  const int rc = ref_vpath(a, &want);
  char out[TW3_VPATH_MAX + 2];
  std::memset(out, 'X', sizeof out);
  TW3_FUZZ_CHECK(tw3_vpath(a.c_str(), out, sizeof out) == rc);
  if (rc != 0) {
    TW3_FUZZ_CHECK(out[0] == 'X');  // untouched on failure
    TW3_FUZZ_CHECK(tw3_vpath(a.c_str(), out, 0) == rc);
    return;
  }
  TW3_FUZZ_CHECK(want == out);
  // Exactly the path and its terminator must fit; one byte less is -8.
  const auto len = static_cast<int32_t>(want.size());
  std::memset(out, 'X', sizeof out);
  TW3_FUZZ_CHECK(tw3_vpath(a.c_str(), out, len) == -8 && out[0] == 'X');
  TW3_FUZZ_CHECK(tw3_vpath(a.c_str(), out, len + 1) == 0 && want == out);
  TW3_FUZZ_CHECK(tw3_vpath(a.c_str(), nullptr, len + 1) == -8);
  // A virtual path is its own normal form.
  char again[TW3_VPATH_MAX + 2];
  TW3_FUZZ_CHECK(tw3_vpath(out, again, sizeof again) == 0 && want == again);
}

}  // namespace

TW3_FUZZ_ENTRY(names) {
  const std::string_view all(reinterpret_cast<const char*>(data), size);
  const size_t cut = all.find('\0');
  const std::string a(all.substr(0, cut));
  std::string b;
  if (cut != std::string_view::npos) {
    const std::string_view rest = all.substr(cut + 1);
    b = std::string(rest.substr(0, rest.find('\0')));
  }
  check_vpath(a);
  TW3_FUZZ_CHECK(tw3_pat_check(a.c_str()) == ref_pat_check(a));
  const std::string gp = a.substr(0, kGlobSide), gn = b.substr(0, kGlobSide);
  TW3_FUZZ_CHECK(tw3_glob_match(gp.c_str(), gn.c_str()) == ref_glob(gp, gn));
  const size_t longest = std::max(a.size(), b.size()) + 1;
  TW3_FUZZ_CHECK(tw3_casecmp(a.c_str(), b.c_str()) == ref_ncasecmp(a, b, longest));
  for (size_t n : {size_t{0}, size_t{1}, std::min(a.size(), b.size()), longest})
    TW3_FUZZ_CHECK(tw3_ncasecmp(a.c_str(), b.c_str(), n) == ref_ncasecmp(a, b, n));
  return 0;
}
