"""Search-box queries on a trie built by ``build_from_titles``: videos for a
query of several words, the stored words near a word, and what a query
matched.

One matching step serves ``search`` and ``explain``: the query is
normalised (``normalize``), repeated words are dropped (the first stays),
and each word gets its typo budget (``typo_budget``). A word matches the
stored words within its budget (Levenshtein over Unicode characters, a swap
of two letters costing 2) and, for short words under "auto", the stored
words one swap away. With ``prefix_last`` the word that ends the query,
which the user may still be typing, also matches as the beginning of longer
words.

Scores. A query word's videos come from its nearest stored words only: its
own end node (``word + WORD_END``) when the word is stored; otherwise the
end nodes at the smallest distance d within the budget, scaled so their
best video scores ``TYPO_WEIGHT ** d``, and those of the words one swap
away, best ``TYPO_WEIGHT``. For the prefix word, ``fuzzy_match_video`` on
the word itself with prefix nodes (``include_prefix_nodes=True``, exact)
scores the videos of every word it begins, scaled so the best scores
``PREFIX_WEIGHT``. A video keeps its best score for the word. Videos that
match more query words come first, then those with the higher sum of their
word scores, then ids in text order (so equal results always come in one
order). The score returned says both: with n distinct query words, m of
them matched, it is m + (sum of word scores) / (n + 1), so its whole part
is m and it falls from result to result.
"""

from __future__ import annotations

import heapq
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Final, Literal

from _corvalind import PrefixSearch
from corvalind import _native
from corvalind.text import normalize
from corvalind.titles import WORD_END

Typos = int | Literal["auto"]
"""A typo budget: "auto" (by word length, ``typo_budget``) or one number for every word."""

AUTO_BUDGETS: Final = ((3, 0), (7, 1))
"""(longest word length, budget) steps of "auto"; longer words get ``AUTO_LONG_BUDGET``."""
AUTO_LONG_BUDGET: Final = 2

TYPO_WEIGHT: Final = 0.5
"""A query word's best video scores TYPO_WEIGHT ** d when its nearest stored word is d edits away."""

PREFIX_TYPOS: Final = 0
"""Edits allowed in the prefix word's completions (its whole-word match has its own budget)."""

PREFIX_VIDEOS: Final = 64
"""The prefix word's completions add their best PREFIX_VIDEOS videos."""

PREFIX_WEIGHT: Final = 0.75
"""The best video among the prefix word's completions scores PREFIX_WEIGHT."""


def typo_budget(word: str, typos: Typos) -> int:
    """The edits ``word`` may differ by: ``typos`` itself when it is an int,
    for "auto" 0 for words of 1-3 characters, 1 for 4-7, 2 for 8 or more."""
    if typos != "auto":
        return typos
    length = len(word)
    for longest, budget in AUTO_BUDGETS:
        if length <= longest:
            return budget
    return AUTO_LONG_BUDGET


def _check_typos(typos: object) -> Typos:
    if typos == "auto" and isinstance(typos, str):
        return "auto"
    if isinstance(typos, bool) or not isinstance(typos, int):
        raise TypeError(f'typos must be "auto" or an int, not {typos!r}')
    if typos < 0 or typos > 2**32 - 1:
        raise ValueError(f"typos must be in 0..4294967295, not {typos}")
    return typos


def _check_limit(limit: object) -> int:
    if isinstance(limit, bool) or not isinstance(limit, int):
        raise TypeError(f"limit must be an int, not {type(limit).__name__}")
    if limit < 0:
        raise ValueError(f"limit must be >= 0, not {limit}")
    return limit


@dataclass(frozen=True, slots=True)
class QueryWord:
    """One distinct word of a normalised query: its budget, whether it also
    matches as the beginning of longer words, and whether a swap of two
    neighbouring letters counts as one typo for it."""

    word: str
    budget: int
    prefix: bool
    swaps: bool


def query_words(query: str, typos: Typos = "auto", prefix_last: bool = True) -> list[QueryWord]:
    """The matching step shared by ``search`` and ``explain``: the distinct
    words of ``query`` in query order, each with its budget; with
    ``prefix_last`` the word that ends the query is a prefix word; with
    "auto", words of 3 or more characters whose budget is below 2 (which a
    swap's 2 edits exceed) also match by one swap."""
    typos = _check_typos(typos)
    words = normalize(query)
    last = words[-1] if words and prefix_last else None
    found = []
    for word in dict.fromkeys(words):
        budget = typo_budget(word, typos)
        found.append(QueryWord(word, budget, word == last, typos == "auto" and budget < 2 and len(word) >= 3))
    return found


def _nearest_distance(trie: PrefixSearch, word: QueryWord) -> int | None:
    """The distance of the stored word nearest to ``word`` within its budget,
    None when there is none: a short search per distance."""
    for distance in range(word.budget + 1):
        if trie.fuzzy_match(word.word + WORD_END, distance, 1):
            return distance
    return None


def _stored_swaps(trie: PrefixSearch, word: QueryWord) -> list[str]:
    """The stored words that ``word`` gives by swapping two neighbouring
    letters, when swaps count for it."""
    if not word.swaps:
        return []
    text = word.word
    swapped = dict.fromkeys(text[:k] + text[k + 1] + text[k] + text[k + 2 :] for k in range(len(text) - 1))
    return [other for other in swapped if other != text and trie.fuzzy_match(other + WORD_END, 0, 1)]


def _add_word(trie: PrefixSearch, word: QueryWord, base: float, ranking: dict[str, float]) -> None:
    """Adds ``base`` plus its word score (the module's rule) to the value of
    each video the query word matches."""
    exact = trie.fuzzy_match_video(word.word + WORD_END, 0, None, False)
    sources: list[tuple[list[tuple[str, float]], float]] = []  # videos, weight of the best
    if exact:
        sources.append((exact, 1.0))
    else:
        nearest = _nearest_distance(trie, word)
        if nearest:
            sources.append((trie.fuzzy_match_video(word.word + WORD_END, nearest, None, False), TYPO_WEIGHT**nearest))
        for other in _stored_swaps(trie, word):
            sources.append((trie.fuzzy_match_video(other + WORD_END, 0, None, False), TYPO_WEIGHT))
    if word.prefix:
        completions = trie.fuzzy_match_video(word.word, PREFIX_TYPOS, PREFIX_VIDEOS, True)
        if completions:
            sources.append((completions, PREFIX_WEIGHT))
    if not sources:
        return
    if len(sources) == 1:
        videos, weight = sources[0]
        scale = weight / videos[0][1]
        _merge(ranking, {video: base + score * scale for video, score in videos})
        return
    # A video that several sources give keeps its best score.
    videos, weight = sources[0]
    scale = weight / videos[0][1]
    scores = {video: score * scale for video, score in videos}
    get = scores.get
    for videos, weight in sources[1:]:
        scale = weight / videos[0][1]
        for video, score in videos:
            score *= scale
            if score > get(video, 0.0):
                scores[video] = score
    _merge(ranking, {video: base + score for video, score in scores.items()})


def _merge(ranking: dict[str, float], values: dict[str, float]) -> None:
    """Adds ``values`` to ``ranking``, video by video (only the videos in
    both are visited one by one)."""
    for video in values.keys() & ranking.keys():
        values[video] += ranking[video]
    ranking.update(values)


def _by_rank(entry: tuple[str, float]) -> tuple[float, str]:
    return -entry[1], entry[0]


def search(
    trie: PrefixSearch,
    query: str,
    *,
    limit: int = 10,
    typos: Typos = "auto",
    prefix_last: bool = True,
) -> list[tuple[str, float]]:
    """Returns the ``limit`` best videos for ``query`` as (video id text,
    score), best first, by the module's rule: more query words matched
    first, then the summed word scores, then the id text; the score's whole
    part is the number of query words matched. A query with no
    words gives []. ``typos`` is "auto" or an edit budget for every word.
    Raises TypeError / ValueError for a bad ``query``, ``limit`` or ``typos``.
    Cost: two video queries for the last word, one for each other word, and
    a few short term searches.
    """
    limit = _check_limit(limit)
    words = query_words(query, typos, prefix_last)
    # One number per video: matched words times (words + 1) plus the summed
    # scores, which stay below words + 1, so it orders by both at once.
    step = len(words) + 1
    ranking: dict[str, float] = {}
    for word in words:
        _add_word(trie, word, step, ranking)
    if limit == 0 or not ranking:
        return []
    floor = heapq.nlargest(limit, ranking.values())[-1]
    best = sorted(((video, value) for video, value in ranking.items() if value >= floor), key=_by_rank)[:limit]
    return [(video, value / step) for video, value in best]


def tie_keys(trie: PrefixSearch, words: Sequence[str]) -> list[tuple[int, str]]:
    """Sort keys that order stored words at one distance: more popular first,
    then by the word's code points. A word's popularity is the payload total
    of its end node, read by the native companion; on a trie from
    ``build_from_titles`` that is the word's highest count in any one video."""
    totals = _native.term_totals(trie, [word + WORD_END for word in words])
    return [(-total, word) for total, word in zip(totals, words, strict=True)]


def _stored_words(trie: PrefixSearch, word: QueryWord) -> list[tuple[str, int]]:
    """The stored words ``word`` matches as a whole word, (word, distance):
    those within its budget in trie order, then those one swap away (2 edits)
    when it is not stored itself."""
    found = [
        (term[: -len(WORD_END)], distance)
        for term, _, distance in trie.fuzzy_match(word.word + WORD_END, word.budget)
        if term.endswith(WORD_END)
    ]
    if all(distance for _, distance in found):
        found += [(other, 2) for other in _stored_swaps(trie, word)]
    return found


def _nearest_first(trie: PrefixSearch, found: list[tuple[str, int]]) -> list[tuple[str, int]]:
    """``found`` ordered by distance, ties by ``tie_keys``."""
    keys = tie_keys(trie, [stored for stored, _ in found])
    order = sorted(range(len(found)), key=lambda k: (found[k][1], keys[k]))
    return [found[k] for k in order]


def explain(
    trie: PrefixSearch, query: str, *, typos: Typos = "auto", prefix_last: bool = True
) -> list[tuple[str, list[tuple[str, int]]]]:
    """For each distinct word of ``query`` (the matching step of ``search``),
    the stored words it matches as a whole word, (word, distance) nearest
    first. The prefix word's completions add videos in ``search`` but are
    not listed: the trie's prefix nodes give videos, not words."""
    return [
        (word.word, _nearest_first(trie, _stored_words(trie, word))) for word in query_words(query, typos, prefix_last)
    ]


def suggest(trie: PrefixSearch, term: str, *, limit: int = 10, typos: Typos = "auto") -> list[tuple[str, int]]:
    """The ``limit`` stored words nearest to the last word of ``term`` after
    normalising (the word being typed), as (word, distance): the exact word
    first when stored, then by distance, ties by ``tie_keys``. A term with
    no words gives []. Raises TypeError / ValueError for bad arguments."""
    limit = _check_limit(limit)
    typos = _check_typos(typos)
    words = normalize(term)
    if not words:
        return []
    word = query_words(words[-1], typos, False)[0]
    return _nearest_first(trie, _stored_words(trie, word))[:limit]
