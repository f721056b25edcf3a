"""A pure-Python model of a store, shard by shard: object records, vector blocks, index records,
and the routing, scoring, filter algebra and top-k rules the store follows. Tests drive the
store and the model with the same calls and compare everything the store reports.

Scores follow the store's order of operations exactly: s = -0.0, then for each dimension in
order s = float32(s + float32(q[i] * v[i])); NumPy float32 array arithmetic rounds every
operation to float32 and never fuses a multiply with an add.
"""
import copy
import hashlib
import pickle
import struct
from collections import Counter

import numpy as np

TOMBSTONE = -(2**63)
BLOCK_CAPACITY = 256
INDEX_KEY_MAX_BYTES = 502
U64_MAX = 2**64 - 1


def shard_of_id(record_id, num_shards):
    return abs(record_id) % num_shards


def index_shard(key, num_shards):
    digest = hashlib.md5(key.encode("utf-8")).digest()
    return int.from_bytes(digest, "big") % num_shards


def index_record_key(key, record_id):
    return key.encode("utf-8") + b"|" + struct.pack("<q", record_id)


def float_bits(value):
    """Distinguishes -0.0 from 0.0 (and NaN payloads) where == would not."""
    return struct.pack("<d", value)


def reference_scores(vectors, query):
    """Scores of every row of `vectors` (n x d) against `query` (d), as a float32 array."""
    query = np.asarray(query, dtype=np.float32)
    vectors = np.asarray(vectors, dtype=np.float32)
    scores = np.full(vectors.shape[0], -0.0, dtype=np.float32)
    with np.errstate(invalid="ignore", over="ignore"):
        for i in range(query.shape[0]):
            scores = scores + vectors[:, i] * query[i]
    return scores


def scores_of(query, vectors):
    return [float(s) for s in reference_scores(vectors, query)]


def check_top_k(result, candidates, k):
    """`result` must be a best-first top k of `candidates` [(score, id)], equal scores being
    interchangeable: the same scores in the same order, every hit strictly better than the
    last kept score present as often as among the candidates, and the hits at that score a
    sub-multiset of the candidates with it."""
    assert all(isinstance(hit, tuple) and len(hit) == 2 for hit in result), result[:5]
    assert all(type(s) is float and type(i) is int for s, i in result), result[:5]
    ranked = sorted(candidates, key=lambda hit: -hit[0])
    n = min(k, len(ranked))
    assert len(result) == n, (len(result), n)
    assert [s for s, _ in result] == [s for s, _ in ranked[:n]], "scores or their order differ"
    if n == 0:
        return
    boundary = ranked[n - 1][0]
    got_above = Counter((float_bits(s), i) for s, i in result if s != boundary)
    want_above = Counter((float_bits(s), i) for s, i in ranked if s > boundary)
    assert got_above == want_above
    got_tied = Counter((float_bits(s), i) for s, i in result if s == boundary)
    pool = Counter((float_bits(s), i) for s, i in ranked if s == boundary)
    assert not (got_tied - pool), f"hits at the cut score that are not candidates: {got_tied - pool}"


class ShardModel:
    def __init__(self):
        self.objects = {}  # id -> pickled bytes
        self.blocks = []  # list of blocks, each a list of [id, float32 row]; last = greatest
        self.index = set()  # (key, id)

    def record_count(self):
        return len(self.objects) + len(self.blocks) + len(self.index)

    def live_vectors(self):
        return [(rid, row) for block in self.blocks for rid, row in block if rid != TOMBSTONE]

    def observable(self, query):
        """What the public methods can tell about this shard, as a comparable value."""
        live = self.live_vectors()
        scores = scores_of(query, [row for _, row in live]) if live else []
        hits = Counter((float_bits(s), rid) for s, (rid, _) in zip(scores, live))
        return (dict(self.objects), hits, frozenset(self.index))


class StoreModel:
    def __init__(self, num_shards):
        self.num_shards = num_shards
        self.shards = [ShardModel() for _ in range(num_shards)]

    def clone(self):
        return copy.deepcopy(self)

    # objects ---------------------------------------------------------------------------
    def store_data(self, data, ids):
        for obj, rid in zip(data, ids):
            self.shards[shard_of_id(rid, self.num_shards)].objects[rid] = pickle.dumps(obj)

    def get_data(self, ids):
        out = []
        for rid in ids:
            raw = self.shards[shard_of_id(rid, self.num_shards)].objects.get(rid)
            out.append(None if raw is None else pickle.loads(raw))
        return out

    def delete_data(self, ids):
        for rid in ids:
            self.shards[shard_of_id(rid, self.num_shards)].objects.pop(rid, None)

    def get_data_count(self):
        return sum(shard.record_count() for shard in self.shards)

    # vectors ---------------------------------------------------------------------------
    def store_flat_vectors(self, data, ids):
        data = np.asarray(data, dtype=np.float32)
        for row, rid in zip(data, ids):
            shard = self.shards[shard_of_id(rid, self.num_shards)]
            if not shard.blocks or len(shard.blocks[-1]) >= BLOCK_CAPACITY:
                shard.blocks.append([])
            shard.blocks[-1].append([rid, row.copy()])

    def delete_flat_vectors(self, ids):
        doomed = set(ids) - {TOMBSTONE}
        for shard in self.shards:
            for block in shard.blocks:
                for record in block:
                    if record[0] in doomed:
                        record[0] = TOMBSTONE

    def compact_vectors(self):
        removed = 0
        for shard in self.shards:
            kept_blocks = []
            for block in shard.blocks:
                live = [r for r in block if r[0] != TOMBSTONE]
                removed += len(block) - len(live)
                if live:
                    kept_blocks.append(live)
            shard.blocks = kept_blocks
        return removed

    def search_candidates(self, query, id_set=None):
        """Every (score, id) the search may return; id_set is (ids, negated) or None."""
        hits = []
        for shard in self.shards:
            live = shard.live_vectors()
            if id_set is not None:
                ids, negated = id_set
                live = [(rid, row) for rid, row in live if (rid in ids) != negated]
            if live:
                scores = scores_of(query, [row for _, row in live])
                hits.extend(zip(scores, [rid for rid, _ in live]))
        return hits

    # index -----------------------------------------------------------------------------
    def batch_index_insert(self, entries):
        for key, rid in entries:
            self.shards[index_shard(key, self.num_shards)].index.add((key, rid))

    def batch_index_delete(self, entries):
        for key, rid in entries:
            self.shards[index_shard(key, self.num_shards)].index.discard((key, rid))

    def all_index_records(self):
        return [entry for shard in self.shards for entry in shard.index]

    def evaluate(self, tree):
        """(frozenset ids, negated) of a valid filter tree."""
        op = int(tree[0])
        if op == 0:
            key = tree[1]
            return frozenset(i for k, i in self.all_index_records() if k == key), False
        if op == 1:
            start, end = tree[1].encode("utf-8"), tree[2].encode("utf-8")
            if not start:
                return frozenset(), False
            colon = start.find(b":")
            namespace = start[: colon + 1] if colon >= 0 else b""
            found = set()
            for key, rid in self.all_index_records():
                record = index_record_key(key, rid)
                if start <= record < end and record.startswith(namespace):
                    found.add(rid)
            return frozenset(found), False
        if op == 4:
            ids, negated = self.evaluate(tree[1])
            return ids, not negated
        children = [self.evaluate(child) for child in tree[1]]
        if not children:
            return frozenset(), False
        if op == 2:
            ids, negated = children[0]
            for c_ids, c_negated in children[1:]:
                if not negated and not c_negated:
                    ids = ids & c_ids
                elif not negated:
                    ids = ids - c_ids
                elif not c_negated:
                    ids, negated = c_ids - ids, False
                else:
                    ids = ids | c_ids
            return ids, negated
        plain = [ids for ids, negated in children if not negated]
        complements = [ids for ids, negated in children if negated]
        union = frozenset().union(*plain)
        if not complements:
            return union, False
        return frozenset.intersection(*complements) - union, True
