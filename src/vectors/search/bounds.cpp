#include "vectors/search/bounds.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <functional>

#include <xmmintrin.h>

#include "vectors/kernels/bound_kernels.h"

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

static_assert(AcceptedBits::kSegmentPositions % kSketchChunkRecords == 0 &&
              AcceptedBits::kSegmentPositions % kBlockCapacity == 0);

std::size_t CountAccepted(const AcceptedBits& bits) {
  std::size_t accepted = 0;
  for (std::uint64_t word : bits.words) accepted += static_cast<std::size_t>(std::popcount(word));
  return accepted;
}

// Whether `bits` (a filter's, `kept` the sketch's other filters) should have a gathered copy.
// One filter's copy holds at most kCompactShare of the positions, and the copies of one
// sketch's filters together never hold more records than the sketch: filters at most double
// its memory (and add positions / 8 bytes each). A copy is made only when the filter is
// searched with again (`repeated`): mapping and filling it costs more than the one search it
// would speed, so a filter used once pays only for its bits.
bool ShouldGather(const std::vector<std::shared_ptr<const AcceptedBits>>& kept,
                  const AcceptedBits& bits, bool repeated) {
  const std::size_t accepted = bits.accepted;
  if (!repeated || accepted == 0) return false;
  const double share = static_cast<double>(accepted) / static_cast<double>(bits.positions);
  if (share > AcceptedBits::kCompactShare) return false;
  std::size_t gathered = accepted;
  for (const auto& other : kept) gathered += other->compact() ? other->accepted : 0;
  return gathered <= bits.positions;
}

// Bytes of copies one search gathers per shard (at least one segment): a tenth of what it reads
// of the shard's sketch, so each of the searches that make a copy pays a few tenths of a bound
// pass for it (writing a byte to fresh pages costs more than reading one).
std::size_t GatherBytesPerSearch(const ShardSketch& sketch, std::size_t positions) {
  constexpr std::size_t kShareDivisor = 10;
  return positions * (sketch.dim + sizeof(RecordSketchMeta)) / kShareDivisor;
}

// Gathers the accepted records' codes and meta, a bound pass then streams them instead of
// picking scattered lines out of the sketch (or reading every line of a chunk when half of it
// is accepted): the segments after those `previous` (the bits these follow, or null) had full
// below position `unchanged_below` (where both have the same bits), which are shared, until
// GatherBytesPerSearch are copied.
void GatherAccepted(const ShardSketch& sketch, const AcceptedBits* previous,
                    std::size_t unchanged_below, AcceptedBits* bits) {
  const std::size_t dim = sketch.dim;
  const std::size_t segments =
      (bits->positions + AcceptedBits::kSegmentPositions - 1) / AcceptedBits::kSegmentPositions;
  std::size_t kept = 0;
  if (previous != nullptr && previous->compact()) {
    kept = std::min(previous->segments.size(),
                    std::min(previous->positions, unchanged_below) /
                        AcceptedBits::kSegmentPositions);
    bits->segments.assign(previous->segments.begin(), previous->segments.begin() + kept);
    bits->rank.assign(previous->rank.begin(),
                      previous->rank.begin() + kept * AcceptedBits::kWordsPerSegment);
  }
  bits->rank.resize(bits->words.size());
  // The store the shared segments end in goes on being filled while it has room; otherwise one
  // store is reserved for every accepted record from the first segment gathered here on.
  std::shared_ptr<AcceptedBits::GatherStore> store =
      kept != 0 ? bits->segments.back()->store : nullptr;
  const std::size_t budget = GatherBytesPerSearch(sketch, bits->positions);
  std::size_t copied = 0;
  for (std::size_t s = kept; s < segments && copied < budget; ++s) {
    const std::size_t first_word = s * AcceptedBits::kWordsPerSegment;
    const std::size_t end_word =
        std::min(bits->words.size(), first_word + AcceptedBits::kWordsPerSegment);
    std::size_t in_segment = 0;
    for (std::size_t w = first_word; w < end_word; ++w) {
      in_segment += static_cast<std::size_t>(std::popcount(bits->words[w]));
    }
    if (store == nullptr || store->used + in_segment > store->capacity) {
      store = std::make_shared<AcceptedBits::GatherStore>();
      for (std::size_t w = first_word; w < bits->words.size(); ++w) {
        store->capacity += static_cast<std::size_t>(std::popcount(bits->words[w]));
      }
      store->codes = PageArray<std::int8_t>(store->capacity * dim);
      store->meta = PageArray<RecordSketchMeta>(store->capacity);
      if (store->capacity != 0 && (!store->codes || !store->meta)) {
        // Out of memory: the filter goes without a copy.
        bits->segments.clear();
        bits->rank.clear();
        return;
      }
    }
    auto gathered = std::make_shared<AcceptedBits::Gathered>();
    gathered->store = store;
    gathered->codes = store->codes.get() + store->used * dim;
    gathered->meta = store->meta.get() + store->used;
    gathered->bytes = in_segment * (dim + sizeof(RecordSketchMeta));
    store->used += in_segment;
    std::int8_t* codes = const_cast<std::int8_t*>(gathered->codes);
    RecordSketchMeta* meta = const_cast<RecordSketchMeta*>(gathered->meta);
    std::size_t at = 0;
    for (std::size_t w = first_word; w < end_word; ++w) {
      bits->rank[w] = static_cast<std::uint32_t>(at);
      // A run of accepted positions at a time.
      for (std::uint64_t word = bits->words[w]; word != 0;) {
        const int start = std::countr_zero(word);
        const int run = std::countr_one(word >> start);
        const std::size_t position = w * 64 + static_cast<std::size_t>(start);
        const std::size_t n = static_cast<std::size_t>(run);
        std::memcpy(codes + at * dim, sketch.codes.get() + position * dim, n * dim);
        std::memcpy(meta + at, sketch.meta.get() + position, n * sizeof(RecordSketchMeta));
        at += n;
        word = run + start >= 64 ? 0 : word & (~std::uint64_t{0} << (start + run));
      }
    }
    copied += gathered->bytes;
    bits->segments.push_back(std::move(gathered));
  }
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

namespace {

// Sets the bits of positions [from, to) whose record `accept` accepts. Positions fewer than a
// kIdsPerSearch-th of the set's ids are looked up in its sorted ids: a binary search costs a few
// of the inserts that building the set's lookup table would take, so that table is not built
// for them.
void MarkAccepted(const ShardSketch& sketch, const Acceptance& accept, std::size_t from,
                  std::size_t to, AcceptedBits* bits) {
  constexpr std::size_t kIdsPerSearch = 32;
  const IdSet& filter = *accept.filter;
  const bool search = (to - from) * kIdsPerSearch < filter.size();
  for (std::size_t i = from; i < to; ++i) {
    const std::int64_t id = sketch.ids[i];
    const bool accepted =
        !search ? accept.Accepts(id)
                : id != kTombstoneId && std::binary_search(filter.ids.begin(), filter.ids.end(),
                                                           KeyOrderOf(id)) != filter.negated;
    if (accepted) bits->words[i / 64] |= std::uint64_t{1} << (i % 64);
  }
}

}  // namespace

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
  // Else the bits of the set this one follows (the same tree over earlier snapshots): they
  // give way to these. They may cover more positions than this search may use (a block that
  // grew is sketched again); only those it may use are taken.
  std::shared_ptr<const AcceptedBits> base;
  for (auto it = kept.begin(); !previous && filter.since && it != kept.end(); ++it) {
    if (!(*it)->HasFingerprint(filter.since->earlier)) continue;
    base = *it;
    kept.erase(it);
    break;
  }
  if (kept.size() >= ShardSketch::kFilterBitmaps) kept.erase(kept.begin());
  // A copy under way goes on; otherwise bits that cover the snapshot serve as they are, unless
  // the filter, searched with again, should now have a copy.
  if (previous && previous->positions >= positions &&
      (previous->complete() || (!previous->compact() && !ShouldGather(kept, *previous, true)))) {
    kept.push_back(previous);
    return previous;
  }
  const bool repeated = previous != nullptr || base != nullptr;
  auto bits = std::make_shared<AcceptedBits>();
  bits->filter = filter.identity();
  bits->fingerprint = filter.fingerprint;
  std::size_t unchanged_below = previous ? previous->positions : 0;
  if (previous && previous->positions >= positions) {
    // Used again: only the copy is new, or grows.
    bits->positions = previous->positions;
    bits->words = previous->words;
    bits->accepted = previous->accepted;
    bits->tombstones_seen = previous->tombstones_seen;
  } else {
    bits->positions = positions;
    bits->words.assign((positions + 63) / 64, 0);
    bits->tombstones_seen = sketch.tombstone_changes;
    const AcceptedBits* from = previous ? previous.get() : base.get();
    // The positions below `taken` have the bits of `from`.
    const std::size_t taken = from != nullptr ? std::min(from->positions, positions) : 0;
    if (from != nullptr) {
      // Ids below its end have not changed, or died since (which keep their bits).
      const std::size_t words = (taken + 63) / 64;
      std::copy(from->words.begin(), from->words.begin() + static_cast<std::ptrdiff_t>(words),
                bits->words.begin());
      if (taken % 64 != 0) bits->words[words - 1] &= (std::uint64_t{1} << (taken % 64)) - 1;
      bits->tombstones_seen = from->tombstones_seen;
    }
    if (base) {
      // A live record's acceptance differs from the earlier set's exactly when its id is one
      // of the changed ones (both sets have the same `negated`).
      unchanged_below = taken;
      if (!filter.since->changed.empty()) {
        const IdMembership changed(filter.since->changed);
        for (std::size_t i = 0; i < taken; ++i) {
          const std::int64_t id = sketch.ids[i];
          if (id == kTombstoneId || !changed.Contains(id)) continue;
          bits->words[i / 64] ^= std::uint64_t{1} << (i % 64);
          unchanged_below = std::min(unchanged_below, i);
        }
      }
    }
    MarkAccepted(sketch, accept, taken, positions, bits.get());
    bits->accepted = CountAccepted(*bits);
  }
  if (ShouldGather(kept, *bits, repeated)) {
    GatherAccepted(sketch, previous ? previous.get() : base.get(), unchanged_below, bits.get());
  }
  kept.push_back(bits);
  return bits;
}

std::size_t AcceptedPositions(const Acceptance& accept, const ShardSketch& sketch,
                              std::size_t first, std::size_t count, std::size_t* positions,
                              const AcceptedBits* bits) {
  std::size_t live = 0;
  if (bits != nullptr && first + count <= bits->positions) {
    // Bits made before records died keep theirs: then each accepted position's id is read.
    const std::int64_t* dead = bits->tombstones_seen != sketch.tombstone_changes
                                   ? sketch.ids.get() : nullptr;
    const std::size_t end = first + count;
    for (std::size_t at = first; at < end;) {
      // The bits of positions [at, min(end, next word)) in the low end of `word`.
      const std::size_t in_word = std::min<std::size_t>(64 - at % 64, end - at);
      std::uint64_t word = bits->words[at / 64] >> (at % 64);
      if (in_word < 64) word &= (std::uint64_t{1} << in_word) - 1;
      for (; word != 0; word &= word - 1) {
        const std::size_t at_bit = at + static_cast<std::size_t>(std::countr_zero(word));
        if (dead != nullptr && dead[at_bit] == kTombstoneId) continue;
        positions[live++] = at_bit - first;
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

// Replaces each of the ascending ranks[0, n) among the accepted positions from `first` on by
// that position, less `first`.
void PositionsOfRanks(const AcceptedBits& bits, std::size_t first, std::size_t* ranks,
                      std::size_t n) {
  std::size_t at = first;  // the first position `word` holds
  std::uint64_t word = bits.words[at / 64] >> (at % 64);
  std::size_t seen = 0;  // accepted positions before `at`
  for (std::size_t i = 0; i < n; ++i) {
    std::size_t in_word;
    while (seen + (in_word = static_cast<std::size_t>(std::popcount(word))) <= ranks[i]) {
      seen += in_word;
      at = (at / 64 + 1) * 64;
      word = bits.words[at / 64];
    }
    std::uint64_t rest = word;
    for (std::size_t skip = ranks[i] - seen; skip != 0; --skip) rest &= rest - 1;
    ranks[i] = at + static_cast<std::size_t>(std::countr_zero(rest)) - first;
  }
}

// Where a chunk's bounded records are: the i-th is at chunk position positions[i] (i when null),
// its dot and meta at that position too; or, with `ranked`, its dot and meta are the i-th and
// its position is the i-th accepted one of that filter's bits from `first` on. `ids` are the
// chunk's ids. With `check`, the records were bounded whether the filter accepts them or not,
// and its bits (covering the chunk) tell. `accepted` counts the records the filter accepts.
struct ChunkPlaces {
  const std::size_t* positions;
  const AcceptedBits* ranked;
  std::size_t first;
  const std::int64_t* ids;
  const AcceptedBits* check;
  std::size_t accepted;
};

// Bounds of the `live` records of `places` (meta from `meta`, dots in scratch->dots); writes the
// chunk positions of those whose upper bound reaches the floor to `survivors` and returns how
// many.
std::size_t Survivors(const QuerySketch& qs, const RecordSketchMeta* meta,
                      const ChunkPlaces& places, std::size_t live, double shared_floor,
                      const TopK& best, QueryBound* bound, BoundScratch* scratch,
                      std::size_t* survivors) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  // Floors only rise: a record whose upper bound is below the floor now is out, and so is a
  // lower bound below it, which can never raise it. One pass keeps the few others.
  const double before = std::max({static_cast<double>(FloorOf(best)), shared_floor,
                                  bound->low.Floor()});
  const std::size_t* slots = places.positions;
  std::size_t kept = 0;
  if (slots == nullptr) {
    static const BoundKernel kernel = BestBoundKernel();
    kept = kernel(qs, meta, scratch->dots, live, before, scratch->kept, scratch->lows,
                  scratch->highs);
  }
  for (std::size_t i = 0; slots != nullptr && i < live; ++i) {
    const std::size_t slot = slots[i];
    double low, high;
    if (!ScoreBounds(qs, meta[slot], scratch->dots[slot], &low, &high)) {
      low = -kInf;
      high = kInf;
    }
    if (!(high < before)) {  // NaN keeps the record
      scratch->kept[kept] = i;
      scratch->lows[kept] = low;
      scratch->highs[kept++] = high;
    }
  }
  for (std::size_t c = 0; c < kept; ++c) {
    if (places.positions != nullptr) scratch->kept[c] = places.positions[scratch->kept[c]];
  }
  if (places.ranked != nullptr) PositionsOfRanks(*places.ranked, places.first, scratch->kept, kept);
  // A filter's bits keep the records that died since they were made (AcceptedBits): such a
  // record gives neither a bound nor a survivor, nor does one the filter rejects.
  std::size_t alive = 0;
  for (std::size_t c = 0; c < kept; ++c) {
    if (places.ids[scratch->kept[c]] == kTombstoneId) continue;
    if (places.check != nullptr && !places.check->Has(places.first + scratch->kept[c])) {
      continue;
    }
    scratch->kept[alive] = scratch->kept[c];
    scratch->lows[alive] = scratch->lows[c];
    scratch->highs[alive++] = scratch->highs[c];
  }
  for (std::size_t c = 0; c < alive; ++c) {
    if (scratch->lows[c] > before) bound->low.Offer(scratch->lows[c]);
  }
  const double floor = std::max(before, bound->low.Floor());
  std::size_t n = 0;
  for (std::size_t c = 0; c < alive; ++c) {
    if (!(scratch->highs[c] < floor)) survivors[n++] = scratch->kept[c];
  }
  bound->bounded += places.accepted;
  bound->rescored += n;
  return n;
}

}  // namespace

std::size_t BoundChunk(const QuerySketch& qs, SketchKernel kernel, const ShardSketch& sketch,
                       std::size_t first, std::size_t count, const Acceptance& accept,
                       const AcceptedBits* bits, double shared_floor, const TopK& best,
                       QueryBound* bound, BoundScratch* scratch, std::size_t* survivors) {
  const std::int8_t* codes = sketch.codes.get() + first * qs.codes.size();
  const std::int64_t* ids = sketch.ids.get() + first;
  const RecordSketchMeta* meta = sketch.meta.get() + first;
  const std::size_t dim = qs.codes.size();
  const bool covered = bits != nullptr && first + count <= bits->positions;
  if (covered && bits->Streams(first, count)) {
    // The chunk's accepted records lie next to each other in the gathered copy; the few
    // survivors' positions are found from their ranks.
    const std::size_t live = bits->CountIn(first, count);
    kernel(qs.codes.data(), qs.wide.data(), dim, bits->CodesFrom(first, dim), live,
           scratch->dots);
    return Survivors(qs, bits->MetaFrom(first), {nullptr, bits, first, ids, nullptr, live}, live,
                     shared_floor, best, bound, scratch, survivors);
  }
  if (accept.filter == nullptr || covered) {
    // Without a filter, or with one accepting at least a quarter of the chunk, one pass over the
    // chunk's contiguous codes is cheapest: every record is bounded, and only the few that may
    // reach the floor are checked for tombstones and, with a filter, its bits.
    // A filter that accepts most of the sketch is not counted chunk by chunk.
    const bool broad = !covered || bits->accepted * 2 >= bits->positions;
    const std::size_t accepted = broad ? count : bits->Count(first, count);
    if (accepted * kDenseShareDenominator >= count * kDenseShareNumerator) {
      kernel(qs.codes.data(), qs.wide.data(), dim, codes, count, scratch->dots);
      return Survivors(qs, meta, {nullptr, nullptr, first, ids, covered ? bits : nullptr, accepted},
                       count, shared_floor, best, bound, scratch, survivors);
    }
  }
  std::size_t* positions = scratch->positions;
  const std::size_t live = AcceptedPositions(accept, sketch, first, count, positions, bits);
  if (live * kDenseShareDenominator >= count * kDenseShareNumerator) {
    // Nearly every record counts: one pass over the chunk's contiguous codes is cheapest.
    kernel(qs.codes.data(), qs.wide.data(), dim, codes, count, scratch->dots);
  } else {
    // Only the accepted records' lines are read, requested kPrefetchRecords ahead.
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
  // Every record of the chunk live: its positions are 0, 1, ...
  const std::size_t* slots = live == count ? nullptr : positions;
  return Survivors(qs, meta, {slots, nullptr, first, ids, nullptr, live}, live, shared_floor, best,
                   bound, scratch, survivors);
}

}  // namespace zanth
