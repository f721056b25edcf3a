#include "store/shard_writer.h"

#include "pool/worker_pool.h"

namespace zanth {

std::string ShardContext(const char* operation, std::size_t shard) {
  return std::string(operation) + " on shard " + std::to_string(shard);
}

Status WriteShards(const StoreHandle& store, const char* operation,
                   const std::function<bool(std::size_t)>& has_work, const ShardWriteFn& write) {
  if (Status s = store.CheckProcess(); !s.ok()) return s;
  return WorkerPool::Instance().Run(store.num_shards(), [&](std::size_t shard) -> Status {
    if (!has_work(shard)) return Status::Ok();
    Txn txn;
    if (int rc = txn.BeginWrite(store.environment(shard)); rc != 0) {
      return Status::Lmdb(rc, LmdbStep::kBeginWrite, ShardContext(operation, shard) + ": begin write");
    }
    if (Status s = write(shard, txn.get(), store.dbi(shard)); !s.ok()) return s;
    if (int rc = txn.Commit(); rc != 0) {
      return Status::Lmdb(rc, LmdbStep::kCommit, ShardContext(operation, shard) + ": commit");
    }
    return Status::Ok();
  });
}

Status ReadShards(const StoreHandle& store, const char* operation,
                  const std::function<bool(std::size_t)>& has_work, const ShardReadFn& read) {
  if (Status s = store.CheckProcess(); !s.ok()) return s;
  return WorkerPool::Instance().Run(store.num_shards(), [&](std::size_t shard) -> Status {
    if (!has_work(shard)) return Status::Ok();
    Txn txn;
    if (int rc = txn.BeginRead(store.environment(shard)); rc != 0) {
      return Status::Lmdb(rc, LmdbStep::kBeginRead, ShardContext(operation, shard) + ": begin read");
    }
    return read(shard, txn.get(), store.dbi(shard));
  });
}

}  // namespace zanth
