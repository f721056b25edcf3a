// Exact top-k search that reads int8 sketches instead of float32 vectors wherever a bound proves
// a record cannot reach the current k-th best score. Returns what SearchFlat returns: the same
// hits in the same order with the same float32 scores.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "index/id_set.h"
#include "store/store_handle.h"
#include "vectors/search/flat_search.h"
#include "vectors/search/sketch_cache.h"
#include "vectors/kernels/sketch_kernels.h"
#include "vectors/search/top_k.h"

namespace zanth {

// Records a shard's sketch does not cover yet (it is missing, was left behind by another
// handle's commit, or records were appended since) are scored exactly and sketched on the way,
// all of them by one search (when the cache's budget has room); the others are pruned. Queries
// the bound cannot cover (a non-finite value, a dimension outside the sketched range) and a
// disabled cache go to SearchFlat. `sketch_kernel` nullptr picks the best for this CPU.
// Errors: those of SearchFlat.
Result<std::vector<ScoredHit>> SearchPruned(const StoreHandle& store, SketchCache& cache,
                                            const float* query, std::size_t dim,
                                            const IdSet* filter, std::uint64_t k,
                                            SketchKernel sketch_kernel = nullptr);

}  // namespace zanth
