#include "vectors/flat_search.h"

#include <xmmintrin.h>

#include <algorithm>
#include <optional>
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
// Blocks split among this many tasks per pool thread, so one slow thread (the machine is
// shared) does not hold up the call.
constexpr std::size_t kTasksPerThread = 4;
// Bytes of the next block touched ahead of its scan; records within a block are prefetched by
// the kernels.
constexpr std::size_t kBlockPrefetchBytes = 2048;
constexpr std::size_t kCacheLine = 64;

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

// The best `k` hits seen so far, as a heap whose front is the worst kept hit. Grows with the
// hits offered, never with k.
class TopK {
 public:
  explicit TopK(std::uint64_t k) : k_(k) {}

  void Offer(float score, std::int64_t id) {
    ScoredHit hit{score, id};
    if (hits_.size() < k_) {
      hits_.push_back(hit);
      std::push_heap(hits_.begin(), hits_.end(), RanksBefore);
      return;
    }
    if (!RanksBefore(hit, hits_.front())) return;
    std::pop_heap(hits_.begin(), hits_.end(), RanksBefore);
    hits_.back() = hit;
    std::push_heap(hits_.begin(), hits_.end(), RanksBefore);
  }

  std::vector<ScoredHit>& hits() { return hits_; }

 private:
  std::uint64_t k_;
  std::vector<ScoredHit> hits_;
};

struct ScanContext {
  const float* query;
  std::size_t dim;
  std::size_t record_size;
  const IdMembership* membership;  // of the filter's ids when the mode is not kNone
  FilterMode mode;
  ScoreKernel kernel;
  std::uint64_t k;

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

template <FilterMode kMode>
void ScoreBlocksIn(const ScanContext& ctx, const BlockRef* blocks, std::size_t count, TopK* best) {
  // Accepted records are gathered across blocks and scored kBatch at a time, so the kernels
  // see whole register groups even when filters and tombstones thin a block out.
  constexpr std::size_t kBatch = kBlockCapacity;
  const char* records[kBatch];
  std::int64_t ids[kBatch];
  float scores[kBatch];
  std::size_t n = 0;
  auto flush = [&] {
    ctx.kernel(ctx.query, ctx.dim, records, n, scores);
    for (std::size_t j = 0; j < n; ++j) best->Offer(scores[j], ids[j]);
    n = 0;
  };
  for (std::size_t b = 0; b < count; ++b) {
    const BlockRef& block = blocks[b];
    if (b + 1 < count) PrefetchBlockStart(blocks[b + 1], ctx.record_size);
    // A block written with a smaller dimension can hold more than kBlockCapacity records of
    // this size; the batch takes them all the same.
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
      if (++n == kBatch) flush();
    }
  }
  if (n != 0) flush();
}

void ScoreBlocks(const ScanContext& ctx, const BlockRef* blocks, std::size_t count, TopK* best) {
  switch (ctx.mode) {
    case FilterMode::kNone:
      return ScoreBlocksIn<FilterMode::kNone>(ctx, blocks, count, best);
    case FilterMode::kInclude:
      return ScoreBlocksIn<FilterMode::kInclude>(ctx, blocks, count, best);
    case FilterMode::kExclude:
      return ScoreBlocksIn<FilterMode::kExclude>(ctx, blocks, count, best);
  }
}

// Opens the shard's read transaction and lists its blocks (no value byte is read yet).
Status OpenSnapshot(const StoreHandle& store, std::size_t shard, std::size_t record_size,
                    ShardSnapshot* snapshot) {
  if (int rc = snapshot->txn.BeginRead(store.environment(shard)); rc != 0) {
    return Status::Lmdb(rc, LmdbStep::kBeginRead, ShardContext(kOperation, shard) + ": begin read");
  }
  Status walked = ForEachBlock(
      snapshot->txn.get(), store.dbi(shard), VectorRangeStart(),
      [&](std::string_view key, std::string_view value, bool*) -> Status {
        if (Status s = CheckBlockLength(key, value.size(), record_size, shard); !s.ok()) return s;
        if (value.size() >= record_size) {
          snapshot->blocks.push_back({value.data(), value.size() / record_size});
        }
        return Status::Ok();
      });
  if (walked.code() == StatusCode::kLmdb) return walked.WithContext(ShardContext(kOperation, shard));
  return walked;
}

std::vector<ScoredHit> SelectBest(std::vector<TopK>& parts, std::uint64_t k) {
  std::vector<ScoredHit> all;
  std::size_t total = 0;
  for (TopK& part : parts) total += part.hits().size();
  all.reserve(total);
  for (TopK& part : parts) {
    all.insert(all.end(), part.hits().begin(), part.hits().end());
    std::vector<ScoredHit>().swap(part.hits());
  }
  if (all.size() > k) {
    auto kth = all.begin() + static_cast<std::ptrdiff_t>(k);
    std::nth_element(all.begin(), kth, all.end(), RanksBefore);
    all.erase(kth, all.end());
  }
  std::sort(all.begin(), all.end(), RanksBefore);
  return all;
}

}  // namespace

Result<std::vector<ScoredHit>> SearchFlat(const StoreHandle& store, const float* query,
                                          std::size_t dim, const IdSet* filter, std::uint64_t k,
                                          ScoreKernel kernel) {
  if (k == 0 || store.num_shards() == 0 || (filter != nullptr && filter->AcceptsNone())) {
    return std::vector<ScoredHit>{};
  }
  if (Status s = store.CheckProcess(); !s.ok()) return s;
  const FilterMode mode = ModeOf(filter);
  // Built once per id set, by the first search that uses it.
  const IdMembership* membership = mode == FilterMode::kNone ? nullptr : &filter->Membership();
  ScanContext ctx{query, dim, static_cast<std::size_t>(RecordSize(dim)), membership, mode,
                  kernel ? kernel : BestKernel(), k};
  WorkerPool& pool = WorkerPool::Instance();
  const std::size_t num_shards = store.num_shards();
  // First every shard's snapshot is opened and its blocks listed (no value byte is read), then
  // the blocks of all shards are dealt out in contiguous runs to several tasks per thread: the
  // read transactions are not bound to a thread, so a shard's blocks can be scored anywhere,
  // and the work stays balanced whether there are fewer shards than threads or a few more.
  std::vector<ShardSnapshot> snapshots(num_shards);
  Status opened = pool.Run(num_shards, [&](std::size_t shard) {
    return OpenSnapshot(store, shard, ctx.record_size, &snapshots[shard]);
  });
  if (!opened.ok()) return opened;
  std::vector<BlockRef> blocks;
  for (ShardSnapshot& snapshot : snapshots) {
    blocks.insert(blocks.end(), snapshot.blocks.begin(), snapshot.blocks.end());
  }
  std::size_t tasks = std::min(blocks.size(), pool.concurrency() * kTasksPerThread);
  std::vector<TopK> parts(tasks, TopK(k));
  Status scanned = pool.Run(tasks, [&](std::size_t task) -> Status {
    std::size_t begin = blocks.size() * task / tasks;
    std::size_t end = blocks.size() * (task + 1) / tasks;
    ScoreBlocks(ctx, blocks.data() + begin, end - begin, &parts[task]);
    return Status::Ok();
  });
  if (!scanned.ok()) return scanned;
  return SelectBest(parts, k);
}

}  // namespace zanth
