// Pruning with sketches: floors every final hit reaches, each query's low floor and judgement
// of whether the bound pays, and one query's bound pass over a chunk of sketched records.
#pragma once

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "vectors/search/scan_engine.h"
#include "vectors/kernels/chunk_hash.h"
#include "vectors/kernels/sketch.h"
#include "vectors/search/sketch_cache.h"
#include "vectors/kernels/sketch_kernels.h"
#include "vectors/search/top_k.h"
#include "vectors/records/vector_block.h"

namespace zanth {

inline constexpr float kNoFloor = -std::numeric_limits<float>::infinity();

// A score every final hit reaches, once `best` holds k hits: its k-th best (a NaN there is
// beaten by any number).
inline float FloorOf(const TopK& best) {
  float threshold = best.Threshold();
  return std::isnan(threshold) ? kNoFloor : threshold;
}

// Raises a floor shared by tasks (the final k-th best score is at least the highest of theirs).
inline void RaiseFloor(std::atomic<double>& shared, double floor) {
  double seen = shared.load(std::memory_order_relaxed);
  while (floor > seen && !shared.compare_exchange_weak(seen, floor, std::memory_order_relaxed)) {
  }
}

// Sketches every record of `b` into `sketch`.
void SketchBlock(const ScanBlock& b, std::size_t dim, SketchBuilder builder, ShardSketch* sketch);

// Bytes of records sketched and then scored at a time: they stay in the core's cache between
// the two, so a block being sketched is read from memory once.
inline constexpr std::size_t kSketchChunkBytes = 64 * 1024;

inline std::size_t PartRecords(std::size_t record_size) {
  return std::max<std::size_t>(1, kSketchChunkBytes / record_size);
}

// Whether block `b` starts a chunk of sketch positions and ends within it: a source hash
// (ShardSketch::sources) describes the record bytes of such a block, and *chunk is its chunk.
inline bool SourceChunk(const ScanBlock& b, std::size_t* chunk) {
  *chunk = b.first / kSketchChunkRecords;
  return b.records != 0 && b.first % kSketchChunkRecords == 0 && b.records <= kSketchChunkRecords;
}
// Never 0, which stands for "not known".
inline std::uint64_t KnownSource(std::uint64_t h) { return h != 0 ? h : 1; }

// The hash of block `b`'s record bytes (ids and values), taken a PartRecords part at a time
// as SketchAndScore takes it, seeded with the chunk's number.
std::uint64_t SourceHash(const ScanBlock& b, std::size_t record_size);

// Sketches block `b` into `sketch` a cache-sized part at a time, calling score(part) after
// each part (a ScanBlock of those records) while its bytes are still in cache, and notes the
// block's source hash.
template <typename ScoreFn>
void SketchAndScore(const ScanBlock& b, std::size_t dim, SketchBuilder builder,
                    ShardSketch* sketch, ScoreFn&& score) {
  const std::size_t record_size = static_cast<std::size_t>(RecordSize(dim));
  const std::size_t step = PartRecords(record_size);
  std::size_t chunk;
  const bool whole = SourceChunk(b, &chunk) && chunk < sketch->sources.size();
  std::uint64_t source = chunk;
  for (std::size_t from = 0; from < b.records; from += step) {
    const ScanBlock part{b.data + from * record_size, std::min(step, b.records - from), b.shard,
                         b.first + from};
    SketchBlock(part, dim, builder, sketch);
    if (whole) source = ChunkHash(part.data, part.records * record_size, source);
    score(part);
  }
  if (whole) sketch->sources[chunk] = KnownSource(source);
}

// The k-th best lower bound among the accepted live records offered: every such record scores
// at least its bound, so the final k-th best score reaches this too.
class LowFloor {
 public:
  explicit LowFloor(std::uint64_t k) : k_(k) {}
  void Offer(double low);
  double Floor() const {
    return bounds_.size() < k_ ? -std::numeric_limits<double>::infinity() : bounds_.front();
  }

 private:
  std::uint64_t k_;
  std::vector<double> bounds_;  // a min-heap of at most k
};

// One query's pruning within one task: its low floor, and whether the bound still pays.
struct QueryBound {
  LowFloor low;
  std::size_t bounded = 0;   // records whose bound was tested
  std::size_t rescored = 0;  // of them, scored exactly
  bool gave_up = false;      // the data defeats the bound: score the rest exactly
  explicit QueryBound(std::uint64_t k) : low(k) {}
  // Called after each block: once enough records were bounded, gives up when more than half of
  // them had to be scored anyway (near-equal scores), so such data costs little over a scan.
  void Judge();
};

// The bitmap of the positions below `positions` of `sketch` that `accept` (with a filter)
// accepts: kept in the sketch for the filter's next searches, extended when more records were
// sketched since, built by a membership test per record the first time, or from the bits of the
// set it follows (IdSet::since) with those of the changed ids flipped. Costs positions / 8
// bytes, and where at most half of the positions is accepted and the copies of the sketch's
// other kept filters leave room, a copy of their codes and meta (dim + 12 bytes each): all the
// copies of one sketch together hold at most as many records as it does.
std::shared_ptr<const AcceptedBits> AcceptedBitsOf(const ShardSketch& sketch,
                                                   const Acceptance& accept,
                                                   std::size_t positions);

// Positions j < count of the chunk [first, first + count) of `sketch` whose record is live and
// accepted, into `positions`; returns how many. `bits` (nullptr, or covering the chunk) gives
// acceptance a word of 64 records at a time, so the cost falls with the filter's share.
std::size_t AcceptedPositions(const Acceptance& accept, const ShardSketch& sketch,
                              std::size_t first, std::size_t count, std::size_t* positions,
                              const AcceptedBits* bits = nullptr);

// Per-task scratch of BoundChunk.
struct BoundScratch {
  std::size_t positions[kBlockCapacity];
  std::int32_t dots[kBlockCapacity];
  // The records that may reach the floor: their index among those bounded, and bounds.
  std::size_t kept[kBlockCapacity];
  double lows[kBlockCapacity];
  double highs[kBlockCapacity];
};

// One query's bound pass over the records of the chunk [first, first + count) of `sketch` that
// `accept` accepts (`bits`, when not null, being its bits of the sketch): writes to `survivors`
// the chunk positions whose upper bound reaches the floor (the highest of `shared_floor`,
// `best`'s and the query's low floor, which the chunk's lower bounds raise) and returns how
// many. Those must be scored exactly; the rest cannot make the final top k. Streams the
// accepted records' gathered copy where `bits` has one for the chunk (AcceptedBits::Streams);
// otherwise reads the codes of the whole chunk in one pass when at least a quarter of it is
// accepted (and then checks only the few records that may reach the floor for tombstones and
// acceptance), or else only the accepted records' codes and meta, requested ahead of their use.
std::size_t BoundChunk(const QuerySketch& qs, SketchKernel kernel, const ShardSketch& sketch,
                       std::size_t first, std::size_t count, const Acceptance& accept,
                       const AcceptedBits* bits, double shared_floor, const TopK& best,
                       QueryBound* bound, BoundScratch* scratch, std::size_t* survivors);

}  // namespace zanth
