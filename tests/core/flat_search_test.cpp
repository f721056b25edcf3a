// Filtered search, single and batched, against a brute-force model on real stores in a temporary
// directory.
#include <lmdb.h>
#include <stdlib.h>

#include <algorithm>
#include <functional>
#include <limits>
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
#include "vectors/search/bounds.h"
#include "vectors/search/flat_search.h"
#include "vectors/search/pruned_search.h"
#include "vectors/search/sketch_cache.h"
#include "vectors/records/vector_maintenance.h"
#include "vectors/kernels/sketch_kernels.h"
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

// A query's low floor is the k-th best lower bound offered so far: a floor above it would prune
// records that belong in the top k. Bounds repeat and arrive in every order.
TEST_CASE(low_floor_is_the_kth_best_bound_offered) {
  std::mt19937_64 rng(7);
  for (std::uint64_t k : {1, 2, 3, 7, 16}) {
    for (int round = 0; round < 50; ++round) {
      LowFloor floor(k);
      std::vector<double> offered;
      std::uniform_int_distribution<int> value(-20, 20);
      for (int i = 0; i < 60; ++i) {
        offered.push_back(value(rng) * 0.5);
        floor.Offer(offered.back());
        std::vector<double> best = offered;
        std::sort(best.begin(), best.end(), std::greater<>());
        const double want =
            best.size() < k ? -std::numeric_limits<double>::infinity() : best[k - 1];
        CHECK(floor.Floor() == want);
      }
    }
  }
}

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

namespace zanth {

// The pruned search on every sketch kernel level, before and after its sketches cover the
// store and across this handle's appends and deletes, gives the plain scan's list exactly
// (equal scores included: a third of the records repeat another's vector under another id).
TEST_CASE(pruned_search_equals_the_plain_scan_on_every_level) {
  std::mt19937 gen(91);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  const std::size_t dim = 128, n = 3000;
  std::vector<float> values(n * dim);
  for (float& v : values) v = normal(gen);
  for (std::size_t i = 0; i < n; i += 3) {
    std::copy_n(values.begin() + static_cast<std::ptrdiff_t>((i / 30) * dim), dim,
                values.begin() + static_cast<std::ptrdiff_t>(i * dim));
  }
  std::vector<std::int64_t> ids(n);
  for (std::size_t i = 0; i < n; ++i) ids[i] = static_cast<std::int64_t>((i * 7919) % n) - 500;
  TempStore t(3);
  const StoreHandle& store = *t.store;
  SketchCache cache;
  store.add_commit_observer(&cache);
  Append(store, values, dim, ids);
  std::vector<std::int64_t> some;
  for (std::size_t i = 0; i < n; i += 9) some.push_back(ids[i]);
  IdSet include = IdSet::FromIds(some, false), exclude = IdSet::FromIds(some, true);
  const IdSet* filters[] = {nullptr, &include, &exclude};
  auto same = [](const std::vector<ScoredHit>& a, const std::vector<ScoredHit>& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](const ScoredHit& x, const ScoredHit& y) {
             return x.id == y.id && std::memcmp(&x.score, &y.score, 4) == 0;
           });
  };
  // Records sketched per round: everything first; after this handle's append only the parts it
  // added to (the shards' last blocks and the new ones); after its delete nothing; after
  // another handle's append every block whose bytes changed since it was sketched: all but
  // the four full blocks of shard 0, which holds none of the deleted ids (all are 1 mod 3).
  std::uint64_t sketched[4];
  auto other = StoreHandle::Open(t.dir + "/store", 3, std::uint64_t{1} << 30);
  CHECK(other.ok());
  for (int round = 0; round < 4; ++round) {
    for (CpuLevel level : AvailableCpuLevels()) {
      for (int rep = 0; rep < 3; ++rep) {
        std::vector<float> query(values.begin() + rep * 30 * dim, values.begin() + (rep * 30 + 1) * dim);
        for (const IdSet* filter : filters) {
          for (std::uint64_t k : {std::uint64_t{1}, std::uint64_t{10}, std::uint64_t{100}}) {
            auto want = SearchFlat(store, query.data(), dim, filter, k);
            auto got = SearchPruned(store, cache, query.data(), dim, filter, k,
                                    SketchKernelFor(level));
            CHECK(want.ok() && got.ok() && same(got.value(), want.value()));
          }
        }
      }
    }
    SketchCache::Counts counts = cache.TakeCounts();
    CHECK(counts.bounded > 0 && counts.rescored < counts.bounded);
    sketched[round] = counts.sketched;
    // This handle's writes, which the sketches follow, then another handle's.
    // 300 records: more than the sketches' room, so they move into larger arrays.
    if (round == 0) Append(store, std::vector<float>(values.begin(), values.begin() + 300 * dim), dim,
                           std::vector<std::int64_t>(ids.begin(), ids.begin() + 300));
    if (round == 1) CHECK(DeleteVectors(store, some, dim).ok());
    if (round == 2) Append(*other.value(), std::vector<float>(values.begin(), values.begin() + 3 * dim),
                           dim, std::vector<std::int64_t>(ids.begin() + 40, ids.begin() + 43));
  }
  CHECK(sketched[0] == n && sketched[1] <= 300 + 3 * kBlockCapacity && sketched[2] == 0 &&
        sketched[3] == n + 303 - 4 * kBlockCapacity);
  store.remove_commit_observer(&cache);
}

}  // namespace zanth
