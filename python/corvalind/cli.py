"""The ``corvalind`` command line: build snapshot files, query them, describe them.

    corvalind build RECORDS -o FILE [--top-n N]
    corvalind query FILE TERM... [--max-dist K] [--limit N] [--videos] [--prefix-nodes] [--json]
    corvalind info FILE
    corvalind serve FILE [--host H] [--port P] [--workers N] [--titles TITLES]

Exit status 0 on success, 1 with a one-line message on standard error when
a file is missing, unreadable or damaged, 2 for bad arguments.
"""

from __future__ import annotations

import argparse
import io
import json
import os
import sys
from collections.abc import Buffer, Callable, Sequence
from pathlib import Path
from typing import NoReturn

from tqdm import tqdm

from _corvalind import PrefixSearch
from corvalind._progress import progress_bar
from corvalind.flat_arrays import MAX_U32, Record, build_flat_arrays
from corvalind.record_file import read_records
from corvalind.snapshot_file import HEADER_SIZE, load, save
from corvalind.snapshot_info import snapshot_info

PROG = "corvalind"
DEFAULT_TOP_N = 10
LARGE_INPUT = 1 << 20  # records files from this size on get a progress bar


class _Parser(argparse.ArgumentParser):
    """Reports a bad argument in one line, not with the usage text."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see --help)\n")


def _bounded(maximum: int) -> Callable[[str], int]:
    """An argument type for whole numbers in 0..maximum."""

    def parse(text: str) -> int:
        if text.isascii() and text.isdigit() and int(text) <= maximum:
            return int(text)
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number in 0..{maximum}")

    return parse


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(prog=PROG, description="Build, query and describe corvalind snapshot files.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=_Parser)

    build = commands.add_parser(
        "build",
        help="build a trie from a records file and save it",
        description="Build a trie from RECORDS and save it to FILE. RECORDS holds one record a line, "
        "term, video id and count, as TSV (when the first line holds a tab) or CSV; ids are decimal "
        "numbers or UUIDs, all of one kind; a first line of column names is skipped.",
    )
    build.add_argument("records", metavar="RECORDS", help="the records file")
    build.add_argument("-o", "--output", metavar="FILE", required=True, help="the snapshot file to write")
    build.add_argument(
        "--top-n",
        type=_bounded(2**64 - 1),
        default=DEFAULT_TOP_N,
        metavar="N",
        help=f"videos kept per node (default: {DEFAULT_TOP_N})",
    )

    query = commands.add_parser(
        "query",
        help="look terms up in a snapshot file",
        description="Print the stored terms within --max-dist edits of each TERM as TERM, match and "
        "distance (trie order), or with --videos the best videos as TERM, video id and score, "
        "tab-separated, one a line.",
    )
    query.add_argument("file", metavar="FILE", help="a snapshot file written by build or corvalind.save")
    query.add_argument("terms", metavar="TERM", nargs="+", help="a term to look up")
    query.add_argument(
        "--max-dist", type=_bounded(MAX_U32), default=1, metavar="K", help="edits allowed (default: 1)"
    )
    query.add_argument(
        "--limit",
        type=_bounded(2**64 - 1),
        metavar="N",
        help="at most N results per term (terms: the first N found, 0 acts as 1; videos: the N best)",
    )
    query.add_argument("--videos", action="store_true", help="score videos instead of listing terms")
    query.add_argument(
        "--prefix-nodes",
        action=argparse.BooleanOptionalAction,
        help="with --videos: also use nodes where no term ends (--no-prefix-nodes: never; "
        "default: only when no term is within reach)",
    )
    query.add_argument("--json", action="store_true", help="print one JSON object instead of lines")

    info = commands.add_parser("info", help="describe a snapshot file", description="Describe a snapshot file.")
    info.add_argument("file", metavar="FILE", help="a snapshot file written by build or corvalind.save")

    serve = commands.add_parser(
        "serve",
        help="answer searches over HTTP, with a preview page",
        description="Serve /search, /suggest, /health and a preview page at / for FILE, reloading FILE "
        "when it is replaced. Needs the serve extra: pip install 'corvalind[serve]'.",
    )
    serve.add_argument("file", metavar="FILE", help="a snapshot file written by build or corvalind.save")
    serve.add_argument("--host", default="127.0.0.1", help="address to listen on (default: 127.0.0.1)")
    serve.add_argument("--port", type=_bounded(65535), default=8080, help="port to listen on (default: 8080)")
    serve.add_argument("--workers", type=_bounded(256), default=1, metavar="N", help="processes (default: 1)")
    serve.add_argument("--titles", metavar="TITLES", help="a TSV file of video id and title, one a line")
    return parser


class _CountedReader(io.RawIOBase):
    """A binary file that counts the bytes read from it on a progress bar."""

    def __init__(self, file: io.FileIO, bar: tqdm[NoReturn]) -> None:
        self.file = file
        self.bar = bar

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Buffer) -> int:
        size = self.file.readinto(buffer)
        self.bar.update(size)
        return size


def _read_records_file(path: str) -> list[Record]:
    """The records of a records file, with a progress bar for large files.

    A byte order mark at the start (as spreadsheets write) is dropped; bytes
    that are not UTF-8 reach the record checks as lone surrogates, so they
    are reported with their line."""
    with open(path, "rb", buffering=0) as file:
        size = os.fstat(file.fileno()).st_size
        with progress_bar(size, "reading records", unit="B", show=None if size >= LARGE_INPUT else False) as bar:
            bar.unit_scale = True
            bar.refresh()
            text = io.TextIOWrapper(
                io.BufferedReader(_CountedReader(file, bar), 1 << 20),
                encoding="utf-8-sig",
                errors="surrogateescape",
                newline="",
            )
            return list(read_records(text, path))


def _build(args: argparse.Namespace) -> None:
    records = _read_records_file(args.records)
    arrays = build_flat_arrays(records)
    trie = PrefixSearch.from_internal_data_v2(*arrays.arguments(video_top_n=args.top_n))
    save(trie, args.output)
    terms = sum(payload is not None for payload in arrays.payloads)
    print(
        f"{args.output}: {len(records)} records, {terms} terms, "
        f"{len(arrays.child_labels)} nodes, {len(arrays.video_index)} videos"
    )


def _query(args: argparse.Namespace) -> None:
    trie = load(args.file)
    results: dict[str, list[dict[str, object]]] = {}
    for term in args.terms:
        if args.videos:
            videos = trie.fuzzy_match_video(term, args.max_dist, args.limit, args.prefix_nodes)
            results[term] = [{"video_id": video, "score": score} for video, score in videos]
        else:
            matches = trie.fuzzy_match(term, args.max_dist, args.limit)
            results[term] = [{"term": match, "distance": distance} for match, _, distance in matches]
    if args.json:
        print(json.dumps(results, ensure_ascii=False, indent=2))
        return
    for term, found in results.items():
        for result in found:
            print("\t".join([term, *map(str, result.values())]))


def _info(args: argparse.Namespace) -> None:
    info = snapshot_info(load(args.file).to_bytes())
    print(f"nodes: {info.nodes}")
    print(f"terms: {info.terms}")
    print(f"videos: {info.videos}")
    print(f"id mode: {info.id_mode}")
    print(f"payload entries: {info.payload_entries}")
    print(f"depth: {info.depth}")
    print(f"snapshot bytes: {info.snapshot_bytes}")
    print(f"file bytes: {os.path.getsize(args.file)}")


def _serve(args: argparse.Namespace) -> None:
    try:
        from corvalind.serve import Settings, run
    except ModuleNotFoundError as missing:
        raise OSError(f"serve needs the serve extra ({missing}): pip install 'corvalind[serve]'") from None
    titles = None if args.titles is None else Path(args.titles)
    run(Settings(Path(args.file), titles, args.host, args.port, args.workers))


_COMMANDS = {"build": _build, "query": _query, "info": _info, "serve": _serve}


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line on ``argv`` (default: ``sys.argv[1:]``); returns the exit status."""
    parser = _parser()
    args = parser.parse_args(argv)
    if args.command == "query" and args.prefix_nodes is not None and not args.videos:
        parser.error("--prefix-nodes and --no-prefix-nodes need --videos")
    if args.command == "serve" and args.workers == 0:
        parser.error("--workers must be at least 1")
    try:
        _COMMANDS[args.command](args)
    except (OSError, ValueError) as error:
        # OSError carries the file name; ValueError is a bad records file, a
        # damaged snapshot file or a refusal of the builder.
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    return 0
