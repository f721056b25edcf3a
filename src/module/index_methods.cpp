// batch_index_insert, batch_index_delete and get_ids_from_filter.
#include <optional>
#include <vector>

#include "index/filter_eval.h"
#include "index/index_records.h"
#include "module/convert.h"
#include "module/errors.h"
#include "module/filter_conversion.h"
#include "module/methods.h"

namespace zanth::py {

namespace {

// One (key, id) tuple. Keys LMDB could not store are refused here, before anything is written.
bool ToEntry(PyObject* element, IndexEntry* out) {
  if (!PyTuple_Check(element)) {
    OwnedRef type_name(PyType_GetName(Py_TYPE(element)));
    if (type_name) {
      PyErr_Format(PyExc_TypeError, "each entry must be a (key, id) tuple, not %U",
                   type_name.get());
    }
    return false;
  }
  Py_ssize_t size = PyTuple_Size(element);
  if (size != 2) {
    PyErr_Format(PyExc_ValueError, "each entry must be a (key, id) tuple of 2 items, not %zd",
                 size);
    return false;
  }
  PyObject* key = PyTuple_GetItem(element, 0);
  if (!PyUnicode_Check(key)) {
    PyErr_SetString(PyExc_TypeError, "an index key must be a str");
    return false;
  }
  Py_ssize_t key_size = 0;
  const char* key_bytes = PyUnicode_AsUTF8AndSize(key, &key_size);
  if (!key_bytes) return false;
  if (static_cast<std::size_t>(key_size) > kMaxIndexKeyBytes) {
    PyErr_Format(PyExc_ValueError, "index key of %zd UTF-8 bytes; at most %d can be stored",
                 key_size, static_cast<int>(kMaxIndexKeyBytes));
    return false;
  }
  out->key.assign(key_bytes, static_cast<std::size_t>(key_size));
  return ToId(PyTuple_GetItem(element, 1), &out->id);
}

}  // namespace

bool ToIndexEntries(PyObject* obj, const char* parameter, std::vector<IndexEntry>* out) {
  if (PyUnicode_Check(obj) || !PySequence_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, PyUnicode_Check(obj) ? "expected a sequence, not str"
                                                          : "expected a sequence of (key, id)");
    return NameTypeError(parameter);
  }
  Py_ssize_t n = PySequence_Size(obj);
  if (n < 0) return NameTypeError(parameter);
  out->reserve(ReserveFor(n));
  // Converting an id may run Python code (__index__) that resizes a list under us, so every
  // element is fetched through the sequence protocol with its own reference.
  for (Py_ssize_t i = 0; i < n; ++i) {
    OwnedRef element(PySequence_GetItem(obj, i));
    if (!element) return NameTypeError(parameter);
    out->emplace_back();
    if (!ToEntry(element.get(), &out->back())) return NameTypeError(parameter);
  }
  return true;
}

namespace {

using EntriesFn = Status (*)(const StoreHandle&, std::span<const IndexEntry>);

PyObject* RunIndexWrite(PyObject* self, PyObject* args, PyObject* kwargs, const char* method,
                        EntriesFn write) {
  static const char* const kNames[] = {"entries", nullptr};
  PyObject* slots[1] = {nullptr};
  if (!ParseArgs(args, kwargs, method, kNames, 1, slots)) return nullptr;
  std::vector<IndexEntry> entries;
  if (!ToIndexEntries(slots[0], "entries", &entries)) return nullptr;
  if (entries.empty()) Py_RETURN_NONE;
  const StoreHandle& store = StoreOf(self);
  Status status = WithoutGil([&] { return write(store, entries); });
  if (!status.ok()) return RaiseStatus(status);
  Py_RETURN_NONE;
}

}  // namespace

PyObject* StoreBatchIndexInsert(PyObject* self, PyObject* args, PyObject* kwargs) {
  ZANTH_ENTRY({
    return RunIndexWrite(self, args, kwargs, "batch_index_insert", InsertIndexEntries);
  })
}

PyObject* StoreBatchIndexDelete(PyObject* self, PyObject* args, PyObject* kwargs) {
  ZANTH_ENTRY({
    return RunIndexWrite(self, args, kwargs, "batch_index_delete", DeleteIndexEntries);
  })
}

PyObject* StoreGetIdsFromFilter(PyObject* self, PyObject* args, PyObject* kwargs) {
  ZANTH_ENTRY({
    static const char* const kNames[] = {"filter_tree", nullptr};
    PyObject* slots[1] = {nullptr};
    if (!ParseArgs(args, kwargs, "get_ids_from_filter", kNames, 1, slots)) return nullptr;
    // Conversion errors reach the caller as they are: the tree's own structure, not the
    // parameter, is what they describe.
    std::optional<FilterNode> tree = FilterFromPy(slots[0]);
    if (!tree) return nullptr;
    const StoreHandle& store = StoreOf(self);
    Result<std::shared_ptr<const IdSet>> evaluated = WithoutGil([&] {
      auto result = EvaluateFilter(store, *tree, &FiltersOf(self));
      tree.reset();  // large trees are freed without the GIL too
      return result;
    });
    if (!evaluated.ok()) return RaiseStatus(evaluated.status(), Operation::kGetIdsFromFilter);
    return NewIdSetObject(evaluated.take());
  })
}

// As the sketch methods: the cache's mutex may have been held by a parent thread at fork(), so a
// child fails before taking it.
PyObject* StoreFilterCacheMemory(PyObject* self, PyObject*) {
  ZANTH_ENTRY({
    if (Status s = StoreOf(self).CheckProcess(); !s.ok()) return RaiseStatus(s);
    return PyLong_FromUnsignedLongLong(FiltersOf(self).memory());
  })
}

PyObject* StoreSetFilterCacheBudget(PyObject* self, PyObject* args, PyObject* kwargs) {
  ZANTH_ENTRY({
    static const char* const kNames[] = {"max_bytes", nullptr};
    PyObject* slots[1] = {nullptr};
    if (!ParseArgs(args, kwargs, "set_filter_cache_budget", kNames, 1, slots)) return nullptr;
    std::uint64_t budget = FilterCache::kDefaultBudget;
    if (slots[0] != Py_None && !ToU64(slots[0], "max_bytes", &budget)) return nullptr;
    if (Status s = StoreOf(self).CheckProcess(); !s.ok()) return RaiseStatus(s);
    FiltersOf(self).SetBudget(budget);
    Py_RETURN_NONE;
  })
}

}  // namespace zanth::py
