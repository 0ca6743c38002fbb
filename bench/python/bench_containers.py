#!/usr/bin/env python3
"""TolvaneSet / TolvaneMap side by side with the containers people use instead.

Peers: set / dict, sortedcontainers' SortedSet / SortedDict, pyroaring's
BitMap64, BTrees' 64-bit trees and numpy sorted arrays searched with
searchsorted. A peer that is not installed is skipped with a message. BTrees'
LLTreeSet / LLBTree hold signed keys and refuse keys of 2**63 and above, so
their unsigned twins QQTreeSet / QQBTree (same code, u64 keys) stand in.

Every operation is timed over the same keys and probes for every container,
in interleaved rounds on one pinned core (see bench/rounds.py); the table
gives ours / peer per operation as the median of the per-round ratios with
their spread, so below 1 means ours is faster (or smaller). Probes are new
int objects for every timing. Memory is bytes per key: ours is
mem_held() plus the object itself; the peers are measured with tracemalloc
while they are built from freshly made int objects, so the ints a container
keeps alive count against it; pyroaring and BTrees keep their storage in the
C allocator, whose bytes in use (glibc's mallinfo2) are added for them.

    bench_containers.py --size 1000000            # writes docs/benchmarks.md
    bench_containers.py --size 2000 --rounds 1 --no-write    # smoke run

No timing is ever asserted: this is a measuring tool.
"""
import argparse
import array
import copy
import ctypes
import gc
import importlib
import importlib.metadata
import os
import platform
import random
import sys
import time
import tracemalloc

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from markdown_table import header, ratio, row, write_section  # noqa: E402
from rounds import (MIN_ROUNDS, cpu_description, load_description, median,  # noqa: E402
                    pin_to_one_core, ratio_spread, run_rounds, spread_cell, within_noise)

BEGIN = "<!-- python-bench:begin -->"
END = "<!-- python-bench:end -->"
SEED = 20240611
RANGE_WINDOW = 100
DEFAULT_OUTPUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs",
                              "benchmarks.md")


def optional(module):
    try:
        return importlib.import_module(module)
    except ImportError:
        print(f"skipping {module}: not installed (pip install it to compare)", file=sys.stderr)
        return None


# --------------------------------------------------------------------------- data


def chunked(flat):
    """Chunks of 1, 2, 4, ... up to CHUNK items: an operation that takes
    milliseconds is stopped by the budget after a handful of calls, while a
    fast one pays for the clock only once per CHUNK calls."""
    out, i, size = [], 0, 1
    while i < len(flat):
        out.append(flat[i:i + size])
        i += size
        size = min(size * 2, CHUNK)
    return out


class Data:
    """Keys, values and probes shared by every contender of one shape."""

    def __init__(self, shape, n, probes):
        rng = random.Random(f"{SEED}/{shape}/{n}")
        if shape == "random":
            keys = set()
            while len(keys) < n:
                keys.add(rng.getrandbits(64))
            keys = list(keys)
        elif shape == "dense":
            keys = list(range(n))
        elif shape == "clustered":
            keys = set()
            while len(keys) < n:
                base = rng.getrandbits(64) % (2**64 - 256)
                keys.update(range(base, base + min(256, n - len(keys))))
            keys = list(keys)
        else:
            raise SystemExit(f"unknown shape {shape!r}")
        rng.shuffle(keys)
        self.shape, self.n = shape, n
        self.keys = keys  # insertion order
        self.sorted = sorted(keys)
        self.values = [(k * 0x9E3779B97F4A7C15 + 1) % 2**64 for k in keys]
        self.pairs = list(zip(self.keys, self.values))
        self.packed_keys = array.array("Q", self.keys).tobytes()
        self.packed_values = array.array("Q", self.values).tobytes()
        present = set(keys)
        p = min(n, probes)
        self.hits = rng.sample(keys, p)  # distinct, so they double as removals
        self.misses = []
        lo, hi = self.sorted[0], self.sorted[-1]
        while len(self.misses) < p:
            k = rng.getrandbits(64) if shape == "random" else rng.randint(lo, hi + n)
            if k not in present:
                self.misses.append(k)
        self.points = [rng.randint(lo, hi) for _ in range(p)]
        self.ranks = [rng.randrange(n) for _ in range(p)]
        w = min(RANGE_WINDOW, n) - 1
        starts = [rng.randrange(n - w) for _ in range(max(1, p // 10))]
        self.windows = [(self.sorted[i], self.sorted[i + w]) for i in starts]
        for name in ("hits", "misses", "points", "ranks", "windows"):
            setattr(self, name, chunked(getattr(self, name)))

    def fresh(self):
        """A copy whose probes are new int objects equal to these."""
        out = copy.copy(self)
        for name in ("hits", "misses", "points", "ranks"):
            setattr(out, name, [array.array("Q", c).tolist() for c in getattr(self, name)])
        out.windows = [list(zip(array.array("Q", [a for a, _ in c]).tolist(),
                                array.array("Q", [b for _, b in c]).tolist()))
                       for c in self.windows]
        return out


# --------------------------------------------------------------------------- contenders
#
# A contender is a name plus a dict: operation -> (prepare, run). prepare(data)
# builds whatever the timed part needs (untimed) and run(state) does the work,
# returning the number of operations done. Timings are per operation.


# Probe lists come in chunks (see chunked); every loop checks the clock once
# per chunk and stops when the budget is spent, so a peer whose operation is
# linear in n (pyroaring's rank and select, BTrees' counting) is sampled
# instead of stalling the run. The clock costs well under 1 ns per operation
# at the full chunk size.
CHUNK = 256
BUDGET_NS = 1_000_000_000


def _deadline():
    return time.perf_counter_ns() + BUDGET_NS


def _budgeted(chunks, each_chunk):
    """Runs each_chunk over the chunks until they or the budget run out;
    returns the number of probes done."""
    done, deadline = 0, _deadline()
    for chunk in chunks:
        each_chunk(chunk)
        done += len(chunk)
        if time.perf_counter_ns() > deadline:
            break
    return done


def loop_contains(c, chunks):
    def each(chunk):
        for k in chunk:
            k in c  # noqa: B015 -- the membership test is what is timed
    return _budgeted(chunks, each)


def set_ops_ours(T):
    def build_list(d):
        return lambda: T(d.keys)

    def build_packed(d):
        def run():
            s = T()
            s.insert_many(d.packed_keys)
            return s
        return run

    return {
        "build_list": build_list,
        "build_packed": build_packed,
        **SET_BASICS,
        **NAMED_ORDER_OPS,
    }


def _remove_loop(remove, chunks):
    return lambda: _call_each(remove, chunks)


def _del_loop(c, chunks):
    def each(chunk):
        for k in chunk:
            del c[k]
    return lambda: _budgeted(chunks, each)


def _iterate(c):
    n = 0
    for _ in c:
        n += 1
    return n


def _iterate_items(items):
    n = 0
    for _k, _v in items():
        n += 1
    return n


def _first_last(first, last, chunks):
    def each(chunk):
        for _ in chunk:
            first()
            last()
    return _budgeted(chunks, each)


def _call_each(fn, chunks):
    def each(chunk):
        for a in chunk:
            fn(a)
    return _budgeted(chunks, each)


def _ranges(fn, chunks):
    def each(chunk):
        for a, b in chunk:
            fn(a, b)
    return _budgeted(chunks, each)


def _strictly_after(at_or_after):
    """Successor through a lookup of the first key >= its argument that
    raises ValueError when there is none."""
    def f(k):
        try:
            return at_or_after(k + 1)
        except ValueError:
            return None
    return f


def _strictly_before(at_or_before):
    """Predecessor through a lookup of the last key <= its argument that
    raises ValueError when there is none."""
    def f(k):
        try:
            return at_or_before(k - 1) if k else None
        except ValueError:
            return None
    return f


def _with_value(c, find_key):
    """A key finder turned into one that gives (key, c[key]) or None."""
    def f(k):
        k2 = find_key(k)
        return None if k2 is None else (k2, c[k2])
    return f


# The operations every set contender spells the same way: `in`, .remove()
# and plain iteration.
SET_BASICS = {
    "contains_hit": lambda c, d: lambda: loop_contains(c, d.hits),
    "contains_miss": lambda c, d: lambda: loop_contains(c, d.misses),
    "remove": ("fresh", lambda c, d: _remove_loop(c.remove, d.hits)),
    "iterate": lambda c, d: lambda: _iterate(c),
}

# Likewise for maps: `in`, .get(), del and .items().
MAP_BASICS = {
    "contains_hit": lambda c, d: lambda: loop_contains(c, d.hits),
    "get_hit": lambda c, d: lambda: _call_each(c.get, d.hits),
    "get_miss": lambda c, d: lambda: _call_each(c.get, d.misses),
    "remove": ("fresh", lambda c, d: _del_loop(c, d.hits)),
    "iterate": lambda c, d: lambda: _iterate_items(c.items),
}

# Ordered queries of containers that have them under our own method names.
NAMED_ORDER_OPS = {
    "first_last": lambda c, d: lambda: _first_last(c.first, c.last, d.hits),
    "next": lambda c, d: lambda: _call_each(c.next_after, d.points),
    "prev": lambda c, d: lambda: _call_each(c.prev_before, d.points),
    "count_below": lambda c, d: lambda: _call_each(c.count_below, d.points),
    "by_count": lambda c, d: lambda: _call_each(c.by_count, d.ranks),
    "range": lambda c, d: lambda: _ranges(c.range, d.windows),
}


def set_contenders(mods):
    out = []
    tt = mods["tolvane_trie"]
    out.append(("TolvaneSet", set_ops_ours(tt.TolvaneSet)))
    out.append(("set", {
        "build_list": lambda d: lambda: set(d.keys),
        # set has no packed form: the goal compares with set(list_of_ints).
        "build_packed": lambda d: lambda: set(d.keys),
        **SET_BASICS,
    }))
    sc = mods.get("sortedcontainers")
    if sc:
        def ss_next(c):
            br, n = c.bisect_right, len(c)
            def f(k):
                i = br(k)
                return c[i] if i < n else None
            return f

        def ss_prev(c):
            bl = c.bisect_left
            def f(k):
                i = bl(k)
                return c[i - 1] if i else None
            return f

        out.append(("SortedSet", {
            "build_list": lambda d: lambda: sc.SortedSet(d.keys),
            "build_packed": lambda d: lambda: sc.SortedSet(d.keys),
            **SET_BASICS,
            "first_last": lambda c, d: lambda: _first_last(lambda: c[0], lambda: c[-1], d.hits),
            "next": lambda c, d: lambda: _call_each(ss_next(c), d.points),
            "prev": lambda c, d: lambda: _call_each(ss_prev(c), d.points),
            "count_below": lambda c, d: lambda: _call_each(c.bisect_left, d.points),
            "by_count": lambda c, d: lambda: _call_each(c.__getitem__, d.ranks),
            "range": lambda c, d: lambda: _ranges(lambda a, b: list(c.irange(a, b)), d.windows),
        }))
    pr = mods.get("pyroaring")
    np = mods.get("numpy")
    if pr:
        def bm_prev(c):
            rank = c.rank
            def f(k):
                r = rank(k - 1) if k else 0
                return c[r - 1] if r else None
            return f

        def bm_count_below(c):
            rank = c.rank
            return lambda k: rank(k - 1) if k else 0

        def bm_range(c):
            rank = c.rank
            def f(a, b):
                return list(c[(rank(a - 1) if a else 0):rank(b)])
            return f

        def bm_packed(d):
            if np is None:
                return lambda: pr.BitMap64(array.array("Q", d.packed_keys))
            return lambda: pr.BitMap64(np.frombuffer(d.packed_keys, dtype=np.uint64))

        out.append(("BitMap64", {
            "build_list": lambda d: lambda: pr.BitMap64(d.keys),
            "build_packed": bm_packed,
            **SET_BASICS,
            "first_last": lambda c, d: lambda: _first_last(c.min, c.max, d.hits),
            "next": lambda c, d: lambda: _call_each(_strictly_after(c.next_set_bit), d.points),
            "prev": lambda c, d: lambda: _call_each(bm_prev(c), d.points),
            "count_below": lambda c, d: lambda: _call_each(bm_count_below(c), d.points),
            "by_count": lambda c, d: lambda: _call_each(c.__getitem__, d.ranks),
            "range": lambda c, d: lambda: _ranges(bm_range(c), d.windows),
        }))
    bt = mods.get("BTrees.QQBTree")
    if bt:
        out.append(("QQTreeSet", {
            "build_list": lambda d: lambda: bt.QQTreeSet(d.keys),
            "build_packed": lambda d: lambda: bt.QQTreeSet(d.keys),
            **SET_BASICS,
            "first_last": lambda c, d: lambda: _first_last(c.minKey, c.maxKey, d.hits),
            "next": lambda c, d: lambda: _call_each(_strictly_after(c.minKey), d.points),
            "prev": lambda c, d: lambda: _call_each(_strictly_before(c.maxKey), d.points),
            # No rank: counting the keys below walks them all.
            "count_below": lambda c, d: lambda: _call_each(
                lambda k: len(c.keys(max=k, excludemax=True)), d.points),
            "range": lambda c, d: lambda: _ranges(lambda a, b: list(c.keys(a, b)), d.windows),
        }))
    if np:
        out.append(("numpy", numpy_set_ops(np)))
    return out


def numpy_set_ops(np):
    # searchsorted is ten times slower given a plain int than a numpy scalar.
    u = np.uint64

    def build_list(d):
        return lambda: np.unique(np.array(d.keys, dtype=np.uint64))

    def build_packed(d):
        return lambda: np.unique(np.frombuffer(d.packed_keys, dtype=np.uint64))

    def member(a):
        ss, n = a.searchsorted, len(a)
        def f(k):
            i = int(ss(u(k)))
            return i < n and int(a[i]) == k
        return f

    def probe(a, chunks):
        return lambda: _call_each(member(a), chunks)

    def nxt(a):
        ss, n = a.searchsorted, len(a)
        def f(k):
            i = int(ss(u(k), side="right"))
            return int(a[i]) if i < n else None
        return f

    def prv(a):
        ss = a.searchsorted
        def f(k):
            i = int(ss(u(k)))
            return int(a[i - 1]) if i else None
        return f

    def rng(a):
        ss = a.searchsorted
        return lambda lo, hi: a[int(ss(u(lo))):int(ss(u(hi), side="right"))].tolist()

    return {
        "build_list": build_list,
        "build_packed": build_packed,
        "contains_hit": lambda a, d: probe(a, d.hits),
        "contains_miss": lambda a, d: probe(a, d.misses),
        "iterate": lambda a, d: lambda: _iterate(a.tolist()),
        "first_last": lambda a, d: lambda: _first_last(lambda: int(a[0]), lambda: int(a[-1]), d.hits),
        "next": lambda a, d: lambda: _call_each(nxt(a), d.points),
        "prev": lambda a, d: lambda: _call_each(prv(a), d.points),
        "count_below": lambda a, d: lambda: _call_each(lambda k: int(a.searchsorted(u(k))), d.points),
        "by_count": lambda a, d: lambda: _call_each(lambda r: int(a[r]), d.ranks),
        "range": lambda a, d: lambda: _ranges(rng(a), d.windows),
    }


def map_ops_ours(T):
    def build_packed(d):
        def run():
            m = T()
            m.insert_many(d.packed_keys, d.packed_values)
            return m
        return run

    return {
        "build_list": lambda d: lambda: T(d.pairs),
        "build_packed": build_packed,
        **MAP_BASICS,
        **NAMED_ORDER_OPS,
    }


def map_contenders(mods):
    out = []
    tt = mods["tolvane_trie"]
    out.append(("TolvaneMap", map_ops_ours(tt.TolvaneMap)))
    out.append(("dict", {
        "build_list": lambda d: lambda: dict(d.pairs),
        "build_packed": lambda d: lambda: dict(zip(d.keys, d.values)),
        **MAP_BASICS,
    }))
    sc = mods.get("sortedcontainers")
    if sc:
        def sd_next(c):
            br, n, peek = c.bisect_right, len(c), c.peekitem
            def f(k):
                i = br(k)
                return peek(i) if i < n else None
            return f

        def sd_prev(c):
            bl, peek = c.bisect_left, c.peekitem
            def f(k):
                i = bl(k)
                return peek(i - 1) if i else None
            return f

        out.append(("SortedDict", {
            "build_list": lambda d: lambda: sc.SortedDict(d.pairs),
            "build_packed": lambda d: lambda: sc.SortedDict(zip(d.keys, d.values)),
            **MAP_BASICS,
            "first_last": lambda c, d: lambda: _first_last(lambda: c.peekitem(0), lambda: c.peekitem(-1), d.hits),
            "next": lambda c, d: lambda: _call_each(sd_next(c), d.points),
            "prev": lambda c, d: lambda: _call_each(sd_prev(c), d.points),
            "count_below": lambda c, d: lambda: _call_each(c.bisect_left, d.points),
            "by_count": lambda c, d: lambda: _call_each(c.peekitem, d.ranks),
            "range": lambda c, d: lambda: _ranges(lambda a, b: [(k, c[k]) for k in c.irange(a, b)], d.windows),
        }))
    bt = mods.get("BTrees.QQBTree")
    if bt:
        out.append(("QQBTree", {
            "build_list": lambda d: lambda: bt.QQBTree(d.pairs),
            "build_packed": lambda d: lambda: bt.QQBTree(d.pairs),
            **MAP_BASICS,
            "first_last": lambda c, d: lambda: _first_last(
                lambda: c.minKey(), lambda: c.maxKey(), d.hits),
            "next": lambda c, d: lambda: _call_each(_with_value(c, _strictly_after(c.minKey)), d.points),
            "prev": lambda c, d: lambda: _call_each(_with_value(c, _strictly_before(c.maxKey)), d.points),
            "count_below": lambda c, d: lambda: _call_each(
                lambda k: len(c.keys(max=k, excludemax=True)), d.points),
            "range": lambda c, d: lambda: _ranges(lambda a, b: list(c.items(a, b)), d.windows),
        }))
    np = mods.get("numpy")
    if np:
        out.append(("numpy", numpy_map_ops(np)))
    return out


def numpy_map_ops(np):
    u = np.uint64

    class Sorted:
        """Parallel sorted key and value arrays."""

        def __init__(self, keys, values):
            order = np.argsort(keys, kind="stable")
            self.k, self.v = keys[order], values[order]

    def build_list(d):
        return lambda: Sorted(np.array(d.keys, dtype=np.uint64), np.array(d.values, dtype=np.uint64))

    def build_packed(d):
        return lambda: Sorted(np.frombuffer(d.packed_keys, dtype=np.uint64),
                              np.frombuffer(d.packed_values, dtype=np.uint64))

    def get(s):
        ss, k, v, n = s.k.searchsorted, s.k, s.v, len(s.k)
        def f(key):
            i = int(ss(u(key)))
            return int(v[i]) if i < n and int(k[i]) == key else None
        return f

    def nxt(s):
        ss, k, v, n = s.k.searchsorted, s.k, s.v, len(s.k)
        def f(key):
            i = int(ss(u(key), side="right"))
            return (int(k[i]), int(v[i])) if i < n else None
        return f

    def prv(s):
        ss, k, v = s.k.searchsorted, s.k, s.v
        def f(key):
            i = int(ss(u(key)))
            return (int(k[i - 1]), int(v[i - 1])) if i else None
        return f

    def rng(s):
        ss = s.k.searchsorted
        def f(lo, hi):
            i, j = int(ss(u(lo))), int(ss(u(hi), side="right"))
            return list(zip(s.k[i:j].tolist(), s.v[i:j].tolist()))
        return f

    return {
        "build_list": build_list,
        "build_packed": build_packed,
        "get_hit": lambda s, d: lambda: _call_each(get(s), d.hits),
        "get_miss": lambda s, d: lambda: _call_each(get(s), d.misses),
        "iterate": lambda s, d: lambda: _iterate(zip(s.k.tolist(), s.v.tolist())),
        "first_last": lambda s, d: lambda: _first_last(
            lambda: (int(s.k[0]), int(s.v[0])), lambda: (int(s.k[-1]), int(s.v[-1])), d.hits),
        "next": lambda s, d: lambda: _call_each(nxt(s), d.points),
        "prev": lambda s, d: lambda: _call_each(prv(s), d.points),
        "count_below": lambda s, d: lambda: _call_each(lambda key: int(s.k.searchsorted(u(key))), d.points),
        "by_count": lambda s, d: lambda: _call_each(lambda r: (int(s.k[r]), int(s.v[r])), d.ranks),
        "range": lambda s, d: lambda: _ranges(rng(s), d.windows),
    }


# --------------------------------------------------------------------------- measuring


def time_once(prepare, run_factory):
    """One timing in ns per operation. prepare() gives the state the run
    needs (untimed); run_factory(state) gives the timed callable, which
    returns the number of operations it did."""
    state = prepare()
    run = run_factory(state)
    gc.collect()
    gc.disable()
    try:
        t0 = time.perf_counter_ns()
        count = run()
        elapsed = time.perf_counter_ns() - t0
    finally:
        gc.enable()
    return elapsed / max(1, count)


def measure(contenders, d, rounds):
    """{name: {op: [ns per operation in each round]}}: each operation is timed
    for every contender that has it in turn, round after round, so ours and
    its peers see the same conditions. Point queries get probes made afresh
    for every timing, as a program's computed keys would be: a probe that is
    the very object stored would let set and dict match it by identity."""
    built = {name: ops["build_list"](d)() for name, ops in contenders}
    results = {name: {} for name, _ in contenders}
    ops_in_order = []
    for _, ops in contenders:
        ops_in_order += [op for op in ops if op not in ops_in_order]
    for op in ops_in_order:
        timings = []
        for name, ops in contenders:
            spec = ops.get(op)
            if spec is None:
                continue
            if op.startswith("build"):
                builder = spec(d)
                timings.append((name, lambda b=builder: time_once(
                    lambda: None, lambda _s: (lambda: (b(), d.n)[1]))))
            elif isinstance(spec, tuple):  # needs a container of its own each run
                build, factory = ops["build_list"](d), spec[1]
                timings.append((name, lambda b=build, f=factory: time_once(
                    b, lambda c: f(c, d.fresh()))))
            else:
                c = built[name]
                timings.append((name, lambda c=c, f=spec: time_once(
                    lambda: c, lambda c: f(c, d.fresh()))))
        for name, ts in run_rounds(timings, rounds).items():
            results[name][op] = ts
    return results


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


def _malloc_in_use():
    """Bytes the C allocator has handed out, or None where glibc's mallinfo2 is missing."""
    try:
        fn = ctypes.CDLL(None).mallinfo2
    except (OSError, AttributeError):
        return None
    fn.restype = _MallInfo2
    info = fn()
    return info.uordblks + info.hblkhd


# Peers whose storage lives in the C allocator rather than Python's.
C_STORAGE = {"BitMap64", "QQTreeSet", "QQBTree"}


def memory_per_key(name, ops, d, family):
    """Bytes per key of a container built from fresh ints, with a note on how."""
    build = ops["build_list"]
    if name in ("TolvaneSet", "TolvaneMap"):
        c = build(d)()
        return (c.mem_held() + sys.getsizeof(c)) / d.n, ""
    fresh = copy.copy(d)
    gc.collect()
    tracemalloc.start()
    try:
        c_before = _malloc_in_use()
        base = tracemalloc.get_traced_memory()[0]
        fresh.keys = array.array("Q", d.packed_keys).tolist()
        if family == "map":
            fresh.values = array.array("Q", d.packed_values).tolist()
            fresh.pairs = list(zip(fresh.keys, fresh.values))
        c = build(fresh)()
        fresh.keys = fresh.values = fresh.pairs = None
        gc.collect()
        used = tracemalloc.get_traced_memory()[0] - base
        c_after = _malloc_in_use()
    finally:
        tracemalloc.stop()
    note = ""
    if name in C_STORAGE:
        if c_before is None or c_after is None:
            note = "C allocations not seen"
        else:
            used += c_after - c_before
            note = "incl. C allocator"
    del c
    if used <= 0:
        # The freed input lists can give back more of the C heap than a
        # container this small takes from it: nothing to report then.
        return None, "too small to measure"
    return used / d.n, note


# --------------------------------------------------------------------------- report

SET_OPS = ["build_list", "build_packed", "contains_hit", "contains_miss", "remove", "iterate",
           "first_last", "next", "prev", "count_below", "by_count", "range"]
MAP_OPS = ["build_list", "build_packed", "contains_hit", "get_hit", "get_miss", "remove",
           "iterate", "first_last", "next", "prev", "count_below", "by_count", "range"]
NOTES = {
    "build_list": "ns per key, from a list of ints (map: list of pairs)",
    "build_packed": "ns per key; ours: insert_many of packed u64 bytes; set/dict/sortedcontainers/BTrees "
                    "have no packed form and build from lists; numpy sorts frombuffer",
    "contains_hit": "`k in c`, present keys",
    "contains_miss": "`k in c`, absent keys",
    "get_hit": "`c.get(k)`, present keys",
    "get_miss": "`c.get(k)`, absent keys",
    "remove": "removal of present keys",
    "iterate": "ns per key of a full in-order walk (set/dict: their own order)",
    "first_last": "one smallest plus one largest lookup",
    "next": "successor of a random point (strictly after)",
    "prev": "predecessor of a random point (strictly before)",
    "count_below": "rank of a random point (BTrees: no rank, walks the keys below)",
    "by_count": "select by rank",
    "range": f"ns per call of a closed range holding {RANGE_WINDOW} keys, as a list",
}


def fmt_ns(v):
    return "–" if v is None else (f"{v:.1f}" if v < 100 else f"{v:,.0f}")


def table(family, shape, n, names, results, memory, op_list):
    ours = names[0]
    lines = [f"#### {family}, {shape} keys, n = {n:,}", ""]
    head = ["operation", f"{ours} ns"] + [f"÷ {p}" for p in names[1:]]
    lines += header(head)
    for op in op_list:
        mine = results[ours].get(op)
        lines.append(row([op, fmt_ns(median(mine or []))] +
                         [spread_cell(ratio_spread(mine or [], results[p].get(op) or []))
                          for p in names[1:]]))
    lines.append(row(["bytes/key", f"{memory[ours][0]:.2f}"] +
                     [ratio(memory[ours][0], memory[p][0]) for p in names[1:]]))
    lines.append("")
    lines.append("Peer timings, ns per operation (median of the rounds):")
    lines.append("")
    head = ["operation"] + names[1:]
    lines += header(head)
    for op in op_list:
        lines.append(row([op] + [fmt_ns(median(results[p].get(op) or [])) for p in names[1:]]))
    mem_row = []
    for p in names[1:]:
        b, note = memory[p]
        mem_row.append(("–" if b is None else f"{b:.1f}" if b >= 10 else f"{b:.2f}")
                       + (f" ({note})" if note else ""))
    lines.append(row(["bytes/key"] + mem_row))
    lines.append("")
    return lines


def goal_lines(all_results):
    """The issue's Python goals, read off this run (informational only)."""
    out = []

    def r(family, shape, name, op, peer):
        res = all_results.get((family, shape))
        if not res or peer not in res[0] or op not in res[0][name] or op not in res[0][peer]:
            return None
        return ratio_spread(res[0][name][op], res[0][peer][op])

    def mem(family, shape, name, peer):
        res = all_results.get((family, shape))
        if not res or peer not in res[1]:
            return None
        return res[1][name][0] / res[1][peer][0]

    def line(text, value, ok):
        """value: a ratio, or a (median, low, high) spread of per-round ratios."""
        if value is None:
            out.append(f"- {text}: not measured")
        elif isinstance(value, tuple):
            verdict = "within noise" if within_noise(value) else "met" if ok(value[0]) else "missed"
            out.append(f"- {text}: {spread_cell(value).replace(' within noise', '')} — {verdict}")
        else:
            out.append(f"- {text}: {value:.2f} — {'met' if ok(value) else 'missed'}")

    for shape in ("random",):
        line("`k in s` vs set (hit), ≤ 1.2", r("set", shape, "TolvaneSet", "contains_hit", "set"),
             lambda v: v <= 1.2)
        line("`k in s` vs set (miss), ≤ 1.2", r("set", shape, "TolvaneSet", "contains_miss", "set"),
             lambda v: v <= 1.2)
        line("`m.get(k)` vs dict (hit), ≤ 1.2", r("map", shape, "TolvaneMap", "get_hit", "dict"),
             lambda v: v <= 1.2)
        line("`m.get(k)` vs dict (miss), ≤ 1.2", r("map", shape, "TolvaneMap", "get_miss", "dict"),
             lambda v: v <= 1.2)
        line("set insert_many(packed) vs set(list), < 1",
             r("set", shape, "TolvaneSet", "build_packed", "set"), lambda v: v < 1)
        for fam, name, peer in (("set", "TolvaneSet", "SortedSet"), ("map", "TolvaneMap", "SortedDict")):
            for op in ("next", "prev", "count_below", "by_count", "range"):
                line(f"{fam} {op} vs {peer}, < 1", r(fam, shape, name, op, peer), lambda v: v < 1)
        line("set memory vs set, ≤ 0.2", mem("set", shape, "TolvaneSet", "set"), lambda v: v <= 0.2)
        line("map memory vs dict, ≤ 0.2", mem("map", shape, "TolvaneMap", "dict"), lambda v: v <= 0.2)
    return out


def versions(mods):
    def ver(dist):
        try:
            return importlib.metadata.version(dist)
        except importlib.metadata.PackageNotFoundError:
            return None

    parts = [f"tolvane_trie {mods['tolvane_trie'].__version__}"]
    for label, dist in (("sortedcontainers", "sortedcontainers"), ("pyroaring", "pyroaring"),
                        ("BTrees", "BTrees"), ("numpy", "numpy")):
        v = ver(dist) if mods.get(dist if dist != "BTrees" else "BTrees.QQBTree") else None
        parts.append(f"{label} {v or 'not installed'}")
    return [
        f"- Machine: {os.cpu_count()} CPUs, {platform.system()} {platform.release()}",
        f"- Python {platform.python_version()} ({platform.python_implementation()}); " + ", ".join(parts),
    ]


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--size", type=lambda s: int(float(s)), default=1_000_000, help="keys per container")
    ap.add_argument("--shapes", default="random,dense", help="comma list of random, dense, clustered")
    ap.add_argument("--rounds", type=int, default=MIN_ROUNDS,
                    help="interleaved rounds: every contender is timed once per round")
    ap.add_argument("--cpu", type=int, default=None, help="core to pin to (default: the last allowed)")
    ap.add_argument("--probes", type=int, default=200_000, help="lookups per point-query timing")
    ap.add_argument("--budget", type=float, default=1.0,
                    help="seconds one timing run may take before it stops early")
    ap.add_argument("--output", default=DEFAULT_OUTPUT, help="Markdown file to update")
    ap.add_argument("--no-write", action="store_true", help="print only")
    args = ap.parse_args()
    if args.size < 2:
        ap.error("--size must be at least 2")
    global BUDGET_NS
    BUDGET_NS = int(args.budget * 1e9)
    core = pin_to_one_core(args.cpu)

    mods = {"tolvane_trie": importlib.import_module("tolvane_trie")}
    for name in ("sortedcontainers", "pyroaring", "BTrees.QQBTree", "numpy"):
        mods[name] = optional(name)

    all_results = {}
    lines = [BEGIN, "## Python", ""]
    lines += versions(mods)
    lines += [f"- CPU: {cpu_description()}; pinned to core {core}; {load_description()} at the start",
              f"- n = {args.size:,}; {args.rounds} interleaved rounds (every contender timed once per "
              f"round, in turn); {min(args.size, args.probes):,} probes per point query, made afresh as "
              "new int objects for every timing, as a program's computed keys would be",
              "- Ratios are ours / peer (below 1: ours faster or smaller): the median of the per-round "
              "ratios, with the lowest and highest in brackets; a spread that reaches across 1 says "
              "\"within noise\". Our time is the median of the rounds.", ""]
    lines += ["Operations: " + "; ".join(f"**{k}** {v}" for k, v in NOTES.items()) + ".", ""]
    for shape in args.shapes.split(","):
        d = Data(shape, args.size, args.probes)
        for family, contenders, op_list in (("set", set_contenders(mods), SET_OPS),
                                            ("map", map_contenders(mods), MAP_OPS)):
            t0 = time.perf_counter()
            results = measure(contenders, d, args.rounds)
            t1 = time.perf_counter()
            memory = {name: memory_per_key(name, ops, d, family) for name, ops in contenders}
            print(f"{family} {shape}: timed in {t1 - t0:.1f} s, memory in "
                  f"{time.perf_counter() - t1:.1f} s", file=sys.stderr, flush=True)
            all_results[(family, shape)] = (results, memory)
            lines += table(family, shape, args.size, [n for n, _ in contenders], results, memory, op_list)
    lines += ["#### Goals (random keys)", ""] + goal_lines(all_results) + ["", END]
    text = "\n".join(lines) + "\n"
    print(text)
    if not args.no_write:
        write_section(args.output, text, BEGIN, END)
        print(f"written to {os.path.normpath(args.output)}", file=sys.stderr)


if __name__ == "__main__":
    main()
