"""Search-box queries on a trie built by ``build_from_titles``: videos for a
query of several words, the stored words near a word, and what a query
matched.

One matching step serves ``search`` and ``explain``: the query is
normalised (``normalize``), repeated words are dropped (the first stays),
and each word gets its typo budget (``typo_budget``). A word matches the
stored words within its budget (Levenshtein over Unicode characters, a swap
of two letters costing 2). With ``prefix_last`` the word that ends the query,
which the user may still be typing, also matches as the beginning of longer
words.

Scores. For each query word, ``fuzzy_match_video`` on the word's own end
node (``word + WORD_END``, its budget, terminal nodes only) scores the
videos of the stored words within reach: the exact word weighs 1, a word
d edits away 0.05 × (1 - d / n) (the module's weights), so when the exact
word is stored its videos come first. Those scores are scaled so that the
word's best video scores ``TYPO_WEIGHT ** d``, d the distance of the
nearest stored word (1 when the word itself is stored). For the prefix
word, ``fuzzy_match_video`` on the word itself with prefix nodes
(``include_prefix_nodes=True``) scores the videos of every word it begins,
scaled so the best scores ``PREFIX_WEIGHT``; a video keeps the higher of
its two scores. A video's score for the query is the sum of its
word scores. Videos that match more query words come first, then higher
scores, then ids in text order (so equal results always come in one order).
"""

from __future__ import annotations

import functools
import importlib
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Final, Literal

from _corvalind import PrefixSearch
from corvalind.text import normalize
from corvalind.titles import WORD_END

Typos = int | Literal["auto"]
"""A typo budget: "auto" (by word length, ``typo_budget``) or one number for every word."""

AUTO_BUDGETS: Final = ((3, 0), (7, 1))
"""(longest word length, budget) steps of "auto"; longer words get ``AUTO_LONG_BUDGET``."""
AUTO_LONG_BUDGET: Final = 2

TYPO_WEIGHT: Final = 0.5
"""A query word's best video scores TYPO_WEIGHT ** d when its nearest stored word is d edits away."""

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
    """One distinct word of a normalised query: its budget, and whether it
    also matches as the beginning of longer words."""

    word: str
    budget: int
    prefix: bool


def query_words(query: str, typos: Typos = "auto", prefix_last: bool = True) -> list[QueryWord]:
    """The matching step shared by ``search`` and ``explain``: the distinct
    words of ``query`` in query order, each with its budget; with
    ``prefix_last`` the word that ends the query is a prefix word."""
    typos = _check_typos(typos)
    words = normalize(query)
    last = words[-1] if words and prefix_last else None
    return [QueryWord(word, typo_budget(word, typos), word == last) for word in dict.fromkeys(words)]


def _relative(videos: list[tuple[str, float]], weight: float, into: dict[str, float]) -> None:
    """Adds ``videos`` to ``into`` scaled so the best scores ``weight``, keeping each video's higher score."""
    if not videos:
        return
    scale = weight / videos[0][1]
    for video, score in videos:
        score *= scale
        if score > into.get(video, 0.0):
            into[video] = score


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
    first, then the summed word scores, then the id text. A query with no
    words gives []. ``typos`` is "auto" or an edit budget for every word.
    Raises TypeError / ValueError for a bad ``query``, ``limit`` or ``typos``.
    Cost: two video queries for the last word, one for each other word.
    """
    limit = _check_limit(limit)
    words = query_words(query, typos, prefix_last)
    matched: dict[str, int] = {}
    totals: dict[str, float] = {}
    for word in words:
        scores: dict[str, float] = {}
        stored = _stored_words(trie, word)
        if stored:
            nearest = min(distance for _, distance in stored)
            own = trie.fuzzy_match_video(word.word + WORD_END, word.budget, None, False)
            _relative(own, TYPO_WEIGHT**nearest, scores)
        if word.prefix:
            _relative(trie.fuzzy_match_video(word.word, word.budget, None, True), PREFIX_WEIGHT, scores)
        for video, score in scores.items():
            matched[video] = matched.get(video, 0) + 1
            totals[video] = totals.get(video, 0.0) + score
    ranked = sorted(totals, key=lambda video: (-matched[video], -totals[video], video))
    return [(video, totals[video]) for video in ranked[:limit]]


def tie_keys(trie: PrefixSearch, words: Sequence[str]) -> list[tuple[int, str]]:
    """Sort keys that order stored words at one distance: more popular first
    (the total of the word's end node, when the native companion offers
    ``term_totals``), then by the word's code points."""
    term_totals: Callable[[PrefixSearch, list[str]], list[int]] | None = getattr(_native(), "term_totals", None)
    if term_totals is None:
        return [(0, word) for word in words]
    totals = term_totals(trie, [word + WORD_END for word in words])
    return [(-total, word) for total, word in zip(totals, words, strict=True)]


@functools.cache
def _native() -> object:
    try:
        return importlib.import_module("corvalind._native")
    except ImportError:
        return None


def _stored_words(trie: PrefixSearch, word: QueryWord) -> list[tuple[str, int]]:
    """The stored words within the word's budget, (word, distance) in trie order."""
    return [
        (term[: -len(WORD_END)], distance)
        for term, _, distance in trie.fuzzy_match(word.word + WORD_END, word.budget)
        if term.endswith(WORD_END)
    ]


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
    return [(word.word, _nearest_first(trie, _stored_words(trie, word))) for word in query_words(query, typos, prefix_last)]


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
    word = QueryWord(words[-1], typo_budget(words[-1], typos), False)
    return _nearest_first(trie, _stored_words(trie, word))[:limit]
