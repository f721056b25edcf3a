// AVX2 kernel: 8 records per __m256. Eight 8-float rows (one per record) are loaded and
// transposed in registers into eight columns (one per dimension), and each lane adds its
// record's products in dimension order, so a lane computes exactly what ScoreOne computes.
// Two groups of 8 records run interleaved to hide the latency of the dependent additions.
#include <immintrin.h>

#include <algorithm>
#include <cstdint>

#include "vectors/score_kernels.h"
#include "vectors/vector_block.h"

namespace zanth {

namespace {

constexpr std::size_t kLanes = 8;
constexpr std::size_t kGroups = 2;
constexpr std::size_t kStep = kLanes * kGroups;  // records per iteration
constexpr std::size_t kCacheLine = 64;
constexpr std::size_t kFloatsPerLine = kCacheLine / sizeof(float);
// Records too long for a whole step to sit in L1 are prefetched this far ahead of the loads
// instead of whole records ahead, which would evict the step being scored.
constexpr std::size_t kWholeRecordPrefetchLimit = 1024;
constexpr std::size_t kStreamAheadBytes = 512;

inline const float* Values(const char* record, std::size_t first_dim) {
  return reinterpret_cast<const float*>(record + kRecordIdSize + first_dim * sizeof(float));
}

// r[j] holds dims i..i+7 of record j; afterwards c[t] holds dim i+t of records 0..7.
inline void Transpose8(const __m256 r[8], __m256 c[8]) {
  __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]);
  __m256 t1 = _mm256_unpackhi_ps(r[0], r[1]);
  __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]);
  __m256 t3 = _mm256_unpackhi_ps(r[2], r[3]);
  __m256 t4 = _mm256_unpacklo_ps(r[4], r[5]);
  __m256 t5 = _mm256_unpackhi_ps(r[4], r[5]);
  __m256 t6 = _mm256_unpacklo_ps(r[6], r[7]);
  __m256 t7 = _mm256_unpackhi_ps(r[6], r[7]);
  __m256 u0 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0));
  __m256 u1 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2));
  __m256 u2 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0));
  __m256 u3 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2));
  __m256 u4 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(1, 0, 1, 0));
  __m256 u5 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(3, 2, 3, 2));
  __m256 u6 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(1, 0, 1, 0));
  __m256 u7 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(3, 2, 3, 2));
  c[0] = _mm256_permute2f128_ps(u0, u4, 0x20);
  c[1] = _mm256_permute2f128_ps(u1, u5, 0x20);
  c[2] = _mm256_permute2f128_ps(u2, u6, 0x20);
  c[3] = _mm256_permute2f128_ps(u3, u7, 0x20);
  c[4] = _mm256_permute2f128_ps(u0, u4, 0x31);
  c[5] = _mm256_permute2f128_ps(u1, u5, 0x31);
  c[6] = _mm256_permute2f128_ps(u2, u6, 0x31);
  c[7] = _mm256_permute2f128_ps(u3, u7, 0x31);
}

// Adds q[t] * c[t] for t < n to acc, one dimension after the other.
inline __m256 AddColumns(__m256 acc, const float* q, const __m256 c[8], std::size_t n) {
  for (std::size_t t = 0; t < n; ++t) {
    acc = _mm256_add_ps(acc, _mm256_mul_ps(_mm256_broadcast_ss(q + t), c[t]));
  }
  return acc;
}

inline void PrefetchRecords(const char* const* records, std::size_t count, std::size_t bytes) {
  for (std::size_t j = 0; j < count; ++j) {
    for (std::size_t offset = 0; offset < bytes; offset += kCacheLine) {
      _mm_prefetch(records[j] + offset, _MM_HINT_T0);
    }
  }
}

// Scores exactly kStep records.
inline void ScoreStep(const float* q, std::size_t dim, const char* const* records, float* out,
                      bool stream_ahead) {
  __m256 acc[kGroups];
  for (auto& a : acc) a = _mm256_set1_ps(-0.0f);
  std::size_t i = 0;
  for (; i + kLanes <= dim; i += kLanes) {
    if (stream_ahead && i % kFloatsPerLine == 0) {
      for (std::size_t j = 0; j < kStep; ++j) {
        _mm_prefetch(reinterpret_cast<const char*>(Values(records[j], i)) + kStreamAheadBytes,
                     _MM_HINT_T0);
      }
    }
    for (std::size_t g = 0; g < kGroups; ++g) {
      const char* const* rec = records + g * kLanes;
      __m256 r[8], c[8];
      for (std::size_t j = 0; j < kLanes; ++j) r[j] = _mm256_loadu_ps(Values(rec[j], i));
      Transpose8(r, c);
      acc[g] = AddColumns(acc[g], q + i, c, kLanes);
    }
  }
  if (i < dim) {
    // The last dim % 8 values: masked loads never touch the bytes after a record.
    std::size_t rest = dim - i;
    alignas(32) std::int32_t lanes[kLanes];
    for (std::size_t t = 0; t < kLanes; ++t) lanes[t] = t < rest ? -1 : 0;
    __m256i mask = _mm256_load_si256(reinterpret_cast<const __m256i*>(lanes));
    for (std::size_t g = 0; g < kGroups; ++g) {
      const char* const* rec = records + g * kLanes;
      __m256 r[8], c[8];
      for (std::size_t j = 0; j < kLanes; ++j) r[j] = _mm256_maskload_ps(Values(rec[j], i), mask);
      Transpose8(r, c);
      acc[g] = AddColumns(acc[g], q + i, c, rest);
    }
  }
  for (std::size_t g = 0; g < kGroups; ++g) _mm256_storeu_ps(out + g * kLanes, acc[g]);
}

}  // namespace

void ScoreRecordsAvx2(const float* query, std::size_t dim, const char* const* records,
                      std::size_t count, float* scores) {
  const std::size_t record_bytes = kRecordIdSize + dim * sizeof(float);
  const bool stream_ahead = record_bytes > kWholeRecordPrefetchLimit;
  std::size_t j = 0;
  for (; j + kStep <= count; j += kStep) {
    if (!stream_ahead && j + 2 * kStep <= count) {
      PrefetchRecords(records + j + kStep, kStep, record_bytes);
    }
    ScoreStep(query, dim, records + j, scores + j, stream_ahead);
  }
  if (j < count) {
    // Pad the last step with repeats of its first record; their scores are dropped.
    std::size_t n = count - j;
    const char* padded[kStep];
    float out[kStep];
    for (std::size_t t = 0; t < kStep; ++t) padded[t] = records[j + (t < n ? t : 0)];
    ScoreStep(query, dim, padded, out, stream_ahead);
    std::copy(out, out + n, scores + j);
  }
}

}  // namespace zanth
