// System error texts in the one form every message uses: "{description} (os error {code})".
#pragma once

#include <cerrno>
#include <cstring>
#include <string>

namespace lumvero {

inline std::string os_error_text(int err) {
  char buf[256];
  // GNU strerror_r may return a static string instead of filling buf.
  const char* text = strerror_r(err, buf, sizeof buf);
  return std::string(text) + " (os error " + std::to_string(err) + ")";
}

inline std::string last_os_error() { return os_error_text(errno); }

}  // namespace lumvero
