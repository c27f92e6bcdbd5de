"""The pure-Python producer of flat arrays, checked against hand-made tries."""

from __future__ import annotations

import os
import random
import re
import subprocess
import sys
import textwrap
import uuid

import pytest

from corvalind import MAX_TERM_LENGTH, FlatArrays, RecordError, build_flat_arrays

MAX_U32 = 2**32 - 1
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


def int_entry(value: int) -> bytes:
    return value.to_bytes(4, "little")


def read_terms(arrays: FlatArrays) -> dict[str, tuple[int, list[int], list[int]]]:
    """Walks the arrays from the root and returns each term with its payload,
    checking on the way that they describe a breadth-first numbered tree."""
    n = len(arrays.child_labels)
    assert len(arrays.node_shifts) == len(arrays.payloads) == n
    assert arrays.node_shifts == sorted(arrays.node_shifts)
    assert arrays.child_labels[0] == ""
    assert sorted(arrays.child_transitions) == list(range(1, n)), "every node but the root entered once"
    terms = {}
    paths = {0: ""}
    for node in range(n):
        end = arrays.node_shifts[node + 1] if node + 1 < n else len(arrays.child_transitions)
        targets = arrays.child_transitions[arrays.node_shifts[node] : end]
        labels = [arrays.child_labels[t] for t in targets]
        assert labels == sorted(labels) and all(len(label) == 1 for label in labels)
        for target in targets:
            assert target > node
            paths[target] = paths[node] + arrays.child_labels[target]
        if arrays.payloads[node] is not None:
            terms[paths[node]] = arrays.payloads[node]
    return terms


def test_two_terms_sharing_a_prefix():
    arrays = build_flat_arrays([("ab", 1, 1), ("ac", 2, 1), ("ab", 1, 1)])
    assert arrays == FlatArrays(
        node_shifts=[0, 1, 3, 3],
        child_labels=["", "a", "b", "c"],
        payloads=[None, None, (2, [0], [2]), (1, [1], [1])],
        child_transitions=[1, 2, 3],
        video_index=[int_entry(1), int_entry(2)],
    )
    assert arrays.arguments(10) == (
        [0, 1, 3, 3],
        ["", "a", "b", "c"],
        [None, None, (2, [0], [2]), (1, [1], [1])],
        [1, 2, 3],
        [int_entry(1), int_entry(2)],
        10,
    )


def test_no_records_give_the_root_alone():
    assert build_flat_arrays([]) == FlatArrays([0], [""], [None], [], [])


def test_numbering_is_breadth_first_with_labels_sorted():
    # Root children a (1), b (2); then a's child b (3), b's child a (4).
    arrays = build_flat_arrays([("ba", 7, 1), ("ab", 7, 1), ("b", 7, 1)])
    assert arrays.node_shifts == [0, 2, 3, 4, 4]
    assert arrays.child_labels == ["", "a", "b", "b", "a"]
    assert arrays.child_transitions == [1, 2, 3, 4]
    assert arrays.payloads == [None, None, (1, [0], [1]), (1, [0], [1]), (1, [0], [1])]


def test_term_that_is_a_prefix_of_another():
    arrays = build_flat_arrays([("abc", 5, 2), ("a", 6, 3)])
    assert arrays.child_labels == ["", "a", "b", "c"]
    assert arrays.payloads == [None, (3, [1], [3]), None, (2, [0], [2])]


def test_multi_byte_characters_are_one_node_each():
    arrays = build_flat_arrays([("日本", 1, 1), ("né", 2, 1), ("n😀", 3, 1)])
    # Labels sorted by code point: n < 日; é (U+E9) < 😀 (U+1F600).
    assert arrays.child_labels == ["", "n", "日", "é", "😀", "本"]
    assert read_terms(arrays) == {"日本": (1, [0], [1]), "né": (1, [1], [1]), "n😀": (1, [2], [1])}


def test_videos_of_a_term_are_summed_in_order_of_first_appearance():
    records = [("t", 30, 1), ("u", 10, 5), ("t", 10, 2), ("t", 30, 4), ("t", 20, 0)]
    arrays = build_flat_arrays(records)
    # Internal numbers follow first appearance over all records: 30 -> 0, 10 -> 1, 20 -> 2.
    assert arrays.video_index == [int_entry(30), int_entry(10), int_entry(20)]
    assert read_terms(arrays) == {"t": (7, [0, 1, 2], [5, 2, 0]), "u": (5, [1], [5])}


def test_uuid_ids_as_objects_or_bytes_are_one_video():
    first, second = uuid.UUID(int=1), uuid.UUID("12345678-9abc-def0-1234-56789abcdef0")
    arrays = build_flat_arrays([("a", first, 1), ("a", first.bytes, 2), ("b", bytearray(second.bytes), 3)])
    assert arrays.video_index == [first.bytes, second.bytes]
    assert read_terms(arrays) == {"a": (3, [0], [3]), "b": (3, [1], [3])}


def test_int_id_bounds_and_little_endian_entries():
    arrays = build_flat_arrays([("a", 0, 1), ("a", MAX_U32, 1), ("a", 0x12345678, 1)])
    assert arrays.video_index == [b"\x00\x00\x00\x00", b"\xff\xff\xff\xff", b"\x78\x56\x34\x12"]


def test_sums_saturate():
    arrays = build_flat_arrays([("a", 1, MAX_U32), ("a", 1, 5), ("a", 2, 1)])
    assert arrays.payloads[1] == (MAX_U32, [0, 1], [MAX_U32, 1])


@pytest.mark.parametrize(
    ("records", "position", "reason"),
    [
        ([("a", 1, 1), ("b", uuid.UUID(int=1), 1)], 1, r"is of another kind than the first one \(int\): ids must"),
        ([("a", b"\x00" * 16, 1), ("b", 1, 1)], 1, "ids must be all ints or all UUIDs"),
        ([("a", -1, 1)], 0, "int video id -1 out of range"),
        ([("a", 2, 1), ("a", 2**32, 1)], 1, "int video id 4294967296 out of range"),
        ([("a", b"\x00" * 4, 1)], 0, "byte video id must be 16 bytes long, not 4"),
        # No query reaches the root's payload or a node labelled U+0000.
        ([("x", 1, 1), ("", 1, 4)], 1, r"^the empty term can never be found$"),
        ([("a\x00b", 1, 1)], 0, r"^term 'a\\x00b' contains U\+0000 and can never be found$"),
        ([("x", 1, 1), ("y", 1, 1), ("\x00", 1, 1)], 2, r"^term '\\x00' contains U"),
        ([("a\udc80", 1, 1)], 0, r"^term 'a\\udc80' is not valid UTF-8 \(lone surrogate\)$"),
        ([("a", 1, -1)], 0, "count -1 out of range"),
        ([("a", 1, 2**32)], 0, "count 4294967296 out of range"),
        ([("a", 1)], 0, "not enough values to unpack"),
        (
            [("a", 1, 1), ("x" * 1001, 1, 1)],
            1,
            r"^term 'xxxxxxxxxxxxxxxxxxxx'\.\.\. of 1001 characters is longer than the limit of 1000$",
        ),
    ],
)
def test_refused_records_carry_their_position(records, position, reason):
    with pytest.raises(RecordError) as raised:
        build_flat_arrays(records)
    assert isinstance(raised.value, ValueError)
    assert raised.value.position == position
    assert re.search(reason, raised.value.reason)
    assert str(raised.value) == f"record {position}: {raised.value.reason}"


@pytest.mark.parametrize(
    ("records", "message"),
    [
        ([("a", True, 1)], "video id must be an int"),
        ([("a", "1", 1)], "video id must be an int, a UUID or 16 bytes, not str"),
        ([(b"a", 1, 1)], "term must be a str, not bytes"),
        ([("a", 1, 1.0)], "count must be an int, not float"),
        ([("a", 1, True)], "count must be an int, not bool"),
    ],
)
def test_values_of_other_types_are_type_errors(records, message):
    with pytest.raises(TypeError, match=message):
        build_flat_arrays(records)


def test_term_length_limit():
    assert MAX_TERM_LENGTH == 1000
    arrays = build_flat_arrays([("x" * 1000, 1, 1)])
    assert len(arrays.child_labels) == 1001
    with pytest.raises(RecordError, match="longer than the limit of 3$"):
        build_flat_arrays([("abcd", 1, 1)], max_term_length=3)
    assert len(build_flat_arrays([("x" * 5000, 1, 1)], max_term_length=None).child_labels) == 5001


@pytest.mark.skipif(SANITIZED, reason="a cap on address space breaks AddressSanitizer's shadow memory")
def test_long_terms_cost_linear_time_and_memory():
    """Two 200,000-character terms sharing all but their last character, in
    a child process capped at 2 GiB of address space: every prefix of them
    as a string of its own would take 40 GB."""
    script = textwrap.dedent(
        """
        import resource
        resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
        from corvalind import build_flat_arrays
        n = 200_000
        arrays = build_flat_arrays([("x" * n, 1, 1), ("x" * (n - 1) + "y", 2, 1)], max_term_length=None)
        assert len(arrays.child_labels) == n + 2
        assert arrays.child_labels[-2:] == ["x", "y"] and arrays.payloads[-1] == (1, [1], [1])
        assert arrays.node_shifts[-3:] == [n - 1, n + 1, n + 1]
        """
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr


def test_many_terms_round_trip():
    rng = random.Random(7)
    alphabet = "abcdé日"
    records = []
    expected: dict[str, dict[int, int]] = {}
    for _ in range(2000):
        term = "".join(rng.choice(alphabet) for _ in range(rng.randrange(1, 7)))
        video, count = rng.randrange(50), rng.randrange(100)
        records.append((term, video, count))
        expected.setdefault(term, {}).setdefault(video, 0)
        expected[term][video] += count
    arrays = build_flat_arrays(records)
    numbers = {int.from_bytes(entry, "little"): k for k, entry in enumerate(arrays.video_index)}
    assert read_terms(arrays) == {
        term: (sum(videos.values()), [numbers[v] for v in videos], list(videos.values()))
        for term, videos in expected.items()
    }
