"""Calls that cannot finish as asked: a signal arriving during a call that
would run for minutes, the interpreter running out of memory while results
are made, and queries that must not reserve memory for nothing. Each case
runs in a child process of the same interpreter."""

import signal
import subprocess
import sys
import textwrap
import time

import pytest

# Generous: each interrupted call would run for minutes (more under ASan).
INTERRUPT_BOUND_SECONDS = 60
SIGNAL_DELAY_SECONDS = 0.5

# A chain of 1,000,000 nodes labelled "a" whose last node is a term: a
# query of 200,000 scalars at the widest max_dist computes a 200,001-cell
# row for every node, about 2 * 10**11 cells in all.
CHAIN = """
n = 1_000_000
trie = FROM_ARRAYS(list(range(n)), [""] + ["a"] * (n - 1), [None] * (n - 1) + [(1, [0], [1])],
                   list(range(1, n)), [bytes(4)], 1)
"""

# A trie the checks accept that takes minutes to propagate: node 2, outside
# the root's tree, lists node 1 and its 100,000 videos a million times.
REPEATED_EDGES = """
videos = 100_000
arguments = ([0, 1, 1], ["", "a", "b"], [None, (videos, list(range(videos)), [1] * videos), None],
             [1] + [1] * 1_000_000, [k.to_bytes(4, "little") for k in range(videos)], 2**64 - 1)
"""

LONG_CALLS = [
    pytest.param(CHAIN, 'trie.fuzzy_match("a" * 200_000, 2**32 - 1)', id="term walk"),
    pytest.param(CHAIN, 'trie.fuzzy_match_video("b" * 200_000, 2**32 - 1, None, True)', id="video query walk"),
    pytest.param(REPEATED_EDGES, "FROM_ARRAYS(*arguments)", id="propagation"),
]

CHILD = """
import signal, sys, time
from _corvalind import PrefixSearch
FROM_ARRAYS = PrefixSearch.from_internal_data_v2

class Timeout(Exception):
    pass

def on_timer(*_):
    raise Timeout

{setup}
signal.signal(signal.SIGALRM, on_timer)
if {use_timer}:
    signal.setitimer(signal.ITIMER_REAL, {delay})
print("ready", flush=True)
try:
    {call}
    print("completed")
except (KeyboardInterrupt, Timeout) as interrupt:
    print(type(interrupt).__name__)
# The module is unharmed.
small = FROM_ARRAYS([0, 1], ["", "a"], [None, (1, [0], [1])], [1], [bytes(4)], 1)
print(small.fuzzy_match("a"), small.fuzzy_match_video("a"))
"""


def run_child(script, timeout):
    """Runs `script` in a child interpreter; returns (stdout, stderr)."""
    child = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=timeout)
    assert child.returncode == 0, child.stderr
    return child.stdout, child.stderr


@pytest.mark.parametrize(("setup", "call"), LONG_CALLS)
@pytest.mark.parametrize("source", ["SIGINT from another process", "interval timer"])
def test_a_signal_ends_a_long_call(setup, call, source):
    use_timer = source == "interval timer"
    script = CHILD.format(setup=textwrap.dedent(setup), call=call, use_timer=use_timer, delay=SIGNAL_DELAY_SECONDS)
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "ready\n", child.stderr.read()
        time.sleep(SIGNAL_DELAY_SECONDS)
        sent = time.monotonic()
        if not use_timer:
            child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=INTERRUPT_BOUND_SECONDS)
    except subprocess.TimeoutExpired:
        pytest.fail(f"the call ran on for {INTERRUPT_BOUND_SECONDS} s after the signal")
    finally:
        child.kill()
        child.wait()
    assert child.returncode == 0, err
    assert out.splitlines() == [
        "Timeout" if use_timer else "KeyboardInterrupt",
        "[('a', 1, 0)] [('0', 1.0)]",
    ], f"{out}\n{err}\n{time.monotonic() - sent:.1f} s after the signal"


# Each allocation of the interpreter, counted from the start of the call,
# fails in turn; the call must either succeed or raise MemoryError, never
# report an internal failure. The sweep ends once the call succeeds with
# the failure past its last allocation.
MEMORY_SWEEP = """
import _testcapi
from _corvalind import PrefixSearch
FROM_ARRAYS = PrefixSearch.from_internal_data_v2
trie = FROM_ARRAYS([0, 1, 3, 3], ["", "a", "b", "c"], [None, None, (2, [0], [2]), (1, [1], [1])],
                   [1, 2, 3], [bytes(16), bytes(range(16))], 10)
outcomes = set()
for failing in range(10_000):
    _testcapi.set_nomemory(failing, failing + 1)
    try:
        result = {call}
        outcome = "ok"
    except MemoryError:
        outcome = "MemoryError"
    except BaseException as error:
        outcome = type(error).__name__
    finally:
        _testcapi.remove_mem_hooks()
    outcomes.add(outcome)
    if outcome == "ok" and failing > 200:
        break
print(sorted(outcomes))
"""


@pytest.mark.parametrize(
    "call",
    [
        'trie.fuzzy_match("ab", 2)',
        'trie.fuzzy_match_video("ab", 2)',
        "trie.to_bytes()",
        "PrefixSearch.from_bytes(trie.to_bytes())",
        "FROM_ARRAYS([0, 1], ['', 'a'], [None, (1, [0], [1])], [1], [bytes(4)], 1)",
    ],
)
def test_running_out_of_memory_raises_memory_error(call):
    pytest.importorskip("_testcapi")
    out, err = run_child(MEMORY_SWEEP.format(call=call), timeout=120)
    assert out == "['MemoryError', 'ok']\n", err
    assert "internal failure" not in err and "Python API call failed" not in err


# A complete 7-ary trie of depth 6 (137,257 nodes) whose terms all name
# video 0: every node is within 6 edits of "abcdef", so the query weighs
# 137,256 nodes, while their payloads hold one entry each, not 16.
SCORE_MAP = """
import re
from _corvalind import PrefixSearch

def status_kib(field):
    with open("/proc/self/status") as status:
        return int(re.search(field + r":\\s+(\\d+) kB", status.read()).group(1))

letters = "abcdefg"
shifts, labels, payloads, transitions = [], [""], [], []
level, count = [0], 1
for depth in range(7):
    following = []
    for node in level:
        shifts.append(len(transitions))
        if depth < 6:
            for letter in letters:
                transitions.append(count)
                labels.append(letter)
                following.append(count)
                count += 1
        payloads.append(None if depth == 0 else (1, [0], [1]))
    level = following
trie = PrefixSearch.from_internal_data_v2(shifts, labels, payloads, transitions, [bytes(4)], 1)
del shifts, labels, payloads, transitions
with open("/proc/self/clear_refs", "w") as clear:
    clear.write("5")  # the peak (VmHWM) restarts from the current size
before = status_kib("VmRSS")
result = trie.fuzzy_match_video("abcdef", 6, 1, True)
print(len(result), (status_kib("VmHWM") - before) // 1024)
"""


def test_score_map_reserves_only_what_the_payloads_can_fill():
    out, _ = run_child(SCORE_MAP, timeout=300)
    found, grown_mib = map(int, out.split())
    assert found == 1
    # Room for 16 videos per matched node would take more than 128 MiB.
    assert grown_mib < 64, f"peak memory grew by {grown_mib} MiB"
