// PyQueryResult and PyQueryItem: immutable copies of an engine result.
#include "lib/result_types.h"

#include <cstdio>
#include <memory>
#include <new>
#include <utility>

#include "lib/errors.h"

namespace lumvero::py {

namespace {

struct QueryResultObject {
  PyObject_HEAD QueryResult value;
};

struct QueryItemObject {
  PyObject_HEAD ScoredRow value;
};

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined");
  return nullptr;
}

template <class Object>
void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(&reinterpret_cast<Object*>(self)->value);
  type->tp_free(self);
  Py_DECREF(type);  // heap types own a reference from each instance
}

const QueryResult& result_of(PyObject* self) {
  return reinterpret_cast<QueryResultObject*>(self)->value;
}

PyObject* opt_str(const std::optional<std::string>& s) {
  if (!s) Py_RETURN_NONE;
  return PyUnicode_FromStringAndSize(s->data(), static_cast<Py_ssize_t>(s->size()));
}

PyObject* opt_u64(const std::optional<std::uint64_t>& v) {
  if (!v) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(*v);
}

PyObject* new_item(const ScoredRow& row) {
  PyTypeObject* type = query_item_type();
  if (type == nullptr) return nullptr;
  PyObject* obj = type->tp_alloc(type, 0);
  if (obj == nullptr) return nullptr;
  new (&reinterpret_cast<QueryItemObject*>(obj)->value) ScoredRow(row);
  return obj;
}

PyObject* get_results(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const auto& rows = result_of(self).results;
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(rows.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      PyObject* item = new_item(rows[i]);
      if (item == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
  });
}

PyObject* get_time(PyObject* self, void*) {
  return PyFloat_FromDouble(result_of(self).query_time_ms);
}
PyObject* get_method(PyObject* self, void*) {
  const auto& m = result_of(self).method_used;
  return PyUnicode_FromStringAndSize(m.data(), static_cast<Py_ssize_t>(m.size()));
}
PyObject* get_index_hash(PyObject* self, void*) { return opt_str(result_of(self).index_hash); }
PyObject* get_query_hash(PyObject* self, void*) { return opt_str(result_of(self).query_hash); }
PyObject* get_version(PyObject* self, void*) { return opt_str(result_of(self).engine_version); }
PyObject* get_metric(PyObject* self, void*) { return opt_str(result_of(self).metric); }
PyObject* get_normalized(PyObject* self, void*) {
  const auto& n = result_of(self).normalized;
  if (!n) Py_RETURN_NONE;
  return PyBool_FromLong(*n);
}
PyObject* get_dims(PyObject* self, void*) { return opt_u64(result_of(self).dims); }
PyObject* get_rows(PyObject* self, void*) { return opt_u64(result_of(self).rows); }
PyObject* get_path(PyObject* self, void*) {
  const auto& p = result_of(self).index_path;
  if (!p) Py_RETURN_NONE;
  return PyUnicode_DecodeUTF8(p->data(), static_cast<Py_ssize_t>(p->size()), "replace");
}

PyObject* result_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const QueryResult& r = result_of(self);
    char time[64];
    std::snprintf(time, sizeof time, "%.3f", r.query_time_ms);
    return PyUnicode_FromFormat("<PyQueryResult results=%zu time=%sms method=%s>", r.results.size(),
                                time, r.method_used.c_str());
  });
}

PyGetSetDef result_getset[] = {
    {"results", get_results, nullptr, "", nullptr},
    {"query_time_ms", get_time, nullptr, "", nullptr},
    {"method_used", get_method, nullptr, "", nullptr},
    {"index_hash", get_index_hash, nullptr, "", nullptr},
    {"query_hash", get_query_hash, nullptr, "", nullptr},
    {"engine_version", get_version, nullptr, "", nullptr},
    {"metric", get_metric, nullptr, "", nullptr},
    {"normalized", get_normalized, nullptr, "", nullptr},
    {"dims", get_dims, nullptr, "", nullptr},
    {"rows", get_rows, nullptr, "", nullptr},
    {"index_path", get_path, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* get_idx(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(reinterpret_cast<QueryItemObject*>(self)->value.idx);
}
PyObject* get_score(PyObject* self, void*) {
  return PyFloat_FromDouble(
      static_cast<double>(reinterpret_cast<QueryItemObject*>(self)->value.score));
}

PyGetSetDef item_getset[] = {
    {"idx", get_idx, nullptr, "", nullptr},
    {"score", get_score, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot result_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<QueryResultObject>)},
    {Py_tp_repr, reinterpret_cast<void*>(result_repr)},
    {Py_tp_getset, result_getset},
    {0, nullptr},
};

PyType_Slot item_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<QueryItemObject>)},
    {Py_tp_getset, item_getset},
    {0, nullptr},
};

PyType_Spec result_spec = {"lumvero.PyQueryResult", sizeof(QueryResultObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, result_slots};
PyType_Spec item_spec = {"lumvero.PyQueryItem", sizeof(QueryItemObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, item_slots};

}  // namespace

PyTypeObject* query_result_type() {
  static PyObject* type = nullptr;
  return type_once(type, &result_spec);
}

PyTypeObject* query_item_type() {
  static PyObject* type = nullptr;
  return type_once(type, &item_spec);
}

PyObject* wrap_query_result(QueryResult&& result) {
  PyTypeObject* type = query_result_type();
  if (type == nullptr) return nullptr;
  PyObject* obj = type->tp_alloc(type, 0);
  if (obj == nullptr) return nullptr;
  new (&reinterpret_cast<QueryResultObject*>(obj)->value) QueryResult(std::move(result));
  return obj;
}

}  // namespace lumvero::py
