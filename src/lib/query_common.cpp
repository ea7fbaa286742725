// Parsing and checks shared by the query methods.
#include "lib/query_common.h"

#include "engine/format/content_hash.h"
#include "lib/convert.h"
#include "lib/engine_object.h"
#include "lib/errors.h"

namespace lumvero::py {

std::optional<QueryCall> begin_query_call(PyObject* self, PyObject* args, PyObject* kwargs,
                                          const char* function, const char* array_name, int ndim) {
  const char* kwlist[] = {array_name, "k", nullptr};
  std::string format = std::string("OO:") + function;
  PyObject *array_obj = nullptr, *k_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), const_cast<char**>(kwlist),
                                   &array_obj, &k_obj))
    return std::nullopt;
  QueryCall call;
  if (!take_engine_array_k(self, array_obj, k_obj, array_name, ndim, call)) return std::nullopt;
  call.array = checked_f32_array(array_obj, array_name, ndim);
  if (call.array == nullptr) return std::nullopt;
  return call;
}

bool take_engine_array_k(PyObject* self, PyObject* array_obj, PyObject* k_obj,
                         const char* array_name, int ndim, QueryCall& call) {
  call.engine = hold_engine(self);
  if (!call.engine) return false;
  call.array = to_f32_array(array_obj, array_name, ndim);
  if (call.array == nullptr) return false;
  const auto k = to_u64(k_obj, "k");
  if (!k) return false;
  call.k = *k;
  return true;
}

const float* row_major_queries(PyArrayObject* queries, Ref& keep) {
  if (PyArray_IS_C_CONTIGUOUS(queries)) return array_floats(queries);
  keep = Ref::steal(PyArray_NewCopy(queries, NPY_CORDER));
  if (!keep) return nullptr;
  return array_floats(reinterpret_cast<PyArrayObject*>(keep.get()));
}

std::string query_hash_hex(const float* values, std::size_t count) {
  return hash_hex(blake3_digest(values, count * sizeof(float)));
}

void fill_provenance(QueryResult& result, const SearchEngine& engine, std::string query_hash) {
  result.index_hash = hash_hex(engine.index_hash);
  result.query_hash = std::move(query_hash);
  result.engine_version = LUMVO_VERSION;
  result.metric = std::string(metric_name(engine.metric));
  result.normalized = engine.metric == Metric::Cosine;
  result.dims = engine.dims;
  result.rows = engine.rows;
  result.index_path = engine.path;
}

namespace {

template <class T>
void free_vector(PyObject* capsule) {
  delete static_cast<std::vector<T>*>(PyCapsule_GetPointer(capsule, "lumvero.vector"));
}

template <class T>
PyObject* adopt(std::vector<T>&& values, int typenum) {
  npy_intp length = static_cast<npy_intp>(values.size());
  if (values.empty()) return PyArray_SimpleNew(1, &length, typenum);
  auto owned = std::make_unique<std::vector<T>>(std::move(values));
  void* data = owned->data();
  Ref capsule = Ref::steal(PyCapsule_New(owned.get(), "lumvero.vector", free_vector<T>));
  if (!capsule) return nullptr;
  owned.release();  // the capsule frees it from now on
  Ref array = Ref::steal(PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(typenum), 1,
                                              &length, nullptr, data, NPY_ARRAY_CARRAY, nullptr));
  if (!array) return nullptr;
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), capsule.release()) < 0)
    return nullptr;
  return array.release();
}

}  // namespace

PyObject* array_from_vector(std::vector<std::uint64_t>&& values) {
  static_assert(sizeof(unsigned long) == sizeof(std::uint64_t));
  return adopt(std::move(values), NPY_ULONG);
}
PyObject* array_from_vector(std::vector<float>&& values) {
  return adopt(std::move(values), NPY_FLOAT32);
}
PyObject* array_from_vector(std::vector<double>&& values) {
  return adopt(std::move(values), NPY_FLOAT64);
}

bool dict_put(PyObject* dict, const char* key, PyObject* value) {
  Ref owned = Ref::steal(value);
  if (!owned) return false;
  return PyDict_SetItemString(dict, key, owned.get()) == 0;
}

PyObject* index_path_str(const SearchEngine& engine) { return str_lossy(engine.path); }

bool put_index_fields(PyObject* dict, const SearchEngine& engine) {
  return dict_put(dict, "metric", metric_str(engine)) &&
         dict_put(dict, "normalized", PyBool_FromLong(engine.metric == Metric::Cosine)) &&
         dict_put(dict, "dims", PyLong_FromUnsignedLongLong(engine.dims)) &&
         dict_put(dict, "rows", PyLong_FromUnsignedLongLong(engine.rows)) &&
         dict_put(dict, "index_path", index_path_str(engine));
}

PyObject* metric_str(const SearchEngine& engine) {
  const auto name = metric_name(engine.metric);
  return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}

}  // namespace lumvero::py
