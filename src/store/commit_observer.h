// Who keeps state derived from a shard's records (the search sketches, the filter cache's
// leaves) is told of every commit its own StoreHandle makes, with what the writer knows it
// changed, so that state can follow the commit instead of being rebuilt. Commits by other
// handles or processes are not reported: they show up as a snapshot id the state does not know.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace zanth {

// What one bulk write does to a shard's vector records.
struct ShardChange {
  enum class Kind {
    kNoVectors,   // objects or index entries only: every vector record stays as it was
    kAppend,      // records of `dim` appended after the shard's last record; none moves
    kTombstones,  // records of `dim` whose id is in `ids` became tombstones; none moves
    kTombstonesThenAppend,  // kTombstones, then kAppend, in one commit
    kRewrite,     // records of `dim` moved or vanished (compaction)
  };
  Kind kind = Kind::kNoVectors;
  std::uint64_t dim = 0;
  std::vector<std::uint64_t> appended;  // kAppend, kTombstonesThenAppend: records per shard
  std::span<const std::int64_t> ids;    // kTombstones, kTombstonesThenAppend
  // Per shard, set by the write step when it certainly wrote something (so its commit is not
  // empty); nullptr when the writer does not say.
  std::vector<char>* wrote = nullptr;

  // What the commit did to the shard's index records (index_records.h), when it is known:
  // kUnknown unless the writer says. kListed: per shard, the record keys the write removed and
  // then those it put, each list in ascending byte order, filled by the shard's write step
  // before its commit (a removed record may have been missing, a put one already there).
  enum class Index { kUnknown, kUnchanged, kListed };
  Index index = Index::kUnknown;
  std::vector<std::vector<std::string_view>>* index_removed = nullptr;  // kListed
  std::vector<std::vector<std::string_view>>* index_put = nullptr;      // kListed
};

// How a commit moved the shard's snapshot id. LMDB gives a write transaction the id after its
// base and commits an empty one without using that id, so a commit is known to have made
// base + 1 only when it wrote something.
enum class CommitOutcome {
  kAdvanced,   // the shard went from `base` to exactly base + 1 by this commit
  kUnchanged,  // an empty commit, and no other commit followed yet: the shard is still `base`
  kUnknown,    // an empty commit followed by another writer's: nothing can be said
};

class CommitObserver {
 public:
  virtual ~CommitObserver() = default;
  // Called on the committing thread right after the commit of `shard`, whose write
  // transaction read snapshot `base`. Must not call back into the store.
  virtual void Committed(std::size_t shard, std::uint64_t base, CommitOutcome outcome,
                         const ShardChange& change) = 0;
};

}  // namespace zanth
