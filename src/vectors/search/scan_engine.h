// The one scan every vector search runs. The engine takes every shard's read snapshot with its
// sketch, lists the blocks of one dimension, deals them out in contiguous runs to a few tasks
// per pool thread and hands each block to a scorer; the scorer decides what to read of it
// (sketch codes, gathered records, both) and offers hits to a ResultCollector, which merges the
// tasks' best hits once at the end. Flat, pruned, batch and pruned-batch searches are scorers;
// a new way of searching is a new scorer, never a new driver.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "base/status.h"
#include "index/id_membership.h"
#include "index/id_set.h"
#include "store/lmdb_handles.h"
#include "store/store_handle.h"
#include "vectors/kernels/score_kernels.h"
#include "vectors/search/sketch_cache.h"
#include "vectors/search/top_k.h"
#include "vectors/records/vector_block.h"

namespace zanth {

struct ScanBlock {
  const char* data;
  std::size_t records;
  std::size_t shard;
  std::size_t first;  // index of the block's first record within its shard
};

// The live records a filter accepts. The filter's lookup table is built by the first test of a
// record (once per id set): a search that finds every shard's acceptance bits kept, or brings
// them up to date from an earlier set's, never builds it.
struct Acceptance {
  const IdSet* filter;  // nullptr: every id
  static Acceptance Of(const IdSet* filter);
  bool Accepts(std::int64_t id) const {
    if (id == kTombstoneId) return false;
    return filter == nullptr || filter->Membership().Contains(id) != filter->negated;
  }
};

// Every shard's read snapshot with its blocks of one dimension and, when sketches are used,
// its sketch. The one search that holds a sketch's `grow` lock sketches every block the sketch
// does not cover yet as it reads it in full, and Finish() makes them visible to later
// searches; sketched ranges end at block boundaries of the reader's snapshot.
class ShardSnapshots {
 public:
  // `cache` nullptr: no sketches. A store without
  // shards or a filter that accepts nothing gives no blocks and opens nothing. The process
  // check comes before any cache lock, so a forked child fails here instead of waiting on a
  // lock held at the fork.
  // Errors: kWrongProcess; those of ListShardBlocks.
  Status Open(const StoreHandle& store, SketchCache* cache, std::size_t dim, const IdSet* filter,
              const char* operation);
  // With a filter: finds or builds, for every shard with a sketch, the bitmap of the sketched
  // records `accept` accepts (bounds.h), the shards on the pool.
  // Errors: the pool's.
  Status PrepareFilter(const Acceptance& accept);
  // The bitmap of block `b`'s shard, or nullptr.
  const AcceptedBits* BitsOf(const ScanBlock& b) const { return shards_[b.shard].bits.get(); }

  // Publishes what this search sketched, once every block was read, and has a sketch it
  // completed published to its file (SketchCache::Publish). Without it (a failed
  // scan) the snapshots' destruction only lets the sketches go.
  void Finish();

  const std::vector<ScanBlock>& blocks() const { return blocks_; }
  // The sketch that covers block `b` (every record of it, found intact), or nullptr when the
  // block must be read in full.
  const ShardSketch* SketchOf(const ScanBlock& b) const {
    const Shard& shard = shards_[b.shard];
    if (b.first >= shard.usable || !shard.sketch->Intact(b.first, b.records)) return nullptr;
    const std::size_t chunk = b.first / kSketchChunkRecords;
    return (b.first + b.records - 1) / kSketchChunkRecords == chunk
               ? shard.sketch->ReadsFrom(chunk)
               : shard.sketch.get();
  }
  // The sketch this search fills for block `b` as it reads it, or nullptr.
  ShardSketch* BuildsInto(const ScanBlock& b) const {
    const Shard& shard = shards_[b.shard];
    return b.first >= shard.usable && b.first < shard.build_end ? shard.sketch.get() : nullptr;
  }
  // For a block this search sketches (BuildsInto): takes its chunk of the sketch that the one
  // being built replaced, when the block's record bytes are those that chunk was made from
  // (ShardSketch::previous_sources). When it did, returns the sketch to bound the block with:
  // the replaced one where the new arrays are its file's pages copy on write (it is mapped
  // and checked already, where the new arrays' pages would fault in one by one), else the one
  // being built. nullptr: the block must be sketched.
  const ShardSketch* Reuse(const ScanBlock& b) const;

 private:
  struct Shard {
    Txn txn;
    std::vector<std::pair<const char*, std::size_t>> blocks;  // value, records
    std::size_t records = 0;
    std::shared_ptr<ShardSketch> sketch;   // null: every record is scored exactly
    std::size_t usable = 0;                // records [0, usable) are sketched
    std::size_t build_end = 0;             // this search sketches [usable, build_end)
    std::unique_lock<std::mutex> growing;  // held while build_end > usable
    std::shared_ptr<const AcceptedBits> bits;  // positions [0, usable) under the filter
    mutable std::atomic<std::size_t> reused{0};  // records Reuse took over
  };
  void Plan(SketchCache& cache, std::size_t shard, std::size_t dim);

  // Declared first, so it is let go after the sketches the shards hold: the publisher waits
  // for it before it replaces a sketch (which a search letting go last would unmap).
  SketchCache::SearchMark searching_;
  std::vector<Shard> shards_;
  std::vector<ScanBlock> blocks_;
  SketchCache* cache_ = nullptr;
  std::size_t record_size_ = 0;
};

// What the engine drives. Start(tasks) runs once before any block; then each task's blocks go
// to Scan in order, followed by FinishTask. A task's calls never overlap, different tasks' do.
// Record pointers stay valid until the scan returns.
class BlockScorer {
 public:
  virtual ~BlockScorer() = default;
  virtual void Start(std::size_t tasks) = 0;
  // Whether `task` will read block `b`'s records in full (the engine then touches its first
  // bytes while the block before is scored).
  virtual bool ReadsWhole(std::size_t task, const ScanBlock& b) const = 0;
  virtual void Scan(std::size_t task, const ScanBlock& b) = 0;
  virtual void FinishTask(std::size_t task) = 0;
};

// Deals the snapshots' blocks to the scorer's tasks, then publishes what was sketched.
// Errors: none of its own (scorers do not fail); the pool's.
Status RunScan(ShardSnapshots& snapshots, std::size_t dim, BlockScorer& scorer);

// Per task: accepted live records gathered across blocks, handed on `batch` at a time (so thin
// filters still give full batches). A block read at a smaller dimension than it was written
// with holds more than kBlockCapacity records; the batches take them all the same.
class RecordGatherer {
 public:
  RecordGatherer(std::size_t record_size, std::size_t batch)
      : record_size_(record_size), batch_(batch) {}
  // Calls score(records, ids, n) for every full batch.
  template <typename ScoreFn>
  void Add(const ScanBlock& b, const Acceptance& accept, ScoreFn&& score) {
    for (std::size_t j = 0; j < b.records; ++j) {
      const char* record = b.data + j * record_size_;
      const std::int64_t id = DecodeId(record);
      if (!accept.Accepts(id)) continue;
      records_[n_] = record;
      ids_[n_] = id;
      if (++n_ == batch_) Flush(score);
    }
  }
  // Adds one record already known accepted.
  template <typename ScoreFn>
  void AddOne(const char* record, std::int64_t id, ScoreFn&& score) {
    records_[n_] = record;
    ids_[n_] = id;
    if (++n_ == batch_) Flush(score);
  }
  template <typename ScoreFn>
  void Flush(ScoreFn&& score) {
    if (n_ != 0) score(static_cast<const char* const*>(records_), ids_, n_);
    n_ = 0;
  }

 private:
  std::size_t record_size_;
  std::size_t batch_;  // 1 .. kBlockCapacity
  std::size_t n_ = 0;
  const char* records_[kBlockCapacity];
  std::int64_t ids_[kBlockCapacity];
};

// Scores records[0, n) (n <= kBlockCapacity) against one query and offers them to `best`.
inline void ScoreAndOffer(ScoreKernel kernel, const float* query, std::size_t dim,
                          const char* const* records, const std::int64_t* ids, std::size_t n,
                          TopK& best) {
  float scores[kBlockCapacity];
  kernel(query, dim, records, n, scores);
  for (std::size_t j = 0; j < n; ++j) best.Offer(scores[j], ids[j]);
}

// Each query's best hits per task, merged once: hits in the result order of top_k.h, so the
// list does not depend on how blocks were dealt or in which order records were met.
class ResultCollector {
 public:
  ResultCollector(std::size_t queries, std::uint64_t k) : queries_(queries), k_(k) {}
  void Start(std::size_t tasks);
  TopK& Best(std::size_t task, std::size_t query) { return parts_[task * queries_ + query]; }
  // Every query's best k of all tasks, best first; the tasks' hits are released as they are
  // taken. Many queries are merged on the pool. Errors: the pool's.
  Result<std::vector<std::vector<ScoredHit>>> Finish();

 private:
  std::size_t queries_;
  std::uint64_t k_;
  std::size_t tasks_ = 0;
  std::vector<TopK> parts_;  // tasks * queries
};

}  // namespace zanth
