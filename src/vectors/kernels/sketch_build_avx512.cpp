// The record sketch builder on AVX-512: the same codes, scale and rounded residuals as the
// scalar builder (the same float operations, round to nearest even; the residual by one fused
// multiply-add), with the sums of squares in lanes (their order differs from the scalar sum's,
// within the rounding the norms are inflated for).
// GCC 12's own AVX-512 reduction and extraction intrinsics start from _mm512_undefined_*() and
// trip this warning.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include <cmath>
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
  const float inverse = RecordInverseOf(scale);
  if (!std::isfinite(inverse)) return SketchRecordInDouble(values, dim, scale, codes, meta);
  const __m512 inv = _mm512_set1_ps(inverse), sv = _mm512_set1_ps(scale);
  const __m512 hi = _mm512_set1_ps(127.0f), lo = _mm512_set1_ps(-127.0f);
  // The residual squares are summed in double (a float's square is exact there), the code
  // squares in 32-bit lanes (at most 4096 of 127^2 a lane).
  __m512d resid_sq[2] = {_mm512_setzero_pd(), _mm512_setzero_pd()};
  __m512i code_sq = _mm512_setzero_si512();
  for (std::size_t i = 0; i < dim; i += 16) {
    const __mmask16 m = dim - i >= 16 ? 0xffff : static_cast<__mmask16>((1u << (dim - i)) - 1);
    const __m512 x = _mm512_maskz_loadu_ps(m, v + i);
    const __m512 y = _mm512_min_ps(_mm512_max_ps(_mm512_mul_ps(x, inv), lo), hi);
    const __m512i c = _mm512_cvtps_epi32(y);  // nearest, ties to even
    _mm_mask_storeu_epi8(codes + i, m, _mm512_cvtepi32_epi8(c));
    // One rounding of the exact v - s c, as the scalar builder's; zero past the dimension.
    const __m512 r = _mm512_fnmadd_ps(sv, _mm512_cvtepi32_ps(c), x);
    const __m512d r0 = _mm512_cvtps_pd(_mm512_castps512_ps256(r));
    const __m512d r1 =
        _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(r), 1)));
    resid_sq[0] = _mm512_add_pd(resid_sq[0], _mm512_mul_pd(r0, r0));
    resid_sq[1] = _mm512_add_pd(resid_sq[1], _mm512_mul_pd(r1, r1));
    code_sq = _mm512_add_epi32(code_sq, _mm512_mullo_epi32(c, c));
  }
  FinishRecordSketchRounded(scale, static_cast<double>(_mm512_reduce_add_epi32(code_sq)),
                            _mm512_reduce_add_pd(_mm512_add_pd(resid_sq[0], resid_sq[1])), dim,
                            meta);
}

}  // namespace zanth
