#include "vectors/search/bounds.h"

#include <algorithm>
#include <bit>
#include <cstring>
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

// Gathers the accepted records' codes and meta when few enough are accepted that the copy pays:
// a bound pass then streams them instead of picking scattered lines out of the sketch.
void GatherAccepted(const ShardSketch& sketch, AcceptedBits* bits) {
  std::size_t accepted = 0;
  for (std::uint64_t word : bits->words) accepted += static_cast<std::size_t>(std::popcount(word));
  if (accepted == 0 || accepted * AcceptedBits::kCompactShare > bits->positions) return;
  const std::size_t dim = sketch.dim;
  bits->rank.resize(bits->words.size() + 1);
  bits->codes.resize(accepted * dim);
  bits->meta.resize(accepted);
  std::size_t at = 0;
  for (std::size_t w = 0; w < bits->words.size(); ++w) {
    bits->rank[w] = static_cast<std::uint32_t>(at);
    for (std::uint64_t word = bits->words[w]; word != 0; word &= word - 1) {
      const std::size_t position = w * 64 + static_cast<std::size_t>(std::countr_zero(word));
      std::memcpy(bits->codes.data() + at * dim, sketch.codes.get() + position * dim, dim);
      bits->meta[at++] = sketch.meta[position];
    }
  }
  bits->rank.back() = static_cast<std::uint32_t>(at);
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
  GatherAccepted(sketch, bits.get());
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

namespace {

// Bounds of the `live` records whose dots (and meta, from `meta`) sit at slots[i] (i when
// `slots` is null); writes the chunk positions of those whose upper bound reaches the floor to
// `survivors` and returns how many.
std::size_t Survivors(const QuerySketch& qs, const RecordSketchMeta* meta,
                      const std::size_t* slots, const std::size_t* positions, std::size_t live,
                      double shared_floor, const TopK& best, QueryBound* bound,
                      BoundScratch* scratch, std::size_t* survivors) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  for (std::size_t i = 0; i < live; ++i) {
    const std::size_t slot = slots != nullptr ? slots[i] : i;
    double low;
    if (!ScoreBounds(qs, meta[slot], scratch->dots[slot], &low, &scratch->highs[slot])) {
      scratch->highs[slot] = kInf;
    } else {
      bound->low.Offer(low);
    }
  }
  const double floor = std::max({static_cast<double>(FloorOf(best)), shared_floor,
                                 bound->low.Floor()});
  std::size_t n = 0;
  for (std::size_t i = 0; i < live; ++i) {
    const std::size_t slot = slots != nullptr ? slots[i] : i;
    if (!(scratch->highs[slot] < floor)) survivors[n++] = positions[i];  // NaN keeps the record
  }
  bound->bounded += live;
  bound->rescored += n;
  return n;
}

}  // namespace

std::size_t BoundChunk(const QuerySketch& qs, SketchKernel kernel, const ShardSketch& sketch,
                       std::size_t first, std::size_t count, const std::size_t* positions,
                       std::size_t live, double shared_floor, const TopK& best, QueryBound* bound,
                       BoundScratch* scratch, std::size_t* survivors, const AcceptedBits* bits) {
  const std::int8_t* codes = sketch.codes.get() + first * qs.codes.size();
  const std::size_t dim = qs.codes.size();
  if (bits != nullptr && bits->compact() && first + count <= bits->positions) {
    // The chunk's accepted records lie next to each other in the gathered copy.
    const std::size_t at = bits->RankOf(first);
    kernel(qs.codes.data(), qs.wide.data(), dim, bits->codes.data() + at * dim, live,
           scratch->dots);
    return Survivors(qs, bits->meta.data() + at, nullptr, positions, live, shared_floor, best,
                     bound, scratch, survivors);
  }
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
  return Survivors(qs, sketch.meta.get() + first, positions, positions, live, shared_floor, best,
                   bound, scratch, survivors);
}

}  // namespace zanth
