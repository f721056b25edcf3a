// A set of record ids with a complement flag: negated == true means "every id except `ids`".
// Negation therefore never enumerates ids; the set algebra of filter evaluation and the
// acceptance test of filtered search both work on this form.
#pragma once

#include <tsl/robin_set.h>

#include <cstdint>

namespace zanth {

// splitmix64's finaliser: ids are often sequential or share low bits (multiples of 1024), which
// an identity hash would pile into a few buckets of a power-of-two table.
struct IdHash {
  std::size_t operator()(std::int64_t id) const noexcept {
    std::uint64_t z = static_cast<std::uint64_t>(id) + 0x9e3779b97f4a7c15ULL;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return static_cast<std::size_t>(z ^ (z >> 31));
  }
};

using IdHashSet = tsl::robin_set<std::int64_t, IdHash>;

struct IdSet {
  IdHashSet ids;
  bool negated = false;

  bool Accepts(std::int64_t id) const { return ids.contains(id) != negated; }
  // Accepts every id: no per-record test is needed.
  bool AcceptsAll() const { return negated && ids.empty(); }
  // Accepts no id: a search can skip the scan.
  bool AcceptsNone() const { return !negated && ids.empty(); }
};

}  // namespace zanth
