// Text and path conversion for the Windows host layer.
#include <cstdio>

#include "platform/paths.h"
#include "platform/win32.h"

namespace tw3w {

bool to_wide(std::string_view utf8, std::wstring* out) {
  if (utf8.empty()) {
    out->clear();
    return true;
  }
  // MultiByteToWideChar lets some invalid forms through on old systems;
  // the shared validator decides.
  if (!tw3_utf8_valid(utf8.data(), utf8.size()) || utf8.size() > 0x7FFFFFFF) return false;
  const int in_len = static_cast<int>(utf8.size());
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), in_len, nullptr, 0);
  if (n <= 0) return false;
  std::wstring w(static_cast<size_t>(n), L'\0');
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), in_len, w.data(), n) != n) return false;
  *out = std::move(w);
  return true;
}

bool to_utf8(std::wstring_view wide, std::string* out) {
  if (wide.empty()) {
    out->clear();
    return true;
  }
  if (wide.size() > 0x7FFFFFFF) return false;
  const int in_len = static_cast<int>(wide.size());
  const int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), in_len, nullptr, 0,
                                    nullptr, nullptr);
  if (n <= 0) return false;
  std::string s(static_cast<size_t>(n), '\0');
  if (WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), in_len, s.data(), n, nullptr,
                          nullptr) != n) {
    return false;
  }
  *out = std::move(s);
  return true;
}

bool host_path(const char* utf8, std::wstring* out) {
  std::wstring w;
  if (utf8 == nullptr || utf8[0] == '\0' || !to_wide(utf8, &w)) return false;
  if (w.rfind(L"\\\\?\\", 0) == 0 || w.rfind(L"\\\\.\\", 0) == 0) {
    *out = std::move(w);  // already in a namespace form: taken as it is
    return true;
  }
  const DWORD need = GetFullPathNameW(w.c_str(), 0, nullptr, nullptr);
  if (need == 0) return false;
  std::wstring full(need, L'\0');
  const DWORD got = GetFullPathNameW(w.c_str(), need, full.data(), nullptr);
  if (got == 0 || got >= need) return false;
  full.resize(got);
  if (full.rfind(L"\\\\", 0) == 0) {
    *out = L"\\\\?\\UNC\\" + full.substr(2);
  } else {
    *out = L"\\\\?\\" + full;
  }
  return true;
}

std::string error_text(unsigned long code) {
  wchar_t* msg = nullptr;
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, code, 0, reinterpret_cast<wchar_t*>(&msg), 0, nullptr);
  std::string text;
  const bool ok = n > 0 && msg != nullptr && to_utf8({msg, n}, &text);
  if (msg != nullptr) LocalFree(msg);
  while (ok && !text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' ||
                                 text.back() == '.')) {
    text.pop_back();
  }
  if (!ok || text.empty()) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "error %lu", code);
    return buf;
  }
  return text;
}

}  // namespace tw3w
