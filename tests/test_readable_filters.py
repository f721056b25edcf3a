"""zanth.filters: random expressions, parsed and built, select what a set model selects; the
builders are the plain tuple trees; parse errors point at their column."""

import copy
import pickle
from functools import reduce

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import zanth_vec
from zanth.filters import (MAX_DEPTH, And, Exact, Filter, FilterSyntaxError, Not, Or, Range,
                           _postorder,
                           as_filter, parse)

KEYS = ["color:red", "color:blue", "and", "a b", "x(y)", "", 'q"t', "Not", "n:03"]
IDS = range(12)
ALL = "u:all"  # every id has it: And(ALL, tree) makes the result a plain set


def word(draw_quote, key):
    if draw_quote == 0 and key and key.lower() not in ("and", "or", "not") and all(
            c not in key for c in " ()[],'\""):
        return key
    q = "'" if draw_quote == 2 else '"'
    return q + key.replace("\\", "\\\\").replace(q, "\\" + q) + q


@st.composite
def expressions(draw, depth=0):
    """(text, builder tree, model function of the entries) for a random expression."""
    kind = draw(st.sampled_from(["key", "range"] + (["not", "and", "or"] if depth < 4 else [])))
    quote = draw(st.integers(0, 2))
    if kind == "key":
        key = draw(st.sampled_from(KEYS))
        return word(quote, key), Exact(key), lambda e: {i for k, i in e if k == key}
    if kind == "range":
        lo, hi = draw(st.integers(0, 9)), draw(st.integers(0, 9))
        text = f"n:[{lo:02d}, {hi:02d})" if quote else f'["n:{lo:02d}" , n:{hi:02d} )'
        return text, Range(f"n:{lo:02d}", f"n:{hi:02d}"), lambda e: {
            i for k, i in e if k.startswith("n:") and lo <= int(k[2:]) < hi}
    op = draw(st.sampled_from(["not", "NOT", "Not"]))
    if kind == "not":
        text, tree, sub = draw(expressions(depth + 1))
        return f"{op} ({text})", Not(tree), lambda e: set(IDS) - sub(e)
    (t1, a, f1), (t2, b, f2) = draw(expressions(depth + 1)), draw(expressions(depth + 1))
    joiner = kind if quote else kind.upper()
    tree = (a & b) if kind == "and" else (a | b)
    model = (lambda e: f1(e) & f2(e)) if kind == "and" else (lambda e: f1(e) | f2(e))
    return f"({t1}) {joiner}\t({t2})", tree, model


@pytest.fixture(scope="module")
def shared_store(tmp_path_factory):
    return zanth_vec.ZanthVec(str(tmp_path_factory.mktemp("f") / "s"), 3, 1 << 24)


@settings(max_examples=200, deadline=None, suppress_health_check=list(HealthCheck))
@given(expr=expressions(),
       entries=st.lists(st.tuples(st.sampled_from(KEYS + [f"n:{v:02d}" for v in range(10)]),
                                  st.sampled_from(IDS)), max_size=30))
def test_parsed_and_built_trees_select_the_model_ids(shared_store, expr, entries):
    text, built, model = expr
    parsed = parse(text)
    assert parsed == built and tuple(built) == as_filter(tuple(built)), text
    rendered = parse(str(built))  # the text form reads back as the same tree
    everything = [(ALL, i) for i in IDS]
    shared_store.batch_index_insert(everything + entries)
    try:
        want = model(entries)
        for tree in (parsed, rendered, as_filter(eval(repr(built)))):
            got = shared_store.get_ids_from_filter(Exact(ALL) & tree).to_list()
            assert sorted(got) == sorted(want), (text, tree)
    finally:
        shared_store.batch_index_delete(everything + entries)


def test_builders_are_the_tuple_trees(shared_store):
    built = And(Exact("a"), Not(Range("y:1", "y:2")), Or()) & (0, "b")
    assert built == (2, [(0, "a"), (4, (1, "y:1", "y:2")), (3, []), (0, "b")])
    assert (Exact("a") | Exact("b") | Exact("c")) == (3, [(0, "a"), (0, "b"), (0, "c")])
    assert parse("a or b and not c or d") == Or(Exact("a"), Exact("b") & ~Exact("c"), Exact("d"))
    assert repr(~Exact("a")) == "Not(Exact('a'))" and str(~Exact("a") & Exact("b")) == "not a and b"
    for bad, error in [(["a"], TypeError), ((9, "a"), ValueError), ((0, b"a"), TypeError),
                       ((2, ((0, "a"),)), TypeError), ((), IndexError), ((256,), OverflowError),
                       ((1, ["a"]), TypeError), ((2, [(0, "a"), (1, "b")]), IndexError),
                       ((2, [(0, "a"), (1, "\ud800", 5)]), UnicodeEncodeError),  # start first
                       ((3, [(1, "a", "b\udfff"), (9,)]), UnicodeEncodeError)]:
        for convert in (as_filter, shared_store.get_ids_from_filter):  # the same first error
            with pytest.raises(error):
                convert(bad)
    for concatenation in (lambda f: f + f, lambda f: (0, "b") + f, lambda f: f * 2,
                          lambda f: 2 * f):  # a tuple the store would read as Exact("a")
        with pytest.raises(TypeError, match="combine with &"):
            concatenation(Exact("a"))


@pytest.mark.parametrize("text, column", [
    ("color:red and", 14), ("a b", 3), ("(a or b", 8), ("year:[2015, 2020]", 17),
    ("'open", 1), ("x and 'ends in \\", 7), ("x:[a b)", 6), ("", 1), ("a and or b", 7),
    ("[a, b) )", 8), ("not", 4), ('"C:\\new"', 4), ])
def test_parse_errors_point_at_the_column(text, column):
    with pytest.raises(FilterSyntaxError) as caught:
        parse(text)
    assert caught.value.column == column
    assert str(caught.value).splitlines()[-1] == "  " + " " * (column - 1) + "^"
    copied = pickle.loads(pickle.dumps(caught.value))
    assert (str(copied), copied.column, copied.text) == (str(caught.value), column, text)


@st.composite
def trees(draw, depth=0):
    """(builder tree, the plain tuple it stands for) built the ways a caller builds them:
    constructors, operators, plain operands, empty and nested groups."""
    kind = draw(st.sampled_from(["key", "range"] + (["not", "and", "or"] if depth < 4 else [])))
    if kind == "key":
        key = draw(st.sampled_from(KEYS[:3]))
        return Exact(key), (0, key)
    if kind == "range":
        lo, hi = sorted(draw(st.lists(st.integers(0, 9), min_size=2, max_size=2)))
        return Range(f"n:{lo:02d}", f"n:{hi:02d}"), (1, f"n:{lo:02d}", f"n:{hi:02d}")
    if kind == "not":
        built, plain = draw(trees(depth + 1))
        return (~built if draw(st.booleans()) else Not(plain)), (4, plain)
    parts = draw(st.lists(trees(depth + 1), max_size=3))
    opcode, group = (2, And) if kind == "and" else (3, Or)
    operands = [plain if draw(st.booleans()) else built for built, plain in parts]
    if len(parts) == 2 and any(isinstance(o, Filter) for o in operands) and draw(st.booleans()):
        built = operands[0] & operands[1] if kind == "and" else operands[0] | operands[1]
    else:
        built = group(*operands)
    return built, (opcode, [plain for _, plain in parts])


@pytest.fixture(scope="module")
def indexed_store(tmp_path_factory):
    store = zanth_vec.ZanthVec(str(tmp_path_factory.mktemp("t") / "s"), 3, 1 << 24)
    rng = __import__("random").Random(7)
    keys = KEYS[:3] + [f"n:{v:02d}" for v in range(10)]
    store.batch_index_insert([(ALL, i) for i in IDS] +
                             [(rng.choice(keys), rng.choice(IDS)) for _ in range(40)])
    return store


@settings(max_examples=300, deadline=None, suppress_health_check=list(HealthCheck))
@given(pair=trees())
def test_builders_copies_and_pickles_mean_their_plain_tree(indexed_store, pair):
    built, plain = pair
    twins = [copy.copy(built), copy.deepcopy(built), as_filter(built), eval(repr(built))]
    twins += [pickle.loads(pickle.dumps(built, protocol)) for protocol in (0, 2, 5)]
    for twin in twins:  # node for node, builder classes included
        assert twin == built and list(map(type, _postorder(twin))) == \
            list(map(type, _postorder(built))), (twin, built)

    def accepted(tree):  # the ids the tree accepts among IDS, whatever its complement flag
        return sorted(indexed_store.get_ids_from_filter((2, [(0, ALL), tree])).to_list())

    want = accepted(plain)
    for form in (built, built.plain(), as_filter(plain)):
        assert accepted(form) == want, (form, plain)


@pytest.mark.parametrize("built, plain", [
    (Exact("a") & And(), (2, [(0, "a"), (2, [])])),                 # selects nothing
    (And(Exact("a"), And(), Exact("b")), (2, [(0, "a"), (2, []), (0, "b")])),
    (Exact("a") | Or(), (3, [(0, "a"), (3, [])])),
    (And(Exact("a"), (2, [(0, "b"), (0, "c")])), (2, [(0, "a"), (0, "b"), (0, "c")])),
    (And(Exact("a"), (2, [])), (2, [(0, "a"), (2, [])])),
    (And(Exact("a"), (3, [(0, "b")])), (2, [(0, "a"), (3, [(0, "b")])])),
    (~~Exact("a"), (4, (4, (0, "a")))), ])
def test_builders_keep_every_operand_that_matters(built, plain):
    assert built == plain and as_filter(plain) == plain


def test_dict_filters_never_drop_an_empty_group():
    from zanth.where import read_where

    # An empty group selects nothing in a tree; a dict filter refuses it rather than splice it away.
    for where in ({"$and": [{"$or": [{"$and": []}]}, {"a": 1}]}, {"$or": [{"a": 1}, {"$and": []}]}):
        with pytest.raises(ValueError, match="non-empty list"):
            read_where(where)


def test_deep_trees_parse_render_copy_and_refuse_like_the_store(indexed_store):
    deepest = parse("not " * (MAX_DEPTH - 1) + "color:red")  # as deep as the store takes
    red = set(indexed_store.get_ids_from_filter(Exact("color:red")).to_list())
    assert set(indexed_store.get_ids_from_filter(deepest).to_list()) == red  # negated
    within = Exact(ALL) & deepest[1]  # one not fewer, under an And: as deep again
    assert set(indexed_store.get_ids_from_filter(within).to_list()) == red
    for twin in (pickle.loads(pickle.dumps(deepest)), copy.deepcopy(deepest),
                 parse(str(deepest)), as_filter(deepest.plain())):
        assert str(twin) == str(deepest) and repr(twin) == repr(deepest)
    assert parse("(" * 5000 + "a" + ")" * 5000) == Exact("a")
    too_deep = ("not " * MAX_DEPTH + "a", 1), ("(a and not " * 600 + "b" + ")" * 600, 0)
    for text, column in too_deep:
        with pytest.raises(FilterSyntaxError, match=f"deeper than {MAX_DEPTH} levels") as caught:
            parse(text)
        assert caught.value.column >= column
        with pytest.raises(RecursionError):  # the store refuses what parse refuses
            indexed_store.get_ids_from_filter(reduce(lambda t, _: (4, t), range(MAX_DEPTH),
                                                     (0, "a")))
    for broken in ("(" * 400 + "a", "not " * 1000, "(" * 400 + ")", "a" + " and (" * 700):
        with pytest.raises(FilterSyntaxError):
            parse(broken)
    plain = reduce(lambda t, _: (2, [t]), range(MAX_DEPTH), (0, "a"))  # depth MAX_DEPTH + 1
    for convert in (as_filter, indexed_store.get_ids_from_filter):
        for tree in (plain, (4, deepest), (2, [(0, "a"), Exact("b") & deepest, (9,)])):
            with pytest.raises(RecursionError):  # builders within plain trees count their levels
                convert(tree)
    assert str(as_filter(plain[1][0])) == "a"
