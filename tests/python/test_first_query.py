"""The first typo queries on a fresh object build its forward-backward
index. Python code that runs while it is built (a signal handler, the
garbage collector and the __del__ methods it calls) may hand the interpreter
to other threads or query the same object itself: nothing may deadlock, and
every answer must be the one a warmed object gives.

Each case runs in a child process with a timeout, since the fault it
guards against is a hang."""

import subprocess
import sys
import sysconfig
import textwrap

import pytest

ATTEMPTS = 50
TIMEOUT = 120  # seconds for all attempts of one case; they take a few

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))

# Defines SNAPSHOT (a trie of 30,000 words, whose index takes long enough to
# build for the other threads to arrive meanwhile), QUERIES (misspellings
# the index serves, max_dist 1 and 2) and EXPECTED (their answers on a
# warmed object), and fresh(): a new object whose index is not built yet.
SETUP = """
import random, signal, sys, threading, time
from corvalind import PrefixSearch, build_flat_arrays

rng = random.Random(5)
words = sorted({"".join(rng.choices("abcdefghijklmnopqrstuvwxyz", k=rng.randint(3, 12))) for _ in range(30_000)})
arrays = build_flat_arrays([(word, rng.randrange(500), 1) for word in words])
SNAPSHOT = PrefixSearch.from_internal_data_v2(*arrays.arguments(video_top_n=4)).to_bytes()
QUERIES = [(word[:2] + "x" + word[3:], 1 + k % 2) for k, word in enumerate(words[::1500])]

def fresh():
    return PrefixSearch.from_bytes(SNAPSHOT)

def answers(trie):
    return [trie.fuzzy_match(query, max_dist) for query, max_dist in QUERIES]

warmed = fresh()
EXPECTED = answers(warmed)
assert any(EXPECTED), "the queries must find something"

def check(results):
    for result in results:
        assert result == EXPECTED, "an answer differs from the warmed object's"

def first_queries_at_once(trie, threads):
    barrier = threading.Barrier(threads)
    results = []
    def run():
        barrier.wait()
        results.append(answers(trie))
    workers = [threading.Thread(target=run) for _ in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    assert len(results) == threads, "a thread failed"
    return results
"""

CASES = {
    # Cyclic garbage whose __del__ sleeps (as I/O would) is collected from
    # inside the build's signal poll, letting the other threads in.
    "garbage collector": """
        import gc
        class Sleeper:
            def __del__(self):
                time.sleep(0.001)
        gc.set_threshold(1)
        for attempt in range(ATTEMPTS):
            trie = fresh()
            barrier = threading.Barrier(16)
            results = []
            def run():
                sleeper = Sleeper()
                barrier.wait()
                # A young cycle becomes garbage and the answer list
                # schedules a collection, with no check in between: the
                # collection and the __del__ run inside the first query,
                # from the signal poll of the index build.
                cycle = [sleeper, None]
                cycle[1] = cycle
                del sleeper, cycle
                results.append([trie.fuzzy_match(query, max_dist) for query, max_dist in QUERIES])
            workers = [threading.Thread(target=run) for _ in range(16)]
            for worker in workers:
                worker.start()
            for worker in workers:
                worker.join()
            assert len(results) == 16, "a thread failed"
            check(results)
    """,
    # A handler that runs bytecode for a while during the build, so the
    # interpreter passes to a second thread making its own first query.
    "busy signal handler": """
        def busy(signum, frame):
            end = time.perf_counter() + 0.05
            while time.perf_counter() < end:
                pass
        signal.signal(signal.SIGALRM, busy)
        for attempt in range(ATTEMPTS):
            trie = fresh()
            second = []
            other = threading.Thread(target=lambda: (time.sleep(0.002), second.append(answers(trie))))
            signal.setitimer(signal.ITIMER_REAL, 0.001)
            other.start()
            first = answers(trie)
            other.join()
            check([first, *second])
    """,
    # A handler that makes a typo query on the object being indexed, on the
    # thread that is building.
    "querying signal handler": """
        inner = []
        def query(signum, frame):
            inner.append(answers(current))
        signal.signal(signal.SIGALRM, query)
        for attempt in range(ATTEMPTS):
            current = fresh()
            inner.clear()
            signal.setitimer(signal.ITIMER_REAL, 0.0005)
            first = answers(current)
            signal.setitimer(signal.ITIMER_REAL, 0)
            check([first, *inner])
    """,
}


def run_child(body: str) -> None:
    code = SETUP + f"ATTEMPTS = {ATTEMPTS}\n" + textwrap.dedent(body)
    try:
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        pytest.fail(f"the child hung (no answer in {TIMEOUT} s)")
    assert done.returncode == 0, done.stderr


@pytest.mark.parametrize("case", CASES)
def test_python_code_during_the_index_build_cannot_deadlock(case):
    run_child(CASES[case])


@pytest.mark.skipif(not FREE_THREADED, reason="not a free-threaded interpreter")
def test_collection_during_the_build_without_the_gil():
    # Under PYTHON_GIL=0 (as scripts/freethreaded.sh runs this file) the
    # threads really run together. The main thread builds the index and a
    # handler collects garbage during the build, while the other threads
    # make their first queries: the collector stops the world, so no thread
    # may be blocked on the index then.
    run_child("""
        import gc
        signal.signal(signal.SIGALRM, lambda signum, frame: gc.collect())
        for attempt in range(ATTEMPTS):
            trie = fresh()
            started = threading.Event()
            results = []
            def run():
                started.wait()
                results.append(answers(trie))
            workers = [threading.Thread(target=run) for _ in range(15)]
            for worker in workers:
                worker.start()
            signal.setitimer(signal.ITIMER_REAL, 0.002)
            started.set()
            results.append(answers(trie))
            for worker in workers:
                worker.join()
            assert len(results) == 16, "a thread failed"
            check(results)
    """)
