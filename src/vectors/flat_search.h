// Exact top-k search by inner product over every live vector record of every shard.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "index/id_set.h"
#include "store/store_handle.h"
#include "vectors/score_kernels.h"
#include "vectors/top_k.h"

namespace zanth {

// The best `k` hits among live records (tombstones never score) that `filter` accepts
// (nullptr: every record), best first; equal scores come in no particular order. Every shard is
// read in its own read-only transaction, and the blocks of all shards are split among a few
// tasks per pool thread, so even a single shard uses every thread. Memory beyond the hits returned is
// O(threads * min(k, hits)), never O(k). `query` (dim floats) and `filter` are only read and
// must stay unchanged until the call returns. `kernel` nullptr picks the best for this CPU.
// Errors: kLmdb (a shard's read transaction or cursor failed; reported after every task ended),
// kInvalidArgument (a block is not a whole number of records of this dimension),
// kWrongProcess.
Result<std::vector<ScoredHit>> SearchFlat(const StoreHandle& store, const float* query,
                                          std::size_t dim, const IdSet* filter, std::uint64_t k,
                                          ScoreKernel kernel = nullptr);

// The scan every flat search shares. It opens every shard's read transaction, lists the blocks
// of this dimension, deals them out in contiguous runs to a few tasks per pool thread, and
// hands each task's live records that `filter` accepts (nullptr: all) to
// `score(task, records, ids, count)`, at most `batch` records at a time (gathered across
// blocks, so thin filters still give full batches). `start(tasks)` runs once, before any
// `score`, with the number of tasks; a task's calls never overlap, different tasks' do. The
// record pointers stay valid until the scan returns. Errors: as SearchFlat.
using AcceptedRecordSink = std::function<void(std::size_t task, const char* const* records,
                                              const std::int64_t* ids, std::size_t count)>;
Status ScanAcceptedRecords(const StoreHandle& store, std::size_t dim, const IdSet* filter,
                           std::size_t batch, const std::function<void(std::size_t)>& start,
                           const AcceptedRecordSink& score);

}  // namespace zanth
