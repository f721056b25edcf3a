// Sign-extends 16 codes at a time to 16 bits and multiplies in pairs (vpmaddwd): exact, since
// 2 * 127 * 127 fits easily in 32 bits.
#include <immintrin.h>

#include "vectors/kernels/sketch_kernels.h"

namespace zanth {

void SketchDotsAvx2(const std::int8_t* query, const std::int16_t* wide, std::size_t dim,
                    const std::int8_t* codes, std::size_t count, std::int32_t* dots) {
  const std::size_t body = dim - dim % 16;
  for (std::size_t j = 0; j < count; ++j) {
    const std::int8_t* c = codes + j * dim;
    __m256i acc = _mm256_setzero_si256();
    for (std::size_t i = 0; i < body; i += 16) {
      __m256i cw = _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(c + i)));
      __m256i qw = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(wide + i));
      acc = _mm256_add_epi32(acc, _mm256_madd_epi16(cw, qw));
    }
    __m128i half = _mm_add_epi32(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
    half = _mm_add_epi32(half, _mm_shuffle_epi32(half, 0x4e));
    half = _mm_add_epi32(half, _mm_shuffle_epi32(half, 0xb1));
    std::int32_t sum = _mm_cvtsi128_si32(half);
    for (std::size_t i = body; i < dim; ++i) sum += static_cast<std::int32_t>(query[i]) * c[i];
    dots[j] = sum;
  }
}

}  // namespace zanth
