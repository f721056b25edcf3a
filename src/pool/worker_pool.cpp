#include "pool/worker_pool.h"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>

namespace zanth {

namespace {

struct TaskSet {
  const TaskFn* fn;
  std::size_t remaining;  // guarded by the pool mutex
  Status first_failure;   // guarded by the pool mutex
};

struct Task {
  TaskSet* set;
  std::size_t index;
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
  // Signalled when a task is queued or a set finishes; waiters re-check their own condition.
  std::condition_variable changed;
  std::deque<Task> queue;

  // Runs `task` outside the lock, then records its outcome. Call with `lock` held.
  void Execute(Task task, std::unique_lock<std::mutex>& lock) {
    lock.unlock();
    Status status = RunOne(*task.set->fn, task.index);
    lock.lock();
    if (!status.ok() && task.set->first_failure.ok()) task.set->first_failure = std::move(status);
    if (--task.set->remaining == 0) changed.notify_all();
  }

  void WorkerLoop() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      changed.wait(lock, [&] { return !queue.empty(); });
      Task task = queue.front();
      queue.pop_front();
      Execute(task, lock);
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

// Nested task sets recurse through the threads that wait for them (filter trees run one level
// per nesting), so pool threads get more stack than the 8 MiB default; it is only reserved
// address space until touched.
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
  TaskSet set{&fn, n, Status::Ok()};
  Impl& impl = *impl_;
  std::unique_lock<std::mutex> lock(impl.mutex);
  // Index 0 is kept for the caller, which otherwise would only wait.
  for (std::size_t i = 1; i < n; ++i) impl.queue.push_back(Task{&set, i});
  impl.changed.notify_all();
  impl.Execute(Task{&set, 0}, lock);
  while (set.remaining != 0) {
    if (!impl.queue.empty()) {
      // Prefer our own tasks; any queued task keeps the pool moving while we wait.
      Task task = impl.queue.back();
      impl.queue.pop_back();
      impl.Execute(task, lock);
    } else {
      impl.changed.wait(lock, [&] { return set.remaining == 0 || !impl.queue.empty(); });
    }
  }
  return std::move(set.first_failure);
}

}  // namespace zanth
