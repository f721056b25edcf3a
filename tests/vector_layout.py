"""Shared helpers of the vector tests: record bytes, the blocks on disk, and a model of how
appends, deletions and compactions lay blocks out."""

import gc

import numpy as np

from conftest import read_shard
from store_model import shard_of_id as shard_of

INT64_MIN = -(2**63)
CAPACITY = 256


def record(record_id, row):
    return record_id.to_bytes(8, "little", signed=True) + np.asarray(row, dtype="<f4").tobytes()


def disk_blocks(store_path, shard):
    """{block number: value} of one shard, read from disk (the store must be closed)."""
    gc.collect()
    return {int.from_bytes(k[1:], "big"): v for k, v in read_shard(store_path, shard)
            if len(k) == 5 and k[0] == 0x70}


def bits(x):
    return np.float32(x).view(np.uint32)


class BlockModel:
    """Per shard, {block number: [record bytes]}, updated as the store's operations define."""

    def __init__(self, num_shards, dim):
        self.dim = dim
        self.size = 8 + 4 * dim
        self.shards = [dict() for _ in range(num_shards)]

    def store(self, data, ids):
        for record_id, row in zip(ids, data):
            blocks = self.shards[shard_of(record_id, len(self.shards))]
            last = max(blocks) if blocks else None
            if last is None:
                blocks[0] = []
                last = 0
            elif len(blocks[last]) >= CAPACITY:
                last += 1
                blocks[last] = []
            blocks[last].append(record(record_id, row))

    def delete(self, ids):
        doomed = {i.to_bytes(8, "little", signed=True) for i in ids if i != INT64_MIN}
        tomb = INT64_MIN.to_bytes(8, "little", signed=True)
        for blocks in self.shards:
            for records in blocks.values():
                for j, rec in enumerate(records):
                    if rec[:8] in doomed:
                        records[j] = tomb + rec[8:]

    def compact(self):
        tomb = INT64_MIN.to_bytes(8, "little", signed=True)
        removed = 0
        for blocks in self.shards:
            for number in list(blocks):
                kept = [r for r in blocks[number] if r[:8] != tomb]
                removed += len(blocks[number]) - len(kept)
                if kept:
                    blocks[number] = kept
                else:
                    del blocks[number]
        return removed

    def on_disk(self, shard):
        return {n: b"".join(recs) for n, recs in self.shards[shard].items()}
