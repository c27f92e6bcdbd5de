"""The search layer: normalize, build_from_titles, read_titles, search, explain, suggest."""

from __future__ import annotations

import sys
import unicodedata
import uuid

import pytest

import corvalind
from corvalind import RecordFileError, build_from_titles, explain, normalize, read_titles, search, suggest
from corvalind.search import typo_budget
from corvalind.text import MARK_PLANES

TITLES = [
    (1, "Funny cat compilation"),
    (2, "Sam and the sample"),
    (3, "Same old cat"),
    (4, "Samples of funny dogs"),
    (5, "Hello World"),
    (6, "The quick brown fox"),
    (7, "Receive a parcel"),
    (8, "Perception of colour"),
    (9, "Recipe for bread"),
]


@pytest.fixture(scope="module")
def trie() -> corvalind.PrefixSearch:
    return build_from_titles(TITLES)


@pytest.mark.parametrize(
    ("text", "words"),
    [
        ("Hello World", ["hello", "world"]),
        ("ＨＥＬＬＯ  wörld!", ["hello", "wörld"]),  # NFKC, case folding, accents kept
        ("Straße", ["strasse"]),
        ("rock’n’roll e-mail -x- don't 'quoted'", ["rock'n'roll", "e-mail", "x", "don't", "quoted"]),
        ("cafe\u0301 café", ["café", "café"]),  # a combining mark stays in its word
        ("東京タワー 夜景", ["東京タワー", "夜景"]),  # no spaces: one word per run
        ("नमस्ते दुनिया", ["नमस्ते", "दुनिया"]),  # vowel signs are marks, not separators
        ("a_b, c--d 3.5 ½", ["a", "b", "c", "d", "3", "5", "1", "2"]),
        ("", []),
        ("$ ! ...", []),
        ("x" * 100, ["x" * 64]),
    ],
)
def test_normalize(text, words):
    assert normalize(text) == words


def test_every_combining_mark_lies_where_normalize_looks_for_marks():
    outside = [
        point
        for point in range(sys.maxunicode + 1)
        if unicodedata.category(chr(point)).startswith("M") and not any(point in plane for plane in MARK_PLANES)
    ]
    assert outside == []


def test_normalize_refuses_non_text():
    with pytest.raises(TypeError, match="text must be a str, not bytes"):
        normalize(b"hello")  # type: ignore[arg-type]


def test_every_word_of_every_title_is_found_exactly():
    titles = [
        *TITLES,
        (10, "Ünïcödé ＦＵＬＬ-width Straße rock’n’roll 東京タワー"),
        (11, "x" * 80 + " tail"),
    ]
    trie = build_from_titles(titles)
    for video, title in titles:
        for word in normalize(title):
            assert (word, 0) in suggest(trie, word, limit=1000, typos=2)
            assert str(video) in [found for found, _ in search(trie, word, limit=1000, typos=0, prefix_last=False)]


def test_words_own_videos_are_not_mixed_with_longer_words(trie):
    # "sam" is the start of "same", "sample" and "samples", yet its own video comes first.
    assert search(trie, "sam", prefix_last=False) == [("2", 1.5)]  # 1 word of 1 matched, scoring 1: 1 + 1/2
    assert search(trie, "sam")[0] == ("2", 1.5)
    assert trie.fuzzy_match("sam$", 0) == [("sam$", 1, 0)]


def test_build_from_fields_weighs_the_title_above_tags():
    trie = build_from_titles(
        [(1, {"title": "a red car", "tags": "boat"}), (2, {"title": "a blue boat", "tags": "car"})]
    )
    assert [video for video, _ in search(trie, "car", prefix_last=False)] == ["1", "2"]
    assert [video for video, _ in search(trie, "boat", prefix_last=False)] == ["2", "1"]
    swapped = build_from_titles(
        [(1, {"title": "a red car", "tags": "boat"}), (2, {"title": "a blue boat", "tags": "car"})],
        weights={"title": 1, "tags": 10},
    )
    assert [video for video, _ in search(swapped, "car", prefix_last=False)] == ["2", "1"]


def test_build_keeps_the_best_videos_of_a_word():
    # Shorter titles say more about a word; video_top_n keeps the best.
    items = [(k, "word " + " ".join(f"filler{j}" for j in range(k))) for k in range(1, 9)]
    trie = build_from_titles(items, video_top_n=3)
    assert [video for video, _ in search(trie, "word", prefix_last=False)] == ["1", "2", "3"]


@pytest.mark.parametrize(
    ("items", "error", "message"),
    [
        ([(1, "a"), (uuid.UUID(int=1), "b")], ValueError, "is of another kind"),
        ([("12x", "a")], ValueError, "video id '12x' is neither a decimal number nor a UUID"),
        ([(1, 5)], TypeError, "text must be a str or a mapping of field names to str, not int"),
    ],
)
def test_build_errors(items, error, message):
    with pytest.raises(error, match=message):
        build_from_titles(items)


def test_build_refuses_a_bad_weight():
    with pytest.raises(ValueError, match="weight of field 'tags' must be a finite number >= 0, not nan"):
        build_from_titles([(1, {"tags": "x"})], weights={"tags": float("nan")})


def test_text_and_uuid_ids_come_back_as_text():
    video = uuid.UUID(int=7)
    trie = build_from_titles([(str(video), "hello")])
    assert search(trie, "hello") == [(str(video), 1.5)]
    assert search(build_from_titles([("42", "hello")]), "hello") == [("42", 1.5)]


@pytest.mark.parametrize(
    ("word", "auto"),
    [("a", 0), ("cat", 0), ("four", 1), ("sevenxx", 1), ("eightxxx", 2), ("x" * 30, 2)],
)
def test_auto_budget_by_length(word, auto):
    assert typo_budget(word, "auto") == auto
    assert typo_budget(word, 3) == 3


@pytest.mark.parametrize(
    ("query", "found", "not_found"),
    [
        ("hello", ["5"], []),
        ("helo", ["5"], []),  # 4 letters: 1 typo
        ("hxlo", [], ["5"]),  # 4 letters: not 2 typos
        ("prception", ["8"], []),  # 9 letters: 1 typo
        ("prcepton", ["8"], []),  # 8 letters: 2 typos
        ("fxx", [], ["6"]),  # 3 letters: exact only
        ("cta", ["1", "3"], []),  # but one swap counts as a typo for short words
        ("recieve", ["7"], []),  # and for 4-7 letters, where a swap's 2 edits exceed the budget
    ],
)
def test_per_word_typo_budgets(trie, query, found, not_found):
    videos = [video for video, _ in search(trie, query, prefix_last=False)]
    assert set(found) <= set(videos)
    assert not set(not_found) & set(videos)


def test_forced_budget_applies_to_every_word(trie):
    assert search(trie, "cta", typos=0, prefix_last=False) == []  # no swaps when forced
    assert {video for video, _ in search(trie, "hxlo", typos=2, prefix_last=False)} >= {"5"}
    with pytest.raises(TypeError, match='typos must be "auto" or an int'):
        search(trie, "cat", typos="many")  # type: ignore[arg-type]
    with pytest.raises(ValueError, match="typos must be in 0..4294967295, not -1"):
        search(trie, "cat", typos=-1)


def test_last_word_matches_as_a_prefix_while_typing(trie):
    typing = search(trie, "funny samp")
    assert typing[0][0] == "4"  # funny, and samp... as the start of samples
    funny = dict(search(trie, "funny"))["4"] - 1  # its word score over 2
    assert typing[0][1] == pytest.approx(2 + (2 * funny + 0.75) / 3)
    assert dict(search(trie, "funny samp", prefix_last=False))["4"] < 2  # funny alone
    assert "2" in dict(typing)  # sample
    # Only the last word: in "samp funny", samp is a whole word (near sam and same).
    assert (dict(search(trie, "samp funny"))["4"] - 1) * 3 == pytest.approx(funny * 2)
    # The word itself outranks a mere completion.
    assert search(trie, "sam")[0][0] == "2"


def test_more_matched_words_rank_first(trie):
    results = search(trie, "funny cat dogs", prefix_last=False)
    assert [video for video, _ in results[:2]] == ["1", "4"]  # two words each
    assert results[2][0] == "3"  # one word, though "cat" scores it as high as video 1
    # The score: words matched + summed word scores / (query words + 1).
    assert results[0][1] == pytest.approx(2 + 2 / 4)
    assert results[2][1] == pytest.approx(1 + 1 / 4)
    assert [score for _, score in results] == sorted((score for _, score in results), reverse=True)


def test_ties_come_in_id_text_order():
    trie = build_from_titles([(video, "same words here") for video in (30, 4, 100, 2)])
    assert search(trie, "same words") == [(video, 2 + 2 / 3) for video in ("100", "2", "30", "4")]


@pytest.mark.parametrize("query", ["", "   ", "!!! ...", "$"])
def test_query_without_words(trie, query):
    assert search(trie, query) == []
    assert explain(trie, query) == []
    assert suggest(trie, query) == []


def test_duplicated_words_count_once(trie):
    assert search(trie, "cat cat CAT") == search(trie, "cat")
    assert explain(trie, "cat Cat dogs cat", prefix_last=False) == [("cat", [("cat", 0)]), ("dogs", [("dogs", 0)])]


def test_limit(trie):
    assert len(search(trie, "funny cat", limit=1)) == 1
    assert search(trie, "funny", limit=0) == []
    assert search(trie, "funny cat", limit=1) == search(trie, "funny cat")[:1]
    with pytest.raises(ValueError, match="limit must be >= 0, not -1"):
        search(trie, "cat", limit=-1)
    with pytest.raises(TypeError, match="limit must be an int, not NoneType"):
        suggest(trie, "cat", limit=None)  # type: ignore[arg-type]


def test_explain_lists_the_matched_words_of_each_query_word(trie):
    assert explain(trie, "Helo prcepton zzzz samp") == [
        ("helo", [("hello", 1)]),
        ("prcepton", [("perception", 2)]),
        ("zzzz", []),
        ("samp", [("same", 1), ("sam", 1)]),  # equal distance: the more popular first
    ]
    assert explain(trie, "cta") == [("cta", [("cat", 2)])]  # the swap, at its true distance


def test_suggest_gives_the_nearest_words_exact_first():
    trie = build_from_titles([(1, "bat cat cats hat rat ca scat")])
    assert suggest(trie, "cat", typos=1) == [
        ("cat", 0),
        ("bat", 1),
        ("ca", 1),
        ("cats", 1),
        ("hat", 1),
        ("rat", 1),
        ("scat", 1),
    ]
    assert suggest(trie, "cat", typos=1, limit=3) == [("cat", 0), ("bat", 1), ("ca", 1)]
    assert suggest(trie, "Cat") == [("cat", 0)]  # auto: exact for 3 letters
    assert suggest(trie, "ctas") == [("cats", 2)]  # one swap away, at its true distance
    assert suggest(trie, "the big CAT") == [("cat", 0)]  # the last word is the one typed


def test_suggest_puts_the_more_popular_of_equally_near_words_first():
    # A word's popularity on a titles trie is its highest count in one video.
    trie = build_from_titles([(1, "bat"), (2, "hat hat hat hat"), (3, "cat"), (4, "rat rat")])
    assert suggest(trie, "cat", typos=1) == [("cat", 0), ("hat", 1), ("rat", 1), ("bat", 1)]


def test_suggest_shows_only_user_words():
    trie = build_from_titles([(1, "recieve receive recipe")])
    words = [word for word, _ in suggest(trie, "recieve", typos=3, limit=100)]
    assert words[0] == "recieve"
    assert set(words) == {"recieve", "receive", "recipe"}
    assert not any(word.endswith("$") for word in words)


def test_read_titles(tmp_path):
    path = tmp_path / "titles.tsv"
    path.write_bytes("\ufeff1\tFunny cat\n\n2\tTabs\tinside\r\n 3 \t\n".encode())
    assert list(read_titles(str(path))) == [("1", "Funny cat"), ("2", "Tabs\tinside"), ("3", "")]
    trie = build_from_titles(read_titles(str(path)))
    assert search(trie, "inside") == [("2", 1.5)]


@pytest.mark.parametrize(
    ("content", "message"),
    [
        (b"1\tok\nno tab here\n", ":2: expected video id<TAB>title, found no tab"),
        (b"1\tok\nx1\tbad id\n", ":2: video id 'x1' is neither a decimal number nor a UUID"),
        (
            b"1\tok\n00000000-0000-0000-0000-000000000001\tuuid\n",
            ":2: video id '00000000-0000-0000-0000-000000000001' is a UUID, the id on line 1 is decimal",
        ),
        (b"1\tok\n2\tbad \xff byte\n", ":2: bytes that are not UTF-8"),
    ],
)
def test_read_titles_names_the_bad_line(tmp_path, content, message):
    path = tmp_path / "titles.tsv"
    path.write_bytes(content)
    with pytest.raises(RecordFileError) as raised:
        list(read_titles(str(path)))
    assert str(raised.value) == f"{path}{message}"
    assert raised.value.line == 2


def test_a_trie_from_titles_survives_save_and_load(trie, tmp_path):
    corvalind.save(trie, tmp_path / "titles.cvd")
    loaded = corvalind.load(tmp_path / "titles.cvd")
    for query in ("funy cta", "samp", "hello world"):
        assert search(loaded, query) == search(trie, query)
