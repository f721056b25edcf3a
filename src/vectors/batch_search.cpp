#include "vectors/batch_search.h"

#include <xmmintrin.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <bit>
#include <limits>

#include "pool/worker_pool.h"
#include "vectors/flat_search.h"
#include "vectors/sketch_scan.h"
#include "vectors/vector_block.h"

namespace zanth {

namespace {

// Records gathered per pass over every query tile: small enough that they stay in the core's
// L2 cache (with the tile being scored) while every tile reads them, so the store's data comes
// from memory once per batch of queries however many tiles there are.
constexpr std::size_t kRecordBatchBytes = 256 * 1024;
// Bounds of a tile kernel: lanes of a passing mask, records of one call.
constexpr std::size_t kMaxLanes = 32;
constexpr std::size_t kMaxGroup = 32;
// Queries whose final selection one pool task does.
constexpr std::size_t kQueriesPerMergeTask = 64;
constexpr const char* kOperation = "search_flat_batch";
// Pruning costs each query a pass over the int8 sketches (and the bound arithmetic), while the
// tile scan reads the floats once for all queries: the pruned batch is up to 5x faster for a
// few queries (the scan waits on memory) and slower beyond about ten (the scan is then bound by
// arithmetic, which grows more slowly per query than the sketch pass). Measured at 128 and 768
// dimensions.
constexpr std::size_t kMaxPrunedBatch = 8;
// A pruned batch of m queries sketches as much of a shard as m searches would.
constexpr std::size_t kBuildShareDivisor = 16;

// The queries transposed tile by tile: tile t holds queries t*width .. t*width+width-1 as dim
// rows of `width` floats; queries past the last real one are zeros and never offered.
std::vector<float> TransposeTiles(const float* queries, std::size_t count, std::size_t dim,
                                  std::size_t width) {
  std::size_t tiles = (count + width - 1) / width;
  std::vector<float> out(tiles * dim * width, 0.0f);
  for (std::size_t q = 0; q < count; ++q) {
    float* tile = out.data() + (q / width) * dim * width;
    for (std::size_t i = 0; i < dim; ++i) tile[i * width + q % width] = queries[q * dim + i];
  }
  return out;
}

// One task's best hits per query, with the thresholds that let the kernels skip a record no
// query of a tile wants any more. A threshold is only a hint (TopK::Offer decides), so a bound
// learned elsewhere for a query, by a pruning pass say, can be raised into it.
struct TaskBest {
  std::vector<TopK> best;         // one per query
  std::vector<float> thresholds;  // tiles * width, best[q].Threshold() at index q
};

class BatchScan {
 public:
  BatchScan(const float* queries, std::size_t count, std::size_t dim, std::uint64_t k,
            const TileKernel& kernel)
      : count_(count),
        dim_(dim),
        k_(k),
        kernel_(kernel),
        tiles_(TransposeTiles(queries, count, dim, kernel.queries)),
        num_tiles_((count + kernel.queries - 1) / kernel.queries),
        record_bytes_(static_cast<std::size_t>(RecordSize(dim))) {
    assert(kernel.queries >= 1 && kernel.queries <= kMaxLanes);
    assert(kernel.records >= 1 && kernel.records <= kMaxGroup);
  }

  // Records per gathered batch: a whole number of kernel groups, within the cache budget.
  std::size_t BatchRecords() const {
    std::size_t fit = std::max<std::size_t>(kRecordBatchBytes / record_bytes_, kernel_.records);
    std::size_t batch = std::min(fit, kBlockCapacity);
    return std::max(batch - batch % kernel_.records, kernel_.records);
  }

  void Start(std::size_t tasks) {
    TaskBest fresh{std::vector<TopK>(count_, TopK(k_)),
                   std::vector<float>(num_tiles_ * kernel_.queries,
                                      std::numeric_limits<float>::quiet_NaN())};
    parts_.assign(tasks, fresh);
  }

  void Score(std::size_t task, const char* const* records, const std::int64_t* ids,
             std::size_t n) {
    TaskBest& part = parts_[task];
    const std::size_t width = kernel_.queries;
    const std::size_t group = kernel_.records;
    // Pad to whole groups with repeats of the first record; padded lanes are never offered.
    const char* padded[kBlockCapacity + kMaxGroup];
    std::size_t groups = (n + group - 1) / group;
    for (std::size_t j = 0; j < groups * group; ++j) padded[j] = records[j < n ? j : 0];
    float scores[kMaxGroup * kMaxLanes];
    std::uint32_t passing[kMaxGroup];
    for (std::size_t t = 0; t < num_tiles_; ++t) {
      const float* tile = tiles_.data() + t * dim_ * width;
      float* thresholds = part.thresholds.data() + t * width;
      const std::size_t first_query = t * width;
      const std::size_t live = std::min(width, count_ - first_query);
      const std::uint32_t live_lanes =
          live == kMaxLanes ? ~std::uint32_t{0} : (std::uint32_t{1} << live) - 1;
      for (std::size_t g = 0; g < groups; ++g) {
        // The first tile brings the batch in from memory; later tiles find it in cache.
        if (t == 0 && g + 1 < groups) Prefetch(padded + (g + 1) * group, group);
        kernel_.score(tile, dim_, padded + g * group, thresholds, scores, passing);
        std::size_t in_group = std::min(group, n - g * group);
        for (std::size_t r = 0; r < in_group; ++r) {
          for (std::uint32_t lanes = passing[r] & live_lanes; lanes != 0; lanes &= lanes - 1) {
            std::size_t lane = static_cast<std::size_t>(std::countr_zero(lanes));
            TopK& best = part.best[first_query + lane];
            best.Offer(scores[r * width + lane], ids[g * group + r]);
            thresholds[lane] = best.Threshold();
          }
        }
      }
    }
  }

  TopK& Best(std::size_t task, std::size_t query) { return parts_[task].best[query]; }
  // After offers made outside Score: the tile kernels skip by the new threshold.
  void Sync(std::size_t task, std::size_t query) {
    parts_[task].thresholds[query] = parts_[task].best[query].Threshold();
  }

  // Merges the tasks' heaps query by query; the tasks' hits are released as they are taken.
  Result<std::vector<std::vector<ScoredHit>>> Finish() {
    std::vector<std::vector<ScoredHit>> results(count_);
    std::size_t merge_tasks = (count_ + kQueriesPerMergeTask - 1) / kQueriesPerMergeTask;
    Status merged = WorkerPool::Instance().Run(merge_tasks, [&](std::size_t m) -> Status {
      std::size_t end = std::min(count_, (m + 1) * kQueriesPerMergeTask);
      for (std::size_t q = m * kQueriesPerMergeTask; q < end; ++q) {
        std::vector<ScoredHit> all;
        for (TaskBest& part : parts_) {
          std::vector<ScoredHit>& hits = part.best[q].hits();
          all.insert(all.end(), hits.begin(), hits.end());
          std::vector<ScoredHit>().swap(hits);
        }
        results[q] = SelectBest(std::move(all), k_);
      }
      return Status::Ok();
    });
    if (!merged.ok()) return merged;
    return results;
  }

 private:
  void Prefetch(const char* const* records, std::size_t n) const {
    for (std::size_t j = 0; j < n; ++j) {
      for (std::size_t offset = 0; offset < record_bytes_; offset += kCacheLine) {
        _mm_prefetch(records[j] + offset, _MM_HINT_T1);
      }
    }
  }

  std::size_t count_;
  std::size_t dim_;
  std::uint64_t k_;
  TileKernel kernel_;
  std::vector<float> tiles_;
  std::size_t num_tiles_;
  std::size_t record_bytes_;
  std::vector<TaskBest> parts_;
};

// Per task: each query's pruning state and the scratch of one chunk.
struct PruneTask {
  std::vector<QueryBound> bounds;
  BoundScratch scratch;
  std::size_t positions[kBlockCapacity];
  std::size_t survivors[kBlockCapacity];
  const char* records[kBlockCapacity];
  std::int64_t ids[kBlockCapacity];
  float scores[kBlockCapacity];
};

// The batch over sketched shards: each query bounds the records of a chunk from their int8
// codes (the chunk's codes stay in cache while every query reads them) and scores exactly only
// the records that may still enter its top k. Blocks without a sketch, and chunks where most
// queries have given up on the bound, go through the tile kernels as in the plain batch.
class PrunedBatch {
 public:
  PrunedBatch(BatchScan& scan, const SketchedSnapshot& snapshot, const float* queries,
              std::size_t count, std::size_t dim, const IdSet* filter, std::uint64_t k)
      : scan_(scan),
        snapshot_(snapshot),
        queries_(queries),
        count_(count),
        dim_(dim),
        k_(k),
        record_size_(static_cast<std::size_t>(RecordSize(dim))),
        accept_(Acceptance::Of(filter)),
        kernel_(BestKernel()),
        sketch_kernel_(BestSketchKernel()),
        builder_(BestSketchBuilder()),
        sketches_(count),
        sketched_(count),
        floors_(count) {
    for (std::size_t q = 0; q < count; ++q) {
      sketched_[q] = MakeQuerySketch(queries + q * dim, dim, &sketches_[q]);
      floors_[q].store(-std::numeric_limits<double>::infinity(), std::memory_order_relaxed);
    }
  }

  void Start(std::size_t tasks) {
    scan_.Start(tasks);
    tasks_ = std::vector<PruneTask>(tasks);
    for (PruneTask& t : tasks_) {
      t.bounds.assign(count_, QueryBound(k_));
      for (std::size_t q = 0; q < count_; ++q) t.bounds[q].gave_up = !sketched_[q];
    }
  }

  void ScanBlock(std::size_t task, const SketchedBlock& b) {
    PruneTask& t = tasks_[task];
    const ShardSketch* sketch = snapshot_.SketchOf(b);
    if (sketch == nullptr) {
      if (ShardSketch* building = snapshot_.BuildsInto(b)) SketchBlock(b, dim_, builder_, building);
      GatherAccepted(b, record_size_, accept_, t.records, t.ids,
                     [&](std::size_t n) { scan_.Score(task, t.records, t.ids, n); });
      return;
    }
    for (std::size_t from = 0; from < b.records; from += kBlockCapacity) {
      const std::size_t m = std::min(kBlockCapacity, b.records - from);
      const std::size_t first = b.first + from;
      const std::size_t live = AcceptedPositions(accept_, *sketch, first, m, t.positions);
      if (live == 0) continue;
      std::size_t pruning = 0;
      for (const QueryBound& bound : t.bounds) pruning += bound.gave_up ? 0 : 1;
      if (2 * pruning < count_) {
        Gather(t, b, *sketch, from, t.positions, live);
        scan_.Score(task, t.records, t.ids, live);
        continue;
      }
      for (std::size_t q = 0; q < count_; ++q) {
        QueryBound& bound = t.bounds[q];
        TopK& best = scan_.Best(task, q);
        const std::size_t* chosen = t.positions;
        std::size_t n = live;
        if (!bound.gave_up) {
          n = BoundChunk(sketches_[q], sketch_kernel_, *sketch, first, m, t.positions, live,
                         floors_[q].load(std::memory_order_relaxed), best, &bound, &t.scratch,
                         t.survivors);
          chosen = t.survivors;
        }
        if (n != 0) {
          Gather(t, b, *sketch, from, chosen, n);
          kernel_(queries_ + q * dim_, dim_, t.records, n, t.scores);
          for (std::size_t i = 0; i < n; ++i) best.Offer(t.scores[i], t.ids[i]);
          scan_.Sync(task, q);
        }
        if (!bound.gave_up) {
          RaiseFloor(floors_[q], std::max<double>(FloorOf(best), bound.low.Floor()));
        }
      }
    }
    for (QueryBound& bound : t.bounds) {
      if (!bound.gave_up) bound.Judge();
    }
  }

  SketchCache::Counts Counts() const {
    SketchCache::Counts total;
    for (const PruneTask& t : tasks_) {
      for (const QueryBound& bound : t.bounds) {
        total.bounded += bound.bounded;
        total.rescored += bound.rescored;
      }
    }
    return total;
  }

 private:
  void Gather(PruneTask& t, const SketchedBlock& b, const ShardSketch& sketch, std::size_t from,
              const std::size_t* positions, std::size_t n) const {
    for (std::size_t i = 0; i < n; ++i) {
      t.records[i] = b.data + (from + positions[i]) * record_size_;
      t.ids[i] = sketch.ids[b.first + from + positions[i]];
    }
  }

  BatchScan& scan_;
  const SketchedSnapshot& snapshot_;
  const float* queries_;
  std::size_t count_;
  std::size_t dim_;
  std::uint64_t k_;
  std::size_t record_size_;
  Acceptance accept_;
  ScoreKernel kernel_;
  SketchKernel sketch_kernel_;
  SketchBuilder builder_;
  std::vector<QuerySketch> sketches_;
  std::vector<bool> sketched_;
  std::vector<std::atomic<double>> floors_;  // per query: the highest floor of any task
  std::vector<PruneTask> tasks_;
};

}  // namespace

Result<std::vector<std::vector<ScoredHit>>> SearchFlatBatch(const StoreHandle& store,
                                                            const float* queries,
                                                            std::size_t count, std::size_t dim,
                                                            const IdSet* filter, std::uint64_t k,
                                                            SketchCache* sketches,
                                                            const TileKernel* kernel) {
  if (count == 0 || k == 0) return std::vector<std::vector<ScoredHit>>(count);
  const TileKernel chosen = kernel != nullptr ? *kernel : BestTileKernel();
  BatchScan scan(queries, count, dim, k, chosen);
  if (sketches != nullptr && sketches->enabled() && count <= kMaxPrunedBatch &&
      dim >= kMinSketchDim && dim <= kMaxSketchDim) {
    if (store.num_shards() == 0 || (filter != nullptr && filter->AcceptsNone())) {
      return std::vector<std::vector<ScoredHit>>(count);
    }
    // Before any cache lock: a forked child must fail here, not wait on a lock held at the fork.
    if (Status s = store.CheckProcess(); !s.ok()) return s;
    SketchedSnapshot snapshot;
    if (Status s = snapshot.Open(store, *sketches, dim, kOperation, kBuildShareDivisor / count); !s.ok()) {
      return s;
    }
    PrunedBatch pruned(scan, snapshot, queries, count, dim, filter, k);
    const std::vector<SketchedBlock>& blocks = snapshot.blocks();
    WorkerPool& pool = WorkerPool::Instance();
    const std::size_t tasks = std::min(blocks.size(), pool.concurrency() * kTasksPerThread);
    pruned.Start(tasks);
    Status scanned = pool.Run(tasks, [&](std::size_t task) -> Status {
      const std::size_t end = blocks.size() * (task + 1) / tasks;
      for (std::size_t b = blocks.size() * task / tasks; b < end; ++b) {
        pruned.ScanBlock(task, blocks[b]);
      }
      return Status::Ok();
    });
    if (!scanned.ok()) return scanned;
    snapshot.Finish();
    const SketchCache::Counts counts = pruned.Counts();
    sketches->Count(counts.bounded, counts.rescored);
    return scan.Finish();
  }
  Status scanned = ScanAcceptedRecords(
      store, dim, filter, scan.BatchRecords(), [&](std::size_t tasks) { scan.Start(tasks); },
      [&](std::size_t task, const char* const* records, const std::int64_t* ids,
          std::size_t n) { scan.Score(task, records, ids, n); });
  if (!scanned.ok()) return scanned;
  return scan.Finish();
}

}  // namespace zanth
