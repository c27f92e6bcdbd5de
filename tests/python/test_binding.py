"""Binding of call arguments and conversion of their values."""

import pytest

from _corvalind import PrefixSearch

from conftest import EMPTY_TRIE, raises_exactly as raises

EMPTY = PrefixSearch.from_bytes(EMPTY_TRIE)
FROM_ARRAYS = PrefixSearch.from_internal_data_v2


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: PrefixSearch.from_bytes(), "PrefixSearch.from_bytes() missing 1 required positional argument: 'b'"),
        (
            lambda: PrefixSearch.from_bytes(b"", b""),
            "PrefixSearch.from_bytes() takes 1 positional arguments but 2 were given",
        ),
        (
            lambda: PrefixSearch.from_bytes(data=b""),
            "PrefixSearch.from_bytes() got an unexpected keyword argument 'data'",
        ),
        (
            lambda: FROM_ARRAYS([], []),
            "PrefixSearch.from_internal_data_v2() missing 4 required positional arguments: "
            "'payloads', 'child_transitions', 'video_index', and 'video_top_n'",
        ),
        (
            lambda: FROM_ARRAYS([], [], [], []),
            "PrefixSearch.from_internal_data_v2() missing 2 required positional arguments: "
            "'video_index' and 'video_top_n'",
        ),
        (
            lambda: FROM_ARRAYS([], [], [], [], video_top_n=1),
            "PrefixSearch.from_internal_data_v2() missing 1 required positional argument: 'video_index'",
        ),
        (
            lambda: FROM_ARRAYS(*[[]] * 7),
            "PrefixSearch.from_internal_data_v2() takes 6 positional arguments but 7 were given",
        ),
        (
            lambda: EMPTY.fuzzy_match("abc", 1, None, True),
            "PrefixSearch.fuzzy_match() takes from 1 to 3 positional arguments but 4 were given",
        ),
        (
            lambda: EMPTY.fuzzy_match("abc", term="x"),
            "PrefixSearch.fuzzy_match() got multiple values for argument 'term'",
        ),
        (lambda: EMPTY.fuzzy_match(), "PrefixSearch.fuzzy_match() missing 1 required positional argument: 'term'"),
        (
            lambda: EMPTY.fuzzy_match_video("abc", 1, None, True, 5),
            "PrefixSearch.fuzzy_match_video() takes from 1 to 4 positional arguments but 5 were given",
        ),
        (
            # The first offending keyword decides, even before missing arguments.
            lambda: EMPTY.fuzzy_match_video(Term="x", term="y"),
            "PrefixSearch.fuzzy_match_video() got an unexpected keyword argument 'Term'",
        ),
        (
            # A name with no UTF-8 form matches no parameter either.
            lambda: EMPTY.fuzzy_match("abc", **{"\udc80": 1}),
            "PrefixSearch.fuzzy_match() got an unexpected keyword argument '\udc80'",
        ),
    ],
)
def test_binding_errors(call, message):
    raises(call, TypeError, message)


def test_keywords_bind_like_positions():
    assert PrefixSearch.from_bytes(b=EMPTY_TRIE).to_bytes() == EMPTY_TRIE
    built = FROM_ARRAYS(
        video_top_n=1, video_index=[], child_transitions=[], payloads=[], child_labels=[], node_shifts=[]
    )
    assert built.to_bytes() == EMPTY_TRIE
    assert EMPTY.fuzzy_match(term="abc", max_dist=1) == EMPTY.fuzzy_match("abc", 1, None) == []


class Sized:
    """A sequence whose reported size is absurd and whose items end early."""

    def __init__(self, items, size=None, len_error=None):
        self.items, self.size, self.len_error = items, size, len_error

    def __len__(self):
        if self.len_error:
            raise self.len_error
        return self.size

    def __getitem__(self, index):
        return self.items[index]


def node_shifts_call(value):
    return lambda: FROM_ARRAYS(value, [], [], [], [], 1)


@pytest.mark.parametrize(
    ("value", "exception", "message"),
    [
        ("abc", TypeError, "argument 'node_shifts': Can't extract `str` to `Vec`"),
        (5, TypeError, "argument 'node_shifts': 'int' object cannot be converted to 'Sequence'"),
        ({1}, TypeError, "argument 'node_shifts': 'set' object cannot be converted to 'Sequence'"),
        ({1: 2}, TypeError, "argument 'node_shifts': 'dict' object cannot be converted to 'Sequence'"),
        ((i for i in []), TypeError, "argument 'node_shifts': 'generator' object cannot be converted to 'Sequence'"),
        ([4294967296], OverflowError, "out of range integral type conversion attempted"),
        ([-1], OverflowError, "out of range integral type conversion attempted"),
        ([2**70], OverflowError, "Python int too large to convert to C long"),
        ([1.5], TypeError, "argument 'node_shifts': 'float' object cannot be interpreted as an integer"),
        (["1"], TypeError, "argument 'node_shifts': 'str' object cannot be interpreted as an integer"),
    ],
)
def test_u32_vector_conversion_errors(value, exception, message):
    raises(node_shifts_call(value), exception, message)


@pytest.mark.parametrize(
    "value",
    [(0,), range(1), b"\x00", [True], [0], Sized([0], size=10**15), Sized([0], len_error=RuntimeError("no len"))],
)
def test_any_sequence_is_accepted_as_a_vector(value):
    # One node, the root, with no edges and no payload.
    trie = FROM_ARRAYS(value, [""], [None], [], [], 1)
    assert PrefixSearch.from_bytes(trie.to_bytes()).to_bytes() == trie.to_bytes()


def test_absurd_reported_length_does_not_reserve_memory():
    raises(
        lambda: FROM_ARRAYS([], range(10**12), [], [], [], 1),
        TypeError,
        "argument 'child_labels': 'int' object cannot be converted to 'PyString'",
    )


@pytest.mark.parametrize(
    ("call", "exception", "message"),
    [
        (
            lambda: FROM_ARRAYS([], ["a", 7], [], [], [], 1),
            TypeError,
            "argument 'child_labels': 'int' object cannot be converted to 'PyString'",
        ),
        (
            lambda: FROM_ARRAYS([], [], [], [], ["abcd"], 1),
            TypeError,
            "argument 'video_index': Can't extract `str` to `Vec`",
        ),
        (
            lambda: FROM_ARRAYS([], [], [], [], [[256, 0, 0, 0]], 1),
            OverflowError,
            "out of range integral type conversion attempted",
        ),
        (lambda: FROM_ARRAYS([], [], [], [], [], -1), OverflowError, "can't convert negative int to unsigned"),
        (
            lambda: FROM_ARRAYS([], [], [], [], [], None),
            TypeError,
            "argument 'video_top_n': 'NoneType' object cannot be interpreted as an integer",
        ),
        (
            lambda: FROM_ARRAYS([], [], [], [], [], 2.0),
            TypeError,
            "argument 'video_top_n': 'float' object cannot be interpreted as an integer",
        ),
        (
            lambda: FROM_ARRAYS([], [], [], [], [], 2**64),
            OverflowError,
            "int too big to convert",
        ),
        # With two bad parameters the first in parameter order decides.
        (
            lambda: FROM_ARRAYS(5, "abc", [], [], [], None),
            TypeError,
            "argument 'node_shifts': 'int' object cannot be converted to 'Sequence'",
        ),
        (
            lambda: PrefixSearch.from_bytes(bytearray(EMPTY_TRIE)),
            TypeError,
            "argument 'b': 'bytearray' object cannot be converted to 'PyBytes'",
        ),
        (
            lambda: PrefixSearch.from_bytes(memoryview(EMPTY_TRIE)),
            TypeError,
            "argument 'b': 'memoryview' object cannot be converted to 'PyBytes'",
        ),
        (
            lambda: EMPTY.fuzzy_match(5),
            TypeError,
            "argument 'term': 'int' object cannot be converted to 'PyString'",
        ),
        (
            lambda: EMPTY.fuzzy_match(5, None),
            TypeError,
            "argument 'term': 'int' object cannot be converted to 'PyString'",
        ),
        (
            lambda: EMPTY.fuzzy_match("abc", None),
            TypeError,
            "argument 'max_dist': 'NoneType' object cannot be interpreted as an integer",
        ),
        (lambda: EMPTY.fuzzy_match("abc", -1), OverflowError, "out of range integral type conversion attempted"),
        (
            lambda: EMPTY.fuzzy_match("abc", 4294967296),
            OverflowError,
            "out of range integral type conversion attempted",
        ),
        (lambda: EMPTY.fuzzy_match("abc", 1, -1), OverflowError, "can't convert negative int to unsigned"),
        (
            lambda: EMPTY.fuzzy_match("abc", 1, 2.0),
            TypeError,
            "argument 'limit': 'float' object cannot be interpreted as an integer",
        ),
        (
            lambda: EMPTY.fuzzy_match_video("abc", include_prefix_nodes=1),
            TypeError,
            "argument 'include_prefix_nodes': 'int' object cannot be converted to 'PyBool'",
        ),
        (
            lambda: EMPTY.fuzzy_match_video("abc", 1.5, include_prefix_nodes=1),
            TypeError,
            "argument 'max_dist': 'float' object cannot be interpreted as an integer",
        ),
    ],
)
def test_conversion_errors(call, exception, message):
    raises(call, exception, message)


def test_text_without_utf8_form_passes_the_encoding_error_unchanged():
    with pytest.raises(UnicodeEncodeError):
        EMPTY.fuzzy_match("\ud800")


def test_numbers_accepted_by_index_and_bool():
    class Index:
        def __index__(self):
            return 2

    assert EMPTY.fuzzy_match("abc", True, Index()) == []
    assert EMPTY.fuzzy_match_video("abc", Index(), True, False) == []


def test_argument_prefix_replaces_only_exact_type_errors_and_keeps_the_cause():
    root = ValueError("root cause")

    class BadIndex:
        def __index__(self):
            raise TypeError("bad index") from root

    error = raises(lambda: EMPTY.fuzzy_match("abc", BadIndex()), TypeError, "argument 'max_dist': bad index")
    assert error.__cause__ is root

    class TypeErrorSubclass(TypeError):
        pass

    class SubclassIndex:
        def __index__(self):
            raise TypeErrorSubclass("kept as it is")

    raises(lambda: EMPTY.fuzzy_match("abc", SubclassIndex()), TypeErrorSubclass, "kept as it is")


def test_numpy_booleans_are_flags():
    numpy = pytest.importorskip("numpy")
    assert EMPTY.fuzzy_match_video("abc", 1, None, numpy.True_) == []
    assert EMPTY.fuzzy_match_video("abc", 1, None, numpy.bool_(False)) == []
    raises(
        lambda: EMPTY.fuzzy_match_video("abc", include_prefix_nodes=numpy.int64(1)),
        TypeError,
        "argument 'include_prefix_nodes': 'int64' object cannot be converted to 'PyBool'",
    )
