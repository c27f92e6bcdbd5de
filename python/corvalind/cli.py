"""The ``corvalind`` command line: build snapshot files, query them, describe them.

    corvalind build RECORDS -o FILE [--top-n N] [--max-term-length N]
    corvalind build --titles TITLES -o FILE [--top-n N]
    corvalind query FILE TERM... [--max-dist K] [--limit N] [--videos] [--prefix-nodes] [--json]
    corvalind search FILE [QUERY] [--limit N] [--typos auto|K] [--json]
    corvalind suggest FILE [TERM] [--limit N] [--typos auto|K] [--json]
    corvalind info FILE
    corvalind serve FILE [--host H] [--port P] [--workers N] [--titles TITLES]

search and suggest read one query a line from standard input when none is given.

Exit status 0 on success; 1 with a one-line message on standard error for
every failure of a command (a missing, unreadable, damaged or special file,
a bad records or titles file, running out of memory); 2 for bad arguments; 130 when
interrupted. When the reader of standard output goes away (``| head -1``)
the command stops quietly with status 141, as a process that SIGPIPE ends.
"""

from __future__ import annotations

import argparse
import io
import json
import os
import sys
from collections.abc import Buffer, Callable, Iterable, Sequence
from pathlib import Path
from typing import NoReturn

from tqdm import tqdm

from _corvalind import PrefixSearch
from corvalind._progress import progress_bar
from corvalind.flat_arrays import MAX_TERM_LENGTH, MAX_U32
from corvalind.record_file import read_flat_arrays
from corvalind.search import Typos, search, suggest
from corvalind.snapshot_file import load, save, save_target
from corvalind.trie_stats import stats
from corvalind.titles import DEFAULT_VIDEO_TOP_N, title_rows, word_arrays, word_videos

PROG = "corvalind"
DEFAULT_TOP_N = 10
LARGE_INPUT = 1 << 20  # input files from this size on get a progress bar
# Shares of a build's progress bar: reading (with producing the flat arrays
# as the records come, or counting the words of the titles), producing the
# arrays of the titles' words, constructing the trie, saving it.
READ_SHARE, PRODUCE_SHARE, CONSTRUCT_SHARE = 0.4, 0.3, 0.25
BAR_STEPS = 1000


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


def _typos(text: str) -> Typos:
    if text == "auto":
        return "auto"
    if text.isascii() and text.isdigit() and int(text) <= MAX_U32:
        return int(text)
    raise argparse.ArgumentTypeError(f"{text!r} is neither auto nor a whole number in 0..{MAX_U32}")


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(prog=PROG, description="Build, query and describe corvalind snapshot files.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=_Parser)

    build = commands.add_parser(
        "build",
        help="build a trie from a records file or a titles file and save it",
        description="Build a trie from RECORDS and save it to FILE. RECORDS holds one record a line, "
        "term, video id and count, as TSV (when the first line holds a tab) or CSV; ids are decimal "
        "numbers or UUIDs, all of one kind; a first line of column names is skipped. With --titles, "
        "build the word trie that search and suggest query from a titles file instead: one video a "
        "line, video id, a tab, the title.",
    )
    build.add_argument("records", metavar="RECORDS", nargs="?", help="the records file")
    build.add_argument("--titles", metavar="TITLES", help="a titles file (video id<TAB>title), instead of RECORDS")
    build.add_argument("-o", "--output", metavar="FILE", required=True, help="the snapshot file to write")
    build.add_argument(
        "--top-n",
        type=_bounded(2**64 - 1),
        metavar="N",
        help=f"videos kept per node (default: {DEFAULT_TOP_N}, with --titles {DEFAULT_VIDEO_TOP_N})",
    )
    build.add_argument(
        "--max-term-length",
        type=_bounded(2**63 - 1),
        default=MAX_TERM_LENGTH,
        metavar="N",
        help=f"refuse a record whose term is longer than N characters (default: {MAX_TERM_LENGTH}; "
        "words of titles are cut to 64)",
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
        help="at most N results per term (terms: the first N found in trie order, not the nearest, "
        "0 acts as 1; videos: the N best); for the nearest words use suggest",
    )
    query.add_argument("--videos", action="store_true", help="score videos instead of listing terms")
    query.add_argument(
        "--prefix-nodes",
        action=argparse.BooleanOptionalAction,
        help="with --videos: also use nodes where no term ends (--no-prefix-nodes: never; "
        "default: only when no term is within reach)",
    )
    query.add_argument("--json", action="store_true", help="print one JSON object instead of lines")

    typos_help = "typos per word: auto (0 for 1-3 characters, 1 for 4-7, 2 for 8 or more) or a number for every word"
    for name, metavar, summary, description in (
        (
            "search",
            "QUERY",
            "find videos for a search-box query in a trie built with --titles",
            "Print the best videos for QUERY (its words, typo-tolerant, the last word also as a prefix) as "
            "QUERY, video id and score, tab-separated, one a line, best first.",
        ),
        (
            "suggest",
            "TERM",
            "list the stored words nearest to a word in a trie built with --titles",
            "Print the stored words nearest to TERM (its last word after normalising) as TERM, word and "
            "distance, tab-separated, one a line, nearest first, the exact word first.",
        ),
    ):
        command = commands.add_parser(
            name, help=summary, description=f"{description} Without {metavar}, read one a line from standard input."
        )
        command.add_argument("file", metavar="FILE", help="a snapshot file written by build --titles")
        command.add_argument(
            "query", metavar=metavar, nargs="?", type=_utf8_text, help="default: one a line from standard input"
        )
        command.add_argument(
            "--limit", type=_bounded(2**64 - 1), default=10, metavar="N", help="at most N results (default: 10)"
        )
        command.add_argument("--typos", type=_typos, default="auto", metavar="auto|K", help=typos_help)
        command.add_argument(
            "--json", action="store_true", help="print one JSON object keyed by query instead of lines"
        )

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
    """A binary file that counts the bytes read from it on a progress bar,
    ``scale`` steps a byte."""

    def __init__(self, file: io.FileIO, bar: tqdm[NoReturn], scale: float) -> None:
        self.file = file
        self.bar = bar
        self.scale = scale
        self.read_bytes = 0

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Buffer) -> int:
        size = self.file.readinto(buffer)
        self.read_bytes += size
        self.bar.update(int(self.read_bytes * self.scale) - self.bar.n)
        return size


def _build_bar(size: int, description: str) -> tqdm[NoReturn]:
    """The progress bar of a whole build from an input file of ``size`` bytes."""
    bar = progress_bar(BAR_STEPS, description, unit="step", show=None if size >= LARGE_INPUT else False)
    bar.bar_format = "{desc}: {percentage:3.0f}%|{bar}| [{elapsed}<{remaining}]"
    return bar


def _stage(bar: tqdm[NoReturn], description: str, done: float) -> None:
    """Moves the bar to the share ``done`` of the build and names the next stage."""
    bar.update(int(done * BAR_STEPS) - bar.n)
    bar.set_description_str(description)


def _read_text(file: io.FileIO, bar: tqdm[NoReturn]) -> io.TextIOWrapper:
    """``file`` as text, counted on ``bar`` up to its reading share. A byte
    order mark at the start (as spreadsheets write) is dropped; bytes that
    are not UTF-8 reach the row checks as lone surrogates, so they are
    reported with their line."""
    size = max(os.fstat(file.fileno()).st_size, 1)
    return io.TextIOWrapper(
        io.BufferedReader(_CountedReader(file, bar, READ_SHARE * BAR_STEPS / size), 1 << 20),
        encoding="utf-8-sig",
        errors="surrogateescape",
        newline="",
    )


def _build(args: argparse.Namespace) -> None:
    source = args.titles or args.records
    # Refused before the work of reading and building.
    if os.path.exists(save_target(args.output)) and os.path.samefile(source, args.output):
        kind = "titles" if args.titles else "records"
        raise ValueError(f"{args.output}: the output is the {kind} file itself; refusing to overwrite it")
    with open(source, "rb", buffering=0) as file:
        size = os.fstat(file.fileno()).st_size
        with _build_bar(size, "reading titles" if args.titles else "reading records") as bar:
            text = _read_text(file, bar)
            if args.titles:
                top_n = DEFAULT_VIDEO_TOP_N if args.top_n is None else args.top_n
                rows = list(title_rows(text, source))
                videos_of = word_videos(rows)
                _stage(bar, "producing arrays", READ_SHARE)
                arrays = word_arrays(videos_of, top_n)
                read = f"{len(rows)} titles, {len(videos_of)} words"
            else:
                top_n = DEFAULT_TOP_N if args.top_n is None else args.top_n
                arrays, records = read_flat_arrays(text, source, max_term_length=args.max_term_length)
                read = f"{records} records"
            _stage(bar, "constructing the trie", READ_SHARE + PRODUCE_SHARE)
            trie = PrefixSearch.from_internal_data_v2(*arrays.arguments(video_top_n=top_n))
            _stage(bar, "saving", READ_SHARE + PRODUCE_SHARE + CONSTRUCT_SHARE)
            save(trie, args.output)
            _stage(bar, "done", 1.0)
    if args.titles:
        print(f"{args.output}: {read}, {len(arrays.child_labels)} nodes, {len(arrays.video_index)} videos")
    else:
        terms = sum(payload is not None for payload in arrays.payloads)
        nodes, videos = len(arrays.child_labels), len(arrays.video_index)
        print(f"{args.output}: {read}, {terms} terms, {nodes} nodes, {videos} videos")


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


def _queries(args: argparse.Namespace) -> Iterable[str]:
    """The command's query, or one a line from standard input (line ends dropped)."""
    if args.query is not None:
        return [args.query]
    return (line.rstrip("\r\n") for line in sys.stdin)


def _search_or_suggest(args: argparse.Namespace) -> None:
    """One query's results; queries from standard input are answered and
    written one at a time (with --json one JSON object a line), so a batch
    of any length runs in constant memory."""
    trie = load(args.file)
    for query in _queries(args):
        if args.command == "search":
            found = search(trie, query, limit=args.limit, typos=args.typos)
            rows: list[dict[str, object]] = [{"video_id": video, "score": score} for video, score in found]
        else:
            words = suggest(trie, query, limit=args.limit, typos=args.typos)
            rows = [{"word": word, "distance": distance} for word, distance in words]
        if args.json:
            print(json.dumps({query: rows}, ensure_ascii=False, indent=2 if args.query is not None else None))
        else:
            for row in rows:
                print("\t".join([query, *map(str, row.values())]))


def _info(args: argparse.Namespace) -> None:
    info = stats(load(args.file))
    print(f"nodes: {info['nodes']}")
    print(f"terms: {info['terms']}")
    print(f"videos: {info['videos']}")
    print(f"id mode: {info['id_mode']}")
    print(f"payload entries: {info['payload_entries']}")
    print(f"depth: {info['depth']}")
    print(f"snapshot bytes: {info['snapshot_bytes']}")
    print(f"file bytes: {os.path.getsize(args.file)}")


def _serve(args: argparse.Namespace) -> None:
    try:
        from corvalind.serve import Settings, run
    except ModuleNotFoundError as missing:
        raise OSError(f"serve needs the serve extra ({missing}): pip install 'corvalind[serve]'") from None
    titles = None if args.titles is None else Path(args.titles)
    run(Settings(Path(args.file), titles, args.host, args.port, args.workers))


_COMMANDS = {
    "build": _build,
    "query": _query,
    "search": _search_or_suggest,
    "suggest": _search_or_suggest,
    "info": _info,
    "serve": _serve,
}


def _failure(error: Exception) -> str:
    """The one-line message of a failed command."""
    if isinstance(error, MemoryError):
        return "out of memory"
    if isinstance(error, OSError | ValueError):
        # OSError carries the file name; ValueError is a bad records or titles file, a
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
    if args.command == "build" and (args.records is None) == (args.titles is None):
        parser.error("give either RECORDS or --titles TITLES")
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
