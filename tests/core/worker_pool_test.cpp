#include <atomic>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "core_test.h"
#include "pool/worker_pool.h"

namespace zanth {

TEST_CASE(pool_runs_every_task_once) {
  std::vector<std::atomic<int>> hits(1000);
  Status s = WorkerPool::Instance().Run(hits.size(), [&](std::size_t i) {
    hits[i].fetch_add(1);
    return Status::Ok();
  });
  CHECK(s.ok());
  for (auto& h : hits) CHECK(h.load() == 1);
}

// Three levels of nested sets, more tasks than threads at every level: a waiting thread must run
// queued tasks or this deadlocks.
TEST_CASE(pool_nested_sets_complete) {
  std::atomic<int> leaves{0};
  WorkerPool& pool = WorkerPool::Instance();
  Status s = pool.Run(8, [&](std::size_t) {
    return pool.Run(8, [&](std::size_t) {
      return pool.Run(8, [&](std::size_t) {
        leaves.fetch_add(1);
        return Status::Ok();
      });
    });
  });
  CHECK(s.ok());
  CHECK(leaves.load() == 512);
}

TEST_CASE(pool_reports_failure_after_all_tasks_ended) {
  std::atomic<int> finished{0};
  Status s = WorkerPool::Instance().Run(64, [&](std::size_t i) -> Status {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    finished.fetch_add(1);
    if (i == 3) return Status::Lmdb(-30792, "task 3");
    if (i == 40) throw std::runtime_error("boom");
    return Status::Ok();
  });
  CHECK(!s.ok());
  CHECK(s.code() == StatusCode::kLmdb || s.code() == StatusCode::kInternal);
  CHECK(finished.load() == 64);
}

TEST_CASE(pool_works_in_forked_child) {
  WorkerPool::Instance();  // make sure the parent has threads before fork
  pid_t pid = fork();
  if (pid == 0) {
    std::atomic<int> sum{0};
    Status s = WorkerPool::Instance().Run(100, [&](std::size_t i) {
      sum.fetch_add(static_cast<int>(i));
      return Status::Ok();
    });
    _exit(s.ok() && sum.load() == 4950 ? 0 : 1);
  }
  int status = 0;
  CHECK(waitpid(pid, &status, 0) == pid);
  CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_CASE(pool_uses_every_cpu) {
  CHECK(WorkerPool::Instance().concurrency() >= AvailableCpus());
}

}  // namespace zanth
