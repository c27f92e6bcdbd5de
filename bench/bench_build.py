"""Time building tries from flat arrays with ``PrefixSearch.from_internal_data_v2``.

For tries of about 10^4, 10^5 and 10^6 nodes made from dictionary words (and,
past the dictionary's size, two-word phrases) with seeded random videos and
counts, prints the time the native constructor takes next to the time of one
plain Python pass over the same arguments (every array item and payload entry
read and summed): the floor that any consumer of these arguments pays.

    python bench/bench_build.py [--sizes 10000,100000,1000000] [--ids int|uuid]
"""

from __future__ import annotations

import argparse
import random
import sys
import time
import uuid
from collections.abc import Callable, Iterator
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python"))

from corvalind import FlatArrays, Record, build_flat_arrays  # noqa: E402

WORDS = Path("/usr/share/dict/american-english")


def dictionary_words() -> list[str]:
    """The dictionary's words without possessives and other non-letter forms."""
    return [word for word in WORDS.read_text(encoding="utf-8").split() if word.isalpha()]


def terms(rng: random.Random, words: list[str]) -> Iterator[str]:
    """All words in a seeded order, then an endless run of two-word phrases."""
    shuffled = words[:]
    rng.shuffle(shuffled)
    yield from shuffled
    while True:
        yield f"{rng.choice(words)} {rng.choice(words)}"


def make_records(node_count: int, seed: int, id_kind: str, words: list[str]) -> list[Record]:
    """Records of terms added until the trie has at least `node_count` nodes.

    Each term names one to three videos from a pool of 50,000, with counts
    1..1000.
    """
    rng = random.Random(seed)
    if id_kind == "uuid":
        pool: list[int | uuid.UUID] = [uuid.UUID(int=rng.getrandbits(128)) for _ in range(50_000)]
    else:
        pool = [rng.getrandbits(32) for _ in range(50_000)]
    prefixes: set[str] = set()
    records: list[Record] = []
    for term in terms(rng, words):
        if len(prefixes) + 1 >= node_count:  # +1: the root
            break
        prefixes.update(term[:k] for k in range(1, len(term) + 1))
        for _ in range(rng.randint(1, 3)):
            records.append((term, rng.choice(pool), rng.randint(1, 1000)))
    return records


def python_pass(arguments: tuple) -> int:
    """Reads every item of the arguments once, as a pure-Python consumer would."""
    node_shifts, child_labels, payloads, child_transitions, video_index, _ = arguments
    acc = 0
    for shift in node_shifts:
        acc += shift
    for label in child_labels:
        acc += len(label)
    for target in child_transitions:
        acc += target
    for entry in video_index:
        acc += len(entry)
    for payload in payloads:
        if payload is not None:
            total, video_ids, video_counts = payload
            acc += total
            for video in video_ids:
                acc += video
            for count in video_counts:
                acc += count
    return acc


def best_time(action: Callable[[], object], repeat: int) -> float:
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        action()
        best = min(best, time.perf_counter() - start)
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", default="10000,100000,1000000", help="node counts, comma separated")
    parser.add_argument("--ids", choices=["int", "uuid"], default="int", help="kind of external video ids")
    parser.add_argument("--top-n", type=int, default=10, help="video_top_n of the constructor")
    parser.add_argument("--repeat", type=int, default=3, help="timed runs per size; the best is shown")
    parser.add_argument("--seed", type=int, default=1)
    options = parser.parse_args()

    try:
        from _corvalind import PrefixSearch
    except ImportError:
        PrefixSearch = None
        print("_corvalind is not importable: showing the data and the Python pass only\n")

    words = dictionary_words()
    header = f"{'nodes':>9} {'edges':>9} {'entries':>9} {'producer s':>11} {'native s':>9} {'py pass s':>10} {'native/pass':>11}"
    print(header)
    print("-" * len(header))
    for size in (int(text) for text in options.sizes.split(",")):
        records = make_records(size, options.seed, options.ids, words)
        start = time.perf_counter()
        arrays: FlatArrays = build_flat_arrays(records)
        producer = time.perf_counter() - start
        arguments = arrays.arguments(options.top_n)
        entries = sum(len(p[1]) for p in arrays.payloads if p is not None)
        python = best_time(lambda: python_pass(arguments), options.repeat)
        if PrefixSearch is None:
            native_text, ratio_text = "n/a", "n/a"
        else:
            native = best_time(lambda: PrefixSearch.from_internal_data_v2(*arguments), options.repeat)
            native_text, ratio_text = f"{native:.3f}", f"{native / python:.2f}"
        print(
            f"{len(arrays.child_labels):>9} {len(arrays.child_transitions):>9} {entries:>9} "
            f"{producer:>11.3f} {native_text:>9} {python:>10.3f} {ratio_text:>11}"
        )


if __name__ == "__main__":
    main()
