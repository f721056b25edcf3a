// The filter cache against a model of what was kept last per (leaf, shard): a hit is always
// the ids kept for exactly that snapshot, the budget always holds, and the least recently used
// entry goes first.
#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core_test.h"
#include "index/filter_cache.h"
#include "index/index_records.h"

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

// A leaf carried over this handle's commit holds what reading it anew would, and costs the same
// memory; leaves of other shards or snapshots stay; a Range leaf that lost a record is dropped.
TEST_CASE(leaves_follow_listed_commits_as_if_read_anew) {
  auto key = [](std::string_view k, std::int64_t id) { return IndexRecordKey(k, id); };
  const std::string exact = CanonicalTree(FilterNode::Exact("k:a"));
  const std::string bare = CanonicalTree(FilterNode::Exact("k"));
  // Its end is a record key: that record is outside, as a cursor stops at it.
  const std::string range = CanonicalTree(FilterNode::Range("k:b", key("k:c", 9)));
  auto ids = [](std::vector<std::int64_t> v) {
    SortedIds out;
    for (std::int64_t id : v) out.push_back(KeyOrderOf(id));
    std::sort(out.begin(), out.end());
    return std::make_shared<const SortedIds>(out);
  };
  FilterCache carried;
  carried.KeepLeaf(exact, 1, 5, ids({1, 2, 3}));
  carried.KeepLeaf(bare, 1, 5, ids({4}));
  carried.KeepLeaf(range, 1, 5, ids({1, 2, 3}));
  carried.KeepLeaf(exact, 0, 5, ids({7}));  // another shard
  carried.KeepLeaf(bare, 2, 4, ids({8}));   // another snapshot
  std::vector<std::vector<std::string_view>> removed(3), put(3);
  const std::vector<std::string> removed_keys = {key("k:a", 2), key("k:a", 6), key("k|", 4)};
  std::vector<std::string> put_keys = {key("k", 5), key("k:a", 2), key("k:a", 3), key("k:b", 10),
                                       key("k:c", 9), key("k:c", 5), key("k|", 4)};
  std::sort(put_keys.begin(), put_keys.end());
  for (const std::string& k : removed_keys) removed[1].push_back(k);
  for (const std::string& k : put_keys) put[1].push_back(k);
  ShardChange change;
  change.index = ShardChange::Index::kListed;
  change.index_removed = &removed;
  change.index_put = &put;
  // Only a commit known to have moved the shard by one carries anything.
  carried.Committed(1, 5, CommitOutcome::kUnknown, change);
  carried.Committed(1, 5, CommitOutcome::kUnchanged, change);
  CHECK(carried.FindLeaf(exact, 1, 6) == nullptr && carried.FindLeaf(exact, 1, 5) != nullptr);
  carried.Committed(1, 5, CommitOutcome::kAdvanced, change);
  CHECK(carried.FindLeaf(exact, 1, 5) == nullptr);
  CHECK(*carried.FindLeaf(exact, 1, 6) == *ids({1, 2, 3}));  // 2 removed, then put again
  CHECK(*carried.FindLeaf(bare, 1, 6) == *ids({4, 5}));
  CHECK(*carried.FindLeaf(range, 1, 6) == *ids({1, 2, 3, 5, 10}));
  CHECK(*carried.FindLeaf(exact, 0, 5) == *ids({7}) && *carried.FindLeaf(bare, 2, 4) == *ids({8}));
  FilterCache fresh;
  fresh.KeepLeaf(exact, 1, 6, ids({1, 2, 3}));
  fresh.KeepLeaf(bare, 1, 6, ids({4, 5}));
  fresh.KeepLeaf(range, 1, 6, ids({1, 2, 3, 5, 10}));
  fresh.KeepLeaf(exact, 0, 5, ids({7}));
  fresh.KeepLeaf(bare, 2, 4, ids({8}));
  CHECK(carried.memory() == fresh.memory());
  // A commit without index records carries the leaves as they are; one that removes a record
  // of the range drops the range.
  ShardChange objects_only;
  objects_only.index = ShardChange::Index::kUnchanged;
  carried.Committed(1, 6, CommitOutcome::kAdvanced, objects_only);
  CHECK(*carried.FindLeaf(exact, 1, 7) == *ids({1, 2, 3}));
  const std::string gone = key("k:b", 10);
  removed[1] = {gone};
  put[1].clear();
  carried.Committed(1, 7, CommitOutcome::kAdvanced, change);
  CHECK(carried.FindLeaf(range, 1, 8) == nullptr && carried.FindLeaf(exact, 1, 8) != nullptr);
  CHECK(carried.memory() < fresh.memory());
  carried.SetBudget(0);
  CHECK(carried.memory() == 0);
}

}  // namespace zanth
