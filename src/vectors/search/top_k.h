// The best hits of one query: the result order, a bounded heap and the final selection, shared
// by the single and the batch search so both rank hits identically.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace zanth {

struct ScoredHit {
  float score;
  std::int64_t id;
};

// The result order: higher scores first, NaN scores after every other score, and equal scores
// (0.0 and -0.0 are equal, as are all NaNs) by ascending id. Hits differ in order only when
// both score and id are equal, so every search keeps the same hits whatever order it met
// them in: when equal scores straddle position k, the lowest ids stay.
inline bool RanksBefore(const ScoredHit& a, const ScoredHit& b) {
  const bool a_nan = std::isnan(a.score), b_nan = std::isnan(b.score);
  if (a_nan != b_nan) return b_nan;
  if (!a_nan && a.score != b.score) return a.score > b.score;
  return a.id < b.id;
}

// The best `k` hits seen so far, as a heap whose front is the worst kept hit. Grows with the
// hits offered, never with k.
class TopK {
 public:
  explicit TopK(std::uint64_t k) : k_(k) {}

  void Offer(float score, std::int64_t id) {
    ScoredHit hit{score, id};
    if (hits_.size() < k_) {
      hits_.push_back(hit);
      std::push_heap(hits_.begin(), hits_.end(), RanksBefore);
      return;
    }
    if (!RanksBefore(hit, hits_.front())) return;
    std::pop_heap(hits_.begin(), hits_.end(), RanksBefore);
    hits_.back() = hit;
    std::push_heap(hits_.begin(), hits_.end(), RanksBefore);
  }

  // A score below this one can no longer enter, nor an equal one with a higher id than every
  // hit of that score (NaN: any score may). Scanners use it to skip offers of lower scores;
  // Offer alone decides.
  float Threshold() const {
    return hits_.size() < k_ ? std::numeric_limits<float>::quiet_NaN() : hits_.front().score;
  }

  std::vector<ScoredHit>& hits() { return hits_; }

 private:
  std::uint64_t k_;
  std::vector<ScoredHit> hits_;
};

// The best `k` of `all`, best first (the candidates of several TopK merged).
inline std::vector<ScoredHit> SelectBest(std::vector<ScoredHit> all, std::uint64_t k) {
  if (all.size() > k) {
    auto kth = all.begin() + static_cast<std::ptrdiff_t>(k);
    std::nth_element(all.begin(), kth, all.end(), RanksBefore);
    all.erase(kth, all.end());
  }
  std::sort(all.begin(), all.end(), RanksBefore);
  return all;
}

}  // namespace zanth
