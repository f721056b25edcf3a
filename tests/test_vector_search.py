"""search_flat: results against a NumPy float32 reference that adds in the same order (bit for
bit), ordering with NaN and infinities, huge k, argument errors in order, dimension mismatch.
Filtered searches: test_filtered_search.py."""

import math

import numpy as np
import pytest

from store_model import check_top_k, reference_scores, scores_of
from vector_layout import INT64_MIN, bits


def stored(open_store, rng, n, dim, shards=5):
    store = open_store(num_shards=shards)
    data = rng.standard_normal((n, dim)).astype(np.float32)
    ids = rng.choice(np.arange(-10**6, 10**6), size=n, replace=False)
    store.store_flat_vectors(data, ids)
    return store, data, [int(i) for i in ids]


def candidates(data, ids, query):
    return list(zip(scores_of(query, data), ids))


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
        check_top_k(store.search_flat(query, k=k), candidates(data, ids, query), k)


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
    check_top_k(everything, candidates(np.vstack([data, data[:1]]), ids + [ids[0]], query), 10**9)
    assert sum(1 for _, i in everything if i == ids[0]) == 2
    assert store.search_flat(query, k=0) == []
    assert store.search_flat(query, k=701) == everything[:701]
    store.delete_flat_vectors(ids[:350], 4)
    check_top_k(store.search_flat(query, k=2**63), candidates(data[350:], ids[350:], query), 2**63)


def test_nan_scores_come_after_every_number(open_store, rng):
    data = rng.standard_normal((600, 3)).astype(np.float32)
    data[::7, 1] = np.nan
    data[3, 0] = np.inf  # inf * 0 in the query's zero component is NaN too
    data[5:300:11, 2] = -np.inf
    store = open_store(num_shards=3)
    store.store_flat_vectors(data, list(range(600)))
    # Finite, infinite (inf - inf is NaN) and NaN queries; the last gives only NaN scores.
    for query in ([0.0, 1.0, -1.0], [np.inf, -np.inf, 1.0], [1.0, 0.0, np.nan]):
        query = np.array(query, np.float32)
        ref = reference_scores(data, query)
        nan_ids = {i for i in range(600) if np.isnan(ref[i])}
        numbers_want = sorted((s for s in ref if not np.isnan(s)), reverse=True)
        for k in (1, 50, 10**6):
            hits = store.search_flat(query, k=k)
            numbers = [h for h in hits if not math.isnan(h[0])]
            assert len(hits) == min(k, 600) and hits[:len(numbers)] == numbers
            assert [bits(s) for s, _ in numbers] == [bits(s) for s in numbers_want[:k]]
            assert {i for _, i in hits[len(numbers):]} <= nan_ids
        assert {i for _, i in hits[len(numbers):]} == nan_ids
        assert nan_ids, query


def test_query_forms(open_store, rng):
    store, data, ids = stored(open_store, rng, 300, 6)
    query = rng.standard_normal(6).astype(np.float32)
    want = candidates(data, ids, query)
    readonly = query.copy()
    readonly.flags.writeable = False
    check_top_k(store.search_flat(readonly), want, 10)
    check_top_k(store.search_flat(query_vector=query, k=10, filter_obj=None), want, 10)
    check_top_k(store.search_flat(np.vstack([query, query])[1]), want, 10)


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
    ((None,), {}, TypeError, "query_vector"),
    ((np.zeros(4, np.float32), 5), {}, TypeError, "filter_obj"),
    ((np.zeros(4, np.float32), [1, 2]), {}, TypeError, "filter_obj"),
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
    assert len(store.search_flat(np.ones(5, np.float32), k=np.array(2))) == 2
    assert store.search_flat(np.ones(5, np.float32), k=True) == [(1.0, 0)]


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
