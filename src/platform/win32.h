// Shared pieces of the Windows host layer: the system headers, UTF-8 <->
// UTF-16 conversion with invalid sequences refused, and the long-path form.
// Included only by src/platform/*_win32.cpp.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <string>
#include <string_view>

namespace tw3w {

// Strict UTF-8 to UTF-16; false (out unchanged) for invalid input.
bool to_wide(std::string_view utf8, std::wstring* out);
// UTF-16 to UTF-8; false for unpaired surrogates.
bool to_utf8(std::wstring_view wide, std::string* out);
// The form every file call gets: the full path (relative parts and '/'
// resolved) behind "\\?\" (or "\\?\UNC\" for a "\\server\share" path), so
// paths past MAX_PATH work and Win32 does not rewrite names (reserved
// device names, trailing dots). False when the path is not valid UTF-8.
bool host_path(const char* utf8, std::wstring* out);
// The message of a Win32 or Winsock error code, in UTF-8, without the
// trailing line break; "error N" when the system has none.
std::string error_text(unsigned long code);
// Opens a folder (canonical path) without following a reparse point
// anywhere on it, as the file layer's opens do; `flags` are added to
// FILE_FLAG_BACKUP_SEMANTICS. The handle, or null for anything but a folder
// reached directly.
HANDLE open_folder_nofollow(const char* utf8, DWORD access, DWORD flags);

// A FILETIME (100 ns units since 1601-01-01) as whole Unix seconds.
inline int64_t unix_of(const FILETIME& ft) {
  constexpr uint64_t kTicksPerSecond = 10000000;
  constexpr int64_t kEpochDelta = 11644473600;  // 1601-01-01 to 1970-01-01, seconds
  const uint64_t t = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return static_cast<int64_t>(t / kTicksPerSecond) - kEpochDelta;
}

}  // namespace tw3w
