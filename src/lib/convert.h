// Argument conversion for every entry point. Each converter either yields
// the value or returns empty with the Python exception already set, named
// after the argument as the error rules require.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "lib/numpy_bridge.h"

namespace lumvero::py {

// An integer through the index protocol, as an unsigned 64-bit value:
// not an integer -> TypeError (argument-prefixed); negative or too large ->
// the interpreter's OverflowError, unprefixed.
std::optional<std::uint64_t> to_u64(PyObject* obj, const char* name);

// Exactly a Python bool; 0, 1 and NumPy booleans are refused.
std::optional<bool> to_bool(PyObject* obj, const char* name);

// Exactly a Python str, as UTF-8.
std::optional<std::string> to_str(PyObject* obj, const char* name);

// A NumPy array (or subclass) of ndim dimensions whose dtype is equivalent
// to float32. Returns a borrowed pointer. Contiguity is checked separately.
PyArrayObject* to_f32_array(PyObject* obj, const char* name, int ndim);

// C- or Fortran-contiguous; otherwise TypeError "The given array is not contiguous".
bool require_contiguous(PyArrayObject* arr);

// to_f32_array then require_contiguous, for the last look at an array before
// the engine reads it. Integer arguments are converted through __index__,
// which runs Python code that may retype, reshape or restride the array in
// place; every entry point checks the array again after its last integer,
// so the engine only ever reads what was checked.
PyArrayObject* checked_f32_array(PyObject* obj, const char* name, int ndim);

// str from bytes that may not be valid UTF-8 (invalid sequences become U+FFFD).
PyObject* str_lossy(const std::string& bytes);

}  // namespace lumvero::py
