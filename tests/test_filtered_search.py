"""search_flat restricted by get_ids_from_filter equals a NumPy search over exactly the records
the filter accepts."""
import numpy as np
import pytest

from store_model import reference_scores

DIM = 16
N = 700
COLORS = ["red", "green", "blue"]
SIZES = ["s", "m", "xl"]


# Ids packed into a short span and ids spread over the whole int64 range are looked up by
# different structures during the scan.
@pytest.fixture(params=["dense", "sparse"])
def db(open_store, rng, request):
    store = open_store(num_shards=4)
    if request.param == "dense":
        ids = rng.choice(np.arange(-5000, 5000), size=N, replace=False).astype(np.int64)
    else:
        ids = np.unique(rng.integers(-(2**63), 2**63 - 1, size=N - 2, dtype=np.int64))
        ids = np.concatenate([ids, [-(2**63) + 1, 2**63 - 1]]).astype(np.int64)
    data = rng.standard_normal((N, DIM)).astype(np.float32)
    store.store_flat_vectors(data, ids)
    color = {int(i): COLORS[int(rng.integers(3))] for i in ids}
    size = {int(i): SIZES[int(rng.integers(3))] for i in ids}
    age = {int(i): int(rng.integers(0, 100)) for i in ids}
    store.batch_index_insert(
        [(f"color:{color[i]}", i) for i in color]
        + [(f"size:{size[i]}", i) for i in size]
        + [(f"age:{age[i]:02d}", i) for i in age]
        # Index entries for ids that have no vector must not matter.
        + [("color:red", 10**9), ("size:xl", -(10**9)), ("ghost", 10**9), ("ghost", 10**9 + 1)]
    )
    meta = {"color": color, "size": size, "age": age}
    return store, ids, data, meta


def reference(data, ids, query, accept, k):
    scores = reference_scores(data, query)
    mask = np.array([accept(int(i)) for i in ids], dtype=bool)
    order = np.argsort(-scores[mask], kind="stable")[:k]
    return scores[mask][order], {int(i): s for i, s in zip(ids[mask], scores[mask])}


def check(store, ids, data, query, filter_obj, accept, k):
    hits = store.search_flat(query, filter_obj=filter_obj, k=k)
    want_scores, accepted = reference(data, ids, query, accept, k)
    got_scores = np.array([s for s, _ in hits], dtype=np.float32)
    # Equal scores may come in any order, so ids are checked against their own scores.
    assert got_scores.view(np.uint32).tolist() == want_scores.view(np.uint32).tolist()
    got_ids = [i for _, i in hits]
    assert len(set(got_ids)) == len(got_ids)
    for score, i in hits:
        assert i in accepted and np.float32(score) == accepted[i]
    return hits


CASES = [
    ("include", (0, "color:red"), lambda m, i: m["color"][i] == "red"),
    ("exclude", (4, (0, "size:xl")), lambda m, i: m["size"][i] != "xl"),
    ("and_not", (2, [(0, "color:blue"), (4, (0, "size:s"))]),
     lambda m, i: m["color"][i] == "blue" and m["size"][i] != "s"),
    ("or_not", (3, [(0, "color:red"), (4, (0, "size:xl"))]),
     lambda m, i: m["color"][i] == "red" or m["size"][i] != "xl"),
    ("range", (1, "age:20", "age:40"), lambda m, i: 20 <= m["age"][i] < 40),
    ("not_range", (4, (1, "age:10", "age:90")), lambda m, i: not 10 <= m["age"][i] < 90),
    ("empty", (0, "color:purple"), lambda m, i: False),
    ("every_id", (4, (0, "color:purple")), lambda m, i: True),
    ("empty_and", (2, [(0, "color:red"), (0, "color:blue")]), lambda m, i: False),
    ("ids_without_vectors", (0, "ghost"), lambda m, i: False),
    ("not_ids_without_vectors", (4, (0, "ghost")), lambda m, i: True),
]


@pytest.mark.parametrize("name, tree, accept", CASES, ids=[c[0] for c in CASES])
@pytest.mark.parametrize("k", [1, 10, 1000])
def test_filtered_search_matches_numpy(db, rng, name, tree, accept, k):
    store, ids, data, meta = db
    query = rng.standard_normal(DIM).astype(np.float32)
    filter_obj = store.get_ids_from_filter(tree)
    hits = check(store, ids, data, query, filter_obj, lambda i: accept(meta, i), k)
    if name in ("every_id", "not_ids_without_vectors"):
        assert hits == store.search_flat(query, filter_obj=None, k=k)
    if name in ("empty", "empty_and", "ids_without_vectors"):
        assert hits == []


def test_filter_from_one_store_restricts_another(db, open_store, tmp_path, rng):
    store, ids, data, meta = db
    other = open_store(str(tmp_path / "other"), num_shards=2)
    other.batch_index_insert([("pick", int(i)) for i in ids[:50]])
    filter_obj = other.get_ids_from_filter((0, "pick"))
    del other
    query = rng.standard_normal(DIM).astype(np.float32)
    picked = {int(i) for i in ids[:50]}
    check(store, ids, data, query, filter_obj, lambda i: i in picked, 20)
