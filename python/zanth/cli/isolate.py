"""Running one job per shard in child processes, a few at a time.

LMDB trusts the page numbers in its data file, so a damaged file can make a read fault (a
segmentation fault, or a bus error past the end of a truncated file). Each shard is therefore
read in its own child: a child that dies is reported as that shard's problem, and the command
goes on with the other shards. Children come from a fork server started before any thread of
ours (the progress display runs one), so forking never copies a held lock.
"""

from __future__ import annotations

import multiprocessing
import os
import signal
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from multiprocessing.connection import Connection, wait
from typing import Any


@dataclass
class Failed:
    """A job that raised (`reason` is the exception) or whose process died."""

    reason: str


def _run(job: Callable[..., Any], args: tuple[Any, ...], conn: Connection) -> None:
    def send(kind: str, payload: Any) -> None:
        conn.send((kind, payload))

    try:
        result = job(*args, send)
    except BaseException as error:  # anything a damaged file provokes is the shard's report
        conn.send(("failed", f"{type(error).__name__}: {error}"))
    else:
        conn.send(("done", result))
    finally:
        conn.close()


def _death(exitcode: int | None) -> str:
    if exitcode is not None and exitcode < 0:
        try:
            name = signal.Signals(-exitcode).name
        except ValueError:
            name = f"signal {-exitcode}"
        return f"reading it crashed the reader ({name}): the data file is damaged"
    return f"the reader ended without a result (exit status {exitcode})"


def start_method() -> multiprocessing.context.BaseContext:
    context = multiprocessing.get_context("forkserver")
    context.set_forkserver_preload(["zanth.cli.scan"])
    return context


def run_per_shard(job: Callable[..., Any], jobs: Sequence[tuple[Any, ...]],
                  on_message: Callable[[int, str, Any], None] = lambda *_: None,
                  parallel: int | None = None) -> list[Any]:
    """Runs job(*jobs[i], send) in a child for each i; returns each job's result or a Failed.
    `send(kind, payload)` inside a job reaches on_message(i, kind, payload) in this process."""
    context = start_method()
    limit = max(1, parallel or os.cpu_count() or 1)
    waiting = list(enumerate(jobs))
    running: dict[Connection, tuple[int, Any]] = {}
    results: list[Any] = [None] * len(jobs)
    while waiting or running:
        while waiting and len(running) < limit:
            index, args = waiting.pop(0)
            reader, writer = context.Pipe(duplex=False)
            process = context.Process(target=_run, args=(job, args, writer), daemon=True)  # type: ignore[attr-defined]
            process.start()
            writer.close()
            running[reader] = (index, process)
        for ready in wait(list(running)):
            assert isinstance(ready, Connection)
            index, process = running[ready]
            try:
                kind, payload = ready.recv()
            except (EOFError, OSError):
                process.join()
                results[index] = Failed(_death(process.exitcode))
                kind = "gone"
            if kind in ("done", "failed", "gone"):
                if kind != "gone":
                    results[index] = payload if kind == "done" else Failed(payload)
                    process.join()
                del running[ready]
                ready.close()
            else:
                on_message(index, kind, payload)
    return results
