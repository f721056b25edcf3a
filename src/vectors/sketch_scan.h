// What the single and the batch pruned searches share: every shard's snapshot with its sketch,
// the blocks to deal to tasks, sketching blocks on the way, and one query's bound pass over a
// chunk of sketched records.
#pragma once

#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "base/status.h"
#include "index/id_membership.h"
#include "index/id_set.h"
#include "store/lmdb_handles.h"
#include "store/store_handle.h"
#include "vectors/sketch.h"
#include "vectors/sketch_cache.h"
#include "vectors/sketch_kernels.h"
#include "vectors/top_k.h"
#include "vectors/vector_block.h"

namespace zanth {

inline constexpr float kNoFloor = -std::numeric_limits<float>::infinity();

// A score every final hit reaches, once `best` holds k hits: its k-th best (a NaN there is
// beaten by any number).
inline float FloorOf(const TopK& best) {
  float threshold = best.Threshold();
  return std::isnan(threshold) ? kNoFloor : threshold;
}

// Raises a floor shared by tasks (the final k-th best score is at least the highest of theirs).
inline void RaiseFloor(std::atomic<double>& shared, double floor) {
  double seen = shared.load(std::memory_order_relaxed);
  while (floor > seen && !shared.compare_exchange_weak(seen, floor, std::memory_order_relaxed)) {
  }
}

struct SketchedBlock {
  const char* data;
  std::size_t records;
  std::size_t shard;
  std::size_t first;  // index of the block's first record within its shard
};

// Every shard's read snapshot with its blocks of one dimension and its sketch. A search sketches
// part of what is not sketched yet as it reads those blocks in full, and Finish() makes that
// part visible to later searches; sketched ranges end at block boundaries.
class SketchedSnapshot {
 public:
  // `build_divisor`: this search sketches about 1/build_divisor of each shard's records that are
  // not sketched yet (at least one block). Errors: those of ListShardBlocks.
  Status Open(const StoreHandle& store, SketchCache& cache, std::size_t dim, const char* operation,
              std::size_t build_divisor);
  // Publishes what this search sketched, once every block was read. Without it (a failed
  // scan) the snapshot's destruction only lets the sketches go.
  void Finish();

  const std::vector<SketchedBlock>& blocks() const { return blocks_; }
  // The sketch that covers block `b`, or nullptr when the block must be read in full.
  const ShardSketch* SketchOf(const SketchedBlock& b) const {
    const Shard& shard = shards_[b.shard];
    return b.first < shard.usable ? shard.sketch.get() : nullptr;
  }
  // The sketch this search fills for block `b` as it reads it, or nullptr.
  ShardSketch* BuildsInto(const SketchedBlock& b) const {
    const Shard& shard = shards_[b.shard];
    return b.first >= shard.usable && b.first < shard.build_end ? shard.sketch.get() : nullptr;
  }

 private:
  struct Shard {
    Txn txn;
    std::vector<std::pair<const char*, std::size_t>> blocks;  // value, records
    std::size_t records = 0;
    std::shared_ptr<ShardSketch> sketch;   // null: every record is scored exactly
    std::size_t usable = 0;                // records [0, usable) are sketched
    std::size_t build_end = 0;             // this search sketches [usable, build_end)
    std::unique_lock<std::mutex> growing;  // held while build_end > usable
  };
  void Plan(SketchCache& cache, std::size_t shard, std::size_t dim, std::size_t build_divisor);

  std::vector<Shard> shards_;
  std::vector<SketchedBlock> blocks_;
};

// Sketches every record of `b` into `sketch`.
void SketchBlock(const SketchedBlock& b, std::size_t dim, SketchBuilder builder,
                 ShardSketch* sketch);

// The k-th best lower bound among the accepted live records offered: every such record scores
// at least its bound, so the final k-th best score reaches this too.
class LowFloor {
 public:
  explicit LowFloor(std::uint64_t k) : k_(k) {}
  void Offer(double low);
  double Floor() const {
    return bounds_.size() < k_ ? -std::numeric_limits<double>::infinity() : bounds_.front();
  }

 private:
  std::uint64_t k_;
  std::vector<double> bounds_;  // a min-heap of at most k
};

// One query's pruning within one task: its low floor, and whether the bound still pays.
struct QueryBound {
  LowFloor low;
  std::size_t bounded = 0;   // records whose bound was tested
  std::size_t rescored = 0;  // of them, scored exactly
  bool gave_up = false;      // the data defeats the bound: score the rest exactly
  explicit QueryBound(std::uint64_t k) : low(k) {}
  // Called after each block: once enough records were bounded, gives up when more than half of
  // them had to be scored anyway (near-equal scores), so such data costs little over a scan.
  void Judge();
};

// The live records a filter accepts.
struct Acceptance {
  const IdSet* filter;             // nullptr: every id
  const IdMembership* membership;  // of filter->ids when there is a filter
  static Acceptance Of(const IdSet* filter);
  bool Accepts(std::int64_t id) const {
    if (id == kTombstoneId) return false;
    return filter == nullptr || membership->Contains(id) != filter->negated;
  }
};

// Calls score(n) with the block's live records that `accept` accepts gathered into
// records[0, n) and ids[0, n), at most kBlockCapacity at a time (a block read at a smaller
// dimension than it was written with holds more records than that).
template <typename ScoreFn>
void GatherAccepted(const SketchedBlock& b, std::size_t record_size, const Acceptance& accept,
                    const char** records, std::int64_t* ids, ScoreFn&& score) {
  std::size_t n = 0;
  for (std::size_t j = 0; j < b.records; ++j) {
    const char* record = b.data + j * record_size;
    const std::int64_t id = DecodeId(record);
    if (!accept.Accepts(id)) continue;
    records[n] = record;
    ids[n++] = id;
    if (n == kBlockCapacity) {
      score(n);
      n = 0;
    }
  }
  if (n != 0) score(n);
}

// Positions j < count of the chunk [first, first + count) of `sketch` whose record is live and
// accepted, into `positions`; returns how many.
std::size_t AcceptedPositions(const Acceptance& accept, const ShardSketch& sketch,
                              std::size_t first, std::size_t count, std::size_t* positions);

// Per-task scratch of BoundChunk.
struct BoundScratch {
  std::int32_t dots[kBlockCapacity];
  double highs[kBlockCapacity];
};

// One query's bound pass over the `live` records at `positions` of the chunk starting at record
// `first` of `sketch`: writes to `survivors` the positions whose upper bound reaches the floor
// (the highest of `shared_floor`, `best`'s and the query's low floor, which the chunk's lower
// bounds raise) and returns how many. Those must be scored exactly; the rest cannot make the
// final top k.
std::size_t BoundChunk(const QuerySketch& qs, SketchKernel kernel, const ShardSketch& sketch,
                       std::size_t first, std::size_t count, const std::size_t* positions,
                       std::size_t live, double shared_floor, const TopK& best, QueryBound* bound,
                       BoundScratch* scratch, std::size_t* survivors);

}  // namespace zanth
