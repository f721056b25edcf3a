// The record sketch builder on AVX2: the same codes, scale and rounded residuals as the scalar
// builder (the same float operations, round to nearest even), with the sums of squares in lanes
// (their order differs from the scalar sum's, within the rounding the norms are inflated for).
// The level promises no FMA: the residual v - s c is formed exactly in double and rounded to
// float once, which is what the scalar builder does.
#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "vectors/kernels/sketch.h"
#include "vectors/kernels/sketch_kernels.h"

namespace zanth {

namespace {

constexpr std::size_t kLanes = 8;

// The scalar builder's step for one value, for the last dim % 8 of them.
int CodeAndResidual(float v, float inverse, float scale, float* residual) {
  const int c = static_cast<int>(std::nearbyint(std::min(std::max(v * inverse, -127.0f), 127.0f)));
  *residual = static_cast<float>(static_cast<double>(v) - static_cast<double>(scale) * c);
  return c;
}

// One rounding to float of the exact x - s c, four lanes at a time in double.
__m256 Residual(__m256 x, __m256i c, __m256d s) {
  const __m256 cf = _mm256_cvtepi32_ps(c);  // |c| <= 127: exact
  const __m256d lo = _mm256_sub_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(x)),
                                   _mm256_mul_pd(s, _mm256_cvtps_pd(_mm256_castps256_ps128(cf))));
  const __m256d hi = _mm256_sub_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(x, 1)),
                                   _mm256_mul_pd(s, _mm256_cvtps_pd(_mm256_extractf128_ps(cf, 1))));
  return _mm256_set_m128(_mm256_cvtpd_ps(hi), _mm256_cvtpd_ps(lo));
}

}  // namespace

void SketchRecordAvx2(const char* values, std::size_t dim, std::int8_t* codes,
                      RecordSketchMeta* meta) {
  const std::size_t whole = dim - dim % kLanes;
  float v[kLanes];
  const __m256 abs_mask = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
  const __m256 max_finite = _mm256_set1_ps(std::numeric_limits<float>::max());
  __m256 max_abs = _mm256_setzero_ps();
  int bad = 0;
  for (std::size_t i = 0; i < whole; i += kLanes) {
    const __m256 a = _mm256_and_ps(_mm256_loadu_ps(reinterpret_cast<const float*>(values) + i),
                                   abs_mask);
    bad |= _mm256_movemask_ps(_mm256_cmp_ps(a, max_finite, _CMP_NLE_UQ));  // inf or NaN
    max_abs = _mm256_max_ps(max_abs, a);
  }
  _mm256_storeu_ps(v, max_abs);
  float top = 0.0f;
  for (float a : v) top = a > top ? a : top;
  for (std::size_t i = whole; i < dim; ++i) {
    float x;
    std::memcpy(&x, values + i * sizeof(float), sizeof x);
    const float a = std::fabs(x);
    bad |= !(a <= std::numeric_limits<float>::max());
    top = a > top ? a : top;
  }
  if (bad) return MarkUncovered(dim, codes, meta);
  const float scale = SketchScaleFor(top);
  const float inverse = RecordInverseOf(scale);
  if (!std::isfinite(inverse)) return SketchRecordInDouble(values, dim, scale, codes, meta);
  const __m256 inv = _mm256_set1_ps(inverse);
  const __m256d sd = _mm256_set1_pd(scale);
  const __m256 hi = _mm256_set1_ps(127.0f), lo = _mm256_set1_ps(-127.0f);
  // The residual squares are summed in double (a float's square is exact there), the code
  // squares in 32-bit lanes (at most 127^2 a value).
  __m256d resid_sq = _mm256_setzero_pd();
  __m256i code_sq = _mm256_setzero_si256();
  for (std::size_t i = 0; i < whole; i += kLanes) {
    const __m256 x = _mm256_loadu_ps(reinterpret_cast<const float*>(values) + i);
    const __m256 y = _mm256_min_ps(_mm256_max_ps(_mm256_mul_ps(x, inv), lo), hi);
    const __m256i c = _mm256_cvtps_epi32(y);  // nearest, ties to even
    const __m128i words = _mm_packs_epi32(_mm256_castsi256_si128(c),
                                          _mm256_extracti128_si256(c, 1));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(codes + i), _mm_packs_epi16(words, words));
    const __m256 r = Residual(x, c, sd);
    const __m256d r0 = _mm256_cvtps_pd(_mm256_castps256_ps128(r));
    const __m256d r1 = _mm256_cvtps_pd(_mm256_extractf128_ps(r, 1));
    resid_sq = _mm256_add_pd(resid_sq, _mm256_add_pd(_mm256_mul_pd(r0, r0), _mm256_mul_pd(r1, r1)));
    code_sq = _mm256_add_epi32(code_sq, _mm256_mullo_epi32(c, c));
  }
  double lanes_sq[4];
  std::int32_t lanes_codes[kLanes];
  _mm256_storeu_pd(lanes_sq, resid_sq);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanes_codes), code_sq);
  double resid = (lanes_sq[0] + lanes_sq[1]) + (lanes_sq[2] + lanes_sq[3]);
  std::int64_t code = 0;
  for (std::int32_t part : lanes_codes) code += part;
  for (std::size_t i = whole; i < dim; ++i) {
    float x, r;
    std::memcpy(&x, values + i * sizeof(float), sizeof x);
    const int c = CodeAndResidual(x, inverse, scale, &r);
    codes[i] = static_cast<std::int8_t>(c);
    resid += static_cast<double>(r) * r;
    code += c * c;
  }
  FinishRecordSketchRounded(scale, static_cast<double>(code), resid, dim, meta);
}

}  // namespace zanth
