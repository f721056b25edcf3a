// Evaluation of a filter tree against the index records of every shard.
#pragma once

#include <memory>

#include "index/filter_cache.h"
#include "index/filter_node.h"
#include "index/id_set.h"
#include "store/store_handle.h"

namespace zanth {

// The id set that `root` selects.
//   Exact: the one shard of the key; only records of exactly key + '|' + 8 id bytes count, so
//     keys that extend the looked-up key with '|' never leak ids into its result.
//   Range [start, end): every shard in parallel, whole record keys compared bytewise, the scan
//     stopping at the first key outside start's namespace (start up to its first ':').
//   And / Or: combined by AndOf / OrOf, bottom-up with an explicit stack (no recursion), after
//     every leaf of the tree was read in one flat parallel task set.
//   Not: the child with its complement flag flipped.
// A store without shards yields empty sets for Exact and Range.
// With `cache` (the handle's; nullptr: none), every shard's snapshot is probed first (one short
// read transaction each): a tree kept for those snapshots is returned as it is, shared; else
// leaves kept for the snapshot they are read at (or carried to it by this handle's commits,
// FilterCache::Committed) are taken instead of read, and what is read is kept. The result then
// carries a fingerprint (the cache's serial, the probed snapshots, the canonical tree) when every
// leaf was read at the probed snapshots, and is kept as the tree's; and, when the tree's set of
// earlier snapshots was kept and differs from it in few ids, those ids (IdSet::since).
// Errors: kLmdb (step kBeginRead or kCursor, context "index shard <n>") when a read transaction
// or cursor cannot be opened or a cursor step fails; kWrongProcess after fork() (checked before
// the cache is touched).
Result<std::shared_ptr<const IdSet>> EvaluateFilter(const StoreHandle& store,
                                                    const FilterNode& root,
                                                    FilterCache* cache = nullptr);

}  // namespace zanth
