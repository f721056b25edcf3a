#include "vectors/search/bounds.h"

#include <algorithm>
#include <bit>
#include <functional>

#include <xmmintrin.h>

namespace zanth {

namespace {

// After this many bounded records a query judges whether the bound pays.
constexpr std::size_t kJudgeAfterRecords = 2 * kBlockCapacity;
constexpr double kGiveUpShare = 0.5;
// Accepted records whose codes and meta are requested ahead of the one being bounded: scattered
// records defeat the hardware prefetcher, and each would otherwise wait for its lines in turn.
constexpr std::size_t kPrefetchRecords = 48;
// A chunk is bounded in one contiguous pass when at least this share of it is accepted.
constexpr std::size_t kDenseShareNumerator = 1;
constexpr std::size_t kDenseShareDenominator = 4;

void PrefetchRecord(const std::int8_t* codes, std::size_t dim, const RecordSketchMeta* meta) {
  for (std::size_t offset = 0; offset < dim; offset += kCacheLine) {
    _mm_prefetch(reinterpret_cast<const char*>(codes + offset), _MM_HINT_T0);
  }
  _mm_prefetch(reinterpret_cast<const char*>(meta), _MM_HINT_T0);
}

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

std::shared_ptr<const AcceptedBits> AcceptedBitsOf(const ShardSketch& sketch,
                                                   const Acceptance& accept,
                                                   std::size_t positions) {
  const IdSet& filter = *accept.filter;
  std::lock_guard<std::mutex> lock(sketch.filters_mu);
  auto& kept = sketch.filters;
  std::shared_ptr<const AcceptedBits> previous;
  for (auto it = kept.begin(); it != kept.end(); ++it) {
    if (!(*it)->IsOf(filter)) continue;
    previous = *it;
    kept.erase(it);
    break;
  }
  if (previous && previous->positions >= positions) {
    kept.push_back(previous);
    return previous;
  }
  auto bits = std::make_shared<AcceptedBits>();
  bits->filter = filter.identity();
  bits->fingerprint = filter.fingerprint;
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
  if (live * kDenseShareDenominator >= count * kDenseShareNumerator) {
    // Nearly every record counts: one pass over the chunk's contiguous codes is cheapest.
    kernel(qs.codes.data(), qs.wide.data(), dim, codes, count, scratch->dots);
  } else {
    // Only the accepted records' lines are read, requested kPrefetchRecords ahead.
    const RecordSketchMeta* meta = &sketch.meta[first];
    for (std::size_t i = 0; i < std::min(live, kPrefetchRecords); ++i) {
      PrefetchRecord(codes + positions[i] * dim, dim, meta + positions[i]);
    }
    for (std::size_t i = 0; i < live; ++i) {
      if (i + kPrefetchRecords < live) {
        const std::size_t ahead = positions[i + kPrefetchRecords];
        PrefetchRecord(codes + ahead * dim, dim, meta + ahead);
      }
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
