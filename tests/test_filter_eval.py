"""get_ids_from_filter: each evaluation rule, the complement-flag algebra, Range bounds."""
import pytest

import zanth_vec

UNIVERSE = set(range(1, 13))


@pytest.fixture
def db(open_store):
    store = open_store(num_shards=4)
    store.batch_index_insert(
        [("all", i) for i in sorted(UNIVERSE)]
        + [("A", i) for i in (1, 2, 3, 4)]
        + [("B", i) for i in (3, 4, 5, 6)]
        + [("C", i) for i in (7, 8)]
        + [("color:red", i) for i in (1, 2, 9)]
        + [("size:xl", i) for i in (2, 3, 4)]
    )
    return store


def ids(store, tree):
    result = store.get_ids_from_filter(tree)
    listed = result.to_list()
    assert len(result) == len(listed) == len(set(listed))
    return set(listed)


def accepted(store, tree):
    """The ids of UNIVERSE that `tree` accepts, whatever form its id set takes: an And with the
    key that holds every id turns a complement-form set into the ids it accepts."""
    return ids(store, (2, [tree, (0, "all")]))


def check(store, tree, expected_ids, negated):
    assert ids(store, tree) == set(expected_ids)
    want = UNIVERSE - set(expected_ids) if negated else set(expected_ids) & UNIVERSE
    assert accepted(store, tree) == want


A, B, C = (0, "A"), (0, "B"), (0, "C")
MISSING = (0, "missing")


def test_leaves_and_not(db):
    check(db, A, {1, 2, 3, 4}, False)
    check(db, MISSING, set(), False)
    check(db, (4, A), {1, 2, 3, 4}, True)
    check(db, (4, (4, A)), {1, 2, 3, 4}, False)
    check(db, (4, MISSING), set(), True)  # every id


def test_and_rules(db):
    check(db, (2, []), set(), False)
    check(db, (2, [A]), {1, 2, 3, 4}, False)
    check(db, (2, [(4, A)]), {1, 2, 3, 4}, True)
    check(db, (2, [A, B]), {3, 4}, False)
    check(db, (2, [A, (4, B)]), {1, 2}, False)
    check(db, (2, [(4, A), B]), {5, 6}, False)
    check(db, (2, [(4, A), (4, B)]), {1, 2, 3, 4, 5, 6}, True)
    check(db, (2, [(4, A), (4, B), C]), {7, 8}, False)
    # An empty plain intermediate result ends the combination: later complements add nothing.
    check(db, (2, [A, C, (4, B)]), set(), False)
    check(db, (2, [MISSING, (4, A), (4, B)]), set(), False)


def test_or_rules_follow_de_morgan(db):
    check(db, (3, []), set(), False)
    check(db, (3, [A]), {1, 2, 3, 4}, False)
    check(db, (3, [A, B, C]), {1, 2, 3, 4, 5, 6, 7, 8}, False)
    check(db, (3, [(4, A)]), {1, 2, 3, 4}, True)
    # "red or not xl": every id except the xl ones that are not red.
    check(db, (3, [(0, "color:red"), (4, (0, "size:xl"))]), {3, 4}, True)
    check(db, (3, [(4, A), (4, B)]), {3, 4}, True)
    check(db, (3, [A, (4, B)]), {5, 6}, True)
    check(db, (3, [A, B, (4, B)]), set(), True)
    check(db, (3, [(4, A), (4, C)]), set(), True)
    check(db, (3, [C, (4, A), (4, B), (4, (0, "size:xl"))]), {3, 4}, True)


def test_nested_combinations(db):
    tree = (2, [(3, [A, C]), (4, (2, [B, (0, "size:xl")]))])
    check(db, tree, {1, 2, 7, 8}, False)
    check(db, (4, tree), {1, 2, 7, 8}, True)


def test_exact_takes_only_its_own_records(open_store):
    store = open_store(num_shards=1)  # every key in one shard, so the scans meet each other
    store.batch_index_insert([("red", 1), ("reddish", 2), ("a", 10), ("a|b", 20), ("a|", 30),
                              ("a||", 40), ("", 50), ("|", 60)])
    store.store_data(["object"], [124])  # its 8-byte key begins with "|"
    assert ids(store, (0, "red")) == {1}
    assert ids(store, (0, "a")) == {10}
    assert ids(store, (0, "a|")) == {30}
    assert ids(store, (0, "a|b")) == {20}
    assert ids(store, (0, "")) == {50}
    assert ids(store, (0, "|")) == {60}
    assert ids(store, (0, "re")) == set()


def test_extreme_ids_round_trip(open_store):
    store = open_store(num_shards=3)
    extremes = [-(2**63), 2**63 - 1, -1, 0]
    store.batch_index_insert([("edge", i) for i in extremes])
    assert sorted(store.get_ids_from_filter((0, "edge")).to_list()) == sorted(extremes)
    assert sorted(store.get_ids_from_filter((1, "edge", "edgf")).to_list()) == sorted(extremes)


# --- Range ----------------------------------------------------------------------------------


@pytest.fixture
def ages(open_store):
    store = open_store(num_shards=3)
    store.batch_index_insert([("age:1", 1), ("age:15", 15), ("age:2", 2), ("age:20", 20),
                              ("age:3", 3), ("agf", 99), ("color:b", 5), ("colorz", 6),
                              ("color:x", 7), ("b:", 8)])
    return store


@pytest.mark.parametrize(
    "start, end, expected",
    [
        # Bounds compare whole record keys: "age:1|..." sorts after "age:10", "age:2|..." after
        # "age:20".
        ("age:10", "age:20", {1, 15}),
        ("age:", "age:~", {1, 15, 2, 20, 3}),
        ("age:2", "age:3", {2, 20}),
        ("age:3", "age:2", set()),
        ("age:1", "age:1", set()),
        ("age:1", "", set()),
        ("", "zzz", set()),  # LMDB cannot position at an empty key
        ("age:", "zzz", {1, 15, 2, 20, 3}),  # stops at the namespace's end, not at "agf"
        ("color:a", "zzz", {5, 7}),  # "colorz" is past the namespace "color:"
        ("colo", "colp", {5, 6, 7}),  # no ":" in start, no namespace
        ("age", "agf|", {1, 15, 2, 20, 3}),
        ("age", "agg", {1, 15, 2, 20, 3, 99}),
        ("nothing:", "nothing:z", set()),
    ],
)
def test_range_bounds_and_namespace(ages, start, end, expected):
    assert ids(ages, (1, start, end)) == expected


def test_range_skips_short_keys_and_lists_each_id_once(open_store):
    store = open_store(num_shards=2)
    # Object keys are 8 bytes; these ids give keys starting with "b", within ["a", "zzz").
    store.store_data(["x", "y"], [0x62, 0x6363])
    store.batch_index_insert([("tag:a", 7), ("tag:b", 7), ("tag:c", 7), ("tag:d", 8)])
    assert ids(store, (1, "a", "zzz")) == {7, 8}
    assert ids(store, (1, "tag:", "tag:d")) == {7}


# --- ZanthIterator --------------------------------------------------------------------------


def test_id_set_object_surface(db):
    """The class itself (final, not constructible, its method table): test_module_surface.py."""
    result = db.get_ids_from_filter((4, (0, "B")))
    assert type(result) is zanth_vec.ZanthIterator
    assert len(result) == 4 and sorted(result.to_list()) == [3, 4, 5, 6]
    assert result.to_list() is not result.to_list()
    with pytest.raises(TypeError):
        iter(result)
    with pytest.raises(TypeError):
        zanth_vec.ZanthIterator.to_list(db)
    with pytest.raises(TypeError):
        result.to_list(1)
    assert not hasattr(result, "__dict__")


def test_id_set_outlives_its_store(open_store):
    store = open_store(num_shards=2)
    store.batch_index_insert([("k", i) for i in range(1000)])
    result = store.get_ids_from_filter((0, "k"))
    del store
    assert sorted(result.to_list()) == list(range(1000)) and len(result) == 1000
