#include "index/index_routing.h"

#include <openssl/evp.h>

namespace zanth {

bool ComputeMd5(std::string_view bytes, Md5Digest* digest) {
  unsigned int size = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest->data(), &size, EVP_md5(), nullptr) != 1) {
    return false;
  }
  return size == digest->size();
}

std::size_t ShardOfDigest(const Md5Digest& digest, std::size_t num_shards) {
  unsigned __int128 value = 0;
  for (unsigned char byte : digest) value = (value << 8) | byte;
  return static_cast<std::size_t>(value % static_cast<unsigned __int128>(num_shards));
}

Result<std::size_t> IndexShardOf(std::string_view key, std::size_t num_shards) {
  Md5Digest digest;
  if (!ComputeMd5(key, &digest)) return Status::Internal("MD5 digest unavailable");
  return ShardOfDigest(digest, num_shards);
}

}  // namespace zanth
