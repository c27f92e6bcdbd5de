"""Batch matching on a Dask cluster; imported only when a client is given,
so that the package itself never imports Dask.

The snapshot reaches the workers inside a worker plugin: the scheduler keeps
it and sets it up on every worker, those that join or restart later
included, and each worker restores the trie once. Every call registers its
own plugin under a name of its own and removes it when it ends, so calls on
one client never disturb one another and workers free the trie afterwards.
"""

from __future__ import annotations

import uuid
from collections.abc import Iterator
from contextlib import contextmanager

from distributed import Client, Future, Worker, WorkerPlugin, as_completed, get_worker

from _corvalind import PrefixSearch

from corvalind._chunks import ChunkOutcome, MatchArguments, QueryFailure, match_chunk, restore


class TriePlugin(WorkerPlugin):
    """Restores the trie of a snapshot once on each worker it is set up on."""

    def __init__(self, snapshot: bytes) -> None:
        self.snapshot: bytes | None = snapshot
        self.trie: PrefixSearch | QueryFailure | None = None

    def setup(self, worker: Worker) -> None:
        if self.snapshot is not None:
            self.trie = restore(self.snapshot)
            self.snapshot = None  # the scheduler keeps the bytes for later workers

    def teardown(self, worker: Worker) -> None:
        self.trie = None


def check_client(client: object) -> None:
    if not isinstance(client, Client):
        raise TypeError(f"argument 'client' must be a dask.distributed.Client, not '{type(client).__name__}'")


def worker_count(client: Client) -> int:
    """The threads the cluster's workers run tasks on now (at least 1)."""
    threads: dict[str, int] = client.nthreads()  # type: ignore[no-untyped-call]
    return max(1, sum(threads.values()))


@contextmanager
def trie_on_workers(client: Client, snapshot: bytes) -> Iterator[str]:
    """Puts the trie on every worker of the cluster for the duration of the
    context; gives the name that tasks find it under (``trie_on_this_worker``).
    Cost: the snapshot sent once to the scheduler and once to each worker,
    and a restore on each worker."""
    name = f"corvalind-trie-{uuid.uuid4().hex}"
    client.register_plugin(TriePlugin(snapshot), name=name)
    try:
        yield name
    finally:
        client.unregister_worker_plugin(name)  # type: ignore[no-untyped-call]


def trie_on_this_worker(name: str) -> PrefixSearch | QueryFailure:
    """The trie that ``trie_on_workers`` put on the worker running the caller."""
    plugin = get_worker().plugins.get(name)
    if not isinstance(plugin, TriePlugin) or plugin.trie is None:
        raise RuntimeError(f"worker has no trie named {name!r}: the call or context that put it there has ended")
    return plugin.trie


class DaskEngine:
    """Chunks answered as futures on ``client``'s cluster, results in any
    order. Each future is released as soon as its result is here, so a
    worker that dies loses only the chunks it was running, which the
    scheduler runs again elsewhere. Leaving the context cancels what has not
    finished."""

    def __init__(self, client: Client, trie_name: str, arguments: MatchArguments) -> None:
        self._client = client
        self._trie_name = trie_name
        self._arguments = arguments
        self._pending: dict[object, Future[tuple[int, ChunkOutcome]]] = {}
        self._finished = as_completed()  # type: ignore[no-untyped-call]

    def __enter__(self) -> DaskEngine:
        return self

    def __exit__(self, *exc_info: object) -> None:
        if self._pending:
            self._client.cancel(list(self._pending.values()))  # type: ignore[no-untyped-call]
            self._pending.clear()

    def submit(self, start: int, chunk: list[str]) -> None:
        future: Future[tuple[int, ChunkOutcome]] = self._client.submit(
            _match_on_worker, start, chunk, trie_name=self._trie_name, arguments=self._arguments, pure=False
        )
        self._pending[future.key] = future
        self._finished.add(future)  # type: ignore[no-untyped-call]

    def collect(self) -> tuple[int, ChunkOutcome]:
        future = next(self._finished)
        outcome: tuple[int, ChunkOutcome] = future.result()
        del self._pending[future.key]
        future.release()
        return outcome


def _match_on_worker(start: int, chunk: list[str], trie_name: str, arguments: MatchArguments) -> tuple[int, ChunkOutcome]:
    return start, match_chunk(trie_on_this_worker(trie_name), start, chunk, arguments)
