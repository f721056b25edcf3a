// VNNI multiplies unsigned by signed bytes (vpdpbusd), 64 codes an instruction. A record's codes
// are made unsigned by adding 128 (flipping their top bit), which adds 128 * sum(a) to every dot:
// a constant of the query, taken off at the end. Exact for the sketched dimensions: the
// accumulators stay below 2^31. Four records share each query load and one reduction; a lone
// record takes the bias off with a second vpdpbusd instead, as the query's sum would cost as
// much as the record.
// GCC 12's own AVX-512 reduction and extraction intrinsics start from _mm512_undefined_*() and
// trip this warning.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include "vectors/kernels/sketch_kernels.h"

namespace zanth {

namespace {

// Codes are fetched into L2 this far ahead of their use, so the next chunk's bytes keep coming
// from memory while a search works out the bounds of this one (a nearer distance, or L1, leaves
// the next chunk late; the hardware prefetcher also stops at page boundaries).
constexpr std::size_t kPrefetchBytes = 32768;

inline __m128i HalveTo128(__m512i v) {
  __m256i h = _mm256_add_epi32(_mm512_castsi512_si256(v), _mm512_extracti64x4_epi64(v, 1));
  return _mm_add_epi32(_mm256_castsi256_si128(h), _mm256_extracti128_si256(h, 1));
}

// acc - 128 * ones_sum, lane by lane.
inline __m512i Unbias(__m512i acc, __m512i ones_sum) {
  return _mm512_sub_epi32(acc, _mm512_slli_epi32(ones_sum, 7));
}

}  // namespace

void SketchDotsAvx512Vnni(const std::int8_t* query, const std::int16_t*, std::size_t dim,
                          const std::int8_t* codes, std::size_t count, std::int32_t* dots) {
  const __m512i flip = _mm512_set1_epi8(static_cast<char>(0x80));
  const __m512i ones = _mm512_set1_epi8(1);
  std::size_t j = 0;
  if (count >= 4) {
    // 128 * sum(a), with masked-off lanes counting as codes 0 (flipped: 128, times a = 0).
    __m512i query_sum = _mm512_setzero_si512();
    for (std::size_t i = 0; i < dim; i += 64) {
      const __mmask64 m = dim - i >= 64 ? ~__mmask64{0} : (__mmask64{1} << (dim - i)) - 1;
      query_sum = _mm512_dpbusd_epi32(query_sum, ones, _mm512_maskz_loadu_epi8(m, query + i));
    }
    const __m128i bias = _mm_set1_epi32(_mm512_reduce_add_epi32(query_sum) * 128);
    for (; j + 4 <= count; j += 4) {
      const std::int8_t* c = codes + j * dim;
      __m512i acc[4];
      for (int r = 0; r < 4; ++r) acc[r] = _mm512_setzero_si512();
      for (std::size_t i = 0; i < dim; i += 64) {
        const __mmask64 m = dim - i >= 64 ? ~__mmask64{0} : (__mmask64{1} << (dim - i)) - 1;
        const __m512i q = _mm512_maskz_loadu_epi8(m, query + i);
        for (int r = 0; r < 4; ++r) {
          _mm_prefetch(reinterpret_cast<const char*>(c + r * dim + i + kPrefetchBytes), _MM_HINT_T1);
          const __m512i v = _mm512_xor_si512(_mm512_maskz_loadu_epi8(m, c + r * dim + i), flip);
          acc[r] = _mm512_dpbusd_epi32(acc[r], v, q);
        }
      }
      __m128i ab = _mm_hadd_epi32(HalveTo128(acc[0]), HalveTo128(acc[1]));
      __m128i cd = _mm_hadd_epi32(HalveTo128(acc[2]), HalveTo128(acc[3]));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dots + j),
                       _mm_sub_epi32(_mm_hadd_epi32(ab, cd), bias));
    }
  }
  for (; j < count; ++j) {
    const std::int8_t* c = codes + j * dim;
    __m512i acc = _mm512_setzero_si512(), sum = _mm512_setzero_si512();
    for (std::size_t i = 0; i < dim; i += 64) {
      const __mmask64 m = dim - i >= 64 ? ~__mmask64{0} : (__mmask64{1} << (dim - i)) - 1;
      const __m512i q = _mm512_xor_si512(_mm512_maskz_loadu_epi8(m, query + i), flip);
      const __m512i v = _mm512_maskz_loadu_epi8(m, c + i);
      acc = _mm512_dpbusd_epi32(acc, q, v);
      sum = _mm512_dpbusd_epi32(sum, ones, v);
    }
    dots[j] = _mm512_reduce_add_epi32(Unbias(acc, sum));
  }
}

}  // namespace zanth
