#include "vectors/search/flat_search.h"

#include <memory>

#include "vectors/search/scan_engine.h"

namespace zanth {

namespace {

constexpr const char* kOperation = "search_flat";

// One query scored exactly against every accepted record, a gathered batch at a time.
class FlatScorer final : public BlockScorer {
 private:
  auto Scorer(std::size_t task) {
    return [this, task](const char* const* records, const std::int64_t* ids, std::size_t n) {
      ScoreAndOffer(kernel_, query_, dim_, records, ids, n, collector_.Best(task, 0));
    };
  }

 public:
  FlatScorer(const float* query, std::size_t dim, const IdSet* filter, ScoreKernel kernel,
             ResultCollector& collector)
      : query_(query),
        dim_(dim),
        record_size_(static_cast<std::size_t>(RecordSize(dim))),
        accept_(Acceptance::Of(filter)),
        kernel_(kernel),
        collector_(collector) {}

  void Start(std::size_t tasks) override {
    collector_.Start(tasks);
    gatherers_.clear();
    for (std::size_t t = 0; t < tasks; ++t) {
      gatherers_.push_back(std::make_unique<RecordGatherer>(record_size_, kBlockCapacity));
    }
  }
  bool ReadsWhole(std::size_t, const ScanBlock&) const override { return true; }
  void Scan(std::size_t task, const ScanBlock& b) override {
    gatherers_[task]->Add(b, accept_, Scorer(task));
  }
  void FinishTask(std::size_t task) override { gatherers_[task]->Flush(Scorer(task)); }

 private:

  const float* query_;
  std::size_t dim_;
  std::size_t record_size_;
  Acceptance accept_;
  ScoreKernel kernel_;
  ResultCollector& collector_;
  std::vector<std::unique_ptr<RecordGatherer>> gatherers_;
};

}  // namespace

Result<std::vector<ScoredHit>> SearchFlat(const StoreHandle& store, const float* query,
                                          std::size_t dim, const IdSet* filter, std::uint64_t k,
                                          ScoreKernel kernel) {
  if (k == 0) return std::vector<ScoredHit>{};
  ShardSnapshots snapshots;
  if (Status s = snapshots.Open(store, nullptr, dim, filter, kOperation); !s.ok()) return s;
  ResultCollector collector(1, k);
  FlatScorer scorer(query, dim, filter, kernel != nullptr ? kernel : BestKernel(), collector);
  if (Status s = RunScan(snapshots, dim, scorer); !s.ok()) return s;
  auto results = collector.Finish();
  if (!results.ok()) return results.status();
  return std::move(results.value()[0]);
}

}  // namespace zanth
