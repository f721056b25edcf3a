// The filter cache against a model of what was kept last per (leaf, shard): a hit is always
// the ids kept for exactly that snapshot, the budget always holds, and the least recently used
// entry goes first.
#include <map>
#include <memory>
#include <random>
#include <string>
#include <utility>

#include "core_test.h"
#include "index/filter_cache.h"

namespace zanth {

TEST_CASE(filter_cache_finds_only_the_snapshot_kept_within_its_budget) {
  std::mt19937_64 rng(7);
  for (std::uint64_t budget : {std::uint64_t{0}, std::uint64_t{2000}, FilterCache::kDefaultBudget}) {
    FilterCache cache;
    cache.SetBudget(budget);
    std::map<std::pair<std::string, std::size_t>, std::pair<std::uint64_t, const SortedIds*>> last;
    for (int step = 0; step < 3000; ++step) {
      const std::string leaf = CanonicalTree(FilterNode::Exact("k" + std::to_string(rng() % 6)));
      const std::size_t shard = rng() % 2;
      const std::uint64_t txn = rng() % 3;
      auto& model = last[{leaf, shard}];
      if (rng() % 2) {
        auto ids = std::make_shared<const SortedIds>(rng() % 200, txn);
        model = {txn, ids.get()};
        cache.KeepLeaf(leaf, shard, txn, std::move(ids));
      } else if (auto found = cache.FindLeaf(leaf, shard, txn)) {
        CHECK(model.second == found.get() && model.first == txn);
      } else if (budget == FilterCache::kDefaultBudget) {
        CHECK(model.second == nullptr || model.first != txn);
      }
      CHECK(cache.memory() <= budget);
    }
  }
  // Room for two trees: the one found last stays when a third comes.
  FilterCache cache;
  const ShardSnapshotIds at{4, 9};
  auto set = [](std::size_t n) { return std::make_shared<const IdSet>(SortedIds(n, 1), false); };
  cache.KeepTree("a", at, set(100));
  cache.SetBudget(cache.memory() * 2 + 100);
  cache.KeepTree("b", at, set(100));
  CHECK(cache.FindTree("a", at) != nullptr);
  CHECK(cache.FindTree("a", ShardSnapshotIds{4, 10}) == nullptr);
  cache.KeepTree("c", at, set(100));
  CHECK(cache.FindTree("a", at) != nullptr && cache.FindTree("b", at) == nullptr &&
        cache.FindTree("c", at) != nullptr);
  cache.SetBudget(0);
  CHECK(cache.memory() == 0 && cache.FindTree("c", at) == nullptr);
  // Trees differ in their canonical bytes exactly when they differ.
  CHECK(CanonicalTree(FilterNode::Range("a", "b")) != CanonicalTree(FilterNode::Range("ab", "")));
  CHECK(CanonicalTree(FilterNode::Not(FilterNode::Exact("x"))) !=
        CanonicalTree(FilterNode::And({FilterNode::Exact("x")})));
}

}  // namespace zanth
