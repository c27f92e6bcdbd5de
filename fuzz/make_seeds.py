"""Writes the snapshot seeds of fuzz/corpus/fuzz_snapshot/.

Run with a CPython 3.13 that has the package installed:
    .venv/bin/python fuzz/make_seeds.py

Seeds are small valid snapshots (hand-made, and written by the module from
the producer's flat arrays) plus a few readable variants the writer never
produces. Each stays under the fuzzers' 4096-byte input cap.
"""

from __future__ import annotations

import csv
import pathlib
import uuid

from _corvalind import PrefixSearch
from corvalind import build_flat_arrays

ROOT = pathlib.Path(__file__).resolve().parent.parent
OUT = ROOT / "fuzz" / "corpus" / "fuzz_snapshot"
MAX_BYTES = 4096

# Root -> "a", payloads (3, [0], [3]) on both nodes, int id 500, mode Int32.
WORKED_EXAMPLE = bytes.fromhex("020001 020061 0101 02 010301000103 010301000103 00 01fbf401 01 020001")
# No nodes, no ids, mode Uuid.
EMPTY_TRIE = bytes(8)


def snapshot(records, video_top_n: int = 10) -> bytes:
    arrays = build_flat_arrays(records)
    return PrefixSearch.from_internal_data_v2(*arrays.arguments(video_top_n)).to_bytes()


def demo_records(titles: int) -> list[tuple[str, int, int]]:
    """Title words of the first demo catalogue entries, as (word, video, views)."""
    with open(ROOT / "demo" / "catalogue.tsv", newline="", encoding="utf-8") as f:
        rows = list(csv.DictReader(f, delimiter="\t"))[:titles]
    return [
        (word.lower(), int(row["video_id"]), int(row["views"]))
        for row in rows
        for word in row["title"].replace(":", " ").replace(".", " ").split()
    ]


def seeds() -> dict[str, bytes]:
    words = [("hello", 1001, 3), ("help", 1002, 1), ("world", 1001, 2), ("hell", 1003, 7)]
    # Counts and totals that need the 2- and 4-byte integer forms.
    large = [("ab", 7, 300), ("ac", 8, 70_000), ("abc", 7, 4_294_967_295), ("b", 9, 251)]
    # Labels of every UTF-8 width.
    wide = [("café", 1, 2), ("cafe", 2, 5), ("中文", 3, 1), ("中", 3, 4), ("😀x", 4, 9), ("x😀", 5, 1)]
    uuids = [("alpha", uuid.UUID(int=1), 4), ("alps", uuid.UUID(int=2**128 - 1), 2),
             ("beta", uuid.UUID("12345678-1234-5678-1234-567812345678"), 1)]
    return {
        "worked_example": WORKED_EXAMPLE,
        "empty_trie": EMPTY_TRIE,
        # Longer integer forms than needed (FB 02 00 for a count of 2, FC for a
        # total); the writer's output is the worked example again.
        "worked_example_long_forms": bytes.fromhex(
            "fb02000001 020061 0101 02 01fc03000000010001 03 010301000103 00 01fbf401 fb0100 020001"),
        "worked_example_trailing_bytes": WORKED_EXAMPLE + b"\xff\x00trailing",
        "words_int_ids": snapshot(words),
        "words_top_1": snapshot(words, video_top_n=1),
        "words_top_0": snapshot(words, video_top_n=0),
        "large_counts": snapshot(large),
        "wide_labels": snapshot(wide),
        "uuid_ids": snapshot(uuids),
        "demo_titles": snapshot(demo_records(6), video_top_n=3),
    }


def main() -> None:
    OUT.mkdir(parents=True, exist_ok=True)
    for name, data in seeds().items():
        if len(data) > MAX_BYTES:
            raise SystemExit(f"seed {name} is {len(data)} bytes, over the {MAX_BYTES}-byte cap")
        (OUT / name).write_bytes(data)


if __name__ == "__main__":
    main()
