#include "vectors/search/batch_search.h"

#include <xmmintrin.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <bit>
#include <chrono>
#include <cstring>
#include <limits>
#include <memory>
#include <random>

#include "vectors/search/bounds.h"
#include "vectors/search/flat_search.h"
#include "vectors/search/pruned_search.h"
#include "vectors/search/scan_engine.h"
#include "vectors/kernels/sketch_tile.h"
#include "vectors/records/vector_block.h"

namespace zanth {

namespace {

// Records gathered per pass over every query tile: small enough that they stay in the core's
// L2 cache (with the tile being scored) while every tile reads them, so the store's data comes
// from memory once per batch of queries however many tiles there are.
constexpr std::size_t kRecordBatchBytes = 256 * 1024;
// Bounds of a tile kernel: lanes of a passing mask, records of one call.
constexpr std::size_t kMaxLanes = 32;
constexpr std::size_t kMaxGroup = 32;
constexpr const char* kOperation = "search_flat_batch";

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

// Up to this many queries prune whatever the kernels cost: their float scan waits on memory,
// which the sketch pass reads a quarter of.
constexpr std::size_t kMaxPrunedBatch = 8;
// Beyond that the batch prunes when the bound pass of a (record, query) pair, times this, costs
// less than scoring the pair in the float tile scan: survivors, floors, chunk code sums and
// rescoring come on top of the bound pass, and the float scan has none of them.
constexpr double kPrunedOverhead = 1.5;

// The cost of one (record, query) pair in the bound pass and in the float tile scan on this
// CPU, in seconds, measured once per process on synthetic records held in cache: whether whole
// int8 tiles (VNNI, AMX), the single-query int8 kernels or the float tiles are fastest differs
// from one CPU to the next by more than any rule of features tells.
struct PairCosts {
  double bound;
  double scan;
};

template <typename Fn>
double BestSeconds(Fn&& fn) {
  constexpr int kRounds = 5;
  double best = std::numeric_limits<double>::infinity();
  for (int round = 0; round < kRounds; ++round) {
    const auto start = std::chrono::steady_clock::now();
    fn();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
                              .count());
  }
  return best;
}

PairCosts MeasurePairCosts(const TileBounder& bounder, const TileKernel& kernel) {
  constexpr std::size_t kDim = 128, kRecords = 256;
  const std::size_t record_size = static_cast<std::size_t>(RecordSize(kDim));
  std::mt19937 gen(20240612);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::vector<char> bytes(kRecords * record_size, 0);
  std::vector<std::int8_t> codes(kRecords * kDim);
  std::vector<RecordSketchMeta> meta(kRecords);
  std::vector<const char*> records(kRecords);
  std::vector<std::size_t> positions(kRecords);
  std::vector<std::int32_t> sums(kRecords);
  for (std::size_t r = 0; r < kRecords; ++r) {
    char* values = bytes.data() + r * record_size + kRecordIdSize;
    for (std::size_t i = 0; i < kDim; ++i) {
      const float v = normal(gen);
      std::memcpy(values + i * sizeof v, &v, sizeof v);
    }
    SketchRecordScalar(values, kDim, codes.data() + r * kDim, &meta[r]);
    records[r] = values - kRecordIdSize;
    positions[r] = r;
  }
  std::vector<float> queries(kTileLanes * kDim);
  for (float& x : queries) x = normal(gen);
  std::vector<QuerySketch> sketches(kTileLanes);
  std::vector<const QuerySketch*> lanes(kTileLanes);
  for (std::size_t q = 0; q < kTileLanes; ++q) {
    MakeQuerySketch(queries.data() + q * kDim, kDim, &sketches[q]);
    lanes[q] = &sketches[q];
  }
  SketchTile tile;
  MakeSketchTile(lanes.data(), kTileLanes, kDim, &tile);
  if (bounder.sums_codes(kTileLanes)) {
    SketchCodeSums(codes.data(), kDim, positions.data(), kRecords, sums.data());
  }
  // Floors no bound reaches: the pass decides every pair by its first test, as it does once a
  // search's floors have risen.
  alignas(64) double floors[kTileLanes];
  std::fill_n(floors, kTileLanes, std::numeric_limits<double>::infinity());
  TileOutcome outcome;
  const double bound = BestSeconds([&] {
    const TileBounder::Session session(bounder);
    for (std::size_t g = 0; g < kRecords; g += kTileRecords) {
      const TileRecords call{codes.data(), meta.data(), positions.data() + g, kTileRecords,
                             bounder.sums_codes(kTileLanes) ? sums.data() : nullptr};
      bounder.Run(session, tile, call, floors, floors, &outcome);
    }
  });
  const std::vector<float> tiles = TransposeTiles(queries.data(), kTileLanes, kDim, kernel.queries);
  const std::vector<float> thresholds(kernel.queries, std::numeric_limits<float>::infinity());
  std::vector<float> scores(kernel.records * kernel.queries);
  std::vector<std::uint32_t> passing(kernel.records);
  const std::size_t groups = kRecords / kernel.records;
  const double scan = BestSeconds([&] {
    for (std::size_t t = 0; t < kTileLanes / kernel.queries; ++t) {
      for (std::size_t g = 0; g < groups; ++g) {
        kernel.score(tiles.data() + t * kDim * kernel.queries, kDim,
                     records.data() + g * kernel.records, thresholds.data(), scores.data(),
                     passing.data());
      }
    }
  });
  const double pairs = static_cast<double>(kRecords * kTileLanes);
  return {bound / pairs, scan / pairs * static_cast<double>(kRecords) /
                             static_cast<double>(groups * kernel.records)};
}

// Whether a batch of `count` queries prunes (with the best bounder and tile kernel).
bool PruningPays(std::size_t count, const TileBounder& bounder) {
  if (count <= kMaxPrunedBatch) return true;
  static const PairCosts costs = MeasurePairCosts(bounder, BestTileKernel());
  return costs.bound * kPrunedOverhead < costs.scan;
}

// The queries' float tiles over every accepted record, gathered across blocks in batches that
// stay in the core's cache while every tile reads them. Each task keeps per query the threshold
// of its best hits (collector_.Best), which lets the kernels skip a record no query of a tile
// wants any more; a threshold is only a hint (TopK::Offer decides), so hits offered elsewhere,
// by a pruning pass say, are synced into it.
class TileScorer final : public BlockScorer {
 private:
  auto Scorer(std::size_t task) {
    return [this, task](const char* const* records, const std::int64_t* ids, std::size_t n) {
      Score(task, records, ids, n);
    };
  }

 public:
  TileScorer(const float* queries, std::size_t count, std::size_t dim, const IdSet* filter,
             const TileKernel& kernel, ResultCollector& collector)
      : count_(count),
        dim_(dim),
        kernel_(kernel),
        tiles_(TransposeTiles(queries, count, dim, kernel.queries)),
        num_tiles_((count + kernel.queries - 1) / kernel.queries),
        record_bytes_(static_cast<std::size_t>(RecordSize(dim))),
        accept_(Acceptance::Of(filter)),
        collector_(collector) {
    assert(kernel.queries >= 1 && kernel.queries <= kMaxLanes);
    assert(kernel.records >= 1 && kernel.records <= kMaxGroup);
  }

  void Start(std::size_t tasks) override {
    collector_.Start(tasks);
    thresholds_.assign(tasks, std::vector<float>(num_tiles_ * kernel_.queries,
                                                 std::numeric_limits<float>::quiet_NaN()));
    gatherers_.clear();
    for (std::size_t t = 0; t < tasks; ++t) {
      gatherers_.push_back(std::make_unique<RecordGatherer>(record_bytes_, BatchRecords()));
    }
  }
  bool ReadsWhole(std::size_t, const ScanBlock&) const override { return true; }
  void Scan(std::size_t task, const ScanBlock& b) override {
    gatherers_[task]->Add(b, accept_, Scorer(task));
  }
  // Also scores what the task has gathered so far.
  void FinishTask(std::size_t task) override { gatherers_[task]->Flush(Scorer(task)); }

  // Scores records[0, n) (n <= kBlockCapacity) against every query.
  void Score(std::size_t task, const char* const* records, const std::int64_t* ids,
             std::size_t n) {
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
      float* thresholds = thresholds_[task].data() + t * width;
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
            TopK& best = collector_.Best(task, first_query + lane);
            best.Offer(scores[r * width + lane], ids[g * group + r]);
            thresholds[lane] = best.Threshold();
          }
        }
      }
    }
  }

  // After offers made outside Score: the tile kernels skip by the new threshold.
  void Sync(std::size_t task, std::size_t query) {
    thresholds_[task][query] = collector_.Best(task, query).Threshold();
  }

 private:
  // Records per gathered batch: a whole number of kernel groups, within the cache budget.
  std::size_t BatchRecords() const {
    std::size_t fit = std::max<std::size_t>(kRecordBatchBytes / record_bytes_, kernel_.records);
    std::size_t batch = std::min(fit, kBlockCapacity);
    return std::max(batch - batch % kernel_.records, kernel_.records);
  }

  void Prefetch(const char* const* records, std::size_t n) const {
    for (std::size_t j = 0; j < n; ++j) {
      for (std::size_t offset = 0; offset < record_bytes_; offset += kCacheLine) {
        _mm_prefetch(records[j] + offset, _MM_HINT_T1);
      }
    }
  }

  std::size_t count_;
  std::size_t dim_;
  TileKernel kernel_;
  std::vector<float> tiles_;
  std::size_t num_tiles_;
  std::size_t record_bytes_;
  Acceptance accept_;
  ResultCollector& collector_;
  std::vector<std::vector<float>> thresholds_;  // per task: tiles * width, query q at index q
  std::vector<std::unique_ptr<RecordGatherer>> gatherers_;
};

// Records a query must score exactly, held until there are enough of them to fill the score
// kernel's lanes: one record alone is a chain of dependent additions, sixteen at once cost
// little more.
struct PendingScores {
  static constexpr std::size_t kCapacity = 16;
  const char* records[kCapacity];
  std::int64_t ids[kCapacity];
  std::size_t n = 0;
};

// Per task: each query's pruning state and pending records, and the scratch of one chunk.
struct PruneTask {
  std::vector<QueryBound> bounds;
  std::vector<PendingScores> pending;
  TileOutcome outcome;
  alignas(64) double floors[kTileLanes];
  alignas(64) double low_floors[kTileLanes];
  std::size_t surviving[kTileLanes];
  static_assert(kBlockCapacity <= 65536);
  std::uint16_t survivors[kTileLanes][kBlockCapacity];  // positions within a chunk
  std::size_t positions[kBlockCapacity];
  std::int32_t code_sums[kBlockCapacity];  // by position within a chunk
  const char* records[kBlockCapacity];
  std::int64_t ids[kBlockCapacity];
  float scores[kBlockCapacity];
};

// The batch over sketched shards: the queries' int8 codes, a tile of up to 32 at a time, bound
// each chunk's records (the chunk's codes stay in cache while every tile reads them), and each
// query scores exactly only the records that may still enter its top k. A block this search
// sketches is bounded part by part as it is sketched. Blocks it neither finds sketched nor
// sketches, and chunks where most queries have given up on the bound, go through the float
// tile kernels as in the plain batch.
class PrunedBatchScorer final : public BlockScorer {
 public:
  PrunedBatchScorer(TileScorer& scan, const ShardSnapshots& snapshot, const TileBounder& bounder,
                    const float* queries, std::size_t count, std::size_t dim,
                    const IdSet* filter, std::uint64_t k, ResultCollector& collector)
      : scan_(scan),
        collector_(collector),
        snapshot_(snapshot),
        bounder_(bounder),
        queries_(queries),
        count_(count),
        dim_(dim),
        k_(k),
        record_size_(static_cast<std::size_t>(RecordSize(dim))),
        accept_(Acceptance::Of(filter)),
        kernel_(BestKernel()),
        builder_(BestSketchBuilder()),
        sketches_(count),
        sketched_(count),
        floors_(count),
        tiles_((count + kTileLanes - 1) / kTileLanes) {
    for (std::size_t q = 0; q < count; ++q) {
      sketched_[q] = MakeQuerySketch(queries + q * dim, dim, &sketches_[q]);
      if (!sketched_[q]) {
        // A lane the bound never covers: every record passes it.
        sketches_[q] = QuerySketch();
        sketches_[q].codes.assign(dim, 0);
        sketches_[q].wide.assign(dim, 0);
        sketches_[q].cover_limit = -1;
      }
      floors_[q].store(-std::numeric_limits<double>::infinity(), std::memory_order_relaxed);
    }
    std::vector<const QuerySketch*> lanes(count);
    for (std::size_t q = 0; q < count; ++q) lanes[q] = &sketches_[q];
    for (std::size_t t = 0; t < tiles_.size(); ++t) {
      const std::size_t first = t * kTileLanes;
      MakeSketchTile(lanes.data() + first, std::min(kTileLanes, count - first), dim, &tiles_[t]);
    }
  }

  void Start(std::size_t tasks) override {
    scan_.Start(tasks);
    // One allocation each, left uninitialised: the scratch is written before it is read, and
    // zeroing it would cost more page faults than the pruned batch's own work.
    tasks_.clear();
    for (std::size_t i = 0; i < tasks; ++i) tasks_.emplace_back(new PruneTask);
    for (auto& owned : tasks_) {
      PruneTask& t = *owned;
      t.bounds.assign(count_, QueryBound(k_));
      t.pending.assign(count_, PendingScores());
      for (std::size_t q = 0; q < count_; ++q) t.bounds[q].gave_up = !sketched_[q];
    }
  }

  // After the task's last block: scores what its queries still hold.
  void FinishTask(std::size_t task) override {
    for (std::size_t q = 0; q < count_; ++q) Flush(task, q);
    scan_.FinishTask(task);
  }

  bool ReadsWhole(std::size_t, const ScanBlock& b) const override {
    return snapshot_.SketchOf(b) == nullptr;
  }

  void Scan(std::size_t task, const ScanBlock& b) override {
    if (const ShardSketch* sketch = snapshot_.SketchOf(b)) {
      Prune(task, b, *sketch, snapshot_.BitsOf(b));
    } else if (ShardSketch* building = snapshot_.BuildsInto(b)) {
      if (const ShardSketch* reused = snapshot_.Reuse(b)) {
        // The block's chunk of the replaced sketch was taken over: it is sketched already.
        Prune(task, b, *reused, nullptr);
      } else {
        // A part just sketched from this snapshot's bytes is bounded at once, its codes and
        // records still in cache.
        SketchAndScore(b, dim_, builder_, building,
                       [&](const ScanBlock& part) { Prune(task, part, *building, nullptr); });
      }
    } else {
      return scan_.Scan(task, b);
    }
    for (QueryBound& bound : tasks_[task]->bounds) {
      if (!bound.gave_up) bound.Judge();
    }
  }

  SketchCache::Counts Counts() const {
    SketchCache::Counts total;
    for (const auto& t : tasks_) {
      for (const QueryBound& bound : t->bounds) {
        total.bounded += bound.bounded;
        total.rescored += bound.rescored;
      }
    }
    return total;
  }

 private:
  // Block `b`'s records, all of them sketched in `sketch`, chunk by chunk; `bits` as
  // AcceptedPositions takes it.
  void Prune(std::size_t task, const ScanBlock& b, const ShardSketch& sketch,
             const AcceptedBits* bits) {
    PruneTask& t = *tasks_[task];
    for (std::size_t from = 0; from < b.records; from += kBlockCapacity) {
      const std::size_t m = std::min(kBlockCapacity, b.records - from);
      const std::size_t live =
          AcceptedPositions(accept_, sketch, b.first + from, m, t.positions, bits);
      if (live == 0) continue;
      std::size_t pruning = 0;
      for (const QueryBound& bound : t.bounds) pruning += bound.gave_up ? 0 : 1;
      if (2 * pruning < count_) {
        Gather(t, b, sketch, from, t.positions, live);
        scan_.Score(task, t.records, t.ids, live);
        continue;
      }
      // Summed once for every tile that reads the chunk.
      if (bounder_.sums_codes(tiles_.front().lanes)) {
        SketchCodeSums(sketch.codes.get() + (b.first + from) * dim_, dim_, t.positions, live,
                       t.code_sums);
      }
      for (std::size_t tile = 0; tile < tiles_.size(); ++tile) {
        ScanChunk(task, b, sketch, from, live, tile);
      }
    }
  }

  // One tile's queries over the `live` accepted records at t.positions of the chunk starting at
  // record `from` of block `b`.
  void ScanChunk(std::size_t task, const ScanBlock& b, const ShardSketch& sketch,
                 std::size_t from, std::size_t live, std::size_t tile_index) {
    PruneTask& t = *tasks_[task];
    const SketchTile& tile = tiles_[tile_index];
    const std::size_t first_query = tile_index * kTileLanes;
    constexpr double kInf = std::numeric_limits<double>::infinity();
    for (std::size_t l = 0; l < tile.lanes; ++l) {
      const std::size_t q = first_query + l;
      const QueryBound& bound = t.bounds[q];
      t.surviving[l] = 0;
      if (bound.gave_up) {
        t.floors[l] = -kInf;
        t.low_floors[l] = kInf;
        continue;
      }
      t.low_floors[l] = bound.low.Floor();
      t.floors[l] = std::max({static_cast<double>(FloorOf(collector_.Best(task, q))),
                              floors_[q].load(std::memory_order_relaxed), t.low_floors[l]});
    }
    const std::size_t first = b.first + from;
    const TileBounder::Session session(bounder_);
    TileRecords records{sketch.codes.get() + first * dim_, sketch.meta.get() + first, nullptr, 0,
                        bounder_.sums_codes(tile.lanes) ? t.code_sums : nullptr};
    for (std::size_t g = 0; g < live; g += kTileRecords) {
      records.positions = t.positions + g;
      records.n = std::min(kTileRecords, live - g);
      bounder_.Run(session, tile, records, t.floors, t.low_floors, &t.outcome);
      std::uint32_t raised = 0;
      for (std::size_t r = 0; r < records.n; ++r) {
        for (std::uint32_t lanes = t.outcome.raise[r]; lanes != 0; lanes &= lanes - 1) {
          const std::size_t l = static_cast<std::size_t>(std::countr_zero(lanes));
          t.bounds[first_query + l].low.Offer(t.outcome.lows[r * kTileLanes + l]);
          raised |= std::uint32_t{1} << l;
        }
      }
      for (; raised != 0; raised &= raised - 1) {
        const std::size_t l = static_cast<std::size_t>(std::countr_zero(raised));
        t.low_floors[l] = t.bounds[first_query + l].low.Floor();
        t.floors[l] = std::max(t.floors[l], t.low_floors[l]);
      }
      for (std::size_t r = 0; r < records.n; ++r) {
        for (std::uint32_t lanes = t.outcome.pass[r]; lanes != 0; lanes &= lanes - 1) {
          const std::size_t l = static_cast<std::size_t>(std::countr_zero(lanes));
          t.survivors[l][t.surviving[l]++] = static_cast<std::uint16_t>(records.positions[r]);
        }
      }
    }
    for (std::size_t l = 0; l < tile.lanes; ++l) {
      const std::size_t q = first_query + l;
      QueryBound& bound = t.bounds[q];
      PendingScores& pending = t.pending[q];
      const std::size_t n = t.surviving[l];
      for (std::size_t i = 0; i < n; ++i) {
        const std::size_t at = from + t.survivors[l][i];
        pending.records[pending.n] = b.data + at * record_size_;
        pending.ids[pending.n++] = sketch.ids[b.first + at];
        if (pending.n == PendingScores::kCapacity) Flush(task, q);
      }
      if (!bound.gave_up) {
        bound.bounded += live;
        bound.rescored += n;
        RaiseFloor(floors_[q], std::max<double>(FloorOf(collector_.Best(task, q)), bound.low.Floor()));
      }
    }
  }

  void Flush(std::size_t task, std::size_t q) {
    PruneTask& t = *tasks_[task];
    PendingScores& pending = t.pending[q];
    if (pending.n == 0) return;
    TopK& best = collector_.Best(task, q);
    kernel_(queries_ + q * dim_, dim_, pending.records, pending.n, t.scores);
    for (std::size_t i = 0; i < pending.n; ++i) best.Offer(t.scores[i], pending.ids[i]);
    pending.n = 0;
    scan_.Sync(task, q);
  }

  void Gather(PruneTask& t, const ScanBlock& b, const ShardSketch& sketch, std::size_t from,
              const std::size_t* positions, std::size_t n) const {
    for (std::size_t i = 0; i < n; ++i) {
      t.records[i] = b.data + (from + positions[i]) * record_size_;
      t.ids[i] = sketch.ids[b.first + from + positions[i]];
    }
  }

  TileScorer& scan_;
  ResultCollector& collector_;
  const ShardSnapshots& snapshot_;
  const TileBounder& bounder_;
  const float* queries_;
  std::size_t count_;
  std::size_t dim_;
  std::uint64_t k_;
  std::size_t record_size_;
  Acceptance accept_;
  ScoreKernel kernel_;
  SketchBuilder builder_;
  std::vector<QuerySketch> sketches_;
  std::vector<bool> sketched_;
  std::vector<std::atomic<double>> floors_;  // per query: the highest floor of any task
  std::vector<SketchTile> tiles_;
  std::vector<std::unique_ptr<PruneTask>> tasks_;
};

}  // namespace

Result<std::vector<std::vector<ScoredHit>>> SearchFlatBatch(const StoreHandle& store,
                                                            const float* queries,
                                                            std::size_t count, std::size_t dim,
                                                            const IdSet* filter, std::uint64_t k,
                                                            SketchCache* sketches,
                                                            const TileKernel* kernel) {
  if (count == 0 || k == 0) return std::vector<std::vector<ScoredHit>>(count);
  if (count == 1 && kernel == nullptr) {
    // A tile would carry one query among columns for 16 or 32: the single search costs less,
    // and gives the same list by contract.
    Result<std::vector<ScoredHit>> one =
        sketches != nullptr ? SearchPruned(store, *sketches, queries, dim, filter, k)
                            : SearchFlat(store, queries, dim, filter, k);
    if (!one.ok()) return one.status();
    std::vector<std::vector<ScoredHit>> lists(1);
    lists[0] = std::move(one.value());
    return lists;
  }
  static const TileBounder bounder;
  const bool prune = sketches != nullptr && sketches->enabled() && dim >= kMinSketchDim &&
                     dim <= kMaxSketchDim && PruningPays(count, bounder);
  ShardSnapshots snapshots;
  if (Status s = snapshots.Open(store, prune ? sketches : nullptr, dim, filter, kOperation);
      !s.ok()) {
    return s;
  }
  ResultCollector collector(count, k);
  TileScorer scan(queries, count, dim, filter, kernel != nullptr ? *kernel : BestTileKernel(),
                  collector);
  if (!prune) {
    if (Status s = RunScan(snapshots, dim, scan); !s.ok()) return s;
    return collector.Finish();
  }
  if (Status s = snapshots.PrepareFilter(Acceptance::Of(filter)); !s.ok()) return s;
  PrunedBatchScorer pruned(scan, snapshots, bounder, queries, count, dim, filter, k, collector);
  if (Status s = RunScan(snapshots, dim, pruned); !s.ok()) return s;
  const SketchCache::Counts counts = pruned.Counts();
  sketches->Count(counts.bounded, counts.rescored);
  return collector.Finish();
}

}  // namespace zanth
