#include "vectors/records/vector_append.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "store/lmdb_handles.h"
#include "base/id_key.h"
#include "store/shard_writer.h"
#include "vectors/records/vector_block.h"

namespace zanth {

namespace {

constexpr const char* kOperation = "store_flat_vectors";

void EncodeRow(const FloatRows& rows, std::size_t row, std::int64_t id, char* out) {
  std::memcpy(out, &id, kRecordIdSize);  // little-endian host, as EncodeId assumes
  if (rows.cols == 0) return;
  const char* src = rows.data + static_cast<std::ptrdiff_t>(row) * rows.row_stride;
  char* values = out + kRecordIdSize;
  if (rows.col_stride == static_cast<std::ptrdiff_t>(sizeof(float))) {
    std::memcpy(values, src, rows.cols * sizeof(float));
    return;
  }
  for (std::size_t c = 0; c < rows.cols; ++c) {
    std::memcpy(values + c * sizeof(float), src + static_cast<std::ptrdiff_t>(c) * rows.col_stride,
                sizeof(float));
  }
}

// Writes block `number` holding `prefix` (records already encoded) followed by the records of
// rows[first, first + count), encoded in place in the space LMDB reserves for the value.
Status PutBlock(MDB_txn* txn, MDB_dbi dbi, std::uint32_t number, std::string_view prefix,
                const VectorBatches& batches, const std::vector<std::size_t>& rows,
                std::size_t first, std::size_t count, const char* operation, std::size_t shard) {
  const std::size_t record_size = batches.record_size;
  BlockKey block_key = EncodeBlockKey(number);
  MDB_val key = ToVal(std::string_view(block_key.data(), block_key.size()));
  MDB_val val{prefix.size() + count * record_size, nullptr};
  if (int rc = mdb_put(txn, dbi, &key, &val, MDB_RESERVE); rc != 0) {
    return Status::Lmdb(rc, LmdbStep::kWrite, ShardContext(operation, shard) + ": put block " +
                                std::to_string(number));
  }
  char* out = static_cast<char*>(val.mv_data);
  if (!prefix.empty()) std::memcpy(out, prefix.data(), prefix.size());
  out += prefix.size();
  for (std::size_t j = first; j < first + count; ++j, out += record_size) {
    EncodeRow(batches.source, rows[j], batches.ids[rows[j]], out);
  }
  return Status::Ok();
}

Status NextBlockNumber(std::uint32_t number, std::uint32_t* next) {
  if (number == UINT32_MAX) return Status::InvalidArgument("no vector block number left");
  *next = number + 1;
  return Status::Ok();
}

}  // namespace

Status AppendVectorsToShard(MDB_txn* txn, MDB_dbi dbi, const char* operation, std::size_t shard,
                            const VectorBatches& batches) {
  const std::vector<std::size_t>& rows = batches.shards[shard];
  const std::size_t record_size = batches.record_size;
  const std::size_t block_bytes = kBlockCapacity * record_size;
  auto last = FindLastBlock(txn, dbi);
  if (!last.ok()) return last.status();
  std::uint32_t number = 0;
  std::size_t written = 0;  // records of the batch already in a block
  if (last.value().found) {
    const LastBlock& block = last.value();
    BlockKey key = EncodeBlockKey(block.number);
    if (Status s = CheckBlockLength({key.data(), key.size()}, block.value.size(), record_size,
                                    shard);
        !s.ok()) {
      return s;
    }
    number = block.number;
    if (block.value.size() >= block_bytes) {
      if (Status s = NextBlockNumber(number, &number); !s.ok()) return s;
    } else {
      // Top up: the old records stay first. The copy is needed because the put may move the
      // page the old value lives on.
      std::size_t room = (block_bytes - block.value.size()) / record_size;
      std::size_t take = std::min(room, rows.size());
      std::string old(block.value);
      if (Status s = PutBlock(txn, dbi, number, old, batches, rows, 0, take, operation, shard); !s.ok()) {
        return s;
      }
      written = take;
      if (written < rows.size()) {
        if (Status s = NextBlockNumber(number, &number); !s.ok()) return s;
      }
    }
  }
  while (written < rows.size()) {
    std::size_t take = std::min(kBlockCapacity, rows.size() - written);
    if (Status s = PutBlock(txn, dbi, number, {}, batches, rows, written, take, operation, shard); !s.ok()) {
      return s;
    }
    written += take;
    if (written < rows.size()) {
      if (Status s = NextBlockNumber(number, &number); !s.ok()) return s;
    }
  }
  return Status::Ok();
}

Result<VectorBatches> BuildVectorBatches(const FloatRows& rows, std::span<const std::int64_t> ids,
                                         std::size_t num_shards) {
  if (ids.size() > rows.rows) {
    return Status::InvalidArgument("more identifiers (" + std::to_string(ids.size()) +
                                   ") than rows of data (" + std::to_string(rows.rows) + ")");
  }
  VectorBatches batches;
  batches.record_size = static_cast<std::size_t>(RecordSize(rows.cols));
  if (ids.empty()) return batches;
  if (num_shards == 0) return Status::InvalidArgument("the store has no shards to hold vectors");
  batches.source = rows;
  batches.ids = ids.data();
  batches.shards.resize(num_shards);
  // Count first so every list is allocated once, at its final size.
  std::vector<std::size_t> counts(num_shards, 0);
  for (std::int64_t id : ids) ++counts[ShardOfId(id, num_shards)];
  for (std::size_t s = 0; s < num_shards; ++s) batches.shards[s].reserve(counts[s]);
  for (std::size_t i = 0; i < ids.size(); ++i) {
    batches.shards[ShardOfId(ids[i], num_shards)].push_back(i);
  }
  return batches;
}

Status CheckVectorBatches(const StoreHandle& store, const VectorBatches& batches,
                          const char* operation) {
  if (batches.shards.empty()) return Status::Ok();
  return ReadShards(
      store, operation, [&](std::size_t s) { return !batches.shards[s].empty(); },
      [&](std::size_t s, MDB_txn* txn, MDB_dbi dbi) -> Status {
        auto last = FindLastBlock(txn, dbi);
        if (!last.ok()) return last.status();
        if (!last.value().found) return Status::Ok();
        BlockKey key = EncodeBlockKey(last.value().number);
        return CheckBlockLength({key.data(), key.size()}, last.value().value.size(),
                                batches.record_size, s);
      });
}

Status AppendVectorBatches(const StoreHandle& store, const VectorBatches& batches) {
  if (batches.shards.empty()) return Status::Ok();
  const std::size_t record_size = batches.record_size;
  auto has_work = [&](std::size_t s) { return !batches.shards[s].empty(); };
  // A dimension mismatch anywhere must leave every shard unwritten, so look before writing.
  if (Status checked = CheckVectorBatches(store, batches, kOperation); !checked.ok()) {
    return checked;
  }
  ShardChange change;
  change.kind = ShardChange::Kind::kAppend;
  change.index = ShardChange::Index::kUnchanged;  // vector blocks only
  change.dim = (record_size - kRecordIdSize) / sizeof(float);
  std::vector<char> wrote(batches.shards.size(), 1);  // a shard with work always puts a block
  change.wrote = &wrote;
  for (const auto& rows : batches.shards) change.appended.push_back(rows.size());
  return WriteShards(
      store, kOperation, has_work,
      [&](std::size_t s, MDB_txn* txn, MDB_dbi dbi) {
        return AppendVectorsToShard(txn, dbi, kOperation, s, batches);
      },
      change);
}

}  // namespace zanth
