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

TEST_CASE(pool_empty_and_single_sets) {
  int calls = 0;
  CHECK(WorkerPool::Instance().Run(0, [&](std::size_t) { ++calls; return Status::Ok(); }).ok());
  CHECK(calls == 0);
  Status s = WorkerPool::Instance().Run(1, [&](std::size_t) -> Status {
    ++calls;
    throw std::runtime_error("single");
  });
  CHECK(calls == 1);
  CHECK(s.code() == StatusCode::kInternal);
  CHECK(s.message().find("single") != std::string::npos);
}

// A failure deep in a nested set reaches the outermost caller, and only after every task of
// every level has ended.
TEST_CASE(pool_nested_failure_reaches_the_outer_caller) {
  WorkerPool& pool = WorkerPool::Instance();
  std::atomic<int> ended{0};
  Status s = pool.Run(6, [&](std::size_t outer) {
    Status inner = pool.Run(6, [&](std::size_t i) -> Status {
      std::this_thread::sleep_for(std::chrono::microseconds(100));
      ended.fetch_add(1);
      if (outer == 4 && i == 5) return Status::InvalidArgument("inner 4/5");
      return Status::Ok();
    });
    ended.fetch_add(1);
    return inner;
  });
  CHECK(s.code() == StatusCode::kInvalidArgument);
  CHECK(s.message() == "inner 4/5");
  CHECK(ended.load() == 6 * 6 + 6);
}

// Several threads start nested sets at once on the one pool: every task runs exactly once
// and no caller waits forever.
TEST_CASE(pool_concurrent_callers_with_nesting) {
  WorkerPool& pool = WorkerPool::Instance();
  std::atomic<long> total{0};
  std::vector<std::thread> callers;
  for (int c = 0; c < 6; ++c) {
    callers.emplace_back([&] {
      for (int round = 0; round < 20; ++round) {
        Status s = pool.Run(5, [&](std::size_t) {
          return pool.Run(7, [&](std::size_t j) {
            total.fetch_add(static_cast<long>(j) + 1);
            return Status::Ok();
          });
        });
        CHECK(s.ok());
      }
    });
  }
  for (auto& t : callers) t.join();
  CHECK(total.load() == 6L * 20 * 5 * 28);
}

// With as many tasks as the pool has threads, all of them run at the same time: each waits
// (bounded) until every other has started.
TEST_CASE(pool_runs_tasks_in_parallel) {
  WorkerPool& pool = WorkerPool::Instance();
  std::size_t n = pool.concurrency();
  std::atomic<std::size_t> started{0};
  std::atomic<std::size_t> saw_all{0};
  Status s = pool.Run(n, [&](std::size_t) {
    started.fetch_add(1);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (started.load() < n && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::yield();
    }
    if (started.load() == n) saw_all.fetch_add(1);
    return Status::Ok();
  });
  CHECK(s.ok());
  CHECK(saw_all.load() == n);
}

TEST_CASE(pool_uses_every_cpu) {
  CHECK(WorkerPool::Instance().concurrency() >= AvailableCpus());
}

}  // namespace zanth
