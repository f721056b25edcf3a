"""Writers and readers for the concurrency tests; module-level so that spawned processes can run
them. Writer w's batch b is fully determined by (w, b): its ids encode both, and it is written
as one call per kind, so every reader can tell whether it sees a whole batch in each shard."""
import random
import time
from collections import Counter

import numpy as np

import zanth_vec
from store_model import index_shard, shard_of_id

DIM = 6
TAGS = [f"t:{i}" for i in range(5)]
WRITER_SPAN = 10**9
QUERY = np.linspace(-1, 1, DIM).astype(np.float32)


def batch(writer, number):
    """(ids, objects, vectors, entries) of writer `writer`'s batch `number`."""
    n = random.Random(writer * 7919 + number).randint(1, 60)
    ids = [(-1) ** j * (writer * WRITER_SPAN + number * 1000 + j) for j in range(n)]
    objects = [(writer, number, rid) for rid in ids]
    vectors = np.random.default_rng([writer, number]).standard_normal((n, DIM)).astype(np.float32)
    entries = [(TAGS[j % len(TAGS)], rid) for j, rid in enumerate(ids)]
    return ids, objects, vectors, entries


def origin(record_id):
    """(writer, batch) of an id written by `batch`."""
    magnitude = abs(record_id)
    return magnitude // WRITER_SPAN, (magnitude % WRITER_SPAN) // 1000


_expected = {}


def expected_per_shard(writer, number, num_shards):
    """Per (shard of id) and (shard of index key): how many records the batch puts there."""
    key = (writer, number, num_shards)
    if key not in _expected:
        ids, _, _, entries = batch(writer, number)
        by_id = Counter(shard_of_id(rid, num_shards) for rid in ids)
        by_key = Counter(index_shard(k, num_shards) for k, _ in entries)
        _expected[key] = (by_id, by_key)
    return _expected[key]


def write_batches(path, num_shards, writer, deadline, kinds, delete_every=0):
    """Writes batches until `deadline` (time.time()); returns the numbers of the batches whose
    calls all returned. With delete_every > 0, every such batch is deleted again (one call
    per kind) right after it was written, and compaction runs now and then."""
    db = zanth_vec.ZanthVec(path, num_shards=num_shards)
    acknowledged = []
    number = 0
    while time.time() < deadline:
        ids, objects, vectors, entries = batch(writer, number)
        db.store_data(objects, ids)
        if "vectors" in kinds:
            db.store_flat_vectors(vectors, ids)
        if "index" in kinds:
            db.batch_index_insert(entries)
        if delete_every and number % delete_every == 0:
            db.delete_data(ids)
            if "vectors" in kinds:
                db.delete_flat_vectors(ids, DIM)
                if number % (4 * delete_every) == 0:
                    db.compact_vectors(DIM)
            if "index" in kinds:
                db.batch_index_delete(entries)
        else:
            acknowledged.append(number)
        number += 1
    return acknowledged


def check_whole(hits_by_origin, expected_index, what):
    """hits_by_origin: {(writer, batch, shard): count}. Each must be the batch's full count."""
    for (writer, number, shard), count in hits_by_origin.items():
        want = expected_index(writer, number)[shard]
        assert count == want, f"{what}: batch {writer}/{number} shows {count} of {want} records in shard {shard}"


def read_and_check(path, num_shards, deadline, kinds, writers, monotonic=True):
    """Searches, filters, reads and counts until `deadline`, checking that every shard shows
    each batch entirely or not at all and that the record count never goes backwards. Returns
    the number of checks made."""
    db = zanth_vec.ZanthVec(path, num_shards=num_shards)
    rng = random.Random()
    checks, last_count = 0, 0
    while time.time() < deadline:
        count = db.get_data_count()
        if monotonic:
            assert count >= last_count, f"get_data_count went back from {last_count} to {count}"
        last_count = count
        if "vectors" in kinds:
            hits = db.search_flat(QUERY, k=2**64 - 1)
            seen = Counter()
            for _, rid in hits:
                writer, number = origin(rid)
                seen[(writer, number, shard_of_id(rid, num_shards))] += 1
            check_whole(seen, lambda w, b: expected_per_shard(w, b, num_shards)[0], "search")
            checks += 1
        if "index" in kinds:
            every = db.get_ids_from_filter((1, "t:", "t;")).to_list()
            seen = Counter()
            for rid in every:
                writer, number = origin(rid)
                j = abs(rid) % 1000
                seen[(writer, number, index_shard(TAGS[j % len(TAGS)], num_shards))] += 1
            check_whole(seen, lambda w, b: expected_per_shard(w, b, num_shards)[1], "filter")
            if "vectors" in kinds:
                tagged = db.get_ids_from_filter((0, TAGS[0]))
                allowed = set(tagged.to_list())
                inside = db.search_flat(QUERY, tagged, k=1000)
                assert all(rid in allowed for _, rid in inside), "include filter let another id through"
                untagged = db.get_ids_from_filter((4, (0, TAGS[0])))
                excluded = set(untagged.to_list())
                outside = db.search_flat(QUERY, untagged, k=1000)
                assert not any(rid in excluded for _, rid in outside), "exclude filter let an id through"
            checks += 1
        writer = rng.choice(writers)
        number = rng.randint(0, 200)
        ids, objects, _, _ = batch(writer, number)
        got = db.get_data(ids)
        present = Counter(shard_of_id(rid, num_shards) for rid, obj in zip(ids, got) if obj is not None)
        for shard, n in present.items():
            assert n == expected_per_shard(writer, number, num_shards)[0][shard], "get_data saw part of a batch"
        assert all(obj is None or obj == want for obj, want in zip(got, objects))
        checks += 1
    return checks
