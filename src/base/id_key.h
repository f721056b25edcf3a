// Where a record id lives: its shard and the 8 bytes that stand for it in keys.
#pragma once

#include <cassert>
#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace zanth {

// Bytes of an id in every key and record that holds one: the signed 64-bit id itself.
inline constexpr std::size_t kIdKeySize = sizeof(std::int64_t);

using IdKey = std::array<char, kIdKeySize>;

// The one id that can never name a live vector: deleted vector records carry it.
inline constexpr std::int64_t kTombstoneId = INT64_MIN;

// Shard of an id: its magnitude as an unsigned 64-bit value, modulo the shard count.
// Negating in unsigned arithmetic gives 2^63 for INT64_MIN without overflow.
inline std::size_t ShardOfId(std::int64_t id, std::size_t num_shards) {
  assert(num_shards > 0);
  std::uint64_t u = static_cast<std::uint64_t>(id);
  std::uint64_t magnitude = id < 0 ? (~u + 1) : u;
  return static_cast<std::size_t>(magnitude % num_shards);
}

// Two's complement, least significant byte first (the machine order on every target we build).
inline IdKey EncodeId(std::int64_t id) {
  static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "id keys assume a little-endian host");
  IdKey key;
  std::memcpy(key.data(), &id, sizeof id);
  return key;
}

inline std::int64_t DecodeId(const void* bytes) {
  std::int64_t id;
  std::memcpy(&id, bytes, sizeof id);
  return id;
}

inline std::string_view KeyView(const IdKey& key) { return {key.data(), key.size()}; }

}  // namespace zanth
