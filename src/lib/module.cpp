// Module initialisation: the module object, its two classes and its function.
#define LUMVO_NUMPY_IMPORT
#include "lib/numpy_bridge.h"

#include <atomic>

#include "engine/search/matrix.h"
#include "lib/engine_object.h"
#include "lib/errors.h"
#include "lib/prepare_function.h"
#include "lib/result_types.h"

namespace lumvero::py {

bool import_numpy() { return _import_array() >= 0; }

namespace {

// m_size 0 rather than -1: a re-import must call the init function again (and
// be refused) instead of silently reusing a cached copy of the module.
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "lumvero", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Appends name to the module's __all__, creating the list when it is missing.
bool add_to_all(PyObject* module, PyObject* name) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  if (!PyList_Check(all.get())) {
    PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
    return false;
  }
  return PyList_Append(all.get(), name) == 0;
}

bool register_object(PyObject* module, const char* name, PyObject* obj) {
  if (obj == nullptr) return false;
  Ref name_obj = Ref::steal(PyUnicode_FromString(name));
  if (!name_obj || !add_to_all(module, name_obj.get())) return false;
  return PyObject_SetAttrString(module, name, obj) == 0;
}

PyObject* init_module() {
  static std::atomic<bool> initialised{false};
  if (initialised.exchange(true)) {
    PyErr_SetString(PyExc_ImportError,
                    "lumvero may only be initialized once per interpreter process");
    return nullptr;
  }
  if (!import_numpy()) return nullptr;
  // Our BLAS runs one multiply per pool thread; it is single-threaded from
  // the start, so tools that list it (threadpoolctl) show what queries use.
  ensure_blas_single_threaded();
  if (panic_exception_type() == nullptr) return nullptr;

  Ref module = Ref::steal(PyModule_Create(&module_def));
  if (!module) return nullptr;
  if (!register_object(module.get(), "PySearchEngine",
                       reinterpret_cast<PyObject*>(search_engine_type())))
    return nullptr;
  if (!register_object(module.get(), "PyQueryResult",
                       reinterpret_cast<PyObject*>(query_result_type())))
    return nullptr;

  Ref module_name = Ref::steal(PyModule_GetNameObject(module.get()));
  if (!module_name) return nullptr;
  Ref function =
      Ref::steal(PyCFunction_NewEx(prepare_function_def(), module.get(), module_name.get()));
  if (!function) return nullptr;
  Ref fname = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
  if (!fname) return nullptr;
  if (!add_to_all(module.get(), fname.get())) return nullptr;
  if (PyObject_SetAttr(module.get(), fname.get(), function.get()) < 0) return nullptr;
  return module.release();
}

}  // namespace

}  // namespace lumvero::py

PyMODINIT_FUNC PyInit_lumvero() {
  return lumvero::py::guarded([] { return lumvero::py::init_module(); });
}
