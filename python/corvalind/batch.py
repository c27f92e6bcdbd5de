"""Batch matching: many queries against one trie, on local worker processes
or on a Dask cluster (``corvalind._on_dask``, imported only when a client is
given).

A query holds the interpreter lock and a ``PrefixSearch`` cannot be pickled,
so the work goes to processes that each restore the trie once from its
snapshot and then answer chunks of queries.
"""

from __future__ import annotations

import functools
import multiprocessing
import os
from collections.abc import Callable, Iterable, Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass
from types import ModuleType
from typing import TYPE_CHECKING, Literal, Protocol, Self, TypeVar, cast, overload

from _corvalind import PrefixSearch

from corvalind._progress import progress_bar

if TYPE_CHECKING:
    from distributed import Client

TermMatch = tuple[str, int, int]
"""One ``fuzzy_match`` result: (stored term, 1, distance)."""

VideoMatch = tuple[str, float]
"""One ``fuzzy_match_video`` result: (external video id, score)."""

Matches = list[TermMatch] | list[VideoMatch]
"""What one query returns."""

ColumnT = TypeVar("ColumnT", bound="Column")

DEFAULT_CHUNK_SIZE = 2000
"""Queries per task at most: large enough that sending a task costs little
next to answering it, small enough for even load and a live progress bar."""

_EMPTY_TRIE = PrefixSearch.from_bytes(bytes(8))
"""Answers every query with []: calling a method on it checks the arguments
exactly as the method does, at no cost."""


@dataclass(frozen=True, slots=True)
class MatchArguments:
    """Which method a batch calls, and its arguments after the term."""

    videos: bool
    max_dist: int
    limit: int | None
    include_prefix_nodes: bool | None

    def check(self) -> None:
        """Raises the error the method itself would raise for these arguments."""
        self.run(_EMPTY_TRIE, "")

    def run(self, trie: PrefixSearch, query: str) -> Matches:
        if self.videos:
            return trie.fuzzy_match_video(query, self.max_dist, self.limit, self.include_prefix_nodes)
        return trie.fuzzy_match(query, self.max_dist, self.limit)


@dataclass(frozen=True, slots=True)
class QueryFailure:
    """A chunk stopped: ``error`` is what query ``index`` of the batch raised
    (None when the trie could not be restored)."""

    index: int | None
    error: BaseException

    def reraise(self) -> None:
        if self.index is not None:
            self.error.add_note(f"raised by query {self.index} of the batch")
        raise self.error


ChunkOutcome = list[Matches] | QueryFailure


def restore(snapshot: bytes) -> PrefixSearch | QueryFailure:
    """The trie of ``snapshot``, or the failure restoring it raised, to be
    reported by every chunk a worker is given."""
    try:
        return PrefixSearch.from_bytes(snapshot)
    except BaseException as error:
        return QueryFailure(None, error)


def match_chunk(trie: PrefixSearch | QueryFailure, start: int, chunk: Sequence[str], arguments: MatchArguments) -> ChunkOutcome:
    """The results of ``chunk`` (queries ``start`` on of the batch), or the
    first failure. Never raises, so that an exception derived from
    BaseException alone reaches the caller rather than ending a worker."""
    if isinstance(trie, QueryFailure):
        return trie
    results: list[Matches] = []
    for offset, query in enumerate(chunk):
        try:
            results.append(arguments.run(trie, query))
        except BaseException as error:
            return QueryFailure(start + offset, error)
    return results


def gather_outcome(outcome: ChunkOutcome) -> list[Matches]:
    """The results of a chunk; raises the failure it carries."""
    if isinstance(outcome, QueryFailure):
        outcome.reraise()
        raise AssertionError("unreachable")
    return outcome


@overload
def match_many(
    trie_or_snapshot: PrefixSearch | bytes,
    queries: Iterable[str],
    *,
    videos: Literal[False] = False,
    max_dist: int = 1,
    limit: int | None = None,
    include_prefix_nodes: None = None,
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
    processes: int | None = None,
    client: Client | None = None,
    chunk_size: int | None = None,
) -> list[list[TermMatch]] | list[list[VideoMatch]]:
    """Matches every query against one trie, on many processes.

    Returns a list aligned with ``queries`` whose i-th element is
    ``trie.fuzzy_match(queries[i], max_dist, limit)`` or, with
    ``videos=True``, ``trie.fuzzy_match_video(queries[i], max_dist, limit,
    include_prefix_nodes)``. ``trie_or_snapshot`` is the trie or the bytes
    of its ``to_bytes()``.

    Without ``client`` the queries go to ``processes`` local worker
    processes (default: the CPUs this process may use), started afresh
    ('spawn') for the call and ended before it returns; ``processes=1``
    answers them in this process. Scripts that call it must guard their
    top-level code with ``if __name__ == "__main__":``, as with any spawned
    process. With a ``dask.distributed.Client`` they go to that cluster's
    workers (see ``corvalind._on_dask``). Either way each worker restores
    the trie once from the snapshot, sent to it once, and answers chunks of
    ``chunk_size`` queries.

    Raises the method's own error for bad ``max_dist``, ``limit`` or
    ``include_prefix_nodes``, TypeError or ValueError for the other
    arguments, all before any work starts; a query that raises ends the call
    with its exception, noted with the query's index (chunks finish in any
    order: when several queries raise, the first failure to arrive). A snapshot that
    cannot be restored raises the restore's error from the first chunk.

    Cost: the query time divided among the workers, plus restoring the trie
    once per worker (about 0.1 s per million nodes) and sending the queries
    and results between processes. A progress bar is shown on standard
    error when it is a terminal.
    """
    _check_trie(trie_or_snapshot)
    batch = _checked_queries(queries)
    arguments = _checked_arguments(videos, max_dist, limit, include_prefix_nodes)
    if client is not None and processes is not None:
        raise TypeError("processes and client cannot both be given")
    if client is None:
        processes = (os.process_cpu_count() or 1) if processes is None else _positive("processes", processes)
    else:
        _dask_side().check_client(client)
    if chunk_size is not None:
        _positive("chunk_size", chunk_size)
    if not batch:
        return []

    workers = processes if client is None else _dask_side().worker_count(client)
    size = chunk_size or min(DEFAULT_CHUNK_SIZE, -(-len(batch) // (4 * (workers or 1))))
    results: list[Matches | None] = [None] * len(batch)
    with (
        progress_bar(len(batch), "matching", unit="query") as bar,
        _outcomes(trie_or_snapshot, batch, arguments, size, processes, client) as outcomes,
    ):
        for start, outcome in outcomes:
            chunk = gather_outcome(outcome)
            results[start : start + len(chunk)] = chunk
            bar.update(len(chunk))
    return cast(list[list[TermMatch]] | list[list[VideoMatch]], results)


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
    _check_trie(trie_or_snapshot)
    arguments = _checked_arguments(videos, max_dist, limit, include_prefix_nodes)
    on_dask = _dask_side()
    on_dask.check_client(client)
    with on_dask.trie_on_workers(client, snapshot_of(trie_or_snapshot)) as trie_name:
        yield PartitionMatcher(trie_name, arguments)


@contextmanager
def _outcomes(
    trie_or_snapshot: PrefixSearch | bytes,
    batch: list[str],
    arguments: MatchArguments,
    chunk_size: int,
    processes: int | None,
    client: Client | None,
) -> Iterator[Iterator[tuple[int, ChunkOutcome]]]:
    """The (start, outcome) of every chunk, in any order; leaving the context
    stops and releases whatever still runs, on errors too."""
    if client is not None:
        on_dask = _dask_side()
        with on_dask.trie_on_workers(client, snapshot_of(trie_or_snapshot)) as trie_name:
            yield on_dask.match_on_cluster(client, trie_name, batch, arguments, chunk_size)
    elif processes == 1:
        trie = trie_or_snapshot if isinstance(trie_or_snapshot, PrefixSearch) else restore(trie_or_snapshot)
        yield ((start, match_chunk(trie, start, chunk, arguments)) for start, chunk in chunks(batch, chunk_size))
    else:
        # 'spawn' rather than 'fork': the caller may have threads (a
        # progress-bar monitor, a Dask client) whose locks a forked child
        # would inherit held. Leaving the pool terminates and joins its workers.
        context = multiprocessing.get_context("spawn")
        workers = min(processes or 1, -(-len(batch) // chunk_size))
        with context.Pool(workers, initializer=_start_worker, initargs=(snapshot_of(trie_or_snapshot),)) as pool:
            tasks = ((start, chunk, arguments) for start, chunk in chunks(batch, chunk_size))
            yield pool.imap_unordered(_match_in_worker, tasks)


def chunks(batch: list[str], chunk_size: int) -> Iterator[tuple[int, list[str]]]:
    """(start, queries) of consecutive slices of ``batch``."""
    for start in range(0, len(batch), chunk_size):
        yield start, batch[start : start + chunk_size]


def _check_trie(trie_or_snapshot: object) -> None:
    if not isinstance(trie_or_snapshot, (PrefixSearch, bytes)):
        raise TypeError(
            f"argument 'trie_or_snapshot' must be a PrefixSearch or bytes, not '{type(trie_or_snapshot).__name__}'"
        )


def _checked_queries(queries: Iterable[str]) -> list[str]:
    if isinstance(queries, (str, bytes, bytearray, memoryview)) or not isinstance(queries, Iterable):
        raise TypeError(f"argument 'queries' must be an iterable of str, not '{type(queries).__name__}'")
    batch = list(queries)
    for index, query in enumerate(batch):
        if not isinstance(query, str):
            try:
                _EMPTY_TRIE.fuzzy_match(query)
            except TypeError as error:
                error.add_note(f"raised by query {index} of the batch")
                raise
    return batch


def _checked_arguments(videos: bool, max_dist: int, limit: int | None, include_prefix_nodes: bool | None) -> MatchArguments:
    if not isinstance(videos, bool):
        raise TypeError(f"argument 'videos' must be a bool, not '{type(videos).__name__}'")
    if not videos and include_prefix_nodes is not None:
        raise TypeError("argument 'include_prefix_nodes' applies only with videos=True")
    arguments = MatchArguments(videos, max_dist, limit, include_prefix_nodes)
    arguments.check()
    return arguments


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


def snapshot_of(trie_or_snapshot: PrefixSearch | bytes) -> bytes:
    return trie_or_snapshot if isinstance(trie_or_snapshot, bytes) else trie_or_snapshot.to_bytes()


# The trie of a local worker process, restored once by _start_worker.
_worker_trie: PrefixSearch | QueryFailure | None = None


def _start_worker(snapshot: bytes) -> None:
    global _worker_trie
    _worker_trie = restore(snapshot)


def _match_in_worker(task: tuple[int, list[str], MatchArguments]) -> tuple[int, ChunkOutcome]:
    assert _worker_trie is not None, "a worker answers only after _start_worker"
    start, chunk, arguments = task
    return start, match_chunk(_worker_trie, start, chunk, arguments)
