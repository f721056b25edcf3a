#include "index/id_set.h"

#include <algorithm>

#include "index/id_membership.h"

namespace zanth {

struct LazyMembership::State {
  std::once_flag once;
  std::unique_ptr<IdMembership> built;
};

LazyMembership::LazyMembership() : state_(std::make_unique<State>()) {}
LazyMembership::~LazyMembership() = default;
LazyMembership::LazyMembership(const LazyMembership&) : state_(std::make_unique<State>()) {}
LazyMembership::LazyMembership(LazyMembership&&) noexcept : state_(std::make_unique<State>()) {}

LazyMembership& LazyMembership::operator=(const LazyMembership&) {
  state_ = std::make_unique<State>();
  return *this;
}

LazyMembership& LazyMembership::operator=(LazyMembership&&) noexcept {
  state_ = std::make_unique<State>();
  return *this;
}

const IdMembership& LazyMembership::Get(const SortedIds& ids) const {
  std::call_once(state_->once, [&] { state_->built = std::make_unique<IdMembership>(ids); });
  return *state_->built;
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
