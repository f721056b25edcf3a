#include "store/shard_writer.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <system_error>
#include <thread>
#include <vector>

#include "pool/worker_pool.h"

namespace zanth {

Status PublishDeadWriters(const StoreHandle& store) {
  ShardChange nothing;  // an empty commit: the observers learn only whether another moved it
  nothing.index = ShardChange::Index::kUnchanged;
  return WriteShards(
      store, "refresh", [](std::size_t) { return true; },
      [](std::size_t, MDB_txn*, MDB_dbi) { return Status::Ok(); }, nothing, ShardLanes::kPool);
}

std::string ShardContext(const char* operation, std::size_t shard) {
  return std::string(operation) + " on shard " + std::to_string(shard);
}

namespace {

// Threads of one kThreadPerShard write, the calling thread included: enough to overlap the
// syncs of the usual shard counts without a thread per shard of a store with hundreds.
constexpr std::size_t kMaxWriteLanes = 16;

std::uint64_t EntriesOf(MDB_txn* txn, MDB_dbi dbi) {
  MDB_stat stat;
  return mdb_stat(txn, dbi, &stat) == 0 ? stat.ms_entries : UINT64_MAX;
}

}  // namespace

Status WriteShards(const StoreHandle& store, const char* operation,
                   const std::function<bool(std::size_t)>& has_work, const ShardWriteFn& write,
                   const ShardChange& change, ShardLanes lanes) {
  if (Status s = store.CheckProcess(); !s.ok()) return s;
  const std::vector<CommitObserver*>& observers = store.commit_observers();
  const bool observed = !observers.empty();
  auto run = [&](std::size_t shard) -> Status {
    if (!has_work(shard)) return Status::Ok();
    Txn txn;
    if (int rc = txn.BeginWrite(store.environment(shard)); rc != 0) {
      return Status::Lmdb(rc, LmdbStep::kBeginWrite, ShardContext(operation, shard) + ": begin write");
    }
    // A write transaction's id is its base snapshot's plus one.
    const std::uint64_t base = mdb_txn_id(txn.get()) - 1;
    const MDB_dbi dbi = store.dbi(shard);
    const std::uint64_t entries = observed ? EntriesOf(txn.get(), dbi) : 0;
    if (Status s = write(shard, txn.get(), dbi); !s.ok()) return s;
    // A changed entry count, or the writer's word, proves the commit is not empty.
    const bool wrote = observed &&
                       ((change.wrote != nullptr && (*change.wrote)[shard] != 0) ||
                        EntriesOf(txn.get(), dbi) != entries);
    if (int rc = txn.Commit(); rc != 0) {
      return Status::Lmdb(rc, LmdbStep::kCommit, ShardContext(operation, shard) + ": commit");
    }
    if (observed) {
      CommitOutcome outcome = CommitOutcome::kAdvanced;
      if (!wrote) {
        MDB_envinfo info;
        const bool still = mdb_env_info(store.env(shard), &info) == 0 && info.me_last_txnid == base;
        outcome = still ? CommitOutcome::kUnchanged : CommitOutcome::kUnknown;
      }
      for (CommitObserver* observer : observers) observer->Committed(shard, base, outcome, change);
    }
    return Status::Ok();
  };
  if (lanes == ShardLanes::kPool) return WorkerPool::Instance().Run(store.num_shards(), run);
  // The calling thread and up to kMaxWriteLanes - 1 threads of its own take the shards with
  // work in turn; the threads are joined before returning. Where no thread can be had, fewer
  // lanes do the work. The first failure in shard order is returned.
  std::vector<std::size_t> pending;
  for (std::size_t shard = 0; shard < store.num_shards(); ++shard) {
    if (has_work(shard)) pending.push_back(shard);
  }
  std::vector<Status> results(store.num_shards());
  std::atomic<std::size_t> next{0};
  auto lane = [&] {
    for (std::size_t i; (i = next.fetch_add(1)) < pending.size();) {
      const std::size_t shard = pending[i];
      try {
        results[shard] = run(shard);
      } catch (const std::exception& e) {
        results[shard] = Status::Internal(ShardContext(operation, shard) + ": " + e.what());
      }
    }
  };
  std::vector<std::thread> threads;
  const std::size_t count = std::min(pending.size(), kMaxWriteLanes);
  for (std::size_t t = 1; t < count; ++t) {
    try {
      threads.emplace_back(lane);
    } catch (const std::system_error&) {
      break;
    }
  }
  lane();
  for (std::thread& thread : threads) thread.join();
  for (Status& status : results) {
    if (!status.ok()) return status;
  }
  return Status::Ok();
}

Result<std::vector<std::uint64_t>> VisibleCommits(const StoreHandle& store) {
  std::vector<std::uint64_t> ids(store.num_shards());
  Status status = ReadShards(
      store, "last_commits", [](std::size_t) { return true; },
      [&](std::size_t shard, MDB_txn* txn, MDB_dbi) {
        ids[shard] = mdb_txn_id(txn);
        return Status::Ok();
      });
  if (!status.ok()) return status;
  return ids;
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
