"""SyncTolvaneMap and SyncTolvaneSet shared by real Python threads: mixed
operations against per-thread oracles, snapshots taken beside a writer, the
interpreter lock released during long engine work, and iterators bound to
their thread."""

import array
import random
import sys
import threading
import time

import pytest

from conftest import MAX
from tolvane_trie import SyncTolvaneMap, SyncTolvaneSet

THREADS = 8


def tag(k):
    return ((k * 0x9E3779B97F4A7C15) & MAX) >> 40


def value_of(k, generation):
    return tag(k) << 40 | generation


def names(value, k):
    return value >> 40 == tag(k)


def run_threads(target, count=THREADS):
    errors = []

    def guarded(i):
        try:
            target(i)
        except BaseException as e:  # reported after the join
            errors.append(e)

    threads = [threading.Thread(target=guarded, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]


def test_eight_threads_mix_reads_and_writes_on_one_map():
    rng = random.Random(1)
    base = rng.getrandbits(48) << 16
    keys = [base + i * 3 for i in range(4000)] + [0, MAX] + [rng.getrandbits(64) for _ in range(800)]
    m = SyncTolvaneMap()
    models = [dict() for _ in range(THREADS)]

    def work(t):
        r = random.Random(t)
        mine = [k for i, k in enumerate(keys) if i % THREADS == t]
        model = models[t]
        for step in range(2500):
            k, op = r.choice(mine), r.random()
            if op < 0.3:
                assert m.insert(k, value_of(k, step)) == model.get(k)
                model[k] = value_of(k, step)
            elif op < 0.45:
                assert m.remove(k) == model.pop(k, None)
            elif op < 0.5:
                batch = r.sample(mine, 8)
                m.insert_many(batch, [value_of(x, step) for x in batch])
                model.update((x, value_of(x, step)) for x in batch)
            else:
                probe = r.choice(keys) + r.choice([-1, 0, 0, 1])
                probe = min(max(probe, 0), MAX)
                got = m.get(probe)
                assert got is None or names(got, probe)
                for entry in [m.next(probe, True), m.prev(probe, True), m.first(), m.last()]:
                    assert entry is None or names(entry[1], entry[0])
                if op > 0.95:
                    batch = r.sample(keys, 50)
                    for k2, v in zip(batch, m.get_many(batch)):
                        assert v is None or names(v, k2)
                # Each thread's own keys answer exactly from its model.
                assert m.get(k) == model.get(k)

    run_threads(work)
    want = {}
    for model in models:
        want.update(model)
    ordered = sorted(want)
    assert list(m.items()) == [(k, want[k]) for k in ordered]
    assert len(m) == len(want)
    rng = random.Random(2)
    for _ in range(200):
        a, b = sorted(rng.choice(keys) for _ in range(2))
        below = sum(1 for k in ordered if k < a)
        assert m.count_below(a) == below
        assert m.count_range(a, b) == sum(1 for k in ordered if a <= k <= b)
        if below < len(ordered):
            assert m.by_count(below) == (ordered[below], want[ordered[below]])


def test_eight_threads_on_one_set():
    s = SyncTolvaneSet()
    models = [set() for _ in range(THREADS)]

    def work(t):
        r = random.Random(t)
        mine = [k * THREADS + t for k in range(3000)]
        for _ in range(2500):
            k = r.choice(mine)
            if r.random() < 0.6:
                s.add(k)
                models[t].add(k)
            else:
                assert s.discard(k) is (k in models[t])
                models[t].discard(k)
            assert (k in s) is (k in models[t])

    run_threads(work)
    want = sorted(set().union(*models))
    assert list(s) == want and len(s) == len(want)


@pytest.mark.parametrize("kind", ["map", "set"])
def test_snapshots_taken_beside_a_writer_are_consistent(kind):
    c = SyncTolvaneMap() if kind == "map" else SyncTolvaneSet()
    mid = 1 << 40
    stop = threading.Event()

    def writer():
        # One key above the midpoint ascending, then one below it descending,
        # until the reader has seen enough; bounded by count too.
        for i in range(60000):
            if stop.is_set():
                break
            for k in (mid + i, mid - 1 - i):
                if kind == "map":
                    c[k] = i
                else:
                    c.add(k)

    t = threading.Thread(target=writer)
    t.start()
    # Each snapshot walks the whole container while holding the interpreter
    # lock, so the writer only moves between snapshots: stop after a bounded
    # number of them rather than waiting for the writer to finish.
    deadline = time.monotonic() + 5.0
    snapshots = during = 0
    while t.is_alive() and during < 40 and time.monotonic() < deadline:
        keys = list(c.keys() if kind == "map" else c)
        during += t.is_alive()
        lows = sum(1 for k in keys if k < mid)
        highs = len(keys) - lows
        assert highs in (lows, lows + 1)
        assert all(a < b for a, b in zip(keys, keys[1:]))
        snapshots += 1
    stop.set()
    t.join()
    assert during >= 3


@pytest.mark.parametrize("work", ["keys", "get_many", "set_scan"])
def test_the_interpreter_lock_is_released_during_long_engine_work(work):
    n = 2_000_000 if work != "get_many" else 400_000
    packed = array.array("Q", range(0, 3 * n, 3)).tobytes()
    m, s = SyncTolvaneMap(), SyncTolvaneSet()
    if work == "set_scan":
        s.insert_many(packed)
    else:
        m.insert_many(packed, packed)
    ticks = []
    running = threading.Event()
    stop = threading.Event()

    def ticker():
        running.set()
        while not stop.is_set():
            ticks.append(time.perf_counter())

    old = sys.getswitchinterval()
    sys.setswitchinterval(0.0005)
    t = threading.Thread(target=ticker)
    t.start()
    try:
        running.wait()
        best = 1.0
        for _ in range(3):
            start = time.perf_counter()
            if work == "keys":
                m.keys()
            elif work == "get_many":
                m.get_many(packed)
            else:
                s.range(0, None)
            end = time.perf_counter()
            seen = [start] + [x for x in ticks if start < x < end] + [end]
            longest = max(b - a for a, b in zip(seen, seen[1:]))
            best = min(best, longest / (end - start))
    finally:
        stop.set()
        t.join()
        sys.setswitchinterval(old)
    # Held throughout, the lock would keep the ticker out for nearly the
    # whole call; released, it stays out only while arguments and results
    # are converted.
    assert best < 0.6


def test_iterators_are_bound_to_their_thread():
    m = SyncTolvaneMap()
    m[1] = 2
    made = {}
    threading.Thread(target=lambda: made.update(it=m.items())).start()
    while "it" not in made:
        time.sleep(0.001)
    foreign = made.pop("it")
    path = "_tolvane::sync::SyncTolvaneMapItemIter"
    with pytest.raises(RuntimeError, match=f"{path} is unsendable, but sent to another thread"):
        next(foreign)
    with pytest.raises(RuntimeError, match="unsendable, but sent to another thread"):
        len(foreign)
    reported = []
    old_hook = sys.unraisablehook
    sys.unraisablehook = lambda u: reported.append(str(u.exc_value))
    try:
        del foreign
    finally:
        sys.unraisablehook = old_hook
    assert reported == [f"{path} is unsendable, but is being dropped on another thread"]
    # The map itself is used from any thread.
    run_threads(lambda i: m.insert(10 + i, i), count=4)
    assert len(m) == 5
