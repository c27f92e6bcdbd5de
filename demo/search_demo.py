"""A search box over a catalogue of programming-tutorial videos.

Reads demo/catalogue.tsv (video id, views, title), builds a word trie from
the (video id, title) pairs with ``build_from_titles``, saves it to a
snapshot file, loads it back, and answers misspelt queries, the last one
half typed, with ``search`` (and ``explain`` for the words each query word
matched), then ranks word suggestions with ``suggest``. ``--titles FILE``
also writes the titles file that ``corvalind build --titles`` reads.

    python demo/search_demo.py [--query TEXT]... [--titles FILE]
"""

from __future__ import annotations

import argparse
import csv
import statistics
import tempfile
import time
from pathlib import Path

from corvalind import PrefixSearch, build_from_titles, explain, load, save, search, suggest

CATALOGUE = Path(__file__).with_name("catalogue.tsv")
QUERIES = [
    "serialze json",  # one typo
    "recieve socekt data",  # a swap and a swap
    "asynchronus threding",  # a letter missing in each
    "regular expresion",
    "temporry directry",  # two typos in the 9-letter word, one in the other
    "compress gzi",  # the last word half typed
]
TERMS = ["recieve", "dictionry", "timestmp", "asyncronous"]
LIMIT = 5
REPEATS = 200  # calls per query when timing it


def read_titles(path: Path) -> list[tuple[int, str]]:
    with path.open(encoding="utf-8", newline="") as tsv:
        return [
            (int(row["video_id"]), row["title"]) for row in csv.DictReader(tsv, delimiter="\t", quoting=csv.QUOTE_NONE)
        ]


def latency_us(query: str, trie: PrefixSearch) -> float:
    """Median wall time of one ``search`` call, in microseconds."""
    samples = []
    for _ in range(REPEATS):
        start = time.perf_counter_ns()
        search(trie, query, limit=LIMIT)
        samples.append(time.perf_counter_ns() - start)
    return statistics.median(samples) / 1000


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--query", action="append", metavar="TEXT", help="a query (repeatable; default: misspelt ones)")
    parser.add_argument("--titles", type=Path, metavar="FILE", help="also write the titles file to FILE")
    args = parser.parse_args()

    items = read_titles(CATALOGUE)
    if args.titles:
        with args.titles.open("w", encoding="utf-8") as tsv:
            tsv.writelines(f"{video}\t{title}\n" for video, title in items)
    titles = {str(video): title for video, title in items}

    start = time.perf_counter()
    built = build_from_titles(items)
    print(f"build_from_titles: {len(items):,} titles in {time.perf_counter() - start:.2f} s")
    with tempfile.TemporaryDirectory(prefix="corvalind-demo-") as tmp:
        path = Path(tmp) / "catalogue.cvd"
        save(built, path)
        trie = load(path)
        print(f"save, load: {path.stat().st_size:,} bytes, checked on load")
    if trie.to_bytes() != built.to_bytes():
        raise SystemExit("the loaded trie differs from the one built")
    search(trie, "warm up")  # the first typo search builds the trie's typo index

    for query in args.query or QUERIES:
        matched = "; ".join(
            f"{word} -> {', '.join(f'{stored} ({distance})' for stored, distance in found[:4]) or 'nothing'}"
            for word, found in explain(trie, query)
        )
        print(f"\nsearch {query!r}  ({latency_us(query, trie):.0f} us)  matched: {matched}")
        for rank, (video, score) in enumerate(search(trie, query, limit=LIMIT), 1):
            print(f"  {rank}. {score:5.3f}  {video:>10}  {titles[video][:80]}")

    print("\nsuggest (stored words, nearest first, with their distance):")
    for term in TERMS:
        print(f"  {term!r}: " + ", ".join(f"{word} ({distance})" for word, distance in suggest(trie, term, limit=6)))


if __name__ == "__main__":
    main()
