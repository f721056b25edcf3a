#include "pool/worker_pool.h"

#include <cassert>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>

namespace zanth {

namespace {

struct TaskSet {
  const TaskFn* fn;
  std::size_t size;
  std::size_t next_unclaimed;  // guarded by the pool mutex
  std::size_t remaining;       // guarded by the pool mutex
  Status first_failure;        // guarded by the pool mutex
};

Status RunOne(const TaskFn& fn, std::size_t index) {
  try {
    return fn(index);
  } catch (const std::exception& e) {
    return Status::Internal(std::string("task failed: ") + e.what());
  } catch (...) {
    return Status::Internal("task failed with an unknown exception");
  }
}

}  // namespace

struct WorkerPool::Impl {
  std::mutex mutex;
  // Signalled when a set is opened or finishes; waiters re-check their own condition.
  std::condition_variable changed;
  // Sets with unclaimed tasks, oldest first.
  std::deque<TaskSet*> open_sets;

  // Claims the next task of `set`; the set leaves the open list with its last task. Call with
  // the mutex held and set->next_unclaimed < set->size.
  std::size_t Claim(TaskSet* set) {
    assert(set->next_unclaimed < set->size);
    std::size_t index = set->next_unclaimed++;
    if (set->next_unclaimed == set->size) {
      open_sets.erase(std::find(open_sets.begin(), open_sets.end(), set));
    }
    return index;
  }

  // Runs task `index` of `set` outside the lock, then records its outcome. Call with `lock`
  // held.
  void Execute(TaskSet* set, std::size_t index, std::unique_lock<std::mutex>& lock) {
    lock.unlock();
    Status status = RunOne(*set->fn, index);
    lock.lock();
    if (!status.ok() && set->first_failure.ok()) set->first_failure = std::move(status);
    assert(set->remaining > 0);
    if (--set->remaining == 0) changed.notify_all();
  }

  void WorkerLoop() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      changed.wait(lock, [&] { return !open_sets.empty(); });
      TaskSet* set = open_sets.front();
      Execute(set, Claim(set), lock);
    }
  }
};

std::size_t AvailableCpus() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<std::size_t>(n);
  }
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<std::size_t>(n) : 1;
}

namespace {

// Tasks nest only a few sets deep, but sanitizer builds have frames several times larger than
// usual; the stack is only reserved address space until touched.
constexpr std::size_t kWorkerStackBytes = std::size_t{64} << 20;

void* WorkerMain(void* impl) {
  static_cast<WorkerPool::Impl*>(impl)->WorkerLoop();
  return nullptr;
}

}  // namespace

WorkerPool::WorkerPool(std::size_t threads) : impl_(new Impl()), concurrency_(threads + 1) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, kWorkerStackBytes);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  for (std::size_t i = 0; i < threads; ++i) {
    pthread_t thread;
    if (pthread_create(&thread, &attr, WorkerMain, impl_) != 0) {
      // Fewer threads only costs parallelism: callers always run tasks themselves too.
      concurrency_ = i + 1;
      break;
    }
  }
  pthread_attr_destroy(&attr);
}

namespace {
std::atomic<WorkerPool*> g_pool{nullptr};
std::mutex g_pool_create_mutex;
pid_t g_pool_pid = 0;
}  // namespace

WorkerPool& WorkerPool::Instance() {
  WorkerPool* pool = g_pool.load(std::memory_order_acquire);
  if (pool && g_pool_pid == getpid()) return *pool;
  static const bool atfork_registered = [] {
    // The child has none of the parent's threads, and the pool's mutex may be held by one of
    // them: forget the old pool (leaked on purpose) and build a new one on first use.
    pthread_atfork(nullptr, nullptr, [] {
      g_pool.store(nullptr, std::memory_order_relaxed);
      new (&g_pool_create_mutex) std::mutex();
    });
    return true;
  }();
  (void)atfork_registered;
  std::lock_guard<std::mutex> guard(g_pool_create_mutex);
  pool = g_pool.load(std::memory_order_acquire);
  if (pool && g_pool_pid == getpid()) return *pool;
  std::size_t cpus = AvailableCpus();
  pool = new WorkerPool(cpus > 1 ? cpus - 1 : 1);  // never destroyed: threads outlive statics
  g_pool_pid = getpid();
  g_pool.store(pool, std::memory_order_release);
  return *pool;
}

Status WorkerPool::Run(std::size_t n, const TaskFn& fn) {
  if (n == 0) return Status::Ok();
  if (n == 1) return RunOne(fn, 0);
  // Index 0 is kept for the caller, which otherwise would only wait.
  TaskSet set{&fn, n, 1, n, Status::Ok()};
  Impl& impl = *impl_;
  std::unique_lock<std::mutex> lock(impl.mutex);
  impl.open_sets.push_back(&set);
  impl.changed.notify_all();
  impl.Execute(&set, 0, lock);
  // A waiting thread runs tasks of its own set only. Running another call's tasks here would
  // stack that call's work on this thread's stack, which may be a small one of the caller's,
  // and chains of such waits would grow with the number of concurrent calls. It cannot
  // deadlock: every unfinished task of the set is either still unclaimed (this thread runs it)
  // or running on a thread that can finish it the same way.
  while (set.remaining != 0) {
    if (set.next_unclaimed < set.size) {
      impl.Execute(&set, impl.Claim(&set), lock);
    } else {
      impl.changed.wait(lock, [&] { return set.remaining == 0; });
    }
  }
  return std::move(set.first_failure);
}

}  // namespace zanth
