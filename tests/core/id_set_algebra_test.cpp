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
  IdSet s;
  s.negated = rng() % 2 == 0;
  int n = static_cast<int>(rng() % 12);
  for (int i = 0; i < n; ++i) s.ids.insert(static_cast<std::int64_t>(rng() % kUniverse) - 5);
  return s;
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

TEST_CASE(hash_set_operations_match_std_set) {
  std::mt19937_64 rng(7);
  for (int round = 0; round < 200; ++round) {
    IdHashSet a, b;
    std::set<std::int64_t> ra, rb;
    int na = static_cast<int>(rng() % 300), nb = static_cast<int>(rng() % 300);
    for (int i = 0; i < na; ++i) {
      std::int64_t v = static_cast<std::int64_t>(rng() % 500);
      a.insert(v);
      ra.insert(v);
    }
    for (int i = 0; i < nb; ++i) {
      std::int64_t v = static_cast<std::int64_t>(rng() % 500);
      b.insert(v);
      rb.insert(v);
    }
    std::set<std::int64_t> inter, diff, uni;
    std::set_intersection(ra.begin(), ra.end(), rb.begin(), rb.end(), std::inserter(inter, inter.end()));
    std::set_difference(ra.begin(), ra.end(), rb.begin(), rb.end(), std::inserter(diff, diff.end()));
    std::set_union(ra.begin(), ra.end(), rb.begin(), rb.end(), std::inserter(uni, uni.end()));

    IdHashSet i = Intersect(a, b);
    CHECK(std::set<std::int64_t>(i.begin(), i.end()) == inter);
    IdHashSet u = Unite(a, b);
    CHECK(std::set<std::int64_t>(u.begin(), u.end()) == uni);
    IdHashSet d = a;
    Subtract(d, b);
    CHECK(std::set<std::int64_t>(d.begin(), d.end()) == diff);
  }
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

TEST_CASE(single_child_keeps_its_ids_and_flag) {
  IdSet n;
  n.ids = {3, 4};
  n.negated = true;
  IdSet a = AndOf({n});
  IdSet o = OrOf({n});
  CHECK(a.negated && a.ids == n.ids);
  CHECK(o.negated && o.ids == n.ids);
  CHECK(AndOf({}).AcceptsNone() && OrOf({}).AcceptsNone());
}

TEST_CASE(or_with_complements_excludes_only_what_every_complement_excludes) {
  IdSet red{{1, 2}, false};
  IdSet not_xl{{2, 3}, true};  // every id but the xl ones (2, 3)
  IdSet r = OrOf({red, not_xl});
  CHECK(r.negated && r.ids == IdHashSet({3}));  // xl and not red
  IdSet not_a{{1, 2, 3}, true}, not_b{{2, 3, 4}, true};
  IdSet both = OrOf({not_a, not_b});
  CHECK(both.negated && both.ids == IdHashSet({2, 3}));
}

}  // namespace zanth
