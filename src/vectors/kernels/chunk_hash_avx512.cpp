// One stripe per register: vpmuludq multiplies the low halves of each lane's keyed word by its
// high halves, and a dword shuffle hands every lane its neighbour's plain word.
// GCC 12 starts _mm512_set1_epi64 and friends from _mm512_undefined_*(), which trips this.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include "vectors/kernels/chunk_hash.h"

namespace zanth {

std::uint64_t ChunkHashAvx512(const void* data, std::size_t bytes, std::uint64_t seed) {
  using namespace chunk_hash;
  const auto* p = static_cast<const unsigned char*>(data);
  const std::size_t stripes = bytes / kStripe;
  __m512i acc = _mm512_add_epi64(_mm512_loadu_si512(kInit),
                                 _mm512_set1_epi64(static_cast<long long>(seed)));
  __m512i key = _mm512_loadu_si512(kKey);
  const __m512i step = _mm512_loadu_si512(kStep);
  const __m512i prime = _mm512_set1_epi64(static_cast<long long>(kP1));
  for (std::size_t s = 0; s < stripes; ++s) {
    const __m512i w = _mm512_loadu_si512(p + s * kStripe);
    const __m512i k = _mm512_xor_si512(w, key);
    acc = _mm512_add_epi64(acc, _mm512_mul_epu32(k, _mm512_srli_epi64(k, 32)));
    acc = _mm512_add_epi64(acc, _mm512_shuffle_epi32(w, _MM_PERM_BADC));
    key = _mm512_add_epi64(key, step);
    if ((s + 1) % kScrambleEvery == 0) {
      acc = _mm512_mullo_epi64(_mm512_xor_si512(acc, _mm512_srli_epi64(acc, 47)), prime);
    }
  }
  alignas(64) std::uint64_t lanes[kLanes];
  _mm512_store_si512(lanes, acc);
  return Finish(lanes, p + stripes * kStripe, bytes % kStripe, stripes, bytes, seed);
}

}  // namespace zanth
