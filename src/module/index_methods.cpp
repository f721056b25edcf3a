// batch_index_insert, batch_index_delete and get_ids_from_filter.
#include "module/convert.h"
#include "module/errors.h"
#include "module/methods.h"

namespace zanth::py {

PyObject* StoreBatchIndexInsert(PyObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "batch_index_insert");
  return nullptr;
}
PyObject* StoreBatchIndexDelete(PyObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "batch_index_delete");
  return nullptr;
}
PyObject* StoreGetIdsFromFilter(PyObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "get_ids_from_filter");
  return nullptr;
}

}  // namespace zanth::py
