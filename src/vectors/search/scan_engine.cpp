#include "vectors/search/scan_engine.h"

#include <xmmintrin.h>

#include <algorithm>
#include <cstring>

#include "pool/worker_pool.h"
#include "vectors/search/bounds.h"

namespace zanth {

namespace {

// Queries whose final selection one pool task does.
constexpr std::size_t kQueriesPerMergeTask = 64;

void PrefetchBlockStart(const ScanBlock& b, std::size_t record_size) {
  const std::size_t bytes = std::min(kBlockPrefetchBytes, b.records * record_size);
  for (std::size_t offset = 0; offset < bytes; offset += kCacheLine) {
    _mm_prefetch(b.data + offset, _MM_HINT_T0);
  }
}

}  // namespace

Acceptance Acceptance::Of(const IdSet* filter) {
  if (filter != nullptr && filter->AcceptsAll()) filter = nullptr;
  return {filter};
}

Status ShardSnapshots::Open(const StoreHandle& store, SketchCache* cache, std::size_t dim,
                            const IdSet* filter, const char* operation) {
  if (store.num_shards() == 0 || (filter != nullptr && filter->AcceptsNone())) {
    return Status::Ok();
  }
  if (Status s = store.CheckProcess(); !s.ok()) return s;
  if (cache != nullptr && cache->enabled()) searching_ = SketchCache::SearchMark(cache);
  const std::size_t record_size = static_cast<std::size_t>(RecordSize(dim));
  record_size_ = record_size;
  const std::size_t num_shards = store.num_shards();
  shards_ = std::vector<Shard>(num_shards);
  // Every shard's snapshot is opened and its blocks listed (no value byte is read) before any
  // block is dealt: read transactions are not bound to a thread, so a shard's blocks can be
  // scored anywhere, and the work stays balanced whatever the number of shards.
  Status opened = WorkerPool::Instance().Run(num_shards, [&](std::size_t shard) {
    Shard& state = shards_[shard];
    Status listed = ListShardBlocks(store, shard, record_size, operation, &state.txn,
                                    [&](const char* value, std::size_t records) {
                                      state.blocks.emplace_back(value, records);
                                      state.records += records;
                                    });
    // A published sketch file is checked here, the shards in parallel.
    if (listed.ok() && cache != nullptr && cache->enabled()) {
      cache->AdoptFile(shard, dim, mdb_txn_id(state.txn.get()), state.records);
    }
    return listed;
  });
  if (!opened.ok()) return opened;
  cache_ = cache;
  for (std::size_t s = 0; s < num_shards; ++s) {
    if (cache != nullptr && cache->enabled()) Plan(*cache, s, dim);
    std::size_t first = 0;
    for (const auto& [data, records] : shards_[s].blocks) {
      blocks_.push_back({data, records, s, first});
      first += records;
    }
  }
  return Status::Ok();
}

void ShardSnapshots::Plan(SketchCache& cache, std::size_t shard, std::size_t dim) {
  Shard& state = shards_[shard];
  if (state.records == 0) return;
  state.sketch = cache.Acquire(shard, dim, mdb_txn_id(state.txn.get()), state.records);
  if (!state.sketch) return;
  state.growing = std::unique_lock<std::mutex>(state.sketch->grow, std::try_to_lock);
  // Read after taking the lock: a search that grew the sketch meanwhile has raised it. Only
  // whole blocks of this snapshot count: an append tops up the shard's last block, so a block
  // sketched in part is read, and sketched, again in full.
  const std::size_t covered = state.sketch->covered.load(std::memory_order_acquire);
  std::size_t usable = 0;
  for (const auto& block : state.blocks) {
    if (usable + block.second > covered) break;
    usable += block.second;
  }
  state.usable = usable;
  // The whole rest in this one search: the next one prunes everywhere again.
  state.build_end = state.growing.owns_lock() ? state.records : usable;
  if (state.build_end > usable) {
    ShardSketch& sketch = *state.sketch;
    // Sketched anew here (no search reads positions past `usable`, a chunk boundary).
    if (sketch.lender == nullptr && sketch.previous != nullptr && sketch.previous_in_place) {
      sketch.lent.assign((state.records + kSketchChunkRecords - 1) / kSketchChunkRecords, 0);
    }
    for (std::size_t c = usable / kSketchChunkRecords; c < sketch.lent.size(); ++c) {
      sketch.StopLending(c);
    }
  }
}

Status ShardSnapshots::PrepareFilter(const Acceptance& accept) {
  if (accept.filter == nullptr) return Status::Ok();
  return WorkerPool::Instance().Run(shards_.size(), [&](std::size_t s) {
    Shard& state = shards_[s];
    if (state.sketch && state.usable > 0) {
      state.bits = AcceptedBitsOf(*state.sketch, accept, state.usable);
    }
    return Status::Ok();
  });
}

const ShardSketch* ShardSnapshots::Reuse(const ScanBlock& b) const {
  const Shard& shard = shards_[b.shard];
  ShardSketch& sketch = *shard.sketch;
  std::size_t chunk;
  if (!SourceChunk(b, &chunk) || chunk >= sketch.previous_sources.size() ||
      chunk >= sketch.sources.size() || sketch.previous_sources[chunk] == 0 ||
      SourceHash(b, record_size_) != sketch.previous_sources[chunk]) {
    return nullptr;
  }
  // The same record bytes at the same positions: the old chunk's codes, bound terms and ids
  // are what sketching them again would give (up to the 2^-64 chance that different bytes
  // share a hash).
  if (const ShardSketch* old = sketch.previous.get()) {
    if (b.first + b.records > old->records || !old->Intact(b.first, b.records)) return nullptr;
  }
  if (!sketch.previous_in_place) {
    const ShardSketch* old = sketch.previous.get();
    const std::size_t dim = sketch.dim;
    std::memcpy(sketch.codes.get() + b.first * dim, old->codes.get() + b.first * dim,
                b.records * dim);
    std::memcpy(sketch.meta.get() + b.first, old->meta.get() + b.first,
                b.records * sizeof(RecordSketchMeta));
    std::memcpy(sketch.ids.get() + b.first, old->ids.get() + b.first,
                b.records * sizeof(std::int64_t));
  }
  sketch.sources[chunk] = sketch.previous_sources[chunk];
  // The chunk reads as the replaced sketch's only when this block is all of it in this
  // snapshot. A block that does not fill its chunk may share it with the next one (records
  // of another dimension start a block of their own): those positions are sketched into the
  // new arrays, and the replaced sketch holds nothing there.
  const bool whole_chunk = b.records == std::min(kSketchChunkRecords, shard.records - b.first);
  if (sketch.previous != nullptr && sketch.previous_in_place && whole_chunk &&
      chunk < sketch.lent.size()) {
    sketch.lent[chunk] = 1;  // distinct chunks per block: tasks write distinct bytes
  }
  shard.reused.fetch_add(b.records, std::memory_order_relaxed);
  // The replaced sketch holds these very codes at these positions, found intact just above,
  // in pages mapped already. Without one, the arrays were lent in place and hold them.
  return sketch.previous != nullptr ? sketch.previous.get() : &sketch;
}

void ShardSnapshots::Finish() {
  for (std::size_t s = 0; s < shards_.size(); ++s) {
    Shard& state = shards_[s];
    if (!state.growing.owns_lock()) continue;
    const bool completed = state.build_end > state.usable;
    std::shared_ptr<const ShardSketch> replaced;
    if (completed) {
      ShardSketch& sketch = *state.sketch;
      sketch.covered.store(state.build_end, std::memory_order_release);
      cache_->CountSketched(state.build_end - state.usable - state.reused.load());
      // Complete: nothing is taken from the sketch it replaced any more. Where chunks read
      // as its file's, it stays as their lender (published below with the sketch).
      replaced = std::move(sketch.previous);
      if (replaced != nullptr &&
          std::find(sketch.lent.begin(), sketch.lent.end(), 1) != sketch.lent.end()) {
        sketch.lender = std::move(replaced);
      }
      sketch.previous_in_place = false;
      std::vector<std::uint64_t>().swap(sketch.previous_sources);
    }
    state.growing.unlock();
    // build_end is the snapshot's every record: the sketch is complete. Unmapping the
    // replaced sketch is left to the publisher, off this search's path.
    if (completed && cache_ != nullptr) cache_->Publish(s, state.sketch, std::move(replaced));
  }
}

Status RunScan(ShardSnapshots& snapshots, std::size_t dim, BlockScorer& scorer) {
  const std::vector<ScanBlock>& blocks = snapshots.blocks();
  const std::size_t record_size = static_cast<std::size_t>(RecordSize(dim));
  WorkerPool& pool = WorkerPool::Instance();
  const std::size_t tasks = std::min(blocks.size(), pool.concurrency() * kTasksPerThread);
  scorer.Start(tasks);
  if (tasks == 0) return Status::Ok();
  Status scanned = pool.Run(tasks, [&](std::size_t task) -> Status {
    const std::size_t begin = blocks.size() * task / tasks;
    const std::size_t end = blocks.size() * (task + 1) / tasks;
    for (std::size_t b = begin; b < end; ++b) {
      if (b + 1 < end && scorer.ReadsWhole(task, blocks[b + 1])) {
        PrefetchBlockStart(blocks[b + 1], record_size);
      }
      scorer.Scan(task, blocks[b]);
    }
    scorer.FinishTask(task);
    return Status::Ok();
  });
  if (!scanned.ok()) return scanned;
  snapshots.Finish();
  return Status::Ok();
}

void ResultCollector::Start(std::size_t tasks) {
  tasks_ = tasks;
  parts_.assign(tasks * queries_, TopK(k_));
}

Result<std::vector<std::vector<ScoredHit>>> ResultCollector::Finish() {
  std::vector<std::vector<ScoredHit>> results(queries_);
  auto merge = [&](std::size_t q) {
    std::vector<ScoredHit> all;
    for (std::size_t t = 0; t < tasks_; ++t) {
      std::vector<ScoredHit>& hits = Best(t, q).hits();
      all.insert(all.end(), hits.begin(), hits.end());
      std::vector<ScoredHit>().swap(hits);
    }
    results[q] = SelectBest(std::move(all), k_);
  };
  if (queries_ <= 1) {
    if (queries_ == 1) merge(0);
    return results;
  }
  const std::size_t merge_tasks = (queries_ + kQueriesPerMergeTask - 1) / kQueriesPerMergeTask;
  Status merged = WorkerPool::Instance().Run(merge_tasks, [&](std::size_t m) -> Status {
    const std::size_t end = std::min(queries_, (m + 1) * kQueriesPerMergeTask);
    for (std::size_t q = m * kQueriesPerMergeTask; q < end; ++q) merge(q);
    return Status::Ok();
  });
  if (!merged.ok()) return merged;
  return results;
}

}  // namespace zanth
