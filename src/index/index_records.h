// The inverted metadata index on disk: one record per (index key, record id) pair,
//   key   = UTF-8 bytes of the index key, the separator 0x7C, the 8-byte little-endian id
//   value = empty
// in the shard that the MD5 of the index key picks. The record's existence is its whole content.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/id_key.h"
#include "store/store_handle.h"

namespace zanth {

inline constexpr char kIndexSeparator = '|';
// The separator and the id follow the key in every index record key.
inline constexpr std::size_t kIndexRecordOverhead = 1 + kIdKeySize;
inline constexpr std::size_t kMaxIndexKeyBytes = kLmdbMaxKeyBytes - kIndexRecordOverhead;

struct IndexEntry {
  std::string key;  // UTF-8, at most kMaxIndexKeyBytes
  std::int64_t id;
};

// key + '|' + 8 id bytes.
std::string IndexRecordKey(std::string_view key, std::int64_t id);

// The 8 id bytes at `at` as a big-endian number: the id in key order (id_set.h's KeyOrderOf).
std::uint64_t KeyOrderAt(const char* at);

// Which records a leaf reads. Exact `key`: the records of exactly key + '|' + 8 id bytes.
// Range [start, end): the records r with start <= r < end that begin with start's namespace
// (start up to its first ':', or everything when it has none) and are longer than an id key:
// a cursor from start stops at the first record that fails, as those that pass are contiguous.
std::string_view RangeNamespace(std::string_view start);

// One shard's record keys of a batch, packed into a single buffer: a batch of a million entries
// would otherwise cost a heap allocation per key, and sorting offsets moves 16 bytes, not strings.
struct IndexShardBatch {
  std::string bytes;
  struct Span {
    std::size_t offset;
    std::size_t size;
  };
  std::vector<Span> records;

  void Add(std::string_view key, std::int64_t id);
  std::string_view At(const Span& s) const { return {bytes.data() + s.offset, s.size}; }
  // Byte-wise ascending, the order LMDB writes fastest.
  void Sort();
  // The record keys, in their present order.
  std::vector<std::string_view> Views() const;
};

// Routes every entry to the shard of its key: one batch per shard, unsorted.
// Errors: kInvalidArgument (a key longer than kMaxIndexKeyBytes), kInternal (MD5 unavailable).
Result<std::vector<IndexShardBatch>> RouteIndexEntries(std::span<const IndexEntry> entries,
                                                       std::size_t num_shards);

// Sorts `batch` and adds (or removes) its records inside `txn`, the write transaction of
// `shard`. Existing records on insert and missing ones on delete are not an error.
// Errors: kLmdb (a put or delete failed; `operation` and the shard name it).
Status InsertIndexRecords(MDB_txn* txn, MDB_dbi dbi, const char* operation, std::size_t shard,
                          IndexShardBatch& batch);
Status DeleteIndexRecords(MDB_txn* txn, MDB_dbi dbi, const char* operation, std::size_t shard,
                          IndexShardBatch& batch);

// Adds one record per entry; an entry already stored (or repeated in the batch) stays one record.
// Each shard's records are written in ascending key order in one write transaction.
// Errors: kInvalidArgument (a key longer than kMaxIndexKeyBytes, or entries for a store without
// shards; nothing written), kInternal (MD5 unavailable), kLmdb (a shard failed: that shard
// stored nothing of the batch, the others committed).
Status InsertIndexEntries(const StoreHandle& store, std::span<const IndexEntry> entries);

// Removes the record of each entry; entries that are not stored are not an error. A store
// without shards has nothing to delete. Errors as for InsertIndexEntries.
Status DeleteIndexEntries(const StoreHandle& store, std::span<const IndexEntry> entries);

}  // namespace zanth
