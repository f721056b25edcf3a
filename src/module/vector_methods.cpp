// store_flat_vectors, delete_flat_vectors, compact_vectors and search_flat.
#include "module/convert.h"
#include "module/errors.h"
#include "module/methods.h"

namespace zanth::py {

PyObject* StoreStoreFlatVectors(PyObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "store_flat_vectors");
  return nullptr;
}
PyObject* StoreDeleteFlatVectors(PyObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "delete_flat_vectors");
  return nullptr;
}
PyObject* StoreCompactVectors(PyObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "compact_vectors");
  return nullptr;
}
PyObject* StoreSearchFlat(PyObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "search_flat");
  return nullptr;
}

}  // namespace zanth::py
