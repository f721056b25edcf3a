// A store of its own in a temporary directory, removed with it.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "core_test.h"
#include "store/store_handle.h"

namespace zanth::test {

struct TempStore {
  std::string dir;
  std::shared_ptr<const StoreHandle> store;

  explicit TempStore(std::size_t shards) {
    char pattern[] = "/tmp/zanth_vec_test_XXXXXX";
    dir = mkdtemp(pattern);
    auto opened = StoreHandle::Open(dir + "/store", shards, std::uint64_t{1} << 30);
    CHECK(opened.ok());
    store = opened.take();
  }
  ~TempStore() {
    store.reset();
    std::filesystem::remove_all(dir);
  }
};

}  // namespace zanth::test
