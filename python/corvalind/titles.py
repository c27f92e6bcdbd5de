"""Building a word trie from video titles, and reading titles files.

Every word of a video's text (``normalize``) is stored as the term
``word + WORD_END``, so each word has a node of its own below its last
letter. That node's payload lists only the videos of the word itself, while
the node of the last letter (a prefix node) sums the word and all its
extensions: a query for "sam" then finds the videos of "sam" even when
"same" and "sample" are far more common. Only these end nodes are terminal.

A word's count in a video is the sum, over the video's fields, of the
field's weight times the word's occurrences in the field, divided by the
square root of the field's number of words (a word says more about a short
title than about a long one), times ``COUNT_SCALE``, rounded, at least 1.
Each word keeps its ``video_top_n`` videos of highest count (ties: first
seen first), and its end node's total is its highest count, so the
end node's scores run from 1 for its best video down, never under the
video query's 0.01 floor unless the counts differ a hundredfold.
"""

from __future__ import annotations

import math
from collections.abc import Iterable, Iterator, Mapping
from typing import Final

from _corvalind import PrefixSearch
from corvalind.flat_arrays import FlatArrays, PayloadTuple, Record, VideoId, build_flat_arrays
from corvalind.record_file import RecordFileError, _video_id
from corvalind.text import normalize

WORD_END: Final = "$"
"""Appended to every stored word; ``normalize`` never puts it in a word."""

DEFAULT_VIDEO_TOP_N: Final = 256
"""Videos kept per node when ``video_top_n`` is None; chosen with bench/bench_search.py."""

DEFAULT_FIELD_WEIGHTS: Final[Mapping[str, float]] = {"title": 3.0, "tags": 1.0, "description": 1.0}
"""Field weights when ``weights`` is None; a plain text is the field "title"."""

COUNT_SCALE: Final = 100.0

TitleItem = tuple[VideoId | str, str | Mapping[str, str]]
"""(video id, text) or (video id, {field: text}); a str id is decimal or a UUID."""


def _field_weight(weights: Mapping[str, float], field: str) -> float:
    weight = weights.get(field, 1.0)
    if isinstance(weight, bool) or not isinstance(weight, int | float) or not math.isfinite(weight) or weight < 0:
        raise ValueError(f"weight of field {field!r} must be a finite number >= 0, not {weight!r}")
    return float(weight)


def _video_key(video_id: VideoId | str) -> VideoId:
    if isinstance(video_id, str):
        parsed = _video_id(video_id)
        if parsed is None:
            raise ValueError(f"video id {video_id!r} is neither a decimal number nor a UUID")
        return parsed
    return video_id


def _word_counts(text: str | Mapping[str, str], weights: Mapping[str, float]) -> dict[str, float]:
    if isinstance(text, str):
        fields: Mapping[str, str] = {"title": text}
    elif isinstance(text, Mapping):
        fields = text
    else:
        raise TypeError(f"text must be a str or a mapping of field names to str, not {type(text).__name__}")
    counts: dict[str, float] = {}
    for field, field_text in fields.items():
        words = normalize(field_text)
        if not words:
            continue
        weight = _field_weight(weights, field) * COUNT_SCALE / math.sqrt(len(words))
        for word in words:
            counts[word] = counts.get(word, 0.0) + weight
    return counts


WordVideos = dict[str, dict[VideoId, float]]
"""Each word's videos with the word's (unrounded) count in them."""


def word_videos(items: Iterable[TitleItem], weights: Mapping[str, float] | None = None) -> WordVideos:
    """The words of ``items`` with their counts per video (the module's
    rule). Errors as ``build_from_titles``. Cost: linear in the text length."""
    if weights is None:
        weights = DEFAULT_FIELD_WEIGHTS
    videos_of: WordVideos = {}
    for video_id, text in items:
        key = _video_key(video_id)
        for word, count in _word_counts(text, weights).items():
            per_video = videos_of.get(word)
            if per_video is None:
                per_video = videos_of[word] = {}
            per_video[key] = per_video.get(key, 0.0) + count
    return videos_of


def word_arrays(videos_of: WordVideos, video_top_n: int) -> FlatArrays:
    """The flat arrays of the word trie, through ``build_flat_arrays``: each
    word's ``video_top_n`` best videos below ``word + WORD_END``, its highest
    count as the total. Cost: a sort of each word's videos, and the producer's."""

    def records() -> Iterator[Record]:
        for word, per_video in videos_of.items():
            best = sorted(per_video.items(), key=lambda entry: -entry[1])[:video_top_n]
            for key, count in best:
                yield word + WORD_END, key, min(max(1, round(count)), 2**32 - 1)

    arrays = build_flat_arrays(records())
    payloads: list[PayloadTuple | None] = [
        None if payload is None else (max(payload[2], default=0), payload[1], payload[2]) for payload in arrays.payloads
    ]
    return FlatArrays(arrays.node_shifts, arrays.child_labels, payloads, arrays.child_transitions, arrays.video_index)


def build_from_titles(
    items: Iterable[TitleItem],
    *,
    video_top_n: int | None = None,
    weights: Mapping[str, float] | None = None,
) -> PrefixSearch:
    """Returns the word trie of ``items``: (video id, text) or (video id,
    {field: text}) pairs, ids ints, UUIDs, 16 bytes or text (decimal or a
    UUID), all of one kind. ``weights`` maps field names to weights (a field
    not named weighs 1; default ``DEFAULT_FIELD_WEIGHTS``); ``video_top_n``
    is the number of videos kept per node (default ``DEFAULT_VIDEO_TOP_N``).
    Query it with ``search``, ``suggest`` and ``explain``.

    Raises the errors of ``build_flat_arrays`` for bad ids, ValueError for a
    bad weight or a text id that is not decimal or a UUID, TypeError for a
    text that is not a str. Cost: linear in the total text length, plus a
    sort of each word's videos.
    """
    top_n = DEFAULT_VIDEO_TOP_N if video_top_n is None else video_top_n
    return PrefixSearch.from_internal_data_v2(*word_arrays(word_videos(items, weights), top_n).arguments(top_n))


def read_titles(path: str) -> Iterator[tuple[str, str]]:
    """The (video id, title) rows of a titles file, in file order.

    A titles file is UTF-8 text (a leading byte order mark is dropped), one
    video a line: the video id, a tab, the title (which may hold further
    tabs, read as spaces would be). Blank lines are skipped. Raises
    RecordFileError "{path}:{line}: {reason}" for a line without a tab, an
    empty id or bytes that are not UTF-8; OSError when the file cannot be
    read. The ids are returned as written (``build_from_titles`` reads them).
    Cost: one pass, one line at a time.
    """
    with open(path, encoding="utf-8-sig", errors="surrogateescape", newline="") as file:
        yield from title_rows(file, path)


def title_rows(lines: Iterable[str], source: str) -> Iterator[tuple[str, str]]:
    """The rows of a titles file given as its lines, ``source`` naming it in errors (``read_titles``)."""
    first_kind: tuple[str, int] | None = None  # kind of the first id, and its line
    for line_number, line in enumerate(lines, start=1):
        line = line.rstrip("\r\n")
        if not line.strip():
            continue
        try:
            line.encode("utf-8")
        except UnicodeEncodeError:
            raise RecordFileError(source, line_number, "bytes that are not UTF-8") from None
        video_id, tab, title = line.partition("\t")
        if not tab:
            raise RecordFileError(source, line_number, "expected video id<TAB>title, found no tab")
        video_id = video_id.strip()
        parsed = _video_id(video_id)
        if parsed is None:
            raise RecordFileError(source, line_number, f"video id {video_id!r} is neither a decimal number nor a UUID")
        kind = "decimal" if isinstance(parsed, int) else "a UUID"
        if first_kind is None:
            first_kind = (kind, line_number)
        elif kind != first_kind[0]:
            raise RecordFileError(
                source,
                line_number,
                f"video id {video_id!r} is {kind}, the id on line {first_kind[1]} is {first_kind[0]}",
            )
        yield video_id, title
