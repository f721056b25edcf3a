// Filtered search, single and batched, against a brute-force model on real stores in a temporary
// directory.
#include <lmdb.h>
#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "core_test.h"
#include "index/id_set.h"
#include "store/lmdb_handles.h"
#include "base/id_key.h"
#include "vectors/search/batch_search.h"
#include "vectors/search/flat_search.h"
#include "vectors/kernels/score_kernels.h"
#include "vectors/records/vector_append.h"
#include "vectors/records/vector_block.h"

namespace zanth {

namespace {

struct TempStore {
  std::string dir;
  std::shared_ptr<const StoreHandle> store;

  explicit TempStore(std::size_t shards) {
    char pattern[] = "/tmp/zanth_vec_test_XXXXXX";
    dir = mkdtemp(pattern);
    auto opened = StoreHandle::Open(dir + "/store", shards, std::uint64_t{1} << 30);
    CHECK(opened.ok());
    store = opened.take();
  }
  ~TempStore() {
    store.reset();
    std::filesystem::remove_all(dir);
  }
};

void Append(const StoreHandle& store, const std::vector<float>& values, std::size_t dim,
            const std::vector<std::int64_t>& ids) {
  FloatRows rows{reinterpret_cast<const char*>(values.data()), ids.size(), dim,
                 static_cast<std::ptrdiff_t>(dim * sizeof(float)), sizeof(float)};
  auto batches = BuildVectorBatches(rows, ids, store.num_shards());
  CHECK(batches.ok());
  CHECK(AppendVectorBatches(store, batches.value()).ok());
}

}  // namespace

TEST_CASE(filtered_search_matches_brute_force_in_every_mode) {
  std::mt19937 gen(77);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  const std::size_t dim = 19;
  const std::size_t n = 3000;
  std::vector<float> values(n * dim);
  for (float& v : values) v = normal(gen);
  std::vector<std::int64_t> ids(n);
  for (std::size_t i = 0; i < n; ++i) ids[i] = static_cast<std::int64_t>(i * 3) - 1000;
  std::vector<float> query(dim);
  for (float& v : query) v = normal(gen);
  const std::size_t batch = 21;  // crosses a tile of queries on every level
  std::vector<float> queries(batch * dim);
  for (float& v : queries) v = normal(gen);
  // One shard (its blocks dealt out to several tasks) and five.
  for (std::size_t shards : {1, 5}) {
    TempStore t(shards);
    const StoreHandle& store = *t.store;
    Append(store, values, dim, ids);
    std::vector<IdSet> sets(5);
    std::vector<std::int64_t> tenth;
    for (std::size_t i = 0; i < n; i += 10) tenth.push_back(ids[i]);
    sets[0] = IdSet::FromIds(tenth, false);  // include 10%
    sets[1] = IdSet::FromIds(tenth, true);   // exclude the same 10%
    sets[2].negated = true;  // everything
    // sets[3]: include nothing; sets[4]: include ids that were never stored
    sets[4] = IdSet::FromIds({1, -999}, false);
    std::vector<const IdSet*> filters = {nullptr, &sets[0], &sets[1], &sets[2], &sets[3], &sets[4]};
    for (const IdSet* filter : filters) {
      std::vector<ScoredHit> want;
      for (std::size_t i = 0; i < n; ++i) {
        if (filter && !filter->Accepts(ids[i])) continue;
        const char* rec = reinterpret_cast<const char*>(values.data() + i * dim);
        want.push_back({ScoreOne(query.data(), dim, rec), ids[i]});
      }
      std::sort(want.begin(), want.end(), RanksBefore);
      for (CpuLevel level : AvailableCpuLevels()) {
        for (std::uint64_t k : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{10},
                                std::uint64_t{n + 5}, UINT64_MAX}) {
          auto got = SearchFlat(store, query.data(), dim, filter, k, KernelFor(level));
          CHECK(got.ok());
          if (!got.ok()) continue;
          std::size_t expect = std::min<std::uint64_t>(k, want.size());
          CHECK(got.value().size() == expect);
          for (std::size_t i = 0; i < std::min(expect, got.value().size()); ++i) {
            // Random normal scores do not tie, so the order is unique.
            CHECK(got.value()[i].id == want[i].id);
            CHECK(std::memcmp(&got.value()[i].score, &want[i].score, 4) == 0);
          }
        }
        // Every row of a batch on this level's tile kernel equals its single search.
        const TileKernel tile = TileKernelFor(level);
        for (std::uint64_t k : {std::uint64_t{1}, std::uint64_t{10}, std::uint64_t{n + 5}}) {
          auto rows = SearchFlatBatch(store, queries.data(), batch, dim, filter, k, nullptr, &tile);
          CHECK(rows.ok() && rows.value().size() == batch);
          for (std::size_t q = 0; rows.ok() && q < batch; ++q) {
            auto single = SearchFlat(store, queries.data() + q * dim, dim, filter, k);
            const auto& row = rows.value()[q];
            CHECK(single.ok() && single.value().size() == row.size() &&
                  std::equal(row.begin(), row.end(), single.value().begin(),
                             [](const ScoredHit& a, const ScoredHit& b) {
                               return a.id == b.id && std::memcmp(&a.score, &b.score, 4) == 0;
                             }));
          }
        }
      }
    }
  }
}

}  // namespace zanth
