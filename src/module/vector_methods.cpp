// store_flat_vectors, delete_flat_vectors, compact_vectors, search_flat and search_flat_batch:
// arrays are read with the GIL held (or pinned by a buffer view), the core runs without it.
#include <cstdint>
#include <optional>
#include <vector>

#include "module/convert.h"
#include "module/errors.h"
#include "module/methods.h"
#include "vectors/search/batch_search.h"
#include "vectors/search/flat_search.h"
#include "vectors/search/pruned_search.h"
#include "vectors/records/vector_append.h"
#include "vectors/records/vector_maintenance.h"

namespace zanth::py {

PyObject* StoreStoreFlatVectors(PyObject* self, PyObject* args, PyObject* kwargs) {
  ZANTH_ENTRY({
    static const char* const kNames[] = {"data", "identifiers", nullptr};
    PyObject* slots[2] = {nullptr, nullptr};
    if (!ParseArgs(args, kwargs, "store_flat_vectors", kNames, 2, slots)) return nullptr;
    BufferView data;
    std::vector<std::int64_t> ids;
    if (!ToFloat32Array(slots[0], "data", 2, &data)) return nullptr;
    if (!ToIds(slots[1], "identifiers", &ids)) return nullptr;
    const Py_buffer& view = data.view();
    FloatRows rows;
    rows.data = static_cast<const char*>(view.buf);
    rows.rows = static_cast<std::size_t>(view.shape[0]);
    rows.cols = static_cast<std::size_t>(view.shape[1]);
    rows.row_stride = view.strides[0];
    rows.col_stride = view.strides[1];
    const StoreHandle& store = StoreOf(self);
    // The shard tasks read the array without the GIL: `data` keeps its buffer exported (NumPy
    // cannot resize or free it meanwhile) until they have ended.
    auto batches = BuildVectorBatches(rows, ids, store.num_shards());
    if (!batches.ok()) return RaiseStatus(batches.status());
    if (ids.empty()) Py_RETURN_NONE;
    Status status = WithoutGil([&] { return AppendVectorBatches(store, batches.value()); });
    if (!status.ok()) return RaiseStatus(status);
    Py_RETURN_NONE;
  })
}

PyObject* StoreDeleteFlatVectors(PyObject* self, PyObject* args, PyObject* kwargs) {
  ZANTH_ENTRY({
    static const char* const kNames[] = {"identifiers", "dim", nullptr};
    PyObject* slots[2] = {nullptr, nullptr};
    if (!ParseArgs(args, kwargs, "delete_flat_vectors", kNames, 2, slots)) return nullptr;
    std::vector<std::int64_t> ids;
    std::uint64_t dim = 0;
    if (!ToIds(slots[0], "identifiers", &ids)) return nullptr;
    if (!ToU64(slots[1], "dim", &dim)) return nullptr;
    const StoreHandle& store = StoreOf(self);
    if (ids.empty() || store.num_shards() == 0) Py_RETURN_NONE;
    Status status = WithoutGil([&] { return DeleteVectors(store, ids, dim); });
    if (!status.ok()) return RaiseStatus(status, Operation::kDeleteFlatVectors);
    Py_RETURN_NONE;
  })
}

PyObject* StoreCompactVectors(PyObject* self, PyObject* args, PyObject* kwargs) {
  ZANTH_ENTRY({
    static const char* const kNames[] = {"dim", nullptr};
    PyObject* slots[1] = {nullptr};
    if (!ParseArgs(args, kwargs, "compact_vectors", kNames, 1, slots)) return nullptr;
    std::uint64_t dim = 0;
    if (!ToU64(slots[0], "dim", &dim)) return nullptr;
    const StoreHandle& store = StoreOf(self);
    Result<std::uint64_t> removed = WithoutGil([&] { return CompactVectors(store, dim); });
    if (!removed.ok()) return RaiseStatus(removed.status(), Operation::kCompactVectors);
    return PyLong_FromUnsignedLongLong(removed.value());
  })
}

namespace {

// filter_obj and k as both searches take them: None or a ZanthIterator (pinned by `ref` for the
// call), then k (default 10).
bool ToFilterAndK(PyObject* filter_obj, PyObject* k_obj, const IdSet** filter, OwnedRef* ref,
                  std::uint64_t* k) {
  if (filter_obj != nullptr && filter_obj != Py_None) {
    *filter = IdSetOf(filter_obj);
    if (*filter == nullptr) {
      PyErr_SetString(PyExc_TypeError, "argument 'filter_obj': expected a ZanthIterator or None");
      return false;
    }
    *ref = OwnedRef::Borrowed(filter_obj);
  }
  *k = 10;
  return k_obj == nullptr || ToU64(k_obj, "k", k);
}

// [(score, id), ...]
PyObject* HitList(const std::vector<ScoredHit>& hits) {
  OwnedRef list(PyList_New(static_cast<Py_ssize_t>(hits.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < hits.size(); ++i) {
    OwnedRef score(PyFloat_FromDouble(static_cast<double>(hits[i].score)));
    if (!score) return nullptr;
    OwnedRef id(PyLong_FromLongLong(hits[i].id));
    if (!id) return nullptr;
    PyObject* pair = PyTuple_Pack(2, score.get(), id.get());
    if (!pair) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair);
  }
  return list.release();
}

}  // namespace

PyObject* StoreSearchFlat(PyObject* self, PyObject* args, PyObject* kwargs) {
  ZANTH_ENTRY({
    static const char* const kNames[] = {"query_vector", "filter_obj", "k", nullptr};
    PyObject* slots[3] = {nullptr, nullptr, nullptr};
    if (!ParseArgs(args, kwargs, "search_flat", kNames, 1, slots)) return nullptr;
    // The query is read in place by every shard task while the GIL is released: the view pins
    // the array's memory until the call returns.
    BufferView query;
    if (!ToFloat32Array(slots[0], "query_vector", 1, &query)) return nullptr;
    const IdSet* filter = nullptr;
    OwnedRef filter_ref;
    std::uint64_t k = 0;
    if (!ToFilterAndK(slots[1], slots[2], &filter, &filter_ref, &k)) return nullptr;
    const Py_buffer& view = query.view();
    if (view.shape[0] > 1 && view.strides[0] != static_cast<Py_ssize_t>(sizeof(float))) {
      PyErr_SetString(PyExc_TypeError, "ndarray is not contiguous");
      return nullptr;
    }
    const StoreHandle& store = StoreOf(self);
    Result<std::vector<ScoredHit>> found = WithoutGil([&] {
      return SearchPruned(store, SketchesOf(self), static_cast<const float*>(view.buf),
                          static_cast<std::size_t>(view.shape[0]), filter, k);
    });
    if (!found.ok()) return RaiseStatus(found.status());
    return HitList(found.value());
  })
}

PyObject* StoreSearchFlatBatch(PyObject* self, PyObject* args, PyObject* kwargs) {
  ZANTH_ENTRY({
    static const char* const kNames[] = {"queries", "filter_obj", "k", nullptr};
    PyObject* slots[3] = {nullptr, nullptr, nullptr};
    if (!ParseArgs(args, kwargs, "search_flat_batch", kNames, 1, slots)) return nullptr;
    BufferView queries;  // read in place without the GIL; the view pins it
    if (!ToFloat32Array(slots[0], "queries", 2, &queries)) return nullptr;
    const IdSet* filter = nullptr;
    OwnedRef filter_ref;
    std::uint64_t k = 0;
    if (!ToFilterAndK(slots[1], slots[2], &filter, &filter_ref, &k)) return nullptr;
    const Py_buffer& view = queries.view();
    const auto count = static_cast<std::size_t>(view.shape[0]);
    const auto dim = static_cast<std::size_t>(view.shape[1]);
    const auto float_size = static_cast<Py_ssize_t>(sizeof(float));
    if ((dim > 1 && view.strides[1] != float_size) ||
        (count > 1 && view.strides[0] != float_size * view.shape[1])) {
      PyErr_SetString(PyExc_TypeError, "argument 'queries': ndarray is not C-contiguous");
      return nullptr;
    }
    const StoreHandle& store = StoreOf(self);
    Result<std::vector<std::vector<ScoredHit>>> found = WithoutGil([&] {
      return SearchFlatBatch(store, static_cast<const float*>(view.buf), count, dim, filter, k,
                             &SketchesOf(self));
    });
    if (!found.ok()) return RaiseStatus(found.status());
    const std::vector<std::vector<ScoredHit>>& all = found.value();
    OwnedRef lists(PyList_New(static_cast<Py_ssize_t>(all.size())));
    if (!lists) return nullptr;
    for (std::size_t q = 0; q < all.size(); ++q) {
      PyObject* hits = HitList(all[q]);
      if (!hits) return nullptr;
      PyList_SetItem(lists.get(), static_cast<Py_ssize_t>(q), hits);
    }
    return lists.release();
  })
}

// The sketch methods below touch no environment, but the sketch cache's mutex may have been
// held by a parent thread at fork(): in a child they fail as every other method does, before
// taking it.
PyObject* StoreSketchMemory(PyObject* self, PyObject*) {
  ZANTH_ENTRY({
    if (Status s = StoreOf(self).CheckProcess(); !s.ok()) return RaiseStatus(s);
    return PyLong_FromUnsignedLongLong(SketchesOf(self).memory());
  })
}

PyObject* StoreSetSketchBudget(PyObject* self, PyObject* args, PyObject* kwargs) {
  ZANTH_ENTRY({
    static const char* const kNames[] = {"max_bytes", nullptr};
    PyObject* slots[1] = {nullptr};
    if (!ParseArgs(args, kwargs, "set_sketch_budget", kNames, 1, slots)) return nullptr;
    std::uint64_t budget = SketchCache::kUnlimited;
    if (slots[0] != Py_None && !ToU64(slots[0], "max_bytes", &budget)) return nullptr;
    if (Status s = StoreOf(self).CheckProcess(); !s.ok()) return RaiseStatus(s);
    SketchesOf(self).SetBudget(budget);
    Py_RETURN_NONE;
  })
}

PyObject* StoreTakePruneCounts(PyObject* self, PyObject*) {
  ZANTH_ENTRY({
    if (Status s = StoreOf(self).CheckProcess(); !s.ok()) return RaiseStatus(s);
    SketchCache::Counts counts = SketchesOf(self).TakeCounts();
    return Py_BuildValue("(KKK)", static_cast<unsigned long long>(counts.bounded),
                         static_cast<unsigned long long>(counts.rescored),
                         static_cast<unsigned long long>(counts.sketched));
  })
}

}  // namespace zanth::py
