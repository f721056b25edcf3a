#include "vectors/pruned_search.h"

#include <xmmintrin.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "base/id_key.h"
#include "pool/worker_pool.h"
#include "store/lmdb_handles.h"
#include "store/shard_writer.h"
#include "index/id_membership.h"
#include "vectors/vector_block.h"

namespace zanth {

namespace {

constexpr const char* kOperation = "search_flat";
// After this many bounded records a task looks at how many it had to score exactly; above
// kGiveUpShare the data defeats the bound (near-equal scores) and the task scans the rest of
// its blocks in full, so such data costs little more than a plain scan.
constexpr std::size_t kJudgeAfterRecords = 2 * kBlockCapacity;
constexpr double kGiveUpShare = 0.5;
constexpr float kNoFloor = -std::numeric_limits<float>::infinity();

// Each search sketches at most this share of a shard's records that are not sketched yet (the
// rest of them it scores exactly), so the first search after a write costs little more than a
// plain scan and the following ones prune more and more of the shard.
constexpr std::size_t kBuildShareDivisor = 16;

struct ShardState {
  Txn txn;
  std::vector<std::pair<const char*, std::size_t>> blocks;  // value, records
  std::size_t records = 0;
  std::shared_ptr<ShardSketch> sketch;  // null: every record is scored exactly
  std::size_t usable = 0;               // records [0, usable) are sketched
  std::size_t build_end = 0;            // this search sketches [usable, build_end)
  std::unique_lock<std::mutex> growing;  // held while build_end > usable
};

struct WorkBlock {
  const char* data;
  std::size_t records;
  std::size_t shard;
  std::size_t first;  // index of the block's first record within its shard
};

// A score every final hit reaches, once `best` holds k hits: its k-th best (a NaN there is
// beaten by any number).
float FloorOf(const TopK& best) {
  float threshold = best.Threshold();
  return std::isnan(threshold) ? kNoFloor : threshold;
}

struct Context {
  const float* query;
  std::size_t dim;
  std::size_t record_size;
  const IdSet* filter;             // nullptr: every id
  const IdMembership* membership;  // of filter->ids when there is a filter
  ScoreKernel kernel;
  SketchKernel sketch_kernel;
  SketchBuilder builder;
  const QuerySketch* qs;
  std::vector<ShardState>* shards;
  // Highest floor of any task: the final k-th best score is at least this.
  std::atomic<double> floor{-std::numeric_limits<double>::infinity()};

  bool Accepts(std::int64_t id) const {
    if (id == kTombstoneId) return false;
    return filter == nullptr || membership->Contains(id) != filter->negated;
  }
  void RaiseFloor(double f) {
    double seen = floor.load(std::memory_order_relaxed);
    while (f > seen && !floor.compare_exchange_weak(seen, f, std::memory_order_relaxed)) {
    }
  }
};

// The k-th best lower bound among the accepted live records offered: every such record scores
// at least its bound, so the final k-th best score reaches this too.
class LowFloor {
 public:
  explicit LowFloor(std::uint64_t k) : k_(k) {}
  void Offer(double low) {
    if (bounds_.size() < k_) {
      bounds_.push_back(low);
      std::push_heap(bounds_.begin(), bounds_.end(), std::greater<>());
    } else if (low > bounds_.front()) {
      std::pop_heap(bounds_.begin(), bounds_.end(), std::greater<>());
      bounds_.back() = low;
      std::push_heap(bounds_.begin(), bounds_.end(), std::greater<>());
    }
  }
  double Floor() const {
    return bounds_.size() < k_ ? -std::numeric_limits<double>::infinity() : bounds_.front();
  }

 private:
  std::uint64_t k_;
  std::vector<double> bounds_;
};

struct TaskState {
  TopK best;
  LowFloor low;
  std::size_t bounded = 0;
  std::size_t rescored = 0;
  bool gave_up = false;
  const char* records[kBlockCapacity];
  std::int64_t ids[kBlockCapacity];
  float scores[kBlockCapacity];
  std::int32_t dots[kBlockCapacity];

  double highs[kBlockCapacity];
  std::size_t positions[kBlockCapacity];

  explicit TaskState(std::uint64_t k) : best(k), low(k) {}
};

void ScoreGathered(const Context& ctx, TaskState* t, std::size_t n) {
  ctx.kernel(ctx.query, ctx.dim, t->records, n, t->scores);
  for (std::size_t j = 0; j < n; ++j) t->best.Offer(t->scores[j], t->ids[j]);
}

// Scores every accepted live record of records [begin, end) of the block exactly.
void ScoreRange(const Context& ctx, const WorkBlock& b, std::size_t begin, std::size_t end,
                TaskState* t) {
  std::size_t n = 0;
  for (std::size_t j = begin; j < end; ++j) {
    const char* record = b.data + j * ctx.record_size;
    std::int64_t id = DecodeId(record);
    if (!ctx.Accepts(id)) continue;
    t->records[n] = record;
    t->ids[n++] = id;
    if (n == kBlockCapacity) {
      ScoreGathered(ctx, t, n);
      n = 0;
    }
  }
  if (n != 0) ScoreGathered(ctx, t, n);
}

void BuildBlock(const Context& ctx, const WorkBlock& b, ShardSketch* sketch) {
  for (std::size_t j = 0; j < b.records; ++j) {
    const char* record = b.data + j * ctx.record_size;
    const std::size_t index = b.first + j;
    sketch->ids[index] = DecodeId(record);
    ctx.builder(record + kRecordIdSize, ctx.dim, sketch->codes.get() + index * ctx.dim,
                &sketch->meta[index]);
  }
}

// Scores exactly only the records whose upper bound reaches the floor. Ids come from the
// sketch, so records that the filter rejects or that are tombstones cost no block read.
void PruneBlock(Context& ctx, const WorkBlock& b, const ShardSketch& sketch, TaskState* t) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  const std::int8_t* codes = sketch.codes.get();
  const std::size_t count = std::min(b.records, kBlockCapacity);
  for (std::size_t from = 0; from < b.records; from += count) {
    const std::size_t m = std::min(count, b.records - from);
    const std::size_t first = b.first + from;
    // Positions (within this chunk) of the live records the filter accepts.
    std::size_t live = 0;
    for (std::size_t j = 0; j < m; ++j) {
      if (ctx.Accepts(sketch.ids[first + j])) t->positions[live++] = j;
    }
    if (2 * live >= m) {
      // Most records count: one pass over the chunk's contiguous codes is cheapest.
      ctx.sketch_kernel(ctx.qs->codes.data(), ctx.qs->wide.data(), ctx.dim,
                        codes + first * ctx.dim, m, t->dots);
    } else {
      for (std::size_t i = 0; i < live; ++i) {
        const std::size_t j = t->positions[i];
        ctx.sketch_kernel(ctx.qs->codes.data(), ctx.qs->wide.data(), ctx.dim,
                          codes + (first + j) * ctx.dim, 1, t->dots + j);
      }
    }
    for (std::size_t i = 0; i < live; ++i) {
      const std::size_t j = t->positions[i];
      double low;
      if (!ScoreBounds(*ctx.qs, sketch.meta[first + j], t->dots[j], &low, &t->highs[j])) {
        t->highs[j] = kInf;
      } else {
        t->low.Offer(low);
      }
    }
    double floor = std::max<double>(FloorOf(t->best), ctx.floor.load(std::memory_order_relaxed));
    floor = std::max(floor, t->low.Floor());
    std::size_t n = 0;
    for (std::size_t i = 0; i < live; ++i) {
      const std::size_t j = t->positions[i];
      if (t->highs[j] < floor) continue;
      t->records[n] = b.data + (from + j) * ctx.record_size;
      t->ids[n++] = sketch.ids[first + j];
    }
    if (n != 0) ScoreGathered(ctx, t, n);
    t->bounded += live;
    t->rescored += n;
    ctx.RaiseFloor(std::max<double>(FloorOf(t->best), t->low.Floor()));
  }
  if (t->bounded >= kJudgeAfterRecords &&
      static_cast<double>(t->rescored) > kGiveUpShare * static_cast<double>(t->bounded)) {
    t->gave_up = true;
  }
}

// Whether the block's vectors will be read in full (no sketch is used for it).
bool ReadsWhole(const Context& ctx, const WorkBlock& b, const TaskState& t) {
  return b.first >= (*ctx.shards)[b.shard].usable || t.gave_up;
}

// The first bytes of a block that will be read in full, touched while the one before is scored.
void PrefetchBlockStart(const Context& ctx, const WorkBlock& b) {
  const std::size_t bytes = std::min(kBlockPrefetchBytes, b.records * ctx.record_size);
  for (std::size_t offset = 0; offset < bytes; offset += kCacheLine) {
    _mm_prefetch(b.data + offset, _MM_HINT_T0);
  }
}

void ScanBlock(Context& ctx, const WorkBlock& b, TaskState* t) {
  ShardState& shard = (*ctx.shards)[b.shard];
  // Sketched ranges end at block boundaries, so a block is wholly in one of them.
  if (b.first < shard.usable) {
    if (!t->gave_up) return PruneBlock(ctx, b, *shard.sketch, t);
  } else if (b.first < shard.build_end) {
    BuildBlock(ctx, b, shard.sketch.get());
  }
  ScoreRange(ctx, b, 0, b.records, t);
  ctx.RaiseFloor(FloorOf(t->best));
}


void PlanShard(SketchCache& cache, std::size_t shard, std::size_t dim, ShardState* state) {
  if (state->records == 0) return;
  state->sketch = cache.Acquire(shard, dim, mdb_txn_id(state->txn.get()), state->records);
  if (!state->sketch) return;
  state->growing = std::unique_lock<std::mutex>(state->sketch->grow, std::try_to_lock);
  // Read after taking the lock: a search that grew the sketch meanwhile has raised it.
  state->usable = state->sketch->covered.load(std::memory_order_acquire);
  state->build_end = state->usable;
  if (!state->growing.owns_lock() || state->usable == state->records) return;
  const std::size_t quota = std::max<std::size_t>(1, state->records / kBuildShareDivisor);
  std::size_t first = 0;
  for (const auto& block : state->blocks) {
    first += block.second;
    if (first <= state->usable) continue;
    state->build_end = first;
    if (first - state->usable >= quota) break;
  }
}

// Makes what this search sketched visible to later searches.
void FinishShard(ShardState* state) {
  if (!state->growing.owns_lock()) return;
  if (state->build_end > state->usable) {
    state->sketch->covered.store(state->build_end, std::memory_order_release);
  }
  state->growing.unlock();
}

std::vector<ScoredHit> MergeBest(std::vector<TaskState>& parts, std::uint64_t k) {
  std::vector<ScoredHit> all;
  for (TaskState& part : parts) {
    all.insert(all.end(), part.best.hits().begin(), part.best.hits().end());
  }
  return SelectBest(std::move(all), k);
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
  const std::size_t record_size = static_cast<std::size_t>(RecordSize(dim));
  WorkerPool& pool = WorkerPool::Instance();
  const std::size_t num_shards = store.num_shards();
  std::vector<ShardState> shards(num_shards);
  Status opened = pool.Run(num_shards, [&](std::size_t shard) {
    ShardState& state = shards[shard];
    return ListShardBlocks(store, shard, record_size, kOperation, &state.txn,
                           [&](const char* value, std::size_t records) {
                             state.blocks.emplace_back(value, records);
                             state.records += records;
                           });
  });
  if (!opened.ok()) return opened;

  std::vector<WorkBlock> blocks;
  for (std::size_t s = 0; s < num_shards; ++s) {
    PlanShard(cache, s, dim, &shards[s]);
    std::size_t first = 0;
    for (const auto& [data, records] : shards[s].blocks) {
      blocks.push_back({data, records, s, first});
      first += records;
    }
  }
  if (filter != nullptr && filter->AcceptsAll()) filter = nullptr;
  Context ctx{query,
              dim,
              record_size,
              filter,
              filter != nullptr ? &filter->Membership() : nullptr,
              BestKernel(),
              sketch_kernel ? sketch_kernel : BestSketchKernel(),
              BestSketchBuilder(),
              &qs,
              &shards};
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
  for (ShardState& shard : shards) FinishShard(&shard);
  std::uint64_t bounded = 0, rescored = 0;
  for (const TaskState& part : parts) {
    bounded += part.bounded;
    rescored += part.rescored;
  }
  cache.Count(bounded, rescored);
  return MergeBest(parts, k);
}

}  // namespace zanth
