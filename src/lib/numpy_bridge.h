// NumPy's C API, reached through the array-API capsule that module
// initialisation imports once (import_numpy). Include this header, never
// numpy/arrayobject.h directly, so every translation unit shares one table.
#pragma once

#include "lib/py_ref.h"

#define PY_ARRAY_UNIQUE_SYMBOL lumvero_ARRAY_API
#ifndef LUMVO_NUMPY_IMPORT
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace lumvero::py {

// Loads the API table; false with a Python exception set on failure.
bool import_numpy();

}  // namespace lumvero::py
