// AVX-512 kernel: 16 records per __m512. Each register pairs 8 values of record j (low half)
// with the same 8 values of record j + 8 (high half); the in-lane unpacks and shuffles of the
// 8x8 transpose then work on both halves at once, and one two-source permute finishes each
// column, so a column holds one dimension of 16 records in record order. Each lane adds its
// record's products in dimension order, exactly as ScoreOne does. Two groups of 16 records
// run interleaved to hide the latency of the dependent additions; the driver loops, prefetching
// and tail padding come from kernel_scaffold.h.
// GCC 12's own AVX-512 unpack intrinsics start from _mm512_undefined_ps() and trip this warning.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include <cstring>

#include <algorithm>
#include <cstdint>

#include "vectors/kernels/kernel_scaffold.h"
#include "vectors/kernels/score_kernels.h"

namespace zanth {

namespace {

// z[j] holds dims i..i+7 of records j and j+8; afterwards c[t] holds dim i+t of records 0..15.
inline void Transpose16x8(const __m512 z[8], __m512 c[8]) {
  // 128-bit lanes of the result: (a.lane0, b.lane0, a.lane2, b.lane2) and
  // (a.lane1, b.lane1, a.lane3, b.lane3); indices >= 16 select from b.
  const __m512i low = _mm512_setr_epi32(0, 1, 2, 3, 16, 17, 18, 19, 8, 9, 10, 11, 24, 25, 26, 27);
  const __m512i high =
      _mm512_setr_epi32(4, 5, 6, 7, 20, 21, 22, 23, 12, 13, 14, 15, 28, 29, 30, 31);
  __m512 t0 = _mm512_unpacklo_ps(z[0], z[1]);
  __m512 t1 = _mm512_unpackhi_ps(z[0], z[1]);
  __m512 t2 = _mm512_unpacklo_ps(z[2], z[3]);
  __m512 t3 = _mm512_unpackhi_ps(z[2], z[3]);
  __m512 t4 = _mm512_unpacklo_ps(z[4], z[5]);
  __m512 t5 = _mm512_unpackhi_ps(z[4], z[5]);
  __m512 t6 = _mm512_unpacklo_ps(z[6], z[7]);
  __m512 t7 = _mm512_unpackhi_ps(z[6], z[7]);
  __m512 u0 = _mm512_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0));
  __m512 u1 = _mm512_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2));
  __m512 u2 = _mm512_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0));
  __m512 u3 = _mm512_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2));
  __m512 u4 = _mm512_shuffle_ps(t4, t6, _MM_SHUFFLE(1, 0, 1, 0));
  __m512 u5 = _mm512_shuffle_ps(t4, t6, _MM_SHUFFLE(3, 2, 3, 2));
  __m512 u6 = _mm512_shuffle_ps(t5, t7, _MM_SHUFFLE(1, 0, 1, 0));
  __m512 u7 = _mm512_shuffle_ps(t5, t7, _MM_SHUFFLE(3, 2, 3, 2));
  c[0] = _mm512_permutex2var_ps(u0, low, u4);
  c[1] = _mm512_permutex2var_ps(u1, low, u5);
  c[2] = _mm512_permutex2var_ps(u2, low, u6);
  c[3] = _mm512_permutex2var_ps(u3, low, u7);
  c[4] = _mm512_permutex2var_ps(u0, high, u4);
  c[5] = _mm512_permutex2var_ps(u1, high, u5);
  c[6] = _mm512_permutex2var_ps(u2, high, u6);
  c[7] = _mm512_permutex2var_ps(u3, high, u7);
}

inline __m512 Pair(__m256 low, __m256 high) {
  return _mm512_insertf32x8(_mm512_castps256_ps512(low), high, 1);
}

constexpr std::size_t kHalf = 8;  // floats per 256-bit load

struct Avx512 {
  using Vec = __m512;
  static constexpr std::size_t kLanes = 16;
  static constexpr std::size_t kGroups = 2;
  // Long records are memory-bound, not latency-bound: one group keeps 16 read streams in
  // flight instead of 32, which the hardware prefetchers follow better (about 8% at 768 floats).
  static constexpr std::size_t kStreamGroups = 1;

  static Vec NegZero() { return _mm512_set1_ps(-0.0f); }
  static Vec Load(const float* p) { return _mm512_loadu_ps(p); }
  static void Store(float* out, Vec v) { _mm512_storeu_ps(out, v); }

  static void Columns(const char* const* rec, std::size_t i, Vec c[8]) {
    __m512 z[8];
    for (std::size_t j = 0; j < kHalf; ++j) {
      z[j] = Pair(_mm256_loadu_ps(scaffold::Values(rec[j], i)),
                  _mm256_loadu_ps(scaffold::Values(rec[j + kHalf], i)));
    }
    Transpose16x8(z, c);
  }
  // Masked loads never touch the bytes after a record.
  static void ColumnsMasked(const char* const* rec, std::size_t i, std::size_t rest, Vec c[8]) {
    __mmask8 mask = static_cast<__mmask8>((1u << rest) - 1);
    __m512 z[8];
    for (std::size_t j = 0; j < kHalf; ++j) {
      z[j] = Pair(_mm256_maskz_loadu_ps(mask, scaffold::Values(rec[j], i)),
                  _mm256_maskz_loadu_ps(mask, scaffold::Values(rec[j + kHalf], i)));
    }
    Transpose16x8(z, c);
  }
  static Vec AddProducts(Vec acc, const float* q, const Vec c[8], std::size_t n) {
    for (std::size_t t = 0; t < n; ++t) {
      acc = _mm512_add_ps(acc, _mm512_mul_ps(_mm512_set1_ps(q[t]), c[t]));
    }
    return acc;
  }
  static Vec AddProduct(Vec acc, Vec queries, const float* value) {
    float v;  // record values sit at any byte offset inside LMDB's pages
    std::memcpy(&v, value, sizeof v);
    return _mm512_add_ps(acc, _mm512_mul_ps(queries, _mm512_set1_ps(v)));
  }
  static std::uint32_t Passing(Vec scores, Vec thresholds) {
    return _mm512_cmp_ps_mask(scores, thresholds, _CMP_NLT_UQ);
  }
};

constexpr std::size_t kFloatTileQueryRegs = 1;
constexpr std::size_t kFloatTileRecords = 16;

void ScoreTileAvx512(const float* tile, std::size_t dim, const char* const* records,
                   const float* thresholds, float* scores, std::uint32_t* passing) {
  scaffold::ScoreTile<Avx512, kFloatTileQueryRegs, kFloatTileRecords>(tile, dim, records, thresholds, scores,
                                                           passing);
}

}  // namespace

const TileKernel kTileKernelAvx512{&ScoreTileAvx512, kFloatTileQueryRegs * Avx512::kLanes, kFloatTileRecords};

void ScoreRecordsAvx512(const float* query, std::size_t dim, const char* const* records,
                        std::size_t count, float* scores) {
  scaffold::ScoreRecords<Avx512>(query, dim, records, count, scores);
}

}  // namespace zanth
