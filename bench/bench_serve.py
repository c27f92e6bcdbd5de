"""Requests per second and latency of `corvalind serve` on 127.0.0.1.

Builds a catalogue of synthetic video titles (3 to 8 dictionary words each,
the words drawn with a Zipf-like skew, seeded), saves it with its titles
file, and times:

- in-process: `corvalind.search(trie, query, limit=10)` per query (median
  and p99 of single calls), the work a request does beside HTTP;
- the server, started as `corvalind serve FILE --titles TITLES --workers W`
  (its one log line per request going to a file) for W = 1 and 2: a client
  process keeps --connections keep-alive connections busy with
  `GET /search?q=...&limit=10` for --seconds per row after a one-second
  warm-up, and records each request's latency from sending it to the last
  byte of its answer.

The words come from Debian's wamerican list, as in bench_query.py
(apt-get install wamerican). Queries are 1, 2 or 3 consecutive words of a
random title, one word of four or more letters misspelt by one edit. The load loop is bounded: every row
stops by itself after --seconds (or --max-requests), and all rows together
take at most 60 s of load.

    .venv/bin/python bench/bench_serve.py [--videos 20000] [--seconds 8] [--connections 8]
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import multiprocessing
import os
import random
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request
from collections.abc import Iterator
from pathlib import Path

import corvalind
from bench_query import dictionary_words, misspell

LOAD_BUDGET_S = 60.0
WARM_UP_S = 1.0
WORKER_COUNTS = (1, 2)
WORD_COUNTS = (1, 2, 3)


def make_titles(count: int, rng: random.Random) -> dict[str, str]:
    words = [word for word in dictionary_words() if word.isalpha() and word.isascii()]
    rng.shuffle(words)
    weights = [1 / (rank + 10) for rank in range(len(words))]  # a few common words, a long tail
    return {str(1000 + number): " ".join(rng.choices(words, weights, k=rng.randint(3, 8))) for number in range(count)}


def make_queries(titles: list[str], words: int, count: int, rng: random.Random) -> list[str]:
    queries: list[str] = []
    while len(queries) < count:
        title = rng.choice(titles).split()
        start = rng.randrange(len(title) - words + 1)
        chosen = title[start : start + words]
        long_ones = [at for at, word in enumerate(chosen) if len(word) >= 4]
        if not long_ones:
            continue
        at = rng.choice(long_ones)
        chosen[at] = misspell(chosen[at], 1, rng)
        queries.append(" ".join(chosen))
    return queries


def percentile(sorted_values: list[float], fraction: float) -> float:
    return sorted_values[min(len(sorted_values) - 1, int(fraction * len(sorted_values)))]


def in_process(trie: corvalind.PrefixSearch, queries: list[str]) -> tuple[float, float]:
    """Median and p99 of one search call, in µs."""
    for query in queries[:100]:
        corvalind.search(trie, query, limit=10)
    latencies = []
    for query in queries:
        start = time.perf_counter_ns()
        corvalind.search(trie, query, limit=10)
        latencies.append((time.perf_counter_ns() - start) / 1e3)
    latencies.sort()
    return statistics.median(latencies), percentile(latencies, 0.99)


async def load(
    port: int, paths: list[bytes], connections: int, seconds: float, max_requests: int
) -> tuple[list[float], int, int, float]:
    """Keeps `connections` keep-alive connections busy for WARM_UP_S, then
    for `seconds`; returns the latencies (ms) after the warm-up, the count
    of non-200 answers among them, the count of all requests sent, and the
    client's CPU seconds per request."""
    latencies: list[float] = []
    failures = sent = 0
    cpu_started = time.process_time()
    loop = asyncio.get_running_loop()
    measure_from = loop.time() + WARM_UP_S
    stop_at = measure_from + seconds

    async def connection(offset: int) -> None:
        nonlocal failures, sent
        reader, writer = await asyncio.open_connection("127.0.0.1", port)
        writer.get_extra_info("socket").setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        index = offset
        try:
            while (now := loop.time()) < stop_at and len(latencies) < max_requests:
                path = paths[index % len(paths)]
                index += connections
                started = time.perf_counter()
                writer.write(b"GET " + path + b" HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
                head = await reader.readuntil(b"\r\n\r\n")
                length = int(head.lower().split(b"content-length:", 1)[1].split(b"\r\n", 1)[0])
                await reader.readexactly(length)
                sent += 1
                if now >= measure_from:
                    latencies.append((time.perf_counter() - started) * 1e3)
                    failures += not head.startswith(b"HTTP/1.1 200")
        finally:
            writer.close()

    await asyncio.sleep(0)
    await asyncio.gather(*(connection(offset) for offset in range(connections)))
    return latencies, failures, sent, (time.process_time() - cpu_started) / max(sent, 1)


def client_process(port: int, paths: list[bytes], connections: int, seconds: float, max_requests: int, results) -> None:
    with contextlib.suppress(ImportError):
        import uvloop

        asyncio.set_event_loop_policy(uvloop.EventLoopPolicy())
    results.put(asyncio.run(load(port, paths, connections, seconds, max_requests)))


def cpu_seconds(pid: int) -> float:
    """User and system CPU time of a process and all its descendants."""
    task = Path(f"/proc/{pid}/task/{pid}")
    fields = (task / "stat").read_text().rsplit(")", 1)[1].split()
    own = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    return own + sum(cpu_seconds(int(child)) for child in (task / "children").read_text().split())


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@contextlib.contextmanager
def server(catalogue: Path, titles: Path, workers: int, log_path: Path) -> Iterator[tuple[int, int]]:
    """Runs the server until the block ends; yields its pid and port."""
    port = free_port()
    command = [sys.executable, "-m", "corvalind", "serve", str(catalogue), "--titles", str(titles)]
    command += ["--port", str(port), "--workers", str(workers)]
    with open(log_path, "ab") as log:
        process = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT)
    try:
        deadline = time.monotonic() + 60
        while True:
            if process.poll() is not None or time.monotonic() > deadline:
                raise SystemExit(f"the server did not start; see {log_path}")
            with contextlib.suppress(OSError), urllib.request.urlopen(f"http://127.0.0.1:{port}/health", timeout=2):
                break
            time.sleep(0.1)
        yield process.pid, port
    finally:
        process.terminate()
        process.wait(timeout=30)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--videos", type=int, default=20_000, help="videos in the catalogue")
    parser.add_argument("--queries", type=int, default=2000, help="distinct queries per word count")
    parser.add_argument("--seconds", type=float, default=8.0, help="load per row, after its warm-up")
    parser.add_argument("--connections", type=int, default=8, help="keep-alive connections of the client")
    parser.add_argument("--max-requests", type=int, default=200_000, help="requests per row at most")
    parser.add_argument("--seed", type=int, default=1)
    options = parser.parse_args()
    rows = len(WORKER_COUNTS) * len(WORD_COUNTS)
    if rows * (options.seconds + WARM_UP_S) > LOAD_BUDGET_S:
        parser.error(f"{rows} rows of --seconds {options.seconds} plus warm-up exceed {LOAD_BUDGET_S:.0f} s of load")

    rng = random.Random(options.seed)
    titles = make_titles(options.videos, rng)
    with tempfile.TemporaryDirectory(prefix="bench-serve-") as directory:
        catalogue, titles_path = Path(directory) / "catalogue.cvd", Path(directory) / "titles.tsv"
        start = time.perf_counter()
        trie = corvalind.build_from_titles(titles.items())
        built = time.perf_counter() - start
        corvalind.save(trie, catalogue)
        titles_path.write_text("".join(f"{video}\t{title}\n" for video, title in titles.items()), encoding="utf-8")
        queries = {words: make_queries(list(titles.values()), words, options.queries, rng) for words in WORD_COUNTS}
        print(
            f"{len(titles)} videos, {catalogue.stat().st_size / 2**20:.1f} MiB file, built in {built:.1f} s; "
            f"{options.connections} keep-alive connections, {options.seconds:.0f} s per row, {os.cpu_count()} CPUs\n"
        )

        header = (
            f"{'workers':>7} {'words':>5} {'requests/s':>10} {'p50 ms':>7} {'p99 ms':>7} {'errors':>6} "
            f"{'server CPU µs/req':>17} {'client':>6} {'in-process p50 µs':>17} {'p99 µs':>7}"
        )
        print(header)
        print("-" * len(header))
        local = {words: in_process(trie, queries[words]) for words in WORD_COUNTS}
        del trie
        context = multiprocessing.get_context("spawn")
        for workers in WORKER_COUNTS:
            with server(catalogue, titles_path, workers, Path(directory) / "serve.log") as (pid, port):
                for words in WORD_COUNTS:
                    paths = [b"/search?limit=10&q=" + urllib.parse.quote(query).encode() for query in queries[words]]
                    results = context.Queue()
                    client = context.Process(
                        target=client_process,
                        args=(port, paths, options.connections, options.seconds, options.max_requests, results),
                    )
                    server_cpu = cpu_seconds(pid)
                    client.start()
                    latencies, failures, sent, client_cpu = results.get(timeout=options.seconds + 60)
                    client.join()
                    server_cpu = (cpu_seconds(pid) - server_cpu) / sent
                    latencies.sort()
                    print(
                        f"{workers:>7} {words:>5} {len(latencies) / options.seconds:>10.0f} "
                        f"{percentile(latencies, 0.5):>7.2f} {percentile(latencies, 0.99):>7.2f} {failures:>6} "
                        f"{server_cpu * 1e6:>17.0f} {client_cpu * 1e6:>6.0f} "
                        f"{local[words][0]:>17.1f} {local[words][1]:>7.1f}"
                    )


if __name__ == "__main__":
    main()
