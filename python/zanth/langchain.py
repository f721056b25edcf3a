"""A LangChain vector store on a zanth store: `ZanthVectorStore`.

    from zanth.langchain import ZanthVectorStore
    store = ZanthVectorStore("docs-store", embeddings)
    store.add_documents(docs)
    store.similarity_search("red shoes", k=4,
                            filter={"color": "red", "year": {"$gte": 2015, "$lt": 2020}})

Needs the `langchain` extra (`pip install "zanth_vec[langchain]"`).

Layout in the store. Each document is one object record (its string id, text, metadata and
embedding) and one vector under the same int64 id. The int64 id comes from a hash of the
string id; when another document already holds it, the next free one is taken and the document
is filed under the index key "%moved". A string id is found by reading its hash and, when the
document there is another one, the few moved documents: two string ids never share a document. Metadata is indexed as "field:value" keys (strings, numbers, bools;
each element of a list value), and numbers also as "field#:<16 hex digits>", an encoding of
the float64 value whose byte order is numeric order, which is what range filters scan. Field
names have '%', ':', '#' and '|' escaped as %25, %3A, %23 and %7C. One record at a reserved id
keeps the dimension and the distance.

Filters: a dict in the operators LangChain users know ({"color": "red"}, $eq, $ne, $gt, $gte,
$lt, $lte, $in, $nin, $and, $or, $not), a `zanth.filters` tree, or an expression for
`zanth.filters.parse`. Range operators compare numbers only. `$ne` and `$nin` are complements:
they also match documents without the field. A string value also matches a number with the
same text ({"year": "2019"} finds year 2019).

Writes by several processes at once are not coordinated (two could take the same free int64
id); use one writing process. Within a process the store is thread-safe.
"""

from __future__ import annotations

import hashlib
import math
import struct
import threading
from collections.abc import Iterable, Sequence
from typing import Any, Literal

import numpy as np
from langchain_core.documents import Document
from langchain_core.embeddings import Embeddings
from langchain_core.vectorstores import VectorStore
from langchain_core.vectorstores.utils import maximal_marginal_relevance

import zanth_vec

from .filters import And, Exact, Filter, Not, Or, Range, as_filter, parse

__all__ = ["ZanthVectorStore"]

TOMBSTONE_ID = -(2**63)  # never a live vector
SETTINGS_ID = -(2**63) + 1  # the store's dimension and distance
RESERVED = {TOMBSTONE_ID, SETTINGS_ID}
MOVED_KEY = "%moved"  # files the documents that are not at the hash of their string id
MAX_KEY_BYTES = 502  # longest index key the store files


def _field(name: str) -> str:
    return (name.replace("%", "%25").replace(":", "%3A").replace("#", "%23")
            .replace("|", "%7C"))


def _number_text(value: float) -> str:
    """16 hex digits whose byte order is the numeric order of float64 values."""
    bits = struct.unpack(">Q", struct.pack(">d", float(value) + 0.0))[0]  # + 0.0: -0.0 is 0.0
    bits = bits ^ 0xFFFFFFFFFFFFFFFF if bits >> 63 else bits | 1 << 63
    return f"{bits:016x}"


def _after(text: str) -> str:
    """The encoding just above `text` (for > and <=); the namespace's end above the top."""
    bits = int(text, 16) + 1
    return f"{bits:016x}" if bits < 1 << 64 else "~"


def _is_number(value: object) -> bool:
    return isinstance(value, (int, float)) and not (isinstance(value, float) and math.isnan(value))


def _value_key(field: str, value: str) -> str:
    key = f"{field}:{value.replace('%', '%25').replace('|', '%7C')}"
    if len(key.encode()) > MAX_KEY_BYTES:
        key = f"{field}~:{hashlib.sha256(value.encode()).hexdigest()}"
    return key


def index_keys(metadata: dict[str, Any]) -> set[str]:
    """The index keys that file a document with this metadata."""
    keys: set[str] = set()
    for name, value in metadata.items():
        if not isinstance(name, str):
            continue
        field = _field(name)
        values = value if isinstance(value, (list, tuple, set, frozenset)) else [value]
        for v in values:
            if isinstance(v, str):
                keys.add(_value_key(field, v))
            elif _is_number(v) and math.isfinite(v):
                keys.add(_value_key(field, str(v)))
                keys.add(f"{field}#:{_number_text(v)}")
    return keys


def _equal(field: str, value: Any) -> Filter:
    if isinstance(value, str):
        return Exact(_value_key(field, value))
    if _is_number(value) and math.isfinite(value):
        return Exact(f"{field}#:{_number_text(value)}")
    raise ValueError(f"cannot filter on {value!r}: filter values are str, int, float or bool")


_BOUNDS = {"$gt", "$gte", "$lt", "$lte"}


def _condition(name: str, condition: Any) -> Filter:
    field = _field(name)
    if not isinstance(condition, dict):
        return _equal(field, condition)
    parts: list[Filter] = []
    low, high = f"{field}#:", f"{field}#;"  # the whole numeric namespace
    bounded = False
    for op, operand in condition.items():
        if op in _BOUNDS:
            if not (_is_number(operand) and math.isfinite(operand)):
                raise ValueError(f"{op} compares numbers, not {operand!r}")
            bounded = True
            text = _number_text(operand)
            if op in ("$gt", "$gte"):
                low = max(low, f"{field}#:{_after(text) if op == '$gt' else text}")
            else:
                high = min(high, f"{field}#:{text if op == '$lt' else _after(text)}")
        elif op == "$eq":
            parts.append(_equal(field, operand))
        elif op == "$ne":
            parts.append(Not(_equal(field, operand)))
        elif op in ("$in", "$nin"):
            if not isinstance(operand, (list, tuple, set)):
                raise ValueError(f"{op} takes a list, not {operand!r}")
            either = Or(*(_equal(field, v) for v in operand))
            parts.append(either if op == "$in" else Not(either))
        else:
            raise ValueError(f"unknown filter operator {op!r} for field {name!r}")
    if bounded:
        parts.append(Range(low, high))
    return parts[0] if len(parts) == 1 else And(*parts)


def translate_filter(spec: Any) -> Filter:
    """A filter tree for a LangChain-style filter dict, a filter tree or an expression."""
    if isinstance(spec, str):
        return parse(spec)
    if isinstance(spec, tuple):
        return as_filter(spec)
    if not isinstance(spec, dict):
        raise TypeError(f"a filter is a dict, a filter tree or a str, not {type(spec).__name__}")
    parts: list[Filter] = []
    for key, value in spec.items():
        if key in ("$and", "$or"):
            if not isinstance(value, list):
                raise ValueError(f"{key} takes a list of filters")
            children = [translate_filter(v) for v in value]
            parts.append(And(*children) if key == "$and" else Or(*children))
        elif key == "$not":
            parts.append(Not(translate_filter(value)))
        elif key.startswith("$"):
            raise ValueError(f"unknown filter operator {key!r}")
        else:
            parts.append(_condition(key, value))
    if not parts:
        raise ValueError("an empty filter")
    return parts[0] if len(parts) == 1 else And(*parts)


def _home(doc_id: str) -> int:
    digest = hashlib.blake2b(doc_id.encode("utf-8", "surrogatepass"), digest_size=8).digest()
    return int.from_bytes(digest, "little", signed=True)


def _next_id(ident: int) -> int:
    ident = ident + 1 if ident < 2**63 - 1 else -(2**63)
    while ident in RESERVED:
        ident += 1
    return ident


class ZanthVectorStore(VectorStore):
    """LangChain `VectorStore` on a zanth store under `base_path`.

    `distance="cosine"` (the default) stores unit-length embeddings and scores by cosine
    similarity; "inner_product" keeps them as they are and scores by inner product. Scores are
    similarities: higher is closer. Reopen with the same `num_shards`.
    """

    def __init__(self, base_path: str, embedding: Embeddings, num_shards: int = 5,
                 map_size: int = 200_000_000_000, *,
                 distance: Literal["cosine", "inner_product"] = "cosine") -> None:
        if distance not in ("cosine", "inner_product"):
            raise ValueError(f"distance is 'cosine' or 'inner_product', not {distance!r}")
        self.store = zanth_vec.ZanthVec(base_path, num_shards, map_size)
        self.embedding = embedding
        self._lock = threading.RLock()
        saved = self.store.get_data([SETTINGS_ID])[0]
        self.dim: int | None = saved["dim"] if saved else None
        self.distance: str = saved["distance"] if saved else distance
        if saved and saved["distance"] != distance:
            raise ValueError(f"{base_path} was made with distance={saved['distance']!r}")

    @property
    def embeddings(self) -> Embeddings:
        return self.embedding

    # ---- vectors -------------------------------------------------------------------------

    def _vectors(self, rows: Sequence[Sequence[float]]) -> Any:
        data: Any = np.asarray(rows, dtype=np.float32).reshape(len(rows), -1)
        if self.dim is None:
            self.dim = int(data.shape[1])
            self.store.store_data([{"dim": self.dim, "distance": self.distance}], [SETTINGS_ID])
        elif data.shape[1] != self.dim:
            raise ValueError(f"embeddings of dimension {data.shape[1]}; this store holds {self.dim}")
        if self.distance == "cosine":
            norms = np.linalg.norm(data, axis=1, keepdims=True)
            data = data / np.where(norms == 0, 1, norms)
        return np.ascontiguousarray(data, dtype=np.float32)

    # ---- ids -----------------------------------------------------------------------------

    def _records(self, doc_ids: Sequence[str]) -> tuple[dict[str, tuple[int, dict[str, Any]]],
                                                         set[str]]:
        """The int64 id and stored record of every string id that is present, and the absent
        string ids whose hash is free. A document sits at the hash of its string id unless
        that was taken when it was added; such moved documents are filed under MOVED_KEY,
        which collisions of 64-bit hashes keep nearly empty."""
        asked = list(dict.fromkeys(doc_ids))
        homes = [_home(d) for d in asked]
        found: dict[str, tuple[int, dict[str, Any]]] = {}
        free: set[str] = set()
        for d, ident, record in zip(asked, homes, self.store.get_data(homes)):
            if isinstance(record, dict) and record.get("id") == d:
                found[d] = (ident, record)
            elif record is None and ident not in RESERVED:
                free.add(d)
        if len(found) < len(asked):
            moved = self.store.get_ids_from_filter(Exact(MOVED_KEY)).to_list()
            for ident, record in zip(moved, self.store.get_data(moved)):
                if isinstance(record, dict) and record.get("id") in asked and \
                        record["id"] not in found:
                    found[record["id"]] = (ident, record)
                    free.discard(record["id"])
        return found, free

    def _allocate(self, doc_ids: list[str], free: set[str]) -> tuple[dict[str, int], list[int]]:
        """Int64 ids for new string ids: the hash where it is free, else the next id that
        nobody holds (those are returned as moved too)."""
        chosen: dict[str, int] = {}
        trying: dict[str, int] = {}
        taken: set[int] = set()
        for d in doc_ids:
            home = _home(d)
            if d in free and home not in taken:
                chosen[d] = home
                taken.add(home)
            else:
                trying[d] = _next_id(home)
        moved = []
        while trying:
            for d, ident in trying.items():
                while ident in RESERVED or ident in taken:
                    ident = _next_id(ident)
                trying[d] = ident
                taken.add(ident)
            retry = {}
            for (d, ident), held in zip(trying.items(), self.store.get_data(list(trying.values()))):
                if held is None:
                    chosen[d] = ident
                    moved.append(ident)
                else:
                    retry[d] = _next_id(ident)
            trying = retry
        return chosen, moved

    def _forget(self, present: dict[str, tuple[int, dict[str, Any]]], deleting: bool) -> None:
        """Removes the vectors and metadata entries of stored documents; when `deleting`, their
        moved entries too (a replaced document keeps its int64 id)."""
        if not present:
            return
        entries = []
        for ident, record in present.values():
            entries += [(k, ident) for k in index_keys(record["metadata"])]
            if deleting:
                entries.append((MOVED_KEY, ident))
        self.store.batch_index_delete(entries)
        if self.dim is not None:
            self.store.delete_flat_vectors([i for i, _ in present.values()], self.dim)

    # ---- VectorStore ---------------------------------------------------------------------

    def add_documents(self, documents: list[Document], **kwargs: Any) -> list[str]:
        """Adds documents; a document whose id is already stored is replaced. Ids come from
        `ids=`, else from each Document.id, else are made (uuid4)."""
        import uuid

        ids = kwargs.get("ids")
        if ids is not None and len(ids) != len(documents):
            raise ValueError(f"{len(ids)} ids for {len(documents)} documents")
        doc_ids = [str((ids[n] if ids is not None else None) or doc.id or uuid.uuid4())
                   for n, doc in enumerate(documents)]
        # The same id twice in one call: the last document wins, as two calls would have it.
        last = {d: n for n, d in enumerate(doc_ids)}
        order = sorted(last.values())
        if not order:
            return []
        embedded = self.embedding.embed_documents([documents[n].page_content for n in order])
        with self._lock:
            vectors = self._vectors(embedded)
            present, free = self._records([doc_ids[n] for n in order])
            self._forget(present, deleting=False)
            fresh, moved = self._allocate(
                [doc_ids[n] for n in order if doc_ids[n] not in present], free)
            idents = [present[doc_ids[n]][0] if doc_ids[n] in present else fresh[doc_ids[n]]
                      for n in order]
            records = [{"id": doc_ids[n], "text": documents[n].page_content,
                        "metadata": dict(documents[n].metadata), "vector": vectors[j].tobytes()}
                       for j, n in enumerate(order)]
            self.store.store_data(records, idents)
            self.store.store_flat_vectors(vectors, idents)
            entries = [(MOVED_KEY, i) for i in moved]
            entries += [(k, i) for r, i in zip(records, idents) for k in index_keys(r["metadata"])]
            self.store.batch_index_insert(entries)
        return doc_ids

    def add_texts(self, texts: Iterable[str], metadatas: list[dict[str, Any]] | None = None,
                  *, ids: list[str] | None = None, **kwargs: Any) -> list[str]:
        texts = list(texts)
        metadatas = metadatas or [{} for _ in texts]
        if len(metadatas) != len(texts):
            raise ValueError(f"{len(metadatas)} metadatas for {len(texts)} texts")
        docs = [Document(page_content=t, metadata=m) for t, m in zip(texts, metadatas)]
        return self.add_documents(docs, ids=ids)

    def delete(self, ids: list[str] | None = None, **kwargs: Any) -> bool | None:
        """Deletes the documents of `ids` (missing ones are ignored); `ids=None` deletes all."""
        with self._lock:
            if ids is None:
                present = self._everything()
            else:
                present, _ = self._records(list(ids))
            self._forget(present, deleting=True)
            self.store.delete_data([i for i, _ in present.values()])
        return True

    def get_by_ids(self, ids: Sequence[str], /) -> list[Document]:
        present, _ = self._records(list(ids))
        return [self._document(present[d][1]) for d in ids if d in present]

    def _everything(self) -> dict[str, tuple[int, dict[str, Any]]]:
        """Every document: each has exactly one live vector, so an unfiltered search for as
        many hits as there could be lists them all."""
        if self.dim is None:
            return {}
        hits = self.store.search_flat(np.zeros(self.dim, dtype=np.float32), k=2**62)
        idents = [i for _, i in hits]
        return {r["id"]: (i, r) for i, r in zip(idents, self.store.get_data(idents))
                if isinstance(r, dict) and "id" in r}

    @staticmethod
    def _document(record: dict[str, Any]) -> Document:
        return Document(id=record["id"], page_content=record["text"],
                        metadata=dict(record["metadata"]))

    def _search(self, embedding: Sequence[float], k: int, filter: Any,
                ) -> list[tuple[dict[str, Any], float]]:
        if self.dim is None or k <= 0:
            return []
        query = self._vectors([embedding])[0]
        unfiltered = filter is None or (isinstance(filter, dict) and not filter)  # {}: no filter
        id_set = None if unfiltered else self.store.get_ids_from_filter(translate_filter(filter))
        hits = self.store.search_flat(query, filter_obj=id_set, k=k)
        records = self.store.get_data([i for _, i in hits])
        return [(r, score) for (score, _), r in zip(hits, records) if r is not None]

    def similarity_search_by_vector_with_score(
            self, embedding: list[float], k: int = 4, filter: Any = None, **kwargs: Any,
    ) -> list[tuple[Document, float]]:
        return [(self._document(r), s) for r, s in self._search(embedding, k, filter)]

    def similarity_search_with_score(self, query: str, k: int = 4, filter: Any = None,
                                     **kwargs: Any) -> list[tuple[Document, float]]:
        """The k closest documents with their similarity (cosine or inner product)."""
        return self.similarity_search_by_vector_with_score(
            self.embedding.embed_query(query), k, filter)

    def similarity_search_by_vector(self, embedding: list[float], k: int = 4,
                                    filter: Any = None, **kwargs: Any) -> list[Document]:
        return [d for d, _ in self.similarity_search_by_vector_with_score(embedding, k, filter)]

    def similarity_search(self, query: str, k: int = 4, filter: Any = None,
                          **kwargs: Any) -> list[Document]:
        return [d for d, _ in self.similarity_search_with_score(query, k, filter)]

    def _select_relevance_score_fn(self) -> Any:
        if self.distance == "cosine":
            return lambda similarity: (1.0 + similarity) / 2.0
        return self._max_inner_product_relevance_score_fn

    def max_marginal_relevance_search_by_vector(
            self, embedding: list[float], k: int = 4, fetch_k: int = 20,
            lambda_mult: float = 0.5, filter: Any = None, **kwargs: Any) -> list[Document]:
        found = self._search(embedding, fetch_k, filter)
        if not found:
            return []
        query = self._vectors([embedding])[0]
        stored = [np.frombuffer(r["vector"], dtype=np.float32).tolist() for r, _ in found]
        chosen = maximal_marginal_relevance(query, stored, lambda_mult=lambda_mult, k=k)
        return [self._document(found[n][0]) for n in chosen]

    def max_marginal_relevance_search(self, query: str, k: int = 4, fetch_k: int = 20,
                                      lambda_mult: float = 0.5, filter: Any = None,
                                      **kwargs: Any) -> list[Document]:
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
