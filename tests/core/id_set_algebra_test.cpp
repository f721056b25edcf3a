// The complement-flag algebra against a model over a small universe, where complements can be
// enumerated.
#include <algorithm>
#include <random>
#include <set>
#include <vector>

#include "core_test.h"
#include "index/id_set_algebra.h"

namespace zanth {

namespace {

constexpr std::int64_t kUniverse = 40;

IdSet RandomIdSet(std::mt19937_64& rng) {
  bool negated = rng() % 2 == 0;
  std::vector<std::int64_t> ids(rng() % 12);
  for (std::int64_t& id : ids) id = static_cast<std::int64_t>(rng() % kUniverse) - 5;
  return IdSet::FromIds(ids, negated);
}

std::set<std::int64_t> AsSet(const SortedIds& ids) {
  std::set<std::int64_t> out;
  for (std::uint64_t key : ids) out.insert(IdOfKeyOrder(key));
  return out;
}

// The ids of the universe (and of `ids`, which may lie outside it) that `s` accepts.
std::set<std::int64_t> Accepted(const IdSet& s) {
  std::set<std::int64_t> out;
  for (std::int64_t id = -10; id < kUniverse; ++id) {
    if (s.Accepts(id)) out.insert(id);
  }
  return out;
}

}  // namespace

// Sizes from empty to lopsided (the galloping path) to similar (the merges); ids drawn from
// both ends of the range so key order and numeric order disagree.
TEST_CASE(sorted_set_operations_and_membership_match_std_set) {
  std::mt19937_64 rng(7);
  const std::size_t sizes[] = {0, 1, 3, 40, 300, 5000};
  for (int round = 0; round < 300; ++round) {
    std::size_t na = sizes[rng() % 6], nb = sizes[rng() % 6];
    std::uint64_t spread = round % 3 == 0 ? UINT64_MAX : 4 * (na + nb) + 1;
    auto draw = [&](std::size_t n) {
      std::vector<std::int64_t> v(n);
      for (std::int64_t& id : v) id = static_cast<std::int64_t>(rng() % spread - spread / 2);
      return v;
    };
    IdSet a = IdSet::FromIds(draw(na), false), b = IdSet::FromIds(draw(nb), false);
    std::set<std::int64_t> ra = AsSet(a.ids), rb = AsSet(b.ids);
    CHECK(std::is_sorted(a.ids.begin(), a.ids.end()) && ra.size() == a.ids.size());
    std::set<std::int64_t> inter, diff, uni;
    std::set_intersection(ra.begin(), ra.end(), rb.begin(), rb.end(), std::inserter(inter, inter.end()));
    std::set_difference(ra.begin(), ra.end(), rb.begin(), rb.end(), std::inserter(diff, diff.end()));
    std::set_union(ra.begin(), ra.end(), rb.begin(), rb.end(), std::inserter(uni, uni.end()));
    CHECK(AsSet(Intersect(a.ids, b.ids)) == inter && Intersect(a.ids, b.ids).size() == inter.size());
    CHECK(AsSet(Subtract(a.ids, b.ids)) == diff && Subtract(a.ids, b.ids).size() == diff.size());
    CHECK(AsSet(Unite(a.ids, b.ids)) == uni && Unite(a.ids, b.ids).size() == uni.size());
    CHECK(UniteAll({a.ids, b.ids, a.ids}) == Unite(a.ids, b.ids));
    // Membership (dense bitmap or hashed table, by spread) for members, neighbours and extremes.
    for (std::int64_t id : draw(50)) CHECK(a.Contains(id) == ra.contains(id));
    for (std::int64_t id : ra) {
      CHECK(a.Contains(id));
      if (id != INT64_MAX) CHECK(a.Contains(id + 1) == ra.contains(id + 1));
    }
    for (std::int64_t id : {INT64_MIN, INT64_MAX, std::int64_t{0}}) CHECK(a.Contains(id) == ra.contains(id));
  }
  IdSet extremes = IdSet::FromIds({INT64_MIN, INT64_MAX, -1, 0}, false);
  for (std::int64_t id : {INT64_MIN, INT64_MAX, std::int64_t{-1}, std::int64_t{0}}) CHECK(extremes.Contains(id));
  CHECK(!extremes.Contains(1) && !extremes.Contains(INT64_MIN + 1));
}

TEST_CASE(and_or_match_the_accepted_id_model) {
  std::mt19937_64 rng(11);
  for (int round = 0; round < 2000; ++round) {
    std::vector<IdSet> children(rng() % 5);
    for (IdSet& c : children) c = RandomIdSet(rng);
    std::vector<std::set<std::int64_t>> accepted;
    for (const IdSet& c : children) accepted.push_back(Accepted(c));

    std::set<std::int64_t> all;
    for (std::int64_t id = -10; id < kUniverse; ++id) all.insert(id);
    std::set<std::int64_t> want_and = children.empty() ? std::set<std::int64_t>{} : all;
    std::set<std::int64_t> want_or;
    for (const auto& a : accepted) {
      std::set<std::int64_t> next;
      std::set_intersection(want_and.begin(), want_and.end(), a.begin(), a.end(),
                            std::inserter(next, next.end()));
      want_and = next;
      want_or.insert(a.begin(), a.end());
    }
    CHECK(Accepted(AndOf(children)) == want_and);
    CHECK(Accepted(OrOf(children)) == want_or);
  }
}

}  // namespace zanth
