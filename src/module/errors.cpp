#include "module/errors.h"

#include <lmdb.h>

#include <exception>
#include <new>
#include <string>

namespace zanth::py {

PyObject* PanicExceptionType() {
  static PyObject* type = nullptr;
  if (!type) {
    type = PyErr_NewException("zanth_vec.PanicException", PyExc_BaseException, nullptr);
  }
  return type;
}

namespace {
PyObject* RaiseWithMessage(PyObject* type, const std::string& message) {
  if (!type) return nullptr;  // creating the class failed; its exception is set
  OwnedRef text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                     "replace"));
  if (text) PyErr_SetObject(type, text.get());
  return nullptr;
}
}  // namespace

namespace {

// Steps of `op` that a healthy store never fails: their failure is an internal one.
bool IsInfallible(Operation op, LmdbStep step) {
  switch (op) {
    case Operation::kGetData:
      return step == LmdbStep::kBeginRead;
    case Operation::kGetDataCount:
      return step == LmdbStep::kStat;
    case Operation::kGetIdsFromFilter:
      return step == LmdbStep::kBeginRead || step == LmdbStep::kCursor;
    case Operation::kDeleteFlatVectors:
    case Operation::kCompactVectors:
      return step == LmdbStep::kBeginWrite || step == LmdbStep::kCursor;
    case Operation::kOther:
      return false;
  }
  return false;
}

std::string PanicMessage(const Status& status, Operation op) {
  const std::string name = LmdbErrorName(status.error_number());
  // Filter evaluation names the failed step and the error only.
  if (op == Operation::kGetIdsFromFilter) {
    return (status.step() == LmdbStep::kBeginRead ? "RO txn: " : "Cursor: ") + name;
  }
  return status.message() + ": " + name + " (" + mdb_strerror(status.error_number()) + ")";
}

}  // namespace

PyObject* RaiseStatus(const Status& status, Operation op) {
  switch (status.code()) {
    case StatusCode::kLmdb:
      if (IsInfallible(op, status.step())) {
        return RaiseWithMessage(PanicExceptionType(), PanicMessage(status, op));
      }
      return RaiseWithMessage(PyExc_OSError, status.ToString());
    case StatusCode::kIo:
      return RaiseWithMessage(PyExc_OSError, status.ToString());
    case StatusCode::kInvalidArgument:
      return RaiseWithMessage(PyExc_ValueError, status.message());
    case StatusCode::kWrongProcess:
      return RaiseWithMessage(PyExc_RuntimeError, status.message());
    case StatusCode::kOk:
      return RaiseWithMessage(PanicExceptionType(), "failure reported without a cause");
    case StatusCode::kInternal:
    default:
      return RaiseWithMessage(PanicExceptionType(), status.message());
  }
}

PyObject* RaisePanicFromCurrentException() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return nullptr;
  } catch (const std::exception& e) {
    return RaiseWithMessage(PanicExceptionType(), std::string("internal failure: ") + e.what());
  } catch (...) {
    return RaiseWithMessage(PanicExceptionType(), "internal failure");
  }
}

__attribute__((no_sanitize("null"))) PyObject* RunEntryBody(PyObject* (*call)(void*),
                                                             void* body) {
  try {
    return call(body);
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    return RaisePanicFromCurrentException();
  }
}

bool NameTypeError(const char* parameter) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  OwnedRef t(type), v(value), tb(traceback);
  OwnedRef text(v ? PyObject_Str(v.get()) : nullptr);
  if (text) {
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", parameter, text.get());
  } else {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "argument '%s' has the wrong type", parameter);
  }
  return false;
}

}  // namespace zanth::py
