"""Batch matching: many queries against one trie, answered on native threads
of this process (the default), in the calling thread, on local worker
processes or on a Dask cluster.

The layers: ``corvalind._chunks`` holds what every engine shares; each
engine lives in a module of its own (``_on_threads``, ``_on_processes``,
``_on_dask``) imported only when it is used; this module checks the arguments (the client
included) before any engine is imported, and streams the engines' chunk
results back in query order.
"""

from __future__ import annotations

import functools
import os
import sys
from collections.abc import Callable, Iterable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from types import ModuleType, TracebackType
from typing import TYPE_CHECKING, Literal, Protocol, Self, TypeVar, cast, overload

from _corvalind import PrefixSearch

from corvalind._chunks import (
    EMPTY_TRIE,
    ChunkOutcome,
    MatchArguments,
    Matches,
    QueryFailure,
    TermMatch,
    VideoMatch,
    chunks,
    gather_outcome,
    match_chunk,
    note_query,
    restore,
    snapshot_of,
)
from corvalind._progress import progress_bar

if TYPE_CHECKING:
    from distributed import Client

__all__ = ["Matches", "PartitionMatcher", "TermMatch", "VideoMatch", "iter_matches", "match_many", "partition_matcher"]

ColumnT = TypeVar("ColumnT", bound="Column")

THREAD_CHUNK_SIZE = 64
"""Queries per chunk on threads: a chunk costs a few microseconds to hand
over, and small chunks keep the threads evenly loaded when queries differ a
hundredfold in cost."""

DEFAULT_CHUNK_SIZE = 2000
"""Queries per chunk sent to a process or a Dask worker at most: large
enough that sending it costs little next to answering it, small enough for
even load and a live progress bar."""

WINDOW_PER_WORKER = 4
"""Chunks in flight per worker by default: enough that no worker waits for
the next chunk while the caller takes in the last one."""


class Engine(Protocol):
    """Answers submitted chunks; ``collect`` gives the (start, outcome) of
    one finished chunk, in any order. Leaving the context ends its work."""

    def __enter__(self) -> Self: ...
    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None, trace: TracebackType | None) -> None: ...
    def submit(self, start: int, chunk: list[str]) -> None: ...
    def collect(self) -> tuple[int, ChunkOutcome]: ...


class _InThisThread:
    """The serial loop: chunks answered by the calling thread, when collected."""

    def __init__(self, trie: PrefixSearch | QueryFailure, arguments: MatchArguments) -> None:
        self._trie = trie
        self._arguments = arguments
        self._waiting: list[tuple[int, list[str]]] = []

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self._waiting.clear()

    def submit(self, start: int, chunk: list[str]) -> None:
        self._waiting.append((start, chunk))

    def collect(self) -> tuple[int, ChunkOutcome]:
        start, chunk = self._waiting.pop(0)
        return start, match_chunk(self._trie, start, chunk, self._arguments)


@dataclass(frozen=True, slots=True)
class _Plan:
    """A checked batch: what to call, and where."""

    trie_or_snapshot: PrefixSearch | bytes
    arguments: MatchArguments
    threads: int | None
    processes: int | None
    client: Client | None
    chunk_size: int | None
    window: int | None

    def workers(self) -> int:
        if self.client is not None:
            return int(_dask_side().worker_count(self.client))
        return self.threads or self.processes or 1

    def default_chunk_size(self, queries: int | None) -> int:
        """``chunk_size``, else the engine's default, smaller for a short
        batch so that every worker gets several chunks."""
        if self.chunk_size is not None:
            return self.chunk_size
        largest = THREAD_CHUNK_SIZE if self.threads is not None else DEFAULT_CHUNK_SIZE
        return largest if queries is None else max(1, min(largest, -(-queries // (WINDOW_PER_WORKER * self.workers()))))

    @contextmanager
    def engine(self, window: int) -> Iterator[Engine]:
        if self.threads is not None and self.threads > 1:
            from corvalind._on_threads import ThreadEngine

            trie = self.trie_or_snapshot
            trie = trie if isinstance(trie, PrefixSearch) else PrefixSearch.from_bytes(trie)
            # More threads than chunks in flight would only wait.
            with ThreadEngine(trie, self.arguments, min(self.threads, window)) as threads:
                yield threads
        elif self.client is not None:
            on_dask = _dask_side()
            with (
                on_dask.trie_on_workers(self.client, snapshot_of(self.trie_or_snapshot)) as trie_name,
                on_dask.DaskEngine(self.client, trie_name, self.arguments) as engine,
            ):
                yield engine
        elif self.processes is not None and self.processes > 1:
            from corvalind._on_processes import ProcessEngine

            with ProcessEngine(snapshot_of(self.trie_or_snapshot), self.arguments, self.processes) as processes:
                yield processes
        else:
            trie = self.trie_or_snapshot
            with _InThisThread(trie if isinstance(trie, PrefixSearch) else restore(trie), self.arguments) as serial:
                yield serial

    def stream(self, queries: Iterable[str], chunk_size: int, on_chunk: Callable[[int], object] | None = None) -> Iterator[Matches]:
        """Each query's results, in query order, with at most ``window``
        chunks submitted and not yet given out."""
        window = self.window or WINDOW_PER_WORKER * self.workers()
        source = chunks(queries, chunk_size)
        finished: dict[int, list[Matches]] = {}
        in_flight = 0
        next_start = 0
        with self.engine(window) as engine:
            while True:
                while in_flight < window and (task := next(source, None)) is not None:
                    engine.submit(*task)
                    in_flight += 1
                if in_flight == 0:
                    return
                start, outcome = engine.collect()
                finished[start] = gather_outcome(outcome)
                while next_start in finished:
                    results = finished.pop(next_start)
                    in_flight -= 1
                    next_start += len(results)
                    if on_chunk is not None:
                        on_chunk(len(results))
                    yield from results


def _plan(
    trie_or_snapshot: object,
    videos: object,
    max_dist: int,
    limit: int | None,
    include_prefix_nodes: bool | None,
    threads: int | None,
    processes: int | None,
    client: object,
    chunk_size: int | None,
    window: int | None,
) -> _Plan:
    """Checks every argument but the queries, in the order of the
    signature, before any engine is imported or started."""
    if not isinstance(trie_or_snapshot, (PrefixSearch, bytes)):
        raise TypeError(
            f"argument 'trie_or_snapshot' must be a PrefixSearch or bytes, not '{type(trie_or_snapshot).__name__}'"
        )
    arguments = _checked_arguments(videos, max_dist, limit, include_prefix_nodes)
    given = [name for name, value in (("threads", threads), ("processes", processes), ("client", client)) if value is not None]
    if len(given) > 1:
        raise TypeError(f"{' and '.join(given)} cannot both be given" if len(given) == 2 else "give one of threads, processes and client")
    if client is not None:
        _check_client(client)
    if processes is not None:
        processes = min(_positive("processes", processes), _usable_cpus())
    elif client is None:
        threads = _usable_cpus() if threads is None else min(_positive("threads", threads), _MAX_THREADS_PER_CPU * _usable_cpus())
    for name, value in (("chunk_size", chunk_size), ("window", window)):
        if value is not None:
            _positive(name, value)
    return _Plan(trie_or_snapshot, arguments, threads, processes, cast("Client | None", client), chunk_size, window)


@overload
def match_many(
    trie_or_snapshot: PrefixSearch | bytes,
    queries: Iterable[str],
    *,
    videos: Literal[False] = False,
    max_dist: int = 1,
    limit: int | None = None,
    include_prefix_nodes: None = None,
    threads: int | None = None,
    processes: int | None = None,
    client: Client | None = None,
    chunk_size: int | None = None,
) -> list[list[TermMatch]]: ...


@overload
def match_many(
    trie_or_snapshot: PrefixSearch | bytes,
    queries: Iterable[str],
    *,
    videos: Literal[True],
    max_dist: int = 1,
    limit: int | None = None,
    include_prefix_nodes: bool | None = None,
    threads: int | None = None,
    processes: int | None = None,
    client: Client | None = None,
    chunk_size: int | None = None,
) -> list[list[VideoMatch]]: ...


def match_many(
    trie_or_snapshot: PrefixSearch | bytes,
    queries: Iterable[str],
    *,
    videos: bool = False,
    max_dist: int = 1,
    limit: int | None = None,
    include_prefix_nodes: bool | None = None,
    threads: int | None = None,
    processes: int | None = None,
    client: Client | None = None,
    chunk_size: int | None = None,
) -> list[list[TermMatch]] | list[list[VideoMatch]]:
    """Matches every query against one trie.

    Returns a list aligned with ``queries`` whose i-th element is
    ``trie.fuzzy_match(queries[i], max_dist, limit)`` or, with
    ``videos=True``, ``trie.fuzzy_match_video(queries[i], max_dist, limit,
    include_prefix_nodes)``. ``trie_or_snapshot`` is the trie or the bytes
    of its ``to_bytes()``.

    By default the queries are answered on native threads of this process,
    without the interpreter lock: ``threads`` of them (default: the CPUs
    this process may use, ``os.process_cpu_count()``, which honours its CPU
    affinity; never more than chunks in flight, nor than 4 per CPU), while
    the calling thread builds the result objects. ``threads=1`` answers in
    the calling thread, as a plain loop would. Ctrl-C (or an exception from
    any signal handler) ends the call within a few milliseconds, every
    thread joined.

    ``processes=N`` answers on up to N local worker processes instead,
    started afresh ('spawn') for the call and ended before it returns;
    never more of them than chunks, nor than the CPUs this process may use.
    ``processes=1`` answers in this process. Scripts that
    start processes must guard their top-level code with ``if __name__ ==
    "__main__":``. A worker that dies (killed, out of memory) has its chunk
    answered once more by a fresh worker; if that one dies too, RuntimeError.
    With a ``dask.distributed.Client`` the queries go to that cluster's
    workers (see ``corvalind._on_dask``). Either way each worker restores
    the trie once from the snapshot, sent to it once, and answers chunks of
    ``chunk_size`` queries.

    Raises the method's own error for bad ``max_dist``, ``limit`` or
    ``include_prefix_nodes``, TypeError or ValueError for the other
    arguments, all before any work starts; a query that raises ends the call
    with its exception, noted with the query's index (when several queries
    raise, the first failure to arrive). A snapshot that cannot be restored
    raises the restore's error from the first chunk.

    Cost: the query time divided among the workers, plus restoring the trie
    once per worker (about 0.1 s per million nodes) and sending the queries
    and results between processes. A progress bar is shown on standard
    error when it is a terminal.
    """
    plan = _plan(trie_or_snapshot, videos, max_dist, limit, include_prefix_nodes, threads, processes, client, chunk_size, None)
    batch = _checked_queries(queries)
    if not batch:
        return []
    size = plan.default_chunk_size(len(batch))
    with progress_bar(len(batch), "matching", unit="query") as bar:
        results = list(plan.stream(batch, size, bar.update))
    return cast(list[list[TermMatch]] | list[list[VideoMatch]], results)


def iter_matches(
    trie_or_snapshot: PrefixSearch | bytes,
    queries: Iterable[str],
    *,
    videos: bool = False,
    max_dist: int = 1,
    limit: int | None = None,
    include_prefix_nodes: bool | None = None,
    threads: int | None = None,
    processes: int | None = None,
    client: Client | None = None,
    chunk_size: int | None = None,
    window: int | None = None,
) -> Iterator[Matches]:
    """Yields what ``match_many`` returns, one query's results at a time, in
    query order, while later chunks are still being answered.

    ``queries`` is read lazily, ``chunk_size`` queries at a time (default
    64 on threads, 2,000 on processes and Dask), and at most ``window`` chunks (default 4 per worker) are in
    flight: sent and not yet yielded. So memory stays bounded by the window,
    whatever the number of queries. A query's failure is raised when its
    chunk's turn comes, after the results of every query before it.
    Arguments are checked, as by ``match_many``, when this is called, except
    the queries themselves, which are checked as they are read. Closing the
    iterator early stops the work.
    """
    plan = _plan(trie_or_snapshot, videos, max_dist, limit, include_prefix_nodes, threads, processes, client, chunk_size, window)
    if isinstance(queries, (str, bytes, bytearray, memoryview)) or not isinstance(queries, Iterable):
        raise TypeError(f"argument 'queries' must be an iterable of str, not '{type(queries).__name__}'")
    return plan.stream(queries, plan.default_chunk_size(None))


class Column(Protocol):
    """A column of query strings, such as a pandas Series."""

    def map(self, function: Callable[[str], Matches], /) -> Self: ...


@dataclass(frozen=True, slots=True)
class PartitionMatcher:
    """A function for ``map_partitions`` on a Dask column of query strings:
    gives the column of what each query returns. Runs only on the workers of
    the cluster it was made for, inside its ``partition_matcher`` context."""

    trie_name: str
    arguments: MatchArguments

    def __call__(self, partition: ColumnT) -> ColumnT:
        trie = _dask_side().trie_on_this_worker(self.trie_name)
        if isinstance(trie, QueryFailure):
            raise trie.error
        return partition.map(functools.partial(self.arguments.run, trie))


@contextmanager
def partition_matcher(
    client: Client,
    trie_or_snapshot: PrefixSearch | bytes,
    *,
    videos: bool = False,
    max_dist: int = 1,
    limit: int | None = None,
    include_prefix_nodes: bool | None = None,
) -> Iterator[PartitionMatcher]:
    """Puts the trie on the workers of ``client``'s cluster for the duration
    of the context and gives a ``PartitionMatcher`` for these arguments,
    checked here as ``match_many`` checks them::

        with corvalind.partition_matcher(client, trie, max_dist=2) as match:
            frame["matches"] = frame["query"].map_partitions(match, meta=("matches", object))
            frame = frame.persist()

    Compute the frame inside the context: the workers drop the trie when it
    ends. Pass ``meta`` so that Dask does not call the matcher in this process.
    Cost: as ``match_many`` on the cluster, the trie sent and restored once
    per worker.
    """
    plan = _plan(trie_or_snapshot, videos, max_dist, limit, include_prefix_nodes, None, None, client, None, None)
    with _dask_side().trie_on_workers(client, snapshot_of(plan.trie_or_snapshot)) as trie_name:
        yield PartitionMatcher(trie_name, plan.arguments)


def _checked_queries(queries: Iterable[str]) -> list[str]:
    if isinstance(queries, (str, bytes, bytearray, memoryview)) or not isinstance(queries, Iterable):
        raise TypeError(f"argument 'queries' must be an iterable of str, not '{type(queries).__name__}'")
    batch = list(queries)
    for index, query in enumerate(batch):
        if not isinstance(query, str):
            try:
                EMPTY_TRIE.fuzzy_match(query)
            except TypeError as error:
                note_query(error, index)
                raise
    return batch


def _checked_arguments(videos: object, max_dist: int, limit: int | None, include_prefix_nodes: bool | None) -> MatchArguments:
    if not isinstance(videos, bool):
        raise TypeError(f"argument 'videos' must be a bool, not '{type(videos).__name__}'")
    if not videos and include_prefix_nodes is not None:
        raise TypeError("argument 'include_prefix_nodes' applies only with videos=True")
    arguments = MatchArguments(videos, max_dist, limit, include_prefix_nodes)
    arguments.check()
    return arguments


def _check_client(client: object) -> None:
    """Refuses anything but a Dask client without importing Dask: when
    ``distributed`` was never imported, nothing can be one of its clients."""
    distributed = sys.modules.get("distributed")
    if distributed is None or not isinstance(client, distributed.Client):
        raise TypeError(f"argument 'client' must be a dask.distributed.Client, not '{type(client).__name__}'")


def _dask_side() -> ModuleType:
    try:
        from corvalind import _on_dask
    except ImportError as error:
        raise ImportError("a Dask client needs the dask extra: pip install 'corvalind[dask]'") from error
    return _on_dask


def _positive(name: str, value: int) -> int:
    if not isinstance(value, int) or isinstance(value, bool):
        raise TypeError(f"argument '{name}' must be an int, not '{type(value).__name__}'")
    if value < 1:
        raise ValueError(f"argument '{name}' must be at least 1, not {value}")
    return value


_MAX_THREADS_PER_CPU = 4


def _usable_cpus() -> int:
    """The CPUs this process may run on (its affinity mask, where the
    system has one)."""
    return os.process_cpu_count() or 1
