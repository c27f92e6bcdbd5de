"""The corvalind command line, run as a subprocess the way users run it."""

from __future__ import annotations

import fcntl
import json
import os
import pty
import struct
import subprocess
import termios
import sys
from pathlib import Path

import pytest

import corvalind
from corvalind import cli

SCRIPT = Path(sys.executable).with_name("corvalind")
RECORDS = "term\tvideo_id\tcount\nhello\t1001\t3\nhelp\t1002\t1\nworld\t1001\t2\n"


def run(*args, launcher=(sys.executable, "-m", "corvalind"), cwd=None) -> subprocess.CompletedProcess[str]:
    return subprocess.run([*launcher, *map(str, args)], capture_output=True, text=True, cwd=cwd, timeout=300)


def fails(result, status: int = 1) -> str:
    """The one-line message of a failed run."""
    assert result.returncode == status, result.stderr
    assert result.stdout == ""
    lines = result.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("corvalind"), result.stderr
    return lines[0]


@pytest.fixture
def trie_file(tmp_path) -> Path:
    records = tmp_path / "records.tsv"
    records.write_text(RECORDS)
    path = tmp_path / "trie.cvd"
    result = run("build", records, "-o", path)
    assert result.returncode == 0, result.stderr
    assert result.stdout == f"{path}: 3 records, 3 terms, 12 nodes, 2 videos\n"
    return path


@pytest.mark.parametrize(
    "launcher", [(sys.executable, "-m", "corvalind"), (str(SCRIPT),)], ids=["python-m", "console-script"]
)
def test_help_for_every_command(launcher):
    for command in ([], ["build"], ["query"], ["info"]):
        result = run(*command, "--help", launcher=launcher)
        assert result.returncode == 0 and result.stderr == ""
        assert result.stdout.startswith(f"usage: corvalind {' '.join(command)}".rstrip())


def test_built_file_is_a_snapshot_file(trie_file):
    trie = corvalind.load(trie_file)
    assert trie.fuzzy_match("helo") == [("hello", 1, 1), ("help", 1, 1)]


def test_csv_with_uuids_and_top_n(tmp_path):
    records = tmp_path / "records.csv"
    ids = ["00010203-0405-0607-0809-0a0b0c0d0e0f", "ffffffff-0000-0000-0000-000000000001"]
    # As a spreadsheet saves it: a byte order mark first, CRLF line ends.
    records.write_bytes(f'\ufeff"cat, big",{ids[0]},5\r\ncat,{ids[1]},1\r\ncat,{ids[0]},1\r\n'.encode())
    path = tmp_path / "trie.cvd"
    assert run("build", records, "-o", path, "--top-n", 1).returncode == 0
    result = run("query", path, "cat", "--max-dist", 0, "--videos", "--prefix-nodes")
    # Node "cat" holds video 0 six times below it and video 1 once, of a
    # total of 7, and keeps only video 0 after the cut to one.
    assert result.stdout == f"cat\t{ids[0]}\t{6 / 7}\n"
    assert corvalind.load(path).fuzzy_match("cat, big", 0) == [("cat, big", 1, 0)]


@pytest.mark.parametrize(
    ("args", "output"),
    [
        (["helo", "wrld"], "helo\thello\t1\nhelo\thelp\t1\nwrld\tworld\t1\n"),
        (["helo", "--limit", "0"], "helo\thello\t1\n"),
        (["helo", "--max-dist", "0"], ""),
        (["helo", "--videos"], "helo\t1001\t0.75\nhelo\t1002\t0.25\n"),
        (["helo", "--videos", "--limit", "0"], ""),
        (["hel", "--max-dist", "0", "--videos", "--no-prefix-nodes"], ""),
        (["hel", "--max-dist", "0", "--videos"], "hel\t1001\t0.75\nhel\t1002\t0.25\n"),
    ],
    ids=["terms", "limit-0", "no-match", "videos", "videos-limit-0", "no-prefix-nodes", "prefix-fallback"],
)
def test_query_lines(trie_file, args, output):
    result = run("query", trie_file, *args)
    assert result.returncode == 0, result.stderr
    assert result.stdout == output


def test_query_json(trie_file):
    result = run("query", trie_file, "helo", "zzzzzz", "--json")
    assert json.loads(result.stdout) == {
        "helo": [{"term": "hello", "distance": 1}, {"term": "help", "distance": 1}],
        "zzzzzz": [],
    }
    result = run("query", trie_file, "world", "--videos", "--json")
    assert json.loads(result.stdout) == {"world": [{"video_id": "1001", "score": 1.0}]}


def test_info(trie_file):
    result = run("info", trie_file, launcher=(str(SCRIPT),))
    assert result.returncode == 0, result.stderr
    snapshot_bytes = len(corvalind.load(trie_file).to_bytes())
    assert result.stdout.splitlines() == [
        "nodes: 12",
        "terms: 3",
        "videos: 2",
        "id mode: int32",
        "payload entries: 16",
        "depth: 5",
        f"snapshot bytes: {snapshot_bytes}",
        f"file bytes: {snapshot_bytes + 24}",
    ]


def stderr_on_terminal(*args) -> str:
    """What a run writes to standard error when that is a terminal."""
    terminal, child_side = pty.openpty()
    fcntl.ioctl(child_side, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
    process = subprocess.Popen(
        [sys.executable, "-m", "corvalind", *map(str, args)], stdout=subprocess.DEVNULL, stderr=child_side
    )
    os.close(child_side)
    output = b""
    while True:
        try:
            chunk = os.read(terminal, 65536)
        except OSError:  # the child closed its side
            break
        if not chunk:
            break
        output += chunk
    os.close(terminal)
    assert process.wait(timeout=300) == 0
    return output.decode()


def test_progress_bar_for_large_inputs_on_a_terminal(tmp_path):
    small = tmp_path / "small.tsv"
    small.write_text(RECORDS)
    large = tmp_path / "large.tsv"
    # Over 1 MiB, yet cheap to build: the spaces around a count are ignored.
    large.write_text("".join(f"term{k % 50}\t{k}\t{' ' * 1000}1\n" for k in range(1100)))
    assert large.stat().st_size > 1 << 20
    assert "reading records" in stderr_on_terminal("build", large, "-o", tmp_path / "large.cvd")
    assert stderr_on_terminal("build", small, "-o", tmp_path / "small.cvd") == ""
    # Not on a terminal: no bar.
    assert run("build", large, "-o", tmp_path / "large.cvd").stderr == ""


def test_failures_exit_with_one_line(trie_file, tmp_path):
    damaged = tmp_path / "damaged.cvd"
    data = bytearray(trie_file.read_bytes())
    data[-1] ^= 1
    damaged.write_bytes(data)
    bad_rows = tmp_path / "bad.tsv"
    bad_rows.write_text("a\t1\t1\nb\t1\tlots\n")
    latin1 = tmp_path / "latin1.tsv"
    latin1.write_bytes(b"ok\t1\t1\ncaf\xe9\t1\t1\n")
    huge_number = tmp_path / "huge.tsv"
    huge_number.write_text(f"a\t1\t1\n\nb\t1\t{'9' * 5000}\n")
    long_term = tmp_path / "long.csv"
    long_term.write_text(f"a,1,1\n{'x' * 100_000},1,1\n")
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    missing = tmp_path / "missing"
    cases = [
        (["build", huge_number, "-o", tmp_path / "out"], 1,
         f"{huge_number}:3: count '99999999999999999999'... of 5000 characters is not a whole number"),
        (["build", long_term, "-o", tmp_path / "out"], 1,
         f"{long_term}:2: term 'xxxxxxxxxxxxxxxxxxxx'... of 100000 characters is longer than the limit of 1000"),
        (["build", long_term, "-o", tmp_path / "out", "--max-term-length", "99999"], 1, "the limit of 99999"),
        (["build", bad_rows, "-o", fifo], 1, f"{fifo}: not a regular file (a FIFO or pipe)"),
        (["build", bad_rows, "-o", bad_rows], 1, f"{bad_rows}: the output is the records file itself"),
        (["info", fifo], 1, f"{fifo}: not a regular file (a FIFO or pipe)"),
        (["query", fifo, "a"], 1, f"{fifo}: not a regular file (a FIFO or pipe)"),
        (["build", latin1, "-o", tmp_path / "out"], 1, f"{latin1}:2: term 'caf\\udce9' is not valid UTF-8"),
        (["info", damaged], 1, f"{damaged}: checksum mismatch"),
        (["query", damaged, "a"], 1, f"{damaged}: checksum mismatch"),
        (["info", missing], 1, "No such file or directory"),
        (["query", bad_rows, "a"], 1, "not a corvalind snapshot file"),
        (["build", missing, "-o", tmp_path / "out"], 1, "No such file or directory"),
        (["build", bad_rows, "-o", tmp_path / "out"], 1, f"{bad_rows}:2: count 'lots' is not a whole number"),
        (["build", trie_file, "-o", missing / "out"], 1, ""),
        (["build", bad_rows], 2, "the following arguments are required: -o/--output"),
        (["query", trie_file, "a", "--max-dist", "-1"], 2, "'-1' is not a whole number in 0..4294967295"),
        (["query", trie_file, "a", "--limit", "x"], 2, "'x' is not a whole number"),
        (["query", trie_file, "a", "--prefix-nodes"], 2, "--prefix-nodes and --no-prefix-nodes need --videos"),
        (["query", trie_file], 2, "the following arguments are required: TERM"),
        (["frobnicate"], 2, "invalid choice: 'frobnicate'"),
        ([], 2, "the following arguments are required: COMMAND"),
    ]
    for args, status, part in cases:
        assert part in fails(run(*args), status), args
    assert not (tmp_path / "out").exists()
    assert bad_rows.read_text() == "a\t1\t1\nb\t1\tlots\n"


def test_output_through_a_link_to_the_records_file_is_refused(tmp_path):
    records = tmp_path / "records.tsv"
    records.write_text(RECORDS)
    link = tmp_path / "link.cvd"
    link.symlink_to(records)
    assert "the output is the records file itself" in fails(run("build", records, "-o", link))
    assert records.read_text() == RECORDS and link.is_symlink()


def test_pipes_are_refused_without_waiting(trie_file):
    for command in (["info", "/dev/stdin"], ["query", "/dev/stdin", "a"]):
        result = subprocess.run(
            [sys.executable, "-m", "corvalind", *command],
            input=trie_file.read_bytes(),
            capture_output=True,
            timeout=60,
        )
        assert result.returncode == 1
        assert result.stderr == b"corvalind: error: /dev/stdin: not a regular file (a FIFO or pipe); " \
            b"snapshot files are regular files\n"


def test_query_that_is_not_utf8_is_a_bad_argument(trie_file):
    result = subprocess.run(
        [sys.executable, "-m", "corvalind", "query", os.fsencode(trie_file), b"caf\xe9"],
        capture_output=True, text=True, timeout=60,
    )
    assert fails(result, 2) == (
        "corvalind query: error: argument TERM: 'caf\\udce9' is not valid UTF-8 (see --help)"
    )


def test_a_reader_that_goes_away_ends_the_command_quietly(trie_file):
    read_end, write_end = os.pipe()
    os.close(read_end)  # as head does after its first line
    process = subprocess.run(
        [sys.executable, "-m", "corvalind", "query", trie_file, "helo", "wrld"],
        stdout=write_end, stderr=subprocess.PIPE, text=True, timeout=60,
    )
    os.close(write_end)
    assert (process.returncode, process.stderr) == (141, "")


def test_running_out_of_memory_is_one_line(trie_file, monkeypatch, capsys):
    def exhausted(*args):
        raise MemoryError

    monkeypatch.setattr(cli, "load", exhausted)
    assert cli.main(["query", str(trie_file), "a"]) == 1
    assert capsys.readouterr() == ("", "corvalind: error: out of memory\n")


def test_long_term_within_a_raised_limit(tmp_path):
    records = tmp_path / "long.tsv"
    records.write_text(f"{'x' * 5000}\t1\t1\n")
    path = tmp_path / "long.cvd"
    result = run("build", records, "-o", path, "--max-term-length", "5000")
    assert result.returncode == 0, result.stderr
    assert corvalind.load(path).fuzzy_match("x" * 4999, 1) == [("x" * 5000, 1, 1)]
