// What the SIMD score kernels share: record addressing, prefetch distances, the driver loops
// that walk a pointer list in register-sized steps, and the padding of a short last step.
// Only the instruction-set files include this header; each compiles it with its own flags, so
// every template here is instantiated once per instruction set and inlined into that file's
// kernel. An instruction set is described by a small struct of static operations (`Isa` below).
//
// Single-query kernels want from `Isa`:
//   Vec, kLanes (records per register), kGroups (registers interleaved for short records),
//   kStreamGroups (the same for records long enough to be streamed),
//   NegZero(), Store(float*, Vec),
//   Columns(records, i, c): c[t] = dim i+t of kLanes records, t < kColumns;
//   ColumnsMasked(records, i, rest, c): the same for the last rest < kColumns dims, reading
//     nothing past a record;
//   AddProducts(acc, q, c, n): acc + q[t] * c[t] for t < n, one dimension after the other.
// Tile kernels (many queries) want:
//   Vec, kLanes (queries per register), NegZero(), Load(const float*), Store(float*, Vec),
//   AddProduct(acc, queries, const float* value): acc + queries * broadcast(*value),
//   Passing(scores, thresholds): a bit per lane whose score is not below its threshold
//     (a NaN on either side passes).
#pragma once

#include <xmmintrin.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "vectors/records/vector_block.h"

namespace zanth::scaffold {

constexpr std::size_t kFloatsPerLine = kCacheLine / sizeof(float);
// Dimensions transposed at once: eight rows of eight floats.
constexpr std::size_t kColumns = 8;
// Records too long for a whole step to sit in L1 are prefetched this far ahead of the loads
// instead of whole records ahead, which would evict the step being scored.
constexpr std::size_t kWholeRecordPrefetchLimit = 1024;
constexpr std::size_t kStreamAheadBytes = 512;

inline const float* Values(const char* record, std::size_t first_dim) {
  return reinterpret_cast<const float*>(record + kRecordIdSize + first_dim * sizeof(float));
}

inline void PrefetchRecords(const char* const* records, std::size_t count, std::size_t bytes) {
  for (std::size_t j = 0; j < count; ++j) {
    for (std::size_t offset = 0; offset < bytes; offset += kCacheLine) {
      _mm_prefetch(records[j] + offset, _MM_HINT_T0);
    }
  }
}

// Scores exactly Isa::kLanes * kGroups records; the groups run interleaved to hide the latency
// of each lane's dependent additions.
template <class Isa, std::size_t kGroups>
inline void ScoreStep(const float* q, std::size_t dim, const char* const* records, float* out,
                      bool stream_ahead) {
  using Vec = typename Isa::Vec;
  constexpr std::size_t kStep = Isa::kLanes * kGroups;
  Vec acc[kGroups];
  for (auto& a : acc) a = Isa::NegZero();
  std::size_t i = 0;
  for (; i + kColumns <= dim; i += kColumns) {
    if (stream_ahead && i % kFloatsPerLine == 0) {
      for (std::size_t j = 0; j < kStep; ++j) {
        _mm_prefetch(reinterpret_cast<const char*>(Values(records[j], i)) + kStreamAheadBytes,
                     _MM_HINT_T0);
      }
    }
    for (std::size_t g = 0; g < kGroups; ++g) {
      Vec c[kColumns];
      Isa::Columns(records + g * Isa::kLanes, i, c);
      acc[g] = Isa::AddProducts(acc[g], q + i, c, kColumns);
    }
  }
  if (i < dim) {
    std::size_t rest = dim - i;
    for (std::size_t g = 0; g < kGroups; ++g) {
      Vec c[kColumns];
      Isa::ColumnsMasked(records + g * Isa::kLanes, i, rest, c);
      acc[g] = Isa::AddProducts(acc[g], q + i, c, rest);
    }
  }
  for (std::size_t g = 0; g < kGroups; ++g) Isa::Store(out + g * Isa::kLanes, acc[g]);
}

template <class Isa, std::size_t kGroups>
inline std::size_t ScoreSteps(const float* query, std::size_t dim, const char* const* records,
                              std::size_t count, float* scores, bool stream_ahead) {
  constexpr std::size_t kStep = Isa::kLanes * kGroups;
  const std::size_t record_bytes = kRecordIdSize + dim * sizeof(float);
  std::size_t j = 0;
  for (; j + kStep <= count; j += kStep) {
    if (!stream_ahead && j + 2 * kStep <= count) {
      PrefetchRecords(records + j + kStep, kStep, record_bytes);
    }
    ScoreStep<Isa, kGroups>(query, dim, records + j, scores + j, stream_ahead);
  }
  return j;
}

// The single-query kernel of an instruction set.
template <class Isa>
inline void ScoreRecords(const float* query, std::size_t dim, const char* const* records,
                         std::size_t count, float* scores) {
  constexpr std::size_t kStep = Isa::kLanes * Isa::kGroups;
  const std::size_t record_bytes = kRecordIdSize + dim * sizeof(float);
  const bool stream_ahead = record_bytes > kWholeRecordPrefetchLimit;
  std::size_t j = stream_ahead
                      ? ScoreSteps<Isa, Isa::kStreamGroups>(query, dim, records, count, scores, true)
                      : ScoreSteps<Isa, Isa::kGroups>(query, dim, records, count, scores, false);
  if (j < count) {
    // Pad the last step with repeats of its first record; their scores are dropped.
    std::size_t n = count - j;
    const char* padded[kStep];
    float out[kStep];
    for (std::size_t t = 0; t < kStep; ++t) padded[t] = records[j + (t < n ? t : 0)];
    ScoreStep<Isa, Isa::kGroups>(query, dim, padded, out, stream_ahead);
    std::copy(out, out + n, scores + j);
  }
}

// The tile kernel of an instruction set: kRecords records against kQueryRegs * Isa::kLanes
// queries. `tile` holds the queries transposed, dim rows of one float per query, so one load
// gives a dimension of kLanes queries; each lane adds its own (query, record) products in
// dimension order. scores[r * width + lane]; passing[r] has bit `lane` set when that score
// passes thresholds[lane].
template <class Isa, std::size_t kQueryRegs, std::size_t kRecords>
inline void ScoreTile(const float* tile, std::size_t dim, const char* const* records,
                      const float* thresholds, float* scores, std::uint32_t* passing) {
  using Vec = typename Isa::Vec;
  constexpr std::size_t kWidth = kQueryRegs * Isa::kLanes;
  static_assert(kWidth <= 32, "a passing mask holds 32 lanes");
  Vec acc[kRecords][kQueryRegs];
  const float* values[kRecords];
  for (std::size_t r = 0; r < kRecords; ++r) {
    values[r] = Values(records[r], 0);
    for (auto& a : acc[r]) a = Isa::NegZero();
  }
  for (std::size_t i = 0; i < dim; ++i) {
    Vec q[kQueryRegs];
    for (std::size_t g = 0; g < kQueryRegs; ++g) q[g] = Isa::Load(tile + i * kWidth + g * Isa::kLanes);
    for (std::size_t r = 0; r < kRecords; ++r) {
      for (std::size_t g = 0; g < kQueryRegs; ++g) {
        acc[r][g] = Isa::AddProduct(acc[r][g], q[g], values[r] + i);
      }
    }
  }
  for (std::size_t r = 0; r < kRecords; ++r) {
    std::uint32_t mask = 0;
    for (std::size_t g = 0; g < kQueryRegs; ++g) {
      Isa::Store(scores + r * kWidth + g * Isa::kLanes, acc[r][g]);
      mask |= Isa::Passing(acc[r][g], Isa::Load(thresholds + g * Isa::kLanes))
              << (g * Isa::kLanes);
    }
    passing[r] = mask;
  }
}

}  // namespace zanth::scaffold
