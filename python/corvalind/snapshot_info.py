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

from collections import deque
from dataclasses import dataclass

_WIDTHS = {251: 3, 252: 5, 253: 9}  # marker -> bytes taken by the integer
_SMALL = bytes(range(251))  # one-byte integers
_ID_MODES = {0: "uuid", 1: "int32"}


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
    """A bounded forward read over a snapshot."""

    def __init__(self, data: bytes) -> None:
        self.data = data
        self.pos = 0

    def take(self, size: int) -> int:
        """Moves past ``size`` bytes; returns where they start."""
        start = self.pos
        if size > len(self.data) - start:
            raise ValueError(f"snapshot ends inside a field at byte {start}")
        self.pos = start + size
        return start

    def uint(self) -> int:
        marker = self.data[self.take(1)]
        if marker <= 250:
            return marker
        width = _WIDTHS.get(marker)
        if width is None:
            raise ValueError(f"invalid integer marker {marker} at byte {self.pos - 1}")
        start = self.take(width - 1)
        return int.from_bytes(self.data[start : start + width - 1], "little")

    def count(self, element_size: int = 1) -> int:
        """A sequence's element count, refused when the rest cannot hold it."""
        count = self.uint()
        if count * element_size > len(self.data) - self.pos:
            raise ValueError(f"sequence of {count} elements at byte {self.pos} runs past the end")
        return count

    def uints(self) -> list[int]:
        count = self.count()
        block = self.data[self.pos : self.pos + count]
        if not block.translate(None, _SMALL):  # all one-byte integers
            self.pos += count
            return list(block)
        return [self.uint() for _ in range(count)]

    def skip_uints(self) -> int:
        """Moves past a sequence of integers; returns its length."""
        count = self.count()
        if not self.data[self.pos : self.pos + count].translate(None, _SMALL):
            self.pos += count
        else:
            for _ in range(count):
                self.uint()
        return count

    def skip_chars(self) -> int:
        count = self.count()
        data = self.data
        for _ in range(count):
            lead = data[self.take(1)]
            if lead >= 0x80:
                self.take(1 if lead < 0xE0 else 2 if lead < 0xF0 else 3)
        return count


def snapshot_info(snapshot: bytes) -> SnapshotInfo:
    """Counts the nodes, terms, videos and payload entries of a snapshot and
    measures its depth.

    Raises ValueError for bytes that do not read as a snapshot, as far as
    this reader looks (it skips characters without checking their UTF-8;
    ``PrefixSearch.from_bytes`` checks everything). Cost: one pass over the
    snapshot and a breadth-first walk of the nodes, in Python: about a
    second per million nodes.
    """
    cursor = _Cursor(snapshot)
    node_shifts = cursor.uints()
    nodes = cursor.skip_chars()
    child_transitions = cursor.uints()
    payload_entries = 0
    for _ in range(cursor.count()):
        tag = snapshot[cursor.take(1)]
        if tag == 1:
            cursor.uint()
            payload_entries += cursor.skip_uints()
            cursor.skip_uints()
        elif tag != 0:
            raise ValueError(f"invalid payload tag {tag} at byte {cursor.pos - 1}")
    uuid_count = cursor.count(16)
    cursor.take(16 * uuid_count)
    int_id_count = cursor.skip_uints()
    id_mode = _ID_MODES.get(cursor.uint())
    if id_mode is None:
        raise ValueError(f"invalid id mode at byte {cursor.pos - 1}")
    terminal_count = cursor.count()
    terminal = snapshot[cursor.take(terminal_count) : cursor.pos]
    if terminal.translate(None, b"\x00\x01"):
        raise ValueError("is_terminal holds a byte other than 0 and 1")
    return SnapshotInfo(
        nodes=nodes,
        terms=terminal.count(1),
        videos=uuid_count if id_mode == "uuid" else int_id_count,
        id_mode=id_mode,
        payload_entries=payload_entries,
        depth=_depth(node_shifts, child_transitions, nodes),
        snapshot_bytes=len(snapshot),
    )


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
