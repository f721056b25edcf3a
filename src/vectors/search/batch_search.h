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
// the sketched range) the batch prunes as SearchPruned does: with AVX-512 VNNI in tiles of up
// to 32 queries at any batch size, elsewhere query by query for batches of up to 8 (larger
// ones scan the float tiles, which is cheaper there). `kernel` nullptr picks the best for this
// CPU. Errors: as SearchFlat.
Result<std::vector<std::vector<ScoredHit>>> SearchFlatBatch(const StoreHandle& store,
                                                            const float* queries,
                                                            std::size_t count, std::size_t dim,
                                                            const IdSet* filter, std::uint64_t k,
                                                            SketchCache* sketches = nullptr,
                                                            const TileKernel* kernel = nullptr);

}  // namespace zanth
