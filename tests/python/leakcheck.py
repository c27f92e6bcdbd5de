"""The leak check shared by the tests: repeat a call and measure what it
leaves behind (live objects, traced and resident memory, and on a debug
interpreter the total reference count), against as many calls that do
nothing, so that noise and the measuring itself do not count."""

import gc
import os
import sys
import sysconfig
import tracemalloc

DEBUG = hasattr(sys, "gettotalrefcount")
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
# Under AddressSanitizer, its allocator and shadow memory move resident memory
# by a megabyte and more on their own, so resident memory tells nothing there.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


def resident_bytes():
    if sys.platform != "linux":
        return 0
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def usage():
    """Live objects, traced bytes and resident bytes."""
    gc.collect()
    return len(gc.get_objects()), tracemalloc.get_traced_memory()[0], resident_bytes()


def total_refs():
    """The interpreter's total reference count, measured alone: anything
    else measured with it moves it by a reference or two."""
    gc.collect()
    return (sys.gettotalrefcount(),)


def growth(call, iterations, measure):
    before = measure()
    for _ in range(iterations):
        call()
    return [a - b for a, b in zip(measure(), before, strict=True)]


def noop():
    pass


def excess(call, iterations, rounds, measure):
    """The smallest growth of each measured quantity over `rounds` runs of
    `iterations` calls, each beyond a run of as many calls that do nothing
    (the measuring holds a few objects of its own). A leak grows every round
    while noise does not."""
    return [
        min(column)
        for column in zip(
            *(
                [
                    grown - idle
                    for grown, idle in zip(
                        growth(call, iterations, measure), growth(noop, iterations, measure), strict=True
                    )
                ]
                for _ in range(rounds)
            ),
            strict=True,
        )
    ]


def assert_no_leak(call, inputs=(), *, iterations=100, rounds=3, resident_slack=1 << 20):
    """Runs `call` to warm caches up, then fails if what it leaves behind
    grows beyond a fraction of an object or a few bytes per call, beyond
    `resident_slack`, or, on a debug interpreter with the GIL, by a single
    reference; or if the reference counts of `inputs` changed."""
    gc.collect()  # what earlier tests left may hold the inputs too
    counts = [sys.getrefcount(item) for item in inputs]
    for _ in range(iterations):
        call()
    tracemalloc.start()
    try:
        objects, traced, resident = excess(call, iterations, rounds, usage)
    finally:
        tracemalloc.stop()
    assert objects <= iterations // 10, f"{objects} objects piled up"
    assert traced <= 8 * iterations + 256, f"traced memory grew by {traced} bytes"
    assert SANITIZED or resident <= resident_slack, f"resident memory grew by {resident} bytes"
    if DEBUG:
        (refs,) = excess(call, iterations, rounds, total_refs)
        # A free-threaded build's total drifts by a few references either way.
        assert refs <= (4 if FREE_THREADED else 0), f"{refs} references leaked"
    assert [sys.getrefcount(item) for item in inputs] == counts, "inputs' reference counts changed"


def objects_in(value):
    """`value` and every object inside its lists, tuples and dicts."""
    found = [value]
    if isinstance(value, (list, tuple)):
        for item in value:
            found += objects_in(item)
    elif isinstance(value, dict):
        for item in value.values():
            found += objects_in(item)
    return found


def expecting(exception, function, *args, **kwargs):
    """A call of function(*args, **kwargs) that must raise exactly `exception`
    (or return, for None), and the objects it is given."""

    def call():
        try:
            function(*args, **kwargs)
        except BaseException as raised:
            if type(raised) is not exception:
                raise
        else:
            assert exception is None

    return call, objects_in(list(args)) + objects_in(kwargs)
