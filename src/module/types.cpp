// The two classes: ZanthVec (a store handle) and ZanthIterator (an id set). Both are final heap
// types without __dict__ or weak references.
#include <cstdlib>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "module/convert.h"
#include "module/errors.h"
#include "module/methods.h"

namespace zanth::py {

namespace {

PyObject* g_store_type = nullptr;
PyObject* g_id_set_type = nullptr;

// A handle's sketch cache: its files under the store's absolute path (a later chdir does not
// move them), each shard's snapshots named by the data file this handle opened. Without
// either, sketches stay in private memory.
SketchCache* NewSketchCache(const StoreHandle& store, const std::string& base_path) {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> files;
  for (std::size_t s = 0; s < store.num_shards(); ++s) {
    std::uint64_t dev, id;
    if (!OpenFileIdentity(store.data_fd(s), &dev, &id)) return new SketchCache();
    files.emplace_back(dev, id);
  }
  char* real = realpath(base_path.c_str(), nullptr);
  if (real == nullptr) return new SketchCache();
  std::string absolute(real);
  std::free(real);
  return new SketchCache(std::move(absolute), std::move(files));
}

#define ZV_KW(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn))

PyMethodDef kStoreMethods[] = {
    {"close", StoreClose, METH_NOARGS, "close($self)\n--\n\n"},
    {"get_ids_from_filter", ZV_KW(StoreGetIdsFromFilter), METH_VARARGS | METH_KEYWORDS,
     "get_ids_from_filter($self, filter_tree)\n--\n\n"},
    {"search_flat", ZV_KW(StoreSearchFlat), METH_VARARGS | METH_KEYWORDS,
     "search_flat($self, query_vector, filter_obj=None, k=10)\n--\n\n"},
    {"store_flat_vectors", ZV_KW(StoreStoreFlatVectors), METH_VARARGS | METH_KEYWORDS,
     "store_flat_vectors($self, data, identifiers)\n--\n\n"},
    {"delete_flat_vectors", ZV_KW(StoreDeleteFlatVectors), METH_VARARGS | METH_KEYWORDS,
     "delete_flat_vectors($self, identifiers, dim)\n--\n\n"},
    {"batch_index_insert", ZV_KW(StoreBatchIndexInsert), METH_VARARGS | METH_KEYWORDS,
     "batch_index_insert($self, entries)\n--\n\n"},
    {"batch_index_delete", ZV_KW(StoreBatchIndexDelete), METH_VARARGS | METH_KEYWORDS,
     "batch_index_delete($self, entries)\n--\n\n"},
    {"store_data", ZV_KW(StoreStoreData), METH_VARARGS | METH_KEYWORDS,
     "store_data($self, data, identifiers)\n--\n\n"},
    {"get_data", ZV_KW(StoreGetData), METH_VARARGS | METH_KEYWORDS,
     "get_data($self, identifiers)\n--\n\n"},
    {"delete_data", ZV_KW(StoreDeleteData), METH_VARARGS | METH_KEYWORDS,
     "delete_data($self, identifiers)\n--\n\n"},
    {"get_data_count", StoreGetDataCount, METH_NOARGS, "get_data_count($self)\n--\n\n"},
    {"compact_vectors", ZV_KW(StoreCompactVectors), METH_VARARGS | METH_KEYWORDS,
     "compact_vectors($self, dim)\n--\n\n"},
    {"search_flat_batch", ZV_KW(StoreSearchFlatBatch), METH_VARARGS | METH_KEYWORDS,
     "search_flat_batch($self, queries, filter_obj=None, k=10)\n--\n\n"},
    {"sketch_memory", StoreSketchMemory, METH_NOARGS, "sketch_memory($self)\n--\n\n"},
    {"set_sketch_budget", ZV_KW(StoreSetSketchBudget), METH_VARARGS | METH_KEYWORDS,
     "set_sketch_budget($self, max_bytes)\n--\n\n"},
    {"take_prune_counts", StoreTakePruneCounts, METH_NOARGS,
     "take_prune_counts($self)\n--\n\n"},
    {"store_pickled", ZV_KW(StoreStorePickled), METH_VARARGS | METH_KEYWORDS,
     "store_pickled($self, data, identifiers)\n--\n\n"},
    {"get_pickled", ZV_KW(StoreGetPickled), METH_VARARGS | METH_KEYWORDS,
     "get_pickled($self, identifiers)\n--\n\n"},
    {"filter_cache_memory", StoreFilterCacheMemory, METH_NOARGS,
     "filter_cache_memory($self)\n--\n\n"},
    {"set_filter_cache_budget", ZV_KW(StoreSetFilterCacheBudget), METH_VARARGS | METH_KEYWORDS,
     "set_filter_cache_budget($self, max_bytes)\n--\n\n"},
    {"write_batch", ZV_KW(StoreWriteBatch), METH_VARARGS | METH_KEYWORDS,
     "write_batch($self, identifiers, data=None, vectors=None, index_inserts=None, "
     "index_deletes=None, vector_deletes=None, object_deletes=None, dim=None, "
     "more_identifiers=None, more_data=None)\n--\n\n"},
    {"refresh", StoreRefresh, METH_NOARGS, "refresh($self)\n--\n\n"},
    {"last_commits", StoreLastCommits, METH_NOARGS, "last_commits($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* StoreNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  ZANTH_ENTRY({
    static const char* const kNames[] = {"base_path", "num_shards", "map_size", nullptr};
    PyObject* slots[3] = {nullptr, nullptr, nullptr};
    if (!ParseArgs(args, kwargs, "ZanthVec", kNames, 1, slots)) return nullptr;
    std::string base_path;
    std::uint64_t num_shards = 5;
    std::uint64_t map_size = 200000000000ULL;
    if (!ToUtf8(slots[0], "base_path", &base_path)) return nullptr;
    if (slots[1] && !ToU64(slots[1], "num_shards", &num_shards)) return nullptr;
    if (slots[2] && !ToU64(slots[2], "map_size", &map_size)) return nullptr;

    auto opened = StoreHandle::Open(base_path, num_shards, map_size);
    if (!opened.ok()) return RaiseStatus(opened.status());

    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (!self) return nullptr;
    reinterpret_cast<StoreObject*>(self)->store =
        new std::shared_ptr<const StoreHandle>(opened.take());
    reinterpret_cast<StoreObject*>(self)->sketches = NewSketchCache(**reinterpret_cast<StoreObject*>(self)->store, base_path);
    reinterpret_cast<StoreObject*>(self)->filters = new FilterCache();
    // The sketches and the kept leaves follow this handle's own commits; the store goes before
    // them in dealloc.
    const StoreHandle& handle = **reinterpret_cast<StoreObject*>(self)->store;
    handle.add_commit_observer(reinterpret_cast<StoreObject*>(self)->sketches);
    handle.add_commit_observer(reinterpret_cast<StoreObject*>(self)->filters);
    return self;
  })
}

void StoreDealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<StoreObject*>(self)->store;
  delete reinterpret_cast<StoreObject*>(self)->sketches;
  delete reinterpret_cast<StoreObject*>(self)->filters;
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(reinterpret_cast<PyObject*>(type));
}

PyType_Slot kStoreSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(StoreNew)},
    {Py_tp_dealloc, reinterpret_cast<void*>(StoreDealloc)},
    {Py_tp_methods, kStoreMethods},
    {Py_tp_doc, const_cast<char*>(
                    "ZanthVec(base_path, num_shards=5, map_size=200000000000)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec kStoreSpec = {"zanth_vec.ZanthVec", sizeof(StoreObject), 0, Py_TPFLAGS_DEFAULT,
                          kStoreSlots};

PyMethodDef kIdSetMethods[] = {
    {"to_list", IdSetToList, METH_NOARGS, "to_list($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

void IdSetDealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<IdSetObject*>(self)->set;
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(reinterpret_cast<PyObject*>(type));
}

PyType_Slot kIdSetSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(IdSetDealloc)},
    {Py_tp_methods, kIdSetMethods},
    {Py_mp_length, reinterpret_cast<void*>(IdSetLength)},
    {0, nullptr},
};

PyType_Spec kIdSetSpec = {"zanth_vec.ZanthIterator", sizeof(IdSetObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, kIdSetSlots};

}  // namespace

PyObject* StoreType() { return g_store_type; }
PyObject* IdSetType() { return g_id_set_type; }

bool CreateTypes() {
  if (!g_store_type) g_store_type = PyType_FromSpec(&kStoreSpec);
  if (!g_store_type) return false;
  if (!g_id_set_type) g_id_set_type = PyType_FromSpec(&kIdSetSpec);
  return g_id_set_type != nullptr;
}

PyObject* NewIdSetObject(std::shared_ptr<const IdSet> set) {
  auto* type = reinterpret_cast<PyTypeObject*>(g_id_set_type);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (!self) return nullptr;
  reinterpret_cast<IdSetObject*>(self)->set = new std::shared_ptr<const IdSet>(std::move(set));
  return self;
}

const IdSet* IdSetOf(PyObject* obj) {
  int is = PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(g_id_set_type));
  return is ? reinterpret_cast<IdSetObject*>(obj)->set->get() : nullptr;
}

PyObject* StoreClose(PyObject*, PyObject*) { Py_RETURN_NONE; }

PyObject* IdSetToList(PyObject* self, PyObject*) {
  ZANTH_ENTRY({
    const IdSet& set = **reinterpret_cast<IdSetObject*>(self)->set;
    OwnedRef list(PyList_New(static_cast<Py_ssize_t>(set.ids.size())));
    if (!list) return nullptr;
    Py_ssize_t i = 0;
    for (std::uint64_t key : set.ids) {
      PyObject* item = PyLong_FromLongLong(IdOfKeyOrder(key));
      if (!item) return nullptr;
      PyList_SetItem(list.get(), i++, item);
    }
    return list.release();
  })
}

Py_ssize_t IdSetLength(PyObject* self) {
  return static_cast<Py_ssize_t>((*reinterpret_cast<IdSetObject*>(self)->set)->ids.size());
}

}  // namespace zanth::py
