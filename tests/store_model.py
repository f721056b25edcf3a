"""A pure-Python model of a store, shard by shard, down to the bytes of every LMDB record: tests
drive the store and the model with the same calls and compare what the store reports and what
it leaves on disk.

Scores follow the store's order of operations: s = -0.0, then for each dimension in order
s = float32(s + float32(q[i] * v[i])). NumPy float32 array arithmetic rounds every step to
float32 and never fuses a multiply with an add.
"""
import copy
import hashlib
import math
import pickle
import struct
from collections import Counter

import numpy as np

TOMBSTONE = -(2**63)
BLOCK_CAPACITY = 256
INDEX_KEY_MAX_BYTES = 502


def shard_of_id(record_id, num_shards):
    return abs(record_id) % num_shards


def index_shard(key, num_shards):
    return int.from_bytes(hashlib.md5(key.encode()).digest(), "big") % num_shards


def id_key(record_id):
    return struct.pack("<q", record_id)


def index_record_key(key, record_id):
    return key.encode() + b"|" + id_key(record_id)


def reference_scores(vectors, query):
    query = np.asarray(query, dtype=np.float32)
    vectors = np.asarray(vectors, dtype=np.float32).reshape(len(vectors), query.shape[0])
    scores = np.full(vectors.shape[0], -0.0, dtype=np.float32)
    with np.errstate(invalid="ignore", over="ignore"):
        for i in range(query.shape[0]):
            scores = scores + vectors[:, i] * query[i]
    return [float(s) for s in scores]


def score_key(score):
    """Equal for equal float32 bits (so -0.0 and 0.0 differ); every NaN alike."""
    return "nan" if math.isnan(score) else struct.pack("<f", score)


def tie_key(score):
    """Equal for equal scores: -0.0 and 0.0 tie (and are then ordered by id); every NaN alike."""
    return "nan" if math.isnan(score) else score + 0.0


def check_top_k(result, candidates, k):
    """`result` must be a best-first top k of `candidates` [(score, id)], NaN last, hits with
    equal scores being interchangeable; each hit a candidate's score to the bit."""
    assert all(type(s) is float and type(i) is int for s, i in result), result[:5]
    ranked = sorted(candidates, key=lambda h: (math.isnan(h[0]), 0 if math.isnan(h[0]) else -h[0]))
    n = min(k, len(ranked))
    assert [tie_key(s) for s, _ in result] == [tie_key(s) for s, _ in ranked[:n]]
    got = Counter((score_key(s), i) for s, i in result)
    cut = tie_key(ranked[n - 1][0]) if n else None
    want = Counter((score_key(s), i) for s, i in ranked[:n] if tie_key(s) != cut)
    pool = Counter((score_key(s), i) for s, i in ranked if tie_key(s) == cut)
    assert not (got - want - pool) and not (want - got), "hits differ from the candidates"


class ShardModel:
    def __init__(self):
        self.objects = {}  # id -> pickled bytes
        self.blocks = []  # [number, [[id, float32 row], ...]] in key order
        self.index = set()  # (key, id)

    def records(self, dim):
        """Every (key, value) LMDB holds for this shard, in key order."""
        out = [(id_key(i), v) for i, v in self.objects.items()]
        out += [(b"p" + struct.pack(">I", n), b"".join(id_key(i) + row.astype("<f4").tobytes()
                                                       for i, row in recs))
                for n, recs in self.blocks]
        out += [(index_record_key(k, i), b"") for k, i in self.index]
        return sorted(out)


class StoreModel:
    def __init__(self, num_shards):
        self.num_shards = num_shards
        self.shards = [ShardModel() for _ in range(num_shards)]

    def clone(self):
        return copy.deepcopy(self)

    def _by_id(self, record_id):
        return self.shards[shard_of_id(record_id, self.num_shards)]

    def store_data(self, data, ids):
        for obj, rid in zip(data, ids):
            self._by_id(rid).objects[rid] = pickle.dumps(obj)

    def get_data(self, ids):
        raw = [self._by_id(rid).objects.get(rid) for rid in ids]
        return [None if r is None else pickle.loads(r) for r in raw]

    def delete_data(self, ids):
        for rid in ids:
            self._by_id(rid).objects.pop(rid, None)

    def get_data_count(self):
        return sum(len(s.objects) + len(s.blocks) + len(s.index) for s in self.shards)

    def store_flat_vectors(self, data, ids):
        for row, rid in zip(np.asarray(data, dtype=np.float32), ids):
            blocks = self._by_id(rid).blocks
            if not blocks or len(blocks[-1][1]) >= BLOCK_CAPACITY:
                blocks.append([blocks[-1][0] + 1 if blocks else 0, []])
            blocks[-1][1].append([rid, row.copy()])

    def delete_flat_vectors(self, ids, dim=None):
        doomed = set(ids) - {TOMBSTONE}
        for shard in self.shards:
            for _, recs in shard.blocks:
                for rec in recs:
                    if rec[0] in doomed:
                        rec[0] = TOMBSTONE

    def compact_vectors(self, dim=None):
        removed = 0
        for shard in self.shards:
            for block in shard.blocks:
                live = [r for r in block[1] if r[0] != TOMBSTONE]
                removed += len(block[1]) - len(live)
                block[1] = live
            shard.blocks = [b for b in shard.blocks if b[1]]
        return removed

    def search_candidates(self, query, id_set=None):
        """Every (score, id) a search may return; id_set is (ids, negated) or None."""
        live = [(i, row) for s in self.shards for _, recs in s.blocks for i, row in recs
                if i != TOMBSTONE and (id_set is None or (i in id_set[0]) != id_set[1])]
        return list(zip(reference_scores([r for _, r in live], query), [i for i, _ in live]))

    def batch_index_insert(self, entries):
        for key, rid in entries:
            self.shards[index_shard(key, self.num_shards)].index.add((key, rid))

    def batch_index_delete(self, entries):
        for key, rid in entries:
            self.shards[index_shard(key, self.num_shards)].index.discard((key, rid))

    def evaluate(self, tree):
        """(frozenset ids, negated) of a valid filter tree."""
        op, entries = int(tree[0]), [e for s in self.shards for e in s.index]
        if op == 0:
            return frozenset(i for k, i in entries if k == tree[1]), False
        if op == 1:
            start, end = tree[1].encode(), tree[2].encode()
            namespace = start[: start.find(b":") + 1] if b":" in start else b""
            return frozenset(i for k, i in entries if start and start <= index_record_key(k, i) < end
                             and index_record_key(k, i).startswith(namespace)), False
        if op == 4:
            ids, negated = self.evaluate(tree[1])
            return ids, not negated
        children = [self.evaluate(child) for child in tree[1]]
        if not children:
            return frozenset(), False
        if op == 2:
            ids, negated = children[0]
            for c_ids, c_negated in children[1:]:
                if not negated:
                    ids = ids - c_ids if c_negated else ids & c_ids
                elif not c_negated:
                    ids, negated = c_ids - ids, False
                else:
                    ids = ids | c_ids
            return ids, negated
        union = frozenset().union(*(ids for ids, neg in children if not neg))
        complements = [ids for ids, neg in children if neg]
        if not complements:
            return union, False
        return frozenset.intersection(*complements) - union, True
