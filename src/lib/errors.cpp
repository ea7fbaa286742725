// Error texts to Python exceptions, and the PanicException type.
#include "lib/errors.h"

#include <pthread.h>

#include <cstdio>

namespace lumvero::py {

PyObject* panic_exception_type() {
  // Created once per process; module initialisation runs once, under the lock.
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "lumvero.PanicException",
        "An internal invariant of lumvero was broken. Derives from BaseException so that "
        "a handler for Exception does not swallow it.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

void raise_panic(const char* message, const char* file, int line) {
  const char* text = message != nullptr && *message != '\0' ? message : "internal error";
  char thread_name[32] = "<unnamed>";
  pthread_getname_np(pthread_self(), thread_name, sizeof thread_name);
  std::fprintf(stderr, "thread '%s' panicked at %s:%d:\n%s\n", thread_name, file, line, text);
  std::fflush(stderr);
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;  // the exception of the failed creation stays set
  PyErr_SetString(type, text);
}

void wrap_argument_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject *type = nullptr, *value = nullptr, *trace = nullptr;
  PyErr_Fetch(&type, &value, &trace);
  PyErr_NormalizeException(&type, &value, &trace);
  Ref orig_type = Ref::steal(type), orig = Ref::steal(value), orig_trace = Ref::steal(trace);
  Ref text = Ref::steal(PyObject_Str(orig.get()));
  if (!text) return;
  PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text.get());
  PyErr_Fetch(&type, &value, &trace);
  PyErr_NormalizeException(&type, &value, &trace);
  if (value != nullptr) {
    PyObject* cause = PyException_GetCause(orig.get());        // new reference or NULL
    if (cause != nullptr) PyException_SetCause(value, cause);  // steals it
  }
  PyErr_Restore(type, value, trace);
}

}  // namespace lumvero::py
