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

// Keys repeat heavily in practice (many ids per key), so each distinct key is hashed once per
// batch.
Result<std::vector<IndexShardBatch>> RouteIndexEntries(std::span<const IndexEntry> entries,
                                                       std::size_t num_shards) {
  std::vector<IndexShardBatch> batches(num_shards);
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

namespace {

// Records are applied in key order through one cursor: LMDB finds a key on the cursor's
// current leaf page without descending the tree again, and consecutive records of a batch
// mostly share a page (a key's new ids follow one another).
using RecordFn = int (*)(MDB_cursor*, std::string_view);

int PutRecord(MDB_cursor* cursor, std::string_view record_key) {
  MDB_val key = ToVal(record_key);
  MDB_val value{0, nullptr};
  int rc = mdb_cursor_put(cursor, &key, &value, MDB_NOOVERWRITE);
  return rc == MDB_KEYEXIST ? 0 : rc;
}

int DeleteRecord(MDB_cursor* cursor, std::string_view record_key) {
  MDB_val key = ToVal(record_key);
  MDB_val value;
  int rc = mdb_cursor_get(cursor, &key, &value, MDB_SET);
  if (rc == MDB_NOTFOUND) return 0;
  return rc != 0 ? rc : mdb_cursor_del(cursor, 0);
}

Status ApplyRecords(MDB_txn* txn, MDB_dbi dbi, const char* operation, std::size_t shard,
                    IndexShardBatch& batch, RecordFn apply) {
  if (batch.records.empty()) return Status::Ok();
  batch.Sort();
  Cursor cursor;
  if (int rc = cursor.Open(txn, dbi); rc != 0) {
    return Status::Lmdb(rc, LmdbStep::kWrite, ShardContext(operation, shard));
  }
  for (const IndexShardBatch::Span& record : batch.records) {
    if (int rc = apply(cursor.get(), batch.At(record)); rc != 0) {
      return Status::Lmdb(rc, LmdbStep::kWrite, ShardContext(operation, shard));
    }
  }
  return Status::Ok();
}

Status ApplyToShards(const StoreHandle& store, const char* operation,
                     std::span<const IndexEntry> entries, RecordFn apply, bool removes) {
  auto built = RouteIndexEntries(entries, store.num_shards());
  if (!built.ok()) return built.status();
  std::vector<IndexShardBatch>& batches = built.value();
  std::vector<std::vector<std::string_view>> listed(store.num_shards()), none(store.num_shards());
  ShardChange change;
  change.index = ShardChange::Index::kListed;
  change.index_removed = removes ? &listed : &none;
  change.index_put = removes ? &none : &listed;
  return WriteShards(
      store, operation, [&](std::size_t s) { return !batches[s].records.empty(); },
      [&](std::size_t s, MDB_txn* txn, MDB_dbi dbi) -> Status {
        Status status = ApplyRecords(txn, dbi, operation, s, batches[s], apply);
        if (status.ok()) listed[s] = batches[s].Views();
        return status;
      },
      change);
}

}  // namespace

std::vector<std::string_view> IndexShardBatch::Views() const {
  std::vector<std::string_view> views;
  views.reserve(records.size());
  for (const Span& record : records) views.push_back(At(record));
  return views;
}

void IndexShardBatch::Add(std::string_view key, std::int64_t id) {
  std::size_t offset = bytes.size();
  bytes.append(key);
  bytes.push_back(kIndexSeparator);
  IdKey id_key = EncodeId(id);
  bytes.append(id_key.data(), id_key.size());
  records.push_back({offset, key.size() + kIndexRecordOverhead});
}

// std::string_view's comparison is unsigned through char_traits<char>::compare (memcmp), so a
// proper prefix sorts first, as in LMDB.
void IndexShardBatch::Sort() {
  std::sort(records.begin(), records.end(),
            [this](const Span& a, const Span& b) { return At(a) < At(b); });
}

Status InsertIndexRecords(MDB_txn* txn, MDB_dbi dbi, const char* operation, std::size_t shard,
                          IndexShardBatch& batch) {
  return ApplyRecords(txn, dbi, operation, shard, batch, PutRecord);
}

Status DeleteIndexRecords(MDB_txn* txn, MDB_dbi dbi, const char* operation, std::size_t shard,
                          IndexShardBatch& batch) {
  return ApplyRecords(txn, dbi, operation, shard, batch, DeleteRecord);
}

std::string IndexRecordKey(std::string_view key, std::int64_t id) {
  std::string record(key);
  record.push_back(kIndexSeparator);
  IdKey id_key = EncodeId(id);
  record.append(id_key.data(), id_key.size());
  return record;
}

std::uint64_t KeyOrderAt(const char* at) {
  std::uint64_t raw;
  std::memcpy(&raw, at, sizeof raw);
  return __builtin_bswap64(raw);
}

std::string_view RangeNamespace(std::string_view start) {
  std::size_t colon = start.find(':');
  return colon == std::string_view::npos ? std::string_view() : start.substr(0, colon + 1);
}

Status InsertIndexEntries(const StoreHandle& store, std::span<const IndexEntry> entries) {
  if (entries.empty()) return Status::Ok();
  if (store.num_shards() == 0) {
    return Status::InvalidArgument("the store has no shards to hold index entries");
  }
  return ApplyToShards(store, "batch_index_insert", entries, PutRecord, false);
}

Status DeleteIndexEntries(const StoreHandle& store, std::span<const IndexEntry> entries) {
  if (entries.empty() || store.num_shards() == 0) return Status::Ok();
  return ApplyToShards(store, "batch_index_delete", entries, DeleteRecord, true);
}

}  // namespace zanth
