// Setting and removing environment variables in tests, on both hosts.
// Windows drops a variable set to the empty text, so values are non-empty.
#pragma once

#include <cstdlib>

inline void tw3_test_setenv(const char* name, const char* value) {
#if defined(_WIN32)
  _putenv_s(name, value);
#else
  ::setenv(name, value, 1);
#endif
}

inline void tw3_test_unsetenv(const char* name) {
#if defined(_WIN32)
  _putenv_s(name, "");
#else
  ::unsetenv(name);
#endif
}
