"""Helpers shared by the Python tests: a snapshot writer for hand-made tries."""

from __future__ import annotations

import os
import struct
import sysconfig

import pytest

from _corvalind import PrefixSearch

# On a free-threaded interpreter every import of the module warns that it
# switched the GIL on, as the module asks; the child processes that tests
# start (the command line, batch workers) would print it on standard error,
# which several tests read.
if sysconfig.get_config_var("Py_GIL_DISABLED"):
    os.environ["PYTHONWARNINGS"] = "ignore:The global interpreter lock (GIL) has been enabled:RuntimeWarning"


def raises_exactly(call, exception, message):
    """Runs call() and checks it raises exactly `exception` (not a subclass)
    with exactly `message`; returns the exception."""
    with pytest.raises(BaseException) as raised:
        call()
    assert type(raised.value) is exception
    assert str(raised.value) == message
    return raised.value


def varint(value: int) -> bytes:
    """The shortest variable-length form of an unsigned integer."""
    if value <= 250:
        return bytes([value])
    if value <= 0xFFFF:
        return b"\xfb" + struct.pack("<H", value)
    if value <= 0xFFFFFFFF:
        return b"\xfc" + struct.pack("<I", value)
    return b"\xfd" + struct.pack("<Q", value)


def sequence(items, encode) -> bytes:
    return varint(len(items)) + b"".join(encode(item) for item in items)


def encode_payload(payload) -> bytes:
    if payload is None:
        return b"\x00"
    total, ids, counts = payload
    return b"\x01" + varint(total) + sequence(ids, varint) + sequence(counts, varint)


def snapshot(
    node_shifts,
    labels,
    transitions,
    payloads,
    *,
    uuids=(),
    int_ids=(),
    mode=None,
    terminal=None,
) -> bytes:
    """Snapshot bytes of a trie given field by field (labels as one-character
    strings, "" for U+0000; mode 0 for UUIDs, 1 for int32, by default taken
    from the filled table; terminal defaults to where a payload is given)."""
    if mode is None:
        mode = 1 if int_ids else 0
    if terminal is None:
        terminal = [payload is not None for payload in payloads]
    return (
        sequence(node_shifts, varint)
        + sequence(labels, lambda label: (label or "\0").encode())
        + sequence(transitions, varint)
        + sequence(payloads, encode_payload)
        + sequence(uuids, bytes)
        + sequence(int_ids, varint)
        + varint(mode)
        + sequence(terminal, lambda flag: bytes([flag]))
    )


# The two-node trie of the format's worked example: root -> "a", one int id 500.
WORKED_EXAMPLE = bytes.fromhex(
    "020001" "020061" "0101" "02" "010301000103" "010301000103" "00" "01fbf401" "01" "020001"
)
EMPTY_TRIE = bytes(8)


@pytest.fixture
def small_trie():
    """A restored trie with the terms a, ab, abc and b."""
    data = snapshot(
        node_shifts=[0, 2, 3, 3, 4],
        labels=["", "a", "b", "b", "c"],
        transitions=[1, 2, 3, 4],
        payloads=[None, (1, [0], [1]), (1, [0], [1]), (1, [0], [1]), (1, [0], [1])],
        int_ids=[7],
        terminal=[False, True, True, True, True],
    )
    return PrefixSearch.from_bytes(data)
