"""Model-based test: a hypothesis state machine drives every public method of a store (objects,
vectors of one dimension, deletes, compaction, index inserts and deletes, filters, filtered
searches, counts, reopening) and the pure-Python model of store_model.py with the same calls,
and compares every observable result. Search scores must match the model's float32 scores to
the bit; hits with equal scores may come in any order.

ZANTH_MODEL_PROFILE=stress runs many more and longer examples (`make stress`).
"""
import gc
import os
import shutil
import tempfile

import numpy as np
import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule

import zanth_vec
from store_model import INDEX_KEY_MAX_BYTES, StoreModel, check_top_k

settings.register_profile("ci", max_examples=60, stateful_step_count=30, deadline=None,
                          suppress_health_check=[HealthCheck.too_slow])
settings.register_profile("stress", max_examples=1000, stateful_step_count=80, deadline=None,
                          suppress_health_check=[HealthCheck.too_slow])
PROFILE = os.environ.get("ZANTH_MODEL_PROFILE", "ci")

DIM = 3
NUM_SHARDS = 3
# A small id pool makes collisions, duplicates and re-deletions common; the extremes and the
# tombstone id are in it on purpose.
ID_POOL = [0, 1, 2, 3, 4, 5, 7, 12, -1, -3, -7, 112, 2**63 - 1, -(2**63) + 1, -(2**63)]
KEYS = ["", "a", "a|b", "color:red", "color:blue", "color:", "size:xl", "size:s", "p", "\u00e9t\u00e9"]

ids = st.sampled_from(ID_POOL)
live_ids = st.sampled_from([i for i in ID_POOL if i != -(2**63)])
# Small integers and halves keep float32 arithmetic exact often enough to make ties common.
coords = st.sampled_from([0.0, -0.0, 1.0, -1.0, 0.5, 2.0, -3.0, 1e-3]) | st.floats(
    -100, 100, width=32, allow_nan=False)
vectors = st.lists(st.tuples(*[coords] * DIM), min_size=1, max_size=12)
entries = st.lists(st.tuples(st.sampled_from(KEYS), live_ids), max_size=10)


def trees(depth=3):
    leaves = st.one_of(
        st.tuples(st.just(0), st.sampled_from(KEYS)),
        st.tuples(st.just(1), st.sampled_from(KEYS + ["b", "color:c", "size:"]),
                  st.sampled_from(KEYS + ["z", "color:z", "size:z\u00ff"])),
    )
    if depth == 0:
        return leaves
    sub = trees(depth - 1)
    return st.one_of(
        leaves,
        st.tuples(st.just(2), st.lists(sub, max_size=3)),
        st.tuples(st.just(3), st.lists(sub, max_size=3)),
        st.tuples(st.just(4), sub),
    )


class StoreMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.dir = tempfile.mkdtemp(prefix="zanth-model-")
        self.path = os.path.join(self.dir, "store")
        self.db = zanth_vec.ZanthVec(self.path, num_shards=NUM_SHARDS)
        self.model = StoreModel(NUM_SHARDS)

    def teardown(self):
        self.db = None
        gc.collect()
        shutil.rmtree(self.dir, ignore_errors=True)

    # objects -----------------------------------------------------------------------------
    @rule(items=st.lists(st.tuples(ids, st.one_of(st.none(), st.integers(), st.text(max_size=5),
                                                   st.lists(st.integers(), max_size=3))),
                         max_size=8))
    def store_data(self, items):
        data, record_ids = [v for _, v in items], [i for i, _ in items]
        assert self.db.store_data(data, record_ids) is None
        self.model.store_data(data, record_ids)

    @rule(record_ids=st.lists(ids, max_size=8))
    def delete_data(self, record_ids):
        assert self.db.delete_data(record_ids) is None
        self.model.delete_data(record_ids)

    @rule(record_ids=st.lists(ids, max_size=10))
    def get_data(self, record_ids):
        assert self.db.get_data(record_ids) == self.model.get_data(record_ids)

    # vectors -----------------------------------------------------------------------------
    @rule(rows=vectors, data=st.data())
    def store_vectors(self, rows, data):
        record_ids = data.draw(st.lists(ids, min_size=len(rows), max_size=len(rows)))
        array = np.array(rows, dtype=np.float32).reshape(len(rows), DIM)
        assert self.db.store_flat_vectors(array, record_ids) is None
        self.model.store_flat_vectors(array, record_ids)

    @rule(record_ids=st.lists(ids, max_size=5))
    def delete_vectors(self, record_ids):
        assert self.db.delete_flat_vectors(record_ids, DIM) is None
        self.model.delete_flat_vectors(record_ids)

    @rule()
    def compact(self):
        assert self.db.compact_vectors(DIM) == self.model.compact_vectors()

    @rule(query=st.tuples(*[coords] * DIM), k=st.sampled_from([0, 1, 2, 3, 10, 2**64 - 1]))
    def search(self, query, k):
        q = np.array(query, dtype=np.float32)
        check_top_k(self.db.search_flat(q, k=k), self.model.search_candidates(q), k)

    @rule(tree=trees(), query=st.tuples(*[coords] * DIM), k=st.sampled_from([1, 4, 2**64 - 1]))
    def filtered_search(self, tree, query, k):
        q = np.array(query, dtype=np.float32)
        id_set = self.db.get_ids_from_filter(tree)
        got = self.db.search_flat(q, filter_obj=id_set, k=k)
        check_top_k(got, self.model.search_candidates(q, self.model.evaluate(tree)), k)

    # index -------------------------------------------------------------------------------
    @rule(batch=entries)
    def index_insert(self, batch):
        assert self.db.batch_index_insert(batch) is None
        self.model.batch_index_insert(batch)

    @rule(batch=entries)
    def index_delete(self, batch):
        assert self.db.batch_index_delete(batch) is None
        self.model.batch_index_delete(batch)

    @rule(batch=entries, position=st.integers(0, 10))
    def index_insert_refused(self, batch, position):
        """A key too long for LMDB anywhere in a batch refuses the whole batch."""
        bad = ("x" * (INDEX_KEY_MAX_BYTES + 1), 1)
        batch = batch[:position] + [bad] + batch[position:]
        with pytest.raises(ValueError):
            self.db.batch_index_insert(batch)

    @rule(tree=trees())
    def evaluate_filter(self, tree):
        got = self.db.get_ids_from_filter(tree)
        want_ids, _ = self.model.evaluate(tree)
        assert len(got) == len(want_ids)
        assert sorted(got.to_list()) == sorted(want_ids)

    # handles -----------------------------------------------------------------------------
    @rule(second_handle=st.booleans())
    def reopen(self, second_handle):
        """A new handle, with or without the old one alive meanwhile, sees the same store."""
        if second_handle:
            other = zanth_vec.ZanthVec(self.path, num_shards=NUM_SHARDS)
            self.db, other = other, self.db
            del other
        else:
            self.db = None
            gc.collect()
            self.db = zanth_vec.ZanthVec(self.path, num_shards=NUM_SHARDS)
        assert self.db.close() is None

    @invariant()
    def counts_agree(self):
        assert self.db.get_data_count() == self.model.get_data_count()


StoreMachine.TestCase.settings = settings.get_profile(PROFILE)
TestStoreAgainstModel = StoreMachine.TestCase
