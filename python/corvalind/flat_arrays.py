"""Flat-array form of a term trie, as ``from_internal_data_v2`` reads it.

Nodes are numbered breadth first from the root (node 0), the children of a
node in label order, so every child has a higher number than its parent.
Node i's outgoing edges are the positions ``node_shifts[i]`` up to
``node_shifts[i + 1]`` (the end of ``child_transitions`` for the last node)
of ``child_transitions``; each edge carries the label of the node it enters.
"""

from __future__ import annotations

import itertools
import uuid
from collections.abc import Iterable
from dataclasses import dataclass
from typing import Literal

VideoId = int | uuid.UUID | bytes | bytearray
"""An external video id: an int in 0..2**32-1, or a UUID (object or 16 bytes)."""

Record = tuple[str, VideoId, int]
"""One observation: a term, the video it names, and how often."""

PayloadTuple = tuple[int, list[int], list[int]]
"""(total, internal video numbers, counts) of the node where a term ends."""

MAX_U32 = 2**32 - 1
MAX_TERM_LENGTH = 1000
"""The default limit on a term's length in characters: longer terms are
refused, as no search box sends them and each costs a node per character."""


class RecordError(ValueError):
    """A record that ``build_flat_arrays`` refuses. ``position`` counts the
    records from 0, ``reason`` says what is wrong, and the message is
    "record {position}: {reason}"."""

    def __init__(self, position: int, reason: str) -> None:
        super().__init__(f"record {position}: {reason}")
        self.position = position
        self.reason = reason


@dataclass(frozen=True, slots=True)
class FlatArrays:
    """The five flat arrays of a trie.

    ``payloads[i]`` is None unless a term ends at node i. Internal video
    numbers in the payloads are positions in ``video_index``, whose entries
    are all 4 bytes (little-endian ints) or all 16 bytes (UUIDs).
    """

    node_shifts: list[int]
    child_labels: list[str]
    payloads: list[PayloadTuple | None]
    child_transitions: list[int]
    video_index: list[bytes]

    def arguments(self, video_top_n: int) -> tuple[
        list[int], list[str], list[PayloadTuple | None], list[int], list[bytes], int
    ]:
        """The six arguments of ``PrefixSearch.from_internal_data_v2``, in order."""
        return (
            self.node_shifts,
            self.child_labels,
            self.payloads,
            self.child_transitions,
            self.video_index,
            video_top_n,
        )


class _VideoIndex:
    """Internal video numbers in order of first appearance, one id kind only."""

    def __init__(self) -> None:
        self.numbers: dict[int | bytes, int] = {}
        self.entries: list[bytes] = []
        self.kind: Literal["int", "uuid"] | None = None

    def number(self, video_id: VideoId) -> int:
        key, kind = _id_key(video_id)
        if self.kind is None:
            self.kind = kind
        elif kind != self.kind:
            raise ValueError(
                f"video id {video_id!r} is of another kind than the first one ({self.kind}): "
                "ids must be all ints or all UUIDs"
            )
        number = self.numbers.get(key)
        if number is None:
            number = self.numbers[key] = len(self.entries)
            self.entries.append(key.to_bytes(4, "little") if isinstance(key, int) else key)
        return number


def _id_key(video_id: VideoId) -> tuple[int | bytes, Literal["int", "uuid"]]:
    if isinstance(video_id, bool):
        raise TypeError(f"video id must be an int, a UUID or 16 bytes, not {video_id!r}")
    if isinstance(video_id, int):
        if not 0 <= video_id <= MAX_U32:
            raise ValueError(f"int video id {video_id} out of range [0..{MAX_U32}]")
        return video_id, "int"
    if isinstance(video_id, uuid.UUID):
        return video_id.bytes, "uuid"
    if isinstance(video_id, bytes | bytearray):
        if len(video_id) != 16:
            raise ValueError(f"byte video id must be 16 bytes long, not {len(video_id)}")
        return bytes(video_id), "uuid"
    raise TypeError(f"video id must be an int, a UUID or 16 bytes, not {type(video_id).__name__}")


def _check_term(term: object, max_term_length: int | None) -> str:
    if not isinstance(term, str):
        raise TypeError(f"term must be a str, not {type(term).__name__}")
    # First, so that the messages below never quote a term past the limit.
    if max_term_length is not None and len(term) > max_term_length:
        raise ValueError(
            f"term {term[:20]!r}... of {len(term)} characters is longer than the limit of {max_term_length}"
        )
    try:
        term.encode("utf-8")
    except UnicodeEncodeError:
        raise ValueError(f"term {term!r} is not valid UTF-8 (lone surrogate)") from None
    # Queries never reach the root's payload nor a node labelled U+0000.
    if not term:
        raise ValueError("the empty term can never be found")
    if "\0" in term:
        raise ValueError(f"term {term!r} contains U+0000 and can never be found")
    return term


def _check_count(count: object) -> int:
    if isinstance(count, bool) or not isinstance(count, int):
        raise TypeError(f"count must be an int, not {type(count).__name__}")
    if not 0 <= count <= MAX_U32:
        raise ValueError(f"count {count} out of range [0..{MAX_U32}]")
    return count


def build_flat_arrays(records: Iterable[Record], *, max_term_length: int | None = MAX_TERM_LENGTH) -> FlatArrays:
    """Builds the trie of the records' terms in flat-array form.

    Every term gets a path of one node per character (Unicode code point)
    below the root, and the node where it ends gets a payload: its total is
    the sum of the term's counts, and each video named with the term appears
    once, with its counts summed, in order of first appearance. Totals and
    summed counts saturate at 2**32-1, as the trie's own sums do. Internal
    video numbers follow the first appearance of each id across all records.
    With no records the trie is the root alone.

    Raises TypeError for a term that is not a str, a count that is not an
    int, or a video id of another type. Raises RecordError (a ValueError
    carrying the record's position, counted from 0) for a record that is not
    three items, a count or int id outside 0..2**32-1, a byte id that is not
    16 bytes long, a term with a lone surrogate, the empty term or a term
    containing U+0000 (no query finds either), a term of more than
    ``max_term_length`` characters (None: no limit), or an id of the other
    kind (ints and UUIDs) than the first record's.
    Cost: a sort of the distinct terms, then time and memory linear in their
    total length.
    """
    index = _VideoIndex()
    videos: dict[str, dict[int, int]] = {}  # term -> internal video number -> summed count
    totals: dict[str, int] = {}
    for position, record in enumerate(records):
        try:
            term, video_id, count = record
            term = _check_term(term, max_term_length)
            count = _check_count(count)
            video = index.number(video_id)
        except ValueError as error:
            raise RecordError(position, str(error)) from None
        totals[term] = min(totals.get(term, 0) + count, MAX_U32)
        counts = videos.get(term)
        if counts is None:
            counts = videos[term] = {}
        counts[video] = min(counts.get(video, 0) + count, MAX_U32)

    # The sorted terms, each below the longest prefix it shares with the one
    # before, list the nodes in depth-first order with children in label
    # order (here numbered in that order, the root 0).
    parents = [0]
    depths = [0]
    labels = [""]
    ends: dict[str, int] = {}  # term -> depth-first number of its node
    path = [0]  # depth-first numbers of the nodes from the root to the last term's end
    previous = ""
    for term in sorted(totals):
        shared = _shared_prefix_length(previous, term)
        del path[shared + 1 :]
        for label in term[shared:]:
            parents.append(path[-1])
            depths.append(len(path))
            labels.append(label)
            path.append(len(parents) - 1)
        ends[term] = path[-1]
        previous = term

    # Taken depth by depth, depth-first order is breadth-first order: within
    # one depth both sort the nodes by their paths.
    by_depth: list[list[int]] = [[] for _ in range(len(max(totals, key=len, default="")) + 1)]
    for node, depth in enumerate(depths):
        by_depth[depth].append(node)
    order = list(itertools.chain.from_iterable(by_depth))
    number = [0] * len(order)
    for k, node in enumerate(order):
        number[node] = k

    # Children of one node are consecutive in this order, so the edges are
    # simply 1..N-1 and node i's edges start after the children of 0..i-1.
    child_counts = [0] * len(order)
    for node in order[1:]:
        child_counts[number[parents[node]]] += 1
    node_shifts = list(itertools.accumulate(child_counts[:-1], initial=0))
    payloads: list[PayloadTuple | None] = [None] * len(order)
    for term, total in totals.items():
        per_video = videos[term]
        payloads[number[ends[term]]] = (total, list(per_video), list(per_video.values()))
    return FlatArrays(
        node_shifts=node_shifts,
        child_labels=[labels[node] for node in order],
        payloads=payloads,
        child_transitions=list(range(1, len(order))),
        video_index=index.entries,
    )


def _shared_prefix_length(first: str, second: str) -> int:
    """The length of the longest common prefix, found by bisection over
    slice comparisons, so long shared prefixes cost C time, not a loop."""
    low, high = 0, min(len(first), len(second))
    while low < high:
        middle = (low + high + 1) // 2
        if first[low:middle] == second[low:middle]:
            low = middle
        else:
            high = middle - 1
    return low
