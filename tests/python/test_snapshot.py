"""to_bytes / from_bytes: the byte format, its reader's errors, and the
refusal of snapshots that describe malformed tries."""

import pytest

from _corvalind import PrefixSearch

from conftest import EMPTY_TRIE, WORKED_EXAMPLE, snapshot


# node_shifts [0], child_labels [U+0000], child_transitions [].
ONE_NODE = "0100" "0100" "00"


def decode_error(data):
    with pytest.raises(ValueError) as raised:
        PrefixSearch.from_bytes(data)
    return str(raised.value)


@pytest.mark.parametrize("data", [WORKED_EXAMPLE, EMPTY_TRIE])
def test_round_trip_is_byte_for_byte(data):
    assert PrefixSearch.from_bytes(data).to_bytes() == data


def test_worked_example_reads_as_stored():
    trie = PrefixSearch.from_bytes(WORKED_EXAMPLE)
    assert len(WORKED_EXAMPLE) == 30
    assert trie.fuzzy_match("a", 0) == [("a", 1, 0)]
    assert trie.fuzzy_match_video("a", 0) == [("500", 1.0)]


def test_trailing_bytes_are_ignored():
    assert PrefixSearch.from_bytes(WORKED_EXAMPLE + b"\xff\x00junk").to_bytes() == WORKED_EXAMPLE


def test_longer_integer_forms_are_accepted_and_rewritten_shortest():
    longer = (
        bytes.fromhex("fd0200000000000000" "00" "fb0100" "020061" "0101")
        + bytes.fromhex("02" "01fc03000000" "01" "00" "01" "03" "010301000103")
        + bytes.fromhex("00" "01fbf401" "fb0100" "020001")
    )
    assert PrefixSearch.from_bytes(longer).to_bytes() == WORKED_EXAMPLE


def test_counts_and_values_at_the_form_boundaries_survive():
    ids = [0, 250, 251, 65535, 65536, 4294967295]
    data = snapshot([0], [""], [], [(4294967295, list(range(6)), ids)], int_ids=ids)
    assert PrefixSearch.from_bytes(data).to_bytes() == data
    assert b"\xfc\xff\xff\xff\xff" in data and b"\xfb\xfb\x00" in data


@pytest.mark.parametrize(
    ("data", "message"),
    [
        (b"", "UnexpectedEnd { additional: 1 }"),
        (b"\x01\xfd", "InvalidIntegerType { expected: U32, found: U64 }"),
        (b"\xfe", "InvalidIntegerType { expected: U64, found: U128 }"),
        (b"\xff", "InvalidIntegerType { expected: U64, found: Reserved }"),
        (b"\x01\xfb\x01", "UnexpectedEnd { additional: 1 }"),
        (b"\x01\xfc\x01", "UnexpectedEnd { additional: 3 }"),
        (b"\xfd\x01", "UnexpectedEnd { additional: 7 }"),
        (
            bytes.fromhex(ONE_NODE + "01" "02"),
            'UnexpectedVariant { type_name: "core::option::Option<corvalind::payload::Payload>", '
            "allowed: Range { min: 0, max: 1 }, found: 2 }",
        ),
        (
            bytes.fromhex(ONE_NODE + "0100" "00" "00" "02"),
            'UnexpectedVariant { type_name: "IdMode", allowed: Range { min: 0, max: 1 }, found: 2 }',
        ),
        (
            bytes.fromhex(ONE_NODE + "0100" "00" "00" "fc02000000"),
            'UnexpectedVariant { type_name: "IdMode", allowed: Range { min: 0, max: 1 }, found: 2 }',
        ),
        (bytes.fromhex(ONE_NODE + "0100" "00" "00" "fd"), "InvalidIntegerType { expected: U32, found: U64 }"),
        (bytes.fromhex("0001eda080"), "InvalidCharEncoding([237, 160, 128, 0])"),
        (bytes.fromhex("0001c0"), "InvalidCharEncoding([192, 0, 0, 0])"),
        (bytes.fromhex("000180"), "InvalidCharEncoding([128, 0, 0, 0])"),
        (bytes.fromhex("0001e08080"), "InvalidCharEncoding([224, 128, 128, 0])"),
        (bytes.fromhex("0001f4908080"), "InvalidCharEncoding([244, 144, 128, 128])"),
        (bytes.fromhex("0001c341"), "InvalidCharEncoding([195, 65, 0, 0])"),
        (bytes.fromhex("0001f09f"), "UnexpectedEnd { additional: 2 }"),
        (bytes.fromhex(ONE_NODE + "0100" "00" "00" "00" "0102"), "InvalidBooleanValue(2)"),
        (bytes.fromhex(ONE_NODE + "0100" "00" "00" "00" "01"), "UnexpectedEnd { additional: 1 }"),
        (bytes.fromhex(ONE_NODE + "0100" "01" "0001"), "UnexpectedEnd { additional: 14 }"),
        # A count that promises more than the input holds runs out, without reserving it.
        (bytes.fromhex("fdffffffffffffffff00"), "UnexpectedEnd { additional: 1 }"),
        (bytes.fromhex("00" "fcffffffff" "61"), "UnexpectedEnd { additional: 1 }"),
    ],
)
def test_decode_errors(data, message):
    assert decode_error(data) == "decode error: " + message


def test_every_proper_prefix_ends_unexpectedly():
    data = snapshot(
        [0, 1, 2],
        ["", "é", "日"],
        [1, 2],
        [None, (300, [0, 1], [70000, 2]), (4294967295, [1], [5])],
        uuids=[bytes(range(16)), bytes(range(16, 32))],
    )
    for end in range(len(data)):
        assert decode_error(data[:end]).startswith("decode error: UnexpectedEnd { additional: ")


# Snapshots that read correctly but describe tries no query could walk safely.
MALFORMED = [
    ("node_shifts", snapshot([0, 1], [""], [], [None])),
    ("payloads", snapshot([0], [""], [], [None, None])),
    ("is_terminal", snapshot([0], [""], [], [None], terminal=[False, False])),
    ("child_transitions[0]", snapshot([0, 1], ["", "a"], [2], [None, None])),
    ("child_transitions", snapshot([0, 3], ["", "a"], [1], [None, None])),
    ("node_shifts[2]", snapshot([0, 1, 5, 5], ["", "a", "b", "c"], [1, 2, 3], [None] * 4)),
    ("child_transitions[0]", snapshot([0], [""], [0], [None])),
    ("child_transitions[1]", snapshot([0, 2, 2], ["", "a", "b"], [1, 1], [None] * 3)),
    ("payloads[0]", snapshot([0], [""], [], [(1, [1, 2], [3])])),
    ("id_mode", snapshot([0], [""], [], [None], int_ids=[1], mode=0)),
    ("id_mode", snapshot([0], [""], [], [None], uuids=[bytes(16)], mode=1)),
]


@pytest.mark.parametrize(("field", "data"), MALFORMED)
def test_malformed_tries_are_refused(field, data):
    message = decode_error(data)
    assert not message.startswith("decode error")
    assert field in message


@pytest.mark.parametrize(
    "data",
    [
        # A leaf whose range ends before it starts; the last node owns the rest.
        snapshot([0, 1, 0], ["", "a", "b"], [1], [None, None, None]),
        # Nodes no edge reaches are left alone.
        snapshot([0, 0, 0], ["", "a", "b"], [], [None, None, None]),
        # A node labelled U+0000 below the root.
        snapshot([0, 1], ["", ""], [1], [None, (1, [0], [1])], int_ids=[9]),
        # Video numbers past the id table are allowed; queries drop them.
        snapshot([0, 1], ["", "a"], [1], [None, (1, [5], [1])], int_ids=[9]),
    ],
)
def test_unusual_but_sound_tries_are_accepted(data):
    assert PrefixSearch.from_bytes(data).to_bytes() == data


def test_snapshots_of_built_tries_restore_to_the_same_trie():
    built = PrefixSearch.from_internal_data_v2(
        [0, 1, 3, 3], ["", "a", "b", "c"], [None, None, (2, [0], [2]), (1, [1], [1])], [1, 2, 3],
        [b"\x01\x00\x00\x00", b"\x02\x00\x00\x00"], 10,
    )
    data = built.to_bytes()
    restored = PrefixSearch.from_bytes(data)
    assert restored.to_bytes() == data
    assert restored.fuzzy_match("ab", 1) == built.fuzzy_match("ab", 1)
