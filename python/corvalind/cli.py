"""The ``corvalind`` command line: build snapshot files, query them, describe them.

    corvalind build RECORDS -o FILE [--top-n N] [--max-term-length N]
    corvalind query FILE TERM... [--max-dist K] [--limit N] [--videos] [--prefix-nodes] [--json]
    corvalind info FILE
    corvalind serve FILE [--host H] [--port P] [--workers N] [--titles TITLES]

Exit status 0 on success; 1 with a one-line message on standard error for
every failure of a command (a missing, unreadable, damaged or special file,
a bad records file, running out of memory); 2 for bad arguments; 130 when
interrupted. When the reader of standard output goes away (``| head -1``)
the command stops quietly with status 141, as a process that SIGPIPE ends.
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
from corvalind.flat_arrays import MAX_TERM_LENGTH, MAX_U32, FlatArrays
from corvalind.record_file import read_flat_arrays
from corvalind.snapshot_file import load, save, save_target
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


def _utf8_text(text: str) -> str:
    """An argument type for text that must be UTF-8: bytes of argv that are
    not UTF-8 arrive as lone surrogates."""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        raise argparse.ArgumentTypeError(f"{text!r} is not valid UTF-8") from None
    return text


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
    build.add_argument(
        "--max-term-length",
        type=_bounded(2**63 - 1),
        default=MAX_TERM_LENGTH,
        metavar="N",
        help=f"refuse a record whose term is longer than N characters (default: {MAX_TERM_LENGTH})",
    )

    query = commands.add_parser(
        "query",
        help="look terms up in a snapshot file",
        description="Print the stored terms within --max-dist edits of each TERM as TERM, match and "
        "distance (trie order), or with --videos the best videos as TERM, video id and score, "
        "tab-separated, one a line.",
    )
    query.add_argument("file", metavar="FILE", help="a snapshot file written by build or corvalind.save")
    query.add_argument("terms", metavar="TERM", nargs="+", type=_utf8_text, help="a term to look up")
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


def _read_records_file(path: str, max_term_length: int) -> tuple[FlatArrays, int]:
    """The flat arrays of a records file and its number of records, with a
    progress bar for large files.

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
            return read_flat_arrays(text, path, max_term_length=max_term_length)


def _build(args: argparse.Namespace) -> None:
    # Refused before the work of reading and building.
    if os.path.exists(save_target(args.output)) and os.path.samefile(args.records, args.output):
        raise ValueError(f"{args.output}: the output is the records file itself; refusing to overwrite it")
    arrays, records = _read_records_file(args.records, args.max_term_length)
    trie = PrefixSearch.from_internal_data_v2(*arrays.arguments(video_top_n=args.top_n))
    save(trie, args.output)
    terms = sum(payload is not None for payload in arrays.payloads)
    print(
        f"{args.output}: {records} records, {terms} terms, "
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


def _failure(error: Exception) -> str:
    """The one-line message of a failed command."""
    if isinstance(error, MemoryError):
        return "out of memory"
    if isinstance(error, OSError | ValueError):
        # OSError carries the file name; ValueError is a bad records file, a
        # damaged or special snapshot file or a refusal of the builder.
        return str(error)
    return f"{type(error).__name__}: {error}"


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line on ``argv`` (default: ``sys.argv[1:]``); returns the exit status."""
    parser = _parser()
    args = parser.parse_args(argv)
    if args.command == "query" and args.prefix_nodes is not None and not args.videos:
        parser.error("--prefix-nodes and --no-prefix-nodes need --videos")
    if args.command == "serve" and args.workers == 0:
        parser.error("--workers must be at least 1")
    if isinstance(sys.stdout, io.TextIOWrapper):
        sys.stdout.reconfigure(errors="surrogateescape")  # paths as given, bytes that are not UTF-8 kept
    try:
        _COMMANDS[args.command](args)
        sys.stdout.flush()
    except BrokenPipeError:
        # Nobody reads the rest; the interpreter's own flush at exit must not fail either.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 141
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except Exception as error:
        print(f"{PROG}: error: {' '.join(_failure(error).splitlines())}", file=sys.stderr)
        return 1
    return 0
