// The shape every bulk writer shares: one write transaction per shard with work, all shards in
// parallel on the pool. A shard whose transaction cannot begin, whose write step fails or whose
// commit fails is aborted, so none of its batch is stored, while the other shards run to their
// end and commit; the first failure is returned after all shards ended.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "store/store_handle.h"

namespace zanth {

// `write` fills the shard inside `txn`; a non-ok Status aborts that shard's transaction.
using ShardWriteFn = std::function<Status(std::size_t shard, MDB_txn* txn, MDB_dbi dbi)>;

// Where the shard tasks run. A commit waits for its fdatasync with the CPU idle, so a write
// whose commits carry many pages finishes sooner when every shard has its own thread and the
// shards' flushes overlap, than on the pool's one lane per core.
enum class ShardLanes { kPool, kThreadPerShard };

// Runs `write` for every shard s with has_work(s); `operation` names the call in diagnostics.
// After each commit the store's commit observer, if any, is told what `change` says the write
// did to that shard's vector records.
Status WriteShards(const StoreHandle& store, const char* operation,
                   const std::function<bool(std::size_t)>& has_work, const ShardWriteFn& write,
                   const ShardChange& change = ShardChange(), ShardLanes lanes = ShardLanes::kPool);

// Runs `read` for every shard in its own read-only transaction, all shards in parallel.
using ShardReadFn = std::function<Status(std::size_t shard, MDB_txn* txn, MDB_dbi dbi)>;
Status ReadShards(const StoreHandle& store, const char* operation,
                  const std::function<bool(std::size_t)>& has_work, const ShardReadFn& read);

std::string ShardContext(const char* operation, std::size_t shard);

// Begins and commits an empty write transaction in every shard. A writer process killed inside
// a commit can leave its last commit written to the file but not yet published to readers
// (LMDB publishes it in the lock file after writing the meta page); until a write transaction
// begins in that environment, which finds the dead writer's lock and publishes it, this
// process's reads see the state before that commit. Whoever decides writes from what it reads
// after another writer may have died calls this first.
Status PublishDeadWriters(const StoreHandle& store);

// The snapshot each shard's reads see now: the id of a read transaction begun there, that of
// the last commit published to readers by any process. It moves exactly when what reads return
// may change (the meta page's id can run ahead of it while a commit is being published, and
// after a writer died inside one), so an equal list means every read answers as before.
Result<std::vector<std::uint64_t>> VisibleCommits(const StoreHandle& store);

}  // namespace zanth
