"""Throughput of match_many on native threads, local processes and a local
Dask cluster against a serial loop; the fixed cost of a call; the peak
memory of streaming a million queries through iter_matches; and the time
of `corvalind info`.

The trie holds the most frequent words of wordfreq's English and Russian
lists (bench/compare_data.py), 1-3 videos each; queries are stored words
with max_dist seeded edits. For each max_dist and method, rounds of: a
serial loop in this process, then match_many on every engine, interleaved;
each engine's best round counts, so that load from elsewhere on a shared
machine hits all alike, and the load average is printed before and after.
"CPU × serial" is the CPU time of the run in every process (this one, the
local workers, the cluster's workers) over the serial loop's. Results are
checked against the serial loop's (video scores only, as the order of equal
scores is open).

    python bench/bench_batch.py [--queries 100000] [--workers 2] [--rounds 3] [--words 250000]

Needs the dask extra and bench/requirements.txt (wordfreq, symspellpy).
"""

from __future__ import annotations

import argparse
import os
import random
import resource
import subprocess
import sys
import tempfile
import textwrap
import time
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import psutil

sys.path.insert(0, str(Path(__file__).resolve().parent))

from compare_data import distinct_terms, make_records, misspell, vocabulary  # noqa: E402

MiB = 1024 * 1024


@dataclass
class Run:
    seconds: float
    cpu_seconds: float
    result: object


def cpu_seconds(client: Any) -> float:
    """CPU time used so far by this process, its finished children (local
    workers) and the cluster's workers."""
    own = resource.getrusage(resource.RUSAGE_SELF)
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    workers = client.run(lambda: sum(psutil.Process().cpu_times()[:2]))
    return own.ru_utime + own.ru_stime + children.ru_utime + children.ru_stime + sum(workers.values())


def timed(run: Callable[[], object], client: Any) -> Run:
    cpu = cpu_seconds(client)
    start = time.perf_counter()
    result = run()
    seconds = time.perf_counter() - start
    return Run(seconds, cpu_seconds(client) - cpu, result)


def scores(results: Any) -> list[list[float]]:
    return [[score for _, score in pairs] for pairs in results]


def load_average() -> str:
    return " ".join(f"{load:.1f}" for load in os.getloadavg())


def make_queries(terms: list[str], edits: int, count: int, rng: random.Random) -> list[str]:
    sources = [term for term in terms if 3 <= len(term) <= 20]
    return [misspell(rng.choice(sources), edits, rng) for _ in range(count)]


# The peak resident memory of a child that loads the trie, builds its
# forward-backward index and streams the queries of a file (one a line,
# read lazily) through iter_matches at max_dist 2, keeping only a count.
STREAM = textwrap.dedent("""
    import sys
    import corvalind
    trie = corvalind.load(sys.argv[1])
    trie.fuzzy_match("xyzzy", 1)
    total = 0
    with open(sys.argv[2], encoding="utf-8") as lines:
        for results in corvalind.iter_matches(trie, (line.rstrip("\\n") for line in lines), max_dist=2):
            total += len(results)
    with open("/proc/self/status") as status:  # VmHWM: this process's own peak (ru_maxrss outlives exec)
        print(int(status.read().split("VmHWM:")[1].split()[0]) * 1024, total)
""")


def stream_peak(trie_path: Path, queries_path: Path) -> tuple[int, int]:
    done = subprocess.run([sys.executable, "-c", STREAM, str(trie_path), str(queries_path)],
                          capture_output=True, text=True, check=True)
    peak, total = done.stdout.split()
    return int(peak), int(total)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--queries", type=int, default=100_000, help="queries per max_dist")
    parser.add_argument("--workers", type=int, default=2, help="threads, local processes and Dask workers")
    parser.add_argument("--rounds", type=int, default=3, help="runs of each engine, interleaved; the best counts")
    parser.add_argument("--words", type=int, default=250_000, help="most frequent words per language")
    parser.add_argument("--stream-queries", type=int, default=1_000_000, help="queries streamed for the memory row")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--only", choices=("info", "engines"), help="run one part of the benchmark")
    options = parser.parse_args()

    import corvalind
    from corvalind import PrefixSearch, build_flat_arrays

    rng = random.Random(options.seed)
    terms = distinct_terms(vocabulary(options.words))
    trie = PrefixSearch.from_internal_data_v2(*build_flat_arrays(make_records(terms, rng)).arguments(10))
    snapshot = trie.to_bytes()
    stats = corvalind.stats(trie)
    print(f"{len(terms):,} words, {stats['nodes']:,} nodes, snapshot {len(snapshot) / MiB:.1f} MiB; "
          f"{options.queries:,} queries per max_dist; {options.workers} workers; load average {load_average()}")

    if options.only != "engines":
        info_and_memory(options, trie, terms, rng)
    if options.only != "info":
        engines_table(options, trie, terms, rng)
    print(f"\nload average {load_average()} (1, 5, 15 min)")


def info_and_memory(options: argparse.Namespace, trie: Any, terms: list[str], rng: random.Random) -> None:
    import corvalind

    with tempfile.TemporaryDirectory() as scratch:
        path = Path(scratch) / "trie.cvd"
        corvalind.save(trie, path)
        info = []
        for _ in range(options.rounds):
            start = time.perf_counter()
            subprocess.run([str(Path(sys.executable).with_name("corvalind")), "info", str(path)], check=True,
                           capture_output=True)
            info.append(time.perf_counter() - start)
        start = time.perf_counter()
        subprocess.run([sys.executable, "-c", "import corvalind"], check=True)
        startup = time.perf_counter() - start
        start = time.perf_counter()
        loaded = corvalind.load(path)
        loading = time.perf_counter() - start
        start = time.perf_counter()
        corvalind.stats(loaded)
        counting = time.perf_counter() - start
        del loaded
        print(f"corvalind info: best {min(info):.3f} s (interpreter start and imports {startup:.3f} s, "
              f"load {loading:.3f} s, stats {counting:.3f} s)")
        if options.stream_queries:
            none, many = Path(scratch) / "none.txt", Path(scratch) / "queries.txt"
            none.write_text("")
            with many.open("w", encoding="utf-8") as file:
                file.writelines(f"{query}\n" for query in make_queries(terms, 2, options.stream_queries, rng))
            trie_only, _ = stream_peak(path, none)
            streamed, total = stream_peak(path, many)
            print(f"iter_matches over {options.stream_queries:,} queries at max_dist 2 ({total:,} matched terms): "
                  f"peak {streamed / MiB:.0f} MiB, {(streamed - trie_only) / MiB:.0f} MiB over the trie's own "
                  f"{trie_only / MiB:.0f} MiB")



def engines_table(options: argparse.Namespace, trie: Any, terms: list[str], rng: random.Random) -> None:
    import dask
    from distributed import Client, LocalCluster

    from corvalind import match_many

    start = time.perf_counter()
    with (
        tempfile.TemporaryDirectory() as scratch,
        dask.config.set({"temporary-directory": scratch}),
        LocalCluster(n_workers=options.workers, threads_per_worker=1, dashboard_address=None) as cluster,
        Client(cluster) as client,
    ):
        print(f"Dask cluster up in {time.perf_counter() - start:.2f} s")
        engines: list[tuple[str, dict[str, Any]]] = [
            ("threads", dict(threads=options.workers)),
            ("processes", dict(processes=options.workers)),
            ("dask", dict(client=client)),
        ]
        for engine, extra in engines:
            calls = [timed(lambda: match_many(trie, ["abc", "abd"], **extra), client) for _ in range(5)]
            fixed = min(calls, key=lambda run: run.seconds)
            print(f"fixed cost of one call on {engine}: {fixed.seconds * 1000:.1f} ms")

        header = f"{'method':<18} {'max_dist':>8} {'engine':<10} {'queries/s':>10} {'× serial':>9} {'CPU × serial':>12}"
        print(f"\n{header}\n{'-' * len(header)}")
        for max_dist in (1, 2):
            queries = make_queries(terms, max_dist, options.queries, rng)
            for videos in (False, True):
                method = "fuzzy_match_video" if videos else "fuzzy_match"
                limit = 10 if videos else None

                def serial() -> list[object]:
                    if videos:
                        return [trie.fuzzy_match_video(query, max_dist, limit) for query in queries]
                    return [trie.fuzzy_match(query, max_dist, limit) for query in queries]

                best: dict[str, Run] = {}
                for _ in range(options.rounds):
                    runs = [("serial", timed(serial, client))]
                    expected = runs[0][1].result
                    for engine, extra in engines:
                        run = timed(
                            lambda: match_many(trie, queries, videos=videos, max_dist=max_dist, limit=limit, **extra),
                            client,
                        )
                        if (scores(run.result) == scores(expected)) if videos else run.result == expected:
                            runs.append((engine, run))
                    for engine, run in runs:
                        run.result = None
                        if engine not in best or run.seconds < best[engine].seconds:
                            best[engine] = run
                base = best["serial"]
                for engine, _ in [("serial", None), *engines]:
                    if engine not in best:
                        print(f"{method:<18} {max_dist:>8} {engine:<10} results differ from the serial loop")
                        continue
                    run = best[engine]
                    print(f"{method:<18} {max_dist:>8} {engine:<10} {len(queries) / run.seconds:>10.0f} "
                          f"{base.seconds / run.seconds:>9.2f} {run.cpu_seconds / base.cpu_seconds:>12.2f}",
                          flush=True)


if __name__ == "__main__":
    main()
