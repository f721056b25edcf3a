// The process-wide fork-join pool that runs every per-shard task.
//
// Run(n, fn) calls fn(0) .. fn(n-1) on the pool and on the calling thread, and returns once all
// n calls have ended. A thread that waits for its set runs the set's unclaimed tasks instead of
// sleeping, so tasks may start nested sets without deadlock, and a caller's stack only ever
// holds its own call's tasks. The first failure of a set is kept
// and returned after every task of the set ended. After fork() the child builds a fresh pool on
// first use.
#pragma once

#include <cstddef>
#include <functional>

#include "base/status.h"

namespace zanth {

using TaskFn = std::function<Status(std::size_t)>;

class WorkerPool {
 public:
  // The pool of this process, created on first use with one thread per CPU the process may run
  // on (the caller being one of them).
  static WorkerPool& Instance();

  // Exceptions thrown by fn become kInternal failures of the set.
  Status Run(std::size_t n, const TaskFn& fn);

  // Threads that run tasks, the caller included.
  std::size_t concurrency() const { return concurrency_; }

  struct Impl;

 private:
  explicit WorkerPool(std::size_t threads);
  Impl* impl_;
  std::size_t concurrency_;
};

// Number of CPUs this process may run on (sched_getaffinity), at least 1.
std::size_t AvailableCpus();

}  // namespace zanth
