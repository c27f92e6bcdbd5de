"""Inputs of the comparison: real vocabularies, video records, misspelt queries.

Terms are the most frequent words of wordfreq's English and Russian lists
(read offline from the package), so the trie holds both one-byte and
two-byte UTF-8 characters. Everything random comes from one seeded
``random.Random``.
"""

from __future__ import annotations

import random

import wordfreq
from symspellpy import SymSpell
from symspellpy.editdistance import DistanceAlgorithm, EditDistance

LANGUAGES = ("en", "ru")
ALPHABETS = {
    "en": "abcdefghijklmnopqrstuvwxyz",
    "ru": "абвгдежзийклмнопрстуфхцчшщъыьэюяё",
}
VIDEO_POOL = 100_000
MIN_QUERY, MAX_QUERY = 3, 20

Record = tuple[str, int, int]


def vocabulary(per_language: int) -> dict[str, list[str]]:
    """The `per_language` most frequent all-letter words of each language."""
    words: dict[str, list[str]] = {}
    for language in LANGUAGES:
        kept = []
        for word in wordfreq.iter_wordlist(language, wordlist="large"):
            if word.isalpha():
                kept.append(word)
                if len(kept) == per_language:
                    break
        words[language] = kept
    return words


def distinct_terms(words: dict[str, list[str]]) -> list[str]:
    """All words of all languages, each once, sorted by code point."""
    return sorted({word for language in words.values() for word in language})


def make_records(terms: list[str], rng: random.Random) -> list[Record]:
    """One to three (term, video id, count) records per term.

    Video ids are distinct random 32-bit ints from a pool of 100,000; counts
    are 1..1000.
    """
    pool = rng.sample(range(2**32), VIDEO_POOL)
    return [(term, rng.choice(pool), rng.randint(1, 1000)) for term in terms for _ in range(rng.randint(1, 3))]


def _is_cyrillic(term: str) -> bool:
    return any("\u0400" <= char <= "\u04ff" for char in term)


def misspell(term: str, edits: int, rng: random.Random) -> str:
    """`term` after `edits` random substitutions, insertions or deletions.

    New letters come from the alphabet of the term's script, so a Russian
    typo stays Cyrillic. The result is at most `edits` edits away from
    `term` (fewer when one edit undoes another).
    """
    alphabet = ALPHABETS["ru" if _is_cyrillic(term) else "en"]
    chars = list(term)
    for _ in range(edits):
        position = rng.randrange(len(chars) + 1)
        kind = rng.choice(("substitute", "insert", "delete"))
        if kind == "insert" or position == len(chars):
            chars.insert(position, rng.choice(alphabet))
        elif kind == "delete":
            del chars[position]
        else:
            chars[position] = rng.choice(alphabet.replace(chars[position], ""))
    return "".join(chars)


def make_queries(terms: list[str], count: int, rng: random.Random) -> list[str]:
    """`count` misspelt stored terms, half with one edit and half with two.

    Sources are drawn uniformly from the stored terms; queries are 3 to 20
    characters long.
    """
    sources = [term for term in terms if MIN_QUERY <= len(term) <= MAX_QUERY]
    queries: list[str] = []
    while len(queries) < count:
        query = misspell(rng.choice(sources), 1 + len(queries) % 2, rng)
        if MIN_QUERY <= len(query) <= MAX_QUERY:
            queries.append(query)
    return queries


def symspell_dictionary(terms: list[str], max_distance: int) -> SymSpell:
    """A symspellpy dictionary of `terms` that measures plain Levenshtein distance.

    symspellpy's default comparer counts transpositions as one edit (optimal
    string alignment); LEVENSHTEIN_FAST is its C Levenshtein. Other settings
    (prefix_length 7) are the library's defaults.
    """
    dictionary = SymSpell(
        max_dictionary_edit_distance=max_distance,
        distance_comparer=EditDistance(DistanceAlgorithm.LEVENSHTEIN_FAST),
    )
    for term in terms:
        dictionary.create_dictionary_entry(term, 1)
    return dictionary
