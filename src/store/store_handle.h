// The open state of one store: one LMDB environment and its unnamed database per shard.
// Immutable after Open() but for its commit observer, which is set once before the handle is
// shared, so any number of threads and tasks share it without locks.
#pragma once

#include <lmdb.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "store/commit_observer.h"
#include "store/lmdb_handles.h"
#include "base/status.h"

namespace zanth {

inline constexpr unsigned kMaxReaders = 2048;
// The size LMDB gives the lock file of an environment with kMaxReaders reader slots: a header
// of three 64-byte cache lines, then a line for each slot past the first.
inline constexpr long kLockFileBytes = 3 * 64 + (kMaxReaders - 1) * 64L;
inline constexpr unsigned kMaxNamedDatabases = 1;
inline constexpr unsigned kEnvFlags = MDB_NOTLS | MDB_MAPASYNC;
inline constexpr mdb_mode_t kFileMode = 0644;
// How long a map resize waits for this process's transactions to end. A transaction of the
// resizing thread itself would otherwise make it wait forever.
inline constexpr std::chrono::seconds kMapResizeWait{5};

class StoreHandle {
 public:
  // Creates `base_path`/shard_<i> for every shard and opens its environment. On failure at
  // shard i, the environments of shards 0..i-1 are released again (closed unless another
  // handle in this process shares them); directories already made stay.
  // A shard whose data file is empty or cut short is refused before LMDB reads it (see
  // data_file_check.h), and its file is left as it is.
  // Errors: kIo (directory creation; a damaged data file, the message naming it), kLmdb
  // (environment or database open).
  static Result<std::shared_ptr<const StoreHandle>> Open(const std::string& base_path,
                                                         std::uint64_t num_shards,
                                                         std::uint64_t map_size);

  std::size_t num_shards() const { return environments_.size(); }
  MDB_env* env(std::size_t shard) const { return environments_[shard]->get(); }
  const Env& environment(std::size_t shard) const { return *environments_[shard]; }
  MDB_dbi dbi(std::size_t shard) const { return environments_[shard]->dbi(); }
  // The descriptor of the shard's data.mdb as its environment opened it (valid while the
  // environment is), or -1.
  int data_fd(std::size_t shard) const {
    mdb_filehandle_t fd;
    return mdb_env_get_fd(env(shard), &fd) == 0 ? fd : -1;
  }

  // LMDB environments must not be used across fork(): a child that inherited this handle gets
  // kWrongProcess from every operation instead of a hang or corrupted lock state.
  Status CheckProcess() const;

  // Told of every commit made through this handle (shard_writer.h), in the order added. Added
  // before the handle is used by more than one thread; an observer must outlive the handle's
  // writes.
  void add_commit_observer(CommitObserver* observer) const {
    commit_observers_.push_back(observer);
  }
  void remove_commit_observer(CommitObserver* observer) const {
    std::erase(commit_observers_, observer);
  }
  const std::vector<CommitObserver*>& commit_observers() const { return commit_observers_; }

 private:
  StoreHandle() = default;
  std::vector<std::shared_ptr<Env>> environments_;
  pid_t owner_pid_ = 0;
  mutable std::vector<CommitObserver*> commit_observers_;
};

}  // namespace zanth
