// Pickled objects by record id: one record per id, key = the 8-byte id key, value = the
// caller's bytes. The core never sees Python: values arrive as byte views that the caller keeps
// alive until the call returns.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "store/store_handle.h"

namespace zanth {

// Stores values[i] under ids[i]. When an id occurs more than once, the last occurrence wins.
// Errors: kInvalidArgument (zero shards with a non-empty batch, length mismatch),
// kLmdb (a shard's write failed; that shard stored nothing, the others committed).
Status PutObjects(const StoreHandle& store, std::span<const std::int64_t> ids,
                  std::span<const std::string_view> values);

// The stored bytes of each id in input order, nullopt where none is stored. Values of all
// shards are read before anything is returned.
// Errors: kLmdb (a shard's read transaction could not begin).
Result<std::vector<std::optional<std::string>>> GetObjects(const StoreHandle& store,
                                                           std::span<const std::int64_t> ids);

// Removes the object records of `ids`; ids without a record are not an error.
// Errors: kLmdb as for PutObjects.
Status DeleteObjects(const StoreHandle& store, std::span<const std::int64_t> ids);

// LMDB's entry count of every shard's database, summed: objects, vector blocks and index
// records each count one. Errors: kLmdb (mdb_env_stat failed).
Result<std::uint64_t> CountRecords(const StoreHandle& store);

}  // namespace zanth
