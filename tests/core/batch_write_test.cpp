// A write batch whose objects arrive while its shards already write: all of it commits once
// they are delivered, and nothing of it, in any shard, when they fail or do not fit.
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "core_test.h"
#include "temp_store.h"
#include "objects/batch_write.h"
#include "objects/object_store.h"

namespace zanth {

namespace {

using test::TempStore;

enum class Outcome { kDeliver, kFail, kTooFew };

}  // namespace

TEST_CASE(PendingObjectsCommitWithTheirBatchOrNotAtAll) {
  // Few documents over many shards: some shards receive index records but no object.
  constexpr std::size_t kDocs = 3, kDim = 4;
  for (Outcome outcome : {Outcome::kDeliver, Outcome::kFail, Outcome::kTooFew}) {
    TempStore t(8);
    std::vector<std::int64_t> ids, more_ids = {-5, -6};
    std::vector<std::string> bytes;
    std::vector<float> values;
    std::vector<IndexEntry> entries;
    for (std::size_t i = 0; i < kDocs; ++i) {
      ids.push_back(static_cast<std::int64_t>(i * 7919 + 1));
      bytes.push_back("object " + std::to_string(i));
      for (std::size_t c = 0; c < kDim; ++c) values.push_back(static_cast<float>(i + c));
      for (int k = 0; k < 10; ++k) entries.push_back({"=k:" + std::to_string(k), ids.back()});
    }
    bytes.push_back("more a");
    bytes.push_back("more b");
    FloatRows rows{reinterpret_cast<const char*>(values.data()), kDocs, kDim,
                   static_cast<std::ptrdiff_t>(kDim * sizeof(float)), sizeof(float)};
    PendingObjects pending;
    WriteBatch batch;
    batch.ids = ids;
    batch.vectors = &rows;
    batch.dim = kDim;
    batch.more_ids = more_ids;
    batch.index_inserts = entries;
    batch.pending = &pending;
    // Settled late, so every shard has written its index records and vectors by then.
    std::thread producer([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      std::vector<std::string_view> views(bytes.begin(), bytes.end());
      if (outcome == Outcome::kTooFew) views.pop_back();
      if (outcome == Outcome::kFail) {
        pending.Fail();
        pending.Deliver(views);  // too late: the first settlement holds
      } else {
        pending.Deliver(views);
      }
    });
    Status status = ApplyWriteBatch(*t.store, batch);
    producer.join();
    auto count = CountRecords(*t.store);
    CHECK(count.ok());
    std::vector<std::int64_t> every = ids;
    every.insert(every.end(), more_ids.begin(), more_ids.end());
    auto got = GetObjects(*t.store, every);
    CHECK(got.ok());
    if (outcome == Outcome::kDeliver) {
      CHECK(status.ok());
      for (std::size_t i = 0; i < every.size(); ++i) {
        CHECK(got.value()[i].has_value() && *got.value()[i] == bytes[i]);
      }
      CHECK(count.value() > every.size());  // index records and vector blocks too
    } else {
      CHECK(status.code() == StatusCode::kInvalidArgument);
      CHECK(count.value() == 0);  // not an index record nor a block, in any shard
      for (std::size_t i = 0; i < every.size(); ++i) CHECK(!got.value()[i].has_value());
    }
  }
}

}  // namespace zanth
