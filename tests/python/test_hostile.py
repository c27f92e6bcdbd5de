"""Inputs built to break the module: snapshots that promise more than they
hold or are damaged, tries far deeper than any real one, huge queries, and
sequences that lie about their length, fail halfway or change while they are
read. Each must end in the documented exception or a correct answer."""

import copy
import random
import os
import string
import subprocess
import sys
import textwrap
import uuid

import pytest

from _corvalind import PrefixSearch
from corvalind import build_flat_arrays

from conftest import encode_payload, raises_exactly, sequence, snapshot, varint

FROM_ARRAYS = PrefixSearch.from_internal_data_v2
MAX_U32 = 4294967295
MAX_U64_COUNT = b"\xfd" + b"\xff" * 8

# Two terms under a root: ab names internal video 0, ac video 1.
SHIFTS = [0, 1, 3, 3]
LABELS = ["", "a", "b", "c"]
PAYLOADS = [None, None, (2, [0], [2]), (1, [1], [1])]
TRANSITIONS = [1, 2, 3]
VIDEO_INDEX = [b"\x01\x00\x00\x00", b"\x02\x00\x00\x00"]
ARGUMENTS = ["node_shifts", "child_labels", "payloads", "child_transitions", "video_index"]


def small_arrays():
    """Fresh copies of the two-term trie's five arrays, by argument name."""
    return copy.deepcopy(dict(zip(ARGUMENTS, [SHIFTS, LABELS, PAYLOADS, TRANSITIONS, VIDEO_INDEX], strict=True)))


def build(arrays, video_top_n=10):
    return FROM_ARRAYS(*(arrays[name] for name in ARGUMENTS), video_top_n)


SMALL_BYTES = build(small_arrays()).to_bytes()


# ---- Counts that promise 2**64 - 1 elements ---------------------------------

# The small trie's snapshot cut right before each sequence's count, the count
# replaced by 2**64 - 1, and `minimum` the bytes one element takes at least.
FIELDS = [
    ("node_shifts", b"", 1),
    ("child_labels", sequence(SHIFTS, varint), 1),
    ("child_transitions", sequence(SHIFTS, varint) + b"\x04\x00abc", 1),
    ("payloads", sequence(SHIFTS, varint) + b"\x04\x00abc" + sequence(TRANSITIONS, varint), 1),
]
PAYLOADS_START = FIELDS[-1][1]
FIELDS += [
    ("video_ids", PAYLOADS_START + b"\x01\x01\x05", 1),
    ("video_counts", PAYLOADS_START + b"\x01\x01\x05\x00", 1),
    ("video_uuids", PAYLOADS_START + sequence(PAYLOADS, encode_payload), 16),
    ("video_int_ids", PAYLOADS_START + sequence(PAYLOADS, encode_payload) + b"\x00", 1),
    ("is_terminal", PAYLOADS_START + sequence(PAYLOADS, encode_payload) + b"\x00\x00\x01", 1),
]


@pytest.mark.parametrize("filler", [0, 100_001])
@pytest.mark.parametrize(("field", "before", "minimum"), FIELDS, ids=[field[0] for field in FIELDS])
def test_counts_of_two_to_the_64_run_out_of_input(field, before, minimum, filler):
    # Zero bytes are valid elements of every kind, so the reader takes them
    # all (reserving no more than they can hold) and then runs out.
    data = before + MAX_U64_COUNT + bytes(filler)
    additional = minimum - filler % minimum if filler % minimum else minimum
    raises_exactly(
        lambda: PrefixSearch.from_bytes(data),
        ValueError,
        f"decode error: UnexpectedEnd {{ additional: {additional} }}",
    )


# ---- Deep tries --------------------------------------------------------------

CHAIN_NODES = 100_000
# The one stored term: a path of 99,999 labels, ending at the only terminal node.
STORED = (string.ascii_lowercase * (CHAIN_NODES // 26 + 1))[: CHAIN_NODES - 1]


def chain_arrays():
    return (
        list(range(CHAIN_NODES)),
        [""] + list(STORED),
        [None] * (CHAIN_NODES - 1) + [(1, [0], [1])],
        list(range(1, CHAIN_NODES)),
        [b"\x07\x00\x00\x00"],
    )


@pytest.fixture(scope="module", params=["built", "restored"])
def chain(request):
    shifts, labels, payloads, transitions, video_index = chain_arrays()
    if request.param == "built":
        return FROM_ARRAYS(shifts, labels, payloads, transitions, video_index, 10)
    # As written after propagation: every node holds the leaf's payload.
    data = snapshot(shifts, labels, transitions, [(1, [0], [1])] * CHAIN_NODES, int_ids=[7],
                    terminal=[False] * (CHAIN_NODES - 1) + [True])
    return PrefixSearch.from_bytes(data)


def damaged_prefix(length):
    """The first `length` scalars of the stored term (padded with '#'), two
    of them replaced by '#', which the term never contains; and its true
    distance to the stored term."""
    query = list(STORED[:length]) + ["#"] * max(0, length - len(STORED))
    query[0] = query[length // 2] = "#"
    return "".join(query), abs(len(STORED) - length) + 2


@pytest.mark.parametrize("length", [10, 1000])
def test_deep_chain_gives_the_true_distance(chain, length):
    # The walk costs query length x nodes: 10**8 cells at length 1000.
    query, distance = damaged_prefix(length)
    assert chain.fuzzy_match(query, MAX_U32) == [(STORED, 1, distance)]


def test_deep_chain_distance_bounds(chain):
    query, distance = damaged_prefix(10)
    assert chain.fuzzy_match(query, distance) == [(STORED, 1, distance)]
    assert chain.fuzzy_match(query, distance - 1) == []
    assert chain.fuzzy_match(query, MAX_U32, 1) == [(STORED, 1, distance)]
    assert chain.fuzzy_match(query, MAX_U32, 0) == [(STORED, 1, distance)]


def test_deep_chain_video_query(chain):
    query, _ = damaged_prefix(10)
    # The one terminal node is farther than the query is long: it weighs nothing.
    assert chain.fuzzy_match_video(query, MAX_U32) == []
    assert chain.fuzzy_match_video(query, MAX_U32, None, False) == []
    # Inner nodes near the query's length carry the propagated video.
    assert chain.fuzzy_match_video(query, MAX_U32, None, True) == [("7", 1.0)]
    assert chain.fuzzy_match_video(query, 1, None, True) == []


def test_deep_chain_snapshot_round_trip(chain):
    built = FROM_ARRAYS(*chain_arrays(), 10).to_bytes()
    assert chain.to_bytes() == built
    assert PrefixSearch.from_bytes(built).to_bytes() == built


CATERPILLAR_DEPTH = 70_000


@pytest.fixture(scope="module")
def caterpillar():
    """A spine of 'a' nodes; each spine node has the next spine node first,
    then a leaf 'b', so every spine node is still pending when the walk
    reaches the bottom. Only the spine's end and the deepest leaf are terms.
    Deep enough for 32-bit cells."""
    depth = CATERPILLAR_DEPTH
    nodes = 2 * depth + 1  # spine node i is 2i, its leaf 2i + 1
    shifts = [k if k % 2 == 0 else k + 1 for k in range(nodes)]
    transitions = [k + 2 if k % 2 == 0 else k for k in range(2 * depth)]
    labels = [""] + ["b" if k % 2 else "a" for k in range(1, nodes)]
    payloads = [None] * nodes
    payloads[nodes - 1] = payloads[nodes - 2] = (1, [0], [1])
    return FROM_ARRAYS(shifts, labels, payloads, transitions, [b"\x01\x00\x00\x00"], 1)


def test_caterpillar_keeps_a_row_for_every_pending_node(caterpillar):
    depth = CATERPILLAR_DEPTH
    query = "a" * 30
    assert caterpillar.fuzzy_match(query, MAX_U32) == [
        ("a" * depth, 1, depth - 30),
        ("a" * (depth - 1) + "b", 1, depth - 30),
    ]
    assert caterpillar.fuzzy_match(query, depth - 31) == []


def test_rows_past_256_mib_are_refused(caterpillar):
    # 70,000 pending rows of 20,001 32-bit cells would take 5.6 GB: the walk
    # stops at 256 MiB of rows instead of risking the process.
    for method in (caterpillar.fuzzy_match, caterpillar.fuzzy_match_video):
        with pytest.raises(MemoryError):
            method("a" * 20_000, MAX_U32)
    # Shorter rows fit: 70,000 rows of 201 cells.
    assert caterpillar.fuzzy_match("a" * 200, MAX_U32)[0] == ("a" * CATERPILLAR_DEPTH, 1, CATERPILLAR_DEPTH - 200)


# ---- Huge queries on an ordinary trie ----------------------------------------


def words(rng, count, alphabet):
    return sorted({"".join(rng.choices(alphabet, k=rng.randint(1, 8))) for _ in range(count)})


@pytest.fixture(scope="module")
def ordinary():
    terms = words(random.Random(7), 80, "abcdef")
    arrays = build_flat_arrays((term, k % 5, k + 1) for k, term in enumerate(terms))
    return terms, FROM_ARRAYS(*arrays.arguments(video_top_n=3))


@pytest.mark.parametrize("scalar", ["a", "z", "\U0001f600"])
@pytest.mark.parametrize("max_dist", [1, 2])
def test_query_of_100_000_scalars_matches_nothing(ordinary, scalar, max_dist):
    _, trie = ordinary
    assert trie.fuzzy_match(scalar * 100_000, max_dist) == []
    assert trie.fuzzy_match_video(scalar * 100_000, max_dist) == []
    assert trie.fuzzy_match_video(scalar * 100_000, max_dist, None, True) == []


def test_query_of_100_000_scalars_at_full_distance(ordinary):
    terms, trie = ordinary
    # No stored term holds a 'z': every one is 100,000 edits away.
    found = trie.fuzzy_match("z" * 100_000, MAX_U32)
    assert sorted(term for term, _, _ in found) == terms
    assert {(flag, distance) for _, flag, distance in found} == {(1, 100_000)}
    assert trie.fuzzy_match("z" * 100_000, 99_999) == []


# ---- Sequences that lie, fail or change ---------------------------------------


class Liar:
    """A sequence whose reported length need not match what iterating it
    gives, whose __len__ may raise, and whose iteration may fail after
    `fail_after` items."""

    def __init__(self, items, length=None, len_error=None, fail_after=None, error=None):
        self.items, self.length, self.len_error = list(items), length, len_error
        self.fail_after, self.error = fail_after, error

    def __len__(self):
        if self.len_error is not None:
            raise self.len_error
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, index):
        return self.items[index]

    def __iter__(self):
        for k, item in enumerate(self.items):
            if k == self.fail_after:
                raise self.error
            yield item


def with_argument(name, value):
    arrays = small_arrays()
    arrays[name] = value
    return arrays


REPORTED_LENGTHS = [10**15, 0, 2**63 - 1]
LENGTH_ERRORS = [RuntimeError("no length"), OverflowError("too long"), ValueError("negative")]


@pytest.mark.parametrize("name", ARGUMENTS)
@pytest.mark.parametrize(
    "liar",
    [lambda items, n=n: Liar(items, length=n) for n in REPORTED_LENGTHS]
    + [lambda items, error=error: Liar(items, len_error=error) for error in LENGTH_ERRORS],
    ids=[f"len {n}" for n in REPORTED_LENGTHS] + [f"len raises {type(e).__name__}" for e in LENGTH_ERRORS],
)
def test_reported_length_is_only_a_hint(name, liar):
    arrays = small_arrays()
    arrays[name] = liar(arrays[name])
    assert build(arrays).to_bytes() == SMALL_BYTES


class Interrupt(BaseException):
    """Neither an Exception nor one of the interpreter's own."""


INTERRUPTS = [KeyboardInterrupt(), SystemExit(3), GeneratorExit(), Interrupt("stop")]


@pytest.mark.parametrize("name", [*ARGUMENTS, "video_ids"])
@pytest.mark.parametrize("interrupt", INTERRUPTS, ids=[type(e).__name__ for e in INTERRUPTS])
def test_length_query_interrupted_passes_on(name, interrupt):
    # Only an Exception from __len__ means "no hint"; Ctrl-C must not be lost.
    arrays = small_arrays()
    if name == "video_ids":
        total, ids, counts = arrays["payloads"][2]
        arrays["payloads"][2] = (total, Liar(ids, len_error=interrupt), counts)
    else:
        arrays[name] = Liar(arrays[name], len_error=interrupt)
    with pytest.raises(BaseException) as raised:
        build(arrays)
    assert raised.value is interrupt


@pytest.mark.parametrize("length", REPORTED_LENGTHS)
def test_nested_reported_lengths_are_only_hints(length):
    arrays = small_arrays()
    arrays["video_index"] = [Liar(entry, length=length) for entry in VIDEO_INDEX]
    arrays["payloads"] = [None, None, (2, Liar([0], length=length), Liar([2], length=length)), (1, [1], [1])]
    assert build(arrays).to_bytes() == SMALL_BYTES


# Run in a process whose address space is capped at 512 MiB above what it
# uses when the test starts: reservations that follow reported lengths show
# up as MemoryError there, even while untouched pages cost no resident memory.
BOUNDED_BUILD = textwrap.dedent("""
    import resource
    from _corvalind import PrefixSearch

    class Liar:
        def __init__(self, items):
            self.items = items
        def __len__(self):
            return 10**15
        def __getitem__(self, index):
            return self.items[index]

    entries = [Liar(k.to_bytes(4, "little")) for k in range(1000)]
    payloads = [None] + [(1, Liar([k]), Liar([1])) for k in range(1000)]
    with open("/proc/self/status") as status:
        size = int(status.read().split("VmSize:")[1].split()[0]) * 1024
    resource.setrlimit(resource.RLIMIT_AS, (size + (512 << 20), resource.getrlimit(resource.RLIMIT_AS)[1]))
    trie = PrefixSearch.from_internal_data_v2(
        list(range(1001)), [""] + ["a"] * 1000, payloads, list(range(1, 1001)), entries, 1)
    print(trie.fuzzy_match("a" * 1000, 0)[0][2])
""")


@pytest.mark.skipif(sys.platform != "linux", reason="reads /proc/self/status")
def test_nested_lengths_do_not_multiply_reservations():
    # 2,000 nested sequences each claim 10**15 items and hold one or four.
    result = subprocess.run([sys.executable, "-c", BOUNDED_BUILD], capture_output=True, text=True)
    assert (result.returncode, result.stdout) == (0, "0\n"), result.stderr[-500:]


# The first typo query builds the trie's derived index; when memory runs out
# there, that call raises MemoryError, queries that need no index still
# work, and the next typo query builds it. The child restores the trie from
# a file, so that no freed memory is left to build the index in, and caps
# its address space just above what it then uses.
INDEX_OUT_OF_MEMORY = textwrap.dedent("""
    import ctypes, gc, resource, sys
    from _corvalind import PrefixSearch

    with open(sys.argv[1], "rb") as file:
        data = file.read()
    trie = PrefixSearch.from_bytes(data)
    del data
    word, typo = sys.argv[2], sys.argv[3]
    gc.collect()
    ctypes.CDLL("libc.so.6").malloc_trim(0)
    with open("/proc/self/status") as status:
        size = int(status.read().split("VmSize:")[1].split()[0]) * 1024
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (size + (1 << 20), hard))
    try:
        trie.fuzzy_match(typo, 1)
    except MemoryError:
        print("MemoryError")
    print(trie.fuzzy_match(word, 0))
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    print(trie.fuzzy_match(typo, 1))
""")


@pytest.mark.skipif(sys.platform != "linux", reason="reads /proc/self/status")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="ASan reserves its heap up front")
def test_out_of_memory_while_indexing_fails_that_call_only(tmp_path):
    rng = random.Random(5)
    words = sorted({"".join(rng.choices("abcdefghijklmnop", k=12)) for _ in range(60_000)})
    trie = PrefixSearch.from_internal_data_v2(*build_flat_arrays([(w, 1, 1) for w in words]).arguments(1))
    (tmp_path / "trie.snapshot").write_bytes(trie.to_bytes())
    word = words[0]
    typo = word[:6] + "z" + word[7:]
    result = subprocess.run(
        [sys.executable, "-c", INDEX_OUT_OF_MEMORY, str(tmp_path / "trie.snapshot"), word, typo],
        capture_output=True, text=True,
    )
    assert result.returncode == 0, result.stderr[-500:]
    assert result.stdout.splitlines() == ["MemoryError", f"[('{word}', 1, 0)]", f"[('{word}', 1, 1)]"]


@pytest.mark.parametrize(
    ("name", "count", "message"),
    [
        ("node_shifts", 5, "node_shifts len 5 != child_labels len 4"),
        ("node_shifts", 1, "node_shifts len 1 != child_labels len 4"),
        ("child_labels", 5, "node_shifts len 4 != child_labels len 5"),
        ("child_labels", 1, "node_shifts len 4 != child_labels len 1"),
        ("payloads", 5, "payloads len 5 != child_labels len 4"),
        ("payloads", 1, "payloads len 1 != child_labels len 4"),
        ("child_transitions", 5, "child_transitions[3] = 9 out of range [0..4)"),
        (
            "child_transitions",
            2,
            "malformed trie: edges of node 1 end at node_shifts[2] = 3, past the 2 entries of child_transitions",
        ),
        ("video_index", 5, "video_index entries must be all 16 bytes (UUID) or all 4 bytes (int32)"),
    ],
)
def test_items_iterated_count_not_the_reported_length(name, count, message):
    # Each sequence says it holds as many items as the correct array, then
    # yields `count`; the checks see what was yielded.
    padding = {
        "node_shifts": 3, "child_labels": "d", "payloads": None, "child_transitions": 9, "video_index": b"\x09"
    }
    items = (small_arrays()[name] + [padding[name]] * 5)[:count]
    correct_length = len(small_arrays()[name])
    raises_exactly(lambda: build(with_argument(name, Liar(items, length=correct_length))), ValueError, message)


class Boom(Exception):
    pass


class SubTypeError(TypeError):
    pass


def failing(items, error, after=1):
    return Liar(items, length=len(items), fail_after=after, error=error)


@pytest.mark.parametrize("name", ARGUMENTS)
@pytest.mark.parametrize("error", [Boom("boom"), KeyError("k"), SubTypeError("sub"), MemoryError()])
def test_errors_raised_mid_iteration_pass_unchanged(name, error):
    arrays = with_argument(name, failing(small_arrays()[name], error))
    with pytest.raises(BaseException) as raised:
        build(arrays)
    assert raised.value is error


@pytest.mark.parametrize("name", ARGUMENTS)
def test_type_errors_raised_mid_iteration_get_the_argument_name(name):
    cause = LookupError("root cause")
    error = TypeError("halfway")
    error.__cause__ = cause
    arrays = with_argument(name, failing(small_arrays()[name], error))
    raised = raises_exactly(lambda: build(arrays), TypeError, f"argument '{name}': halfway")
    assert raised.__cause__ is cause


def test_nested_iteration_errors():
    # Inside video_index the whole value is under the argument's name...
    arrays = with_argument("video_index", [b"\x01\x00\x00\x00", failing([2, 0, 0, 0], TypeError("inner"), 2)])
    raises_exactly(lambda: build(arrays), TypeError, "argument 'video_index': inner")
    # ...while payload tuples are converted by the builder, without it.
    for error in [TypeError("in ids"), Boom("in ids")]:
        arrays = with_argument("payloads", [None, None, (2, failing([0], error, 0), [2]), (1, [1], [1])])
        with pytest.raises(BaseException) as raised:
            build(arrays)
        assert raised.value is error


def test_iterator_protocol_failures():
    class NotAnIterator(Liar):
        def __iter__(self):
            return 5

    arrays = with_argument("node_shifts", NotAnIterator(SHIFTS))
    raises_exactly(
        lambda: build(arrays), TypeError, "argument 'node_shifts': iter() returned non-iterator of type 'int'"
    )


def test_range_of_10_to_the_12_is_refused_at_its_first_item():
    for name, target in [("child_labels", "PyString"), ("video_index", "Sequence")]:
        raises_exactly(
            lambda name=name: build(with_argument(name, range(10**12))),
            TypeError,
            f"argument '{name}': 'int' object cannot be converted to '{target}'",
        )


class Index:
    """An integer-like object whose __index__ runs `action` first."""

    def __init__(self, value, action=None):
        self.value, self.action = value, action

    def __index__(self):
        if self.action is not None:
            self.action()
        return self.value


def raiser(error):
    def action():
        raise error

    return action


@pytest.mark.parametrize("slot", ["total", "video_ids", "video_counts"])
@pytest.mark.parametrize("error", [ValueError("bad index"), TypeError("no index"), ZeroDivisionError()])
def test_payload_items_raising_in_index_pass_unchanged(slot, error):
    bad = Index(0, raiser(error))
    payload = {"total": (bad, [0], [2]), "video_ids": (2, [bad], [2]), "video_counts": (2, [0], [bad])}[slot]
    arrays = with_argument("payloads", [None, None, payload, (1, [1], [1])])
    with pytest.raises(BaseException) as raised:
        build(arrays)
    assert raised.value is error


@pytest.mark.parametrize(
    ("value", "exception", "message"),
    [
        (-1, OverflowError, "out of range integral type conversion attempted"),
        (2**32, OverflowError, "out of range integral type conversion attempted"),
        (2**64, OverflowError, "Python int too large to convert to C long"),
    ],
)
def test_index_results_are_range_checked(value, exception, message):
    arrays = with_argument("payloads", [None, None, (Index(value), [0], [2]), (1, [1], [1])])
    raises_exactly(lambda: build(arrays), exception, message)
    arrays = with_argument("node_shifts", [0, Index(value), 3, 3])
    raises_exactly(lambda: build(arrays), exception, message)


def test_index_returning_a_non_int():
    arrays = with_argument("child_transitions", [1, Index("2"), 3])
    raises_exactly(
        lambda: build(arrays),
        TypeError,
        "argument 'child_transitions': __index__ returned non-int (type str)",
    )


def test_lists_mutated_while_converted():
    # Emptying the list being read ends it early.
    shifts = [0]
    shifts += [Index(1, shifts.clear), 3, 3]
    raises_exactly(
        lambda: build(with_argument("node_shifts", shifts)), ValueError, "node_shifts len 2 != child_labels len 4"
    )
    # Growing it is read to the new end.
    shifts = [0]
    shifts.append(Index(1, lambda: shifts.extend([3, 3])))
    assert build(with_argument("node_shifts", shifts)).to_bytes() == SMALL_BYTES
    # Growing a later argument before it is read.
    arrays = small_arrays()
    arrays["node_shifts"] = [0, Index(1, lambda: arrays["child_labels"].append("d")), 3, 3]
    raises_exactly(lambda: build(arrays), ValueError, "node_shifts len 4 != child_labels len 5")


def test_payload_tuples_dropped_by_their_list_while_converted():
    # The list holds the only references to the tuples; clearing it while
    # one is converted must not free the ones still to come.
    arrays = small_arrays()
    payloads = arrays["payloads"] = [None, None, (2, [0], [Index(2, lambda: payloads.clear())]), (1, [1], [1])]
    assert build(arrays).to_bytes() == SMALL_BYTES


def test_video_index_mutated_while_converted():
    index = [b"\x01\x00\x00\x00"]
    index.append([Index(2, index.clear), 0, 0, 0])
    # The outer list was emptied after its second entry was taken: both count.
    assert build(with_argument("video_index", index)).to_bytes() == SMALL_BYTES
    entry = [2, 0, 0, 0]
    entry[1] = Index(0, lambda: entry.clear())
    raises_exactly(
        lambda: build(with_argument("video_index", [b"\x01\x00\x00\x00", entry])),
        ValueError,
        "video_index entries must be all 16 bytes (UUID) or all 4 bytes (int32)",
    )


# ---- Damaged snapshots ----------------------------------------------------------


def producer_snapshot(id_kind):
    rng = random.Random(id_kind)
    terms = words(rng, 90, "abcdeé日")
    if id_kind == "int":
        ids = [k * 7919 + 250 for k in range(12)]
    else:
        ids = [uuid.UUID(int=rng.getrandbits(128)) for _ in range(12)]
    records = [(term, rng.choice(ids), rng.randint(1, 70_000)) for term in terms for _ in range(rng.randint(1, 3))]
    arrays = build_flat_arrays(records)
    assert 200 <= len(arrays.child_labels) <= 600
    return terms, FROM_ARRAYS(*arrays.arguments(video_top_n=4)).to_bytes()


@pytest.fixture(scope="module", params=["int", "uuid"])
def stored(request):
    return producer_snapshot(request.param)


def restores_or_refuses(data, queries):
    """from_bytes either refuses `data` with a reader's ValueError, or gives
    a trie that round-trips and answers queries without error."""
    try:
        trie = PrefixSearch.from_bytes(data)
    except ValueError as error:
        assert str(error).startswith(("decode error: ", "malformed trie: ")), str(error)
        return False
    written = trie.to_bytes()
    assert PrefixSearch.from_bytes(written).to_bytes() == written
    for max_dist, query in enumerate(queries):
        max_dist %= 3
        for term, flag, distance in trie.fuzzy_match(query, max_dist):
            assert isinstance(term, str) and flag == 1 and distance <= max_dist
        for video, score in trie.fuzzy_match_video(query, max_dist, 5, max_dist == 2):
            assert isinstance(video, str) and score >= 0.01
    return True


def test_every_proper_prefix_ends_unexpectedly(stored):
    _, data = stored
    for end in range(len(data)):
        with pytest.raises(ValueError) as raised:
            PrefixSearch.from_bytes(data[:end])
        assert str(raised.value).startswith("decode error: UnexpectedEnd { additional: ")


def test_random_bit_flips_are_refused_or_give_a_sound_trie(stored):
    terms, data = stored
    rng = random.Random(len(data))
    queries = terms[::7] + ["", "a", "bad", "日é"]
    restored = 0
    for _ in range(1500):
        damaged = bytearray(data)
        for _ in range(rng.choice([1, 1, 2, 3])):
            bit = rng.randrange(8 * len(damaged))
            damaged[bit // 8] ^= 1 << bit % 8
        restored += restores_or_refuses(bytes(damaged), queries)
    # Flips in counts and payload numbers leave sound tries: both outcomes occur.
    assert 0 < restored < 1500


def test_random_byte_runs_are_refused_or_give_a_sound_trie():
    rng = random.Random(3)
    for _ in range(3000):
        data = bytes(rng.choice([0, 1, 2, 97, 250, 251, 252, 253, 255]) for _ in range(rng.randint(0, 40)))
        restores_or_refuses(data, ["", "a", "ab"])
