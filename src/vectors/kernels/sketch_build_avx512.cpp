// The record sketch builder on AVX-512: the same codes and scale as the scalar builder (same
// double arithmetic, round to nearest even), with the sums of squares in sixteen lanes (their
// order differs from the scalar sum's, within the rounding the norms are inflated for).
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
  // Two accumulators of each sum, so the additions of consecutive steps do not wait on each
  // other. The code squares are summed in double: integers below 2^53, so exactly.
  __m512d resid_sq[2] = {_mm512_setzero_pd(), _mm512_setzero_pd()};
  __m512d code_sq[2] = {_mm512_setzero_pd(), _mm512_setzero_pd()};
  auto step = [&](__m512d x, int lane, std::int8_t* out, __mmask8 m) {
    const __m512d y = _mm512_min_pd(_mm512_max_pd(_mm512_mul_pd(x, inverse), lo), hi);
    const __m256i c = _mm512_cvtpd_epi32(y);  // nearest, ties to even
    const __m128i bytes = _mm256_cvtepi32_epi8(c);
    if (m == 0xff) {
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out), bytes);
    } else {
      _mm_mask_storeu_epi8(out, m, bytes);
    }
    const __m512d cd = _mm512_cvtepi32_pd(c);
    const __m512d r = _mm512_sub_pd(x, _mm512_mul_pd(sv, cd));
    resid_sq[lane] = _mm512_add_pd(resid_sq[lane], _mm512_mul_pd(r, r));
    code_sq[lane] = _mm512_add_pd(code_sq[lane], _mm512_mul_pd(cd, cd));
  };
  std::size_t i = 0;
  for (; i + 16 <= dim; i += 16) {
    const __m512 x = _mm512_loadu_ps(v + i);
    step(_mm512_cvtps_pd(_mm512_castps512_ps256(x)), 0, codes + i, 0xff);
    step(_mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(x), 1))), 1,
         codes + i + 8, 0xff);
  }
  for (; i < dim; i += 8) {
    const __mmask8 m = dim - i >= 8 ? 0xff : static_cast<__mmask8>((1u << (dim - i)) - 1);
    step(_mm512_cvtps_pd(_mm256_maskz_loadu_ps(m, v + i)), 0, codes + i, m);
  }
  FinishRecordSketch(scale, _mm512_reduce_add_pd(_mm512_add_pd(code_sq[0], code_sq[1])),
                     _mm512_reduce_add_pd(_mm512_add_pd(resid_sq[0], resid_sq[1])), meta);
}

}  // namespace zanth
