#include "index/filter_cache.h"

#include <atomic>
#include <utility>

#include "index/id_membership.h"

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
