"""Many threads on one object, while others create and drop objects, get
the answers of a single-threaded run; and on a free-threaded interpreter the
import switches the GIL on."""

import os
import queue
import random
import subprocess
import sys
import sysconfig
import threading

import pytest

from _corvalind import PrefixSearch
from corvalind import build_flat_arrays

READERS = 8
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


@pytest.fixture(scope="module")
def shared():
    """A trie of a few thousand nodes, the arrays it was built from, its
    snapshot, and query terms: stored ones and near misses."""
    rng = random.Random(11)
    terms = sorted({"".join(rng.choices("abcdefgh", k=rng.randint(2, 9))) for _ in range(600)})
    records = [(term, rng.randrange(300), rng.randint(1, 50)) for term in terms for _ in range(2)]
    arguments = build_flat_arrays(records).arguments(video_top_n=8)
    trie = PrefixSearch.from_internal_data_v2(*arguments)
    queries = terms[::25] + [term[:-1] + "x" for term in terms[::40]] + ["", "a", "zzzz"]
    return trie, arguments, trie.to_bytes(), queries


def outcome(call):
    """The comparable outcome of a call: its result, or its exception's type
    and text. Videos with equal scores have no defined order: sort them."""
    try:
        result = call()
    except Exception as error:  # a PanicException is not caught
        return type(error), str(error)
    if isinstance(result, list) and result and isinstance(result[0][1], float):
        return sorted(result)
    return result


def workload(trie, queries):
    """Calls covering both query methods, to_bytes, and argument errors."""
    calls = [trie.to_bytes, lambda: trie.fuzzy_match(5), lambda: trie.fuzzy_match_video("a", -1)]
    for k, term in enumerate(queries):
        max_dist = k % 3
        calls.append(lambda term=term, max_dist=max_dist: trie.fuzzy_match(term, max_dist))
        calls.append(lambda term=term, max_dist=max_dist: trie.fuzzy_match(term, max_dist + 1, 3))
        flag = (None, True, False)[k % 3]
        calls.append(
            lambda term=term, max_dist=max_dist, flag=flag: trie.fuzzy_match_video(term, max_dist, None, flag)
        )
    return calls


def run_threads(targets):
    """Starts one thread per target at once and re-raises the first failure
    of any of them."""
    failures = []
    barrier = threading.Barrier(len(targets))

    def run(target):
        try:
            barrier.wait()
            target()
        except BaseException as error:  # noqa: BLE001 - reported below
            failures.append(error)

    threads = [threading.Thread(target=run, args=(target,)) for target in targets]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # switch often, to interleave the calls finely
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    if failures:
        raise failures[0]


def test_concurrent_queries_match_a_single_threaded_run(shared):
    trie, arguments, data, queries = shared
    calls = workload(trie, queries)
    expected = [outcome(call) for call in calls]
    readers_done = threading.Event()

    def reader(seed):
        rng = random.Random(seed)
        for _ in range(1000):
            k = rng.randrange(len(calls))
            assert outcome(calls[k]) == expected[k], k

    def churner(make, check):
        while not readers_done.is_set():
            check(make())

    def restored(made):
        assert made.to_bytes() == data

    stored = queries[0]
    expected_terms = trie.fuzzy_match(stored, 1)

    def built(made):
        assert made.fuzzy_match(stored, 1) == expected_terms

    def readers():
        try:
            run_threads([lambda seed=seed: reader(seed) for seed in range(READERS)])
        finally:
            readers_done.set()

    run_threads([
        readers,
        lambda: churner(lambda: PrefixSearch.from_bytes(data), restored),
        lambda: churner(lambda: PrefixSearch.from_internal_data_v2(*arguments), built),
    ])


def test_objects_made_on_one_thread_are_used_and_dropped_on_others(shared):
    _, arguments, data, queries = shared
    term = queries[0]
    expected = PrefixSearch.from_bytes(data).fuzzy_match(term, 1)
    expected_videos = sorted(PrefixSearch.from_bytes(data).fuzzy_match_video(term))
    handoff = queue.Queue(maxsize=16)
    made_per_producer = 100
    producers = 2

    def producer(k):
        for n in range(made_per_producer):
            if (k + n) % 2:
                handoff.put(PrefixSearch.from_bytes(data))
            else:
                handoff.put(PrefixSearch.from_internal_data_v2(*arguments))

    def consumer(count):
        for _ in range(count):
            trie = handoff.get()
            assert trie.fuzzy_match(term, 1) == expected
            assert sorted(trie.fuzzy_match_video(term)) == expected_videos
            del trie

    total = producers * made_per_producer
    consumers = 4
    run_threads(
        [lambda k=k: producer(k) for k in range(producers)]
        + [lambda: consumer(total // consumers) for _ in range(consumers)]
    )
    assert handoff.empty()


def test_first_typo_queries_on_a_fresh_object_at_once(shared):
    # The first query of max_dist 1 or 2 builds the object's derived index;
    # threads that all ask at once must all get the answer of one that asked
    # alone.
    _, _, data, queries = shared
    long_queries = [term for term in queries if len(term) >= 3]
    expected = {}
    reference = PrefixSearch.from_bytes(data)
    for term in long_queries:
        for max_dist in (1, 2):
            expected[term, max_dist] = reference.fuzzy_match(term, max_dist)
    for round_ in range(20):
        trie = PrefixSearch.from_bytes(data)

        def first_query(k, trie=trie, round_=round_):
            term = long_queries[(round_ + k) % len(long_queries)]
            max_dist = 1 + k % 2
            assert trie.fuzzy_match(term, max_dist) == expected[term, max_dist]

        run_threads([lambda k=k: first_query(k) for k in range(READERS)])


def gil_forced_off():
    return os.environ.get("PYTHON_GIL") == "0" or str(sys._xoptions.get("gil")) == "0"


needs_free_threading = pytest.mark.skipif(
    not (FREE_THREADED and hasattr(sys, "_is_gil_enabled")), reason="not a free-threaded interpreter"
)


@needs_free_threading
def test_import_switched_the_gil_on():
    if gil_forced_off():
        pytest.skip("the GIL was forced off (PYTHON_GIL=0 or -X gil=0)")
    assert sys._is_gil_enabled() is True


@needs_free_threading
def test_importing_the_module_is_what_switches_the_gil_on():
    env = {name: value for name, value in os.environ.items() if name != "PYTHON_GIL"}
    code = "import sys; before = sys._is_gil_enabled(); import _corvalind; print(before, sys._is_gil_enabled())"
    result = subprocess.run(
        [sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True
    )
    assert result.stdout.split() == ["False", "True"]
