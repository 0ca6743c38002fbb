#!/usr/bin/env python3
"""SyncTolvaneMap / SyncTolvaneSet shared by Python threads, side by side in
one run with the thread-bound TolvaneMap / TolvaneSet.

Rows:
- get_many and insert_many of N keys split over 1, 2, 4 and 8 threads on one
  SyncTolvaneMap, against the same work on one dict behind a threading.Lock
  (each call made while holding the lock; TolvaneMap itself is bound to the
  thread that made it, so it cannot be the shared peer);
- single calls m.get(k) and k in s on the concurrent classes against the
  thread-bound ones, from one thread.

Throughput is keys per second of wall time over all threads, the median of
`--rounds` interleaved rounds (each round times the concurrent class and its
peer one after the other); a ratio is the median of the per-round ratios
with their spread. The threaded rows run on a fixed set of cores (--cpus,
default every core allowed), the single calls pinned to one of them. Memory
is bytes per key from mem_held(). The section between its markers in
docs/benchmarks.md is replaced unless --no-write.

    bench_sync.py --size 1000000
    bench_sync.py --size 20000 --rounds 1 --no-write     # smoke run

No timing is ever asserted: this is a measuring tool.
"""
import argparse
import array
import os
import platform
import random
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from markdown_table import header, ratio, row, write_section  # noqa: E402
from rounds import (MIN_ROUNDS, cpu_description, interleaved, median, parse_cores,  # noqa: E402
                    pin_to_cores, pin_to_one_core, ratio_spread, spread_cell)
from tolvane_trie import SyncTolvaneMap, SyncTolvaneSet, TolvaneMap, TolvaneSet  # noqa: E402

BEGIN = "<!-- python-sync-bench:begin -->"
END = "<!-- python-sync-bench:end -->"
DEFAULT_OUTPUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs",
                              "benchmarks.md")
THREADS = [1, 2, 4, 8]


class Locked:
    """A dict that threads share by taking a lock around every call; it is
    given the keys as lists of ints, the concurrent map packed buffers."""

    def __init__(self):
        self.map = {}
        self.lock = threading.Lock()

    def get_many(self, keys):
        get = self.map.get
        with self.lock:
            return [get(k) for k in keys]

    def insert_many(self, keys, values):
        with self.lock:
            self.map.update(zip(keys, values))
        return len(keys)


def run_threaded(count, work):
    """Wall time of `count` threads each running work(i) once, started together."""
    barrier = threading.Barrier(count + 1)

    def body(i):
        barrier.wait()
        work(i)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    barrier.wait()
    start = time.perf_counter()
    for t in threads:
        t.join()
    return time.perf_counter() - start


def bulk_rows(n, rounds, batch):
    rng = random.Random(7)
    keys = [rng.getrandbits(64) for _ in range(n)]
    rows = []
    for count in THREADS:
        per = n // count
        parts = [keys[i * per:(i + 1) * per] for i in range(count)]
        packed = [array.array("Q", p).tobytes() for p in parts]
        # Calls of `batch` keys, so the locked peer can interleave its threads.
        chunks = [[q[j:j + 8 * batch] for j in range(0, len(q), 8 * batch)] for q in packed]
        listed = [[p[j:j + batch] for j in range(0, len(p), batch)] for p in parts]

        def once(make, calls):
            target = make()
            t_insert = run_threaded(count, lambda i: [target.insert_many(c, c) for c in calls[i]])
            t_get = run_threaded(count, lambda i: [target.get_many(c) for c in calls[i]])
            return {"insert": per * count / t_insert, "get": per * count / t_get}

        rows.append((count, interleaved(
            [("SyncTolvaneMap", lambda: once(SyncTolvaneMap, chunks)),
             ("dict+Lock", lambda: once(Locked, listed))], rounds)))
    return rows


def single_rows(n, rounds):
    rng = random.Random(8)
    keys = [rng.getrandbits(64) for _ in range(n)]
    probes = keys[: min(n, 200_000)]
    out, calls = {}, []
    for name, make in [("SyncTolvaneMap", SyncTolvaneMap), ("TolvaneMap", TolvaneMap)]:
        m = make()
        m.insert_many(keys, keys)
        calls.append((name, lambda get=m.get: {"call": len(probes) / timed(
            lambda: [get(k) for k in probes])}))
        out[name] = m.mem_held() / n
    for name, make in [("SyncTolvaneSet", SyncTolvaneSet), ("TolvaneSet", TolvaneSet)]:
        s = make()
        s.insert_many(keys)
        calls.append((name, lambda s=s: {"call": len(probes) / timed(
            lambda: [k in s for k in probes])}))
        out[name] = s.mem_held() / n
    rates = interleaved(calls, rounds)
    return {name: (rates[name]["call"], out[name]) for name in out}


def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def report(n, bulk, single, batch, cores, core):
    lines = [BEGIN, f"## Concurrent classes from Python threads, {n:,} keys", "",
             f"Python {platform.python_version()}, {os.cpu_count()} cores ({cpu_description()}); "
             f"threads on cores {cores}, single calls on core {core}; "
             f"calls of {batch:,} keys, packed u64 input; throughput in million keys per second "
             "of wall time over all threads (median of the interleaved rounds); `ratio` is "
             "SyncTolvaneMap / dict+Lock, the median of the per-round ratios (lowest–highest), "
             "above 1 means the concurrent map is faster.", ""]
    lines += header(["threads", "insert_many Sync", "insert_many Lock", "ratio",
                     "get_many Sync", "get_many Lock", "ratio", "get_many vs 1 thread"])
    one = median(bulk[0][1]["SyncTolvaneMap"]["get"])
    for count, r in bulk:
        s, l = r["SyncTolvaneMap"], r["dict+Lock"]
        cells = [str(count)]
        for op in ("insert", "get"):
            cells += [f"{median(s[op]) / 1e6:.2f}", f"{median(l[op]) / 1e6:.2f}",
                      spread_cell(ratio_spread(s[op], l[op]))]
        lines.append(row(cells + [ratio(median(s["get"]), one)]))
    lines += ["", "Single calls from one thread (million calls per second; bytes per key "
              "from `mem_held()`); `ratio` is concurrent / thread-bound time per call.", ""]
    lines += header(["call", "concurrent", "thread-bound", "ratio", "B/key concurrent",
                     "B/key thread-bound"])
    for call, a, b in [("m.get(k)", "SyncTolvaneMap", "TolvaneMap"),
                       ("k in s", "SyncTolvaneSet", "TolvaneSet")]:
        lines.append(row([f"`{call}`", f"{median(single[a][0]) / 1e6:.2f}",
                          f"{median(single[b][0]) / 1e6:.2f}",
                          spread_cell(ratio_spread(single[b][0], single[a][0])), f"{single[a][1]:.1f}",
                          f"{single[b][1]:.1f}"]))
    lines.append(END)
    return "\n".join(lines) + "\n"


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--size", type=float, default=1_000_000)
    p.add_argument("--rounds", type=int, default=MIN_ROUNDS)
    p.add_argument("--batch", type=int, default=10_000)
    p.add_argument("--output", default=DEFAULT_OUTPUT)
    p.add_argument("--no-write", action="store_true")
    p.add_argument("--cpus", help="fixed set of cores for the threads, e.g. 0-7 (default: all allowed)")
    args = p.parse_args()
    n = int(args.size)
    cores = pin_to_cores(parse_cores(args.cpus) if args.cpus else os.sched_getaffinity(0))
    bulk = bulk_rows(n, args.rounds, args.batch)
    core = pin_to_one_core()
    single = single_rows(n, args.rounds)
    text = report(n, bulk, single, args.batch, f"{cores[0]}-{cores[-1]}" if cores else "unpinned", core)
    print(text)
    if not args.no_write:
        write_section(args.output, text, BEGIN, END)


if __name__ == "__main__":
    main()
