#include "vectors/kernels/chunk_hash.h"

#include <cstring>

namespace zanth {

namespace chunk_hash {

void StripesScalar(std::uint64_t* acc, const unsigned char* data, std::size_t first,
                   std::size_t stripes) {
  for (std::size_t s = 0; s < stripes; ++s) {
    const std::uint64_t n = first + s;
    std::uint64_t w[kLanes];
    std::memcpy(w, data + s * kStripe, kStripe);
    for (std::size_t i = 0; i < kLanes; ++i) {
      const std::uint64_t k = w[i] ^ (kKey[i] + n * kStep[i]);
      acc[i] += (k & 0xFFFFFFFFULL) * (k >> 32) + w[i ^ 1];
    }
    if ((n + 1) % kScrambleEvery == 0) {
      for (std::size_t i = 0; i < kLanes; ++i) acc[i] = Scramble(acc[i]);
    }
  }
}

std::uint64_t Finish(std::uint64_t* acc, const unsigned char* tail, std::size_t rest,
                     std::size_t stripes, std::size_t bytes, std::uint64_t seed) {
  if (rest != 0) {
    unsigned char padded[kStripe] = {};
    std::memcpy(padded, tail, rest);
    StripesScalar(acc, padded, stripes, 1);
  }
  std::uint64_t h = Avalanche(seed ^ (static_cast<std::uint64_t>(bytes) * kP3));
  for (std::size_t i = 0; i < kLanes; ++i) h = Rotl(h + Avalanche(acc[i]) * kP2, 31) * kP1;
  return Avalanche(h ^ kP4);
}

}  // namespace chunk_hash

std::uint64_t ChunkHashScalar(const void* data, std::size_t bytes, std::uint64_t seed) {
  using namespace chunk_hash;
  const auto* p = static_cast<const unsigned char*>(data);
  std::uint64_t acc[kLanes];
  for (std::size_t i = 0; i < kLanes; ++i) acc[i] = kInit[i] + seed;
  const std::size_t stripes = bytes / kStripe;
  StripesScalar(acc, p, 0, stripes);
  return Finish(acc, p + stripes * kStripe, bytes % kStripe, stripes, bytes, seed);
}

namespace {

// Indexed by CpuLevel.
constexpr ChunkHasher kChunkHashers[] = {&ChunkHashScalar, &ChunkHashAvx2, &ChunkHashAvx512,
                                         &ChunkHashAvx512, &ChunkHashAvx512};
static_assert(EveryLevelHas(kChunkHashers));

}  // namespace

ChunkHasher ChunkHasherFor(CpuLevel level) {
  return CpuRuns(level) ? kChunkHashers[IndexOf(level)] : nullptr;
}

ChunkHasher BestChunkHasher() {
  static const ChunkHasher best = ChunkHasherFor(BestCpuLevel());
  return best;
}

std::uint64_t ChunkHash(const void* data, std::size_t bytes, std::uint64_t seed) {
  return BestChunkHasher()(data, bytes, seed);
}

}  // namespace zanth
