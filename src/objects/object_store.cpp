#include "objects/object_store.h"

#include <algorithm>
#include <cstring>

#include "pool/worker_pool.h"
#include "base/id_key.h"
#include "store/shard_writer.h"

namespace zanth {

namespace {

bool KeyLess(const IdKey& a, const IdKey& b) { return std::memcmp(a.data(), b.data(), 8) < 0; }

}  // namespace

std::vector<std::vector<KeyedRecord>> RouteObjectIds(std::span<const std::int64_t> ids,
                                                     std::size_t num_shards) {
  std::vector<std::vector<KeyedRecord>> batches(num_shards);
  for (std::size_t i = 0; i < ids.size(); ++i) {
    batches[ShardOfId(ids[i], num_shards)].push_back({EncodeId(ids[i]), i});
  }
  for (auto& batch : batches) {
    std::sort(batch.begin(), batch.end(), [](const KeyedRecord& a, const KeyedRecord& b) {
      int c = std::memcmp(a.key.data(), b.key.data(), 8);
      return c != 0 ? c < 0 : a.position < b.position;
    });
    // Keep the last record of each run of equal keys.
    auto out = batch.begin();
    for (auto it = batch.begin(); it != batch.end(); ++it) {
      auto next = it + 1;
      if (next != batch.end() && !KeyLess(it->key, next->key)) continue;
      *out++ = *it;
    }
    batch.erase(out, batch.end());
  }
  return batches;
}

ObjectPadding PaddingOfPages(MDB_txn* txn, MDB_dbi dbi) {
  MDB_stat stat;
  if (mdb_stat(txn, dbi, &stat) != 0 || stat.ms_psize == 0) return ObjectPadding();
  // A leaf node over half a page never stays in the leaf: LMDB keeps at least two per page.
  return ObjectPadding{stat.ms_psize / 3, stat.ms_psize / 2};
}

Status PutObjectRecords(MDB_txn* txn, MDB_dbi dbi, const char* operation, std::size_t shard,
                        std::span<const KeyedRecord> records,
                        std::span<const std::string_view> values, ObjectPadding padding) {
  // Records are sorted: those past the last stored key are a suffix, put as appends.
  std::size_t appends_from = 0;
  {
    Cursor cursor;
    MDB_val last, ignored;
    int rc = cursor.Open(txn, dbi);
    if (rc == 0) rc = cursor.Get(&last, &ignored, MDB_LAST);
    if (rc != 0 && rc != MDB_NOTFOUND) {
      return Status::Lmdb(rc, LmdbStep::kWrite, ShardContext(operation, shard));
    }
    if (rc == 0) {
      const std::string_view stored(static_cast<const char*>(last.mv_data), last.mv_size);
      appends_from = static_cast<std::size_t>(
          std::partition_point(records.begin(), records.end(),
                               [&](const KeyedRecord& r) { return KeyView(r.key) <= stored; }) -
          records.begin());
    }
  }
  for (std::size_t i = 0; i < records.size(); ++i) {
    const KeyedRecord& record = records[i];
    MDB_val key = ToVal(KeyView(record.key));
    const std::string_view given = values[record.position];
    const bool append = i >= appends_from;
    const bool padded = !append && given.size() > padding.above && given.size() < padding.to;
    MDB_val value = padded ? MDB_val{padding.to, nullptr} : ToVal(given);
    const unsigned flags = padded ? MDB_RESERVE : append ? MDB_APPEND : 0;
    if (int rc = mdb_put(txn, dbi, &key, &value, flags); rc != 0) {
      return Status::Lmdb(rc, LmdbStep::kWrite, ShardContext(operation, shard));
    }
    if (padded) {
      char* out = static_cast<char*>(value.mv_data);
      std::memcpy(out, given.data(), given.size());
      std::memset(out + given.size(), 0, padding.to - given.size());
    }
  }
  return Status::Ok();
}

Status DeleteObjectRecords(MDB_txn* txn, MDB_dbi dbi, const char* operation, std::size_t shard,
                           std::span<const KeyedRecord> records) {
  for (const KeyedRecord& record : records) {
    MDB_val key = ToVal(KeyView(record.key));
    int rc = mdb_del(txn, dbi, &key, nullptr);
    if (rc != 0 && rc != MDB_NOTFOUND) {
      return Status::Lmdb(rc, LmdbStep::kWrite, ShardContext(operation, shard));
    }
  }
  return Status::Ok();
}

Status PutObjects(const StoreHandle& store, std::span<const std::int64_t> ids,
                  std::span<const std::string_view> values) {
  if (ids.size() != values.size()) return Status::InvalidArgument("Length mismatch");
  if (ids.empty()) return Status::Ok();
  if (store.num_shards() == 0) {
    return Status::InvalidArgument("the store has no shards to hold objects");
  }
  auto batches = RouteObjectIds(ids, store.num_shards());
  ShardChange change;  // objects only
  change.index = ShardChange::Index::kUnchanged;
  std::vector<char> wrote(store.num_shards(), 1);  // a shard with work always puts
  change.wrote = &wrote;
  return WriteShards(
      store, "store_data", [&](std::size_t s) { return !batches[s].empty(); },
      [&](std::size_t s, MDB_txn* txn, MDB_dbi dbi) {
        return PutObjectRecords(txn, dbi, "store_data", s, batches[s], values);
      },
      change);
}

Result<ObjectValues> GetObjects(const StoreHandle& store, std::span<const std::int64_t> ids) {
  ObjectValues values(ids.size(), store.num_shards());
  if (ids.empty() || store.num_shards() == 0) return values;
  std::vector<std::vector<std::size_t>> lookups(store.num_shards());
  for (std::size_t i = 0; i < ids.size(); ++i) {
    lookups[ShardOfId(ids[i], store.num_shards())].push_back(i);
  }
  Status status = ReadShards(
      store, "get_data", [&](std::size_t s) { return !lookups[s].empty(); },
      [&](std::size_t s, MDB_txn* txn, MDB_dbi dbi) -> Status {
        // Looked up in key order, so consecutive lookups walk neighbouring pages of the tree.
        std::vector<KeyedRecord> keyed(lookups[s].size());
        for (std::size_t j = 0; j < keyed.size(); ++j) {
          keyed[j] = {EncodeId(ids[lookups[s][j]]), lookups[s][j]};
        }
        std::sort(keyed.begin(), keyed.end(),
                  [](const KeyedRecord& a, const KeyedRecord& b) { return KeyLess(a.key, b.key); });
        // First the values are found (views into the map, valid in this transaction), then
        // copied into one buffer of their total size.
        std::vector<std::string_view> found(keyed.size());
        std::size_t total = 0;
        for (std::size_t j = 0; j < keyed.size(); ++j) {
          MDB_val key = ToVal(KeyView(keyed[j].key));
          MDB_val value;
          // Only MDB_NOTFOUND means "not stored"; any other failure (a damaged page) is the
          // read's error, never an object reported missing.
          if (int rc = mdb_get(txn, dbi, &key, &value); rc != 0) {
            if (rc == MDB_NOTFOUND) continue;
            return Status::Lmdb(rc, LmdbStep::kOther, "get_data: shard " + std::to_string(s));
          }
          found[j] = ToView(value);
          total += found[j].size();
          ObjectValues::Slot& slot = values.slots_[keyed[j].position];
          slot.found = true;
          slot.shard = static_cast<std::uint32_t>(s);
        }
        std::string& arena = values.arenas_[s];
        arena.resize(total);
        std::size_t offset = 0;
        for (std::size_t j = 0; j < keyed.size(); ++j) {
          ObjectValues::Slot& slot = values.slots_[keyed[j].position];
          if (!slot.found) continue;
          std::memcpy(arena.data() + offset, found[j].data(), found[j].size());
          slot.offset = offset;
          slot.length = found[j].size();
          offset += found[j].size();
        }
        return Status::Ok();
      });
  if (!status.ok()) return status;
  return values;
}

Status DeleteObjects(const StoreHandle& store, std::span<const std::int64_t> ids) {
  if (ids.empty() || store.num_shards() == 0) return Status::Ok();
  auto batches = RouteObjectIds(ids, store.num_shards());
  ShardChange change;  // objects only
  change.index = ShardChange::Index::kUnchanged;
  return WriteShards(
      store, "delete_data", [&](std::size_t s) { return !batches[s].empty(); },
      [&](std::size_t s, MDB_txn* txn, MDB_dbi dbi) {
        return DeleteObjectRecords(txn, dbi, "delete_data", s, batches[s]);
      },
      change);
}

Result<std::uint64_t> CountRecords(const StoreHandle& store) {
  if (Status s = store.CheckProcess(); !s.ok()) return s;
  std::vector<std::uint64_t> counts(store.num_shards(), 0);
  Status status = WorkerPool::Instance().Run(store.num_shards(), [&](std::size_t s) -> Status {
    MDB_stat stat;
    if (int rc = store.environment(s).Stat(&stat); rc != 0) {
      return Status::Lmdb(rc, LmdbStep::kStat, ShardContext("get_data_count", s));
    }
    counts[s] = stat.ms_entries;
    return Status::Ok();
  });
  if (!status.ok()) return status;
  std::uint64_t total = 0;
  for (std::uint64_t c : counts) total += c;
  return total;
}

}  // namespace zanth
