"""ZanthVectorStore under LangChain's own standard tests, unmodified, plus what they leave out:
deletion by filter and its refusals, metadata checked before anything is written, a single str
id, NumPy scalar metadata, typed dict and text filters, and reopening."""

import numpy as np
import pytest
from langchain_core.documents import Document
from langchain_tests.integration_tests import VectorStoreIntegrationTests

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


@pytest.fixture
def filled(tmp_path):
    store = ZanthVectorStore(str(tmp_path / "s"), TestStandard.get_embeddings(), num_shards=4,
                             map_size=1 << 26)
    store.add_texts([f"text {n}" for n in range(12)],
                    [{"color": COLORS[n % 3], "year": 2010 + n, "odd": n % 2 == 1} for n in range(12)],
                    ids=[f"d{n}" for n in range(12)])
    return store


def ids_of(docs):
    return sorted(d.id for d in docs)


def everything(store):
    return ids_of(store.similarity_search("q", k=100))


@pytest.mark.parametrize("call, deleted", [
    (lambda s: s.delete(filter={"color": "red"}), ["d0", "d3", "d6", "d9"]),
    (lambda s: s.delete(where="year >= 2019 and odd = true"), ["d9", "d11"]),
    (lambda s: s.delete(["d0", "d1"], filter={"color": "red"}), ["d0"]),
    (lambda s: s.delete(ids="d5"), ["d5"]),  # one id, not one per character
    (lambda s: s.delete(["d1", "missing"]), ["d1"]), ])
def test_delete_removes_exactly_the_matching_documents(filled, call, deleted):
    assert call(filled) is True
    assert everything(filled) == sorted(set(f"d{n}" for n in range(12)) - set(deleted))
    assert len(filled) == 12 - len(deleted)


@pytest.mark.parametrize("call, error, message", [
    (lambda s: s.delete(), ValueError, "needs ids or filter"),
    (lambda s: s.delete(filter={}), ValueError, "needs ids or filter"),  # {} is no filter
    (lambda s: s.delete(filter=""), ValueError, "end of the filter at column 1"),
    (lambda s: s.similarity_search("q", k="2"), TypeError, "k is an int >= 0, not '2'"),
    (lambda s: s.delete(color="red"), TypeError, "unexpected keyword"),
    (lambda s: s.delete(filter={"color": "red"}, where={"odd": True}), TypeError, "not both"),
    (lambda s: s.delete(filter={"color": {"$near": 1}}), ValueError, "unknown operator"),
    (lambda s: s.similarity_search("q", filtr={"odd": True}), TypeError, r"\['filtr'\]"),
    (lambda s: s.add_texts(["ok", "bad"], [{"n": 1}, {"n": 2**70}], ids=["new", "d1"]),
     ValueError, "beyond"),
    (lambda s: s.add_texts(["bad"], [{"f" * 600: 1}], ids=["d1"]), ValueError, "too long"),
    (lambda s: s.add_texts(["bad"], [{"nested": {"a": 1}}], ids=["d1"]), TypeError, "dict is not"),
    (lambda s: s.add_texts(["ok", "bad"], [{"n": 1}, {"a": {}}]), TypeError, "'a' of document 1 [(]given"),
    (lambda s: s.add_texts(["new"], metadata=[{"n": 1}], ids=["new"]), TypeError, r"\['metadata'\]"),
    (lambda s: s.similarity_search_by_vector([[1.0] * 6] * 2), ValueError, r"shape \(2, 6\)"),
    (lambda s: type(s)(s.collection.path, s.embedding, distance="l2"), ValueError, "not 'l2'"),
    (lambda s: s.add_texts(["x", "y"], ids={"x", "y"}), TypeError, "order is arbitrary"), ])
def test_refusals_change_nothing(filled, call, error, message):
    before = [(d.id, d.page_content, d.metadata) for d in filled.get_by_ids(
        [f"d{n}" for n in range(12)] + ["new"])]
    with pytest.raises(error, match=message):
        call(filled)
    after = [(d.id, d.page_content, d.metadata) for d in filled.get_by_ids(
        [f"d{n}" for n in range(12)] + ["new"])]
    assert after == before and len(filled) == 12
    filled.delete(["d1"])  # every document can still be deleted
    assert len(filled) == 11


def test_single_ids_numpy_metadata_typed_filters_and_reopen(tmp_path):
    path = str(tmp_path / "s")
    store = ZanthVectorStore(path, TestStandard.get_embeddings(), distance="inner_product")
    store.add_documents([Document("one", metadata={"n": np.int64(3), "x": np.float32(0.5),
                                                   "ok": np.bool_(True), "year": 2019}),
                         Document("two", metadata={"n": 4, "year": "2019"})], ids=["a", "b"])
    assert [d.id for d in store.get_by_ids("a")] == ["a"]
    meta = store.get_by_ids(["a"])[0].metadata
    assert meta == {"n": 3, "x": 0.5, "ok": True, "year": 2019}
    assert [type(meta[k]) for k in ("n", "x", "ok")] == [int, float, bool]
    for spec, want in [({"n": 3}, ["a"]), ({"n": {"$gte": 3.5}}, ["b"]), ("ok = true", ["a"]),
                       ({"x": {"$lt": 1}}, ["a"]), ({"year": 2019}, ["a"]),
                       ({"year": "2019"}, ["b"]), ("n in (3, 4) and not year = 2019", ["b"])]:
        assert ids_of(store.similarity_search("q", k=5, filter=spec)) == want, spec
        assert ids_of(store.max_marginal_relevance_search("q", k=5, where=spec)) == want, spec
    made = store.add_texts(list("5678"), ids=[5, None, None, ""])  # a str; none: a new one each
    assert [d.id for d in store.get_by_ids([5])] == ["5"] and len(store) == 6 == 2 + len(set(made))
    assert store.delete([5, *made[1:]]) and len(store) == 2
    assert store.add_texts("nine", {"n": 9}, ids="9") == ["9"] and len(store) == 3  # one text
    assert store.get_by_ids("9")[0].page_content == "nine" and store.delete(9) and len(store) == 2
    del store
    again = ZanthVectorStore(path, TestStandard.get_embeddings(), distance="inner_product")
    query = TestStandard.get_embeddings().embed_query("two")
    hits = again.similarity_search_with_score("two", k=2)
    stored = {d: np.asarray(TestStandard.get_embeddings().embed_query(t), np.float32)
              for d, t in (("a", "one"), ("b", "two"))}
    assert [(d.id, s) for d, s in hits] == sorted(
        [(d, pytest.approx(float(v @ np.float32(query)), rel=1e-5)) for d, v in stored.items()],
        key=lambda h: -h[1].expected) and len(again) == 2
    assert len(again.max_marginal_relevance_search("two", k=1, fetch_k=2)) == 1
    with pytest.raises(ValueError, match="metric='ip'"):
        ZanthVectorStore(path, TestStandard.get_embeddings())


@pytest.mark.parametrize("distance", ["cosine", "inner_product"])
def test_relevance_scores_rise_with_similarity_within_0_and_1(tmp_path, distance):
    store = ZanthVectorStore(str(tmp_path / "s"), TestStandard.get_embeddings(), distance=distance)
    store.add_texts([f"text {n}" for n in range(6)])
    scored = store.similarity_search_with_score("text 3", k=6)
    relevant = store.similarity_search_with_relevance_scores("text 3", k=6)
    assert [d.id for d, _ in relevant] == [d.id for d, _ in scored]
    values = [r for _, r in relevant]
    assert values == sorted(values, reverse=True) and values[-1] >= 0
    assert values[0] == pytest.approx(1.0)
