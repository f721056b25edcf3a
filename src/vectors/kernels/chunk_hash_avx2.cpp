// Two stripe halves per register pair: vpmuludq multiplies the low halves of each lane's keyed
// word by its high halves, and a dword shuffle hands every lane its neighbour's plain word (a
// lane's neighbour sits in the same 128-bit half). AVX2 has no 64-bit multiply: the scramble,
// once every kScrambleEvery stripes, runs on the lanes one by one.
#include <immintrin.h>

#include "vectors/kernels/chunk_hash.h"

namespace zanth {

std::uint64_t ChunkHashAvx2(const void* data, std::size_t bytes, std::uint64_t seed) {
  using namespace chunk_hash;
  const auto* p = static_cast<const unsigned char*>(data);
  const std::size_t stripes = bytes / kStripe;
  const __m256i seeds = _mm256_set1_epi64x(static_cast<long long>(seed));
  __m256i acc[2], key[2], step[2];
  for (int h = 0; h < 2; ++h) {
    acc[h] = _mm256_add_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(kInit + 4 * h)),
                              seeds);
    key[h] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kKey + 4 * h));
    step[h] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kStep + 4 * h));
  }
  alignas(32) std::uint64_t lanes[kLanes];
  for (std::size_t s = 0; s < stripes; ++s) {
    for (int h = 0; h < 2; ++h) {
      const __m256i w =
          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + s * kStripe + 32 * h));
      const __m256i k = _mm256_xor_si256(w, key[h]);
      acc[h] = _mm256_add_epi64(acc[h], _mm256_mul_epu32(k, _mm256_srli_epi64(k, 32)));
      acc[h] = _mm256_add_epi64(acc[h], _mm256_shuffle_epi32(w, 0x4E));
      key[h] = _mm256_add_epi64(key[h], step[h]);
    }
    if ((s + 1) % kScrambleEvery == 0) {
      _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), acc[0]);
      _mm256_store_si256(reinterpret_cast<__m256i*>(lanes + 4), acc[1]);
      for (std::uint64_t& lane : lanes) lane = Scramble(lane);
      acc[0] = _mm256_load_si256(reinterpret_cast<const __m256i*>(lanes));
      acc[1] = _mm256_load_si256(reinterpret_cast<const __m256i*>(lanes + 4));
    }
  }
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), acc[0]);
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes + 4), acc[1]);
  return Finish(lanes, p + stripes * kStripe, bytes % kStripe, stripes, bytes, seed);
}

}  // namespace zanth
