"""Arguments, good and bad, of every method in tables: each bad call raises its exception (the
first malformed argument, or node of a filter tree, decides) and leaves the store as it was;
each accepted form gives the plain form's answer."""
import os
import pickle
import re
import sys
import weakref

import lmdb
import numpy as np
import pytest

from conftest import run_isolated
from store_model import id_key
from zanth_vec import ZanthIterator, ZanthVec


class Idx:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Seq:
    def __len__(self):
        return 3

    def __getitem__(self, i):
        if i >= 3:
            raise IndexError
        return [7, -7, 2**63 - 1][i]


Lying = type("Lying", (Seq,), {"__len__": lambda self: sys.maxsize})  # more items than memory holds


class Unpicklable:
    def __reduce__(self):
        raise RuntimeError("refuses to be pickled")


def nested(depth, op=4, leaf=(0, "k")):
    for _ in range(depth):
        leaf = (4, leaf) if op == 4 else (2, [leaf])
    return leaf


Z4, NONCONTIG, DEEP = np.zeros(4, np.float32), np.zeros(8, np.float32)[::2], nested(100_000)
D = np.zeros((2, 2), np.float32)
ENTRY_ERRORS = [("color:red", TypeError), (42, TypeError), ({("a", 1)}, TypeError),
                ([("a", 1), ["b", 2]], TypeError), ([("a", 1), ("b", 2, 3)], ValueError),
                ([("a", 1), ("b",)], ValueError), ([("a", 1), (b"b", 2)], TypeError),
                ([("a", 1), ("b", 2.0)], TypeError), ([("a", 1), ("b", "2")], TypeError),
                ([("a", 1), ("b", 2**63)], OverflowError), ([("a", 1), ("b", -(2**63) - 1)], OverflowError),
                ([("a", 1), ("x" * 503, 2)], ValueError), ([("a", 1), ("\ud800", 2)], UnicodeEncodeError)]
BAD_IDS = ["12", {1, 2}, frozenset([1]), iter([1, 2]), 5, None, {1: 2}, range, [1.0], [1, "2"],
           [None], [[1]], np.array([1.5]), np.array([[1, 2]]), np.array(3), [np.float32(1)]]
WIDE_IDS = [[2**63], [-(2**63) - 1], [0, 2**64], [-(2**64)], np.array([2**63], np.uint64),
            np.array([1, 2**64 - 1], np.uint64)]
ERRORS = [
    # generic parsing
    (lambda s: s.get_data(), TypeError, None), (lambda s: s.get_data([1], [2]), TypeError, None),
    (lambda s: s.get_data([1], identifiers=[1]), TypeError, None),
    (lambda s: s.get_data(ids=[1]), TypeError, None), (lambda s: s.store_data([1]), TypeError, None),
    (lambda s: s.store_data([1], [1], [1]), TypeError, None), (lambda s: s.close(1), TypeError, None),
    (lambda s: s.get_data_count(x=1), TypeError, None), (lambda s: s.delete_data(), TypeError, None),
    # objects
    *[(lambda s, i=i: s.delete_data(i), TypeError, "identifiers") for i in BAD_IDS],
    (lambda s: s.get_data(Lying()), IndexError, None), (lambda s: s.batch_index_insert(Lying()), TypeError, None),
    *[(lambda s, i=i: s.get_data(i), OverflowError, None) for i in WIDE_IDS],
    *[(lambda s, i=i: s.store_data(["x"] * len(i), i), OverflowError, None) for i in WIDE_IDS],
    *[(lambda s, d=d: s.store_data(d, [1, 2]), TypeError, "data") for d in ["ab", {1, 2}, iter("ab"), 3, None]],
    (lambda s: s.store_data("xy", "xy"), TypeError, "data"),
    (lambda s: s.store_data(["x"], "x"), TypeError, "identifiers"),
    *[(lambda s, d=d, i=i: s.store_data(d, i), ValueError, "^Length mismatch$")
      for d, i in [(["a", "b"], [1, 2, 3]), (["a", "b"], []), ([], [1]), (["a"], [1, 1])]],
    (lambda s: s.store_data([lambda: 1], [1, 2]), ValueError, "Length mismatch"),  # before pickling
    (lambda s: s.store_data(["new", "y", Unpicklable(), "z"], [1, 5, 6, 7]), RuntimeError, "refuses"),
    (lambda s: s.store_pickled([pickle.dumps("new"), b"N.", "N."], [1, 5, 6]), TypeError, "data"),
    (lambda s: s.store_pickled(b"N.", [1, 2]), TypeError, "data"),
    (lambda s: s.store_pickled([b"N."], [1, 2]), ValueError, "^Length mismatch$"),
    *[(lambda s, i=i: s.get_pickled(i), TypeError, "identifiers") for i in BAD_IDS[:3]],
    # store_flat_vectors
    *[(lambda s, d=d: s.store_flat_vectors(d, [1, 2]), TypeError, "data") for d in [
        [[1.0, 2.0]], np.zeros((2, 2)), np.zeros(2, np.float32), np.zeros((1, 2, 2), np.float32),
        np.zeros((2, 2), ">f4"), np.zeros((2, 2), np.int32), np.zeros((2, 2), np.float16),
        np.array(1.0, np.float32), None, "not an array"]],
    *[(lambda s, i=i: s.store_flat_vectors(D, i), TypeError, "identifiers") for i in ["12", 12, [1, "2"]]],
    (lambda s: s.store_flat_vectors(D, [1, 2**63]), OverflowError, None),
    (lambda s: s.store_flat_vectors(D, [1, 2, 3]), ValueError, None),  # more ids than rows
    (lambda s: s.store_flat_vectors(np.ones((2, 3), np.float32), [5, 6]), ValueError, "dimension"),
    # write_batch: every argument is converted and checked before any shard is written
    *[(lambda s, kw=kw: s.write_batch([5, 6], **kw), x, m) for kw, x, m in [
        (dict(data=["a"]), ValueError, "^Length mismatch$"),
        (dict(data=["a", Unpicklable()], vectors=D), RuntimeError, "refuses"),
        (dict(data=["a", "b"], vectors=np.ones((3, 4), np.float32)), ValueError, "3 vectors for 2"),
        (dict(data=["a", "b"], vectors=np.ones((2, 3), np.float32)), ValueError, "dimension"),
        (dict(vectors=np.ones((2, 4), np.float32), dim=5), ValueError, "dim is 5"),
        (dict(vectors=np.zeros((2, 4))), TypeError, "vectors"),
        (dict(data=["a", "b"], vector_deletes=[1]), ValueError, "need dim"),
        (dict(data=["a", "b"], vector_deletes=[1], dim=2), ValueError, "whole number of 16-byte"),
        (dict(data=["a", "b"], index_inserts=[("z", 5), ("x" * 503, 6)]), ValueError, None),
        (dict(data=["a", "b"], index_deletes=[("a", 1), ("b", "2")]), TypeError, "index_deletes"),
        (dict(data=["a", "b"], object_deletes="12"), TypeError, "object_deletes"),
        (dict(data=["a", "b"], vector_deletes=[2**63], dim=4), OverflowError, None),
        (dict(more_identifiers=[1, 2], more_data=["a"]), ValueError, "^Length mismatch$"),
        (dict(more_identifiers=[1]), ValueError, "go together"),
        (dict(more_identifiers=[1], more_data=[Unpicklable()], vectors=D), RuntimeError, "refuses")]],
    (lambda s: s.write_batch("12"), TypeError, "identifiers"),
    # search_flat
    (lambda s: s.search_flat(), TypeError, None),
    *[(lambda s, q=q: s.search_flat(q), TypeError, "query_vector") for q in [
        [1.0, 2.0, 3.0, 4.0], np.zeros(4), np.zeros((1, 4), np.float32), np.zeros(4, ">f4"), None]],
    (lambda s: s.search_flat(np.zeros(4), filter_obj=5, k=-1), TypeError, "query_vector"),
    (lambda s: s.search_flat(Z4, 5), TypeError, "filter_obj"),
    (lambda s: s.search_flat(Z4, [1, 2]), TypeError, "filter_obj"),
    (lambda s: s.search_flat(NONCONTIG, [1], k=-1), TypeError, "filter_obj"),
    *[(lambda s, k=k: s.search_flat(Z4, k=k), TypeError, "k") for k in [None, "3", 2.0]],
    *[(lambda s, k=k: s.search_flat(Z4, k=k), OverflowError, None) for k in [-1, 2**64]],
    (lambda s: s.search_flat(NONCONTIG, k=-1), OverflowError, None),
    (lambda s: s.search_flat(NONCONTIG), TypeError, "^(?!.*query_vector).*contiguous"),
    (lambda s: s.search_flat(Z4, q=1), TypeError, None),
    (lambda s: s.search_flat(Z4, None, 3, 4), TypeError, None),
    (lambda s: s.search_flat(np.ones(3, np.float32)), ValueError, "dimension"),
    (lambda s: s.search_flat(np.ones(5, np.float32)), ValueError, None),
    # delete_flat_vectors / compact_vectors
    (lambda s: s.delete_flat_vectors("12", 4), TypeError, "identifiers"),
    (lambda s: s.delete_flat_vectors("12", "x"), TypeError, "identifiers"),
    (lambda s: s.delete_flat_vectors([1], "x"), TypeError, "dim"),
    (lambda s: s.delete_flat_vectors([2**63], 4), OverflowError, None),
    *[(lambda s, d=d: s.delete_flat_vectors([1], d), OverflowError, None) for d in [-1, 2**64]],
    (lambda s: s.delete_flat_vectors([1]), TypeError, None),
    (lambda s: s.delete_flat_vectors([1], 3), ValueError, None),  # records of 20 bytes
    *[(lambda s, d=d: s.compact_vectors(d), OverflowError, None) for d in [-1, 2**64]],
    *[(lambda s, d=d: s.compact_vectors(d), ValueError, None) for d in [3, 2**62]],
    (lambda s: s.compact_vectors(None), TypeError, "dim"), (lambda s: s.compact_vectors(), TypeError, None),
    # batch_index_insert / batch_index_delete: a bad entry refuses the whole batch
    *[(lambda s, e=e, m=m: getattr(s, m)(e), x, "entries" if x is TypeError else None)
      for e, x in ENTRY_ERRORS for m in ("batch_index_insert", "batch_index_delete")],
    (lambda s: s.batch_index_insert(), TypeError, None),
    (lambda s: s.batch_index_insert([("a", 1)], wrong=1), TypeError, None),
    # get_ids_from_filter
    *[(lambda s, t=t: s.get_ids_from_filter(t), x, m) for t, x, m in [
        ([0, "k"], TypeError, None), ("k", TypeError, None), (None, TypeError, None),
        ((), IndexError, None), ((0,), IndexError, None), ((1, "a"), IndexError, None),
        ((2,), IndexError, None), ((4,), IndexError, None), ((1.0, "k"), TypeError, None),
        (("0", "k"), TypeError, None), ((-1, "k"), OverflowError, None),
        ((256, "k"), OverflowError, None), ((2**70, "k"), OverflowError, None),
        ((5, "k"), ValueError, "^Invalid OpCode$"), ((255,), ValueError, "^Invalid OpCode$"),
        ((0, b"k"), TypeError, None), ((1, "a", b"z"), TypeError, None), ((1, 1, "z"), TypeError, None),
        ((2, ((0, "a"),)), TypeError, None), ((3, (0, "a")), TypeError, None),
        ((2, [(0, "a"), (9, "b"), [0, "c"]]), ValueError, "Invalid OpCode"),
        ((3, [(0, "a"), [0, "c"], (9, "b")]), TypeError, None),
        ((2, [(0, "a"), (4, (0,)), (9, "b")]), IndexError, None),
        ((4, (4, (7,))), ValueError, "Invalid OpCode"), ((4, [0, "k"]), TypeError, None),
        ((0, "\ud800"), UnicodeEncodeError, None), ((1, "a", "x\udfffy"), UnicodeEncodeError, None),
        (nested(1024), RecursionError, "1024"), (nested(1024, op=2), RecursionError, "1024"),
        (DEEP, RecursionError, "1024"), ((3, [(9,), DEEP]), ValueError, "Invalid OpCode"),
        ((3, [DEEP, (9,)]), RecursionError, None)]],
    (lambda s: s.get_ids_from_filter(), TypeError, None),
    (lambda s: s.get_ids_from_filter((0, "a"), (0, "b")), TypeError, None),
    # the classes
    (lambda s: ZanthIterator(), TypeError, None), (lambda s: ZanthIterator.__new__(ZanthIterator), TypeError, None),
    (lambda s: pickle.dumps(s), TypeError, None), (lambda s: weakref.ref(s), TypeError, None),
    (lambda s: setattr(s, "anything", 1), AttributeError, None),
    (lambda s: type("Sub", (ZanthVec,), {}), TypeError, None),
    (lambda s: type("Sub", (ZanthIterator,), {}), TypeError, None),
    (lambda s: iter(s.get_ids_from_filter((0, "a"))), TypeError, None),
    (lambda s: ZanthIterator.to_list(s), TypeError, None),
    (lambda s: s.get_ids_from_filter((0, "a")).to_list(1), TypeError, None), ]


@pytest.fixture
def filled(open_store):
    db = open_store(num_shards=2)
    db.store_data(["one"], [1])
    db.store_flat_vectors(np.ones((3, 4), np.float32), [1, 2, 3])
    db.delete_flat_vectors([2], 4)
    db.batch_index_insert([("a", 1), ("b", 2), ("c", 3), ("k", 4)])
    return db


def snapshot(db):
    return (db.get_data_count(), db.get_data([1, 5, 6, 7]), db.search_flat(np.ones(4, np.float32), k=99),
            sorted(db.get_ids_from_filter((4, (1, "a", "z"))).to_list()))


@pytest.mark.parametrize("call, error, message", ERRORS)
def test_bad_calls_raise_and_change_nothing(filled, call, error, message):
    before = snapshot(filled)
    with pytest.raises(error) as info:
        call(filled)
    assert type(info.value) is error
    assert message is None or re.search(message, str(info.value)), str(info.value)
    assert snapshot(filled) == before


EXPECTED_IDS = [7, -7, 2**63 - 1]
ID_FORMS = [EXPECTED_IDS, tuple(EXPECTED_IDS), Seq(), [Idx(7), Idx(-7), Idx(2**63 - 1)],
            [np.int64(7), np.int32(-7), np.uint64(2**63 - 1)], np.array(EXPECTED_IDS, ">i8"),
            np.array(EXPECTED_IDS + [0])[:3], np.array([7, 0, -7, 0, 2**63 - 1])[::2],
            np.array(EXPECTED_IDS, dtype=object)]
WIDTHS = [np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64, np.uint64, np.longlong]


def test_accepted_forms_give_the_plain_answer(filled):
    db = filled
    db.store_data(data=["a", "b", "c"], identifiers=EXPECTED_IDS)
    assert db.get_data(np.array([2**63 - 1], np.uint64)) == ["c"]
    for ids in ID_FORMS:
        assert db.get_data(identifiers=ids) == ["a", "b", "c"], repr(ids)
    for dtype in WIDTHS:
        values = [0, 1, 5, 127] + ([-1, -128] if np.issubdtype(dtype, np.signedinteger) else [])
        db.store_data([str(v) for v in values], values)
        assert db.get_data(np.array(values, dtype)) == [str(v) for v in values], dtype
        assert db.get_data(np.array([], dtype)) == []
    db.store_data(b"ab", [True, False])  # bytes are a sequence of ints; bools are ids
    db.store_data(("x", None), [3, 4])
    assert db.get_data([1, 0, 3, 4]) == [97, 98, "x", None]
    q = np.ones(4, np.float32)
    ro = q.copy()
    ro.flags.writeable = False
    plain = db.search_flat(q, k=2)
    assert plain == [(4.0, 1), (4.0, 3)] or plain == [(4.0, 3), (4.0, 1)]
    for k, n in [(Idx(1), 1), (np.uint64(2**64 - 1), 2), (np.array(2), 2), (True, 1)]:
        assert db.search_flat(query_vector=ro, filter_obj=None, k=k) == plain[:n]
    assert db.search_flat(np.vstack([q, q])[1], k=2) == plain
    assert db.batch_index_insert(entries=(("m", np.int64(3)), ("m", True), ("x" * 502, 9))) is None
    trees = [((0, "k", 99), [4]), ((True, "a", "c"), [1, 2]), ((Idx(0), type("S", (str,), {})("a")), [1]),
             (type("T", (tuple,), {})((0, "b")), [2]), ((2, []), []), ((3, []), []),
             ((4, (4, (0, "k"))), [4]), ((3, [(0, "a"), (0, "c")], "ignored"), [1, 3]),
             ((0, "m"), [1, 3]), ((0, "x" * 502), [9]), (nested(1023), [4]), (nested(1023, op=2), [4])]
    for tree, want in trees:
        assert sorted(db.get_ids_from_filter(filter_tree=tree).to_list()) == want, tree


def test_python_code_run_during_conversion_may_shrink_the_input(filled):
    ids = [1, 2, 3]
    operands = [(0, "a"), (0, "b")]

    class Shrinker:
        def __index__(self):
            del ids[1:]
            operands.clear()
            return 1

    ids.insert(1, Shrinker())
    # Nothing crashes, and the items converted so far are used.
    assert filled.get_data(ids) == ["one", "one"]
    operands.insert(0, (Shrinker(), "c", "d"))
    assert sorted(filled.get_ids_from_filter((3, operands)).to_list()) == [3]


def test_pickle_failures_propagate(open_store, store_path, monkeypatch):
    db = open_store(num_shards=1)
    db.store_data([[1]], [1])
    got = db.get_data([1, 1])
    assert got == [[1], [1]] and got[0] is not got[1]  # each position unpickled on its own
    del db, got
    with lmdb.open(os.path.join(store_path, "shard_0"), map_size=1 << 24) as env, env.begin(write=True) as txn:
        txn.put(id_key(2), b"this is no pickle")
        txn.put(id_key(3), b"")
        txn.put(id_key(4), pickle.dumps(Unpicklable).replace(b"Unpicklable", b"Vanishedxxx"))
    db = open_store(num_shards=1)
    for ids, error in [([1, 2], pickle.UnpicklingError), ([3], EOFError), ([4, 1], AttributeError)]:
        with pytest.raises(error):
            db.get_data(ids)
    monkeypatch.setattr(pickle, "dumps", lambda obj: "not bytes")
    with pytest.raises(TypeError):
        db.store_data(["a"], [5])
    monkeypatch.undo()
    assert db.get_data([1, 5]) == [[1], None]



def _levels_left():
    """How many calls deeper the recursion limit stops this one: C calls count too (a test
    runner's callable objects, say), which the frames on the stack do not show."""
    try:
        return 1 + _levels_left()
    except RecursionError:
        return 0


def test_pickling_that_fails_part_way_stores_nothing(open_store):
    """Large batches are pickled while the shards write the rest: a failure part way leaves no
    shard committed, those with only index records included."""
    db = open_store(num_shards=3)
    ids = list(range(3, 903, 3))  # every object in shard 0; index records in every shard
    # Every argument made before the limit drops: under it, only the store's call runs.
    vectors, inserts, more = np.ones((300, 4), np.float32), [(f"k{i}", i) for i in ids], [{"m": 1}]
    write = lambda data: db.write_batch(ids, data, vectors, index_inserts=inserts,
                                        more_identifiers=[1000], more_data=more)
    # The pickler itself gives up part way: lists nested 15 deep meet the recursion limit.
    nest = [1]
    for _ in range(14):
        nest = [nest]
    data, limit, error = [("x", i) for i in ids[:250]] + [nest] * 50, sys.getrecursionlimit(), None
    sys.setrecursionlimit(limit - _levels_left() + 10)  # 10 levels left here, whatever called
    try:
        write(data)
    except RecursionError as raised:
        error = raised
    finally:
        sys.setrecursionlimit(limit)
    assert "while pickling" in str(error) and db.get_data_count() == 0
    data = [("x", i) for i in ids]
    data[7] = ("x" * 70_000, b"y" * 70_000, ids[7])  # past a pickle frame: written out of the frame
    write(data)
    assert db.get_data(ids[::7] + [1000]) == data[::7] + [{"m": 1}]
    assert db.get_pickled(ids[:3]) == [pickle.dumps(obj) for obj in data[:3]]  # each on its own
    assert sorted(db.get_ids_from_filter((1, "k", "l")).to_list()) == ids

def test_huge_inputs(tmp_path):
    """Tens of thousands of operands in one node and 300,000 entries in one batch; in a child,
    so that a crash fails the test instead of ending the run."""
    out = run_isolated("""
        db = zanth_vec.ZanthVec(path, num_shards=4)
        db.batch_index_insert([("k", i) for i in range(10)])
        assert len(db.get_ids_from_filter((3, [(0, "k")] * 50_000 + [(4, (0, "k"))] * 1000))) == 0
        assert len(db.get_ids_from_filter((2, [(0, "k"), (1, "a", "z")] * 20_000))) == 10
        entries = [(f"tag:{i % 1000}", i) for i in range(300_000)]
        db.batch_index_insert(entries)
        db.batch_index_delete(entries[:150_000])
        print(db.get_data_count(), len(db.get_ids_from_filter((1, "tag:", "tag;"))))
    """, timeout=300, path=str(tmp_path / "s"))
    assert out.split() == ["150010", "150000"]
