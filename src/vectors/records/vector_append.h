// Appending vectors: records are routed to their shard by id and appended to the shard's last
// block, which is topped up to kBlockCapacity records before a new block is opened. Records of
// one shard keep the caller's order; each shard is written in one transaction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "store/store_handle.h"

namespace zanth {

// A 2-D float32 array as the caller holds it: `rows` x `cols` values, element (r, c) at
// data + r * row_stride + c * col_stride bytes. Strides may be negative or any multiple of 4, so
// sliced and transposed arrays are read in place.
struct FloatRows {
  const char* data = nullptr;
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::ptrdiff_t row_stride = 0;
  std::ptrdiff_t col_stride = 0;
};

// Which rows go to which shard: per shard, the row positions in input order. The records
// themselves are encoded by the shard tasks straight into the space LMDB reserves for each block,
// so the array is copied once, into the map's pages, and by all shards in parallel.
struct VectorBatches {
  std::size_t record_size = 0;  // 8 + 4 * cols
  FloatRows source;
  const std::int64_t* ids = nullptr;
  std::vector<std::vector<std::size_t>> shards;
};

// Routes row i under ids[i] for every i < ids.size(); rows past the last id are not read. The
// result refers to `rows` and `ids`: the caller keeps both alive and unchanged (the module pins
// the array's buffer) until AppendVectorBatches returns.
// Errors: kInvalidArgument (more ids than rows; ids but no shard to take them).
Result<VectorBatches> BuildVectorBatches(const FloatRows& rows, std::span<const std::int64_t> ids,
                                         std::size_t num_shards);

// Checks, in a read transaction of every shard with work, that the shard's last block is a
// whole number of records of this batch's size, so a wrong dimension fails before anything is
// written. Errors: kInvalidArgument (dimension mismatch), kLmdb (a read failed).
Status CheckVectorBatches(const StoreHandle& store, const VectorBatches& batches,
                          const char* operation);

// Appends the batch of `shard` inside `txn`, that shard's write transaction, checking its last
// block again. Errors: as AppendVectorBatches, for this shard.
Status AppendVectorsToShard(MDB_txn* txn, MDB_dbi dbi, const char* operation, std::size_t shard,
                            const VectorBatches& batches);

// Appends every shard's batch. First every shard with work is read to check that its last
// block is a whole number of records of this size; a mismatch fails the call before any shard
// is written. The same check runs again inside each write transaction, since another writer
// may have appended meanwhile.
// Errors: kInvalidArgument (dimension mismatch; block numbers exhausted), kLmdb (a shard
// failed to read, write or commit: that shard keeps its earlier contents, the others
// committed).
Status AppendVectorBatches(const StoreHandle& store, const VectorBatches& batches);

}  // namespace zanth
