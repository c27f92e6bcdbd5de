"""The pure-Python snapshot reader behind ``corvalind info``."""

from __future__ import annotations

import uuid

import pytest

from conftest import EMPTY_TRIE, WORKED_EXAMPLE, snapshot
from corvalind import PrefixSearch, build_flat_arrays
from corvalind.snapshot_info import SnapshotFields, SnapshotInfo, snapshot_fields, snapshot_info

UUIDS = [uuid.UUID(int=k * 0x1234567890ABCDEF) for k in range(1, 5)]


def expected_info(records, top_n) -> dict[str, object]:
    """The figures of the trie built from ``records``, worked out from the
    records alone: one node per distinct prefix, and per node the distinct
    videos of the terms below it, at most ``top_n``."""
    terms = {term for term, _, _ in records}
    prefixes = {term[:k] for term in terms for k in range(len(term) + 1)}
    entries = sum(
        min(top_n, len({video for term, video, _ in records if term.startswith(prefix)})) for prefix in prefixes
    )
    return {
        "nodes": len(prefixes),
        "terms": len(terms),
        "videos": len({video for _, video, _ in records}),
        "payload_entries": entries,
        "depth": max(len(term) for term in terms),
    }


@pytest.mark.parametrize(
    ("records", "top_n", "id_mode"),
    [
        ([("hello", 1, 3), ("help", 2, 1), ("world", 1, 2)], 10, "int32"),
        # Ids, counts and totals past the one-byte and two-byte integer
        # forms, and a root with 300 videos, past one-byte list lengths.
        ([(f"w{k}", 1000 + k, 70_000 + k) for k in range(300)], 300, "int32"),
        ([("тест", UUIDS[0], 1), ("тесто", UUIDS[1], 2), ("été", UUIDS[2], 3), ("🙂", UUIDS[3], 4)], 2, "uuid"),
        ([("a", 5, 1)], 0, "int32"),
    ],
    ids=["small", "wide-integers", "uuid-multibyte", "top-n-0"],
)
def test_figures_of_built_tries(records, top_n, id_mode):
    data = PrefixSearch.from_internal_data_v2(*build_flat_arrays(records).arguments(video_top_n=top_n)).to_bytes()
    info = snapshot_info(data)
    assert info == SnapshotInfo(id_mode=id_mode, snapshot_bytes=len(data), **expected_info(records, top_n))


def test_hand_made_tries():
    assert snapshot_info(EMPTY_TRIE) == SnapshotInfo(0, 0, 0, "uuid", 0, 0, 8)
    assert snapshot_info(WORKED_EXAMPLE) == SnapshotInfo(2, 1, 1, "int32", 2, 1, 30)
    # Root -> a -> b (a leaf where no term ends), and node 3 reached by no
    # edge: it counts as a node but not towards the depth. The longer
    # integer form FB 05 00 reads as 5.
    data = snapshot(
        node_shifts=[0, 1, 2, 2],
        labels=["", "a", "b", "c"],
        transitions=[1, 2],
        payloads=[None, (5, [0], [5]), None, None],
        uuids=[bytes(16)],
    )
    assert snapshot_info(data) == SnapshotInfo(4, 1, 1, "uuid", 1, 2, len(data))
    longer = data.replace(b"\x01\x05\x01\x00\x01\x05", b"\x01\xfb\x05\x00\x01\x00\x01\x05")
    assert snapshot_info(longer).payload_entries == 1
    # Lists of unequal length (which from_bytes refuses) are read one by one.
    unequal = snapshot([0], [""], [], [(3, [0, 1], [3])], int_ids=[1, 2])
    assert snapshot_info(unequal) == SnapshotInfo(1, 1, 2, "int32", 2, 0, len(unequal))


def test_damaged_snapshots_raise_value_error():
    data = PrefixSearch.from_internal_data_v2(
        *build_flat_arrays([("héllo", 300, 70_000), ("help", 2, 1)]).arguments(video_top_n=10)
    ).to_bytes()
    for length in range(len(data)):
        with pytest.raises(ValueError):
            snapshot_info(data[:length])
    for bad in (b"\xfd" + (2**63).to_bytes(8, "little"), b"\xfe", b"\xff"):
        with pytest.raises(ValueError):
            snapshot_info(bad + data[1:])


def test_fields_are_decoded_as_encoded():
    payloads = [None, (1, [0], [1]), None, (70_000, [1, 0], [69_999, 1]), (1, [0], [1])]
    data = snapshot(
        node_shifts=[0, 2, 3, 3, 4],
        labels=["", "a", "b", "b", "日"],
        transitions=[1, 2, 3, 4],
        payloads=payloads,
        int_ids=[7, 2**32 - 1],
    )
    assert snapshot_fields(data) == SnapshotFields(
        [0, 2, 3, 3, 4], ["\0", "a", "b", "b", "日"], [1, 2, 3, 4], payloads, [], [7, 2**32 - 1], "int32",
        [False, True, False, True, True],
    )
    uuids = [bytes(range(16))]
    assert snapshot_fields(snapshot([0], [""], [], [None], uuids=uuids)).video_uuids == uuids
    for damaged in (data + b"\x00", data[:-1], data.replace("日".encode(), b"\xe6\x00\x00")):
        with pytest.raises(ValueError):
            snapshot_fields(damaged)
