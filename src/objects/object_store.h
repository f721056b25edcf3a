// Pickled objects by record id: one record per id, key = the 8-byte id key, value = the
// caller's bytes. The core never sees Python: values arrive as byte views that the caller keeps
// alive until the call returns.
#pragma once

#include <cstdint>
#include <climits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/id_key.h"
#include "store/store_handle.h"

namespace zanth {

// One shard's object records of a batch: the id key and the position of its value in the
// caller's spans, sorted by key bytes so LMDB receives ascending keys.
struct KeyedRecord {
  IdKey key;
  std::size_t position;
};

// Per shard, the records of `ids`, sorted; only the last occurrence of a repeated id is kept.
std::vector<std::vector<KeyedRecord>> RouteObjectIds(std::span<const std::int64_t> ids,
                                                     std::size_t num_shards);

// Values of more than a third and less than half of an LMDB page would sit one or two to a leaf
// page, and a put under a random key splits such a leaf and rewrites it. Padded with zero bytes
// to half a page they no longer fit a leaf: LMDB gives each its own overflow page, written
// once, and the leaves hold only keys. Same space, half the write time for values of that
// size. Only for values whose readers ignore trailing bytes (pickle.loads does). Records whose
// keys sort after every stored key are never padded: they are appended, which fills leaves in
// order and splits none.
struct ObjectPadding {
  std::size_t above = SIZE_MAX;  // values longer than this ...
  std::size_t to = 0;            // ... and shorter than this are padded to this length
};

// The padding for the page size of `txn`'s environment.
ObjectPadding PaddingOfPages(MDB_txn* txn, MDB_dbi dbi);

// Puts values[record.position] under each record's key (padded as `padding` says; the records
// past the last stored key are appended unpadded), or deletes each record's key (a missing one
// is not an error), inside `txn`, the write transaction of `shard`. `records` are one shard's
// batch of RouteObjectIds: sorted, no key twice. Errors: kLmdb (a put or delete failed; `operation` and the shard name it).
Status PutObjectRecords(MDB_txn* txn, MDB_dbi dbi, const char* operation, std::size_t shard,
                        std::span<const KeyedRecord> records,
                        std::span<const std::string_view> values,
                        ObjectPadding padding = ObjectPadding());
Status DeleteObjectRecords(MDB_txn* txn, MDB_dbi dbi, const char* operation, std::size_t shard,
                           std::span<const KeyedRecord> records);

// Stores values[i] under ids[i]. When an id occurs more than once, the last occurrence wins.
// Errors: kInvalidArgument (zero shards with a non-empty batch, length mismatch),
// kLmdb (a shard's write failed; that shard stored nothing, the others committed).
Status PutObjects(const StoreHandle& store, std::span<const std::int64_t> ids,
                  std::span<const std::string_view> values);

// The bytes read by one GetObjects call. Each shard's values are copied into one buffer of that
// shard, sized once, instead of one allocation per object (a call reads 100,000s of small
// values, and per-object allocations cost more than the reads).
class ObjectValues {
 public:
  explicit ObjectValues(std::size_t count, std::size_t shards) : slots_(count), arenas_(shards) {}
  std::size_t size() const { return slots_.size(); }
  // The stored bytes of position i, nullopt where none is stored.
  std::optional<std::string_view> operator[](std::size_t i) const {
    const Slot& slot = slots_[i];
    if (!slot.found) return std::nullopt;
    return std::string_view(arenas_[slot.shard].data() + slot.offset, slot.length);
  }

 private:
  friend Result<ObjectValues> GetObjects(const StoreHandle&, std::span<const std::int64_t>);
  struct Slot {
    std::size_t offset = 0;
    std::size_t length = 0;
    std::uint32_t shard = 0;
    bool found = false;
  };
  std::vector<Slot> slots_;
  std::vector<std::string> arenas_;
};

// The stored bytes of each id in input order. Values of all shards are read before anything is
// returned.
// Errors: kLmdb (a shard's read transaction could not begin).
Result<ObjectValues> GetObjects(const StoreHandle& store, std::span<const std::int64_t> ids);

// Removes the object records of `ids`; ids without a record are not an error.
// Errors: kLmdb as for PutObjects.
Status DeleteObjects(const StoreHandle& store, std::span<const std::int64_t> ids);

// LMDB's entry count of every shard's database, summed: objects, vector blocks and index
// records each count one. Errors: kLmdb (mdb_env_stat failed).
Result<std::uint64_t> CountRecords(const StoreHandle& store);

}  // namespace zanth
