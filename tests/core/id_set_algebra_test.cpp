// The complement-flag algebra of And and Or against the sets of ids they accept, over a small
// universe where complements can be enumerated.
#include <random>
#include <set>
#include <vector>

#include "core_test.h"
#include "index/id_set_algebra.h"

namespace zanth {

namespace {

constexpr std::int64_t kLow = -10, kHigh = 40;

std::set<std::int64_t> Accepted(const IdSet& s) {
  std::set<std::int64_t> out;
  for (std::int64_t id = kLow; id < kHigh; ++id) {
    if (s.Accepts(id)) out.insert(id);
  }
  return out;
}

}  // namespace

TEST_CASE(and_or_match_the_accepted_id_model) {
  std::mt19937_64 rng(11);
  for (int round = 0; round < 3000; ++round) {
    std::vector<IdSet> children(rng() % 5);
    std::set<std::int64_t> want_and, want_or;
    for (std::int64_t id = kLow; id < kHigh; ++id) {
      if (!children.empty()) want_and.insert(id);
    }
    for (IdSet& c : children) {
      c.negated = rng() % 2 == 0;
      // Sizes from empty to most of the universe, so either side of a set operation can be
      // the larger one.
      for (int i = 0, n = static_cast<int>(rng() % 45); i < n; ++i) {
        c.ids.insert(static_cast<std::int64_t>(rng() % 45) - 5);
      }
      std::set<std::int64_t> accepted = Accepted(c), kept;
      for (std::int64_t id : want_and) {
        if (accepted.count(id)) kept.insert(id);
      }
      want_and = kept;
      want_or.insert(accepted.begin(), accepted.end());
    }
    IdSet all_of = AndOf(children), any_of = OrOf(children);
    CHECK(Accepted(all_of) == want_and);
    CHECK(Accepted(any_of) == want_or);
    // An empty combination accepts nothing at all, not even in complement form.
    CHECK(!children.empty() || (all_of.AcceptsNone() && any_of.AcceptsNone()));
  }
}

}  // namespace zanth
