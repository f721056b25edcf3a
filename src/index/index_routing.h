// Where an index key lives. All records of one index key share a shard, chosen by the MD5 of the
// key's UTF-8 bytes, so an exact lookup reads a single shard whatever ids the key holds.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "base/status.h"

namespace zanth {

using Md5Digest = std::array<unsigned char, 16>;

// MD5 (RFC 1321) of `bytes` through libcrypto. Returns false only when libcrypto cannot provide
// MD5 at all (a FIPS-only provider configuration, for instance).
bool ComputeMd5(std::string_view bytes, Md5Digest* digest);

// The digest read as a big-endian unsigned 128-bit integer (d[0] most significant), modulo
// `num_shards` in full 128-bit width. `num_shards` must be at least 1.
std::size_t ShardOfDigest(const Md5Digest& digest, std::size_t num_shards);

// Shard of an index key. Errors: kInternal when MD5 is unavailable.
Result<std::size_t> IndexShardOf(std::string_view key, std::size_t num_shards);

}  // namespace zanth
