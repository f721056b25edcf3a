// One batch of every record kind (objects, vectors, index records) written in a single write
// transaction per shard, all shards in parallel: a caller that keeps documents whole across
// crashes pays one commit (and one fdatasync) per shard instead of one per record kind.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "index/index_records.h"
#include "store/store_handle.h"
#include "vectors/records/vector_append.h"

namespace zanth {

// Objects that arrive while the shards are being written: the caller makes them (pickles them)
// while the transactions do the rest of the batch. Each shard waits for them before its object
// puts and before it commits, so a batch whose objects never come stores nothing.
class ObjectFeed {
 public:
  ObjectFeed(std::size_t objects, std::size_t more_objects)
      : objects_(objects), more_objects_(more_objects) {}
  std::size_t objects() const { return objects_; }
  std::size_t more_objects() const { return more_objects_; }

  // The objects, then the more_objects, as many as the constructor was told; the views must
  // stay valid until the write returns.
  void Deliver(std::vector<std::string_view> values);
  // The objects will not come: every shard aborts.
  void Fail();
  // Blocks until Deliver or Fail; nullopt after Fail.
  std::optional<std::span<const std::string_view>> Await() const;

 private:
  const std::size_t objects_, more_objects_;
  mutable std::mutex mutex_;
  mutable std::condition_variable ready_;
  enum class State { kWaiting, kDelivered, kFailed } state_ = State::kWaiting;
  std::vector<std::string_view> values_;
};

// What one call writes. Every part may be empty. Objects and vector rows are stored under
// `ids`: objects[i] and row i of `vectors` under ids[i]; more_objects[i] (objects without a
// vector) under more_ids[i].
struct WriteBatch {
  std::span<const std::int64_t> ids;
  std::span<const std::string_view> objects;  // empty, or one per id
  const FloatRows* vectors = nullptr;         // nullptr, or at least ids.size() rows
  std::span<const std::int64_t> more_ids;
  std::span<const std::string_view> more_objects;  // one per more_ids
  std::span<const std::int64_t> object_deletes;
  std::span<const std::int64_t> vector_deletes;  // become tombstones before the append
  std::span<const IndexEntry> index_deletes;     // removed before the inserts
  std::span<const IndexEntry> index_inserts;
  std::uint64_t dim = 0;  // of the stored vectors: the vectors' columns when they are given
  // When set, `objects` and `more_objects` are empty and the feed brings them: its counts
  // stand for their sizes.
  const ObjectFeed* feed = nullptr;
};

// Applies the batch: in each shard's transaction, in this order, object deletions, vector
// tombstones (a walk over every block of every shard, as DeleteVectors), index deletions,
// index insertions, vector appends and object puts; a repeated id's last object wins (those of
// more_ids come after those of ids). Objects
// are pickles: those of a third to half a page are stored padded (see ObjectPadding). Before
// any shard is written, the arguments are checked and every shard that receives vectors is
// read to check its dimension, so those failures write nothing; with a feed that fails, no
// shard commits.
// A shard whose write or commit fails stores nothing of the batch while the other shards
// commit theirs: the first failure is returned after every shard ended, and the caller, who
// knows what the batch meant, repairs the shards that did commit.
// Errors: kInvalidArgument (objects or vectors not one per id, more_objects not one per
// more_id, `dim` not the vectors' columns, a key too long, records but no shards, a dimension
// mismatch, a feed that failed), kInternal (MD5 unavailable), kLmdb (a shard failed; message
// names the shard), kWrongProcess.
Status ApplyWriteBatch(const StoreHandle& store, const WriteBatch& batch);

}  // namespace zanth
