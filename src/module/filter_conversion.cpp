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

// An And / Or node whose operands are being converted, one at a time and in order. The list is
// held so that callbacks (an opcode's __index__) cannot free it; its size is re-read each step,
// since they may also change it.
struct OpenNode {
  OwnedRef operands;
  FilterNode* node;
  std::size_t depth;
  Py_ssize_t next = 0;
};

// Converts the head of one node: a leaf completely; for And / Or, opens it (pushed onto `open`);
// for Not, returns its operand in `*descend`. Checks run in the order the caller sees errors.
bool ConvertHead(PyObject* obj, std::size_t depth, FilterNode* out, std::vector<OpenNode>* open,
                 OwnedRef* descend) {
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
    case 0:
      out->op = FilterOp::kExact;
      return ItemAsString(obj, 1, &out->key);
    case 1:
      out->op = FilterOp::kRange;
      return ItemAsString(obj, 1, &out->key) && ItemAsString(obj, 2, &out->end);
    case 2:
    case 3: {
      out->op = value == 2 ? FilterOp::kAnd : FilterOp::kOr;
      PyObject* operand = TupleItem(obj, 1);
      if (!operand) return false;
      if (!PyList_Check(operand)) {
        PyErr_SetString(PyExc_TypeError, "the operands of And and Or must be a list");
        return false;
      }
      open->push_back(OpenNode{OwnedRef::Borrowed(operand), out, depth});
      return true;
    }
    case 4: {
      out->op = FilterOp::kNot;
      PyObject* child = TupleItem(obj, 1);
      if (!child) return false;
      *descend = OwnedRef::Borrowed(child);
      return true;
    }
    default:
      PyErr_SetString(PyExc_ValueError, "Invalid OpCode");
      return false;
  }
}

// Depth first, operands in order, as a recursive descent would, but with an explicit stack:
// trees at the depth limit must convert on a caller's small thread stack too.
bool Convert(PyObject* tree, FilterNode* root) {
  std::vector<OpenNode> open;
  OwnedRef current = OwnedRef::Borrowed(tree);
  FilterNode* out = root;
  std::size_t depth = 1;
  for (;;) {
    if (current) {
      OwnedRef descend;
      if (!ConvertHead(current.get(), depth, out, &open, &descend)) return false;
      current = std::move(descend);
      if (current) {
        out->children.emplace_back();
        out = &out->children.back();
        ++depth;
      }
      continue;
    }
    if (open.empty()) return true;
    OpenNode& parent = open.back();
    if (parent.next >= PyList_Size(parent.operands.get())) {
      open.pop_back();
      continue;
    }
    current = OwnedRef::Borrowed(PyList_GetItem(parent.operands.get(), parent.next++));
    if (!current) return false;
    parent.node->children.emplace_back();
    out = &parent.node->children.back();
    depth = parent.depth + 1;
  }
}

}  // namespace

std::optional<FilterNode> FilterFromPy(PyObject* tree) {
  FilterNode root;
  if (!Convert(tree, &root)) return std::nullopt;
  return root;
}

}  // namespace zanth::py
