"""The one text normaliser, used both to build a trie from titles and to query it.

``normalize(text)`` gives the words of a text:

1. The text is put in Unicode NFKC form and case-folded (``str.casefold``),
   then put in NFKC form again, as folding can undo it (so "ＨＥＬＬＯ",
   "Hello" and "hello" give the same word, and "Straße" gives "strasse").
2. A word is a run of word characters: letters and digits (what
   ``str.isalnum`` accepts) and combining marks (so "é" written as e plus
   U+0301 stays inside its word). An apostrophe (' or ’) or a hyphen
   (- or ‐) between two word characters belongs to the word, written as
   ' and -: "rock’n’roll" gives "rock'n'roll", "e-mail" stays one word.
   Everything else separates words.
3. Accents are kept: "café" and "cafe" are different words, one edit apart,
   so a query without the accent still finds the word with a typo budget
   of 1 or more.
4. Scripts written without spaces between words (Chinese, Japanese, Thai)
   are passed through: a run of their letters is one word.
5. A word longer than ``MAX_WORD_LENGTH`` characters is cut to its first
   ``MAX_WORD_LENGTH``, which keeps the cost of building linear in the
   length of the text and every query word within the matcher's fastest
   range. Building and querying cut the same way, so such words are still
   found.
"""

from __future__ import annotations

import functools
import re
import unicodedata

MAX_WORD_LENGTH = 64
"""Characters kept of a longer word."""

_JOINERS = str.maketrans({"\u2019": "'", "\u2010": "-"})


MARK_PLANES = (range(0x20000), range(0xE0000, 0xE1000))
"""Where Unicode has combining marks: planes 0 and 1, and plane 14's variation selectors."""


@functools.cache
def _word_pattern() -> re.Pattern[str]:
    """The pattern of a word; built on first use (a pass over the code points
    that may be combining marks, which ``\\w`` leaves out)."""
    marks: list[str] = []
    for plane in MARK_PLANES:
        start = -1
        for point in [*plane, plane.stop]:
            is_mark = point in plane and unicodedata.category(chr(point)).startswith("M")
            if is_mark and start < 0:
                start = point
            elif not is_mark and start >= 0:
                marks.append(f"{re.escape(chr(start))}-{re.escape(chr(point - 1))}")
                start = -1
    word_char = f"(?:[^\\W_]|[{''.join(marks)}])"
    return re.compile(f"{word_char}+(?:['-]{word_char}+)*")


def normalize(text: str) -> list[str]:
    """Returns the words of ``text`` by the rule of this module, in text order
    (repeats kept). Raises TypeError when ``text`` is not a str.
    Cost: linear in the length of the text."""
    if not isinstance(text, str):
        raise TypeError(f"text must be a str, not {type(text).__name__}")
    folded = unicodedata.normalize("NFKC", unicodedata.normalize("NFKC", text).casefold())
    return [word[:MAX_WORD_LENGTH] for word in _word_pattern().findall(folded.translate(_JOINERS))]
