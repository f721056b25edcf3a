#include "store/shard_writer.h"

#include "pool/worker_pool.h"

namespace zanth {

std::string ShardContext(const char* operation, std::size_t shard) {
  return std::string(operation) + " on shard " + std::to_string(shard);
}

namespace {

std::uint64_t EntriesOf(MDB_txn* txn, MDB_dbi dbi) {
  MDB_stat stat;
  return mdb_stat(txn, dbi, &stat) == 0 ? stat.ms_entries : UINT64_MAX;
}

}  // namespace

Status WriteShards(const StoreHandle& store, const char* operation,
                   const std::function<bool(std::size_t)>& has_work, const ShardWriteFn& write,
                   const ShardChange& change) {
  if (Status s = store.CheckProcess(); !s.ok()) return s;
  CommitObserver* observer = store.commit_observer();
  return WorkerPool::Instance().Run(store.num_shards(), [&](std::size_t shard) -> Status {
    if (!has_work(shard)) return Status::Ok();
    Txn txn;
    if (int rc = txn.BeginWrite(store.environment(shard)); rc != 0) {
      return Status::Lmdb(rc, LmdbStep::kBeginWrite, ShardContext(operation, shard) + ": begin write");
    }
    // A write transaction's id is its base snapshot's plus one.
    const std::uint64_t base = mdb_txn_id(txn.get()) - 1;
    const MDB_dbi dbi = store.dbi(shard);
    const std::uint64_t entries = observer != nullptr ? EntriesOf(txn.get(), dbi) : 0;
    if (Status s = write(shard, txn.get(), dbi); !s.ok()) return s;
    // A changed entry count, or the writer's word, proves the commit is not empty.
    const bool wrote = observer != nullptr &&
                       ((change.wrote != nullptr && (*change.wrote)[shard] != 0) ||
                        EntriesOf(txn.get(), dbi) != entries);
    if (int rc = txn.Commit(); rc != 0) {
      return Status::Lmdb(rc, LmdbStep::kCommit, ShardContext(operation, shard) + ": commit");
    }
    if (observer != nullptr) {
      CommitOutcome outcome = CommitOutcome::kAdvanced;
      if (!wrote) {
        MDB_envinfo info;
        const bool still = mdb_env_info(store.env(shard), &info) == 0 && info.me_last_txnid == base;
        outcome = still ? CommitOutcome::kUnchanged : CommitOutcome::kUnknown;
      }
      observer->Committed(shard, base, outcome, change);
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
