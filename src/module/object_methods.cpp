// store_data, get_data, delete_data and get_data_count: pickling at the edge, storage in the
// core with the GIL released.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "module/convert.h"
#include "module/errors.h"
#include "module/methods.h"
#include "objects/object_store.h"

namespace zanth::py {

namespace {

OwnedRef PickleFunction(const char* name) {
  OwnedRef pickle(PyImport_ImportModule("pickle"));
  if (!pickle) return OwnedRef();
  return OwnedRef(PyObject_GetAttrString(pickle.get(), name));
}

}  // namespace

PyObject* StoreStoreData(PyObject* self, PyObject* args, PyObject* kwargs) {
  ZANTH_ENTRY({
    static const char* const kNames[] = {"data", "identifiers", nullptr};
    PyObject* slots[2] = {nullptr, nullptr};
    if (!ParseArgs(args, kwargs, "store_data", kNames, 2, slots)) return nullptr;
    OwnedRef objects;
    std::vector<std::int64_t> ids;
    if (!ToObjectList(slots[0], "data", &objects)) return nullptr;
    if (!ToIds(slots[1], "identifiers", &ids)) return nullptr;
    Py_ssize_t n = PyList_Size(objects.get());
    if (static_cast<std::size_t>(n) != ids.size()) {
      PyErr_SetString(PyExc_ValueError, "Length mismatch");
      return nullptr;
    }
    if (n == 0) Py_RETURN_NONE;
    const StoreHandle& store = StoreOf(self);
    if (store.num_shards() == 0) {
      PyErr_SetString(PyExc_ValueError, "the store has no shards to hold objects");
      return nullptr;
    }
    OwnedRef dumps = PickleFunction("dumps");
    if (!dumps) return nullptr;
    // The pickled bytes objects stay alive (and immutable) while the core reads them
    // without the GIL, so their contents are never copied.
    OwnedRef pickled(PyList_New(n));
    if (!pickled) return nullptr;
    std::vector<std::string_view> values(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* bytes =
          PyObject_CallFunctionObjArgs(dumps.get(), PyList_GetItem(objects.get(), i), nullptr);
      if (!bytes) return nullptr;
      PyList_SetItem(pickled.get(), i, bytes);
      char* data;
      Py_ssize_t size;
      if (!PyBytes_Check(bytes) || PyBytes_AsStringAndSize(bytes, &data, &size) != 0) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "pickle.dumps did not return bytes");
        return nullptr;
      }
      values[static_cast<std::size_t>(i)] = std::string_view(data, static_cast<std::size_t>(size));
    }
    Status status = WithoutGil([&] { return PutObjects(store, ids, values); });
    if (!status.ok()) return RaiseStatus(status);
    Py_RETURN_NONE;
  })
}

PyObject* StoreGetData(PyObject* self, PyObject* args, PyObject* kwargs) {
  ZANTH_ENTRY({
    static const char* const kNames[] = {"identifiers", nullptr};
    PyObject* slots[1] = {nullptr};
    if (!ParseArgs(args, kwargs, "get_data", kNames, 1, slots)) return nullptr;
    std::vector<std::int64_t> ids;
    if (!ToIds(slots[0], "identifiers", &ids)) return nullptr;
    const StoreHandle& store = StoreOf(self);
    auto fetched = WithoutGil([&] { return GetObjects(store, ids); });
    if (!fetched.ok()) return RaiseStatus(fetched.status(), Operation::kGetData);
    OwnedRef loads = PickleFunction("loads");
    if (!loads) return nullptr;
    auto& slots_out = fetched.value();
    OwnedRef list(PyList_New(static_cast<Py_ssize_t>(slots_out.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < slots_out.size(); ++i) {
      PyObject* item;
      if (std::optional<std::string_view> value = slots_out[i]) {
        OwnedRef bytes(PyBytes_FromStringAndSize(value->data(),
                                                 static_cast<Py_ssize_t>(value->size())));
        if (!bytes) return nullptr;
        item = PyObject_CallFunctionObjArgs(loads.get(), bytes.get(), nullptr);
        if (!item) return nullptr;
      } else {
        item = Py_NewRef(Py_None);
      }
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
  })
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

}  // namespace zanth::py
