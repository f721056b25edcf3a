"""Filter tree conversion: the first malformed node, depth first and left to right, decides."""
import pytest


class Opcode:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class StrKey(str):
    pass


class TupleNode(tuple):
    pass


@pytest.fixture
def indexed(store):
    store.batch_index_insert([("a", 1), ("b", 2), ("c", 3), ("k", 4)])
    return store


@pytest.mark.parametrize(
    "tree, exc, message",
    [
        ([0, "k"], TypeError, None),
        ("k", TypeError, None),
        (None, TypeError, None),
        ((), IndexError, None),
        ((0,), IndexError, None),
        ((1, "a"), IndexError, None),
        ((2,), IndexError, None),
        ((4,), IndexError, None),
        ((1.0, "k"), TypeError, None),
        (("0", "k"), TypeError, None),
        ((-1, "k"), OverflowError, None),
        ((256, "k"), OverflowError, None),
        ((2**70, "k"), OverflowError, None),
        ((5, "k"), ValueError, "Invalid OpCode"),
        ((255,), ValueError, "Invalid OpCode"),  # opcode checked before the missing operand
        ((0, b"k"), TypeError, None),
        ((1, "a", b"z"), TypeError, None),
        ((1, 1, "z"), TypeError, None),
        ((2, ((0, "a"),)), TypeError, None),  # And operands as a tuple
        ((3, (0, "a")), TypeError, None),
        ((2, [(0, "a"), (9, "b"), [0, "c"]]), ValueError, "Invalid OpCode"),
        ((3, [(0, "a"), [0, "c"], (9, "b")]), TypeError, None),
        ((2, [(0, "a"), (4, (0,)), (9, "b")]), IndexError, None),
        ((4, (4, (7,))), ValueError, "Invalid OpCode"),
        ((4, [0, "k"]), TypeError, None),
    ],
)
def test_malformed_trees_raise_the_first_failure(indexed, tree, exc, message):
    with pytest.raises(exc) as info:
        indexed.get_ids_from_filter(tree)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize(
    "tree, expected",
    [
        ((0, "k", 99), [4]),  # items after the operands are ignored
        ((True, "a", "c"), [1, 2]),  # True is opcode 1 (Range)
        ((Opcode(0), StrKey("a")), [1]),
        (TupleNode((0, "b")), [2]),
        ((2, []), []),
        ((3, []), []),
        ((4, (4, (0, "k"))), [4]),
        ((3, [(0, "a"), (0, "c")], "ignored"), [1, 3]),
    ],
)
def test_valid_forms(indexed, tree, expected):
    result = indexed.get_ids_from_filter(tree)
    assert sorted(result.to_list()) == expected


def test_filter_tree_by_keyword_and_argument_errors(indexed):
    assert indexed.get_ids_from_filter(filter_tree=(0, "a")).to_list() == [1]
    with pytest.raises(TypeError):
        indexed.get_ids_from_filter()
    with pytest.raises(TypeError):
        indexed.get_ids_from_filter((0, "a"), (0, "b"))


def nested_not(depth_of_nots, leaf=(0, "k")):
    tree = leaf
    for _ in range(depth_of_nots):
        tree = (4, tree)
    return tree


def nested_and(levels):
    tree = (0, "k")
    for _ in range(levels - 1):
        tree = (2, [tree])
    return tree


def test_deep_trees_up_to_the_limit_evaluate(indexed):
    # 1024 levels: 1023 Not nodes around the leaf, an even count of them flips nothing back.
    odd = indexed.get_ids_from_filter(nested_not(1023))
    assert odd.to_list() == [4] and len(odd) == 1
    assert indexed.get_ids_from_filter(nested_and(1024)).to_list() == [4]
    mixed = (0, "k")
    for level in range(1023):
        mixed = (2, [mixed]) if level % 2 else (3, [(0, "a"), mixed])
    assert sorted(indexed.get_ids_from_filter(mixed).to_list()) == [1, 4]


@pytest.mark.parametrize("build", [lambda: nested_not(1024), lambda: nested_and(1025),
                                   lambda: nested_not(100_000)])
def test_too_deep_trees_are_refused(indexed, build):
    with pytest.raises(RecursionError, match="1024"):
        indexed.get_ids_from_filter(build())


def test_depth_error_comes_in_left_to_right_order(indexed):
    with pytest.raises(ValueError, match="Invalid OpCode"):
        indexed.get_ids_from_filter((3, [(9,), nested_not(100_000)]))
    with pytest.raises(RecursionError):
        indexed.get_ids_from_filter((3, [nested_not(100_000), (9,)]))


def test_index_changing_operand_list_does_not_crash(indexed):
    operand = [(0, "a"), (0, "b")]

    class Clearing:
        def __index__(self):
            operand.clear()
            return 0

    operand.insert(0, (Clearing(), "c"))
    assert sorted(indexed.get_ids_from_filter((3, operand)).to_list()) == [3]
