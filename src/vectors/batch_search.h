// Many queries in one pass over the vector records: each record is read once per batch and
// scored against tiles of queries held in registers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "index/id_set.h"
#include "store/store_handle.h"
#include "vectors/score_kernels.h"
#include "vectors/sketch_cache.h"
#include "vectors/top_k.h"

namespace zanth {

// For each of the `count` queries (row-major, count * dim floats) the list SearchFlat gives for
// that query alone: the same hits with the same float32 scores, best first (which of several
// equal scores at the cut survive is unspecified, as there). Memory beyond the results is one
// transposed copy of the queries (count * dim floats) plus, per task, a heap per query that
// grows with the hits offered, never with k. `queries` and `filter` are only read and must stay
// unchanged until the call returns. With `sketches` (enabled, a dimension in the sketched range)
// a batch of a few queries prunes as SearchPruned does, query by query, with the same results;
// larger batches scan, as that is faster. `kernel` nullptr picks the best for this CPU.
// Errors: as SearchFlat.
Result<std::vector<std::vector<ScoredHit>>> SearchFlatBatch(const StoreHandle& store,
                                                            const float* queries,
                                                            std::size_t count, std::size_t dim,
                                                            const IdSet* filter, std::uint64_t k,
                                                            SketchCache* sketches = nullptr,
                                                            const TileKernel* kernel = nullptr);

}  // namespace zanth
