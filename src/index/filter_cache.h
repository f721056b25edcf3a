// Results of filter evaluation kept for the next evaluation of the same leaf or tree, within a
// memory budget. A result is only ever handed out for the same shard snapshots it was read
// from: every entry carries the LMDB transaction ids of what it read, and LMDB gives a shard a
// new transaction id with every commit that changes it, made by this handle, another handle or
// another process alike. A snapshot with the same transaction id therefore holds the same
// index records, and a cached result is exactly what reading them again would give; a commit
// makes the old entry unreachable (it is replaced by the next result of that leaf or tree),
// except that a leaf follows a commit of this handle whose index records are known (Committed).
//   Leaves: the sorted ids of one Exact or Range leaf in one shard, per (leaf, shard).
//   Ranges: the ids of a Range leaf in every shard, united, valid for every shard's
//   transaction id, per leaf.
//   Trees: the final id set of a whole tree, per tree, valid for the transaction ids of every
//   shard; shared by every ZanthIterator made from it, with its lookup table and its identity,
//   so a search with it finds the acceptance bitmaps the last search with that tree built.
// One cache per store handle: transaction ids only mean something within one environment.
// Entries are evicted least recently used first. Thread-safe; a forked child must not call
// it (the mutex may have been held at the fork: callers check the process first).
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "index/filter_node.h"
#include "index/id_set.h"
#include "store/commit_observer.h"

namespace zanth {

// The transaction id of every shard's snapshot, by shard.
using ShardSnapshotIds = std::vector<std::uint64_t>;

// The bytes that identify a leaf or a tree, node for node (opcodes, child counts, length-prefixed
// keys): equal exactly when the trees are equal. Not recursive.
std::string CanonicalTree(const FilterNode& root);

class FilterCache final : public CommitObserver {
 public:
  static constexpr std::uint64_t kDefaultBudget = std::uint64_t{64} << 20;

  FilterCache();
  FilterCache(const FilterCache&) = delete;
  FilterCache& operator=(const FilterCache&) = delete;

  // The ids of `leaf` (CanonicalTree of the leaf) in `shard` read at snapshot `txn`, or null.
  std::shared_ptr<const SortedIds> FindLeaf(const std::string& leaf, std::size_t shard,
                                            std::uint64_t txn);
  // Keeps them, replacing what was kept for (leaf, shard), when they fit the budget.
  void KeepLeaf(const std::string& leaf, std::size_t shard, std::uint64_t txn,
                std::shared_ptr<const SortedIds> ids);

  // The ids of the Range leaf `leaf` (CanonicalTree) in every shard, united, read at
  // `snapshots`, or null; several trees that share the leaf unite its shards' ids once.
  std::shared_ptr<const SortedIds> FindRange(const std::string& leaf,
                                             const ShardSnapshotIds& snapshots);
  void KeepRange(const std::string& leaf, const ShardSnapshotIds& snapshots,
                 std::shared_ptr<const SortedIds> ids);

  // The id set of the tree `tree` (CanonicalTree) evaluated at `snapshots`, or null; then, when
  // `earlier` is given, the set kept for the tree at other snapshots (or null) goes there.
  std::shared_ptr<const IdSet> FindTree(const std::string& tree, const ShardSnapshotIds& snapshots,
                                        std::shared_ptr<const IdSet>* earlier = nullptr);
  void KeepTree(const std::string& tree, const ShardSnapshotIds& snapshots,
                std::shared_ptr<const IdSet> set);

  // A commit of this handle to `shard` that took it from `base` to base + 1 (commit_observer.h)
  // and says which index records it removed and put: each leaf of that shard kept at `base`
  // becomes the leaf at base + 1, as a read then would give. An Exact leaf drops the ids of
  // its records removed and adds those put. A Range leaf adds those put; when a record of its
  // range was removed it is left at `base` (read again), as that id may still be filed under
  // another key of the range. Commits that change no index record carry the leaves over as
  // they are.
  void Committed(std::size_t shard, std::uint64_t base, CommitOutcome outcome,
                 const ShardChange& change) override;

  // 0 turns the cache off and empties it; a smaller budget evicts until the rest fits.
  void SetBudget(std::uint64_t bytes);
  std::uint64_t budget() const;
  // Bytes of the ids and lookup tables held (an id set's lookup table counted at the size its
  // first search builds).
  std::uint64_t memory() const;
  // A number no other cache of this process has had: fingerprints of id sets (filter_eval.h)
  // start with it, so sets evaluated through different handles never compare equal.
  std::uint64_t serial() const { return serial_; }

 private:
  struct Entry {
    std::uint64_t txn = 0;              // leaves
    ShardSnapshotIds snapshots;         // ranges, trees
    std::shared_ptr<const SortedIds> ids;
    std::shared_ptr<const IdSet> set;
    std::uint64_t bytes = 0;
    std::list<const std::string*>::iterator use;  // position in uses_
  };
  Entry* FindLocked(const std::string& key);  // marks it used
  void KeepLocked(std::string key, Entry entry);
  void EvictLocked(std::uint64_t limit);
  void EraseLocked(std::unordered_map<std::string, Entry>::iterator it);

  mutable std::mutex mu_;
  std::unordered_map<std::string, Entry> entries_;
  std::list<const std::string*> uses_;  // least recently used first
  std::uint64_t budget_ = kDefaultBudget;
  std::uint64_t held_ = 0;
  const std::uint64_t serial_;
};

}  // namespace zanth
