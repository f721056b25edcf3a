"""A LangChain vector store on a `zanth.Collection`: `ZanthVectorStore`.

    from zanth.langchain import ZanthVectorStore
    store = ZanthVectorStore("docs-store", embeddings)
    store.add_documents(docs)
    store.similarity_search("red shoes", k=4,
                            filter={"color": "red", "year": {"$gte": 2015, "$lt": 2020}})

Needs the `langchain` extra (`pip install "zanth_vec[langchain]"`).

Each document is one document of the collection: its string id, its embedding, its metadata
(typed: str, int, float, bool, lists of them, None; NumPy scalars count as their Python types)
and its text. Filters are the collection's `where`: a dict ($eq $ne $gt $gte $lt $lte $in $nin
$and $or $not) or its text form (`year >= 2015 and color = "red"`). The collection keeps each
document whole through crashes and compacts deleted vectors by itself.

Stores written by the earlier layout of this module (before `Collection`) are refused with a
ValueError when opened: add their documents again into a new store.
"""

from __future__ import annotations

import uuid
from collections.abc import Iterable, Mapping, Sequence
from typing import Any, Literal

import numpy as np
from langchain_core.documents import Document
from langchain_core.embeddings import Embeddings
from langchain_core.vectorstores import VectorStore
from langchain_core.vectorstores.utils import maximal_marginal_relevance

from .collection import Collection, Hit, Record

__all__ = ["ZanthVectorStore"]

_METRICS = {"cosine": "cosine", "inner_product": "ip"}


def _one_or_many(ids: str | int | Sequence[str]) -> list[str]:
    """Ids as strs, as the documents were stored (`add_documents` makes every id a str); a
    single str (or int) is one id (never one id per character)."""
    if isinstance(ids, str):
        return [ids]
    if isinstance(ids, (int, np.integer)):
        return [str(ids)]
    if isinstance(ids, (bytes, bytearray, memoryview)):
        raise TypeError(f"ids are str, not {type(ids).__name__}")
    return [i if isinstance(i, str) or i is None else str(i) for i in ids]


def _filter_of(method: str, filter: Any, kwargs: dict[str, Any]) -> Any:
    """The filter of a search: `filter=`, or `where=` as the collection names it. Any other
    keyword raises TypeError, so a misspelt filter never passes for no filter."""
    if "where" in kwargs:
        if filter is not None:
            raise TypeError(f"{method}() takes filter= or where=, not both")
        filter = kwargs.pop("where")
    if kwargs:
        raise TypeError(f"{method}() got unexpected keyword arguments {sorted(kwargs)}")
    return filter


def _where(filter: Any) -> Any:
    """None for no filter (LangChain passes {} for none too), else the collection's where."""
    if filter is None or (isinstance(filter, dict) and not filter):
        return None
    if not isinstance(filter, (dict, str)):
        raise TypeError(f"a filter is a dict or a str, not {type(filter).__name__}")
    return filter


class ZanthVectorStore(VectorStore):
    """LangChain `VectorStore` on a `zanth.Collection` under `base_path`.

    `distance="cosine"` (the default) scores by cosine similarity; "inner_product" by inner
    product of the embeddings as given. Scores are similarities: higher is closer. A new store
    has `num_shards` shards (default 5); reopening finds them. Reopen with the same `distance`.
    """

    def __init__(self, base_path: str, embedding: Embeddings, num_shards: int | None = None,
                 map_size: int = 200_000_000_000, *,
                 distance: Literal["cosine", "inner_product"] = "cosine") -> None:
        if distance not in _METRICS:
            raise ValueError(f"distance is 'cosine' or 'inner_product', not {distance!r}")
        self.collection = Collection(base_path, metric=_METRICS[distance],
                                     num_shards=num_shards, map_size=map_size)
        self.embedding = embedding
        self.distance = distance

    @property
    def embeddings(self) -> Embeddings:
        return self.embedding

    def __len__(self) -> int:
        return self.collection.count()

    # ---- writing -------------------------------------------------------------------------

    def add_documents(self, documents: list[Document], **kwargs: Any) -> list[str]:
        """Adds documents; a document whose id is already stored is replaced whole. Ids come
        from `ids=`, else from each Document.id, else are made (uuid4). Every metadata value
        is checked before anything is written. Unknown keywords raise TypeError (a misspelt
        `metadatas` would otherwise store documents without their metadata); `batch_size`, which
        LangChain's indexing passes, is accepted: writes are chunked by the collection."""
        ids = kwargs.pop("ids", None)
        kwargs.pop("batch_size", None)
        if kwargs:
            raise TypeError(f"add_documents() got unexpected keyword arguments {sorted(kwargs)}")
        if ids is not None:
            if isinstance(ids, (set, frozenset)):
                raise TypeError("ids are a set, whose order is arbitrary: give them as a list, "
                                "so that they line up with the documents")
            ids = _one_or_many(ids)
            if len(ids) != len(documents):
                raise ValueError(f"{len(ids)} ids for {len(documents)} documents")
        # None or "" (LangChain's base class passes each Document.id): the document's own
        # id, else a new one.
        doc_ids = [(ids[n] if ids is not None else None) or doc.id or ""
                   for n, doc in enumerate(documents)]
        made: dict[str, int] = {}  # id made here -> position: errors name the position
        for n, doc_id in enumerate(doc_ids):
            if not doc_id:
                doc_ids[n] = str(uuid.uuid4())
                made[doc_ids[n]] = n
        # The same id twice in one call: the last document wins, as two calls would have it.
        order = sorted({d: n for n, d in enumerate(doc_ids)}.values())
        if not order:
            return []
        chosen = [documents[n] for n in order]
        embedded = self.embedding.embed_documents([doc.page_content for doc in chosen])
        try:
            self.collection.upsert([doc_ids[n] for n in order], np.asarray(embedded),
                                   [dict(doc.metadata) for doc in chosen],
                                   [doc.page_content for doc in chosen])
        except (TypeError, ValueError) as error:
            text = str(error)
            named = [doc_id for doc_id in made if repr(doc_id) in text]
            if type(error) not in (TypeError, ValueError) or not named:
                raise
            for doc_id in named:
                text = text.replace(repr(doc_id), f"document {made[doc_id]} (given no id)")
            raise type(error)(text) from error
        return doc_ids

    def add_texts(self, texts: Iterable[str], metadatas: list[dict[str, Any]] | None = None,
                  *, ids: list[str] | None = None, **kwargs: Any) -> list[str]:
        if isinstance(texts, str):  # one text, as a single id is one id
            texts = [texts]
        texts = list(texts)
        if isinstance(metadatas, Mapping):
            metadatas = [metadatas]
        metadatas = metadatas or [{} for _ in texts]
        if len(metadatas) != len(texts):
            raise ValueError(f"{len(metadatas)} metadatas for {len(texts)} texts")
        docs = [Document(page_content=t, metadata=m) for t, m in zip(texts, metadatas)]
        return self.add_documents(docs, ids=ids, **kwargs)

    def delete(self, ids: str | Sequence[str] | None = None, **kwargs: Any) -> bool | None:
        """Deletes the documents of `ids` (missing ones are ignored), or those matching
        `filter=` (also `where=`), or the ids among them that match. With neither it raises
        ValueError and deletes nothing: to empty the store, pass every id
        (`store.delete(store.collection.ids())`). Unknown keywords raise TypeError."""
        where = _filter_of("delete", kwargs.pop("filter", None), kwargs)
        where = None if where is None else _where(where)  # {} is no filter, as in searches
        if ids is None and where is None:
            raise ValueError("delete() needs ids or filter= (nothing was deleted)")
        self.collection.delete(None if ids is None else _one_or_many(ids), where=where)
        return True

    # ---- reading -------------------------------------------------------------------------

    def get_by_ids(self, ids: str | Sequence[str], /) -> list[Document]:
        return [self._document(r) for r in self.collection.get(_one_or_many(ids))]

    @staticmethod
    def _document(found: Record | Hit) -> Document:
        return Document(id=str(found.id), page_content=found.document or "",
                        metadata=dict(found.metadata))

    def _search(self, embedding: Sequence[float], k: int, filter: Any,
                include_vectors: bool = False) -> list[Hit]:
        query = np.asarray(embedding)
        if query.ndim != 1:  # a matrix would get one list of hits per row
            raise ValueError(f"one embedding is searched at a time, not an array of shape "
                             f"{query.shape}")
        if isinstance(k, (int, np.integer)) and not isinstance(k, bool) and k <= 0:
            return []  # any other k is the collection's to refuse
        hits = self.collection.query(query, k, where=_where(filter),
                                     include_vectors=include_vectors)
        return hits  # type: ignore[return-value]  # one query: one list of hits

    def similarity_search_by_vector_with_score(
            self, embedding: list[float], k: int = 4, filter: Any = None, **kwargs: Any,
    ) -> list[tuple[Document, float]]:
        filter = _filter_of("similarity_search_by_vector_with_score", filter, kwargs)
        return [(self._document(h), h.score) for h in self._search(embedding, k, filter)]

    def similarity_search_with_score(self, query: str, k: int = 4, filter: Any = None,
                                     **kwargs: Any) -> list[tuple[Document, float]]:
        """The k closest documents with their similarity (cosine or inner product); `filter`
        (or `where`) restricts them."""
        filter = _filter_of("similarity_search_with_score", filter, kwargs)
        return self.similarity_search_by_vector_with_score(
            self.embedding.embed_query(query), k, filter)

    def similarity_search_by_vector(self, embedding: list[float], k: int = 4,
                                    filter: Any = None, **kwargs: Any) -> list[Document]:
        filter = _filter_of("similarity_search_by_vector", filter, kwargs)
        return [d for d, _ in self.similarity_search_by_vector_with_score(embedding, k, filter)]

    def similarity_search(self, query: str, k: int = 4, filter: Any = None,
                          **kwargs: Any) -> list[Document]:
        filter = _filter_of("similarity_search", filter, kwargs)
        return [d for d, _ in self.similarity_search_with_score(query, k, filter)]

    def _select_relevance_score_fn(self) -> Any:
        """Scores are similarities (higher is closer), so relevance rises with them:
        (1 + similarity) / 2, which maps cosine's [-1, 1] onto [0, 1], clipped to [0, 1] for
        inner products, which are not bounded (for unit-length embeddings it is cosine's).
        LangChain's own inner-product function expects a distance and would invert the order."""
        return lambda similarity: min(1.0, max(0.0, (1.0 + similarity) / 2.0))

    def max_marginal_relevance_search_by_vector(
            self, embedding: list[float], k: int = 4, fetch_k: int = 20,
            lambda_mult: float = 0.5, filter: Any = None, **kwargs: Any) -> list[Document]:
        filter = _filter_of("max_marginal_relevance_search_by_vector", filter, kwargs)
        found = self._search(embedding, fetch_k, filter, include_vectors=True)
        if not found:
            return []
        stored = [h.vector.tolist() for h in found if h.vector is not None]
        chosen = maximal_marginal_relevance(np.asarray(embedding, dtype=np.float32), stored,
                                            lambda_mult=lambda_mult, k=k)
        return [self._document(found[n]) for n in chosen]

    def max_marginal_relevance_search(self, query: str, k: int = 4, fetch_k: int = 20,
                                      lambda_mult: float = 0.5, filter: Any = None,
                                      **kwargs: Any) -> list[Document]:
        filter = _filter_of("max_marginal_relevance_search", filter, kwargs)
        return self.max_marginal_relevance_search_by_vector(
            self.embedding.embed_query(query), k, fetch_k, lambda_mult, filter)

    @classmethod
    def from_texts(cls, texts: list[str], embedding: Embeddings,
                   metadatas: list[dict[str, Any]] | None = None, *,
                   ids: list[str] | None = None, **kwargs: Any) -> ZanthVectorStore:
        """`base_path=` is required; other keywords go to the constructor."""
        if "base_path" not in kwargs:
            raise TypeError("from_texts() needs base_path=")
        store = cls(embedding=embedding, **kwargs)
        store.add_texts(texts, metadatas, ids=ids)
        return store
