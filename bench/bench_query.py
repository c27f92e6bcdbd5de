"""Time fuzzy_match and fuzzy_match_video on a trie of every dictionary word.

The trie holds every word of the dictionary, lowercased and deduplicated,
each naming one to three videos (seeded random int ids from a pool of 50,000,
counts 1..1000). Queries are stored words of 3 to 20 characters with seeded
random edits (substitution, insertion or deletion of a letter): one edit for
max_dist 1, two for max_dist 2. Each query is timed on its own, its latency
the best of a few runs (the machine's noise otherwise dominates the p99); the
table shows queries per second (over the summed latencies), median and p99
latency, and the average number of results.

    python bench/bench_query.py [--queries 2000] [--repeat 3] [--seed 1]
"""

from __future__ import annotations

import argparse
import random
import statistics
import string
import sys
import time
from collections.abc import Callable
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python"))

from corvalind import Record, build_flat_arrays  # noqa: E402

WORDS = Path("/usr/share/dict/american-english")


def dictionary_words() -> list[str]:
    return sorted({line.strip().lower() for line in WORDS.read_text(encoding="utf-8").splitlines() if line.strip()})


def make_records(words: list[str], rng: random.Random) -> list[Record]:
    pool = [rng.getrandbits(32) for _ in range(50_000)]
    return [(word, rng.choice(pool), rng.randint(1, 1000)) for word in words for _ in range(rng.randint(1, 3))]


def misspell(word: str, edits: int, rng: random.Random) -> str:
    for _ in range(edits):
        at = rng.randrange(len(word))
        kind = rng.randrange(3)
        letter = rng.choice(string.ascii_lowercase)
        if kind == 0:
            word = word[:at] + letter + word[at + 1 :]
        elif kind == 1:
            word = word[:at] + letter + word[at:]
        else:
            word = word[:at] + word[at + 1 :]
    return word


def make_queries(words: list[str], edits: int, count: int, rng: random.Random) -> list[str]:
    sources = [word for word in words if 3 <= len(word) <= 20]
    queries: list[str] = []
    while len(queries) < count:
        query = misspell(rng.choice(sources), edits, rng)
        if 3 <= len(query) <= 20:
            queries.append(query)
    return queries


def measure(run: Callable[[str], list], queries: list[str], repeat: int) -> tuple[float, float, float, float]:
    """(queries per second, median µs, p99 µs, average result count)."""
    for query in queries[:50]:  # warm-up
        run(query)
    latencies: list[int] = []
    results = 0
    for query in queries:
        best = None
        for _ in range(repeat):
            start = time.perf_counter_ns()
            found = run(query)
            elapsed = time.perf_counter_ns() - start
            best = elapsed if best is None else min(best, elapsed)
        latencies.append(best)
        results += len(found)
    latencies.sort()
    p99 = latencies[min(len(latencies) - 1, (99 * len(latencies)) // 100)]
    return (
        len(queries) / (sum(latencies) / 1e9),
        statistics.median(latencies) / 1e3,
        p99 / 1e3,
        results / len(queries),
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--queries", type=int, default=2000, help="queries per max_dist")
    parser.add_argument("--repeat", type=int, default=3, help="timed runs per query; the best counts")
    parser.add_argument("--top-n", type=int, default=10, help="video_top_n of the trie")
    parser.add_argument("--seed", type=int, default=1)
    options = parser.parse_args()

    from _corvalind import PrefixSearch

    rng = random.Random(options.seed)
    words = dictionary_words()
    arrays = build_flat_arrays(make_records(words, rng))
    start = time.perf_counter()
    trie = PrefixSearch.from_internal_data_v2(*arrays.arguments(options.top_n))
    build = time.perf_counter() - start
    print(f"{len(words)} words, {len(arrays.child_labels)} nodes, built in {build:.2f} s; "
          f"{options.queries} queries per max_dist, lengths 3..20\n")

    header = (
        f"{'method':<18} {'max_dist':>8} {'include_prefix':>14} {'queries/s':>10} "
        f"{'median µs':>10} {'p99 µs':>9} {'avg results':>11}"
    )
    print(header)
    print("-" * len(header))
    for max_dist in (1, 2):
        queries = make_queries(words, max_dist, options.queries, rng)
        runs: list[tuple[str, object, Callable[[str], list]]] = [
            ("fuzzy_match", "", lambda q: trie.fuzzy_match(q, max_dist)),
            ("fuzzy_match_video", None, lambda q: trie.fuzzy_match_video(q, max_dist, None, None)),
            ("fuzzy_match_video", True, lambda q: trie.fuzzy_match_video(q, max_dist, None, True)),
        ]
        for method, flag, run in runs:
            per_second, median, p99, average = measure(run, queries, options.repeat)
            print(
                f"{method:<18} {max_dist:>8} {str(flag):>14} {per_second:>10.0f} "
                f"{median:>10.1f} {p99:>9.1f} {average:>11.2f}"
            )


if __name__ == "__main__":
    main()
