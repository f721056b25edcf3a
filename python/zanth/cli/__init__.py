"""`zanth` / `python -m zanth`: look into a store on disk without writing code.

    zanth stats PATH [--dim D] [--shards N] [--json]
    zanth verify PATH [--dim D] [--shards N] [--no-pickle-check] [--documents] [--json]
    zanth copy PATH DEST [--compact]

Needs the `cli` extra (`pip install "zanth_vec[cli]"`: the lmdb binding, rich for tables and
progress bars; without rich the output is plain text). The store's own module is not needed.
Exit status: 0 success (for verify: the store is sound), 1 problems found or a copy failed,
2 a usage error or PATH is not a store.
"""

from __future__ import annotations

import argparse
import fcntl
import json
import os
import re
import shutil
import sys
import time
from collections import Counter
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from typing import Any

from ..encoding import LOCK_FILE, made_shards
from . import scan
from .isolate import Failed, run_per_shard

_SHARD_DIR = re.compile(r"shard_(0|[1-9][0-9]*)")  # fullmatch: "$" would pass a final newline


MAX_DIM = 1 << 30  # beyond any dimension whose blocks LMDB could hold


class UsageError(Exception):
    pass


def recorded_shards(path: str) -> int | None:
    """The shard count a collection's lock file records (None: not a collection, one made by
    an older version, or a lock file that cannot be read)."""
    try:
        with open(os.path.join(path, LOCK_FILE), "rb") as lock:
            return made_shards(lock.read(64))
    except OSError:
        return None


def find_shards(path: str, expected: int | None) -> tuple[int, list[int], list[str]]:
    """The shard count (`expected` when given, else the count a collection's lock file
    records, else the run shard_0, shard_1, ... found on disk), the shard numbers below it
    that have a directory, and the problems: a count given other than the recorded one,
    directories outside that run, and missing ones (a run of them as one line: a mistyped
    --shards must not list, or stat, billions of directories)."""
    if not os.path.isdir(path):
        raise UsageError(f"{path}: not a directory")
    recorded = recorded_shards(path)
    problems = []
    if expected is not None and recorded is not None and expected != recorded:
        problems.append(f"the collection's {LOCK_FILE} records {recorded} shards, not "
                        f"--shards {expected}")
    elif expected is None:
        expected = recorded
    numbers = sorted(int(m.group(1)) for name in os.listdir(path)
                     if (m := _SHARD_DIR.fullmatch(name)) and os.path.isdir(os.path.join(path, name)))
    if not numbers and not expected:
        raise UsageError(f"{path}: no shard_0 directory: not a store")
    count = expected if expected is not None else 0
    if expected is None:
        while count < len(numbers) and numbers[count] == count:
            count += 1
    present = [n for n in numbers if n < count]
    for first, after in zip([0] + [n + 1 for n in present], present + [count]):
        if after - first == 1:
            problems.append(f"shard_{first} is missing")
        elif after > first:
            problems.append(f"shard_{first} to shard_{after - 1} are missing "
                            f"({after - first:,} directories)")
    outside = [n for n in numbers if n >= count]
    if count == 0:  # no shard_0, so no run of shards at all
        problems.append("shard_0 is missing; found " + ", ".join(f"shard_{n}" for n in outside[:8])
                        + (" ..." if len(outside) > 8 else ""))
    else:
        problems += [f"shard_{n} lies outside shards 0 to {count - 1}"
                     + ("" if expected else " (a shard directory is missing before it?)")
                     for n in outside]
    return count, present, problems


# ---- output ----------------------------------------------------------------------------------

def _rich() -> Any:
    try:
        import rich.console
        import rich.progress
        import rich.table
        import rich.text
    except ImportError:
        return None
    return rich


@contextmanager
def _progress(what: str) -> Iterator[Callable[[int, str, Any], None]]:
    """A progress bar on stderr while `what` runs, fed by the shards' messages; nothing when
    rich is missing or stderr is not a terminal."""
    rich = _rich()
    if rich is None or not sys.stderr.isatty():
        yield lambda *_: None
        return
    columns = (*rich.progress.Progress.get_default_columns(), rich.progress.MofNCompleteColumn())
    with rich.progress.Progress(*columns, console=rich.console.Console(stderr=True),
                                transient=True) as bar:
        task = bar.add_task(what, total=0)

        def update(_shard: int, kind: str, amount: Any) -> None:
            if kind == "total":
                bar.update(task, total=(bar.tasks[0].total or 0) + amount)
            elif kind == "advance":
                bar.advance(task, amount)

        yield update


def _table(title: str, header: Sequence[str], rows: Sequence[Sequence[str]]) -> None:
    rich = _rich()
    if rich is not None:
        # As plain text: a path or a stored name may hold what rich would read as markup.
        table = rich.table.Table(title=rich.text.Text(title), title_justify="left")
        for i, name in enumerate(header):
            table.add_column(name, justify="left" if i == 0 else "right")
        for i, row in enumerate(rows):
            table.add_row(*map(rich.text.Text, map(str, row)), end_section=i == len(rows) - 2)
        console = rich.console.Console()
        if not console.is_terminal:
            console = rich.console.Console(width=160)  # a pipe or file: do not wrap cells
        console.print(table)
        return
    widths = [max(len(str(r[i])) for r in [header, *rows]) for i in range(len(header))]
    print(title)
    for row in [header, *rows]:
        print("  ".join(str(c).ljust(w) if i == 0 else str(c).rjust(w)
                        for i, (c, w) in enumerate(zip(row, widths))))


def _size(n: int) -> str:
    for unit in ("B", "KiB", "MiB", "GiB", "TiB"):
        if n < 1024 or unit == "TiB":
            return f"{n:,} {unit}" if unit == "B" else f"{n:,.1f} {unit}"
        n /= 1024  # type: ignore[assignment]
    raise AssertionError


# ---- stats and verify ------------------------------------------------------------------------

COUNTS = ("objects", "vector_blocks", "vector_records", "tombstones", "index_entries",
          "distinct_keys", "unknown_keys", "bytes_used", "file_size", "stale_readers")


_SKETCH_FILE = re.compile(r"shard_(0|[1-9][0-9]*)\.([1-9][0-9]*)")


def sketch_files(path: str) -> dict[str, int]:
    """The search sketch files in `path`/sketches: a cache the store rebuilds when they are
    missing or unsound, so they are counted but never a problem. `temporary`: files of a
    publishing in progress or of a process killed while writing one."""
    folder = os.path.join(path, "sketches")
    found = {"files": 0, "bytes": 0, "temporary": 0}
    try:
        names = os.listdir(folder)
    except OSError:
        return found
    for name in names:
        try:
            size = os.path.getsize(os.path.join(folder, name))
        except OSError:
            continue
        if _SKETCH_FILE.fullmatch(name):
            found["files"] += 1
            found["bytes"] += size
        elif name.startswith("."):
            found["temporary"] += 1
    return found


def inspect(path: str, shards: int | None, dim: int | None,
            check_pickles: bool | None) -> dict[str, Any]:
    """Walks every shard of the store at `path`: counts, the dimension, every problem.
    `check_pickles` None: a survey (stats), where an unsettled dimension is no problem."""
    count, present, problems = find_shards(path, shards)
    dirs = {i: os.path.join(path, f"shard_{i}") for i in present}
    problems += [f"shard {i}: {why}" for i in present if (why := scan.data_file_problem(dirs[i]))]
    present = [i for i in present if not scan.data_file_problem(dirs[i])]

    with _progress("surveying vector blocks") as progress:
        surveys = run_per_shard(scan.survey, [(dirs[i],) for i in present], progress)
    readable = []
    lengths: Counter[int] = Counter()
    samples: list[tuple[int, bytes]] = []
    stated: set[int] = set()  # the dimension a collection's settings name
    made_with: set[int] = set()  # the shard count they name
    has_settings = has_own = False
    pending = 0  # deleted documents' vectors a collection tombstones later
    shard_blocks: dict[int, tuple[Counter[int], list[tuple[int, bytes]]]] = {}
    for i, survey in zip(present, surveys):
        if isinstance(survey, Failed):
            problems.append(f"shard {i}: cannot be read: {survey.reason}")
        elif survey["error"]:
            problems.append(f"shard {i}: {survey['error']}")
        else:
            readable.append(i)
            own = [(i, block) for block in survey["samples"]]
            shard_blocks[i] = (survey["lengths"], own)
            lengths.update(survey["lengths"])
            samples += own
            if survey.get("collection_dim"):
                stated.add(survey["collection_dim"])
            if survey.get("collection_shards"):
                made_with.add(survey["collection_shards"])
            has_settings = has_settings or bool(survey.get("collection_settings"))
            has_own = has_own or bool(survey.get("collection_records"))
            pending += survey.get("collection_pending", 0)
    if made_with and made_with != {count}:
        # Records live in the shard their id routes to under the count they were written with.
        problems.append(f"the collection's settings say it was made with "
                        f"{', '.join(map(str, sorted(made_with)))} shards, but {count} are "
                        "counted here: a shard directory was added or removed")
    is_collection = os.path.exists(os.path.join(path, LOCK_FILE))

    record_size: int | None
    from_settings, guessed = dim is None and len(stated) == 1, False
    if from_settings:  # a collection's: the blocks are checked against it
        dim = stated.pop()
    if dim is not None:
        record_size, candidates = 8 + 4 * dim, [8 + 4 * dim]
    else:
        record_size, candidates = scan.infer_record_size(lengths, samples, count)
        if lengths and record_size is None and not candidates:
            problems.append("the vector blocks fit no single dimension: block lengths "
                            + ", ".join(f"{n:,}" for n in sorted(lengths)[:8]))
        elif lengths and record_size is None and count > 1 and check_pickles is not None:
            # Verifying: the smallest size whose every sampled id routes home. A larger one
            # that does is a multiple of it; a smaller wrong one would need float bytes that
            # route home by chance, and would still read the blocks as whole records.
            passing = [c for c in candidates if scan.ids_route(samples, c, count)]
            record_size = passing[0] if passing else None
            guessed = record_size is not None
        if lengths and record_size is None and candidates and check_pickles is not None:
            # Blocks whose records were never checked must not pass for sound ones.
            problems.append("the vector blocks were not checked: their dimension is one of "
                            + ", ".join(str((c - 8) // 4) for c in candidates[:6])
                            + (" ..." if len(candidates) > 6 else "") + " (pass --dim)")

    with _progress("reading records") as progress:
        walks = run_per_shard(scan.walk, [(dirs[i], i, count, record_size, check_pickles)
                                          for i in readable], progress)
    per_shard: list[dict[str, Any]] = []
    for i, walked in zip(readable, walks):
        if isinstance(walked, Failed):
            problems.append(f"shard {i}: cannot be read: {walked.reason}")
            continue
        problems += [f"shard {i}: {line}" for line in walked.pop("problems")]
        seen, certain = scan.dimensions_seen(*shard_blocks[i], count, record_size)
        per_shard.append({"shard": i, **walked, "dimensions_seen": seen,
                          "dimensions_certain": certain})
    totals = {name: sum(s[name] for s in per_shard) for name in COUNTS}
    if is_collection and has_own and not has_settings and len(readable) == count:
        problems.append("a collection's records without its settings record: its documents "
                        "cannot be opened as a Collection")
    if record_size is None and totals["vector_blocks"]:  # blocks not read as records: unknown
        for counts in (*per_shard, totals):
            counts["vector_records"] = counts["tombstones"] = None
    return {
        "path": path, "shards": count, "shards_read": len(per_shard),
        "dimension": None if record_size is None else (record_size - 8) // 4,
        "dimension_from": "settings" if from_settings else "likeliest" if guessed else None,
        "dimension_candidates": [(c - 8) // 4 for c in candidates],
        "per_shard": per_shard, "totals": totals, "problems": problems,
        "sketch_files": sketch_files(path), "pending_vectors": pending,
    }


def _dimension_text(report: dict[str, Any], given: bool) -> str:
    dim, candidates = report["dimension"], report["dimension_candidates"]
    if dim is not None:
        source = {"settings": "the collection's settings",
                  "likeliest": "the likeliest the blocks allow: --dim to be sure"}
        said = source.get(report.get("dimension_from") or "", "inferred from the blocks")
        return f"dimension {dim}" + ("" if given else f" ({said})")
    if candidates:
        shown = ", ".join(map(str, candidates[:6])) + (" ..." if len(candidates) > 6 else "")
        return f"dimension one of {shown}: pass --dim to count vectors"
    if report["problems"]:  # blocks in a shard that could not be read may be missing
        return "dimension unknown (not every record could be read)"
    return "no vectors" if not report["totals"]["vector_blocks"] else "dimension unknown"


def _dims_text(dims: list[int], certain: bool) -> str:
    """"128", "64, 128" (two seen), or "2|6?" (the blocks allow either)."""
    if not dims:
        return "-"
    text = (", " if certain else "|").join(map(str, dims[:4])) + ("..." if len(dims) > 4 else "")
    return text if certain else text + "?"


def stats(args: argparse.Namespace) -> int:
    report = inspect(args.path, args.shards, args.dim, check_pickles=None)
    # A survey that met damage exits 1 as verify does, so a script that reads only the
    # status does not take a damaged store's partial counts for a sound store's.
    failed = 1 if report["problems"] else 0
    if args.json:
        print(json.dumps(report, indent=2))
        return failed
    header = ["shard", "objects", "blocks", "vectors", "deleted", "dims seen", "index entries",
              "keys", "used", "map size", "stale readers"]
    everywhere = sorted({d for s in report["per_shard"] for d in s["dimensions_seen"]})
    certain = all(s["dimensions_certain"] for s in report["per_shard"])
    rows = []
    for s in [*report["per_shard"], {"shard": "all", **report["totals"], "map_size": None,
                                     "dimensions_seen": everywhere,
                                     "dimensions_certain": certain}]:
        rows.append([str(s["shard"]), f"{s['objects']:,}", f"{s['vector_blocks']:,}",
                     "?" if s["vector_records"] is None else f"{s['vector_records']:,}",
                     "?" if s["tombstones"] is None else f"{s['tombstones']:,}",
                     _dims_text(s["dimensions_seen"], s["dimensions_certain"]),
                     f"{s['index_entries']:,}", f"{s['distinct_keys']:,}",
                     _size(s["bytes_used"]), _size(s["map_size"]) if s["map_size"] else "",
                     str(s["stale_readers"])])
    title = (f"{report['path']}: {report['shards']} shards on disk, "
             f"{_dimension_text(report, args.dim is not None)}")
    _table(title, header, rows)
    print("blocks: vector blocks of up to 256 vectors; deleted: vectors awaiting compact_vectors;"
          " keys: distinct index keys (each lives in one shard); used: the B-tree's pages (free ones left out), of "
          + _size(report["totals"]["file_size"]) + " in data.mdb files")
    if report["pending_vectors"]:
        print(f"waiting: {report['pending_vectors']:,} vectors of deleted documents, counted among "
              "the vectors above; searches pass over them, and the collection tombstones them "
              "together later (or `compact()` removes them)")
    sketches = report["sketch_files"]
    if sketches["files"] or sketches["temporary"]:
        print(f"search sketches: {sketches['files']} files, {_size(sketches['bytes'])} in "
              "sketches/ (a cache: deleting them loses nothing, and copy leaves them out)"
              + (f"; {sketches['temporary']} temporary" if sketches["temporary"] else ""))
    for line in report["problems"]:
        print(f"  PROBLEM {line}")
    if report["problems"]:
        print(f"{len(report['problems'])} problems found; `zanth verify` checks every record")
    return failed


def document_problems(path: str, shards: int) -> list[str]:
    """`Collection.verify()` of the collection at `path`, whose records were found sound. It
    runs the store's pickles and takes the collection's write lock (recovering a write that a
    dead writer left, as any write does), so it is asked for, never implied."""
    from ..collection import Collection  # needs the store's own module

    if not os.path.exists(os.path.join(path, LOCK_FILE)):
        raise UsageError(f"{path}: not a collection (--documents checks a zanth.Collection's "
                         "documents)")
    try:
        with Collection(path, num_shards=shards) as col:
            _say_if_a_writer_runs(path)  # verify() waits for it, as writes do
            return [f"documents: {line}" for line in col.verify()]
    except ValueError as error:  # settings that are not a collection's
        return [f"documents: {error}"]
    except Exception as error:  # a stored pickle that walks well but does not load
        return [f"documents: cannot be read: {type(error).__name__}: {error}"]


def _say_if_a_writer_runs(path: str) -> None:
    try:
        fd = os.open(os.path.join(path, LOCK_FILE), os.O_RDONLY)
    except OSError:
        return
    try:
        fcntl.flock(fd, fcntl.LOCK_SH | fcntl.LOCK_NB)
    except BlockingIOError:
        print(WAITING, file=sys.stderr, flush=True)
    finally:
        os.close(fd)


def verify(args: argparse.Namespace) -> int:
    report = inspect(args.path, args.shards, args.dim, check_pickles=args.pickles)
    problems = list(report["problems"])  # the report's own say whether every shard was read
    if args.documents:
        problems += (document_problems(args.path, report["shards"]) if not problems else
                     ["documents: not checked, as the records are not sound"])
    if args.json:
        print(json.dumps({k: report[k] for k in ("path", "shards", "dimension", "problems")},
                         indent=2))
        return 1 if problems else 0
    totals = report["totals"]
    records = sum(totals[k] for k in ("objects", "vector_blocks", "index_entries", "unknown_keys"))
    read = " read" if report["problems"] else ""  # a shard not read adds none
    print(f"{report['path']}: {report['shards']} shards, {records:,} records{read}, "
          f"{_dimension_text(report, args.dim is not None)}")
    for line in problems:
        print(f"  PROBLEM {line}")
    if problems:
        print(f"not sound: {len(problems)} problems")
        return 1
    print("sound")
    return 0


# ---- copy ------------------------------------------------------------------------------------

WAITING = "waiting for the collection's writer to finish..."


class WriterBusy(Exception):
    """A collection's writer held its lock for longer than the caller would wait."""


@contextmanager
def _writers_held(path: str, wait: float | None = None) -> Iterator[None]:
    """A collection's writers wait while this runs (its lock file, shared): each shard is
    copied from its own read transaction, and a document's records span shards, so shards
    copied around a write would disagree. A plain store's records stand alone. `wait`: the
    seconds to wait for a running writer (None: as long as it takes), then WriterBusy."""
    try:
        fd = os.open(os.path.join(path, LOCK_FILE), os.O_RDONLY)
    except FileNotFoundError:
        yield
        return
    except OSError as error:
        raise UsageError(f"{path}: its lock file cannot be opened ({error.strerror}), so a "
                         "consistent copy cannot be taken") from None
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_SH | fcntl.LOCK_NB)
        except BlockingIOError:
            print(WAITING, file=sys.stderr, flush=True)
            if wait is None:
                fcntl.flock(fd, fcntl.LOCK_SH)
            else:
                deadline = time.monotonic() + wait
                while True:
                    try:
                        fcntl.flock(fd, fcntl.LOCK_SH | fcntl.LOCK_NB)
                        break
                    except BlockingIOError:
                        left = deadline - time.monotonic()
                        if left <= 0:
                            raise WriterBusy(f"a writer held the collection for more than "
                                             f"{wait:g} s") from None
                        time.sleep(min(0.05, left))
        yield
    finally:
        os.close(fd)


def copy(args: argparse.Namespace) -> int:
    count, present, problems = find_shards(args.path, args.shards)
    problems += [f"shard {i}: {why}" for i in present
                 if (why := scan.data_file_problem(os.path.join(args.path, f"shard_{i}")))]
    if problems:
        for line in problems:
            print(f"  PROBLEM {line}", file=sys.stderr)
        print("not copied: the store's shards are not all there and readable", file=sys.stderr)
        return 1
    if not args.dest:
        raise UsageError("DEST is empty: name a new or empty directory")
    if os.path.exists(args.dest) and (not os.path.isdir(args.dest) or os.listdir(args.dest)):
        raise UsageError(f"{args.dest}: exists and is not an empty directory")
    source = os.path.realpath(args.path)
    if os.path.commonpath([source, os.path.realpath(args.dest)]) == source:
        # Its shard_N directories would become part of the store being copied.
        raise UsageError(f"{args.dest}: lies inside the store {args.path}")
    try:
        with _writers_held(args.path, args.wait):
            try:
                os.makedirs(args.dest, exist_ok=True)
            except OSError as error:
                raise UsageError(f"{args.dest}: cannot be made: {error.strerror}") from None
            jobs = [(os.path.join(args.path, f"shard_{i}"), os.path.join(args.dest, f"shard_{i}"),
                     args.compact) for i in range(count)]
            with _progress("copying shards") as progress:
                progress(0, "total", count)
                results = run_per_shard(scan.copy, jobs, progress)
    except WriterBusy as busy:
        print(f"not copied: {busy}; {args.dest} was not touched", file=sys.stderr)
        return 1
    failed = 0
    before = after = 0
    for i, result in enumerate(results):
        if isinstance(result, Failed):
            failed += 1
            print(f"  PROBLEM shard {i}: not copied: {result.reason}", file=sys.stderr)
            continue
        before += result["source_bytes"]
        after += result["bytes"]
    if failed:
        print(f"copy incomplete: {failed} of {count} shards failed; {args.dest} is not a whole "
              "store", file=sys.stderr)
        return 1
    if os.path.exists(os.path.join(args.path, LOCK_FILE)):  # a collection's copy is one too,
        shutil.copyfile(os.path.join(args.path, LOCK_FILE),  # with the shard count it records
                        os.path.join(args.dest, LOCK_FILE))
    print(f"copied {count} shards to {args.dest}: {_size(before)} -> {_size(after)}"
          + (" (compacted)" if args.compact else ""))
    return 0


# ---- entry -----------------------------------------------------------------------------------

def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="zanth", description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command", required=True)

    def common(sub: argparse.ArgumentParser) -> None:
        sub.add_argument("path", help="the store's base_path")
        sub.add_argument("--shards", type=int, help="the store's num_shards (default: the "
                         "shard_N directories found)")

    def reading(sub: argparse.ArgumentParser) -> None:
        common(sub)
        sub.add_argument("--dim", type=int, help="the vectors' dimension (default: inferred "
                         "from the block lengths)")
        sub.add_argument("--json", action="store_true", help="print the report as JSON")

    reading(commands.add_parser("stats", help="what each shard holds"))
    sub = commands.add_parser("verify", help="check every record; exit 0 only when sound")
    reading(sub)
    sub.add_argument("--no-pickle-check", dest="pickles", action="store_false",
                     help="skip walking each object's pickle opcodes (they are never run)")
    sub.add_argument("--documents", action="store_true",
                     help="also check a collection's documents are whole (Collection.verify: "
                     "runs the stored pickles, so only on a store you trust; recovers a write "
                     "that a dead writer left)")
    sub = commands.add_parser("copy", help="a consistent copy of every shard, taken while "
                              "others read and write (a collection's writers wait for it)")
    common(sub)
    sub.add_argument("dest", help="a new or empty directory")
    sub.add_argument("--compact", action="store_true",
                     help="leave out free pages, so the copy's files hold only live data")
    sub.add_argument("--wait", type=float, metavar="SECONDS",
                     help="wait at most this long for a collection's running write (default: "
                     "until it ends), then copy nothing and exit 1")
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    for name, most in (("shards", None), ("dim", MAX_DIM)):
        value = getattr(args, name, None)
        if value is not None and not (1 <= value and (most is None or value <= most)):
            print(f"zanth: --{name} must be at least 1" + (f" and at most {most:,}" if most else ""),
                  file=sys.stderr)
            return 2
    wait = getattr(args, "wait", None)
    if wait is not None and not 0 <= wait < float("inf"):
        print("zanth: --wait must be a number of seconds, at least 0", file=sys.stderr)
        return 2
    try:
        command = {"stats": stats, "verify": verify, "copy": copy}[args.command]
        return command(args)
    except UsageError as error:
        print(f"zanth: {error}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:  # the reader went away (`| head`): not a verdict on the store
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 141  # as a shell reports a process ended by SIGPIPE
