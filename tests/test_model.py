"""A hypothesis state machine drives every public method of a store and the model of
store_model.py with the same calls: search scores must match the model's float32 scores to the
bit, filters its set algebra, counts its records, and whenever no handle is open, every shard's
bytes on disk must be the model's records."""
import gc
import os
import pickle
import shutil
import tempfile

import numpy as np
import pytest
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

import zanth_vec
from conftest import read_shard
from store_model import INDEX_KEY_MAX_BYTES, StoreModel, check_top_k

# Few ids make duplicates and re-deletions common. 112 and 124 have object keys that begin like
# a block key ("p") and like the index record of key "" ("|"); -2**63 is the tombstone.
# 0xFFFFFFFF70 sorts past the greatest block key; index keys may share a block key's five bytes.
ID_POOL = [0, 1, 2, 3, 5, 7, 12, -1, -3, -7, 112, 124, 0x170, 0xFFFFFFFF70, 2**63 - 1, -(2**63) + 1, -(2**63)]
KEYS = ["", "a", "a|b", "a|", "a\x00b", "color:red", "color:blue", "color:", "size:xl", "p", "p\x00\x00\x00\x00",
        "p\x00\x00\x00\x01x", "\u00e9t\u00e9"]
BOUNDS = KEYS + ["b", "color:c", "color:z", "size:", "size:z\u00ff", "z"]

ids = st.sampled_from(ID_POOL)
# Small integers and halves make ties common; NaN and infinities must rank last / in order.
coords = st.sampled_from([0.0, -0.0, 1.0, -1.0, 0.5, 2.0, -3.0, 1e-3]) | st.floats(
    -100, 100, width=32) | st.sampled_from([np.nan, np.inf, -np.inf])
entries = st.lists(st.tuples(st.sampled_from(KEYS), ids), max_size=10)
leaves = st.tuples(st.just(0), st.sampled_from(KEYS + ["missing"])) | st.tuples(
    st.just(1), st.sampled_from(BOUNDS), st.sampled_from(BOUNDS))
trees = st.recursive(leaves, lambda sub: st.tuples(st.just(2), st.lists(sub, max_size=3))
                     | st.tuples(st.just(3), st.lists(sub, max_size=3))
                     | st.tuples(st.just(4), sub), max_leaves=8)
# The input layouts a caller may hand over; the store must read each row's own values.
LAYOUTS = {
    "plain": lambda a: a,
    "fortran": np.asfortranarray,
    "every_second_row": lambda a: np.repeat(a, 2, axis=0)[::2],
    "column_slice": lambda a: np.repeat(a, 2, axis=1)[:, ::2],
    "extra_row": lambda a: np.vstack([a, np.ones((1, a.shape[1]), np.float32)]), }


class StoreMachine(RuleBasedStateMachine):
    @initialize(num_shards=st.sampled_from([1, 3]), dim=st.sampled_from([0, 3, 17]))
    def open(self, num_shards, dim):
        self.dir = tempfile.mkdtemp(prefix="zanth-model-")
        self.path = os.path.join(self.dir, "store")
        self.num_shards, self.dim = num_shards, dim
        self.db = zanth_vec.ZanthVec(self.path, num_shards=num_shards)
        self.model = StoreModel(num_shards)

    def teardown(self):
        self.db = None
        gc.collect()
        shutil.rmtree(getattr(self, "dir", "/nonexistent"), ignore_errors=True)

    @rule(items=st.lists(st.tuples(ids, st.none() | st.integers() | st.text(max_size=5)
                                   | st.lists(st.integers(), max_size=3)), max_size=8),
          as_array=st.booleans(), pickled=st.booleans())
    def store_data(self, items, as_array, pickled):
        data, record_ids = [v for _, v in items], [i for i, _ in items]
        write = self.db.store_pickled if pickled else self.db.store_data
        assert write([pickle.dumps(v) for v in data] if pickled else data,
                     np.array(record_ids, np.int64) if as_array else record_ids) is None
        self.model.store_data(data, record_ids)

    @rule(record_ids=st.lists(ids, max_size=8))
    def delete_data(self, record_ids):
        assert self.db.delete_data(tuple(record_ids)) is None
        self.model.delete_data(record_ids)

    @rule(record_ids=st.lists(ids, max_size=10))
    def get_data(self, record_ids):
        want = self.model.get_data(record_ids)
        assert self.db.get_data(record_ids) == want
        assert [b and pickle.loads(b) for b in self.db.get_pickled(record_ids)] == want

    @rule(data=st.data(), layout=st.sampled_from(sorted(LAYOUTS)))
    def store_vectors(self, data, layout):
        rows = data.draw(st.lists(st.lists(coords, min_size=self.dim, max_size=self.dim),
                                  min_size=0, max_size=12))
        record_ids = data.draw(st.lists(ids, min_size=len(rows), max_size=len(rows)))
        array = np.array(rows, dtype=np.float32).reshape(len(rows), self.dim)
        assert self.db.store_flat_vectors(LAYOUTS[layout](array), record_ids) is None
        self.model.store_flat_vectors(array, record_ids)

    @rule(record_ids=st.lists(ids, max_size=5))
    def delete_vectors(self, record_ids):
        assert self.db.delete_flat_vectors(record_ids, self.dim) is None
        self.model.delete_flat_vectors(record_ids)

    @rule()
    def compact(self):
        assert self.db.compact_vectors(self.dim) == self.model.compact_vectors()

    @rule(data=st.data(), k=st.sampled_from([0, 1, 2, 3, 10, 2**64 - 1]), tree=st.none() | trees)
    def search(self, data, k, tree):
        q = np.array(data.draw(st.lists(coords, min_size=self.dim, max_size=self.dim)), np.float32)
        id_set = None if tree is None else self.db.get_ids_from_filter(tree)
        got = self.db.search_flat(q, filter_obj=id_set, k=k)
        want = self.model.search_candidates(q, None if tree is None else self.model.evaluate(tree))
        check_top_k(got, want, k)

    @rule(batch=entries)
    def index_insert(self, batch):
        assert self.db.batch_index_insert(batch) is None
        self.model.batch_index_insert(batch)

    @rule(batch=entries)
    def index_delete(self, batch):
        assert self.db.batch_index_delete(batch) is None
        self.model.batch_index_delete(batch)

    @rule(data=st.data(), objects=st.lists(ids, max_size=4), object_deletes=st.lists(ids, max_size=3),
          vector_deletes=st.lists(ids, max_size=3), removed=entries, put=entries)
    def write_batch(self, data, objects, object_deletes, vector_deletes, removed, put):
        """Objects, vectors and index entries in one commit per shard: the same records as the
        calls one by one in write_batch's order (so filters evaluated since must see them)."""
        rows = data.draw(st.lists(coords, min_size=self.dim * len(objects),
                                  max_size=self.dim * len(objects)))
        array = np.array(rows, np.float32).reshape(len(objects), self.dim)
        values = list(range(len(objects)))
        assert self.db.write_batch(objects, data=values, vectors=array if self.dim else None,
                                   index_inserts=put, index_deletes=removed,
                                   vector_deletes=vector_deletes, object_deletes=object_deletes,
                                   dim=self.dim) is None
        self.model.delete_data(object_deletes)
        self.model.delete_flat_vectors(vector_deletes)
        self.model.batch_index_delete(removed)
        self.model.batch_index_insert(put)
        if self.dim:
            self.model.store_flat_vectors(array, objects)
        self.model.store_data(values, objects)

    @rule(batch=entries, position=st.integers(0, 10), method=st.sampled_from(["insert", "delete"]))
    def index_batch_refused(self, batch, position, method):
        """A key too long for LMDB anywhere in a batch refuses the whole batch."""
        batch = batch[:position] + [("\u00e9" * (INDEX_KEY_MAX_BYTES // 2 + 1), 1)] + batch[position:]
        with pytest.raises(ValueError):
            getattr(self.db, "batch_index_" + method)(batch)

    @rule(tree=trees)
    def evaluate_filter(self, tree):
        got = self.db.get_ids_from_filter(tree)
        want_ids, _ = self.model.evaluate(tree)
        assert len(got) == len(want_ids) and sorted(got.to_list()) == sorted(want_ids)

    @precondition(lambda self: hasattr(self, "db"))
    @rule(second_handle=st.booleans())
    def reopen(self, second_handle):
        """A new handle sees the same store; with none alive meanwhile, the disk holds exactly
        the model's records."""
        if second_handle:
            other = zanth_vec.ZanthVec(self.path, num_shards=self.num_shards)
            self.db, other = other, self.db
            del other
        else:
            self.db = None
            for s, shard in enumerate(self.model.shards):
                assert read_shard(self.path, s) == shard.records(self.dim), f"shard {s}"
            self.db = zanth_vec.ZanthVec(self.path, num_shards=self.num_shards)
        assert self.db.close() is None

    @invariant()
    def counts_agree(self):
        if hasattr(self, "db"):
            assert self.db.get_data_count() == self.model.get_data_count()


TestStoreAgainstModel = StoreMachine.TestCase


@pytest.mark.parametrize("dim", [1, 17, 130])
def test_long_scans_are_bit_exact(open_store, rng, dim):
    """Many records per block and shard, as the fast kernels take them, with and without a filter."""
    db = open_store(num_shards=5)
    data = rng.standard_normal((1500, dim)).astype(np.float32)
    # Ids packed into a short span and ids spread over the whole range take different lookups.
    ids = [int(i) for i in (rng.choice(np.arange(-10**6, 10**6), size=1500, replace=False) if dim != 17
                            else np.unique(rng.integers(-(2**63) + 1, 2**63 - 1, size=1500)))]
    db.store_flat_vectors(data, ids)
    db.batch_index_insert([("even", i) for i in ids if i % 2 == 0])
    model = StoreModel(5)
    model.store_flat_vectors(data, ids)
    model.batch_index_insert([("even", i) for i in ids if i % 2 == 0])
    query = (rng.standard_normal(dim) * 10).astype(np.float32)
    for k, tree in [(1, None), (10, (4, (0, "even"))), (1500, None), (2000, (0, "even"))]:
        id_set = None if tree is None else db.get_ids_from_filter(tree)
        want = model.search_candidates(query, None if tree is None else model.evaluate(tree))
        check_top_k(db.search_flat(query, id_set, k), want, k)


@pytest.mark.parametrize("num_shards", [1, 3])
def test_kept_filters_follow_every_write(open_store, rng, num_shards):
    """The handle keeps what it read of each leaf and carries it over its own commits, with the
    commits' index records applied; after every write, of this handle or another, each tree
    answers as the model does. Few keys in one namespace and few ids: an id filed under two
    keys of one range, and removed from one of them, stays in the range."""
    keys = ["c:a", "c:b", "c:c", "c:", "c", "c|", "d:x", "d:y"]
    pool = [0, 1, 2, 3, -5, 2**62]
    ranges = [("c:", "c:z"), ("c:a", "c:c"), ("c:b", "d:z"), ("d:", "d:~"), ("", "z"), ("c", "c|")]
    trees = [(0, k) for k in keys] + [(1, a, b) for a, b in ranges] + [
        (2, [(1, "c:", "c:z"), (0, "d:x")]), (3, [(0, "c:a"), (4, (1, "c:b", "d:z"))]),
        (2, [(0, "c:b"), (1, "c:a", "c:c"), (4, (0, "d:y"))])]
    db = open_store(num_shards=num_shards)
    other = open_store(num_shards=num_shards)
    other.set_filter_cache_budget(0)  # keeps nothing: reads every leaf
    model = StoreModel(num_shards)

    def entries():
        return [(keys[rng.integers(len(keys))], pool[rng.integers(len(pool))])
                for _ in range(rng.integers(0, 6))]

    for step in range(150):
        for tree in trees:
            for handle in (db, other) if step % 10 == 0 else (db,):
                got = handle.get_ids_from_filter(tree)
                assert sorted(got.to_list()) == sorted(model.evaluate(tree)[0]), (step, tree)
        kind = rng.integers(6)
        if kind == 0:
            batch = entries()
            db.batch_index_insert(batch)
            model.batch_index_insert(batch)
        elif kind == 1:
            batch = entries()
            db.batch_index_delete(batch)
            model.batch_index_delete(batch)
        elif kind == 2:  # removals and puts in one commit, a record possibly in both
            removed, put = entries(), entries()
            put += removed[:1]
            db.write_batch([7], data=[step], index_deletes=removed, index_inserts=put)
            model.batch_index_delete(removed)
            model.batch_index_insert(put)
        elif kind == 3:  # commits without index records
            db.store_data([step], [pool[step % len(pool)]])
            db.store_flat_vectors(np.ones((1, 2), np.float32), [step])
        elif kind == 4:
            db.delete_data([pool[step % len(pool)], 99])
        else:  # another handle's write, which this one is not told of
            batch = entries()
            (other.batch_index_insert if step % 2 else other.batch_index_delete)(batch)
            (model.batch_index_insert if step % 2 else model.batch_index_delete)(batch)
