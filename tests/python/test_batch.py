"""match_many and partition_matcher: the answers of a serial loop, from local
processes, a local Dask cluster and a cluster of separate `dask` processes,
a worker killed mid-run, argument errors before any work, a query's own
exception, and nothing left behind."""

from __future__ import annotations

import contextlib
import logging
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

from _corvalind import PrefixSearch
from corvalind import batch, build_flat_arrays, match_many, partition_matcher


@pytest.fixture(scope="module")
def corpus():
    """A seeded trie of a few thousand terms naming a few hundred videos with
    many equal counts (so equal scores), and 3,000 queries: stored terms,
    near misses, random strings, the empty string and a long one."""
    rng = random.Random(10)
    terms = sorted({"".join(rng.choices("abcdefgh", k=rng.randint(2, 9))) for _ in range(3000)})
    records = [(term, rng.randrange(400), rng.randint(1, 4)) for term in terms for _ in range(rng.randint(1, 3))]
    trie = PrefixSearch.from_internal_data_v2(*build_flat_arrays(records).arguments(video_top_n=8))
    queries = [rng.choice(terms) for _ in range(1000)]
    queries += [term[:-1] + rng.choice("ahx") + term[-1:] for term in rng.choices(terms, k=1000)]
    queries += ["".join(rng.choices("abcdefghxy", k=rng.randint(1, 12))) for _ in range(997)]
    queries += ["", "a", "abcdefgh" * 12]
    return trie, trie.to_bytes(), queries


def comparable(results, videos, limit):
    """Results as compared: term lists as they are; each video list as its
    groups of equal score, the ids within a group as a set (ties have no
    order), and at the end of a list cut by `limit` which tied ids made the
    cut is open as well."""
    if not videos:
        return results
    out = []
    for pairs in results:
        groups = {}
        for video, score in pairs:
            groups.setdefault(score, set()).add(video)
        shape = [(score, frozenset(ids)) for score, ids in groups.items()]
        if limit is not None and len(pairs) == limit and shape:
            shape[-1] = (shape[-1][0], len(shape[-1][1]))
        out.append(shape)
    return out


def serial(trie, queries, videos, max_dist, limit, flag):
    if videos:
        return [trie.fuzzy_match_video(query, max_dist, limit, flag) for query in queries]
    return [trie.fuzzy_match(query, max_dist, limit) for query in queries]


# (videos, max_dist, limit, include_prefix_nodes, give the snapshot bytes rather than the trie)
CASES = [
    (False, 0, None, None, False),
    (False, 1, None, None, True),
    (False, 2, 3, None, False),
    (True, 1, None, None, True),
    (True, 2, 4, True, False),
    (True, 1, 2, False, True),
]


def check_case(corpus, case, **engine):
    trie, data, queries = corpus
    videos, max_dist, limit, flag, from_bytes = case
    arguments = dict(videos=videos, max_dist=max_dist, limit=limit)
    if videos:
        arguments["include_prefix_nodes"] = flag
    got = match_many(data if from_bytes else trie, queries, **arguments, **engine)
    assert len(got) == len(queries)
    expected = serial(trie, queries, videos, max_dist, limit, flag)
    assert comparable(got, videos, limit) == comparable(expected, videos, limit)


@pytest.mark.parametrize("case", CASES)
def test_local_processes_match_a_serial_loop(corpus, case):
    check_case(corpus, case, processes=2, chunk_size=None if case[0] else 128)


def test_one_process_answers_in_this_process(corpus, monkeypatch):
    monkeypatch.setattr("multiprocessing.get_context", no_processes)
    check_case(corpus, CASES[3], processes=1)


def test_processes_leave_no_files_and_write_nothing_when_not_a_terminal(corpus, tmp_path, monkeypatch, capfd):
    monkeypatch.setenv("TMPDIR", str(tmp_path))  # inherited by the workers
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
    trie, _, queries = corpus
    assert match_many(trie, queries[:500], processes=2, chunk_size=50) == serial(trie, queries[:500], False, 1, None, None)
    assert list(tmp_path.iterdir()) == []
    assert capfd.readouterr().err == ""


# --------------------------------------------------------------------------
# Argument errors, before any process starts


def no_processes(*args, **kwargs):
    raise AssertionError("a process was started")


@pytest.mark.parametrize(
    ("arguments", "exception", "message"),
    [
        # The methods' own errors, exactly.
        (dict(max_dist=-1), OverflowError, "out of range integral type conversion attempted"),
        (dict(max_dist=None), TypeError, "argument 'max_dist': 'NoneType' object cannot be interpreted as an integer"),
        (dict(limit=2.0), TypeError, "argument 'limit': 'float' object cannot be interpreted as an integer"),
        (dict(limit=-1), OverflowError, "can't convert negative int to unsigned"),
        (
            dict(videos=True, include_prefix_nodes=1),
            TypeError,
            "argument 'include_prefix_nodes': 'int' object cannot be converted to 'PyBool'",
        ),
        (dict(queries=["a", 5]), TypeError, "argument 'term': 'int' object cannot be converted to 'PyString'"),
        # The batch's own.
        (dict(trie_or_snapshot=bytearray(8)), TypeError, "argument 'trie_or_snapshot' must be a PrefixSearch or bytes, not 'bytearray'"),
        (dict(queries="abc"), TypeError, "argument 'queries' must be an iterable of str, not 'str'"),
        (dict(queries=None), TypeError, "argument 'queries' must be an iterable of str, not 'NoneType'"),
        (dict(videos=1), TypeError, "argument 'videos' must be a bool, not 'int'"),
        (dict(include_prefix_nodes=True), TypeError, "argument 'include_prefix_nodes' applies only with videos=True"),
        (dict(processes=0), ValueError, "argument 'processes' must be at least 1, not 0"),
        (dict(threads=0), ValueError, "argument 'threads' must be at least 1, not 0"),
        (dict(threads=1.0), TypeError, "argument 'threads' must be an int, not 'float'"),
        (dict(threads=2, processes=2), TypeError, "threads and processes cannot both be given"),
        (dict(threads=2, processes=2, client=object()), TypeError, "give one of threads, processes and client"),
        (dict(processes=2.0), TypeError, "argument 'processes' must be an int, not 'float'"),
        (dict(chunk_size=0), ValueError, "argument 'chunk_size' must be at least 1, not 0"),
        (dict(chunk_size=True), TypeError, "argument 'chunk_size' must be an int, not 'bool'"),
        (dict(client="tcp://127.0.0.1:8786"), TypeError, "argument 'client' must be a dask.distributed.Client, not 'str'"),
        (dict(client=object(), processes=2), TypeError, "processes and client cannot both be given"),
    ],
)
def test_bad_arguments_fail_before_any_work(small_trie, monkeypatch, arguments, exception, message):
    monkeypatch.setattr("multiprocessing.get_context", no_processes)
    call = dict(trie_or_snapshot=small_trie, queries=["ab", "b"]) | arguments
    with pytest.raises(exception) as raised:
        match_many(call.pop("trie_or_snapshot"), call.pop("queries"), **call)
    assert type(raised.value) is exception
    assert str(raised.value) == message


def test_empty_batch_starts_nothing_and_one_query_works(small_trie, monkeypatch):
    with monkeypatch.context() as patch:
        patch.setattr("multiprocessing.get_context", no_processes)
        assert match_many(small_trie, [], processes=2) == []
        assert match_many(small_trie, iter(()), videos=True) == []
    assert match_many(small_trie, ("ab",), processes=2) == [small_trie.fuzzy_match("ab")]
    assert match_many(small_trie.to_bytes(), ["ab"], videos=True, processes=2) == [small_trie.fuzzy_match_video("ab")]


@pytest.mark.parametrize("processes", [1, 2])
def test_a_query_s_own_exception_and_a_bad_snapshot_reach_the_caller(small_trie, processes):
    with pytest.raises(UnicodeEncodeError) as raised:
        match_many(small_trie, ["a", "b", "\ud800", "c"], processes=processes, chunk_size=2)
    assert raised.value.__notes__ == ["raised by query 2 of the batch"]
    with pytest.raises(ValueError) as raised:
        match_many(b"\xff" * 20, ["a"] * 10, processes=processes, chunk_size=2)
    with pytest.raises(ValueError) as restored:
        PrefixSearch.from_bytes(b"\xff" * 20)
    assert str(raised.value) == str(restored.value)


def run_child(code, timeout=120):
    """Runs ``code`` in a fresh interpreter; a hang fails the test rather than the run."""
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout)


def test_arguments_are_checked_before_any_engine_is_imported():
    code = """
import sys
sys.modules["distributed"] = None  # as without the dask extra
import corvalind
from corvalind import PrefixSearch, match_many
trie = PrefixSearch.from_bytes(bytes(8))
for bad in (dict(client="tcp://host:8786"), dict(processes=0), dict(max_dist=-1)):
    try:
        match_many(trie, ["a"], **bad)
    except Exception as error:
        print(type(error).__name__)
print(sorted(m for m in sys.modules if m.startswith("corvalind._on")))
"""
    done = run_child(code)
    assert done.stdout.split("\n")[:4] == ["TypeError", "ValueError", "OverflowError", "[]"], done.stderr


KILLER = """
import os, signal, sys, threading, time
from corvalind import PrefixSearch, batch, build_flat_arrays, match_many

def children():
    with open(f"/proc/self/task/{threading.main_thread().native_id}/children") as listing:
        return [int(pid) for pid in listing.read().split()]

terms = [f"{a}{b}{c}" for a in "abcdefgh" for b in "abcdefgh" for c in "abcdefghij"]
trie = PrefixSearch.from_internal_data_v2(*build_flat_arrays([(t, 1, 1) for t in terms]).arguments(video_top_n=2))
queries = terms * 3
"""


def test_a_killed_worker_process_loses_no_result():
    code = KILLER + """
class KillOnce:
    killed = False
    def __call__(self, *args, **kwargs): return self
    def __enter__(self): return self
    def __exit__(self, *exc): return False
    def update(self, count):
        if not self.killed:
            os.kill(children()[0], signal.SIGKILL)
            self.killed = True

batch.progress_bar = KillOnce()
got = match_many(trie, queries, max_dist=2, processes=2, chunk_size=20)
print(got == [trie.fuzzy_match(q, 2) for q in queries], batch.progress_bar.killed)
"""
    done = run_child(code)
    assert done.stdout == "True True\n", done.stderr


def test_a_chunk_whose_workers_keep_dying_ends_the_batch_with_a_clear_error():
    code = KILLER + """
def kill_every_worker():
    while True:
        for pid in children():
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        time.sleep(0.005)

threading.Thread(target=kill_every_worker, daemon=True).start()
try:
    match_many(trie, queries, processes=2, chunk_size=50)
except RuntimeError as error:
    print(error)
"""
    done = run_child(code)
    assert done.stdout.startswith("a worker process died twice (exit code -9) while answering queries "), done.stderr


@pytest.mark.parametrize(("chunk_size", "most"), [(None, None), (40, 1)])
def test_workers_are_capped_by_chunks_and_cpus(small_trie, monkeypatch, chunk_size, most):
    from corvalind import _on_processes

    started = []
    start_worker = _on_processes.ProcessEngine._start_worker
    monkeypatch.setattr(_on_processes.ProcessEngine, "_start_worker", lambda self: started.append(1) or start_worker(self))
    queries = ["ab", "b", "abc", "x"] * 10
    assert match_many(small_trie, queries, processes=10**6, chunk_size=chunk_size) == [small_trie.fuzzy_match(q) for q in queries]
    assert 1 <= len(started) <= (most or os.process_cpu_count())


def test_importing_the_package_does_not_import_dask():
    code = "import sys, corvalind; print(sorted(m for m in sys.modules if m.split('.')[0] in ('dask', 'distributed')))"
    assert subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout == "[]\n"


# --------------------------------------------------------------------------
# A local Dask cluster: two worker processes under nannies


@pytest.fixture(scope="module")
def local_client(tmp_path_factory):
    dask = pytest.importorskip("dask")
    distributed = pytest.importorskip("distributed")
    scratch = tmp_path_factory.mktemp("dask-local")
    with (
        dask.config.set({"temporary-directory": str(scratch)}),  # the scheduler's scratch space too
        distributed.LocalCluster(
            n_workers=2,
            threads_per_worker=1,
            processes=True,
            dashboard_address=None,
            silence_logs=logging.CRITICAL,  # the failures tests cause on purpose
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        yield client
    shutil.rmtree(scratch, ignore_errors=True)


@pytest.mark.parametrize("case", CASES)
def test_local_dask_cluster_matches_a_serial_loop(corpus, local_client, case):
    check_case(corpus, case, client=local_client, chunk_size=None if case[0] else 256)


def test_dask_workers_drop_the_trie_after_the_call(corpus, local_client):
    trie, _, queries = corpus
    match_many(trie, queries[:10], client=local_client)
    plugins = local_client.run(lambda dask_worker: [name for name in dask_worker.plugins if "corvalind" in name])
    assert plugins and all(names == [] for names in plugins.values())


def test_dask_reports_a_query_s_own_exception_and_a_bad_snapshot(small_trie, local_client):
    with pytest.raises(UnicodeEncodeError) as raised:
        match_many(small_trie, ["a", "b", "c", "\ud800", "d"], client=local_client, chunk_size=2)
    assert raised.value.__notes__ == ["raised by query 3 of the batch"]
    with pytest.raises(ValueError, match="^decode error: "):
        match_many(b"\xff" * 20, ["a"] * 4, client=local_client)


def test_partition_matcher_turns_a_column_of_queries_into_one_of_results(corpus, local_client):
    pandas = pytest.importorskip("pandas")
    trie, data, queries = corpus
    column = pandas.Series(queries[:400], index=range(100, 500), name="query")
    with partition_matcher(local_client, data, videos=True, max_dist=2, limit=3) as match:
        result = local_client.submit(match, column).result()
    assert list(result.index) == list(column.index)
    expected = serial(trie, queries[:400], True, 2, 3, None)
    assert comparable(list(result), True, 3) == comparable(expected, True, 3)
    # Outside its context the workers hold no trie.
    with pytest.raises(RuntimeError, match="has no trie named"):
        local_client.submit(match, column).result()
    with pytest.raises(OverflowError), partition_matcher(local_client, data, max_dist=-1):
        pass


def test_a_worker_joining_during_the_context_gets_the_trie(small_trie, local_client):
    pandas = pytest.importorskip("pandas")
    cluster = local_client.cluster
    before = set(local_client.nthreads())
    with partition_matcher(local_client, small_trie, max_dist=0) as match:
        cluster.scale(3)
        local_client.wait_for_workers(3, timeout=60)
        (joined,) = set(local_client.nthreads()) - before
        result = local_client.submit(match, pandas.Series(["ab", "b", "x"]), workers=[joined], pure=False).result()
    assert list(result) == [[("ab", 1, 0)], [("b", 1, 0)], []]
    cluster.scale(2)


# --------------------------------------------------------------------------
# A cluster of separate processes, started as on real machines


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@pytest.fixture(scope="module")
def cli_client(tmp_path_factory):
    """`dask scheduler` and two `dask worker`s on 127.0.0.1, each in a
    process group of its own, all ended (and their scratch space removed)
    whatever the tests did."""
    distributed = pytest.importorskip("distributed")
    scratch = tmp_path_factory.mktemp("dask-cli")
    address = f"tcp://127.0.0.1:{free_port()}"
    dask = str(Path(sys.executable).with_name("dask"))
    commands = [[dask, "scheduler", "--host", "127.0.0.1", "--port", address.rsplit(":", 1)[1], "--no-dashboard"]]
    commands += [[dask, "worker", address, "--host", "127.0.0.1", "--nthreads", "1", "--no-dashboard"]] * 2
    environment = os.environ | {"DASK_TEMPORARY_DIRECTORY": str(scratch)}
    log = open(scratch / "log", "wb")
    started = []
    try:
        for command in commands:
            started.append(subprocess.Popen(command, stdout=log, stderr=log, env=environment, start_new_session=True))
        with distributed.Client(address, timeout=30) as client:
            client.wait_for_workers(2, timeout=60)
            yield client
    finally:
        for process in reversed(started):  # the workers first, while their scheduler still answers
            process.terminate()
            try:
                process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                pass
            with contextlib.suppress(ProcessLookupError):
                os.killpg(process.pid, signal.SIGKILL)  # a worker a nanny left behind
            process.wait()
        log.close()
        shutil.rmtree(scratch, ignore_errors=True)


def test_cluster_of_dask_processes_matches_a_serial_loop(corpus, cli_client):
    check_case(corpus, CASES[2], client=cli_client, chunk_size=300)
    check_case(corpus, CASES[4], client=cli_client)


class KillingBar:
    """A progress bar that kills a worker with SIGKILL when the first chunk
    comes in, and counts what comes in."""

    def __init__(self, victim):
        self.victim = victim
        self.counted = 0

    def __call__(self, *args, **kwargs):
        return self

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False

    def update(self, count):
        if self.counted == 0:
            os.kill(self.victim, signal.SIGKILL)
        self.counted += count


def test_a_worker_killed_mid_run_loses_no_result(corpus, cli_client, monkeypatch):
    trie, _, queries = corpus
    pids = cli_client.run(os.getpid)
    victim = sorted(pids.values())[0]
    bar = KillingBar(victim)
    monkeypatch.setattr(batch, "progress_bar", bar)
    got = match_many(trie, queries, max_dist=3, client=cli_client, chunk_size=60)
    assert bar.counted == len(queries)
    assert got == serial(trie, queries, False, 3, None, None)
    cli_client.wait_for_workers(2, timeout=60)  # the nanny restarted it
    assert victim not in cli_client.run(os.getpid).values()
