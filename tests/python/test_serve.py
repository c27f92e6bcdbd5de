"""The search service's HTTP API, through starlette's test client: answers,
bounds, failing queries, and reloading a replaced catalogue."""

from __future__ import annotations

import logging
import os
import time
from pathlib import Path

import pytest

pytest.importorskip("starlette", reason="the serve extra is not installed")
pytest.importorskip("httpx2", reason="starlette's test client needs httpx2")

import corvalind
from corvalind.serve import Bounds, Catalogue, create_app
from starlette.testclient import TestClient

TITLES = {
    "101": "Socket programming in Python",
    "102": "Receiving files over a socket",
    "103": "Cooking pasta at home",
    "104": "Programming a <b>robot</b> arm",
}


def write_catalogue(directory: Path, titles: dict[str, str]) -> tuple[Path, Path]:
    """Saves the trie of `titles` and the titles file, each replaced
    atomically as `corvalind build` and `save` do."""
    path, titles_path = directory / "catalogue.cvd", directory / "titles.tsv"
    corvalind.save(corvalind.build_from_titles(titles.items()), path)
    staged = titles_path.with_suffix(".tmp")
    staged.write_text("".join(f"{video}\t{title}\n" for video, title in titles.items()), encoding="utf-8")
    os.replace(staged, titles_path)
    return path, titles_path


@pytest.fixture
def files(tmp_path):
    return write_catalogue(tmp_path, TITLES)


@pytest.fixture
def client(files):
    app = create_app(Catalogue.open(*files), reload_interval=None)
    with TestClient(app) as client:
        yield client


def test_search_ranks_videos_with_titles_and_matched_terms(client):
    answer = client.get("/search", params={"q": "sockt progamming", "explain": "1"})
    assert answer.status_code == 200
    body = answer.json()
    assert body["query"] == "sockt progamming"
    assert (body["results"][0]["video_id"], body["results"][0]["title"]) == ("101", TITLES["101"])
    assert {result["video_id"] for result in body["results"]} >= {"101", "102", "104"}
    scores = [result["score"] for result in body["results"]]
    assert scores == sorted(scores, reverse=True)
    matched = {word["word"]: [match["term"] for match in word["matches"]] for word in body["words"]}
    assert "socket" in matched["sockt"] and "programming" in matched["progamming"]
    assert body["took_ms"] >= 0
    assert "words" not in client.get("/search", params={"q": "socket"}).json()


def test_search_limit_and_empty_query(client):
    assert len(client.get("/search", params={"q": "socket programming", "limit": "1"}).json()["results"]) == 1
    assert client.get("/search", params={"q": ""}).json()["results"] == []


def test_suggest_puts_the_nearest_term_first(client):
    body = client.get("/suggest", params={"q": "progamming"}).json()
    assert body["suggestions"][0] == {"term": "programming", "distance": 1}


def test_health_names_the_file_served(client, files):
    body = client.get("/health").json()
    assert body["status"] == "ok"
    assert body["file"] == str(files[0]) and body["titles"] == str(files[1])
    assert body["modified"] == time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(files[0].stat().st_mtime))
    assert body["titled_videos"] == len(TITLES)
    assert body["stats"]["videos"] == len(TITLES) and body["stats"]["nodes"] > 0
    assert body["reload_error"] is None


def test_page_is_self_contained(client):
    answer = client.get("/")
    assert answer.status_code == 200 and answer.headers["content-type"].startswith("text/html")
    # Works offline: no script, style, image or font comes from elsewhere.
    assert "http://" not in answer.text and "https://" not in answer.text and "@import" not in answer.text


BOUNDS = Bounds()
OVER_THE_BOUNDS = [
    ("/search", {"q": "a" * (BOUNDS.query_characters + 1)}, "q", "query_characters", BOUNDS.query_characters),
    ("/search", {"q": "w " * (BOUNDS.query_words + 1)}, "q", "query_words", BOUNDS.query_words),
    ("/search", {"q": "w," * (BOUNDS.query_words + 1)}, "q", "query_words", BOUNDS.query_words),
    ("/search", {"q": "socket", "limit": str(BOUNDS.limit + 1)}, "limit", "limit", BOUNDS.limit),
    ("/search", {"q": "socket", "limit": "9" * 400}, "limit", "limit", BOUNDS.limit),
    ("/search", {"q": "socket", "typos": str(BOUNDS.typos + 1)}, "typos", "typos", BOUNDS.typos),
    ("/suggest", {"q": "a" * (BOUNDS.query_characters + 1)}, "q", "query_characters", BOUNDS.query_characters),
    ("/suggest", {"q": "socket", "limit": str(BOUNDS.limit + 1)}, "limit", "limit", BOUNDS.limit),
]


@pytest.mark.parametrize(("path", "params", "parameter", "bound", "maximum"), OVER_THE_BOUNDS)
def test_a_request_over_a_bound_is_refused_naming_it(client, path, params, parameter, bound, maximum):
    answer = client.get(path, params=params)
    assert answer.status_code == 400
    body = answer.json()
    assert (body["parameter"], body["bound"], body["maximum"]) == (parameter, bound, maximum)
    assert str(maximum) in body["error"]


@pytest.mark.parametrize(
    ("params", "parameter"),
    [
        ({}, "q"),
        ({"q": "socket", "limit": "-1"}, "limit"),
        ({"q": "socket", "limit": "ten"}, "limit"),
        ({"q": "socket", "typos": "many"}, "typos"),
        ({"q": "socket", "explain": "yes"}, "explain"),
    ],
)
def test_a_malformed_parameter_is_refused(client, params, parameter):
    answer = client.get("/search", params=params)
    assert answer.status_code == 400
    assert answer.json()["parameter"] == parameter and "bound" not in answer.json()


def test_requests_at_the_bounds_are_answered(client):
    at_bounds = {
        "q": " ".join(["socket"] * BOUNDS.query_words)[: BOUNDS.query_characters],
        "limit": str(BOUNDS.limit),
        "typos": str(BOUNDS.typos),
    }
    assert client.get("/search", params=at_bounds).status_code == 200
    assert client.get("/search", params={"q": "x" * BOUNDS.query_characters}).status_code == 200


class Panic(BaseException):
    """Like the module's PanicException, which derives from BaseException."""


@pytest.mark.parametrize("failure", [ValueError("bad"), MemoryError(), Panic("internal")])
def test_a_failing_query_gives_500_and_the_server_goes_on(client, monkeypatch, caplog, failure):
    real_search = corvalind.search

    def search(trie, query, **options):
        if query == "explode":
            raise failure
        return real_search(trie, query, **options)

    monkeypatch.setattr(corvalind, "search", search)
    with caplog.at_level(logging.ERROR, "corvalind.serve"):
        answer = client.get("/search", params={"q": "explode"})
    assert answer.status_code == 500
    assert answer.json() == {"error": f"the query failed ({type(failure).__name__})"}
    assert any(record.exc_info for record in caplog.records)
    assert client.get("/search", params={"q": "socket"}).json()["results"][0]["video_id"] in TITLES


def test_each_request_is_logged_with_its_latency(client, caplog):
    with caplog.at_level(logging.INFO, "corvalind.serve"):
        client.get("/search", params={"q": "socket", "limit": "101"})
    [line] = [record.getMessage() for record in caplog.records if "/search" in record.getMessage()]
    assert '"GET /search?q=socket&limit=101" 400 ' in line and line.endswith(" ms")


def wait_for(condition, what, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, f"timed out waiting for {what}"
        time.sleep(0.02)


def test_a_replaced_catalogue_is_served_and_a_damaged_one_refused(files, tmp_path, caplog):
    path, titles_path = files
    app = create_app(Catalogue.open(path, titles_path), reload_interval=0.02)

    with TestClient(app) as client, caplog.at_level(logging.INFO, "corvalind.serve"):

        def top(query):
            return [
                (result["video_id"], result["title"])
                for result in client.get("/search", params={"q": query}).json()["results"]
            ]

        assert top("gardening") == []
        first_modified = client.get("/health").json()["modified"]
        time.sleep(1.1)  # /health shows seconds; let the replacement's time differ

        # A good replacement, trie and titles, is swapped in.
        write_catalogue(tmp_path, TITLES | {"105": "Gardening for beginners"})
        wait_for(lambda: top("gardenning") == [("105", "Gardening for beginners")], "the new catalogue")
        health = client.get("/health").json()
        assert health["modified"] != first_modified and health["titled_videos"] == 5

        # A damaged one is refused, logged, and the trie before it goes on serving.
        staged = tmp_path / "damaged.tmp"
        staged.write_bytes(path.read_bytes()[:-7])
        os.replace(staged, path)
        wait_for(lambda: client.get("/health").json()["reload_error"] is not None, "the refusal")
        error = client.get("/health").json()["reload_error"]["error"]
        assert str(path) in error and "truncated" in error
        assert top("gardenning") == [("105", "Gardening for beginners")]
        assert any(record.levelno == logging.ERROR and "refused" in record.getMessage() for record in caplog.records)

        # ... and not tried again until it changes: then the fixed file is served.
        refusals = sum("refused" in record.getMessage() for record in caplog.records)
        time.sleep(0.2)
        assert sum("refused" in record.getMessage() for record in caplog.records) == refusals
        write_catalogue(tmp_path, TITLES)
        wait_for(lambda: client.get("/health").json()["reload_error"] is None, "the fixed catalogue")
        assert top("gardenning") == []


def test_a_damaged_file_is_refused_at_start(tmp_path):
    path = tmp_path / "catalogue.cvd"
    path.write_bytes(b"not a snapshot")
    with pytest.raises(corvalind.SnapshotFileError):
        Catalogue.open(path)
