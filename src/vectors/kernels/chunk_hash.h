// A 64-bit hash of byte strings, fast enough to check sketch pages as a search streams them.
//
// Eight 64-bit lanes take a 64-byte stripe at a time: lane i adds the product of the low and
// high halves of (word i XOR a key that moves on every stripe, so a word's place matters) and
// the plain word of its neighbour lane (i XOR 1). Every 32 stripes each lane is scrambled by a
// bijection (xor-shift, then a multiply by an odd constant). The tail is zero-padded into one
// more stripe, and the lanes, the length and the seed are folded into one word.
//
// A change of one byte changes the plain word a lane adds by a nonzero amount; additions and
// the scrambles keep that lane different, so only the final fold can meet an equal value, by
// chance (about 2^-64), as it can for any two different inputs. Every kernel returns the very
// values of ChunkHashScalar: files written on one CPU level are read on another.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vectors/kernels/cpu_level.h"

namespace zanth {

using ChunkHasher = std::uint64_t (*)(const void* data, std::size_t bytes, std::uint64_t seed);

std::uint64_t ChunkHashScalar(const void* data, std::size_t bytes, std::uint64_t seed);
std::uint64_t ChunkHashAvx2(const void* data, std::size_t bytes, std::uint64_t seed);
std::uint64_t ChunkHashAvx512(const void* data, std::size_t bytes, std::uint64_t seed);

// nullptr when this CPU cannot run `level`.
ChunkHasher ChunkHasherFor(CpuLevel level);
ChunkHasher BestChunkHasher();
// BestChunkHasher()(data, bytes, seed).
std::uint64_t ChunkHash(const void* data, std::size_t bytes, std::uint64_t seed);

namespace chunk_hash {

inline constexpr std::size_t kLanes = 8;
inline constexpr std::size_t kStripe = kLanes * sizeof(std::uint64_t);
inline constexpr std::size_t kScrambleEvery = 32;  // stripes
inline constexpr std::uint64_t kP1 = 0x9E3779B185EBCA87ULL;
inline constexpr std::uint64_t kP2 = 0xC2B2AE3D27D4EB4FULL;
inline constexpr std::uint64_t kP3 = 0x165667B19E3779F9ULL;
inline constexpr std::uint64_t kP4 = 0x85EBCA77C2B2AE63ULL;
// Lane starts, the first stripe's keys and the keys' step per stripe.
inline constexpr std::uint64_t kInit[kLanes] = {
    0x243F6A8885A308D3ULL, 0x13198A2E03707344ULL, 0xA4093822299F31D0ULL, 0x082EFA98EC4E6C89ULL,
    0x452821E638D01377ULL, 0xBE5466CF34E90C6CULL, 0xC0AC29B7C97C50DDULL, 0x3F84D5B5B5470917ULL};
inline constexpr std::uint64_t kKey[kLanes] = {
    0x9216D5D98979FB1BULL, 0xD1310BA698DFB5ACULL, 0x2FFD72DBD01ADFB7ULL, 0xB8E1AFED6A267E96ULL,
    0xBA7C9045F12C7F99ULL, 0x24A19947B3916CF7ULL, 0x0801F2E2858EFC16ULL, 0x636920D871574E69ULL};
inline constexpr std::uint64_t kStep[kLanes] = {
    0xA458FEA3F4933D7FULL, 0x0D95748F728EB658ULL, 0x718BCD5882154AEEULL, 0x7B54A41DC25A59B5ULL,
    0x9C30D5392AF26013ULL, 0xC5D1B023286085F0ULL, 0xCA417918B8DB38EFULL, 0x8E79DCB0603A180EULL};

inline std::uint64_t Rotl(std::uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }
inline std::uint64_t Avalanche(std::uint64_t h) {
  h ^= h >> 33;
  h *= kP2;
  h ^= h >> 29;
  h *= kP3;
  return h ^ (h >> 32);
}
inline std::uint64_t Scramble(std::uint64_t acc) { return (acc ^ (acc >> 47)) * kP1; }

// Takes the stripes of data[0, stripes * kStripe) on from stripe `first` (the keys' and the
// scrambles' count), scalar.
void StripesScalar(std::uint64_t* acc, const unsigned char* data, std::size_t first,
                   std::size_t stripes);
// The zero-padded tail (when `rest` bytes remain), then the fold.
std::uint64_t Finish(std::uint64_t* acc, const unsigned char* tail, std::size_t rest,
                     std::size_t stripes, std::size_t bytes, std::uint64_t seed);

}  // namespace chunk_hash

}  // namespace zanth
