"""fuzzy_match on wide alphabets: tries of thousands of terms over 26 to 60
letters whose nodes near a query have a dozen children or more, at every
depth of the query, below its exact start, above its exact end and one edit
off either. There the typo search looks up only the few labels that can
stay within reach, by bisection, and must still give every term once, in
depth-first order, with its distance. Checked against a plain walk of the
same trie, built by the producer (children in code point order) and
restored from a snapshot in which some subtrees are stored twice under
equal labels (several nodes with the same text)."""

from __future__ import annotations

import random

import pytest

from _corvalind import PrefixSearch
from corvalind import build_flat_arrays

from conftest import snapshot


def wide_alphabet(letters: int) -> str:
    """`letters` characters in code point order: ASCII, then Greek, then CJK,
    the last one outside the Basic Multilingual Plane."""
    chars = [chr(ord("a") + i) if i < 26 else chr(0x3B1 + i - 26) if i < 50 else chr(0x4E00 + i - 50)
             for i in range(letters - 1)]
    return "".join(chars) + "😀"


def vocabulary(rng: random.Random, alphabet: str) -> tuple[list[str], list[str]]:
    """Queries and the sorted words stored around them."""

    def text(lo: int, hi: int) -> str:
        return "".join(rng.choice(alphabet) for _ in range(rng.randint(lo, hi)))

    def edited(word: str) -> str:
        at = rng.randint(0, len(word))
        kind = rng.randrange(3) if word else 1
        letter = rng.choice(alphabet)
        if kind == 0:
            return word[:at] + letter + word[at + 1 :]
        return word[:at] + letter + word[at:] if kind == 1 else word[:at] + word[at + 1 :]

    # 3 to 16 characters; every third from three letters only, so that one
    # label stands for several characters of the query.
    queries = ["".join(rng.choice(alphabet[:21:7] if k % 3 == 0 else alphabet) for _ in range(3 + k % 14))
               for k in range(14)]
    words = set(queries)
    for q in queries:
        for _ in range(6):
            w = q
            for _ in range(rng.randint(1, 3)):
                w = edited(w)
            words.add(w)
        words.update(q[:k] for k in range(1, len(q)))
        words.update(q[k:] for k in range(1, len(q)))
        for d in range(len(q) + 1):
            if rng.random() < 0.5:
                continue
            # A dozen children below q's first d characters (or those of q one
            # edit off), above the rest but one, and the same with the
            # character between them replaced by x, below which q with x
            # inserted and q with x substituted both go on.
            base = q if rng.random() < 0.5 else edited(q)
            before, after = base[:d], base[d + 1 :]
            x = rng.choice(alphabet)
            words.update([before + x + base[d:], before + x + after])
            for _ in range(12):
                c = rng.choice(alphabet)
                words.add(before + c + (after if rng.random() < 0.5 else text(0, 3)))
                words.add((before if rng.random() < 0.5 else text(0, 3)) + c + after)
                words.add(before + x + c + text(0, 3))
                words.add(text(0, 3) + c + x + after)
    words.update(text(1, 8) for _ in range(200))
    words.discard("")
    return queries, sorted(words)


class Trie:
    """Nodes in depth-first order, each node's children in label order; a
    child subtree of at most four terms is stored twice in a row with
    probability 1/twin_odds."""

    def __init__(self, words: list[str], rng: random.Random, twin_odds: int | None) -> None:
        self.labels = [""]
        self.children: list[list[int]] = [[]]
        self.terminal = [False]
        self._add(0, words, 0, rng, twin_odds)

    def _add(self, node: int, words: list[str], depth: int, rng: random.Random, twin_odds: int | None) -> None:
        i = 1 if len(words[0]) == depth else 0  # the node's own term
        while i < len(words):
            end = i + 1
            while end < len(words) and words[end][depth] == words[i][depth]:
                end += 1
            group = words[i:end]
            twice = twin_odds is not None and len(group) <= 4 and rng.randrange(twin_odds) == 0
            for _ in range(2 if twice else 1):
                child = len(self.labels)
                self.labels.append(group[0][depth])
                self.children.append([])
                self.terminal.append(len(group[0]) == depth + 1)
                self.children[node].append(child)
                self._add(child, group, depth + 1, rng, twin_odds)
            i = end

    def restored(self) -> PrefixSearch:
        shifts, transitions = [], []
        for edges in self.children:
            shifts.append(len(transitions))
            transitions += edges
        payloads = [(1, [0], [1]) if flag else None for flag in self.terminal]
        return PrefixSearch.from_bytes(
            snapshot(shifts, self.labels, transitions, payloads, terminal=self.terminal, int_ids=[7])
        )

    def walk(self, query: str, max_dist: int) -> list[tuple[str, int, int]]:
        """fuzzy_match's answer by the plain walk with one row per depth."""
        out = []

        def visit(node: int, path: str, row: list[int]) -> None:
            for child in self.children[node]:
                c = self.labels[child]
                new = [row[0] + 1]
                for j, qc in enumerate(query, 1):
                    new.append(min(row[j] + 1, new[j - 1] + 1, row[j - 1] + (qc != c)))
                if min(new) > max_dist:
                    continue
                if self.terminal[child] and new[-1] <= max_dist:
                    out.append((path + c, 1, new[-1]))
                visit(child, path + c, new)

        visit(0, "", list(range(len(query) + 1)))
        return out


@pytest.mark.parametrize(("letters", "seed"), [(26, 1), (40, 2), (60, 3)])
@pytest.mark.parametrize("restore", [False, True], ids=["built", "restored"])
def test_typo_search_on_wide_alphabets_agrees_with_the_walk(letters, seed, restore):
    rng = random.Random(seed)
    queries, words = vocabulary(rng, wide_alphabet(letters))
    nodes = Trie(words, rng, 30 if restore else None)
    if restore:
        trie = nodes.restored()
    else:
        trie = PrefixSearch.from_internal_data_v2(*build_flat_arrays([(w, 7, 1) for w in words]).arguments(3))
    probes = queries + [q[: len(q) // 2] + rng.choice(words)[:1] + q[len(q) // 2 + 1 :] for q in queries]
    for query in probes:
        within_3 = nodes.walk(query, 3)
        for max_dist in range(4):
            expected = [hit for hit in within_3 if hit[2] <= max_dist]
            full = trie.fuzzy_match(query, max_dist)
            assert full == expected, (query, max_dist)
            for limit in {0, 1, len(full) // 2, len(full)}:
                assert trie.fuzzy_match(query, max_dist, limit) == full[: max(limit, 1)], (query, max_dist, limit)
