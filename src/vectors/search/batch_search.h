// Many queries in one pass over the vector records: each record is read once per batch and
// scored against tiles of queries held in registers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "index/id_set.h"
#include "store/store_handle.h"
#include "vectors/kernels/score_kernels.h"
#include "vectors/search/sketch_cache.h"
#include "vectors/search/top_k.h"

namespace zanth {

// For each of the `count` queries (row-major, count * dim floats) the list SearchFlat gives for
// that query alone: the same hits in the same order with the same float32 scores. Memory beyond
// the results is one transposed copy of the queries (count * dim floats) plus, per task, a heap
// per query that grows with the hits offered, never with k. `queries` and `filter` are only
// read and must stay unchanged until the call returns. With `sketches` (enabled, a dimension in
// the sketched range) the batch prunes as SearchPruned does, tiles of up to 32 queries bounding
// each record at once (with AVX-512 VNNI or AMX tiles; elsewhere query by query), when that
// pays on this CPU: always for batches of up to 8, beyond that when a probe made once per
// process finds the bound pass of a (record, query) pair cheaper than its float tile score by a
// margin; otherwise the batch scans the float tiles. `kernel` nullptr picks the best for this
// CPU, and then a single query is searched by SearchPruned (SearchFlat without `sketches`).
// Errors: as SearchFlat.
Result<std::vector<std::vector<ScoredHit>>> SearchFlatBatch(const StoreHandle& store,
                                                            const float* queries,
                                                            std::size_t count, std::size_t dim,
                                                            const IdSet* filter, std::uint64_t k,
                                                            SketchCache* sketches = nullptr,
                                                            const TileKernel* kernel = nullptr);

}  // namespace zanth
