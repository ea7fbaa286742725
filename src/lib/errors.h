// Turning failures into Python exceptions at the call boundary.
#pragma once

#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "engine/status.h"
#include "lib/py_ref.h"

namespace lumvero::py {

// The PanicException class (derives from BaseException); created once.
PyObject* panic_exception_type();

// Writes the short report to stderr, then sets PanicException.
void raise_panic(const char* message, const char* file, int line);

inline void raise_value_error(const std::string& text) {
  PyErr_SetString(PyExc_ValueError, text.c_str());
}

// The value of an engine or writer result; on failure its text is raised
// as ValueError and the optional is empty.
template <class T>
requires(!std::is_void_v<T>) std::optional<T> or_raise(Result<T>&& result) {
  if (result) return std::optional<T>(std::move(*result));
  raise_value_error(result.error());
  return std::nullopt;
}

inline bool or_raise(Status&& status) {
  if (status) return true;
  raise_value_error(status.error());
  return false;
}

// Re-raises a pending TypeError as "argument '{name}': {message}", keeping
// its __cause__. Any other pending exception is left as it is.
void wrap_argument_error(const char* name);

// Runs an entry point body; no C++ exception crosses into the interpreter.
// Returns the body's new reference, or nullptr with an exception set.
template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return std::forward<F>(body)();
  } catch (const Panic& p) {
    raise_panic(p.what(), p.file(), p.line());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(e.what(), "<unknown>", 0);
  } catch (...) {
    raise_panic(nullptr, "<unknown>", 0);
  }
  return nullptr;
}

}  // namespace lumvero::py
