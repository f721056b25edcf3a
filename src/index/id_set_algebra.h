// Set algebra on id sets. Ids are sorted in key order, so every operation is one linear merge
// (branch-free: the interleaving of two large sets is unpredictable), or, when one side is far
// smaller, a galloping search of the larger side for each id of the smaller.
#pragma once

#include <vector>

#include "index/id_set.h"

namespace zanth {

SortedIds Intersect(const SortedIds& a, const SortedIds& b);
SortedIds Subtract(const SortedIds& from, const SortedIds& remove);
SortedIds Unite(const SortedIds& a, const SortedIds& b);
// The union of any number of sorted sets, merged in pairs so each id is copied log2(n) times.
SortedIds UniteAll(std::vector<SortedIds> sets);
// Sorted, distinct key-order ids from ids in any order with repeats (a Range scan's output).
SortedIds SortDistinct(std::vector<std::uint64_t> keys);

// The conjunction of evaluated children, in child order, on the complement-flag form:
//   plain ∧ plain = ∩;  plain ∧ not c = acc − c;  not acc ∧ c = c − acc;  not ∧ not = not (∪).
// Combining stops at the first plain, empty intermediate result (nothing can come back).
// No children: the empty plain set. One child: that child, flag included.
IdSet AndOf(std::vector<IdSet> children);

// The disjunction of evaluated children. Without complement-form children: the union. With
// plain children P and complement-form children N (at least one), by De Morgan the result is
// in complement form and excludes (∩ N.ids) − (∪ P.ids). No children: the empty plain set.
IdSet OrOf(std::vector<IdSet> children);

}  // namespace zanth
