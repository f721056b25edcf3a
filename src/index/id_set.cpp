#include "index/id_set.h"

#include <algorithm>
#include <memory>

#include "index/id_membership.h"

namespace zanth {

std::uint64_t SetIdentity::Next() {
  static std::atomic<std::uint64_t> next{1};
  return next.fetch_add(1, std::memory_order_relaxed);
}

LazyMembership::~LazyMembership() { Reset(); }

LazyMembership& LazyMembership::operator=(const LazyMembership&) noexcept {
  Reset();
  return *this;
}

LazyMembership& LazyMembership::operator=(LazyMembership&&) noexcept {
  Reset();
  return *this;
}

void LazyMembership::Reset() noexcept { delete built_.exchange(nullptr); }

const IdMembership& LazyMembership::Get(const SortedIds& ids) const {
  IdMembership* have = built_.load(std::memory_order_acquire);
  if (have != nullptr) return *have;
  auto fresh = std::make_unique<IdMembership>(ids);
  if (built_.compare_exchange_strong(have, fresh.get(), std::memory_order_acq_rel,
                                     std::memory_order_acquire)) {
    return *fresh.release();
  }
  return *have;
}

IdSet IdSet::FromIds(std::vector<std::int64_t> ids, bool negated) {
  SortedIds keys(ids.size());
  std::transform(ids.begin(), ids.end(), keys.begin(), KeyOrderOf);
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  return IdSet(std::move(keys), negated);
}

bool IdSet::Contains(std::int64_t id) const { return Membership().Contains(id); }

}  // namespace zanth
