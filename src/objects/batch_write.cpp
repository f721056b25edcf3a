#include "objects/batch_write.h"

#include <string>
#include <vector>

#include "index/id_set.h"
#include "objects/object_store.h"
#include "store/shard_writer.h"
#include "vectors/records/vector_maintenance.h"

namespace zanth {

namespace {

constexpr const char* kOperation = "write_batch";

std::size_t ObjectCount(const WriteBatch& batch) {
  return batch.feed != nullptr ? batch.feed->objects() : batch.objects.size();
}

std::size_t MoreObjectCount(const WriteBatch& batch) {
  return batch.feed != nullptr ? batch.feed->more_objects() : batch.more_objects.size();
}

Status CheckShape(const StoreHandle& store, const WriteBatch& batch) {
  const std::size_t objects = ObjectCount(batch), more = MoreObjectCount(batch);
  if (objects != 0 && objects != batch.ids.size()) {
    return Status::InvalidArgument(std::to_string(objects) + " objects for " +
                                   std::to_string(batch.ids.size()) + " identifiers");
  }
  if (more != batch.more_ids.size()) {
    return Status::InvalidArgument(std::to_string(more) + " objects for " +
                                   std::to_string(batch.more_ids.size()) + " identifiers");
  }
  if (batch.vectors != nullptr) {
    if (batch.vectors->rows != batch.ids.size()) {
      return Status::InvalidArgument(std::to_string(batch.vectors->rows) + " vectors for " +
                                     std::to_string(batch.ids.size()) + " identifiers");
    }
    if (batch.vectors->cols != batch.dim) {
      return Status::InvalidArgument("vectors of dimension " +
                                     std::to_string(batch.vectors->cols) + ", but dim is " +
                                     std::to_string(batch.dim));
    }
  }
  const bool writes = (!batch.ids.empty() && (ObjectCount(batch) != 0 || batch.vectors)) ||
                      !batch.more_ids.empty() || !batch.index_inserts.empty();
  if (writes && store.num_shards() == 0) {
    return Status::InvalidArgument("the store has no shards to hold records");
  }
  return Status::Ok();
}

}  // namespace

void ObjectFeed::Deliver(std::vector<std::string_view> values) {
  if (values.size() != objects_ + more_objects_) return Fail();  // never read out of bounds
  {
    std::lock_guard<std::mutex> lock(mutex_);
    values_ = std::move(values);
    state_ = State::kDelivered;
  }
  ready_.notify_all();
}

void ObjectFeed::Fail() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    state_ = State::kFailed;
  }
  ready_.notify_all();
}

std::optional<std::span<const std::string_view>> ObjectFeed::Await() const {
  std::unique_lock<std::mutex> lock(mutex_);
  ready_.wait(lock, [this] { return state_ != State::kWaiting; });
  if (state_ == State::kFailed) return std::nullopt;
  return std::span<const std::string_view>(values_);
}

Status ApplyWriteBatch(const StoreHandle& store, const WriteBatch& batch) {
  if (Status s = CheckShape(store, batch); !s.ok()) return s;
  const std::size_t shards = store.num_shards();
  if (shards == 0) return Status::Ok();  // nothing to delete
  if (Status s = store.CheckProcess(); !s.ok()) return s;

  std::vector<std::int64_t> object_ids;
  std::vector<std::string_view> object_values;  // by position in object_ids; from the feed
  if (ObjectCount(batch) != 0) object_ids.assign(batch.ids.begin(), batch.ids.end());
  object_ids.insert(object_ids.end(), batch.more_ids.begin(), batch.more_ids.end());
  if (batch.feed == nullptr) {
    object_values.assign(batch.objects.begin(), batch.objects.end());
    object_values.insert(object_values.end(), batch.more_objects.begin(),
                         batch.more_objects.end());
  }
  const auto objects = RouteObjectIds(object_ids, shards);
  const auto object_deletes = RouteObjectIds(batch.object_deletes, shards);
  auto inserts = RouteIndexEntries(batch.index_inserts, shards);
  if (!inserts.ok()) return inserts.status();
  auto deletes = RouteIndexEntries(batch.index_deletes, shards);
  if (!deletes.ok()) return deletes.status();
  VectorBatches vectors;
  if (batch.vectors != nullptr) {
    auto built = BuildVectorBatches(*batch.vectors, batch.ids, shards);
    if (!built.ok()) return built.status();
    vectors = std::move(built.value());
    if (Status s = CheckVectorBatches(store, vectors, kOperation); !s.ok()) return s;
  }
  IdHashSet doomed;
  doomed.reserve(batch.vector_deletes.size());
  for (std::int64_t id : batch.vector_deletes) {
    if (id != kTombstoneId) doomed.insert(id);
  }
  // A dimension that does not fit the stored blocks is an argument error: found before any
  // shard commits, as the appended rows' is.
  if (!doomed.empty()) {
    if (Status s = CheckBlocksHoldDim(store, batch.dim, kOperation); !s.ok()) return s;
  }

  auto appends_to = [&](std::size_t s) {
    return !vectors.shards.empty() && !vectors.shards[s].empty();
  };
  auto has_work = [&](std::size_t s) {
    return !doomed.empty() || appends_to(s) || !objects[s].empty() ||
           !object_deletes[s].empty() || !inserts.value()[s].records.empty() ||
           !deletes.value()[s].records.empty();
  };
  // Each shard tombstones before it appends, so the search sketches can follow both.
  ShardChange change;
  change.dim = batch.dim;
  if (!doomed.empty()) {
    change.kind = vectors.shards.empty() ? ShardChange::Kind::kTombstones
                                         : ShardChange::Kind::kTombstonesThenAppend;
    change.ids = batch.vector_deletes;
  } else if (!vectors.shards.empty()) {
    change.kind = ShardChange::Kind::kAppend;
  }
  if (!vectors.shards.empty()) {
    for (const auto& rows : vectors.shards) change.appended.push_back(rows.size());
  }
  // Set by a shard's task when it certainly wrote something: any put does.
  std::vector<char> wrote(shards, 0);
  change.wrote = &wrote;
  std::vector<std::vector<std::string_view>> index_removed(shards), index_put(shards);
  change.index = ShardChange::Index::kListed;
  change.index_removed = &index_removed;
  change.index_put = &index_put;
  return WriteShards(
      store, kOperation, has_work,
      [&](std::size_t s, MDB_txn* txn, MDB_dbi dbi) -> Status {
        if (Status st = DeleteObjectRecords(txn, dbi, kOperation, s, object_deletes[s]);
            !st.ok()) {
          return st;
        }
        if (!doomed.empty()) {
          bool marked = false;
          Status st = TombstoneVectorsInShard(txn, dbi, kOperation, s, doomed, batch.dim, &marked);
          if (!st.ok()) return st;
          if (marked) wrote[s] = 1;
        }
        if (Status st = DeleteIndexRecords(txn, dbi, kOperation, s, deletes.value()[s]);
            !st.ok()) {
          return st;
        }
        if (Status st = InsertIndexRecords(txn, dbi, kOperation, s, inserts.value()[s]);
            !st.ok()) {
          return st;
        }
        index_removed[s] = deletes.value()[s].Views();
        index_put[s] = inserts.value()[s].Views();
        if (appends_to(s)) {
          if (Status st = AppendVectorsToShard(txn, dbi, kOperation, s, vectors); !st.ok()) {
            return st;
          }
          wrote[s] = 1;
        }
        // Every shard waits for fed objects here, whether it puts any or not: none commits
        // a batch whose objects do not come.
        std::span<const std::string_view> values = object_values;
        if (batch.feed != nullptr) {
          std::optional<std::span<const std::string_view>> fed = batch.feed->Await();
          if (!fed) return Status::InvalidArgument("write_batch: the objects were not made");
          values = *fed;
        }
        if (!objects[s].empty()) {
          if (Status st = PutObjectRecords(txn, dbi, kOperation, s, objects[s], values,
                                           PaddingOfPages(txn, dbi));
              !st.ok()) {
            return st;
          }
          wrote[s] = 1;
        }
        return Status::Ok();
      },
      change, ShardLanes::kThreadPerShard);
}

}  // namespace zanth
