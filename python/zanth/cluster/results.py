"""What a partitioned store hands back: failures that name partitions, partial answers that say
what they lack, id sets spread over partitions, and the merge of per-partition top-k lists."""

import numpy as np

from .trees import rebuild


class ClusterError(Exception):
    """One or more partitions failed a call. `failed` maps each partition number to what went
    wrong; `unknown` lists the partitions whose write may or may not have been applied (a call
    that timed out or whose actor died while it ran)."""

    def __init__(self, operation: str, failed: dict, unknown=()):
        self.operation = operation
        self.failed = dict(sorted(failed.items()))
        self.unknown = tuple(sorted(unknown))
        lines = [f"{operation} failed on partition(s) {', '.join(map(str, self.failed))}:"]
        lines += [f"  partition {p}: {why}" for p, why in self.failed.items()]
        if self.unknown:
            lines.append(f"  the write may or may not have been applied on partition(s) "
                         f"{', '.join(map(str, self.unknown))}; it was not retried")
        super().__init__("\n".join(lines))


class PartialResult(list):
    """A list answer from the partitions that answered; `missing` names those that did not."""

    def __init__(self, items, missing=()):
        super().__init__(items)
        self.missing = tuple(sorted(missing))

    def __reduce__(self):
        return (PartialResult, (list(self), self.missing))


class ClusterIdSet:
    """The ids a filter selects, kept per partition. `len()` and `to_list()` mean what they mean
    for the store's own id set: the ids held, which are the excluded ones when `negated` is
    true. Passing it as `filter_obj` evaluates its filter tree again on every partition at
    search time (it stands for its filter, not for a frozen copy of the ids). Picklable."""

    def __init__(self, parts: dict, negated: bool, program: tuple, missing=()):
        self._parts = {int(p): np.asarray(ids, dtype=np.int64) for p, ids in parts.items()}
        self.negated = bool(negated)
        self.program = program  # the filter tree in the flat form partitions receive
        self.missing = tuple(sorted(missing))

    @property
    def filter_tree(self):
        return rebuild(self.program)

    def __len__(self) -> int:
        return sum(len(ids) for ids in self._parts.values())

    def to_list(self) -> list[int]:
        return [i for p in sorted(self._parts) for i in self._parts[p].tolist()]

    def partition_ids(self, partition: int) -> list[int]:
        return self._parts.get(partition, np.empty(0, np.int64)).tolist()

    def __repr__(self):
        return (f"ClusterIdSet(len={len(self)}, negated={self.negated}, "
                f"missing={list(self.missing)})")


def merge_hits(columns, k: int) -> list[tuple[float, int]]:
    """The k best of several partitions' (scores, ids) lists: score descending, NaN last,
    equal scores by ascending id, as one store orders its hits. Scores stay float32 values
    widened exactly."""
    if not columns:
        return []
    scores = np.concatenate([c[0] for c in columns]).astype(np.float32, copy=False)
    ids = np.concatenate([c[1] for c in columns])
    order = np.lexsort((ids, -scores, np.isnan(scores)))[:min(k, len(scores))]
    return list(zip(scores[order].tolist(), ids[order].tolist()))
