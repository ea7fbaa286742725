// query_exact, query_exact_arrays, query_exact_detailed.
#include <span>

#include "engine/format/content_hash.h"
#include "lib/engine_object.h"
#include "lib/errors.h"
#include "lib/query_common.h"
#include "lib/result_types.h"

namespace lumvero::py {

namespace {

std::span<const float> query_span(const QueryCall& call) {
  return {array_floats(call.array), static_cast<std::size_t>(PyArray_SIZE(call.array))};
}

}  // namespace

PyObject* query_exact(PyObject* self, PyObject* args, PyObject* kwargs) {
  auto call = begin_query_call(self, args, kwargs, "query_exact", "query", 1);
  if (!call) return nullptr;
  auto found = or_raise(call->engine->query_single(query_span(*call), call->k));
  if (!found) return nullptr;
  return wrap_query_result(std::move(*found));
}

PyObject* query_exact_arrays(PyObject* self, PyObject* args, PyObject* kwargs) {
  auto call = begin_query_call(self, args, kwargs, "query_exact_arrays", "query", 1);
  if (!call) return nullptr;
  const SearchEngine& engine = *call->engine;
  auto found = or_raise(engine.query_single(query_span(*call), call->k));
  if (!found) return nullptr;
  std::vector<std::uint64_t> indices;
  std::vector<float> scores;
  indices.reserve(found->results.size());
  scores.reserve(found->results.size());
  for (const auto& row : found->results) {
    indices.push_back(row.idx);
    scores.push_back(row.score);
  }
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return nullptr;
  const std::string& method = found->method_used;
  if (!dict_put(dict.get(), "indices", array_from_vector(std::move(indices))) ||
      !dict_put(dict.get(), "scores", array_from_vector(std::move(scores))) ||
      !dict_put(dict.get(), "query_time_ms", PyFloat_FromDouble(found->query_time_ms)) ||
      !dict_put(
          dict.get(), "method_used",
          PyUnicode_FromStringAndSize(method.data(), static_cast<Py_ssize_t>(method.size()))) ||
      !dict_put(dict.get(), "index_hash",
                PyUnicode_FromString(hash_hex(engine.index_hash).c_str())) ||
      !put_index_fields(dict.get(), engine))
    return nullptr;
  return dict.release();
}

PyObject* query_exact_detailed(PyObject* self, PyObject* args, PyObject* kwargs) {
  auto call = begin_query_call(self, args, kwargs, "query_exact_detailed", "query", 1);
  if (!call) return nullptr;
  const auto span = query_span(*call);
  std::string hash = query_hash_hex(span.data(), span.size());
  auto found = or_raise(call->engine->query_single(span, call->k));
  if (!found) return nullptr;
  fill_provenance(*found, *call->engine, std::move(hash));
  return wrap_query_result(std::move(*found));
}

}  // namespace lumvero::py
