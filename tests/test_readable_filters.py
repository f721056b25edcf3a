"""zanth.filters: random expressions, parsed and built, select what a set model selects; the
builders are the plain tuple trees; parse errors point at their column."""

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import zanth_vec
from zanth.filters import (And, Exact, FilterSyntaxError, Not, Or, Range, as_filter, parse)

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


def test_builders_are_the_tuple_trees():
    built = And(Exact("a"), Not(Range("y:1", "y:2")), Or()) & (0, "b")
    assert built == (2, [(0, "a"), (4, (1, "y:1", "y:2")), (3, []), (0, "b")])
    assert (Exact("a") | Exact("b") | Exact("c")) == (3, [(0, "a"), (0, "b"), (0, "c")])
    assert parse("a or b and not c or d") == Or(Exact("a"), Exact("b") & ~Exact("c"), Exact("d"))
    assert repr(~Exact("a")) == "Not(Exact('a'))" and str(~Exact("a") & Exact("b")) == "not a and b"
    for bad, error in [(["a"], TypeError), ((9, "a"), ValueError), ((0, b"a"), TypeError),
                       ((2, ((0, "a"),)), TypeError), ((), IndexError), ((256,), OverflowError)]:
        with pytest.raises(error):
            as_filter(bad)


@pytest.mark.parametrize("text, column", [
    ("color:red and", 14), ("a b", 3), ("(a or b", 8), ("year:[2015, 2020]", 17),
    ("'open", 1), ("x:[a b)", 6), ("", 1), ("a and or b", 7), ("[a, b) )", 8), ("not", 4),
])
def test_parse_errors_point_at_the_column(text, column):
    with pytest.raises(FilterSyntaxError) as caught:
        parse(text)
    assert caught.value.column == column
    assert str(caught.value).splitlines()[-1] == "  " + " " * (column - 1) + "^"
