#include "index/filter_eval.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <functional>
#include <string_view>
#include <vector>

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

// The 8 id bytes at `at` as a big-endian number: the id in key order (see KeyOrderOf).
std::uint64_t KeyOrderAt(const char* at) {
  std::uint64_t raw;
  std::memcpy(&raw, at, sizeof raw);
  return __builtin_bswap64(raw);
}

// Opens a read-only transaction and a cursor on `shard` and hands the cursor and the snapshot's
// transaction id to `scan`.
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
  scan(cursor, mdb_txn_id(txn.get()));
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
// order. Any cursor error, MDB_NOTFOUND at the end included, ends the scan.
void ScanExactPart(Cursor& cursor, const std::string& prefix, unsigned low, unsigned high,
                   SortedIds* ids) {
  std::string start = prefix;
  if (low > 0) start.push_back(static_cast<char>(low));
  const std::size_t record_size = prefix.size() + kIdBytes;
  MDB_val k = ToVal(start);
  MDB_val v;
  for (int rc = cursor.Get(&k, &v, MDB_SET_RANGE); rc == 0; rc = cursor.Get(&k, &v, MDB_NEXT)) {
    std::string_view record = ToView(k);
    if (!HasPrefix(record, prefix)) break;
    if (record.size() > prefix.size() &&
        static_cast<unsigned char>(record[prefix.size()]) >= high) {
      break;
    }
    if (record.size() == record_size) ids->push_back(KeyOrderAt(record.data() + prefix.size()));
  }
}

Result<IdSet> EvalExact(const StoreHandle& store, const std::string& key) {
  if (store.num_shards() == 0) return IdSet{};
  Result<std::size_t> shard = IndexShardOf(key, store.num_shards());
  if (!shard.ok()) return shard.status();
  std::string prefix = key;
  prefix.push_back(kIndexSeparator);
  // A key can hold millions of ids in one shard. Its records are split by their first id byte
  // (an id's low byte, so the parts come out about even) and read by one task each, every task
  // in its own read transaction. The parts concatenate in key order when all transactions saw
  // the same snapshot; when a write committed in between, the key is read again in one.
  WorkerPool& pool = WorkerPool::Instance();
  const std::size_t parts = std::min(pool.concurrency(), kMaxExactParts);
  std::vector<SortedIds> runs(parts);
  std::vector<std::size_t> snapshots(parts);
  Status status = pool.Run(parts, [&](std::size_t part) {
    return WithShardCursor(store, shard.value(), [&](Cursor& cursor, std::size_t snapshot) {
      snapshots[part] = snapshot;
      ScanExactPart(cursor, prefix, static_cast<unsigned>(256 * part / parts),
                    static_cast<unsigned>(256 * (part + 1) / parts), &runs[part]);
    });
  });
  if (!status.ok()) return status;
  if (std::adjacent_find(snapshots.begin(), snapshots.end(), std::not_equal_to<>()) !=
      snapshots.end()) {
    SortedIds ids;
    status = WithShardCursor(store, shard.value(), [&](Cursor& cursor, std::size_t) {
      ScanExactPart(cursor, prefix, 0, 256, &ids);
    });
    if (!status.ok()) return status;
    return IdSet(std::move(ids), false);
  }
  if (parts == 1) return IdSet(std::move(runs.front()), false);
  std::size_t total = 0;
  for (const SortedIds& run : runs) total += run.size();
  SortedIds ids;
  ids.reserve(total);
  for (SortedIds& run : runs) {
    ids.insert(ids.end(), run.begin(), run.end());
    SortedIds().swap(run);
  }
  return IdSet(std::move(ids), false);
}

std::string_view NamespaceOf(std::string_view start) {
  std::size_t colon = start.find(':');
  return colon == std::string_view::npos ? std::string_view() : start.substr(0, colon + 1);
}

Result<IdSet> EvalRange(const StoreHandle& store, const std::string& start,
                        const std::string& end) {
  const std::size_t n = store.num_shards();
  std::string_view name_space = NamespaceOf(start);
  std::string_view end_view = end;
  std::vector<std::vector<std::uint64_t>> per_shard(n);
  Status status = WorkerPool::Instance().Run(n, [&](std::size_t shard) -> Status {
    return WithShardCursor(store, shard, [&](Cursor& cursor, std::size_t) {
      std::vector<std::uint64_t>& ids = per_shard[shard];
      MDB_val k = ToVal(start);
      MDB_val v;
      // An empty start cannot position a cursor (MDB_BAD_VALSIZE): the scan reads nothing.
      for (int rc = cursor.Get(&k, &v, MDB_SET_RANGE); rc == 0;
           rc = cursor.Get(&k, &v, MDB_NEXT)) {
        std::string_view record = ToView(k);
        if (record >= end_view || !record.starts_with(name_space)) break;
        if (record.size() > kIdBytes) ids.push_back(KeyOrderAt(record.data() + record.size() - kIdBytes));
      }
    });
  });
  if (!status.ok()) return status;
  // Several keys' ids interleave, and an id filed under several keys repeats.
  std::size_t total = 0;
  for (const auto& ids : per_shard) total += ids.size();
  std::vector<std::uint64_t> all;
  all.reserve(total);
  for (auto& ids : per_shard) {
    all.insert(all.end(), ids.begin(), ids.end());
    std::vector<std::uint64_t>().swap(ids);
  }
  return IdSet(SortDistinct(std::move(all)), false);
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

// Trees may be as deep as the conversion allows, and callers' threads may have small stacks, so
// nothing here recurses: every leaf is read in one flat task set (a Range leaf nests one more,
// over the shards), then the inner nodes are combined bottom-up with an explicit stack, each
// from its children's sets in child order.
Result<IdSet> Eval(const StoreHandle& store, const FilterNode& root) {
  std::vector<const FilterNode*> leaves = LeavesOf(root);
  std::vector<IdSet> leaf_sets(leaves.size());
  Status status = WorkerPool::Instance().Run(leaves.size(), [&](std::size_t i) -> Status {
    const FilterNode& leaf = *leaves[i];
    Result<IdSet> r = leaf.op == FilterOp::kExact ? EvalExact(store, leaf.key)
                                                  : EvalRange(store, leaf.key, leaf.end);
    if (!r.ok()) return r.status();
    leaf_sets[i] = r.take();
    return Status::Ok();
  });
  if (!status.ok()) return status;

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

}  // namespace

Result<IdSet> EvaluateFilter(const StoreHandle& store, const FilterNode& root) {
  if (Status s = store.CheckProcess(); !s.ok()) return s;
  return Eval(store, root);
}

}  // namespace zanth
