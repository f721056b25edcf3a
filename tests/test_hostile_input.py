"""Hostile input: extreme sizes, odd key bytes and a corrupted data file give a clear Python
exception or a correct result, never a crash or a hang. The cases that could bring
the interpreter down run in a child process, so a crash fails the test instead of killing
pytest. Malformed arguments of each method are tested beside the method."""
import subprocess
import sys
import textwrap

import pytest


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


def test_wide_filter_trees(tmp_path):
    """Tens of thousands of operands in one node (depth limits: test_filter_conversion.py)."""
    out = run_isolated("""
        db = zanth_vec.ZanthVec(path, num_shards=3)
        db.batch_index_insert([("k", i) for i in range(10)])
        wide = db.get_ids_from_filter((3, [(0, "k")] * 50_000 + [(4, (0, "k"))] * 1000))
        assert len(wide) == 0
        wide = db.get_ids_from_filter((2, [(0, "k"), (1, "a", "z")] * 20_000))
        assert sorted(wide.to_list()) == list(range(10))
        print("wide ok")
    """, tmp_path, timeout=300)
    assert out.strip() == "wide ok"


def test_index_keys_with_nul_bytes_and_surrogates(store):
    store.batch_index_insert([("a\x00b", 1), ("a", 2), ("\x00", 3), ("a|b", 4)])
    assert store.get_ids_from_filter((0, "a\x00b")).to_list() == [1]
    assert store.get_ids_from_filter((0, "a")).to_list() == [2]
    assert store.get_ids_from_filter((0, "\x00")).to_list() == [3]
    for bad in ("\ud800", "x\udfffy"):
        with pytest.raises(UnicodeEncodeError):
            store.get_ids_from_filter((0, bad))
        with pytest.raises(UnicodeEncodeError):
            store.get_ids_from_filter((1, "a", bad))


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
    """, tmp_path)
    assert out.strip() == "LMDB: MDB_INVALID: File is not an LMDB file"
