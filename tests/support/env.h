// Setting and clearing an environment variable in a test, also on Windows,
// whose C runtime has _putenv_s in place of setenv and unsetenv.
#pragma once

#include <cstdlib>

namespace test_env {

inline void set(const char* name, const char* value) {
#if defined(_WIN32)
  _putenv_s(name, value);
#else
  setenv(name, value, 1);
#endif
}

inline void unset(const char* name) {
#if defined(_WIN32)
  _putenv_s(name, "");  // an empty value removes the variable
#else
  unsetenv(name);
#endif
}

}  // namespace test_env
