"""ZanthVectorStore under LangChain's own standard tests, unmodified, plus what they leave out:
metadata filters against a Python model, and string ids whose hashes collide."""

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st
from langchain_tests.integration_tests import VectorStoreIntegrationTests

import zanth.langchain as zl
from zanth.langchain import ZanthVectorStore


# The suite's async tests are bare `async def`s: run them on pytest-asyncio. The mark reaches the
# sync tests too, where pytest-asyncio only warns.
@pytest.mark.asyncio
@pytest.mark.filterwarnings("ignore:.*marked with '@pytest.mark.asyncio' but it is not an async")
class TestStandard(VectorStoreIntegrationTests):
    @pytest.fixture()
    def vectorstore(self, tmp_path):
        yield ZanthVectorStore(str(tmp_path / "lc"), self.get_embeddings(), num_shards=3,
                               map_size=1 << 26)


COLORS = ["red", "blue", "green"]
DOCS = [
    ("d%d" % n, {"color": COLORS[n % 3], "year": 2010 + n % 12, "price": (n * 7 % 13) / 2,
                 "tags": ["a", "b"][: n % 3], "odd": n % 2 == 1})
    for n in range(30)
]


def _eq(value, want):
    values = value if isinstance(value, list) else [value]
    if isinstance(want, str):
        return any(v == want or (not isinstance(v, str) and str(v) == want) for v in values)
    return any(not isinstance(v, str) and v == want for v in values)


def matches(meta, spec):
    """The filter's meaning, evaluated on the metadata dicts."""
    out = True
    for key, cond in spec.items():
        if key in ("$and", "$or"):
            got = [matches(meta, c) for c in cond]
            out &= all(got) if key == "$and" else any(got)
        elif key == "$not":
            out &= not matches(meta, cond)
        elif not isinstance(cond, dict):
            out &= key in meta and _eq(meta[key], cond)
        else:
            v = meta.get(key)
            num = isinstance(v, (int, float)) and not isinstance(v, str)
            for op, x in cond.items():
                out &= {
                    "$eq": lambda: key in meta and _eq(v, x),
                    "$ne": lambda: not (key in meta and _eq(v, x)),
                    "$in": lambda: key in meta and any(_eq(v, y) for y in x),
                    "$nin": lambda: not (key in meta and any(_eq(v, y) for y in x)),
                    "$gt": lambda: num and v > x, "$gte": lambda: num and v >= x,
                    "$lt": lambda: num and v < x, "$lte": lambda: num and v <= x,
                }[op]()
    return out


values = st.sampled_from(COLORS + ["a", "b", "2015", 2015, 3.5, 0, True])
numbers = st.sampled_from([2009, 2012, 2015.5, 2021, 0, 1, 3.5, -1.0])
fields = st.sampled_from(["color", "year", "price", "tags", "odd", "missing"])
conditions = values | st.dictionaries(
    st.sampled_from(["$eq", "$ne"]), values, min_size=1, max_size=1) | st.dictionaries(
    st.sampled_from(["$in", "$nin"]), st.lists(values, max_size=3), min_size=1, max_size=1
) | st.dictionaries(st.sampled_from(["$gt", "$gte", "$lt", "$lte"]), numbers, min_size=1)
specs = st.recursive(
    st.dictionaries(fields, conditions, min_size=1, max_size=2),
    lambda sub: st.builds(lambda op, cs: {op: cs}, st.sampled_from(["$and", "$or"]),
                          st.lists(sub, min_size=1, max_size=3))
    | st.builds(lambda c: {"$not": c}, sub),
    max_leaves=5,
)


@pytest.fixture(scope="module")
def filled(tmp_path_factory):
    store = ZanthVectorStore(str(tmp_path_factory.mktemp("lc") / "s"),
                             TestStandard.get_embeddings(), num_shards=4, map_size=1 << 26)
    store.add_texts([f"text {d}" for d, _ in DOCS], [m for _, m in DOCS],
                    ids=[d for d, _ in DOCS])
    return store


@settings(max_examples=150, deadline=None, suppress_health_check=list(HealthCheck))
@given(spec=specs)
def test_filters_select_what_the_metadata_model_selects(filled, spec):
    found = {d.id for d in filled.similarity_search("q", k=100, filter=spec)}
    assert found == {d for d, meta in DOCS if matches(meta, spec)}, spec


def test_colliding_ids_stay_apart_across_replace_delete_and_reopen(tmp_path, monkeypatch):
    monkeypatch.setattr(zl, "_home", lambda doc_id: 2**63 - 2)  # every id hashes alike
    path = str(tmp_path / "s")
    store = ZanthVectorStore(path, TestStandard.get_embeddings(), num_shards=2, map_size=1 << 26)
    store.add_texts(["one", "two", "three", "four"], [{"n": i} for i in range(4)],
                    ids=["1", "2", "3", "4"])
    store.delete(["2"])
    store.add_texts(["THREE", "five"], [{"n": 30}, {"n": 5}], ids=["3", "5"])
    del store
    again = ZanthVectorStore(path, TestStandard.get_embeddings(), num_shards=2)
    got = again.get_by_ids(["1", "2", "3", "4", "5"])
    assert [(d.id, d.page_content, d.metadata) for d in got] == [
        ("1", "one", {"n": 0}), ("3", "THREE", {"n": 30}), ("4", "four", {"n": 3}),
        ("5", "five", {"n": 5})]
    hits = again.similarity_search_with_score("THREE", k=10)
    assert sorted(d.id for d, _ in hits) == ["1", "3", "4", "5"]
    assert hits[0][0].id == "3" and hits[0][1] == pytest.approx(1.0, abs=1e-6)
    text_filter = 'n#:["", ~) and not n:30'  # zanth.filters text over the same index keys
    assert sorted(d.id for d in again.similarity_search("x", k=9, filter=text_filter)) == [
        "1", "4", "5"]
    mmr = again.max_marginal_relevance_search("THREE", k=2, fetch_k=4)
    assert mmr[0].id == "3" and len({d.id for d in mmr}) == 2
    again.delete()
    assert again.similarity_search("x", k=10) == [] and again.get_by_ids(["1", "5"]) == []
