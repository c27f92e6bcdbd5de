"""Compact read-only trie of search terms with typo-tolerant lookups.

The native module holds one class, ``PrefixSearch``. Objects come only from
its two static constructors and never change afterwards, so one object may be
queried from any number of threads. Every call holds the interpreter lock for
its whole length.

An internal failure (a trie that breaks an expectation the checks missed, an
interpreter call that could not create a result) raises ``PanicException``,
which derives from BaseException, not Exception, so ``except Exception`` does
not catch it. The class is created at its first use and is not a module
attribute.
"""

from collections.abc import Sequence
from typing import Never, SupportsIndex, final

__all__ = ["PrefixSearch"]

@final
class PrefixSearch:
    """A read-only trie of terms whose nodes carry video ids with counts.

    Not constructible: ``PrefixSearch()`` raises TypeError. Build one with
    ``from_internal_data_v2`` (from flat arrays, such as
    ``corvalind.build_flat_arrays`` makes) or restore one with ``from_bytes``
    (or ``corvalind.load``). Not picklable: store ``to_bytes()`` instead.
    Instances take no attributes and no weak references.
    """

    def __new__(cls, not_constructible: Never, /) -> PrefixSearch:
        """Not callable: ``PrefixSearch()`` raises TypeError "No constructor
        defined for ...". The parameter no value can have makes every call a
        type error."""

    @staticmethod
    def from_internal_data_v2(
        node_shifts: Sequence[SupportsIndex],
        child_labels: Sequence[str],
        payloads: Sequence[tuple[SupportsIndex, Sequence[SupportsIndex], Sequence[SupportsIndex]] | None],
        child_transitions: Sequence[SupportsIndex],
        video_index: Sequence[Sequence[SupportsIndex]],
        video_top_n: SupportsIndex,
    ) -> PrefixSearch:
        """Builds a trie from its flat arrays and propagates the payloads.

        Node 0 is the root; node i's edges are the positions
        ``node_shifts[i]`` up to ``node_shifts[i + 1]`` (the end of
        ``child_transitions`` for the last node) of ``child_transitions``,
        each leading to the node it names. ``child_labels[i]`` is the
        character on the edge into node i (its first character; "" for a
        node the matchers never enter). ``payloads[i]`` is None or a tuple
        (total, video numbers, counts) for a node where a term ends; video
        numbers are positions in ``video_index``, whose entries are all 4
        bytes (little-endian ints) or all 16 bytes (UUIDs), as bytes,
        bytearray or lists of ints. Afterwards every node's payload sums its
        subtree, cut to the ``video_top_n`` videos with the highest counts.

        Raises ValueError when the arrays disagree (lengths, an edge target
        that is not a node, edge ranges, a payload whose lists differ in
        length, ids of mixed widths, a shape that is not a tree), TypeError
        for an argument or item of the wrong type (a str where a sequence is
        wanted, a payload that is not a tuple), OverflowError "out of range
        integral type conversion attempted" for an integer outside
        0..4294967295 (or, for ``video_top_n``, a negative one).

        Cost: linear in the arrays, plus a merge of the children's video
        lists at every node.
        """

    def to_bytes(self) -> bytes:
        """The trie's snapshot: every field, with no header or checksum.

        The same trie always gives the same bytes; ``from_bytes`` restores
        it. ``corvalind.save`` writes it to a file with a checked header.
        Cost: one pass over the trie; the result is allocated once.
        """

    @staticmethod
    def from_bytes(b: bytes) -> PrefixSearch:
        """Restores a trie from a snapshot that ``to_bytes`` wrote.

        ``b`` must be ``bytes`` (not bytearray or memoryview). Bytes after
        the snapshot are ignored. The payloads are taken as stored, not
        propagated again. A damaged snapshot may still decode as some other
        trie: ``corvalind.load`` checks a checksum first.

        Raises TypeError for a ``b`` that is not bytes; ValueError "decode
        error: ..." for bytes that are not a snapshot, and ValueError naming
        the field for a snapshot whose fields disagree with one another.
        Cost: one forward pass over ``b``.
        """

    def fuzzy_match(
        self, term: str, max_dist: SupportsIndex = 1, limit: SupportsIndex | None = None
    ) -> list[tuple[str, int, int]]:
        """The stored terms within ``max_dist`` edits of ``term``.

        Returns (stored term, 1, distance) tuples in depth-first trie order,
        not ranked by distance. The distance is the Levenshtein distance in
        Unicode characters (insert, delete, substitute; no transpositions;
        case-sensitive). ``limit`` stops the search after that many matches;
        0 acts as 1. ``max_dist`` may not be None.

        Raises TypeError for a ``term`` that is not a str or a non-integer
        ``max_dist`` or ``limit``; OverflowError for a ``max_dist`` outside
        0..4294967295 or a negative ``limit``; UnicodeEncodeError for a
        ``term`` with lone surrogates. An empty trie gives [].
        Cost: the length of ``term`` times the nodes visited; the nodes
        visited grow quickly with ``max_dist`` (about 8x per extra edit on a
        large dictionary).
        """

    def fuzzy_match_video(
        self,
        term: str,
        max_dist: SupportsIndex = 1,
        limit: SupportsIndex | None = None,
        include_prefix_nodes: bool | None = None,
    ) -> list[tuple[str, float]]:
        """The videos that the nodes near ``term`` point to, best first.

        Returns (video id text, score) pairs: ids as decimal text or as
        36-character UUID text. A matched node at distance d weighs 1 when
        d is 0, else 0.05 * (1 - d / len(term)), and 0.85 times that when no
        term ends there; a video's score is the weighted sum of its counts
        over the weighted sum of the nodes' totals, and scores below 0.01 are
        dropped. ``include_prefix_nodes``: False uses the nodes where terms
        end; True uses every node within reach (prefixes of longer terms
        too); None (the default) uses terminal nodes and falls back to all
        nodes when none is within reach. At most ``limit`` pairs; 0 gives [].

        Raises as ``fuzzy_match``, and TypeError for an
        ``include_prefix_nodes`` that is neither None, a bool nor a numpy
        bool (1 and 0 are refused). Equal scores come in no set order.
        Cost: that of ``fuzzy_match`` plus a sum over the payloads of the
        nodes found.
        """
