"""Embedded, persistent store on LMDB: pickled objects by 64-bit id, float32 vectors with
exact inner-product top-k search, and an inverted metadata index queried with filter trees."""

from collections.abc import Sequence
from typing import Any, Literal, TypeAlias, final

import numpy as np
from numpy.typing import NDArray

__all__ = ["ZanthVec", "ZanthIterator"]

# Record ids: any sequence of ints (list, tuple) or a one-dimensional NumPy integer array.
# Every id must fit in a signed 64-bit integer. A str is refused at run time.
Ids: TypeAlias = Sequence[int] | NDArray[np.integer[Any]]

# Filter trees are plain tuples whose first item is the opcode. The children of And and Or
# are filter trees too; they are typed list[Any] because mypy cannot infer a nested list
# display against a union of same-length tuple types and would reject valid trees.
ExactFilter: TypeAlias = tuple[Literal[0], str]
"""(0, key): the ids filed under exactly this index key."""
RangeFilter: TypeAlias = tuple[Literal[1], str, str]
"""(1, start, end): ids of the index records from start (inclusive) to end (exclusive),
within the namespace of start (its text up to and including the first ':')."""
AndFilter: TypeAlias = tuple[Literal[2], list[Any]]
"""(2, [tree, ...]): ids matching every child; (2, []) matches nothing."""
OrFilter: TypeAlias = tuple[Literal[3], list[Any]]
"""(3, [tree, ...]): ids matching any child; (3, []) matches nothing."""
NotFilter: TypeAlias = tuple[Literal[4], FilterTree]
"""(4, tree): every id except those matching the child."""
FilterTree: TypeAlias = ExactFilter | RangeFilter | AndFilter | OrFilter | NotFilter
"""Any filter tree accepted by ZanthVec.get_ids_from_filter."""

class PanicException(BaseException):
    """Raised when a step the store treats as infallible fails (an LMDB read transaction,
    cursor or statistics call). It derives from BaseException, so `except Exception` does not
    catch it. The message is diagnostic text, not an interface."""

@final
class ZanthIterator:
    """An immutable id set returned by ZanthVec.get_ids_from_filter.

    It holds a set of record ids and a complement flag: a filter whose top level is a Not
    yields a set meaning "every id except these". Pass it as `filter_obj` to
    ZanthVec.search_flat. It cannot be created directly and is not iterable; use to_list().
    It keeps no reference to the store that produced it.
    """

    def __len__(self) -> int:
        """The number of ids held. For a complement-form set this counts the excluded ids."""

    def to_list(self) -> list[int]:
        """The ids held, as a new list in no particular order. For a complement-form set
        these are the excluded ids, not the accepted ones."""

@final
class ZanthVec:
    """A store under `base_path`, split into `num_shards` LMDB environments
    (`base_path/shard_0` ...). Reopen it with the same `num_shards` to find its records.

    `map_size` is the largest size in bytes of each shard's data file; every shard reserves
    that much address space (num_shards * map_size in total), not disk space.

    Raises OSError ("IO: ..." or "LMDB: ...") when a shard directory or environment cannot
    be opened, OverflowError for a negative num_shards or map_size. A shard whose data.mdb
    is empty (0 bytes) or cut short (pages it uses lie past its end) is refused with an
    OSError naming the file, which is left as it is.
    """

    def __new__(
        cls, base_path: str, num_shards: int = 5, map_size: int = 200000000000
    ) -> ZanthVec:
        """Opens or creates the store, making `base_path/shard_<i>` for each shard. Opening
        the same `base_path` twice in one process shares the environments."""
    def close(self) -> None:
        """Does nothing; the environments close when the last reference to the store goes.
        The store stays usable after close()."""

    def get_ids_from_filter(self, filter_tree: FilterTree) -> ZanthIterator:
        """Evaluates a filter tree over the metadata index and returns the matching id set.

        Forms: (0, key) exact key; (1, start, end) key range [start, end) within the
        namespace of start; (2, [trees]) and; (3, [trees]) or; (4, tree) not.
        Raises TypeError for a node that is not a tuple or a key that is not a str,
        IndexError for a tuple too short for its opcode, ValueError("Invalid OpCode") for
        opcodes 5-255 and OverflowError outside 0-255.
        """

    def search_flat(
        self,
        query_vector: NDArray[np.float32],
        filter_obj: ZanthIterator | None = None,
        k: int = 10,
    ) -> list[tuple[float, int]]:
        """The `k` best (score, id) pairs by inner product with `query_vector`, best first.

        Scans every live vector of every shard; with `filter_obj` only ids the set accepts
        are scored. Returns fewer than `k` hits when fewer vectors qualify (k=0 gives []), and
        an id stored twice can appear twice. Scores are float32 sums in index order without
        FMA, identical on every CPU; NaN scores rank last, and equal scores (0.0 and -0.0
        among them) come by ascending id, so when equal scores straddle the k-th place the
        lowest ids are kept: one answer for any handle, with sketches on or off, before and
        after reopening, and from search_flat_batch. `query_vector` must be a
        one-dimensional, contiguous float32 array (TypeError otherwise); its length is the
        dimension used to read the blocks, and a block that is not a whole number of such
        records raises ValueError. A shard that cannot be read raises OSError("LMDB: ...").
        """

    def store_flat_vectors(self, data: NDArray[np.float32], identifiers: Ids) -> None:
        """Appends row i of the two-dimensional float32 array `data` under identifiers[i].

        Storing an id again adds a second vector; nothing is replaced. All vectors of a store
        must have one dimension, which is not recorded; a shard whose last block does not fit
        this dimension makes the call raise ValueError before anything is written. Strided
        arrays are accepted; extra rows are ignored. Raises TypeError for an array that is not
        2-D native float32, ValueError when there are more identifiers than rows, and OSError
        ("LMDB: ...") when a shard cannot be written (the other shards still commit).
        """

    def delete_flat_vectors(self, identifiers: Ids, dim: int) -> None:
        """Marks every stored vector of the given ids as deleted (a tombstone), in every
        shard. `dim` must be the dimension the vectors were stored with (ValueError when a
        block does not fit it). The space comes back only with compact_vectors(). A failed
        rewrite or commit (a full map) rolls that shard back and raises OSError; a write
        transaction or cursor that cannot be opened raises PanicException."""

    def batch_index_insert(self, entries: Sequence[tuple[str, int]]) -> None:
        """Files each record id under its index key, e.g. [("color:red", 5), ("year:2019", 5)].

        An entry that already exists stays as it is. Keys are UTF-8, at most 502 bytes
        (ValueError, nothing written). Raises TypeError for a malformed entry and ValueError for
        a tuple that is not a pair; OSError ("LMDB: ...") when a shard cannot be written.
        """

    def batch_index_delete(self, entries: Sequence[tuple[str, int]]) -> None:
        """Removes each (index key, record id) entry; entries that do not exist are ignored."""

    def store_data(self, data: Sequence[Any], identifiers: Ids) -> None:
        """Pickles data[i] and stores it under identifiers[i], replacing any object already
        stored under that id (the same id twice in one call keeps the last). Raises
        ValueError("Length mismatch") when the lengths differ, the pickling error when an
        object cannot be pickled (nothing is stored then), and OSError ("LMDB: ...") when a
        shard cannot be written (the other shards still commit)."""

    def get_data(self, identifiers: Ids) -> list[Any]:
        """The unpickled object of each id, in order; None where no object is stored (or
        where None was stored).

        Unpickling runs arbitrary code: only open stores you trust.
        """

    def delete_data(self, identifiers: Ids) -> None:
        """Removes the objects of the given ids; vectors and index entries of those ids stay."""

    def get_data_count(self) -> int:
        """The number of LMDB records in all shards: objects, vector blocks (up to 256
        vectors each) and index entries together."""

    def compact_vectors(self, dim: int) -> int:
        """Removes the tombstones left by delete_flat_vectors and returns how many it removed.

        `dim` must be the dimension the vectors were stored with (ValueError when a block does
        not fit it). Blocks left empty are deleted; partly filled blocks are not merged. Freed
        pages are reused by later writes; the data files never shrink. A failed rewrite or commit
        (a full map) rolls that shard back and raises OSError; a write transaction or cursor
        that cannot be opened raises PanicException.
        """

    def search_flat_batch(
        self,
        queries: NDArray[np.float32],
        filter_obj: ZanthIterator | None = None,
        k: int = 10,
    ) -> list[list[tuple[float, int]]]:
        """search_flat for every row of `queries` in one pass over the stored vectors.

        Returns one list per row, each identical to search_flat(queries[i], filter_obj, k):
        the same ids in the same order and bit-identical scores (equal scores by ascending id,
        as there). `queries` must be a two-dimensional, C-contiguous
        float32 array (TypeError otherwise); zero rows give []. Errors as search_flat.
        """
    def sketch_memory(self) -> int:
        """Bytes of search sketches this handle holds (int8 codes of the vectors plus 20 bytes
        a record): mappings of the sketch files in base_path/sketches, which every process of
        the host shares through the page cache, plus private sketches not published yet, and the
        acceptance bitmaps (and gathered codes) of the filters recently searched with. When
        the store folder is read-only or the disk is full, sketches stay in private memory and
        nothing fails. Waits until sketches being published by this handle are written."""

    def set_sketch_budget(self, max_bytes: int | None) -> None:
        """Caps the memory of the search sketches this handle maps and builds (None: no cap;
        the default is a quarter of the machine's memory). 0 turns them off and frees them:
        every search then reads every vector, and no sketch file is read or written. Results never depend on the sketches, only speed does."""

    def take_prune_counts(self) -> tuple[int, int, int]:
        """(records whose bound was tested, records among them scored exactly, records
        sketched) by the searches of this handle since the last call, and resets all three."""

    def store_pickled(self, data: Sequence[bytes], identifiers: Ids) -> None:
        """store_data for objects the caller has pickled already: stores the bytes data[i]
        under identifiers[i] exactly as given, the same record store_data writes for an object
        whose pickle.dumps() gives those bytes, so get_data reads it. The bytes are not
        checked to be a pickle (get_data raises the unpickling error for bytes that are not).
        Raises TypeError, before anything is written, for an item that is not bytes; otherwise
        as store_data."""

    def get_pickled(self, identifiers: Ids) -> list[bytes | None]:
        """get_data without unpickling: the stored bytes of each id, in order (what
        pickle.dumps() gave store_data, or what store_pickled was given); None where no
        object is stored."""

    def filter_cache_memory(self) -> int:
        """Bytes of evaluated filters this handle keeps: leaves' ids per shard and whole trees'
        id sets with their lookup tables."""

    def set_filter_cache_budget(self, max_bytes: int | None) -> None:
        """Caps the memory of the evaluated filters this handle keeps (None: the default, 64
        MiB; least recently used go first). 0 turns the cache off and empties it.
        get_ids_from_filter keeps each leaf's ids and each tree's id set tagged with the LMDB
        transaction ids of the shards they were read from, and uses them only while those
        shards are unchanged: any commit, by any handle or process, gives a shard a new one.
        Results never depend on the cache, only speed does."""

    def write_batch(
        self,
        identifiers: Ids,
        data: Sequence[Any] | None = None,
        vectors: NDArray[np.float32] | None = None,
        index_inserts: Sequence[tuple[str, int]] | None = None,
        index_deletes: Sequence[tuple[str, int]] | None = None,
        vector_deletes: Ids | None = None,
        object_deletes: Ids | None = None,
        dim: int | None = None,
        more_identifiers: Ids | None = None,
        more_data: Sequence[Any] | None = None,
    ) -> None:
        """Objects, vectors and index entries of one batch in one write transaction per shard
        (one commit each, shards in parallel): pickles data[i] and stores it under
        identifiers[i] (as store_data), appends row i of the 2-D float32 array `vectors` under
        identifiers[i] (as store_flat_vectors), stores more_data[i] (an object without a
        vector; it wins over data under the same id) under more_identifiers[i], and in each
        shard's transaction first removes the objects of object_deletes, marks the vectors of
        vector_deletes deleted (dim: their dimension, default the vectors' columns), removes
        index_deletes, then files index_inserts, appends and stores. A pickle of a third to
        half a page is stored padded with zero bytes to half a page (its own overflow page;
        pickle.loads ignores the padding, get_pickled returns it), unless its key sorts after
        every key stored in its shard: such a put appends, unpadded. Shape and argument errors
        (ValueError "Length mismatch" when data and identifiers, or more_data and
        more_identifiers, differ in length, a dimension mismatch, an object that cannot be
        pickled) write nothing. A shard that fails stores nothing of the batch
        while the others commit; the call then raises OSError naming the shard."""
    def refresh(self) -> None:
        """Begins and commits an empty write transaction in every shard (waiting for any
        writer). A writer process killed inside a commit can leave that commit on disk but
        unseen by this process's reads until a write transaction begins here; after refresh
        they see it. Call it before deciding writes from reads when another writer may have
        died."""
    def last_commits(self) -> list[int]:
        """The snapshot each shard's reads see now: the id of the last transaction published
        to readers there, by any process. It moves whenever what reads return may change, so a
        list equal to one taken earlier means every read answers as it did then (what a cache
        of results read from the store checks)."""
