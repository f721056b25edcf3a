#include "index/id_set_algebra.h"

#include <algorithm>
#include <utility>

namespace zanth {

namespace {

// Below this size ratio a merge beats searching the larger side for each id of the smaller.
constexpr std::size_t kGallopRatio = 32;

// Where `value` is or would be in [from, end): doubling steps, then a binary search.
const std::uint64_t* Gallop(const std::uint64_t* from, const std::uint64_t* end,
                            std::uint64_t value) {
  std::size_t step = 1;
  const std::uint64_t* low = from;
  while (from + step < end && from[step] < value) {
    low = from + step;
    step <<= 1;
  }
  return std::lower_bound(low, std::min(from + step + 1, end), value);
}

// Ids of `small` that are (keep_found) or are not (!keep_found) in `large`.
template <bool kKeepFound>
SortedIds FilterByGallop(const SortedIds& small, const SortedIds& large) {
  SortedIds out;
  out.reserve(small.size());
  const std::uint64_t* at = large.data();
  const std::uint64_t* end = large.data() + large.size();
  for (std::uint64_t value : small) {
    at = Gallop(at, end, value);
    bool found = at != end && *at == value;
    if (found == kKeepFound) out.push_back(value);
  }
  return out;
}

}  // namespace

SortedIds Intersect(const SortedIds& a, const SortedIds& b) {
  const SortedIds& small = a.size() <= b.size() ? a : b;
  const SortedIds& large = a.size() <= b.size() ? b : a;
  if (small.empty()) return {};
  if (small.size() * kGallopRatio < large.size()) return FilterByGallop<true>(small, large);
  SortedIds out(small.size());
  const std::uint64_t *x = a.data(), *x_end = x + a.size();
  const std::uint64_t *y = b.data(), *y_end = y + b.size();
  std::uint64_t* o = out.data();
  while (x != x_end && y != y_end) {
    std::uint64_t u = *x, v = *y;
    *o = u;
    o += u == v;
    x += u <= v;
    y += v <= u;
  }
  out.resize(static_cast<std::size_t>(o - out.data()));
  return out;
}

SortedIds Subtract(const SortedIds& from, const SortedIds& remove) {
  if (from.empty() || remove.empty()) return from;
  if (from.size() * kGallopRatio < remove.size()) return FilterByGallop<false>(from, remove);
  SortedIds out(from.size());
  const std::uint64_t *x = from.data(), *x_end = x + from.size();
  const std::uint64_t *y = remove.data(), *y_end = y + remove.size();
  std::uint64_t* o = out.data();
  while (x != x_end && y != y_end) {
    std::uint64_t u = *x, v = *y;
    *o = u;
    o += u < v;
    x += u <= v;
    y += v <= u;
  }
  o = std::copy(x, x_end, o);
  out.resize(static_cast<std::size_t>(o - out.data()));
  return out;
}

SortedIds Unite(const SortedIds& a, const SortedIds& b) {
  if (a.empty()) return b;
  if (b.empty()) return a;
  SortedIds out(a.size() + b.size());
  const std::uint64_t *x = a.data(), *x_end = x + a.size();
  const std::uint64_t *y = b.data(), *y_end = y + b.size();
  std::uint64_t* o = out.data();
  while (x != x_end && y != y_end) {
    std::uint64_t u = *x, v = *y;
    *o++ = u < v ? u : v;
    x += u <= v;
    y += v <= u;
  }
  o = std::copy(x, x_end, o);
  o = std::copy(y, y_end, o);
  out.resize(static_cast<std::size_t>(o - out.data()));
  return out;
}

SortedIds UniteAll(std::vector<SortedIds> sets) {
  if (sets.empty()) return {};
  while (sets.size() > 1) {
    std::vector<SortedIds> next;
    next.reserve((sets.size() + 1) / 2);
    for (std::size_t i = 0; i + 1 < sets.size(); i += 2) next.push_back(Unite(sets[i], sets[i + 1]));
    if (sets.size() % 2) next.push_back(std::move(sets.back()));
    sets = std::move(next);
  }
  return std::move(sets.front());
}

SortedIds SortDistinct(std::vector<std::uint64_t> keys) {
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  return keys;
}

IdSet AndOf(std::vector<IdSet> children) {
  if (children.empty()) return IdSet{};
  IdSet acc = std::move(children[0]);
  for (std::size_t i = 1; i < children.size(); ++i) {
    if (!acc.negated && acc.ids.empty()) break;
    IdSet& c = children[i];
    if (!acc.negated && !c.negated) {
      acc.ids = Intersect(acc.ids, c.ids);
    } else if (!acc.negated && c.negated) {
      acc.ids = Subtract(acc.ids, c.ids);
    } else if (acc.negated && !c.negated) {
      acc.ids = Subtract(c.ids, acc.ids);
      acc.negated = false;
    } else {
      acc.ids = Unite(acc.ids, c.ids);
    }
  }
  return acc;
}

IdSet OrOf(std::vector<IdSet> children) {
  std::vector<SortedIds> plain;
  std::vector<SortedIds> complement;
  for (IdSet& c : children) (c.negated ? complement : plain).push_back(std::move(c.ids));
  if (complement.empty()) return IdSet(UniteAll(std::move(plain)), false);

  // Excluded = ids that every complement-form child excludes and no plain child accepts.
  std::sort(complement.begin(), complement.end(),
            [](const SortedIds& a, const SortedIds& b) { return a.size() < b.size(); });
  SortedIds excluded = std::move(complement.front());
  for (std::size_t i = 1; i < complement.size() && !excluded.empty(); ++i) {
    excluded = Intersect(excluded, complement[i]);
  }
  for (const SortedIds& p : plain) {
    if (excluded.empty()) break;
    excluded = Subtract(excluded, p);
  }
  return IdSet(std::move(excluded), true);
}

}  // namespace zanth
