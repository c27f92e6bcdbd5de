"""The command line's search layer: build --titles, search and suggest."""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

import pytest

from test_cli import fails, run, stderr_on_terminal

TITLES = (
    "1\tFunny cat compilation\n2\tSam and the sample\n3\tSame old cat\n4\tSamples of funny dogs\n7\tReceive a parcel\n"
)


def run_with_input(text: str, *args) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "corvalind", *map(str, args)], input=text, capture_output=True, text=True, timeout=300
    )


@pytest.fixture
def titles_file(tmp_path) -> Path:
    titles = tmp_path / "titles.tsv"
    titles.write_text(TITLES)
    path = tmp_path / "titles.cvd"
    result = run("build", "--titles", titles, "-o", path)
    assert result.returncode == 0, result.stderr
    assert result.stdout == f"{path}: 5 titles, 15 words, 69 nodes, 5 videos\n"
    return path


def test_search_and_suggest_print_ranked_lines(titles_file):
    assert (
        run("search", titles_file, "funy cta", "--limit", "2").stdout
        == "funy cta\t1\t2.3333333333333335\nfuny cta\t3\t1.1666666666666667\n"
    )
    assert run("suggest", titles_file, "recieve").stdout == "recieve\treceive\t2\n"
    assert run("suggest", titles_file, "same", "--typos", "1").stdout == "same\tsame\t0\nsame\tsam\t1\n"


def test_json(titles_file):
    assert json.loads(run("search", titles_file, "sam", "--json", "--limit", "1").stdout) == {
        "sam": [{"video_id": "2", "score": 1.5}]
    }
    assert json.loads(run("suggest", titles_file, "zzz", "--json").stdout) == {"zzz": []}


def test_queries_from_standard_input(titles_file):
    batch = run_with_input("sam\n\nreceive parcel\r\n", "search", titles_file, "--limit", "1")
    assert batch.returncode == 0 and batch.stderr == ""
    assert batch.stdout == "sam\t2\t1.5\nreceive parcel\t7\t2.6666666666666665\n"
    batch = run_with_input("recieve\nsam\n", "suggest", titles_file, "--json", "--limit", "1")
    # One JSON object a line, written as each query is answered.
    assert [json.loads(line) for line in batch.stdout.splitlines()] == [
        {"recieve": [{"word": "receive", "distance": 2}]},
        {"sam": [{"word": "sam", "distance": 0}]},
    ]


def test_failures(titles_file, tmp_path):
    bad = tmp_path / "bad.tsv"
    bad.write_text("1\tok\nno tab\n")
    records = tmp_path / "records.tsv"
    records.write_text("a\t1\t1\n")
    cases = [
        (["build", "--titles", bad, "-o", tmp_path / "out"], 1, f"{bad}:2: expected video id<TAB>title, found no tab"),
        (["build", "--titles", tmp_path / "missing", "-o", tmp_path / "out"], 1, "No such file or directory"),
        (["search", tmp_path / "missing", "x"], 1, "No such file or directory"),
        (["suggest", bad, "x"], 1, "not a corvalind snapshot file"),
        (["build", records, "--titles", bad, "-o", tmp_path / "out"], 2, "give either RECORDS or --titles TITLES"),
        (["build", "-o", tmp_path / "out"], 2, "give either RECORDS or --titles TITLES"),
        (["search", titles_file, "x", "--typos", "many"], 2, "'many' is neither auto nor a whole number"),
        (["suggest", titles_file, "x", "--limit", "-1"], 2, "'-1' is not a whole number"),
        (["search"], 2, "the following arguments are required: FILE"),
    ]
    for args, status, part in cases:
        assert part in fails(run(*args), status), args
    assert not (tmp_path / "out").exists()


def test_progress_bar_covers_the_whole_build(tmp_path):
    large = tmp_path / "large.tsv"
    large.write_text("".join(f"{k}\tword{k % 50} {'x' * 1000}\n" for k in range(1100)))
    assert large.stat().st_size > 1 << 20
    shown = stderr_on_terminal("build", "--titles", large, "-o", tmp_path / "large.cvd")
    for stage in ("reading titles", "producing arrays", "constructing the trie", "saving", "100%"):
        assert stage in shown


def test_help():
    for command in ("search", "suggest"):
        result = run(command, "--help")
        assert result.returncode == 0 and result.stderr == ""
        assert result.stdout.startswith(f"usage: corvalind {command}")
    assert "first N found in trie order, not the nearest" in " ".join(run("query", "--help").stdout.split())
