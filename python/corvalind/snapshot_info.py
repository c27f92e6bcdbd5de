"""Figures about a trie, read from its ``to_bytes()`` snapshot in pure Python.

The snapshot holds the trie's eight fields in order, each sequence as an
element count followed by its elements:

    node_shifts        integers       child_transitions  integers
    child_labels       UTF-8 chars    payloads           optional payloads
    video_uuids        16 bytes each  video_int_ids      integers
    id_mode            integer        is_terminal        one byte each

An integer is one byte up to 250, else a marker byte 251, 252 or 253
followed by 2, 4 or 8 little-endian bytes. A payload is a tag byte (0
absent, 1 present), then its total, its video numbers and its counts.
"""

from __future__ import annotations

import functools
import re
from collections import deque
from dataclasses import dataclass

# One integer, and one character by the width its lead byte gives (the
# continuation bytes are not checked: PrefixSearch.from_bytes does that).
_UINT = rb"[\x00-\xfa]|\xfb..|\xfc....|\xfd........"
_CHAR = rb"[\x00-\x7f]|[\xc2-\xdf].|[\xe0-\xef]..|[\xf0-\xf4]..."
_ONE_UINT = re.compile(_UINT, re.S)
_RUN_CHUNK = 50_000  # elements per regex match, well below re's repetition limit
_ID_MODES = {0: "uuid", 1: "int32"}


@functools.lru_cache(maxsize=512)
def _run(element: bytes, count: int) -> re.Pattern[bytes]:
    return re.compile(b"(?:%s){%d}" % (element, count), re.S)


@dataclass(frozen=True, slots=True)
class SnapshotInfo:
    """What a snapshot holds. ``depth`` is the longest path from the root to
    a node reachable from it (0 for the root alone or no nodes)."""

    nodes: int
    terms: int
    videos: int
    id_mode: str
    payload_entries: int
    depth: int
    snapshot_bytes: int


class _Cursor:
    """A bounded forward read over a snapshot. Runs of elements are matched
    by regular expressions, so a million integers are read at C speed."""

    def __init__(self, data: bytes) -> None:
        self.data = data
        self.pos = 0

    def fail(self, what: str) -> ValueError:
        return ValueError(f"{what} at byte {self.pos} of the snapshot")

    def byte(self) -> int:
        if self.pos >= len(self.data):
            raise self.fail("snapshot ends")
        self.pos += 1
        return self.data[self.pos - 1]

    def uint(self) -> int:
        match = _ONE_UINT.match(self.data, self.pos)
        if match is None:
            raise self.fail("no integer")
        self.pos = match.end()
        token = match.group()
        return token[0] if len(token) == 1 else int.from_bytes(token[1:], "little")

    def count(self, element_size: int = 1) -> int:
        """A sequence's element count, refused when the rest cannot hold it."""
        count = self.uint()
        if count * element_size > len(self.data) - self.pos:
            raise self.fail(f"a sequence of {count} elements runs past the end")
        return count

    def skip_run(self, element: bytes, count: int) -> None:
        """Moves past ``count`` elements of the given pattern."""
        while count:
            chunk = min(count, _RUN_CHUNK)
            match = _run(element, chunk).match(self.data, self.pos)
            if match is None:
                raise self.fail(f"a run of {chunk} elements does not read")
            self.pos = match.end()
            count -= chunk

    def uints(self) -> list[int]:
        count = self.count()
        start = self.pos
        self.skip_run(_UINT, count)
        return [
            token[0] if len(token) == 1 else int.from_bytes(token[1:], "little")
            for token in _ONE_UINT.findall(self.data, start, self.pos)
        ]

    def skip_uints(self) -> int:
        """Moves past a sequence of integers; returns its length."""
        count = self.count()
        self.skip_run(_UINT, count)
        return count

    def id_mode(self) -> str:
        id_mode = _ID_MODES.get(self.uint())
        if id_mode is None:
            raise self.fail("invalid id mode")
        return id_mode

    def terminal_flags(self) -> bytes:
        """The is_terminal sequence, one byte 0 or 1 a node."""
        terminal = self.take(self.count())
        if terminal.translate(None, b"\x00\x01"):
            raise ValueError("is_terminal holds a byte other than 0 and 1")
        return terminal

    def take(self, size: int) -> bytes:
        if size > len(self.data) - self.pos:
            raise self.fail("snapshot ends")
        self.pos += size
        return self.data[self.pos - size : self.pos]


@dataclass(frozen=True, slots=True)
class SnapshotFields:
    """The eight fields of a snapshot as plain values: labels as
    one-character strings ("\\0" for U+0000), payloads as (total, video
    numbers, counts) or None, the id mode as "uuid" or "int32"."""

    node_shifts: list[int]
    child_labels: list[str]
    child_transitions: list[int]
    payloads: list[tuple[int, list[int], list[int]] | None]
    video_uuids: list[bytes]
    video_int_ids: list[int]
    id_mode: str
    is_terminal: list[bool]


def snapshot_fields(snapshot: bytes) -> SnapshotFields:
    """Decodes every field of a snapshot, to look at what a trie stores.

    Raises ValueError for bytes that do not read as a snapshot, as far as
    this reader looks (``PrefixSearch.from_bytes`` checks everything).
    Cost: one pass in Python, a few seconds per million nodes.
    """
    cursor = _Cursor(snapshot)
    node_shifts = cursor.uints()
    labels = cursor.count()
    start = cursor.pos
    cursor.skip_run(_CHAR, labels)
    try:
        child_labels = list(snapshot[start : cursor.pos].decode("utf-8"))
    except UnicodeDecodeError as error:
        raise ValueError(f"child_labels hold bytes that are not UTF-8 at byte {start + error.start}") from None
    child_transitions = cursor.uints()
    payloads = [_payload(cursor) for _ in range(cursor.count())]
    video_uuids = [cursor.take(16) for _ in range(cursor.count(16))]
    video_int_ids = cursor.uints()
    id_mode = cursor.id_mode()
    terminal = cursor.terminal_flags()
    if cursor.pos != len(snapshot):
        raise cursor.fail("bytes follow is_terminal")
    return SnapshotFields(
        node_shifts, child_labels, child_transitions, payloads, video_uuids, video_int_ids, id_mode,
        [flag == 1 for flag in terminal],
    )


def _payload(cursor: _Cursor) -> tuple[int, list[int], list[int]] | None:
    tag = cursor.byte()
    if tag == 0:
        return None
    if tag != 1:
        cursor.pos -= 1
        raise cursor.fail(f"invalid payload tag {tag}")
    return cursor.uint(), cursor.uints(), cursor.uints()


def snapshot_info(snapshot: bytes) -> SnapshotInfo:
    """Counts the nodes, terms, videos and payload entries of a snapshot and
    measures its depth.

    Raises ValueError for bytes that do not read as a snapshot, as far as
    this reader looks (it takes characters by their lead byte alone;
    ``PrefixSearch.from_bytes`` checks everything). Cost: one pass over the
    snapshot and a breadth-first walk of the nodes, in Python: about two
    seconds per million nodes.
    """
    cursor = _Cursor(snapshot)
    node_shifts = cursor.uints()
    nodes = cursor.count()
    cursor.skip_run(_CHAR, nodes)
    child_transitions = cursor.uints()
    payload_entries = sum(_skip_payload(cursor) for _ in range(cursor.count()))
    uuid_count = cursor.count(16)
    cursor.take(16 * uuid_count)
    int_id_count = cursor.skip_uints()
    id_mode = cursor.id_mode()
    terminal = cursor.terminal_flags()
    return SnapshotInfo(
        nodes=nodes,
        terms=terminal.count(1),
        videos=uuid_count if id_mode == "uuid" else int_id_count,
        id_mode=id_mode,
        payload_entries=payload_entries,
        depth=_depth(node_shifts, child_transitions, nodes),
        snapshot_bytes=len(snapshot),
    )


# A present payload whose two lists have the same one-byte length k, as in
# every trie that was built: the tag, the total and k, then k integers, k
# again and k integers, matched as a whole by _PAYLOAD_HEAD and
# _payload_lists(k).
_PAYLOAD_HEAD = re.compile(b"\\x01(?:%s)([\\x00-\\xfa])" % _UINT, re.S)


@functools.lru_cache(maxsize=256)
def _payload_lists(count: int) -> re.Pattern[bytes]:
    return re.compile(b"(?:%s){%d}%s(?:%s){%d}" % (_UINT, count, re.escape(bytes([count])), _UINT, count), re.S)


def _skip_payload(cursor: _Cursor) -> int:
    """Moves past an optional payload; returns its number of entries."""
    head = _PAYLOAD_HEAD.match(cursor.data, cursor.pos)
    if head is not None:
        count = head.group(1)[0]
        lists = _payload_lists(count).match(cursor.data, head.end())
        if lists is not None:
            cursor.pos = lists.end()
            return count
    payload = _payload(cursor)
    return 0 if payload is None else len(payload[1])


def _depth(node_shifts: list[int], child_transitions: list[int], nodes: int) -> int:
    """The longest path from node 0 in a breadth-first walk that enters every
    node at most once and ignores edges that name no node, so it ends on any
    input."""
    if nodes == 0:
        return 0
    depth = [-1] * nodes
    depth[0] = 0
    deepest = 0
    pending = deque([0])
    edge_end = len(child_transitions)
    while pending:
        node = pending.popleft()
        below = depth[node] + 1
        first = node_shifts[node] if node < len(node_shifts) else edge_end
        last = node_shifts[node + 1] if node + 1 < len(node_shifts) else edge_end
        for child in child_transitions[first:last]:
            if child < nodes and depth[child] < 0:
                depth[child] = below
                deepest = below
                pending.append(child)
    return deepest
