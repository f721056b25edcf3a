#include "vectors/flat_search.h"

#include <xmmintrin.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "index/id_membership.h"
#include "pool/worker_pool.h"
#include "store/lmdb_handles.h"
#include "base/id_key.h"
#include "store/shard_writer.h"
#include "vectors/vector_block.h"

namespace zanth {

namespace {

constexpr const char* kOperation = "search_flat";

enum class FilterMode { kNone, kInclude, kExclude };

FilterMode ModeOf(const IdSet* filter) {
  if (filter == nullptr || filter->AcceptsAll()) return FilterMode::kNone;
  return filter->negated ? FilterMode::kExclude : FilterMode::kInclude;
}

// A block's value inside a shard's read transaction: valid while that transaction lives.
struct BlockRef {
  const char* data;
  std::size_t records;
};

struct ShardSnapshot {
  Txn txn;
  std::vector<BlockRef> blocks;
};

struct ScanContext {
  std::size_t record_size;
  const IdMembership* membership;  // of the filter's ids when the mode is not kNone
  FilterMode mode;
  std::size_t batch;

  bool InFilter(std::int64_t id) const {
    return membership->Contains(id);
  }
};

void PrefetchBlockStart(const BlockRef& block, std::size_t record_size) {
  std::size_t bytes = std::min(kBlockPrefetchBytes, block.records * record_size);
  for (std::size_t offset = 0; offset < bytes; offset += kCacheLine) {
    _mm_prefetch(block.data + offset, _MM_HINT_T0);
  }
}

template <FilterMode kMode, class Sink>
void GatherBlocksIn(const ScanContext& ctx, const BlockRef* blocks, std::size_t count,
                    const Sink& sink) {
  const char* records[kBlockCapacity];
  std::int64_t ids[kBlockCapacity];
  std::size_t n = 0;
  for (std::size_t b = 0; b < count; ++b) {
    const BlockRef& block = blocks[b];
    if (b + 1 < count) PrefetchBlockStart(blocks[b + 1], ctx.record_size);
    // A block written with a smaller dimension can hold more than kBlockCapacity records of
    // this size; the batches take them all the same.
    for (std::size_t j = 0; j < block.records; ++j) {
      const char* record = block.data + j * ctx.record_size;
      std::int64_t id = DecodeId(record);
      if (id == kTombstoneId) continue;
      if constexpr (kMode == FilterMode::kInclude) {
        if (!ctx.InFilter(id)) continue;
      } else if constexpr (kMode == FilterMode::kExclude) {
        if (ctx.InFilter(id)) continue;
      }
      records[n] = record;
      ids[n] = id;
      if (++n == ctx.batch) {
        sink(records, ids, n);
        n = 0;
      }
    }
  }
  if (n != 0) sink(records, ids, n);
}

template <class Sink>
void GatherBlocks(const ScanContext& ctx, const BlockRef* blocks, std::size_t count,
                  const Sink& sink) {
  switch (ctx.mode) {
    case FilterMode::kNone:
      return GatherBlocksIn<FilterMode::kNone>(ctx, blocks, count, sink);
    case FilterMode::kInclude:
      return GatherBlocksIn<FilterMode::kInclude>(ctx, blocks, count, sink);
    case FilterMode::kExclude:
      return GatherBlocksIn<FilterMode::kExclude>(ctx, blocks, count, sink);
  }
}


}  // namespace

Status ScanAcceptedRecords(const StoreHandle& store, std::size_t dim, const IdSet* filter,
                           std::size_t batch, const std::function<void(std::size_t)>& start,
                           const AcceptedRecordSink& score) {
  if (store.num_shards() == 0 || (filter != nullptr && filter->AcceptsNone())) {
    start(0);
    return Status::Ok();
  }
  if (Status s = store.CheckProcess(); !s.ok()) return s;
  const FilterMode mode = ModeOf(filter);
  // Built once per id set, by the first search that uses it.
  const IdMembership* membership = mode == FilterMode::kNone ? nullptr : &filter->Membership();
  ScanContext ctx{static_cast<std::size_t>(RecordSize(dim)), membership, mode,
                  std::clamp<std::size_t>(batch, 1, kBlockCapacity)};
  WorkerPool& pool = WorkerPool::Instance();
  const std::size_t num_shards = store.num_shards();
  // First every shard's snapshot is opened and its blocks listed (no value byte is read), then
  // the blocks of all shards are dealt out in contiguous runs to several tasks per thread: the
  // read transactions are not bound to a thread, so a shard's blocks can be scored anywhere,
  // and the work stays balanced whether there are fewer shards than threads or a few more.
  std::vector<ShardSnapshot> snapshots(num_shards);
  Status opened = pool.Run(num_shards, [&](std::size_t shard) {
    ShardSnapshot& snapshot = snapshots[shard];
    return ListShardBlocks(store, shard, ctx.record_size, kOperation, &snapshot.txn,
                           [&](const char* value, std::size_t records) {
                             snapshot.blocks.push_back({value, records});
                           });
  });
  if (!opened.ok()) return opened;
  std::vector<BlockRef> blocks;
  for (ShardSnapshot& snapshot : snapshots) {
    blocks.insert(blocks.end(), snapshot.blocks.begin(), snapshot.blocks.end());
  }
  const std::size_t tasks = std::min(blocks.size(), pool.concurrency() * kTasksPerThread);
  start(tasks);
  return pool.Run(tasks, [&](std::size_t task) -> Status {
    std::size_t begin = blocks.size() * task / tasks;
    std::size_t end = blocks.size() * (task + 1) / tasks;
    GatherBlocks(ctx, blocks.data() + begin, end - begin,
                 [&](const char* const* records, const std::int64_t* ids, std::size_t count) {
                   score(task, records, ids, count);
                 });
    return Status::Ok();
  });
}

Result<std::vector<ScoredHit>> SearchFlat(const StoreHandle& store, const float* query,
                                          std::size_t dim, const IdSet* filter, std::uint64_t k,
                                          ScoreKernel kernel) {
  if (k == 0) return std::vector<ScoredHit>{};
  if (kernel == nullptr) kernel = BestKernel();
  std::vector<TopK> parts;
  Status scanned = ScanAcceptedRecords(
      store, dim, filter, kBlockCapacity, [&](std::size_t tasks) { parts.assign(tasks, TopK(k)); },
      [&](std::size_t task, const char* const* records, const std::int64_t* ids,
          std::size_t count) {
        float scores[kBlockCapacity];
        kernel(query, dim, records, count, scores);
        for (std::size_t j = 0; j < count; ++j) parts[task].Offer(scores[j], ids[j]);
      });
  if (!scanned.ok()) return scanned;
  std::vector<ScoredHit> all;
  for (TopK& part : parts) {
    all.insert(all.end(), part.hits().begin(), part.hits().end());
    std::vector<ScoredHit>().swap(part.hits());
  }
  return SelectBest(std::move(all), k);
}

}  // namespace zanth
