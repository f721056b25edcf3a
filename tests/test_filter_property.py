"""Random filter trees against a small Python evaluator over the same entries."""
import struct
import tempfile

from hypothesis import HealthCheck, given, settings, strategies as st

import zanth_vec

KEYS = ["c:red", "c:blue", "c:", "n:1", "n:15", "n:2", "n:20", "a", "a|b", "a|", "", "zz"]
BOUNDS = ["", "a", "a|", "b", "c:", "c:b", "c:r", "c:z", "n:", "n:1", "n:10", "n:2", "n:3", "zzz"]
IDS = st.integers(-3, 20) | st.sampled_from([-(2**63), 2**63 - 1])
PROBE = "__every_id__"  # sorts before every bound above, so no Range tree reaches it

leaves = st.one_of(
    st.builds(lambda k: (0, k), st.sampled_from(KEYS + ["missing", "c"])),
    st.builds(lambda s, e: (1, s, e), st.sampled_from(BOUNDS), st.sampled_from(BOUNDS)),
)
trees = st.recursive(
    leaves,
    lambda sub: st.one_of(
        st.builds(lambda cs: (2, cs), st.lists(sub, max_size=4)),
        st.builds(lambda cs: (3, cs), st.lists(sub, max_size=4)),
        st.builds(lambda c: (4, c), sub),
    ),
    max_leaves=12,
)


def record_key(key, ident):
    return key.encode() + b"|" + struct.pack("<q", ident)


def model(tree, entries, universe):
    """The ids of `universe` that `tree` accepts, from the definitions: exact key match; record
    keys within [start, end) that share start's namespace; boolean algebra on accepted sets."""
    op = tree[0]
    if op == 0:
        return {i for k, i in entries if k == tree[1]}
    if op == 1:
        start, end = tree[1].encode(), tree[2].encode()
        namespace = start[: start.index(b":") + 1] if b":" in start else b""
        if not start:
            return set()
        return {i for k, i in entries
                if start <= record_key(k, i) < end and record_key(k, i).startswith(namespace)}
    children = [model(c, entries, universe) for c in tree[1]] if op in (2, 3) else []
    if op == 2:
        return set.intersection(*children) if children else set()
    if op == 3:
        return set.union(*children) if children else set()
    return universe - model(tree[1], entries, universe)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    entries=st.lists(st.tuples(st.sampled_from(KEYS), IDS), max_size=40),
    deleted=st.lists(st.tuples(st.sampled_from(KEYS), IDS), max_size=10),
    tree=trees,
    num_shards=st.integers(1, 4),
)
def test_random_trees_match_the_model(entries, deleted, tree, num_shards):
    universe = set(range(-3, 21)) | {-(2**63), 2**63 - 1}
    stored = set(entries) - set(deleted)
    with tempfile.TemporaryDirectory() as path:
        store = zanth_vec.ZanthVec(path, num_shards=num_shards)
        store.batch_index_insert(entries + [(PROBE, i) for i in sorted(universe)])
        store.batch_index_delete(deleted)
        result = store.get_ids_from_filter(tree)
        listed = set(result.to_list())
        assert len(result) == len(listed)
        # And with the key holding every id turns either form into the ids it accepts.
        got = set(store.get_ids_from_filter((2, [tree, (0, PROBE)])).to_list())
        want = model(tree, stored, universe)
        assert got == want
        # The id set itself is one of the two forms of that answer.
        assert got in (listed & universe, universe - listed)
        del store
