#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "core_test.h"
#include "pool/worker_pool.h"

namespace zanth {

// Nested sets from several callers at once, more tasks than threads at every level: every
// task runs exactly once, a waiting thread runs queued tasks (or this deadlocks), and the
// first failure of any level reaches the outermost caller only after every task has ended.
TEST_CASE(pool_runs_nested_sets_and_reports_failures) {
  WorkerPool& pool = WorkerPool::Instance();
  std::atomic<long> total{0};
  std::vector<std::thread> callers;
  for (int c = 0; c < 4; ++c) {
    callers.emplace_back([&, c] {
      std::atomic<int> ended{0};
      Status s = pool.Run(5, [&](std::size_t outer) {
        Status inner = pool.Run(7, [&](std::size_t j) -> Status {
          std::this_thread::sleep_for(std::chrono::microseconds(50));
          total.fetch_add(static_cast<long>(j) + 1);
          ended.fetch_add(1);
          if (c == 1 && outer == 4 && j == 6) return Status::InvalidArgument("inner 4/6");
          if (c == 2 && outer == 0 && j == 0) throw std::runtime_error("boom");
          return Status::Ok();
        });
        ended.fetch_add(1);
        return inner;
      });
      CHECK(ended.load() == 5 * 7 + 5);
      if (c == 1) CHECK(s.code() == StatusCode::kInvalidArgument && s.message() == "inner 4/6");
      if (c == 2) CHECK(s.code() == StatusCode::kInternal && s.message().find("boom") != std::string::npos);
      if (c != 1 && c != 2) CHECK(s.ok());
    });
  }
  for (auto& t : callers) t.join();
  CHECK(total.load() == 4L * 5 * 28);
  int calls = 0;
  CHECK(pool.Run(0, [&](std::size_t) { ++calls; return Status::Ok(); }).ok() && calls == 0);
}

// As many tasks as the pool has threads all run at the same time: each waits (bounded) until
// every other has started.
TEST_CASE(pool_runs_tasks_in_parallel) {
  WorkerPool& pool = WorkerPool::Instance();
  std::size_t n = pool.concurrency();
  std::atomic<std::size_t> started{0}, saw_all{0};
  CHECK(pool.Run(n, [&](std::size_t) {
    started.fetch_add(1);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (started.load() < n && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    if (started.load() == n) saw_all.fetch_add(1);
    return Status::Ok();
  }).ok());
  CHECK(saw_all.load() == n);
}

TEST_CASE(pool_works_in_forked_child) {
  WorkerPool::Instance();  // the parent has threads before fork
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
  CHECK(waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace zanth
