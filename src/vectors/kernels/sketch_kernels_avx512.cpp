// 32 codes a step, sign-extended to 16 bits and multiplied in pairs (vpmaddwd); the tail is a
// masked load, so no byte past a record's codes is read.
// GCC 12's own AVX-512 reduction and extraction intrinsics start from _mm512_undefined_*() and
// trip this warning.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include "vectors/kernels/sketch_kernels.h"

namespace zanth {

void SketchDotsAvx512(const std::int8_t* query, const std::int16_t* wide, std::size_t dim,
                      const std::int8_t* codes, std::size_t count, std::int32_t* dots) {
  (void)query;
  const std::size_t body = dim - dim % 32;
  const __mmask32 tail_mask = (dim % 32) ? ((__mmask32{1} << (dim % 32)) - 1) : 0;
  for (std::size_t j = 0; j < count; ++j) {
    const std::int8_t* c = codes + j * dim;
    __m512i acc = _mm512_setzero_si512();
    for (std::size_t i = 0; i < body; i += 32) {
      __m512i cw = _mm512_cvtepi8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(c + i)));
      __m512i qw = _mm512_loadu_si512(wide + i);
      acc = _mm512_add_epi32(acc, _mm512_madd_epi16(cw, qw));
    }
    if (tail_mask) {
      __m512i cw = _mm512_cvtepi8_epi16(_mm256_maskz_loadu_epi8(tail_mask, c + body));
      __m512i qw = _mm512_maskz_loadu_epi16(tail_mask, wide + body);
      acc = _mm512_add_epi32(acc, _mm512_madd_epi16(cw, qw));
    }
    dots[j] = _mm512_reduce_add_epi32(acc);
  }
}

}  // namespace zanth
