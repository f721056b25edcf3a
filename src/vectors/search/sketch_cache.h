// The sketches of one store handle: per shard and dimension, the int8 sketch of every record of
// one read snapshot, tagged with that snapshot's LMDB transaction id. Every commit to a shard,
// from any handle or process, gives later snapshots a new id, and a sketch is only used by a
// reader of the id it is tagged with. The handle's own commits are reported to the cache
// (commit_observer.h) and carry the sketch over to the commit's id when the change is known
// exactly; any other commit leaves the sketch behind, and the next search sketches the whole
// shard anew. Nothing here is written to disk.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "store/commit_observer.h"
#include "vectors/kernels/sketch.h"

namespace zanth {

// Memory for the arrays of a sketch: an anonymous mapping of its own, aligned to and advised for
// 2 MiB pages. A search touches a new sketch's pages as it fills them and later searches stream
// all of them, so large pages save most page faults (and the cost of unmapping) after a write,
// and most TLB misses in every search. The kernel hands out zeroed pages as they are touched.
void* MapPages(std::size_t bytes);  // nullptr when the mapping fails
void UnmapPages(void* data, std::size_t bytes);

template <typename T>
class PageArray {
 public:
  PageArray() = default;
  explicit PageArray(std::size_t n)
      : data_(static_cast<T*>(MapPages(n * sizeof(T)))), bytes_(data_ ? n * sizeof(T) : 0) {}
  ~PageArray() { UnmapPages(data_, bytes_); }
  PageArray(PageArray&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), bytes_(std::exchange(other.bytes_, 0)) {}
  PageArray& operator=(PageArray&& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(bytes_, other.bytes_);
    return *this;
  }
  PageArray(const PageArray&) = delete;
  PageArray& operator=(const PageArray&) = delete;

  T* get() const { return data_; }
  std::size_t size() const { return bytes_ / sizeof(T); }
  T& operator[](std::size_t i) const { return data_[i]; }
  explicit operator bool() const { return data_ != nullptr; }

 private:
  T* data_ = nullptr;
  std::size_t bytes_ = 0;
};

// Which sketched records one filter accepts: bit i (of words[i / 64]) for position i < positions,
// clear for tombstones.
struct AcceptedBits {
  std::uint64_t filter = 0;  // IdSet::identity()
  std::size_t positions = 0;
  std::vector<std::uint64_t> words;
};

// Filled a prefix at a time: records below `covered` are sketched; the one search holding `grow`
// sketches the next records and then raises `covered`. `txn_id` and `records` change only under
// the cache's lock; codes and meta of sketched records never change, and an id only becomes
// kTombstoneId while no search holds the sketch.
struct ShardSketch {
  std::uint64_t txn_id = 0;
  std::size_t dim = 0;
  std::size_t records = 0;  // every record of the snapshot at this dimension, tombstones too
  // Pages are touched as the prefix grows, not all by the first search.
  PageArray<std::int8_t> codes;       // records * dim, in scan order
  PageArray<RecordSketchMeta> meta;   // records
  PageArray<std::int64_t> ids;        // records: filters and tombstones need no block
  std::atomic<std::size_t> covered{0};
  std::mutex grow;
  // Bytes of pages the arrays hold once every record is sketched: BytesFor(records, dim), or
  // more when the arrays were lent by a larger sketch whose pages are touched already.
  std::uint64_t held_bytes = 0;
  // The accepted-record bitmaps of the filters searched with most recently, most recent last
  // (at most kFilterBitmaps, positions / 8 bytes each); dropped when an id changes.
  static constexpr std::size_t kFilterBitmaps = 4;
  mutable std::mutex filters_mu;
  mutable std::vector<std::shared_ptr<const AcceptedBits>> filters;

  static std::size_t BytesFor(std::size_t records, std::size_t dim) {
    return records * (dim + sizeof(RecordSketchMeta) + sizeof(std::int64_t));
  }
};

class SketchCache final : public CommitObserver {
 public:
  static constexpr std::uint64_t kUnlimited = UINT64_MAX;

  // Starts with a budget of a quarter of the machine's physical memory.
  SketchCache();

  // The sketch of (shard, dim) for the snapshot with `txn_id` holding `records` records. A
  // missing or older one is replaced by an empty sketch of that snapshot when the budget has
  // room for it (counting the one it replaces); otherwise null. The replaced sketch's arrays
  // are reused when no search holds them and they are at most twice the size needed; larger
  // ones (the shard shrank) are freed.
  std::shared_ptr<ShardSketch> Acquire(std::size_t shard, std::size_t dim, std::uint64_t txn_id,
                                       std::size_t records);

  // A commit of this handle to `shard` (commit_observer.h). A sketch of the commit's base
  // snapshot follows an advanced commit when it can do so exactly: any kNoVectors commit (the
  // tag moves on); an append of its dimension that its arrays have room for (the new records
  // wait unsketched at the end); tombstones of its dimension while no search holds it (their
  // ids are marked dead). Every other sketch of the base is left behind. An unchanged commit
  // changes nothing.
  void Committed(std::size_t shard, std::uint64_t base, CommitOutcome outcome,
                 const ShardChange& change) override;

  // 0 turns sketches off and frees them; a smaller budget drops sketches until the rest fit.
  void SetBudget(std::uint64_t bytes);
  std::uint64_t budget() const { return budget_.load(std::memory_order_relaxed); }
  // Lock-free, so a forked child that never searches with sketches never touches the mutex.
  bool enabled() const { return budget() != 0; }
  // Bytes of the sketches held now (their held_bytes; sketches replaced while a search still
  // uses them are freed when it ends and not counted).
  std::uint64_t memory() const;

  // Counts of the searches since the last TakeCounts: records whose bound was tested, those
  // among them that had to be scored exactly, and records sketched.
  struct Counts {
    std::uint64_t bounded = 0;
    std::uint64_t rescored = 0;
    std::uint64_t sketched = 0;
  };
  void Count(std::uint64_t bounded, std::uint64_t rescored) {
    bounded_.fetch_add(bounded, std::memory_order_relaxed);
    rescored_.fetch_add(rescored, std::memory_order_relaxed);
  }
  void CountSketched(std::uint64_t records) {
    sketched_.fetch_add(records, std::memory_order_relaxed);
  }
  Counts TakeCounts() {
    return {bounded_.exchange(0), rescored_.exchange(0), sketched_.exchange(0)};
  }

 private:
  using Key = std::pair<std::size_t, std::size_t>;  // shard, dim
  std::uint64_t HeldExcept(const Key& key) const;   // mu_ held
  // Whether `sketch` (of the base snapshot, `alone`: no search holds it) can take `change` of
  // `shard`; when so, it has. mu_ held.
  bool Follow(ShardSketch& sketch, bool alone, std::size_t shard, const ShardChange& change);

  mutable std::mutex mu_;
  std::map<Key, std::shared_ptr<ShardSketch>> entries_;
  std::atomic<std::uint64_t> budget_;  // written under mu_
  std::uint64_t held_ = 0;
  std::atomic<std::uint64_t> bounded_{0};
  std::atomic<std::uint64_t> rescored_{0};
  std::atomic<std::uint64_t> sketched_{0};
};

}  // namespace zanth
