#include "vectors/records/vector_block.h"

#include <cstring>

#include "store/lmdb_handles.h"
#include "store/shard_writer.h"

namespace zanth {

BlockKey EncodeBlockKey(std::uint32_t number) {
  return BlockKey{kVectorKeyPrefix, static_cast<char>(number >> 24),
                  static_cast<char>(number >> 16), static_cast<char>(number >> 8),
                  static_cast<char>(number)};
}

std::uint32_t DecodeBlockNumber(std::string_view key) {
  std::uint32_t number = 0;
  for (std::size_t i = 1; i < kBlockKeySize; ++i) {
    number = (number << 8) | static_cast<unsigned char>(key[i]);
  }
  return number;
}

Status CheckBlockLength(std::string_view key, std::size_t length, std::uint64_t record_size,
                        std::size_t shard) {
  if (length % record_size == 0) return Status::Ok();
  return Status::InvalidArgument(
      "vector block " + std::to_string(DecodeBlockNumber(key)) + " of shard " +
      std::to_string(shard) + " holds " + std::to_string(length) +
      " bytes, not a whole number of " + std::to_string(record_size) +
      "-byte records: the vectors were stored with another dimension");
}

Result<LastBlock> FindLastBlock(MDB_txn* txn, MDB_dbi dbi) {
  Cursor cursor;
  if (int rc = cursor.Open(txn, dbi); rc != 0) return Status::Lmdb(rc, LmdbStep::kCursor, "last block: cursor open");
  // Every key that begins with 0x70 sorts before the one-byte key 0x71.
  char past_range = kVectorKeyPrefix + 1;
  MDB_val key{1, &past_range};
  MDB_val value;
  int rc = cursor.Get(&key, &value, MDB_SET_RANGE);
  if (rc == MDB_NOTFOUND) {
    rc = cursor.Get(&key, &value, MDB_LAST);
  } else if (rc == 0) {
    rc = cursor.Get(&key, &value, MDB_PREV);
  }
  for (;;) {
    if (rc == MDB_NOTFOUND) return LastBlock{};
    if (rc != 0) return Status::Lmdb(rc, LmdbStep::kCursor, "last block: cursor step");
    std::string_view k = ToView(key);
    if (!InVectorKeyRange(k)) return LastBlock{};
    if (IsBlockKey(k)) return LastBlock{true, DecodeBlockNumber(k), ToView(value)};
    if (k.size() > kBlockKeySize) {
      // Every key between this key's first five bytes and the key itself shares those bytes and
      // is longer than five, so none is a block: jump over all of them at once (a shard can hold
      // many index keys beginning with 'p', all sorting after the real blocks).
      BlockKey prefix;
      std::memcpy(prefix.data(), k.data(), kBlockKeySize);
      std::string_view prefix_view(prefix.data(), prefix.size());
      key = ToVal(prefix_view);
      rc = cursor.Get(&key, &value, MDB_SET_RANGE);
      if (rc == 0 && ToView(key) == prefix_view) {
        return LastBlock{true, DecodeBlockNumber(prefix_view), ToView(value)};
      }
      if (rc != 0) continue;  // cannot be NOTFOUND: the key we came from is still there
    }
    rc = cursor.Get(&key, &value, MDB_PREV);
  }
}

Status ForEachBlock(MDB_txn* txn, MDB_dbi dbi, std::string_view start_key,
                    const BlockVisitor& visit) {
  Cursor cursor;
  if (int rc = cursor.Open(txn, dbi); rc != 0) return Status::Lmdb(rc, LmdbStep::kCursor, "vector blocks: cursor open");
  MDB_val key = ToVal(start_key);
  MDB_val value;
  int rc = cursor.Get(&key, &value, MDB_SET_RANGE);
  while (rc == 0) {
    std::string_view k = ToView(key);
    if (!InVectorKeyRange(k)) return Status::Ok();
    if (IsBlockKey(k)) {
      bool stop = false;
      if (Status s = visit(k, ToView(value), &stop); !s.ok()) return s;
      if (stop) return Status::Ok();
    } else if (k.size() > kBlockKeySize) {
      // Object and index records sort among the blocks. Every key from this one up to the next
      // block number shares its first five bytes and is longer than five, so none is a block:
      // after one plain step, jump past them all (a shard can hold a million index records
      // whose keys begin with 'p', all sharing a handful of five-byte prefixes).
      std::uint32_t number = DecodeBlockNumber(k);
      if (number == UINT32_MAX) return Status::Ok();
      BlockKey next = EncodeBlockKey(number + 1);
      std::string_view next_view(next.data(), next.size());
      rc = cursor.Get(&key, &value, MDB_NEXT);
      if (rc == 0 && ToView(key) < next_view) {
        key = ToVal(next_view);
        rc = cursor.Get(&key, &value, MDB_SET_RANGE);
      }
      continue;
    }
    rc = cursor.Get(&key, &value, MDB_NEXT);
  }
  if (rc == MDB_NOTFOUND) return Status::Ok();
  return Status::Lmdb(rc, LmdbStep::kCursor, "vector blocks: cursor step");
}

Status ListShardBlocks(const StoreHandle& store, std::size_t shard, std::size_t record_size,
                       const char* operation, Txn* txn,
                       const std::function<void(const char* value, std::size_t records)>& add) {
  if (int rc = txn->BeginRead(store.environment(shard)); rc != 0) {
    return Status::Lmdb(rc, LmdbStep::kBeginRead, ShardContext(operation, shard) + ": begin read");
  }
  Status walked = ForEachBlock(
      txn->get(), store.dbi(shard), VectorRangeStart(),
      [&](std::string_view key, std::string_view value, bool*) -> Status {
        if (Status s = CheckBlockLength(key, value.size(), record_size, shard); !s.ok()) return s;
        if (value.size() >= record_size) add(value.data(), value.size() / record_size);
        return Status::Ok();
      });
  if (walked.code() == StatusCode::kLmdb) return walked.WithContext(ShardContext(operation, shard));
  return walked;
}

}  // namespace zanth
