#include "core_test.h"
#include "base/id_key.h"
#include "base/status.h"

namespace zanth {

TEST_CASE(routing_matches_magnitude_modulo) {
  struct Row { std::int64_t id; std::size_t five, four; };
  const Row rows[] = {{0, 0, 0}, {7, 2, 3}, {-7, 2, 3}, {12, 2, 0},
                      {INT64_MAX, 2, 3}, {INT64_MIN, 3, 0}};
  for (const Row& r : rows) {
    CHECK(ShardOfId(r.id, 5) == r.five);
    CHECK(ShardOfId(r.id, 4) == r.four);
  }
}

TEST_CASE(id_keys_are_little_endian_twos_complement) {
  IdKey k = EncodeId(258);
  CHECK(static_cast<unsigned char>(k[0]) == 2 && static_cast<unsigned char>(k[1]) == 1);
  IdKey m = EncodeId(INT64_MIN);
  CHECK(static_cast<unsigned char>(m[7]) == 0x80 && m[0] == 0);
  CHECK(DecodeId(EncodeId(-2).data()) == -2);
}

TEST_CASE(lmdb_error_names) {
  CHECK(LmdbErrorName(-30799) == "KeyExist");
  CHECK(LmdbErrorName(-30792) == "MapFull");
  CHECK(LmdbErrorName(-30780) == "BadDbi");
  CHECK(LmdbErrorName(13) == "Other(13)");
  CHECK(Status::Lmdb(-30792, "x").ToString() == "LMDB: MDB_MAP_FULL: Environment mapsize limit reached");
}

}  // namespace zanth
