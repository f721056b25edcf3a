// Appending vectors: records are routed to their shard by id and appended to the shard's last
// block, which is topped up to kBlockCapacity records before a new block is opened. Records of
// one shard keep the caller's order; each shard is written in one transaction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
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

// One shard's records, encoded and back to back: count * record_size bytes.
struct RecordBatch {
  std::unique_ptr<char[]> bytes;
  std::size_t count = 0;
};

struct VectorBatches {
  std::size_t record_size = 0;  // 8 + 4 * cols
  std::vector<RecordBatch> shards;
};

// Encodes row i under ids[i] for every i < ids.size() into its shard's batch; rows past the
// last id are not read. This is the only step that reads the caller's array, so the caller runs
// it while it guards that memory (the module holds the GIL).
// Errors: kInvalidArgument (more ids than rows; ids but no shard to take them).
Result<VectorBatches> BuildVectorBatches(const FloatRows& rows, std::span<const std::int64_t> ids,
                                         std::size_t num_shards);

// Appends every shard's batch. First every shard with work is read to check that its last
// block is a whole number of records of this size; a mismatch fails the call before any shard
// is written. The same check runs again inside each write transaction, since another writer
// may have appended meanwhile.
// Errors: kInvalidArgument (dimension mismatch; block numbers exhausted), kLmdb (a shard
// failed to read, write or commit: that shard keeps its earlier contents, the others
// committed).
Status AppendVectorBatches(const StoreHandle& store, const VectorBatches& batches);

}  // namespace zanth
