"""Time snapshot files and the command line on a trie of about a million nodes.

Prints what the checks of ``corvalind.load`` cost next to decoding the
snapshot (CRC-32 and the whole file check against ``PrefixSearch.from_bytes``,
timed in turns), the times of ``save`` and ``load``, of the pure-Python
reader behind ``corvalind info``, and the wall time of ``corvalind build`` on
a TSV file of a million records, with its steps timed in-process.

    python bench/bench_files.py [--nodes 1000000] [--records 1000000] [--repeat 5]
"""

from __future__ import annotations

import argparse
import random
import statistics
import string
import subprocess
import sys
import tempfile
import time
import zlib
from collections.abc import Callable
from pathlib import Path

import corvalind
from corvalind import FlatArrays, PrefixSearch, Record, build_flat_arrays
from corvalind.record_file import read_records
from corvalind.snapshot_file import read_snapshot

VIDEO_POOL = 50_000


def make_records(nodes: int, records: int, seed: int) -> list[Record]:
    """``records`` records over random lowercase terms whose trie has about
    ``nodes`` nodes; videos from a pool of 50,000, counts 1..1000."""
    rng = random.Random(seed)
    letters = string.ascii_lowercase[:20]  # a small alphabet, so prefixes are shared
    prefixes: set[str] = {""}
    terms: list[str] = []
    while len(prefixes) < nodes:
        term = "".join(rng.choices(letters, k=rng.randint(3, 12)))
        prefixes.update(term[:k] for k in range(1, len(term) + 1))
        terms.append(term)
    pool = [rng.getrandbits(32) for _ in range(VIDEO_POOL)]
    chosen = terms + [rng.choice(terms) for _ in range(records - len(terms))]
    return [(term, rng.choice(pool), rng.randint(1, 1000)) for term in chosen[:records]]


def timed(action: Callable[[], object]) -> float:
    start = time.perf_counter()
    action()
    return time.perf_counter() - start


def in_turns(actions: dict[str, Callable[[], object]], repeat: int) -> dict[str, float]:
    """Median seconds of each action, the actions run one after another in each round."""
    samples: dict[str, list[float]] = {name: [] for name in actions}
    for _ in range(repeat):
        for name, action in actions.items():
            samples[name].append(timed(action))
    return {name: statistics.median(values) for name, values in samples.items()}


def show(label: str, seconds: float, detail: str = "") -> None:
    print(f"  {label:<44} {seconds * 1000:9.1f} ms  {detail}".rstrip())


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--nodes", type=int, default=1_000_000)
    parser.add_argument("--records", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=5, help="rounds of the in-turn timings (median shown)")
    parser.add_argument("--seed", type=int, default=1)
    options = parser.parse_args()

    records = make_records(options.nodes, options.records, options.seed)
    arrays = build_flat_arrays(records)
    trie = PrefixSearch.from_internal_data_v2(*arrays.arguments(video_top_n=10))
    snapshot = trie.to_bytes()
    print(
        f"{len(records):,} records, {len(arrays.child_labels):,} nodes, "
        f"snapshot {len(snapshot) / 2**20:.1f} MiB, video_top_n 10\n"
    )

    with tempfile.TemporaryDirectory(prefix="corvalind-bench-") as tmp:
        path = Path(tmp) / "trie.cvd"
        corvalind.save(trie, path)
        print(f"Checks of load next to decoding (median of {options.repeat} rounds, in turns)")
        times = in_turns(
            {
                "crc32": lambda: zlib.crc32(snapshot),
                "from_bytes": lambda: PrefixSearch.from_bytes(snapshot),
                "read_snapshot": lambda: read_snapshot(path),
                "load": lambda: corvalind.load(path),
                "save": lambda: corvalind.save(trie, path),
                "stats": lambda: corvalind.stats(trie),
            },
            options.repeat,
        )
        decode = times["from_bytes"]
        show("CRC-32 of the snapshot", times["crc32"], f"{times['crc32'] / decode:.1%} of from_bytes")
        show("PrefixSearch.from_bytes", decode)
        show("read_snapshot (read file, header, CRC-32)", times["read_snapshot"],
             f"{times['read_snapshot'] / decode:.1%} of from_bytes")
        show("corvalind.load (read_snapshot + from_bytes)", times["load"])
        show("corvalind.save (to_bytes, CRC-32, 2 fsyncs)", times["save"])
        show("corvalind.stats (what corvalind info prints)", times["stats"])

        source = Path(tmp) / "records.tsv"
        with source.open("w", encoding="utf-8") as file:
            file.writelines(f"{term}\t{video}\t{count}\n" for term, video, count in records)
        print(f"\ncorvalind build on {len(records):,} records ({source.stat().st_size / 2**20:.1f} MiB of TSV)")
        output = Path(tmp) / "built.cvd"
        command = [sys.executable, "-m", "corvalind", "build", str(source), "-o", str(output)]
        wall = timed(lambda: subprocess.run(command, check=True, capture_output=True))
        show("whole command (subprocess wall time)", wall)
        with source.open(encoding="utf-8", newline="") as file:
            read: list[Record] = []
            show("read the records", timed(lambda: read.extend(read_records(file, str(source)))))
        flat: list[FlatArrays] = []
        show("build_flat_arrays (checks them, builds the arrays)", timed(lambda: flat.append(build_flat_arrays(read))))
        tries: list[PrefixSearch] = []
        show("from_internal_data_v2", timed(
            lambda: tries.append(PrefixSearch.from_internal_data_v2(*flat[0].arguments(video_top_n=10)))))
        show("save", timed(lambda: corvalind.save(tries[0], output)))


if __name__ == "__main__":
    main()
