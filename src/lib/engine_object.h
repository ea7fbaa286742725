// PySearchEngine: the Python holder of one shared, immutable SearchEngine,
// and the declarations of its method bodies (one file per group).
#pragma once

#include <memory>

#include "engine/search_engine.h"
#include "lib/py_ref.h"

namespace lumvero::py {

PyTypeObject* search_engine_type();

// The engine held by a PySearchEngine receiver; a new shared handle keeps it
// alive for the whole call. Empty with TypeError set for a foreign receiver.
std::shared_ptr<const SearchEngine> hold_engine(PyObject* self);

// Single-query methods.
PyObject* query_exact(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* query_exact_arrays(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* query_exact_detailed(PyObject* self, PyObject* args, PyObject* kwargs);
// Batch methods.
PyObject* query_batch(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* query_batch_arrays(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* query_batch_detailed(PyObject* self, PyObject* args, PyObject* kwargs);
// Certified search.
PyObject* query_exact_certified(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* query_batch_exact_certified(PyObject* self, PyObject* args, PyObject* kwargs);
// Explain and compare.
PyObject* explain(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* compare(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace lumvero::py
