#include "index/filter_eval.h"

#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "index/id_set_algebra.h"
#include "index/index_records.h"
#include "index/index_routing.h"
#include "pool/worker_pool.h"
#include "base/id_key.h"

namespace zanth {

namespace {

// Records of 8 bytes or fewer are object records or vector blocks, never index records.
constexpr std::size_t kIdBytes = 8;

// The 8 id bytes at `at` as a big-endian number: the id in key order (see KeyOrderOf).
std::uint64_t KeyOrderAt(const char* at) {
  std::uint64_t raw;
  std::memcpy(&raw, at, sizeof raw);
  return __builtin_bswap64(raw);
}

// Opens a read-only transaction and a cursor on `shard` and hands the cursor to `scan`.
template <typename Scan>
Status WithShardCursor(const StoreHandle& store, std::size_t shard, Scan scan) {
  Txn txn;
  if (int rc = txn.BeginRead(store.environment(shard)); rc != 0) {
    return Status::Internal("RO txn: " + LmdbErrorName(rc));
  }
  Cursor cursor;
  if (int rc = cursor.Open(txn.get(), store.dbi(shard)); rc != 0) {
    return Status::Internal("Cursor: " + LmdbErrorName(rc));
  }
  scan(cursor);
  return Status::Ok();
}

Result<IdSet> EvalExact(const StoreHandle& store, const std::string& key) {
  if (store.num_shards() == 0) return IdSet{};
  Result<std::size_t> shard = IndexShardOf(key, store.num_shards());
  if (!shard.ok()) return shard.status();
  std::string prefix = key;
  prefix.push_back(kIndexSeparator);
  const std::size_t record_size = prefix.size() + kIdBytes;
  // One key's records arrive in key order, so the ids come out sorted and distinct.
  SortedIds ids;
  Status status = WithShardCursor(store, shard.value(), [&](Cursor& cursor) {
    MDB_val k = ToVal(prefix);
    MDB_val v;
    // Any cursor error, MDB_NOTFOUND at the end included, ends the scan.
    for (int rc = cursor.Get(&k, &v, MDB_SET_RANGE); rc == 0; rc = cursor.Get(&k, &v, MDB_NEXT)) {
      std::string_view record = ToView(k);
      if (!record.starts_with(prefix)) break;
      if (record.size() == record_size) ids.push_back(KeyOrderAt(record.data() + prefix.size()));
    }
  });
  if (!status.ok()) return status;
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
    return WithShardCursor(store, shard, [&](Cursor& cursor) {
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

Result<IdSet> Eval(const StoreHandle& store, const FilterNode& node);

// Children as one nested task set; the results are used only after every child has ended.
Result<std::vector<IdSet>> EvalChildren(const StoreHandle& store, const FilterNode& node) {
  std::vector<IdSet> results(node.children.size());
  Status status =
      WorkerPool::Instance().Run(node.children.size(), [&](std::size_t i) -> Status {
        Result<IdSet> r = Eval(store, node.children[i]);
        if (!r.ok()) return r.status();
        results[i] = r.take();
        return Status::Ok();
      });
  if (!status.ok()) return status;
  return results;
}

Result<IdSet> Eval(const StoreHandle& store, const FilterNode& root) {
  // A chain of Not nodes is walked, not recursed: only the parity matters.
  const FilterNode* node = &root;
  bool flip = false;
  while (node->op == FilterOp::kNot) {
    flip = !flip;
    node = &node->children.front();
  }
  std::optional<Result<IdSet>> result;
  switch (node->op) {
    case FilterOp::kExact:
      result.emplace(EvalExact(store, node->key));
      break;
    case FilterOp::kRange:
      result.emplace(EvalRange(store, node->key, node->end));
      break;
    case FilterOp::kAnd:
    case FilterOp::kOr: {
      Result<std::vector<IdSet>> children = EvalChildren(store, *node);
      if (!children.ok()) return children.status();
      result.emplace(node->op == FilterOp::kAnd ? AndOf(children.take())
                                                : OrOf(children.take()));
      break;
    }
    case FilterOp::kNot:
      break;  // unreachable: consumed above
  }
  if (result->ok() && flip) result->value().negated = !result->value().negated;
  return std::move(*result);
}

}  // namespace

Result<IdSet> EvaluateFilter(const StoreHandle& store, const FilterNode& root) {
  if (Status s = store.CheckProcess(); !s.ok()) return s;
  return Eval(store, root);
}

}  // namespace zanth
