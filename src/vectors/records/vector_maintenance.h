// Deleting and compacting vectors. Neither routes by id: both walk every block of every shard,
// one write transaction per shard, all shards in parallel. The caller passes the dimension the
// vectors were stored with; blocks that are not a whole number of such records reveal a wrong
// one.
#pragma once

#include <cstdint>
#include <span>

#include "index/id_set.h"
#include "store/store_handle.h"

namespace zanth {

// Overwrites the id of every record whose id is in `ids` with kTombstoneId; values stay, no
// record moves, only changed blocks are written back.
// Errors: kInvalidArgument (a block is not a whole number of records of `dim`; that shard is not
// written), kInternal (a transaction, cursor, put or commit failed; the message names the LMDB
// error; that shard is not written, every other shard either committed or was not processed),
// kWrongProcess.
Status DeleteVectors(const StoreHandle& store, std::span<const std::int64_t> ids,
                     std::uint64_t dim);

// DeleteVectors' work on one shard, inside `txn`, that shard's write transaction: marks the
// records whose id is in `doomed` and sets `*wrote` when a block changed.
// Errors: as DeleteVectors, for this shard.
Status TombstoneVectorsInShard(MDB_txn* txn, MDB_dbi dbi, const char* operation,
                               std::size_t shard, const IdHashSet& doomed, std::uint64_t dim,
                               bool* wrote);

// Reads every shard and checks that each block holds whole records of `dim`: what
// TombstoneVectorsInShard checks, looked at before a write that must leave every shard
// unwritten on a mismatch. Only key and value lengths are read.
// Errors: as DeleteVectors' for a dimension mismatch or a failed read.
Status CheckBlocksHoldDim(const StoreHandle& store, std::uint64_t dim, const char* operation);

// Drops tombstones from every block, deletes blocks left empty (the others keep their numbers
// and their records' order) and returns how many tombstones were dropped.
// Errors: as DeleteVectors.
Result<std::uint64_t> CompactVectors(const StoreHandle& store, std::uint64_t dim);

}  // namespace zanth
