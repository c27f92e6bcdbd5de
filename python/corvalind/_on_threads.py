"""Batch matching on native threads in this process (``corvalind._native``).

The threads answer chunks without the interpreter lock while the calling
thread converts the next queries and builds the result objects of finished
chunks, so the two overlap. Results come back in submission order.
"""

from __future__ import annotations

from types import TracebackType

from _corvalind import PrefixSearch

from corvalind._chunks import ChunkOutcome, MatchArguments
from corvalind._native import ThreadBatch


class ThreadEngine:
    """Chunks answered by ``threads`` native threads; leaving the context
    stops them (within a few milliseconds, mid-query) and joins them."""

    def __init__(self, trie: PrefixSearch, arguments: MatchArguments, threads: int) -> None:
        self._batch = ThreadBatch(
            trie, threads, arguments.videos, arguments.max_dist, arguments.limit, arguments.include_prefix_nodes
        )

    def __enter__(self) -> ThreadEngine:
        return self

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, trace: TracebackType | None
    ) -> None:
        self._batch.close()

    def submit(self, start: int, chunk: list[str]) -> None:
        self._batch.submit(start, chunk)

    def collect(self) -> tuple[int, ChunkOutcome]:
        """The oldest chunk's (start, results); raises a query's error, noted
        with its index in the batch."""
        return self._batch.collect()
