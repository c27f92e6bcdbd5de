"""Resident memory of one structure, each measured in a fresh process.

Run as a script, it builds one structure from the files in DATA_DIR and
prints one JSON object: the growth of the resident set once the input is
released, the peak growth while building, and the build time.

    python bench/compare_memory.py KIND DATA_DIR

``corvalind`` restores the trie from its snapshot (DATA_DIR/trie.snapshot)
and answers one typo query, which builds its derived index; ``corvalind, no
videos`` does the same with the trie without payload entries
(DATA_DIR/bare.snapshot); the others are built from the terms
(DATA_DIR/terms.txt, one a line).
"""

from __future__ import annotations

import ctypes
import gc
import json
import subprocess
import sys
import time
from pathlib import Path

SNAPSHOTS = {"corvalind": "trie.snapshot", "corvalind, no videos": "bare.snapshot"}
KINDS = (*SNAPSHOTS, "marisa-trie", "set", "symspellpy")
TERMS = "terms.txt"
SYMSPELL_DISTANCE = 2

# Bytes taken by a variable-length integer of the snapshot, by its first byte.
_INTEGER_WIDTH = [1] * 251 + [3, 5, 9, 0, 0]


def _status_bytes(field: str) -> int:
    """A kB figure of /proc/self/status, in bytes."""
    with open("/proc/self/status") as status:
        line = next(line for line in status if line.startswith(field + ":"))
    return int(line.split()[1]) * 1024


def _rss() -> int:
    return _status_bytes("VmRSS")


def _peak_rss() -> int:
    # VmHWM, not ru_maxrss: the latter survives exec and would report the
    # parent's peak.
    return _status_bytes("VmHWM")


def _builder(kind: str):
    """The function that builds `kind` from its input, imported before measuring."""
    if kind in SNAPSHOTS:
        from _corvalind import PrefixSearch

        def restore(snapshot: bytes) -> PrefixSearch:
            trie = PrefixSearch.from_bytes(snapshot)
            # The first typo search of max_dist 1 or 2 builds the
            # forward-backward index: measure the trie as it serves.
            trie.fuzzy_match("index", 1)
            return trie

        return restore
    if kind == "marisa-trie":
        import marisa_trie

        return marisa_trie.Trie
    if kind == "set":
        return set
    if kind == "symspellpy":
        from compare_data import symspell_dictionary

        return lambda terms: symspell_dictionary(terms, SYMSPELL_DISTANCE)
    raise ValueError(f"unknown kind {kind!r}; expected one of {', '.join(KINDS)}")


def _read_input(kind: str, data_dir: Path) -> bytes | list[str]:
    if kind in SNAPSHOTS:
        return (data_dir / SNAPSHOTS[kind]).read_bytes()
    return (data_dir / TERMS).read_text(encoding="utf-8").split("\n")


def measure_here(kind: str, data_dir: Path) -> dict[str, float]:
    """Builds `kind` in this process and measures it (see the module doc)."""
    build = _builder(kind)
    libc = ctypes.CDLL("libc.so.6")
    gc.collect()
    libc.malloc_trim(0)
    before = _rss()
    data = _read_input(kind, data_dir)
    start = time.perf_counter()
    structure = build(data)
    seconds = time.perf_counter() - start
    # Only the structure stays: the input and whatever building freed go back
    # to the system before the resident set is read.
    del data
    gc.collect()
    libc.malloc_trim(0)
    after = _rss()
    assert structure is not None
    return {"rss_bytes": after - before, "peak_bytes": _peak_rss() - before, "build_s": seconds}


def measure(kind: str, data_dir: Path) -> dict[str, float]:
    """Runs `measure_here` for `kind` in a fresh interpreter and returns its figures."""
    done = subprocess.run(
        [sys.executable, __file__, kind, str(data_dir)],
        check=True,
        capture_output=True,
        text=True,
    )
    return json.loads(done.stdout)


def snapshot_counts(snapshot: bytes) -> tuple[int, int]:
    """(nodes, payload entries) of a snapshot written by ``to_bytes``.

    Payload entries are the (video, count) pairs that all nodes hold, after
    propagation. One pass that skips over everything else.
    """
    width = _INTEGER_WIDTH

    def integer(at: int) -> tuple[int, int]:
        marker = snapshot[at]
        if marker <= 250:
            return marker, at + 1
        size = width[marker] - 1
        return int.from_bytes(snapshot[at + 1 : at + 1 + size], "little"), at + 1 + size

    nodes, at = integer(0)
    for _ in range(nodes):  # node_shifts
        at += width[snapshot[at]]
    labels, at = integer(at)
    for _ in range(labels):  # UTF-8 width from the lead byte
        lead = snapshot[at]
        at += 1 if lead < 0x80 else 2 if lead < 0xE0 else 3 if lead < 0xF0 else 4
    edges, at = integer(at)
    for _ in range(edges):
        at += width[snapshot[at]]
    payloads, at = integer(at)
    entries = 0
    for _ in range(payloads):
        present = snapshot[at]
        at += 1
        if present:
            at += width[snapshot[at]]  # total
            for _ in range(2):  # video_ids, then video_counts of the same length
                length, at = integer(at)
                for _ in range(length):
                    at += width[snapshot[at]]
            entries += length
    return nodes, entries


if __name__ == "__main__":
    print(json.dumps(measure_here(sys.argv[1], Path(sys.argv[2]))))
