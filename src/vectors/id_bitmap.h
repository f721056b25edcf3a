// A compact pre-test for membership in a filter's id set, shared by the scans.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "index/id_set.h"

namespace zanth {

// A bit per hash bucket of the filter's ids, small enough to stay in the core's cache, so most
// records whose id is not in the set are told apart without probing the hash table (which, for
// 100,000 ids, is a cache miss per record).
class IdBitmap {
 public:
  explicit IdBitmap(const IdHashSet& ids) {
    std::size_t bits = kMinBits;
    shift_ = 64 - kMinBitsLog2;
    while (bits < ids.size() * kBitsPerId && bits < kMaxBits) {
      bits <<= 1;
      --shift_;
    }
    words_.assign(bits / 64, 0);
    for (std::int64_t id : ids) {
      std::size_t bit = Bit(id);
      words_[bit / 64] |= std::uint64_t{1} << (bit % 64);
    }
  }
  // False: the id is certainly not in the set. True: it may be.
  bool MayContain(std::int64_t id) const {
    std::size_t bit = Bit(id);
    return (words_[bit / 64] >> (bit % 64)) & 1;
  }

 private:
  static constexpr unsigned kMinBitsLog2 = 12;
  static constexpr std::size_t kMinBits = std::size_t{1} << kMinBitsLog2;
  static constexpr std::size_t kMaxBits = std::size_t{1} << 23;  // 1 MiB
  static constexpr std::size_t kBitsPerId = 16;
  // Fibonacci hashing: one multiply, the top bits spread sequential and strided ids evenly.
  std::size_t Bit(std::int64_t id) const {
    return static_cast<std::size_t>((static_cast<std::uint64_t>(id) * 0x9e3779b97f4a7c15ULL) >>
                                    shift_);
  }
  unsigned shift_;
  std::vector<std::uint64_t> words_;
};

}  // namespace zanth
