#include "index/id_set_algebra.h"

#include <algorithm>
#include <utility>

namespace zanth {

namespace {

constexpr float kDenseLoadFactor = 0.85f;

// Keeps in `set` only the ids that `keep` accepts (erasing while iterating: tsl's erase returns
// the iterator to continue from, which may be the same bucket after a backward shift).
template <typename Keep>
void RetainIf(IdHashSet& set, Keep keep) {
  for (auto it = set.begin(); it != set.end();) {
    if (keep(*it)) {
      ++it;
    } else {
      it = set.erase(it);
    }
  }
}

}  // namespace

IdHashSet Intersect(IdHashSet a, IdHashSet b) {
  if (a.size() > b.size()) std::swap(a, b);
  if (a.empty()) return a;
  RetainIf(a, [&](std::int64_t id) { return b.contains(id); });
  return a;
}

void Subtract(IdHashSet& from, const IdHashSet& remove) {
  if (from.empty() || remove.empty()) return;
  if (remove.size() < from.size()) {
    for (std::int64_t id : remove) from.erase(id);
  } else {
    RetainIf(from, [&](std::int64_t id) { return !remove.contains(id); });
  }
}

IdHashSet Unite(IdHashSet a, IdHashSet b) {
  if (a.size() < b.size()) std::swap(a, b);
  if (b.empty()) return a;
  // Robin hood probing stays short at this load; letting the table fill further before it
  // grows spares the union a rehash into a table twice as large when the inputs overlap.
  // (Range insert would reserve for size() + b.size() first, overlap or not.)
  a.max_load_factor(kDenseLoadFactor);
  for (std::int64_t id : b) a.insert(id);
  return a;
}

IdSet AndOf(std::vector<IdSet> children) {
  if (children.empty()) return IdSet{};
  IdSet acc = std::move(children[0]);
  for (std::size_t i = 1; i < children.size(); ++i) {
    if (!acc.negated && acc.ids.empty()) break;
    IdSet& c = children[i];
    if (!acc.negated && !c.negated) {
      acc.ids = Intersect(std::move(acc.ids), std::move(c.ids));
    } else if (!acc.negated && c.negated) {
      Subtract(acc.ids, c.ids);
    } else if (acc.negated && !c.negated) {
      Subtract(c.ids, acc.ids);
      acc.ids = std::move(c.ids);
      acc.negated = false;
    } else {
      acc.ids = Unite(std::move(acc.ids), std::move(c.ids));
    }
  }
  return acc;
}

IdSet OrOf(std::vector<IdSet> children) {
  std::vector<IdSet*> plain;
  std::vector<IdSet*> complement;
  for (IdSet& c : children) (c.negated ? complement : plain).push_back(&c);

  if (complement.empty()) {
    if (plain.empty()) return IdSet{};
    // The others are inserted into the largest table.
    auto largest = std::max_element(plain.begin(), plain.end(), [](IdSet* a, IdSet* b) {
      return a->ids.size() < b->ids.size();
    });
    std::swap(*largest, plain.front());
    IdSet result = std::move(*plain.front());
    result.ids.max_load_factor(kDenseLoadFactor);
    for (std::size_t i = 1; i < plain.size(); ++i) {
      for (std::int64_t id : plain[i]->ids) result.ids.insert(id);
    }
    return result;
  }

  // Excluded = ids that every complement-form child excludes and no plain child accepts.
  std::sort(complement.begin(), complement.end(),
            [](IdSet* a, IdSet* b) { return a->ids.size() < b->ids.size(); });
  IdSet result{std::move(complement.front()->ids), true};
  for (std::size_t i = 1; i < complement.size() && !result.ids.empty(); ++i) {
    result.ids = Intersect(std::move(result.ids), std::move(complement[i]->ids));
  }
  for (IdSet* p : plain) {
    if (result.ids.empty()) break;
    Subtract(result.ids, p->ids);
  }
  return result;
}

}  // namespace zanth
