// Move-only owners of LMDB handles. A Txn that is not committed is aborted by its destructor,
// so every early return leaves the shard as it was.
#pragma once

#include <lmdb.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string_view>
#include <utility>

#include "base/status.h"

namespace zanth {

// The longest key LMDB takes (MDB_MAXKEYSIZE of its default build); environments are checked
// against it when they open, so the limits derived from it hold for every shard.
inline constexpr std::size_t kLmdbMaxKeyBytes = 511;

inline MDB_val ToVal(std::string_view bytes) {
  return MDB_val{bytes.size(), const_cast<char*>(bytes.data())};
}
inline std::string_view ToView(const MDB_val& v) {
  return std::string_view(static_cast<const char*>(v.mv_data), v.mv_size);
}

// One open LMDB environment. Shared (std::shared_ptr) between store handles of the same
// directory and the tasks that use it; closed by the last holder, but never by a process
// other than the one that opened it: after fork() the child must leave the parent's
// environment alone.
class Env {
 public:
  Env(MDB_env* env, MDB_dbi dbi) : env_(env), dbi_(dbi), owner_pid_(getpid()) {}
  ~Env();
  Env(const Env&) = delete;
  Env& operator=(const Env&) = delete;

  MDB_env* get() const { return env_; }
  MDB_dbi dbi() const { return dbi_; }
  pid_t owner_pid() const { return owner_pid_; }

  // Every transaction of this process holds the map lock shared for its whole life, so that
  // the map can be moved while none is active: when another process grew the map past ours,
  // mdb_txn_begin fails with MDB_MAP_RESIZED, and adopting the new size remaps the file.
  std::shared_timed_mutex& map_lock() const { return map_lock_; }
  // Adopts the size another process gave the map. False when transactions of this process
  // stayed active too long (one may belong to the calling thread itself) or LMDB refused.
  bool AdoptGrownMap() const;
  // Grows the map to at least `bytes` (never shrinks it). Needs every transaction of this
  // process to end first; false when they stay active past the wait or LMDB refuses.
  bool GrowMapTo(std::size_t bytes) const;
  // The environment's statistics and map size. Both read the mapped meta pages outside any
  // transaction, so they hold the map lock like a transaction does: a map being adopted or
  // grown by another thread is unmapped and mapped again meanwhile.
  int Stat(MDB_stat* stat) const;
  std::size_t MapSize() const;
  // Frees the reader slots of processes that died inside a read transaction: such a slot
  // keeps every page freed after its snapshot from reuse, so the files would grow for as long
  // as this environment stays open. Write transactions call it (a few system calls, one per
  // other process reading).
  void ClearDeadReaders() const {
    int dead = 0;
    mdb_reader_check(env_, &dead);
  }

 private:
  MDB_env* env_;
  MDB_dbi dbi_;
  pid_t owner_pid_;
  mutable std::shared_timed_mutex map_lock_;
};

class Txn {
 public:
  Txn() = default;
  ~Txn() { Abort(); }
  Txn(Txn&& other) noexcept
      : txn_(std::exchange(other.txn_, nullptr)), map_hold_(std::move(other.map_hold_)) {}
  Txn& operator=(Txn&& other) noexcept {
    if (this != &other) {
      Abort();
      txn_ = std::exchange(other.txn_, nullptr);
      map_hold_ = std::move(other.map_hold_);
    }
    return *this;
  }

  // Returns the LMDB code of mdb_txn_begin (0 on success).
  int BeginRead(const Env& env) { return Begin(env, MDB_RDONLY); }
  int BeginWrite(const Env& env) {
    env.ClearDeadReaders();
    return Begin(env, 0);
  }
  // Commits and releases the handle; LMDB frees the transaction even when commit fails.
  int Commit() {
    MDB_txn* t = std::exchange(txn_, nullptr);
    int rc = t ? mdb_txn_commit(t) : EINVAL;
    ReleaseMap();
    return rc;
  }
  void Abort() {
    if (txn_) mdb_txn_abort(std::exchange(txn_, nullptr));
    ReleaseMap();
  }
  MDB_txn* get() const { return txn_; }

 private:
  int Begin(const Env& env, unsigned flags) {
    Abort();
    for (bool retried = false;; retried = true) {
      std::shared_lock<std::shared_timed_mutex> hold(env.map_lock());
      int rc = mdb_txn_begin(env.get(), nullptr, flags, &txn_);
      if (rc == 0) {
        map_hold_ = std::move(hold);
        return 0;
      }
      txn_ = nullptr;
      if (rc != MDB_MAP_RESIZED || retried) return rc;
      hold.unlock();
      if (!env.AdoptGrownMap()) return rc;
    }
  }
  void ReleaseMap() {
    if (map_hold_.owns_lock()) map_hold_.unlock();
  }

  MDB_txn* txn_ = nullptr;
  std::shared_lock<std::shared_timed_mutex> map_hold_;
};

class Cursor {
 public:
  Cursor() = default;
  ~Cursor() { Close(); }
  Cursor(Cursor&& other) noexcept : cursor_(std::exchange(other.cursor_, nullptr)) {}
  Cursor& operator=(Cursor&& other) noexcept {
    if (this != &other) {
      Close();
      cursor_ = std::exchange(other.cursor_, nullptr);
    }
    return *this;
  }

  int Open(MDB_txn* txn, MDB_dbi dbi) {
    Close();
    return mdb_cursor_open(txn, dbi, &cursor_);
  }
  void Close() {
    if (cursor_) mdb_cursor_close(std::exchange(cursor_, nullptr));
  }
  int Get(MDB_val* key, MDB_val* value, MDB_cursor_op op) {
    return mdb_cursor_get(cursor_, key, value, op);
  }
  MDB_cursor* get() const { return cursor_; }

 private:
  MDB_cursor* cursor_ = nullptr;
};

}  // namespace zanth
