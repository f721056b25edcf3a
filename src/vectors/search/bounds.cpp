#include "vectors/search/bounds.h"

#include <algorithm>
#include <functional>

namespace zanth {

namespace {

// After this many bounded records a query judges whether the bound pays.
constexpr std::size_t kJudgeAfterRecords = 2 * kBlockCapacity;
constexpr double kGiveUpShare = 0.5;

}  // namespace

void SketchBlock(const ScanBlock& b, std::size_t dim, SketchBuilder builder,
                 ShardSketch* sketch) {
  const std::size_t record_size = static_cast<std::size_t>(RecordSize(dim));
  for (std::size_t j = 0; j < b.records; ++j) {
    const char* record = b.data + j * record_size;
    const std::size_t index = b.first + j;
    sketch->ids[index] = DecodeId(record);
    builder(record + kRecordIdSize, dim, sketch->codes.get() + index * dim, &sketch->meta[index]);
  }
}

void LowFloor::Offer(double low) {
  if (bounds_.size() < k_) {
    bounds_.push_back(low);
    std::push_heap(bounds_.begin(), bounds_.end(), std::greater<>());
  } else if (low > bounds_.front()) {
    std::pop_heap(bounds_.begin(), bounds_.end(), std::greater<>());
    bounds_.back() = low;
    std::push_heap(bounds_.begin(), bounds_.end(), std::greater<>());
  }
}

void QueryBound::Judge() {
  if (bounded >= kJudgeAfterRecords &&
      static_cast<double>(rescored) > kGiveUpShare * static_cast<double>(bounded)) {
    gave_up = true;
  }
}

std::size_t AcceptedPositions(const Acceptance& accept, const ShardSketch& sketch,
                              std::size_t first, std::size_t count, std::size_t* positions) {
  std::size_t live = 0;
  for (std::size_t j = 0; j < count; ++j) {
    if (accept.Accepts(sketch.ids[first + j])) positions[live++] = j;
  }
  return live;
}

std::size_t BoundChunk(const QuerySketch& qs, SketchKernel kernel, const ShardSketch& sketch,
                       std::size_t first, std::size_t count, const std::size_t* positions,
                       std::size_t live, double shared_floor, const TopK& best, QueryBound* bound,
                       BoundScratch* scratch, std::size_t* survivors) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  const std::int8_t* codes = sketch.codes.get() + first * qs.codes.size();
  const std::size_t dim = qs.codes.size();
  if (2 * live >= count) {
    // Most records count: one pass over the chunk's contiguous codes is cheapest.
    kernel(qs.codes.data(), qs.wide.data(), dim, codes, count, scratch->dots);
  } else {
    for (std::size_t i = 0; i < live; ++i) {
      const std::size_t j = positions[i];
      kernel(qs.codes.data(), qs.wide.data(), dim, codes + j * dim, 1, scratch->dots + j);
    }
  }
  for (std::size_t i = 0; i < live; ++i) {
    const std::size_t j = positions[i];
    double low;
    if (!ScoreBounds(qs, sketch.meta[first + j], scratch->dots[j], &low, &scratch->highs[j])) {
      scratch->highs[j] = kInf;
    } else {
      bound->low.Offer(low);
    }
  }
  const double floor = std::max({static_cast<double>(FloorOf(best)), shared_floor,
                                 bound->low.Floor()});
  std::size_t n = 0;
  for (std::size_t i = 0; i < live; ++i) {
    const std::size_t j = positions[i];
    if (!(scratch->highs[j] < floor)) survivors[n++] = j;  // NaN keeps the record
  }
  bound->bounded += live;
  bound->rescored += n;
  return n;
}

}  // namespace zanth
