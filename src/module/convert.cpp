#include "module/convert.h"

#include <cstring>
#include <string_view>

#include "module/errors.h"

namespace zanth::py {

namespace {

bool IsStr(PyObject* obj) { return PyUnicode_Check(obj); }

bool RefuseStrSequence(PyObject* obj, const char* parameter) {
  if (IsStr(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a sequence, not str", parameter);
    return true;
  }
  if (!PySequence_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a sequence, got %R", parameter,
                 reinterpret_cast<PyObject*>(Py_TYPE(obj)));
    return true;
  }
  return false;
}

}  // namespace

bool ToId(PyObject* item, std::int64_t* out) {
  if (PyLong_Check(item)) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(item, &overflow);
    if (overflow != 0) {
      PyErr_SetString(PyExc_OverflowError, "id does not fit in a signed 64-bit integer");
      return false;
    }
    if (v == -1 && PyErr_Occurred()) return false;
    *out = v;
    return true;
  }
  OwnedRef index(PyNumber_Index(item));
  if (!index) return false;
  return ToId(index.get(), out);
}

namespace {

// Integer buffers (NumPy arrays) are read in one pass instead of one Python object per item.
// Returns 1 when handled, 0 when `obj` is not a 1-D integer buffer, -1 on error.
template <typename T>
int CopyIntegers(const Py_buffer& view, std::vector<std::int64_t>* out) {
  if (view.itemsize != static_cast<Py_ssize_t>(sizeof(T))) return 0;  // read item by item
  Py_ssize_t n = view.shape ? view.shape[0] : view.len / view.itemsize;
  Py_ssize_t stride = view.strides ? view.strides[0] : view.itemsize;
  out->resize(static_cast<std::size_t>(n));
  const char* base = static_cast<const char*>(view.buf);
  for (Py_ssize_t i = 0; i < n; ++i) {
    T v;
    std::memcpy(&v, base + i * stride, sizeof v);
    if constexpr (std::is_same_v<T, std::uint64_t>) {
      if (v > static_cast<std::uint64_t>(INT64_MAX)) {
        PyErr_SetString(PyExc_OverflowError, "id does not fit in a signed 64-bit integer");
        return -1;
      }
    }
    (*out)[static_cast<std::size_t>(i)] = static_cast<std::int64_t>(v);
  }
  return 1;
}

int TryIntegerBuffer(PyObject* obj, std::vector<std::int64_t>* out) {
  if (PyList_Check(obj) || PyTuple_Check(obj) || !PyObject_CheckBuffer(obj)) return 0;
  BufferView buffer;
  if (!buffer.Acquire(obj, PyBUF_RECORDS_RO)) {
    PyErr_Clear();
    return 0;
  }
  const Py_buffer& view = buffer.view();
  if (view.ndim != 1 || view.format == nullptr) return 0;
  std::string_view format(view.format);
  // Native byte order only: '<', '=' and '@' prefixes on a little-endian host.
  if (!format.empty() && (format[0] == '<' || format[0] == '=' || format[0] == '@')) {
    format.remove_prefix(1);
  }
  if (format.size() != 1) return 0;
  switch (format[0]) {
    case 'b': return CopyIntegers<std::int8_t>(view, out);
    case 'B': return CopyIntegers<std::uint8_t>(view, out);
    case 'h': return CopyIntegers<std::int16_t>(view, out);
    case 'H': return CopyIntegers<std::uint16_t>(view, out);
    case 'i': return CopyIntegers<std::int32_t>(view, out);
    case 'I': return CopyIntegers<std::uint32_t>(view, out);
    case 'l': case 'q': return CopyIntegers<std::int64_t>(view, out);
    case 'L': case 'Q': return CopyIntegers<std::uint64_t>(view, out);
    default: return 0;
  }
}

}  // namespace

bool ToUtf8(PyObject* obj, const char* parameter, std::string* out) {
  if (!IsStr(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected str", parameter);
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (!data) return false;
  out->assign(data, static_cast<std::size_t>(size));
  return true;
}

bool ToU64(PyObject* obj, const char* parameter, std::uint64_t* out) {
  OwnedRef index(PyNumber_Index(obj));
  if (!index) return NameTypeError(parameter);
  unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  *out = v;
  return true;
}

bool ToIds(PyObject* obj, const char* parameter, std::vector<std::int64_t>* out) {
  if (RefuseStrSequence(obj, parameter)) return false;
  out->clear();
  if (int handled = TryIntegerBuffer(obj, out); handled != 0) return handled > 0;
  if (PyList_Check(obj) || PyTuple_Check(obj)) {
    bool is_list = PyList_Check(obj);
    Py_ssize_t n = is_list ? PyList_Size(obj) : PyTuple_Size(obj);
    out->resize(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      // Re-read the size each time: converting an item may run code that shrinks the list.
      if (is_list && i >= PyList_Size(obj)) {
        out->resize(static_cast<std::size_t>(i));
        break;
      }
      PyObject* item = is_list ? PyList_GetItem(obj, i) : PyTuple_GetItem(obj, i);
      OwnedRef hold = OwnedRef::Borrowed(item);
      if (!item || !ToId(item, &(*out)[static_cast<std::size_t>(i)])) {
        return NameTypeError(parameter);
      }
    }
    return true;
  }
  Py_ssize_t n = PySequence_Size(obj);
  if (n < 0) return NameTypeError(parameter);
  out->reserve(ReserveFor(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    OwnedRef item(PySequence_GetItem(obj, i));
    std::int64_t v;
    if (!item || !ToId(item.get(), &v)) return NameTypeError(parameter);
    out->push_back(v);
  }
  return true;
}

bool ToObjectList(PyObject* obj, const char* parameter, OwnedRef* out) {
  if (RefuseStrSequence(obj, parameter)) return false;
  OwnedRef list(PySequence_List(obj));
  if (!list) return NameTypeError(parameter);
  *out = std::move(list);
  return true;
}

bool ToFloat32Array(PyObject* obj, const char* parameter, int ndim, BufferView* out) {
  static PyObject* ndarray_type = nullptr;
  if (!ndarray_type) {
    OwnedRef numpy(PyImport_ImportModule("numpy"));
    if (!numpy) return false;
    ndarray_type = PyObject_GetAttrString(numpy.get(), "ndarray");  // kept for the process
    if (!ndarray_type) return false;
  }
  int is_array = PyObject_IsInstance(obj, ndarray_type);
  if (is_array < 0) return false;
  if (!is_array) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a numpy.ndarray of float32",
                 parameter);
    return false;
  }
  if (!out->Acquire(obj, PyBUF_RECORDS_RO)) return NameTypeError(parameter);
  const Py_buffer& view = out->view();
  std::string_view format(view.format ? view.format : "B");
  if (!format.empty() && (format[0] == '<' || format[0] == '=' || format[0] == '@')) {
    format.remove_prefix(1);
  }
  if (view.ndim != ndim || format != "f" || view.itemsize != 4) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a %d-dimensional float32 array",
                 parameter, ndim);
    return false;
  }
  return true;
}

bool ParseArgs(PyObject* args, PyObject* kwargs, const char* method, const char* const* names,
               int required, PyObject** slots) {
  char format[32];
  int n = 0;
  while (names[n]) ++n;
  int pos = 0;
  for (int i = 0; i < n; ++i) {
    if (i == required) format[pos++] = '|';
    format[pos++] = 'O';
  }
  format[pos++] = ':';
  format[pos] = '\0';
  std::string full = std::string(format) + method;
  // The limited API offers no va_list-free variant taking an array, so spell out up to 8.
  char** kw = const_cast<char**>(names);
  switch (n) {
    case 0: return PyArg_ParseTupleAndKeywords(args, kwargs, full.c_str(), kw) != 0;
    case 1: return PyArg_ParseTupleAndKeywords(args, kwargs, full.c_str(), kw, &slots[0]) != 0;
    case 2:
      return PyArg_ParseTupleAndKeywords(args, kwargs, full.c_str(), kw, &slots[0],
                                         &slots[1]) != 0;
    case 3:
      return PyArg_ParseTupleAndKeywords(args, kwargs, full.c_str(), kw, &slots[0], &slots[1],
                                         &slots[2]) != 0;
    case 8:
      return PyArg_ParseTupleAndKeywords(args, kwargs, full.c_str(), kw, &slots[0], &slots[1],
                                         &slots[2], &slots[3], &slots[4], &slots[5], &slots[6],
                                         &slots[7]) != 0;
    case 10:
      return PyArg_ParseTupleAndKeywords(args, kwargs, full.c_str(), kw, &slots[0], &slots[1],
                                         &slots[2], &slots[3], &slots[4], &slots[5], &slots[6],
                                         &slots[7], &slots[8], &slots[9]) != 0;
    default:
      PyErr_SetString(PyExc_SystemError, "too many parameters");
      return false;
  }
}

}  // namespace zanth::py
