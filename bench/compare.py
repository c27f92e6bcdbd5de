"""Compare ``_corvalind`` with what users would pick instead, on the same work.

In one process, on the same terms and the same misspelt queries:

- ``fuzzy_match`` at max_dist 1 and 2 against a brute-force scan with
  rapidfuzz (``process.extract`` with Levenshtein distance) and a symspellpy
  dictionary (Levenshtein, ``Verbosity.ALL``), checking that the answers agree;
- ``fuzzy_match_video`` at max_dist 1 and 2, with and without prefix nodes;
- building, ``to_bytes`` and ``from_bytes`` against pickling the flat arrays;
- resident memory of the trie against marisa-trie, a Python set and the
  symspellpy dictionary, each measured in a fresh process;
- optionally (``--with-baseline``) the C++ comparison of the typo search with
  a compiled deletion dictionary and the walk from the root, per length
  bucket, with memory figures, bench/walk_baseline.cc.

Prints the tables and writes report.md and chart.png to the output folder
(default bench/out/<timestamp>/).

    python bench/compare.py [--quick] [--out DIR] [--seed N] [--with-baseline]
"""

from __future__ import annotations

import argparse
import gc
import math
import os
import pickle
import platform
import random
import statistics
import subprocess
import tempfile
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from datetime import datetime
from functools import partial
from importlib import metadata
from pathlib import Path

from _corvalind import PrefixSearch
from corvalind import build_flat_arrays
from rapidfuzz import process
from rapidfuzz.distance import Levenshtein
from symspellpy import Verbosity

import compare_data
import compare_memory
from compare_report import OURS, Latency, Memory, Results, Storage, chart, markdown, terminal

ROOT = Path(__file__).resolve().parents[1]
VIDEO_TOP_N = 10
VIDEO_LIMIT = 10
WARMUP = 5
ROUNDS = 3


@dataclass(frozen=True)
class Scale:
    per_language: int  # most frequent words taken from each language
    ours_queries: int
    symspell_queries: int
    rapidfuzz_queries: int
    repeat: int  # runs of each save/restore operation


FULL = Scale(per_language=250_000, ours_queries=2000, symspell_queries=1000, rapidfuzz_queries=200, repeat=5)
QUICK = Scale(per_language=20_000, ours_queries=300, symspell_queries=150, rapidfuzz_queries=40, repeat=3)


def progress(text: str) -> None:
    print(f"... {text}", flush=True)


def time_calls(call: Callable[[str], object], queries: Sequence[str]) -> tuple[list[int], list[object]]:
    """Nanoseconds (best of ROUNDS) and first answer of each call, after a few warm-up calls.

    The whole list is run ROUNDS times and each query keeps its fastest run,
    so that a moment when another process holds the core does not count as
    the query's cost. The collector is off while timing so that no system
    pays for another's garbage.
    """
    for query in queries[:WARMUP]:
        call(query)
    best: list[int] = []
    answers: list[object] = []
    gc.collect()
    gc.disable()
    try:
        for round_ in range(ROUNDS):
            for k, query in enumerate(queries):
                start = time.perf_counter_ns()
                answer = call(query)
                elapsed = time.perf_counter_ns() - start
                if round_ == 0:
                    best.append(elapsed)
                    answers.append(answer)
                else:
                    best[k] = min(best[k], elapsed)
    finally:
        gc.enable()
    return best, answers


def percentile(values: Sequence[int], fraction: float) -> float:
    ordered = sorted(values)
    return ordered[max(0, math.ceil(fraction * len(ordered)) - 1)]


def latency_row(setting: str, system: str, latencies: list[int], ours: list[int] | None) -> Latency:
    """The row of `latencies`; the ratio compares with ours on the same (first) queries."""
    median = statistics.median(latencies)
    ratio = None if ours is None else median / statistics.median(ours[: len(latencies)])
    return Latency(setting, system, len(latencies), median / 1000, percentile(latencies, 0.99) / 1000, ratio)


def median_seconds(action: Callable[[], object], repeat: int) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        action()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def compare_sets(rival: str, queries: Sequence[str], ours: list[set], theirs: list[set], max_dist: int) -> list[str]:
    """Lines saying whether the (term, distance) sets agree, and how they differ."""
    differing = [k for k in range(len(theirs)) if ours[k] != theirs[k]]
    found = sum(len(s) for s in ours[: len(theirs)])
    if not differing:
        return [
            f"{rival}, max_dist {max_dist}: same (term, distance) sets on all {len(theirs)} queries ({found} pairs)"
        ]
    missing = sum(len(ours[k] - theirs[k]) for k in differing)
    extra = sum(len(theirs[k] - ours[k]) for k in differing)
    lines = [
        (
            f"{rival}, max_dist {max_dist}: {len(differing)} of {len(theirs)} queries differ; "
            f"{rival} lacks {missing} of our {found} pairs and adds {extra}"
        )
    ]
    for k in differing[:3]:
        lacks = sorted(ours[k] - theirs[k])[:4]
        adds = sorted(theirs[k] - ours[k])[:4]
        lines.append(f"  e.g. {queries[k]!r}: {rival} lacks {lacks}, adds {adds}")
    return lines


def term_queries(trie: PrefixSearch, terms: list[str], queries: list[str], scale: Scale, results: Results) -> None:
    """fuzzy_match against symspellpy and rapidfuzz, latency and agreement."""
    for max_dist in (1, 2):
        setting = f"fuzzy_match, max_dist {max_dist}"
        progress(setting)
        ours, answers = time_calls(partial(trie.fuzzy_match, max_dist=max_dist), queries[: scale.ours_queries])
        ours_sets = [{(term, distance) for term, _, distance in answer} for answer in answers]
        results.latency.append(latency_row(setting, OURS, ours, None))

        progress(f"{setting}: symspellpy dictionary and lookups")
        dictionary = compare_data.symspell_dictionary(terms, max_dist)
        theirs, answers = time_calls(
            partial(dictionary.lookup, verbosity=Verbosity.ALL, max_edit_distance=max_dist),
            queries[: scale.symspell_queries],
        )
        del dictionary
        results.latency.append(latency_row(setting, "symspellpy", theirs, ours))
        symspell_sets = [{(item.term, item.distance) for item in answer} for answer in answers]
        results.agreement += compare_sets("symspellpy", queries, ours_sets, symspell_sets, max_dist)

        progress(f"{setting}: rapidfuzz scans")
        theirs, answers = time_calls(
            partial(process.extract, choices=terms, scorer=Levenshtein.distance, score_cutoff=max_dist, limit=None),
            queries[: scale.rapidfuzz_queries],
        )
        results.latency.append(latency_row(setting, "rapidfuzz", theirs, ours))
        rapidfuzz_sets = [{(term, int(distance)) for term, distance, _ in answer} for answer in answers]
        results.agreement += compare_sets("rapidfuzz", queries, ours_sets, rapidfuzz_sets, max_dist)


def video_queries(trie: PrefixSearch, queries: list[str], scale: Scale, results: Results) -> None:
    for max_dist in (1, 2):
        for prefix_nodes in (None, True):
            setting = f"fuzzy_match_video, max_dist {max_dist}, prefix nodes {prefix_nodes}"
            progress(setting)
            latencies, _ = time_calls(
                partial(
                    trie.fuzzy_match_video, max_dist=max_dist, limit=VIDEO_LIMIT, include_prefix_nodes=prefix_nodes
                ),
                queries[: scale.ours_queries],
            )
            results.latency.append(latency_row(setting, OURS, latencies, None))


def save_and_restore(arguments: tuple, scale: Scale, results: Results) -> tuple[PrefixSearch, bytes]:
    """Builds the trie, and times the snapshot against pickling the six arguments."""
    progress("building, to_bytes, from_bytes, pickle")
    build = median_seconds(lambda: PrefixSearch.from_internal_data_v2(*arguments), scale.repeat)
    trie = PrefixSearch.from_internal_data_v2(*arguments)
    save = median_seconds(trie.to_bytes, scale.repeat)
    snapshot = trie.to_bytes()
    load = median_seconds(lambda: PrefixSearch.from_bytes(snapshot), scale.repeat)
    dump = median_seconds(lambda: pickle.dumps(arguments, protocol=5), scale.repeat)
    pickled = pickle.dumps(arguments, protocol=5)
    unpickle = median_seconds(lambda: pickle.loads(pickled), scale.repeat)
    rebuild = median_seconds(lambda: PrefixSearch.from_internal_data_v2(*pickle.loads(pickled)), scale.repeat)
    results.storage += [
        Storage("build from the flat arrays", "from_internal_data_v2", build, "—", None),
        Storage("save", "to_bytes", save, "pickle.dumps(arrays)", dump),
        Storage("load", "from_bytes", load, "pickle.loads(arrays)", unpickle),
        Storage("restore a queryable trie", "from_bytes", load, "pickle.loads + from_internal_data_v2", rebuild),
    ]
    results.sizes += [
        ("snapshot (to_bytes)", f"{len(snapshot):,} bytes"),
        (
            "pickle of the six arguments, protocol 5",
            f"{len(pickled):,} bytes ({len(pickled) / len(snapshot):.2f}× the snapshot)",
        ),
    ]
    return trie, snapshot


def bare_snapshot(arguments: tuple) -> bytes:
    """Snapshot of the same trie with no videos: every node keeps only an empty
    payload, and the terms stay where they were (so does their index)."""
    node_shifts, child_labels, payloads, child_transitions, _, top_n = arguments
    empty = [None if payload is None else (0, [], []) for payload in payloads]
    bare = PrefixSearch.from_internal_data_v2(node_shifts, child_labels, empty, child_transitions, [], top_n)
    return bare.to_bytes()


def memory(data_dir: Path, snapshots: dict[str, bytes], results: Results) -> None:
    """Measures each structure in its own process, then ours per node and per entry.

    The trie without videos gives the cost of a node; what the videos add,
    divided by the payload entries, the cost of an entry.
    """
    for kind, name in compare_memory.SNAPSHOTS.items():
        (data_dir / name).write_bytes(snapshots[kind])
    for kind in compare_memory.KINDS:
        progress(f"memory of {kind}, in a fresh process")
        figures = compare_memory.measure(kind, data_dir)
        results.memory.append(Memory(kind, figures["rss_bytes"], figures["peak_bytes"], figures["build_s"]))
    snapshot = snapshots[OURS]
    nodes, entries = compare_memory.snapshot_counts(snapshot)
    full, bare = (next(m.rss_bytes for m in results.memory if m.structure == kind) for kind in compare_memory.SNAPSHOTS)
    results.ours_memory += [
        ("nodes", f"{nodes:,}"),
        (
            f"payload entries after propagation (video_top_n {VIDEO_TOP_N})",
            f"{entries:,} ({entries / nodes:.2f} per node)",
        ),
        ("resident bytes per node, without videos", f"{bare / nodes:.1f}"),
        ("resident bytes per payload entry (what the videos add / entries)", f"{(full - bare) / entries:.1f}"),
        ("resident bytes per node, videos included", f"{full / nodes:.1f}"),
        ("snapshot bytes per node, videos included", f"{len(snapshot) / nodes:.1f}"),
    ]


def walk_baseline(out: Path, words: Path) -> str:
    """Output of bench/walk_baseline.cc run on `words`, built with CMake; or why there is none."""
    if not (ROOT / "bench" / "walk_baseline.cc").exists():
        return "not run: bench/walk_baseline.cc does not exist in this tree"
    progress("building and running walk_baseline")
    build_dir = out / "build-walk-baseline"
    steps = [
        [
            "cmake",
            "-S",
            str(ROOT),
            "-B",
            str(build_dir),
            "-DCMAKE_BUILD_TYPE=Release",
            "-DCORVALIND_BUILD_BENCH=ON",
            "-DCORVALIND_BUILD_EXTENSION=OFF",
        ],
        ["cmake", "--build", str(build_dir), "--target", "walk_baseline", "-j2"],
        [str(build_dir / "walk_baseline"), str(words), "2000", "3"],
    ]
    for step in steps:
        done = subprocess.run(step, check=False, capture_output=True, text=True)
        if done.returncode != 0:
            # The figures above are worth keeping even when this step fails.
            return f"failed: {' '.join(step)} exited with {done.returncode}\n{done.stdout}{done.stderr}".rstrip()
    return done.stdout.rstrip()


def environment(scale: Scale, seed: int) -> list[tuple[str, str]]:
    cpu = next(
        (
            line.split(":", 1)[1].strip()
            for line in Path("/proc/cpuinfo").read_text().splitlines()
            if line.startswith("model name")
        ),
        platform.machine(),
    )
    versions = ", ".join(
        f"{name} {metadata.version(name)}"
        for name in ("corvalind", "rapidfuzz", "symspellpy", "editdistpy", "marisa-trie", "wordfreq")
    )
    head = subprocess.run(
        ["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"], check=False, capture_output=True, text=True
    )
    return [
        ("date", datetime.now().isoformat(timespec="seconds")),
        ("machine", f"{cpu}, {os.cpu_count()} cores shared with other work, so figures are approximate"),
        ("load average at start", " ".join(f"{x:.2f}" for x in os.getloadavg())),
        ("Python", f"{platform.python_implementation()} {platform.python_version()}"),
        ("packages", versions),
        ("commit", head.stdout.strip() or "unknown"),
        ("run", f"{'quick' if scale is QUICK else 'full'}, seed {seed}; one thread everywhere"),
    ]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="smaller data and fewer queries, for a smoke run")
    parser.add_argument("--out", type=Path, help="output folder (default bench/out/<timestamp>)")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument(
        "--with-baseline", action="store_true", help="also build and run bench/walk_baseline.cc (needs cmake and g++)"
    )
    options = parser.parse_args()
    scale = QUICK if options.quick else FULL
    out = options.out or ROOT / "bench" / "out" / datetime.now().strftime("%Y%m%d-%H%M%S")
    out.mkdir(parents=True, exist_ok=True)
    rng = random.Random(options.seed)
    results = Results(environment=environment(scale, options.seed))

    progress("reading the vocabularies")
    words = compare_data.vocabulary(scale.per_language)
    terms = compare_data.distinct_terms(words)
    records = compare_data.make_records(terms, rng)
    queries = compare_data.make_queries(terms, scale.ours_queries, rng)
    progress(f"producing the flat arrays of {len(terms):,} terms")
    start = time.perf_counter()
    arrays = build_flat_arrays(records)
    producer = time.perf_counter() - start
    lengths = [len(query) for query in queries]
    results.data += [
        (
            "terms",
            f"{len(terms):,} distinct: the {scale.per_language:,} most frequent all-letter words of "
            f"each of {', '.join(compare_data.LANGUAGES)} in wordfreq's 'large' lists",
        ),
        (
            "records",
            f"{len(records):,} (term, video, count): 1-3 per term, ids from a pool of "
            f"{compare_data.VIDEO_POOL:,} random 32-bit ints, counts 1-1000",
        ),
        (
            "trie",
            f"{len(arrays.child_labels):,} nodes; video_top_n {VIDEO_TOP_N}; "
            f"producer (pure Python build_flat_arrays) {producer:.1f} s",
        ),
        (
            "queries",
            f"stored terms with 1 or 2 random edits (alternating), length {min(lengths)}-{max(lengths)} "
            f"(median {statistics.median(lengths):g}); every system answers the first N of the same list",
        ),
        ("fuzzy_match_video", f"limit {VIDEO_LIMIT}"),
        (
            "timing",
            f"each call alone with perf_counter_ns, the query list run {ROUNDS} times and the best of "
            f"the {ROUNDS} kept per query, after {WARMUP} warm-up calls; collector off while timing",
        ),
        (
            "memory",
            "growth of the resident set in a fresh interpreter per structure, read once the input "
            "is freed and returned to the system (malloc_trim); the peak includes the input. Ours is "
            "restored from its snapshot, the others are built from the term list; marisa-trie and the "
            "set hold no videos, and neither of them can answer a fuzzy query",
        ),
        (
            "symspellpy",
            "Levenshtein (LEVENSHTEIN_FAST), prefix_length 7 (default), one dictionary per max_dist; it "
            "looks up deletes of the first prefix_length characters only, so any pair this loses shows "
            "under Agreement",
        ),
        ("rapidfuzz", "process.extract(q, terms, scorer=Levenshtein.distance, score_cutoff=k, limit=None)"),
    ]
    del records

    arguments = arrays.arguments(VIDEO_TOP_N)
    trie, snapshot = save_and_restore(arguments, scale, results)
    snapshots = {OURS: snapshot, "corvalind, no videos": bare_snapshot(arguments)}
    del arrays, arguments, snapshot
    with tempfile.TemporaryDirectory(prefix="corvalind-compare-") as folder:
        data_dir = Path(folder)
        (data_dir / compare_memory.TERMS).write_text("\n".join(terms), encoding="utf-8")
        memory(data_dir, snapshots, results)
        del snapshots
        term_queries(trie, terms, queries, scale, results)
        video_queries(trie, queries, scale, results)
        results.baseline = (
            walk_baseline(out, data_dir / compare_memory.TERMS)
            if options.with_baseline
            else "not run: pass --with-baseline to build and run bench/walk_baseline.cc"
        )
    results.environment.append(("load average at end", " ".join(f"{x:.2f}" for x in os.getloadavg())))

    print(terminal(results))
    (out / "report.md").write_text(markdown(results, "chart.png"), encoding="utf-8")
    chart(results, out / "chart.png")
    print(f"\nReport: {out / 'report.md'}\nChart:  {out / 'chart.png'}")


if __name__ == "__main__":
    main()
