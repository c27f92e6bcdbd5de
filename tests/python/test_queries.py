"""fuzzy_match and fuzzy_match_video: what they find, in which order, how
videos are scored, and the argument errors not covered by test_binding."""

from __future__ import annotations

import random

import pytest

from _corvalind import PrefixSearch
from corvalind import build_flat_arrays

from conftest import EMPTY_TRIE, raises_exactly as raises, snapshot

EMPTY = PrefixSearch.from_bytes(EMPTY_TRIE)
MAX_U32 = 2**32 - 1
MAX_U64 = 2**64 - 1


def built(terms, video_top_n=10):
    """A trie built by the producer; each term names video 1 once. Siblings
    come in code point order, so depth-first order is sorted order."""
    records = [(term, 1, 1) for term in terms]
    return PrefixSearch.from_internal_data_v2(*build_flat_arrays(records).arguments(video_top_n))


def restored(terminal, inner=None, **ids):
    """A restored trie whose nodes hold exactly the payloads given, unpropagated.

    `terminal` maps each stored term to its payload (total, video numbers,
    counts) or None; `inner` gives payloads to nodes where no term ends. Every
    other prefix is an inner node without payload. Siblings keep the order in
    which they first appear; "\\0" in a path is a U+0000 label. `ids` are the
    id tables of conftest.snapshot (int_ids=..., uuids=...).
    """
    inner = inner or {}
    paths = [""]
    for key in [*terminal, *inner]:
        paths += [key[:k] for k in range(1, len(key) + 1) if key[:k] not in paths]
    paths.sort(key=len)  # stable: first appearance within one depth
    number = {path: i for i, path in enumerate(paths)}
    children = [[] for _ in paths]
    for path in paths[1:]:
        children[number[path[:-1]]].append(number[path])
    shifts, transitions = [], []
    for edges in children:
        shifts.append(len(transitions))
        transitions += edges
    payloads = [terminal.get(path, inner.get(path)) for path in paths]
    data = snapshot(
        shifts, [path[-1:] for path in paths], transitions, payloads,
        terminal=[path in terminal for path in paths], **ids,
    )
    return PrefixSearch.from_bytes(data)


class Text(str):
    """A str subclass: accepted wherever a str is."""


def levenshtein(a: str, b: str) -> int:
    row = list(range(len(b) + 1))
    for i, ca in enumerate(a, 1):
        diagonal, row[0] = row[0], i
        for j, cb in enumerate(b, 1):
            diagonal, row[j] = row[j], min(row[j] + 1, row[j - 1] + 1, diagonal + (ca != cb))
    return row[-1]


# --------------------------------------------------------------------------
# fuzzy_match

TERMS = ["ab", "abc", "abd", "b", "bcd", "xyz"]


@pytest.mark.parametrize(
    ("terms", "query", "max_dist", "limit", "expected"),
    [
        # A terminal node comes before its subtree: ab (1) before abc (0).
        (["ab", "abc"], "abc", 1, None, [("ab", 1, 1), ("abc", 1, 0)]),
        # Depth-first order, not by distance.
        (TERMS, "abc", 2, None, [("ab", 1, 1), ("abc", 1, 0), ("abd", 1, 1), ("b", 1, 2), ("bcd", 1, 2)]),
        # max_dist 0: exact matches only; ab, on the way to abc, is not one.
        (TERMS, "abc", 0, None, [("abc", 1, 0)]),
        (TERMS, "abx", 0, None, []),
        # limit stops at the first matches found, whatever their distance.
        (TERMS, "abc", 2, 1, [("ab", 1, 1)]),
        (TERMS, "abc", 2, 0, [("ab", 1, 1)]),
        (TERMS, "abc", 2, 3, [("ab", 1, 1), ("abc", 1, 0), ("abd", 1, 1)]),
        (TERMS, "abc", 2, MAX_U64, [("ab", 1, 1), ("abc", 1, 0), ("abd", 1, 1), ("b", 1, 2), ("bcd", 1, 2)]),
        # Empty query: a node at depth d has distance d.
        (["a", "b", "cd"], "", 1, None, [("a", 1, 1), ("b", 1, 1)]),
        (["a", "b", "cd"], "", 2, None, [("a", 1, 1), ("b", 1, 1), ("cd", 1, 2)]),
        (["a", "b", "cd"], "", 0, None, []),
        # One character is one edit, however many UTF-8 bytes it takes.
        (["cafe", "café", "日本", "🙂x"], "cafe", 1, None, [("cafe", 1, 0), ("café", 1, 1)]),
        (["cafe", "café", "日本", "🙂x"], "caf🙂", 1, None, [("cafe", 1, 1), ("café", 1, 1)]),
        (["cafe", "café", "日本", "🙂x"], "日", 1, None, [("日本", 1, 1)]),
        (["cafe", "café", "日本", "🙂x"], "🙂", 1, None, [("🙂x", 1, 1)]),
        (["cafe", "café", "日本", "🙂x"], "x🙂", 1, None, []),
        (["cafe", "café", "日本", "🙂x"], "x🙂", 2, None, [("日本", 1, 2), ("🙂x", 1, 2)]),
        # Case-sensitive, no transpositions.
        (["Abc", "bac"], "abc", 1, None, [("Abc", 1, 1)]),
        (["Abc", "bac"], "abc", 2, None, [("Abc", 1, 1), ("bac", 1, 2)]),
    ],
)
def test_fuzzy_match(terms, query, max_dist, limit, expected):
    trie = built(terms)
    assert trie.fuzzy_match(query, max_dist, limit) == expected
    # The restored snapshot answers the same.
    assert PrefixSearch.from_bytes(trie.to_bytes()).fuzzy_match(query, max_dist, limit) == expected


def test_siblings_come_in_stored_edge_order():
    # Root edges: b first, then a (node numbers and labels say otherwise).
    trie = PrefixSearch.from_bytes(
        snapshot([0, 2, 2], ["", "a", "b"], [2, 1], [None, (1, [0], [1]), (1, [0], [1])], int_ids=[1])
    )
    assert trie.fuzzy_match("", 1) == [("b", 1, 1), ("a", 1, 1)]
    assert trie.fuzzy_match("c", 1, 1) == [("b", 1, 1)]


def test_results_are_fresh_lists_of_exact_tuples():
    trie = built(TERMS)
    first = trie.fuzzy_match("abc", 2)
    assert type(first) is list and first
    for entry in first:
        assert type(entry) is tuple and len(entry) == 3
        assert [type(value) for value in entry] == [str, int, int]
    again = trie.fuzzy_match("abc", 2)
    assert again == first and again is not first
    assert type(trie.fuzzy_match("zzzz", 0)) is list


def test_equivalent_call_forms(small_trie):
    expected = [("ab", 1, 1), ("abc", 1, 0)]
    assert small_trie.fuzzy_match("abc") == expected
    assert small_trie.fuzzy_match("abc", 1, None) == expected
    assert small_trie.fuzzy_match(term="abc", max_dist=1) == expected
    assert small_trie.fuzzy_match("abc", limit=None) == expected
    assert small_trie.fuzzy_match("abc", True) == expected
    assert small_trie.fuzzy_match(Text("abc")) == expected


@pytest.mark.parametrize(
    "trie",
    [
        EMPTY,
        PrefixSearch.from_internal_data_v2([], [], [], [], [], 5),
        # A root without edges, with and without a payload of its own.
        PrefixSearch.from_bytes(snapshot([0], [""], [], [None])),
        PrefixSearch.from_bytes(snapshot([0], [""], [], [(3, [0], [3])], int_ids=[1])),
    ],
)
@pytest.mark.parametrize(("query", "max_dist"), [("", 0), ("", 5), ("abc", 1), ("abc", MAX_U32)])
def test_tries_without_terms_answer_empty_lists(trie, query, max_dist):
    assert trie.fuzzy_match(query, max_dist) == []
    for flag in (None, True, False):
        assert trie.fuzzy_match_video(query, max_dist, None, flag) == []


# Paths below a U+0000 label: \0 itself, \0a (exact for the query a) and \0ab.
HIDDEN_PAYLOAD = (5, [1], [5])
VISIBLE_PAYLOAD = (1, [0], [1])


def hidden_subtree_tries():
    restored_trie = restored(
        {"\0": HIDDEN_PAYLOAD, "\0a": HIDDEN_PAYLOAD, "\0ab": HIDDEN_PAYLOAD, "x": VISIBLE_PAYLOAD},
        int_ids=[100, 200],
    )
    # The builder reads an empty label as U+0000.
    built_trie = PrefixSearch.from_internal_data_v2(
        [0, 2, 3, 3, 4],
        ["", "", "x", "a", "b"],
        [None, HIDDEN_PAYLOAD, VISIBLE_PAYLOAD, HIDDEN_PAYLOAD, HIDDEN_PAYLOAD],
        [1, 2, 3, 4],
        [(100).to_bytes(4, "little"), (200).to_bytes(4, "little")],
        10,
    )
    return [restored_trie, built_trie]


@pytest.mark.parametrize("trie", hidden_subtree_tries())
def test_nul_labels_hide_their_subtree(trie):
    assert trie.fuzzy_match("a", 2) == [("x", 1, 1)]
    assert trie.fuzzy_match("", 3) == [("x", 1, 1)]
    assert trie.fuzzy_match("\0a", 3) == [("x", 1, 2)]
    # Video 1 lives only below the U+0000 label.
    for flag in (None, True, False):
        assert trie.fuzzy_match_video("a", 1, None, flag) == []
        assert trie.fuzzy_match_video("ab", 2, None, flag) == []
    assert trie.fuzzy_match_video("x", 0) == [("100", 1.0)]


@pytest.mark.parametrize("max_dist", [65535, 65536, 131071, MAX_U32])
def test_max_dist_is_compared_in_full(max_dist):
    # Every stored term, with its true distance; no wrap to 16 bits.
    trie = built(["abc", "xyz", "abcdefgh"])
    assert trie.fuzzy_match("abc", max_dist) == [("abc", 1, 0), ("abcdefgh", 1, 5), ("xyz", 1, 3)]


@pytest.mark.parametrize(
    ("max_dist", "expected"),
    [
        (MAX_U32, [("a", 1, 69999), ("aa", 1, 69998), ("b", 1, 70000)]),
        (70000, [("a", 1, 69999), ("aa", 1, 69998), ("b", 1, 70000)]),
        (69999, [("a", 1, 69999), ("aa", 1, 69998)]),
        (69998, [("aa", 1, 69998)]),
        (4463, []),  # 69999 wrapped to 16 bits would be 4463
    ],
)
def test_queries_longer_than_16_bit_cells_get_exact_distances(max_dist, expected):
    trie = built(["a", "aa", "b"])
    assert trie.fuzzy_match("a" * 70000, max_dist) == expected


# --------------------------------------------------------------------------
# fuzzy_match_video

INT_IDS = {"int_ids": list(range(1000, 1010))}

# Query abcd: node abcd exact and terminal; node abce at distance 1.
EXACT = (10, [7, 9], [6, 4])
NEAR = (20, [9], [20])


def test_worked_scores():
    trie = restored({"abcd": EXACT, "abce": NEAR}, **INT_IDS)
    result = trie.fuzzy_match_video("abcd", 1, None, False)
    assert result == [
        ("1007", pytest.approx(6 / 10.75, rel=1e-12)),
        ("1009", pytest.approx(4.75 / 10.75, rel=1e-12)),
    ]
    assert [score for _, score in result] == pytest.approx([0.5581, 0.4419], abs=5e-5)


def test_inner_node_weight_shows_in_the_scores():
    trie = restored({"abcd": EXACT}, {"abce": NEAR}, **INT_IDS)
    total = 10 + 20 * 0.031875
    assert trie.fuzzy_match_video("abcd", 1, None, True) == [
        ("1007", pytest.approx(6 / total, rel=1e-12)),
        ("1009", pytest.approx((4 + 20 * 0.031875) / total, rel=1e-12)),
    ]
    # Without inner nodes, abce does not count.
    assert trie.fuzzy_match_video("abcd", 1) == [("1007", pytest.approx(0.6)), ("1009", pytest.approx(0.4))]


# A stored term card (video 1) below the inner node car (video 2).
CARD = restored({"card": (10, [1], [10])}, {"car": (10, [2], [10])}, **INT_IDS)
CARD_W = (1 - 1 / 3) * 0.05
CARD_TOTAL = 8.5 + 10 * CARD_W
CARD_WITH_INNER = [("1002", pytest.approx(8.5 / CARD_TOTAL)), ("1001", pytest.approx(10 * CARD_W / CARD_TOTAL))]
# Only catalog is stored; the inner node cat has a payload.
CATALOG = restored({"catalog": (5, [1], [5])}, {"cat": (4, [1, 2], [3, 1])}, **INT_IDS)
CATALOG_FALLBACK = [("1001", pytest.approx(0.75)), ("1002", pytest.approx(0.25))]
# The stored term cat has no payload; its inner parent ca has one.
BARE_CAT = restored({"cat": None}, {"ca": (4, [1], [4])}, **INT_IDS)


def numpy_bool(value):
    numpy = pytest.importorskip("numpy")
    return numpy.bool_(value)


@pytest.mark.parametrize(
    ("trie", "query", "max_dist", "flag", "expected"),
    [
        # Terminal nodes within reach: inner ones count only when asked for.
        (CARD, "car", 1, None, [("1001", 1.0)]),
        (CARD, "car", 1, False, [("1001", 1.0)]),
        (CARD, "car", 1, True, CARD_WITH_INNER),
        (CARD, "car", 1, lambda: numpy_bool(True), CARD_WITH_INNER),
        (CARD, "car", 1, lambda: numpy_bool(False), [("1001", 1.0)]),
        # No terminal node within reach: without a flag, inner nodes stand in.
        (CATALOG, "cat", 0, None, CATALOG_FALLBACK),
        (CATALOG, "cat", 0, True, CATALOG_FALLBACK),
        (CATALOG, "cat", 0, False, []),
        # A terminal node was found, though without payload: no fallback.
        (BARE_CAT, "cat", 1, None, []),
        (BARE_CAT, "cat", 1, False, []),
        (BARE_CAT, "cat", 1, True, [("1001", 1.0)]),
    ],
)
def test_include_prefix_nodes(trie, query, max_dist, flag, expected):
    if callable(flag):
        flag = flag()
    assert trie.fuzzy_match_video(query, max_dist, None, flag) == expected
    if flag is None:
        assert trie.fuzzy_match_video(query, max_dist) == expected


@pytest.mark.parametrize(
    ("terminal", "query", "max_dist", "expected"),
    [
        # Empty query: every node is at distance >= 1 while n is 0, so none weighs.
        ({"a": (1, [1], [1]), "ab": (1, [2], [1])}, "", 1, []),
        ({"a": (1, [1], [1]), "ab": (1, [2], [1])}, "", 5, []),
        # One character at max_dist 1: the nodes at distance 1 weigh 0.
        ({"a": (2, [1], [2]), "b": (3, [2], [3]), "ab": (4, [3], [4])}, "a", 1, [("1001", 1.0)]),
        ({"b": (3, [2], [3]), "ab": (4, [3], [4])}, "a", 1, []),
        # Totals all 0 while counts are not: nothing to divide by.
        ({"a": (0, [1], [5]), "b": (0, [2], [3])}, "a", 1, []),
        # Distances up to n - 1 weigh; xyzw, beyond n, would weigh less than 0.
        ({"abc": (1, [1], [1]), "xbc": (1, [2], [1]), "xyzw": (10, [3], [10])}, "abc", 4,
         [("1001", pytest.approx(1 / (1 + 0.05 * 2 / 3))), ("1002", pytest.approx(0.05 * 2 / 3 / (1 + 0.05 * 2 / 3)))]),
    ],
)
def test_weights_by_distance(terminal, query, max_dist, expected):
    trie = restored(terminal, **INT_IDS)
    for flag in (None, True, False):
        assert trie.fuzzy_match_video(query, max_dist, None, flag) == expected


# Videos 0..4 at scores 0.40, 0.30, 0.20, 0.09 and 0.01; video 5 at 0.009
# and video 6 at 0.001 fall below the floor.
LADDER = restored({"a": (1000, [6, 3, 0, 5, 4, 1, 2], [1, 90, 400, 9, 10, 300, 200])}, **INT_IDS)
LADDER_ALL = [("1000", 0.4), ("1001", 0.3), ("1002", 0.2), ("1003", 0.09), ("1004", 0.01)]


@pytest.mark.parametrize(
    ("limit", "expected"),
    [
        (None, LADDER_ALL),
        (0, []),
        (1, LADDER_ALL[:1]),
        (3, LADDER_ALL[:3]),
        (5, LADDER_ALL),
        (6, LADDER_ALL),
        (MAX_U64, LADDER_ALL),
    ],
)
def test_limit_ranking_and_floor(limit, expected):
    result = LADDER.fuzzy_match_video("a", 0, limit)
    assert result == [(video, pytest.approx(score)) for video, score in expected]
    assert result == sorted(result, key=lambda pair: -pair[1])


def test_limit_none_is_the_same_as_omitted():
    assert LADDER.fuzzy_match_video("a", 0, None) == LADDER.fuzzy_match_video("a", 0)
    assert LADDER.fuzzy_match_video("a", 0, limit=None) == LADDER.fuzzy_match_video("a", max_dist=0)


def test_video_results_are_fresh_lists_of_str_float_pairs():
    first = LADDER.fuzzy_match_video("a", 0)
    assert type(first) is list and first
    for entry in first:
        assert type(entry) is tuple and len(entry) == 2
        assert [type(value) for value in entry] == [str, float]
    assert LADDER.fuzzy_match_video("a", 0) is not first
    assert type(LADDER.fuzzy_match_video("zzz", 0)) is list


def test_video_call_forms():
    trie = restored({"abcd": EXACT, "abce": NEAR}, **INT_IDS)
    expected = trie.fuzzy_match_video("abcd")
    assert expected
    assert trie.fuzzy_match_video("abcd", 1, None, None) == expected
    assert trie.fuzzy_match_video(term="abcd", max_dist=1, limit=None, include_prefix_nodes=None) == expected
    assert trie.fuzzy_match_video(Text("abcd"), True) == expected


@pytest.mark.parametrize(
    ("ids", "expected"),
    [
        ({"uuids": [bytes(range(16))]}, "00010203-0405-0607-0809-0a0b0c0d0e0f"),
        ({"uuids": [bytes.fromhex("ffeeddccbbaa99887766554433221100")]}, "ffeeddcc-bbaa-9988-7766-554433221100"),
        ({"int_ids": [4294967295]}, "4294967295"),
        ({"int_ids": [0]}, "0"),
        ({"int_ids": [2147483648]}, "2147483648"),
    ],
)
def test_external_id_text(ids, expected):
    trie = restored({"a": (1, [0], [1])}, **ids)
    assert trie.fuzzy_match_video("a", 0) == [(expected, 1.0)]


def test_uuid_text_of_built_tries_matches_python_uuid():
    import uuid

    rng = random.Random(7)
    videos = [uuid.UUID(int=rng.getrandbits(128)) for _ in range(3)]
    records = [("a", videos[0], 3), ("a", videos[1], 2), ("a", videos[2], 5)]
    trie = PrefixSearch.from_internal_data_v2(*build_flat_arrays(records).arguments(10))
    assert trie.fuzzy_match_video("a", 0) == [(str(videos[2]), 0.5), (str(videos[0]), 0.3), (str(videos[1]), 0.2)]


@pytest.mark.parametrize(
    ("ids", "first", "second"),
    [
        ({"int_ids": [100, 101]}, "100", "101"),
        ({"uuids": [bytes(16), bytes([1]) * 16]}, "00000000-0000-0000-0000-000000000000",
         "01010101-0101-0101-0101-010101010101"),
    ],
)
def test_videos_beyond_the_id_table_are_dropped(ids, first, second):
    # Video 5 ranks second but has no external id.
    trie = restored({"a": (100, [0, 5, 1], [50, 30, 20])}, **ids)
    assert trie.fuzzy_match_video("a", 0) == [(first, 0.5), (second, 0.2)]
    # The cut comes before the drop: two kept, one left.
    assert trie.fuzzy_match_video("a", 0, 2) == [(first, 0.5)]


@pytest.mark.parametrize("max_dist", [1, 70000, MAX_U32])
def test_long_query_video_weights_use_exact_distances(max_dist):
    # Query of 70000 a's: a at distance 69999 weighs half of aa at 69998.
    trie = restored({"a": (1, [0], [1]), "aa": (1, [1], [1])}, **INT_IDS)
    result = trie.fuzzy_match_video("a" * 70000, max_dist)
    if max_dist == 1:
        assert result == []
    else:
        assert result == [("1001", pytest.approx(2 / 3)), ("1000", pytest.approx(1 / 3))]


# --------------------------------------------------------------------------
# Randomized cross-check against plain Python models

ALPHABET = "abcé日"


def random_word(rng, lo=1, hi=7):
    return "".join(rng.choice(ALPHABET) for _ in range(rng.randint(lo, hi)))


def random_case(seed):
    """Records of a few hundred random words, and queries near and far from them."""
    rng = random.Random(seed)
    words = sorted({random_word(rng) for _ in range(300)})
    records = [
        (word, 1000 + rng.randrange(12), rng.randint(1, 50)) for word in words for _ in range(rng.randint(1, 3))
    ]
    queries = [""] + [random_word(rng, 1, 8) for _ in range(12)]
    for word in rng.sample(words, 12):
        at = rng.randrange(len(word) + 1)
        queries.append(word[:at] + rng.choice(ALPHABET) + word[at + 1 :])
    return records, queries


SEEDS = [1, 2, 3, 4]


@pytest.mark.parametrize("seed", SEEDS)
def test_fuzzy_match_agrees_with_brute_force(seed):
    records, queries = random_case(seed)
    trie = PrefixSearch.from_internal_data_v2(*build_flat_arrays(records).arguments(3))
    terms = sorted({term for term, _, _ in records})
    for query in queries:
        distances = {term: levenshtein(query, term) for term in terms}
        for max_dist in range(4):
            # Children in code point order: depth-first order is sorted order.
            expected = [(term, 1, d) for term, d in distances.items() if d <= max_dist]
            full = trie.fuzzy_match(query, max_dist)
            assert full == expected, (query, max_dist)
            for limit in {0, 1, 2, len(full) // 2, len(full), len(full) + 1}:
                assert trie.fuzzy_match(query, max_dist, limit) == full[: max(limit, 1)], (query, max_dist, limit)


WIDE_ALPHABET = "abcdefghijkléñ日🙂"


def near_misses(rng, word):
    """Words one to three edits from `word`, mostly at the middle, where the
    searches that start from an exact half of the query meet."""
    out = []
    for _ in range(8):
        w = word
        for _ in range(rng.randint(1, 3)):
            middle = (len(w) + 1) // 2
            at = min(len(w), middle + rng.randint(-1, 1) if rng.random() < 0.7 else rng.randint(0, len(w)))
            kind = rng.randrange(3) if w else 1
            letter = rng.choice(WIDE_ALPHABET)
            edits = (w[:at] + letter + w[at + 1 :], w[:at] + letter + w[at:], w[:at] + w[at + 1 :])
            w = edits[kind]
        out.append(w)
    return out


@pytest.mark.parametrize("seed", [11, 12, 13])
@pytest.mark.parametrize("restore", [False, True], ids=["built", "restored"])
def test_typo_search_from_either_half_agrees_with_brute_force(seed, restore):
    # Queries of 1 to 16 characters, many with one repeated letter, near
    # words that differ from them around the middle; a wide alphabet gives
    # nodes more children than are looked at one by one. A built trie has
    # its children in code point order, a restored one in order of first
    # appearance.
    rng = random.Random(seed)
    queries = []
    for length in range(1, 17):
        queries.append(rng.choice("ab") * length)
        queries.append("".join(rng.choice(WIDE_ALPHABET) for _ in range(length)))
    words = set(queries)
    for query in queries:
        words.update(w for w in near_misses(rng, query) if w)
    words = [w for w in words if w]
    rng.shuffle(words)
    if restore:
        trie = restored({w: (1, [0], [1]) for w in words}, int_ids=[7])
    else:
        trie = PrefixSearch.from_internal_data_v2(*build_flat_arrays([(w, 7, 1) for w in words]).arguments(3))
    appearance = {}
    for w in words:
        for k in range(1, len(w) + 1):
            appearance.setdefault(w[:k], len(appearance))

    def key(term):  # pre-order
        if restore:
            return [appearance[term[:k]] for k in range(1, len(term) + 1)]
        return [ord(c) for c in term]
    for query in queries:
        distances = {w: levenshtein(query, w) for w in words}
        for max_dist in range(4):
            expected = [(w, 1, distances[w]) for w in sorted(words, key=key) if distances[w] <= max_dist]
            full = trie.fuzzy_match(query, max_dist)
            assert full == expected, (query, max_dist)
            for limit in {0, 1, 2, len(full) // 2, len(full)}:
                assert trie.fuzzy_match(query, max_dist, limit) == full[: max(limit, 1)], (query, max_dist, limit)
            videos = trie.fuzzy_match_video(query, max_dist, None, False)
            reached = any((d <= max_dist and d < len(query)) or d == 0 for _, _, d in full)
            assert [v for v, _ in videos] == (["7"] if reached else [])


def subtree_payloads(records):
    """Per node (every prefix of a stored term): the total and the per-video
    counts of all records below it, as propagation without a cut makes them."""
    totals, counts = {}, {}
    for term, video, count in records:
        for k in range(1, len(term) + 1):
            node = term[:k]
            totals[node] = totals.get(node, 0) + count
            per_video = counts.setdefault(node, {})
            per_video[str(video)] = per_video.get(str(video), 0) + count
    return totals, counts


def video_model(nodes, stored, distances, max_dist, include_prefix_nodes, n):
    """Scores of the video query from first principles, by external id."""
    totals, counts = nodes
    near = {node: d for node, d in distances.items() if d <= max_dist}
    terminal_near = {node: d for node, d in near.items() if node in stored}
    if include_prefix_nodes is True or (include_prefix_nodes is None and not terminal_near):
        used = near
    else:
        used = terminal_near
    total_weight, scores = 0.0, {}
    for node, d in used.items():
        if d == 0:
            weight = 1.0
        elif d >= n:
            continue
        else:
            weight = (1 - d / n) * 0.05
        if node not in stored:
            weight *= 0.85
        total_weight += weight * totals[node]
        for video, count in counts[node].items():
            scores[video] = scores.get(video, 0.0) + weight * count
    if total_weight <= 0:
        return {}
    return {video: score / total_weight for video, score in scores.items() if score / total_weight >= 0.01}


@pytest.mark.parametrize("seed", SEEDS)
def test_fuzzy_match_video_agrees_with_a_model(seed):
    records, queries = random_case(seed)
    # video_top_n above the number of videos: propagation keeps every one.
    trie = PrefixSearch.from_internal_data_v2(*build_flat_arrays(records).arguments(100))
    nodes = subtree_payloads(records)
    stored = {term for term, _, _ in records}
    for query in queries:
        distances = {node: levenshtein(query, node) for node in nodes[0]}
        for max_dist in range(3):
            for flag in (None, True, False):
                expected = video_model(nodes, stored, distances, max_dist, flag, len(query))
                result = trie.fuzzy_match_video(query, max_dist, None, flag)
                context = (query, max_dist, flag)
                assert dict(result) == pytest.approx(expected, rel=1e-9), context
                assert len(result) == len(expected), context
                scores = [score for _, score in result]
                assert scores == sorted(scores, reverse=True), context
                best = sorted(expected.values(), reverse=True)[:3]
                assert [s for _, s in trie.fuzzy_match_video(query, max_dist, 3, flag)] == pytest.approx(best), context


# --------------------------------------------------------------------------
# Argument errors beyond test_binding


def fake_numpy_bool(**body):
    return type("bool_", (), {"__module__": "numpy", **body})()


VIDEO = EMPTY.fuzzy_match_video


@pytest.mark.parametrize(
    ("call", "exception", "message"),
    [
        (lambda: EMPTY.fuzzy_match("abc", dist=1), TypeError,
         "PrefixSearch.fuzzy_match() got an unexpected keyword argument 'dist'"),
        (lambda: EMPTY.fuzzy_match("abc", 1, max_dist=2), TypeError,
         "PrefixSearch.fuzzy_match() got multiple values for argument 'max_dist'"),
        # Binding errors come before any conversion.
        (lambda: EMPTY.fuzzy_match(5, 1, None, 4), TypeError,
         "PrefixSearch.fuzzy_match() takes from 1 to 3 positional arguments but 4 were given"),
        (lambda: EMPTY.fuzzy_match(5, Limit=1), TypeError,
         "PrefixSearch.fuzzy_match() got an unexpected keyword argument 'Limit'"),
        (lambda: EMPTY.fuzzy_match(None), TypeError,
         "argument 'term': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda: EMPTY.fuzzy_match(b"abc"), TypeError,
         "argument 'term': 'bytes' object cannot be converted to 'PyString'"),
        (lambda: EMPTY.fuzzy_match("abc", 2**70), OverflowError, "Python int too large to convert to C long"),
        (lambda: EMPTY.fuzzy_match("abc", 1, 2**64), OverflowError, "int too big to convert"),
        (lambda: EMPTY.fuzzy_match("abc", 1, "3"), TypeError,
         "argument 'limit': 'str' object cannot be interpreted as an integer"),
        (lambda: VIDEO(), TypeError, "PrefixSearch.fuzzy_match_video() missing 1 required positional argument: 'term'"),
        (lambda: VIDEO("abc", term="x"), TypeError,
         "PrefixSearch.fuzzy_match_video() got multiple values for argument 'term'"),
        (lambda: VIDEO("abc", 1, None, True, include_prefix_nodes=True), TypeError,
         "PrefixSearch.fuzzy_match_video() got multiple values for argument 'include_prefix_nodes'"),
        (lambda: VIDEO(5), TypeError, "argument 'term': 'int' object cannot be converted to 'PyString'"),
        (lambda: VIDEO(5, None, -1, 1), TypeError, "argument 'term': 'int' object cannot be converted to 'PyString'"),
        (lambda: VIDEO("abc", None), TypeError,
         "argument 'max_dist': 'NoneType' object cannot be interpreted as an integer"),
        (lambda: VIDEO("abc", -1), OverflowError, "out of range integral type conversion attempted"),
        (lambda: VIDEO("abc", 4294967296), OverflowError, "out of range integral type conversion attempted"),
        (lambda: VIDEO("abc", 2**70), OverflowError, "Python int too large to convert to C long"),
        (lambda: VIDEO("abc", 1, -1), OverflowError, "can't convert negative int to unsigned"),
        (lambda: VIDEO("abc", 1, 2.0), TypeError,
         "argument 'limit': 'float' object cannot be interpreted as an integer"),
        # include_prefix_nodes is converted last.
        (lambda: VIDEO("abc", 1, -1, 1), OverflowError, "can't convert negative int to unsigned"),
        (lambda: VIDEO("abc", 1, None, 0), TypeError,
         "argument 'include_prefix_nodes': 'int' object cannot be converted to 'PyBool'"),
        (lambda: VIDEO("abc", 1, None, "yes"), TypeError,
         "argument 'include_prefix_nodes': 'str' object cannot be converted to 'PyBool'"),
        (lambda: VIDEO("abc", 1, None, 1.0), TypeError,
         "argument 'include_prefix_nodes': 'float' object cannot be converted to 'PyBool'"),
        # A type named bool_ counts as a numpy boolean only when it comes from numpy.
        (lambda: VIDEO("abc", 1, None, type("bool_", (), {})()), TypeError,
         "argument 'include_prefix_nodes': 'bool_' object cannot be converted to 'PyBool'"),
        (lambda: VIDEO("abc", 1, None, fake_numpy_bool()), TypeError,
         "argument 'include_prefix_nodes': object of type '<class 'numpy.bool_'>' "
         "does not define a '__bool__' conversion"),
    ],
)
def test_query_argument_errors(call, exception, message):
    raises(call, exception, message)


@pytest.mark.parametrize("method", [EMPTY.fuzzy_match, EMPTY.fuzzy_match_video])
def test_lone_surrogates_pass_the_encoding_error(method):
    with pytest.raises(UnicodeEncodeError):
        method("ab\udc80")


def test_numpy_named_booleans_are_asked_for_their_truth():
    # CARD with inner nodes scores video 2 first; without, only video 1.
    truthy = fake_numpy_bool(__bool__=lambda self: True)
    falsy = fake_numpy_bool(__bool__=lambda self: False)
    assert CARD.fuzzy_match_video("car", 1, None, truthy) == CARD_WITH_INNER
    assert CARD.fuzzy_match_video("car", 1, None, falsy) == [("1001", 1.0)]
