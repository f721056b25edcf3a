#include "index/index_records.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "index/index_routing.h"
#include "base/id_key.h"
#include "store/shard_writer.h"

namespace zanth {

namespace {

// One shard's record keys, packed into a single buffer: a batch of a million entries would
// otherwise cost a heap allocation per key, and sorting offsets moves 16 bytes, not strings.
struct ShardBatch {
  std::string bytes;
  struct Span {
    std::size_t offset;
    std::size_t size;
  };
  std::vector<Span> records;

  void Add(std::string_view key, std::int64_t id) {
    std::size_t offset = bytes.size();
    bytes.append(key);
    bytes.push_back(kIndexSeparator);
    IdKey id_key = EncodeId(id);
    bytes.append(id_key.data(), id_key.size());
    records.push_back({offset, key.size() + kIndexRecordOverhead});
  }
  std::string_view At(const Span& s) const { return {bytes.data() + s.offset, s.size}; }

  // Byte-wise ascending; a proper prefix first (std::string_view's comparison is unsigned
  // through char_traits<char>::compare, which is memcmp).
  void Sort() {
    std::sort(records.begin(), records.end(),
              [this](const Span& a, const Span& b) { return At(a) < At(b); });
  }
};

// Routes every entry to its shard. Keys repeat heavily in practice (many ids per key), so each
// distinct key is hashed once per batch.
Result<std::vector<ShardBatch>> BuildBatches(std::span<const IndexEntry> entries,
                                             std::size_t num_shards) {
  std::vector<ShardBatch> batches(num_shards);
  std::unordered_map<std::string_view, std::size_t> shard_of_key;
  std::string_view previous_key;
  std::size_t previous_shard = 0;
  bool have_previous = false;
  for (const IndexEntry& entry : entries) {
    if (entry.key.size() > kMaxIndexKeyBytes) {
      return Status::InvalidArgument("index key longer than " + std::to_string(kMaxIndexKeyBytes) + " UTF-8 bytes");
    }
    std::size_t shard;
    if (have_previous && entry.key == previous_key) {
      shard = previous_shard;
    } else if (auto it = shard_of_key.find(entry.key); it != shard_of_key.end()) {
      shard = it->second;
    } else {
      Result<std::size_t> routed = IndexShardOf(entry.key, num_shards);
      if (!routed.ok()) return routed.status();
      shard = routed.value();
      shard_of_key.emplace(entry.key, shard);
    }
    previous_key = entry.key;
    previous_shard = shard;
    have_previous = true;
    batches[shard].Add(entry.key, entry.id);
  }
  return batches;
}

using RecordFn = int (*)(MDB_txn*, MDB_dbi, std::string_view);

int PutRecord(MDB_txn* txn, MDB_dbi dbi, std::string_view record_key) {
  MDB_val key = ToVal(record_key);
  MDB_val value{0, nullptr};
  int rc = mdb_put(txn, dbi, &key, &value, MDB_NOOVERWRITE);
  return rc == MDB_KEYEXIST ? 0 : rc;
}

int DeleteRecord(MDB_txn* txn, MDB_dbi dbi, std::string_view record_key) {
  MDB_val key = ToVal(record_key);
  int rc = mdb_del(txn, dbi, &key, nullptr);
  return rc == MDB_NOTFOUND ? 0 : rc;
}

Status ApplyToShards(const StoreHandle& store, const char* operation,
                     std::span<const IndexEntry> entries, RecordFn apply) {
  auto built = BuildBatches(entries, store.num_shards());
  if (!built.ok()) return built.status();
  std::vector<ShardBatch>& batches = built.value();
  return WriteShards(
      store, operation, [&](std::size_t s) { return !batches[s].records.empty(); },
      [&](std::size_t s, MDB_txn* txn, MDB_dbi dbi) -> Status {
        ShardBatch& batch = batches[s];
        batch.Sort();
        for (const ShardBatch::Span& record : batch.records) {
          if (int rc = apply(txn, dbi, batch.At(record)); rc != 0) {
            return Status::Lmdb(rc, LmdbStep::kWrite, ShardContext(operation, s));
          }
        }
        return Status::Ok();
      });
}

}  // namespace

std::string IndexRecordKey(std::string_view key, std::int64_t id) {
  std::string record(key);
  record.push_back(kIndexSeparator);
  IdKey id_key = EncodeId(id);
  record.append(id_key.data(), id_key.size());
  return record;
}

Status InsertIndexEntries(const StoreHandle& store, std::span<const IndexEntry> entries) {
  if (entries.empty()) return Status::Ok();
  if (store.num_shards() == 0) {
    return Status::InvalidArgument("the store has no shards to hold index entries");
  }
  return ApplyToShards(store, "batch_index_insert", entries, PutRecord);
}

Status DeleteIndexEntries(const StoreHandle& store, std::span<const IndexEntry> entries) {
  if (entries.empty() || store.num_shards() == 0) return Status::Ok();
  return ApplyToShards(store, "batch_index_delete", entries, DeleteRecord);
}

}  // namespace zanth
