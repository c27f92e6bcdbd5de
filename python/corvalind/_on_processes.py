"""Batch matching on local worker processes, one pipe each.

Each worker is spawned with the snapshot, restores the trie once and then
answers one chunk at a time. The parent waits on every busy worker's pipe
and on its process sentinel at once, so a worker that dies (a SIGKILL, the
out-of-memory killer) is seen at once: its chunk goes once more to a fresh
worker, and a second death of that chunk's worker ends the batch with
RuntimeError. Workers start only when a chunk waits and none is idle, so
there are never more of them than chunks, nor than ``max_workers``.
"""

from __future__ import annotations

import multiprocessing
import signal
from collections import deque
from dataclasses import dataclass, field
from multiprocessing.connection import Connection, wait
from multiprocessing.process import BaseProcess
from types import TracebackType

from corvalind._chunks import ChunkOutcome, MatchArguments, match_chunk, restore

Task = tuple[int, list[str]]

# Seconds a worker is given to leave after being told to; then it is terminated.
_EXIT_GRACE = 5.0


@dataclass(slots=True)
class _Worker:
    process: BaseProcess
    connection: Connection
    task: Task | None = field(default=None)


class ProcessEngine:
    """Chunks answered by up to ``max_workers`` spawned processes; results
    come back in any order. Use as a context manager: leaving it ends every
    worker (terminated at once when an exception is leaving)."""

    def __init__(self, snapshot: bytes, arguments: MatchArguments, max_workers: int) -> None:
        # 'spawn' rather than 'fork': the caller may have threads (a
        # progress-bar monitor, a Dask client) whose locks a forked child
        # would inherit held.
        self._context = multiprocessing.get_context("spawn")
        self._snapshot = snapshot
        self._arguments = arguments
        self._max_workers = max_workers
        self._workers: list[_Worker] = []
        self._waiting: deque[Task] = deque()
        self._retried: set[int] = set()

    def __enter__(self) -> ProcessEngine:
        return self

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, trace: TracebackType | None
    ) -> None:
        for worker in self._workers:
            if kind is None:
                try:
                    worker.connection.send(None)
                except OSError:
                    pass
            else:
                worker.process.terminate()
        for worker in self._workers:
            worker.process.join(_EXIT_GRACE if kind is None else None)
            if worker.process.is_alive():
                worker.process.terminate()
                worker.process.join()
            worker.connection.close()
        self._workers.clear()

    def submit(self, start: int, chunk: list[str]) -> None:
        self._waiting.append((start, chunk))
        self._dispatch()

    def collect(self) -> tuple[int, ChunkOutcome]:
        """The (start, outcome) of the next chunk to finish. REQUIRES: a
        submitted chunk not collected yet."""
        while True:
            busy = [worker for worker in self._workers if worker.task is not None]
            ready = set(wait([w.connection for w in busy] + [w.process.sentinel for w in busy]))
            for worker in busy:
                if worker.connection in ready or worker.process.sentinel in ready:
                    try:
                        if worker.connection.poll():
                            outcome: tuple[int, ChunkOutcome] = worker.connection.recv()
                            worker.task = None
                            self._dispatch()
                            return outcome
                    except (EOFError, OSError):
                        pass
                    self._replace(worker)

    def _replace(self, worker: _Worker) -> None:
        """Handles the death of ``worker``: its chunk runs again on a fresh
        worker, unless it already had."""
        worker.process.join()
        worker.connection.close()
        self._workers.remove(worker)
        assert worker.task is not None
        start, chunk = worker.task
        if start in self._retried:
            raise RuntimeError(
                f"a worker process died twice (exit code {worker.process.exitcode}) while answering"
                f" queries {start} to {start + len(chunk) - 1} of the batch"
            )
        self._retried.add(start)
        self._waiting.appendleft(worker.task)
        self._dispatch()

    def _dispatch(self) -> None:
        while self._waiting:
            idle = next((worker for worker in self._workers if worker.task is None), None)
            if idle is None:
                if len(self._workers) >= self._max_workers:
                    return
                idle = self._start_worker()
            idle.task = self._waiting.popleft()
            try:
                idle.connection.send((*idle.task, self._arguments))
            except OSError:
                pass  # it died: collect sees its sentinel and sends the chunk again

    def _start_worker(self) -> _Worker:
        ours, theirs = self._context.Pipe()
        process = self._context.Process(target=_serve, args=(self._snapshot, theirs), daemon=True)
        process.start()
        theirs.close()
        worker = _Worker(process, ours)
        self._workers.append(worker)
        return worker


def _serve(snapshot: bytes, connection: Connection) -> None:
    """A worker's life: restore the trie, answer chunks until told to stop
    or the parent goes away. Ctrl-C is the parent's to handle."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    trie = restore(snapshot)
    while True:
        try:
            task: tuple[int, list[str], MatchArguments] | None = connection.recv()
        except EOFError:
            return
        if task is None:
            return
        start, chunk, arguments = task
        connection.send((start, match_chunk(trie, start, chunk, arguments)))
