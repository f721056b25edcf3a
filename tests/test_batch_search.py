"""search_flat_batch: every row's answer is the one search_flat gives for that row alone."""
import tempfile

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import zanth_vec

SPECIALS = np.array([np.nan, np.inf, -np.inf, 0.0, -0.0, 1e30], dtype=np.float32)
# None, include, exclude, complement of nothing (accepts all), empty include (accepts none)
FILTERS = [None, (0, "p:0"), (4, (0, "p:1")), (4, (0, "nothing")), (0, "nothing")]


def sprinkle(rng, a, share):
    """Puts non-finite and signed-zero values into about `share` of the entries of `a`."""
    mask = rng.random(a.shape) < share
    a[mask] = rng.choice(SPECIALS, size=int(mask.sum()))
    return a


def key(score):
    return "nan" if np.isnan(score) else np.float32(score).view(np.uint32).item()


def assert_same_answer(got, want, everything):
    """Same scores bit for bit and the same ids in the same order (equal scores by ascending
    id), each hit a real (score, id) of the store."""
    assert [(key(s), i) for s, i in got] == [(key(s), i) for s, i in want]
    assert {(key(s), i) for s, i in want} <= {(key(s), i) for s, i in everything}


@settings(max_examples=30, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(seed=st.integers(0, 2**32 - 1), dim=st.sampled_from([0, 1, 3, 8, 17, 40, 129, 700]),
       n=st.integers(0, 3000), m=st.integers(0, 40), shards=st.integers(1, 3),
       k=st.sampled_from([0, 1, 5, 10, 300, 2**64 - 1]), filter_tree=st.sampled_from(FILTERS),
       specials=st.booleans())
def test_batch_equals_single_searches(seed, dim, n, m, shards, k, filter_tree, specials):
    rng = np.random.default_rng(seed)
    n = min(n, 200_000 // max(dim, 1))  # bounded bytes, still several blocks per shard
    with tempfile.TemporaryDirectory() as path:
        store = zanth_vec.ZanthVec(path, num_shards=shards, map_size=1 << 30)
        ids = rng.integers(-50, n // 2 + 1, size=n)  # duplicates included
        data = rng.standard_normal((n, dim)).astype(np.float32)
        data[rng.random(n) < 0.1] = data[0] if n else 0  # equal scores across ids
        queries = rng.standard_normal((m, dim)).astype(np.float32)
        if specials:
            sprinkle(rng, data, 0.02)
            sprinkle(rng, queries, 0.01)
        store.store_flat_vectors(data, ids)
        store.delete_flat_vectors(rng.choice(ids, size=min(n, 5)) if n else [], dim)
        store.batch_index_insert([(f"p:{i % 3}", int(i)) for i in set(ids.tolist())])
        filter_obj = None if filter_tree is None else store.get_ids_from_filter(filter_tree)
        got = store.search_flat_batch(queries, filter_obj=filter_obj, k=k)
        assert len(got) == m
        for q, hits in zip(queries, got):
            want = store.search_flat(q, filter_obj, k)
            everything = store.search_flat(q, filter_obj, 2**64 - 1) if want else []
            assert_same_answer(hits, want, everything)
        # The handle publishes sketch files from a thread of its own until it is freed.
        del store


class Index:
    def __index__(self):
        return 3


Q = np.zeros((2, 4), np.float32)
NONCONTIG = np.zeros((2, 8), np.float32)[:, ::2]


@pytest.mark.parametrize("args, kwargs, error, name", [
    ((), {}, TypeError, None),
    (([[1.0] * 4],), {}, TypeError, "queries"),
    ((np.zeros((2, 4)),), {"filter_obj": 5, "k": -1}, TypeError, "queries"),
    ((np.zeros(4, np.float32),), {}, TypeError, "queries"),
    ((np.zeros((1, 2, 4), np.float32),), {}, TypeError, "queries"),
    ((np.zeros((2, 4), ">f4"),), {}, TypeError, "queries"),
    ((Q, 5), {}, TypeError, "filter_obj"),
    ((NONCONTIG, [1]), {"k": -1}, TypeError, "filter_obj"),
    ((Q,), {"k": None}, TypeError, "k"),
    ((Q,), {"k": 2.0}, TypeError, "k"),
    ((Q,), {"k": -1}, OverflowError, None),
    ((Q,), {"k": 2**64}, OverflowError, None),
    ((NONCONTIG,), {"k": -1}, OverflowError, None),
    ((NONCONTIG,), {}, TypeError, "C-contiguous"),
    ((np.asfortranarray(np.zeros((3, 4), np.float32)),), {}, TypeError, "C-contiguous"),
    ((Q,), {"q": 1}, TypeError, None),
    ((Q, None, 3, 4), {}, TypeError, None), ])
def test_argument_errors_in_order(store, args, kwargs, error, name):
    store.store_flat_vectors(np.ones((1, 4), np.float32), [1])
    with pytest.raises(error) as info:
        store.search_flat_batch(*args, **kwargs)
    if name:
        assert name in str(info.value)


def test_accepted_forms(open_store):
    store = open_store(num_shards=2)
    store.store_flat_vectors(np.eye(4, dtype=np.float32), [0, 1, 2, 3])
    queries = np.eye(4, dtype=np.float32)[[2, 0]]
    queries.flags.writeable = False
    assert store.search_flat_batch(queries, k=Index())[0][0] == (1.0, 2)
    assert store.search_flat_batch(queries=queries, filter_obj=None, k=1) == [[(1.0, 2)], [(1.0, 0)]]
    assert store.search_flat_batch(np.zeros((0, 4), np.float32)) == []
    assert store.search_flat_batch(queries, k=0) == [[], []]
    with pytest.raises(ValueError, match="dimension"):
        store.search_flat_batch(np.ones((2, 3), np.float32))


def test_huge_query_norms_keep_exactly_coded_records(open_store, rng):
    """A query whose norm exceeds the float32 range against records that their int8 codes hold
    exactly (zero vectors, vectors of 0 and +-m): the bound's float terms overflow to infinity
    where the record's residual is zero, and 0 x inf must keep the record, never drop it."""
    dim = 128
    pruned, full = open_store(num_shards=2), open_store(num_shards=2)
    full.set_sketch_budget(0)
    data = -np.abs(rng.standard_normal((3000, dim))).astype(np.float32)
    # Small enough that the bound covers them even against the huge queries.
    exact = rng.integers(-1, 2, (60, dim)).astype(np.float32) * np.float32(2.0**-20)
    exact[:, :4] = 0
    exact[::3] = 0
    pruned.store_flat_vectors(np.concatenate([data, exact]), list(range(3060)))
    queries = rng.standard_normal((12, dim)).astype(np.float32)
    queries[:, :4] = np.float32(3e38)
    for _ in range(8):  # until the sketches cover every shard
        got = pruned.search_flat_batch(queries, k=40)
    for q, hits in zip(queries, got):
        want = full.search_flat(q, k=40)
        assert_same_answer(hits, want, full.search_flat(q, k=2**64 - 1))
        assert want[0][1] >= 3000
