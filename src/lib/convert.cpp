// Argument conversion for the entry points, with the module's own TypeError texts.
#include "lib/convert.h"

#include "lib/errors.h"

namespace lumvero::py {

namespace {

void cannot_convert(PyObject* obj, const char* target, const char* name) {
  // The type's qualified name, without its module: 'bool' for numpy.bool too.
  Ref type_name = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
  if (!type_name) return;
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", type_name.get(), target);
  wrap_argument_error(name);
}

}  // namespace

std::optional<std::uint64_t> to_u64(PyObject* obj, const char* name) {
  Ref index = Ref::steal(PyNumber_Index(obj));
  if (!index) {
    wrap_argument_error(name);
    return std::nullopt;
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    wrap_argument_error(name);
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(v);
}

std::optional<bool> to_bool(PyObject* obj, const char* name) {
  if (!PyBool_Check(obj)) {
    cannot_convert(obj, "PyBool", name);
    return std::nullopt;
  }
  return obj == Py_True;
}

std::optional<std::string> to_str(PyObject* obj, const char* name) {
  if (!PyUnicode_Check(obj)) {
    cannot_convert(obj, "PyString", name);
    return std::nullopt;
  }
  Py_ssize_t len = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &len);
  if (utf8 == nullptr) {
    wrap_argument_error(name);
    return std::nullopt;
  }
  return std::string(utf8, static_cast<std::size_t>(len));
}

PyArrayObject* to_f32_array(PyObject* obj, const char* name, int ndim) {
  if (!PyArray_Check(obj)) {
    cannot_convert(obj, "PyArray<T, D>", name);
    return nullptr;
  }
  auto* arr = reinterpret_cast<PyArrayObject*>(obj);
  if (PyArray_NDIM(arr) != ndim) {
    PyErr_Format(PyExc_TypeError, "dimensionality mismatch:\n from=%d, to=%d", PyArray_NDIM(arr),
                 ndim);
    wrap_argument_error(name);
    return nullptr;
  }
  Ref want = Ref::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_FLOAT32)));
  if (!PyArray_EquivTypes(PyArray_DESCR(arr), reinterpret_cast<PyArray_Descr*>(want.get()))) {
    PyErr_Format(PyExc_TypeError, "type mismatch:\n from=%S, to=%S",
                 reinterpret_cast<PyObject*>(PyArray_DESCR(arr)), want.get());
    wrap_argument_error(name);
    return nullptr;
  }
  return arr;
}

bool require_contiguous(PyArrayObject* arr) {
  if (PyArray_IS_C_CONTIGUOUS(arr) || PyArray_IS_F_CONTIGUOUS(arr)) return true;
  PyErr_SetString(PyExc_TypeError, "The given array is not contiguous");
  return false;
}

PyArrayObject* checked_f32_array(PyObject* obj, const char* name, int ndim) {
  PyArrayObject* arr = to_f32_array(obj, name, ndim);
  if (arr == nullptr || !require_contiguous(arr)) return nullptr;
  return arr;
}

PyObject* str_lossy(const std::string& bytes) {
  return PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "replace");
}

}  // namespace lumvero::py
