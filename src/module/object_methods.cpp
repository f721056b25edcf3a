// store_data, get_data, delete_data and get_data_count, and store_pickled and get_pickled, which
// take and give the pickled bytes themselves: pickling at the edge, storage in the core with the
// GIL released. Either pair reads what the other writes.
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "module/convert.h"
#include "module/errors.h"
#include "module/methods.h"
#include "objects/batch_write.h"
#include "objects/object_store.h"
#include "store/shard_writer.h"

namespace zanth::py {

namespace {

OwnedRef ModuleFunction(const char* module, const char* name) {
  OwnedRef imported(PyImport_ImportModule(module));
  if (!imported) return OwnedRef();
  return OwnedRef(PyObject_GetAttrString(imported.get(), name));
}

OwnedRef PickleFunction(const char* name) { return ModuleFunction("pickle", name); }

// Views of the bytes objects of `blobs` (a list the caller owns and keeps unchanged while they
// are read). TypeError when an item is not bytes.
bool BytesViews(PyObject* blobs, std::vector<std::string_view>* values) {
  const auto n = static_cast<std::size_t>(PyList_Size(blobs));
  values->resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* bytes = PyList_GetItem(blobs, static_cast<Py_ssize_t>(i));
    char* data;
    Py_ssize_t size;
    if (!PyBytes_Check(bytes) || PyBytes_AsStringAndSize(bytes, &data, &size) != 0) return false;
    (*values)[i] = std::string_view(data, static_cast<std::size_t>(size));
  }
  return true;
}

// Writes the bytes objects of `blobs` (a list the caller owns) under `ids`. The bytes objects
// stay alive and immutable while the core reads them without the GIL, so their contents are
// never copied. TypeError when an item is not bytes.
PyObject* PutBytesList(PyObject* self, PyObject* blobs, const std::vector<std::int64_t>& ids) {
  std::vector<std::string_view> values;
  if (!BytesViews(blobs, &values)) return nullptr;
  const StoreHandle& store = StoreOf(self);
  Status status = WithoutGil([&] { return PutObjects(store, ids, values); });
  if (!status.ok()) return RaiseStatus(status);
  Py_RETURN_NONE;
}

// The arguments store_data and store_pickled share: a sequence of items and one id each, of
// equal length. Sets `*done` (the call returns None) when both are empty.
bool ToItemsAndIds(PyObject* args, PyObject* kwargs, const char* method, PyObject* self,
                   OwnedRef* items, std::vector<std::int64_t>* ids, bool* done) {
  static const char* const kNames[] = {"data", "identifiers", nullptr};
  PyObject* slots[2] = {nullptr, nullptr};
  if (!ParseArgs(args, kwargs, method, kNames, 2, slots)) return false;
  if (!ToObjectList(slots[0], "data", items)) return false;
  if (!ToIds(slots[1], "identifiers", ids)) return false;
  if (static_cast<std::size_t>(PyList_Size(items->get())) != ids->size()) {
    PyErr_SetString(PyExc_ValueError, "Length mismatch");
    return false;
  }
  *done = ids->empty();
  if (!*done && StoreOf(self).num_shards() == 0) {
    PyErr_SetString(PyExc_ValueError, "the store has no shards to hold objects");
    return false;
  }
  return true;
}

// pickle.dumps of every item of `objects` (a list the caller owns), before any shard commits:
// one that cannot be pickled stores nothing.
bool PickleEach(PyObject* objects, OwnedRef* pickled) {
  OwnedRef dumps = PickleFunction("dumps");
  if (!dumps) return false;
  const Py_ssize_t n = PyList_Size(objects);
  *pickled = OwnedRef(PyList_New(n));
  if (!*pickled) return false;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* bytes =
        PyObject_CallFunctionObjArgs(dumps.get(), PyList_GetItem(objects, i), nullptr);
    if (!bytes) return false;
    PyList_SetItem(pickled->get(), i, bytes);
    if (!PyBytes_Check(bytes)) {
      PyErr_SetString(PyExc_TypeError, "pickle.dumps did not return bytes");
      return false;
    }
  }
  return true;
}


// True when pickling `object` runs no Python code: it is made of None, bool and exact int,
// float, str, bytes, tuple, list and dict (nested at most 16 deep), which the pickler writes
// with its own C code, consulting no reducer.
bool PicklesWithoutCode(PyObject* object, int depth = 0) {
  if (object == Py_None || PyBool_Check(object) || PyLong_CheckExact(object) ||
      PyFloat_CheckExact(object) || PyUnicode_CheckExact(object) || PyBytes_CheckExact(object)) {
    return true;
  }
  if (depth >= 16) return false;
  if (PyTuple_CheckExact(object) || PyList_CheckExact(object)) {
    const bool tuple = PyTuple_CheckExact(object);
    const Py_ssize_t n = tuple ? PyTuple_Size(object) : PyList_Size(object);
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = tuple ? PyTuple_GetItem(object, i) : PyList_GetItem(object, i);
      if (!PicklesWithoutCode(item, depth + 1)) return false;
    }
    return true;
  }
  if (PyDict_CheckExact(object)) {
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(object, &position, &key, &value)) {
      if (!PicklesWithoutCode(key, depth + 1) || !PicklesWithoutCode(value, depth + 1)) {
        return false;
      }
    }
    return true;
  }
  return false;
}

bool AllPickleWithoutCode(PyObject* objects) {
  if (objects == nullptr) return true;
  const Py_ssize_t n = PyList_Size(objects);
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!PicklesWithoutCode(PyList_GetItem(objects, i))) return false;
  }
  return true;
}

// Below this many objects, a writer thread costs more than the pickling it overlaps.
constexpr Py_ssize_t kFedObjects = 256;

// A file-like object whose write() appends to `out`: the C pickler dumps a batch's objects
// into it one after another, each a whole pickle, with no bytes object per pickle. Used only
// while its owner pickles into it, with the GIL held; `out` is null otherwise.
struct PickleSink {
  PyObject_HEAD
  std::string* out;
};

PyObject* PickleSinkWrite(PyObject* self, PyObject* data) {
  std::string* out = reinterpret_cast<PickleSink*>(self)->out;
  if (out == nullptr) {
    PyErr_SetString(PyExc_ValueError, "the pickle sink is closed");
    return nullptr;
  }
  Py_buffer view;
  if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) != 0) return nullptr;
  try {
    out->append(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len));
  } catch (const std::bad_alloc&) {
    PyBuffer_Release(&view);
    return PyErr_NoMemory();
  }
  PyBuffer_Release(&view);
  Py_RETURN_NONE;
}

PyMethodDef kPickleSinkMethods[] = {
    {"write", PickleSinkWrite, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

void PickleSinkDealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(reinterpret_cast<PyObject*>(type));
}

PyType_Slot kPickleSinkSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(PickleSinkDealloc)},
    {Py_tp_methods, kPickleSinkMethods},
    {0, nullptr},
};

PyType_Spec kPickleSinkSpec = {"zanth_vec._PickleSink", sizeof(PickleSink), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                               kPickleSinkSlots};

// The pickles of fed writes, one buffer per thread: a thread writes one batch at a time, and
// the buffer keeps its memory between batches (up to kKeptPickleBytes), so each batch's
// pickles land on pages already mapped instead of on fresh allocations.
thread_local std::string t_pickles;
constexpr std::size_t kKeptPickleBytes = std::size_t{32} << 20;

// Dumps each item of `objects` (a list the caller owns) with one `pickler_type` (the C
// pickler, _pickle.Pickler, looked up by the caller before the shards are written: a lookup may
// import, and an import may run Python code) into a sink that appends to `*out`, its memo
// cleared between items. Each pickle is the bytes pickle.dumps gives (a large one may be framed
// differently, which pickle.loads reads alike); `ends` gets the end offset of each.
bool PickleInto(PyObject* pickler_type, PyObject* objects, std::string* out,
                std::vector<std::size_t>* ends) {
  static PyObject* sink_type = nullptr;  // made once, under the GIL, and kept
  if (sink_type == nullptr && (sink_type = PyType_FromSpec(&kPickleSinkSpec)) == nullptr) {
    return false;
  }
  auto* type = reinterpret_cast<PyTypeObject*>(sink_type);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  OwnedRef sink(alloc(type, 0));
  if (!sink) return false;
  reinterpret_cast<PickleSink*>(sink.get())->out = out;
  struct Closed {  // the sink outlives this call only as garbage that writes nowhere
    PyObject* sink;
    ~Closed() { reinterpret_cast<PickleSink*>(sink)->out = nullptr; }
  } closed{sink.get()};
  OwnedRef pickler(PyObject_CallFunctionObjArgs(pickler_type, sink.get(), nullptr));
  if (!pickler) return false;
  OwnedRef dump(PyObject_GetAttrString(pickler.get(), "dump"));
  OwnedRef clear(PyObject_GetAttrString(pickler.get(), "clear_memo"));
  if (!dump || !clear) return false;
  const Py_ssize_t n = PyList_Size(objects);
  for (Py_ssize_t i = 0; i < n; ++i) {
    OwnedRef done(PyObject_CallFunctionObjArgs(dump.get(), PyList_GetItem(objects, i), nullptr));
    if (!done) return false;
    OwnedRef cleared(PyObject_CallNoArgs(clear.get()));
    if (!cleared) return false;
    ends->push_back(out->size());
  }
  return true;
}

// Writes `batch` while this thread pickles `objects` and `more` (either may be null) with the
// C pickler `pickler_type` (`PickleInto`): the shards do the rest of the batch meanwhile and
// wait for the pickles before their puts and commits. No Python code may run on this thread
// meanwhile: it could write to this store and wait for the locks of the shards that wait for
// it. So only objects that pickle without code come here, only while pickle.dumps is the C
// pickler's own (as shipped, not a replacement), and the collector, which runs finalizers, is
// paused.
PyObject* WriteFed(const StoreHandle& store, WriteBatch batch, PyObject* objects,
                   PyObject* more, PyObject* pickler_type) {
  ObjectFeed feed(objects ? static_cast<std::size_t>(PyList_Size(objects)) : 0,
                  more ? static_cast<std::size_t>(PyList_Size(more)) : 0);
  batch.feed = &feed;
  // Declared before the writer: the pickles outlive every read of them, an unwinding's
  // included. Nothing else on this thread pickles into them meanwhile: no Python code runs.
  std::string& pickles = t_pickles;
  pickles.clear();
  struct Trimmed {  // a rare large batch does not keep its memory
    std::string& pickles;
    ~Trimmed() {
      if (pickles.capacity() > kKeptPickleBytes) std::string().swap(pickles);
    }
  } trimmed{pickles};
  std::vector<std::size_t> ends;  // sized here: nothing throws while the collector is paused
  ends.reserve(feed.objects() + feed.more_objects());
  std::vector<std::string_view> values;
  Status status;
  std::exception_ptr thrown;
  std::thread writer([&] {
    try {
      status = ApplyWriteBatch(store, batch);
    } catch (...) {
      thrown = std::current_exception();
    }
  });
  struct Joined {  // on every way out: the feed ends and the writer is waited for
    ObjectFeed& feed;
    std::thread& writer;
    ~Joined() {
      if (!writer.joinable()) return;
      feed.Fail();
      writer.join();
    }
  } joined{feed, writer};
  const int collecting = PyGC_Disable();
  const bool made = (!objects || PickleInto(pickler_type, objects, &pickles, &ends)) &&
                    (!more || PickleInto(pickler_type, more, &pickles, &ends));
  if (collecting) PyGC_Enable();
  if (made) {
    values.reserve(ends.size());
    std::size_t start = 0;
    for (std::size_t end : ends) {
      values.emplace_back(pickles.data() + start, end - start);
      start = end;
    }
    feed.Deliver(std::move(values));
  } else {
    feed.Fail();
  }
  WithoutGil([&] {
    writer.join();
    return 0;
  });
  if (!made) return nullptr;  // the pickler's exception
  if (thrown) std::rethrow_exception(thrown);
  if (!status.ok()) return RaiseStatus(status);
  Py_RETURN_NONE;
}

// The stored objects of every id (unpickled, or the bytes themselves with `unpickle` false);
// None where nothing is stored.
PyObject* GetEach(PyObject* self, PyObject* args, PyObject* kwargs, const char* method,
                  bool unpickle) {
  static const char* const kNames[] = {"identifiers", nullptr};
  PyObject* slots[1] = {nullptr};
  if (!ParseArgs(args, kwargs, method, kNames, 1, slots)) return nullptr;
  std::vector<std::int64_t> ids;
  if (!ToIds(slots[0], "identifiers", &ids)) return nullptr;
  const StoreHandle& store = StoreOf(self);
  auto fetched = WithoutGil([&] { return GetObjects(store, ids); });
  if (!fetched.ok()) return RaiseStatus(fetched.status(), Operation::kGetData);
  OwnedRef loads;
  if (unpickle && !(loads = PickleFunction("loads"))) return nullptr;
  auto& values = fetched.value();
  OwnedRef list(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* item;
    if (std::optional<std::string_view> value = values[i]) {
      OwnedRef bytes(PyBytes_FromStringAndSize(value->data(),
                                               static_cast<Py_ssize_t>(value->size())));
      if (!bytes) return nullptr;
      item = unpickle ? PyObject_CallFunctionObjArgs(loads.get(), bytes.get(), nullptr)
                      : bytes.release();
      if (!item) return nullptr;
    } else {
      item = Py_NewRef(Py_None);
    }
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

}  // namespace

PyObject* StoreStoreData(PyObject* self, PyObject* args, PyObject* kwargs) {
  ZANTH_ENTRY({
    OwnedRef objects;
    std::vector<std::int64_t> ids;
    bool done = false;
    if (!ToItemsAndIds(args, kwargs, "store_data", self, &objects, &ids, &done)) return nullptr;
    if (done) Py_RETURN_NONE;
    OwnedRef pickled;
    if (!PickleEach(objects.get(), &pickled)) return nullptr;
    return PutBytesList(self, pickled.get(), ids);
  })
}

PyObject* StoreStorePickled(PyObject* self, PyObject* args, PyObject* kwargs) {
  ZANTH_ENTRY({
    OwnedRef blobs;
    std::vector<std::int64_t> ids;
    bool done = false;
    if (!ToItemsAndIds(args, kwargs, "store_pickled", self, &blobs, &ids, &done)) return nullptr;
    // Checked before anything is written, so a bad item stores nothing.
    const Py_ssize_t n = PyList_Size(blobs.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = PyList_GetItem(blobs.get(), i);
      if (!PyBytes_Check(item)) {
        PyErr_Format(PyExc_TypeError, "argument 'data': item %zd is not bytes", i);
        return nullptr;
      }
    }
    if (done) Py_RETURN_NONE;
    return PutBytesList(self, blobs.get(), ids);
  })
}

PyObject* StoreGetData(PyObject* self, PyObject* args, PyObject* kwargs) {
  ZANTH_ENTRY({ return GetEach(self, args, kwargs, "get_data", true); })
}

PyObject* StoreGetPickled(PyObject* self, PyObject* args, PyObject* kwargs) {
  ZANTH_ENTRY({ return GetEach(self, args, kwargs, "get_pickled", false); })
}

PyObject* StoreDeleteData(PyObject* self, PyObject* args, PyObject* kwargs) {
  ZANTH_ENTRY({
    static const char* const kNames[] = {"identifiers", nullptr};
    PyObject* slots[1] = {nullptr};
    if (!ParseArgs(args, kwargs, "delete_data", kNames, 1, slots)) return nullptr;
    std::vector<std::int64_t> ids;
    if (!ToIds(slots[0], "identifiers", &ids)) return nullptr;
    if (ids.empty()) Py_RETURN_NONE;
    const StoreHandle& store = StoreOf(self);
    Status status = WithoutGil([&] { return DeleteObjects(store, ids); });
    if (!status.ok()) return RaiseStatus(status);
    Py_RETURN_NONE;
  })
}

PyObject* StoreGetDataCount(PyObject* self, PyObject*) {
  ZANTH_ENTRY({
    // Statistics reads are a few microseconds per shard; the GIL stays held.
    auto count = CountRecords(StoreOf(self));
    if (!count.ok()) return RaiseStatus(count.status(), Operation::kGetDataCount);
    return PyLong_FromUnsignedLongLong(count.value());
  })
}

PyObject* StoreWriteBatch(PyObject* self, PyObject* args, PyObject* kwargs) {
  ZANTH_ENTRY({
    static const char* const kNames[] = {"identifiers",    "data",          "vectors",
                                         "index_inserts",  "index_deletes", "vector_deletes",
                                         "object_deletes", "dim",           "more_identifiers",
                                         "more_data",      nullptr};
    PyObject* slots[10] = {};
    if (!ParseArgs(args, kwargs, "write_batch", kNames, 1, slots)) return nullptr;
    auto given = [&](int i) { return slots[i] != nullptr && slots[i] != Py_None; };
    std::vector<std::int64_t> ids, vector_deletes, object_deletes;
    if (!ToIds(slots[0], "identifiers", &ids)) return nullptr;
    OwnedRef objects;
    if (given(1) && !ToObjectList(slots[1], "data", &objects)) return nullptr;
    if (objects && static_cast<std::size_t>(PyList_Size(objects.get())) != ids.size()) {
      PyErr_SetString(PyExc_ValueError, "Length mismatch");
      return nullptr;
    }
    std::vector<std::int64_t> more_ids;
    OwnedRef more_objects;
    if (given(8) != given(9)) {
      PyErr_SetString(PyExc_ValueError, "more_identifiers and more_data go together");
      return nullptr;
    }
    if (given(8) && (!ToIds(slots[8], "more_identifiers", &more_ids) ||
                     !ToObjectList(slots[9], "more_data", &more_objects))) {
      return nullptr;
    }
    if (more_objects &&
        static_cast<std::size_t>(PyList_Size(more_objects.get())) != more_ids.size()) {
      PyErr_SetString(PyExc_ValueError, "Length mismatch");
      return nullptr;
    }
    BufferView data;
    FloatRows rows;
    if (given(2)) {
      if (!ToFloat32Array(slots[2], "vectors", 2, &data)) return nullptr;
      const Py_buffer& view = data.view();
      rows.data = static_cast<const char*>(view.buf);
      rows.rows = static_cast<std::size_t>(view.shape[0]);
      rows.cols = static_cast<std::size_t>(view.shape[1]);
      rows.row_stride = view.strides[0];
      rows.col_stride = view.strides[1];
    }
    std::vector<IndexEntry> inserts, deletes;
    if (given(3) && !ToIndexEntries(slots[3], "index_inserts", &inserts)) return nullptr;
    if (given(4) && !ToIndexEntries(slots[4], "index_deletes", &deletes)) return nullptr;
    if (given(5) && !ToIds(slots[5], "vector_deletes", &vector_deletes)) return nullptr;
    if (given(6) && !ToIds(slots[6], "object_deletes", &object_deletes)) return nullptr;
    std::uint64_t dim = rows.cols;
    if (given(7) && !ToU64(slots[7], "dim", &dim)) return nullptr;
    if (!given(7) && !given(2) && !vector_deletes.empty()) {
      PyErr_SetString(PyExc_ValueError, "vector_deletes need dim (or vectors of that dimension)");
      return nullptr;
    }
    WriteBatch batch;
    batch.ids = ids;
    batch.more_ids = more_ids;
    batch.vectors = given(2) ? &rows : nullptr;
    batch.object_deletes = object_deletes;
    batch.vector_deletes = vector_deletes;
    batch.index_deletes = deletes;
    batch.index_inserts = inserts;
    batch.dim = dim;
    const StoreHandle& store = StoreOf(self);
    const Py_ssize_t count = (objects ? PyList_Size(objects.get()) : 0) +
                             (more_objects ? PyList_Size(more_objects.get()) : 0);
    if (count >= kFedObjects) {
      // Imported first: an import may run Python code, which may change the objects.
      OwnedRef dumps = PickleFunction("dumps");
      if (!dumps) return nullptr;
      OwnedRef own = ModuleFunction("_pickle", "dumps");  // the pickler in C, unless replaced
      OwnedRef pickler = own ? ModuleFunction("_pickle", "Pickler") : OwnedRef();
      if (!pickler) PyErr_Clear();
      if (pickler && own.get() == dumps.get() && AllPickleWithoutCode(objects.get()) &&
          AllPickleWithoutCode(more_objects.get())) {
        return WriteFed(store, batch, objects.get(), more_objects.get(), pickler.get());
      }
    }
    // Pickled before anything is written: an object that cannot be pickled stores nothing.
    // The bytes objects stay alive and immutable while the shards read them without the GIL.
    OwnedRef pickled, more_pickled;
    if (objects && !PickleEach(objects.get(), &pickled)) return nullptr;
    if (more_objects && !PickleEach(more_objects.get(), &more_pickled)) return nullptr;
    std::vector<std::string_view> values, more_values;
    if (pickled && !BytesViews(pickled.get(), &values)) return nullptr;
    if (more_pickled && !BytesViews(more_pickled.get(), &more_values)) return nullptr;
    batch.objects = values;
    batch.more_objects = more_values;
    Status status = WithoutGil([&] { return ApplyWriteBatch(store, batch); });
    if (!status.ok()) return RaiseStatus(status);
    Py_RETURN_NONE;
  })
}

PyObject* StoreRefresh(PyObject* self, PyObject*) {
  ZANTH_ENTRY({
    const StoreHandle& store = StoreOf(self);
    Status status = WithoutGil([&] { return PublishDeadWriters(store); });
    if (!status.ok()) return RaiseStatus(status);
    Py_RETURN_NONE;
  })
}

PyObject* StoreLastCommits(PyObject* self, PyObject*) {
  ZANTH_ENTRY({
    const StoreHandle& store = StoreOf(self);
    auto commits = WithoutGil([&] { return VisibleCommits(store); });
    if (!commits.ok()) return RaiseStatus(commits.status());
    OwnedRef ids(PyList_New(static_cast<Py_ssize_t>(commits.value().size())));
    if (!ids) return nullptr;
    for (std::size_t shard = 0; shard < commits.value().size(); ++shard) {
      PyObject* id = PyLong_FromUnsignedLongLong(commits.value()[shard]);
      if (!id) return nullptr;
      PyList_SetItem(ids.get(), static_cast<Py_ssize_t>(shard), id);
    }
    return ids.release();
  })
}

}  // namespace zanth::py
