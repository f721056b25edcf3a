"""zanth.Collection against a plain Python model (a dict of documents, filters evaluated in
three-valued logic, float32 scores in the store's order of additions), a table of bad inputs,
writers killed mid-call, and the README's Python blocks run as written."""
import _thread
import fcntl
import functools
import gc
import itertools
import math
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import warnings
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

from conftest import SCALE
from store_model import reference_scores
from zanth import Collection
from zanth import collection as zc
from zanth.encoding import record_id, shard_of_id, shard_of_key
from zanth.filters import FilterSyntaxError
from zanth.where import compile_where, matches, read_where

# ---- the model ---------------------------------------------------------------------------

ID_POOL = [0, 1, -5, 2**70, "a", "b", "7", "", "\u00e9t\u00e9", "x" * 300, "d1", "d12", "d13"]
FIELDS = ["year", "inf-o", "price", "flag", "tags", "état"]  # "inf-o": a name, not inf
STRINGS = ["", "a", "ab", "a\x00b", "a\x01", "b", "\u00e9", "2019"]
SCALARS = st.sampled_from(STRINGS) | st.sampled_from([0, 1, -1, 2019, 2.5, -0.0, 1e300, True,
                                                      False]) | st.floats(-3, 3).filter(
    lambda x: not math.isnan(x))
VALUES = SCALARS | st.none() | st.lists(SCALARS, max_size=3)
METADATA = st.dictionaries(st.sampled_from(FIELDS), VALUES, max_size=4)
DIM = 3
# Small integers make equal scores common, so the order of ties (by id) is tested too.
VECTORS = st.lists(st.integers(-2, 2), min_size=DIM, max_size=DIM)


def kind(v):
    return "b" if isinstance(v, bool) else "s" if isinstance(v, str) else "n"


def truth(node, meta):
    """True, False or None (unknown: the field is missing) of a where tree on metadata."""
    if isinstance(node, dict):
        parts = []
        for key, cond in node.items():
            if key == "$and":
                parts.append(all3([truth(c, meta) for c in cond]))
            elif key == "$or":
                parts.append(any3([truth(c, meta) for c in cond]))
            elif key == "$not":
                t = truth(cond, meta)
                parts.append(None if t is None else not t)
            elif isinstance(cond, dict):
                parts.append(all3([leaf(meta.get(key), op, x) for op, x in cond.items()]))
            else:
                parts.append(leaf(meta.get(key), "$eq", cond))
        return all3(parts)
    raise AssertionError(node)


def all3(values):
    return False if False in values else None if None in values else True


def any3(values):
    return True if True in values else None if None in values else False


def leaf(held, op, x):
    items = held if isinstance(held, list) else [] if held is None else [held]
    if not items:
        return None
    eq = lambda a, b: kind(a) == kind(b) and a == b  # noqa: E731
    if op == "$eq":
        return any(eq(i, x) for i in items)
    if op == "$ne":
        return not any(eq(i, x) for i in items)
    if op == "$in":
        return any(eq(i, y) for i in items for y in x)
    if op == "$nin":
        return not any(eq(i, y) for i in items for y in x)
    cmp = {"$gt": lambda a: a > x, "$gte": lambda a: a >= x, "$lt": lambda a: a < x,
           "$lte": lambda a: a <= x}[op]
    return any(cmp(i) for i in items if kind(i) == kind(x))


ORDERED = st.sampled_from(STRINGS) | st.sampled_from([0, 1, 2019, 2.5, -1, 1e300, math.inf, -math.inf]) \
    | st.floats(-3, 3)


def wheres(scalars, ordered, fields):
    conditions = scalars | st.dictionaries(st.sampled_from(["$eq", "$ne"]), scalars, min_size=1) | \
        st.dictionaries(st.sampled_from(["$in", "$nin"]), st.lists(scalars, max_size=3), min_size=1) | \
        st.dictionaries(st.sampled_from(["$gt", "$gte", "$lt", "$lte"]), ordered, min_size=1, max_size=2)
    return st.recursive(
        st.dictionaries(st.sampled_from(fields), conditions, min_size=1, max_size=2),
        lambda sub: st.builds(lambda op, cs: {op: cs}, st.sampled_from(["$and", "$or"]),
                              st.lists(sub, min_size=1, max_size=3))
        | st.builds(lambda c: {"$not": c}, sub), max_leaves=6).filter(lambda w: "nan" not in repr(w))


WHERES = wheres(SCALARS, ORDERED, FIELDS + ["missing", "not in `use`"])  # the last backquoted
# Few values, so that equal values (the bounds of every comparison) meet often.
FEW_VALUES = [0, 1, 2.5, "a", "b", True, False]
FEW = st.sampled_from(FEW_VALUES)
FEW_METADATA = st.dictionaries(st.sampled_from("xy"), FEW | st.none() | st.lists(FEW, max_size=2))
FEW_WHERES = wheres(FEW, st.sampled_from([0, 1, 2.5, "a", "b"]), ["x", "y", "z"])


def order(doc_id):
    return (1, doc_id) if isinstance(doc_id, str) else (0, doc_id)


class FailingShards:
    """A store whose write_batch commits the shards in `committed` and then fails, as a call
    does when the other shards cannot commit."""

    def __init__(self, store, shards, committed):
        self.store, self.shards, self.committed = store, shards, committed
        self.placed = {}  # id -> record id of each document object written

    def __getattr__(self, name):
        return getattr(self.store, name)

    def write_batch(self, identifiers, data=None, vectors=None, index_inserts=(),
                    index_deletes=(), vector_deletes=(), object_deletes=(), dim=None,
                    more_identifiers=(), more_data=()):
        ours = lambda rid: shard_of_id(rid, self.shards) in self.committed  # noqa: E731
        keyed = lambda entries: [e for e in entries or ()  # noqa: E731
                                 if shard_of_key(e[0].encode(), self.shards) in self.committed]
        rows = [i for i, rid in enumerate(identifiers) if ours(rid)]
        self.placed.update((obj[0], rid) for rid, obj in zip(identifiers, data or ())
                           if zc._is_doc(obj))
        self.store.write_batch(
            [identifiers[i] for i in rows], data=None if data is None else [data[i] for i in rows],
            vectors=None if vectors is None else np.ascontiguousarray(vectors[rows]),
            index_inserts=keyed(index_inserts), index_deletes=keyed(index_deletes),
            vector_deletes=[r for r in vector_deletes or () if ours(r)],
            object_deletes=[r for r in object_deletes or () if ours(r)], dim=dim,
            more_identifiers=[r for r in more_identifiers if ours(r)],
            more_data=[d for r, d in zip(more_identifiers, more_data) if ours(r)])
        raise OSError("injected: the other shards failed")


class FullDisk:
    """A store on a full disk: reads work, and every write fails as LMDB's does."""

    def __init__(self, store):
        self.store = store

    def __getattr__(self, name):
        if name in ("write_batch", "store_data", "store_pickled", "delete_data"):
            def fail(*args, **kwargs):
                raise OSError("LMDB: No space left on device")
            return fail
        return getattr(self.store, name)


class CollectionMachine(RuleBasedStateMachine):
    @initialize(shards=st.sampled_from([1, 3]),  # layouts as stored on disk
                layout=st.sampled_from(zc.FORMATS),
                pending=st.sampled_from([0, 2, 10**6]),  # deleted vectors tombstoned after
                scan=st.sampled_from([0, zc.SCAN_COST]))  # pages read from documents, or not
    def open(self, shards, layout, pending, scan):
        self.dir = tempfile.mkdtemp(prefix="zanth-collection-")
        self.shards, self.hashed = shards, layout == "zanth.Collection/1"
        with pytest.MonkeyPatch.context() as patch:  # older layouts, as older versions made
            patch.setattr(zc, "FORMAT", layout)
            self.col = Collection(Path(self.dir) / "c", dim=DIM, metric="ip", num_shards=shards)
        self.docs = {}  # id -> (vector, metadata, document)
        self.keys_seen = set()  # index keys of documents at some time
        self.chunk, zc.CHUNK = zc.CHUNK, 3  # calls write, read and delete several chunks
        self.pending = zc.PENDING_LIMIT, zc.PENDING_SHARE
        zc.PENDING_LIMIT, zc.PENDING_SHARE = pending, 10**9  # the limit drawn, whatever the size
        self.scan, zc.SCAN_COST = zc.SCAN_COST, scan

    def teardown(self):
        zc.CHUNK = getattr(self, "chunk", zc.CHUNK)
        zc.PENDING_LIMIT, zc.PENDING_SHARE = getattr(self, "pending",
                                                     (zc.PENDING_LIMIT, zc.PENDING_SHARE))
        zc.SCAN_COST = getattr(self, "scan", zc.SCAN_COST)
        self.col = None
        gc.collect()
        shutil.rmtree(getattr(self, "dir", "/nonexistent"), ignore_errors=True)

    def clean(self, meta):
        return {k: (list(v) if isinstance(v, list) else v) for k, v in meta.items()}

    @rule(data=st.data(), replace=st.booleans())
    def write(self, data, replace):
        ids = data.draw(st.lists(st.sampled_from(ID_POOL), max_size=4, unique=True))
        vectors = [data.draw(VECTORS) for _ in ids]
        metas = [data.draw(METADATA) for _ in ids]
        texts = [data.draw(st.none() | st.text(max_size=5)) for _ in ids]
        array = np.array(vectors, dtype=data.draw(st.sampled_from([np.float64, np.int16, np.float32]))).reshape(len(ids), DIM)
        if not replace and any(i in self.docs for i in ids):
            before = self.col.count()
            with pytest.raises(ValueError, match="already in the collection"):
                self.col.add(ids, array, metas, texts)
            assert self.col.count() == before
            return
        (self.col.upsert if replace else self.col.add)(ids, array, metas, texts)
        for i, v, m, t in zip(ids, vectors, metas, texts):
            self.docs[i] = (np.array(v, np.float32), self.clean(m), t)

    @rule(data=st.data(), absent=st.sampled_from(ID_POOL))
    def update(self, data, absent):
        ids = data.draw(st.lists(st.sampled_from(sorted(self.docs, key=order)), max_size=3,
                                 unique=True)) if self.docs else []
        if absent not in self.docs and data.draw(st.booleans()):
            with pytest.raises(ValueError, match=f"id {absent!r} is not in the collection"):
                self.col.update(ids + [absent], documents=["x"] * (len(ids) + 1))
            return
        def draw(strategy):  # a value for each id, or None: that part is left as it is
            return [data.draw(strategy) for _ in ids] if data.draw(st.booleans()) else None
        vectors, changes = draw(VECTORS), draw(st.none() | METADATA)
        texts = draw(st.none() | st.text(max_size=5))
        given = None if vectors is None else np.array(vectors).reshape(-1, DIM)
        self.col.update(ids, given, changes, texts)
        for row, i in enumerate(ids):
            v, m, t = self.docs[i]
            if changes is not None and changes[row] is not None:
                m = self.clean({f: x for f, x in {**m, **changes[row]}.items()
                                if x is not None or f not in changes[row]})
            self.docs[i] = (v if given is None else given[row].astype(np.float32), m,
                            t if texts is None or texts[row] is None else texts[row])

    @rule(data=st.data(), delete=st.booleans())
    def failed_write(self, data, delete):
        """A write whose shards partly commit raises; the next call finds the journal and
        makes each document whole: the new version where its object's shard committed."""
        committed = data.draw(st.sets(st.integers(0, self.shards - 1)))
        ids = data.draw(st.lists(st.sampled_from(ID_POOL), min_size=1, max_size=zc.CHUNK,
                                 unique=True))  # one chunk: a failed one ends the call
        vectors = [np.array(data.draw(VECTORS), np.float32) for _ in ids]
        metas = [data.draw(METADATA) for _ in ids]
        real = self.col._store
        rids = {obj[0]: rid for rid, obj in self.col._found(ids)}
        self.col._store = failing = FailingShards(real, self.shards, committed)
        try:
            if delete and not any(i in self.docs for i in ids):
                assert self.col.delete(ids) == 0  # nothing to write
                return
            with pytest.raises(OSError, match="injected"):
                if delete:
                    self.col.delete(ids)
                else:
                    self.col.upsert(ids, np.stack(vectors), metas, [repr(i) for i in ids])
        finally:
            self.col._store = real
        rids.update(failing.placed)
        for i, v, m in zip(ids, vectors, metas):
            if i not in rids or shard_of_id(rids[i], self.shards) not in committed:
                continue
            if delete:
                self.docs.pop(i, None)
            else:
                self.docs[i] = (v, self.clean(m), repr(i))

    @rule(ids=st.lists(st.sampled_from(ID_POOL), max_size=4))
    def delete_ids(self, ids):
        gone = {i for i in ids if i in self.docs}
        assert self.col.delete(ids) == len(gone)
        for i in gone:
            del self.docs[i]

    @rule(where=WHERES)
    def delete_where(self, where):
        gone = [i for i, (_, m, _) in self.docs.items() if truth(where, m) is True]
        assert self.col.delete(where=where) == len(gone)
        for i in gone:
            del self.docs[i]

    @rule(where=st.none() | WHERES, window=st.tuples(st.integers(0, 3), st.none() | st.integers(0, 4)),
          ids=st.none() | st.lists(st.sampled_from(ID_POOL), max_size=4, unique=True))
    def get(self, where, window, ids):
        offset, limit = window
        got = self.col.get(ids, where=where, offset=offset, limit=limit, include_vectors=True)
        # Documents come in the order they were added; hashed ids in the key order of hashes.
        added = sorted(self.docs, key=lambda i: record_id(i).to_bytes(8, "little")) \
            if self.hashed else list(self.docs)
        order_ = ids if ids is not None else added
        want = [i for i in order_ if i in self.docs and (where is None or truth(where, self.docs[i][1]) is True)]
        want = want[offset:None if limit is None else offset + limit]
        assert [r.id for r in got] == want
        for r in got:
            vector, meta, text = self.docs[r.id]
            assert r.metadata == meta and r.document == text and r.vector.tolist() == vector.tolist()

    @rule(query=st.lists(VECTORS, min_size=1, max_size=3), k=st.integers(0, 12),
          where=st.none() | WHERES, matrix=st.booleans())
    def query(self, query, k, where, matrix):
        queries = np.array(query, np.float32)
        got = self.col.query(queries if matrix else queries[0], k, where=where)
        rows = got if matrix else [got]
        for q, hits in zip(queries, rows):
            pool = [i for i, (_, m, _) in self.docs.items() if where is None or truth(where, m) is True]
            scores = reference_scores([self.docs[i][0] for i in pool], q) if pool else []
            want = sorted(zip(scores, pool), key=lambda h: (-h[0], order(h[1])))[:k]
            assert [(h.score, h.id) for h in hits] == want
            assert all(h.metadata == self.docs[h.id][1] for h in hits)

    @rule()
    def index_matches_documents(self):
        """Every key a document ever had lists exactly the documents that have it now, and
        the collection's own check agrees that every document is whole."""
        assert self.col.verify() == []
        keys = {i: set(zc._clean_metadata(m, i, self.col._listed)[1])
                for i, (_, m, _) in self.docs.items()}
        self.keys_seen.update(*keys.values())
        for key in self.keys_seen:
            want = {rid for rid, obj in self.col._found(list(keys)) if key in keys[obj[0]]}
            assert set(self.col._store.get_ids_from_filter((0, key)).to_list()) == want, key

    @rule()
    def reopen(self):
        self.col = None
        gc.collect()
        self.col = Collection(os.path.join(self.dir, "c"), num_shards=self.shards)

    @rule()
    def compact(self):
        self.col.compact()
        assert self.col.compact() == 0

    @invariant()
    def counts(self):
        if hasattr(self, "col"):
            assert len(self.col) == len(self.docs)
            assert sorted(self.col.ids(), key=order) == sorted(self.docs, key=order)
            assert all(i in self.col for i in self.docs)
            if not self.col._hashed:  # the slots name exactly the documents there are
                slots = self.col._read_slots(self.col._slot_ids(list(ID_POOL)))
                named = {(type(i), i): rid for slot in slots.values() for i, rid in slot.items()}
                assert named == {(type(o[0]), o[0]): rid
                                 for rid, o in self.col._found(list(self.docs))}


TestCollectionMachine = CollectionMachine.TestCase
TestCollectionMachine.settings = settings(max_examples=max(5, int(25 * SCALE)), deadline=None)


# ---- where: the dict and text forms ---------------------------------------------------

def render(node):
    """Text for a dict where, as a user would write it."""
    parts = []
    for key, cond in node.items():
        if key in ("$and", "$or"):
            parts.append("(" + f" {key[1:]} ".join(render(c) for c in cond) + ")")
        elif key == "$not":
            parts.append(f"not ({render(cond)})")
        else:
            conds = cond if isinstance(cond, dict) else {"$eq": cond}
            for op, x in conds.items():
                field = key if re.fullmatch(r"[^\W\d][\w.\-]*", key) and key.lower() not in \
                    {"and", "or", "not", "in", "true", "false", "inf", "infinity"} else \
                    "`" + key.replace("\\", "\\\\").replace("`", "\\`") + "`"
                if op in ("$in", "$nin"):
                    body = ", ".join(literal(v) for v in x)
                    parts.append(f"{field} {'not ' if op == '$nin' else ''}in ({body})")
                else:
                    sym = {"$eq": "=", "$ne": "!=", "$gt": ">", "$gte": ">=", "$lt": "<", "$lte": "<="}[op]
                    parts.append(f"{field} {sym} {literal(x)}")
    return "(" + " and ".join(parts) + ")"


def literal(v):
    if isinstance(v, bool):
        return "true" if v else "false"
    if isinstance(v, str):
        return '"' + v.replace("\\", "\\\\").replace('"', '\\"') + '"'
    return repr(v)


def flat(node):
    """A where tree with single-child and/or nests flattened, for comparing forms."""
    if node[0] in ("and", "or"):
        out = []
        for child in map(flat, node[1]):
            out.extend(child[1] if child[0] == node[0] else [child])
        return (node[0], out)
    if node[0] == "not":
        return ("not", flat(node[1]))
    return node


@given(where=WHERES)
def test_text_form_reads_as_the_dict_form(where):
    assert flat(read_where(render(where))) == flat(read_where(where))
    assert compile_where(read_where(where))  # compiles to a native tree


@settings(max_examples=max(50, int(300 * SCALE)))
@given(where=FEW_WHERES, metas=st.lists(FEW_METADATA, min_size=1, max_size=8))
def test_where_matches_metadata_as_the_model(where, metas):
    """The check reads make of each object (get by ids with a where, reads during writes)."""
    node = read_where(where)
    assert [matches(node, m) for m in metas] == [truth(where, m) is True for m in metas]


def test_every_comparison_matches_as_the_model(tmp_path):
    """Both ways a condition is decided: on a document's metadata, and as a native filter tree
    over the index (alone and under `not`, where unknown stays unknown)."""
    held = [None, [], [0, "b"], [0, 2.5]] + FEW_VALUES
    single = [h[0] if isinstance(h, list) and h else h for h in held]  # a value at most
    col = Collection(tmp_path / "c", dim=1, metric="ip")
    col.add(list(range(len(held))), [[1]] * len(held),
            [{"x": h, "w": one} for h, one in zip(held, single)])
    col.add(list(range(100, 140)), [[1]] * 40, [{"z": -0.0}] * 40)  # a column, keyed at once
    assert len(col.get(where={"z": 0})) == 40
    store = col._store
    selected = lambda tree: sorted(  # noqa: E731
        obj[0] for obj in store.get_data(store.get_ids_from_filter(tree).to_list()))
    for op in ["$eq", "$ne", "$gt", "$gte", "$lt", "$lte", "$in", "$nin"]:
        for x in FEW_VALUES:
            if op[1] in "gl" and isinstance(x, bool):
                continue  # bools are not ordered (a table of bad inputs checks it)
            value = [x, "a"] if op in ("$in", "$nin") else x
            node = read_where({"x": {op: value}})
            truth = [leaf(h, op, value) for h in held]
            assert [matches(node, {"x": h}) for h in held] == [t is True for t in truth], (op, value)
            assert selected(compile_where(node)) == [i for i, t in enumerate(truth) if t is True]
            assert selected(compile_where(("not", node))) == \
                [i for i, t in enumerate(truth) if t is False], (op, value)
    for x in [0, False, 0.0, 1, True, 1.0]:  # pages of trees equal in Python: not each other's
        assert [r.id for r in col.get(where={"x": x}, limit=50)] == \
            [i for i, h in enumerate(held) if leaf(h, "$eq", x) is True], x
    # Two comparisons on a field are one range where no document lists several values there.
    for field, values in (("x", held), ("w", single)):
        for (low, a), (high, b) in itertools.product(
                itertools.product(["$gt", "$gte"], [0, 2.5, "a"]),
                itertools.product(["$lt", "$lte"], [0, 2.5, "b"])):
            node = read_where({"$and": [{field: {low: a}}, {"$and": [{field: {high: b}}]}]})
            assert sorted(obj[0] for obj in store.get_data(col._selected(node).to_list())) == [
                i for i, h in enumerate(values) if leaf(h, low, a) is True
                and leaf(h, high, b) is True], (field, low, a, high, b)
            merged = field == "w" and isinstance(a, str) == isinstance(b, str)
            assert str(compile_where(node, col._several)).count("(1, ") == (1 if merged else 2)
    # A commit between the list keys' read and the range's: the ranges are read again.
    other, several = Collection(col.path), col._several
    col._several = lambda field: [several(field), other.upsert([4], [[1]], [{"w": [-1, 9]}])][0]
    assert single[4] == 0 and 4 in [r.id for r in col.get(where={"w": {"$gte": 0, "$lt": 1}})]


@pytest.mark.parametrize("text, column, reason", [
    ("year >= and x", 9, "expected a value"),
    ("year = 1 and", 13, "expected a field name"),
    ("(year = 1", 10, "expected ')'"),
    ("year 2019", 6, "expected a comparison (= != < <= > >= in) after the field 'year'"),
    ("lang = 'en", 8, "unterminated quoted text"),
    ("tag not = 1", 9, "expected 'in' after 'not'"),
    ("tag in (1, 2", 13, "expected ',' or ')'"),
    ("flag > true", 8, "orders numbers or strings"),
    ("n = 99999999999999999999", 5, "beyond"), ("n = " + "9" * 400, 5, "beyond"),
    ("n = " + "9" * 5000, 5, "beyond"),
    ("n >= 1e400", 6, "compare as inf"), ("n < -0.1e-400", 5, "compare as -0.0"),
    ("year = 1 year", 10, "'and', 'or' or the end"),
    ("a = 1 @", 7, "unexpected character"), ("x = ١e-400", 5, "unexpected character"),
    ("x = 1e", 5, "'1e' is not a number"), ("2nd = 1", 1, "'2nd' is not a number"),
    (r'p = "C:\new"', 8, r"unknown escape '\\n'"), ('p = "a\\\nb"', 7, "unknown escape"),
    ("`\ud800` = 1", 1, "field name '\\ud800' is not valid Unicode"),
    ("not " * 150 + "a = 1", 405, "nested more than"),  # 100 levels below the filter's own
    ("(" * 101 + "a = 1" + ")" * 101, 102, "nested more than"), ])
def test_text_syntax_errors_point_at_the_column(text, column, reason):
    with pytest.raises(FilterSyntaxError) as caught:
        read_where(text)
    assert caught.value.column == column and reason in str(caught.value)


# ---- bad inputs ------------------------------------------------------------------------

def _closed(col):
    """Another handle of `col`'s store, closed by its with block."""
    with Collection(col.path) as other:
        assert other.get()[0].id == "a"
    return other


class _Caseless(str):  # a caller's field name with equality and hashing of its own
    def __hash__(self):
        return hash(self.lower())

    def __eq__(self, other):
        return isinstance(other, str) and self.lower() == other.lower()


BAD = [  # (call on a 2-d collection holding "a", exception, message)
    (lambda c: c.add(["b"], [[1, 2, 3]]), ValueError, r"shape \(1, 3\): expected shape \(1, 2\)"),
    (lambda c: c.add(["b", "c"], [[1, 2]]), ValueError, r"expected shape \(2, 2\)"),
    (lambda c: c.add(["a"], [[1, 2]]), ValueError, "'a' is already in the collection"),
    (lambda c: c.add(["b", "b"], [[1, 2]] * 2), ValueError, "'b' appears twice"),
    (lambda c: c.add([1.5], [[1, 2]]), TypeError, "ids are str or int, not float"),
    (lambda c: c.add([True], [[1, 2]]), TypeError, "not bool"),
    (lambda c: c.add([10**4300], [[1, 2]]), ValueError, "at most 4300 digits"),
    (lambda c: c.upsert({"b", "c"}, [[1, 2], [2, 1]]), TypeError, "order is arbitrary"),
    (lambda c: c.add(["b"], [["x", "y"]]), TypeError, "real numbers"),
    (lambda c: c.add(["b"], [[1, np.nan]]), ValueError, "vectors hold NaN or infinite"),
    (lambda c: c.query([np.inf, 1]), ValueError, "queries hold NaN or infinite"),
    (lambda c: c.add(["b"], [[1, 2]], [{"y": {"x": 1}}]), TypeError, "'y' of 'b': dict is not"),
    (lambda c: c.add(["b"], [[1, 2]], [{"y": np.array([5])}]), TypeError, "ndarray is not"),
    (lambda c: c.delete(b"a"), TypeError, "ids are str or int, not bytes"),
    *[(lambda c, call=call: setattr(c, "embed", lambda t: [[1, 0]]) or call(c), ValueError,
       r"embed gave shape \(1, 2\) for 2 texts") for call in (
        lambda c: c.query(["p", "q"]), lambda c: c.add(["p", "q"], None, None, ["p", "q"]))],
    (lambda c: c.add(["b", "c"], [[1, 2], [1]]), ValueError,
     r"vectors whose rows differ in length: expected shape \(2, 2\)"),
    (lambda c: Collection(c.path + "-0").add([1], [[]]), ValueError, "at least one dimension"),
    (lambda c: c.add(["b"], [[1, 2]], [{"y": 2**60}]), ValueError, "beyond"),
    (lambda c: c.add(["b"], [[1, 2]], [{"y": float("nan")}]), ValueError, "NaN"),
    (lambda c: c.add(["b"], [[1, 2]], [{"y": "\ud800"}]), ValueError, "surrogate"),
    (lambda c: c.add(["b"], [[1, 2]], [{"y" * 490: 1}]), ValueError, "the field name is too long"),
    (lambda c: c.add(["b"], [[1, 2]], [{"y": "v" * 600}]), ValueError, "field name and value take"),
    (lambda c: c.add(list("bcdefghijklmnopqrstuvwxyzBCDEFGHI"), [[1, 2]] * 33,  # in columns
                     [{"説明": "v" * 496}] * 33), ValueError, "'説明' of 'b' is too long"),
    (lambda c: c.add(["b"], [[1, 2]], [{"y": np.datetime64(5, "ns")}]), TypeError, "datetime64"),
    (lambda c: c.add(["b"], [[1, 2]], [{"Y": 1, _Caseless("Y"): 2}]), ValueError, "given twice"),
    (lambda c: setattr(c, "embed", lambda t: None) or c.update("a", documents="new"), TypeError,
     "returned None"),
    (lambda c: c.add(["b"], [[1, 2]], [{"$y": 1}]), ValueError, "not a field name"),
    (lambda c: c.add(["b"], [[1, 2]], [{3: 1}]), TypeError, "field names are str"),
    (lambda c: c.add(["b"], [[1, 2]], [[1]]), TypeError, "metadata of 'b' is a dict"),
    (lambda c: c.add(["b"], [[1, 2]], None, [b"text"]), TypeError, "document of 'b' is a str"),
    (lambda c: c.add(["b"], [[1, 2]], [{}, {}]), ValueError, "2 metadatas for 1 ids"),
    (lambda c: c.delete(), ValueError, "needs ids or where"),
    (lambda c: c.get(where={}), ValueError, "empty filter"),
    (lambda c: c.get(where={"y": {"$like": 1}}), ValueError, "unknown operator '\\$like'"),
    (lambda c: c.get(where={"$xor": []}), ValueError, "unknown filter operator"),
    (lambda c: c.get(where={"y": {"$gt": True}}), TypeError, "orders numbers or strings"),
    (lambda c: c.get(where={"y": {"$in": 3}}), TypeError, "takes a list"),
    (lambda c: c.get(where={"y": None}), TypeError, "None is not a filter value"),
    (lambda c: c.get(where={"\ud800": 1}), ValueError, "field name is not valid Unicode"),
    (lambda c: c.get(where={"y": {"$lt": 2**60}}), ValueError, r"2\*\*53.*\(compare with a float"),
    (lambda c: c.get(where={"$and": []}), ValueError, "non-empty list"),
    (lambda c: c.get(where={"$or": [{"y": 1}, 2]}), TypeError, r"\$or takes filters \(dicts\), not 2"),
    (lambda c: c.get(where=functools.reduce(lambda d, i: {"$not": d} if i % 2 else
                                            {"$or": [d]}, range(150), {"y": 1})),
     ValueError, "nested more than"),
    (lambda c: c.get(where={"$not": ["y"]}), TypeError, r"\$not takes a filter \(a dict\), not \['y'\]"),
    (lambda c: c.get(where=("y", 1)), TypeError, "dict or a str"),
    (lambda c: c.get(limit=-1), ValueError, "limit is an int"),
    (lambda c: c.query([1, 2], k=-1), ValueError, "k is an int"),
    (lambda c: c.query([1, 2], k=2.0), TypeError, "k is an int >= 0, not 2.0"),
    (lambda c: c.query([1, 2, 3]), ValueError, r"queries of shape \(3,\)"),
    (lambda c: Collection(c.path + "-new").query([1], where="y = = 1"), FilterSyntaxError, "col"),
    (lambda c: Collection(c.path, dim=3), ValueError, "holds 2-dimensional vectors, not 3"),
    (lambda c: Collection(c.path, metric="ip"), ValueError, "metric='cosine', not 'ip'"),
    (lambda c: Collection(c.path + "-new", metric="l2"), ValueError, "'cosine' or 'ip'"),
    (lambda c: Collection(c.path + "-new", dim=0), ValueError, "positive int"),
    (lambda c: Collection(c.path + "-new", num_shards=0), ValueError, "num_shards is a positive"),
    (lambda c: Collection(c.path + "-\udce9", dim=2), ValueError, "not valid UTF-8"),
    (lambda c: os.mkdir(c.path + "/shard_5") or Collection(c.path), ValueError,
     "made with 5 shards .its collection.lock records them., but shard_5 is there too"),
    (lambda c: os.rename(c.path + "/shard_4", c.path + "/away") or Collection(c.path), ValueError,
     "but shard_4 is missing: put back"),
    (lambda c: (Collection(c.path + "-n", num_shards=2), Collection(c.path + "-n", dim=2,
                                                                    num_shards=5)),
     ValueError, "made with 2 shards .its collection.lock"),  # before either has settings
    (lambda c: (Collection(c.path + "-s", dim=2, num_shards=2).add([1], [[1, 1]]), os.mkdir(
        c.path + "-s/shard_2"), open(c.path + "-s/collection.lock", "w").close(),  # as older
                Collection(c.path + "-s")),  # settings in shard 1 under 2 and 3 shards
     ValueError, "made with 2 shards, but it is opened with 3"),
    (lambda c: (Collection(c.path + "-g", dim=2).close(), os.rename(c.path + "-g/shard_0", c.path
                + "-g/x"), Collection(c.path + "-g")), ValueError, "shard_0 is missing, but shard_1"),
    (lambda c: Collection(c.path + "-m", map_size=2**60), OSError, "smaller map_size"),
    (lambda c: (os.makedirs(c.path + "-f"), open(c.path + "-f/shard_0", "w").close(), Collection(
        c.path + "-f", num_shards=1)), NotADirectoryError, "-f: IO: Not a directory"),
    (lambda c: (Collection(c.path + "-d", dim=2).close(), os.remove(c.path + "-d/shard_1/lock.mdb"),
                os.mkdir(c.path + "-d/shard_1/lock.mdb"), Collection(c.path + "-d")),
     IsADirectoryError, "-d: LMDB: Is a directory"),
    (lambda c: zc.zanth_vec.ZanthVec(c.path + "-raw").store_data(["x"], [1])  # a foreign store
     or Collection(c.path + "-raw"), ValueError, "not by Collection"),
    (lambda c: zc.zanth_vec.ZanthVec(c.path + "-old").store_data(  # the earlier LangChain layer's
        [{"dim": 2, "distance": "cosine"}], [zc.SETTINGS_ID]) or Collection(c.path + "-old"),
     ValueError, "earlier zanth.langchain layout"),
    (lambda c: zc.zanth_vec.ZanthVec(c.path + "-new").store_data(  # a later version's layout
        [{"format": "zanth.Collection/9", "dim": 2, "metric": "ip"}], [zc.SETTINGS_ID])
     or Collection(c.path + "-new"), ValueError, "upgrade zanth"),
    *[(lambda c, damage=damage: c._store.store_data([{"format": zc.FORMAT, "dim": 2, "metric":
                                                       "cosine", **damage}], [zc.SETTINGS_ID])
       or Collection(c.path), ValueError, "settings record is damaged")
      for damage in ({"dim": "2"}, {"metric": "l2"})],
    (lambda c: _closed(c).add(["b"], [[1, 2]]), ValueError, "the collection is closed"),
    (lambda c: _closed(c).count(), ValueError, "the collection is closed"),
    (lambda c: c.add(["b"], None, None, ["text"]), TypeError, "has no embed function"),
    (lambda c: c.query("text"), TypeError, "queries are needed"), ]


@pytest.mark.parametrize("call, error, message", BAD, ids=[m for _, _, m in BAD])
def test_bad_inputs_raise_and_write_nothing(tmp_path, call, error, message):
    col = Collection(tmp_path / "c", dim=2)
    col.add(["a"], [[1.0, 0.0]], [{"y": 1}], ["text"])
    with pytest.raises(error, match=message):
        call(col)
    assert col.get(include_vectors=True)[0][:3] == ("a", {"y": 1}, "text") and len(col) == 1


def test_embed_makes_the_vectors_of_documents_and_of_text_queries(tmp_path):
    calls = []

    def embed(texts):
        assert gc.isenabled()  # a model may run long and leave cycles: never with it paused
        calls.append(texts)
        return [[t.count(c) for c in "abc"] for t in texts]

    col = Collection(tmp_path / "e", metric="ip", embed=embed)
    col.add([], documents=[])
    col.add([], [])
    assert col.dim is None and not calls  # an empty write fixes no dimension
    col.add(["x", "y"], documents=["aab", "c"], metadatas=[{"n": 1}, {"n": 2}])
    assert col.dim == 3 and calls == [["aab", "c"]]  # once, though the call fixed the dimension
    col.upsert([], [])
    assert [[h.id for h in r] for r in col.query(["a", "cc"], k=1)] == [["x"], ["y"]]
    col.upsert("y", documents="aaa")
    col.update("x", documents=["bbb"], metadatas={"n": 5})
    col.update("x", metadatas={"n": 6, "m": 1})  # no text given: the vector stays
    col.update(["x", "y"], metadatas=[{"m": None, "gone": None}, None],  # None takes a field away
               documents=[None, "ccc"])  # and keeps a text (and its vector)
    assert calls[-1] == ["ccc"] and [r.document for r in col.get(["x", "y"])] == ["bbb", "ccc"]
    assert [(h.id, h.score, h.metadata) for h in col.query("b", k=2)] == [
        ("x", 3.0, {"n": 6}), ("y", 0.0, {})]  # upsert replaced the whole document
    for call, error, message in [
            (lambda: col.add(["z"], documents=[None]), TypeError, "document of 'z' is NoneType"),
            (lambda: col.add(["z"]), TypeError, "or documents to embed"),
            (lambda: col.update(["x", "y"], documents=["a"]), ValueError, "1 documents for 2"),
            (lambda: Collection(col.path, embed=lambda t: [[1, 2]]).add(["z"], documents=["a"]),
             ValueError, r"expected shape \(1, 3\)"),
            (lambda: Collection(col.path, embed=3), TypeError, "embed is a function")]:
        with pytest.raises(error, match=message):
            call()
    assert len(col) == 2 and col.verify() == [] and len(calls) == 6


def cleaned(clean, metas):
    """What `clean` gives, as text: values of other types (np.float32(2) and 2.0) differ."""
    try:
        return repr(clean(metas, list(range(len(metas))), True))
    except (TypeError, ValueError) as e:
        return repr((type(e), str(e)))


@pytest.mark.parametrize("field", ["year", "\u00e9t\u00e9", "$x", ""])
def test_metadata_of_a_batch_is_checked_as_one_document_at_a_time(field):
    """Large batches are checked and keyed a column at a time: same metadata, keys and errors,
    whether a column is all of one plain type, holds one value that is not, or one document
    is not of the batch's shape."""
    room = 498 - len(field.encode())  # UTF-8 bytes a value may take beside this field name
    columns = [(1.5, math.nan), (3, 2**60), (-3, -(2**53) - 1), (2**53, -(2**53)), (0, True),
               (True, 0), (1, 1.0), (-0.5, np.float32(2)), (np.float32(2), 1.5), (np.int64(3), 1),
               ("a", "\u00e9"), ("a", "\ud800"), ("a", np.str_("b")), ("a", "y" * room), ("a", "y" * (room + 1)),
               ("y" * room, "a"), ("y" * (room + 1), "a"), ("a", None), (1, [1, "a"]), (False, {})]
    for value, other in columns:
        for at in (None, 0, 39):
            metas = [{field: value, "k": "v"} for _ in range(40)]
            if at is not None:
                metas[at][field] = other
            assert cleaned(zc._clean_metadatas, metas) == cleaned(zc._clean_each, metas), \
                (value, other, at)
    for odd in (None, {}, {"k": "v", field: 1, "z": 2}, {"k": "v", field: 1}, {field: 1, "k": 1}):
        metas = [{field: 1, "k": "v"}] * 39 + [odd]
        assert cleaned(zc._clean_metadatas, metas) == cleaned(zc._clean_each, metas), odd


def test_scalars_of_other_types_are_kept_and_found_as_python_ones(tmp_path):
    import enum
    color = enum.StrEnum("Color", {"RED": "red"}).RED  # a str subclass, as np.str_ is
    col = Collection(tmp_path / "c", dim=1, metric="ip")
    col.add([np.str_("a"), color, np.int8(7)], [[1]] * 3, [{
        "s": np.str_("hi"), "c": color, "f": np.float32(1.5), "i": np.int16(-3),
        "b": np.bool_(False)}] * 3, [np.str_("text"), color, None])
    assert [type(r.document) for r in col.get(["a", "red", 7])] == [str, str, type(None)]
    stored = col.get(["a"])[0].metadata
    assert stored == {"s": "hi", "c": "red", "f": 1.5, "i": -3, "b": False}
    assert [type(v) for v in stored.values()] == [str, str, float, int, bool]
    where = {"s": np.str_("hi"), "c": color, "f": {"$gt": np.float64(1)}, "i": np.int8(-3)}
    assert [(r.id, type(r.id)) for r in col.get(where=where)] == [("a", str), ("red", str), (7, int)]
    with pytest.raises(ValueError, match="'red' is already"):
        col.add(["red"], [[2]])
    for n in (1, 40):  # field names too, per document and a column at a time
        metas = [{"red": "x", "k": 1}] * (n - 1) + [{color: "x", np.str_("k"): 1}]
        col.upsert(range(n), [[1]] * n, metas)
        assert {type(f) for r in col.get(list(range(n))) for f in r.metadata} == {str}
    assert col.verify() == []


def test_padded_and_unpadded_objects_read_the_same(tmp_path):
    """write_batch pads pickles of a third to half a page with zero bytes (their own overflow
    page) unless their keys follow every stored key; objects as store_data writes them, unpadded as earlier versions left them, read
    the same."""
    import mmap
    import pickle

    import zanth_vec

    third, half = mmap.PAGESIZE // 3, mmap.PAGESIZE // 2
    raw_store = zanth_vec.ZanthVec(str(tmp_path / "raw"), 2)
    sizes = sorted({n + d for n in (third - 40, half - 40) for d in range(-3, 4)} | {10, 3000})
    blobs = [b"v" * size for size in sizes]
    for again in (False, True):  # into an empty store every key is an append: never padded
        raw_store.write_batch(list(range(len(blobs))), blobs)
        assert raw_store.get_data(list(range(len(blobs)))) == blobs
        for blob, stored in zip(blobs, raw_store.get_pickled(list(range(len(blobs))))):
            plain = pickle.dumps(blob)
            padded = again and third < len(plain) < half
            assert stored == (plain.ljust(half, b"\0") if padded else plain)

    col = Collection(tmp_path / "c", dim=384, metric="ip")
    vectors = np.random.default_rng(3).standard_normal((4, 384)).astype(np.float32)
    args = list("abcd"), vectors, [{"k": i} for i in range(4)], ["x", None, "z", "w"]
    col.add(*args)  # new documents are appended, unpadded
    before = [(r.id, r.metadata, r.document, r.vector.tolist()) for r in col.get(list("abcd"), include_vectors=True)]
    rids = [rid for rid, _ in col._found(list("abcd"))]
    col.upsert(*[a[:2] for a in args])  # written in place: padded
    del col
    col = Collection(tmp_path / "c")
    assert [len(b) == half for b in col._store.get_pickled(rids)] == [True, True, False, False]
    assert [(r.id, r.metadata, r.document, r.vector.tolist())
            for r in col.get(list("abcd"), include_vectors=True)] == before
    assert [col.query(v, k=1)[0].id for v in vectors] == list("abcd")
    col.delete(["a", "c"])
    assert sorted(col.ids()) == ["b", "d"] and len(col) == 2


def test_handles_opened_before_another_wrote_the_settings_adopt_or_refuse_them(tmp_path, monkeypatch):
    early, writer, asked = (Collection(tmp_path / "c", metric=m) for m in (None, None, "cosine"))
    monkeypatch.setattr(zc, "FORMAT", zc.GROUPED_FORMAT)  # made by a version of groups of 100
    Collection(tmp_path / "c", dim=2, metric="ip").add(["x15"], [[2, 0]])
    monkeypatch.undo()
    assert "x15" in early  # its first call: found in the slot of the stored layout
    writer.add(iter(["y"]), [[0, 3]])  # its first call: an inner product's vector, as given
    early._check_empty()  # what opening checks next, had it read no settings just before them
    assert [(h.id, h.score) for h in early.query([0, 1], k=2)] == [("y", 3.0), ("x15", 0.0)]
    assert all(i in Collection(tmp_path / "c") for i in ("x15", "y"))
    assert early.get(["y"], include_vectors=True)[0].vector.tolist() == [0, 3]
    for call in (lambda: asked.query([1, 0]), lambda: asked.add(["z"], [[1, 1]])):
        with pytest.raises(ValueError, match="metric='ip', not 'cosine'"):
            call()
    assert asked.dim is None and len(asked) == 2
    Collection(tmp_path / "d", metric="ip").close()  # no dim: its lock file keeps the metric
    with pytest.raises(ValueError, match="made with metric='ip', not 'cosine'"):
        Collection(tmp_path / "d", metric="cosine")
    (again := Collection(tmp_path / "d")).add([1], [[3, 4]])
    assert again.metric == "ip" and again.query([1, 0], k=1)[0].score == 3.0


def test_colliding_ids_share_a_slot_or_are_refused_by_the_hashed_layout(tmp_path, monkeypatch, capsys):
    import zanth.encoding

    col = Collection(tmp_path / "c", dim=2)
    col.add(list(range(12_000)), np.ones((12_000, 2)), progress=True)
    assert len(col) == 12_000 and "100%" in capsys.readouterr().out
    monkeypatch.setattr(zanth.encoding, "record_id", lambda doc_id: 7)  # every id hashes alike
    monkeypatch.setattr(zanth.encoding, "record_ids", lambda doc_ids: [7] * len(doc_ids))
    monkeypatch.setattr(zanth.encoding, "slot_ids", lambda doc_ids, grouped: [7] * len(doc_ids))
    col.add(["x", "y"], [[1, 0], [0, 1]])
    col.upsert(["y", "z"], [[0, 2], [3, 0]])
    assert col.delete(["x"]) == 1 and "x" not in col and col.delete(["x"]) == 0
    assert [(r.id, r.vector.tolist()) for r in col.get(["x", "y", "z"], include_vectors=True)] \
        == [("y", [0, 2]), ("z", [3, 0])]
    monkeypatch.setattr(zc, "FORMAT", zc.HASHED_FORMAT)
    old = Collection(tmp_path / "old", dim=2)
    monkeypatch.undo()
    old = Collection(tmp_path / "old")  # opened by a version that makes the numbered layout
    monkeypatch.setattr(zanth.encoding, "record_ids", lambda doc_ids: [7] * len(doc_ids))
    with pytest.raises(ValueError, match="'x' and 'y' hash to the same record id"):
        old.add(["x", "y"], [[1, 0], [0, 1]])
    old.add(["x"], [[1, 0]])
    with pytest.raises(ValueError, match="'x' \\(stored\\) and 'y' hash to the same"):
        old.upsert(["y"], [[0, 1]])
    assert [r.id for r in old.get()] == ["x"] and zc.FORMAT != zc.HASHED_FORMAT


def test_ids_numbered_in_a_run_share_slots_and_a_collection_keeps_its_layout(tmp_path, monkeypatch):
    ids = [f"doc-{i}" for i in range(1000)] + list(range(-50, 950)) + ["doc-1x", "e\u00e92", "7"]
    col = Collection(tmp_path / "new", dim=2, metric="ip")
    col.add(ids, np.ones((len(ids), 2)))
    slots = col._read_slots(col._slot_ids(ids))
    # doc-0..9, doc-10..19, ... doc-990..999 (the text before the last digit), ints in runs of
    # ten, then three ids of groups of their own
    assert len(slots) == 100 + 100 + 3 and max(map(len, slots.values())) == 10
    assert sorted(map(len, slots.values()))[:4] == [1, 1, 1, 10]
    assert sum(map(len, slots.values())) == len(ids) and all(i in col for i in ids)
    assert col.delete(ids[:950]) == 950 and sum(map(bool, col._read_slots(col._slot_ids(ids)).values())) == 108
    assert col.verify() == []
    # Collections of earlier layouts, opened by this version, keep theirs: groups of a hundred
    # (doc-0..9, doc-10..99, doc-100..199), or a slot per id.
    for layout, slots_of_200 in ((zc.GROUPED_FORMAT, 3), (zc.UNGROUPED_FORMAT, 200)):
        monkeypatch.setattr(zc, "FORMAT", layout)
        Collection(tmp_path / layout[-1], dim=2, metric="ip").add(ids[:3], np.ones((3, 2)))
        monkeypatch.undo()
        old = Collection(tmp_path / layout[-1])
        old.add(ids[3:200], np.ones((197, 2)))
        assert len(old._read_slots(old._slot_ids(ids[:200]))) == slots_of_200 and len(old) == 200
        assert all(i in old for i in ids[:200]) and old.verify() == []


def test_scores_cosine_and_ip_and_auto_compaction(tmp_path, rng):
    vectors = rng.standard_normal((300, 8))
    ip = Collection(tmp_path / "ip", dim=8, metric="ip")
    ip.add(list(range(300)), vectors)
    q = rng.standard_normal(8).astype(np.float32)
    raw = zc.zanth_vec.ZanthVec(str(tmp_path / "ip"))
    assert [(h.score, ip._found([h.id])[0][0]) for h in ip.query(q, k=5)] == raw.search_flat(q, k=5)
    cos = Collection(tmp_path / "cos", dim=8)
    assert repr(cos) == f"Collection({str(tmp_path / 'cos')!r}, dim=8, metric='cosine')"
    cos.add(list(range(300)), vectors * rng.uniform(0.1, 10, (300, 1)))  # scale is ignored
    unit = vectors / np.linalg.norm(vectors, axis=1, keepdims=True)
    want = np.argsort(-(unit @ (q / np.linalg.norm(q))))[:5]
    hits = cos.query(q, k=5)
    assert [h.id for h in hits] == want.tolist() and hits[0].score == pytest.approx(
        float(unit[want[0]] @ q / np.linalg.norm(q)), rel=1e-5)
    cos.add(["zero"], [np.zeros(8)])  # no direction: it scores 0 against every query
    assert [(h.score, h.vector.tolist()) for h in cos.query(q, k=301, include_vectors=True)
            if h.id == "zero"] == [(0.0, [0.0] * 8)]
    far = {"cosine": [[1e20, 1e20], [1e-25, 1e-25], [3, 3]], "ip": [[1e-20, 0], [2e-20, 0], [1e20, -1e20]]}
    for metric, scores in (("cosine", {0: 1, 1: 1, 2: 1}), ("ip", {1: 2e-40, 0: 1e-40, 2: -math.inf})):
        ends = Collection(tmp_path / (metric + "-ends"), dim=2, metric=metric)  # float32's ends
        ends.add([0, 1, 2], far[metric])
        hits = ends.query([1e-20, 1e20] if metric == "ip" else [1, 1], k=3)
        assert {h.id: h.score for h in hits} == pytest.approx(scores, rel=1e-5, abs=0)
        assert metric == "cosine" or [h.id for h in hits] == list(scores)
    scalings, old = Collection._scalings, Collection(tmp_path / "old", dim=2)
    with pytest.MonkeyPatch.context() as patch:  # as versions scaling every row in float32 did
        patch.setattr(Collection, "_searched", lambda c, g: scalings(c, g)[-1])
        old.add([0, 1], [[1e-25, 1e-25], [1e20, 1e20]])
    assert sorted(h.id for h in old.query([1, 1], k=2)) == [0, 1]
    for n in range(20):  # re-adding the same ids: dead vectors never pass a quarter
        ip.upsert(list(range(300 - n)), vectors[: 300 - n])
        assert len(raw.search_flat(q, k=10**6)) == 300
        assert 3 * raw.compact_vectors(8) <= 300


def test_readers_during_writes_see_whole_documents(tmp_path):
    import threading

    col = Collection(tmp_path / "c", dim=4, metric="ip", num_shards=2)
    vec = lambda i, v: np.random.default_rng([i, v]).standard_normal(4).astype(np.float32)  # noqa: E731
    col.add(list(range(40)), [vec(i, 0) for i in range(40)], [{"v": 0} for _ in range(40)])
    stop, versions = threading.Event(), [0]

    def write():
        while not stop.is_set():
            v = versions[0] + 1
            col.upsert(list(range(40)), [vec(i, v) for i in range(40)], [{"v": v} for _ in range(40)])
            versions[0] = v

    writer = threading.Thread(target=write)
    writer.start()
    try:
        deadline, rng = time.monotonic() + 3 * SCALE, np.random.default_rng(0)
        while time.monotonic() < deadline or versions[0] < 3:
            q = rng.standard_normal(4).astype(np.float32)
            for h in col.query(q, k=5, where={"v": {"$gte": 0}}, include_vectors=True):
                assert np.array_equal(h.vector, vec(h.id, h.metadata["v"]))
                assert h.score == pytest.approx(float(h.vector @ q), rel=1e-4, abs=1e-4)
            got = col.get(where={"v": {"$gte": 0}}, include_vectors=True)
            assert all(np.array_equal(r.vector, vec(r.id, r.metadata["v"])) for r in got)
            assert len({r.id for r in got}) == len(got) <= 40 and len(col) == 40
    finally:
        stop.set()
        writer.join()


def test_a_forked_child_uses_the_collection_with_its_own_handle_and_lock(tmp_path):
    """fork() copies the lock file's descriptor, whose flock lock the parent holds while it
    writes: the child must wait for that write, not share its lock (nor free it)."""
    import fcntl
    col = Collection(tmp_path / "c", dim=4, metric="ip")
    col.add([1, 2], np.eye(4)[:2], [{"v": 1}, {"v": 2}])
    paused, ended = threading.Event(), threading.Event()

    def pause():  # a thread the child does not have, in a call that pauses the collector
        with zc._no_collection():
            paused.set(), ended.wait()
    (other := threading.Thread(target=pause)).start()
    paused.wait()
    with col._writing():
        pid = os.fork()
        if pid == 0:  # the child: exit status 0 when all went as it should
            status = 9
            try:
                try:
                    fcntl.flock(col._lock_fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                    status = 3  # it held the parent's lock
                except BlockingIOError:
                    hits = [h.id for h in col.query(np.eye(4)[1], k=1, where={"v": 2})]
                    col.add([3], np.eye(4)[2:3], [{"v": 3}])  # waits for the parent's write
                    status = 0 if hits == [2] and len(col) == 3 else 4
                    status = status or (0 if gc.isenabled() else 5)  # its calls ended the pause
            finally:
                os._exit(status)
        time.sleep(0.2)
        assert 3 not in col  # the child's add waited
    ended.set(), other.join()
    deadline = time.monotonic() + 60  # a child stuck on an inherited lock is killed, and fails
    while (done := os.waitpid(pid, os.WNOHANG))[0] == 0 and time.monotonic() < deadline:
        time.sleep(0.05)
    if done[0] == 0:
        os.kill(pid, signal.SIGKILL)
        done = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(done[1]) == 0
    assert sorted(col.ids()) == [1, 2, 3] and col.verify() == []


def _add_in_worker(job):
    col, doc_id = job
    col.add([doc_id], [[doc_id, 1]], [{"by": os.getpid()}])
    return os.getpid()


def test_a_collection_pickles_into_spawned_workers_that_open_it_anew(tmp_path, monkeypatch):
    import multiprocessing
    import pickle
    (tmp_path / "real" / "deep").mkdir(parents=True)
    (tmp_path / "link").symlink_to(tmp_path / "real" / "deep")
    monkeypatch.chdir(tmp_path)
    col = Collection("link/../c", dim=2, metric="ip")  # "..": where the link leads
    col.add([0], [[0, 1]])
    assert (tmp_path / "real" / "c").is_dir() and not (tmp_path / "c").exists()
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        done = pool.map(_add_in_worker, [(col, i) for i in range(1, 7)])
    assert sorted(col.ids()) == list(range(7)) and col.verify() == []
    assert {r.metadata["by"] for r in col.get(list(range(1, 7)))} == set(done)
    (tmp_path / "elsewhere").mkdir()
    monkeypatch.chdir(tmp_path / "elsewhere")  # the pickle names the collection, not "./c"
    assert len(pickle.loads(pickle.dumps(col))) == 7 and not os.listdir(".")
    col.close()
    with pytest.raises(ValueError, match="closed"):
        pickle.dumps(col)


@pytest.mark.parametrize("committed", [{0}, {1}, {2}, {0, 1}, {1, 2}])
def test_a_write_repairs_a_failed_one_before_its_own(tmp_path, committed):
    """No read runs between the two writes, so only the second write can repair the first."""
    vec = lambda i, v: np.random.default_rng([i, v]).standard_normal(4).astype(np.float32)  # noqa: E731
    col = Collection(tmp_path / "c", dim=4, metric="ip", num_shards=3)
    ids = list(range(24))
    col.add(ids, [vec(i, 0) for i in ids], [{"v": 0} for _ in ids])
    real, col._store = col._store, FailingShards(col._store, 3, committed)
    new = list(range(24, 30))  # the failed write also adds documents
    with pytest.raises(OSError, match="injected"):
        col.upsert(ids + new, [vec(i, 1) for i in ids + new], [{"v": 1} for _ in ids + new])
    placed, col._store = col._store.placed, real
    whole = {i for i in new if shard_of_id(placed[i], 3) in committed}
    listed = shard_of_key(zc.enc.PRESENT_KEY.encode(), 3) in committed
    import fcntl
    lock = os.open(os.path.join(col.path, zc.LOCK_FILE), os.O_RDWR)
    fcntl.flock(lock, fcntl.LOCK_EX)  # as if the writer were still at work: reads must not repair
    try:  # a document is counted when both its object and its listing were committed
        assert len(col) == len(ids) + (len(whole) if listed else 0)
    finally:
        os.close(lock)
    # With the disk full the repair cannot be written: the collection still opens, and its
    # reads check what they return against the objects until a write can repair it.
    native = zc.zanth_vec.ZanthVec
    opened = type("Native", (), {"ZanthVec": lambda *a: FullDisk(native(*a))})
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(zc, "zanth_vec", opened)
        full = Collection(tmp_path / "c")
    assert full._journals() and len(full) == len(ids) + (len(whole) if listed else 0)
    for r in (got := full.get(include_vectors=True)):
        assert np.array_equal(r.vector, vec(r.id, r.metadata["v"]))
    assert len(got) == len(full) and [r.id for r in full.get(offset=3, limit=5)] == [r.id for r in got[3:8]]
    with pytest.raises(OSError, match=r"^\[Errno 28\] .*No space.*whole or absent"):  # ENOSPC
        full.delete(ids=[0])
    full.close()
    col.add([99], [vec(99, 1)], [{"v": 1}])
    want = {i: int(shard_of_id(col._found([i])[0][0], 3) in committed) for i in ids} | {99: 1}
    want |= {i: 1 for i in whole}
    for r in col.get(include_vectors=True):
        assert r.metadata["v"] == want[r.id] and np.array_equal(r.vector, vec(r.id, want[r.id]))
    for v in (0, 1):
        assert sorted(r.id for r in col.get(where={"v": v})) == sorted(i for i in want if want[i] == v)
    assert len(col) == len(want) and len(col.query(np.ones(4), k=100)) == len(want)


@pytest.mark.parametrize("layout", [zc.FORMAT, zc.HASHED_FORMAT])
def test_deleted_vectors_wait_for_their_tombstones_and_are_never_hits(tmp_path, monkeypatch, rng,
                                                                      layout):
    monkeypatch.setattr(zc, "FORMAT", layout)  # the first layout writes an id at its hash again
    monkeypatch.setattr(zc, "PENDING_LIMIT", 6)
    monkeypatch.setattr(zc, "PENDING_SHARE", 10**9)
    vectors = rng.standard_normal((40, 8)).astype(np.float32)
    vectors[:3] *= 10  # the deleted ones: each its own best match by far, whatever the draw
    col = Collection(tmp_path / "c", dim=8, metric="ip")
    col.add(range(40), vectors)
    raw, live = col._store, lambda: len(col._store.search_flat(vectors[0], k=10**6))
    rid = lambda i: col._found([i])[0][0]  # noqa: E731
    col.delete([0, 1, 2])
    assert live() == 40 and col.verify() == []  # their vectors wait, listed
    searches: list[int] = []  # per query; after one that dropped a hit, they ask for more
    other = Collection(tmp_path / "c")  # knows of no deletion: finds them as strays
    counted = lambda store: type("Counted", (), {  # noqa: E731
        "__getattr__": lambda _, name: getattr(store, name),
        "search_flat": lambda _, *a, **kw: searches.append(1) or store.search_flat(*a, **kw)})()
    col._store, other._store = counted(raw), counted(other._store)
    for handle in (col, other):
        for i in (0, 1, 2):  # each its own best match: never a hit, and k is still filled
            want = sorted(range(3, 40), key=lambda j: (-float(vectors[j] @ vectors[i]), j))[:5]
            before = len(searches)
            assert [h.id for h in handle.query(vectors[i], k=5)] == want
            searches[before:] = [len(searches) - before]
    assert searches == [1, 1, 1, 2, 1, 1]  # the other asks for more once one was a hit
    col._store = raw
    col.add([1], [100 * vectors[1]])  # its waiting vector would score a hundredth of this
    assert col.verify() == [] and col.query(vectors[1], k=1)[0].id == 1
    col.delete(range(3, 10))  # more than the limit wait: tombstoned
    assert live() == 31 and raw.get_data([zc.STATS_ID])[0] == {"dead": 10}
    # Listed while its record holds a document again (a crash between shards leaves that):
    # its vector is the document's and stays.
    raw.store_data([{"dead": 10, "pending": [rid(20)] * 7}], [zc.STATS_ID])
    col.delete([30])
    assert live() == 30 and col.verify() == []
    assert 20 in [h.id for h in col.query(vectors[20], k=40)]
    col.delete([31])  # waits, and compaction removes it
    assert live() == 30 and col.compact() == 1 and live() == len(col) == 29
    assert raw.get_data([zc.STATS_ID])[0] == {"dead": 0}
    col.add(range(100, 112), np.repeat(1e4 * vectors[:1], 12, axis=0))  # twelve tie at the top:
    col._store, before = counted(raw), len(searches)  # decided by id once a hit scores lower
    assert [h.id for h in col.query(vectors[0], k=3)] == [100, 101, 102]
    assert len(searches) - before <= 2


def test_the_dead_count_commits_with_its_chunks_and_compaction_never_fails_a_write(
        tmp_path, monkeypatch):
    col = Collection(tmp_path / "c", dim=2, metric="ip")
    col.add(range(60), np.ones((60, 2)))
    monkeypatch.setattr(zc, "CHUNK", 10)
    real, seen = col._store, []

    class Watched:  # the stored count after each chunk's commit: what a killed writer leaves
        def __getattr__(self, name):
            return getattr(real, name)

        def write_batch(self, *args, **kwargs):
            real.write_batch(*args, **kwargs)
            seen.append(real.get_data([zc.STATS_ID])[0]["dead"])

    col._store = Watched()
    col.upsert(range(4), np.ones((4, 2)))
    col.delete(ids=range(10, 35))  # then compacts: 29 of 64 vectors are dead
    assert seen == [4, 14, 24, 29] and real.get_data([zc.STATS_ID])[0] == {"dead": 0}
    col._store.compact_vectors = lambda dim: (_ for _ in ()).throw(OSError("LMDB: No space"))
    with pytest.warns(RuntimeWarning, match="automatic compaction failed") as warned:
        assert col.delete(ids=range(35, 60)) == 25  # complete, and said so
    assert warned[0].filename == __file__  # the caller's line
    assert len(col) == 10 and seen[-1] == 25 and not col._journals()


def test_interrupts_and_callers_code_neither_keep_the_lock_nor_change_what_is_stored(
        tmp_path, monkeypatch):
    col = Collection(tmp_path / "c", dim=2, metric="ip")
    col.add(["a"], [[1, 0]])
    other = os.open(os.path.join(col.path, zc.LOCK_FILE), os.O_RDWR)
    fcntl.flock(other, fcntl.LOCK_EX)  # another process's write
    handler = signal.signal(signal.SIGINT, signal.default_int_handler)  # whatever ran before
    gc.collect()  # nor is the interrupt met in a finalizer, which would swallow it
    threading.Timer(0.2, lambda: (_thread.interrupt_main(),  # cancelled while waiting for it,
                                  threading.Timer(0.3, fcntl.flock, (other, fcntl.LOCK_UN))
                                  .start())).start()  # then given the lock, however late
    with pytest.raises(KeyboardInterrupt):
        col.upsert(["b"], [[0, 1]])
    signal.signal(signal.SIGINT, handler)
    fcntl.flock(other, fcntl.LOCK_EX | fcntl.LOCK_NB)  # released by the interrupted write
    os.close(other)

    def metas():  # an argument that writes to the collection as it is read
        col.upsert(["log"], [[1, 1]])
        yield {"x": 7}
    col.update(["a"], metadatas=metas())
    assert col.get(["a"])[0].metadata == {"x": 7} and "log" in col
    assert col.delete(ids=("log" for _ in metas())) == 1 and "log" not in col
    monkeypatch.setattr(zc, "CHUNK", 10)
    vectors, given = np.ones((40, 2), np.float32), [{"g": 1} for _ in range(40)]
    write = zc.Collection._write_chunk

    def changing(self, *args):  # the caller changes its inputs while the chunks are written
        write(self, *args)
        vectors[:] = 5
        given[-1]["g"] = 9
    monkeypatch.setattr(zc.Collection, "_write_chunk", changing)
    col.add(range(40), vectors, given)
    assert col.verify() == [] and len(col.get(where={"g": 1})) == 40
    assert {tuple(r.vector) for r in col.get(range(40), include_vectors=True)} == {(1, 1)}


def test_count_never_counts_a_document_whose_write_fails_during_its_reads(tmp_path):
    col = Collection(tmp_path / "c", dim=4, map_size=4 << 20)
    col.add(["a", "b"], np.eye(4)[:2])
    reader, live = Collection(tmp_path / "c", map_size=4 << 20), None

    def write_then_count() -> int:  # a write begins once the reader found no journal
        with pytest.raises(OSError):  # the object's shard is full; other shards committed
            col.add(["c"], np.ones((1, 4)), documents=["x" * (8 << 20)])
        return live()
    live, reader._live = reader._live, write_then_count
    assert reader.count() == 2 and reader.get(["c"]) == [] and col.verify() == []


@pytest.mark.parametrize("cost", [0, 10**9])  # pages scanned whenever they can be, or never
def test_pages_are_those_of_the_documents_in_order(tmp_path, monkeypatch, cost):
    """A page of `get` is the slice of the matching documents in the order they were added,
    whatever share of them a filter matches, past deleted documents and documents that another
    handle added, while pages of other filters are read between and after writes."""
    monkeypatch.setattr(zc, "SCAN_COST", cost)
    col = Collection(tmp_path / "c", dim=1, metric="ip", num_shards=2)
    docs = {i: {"v": i % 10, "w": i} for i in range(600)}
    col.add(list(docs), [[1]] * len(docs), list(docs.values()))
    gone = set(range(0, 200, 3)) | set(range(300, 340))
    col.delete(list(gone))
    Collection(col.path).add(list(range(600, 650)), [[1]] * 50, [{"v": 11}] * 50)
    docs = {i: m for i, m in docs.items() if i not in gone} | {i: {"v": 11} for i in range(600, 650)}
    for where, joins in [(None, {}), ({"v": {"$ne": 3}}, {"v": 4}), ({"v": {"$lt": 5}}, {"v": 2}),
                         ({"v": 7}, {"v": 7}), ({"w": {"$gte": 590}}, {"w": 595}),
                         ({"v": 11}, {"v": 11}), ({"v": 99}, {"v": 99}), ({"w": {"$lt": 1}}, {})]:
        kept = lambda: [i for i, m in docs.items()  # noqa: E731
                        if where is None or matches(read_where(where), m)]
        want = kept()
        for offset, limit in [(0, 1), (0, 10), (7, 10), (0, 10), (0, 200), (250, 6), (3, 0),
                              (0, 600)]:
            assert [r.id for r in col.get(where=where, offset=offset, limit=limit)] == \
                want[offset:offset + limit], (where, offset, limit)
        # A commit, here one that brings the first document left out into the pages.
        docs[first := next(i for i in docs if i not in want or i == max(docs))] = joins
        col.upsert([first], [[1]], [joins])
        assert [r.id for r in col.get(where=where, limit=10)] == kept()[:10], where
    col.upsert([2, 649], [[1]] * 2, [{"u": 1}] * 2)
    col._store.store_data([{"next": 2**62}], [zc.NUMBER_ID])  # damaged: past any number
    assert [r.id for r in col.get(where={"u": 1}, limit=10)] == [2, 649]
    col._store.store_data([{}], [col._found([8])[0][0]])  # not a document: passed over
    assert [r.id for r in col.get(limit=10)] == [i for i in docs if i != 8][:10]
    col._store.store_pickled([b"\x80\xfb"], [col._found([5])[0][0]])
    with pytest.raises(RuntimeError, match="cannot be unpickled"):
        col.get(limit=10)  # a page never passes over a damaged document


def test_reads_and_deletes_trust_objects_over_stray_records(tmp_path):
    """An index entry or vector that is not its document's (as a fault could leave) is never
    returned as the document's and never deletes it."""
    col = Collection(tmp_path / "c", dim=2, metric="ip", num_shards=2)
    col.add(["a", "b"], [[1, 0], [0, 1]], [{"v": 1}, {"v": 2}])
    key, b_key = (zc._clean_metadata({"v": v}, "a")[1][0] for v in (9, 2))
    (a, _), (b, _) = col._found(["a", "b"])
    col._store.batch_index_insert([(key, a), (b_key, a)])
    col._store.store_flat_vectors(np.array([[5, 5]], np.float32), [b])
    assert sorted(col.verify()) == [f"{b_key!r} lists record {a}, which is not a document with "
                                    "that key", "document 'b' has 2 live vectors, not 1"]
    assert col.get(where={"v": 9}) == [] and col.query([1, 1], k=5, where={"v": 9}) == []
    assert [r.id for r in col.get(where={"v": 2}, limit=1)] == ["b"]  # a page reads past "a"
    assert [(h.id, h.score) for h in col.query([1, 1], k=5)] == [("a", 1.0), ("b", 1.0)]
    assert col.delete(where={"v": 9}) == 0 and len(col) == 2
    col._store.store_data([{"x": a}], col._slot_ids(["x"]))  # a slot naming another's record
    assert "x" not in col and col.get(["x"]) == [] and col.delete(["x"]) == 0
    col.add(["x"], [[3, 3]], [{"v": 3}])
    assert [(r.id, r.metadata) for r in col.get(["a", "x"])] == [("a", {"v": 1}), ("x", {"v": 3})]
    col._store.store_pickled([b"\x80\x04damaged"], col._slot_ids(["b"]))  # read from the objects
    lost = "the slot of 'b' does not lead to its record"
    assert "b" in col and lost in col.verify()
    with pytest.raises(ValueError, match="'b' is already in the collection"):
        col.add(["b"], [[1, 1]])
    col.upsert(["b", "y"], [[0, 2], [2, 0]])  # and stored again by a write
    assert lost not in col.verify() and len(col) == 4 and col.get(["b"])[0].id == "b"


DAMAGE = [  # (a fault planted in a collection of "a" {v: 1} and "b" {v: 2, w: True}, a problem)
    (lambda c, a, b: c._store.batch_index_delete([(c._found(["b"])[0][1][4][0], b)]),
     "document 'b' is missing from the index under '=v:n"),
    (lambda c, a, b: c._store.delete_data([b]), "is listed as a document but holds nothing"),
    (lambda c, a, b: c._store.store_data([{}], [b]), "is listed as a document but holds no doc"),
    (lambda c, a, b: c._store.delete_flat_vectors([a], 2), "document 'a' has 0 live vectors"),
    (lambda c, a, b: (c._store.delete_flat_vectors([a], 2), c._store.store_flat_vectors(
        np.array([[1, np.nan]], np.float32), [a])), "'a': its vector is not the one its object"),
    (lambda c, a, b: c._store.store_flat_vectors(np.ones((1, 2), np.float32), [77]),
     "1 live vectors of record 77 belong to no document"),
    (lambda c, a, b: c._store.store_data([{}], c._slot_ids(["a"])),
     "the slot of 'a' does not lead to its record"),
    (lambda c, a, b: _with_keys(c, "b", ("=v:x",)), "'b': its stored index keys are not those"),
    (lambda c, a, b: _with_keys(c, "b", ("%x",)), "'b': its stored index keys are damaged"),
    (lambda c, a, b: c._store.batch_index_insert([("=w:b0", a)]),
     "a key of '=w:' that no document has lists record"),
    (lambda c, a, b: c._store.batch_index_delete([("%all", b)]),
     "holds 'b', which the index does not list as a document"),
    (lambda c, a, b: c._store.store_data([("b", [1], None, bytes(8), ())], [b]),
     "'b': its metadata are not valid"),
    (lambda c, a, b: c._store.store_data([("b", {"v": 2}, None, bytes(4), ("=v:n",))], [b]),
     "'b': its vector is not the one its object holds"),
    (lambda c, a, b: c._store.store_pickled([b"\x80\xfb"], [b]), "holds an object that "
     "cannot be unpickled (ValueError: unsupported pickle protocol: 251): the store is damaged"), ]


REPAIRED = [(p, d) for p, d in DAMAGE if "unpickled" in d or "listed as a document" in d]


@pytest.mark.parametrize("plant, problem, layout", [(*case, zc.FORMAT) for case in DAMAGE] + [
    (*case, zc.HASHED_FORMAT) for case in REPAIRED], ids=[p for _, p in DAMAGE + REPAIRED])
def test_verify_names_each_kind_of_damage(tmp_path, monkeypatch, plant, problem, layout):
    monkeypatch.setattr(zc, "FORMAT", layout)
    col = Collection(tmp_path / "c", dim=2, metric="ip")
    col.add(["a", "b"], [[1, 0], [0, 1]], [{"v": 1}, {"v": 2, "w": True}])
    assert col.verify() == []
    a, b = (rid for rid, _ in col._found(["a", "b"]))
    plant(col, a, b)
    assert any(problem in line for line in col.verify()), col.verify()
    if "unpickled" in problem:  # reads name the damaged record; verify says it once
        assert col.verify() == [f"record {b} {problem}"]
        with pytest.raises(RuntimeError, match=f"record {b} holds an object that cannot"):
            col.get(where={"v": 2})
    else:  # reads leave out what is damaged
        where = {"v": {"$gte": 0}}
        assert {h.id for h in col.query([1, 1], k=5, where=where)} | {
            r.id for r in col.get(where=where, include_vectors=True)} <= {"a", "b"}
    if "does not list" in problem:  # compaction keeps the vector of a document the index lost
        with pytest.raises(RuntimeError, match="nothing was compacted"):
            col.compact()
        assert [h.id for h in col.query([1, 1], k=5)] == ["a", "b"]
    if (plant, problem) in REPAIRED:  # what repair() removes
        assert [line.split(":")[0] for line in col.repair()] == [f"removed record {b}"]
        assert col.verify() == [] and col.ids() == ["a"] and col.repair() == []
        # Hashed ids put "b" back at its record, still listed under its lost keys (now c's too)
        col.add(["b", "c"], [[0, 1], [1, 1]], [{"v": 3}, {"v": 2}])
        assert [h.id for h in col.query([0, 1], k=5, where={"v": 3})] == ["b"]
        assert col.verify() == [] and [r.id for r in col.get(where={"v": 2})] == ["c"]


def _with_keys(col, doc_id, keys):
    rid, obj = col._found([doc_id])[0]
    col._store.store_data([obj[:4] + (keys,)], [rid])


JOURNAL = "the journal of an unfinished write is damaged"
RECORDS = [  # (damage to one of the collection's own records, what verify() or a warning says)
    (lambda c: c._store.store_data([{"dead": "3"}], [zc.STATS_ID]), None),
    (lambda c: c._store.store_data([{"next": 2**60}], [zc.NUMBER_ID]), "next document number is "),
    (lambda c: c._store.store_pickled([b"\x80\x04garbage"], [zc.JOURNAL_ID]), JOURNAL),
    (lambda c: c._store.store_data([("journal", [(c._found(["a"])[0][0], None, "a")], 9)],
                                   [zc.JOURNAL_ID]), JOURNAL),
    (lambda c: _with_keys(c, "b", None), "'b': its stored index keys are damaged"),
    (lambda c: _with_keys(c, "a", ["=v:x"]), "'a': its stored index keys are damaged"), ]


@pytest.mark.parametrize("plant, problem", RECORDS)
def test_a_damaged_record_of_the_collection_is_named_and_writes_go_on(tmp_path, plant, problem):
    """Damage never leaves a journal that no open gets past, nor a document half replaced."""
    col = Collection(tmp_path / "c", dim=2, metric="ip", num_shards=2)
    col.add(["a", "b", "c"], [[1, 0], [0, 1], [1, 1]], [{"v": 1}, {"v": 2}, {"v": 3}])
    plant(col)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        col = Collection(tmp_path / "c")
        said = col.verify() + [str(w.message) for w in caught]
    assert said == [] if problem is None else any(problem in line for line in said), said
    col.delete(["a"])
    col.upsert(["b"], [[2, 0]], [{"v": 4}])
    col.add(["d"], [[0, 2]], [{"v": 5}])  # numbered past "c", never as the deleted "a"
    col = Collection(tmp_path / "c")
    assert [r.id for r in col.get()] == ["b", "c", "d"] and col.verify() == []
    assert [h.id for h in col.query([1, 0], k=4)] == ["b", "c", "d"]
    assert [r.id for r in col.get(where={"v": {"$in": [1, 2, 4, 5]}})] == ["b", "d"]



def test_recovery_leaves_a_damaged_document_as_it_is_and_mends_the_rest(tmp_path):
    """A dead write's journal names a document whose object no longer unpickles: recovery says
    so and repairs the others, and writes go on (they would all fail on it otherwise)."""
    col = Collection(tmp_path / "c", dim=2, metric="ip", num_shards=2)
    col.add(["a", "b"], [[1, 0], [0, 1]], [{"v": 1}, {"v": 2}])
    (ra, oa), (rb, ob) = col._found(["a", "b"])
    col._store.batch_index_delete([("%all", ra), ("=v:" + "n" + zc.enc.number_code(1), ra),
                                   ("%all", rb)])  # two adds killed part way
    col._store.store_data([("journal", [(ra, oa[4], "a"), (rb, ob[4], "b")], col._next)],
                          [zc.JOURNAL_ID])
    col._store.store_pickled([b"\x80\xfb"], [rb])
    with pytest.warns(RuntimeWarning, match=f"record {rb} holds an object that cannot be unp"):
        col = Collection(tmp_path / "c")
        col.add(["c"], [[1, 1]], [{"v": 3}])
    assert [r.id for r in col.get(["a", "c"])] == ["a", "c"] and not col._journals()
    assert [r.id for r in col.get(where={"v": {"$in": [1, 3]}})] == ["a", "c"]
    assert sorted(col.verify()) == [f"a key of '=v:' that no document has lists record {rb}",
                                    f"record {rb} holds an object, which the index does not list "
                                    "as a document"]
    assert [line.split(":")[0] for line in col.repair()] == [f"removed record {rb}"]
    col.compact()  # which refuses while a record holds an object the index does not list
    assert col.verify() == [] and "b" not in col

def test_update_reads_callers_objects_before_the_lock_and_as_plain_values(tmp_path):
    """An array that writes to the collection as it is converted (any caller's object may call
    back), and a field name hashed its own way, which must neither reach the process's memo of
    field names nor index the document under another field."""
    col = Collection(tmp_path / "c", dim=2, metric="ip")
    col.add(["a"], [[1, 0]], [{"year": 1}])

    class Writes:
        def __array__(self, dtype=None, copy=None):
            col.add(["w"], [[0, 1]])
            return np.array([[0.0, 1.0]])

    done = threading.Thread(target=col.update, args=(["a"], Writes(), [{_Caseless("Year"): 2}]),
                            daemon=True)
    done.start()
    done.join(60)
    assert not done.is_alive() and "w" in col
    assert [r.id for r in col.get(where={"Year": 2, "year": 1})] == ["a"] and col.verify() == []


def test_ids_asked_for_follow_the_objects_while_a_journal_stands(tmp_path):
    """A delete killed after its slot's shard committed and before its object's: `in` and
    get(ids) answer as recovery will decide (the object is there, so the document is), whether
    the read may repair (the lock is free) or not (another process holds it)."""
    col = Collection(tmp_path / "c", dim=2, metric="ip")
    col.add(["a", "b"], [[1, 0], [0, 1]])
    [(rid, obj)] = col._found(["a"])
    col._store.store_data([("journal", [(rid, obj[4], "a")], col._next)], [zc.JOURNAL_ID])
    sid = col._slot_ids(["a"])[0]
    col._store.store_data([{k: v for k, v in col._read_slots([sid])[sid].items() if k != "a"}],
                          [sid])
    holder = os.open(os.path.join(col.path, zc.LOCK_FILE), os.O_RDWR)
    fcntl.flock(holder, fcntl.LOCK_EX)  # a writer at work
    assert "a" in col and [r.id for r in col.get(["b", "a"])] == ["b", "a"] and col._journals()
    os.close(holder)  # and gone
    assert "a" in col and not col._journals() and col.ids() == ["a", "b"]


def test_a_collection_whose_maker_died_among_its_shards_is_finished_with_its_count(tmp_path):
    with pytest.raises(OSError):  # a failed open keeps no count: the next asks another
        Collection(tmp_path / "c", num_shards=3, map_size=2**60)
    Collection(tmp_path / "c", num_shards=4).close()  # no dim: no settings yet
    shutil.rmtree(tmp_path / "c" / "shard_3")
    assert Collection(tmp_path / "c")._store_args[0] == len(os.listdir(tmp_path / "c")) - 1 == 4


def test_a_document_number_behind_the_documents_never_overwrites_one(tmp_path):
    col = Collection(tmp_path / "c", dim=2, metric="ip")
    col.add(["a"], [[1, 0]])
    # The number is stored with the journal, and recovered from it when that store was lost.
    # Its entry names a key too long to have been stored, which recovery has nothing to delete.
    col._store.store_data([("journal", [(zc.enc.document_rids(20, 1)[0], ("k" * 600,), "z")], 9)],
                          [zc.JOURNAL_ID])
    col._store.delete_data([zc.NUMBER_ID])
    col = Collection(tmp_path / "c")
    assert col._store.get_data([zc.NUMBER_ID])[0] == {"next": 9}
    col.add(["b"], [[0, 1]])
    assert col._store.get_data([zc.NUMBER_ID])[0] == {"next": 10}
    col._store.store_data([{"next": 1}], [zc.NUMBER_ID])  # as damage could leave it
    assert col.verify() == ["the next document number, 1, is not past the last document's, 9"]
    col.add(["c"], [[1, 1]])
    assert [(r.id, r.vector.tolist()) for r in col.get(include_vectors=True)] == [
        ("a", [1, 0]), ("b", [0, 1]), ("c", [1, 1])]
    col._store.store_data([{"next": 1}], [zc.NUMBER_ID])  # and no index to count past
    col._store.batch_index_delete([("%all", rid) for rid, _ in col._found(list("abc"))])
    with pytest.raises(RuntimeError, match="damaged"):
        col.add(["d"], [[2, 2]])
    assert "d" not in col and [r.id for r in col.get(list("abcd"))] == list("abc")


# ---- crashes ---------------------------------------------------------------------------

WRITER = r"""
import sys, numpy as np, zanth.collection as zc
zc.CHUNK = 7  # many journaled chunks a call, so kills land inside calls
col = zc.Collection(sys.argv[1], dim=4, num_shards=3)
rng = np.random.default_rng(int(sys.argv[2]))
def vec(i, v):
    return np.random.default_rng([i, v]).standard_normal(4)
print("ready", flush=True)
while True:
    ids = sorted(set(rng.integers(0, 60, rng.integers(1, 40)).tolist()))
    v = int(rng.integers(0, 1000))
    op = rng.integers(0, 3)
    if op == 2 and rng.random() < 0.5:
        col.delete(ids=ids)
    elif op == 2:
        col.delete(where={"v": {"$lt": v // 4}})
    else:
        col.upsert(ids, np.stack([vec(i, v) for i in ids]),
                   [{"v": v, "tag": ["odd", "even"][i % 2], "id": i} for i in ids],
                   [f"{i}:{v}" for i in ids])
"""


def test_processes_creating_one_collection_at_once_agree_on_it(tmp_path):
    code = ("import sys, time; from zanth import Collection\nwhile time.time() < float(sys.argv[2]): "
            "pass\nCollection(sys.argv[1], dim=2).add([sys.argv[3]], [[1, 0]])")
    go = str(time.time() + 3)  # all three open the new path at once
    writers = [subprocess.Popen([sys.executable, "-c", code, str(tmp_path / "c"), go, f"p{n}"])
               for n in range(3)]
    assert [w.wait(timeout=120) for w in writers] == [0, 0, 0]
    col = Collection(tmp_path / "c")  # every writer made or found the same five shards
    assert sorted(col.ids()) == ["p0", "p1", "p2"] and col._store_args[0] == 5 and not col.verify()


def test_killed_writers_leave_documents_whole_or_absent(tmp_path):
    import zanth_vec
    from zanth.collection import JOURNAL_ID

    path = str(tmp_path / "c")
    rng, interrupted, kills = random.Random(), 0, max(3, int(8 * SCALE))
    for kill in range(kills):
        # Two writers share the lock; the one killed first leaves its journal to the other,
        # which recovers it while running and is then killed too.
        writers = [subprocess.Popen([sys.executable, "-c", WRITER, path, str(seed)],
                                    stdout=subprocess.PIPE, text=True)
                   for seed in (kill, 1000 + kill)]
        try:
            for writer in writers:
                assert writer.stdout.readline() == "ready\n"
            for writer in writers:
                time.sleep(rng.uniform(0.05, 0.4))
                writer.send_signal(signal.SIGKILL)
                assert writer.wait(timeout=30) == -signal.SIGKILL
        finally:  # a writer left running would loop for ever
            for writer in writers:
                writer.kill()
                writer.wait()
        raw = zanth_vec.ZanthVec(path, 3)
        interrupted += raw.get_pickled([JOURNAL_ID])[0] is not None
        del raw
        col = Collection(path)  # opening recovers what the writer left
        docs = col.get(include_vectors=True)
        assert len(col) == len(docs) == len(col.ids())
        for d in docs:
            i, v = d.metadata["id"], d.metadata["v"]
            assert d.id == i and d.document == f"{i}:{v}" and d.metadata["tag"] == ["odd", "even"][i % 2]
            assert np.array_equal(d.vector, np.random.default_rng([i, v]).standard_normal(4).astype(np.float32))
            assert col.query(d.vector, k=1, where={"v": v, "id": i})[0].id == i
        hits = col.query(np.ones(4), k=1000)
        assert sorted(h.id for h in hits) == sorted(d.id for d in docs) and col.verify() == []
        for tag in ("odd", "even"):
            assert {r.id for r in col.get(where={"tag": tag})} == {
                d.id for d in docs if d.metadata["tag"] == tag}
        del col
        gc.collect()
    assert interrupted or kills < 8, "no kill landed inside a write: the test tests nothing"



# ---- the README ------------------------------------------------------------------------

README = Path(__file__).resolve().parent.parent / "README.md"
BLOCKS = re.findall(r"^```python\n(.*?)^```", README.read_text(), re.S | re.M)


@pytest.mark.parametrize("number", range(len(BLOCKS)))
def test_readme_python_blocks_run_as_written(tmp_path, number):
    block = BLOCKS[number]
    if "ray.init" in block:
        pytest.skip("needs a running Ray cluster (covered by test_cluster.py)")
    for _ in range(2):  # twice: re-running an example must not change what it prints
        done = subprocess.run([sys.executable, "-c", block], cwd=tmp_path, capture_output=True,
                              text=True, timeout=300)
        assert done.returncode == 0, done.stderr[-3000:]
        if _ == 0:
            first = done.stdout
    assert done.stdout == first


@pytest.mark.parametrize("script, size", [("documents.py", "2000"), ("demo.py", "5000")])
def test_the_demo_scripts_run_and_agree_with_numpy(tmp_path, script, size):
    """`make demo`'s scripts at a small scale: each checks its answers against NumPy and exits
    non-zero when one disagrees."""
    path = README.parent / "examples" / script
    done = subprocess.run([sys.executable, str(path), str(tmp_path / "store"), "--count", size],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-3000:]
    assert "matches NumPy: yes" in done.stdout
