// Search on real stores with every kernel this CPU runs, against a brute-force ranking, for
// each way a filter can restrict the scan.
#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "core_test.h"
#include "index/id_set.h"
#include "vectors/flat_search.h"
#include "vectors/score_kernels.h"
#include "vectors/vector_append.h"

namespace zanth {

namespace {
std::uint32_t Bits(float f) {
  std::uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}
}  // namespace

TEST_CASE(filtered_search_matches_brute_force_with_every_kernel) {
  std::mt19937 gen(77);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  const std::size_t dim = 19, n = 3000;
  std::vector<float> values(n * dim), query(dim);
  for (float& v : values) v = normal(gen);
  for (float& v : query) v = normal(gen);
  std::vector<std::int64_t> ids(n);
  for (std::size_t i = 0; i < n; ++i) ids[i] = static_cast<std::int64_t>(i * 3) - 1000;
  // Include 10%, exclude the same, everything, nothing, only ids that were never stored.
  std::vector<IdSet> sets(5);
  for (std::size_t i = 0; i < n; i += 10) sets[0].ids.insert(ids[i]);
  sets[1] = sets[0];
  sets[1].negated = sets[2].negated = true;
  sets[4].ids = {1, -999};
  // One shard (its blocks dealt out to several tasks) and five.
  for (std::size_t shards : {1, 5}) {
    char pattern[] = "/tmp/zanth_vec_test_XXXXXX";
    std::string dir = mkdtemp(pattern);
    auto opened = StoreHandle::Open(dir + "/store", shards, std::uint64_t{1} << 30);
    CHECK(opened.ok());
    if (!opened.ok()) return;
    std::shared_ptr<const StoreHandle> store = opened.take();
    FloatRows rows{reinterpret_cast<const char*>(values.data()), n, dim,
                   static_cast<std::ptrdiff_t>(dim * sizeof(float)), sizeof(float)};
    auto batches = BuildVectorBatches(rows, ids, shards);
    CHECK(batches.ok() && AppendVectorBatches(*store, batches.value()).ok());
    for (const IdSet* filter : std::vector<const IdSet*>{nullptr, &sets[0], &sets[1], &sets[2], &sets[3], &sets[4]}) {
      std::vector<ScoredHit> want;
      for (std::size_t i = 0; i < n; ++i) {
        if (filter && !filter->Accepts(ids[i])) continue;
        want.push_back({ScoreOne(query.data(), dim, reinterpret_cast<const char*>(&values[i * dim])), ids[i]});
      }
      std::sort(want.begin(), want.end(), RanksBefore);
      for (KernelLevel level : AvailableKernelLevels()) {
        for (std::uint64_t k : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{10}, std::uint64_t{n + 5}, UINT64_MAX}) {
          auto got = SearchFlat(*store, query.data(), dim, filter, k, KernelFor(level));
          CHECK(got.ok() && got.value().size() == std::min<std::uint64_t>(k, want.size()));
          for (std::size_t i = 0; got.ok() && i < got.value().size(); ++i) {
            // Random normal scores do not tie, so the order is unique.
            CHECK(got.value()[i].id == want[i].id && Bits(got.value()[i].score) == Bits(want[i].score));
          }
        }
      }
    }
    store.reset();
    std::filesystem::remove_all(dir);
  }
}

}  // namespace zanth
