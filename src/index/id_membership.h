// Membership of ids in a fixed set, for the per-record test of a filtered scan (one test per
// vector record, so it must cost a few nanoseconds and rarely miss the cache).
//   Dense sets (ids within a span of at most kDenseBitsPerId bits per id, plus a cache-sized
//   allowance): one bit per id of the span, offset by the smallest id.
//   Other sets: an open-addressing table of twice the ids, screened by a small bitmap so that
//   most ids outside the set are told apart without touching the table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "index/id_set.h"

namespace zanth {

class IdMembership {
 public:
  explicit IdMembership(const SortedIds& ids);
  // The bytes a lookup table of `ids` holds, without building it.
  static std::uint64_t BytesFor(const SortedIds& ids);

  bool Contains(std::int64_t id) const {
    if (dense_) {
      std::uint64_t offset = static_cast<std::uint64_t>(id) - base_;
      return offset < span_ && ((bits_[offset >> 6] >> (offset & 63)) & 1);
    }
    return SparseContains(id);
  }

  bool dense() const { return dense_; }

 private:
  static constexpr std::uint64_t kDenseBitsPerId = 32;
  static constexpr std::uint64_t kDenseAllowanceBits = std::uint64_t{1} << 23;  // 1 MiB
  static constexpr std::uint64_t kScreenBitsPerId = 8;
  static constexpr unsigned kMaxScreenBitsLog2 = 23;  // 1 MiB
  // The empty slot; the id of the same value is kept apart in has_empty_value_.
  static constexpr std::int64_t kEmptySlot = INT64_MIN;

  // Fibonacci hashing: one multiply; the top bits spread sequential and strided ids evenly.
  static std::uint64_t Mix(std::int64_t id) {
    return static_cast<std::uint64_t>(id) * 0x9e3779b97f4a7c15ULL;
  }

  bool SparseContains(std::int64_t id) const {
    std::uint64_t h = Mix(id);
    std::uint64_t bit = h >> screen_shift_;
    if (!((bits_[bit >> 6] >> (bit & 63)) & 1)) return false;
    if (id == kEmptySlot) return has_empty_value_;
    for (std::size_t slot = h >> table_shift_;; slot = (slot + 1) & table_mask_) {
      std::int64_t held = table_[slot];
      if (held == id) return true;
      if (held == kEmptySlot) return false;
    }
  }

  // Dense when the span of the ids (highest - lowest, through *span_minus_one) is small enough.
  static bool ChooseDense(const SortedIds& ids, std::int64_t* lowest,
                          std::uint64_t* span_minus_one);
  static unsigned ScreenLog(std::size_t n);
  static unsigned TableLog(std::size_t n);
  void BuildDense(const SortedIds& ids, std::int64_t lowest);
  void BuildSparse(const SortedIds& ids);

  bool dense_ = false;
  std::uint64_t base_ = 0;  // dense: the smallest id
  std::uint64_t span_ = 0;  // dense: ids base_ .. base_ + span_ - 1 have a bit
  std::vector<std::uint64_t> bits_;  // dense: the ids; sparse: the screen
  unsigned screen_shift_ = 0;
  unsigned table_shift_ = 0;
  std::size_t table_mask_ = 0;
  std::vector<std::int64_t> table_;
  bool has_empty_value_ = false;
};

}  // namespace zanth
