#include "index/filter_cache.h"

#include <algorithm>
#include <atomic>
#include <iterator>
#include <string_view>
#include <utility>

#include "index/id_membership.h"
#include "index/index_records.h"

namespace zanth {

namespace {

// Map overhead per entry besides its key and ids: node, list cell, snapshot vector.
constexpr std::uint64_t kEntryOverhead = 128;

void AppendLength(std::string* out, std::size_t n) {
  for (int i = 0; i < 8; ++i) out->push_back(static_cast<char>((n >> (8 * i)) & 0xFF));
}

void AppendBytes(std::string* out, const std::string& bytes) {
  AppendLength(out, bytes.size());
  out->append(bytes);
}

std::string LeafKey(const std::string& leaf, std::size_t shard) {
  std::string key = "L";
  AppendLength(&key, shard);
  key.append(leaf);
  return key;
}

std::string TreeKey(const std::string& tree) { return "T" + tree; }

std::uint64_t LengthAt(std::string_view bytes, std::size_t at) {
  std::uint64_t n = 0;
  for (std::size_t i = 0; i < 8; ++i) {
    n |= std::uint64_t{static_cast<unsigned char>(bytes[at + i])} << (8 * i);
  }
  return n;
}

// A leaf read back from its canonical form.
struct LeafOf {
  FilterOp op;
  std::string_view key;  // Exact: the key; Range: start
  std::string_view end;  // Range
};

LeafOf ReadLeaf(std::string_view canonical) {
  LeafOf leaf{static_cast<FilterOp>(canonical[0]), {}, {}};
  const std::size_t key_size = LengthAt(canonical, 1);
  leaf.key = canonical.substr(9, key_size);
  if (leaf.op == FilterOp::kRange) {
    leaf.end = canonical.substr(17 + key_size, LengthAt(canonical, 9 + key_size));
  }
  return leaf;
}

// The ids, in key order, ascending and distinct, of the records among `records` (record keys,
// ascending) that `leaf` reads (index_records.h).
SortedIds IdsRead(const LeafOf& leaf, const std::vector<std::string_view>& records) {
  SortedIds ids;
  if (leaf.op == FilterOp::kExact) {
    std::string prefix(leaf.key);
    prefix.push_back(kIndexSeparator);
    for (auto it = std::lower_bound(records.begin(), records.end(), std::string_view(prefix));
         it != records.end() && it->starts_with(prefix); ++it) {
      if (it->size() == prefix.size() + kIdKeySize) {
        ids.push_back(KeyOrderAt(it->data() + prefix.size()));
      }
    }
  } else if (!leaf.key.empty()) {  // a cursor cannot start at an empty key: the leaf reads none
    const std::string_view space = RangeNamespace(leaf.key);
    for (auto it = std::lower_bound(records.begin(), records.end(), leaf.key);
         it != records.end() && *it < leaf.end && it->starts_with(space); ++it) {
      if (it->size() > kIdKeySize) ids.push_back(KeyOrderAt(it->data() + it->size() - kIdKeySize));
    }
  }
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  return ids;
}

}  // namespace

std::string CanonicalTree(const FilterNode& root) {
  std::string out;
  std::vector<const FilterNode*> pending{&root};
  while (!pending.empty()) {
    const FilterNode* node = pending.back();
    pending.pop_back();
    out.push_back(static_cast<char>(node->op));
    switch (node->op) {
      case FilterOp::kExact:
        AppendBytes(&out, node->key);
        break;
      case FilterOp::kRange:
        AppendBytes(&out, node->key);
        AppendBytes(&out, node->end);
        break;
      default:
        AppendLength(&out, node->children.size());
        for (auto child = node->children.rbegin(); child != node->children.rend(); ++child) {
          pending.push_back(&*child);
        }
    }
  }
  return out;
}

FilterCache::FilterCache()
    : serial_([] {
        static std::atomic<std::uint64_t> next{1};
        return next.fetch_add(1, std::memory_order_relaxed);
      }()) {}

std::shared_ptr<const SortedIds> FilterCache::FindLeaf(const std::string& leaf, std::size_t shard,
                                                       std::uint64_t txn) {
  std::lock_guard<std::mutex> lock(mu_);
  Entry* entry = FindLocked(LeafKey(leaf, shard));
  return entry != nullptr && entry->txn == txn ? entry->ids : nullptr;
}

void FilterCache::KeepLeaf(const std::string& leaf, std::size_t shard, std::uint64_t txn,
                           std::shared_ptr<const SortedIds> ids) {
  std::string key = LeafKey(leaf, shard);
  Entry entry;
  entry.txn = txn;
  entry.bytes = ids->size() * sizeof(std::uint64_t) + key.size() + kEntryOverhead;
  entry.ids = std::move(ids);
  std::lock_guard<std::mutex> lock(mu_);
  KeepLocked(std::move(key), std::move(entry));
}

std::shared_ptr<const SortedIds> FilterCache::FindRange(const std::string& leaf,
                                                        const ShardSnapshotIds& snapshots) {
  std::lock_guard<std::mutex> lock(mu_);
  Entry* entry = FindLocked("R" + leaf);
  return entry != nullptr && entry->snapshots == snapshots ? entry->ids : nullptr;
}

void FilterCache::KeepRange(const std::string& leaf, const ShardSnapshotIds& snapshots,
                            std::shared_ptr<const SortedIds> ids) {
  std::string key = "R" + leaf;
  Entry entry;
  entry.snapshots = snapshots;
  entry.bytes = (ids->size() + snapshots.size()) * sizeof(std::uint64_t) + key.size() +
                kEntryOverhead;
  entry.ids = std::move(ids);
  std::lock_guard<std::mutex> lock(mu_);
  KeepLocked(std::move(key), std::move(entry));
}

std::shared_ptr<const IdSet> FilterCache::FindTree(const std::string& tree,
                                                   const ShardSnapshotIds& snapshots,
                                                   std::shared_ptr<const IdSet>* earlier) {
  std::lock_guard<std::mutex> lock(mu_);
  Entry* entry = FindLocked(TreeKey(tree));
  if (entry == nullptr) return nullptr;
  if (entry->snapshots == snapshots) return entry->set;
  if (earlier != nullptr) *earlier = entry->set;
  return nullptr;
}

void FilterCache::KeepTree(const std::string& tree, const ShardSnapshotIds& snapshots,
                           std::shared_ptr<const IdSet> set) {
  std::string key = TreeKey(tree);
  Entry entry;
  entry.snapshots = snapshots;
  const std::size_t changed = set->since ? set->since->changed.size() : 0;
  entry.bytes = (set->size() + changed) * sizeof(std::uint64_t) +
                IdMembership::BytesFor(set->ids) + key.size() +
                snapshots.size() * sizeof(std::uint64_t) + kEntryOverhead;
  entry.set = std::move(set);
  std::lock_guard<std::mutex> lock(mu_);
  KeepLocked(std::move(key), std::move(entry));
}

void FilterCache::Committed(std::size_t shard, std::uint64_t base, CommitOutcome outcome,
                            const ShardChange& change) {
  if (outcome != CommitOutcome::kAdvanced || change.index == ShardChange::Index::kUnknown) return;
  const bool listed = change.index == ShardChange::Index::kListed;
  std::string prefix = "L";
  AppendLength(&prefix, shard);
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<std::string_view> behind;  // leaves whose new ids cannot be told
  for (auto& [key, entry] : entries_) {
    if (entry.txn != base || !key.starts_with(prefix)) continue;
    if (!listed) {
      entry.txn = base + 1;
      continue;
    }
    const LeafOf leaf = ReadLeaf(std::string_view(key).substr(prefix.size()));
    const SortedIds removed = IdsRead(leaf, (*change.index_removed)[shard]);
    const SortedIds put = IdsRead(leaf, (*change.index_put)[shard]);
    if (!removed.empty() && leaf.op == FilterOp::kRange) {
      behind.push_back(key);
      continue;
    }
    entry.txn = base + 1;
    if (removed.empty() && put.empty()) continue;
    SortedIds kept;
    kept.reserve(entry.ids->size());
    std::set_difference(entry.ids->begin(), entry.ids->end(), removed.begin(), removed.end(),
                        std::back_inserter(kept));
    auto ids = std::make_shared<SortedIds>();
    ids->reserve(kept.size() + put.size());
    std::set_union(kept.begin(), kept.end(), put.begin(), put.end(), std::back_inserter(*ids));
    const std::uint64_t bytes = entry.bytes - entry.ids->size() * sizeof(std::uint64_t) +
                                ids->size() * sizeof(std::uint64_t);
    held_ = held_ - entry.bytes + bytes;
    entry.bytes = bytes;
    entry.ids = std::move(ids);
  }
  for (std::string_view key : behind) EraseLocked(entries_.find(std::string(key)));
  EvictLocked(budget_);
}

void FilterCache::SetBudget(std::uint64_t bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  budget_ = bytes;
  EvictLocked(budget_);
}

std::uint64_t FilterCache::budget() const {
  std::lock_guard<std::mutex> lock(mu_);
  return budget_;
}

std::uint64_t FilterCache::memory() const {
  std::lock_guard<std::mutex> lock(mu_);
  return held_;
}

FilterCache::Entry* FilterCache::FindLocked(const std::string& key) {
  auto it = entries_.find(key);
  if (it == entries_.end()) return nullptr;
  uses_.splice(uses_.end(), uses_, it->second.use);
  return &it->second;
}

void FilterCache::KeepLocked(std::string key, Entry entry) {
  if (auto old = entries_.find(key); old != entries_.end()) EraseLocked(old);
  if (entry.bytes > budget_) return;
  EvictLocked(budget_ - entry.bytes);
  held_ += entry.bytes;
  auto [it, inserted] = entries_.emplace(std::move(key), std::move(entry));
  it->second.use = uses_.insert(uses_.end(), &it->first);
}

void FilterCache::EvictLocked(std::uint64_t limit) {
  while (held_ > limit && !uses_.empty()) EraseLocked(entries_.find(*uses_.front()));
}

void FilterCache::EraseLocked(std::unordered_map<std::string, Entry>::iterator it) {
  held_ -= it->second.bytes;
  uses_.erase(it->second.use);
  entries_.erase(it);
}

}  // namespace zanth
