#include "vectors/sketch_scan.h"

#include <algorithm>
#include <functional>

#include "pool/worker_pool.h"

namespace zanth {

namespace {

// After this many bounded records a query judges whether the bound pays.
constexpr std::size_t kJudgeAfterRecords = 2 * kBlockCapacity;
constexpr double kGiveUpShare = 0.5;

}  // namespace

Status SketchedSnapshot::Open(const StoreHandle& store, SketchCache& cache, std::size_t dim,
                              const char* operation, std::size_t build_divisor) {
  const std::size_t record_size = static_cast<std::size_t>(RecordSize(dim));
  const std::size_t num_shards = store.num_shards();
  shards_ = std::vector<Shard>(num_shards);
  Status opened = WorkerPool::Instance().Run(num_shards, [&](std::size_t shard) {
    Shard& state = shards_[shard];
    return ListShardBlocks(store, shard, record_size, operation, &state.txn,
                           [&](const char* value, std::size_t records) {
                             state.blocks.emplace_back(value, records);
                             state.records += records;
                           });
  });
  if (!opened.ok()) return opened;
  for (std::size_t s = 0; s < num_shards; ++s) {
    Plan(cache, s, dim, build_divisor);
    std::size_t first = 0;
    for (const auto& [data, records] : shards_[s].blocks) {
      blocks_.push_back({data, records, s, first});
      first += records;
    }
  }
  return Status::Ok();
}

void SketchedSnapshot::Plan(SketchCache& cache, std::size_t shard, std::size_t dim,
                            std::size_t build_divisor) {
  Shard& state = shards_[shard];
  if (state.records == 0) return;
  state.sketch = cache.Acquire(shard, dim, mdb_txn_id(state.txn.get()), state.records);
  if (!state.sketch) return;
  state.growing = std::unique_lock<std::mutex>(state.sketch->grow, std::try_to_lock);
  // Read after taking the lock: a search that grew the sketch meanwhile has raised it.
  state.usable = state.sketch->covered.load(std::memory_order_acquire);
  state.build_end = state.usable;
  if (!state.growing.owns_lock() || state.usable == state.records) return;
  const std::size_t quota = std::max<std::size_t>(1, state.records / std::max<std::size_t>(
                                                                         build_divisor, 1));
  std::size_t first = 0;
  for (const auto& block : state.blocks) {
    first += block.second;
    if (first <= state.usable) continue;
    state.build_end = first;
    if (first - state.usable >= quota) break;
  }
}

void SketchedSnapshot::Finish() {
  for (Shard& state : shards_) {
    if (!state.growing.owns_lock()) continue;
    if (state.build_end > state.usable) {
      state.sketch->covered.store(state.build_end, std::memory_order_release);
    }
    state.growing.unlock();
  }
}

void SketchBlock(const SketchedBlock& b, std::size_t dim, SketchBuilder builder,
                 ShardSketch* sketch) {
  const std::size_t record_size = static_cast<std::size_t>(RecordSize(dim));
  for (std::size_t j = 0; j < b.records; ++j) {
    const char* record = b.data + j * record_size;
    const std::size_t index = b.first + j;
    sketch->ids[index] = DecodeId(record);
    builder(record + kRecordIdSize, dim, sketch->codes.get() + index * dim, &sketch->meta[index]);
  }
}

void LowFloor::Offer(double low) {
  if (bounds_.size() < k_) {
    bounds_.push_back(low);
    std::push_heap(bounds_.begin(), bounds_.end(), std::greater<>());
  } else if (low > bounds_.front()) {
    std::pop_heap(bounds_.begin(), bounds_.end(), std::greater<>());
    bounds_.back() = low;
    std::push_heap(bounds_.begin(), bounds_.end(), std::greater<>());
  }
}

void QueryBound::Judge() {
  if (bounded >= kJudgeAfterRecords &&
      static_cast<double>(rescored) > kGiveUpShare * static_cast<double>(bounded)) {
    gave_up = true;
  }
}

Acceptance Acceptance::Of(const IdSet* filter) {
  if (filter != nullptr && filter->AcceptsAll()) filter = nullptr;
  return {filter, filter != nullptr ? &filter->Membership() : nullptr};
}

std::size_t AcceptedPositions(const Acceptance& accept, const ShardSketch& sketch,
                              std::size_t first, std::size_t count, std::size_t* positions) {
  std::size_t live = 0;
  for (std::size_t j = 0; j < count; ++j) {
    if (accept.Accepts(sketch.ids[first + j])) positions[live++] = j;
  }
  return live;
}

std::size_t BoundChunk(const QuerySketch& qs, SketchKernel kernel, const ShardSketch& sketch,
                       std::size_t first, std::size_t count, const std::size_t* positions,
                       std::size_t live, double shared_floor, const TopK& best, QueryBound* bound,
                       BoundScratch* scratch, std::size_t* survivors) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  const std::int8_t* codes = sketch.codes.get() + first * qs.codes.size();
  const std::size_t dim = qs.codes.size();
  if (2 * live >= count) {
    // Most records count: one pass over the chunk's contiguous codes is cheapest.
    kernel(qs.codes.data(), qs.wide.data(), dim, codes, count, scratch->dots);
  } else {
    for (std::size_t i = 0; i < live; ++i) {
      const std::size_t j = positions[i];
      kernel(qs.codes.data(), qs.wide.data(), dim, codes + j * dim, 1, scratch->dots + j);
    }
  }
  for (std::size_t i = 0; i < live; ++i) {
    const std::size_t j = positions[i];
    double low;
    if (!ScoreBounds(qs, sketch.meta[first + j], scratch->dots[j], &low, &scratch->highs[j])) {
      scratch->highs[j] = kInf;
    } else {
      bound->low.Offer(low);
    }
  }
  const double floor = std::max({static_cast<double>(FloorOf(best)), shared_floor,
                                 bound->low.Floor()});
  std::size_t n = 0;
  for (std::size_t i = 0; i < live; ++i) {
    const std::size_t j = positions[i];
    if (!(scratch->highs[j] < floor)) survivors[n++] = j;  // NaN keeps the record
  }
  bound->bounded += live;
  bound->rescored += n;
  return n;
}

}  // namespace zanth
