// Shared steps of the query methods: argument handling, NumPy arrays that
// take over engine vectors, provenance fields and dictionary building.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/search_engine.h"
#include "lib/numpy_bridge.h"

namespace lumvero::py {

struct QueryCall {
  std::shared_ptr<const SearchEngine> engine;
  PyArrayObject* array = nullptr;  // borrowed from the call's arguments
  std::uint64_t k = 0;
  Ref row_major;  // owned C-ordered copy when the caller passed Fortran order
};

// Parses (array, k[, block_size, enable_pruning]), holds the receiver,
// converts the array, then k, then checks contiguity. Empty with a Python
// exception set on failure.
std::optional<QueryCall> begin_query_call(PyObject* self, PyObject* args, PyObject* kwargs,
                                          const char* function, const char* array_name, int ndim);

// The first steps of every query method: holds the receiver, converts the
// array (type and element type only; the caller checks contiguity after its
// other arguments), then k. False with a Python exception set on failure.
bool take_engine_array_k(PyObject* self, PyObject* array_obj, PyObject* k_obj,
                         const char* array_name, int ndim, QueryCall& call);

// The array's values as the engine reads them.
inline const float* array_floats(PyArrayObject* arr) {
  return static_cast<const float*>(PyArray_DATA(arr));
}

// For a matrix of queries: Fortran-ordered input is handed over in logical
// row order (a C-ordered copy kept alive in `keep`).
// Returns the row-major values, or nullptr with an exception set.
const float* row_major_queries(PyArrayObject* queries, Ref& keep);

std::string query_hash_hex(const float* values, std::size_t count);

// Sets the eight provenance fields of a detailed result.
void fill_provenance(QueryResult& result, const SearchEngine& engine, std::string query_hash);

// One-dimensional arrays that own the vector's memory (no copy).
PyObject* array_from_vector(std::vector<std::uint64_t>&& values);
PyObject* array_from_vector(std::vector<float>&& values);
PyObject* array_from_vector(std::vector<double>&& values);

// dict[key] = value, stealing value; false with an exception set on failure.
bool dict_put(PyObject* dict, const char* key, PyObject* value);

PyObject* index_path_str(const SearchEngine& engine);

// Inserts "metric", "normalized", "dims", "rows" and "index_path", in that order.
bool put_index_fields(PyObject* dict, const SearchEngine& engine);
PyObject* metric_str(const SearchEngine& engine);

}  // namespace lumvero::py
