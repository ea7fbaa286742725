// query_exact_certified and query_batch_exact_certified: results with their
// pruning certificate, as dictionaries.
#include <span>
#include <utility>

#include "engine/certify/certified.h"
#include "engine/format/content_hash.h"
#include "lib/convert.h"
#include "lib/engine_object.h"
#include "lib/errors.h"
#include "lib/query_common.h"

namespace lumvero::py {

namespace {

struct CertifiedCall : QueryCall {
  std::uint64_t block_size = 64;
  bool enable_pruning = true;
};

std::optional<CertifiedCall> begin_certified_call(PyObject* self, PyObject* args, PyObject* kwargs,
                                                  const char* function, const char* array_name,
                                                  int ndim) {
  const char* kwlist[] = {array_name, "k", "block_size", "enable_pruning", nullptr};
  const std::string format = std::string("OO|OO:") + function;
  PyObject *array_obj = nullptr, *k_obj = nullptr, *bs_obj = nullptr, *prune_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), const_cast<char**>(kwlist),
                                   &array_obj, &k_obj, &bs_obj, &prune_obj))
    return std::nullopt;
  CertifiedCall call;
  if (!take_engine_array_k(self, array_obj, k_obj, array_name, ndim, call)) return std::nullopt;
  if (bs_obj != nullptr) {
    const auto bs = to_u64(bs_obj, "block_size");
    if (!bs) return std::nullopt;
    call.block_size = *bs;
  }
  if (prune_obj != nullptr) {
    const auto prune = to_bool(prune_obj, "enable_pruning");
    if (!prune) return std::nullopt;
    call.enable_pruning = *prune;
  }
  call.array = checked_f32_array(array_obj, array_name, ndim);
  if (call.array == nullptr) return std::nullopt;
  return call;
}

template <class T, class Make>
PyObject* list_of(const std::vector<T>& values, Make make) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* item = make(values[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* float_of(float v) { return PyFloat_FromDouble(static_cast<double>(v)); }
PyObject* str_of(const std::string& s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyObject* result_entries(const std::vector<ScoredRow>& rows) {
  return list_of(rows, [](const ScoredRow& row) -> PyObject* {
    Ref entry = Ref::steal(PyDict_New());
    if (!entry || !dict_put(entry.get(), "idx", PyLong_FromUnsignedLongLong(row.idx)) ||
        !dict_put(entry.get(), "score", float_of(row.score)))
      return nullptr;
    return entry.release();
  });
}

PyObject* u64_of(std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); }

// The certificate's keys in their fixed order, each with how its value is
// made; a value is made only when its turn comes.
using CertificateField = std::pair<const char*, PyObject* (*)(const CertifiedResult&)>;
const CertificateField kCertificateFields[] = {
    {"total_candidates", [](const CertifiedResult& r) { return u64_of(r.total_candidates); }},
    {"pruned_candidates", [](const CertifiedResult& r) { return u64_of(r.pruned_candidates); }},
    {"full_evaluated", [](const CertifiedResult& r) { return u64_of(r.full_evaluated); }},
    {"kth_score", [](const CertifiedResult& r) { return float_of(r.kth_score); }},
    {"bound_rule", [](const CertifiedResult& r) { return str_of(r.bound_rule); }},
    {"safe", [](const CertifiedResult& r) { return PyBool_FromLong(r.safe); }},
    {"block_size", [](const CertifiedResult& r) { return u64_of(r.block_size); }},
    {"block_order",
     [](const CertifiedResult& r) {
       return list_of(r.block_order, [](auto b) { return u64_of(static_cast<std::uint64_t>(b)); });
     }},
    {"threshold_evolution",
     [](const CertifiedResult& r) { return list_of(r.threshold_evolution, float_of); }},
    {"enable_pruning", [](const CertifiedResult& r) { return PyBool_FromLong(r.enable_pruning); }},
    {"simd_path", [](const CertifiedResult& r) { return str_of(r.simd_path); }},
    {"compile_flags", [](const CertifiedResult& r) { return str_of(r.compile_flags); }},
    {"pruned_bound_values",
     [](const CertifiedResult& r) { return list_of(r.pruned_bound_values, float_of); }},
    {"bound_kind", [](const CertifiedResult& r) { return str_of(r.bound_kind); }},
};

PyObject* certificate_dict(const CertifiedResult& r) {
  Ref d = Ref::steal(PyDict_New());
  if (!d) return nullptr;
  for (const auto& [key, make] : kCertificateFields)
    if (!dict_put(d.get(), key, make(r))) return nullptr;
  return d.release();
}

PyObject* certified_dict(const CertifiedResult& r, const SearchEngine& engine, const float* query,
                         std::size_t dims) {
  Ref d = Ref::steal(PyDict_New());
  if (!d) return nullptr;
  if (!dict_put(d.get(), "results", result_entries(r.results)) ||
      !dict_put(d.get(), "query_time_ms", PyFloat_FromDouble(r.query_time_ms)) ||
      !dict_put(d.get(), "method_used", str_of(r.method_used)) ||
      !dict_put(d.get(), "index_hash", str_of(hash_hex(engine.index_hash))) ||
      !dict_put(d.get(), "query_hash", str_of(query_hash_hex(query, dims))) ||
      !dict_put(d.get(), "engine_version", PyUnicode_FromString(LUMVO_VERSION)) ||
      !put_index_fields(d.get(), engine) || !dict_put(d.get(), "certificate", certificate_dict(r)))
    return nullptr;
  return d.release();
}

}  // namespace

PyObject* query_exact_certified(PyObject* self, PyObject* args, PyObject* kwargs) {
  auto call = begin_certified_call(self, args, kwargs, "query_exact_certified", "query", 1);
  if (!call) return nullptr;
  const float* q = array_floats(call->array);
  const std::size_t n = static_cast<std::size_t>(PyArray_SIZE(call->array));
  auto found = or_raise(
      call->engine->query_certified({q, n}, call->k, call->block_size, call->enable_pruning));
  if (!found) return nullptr;
  return certified_dict(*found, *call->engine, q, n);
}

PyObject* query_batch_exact_certified(PyObject* self, PyObject* args, PyObject* kwargs) {
  auto call = begin_certified_call(self, args, kwargs, "query_batch_exact_certified", "queries", 2);
  if (!call) return nullptr;
  const SearchEngine& engine = *call->engine;
  const std::size_t rows = static_cast<std::size_t>(PyArray_DIM(call->array, 0));
  const std::size_t cols = static_cast<std::size_t>(PyArray_DIM(call->array, 1));
  // Fortran-ordered input is answered by its logical rows.
  Ref row_major;
  const float* values = row_major_queries(call->array, row_major);
  if (values == nullptr) return nullptr;
  auto found = or_raise(query_certified_batch(engine, {values, rows * cols}, cols, call->k,
                                              call->block_size, call->enable_pruning));
  if (!found) return nullptr;
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(found->size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < found->size(); ++i) {
    PyObject* d = certified_dict((*found)[i], engine, values + i * cols, cols);
    if (d == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), d);
  }
  return list.release();
}

}  // namespace lumvero::py
