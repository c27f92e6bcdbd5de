"""Typo-tolerant search over a catalogue of programming-tutorial videos.

Reads demo/catalogue.tsv (video id, views, title), builds a trie of the
title words with the ``corvalind`` producer and ``PrefixSearch``, saves it to
a temporary snapshot file, loads it back, checks that the restored trie is
the same, and answers misspelt queries with the words they resemble and the
videos those words point to. ``--records FILE`` also writes the records as
TSV, the input of ``corvalind build``.

    python demo/demo.py [--query TERM]... [--max-dist N] [--records FILE]
"""

from __future__ import annotations

import argparse
import csv
import math
import re
import statistics
import tempfile
import time
from collections import Counter
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from functools import partial
from pathlib import Path

import corvalind
from corvalind import PrefixSearch, Record, build_flat_arrays

CATALOGUE = Path(__file__).with_name("catalogue.tsv")
QUERIES = [
    "serialze",
    "dictionry",
    "recieve",
    "dirctory",
    "asynchronus",
    "socekt",
    "threding",
    "expresion",
    "compres",
    "timestmp",
]
VIDEO_TOP_N = 20
TERM_LIMIT = 8
VIDEO_LIMIT = 5
REPEATS = 200  # calls per query when timing it

WORD = re.compile(r"[^\W\d_]+")  # a run of letters


@dataclass(frozen=True, slots=True)
class Video:
    video_id: int
    views: int
    title: str


def read_catalogue(path: Path) -> list[Video]:
    with path.open(encoding="utf-8", newline="") as tsv:
        rows = csv.DictReader(tsv, delimiter="\t", quoting=csv.QUOTE_NONE)
        return [Video(int(row["video_id"]), int(row["views"]), row["title"]) for row in rows]


def view_weight(views: int) -> int:
    """1 + floor(log2(1 + views)): a video seen 1,000,000 times weighs 20, one seen 10 times 4."""
    return 1 + int(math.log2(1 + views))


def records(videos: list[Video]) -> Iterator[Record]:
    """One (term, video id, count) record per distinct word of each title.

    The terms of a title are its lowercased runs of letters (digits and
    punctuation split words; "json.dumps" gives "json" and "dumps") of at
    least two letters. A term's count is the number of times it occurs in
    the title times the video's view weight (``view_weight``), so popular
    videos rank above obscure ones that use the word as often.
    """
    for video in videos:
        words = Counter(w for w in WORD.findall(video.title.lower()) if len(w) >= 2)
        weight = view_weight(video.views)
        for word, occurrences in words.items():
            yield word, video.video_id, occurrences * weight


def timed[T](action: Callable[[], T]) -> tuple[T, float]:
    """The action's result and its wall time in seconds."""
    start = time.perf_counter()
    result = action()
    return result, time.perf_counter() - start


def latency_us(action: Callable[[], object]) -> float:
    """Median wall time of one call, in microseconds."""
    samples = []
    for _ in range(REPEATS):
        start = time.perf_counter_ns()
        action()
        samples.append(time.perf_counter_ns() - start)
    return statistics.median(samples) / 1000


def show_step(label: str, seconds: float, detail: str = "") -> None:
    print(f"  {label:<28} {seconds * 1000:9.2f} ms  {detail}".rstrip())


def shorten(text: str, width: int) -> str:
    return text if len(text) <= width else text[: width - 3] + "..."


def build(videos: list[Video]) -> tuple[PrefixSearch, int]:
    """The trie of the catalogue and its node count, with the steps timed."""
    print(f"Building the trie from {len(videos):,} titles")
    recs, seconds = timed(lambda: list(records(videos)))
    show_step("title words -> records", seconds, f"{len(recs):,} records")
    arrays, seconds = timed(lambda: build_flat_arrays(recs))
    nodes = len(arrays.child_labels)
    terms = sum(p is not None for p in arrays.payloads)
    show_step("records -> flat arrays", seconds, f"{nodes:,} nodes, {terms:,} terms")
    trie, seconds = timed(
        lambda: PrefixSearch.from_internal_data_v2(*arrays.arguments(video_top_n=VIDEO_TOP_N))
    )
    show_step("from_internal_data_v2", seconds, f"top {VIDEO_TOP_N} videos kept per node")
    return trie, nodes


def round_trip(trie: PrefixSearch) -> tuple[PrefixSearch, int]:
    """The trie restored from a snapshot file, and the snapshot's size.

    Exits if the restored trie's snapshot differs from the original's.
    """
    print("\nSnapshot file")
    snapshot = trie.to_bytes()
    with tempfile.TemporaryDirectory(prefix="corvalind-demo-") as tmp:
        path = Path(tmp) / "catalogue.cvd"
        _, seconds = timed(lambda: corvalind.save(trie, path))
        show_step("corvalind.save", seconds, f"{path.stat().st_size:,} bytes in {path}")
        restored, seconds = timed(lambda: corvalind.load(path))
        show_step("corvalind.load", seconds, "header, length and checksum checked")
    if restored.to_bytes() != snapshot:
        raise SystemExit("the restored trie's snapshot differs from the original")
    print("  restored snapshot is byte-for-byte the original")
    return restored, len(snapshot)


def answer(
    trie: PrefixSearch, original: PrefixSearch, query: str, max_dist: int, titles: dict[int, str]
) -> None:
    """Prints the words near the query and the best videos, with the calls' latency.

    Exits if the restored trie's words differ from the original's.
    """
    term_call = partial(trie.fuzzy_match, query, max_dist, limit=TERM_LIMIT)
    video_call = partial(trie.fuzzy_match_video, query, max_dist, limit=VIDEO_LIMIT)
    terms, videos = term_call(), video_call()
    if terms != original.fuzzy_match(query, max_dist, limit=TERM_LIMIT):
        raise SystemExit(f"restored and original trie disagree on {query!r}")

    print(
        f"\n{query!r}  (max_dist {max_dist}; fuzzy_match {latency_us(term_call):.1f} us, "
        f"fuzzy_match_video {latency_us(video_call):.1f} us)"
    )
    if not terms:
        print("  no stored word within reach")
    else:
        # The matcher returns trie order; the closest words read better first.
        found = sorted(terms, key=lambda t: (t[2], t[0]))
        words = "  ".join(f"{term} ({distance})" for term, _, distance in found)
        more = "; stopped at the limit" if len(terms) == TERM_LIMIT else ""
        print(f"  words (edit distance{more}): {words}")
    for rank, (video_id, score) in enumerate(videos, 1):
        title = shorten(titles[int(video_id)], 86)
        print(f"  {rank}. {score:6.3f}  {video_id:>10}  {title}")
    if not videos:
        print("  no video scores")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "--query",
        action="append",
        metavar="TERM",
        help="a query to answer, lowercased like the titles' words "
        "(repeatable; default: a set of misspellings)",
    )
    parser.add_argument(
        "--max-dist", type=int, default=2, metavar="N", help="edits allowed per query (default: 2)"
    )
    parser.add_argument("--records", type=Path, metavar="FILE", help="also write the records to FILE as TSV")
    args = parser.parse_args()
    if args.max_dist < 0:
        parser.error("--max-dist must be 0 or more")

    videos = read_catalogue(CATALOGUE)
    if args.records:
        with args.records.open("w", encoding="utf-8") as tsv:
            tsv.write("term\tvideo_id\tcount\n")
            tsv.writelines(f"{term}\t{video}\t{count}\n" for term, video, count in records(videos))
    trie, nodes = build(videos)
    restored, snapshot_size = round_trip(trie)
    print(f"\nTrie: {nodes:,} nodes, snapshot {snapshot_size:,} bytes")

    titles = {video.video_id: video.title for video in videos}
    print(
        f"\nQueries (words: first {TERM_LIMIT} found, closest first; "
        f"videos: top {VIDEO_LIMIT} with score, id, title; latency: median of {REPEATS} calls)"
    )
    for query in args.query or QUERIES:
        answer(restored, trie, query.lower(), args.max_dist, titles)


if __name__ == "__main__":
    main()
