// Exact top-k search by inner product over every live vector record of every shard.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "index/id_set.h"
#include "store/store_handle.h"
#include "vectors/kernels/score_kernels.h"
#include "vectors/search/top_k.h"

namespace zanth {

// The best `k` hits among live records (tombstones never score) that `filter` accepts
// (nullptr: every record), in the result order of top_k.h: best first, equal scores by
// ascending id. Every shard is read in its own read-only transaction, and the blocks of all
// shards are dealt to a few tasks per pool thread (scan_engine.h), so even a single shard uses
// every thread. Memory beyond the hits returned is O(threads * min(k, hits)), never O(k).
// `query` (dim floats) and `filter` are only read and must stay unchanged until the call
// returns. `kernel` nullptr picks the best for this CPU.
// Errors: kLmdb (a shard's read transaction or cursor failed; reported after every task ended),
// kInvalidArgument (a block is not a whole number of records of this dimension),
// kWrongProcess.
Result<std::vector<ScoredHit>> SearchFlat(const StoreHandle& store, const float* query,
                                          std::size_t dim, const IdSet* filter, std::uint64_t k,
                                          ScoreKernel kernel = nullptr);

}  // namespace zanth
