#include "index/id_membership.h"

#include <algorithm>

namespace zanth {

namespace {

unsigned Log2Ceil(std::uint64_t n) {
  unsigned log = 0;
  while ((std::uint64_t{1} << log) < n) ++log;
  return log;
}

}  // namespace

bool IdMembership::ChooseDense(const SortedIds& ids, std::int64_t* lowest,
                               std::uint64_t* span_minus_one) {
  std::int64_t low = INT64_MAX;
  std::int64_t high = INT64_MIN;
  for (std::uint64_t key : ids) {
    std::int64_t id = IdOfKeyOrder(key);
    low = std::min(low, id);
    high = std::max(high, id);
  }
  // Unsigned difference: exact even when the ids straddle zero or span the whole range.
  *lowest = low;
  *span_minus_one = static_cast<std::uint64_t>(high) - static_cast<std::uint64_t>(low);
  return *span_minus_one < ids.size() * kDenseBitsPerId + kDenseAllowanceBits;
}

unsigned IdMembership::ScreenLog(std::size_t n) {
  return std::max(std::min(Log2Ceil(n * kScreenBitsPerId), kMaxScreenBitsLog2), 6u);
}

unsigned IdMembership::TableLog(std::size_t n) { return std::max(Log2Ceil(n * 2), 1u); }

std::uint64_t IdMembership::BytesFor(const SortedIds& ids) {
  if (ids.empty()) return 0;
  std::int64_t lowest;
  std::uint64_t span_minus_one;
  if (ChooseDense(ids, &lowest, &span_minus_one)) return (span_minus_one / 64 + 1) * 8;
  return (std::uint64_t{1} << ScreenLog(ids.size())) / 8 +
         (std::uint64_t{1} << TableLog(ids.size())) * sizeof(std::int64_t);
}

IdMembership::IdMembership(const SortedIds& ids) {
  if (ids.empty()) {
    // Nothing is in the set: a dense map of span 0 answers false for every id.
    dense_ = true;
    return;
  }
  std::int64_t lowest;
  std::uint64_t span_minus_one;
  if (ChooseDense(ids, &lowest, &span_minus_one)) {
    span_ = span_minus_one + 1;
    BuildDense(ids, lowest);
  } else {
    BuildSparse(ids);
  }
}

void IdMembership::BuildDense(const SortedIds& ids, std::int64_t lowest) {
  dense_ = true;
  base_ = static_cast<std::uint64_t>(lowest);
  bits_.assign((span_ + 63) / 64, 0);
  for (std::uint64_t key : ids) {
    std::uint64_t offset = static_cast<std::uint64_t>(IdOfKeyOrder(key)) - base_;
    bits_[offset >> 6] |= std::uint64_t{1} << (offset & 63);
  }
}

void IdMembership::BuildSparse(const SortedIds& ids) {
  const unsigned screen_log = ScreenLog(ids.size());
  screen_shift_ = 64 - screen_log;
  bits_.assign((std::size_t{1} << screen_log) / 64, 0);

  const unsigned table_log = TableLog(ids.size());
  table_shift_ = 64 - table_log;
  table_mask_ = (std::size_t{1} << table_log) - 1;
  table_.assign(std::size_t{1} << table_log, kEmptySlot);
  for (std::uint64_t key : ids) {
    std::int64_t id = IdOfKeyOrder(key);
    std::uint64_t h = Mix(id);
    std::uint64_t bit = h >> screen_shift_;
    bits_[bit >> 6] |= std::uint64_t{1} << (bit & 63);
    if (id == kEmptySlot) {
      has_empty_value_ = true;
      continue;
    }
    std::size_t slot = h >> table_shift_;
    while (table_[slot] != kEmptySlot) slot = (slot + 1) & table_mask_;
    table_[slot] = id;
  }
}

}  // namespace zanth
