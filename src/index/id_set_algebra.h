// Set algebra on id sets. The hash-set operations consume their inputs where that saves a copy:
// filter evaluation owns every intermediate result, so the larger table is reused in place and
// the smaller one is the one iterated.
#pragma once

#include <vector>

#include "index/id_set.h"

namespace zanth {

// a ∩ b, built in the smaller of the two tables.
IdHashSet Intersect(IdHashSet a, IdHashSet b);
// from − remove, in place; iterates whichever of the two is smaller.
void Subtract(IdHashSet& from, const IdHashSet& remove);
// a ∪ b, built in the larger of the two tables.
IdHashSet Unite(IdHashSet a, IdHashSet b);

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
