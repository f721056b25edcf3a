#include "vectors/search/pruned_search.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <memory>

#include "vectors/search/bounds.h"
#include "vectors/search/scan_engine.h"

namespace zanth {

namespace {

constexpr const char* kOperation = "search_flat";

// One query: sketched blocks are bounded chunk by chunk and only the records whose upper bound
// reaches the floor are scored exactly; other blocks are scored in full (and sketched on the
// way when this search builds their part of the sketch).
class PrunedScorer final : public BlockScorer {
 private:
  auto Scorer(std::size_t task) {
    return [this, task](const char* const* records, const std::int64_t* ids, std::size_t n) {
      ScoreAndOffer(kernel_, query_, dim_, records, ids, n, collector_.Best(task, 0));
    };
  }

 public:
  PrunedScorer(const ShardSnapshots& snapshots, const float* query, const QuerySketch& qs,
               std::size_t dim, const IdSet* filter, std::uint64_t k, SketchKernel sketch_kernel,
               ResultCollector& collector)
      : snapshots_(snapshots),
        query_(query),
        qs_(qs),
        dim_(dim),
        k_(k),
        record_size_(static_cast<std::size_t>(RecordSize(dim))),
        accept_(Acceptance::Of(filter)),
        kernel_(BestKernel()),
        sketch_kernel_(sketch_kernel),
        builder_(BestSketchBuilder()),
        collector_(collector) {}

  void Start(std::size_t tasks) override {
    collector_.Start(tasks);
    tasks_.clear();
    for (std::size_t t = 0; t < tasks; ++t) {
      tasks_.push_back(std::make_unique<Task>(k_, record_size_));
    }
  }

  bool ReadsWhole(std::size_t task, const ScanBlock& b) const override {
    return snapshots_.SketchOf(b) == nullptr || tasks_[task]->bound.gave_up;
  }

  void Scan(std::size_t task, const ScanBlock& b) override {
    Task& t = *tasks_[task];
    const ShardSketch* sketch = snapshots_.SketchOf(b);
    ShardSketch* building = sketch ? nullptr : snapshots_.BuildsInto(b);
    if (building != nullptr) sketch = snapshots_.Reuse(b);
    if (sketch != nullptr) {
      if (!t.bound.gave_up) return Prune(task, b, *sketch);
    } else if (building != nullptr) {
      // A part just sketched from this snapshot's bytes bounds its own records at once: only
      // those that may still reach the floor are scored.
      SketchAndScore(b, dim_, builder_, building, [&](const ScanBlock& part) {
        if (!t.bound.gave_up) return Prune(task, part, *building);
        t.gather.Add(part, accept_, Scorer(task));
        t.gather.Flush(Scorer(task));
        RaiseFloor(floor_, FloorOf(collector_.Best(task, 0)));
      });
      return;
    }
    t.gather.Add(b, accept_, Scorer(task));
    RaiseFloor(floor_, FloorOf(collector_.Best(task, 0)));
  }

  void FinishTask(std::size_t task) override { tasks_[task]->gather.Flush(Scorer(task)); }

  SketchCache::Counts Counts() const {
    SketchCache::Counts total;
    for (const auto& t : tasks_) {
      total.bounded += t->bound.bounded;
      total.rescored += t->bound.rescored;
    }
    return total;
  }

 private:
  struct Task {
    QueryBound bound;
    BoundScratch scratch;
    RecordGatherer gather;
    std::size_t survivors[kBlockCapacity];
    Task(std::uint64_t k, std::size_t record_size)
        : bound(k), gather(record_size, kBlockCapacity) {}
  };

  // Ids come from the sketch, so records that the filter rejects or that are tombstones cost
  // no block read.
  void Prune(std::size_t task, const ScanBlock& b, const ShardSketch& sketch) {
    Task& t = *tasks_[task];
    TopK& best = collector_.Best(task, 0);
    for (std::size_t from = 0; from < b.records; from += kBlockCapacity) {
      const std::size_t m = std::min(kBlockCapacity, b.records - from);
      const std::size_t first = b.first + from;
      const std::size_t n =
          BoundChunk(qs_, sketch_kernel_, sketch, first, m, accept_, snapshots_.BitsOf(b),
                     floor_.load(std::memory_order_relaxed), best, &t.bound, &t.scratch,
                     t.survivors);
      for (std::size_t i = 0; i < n; ++i) {
        const std::size_t j = t.survivors[i];
        t.gather.AddOne(b.data + (from + j) * record_size_, sketch.ids[first + j], Scorer(task));
      }
      // The floor must count every survivor before the next chunk is bounded against it.
      t.gather.Flush(Scorer(task));
      RaiseFloor(floor_, std::max<double>(FloorOf(best), t.bound.low.Floor()));
    }
    t.bound.Judge();
  }

  const ShardSnapshots& snapshots_;
  const float* query_;
  const QuerySketch& qs_;
  std::size_t dim_;
  std::uint64_t k_;
  std::size_t record_size_;
  Acceptance accept_;
  ScoreKernel kernel_;
  SketchKernel sketch_kernel_;
  SketchBuilder builder_;
  ResultCollector& collector_;
  std::vector<std::unique_ptr<Task>> tasks_;
  // Highest floor of any task: the final k-th best score is at least this.
  std::atomic<double> floor_{-std::numeric_limits<double>::infinity()};
};

}  // namespace

Result<std::vector<ScoredHit>> SearchPruned(const StoreHandle& store, SketchCache& cache,
                                            const float* query, std::size_t dim,
                                            const IdSet* filter, std::uint64_t k,
                                            SketchKernel sketch_kernel) {
  QuerySketch qs;
  if (!cache.enabled() || !MakeQuerySketch(query, dim, &qs)) {
    return SearchFlat(store, query, dim, filter, k);
  }
  if (k == 0) return std::vector<ScoredHit>{};
  ShardSnapshots snapshots;
  if (Status s = snapshots.Open(store, &cache, dim, filter, kOperation); !s.ok()) {
    return s;
  }
  if (Status s = snapshots.PrepareFilter(Acceptance::Of(filter)); !s.ok()) return s;
  ResultCollector collector(1, k);
  PrunedScorer scorer(snapshots, query, qs, dim, filter, k,
                      sketch_kernel ? sketch_kernel : BestSketchKernel(), collector);
  if (Status s = RunScan(snapshots, dim, scorer); !s.ok()) return s;
  const SketchCache::Counts counts = scorer.Counts();
  cache.Count(counts.bounded, counts.rescored);
  auto results = collector.Finish();
  if (!results.ok()) return results.status();
  return std::move(results.value()[0]);
}

}  // namespace zanth
