#include <cstdio>
#include <string>

#include "core_test.h"
#include "index/index_records.h"
#include "index/index_routing.h"

namespace zanth {

namespace {
std::string Hex(const Md5Digest& d) {
  std::string out;
  char buf[3];
  for (unsigned char b : d) {
    std::snprintf(buf, sizeof buf, "%02x", b);
    out += buf;
  }
  return out;
}
}  // namespace

TEST_CASE(md5_matches_rfc1321_vectors) {
  Md5Digest d;
  CHECK(ComputeMd5("", &d) && Hex(d) == "d41d8cd98f00b204e9800998ecf8427e");
  CHECK(ComputeMd5("abc", &d) && Hex(d) == "900150983cd24fb0d6963f7d28e17f72");
  CHECK(ComputeMd5("message digest", &d) && Hex(d) == "f96b697d7cb7938d525a2f31aaf161d0");
}

// With 4 or 7 shards a little-endian reading or a 64-bit truncation gives other shards.
TEST_CASE(index_keys_route_by_big_endian_128_bit_digest) {
  struct Row {
    const char* key;
    std::size_t five, four, seven;
  };
  const Row rows[] = {{"", 1, 2, 1}, {"a", 2, 1, 0}, {"abc", 0, 2, 0}, {"color:red", 2, 0, 1}};
  for (const Row& r : rows) {
    CHECK(IndexShardOf(r.key, 5).value() == r.five);
    CHECK(IndexShardOf(r.key, 4).value() == r.four);
    CHECK(IndexShardOf(r.key, 7).value() == r.seven);
    CHECK(IndexShardOf(r.key, 1).value() == 0);
  }
}

TEST_CASE(shard_of_digest_uses_all_128_bits) {
  Md5Digest high{};
  high[0] = 1;  // 2^120
  // 2^120 mod 7 = 2^(120 mod 3) = 1; mod 1000003 computed by repeated doubling below.
  CHECK(ShardOfDigest(high, 7) == 1);
  unsigned long long expected = 1;
  for (int i = 0; i < 120; ++i) expected = expected * 2 % 1000003;
  CHECK(ShardOfDigest(high, 1000003) == expected);
  Md5Digest low{};
  low[15] = 9;
  CHECK(ShardOfDigest(low, 4) == 1);
}

TEST_CASE(index_record_key_layout) {
  std::string k = IndexRecordKey("color:red", 5);
  CHECK(k.size() == 18);
  CHECK(k.substr(0, 10) == "color:red|");
  CHECK(k[10] == 5 && k.substr(11) == std::string(7, '\0'));
  std::string neg = IndexRecordKey("", -2);
  CHECK(neg.size() == 9 && neg[0] == '|' && static_cast<unsigned char>(neg[1]) == 0xFE &&
        static_cast<unsigned char>(neg[8]) == 0xFF);
}

}  // namespace zanth
