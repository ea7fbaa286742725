// Failure values shared by the engine and the writer.
//
// Every fallible operation returns Result<T>: the value, or the exact error
// text that the Python layer raises as ValueError. Only src/lib turns these
// into exceptions. Panic is reserved for broken internal invariants; the
// pool and the Python call boundary catch it, so it never escapes a worker
// thread or an entry point.
#pragma once

#include <expected>
#include <stdexcept>
#include <string>
#include <string_view>

namespace lumvero {

template <class T>
using Result = std::expected<T, std::string>;
using Status = std::expected<void, std::string>;

inline std::unexpected<std::string> fail(std::string text) {
  return std::unexpected<std::string>(std::move(text));
}

// Paths reach the operating system as C strings, which end at the first NUL:
// a path holding one would name another file. The text is Python's own.
inline constexpr std::string_view kEmbeddedNul = "embedded null byte";
inline bool has_embedded_nul(std::string_view path) {
  return path.find('\0') != std::string_view::npos;
}

// A failed internal assertion. Carries the source location for the report.
class Panic : public std::logic_error {
 public:
  Panic(const std::string& what, const char* file, int line)
      : std::logic_error(what), file_(file), line_(line) {}
  const char* file() const noexcept { return file_; }
  int line() const noexcept { return line_; }

 private:
  const char* file_;
  int line_;
};

[[noreturn]] inline void panic(const std::string& what, const char* file, int line) {
  throw Panic(what, file, line);
}

}  // namespace lumvero

#define LUMVO_ASSERT(cond, msg)                               \
  do {                                                        \
    if (!(cond)) ::lumvero::panic((msg), __FILE__, __LINE__); \
  } while (0)
