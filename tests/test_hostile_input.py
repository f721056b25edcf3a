"""Hostile input: every malformed or extreme argument gives a clear Python exception or a correct
result, never a crash or a hang. The cases that could bring the interpreter down run in a child
process, so a crash fails the test instead of killing pytest."""
import math
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import workload
import zanth_vec

I64_MAX, I64_MIN = 2**63 - 1, -(2**63)


def run_isolated(code, tmp_path, timeout=120):
    """Runs `code` in a new interpreter with `path` naming a fresh store directory; returns its
    stdout. A crash (signal) or a hang fails the test."""
    script = f"import numpy as np, zanth_vec\npath = {str(tmp_path / 'iso')!r}\n" + textwrap.dedent(code)
    try:
        done = subprocess.run([sys.executable, "-"], input=script, capture_output=True, text=True,
                              timeout=timeout)
    except subprocess.TimeoutExpired:
        pytest.fail(f"child hung for {timeout} s")
    assert done.returncode == 0, f"child ended with {done.returncode}: {done.stderr[-3000:]}"
    return done.stdout


@pytest.fixture
def kinds(store):
    return workload.available_kinds(store)


def need(kinds, kind):
    if kind not in kinds:
        pytest.skip(f"{kind} methods are not built in this tree")


def test_ids_at_and_beyond_the_int64_limits(store):
    store.store_data(["max", "min", "minus-max"], [I64_MAX, I64_MIN, -I64_MAX])
    assert store.get_data([I64_MAX, I64_MIN, -I64_MAX]) == ["max", "min", "minus-max"]
    for bad in (2**63, I64_MIN - 1, 2**64, -(2**64)):
        with pytest.raises(OverflowError):
            store.get_data([bad])
        with pytest.raises(OverflowError):
            store.store_data(["x"], [bad])
    ids = np.array([I64_MAX, I64_MIN], dtype=np.int64)
    assert store.get_data(ids) == ["max", "min"]
    assert store.get_data(np.array([I64_MAX], dtype=np.uint64)) == ["max"]
    with pytest.raises(OverflowError):
        store.get_data(np.array([2**63], dtype=np.uint64))
    for not_a_list in (np.array(5), 5, {1, 2}, (i for i in [1]), "12"):
        with pytest.raises(TypeError):
            store.get_data(not_a_list)
    with pytest.raises(TypeError):
        store.get_data([1.0])
    with pytest.raises(TypeError):
        store.get_data(np.array([1.5]))


def test_vector_arrays_of_wrong_kind_shape_or_order(store, kinds):
    need(kinds, "vectors")
    good = np.arange(12, dtype=np.float32).reshape(4, 3)
    for bad in (good.astype(np.float64), good.astype(np.int32), good.astype(np.float16),
                good.reshape(-1), good.reshape(2, 2, 3), np.float32(1.0), np.array(1.0, np.float32),
                good.tolist(), good.astype(">f4"), None):
        with pytest.raises(TypeError):
            store.store_flat_vectors(bad, [1, 2, 3, 4])
    with pytest.raises(TypeError):
        store.store_flat_vectors(good, "1234")
    with pytest.raises(ValueError):
        store.store_flat_vectors(good, [1, 2, 3, 4, 5])  # more ids than rows
    assert store.get_data_count() == 0, "a refused call wrote something"

    # Fortran order, a transposed view and every second row: each row's own values count.
    fortran = np.asfortranarray(good)
    store.store_flat_vectors(fortran, [1, 2, 3, 4])
    store.store_flat_vectors(np.ascontiguousarray(good.T).T[::-1], [5, 6, 7, 8])
    wide = np.arange(24, dtype=np.float32).reshape(8, 3)
    store.store_flat_vectors(wide[::2], [9, 10, 11, 12])
    query = np.array([1, 0, 0], np.float32)
    got = dict((rid, score) for score, rid in store.search_flat(query, k=100))
    want = {1: 0, 2: 3, 3: 6, 4: 9, 5: 9, 6: 6, 7: 3, 8: 0, 9: 0, 10: 6, 11: 12, 12: 18}
    assert got == want

    for bad_query in (np.zeros(3, np.float64), np.zeros((1, 3), np.float32), [0.0, 0.0, 0.0],
                      np.array(0.0, np.float32), np.zeros(6, np.float32)[::2], None):
        with pytest.raises(TypeError):
            store.search_flat(bad_query)
    readonly = np.ones(3, np.float32)
    readonly.flags.writeable = False
    assert len(store.search_flat(readonly, k=3)) == 3
    assert store.search_flat(query, k=np.array(2))  # 0-d integer array: an index


def test_k_at_its_limits(store, kinds):
    need(kinds, "vectors")
    store.store_flat_vectors(np.eye(4, dtype=np.float32), [1, 2, 3, 4])
    q = np.array([4, 3, 2, 1], np.float32)
    assert store.search_flat(q, k=0) == []
    assert store.search_flat(q, k=2**64 - 1) == [(4.0, 1), (3.0, 2), (2.0, 3), (1.0, 4)]
    assert store.search_flat(q, k=True) == [(4.0, 1)]
    for bad, error in ((2**64, OverflowError), (-1, OverflowError), (None, TypeError),
                       (1.0, TypeError), ("3", TypeError)):
        with pytest.raises(error):
            store.search_flat(q, k=bad)
    with pytest.raises(TypeError):
        store.search_flat(q, filter_obj=[1, 2])
    with pytest.raises(OverflowError):
        store.delete_flat_vectors([1], -1)
    with pytest.raises(OverflowError):
        store.compact_vectors(2**64)


def test_nan_and_infinity_scores_never_break_the_order(tmp_path):
    out = run_isolated("""
        import math
        db = zanth_vec.ZanthVec(path, num_shards=3)
        rows = np.array([[1, 0], [np.nan, 0], [np.inf, 1], [-np.inf, 0], [0, np.inf],
                         [2, 2], [np.nan, np.nan], [-1, -1], [3, 0], [0, 0]] * 30, np.float32)
        db.store_flat_vectors(rows, list(range(len(rows))))
        for q in ([1, 1], [1, 0], [0, 0], [np.inf, -np.inf], [np.nan, 1]):
            for k in (1, 5, 40, 2**64 - 1):
                hits = db.search_flat(np.array(q, np.float32), k=k)
                assert len(hits) == min(k, len(rows))
                scores = [s for s, _ in hits]
                nan_at = [i for i, s in enumerate(scores) if math.isnan(s)]
                plain = [s for s in scores if not math.isnan(s)]
                assert plain == sorted(plain, reverse=True), (q, k, scores)
                assert nan_at == list(range(len(plain), len(scores))), (q, k, scores)
        print("ok")
    """, tmp_path)
    assert out.strip() == "ok"


def test_deep_and_wide_filter_trees(tmp_path):
    out = run_isolated("""
        import sys
        db = zanth_vec.ZanthVec(path, num_shards=3)
        db.batch_index_insert([("k", i) for i in range(10)])
        for depth in (1000, 100_000):
            tree = (0, "k")
            for _ in range(depth):
                tree = (4, tree)
            try:
                result = db.get_ids_from_filter(tree)
                assert sorted(result.to_list()) == list(range(10)), depth
                print("evaluated", depth)
            except (RecursionError, ValueError, OverflowError, MemoryError) as e:
                print("refused", depth, type(e).__name__)
        tree = (0, "k")
        for _ in range(100_000):
            tree = (2, [tree])
        try:
            db.get_ids_from_filter(tree)
            print("evaluated and-chain")
        except (RecursionError, ValueError, OverflowError, MemoryError) as e:
            print("refused and-chain", type(e).__name__)
        wide = db.get_ids_from_filter((3, [(0, "k")] * 50_000 + [(4, (0, "k"))] * 1000))
        assert len(wide) == 0
        wide = db.get_ids_from_filter((2, [(0, "k"), (1, "a", "z")] * 20_000))
        assert sorted(wide.to_list()) == list(range(10))
        print("wide ok")
    """, tmp_path, timeout=300)
    lines = out.splitlines()
    assert "refused 100000" in " ".join(lines) or "evaluated 100000" in lines
    assert "evaluated 1000" in lines, "a 1,000-level tree must still be accepted"
    assert lines[-1] == "wide ok"


def test_index_keys_with_nul_bytes_surrogates_and_limits(store, kinds):
    need(kinds, "index")
    store.batch_index_insert([("a\x00b", 1), ("a", 2), ("\x00", 3), ("a|b", 4)])
    assert store.get_ids_from_filter((0, "a\x00b")).to_list() == [1]
    assert store.get_ids_from_filter((0, "a")).to_list() == [2]
    assert store.get_ids_from_filter((0, "\x00")).to_list() == [3]
    for bad in ("\ud800", "x\udfffy"):
        with pytest.raises(UnicodeEncodeError):
            store.batch_index_insert([("ok", 9), (bad, 5)])
        with pytest.raises(UnicodeEncodeError):
            store.get_ids_from_filter((0, bad))
        with pytest.raises(UnicodeEncodeError):
            zanth_vec.ZanthVec("/tmp/" + bad)
    assert store.get_ids_from_filter((0, "ok")).to_list() == [], "a refused batch wrote entries"
    store.batch_index_insert([("é" * 251, 7)])  # 502 UTF-8 bytes: the longest LMDB can hold
    assert store.get_ids_from_filter((0, "é" * 251)).to_list() == [7]
    with pytest.raises(ValueError):
        store.batch_index_insert([("é" * 251 + "x", 8)])
    for bad_entries, error in (([("k", 1, 2)], ValueError), ([["k", 1]], TypeError),
                               ([(b"k", 1)], TypeError), ([("k", 2**63)], OverflowError),
                               ("k1", TypeError), ([("k", 1.0)], TypeError)):
        with pytest.raises(error):
            store.batch_index_insert(bad_entries)


def test_huge_entry_batch(tmp_path):
    out = run_isolated("""
        db = zanth_vec.ZanthVec(path, num_shards=4)
        n = 300_000
        entries = [(f"tag:{i % 1000}", i) for i in range(n)]
        db.batch_index_insert(entries)
        assert db.get_data_count() == n
        assert len(db.get_ids_from_filter((1, "tag:", "tag;"))) == n
        db.batch_index_delete(entries[: n // 2])
        assert db.get_data_count() == n - n // 2
        print("ok")
    """, tmp_path, timeout=300)
    assert out.strip() == "ok"


def test_unreadable_data_file(tmp_path):
    out = run_isolated("""
        import os
        db = zanth_vec.ZanthVec(path, num_shards=2)
        db.store_data(["x"], [1])
        del db
        with open(os.path.join(path, "shard_1", "data.mdb"), "r+b") as f:
            size = f.seek(0, 2)
            f.seek(0)
            f.write(os.urandom(size))
        try:
            zanth_vec.ZanthVec(path, num_shards=2)
            print("opened")
        except OSError as e:
            print(e)
        # The healthy shard alone still opens and reads.
        print(zanth_vec.ZanthVec(path, num_shards=1).get_data([0]))
    """, tmp_path)
    first, second = out.strip().splitlines()
    assert first == "LMDB: MDB_INVALID: File is not an LMDB file"
    assert second == "[None]"


def test_unpicklable_and_foreign_values(store):
    with pytest.raises((TypeError, AttributeError, __import__("pickle").PicklingError)):
        store.store_data([1, lambda: 0], [1, 2])
    assert store.get_data([1, 2]) == [None, None]
    with pytest.raises(ValueError, match="Length mismatch"):
        store.store_data([1, 2], [1])
    with pytest.raises(TypeError):
        store.store_data("ab", [1, 2])
