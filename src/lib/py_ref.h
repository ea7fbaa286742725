// Ownership of Python references and of the interpreter lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace lumvero::py {

// Owns one strong reference; released on destruction.
class Ref {
 public:
  Ref() = default;
  static Ref steal(PyObject* o) { return Ref(o); }
  static Ref borrow(PyObject* o) {
    Py_XINCREF(o);
    return Ref(o);
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& o) noexcept : obj_(std::exchange(o.obj_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(obj_);
      obj_ = std::exchange(o.obj_, nullptr);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(obj_); }

  PyObject* get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }
  // Hands the reference to the caller (for return values and stealing APIs).
  PyObject* release() { return std::exchange(obj_, nullptr); }

 private:
  explicit Ref(PyObject* o) : obj_(o) {}
  PyObject* obj_ = nullptr;
};

// Releases the interpreter lock for the scope; re-acquires it on every exit.
class GilRelease {
 public:
  GilRelease() : state_(PyEval_SaveThread()) {}
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;
  ~GilRelease() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

// A heap type made from its spec on first use and kept for the process
// (type objects are created under the interpreter lock, once).
inline PyTypeObject* type_once(PyObject*& slot, PyType_Spec* spec) {
  if (slot == nullptr) slot = PyType_FromSpec(spec);
  return reinterpret_cast<PyTypeObject*>(slot);
}

}  // namespace lumvero::py
