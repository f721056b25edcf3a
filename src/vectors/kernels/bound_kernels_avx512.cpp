// Eight records at a time in double lanes, the last one to seven by masked loads. The records'
// meta (three floats each) is loaded as 24 contiguous floats and each field picked out with one
// two-source permute.
// GCC 12's own AVX-512 conversion and extraction intrinsics start from _mm512_undefined_*() and
// trip this warning.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include <bit>
#include <limits>

#include "vectors/kernels/bound_kernels.h"

namespace zanth {

static_assert(sizeof(RecordSketchMeta) == 3 * sizeof(float));

std::size_t BoundRecordsAvx512(const QuerySketch& qs, const RecordSketchMeta* meta,
                               const std::int32_t* dots, std::size_t count, double floor,
                               std::size_t* kept, double* lows, double* highs) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  // Field f of record r sits at float 3 r + f of the 24 loaded (16 in `a`, 8 in `b`, which a
  // two-source permute numbers from 16).
  const __m512i pick_scale = _mm512_setr_epi32(0, 3, 6, 9, 12, 15, 18, 21, 0, 0, 0, 0, 0, 0, 0, 0);
  const __m512i pick_code = _mm512_add_epi32(pick_scale, _mm512_set1_epi32(1));
  const __m512i pick_resid = _mm512_add_epi32(pick_scale, _mm512_set1_epi32(2));
  const __m512d q_scale = _mm512_set1_pd(qs.scale);
  const __m512d per_code = _mm512_set1_pd(qs.per_code_norm);
  const __m512d per_resid = _mm512_set1_pd(qs.per_resid_norm);
  const __m512d abs_slack = _mm512_set1_pd(qs.abs_slack);
  const __m512d cover = _mm512_set1_pd(qs.cover_limit);
  const __m512d two = _mm512_set1_pd(2.0);
  const __m512d floor_v = _mm512_set1_pd(floor);
  const __m512d inf = _mm512_set1_pd(kInf);
  const __m512d minus_inf = _mm512_set1_pd(-kInf);
  std::size_t n = 0;
  // Records [i, i + 8) of which the `lanes` mask holds, their fields in `a` and `b` and their
  // dots in `dot32`; lanes outside the mask are never kept.
  auto bound = [&](std::size_t i, __m512 a, __m512 b, __m256i dot32, unsigned lanes) {
    const __m512d scale =
        _mm512_cvtps_pd(_mm512_castps512_ps256(_mm512_permutex2var_ps(a, pick_scale, b)));
    const __m512d code =
        _mm512_cvtps_pd(_mm512_castps512_ps256(_mm512_permutex2var_ps(a, pick_code, b)));
    const __m512d resid =
        _mm512_cvtps_pd(_mm512_castps512_ps256(_mm512_permutex2var_ps(a, pick_resid, b)));
    const __m512d dot = _mm512_cvtepi32_pd(dot32);
    // ScoreBounds, operation for operation.
    const __mmask8 covered =
        _mm512_cmp_pd_mask(_mm512_add_pd(code, _mm512_mul_pd(two, resid)), cover, _CMP_LE_OQ);
    const __m512d center = _mm512_mul_pd(_mm512_mul_pd(scale, q_scale), dot);
    const __m512d spread = _mm512_add_pd(
        _mm512_add_pd(_mm512_mul_pd(code, per_code), _mm512_mul_pd(resid, per_resid)), abs_slack);
    const __m512d high = _mm512_mask_blend_pd(covered, inf, _mm512_add_pd(center, spread));
    const __mmask8 below = _mm512_cmp_pd_mask(high, floor_v, _CMP_LT_OQ);
    unsigned keep = static_cast<unsigned>(static_cast<__mmask8>(~below)) & lanes;
    if (keep == 0) return;
    const __m512d low = _mm512_mask_blend_pd(covered, minus_inf, _mm512_sub_pd(center, spread));
    alignas(64) double low_lanes[8], high_lanes[8];
    _mm512_store_pd(low_lanes, low);
    _mm512_store_pd(high_lanes, high);
    for (; keep != 0; keep &= keep - 1) {
      const int lane = std::countr_zero(keep);
      kept[n] = i + static_cast<std::size_t>(lane);
      lows[n] = low_lanes[lane];
      highs[n++] = high_lanes[lane];
    }
  };
  std::size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    const float* m = reinterpret_cast<const float*>(meta + i);
    bound(i, _mm512_loadu_ps(m), _mm512_castps256_ps512(_mm256_loadu_ps(m + 16)),
          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(dots + i)), 0xFF);
  }
  if (i < count) {
    // The last 1 to 7 records by masked loads, which read nothing past them: gathered batches
    // are small when a filter accepts few records, and a scalar tail would cost as much as them.
    const unsigned rest = static_cast<unsigned>(count - i);
    const unsigned floats = 3 * rest;  // 3 to 21
    const float* m = reinterpret_cast<const float*>(meta + i);
    const __mmask16 in_a = static_cast<__mmask16>(floats >= 16 ? 0xFFFF : (1u << floats) - 1);
    const __mmask16 in_b = static_cast<__mmask16>(floats > 16 ? (1u << (floats - 16)) - 1 : 0);
    bound(i, _mm512_maskz_loadu_ps(in_a, m), _mm512_maskz_loadu_ps(in_b, m + 16),
          _mm256_maskz_loadu_epi32(static_cast<__mmask8>((1u << rest) - 1), dots + i),
          (1u << rest) - 1);
  }
  return n;
}

}  // namespace zanth
