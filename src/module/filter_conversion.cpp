#include "module/filter_conversion.h"

#include <string>
#include <utility>
#include <vector>

namespace zanth::py {

namespace {

// Item i of a tuple, or IndexError with the interpreter's own message.
PyObject* TupleItem(PyObject* tuple, Py_ssize_t i) { return PyTuple_GetItem(tuple, i); }

bool ItemAsString(PyObject* tuple, Py_ssize_t i, std::string* out) {
  PyObject* item = TupleItem(tuple, i);
  if (!item) return false;
  if (!PyUnicode_Check(item)) {
    OwnedRef type_name(PyType_GetName(Py_TYPE(item)));
    if (type_name) PyErr_Format(PyExc_TypeError, "filter keys must be str, not %U", type_name.get());
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(item, &size);
  if (!data) return false;
  out->assign(data, static_cast<std::size_t>(size));
  return true;
}

bool Convert(PyObject* obj, std::size_t depth, FilterNode* out);

// The operands of And / Or: a list (or subclass), converted element by element.
bool ConvertChildren(PyObject* tuple, std::size_t depth, std::vector<FilterNode>* out) {
  PyObject* operand = TupleItem(tuple, 1);
  if (!operand) return false;
  if (!PyList_Check(operand)) {
    PyErr_SetString(PyExc_TypeError, "the operands of And and Or must be a list");
    return false;
  }
  OwnedRef list = OwnedRef::Borrowed(operand);
  // The size is re-read each step: an opcode's __index__ may run code that changes the list.
  for (Py_ssize_t i = 0; i < PyList_Size(list.get()); ++i) {
    OwnedRef child = OwnedRef::Borrowed(PyList_GetItem(list.get(), i));
    if (!child) return false;
    out->emplace_back();
    if (!Convert(child.get(), depth + 1, &out->back())) return false;
  }
  return true;
}

bool Convert(PyObject* obj, std::size_t depth, FilterNode* out) {
  if (depth > kMaxFilterDepth) {
    PyErr_Format(PyExc_RecursionError, "filter tree nested deeper than %d levels",
                 static_cast<int>(kMaxFilterDepth));
    return false;
  }
  if (!PyTuple_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "a filter tree node must be a tuple");
    return false;
  }
  PyObject* first = TupleItem(obj, 0);
  if (!first) return false;
  OwnedRef opcode(PyNumber_Index(first));
  if (!opcode) return false;
  int overflow = 0;
  long long value = PyLong_AsLongLongAndOverflow(opcode.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) return false;
  if (overflow != 0 || value < 0 || value > 255) {
    PyErr_SetString(PyExc_OverflowError,
                    value < 0 || overflow < 0 ? "can't convert negative int to unsigned"
                                              : "opcode too large to convert to u8");
    return false;
  }
  switch (value) {
    case 0: {
      out->op = FilterOp::kExact;
      return ItemAsString(obj, 1, &out->key);
    }
    case 1: {
      out->op = FilterOp::kRange;
      return ItemAsString(obj, 1, &out->key) && ItemAsString(obj, 2, &out->end);
    }
    case 2:
    case 3:
      out->op = value == 2 ? FilterOp::kAnd : FilterOp::kOr;
      return ConvertChildren(obj, depth, &out->children);
    case 4: {
      out->op = FilterOp::kNot;
      PyObject* child = TupleItem(obj, 1);
      if (!child) return false;
      out->children.emplace_back();
      return Convert(child, depth + 1, &out->children.back());
    }
    default:
      PyErr_SetString(PyExc_ValueError, "Invalid OpCode");
      return false;
  }
}

}  // namespace

std::optional<FilterNode> FilterFromPy(PyObject* tree) {
  FilterNode root;
  if (!Convert(tree, 1, &root)) return std::nullopt;
  return root;
}

}  // namespace zanth::py
