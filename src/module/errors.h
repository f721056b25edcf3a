// Turning core failures and stray C++ exceptions into Python exceptions.
#pragma once

#include "module/py_ref.h"
#include "base/status.h"

namespace zanth::py {

// The PanicException class (derives from BaseException), created once per process.
PyObject* PanicExceptionType();

// Sets the Python exception for `status` and returns nullptr:
//   kLmdb, kIo        -> OSError("LMDB: ..."/"IO: ... (os error N)"), errno left None
//   kInvalidArgument  -> ValueError(message)
//   kWrongProcess     -> RuntimeError(message)
//   kInternal         -> PanicException(message)
PyObject* RaiseStatus(const Status& status);

// Raises PanicException for a C++ exception that reached a method's entry.
PyObject* RaisePanicFromCurrentException();

// Re-raises a pending TypeError as a TypeError that names the parameter being converted;
// any other pending exception is left unchanged. Returns false (for `return Fail(...)`).
bool NameTypeError(const char* parameter);

}  // namespace zanth::py

// Every entry function body runs inside this, so no C++ exception crosses into the interpreter.
#define ZANTH_ENTRY(...)                                         \
  try {                                                          \
    __VA_ARGS__                                                  \
  } catch (...) {                                                \
    return ::zanth::py::RaisePanicFromCurrentException();        \
  }
