// What the module's files share: the object layouts of the two classes and the entry functions
// of every method. Each entry parses and converts with the GIL, runs the core without it, and
// builds the result with it again.
#pragma once

#include <memory>

#include <vector>

#include "index/filter_cache.h"
#include "index/index_records.h"
#include "index/id_set.h"
#include "module/py_ref.h"
#include "store/store_handle.h"
#include "vectors/search/sketch_cache.h"

namespace zanth::py {

struct StoreObject {
  PyObject_HEAD
  std::shared_ptr<const StoreHandle>* store;
  SketchCache* sketches;  // this handle's in-memory search sketches
  FilterCache* filters;   // this handle's evaluated leaves and trees
};

// Id sets are immutable and may be shared: a tree evaluated again over unchanged shards gives
// every ZanthIterator the same set.
struct IdSetObject {
  PyObject_HEAD
  std::shared_ptr<const IdSet>* set;
};

inline const StoreHandle& StoreOf(PyObject* self) {
  return **reinterpret_cast<StoreObject*>(self)->store;
}
inline SketchCache& SketchesOf(PyObject* self) {
  return *reinterpret_cast<StoreObject*>(self)->sketches;
}
inline FilterCache& FiltersOf(PyObject* self) {
  return *reinterpret_cast<StoreObject*>(self)->filters;
}

// Type objects, created by CreateTypes() at module initialisation.
PyObject* StoreType();
PyObject* IdSetType();
bool CreateTypes();

// A new ZanthIterator holding `set`; nullptr with an exception set on failure.
PyObject* NewIdSetObject(std::shared_ptr<const IdSet> set);
// nullptr when `obj` is not a ZanthIterator.
const IdSet* IdSetOf(PyObject* obj);

// Entry functions (METH_VARARGS | METH_KEYWORDS unless noted).
PyObject* StoreClose(PyObject* self, PyObject* unused);  // METH_NOARGS
PyObject* StoreGetIdsFromFilter(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* StoreSearchFlat(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* StoreStoreFlatVectors(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* StoreDeleteFlatVectors(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* StoreBatchIndexInsert(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* StoreBatchIndexDelete(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* StoreStoreData(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* StoreGetData(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* StoreDeleteData(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* StoreGetDataCount(PyObject* self, PyObject* unused);  // METH_NOARGS
PyObject* StoreCompactVectors(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* StoreSearchFlatBatch(PyObject* self, PyObject* args, PyObject* kwargs);
// Beyond the twelve: the search sketches' memory, budget and pruning counts.
PyObject* StoreSketchMemory(PyObject* self, PyObject* unused);  // METH_NOARGS
PyObject* StoreSetSketchBudget(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* StoreTakePruneCounts(PyObject* self, PyObject* unused);  // METH_NOARGS
// Beyond the twelve: objects as their pickled bytes, for callers that pickle themselves.
PyObject* StoreStorePickled(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* StoreGetPickled(PyObject* self, PyObject* args, PyObject* kwargs);
// Beyond the twelve: the memory and budget of the evaluated filters this handle keeps.
PyObject* StoreFilterCacheMemory(PyObject* self, PyObject* unused);  // METH_NOARGS
PyObject* StoreSetFilterCacheBudget(PyObject* self, PyObject* args, PyObject* kwargs);

// Beyond the twelve: objects, vectors and index records of one batch in one commit per shard.
PyObject* StoreWriteBatch(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* StoreRefresh(PyObject* self, PyObject* unused);  // METH_NOARGS
PyObject* StoreLastCommits(PyObject* self, PyObject* unused);  // METH_NOARGS

// A sequence (not a str) of (key, id) tuples, converted whole or not at all; a TypeError names
// `parameter`.
bool ToIndexEntries(PyObject* obj, const char* parameter, std::vector<IndexEntry>* out);

PyObject* IdSetToList(PyObject* self, PyObject* unused);  // METH_NOARGS
Py_ssize_t IdSetLength(PyObject* self);

}  // namespace zanth::py
