#include "vectors/sketch_cache.h"

#include <unistd.h>

#include <iterator>

namespace zanth {

namespace {

std::uint64_t DefaultBudget() {
  long pages = sysconf(_SC_PHYS_PAGES);
  long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return std::uint64_t{1} << 30;
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size) / 4;
}

std::uint64_t BytesOf(const ShardSketch& s) { return ShardSketch::BytesFor(s.records, s.dim); }

}  // namespace

SketchCache::SketchCache() : budget_(DefaultBudget()) {}

std::uint64_t SketchCache::HeldExcept(const Key& key) const {
  auto it = entries_.find(key);
  return held_ - (it == entries_.end() ? 0 : BytesOf(*it->second));
}

std::shared_ptr<ShardSketch> SketchCache::Acquire(std::size_t shard, std::size_t dim,
                                                  std::uint64_t txn_id, std::size_t records) {
  std::lock_guard<std::mutex> lock(mu_);
  const Key key{shard, dim};
  auto it = entries_.find(key);
  if (it != entries_.end() && it->second->txn_id == txn_id && it->second->records == records) {
    return it->second;
  }
  const std::uint64_t bytes = ShardSketch::BytesFor(records, dim);
  const std::uint64_t others = HeldExcept(key);
  const std::uint64_t budget = budget_.load(std::memory_order_relaxed);
  if (budget == 0 || bytes > budget || others > budget - bytes) return nullptr;
  auto sketch = std::make_shared<ShardSketch>();
  sketch->txn_id = txn_id;
  sketch->dim = dim;
  sketch->records = records;
  sketch->codes.reset(new std::int8_t[records * dim]);
  sketch->meta.reset(new RecordSketchMeta[records]);
  sketch->ids.reset(new std::int64_t[records]);
  entries_[key] = sketch;
  held_ = others + bytes;
  return sketch;
}

void SketchCache::SetBudget(std::uint64_t bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  budget_.store(bytes, std::memory_order_relaxed);
  // Largest keys first is as good an order as any: each sketch is rebuilt on demand.
  while (held_ > bytes && !entries_.empty()) {
    auto last = std::prev(entries_.end());
    held_ -= BytesOf(*last->second);
    entries_.erase(last);
  }
}

std::uint64_t SketchCache::memory() const {
  std::lock_guard<std::mutex> lock(mu_);
  return held_;
}

}  // namespace zanth
