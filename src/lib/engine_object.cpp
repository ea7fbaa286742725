// The PySearchEngine type: construction, dims(), rows() and the method table.
#include "lib/engine_object.h"

#include <memory>
#include <new>
#include <optional>
#include <string>

#include "engine/format/mapping.h"
#include "lib/convert.h"
#include "lib/errors.h"

namespace lumvero::py {

namespace {

struct EngineObject {
  PyObject_HEAD std::shared_ptr<const SearchEngine> engine;
};

EngineObject* as_engine(PyObject* self) { return reinterpret_cast<EngineObject*>(self); }

PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"bin_path", "ann", nullptr};
    PyObject *bin_path_obj = nullptr, *ann_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:PySearchEngine", const_cast<char**>(kwlist),
                                     &bin_path_obj, &ann_obj))
      return nullptr;
    auto bin_path = to_str(bin_path_obj, "bin_path");
    if (!bin_path) return nullptr;
    if (!to_bool(ann_obj, "ann")) return nullptr;  // accepted, no effect

    auto opened = or_raise(SearchEngine::open(*bin_path));
    if (!opened) return nullptr;
    PyObject* obj = type->tp_alloc(type, 0);
    if (obj == nullptr) return nullptr;
    new (&as_engine(obj)->engine) std::shared_ptr<const SearchEngine>(std::move(*opened));
    return obj;
  });
}

void engine_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(&as_engine(self)->engine);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* engine_dims(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto engine = hold_engine(self);
    if (!engine) return nullptr;
    return PyLong_FromUnsignedLongLong(engine->dims);
  });
}

PyObject* engine_rows(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto engine = hold_engine(self);
    if (!engine) return nullptr;
    return PyLong_FromUnsignedLongLong(engine->rows);
  });
}

// The engine's error text once the receiver's index file was shortened under
// it; nothing for an intact engine or a foreign receiver (the method body
// reports that one).
std::optional<std::string> damage_of(PyObject* self) {
  PyTypeObject* type = search_engine_type();
  if (type == nullptr || !PyObject_TypeCheck(self, type)) return std::nullopt;
  const auto& engine = as_engine(self)->engine;
  if (!engine) return std::nullopt;
  if (auto st = engine->intact(); !st) return std::move(st.error());
  return std::nullopt;
}

// Query methods: a call on a damaged engine is refused, and the result (or
// error) of a call that ran into missing pages, which read as zeros, is
// discarded for the engine's error.
template <PyObject* (*F)(PyObject*, PyObject*, PyObject*)>
PyObject* method(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    // Code run since the last call may have replaced the handler that turns
    // a shortened file into this error.
    fault::install_handler();
    if (auto damage = damage_of(self)) {
      raise_value_error(*damage);
      return nullptr;
    }
    Ref out = Ref::steal(F(self, args, kwargs));
    if (auto damage = damage_of(self)) {
      out = Ref();
      PyErr_Clear();
      raise_value_error(*damage);
      return nullptr;
    }
    return out.release();
  });
}

#define LUMVO_METHOD(name, sig)                                                           \
  {                                                                                       \
#name, reinterpret_cast < PyCFunction>(reinterpret_cast <void (*)()>(method <name>)), \
        METH_VARARGS | METH_KEYWORDS, #name sig "\n--\n\n"                                \
  }

PyMethodDef engine_methods[] = {
    {"dims", engine_dims, METH_NOARGS, "dims($self)\n--\n\n"},
    {"rows", engine_rows, METH_NOARGS, "rows($self)\n--\n\n"},
    LUMVO_METHOD(query_exact, "($self, query, k)"),
    LUMVO_METHOD(query_exact_arrays, "($self, query, k)"),
    LUMVO_METHOD(query_batch, "($self, queries, k)"),
    LUMVO_METHOD(query_batch_arrays, "($self, queries, k)"),
    LUMVO_METHOD(query_exact_detailed, "($self, query, k)"),
    LUMVO_METHOD(query_exact_certified, "($self, query, k, block_size=64, enable_pruning=True)"),
    LUMVO_METHOD(query_batch_exact_certified,
                 "($self, queries, k, block_size=64, enable_pruning=True)"),
    LUMVO_METHOD(query_batch_detailed, "($self, queries, k)"),
    LUMVO_METHOD(compare, "($self, query, idx_a, idx_b, block_size, top_blocks)"),
    LUMVO_METHOD(explain, "($self, query, idx, block_size, top_blocks)"),
    {nullptr, nullptr, 0, nullptr},
};

#undef LUMVO_METHOD

PyType_Slot engine_slots[] = {
    {Py_tp_doc, const_cast<char*>("PySearchEngine(bin_path, ann)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(engine_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc)},
    {Py_tp_methods, engine_methods},
    {0, nullptr},
};

PyType_Spec engine_spec = {"lumvero.PySearchEngine", sizeof(EngineObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, engine_slots};

}  // namespace

PyTypeObject* search_engine_type() {
  static PyObject* type = nullptr;
  return type_once(type, &engine_spec);
}

std::shared_ptr<const SearchEngine> hold_engine(PyObject* self) {
  PyTypeObject* type = search_engine_type();
  if (type == nullptr) return nullptr;
  if (!PyObject_TypeCheck(self, type)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PySearchEngine'",
                 Py_TYPE(self)->tp_name);
    return nullptr;
  }
  return as_engine(self)->engine;
}

}  // namespace lumvero::py
