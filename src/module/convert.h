// Argument conversion shared by every method: Python objects in, plain C++ values out. Each
// function returns false with a Python exception set; a TypeError names the parameter.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "module/py_ref.h"

namespace zanth::py {

// A str (or subclass), as UTF-8. Refuses bytes and path objects with TypeError; a string that
// cannot be encoded raises the codec's own error.
bool ToUtf8(PyObject* obj, const char* parameter, std::string* out);

// The integer-index protocol, 0 .. 2^64-1. Negative or too large: OverflowError.
bool ToU64(PyObject* obj, const char* parameter, std::uint64_t* out);

// One id through the integer-index protocol into int64; OverflowError outside its range.
bool ToId(PyObject* item, std::int64_t* out);

// A sequence of ids other than str: list, tuple, 1-D integer buffer (NumPy) or any object that
// passes the sequence check. Each item through the integer-index protocol into int64.
bool ToIds(PyObject* obj, const char* parameter, std::vector<std::int64_t>* out);

// What to reserve for the items of a sequence whose length is `n`: a caller's __len__ may claim
// more than memory holds (the items are read one by one, and the read stops where they end).
inline std::size_t ReserveFor(Py_ssize_t n) {
  return static_cast<std::size_t>(n < (Py_ssize_t{1} << 20) ? n : (Py_ssize_t{1} << 20));
}

// A sequence other than str, copied into a new list (so callbacks cannot change it under us).
bool ToObjectList(PyObject* obj, const char* parameter, OwnedRef* out);

// A 1-D or 2-D NumPy array of native float32 (ndarray or subclass). Returns false with
// TypeError naming the parameter otherwise. The buffer is acquired with strides.
bool ToFloat32Array(PyObject* obj, const char* parameter, int ndim, BufferView* out);

// Parses (args, kwargs) against `names` (nullptr-terminated), the first `required` of them
// required; unset optional slots stay nullptr. Errors come from the interpreter's parser.
bool ParseArgs(PyObject* args, PyObject* kwargs, const char* method, const char* const* names,
               int required, PyObject** slots);

}  // namespace zanth::py
