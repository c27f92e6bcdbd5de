"""Throughput of match_many against a serial loop, on local processes and a
local Dask cluster, with the peak memory of each worker.

The trie and queries are those of bench_query.py (every dictionary word, one
or two seeded edits per query). For each max_dist and method, rounds of: a
serial loop in this process, match_many with 2 local processes, and
match_many on a Dask cluster of 2 single-threaded worker processes (started
once, beforehand; its start time is printed); each engine's best round
counts, so that load from elsewhere on a shared machine hits all three
alike. The load average at the end tells how busy the machine was. This process stays the driver and shares the cores with the
workers. Memory is the peak resident size of the largest worker process
during the run, sampled every 20 ms. "CPU × serial" is the CPU time the run
took in every process (driver, scheduler, workers) over the serial loop's:
what the parallel run costs beyond the work itself. Load from others on a
shared machine changes it little, unlike the wall-clock ratio, which on
idle cores approaches the number of workers divided by it.

    python bench/bench_batch.py [--queries 100000] [--workers 2] [--rounds 2] [--seed 1]

Needs the dask extra (pip install '.[dask]') and /usr/share/dict (wamerican).
"""

from __future__ import annotations

import argparse
import os
import random
import resource
import sys
import tempfile
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any
from pathlib import Path

import psutil

sys.path.insert(0, str(Path(__file__).resolve().parent))

from bench_query import dictionary_words, make_queries, make_records  # noqa: E402

MiB = 1024 * 1024


class PeakWorkerMemory:
    """The largest resident size any child process of this one reached while
    the context was open (nannies and idle helpers are smaller than workers)."""

    def __enter__(self) -> PeakWorkerMemory:
        self.peak = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._sample, daemon=True)
        self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self._stop.set()
        self._thread.join()

    def _sample(self) -> None:
        me = psutil.Process()
        while not self._stop.wait(0.02):
            for child in me.children(recursive=True):
                try:
                    self.peak = max(self.peak, child.memory_info().rss)
                except psutil.Error:
                    pass


@dataclass
class Run:
    seconds: float
    cpu_seconds: float
    result: object
    peak_worker_bytes: int


def cpu_seconds(client: Any) -> float:
    """CPU time used so far by this process (the driver, and the scheduler
    of a local cluster), its finished children (local workers) and the
    cluster's workers."""
    own = resource.getrusage(resource.RUSAGE_SELF)
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    workers = client.run(lambda: sum(psutil.Process().cpu_times()[:2]))
    return own.ru_utime + own.ru_stime + children.ru_utime + children.ru_stime + sum(workers.values())


def timed(run: Callable[[], object], client: Any) -> Run:
    with PeakWorkerMemory() as memory:
        cpu = cpu_seconds(client)
        start = time.perf_counter()
        result = run()
        seconds = time.perf_counter() - start
        cpu = cpu_seconds(client) - cpu
    return Run(seconds, cpu, result, memory.peak)


def scores(results: object) -> list[list[float]]:
    """Video results without the ids, whose order among equal scores is open."""
    return [[score for _, score in pairs] for pairs in results]  # type: ignore[attr-defined]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--queries", type=int, default=100_000, help="queries per max_dist")
    parser.add_argument("--workers", type=int, default=2, help="local processes and Dask workers")
    parser.add_argument("--top-n", type=int, default=10, help="video_top_n of the trie")
    parser.add_argument("--rounds", type=int, default=2, help="runs of each engine, interleaved; the best counts")
    parser.add_argument("--seed", type=int, default=1)
    options = parser.parse_args()

    import dask
    from distributed import Client, LocalCluster

    from _corvalind import PrefixSearch
    from corvalind import build_flat_arrays, match_many

    rng = random.Random(options.seed)
    words = dictionary_words()
    trie = PrefixSearch.from_internal_data_v2(*build_flat_arrays(make_records(words, rng)).arguments(options.top_n))
    snapshot = trie.to_bytes()
    print(f"{len(words)} words, snapshot {len(snapshot) / MiB:.1f} MiB; {options.queries} queries per max_dist; "
          f"{options.workers} workers; this process drives")

    start = time.perf_counter()
    with (
        tempfile.TemporaryDirectory() as scratch,
        dask.config.set({"temporary-directory": scratch}),
        LocalCluster(n_workers=options.workers, threads_per_worker=1, dashboard_address=None) as cluster,
        Client(cluster) as client,
    ):
        idle = max(client.run(lambda: psutil.Process().memory_info().rss).values())
        print(f"Dask cluster up in {time.perf_counter() - start:.2f} s, idle worker {idle / MiB:.0f} MiB")
        engines: list[tuple[str, dict[str, Any]]] = [
            ("processes", dict(processes=options.workers)),
            ("dask", dict(client=client)),
        ]
        for engine, extra in engines:
            fixed = timed(lambda: match_many(snapshot, ["abc", "abd"], **extra), client)
            print(f"fixed cost of one call on {engine}: {fixed.seconds:.2f} s, {fixed.cpu_seconds:.2f} CPU s")

        header = (
            f"{'method':<18} {'max_dist':>8} {'engine':<10} {'queries/s':>10} {'× serial':>9} "
            f"{'CPU × serial':>12} {'worker MiB':>11}"
        )
        print(f"\n{header}\n{'-' * len(header)}")
        for max_dist in (1, 2):
            queries = make_queries(words, max_dist, options.queries, rng)
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
                            lambda: match_many(snapshot, queries, videos=videos, max_dist=max_dist, limit=limit, **extra),
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
                    memory = f"{run.peak_worker_bytes / MiB:>11.0f}" if engine != "serial" else ""
                    print(f"{method:<18} {max_dist:>8} {engine:<10} {len(queries) / run.seconds:>10.0f} "
                          f"{base.seconds / run.seconds:>9.2f} {run.cpu_seconds / base.cpu_seconds:>12.2f} {memory}",
                          flush=True)
    print(f"\nload average {' '.join(f'{load:.1f}' for load in os.getloadavg())} (1, 5, 15 min)")


if __name__ == "__main__":
    main()
