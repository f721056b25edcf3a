"""search_flat: results against a NumPy float32 reference that adds in the same order (bit for
bit), ordering with NaN, huge k, filters, argument errors in order, dimension mismatch."""

import math

import numpy as np
import pytest

from vector_layout import INT64_MIN, bits, reference_scores


def stored(open_store, rng, n, dim, shards=5):
    store = open_store(num_shards=shards)
    data = rng.standard_normal((n, dim)).astype(np.float32)
    ids = rng.choice(np.arange(-10**6, 10**6), size=n, replace=False)
    store.store_flat_vectors(data, ids)
    return store, data, [int(i) for i in ids]


def expected(data, ids, query, k, accept=lambda i: True):
    """The reference hits, best first, and the k that the search was asked for."""
    scores = reference_scores(data, query)
    hits = [(scores[j], ids[j]) for j in range(len(ids)) if accept(ids[j])]
    hits.sort(key=lambda h: -h[0])
    return hits, k


def assert_same(got, reference):
    """Scores bit for bit in order; ids equal except that hits with equal scores may come in
    any order, and when equal scores straddle position k, any of them may be kept."""
    hits, k = reference
    want = hits[:k]
    assert [bits(s) for s, _ in got] == [bits(s) for s, _ in want]
    assert all(type(s) is float and type(i) is int for s, i in got)
    boundary = want[-1][0] if want and len(hits) > k and hits[k][0] == want[-1][0] else None
    assert sorted((bits(s), i) for s, i in got if s != boundary) == \
        sorted((bits(s), i) for s, i in want if s != boundary)
    if boundary is not None:
        tied = {i for s, i in hits if s == boundary}
        assert all(i in tied for s, i in got if s == boundary)


def test_worked_example(open_store):
    store = open_store(num_shards=2)
    store.store_flat_vectors(np.array([[3, 4], [1, 0]], np.float32), [7, 9])
    assert store.search_flat(np.array([1, 2], np.float32)) == [(11.0, 7), (1.0, 9)]


@pytest.mark.parametrize("dim", [1, 3, 8, 17, 64, 130])
@pytest.mark.parametrize("shards", [1, 5])
def test_scores_are_bit_exact(open_store, rng, dim, shards):
    store, data, ids = stored(open_store, rng, 1500, dim, shards)
    query = (rng.standard_normal(dim) * 10).astype(np.float32)
    for k in (1, 10, 1500):
        assert_same(store.search_flat(query, k=k), expected(data, ids, query, k))


def test_dimension_zero_scores_are_negative_zero(open_store):
    store = open_store(num_shards=2)
    store.store_flat_vectors(np.zeros((5, 0), np.float32), [1, 2, 3, 4, 5])
    hits = store.search_flat(np.zeros(0, np.float32), k=100)
    assert sorted(i for _, i in hits) == [1, 2, 3, 4, 5]
    assert all(s == 0.0 and math.copysign(1.0, s) == -1.0 for s, _ in hits)


def test_k_bounds_duplicates_and_tombstones(open_store, rng):
    store, data, ids = stored(open_store, rng, 700, 4)
    store.store_flat_vectors(data[:2], [ids[0], INT64_MIN])  # a second record for ids[0]
    query = rng.standard_normal(4).astype(np.float32)
    everything = store.search_flat(query, k=2**64 - 1)
    assert_same(everything, expected(np.vstack([data, data[:1]]), ids + [ids[0]], query, 10**9))
    assert sum(1 for _, i in everything if i == ids[0]) == 2
    assert store.search_flat(query, k=0) == []
    assert store.search_flat(query, k=701) == everything[:701]
    store.delete_flat_vectors(ids[:350], 4)
    assert_same(store.search_flat(query, k=2**63),
                expected(data[350:], ids[350:], query, 10**9))


def test_empty_stores(open_store):
    q = np.ones(3, np.float32)
    assert open_store(num_shards=0).search_flat(q) == []
    store = open_store(num_shards=3)
    assert store.search_flat(q) == []
    store.store_data(["x"], [112])
    store.store_flat_vectors(np.ones((2, 3), np.float32), [1, 2])
    store.delete_flat_vectors([1, 2], 3)
    assert store.search_flat(q) == []


def test_nan_scores_come_after_every_number(open_store, rng):
    data = rng.standard_normal((600, 3)).astype(np.float32)
    data[::7, 1] = np.nan
    data[3, 0] = np.inf  # inf * 0 in the query's zero component is NaN too
    store = open_store(num_shards=3)
    store.store_flat_vectors(data, list(range(600)))
    query = np.array([0.0, 1.0, -1.0], np.float32)
    ref = reference_scores(data, query)
    nan_ids = {i for i in range(600) if np.isnan(ref[i])}
    assert 3 in nan_ids and len(nan_ids) == 87
    hits = store.search_flat(query, k=10**6)
    numbers = [h for h in hits if not math.isnan(h[0])]
    assert hits[:len(numbers)] == numbers and len(numbers) == 600 - len(nan_ids)
    assert numbers == sorted(numbers, key=lambda h: -h[0])
    assert {i for s, i in hits[len(numbers):]} == nan_ids
    assert all(not math.isnan(s) for s, _ in store.search_flat(query, k=50))
    all_nan = store.search_flat(np.full(3, np.nan, np.float32), k=5)
    assert len(all_nan) == 5 and all(math.isnan(s) for s, _ in all_nan)


def test_query_forms(open_store, rng):
    store, data, ids = stored(open_store, rng, 300, 6)
    query = rng.standard_normal(6).astype(np.float32)
    want = expected(data, ids, query, 10)
    readonly = query.copy()
    readonly.flags.writeable = False
    assert_same(store.search_flat(readonly), want)
    assert_same(store.search_flat(query_vector=query, k=10, filter_obj=None), want)
    assert_same(store.search_flat(np.vstack([query, query])[1]), want)


class Index:
    def __index__(self):
        return 3


NONCONTIG = np.zeros(8, np.float32)[::2]


@pytest.mark.parametrize("args, kwargs, error, name", [
    ((), {}, TypeError, None),
    (([1.0, 2.0, 3.0, 4.0],), {}, TypeError, "query_vector"),
    ((np.zeros(4, np.float64),), {}, TypeError, "query_vector"),
    ((np.zeros((1, 4), np.float32),), {}, TypeError, "query_vector"),
    ((np.zeros(4, ">f4"),), {}, TypeError, "query_vector"),
    ((np.zeros(4),), {"filter_obj": 5, "k": -1}, TypeError, "query_vector"),
    ((np.zeros(4, np.float32), 5), {}, TypeError, "filter_obj"),
    ((NONCONTIG, [1]), {"k": -1}, TypeError, "filter_obj"),
    ((np.zeros(4, np.float32),), {"k": None}, TypeError, "k"),
    ((np.zeros(4, np.float32),), {"k": "3"}, TypeError, "k"),
    ((np.zeros(4, np.float32),), {"k": 2.0}, TypeError, "k"),
    ((np.zeros(4, np.float32),), {"k": -1}, OverflowError, None),
    ((np.zeros(4, np.float32),), {"k": 2**64}, OverflowError, None),
    ((NONCONTIG,), {"k": -1}, OverflowError, None),
    ((NONCONTIG,), {}, TypeError, "contiguous"),
    ((np.zeros(4, np.float32),), {"q": 1}, TypeError, None),
    ((np.zeros(4, np.float32), None, 3, 4), {}, TypeError, None),
])
def test_argument_errors_in_order(store, args, kwargs, error, name):
    store.store_flat_vectors(np.ones((1, 4), np.float32), [1])
    with pytest.raises(error) as info:
        store.search_flat(*args, **kwargs)
    if name:
        assert name in str(info.value)
    if name == "contiguous":
        assert "query_vector" not in str(info.value)


def test_k_through_the_index_protocol(open_store):
    store = open_store(num_shards=1)
    store.store_flat_vectors(np.eye(5, dtype=np.float32), [0, 1, 2, 3, 4])
    assert len(store.search_flat(np.ones(5, np.float32), k=Index())) == 3
    assert len(store.search_flat(np.ones(5, np.float32), k=np.uint64(2**64 - 1))) == 5


def test_dimension_mismatch_is_refused(open_store):
    store = open_store(num_shards=2)
    store.store_flat_vectors(np.ones((3, 4), np.float32), [1, 2, 3])
    with pytest.raises(ValueError, match="dimension"):
        store.search_flat(np.ones(3, np.float32))
    with pytest.raises(ValueError):
        store.search_flat(np.ones(5, np.float32))
    # A query whose record size divides the blocks' cannot be told apart: the blocks are cut
    # at its size, so each 24-byte record reads as its id and two pairs of 1.0f as "ids".
    hits = store.search_flat(np.ones(0, np.float32), k=100)
    ones = int.from_bytes(np.ones(2, "<f4").tobytes(), "little", signed=True)
    assert sorted(i for _, i in hits) == [1, 2, 3] + [ones] * 6


# --- filters ---------------------------------------------------------------------------------


@pytest.fixture
def tagged(open_store, rng):
    store, data, ids = stored(open_store, rng, 2000, 12, shards=4)
    chosen = set(ids[::10])
    store.batch_index_insert([("tag", i) for i in sorted(chosen)] + [("none", 10**7)])
    return store, data, ids, chosen


def test_include_and_exclude_filters(tagged, rng):
    store, data, ids, chosen = tagged
    query = rng.standard_normal(12).astype(np.float32)
    include = store.get_ids_from_filter((0, "tag"))
    exclude = store.get_ids_from_filter((4, (0, "tag")))
    assert_same(store.search_flat(query, include, 25),
                expected(data, ids, query, 25, lambda i: i in chosen))
    assert_same(store.search_flat(query, exclude, k=25),
                expected(data, ids, query, 25, lambda i: i not in chosen))
    assert_same(store.search_flat(query, include, k=10**6),
                expected(data, ids, query, 10**6, lambda i: i in chosen))


def test_degenerate_filters(tagged, rng):
    store, data, ids, chosen = tagged
    query = rng.standard_normal(12).astype(np.float32)
    plain = store.search_flat(query, k=30)
    every = store.get_ids_from_filter((4, (0, "missing")))  # complement of nothing
    assert len(every) == 0
    assert store.search_flat(query, every, 30) == plain
    assert store.search_flat(query, store.get_ids_from_filter((0, "missing")), 30) == []
    unknown = store.get_ids_from_filter((0, "none"))  # an id with no vector
    assert store.search_flat(query, unknown, 30) == []
    assert store.search_flat(query, store.get_ids_from_filter((4, (0, "none"))), 30) == plain
