// How vectors sit in a shard: records of an 8-byte little-endian id followed by `dim` float32
// values, packed up to kBlockCapacity to one LMDB value under a 5-byte key 0x70 + big-endian
// block number. Object keys (8 bytes) and index keys (>= 9 bytes) may also begin with 0x70 and
// sort among the blocks; only a key of exactly 5 bytes is a block.
#pragma once

#include <lmdb.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "base/id_key.h"
#include "base/status.h"
#include "store/lmdb_handles.h"
#include "store/store_handle.h"

namespace zanth {

inline constexpr std::size_t kBlockCapacity = 256;  // records per block
inline constexpr std::size_t kCacheLine = 64;
// Scans deal blocks to this many tasks per pool thread, so one slow thread (the machine may be
// shared) does not hold up the call.
inline constexpr std::size_t kTasksPerThread = 4;
// Bytes of the next block touched ahead of its scan; records within a block are prefetched by
// the kernels.
inline constexpr std::size_t kBlockPrefetchBytes = 2048;
inline constexpr char kVectorKeyPrefix = 0x70;
inline constexpr std::size_t kBlockKeySize = 5;
inline constexpr std::size_t kRecordIdSize = kIdKeySize;

using BlockKey = std::array<char, kBlockKeySize>;

// Bytes of one record: 8 + 4 * dim. Saturates at UINT64_MAX for a dim so large that no value can
// hold a record, so such a dim simply finds no whole record instead of wrapping around.
inline std::uint64_t RecordSize(std::uint64_t dim) {
  constexpr std::uint64_t kMaxDim = (UINT64_MAX - kRecordIdSize) / sizeof(float);
  return dim > kMaxDim ? UINT64_MAX : kRecordIdSize + dim * sizeof(float);
}

BlockKey EncodeBlockKey(std::uint32_t number);
// The number in a block key, or in the first five bytes of a longer key of the vector range.
std::uint32_t DecodeBlockNumber(std::string_view key);

inline bool InVectorKeyRange(std::string_view key) {
  return !key.empty() && key[0] == kVectorKeyPrefix;
}
inline bool IsBlockKey(std::string_view key) {
  return key.size() == kBlockKeySize && key[0] == kVectorKeyPrefix;
}

// Every value this system writes is a whole number of records; a remainder means the blocks
// were written with another dimension than the caller's.
// Errors: kInvalidArgument naming the shard, the block and both sizes.
Status CheckBlockLength(std::string_view key, std::size_t length, std::uint64_t record_size,
                        std::size_t shard);

struct LastBlock {
  bool found = false;
  std::uint32_t number = 0;
  std::string_view value;  // points into the map; valid until the transaction writes
};

// The block with the greatest number in `dbi`, or found == false when the shard has none.
// Works in any transaction; appends call it inside their write transaction so that two writers
// of one shard never pick the same number.
// Errors: kLmdb (cursor open, or a cursor step failing other than with MDB_NOTFOUND).
Result<LastBlock> FindLastBlock(MDB_txn* txn, MDB_dbi dbi);

// Walks the vector key range in key order from the first key >= `start_key` (a key inside the
// range, or the one-byte prefix for all of it) and calls visit(key, value, &stop) for every
// block; other keys of the range are passed over, runs of them sharing five leading bytes by one
// seek rather than a step per key, so index records under 'p' keys cost the walk next to
// nothing. This is the one walk over a shard's blocks: search, deletion and compaction use it.
// A visitor failure ends the walk and is returned; setting `stop` ends it without failure. Both
// views point into the map and are valid until the transaction writes.
// Errors: the visitor's, or kLmdb (cursor open, or a cursor step failing other than with
// MDB_NOTFOUND).
using BlockVisitor =
    std::function<Status(std::string_view key, std::string_view value, bool* stop)>;
Status ForEachBlock(MDB_txn* txn, MDB_dbi dbi, std::string_view start_key,
                    const BlockVisitor& visit);

// Begins `txn` as a read-only transaction on `shard` of `store` and calls add(value, records)
// for every block, in key order, with the number of `record_size`-byte records it holds. The
// values stay valid while `txn` lives.
// Errors: kLmdb (the transaction or a cursor step; the context names `operation` and the
// shard), kInvalidArgument (a block written with another dimension).
Status ListShardBlocks(const StoreHandle& store, std::size_t shard, std::size_t record_size,
                       const char* operation, Txn* txn,
                       const std::function<void(const char* value, std::size_t records)>& add);

inline std::string_view VectorRangeStart() { return std::string_view(&kVectorKeyPrefix, 1); }

}  // namespace zanth
