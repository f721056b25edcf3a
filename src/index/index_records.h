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
