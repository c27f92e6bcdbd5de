"""Typical use of the package, type-checked only (never run); mypy --strict
must accept it as it is."""

from __future__ import annotations

from pathlib import Path

import corvalind
from corvalind import PrefixSearch, Record, build_flat_arrays


def build(records: list[Record]) -> PrefixSearch:
    arrays = build_flat_arrays(records)
    return PrefixSearch.from_internal_data_v2(*arrays.arguments(video_top_n=10))


def by_hand() -> PrefixSearch:
    return PrefixSearch.from_internal_data_v2(
        node_shifts=[0, 1],
        child_labels=["", "a"],
        payloads=[None, (1, [0], [1])],
        child_transitions=(1,),
        video_index=[b"\x01\x00\x00\x00"],
        video_top_n=10,
    )


def words(trie: PrefixSearch, term: str) -> list[str]:
    matches: list[tuple[str, int, int]] = trie.fuzzy_match(term, max_dist=2, limit=None)
    return [match for match, _, distance in matches if distance <= 1]


def best_video(trie: PrefixSearch, term: str) -> str | None:
    videos: list[tuple[str, float]] = trie.fuzzy_match_video(term, 1, 5, include_prefix_nodes=True)
    return videos[0][0] if videos else None


def round_trip(trie: PrefixSearch, path: Path) -> PrefixSearch:
    snapshot: bytes = trie.to_bytes()
    corvalind.save(PrefixSearch.from_bytes(snapshot), path)
    try:
        return corvalind.load(path)
    except corvalind.SnapshotFileError as error:
        raise SystemExit(error.reason) from error

