// AVX2 kernel: 8 records per __m256. Eight 8-float rows (one per record) are loaded and
// transposed in registers into eight columns (one per dimension), and each lane adds its
// record's products in dimension order, so a lane computes exactly what ScoreOne computes.
// Two groups of 8 records run interleaved to hide the latency of the dependent additions. The
// driver loops, prefetching and tail padding come from kernel_scaffold.h.
#include <immintrin.h>

#include <algorithm>
#include <cstdint>

#include "vectors/kernels/kernel_scaffold.h"
#include "vectors/kernels/score_kernels.h"

namespace zanth {

namespace {

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

struct Avx2 {
  using Vec = __m256;
  static constexpr std::size_t kLanes = 8;
  static constexpr std::size_t kGroups = 2;
  static constexpr std::size_t kStreamGroups = 2;

  static Vec NegZero() { return _mm256_set1_ps(-0.0f); }
  static Vec Load(const float* p) { return _mm256_loadu_ps(p); }
  static void Store(float* out, Vec v) { _mm256_storeu_ps(out, v); }

  static void Columns(const char* const* rec, std::size_t i, Vec c[8]) {
    __m256 r[8];
    for (std::size_t j = 0; j < kLanes; ++j) r[j] = _mm256_loadu_ps(scaffold::Values(rec[j], i));
    Transpose8(r, c);
  }
  static void ColumnsMasked(const char* const* rec, std::size_t i, std::size_t rest, Vec c[8]) {
    alignas(32) std::int32_t lanes[kLanes];
    for (std::size_t t = 0; t < kLanes; ++t) lanes[t] = t < rest ? -1 : 0;
    __m256i mask = _mm256_load_si256(reinterpret_cast<const __m256i*>(lanes));
    __m256 r[8];
    for (std::size_t j = 0; j < kLanes; ++j) {
      r[j] = _mm256_maskload_ps(scaffold::Values(rec[j], i), mask);
    }
    Transpose8(r, c);
  }
  static Vec AddProducts(Vec acc, const float* q, const Vec c[8], std::size_t n) {
    for (std::size_t t = 0; t < n; ++t) {
      acc = _mm256_add_ps(acc, _mm256_mul_ps(_mm256_broadcast_ss(q + t), c[t]));
    }
    return acc;
  }
  static Vec AddProduct(Vec acc, Vec queries, const float* value) {
    return _mm256_add_ps(acc, _mm256_mul_ps(queries, _mm256_broadcast_ss(value)));
  }
  static std::uint32_t Passing(Vec scores, Vec thresholds) {
    return static_cast<std::uint32_t>(
        _mm256_movemask_ps(_mm256_cmp_ps(scores, thresholds, _CMP_NLT_UQ)));
  }
};

constexpr std::size_t kFloatTileQueryRegs = 2;
constexpr std::size_t kFloatTileRecords = 6;

void ScoreTileAvx2(const float* tile, std::size_t dim, const char* const* records,
                   const float* thresholds, float* scores, std::uint32_t* passing) {
  scaffold::ScoreTile<Avx2, kFloatTileQueryRegs, kFloatTileRecords>(tile, dim, records, thresholds, scores,
                                                           passing);
}

}  // namespace

const TileKernel kTileKernelAvx2{&ScoreTileAvx2, kFloatTileQueryRegs * Avx2::kLanes, kFloatTileRecords};

void ScoreRecordsAvx2(const float* query, std::size_t dim, const char* const* records,
                      std::size_t count, float* scores) {
  scaffold::ScoreRecords<Avx2>(query, dim, records, count, scores);
}

}  // namespace zanth
