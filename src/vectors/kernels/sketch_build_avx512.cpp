// The record sketch builder on AVX-512: the same codes and scale as the scalar builder (same
// double arithmetic, round to nearest even), with the sums of squares in eight lanes.
// GCC 12's own AVX-512 reduction and extraction intrinsics start from _mm512_undefined_*() and
// trip this warning.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include <cstring>
#include <limits>

#include "vectors/kernels/sketch.h"
#include "vectors/kernels/sketch_kernels.h"

namespace zanth {

void SketchRecordAvx512(const char* values, std::size_t dim, std::int8_t* codes,
                        RecordSketchMeta* meta) {
  const float* v = reinterpret_cast<const float*>(values);  // unaligned loads only
  const __m512 abs_mask = _mm512_castsi512_ps(_mm512_set1_epi32(0x7fffffff));
  const __m512 max_finite = _mm512_set1_ps(std::numeric_limits<float>::max());
  __m512 max_abs = _mm512_setzero_ps();
  __mmask16 bad = 0;
  for (std::size_t i = 0; i < dim; i += 16) {
    const __mmask16 m = dim - i >= 16 ? 0xffff : static_cast<__mmask16>((1u << (dim - i)) - 1);
    __m512 a = _mm512_and_ps(_mm512_maskz_loadu_ps(m, v + i), abs_mask);
    bad |= _mm512_mask_cmp_ps_mask(m, a, max_finite, _CMP_NLE_UQ);
    max_abs = _mm512_max_ps(max_abs, a);
  }
  if (bad) return MarkUncovered(dim, codes, meta);
  const float scale = SketchScaleFor(_mm512_reduce_max_ps(max_abs));
  const double s = scale;
  const __m512d sv = _mm512_set1_pd(s);
  const __m512d inverse = _mm512_set1_pd(s == 0 ? 0 : 1 / s);
  const __m512d hi = _mm512_set1_pd(127.0), lo = _mm512_set1_pd(-127.0);
  __m512d resid_sq = _mm512_setzero_pd();
  __m256i code_sq = _mm256_setzero_si256();
  for (std::size_t i = 0; i < dim; i += 8) {
    const __mmask8 m = dim - i >= 8 ? 0xff : static_cast<__mmask8>((1u << (dim - i)) - 1);
    __m512d x = _mm512_cvtps_pd(_mm256_maskz_loadu_ps(m, v + i));
    __m512d y = _mm512_min_pd(_mm512_max_pd(_mm512_mul_pd(x, inverse), lo), hi);
    __m256i c = _mm512_cvtpd_epi32(y);  // nearest, ties to even
    _mm_mask_storeu_epi8(codes + i, m, _mm256_cvtepi32_epi8(c));
    __m512d r = _mm512_sub_pd(x, _mm512_mul_pd(sv, _mm512_cvtepi32_pd(c)));
    resid_sq = _mm512_add_pd(resid_sq, _mm512_mul_pd(r, r));
    code_sq = _mm256_add_epi32(code_sq, _mm256_mullo_epi32(c, c));
  }
  alignas(32) std::int32_t lanes[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), code_sq);
  std::int64_t codes_total = 0;
  for (std::int32_t lane : lanes) codes_total += lane;
  FinishRecordSketch(scale, static_cast<double>(codes_total), _mm512_reduce_add_pd(resid_sq),
                     meta);
}

}  // namespace zanth
