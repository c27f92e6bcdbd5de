"""The pieces every batch engine shares: which method a batch calls, a chunk
of queries answered in one place, and a failure carried back from wherever
that was. Imports no engine."""

from __future__ import annotations

from collections.abc import Iterable, Iterator
from dataclasses import dataclass
from itertools import islice

from _corvalind import PrefixSearch

TermMatch = tuple[str, int, int]
"""One ``fuzzy_match`` result: (stored term, 1, distance)."""

VideoMatch = tuple[str, float]
"""One ``fuzzy_match_video`` result: (external video id, score)."""

Matches = list[TermMatch] | list[VideoMatch]
"""What one query returns."""

EMPTY_TRIE = PrefixSearch.from_bytes(bytes(8))
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
        self.run(EMPTY_TRIE, "")

    def run(self, trie: PrefixSearch, query: str) -> Matches:
        if self.videos:
            return trie.fuzzy_match_video(query, self.max_dist, self.limit, self.include_prefix_nodes)
        return trie.fuzzy_match(query, self.max_dist, self.limit)


def note_query(error: BaseException, index: int) -> None:
    """Marks ``error`` as raised by query ``index`` of the batch."""
    error.add_note(f"raised by query {index} of the batch")


@dataclass(frozen=True, slots=True)
class QueryFailure:
    """A chunk stopped: ``error`` is what query ``index`` of the batch raised
    (None when the trie could not be restored)."""

    index: int | None
    error: BaseException

    def reraise(self) -> None:
        if self.index is not None:
            note_query(self.error, self.index)
        raise self.error


ChunkOutcome = list[Matches] | QueryFailure


def restore(snapshot: bytes) -> PrefixSearch | QueryFailure:
    """The trie of ``snapshot``, or the failure restoring it raised, to be
    reported by every chunk a worker is given."""
    try:
        return PrefixSearch.from_bytes(snapshot)
    except BaseException as error:
        return QueryFailure(None, error)


def match_chunk(
    trie: PrefixSearch | QueryFailure, start: int, chunk: list[str], arguments: MatchArguments
) -> ChunkOutcome:
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


def chunks(queries: Iterable[str], chunk_size: int) -> Iterator[tuple[int, list[str]]]:
    """(start, queries) of consecutive slices of ``queries``, read lazily."""
    source = iter(queries)
    start = 0
    while chunk := list(islice(source, chunk_size)):
        yield start, chunk
        start += len(chunk)


def snapshot_of(trie_or_snapshot: PrefixSearch | bytes) -> bytes:
    return trie_or_snapshot if isinstance(trie_or_snapshot, bytes) else trie_or_snapshot.to_bytes()
