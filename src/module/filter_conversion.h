// Python filter trees -> FilterNode trees.
#pragma once

#include <optional>

#include "index/filter_node.h"
#include "module/py_ref.h"

namespace zanth::py {

// Converts `tree` depth first, children left to right; the first malformed node decides the
// exception: TypeError (not a tuple, opcode without __index__, key not a str, And/Or operand
// not a list), IndexError (tuple too short), OverflowError (opcode outside 0..255), ValueError
// "Invalid OpCode" (5..255), RecursionError (nested deeper than kMaxFilterDepth).
// Returns nullopt with the exception set.
std::optional<FilterNode> FilterFromPy(PyObject* tree);

}  // namespace zanth::py
