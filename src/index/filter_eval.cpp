#include "index/filter_eval.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "index/filter_cache.h"
#include "index/id_set_algebra.h"
#include "index/index_records.h"
#include "index/index_routing.h"
#include "pool/worker_pool.h"
#include "base/id_key.h"

namespace zanth {

namespace {

// Records of kIdKeySize bytes or fewer are object records or vector blocks, never index records.
constexpr std::size_t kIdBytes = kIdKeySize;
// Parallel reads of one Exact key; more would only add transactions on a small machine.
constexpr std::size_t kMaxExactParts = 4;
// Stands for the snapshot of a shard whose probe failed: no read is ever tagged with it.
constexpr std::uint64_t kUnknownSnapshot = UINT64_MAX;

// Opens a read-only transaction and a cursor on `shard` and hands the cursor and the snapshot's
// transaction id to `scan`, which returns the cursor step that ended it: 0 (it stopped by
// itself) and MDB_NOTFOUND (the data ended) are a complete scan, any other code (a damaged page)
// the read's error. A scan cut short by damage must never read as a shorter list, since what it
// returns is cached and decides what a filter matches.
template <typename Scan>
Status WithShardCursor(const StoreHandle& store, std::size_t shard, Scan scan) {
  Txn txn;
  if (int rc = txn.BeginRead(store.environment(shard)); rc != 0) {
    return Status::Lmdb(rc, LmdbStep::kBeginRead, "index shard " + std::to_string(shard));
  }
  Cursor cursor;
  if (int rc = cursor.Open(txn.get(), store.dbi(shard)); rc != 0) {
    return Status::Lmdb(rc, LmdbStep::kCursor, "index shard " + std::to_string(shard));
  }
  if (int rc = scan(cursor, static_cast<std::uint64_t>(mdb_txn_id(txn.get())));
      rc != 0 && rc != MDB_NOTFOUND) {
    return Status::Lmdb(rc, LmdbStep::kCursor, "index shard " + std::to_string(shard));
  }
  return Status::Ok();
}

// Whether `record` begins with `prefix`; inlined, since a call to memcmp per record of a large key
// costs more than the compare.
bool HasPrefix(std::string_view record, std::string_view prefix) {
  if (record.size() < prefix.size()) return false;
  const char* a = record.data();
  const char* b = prefix.data();
  std::size_t n = prefix.size();
  for (; n >= 8; n -= 8, a += 8, b += 8) {
    std::uint64_t x, y;
    std::memcpy(&x, a, 8);
    std::memcpy(&y, b, 8);
    if (x != y) return false;
  }
  for (; n > 0; --n) {
    if (*a++ != *b++) return false;
  }
  return true;
}

// The ids of the records `prefix` + 8 id bytes whose first id byte lies in [low, high), in key
// order; returns the cursor step that ended the scan (0 when a record past the part ended it).
int ScanExactPart(Cursor& cursor, const std::string& prefix, unsigned low, unsigned high,
                  SortedIds* ids) {
  std::string start = prefix;
  if (low > 0) start.push_back(static_cast<char>(low));
  const std::size_t record_size = prefix.size() + kIdBytes;
  MDB_val k = ToVal(start);
  MDB_val v;
  int rc = cursor.Get(&k, &v, MDB_SET_RANGE);
  for (; rc == 0; rc = cursor.Get(&k, &v, MDB_NEXT)) {
    std::string_view record = ToView(k);
    if (!HasPrefix(record, prefix)) break;
    if (record.size() > prefix.size() &&
        static_cast<unsigned char>(record[prefix.size()]) >= high) {
      break;
    }
    if (record.size() == record_size) ids->push_back(KeyOrderAt(record.data() + prefix.size()));
  }
  return rc;
}

// The ids of `key` read from one snapshot of its shard, and that snapshot.
Status ReadExact(const StoreHandle& store, std::size_t shard, const std::string& key,
                 SortedIds* out, std::uint64_t* snapshot) {
  std::string prefix = key;
  prefix.push_back(kIndexSeparator);
  // A key can hold millions of ids in one shard. Its records are split by their first id byte
  // (an id's low byte, so the parts come out about even) and read by one task each, every task
  // in its own read transaction. The parts concatenate in key order when all transactions saw
  // the same snapshot; when a write committed in between, the key is read again in one.
  WorkerPool& pool = WorkerPool::Instance();
  const std::size_t parts = std::min(pool.concurrency(), kMaxExactParts);
  std::vector<SortedIds> runs(parts);
  std::vector<std::uint64_t> snapshots(parts);
  Status status = pool.Run(parts, [&](std::size_t part) {
    return WithShardCursor(store, shard, [&](Cursor& cursor, std::uint64_t at) {
      snapshots[part] = at;
      return ScanExactPart(cursor, prefix, static_cast<unsigned>(256 * part / parts),
                           static_cast<unsigned>(256 * (part + 1) / parts), &runs[part]);
    });
  });
  if (!status.ok()) return status;
  if (std::adjacent_find(snapshots.begin(), snapshots.end(), std::not_equal_to<>()) !=
      snapshots.end()) {
    return WithShardCursor(store, shard, [&](Cursor& cursor, std::uint64_t at) {
      *snapshot = at;
      return ScanExactPart(cursor, prefix, 0, 256, out);
    });
  }
  *snapshot = snapshots.front();
  if (parts == 1) {
    *out = std::move(runs.front());
    return Status::Ok();
  }
  std::size_t total = 0;
  for (const SortedIds& run : runs) total += run.size();
  out->reserve(total);
  for (SortedIds& run : runs) {
    out->insert(out->end(), run.begin(), run.end());
    SortedIds().swap(run);
  }
  return Status::Ok();
}

// A leaf's ids and whether every shard it read was at the snapshot the evaluation probed.
struct LeafRead {
  IdSet set;
  bool at_probe = true;
};

// What the leaves of one evaluation share: the cache (nullptr: none), the canonical form of the
// leaf and the shards' snapshots probed when the evaluation began.
struct LeafContext {
  FilterCache* cache;
  const std::string* leaf;
  const ShardSnapshotIds* probe;
};

Result<LeafRead> EvalExact(const StoreHandle& store, const std::string& key,
                           const LeafContext& context) {
  if (store.num_shards() == 0) return LeafRead{};
  Result<std::size_t> shard = IndexShardOf(key, store.num_shards());
  if (!shard.ok()) return shard.status();
  const std::uint64_t probed = (*context.probe)[shard.value()];
  if (context.cache != nullptr && probed != kUnknownSnapshot) {
    if (auto kept = context.cache->FindLeaf(*context.leaf, shard.value(), probed)) {
      return LeafRead{IdSet(*kept, false), true};
    }
  }
  SortedIds ids;
  std::uint64_t snapshot = 0;
  if (Status s = ReadExact(store, shard.value(), key, &ids, &snapshot); !s.ok()) return s;
  if (context.cache != nullptr) {
    context.cache->KeepLeaf(*context.leaf, shard.value(), snapshot,
                            std::make_shared<const SortedIds>(ids));
  }
  return LeafRead{IdSet(std::move(ids), false), snapshot == probed};
}

// The union kept for the probed snapshots; else per shard: the kept ids when the shard's
// snapshot is the one they were read at, otherwise a scan, sorted and kept; the union is kept
// when every shard was at the probed snapshot.
Result<LeafRead> EvalRange(const StoreHandle& store, const std::string& start,
                           const std::string& end, const LeafContext& context) {
  const std::size_t n = store.num_shards();
  const bool probed = std::find(context.probe->begin(), context.probe->end(), kUnknownSnapshot) ==
                      context.probe->end();
  if (context.cache != nullptr && probed) {
    if (auto kept = context.cache->FindRange(*context.leaf, *context.probe)) {
      return LeafRead{IdSet(*kept, false), true};
    }
  }
  std::string_view name_space = RangeNamespace(start);
  std::string_view end_view = end;
  std::vector<SortedIds> per_shard(n);
  std::vector<char> at_probe(n, 1);
  Status status = WorkerPool::Instance().Run(n, [&](std::size_t shard) -> Status {
    // Kept for the probed snapshot: no transaction needed.
    const std::uint64_t probed = (*context.probe)[shard];
    if (context.cache != nullptr && probed != kUnknownSnapshot) {
      if (auto kept = context.cache->FindLeaf(*context.leaf, shard, probed)) {
        per_shard[shard] = *kept;
        return Status::Ok();
      }
    }
    return WithShardCursor(store, shard, [&](Cursor& cursor, std::uint64_t snapshot) -> int {
      at_probe[shard] = snapshot == (*context.probe)[shard];
      SortedIds& ids = per_shard[shard];
      if (context.cache != nullptr) {
        if (auto kept = context.cache->FindLeaf(*context.leaf, shard, snapshot)) {
          ids = *kept;
          return 0;
        }
      }
      // An empty start cannot position a cursor (MDB_BAD_VALSIZE): the scan reads nothing.
      if (start.empty()) return 0;
      MDB_val k = ToVal(start);
      MDB_val v;
      int rc = cursor.Get(&k, &v, MDB_SET_RANGE);
      for (; rc == 0; rc = cursor.Get(&k, &v, MDB_NEXT)) {
        std::string_view record = ToView(k);
        if (record >= end_view || !record.starts_with(name_space)) break;
        if (record.size() > kIdBytes) ids.push_back(KeyOrderAt(record.data() + record.size() - kIdBytes));
      }
      if (rc != 0 && rc != MDB_NOTFOUND) return rc;  // nothing kept from a damaged read
      // Several keys' ids interleave, and an id filed under several keys repeats.
      ids = SortDistinct(std::move(ids));
      if (context.cache != nullptr) {
        context.cache->KeepLeaf(*context.leaf, shard, snapshot,
                                std::make_shared<const SortedIds>(ids));
      }
      return 0;
    });
  });
  if (!status.ok()) return status;
  const bool all_at_probe = std::all_of(at_probe.begin(), at_probe.end(), [](char c) { return c; });
  IdSet united(UniteAll(std::move(per_shard)), false);
  if (context.cache != nullptr && probed && all_at_probe) {
    context.cache->KeepRange(*context.leaf, *context.probe,
                             std::make_shared<const SortedIds>(united.ids));
  }
  return LeafRead{std::move(united), all_at_probe};
}

// A node with its Not chain peeled off: only the chain's parity matters, so it is walked, not
// recursed.
struct Peeled {
  const FilterNode* node;
  bool flip;
};

Peeled Peel(const FilterNode& start) {
  Peeled p{&start, false};
  while (p.node->op == FilterOp::kNot) {
    p.flip = !p.flip;
    p.node = &p.node->children.front();
  }
  return p;
}

bool IsLeaf(const FilterNode& node) {
  return node.op == FilterOp::kExact || node.op == FilterOp::kRange;
}

// The leaves in depth-first order, children left to right.
std::vector<const FilterNode*> LeavesOf(const FilterNode& root) {
  std::vector<const FilterNode*> leaves;
  std::vector<const FilterNode*> pending{Peel(root).node};
  while (!pending.empty()) {
    const FilterNode* node = pending.back();
    pending.pop_back();
    if (IsLeaf(*node)) {
      leaves.push_back(node);
      continue;
    }
    for (auto child = node->children.rbegin(); child != node->children.rend(); ++child) {
      pending.push_back(Peel(*child).node);
    }
  }
  return leaves;
}

// The transaction id of every shard's current snapshot, one short read transaction each. A
// shard that cannot be read now is kUnknownSnapshot: the call fails only if a leaf must read it.
ShardSnapshotIds ProbeSnapshots(const StoreHandle& store) {
  ShardSnapshotIds ids(store.num_shards(), kUnknownSnapshot);
  for (std::size_t shard = 0; shard < ids.size(); ++shard) {
    Txn txn;
    if (txn.BeginRead(store.environment(shard)) == 0) {
      ids[shard] = static_cast<std::uint64_t>(mdb_txn_id(txn.get()));
    }
  }
  return ids;
}

// Trees may be as deep as the conversion allows, and callers' threads may have small stacks, so
// nothing here recurses: every leaf is read in one flat task set (a Range leaf nests one more,
// over the shards), then the inner nodes are combined bottom-up with an explicit stack, each
// from its children's sets in child order. `*at_probe` tells whether every leaf was read at
// `probe`.
Result<IdSet> Eval(const StoreHandle& store, const FilterNode& root, FilterCache* cache,
                   const ShardSnapshotIds& probe, bool* at_probe) {
  std::vector<const FilterNode*> leaves = LeavesOf(root);
  std::vector<IdSet> leaf_sets(leaves.size());
  std::vector<char> leaf_at_probe(leaves.size(), 1);
  Status status = WorkerPool::Instance().Run(leaves.size(), [&](std::size_t i) -> Status {
    const FilterNode& leaf = *leaves[i];
    const std::string canonical = cache != nullptr ? CanonicalTree(leaf) : std::string();
    const LeafContext context{cache, &canonical, &probe};
    Result<LeafRead> r = leaf.op == FilterOp::kExact
                             ? EvalExact(store, leaf.key, context)
                             : EvalRange(store, leaf.key, leaf.end, context);
    if (!r.ok()) return r.status();
    leaf_sets[i] = std::move(r.value().set);
    leaf_at_probe[i] = r.value().at_probe;
    return Status::Ok();
  });
  if (!status.ok()) return status;
  *at_probe = std::all_of(leaf_at_probe.begin(), leaf_at_probe.end(), [](char c) { return c; });

  struct Frame {
    Peeled at;
    std::size_t next_child = 0;
    std::vector<IdSet> done;
  };
  std::vector<Frame> stack;
  stack.push_back(Frame{Peel(root), 0, {}});
  std::size_t next_leaf = 0;
  for (;;) {
    Frame& top = stack.back();
    const FilterNode& node = *top.at.node;
    IdSet value;
    if (IsLeaf(node)) {
      assert(next_leaf < leaf_sets.size() && leaves[next_leaf] == &node);
      value = std::move(leaf_sets[next_leaf++]);
    } else if (top.next_child < node.children.size()) {
      Peeled child = Peel(node.children[top.next_child++]);
      stack.push_back(Frame{child, 0, {}});  // `top` is not used past this point
      continue;
    } else {
      value = node.op == FilterOp::kAnd ? AndOf(std::move(top.done)) : OrOf(std::move(top.done));
    }
    if (top.at.flip) value.negated = !value.negated;
    stack.pop_back();
    if (stack.empty()) {
      assert(next_leaf == leaf_sets.size());
      return value;
    }
    stack.back().done.push_back(std::move(value));
  }
}

// How `set` differs from `earlier`, the set of the same tree over earlier snapshots, when the
// ids that exactly one of them holds are at most a quarter of the larger set (and a few more):
// with more, testing each record against `set` itself costs about as much. Null otherwise.
std::shared_ptr<const IdSetChange> ChangeSince(const IdSet* earlier, const IdSet& set) {
  constexpr std::size_t kAlwaysWorth = 1024;
  if (earlier == nullptr || !earlier->fingerprint || earlier->negated != set.negated) {
    return nullptr;
  }
  const std::size_t limit = std::max(earlier->size(), set.size()) / 4 + kAlwaysWorth;
  auto change = std::make_shared<IdSetChange>();
  change->earlier = earlier->fingerprint;
  SortedIds& changed = change->changed;
  auto a = earlier->ids.begin(), b = set.ids.begin();
  const auto a_end = earlier->ids.end(), b_end = set.ids.end();
  while (a != a_end || b != b_end) {
    if (b == b_end || (a != a_end && *a < *b)) {
      changed.push_back(*a++);
    } else if (a == a_end || *b < *a) {
      changed.push_back(*b++);
    } else {
      ++a;
      ++b;
      continue;
    }
    if (changed.size() > limit) return nullptr;
  }
  return change;
}

}  // namespace

Result<std::shared_ptr<const IdSet>> EvaluateFilter(const StoreHandle& store,
                                                    const FilterNode& root, FilterCache* cache) {
  if (Status s = store.CheckProcess(); !s.ok()) return s;
  const ShardSnapshotIds probe = ProbeSnapshots(store);
  const bool probed = std::find(probe.begin(), probe.end(), kUnknownSnapshot) == probe.end();
  const std::string tree = CanonicalTree(root);
  FilterCache* kept = cache != nullptr && cache->budget() != 0 ? cache : nullptr;
  std::shared_ptr<const IdSet> earlier;
  if (kept != nullptr && probed) {
    if (auto set = kept->FindTree(tree, probe, &earlier)) return set;
  }
  bool at_probe = false;
  // A tree of one leaf keeps its leaf too, though the tree holds the same ids: the leaf
  // follows this handle's commits (FilterCache::Committed), so the tree is not read again.
  Result<IdSet> evaluated = Eval(store, root, kept, probe, &at_probe);
  if (!evaluated.ok()) return evaluated.status();
  auto set = std::make_shared<IdSet>(evaluated.take());
  // A write that committed while the leaves were read leaves the result without a fingerprint:
  // it is of no one snapshot per shard, so nothing else can be said to equal it.
  if (cache != nullptr && probed && at_probe) {
    std::string fingerprint;
    auto append = [&](std::uint64_t word) {
      fingerprint.append(reinterpret_cast<const char*>(&word), sizeof word);
    };
    append(cache->serial());
    for (std::uint64_t snapshot : probe) append(snapshot);
    fingerprint.append(tree);
    set->fingerprint = std::make_shared<const std::string>(std::move(fingerprint));
    set->since = ChangeSince(earlier.get(), *set);
    if (kept != nullptr) kept->KeepTree(tree, probe, set);
  }
  return std::shared_ptr<const IdSet>(std::move(set));
}

}  // namespace zanth
