#include "vectors/pruned_search.h"

#include <xmmintrin.h>

#include <algorithm>
#include <atomic>
#include <limits>

#include "pool/worker_pool.h"
#include "vectors/sketch_scan.h"
#include "vectors/vector_block.h"

namespace zanth {

namespace {

constexpr const char* kOperation = "search_flat";
// Each search sketches at most this share of a shard's records that are not sketched yet (the
// rest of them it scores exactly), so the first search after a write costs little more than a
// plain scan and the following ones prune more and more of the shard.
constexpr std::size_t kBuildShareDivisor = 16;

struct Context {
  const float* query;
  std::size_t dim;
  std::size_t record_size;
  Acceptance accept;
  ScoreKernel kernel;
  SketchKernel sketch_kernel;
  SketchBuilder builder;
  const QuerySketch* qs;
  const SketchedSnapshot* snapshot;
  // Highest floor of any task: the final k-th best score is at least this.
  std::atomic<double> floor{-std::numeric_limits<double>::infinity()};
};

struct TaskState {
  TopK best;
  QueryBound bound;
  BoundScratch scratch;
  const char* records[kBlockCapacity];
  std::int64_t ids[kBlockCapacity];
  float scores[kBlockCapacity];
  std::size_t positions[kBlockCapacity];
  std::size_t survivors[kBlockCapacity];

  explicit TaskState(std::uint64_t k) : best(k), bound(k) {}
};

void ScoreGathered(const Context& ctx, TaskState* t, std::size_t n) {
  ctx.kernel(ctx.query, ctx.dim, t->records, n, t->scores);
  for (std::size_t j = 0; j < n; ++j) t->best.Offer(t->scores[j], t->ids[j]);
}

// Scores every accepted live record of the block exactly.
void ScoreBlock(const Context& ctx, const SketchedBlock& b, TaskState* t) {
  GatherAccepted(b, ctx.record_size, ctx.accept, t->records, t->ids,
                 [&](std::size_t n) { ScoreGathered(ctx, t, n); });
}

// Scores exactly only the records whose upper bound reaches the floor. Ids come from the
// sketch, so records that the filter rejects or that are tombstones cost no block read.
void PruneBlock(Context& ctx, const SketchedBlock& b, const ShardSketch& sketch, TaskState* t) {
  for (std::size_t from = 0; from < b.records; from += kBlockCapacity) {
    const std::size_t m = std::min(kBlockCapacity, b.records - from);
    const std::size_t first = b.first + from;
    const std::size_t live = AcceptedPositions(ctx.accept, sketch, first, m, t->positions);
    const std::size_t n = BoundChunk(*ctx.qs, ctx.sketch_kernel, sketch, first, m, t->positions,
                                     live, ctx.floor.load(std::memory_order_relaxed), t->best,
                                     &t->bound, &t->scratch, t->survivors);
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t j = t->survivors[i];
      t->records[i] = b.data + (from + j) * ctx.record_size;
      t->ids[i] = sketch.ids[first + j];
    }
    if (n != 0) ScoreGathered(ctx, t, n);
    RaiseFloor(ctx.floor, std::max<double>(FloorOf(t->best), t->bound.low.Floor()));
  }
  t->bound.Judge();
}

// Whether the block's vectors will be read in full (no sketch is used for it).
bool ReadsWhole(const Context& ctx, const SketchedBlock& b, const TaskState& t) {
  return ctx.snapshot->SketchOf(b) == nullptr || t.bound.gave_up;
}

// The first bytes of a block that will be read in full, touched while the one before is scored.
void PrefetchBlockStart(const Context& ctx, const SketchedBlock& b) {
  const std::size_t bytes = std::min(kBlockPrefetchBytes, b.records * ctx.record_size);
  for (std::size_t offset = 0; offset < bytes; offset += kCacheLine) {
    _mm_prefetch(b.data + offset, _MM_HINT_T0);
  }
}

void ScanBlock(Context& ctx, const SketchedBlock& b, TaskState* t) {
  if (const ShardSketch* sketch = ctx.snapshot->SketchOf(b)) {
    if (!t->bound.gave_up) return PruneBlock(ctx, b, *sketch, t);
  } else if (ShardSketch* building = ctx.snapshot->BuildsInto(b)) {
    SketchBlock(b, ctx.dim, ctx.builder, building);
  }
  ScoreBlock(ctx, b, t);
  RaiseFloor(ctx.floor, FloorOf(t->best));
}

}  // namespace

Result<std::vector<ScoredHit>> SearchPruned(const StoreHandle& store, SketchCache& cache,
                                            const float* query, std::size_t dim,
                                            const IdSet* filter, std::uint64_t k,
                                            SketchKernel sketch_kernel) {
  QuerySketch qs;
  if (!cache.enabled() || !MakeQuerySketch(query, dim, &qs)) {
    return SearchFlat(store, query, dim, filter, k);
  }
  if (k == 0 || store.num_shards() == 0 || (filter != nullptr && filter->AcceptsNone())) {
    return std::vector<ScoredHit>{};
  }
  // Before any cache lock: a forked child must fail here, not wait on a lock held at the fork.
  if (Status s = store.CheckProcess(); !s.ok()) return s;
  SketchedSnapshot snapshot;
  if (Status s = snapshot.Open(store, cache, dim, kOperation, kBuildShareDivisor); !s.ok()) {
    return s;
  }
  const std::vector<SketchedBlock>& blocks = snapshot.blocks();
  Context ctx{query,
              dim,
              static_cast<std::size_t>(RecordSize(dim)),
              Acceptance::Of(filter),
              BestKernel(),
              sketch_kernel ? sketch_kernel : BestSketchKernel(),
              BestSketchBuilder(),
              &qs,
              &snapshot};
  WorkerPool& pool = WorkerPool::Instance();
  const std::size_t tasks = std::min(blocks.size(), pool.concurrency() * kTasksPerThread);
  std::vector<TaskState> parts;
  parts.reserve(tasks);
  for (std::size_t i = 0; i < tasks; ++i) parts.emplace_back(k);
  Status scanned = pool.Run(tasks, [&](std::size_t task) -> Status {
    const std::size_t begin = blocks.size() * task / tasks;
    const std::size_t end = blocks.size() * (task + 1) / tasks;
    for (std::size_t b = begin; b < end; ++b) {
      if (b + 1 < end && ReadsWhole(ctx, blocks[b + 1], parts[task])) {
        PrefetchBlockStart(ctx, blocks[b + 1]);
      }
      ScanBlock(ctx, blocks[b], &parts[task]);
    }
    return Status::Ok();
  });
  if (!scanned.ok()) return scanned;
  snapshot.Finish();
  std::uint64_t bounded = 0, rescored = 0;
  std::vector<ScoredHit> all;
  for (TaskState& part : parts) {
    bounded += part.bound.bounded;
    rescored += part.bound.rescored;
    all.insert(all.end(), part.best.hits().begin(), part.best.hits().end());
  }
  cache.Count(bounded, rescored);
  return SelectBest(std::move(all), k);
}

}  // namespace zanth
