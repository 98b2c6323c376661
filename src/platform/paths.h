// Host-independent pieces of the file layer: the UTF-8 check every path
// goes through, and the rules for Windows-form paths (drive-letter and UNC
// paths with '\') that the Windows layer decides with. Plain text functions,
// so they are tested on every host.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool tw3_utf8_valid(const char* s, size_t n);

// A final path as GetFinalPathNameByHandleW gives it, in its usual form:
// "\\?\UNC\srv\share\x" becomes "\\srv\share\x", "\\?\C:\x" becomes "C:\x";
// anything else is returned unchanged.
std::string tw3_win_strip_final_prefix(std::string_view path);
// Whether two Windows paths name the same object as text: equal but for
// ASCII case (the file system's own case rules; other letters must match
// exactly, which can only refuse more).
bool tw3_win_same_path(std::string_view a, std::string_view b);
// The folder holding `path`: everything before its last '\', keeping the
// separator of a drive root ("C:\a" -> "C:\"); the path itself when it has
// no separator.
std::string tw3_win_parent(std::string_view path);
