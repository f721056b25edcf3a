#include "vectors/records/vector_maintenance.h"

#include <cassert>
#include <lmdb.h>

#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "index/id_set.h"
#include "store/lmdb_handles.h"
#include "base/id_key.h"
#include "store/shard_writer.h"
#include "vectors/records/vector_block.h"

namespace zanth {

namespace {

// Changed blocks are collected while the cursor walks and written once it is closed. Past this
// many bytes the walk pauses to write them, so a deletion that touches every block of a large
// shard does not hold a copy of the whole shard.
constexpr std::size_t kPendingBytesLimit = std::size_t{64} << 20;

// Decides a block's new value. Leaves `changed` false for a block that stays as it is; an empty
// `out` with `changed` true deletes the block.
using BlockRewrite = std::function<void(std::string_view value, bool* changed, std::string* out)>;

struct PendingRewrite {
  BlockKey key;
  std::string value;
};

Status ApplyRewrites(MDB_txn* txn, MDB_dbi dbi, const char* operation, std::size_t shard,
                     std::vector<PendingRewrite>& pending) {
  for (PendingRewrite& rewrite : pending) {
    MDB_val key = ToVal(std::string_view(rewrite.key.data(), rewrite.key.size()));
    const bool remove = rewrite.value.empty();
    MDB_val value = ToVal(rewrite.value);
    // A failed delete (a full map) fails the transaction as a failed put does: its error is
    // the one to report.
    int rc = remove ? mdb_del(txn, dbi, &key, nullptr) : mdb_put(txn, dbi, &key, &value, 0);
    if (rc != 0 && !(remove && rc == MDB_NOTFOUND)) {
      const std::uint32_t block =
          DecodeBlockNumber(std::string_view(rewrite.key.data(), kBlockKeySize));
      const char* step = remove ? ": delete block " : ": put block ";
      return Status::Lmdb(rc, LmdbStep::kWrite,
                          ShardContext(operation, shard) + step + std::to_string(block));
    }
  }
  pending.clear();
  return Status::Ok();
}

Status RewriteBlocks(MDB_txn* txn, MDB_dbi dbi, const char* operation, std::size_t shard,
                     std::uint64_t record_size, const BlockRewrite& rewrite) {
  std::string resume(VectorRangeStart());
  for (;;) {
    std::vector<PendingRewrite> pending;
    std::size_t pending_bytes = 0;
    bool paused = false;
    Status walked = ForEachBlock(
        txn, dbi, resume, [&](std::string_view key, std::string_view value, bool* stop) -> Status {
          if (pending_bytes >= kPendingBytesLimit) {
            resume.assign(key);  // not yet visited; it is still there when the walk resumes
            paused = true;
            *stop = true;
            return Status::Ok();
          }
          if (Status s = CheckBlockLength(key, value.size(), record_size, shard); !s.ok()) {
            return s;
          }
          assert(value.size() % record_size == 0);
          bool changed = false;
          std::string out;
          rewrite(value, &changed, &out);
          if (changed) {
            PendingRewrite& p = pending.emplace_back();
            std::memcpy(p.key.data(), key.data(), kBlockKeySize);
            pending_bytes += out.size() + sizeof(PendingRewrite);
            p.value = std::move(out);
          }
          return Status::Ok();
        });
    if (!walked.ok()) {
      if (walked.code() == StatusCode::kLmdb) {
        return walked.WithContext(ShardContext(operation, shard));
      }
      return walked;
    }
    if (Status s = ApplyRewrites(txn, dbi, operation, shard, pending); !s.ok()) return s;
    if (!paused) return Status::Ok();
  }
}

}  // namespace

Status TombstoneVectorsInShard(MDB_txn* txn, MDB_dbi dbi, const char* operation,
                               std::size_t shard, const IdHashSet& doomed, std::uint64_t dim,
                               bool* wrote) {
  const std::uint64_t record_size = RecordSize(dim);
  BlockRewrite mark = [&](std::string_view value, bool* changed, std::string* out) {
    for (std::size_t offset = 0; value.size() - offset >= record_size; offset += record_size) {
      if (!doomed.contains(DecodeId(value.data() + offset))) continue;
      if (!*changed) {
        out->assign(value);
        *changed = true;
        *wrote = true;
      }
      std::memcpy(out->data() + offset, &kTombstoneId, kRecordIdSize);
    }
  };
  return RewriteBlocks(txn, dbi, operation, shard, record_size, mark);
}

Status DeleteVectors(const StoreHandle& store, std::span<const std::int64_t> ids,
                     std::uint64_t dim) {
  IdHashSet doomed;
  doomed.reserve(ids.size());
  for (std::int64_t id : ids) {
    if (id != kTombstoneId) doomed.insert(id);
  }
  if (doomed.empty() || store.num_shards() == 0) return Status::Ok();
  const char* operation = "delete_flat_vectors";
  ShardChange change;
  change.kind = ShardChange::Kind::kTombstones;
  change.index = ShardChange::Index::kUnchanged;  // vector blocks only
  change.dim = dim;
  change.ids = ids;
  std::vector<char> wrote(store.num_shards(), 0);
  change.wrote = &wrote;
  return WriteShards(
      store, operation, [](std::size_t) { return true; },
      [&](std::size_t s, MDB_txn* txn, MDB_dbi dbi) {
        bool changed = false;
        Status status = TombstoneVectorsInShard(txn, dbi, operation, s, doomed, dim, &changed);
        wrote[s] = changed;
        return status;
      },
      change);
}

Result<std::uint64_t> CompactVectors(const StoreHandle& store, std::uint64_t dim) {
  if (store.num_shards() == 0) return std::uint64_t{0};
  const std::uint64_t record_size = RecordSize(dim);
  std::vector<std::uint64_t> removed(store.num_shards(), 0);
  const char* operation = "compact_vectors";
  ShardChange change;
  change.kind = ShardChange::Kind::kRewrite;
  change.index = ShardChange::Index::kUnchanged;  // vector blocks only
  change.dim = dim;
  std::vector<char> wrote(store.num_shards(), 0);
  change.wrote = &wrote;
  Status status = WriteShards(
      store, operation, [](std::size_t) { return true; },
      [&](std::size_t s, MDB_txn* txn, MDB_dbi dbi) {
        std::uint64_t count = 0;
        BlockRewrite squeeze = [&](std::string_view value, bool* changed, std::string* out) {
          for (std::size_t offset = 0; value.size() - offset >= record_size;
               offset += record_size) {
            if (DecodeId(value.data() + offset) == kTombstoneId) {
              if (!*changed) {
                out->assign(value.substr(0, offset));
                *changed = true;
              }
              ++count;
            } else if (*changed) {
              out->append(value.substr(offset, record_size));
            }
          }
        };
        Status rewritten = RewriteBlocks(txn, dbi, operation, s, record_size, squeeze);
        // Only a committed shard's count is reported; WriteShards commits after this returns,
        // and a failed commit fails the whole call anyway.
        if (rewritten.ok()) removed[s] = count;
        wrote[s] = count != 0;
        return rewritten;
      },
      change);
  if (!status.ok()) return status;
  std::uint64_t total = 0;
  for (std::uint64_t n : removed) total += n;
  return total;
}

Status CheckBlocksHoldDim(const StoreHandle& store, std::uint64_t dim, const char* operation) {
  const std::uint64_t record_size = RecordSize(dim);
  return ReadShards(
      store, operation, [](std::size_t) { return true; },
      [&](std::size_t s, MDB_txn* txn, MDB_dbi dbi) -> Status {
        return ForEachBlock(
            txn, dbi, VectorRangeStart(),
            [&](std::string_view key, std::string_view value, bool*) -> Status {
              return CheckBlockLength(key, value.size(), record_size, s);
            });
      });
}

}  // namespace zanth
