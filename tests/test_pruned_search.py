"""Searches that prune with in-memory sketches return exactly what a full scan returns.

Two handles share each store: `pruned` keeps sketches, `full` has them turned off. Data is
chosen to defeat a careless bound: near-ties in the last bit, clusters, rows of wildly
different magnitudes, non-finite values, records of another dimension, and writes from either
handle or another process between searches."""
import math
import subprocess
import sys
import tempfile
from collections import Counter

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import zanth_vec

SHARDS = 3
# Trees evaluated by both handles after every write: the pruned handle keeps evaluated leaves
# and trees (of every size its budget allows), the full one keeps none.
TREES = [(0, "even"), (4, (0, "even")), (4, (0, "nothing")), (1, "r:", "r:~"),
         (2, [(0, "even"), (4, (1, "r:", "r:5"))]), (3, [(0, "rare"), (1, "r:3", "r:7")])]
INDEX_WRITER = """
import sys, zanth_vec
z = zanth_vec.ZanthVec(sys.argv[1], num_shards=%d)
z.batch_index_insert([("r:%%d" %% (i %% 10), i) for i in range(int(sys.argv[2]), 4000, 7)])
z.batch_index_delete([("even", i) for i in range(0, 4000, 8)])
""" % SHARDS
# Each search sketches part of what is missing, so a few searches per snapshot reach the fully
# pruned state.
SEARCHES = 10


def same_hits(pruned, full, everything):
    """The same ids in the same order (equal scores by ascending id) with the same scores;
    every hit a real (score, id) of the store."""
    assert [i for _, i in pruned] == [i for _, i in full]
    for (a, _), (b, _) in zip(pruned, full):
        # A duplicate id may hold 0.0 in one record and -0.0 in another: == rather than bits.
        assert (math.isnan(a) and math.isnan(b)) or a == b
    pool = Counter((s, i) for s, i in everything if not math.isnan(s))
    got = Counter((s, i) for s, i in pruned if not math.isnan(s))
    assert not got - pool


def rows(draw, rng, n, dim, u=None):
    kind = draw(st.sampled_from(["gauss", "cluster", "ties", "magnitudes", "special", "aligned"]))
    if kind == "aligned" and u is not None:
        # Integer codes plus residuals of almost half a step along +-u: a query along u scores
        # these far above or below what the codes alone say.
        x = rng.integers(-126, 127, (n, dim)) + 0.49 * u * rng.choice([-1, 1], (n, 1))
        x[:, 0] = 127
    elif kind == "cluster":
        centers = rng.standard_normal((3, dim)).astype(np.float32)
        x = centers[rng.integers(0, 3, n)] + 1e-3 * rng.standard_normal((n, dim))
    elif kind == "ties":
        x = np.repeat(rng.standard_normal((1, dim)), n, axis=0).astype(np.float32)
        step = rng.integers(-1, 2, size=x.shape)
        x = np.where(step == 0, x, np.nextafter(x, np.where(step > 0, np.float32(np.inf), np.float32(-np.inf))))
    elif kind == "magnitudes":
        x = rng.standard_normal((n, dim)) * 10.0 ** rng.integers(-40, 38, (n, 1))
    else:
        x = rng.standard_normal((n, dim))
    x = np.asarray(x, dtype=np.float32)
    if kind == "special" or draw(st.booleans()):
        specials = np.array([np.nan, np.inf, -np.inf, 0.0, -0.0, 1e-45, 3e38, -3e38], np.float32)
        mask = rng.random(x.shape) < 0.01
        x[mask] = specials[rng.integers(0, len(specials), mask.sum())]
    return x


@settings(max_examples=30, deadline=None, suppress_health_check=list(HealthCheck))
@given(st.data())
def test_pruned_equals_full_scan(data):
    draw = data.draw
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    dim = draw(st.sampled_from([100, 131, 200, 300]))
    u = rng.choice(np.float32([-1, 1]), dim)
    with tempfile.TemporaryDirectory() as path:
        pruned = zanth_vec.ZanthVec(path, num_shards=SHARDS)
        full = zanth_vec.ZanthVec(path, num_shards=SHARDS)
        full.set_sketch_budget(0)
        full.set_filter_cache_budget(0)
        budget = draw(st.sampled_from([None, 0, 3000, 10**12]))
        pruned.set_filter_cache_budget(budget)
        next_id = 0
        pruned.batch_index_insert([("even", i) for i in range(0, 4000, 2)] +
                                  [("rare", i) for i in range(0, 4000, 97)] +
                                  [("r:%d" % (i % 10), i) for i in range(0, 4000, 5)])
        # Filters of every density, kept across writes (a search keeps per-filter state).
        # Sets of TREES made before the writes must never share state with those made after.
        kept = [pruned.get_ids_from_filter(tree) for tree in [(0, "rare"), (4, (0, "rare"))] + TREES[:4]]
        kept.append(full.get_ids_from_filter((0, "even")))
        for _ in range(draw(st.integers(1, 4))):
            step = draw(st.sampled_from(["store", "store", "delete", "compact", "half_dim", "objects",
                                         "index", "unindex", "process_index", "replace"]))
            writer = draw(st.sampled_from([pruned, full]))
            if step == "store":
                n = draw(st.integers(1, 700))
                writer.store_flat_vectors(rows(draw, rng, n, dim, u), list(range(next_id, next_id + n)))
                # Duplicate ids are stored as further records.
                next_id += n - draw(st.integers(0, min(n, 5)))
            elif step == "replace" and next_id:  # tombstones and appends in one commit
                ids = rng.integers(0, next_id, draw(st.integers(1, 300))).tolist()
                writer.write_batch(ids, vectors=rows(draw, rng, len(ids), dim, u),
                                   vector_deletes=ids, dim=dim)
            elif step == "delete" and next_id:
                writer.delete_flat_vectors(rng.integers(0, next_id, 50).tolist(), dim)
            elif step == "compact":
                writer.compact_vectors(dim)
            elif step == "half_dim" and dim % 2 == 0:
                # Pairs of records of (dim - 2) / 2 values fill exactly one record of `dim`.
                half = (dim - 2) // 2
                ids = [SHARDS * (10**6 + j) for j in range(2 * draw(st.integers(1, 40)))]
                writer.store_flat_vectors(rows(draw, rng, len(ids), half), ids)
            elif step == "objects":
                writer.store_data([b"x"], [next_id])
            elif step == "index":
                writer.batch_index_insert([("even", i) for i in range(0, next_id + 9, 3)] +
                                          [("r:4", i) for i in range(1, next_id + 9, 11)])
            elif step == "unindex":
                writer.batch_index_delete([("even", i) for i in range(0, 4000, 6)] +
                                          [("r:%d" % (i % 10), i) for i in range(0, 4000, 15)])
            elif step == "process_index":
                start = str(draw(st.integers(0, 6)))
                subprocess.run([sys.executable, "-c", INDEX_WRITER, path, start], check=True)
            filters = [None] + [same_set(pruned, full, tree, budget) for tree in TREES] + kept
            asked = []
            for s in range(max(SEARCHES, len(filters))):
                source = draw(st.sampled_from(["gauss", "row", "u"]))
                if source == "gauss":
                    query = rng.standard_normal(dim).astype(np.float32) * np.float32(10.0 ** rng.integers(-20, 20))
                elif source == "row":
                    query = rows(draw, rng, 1, dim, u)[0]
                else:
                    query = u * np.float32(2.0 ** rng.integers(-60, 60))
                asked.append(query)
                k = draw(st.sampled_from([1, 10, 10, 100, 5000]))
                compare(pruned.search_flat, full, [query], filters[s % len(filters)], k)
            # Batches prune in tiles of up to 32 queries, each query with its own floor: the
            # copies differ in scale and sign.
            k = draw(st.sampled_from([1, 10, 100]))
            m = draw(st.sampled_from([1, 3, 8, 17, 33]))
            with np.errstate(over="ignore"):
                batch = [asked[i % len(asked)] * np.float32((-2.0) ** (i // len(asked)))
                         for i in range(m)]
            for filt in (filters[0], filters[draw(st.integers(1, len(filters) - 1))]):
                compare(pruned.search_flat_batch, full, batch, filt, k)
            # Read at half the dimension, a block holds twice the records it was written with.
            if dim % 2 == 0:
                compare(pruned.search_flat_batch, full, [q[: (dim - 2) // 2] for q in batch],
                        None, k)
        # Handles publish sketch files from a thread of their own until they are freed.
        del pruned, full, writer


def same_set(cached, uncached, tree, budget):
    """(the cached handle's id set for `tree`, the uncached handle's), the same ids; asked
    twice, so the second comes from the cache when the budget allows. Searches with the first
    are checked against the full handle's searches with the second, flag included."""
    first, again = cached.get_ids_from_filter(tree), cached.get_ids_from_filter(tree)
    want = uncached.get_ids_from_filter(tree)
    assert sorted(first.to_list()) == sorted(again.to_list()) == sorted(want.to_list())
    assert cached.filter_cache_memory() <= (64 << 20 if budget is None else budget)
    return again, want


def compare(search, full, queries, filt, k):
    """search(...) (one query, or a batch) against the sketch-free handle's single searches;
    `filt` may be a pair (the id set searched with, the one the reference uses)."""
    filt, reference = filt if isinstance(filt, tuple) else (filt, filt)
    batch = search.__name__ == "search_flat_batch"
    try:
        got = search(np.stack(queries), filt, k) if batch else [search(queries[0], filt, k)]
    except ValueError as e:  # blocks not cut evenly by this dimension
        got = e
    for i, query in enumerate(queries):
        try:
            want = full.search_flat(query, filter_obj=reference, k=k)
            everything = full.search_flat(query, filter_obj=reference, k=10**9)
        except ValueError as e:
            assert isinstance(got, ValueError) and str(got) == str(e)
            continue
        same_hits(got[i], want, everything)


WRITER = """
import sys, numpy as np, zanth_vec
z = zanth_vec.ZanthVec(sys.argv[1], num_shards=%d)
q = np.array(eval(sys.argv[2]), dtype=np.float32)
z.store_flat_vectors((q * 1000)[None, :], [777])
""" % SHARDS


def test_sketches_follow_writes_of_another_process(tmp_path):
    rng = np.random.default_rng(5)
    dim = 128
    store = zanth_vec.ZanthVec(str(tmp_path), num_shards=SHARDS)
    store.store_flat_vectors(rng.standard_normal((3000, dim)).astype(np.float32), list(range(3000)))
    query = rng.standard_normal(dim).astype(np.float32)
    for _ in range(SEARCHES):
        before = store.search_flat(query, k=3)
    bounded, rescored, _ = store.take_prune_counts()
    assert rescored < bounded / 4  # the last searches did prune
    assert 0 < store.sketch_memory() <= 0.3 * 3000 * dim * 4
    store.batch_index_insert([("few", i) for i in range(0, 3000, 100)])  # sketches follow it
    held = store.sketch_memory()
    few = store.get_ids_from_filter((0, "few"))
    store.search_flat(query, filter_obj=few, k=3)
    assert store.sketch_memory() < held + 30 * (dim + 12)  # a filter used once has no copy
    store.search_flat(query, filter_obj=few, k=3)
    assert store.sketch_memory() >= held + 30 * (dim + 12)  # used again: its copies count
    subprocess.run([sys.executable, "-c", WRITER, str(tmp_path), repr(query.tolist())], check=True)
    after = store.search_flat(query, k=3)
    assert after[0][1] == 777 and after[1:] == before[:2]
    store.set_sketch_budget(0)
    assert store.sketch_memory() == 0 and store.search_flat(query, k=3) == after


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def test_sketch_memory_is_what_is_held_after_a_shard_shrinks(tmp_path):
    """After 99% of a shard is deleted and compacted, the sketch of the small shard must not sit
    on the big one's memory unreported: dropping every sketch frees no more than was reported,
    and a budget above the report keeps the sketch."""
    rng = np.random.default_rng(9)
    dim, n = 128, 40_000
    store = zanth_vec.ZanthVec(str(tmp_path), num_shards=1)
    store.store_flat_vectors(rng.standard_normal((n, dim)).astype(np.float32), list(range(n)))
    query = rng.standard_normal(dim).astype(np.float32)
    for _ in range(SEARCHES + 10):
        store.search_flat(query, k=3)
    big = store.sketch_memory()
    assert big >= n * dim
    store.delete_flat_vectors(list(range(n // 100, n)), dim)
    store.compact_vectors(dim)
    for _ in range(SEARCHES + 10):
        store.search_flat(query, k=3)
    small = store.sketch_memory()
    before = resident_bytes()
    store.set_sketch_budget(small + 1)
    assert store.sketch_memory() == small
    store.set_sketch_budget(0)
    freed = before - resident_bytes()
    assert freed <= small + (1 << 20), (freed, small)


def test_equal_scores_come_by_ascending_id_everywhere(tmp_path):
    """40 vectors stored 50 times each under shuffled ids: every way of asking gives the
    NumPy reference order (score descending, then id ascending), cut at k."""
    rng = np.random.default_rng(3)
    dim, shards = 128, 3
    base = rng.standard_normal((40, dim)).astype(np.float32)
    data = np.repeat(base, 50, axis=0)
    ids = rng.permutation(2000) * 7 - 3000
    a = zanth_vec.ZanthVec(str(tmp_path), num_shards=shards)
    for part in np.array_split(np.arange(2000), 5):  # several commits, blocks of mixed ids
        a.store_flat_vectors(data[part], ids[part].tolist())
    b = zanth_vec.ZanthVec(str(tmp_path), num_shards=shards)
    off = zanth_vec.ZanthVec(str(tmp_path), num_shards=shards)
    off.set_sketch_budget(0)
    queries = np.concatenate([base[:6], rng.standard_normal((6, dim)).astype(np.float32)])
    scores = np.stack([(data * q).astype(np.float32) for q in queries])  # per dimension
    for k in (1, 30, 75, 2000):
        for qi, q in enumerate(queries):
            s = np.zeros(2000, np.float32)
            for i in range(dim):  # float32, in index order, as the store adds
                s = (s + scores[qi][:, i]).astype(np.float32)
            order = np.lexsort((ids, -s))[:k]
            want = [(float(s[j]), int(ids[j])) for j in order]
            for _ in range(SEARCHES):
                for store in (a, b, off):
                    assert store.search_flat(q, k=k) == want
            for store in (a, b, off):
                assert store.search_flat_batch(queries, k=k)[qi] == want
    del a, b
    assert zanth_vec.ZanthVec(str(tmp_path), num_shards=shards).search_flat(queries[0], k=75) == \
        off.search_flat(queries[0], k=75)


FOLLOW_CASES = [  # (who writes, what): the sketches follow the first seven, not the last three
    ("self", "append"), ("self", "index"), ("self", "index again"), ("self", "objects"),
    ("self", "delete"), ("self", "delete nothing"), ("self", "replace"),
    ("self", "compact"), ("other", "append"), ("other", "index"), ]


@pytest.mark.parametrize("who, what", FOLLOW_CASES)
def test_sketches_follow_this_handles_writes(tmp_path, who, what):
    """Whether this handle's sketches follow a write or another handle's write leaves them
    behind (the next search sketches the shards anew, bounding each part as it sketches it),
    every search bounds nearly every accepted record and answers as the full scan does. (Which
    of the two happened is checked in the C++ tests, which see the records sketched.)"""
    rng = np.random.default_rng(11)
    dim, n = 128, 3000
    store = zanth_vec.ZanthVec(str(tmp_path), num_shards=SHARDS)
    other = zanth_vec.ZanthVec(str(tmp_path), num_shards=SHARDS)
    other.set_sketch_budget(0)
    store.store_flat_vectors(rng.standard_normal((n, dim)).astype(np.float32), list(range(n)))
    store.batch_index_insert([("tag", i) for i in range(0, n, 4)])
    query = rng.standard_normal(dim).astype(np.float32)
    for _ in range(2):
        store.search_flat(query, k=5)
    store.delete_flat_vectors([n - 1], dim)
    store.compact_vectors(dim)  # tombstones to drop for "compact" below
    store.delete_flat_vectors(list(range(0, n, 7)), dim)
    for _ in range(2):
        store.search_flat(query, k=5)
    store.take_prune_counts()
    writer = store if who == "self" else other
    if what == "append":  # within the room a sketch keeps for appends (a sixteenth)
        writer.store_flat_vectors(rng.standard_normal((60, dim)).astype(np.float32),
                                  list(range(n, n + 60)))
    elif what == "index again":  # commits nothing
        writer.batch_index_insert([("tag", i) for i in range(0, n, 4)])
    elif what == "index":  # keys on every shard
        writer.batch_index_insert([(f"key{i % 11}", i) for i in range(n)])
    elif what == "objects":
        writer.store_data([b"x"] * 9, list(range(9)))
    elif what.startswith("delete"):
        writer.delete_flat_vectors(list(range(n + 10, n + 19) if "nothing" in what else range(1, n, 5)), dim)
    elif what == "compact":
        writer.compact_vectors(dim)
    elif what == "replace":  # tombstones, then appends of the same ids, in one commit
        ids = list(range(2, n, 50))
        writer.write_batch(ids, vectors=rng.standard_normal((len(ids), dim)).astype(np.float32),
                           vector_deletes=ids, dim=dim)
    tag = store.get_ids_from_filter((0, "tag"))
    for search, filt in enumerate((None, tag, None)):
        assert store.search_flat(query, filt, 5) == other.search_flat(query, filt, 5)
        bounded, _, sketched = store.take_prune_counts()
        assert bounded >= (n // 4 if filt else n) * 0.55  # every accepted live record
        if search == 0 and who == "self" and what == "replace":
            assert sketched < n // 2  # followed: only the new records (every block changed)
    assert [store.search_flat_batch(np.stack([query, -query]), None, 5)[i] for i in (0, 1)] == \
        [other.search_flat(q, None, 5) for q in (query, -query)]


def stored_with_reference(path, num_shards, data):
    """A handle holding `data` under ids 0.., and a second one on the same store that keeps no
    sketch and no filter: every answer it gives is a full scan's."""
    store = zanth_vec.ZanthVec(str(path), num_shards=num_shards)
    full = zanth_vec.ZanthVec(str(path), num_shards=num_shards)
    full.set_sketch_budget(0)
    full.set_filter_cache_budget(0)
    store.store_flat_vectors(data, list(range(len(data))))
    return store, full


def test_broad_filters_repeated_across_appends_answer_as_a_full_scan(tmp_path):
    """A filter searched with again streams a copy of its accepted records' sketches (made on
    the second search, extended after appends by sharing what did not change, as long as the
    copies of a shard's filters stay within its sketch). One shard holds more records than such
    a copy gathers at once, and the filters name ids that appends add later."""
    rng = np.random.default_rng(23)
    dim, n, added = 100, 70_000, 900
    data = rng.standard_normal((n, dim)).astype(np.float32)
    store, full = stored_with_reference(tmp_path, 1, data)
    ids = np.arange(n + added)
    store.batch_index_insert([(f"s:{share}", int(i)) for share in (40, 55, 20)
                              for i in ids[rng.random(len(ids)) < share / 100]])
    sets = {share: store.get_ids_from_filter((0, f"s:{share}")) for share in (40, 55, 20)}
    # Stored rows spread over the shard: each is its own clear best hit when accepted.
    queries = np.concatenate([data[rng.integers(0, n, 12)], rng.standard_normal((2, dim))]).astype(np.float32)

    def check(shares):
        for share in shares:
            want = [full.search_flat(q, sets[share], 10) for q in queries]
            assert [store.search_flat(q, sets[share], 10) for q in queries] == want
            assert store.search_flat_batch(queries, sets[share], 10) == want

    for _ in range(2 * SEARCHES):
        store.search_flat(queries[0], None, 10)
    before = store.sketch_memory()
    check([40, 55, 20])
    check([40, 55, 20])  # 40% and 55% get copies; 20% more would outgrow the sketch
    copies = store.sketch_memory() - before
    assert 0.9 * (dim + 12) * n <= copies <= 1.01 * (dim + 12) * n
    for step in range(3):
        first = n + step * (added // 3)
        store.store_flat_vectors(rng.standard_normal((added // 3, dim)).astype(np.float32),
                                 list(range(first, first + added // 3)))
        check([40, 55, 20])
    store.delete_flat_vectors(list(range(0, n, 3)), dim)
    store.take_prune_counts()
    check([55, 40, 20])
    bounded, rescored, _ = store.take_prune_counts()
    assert rescored <= 0.02 * bounded  # bounds still prune between tombstones


@pytest.mark.parametrize("negated", [False, True])
def test_trees_evaluated_again_after_writes_answer_as_a_full_scan(tmp_path, negated):
    """After index writes and appends, a tree evaluated again gives a set that follows its
    earlier one: the earlier set's bits (and copy) are brought up to date by the ids that
    changed. Each query is a stored row, its own best hit exactly while the filter accepts it,
    and every round moves those rows into or out of the tags."""
    rng = np.random.default_rng(29)
    dim, n = 100, 40_000
    data = rng.standard_normal((n, dim)).astype(np.float32)
    store, full = stored_with_reference(tmp_path, 2, data)
    picked = rng.choice(n, 8, replace=False).tolist()
    tagged = {share: set(np.flatnonzero(rng.random(n) < share / 100).tolist()) | set(picked[::2])
              for share in (2, 30)}
    store.batch_index_insert([(f"t:{share}", i) for share, ids in tagged.items() for i in ids])
    for _ in range(2 * SEARCHES):
        store.search_flat(data[0], None, 10)
    for round in range(4):
        for share in (2, 30):
            tree = (0, f"t:{share}") if not negated else (4, (0, f"t:{share}"))
            mine, reference = store.get_ids_from_filter(tree), full.get_ids_from_filter(tree)
            assert sorted(mine.to_list()) == sorted(reference.to_list())
            for _ in range(2):  # the second search gathers a copy
                assert [store.search_flat(data[i], mine, 10) for i in picked] == \
                    [full.search_flat(data[i], reference, 10) for i in picked]
        for share, ids in tagged.items():
            leaving = [i for i in picked if i in ids]
            joining = [i for i in picked if i not in ids] + [n + 100 * round + j for j in range(3)]
            store.batch_index_delete([(f"t:{share}", i) for i in leaving])
            store.batch_index_insert([(f"t:{share}", i) for i in joining])
            ids.difference_update(leaving)
            ids.update(joining)
        new = n + 100 * round + np.arange(3)
        store.store_flat_vectors(data[picked[:3]] * np.float32(2), new.tolist())


def test_tree_evaluated_again_after_its_tail_block_grew(tmp_path):
    """A record of the last, partly filled block changes acceptance while this handle appends
    to that block: the next search may use fewer positions than the earlier set's bits cover
    (the grown block is sketched again), and the bits past them must not outlive the change."""
    rng = np.random.default_rng(31)
    dim, n = 100, 20_100  # the last block holds 132 records
    data = rng.standard_normal((n, dim)).astype(np.float32)
    store, full = stored_with_reference(tmp_path, 1, data)
    tail = n - 5
    store.batch_index_insert([("t", i) for i in range(0, n, 50)] + [("t", tail)])
    for _ in range(2 * SEARCHES):
        store.search_flat(data[0], None, 10)
    for round, tree in enumerate([(0, "t"), (4, (0, "t"))]):
        for _ in range(2):
            store.search_flat(data[tail], store.get_ids_from_filter(tree), 10)
        # Included: the tail record leaves the tag; negated: it was outside and joins it.
        (store.batch_index_delete if round == 0 else store.batch_index_insert)([("t", tail)])
        store.store_flat_vectors(data[:4], [n + 10 * round + j for j in range(4)])
        stays = 20_000 + round  # a record of that block whose acceptance stays
        mine, reference = store.get_ids_from_filter(tree), full.get_ids_from_filter(tree)
        got = [store.search_flat(data[i], mine, 10) for i in (tail, stays)]
        assert got == [full.search_flat(data[i], reference, 10) for i in (tail, stays)]
        assert tail not in [i for _, i in got[0]] and got[1][0][1] == stays
