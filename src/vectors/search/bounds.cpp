#include "vectors/search/bounds.h"

#include <algorithm>
#include <bit>
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

std::uint64_t SourceHash(const ScanBlock& b, std::size_t record_size) {
  const std::size_t step = PartRecords(record_size);
  std::uint64_t source = b.first / kSketchChunkRecords;
  for (std::size_t from = 0; from < b.records; from += step) {
    source = ChunkHash(b.data + from * record_size, std::min(step, b.records - from) * record_size,
                       source);
  }
  return KnownSource(source);
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

std::shared_ptr<const AcceptedBits> AcceptedBitsOf(const ShardSketch& sketch,
                                                   const Acceptance& accept,
                                                   std::size_t positions) {
  const std::uint64_t filter = accept.filter->identity();
  std::lock_guard<std::mutex> lock(sketch.filters_mu);
  auto& kept = sketch.filters;
  std::shared_ptr<const AcceptedBits> previous;
  for (auto it = kept.begin(); it != kept.end(); ++it) {
    if ((*it)->filter != filter) continue;
    previous = *it;
    kept.erase(it);
    break;
  }
  if (previous && previous->positions >= positions) {
    kept.push_back(previous);
    return previous;
  }
  auto bits = std::make_shared<AcceptedBits>();
  bits->filter = filter;
  bits->positions = positions;
  bits->words.assign((positions + 63) / 64, 0);
  std::size_t from = 0;
  if (previous) {
    // Ids below its end have not changed (a change drops every bitmap).
    std::copy(previous->words.begin(), previous->words.end(), bits->words.begin());
    from = previous->positions;
  }
  for (std::size_t i = from; i < positions; ++i) {
    if (accept.Accepts(sketch.ids[i])) bits->words[i / 64] |= std::uint64_t{1} << (i % 64);
  }
  if (kept.size() >= ShardSketch::kFilterBitmaps) kept.erase(kept.begin());
  kept.push_back(bits);
  return bits;
}

std::size_t AcceptedPositions(const Acceptance& accept, const ShardSketch& sketch,
                              std::size_t first, std::size_t count, std::size_t* positions,
                              const AcceptedBits* bits) {
  std::size_t live = 0;
  if (bits != nullptr && first + count <= bits->positions) {
    const std::size_t end = first + count;
    for (std::size_t at = first; at < end;) {
      // The bits of positions [at, min(end, next word)) in the low end of `word`.
      const std::size_t in_word = std::min<std::size_t>(64 - at % 64, end - at);
      std::uint64_t word = bits->words[at / 64] >> (at % 64);
      if (in_word < 64) word &= (std::uint64_t{1} << in_word) - 1;
      for (; word != 0; word &= word - 1) {
        positions[live++] = at - first + static_cast<std::size_t>(std::countr_zero(word));
      }
      at += in_word;
    }
    return live;
  }
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
