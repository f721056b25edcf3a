// Turning core failures and stray C++ exceptions into Python exceptions.
#pragma once

#include <cxxabi.h>

#include <type_traits>

#include "module/py_ref.h"
#include "base/status.h"

namespace zanth::py {

// The PanicException class (derives from BaseException), created once per process.
PyObject* PanicExceptionType();

// The method a failure ends: which exception an LMDB failure becomes depends on it.
enum class Operation {
  kOther,  // every LMDB failure is a routine storage failure (OSError)
  kGetData,
  kGetDataCount,
  kDeleteFlatVectors,
  kCompactVectors,
  kGetIdsFromFilter,
};

// The one place that turns a core failure into a Python exception; sets it, returns nullptr:
//   kLmdb at a step `op` treats as infallible (a read transaction of get_data or
//     get_ids_from_filter, the statistics of get_data_count, the write transaction or a
//     cursor of delete_flat_vectors and compact_vectors) -> PanicException naming the error
//   any other kLmdb, kIo -> OSError("LMDB: ..."/"IO: ... (os error N)"), errno left None
//   kInvalidArgument     -> ValueError(message)
//   kWrongProcess        -> RuntimeError(message)
//   kInternal            -> PanicException(message)
PyObject* RaiseStatus(const Status& status, Operation op = Operation::kOther);

// Raises PanicException for a C++ exception that reached a method's entry.
PyObject* RaisePanicFromCurrentException();

// Re-raises a pending TypeError as a TypeError that names the parameter being converted;
// any other pending exception is left unchanged. Returns false (for `return Fail(...)`).
bool NameTypeError(const char* parameter);

// Runs an entry function's body so that no C++ exception crosses into the interpreter. The
// forced unwind of a thread that CPython ends with pthread_exit (a daemon thread taking the GIL
// back during shutdown) must go on: catching it for good aborts the process. The handlers live
// in one function of errors.cpp, not in each instantiation: the forced unwind's handler binds
// no object, which the sanitizer's null check reports, and GCC does not keep a template's
// no_sanitize attribute when it instantiates the template inside an instrumented caller.
PyObject* RunEntryBody(PyObject* (*call)(void*), void* body);

template <typename Body>
PyObject* RunEntry(Body&& body) {
  using Callable = std::remove_reference_t<Body>;
  return RunEntryBody([](void* b) -> PyObject* { return (*static_cast<Callable*>(b))(); },
                      static_cast<void*>(&body));
}

}  // namespace zanth::py

#define ZANTH_ENTRY(...) return ::zanth::py::RunEntry([&]() -> PyObject* __VA_ARGS__);
