// The host's naming rules as the share layer applies them: containment of
// a canonical path in a share root, and the names a Windows host would turn
// into something else (a stream, a device, another file). Pure decisions on
// text, so both rule sets are tested on every host.
#include <array>
#include <string_view>

#include "fs/fs.h"
#include "platform/platform.h"

namespace {

char fold(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c; }

bool equal_nocase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

// Names Win32 opens as devices whatever folder they are in, with or
// without an extension ("nul.txt" is NUL too).
constexpr std::array<std::string_view, 6> kDevices = {"con", "prn", "aux", "nul", "conin$", "conout$"};
constexpr std::array<std::string_view, 2> kNumberedDevices = {"com", "lpt"};
// Digits a numbered device takes: 0-9 and the superscripts 1, 2, 3 (UTF-8).
constexpr std::array<std::string_view, 13> kDeviceDigits = {"0", "1", "2", "3", "4", "5", "6", "7", "8",
                                                           "9", "\xC2\xB9", "\xC2\xB2", "\xC2\xB3"};
// Bytes no Windows name holds: ':' reaches an alternate data stream, the
// rest are wildcards and redirections.
constexpr std::string_view kWindowsRefused = ":*?\"<>|";

bool is_device_name(std::string_view component) {
  std::string_view base = component.substr(0, component.find('.'));
  while (!base.empty() && base.back() == ' ') base.remove_suffix(1);  // "NUL .txt" too
  for (std::string_view d : kDevices) {
    if (equal_nocase(base, d)) return true;
  }
  for (std::string_view d : kNumberedDevices) {
    if (base.size() <= d.size() || !equal_nocase(base.substr(0, d.size()), d)) continue;
    const std::string_view digit = base.substr(d.size());
    for (std::string_view n : kDeviceDigits) {
      if (digit == n) return true;
    }
  }
  return false;
}

}  // namespace

tw3_name_rules tw3_host_name_rules() { return {tw3_fs_sep(), tw3_fs_windows_names() != 0}; }

bool tw3_win_component_ok(std::string_view component) {
  if (component.empty()) return false;
  if (component.find_first_of(kWindowsRefused) != std::string_view::npos) return false;
  // Win32 drops a final dot or space, which opens another file.
  if (component.back() == '.' || component.back() == ' ') return false;
  return !is_device_name(component);
}

bool tw3_vpath_host_ok(std::string_view vpath, const tw3_name_rules& rules) {
  if (!rules.windows) return true;
  while (!vpath.empty()) {
    const size_t cut = vpath.find('/');
    if (!tw3_win_component_ok(vpath.substr(0, cut))) return false;
    if (cut == std::string_view::npos) break;
    vpath.remove_prefix(cut + 1);
  }
  return true;
}

bool tw3_path_inside(std::string_view path, std::string_view root, bool single_file, const tw3_name_rules& rules) {
  if (root.empty()) return true;
  if (path.size() < root.size()) return false;
  const std::string_view head = path.substr(0, root.size());
  if (rules.windows ? !equal_nocase(head, root) : head != root) return false;
  if (path.size() == root.size()) return true;
  if (single_file) return false;
  if (root.back() == rules.sep) return true;  // a drive root such as "D:\"
  return path[root.size()] == rules.sep;      // "C:\media" does not hold "C:\media2"
}
