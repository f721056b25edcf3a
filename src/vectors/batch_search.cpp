#include "vectors/batch_search.h"

#include <xmmintrin.h>

#include <algorithm>
#include <cassert>
#include <bit>
#include <limits>

#include "pool/worker_pool.h"
#include "vectors/flat_search.h"
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

}  // namespace

Result<std::vector<std::vector<ScoredHit>>> SearchFlatBatch(const StoreHandle& store,
                                                            const float* queries,
                                                            std::size_t count, std::size_t dim,
                                                            const IdSet* filter, std::uint64_t k,
                                                            const TileKernel* kernel) {
  if (count == 0 || k == 0) return std::vector<std::vector<ScoredHit>>(count);
  const TileKernel chosen = kernel != nullptr ? *kernel : BestTileKernel();
  BatchScan scan(queries, count, dim, k, chosen);
  Status scanned = ScanAcceptedRecords(
      store, dim, filter, scan.BatchRecords(), [&](std::size_t tasks) { scan.Start(tasks); },
      [&](std::size_t task, const char* const* records, const std::int64_t* ids,
          std::size_t n) { scan.Score(task, records, ids, n); });
  if (!scanned.ok()) return scanned;
  return scan.Finish();
}

}  // namespace zanth
