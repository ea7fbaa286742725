// query_batch, query_batch_arrays, query_batch_detailed.
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "engine/search/batch_query.h"
#include "lib/engine_object.h"
#include "lib/errors.h"
#include "lib/query_common.h"
#include "lib/result_types.h"

namespace lumvero::py {

namespace {

struct BatchInput {
  std::span<const float> values;  // row-major, n x d
  std::size_t rows = 0;
  std::size_t cols = 0;
};

std::optional<BatchInput> batch_input(QueryCall& call) {
  const float* values = row_major_queries(call.array, call.row_major);
  if (values == nullptr) return std::nullopt;
  BatchInput in;
  in.rows = static_cast<std::size_t>(PyArray_DIM(call.array, 0));
  in.cols = static_cast<std::size_t>(PyArray_DIM(call.array, 1));
  in.values = {values, in.rows * in.cols};
  return in;
}

Result<std::vector<QueryResult>> run_batch(QueryCall& call, const BatchInput& in) {
  return call.engine->query_batch(in.values, in.cols, call.k);
}

// Parses and runs a plain batch call; `engine` keeps the receiver's engine
// for the index fields. Empty with a Python exception set on failure.
std::optional<std::vector<QueryResult>> batch_call(PyObject* self, PyObject* args, PyObject* kwargs,
                                                   const char* function,
                                                   std::shared_ptr<const SearchEngine>* engine) {
  auto call = begin_query_call(self, args, kwargs, function, "queries", 2);
  if (!call) return std::nullopt;
  auto in = batch_input(*call);
  if (!in) return std::nullopt;
  auto found = or_raise(run_batch(*call, *in));
  if (!found) return std::nullopt;
  if (engine != nullptr) *engine = call->engine;
  return std::move(*found);
}

// The strategy names of a batch, one str per query.
PyObject* method_names(const std::vector<QueryResult>& results) {
  Ref methods = Ref::steal(PyList_New(static_cast<Py_ssize_t>(results.size())));
  if (!methods) return nullptr;
  for (std::size_t i = 0; i < results.size(); ++i) {
    const std::string& m = results[i].method_used;
    PyObject* name = PyUnicode_FromStringAndSize(m.data(), static_cast<Py_ssize_t>(m.size()));
    if (name == nullptr) return nullptr;
    PyList_SET_ITEM(methods.get(), static_cast<Py_ssize_t>(i), name);
  }
  return methods.release();
}

PyObject* result_list(std::vector<QueryResult>&& results) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(results.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < results.size(); ++i) {
    PyObject* item = wrap_query_result(std::move(results[i]));
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

// A new C-ordered rows x width array filled from each result by `pick`;
// every result must hold exactly `width` entries.
template <class T, class Pick>
PyObject* matrix_from_results(const std::vector<QueryResult>& results, std::size_t width,
                              int typenum, Pick pick) {
  npy_intp shape[2] = {static_cast<npy_intp>(results.size()), static_cast<npy_intp>(width)};
  Ref array = Ref::steal(PyArray_SimpleNew(2, shape, typenum));
  if (!array) return nullptr;
  T* out = static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
  for (std::size_t i = 0; i < results.size(); ++i) {
    const auto& rows = results[i].results;
    if (rows.size() != width) {
      raise_value_error("invalid length: " + std::to_string(rows.size()) + ", but expected " +
                        std::to_string(width));
      return nullptr;
    }
    for (std::size_t j = 0; j < width; ++j) out[i * width + j] = pick(rows[j]);
  }
  return array.release();
}

}  // namespace

PyObject* query_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  auto found = batch_call(self, args, kwargs, "query_batch", nullptr);
  if (!found) return nullptr;
  return result_list(std::move(*found));
}

PyObject* query_batch_arrays(PyObject* self, PyObject* args, PyObject* kwargs) {
  std::shared_ptr<const SearchEngine> engine;
  auto found = batch_call(self, args, kwargs, "query_batch_arrays", &engine);
  if (!found) return nullptr;
  const auto& results = *found;
  const std::size_t width = results.empty() ? 0 : results.front().results.size();

  Ref indices = Ref::steal(matrix_from_results<npy_ulong>(
      results, width, NPY_ULONG, [](const ScoredRow& r) { return static_cast<npy_ulong>(r.idx); }));
  if (!indices) return nullptr;
  Ref scores = Ref::steal(matrix_from_results<float>(results, width, NPY_FLOAT32,
                                                     [](const ScoredRow& r) { return r.score; }));
  if (!scores) return nullptr;
  std::vector<double> times;
  times.reserve(results.size());
  for (const QueryResult& r : results) times.push_back(r.query_time_ms);
  Ref methods = Ref::steal(method_names(results));
  if (!methods) return nullptr;

  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return nullptr;
  if (!dict_put(dict.get(), "indices", indices.release()) ||
      !dict_put(dict.get(), "scores", scores.release()) ||
      !dict_put(dict.get(), "query_time_ms", array_from_vector(std::move(times))) ||
      !dict_put(dict.get(), "method_used", methods.release()) ||
      !put_index_fields(dict.get(), *engine))
    return nullptr;
  return dict.release();
}

PyObject* query_batch_detailed(PyObject* self, PyObject* args, PyObject* kwargs) {
  auto call = begin_query_call(self, args, kwargs, "query_batch_detailed", "queries", 2);
  if (!call) return nullptr;
  auto in = batch_input(*call);
  if (!in) return nullptr;
  const SearchEngine& engine = *call->engine;
  // Checked before the query hashes are computed for a batch that fails.
  if (!or_raise(check_query_matrix(engine, in->values.size(), in->cols))) return nullptr;
  std::vector<std::string> hashes;
  hashes.reserve(in->rows);
  for (std::size_t i = 0; i < in->rows; ++i)
    hashes.push_back(query_hash_hex(in->values.data() + i * in->cols, in->cols));

  auto found = or_raise(run_batch(*call, *in));
  if (!found) return nullptr;
  auto& results = *found;
  const std::size_t paired = std::min(results.size(), hashes.size());
  results.resize(paired);
  for (std::size_t i = 0; i < paired; ++i)
    fill_provenance(results[i], engine, std::move(hashes[i]));
  return result_list(std::move(results));
}

}  // namespace lumvero::py
