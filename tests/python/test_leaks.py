"""Repeated calls, successful and failing, leave nothing behind: the inputs'
reference counts are unchanged, no objects pile up, and neither traced nor
resident memory grows (resident memory is not checked under AddressSanitizer).
On a debug interpreter the total reference count is checked exactly as well."""

import pytest

from _corvalind import PrefixSearch
from corvalind import build_flat_arrays

from conftest import EMPTY_TRIE, WORKED_EXAMPLE, snapshot
from leakcheck import assert_no_leak, expecting

FROM_ARRAYS = PrefixSearch.from_internal_data_v2
FROM_BYTES = PrefixSearch.from_bytes
def text(value):
    """A str object of its own, not a shared constant."""
    return "".join(list(value))


def small_arrays(**changes):
    """Fresh arrays of the terms ab and ac, with `changes` applied."""
    arrays = {
        "node_shifts": [0, 1, 3, 3],
        "child_labels": [text(""), text("ax"), text("bx"), text("cx")],
        "payloads": [None, None, (2, [0], [2]), (1, [1], [1])],
        "child_transitions": [1, 2, 3],
        "video_index": [bytes([1, 0, 0, 0]), bytes([2, 0, 0, 0])],
        "video_top_n": 10,
    }
    arrays.update(changes)
    return arrays


class Failing:
    """A sequence that yields its first item, then raises make_error()."""

    def __init__(self, items, make_error):
        self.items, self.make_error = items, make_error

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):
        return self.items[index]

    def __iter__(self):
        yield self.items[0]
        raise self.make_error()


def type_error_with_cause():
    error = TypeError("halfway")
    error.__cause__ = LookupError("root cause")
    return error


class BadIndex:
    def __index__(self):
        raise ValueError("no index")


TRIE = FROM_BYTES(snapshot(
    [0, 2, 3, 3, 4],
    ["", "a", "b", "b", "c"],
    [1, 2, 3, 4],
    [None, (1, [0], [1]), (1, [0], [1]), (1, [1], [1]), (1, [0, 1], [1, 1])],
    int_ids=[7, 8],
))
UUID_TRIE = FROM_BYTES(snapshot([0, 1], ["", "a"], [1], [None, (1, [0], [1])], uuids=[bytes(range(16))]))


def calls():
    """(name, exception or None, factory of the call and its inputs)."""
    arrays = lambda **changes: small_arrays(**changes)  # noqa: E731
    build = lambda exception, **changes: expecting(exception, FROM_ARRAYS, **arrays(**changes))  # noqa: E731
    query = lambda exception, method, *args, **kwargs: expecting(  # noqa: E731
        exception, getattr(TRIE, method), *args, **kwargs
    )
    return [
        # Successful calls.
        ("build", lambda: build(None)),
        ("build positionally", lambda: expecting(None, FROM_ARRAYS, *arrays().values())),
        ("from_bytes", lambda: expecting(None, FROM_BYTES, bytes(WORKED_EXAMPLE))),
        ("from_bytes empty trie", lambda: expecting(None, FROM_BYTES, b=bytes(EMPTY_TRIE))),
        ("to_bytes", lambda: expecting(None, TRIE.to_bytes)),
        ("fuzzy_match", lambda: query(None, "fuzzy_match", text("ab"), 2)),
        ("fuzzy_match limit", lambda: query(None, "fuzzy_match", term=text("ab"), max_dist=2, limit=2)),
        ("fuzzy_match none found", lambda: query(None, "fuzzy_match", text("zzzz"))),
        ("fuzzy_match_video", lambda: query(None, "fuzzy_match_video", text("abc"), 1, 5, True)),
        ("fuzzy_match_video uuid", lambda: expecting(None, UUID_TRIE.fuzzy_match_video, text("a"), 0)),
        ("fuzzy_match_video flag off", lambda: query(None, "fuzzy_match_video", text("ab"), 1, None, False)),
        # Binding.
        ("new refused", lambda: expecting(TypeError, PrefixSearch)),
        ("missing", lambda: expecting(TypeError, FROM_ARRAYS, [], [])),
        ("too many", lambda: expecting(TypeError, FROM_BYTES, b"", b"")),
        ("unexpected keyword", lambda: query(TypeError, "fuzzy_match", text("a"), distance=1)),
        ("multiple values", lambda: query(TypeError, "fuzzy_match_video", text("a"), term=text("b"))),
        ("to_bytes with an argument", lambda: expecting(TypeError, TRIE.to_bytes, 1)),
        # Conversion.
        ("str as a vector", lambda: build(TypeError, node_shifts=text("abc"))),
        ("not a sequence", lambda: build(TypeError, payloads={1, 2})),
        ("label not a str", lambda: build(TypeError, child_labels=["", 7, "b", "c"])),
        ("u32 overflow", lambda: build(OverflowError, child_transitions=[1, 2, 2**32])),
        ("beyond a C long", lambda: build(OverflowError, child_transitions=[1, 2**70, 3])),
        ("float element", lambda: build(TypeError, node_shifts=[0, 1.5, 3, 3])),
        ("byte overflow", lambda: build(OverflowError, video_index=[[1, 0, 0, 256]])),
        ("video_top_n negative", lambda: build(OverflowError, video_top_n=-1)),
        ("video_top_n None", lambda: build(TypeError, video_top_n=None)),
        ("iteration TypeError", lambda: build(TypeError, node_shifts=Failing([0, 1], type_error_with_cause))),
        ("iteration other error", lambda: build(KeyError, video_index=Failing([b"1234"], lambda: KeyError(1)))),
        ("nested iteration TypeError", lambda: build(
            TypeError, video_index=[Failing([1, 0, 0, 0], type_error_with_cause)])),
        ("index raises", lambda: build(ValueError, child_transitions=[1, BadIndex(), 3])),
        ("b not bytes", lambda: expecting(TypeError, FROM_BYTES, bytearray(WORKED_EXAMPLE))),
        ("term not str", lambda: query(TypeError, "fuzzy_match", 5)),
        ("term lone surrogate", lambda: query(UnicodeEncodeError, "fuzzy_match", text("a\ud800"))),
        ("max_dist None", lambda: query(TypeError, "fuzzy_match", text("a"), None)),
        ("max_dist negative", lambda: query(OverflowError, "fuzzy_match_video", text("a"), -1)),
        ("limit negative", lambda: query(OverflowError, "fuzzy_match", text("a"), 1, -1)),
        ("limit float", lambda: query(TypeError, "fuzzy_match_video", text("a"), 1, 2.0)),
        ("flag int", lambda: query(TypeError, "fuzzy_match_video", text("a"), 1, None, 1)),
        # The builder's checks.
        ("node_shifts length", lambda: build(ValueError, node_shifts=[0, 1, 3])),
        ("payloads length", lambda: build(ValueError, payloads=[None, None, (2, [0], [2])])),
        ("edge target", lambda: build(ValueError, child_transitions=[1, 2, 4])),
        ("payload not a tuple", lambda: build(TypeError, payloads=[None, None, [2, [0], [2]], (1, [1], [1])])),
        ("payload size", lambda: build(ValueError, payloads=[None, None, (2, [0]), (1, [1], [1])])),
        ("payload ids str", lambda: build(TypeError, payloads=[None, None, (2, text("ab"), [2]), (1, [1], [1])])),
        ("payload ids not a sequence", lambda: build(TypeError, payloads=[None, None, (2, [0], [2]), (1, 5, [1])])),
        ("payload overflow", lambda: build(OverflowError, payloads=[None, None, (2, [0], [2]), (1, [1], [-1])])),
        ("payload index raises", lambda: build(
            ValueError, payloads=[None, None, (BadIndex(), [0], [2]), (1, [1], [1])])),
        ("payload lengths", lambda: build(ValueError, payloads=[None, None, (2, [0, 1], [2]), (1, [1], [1])])),
        ("video_index sizes", lambda: build(ValueError, video_index=[bytes(4), bytes(16)])),
        ("malformed tree", lambda: build(ValueError, child_transitions=[1, 2, 2])),
        ("malformed ranges", lambda: build(ValueError, node_shifts=[0, 1, 5, 5])),
        # The snapshot reader.
        ("unexpected end", lambda: expecting(ValueError, FROM_BYTES, bytes(WORKED_EXAMPLE[:-1]))),
        ("integer type", lambda: expecting(ValueError, FROM_BYTES, bytes.fromhex("01fd"))),
        ("payload tag", lambda: expecting(ValueError, FROM_BYTES, bytes.fromhex("0100010000" "01" "02"))),
        ("id mode", lambda: expecting(ValueError, FROM_BYTES, bytes.fromhex("0100010000" "0100" "00" "00" "02"))),
        ("char encoding", lambda: expecting(ValueError, FROM_BYTES, bytes.fromhex("0001eda080"))),
        ("boolean", lambda: expecting(ValueError, FROM_BYTES, bytes.fromhex("0100010000" "0100" "000000" "0102"))),
        ("huge count", lambda: expecting(ValueError, FROM_BYTES, bytes.fromhex("fdffffffffffffffff") + bytes(1000))),
        ("malformed lengths", lambda: expecting(ValueError, FROM_BYTES, snapshot([0, 1], [""], [], [None]))),
        ("malformed payload", lambda: expecting(ValueError, FROM_BYTES, snapshot([0], [""], [], [(1, [1, 2], [3])]))),
        ("malformed tree snapshot", lambda: expecting(
            ValueError, FROM_BYTES, snapshot([0, 2, 2], ["", "a", "b"], [1, 1], [None] * 3))),
        ("malformed id mode", lambda: expecting(
            ValueError, FROM_BYTES, snapshot([0], [""], [], [None], int_ids=[1], mode=0))),
    ]


CALLS = calls()


@pytest.mark.parametrize("factory", [factory for _, factory in CALLS], ids=[name for name, _ in CALLS])
def test_no_leak(factory):
    assert_no_leak(*factory())


def test_numpy_flags_do_not_leak():
    numpy = pytest.importorskip("numpy")
    flag = numpy.True_
    assert_no_leak(*expecting(None, TRIE.fuzzy_match_video, text("ab"), 1, None, flag))


# ---- Big inputs, so that anything left behind shows in resident memory ----------


@pytest.fixture(scope="module")
def big():
    """Arrays of a trie of some 21,000 nodes and its snapshot (about 370 kB)."""
    terms = [f"{k:05d}{chr(0x3b1 + k % 20)}" for k in range(10_000)]
    arrays = build_flat_arrays((term, k % 700, k % 9 + 1) for k, term in enumerate(terms))
    args = arrays.arguments(video_top_n=20)
    return args, FROM_ARRAYS(*args).to_bytes()


def cyclic(transitions):
    cycle = list(transitions)
    cycle[-1] = 1  # reaches node 1 twice: refused after the whole input is read
    return cycle


# (name, exception, function and arguments given the big arrays and snapshot)
BIG_CALLS = [
    ("build", None, lambda args, data: (FROM_ARRAYS, *args)),
    (
        "build, video_index refused last",
        ValueError,
        lambda args, data: (FROM_ARRAYS, *args[:4], args[4] + [bytes(8)], args[5]),
    ),
    ("build, tree refused last", ValueError, lambda args, data: (FROM_ARRAYS, *args[:3], cyclic(args[3]), *args[4:])),
    ("from_bytes", None, lambda args, data: (FROM_BYTES, data)),
    ("from_bytes, last byte missing", ValueError, lambda args, data: (FROM_BYTES, data[:-1])),
    ("from_bytes, last flag bad", ValueError, lambda args, data: (FROM_BYTES, data[:-1] + b"\x02")),
    ("to_bytes", None, lambda args, data: (FROM_BYTES(data).to_bytes,)),
    ("every term", None, lambda args, data: (FROM_BYTES(data).fuzzy_match, "00000", 5)),
    ("every video", None, lambda args, data: (FROM_BYTES(data).fuzzy_match_video, "0000", 4, None, True)),
]


@pytest.mark.parametrize(("exception", "make"), [case[1:] for case in BIG_CALLS], ids=[case[0] for case in BIG_CALLS])
def test_big_inputs_leave_no_memory_behind(big, exception, make):
    function, *arguments = make(*big)
    # Each call handles about a megabyte, so a lost trie or vector grows
    # resident memory by far more than the slack.
    assert_no_leak(*expecting(exception, function, *arguments), iterations=8)
