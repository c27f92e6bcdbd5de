"""Figures about a trie, read from its arrays in C++ (``corvalind._native``)."""

from __future__ import annotations

from typing import Literal, TypedDict, cast

from _corvalind import PrefixSearch

from corvalind import _native


class TrieStats(TypedDict):
    """What a trie holds. ``depth`` is the longest path from the root (0 for
    the root alone or no nodes); ``terms`` counts the nodes where a stored
    term ends; ``snapshot_bytes`` is the length of ``to_bytes()``;
    ``memory_bytes`` the trie's arrays in memory, without the
    forward-backward index that typo queries build."""

    nodes: int
    terms: int
    videos: int
    id_mode: Literal["uuid", "int32"]
    payload_entries: int
    depth: int
    snapshot_bytes: int
    memory_bytes: int


def stats(trie: PrefixSearch) -> TrieStats:
    """The figures of ``trie``. Cost: one pass over its nodes, edges and
    payload entries (a few milliseconds per million nodes), nothing copied.
    Raises TypeError for anything but a PrefixSearch."""
    return cast(TrieStats, _native.stats(trie))
