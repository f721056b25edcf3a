// A set of record ids with a complement flag: negated == true means "every id except `ids`".
// Negation therefore never enumerates ids; the set algebra of filter evaluation and the
// acceptance test of filtered search both work on this form.
//
// The ids are held sorted in key order, the order in which LMDB lists the 8 id bytes at the end
// of index records: a cursor scan over one index key yields them already sorted, and And, Or and
// And-Not become linear merges without hashing. Membership tests for a scan go through an
// IdMembership built from the sorted ids on first use.
#pragma once

#include <tsl/robin_set.h>

#include <cstddef>
#include <cstdint>
#include <atomic>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace zanth {

// The id key (little-endian id bytes) read as a big-endian number: ids compare as their keys do.
inline std::uint64_t KeyOrderOf(std::int64_t id) {
  return __builtin_bswap64(static_cast<std::uint64_t>(id));
}
inline std::int64_t IdOfKeyOrder(std::uint64_t key_order) {
  return static_cast<std::int64_t>(__builtin_bswap64(key_order));
}

// Ascending, distinct, in key order (values of KeyOrderOf).
using SortedIds = std::vector<std::uint64_t>;

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

// For callers that only need a throwaway lookup table (vector deletion).
using IdHashSet = tsl::robin_set<std::int64_t, IdHash>;

class IdMembership;

// Builds an IdMembership on first request. Safe when several scan threads ask at once (each
// may build one; the first stored wins and the others are dropped). A copied or moved-to holder
// starts empty: its owner's ids may differ from the source's.
class LazyMembership {
 public:
  LazyMembership() = default;
  ~LazyMembership();
  LazyMembership(const LazyMembership&) noexcept {}
  LazyMembership(LazyMembership&&) noexcept {}
  LazyMembership& operator=(const LazyMembership&) noexcept;
  LazyMembership& operator=(LazyMembership&&) noexcept;

  const IdMembership& Get(const SortedIds& ids) const;

 private:
  void Reset() noexcept;
  mutable std::atomic<IdMembership*> built_{nullptr};
};

// A number no other set of this process has had: copies get their own, so state derived from a
// set's ids (a search's bitmap of accepted records) can be keyed by it without comparing ids.
class SetIdentity {
 public:
  SetIdentity() : value_(Next()) {}
  SetIdentity(const SetIdentity&) : value_(Next()) {}
  SetIdentity(SetIdentity&&) noexcept : value_(Next()) {}
  SetIdentity& operator=(const SetIdentity&) {
    value_ = Next();
    return *this;
  }
  SetIdentity& operator=(SetIdentity&&) noexcept {
    value_ = Next();
    return *this;
  }
  std::uint64_t value() const { return value_; }

 private:
  static std::uint64_t Next();
  std::uint64_t value_;
};

// How an id set differs from the set the same tree gave over earlier shard snapshots: the ids
// that exactly one of the two holds (both have the same `negated`), so a record's acceptance
// differs between them exactly when its id is one of these. State derived from the earlier set
// (a search's bitmap of accepted records) is brought up to date by testing just these ids.
struct IdSetChange {
  std::shared_ptr<const std::string> earlier;  // the earlier set's fingerprint
  SortedIds changed;
};

struct IdSet {
  SortedIds ids;
  bool negated = false;

  IdSet() = default;
  IdSet(SortedIds sorted, bool is_negated) : ids(std::move(sorted)), negated(is_negated) {}
  // From ids in any order, repeats allowed.
  static IdSet FromIds(std::vector<std::int64_t> ids, bool negated);

  // What the content is a function of, or null (filter_eval.h: the evaluating handle's cache,
  // the shard snapshots read and the tree): sets with equal fingerprints hold equal ids and
  // flag, so state derived from one (a search's acceptance bitmaps) serves the other. Set only
  // on a finished set; whoever changes `ids` or `negated` afterwards must clear it (and
  // `since`).
  std::shared_ptr<const std::string> fingerprint;
  // Set beside a fingerprint when the filter cache held the tree's set of earlier snapshots and
  // the two differ in few ids; null otherwise.
  std::shared_ptr<const IdSetChange> since;

  std::size_t size() const { return ids.size(); }
  bool Contains(std::int64_t id) const;
  bool Accepts(std::int64_t id) const { return Contains(id) != negated; }
  // Accepts every id: no per-record test is needed.
  bool AcceptsAll() const { return negated && ids.empty(); }
  // Accepts no id: a search can skip the scan.
  bool AcceptsNone() const { return !negated && ids.empty(); }

  // The lookup structure of `ids`, built on the first call (thread-safe). `ids` must not change
  // afterwards.
  const IdMembership& Membership() const { return membership_.Get(ids); }
  // This set's identity; `ids` and `negated` must not change once a search used the set.
  std::uint64_t identity() const { return identity_.value(); }

 private:
  LazyMembership membership_;
  SetIdentity identity_;
};

}  // namespace zanth
