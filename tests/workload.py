"""Numbered write calls for the crash and concurrency tests, and the way to observe a store shard
by shard. Call number c is fully determined by (seed, c), so a killed writer's calls can be
replayed in the parent's model; every id a call writes encodes c (id = +-(c * 1000 + j)).
"""
import random

import numpy as np

import zanth_vec
from store_model import float_bits, index_shard, shard_of_id

DIM = 8
TAGS = [f"tag:{i}" for i in range(16)]
IDS_PER_CALL = 1000
KINDS = ("objects", "vectors", "index")

def batch_ids(call_no, count, rng):
    return [rng.choice((1, -1)) * (call_no * IDS_PER_CALL + j) for j in range(count)]


class Call:
    """One public-method call: `run(db)` on the store, `apply(model)` on the model."""

    def __init__(self, number, method, args):
        self.number, self.method, self.args = number, method, args

    def run(self, db):
        return getattr(db, self.method)(*self.args)

    def apply(self, model):
        if self.method in ("delete_flat_vectors", "compact_vectors"):
            return getattr(model, self.method)(*self.args[:-1])
        return getattr(model, self.method)(*self.args)

    def ids(self):
        if self.method == "store_data" or self.method == "store_flat_vectors":
            return list(self.args[1])
        if self.method in ("delete_data",):
            return list(self.args[0])
        if self.method == "delete_flat_vectors":
            return list(self.args[0])
        if self.method.startswith("batch_index"):
            return [rid for _, rid in self.args[0]]
        return []

    def __repr__(self):
        return f"Call({self.number}, {self.method}, {len(self.ids())} ids)"


def make_call(seed, number, kinds):
    """Call `number` of the workload with seed `seed` over the enabled kinds. Deletions take
    part of what an earlier call of the same kind wrote."""
    rng = random.Random(seed * 1_000_003 + number)
    kind = kinds[number % len(kinds)]
    earlier = number - len(kinds) * rng.randint(1, 8)
    prev = make_call(seed, earlier, kinds) if earlier >= 0 and rng.random() < 0.3 else None
    if kind == "objects":
        if prev is not None and prev.method == "store_data":
            victims = prev.ids()
            return Call(number, "delete_data", (rng.sample(victims, rng.randint(1, len(victims))),))
        ids = batch_ids(number, rng.randint(1, 40), rng)
        data = [(number, rid, "x" * rng.randint(0, 3000)) for rid in ids]
        return Call(number, "store_data", (data, ids))
    if kind == "vectors":
        if rng.random() < 0.08:
            return Call(number, "compact_vectors", (DIM,))
        if prev is not None and prev.method == "store_flat_vectors":
            victims = prev.ids()
            doomed = rng.sample(victims, rng.randint(1, len(victims)))
            return Call(number, "delete_flat_vectors", (doomed, DIM))
        ids = batch_ids(number, rng.randint(1, 300), rng)
        data = np.random.default_rng([seed, number]).standard_normal((len(ids), DIM)).astype(np.float32)
        return Call(number, "store_flat_vectors", (data, ids))
    if prev is not None and prev.method == "batch_index_insert":
        entries = prev.args[0]
        return Call(number, "batch_index_delete", (rng.sample(entries, rng.randint(1, len(entries))),))
    ids = batch_ids(number, rng.randint(1, 60), rng)
    entries = [(rng.choice(TAGS), rid) for rid in ids]
    return Call(number, "batch_index_insert", (entries,))


QUERY = np.random.default_rng(12345).standard_normal(DIM).astype(np.float32)


def observe(db, num_shards, kinds, object_ids):
    """Per shard, what the public methods report: (objects, vector hits, index records), in the
    form of ShardModel.observable(QUERY). `object_ids` are the ids whose objects to read."""
    shards = [({}, {}, set()) for _ in range(num_shards)]
    if "objects" in kinds:
        import pickle

        object_ids = sorted(object_ids)
        for rid, obj in zip(object_ids, db.get_data(object_ids)):
            if obj is not None:
                shards[shard_of_id(rid, num_shards)][0][rid] = pickle.dumps(obj)
    if "vectors" in kinds:
        from collections import Counter

        counters = [Counter() for _ in range(num_shards)]
        for score, rid in db.search_flat(QUERY, k=2**64 - 1):
            counters[shard_of_id(rid, num_shards)][(float_bits(score), rid)] += 1
        shards = [(o, c, i) for (o, _, i), c in zip(shards, counters)]
    else:
        from collections import Counter

        shards = [(o, Counter(), i) for o, _, i in shards]
    if "index" in kinds:
        for tag in TAGS:
            for rid in db.get_ids_from_filter((0, tag)).to_list():
                shards[index_shard(tag, num_shards)][2].add((tag, rid))
    return [(o, c, frozenset(i)) for o, c, i in shards]


def open_store(path, num_shards, map_size=1 << 30):
    return zanth_vec.ZanthVec(path, num_shards=num_shards, map_size=map_size)
